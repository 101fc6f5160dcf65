// Array expansion: one rank restriped on line from its old geometry (kept
// in the configuration image's expansion area, run as pseudo-rank 63) onto
// its new one, one new stripe row per step, while hosts go on using it.
// The write position W moves through the rank's address space; commands
// below the window use the new layout, those above it the old one, those
// touching it wait.  W lives in NVRAM (two copies and a selector), so a
// power cut resumes where the last row ended.
//
// The first rows of a restripe overwrite, in place, old rows that still
// hold data not yet moved.  Before such a row is written its data is kept
// in a save area past the rank's capacity (in the room every member keeps
// between the member size and the configuration copy), with a header that
// names the position; a resume at that position restores the row from
// there instead of reading half-overwritten old rows.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;
struct CONFIG_IMAGE;

// States of the expansion.
constexpr uint8_t EXPANSION_IDLE = 0;
constexpr uint8_t EXPANSION_START = 1;
constexpr uint8_t EXPANSION_COPY = 2;
constexpr uint8_t EXPANSION_ZERO = 3;
constexpr uint8_t EXPANSION_COMMIT = 4;
constexpr uint8_t EXPANSION_STOP = 5;
constexpr uint8_t EXPANSION_SUSPEND = 6;
constexpr uint8_t EXPANSION_SUSPENDED = 7;
// The committed image is on its way to the drives: the NVRAM record stays
// until it is there, so a cut meanwhile commits again instead of starting
// over on data already in the new layout.
constexpr uint8_t EXPANSION_COMMIT_WAIT = 8;
// The NVRAM record did not fit the configuration: nothing moves, the
// rank's commands wait until the operator changes the configuration.
constexpr uint8_t EXPANSION_HELD = 9;

// Phases of the expansion command (its secondary state).
constexpr uint8_t EXPANSION_PHASE_READY = 160;
constexpr uint8_t EXPANSION_PHASE_READ_ISSUED = 161;
constexpr uint8_t EXPANSION_PHASE_READ_DONE = 162;
constexpr uint8_t EXPANSION_PHASE_WRITE_ISSUED = 163;
constexpr uint8_t EXPANSION_PHASE_WRITE_DONE = 164;
constexpr uint8_t EXPANSION_PHASE_ZERO_FILL = 165;

// What the transfer of a phase is for.
constexpr uint8_t EXPANSION_XFER_ROW = 0;          // the row itself
constexpr uint8_t EXPANSION_XFER_SAVE_DATA = 1;    // the row into the save area
constexpr uint8_t EXPANSION_XFER_SAVE_HEADER = 2;  // the save area's header
constexpr uint8_t EXPANSION_XFER_SALVAGE = 3;      // one page of a row that would not read whole

// Events.
constexpr uint8_t EVENT_EXPANSION_STARTED = 104;
constexpr uint8_t EVENT_EXPANSION_COMPLETE = 105;
constexpr uint8_t EVENT_EXPANSION_RESTARTED = 106;
constexpr uint8_t EVENT_EXPANSION_WRITE_FAILED = 174;
constexpr uint8_t EVENT_EXPANSION_UNREADABLE = 175;
constexpr uint8_t EVENT_EXPANSION_RECORD_INVALID = 176;

// Partner messages.
constexpr uint8_t EXPANSION_MESSAGE_PROGRESS = 87;
constexpr uint8_t EXPANSION_MESSAGE_COMPLETE = 88;
constexpr uint32_t EXPANSION_MESSAGE_BYTES = 12;   // code, flag, selector, rank, position (LE 64)

// Attempts at one transfer before the step gives up on it.
constexpr uint8_t EXPANSION_TRANSFER_ATTEMPTS = 4;
// A suspended expansion starts again after this many coarse ticks (60 s).
constexpr uint32_t EXPANSION_SUSPEND_TICKS = 120;

struct EXPANSION_GEOMETRY {
    uint8_t bRaidLevel;
    uint8_t bDrives;
    uint8_t bDrives2;      // the record's second drive byte (its sub-rank count)
    uint64_t lCapacity;    // blocks
    uint32_t dStripe;      // data blocks of one row
    uint16_t wChunk;
};

struct EXPANSION_STATE {
    uint8_t fInProgress;
    uint8_t bRank;
    uint8_t bState;
    uint8_t fSuspendRequest;
    uint8_t fStopRequest;
    uint64_t lWrite;    // W
    uint64_t lRead;     // R
    uint64_t lEnd;      // the new capacity
    EXPANSION_GEOMETRY sOld;
    EXPANSION_GEOMETRY sNew;
    KERNEL_ENTRY* psCommand;
    uint32_t dSuspendTick;
    // The step in detail.
    uint8_t bTransfer;       // EXPANSION_XFER_*
    uint8_t fFailed;         // the last transfer ended in error
    uint8_t bAttempts;       // of the current transfer
    uint8_t fCheckSave;      // resumed: the save area may hold this row
    uint8_t fRestoring;      // reading the save area
    uint8_t fResume;         // the start is a resume (event 106)
    uint32_t dPages;         // of the command's buffer
    uint32_t dSalvage;       // blocks of the row salvaged so far
    uint32_t dReadBlocks;    // blocks of the row the old layout holds
};

// Starts (fResume FALSE, W = 0) or resumes (TRUE, W from NVRAM) the
// expansion of the rank the configuration image records as expanding.
void StartExpansion(uint8_t bRank, uint8_t fResume);
// The background step.
void ExpansionTask();
// TRUE while the task has work: an expansion in progress or its commit on
// its way to the drives.
uint8_t fIsExpansionTaskDue();

// 0xF1 not yet moved (old layout), 0xF0 moved (new layout), 89 touches the
// window, 91 host I/O to the rank is not allowed now.
uint8_t bCheckExpansionWindow(uint64_t lAddress, KERNEL_ENTRY* psCommand, uint16_t wBlocks);
// A command the window sent to the old layout is back from that issue
// (sent back to wait, or its children all in): it addresses the growing
// array again, and its next issue is judged by the window anew.
void LeaveOldLayout(KERNEL_ENTRY* psCommand);
// Whether an expansion read of this address reads the save area (which
// lies in the new layout) rather than the old layout.
uint8_t fIsExpansionSaveAddress(uint64_t lAddress);
// The expansion command's read or write ended.
void ExpansionTransferDone(KERNEL_ENTRY* psCommand);

uint8_t fIsExpansionInProgress();
// The rows are all moved and the commit is on its way to the drives: hosts
// use the new layout alone, though the record is kept.
uint8_t fIsExpansionCommitWaiting();
// An image about to be committed that no longer records the expansion (the
// expanding array deleted, the configuration cleared) stops it first: no
// host I/O drains around a moving window, and the deleted array's rows
// need not move.
void StopExpansionMissingFrom(const CONFIG_IMAGE* psImage);
uint8_t bGetExpansionRank();
void SetExpansionRank(uint8_t bRank);
uint8_t bGetExpansionPercent();
void SetExpansionFlag3(uint8_t f);   // the suspend request
void SetExpansionFlag4(uint8_t f);   // the stop request
void ClearExpansionNvRecord();
// The current NVRAM copy (12 bytes).
void CopyExpansionNvRecord(uint8_t* pbTo);
const EXPANSION_STATE* psGetExpansionState();

// Partner messages 87 and 88 (the code byte first): 255, or 0 when ignored.
uint8_t HandleExpansionMessage(const uint8_t* pbMessage);

// The window's host-I/O setting (a stored configuration option).
uint8_t fGetStoredOptionBC();
void SetStoredOptionBC(uint8_t f);

void ShowRankExpansionInfo();

}  // namespace fw
