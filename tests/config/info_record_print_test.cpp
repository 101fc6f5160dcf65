// The controller information record and the printouts of array and logical
// drive records for one sample configuration.
#include "config/config_state.h"
#include "config/host_port_tables.h"
#include "config/ld_table.h"
#include "config/nvram_records.h"
#include "harness/config_test.h"
#include "executive/system_state.h"

namespace cfgtest {

using namespace harness;

namespace {

class InfoRecordTest : public ConfigTest {};

TEST_F(InfoRecordTest, RecordOfASampleConfiguration) {
    std::memcpy(s_sLive.sHeader.acConfigName, "Sample", 6);
    s_sLive.sHeader.dGeneration = 0x01020304;
    fw::SetHostInterfaceType(6);
    fw::SetBatteryPresent(fw::TRUE);
    fw::SetBatteryChargeComplete(fw::FALSE);
    fw::SetBatteryCapacity(50);
    ASSERT_EQ(fw::SaveNvramStatistics(), fw::STATUS_OK);   // one operating second counted
    fw::CONTROLLER_INFO_RECORD sRecord;
    fw::BuildControllerInfoRecord(&sRecord);
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(&sRecord);
    EXPECT_EQ(std::memcmp(pb, "Sample", 6), 0);
    EXPECT_EQ(std::memcmp(pb + 108, "0021", 4), 0);
    EXPECT_NE(fw::dGetOperatingSeconds(), 0u);
    EXPECT_EQ(pb[92] | (pb[93] << 8) | (pb[94] << 16) | (pb[95] << 24), fw::dGetOperatingSeconds());
    EXPECT_EQ(pb[80], 0x04);
    EXPECT_EQ(pb[83], 0x01);
    uint8_t abWwn[8];
    fw::pGetControllerWWN(abWwn);
    EXPECT_EQ(std::memcmp(pb + 72, abWwn, 8), 0);
    const uint8_t abPaths[4] = {0xF0, 0xFF, 0xF0, 0xFF};
    EXPECT_EQ(std::memcmp(pb + 148, abPaths, 4), 0);
    struct Word {
        uint32_t dOffset;
        uint16_t wValue;
    };
    const Word asWords[] = {{154, 12000}, {156, 5000}, {158, 5000}, {160, 3300}, {162, 3300}, {164, 1800},
                            {166, 1800}, {170, 1500}, {172, 1350}, {174, 1200}, {176, 1800}, {186, 1200},
                            {218, 0x7FB6}};
    for (const Word& w : asWords) EXPECT_EQ(pb[w.dOffset] | (pb[w.dOffset + 1] << 8), w.wValue) << w.dOffset;
    struct Byte {
        uint32_t dOffset;
        uint8_t bValue;
    };
    const Byte asBytes[] = {{180, 0xF1}, {181, 0xF0}, {182, 0xD1}, {188, 0xF0}, {189, 0xF1}, {191, 1},
                            {212, 50},   {213, 26},   {214, 3},    {215, 1},    {216, 38},   {217, 0},
                            {144, 0xF0}, {145, 0xFF}};
    for (const Byte& b : asBytes) EXPECT_EQ(pb[b.dOffset], b.bValue) << b.dOffset;
    EXPECT_EQ(pb[184] | (pb[185] << 8), fw::wGetBankMegabytes(0));
}

TEST_F(InfoRecordTest, BatteryAndCacheProtectionBytes) {
    fw::SetBatteryPresent(fw::TRUE);
    fw::SetBatteryChargeComplete(fw::TRUE);
    fw::SetBatteryCapacity(40);
    fw::CONTROLLER_INFO_RECORD s;
    fw::BuildControllerInfoRecord(&s);
    EXPECT_EQ(s.bBatteryCapacity, 100);
    EXPECT_EQ(s.bHoldUpEstimate, 53);
    fw::SetBatteryPresent(fw::FALSE);
    fw::BuildControllerInfoRecord(&s);
    EXPECT_EQ(s.bBatteryCapacity, 0);
    EXPECT_EQ(s.bHoldUpEstimate, 0);
    EXPECT_EQ(s.bCacheProtection, 0xF0);
}

class PrintTest : public ConfigTest {};

TEST_F(PrintTest, RankAndLdRecords) {
    AddRank(fw::RAID_LEVEL_0, 2, 256, 0x200000000ull);
    const uint8_t r = AddRank(fw::RAID_LEVEL_5, 3, 128, 1000, 1);
    s_sLive.asRank[r].dStripeSize = 2 * 128 * 512;
    AddLd({{0x200000000ull, 0x1000}});
    board.ClearConsoleText();
    fw::PrintRankRecord(&s_sLive, 0, fw::FALSE);
    fw::PrintRankRecord(&s_sLive, r, fw::TRUE);
    fw::PrintLdRecord(&s_sLive, 0);
    // The console turns each line end into CR LF.
    EXPECT_EQ(board.ConsoleText(),
              "Rank:00 RAID00 Drives:02 \r\n"
              "Chunk Size:0100 Stripe Size:00000000\r\n"
              "Start Addr: 0000000000 Cap: 01ffffffff\r\n"
              "Rank:01 RAID05 Drives:03 Subranks:1\r\n"
              "Chunk Size:0080 Stripe Size:00020000\r\n"
              "Start Addr: 0200000000 Cap: 00000003e7\r\n"
              "Drive: 00 WWN: 2000001122330100\r\n"
              "Drive: 01 WWN: 2000001122330101\r\n"
              "Drive: 02 WWN: 2000001122330102\r\n"
              "LUN:00 Start: 0200000000 End: 0200000fff Cap:00000fff\r\n\r\n");
}

}  // namespace
}  // namespace cfgtest

