// The parity check: a background job that reads every stripe row of one
// RAID 5, 50 or 6 array, compares its parity with its data and, as the
// operator chose, counts the rows that disagree (mode 1), rewrites the
// parity of every row from its data (mode 2), or both (mode 3).  With the
// all-ranks flag it walks on from array to array.  One row is in flight at a
// time; while it is, a pseudo write over the whole row in the outstanding
// write queue holds host writes to it off, so that nothing a host writes is
// read half old and half new, or overwritten by parity of stale data.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

constexpr uint8_t PARITY_MODE_CHECK = 1;
constexpr uint8_t PARITY_MODE_REWRITE = 2;
constexpr uint8_t PARITY_MODE_CHECK_AND_REWRITE = 3;

// Partner messages of the job.
constexpr uint8_t PARITY_MESSAGE_START = 90;
constexpr uint8_t PARITY_MESSAGE_STARTED = 91;
constexpr uint8_t PARITY_MESSAGE_NEXT_ROW = 92;
constexpr uint8_t PARITY_MESSAGE_STOPPED = 93;
constexpr uint8_t PARITY_MESSAGE_FINISHED = 94;

// Child command types of the check's reads and parity writes.
constexpr uint8_t CT_PARITY_CHECK_READ = 53;
constexpr uint8_t CT_PARITY_CHECK_WRITE = 57;

// Start-up values: no check, no resume record.
void InitParityCheck();
// Starts a check of the rank (the starters have tested it); the result of
// the enclosure status refresh it asks for.
uint8_t StartParityCheck(uint8_t bRank, uint8_t bMode, uint8_t fAll);
// One step of the job (the background pass).
void ParityCheckTask();

void SetParityCheckStopRequest(uint8_t f);
uint8_t fGetParityCheckStopRequest();
// The operator's or a management client's stop: the master stops its own
// check, a slave asks the master (message 93).
void RequestParityCheckStop();
// The failed-drive-command handling: a child of the check failed for good,
// the row is left as it is.
void SetParityCheckSkipRequest(uint8_t f);
uint8_t fGetParityCheckSkipRequest();
void SetParityCheckInProgress(uint8_t f);
uint8_t fIsParityCheckInProgress();
uint8_t bGetParityCheckRank();
// The configuration commit renumbered the rank under check.
void SetParityCheckRank(uint8_t bRank);
uint8_t bGetParityCheckMode();
uint8_t fGetParityCheckAllRanks();
uint32_t dGetParityCheckErrorCount();
uint32_t dGetParityCheckPosition();
uint32_t dGetParityCheckLastPosition();
uint8_t bGetParityCheckState();
// The check command's step (its primary state), 0 while it has none.
uint8_t bGetParityCheckStep();
uint8_t bGetParityCheckPercent();
void ShowParityCheckStatus();

// Messages 90 to 94 from the partner: the body from its code byte on (code,
// rank, mode, all-ranks flag, 0, position and error count big-endian).
void HandleParityJobMessage(const uint8_t* pbBody);

// The check to take up again after a restart (the partner's start-of-day
// report fills it).
void SaveParityCheckResume(uint8_t fValid, uint8_t bRank, uint8_t fAll, uint8_t bMode, uint32_t dErrors,
                           uint32_t dPosition);
void ResumeParityCheck();

// The pseudo writes of the current row: 255 held, 0 when the row lies in
// no logical drive, 16 when no host entry is free.
uint8_t fGeneratePseudoWriteargetKernelCmd(uint8_t bRank, uint8_t bOpcode);

// TRUE when the rank may be checked: RAID 5/50 with no operation on it, or
// RAID 6 running or missing at most one member.
uint8_t fIsRankParityCheckable(uint8_t bRank);

}  // namespace fw
