// Configuration edit (phase 1) and commit (phase 2).
#include "config/config_commit.h"

#include <cstring>

#include "cache/cache.h"
#include "cache/flush_sequencer.h"
#include "config/apply_settings.h"
#include "config/bad_blocks.h"
#include "config/config_db.h"
#include "config/config_state.h"
#include "config/config_writer.h"
#include "config/default_config.h"
#include "config/drive_tables.h"
#include "config/host_port_tables.h"
#include "config/io_quiesce.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "config/spare_assign.h"
#include "config/spares_wwn.h"
#include "config/write_semaphore.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "dataservices/data_services.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_rescan.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_queue.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "hw/host_interface.h"
#include "mgmt/management.h"
#include "partner/partner_link.h"
#include "raid/drive_error_recovery.h"
#include "raid/raid_engine.h"
#include "sas/sas_drive.h"
#include "target/target_engine.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_CONFIGURATION_CHANGED = 47;
constexpr uint8_t EVENT_INIT_ABORTED = 116;
constexpr uint8_t APM_EVENT_SPIN_UP_DONE = 2;
constexpr uint8_t APM_EVENT_COMMIT_WAITS = 3;
constexpr uint32_t COMMIT_RETRY_MS = 10;
constexpr uint8_t NO_RANK = 255;
constexpr uint32_t WORK_BUFFER_SLOT_COLUMNS = 7168;
constexpr uint8_t INIT_PENDING = 1;
// Long enough for a takeover's drive side to be found again and the
// configuration written; a commit that never comes must not hold the hosts
// for good.
constexpr uint64_t GENERATION_MOVE_WAIT_MS = 60000;

uint8_t s_fFirstArray = FALSE;
uint8_t s_bCommitResult = STATUS_OK;
// Its timer retries commit step 0 after a failed quiesce.
KERNEL_ENTRY s_sCommitTimerOwner;
uint8_t s_fGenerationHold = FALSE;
uint32_t s_dGenerationHeld = 0;
uint64_t s_lGenerationHoldSince = 0;

bool IsEditorForInstall(uint8_t bRequester) {
    return bRequester == REQUESTER_EDITOR || bRequester == REQUESTER_CONSOLE || bRequester == REQUESTER_MANAGEMENT ||
           bRequester == REQUESTER_SNAPSHOT;
}

bool IsEditorForApply(uint8_t bRequester) {
    return IsEditorForInstall(bRequester) || bRequester == REQUESTER_POWER_MANAGEMENT ||
           bRequester == REQUESTER_DATA_SERVICES;
}

// Array count and logical drive count, as one word.
bool HasArraysOrLds(const CONFIG_IMAGE* psImage) {
    return psImage->sHeader.wRankCount != 0 || psImage->sHeader.wLdCount != 0;
}

bool IsAllZero(const uint8_t* pbWwn) {
    for (uint32_t i = 0; i < 8; i++)
        if (pbWwn[i] != 0) return false;
    return true;
}

void NextRun(uint8_t bStep) {
    SetConfigPhaseStep(bStep);
    RequestStartOfDayService();
}

// The image a commit writes.  An editor's scratch image is sealed and
// written where it is, and installed as the live image only once a drive
// holds it: until then the live image stays what the drives hold.  The
// other requesters changed the live image itself.
CONFIG_IMAGE* psCommittedImage(uint8_t bRequester) {
    return IsEditorForInstall(bRequester) ? pGetScratchConfigImage() : pGetConfigImage();
}

// The writer's run reached the drives: no member is named, or one at least
// holds the new copy.  Otherwise the next start of day loads the old
// configuration.
bool CopiesTook() { return wGetConfigMembersNamed() == 0 || wGetConfigCopiesWritten() != 0; }

