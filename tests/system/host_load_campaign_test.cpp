// The campaign of host load (host_load_campaign.h): five seeds, which
// between them put every RAID level behind both kinds of host port, one
// array degraded, one rebuilding and a member pulled under load.
#include "host_load_campaign.h"

namespace {

using hostload::HostLoadCampaign;

TEST_P(HostLoadCampaign, EveryCommandIsAnsweredAndEveryBlockReadsBack) {
    ASSERT_NO_FATAL_FAILURE(Boot());
    ASSERT_NO_FATAL_FAILURE(RunCase(hostload::kCommandsPerCase));
    ASSERT_NO_FATAL_FAILURE(RunDepthOne(hostload::kDepthOneCommands));
    ASSERT_NO_FATAL_FAILURE(ExpectEverythingWritten());
}

INSTANTIATE_TEST_SUITE_P(Seeds, HostLoadCampaign, ::testing::Values(0, 1, 2, 3, 11));

}  // namespace
