// The parity check job: its state machine, the check command and its
// children, the row hold, the comparison and rewrite, and the partner
// messages that let the other controller follow it.
#include "raid/parity_check.h"

#include <algorithm>
#include <cstring>

#include "cache/cache_entry.h"
#include "cache/nvram_journal.h"
#include "cache/outstanding_queues.h"
#include "cache/stripe_access.h"
#include "config/address_translation.h"
#include "config/io_quiesce.h"
#include "config/nvram_layout.h"
#include "config/rank_table.h"
#include "enclosure/drive_management.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/nvram_access.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/ql_host_events.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "raid/child_commands.h"
#include "raid/drive_error_recovery.h"
#include "raid/raid_engine.h"
#include "raid/row_hold.h"
#include "raid/xor_engine.h"
#include "sas/sas_drive.h"
#include "sas/sas_flags.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

// Steps of the check command (its primary state).
constexpr uint8_t STEP_IDLE = 0x40;
constexpr uint8_t STEP_READS_OUT = 'A';
constexpr uint8_t STEP_READS_DONE = 'B';
constexpr uint8_t STEP_XOR_OUT = 'C';
constexpr uint8_t STEP_XOR_DONE = 'D';
constexpr uint8_t STEP_COMPARED = 'F';
constexpr uint8_t STEP_WRITES_OUT = 'G';
constexpr uint8_t STEP_WRITES_DONE = 'H';

// RAID 6 rows: which member the row lacks (the check command's secondary state).
constexpr uint8_t R6_NONE_MISSING = 0xB7;
constexpr uint8_t R6_P_MISSING = 0xAA;
constexpr uint8_t R6_Q_MISSING = 0xAB;
constexpr uint8_t R6_DATA_MISSING = 0xAC;

constexpr uint8_t XOR_OP_R6_CHECK = 75;
constexpr uint8_t XOR_OP_R6_CHECK_NO_P = 76;
constexpr uint8_t XOR_OP_R6_CHECK_NO_Q = 77;
constexpr uint8_t XOR_OP_R6_CHECK_NO_DATA = 78;

// Slots of the RAID 6 buffer.
constexpr uint32_t R6_SLOT_P = 0;
constexpr uint32_t R6_SLOT_Q = 1;
constexpr uint32_t R6_SLOT_READ_P = 2;
constexpr uint32_t R6_SLOT_READ_Q = 3;
constexpr uint32_t R6_SLOT_DATA = 4;

constexpr uint8_t JOB_IDLE = 0;
constexpr uint8_t JOB_ALLOCATE = 1;
constexpr uint8_t JOB_HOLD_ROW = 2;
constexpr uint8_t JOB_PARTNER_ACCESS = 3;
constexpr uint8_t JOB_WAIT_OLDER = 4;
constexpr uint8_t JOB_STEP = 5;
constexpr uint8_t JOB_FINISH = 6;
constexpr uint8_t JOB_STOP = 7;
constexpr uint8_t JOB_SLAVE = 8;

constexpr uint8_t NO_RANK_NUMBER = 255;
// A row whose reads or parity writes keep failing for reasons the drive
// does not call final is tried this often, then counted and left.
constexpr uint8_t ROW_REREADS = 3;
constexpr uint8_t ROW_REWRITES = 3;
constexpr uint8_t NO_MODE = 255;
constexpr uint8_t APM_RUNNING = 2;

struct PARITY_CHECK_STATE {
    uint8_t bRank;
    uint8_t bDrives;             // D
    uint8_t bGroupMembers;       // P
    uint8_t bParityChunks;       // G
    uint8_t fInProgress;
    uint8_t bState;
    uint8_t bMode;
    uint8_t fAllRanks;
    uint8_t fAbandoned;
    uint8_t fSkipRequest;
    uint8_t fStopRequest;
    uint8_t fMismatch;
    uint32_t dPosition;
    uint32_t dLastPosition;
    uint32_t dErrorCount;
    uint16_t wBlocksPerStep;
    KERNEL_ENTRY* psCheck;
    ROW_HOLD sHold;   // the row in flight, held against host writes
};

// What the row in flight has cost so far.  Every way out of a failed step
// is bounded by these: no row is read, regenerated or written for ever.
struct ROW_TRIES {
    uint8_t bRank;
    uint32_t dPosition;
    uint8_t bRereads;
    uint8_t bRegenerations;
    uint8_t bRewrites;
};

struct PARITY_CHECK_RESUME {
    uint8_t fValid;
    uint8_t bRank;
    uint8_t fAllRanks;
    uint8_t bMode;
    uint32_t dErrorCount;
    uint32_t dPosition;
};

PARITY_CHECK_STATE s_sCheck;
PARITY_CHECK_RESUME s_sResume;
ROW_TRIES s_sTries;

PARITY_CHECK_STATE& C() { return s_sCheck; }

// The tries of the current row; a new row starts from none.
ROW_TRIES& Tries() {
    if (s_sTries.bRank != C().bRank || s_sTries.dPosition != C().dPosition) {
        s_sTries = {C().bRank, C().dPosition, 0, 0, 0};
    }
    return s_sTries;
}

bool IsDual() { return fIsDualControllerActive() == TRUE; }
bool IsMaster() { return fIsMasterController() == TRUE; }
bool IsRaid6() { return bGetRankRaidLevel(C().bRank) == RAID_LEVEL_6; }
uint32_t K() { return wGetRankChunkSize(C().bRank); }
uint32_t DataChunks() { return static_cast<uint32_t>(C().bDrives - C().bParityChunks); }

uint32_t dCountMissingMembers(uint8_t bRank) {
    uint32_t n = 0;
    for (uint8_t m = 0; m < bGetRankDriveCount(bRank); ++m) n += bGetRankMemberFlags(bRank, m) != MEMBER_ON_LINE;
    return n;
}

