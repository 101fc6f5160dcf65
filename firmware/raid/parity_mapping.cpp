// RAID 5/50 mapping, its read and write builders and the completion steps
// of its groups: read-modify-write pairs, regeneration runs,
// reconstruct-write groups and full-row groups.
#include "raid/parity_mapping.h"

#include <cstring>

#include "config/config_db.h"
#include "config/rank_table.h"
#include "console/option_settings.h"
#include "eventlog/statistics.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "raid/child_commands.h"
#include "raid/drive_error_recovery.h"
#include "raid/raid_engine.h"
#include "raid/striped_mapping.h"
#include "raid/xor_engine.h"
#include "target/back_end_completion.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint8_t PS_PAIR_XOR = 150;     // both reads in, the parity update runs
constexpr uint8_t PS_PRE_READ_DONE = 149;
constexpr uint8_t PS_PARTIAL_HEAD_DONE = 157;
constexpr uint8_t PS_GROUP_XOR_QUEUED = 154;
constexpr uint16_t NO_INDEX = 0xFFFF;

enum class Kind : uint8_t { Read, Regenerate, ReadModifyWrite, Reconstruct, DataOnly, FullRow, PartialRow };

struct Geometry {
    uint8_t bRank;
    uint8_t D;
    uint8_t G;
    uint8_t P;
    uint32_t S;
    uint64_t W;   // data blocks of a row
};

// Where one chunk of a command lies.
struct Chunk {
    uint64_t lRow;
    uint8_t bSubRank;
    uint8_t bParity;
    uint8_t bData;
    uint8_t bPosition;     // data chunk position among the sub-rank's data chunks
    uint32_t dOffset;      // first block's offset in the chunk
    uint32_t dBlocks;
    uint32_t dHostBlock;   // blocks of the command before it
};

Chunk PlaceOf(const Geometry& g, uint64_t lAddress) {
    Chunk c{};
    c.lRow = lAddress / g.W;
    const uint32_t k = static_cast<uint32_t>((lAddress % g.W) / g.S);
    c.bSubRank = static_cast<uint8_t>(k / (g.P - 1u));
    c.bPosition = static_cast<uint8_t>(k % (g.P - 1u));
    c.bParity = static_cast<uint8_t>(c.bSubRank * g.P + c.lRow % g.P);
    c.bData = static_cast<uint8_t>(c.bSubRank * g.P + c.bPosition);
    if (c.bData >= c.bParity) ++c.bData;
    c.dOffset = static_cast<uint32_t>(lAddress % g.S);
    return c;
}

// One unit of work of the command being mapped: a chunk or a row group.
struct Group {
    Kind eKind;
    Chunk sChunk;
    uint32_t dLead;          // full and partial rows: row data blocks before the write
    uint32_t dCovered;       // full and partial rows: blocks of the row written
    bool fHeld;
    uint32_t adSources[XOR_MAX_SOURCES];   // whole rows: the host data of each data chunk
};

constexpr uint32_t MAX_GROUPS = KERNEL_ENTRY_COUNT;
Group s_asGroup[MAX_GROUPS];
GROUP_RUN s_asRun[MAX_GROUPS];
uint32_t s_dGroups;

uint16_t s_wPageFailures;
uint16_t s_wFailedIndex = NO_INDEX;
uint8_t s_fShortageLatched = FALSE;

Geometry GeometryOf(uint8_t bRank) {
    Geometry g{};
    g.bRank = bRank;
    g.D = bGetRankDriveCount(bRank);
    g.G = bGetRankSubRankCount(bRank);
    if (g.G == 0) g.G = 1;
    g.P = static_cast<uint8_t>(g.D / g.G);
    g.S = wGetRankChunkSize(bRank);
    g.W = static_cast<uint64_t>(g.S) * static_cast<uint64_t>(g.D - g.G);
    return g;
}

bool IsMissing(uint8_t bRank, uint8_t bMember) {
    return bGetRankOperationState(bRank) != RANK_STATE_OPTIMAL && bGetRankMemberFlags(bRank, bMember) != MEMBER_ON_LINE;
}

uint32_t dRowBase(const Geometry& g, const Chunk& c) { return static_cast<uint32_t>(c.lRow * g.S); }

uint32_t dSlot(const KERNEL_ENTRY* psHead, uint32_t dIndex) { return dGroupSlot(psHead, dIndex); }

KERNEL_ENTRY* HostOf(KERNEL_ENTRY* psHead) { return psHead->psMother; }

// ---------------------------------------------------------------------------
// Pages of the command's groups
// ---------------------------------------------------------------------------

// Takes every group's entries and pages; 255, 16 or 66, nothing kept on a
// failure.
uint8_t bReserveGroups(KERNEL_ENTRY* psHost, bool fReserved) {
    const uint8_t bBank = bGetCommandBank(psHost);
    return bReserveGroupRuns(s_asRun, s_dGroups, bBank,
                             fReserved ? dGetReservedWriteBuffer(bBank) : NULL_BUFFER_HANDLE,
                             RESERVED_WRITE_BUFFER_PAGES);
}

uint32_t dPagesFor(uint32_t dBlocks) { return (dBlocks + BLOCKS_PER_PAGE - 1) / BLOCKS_PER_PAGE; }

// ---------------------------------------------------------------------------
// Completion steps
// ---------------------------------------------------------------------------

uint8_t bQueueGroupXor(KERNEL_ENTRY* psHead, uint8_t bOp, uint32_t dBytes, uint32_t dSources, uint32_t dDestination,
                       const uint32_t* pdSources) {
    return QueueXorRequestSingleDest(psHead->wIndex, bOp, pRaidFields(psHead)->bPath, dBytes, dSources, dDestination,
                                     pdSources);
}

// A group whose parity cannot be computed ends in error rather than wait.
void FailGroupNow(KERNEL_ENTRY* psHead, uint16_t wEntries) {
    SetFlag(psHead, KE_FLAG_ABORTED);
    MarkHostCommandFailedWithSense(HostOf(psHead), SENSE_ABORTED_COMMAND, ASC_INTERNAL_TARGET_FAILURE, 0);
    FinishChildGroup(psHead, wEntries);
}

uint8_t fReadModifyWriteDone(KERNEL_ENTRY* psChild) {
    const uint8_t bType = psChild->bCommandType;
    const bool fHeadRead = bType == CT_RMW_PARITY_READ || bType == CT_RMW_PARITY_READ_PARTNER;
    const bool fDataRead = bType == CT_RMW_DATA_READ || bType == CT_RMW_DATA_READ_PARTNER;
    KERNEL_ENTRY* psHead = fHeadRead || bType == CT_RMW_PARITY_WRITE || bType == CT_RMW_PARITY_WRITE_PARTNER
                               ? psChild
                               : psChild->psMother;
    NoteChildFailure(psHead, psChild);
    if (fHeadRead || fDataRead) psChild->bPrimaryState = PS_PAIR_READ_DONE;
    if (fCountDownGroup(psHead) != TRUE) return FALSE;
    if (HasFlag(psHead, KE_FLAG_ABORTED) || !(fHeadRead || fDataRead)) {
        // The row is written: the partner's copy of its old contents goes.
        ReleasePairDataAtPartner(psHead);
        FinishChildGroup(psHead, 2);
        return FALSE;
    }
    // Both reads are in: the data write and the parity write follow, each
    // counted on the head, so the pair ends only when both are done.
    psHead->wChildrenOutstanding = 2;
    psHead->bPrimaryState = PS_PAIR_XOR;
    StartParityUpdate(psHead);
    KERNEL_ENTRY* psData = psHead->psLink;
    if (psData->bCommandType != CT_RMW_DATA_READ_PARTNER || bSendPairDataToPartner(psHead) != STATUS_OK) {
        IssueDataWrite(psData);
    }
    return FALSE;
}

