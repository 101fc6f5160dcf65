// The array most two-controller data tests run on: RAID 5 over the first
// four drives of the shared chassis, write-back, its cache mirrored to the
// partner, written to the drives as a configuration both controllers load.
#pragma once

#include <vector>

#include "../system/road_config.h"
#include "cache/nvram_journal.h"

namespace fw_b {
uint16_t wGetDirtyExtentCount();
uint16_t wGetJournalInUseCount();
}  // namespace fw_b

namespace dual {

// Both controllers wrote every cached write out and hold no journal slot.
inline bool CachesWrittenOut() {
    return fw::wGetDirtyExtentCount() == 0 && fw_b::wGetDirtyExtentCount() == 0 && fw::wGetJournalInUseCount() == 0 &&
           fw_b::wGetJournalInUseCount() == 0;
}

// Any array both controllers load from the drives, with the cache policy
// given.
inline void PlaceSharedArray(sim::Chassis& chassis, const roadtest::ArraySpec& spec, uint8_t bCachePolicy) {
    std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, spec, 0x200000A55AA00001ull);
    copytest::Image(ab)->asRank[0].bCachePolicy = bCachePolicy;
    copytest::Seal(ab);
    for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
}

inline void PlaceMirroredRaid5(sim::Chassis& chassis, const char* pszName, uint16_t wChunk) {
    PlaceSharedArray(chassis, {pszName, fw::RAID_LEVEL_5, 4, wChunk}, fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR);
}

}  // namespace dual
