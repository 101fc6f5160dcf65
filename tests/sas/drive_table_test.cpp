// The drive table's look-ups: what they find, and what they must never
// find (empty table, unset WWNs, out-of-range keys).
#include <gtest/gtest.h>

#include <cstring>

#include "config/config_image.h"
#include "enclosure/drive_table.h"
#include "executive/types.h"
#include "sas/sas_discovery.h"
#include "sim/board.h"

namespace {

using namespace fw;

class DriveTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        static CONFIG_IMAGE s_sImage;   // an image with no failed drives
        std::memset(&s_sImage, 0, sizeof s_sImage);
        SetConfigImagePointer(&s_sImage);
        InitDriveTables();
    }

    // Puts records straight into the current table.
    DRIVE_INFO* Add(uint8_t bTarget, uint8_t bEnclosure, uint8_t bSlot, uint8_t bWwnTail) {
        DRIVE_INFO s;
        ClearDriveInfoRecord(&s);
        s.bLoopID1 = s.bHardIDFromADISC = bTarget;
        s.bEnclosureNo = bEnclosure;
        s.bSlotNo = bSlot;
        const uint8_t abWwn[8] = {0x50, 0x05, 0xD5, 0xD0, 0x00, 0xA0, 0x00, bWwnTail};
        std::memcpy(s.abWWN, abWwn, 8);
        EXPECT_EQ(fAppendDriveInfo(pGetDriveInfoList(), &s), TRUE);
        return &pGetDriveInfoList()->asDriveInfo[pGetDriveInfoList()->bDriveCount - 1];
    }

    sim::Board board;
};

TEST_F(DriveTableTest, EmptyTableAndUnsetWwnsFindNothing) {
    const uint8_t abZero[8] = {};
    uint8_t abOnes[8];
    std::memset(abOnes, 0xFF, 8);
    for (int pass = 0; pass < 2; ++pass) {
        // Second pass: a record whose WWN is itself unset must not match.
        for (const uint8_t* pb : {abZero, static_cast<const uint8_t*>(abOnes)}) {
            uint8_t bTarget = 0;
            EXPECT_EQ(fFindDriveByWWN(pb, nullptr, nullptr), FALSE);
            EXPECT_EQ(fFindDriveByWWN(pb, &bTarget), FALSE);
            EXPECT_EQ(bTarget, 0xFF);
            EXPECT_EQ(bGetHardIdOfWWN(pb), 0xFF);
            EXPECT_EQ(bGetDriveIndexOfWWN(pb), 0xFF);
        }
        EXPECT_EQ(fFindDriveByDriveIndex(255, nullptr), FALSE);
        EXPECT_EQ(fIsHardIdDuplicated(255), FALSE);
        DRIVE_INFO* ps = Add(3, 1, 4, 0);
        std::memset(ps->abWWN, pass == 0 ? 0x00 : 0xFF, 8);
        ps->bHardIDFromADISC = 255;
    }
    EXPECT_EQ(fFindDriveByRankDrive(0, 0, nullptr, nullptr), FALSE);
}

TEST_F(DriveTableTest, LookUpsByEveryKey) {
    Add(5, 1, 3, 0x10);
    Add(9, 2, 1, 0x20);
    DRIVE_INFO* ps = Add(7, 1, 12, 0x30);
    ps->bRankNo = 2;
    ps->bDriveNo = 1;
    const uint8_t abWwn[8] = {0x50, 0x05, 0xD5, 0xD0, 0x00, 0xA0, 0x00, 0x20};
    DRIVE_INFO* psFound = nullptr;
    uint8_t bIndex = 0;
    EXPECT_EQ(fFindDriveByWWN(abWwn, &psFound, &bIndex), TRUE);
    EXPECT_EQ(bIndex, 1);
    EXPECT_EQ(bGetDriveIndexOfWWN(abWwn), 32);          // enclosure 2, slot 1
    EXPECT_EQ(fFindDriveByDriveIndex(11, &psFound), TRUE);
    EXPECT_EQ(psFound->bLoopID1, 7);
    EXPECT_EQ(fFindDriveByRankDrive(2, 1, &psFound, &bIndex), TRUE);
    EXPECT_EQ(bIndex, 2);
    EXPECT_EQ(bFindDriveIndexByEnclosureSlot(1, 3, &psFound, &bIndex), STATUS_OK);
    EXPECT_EQ(bFindDriveIndexByEnclosureSlot(1, 4, &psFound, &bIndex), 0);
    EXPECT_EQ(fFindDriveByLoopID(0, 9, &psFound, &bIndex), TRUE);
    uint8_t abOut[8] = {};
    EXPECT_EQ(fGetDriveWwnOfTarget(9, abOut), TRUE);
    EXPECT_EQ(std::memcmp(abOut, abWwn, 8), 0);
    EXPECT_EQ(fIsHardIdDuplicated(5), FALSE);
    Add(5, 3, 3, 0x40);
    EXPECT_EQ(fIsHardIdDuplicated(5), TRUE);
}