uint8_t fRegenerationReadDone(KERNEL_ENTRY* psChild) {
    KERNEL_ENTRY* psHead = psChild->bCommandType == CT_REGENERATE_HEAD ? psChild : psChild->psMother;
    NoteChildFailure(psHead, psChild);
    const bool fHead = psChild == psHead;
    if (fCountDownGroup(psHead) != TRUE) return ToFlag(!fHead);
    if (!fHead) FreeGroupEntry(psChild);
    if (HasFlag(psHead, KE_FLAG_ABORTED)) {
        FinishChildGroup(psHead, pRaidFields(psHead)->wChildBuilt);
    } else {
        RegenerateChunk(psHead);
    }
    return FALSE;
}

uint8_t fReconstructDone(KERNEL_ENTRY* psChild) {
    KERNEL_ENTRY* psHead = psChild->bCommandType == CT_RECONSTRUCT_HEAD ? psChild : psChild->psMother;
    NoteChildFailure(psHead, psChild);
    if (psChild->bCommandType == CT_RECONSTRUCT_HEAD) {
        // The parity write itself: the group is done.
        FinishChildGroup(psHead, pRaidFields(psHead)->wChildBuilt);
        return FALSE;
    }
    if (fCountDownGroup(psHead) != TRUE) return TRUE;
    FreeGroupEntry(psChild);
    if (HasFlag(psHead, KE_FLAG_ABORTED)) {
        FinishChildGroup(psHead, pRaidFields(psHead)->wChildBuilt);
    } else {
        StartFullRowParity(psHead);
    }
    return FALSE;
}

uint8_t fPartialRowDone(KERNEL_ENTRY* psChild) {
    const uint8_t bType = psChild->bCommandType;
    KERNEL_ENTRY* psHead = bType == CT_PARTIAL_HEAD ? psChild : psChild->psMother;
    const uint16_t wEntries = pRaidFields(psHead)->wChildBuilt;
    NoteChildFailure(psHead, psChild);
    const bool fRead = bType >= CT_PARTIAL_READ_BEFORE && bType <= CT_PARTIAL_READ_TAIL_PART;
    if (bType == CT_PARTIAL_READ_HEAD_PART || bType == CT_PARTIAL_READ_TAIL_PART) {
        psChild->bPrimaryState = PS_PRE_READ_DONE;
    } else if (bType == CT_PARTIAL_HEAD) {
        psChild->bPrimaryState = PS_PARTIAL_HEAD_DONE;
    }
    const bool fKeep = bType == CT_PARTIAL_HEAD || bType == CT_PARTIAL_READ_HEAD_PART ||
                       bType == CT_PARTIAL_READ_TAIL_PART;
    if (fCountDownGroup(psHead) != TRUE) return ToFlag(!fKeep);
    if (!fKeep) FreeGroupEntry(psChild);
    if (fRead && !HasFlag(psHead, KE_FLAG_ABORTED)) {
        ContinueFullRowWrite(psHead);
    } else {
        FinishChildGroup(psHead, wEntries);
    }
    return FALSE;
}

// ---------------------------------------------------------------------------
// Builders
// ---------------------------------------------------------------------------

// The members of the sub-rank that can be read, in member order, leaving
// out two (a missing member, the parity member); how many there are.
uint8_t bCollectSources(uint8_t bRank, uint8_t bSubRank, uint8_t P, uint8_t bSkipA, uint8_t bSkipB,
                        uint8_t* pbMembers) {
    uint8_t n = 0;
    for (uint8_t m = bFindUsableMember(bRank, bSubRank, static_cast<uint8_t>(bSubRank * P), FALSE); m != NO_MEMBER;
         m = bFindUsableMember(bRank, bSubRank, static_cast<uint8_t>(m + 1), FALSE)) {
        if (m != bSkipA && m != bSkipB) pbMembers[n++] = m;
    }
    return n;
}

void BuildRead(KERNEL_ENTRY* psHost, const Geometry& g, const Group& r, const GROUP_RUN& u, uint32_t dData) {
    const Chunk& c = r.sChunk;
    KERNEL_ENTRY* ps = u.psFirst;
    BuildChildCommand(psHost, ps, SCSI_READ10, g.bRank, static_cast<uint8_t>(c.bData / g.P), c.bData);
    ps->bCommandType = CT_RAID5_READ;
    (void)AddChildSegment(ps, dData + c.dHostBlock * BLOCK_BYTES, dRowBase(g, c), c.dBlocks, g.S, c.dOffset,
                          g.S - c.dOffset - c.dBlocks);
    pRaidFields(ps)->dDataAddress = dData + c.dHostBlock * BLOCK_BYTES;
}

void BuildDataWrite(KERNEL_ENTRY* psMother, KERNEL_ENTRY* ps, const Geometry& g, const Chunk& c, uint8_t bMember,
                    uint32_t dAddress, uint8_t bType) {
    BuildChildCommand(psMother, ps, SCSI_WRITE10, g.bRank, c.bSubRank, bMember);
    ps->bCommandType = bType;
    (void)AddChildSegment(ps, dAddress, dRowBase(g, c), c.dBlocks, g.S, c.dOffset, g.S - c.dOffset - c.dBlocks);
    pRaidFields(ps)->dDataAddress = dAddress;
}

void BuildReadModifyWrite(KERNEL_ENTRY* psHost, const Geometry& g, const Group& r, const GROUP_RUN& u, uint32_t dData) {
    const Chunk& c = r.sChunk;
    const bool fPartner = HasFlag(psHost, KE_FLAG_MIRRORED) && fIsSubrankIntact(g.bRank, c.bSubRank) != TRUE;
    KERNEL_ENTRY* psHead = u.psFirst;
    KERNEL_ENTRY* psData = u.psFirst + 1;
    const uint32_t dLead = c.dOffset, dTrail = g.S - c.dOffset - c.dBlocks;
    BuildChildCommand(psHost, psHead, SCSI_READ10, g.bRank, c.bSubRank, c.bParity);
    SetGroupPages(psHead, u, c.dBlocks);
    psHead->bCommandType = fPartner ? CT_RMW_PARITY_READ_PARTNER : CT_RMW_PARITY_READ;
    (void)AddChildSegment(psHead, dSlot(psHead, 0), dRowBase(g, c), c.dBlocks, g.S, dLead, dTrail);
    psHead->wChildrenOutstanding = 2;
    psHead->wTotalChildren = 2;
    psHead->psLink = psData;
    pRaidFields(psHead)->dDataAddress = dSlot(psHead, 2);
    pRaidFields(psHead)->wRunBlocks = static_cast<uint16_t>(c.dBlocks);
    BuildChildCommand(psHead, psData, SCSI_READ10, g.bRank, c.bSubRank, c.bData);
    psData->bCommandType = fPartner ? CT_RMW_DATA_READ_PARTNER : CT_RMW_DATA_READ;
    (void)AddChildSegment(psData, dSlot(psHead, 1), dRowBase(g, c), c.dBlocks, g.S, dLead, dTrail);
    pRaidFields(psData)->dDataAddress = dData + c.dHostBlock * BLOCK_BYTES;
}

