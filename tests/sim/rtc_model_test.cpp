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

}  // namespace
