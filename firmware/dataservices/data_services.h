// Data services (snapshots, duplication) the rest of the firmware calls.
#pragma once

#include <cstdint>

namespace fw {

uint8_t fGetSnapshotsActiveFlag();
uint16_t wGetCmdCntInSnapshotQueue();
uint8_t fGetSnapshotServiceFlag();
void SnapshotCommandService();
uint8_t fGetDuplicationHasWork();
void DuplicationService();
void ClearAllDuplicationProcesses();
void InitSnapshotSubsystem();
void InitSnapshotSupport();
void SetWaitForODAStartupFlag(uint8_t f);
void SetSnapshotJoinFlag(uint8_t f);
void SetOCODAStartupInProgFlag(uint8_t f);
void PrepareSnapshotStart();
void CheckWaitForODAStartup();
void StartODAStartup(uint8_t f);
void StartDuplication(uint8_t f);
void ResetSnapshotStartFlags();

// Background pass services of the snapshot code.
uint8_t fGetSnapshotKernelRequest();
void SnapshotKernelService();
uint8_t fGetMainSnapshotStateMachineRunning();
void MainSnapshotStateMachine();

// Used by the configuration database.
struct CONFIG_IMAGE;
void SetDuplicationState(uint8_t bProcess, uint8_t bState);
void NoteVirtualLunMapped(uint16_t wLunWord);
uint8_t fLdHasSnapshots(uint16_t wLd, uint8_t f);
void NotifyLdUnavailable(uint16_t wLd);
void StartDataServicesFromImage(const CONFIG_IMAGE* psImage);

// Used by the target engine.
struct KERNEL_ENTRY;
// Prepares the snapshot map pages of a command that belongs to a snapshot
// copy-on-write before its entry is released.
uint8_t bPreparePmapPagesForCmd(KERNEL_ENTRY* psEntry);
// A command of the data services came back from the drives with a status
// (3 read done, 4 write done, 12 failed).
void DataServicesCommandDone(KERNEL_ENTRY* psEntry, uint8_t bStatus);

}  // namespace fw