void BuildReconstruct(KERNEL_ENTRY* psHost, const Geometry& g, const Group& r, const GROUP_RUN& u, uint32_t dData) {
    const Chunk& c = r.sChunk;
    const uint32_t dLead = c.dOffset, dTrail = g.S - c.dOffset - c.dBlocks;
    KERNEL_ENTRY* psHead = u.psFirst;
    BuildChildCommand(psHost, psHead, SCSI_WRITE10, g.bRank, c.bSubRank, c.bParity);
    SetGroupPages(psHead, u, c.dBlocks);
    psHead->bCommandType = CT_RECONSTRUCT_HEAD;
    (void)AddChildSegment(psHead, dSlot(psHead, 0), dRowBase(g, c), c.dBlocks, g.S, dLead, dTrail);
    psHead->bPrimaryState = PS_RECONSTRUCT_WAIT;
    RAID_ENTRY_FIELDS* psRaid = pRaidFields(psHead);
    psRaid->dDataAddress = dData + c.dHostBlock * BLOCK_BYTES;
    psRaid->wRunBlocks = static_cast<uint16_t>(c.dBlocks);
    psRaid->wChildBuilt = u.wEntries;
    uint8_t abSource[16];
    const uint8_t n = bCollectSources(g.bRank, c.bSubRank, g.P, c.bData, c.bParity, abSource);
    for (uint16_t e = 1; e < u.wEntries && e <= n; ++e) {
        KERNEL_ENTRY* ps = u.psFirst + e;
        BuildChildCommand(psHead, ps, SCSI_READ10, g.bRank, c.bSubRank, abSource[e - 1]);
        ps->bCommandType = CT_RECONSTRUCT_READ;
        (void)AddChildSegment(ps, dSlot(psHead, e), dRowBase(g, c), c.dBlocks, g.S, dLead, dTrail);
    }
    psHead->wChildrenOutstanding = static_cast<uint16_t>(u.wEntries - 1);
    psHead->wTotalChildren = static_cast<uint16_t>(u.wEntries - 1);
}

}  // namespace

// ---------------------------------------------------------------------------
// Completion-side handlers of the RAID 5/50 groups
// ---------------------------------------------------------------------------

void StartParityUpdate(KERNEL_ENTRY* psHead) {
    const uint32_t adSources[3] = {pRaidFields(psHead->psLink)->dDataAddress, dSlot(psHead, 0), dSlot(psHead, 1)};
    if (bQueueGroupXor(psHead, XOR_OP_RAID5_PARITY_UPDATE, pRaidFields(psHead)->dRunBytes, 3, dSlot(psHead, 2),
                       adSources) != STATUS_OK) {
        // The data write still goes out and counts down; the parity write
        // will not come.
        SetFlag(psHead, KE_FLAG_ABORTED);
        MarkHostCommandFailedWithSense(HostOf(psHead), SENSE_ABORTED_COMMAND, ASC_INTERNAL_TARGET_FAILURE, 0);
        --psHead->wChildrenOutstanding;
    }
}

void IssueDataWrite(KERNEL_ENTRY* psData) {
    psChildSegment(psData, 0)->dAddress = pRaidFields(psData)->dDataAddress;
    SetChildOpcode(psData, SCSI_WRITE10);
    psData->bCommandType =
        psData->bCommandType == CT_RMW_DATA_READ_PARTNER ? CT_RMW_DATA_WRITE_PARTNER : CT_RMW_DATA_WRITE;
    IssueChild(psData);
}

void IssueParityWrite(KERNEL_ENTRY* psHead) {
    psChildSegment(psHead, 0)->dAddress = pRaidFields(psHead)->dDataAddress;
    SetChildOpcode(psHead, SCSI_WRITE10);
    psHead->bCommandType =
        psHead->bCommandType == CT_RMW_PARITY_READ_PARTNER ? CT_RMW_PARITY_WRITE_PARTNER : CT_RMW_PARITY_WRITE;
    IssueChild(psHead);
}

void RegenerateChunk(KERNEL_ENTRY* psHead) {
    KERNEL_ENTRY* psHost = HostOf(psHead);
    const RAID_ENTRY_FIELDS* psRaid = pRaidFields(psHead);
    const uint32_t dSources = psRaid->wChildBuilt;
    uint32_t adSources[XOR_MAX_SOURCES];
    for (uint32_t i = 0; i < dSources; ++i) adSources[i] = dSlot(psHead, i);
    // The pages go with the request: its hand-over frees them and counts the
    // chunk down on the host command.
    if (QueueXorRequestSingleDest(psHost->wIndex, XOR_OP_RAID5_REGENERATE_READ, psRaid->bPath, psRaid->dRunBytes,
                                  dSources, psRaid->dDataAddress, adSources) != STATUS_OK) {
        FailGroupNow(psHead, 1);
        return;
    }
    ClearFlag(psHead, KE_FLAG_OWNS_PAGES);
    FreeGroupEntry(psHead);
}

void FreeRowGroup(KERNEL_ENTRY* psHead) { FreeChildGroup(psHead, pRaidFields(psHead)->wChildBuilt); }

void StartFullRowParity(KERNEL_ENTRY* psHead) {
    const RAID_ENTRY_FIELDS* psRaid = pRaidFields(psHead);
    uint32_t adSources[XOR_MAX_SOURCES];
    adSources[0] = psRaid->dDataAddress;
    for (uint16_t e = 1; e < psRaid->wChildBuilt; ++e) adSources[e] = dSlot(psHead, e);
    psHead->bPrimaryState = PS_ROW_PARITY_XOR;
    if (bQueueGroupXor(psHead, XOR_OP_RAID5_ROW_PARITY, psRaid->dRunBytes, psRaid->wChildBuilt, dSlot(psHead, 0),
                       adSources) != STATUS_OK) {
        FailGroupNow(psHead, psRaid->wChildBuilt);
    }
}

void IssueAfterXor(KERNEL_ENTRY* psEntry) { IssueChild(psEntry); }

void IssueOrFailAfterXor(KERNEL_ENTRY* psEntry) {
    if (!HasFlag(psEntry, KE_FLAG_ABORTED)) {
        IssueChild(psEntry);
        return;
    }
    psEntry->bPrimaryState = PS_COMPLETED;
    IncrementTotalCommands(psEntry->bPortCode);
    (void)QueueKernelEntryComplete(psEntry->bPortCode, psEntry->wIndex);
}

