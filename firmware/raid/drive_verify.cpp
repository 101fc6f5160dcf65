// Background drive verify: the range verify, the block-by-block walk of a
// range that failed, the reassignment of each bad block and the rewrite of
// what it held, with the counters and the display.
#include "raid/drive_verify.h"

#include <cstring>

#include "config/apply_settings.h"
#include "config/config_commit.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/nvram_tables.h"
#include "config/rank_table.h"
#include "enclosure/drive_spin.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "raid/child_commands.h"
#include "raid/dual_parity.h"
#include "raid/row_hold.h"
#include "raid/xor_engine.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"
#include "target/back_end_completion.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint8_t SCSI_REASSIGN_BLOCKS_OP = 0x07;
constexpr uint16_t CONTROL_NO_DATA = CHILD_CONTROL_READ & ~SAS_XFER_IN;
constexpr uint32_t REASSIGN_LIST_BYTES = 8;
constexpr uint8_t VERIFY_PORT = PORT_CODE_INITIATOR;
// The display counts capacity in units of this many blocks (about 1 GB).
constexpr uint64_t DISPLAY_UNIT_BLOCKS = 1953792;
constexpr uint32_t DISPLAY_MB_BLOCKS = 1954;
constexpr uint8_t MAX_VERIFY_ID = 125;

// The RAID 6 repair group's slots, as the dual-parity operations take
// them: their two results, the P and Q read, then the row's data columns.
constexpr uint8_t R6_SLOT_X = 0;
constexpr uint8_t R6_SLOT_Y = 1;
constexpr uint8_t R6_SLOT_READ_P = 2;
constexpr uint8_t R6_SLOT_READ_Q = 3;
constexpr uint8_t R6_SLOT_COLUMN = 4;
// A source the operation rebuilds instead of reading.
constexpr uint8_t SOURCE_REBUILT = 0xFF;
constexpr uint8_t NO_COLUMN = 0xFF;

// What the RAID 6 repair computes, by what the row lacks.
constexpr uint8_t XOR_OP_REPAIR_Q = 68;              // Q of the data, into Y
constexpr uint8_t XOR_OP_REPAIR_P = 69;              // P of the data, into X
constexpr uint8_t XOR_OP_REPAIR_DATA_FROM_P = 70;    // a column from the others and P, into Y
constexpr uint8_t XOR_OP_REPAIR_P_AND_Q = 71;        // P into X and Q into Y
constexpr uint8_t XOR_OP_REPAIR_DATA_FROM_Q = 72;    // a column from the others and Q into Y, then P into X
constexpr uint8_t XOR_OP_REPAIR_Q_AFTER_DATA = 73;   // column k from P into Y, then Q into X
constexpr uint8_t XOR_OP_REPAIR_TWO_DATA = 74;       // columns a and b from P and Q, into their own slots

uint32_t s_dOutstanding;

// The walk of a failed range, kept in its command while the command is
// turned from verify into reassign and back.
#pragma pack(push, 1)
struct VERIFY_WALK {
    uint32_t dRangeLba;
    uint16_t wRangeBlocks;
    uint16_t wBlock;        // the block of the range being verified
    uint8_t bSubCode;       // a functional verify's level; 0 the background verify
};
#pragma pack(pop)
static_assert(sizeof(VERIFY_WALK) <= sizeof(RAID_ENTRY_FIELDS::abJobFields));

VERIFY_WALK& Walk(KERNEL_ENTRY* ps) { return *reinterpret_cast<VERIFY_WALK*>(pRaidFields(ps)->abJobFields); }

uint8_t bDriveId(const KERNEL_ENTRY* ps) { return static_cast<uint8_t>(ps->wTargetId); }

DRIVE_INFO* psDriveOf(const KERNEL_ENTRY* ps) {
    DRIVE_INFO* psDrive = nullptr;
    uint8_t bIndex = 0;
    if (ps->wTargetId > 0xFF || fFindDriveByLoopID(0, bDriveId(ps), &psDrive, &bIndex) != TRUE) return nullptr;
    return psDrive;
}

// Blocks on the drive: the drive record holds the last block's address.
uint64_t lDriveBlocks(const DRIVE_INFO* ps) { return uint64_t(ps->dCapacity) + 1; }

// The drive says the medium under the range is bad (or was read only
// with the drive's own retries).
bool IsMediumFailure(KERNEL_ENTRY* ps) {
    if (fChildEndedInError(ps) != TRUE || !HasFlag(ps, KE_FLAG_SENSE_PRESENT)) return false;
    const uint8_t bKey = psSasFields(ps)->bSenseKey;
    return bKey == SENSE_MEDIUM_ERROR || bKey == SENSE_RECOVERED_ERROR;
}

void ReleaseWalkPage(KERNEL_ENTRY* ps) {
    if (ps->wPageCount != 0 && ps->dBufferHandle != NULL_BUFFER_HANDLE) {
        (void)wFreeDataPages(ps->dBufferHandle, ps->wPageCount);
    }
    ps->dBufferHandle = NULL_BUFFER_HANDLE;
    ps->wPageCount = 0;
}

