// Power management messages between the two controllers: a notice of an
// array's power state sent by one is taken by the other; one naming an
// array out of range is refused and changes nothing.
#include <gtest/gtest.h>

#include "enclosure/drive_management.h"
#include "enclosure/power_management.h"
#include "harness/dual_pair.h"
#include "partner/partner_messages.h"

namespace fw_b {
uint8_t bGetArrayAPMState(uint8_t bArray);
using fw::PARTNER_MESSAGE_COUNTS;
const PARTNER_MESSAGE_COUNTS& sGetPartnerMessageCounts();
}  // namespace fw_b

namespace {

constexpr uint64_t kMessageLimitNs = 2'000'000'000ull;

class PartnerApm : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }
    bool Notify(uint8_t bArray, uint8_t bState) {
        const uint8_t abArgs[3] = {bArray, bState, 0};
        if (fw::bSendAPMMessageToPartner(nullptr, nullptr, 0, 120, 34, abArgs) != fw::STATUS_OK) return false;
        return RunUntil([] { return fw::sGetPartnerMessageCounts().wOutgoingTotal == 0 &&
                                    fw_b::sGetPartnerMessageCounts().wIncomingTotal == 0; },
                        kMessageLimitNs);
    }
};

TEST_F(PartnerApm, AnArrayStateNoticeIsTakenAndAnArrayOutOfRangeRefused) {
    ASSERT_EQ(fw_b::bGetArrayAPMState(3), fw::APM_SPUN_UP);
    ASSERT_TRUE(Notify(3, fw::APM_SPUN_DOWN));
    EXPECT_EQ(fw_b::bGetArrayAPMState(3), fw::APM_SPUN_DOWN);
    ASSERT_TRUE(Notify(64, fw::APM_SPUN_UP));
    ASSERT_TRUE(Notify(3, 9));
    EXPECT_EQ(fw_b::bGetArrayAPMState(3), fw::APM_SPUN_DOWN);
    // A request that waits for data is not sent.
    uint8_t ab[16];
    EXPECT_EQ(fw::bSendAPMMessageToPartner(nullptr, ab, sizeof ab, 123, 1, nullptr), 0);
}

}  // namespace
