// RAID 0 and RAID 1/10 mapping.
#include "raid/striped_mapping.h"

#include <cstring>

#include "cache/cache_entry.h"
#include "config/config_image.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "executive/kernel_entry.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "raid/child_commands.h"
#include "raid/drive_error_recovery.h"
#include "raid/expansion.h"
#include "raid/raid_engine.h"
#include "target/back_end_completion.h"
#include "target/host_command_codes.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint32_t PAIR_COUNTERS = 8;        // pairs of a sixteen-member rank
constexpr uint8_t BALANCE_RESET_ABOVE = 15;
constexpr uint8_t BALANCE_SECOND_ABOVE = 8;
constexpr uint64_t DRIVE_BLOCK_LIMIT = 1ull << 32;   // the child's CDB carries 32-bit blocks

uint8_t s_abPairBalance[PAIR_COUNTERS];

// The children of the command being mapped, built before any is issued so
// that a shortage leaves nothing behind.
KERNEL_ENTRY* s_apsBuilt[KERNEL_ENTRY_COUNT];
uint32_t s_dBuilt;

// The geometry of one command on one rank.
struct Stripe {
    uint64_t lBase;      // drive block where the first block's stripe row begins
    uint32_t dBlocks;    // B
    uint32_t dOffset;    // off: first block's offset in its chunk
    uint32_t dEnd;       // offset just past the last block in its chunk (0: on a boundary)
    uint32_t dChunks;    // chunks the command touches
    uint32_t dChunkSize; // S
    uint8_t bFirst;      // member (or pair) of the first block
    uint8_t bMembers;    // N
    uint32_t dData;      // the host buffer
};

// One member's share: k chunks, a contiguous run on the drive.
struct MemberRun {
    uint32_t dDist;      // chunks of the command before the member's first
    uint32_t dChunks;    // k
    uint64_t lStart;     // drive block of its first chunk
    uint32_t dBlocks;    // blocks on the member
};

MemberRun RunOf(const Stripe& s, uint8_t m) {
    MemberRun r{};
    const uint32_t N = s.bMembers;
    r.dDist = m >= s.bFirst ? m - s.bFirst : N - s.bFirst + m;
    r.dChunks = r.dDist < s.dChunks ? (N + s.dChunks - r.dDist - 1) / N : 0;
    r.dBlocks = r.dChunks * s.dChunkSize;
    if (m == (s.bFirst + s.dChunks - 1) % N && s.dEnd != 0) r.dBlocks -= s.dChunkSize - s.dEnd;
    if (m == s.bFirst) r.dBlocks -= s.dOffset;
    r.lStart = m == s.bFirst ? s.lBase + s.dOffset : m < s.bFirst ? s.lBase + s.dChunkSize : s.lBase;
    return r;
}

// Host chunk h of the command: where its blocks lie in the buffer and how
// many there are.
uint32_t dHostOffset(const Stripe& s, uint32_t h) { return h == 0 ? 0 : h * s.dChunkSize - s.dOffset; }
uint32_t dHostChunkBlocks(const Stripe& s, uint32_t h) {
    if (h == 0) return s.dBlocks < s.dChunkSize - s.dOffset ? s.dBlocks : s.dChunkSize - s.dOffset;
    if (h == s.dChunks - 1 && s.dEnd != 0) return s.dEnd;
    return s.dChunkSize;
}

uint32_t dPiecesOf(uint32_t dChunks) { return (dChunks + CHILD_MAX_SEGMENTS - 1) / CHILD_MAX_SEGMENTS; }

void DropBuilt() {
    for (uint32_t i = 0; i < s_dBuilt; ++i) FreeChild(s_apsBuilt[i]);
    s_dBuilt = 0;
}

