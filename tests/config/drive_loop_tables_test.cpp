// Drive-loop device tables: look-ups by loop ID and WWN, claiming, removal
// and what a loop device is to the configuration.
#include "config/drive_loop_tables.h"
#include "harness/config_test.h"

namespace cfgtest {

using namespace harness;

namespace {

class DriveLoopTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::AllocateDriveLoopTables();
        m_psTable = fw::pGetDriveLoopTable(3);
        ASSERT_NE(m_psTable, nullptr);
    }
    void Place(uint8_t bIndex, uint8_t bLoopId, const Wwn& sWwn) {
        fw::LOOP_DEVICE_ENTRY& s = m_psTable->asEntry[bIndex];
        s.bLoopId = bLoopId;
        s.bPortDbByte = static_cast<uint8_t>(0x40 + bIndex);
        std::memcpy(s.abWwn, sWwn.ab, 8);
    }
    fw::LOOP_DEVICE_TABLE* m_psTable = nullptr;
};

TEST_F(DriveLoopTest, AbsentChipLeavesAClearedTable) {
    EXPECT_EQ(m_psTable->bCount, 0);
    EXPECT_EQ(m_psTable->asEntry[0].bLoopId, 0xFF);
    EXPECT_EQ(m_psTable->asEntry[127].abWwn[7], 0xFF);
    EXPECT_EQ(fw::pGetDriveLoopTable(2), nullptr);
    uint8_t ab[8];
    EXPECT_EQ(fw::fGetDriveWwnByLoopId(3, 0xFF, ab), 0);
}

TEST_F(DriveLoopTest, LookupsClaimsAndLocation) {
    const uint8_t r = AddRank(fw::RAID_LEVEL_10, 2, 128, 10000);
    Place(0, 5, MemberWwn(r, 1));
    const Wwn sLoose{{0x20, 0, 0, 0x11, 0x22, 0x55, 0, 9}};
    Place(1, 6, sLoose);
    Place(127, 7, sLoose);   // beyond the searched entries
    uint8_t ab[8];
    EXPECT_EQ(fw::fGetDriveWwnByLoopId(3, 5, ab), 0xFF);
    EXPECT_EQ(ab[7], 1);
    EXPECT_EQ(fw::fGetDriveWwnByLoopId(4, 5, ab), 0);
    EXPECT_EQ(fw::fIsLoopDevicePresent(3, 7), 0);
    uint8_t bLoopId = 0;
    EXPECT_EQ(fw::fFindLoopIdByWwn(3, &bLoopId, sLoose.ab), 0xFF);
    EXPECT_EQ(bLoopId, 6);
    uint8_t bIndex = 0;
    EXPECT_EQ(fw::bGetLoopDeviceIndex(3, 6, &bIndex), 0xFF);
    EXPECT_EQ(bIndex, 1);
    uint8_t bByte = 0;
    EXPECT_EQ(fw::fGetDriveLoopIdByHandle(3, 6, &bByte), 0xFF);
    EXPECT_EQ(bByte, 0x41);
    EXPECT_EQ(fw::bClaimLoopDevice(m_psTable, sLoose.ab, &bLoopId, fw::TRUE, 0), 0xFF);
    EXPECT_EQ(m_psTable->asEntry[1].fClaimed, fw::TRUE);
    EXPECT_EQ(fw::bClaimLoopDevice(m_psTable, sLoose.ab, &bLoopId, fw::FALSE, fw::TRUE), 0xFF);
    EXPECT_EQ(m_psTable->asEntry[1].fClaimed, fw::FALSE);
    EXPECT_EQ(m_psTable->asEntry[1].fFailed, fw::TRUE);
    const Wwn sNone{{0x20, 0, 0, 0x11, 0x22, 0x66, 0, 1}};
    EXPECT_EQ(fw::bClaimLoopDevice(m_psTable, sNone.ab, &bLoopId, fw::TRUE, 0), 0);
    EXPECT_EQ(bLoopId, 0xFF);

    uint8_t a = 0, b = 0;
    fw::LocateLoopDevice(3, 5, &a, &b);
    EXPECT_EQ(a, r);
    EXPECT_EQ(b, 1);
    fw::LocateLoopDevice(3, 6, &a, &b);
    EXPECT_EQ(a, 0xFF);
    EXPECT_EQ(b, 0xFF);
    fw::RemoveLoopDevice(3, 5);
    EXPECT_EQ(fw::fIsLoopDevicePresent(3, 5), 0);
    EXPECT_EQ(m_psTable->asEntry[0].abWwn[0], 0xFF);
}

TEST_F(DriveLoopTest, SlotAndSpareTablesFromBothLoops) {
    fw::LOOP_DEVICE_TABLE* psPath4 = fw::pGetDriveLoopTable(4);
    const Wwn sBoth{{0x20, 0, 0, 0x11, 0x22, 0x55, 0, 1}};
    const Wwn sOnly4{{0x20, 0, 0, 0x11, 0x22, 0x55, 0, 2}};
    const Wwn sSpare{{0x20, 0, 0, 0x11, 0x22, 0x55, 0, 3}};
    const Wwn sClaimed{{0x20, 0, 0, 0x11, 0x22, 0x55, 0, 4}};
    Place(0, 10, sBoth);
    Place(1, 11, sSpare);
    Place(2, 12, sClaimed);
    m_psTable->asEntry[2].fClaimed = fw::TRUE;
    m_psTable->bCount = 3;
    auto PlaceOn4 = [psPath4](uint8_t i, uint8_t bLoopId, const Wwn& s) {
        psPath4->asEntry[i].bLoopId = bLoopId;
        std::memcpy(psPath4->asEntry[i].abWwn, s.ab, 8);
    };
    PlaceOn4(0, 20, sBoth);
    PlaceOn4(1, 21, sOnly4);
    PlaceOn4(2, 22, sSpare);
    psPath4->bCount = 3;
    std::memcpy(s_sLive.asSpare[0].abWwn, sSpare.ab, 8);
    s_sLive.asSpare[0].bDedicatedRank = 255;
    s_sLive.sHeader.wSpareCount = 1;
    fw::AddFailedDriveWwn(sOnly4.ab, &s_sLive, 0x99, 0x22, 0, 0, 0);

    fw::BuildHotSpareTableFc(&s_sLive, m_psTable, psPath4);
    fw::BuildDriveSlotTableFc(m_psTable, psPath4, fw::FALSE);
    const fw::HOT_SPARE_TABLE* psSpares = fw::pGetHotSpareTable();
    ASSERT_EQ(psSpares->bCount, 1);
    EXPECT_EQ(psSpares->abDrive[0], 11);
    EXPECT_EQ(psSpares->abDriveAlt[0], 22);
    EXPECT_EQ(psSpares->abDedicatedRank[0], 255);
    const fw::DRIVE_SLOT_TABLES* psSlots = fw::pGetDriveSlotTables();
    ASSERT_EQ(psSlots->bCount, 2);   // the spare and the claimed drive are not unassigned
    EXPECT_EQ(psSlots->abDrive[0], 10);
    EXPECT_EQ(psSlots->abDriveAlt[0], 20);
    EXPECT_EQ(psSlots->afFailed[0], fw::FALSE);
    EXPECT_EQ(psSlots->abDrive[1], 0xFF);
    EXPECT_EQ(psSlots->abDriveAlt[1], 21);
    EXPECT_EQ(psSlots->afFailed[1], fw::TRUE);
}

}  // namespace
}  // namespace cfgtest