// A generation saved by a controller running without its partner names it:
// the partner, starting alone later with journals tied to an older one,
// knows from it that they were outrun.  One the pair saved names no one, and
// one saved at a start of both together, before the two have settled whose
// journals are written out (the partner reads the name here to tell), keeps
// the name it was loaded with.
void MarkAloneWriter(CONFIG_IMAGE* psImage) {
    uint8_t* pbWwn = psImage->sHeader.abAloneWriterWwn;
    if (fIsHostWorkHeldForPartnerStart() == TRUE || fIsTakeoverDrainPending() == TRUE) return;
    if (fIsInitializationComplete() != TRUE && fGetDualStartFlag() == TRUE) return;
    if (fIsDualControllerActive() == TRUE) {
        std::memset(pbWwn, 0, sizeof psImage->sHeader.abAloneWriterWwn);
    } else {
        GetNvramControllerWwn(pbWwn);
    }
}

// Step 0: the image to write is made ready and sealed, then the writer runs.
void SealAndWrite() {
    CONFIG_IMAGE* psLive = pGetConfigImage();
    CONFIG_IMAGE* psScratch = pGetScratchConfigImage();
    const uint8_t bRequester = bGetConfigRequester();
    // Only an editor's scratch image is what gets installed: for the other
    // requesters it may hold anything (the last copy the loader read), and
    // the journals must not be cleared on its word.
    s_fFirstArray = ToFlag(IsEditorForInstall(bRequester) && psLive->sHeader.wRankCount == 0 &&
                           psScratch->sHeader.wRankCount != 0);
    uint8_t* pbWork = pGetConfigWorkBuffer();
    if (pbWork != nullptr) std::memset(pbWork, 0, 4);
    BuildSASAddressList(pGetDriveAddressList());
    CONFIG_IMAGE* psImage = psCommittedImage(bRequester);
    if (IsEditorForInstall(bRequester) && !HasArraysOrLds(psScratch)) {
        std::memset(psScratch, 0, CONFIG_IMAGE_SIZE);
        MakeDefaultConfiguration(psScratch, TRUE);
    }
    // The sealed image is what goes to the drives: every change comes
    // before the seal, and an image without arrays and logical drives is
    // sealed with generation 0 so that its checks hold.
    SyncSpareListWithRanks(psImage);
    MarkAloneWriter(psImage);
    if (HasArraysOrLds(psImage)) {
        SealConfigImage(psImage, ToFlag(bRequester != REQUESTER_COMMIT_SAME_GENERATION));
    } else {
        psImage->sHeader.dGeneration = 0;
        SealConfigImage(psImage, FALSE);
    }
    UpdateAPMConfiguredFlag(psImage);
    // The journals are tied to the generation on its way to the drives
    // before any copy of it lands: a cut in between must not look, at the
    // next start, like a configuration another controller wrote without
    // them.
    SetNvramJournalGeneration(psImage->sHeader.dGeneration);
    StartConfigWriter(psImage);
}

// Step 11: the first array's commit empties both write journals, once the
// array is on the drives.
void ResetJournalsForFirstArray() {
    uint8_t bSent = 0;
    if (s_fFirstArray == TRUE && CopiesTook()) {
        s_fFirstArray = FALSE;
        ClearOwnNvramQueueData();
        ClearPartnerNvramQueueData();
        InitOwnNvramQueue();
        ReleasePartnerNvramQueue();
        if (fIsDualControllerActive() == TRUE) bSent = SendJournalResetMessage(1);
    }
    s_fFirstArray = FALSE;
    SetConfigPhaseStep(COMMIT_STEP_APPLY);
    // A queued message's answer requests the next run.
    if (bSent != STATUS_OK) RequestStartOfDayService();
}

