// Target queue management: hosts crowding an array are answered BUSY or
// TASK SET FULL instead of waiting without bound.  Each array has a limit of
// outstanding host commands that follows its worst latency against the
// configured response time, once a period; above the limit a READ(16) or
// WRITE(16) is admitted only on its host's and its LUN's history, and a
// refused one may have its status held back for a while.  While it is on,
// admissions and refusals are counted per host and LUN in a table taken
// from the buffer pages.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;
struct TQM_SETTINGS;

// Answers of the admission test and of the status delay.
constexpr uint8_t TQM_ADMIT = 241;
constexpr uint8_t TQM_REFUSE = 240;
constexpr uint8_t TQM_HOLD_STATUS = 238;

// An array's limit of outstanding host commands.
constexpr uint32_t TQM_START_LIMIT = 128;
constexpr uint32_t TQM_MIN_LIMIT = 5;
constexpr uint32_t TQM_MAX_LIMIT = 2000;

// Hosts and LUNs the statistics table has records for.
constexpr uint16_t TQM_HOSTS = 512;
constexpr uint16_t TQM_LUNS = 512;

// The settings' response types: 0xF1 BUSY, 0xF2 TASK SET FULL, 0xF3 TASK SET
// FULL when the host already has commands on the LUN, else BUSY.  Anything
// else is off.
constexpr uint8_t TQM_RESPONSE_BUSY = 0xF1;
constexpr uint8_t TQM_RESPONSE_TASK_SET_FULL = 0xF2;
constexpr uint8_t TQM_RESPONSE_BY_HOST = 0xF3;

#pragma pack(push, 1)
// The statistics table, as exported: a global count, then a record per host
// (the command's initiator number) with one per LUN.
struct TQM_LUN_RECORD {
    uint16_t wReads;             // outstanding
    uint16_t wWrites;
    uint16_t wRefusedInARow;
    uint16_t wReserved;
    uint64_t lAdmitted;
    uint64_t lRefused;
    uint64_t lLastAdmission;     // ms tick
};
struct TQM_HOST_RECORD {
    uint16_t wWrites;            // outstanding, all LUNs
    uint16_t wReads;
    uint16_t wActiveLuns;        // LUNs with commands outstanding
    uint16_t wReserved;
    TQM_LUN_RECORD asLun[TQM_LUNS];
};
struct TQM_STATISTICS {
    uint32_t dActivePairs;       // (host, LUN) pairs with commands outstanding
    uint32_t dReserved;
    TQM_HOST_RECORD asHost[TQM_HOSTS];
};
#pragma pack(pop)
static_assert(sizeof(TQM_LUN_RECORD) == 32);
static_assert(sizeof(TQM_HOST_RECORD) == 16392);
static_assert(sizeof(TQM_STATISTICS) == 8 + 512 * 16392);

// Start of day: off, no table, every array at the start limit.
void InitTqmState();
// The stored settings, at start of day and after every change.
void ApplyTqmSettings(const TQM_SETTINGS* psSettings);
uint8_t fGetTqmStatisticsEnabled();
uint8_t fIsStatusDelaySet();

// The admission test of a queued command: 241 admit, 240 refuse.
uint8_t bTqmCheckCommand(KERNEL_ENTRY* psEntry);
// A refused command: 238 while it is younger than the status delay, else
// its refusal is due (240).
uint8_t bTqmStatusDelay(KERNEL_ENTRY* psEntry);
// The status a refused command is answered with (8 BUSY or 0x28 TASK SET FULL).
uint8_t bGetTqmResponseStatus(const KERNEL_ENTRY* psEntry);
// The command ends: it leaves the statistics (flag bit 62).
void TqmCommandDone(KERNEL_ENTRY* psEntry);
// A host command's service time was recorded: its array's worst latency.
void UpdateRankMaxLatency(KERNEL_ENTRY* psEntry);

// The performance statistics were cleared; the export copies the table
// (zeros while there is none).
void ClearTqmStatistics();
void ExportTqmStatistics(uint8_t* pbBuffer);

// The array's current limit and worst latency since its last adjustment.
uint32_t dGetTqmRankLimit(uint8_t bRank);
uint32_t dGetTqmRankWorstLatency(uint8_t bRank);
// The table, null while TQM is off.
const TQM_STATISTICS* psGetTqmStatistics();

void PrintTqmSettings();
void DumpTqmStatistics();
// One LUN's rows of a copy of the statistics table (the one behind an
// extended statistics record).
void PrintTqmLunLatency(uint16_t wLun, const uint8_t* pbTable);

}  // namespace fw
