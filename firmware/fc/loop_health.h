// The health watch of the drive loops: an error counter per loop with a
// threshold, the periodic check, the loops' event and reset ticks, and the
// acknowledge of the immediate notifies the drive chips queue.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

constexpr uint32_t DRIVE_LOOP_ERROR_LIMIT = 25;
// The tick raises the periodic check this often (coarse ticks, half-seconds).
constexpr uint32_t PERIODIC_LOOP_CHECK_TICKS = 20;

void CountDriveLoopError(uint8_t bPort);
uint8_t fIsDriveLoopErrorLimitReached(uint8_t bPort);
uint32_t dGetDriveLoopErrorCount(uint8_t bPort);
void PeriodicDriveLoopCheck();
void SetPeriodicLoopCheckRequest(uint8_t f);
// The tick's service: raises the periodic check at its period while a
// drive-loop chip runs.
void FcPeriodicService();
uint8_t fGetPeriodicLoopCheckRequest();
void InitLoopCheckState();
void RecordLoopEventTick(uint8_t bPort);
void RecordLoopResetTick(uint8_t bPort);
// Raised by error completions and bring-up; read by the loop sweep.
void SetDriveLoopFlag(uint8_t bPort, uint8_t f);
uint8_t bGetDriveLoopFlag(uint8_t bPort);

// A drive chip's immediate notify waits here, copied into an internal
// entry, until the end of the interrupt pass acknowledges it and frees it.
void QueueDriveNotify(KERNEL_ENTRY* psEntry);
void AckDriveLoopImmediateNotify(uint8_t bPort);
uint32_t dGetDroppedDriveNotifies();
// The per-drive-chip byte the target resource code keeps for its LUN enable.
void SetDriveEnableLunByte(uint8_t bChip, uint8_t f);
uint8_t fGetDriveEnableLunByte(uint8_t bChip);

// Copies in 32-bit words (width 4), halfwords (2) or bytes (any other).
void CopyByWidth(const void* pSource, void* pDestination, uint32_t dBytes, uint8_t bWidth);

}  // namespace fw