// Step 12, editor requesters: the jobs waiting for the commit start and
// the image is applied.
void ApplyEditorImage(bool fCopiesWritten) {
    const CONFIG_IMAGE* psLive = pGetConfigImage();
    const uint32_t dRanks = dClampedRankCount(psLive);
    if (bGetNvramRebuildPendingFlag() == TRUE) {
        ResetRebuildState();
        const uint8_t bRank = bGetPendingRebuildRank();
        if (fGetPendingRebuildFlag() == TRUE && bRank < dRanks) {
            StartRebuildOfRank(bRank);
        } else if (bRank == NO_RANK || bRank >= dRanks) {
            SetNvramRebuildPendingFlag(FALSE);
        }
    }
    SetPendingRebuildFlag(FALSE);
    if (fGetPendingParityCheckFlag() == TRUE) {
        const uint8_t bRank = bGetPendingParityCheckRank();
        if (bRank < dRanks) {
            SetParityCheckRank(bRank);
        } else {
            SetParityCheckStopRequest(TRUE);
        }
        SetPendingParityCheckFlag(FALSE);
    }
    switch (bGetHostInterfaceType()) {
    case HOST_INTERFACE_FC:
        SetHostPortLinkFlag(PORT_CODE_FC_HOST_1, TRUE);
        if (fIsNvramOption1Set() != TRUE) SetHostPortLinkFlag(PORT_CODE_FC_HOST_2, TRUE);
        break;
    case HOST_INTERFACE_SAS_TARGET:
        SetHostPortLinkFlag(PORT_CODE_SAS_HOST_1, TRUE);
        SetHostPortLinkFlag(PORT_CODE_SAS_HOST_2, TRUE);
        break;
    default:
        // The second SAS host path: port codes 49 and 50.
        SetHostPortLinkFlag(PORT_CODE_FC_TABLE_1, TRUE);
        SetHostPortLinkFlag(PORT_CODE_FC_TABLE_2, TRUE);
        break;
    }
    if (fGetPendingStripeInitFlag() == TRUE && dRanks != 0) {
        RenumberStripeInitEntries(psLive, pGetPendingStripeInitParams());
    }
    SetPendingStripeInitFlag(FALSE);
    SetArrayDeletedFlag(FALSE);
    (void)ApplyStoredSettings(FALSE, TRUE);
    StartODAStartup(FALSE);
    if (fIsDualControllerActive() == TRUE) (void)SendConfigChangedMessage(TRUE);
    // A configuration no drive took is not announced as changed.
    if (fCopiesWritten) PostEvent(EVENT_CONFIGURATION_CHANGED);
}

// Step 12, other requesters: the live image was written as it stood; the
// spare and unassigned drive tables follow it.
void RefreshDriveTables(uint8_t bRequester) {
    CONFIG_IMAGE* psLive = pGetConfigImage();
    DRIVE_ADDRESS_LIST* psList = pGetDriveAddressList();
    if (fGetRebuildWork() == TRUE) {
        uint8_t abWwn[8];
        uint8_t bTarget = 0;
        GetRebuildTargetWwn(abWwn);
        (void)pFindSASAddressInList(psList, abWwn, &bTarget, TRUE);
    }
    BuildHotSpareTableSas(psLive, psList);
    BuildDriveSlotTableSas(psList, FALSE);
    if (fIsDualControllerActive() == TRUE && bRequester != REQUESTER_NO_PARTNER_NOTICE) {
        (void)SendConfigChangedMessage(FALSE);
    }
    if (bRequester == REQUESTER_BAD_BLOCKS) BuildBadBlockTables(psLive);
}

// Step 12 when no drive took an editor's image: the live image and the
// tables stay what the drives hold, the jobs the edit asked for go with it,
// and the editor is told.
void DropEditorImage(uint8_t bRequester) {
    SetPendingRebuildFlag(FALSE);
    SetPendingParityCheckFlag(FALSE);
    SetPendingStripeInitFlag(FALSE);
    UpdateAPMConfiguredFlag(pGetConfigImage());
    if (bRequester == REQUESTER_CONSOLE) {
        ConsolePrintf("\nConfiguration Save Failed: No Drive Holds The New Configuration\n\n");
    }
}

