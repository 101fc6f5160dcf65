// The write-back cache's bank kept in a file of the data directory: a board
// made again finds what the last one wrote there; a file of another size
// (the memory size changed) is no kept bank: it is made again at the new
// size and the bank counts as lost.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/board.h"

namespace {

constexpr uint64_t kStamp = 0x5EA1ED0BA4C0FFEEull;

uint64_t Stamp(sim::Board& board) {
    uint64_t v = 0;
    std::memcpy(&v, board.memory().Translate(board.memory().bank0Address() + 64, 8), 8);
    return v;
}

TEST(BankFile, KeptByTheNextBoardAndMadeAgainWhenItsSizeChanged) {
    char pattern[] = "/tmp/bank-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    sim::BoardConfig config;
    config.dataDir = dir;
    {
        sim::Board board(config);
        std::memcpy(board.memory().Translate(board.memory().bank0Address() + 64, 8), &kStamp, 8);
    }
    {
        sim::Board board(config);
        EXPECT_TRUE(board.memory().bank0Kept());
        EXPECT_EQ(Stamp(board), kStamp);
    }
    struct stat before {};
    ASSERT_EQ(stat((dir + "/bank0.bin").c_str(), &before), 0);
    config.sdramBytes = 256u << 20;
    {
        sim::Board board(config);
        EXPECT_FALSE(board.memory().bank0Kept());
        EXPECT_NE(Stamp(board), kStamp);
    }
    struct stat after {};
    ASSERT_EQ(stat((dir + "/bank0.bin").c_str(), &after), 0);
    EXPECT_GT(after.st_size, before.st_size);
    EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
}

}  // namespace
