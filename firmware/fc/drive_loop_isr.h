// The interrupt service of the drive-loop chips 3 and 4: drive command
// completions from the response ring, the loops' link state (up, LIPs, LIP
// resets, readiness) and the partner traffic that arrives on a drive loop.
#pragma once

#include <cstdint>

namespace fw {

void DriveLoopIsr(uint8_t bChip);
void DriveMailboxCompletion(uint8_t bChip, uint16_t wMailbox0);
void DriveAsyncEvent(uint8_t bChip, uint16_t wCode);
uint8_t ClassifyDriveTransportError(uint8_t bChip, const uint8_t* pbStatus);
void InitDriveIsrState();

uint8_t fIsDriveLoopUp(uint8_t bChip);
uint16_t wGetDriveLoopLipCount(uint8_t bChip);
uint8_t fGetDriveLoopLipFlag(uint8_t bChip);
void SetDriveLoopLipFlag(uint8_t bChip, uint8_t f);
void SetDriveLipReset(uint8_t bChip, uint8_t f);
uint8_t fIsDriveLipResetRecent(uint8_t bChip);
void SetDriveLoopReady(uint8_t bChip, uint8_t f);
uint8_t fIsDriveLoopReady(uint8_t bChip);
uint8_t fIsDriveIsrActive();
// The loop's last data underrun, coarse ticks; 0 when none.
uint32_t dGetDriveLoopUnderrunTick(uint8_t bChip);
// Bring-up's mark on a loop it has served; cleared when bring-up clears the LIP.
void SetDriveLoopBringUpFlag(uint8_t bChip, uint8_t f);

// Entries the chip named that no judgement could trust: an in-pointer
// beyond the ring, a handle off the internal pool's entry boundaries.
uint32_t dGetDriveLoopBadInPointers();
uint32_t dGetDriveLoopBadHandles();

}  // namespace fw