void FinishCommit() {
    const uint8_t bRequester = bGetConfigRequester();
    EndConfigPhase();
    const bool fCopiesWritten = CopiesTook();
    s_bCommitResult = fCopiesWritten ? STATUS_OK : COMMIT_COPIES_LOST;
    const bool fInstall = IsEditorForInstall(bRequester);
    if (fInstall && fCopiesWritten) {
        CONFIG_IMAGE* psScratch = pGetScratchConfigImage();
        CheckRankChangesBeforeCommit(psScratch, pGetConfigImage());
        CopyConfigImage(psScratch, pGetConfigImage());
    }
    if (!fInstall || fCopiesWritten) SetConfigValid(TRUE);
    if (fInstall && !fCopiesWritten) {
        DropEditorImage(bRequester);
    } else if (IsEditorForApply(bRequester)) {
        ApplyEditorImage(fCopiesWritten);
    } else {
        RefreshDriveTables(bRequester);
    }
    SetNvramJournalGeneration(pGetConfigImage()->sHeader.dGeneration);
    if (fCopiesWritten && pGetConfigImage()->sHeader.dGeneration != s_dGenerationHeld) s_fGenerationHold = FALSE;
    SetEnableLunRequest(TRUE);
    SetConfigApplyOption(FALSE);
    SetConfigCommitInProgress(FALSE);
    StoreDeferredMemberFailures();
    (void)ReleaseConfigWriteSemaphore();
    // Any commit stores what the target engine wrote into the image before
    // it began, whoever asked for it.
    if (bRequester == REQUESTER_TARGET_ENGINE || fIsPrOutWaitingForCopy() == TRUE) {
        CompleteTargetEngineConfigRequest(0, 0, 0, 0);
    }
    if (bRequester == REQUESTER_SNAPSHOT) CompleteConfigRequest(s_bCommitResult);
    TQM_SETTINGS sBlock;
    GetTqmSettings(&sBlock);
    ApplyTqmSettings(&sBlock);
    (void)bStartAPM();
    if (fGetWriteBackCheckEnable() == TRUE && bGetIoQuiesceState() == QUIESCE_QUIESCED) {
        ResumeHostIo();
        SetWriteBackCheckEnable(FALSE);
    }
}

void FreeHeldPage() {
    if (dGetConfigHeldPage() == NULL_BUFFER_HANDLE) return;
    (void)wFreeDataPages(dGetConfigHeldPage(), 1);
    SetConfigHeldPage(NULL_BUFFER_HANDLE);
}

void RetryConfigCommitStep(KERNEL_ENTRY*, TIMER_NODE*) { ConfigQuiesceDone(STATUS_OK); }

// The scratch image becomes a copy of the live one (or the defaults), and
// the drive slot tables are kept as they stand, for an edit that ends
// unsaved to go back to.
void CopyLiveIntoScratch() {
    CONFIG_IMAGE* psScratch = pGetScratchConfigImage();
    if (uint8_t* pbWork = pGetConfigWorkBuffer(); pbWork != nullptr) {
        const DRIVE_SLOT_TABLES* psSlots = pGetDriveSlotTables();
        uint8_t* pbColumns = pbWork + WORK_BUFFER_SLOT_COLUMNS;
        std::memcpy(pbColumns, psSlots->abDrive, DRIVE_SLOTS);
        std::memcpy(pbColumns + DRIVE_SLOTS, psSlots->abDriveAlt, DRIVE_SLOTS);
        std::memcpy(pbColumns + 2 * DRIVE_SLOTS, psSlots->afFailed, DRIVE_SLOTS);
    }
    if (fIsConfigValid() == TRUE) {
        CopyConfigImage(pGetConfigImage(), psScratch);
    } else {
        std::memset(psScratch, 0, CONFIG_IMAGE_SIZE);
        MakeDefaultConfiguration(psScratch, TRUE);
    }
}

