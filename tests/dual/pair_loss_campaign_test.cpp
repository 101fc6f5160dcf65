// The campaign of losses (pair_loss_campaign.h): its first seeds, 25 tests
// of 8 cases each, split so that they run side by side.
#include "pair_loss_campaign.h"

namespace {

using dual::PairLossCampaign;

TEST_P(PairLossCampaign, EveryAcknowledgedWriteSurvivesEachLoss) {
    for (int i = 0; i < dual::kLossCasesPerTest; ++i) ASSERT_NO_FATAL_FAILURE(RunCase(i));
}

INSTANTIATE_TEST_SUITE_P(Seeds, PairLossCampaign, ::testing::Range(0, 25));

}  // namespace