bool IsMissing(uint8_t bRank, uint8_t bMember) {
    return bGetRankMemberFlags(bRank, bMember) != MEMBER_ON_LINE || bGetRankMemberDrive(bRank, bMember) == NO_DRIVE;
}

// The rank can no longer be checked: an operation started on it (for RAID 6
// only once two members are gone).
bool IsRankUnfit(uint8_t bRank) {
    if (bGetRankOperationState(bRank) == RANK_STATE_OPTIMAL) return false;
    return !(bGetRankRaidLevel(bRank) == RAID_LEVEL_6 && dCountMissingMembers(bRank) < 2);
}

bool IsRebuildingRank(uint8_t bRank) { return bGetRebuildRank() == bRank && fGetRebuildWork() == TRUE; }

uint32_t dSlotAddress(uint32_t dSlot) {
    return static_cast<uint32_t>(dBufferHandleToCpuAddress(C().psCheck->dBufferHandle)) + dSlot * K() * BLOCK_BYTES;
}

void Post(uint8_t bEvent) {
    const uint32_t e = C().dErrorCount;
    PostEvent(bEvent, C().bRank, C().bMode, static_cast<uint8_t>(e), static_cast<uint8_t>(e >> 8),
              static_cast<uint8_t>(e >> 16), static_cast<uint8_t>(e >> 24));
}

// A check that a power cut or a restart ends has nobody left to say so:
// the NVRAM keeps the check this controller runs, its flag written last, so
// that the next start of day can report it aborted.
constexpr uint32_t PARITY_RECORD_FLAG = 0;
constexpr uint32_t PARITY_RECORD_ERRORS = 3;

uint32_t dParityRecordOffset() { return NVRAM_OFFSET(abParityCheckRecord); }

void RecordRunningCheck() {
    const uint32_t d = dParityRecordOffset();
    NvramWrite8(d + 1, C().bRank);
    NvramWrite8(d + 2, C().bMode);
    NvramWriteLE32(d + PARITY_RECORD_ERRORS, C().dErrorCount);
    NvramWrite8(d + PARITY_RECORD_FLAG, TRUE);
}

void RecordErrorCount() {
    const uint32_t d = dParityRecordOffset();
    if (bNvramRead8(d + PARITY_RECORD_FLAG) == TRUE) NvramWriteLE32(d + PARITY_RECORD_ERRORS, C().dErrorCount);
}

void ForgetRunningCheck() { NvramWrite8(dParityRecordOffset() + PARITY_RECORD_FLAG, FALSE); }

// Only TRUE counts: a byte an older layout left reserved reads as no check.
void ReportInterruptedCheck() {
    const uint32_t d = dParityRecordOffset();
    if (bNvramRead8(d + PARITY_RECORD_FLAG) != TRUE) return;
    const uint32_t e = dNvramReadLE32(d + PARITY_RECORD_ERRORS);
    PostEvent(69, bNvramRead8(d + 1), bNvramRead8(d + 2), static_cast<uint8_t>(e), static_cast<uint8_t>(e >> 8),
              static_cast<uint8_t>(e >> 16), static_cast<uint8_t>(e >> 24));
    ForgetRunningCheck();
}

void SendMessage(uint8_t bCode) {
    if (IsDual()) SendParityJobMessage(bCode, C().bRank, C().bMode, C().fAllRanks);
}

// The rank becomes the one under check.
void TakeRank(uint8_t bRank) {
    PARITY_CHECK_STATE& c = C();
    c.bRank = bRank;
    c.bDrives = bGetRankDriveCount(bRank);
    c.bParityChunks = bGetRankRaidLevel(bRank) == RAID_LEVEL_6 ? 2 : bGetRankSubRankCount(bRank);
    if (c.bParityChunks == 0) c.bParityChunks = 1;
    c.bGroupMembers = bGetRankRaidLevel(bRank) == RAID_LEVEL_6 ? c.bDrives : static_cast<uint8_t>(c.bDrives / c.bParityChunks);
}

void FreeCheckCommand() {
    KERNEL_ENTRY* ps = C().psCheck;
    if (ps == nullptr) return;
    if (ps->dBufferHandle != NULL_BUFFER_HANDLE && ps->wPageCount != 0) (void)wFreeDataPages(ps->dBufferHandle, ps->wPageCount);
    ps->dBufferHandle = NULL_BUFFER_HANDLE;
    ps->wPageCount = 0;
    FreeTargetEntry(ps);
    C().psCheck = nullptr;
}

// ---- children --------------------------------------------------------------

// One READ(10) or WRITE(10) of the row on a member, to or from a slot.
void QueueParityChild(KERNEL_ENTRY* psChild, uint8_t bMember, uint8_t bOpcode, uint32_t dSlot) {
    KERNEL_ENTRY* psCheck = C().psCheck;
    BuildChildCommand(psCheck, psChild, bOpcode, C().bRank, static_cast<uint8_t>(bMember / C().bGroupMembers), bMember);
    (void)AddChildSegment(psChild, dSlotAddress(dSlot), C().dPosition, C().wBlocksPerStep, C().wBlocksPerStep, 0, 0);
    psChild->bCommandType = bOpcode == SCSI_READ10 ? CT_PARITY_CHECK_READ : CT_PARITY_CHECK_WRITE;
    IssueChild(psChild);
}

// Issues the planned children; entries reserved beyond them go back.
struct CHILD_PLAN {
    uint8_t abMember[MAX_RANK_MEMBERS + 2];
    uint32_t adSlot[MAX_RANK_MEMBERS + 2];
    uint32_t dCount;
};

bool IssuePlan(const CHILD_PLAN& sPlan, uint8_t bOpcode, uint8_t bStep) {
    KERNEL_ENTRY* psFirst = nullptr;
    if (sPlan.dCount == 0) return false;
    if (bAllocGroupRun(static_cast<uint16_t>(sPlan.dCount), &psFirst) != STATUS_OK) return false;
    KERNEL_ENTRY* psCheck = C().psCheck;
    psCheck->bPrimaryState = bStep;
    psCheck->wChildrenOutstanding = static_cast<uint16_t>(sPlan.dCount);
    psCheck->wTotalChildren = static_cast<uint16_t>(sPlan.dCount);
    for (uint32_t i = 0; i < sPlan.dCount; ++i) QueueParityChild(psFirst + i, sPlan.abMember[i], bOpcode, sPlan.adSlot[i]);
    return true;
}

