// The controller's lifetime read and write totals outlive a power cut: what
// the hosts sent before it is still counted after the next start, and the
// statistics clear leaves them alone.
#include "eventlog/statistics.h"
#include "eventlog/statistics_record.h"
#include "host_road.h"

namespace {

using namespace roadtest;

const ArraySpec kRaid5 = {"Raid5", fw::RAID_LEVEL_5, 4, 16};

class LifetimeTotals : public RestartRoad {
protected:
    static fw::STATISTICS_RECORD Totals() {
        fw::STATISTICS_RECORD s{};
        fw::FillStatisticsRecord(fw::STATISTICS_BOTH_SIDES, fw::ALL_STATISTICS_LUNS, &s);
        return s;
    }
};

TEST_F(LifetimeTotals, SurviveAPowerCutAndAStatisticsClear) {
    ASSERT_NO_FATAL_FAILURE(Boot(kRaid5));
    const fw::STATISTICS_RECORD sBefore = Totals();
    uint64_t lWritten = 0;
    for (uint32_t i = 0; i < 10; ++i) {
        Write(i * 100, 1 + i * 7, i);
        lWritten += 1 + i * 7;
    }
    for (uint32_t i = 0; i < 6; ++i) ExpectRead(i * 50, 16 + i);
    const uint64_t lRead = 6 * 16 + 15;
    Settle();
    fw::ClearPerformanceStatistics(fw::STATISTICS_BOTH_SIDES, fw::ALL_STATISTICS_LUNS);
    const fw::STATISTICS_RECORD sSent = Totals();
    EXPECT_EQ(sSent.sWrite.lTotalCommands - sBefore.sWrite.lTotalCommands, 10u);
    EXPECT_EQ(sSent.sWrite.lTotalBlocks - sBefore.sWrite.lTotalBlocks, lWritten);
    EXPECT_EQ(sSent.sRead.lTotalCommands - sBefore.sRead.lTotalCommands, 6u);
    EXPECT_EQ(sSent.sRead.lTotalBlocks - sBefore.sRead.lTotalBlocks, lRead);
    EXPECT_EQ(sSent.sRead.lCommandsSinceReset, 0u);
    // The totals reach NVRAM twice a second.
    board->RunFor(1'000'000'000ull);
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    // The host's first read after the start (one block) is the only new one.
    const fw::STATISTICS_RECORD sAfter = Totals();
    EXPECT_EQ(sAfter.sWrite.lTotalCommands, sSent.sWrite.lTotalCommands);
    EXPECT_EQ(sAfter.sWrite.lTotalBlocks, sSent.sWrite.lTotalBlocks);
    EXPECT_EQ(sAfter.sRead.lTotalCommands, sSent.sRead.lTotalCommands + 1);
    EXPECT_EQ(sAfter.sRead.lTotalBlocks, sSent.sRead.lTotalBlocks + 1);
    EXPECT_EQ(sAfter.sRead.lCommandsSinceReset, 1u);
}

}  // namespace