// The command is built anew (and queued) as the walk's next step; the
// walk's own fields survive the rebuild.
void Reissue(KERNEL_ENTRY* ps, const uint8_t* pbCdb, uint8_t bType, uint32_t dLength, uint16_t wControl,
             uint32_t dAddress) {
    const VERIFY_WALK sWalk = Walk(ps);
    const BUFFER_HANDLE dHandle = ps->dBufferHandle;
    const uint16_t wPages = ps->wPageCount;
    BuildInternalDriveCommand(ps, VERIFY_PORT, bDriveId(ps), dLength, wControl, dAddress, dLength != 0 ? 1 : 0, 0,
                              pbCdb, bType);
    Walk(ps) = sWalk;
    ps->dBufferHandle = dHandle;
    ps->wPageCount = wPages;
    IssueChild(ps);
}

void IssueBlockVerify(KERNEL_ENTRY* ps) {
    uint8_t abCdb[16] = {SCSI_VERIFY10};
    PutBe32(abCdb + 2, Walk(ps).dRangeLba + Walk(ps).wBlock);
    PutBe16(abCdb + 7, 1);
    Reissue(ps, abCdb, CT_VERIFY_BLOCK, 0, CONTROL_NO_DATA, 0);
}

bool IsFunctionalVerify(uint8_t bSubCode) {
    return bSubCode == VERIFY_SUBCODE_APM_LEVEL1 || bSubCode == VERIFY_SUBCODE_APM_LEVEL2;
}

void EndWalk(KERNEL_ENTRY* ps) {
    const uint8_t bSubCode = Walk(ps).bSubCode;
    ReleaseWalkPage(ps);
    if (IsFunctionalVerify(bSubCode)) {
        APMFunctionalVerifyEnded(bSubCode);
    } else {
        DecrementDriveVerifyOutstanding();
    }
    FreeChild(ps);
}

// On to the next block of the walk, or the walk ends.
void NextBlock(KERNEL_ENTRY* ps) {
    ReleaseWalkPage(ps);
    if (++Walk(ps).wBlock < Walk(ps).wRangeBlocks) {
        IssueBlockVerify(ps);
        return;
    }
    EndWalk(ps);
}

void IssueReassign(KERNEL_ENTRY* ps) {
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dHandle) != STATUS_OK) {
        // No page for the defect list: the block stays as it is and is met
        // again on the next pass.
        NextBlock(ps);
        return;
    }
    ps->dBufferHandle = dHandle;
    ps->wPageCount = 1;
    const uint32_t dAddress = static_cast<uint32_t>(dBufferHandleToCpuAddress(dHandle));
    uint8_t* pb = pbAtAddress(dAddress);
    std::memset(pb, 0, REASSIGN_LIST_BYTES);
    PutBe16(pb + 2, 4);
    PutBe32(pb + 4, Walk(ps).dRangeLba + Walk(ps).wBlock);
    uint8_t abCdb[16] = {SCSI_REASSIGN_BLOCKS_OP};
    Reissue(ps, abCdb, CT_VERIFY_REASSIGN, REASSIGN_LIST_BYTES, CHILD_CONTROL_WRITE, dAddress);
}

void AdvancePosition(DRIVE_INFO* psDrive, uint8_t bId, uint32_t dLba, uint32_t dBlocks) {
    uint64_t lNext = uint64_t(dLba) + dBlocks;
    if (lNext >= lDriveBlocks(psDrive)) {
        lNext = 0;
        CountVerifyCompletionById(bId);
    }
    psDrive->dVerifyNextBlock = static_cast<uint32_t>(lNext);
    SetNvramDriveWord(psDrive->bHardIDFromADISC, psDrive->dVerifyNextBlock);
}

void PostBlockReassigned(const DRIVE_INFO* psDrive, uint8_t bId, uint32_t dLba) {
    const uint8_t* w = psDrive->abWWN;
    PostEvent(EVENT_BLOCK_REASSIGNED, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], bGetDriveIndexOfTarget(bId),
              static_cast<uint8_t>(dLba >> 24), static_cast<uint8_t>(dLba >> 16), static_cast<uint8_t>(dLba >> 8),
              static_cast<uint8_t>(dLba), 0);
}

// ---- the repair group ----------------------------------------------------------
//
// The write of the repaired block heads a run of entries; the reads that
// give its data follow it, each into its own slot of the head's pages.
// The head's mother is the walk that waits for it.

struct REPAIR_PLAN {
    uint8_t bRank;
    uint8_t bMember;
    uint8_t bWriteType;
    uint8_t bReadType;
    uint8_t bXorOp;           // 0: the read's data is written as it is
    uint8_t bReads;
    uint8_t abMember[MAX_RANK_MEMBERS];
    uint8_t abSlot[MAX_RANK_MEMBERS];
    uint32_t dSources;        // the slots the XOR takes, in column order
    uint32_t adSourceSlot[XOR_MAX_SOURCES];
    uint8_t bMembers;         // RAID 6: the row's width
    uint8_t bResultSlot;      // where the block written is computed
    uint8_t bCase;            // RAID 6: the regeneration case
    uint8_t a, b, k;          // RAID 6: the operation's columns
};

