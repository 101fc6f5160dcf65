// The runs of words a chip's RISC memory is kept in: loads in any order and
// overlap read back as a word map would, and the checksum counts each word
// once.
#include <gtest/gtest.h>

#include <cstdint>
#include <iomanip>
#include <map>
#include <random>

#include "sim/word_runs.h"

namespace {

TEST(WordRuns, ReadBackAsAWordMapWhateverTheOrderAndOverlapOfTheLoads) {
    sim::WordRuns runs;
    std::map<uint32_t, uint32_t> expected;
    std::mt19937 random(7);
    for (int load = 0; load < 150; ++load) {
        const uint32_t address = 0x2000 + random() % 3000;
        const uint32_t count = 1 + random() % 64;
        const uint32_t seed = random();
        if (load % 3 == 0) {
            runs.Set(address, seed);
            expected[address] = seed;
            continue;
        }
        runs.Write(address, count, [seed](uint32_t i) { return seed ^ i; });
        for (uint32_t i = 0; i < count; ++i) expected[address + i] = seed ^ i;
    }
    uint32_t sum = 0;
    for (uint32_t a = 0x1F00; a < 0x2C00; ++a) {
        const auto it = expected.find(a);
        ASSERT_EQ(runs.Get(a), it == expected.end() ? 0u : it->second) << std::hex << a;
        if (it != expected.end()) sum += it->second;
    }
    EXPECT_EQ(runs.Sum(), sum);
    runs.Clear();
    EXPECT_TRUE(runs.Empty());
    EXPECT_EQ(runs.Get(0x2000), 0u);
}

}  // namespace
