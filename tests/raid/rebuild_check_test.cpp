// The choice of hot spares for an array: dedicated spares kept apart from
// global ones, the smallest that holds the member and the configuration
// copy first, the earlier of equals first; never a spare dedicated to
// another array, one too small, or one that cannot be used.
#include <gtest/gtest.h>

#include <vector>

#include "executive/types.h"
#include "raid/rebuild_check.h"

namespace {

constexpr uint8_t G = 255;   // a global spare
constexpr uint8_t T = fw::TRUE, F = fw::FALSE;
constexpr uint32_t kNeeded = 100000;
constexpr uint64_t kRequired = kNeeded + fw::SPARE_MARGIN_BLOCKS;

struct Case {
    const char* what;
    std::vector<fw::SPARE_CANDIDATE> spares;
    uint8_t wanted;
    std::vector<uint8_t> dedicated, global;   // rows chosen, 255 none
};

TEST(RebuildSpareChoice, DedicatedBeforeGlobalSmallestAndEarlierOfEquals) {
    const uint32_t big = 300000, small = 160000;
    const Case kCases[] = {
        {"a global spare", {{G, T, big}}, 1, {255}, {0}},
        {"the smallest global", {{G, T, big}, {G, T, small}}, 1, {255}, {1}},
        {"equals: the earlier", {{G, T, small}, {G, T, small}}, 1, {255}, {0}},
        {"dedicated kept apart", {{G, T, small}, {3, T, big}}, 1, {1}, {0}},
        {"dedicated elsewhere never", {{4, T, small}}, 1, {255}, {255}},
        {"unusable never", {{G, F, small}, {3, F, small}}, 1, {255}, {255}},
        {"just too small", {{G, T, uint32_t(kRequired - 1)}}, 1, {255}, {255}},
        {"just large enough", {{G, T, uint32_t(kRequired)}}, 1, {255}, {0}},
        {"the member size alone is too small", {{G, T, kNeeded + 32767}}, 1, {255}, {255}},
        {"RAID 6: the two smallest of each", {{G, T, big}, {3, T, big}, {G, T, small}, {G, T, small + 1}, {3, T, small}},
         2, {4, 1}, {2, 3}},
        {"none", {}, 2, {255, 255}, {255, 255}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        uint8_t d[2] = {7, 7}, g[2] = {7, 7};
        fw::ChooseSpares(c.spares.data(), uint8_t(c.spares.size()), 3, kRequired, c.wanted, d, g);
        EXPECT_EQ(std::vector<uint8_t>(d, d + c.wanted), c.dedicated);
        EXPECT_EQ(std::vector<uint8_t>(g, g + c.wanted), c.global);
    }
}

}  // namespace