void SetRowFields() {
    KERNEL_ENTRY* ps = C().psCheck;
    uint64_t lRankStart = 0;
    GetRankStartAddress(C().bRank, &lRankStart);
    ps->lLba = static_cast<uint64_t>(C().dPosition) * DataChunks();
    const uint32_t dBlocks = K() * DataChunks();
    ps->wBlockCount = static_cast<uint16_t>(dBlocks > 0xFFFF ? 0xFFFF : dBlocks);
    ps->wBlocks = ps->wBlockCount;
    ps->lInternalAddress = lRankStart + ps->lLba;
}

uint32_t dRow() { return C().dPosition / K(); }

// The last block of the rank's member area that a check reaches.
uint32_t dRankLastPosition(uint8_t bRank) {
    const uint8_t bDrives = bGetRankDriveCount(bRank);
    const uint8_t bParity =
        bGetRankRaidLevel(bRank) == RAID_LEVEL_6 ? 2 : std::max<uint8_t>(bGetRankSubRankCount(bRank), 1);
    if (bDrives <= bParity) return 0;
    uint64_t lExtent = 0;
    GetRankLastOffset(bRank, &lExtent);
    const uint64_t lLast = (lExtent + 1) / (bDrives - bParity);
    return lLast == 0 ? 0 : static_cast<uint32_t>(lLast - 1);
}

bool IssueRaid5Reads() {
    PARITY_CHECK_STATE& c = C();
    const uint32_t P = c.bGroupMembers;
    const uint32_t r = dRow();
    CHILD_PLAN s{};
    for (uint32_t g = 0; g < c.bParityChunks; ++g) {
        const uint32_t dParity = g * P + r % P;
        uint32_t dData = 0;
        for (uint32_t m = g * P; m < (g + 1) * P; ++m) {
            const bool fParity = m == dParity;
            if (fParity && c.bMode == PARITY_MODE_REWRITE) continue;
            s.abMember[s.dCount] = static_cast<uint8_t>(m);
            s.adSlot[s.dCount++] = g * (P + 1) + (fParity ? 1 : 2 + dData++);
        }
    }
    if (!IssuePlan(s, SCSI_READ10, STEP_READS_OUT)) return false;
    c.psCheck->bSecondaryState = 0;
    SetRowFields();
    return true;
}

struct R6_ROW {
    uint8_t bP;
    uint8_t bQ;
    uint8_t bMissingData;   // the first missing data member's column, 0xFF none
    uint8_t bCase;
};

R6_ROW sRaid6Row() {
    const uint8_t D = C().bDrives;
    R6_ROW s{};
    s.bP = static_cast<uint8_t>(dRow() % D);
    s.bQ = static_cast<uint8_t>((s.bP + 1) % D);
    s.bMissingData = 0xFF;
    s.bCase = R6_NONE_MISSING;
    uint8_t k = 0;
    for (uint8_t m = 0; m < D; ++m) {
        const bool fData = m != s.bP && m != s.bQ;
        if (IsMissing(C().bRank, m)) {
            if (m == s.bP) s.bCase = R6_P_MISSING;
            else if (m == s.bQ) s.bCase = R6_Q_MISSING;
            else {
                s.bCase = R6_DATA_MISSING;
                if (s.bMissingData == 0xFF) s.bMissingData = k;
            }
        }
        if (fData) ++k;
    }
    return s;
}

bool IssueRaid6Reads() {
    PARITY_CHECK_STATE& c = C();
    const R6_ROW r = sRaid6Row();
    const bool fSkipParity = c.bMode == PARITY_MODE_REWRITE && r.bCase == R6_NONE_MISSING;
    CHILD_PLAN s{};
    uint32_t k = 0;
    for (uint8_t m = 0; m < c.bDrives; ++m) {
        const bool fP = m == r.bP;
        const bool fQ = m == r.bQ;
        const uint32_t dSlot = fP ? R6_SLOT_READ_P : fQ ? R6_SLOT_READ_Q : R6_SLOT_DATA + k++;
        if ((fP || fQ) && fSkipParity) continue;
        if (IsMissing(c.bRank, m)) continue;
        s.abMember[s.dCount] = m;
        s.adSlot[s.dCount++] = dSlot;
    }
    if (!IssuePlan(s, SCSI_READ10, STEP_READS_OUT)) return false;
    c.psCheck->bSecondaryState = r.bCase;
    SetRowFields();
    return true;
}

void IssueReads() { (void)(IsRaid6() ? IssueRaid6Reads() : IssueRaid5Reads()); }

// ---- computing and comparing -----------------------------------------------

void QueueRaid5Xor() {
    PARITY_CHECK_STATE& c = C();
    const uint32_t P = c.bGroupMembers;
    const uint32_t dFirst = c.bMode == PARITY_MODE_CHECK ? 1 : 2;
    if (wGetXorOutstanding() + c.bParityChunks > XOR_RING_OUTSTANDING_LIMIT) return;
    c.psCheck->bPrimaryState = STEP_XOR_OUT;
    c.psCheck->bSecondaryState = 0;
    c.psCheck->wChildrenOutstanding = c.bParityChunks;
    for (uint32_t g = 0; g < c.bParityChunks; ++g) {
        uint32_t adSource[XOR_SOURCE_WORDS] = {};
        uint32_t n = 0;
        for (uint32_t i = dFirst; i <= P; ++i) adSource[n++] = dSlotAddress(g * (P + 1) + i);
        (void)QueueXorRequestSingleDest(c.psCheck->wIndex, XOR_OP_PARITY_CHECK, XOR_PATH_LOCAL,
                                        c.wBlocksPerStep * BLOCK_BYTES, n, dSlotAddress(g * (P + 1)), adSource);
    }
}