// Phase 1 step 2: the token is held; the scratch image becomes a copy of
// the live one (or the defaults) and the editor is told.
void OpenEdit() {
    SetConfigWriteWaitFlag(FALSE);
    std::memset(pGetScratchConfigImage(), 0, 4);
    if (uint8_t* pbWork = pGetConfigWorkBuffer(); pbWork != nullptr) std::memset(pbWork, 0, 4);
    if (fGetDriveAttentionFlag() == TRUE) CancelPendingArrayJobs();
    CopyLiveIntoScratch();
    EndConfigPhase();
    const uint8_t bRequester = bGetConfigRequester();
    RecordConfigIndex(bRequester);
    switch (bRequester) {
    case REQUESTER_MANAGEMENT: FinishManagementCommand(STATUS_OK); break;
    case REQUESTER_CONSOLE: ConfigurationMenu(); break;
    case REQUESTER_SNAPSHOT: CompleteConfigRequest(STATUS_OK); break;
    case REQUESTER_SPARE_ASSIGN: StartSpareAssignEdit(1); break;
    default: break;
    }
}

}  // namespace

uint8_t bGetConfigCommitResult() { return s_bCommitResult; }

void RetakeScratchCopy(uint8_t bRequester) {
    CopyLiveIntoScratch();
    RecordConfigIndex(bRequester);
}

uint8_t RequestConfigUpdate(uint8_t bRequester) {
    if (fIsProductionTestMode() == TRUE) return TRUE;
    // An editor's request still waiting for its commit is kept when the
    // apply, a drive failure or another internal change asks too: its
    // commit installs the editor's image and ends the editor's dialogue,
    // and it writes and applies the live image as theirs would.  Taking the
    // later requester would drop the edit and leave its editor waiting.
    const bool fEditorWaiting = fIsConfigUpdatePending() == TRUE && IsEditorForApply(bGetConfigUpdateRequester());
    SetConfigUpdatePending(TRUE);
    if (!fEditorWaiting || IsEditorForApply(bRequester)) SetConfigUpdateRequester(bRequester);
    return IncrementConfigIndex();
}

void HoldHostWorkUntilGenerationMoves(uint8_t fRequest) {
    if (fIsConfigValid() != TRUE || fIsProductionTestMode() == TRUE) return;
    s_dGenerationHeld = pGetConfigImage()->sHeader.dGeneration;
    s_lGenerationHoldSince = lGetTickCount();
    s_fGenerationHold = TRUE;
    if (fRequest == TRUE) (void)RequestConfigUpdate(REQUESTER_COMMIT);
}

uint8_t fIsHostWorkHeldForGeneration() {
    if (s_fGenerationHold == TRUE && lGetTickCount() - s_lGenerationHoldSince > GENERATION_MOVE_WAIT_MS) {
        s_fGenerationHold = FALSE;
    }
    return s_fGenerationHold;
}

void StartConfigCommit() {
    DRIVE_MASK_SET sSpinUp;
    ClearPendingSpinDowns();
    if (bCollectSpunDownDrives(&sSpinUp) != 0) {
        // Waiting before asking: the spin-up may end before the request
        // returns.
        SetCommitSpinUpWait(TRUE);
        if (bRequestDriveSpinUp(&sSpinUp, ResumeConfigCommit, nullptr) != STATUS_RETRY) {
            UpdateArrayAPMStatesOnEvent(APM_EVENT_COMMIT_WAITS);
            return;
        }
        SetCommitSpinUpWait(FALSE);
    }
    const uint8_t bRequester = bGetConfigUpdateRequester();
    RequestConfigurationService();
    SetConfigPhase(CONFIG_PHASE_COMMIT);
    SetConfigRequester(bRequester);
    const bool fClear = bRequester == REQUESTER_CONSOLE || bRequester == REQUESTER_EDITOR ||
                        bRequester == REQUESTER_DRIVE_FAILURE || bRequester == REQUESTER_MANAGEMENT ||
                        bRequester == REQUESTER_SNAPSHOT || pGetConfigImage()->sHeader.wRankCount != 0;
    SetClearStaleCopiesFlag(ToFlag(fClear));
    SetConfigPhaseStep(0);
    SetPhaseParam3(0);
    SetPhaseParam4(0);
    SetPhaseParam2(255);
    SetPhaseParam1(255);
    SetConfigUpdatePending(FALSE);
    SetConfigCommitInProgress(TRUE);
    IncrementConfigCommitCount();
}

