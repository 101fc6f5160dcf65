// The upgrade of older images and the settings check of every loaded image;
// and the partner load's handling of a missing partner.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "config/apply_settings.h"
#include "config/config_db.h"
#include "config/config_load.h"
#include "config/config_load_loops.h"
#include "config/config_upgrade.h"
#include "harness/config_test.h"

namespace {

using fw::CONFIG_IMAGE;
using fw::FALSE;
using fw::TRUE;
using harness::s_sLive;
using harness::s_sScratch;

class ConfigUpgradeTest : public harness::ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        AddRank(fw::RAID_LEVEL_5, 4, 128, 1 << 20);
        s_sLive.asRank[0].wWriteThreshold = 5;
        AddLd({{0, 1 << 19}});
        fw::SetConfigApplyOption(FALSE);
    }
};

TEST_F(ConfigUpgradeTest, ACurrentImageInRangeIsLeftAlone) {
    std::memcpy(&s_sScratch, &s_sLive, sizeof s_sLive);
    fw::ConfigUpgrade(&s_sLive);
    EXPECT_EQ(std::memcmp(&s_sScratch, &s_sLive, sizeof s_sLive), 0);
    EXPECT_EQ(fw::fGetConfigApplyOption(), FALSE);
}

TEST_F(ConfigUpgradeTest, SettingsOutsideTheirRangesAreForcedBack) {
    struct Case {
        const char* pszWhat;
        std::function<void(CONFIG_IMAGE&)> set;
        std::function<int(const CONFIG_IMAGE&)> get;
        int iAfter;
    };
    const Case cases[] = {
        {"background verify", [](CONFIG_IMAGE& s) { s.sHeader.fBackgroundVerify = 1; },
         [](const CONFIG_IMAGE& s) { return s.sHeader.fBackgroundVerify; }, FALSE},
        {"monitor SES", [](CONFIG_IMAGE& s) { s.sHeader.fControllerMonitorSes = 0; },
         [](const CONFIG_IMAGE& s) { return s.sHeader.fControllerMonitorSes; }, TRUE},
        {"init priority 9", [](CONFIG_IMAGE& s) { s.sHeader.bInitPriority = 9; },
         [](const CONFIG_IMAGE& s) { return s.sHeader.bInitPriority; }, 50},
        {"init priority 91", [](CONFIG_IMAGE& s) { s.sHeader.bInitPriority = 91; },
         [](const CONFIG_IMAGE& s) { return s.sHeader.bInitPriority; }, 50},
        {"sequential write 0", [](CONFIG_IMAGE& s) { s.sHeader.bSequentialWriteLevel = 0; },
         [](const CONFIG_IMAGE& s) { return s.sHeader.bSequentialWriteLevel; }, 4},
        {"thread balance", [](CONFIG_IMAGE& s) { s.sHeader.fThreadBalance = 0x77; },
         [](const CONFIG_IMAGE& s) { return s.sHeader.fThreadBalance; }, FALSE},
        {"FC connection 3", [](CONFIG_IMAGE& s) { s.sHeader.abPortConnection[1] = 3; },
         [](const CONFIG_IMAGE& s) { return s.sHeader.abPortConnection[1]; }, 0},
        {"FC data rate 4", [](CONFIG_IMAGE& s) { s.sHeader.abPortDataRate[0] = 4; },
         [](const CONFIG_IMAGE& s) { return s.sHeader.abPortDataRate[0]; }, 0},
        {"read-ahead 5", [](CONFIG_IMAGE& s) { s.asRank[0].wReadAhead = 5; },
         [](const CONFIG_IMAGE& s) { return s.asRank[0].wReadAhead; }, 0},
        {"write threshold 0", [](CONFIG_IMAGE& s) { s.asRank[0].wWriteThreshold = 0; },
         [](const CONFIG_IMAGE& s) { return s.asRank[0].wWriteThreshold; }, 5},
        {"write threshold 11", [](CONFIG_IMAGE& s) { s.asRank[0].wWriteThreshold = 11; },
         [](const CONFIG_IMAGE& s) { return s.asRank[0].wWriteThreshold; }, 5},
        {"logical drive id 0", [](CONFIG_IMAGE& s) { s.asLd[0].wLdId = 0; },
         [](const CONFIG_IMAGE& s) { return s.asLd[0].wLdId; }, 0x8000},
        {"cache block 0xF4", [](CONFIG_IMAGE& s) { s.sTqmSettings.bResponseType = 0xF4; s.sTqmSettings.bResponseTime = 9; },
         [](const CONFIG_IMAGE& s) { return s.sTqmSettings.bResponseType << 8 | s.sTqmSettings.bResponseTime; }, 0xF004},
    };
    for (const Case& c : cases) {
        CONFIG_IMAGE* ps = &s_sLive;
        std::memcpy(&s_sScratch, ps, sizeof *ps);
        c.set(*ps);
        fw::SetConfigApplyOption(FALSE);
        fw::ConfigUpgrade(ps);
        EXPECT_EQ(c.get(*ps), c.iAfter) << c.pszWhat;
        EXPECT_EQ(fw::fGetConfigApplyOption(), TRUE) << c.pszWhat;
        std::memcpy(ps, &s_sScratch, sizeof *ps);
    }
    // Values at the edge of their ranges stay.
    s_sLive.sHeader.bInitPriority = 90;
    s_sLive.asRank[0].wReadAhead = 15;
    s_sLive.sTqmSettings.bResponseType = 0xF3;
    fw::SetConfigApplyOption(FALSE);
    fw::ConfigUpgrade(&s_sLive);
    EXPECT_EQ(s_sLive.sHeader.bInitPriority, 90);
    EXPECT_EQ(s_sLive.asRank[0].wReadAhead, 15);
    EXPECT_EQ(s_sLive.sTqmSettings.bResponseType, 0xF3);
    EXPECT_EQ(fw::fGetConfigApplyOption(), FALSE);
}