void QueueRaid6Xor() {
    PARITY_CHECK_STATE& c = C();
    const uint8_t D = c.bDrives;
    const R6_ROW r = sRaid6Row();
    uint8_t bOp = XOR_OP_R6_CHECK;
    switch (c.psCheck->bSecondaryState) {
    case R6_P_MISSING: bOp = XOR_OP_R6_CHECK_NO_P; break;
    case R6_Q_MISSING: bOp = XOR_OP_R6_CHECK_NO_Q; break;
    case R6_DATA_MISSING: bOp = XOR_OP_R6_CHECK_NO_DATA; break;
    default: break;
    }
    uint32_t adSource[XOR_SOURCE_WORDS] = {};
    for (uint32_t k = 0; k < static_cast<uint32_t>(D - 2); ++k) {
        adSource[k] = k == r.bMissingData && bOp == XOR_OP_R6_CHECK_NO_DATA ? XOR_MISSING_MEMBER
                                                                             : dSlotAddress(R6_SLOT_DATA + k);
    }
    // Source positions: the data members 0 to D - 3, P D - 2, Q D - 1.  The
    // descriptor names the first member missing, the second one (P, when a
    // data member is missing: it is rebuilt from P) and the data member.
    const uint8_t bData = bOp == XOR_OP_R6_CHECK_NO_DATA ? r.bMissingData : 0xFF;
    const uint8_t bFirst = bOp == XOR_OP_R6_CHECK_NO_P   ? static_cast<uint8_t>(D - 2)
                           : bOp == XOR_OP_R6_CHECK_NO_Q ? static_cast<uint8_t>(D - 1)
                                                         : bData;
    const uint8_t bSecond = bOp == XOR_OP_R6_CHECK_NO_DATA ? static_cast<uint8_t>(D - 2) : 0xFF;
    adSource[XOR_MAX_SOURCES] = dPackRaid6Parameter(bFirst, bSecond, bData, D);
    if (QueueXorRequest(c.psCheck->wIndex, bOp, XOR_PATH_LOCAL, c.wBlocksPerStep * BLOCK_BYTES, D - 2u,
                        dSlotAddress(R6_SLOT_P), dSlotAddress(R6_SLOT_Q), adSource) != STATUS_OK) {
        return;
    }
    c.psCheck->bPrimaryState = STEP_XOR_OUT;
}

uint32_t dDifferingWords(uint32_t dSlotA, uint32_t dSlotB) {
    const uint8_t* pa = pbAtAddress(dSlotAddress(dSlotA));
    const uint8_t* pb = pbAtAddress(dSlotAddress(dSlotB));
    uint32_t n = 0;
    for (uint32_t o = 0; o < C().wBlocksPerStep * BLOCK_BYTES; o += 8) n += std::memcmp(pa + o, pb + o, 8) != 0;
    return n;
}

bool CompareRaid5() {
    PARITY_CHECK_STATE& c = C();
    const uint32_t P = c.bGroupMembers;
    const uint32_t dWords = c.wBlocksPerStep * BLOCK_BYTES / 8;
    uint32_t dCounted = 0;
    for (uint32_t g = 0; g < c.bParityChunks; ++g) {
        const uint32_t dBase = g * (P + 1);
        if (c.bMode == PARITY_MODE_CHECK_AND_REWRITE) {
            dCounted += dDifferingWords(dBase, dBase + 1);
            continue;
        }
        const uint64_t* pl = reinterpret_cast<const uint64_t*>(pbAtAddress(dSlotAddress(dBase)));
        bool fFirst = true;
        for (uint32_t w = 0; w < dWords; ++w) {
            if (pl[w] == 0) continue;
            ++dCounted;
            if (fFirst) ConsolePrintf("XOR Error: Offset : %08x Subrank: %02x\n", w * 8, g);
            fFirst = false;
        }
    }
    if (dCounted == 0) return false;
    ++c.dErrorCount;
    ConsolePrintf("XOR Error: Address: %08x Par Drv: %02x Err Cnt: %04x\n\n", c.dPosition, dRow() % P, dCounted);
    return true;
}

bool CompareRaid6() {
    PARITY_CHECK_STATE& c = C();
    const uint8_t bCase = c.psCheck->bSecondaryState;
    const uint32_t dP = bCase == R6_P_MISSING ? 0 : dDifferingWords(R6_SLOT_P, R6_SLOT_READ_P);
    const uint32_t dQ = bCase == R6_Q_MISSING ? 0 : dDifferingWords(R6_SLOT_Q, R6_SLOT_READ_Q);
    if (dP == 0 && dQ == 0) return false;
    ++c.dErrorCount;
    ConsolePrintf("Parity Err: %02x Add:%08x EP:%04x EQ:%04x\n", bCase, c.dPosition, dP, dQ);
    return true;
}

// ---- rewriting -------------------------------------------------------------

void JournalRewrite() {
    KERNEL_ENTRY* ps = C().psCheck;
    RejournalInternalNvramQueueEntry(ps);
    SetNvramQueueEntryFlag(ps->wJournalSlot, TRUE);
}

