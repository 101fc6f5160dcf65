// The enclosures as the drive table sees them: slot maps by backplane, the
// SES devices of each enclosure, the slot flags of each drive, and the drive
// slot table in enclosure and slot order.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "config/drive_tables.h"
#include "config/rank_table.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_table.h"
#include "executive/system_state.h"
#include "harness/config_test.h"

namespace {

using fw::FALSE;
using fw::TRUE;

class EnclosureTableTest : public harness::ConfigTest {
protected:
    void TearDown() override {
        fw::SetBackplaneType(m_bBackplane);
        fw::SetSesLevel(m_bSesLevel);
        harness::ConfigTest::TearDown();
    }
    const uint8_t m_bBackplane = fw::bGetBackplaneType();
    const uint8_t m_bSesLevel = fw::bGetSesLevel();
    // A drive at (enclosure, slot) with loop IDs id and id + 100.
    static fw::DRIVE_INFO& AddDrive(uint8_t bEnclosure, uint8_t bSlot, uint8_t bId) {
        fw::DRIVE_INFO s;
        fw::ClearDriveInfoRecord(&s);
        s.bLoopID1 = bId;
        s.bLoopID2 = static_cast<uint8_t>(bId + 100);
        s.bEnclosureNo = bEnclosure;
        s.bSlotNo = bSlot;
        s.abWWN[7] = bId;
        fw::DRIVE_INFO_LIST* ps = fw::pGetDriveInfoList();
        EXPECT_EQ(fw::fAppendDriveInfo(ps, &s), TRUE);
        return ps->asDriveInfo[ps->bDriveCount - 1];
    }
    static fw::DRIVE_INFO_LIST& List() { return *fw::pGetDriveInfoList(); }
};

TEST_F(EnclosureTableTest, SlotsMapToSesSlotIdsByBackplane) {
    const struct {
        uint8_t bBackplane, bSlot, bId;
    } asCases[] = {
        {6, 1, 0},    {6, 32, 31},  {6, 0, 0},     {6, 33, 0},   // every slot its own element
        {144, 14, 14}, {144, 15, 23}, {144, 17, 15}, {144, 25, 27}, {144, 32, 34},
        {8, 1, 0},    {8, 3, 8},    {8, 4, 2},     {8, 12, 11},  {8, 13, 0}, {8, 0, 0},
        {2, 6, 9},
    };
    for (const auto& s : asCases) {
        fw::SetBackplaneType(s.bBackplane);
        EXPECT_EQ(fw::bSlotToSesSlotId(s.bSlot), s.bId) << int(s.bBackplane) << " slot " << int(s.bSlot);
    }
    // The own chassis: each row's fourth position has no bay.
    const uint8_t abSlot[16] = {10, 11, 12, 255, 9, 8, 7, 255, 4, 5, 6, 255, 3, 2, 1, 255};
    const uint8_t abSesId[16] = {6, 7, 11, 255, 10, 5, 4, 255, 2, 3, 9, 255, 8, 1, 0, 255};
    for (uint8_t p = 0; p < 16; p++) {
        EXPECT_EQ(fw::bOwnChassisSlot(p), abSlot[p]) << int(p);
        EXPECT_EQ(fw::bOwnChassisSesSlotId(p), abSesId[p]) << int(p);
    }
    EXPECT_EQ(fw::bOwnChassisSlot(16), 255);
    EXPECT_EQ(fw::bOwnChassisSesSlotId(200), 255);
}

TEST_F(EnclosureTableTest, TheFirstTwoDrivesOfAnEnclosureAreItsSesDevices) {
    fw::DRIVE_INFO& a = AddDrive(1, 1, 10);
    fw::DRIVE_INFO& b = AddDrive(2, 1, 20);
    fw::DRIVE_INFO& c = AddDrive(1, 2, 11);
    fw::DRIVE_INFO& d = AddDrive(1, 3, 12);
    fw::DRIVE_INFO& loose = AddDrive(0xFF, 0xFF, 30);
    loose.fSESEnabled = 0x77;
    d.fSESEnabled = TRUE;
    b.bSES1_IDLoop1 = 55;   // left from an earlier table
    fw::AssignSesDevices(&List());
    EXPECT_EQ(a.fSESEnabled, TRUE);
    EXPECT_EQ(c.fSESEnabled, TRUE);
    EXPECT_EQ(d.fSESEnabled, FALSE) << "a third drive is never an SES device";
    EXPECT_EQ(b.fSESEnabled, TRUE);
    EXPECT_EQ(loose.fSESEnabled, 0x77) << "a drive of no enclosure is not touched";

    fw::AssignSesIds(&List());
    for (const fw::DRIVE_INFO* ps : {&a, &c, &d}) {
        EXPECT_EQ(ps->bSES0_IDLoop1, 10);
        EXPECT_EQ(ps->bSES0_IDLoop2, 110);
        EXPECT_EQ(ps->bSES1_IDLoop1, 11);
        EXPECT_EQ(ps->bSES1_IDLoop2, 111);
    }
    EXPECT_EQ(b.bSES0_IDLoop1, 20);
    EXPECT_EQ(b.bSES1_IDLoop1, 0xFF) << "one SES device: no second way";
    EXPECT_EQ(b.bSES1_IDLoop2, 0xFF);

    fw::DRIVE_INFO* ps = nullptr;
    uint8_t bIndex = 0;
    ASSERT_EQ(fw::fFindDriveBySesId(11, &ps, &bIndex), TRUE);
    EXPECT_EQ(ps, &a);
    EXPECT_EQ(bIndex, 0);
    EXPECT_EQ(fw::fFindDriveBySesId(12, &ps, &bIndex), FALSE);

    fw::SetDrivesOwnSesDevice(&List());
    EXPECT_EQ(d.fSESEnabled, TRUE);
    EXPECT_EQ(d.bSES0_IDLoop1, 12);
    EXPECT_EQ(d.bSES0_IDLoop2, 112);
    d.bSES_ControlFlags = fw::SES_CONTROL_IDENTIFY;
    d.bSES_ArrayFlags = fw::SES_ARRAY_FAILED;
    fw::ClearDriveSesIds(&List());
    EXPECT_EQ(d.bSES0_IDLoop1, 0xFF);
    EXPECT_EQ(d.bSES1_IDLoop2, 0xFF);
    EXPECT_EQ(d.bSES_ControlFlags, 0);
    EXPECT_EQ(d.bSES_ArrayFlags, 0);
}

TEST_F(EnclosureTableTest, EnclosureNumbersHighestAndGaps) {
    EXPECT_EQ(fw::bGetHighestEnclosureNumber(&List()), 0);
    EXPECT_EQ(fw::fAreEnclosureNumbersContiguous(&List()), TRUE) << "no drive";
    AddDrive(0xFF, 1, 1);
    AddDrive(1, 1, 2);
    AddDrive(3, 1, 3);
    EXPECT_EQ(fw::bGetHighestEnclosureNumber(&List()), 3);
    EXPECT_EQ(fw::fAreEnclosureNumbersContiguous(&List()), FALSE);
    AddDrive(2, 5, 4);
    EXPECT_EQ(fw::fAreEnclosureNumbersContiguous(&List()), TRUE);
}

TEST_F(EnclosureTableTest, EachDriveShowsItsArraysStateOnItsSlot) {
    // Arrays: 0 RAID 5 degraded, 1 RAID 0 degraded, 2 failed, 3 rebuilding,
    // 4 optimal with a parity check running on it (the stand-in engine
    // runs none, so 4 shows nothing).
    const uint8_t abLevel[5] = {fw::RAID_LEVEL_5, fw::RAID_LEVEL_0, fw::RAID_LEVEL_5, fw::RAID_LEVEL_5,
                                fw::RAID_LEVEL_5};
    const uint8_t abState[5] = {fw::RANK_STATE_DEGRADED, fw::RANK_STATE_DEGRADED, fw::RANK_STATE_FAILED, 1,
                                fw::RANK_STATE_OPTIMAL};
    fw::SetRankCount(5);
    for (uint8_t r = 0; r < 5; r++) {
        fw::pGetRankTable()[r].bRaidLevel = abLevel[r];
        fw::SetRankOperationState(r, abState[r]);
    }
    struct Case {
        const char* pszWhat;
        uint8_t bRank, bStatus, bControlBefore, bArray, bControl;
    };
    const Case asCases[] = {
        {"no array", 255, 0, 0, fw::SES_ARRAY_NONE, fw::SES_CONTROL_NONE},
        {"hot spare", 245, 0, 0, fw::SES_ARRAY_HOT_SPARE, fw::SES_CONTROL_NONE},
        {"rebuild target", 0, fw::DRIVE_STATUS_REBUILD_TARGET, 0, fw::SES_ARRAY_REBUILD, fw::SES_CONTROL_NONE},
        {"critical array", 0, 0, 0, fw::SES_ARRAY_CRITICAL, fw::SES_CONTROL_NONE},
        {"degraded RAID 0", 1, 0, 0, fw::SES_ARRAY_UNCHANGED, fw::SES_CONTROL_NONE},
        {"failed array", 2, 0, 0, fw::SES_ARRAY_FAILED, fw::SES_CONTROL_NONE},
        {"rebuilding array", 3, 0, 0, fw::SES_ARRAY_UNCHANGED, fw::SES_CONTROL_NONE},
        {"optimal array", 4, 0, 0, fw::SES_ARRAY_UNCHANGED, fw::SES_CONTROL_NONE},
        {"array beyond the table", 9, 0, 0, fw::SES_ARRAY_UNCHANGED, fw::SES_CONTROL_NONE},
        {"identify kept", 255, 0, fw::SES_CONTROL_IDENTIFY, fw::SES_ARRAY_NONE, fw::SES_CONTROL_IDENTIFY},
        {"fault forgotten", 255, 0, fw::SES_CONTROL_FAULT, fw::SES_ARRAY_NONE, fw::SES_CONTROL_NONE},
        {"failed drive", 2, fw::DRIVE_STATUS_FAILED_LIST, fw::SES_CONTROL_IDENTIFY, fw::SES_ARRAY_UNCHANGED,
         fw::SES_CONTROL_FAULT},
    };
    uint8_t bId = 1;
    std::vector<fw::DRIVE_INFO*> apsDrive;
    for (const Case& s : asCases) {
        fw::DRIVE_INFO& d = AddDrive(1, bId, bId);
        d.bRankNo = s.bRank;
        d.bDriveStatus = s.bStatus;
        d.bSES_ControlFlags = s.bControlBefore;
        d.bSES_ArrayFlags = 0x5A;
        apsDrive.push_back(&d);
        bId++;
    }
    // A member the configuration lists as failed shows its fault too.
    fw::DRIVE_INFO& listed = AddDrive(1, 40, 40);
    listed.bRankNo = 0;
    fw::CONFIG_IMAGE& x = harness::s_sLive;
    std::memcpy(x.asFailedDrive[0].abWwn, listed.abWWN, 8);
    x.sHeader.wFailedDriveCount = 1;

    fw::UpdateDriveSesFlags();
    for (size_t i = 0; i < std::size(asCases); i++) {
        EXPECT_EQ(apsDrive[i]->bSES_ArrayFlags, asCases[i].bArray) << asCases[i].pszWhat;
        EXPECT_EQ(apsDrive[i]->bSES_ControlFlags, asCases[i].bControl) << asCases[i].pszWhat;
    }
    EXPECT_EQ(listed.bSES_ControlFlags, fw::SES_CONTROL_FAULT);
    EXPECT_EQ(listed.bSES_ArrayFlags, fw::SES_ARRAY_UNCHANGED);
}

TEST_F(EnclosureTableTest, TheSlotTableFollowsEnclosureAndSlotOrder) {
    AddDrive(2, 1, 10);
    AddDrive(1, 3, 11);
    AddDrive(1, 1, 12);
    AddDrive(1, 2, 13);
    fw::DRIVE_SLOT_TABLES* ps = fw::pGetDriveSlotTables();
    std::memset(ps->abDrive, 0xFF, sizeof(ps->abDrive));
    std::memset(ps->abDriveAlt, 0xFF, sizeof(ps->abDriveAlt));
    std::memset(ps->afFailed, FALSE, sizeof(ps->afFailed));
    // Position 2 names a drive the table does not know: it stays there.
    const uint8_t abBefore[6] = {10, 11, 99, 12, 13, 0xFF};
    for (uint8_t i = 0; i < 6; i++) {
        ps->abDrive[i] = abBefore[i];
        ps->abDriveAlt[i] = abBefore[i] == 0xFF ? 0xFF : uint8_t(abBefore[i] + 100);
        ps->afFailed[i] = abBefore[i] == 11 ? TRUE : FALSE;
    }
    fw::SortDriveList();
    const uint8_t abAfter[6] = {12, 13, 99, 11, 10, 0xFF};
    for (uint8_t i = 0; i < 6; i++) {
        EXPECT_EQ(ps->abDrive[i], abAfter[i]) << int(i);
        EXPECT_EQ(ps->abDriveAlt[i], abAfter[i] == 0xFF ? 0xFF : uint8_t(abAfter[i] + 100)) << int(i);
        EXPECT_EQ(ps->afFailed[i], abAfter[i] == 11 ? TRUE : FALSE) << int(i);
    }
}

TEST_F(EnclosureTableTest, IdentifyIsAskedOnlyOnceEnclosuresAreKnown) {
    fw::DRIVE_INFO& d = AddDrive(1, 1, 10);
    fw::SetSesLevel(1);
    fw::SetDriveIdentify(1, 10);
    EXPECT_EQ(d.bSES_ControlFlags, fw::SES_CONTROL_NONE);
    fw::SetSesLevel(3);
    fw::SetDriveIdentify(1, 110);
    EXPECT_EQ(d.bSES_ControlFlags, fw::SES_CONTROL_NONE) << "loop 1 knows the drive by its first ID";
    fw::SetDriveIdentify(2, 110);
    EXPECT_EQ(d.bSES_ControlFlags, fw::SES_CONTROL_IDENTIFY);
    fw::ClearDriveIdentify(1, 10);
    EXPECT_EQ(d.bSES_ControlFlags, fw::SES_CONTROL_NONE);
}

}  // namespace
