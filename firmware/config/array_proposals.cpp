// The array creation request and the ready-made array proposals.
#include "config/array_proposals.h"

#include <cstring>

#include "config/config_state.h"
#include "config/drive_tables.h"
#include "enclosure/drive_table.h"
#include "executive/types.h"

namespace fw {

namespace {

CONFIG_RANK_RECORD s_sNewArrayRequest;
uint32_t s_dSmallestMemberCapacity = 0xFFFFFFFF;

// An array must stay below this many blocks.
constexpr uint64_t MAX_ARRAY_BLOCKS = 0xFFF7E000;
constexpr uint16_t CHUNK_DEFAULT = 256;

// Rows of (drives, data drives, chunk): one proposal per row the group of
// alike drives can fill, in the order of preference.
struct ProposalRow {
    uint8_t bDrives;
    uint8_t bDataDrives;
    uint16_t wChunk;
};
constexpr ProposalRow PARITY_ROWS[] = {
    {15, 12, 512}, {16, 14, 256}, {14, 12, 256}, {12, 10, 256}, {10, 8, 512}, {16, 15, 256},
    {14, 13, 256}, {12, 11, 256}, {10, 9, 256},  {8, 7, 512},   {6, 5, 512},  {4, 3, 512},
};
constexpr ProposalRow DUAL_PARITY_ROWS[] = {
    {16, 14, 256}, {14, 12, 256}, {12, 10, 256}, {10, 8, 256}, {8, 6, 512}, {6, 4, 512}, {4, 2, 512},
};
static_assert(sizeof PARITY_ROWS / sizeof PARITY_ROWS[0] <= MAX_ARRAY_PROPOSALS);

bool fSameKind(const DRIVE_INFO& a, const DRIVE_INFO& b) {
    return a.dCapacity == b.dCapacity && std::memcmp(a.acVendorID, b.acVendorID, sizeof a.acVendorID) == 0 &&
           std::memcmp(a.acProductID, b.acProductID, sizeof a.acProductID) == 0;
}

// The first known unused drive and the alike ones after it, in table order.
struct DriveGroup {
    uint8_t bCount = 0;
    uint32_t dCapacity = 0;   // blocks of each
    uint8_t aabWwn[MAX_RANK_MEMBERS][8];
};

void GatherAlikeDrives(DriveGroup* psGroup) {
    const DRIVE_INFO* psFirst = nullptr;
    const uint8_t bSlots = bGetSpareDriveTableCount();
    for (uint8_t s = 0; s < bSlots && psGroup->bCount < MAX_RANK_MEMBERS; s++) {
        DRIVE_INFO* psDrive = nullptr;
        uint8_t bIndex = 0;
        if (fFindDriveByLoopIDMapped(s, &psDrive, &bIndex) != TRUE) continue;
        if (psFirst == nullptr) {
            psFirst = psDrive;
            psGroup->dCapacity = psDrive->dCapacity + 1;
        } else if (!fSameKind(*psFirst, *psDrive)) {
            continue;
        }
        if (static_cast<uint64_t>(psGroup->bCount + 1) * psGroup->dCapacity >= MAX_ARRAY_BLOCKS) break;
        std::memcpy(psGroup->aabWwn[psGroup->bCount++], psDrive->abWWN, 8);
    }
}

void AddProposal(ARRAY_PROPOSAL_LIST* psList, const DriveGroup& sGroup, uint8_t bLevel, uint8_t bDrives,
                 uint8_t bSubarrays, uint16_t wChunk) {
    if (psList->bCount >= MAX_ARRAY_PROPOSALS) return;
    ARRAY_PROPOSAL& s = psList->asProposal[psList->bCount++];
    std::memset(&s, 0, sizeof s);
    s.dMemberCapacity = sGroup.dCapacity;
    s.wChunkSize = wChunk;
    s.bRaidLevel = bLevel;
    s.bDriveCount = bDrives;
    s.bSubarrayCount = bSubarrays;
    std::memcpy(s.aabMemberWwn, sGroup.aabWwn, 8u * bDrives);
}

void AddTableRows(ARRAY_PROPOSAL_LIST* psList, const DriveGroup& sGroup, uint8_t bLevel, const ProposalRow* psRows,
                  uint32_t dRows) {
    for (uint32_t r = 0; r < dRows; r++) {
        if (sGroup.bCount < psRows[r].bDrives) continue;
        AddProposal(psList, sGroup, bLevel, psRows[r].bDrives,
                    static_cast<uint8_t>(psRows[r].bDrives - psRows[r].bDataDrives), psRows[r].wChunk);
    }
}

}  // namespace

CONFIG_RANK_RECORD* pGetNewArrayRequest() { return &s_sNewArrayRequest; }
void SetSmallestMemberCapacity(uint32_t dBlocks) { s_dSmallestMemberCapacity = dBlocks; }
uint32_t dGetSmallestMemberCapacity() { return s_dSmallestMemberCapacity; }

ARRAY_PROPOSAL_LIST* pGetArrayProposalList() {
    return reinterpret_cast<ARRAY_PROPOSAL_LIST*>(pGetConfigWorkBuffer() + WORK_BUFFER_PROPOSALS);
}

void BuildArrayProposals(uint8_t bRaidLevel, ARRAY_PROPOSAL_LIST* psList) {
    std::memset(psList, 0, sizeof *psList);
    DriveGroup sGroup;
    GatherAlikeDrives(&sGroup);
    switch (bRaidLevel) {
    case RAID_LEVEL_0:
        // Striping: the whole group, then one drive fewer at a time.
        for (uint8_t n = sGroup.bCount; n >= 1; n--) AddProposal(psList, sGroup, bRaidLevel, n, 0, CHUNK_DEFAULT);
        break;
    case RAID_LEVEL_10:
        for (uint8_t n = sGroup.bCount & ~1u; n >= 2; n -= 2) {
            AddProposal(psList, sGroup, bRaidLevel, n, 0, CHUNK_DEFAULT);
        }
        break;
    case RAID_LEVEL_50:
        AddTableRows(psList, sGroup, bRaidLevel, PARITY_ROWS, sizeof PARITY_ROWS / sizeof PARITY_ROWS[0]);
        break;
    case RAID_LEVEL_6:
        AddTableRows(psList, sGroup, bRaidLevel, DUAL_PARITY_ROWS,
                     sizeof DUAL_PARITY_ROWS / sizeof DUAL_PARITY_ROWS[0]);
        break;
    default: break;
    }
}

}  // namespace fw