void ResumeConfigCommit(void*) {
    SetCommitSpinUpWait(FALSE);
    SetWorkPending(TRUE);
    UpdateArrayAPMStatesOnEvent(APM_EVENT_SPIN_UP_DONE);
}

void ConfigQuiesceDone(uint8_t bStatus) {
    // An aborted commit comes back through its request, not from here.
    if (bGetConfigPhase() != CONFIG_PHASE_COMMIT || bGetConfigPhaseStep() != 0 ||
        fIsConfigCommitInProgress() != TRUE) {
        return;
    }
    if (bStatus == STATUS_OK) {
        (void)CommitConfigurationPhase(0);
    } else {
        InsertTimer(&s_sCommitTimerOwner, RetryConfigCommitStep, COMMIT_RETRY_MS);
    }
}

uint8_t CommitConfigurationPhase(uint8_t bStep) {
    switch (bStep) {
    case 0:
        if (IsEditorForInstall(bGetConfigRequester())) StopExpansionMissingFrom(pGetScratchConfigImage());
        if (fGetWriteBackCheckEnable() == TRUE && bGetIoQuiesceState() != QUIESCE_QUIESCED) {
            StartIoQuiesce(ConfigQuiesceDone);
            return STATUS_OK;
        }
        SealAndWrite();
        return STATUS_OK;
    case COMMIT_STEP_WRITTEN:
        ResetJournalsForFirstArray();
        return STATUS_OK;
    case COMMIT_STEP_APPLY:
        FinishCommit();
        return STATUS_OK;
    default:
        return STATUS_OK;
    }
}

uint8_t BeginConfigEditPhase(uint8_t bStep) {
    switch (bStep) {
    case 0: {
        const uint8_t bRequester = bGetConfigRequester();
        // Refused before the token is taken, so that a refusal does not
        // keep it in use.
        if (bRequester != REQUESTER_SNAPSHOT && fGetConfigEditLock() == TRUE) {
            if (bRequester == REQUESTER_MANAGEMENT) FinishManagementCommand(0);
            if (bRequester == REQUESTER_CONSOLE) AbortMenuByRemoteConfiguration();
            EndConfigPhase();
            return STATUS_OK;
        }
        NextRun(RequestConfigWriteSemaphore() == WRITE_TOKEN_GRANTED ? 2 : 1);
        break;
    }
    case 1:
        SetConfigWriteWaitFlag(TRUE);
        if (fPollConfigWriteSemaphore() == TRUE) SetConfigPhaseStep(2);
        RequestStartOfDayService();
        break;
    case 2:
        OpenEdit();
        break;
    default:
        break;
    }
    RefreshHostLunTable();
    return STATUS_OK;
}

void CheckRankChangesBeforeCommit(const CONFIG_IMAGE* psScratch, const CONFIG_IMAGE* psLive) {
    const uint16_t wRanks = psLive->sHeader.wRankCount;
    if (wRanks != 0 && wRanks == psScratch->sHeader.wRankCount) {
        const uint32_t dRanks = dClampedRankCount(psLive);
        for (uint32_t r = 0; r < dRanks; r++) {
            const CONFIG_RANK_RECORD& sOld = psLive->asRank[r];
            const CONFIG_RANK_RECORD& sNew = psScratch->asRank[r];
            const bool fSameArray = sOld.bRaidLevel == sNew.bRaidLevel && sOld.bDriveCount == sNew.bDriveCount &&
                                    sOld.wChunkSize == sNew.wChunkSize && sOld.wCapacityGb == sNew.wCapacityGb &&
                                    sOld.lStartAddress == sNew.lStartAddress &&
                                    sOld.lLastOffset == sNew.lLastOffset && sOld.dStripeSize == sNew.dStripeSize &&
                                    std::memcmp(sOld.aabMemberWwn, sNew.aabMemberWwn, sizeof sOld.aabMemberWwn) == 0;
            if (fSameArray && sOld.bInitState == INIT_PENDING && sNew.bInitState != INIT_PENDING) {
                PostEvent(EVENT_INIT_ABORTED, 3, 5, static_cast<uint8_t>(r));
            }
        }
    }
    ReleaseOdasMissingFromImage(psLive, psScratch);
}

