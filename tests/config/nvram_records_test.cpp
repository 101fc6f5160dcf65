// NVRAM identity and statistics records, tables, bitmaps, duplication
// entries and the test pattern.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "config/nvram_tables.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/rtc.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "sim/board.h"
#include "harness/calendar.h"

namespace {

constexpr fw::DATE_TIME NOW = harness::kTestNow;

class NvramRecordsTest : public ::testing::Test {
protected:
    void SetUp() override {
        harness::PrepareInterruptsAndCalendar(NOW);
        fw::ValidateNvram();
    }
    uint8_t* Nv() { return board.nvram().Data(); }
    sim::Board board;
};

TEST_F(NvramRecordsTest, IdentitySettersStoreOnlyPrintableText) {
    struct Case {
        const char* pszName;
        uint8_t (*pfnSet)(const uint8_t*);
        uint32_t dOffset;
        uint32_t dLength;
        std::string sValue;
        uint8_t bResult;
    };
    const Case cases[] = {
        {"vendor", fw::SetNvramVendorId, 0x7B, 8, "ACME    ", 0xFF},
        {"vendor with tab", fw::SetNvramVendorId, 0x7B, 8, "AC\tME   ", 0},
        {"product", fw::SetNvramProductId, 0x83, 16, "Box of drives   ", 0xFF},
        {"product with tab", fw::SetNvramProductId, 0x83, 16, "Box\tof drives   ", 0},
        {"product with NUL", fw::SetNvramProductId, 0x83, 16, std::string("Box\0of drives   ", 16), 0},
        {"vendor text", fw::SetNvramVendorText, 0xA8, 48, std::string(48, '~'), 0xFF},
        {"vendor text 0x7F", fw::SetNvramVendorText, 0xA8, 48, std::string(47, 'a') + '\x7F', 0},
        {"short name with NUL", fw::SetNvramShortName, 0x93, 16, std::string("BOX\0\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0xFF},
        {"short name with LF", fw::SetNvramShortName, 0x93, 16, std::string("BOX\n\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0},
    };
    for (const Case& c : cases) {
        const std::string sBefore(reinterpret_cast<char*>(Nv() + c.dOffset), c.dLength);
        EXPECT_EQ(c.pfnSet(reinterpret_cast<const uint8_t*>(c.sValue.data())), c.bResult) << c.pszName;
        const std::string sAfter(reinterpret_cast<char*>(Nv() + c.dOffset), c.dLength);
        EXPECT_EQ(sAfter, c.bResult == 0xFF ? c.sValue : sBefore) << c.pszName;
    }
    uint8_t ab[16];
    EXPECT_EQ(fw::GetNvramShortName(ab), 4);   // "BOX" and its NUL
}

TEST_F(NvramRecordsTest, SmallRecordsAndTheirRanges) {
    Nv()[0x20] = 0xFF;
    Nv()[0x21] = 0x00;
    fw::IncrementStartCount();
    EXPECT_EQ(fw::dGetNvramBootCount(), 0x0100u);

    fw::SetNvramExpanderPhyConfig(1, 11, 0xA1B2C3D4);
    EXPECT_EQ(fw::dGetNvramExpanderPhyConfig(1, 11), 0xA1B2C3D4u);
    EXPECT_EQ(Nv()[0x100 + 23 * 4], 0xD4);
    const uint64_t lWrites = board.nvram().WriteCount();
    fw::SetNvramExpanderPhyConfig(1, 12, 5);
    fw::SetNvramExpanderPhyConfig(2, 0, 5);
    EXPECT_EQ(board.nvram().WriteCount(), lWrites);
    EXPECT_EQ(fw::dGetNvramExpanderPhyConfig(1, 12), 0u);

    fw::SetNvramDriveWord(125, 0x11223344);
    EXPECT_EQ(fw::dGetNvramDriveWord(125), 0x11223344u);
    fw::SetNvramDriveWord(126, 7);
    EXPECT_EQ(board.nvram().WriteCount(), lWrites + 4);
    EXPECT_EQ(fw::dGetNvramDriveWord(126), 0u);

    const uint8_t abBad[8] = {0x21, 0, 0x00, 0x5A, 0xA5, 9, 9, 9};
    const uint8_t abGood[8] = {0x20, 0, 0x00, 0x5A, 0xA5, 9, 9, 9};
    fw::SetNvramAlternateWwn(abBad);
    EXPECT_NE(Nv()[0xD9 + 5], 9);
    fw::SetNvramAlternateWwn(abGood);
    EXPECT_EQ(std::memcmp(Nv() + 0xD9, abGood, 8), 0);

    EXPECT_EQ(fw::bGetNvramPortAddress(1), 0x85);
    EXPECT_EQ(fw::bGetNvramPortAddress(2), 0);
}

TEST_F(NvramRecordsTest, StatisticsAlternateCopiesAndSurviveRestart) {
    fw::CountNvramReads(8);
    fw::CountNvramWrites(16);
    fw::CountNvramWrites(16);
    ASSERT_EQ(fw::SaveNvramStatistics(), 0xFF);
    EXPECT_EQ(Nv()[0x7A], fw::FALSE);          // first save went to B, next goes to A
    EXPECT_EQ(Nv()[0x52], 8);                  // read blocks, copy B
    EXPECT_EQ(Nv()[0x62], 2);                  // write commands, copy B
    fw::CountNvramReads(2);
    harness::SetCalendar({2026, 12, 7, 2, 10, 20, 31});
    ASSERT_EQ(fw::SaveNvramStatistics(), 0xFF);
    EXPECT_EQ(Nv()[0x7A], fw::TRUE);
    EXPECT_EQ(Nv()[0x4A], 10);                 // read blocks, copy A
    fw::DATE_TIME sStamp;
    fw::GetNvramStatisticsStamp(&sStamp);
    EXPECT_EQ(sStamp.bSecond, 31);             // the copy written last

    fw::LoadNvramStatistics();                 // as a restart does
    EXPECT_EQ(fw::lGetNvramReadBlocks(), 10u);
    EXPECT_EQ(fw::lGetNvramWriteBlocks(), 32u);
    EXPECT_EQ(fw::lGetNvramReadCount(), 2u);
}

TEST_F(NvramRecordsTest, OperatingSecondsCountOncePerSecond) {
    const uint32_t dStart = fw::dGetOperatingSeconds();
    const uint8_t abSeconds[] = {40, 40, 41, 41, 41, 42};
    for (uint8_t b : abSeconds) {
        harness::SetCalendar({2026, 12, 7, 2, 10, 20, b});
        fw::SaveNvramStatistics();
    }
    EXPECT_EQ(fw::dGetOperatingSeconds(), dStart + 3);
    harness::SetCalendar({0, 0, 0, 0, 0, 0, 0});
    const uint64_t lWrites = board.nvram().WriteCount();
    EXPECT_NE(fw::SaveNvramStatistics(), 0xFF);
    EXPECT_EQ(board.nvram().WriteCount(), lWrites);
}

TEST_F(NvramRecordsTest, ClockAndPatternCheck) {
    struct Case {
        const char* pszName;
        bool fClockValid;
        uint8_t abPattern[4];   // first byte of each 8-byte group, whole group set
        uint8_t bResult;
    };
    const Case cases[] = {
        {"clock valid", true, {0, 0, 0, 0}, 0xFF},
        {"pattern intact", false, {0xFF, 0x00, 0x55, 0xAA}, 0xFF},
        {"only first group", false, {0xFF, 0x00, 0x00, 0x00}, 0xFF},
        {"only last group", false, {0x12, 0x12, 0x12, 0xAA}, 0xFF},
        {"only zero group", false, {0x12, 0x00, 0x12, 0x12}, 0xFF},
        {"all zero: battery lost", false, {0x00, 0x00, 0x00, 0x00}, 0},
        {"garbage", false, {0x12, 0x34, 0x56, 0x78}, 0},
    };
    for (const Case& c : cases) {
        for (uint32_t g = 0; g < 4; ++g) std::memset(Nv() + 0x7FF00 + 8 * g, c.abPattern[g], 8);
        harness::SetCalendar(c.fClockValid ? NOW : fw::DATE_TIME{0, 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(fw::fCheckNvramClockAndPattern(), c.bResult) << c.pszName;
    }
}

TEST_F(NvramRecordsTest, SnapshotBitmapsRememberAnyBitSet) {
    fw::SetNvramBitmapBit(0, fw::TRUE, 511);
    fw::SetNvramBitmapBit(0, fw::TRUE, 9);
    EXPECT_EQ(Nv()[0x58BD8 + 63], 0x80);
    EXPECT_EQ(Nv()[0x58BD8 + 1], 0x02);
    EXPECT_EQ(fw::fAnySnapshotBitmapSet(), fw::TRUE);
    fw::SetNvramBitmapBit(0, fw::FALSE, 511);
    EXPECT_EQ(fw::fAnySnapshotBitmapSet(), fw::TRUE);
    fw::SetNvramBitmapBit(0, fw::FALSE, 9);
    EXPECT_EQ(fw::fAnySnapshotBitmapSet(), fw::FALSE);
    fw::SetNvramBitmapBit(1, fw::TRUE, 0);
    EXPECT_EQ(fw::fGetNvramBitmapBit(1, 0), fw::TRUE);
    EXPECT_EQ(fw::fAnySnapshotBitmapSet(), fw::TRUE);
    fw::ClearNvramBitmap(1);
    EXPECT_EQ(fw::fAnySnapshotBitmapSet(), fw::FALSE);
    fw::SetNvramBitmapBit(1, fw::TRUE, 512);   // beyond the map
    EXPECT_EQ(fw::fAnySnapshotBitmapSet(), fw::FALSE);

    fw::SetSnapshotLocationB(0x01020304, 0x0506);
    EXPECT_EQ(std::memcmp(Nv() + 0x58BD2, "\x01\x02\x03\x04\x05\x06", 6), 0);
    uint32_t d = 0;
    uint16_t w = 0;
    EXPECT_EQ(fw::GetSnapshotLocationB(&d, &w), 0xFF);
    EXPECT_EQ(d, 0x01020304u);
    EXPECT_EQ(w, 0x0506);
}

TEST_F(NvramRecordsTest, DuplicationEntriesAndCheckpoints) {
    fw::WriteNvramLdDupEntry(2, 0x0102, 0x0304, 10, 11, 1, 2);
    const uint8_t* pb = Nv() + 0x58C5A + 2 * 38;
    EXPECT_EQ(pb[0], fw::TRUE);
    EXPECT_EQ(pb[6], 0x01);
    EXPECT_EQ(pb[7], 0x02);
    EXPECT_EQ(pb[12], fw::FALSE);
    EXPECT_EQ(Nv()[0x58C58], fw::TRUE);

    fw::CheckpointNvramLdDupEntry(2, 100, 0);
    fw::CheckpointNvramLdDupEntry(2, 200, 0);
    EXPECT_EQ(fw::lGetNvramDupProgress(2), 200u);
    EXPECT_EQ(pb[13 + 7], 200);   // copy A, big-endian
    EXPECT_EQ(pb[22 + 7], 100);   // copy B holds the previous one
    // A busy copy does not count, whichever it is.
    fw::NvramWrite8(0x58C5A + 2 * 38 + 12, fw::TRUE);
    EXPECT_EQ(fw::lGetNvramDupProgress(2), 100u);
    fw::NvramWrite8(0x58C5A + 2 * 38 + 12, fw::FALSE);
    fw::CheckpointNvramLdDupEntry(2, 5, 1);
    EXPECT_EQ(fw::lGetNvramDupProgress(2), 0x100000005ull);

    fw::ClearAllNVRAMLDDuplicationProcessEntries();
    EXPECT_EQ(pb[0], fw::FALSE);
    EXPECT_EQ(pb[6], 0xFF);
    EXPECT_EQ(pb[10], 0xFF);
    EXPECT_EQ(pb[12], fw::TRUE);
    EXPECT_EQ(Nv()[0x58C59], fw::TRUE);
}

TEST_F(NvramRecordsTest, DoorbellInformationPrintsEightWordsALine) {
    fw::InitConsoleUart(115200);
    for (uint32_t i = 0; i < 64; ++i) fw::NvramWriteLE32(0x58AC8 + 4 * i, 0x1000 + i);
    board.ClearConsoleText();
    fw::ShowDoorbellErrorInfo();
    std::string sExpected = "\r\nLast Doorbell Error Info\r\n";
    char ac[16];
    for (uint32_t i = 0; i < 64; ++i) {
        if (i % 8 == 0) {
            std::snprintf(ac, sizeof(ac), "\r\n%08x:", 0x21FFFF00 + 4 * i);
            sExpected += ac;
        }
        std::snprintf(ac, sizeof(ac), " %08x", 0x1000 + i);
        sExpected += ac;
    }
    EXPECT_EQ(board.ConsoleText(), sExpected + "\r\n\r\n");
}

}  // namespace