// Builds the children of one member run on one drive (several when the run
// has more chunks than one child carries); 255 or 16.
uint8_t bBuildMemberChildren(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t bMember, const Stripe& s,
                             const MemberRun& r, uint8_t bOpcode, uint8_t bCommandType) {
    uint64_t lDrive = r.lStart;
    for (uint32_t c = 0; c < r.dChunks; c += CHILD_MAX_SEGMENTS) {
        const uint32_t dSegments = r.dChunks - c < CHILD_MAX_SEGMENTS ? r.dChunks - c : CHILD_MAX_SEGMENTS;
        const uint16_t wEntries = wChildEntries(dSegments);
        KERNEL_ENTRY* ps = nullptr;
        if (bAllocChildRun(wEntries, &ps) != STATUS_OK) return STATUS_RETRY;
        BuildChildCommand(psHost, ps, bOpcode, bRank, 0, bMember);
        SetChildEntries(ps, wEntries);
        ps->bCommandType = bCommandType;
        s_apsBuilt[s_dBuilt++] = ps;
        for (uint32_t i = 0; i < dSegments; ++i) {
            const uint32_t h = r.dDist + (c + i) * s.bMembers;
            const uint32_t dBlocks = dHostChunkBlocks(s, h);
            (void)AddChildSegment(ps, s.dData + dHostOffset(s, h) * BLOCK_BYTES, static_cast<uint32_t>(lDrive),
                                  dBlocks, dBlocks, 0, 0);
            lDrive += dBlocks;
        }
        pRaidFields(ps)->dDataAddress = ps->asSegment[0].dAddress;
    }
    return STATUS_OK;
}

// A copy of a built child for the other drive of its pair, with its own
// run of entries.
uint8_t bBuildMirrorCopy(KERNEL_ENTRY* psPrimary, uint8_t bRank, uint8_t bMember) {
    const uint16_t wEntries = pRaidFields(psPrimary)->bEntries;
    KERNEL_ENTRY* ps = nullptr;
    if (bAllocChildRun(wEntries, &ps) != STATUS_OK) return STATUS_RETRY;
    BuildChildCommand(psPrimary->psMother, ps, psPrimary->abCdb[0], bRank, 0, bMember);
    SetChildEntries(ps, wEntries);
    ps->bCommandType = CT_WRITE;
    for (uint32_t i = 0; i < psPrimary->wSegmentCount; ++i) {
        const KERNEL_SEGMENT* psSeg = psChildSegment(psPrimary, i);
        const uint32_t dBlocks = psSeg->dByteCount / BLOCK_BYTES;
        (void)AddChildSegment(ps, psSeg->dAddress, dGetChildLba(psPrimary), dBlocks, dBlocks, 0, 0);
    }
    ps->wControlFlags = CHILD_CONTROL_WRITE;
    pRaidFields(ps)->dDataAddress = pRaidFields(psPrimary)->dDataAddress;
    s_apsBuilt[s_dBuilt++] = ps;
    return STATUS_OK;
}

// The block offset of the logical drive segment the command lies in,
// which the old layout of an expanding rank does not include.
uint32_t dGetCommandSegmentRebase(const KERNEL_ENTRY* psHost) {
    const uint16_t wLd = psHost->wLunIndex;
    const uint8_t bSegments = bGetLogicalDriveSegmentCount(wLd);
    for (uint8_t g = 0; g < bSegments; ++g) {
        uint64_t lStart = 0, lLastOffset = 0;
        GetLogicalDriveSegmentStart(wLd, g, &lStart);
        GetLogicalDriveSegmentLastOffset(wLd, g, &lLastOffset);
        const uint64_t a = psHost->lInternalAddress;
        if (a >= lStart && a - lStart <= lLastOffset) return dGetLogicalDriveSegmentMark(wLd, g);
    }
    return 0;
}

bool Flagged(uint8_t bRank, uint8_t bMember, bool fWrite) {
    const uint8_t bFlags = bGetRankMemberFlags(bRank, bMember);
    if (bFlags == MEMBER_ON_LINE) return false;
    // Writes reach a member that is being rebuilt.
    return !(fWrite && bGetRankOperationState(bRank) < RANK_STATE_OPTIMAL && bFlags == MEMBER_REBUILDING &&
             bGetRankMemberDrive(bRank, bMember) != NO_DRIVE);
}

}  // namespace

