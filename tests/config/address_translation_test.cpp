// The segment map and the translation of internal addresses back to
// logical drive blocks, with the address look-ups in an image.
#include "config/address_translation.h"
#include "config/ld_table.h"
#include "config/spares_wwn.h"
#include "harness/config_test.h"

namespace cfgtest {

using namespace harness;

namespace {

class AddressTranslationTest : public ConfigTest {
protected:
    void Apply() {
        PresentAllExcept();
        fw::ApplyStoredSettings(fw::FALSE, fw::TRUE);
    }
};

TEST_F(AddressTranslationTest, RoundTripsOverEverySegmentBoundary) {
    AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);   // 0..9999
    AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);   // 10000..19999
    const std::vector<Segment> aLd0 = {{0, 1000}, {5000, 500}, {12000, 3000}};
    const std::vector<Segment> aLd1 = {{1000, 4000}, {10000, 2000}};
    AddLd(aLd0);
    AddLd(aLd1);
    Apply();
    for (uint16_t l = 0; l < 2; l++) {
        const std::vector<Segment>& a = l == 0 ? aLd0 : aLd1;
        uint64_t lBefore = 0;
        for (const Segment& s : a) {
            for (uint64_t lOffset : {uint64_t(0), uint64_t(1), s.lBlocks - 2, s.lBlocks - 1}) {
                const uint64_t lAddress = s.lStart + lOffset;
                EXPECT_EQ(fw::lCalculateLUNAddressFromInternalAddress(lAddress), lBefore + lOffset) << l << " " << lAddress;
                EXPECT_EQ(fw::wFindSegmentForAddress(lAddress), l) << lAddress;
                uint16_t wLd = 0;
                uint8_t bSegment = 0;
                EXPECT_EQ(fw::fFindLdSegmentByAddress(&s_sLive, lAddress, &wLd, &bSegment), fw::TRUE);
                EXPECT_EQ(wLd, l);
            }
            lBefore += s.lBlocks;
        }
    }
}

TEST_F(AddressTranslationTest, FreeSpaceHasNoLogicalDrive) {
    AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);
    AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);
    AddLd({{0, 1000}, {5000, 500}});
    Apply();
    const fw::SEGMENT_MAP* psMap = fw::pGetSegmentMap();
    // Array 0: used, free, used, free; array 1: one free extent.
    ASSERT_EQ(psMap->dEntryCount, 5u);
    EXPECT_EQ(psMap->wFirstFreeEntry, 1);
    EXPECT_EQ(psMap->asEntry[1].lStart, 1000u);
    EXPECT_EQ(psMap->asEntry[1].lEnd, 4999u);
    EXPECT_EQ(psMap->asEntry[3].lStart, 5500u);
    EXPECT_EQ(psMap->asEntry[3].lEnd, 9999u);
    EXPECT_EQ(psMap->asEntry[4].wRank, 1);
    EXPECT_EQ(psMap->asEntry[4].lEnd, 19999u);
    for (uint64_t lAddress : {uint64_t(1000), uint64_t(4999), uint64_t(15000), uint64_t(20000), ~uint64_t(0)}) {
        board.ClearConsoleText();
        EXPECT_EQ(fw::lCalculateLUNAddressFromInternalAddress(lAddress), ~0ull) << lAddress;
        EXPECT_EQ(fw::wFindSegmentForAddress(lAddress), 0xFFFF) << lAddress;
        EXPECT_NE(board.ConsoleText().find("In lCalculateLUNAddressFromInternalAddress Internal "), std::string::npos);
    }
    board.ClearConsoleText();
    fw::lCalculateLUNAddressFromInternalAddress(0x0000000512345678ull);
    EXPECT_EQ(board.ConsoleText(), "In lCalculateLUNAddressFromInternalAddress Internal 00000005 12345678");

    // With free extents only the listing skips the used ones.
    fw::SEGMENT_MAP sFree{};
    fw::BuildLdFreeSpaceMap(&s_sLive, fw::FALSE, &sFree);
    ASSERT_EQ(sFree.dEntryCount, 3u);
    EXPECT_EQ(sFree.wFirstFreeEntry, 0);
    EXPECT_EQ(sFree.asEntry[0].wLd, -1);
}

TEST_F(AddressTranslationTest, ArrayLookupsByAddress) {
    AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);
    AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);
    AddLd({{9000, 2000}});   // a segment running over the array boundary
    uint8_t bRank = 0;
    EXPECT_EQ(fw::bFindRankByAddress(&s_sLive, 9999, &bRank), 0xFF);
    EXPECT_EQ(bRank, 0);
    EXPECT_EQ(fw::bFindRankByAddress(&s_sLive, 10000, &bRank), 0xFF);
    EXPECT_EQ(bRank, 1);
    EXPECT_EQ(fw::bFindRankByAddress(&s_sLive, 20000, &bRank), 0);
    EXPECT_EQ(bRank, 0xFF);
    uint8_t bFirst = 0, bLast = 0;
    fw::FindSegmentArrays(&s_sLive, 0, 0, &bFirst, &bLast);
    EXPECT_EQ(bFirst, 0);
    EXPECT_EQ(bLast, 1);
}

TEST_F(AddressTranslationTest, CorruptSegmentsEndTheWalkOfTheirArray) {
    AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);
    AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);
    const uint16_t l = AddLd({{100, 100}});
    s_sLive.asLd[l].asSegment[0].lEnd = 50;   // ends before it starts
    fw::SEGMENT_MAP sMap{};
    fw::BuildLdFreeSpaceMap(&s_sLive, fw::TRUE, &sMap);
    EXPECT_LE(sMap.dEntryCount, 4u);
    EXPECT_EQ(sMap.asEntry[sMap.dEntryCount - 1].wRank, 1);
}

TEST_F(AddressTranslationTest, VirtualDriveTablePrintsRecordsInUse) {
    const uint8_t abInUse[12] = {0x03, 0x02, 0x34, 0x12, 0x05, 0x00};
    const uint8_t abFree[12] = {0x02, 0x09, 0x01, 0x00, 0x01, 0x00};
    std::memcpy(s_sLive.asVirtualLd[0x1A].abData, abInUse, 12);
    std::memcpy(s_sLive.asVirtualLd[0x1B].abData, abFree, 12);
    board.ClearConsoleText();
    fw::PrintVlunTranslationTable();
    EXPECT_EQ(board.ConsoleText(),
              "VLUN translation table\r\n"
              "VLUN    ODA     Snap #  ODA lun Flags\r\n"
              "-------------------------------------\r\n"
              "001a    1234    0002    0005    03\r\n");
}

}  // namespace
}  // namespace cfgtest
