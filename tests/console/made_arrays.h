// Arrays put straight into the scratch image, as the creation dialogue
// would make them, for the tests of the menus that change arrays that
// exist; and the Array Configuration Menu and drive offers those tests and
// the creation dialogue's meet.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/array_operations.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "console_board.h"
#include "enclosure/drive_table.h"
#include "executive/types.h"

namespace consoletest {

inline const std::string kArrayMenu =
    "\n\nArray Configuration Menu (1-1) (C0)\n\n"
    "1.  View Array\n"
    "2.  Create Array\n"
    "3.  Delete Array\n"
    "4.  Expand Array\n"
    "5.  Array Cache Configuration\n"
    "6.  View Unused Drives\n"
    "7.  Advanced Array Configuration\n"
    "\n0.  Exit\n\n" +
    kPrompt;

// With two arrays or more the first option speaks of them in the plural.
inline const std::string kArraysMenu = "\n\nArray Configuration Menu (1-1) (C0)\n\n1.  View Arrays\n" +
                                       kArrayMenu.substr(kArrayMenu.find("2.  Create"));

inline const std::string kContinue = "Continue adding disk drives? (Y or N, <CR> = Y): ";

inline bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Answers the drive offers: each character of sAnswers answers one
// "Add this Disk Drive?" ("y" takes the drive, "n" passes it), and after
// each the continue question gets an empty line, except after the last,
// which gets "n".
inline void AddDrives(ConsoleBoard& c, const std::string& sAnswers) {
    for (size_t i = 0; i < sAnswers.size(); ++i) {
        const std::string s = c.Enter(sAnswers.substr(i, 1) == "y" ? "" : "n");
        if (!EndsWith(s, kContinue)) return;
        c.Enter(i + 1 == sAnswers.size() ? "n" : "");
    }
}

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