bool OnLine(uint8_t bRank, uint8_t bMember) { return bGetRankMemberFlags(bRank, bMember) == MEMBER_ON_LINE; }

void AddRead(REPAIR_PLAN& p, uint8_t bMember, uint8_t bSlot) {
    p.abMember[p.bReads] = bMember;
    p.abSlot[p.bReads] = bSlot;
    ++p.bReads;
}

bool PlanMirror(REPAIR_PLAN& p) {
    const uint8_t bPartner = static_cast<uint8_t>(p.bMember ^ 1u);
    if (bPartner >= bGetRankDriveCount(p.bRank) || !OnLine(p.bRank, bPartner)) return false;
    p.bReadType = CT_VERIFY_MIRROR_READ;
    AddRead(p, bPartner, 0);
    return true;
}

bool PlanParity(REPAIR_PLAN& p) {
    const uint8_t P = bMembersPerSubrank(p.bRank);
    const uint8_t bSubRank = static_cast<uint8_t>(p.bMember / P);
    if (P < 2 || fIsSubrankIntact(p.bRank, bSubRank) != TRUE) return false;
    p.bReadType = CT_VERIFY_PARITY_READ;
    p.bXorOp = XOR_OP_DRIVE_VERIFY_REPAIR;
    for (uint8_t m = static_cast<uint8_t>(bSubRank * P); m < (bSubRank + 1) * P; ++m) {
        if (m == p.bMember) continue;
        p.adSourceSlot[p.dSources++] = p.bReads + 1u;
        AddRead(p, m, static_cast<uint8_t>(p.bReads + 1));
    }
    return true;
}

// RAID 6: the block comes from the rest of its row, which may lack one
// member besides the one repaired; two lacking, nothing can be had.
bool PlanDualParity(REPAIR_PLAN& p, uint32_t dDriveBlock) {
    const uint8_t D = bGetRankDriveCount(p.bRank);
    const uint16_t wChunk = wGetRankChunkSize(p.bRank);
    if (D < 4 || wChunk == 0) return false;
    uint8_t x = NO_MEMBER;
    for (uint8_t m = 0; m < D; ++m) {
        if (m == p.bMember || OnLine(p.bRank, m)) continue;
        if (x != NO_MEMBER) return false;
        x = m;
    }
    const uint8_t bP = static_cast<uint8_t>(dDriveBlock / wChunk % D);
    const uint8_t bQ = static_cast<uint8_t>((bP + 1) % D);
    const uint8_t W = static_cast<uint8_t>(D - 2);
    auto column = [&](uint8_t m) { return static_cast<uint8_t>(m - (m > bP) - (m > bQ)); };
    p.bReadType = CT_VERIFY_R6_READ;
    p.bWriteType = CT_VERIFY_R6_WRITE;
    p.bMembers = D;
    for (uint8_t m = 0; m < D; ++m) {
        if (m == p.bMember || m == x) continue;
        AddRead(p, m, m == bP ? R6_SLOT_READ_P : m == bQ ? R6_SLOT_READ_Q : static_cast<uint8_t>(R6_SLOT_COLUMN + column(m)));
    }
    p.dSources = W;
    for (uint8_t c = 0; c < W; ++c) p.adSourceSlot[c] = R6_SLOT_COLUMN + c;
    p.a = p.b = p.k = NO_COLUMN;
    const uint8_t t = p.bMember;
    const uint8_t xc = x == NO_MEMBER || x == bP || x == bQ ? NO_COLUMN : column(x);
    if (t == bP || t == bQ) {
        const bool fP = t == bP;
        p.bResultSlot = fP ? R6_SLOT_X : R6_SLOT_Y;
        if (x == NO_MEMBER) {
            p.bCase = fP ? R6_CASE_P : R6_CASE_Q;
            p.bXorOp = fP ? XOR_OP_REPAIR_P : XOR_OP_REPAIR_Q;
        } else if (xc == NO_COLUMN) {
            p.bCase = R6_CASE_P_AND_Q;
            p.bXorOp = XOR_OP_REPAIR_P_AND_Q;
        } else if (fP) {
            // The lost column first, from Q; P follows.
            p.bCase = R6_CASE_P_AND_DATA;
            p.bXorOp = XOR_OP_REPAIR_DATA_FROM_Q;
            p.adSourceSlot[xc] = SOURCE_REBUILT;
            p.a = xc;
            p.b = W;
        } else {
            // The lost column first, from P; Q follows, into X.
            p.bCase = R6_CASE_Q_AND_DATA;
            p.bXorOp = XOR_OP_REPAIR_Q_AFTER_DATA;
            p.adSourceSlot[xc] = R6_SLOT_READ_P;
            p.k = xc;
            p.bResultSlot = R6_SLOT_X;
        }
        return true;
    }
    const uint8_t tc = column(t);
    p.bResultSlot = R6_SLOT_Y;
    if (x == NO_MEMBER || x == bQ) {
        // The column is what P leaves of the others; its own slot reads as P.
        p.bCase = x == NO_MEMBER ? R6_CASE_DATA : R6_CASE_Q_AND_DATA;
        p.bXorOp = XOR_OP_REPAIR_DATA_FROM_P;
        p.adSourceSlot[tc] = R6_SLOT_READ_P;
    } else if (x == bP) {
        p.bCase = R6_CASE_P_AND_DATA;
        p.bXorOp = XOR_OP_REPAIR_DATA_FROM_Q;
        p.adSourceSlot[tc] = SOURCE_REBUILT;
        p.a = tc;
        p.b = W;
    } else {
        p.bCase = R6_CASE_TWO_DATA;
        p.bXorOp = XOR_OP_REPAIR_TWO_DATA;
        p.adSourceSlot[tc] = p.adSourceSlot[xc] = SOURCE_REBUILT;
        p.a = tc < xc ? tc : xc;
        p.b = tc < xc ? xc : tc;
        p.bResultSlot = static_cast<uint8_t>(R6_SLOT_COLUMN + tc);
    }
    return true;
}