void IssueRewrite() {
    PARITY_CHECK_STATE& c = C();
    CHILD_PLAN s{};
    if (IsRaid6()) {
        const R6_ROW r = sRaid6Row();
        const uint8_t bCase = c.psCheck->bSecondaryState;
        if (bCase != R6_P_MISSING && !IsMissing(c.bRank, r.bP)) {
            s.abMember[s.dCount] = r.bP;
            s.adSlot[s.dCount++] = R6_SLOT_P;
        }
        if (bCase != R6_Q_MISSING && !IsMissing(c.bRank, r.bQ)) {
            s.abMember[s.dCount] = r.bQ;
            s.adSlot[s.dCount++] = R6_SLOT_Q;
        }
    } else {
        const uint32_t P = c.bGroupMembers;
        for (uint32_t g = 0; g < c.bParityChunks; ++g) {
            s.abMember[s.dCount] = static_cast<uint8_t>(g * P + dRow() % P);
            s.adSlot[s.dCount++] = g * (P + 1);
        }
    }
    if (s.dCount == 0) {
        // No parity member left to write: the row is as good as it gets.
        c.psCheck->bPrimaryState = STEP_WRITES_DONE;
        return;
    }
    // The journal names the row before any of its parity reaches a drive,
    // so that a power cut in between has the start of day recompute it.
    SetRowFields();
    JournalRewrite();
    if (!IssuePlan(s, SCSI_WRITE10, STEP_WRITES_OUT)) {
        ClearNvramQueueEntry(c.psCheck->wJournalSlot);
        return;
    }
    c.psCheck->bSecondaryState = IsRaid6() ? c.psCheck->bSecondaryState : 0;
}

// ---- advancing -------------------------------------------------------------

// 254 when the rank is done, else 255.
uint8_t bAdvanceParityCheckStripe() {
    PARITY_CHECK_STATE& c = C();
    const uint64_t lNext = static_cast<uint64_t>(c.dPosition) + K();
    if (lNext > c.dLastPosition) return 254;
    c.dPosition = static_cast<uint32_t>(lNext);
    RecordErrorCount();
    const uint64_t lEnd = lNext + K() - 1;
    c.wBlocksPerStep = static_cast<uint16_t>(lEnd > c.dLastPosition ? c.dLastPosition - c.dPosition + 1 : K());
    return STATUS_OK;
}

// The row is done (checked, rewritten or skipped): on to the next.
void NextRow() {
    PARITY_CHECK_STATE& c = C();
    ReleaseRowHold(&C().sHold);
    if (bAdvanceParityCheckStripe() == 254) {
        c.bState = JOB_FINISH;
        return;
    }
    c.psCheck->bPrimaryState = STEP_IDLE;
    SendMessage(PARITY_MESSAGE_NEXT_ROW);
    c.bState = JOB_HOLD_ROW;
}

// ---- the check command -------------------------------------------------------

uint8_t bAllocParityCheckCommand() {
    PARITY_CHECK_STATE& c = C();
    FreeCheckCommand();
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    if (bAllocTargetEntries(PORT_CODE_FC_HOST_1, 1, &ps, &wIndex, FALSE) != STATUS_OK || ps == nullptr) return STATUS_RETRY;
    std::memset(ps, 0, offsetof(KERNEL_ENTRY, bPrimaryState));
    ResetCacheEntryFields(ps);
    std::memset(pRaidFields(ps), 0, sizeof(RAID_ENTRY_FIELDS));
    ps->bEntryType = 0xFF;
    ps->bCount = 1;
    ps->fUsed = TRUE;
    ps->bPortCode = PORT_CODE_FC_HOST_1;
    ps->bPrimaryState = STEP_IDLE;
    ps->bRank = c.bRank;
    ps->bMember = NO_MEMBER;
    ps->wLunIndex = NO_LUN_INDEX;
    ps->wJournalSlot = wIndex;
    ps->psMother = ps;
    ps->dBufferHandle = NULL_BUFFER_HANDLE;
    c.psCheck = ps;
    const uint32_t dPages = ((c.bDrives + c.bParityChunks) * K() + BLOCKS_PER_PAGE - 1) / BLOCKS_PER_PAGE;
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, dPages, &dHandle) != STATUS_OK) return STATUS_NO_PAGES;
    ps->dBufferHandle = dHandle;
    ps->wPageCount = static_cast<uint16_t>(dPages);
    c.dLastPosition = dRankLastPosition(c.bRank);
    // A resumed position the rank no longer reaches checks it from the start.
    if (c.dPosition > c.dLastPosition) c.dPosition = 0;
    const uint64_t lEnd = static_cast<uint64_t>(c.dPosition) + K() - 1;
    c.wBlocksPerStep = static_cast<uint16_t>(lEnd > c.dLastPosition && c.dPosition <= c.dLastPosition
                                                 ? c.dLastPosition - c.dPosition + 1
                                                 : K());
    return STATUS_OK;
}

// ---- steps -----------------------------------------------------------------

// The rank became unfit (the check is abandoned) or a stop was asked for:
// TRUE when either took the job, before anything more of the row goes out.
bool LeaveTheRow() {
    PARITY_CHECK_STATE& c = C();
    if (IsRankUnfit(c.bRank)) {
        c.fAbandoned = TRUE;
        c.bState = JOB_FINISH;
        return true;
    }
    if (c.fStopRequest == TRUE) {
        c.bState = JOB_STOP;
        return true;
    }
    return false;
}

void StepIdle() {
    PARITY_CHECK_STATE& c = C();
    if (!IsMaster()) {
        c.bState = JOB_SLAVE;
        return;
    }
    if (LeaveTheRow()) return;
    if (bCheckKernelEntryRuns(1, c.bDrives) != STATUS_OK) return;
    IssueReads();
}

