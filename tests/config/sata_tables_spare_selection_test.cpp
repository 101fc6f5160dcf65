// The drive slot and hot spare tables of SATA boards, and spares taken from
// the unassigned drives or from the menu's selection list.
#include "config/config_state.h"
#include "config/drive_loop_tables.h"
#include "config/spares_wwn.h"
#include "harness/config_test.h"

namespace cfgtest {

using namespace harness;

namespace {

Wwn Serial(const char* psz) {
    Wwn s;
    std::memcpy(s.ab, psz, 8);
    return s;
}

class SataTablesTest : public ConfigTest {};

TEST_F(SataTablesTest, SlotsAndSparesFromTheSerialList) {
    fw::SATA_SERIAL_LIST sList;
    std::memset(&sList, 0xFF, sizeof(sList));
    struct Port {
        uint8_t bPort;
        const char* pszSerial;
        uint8_t fClaimed;
        uint8_t fFailed;
    };
    const Port asPorts[] = {{0, "SPARE001", fw::FALSE, fw::FALSE},  {1, "LOOSE001", fw::FALSE, fw::FALSE},
                            {2, "MEMBER01", fw::TRUE, fw::FALSE},   {3, "BROKEN01", fw::FALSE, fw::TRUE},
                            {5, "LISTED01", fw::FALSE, fw::FALSE}};
    for (const Port& p : asPorts) {
        fw::SATA_SERIAL_ENTRY& s = sList.asEntry[p.bPort == 5 ? 4 : p.bPort];
        s.bPort = p.bPort;
        s.fClaimed = p.fClaimed;
        s.fFailed = p.fFailed;
        std::memcpy(s.abSerial, Serial(p.pszSerial).ab, 8);
    }
    // A count beyond the list's sixteen entries must not read past it.
    sList.bCount = 200;
    std::memcpy(s_sLive.asSpare[0].abWwn, Serial("GONE0001").ab, 8);
    std::memcpy(s_sLive.asSpare[1].abWwn, Serial("SPARE001").ab, 8);
    s_sLive.asSpare[1].bDedicatedRank = 2;
    s_sLive.sHeader.wSpareCount = 2;
    fw::AddFailedDriveWwn(Serial("LISTED01").ab, &s_sLive, 0x99, 0x22, 0, 0, 0);

    fw::BuildHotSpareTableSata(&s_sLive, &sList);
    const fw::HOT_SPARE_TABLE* psSpares = fw::pGetHotSpareTable();
    ASSERT_EQ(psSpares->bCount, 1);
    EXPECT_EQ(psSpares->abDrive[0], 0);
    EXPECT_EQ(psSpares->abDriveAlt[0], 0xFF);
    EXPECT_EQ(psSpares->abSpareIndex[0], 1);
    EXPECT_EQ(psSpares->abDedicatedRank[0], 2);
    EXPECT_EQ(sList.asEntry[0].fClaimed, fw::TRUE);

    fw::BuildDriveSlotTableSata(&sList, fw::FALSE);
    const fw::DRIVE_SLOT_TABLES* psSlots = fw::pGetDriveSlotTables();
    struct Slot {
        uint8_t bDrive;
        uint8_t fFailed;
    };
    // The spare and the member are not unassigned.
    const Slot asSlots[] = {{1, fw::FALSE}, {3, fw::TRUE}, {5, fw::TRUE}};
    ASSERT_EQ(psSlots->bCount, 3);
    for (uint8_t i = 0; i < 3; i++) {
        EXPECT_EQ(psSlots->abDrive[i], asSlots[i].bDrive) << int(i);
        EXPECT_EQ(psSlots->abDriveAlt[i], 0xFF) << int(i);
        EXPECT_EQ(psSlots->afFailed[i], asSlots[i].fFailed) << int(i);
    }
}

class SpareSelectionTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::AllocateDriveLoopTables();
        fw::SetConfigWorkBuffer(m_abWork);
        fw::InitSASDeviceList(fw::pGetSASDriveInfoList());   // no drive on the SAS side
        // Drives on the second loop: loop ID 20 + n carries Numbered(n).
        fw::LOOP_DEVICE_TABLE* ps = fw::pGetDriveLoopTable(4);
        for (uint8_t n = 0; n < 6; n++) {
            ps->asEntry[n].bLoopId = static_cast<uint8_t>(20 + n);
            std::memcpy(ps->asEntry[n].abWwn, Numbered(n).ab, 8);
        }
        ps->bCount = 6;
        const uint8_t r = AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);
        // Drive 4 is an in-service member, drive 5 a member that dropped out.
        std::memcpy(s_sLive.asRank[r].aabMemberWwn[0], Numbered(4).ab, 8);
        std::memcpy(s_sLive.asRank[r].aabMemberWwn[1], Numbered(5).ab, 8);
        s_sLive.asRank[r].abMemberState[1] = 34;
        std::memcpy(&s_sScratch, &s_sLive, sizeof(s_sScratch));
    }
    static Wwn Numbered(uint8_t b) { return Wwn{{0x20, 0, 0, 0x11, 0x22, 0x77, 0, b}}; }
    uint8_t* Selection() { return m_abWork + 18432; }
    bool IsSpare(uint8_t n) {
        for (uint16_t s = 0; s < s_sScratch.sHeader.wSpareCount; s++)
            if (std::memcmp(s_sScratch.asSpare[s].abWwn, Numbered(n).ab, 8) == 0) return true;
        return false;
    }
    alignas(4) uint8_t m_abWork[32768] = {};
};

