// The array creation request the console dialogue fills, the smallest
// member capacity it tracks, and the ready-made proposals it offers: arrays
// of alike unused drives that need no further choice.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/config_image.h"

namespace fw {

// The one request record; it has the layout of a stored array record, and
// the creation reads it as one.  The dialogue's member capacity goes in
// lStartAddress (the creation computes the real start).
CONFIG_RANK_RECORD* pGetNewArrayRequest();

void SetSmallestMemberCapacity(uint32_t dBlocks);
uint32_t dGetSmallestMemberCapacity();

constexpr uint32_t MAX_ARRAY_PROPOSALS = 12;
// Where the list lives in the configuration work buffer.
constexpr uint32_t WORK_BUFFER_PROPOSALS = 19456;

#pragma pack(push, 1)
struct ARRAY_PROPOSAL {
    uint32_t dMemberCapacity;   // blocks of each member
    uint16_t wChunkSize;        // blocks
    uint8_t bRaidLevel;
    uint8_t bDriveCount;
    uint8_t bSubarrayCount;
    uint8_t abReserved[3];
    uint8_t aabMemberWwn[MAX_RANK_MEMBERS][8];
};
struct ARRAY_PROPOSAL_LIST {
    uint8_t bCount;
    uint8_t abReserved[3];
    ARRAY_PROPOSAL asProposal[MAX_ARRAY_PROPOSALS];
};
#pragma pack(pop)
static_assert(sizeof(ARRAY_PROPOSAL) == 140);
static_assert(offsetof(ARRAY_PROPOSAL, bSubarrayCount) == 8);
static_assert(offsetof(ARRAY_PROPOSAL, aabMemberWwn) == 12);
static_assert(offsetof(ARRAY_PROPOSAL_LIST, asProposal) == 4);

// The list in the configuration work buffer.
ARRAY_PROPOSAL_LIST* pGetArrayProposalList();
// Fills the list for the RAID level from the unused drives: the first known
// unused drive and the ones after it of the same make, model and capacity.
void BuildArrayProposals(uint8_t bRaidLevel, ARRAY_PROPOSAL_LIST* psList);

}  // namespace fw
