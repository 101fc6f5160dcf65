// The host-load campaign (tests/system/host_load_campaign.h) over more
// seeds than the test suite runs, with what each took: `host_load_bench
// [SEEDS [FIRST]]` (default 40 seeds from 4, the first the suite does not
// run).  Each seed boots one controller and runs its case; a seed that
// finds a fault fails as its test would, with the story of its case.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/system/host_load_campaign.h"

namespace {

int s_iSeeds = 40;
int s_iFirst = 4;

class MoreSeeds : public hostload::HostLoadCampaign {};

TEST_P(MoreSeeds, EveryCommandIsAnsweredAndEveryBlockReadsBack) {
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(Boot());
    const uint64_t lStartNs = board->clock().Now();
    ASSERT_NO_FATAL_FAILURE(RunCase(hostload::kCommandsPerCase));
    const uint64_t lLoadNs = board->clock().Now() - lStartNs;
    ASSERT_NO_FATAL_FAILURE(ExpectEverythingWritten());
    const double dWallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("seed %d: %s; %u commands, %u refused and sent again, load %.1f s of board time, %.1f s on the wall\n",
                GetParam(), story.c_str(), done, refused, lLoadNs / 1e9, dWallS);
}

INSTANTIATE_TEST_SUITE_P(Campaign, MoreSeeds, ::testing::Range(0, 1000));

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 1) s_iSeeds = std::atoi(argv[1]);
    if (argc > 2) s_iFirst = std::atoi(argv[2]);
    std::string filter = "--gtest_filter=";
    for (int i = s_iFirst; i < s_iFirst + s_iSeeds && i < 1000; ++i) {
        filter += (i == s_iFirst ? "" : ":") + std::string("Campaign/MoreSeeds.EveryCommandIsAnsweredAndEveryBlockReadsBack/") +
                  std::to_string(i);
    }
    int gtestArgc = 2;
    char* gtestArgv[] = {argv[0], filter.data(), nullptr};
    ::testing::InitGoogleTest(&gtestArgc, gtestArgv);
    return RUN_ALL_TESTS();
}