uint32_t dSlotPages(uint32_t dSlots) { return (dSlots - 1) / BLOCKS_PER_PAGE + 1; }

// The head's hold on the block's row sits past the XOR's source slots.
constexpr uint32_t REPAIR_HOLD_FIELD = sizeof(RAID_ENTRY_FIELDS::abJobFields) - 1;
static_assert(XOR_MAX_SOURCES < REPAIR_HOLD_FIELD);
uint8_t* pbRepairHold(KERNEL_ENTRY* psHead) { return &pRaidFields(psHead)->abJobFields[REPAIR_HOLD_FIELD]; }

void FinishRepair(KERNEL_ENTRY* psHead) {
    KERNEL_ENTRY* psWalk = psHead->psMother;
    EndRowHold(pbRepairHold(psHead));
    FreeChildGroup(psHead, pRaidFields(psHead)->wChildBuilt);
    if (psWalk != nullptr && psWalk->fUsed == TRUE) NextBlock(psWalk);
}

void StartRepairXor(KERNEL_ENTRY* psHead) {
    RAID_ENTRY_FIELDS* ps = pRaidFields(psHead);
    uint32_t adSource[XOR_SOURCE_WORDS] = {};
    const uint32_t dSources = ps->wRunBlocks;
    for (uint32_t i = 0; i < dSources; ++i) {
        adSource[i] = ps->abJobFields[i] == SOURCE_REBUILT ? XOR_MISSING_MEMBER : dGroupSlot(psHead, ps->abJobFields[i]);
    }
    adSource[XOR_MAX_SOURCES] = dPackRaid6Parameter(ps->bLostA, ps->bLostB, ps->bColumnWritten, ps->bMembers);
    if (QueueXorRequest(psHead->wIndex, ps->bMethod, XOR_PATH_LOCAL, BLOCK_BYTES, dSources, dGroupSlot(psHead, R6_SLOT_X),
                        dGroupSlot(psHead, R6_SLOT_Y), adSource) != STATUS_OK) {
        FinishRepair(psHead);
    }
}

uint8_t IssueRepairReads(KERNEL_ENTRY* psHead) {
    for (uint16_t i = 0; i < psHead->wTotalChildren; ++i) IssueChild(psHead + 1 + i);
    return TRUE;
}

