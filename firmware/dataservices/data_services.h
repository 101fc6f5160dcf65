// Data services (snapshots, duplication) the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "executive/date_time.h"

namespace fw {

uint8_t fGetSnapshotsActiveFlag();
uint16_t wGetCmdCntInSnapshotQueue();
uint8_t fGetSnapshotServiceFlag();
void SnapshotCommandService();
uint8_t fGetDuplicationHasWork();
void DuplicationService();
void ClearAllDuplicationProcesses();
// The configuration was cleared: no duplication entry is kept.
void ResetDuplicationEntryTables();
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
// The overwrite data areas the scratch image no longer defines let go of
// their run-time state before the editor's image is installed.
void ReleaseOdasMissingFromImage(const CONFIG_IMAGE* psLive, const CONFIG_IMAGE* psScratch);
// Notices of the logical drive operations: a logical drive changed size,
// its snapshots and overwrite data areas are released, a virtual logical
// drive word left a mapping.
void NotifyLdSizeChanged(uint16_t wLd);
void ReleaseLdSnapshots(uint16_t wLd);
void ReleaseVirtualLdWord(uint16_t wLunWord);
// The duplication process that uses the logical drive, 0xFF when none.
uint8_t bFindDuplicationOfLd(uint16_t wLd);
// TRUE when a duplication process has the logical drive as its source or
// destination.
uint8_t fIsLdInDuplication(uint16_t wLd);
// TRUE and its number when a snapshot overwrite data area lies on the array.
uint8_t fFindOdaOnRank(uint8_t bRank, uint16_t* pwOda);

// Used by the target engine.
struct KERNEL_ENTRY;
// Prepares the snapshot map pages of a command that belongs to a snapshot
// copy-on-write before its entry is released.
uint8_t bPreparePmapPagesForCmd(KERNEL_ENTRY* psEntry);
// A command of the data services came back from the drives with a status
// (3 read done, 4 write done, 12 failed).
void DataServicesCommandDone(KERNEL_ENTRY* psEntry, uint8_t bStatus);

// The snapshot layer's part in a host write: its flags, the copy-on-write
// test of a command (255 when it takes part) and the command's snapshot
// state, and its verdicts at the data-received and write-ready stages.
uint8_t fGetODAStartupInProg();
uint8_t fGetSnapshotBusyFlag();
uint8_t fGetMetadataFlushInProg();
uint8_t bSnapshotCopyOnWriteTest(KERNEL_ENTRY* psEntry);
uint8_t bGetSnapshotCommandState(const KERNEL_ENTRY* psEntry);
constexpr uint8_t SNAPSHOT_GO_ON = 0;
constexpr uint8_t SNAPSHOT_REQUEUE = 1;
constexpr uint8_t SNAPSHOT_REFUSE_NOT_READY = 2;   // CHECK CONDITION 2/0x04/0x03
constexpr uint8_t SNAPSHOT_REFUSE_NO_LUN = 3;      // CHECK CONDITION 5/0x25/0x00
constexpr uint8_t SNAPSHOT_HOLD = 4;
constexpr uint8_t SNAPSHOT_TAKEN_OVER = 5;         // the snapshot path carries the write (state 33)
uint8_t bSnapshotDataReceivedCheck(KERNEL_ENTRY* psEntry);
uint8_t bSnapshotWriteReadyCheck(KERNEL_ENTRY* psEntry);
// Parameter data of a snapshot command (command type 73) has arrived.
void SnapshotCommandData(KERNEL_ENTRY* psEntry);
// A snapshot VLUN's source logical drive and snapshot number.
void GetSnapshotSourceOfLun(uint16_t wVlun, uint16_t* pwLd, uint8_t* pbSnapshot);
// What INQUIRY reports of a snapshot VLUN: the first 16 bytes of its
// snapshot's record, the record's identifier suffix and the overwrite data
// area the snapshot lives in.
void GetSnapshotIdentity(uint16_t wVlun, uint8_t* pbIdentifier, uint32_t* pdSuffix, uint16_t* pwOda);
// SYNCHRONIZE CACHE asks for the snapshot metadata to be written; the flush
// is in progress from the request until the snapshot kernel service ends it.
void RequestMetadataFlush();
// TRUE while the logical drive is restored from a snapshot.
uint8_t fIsLdRestoreInProgress(uint16_t wLd);
// TRUE when the command addresses a snapshot that cannot be read.
uint8_t fIsSnapshotUnreadable(const KERNEL_ENTRY* psEntry);
// The snapshot page-map range recorded in a command is released.
void ReleaseSnapshotPageMapRange(KERNEL_ENTRY* psEntry);
// TRUE when the data services take over a command they made (flag bit 44).
uint8_t fDataServicesAcceptCommand(KERNEL_ENTRY* psEntry);

// Snapshot reads: the overwrite data area of a logical drive is unusable;
// the snapshot layer's verdict on a read; the duplication engine takes a
// read of its own (TRUE).
uint8_t fIsOdaInvalid(uint16_t wLd);
uint8_t bSnapshotReadCheck(KERNEL_ENTRY* psEntry);
uint8_t fDuplicationTakesRead(KERNEL_ENTRY* psEntry);

// The snapshot tables as the printouts read them: an overwrite data area
// (ODA) and its logical drive and internal LUN, a snapshot's time and
// stripe counts, its ID, the ODA's remaining capacity in per-mille.  TRUE
// (or 255) when the information exists.
uint8_t fGetOdaAssignedLd(uint16_t wOda, uint16_t* pwLd);
uint8_t fGetODLunNo(uint16_t wOda, uint16_t* pwInternalLun);
uint8_t bGetOdaStripeSize(uint16_t wInternalLun, uint32_t* pdBlocks);
uint8_t fGetSnapshotDetails(uint16_t wInternalLun, uint8_t bSnapshot, DATE_TIME* psTaken, uint32_t* padStripes);
uint8_t fGetSnapshotId(uint16_t wInternalLun, uint8_t bSnapshot, uint32_t* pdId);
uint8_t fIsOdaOutOfSpace(uint16_t wOda);
uint16_t wGetOdaRemainingCapacity(uint16_t wOda);
uint8_t bGetSnapshotEntryInfo(uint16_t wLd, uint8_t bSnapshot, uint16_t* pwVirtualLd, uint8_t* pfEnabled,
                              uint8_t* pfReadOnly);
// The printouts of the configuration and debug dumps.
void PrintSnapshotOverview();
void PrintSnapshotStatus();
void PrintSnapshotInformation();

}  // namespace fw
