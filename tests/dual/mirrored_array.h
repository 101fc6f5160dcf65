// The array most two-controller data tests run on: RAID 5 over the first
// four drives of the shared chassis, write-back, its cache mirrored to the
// partner, written to the drives as a configuration both controllers load.
#pragma once

#include <vector>

#include "../system/road_config.h"

namespace dual {

inline void PlaceMirroredRaid5(sim::Chassis& chassis, const char* pszName, uint16_t wChunk) {
    const roadtest::ArraySpec spec{pszName, fw::RAID_LEVEL_5, 4, wChunk};
    std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, spec, 0x200000A55AA00001ull);
    copytest::Image(ab)->asRank[0].bCachePolicy = fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR;
    copytest::Seal(ab);
    for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
}

}  // namespace dual
