// Two controllers and a new RAID 5 array: the master walks it, the slave
// follows the walk through the partner's messages (steps out, steps done,
// skips), so that it holds the same progress and could take the walk over.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "../system/road_config.h"
#include "config/rank_table.h"
#include "executive/kernel_entry.h"
#include "harness/dual_pair.h"
#include "partner/partner_state.h"
#include "raid/stripe_init.h"
#include "raid/stripe_init_steps.h"

namespace fw_b {
using fw::STRIPE_INIT_ENTRY;
STRIPE_INIT_ENTRY* psGetStripeInitEntry(uint8_t bRank);
uint8_t fIsMasterController();
uint8_t HandleStripeInitMessage(const uint8_t* pbBody);
}  // namespace fw_b

namespace {

constexpr uint64_t kRows = 96;
constexpr uint16_t kChunk = 16;

class PartnerStripeInit : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        roadtest::ArraySpec spec{"NEWR5", fw::RAID_LEVEL_5, 4, kChunk};
        spec.lBlocks = kRows * 3 * kChunk;
        std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, spec, 0x200000A55AA00001ull);
        // Recorded as made and not yet initialised: the start of day walks it.
        copytest::Image(ab)->asRank[0].bInitState = 1;
        copytest::Image(ab)->asRank[0].fInitialized = fw::FALSE;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
        ASSERT_TRUE(Boot()) << Consoles();
    }
    static const fw::STRIPE_INIT_ENTRY& Master() { return *fw::psGetStripeInitEntry(0); }
    static const fw::STRIPE_INIT_ENTRY& Slave() { return *fw_b::psGetStripeInitEntry(0); }
};

TEST_F(PartnerStripeInit, TheSlaveFollowsTheMastersWalk) {
    ASSERT_EQ(fw::fIsMasterController(), fw::TRUE);
    ASSERT_NE(fw_b::fIsMasterController(), fw::TRUE);
    ASSERT_EQ(Master().fInProgress, fw::TRUE) << Consoles();
    ASSERT_EQ(Slave().fInProgress, fw::TRUE) << Consoles();
    // The walk done, the slave's copy of it is where the master's last
    // step left it: every row initialised.
    ASSERT_TRUE(RunUntil([] { return Master().fInProgress != fw::TRUE && Quiet(fw::sGetPartnerMessageCounts()); },
                         60'000'000'000ull))
        << Consoles();
    EXPECT_EQ(Slave().lPosition, (kRows - 1) * kChunk);
    EXPECT_EQ(Slave().lPosition, Master().lPosition);
    EXPECT_EQ(Slave().dCurrentStripe, kRows - 1);
    EXPECT_EQ(Slave().bPercent, Master().bPercent);

    // A message for a rank that is not initialising, or past the rank's
    // rows, changes nothing there.
    const uint64_t before = Slave().lPosition;
    uint8_t abBad[13] = {fw::STRIPE_INIT_MESSAGE_STEP_DONE, 0, 77};
    fw::PutBe64(abBad + 3, kRows * kChunk + kChunk);
    EXPECT_EQ(fw_b::HandleStripeInitMessage(abBad), fw::STATUS_OK);
    abBad[1] = 7;
    fw::PutBe64(abBad + 3, kChunk);
    EXPECT_EQ(fw_b::HandleStripeInitMessage(abBad), fw::STATUS_OK);
    EXPECT_EQ(Slave().lPosition, before);
    EXPECT_NE(Slave().bPercent, 77);
}

}  // namespace
