// Applying crafted images: array states against the drives present, the
// events and stored changes that go with them, and the range-checked
// settings.
#include "config/apply_settings.h"
#include "cache/write_sort.h"
#include "config/config_db.h"
#include "config/drive_tables.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "harness/config_test.h"
#include "executive/system_state.h"
#include "fc/fc_driver.h"

namespace cfgtest {

using namespace harness;

namespace {

class ApplyTest : public ConfigTest {
protected:
    void Apply() { fw::ApplyStoredSettings(fw::FALSE, fw::TRUE); }
    bool InFailedList(uint8_t r, uint8_t m) { return fw::fIsDriveWwnFailed(MemberWwn(r, m).ab) == fw::TRUE; }
    int Count(uint8_t bCode) {
        int n = 0;
        for (uint8_t b : EventCodes()) n += b == bCode;
        return n;
    }
};

TEST_F(ApplyTest, MissingMembersAgainstWhatEachLevelSurvives) {
    struct Case {
        const char* pszName;
        uint8_t bLevel;
        uint8_t bDrives;
        uint8_t bParity;
        std::vector<uint8_t> abAbsent;
        uint8_t bState;
    };
    const Case asCases[] = {
        {"RAID 5 all present", fw::RAID_LEVEL_5, 4, 1, {}, fw::RANK_STATE_OPTIMAL},
        {"RAID 5 one absent", fw::RAID_LEVEL_5, 4, 1, {2}, fw::RANK_STATE_DEGRADED},
        {"RAID 5 two absent", fw::RAID_LEVEL_5, 4, 1, {0, 3}, fw::RANK_STATE_FAILED},
        {"RAID 10 one of two pairs each", fw::RAID_LEVEL_10, 4, 0, {0, 2}, fw::RANK_STATE_DEGRADED},
        {"RAID 10 a whole pair", fw::RAID_LEVEL_10, 4, 0, {0, 1}, fw::RANK_STATE_FAILED},
        {"RAID 6 two absent", fw::RAID_LEVEL_6, 6, 2, {1, 4}, fw::RANK_STATE_DEGRADED},
        {"RAID 6 three absent", fw::RAID_LEVEL_6, 6, 2, {1, 2, 4}, fw::RANK_STATE_FAILED},
        {"RAID 50 one per group", fw::RAID_LEVEL_50, 8, 2, {0, 7}, fw::RANK_STATE_DEGRADED},
        {"RAID 50 two in one group", fw::RAID_LEVEL_50, 8, 2, {4, 6}, fw::RANK_STATE_FAILED},
        {"RAID 0 one absent", fw::RAID_LEVEL_0, 3, 0, {1}, fw::RANK_STATE_FAILED},
    };
    for (const Case& c : asCases) {
        SetUp();
        const uint8_t r = AddRank(c.bLevel, c.bDrives, 128, 100000, c.bParity);
        std::vector<std::pair<uint8_t, uint8_t>> aAbsent;
        for (uint8_t m : c.abAbsent) aAbsent.push_back({r, m});
        PresentAllExcept(aAbsent);
        const fw::CONFIG_RANK_RECORD sBefore = s_sLive.asRank[r];
        Apply();
        EXPECT_EQ(fw::bGetRankOperationState(r), c.bState) << c.pszName;
        for (uint8_t m = 0; m < c.bDrives; m++) {
            bool fAbsent = false;
            for (uint8_t a : c.abAbsent) fAbsent |= a == m;
            EXPECT_EQ(fw::bGetRankMemberFlags(r, m), fAbsent ? fw::MEMBER_FLAGS_MISSING : 0) << c.pszName << " " << int(m);
            EXPECT_EQ(fw::bGetRankMemberDrive(r, m), fAbsent ? 0xFF : m) << c.pszName << " " << int(m);
            if (c.bState == fw::RANK_STATE_FAILED) {
                // A failed array keeps its stored picture.
                EXPECT_EQ(s_sLive.asRank[r].abMemberState[m], sBefore.abMemberState[m]) << c.pszName;
                EXPECT_FALSE(InFailedList(r, m)) << c.pszName;
            } else {
                EXPECT_EQ(s_sLive.asRank[r].abMemberState[m], fAbsent ? fw::MEMBER_STATE_MISSING : 0) << c.pszName;
                EXPECT_EQ(InFailedList(r, m), fAbsent && c.bLevel != fw::RAID_LEVEL_0) << c.pszName << " " << int(m);
            }
        }
        if (c.bState == fw::RANK_STATE_FAILED) {
            EXPECT_EQ(s_sLive.asRank[r].bInitState, sBefore.bInitState) << c.pszName;
        }
        EXPECT_EQ(Count(11), static_cast<int>(c.abAbsent.size())) << c.pszName;
    }
}

TEST_F(ApplyTest, DegradedRaid5RecordsTheMissingMemberAndAsksForACommit) {
    const uint8_t r = AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
    PresentAllExcept({{r, 2}});
    Apply();
    EXPECT_EQ(fw::bGetRankOperationState(r), fw::RANK_STATE_DEGRADED);
    EXPECT_EQ(s_sLive.asRank[r].bInitState, 0);
    EXPECT_EQ(s_sLive.sHeader.wFailedDriveCount, 1);
    EXPECT_EQ(s_sLive.asFailedDrive[0].abFailure[0], 0x99);
    EXPECT_EQ(s_sLive.asFailedDrive[0].abFailure[1], 0x22);
    const fw::EVENT_LOG_ENTRY* psMissing = FindEvent(11);
    ASSERT_NE(psMissing, nullptr);
    EXPECT_EQ(std::memcmp(psMissing->abArgs, MemberWwn(r, 2).ab, 8), 0);
    EXPECT_EQ(psMissing->abArgs[8], r);
    EXPECT_EQ(psMissing->abArgs[9], 2);
    ASSERT_NE(FindEvent(27), nullptr);
    EXPECT_EQ(FindEvent(27)->abArgs[0], r);
    EXPECT_EQ(fw::fGetConfigApplyOption(), fw::TRUE);
    // Applying the changed image again finds nothing new.
    const size_t nEvents = EventCodes().size();
    Apply();
    EXPECT_EQ(fw::bGetRankOperationState(r), fw::RANK_STATE_DEGRADED);
    EXPECT_EQ(Count(11), 1);
    EXPECT_GE(EventCodes().size(), nEvents);
}

TEST_F(ApplyTest, PresentMembersAreClaimedAndMuxTargetsNoted) {
    const uint8_t r = AddRank(fw::RAID_LEVEL_10, 2, 128, 100000);
    PresentAllExcept();
    fw::pGetDriveAddressList()->asEntry[1].bTarget = 0x81;
    fw::pGetSASDriveInfoList()->asEntry[1].bTargetId = 0x81;
    const Wwn sStray{{0x20, 0, 0, 0x11, 0x22, 0x33, 0x77, 0x77}};
    AddPresentDrive(sStray, 9);
    Apply();
    EXPECT_EQ(fw::fGetRankMemberOnMux(r), fw::TRUE);
    EXPECT_EQ(fw::pGetDriveAddressList()->asEntry[0].fClaimed, fw::TRUE);
    // The unclaimed drive is the one unassigned slot.
    EXPECT_EQ(fw::bGetSpareDriveTableCount(), 1);
    EXPECT_EQ(fw::pGetDriveSlotTables()->abDrive[0], 9);
    uint8_t a = 0, b = 0;
    fw::FindDriveInRanks(0x81, &a, &b);
    EXPECT_EQ(a, r);
    EXPECT_EQ(b, 1);
    fw::FindDriveInRanks(9, &a, &b);
    EXPECT_EQ(a, 255);
    EXPECT_EQ(b, 0);
}

TEST_F(ApplyTest, NoArrayGivesTheDefaultSettings) {
    s_sLive.sHeader.bRebuildPriority = 70;
    s_sLive.sHeader.fAutoRebuild = fw::TRUE;
    s_sLive.sHeader.wControllerLun = 7;
    Apply();
    EXPECT_EQ(fw::bGetRankCount(), 0);
    for (uint8_t r = 0; r < 64; r++) EXPECT_EQ(fw::bGetRankOperationState(r), fw::RANK_STATE_FAILED) << int(r);
    EXPECT_EQ(fw::bGetRebuildPriority(), 50);
    EXPECT_EQ(fw::fGetAutoRebuild(), fw::FALSE);
    EXPECT_EQ(fw::wGetControllerLun(), 0);
    EXPECT_EQ(fw::fGetDiskIoModuleUpdateFlag(), fw::TRUE);
    EXPECT_EQ(fw::bGetHostPortHardAddress(1), 0x84);
    EXPECT_EQ(fw::bGetSpcLevel(), 5);
    uint8_t bRank = 0;
    EXPECT_EQ(fw::fGetCacheFlushArray(&bRank), fw::FALSE);
    EXPECT_EQ(bRank, 0xFF);
}

// The outstanding queues are of the list kind exactly when setting 206
// asks for it; whatever the kind was before, the apply decides.
TEST_F(ApplyTest, TheOutstandingQueueKindFollowsSetting206) {
    for (uint8_t b206 : {fw::TRUE, fw::FALSE, uint8_t(1)}) {
        fw::SetCacheSetting206(b206);
        fw::SetCacheSetting208(b206 == fw::TRUE ? fw::TRUE : fw::FALSE);
        Apply();
        EXPECT_EQ(fw::fGetCacheSetting208(), b206 == fw::TRUE ? fw::FALSE : fw::TRUE) << int(b206);
    }
}

// The apply turns the write sort on exactly when neither setting 20d nor
// aging priority turns it off; start of day follows the same rule.
TEST_F(ApplyTest, TheWriteSortIsOffUnderSetting20dOrAgingPriority) {
    struct Case {
        uint8_t b20d, fAging, fSort;
    } const acCases[] = {
        {fw::FALSE, fw::FALSE, fw::TRUE},
        {fw::TRUE, fw::FALSE, fw::FALSE},
        {fw::FALSE, fw::TRUE, fw::FALSE},
        {fw::TRUE, fw::TRUE, fw::FALSE},
        {uint8_t(1), uint8_t(1), fw::TRUE},   // only TRUE turns it off
    };
    for (const Case& c : acCases) {
        fw::SetCacheSetting20d(c.b20d);
        fw::SetAgingPrioritySetting(c.fAging);
        fw::SetWriteSortEnabled(c.fSort == fw::TRUE ? fw::FALSE : fw::TRUE);
        Apply();
        EXPECT_EQ(fw::fGetWriteSortEnabled(), c.fSort) << int(c.b20d) << " " << int(c.fAging);
        fw::SetWriteSortEnabled(c.fSort == fw::TRUE ? fw::FALSE : fw::TRUE);
        fw::InitWriteSort();
        EXPECT_EQ(fw::fGetWriteSortEnabled(), c.fSort) << int(c.b20d) << " " << int(c.fAging);
    }
    fw::SetCacheSetting20d(fw::FALSE);
    fw::SetAgingPrioritySetting(fw::FALSE);
}

TEST_F(ApplyTest, SettingsAreRangeCheckedAndBooleansMustBeExact) {
    struct Case {
        uint32_t dOffset;
        uint8_t bStored;
        uint8_t (*pfnGet)();
        uint8_t bExpected;
    };
    const Case asCases[] = {
        {168, 95, fw::bGetRebuildPriority, 50}, {168, 10, fw::bGetRebuildPriority, 10},
        {168, 90, fw::bGetRebuildPriority, 90}, {168, 9, fw::bGetRebuildPriority, 50},
        {222, 91, fw::bGetInitPriority, 50},    {222, 40, fw::bGetInitPriority, 40},
        {162, fw::TRUE, fw::fGetAutoRebuild, fw::TRUE}, {162, 1, fw::fGetAutoRebuild, fw::FALSE},
        {171, fw::TRUE, fw::fGetWriteBackWithoutPartner, fw::TRUE},
        {171, 0xFF, fw::fGetWriteBackWithoutPartner, fw::FALSE},
        {210, 0, fw::fGetDiskIoModuleUpdateFlag, fw::FALSE},
        {228, 0x01, fw::fGetMultipleStripeAccess, fw::FALSE},
        {228, fw::TRUE, fw::fGetMultipleStripeAccess, fw::TRUE},
        {223, fw::TRUE, fw::fGetCacheFlushCommandDisabled, fw::FALSE},
        {223, 0x33, fw::fGetCacheFlushCommandDisabled, fw::TRUE},
        {243, 4, fw::bGetSpcLevel, 4}, {243, 6, fw::bGetSpcLevel, 5},
    };
    for (const Case& c : asCases) {
        SetUp();
        AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
        PresentAllExcept();
        reinterpret_cast<uint8_t*>(&s_sLive)[c.dOffset] = c.bStored;
        Apply();
        EXPECT_EQ(c.pfnGet(), c.bExpected) << "byte " << c.dOffset << " = " << int(c.bStored);
    }
}

TEST_F(ApplyTest, DataRatesAreFilteredByHostInterface) {
    struct Case {
        uint8_t bInterface;
        uint8_t bStored;
        uint8_t bApplied;
    };
    // The host chips of this board run 4 Gb/s.
    const Case asCases[] = {{1, 2, 2}, {1, 3, 3}, {1, 4, 0}, {1, 0xFF, 0}, {2, 1, 1}, {2, 3, 2}, {2, 0x80, 2}};
    for (const Case& c : asCases) {
        SetUp();
        AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
        PresentAllExcept();
        fw::SetHostInterfaceType(c.bInterface);
        fw::SetQL24xx(fw::TRUE);
        s_sLive.sHeader.abPortDataRate[1] = c.bStored;
        Apply();
        EXPECT_EQ(fw::bGetHostPortSpeedSetting(2), c.bApplied) << int(c.bInterface) << " " << int(c.bStored);
    }
    EXPECT_EQ(board.ConsoleText().find("RESET"), std::string::npos);
}

TEST_F(ApplyTest, LogicalDrivesOfAFailedArrayBecomeUnavailable) {
    AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);
    const uint8_t r1 = AddRank(fw::RAID_LEVEL_0, 2, 128, 10000);
    const uint16_t lGood = AddLd({{0, 1000}});
    const uint16_t lSpan = AddLd({{1000, 1000}, {10000, 500}});
    PresentAllExcept({{r1, 0}});
    Apply();
    EXPECT_EQ(fw::bGetRankOperationState(r1), fw::RANK_STATE_FAILED);
    EXPECT_EQ(fw::bGetLogicalDriveState(lGood), fw::LD_STATE_AVAILABLE);
    EXPECT_EQ(fw::bGetLogicalDriveState(lSpan), fw::LD_STATE_UNAVAILABLE);
}

TEST_F(ApplyTest, CacheFlushArrayNeedsAllThreeToAgree) {
    struct Case {
        uint8_t fUsed;
        uint16_t wRank;
        uint8_t fRankFlag;
        uint8_t fExpected;
    };
    const Case asCases[] = {{fw::TRUE, 1, fw::TRUE, fw::TRUE}, {fw::FALSE, 1, fw::TRUE, fw::FALSE},
                            {fw::TRUE, 1, fw::FALSE, fw::FALSE}, {fw::TRUE, 2, fw::TRUE, fw::FALSE}};
    for (const Case& c : asCases) {
        SetUp();
        AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);
        AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);
        PresentAllExcept();
        s_sLive.sHeader.fCacheFlushArrayUsed = c.fUsed;
        s_sLive.sHeader.wCacheFlushArray = c.wRank;
        s_sLive.asRank[1].fCacheFlushArray = c.fRankFlag;
        Apply();
        uint8_t bRank = 0;
        EXPECT_EQ(fw::fGetCacheFlushArray(&bRank), c.fExpected);
        EXPECT_EQ(bRank, c.fExpected == fw::TRUE ? 1 : 0xFF);
    }
}

}  // namespace
}  // namespace cfgtest