uint8_t bGetPairReadBalance(uint8_t bPair) { return bPair < PAIR_COUNTERS ? s_abPairBalance[bPair] : 0; }

uint8_t bApplyExpansionWindow(uint8_t* pbRank, KERNEL_ENTRY* psHost, uint8_t bOpcode, uint64_t* plAddress,
                              uint16_t wBlocks) {
    if (fIsExpansionInProgress() != TRUE || bGetExpansionRank() != *pbRank) return STATUS_OK;
    if (psHost->bCommandType == CT_EXPANSION) {
        // The restripe's own reads go to the old layout, except those of
        // its save area: that lies past the new capacity and was written
        // in the new layout, and read through the old one it would be
        // other blocks.
        if (bOpcode == SCSI_READ10 && fIsExpansionSaveAddress(*plAddress) != TRUE) *pbRank = EXPANSION_RANK;
        return STATUS_OK;
    }
    const uint8_t b = bCheckExpansionWindow(*plAddress, psHost, wBlocks);
    if (b == TRUE) {
        if (HasFlag(psHost, KE_FLAG_EXPANSION_DECODED)) *plAddress -= dGetCommandSegmentRebase(psHost);
        SetFlag(psHost, KE_FLAG_OLD_LAYOUT);
        *pbRank = EXPANSION_RANK;
        return STATUS_OK;
    }
    if (b == EXPANSION_WINDOW_BUSY) {
        SetFlag(psHost, KE_FLAG_EXPANSION_WAIT);
        return STATUS_RETRY;
    }
    return b == EXPANSION_WINDOW_WAIT ? STATUS_RETRY : STATUS_OK;
}

uint8_t bBuildRaid0Child(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t bMember, uint8_t bFirst, uint64_t lBase,
                         uint16_t wBlocks, uint32_t dEnd, uint16_t wOffset, uint8_t bMembers, uint16_t wChunkSize,
                         uint32_t dDataAddress) {
    const Stripe s{lBase, wBlocks, wOffset, dEnd, (wBlocks + wOffset + wChunkSize - 1u) / wChunkSize,
                   wChunkSize, bFirst, bMembers, dDataAddress};
    const uint8_t bOpcode = bFoldedOpcode(psHost) == SCSI_READ10 ? SCSI_READ10 : SCSI_WRITE10;
    return bBuildMemberChildren(psHost, bRank, bMember, s, RunOf(s, bMember), bOpcode,
                                bOpcode == SCSI_READ10 ? CT_RAID0_READ : CT_WRITE);
}