// The reads of the row came back with a failure.
void ReadsFailed() {
    PARITY_CHECK_STATE& c = C();
    KERNEL_ENTRY* ps = c.psCheck;
    ROW_TRIES& t = Tries();
    if (!HasFlag(ps, KE_FLAG_REGENERATE) && t.bRereads < ROW_REREADS) {
        // Not final: the row is read again.
        ++t.bRereads;
        ClearFlag(ps, KE_FLAG_CHILD_FAILED);
        ps->bMember = NO_MEMBER;
        ps->bPrimaryState = STEP_IDLE;
        return;
    }
    // A chunk regenerated once and unreadable again stays so: each group
    // of the row may have one member regenerated, no more.
    if (HasFlag(ps, KE_FLAG_REGENERATE) && ps->bMember != NO_MEMBER && t.bRegenerations < c.bParityChunks &&
        fCanRegenerateMember(ps, c.bRank, ps->bMember) == TRUE) {
        // The member's chunk is regenerated for the row; once that is done
        // the row is read and compared again.
        SetFlag(ps, KE_FLAG_RECORDED_EXTENT);
        const uint8_t b = bInitStripesOnDemand(ps);
        if (b == STATUS_RETRY || b == STATUS_NO_PAGES) return;
        if (HasFlag(ps, KE_FLAG_STRIPE_INIT_WAIT)) {
            // The row counts once, however many of its chunks it takes.
            if (t.bRegenerations++ == 0) ++c.dErrorCount;
            ClearFlag(ps, KE_FLAG_CHILD_FAILED);
            return;
        }
    }
    // Nothing can regenerate it (or reading it again did not help): the
    // row is left, counted unless its regeneration counted it already; the
    // drive's error is in the event log.
    ClearFlag(ps, KE_FLAG_CHILD_FAILED | KE_FLAG_REGENERATE | KE_FLAG_RECORDED_EXTENT);
    ps->bMember = NO_MEMBER;
    if (t.bRegenerations == 0) ++c.dErrorCount;
    NextRow();
}

void StepReadsDone() {
    KERNEL_ENTRY* ps = C().psCheck;
    // The row's member is being regenerated.
    if (HasFlag(ps, KE_FLAG_STRIPE_INIT_WAIT)) return;
    // A regeneration of the row has finished: its reads start again.
    if (HasFlag(ps, KE_FLAG_RECORDED_EXTENT)) {
        ClearFlag(ps, KE_FLAG_RECORDED_EXTENT | KE_FLAG_REGENERATE | KE_FLAG_CHILD_FAILED);
        ps->bMember = NO_MEMBER;
        ps->bPrimaryState = STEP_IDLE;
        return;
    }
    if (HasFlag(ps, KE_FLAG_CHILD_FAILED)) {
        ReadsFailed();
        return;
    }
    if (IsRaid6()) {
        QueueRaid6Xor();
    } else {
        QueueRaid5Xor();
    }
}

void StepCompared() {
    PARITY_CHECK_STATE& c = C();
    if (c.bMode == PARITY_MODE_CHECK || (c.bMode == PARITY_MODE_CHECK_AND_REWRITE && c.fMismatch != TRUE)) {
        NextRow();
        return;
    }
    if (LeaveTheRow()) return;
    if (c.fSkipRequest == TRUE) {
        c.fSkipRequest = FALSE;
        NextRow();
        return;
    }
    if (bCheckKernelEntryRuns(1, c.bParityChunks) != STATUS_OK) return;
    IssueRewrite();
}

void StepWritesDone() {
    PARITY_CHECK_STATE& c = C();
    KERNEL_ENTRY* ps = c.psCheck;
    if (HasFlag(ps, KE_FLAG_CHILD_FAILED) && Tries().bRewrites < ROW_REWRITES) {
        // The parity is written again (from the rewrite step, which waits
        // for child entries); the journal keeps the row named meanwhile.
        ClearFlag(ps, KE_FLAG_CHILD_FAILED);
        ps->bMember = NO_MEMBER;
        ++Tries().bRewrites;
        ps->bPrimaryState = STEP_COMPARED;
        return;
    }
    if (HasFlag(ps, KE_FLAG_CHILD_FAILED)) {
        // The drive takes no parity there: the row is counted and left.
        ClearFlag(ps, KE_FLAG_CHILD_FAILED);
        ps->bMember = NO_MEMBER;
        ++c.dErrorCount;
    }
    ClearNvramQueueEntry(ps->wJournalSlot);
    if (LeaveTheRow()) return;
    // A skip asked for while the parity writes were out finds the row
    // written already: it is let go, and the check goes on.
    if (c.fSkipRequest == TRUE) c.fSkipRequest = FALSE;
    NextRow();
}

void CheckStep() {
    PARITY_CHECK_STATE& c = C();
    KERNEL_ENTRY* ps = c.psCheck;
    switch (ps->bPrimaryState) {
    case STEP_IDLE: StepIdle(); return;
    case STEP_READS_DONE: StepReadsDone(); return;
    case STEP_XOR_DONE:
        if (c.bMode != PARITY_MODE_REWRITE) c.fMismatch = ToFlag(IsRaid6() ? CompareRaid6() : CompareRaid5());
        ps->bPrimaryState = STEP_COMPARED;
        return;
    case STEP_COMPARED: StepCompared(); return;
    case STEP_WRITES_DONE: StepWritesDone(); return;
    default: return;   // children or XOR requests out
    }
}

// The next array to check after the current one, 255 when none is left.
uint8_t bNextCheckableRank() {
    for (uint32_t r = static_cast<uint32_t>(C().bRank) + 1; r < bGetRankCount(); ++r) {
        const uint8_t bRank = static_cast<uint8_t>(r);
        if (!IsRebuildingRank(bRank) && fIsRankParityCheckable(bRank) == TRUE) return bRank;
    }
    return NO_RANK_NUMBER;
}

void Finish() {
    PARITY_CHECK_STATE& c = C();
    ReleaseRowHold(&C().sHold);
    if (c.psCheck != nullptr) {
        FreeCheckCommand();
        if (c.fAbandoned == TRUE) ++c.dErrorCount;
        Post(68);
    }
    ForgetRunningCheck();
    c.dErrorCount = 0;
    c.dPosition = 0;
    if (c.fAllRanks == TRUE) {
        const uint8_t bNext = bNextCheckableRank();
        if (bNext != NO_RANK_NUMBER) {
            TakeRank(bNext);
            c.fAbandoned = FALSE;
            c.bState = JOB_ALLOCATE;
            RequestEnclosureStatusUpdate(TRUE);
            return;
        }
    }
    c.bState = JOB_IDLE;
    c.fInProgress = FALSE;
    if (IsMaster()) {
        SendMessage(PARITY_MESSAGE_FINISHED);
        SetRebuildCheckPending(TRUE);
    }
    RequestEnclosureStatusUpdate(TRUE);
}

