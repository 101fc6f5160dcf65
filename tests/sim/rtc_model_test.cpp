// The clock chip's date arithmetic, day by day over all it can count, and a
// stored time it cannot count.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "sim/board.h"
#include "sim/rtc.h"

namespace {

TEST(RtcModel, CountsEveryDayFrom1900To2099) {
    sim::RtcTime day{1900, 1, 1, 0, 0, 0};
    const int monthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (uint64_t n = 0; day.year < 2100; ++n) {
        const sim::RtcTime noon{day.year, day.month, day.day, 12, 34, 56};
        ASSERT_EQ(sim::Rtc::ToSeconds(noon), n * 86400 + 12 * 3600 + 34 * 60 + 56) << day.year << "-" << day.month;
        const sim::RtcTime back = sim::Rtc::FromSeconds(n * 86400 + 86399);
        ASSERT_EQ(back.year, day.year);
        ASSERT_EQ(back.month, day.month);
        ASSERT_EQ(back.day, day.day);
        ASSERT_EQ(back.hour * 3600 + back.minute * 60 + back.second, 86399);
        // The next day, by the calendar's own rules.
        const bool leap = (day.year % 4 == 0 && day.year % 100 != 0) || day.year % 400 == 0;
        const int length = day.month == 2 && leap ? 29 : monthDays[day.month - 1];
        if (++day.day > length) {
            day.day = 1;
            if (++day.month > 12) {
                day.month = 1;
                ++day.year;
            }
        }
    }
}

// Any stored offset converts in a few steps, and one beyond what the chip
// counts leaves it without a valid time.
TEST(RtcModel, AnOffsetBeyondItsRangeIsAnInvalidClock) {
    for (const char* offset : {"-4000000000", "9223372036854775807", "7000000000", "1x"}) {
        SCOPED_TRACE(offset);
        char pattern[] = "/tmp/rtc-model-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        const std::string dir = pattern;
        std::ofstream(dir + "/board.state") << "rtc.offset=" << offset << "\nrtc.valid=1\n";
        {
            sim::BoardConfig config;
            config.dataDir = dir;
            sim::Board board(config);
            EXPECT_FALSE(board.rtc().Valid());
            EXPECT_EQ(board.rtc().Register(2), 0x80);   // seconds register: time integrity lost
        }
        EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
    }
}

// A data directory for the runs of one test, removed after it.
class RtcRuns : public ::testing::Test {
protected:
    RtcRuns() {
        char pattern[] = "/tmp/rtc-runs-XXXXXX";
        EXPECT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    ~RtcRuns() override { EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0); }
    sim::BoardConfig Config(bool virtualTime, uint64_t hostDate = 0) const {
        sim::BoardConfig config;
        config.dataDir = dir;
        config.virtualTime = virtualTime;
        config.hostDate = hostDate;
        return config;
    }
    static uint64_t Seconds(sim::Board& board) { return sim::Rtc::ToSeconds(board.rtc().Now()); }
    std::string dir;
};

constexpr uint64_t kHost = 3'990'000'000;   // a date in 2026, in seconds since 1900

// A first run on the wall clock: start-up's waits take the board 45 s ahead
// of the host, which took 1 s; once the board follows the wall clock its
// date is the host's.  The next run starts its clock 44 s back, so the date
// is the host's once it is up; a run started before the last one's stop
// time starts there too, before that time (the event log holds its stamps
// in order itself).
TEST_F(RtcRuns, TheNextStartTakesOffTheWaitsStartUpSkipped) {
    uint64_t wall = 0;
    {
        sim::Board board(Config(false, kHost));
        board.wallClock = [&] { return wall; };
        EXPECT_EQ(Seconds(board), kHost);   // nothing learnt yet: the host's date
        board.FollowWallClock(false);
        board.clock().AdvanceTo(45'000'000'000ull);
        EXPECT_EQ(Seconds(board), kHost + 45);
        wall += 1'000'000'000ull;
        board.FollowWallClock(true);
        EXPECT_EQ(board.StateValue("rtc.lead"), "44");
        EXPECT_EQ(Seconds(board), kHost + 1);
    }
    {
        sim::Board board(Config(false, kHost + 100));
        EXPECT_TRUE(board.rtc().Valid());
        EXPECT_EQ(Seconds(board), kHost + 100 - 44);
        board.clock().AdvanceTo(44'000'000'000ull);
        EXPECT_EQ(Seconds(board), kHost + 100);
    }
    sim::Board board(Config(false, kHost + 110));
    EXPECT_EQ(Seconds(board), kHost + 110 - 44);
}

// Quick restarts, each 4 s of the host's after the last run stopped: every
// run's date is the host's once it is up, the lead does not grow, and a
// start-up that skipped other waits than the last one is set right when
// the board begins to follow the wall clock.
TEST_F(RtcRuns, QuickRestartsDoNotAddToTheLead) {
    uint64_t host = kHost;
    for (int run = 0; run < 6; ++run) {
        SCOPED_TRACE(run);
        uint64_t wall = 0;
        sim::Board board(Config(false, host));
        board.wallClock = [&] { return wall; };
        board.FollowWallClock(false);
        // The third run's drives take 20 s longer to spin up.
        const uint64_t waits = run == 2 ? 65'000'000'000ull : 45'000'000'000ull;
        board.clock().AdvanceTo(waits);
        wall += 1'000'000'000ull;
        board.FollowWallClock(true);
        EXPECT_EQ(Seconds(board), host + 1);
        board.clock().AdvanceTo(waits + 5'000'000'000ull);
        EXPECT_EQ(Seconds(board), host + 6);
        host += 10;
    }
}

// A run in virtual time keeps its own calendar (from the factory's date on)
// and leaves the directory to the wall clock: the next run there starts on
// the host's date, valid; a run in virtual time after that goes on from
// where the wall clock's run stopped.
TEST_F(RtcRuns, VirtualAndWallClockRunsShareADirectory) {
    uint64_t stoppedAt = 0;
    {
        sim::Board board(Config(true));
        EXPECT_EQ(board.rtc().Now().year, 2025);
        board.clock().AdvanceTo(2'000'000'000ull);
    }
    {
        sim::Board board(Config(false, kHost));
        EXPECT_TRUE(board.rtc().Valid());
        EXPECT_EQ(Seconds(board), kHost);
        board.clock().AdvanceTo(30'000'000'000ull);
        stoppedAt = Seconds(board);
    }
    sim::Board board(Config(true));
    EXPECT_TRUE(board.rtc().Valid());
    EXPECT_EQ(Seconds(board), stoppedAt);
}

// A date set on the console goes on across runs: on the wall clock as a
// distance from the host's date.
TEST_F(RtcRuns, ADateSetOnTheWallClockKeepsItsDistanceFromTheHosts) {
    const sim::RtcTime set{2030, 5, 17, 12, 0, 0};
    {
        sim::Board board(Config(false, kHost));
        board.rtc().Set(set);
    }
    sim::Board board(Config(false, kHost + 3600));
    EXPECT_EQ(Seconds(board), sim::Rtc::ToSeconds(set) + 3600);
}

}  // namespace
