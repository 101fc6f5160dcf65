// Creating, deleting and expanding arrays: edits of the scratch image that
// the next commit writes to the drives and applies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/config_image.h"
#include "config/rank_table.h"

namespace fw {

// What the console asks of a new array: its cache policy bits (write-back,
// mirrored, battery-backed, fault tolerant, no write-through when the cache
// is full) and its write-back threshold code (16 MB).
constexpr uint8_t NEW_ARRAY_CACHE_POLICY = 0x5B;
constexpr uint16_t NEW_ARRAY_WRITE_THRESHOLD = 5;

// The cache policy a new array is stored with: no flush-array bit, no
// fault tolerance on RAID 0, mirrored when the configuration is a single
// controller's (write-back needs no partner then), no battery condition on
// line power.
constexpr uint8_t bNewArrayCachePolicy(uint8_t bRequested, uint8_t bRaidLevel, bool fSingleController,
                                       bool fWithoutBattery) {
    uint8_t bPolicy = bRequested & static_cast<uint8_t>(~POLICY_FLUSH_ARRAY);
    if (bRaidLevel == RAID_LEVEL_0) bPolicy &= static_cast<uint8_t>(~POLICY_FAULT_TOLERANT);
    if (fSingleController) bPolicy |= POLICY_MIRROR;
    if (fWithoutBattery) bPolicy &= static_cast<uint8_t>(~POLICY_BATTERY);
    return bPolicy;
}

// Blocks at the end of every member drive outside the array's capacity:
// the configuration copy 32768 blocks before the last, and room around it.
constexpr uint32_t MEMBER_END_RESERVE = 49151;
// The smallest member size an array is made with.
constexpr uint32_t MIN_MEMBER_BLOCKS = 2048000;
// The cache flush area taken from each member of the array that holds it.
constexpr uint32_t CACHE_FLUSH_AREA_BLOCKS = 2097152;

// The expansion request.
#pragma pack(push, 1)
struct EXPANSION_REQUEST {
    uint8_t bArray;
    uint8_t bAddDrives;
    uint8_t fAddSubRanks;    // RAID 5 and 50 only
    uint8_t bAddSubRanks;
    uint8_t abReserved[12];
    uint8_t aabWwn[MAX_RANK_MEMBERS][8];
};
#pragma pack(pop)
static_assert(offsetof(EXPANSION_REQUEST, aabWwn) == 16);

// The request has the layout of a stored array record; 255 created (as
// record wRankCount), 0 refused with the image unchanged.
uint8_t CreateArray(const CONFIG_RANK_RECORD* psRequest);
// The capacity, in capacity units, of the array CreateArray makes of this
// geometry without the cache flush area: what a proposal offers.
uint32_t dNewArrayCapacityGb(uint8_t bLevel, uint8_t bDrives, uint8_t bSubRanks, uint32_t dSmallest, uint8_t bReserve);
void DeleteArray(uint8_t bArray);
// TRUE when a segment of the logical drive lies on the array.
uint8_t fIsLunOnRank(const CONFIG_IMAGE* psImage, uint8_t bArray, uint16_t wLd);
uint8_t ExpandArray(const EXPANSION_REQUEST* psRequest);
// The request the console's expansion dialogue fills.
EXPANSION_REQUEST* pGetExpandArrayRequest();

}  // namespace fw