void Stop() {
    PARITY_CHECK_STATE& c = C();
    c.bState = JOB_IDLE;
    c.fInProgress = FALSE;
    if (c.psCheck != nullptr) {
        FreeCheckCommand();
        if (IsMaster()) Post(69);
    }
    ForgetRunningCheck();
    c.dPosition = 0;
    c.dErrorCount = 0;
    if (IsMaster()) {
        // A RAID 6 array left one member short gets its rebuild now.
        if (IsRaid6() && dCountMissingMembers(c.bRank) == 1) SetRebuildCheckPending(TRUE);
        SendMessage(PARITY_MESSAGE_STOPPED);
    }
    ReleaseRowHold(&C().sHold);
    RequestEnclosureStatusUpdate(TRUE);
}

void HoldRow() {
    PARITY_CHECK_STATE& c = C();
    if (!IsMaster()) {
        c.bState = JOB_SLAVE;
        return;
    }
    // A configuration commit drains the host I/O first, and the row's hold
    // counts as a write of its logical drive: taken row after row, it kept
    // the drain (and every host, and the commit) waiting until the check
    // ended.  Between rows the check holds nothing, so it waits here, and
    // goes on in the committed layout, under its array's new number.
    if (bGetIoQuiesceState() != QUIESCE_IDLE) return;
    const uint8_t b = fGeneratePseudoWriteargetKernelCmd(c.bRank, SCSI_WRITE16);
    if (b == STATUS_OK) c.bState = JOB_PARTNER_ACCESS;
    if (b == 0) c.bState = JOB_STEP;
}

void TakePartnerAccess() {
    PARITY_CHECK_STATE& c = C();
    if (!IsMaster()) {
        c.bState = JOB_SLAVE;
        return;
    }
    if (fObtainRowHoldAccess(&c.sHold) == TRUE) c.bState = JOB_WAIT_OLDER;
}

// Host writes that came before the row's hold go to the drives first.
void WaitForOlderWrites() {
    PARITY_CHECK_STATE& c = C();
    if (!IsMaster()) {
        c.bState = JOB_SLAVE;
        return;
    }
    if (fAreOlderWritesDone(&c.sHold, nullptr) == TRUE) c.bState = JOB_STEP;
}

bool IsCheckableLevel(uint8_t bRank) {
    const uint8_t bLevel = bGetRankRaidLevel(bRank);
    return bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50 || bLevel == RAID_LEVEL_6;
}

void IgnoredMessage(const uint8_t* pb) {
    ConsolePrintf("Parity job message %02x ignored: rank %02x mode %02x position %08x\n", pb[0], pb[1], pb[2],
                  dGetBe32(pb + 5));
}

}  // namespace

// ---------------------------------------------------------------------------

void InitParityCheck() {
    ReportInterruptedCheck();
    std::memset(&s_sCheck, 0, sizeof s_sCheck);
    s_sCheck.fInProgress = FALSE;
    s_sCheck.fAllRanks = FALSE;
    s_sCheck.fAbandoned = FALSE;
    s_sCheck.fSkipRequest = FALSE;
    s_sCheck.fStopRequest = FALSE;
    s_sCheck.fMismatch = FALSE;
    s_sCheck.bRank = NO_RANK_NUMBER;
    s_sCheck.bMode = NO_MODE;
    s_sResume = {FALSE, NO_RANK_NUMBER, FALSE, NO_MODE, 0, 0};
}

uint8_t StartParityCheck(uint8_t bRank, uint8_t bMode, uint8_t fAll) {
    PARITY_CHECK_STATE& c = C();
    TakeRank(bRank);
    c.bState = JOB_ALLOCATE;
    SetParityCheckInProgress(TRUE);
    c.fStopRequest = FALSE;
    c.bMode = bMode;
    c.fAllRanks = fAll;
    c.fMismatch = FALSE;
    c.dErrorCount = 0;
    c.fAbandoned = FALSE;
    c.dPosition = 0;
    s_sTries = {NO_RANK_NUMBER, 0, 0, 0, 0};
    RequestEnclosureStatusUpdate(TRUE);
    return STATUS_OK;
}

void ParityCheckTask() {
    PARITY_CHECK_STATE& c = C();
    if (fGetSASTimedHoldFlag() == TRUE || fIsSASFailbackInProgress() == TRUE || fIsSASOCFailbackInProgress() == TRUE) {
        return;
    }
    const uint8_t bPower = bGetArrayAPMState(c.bRank);
    if (bPower == APM_SPUN_DOWN) (void)bSpinArrayUpDown(TRUE, c.bRank);
    if (bPower != APM_RUNNING) return;
    switch (c.bState) {
    case JOB_ALLOCATE:
        if (bAllocParityCheckCommand() != STATUS_OK) return;
        if (IsMaster()) {
            PostEvent(67, c.bRank, c.bMode);
            RecordRunningCheck();
            SendMessage(PARITY_MESSAGE_STARTED);
            c.bState = JOB_HOLD_ROW;
        } else {
            c.bState = JOB_SLAVE;
        }
        return;
    case JOB_HOLD_ROW: HoldRow(); return;
    case JOB_PARTNER_ACCESS: TakePartnerAccess(); return;
    case JOB_WAIT_OLDER: WaitForOlderWrites(); return;
    case JOB_STEP: CheckStep(); return;
    case JOB_FINISH: Finish(); return;
    case JOB_STOP: Stop(); return;
    case JOB_SLAVE:
        if (c.fStopRequest == TRUE) {
            c.bState = JOB_STOP;
        } else if (IsMaster()) {
            // Taken over from a lost master: the check runs here now.
            RecordRunningCheck();
            c.bState = JOB_STEP;
        }
        return;
    default: return;
    }
}

