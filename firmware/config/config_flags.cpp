// The controller state flags of the configuration database and the handler
// of the partner's configuration-changed message.
#include "config/nvram_records.h"
#include "config/config_flags.h"

#include <cstring>

#include "config/apply_settings.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/drive_walk.h"
#include "config/io_quiesce.h"
#include "config/spare_assign.h"
#include "config/write_semaphore.h"
#include "config/host_port_tables.h"
#include "dataservices/data_services.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "raid/raid_engine.h"

namespace fw {

namespace {

constexpr uint8_t NO_RANK = 255;
constexpr uint32_t FIRST_CONFIG_INDEX = 1;

// The editors whose last seen index is kept, in the order printed.
constexpr uint8_t RECORDED_REQUESTERS[] = {REQUESTER_MANAGEMENT, REQUESTER_CONSOLE, REQUESTER_SNAPSHOT,
                                           REQUESTER_SPARE_ASSIGN};
constexpr uint32_t RECORDED_COUNT = sizeof RECORDED_REQUESTERS;

uint8_t s_fConfigValid = FALSE;
uint8_t s_fClearStaleCopies = FALSE;
uint8_t s_fUpdatePending = FALSE;
uint8_t s_fCommitSpinUpWait = FALSE;
uint8_t s_bUpdateRequester;
CONFIG_COMPLETION s_pfnCompletion;
uint8_t s_fCommitInProgress = FALSE;
uint8_t s_fHostCommandHold = FALSE;
BUFFER_HANDLE s_dHeldPage = NULL_BUFFER_HANDLE;
uint32_t s_dConfigIndex = FIRST_CONFIG_INDEX;
uint32_t s_adRecordedIndex[RECORDED_COUNT];
// The index at which an editor last took the scratch image, or the partner
// the write token: an edit recorded before it holds a copy someone else
// has taken over.  Other changes only reach the live image.
uint32_t s_dEditTakenIndex;
uint8_t s_fEditLock = FALSE;
uint16_t s_wCommitCount;
uint16_t s_wSaveCount;
uint8_t s_fWriteBackCheck = FALSE;
uint8_t s_fDriveFwDownloadActive = FALSE;
uint8_t s_fDriveFwDownloadAbort = FALSE;
uint8_t s_fDriveAttention = FALSE;
uint8_t s_fMgmtCommandActive = FALSE;
uint8_t s_fPendingRebuild = FALSE;
uint8_t s_bPendingRebuildRank = NO_RANK;
uint8_t s_fPendingParityCheck = FALSE;
uint8_t s_bPendingParityRank = NO_RANK;
uint8_t s_fPendingStripeInit = FALSE;
uint8_t s_abPendingStripeInitParams[STRIPE_INIT_PARAMS_BYTES];

// The slot of an editor whose index is recorded, RECORDED_COUNT for others.
uint32_t RecordedSlot(uint8_t bRequester) {
    uint32_t i = 0;
    while (i < RECORDED_COUNT && RECORDED_REQUESTERS[i] != bRequester) ++i;
    return i;
}

}  // namespace

void SetConfigValid(uint8_t f) { s_fConfigValid = f; }
uint8_t fIsConfigValid() { return ToFlag(s_fConfigValid == TRUE); }
void SetClearStaleCopiesFlag(uint8_t f) { s_fClearStaleCopies = f; }
uint8_t fGetClearStaleCopiesFlag() { return s_fClearStaleCopies; }
void SetConfigUpdatePending(uint8_t f) {
    s_fUpdatePending = f;
    if (f == TRUE) SetWorkPending(TRUE);
}
uint8_t fIsConfigUpdatePending() { return s_fUpdatePending; }
void SetCommitSpinUpWait(uint8_t f) { s_fCommitSpinUpWait = f; }
uint8_t fGetCommitSpinUpWait() { return s_fCommitSpinUpWait; }
void SetConfigUpdateRequester(uint8_t b) { s_bUpdateRequester = b; }
uint8_t bGetConfigUpdateRequester() { return s_bUpdateRequester; }
void SetConfigCompletionCallback(CONFIG_COMPLETION pfn) { s_pfnCompletion = pfn; }
void CompleteConfigRequest(uint8_t bStatus) {
    const CONFIG_COMPLETION pfn = s_pfnCompletion;
    s_pfnCompletion = nullptr;
    SetConfigEditLock(FALSE);
    if (pfn != nullptr) pfn(bStatus);
}
void SetConfigCommitInProgress(uint8_t f) { s_fCommitInProgress = f; }
uint8_t fIsConfigCommitInProgress() { return s_fCommitInProgress; }
void SetHostCommandHold(uint8_t f) { s_fHostCommandHold = f; }
uint8_t fGetHostCommandHold() { return s_fHostCommandHold; }
void SetConfigHeldPage(BUFFER_HANDLE dHandle) { s_dHeldPage = dHandle; }
BUFFER_HANDLE dGetConfigHeldPage() { return s_dHeldPage; }

uint8_t IncrementConfigIndex() {
    ++s_dConfigIndex;
    return TRUE;
}
void RecordConfigIndex(uint8_t bRequester) {
    (void)IncrementConfigIndex();
    s_dEditTakenIndex = s_dConfigIndex;
    const uint32_t i = RecordedSlot(bRequester);
    if (i < RECORDED_COUNT) s_adRecordedIndex[i] = s_dConfigIndex;
}
void NoteConfigTakenElsewhere() {
    (void)IncrementConfigIndex();
    s_dEditTakenIndex = s_dConfigIndex;
}
uint8_t fConfigTakenSince(uint8_t bRequester) {
    const uint32_t i = RecordedSlot(bRequester);
    return ToFlag(i >= RECORDED_COUNT || s_dEditTakenIndex > s_adRecordedIndex[i]);
}
uint8_t fConfigIndexMatches(uint8_t bRequester) {
    if (bRequester != REQUESTER_MANAGEMENT && bRequester != REQUESTER_CONSOLE) return FALSE;
    return ToFlag(s_adRecordedIndex[RecordedSlot(bRequester)] == s_dConfigIndex);
}
uint32_t dGetConfigIndex() { return s_dConfigIndex; }
void PrintConfigIndex() {
    ConsolePrintf("\nConfiguration Index:%08x %08x %08x %08x %08x \n\n", s_dConfigIndex, s_adRecordedIndex[0],
                  s_adRecordedIndex[1], s_adRecordedIndex[2], s_adRecordedIndex[3]);
}

void SetConfigEditLock(uint8_t f) { s_fEditLock = f; }
uint8_t fGetConfigEditLock() { return s_fEditLock; }
void IncrementConfigCommitCount() { ++s_wCommitCount; }
void SetConfigCommitCount(uint16_t w) { s_wCommitCount = w; }
uint16_t wGetConfigCommitCount() { return s_wCommitCount; }
void IncrementConfigSaveCount() { ++s_wSaveCount; }
void SetConfigSaveCount(uint16_t w) { s_wSaveCount = w; }
uint16_t wGetConfigSaveCount() { return s_wSaveCount; }
void SetWriteBackCheckEnable(uint8_t f) { s_fWriteBackCheck = f; }
uint8_t fGetWriteBackCheckEnable() { return s_fWriteBackCheck; }

void SetDriveFwDownloadActive(uint8_t f) {
    s_fDriveFwDownloadActive = f;
    if (f == TRUE) SetWorkPending(TRUE);
}
uint8_t fIsDriveFwDownloadActive() { return s_fDriveFwDownloadActive; }
uint8_t fGetDriveFirmwareDownloadRequest() { return s_fDriveFwDownloadActive; }
void SetDriveFwDownloadAbort(uint8_t f) { s_fDriveFwDownloadAbort = f; }
uint8_t fGetDriveFwDownloadAbort() { return s_fDriveFwDownloadAbort; }
void SetDriveAttentionFlag(uint8_t f) { s_fDriveAttention = f; }
uint8_t fGetDriveAttentionFlag() { return s_fDriveAttention; }
void SetMgmtCommandActive(uint8_t f) { s_fMgmtCommandActive = f; }
uint8_t fGetMgmtCommandActive() { return s_fMgmtCommandActive; }

void SetPendingRebuildFlag(uint8_t f) { s_fPendingRebuild = f; }
uint8_t fGetPendingRebuildFlag() { return s_fPendingRebuild; }
void SetPendingRebuildRequest(uint8_t bRank) { s_bPendingRebuildRank = bRank; }
uint8_t bGetPendingRebuildRank() { return s_bPendingRebuildRank; }
void SetPendingParityCheckFlag(uint8_t f) { s_fPendingParityCheck = f; }
uint8_t fGetPendingParityCheckFlag() { return s_fPendingParityCheck; }
void SetPendingParityCheckRank(uint8_t bRank) { s_bPendingParityRank = bRank; }
uint8_t bGetPendingParityCheckRank() { return s_bPendingParityRank; }
void SetPendingStripeInitFlag(uint8_t f) { s_fPendingStripeInit = f; }
uint8_t fGetPendingStripeInitFlag() { return s_fPendingStripeInit; }
uint8_t* pGetPendingStripeInitParams() { return s_abPendingStripeInitParams; }

void HandlePartnerConfigChangedMessage(uint8_t fFromEditor, uint8_t, uint8_t fRebuild, uint8_t bRebuildRank,
                                       uint8_t fParityCheck, uint8_t bParityRank) {
    const uint32_t dRanks = dClampedRankCount(pGetConfigImage());
    if (fFromEditor == TRUE && bGetNvramRebuildPendingFlag() == TRUE) {
        ResetRebuildState();
        if (fRebuild == TRUE) {
            // A rank the partner's image no longer has cancels the rebuild.
            if (bRebuildRank < dRanks) {
                StartRebuildOfRank(bRebuildRank);
            } else {
                SetNvramRebuildPendingFlag(FALSE);
            }
        }
    }
    if (fParityCheck == TRUE) {
        if (bParityRank < dRanks) {
            SetParityCheckRank(bParityRank);
        } else {
            SetParityCheckStopRequest(TRUE);
        }
    }
    (void)ApplyStoredSettings(FALSE, TRUE);
    StartODAStartup(FALSE);
    if (fFromEditor == TRUE) {
        SetHostPortLinkFlag(1, TRUE);
        SetHostPortLinkFlag(2, TRUE);
        // The partner's editor committed: an edit open here holds an older copy.
        NoteConfigTakenElsewhere();
    } else {
        (void)IncrementConfigIndex();
    }
}

void ResetConfigStartFlags() {
    ResetJournalGenerationCheck();
    s_fConfigValid = FALSE;
    s_fClearStaleCopies = FALSE;
    s_fUpdatePending = FALSE;
    s_fCommitSpinUpWait = FALSE;
    s_bUpdateRequester = 0;
    s_pfnCompletion = nullptr;
    s_fCommitInProgress = FALSE;
    s_fHostCommandHold = FALSE;
    s_dHeldPage = NULL_BUFFER_HANDLE;
    s_dConfigIndex = FIRST_CONFIG_INDEX;
    std::memset(s_adRecordedIndex, 0, sizeof s_adRecordedIndex);
    s_dEditTakenIndex = 0;
    s_fEditLock = FALSE;
    s_wCommitCount = 0;
    s_wSaveCount = 0;
    s_fWriteBackCheck = FALSE;
    s_fDriveFwDownloadActive = FALSE;
    s_fDriveFwDownloadAbort = FALSE;
    s_fDriveAttention = FALSE;
    s_fMgmtCommandActive = FALSE;
    s_fPendingRebuild = FALSE;
    s_bPendingRebuildRank = NO_RANK;
    s_fPendingParityCheck = FALSE;
    s_bPendingParityRank = NO_RANK;
    s_fPendingStripeInit = FALSE;
    std::memset(s_abPendingStripeInitParams, 0xFF, sizeof s_abPendingStripeInitParams);
    ResetConfigPhaseMachine();
    InitConfigWriteSemaphore();
    InitIoQuiesce();
    InitSpareAssignment();
    ResetDriveWalk();
}

}  // namespace fw
