// This controller's statistics pages as an operator reads them, after the
// read-ahead, clustering and event recorders have counted a known mix: the
// whole page, and each part page alone.
#include <gtest/gtest.h>

#include <string>

#include "dump_test_board.h"
#include "eventlog/statistics.h"
#include "eventlog/statistics_dump.h"
#include "executive/types.h"

namespace {

class StatisticsPagesTest : public dumptest::DumpTest {
protected:
    void SetUp() override {
        DumpTest::SetUp();
        fw::InitStatistics();
        // Read-ahead: four starts, three hits, 16-block reads ahead of
        // 4-block requests, and the intervals between commands.
        for (int i = 0; i < 4; ++i) fw::CountReadAheadStart();
        for (int i = 0; i < 3; ++i) fw::CountReadAheadHit();
        fw::AddReadAheadDepth(16, 4);
        for (uint32_t d : {1u, 2u, 2u, 5u, 40u}) fw::RecordCommandInterval(d);
        // Write clusters of 1, 4, 4 and 20 commands, one partial; their
        // intervals; a quarter of the RAID write blocks in full rows.
        for (uint16_t w : {1, 4, 4, 20}) fw::RecordClusterCount(w);
        fw::CountPartialCluster();
        for (uint16_t w : {3, 3, 12}) fw::RecordClusterInterval(w);
        fw::AddRaidWriteBlocks(400);
        fw::AddRaidFullStripeBlocks(100);
        // Events, one past a thousand.
        for (int i = 0; i < 1001; ++i) fw::CountWriteWriteCollision();
        fw::CountTargetQueueFull();
        fw::CountInvalidCommand();
        fw::CountInvalidCommand();
        // Two reads served from the cache, 2 MB between them.
        fw::CountReadCacheHit(1954);
        fw::CountReadCacheHit(1954);
    }
    // The part of the whole page from `from` up to `to` (its end when empty).
    static std::string Part(const std::string& s, const std::string& from, const std::string& to) {
        const size_t a = s.find(from);
        const size_t b = to.empty() ? s.find("\nEnd Of Statistics") : s.find(to);
        EXPECT_NE(a, std::string::npos) << from;
        return s.substr(a, b - a);
    }
};

const std::string kHead =
    "Controller 0 Statistics\n"
    "\n"
    "Current Time    : 000:00:00:00 \n"
    "Time Since Reset: 000:00:00:00 \n";
const std::string kEnd = "\nEnd Of Statistics\n\n";

// The access figures are the system test's (the record has no host command
// here); the read-ahead hit rate and the write cluster rate count against
// host reads and writes, so they stay off this page.
const std::string kGolden =
    "Controller 0 Statistics\n"
    "\n"
    "Current Time    : 000:00:00:00 \n"
    "Time Since Reset: 000:00:00:00 \n"
    "\n"
    "\n"
    "Read Access Statistics:\n"
    "Total Read Commands: 0\n"
    "Total Read Transfer: 0 MB\n"
    "Total Read Commands Since Reset: 0\n"
    "Total Read Transfer Since Reset: 0 MB\n"
    "\n"
    "\n"
    "\n"
    "\n"
    "Write Access Statistics:\n"
    "Total Write Commands: 0\n"
    "Total Write Transfer: 0 MB\n"
    "Total Write Commands Since Reset: 0\n"
    "Total Write Transfer Since Reset: 0 MB\n"
    "\n"
    "\n"
    "\n"
    "\n"
    "Read-Ahead Statistics:\n"
    "Read-Ahead Efficiency : 100%\n"
    "Avg. Command Interval: 12\n"
    "Max. Command Interval: 40\n"
    "Command Interval 1   : 25%\n"
    "Command Interval 2   : 50%\n"
    "Command Interval 5   : 25%\n"
    "\n"
    "Read Cache Cmds      : 2\n"
    "Read Cache Data      : 2 MB\n"
    "\n"
    "\n"
    "\n"
    "\n"
    "\n"
    "Command Cluster Statistics:\n"
    "Partial Cluster Rate : 33%\n"
    "RAID 5 FS Write Rate : 25%\n"
    "Avg. Cluster Interval: 6\n"
    "Max. Cluster Interval: 12\n"
    "Cluster Interval 3   : 66%\n"
    "Cluster Interval > 8 : 33%\n"
    "Avg. Cluster Count   : 9\n"
    "Max. Cluster Count   : 20\n"
    "Cluster Count 04     : 66%\n"
    "Cluster Count > 16   : 33%\n"
    "\n"
    "\n"
    "Miscellaneous Statistics:\n"
    "Target Queue Full        : 1\n"
    "Write/Write Collision    : 1,001\n"
    "Invalid Command          : 2\n"
    "\n"
    "End Of Statistics\n"
    "\n";

TEST_F(StatisticsPagesTest, TheWholePageAndItsParts) {
    const std::string sAll = Dump(fw::STATISTICS_ALL);
    EXPECT_EQ(sAll, kGolden);
    const std::string sReadAhead = Part(sAll, "\n\nRead-Ahead", "\n\n\n\nCommand Cluster");
    const std::string sClusters = Part(sAll, "\n\n\n\nCommand Cluster", "\n\nMiscellaneous");
    const std::string sMisc = Part(sAll, "\n\nMiscellaneous", "");
    EXPECT_EQ(Dump(fw::STATISTICS_READ_AHEAD), kHead + sReadAhead + kEnd);
    EXPECT_EQ(Dump(fw::STATISTICS_CLUSTERS), kHead + sClusters + kEnd);
    EXPECT_EQ(Dump(fw::STATISTICS_MISCELLANEOUS), kHead + sMisc + kEnd);
    // The access page stops where the read-ahead part begins.
    const std::string sAccess = Dump(fw::STATISTICS_ACCESS);
    EXPECT_EQ(sAccess, sAll.substr(0, sAll.find("\n\nRead-Ahead")) + kEnd);
}

}  // namespace