TEST_F(ConfigUpgradeTest, ANewerVersionIsTakenAsChanged) {
    s_sLive.sHeader.dVersion = 15;
    fw::ConfigUpgrade(&s_sLive);
    EXPECT_EQ(fw::fGetConfigApplyOption(), TRUE);
    EXPECT_EQ(s_sLive.sHeader.wLdCount, 1);
}

TEST_F(ConfigUpgradeTest, AMissingPartnerLeavesAnEmptyImageThatPassesItsChecks) {
    fw::SetConfigValid(TRUE);
    std::memcpy(&s_sScratch, &s_sLive, sizeof s_sLive);
    EXPECT_EQ(fw::LoadConfigFromPartner(TRUE), 0);
    EXPECT_EQ(std::memcmp(&s_sScratch, &s_sLive, sizeof s_sLive), 0);
    EXPECT_EQ(fw::fIsConfigValid(), TRUE);

    EXPECT_EQ(fw::LoadConfigFromPartner(FALSE), 0);
    EXPECT_EQ(fw::fIsConfigValid(), FALSE);
    EXPECT_EQ(s_sLive.sHeader.wRankCount, 0);
    EXPECT_EQ(s_sLive.sHeader.wLdCount, 0);
    EXPECT_EQ(s_sLive.sHeader.dGeneration, 0u);
    EXPECT_EQ(fw::fIsConfigImageValid(&s_sLive), TRUE);
}

}  // namespace

namespace {

// No drive-loop chip is present on this board: the load looks at no loop,
// leaves the configuration as it is and gives back every page it took.
TEST_F(ConfigUpgradeTest, ALoopLoadWithoutALoopUpLeavesTheConfigurationAndHoldsNoPages) {
    fw::SetConfigValid(TRUE);
    const uint16_t wRanks = s_sLive.sHeader.wRankCount;
    const uint32_t dFree0 = fw::dGetAvailablePages(0), dFree1 = fw::dGetAvailablePages(1);
    fw::LoadConfigFromLoopDrives();
    EXPECT_EQ(fw::dGetAvailablePages(0), dFree0);
    EXPECT_EQ(fw::dGetAvailablePages(1), dFree1);
    EXPECT_EQ(s_sLive.sHeader.wRankCount, wRanks);
    EXPECT_EQ(fw::fIsConfigValid(), TRUE);
}

// Loops that list no drive install the default image.
TEST_F(ConfigUpgradeTest, LoopsWithoutDrivesInstallTheDefault) {
    fw::SetConfigValid(TRUE);
    fw::RebuildConfigFromDriveRecords(0);
    EXPECT_EQ(s_sLive.sHeader.wRankCount, 0);
    EXPECT_EQ(fw::fIsConfigValid(), FALSE);
    EXPECT_EQ(fw::fIsConfigImageValid(&s_sLive), TRUE);
}

}  // namespace
