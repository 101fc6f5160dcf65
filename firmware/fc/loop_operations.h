// Mailbox commands the drive loops and the menus ask of a chip's firmware
// beyond those of the host ports, and the loop-level operations built on
// them: the sweeps after a loop reset, the wait for a loop to come ready,
// and the drives' queue parameters.
#pragma once

#include <cstdint>

#include "hw/addresses.h"

namespace fw {

uint8_t bQLDumpRam(uint8_t bChip, uint32_t dRiscAddress, BUS_ADDRESS dBuffer, uint32_t dWords);
uint8_t bQLWriteRamWord(uint8_t bChip, uint16_t wAddress, uint16_t wValue);
uint8_t bQLReadRamWord(uint8_t bChip, uint16_t wAddress, uint16_t* pwValue);
uint8_t bQLWriteRamWordExt(uint8_t bChip, uint32_t dAddress, uint16_t wValue);
uint8_t bQLMailbox14(uint8_t bChip);
uint8_t bQLMailbox18(uint8_t bChip, uint16_t wValue);
uint8_t bQLMailbox70(uint8_t bChip);
uint8_t bQLMailbox72(uint8_t bChip);
uint8_t bQLSetDeviceQueue(uint8_t bChip, uint8_t bAlpa, uint16_t wValue2, uint16_t wValue3);
uint8_t bQLBypassDrive(uint8_t bChip, uint8_t bAlpa, uint8_t fEnable, uint8_t fAll);
uint8_t bQLPartnerTaskCommand(uint8_t bChip, uint8_t bAlpa);
uint8_t bQLTargetReset(uint8_t bChip, uint8_t bAlpa);
uint8_t bQLClearTaskSet(uint8_t bChip, uint8_t bAlpa);

// Takes the drive of the loop ID off both drive loops (TRUE) and asks for
// both loops to be reset, or puts it back (FALSE).
void SetDriveLoopBypass(uint8_t bLoopId, uint8_t fBypass);

// Loop-level operations.
constexpr uint8_t SWEEP_PATH = 0xFF;
void ResetDriveLoopTargets(uint8_t bDo3, uint8_t bDo4, uint8_t fClear);
void ClearTaskSetsOnLoop(uint8_t bChip);
void SyncHostLoop(uint8_t bChip);
uint8_t bQLWaitLoopReady(uint8_t bChip);
void SetDriveQueueParameters();
// MARKER (target 0, LUN 0, modifier 2) offered until posted, within a bound.
uint8_t bSendSyncMarker(uint8_t bChip);

}  // namespace fw