uint8_t bIssueRepairGroup(KERNEL_ENTRY* psWalk, const REPAIR_PLAN& p, uint8_t bDrive, uint32_t dDriveBlock) {
    const uint16_t wEntries = static_cast<uint16_t>(1 + p.bReads);
    const uint32_t dSlots = p.bMembers != 0 ? p.bMembers + 4u : p.bReads + 1u;
    GROUP_RUN sRun{nullptr, NULL_BUFFER_HANDLE, dSlotPages(dSlots), wEntries, FALSE};
    if (bReserveGroupRuns(&sRun, 1, 0, NULL_BUFFER_HANDLE, 0) != STATUS_OK) return FALSE;
    KERNEL_ENTRY* psHead = sRun.psFirst;
    BuildChildCommand(psWalk, psHead, SCSI_WRITE10, p.bRank == NO_MEMBER ? 0 : p.bRank, 0, 0);
    psHead->wTargetId = bDrive;
    psHead->bRank = p.bRank;
    psHead->bMember = p.bMember;
    SetGroupPages(psHead, sRun, 1);
    std::memset(pbAtAddress(dGroupSlot(psHead, p.bResultSlot)), 0, BLOCK_BYTES);
    (void)AddChildSegment(psHead, dGroupSlot(psHead, p.bResultSlot), dDriveBlock, 1, 1, 0, 0);
    psHead->bCommandType = p.bWriteType;
    psHead->bSecondaryState = p.bCase;
    RAID_ENTRY_FIELDS* psFields = pRaidFields(psHead);
    psFields->bLostA = p.a;
    psFields->bLostB = p.b;
    psFields->bColumnWritten = p.k;
    psFields->wChildBuilt = wEntries;
    psFields->bMethod = p.bXorOp;
    psFields->bMembers = p.bMembers;
    psFields->wRunBlocks = static_cast<uint16_t>(p.dSources);
    for (uint32_t i = 0; i < p.dSources; ++i) psFields->abJobFields[i] = static_cast<uint8_t>(p.adSourceSlot[i]);
    psHead->wChildrenOutstanding = p.bReads;
    psHead->wTotalChildren = p.bReads;
    *pbRepairHold(psHead) = NO_ROW_HOLD;
    if (p.bReads == 0) {
        IssueChild(psHead);
        return TRUE;
    }
    for (uint8_t i = 0; i < p.bReads; ++i) {
        KERNEL_ENTRY* ps = psHead + 1 + i;
        BuildChildCommand(psHead, ps, SCSI_READ10, p.bRank, 0, p.abMember[i]);
        (void)AddChildSegment(ps, dGroupSlot(psHead, p.abSlot[i]), dDriveBlock, 1, 1, 0, 0);
        ps->bCommandType = p.bReadType;
    }
    // The block is written from the rest of its row: host writes to the
    // row wait until it is, and the reads go once older writes are in.
    const uint8_t bHold = bStartRowHold(pbRepairHold(psHead), psHead, p.bRank, dDriveBlock, dDriveBlock, nullptr,
                                        IssueRepairReads);
    if (bHold == STATUS_OK) return TRUE;
    if (bHold == 0) {
        (void)IssueRepairReads(psHead);
        return TRUE;
    }
    FreeChildGroup(psHead, wEntries);
    return FALSE;
}

}  // namespace

// ---- counters ------------------------------------------------------------------

void IncrementDriveVerifyOutstanding() { ++s_dOutstanding; }
void DecrementDriveVerifyOutstanding() {
    if (s_dOutstanding != 0) --s_dOutstanding;
}
void SetDriveVerifyOutstanding(uint32_t dCount) { s_dOutstanding = dCount; }
uint32_t dGetDriveVerifyOutstanding() { return s_dOutstanding; }

void ResetDriveVerifyState() {
    if (DRIVE_INFO_LIST* psList = pGetDriveInfoList()) {
        for (DRIVE_INFO& s : psList->asDriveInfo) s.dVerifyNextBlock = 0;
    }
    ClearNvramDriveWords();
    s_dOutstanding = 0;
}

uint8_t DecrementDriveVerificationCommandCounter(const KERNEL_ENTRY* ps) {
    const DRIVE_INFO* psDrive = psDriveOf(ps);
    if (psDrive == nullptr) {
        ConsolePrintf("DecrementDriveVerificationCommandCounter ERR_001 %02x\n", bDriveId(ps));
        return FALSE;
    }
    const uint64_t lEnd = uint64_t(dGetBe32(ps->abCdb + 2)) + wGetBe16(ps->abCdb + 7);
    const uint64_t lBlocks = lDriveBlocks(psDrive);
    return ToFlag(lEnd + VERIFY_CONFIG_AREA_BLOCKS >= lBlocks);
}

void CountDriveVerifyError(const KERNEL_ENTRY* ps) {
    if (DRIVE_INFO* psDrive = psDriveOf(ps)) ++psDrive->bVerifyRepair;
}

// ---- commands ------------------------------------------------------------------

namespace {

uint8_t IssueVerify(uint8_t bPort, uint8_t bDriveId, uint16_t wBlocks, uint32_t dLba, uint8_t fSingleBlock,
                    uint8_t bSubCode) {
    DRIVE_INFO* psDrive = nullptr;
    uint8_t bIndex = 0;
    if (fFindDriveByLoopID(0, bDriveId, &psDrive, &bIndex) != TRUE) return STATUS_RETRY;
    KERNEL_ENTRY* ps = nullptr;
    if (bAllocKernelEntries(bPort, 1, &ps) != STATUS_OK || ps == nullptr) return STATUS_RETRY;
    const uint16_t wCount = fSingleBlock == TRUE ? 1 : wBlocks;
    uint8_t abCdb[16] = {SCSI_VERIFY10};
    PutBe32(abCdb + 2, dLba);
    PutBe16(abCdb + 7, wCount);
    BuildInternalDriveCommand(ps, bPort, bDriveId, 0, CONTROL_NO_DATA, 0, 0, 0, abCdb,
                              fSingleBlock == TRUE ? CT_VERIFY_BLOCK : CT_VERIFY_RANGE);
    ps->bRank = psDrive->bRankNo;
    ps->bMember = psDrive->bDriveNo;
    Walk(ps) = VERIFY_WALK{dLba, wCount, 0, bSubCode};
    ps->dBufferHandle = NULL_BUFFER_HANDLE;
    ps->wPageCount = 0;
    IssueChild(ps);
    return STATUS_OK;
}

}  // namespace

