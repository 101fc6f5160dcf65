// Arrays put straight into the scratch image, as the creation dialogue
// would make them, for the tests of the menus that change arrays that
// exist.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "config/array_operations.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "enclosure/drive_table.h"
#include "executive/types.h"

namespace consoletest {

// An array of the next unused drives; without initialisation it is fault
// tolerant at once.  The image counts as saved afterwards, so what the
// tests see marked edited is the menus' own doing.
inline void MakeArray(uint8_t bLevel, uint8_t bDrives, uint8_t bSubarrays = 1) {
    fw::CONFIG_RANK_RECORD r{};
    r.bRaidLevel = bLevel;
    r.bDriveCount = bDrives;
    r.bParityCount = bSubarrays;
    r.wChunkSize = 256;
    r.bCachePolicy = 0x5B;
    r.wWriteThreshold = 5;
    r.fInitialized = fw::FALSE;
    r.fCacheFlushArray = fw::FALSE;
    r.bCapacityReserve = 1;
    std::memset(r.acArrayName, ' ', sizeof r.acArrayName);
    for (uint8_t i = 0; i < bDrives; ++i) {
        fw::DRIVE_INFO* ps = nullptr;
        uint8_t bRecord = 0;
        ASSERT_EQ(fw::fFindDriveByLoopIDMapped(i, &ps, &bRecord), fw::TRUE);
        std::memcpy(r.aabMemberWwn[i], ps->abWWN, 8);
    }
    ASSERT_EQ(fw::CreateArray(&r), fw::STATUS_OK);
    fw::SetConfigModified(fw::FALSE);
}

}  // namespace consoletest