TEST_F(SpareSelectionTest, SelectedDrivesBecomeGlobalSpares) {
    struct Pick {
        uint8_t bPath;
        uint8_t bDrive;
    };
    const Pick asPicks[] = {
        {4, 20},   // added
        {4, 21},   // added
        {4, 20},   // listed twice: already a spare
        {3, 22},   // not on that path
        {5, 22},   // no such path
        {4, 24},   // an in-service member
        {4, 25},   // a member no longer in service: taken, its slot cleared
        {4, 99},   // not present
    };
    uint8_t* pb = Selection();
    pb[0] = static_cast<uint8_t>(std::size(asPicks));
    for (uint8_t k = 0; k < std::size(asPicks); k++) {
        pb[1 + k] = asPicks[k].bPath;
        pb[127 + k] = asPicks[k].bDrive;
    }
    EXPECT_EQ(fw::AssignSelectedDrivesAsSpares(nullptr), 3);
    EXPECT_EQ(s_sScratch.sHeader.wSpareCount, 3);
    const bool afSpare[] = {true, true, false, false, false, true};
    for (uint8_t n = 0; n < 6; n++) EXPECT_EQ(IsSpare(n), afSpare[n]) << int(n);
    EXPECT_EQ(s_sScratch.asSpare[0].bDedicatedRank, fw::GLOBAL_SPARE);
    EXPECT_EQ(fw::fIsNonZeroWwn(s_sScratch.asRank[0].aabMemberWwn[1]), fw::FALSE);
    EXPECT_EQ(s_sScratch.sHeader.fAutoRebuild, fw::TRUE);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
}

TEST_F(SpareSelectionTest, ACorruptCountStaysInsideTheList) {
    uint8_t* pb = Selection();
    pb[0] = 255;
    for (uint32_t k = 0; k < 126; k++) {
        pb[1 + k] = 4;
        pb[127 + k] = 22;
    }
    pb[127 + 126] = 23;   // past the list: the identifier column ends at 126 entries
    EXPECT_EQ(fw::AssignSelectedDrivesAsSpares(nullptr), 1);
    EXPECT_TRUE(IsSpare(2));
    EXPECT_FALSE(IsSpare(3));
}

TEST_F(SpareSelectionTest, UnusedDrivesSkipFailedSlots) {
    fw::DRIVE_SLOT_TABLES* ps = fw::pGetDriveSlotTables();
    const uint8_t abAlt[] = {21, 22, 23};
    const uint8_t afFailed[] = {fw::FALSE, fw::TRUE, fw::FALSE};
    for (uint8_t s = 0; s < 3; s++) {
        ps->abDrive[s] = 0xFF;
        ps->abDriveAlt[s] = abAlt[s];
        ps->afFailed[s] = afFailed[s];
    }
    fw::SetDriveSlotCount(3);
    EXPECT_EQ(fw::AssignUnusedDrivesAsSpares(nullptr), 2);
    EXPECT_TRUE(IsSpare(1));
    EXPECT_FALSE(IsSpare(2));
    EXPECT_TRUE(IsSpare(3));
}

}  // namespace
}  // namespace cfgtest