uint8_t IssueDriveVerifyCommand(uint8_t bPort, uint8_t bDriveId, uint16_t wBlocks, uint32_t dLba,
                                uint8_t fSingleBlock) {
    return IssueVerify(bPort, bDriveId, wBlocks, dLba, fSingleBlock, 0);
}

uint8_t IssueDriveFunctionalVerify(uint8_t bDriveId, uint16_t wBlocks, uint32_t dLba, uint8_t bSubCode) {
    return IssueVerify(VERIFY_PORT, bDriveId, wBlocks, dLba, FALSE, bSubCode);
}

// ---- completions ---------------------------------------------------------------

void DriveVerifyCommandCompleteHandler(KERNEL_ENTRY* ps) {
    DRIVE_INFO* psDrive = psDriveOf(ps);
    if (psDrive == nullptr) {
        ConsolePrintf("DriveVerifyCommandCompleteHandler ERR_001 %02x\n", bDriveId(ps));
        EndWalk(ps);
        return;
    }
    const uint32_t dLba = dGetBe32(ps->abCdb + 2);
    const uint16_t wBlocks = wGetBe16(ps->abCdb + 7);
    // The range is passed whatever it held: a failure in it is dealt with
    // by the walk below, never by verifying the range again.
    AdvancePosition(psDrive, bDriveId(ps), dLba, wBlocks);
    if (!IsMediumFailure(ps)) {
        // Good, or an answer that says nothing of the medium (a drive that
        // did not answer, sense of another kind): nothing to mend.
        EndWalk(ps);
        return;
    }
    CountDriveVerifyError(ps);
    if (DecrementDriveVerificationCommandCounter(ps) == TRUE) {
        // The configuration copy is written whole again.
        (void)RequestConfigUpdate(REQUESTER_COMMIT);
        EndWalk(ps);
        return;
    }
    Walk(ps) = VERIFY_WALK{dLba, wBlocks, 0, Walk(ps).bSubCode};
    IssueBlockVerify(ps);
}

void fDriveVerifyBlockCommandCompleteHandler(KERNEL_ENTRY* ps) {
    if (psDriveOf(ps) == nullptr) {
        ConsolePrintf("fDriveVerifyBlockCommandCompleteHandler ERR_001 %02x\n", bDriveId(ps));
        EndWalk(ps);
        return;
    }
    if (IsMediumFailure(ps)) {
        IssueReassign(ps);
        return;
    }
    NextBlock(ps);
}

void DriveVerifyRepairCompleteHandler(KERNEL_ENTRY* ps) {
    const DRIVE_INFO* psDrive = psDriveOf(ps);
    if (psDrive == nullptr) {
        EndWalk(ps);
        return;
    }
    if (fChildEndedInError(ps) == TRUE) {
        // The drive kept the block where it was: nothing was mended.
        NextBlock(ps);
        return;
    }
    const uint32_t dLba = Walk(ps).dRangeLba + Walk(ps).wBlock;
    CountVerifyRepairByWwn(psDrive->abWWN);
    PostBlockReassigned(psDrive, bDriveId(ps), dLba);
    ReleaseWalkPage(ps);
    if (RepairDriveRange(ps, psDrive, dLba, 1) == TRUE) return;
    NextBlock(ps);
}

uint8_t RepairDriveRange(KERNEL_ENTRY* psWalk, const DRIVE_INFO* psDrive, uint32_t dLba, uint32_t dBlocks) {
    if (dBlocks == 0) return FALSE;
    REPAIR_PLAN p{};
    p.bRank = psDrive->bRankNo;
    p.bMember = psDrive->bDriveNo;
    p.bWriteType = CT_VERIFY_REPAIR_WRITE;
    const uint8_t bId = static_cast<uint8_t>(psWalk->wTargetId);
    const bool fInArray = p.bRank < MAX_RANKS;
    if (fInArray && (p.bRank >= bGetRankCount() || p.bMember >= bGetRankDriveCount(p.bRank))) return FALSE;
    bool fPlanned = true;
    if (fInArray) {
        const uint8_t bLevel = bGetRankRaidLevel(p.bRank);
        if (bLevel == RAID_LEVEL_0) return FALSE;   // nothing holds the block's data
        uint64_t lLast = 0;
        GetRankLastOffset(p.bRank, &lLast);
        const uint8_t bData = bGetRankDataDriveCount(p.bRank);
        const uint64_t lMemberBlocks = bData == 0 ? 0 : (lLast + 1) / bData;
        if (dLba < lMemberBlocks) {
            switch (bLevel) {
            case RAID_LEVEL_10: fPlanned = PlanMirror(p); break;
            case RAID_LEVEL_5:
            case RAID_LEVEL_50: fPlanned = PlanParity(p); break;
            case RAID_LEVEL_6: fPlanned = PlanDualParity(p, dLba); break;
            default: fPlanned = false; break;
            }
            if (!fPlanned) return FALSE;
        } else {
            // Past the array's data: zeros, as on a drive of no array.
            p.bWriteType = CT_VERIFY_REPAIR_WRITE;
        }
    }
    if (!fInArray || p.bReads == 0) {
        p.bRank = NO_MEMBER;
        p.bMember = NO_MEMBER;
    }
    return bIssueRepairGroup(psWalk, p, bId, dLba);
}

