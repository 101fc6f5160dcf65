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
#include "raid/row_hold.h"
#include "raid/xor_engine.h"
#include "sas/sas_device_list.h"
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

// The RAID 6 repair group's slots: 0 the block written, then the row's
// data columns in order, then P and Q.
constexpr uint32_t R6_SLOT_COLUMN = 1;

uint32_t s_dOutstanding;

// The walk of a failed range, kept in its command while the command is
// turned from verify into reassign and back.
#pragma pack(push, 1)
struct VERIFY_WALK {
    uint32_t dRangeLba;
    uint16_t wRangeBlocks;
    uint16_t wBlock;        // the block of the range being verified
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

void EndWalk(KERNEL_ENTRY* ps) {
    ReleaseWalkPage(ps);
    DecrementDriveVerifyOutstanding();
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

// RAID 6, every other member present: P from the data columns, Q from the
// data columns, a data column from the others and P.
bool PlanDualParity(REPAIR_PLAN& p, uint32_t dDriveBlock) {
    const uint8_t D = bGetRankDriveCount(p.bRank);
    const uint16_t wChunk = wGetRankChunkSize(p.bRank);
    if (D < 4 || wChunk == 0) return false;
    for (uint8_t m = 0; m < D; ++m)
        if (m != p.bMember && !OnLine(p.bRank, m)) return false;
    const uint8_t bP = static_cast<uint8_t>(dDriveBlock / wChunk % D);
    const uint8_t bQ = static_cast<uint8_t>((bP + 1) % D);
    p.bReadType = CT_VERIFY_R6_READ;
    p.bWriteType = CT_VERIFY_R6_WRITE;
    p.bMembers = D;
    const uint8_t bWidth = static_cast<uint8_t>(D - 2);
    const uint8_t bPSlot = static_cast<uint8_t>(R6_SLOT_COLUMN + bWidth);
    uint8_t bColumn = 0;
    for (uint8_t m = 0; m < D; ++m) {
        if (m == bP || m == bQ) continue;
        if (m != p.bMember) AddRead(p, m, static_cast<uint8_t>(R6_SLOT_COLUMN + bColumn));
        p.adSourceSlot[p.dSources++] = R6_SLOT_COLUMN + bColumn;
        ++bColumn;
    }
    if (p.bMember == bP) {
        p.bXorOp = 69;   // P: plain XOR of the data columns
    } else if (p.bMember == bQ) {
        p.bXorOp = 68;   // Q: the weighted sum of the data columns
    } else {
        // A data column: the others and P; its own slot reads as P.
        p.bXorOp = 70;
        AddRead(p, bP, bPSlot);
        const uint8_t bOwn = static_cast<uint8_t>(p.bMember - (p.bMember > bP) - (p.bMember > bQ));
        p.adSourceSlot[bOwn] = bPSlot;
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
    for (uint32_t i = 0; i < dSources; ++i) adSource[i] = dGroupSlot(psHead, ps->abJobFields[i]);
    const uint32_t dTo = dGroupSlot(psHead, 0);
    adSource[XOR_MAX_SOURCES] = dPackRaid6Parameter(0xFF, 0xFF, 0xFF, ps->bMembers);
    if (QueueXorRequest(psHead->wIndex, ps->bMethod, XOR_PATH_LOCAL, BLOCK_BYTES, dSources, dTo, dTo, adSource) !=
        STATUS_OK) {
        FinishRepair(psHead);
    }
}

uint8_t IssueRepairReads(KERNEL_ENTRY* psHead) {
    for (uint16_t i = 0; i < psHead->wTotalChildren; ++i) IssueChild(psHead + 1 + i);
    return TRUE;
}

uint8_t bIssueRepairGroup(KERNEL_ENTRY* psWalk, const REPAIR_PLAN& p, uint8_t bDrive, uint32_t dDriveBlock) {
    const uint16_t wEntries = static_cast<uint16_t>(1 + p.bReads);
    const uint32_t dSlots = p.bMembers != 0 ? p.bMembers + 1u : p.bReads + 1u;
    GROUP_RUN sRun{nullptr, NULL_BUFFER_HANDLE, dSlotPages(dSlots), wEntries, FALSE};
    if (bReserveGroupRuns(&sRun, 1, 0, NULL_BUFFER_HANDLE, 0) != STATUS_OK) return FALSE;
    KERNEL_ENTRY* psHead = sRun.psFirst;
    BuildChildCommand(psWalk, psHead, SCSI_WRITE10, p.bRank == NO_MEMBER ? 0 : p.bRank, 0, 0);
    psHead->wTargetId = bDrive;
    psHead->bRank = p.bRank;
    psHead->bMember = p.bMember;
    SetGroupPages(psHead, sRun, 1);
    std::memset(pbAtAddress(dGroupSlot(psHead, 0)), 0, BLOCK_BYTES);
    (void)AddChildSegment(psHead, dGroupSlot(psHead, 0), dDriveBlock, 1, 1, 0, 0);
    psHead->bCommandType = p.bWriteType;
    RAID_ENTRY_FIELDS* psFields = pRaidFields(psHead);
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

uint8_t IssueDriveVerifyCommand(uint8_t bPort, uint8_t bDriveId, uint16_t wBlocks, uint32_t dLba,
                                uint8_t fSingleBlock) {
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
    Walk(ps) = VERIFY_WALK{dLba, wCount, 0};
    ps->dBufferHandle = NULL_BUFFER_HANDLE;
    ps->wPageCount = 0;
    IssueChild(ps);
    return STATUS_OK;
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
    Walk(ps) = VERIFY_WALK{dLba, wBlocks, 0};
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