namespace cfgtest {

using namespace harness;

namespace {

class NvramAccessTest : public ConfigTest {};

TEST_F(NvramAccessTest, SelectorsNameTheCurrentCopy) {
    const uint8_t* pbBase = fw::pNvramBase();
    struct Case {
        uint8_t bSelector;
        uint32_t dRebuild;
        uint32_t dExpansion;
    };
    const Case asCases[] = {{fw::TRUE, 0x302, 0x38A}, {fw::FALSE, 0x342, 0x396}, {0, 0x342, 0x396}};
    for (const Case& c : asCases) {
        fw::SetNvramRebuildSelector(c.bSelector);
        fw::SetNvramExpansionSelector(c.bSelector);
        EXPECT_EQ(fw::pGetNvramRebuildRecord() - pbBase, c.dRebuild) << int(c.bSelector);
        EXPECT_EQ(fw::pGetNvramExpansionRecord() - pbBase, c.dExpansion) << int(c.bSelector);
        EXPECT_EQ(pbBase[0x300], c.bSelector);
        EXPECT_EQ(pbBase[0x382], c.bSelector);
    }
    EXPECT_EQ(fw::pGetNvramJournalEntry(2, fw::TRUE) - pbBase, 0x18410 + 48);
    EXPECT_EQ(fw::pGetNvramJournalEntry(2, fw::FALSE) - pbBase, 0x30410 + 48);
    fw::SetNvramJournalWord(0x11223344);
    EXPECT_EQ(pbBase[0x3A2], 0x44);
    EXPECT_EQ(fw::dGetNvramJournalWord(), 0x11223344u);
    fw::MarkJournalFormatted();
    EXPECT_EQ(fw::fIsJournalFormatted(), fw::TRUE);
    EXPECT_EQ(std::memcmp(pbBase + 8, "0001", 4), 0);
    fw::SetNvramSasByte2(7);
    EXPECT_EQ(pbBase[0xE4], 7);
}

}  // namespace
}  // namespace cfgtest

namespace cfgtest {

using namespace harness;

namespace {

class LdIdentifierTest : public ConfigTest {};

TEST_F(LdIdentifierTest, NaaSixFromTheControllerWwnAndASerialPerDrive) {
    uint8_t abWwn[8];
    fw::pGetControllerWWN(abWwn);
    uint8_t abFirst[16];
    uint8_t abSecond[16];
    fw::BuildLdIdentifier(abFirst);
    fw::BuildLdIdentifier(abSecond);
    // 6, the company identifier of the WWN (its bytes 2..4), 12 zero bits,
    // the WWN's low three bytes; four zero bytes; a big-endian serial.
    const uint8_t abHead[8] = {static_cast<uint8_t>(0x60 | (abWwn[2] >> 4)),
                               static_cast<uint8_t>((abWwn[2] << 4) | (abWwn[3] >> 4)),
                               static_cast<uint8_t>((abWwn[3] << 4) | (abWwn[4] >> 4)),
                               static_cast<uint8_t>(abWwn[4] << 4),
                               0,
                               abWwn[5],
                               abWwn[6],
                               abWwn[7]};
    EXPECT_EQ(std::memcmp(abFirst, abHead, 8), 0);
    for (int i = 8; i < 12; i++) EXPECT_EQ(abFirst[i], 0) << i;
    const uint32_t dFirst = (abFirst[12] << 24) | (abFirst[13] << 16) | (abFirst[14] << 8) | abFirst[15];
    const uint32_t dSecond = (abSecond[12] << 24) | (abSecond[13] << 16) | (abSecond[14] << 8) | abSecond[15];
    EXPECT_EQ(dSecond, dFirst + 1);
    EXPECT_EQ(std::memcmp(abFirst, abSecond, 12), 0);
}

}  // namespace
}  // namespace cfgtest