void DriveRepairCommandCompleteHandler(KERNEL_ENTRY* psChild) {
    const bool fFailed = fChildEndedInError(psChild) == TRUE;
    switch (psChild->bCommandType) {
    case CT_VERIFY_MIRROR_READ:
    case CT_VERIFY_PARITY_READ:
    case CT_VERIFY_R6_READ: {
        KERNEL_ENTRY* psHead = psChild->psMother;
        if (fFailed) SetFlag(psHead, KE_FLAG_ABORTED);
        FreeGroupEntry(psChild);
        if (fCountDownGroup(psHead) != TRUE) return;
        if (HasFlag(psHead, KE_FLAG_ABORTED)) {
            // The data cannot be had: the block keeps what it holds.
            FinishRepair(psHead);
        } else if (pRaidFields(psHead)->bMethod == 0) {
            IssueChild(psHead);
        } else {
            StartRepairXor(psHead);
        }
        return;
    }
    case CT_VERIFY_REPAIR_WRITE:
    case CT_VERIFY_R6_WRITE:
        FinishRepair(psChild);
        return;
    default:
        FreeChild(psChild);
        return;
    }
}

// ---- diagnostics -----------------------------------------------------------------

namespace {

constexpr uint32_t DIAGNOSTIC_PAGES = 2;
constexpr uint32_t DIAGNOSTIC_FILL = 0xD1A6D1A6;
constexpr uint32_t LONG_BLOCK_BYTES = 512;
constexpr uint8_t REQUEST_SENSE_BYTES = 252;
constexpr uint8_t ASC_FAILURE_PREDICTED = 0x5D;
constexpr uint8_t EVENT_DRIVE_CHECK_CONDITION = 39;

// One single command to the drive, its buffer filled with the pattern.
uint8_t bQueueDiagnostic(uint8_t bDrive, const uint8_t* pbCdb, uint32_t dLength, uint16_t wControl, uint8_t bType,
                         uint8_t bStep, uint16_t wRepeat) {
    DRIVE_INFO* psDrive = nullptr;
    uint8_t bIndex = 0;
    if (fFindDriveByLoopID(0, bDrive, &psDrive, &bIndex) != TRUE && psGetSASDeviceOfTarget(bDrive) == nullptr) return 0;
    KERNEL_ENTRY* ps = nullptr;
    if (bAllocKernelEntries(VERIFY_PORT, 1, &ps) != STATUS_OK || ps == nullptr) return 0;
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, DIAGNOSTIC_PAGES, &dHandle) != STATUS_OK) {
        FreeKernelEntries(ps);
        return 0;
    }
    (void)FillBufferWords(dHandle, DIAGNOSTIC_PAGES * BUFFER_PAGE_SIZE, DIAGNOSTIC_FILL);
    BuildInternalDriveCommand(ps, VERIFY_PORT, bDrive, dLength, wControl,
                              static_cast<uint32_t>(dBufferHandleToCpuAddress(dHandle)), 1, 0, pbCdb, bType);
    ps->dBufferHandle = dHandle;
    ps->wPageCount = DIAGNOSTIC_PAGES;
    ps->lFlags |= KE_FLAG_OWNS_PAGES;
    ps->bRank = NO_MEMBER;
    ps->bMember = NO_MEMBER;
    pRaidFields(ps)->wRunBlocks = wRepeat;
    IssueChild(ps);
    // The step rides in the secondary state, which the issue clears; the
    // command is only queued so far.
    ps->bSecondaryState = bStep;
    return STATUS_OK;
}

uint8_t bLongBlock(uint8_t bOpcode, uint8_t bDrive, uint32_t dLba, uint16_t wControl, uint8_t bStep, uint16_t wRepeat) {
    uint8_t abCdb[16] = {bOpcode};
    PutBe32(abCdb + 2, dLba);
    PutBe16(abCdb + 7, LONG_BLOCK_BYTES);
    return bQueueDiagnostic(bDrive, abCdb, LONG_BLOCK_BYTES, wControl, CT_LONG_BLOCK_DIAGNOSTIC, bStep, wRepeat);
}

}  // namespace

uint8_t BuildReadLong512Command(uint8_t bDrive, uint32_t dLba) {
    return bLongBlock(SCSI_READ_LONG10, bDrive, dLba, CHILD_CONTROL_READ, DIAGNOSTIC_READ_LONG, 0);
}

