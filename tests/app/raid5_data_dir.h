// A data directory for the controller program whose four drives hold a
// RAID 5 array with one logical drive over it, presented at LUN 0 of every
// host port: the program starts with it configured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/chassis.h"
#include "system/road_config.h"

namespace apptest {

inline void PlaceRaid5Array(const std::string& directory, uint64_t driveBytes) {
    sim::ChassisOptions o;
    o.drives = 4;
    o.driveBytes = driveBytes;
    o.directory = directory;
    sim::Chassis chassis(o);
    const uint64_t own = 0x200000A55A000000ull | (sim::BoardConfig().wwn & 0xFFFFFFull);
    const std::vector<uint8_t> copy = roadtest::RoadConfiguration(chassis, {"Raid5", fw::RAID_LEVEL_5, 4, 128}, own);
    for (unsigned s = 1; s <= 4; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), copy);
}

}  // namespace apptest