void IssueFullRowWrites(KERNEL_ENTRY* psHead) {
    ClearFlag(psHead, KE_FLAG_HOLD_ROW_WRITES);
    for (uint16_t e = 1; e < pRaidFields(psHead)->wChildBuilt; ++e) {
        KERNEL_ENTRY* ps = psHead + e;
        if (ps->fUsed != TRUE || ps->bPrimaryState != PS_ROW_HELD || ps->bCommandType != CT_ROW_DATA_WRITE) continue;
        if (!HasFlag(ps, KE_FLAG_ABORTED)) {
            IssueChild(ps);
            continue;
        }
        ps->bPrimaryState = PS_DATA_WRITE_FAILED;
        IncrementTotalCommands(ps->bPortCode);
        (void)QueueKernelEntryComplete(ps->bPortCode, ps->wIndex);
    }
}

void ContinueFullRowWrite(KERNEL_ENTRY* psHead) {
    const RAID_ENTRY_FIELDS* psRaid = pRaidFields(psHead);
    const uint16_t wEntries = psRaid->wChildBuilt;
    const uint32_t dChunkBytes = psRaid->dRunBytes;
    uint32_t adSources[XOR_MAX_SOURCES];
    uint16_t wWrites = 0;
    for (uint16_t e = 1; e < wEntries; ++e) {
        KERNEL_ENTRY* ps = psHead + e;
        adSources[e - 1] = dSlot(psHead, e);
        if (ps->fUsed != TRUE || ps->psMother != psHead) continue;
        const uint8_t bType = ps->bCommandType;
        if (bType == CT_PARTIAL_DATA_WRITE) {
            // Written whole from the host: the parity reads it there.
            adSources[e - 1] = pRaidFields(ps)->dDataAddress;
        } else if (bType == CT_PARTIAL_READ_HEAD_PART || bType == CT_PARTIAL_READ_TAIL_PART) {
            // The part read and the host's part make the chunk in its slot;
            // the child turns into the write of the host's part.
            const uint32_t dRead = wGetChildBlocks(ps);
            const uint32_t dWrite = dChunkBytes / BLOCK_BYTES - dRead;
            const uint32_t dHostPart = pRaidFields(ps)->dDataAddress;
            const uint32_t dSlotPart = bType == CT_PARTIAL_READ_HEAD_PART ? dSlot(psHead, e) + dRead * BLOCK_BYTES
                                                                          : dSlot(psHead, e);
            std::memcpy(pbAtAddress(dSlotPart), pbAtAddress(dHostPart), dWrite * BLOCK_BYTES);
            const uint32_t dLba = bType == CT_PARTIAL_READ_HEAD_PART ? dGetChildLba(ps) + dRead
                                                                     : dGetChildLba(ps) - dWrite;
            ps->wSegmentCount = 0;
            ps->dTotalByteCount = 0;
            SetChildBlocks(ps, 0);
            SetChildOpcode(ps, SCSI_WRITE10);
            (void)AddChildSegment(ps, dHostPart, dLba, dWrite, dWrite, 0, 0);
            ps->bCommandType = CT_PARTIAL_DATA_WRITE;
        } else {
            continue;
        }
        ++wWrites;
        IssueChild(ps);
    }
    // The writes and the parity write count down on the head.
    psHead->wChildrenOutstanding = static_cast<uint16_t>(wWrites + 1);
    psHead->bPrimaryState = PS_ROW_PARITY_XOR;
    if (bQueueGroupXor(psHead, XOR_OP_RAID5_ROW_PARITY, dChunkBytes, static_cast<uint32_t>(wEntries - 1),
                       dSlot(psHead, 0), adSources) != STATUS_OK) {
        SetFlag(psHead, KE_FLAG_ABORTED);
        MarkHostCommandFailedWithSense(HostOf(psHead), SENSE_ABORTED_COMMAND, ASC_INTERNAL_TARGET_FAILURE, 0);
        if (--psHead->wChildrenOutstanding == 0) FinishChildGroup(psHead, wEntries);
    }
}

uint8_t fRaid5ChildComplete(KERNEL_ENTRY* psChild) {
    switch (psChild->bCommandType) {
    case CT_RMW_PARITY_READ: case CT_RMW_PARITY_READ_PARTNER: case CT_RMW_DATA_READ: case CT_RMW_DATA_READ_PARTNER:
    case CT_RMW_PARITY_WRITE: case CT_RMW_PARITY_WRITE_PARTNER: case CT_RMW_DATA_WRITE: case CT_RMW_DATA_WRITE_PARTNER:
        return fReadModifyWriteDone(psChild);
    case CT_REGENERATE_HEAD: case CT_REGENERATE_READ:
        return fRegenerationReadDone(psChild);
    case CT_RECONSTRUCT_HEAD: case CT_RECONSTRUCT_READ:
        return fReconstructDone(psChild);
    default:
        return fPartialRowDone(psChild);
    }
}

void ReleaseHeldGroup(KERNEL_ENTRY* psFirst, uint8_t fFailed) {
    if (psFirst == nullptr || psFirst->fUsed != TRUE) return;
    const uint16_t wEntries = pRaidFields(psFirst)->wChildBuilt;
    pRaidFields(psFirst)->psChainPrev = nullptr;
    if (fFailed == TRUE) {
        // Nothing of a group behind a failed one goes out; its own host
        // command, which did not fail, is done again rather than answered
        // as if its group had been written.
        SetFlag(psFirst, KE_FLAG_ABORTED);
        if (KERNEL_ENTRY* psHost = psFirst->psMother; psHost != nullptr && !HasFlag(psHost, KE_FLAG_CHILD_FAILED)) {
            SetFlag(psHost, KE_FLAG_CHILD_FAILED);
        }
        FinishChildGroup(psFirst, wEntries);
        return;
    }
    for (uint16_t e = 0; e < wEntries; ++e) {
        KERNEL_ENTRY* ps = psFirst + e;
        // A group that built fewer entries than it took gave the rest back,
        // and another command's group, held behind its own, may hold them
        // now: only this group's entries go out.
        if (ps->fUsed != TRUE || (ps != psFirst && ps->psMother != psFirst)) continue;
        if (!HasFlag(ps, KE_FLAG_HELD_BEHIND_GROUP)) continue;
        ClearFlag(ps, KE_FLAG_HELD_BEHIND_GROUP);
        // A reconstruct head waits for its reads, not for the chain.
        if (ps->bCommandType == CT_RECONSTRUCT_HEAD) {
            ps->bPrimaryState = PS_RECONSTRUCT_WAIT;
            continue;
        }
        IssueChild(ps);
    }
    if (psFirst->bCommandType == CT_RECONSTRUCT_HEAD && psFirst->wChildrenOutstanding == 0) {
        StartFullRowParity(psFirst);
    }
}

// ---------------------------------------------------------------------------
// Mapping
// ---------------------------------------------------------------------------

