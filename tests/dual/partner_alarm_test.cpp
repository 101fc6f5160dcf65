// The audible alarm is the master's: a mute, enable or disable given on the
// other controller is carried out by the master, and a request naming no
// enclosure goes nowhere.
#include <gtest/gtest.h>

#include "enclosure/audible_alarm.h"
#include "enclosure/drive_management.h"
#include "harness/dual_pair.h"
#include "partner/partner_link.h"

namespace fw_b {
uint8_t fIsMasterController();
uint8_t bSetAudibleAlarm(uint8_t bKind, uint8_t bEnclosure);
uint8_t fIsAudibleAlarmDisabled();
}  // namespace fw_b

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;

class PartnerAlarm : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }
};

TEST_F(PartnerAlarm, TheSlavesRequestIsCarriedOutByTheMaster) {
    const bool fAMaster = fw::fIsMasterController() == fw::TRUE;
    ASSERT_NE(fAMaster, fw_b::fIsMasterController() == fw::TRUE);
    const auto MasterDisabled = [fAMaster] {
        return (fAMaster ? fw::fIsAudibleAlarmDisabled() : fw_b::fIsAudibleAlarmDisabled()) == fw::TRUE;
    };
    const auto SlaveDisabled = [fAMaster] {
        return (fAMaster ? fw_b::fIsAudibleAlarmDisabled() : fw::fIsAudibleAlarmDisabled()) == fw::TRUE;
    };
    const auto OnSlave = [fAMaster](uint8_t bKind, uint8_t bEnclosure) {
        return fAMaster ? fw_b::bSetAudibleAlarm(bKind, bEnclosure) : fw::bSetAudibleAlarm(bKind, bEnclosure);
    };
    ASSERT_FALSE(MasterDisabled());

    // Disable on the slave: the master's alarm is disabled, the slave keeps
    // none of its own.
    EXPECT_EQ(OnSlave(fw::ALARM_DISABLE_ALL, 0), fw::STATUS_OK);
    ASSERT_TRUE(RunUntil(MasterDisabled, 5 * kSecond)) << Consoles();
    EXPECT_FALSE(SlaveDisabled());

    // An enclosure past the eight the alarm knows, or no such request:
    // refused on the slave, nothing sent.
    EXPECT_EQ(OnSlave(fw::ALARM_ENABLE_ALL, 8), 0);
    EXPECT_EQ(OnSlave(4, 0), 0);
    RunUntil([] { return false; }, kSecond);
    EXPECT_TRUE(MasterDisabled());

    // Enable again from the slave.
    EXPECT_EQ(OnSlave(fw::ALARM_ENABLE_ALL, 0), fw::STATUS_OK);
    ASSERT_TRUE(RunUntil([&] { return !MasterDisabled(); }, 5 * kSecond)) << Consoles();
}

}  // namespace