void SyncSpareListWithRanks(CONFIG_IMAGE* psImage) {
    const uint32_t dRanks = dClampedRankCount(psImage);
    const uint32_t dSpares = dClampedSpareCount(psImage);
    for (uint32_t r = 0; r < dRanks; r++) {
        CONFIG_RANK_RECORD& sRank = psImage->asRank[r];
        const uint32_t dMembers = dClampedDriveCount(&sRank);
        for (uint32_t m = 0; m < dMembers; m++) {
            uint8_t* pbWwn = sRank.aabMemberWwn[m];
            if (sRank.abMemberState[m] == 0 || IsAllZero(pbWwn)) continue;
            bool fElsewhere = false;
            for (uint32_t r2 = 0; r2 < dRanks && !fElsewhere; r2++) {
                const CONFIG_RANK_RECORD& sOther = psImage->asRank[r2];
                const uint32_t dOthers = dClampedDriveCount(&sOther);
                for (uint32_t m2 = 0; m2 < dOthers; m2++) {
                    if ((r2 != r || m2 != m) && fWwnEqual(sOther.aabMemberWwn[m2], pbWwn) == TRUE) {
                        fElsewhere = true;
                        break;
                    }
                }
            }
            for (uint32_t s = 0; s < dSpares && !fElsewhere; s++) {
                fElsewhere = fWwnEqual(psImage->asSpare[s].abWwn, pbWwn) == TRUE;
            }
            if (fElsewhere) FillWwn(pbWwn, 0);
        }
    }
    uint32_t s = 0;
    while (s < dClampedSpareCount(psImage)) {
        uint8_t bRank = 0;
        uint8_t bMember = 0;
        if (fFindWwnInConfig(psImage, &bRank, &bMember, psImage->asSpare[s].abWwn) == TRUE &&
            bRank != WWN_IN_SPARE_LIST) {
            DeleteSpareEntry(psImage, static_cast<uint8_t>(s));
        } else {
            ++s;
        }
    }
}

void AbortConfigActivity() {
    if (fGetDriveAttentionFlag() == TRUE) {
        EndConfigPhase();
        return;
    }
    const bool fCommit = fIsConfigCommitInProgress() == TRUE;
    const bool fRescan = fIsDriveRescanInProgress() == TRUE;
    const bool fHold = fGetHostCommandHold() == TRUE;
    if (fIsConfigUpdatePending() != TRUE && !fCommit && fIsDriveRescanRequested() != TRUE && !fRescan && !fHold) {
        return;
    }
    if (fCommit) {
        SetConfigUpdatePending(TRUE);
        SetConfigCommitInProgress(FALSE);
        // Chains still out finish on their own; the requeued commit's
        // writer waits for them.
        AbandonConfigWriter();
        FreeHeldPage();
    }
    if (fRescan) {
        SetDriveRescanRequest(TRUE);
        SetDriveRescanInProgress(FALSE);
    }
    if (fHold) {
        FreeHeldPage();
        const uint8_t bRequester = bGetConfigRequester();
        if (bRequester == REQUESTER_MANAGEMENT || bRequester == REQUESTER_MANAGEMENT_ABORT) {
            FailManagementCommandOnAbort();
        }
    }
    SetHostCommandHold(FALSE);
    EndConfigPhase();
}

}  // namespace fw