uint8_t fIsFullRowWrite(KERNEL_ENTRY* psHost, uint32_t* pdRowBlocks, uint32_t* pdLead, uint32_t* pdTrail,
                        uint32_t dRemaining, uint32_t dOffset, uint16_t wChunkSize, uint8_t bDataMember,
                        uint8_t bParityMember, uint8_t bMembersPerSubrank, uint8_t bRank, uint8_t bSubRank) {
    const uint32_t S = wChunkSize;
    const uint32_t P = bMembersPerSubrank;
    const uint32_t dRow = S * (P - 1);
    const uint32_t dFirstMember = static_cast<uint32_t>(bSubRank) * P;
    const bool fCandidate = dOffset == 0 && (bDataMember == dFirstMember ||
                                             (bParityMember == dFirstMember && bDataMember == dFirstMember + 1));
    if (dRemaining < S) return FALSE;
    if (fCandidate && dRemaining >= dRow) {
        *pdRowBlocks = dRow;
        *pdLead = 0;
        *pdTrail = 0;
        return TRUE;
    }
    if (fGetPartialFullStripeWrite() != TRUE || psHost->bCommandType == CT_FLUSH_WRITE) return FALSE;
    const uint32_t dPosition = bDataMember - dFirstMember - (bDataMember > bParityMember ? 1u : 0u);
    const uint32_t dLead = dOffset + dPosition * S;
    const uint32_t dTrail = dRemaining + dLead < dRow ? dRow - (dRemaining + dLead) : 0;
    const uint32_t dCovered = dRow - dLead - dTrail;
    const bool fAllowed = HasFlag(psHost, KE_FLAG_FULL_ROW_ALLOWED);
    if (P * S >= 4 * dCovered && !fAllowed) return FALSE;
    if (fIsSubrankIntact(bRank, bSubRank) != TRUE &&
        !(fIsSubrankRebuilding(bRank, bSubRank) == TRUE && fAllowed)) {
        return FALSE;
    }
    *pdRowBlocks = dCovered;
    *pdLead = dLead;
    *pdTrail = dTrail;
    return TRUE;
}

