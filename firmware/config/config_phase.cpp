// The configuration phase machine and phase 12, the wait for a drive to
// become ready.
#include "config/config_phase.h"

#include <cstring>

#include "config/config_db.h"
#include "config/config_flags.h"
#include "config/config_state.h"
#include "console/drive_command_phase.h"
#include "enclosure/drive_management.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/scsi.h"
#include "mgmt/management.h"
#include "sas/sas_scsi_path.h"

namespace fw {

namespace {

uint8_t s_bConfigPhase = CONFIG_PHASE_IDLE;
uint8_t s_bConfigPhaseStep = CONFIG_STEP_NONE;
uint8_t s_bConfigRequester;
uint8_t s_abPhaseParam[4];
uint32_t s_dPhaseTimeWindow;
uint8_t s_fConfigWriteWait = FALSE;
uint8_t s_fDriveCommandPending = FALSE;

// A drive spinning up is asked again this long after it said so.
constexpr uint32_t BECOMING_READY_RETRY_MS = 2000;
// Flag word bits the drive side sets on a command that failed or timed out.
constexpr uint64_t KE_FLAGS_FAILED = KE_FLAG_ABORTED | KE_FLAG_CHILD_FAILED;

// Phase 11: restarts both host chips.  The chip driver unmasks the host
// chips' interrupt source again once they are ready; the lock taken here is
// only there so that no host interrupt runs half way through the restart.
uint8_t RestartHostChipsPhase(uint8_t) {
    const uint8_t bLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
    SetQLPortFlags(1, FALSE);
    SetQLPortFlags(2, FALSE);
    RestartHostChip(1);
    RestartHostChip(2);
    // Released once the restarts are issued: a lock left held would keep
    // the host ports dead for good.
    if (bLock != STATUS_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
    EndConfigPhase();
    return STATUS_OK;
}

uint8_t BringUpDriveLoopsPhase(uint8_t) {
    BringUpDriveLoops();
    EndConfigPhase();
    return STATUS_OK;
}

using PHASE_HANDLER = uint8_t (*)(uint8_t bStep);

// Index: phase.  Null: idle.  The last column says whether the start-of-day
// dispatcher (counter B) runs the phase too.
struct PHASE_ENTRY {
    PHASE_HANDLER pfnHandler;
    bool fFromCounterB;
};
constexpr PHASE_ENTRY PHASE_TABLE[CONFIG_PHASE_LAST + 1] = {
    {nullptr, false},                       // 0 idle
    {BeginConfigEditPhase, true},           // 1 edit
    {CommitConfigurationPhase, true},       // 2 commit
    {nullptr, false},                       // 3
    {nullptr, false},                       // 4
    {nullptr, false},                       // 5
    {RunDriveCommandPhase, true},           // 6 one command to one drive
    {RebuildDriveTables, true},             // 7 drive table rebuild
    {DownloadDriveFirmware, true},          // 8 drive firmware download
    {DriveFormatPhase, true},               // 9 download follow-up
    {BringUpDriveLoopsPhase, false},        // 10 drive-loop bring-up
    {RestartHostChipsPhase, false},         // 11 host chip restart
    {WaitDriveReadyPhase, true},            // 12 wait for a drive
    {ReadStoredDriveFirmwareFile, true},    // 13 stored firmware file
    {nullptr, false},                       // 14
    {EnclosureDiscoveryDispatch, true},     // 15 enclosure discovery
};

// One run of a dispatcher: the counter drops first (never below 0), then
// the phase's handler runs once; 16 from it asks counter A for another run,
// except from the commit, which requests its own runs.
uint8_t RunPhaseOnce(void (*pfnCountDown)(), bool fCounterB) {
    const uint8_t bPhase = s_bConfigPhase;
    const uint8_t bStep = s_bConfigPhaseStep;
    pfnCountDown();
    if (bPhase > CONFIG_PHASE_LAST) return STATUS_OK;
    const PHASE_ENTRY& sEntry = PHASE_TABLE[bPhase];
    if (sEntry.pfnHandler == nullptr || (fCounterB && !sEntry.fFromCounterB)) return STATUS_OK;
    const uint8_t bResult = sEntry.pfnHandler(bStep);
    if (bPhase != CONFIG_PHASE_COMMIT && bResult == PHASE_RUN_AGAIN) RequestConfigurationService();
    return bResult;
}

void WaitDriveReadyDone(KERNEL_ENTRY* psEntry) {
    if (fRetryPhaseDriveCommand(psEntry, WaitDriveReadyDone) == TRUE) return;
    // The drive has answered, however it did: the next step 1 ends the wait
    // rather than ask again at once.  The wait flag stays set until step 2
    // has completed the requester, so that no commit takes the phase machine
    // over in between; a phase ended meanwhile by someone else lets go of it
    // here.
    SetDriveCommandPendingFlag(TRUE);
    if (bGetConfigPhase() != CONFIG_PHASE_WAIT_DRIVE_READY) SetConfigWriteWaitFlag(FALSE);
    FreeKernelEntries(psEntry);
    RequestStartOfDayService();
}

void RepostPhaseDriveCommand(KERNEL_ENTRY* psEntry, TIMER_NODE*) {
    (void)QueueKernelEntryAtHead(psEntry->bPortCode, psEntry->wIndex);
}

}  // namespace

void SetConfigPhase(uint8_t b) { s_bConfigPhase = b; }
uint8_t bGetConfigPhase() { return s_bConfigPhase; }
void SetConfigPhaseStep(uint8_t b) { s_bConfigPhaseStep = b; }
uint8_t bGetConfigPhaseStep() { return s_bConfigPhaseStep; }
void SetConfigRequester(uint8_t b) { s_bConfigRequester = b; }
uint8_t bGetConfigRequester() { return s_bConfigRequester; }
void SetPhaseParam1(uint8_t b) { s_abPhaseParam[0] = b; }
uint8_t bGetPhaseParam1() { return s_abPhaseParam[0]; }
void SetPhaseParam2(uint8_t b) { s_abPhaseParam[1] = b; }
uint8_t bGetPhaseParam2() { return s_abPhaseParam[1]; }
void SetPhaseParam3(uint8_t b) { s_abPhaseParam[2] = b; }
uint8_t bGetPhaseParam3() { return s_abPhaseParam[2]; }
void SetPhaseParam4(uint8_t b) { s_abPhaseParam[3] = b; }
uint8_t bGetPhaseParam4() { return s_abPhaseParam[3]; }
void SetPhaseTimeWindow(uint32_t d) { s_dPhaseTimeWindow = d; }
uint32_t dGetPhaseTimeWindow() { return s_dPhaseTimeWindow; }

void EndConfigPhase() {
    s_bConfigPhase = CONFIG_PHASE_IDLE;
    s_bConfigPhaseStep = CONFIG_STEP_NONE;
}

void SetConfigWriteWaitFlag(uint8_t f) { s_fConfigWriteWait = f; }
uint8_t fGetConfigWriteWaitFlag() { return s_fConfigWriteWait; }
void SetDriveCommandPendingFlag(uint8_t f) { s_fDriveCommandPending = f; }
uint8_t fGetDriveCommandPendingFlag() { return s_fDriveCommandPending; }

uint8_t fStartDrivePhaseStep(uint8_t bStep) {
    if (s_fDriveCommandPending != TRUE) return FALSE;
    s_fDriveCommandPending = FALSE;
    s_bConfigPhaseStep = bStep;
    RequestStartOfDayService();
    return TRUE;
}

uint8_t RunConfigPhase() { return RunPhaseOnce(ClearConfigurationService, false); }
uint8_t RunConfigPhaseBackground() { return RunPhaseOnce(ClearStartOfDayService, true); }

uint8_t WaitDriveReadyPhase(uint8_t bStep) {
    switch (bStep) {
    case 0: {
        SetDriveCommandPendingFlag(FALSE);
        KERNEL_ENTRY* psEntry = nullptr;
        if (bAllocKernelEntries(bGetPhaseParam1(), 1, &psEntry) != STATUS_OK) return PHASE_RUN_AGAIN;
        const uint8_t abCdb[10] = {SCSI_TEST_UNIT_READY};
        BuildDriveCommand(psEntry, bGetPhaseParam1(), bGetPhaseParam2(), 8, DRIVE_COMMAND_NO_DATA, 0, 0, 0, abCdb,
                          DRIVE_COMMAND_TYPE_TEST_UNIT_READY);
        if (bQueuePhaseDriveCommand(psEntry, WaitDriveReadyDone, FALSE) != STATUS_OK) {
            FreeKernelEntries(psEntry);
            return PHASE_RUN_AGAIN;
        }
        SetConfigWriteWaitFlag(TRUE);
        SetConfigPhaseStep(1);
        return STATUS_OK;
    }
    case 1:
        if (fStartDrivePhaseStep(2) == TRUE) return STATUS_OK;
        SetConfigPhaseStep(dGetCoarseTick() < dGetPhaseTimeWindow() + bGetMenuSelection() ? 0 : 2);
        RequestStartOfDayService();
        return STATUS_OK;
    case 2:
        if (bGetConfigRequester() == REQUESTER_MANAGEMENT) FinishManagementCommand(STATUS_OK);
        if (bGetConfigRequester() == REQUESTER_SNAPSHOT) CompleteConfigRequest(STATUS_OK);
        EndConfigPhase();
        SetConfigWriteWaitFlag(FALSE);
        return STATUS_OK;
    default:
        return STATUS_OK;
    }
}

uint8_t bQueuePhaseDriveCommand(KERNEL_ENTRY* psEntry, void (*pfnDone)(KERNEL_ENTRY*), uint8_t fAtHead) {
    ClearDriveSideStatus(psEntry);
    if (bPushCompletionCallback(psEntry, pfnDone) != STATUS_OK) return PHASE_RUN_AGAIN;
    const uint8_t bQueued = fAtHead == TRUE ? QueueKernelEntryAtHead(psEntry->bPortCode, psEntry->wIndex)
                                            : QueueKernelEntry(psEntry->bPortCode, psEntry->wIndex);
    if (bQueued != STATUS_OK) {
        (void)pPopCompletionCallback(psEntry);
        return PHASE_RUN_AGAIN;
    }
    return STATUS_OK;
}

uint8_t fPhaseDriveCommandGood(KERNEL_ENTRY* psEntry) {
    const SAS_ENTRY_FIELDS* ps = psSasFields(psEntry);
    return ToFlag(ps->bScsiStatus == SCSI_STATUS_GOOD && (psEntry->lFlags & KE_FLAGS_FAILED) == 0);
}

// A good answer leaves the drive side's status fields as they are, so they
// start clean on every send.
void ClearDriveSideStatus(KERNEL_ENTRY* psEntry) {
    std::memset(psSasFields(psEntry), 0, sizeof(SAS_ENTRY_FIELDS));
    psEntry->lFlags &= ~(KE_FLAGS_FAILED | KE_FLAG_SENSE_PRESENT);
}

uint8_t fIsDriveCommandWorthRetrying(KERNEL_ENTRY* psEntry) {
    const SAS_ENTRY_FIELDS* ps = psSasFields(psEntry);
    if (ps->bScsiStatus != SCSI_STATUS_CHECK_CONDITION || psEntry->bRetryCount == 0) return FALSE;
    const bool fAttention = ps->bSenseKey == SENSE_UNIT_ATTENTION;
    const bool fBecomingReady = psEntry->bCommandType == DRIVE_COMMAND_TYPE_TEST_UNIT_READY &&
                                ps->bSenseKey == SENSE_NOT_READY && ps->bAsc == ASC_NOT_READY;
    return ToFlag(fAttention || fBecomingReady);
}

void RetryDriveCommandLater(KERNEL_ENTRY* psEntry) {
    const bool fAttention = psSasFields(psEntry)->bSenseKey == SENSE_UNIT_ATTENTION;
    --psEntry->bRetryCount;
    ClearDriveSideStatus(psEntry);
    psEntry->bPrimaryState = PS_NEW_COMMAND;
    InsertTimer(psEntry, RepostPhaseDriveCommand, fAttention ? 0 : BECOMING_READY_RETRY_MS);
}

uint8_t fRetryPhaseDriveCommand(KERNEL_ENTRY* psEntry, void (*pfnDone)(KERNEL_ENTRY*)) {
    if (fIsDriveCommandWorthRetrying(psEntry) != TRUE) return FALSE;
    if (bPushCompletionCallback(psEntry, pfnDone) != STATUS_OK) return FALSE;
    RetryDriveCommandLater(psEntry);
    return TRUE;
}

void EndPhaseDriveCommand(KERNEL_ENTRY* psEntry) {
    SetConfigWriteWaitFlag(FALSE);
    FreeKernelEntries(psEntry);
    RequestStartOfDayService();
}

void ResetConfigPhaseMachine() {
    EndConfigPhase();
    s_bConfigRequester = 0;
    for (uint8_t& b : s_abPhaseParam) b = 0;
    s_dPhaseTimeWindow = 0;
    s_fConfigWriteWait = FALSE;
    s_fDriveCommandPending = FALSE;
}

}  // namespace fw
