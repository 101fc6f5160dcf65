// The controller-wide state of the configuration database: single bytes and
// words, each read and written through one-line accessors, that the main
// loop, the phases, the menus, the management commands and the partner code
// test as busy gates.  Setters run in the main loop only; readers take no
// lock.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

// A valid image is installed; TRUE only for exactly 0xF1.
void SetConfigValid(uint8_t f);
uint8_t fIsConfigValid();
// The configuration writer also erases copies on drives that are not members.
void SetClearStaleCopiesFlag(uint8_t f);
uint8_t fGetClearStaleCopiesFlag();
// A commit is requested; TRUE also raises the work-pending byte.
void SetConfigUpdatePending(uint8_t f);
uint8_t fIsConfigUpdatePending();
// The commit waits for drives to spin up.
void SetCommitSpinUpWait(uint8_t f);
uint8_t fGetCommitSpinUpWait();
void SetConfigUpdateRequester(uint8_t b);
uint8_t bGetConfigUpdateRequester();
// Requester 15's completion: called once with the result, then cleared
// together with the edit lock.
using CONFIG_COMPLETION = void (*)(uint8_t bStatus);
void SetConfigCompletionCallback(CONFIG_COMPLETION pfn);
void CompleteConfigRequest(uint8_t bStatus);
void SetConfigCommitInProgress(uint8_t f);
uint8_t fIsConfigCommitInProgress();
// A management command holds the configuration.
void SetHostCommandHold(uint8_t f);
uint8_t fGetHostCommandHold();
// The data page a management command holds, NULL_BUFFER_HANDLE none.
void SetConfigHeldPage(BUFFER_HANDLE dHandle);
BUFFER_HANDLE dGetConfigHeldPage();

// The configuration index counts changes from 1; the index each of the
// editors 4, 10, 15 and 6 last saw is recorded when its edit opens.
uint8_t IncrementConfigIndex();
void RecordConfigIndex(uint8_t bRequester);
uint8_t fConfigIndexMatches(uint8_t bRequester);
// Another editor took the scratch image, or the partner the write token (a
// change the index counts as well).
void NoteConfigTakenElsewhere();
// TRUE when, since the requester (4, 10, 15 or 6) recorded its index,
// another editor took the scratch image or the partner the write token;
// other changes only reached the live image, which an edit that changed
// nothing may copy again.
uint8_t fConfigTakenSince(uint8_t bRequester);
uint32_t dGetConfigIndex();
void PrintConfigIndex();

// While TRUE, edits of requesters other than 15 are refused.
void SetConfigEditLock(uint8_t f);
uint8_t fGetConfigEditLock();
void IncrementConfigCommitCount();
void SetConfigCommitCount(uint16_t w);
uint16_t wGetConfigCommitCount();
void IncrementConfigSaveCount();
void SetConfigSaveCount(uint16_t w);
uint16_t wGetConfigSaveCount();
// The commit quiesces host I/O first.
void SetWriteBackCheckEnable(uint8_t f);
uint8_t fGetWriteBackCheckEnable();

// Drive firmware download running (TRUE also raises work pending) and its
// stop request.
void SetDriveFwDownloadActive(uint8_t f);
uint8_t fIsDriveFwDownloadActive();
void SetDriveFwDownloadAbort(uint8_t f);
uint8_t fGetDriveFwDownloadAbort();
// The background pass's gate of the drive firmware download step: the
// download activity flag.
uint8_t fGetDriveFirmwareDownloadRequest();
// A drive-loop rediscovery is requested.
void SetDriveAttentionFlag(uint8_t f);
uint8_t fGetDriveAttentionFlag();
// A vendor management command is executing.
void SetMgmtCommandActive(uint8_t f);
uint8_t fGetMgmtCommandActive();

// Background jobs to start at the next commit; rank 255 none.
void SetPendingRebuildFlag(uint8_t f);
uint8_t fGetPendingRebuildFlag();
void SetPendingRebuildRequest(uint8_t bRank);
uint8_t bGetPendingRebuildRank();
void SetPendingParityCheckFlag(uint8_t f);
uint8_t fGetPendingParityCheckFlag();
void SetPendingParityCheckRank(uint8_t bRank);
uint8_t bGetPendingParityCheckRank();
constexpr uint32_t STRIPE_INIT_PARAMS_BYTES = 64;
void SetPendingStripeInitFlag(uint8_t f);
uint8_t fGetPendingStripeInitFlag();
uint8_t* pGetPendingStripeInitParams();

// The partner's commit ended (message 145): start the jobs it left pending
// and apply the image it wrote.
void HandlePartnerConfigChangedMessage(uint8_t fFromEditor, uint8_t bUnused, uint8_t fRebuild, uint8_t bRebuildRank,
                                       uint8_t fParityCheck, uint8_t bParityRank);

// Every flag, counter and index back to its start-of-day value.
void ResetConfigStartFlags();

}  // namespace fw
