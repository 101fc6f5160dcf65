// A controller's battery report reaches its partner's system state: the
// capacity it names becomes the partner battery capacity there (a report
// past full is taken as full), and with it whether the partner's battery
// is above the threshold that write-back caching asks of it.
#include <gtest/gtest.h>

#include <cstring>

#include "executive/system_state.h"
#include "harness/dual_pair.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "platform/battery.h"

namespace fw_b {
uint8_t bGetPartnerBatteryCapacity();
uint8_t fIsPartnerBatteryAboveThreshold();
}  // namespace fw_b

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;

class PartnerBatteryState : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }
    // Controller 0 reports its battery as the battery code sends it.
    static void Report(uint8_t bCapacity) {
        const fw::BATTERY_STATE sState{bCapacity, fw::TRUE, fw::FALSE, fw::FALSE};
        fw::INTER_CONTROLLER_MESSAGE s = fw::sTypedPartnerMessage(fw::PARTNER_MESSAGE_BATTERY_STATE);
        std::memcpy(s.abCdb + 2, &sState, sizeof sState);
        uint16_t wSlot = fw::PARTNER_NO_SLOT;
        ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
    }
};

TEST_F(PartnerBatteryState, TheCapacityReportedBecomesThePartnersHere) {
    ASSERT_EQ(fw_b::bGetPartnerBatteryCapacity(), 100);

    Report(5);
    ASSERT_TRUE(RunUntil([] { return fw_b::bGetPartnerBatteryCapacity() == 5; }, 5 * kSecond)) << Consoles();
    EXPECT_EQ(fw_b::fIsPartnerBatteryAboveThreshold(), fw::FALSE);

    // A gauge reading past full is a full battery.
    Report(200);
    ASSERT_TRUE(RunUntil([] { return fw_b::bGetPartnerBatteryCapacity() == 100; }, 5 * kSecond)) << Consoles();
    EXPECT_EQ(fw_b::fIsPartnerBatteryAboveThreshold(), fw::TRUE);
}

}  // namespace