TEST_F(DriveTableTest, SortOrdersBySlotUnlessTwoDrivesClaimOne) {
    struct Case {
        uint8_t abSlots[4];
        uint8_t abExpectedTail[4];
    } const aCases[] = {
        {{4, 1, 3, 2}, {2, 4, 3, 1}},
        {{4, 1, 4, 2}, {1, 2, 3, 4}},   // slot 4 twice: discovery order kept
    };
    for (const Case& c : aCases) {
        DRIVE_INFO_LIST* psSource = pGetDriveInfoListDiscovery();
        ClearDriveInfoList(psSource);
        for (uint8_t i = 0; i < 4; ++i) {
            DRIVE_INFO s;
            ClearDriveInfoRecord(&s);
            s.bEnclosureNo = 1;
            s.bSlotNo = c.abSlots[i];
            s.abWWN[0] = 0x50;
            s.abWWN[7] = static_cast<uint8_t>(i + 1);
            fAppendDriveInfo(psSource, &s);
        }
        SortDriveInfoList(psSource, pGetDriveInfoListSorted());
        const uint32_t dBefore = dGetDriveTableChangeCount();
        CommitDriveInfoList();
        EXPECT_EQ(dGetDriveTableChangeCount(), dBefore + 1);
        ASSERT_EQ(pGetDriveInfoList()->bDriveCount, 4);
        EXPECT_EQ(pGetDriveInfoList()->dUsedBytes, 8u + 4 * 72);
        for (uint8_t i = 0; i < 4; ++i) EXPECT_EQ(pGetDriveInfoList()->asDriveInfo[i].abWWN[7], c.abExpectedTail[i]);
    }
}

TEST_F(DriveTableTest, FullTableAndOutOfRangeLoopIdsStayInBounds) {
    for (uint8_t i = 0; i < DRIVE_INFO_RECORDS; ++i) Add(i, 1, 1, i);
    DRIVE_INFO s;
    ClearDriveInfoRecord(&s);
    EXPECT_EQ(fAppendDriveInfo(pGetDriveInfoList(), &s), FALSE);
    EXPECT_EQ(pGetDriveInfoList()->bDriveCount, DRIVE_INFO_RECORDS);
    // Second loop IDs above the maps: refused, counted, nothing written past them.
    pGetDriveInfoList()->asDriveInfo[0].bLoopID2 = 200;
    pGetDriveInfoList()->asDriveInfo[1].bLoopID1 = 127;
    pGetDriveInfoList()->asDriveInfo[1].bLoopID2 = 126;
    ClearDriveSlotMaps();
    EXPECT_EQ(dGetDrivePathMapRefusals(), 5u);
    EXPECT_EQ(psGetDrivePathMap(4)[0].bOwnId, 0xFF);
    RecordDriveActivityTick(3, 200);
    CountVerifyCompletionById(126);
    EXPECT_EQ(dGetVerifyCompletionCount(126), 0u);
}

// Which slot each expander phy leads to, by enclosure model, side and path.
TEST(ExpanderSlotMap, PhysMapToSlotsByModel) {
    struct Case {
        uint8_t bEnclosure, bType, bSide, bPath, bPhy, bSlot;
    } const aCases[] = {
        {1, 0, 0, 0, 0, 0xB0},    {1, 0, 0, 0, 8, 0xA0},    {1, 0, 0, 0, 12, 9},      {1, 0, 1, 1, 23, 4},
        {1, 0, 0, 0, 24, 0xFF},   {2, 0x10, 0, 0, 4, 0xB1}, {2, 0x10, 0, 0, 14, 1},   {2, 0x11, 1, 0, 11, 0xFF},
        {2, 0x11, 1, 0, 12, 4},   {2, 0x11, 0, 0, 12, 9},   {2, 0x11, 0, 0, 35, 0xC0}, {2, 0x11, 0, 0, 36, 0xFF},
        {3, 6, 0, 0, 0, 11},      {3, 6, 0, 1, 0, 9},       {3, 6, 0, 2, 0, 0xFF},    {3, 2, 0, 0, 5, 11},
        {3, 2, 0, 1, 5, 6},       {3, 2, 0, 1, 12, 0xFF},   {3, 2, 0, 1, 13, 0xFF},
    };
    for (const Case& c : aCases) {
        SAS_EXPANDER s{};
        s.bEnclosure = c.bEnclosure;
        s.bEnclosureType = c.bType;
        s.bSide = c.bSide;
        s.bPath = c.bPath;
        EXPECT_EQ(bSlotOfExpanderPhy(&s, c.bPhy), c.bSlot)
            << int(c.bEnclosure) << " " << int(c.bType) << " " << int(c.bSide) << " " << int(c.bPath) << " "
            << int(c.bPhy);
    }
}

}  // namespace