uint8_t bBuildRaid10Child(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t bPair, uint8_t bFirst, uint64_t lBase,
                          uint16_t wBlocks, uint32_t dEnd, uint16_t wOffset, uint8_t bPairs, uint16_t wChunkSize,
                          uint32_t dDataAddress) {
    const Stripe s{lBase, wBlocks, wOffset, dEnd, (wBlocks + wOffset + wChunkSize - 1u) / wChunkSize,
                   wChunkSize, bFirst, bPairs, dDataAddress};
    const bool fWrite = bFoldedOpcode(psHost) != SCSI_READ10;
    const uint8_t a = static_cast<uint8_t>(2 * bPair), b = static_cast<uint8_t>(a + 1);
    // A read goes to the mirror of a member that went silent.
    const bool fFlaggedA = Flagged(bRank, a, fWrite) || (!fWrite && fIsMemberSilent(bRank, a) == TRUE);
    const bool fFlaggedB = Flagged(bRank, b, fWrite) || (!fWrite && fIsMemberSilent(bRank, b) == TRUE);
    uint8_t bPrimary = a;
    uint8_t bSecond = NO_MEMBER;
    if (fFlaggedA) {
        bPrimary = b;
    } else if (!fFlaggedB) {
        bSecond = b;
    }
    if (!fWrite && !fFlaggedA && !fFlaggedB && bPair < PAIR_COUNTERS) {
        // Eight reads of a pair to one drive, the next eight to the other.
        if (s_abPairBalance[bPair] > BALANCE_RESET_ABOVE) s_abPairBalance[bPair] = 0;
        if (++s_abPairBalance[bPair] > BALANCE_SECOND_ABOVE) bPrimary = b;
    }
    const uint32_t dFirstBuilt = s_dBuilt;
    const uint8_t bResult = bBuildMemberChildren(psHost, bRank, bPrimary, s, RunOf(s, bPair),
                                                 fWrite ? SCSI_WRITE10 : SCSI_READ10, fWrite ? CT_WRITE : CT_RAID10_READ);
    if (bResult != STATUS_OK || !fWrite || bSecond == NO_MEMBER) return bResult;
    const uint32_t dPrimaries = s_dBuilt;
    for (uint32_t i = dFirstBuilt; i < dPrimaries; ++i) {
        if (bBuildMirrorCopy(s_apsBuilt[i], bRank, bSecond) != STATUS_OK) return STATUS_RETRY;
    }
    return STATUS_OK;
}