namespace {

// Walks the chunks of the command, asking `fn` for each (and letting it
// swallow the following blocks of a row group); false when fn refused.
template <typename FN>
bool WalkChunks(const Geometry& g, uint64_t L, uint32_t B, FN fn) {
    uint64_t a = L;
    uint32_t dDone = 0;
    while (dDone < B) {
        Chunk c = PlaceOf(g, a);
        c.dBlocks = B - dDone < g.S - c.dOffset ? B - dDone : g.S - c.dOffset;
        c.dHostBlock = dDone;
        const uint32_t dTaken = fn(c, B - dDone);
        if (dTaken == 0) return false;
        a += dTaken;
        dDone += dTaken;
    }
    return true;
}

// The window of a member being rebuilt: 82 rebuilt (read or write it as
// healthy), 84 busy (retry the command), anything else: not yet rebuilt.
uint8_t bRebuildWindowOf(uint8_t bRank, uint8_t bMember, uint32_t dDone, uint32_t dBlocks, KERNEL_ENTRY* psHost) {
    if (bGetRankMemberFlags(bRank, bMember) != MEMBER_REBUILDING) return REBUILD_WINDOW_OUTSIDE;
    const uint8_t b = bCheckRebuildWindow(bRank, static_cast<uint16_t>(dDone), static_cast<uint16_t>(dBlocks), psHost);
    if (b == REBUILD_WINDOW_BUSY) {
        SetRebuildParFlag(TRUE);
        SetFlag(psHost, KE_FLAG_REBUILD_HELD);
    }
    return b;
}

bool AddGroup(const Group& r, uint16_t wEntries, uint32_t dPages) {
    if (s_dGroups == MAX_GROUPS) return false;
    s_asRun[s_dGroups] = {nullptr, NULL_BUFFER_HANDLE, dPages, wEntries, FALSE};
    s_asGroup[s_dGroups++] = r;
    return true;
}

// The command can never be served at its size: it ends in error rather
// than being retried for ever.
uint8_t bTooLarge(KERNEL_ENTRY* psHost) {
    uint32_t dEntries = 0;
    for (uint32_t i = 0; i < s_dGroups; ++i) dEntries += s_asRun[i].wEntries;
    if (s_dGroups < MAX_GROUPS && dEntries <= KERNEL_ENTRY_COUNT) return FALSE;
    s_dGroups = 0;
    FailHostCommand(psHost, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
    return TRUE;
}

void CountPageFailure(KERNEL_ENTRY* psHost) {
    CountRaid50WriteCacheFull();
    if (s_wPageFailures != 0xFFFF) ++s_wPageFailures;
    s_wFailedIndex = psHost->wIndex;
    s_fShortageLatched = TRUE;
}

}  // namespace

uint8_t bBuildRaid5ReadChildren(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t /*bFirstDataMember*/, uint64_t lRowBase,
                                uint16_t wBlocks, uint32_t /*dTail*/, uint16_t wOffset, uint8_t /*bDrives*/,
                                uint16_t /*wChunkSize*/, uint32_t dDataAddress) {
    const Geometry g = GeometryOf(bRank);
    s_dGroups = 0;
    bool fBusy = false, fUnreadable = false;
    (void)lRowBase;
    (void)wOffset;
    (void)WalkChunks(g, lGetMappedAddress(psHost), wBlocks,
                     [&](const Chunk& c, uint32_t) -> uint32_t {
                         Group r{};
        uint16_t wEntries = 0;
        uint32_t dPages = 0;
                         r.sChunk = c;
                         r.eKind = Kind::Read;
                         wEntries = 1;
                         // A silent member's data comes from the others too.
                         if (IsMissing(bRank, c.bData) || fIsMemberSilent(bRank, c.bData) == TRUE) {
                             const uint8_t b = bRebuildWindowOf(bRank, c.bData, c.dHostBlock, c.dBlocks, psHost);
                             fBusy |= b == REBUILD_WINDOW_BUSY;
                             if (b != REBUILD_WINDOW_REBUILT) {
                                 uint8_t abSource[16];
                                 r.eKind = Kind::Regenerate;
                                 wEntries = static_cast<uint16_t>(g.P - 1);
                                 dPages = dPagesFor((g.P - 1u) * c.dBlocks);
                                 fUnreadable |= bCollectSources(bRank, c.bSubRank, g.P, c.bData, NO_MEMBER,
                                                                abSource) < g.P - 1u;
                             }
                         }
                         return AddGroup(r, wEntries, dPages) ? c.dBlocks : 0;
                     });
    if (fBusy) {
        s_dGroups = 0;
        return STATUS_RETRY;
    }
    if (fUnreadable) {
        s_dGroups = 0;
        FailHostCommand(psHost, SENSE_MEDIUM_ERROR, ASC_UNRECOVERED_READ_ERROR, 0);
        return STATUS_OK;
    }
    if (bTooLarge(psHost) == TRUE) return STATUS_OK;
    const uint8_t b = bReserveGroups(psHost, false);
    if (b != STATUS_OK) {
        if (b == STATUS_NO_PAGES) CountPageFailure(psHost);
        return STATUS_RETRY;
    }
    psHost->wChildrenOutstanding = static_cast<uint16_t>(s_dGroups);
    psHost->wTotalChildren = static_cast<uint16_t>(s_dGroups);
    for (uint32_t i = 0; i < s_dGroups; ++i) {
        Group& r = s_asGroup[i];
        GROUP_RUN& u = s_asRun[i];
        if (r.eKind == Kind::Read) {
            BuildRead(psHost, g, r, u, dDataAddress);
            IssueChild(u.psFirst);
            continue;
        }
        SetGroupPages(u.psFirst, u, r.sChunk.dBlocks);
        (void)bIssueRegenerationReads(psHost, u.psFirst, bRank, r.sChunk.bData, g.P, dRowBase(g, r.sChunk), g.S,
                                      r.sChunk.dOffset, g.S - r.sChunk.dOffset - r.sChunk.dBlocks);
        pRaidFields(u.psFirst)->dDataAddress = dDataAddress + r.sChunk.dHostBlock * BLOCK_BYTES;
    }
    s_dGroups = 0;
    return STATUS_OK;
}

uint8_t bIssueRegenerationReads(KERNEL_ENTRY* psHost, KERNEL_ENTRY* psRun, uint8_t bRank, uint8_t bFailedMember,
                                uint8_t bMembersPerSubrank, uint32_t dDriveBlock, uint32_t dChunkSize, uint32_t dLead,
                                uint32_t dTrail) {
    const uint8_t P = bMembersPerSubrank;
    if (P < 2) return STATUS_OK;
    const uint8_t g = static_cast<uint8_t>(bFailedMember / P);
    const uint32_t dBlocks = dChunkSize - dLead - dTrail;
    uint8_t abSource[16];
    // Fewer than P - 1 members to read: a run built anyway would read no
    // drive into a slot and XOR what it held into the host's data.  The
    // run is refused instead; the read path answers such a chunk with
    // MEDIUM ERROR before it gets here.
    if (bCollectSources(bRank, g, P, bFailedMember, NO_MEMBER, abSource) < P - 1u) return STATUS_RETRY;
    const RAID_ENTRY_FIELDS sPages = *pRaidFields(psRun);
    const BUFFER_HANDLE dHandle = psRun->dBufferHandle;
    const uint16_t wPages = psRun->wPageCount;
    const uint64_t lOwns = psRun->lFlags & KE_FLAG_OWNS_PAGES;
    for (uint8_t i = 0; i + 1u < P; ++i) {
        KERNEL_ENTRY* ps = psRun + i;
        BuildChildCommand(i == 0 ? psHost : psRun, ps, SCSI_READ10, bRank, g, abSource[i]);
        ps->bCommandType = i == 0 ? CT_REGENERATE_HEAD : CT_REGENERATE_READ;
        (void)AddChildSegment(ps, sPages.dSlotBase + i * dBlocks * BLOCK_BYTES, dDriveBlock, dBlocks, dChunkSize,
                              dLead, dTrail);
    }
    RAID_ENTRY_FIELDS* psRaid = pRaidFields(psRun);
    psRaid->dSlotBase = sPages.dSlotBase;
    psRaid->dRunBytes = dBlocks * BLOCK_BYTES;
    psRaid->wChildBuilt = static_cast<uint16_t>(P - 1);
    psRaid->wRunBlocks = static_cast<uint16_t>(dBlocks);
    psRun->dBufferHandle = dHandle;
    psRun->wPageCount = wPages;
    psRun->lFlags |= lOwns;
    psRun->wChildrenOutstanding = static_cast<uint16_t>(P - 1);
    psRun->wTotalChildren = static_cast<uint16_t>(P - 1);
    for (uint8_t i = 0; i + 1u < P; ++i) IssueChild(psRun + i);
    return STATUS_OK;
}

uint8_t bBuildRaid5WriteChildren(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t /*bFirstDataMember*/,
                                 uint64_t /*lRowBase*/, uint16_t wBlocks, uint32_t /*dTail*/, uint16_t /*wOffset*/,
                                 uint8_t /*bDrives*/, uint16_t /*wChunkSize*/, uint32_t dDataAddress) {
    const Geometry g = GeometryOf(bRank);
    const uint64_t L = lGetMappedAddress(psHost);
    s_dGroups = 0;
    bool fBusy = false, fAhead = false, fLost = false;
    (void)WalkChunks(g, L, wBlocks, [&](const Chunk& c, uint32_t dRemaining) -> uint32_t {
        Group r{};
        uint16_t wEntries = 0;
        uint32_t dPages = 0;
        r.sChunk = c;
        uint32_t dRow = 0, dLead = 0, dTrail = 0;
        if (fIsFullRowWrite(psHost, &dRow, &dLead, &dTrail, dRemaining, c.dOffset, static_cast<uint16_t>(g.S), c.bData,
                            c.bParity, g.P, bRank, c.bSubRank) == TRUE) {
            r.eKind = dLead == 0 && dTrail == 0 ? Kind::FullRow : Kind::PartialRow;
            r.dLead = dLead;
            r.dCovered = dRow;
            wEntries = g.P;
            dPages = r.eKind == Kind::FullRow ? dPagesFor(g.S) : dPagesFor(g.P * g.S);
            return AddGroup(r, wEntries, dPages) ? dRow : 0;
        }
        const uint8_t bState = bGetRankOperationState(bRank);
        uint8_t bFd = bGetRankMemberFlags(bRank, c.bData);
        uint8_t bFp = bGetRankMemberFlags(bRank, c.bParity);
        if (bFd == MEMBER_REBUILDING || bFp == MEMBER_REBUILDING) {
            const uint8_t b = bRebuildWindowOf(bRank, bFd == MEMBER_REBUILDING ? c.bData : c.bParity, c.dHostBlock,
                                               c.dBlocks, psHost);
            fBusy |= b == REBUILD_WINDOW_BUSY;
            if (b == REBUILD_WINDOW_REBUILT) {
                bFd = bFp = MEMBER_ON_LINE;
            } else {
                fAhead = true;
            }
        }
        if (bState == RANK_STATE_OPTIMAL || (bFd == MEMBER_ON_LINE && bFp == MEMBER_ON_LINE)) {
            r.eKind = Kind::ReadModifyWrite;
            wEntries = 2;
            dPages = dPagesFor(3 * c.dBlocks);
        } else if (bFp == MEMBER_ON_LINE) {
            uint8_t abSource[16];
            r.eKind = Kind::Reconstruct;
            wEntries = static_cast<uint16_t>(g.P - 1);
            dPages = dPagesFor((g.P - 1u) * c.dBlocks);
            fLost |= bCollectSources(bRank, c.bSubRank, g.P, c.bData, c.bParity, abSource) < g.P - 2u;
        } else if (bFd == MEMBER_ON_LINE) {
            r.eKind = Kind::DataOnly;
            wEntries = 1;
        } else {
            fLost = true;   // data and parity of the chunk are both gone
        }
        return AddGroup(r, wEntries, dPages) ? c.dBlocks : 0;
    });
    if (fBusy) {
        s_dGroups = 0;
        return STATUS_RETRY;
    }
    if (fLost) {
        s_dGroups = 0;
        FailHostCommand(psHost, SENSE_HARDWARE_ERROR, ASC_LOGICAL_UNIT_FAILURE, 1);
        return STATUS_OK;
    }
    if (bTooLarge(psHost) == TRUE) return STATUS_OK;

    // The write that starved for pages takes the reserved buffer.
    uint32_t dPages = 0;
    for (uint32_t i = 0; i < s_dGroups; ++i) dPages += s_asRun[i].dPages;
    const bool fReserved = s_wPageFailures >= PAGE_FAILURES_BEFORE_RESERVE && s_wFailedIndex == psHost->wIndex &&
                           fGetReservedWriteBufferBusy() != TRUE && dPages <= RESERVED_WRITE_BUFFER_PAGES &&
                           dGetReservedWriteBuffer(bGetCommandBank(psHost)) != NULL_BUFFER_HANDLE;
    const uint8_t bReserve = bReserveGroups(psHost, fReserved);
    if (bReserve != STATUS_OK) {
        if (bReserve == STATUS_NO_PAGES) CountPageFailure(psHost);
        return STATUS_RETRY;
    }
    if (fReserved) {
        SetReservedWriteBufferBusy(TRUE);
        SetFlag(psHost, KE_FLAG_RAID5_ROW_BUFFER);
    }
    if (fReserved || s_wFailedIndex == psHost->wIndex) {
        s_wPageFailures = 0;
        s_wFailedIndex = NO_INDEX;
    }
    s_fShortageLatched = FALSE;

    // Build: every child ready, then the issue, so that a chain of groups
    // is complete before its first group can finish.
    uint32_t dSum = 0;
    KERNEL_ENTRY* psPrevious = nullptr;
    uint32_t dUnits = 0;
    const bool fHoldData = fGetHoldFullRowDataWrites() == TRUE;
    for (uint32_t i = 0; i < s_dGroups; ++i) {
        Group& r = s_asGroup[i];
        GROUP_RUN& u = s_asRun[i];
        const Chunk& c = r.sChunk;
        const uint32_t dHost = dDataAddress + c.dHostBlock * BLOCK_BYTES;
        if (r.eKind == Kind::DataOnly) {
            BuildDataWrite(psHost, u.psFirst, g, c, c.bData, dHost, CT_RAID5_DATA_ONLY);
            ++dUnits;
            continue;
        }
        if (r.eKind == Kind::FullRow || r.eKind == Kind::PartialRow) {
            dSum = 0;
            KERNEL_ENTRY* psHead = u.psFirst;
            const bool fWhole = r.eKind == Kind::FullRow;
            const uint32_t dFirstMember = static_cast<uint32_t>(c.bSubRank) * g.P;
            const uint8_t bParityFlags = bGetRankMemberFlags(bRank, c.bParity);
            const bool fParityWritten = bParityFlags == MEMBER_ON_LINE || bParityFlags == MEMBER_REBUILDING;
            BuildChildCommand(psHost, psHead, SCSI_WRITE10, bRank, c.bSubRank, c.bParity);
            SetGroupPages(psHead, u, g.S);
            psHead->bCommandType = fWhole ? CT_ROW_PARITY_WRITE : CT_PARTIAL_HEAD;
            (void)AddChildSegment(psHead, dSlot(psHead, 0), dRowBase(g, c), g.S, g.S, 0, 0);
            RAID_ENTRY_FIELDS* psRaid = pRaidFields(psHead);
            psRaid->wChildBuilt = g.P;
            psRaid->dDataAddress = dSlot(psHead, 0);
            const uint32_t dRowHost = dHost - r.dLead * BLOCK_BYTES;   // where row block 0 would lie
            const bool fHold = fWhole && fHoldData && fParityWritten;
            uint16_t wReads = 0, wWrites = 0;
            uint32_t adSources[XOR_MAX_SOURCES];
            for (uint32_t j = 0; j + 1 < g.P; ++j) {
                KERNEL_ENTRY* ps = psHead + 1 + j;
                const uint8_t bMember = static_cast<uint8_t>(dFirstMember + j + (dFirstMember + j >= c.bParity ? 1 : 0));
                const uint8_t bFlags = bGetRankMemberFlags(bRank, bMember);
                const uint32_t dStart = j * g.S, dEnd = dStart + g.S;
                const uint32_t dWriteEnd = r.dLead + r.dCovered;
                adSources[j] = dRowHost + dStart * BLOCK_BYTES;
                if (bFlags != MEMBER_ON_LINE && bFlags != MEMBER_REBUILDING) {
                    FreeGroupEntry(ps);   // no drive to write
                    continue;
                }
                Chunk sPiece = c;
                sPiece.dOffset = 0;
                sPiece.dBlocks = g.S;
                if (fWhole || (dStart >= r.dLead && dEnd <= dWriteEnd)) {
                    BuildDataWrite(fWhole ? psHost : psHead, ps, g, sPiece, bMember, dRowHost + dStart * BLOCK_BYTES,
                                   fWhole ? CT_ROW_DATA_WRITE : CT_PARTIAL_DATA_WRITE);
                    if (!fWhole || fHold) ps->bPrimaryState = PS_ROW_HELD;
                    ++wWrites;
                    continue;
                }
                BuildChildCommand(psHead, ps, SCSI_READ10, bRank, c.bSubRank, bMember);
                uint32_t dFrom = 0, dTo = g.S;   // blocks of the chunk read
                uint8_t bType = dEnd <= r.dLead ? CT_PARTIAL_READ_BEFORE : CT_PARTIAL_READ_AFTER;
                if (dStart < r.dLead && r.dLead < dEnd) {
                    bType = CT_PARTIAL_READ_HEAD_PART;
                    dTo = r.dLead - dStart;
                    pRaidFields(ps)->dDataAddress = dRowHost + r.dLead * BLOCK_BYTES;
                } else if (dStart < dWriteEnd && dWriteEnd < dEnd) {
                    bType = CT_PARTIAL_READ_TAIL_PART;
                    dFrom = dWriteEnd - dStart;
                    pRaidFields(ps)->dDataAddress = dRowHost + dStart * BLOCK_BYTES;
                }
                ps->bCommandType = bType;
                (void)AddChildSegment(ps, dSlot(psHead, j + 1) + dFrom * BLOCK_BYTES, dRowBase(g, c), g.S, g.S, dFrom,
                                      g.S - dTo);
                ++wReads;
            }
            if (fWhole) {
                dUnits += wWrites;
                if (!fParityWritten) {
                    // No parity member: the data alone is written.
                    ClearFlag(psHead, KE_FLAG_OWNS_PAGES);
                    if (u.fReserved != TRUE) (void)wFreeDataPages(u.dHandle, u.dPages);
                    FreeGroupEntry(psHead);
                    continue;
                }
                ++dUnits;
                psHead->bPrimaryState = PS_ROW_HELD;
                if (fHold) SetFlag(psHead, KE_FLAG_HOLD_ROW_WRITES);
                std::memcpy(r.adSources, adSources, sizeof adSources);
            } else {
                ++dUnits;
                psHead->bPrimaryState = PS_PARTIAL_ROW_WAIT;
                psHead->wChildrenOutstanding = wReads;
                psHead->wTotalChildren = wReads;
                psRaid->dRunBytes = g.S * BLOCK_BYTES;
            }
            AddRaidFullStripeBlocks(static_cast<uint16_t>(r.dCovered));
            continue;
        }
        // Read-modify-write pairs and reconstruct-write groups.
        if (r.eKind == Kind::ReadModifyWrite) {
            BuildReadModifyWrite(psHost, g, r, u, dDataAddress);
        } else {
            BuildReconstruct(psHost, g, r, u, dDataAddress);
        }
        RAID_ENTRY_FIELDS* psRaid = pRaidFields(u.psFirst);
        psRaid->wChildBuilt = u.wEntries;
        ++dUnits;
        r.fHeld = psPrevious != nullptr && dSum + c.dBlocks > g.S;
        if (r.fHeld) {
            // It may share its parity chunk with the group before it.
            SetFlag(psPrevious, KE_FLAG_GROUP_CHAINED);
            pRaidFields(psPrevious)->psChainNext = u.psFirst;
            psRaid->psChainPrev = psPrevious;
            for (uint16_t e = 0; e < u.wEntries; ++e) {
                SetFlag(u.psFirst + e, KE_FLAG_HELD_BEHIND_GROUP);
                u.psFirst[e].bPrimaryState = PS_GROUP_HELD;
            }
        }
        psPrevious = u.psFirst;
        dSum += c.dBlocks;
    }
    psHost->psMother = psHost;
    psHost->wChildrenOutstanding = static_cast<uint16_t>(dUnits);
    psHost->wTotalChildren = static_cast<uint16_t>(dUnits);
    AddRaidWriteBlocks(wBlocks);

    // Issue what does not wait.
    for (uint32_t i = 0; i < s_dGroups; ++i) {
        Group& r = s_asGroup[i];
        GROUP_RUN& u = s_asRun[i];
        if (r.fHeld) continue;
        for (uint16_t e = 0; e < u.wEntries; ++e) {
            KERNEL_ENTRY* ps = u.psFirst + e;
            if (ps->fUsed != TRUE || ps->fValid == TRUE) continue;
            const uint8_t bType = ps->bCommandType;
            const bool fWaits = ps->bPrimaryState == PS_ROW_HELD || ps->bPrimaryState == PS_PARTIAL_ROW_WAIT ||
                                ps->bPrimaryState == PS_RECONSTRUCT_WAIT || bType == CT_PARTIAL_DATA_WRITE;
            if (fWaits) continue;
            if (HasFlag(ps, KE_FLAG_ABORTED) && bType == CT_RECONSTRUCT_READ) continue;
            IssueChild(ps);
        }
        KERNEL_ENTRY* psHead = u.psFirst;
        if (r.eKind == Kind::FullRow && psHead->fUsed == TRUE && psHead->bCommandType == CT_ROW_PARITY_WRITE &&
            bQueueGroupXor(psHead, XOR_OP_RAID5_FULL_ROW, g.S * BLOCK_BYTES, g.P - 1u, dSlot(psHead, 0),
                           r.adSources) != STATUS_OK) {
            SetFlag(psHead, KE_FLAG_ABORTED);
            IssueOrFailAfterXor(psHead);
            if (HasFlag(psHead, KE_FLAG_HOLD_ROW_WRITES)) IssueFullRowWrites(psHead);
        }
        // A reconstruct group with no other member to read goes on at once.
        if (r.eKind == Kind::Reconstruct && psHead->wChildrenOutstanding == 0) StartFullRowParity(psHead);
    }
    if (fAhead ||
        (bGetRankOperationState(bRank) != RANK_STATE_OPTIMAL && bGetRebuildRank() == bRank &&
         fGetRebuildWork() == TRUE)) {
        const uint8_t b = fAhead ? REBUILD_WINDOW_AHEAD : bCheckRebuildWindow(bRank, 0, wBlocks, psHost);
        if (b != REBUILD_WINDOW_REBUILT && b != REBUILD_WINDOW_BUSY) NoteWriteAheadOfRebuild(psHost);
    }
    s_dGroups = 0;
    return STATUS_OK;
}

uint8_t bMapParityCommand(uint8_t bRank, KERNEL_ENTRY* psHost, uint32_t dDataAddress) {
    const uint8_t bOpcode = bFoldedOpcode(psHost);
    uint64_t L = lGetMappedAddress(psHost);
    const uint16_t B = wGetMappedBlocks(psHost);
    if (bOpcode != SCSI_READ10 && bOpcode != SCSI_WRITE10) return 0;
    if (bApplyExpansionWindow(&bRank, psHost, bOpcode, &L, B) != STATUS_OK) return STATUS_RETRY;
    const Geometry g = GeometryOf(bRank);
    psHost->bRank = bRank;
    psHost->psMother = psHost;
    pRaidFields(psHost)->bPath = bGetCommandBank(psHost);
    ClearFlag(psHost, KE_FLAG_AHEAD_OF_REBUILD);
    if (g.S == 0 || g.P < 2 || g.D % g.G != 0) {
        FailHostCommand(psHost, SENSE_HARDWARE_ERROR, ASC_LOGICAL_UNIT_FAILURE, 1);
        return STATUS_OK;
    }
    // The old layout's address, as the builders read it.
    const uint64_t lSaved = psHost->lRankAddress;
    psHost->lRankAddress = L;
    const uint64_t lRow = L / g.W;
    if ((lRow + 1) * g.S > (1ull << 32)) {
        psHost->lRankAddress = lSaved;
        FailHostCommand(psHost, SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0);
        return STATUS_OK;
    }
    const uint64_t lLastRow = (L + (B == 0 ? 0 : B - 1u)) / g.W;
    if ((lLastRow + 1) * g.S > (1ull << 32)) {
        psHost->lRankAddress = lSaved;
        FailHostCommand(psHost, SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0);
        return STATUS_OK;
    }
    const Chunk c = PlaceOf(g, L);
    const uint32_t dOff = c.dOffset;
    const uint32_t dTail = (B + dOff) % g.S != 0 ? g.S - (B + dOff) % g.S : 0;
    const uint8_t b = bOpcode == SCSI_READ10
                          ? bBuildRaid5ReadChildren(psHost, bRank, c.bData, lRow * g.S, B, dTail,
                                                    static_cast<uint16_t>(dOff), g.D, static_cast<uint16_t>(g.S),
                                                    dDataAddress)
                          : bBuildRaid5WriteChildren(psHost, bRank, c.bData, lRow * g.S, B, dTail,
                                                     static_cast<uint16_t>(dOff), g.D, static_cast<uint16_t>(g.S),
                                                     dDataAddress);
    psHost->lRankAddress = lSaved;
    if (b == STATUS_RETRY) LeaveOldLayout(psHost);
    return b;
}

uint16_t wGetParityPageFailures() { return s_wPageFailures; }

}  // namespace fw
