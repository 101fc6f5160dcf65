// The background drive verify pass: which drives it takes, and when it
// stands back.
#include <gtest/gtest.h>

#include "config/apply_settings.h"
#include "config/config_flags.h"
#include "harness/config_test.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "executive/work_flags.h"

namespace {

using fw::FALSE;
using fw::TRUE;

class VerifyPassTest : public harness::ConfigTest {
protected:
    void Prepare(uint8_t fVerify) {
        // Settings count only with an array.
        AddRank(fw::RAID_LEVEL_0, 2, 128, 1 << 20);
        harness::s_sLive.sHeader.fBackgroundVerify = fVerify;
        (void)fw::ApplyStoredSettings(FALSE, TRUE);
        (void)fw::fClearDriveRescanFlags();
        fw::SetConfigUpdatePending(FALSE);
        PresentAllExcept();
        for (uint8_t i = 0; i < 3; ++i) AddPresentDrive(harness::Wwn{{0x50, 0, 0, 0, 0, 0, 1, i}}, 10 + i);
        fw::DRIVE_INFO_LIST* ps = fw::pGetDriveInfoList();
        for (uint8_t i = 0; i < ps->bDriveCount; ++i) {
            ps->asDriveInfo[i].dCapacity = 100000;
            ps->asDriveInfo[i].bVerifyRepair = 1;
        }
        fw::ClearDriveSlotMaps();
    }
    static uint32_t Repairing() {
        uint32_t n = 0;
        const fw::DRIVE_INFO_LIST* ps = fw::pGetDriveInfoList();
        for (uint8_t i = 0; i < ps->bDriveCount; ++i) n += ps->asDriveInfo[i].bVerifyRepair == 1;
        return n;
    }
};

TEST_F(VerifyPassTest, EveryTabledDriveIsTakenWhenVerifyIsOn) {
    Prepare(TRUE);
    fw::RunBackgroundDriveVerifyPass();
    EXPECT_EQ(Repairing(), 0u);
}

TEST_F(VerifyPassTest, NothingIsTakenWhileVerifyIsOffOrARescanIsWanted) {
    Prepare(FALSE);
    fw::RunBackgroundDriveVerifyPass();
    EXPECT_EQ(Repairing(), 5u);
    harness::s_sLive.sHeader.wRankCount = 0;
    Prepare(TRUE);
    fw::SetDriveRescanRequest(TRUE);
    fw::RunBackgroundDriveVerifyPass();
    EXPECT_EQ(Repairing(), 5u);
}

TEST_F(VerifyPassTest, APendingCommitEndsThePassAndItsRequest) {
    Prepare(TRUE);
    fw::SetDriveServiceWorkA(TRUE);
    fw::SetConfigUpdatePending(TRUE);
    fw::RunBackgroundDriveVerifyPass();
    EXPECT_EQ(Repairing(), 5u);
    EXPECT_EQ(fw::fGetDriveServiceWorkA(), FALSE);
}

}  // namespace