namespace {

uint8_t bMapStripedOnRank(uint8_t bRank, KERNEL_ENTRY* psHost, uint32_t dDataAddress) {
    const uint8_t bOpcode = bFoldedOpcode(psHost);
    // Only reads and writes become drive transfers: any other command (a
    // SEEK, which the dispatcher answers itself) built here would go out
    // as a write of whatever its buffer holds.
    if (bOpcode != SCSI_READ10 && bOpcode != SCSI_WRITE10) return 0;
    uint64_t L = lGetMappedAddress(psHost);
    const uint16_t B = wGetMappedBlocks(psHost);
    if (bApplyExpansionWindow(&bRank, psHost, bOpcode, &L, B) != STATUS_OK) return STATUS_RETRY;
    const uint8_t D = bGetRankDriveCount(bRank);
    const uint8_t bLevel = bGetRankRaidLevel(bRank);
    pRaidFields(psHost)->bPath = bGetCommandBank(psHost);
    ClearFlag(psHost, KE_FLAG_AHEAD_OF_REBUILD);
    if (bOpcode != SCSI_READ10 && bLevel == RAID_LEVEL_10 && bGetRankOperationState(bRank) < RANK_STATE_OPTIMAL &&
        fGetRebuildWork() == TRUE && bGetRebuildRank() == bRank) {
        const uint8_t b = bCheckRebuildWindow(bRank, 0, B, psHost);
        if (b == REBUILD_WINDOW_BUSY) return STATUS_RETRY;
        if (b == REBUILD_WINDOW_AHEAD) NoteWriteAheadOfRebuild(psHost);
    }
    const uint8_t N = bLevel == RAID_LEVEL_10 ? static_cast<uint8_t>(D >> 1) : D;
    const uint16_t S = wGetRankChunkSize(bRank);
    psHost->bRank = bRank;
    if (N == 0 || S == 0) {
        FailHostCommand(psHost, SENSE_HARDWARE_ERROR, ASC_LOGICAL_UNIT_FAILURE, 1);
        return STATUS_OK;
    }
    const uint64_t lRow = static_cast<uint64_t>(S) * N;
    Stripe s{};
    s.dBlocks = B;
    s.dOffset = static_cast<uint32_t>(L % S);
    s.dEnd = (B + s.dOffset) % S;
    s.bFirst = N <= 1 ? 0 : static_cast<uint8_t>((L % lRow) / S);
    s.dChunks = (B + s.dOffset + S - 1u) / S;
    s.lBase = (L / lRow) * S;
    s.dChunkSize = S;
    s.bMembers = N;
    s.dData = dDataAddress;
    const uint32_t dChildren = s.dChunks < N ? s.dChunks : N;

    // The reservation: every run each member's children need, two per pair
    // for a mirrored write; and the blocks must be addressable in 32 bits.
    uint32_t dRuns = 0;
    uint16_t wLongest = 1;
    for (uint32_t i = 0; i < dChildren; ++i) {
        const MemberRun r = RunOf(s, static_cast<uint8_t>((s.bFirst + i) % N));
        if (r.lStart + r.dBlocks > DRIVE_BLOCK_LIMIT) {
            FailHostCommand(psHost, SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0);
            return STATUS_OK;
        }
        dRuns += dPiecesOf(r.dChunks);
        const uint32_t dSegments = r.dChunks < CHILD_MAX_SEGMENTS ? r.dChunks : CHILD_MAX_SEGMENTS;
        if (wChildEntries(dSegments) > wLongest) wLongest = wChildEntries(dSegments);
    }
    if (bLevel == RAID_LEVEL_10 && bOpcode != SCSI_READ10) dRuns *= 2;
    if (dRuns > 0xFFFF || bCheckKernelEntryRuns(static_cast<uint16_t>(dRuns), wLongest) != STATUS_OK) {
        return STATUS_RETRY;
    }

    s_dBuilt = 0;
    for (uint32_t i = 0; i < dChildren; ++i) {
        const uint8_t m = static_cast<uint8_t>((s.bFirst + i) % N);
        const uint8_t b = bLevel == RAID_LEVEL_10
                              ? bBuildRaid10Child(psHost, bRank, m, s.bFirst, s.lBase, B, s.dEnd,
                                                  static_cast<uint16_t>(s.dOffset), N, S, dDataAddress)
                              : bBuildRaid0Child(psHost, bRank, m, s.bFirst, s.lBase, B, s.dEnd,
                                                 static_cast<uint16_t>(s.dOffset), N, S, dDataAddress);
        if (b != STATUS_OK) {
            DropBuilt();
            return STATUS_RETRY;
        }
    }
    psHost->psMother = psHost;
    psHost->wChildrenOutstanding = static_cast<uint16_t>(s_dBuilt);
    psHost->wTotalChildren = static_cast<uint16_t>(s_dBuilt);
    if (s_dBuilt == 0) {
        HostCommandChildrenDone(psHost);
        return STATUS_OK;
    }
    for (uint32_t i = 0; i < s_dBuilt; ++i) IssueChild(s_apsBuilt[i]);
    s_dBuilt = 0;
    return STATUS_OK;
}

}  // namespace

uint8_t bMapStripedCommand(uint8_t bRank, KERNEL_ENTRY* psHost, uint32_t dDataAddress) {
    const uint8_t b = bMapStripedOnRank(bRank, psHost, dDataAddress);
    if (b == STATUS_RETRY) LeaveOldLayout(psHost);
    return b;
}

uint8_t bRouteExpansionCommand(uint8_t /*bRank*/, KERNEL_ENTRY* psHost, uint32_t dDataAddress) {
    psHost->psMother = psHost;
    psHost->wChildrenOutstanding = 0;
    psHost->wTotalChildren = 0;
    if (bFoldedOpcode(psHost) == SCSI_READ10) {
        // The pages may hold another command's data: the host gets zeros.
        std::memset(pbAtAddress(dDataAddress), 0, static_cast<uint32_t>(wGetMappedBlocks(psHost)) * BLOCK_BYTES);
        psHost->bPrimaryState = HOST_STATE_DATA_AVAILABLE;
        QueueDataAvailable(psHost->bPortCode, psHost->wIndex);
    } else {
        psHost->bPrimaryState = HOST_STATE_WRITE_COMPLETE;
        QueueWriteComplete(psHost->bPortCode, psHost->wIndex);
    }
    return STATUS_OK;
}

}  // namespace fw
