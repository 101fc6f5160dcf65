// The configuration of the road's controllers as their drives hold it: one
// array on the first slots and one logical drive over all of it, presented
// on every host port at LUN 0.  Shared by the system tests and the bench.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "config/array_operations.h"
#include "config/config_image.h"
#include "config/rank_table.h"
#include "config_copy.h"
#include "sas/sas_device_list.h"
#include "sim/chassis.h"

namespace roadtest {

constexpr uint32_t kBlock = 512;

struct ArraySpec {
    const char* pszName;
    uint8_t bLevel;        // as the configuration stores it (0, 0x10, 5, 6, 0x50)
    uint8_t bDrives;
    uint16_t wChunk;
    uint8_t bParity = 0;   // sub-ranks of a RAID 50
    bool fWriteBack = true;
    uint64_t lBlocks = 1u << 20;   // data blocks of the array and of its one logical drive
    uint16_t wLdBlock = kBlock;    // the logical drive's block size
    // As the console makes it on a single controller: its cache policy and
    // write-back threshold (initialised already, as once its background
    // initialisation is done); fWriteBack is then the console's.
    bool fConsoleDefaults = false;
};

// The WWN the drive side gives the drive in a slot.
// A SATA drive is known by the last eight characters of its serial.
inline std::array<uint8_t, 8> DriveWwn(const sim::Chassis& c, unsigned slot) {
    const sim::DriveConfig& d = *c.ConfigAt(slot);
    std::array<uint8_t, 8> ab{};
    if (d.sata) {
        ab.fill(' ');
        const size_t n = d.serial.size() < 8 ? d.serial.size() : 8;
        std::memcpy(ab.data(), d.serial.data() + d.serial.size() - n, n);
        return ab;
    }
    fw::MakeSASDriveWwn(static_cast<uint32_t>(d.sasAddress), static_cast<uint32_t>(d.sasAddress >> 32), ab.data());
    return ab;
}

// Data blocks of one stripe row.
inline uint64_t RowDataBlocks(const ArraySpec& a) {
    switch (a.bLevel) {
    case fw::RAID_LEVEL_10: return uint64_t(a.bDrives / 2) * a.wChunk;
    case fw::RAID_LEVEL_5: return uint64_t(a.bDrives - 1) * a.wChunk;
    case fw::RAID_LEVEL_6: return uint64_t(a.bDrives - 2) * a.wChunk;
    case fw::RAID_LEVEL_50: return uint64_t(a.bDrives - a.bParity) * a.wChunk;
    default: return uint64_t(a.bDrives) * a.wChunk;
    }
}

// The configuration every member holds: array 0 on slots 1..D, logical
// drive 0 over all of it, presented on every host port at LUN 0.
inline std::vector<uint8_t> RoadConfiguration(const sim::Chassis& chassis, const ArraySpec& a, uint64_t lOwnWwn) {
    std::vector<uint8_t> ab = copytest::MakeCopy({1, lOwnWwn, 1, 14, "ROAD"});
    fw::CONFIG_IMAGE* ps = copytest::Image(ab);
    fw::CONFIG_RANK_RECORD& r = ps->asRank[0];
    r.bRaidLevel = a.bLevel;
    r.bDriveCount = a.bDrives;
    r.wChunkSize = a.wChunk;
    r.lStartAddress = 0;
    r.lLastOffset = a.lBlocks - 1;
    r.bParityCount = a.bParity;
    r.bCachePolicy = a.fWriteBack ? fw::POLICY_WRITE_BACK : 0;
    if (a.fConsoleDefaults) {
        ps->sHeader.fSingleControllerMode = fw::TRUE;
        r.bCachePolicy = fw::bNewArrayCachePolicy(fw::NEW_ARRAY_CACHE_POLICY, a.bLevel, true, false);
        r.wWriteThreshold = fw::NEW_ARRAY_WRITE_THRESHOLD;
    }
    r.fInitialized = fw::TRUE;
    for (uint8_t m = 0; m < a.bDrives; ++m) {
        const auto w = DriveWwn(chassis, m + 1u);
        std::memcpy(r.aabMemberWwn[m], w.data(), 8);
    }
    ps->sHeader.wLdCount = 1;
    fw::CONFIG_LD_RECORD& l = ps->asLd[0];
    l.wLdNumber = 0;
    l.wDefaultLun = 0;
    l.wLdId = 0x8000;
    l.wBlockSize = a.wLdBlock;
    l.bAvailability = 0x0F;
    l.bSegmentCount = 1;
    l.asSegment[0].lStart = 0;
    l.asSegment[0].lLastOffset = a.lBlocks - 1;
    l.asSegment[0].lEnd = a.lBlocks - 1;
    copytest::Seal(ab);
    return ab;
}

}  // namespace roadtest