uint8_t BuildWriteLongCommand(uint8_t bDrive, uint32_t dLba, uint16_t wCount) {
    // Each block written takes one off the repeat count and the step that
    // finds it below 2 writes one block more: count - 1 writes count blocks.
    const bool fRepeat = wCount >= 2;
    return bLongBlock(SCSI_WRITE_LONG10, bDrive, dLba, CHILD_CONTROL_WRITE,
                      fRepeat ? DIAGNOSTIC_WRITE_LONG_REPEAT : DIAGNOSTIC_WRITE_LONG,
                      fRepeat ? static_cast<uint16_t>(wCount - 1) : 0);
}

uint8_t BuildReadBlockCommand(uint8_t bDrive, uint32_t dLba) {
    uint8_t abCdb[16] = {SCSI_READ10};
    PutBe32(abCdb + 2, dLba);
    PutBe16(abCdb + 7, 1);
    return bQueueDiagnostic(bDrive, abCdb, BLOCK_BYTES, CHILD_CONTROL_READ, CT_LONG_BLOCK_DIAGNOSTIC,
                            DIAGNOSTIC_READ_BLOCK, 0);
}

uint8_t BuildRequestSenseCommand(uint8_t bTarget) {
    if ((bTarget & 0x80) != 0 || psGetSASDeviceOfTarget(bTarget) == nullptr) return 0xFE;
    uint8_t abCdb[16] = {SCSI_REQUEST_SENSE};
    abCdb[4] = REQUEST_SENSE_BYTES;
    return bQueueDiagnostic(bTarget, abCdb, REQUEST_SENSE_BYTES, CHILD_CONTROL_READ, CT_DIAGNOSTIC,
                            DIAGNOSTIC_REQUEST_SENSE, 0);
}

void DiagnosticCommandCompleteHandler(KERNEL_ENTRY* ps) {
    if (ps->bSecondaryState != DIAGNOSTIC_REQUEST_SENSE || ps->wSegmentCount == 0 || fChildEndedInError(ps) == TRUE) {
        return;
    }
    const uint8_t* pb = pbAtAddress(ps->asSegment[0].dAddress);
    const uint8_t bAscq = pb[13];
    if (pb[12] != ASC_FAILURE_PREDICTED || bAscq > 0x10) return;
    const uint8_t bTarget = bDriveId(ps);
    MarkSASTargetFailurePredicted(bTarget);
    uint8_t w[8] = {};
    (void)bGetSASAddressOfTarget(w, bTarget);
    PostEvent(EVENT_DRIVE_CHECK_CONDITION, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7],
              bGetDriveIndexOfTarget(bTarget), SCSI_STATUS_CHECK_CONDITION, 0x20, SENSE_RECOVERED_ERROR,
              ASC_FAILURE_PREDICTED, 0);
}

// ---- display -------------------------------------------------------------------

void ShowBackgroundDriveVerifyInfo() {
    if (fIsMasterController() != TRUE || fGetVerifyEnabled() != TRUE) return;
    ConsolePrintf("Background Drive Verify Information:\n");
    ConsolePrintf("#   DEV  ID  CYCLE ERR  %%COM  BYTE   CAP   LBAddress\n");
    ConsolePrintf("=====================================================\n");
    const DRIVE_PATH_MAP_ENTRY* psMap = psGetDrivePathMap(3);
    if (psMap == nullptr) return;
    for (uint8_t i = 0; i < DRIVE_PATH_MAP_ENTRIES; ++i) {
        const uint8_t bId = psMap[i].bOwnId;
        DRIVE_INFO* ps = nullptr;
        uint8_t bIndex = 0;
        if (bId > MAX_VERIFY_ID || fFindDriveByLoopID(0, bId, &ps, &bIndex) != TRUE) continue;
        const uint64_t lPosition = ps->dVerifyNextBlock;
        const uint64_t lBlocks = lDriveBlocks(ps);
        const uint32_t dPercent = static_cast<uint32_t>(lPosition * 100 / lBlocks);
        ConsolePrintf("%02d  %02x  0x%02x  %03d  %03d", i + 1, VERIFY_PORT, bId, dGetVerifyCompletionCount(i),
                      dGetVerifyRepairCount(i));
        if (dPercent == 0) {
            ConsolePrintf("  <1%%");
        } else {
            ConsolePrintf("  %02d%%", dPercent);
        }
        if (lPosition < DISPLAY_UNIT_BLOCKS) {
            ConsolePrintf("  %03dMB", static_cast<uint32_t>(lPosition / DISPLAY_MB_BLOCKS));
        } else {
            ConsolePrintf("  %03dGB", static_cast<uint32_t>(lPosition / DISPLAY_UNIT_BLOCKS));
        }
        ConsolePrintf("  %03dGB  0x%08x\n", static_cast<uint32_t>(lBlocks / DISPLAY_UNIT_BLOCKS),
                      static_cast<uint32_t>(lPosition));
    }
}

}  // namespace fw
