// A data directory for the controller program whose drives hold one array
// with one logical drive over it, presented at LUN 0 of every host port:
// the program starts with it configured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/chassis.h"
#include "system/road_config.h"

namespace apptest {

// The array on the first slots of four drives.
inline void PlaceArray(const std::string& directory, uint64_t driveBytes, const roadtest::ArraySpec& array) {
    sim::ChassisOptions o;
    o.drives = 4;
    o.driveBytes = driveBytes;
    o.directory = directory;
    sim::Chassis chassis(o);
    const uint64_t own = 0x200000A55A000000ull | (sim::BoardConfig().wwn & 0xFFFFFFull);
    const std::vector<uint8_t> copy = roadtest::RoadConfiguration(chassis, array, own);
    for (unsigned s = 1; s <= array.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), copy);
}

inline void PlaceRaid5Array(const std::string& directory, uint64_t driveBytes) {
    PlaceArray(directory, driveBytes, {"Raid5", fw::RAID_LEVEL_5, 4, 128});
}

}  // namespace apptest
