// Configuration edit and commit.  An editor opens an edit (phase 1: the
// write token, then a scratch copy of the live image), changes the scratch
// copy and asks for a commit; other code changes the live image and asks
// too.  The commit (phase 2) seals the image and writes it to the drives;
// once a drive holds it, an editor's image is installed as the live one, the
// write journals are cleared when the first array appears, and the image is
// applied to the run-time tables.  When no drive took it, the live image
// stays what the drives hold and the requester hears of the failure.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

// Commit steps besides 0 (the writer moves the commit to 11).
constexpr uint8_t COMMIT_STEP_APPLY = 12;

// Result of the last commit: 255 written, 0 when member drives were named
// but none of them received the new copy.
constexpr uint8_t COMMIT_COPIES_LOST = 0;
uint8_t bGetConfigCommitResult();

// Requests a commit for the requester; returns the configuration index
// step's result (TRUE).  Does nothing in production test mode.
uint8_t RequestConfigUpdate(uint8_t bRequester);
// The background pass starts a requested commit when nothing is busy.
void StartConfigCommit();
// Power management has spun the member drives up.
void ResumeConfigCommit(void* pArgument);
// Phase 1 and phase 2.
uint8_t BeginConfigEditPhase(uint8_t bStep);
uint8_t CommitConfigurationPhase(uint8_t bStep);
// The quiesce of commit step 0 ended.
void ConfigQuiesceDone(uint8_t bStatus);
// An open edit that has changed nothing yet takes its scratch copy again,
// after changes that reached only the live image (a background job's end,
// a failed drive), and records the index as its own.
void RetakeScratchCopy(uint8_t bRequester);

// Event 116 for each array whose initialisation the edit dropped, then the
// overwrite data areas the scratch image no longer holds are released.
void CheckRankChangesBeforeCommit(const CONFIG_IMAGE* psScratch, const CONFIG_IMAGE* psLive);
// A WWN held by two member slots, or by a member slot and a spare, keeps
// only the in-service place.
void SyncSpareListWithRanks(CONFIG_IMAGE* psImage);
// The drive loops were brought up again: a commit in progress is requeued,
// the rest of the configuration activity dropped.
void AbortConfigActivity();

// This controller goes on without its partner (it took the partner's work
// over, or a controller of a pair started alone): until a commit has put a
// newer generation on the drives, naming this controller as the one that
// saved it alone, it serves no host.  The partner, starting alone later,
// then knows its journals were outrun and writes none of them out over
// what this controller wrote.  Asks for that commit when fRequest is TRUE
// (the takeover asks by its own path).  A configuration without arrays
// holds nothing; the wait is bounded.
void HoldHostWorkUntilGenerationMoves(uint8_t fRequest);
uint8_t fIsHostWorkHeldForGeneration();

}  // namespace fw