uint8_t fGeneratePseudoWriteargetKernelCmd(uint8_t bRank, uint8_t /*bOpcode*/) {
    // The whole row: every data chunk a host may write while it is read.
    uint64_t lRankStart = 0;
    GetRankStartAddress(bRank, &lRankStart);
    const uint64_t lRowStart = lRankStart + static_cast<uint64_t>(dRow()) * K() * DataChunks();
    return bTakeRowHold(&C().sHold, bRank, lRowStart, lRowStart + static_cast<uint64_t>(K()) * DataChunks());
}

void SetParityCheckStopRequest(uint8_t f) { C().fStopRequest = f; }
uint8_t fGetParityCheckStopRequest() { return C().fStopRequest; }

void RequestParityCheckStop() {
    if (IsMaster()) {
        C().fStopRequest = TRUE;
        return;
    }
    // The master takes a stop for the array it checks only: the slave
    // names the one it follows.
    SendMessage(PARITY_MESSAGE_STOPPED);
}

void SetParityCheckSkipRequest(uint8_t f) { C().fSkipRequest = f; }
uint8_t fGetParityCheckSkipRequest() { return C().fSkipRequest; }

void SetParityCheckInProgress(uint8_t f) {
    C().fInProgress = f;
    if (f == TRUE) SetWorkPending(TRUE);
}

uint8_t fIsParityCheckInProgress() { return C().fInProgress; }
uint8_t bGetParityCheckRank() { return C().bRank; }
void SetParityCheckRank(uint8_t bRank) { C().bRank = bRank; }
uint8_t bGetParityCheckMode() { return C().bMode; }
uint8_t fGetParityCheckAllRanks() { return C().fAllRanks; }
uint32_t dGetParityCheckErrorCount() { return C().dErrorCount; }
uint32_t dGetParityCheckPosition() { return C().dPosition; }
uint32_t dGetParityCheckLastPosition() { return C().dLastPosition; }
uint8_t bGetParityCheckState() { return C().bState; }
uint8_t bGetParityCheckStep() { return C().psCheck != nullptr ? C().psCheck->bPrimaryState : 0; }

uint8_t bGetParityCheckPercent() {
    if (C().fInProgress != TRUE || C().dLastPosition == 0) return 0;
    return static_cast<uint8_t>(static_cast<uint64_t>(C().dPosition) * 100 / C().dLastPosition);
}

void ShowParityCheckStatus() {
    const PARITY_CHECK_STATE& c = C();
    ConsolePrintf("PCHK:%02x R:%02x Mode:%02x All:%02x State:%02x Cur:%08x Last:%08x Err:%04x %02d%%\n",
                  c.fInProgress, c.bRank, c.bMode, c.fAllRanks, c.bState, c.dPosition, c.dLastPosition, c.dErrorCount,
                  bGetParityCheckPercent());
}

uint8_t fIsRankParityCheckable(uint8_t bRank) {
    if (bRank >= bGetRankCount()) return FALSE;
    const uint8_t bLevel = bGetRankRaidLevel(bRank);
    if (bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50) return ToFlag(bGetRankOperationState(bRank) == RANK_STATE_OPTIMAL);
    if (bLevel != RAID_LEVEL_6) return FALSE;
    return ToFlag(bGetRankOperationState(bRank) == RANK_STATE_OPTIMAL || dCountMissingMembers(bRank) < 2);
}

void HandleParityJobMessage(const uint8_t* pb) {
    PARITY_CHECK_STATE& c = C();
    const uint8_t bCode = pb[0];
    const uint8_t bRank = pb[1];
    switch (bCode) {
    case PARITY_MESSAGE_START:
    case PARITY_MESSAGE_STARTED:
        if (bRank >= bGetRankCount() || !IsCheckableLevel(bRank) || pb[2] < PARITY_MODE_CHECK ||
            pb[2] > PARITY_MODE_CHECK_AND_REWRITE) {
            IgnoredMessage(pb);
            return;
        }
        (void)StartParityCheck(bRank, pb[2], ToFlag(pb[3] == TRUE));
        return;
    case PARITY_MESSAGE_NEXT_ROW: {
        // The master announces every rank it moves on to (message 91): a
        // row of another rank, or past this one's rows, is no row of the
        // check followed here.
        const uint32_t dPosition = dGetBe32(pb + 5);
        if (c.fInProgress != TRUE || bRank != c.bRank || bRank >= bGetRankCount() ||
            dPosition > dRankLastPosition(bRank)) {
            IgnoredMessage(pb);
            return;
        }
        c.dPosition = dPosition;
        c.dErrorCount = dGetBe32(pb + 9);
        return;
    }
    case PARITY_MESSAGE_STOPPED:
    case PARITY_MESSAGE_FINISHED:
        if (c.fInProgress != TRUE || bRank != c.bRank) {
            IgnoredMessage(pb);
            return;
        }
        c.fStopRequest = TRUE;
        return;
    default: return;
    }
}

void SaveParityCheckResume(uint8_t fValid, uint8_t bRank, uint8_t fAll, uint8_t bMode, uint32_t dErrors,
                           uint32_t dPosition) {
    s_sResume = {fValid, bRank, fAll, bMode, dErrors, dPosition};
}

void ResumeParityCheck() {
    const PARITY_CHECK_RESUME r = s_sResume;
    if (r.fValid != TRUE) return;
    // A record that names no checkable rank or no mode is not taken up.
    if (r.bRank >= bGetRankCount() || !IsCheckableLevel(r.bRank) || r.bMode < PARITY_MODE_CHECK ||
        r.bMode > PARITY_MODE_CHECK_AND_REWRITE) {
        return;
    }
    (void)StartParityCheck(r.bRank, r.bMode, r.fAllRanks);
    const uint32_t dChunk = wGetRankChunkSize(r.bRank);
    C().dErrorCount = r.dErrorCount;
    // Rows start on chunk boundaries: a position inside one goes back to it.
    C().dPosition = dChunk == 0 ? 0 : r.dPosition / dChunk * dChunk;
}

}  // namespace fw
