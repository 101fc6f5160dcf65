// Data services as far as the rest of the firmware reaches them: the
// snapshot and duplication machines with no snapshot set and no duplication
// defined.  Nothing is ever queued for them, so their services find no work;
// with no snapshot start-up to wait for, the start-of-day flags have nothing
// to steer.
#include "dataservices/data_services.h"

#include <cstring>

#include "executive/types.h"
#include "executive/work_flags.h"

namespace fw {

namespace {
// A metadata flush asked for and not yet written.
uint8_t s_fMetadataFlushInProgress = FALSE;
}  // namespace

uint8_t fGetSnapshotsActiveFlag() { return FALSE; }
uint16_t wGetCmdCntInSnapshotQueue() { return 0; }
uint8_t fGetSnapshotServiceFlag() { return FALSE; }
void SnapshotCommandService() {}
uint8_t fGetDuplicationHasWork() { return FALSE; }
void DuplicationService() {}
void ClearAllDuplicationProcesses() {}
void ResetDuplicationEntryTables() {}
void InitSnapshotSubsystem() {}
void InitSnapshotSupport() {}
void SetWaitForODAStartupFlag(uint8_t) {}
void SetSnapshotJoinFlag(uint8_t) {}
void SetOCODAStartupInProgFlag(uint8_t) {}
void PrepareSnapshotStart() {}
void CheckWaitForODAStartup() {}
void StartODAStartup(uint8_t) {}
void StartDuplication(uint8_t) {}
void ResetSnapshotStartFlags() {}

uint8_t fGetSnapshotKernelRequest() { return s_fMetadataFlushInProgress; }
// No snapshot set holds metadata: a requested flush is done at once.
void SnapshotKernelService() { s_fMetadataFlushInProgress = FALSE; }
void RequestMetadataFlush() {
    s_fMetadataFlushInProgress = TRUE;
    SetWorkPending(TRUE);
}
uint8_t fGetMainSnapshotStateMachineRunning() { return FALSE; }
void MainSnapshotStateMachine() {}

void SetDuplicationState(uint8_t, uint8_t) {}
void NoteVirtualLunMapped(uint16_t) {}
uint8_t fLdHasSnapshots(uint16_t, uint8_t) { return FALSE; }
void NotifyLdUnavailable(uint16_t) {}
void StartDataServicesFromImage(const CONFIG_IMAGE*) {}
// No overwrite data area, snapshot or duplication is ever defined: nothing
// to release, renumber or abort.
void ReleaseOdasMissingFromImage(const CONFIG_IMAGE*, const CONFIG_IMAGE*) {}
void NotifyLdSizeChanged(uint16_t) {}
void ReleaseLdSnapshots(uint16_t) {}
void ReleaseVirtualLdWord(uint16_t) {}
uint8_t bFindDuplicationOfLd(uint16_t) { return 0xFF; }
uint8_t fIsLdInDuplication(uint16_t wLd) { return bFindDuplicationOfLd(wLd) != 0xFF ? TRUE : FALSE; }
uint8_t fFindOdaOnRank(uint8_t, uint16_t*) { return FALSE; }

// No snapshot set: no command carries map pages.
uint8_t bPreparePmapPagesForCmd(KERNEL_ENTRY*) { return STATUS_OK; }
uint8_t fGetODAStartupInProg() { return FALSE; }
void GetSnapshotSourceOfLun(uint16_t, uint16_t* pwLd, uint8_t* pbSnapshot) {
    *pwLd = 0xFFFF;
    *pbSnapshot = 0xFF;
}
void GetSnapshotIdentity(uint16_t, uint8_t* pbIdentifier, uint32_t* pdSuffix, uint16_t* pwOda) {
    std::memset(pbIdentifier, 0, 16);
    *pdSuffix = 0;
    *pwOda = 0;
}
uint8_t fIsLdRestoreInProgress(uint16_t) { return FALSE; }
uint8_t fIsSnapshotUnreadable(const KERNEL_ENTRY*) { return FALSE; }
void ReleaseSnapshotPageMapRange(KERNEL_ENTRY*) {}
uint8_t fDataServicesAcceptCommand(KERNEL_ENTRY*) { return FALSE; }

void DataServicesCommandDone(KERNEL_ENTRY*, uint8_t) {}

// No snapshot set: no command takes part in a copy-on-write.
uint8_t fGetSnapshotBusyFlag() { return FALSE; }
uint8_t fGetMetadataFlushInProg() { return s_fMetadataFlushInProgress; }
uint8_t bSnapshotCopyOnWriteTest(KERNEL_ENTRY*) { return 0; }
uint8_t bGetSnapshotCommandState(const KERNEL_ENTRY*) { return 0; }
uint8_t bSnapshotDataReceivedCheck(KERNEL_ENTRY*) { return SNAPSHOT_GO_ON; }
uint8_t bSnapshotWriteReadyCheck(KERNEL_ENTRY*) { return SNAPSHOT_GO_ON; }
void SnapshotCommandData(KERNEL_ENTRY*) {}

uint8_t fIsOdaInvalid(uint16_t) { return FALSE; }
uint8_t bSnapshotReadCheck(KERNEL_ENTRY*) { return SNAPSHOT_GO_ON; }
uint8_t fDuplicationTakesRead(KERNEL_ENTRY*) { return FALSE; }

// No snapshot set exists: no ODA is assigned and nothing is listed.
uint8_t fGetOdaAssignedLd(uint16_t, uint16_t*) { return FALSE; }
uint8_t fGetODLunNo(uint16_t, uint16_t*) { return FALSE; }
uint8_t bGetOdaStripeSize(uint16_t, uint32_t*) { return 0; }
uint8_t fGetSnapshotDetails(uint16_t, uint8_t, DATE_TIME*, uint32_t*) { return FALSE; }
uint8_t fGetSnapshotId(uint16_t, uint8_t, uint32_t*) { return FALSE; }
uint8_t fIsOdaOutOfSpace(uint16_t) { return FALSE; }
uint16_t wGetOdaRemainingCapacity(uint16_t) { return 0; }
uint8_t bGetSnapshotEntryInfo(uint16_t, uint8_t, uint16_t*, uint8_t*, uint8_t*) { return 0; }
void PrintSnapshotOverview() {}
void PrintSnapshotStatus() {}
void PrintSnapshotInformation() {}

}  // namespace fw
