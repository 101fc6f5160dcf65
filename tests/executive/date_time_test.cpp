// Calendar time: validation, conversions against a real calendar, printing,
// and how settings and the tick make up the current date and time.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "executive/date_time.h"
#include "executive/rtc.h"
#include "executive/types.h"
#include "harness/time_board.h"

namespace {

using fw::DATE_TIME;

DATE_TIME Dt(uint16_t y, uint8_t mo, uint8_t d, uint8_t h = 0, uint8_t mi = 0, uint8_t s = 0) {
    return DATE_TIME{y, mo, d, 0, h, mi, s};
}

TEST(DateTime, ValidationFollowsTheCalendarAndTheSupportedYears) {
    struct Case {
        DATE_TIME s;
        uint8_t bExpected;
    };
    const Case cases[] = {
        {Dt(2135, 12, 31, 23, 59, 59), fw::STATUS_OK}, {Dt(2001, 1, 1), fw::STATUS_OK},
        {Dt(2004, 2, 29), fw::STATUS_OK},              {Dt(2000, 6, 1), 0},
        {Dt(2136, 1, 1), 0},                           {Dt(2001, 2, 29), 0},
        {Dt(2100, 2, 29), 0},                          {Dt(2004, 4, 31), 0},
        {Dt(2004, 13, 1), 0},                          {Dt(2004, 1, 0), 0},
        {Dt(2004, 1, 1, 24), 0},                       {Dt(2004, 1, 1, 0, 60), 0},
        {Dt(2004, 1, 1, 0, 0, 60), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fw::bValidateDateTime(&c.s), c.bExpected)
            << c.s.wYear << "-" << +c.s.bMonth << "-" << +c.s.bDay << " " << +c.s.bHour << ":" << +c.s.bMinute;
    }
}

TEST(DateTime, SecondsOfKnownDates) {
    struct Case {
        DATE_TIME s;
        uint32_t dSeconds;
    };
    const Case cases[] = {
        {Dt(2001, 1, 1), 0},
        {Dt(2001, 3, 1), 5097600},
        {Dt(2004, 3, 1), 99792000},
        {Dt(2001, 1, 2, 1, 2, 3), 86400 + 3723},
    };
    for (const Case& c : cases) {
        uint32_t d = 1;
        EXPECT_EQ(fw::bDateTimeToSeconds(&c.s, &d), fw::STATUS_OK);
        EXPECT_EQ(d, c.dSeconds);
    }
    const DATE_TIME sInvalid = Dt(2001, 2, 29);
    uint32_t d = 1;
    EXPECT_EQ(fw::bDateTimeToSeconds(&sInvalid, &d), 0);
    EXPECT_EQ(d, 0u);
}

// Every 13th day from 2001 to 2135 against the proleptic Gregorian
// calendar: weekday, seconds and the way back.
TEST(DateTime, ConversionsAndWeekdaysMatchARealCalendar) {
    using namespace std::chrono;
    const sys_days epoch = year{2001} / January / 1;
    for (sys_days day = epoch; day < sys_days{year{2136} / January / 1}; day += days{13}) {
        const year_month_day ymd{day};
        const uint16_t wYear = static_cast<uint16_t>(static_cast<int>(ymd.year()));
        const uint8_t bMonth = static_cast<uint8_t>(static_cast<unsigned>(ymd.month()));
        const uint8_t bDay = static_cast<uint8_t>(static_cast<unsigned>(ymd.day()));
        const uint8_t bWeekday = static_cast<uint8_t>(weekday{day}.c_encoding() + 1);
        ASSERT_EQ(fw::bGetWeekday(wYear, bMonth, bDay), bWeekday) << wYear << "-" << +bMonth << "-" << +bDay;

        const uint32_t dSeconds = static_cast<uint32_t>((day - epoch).count()) * 86400u + 45296u;
        DATE_TIME s{};
        ASSERT_EQ(fw::SecondsToDateTime(&s, dSeconds), fw::STATUS_OK);
        EXPECT_EQ(s.wYear, wYear);
        EXPECT_EQ(s.bMonth, bMonth);
        EXPECT_EQ(s.bDay, bDay);
        EXPECT_EQ(s.bWeekday, bWeekday);
        EXPECT_EQ(s.bHour, 12);
        EXPECT_EQ(s.bMinute, 34);
        EXPECT_EQ(s.bSecond, 56);
        uint32_t dBack = 0;
        EXPECT_EQ(fw::bDateTimeToSeconds(&s, &dBack), fw::STATUS_OK);
        EXPECT_EQ(dBack, dSeconds);
    }
    EXPECT_EQ(fw::bGetWeekday(2001, 1, 1), 2);   // a Monday
    EXPECT_EQ(fw::bGetWeekday(2000, 12, 31), 0);
    EXPECT_EQ(fw::bGetWeekday(2001, 2, 29), 0);
    DATE_TIME s{};
    EXPECT_EQ(fw::SecondsToDateTime(&s, UINT32_MAX), 0);   // past 2135
}

TEST(DateTime, ComparisonGivesOrderAndDifference) {
    struct Case {
        DATE_TIME a, b;
        uint8_t bResult;
        uint32_t dDifference;
    };
    const Case cases[] = {
        {Dt(2010, 5, 5, 1, 2, 3), Dt(2010, 5, 5, 1, 2, 3), fw::DATE_TIME_EQUAL, 0},
        {Dt(2010, 5, 5), Dt(2010, 5, 6), fw::DATE_TIME_EARLIER, 86400},
        {Dt(2011, 1, 1), Dt(2010, 12, 31, 23, 59, 59), fw::DATE_TIME_LATER, 1},
        {Dt(2010, 2, 30), Dt(2010, 5, 6), 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t d = 99;
        EXPECT_EQ(fw::bCompareDateTimes(&c.a, &c.b, &d), c.bResult);
        EXPECT_EQ(d, c.dDifference);
    }
}

TEST(DateTime, PrintedForms) {
    sim::Board board;
    fw::InitConsoleUart(115200);
    const DATE_TIME sValid = Dt(2001, 1, 1, 9, 5, 7);
    const DATE_TIME sInvalid = Dt(2001, 2, 29);
    fw::PrintDateTime(&sValid);
    fw::DebugPrintf("|");
    fw::PrintDateTime(&sInvalid);
    fw::DebugPrintf("|");
    fw::PrintElapsedMs(90061001);
    fw::DebugPrintf("|");
    fw::PrintElapsedMs(33ull * 86400000);   // past a month: still all hours
    fw::DebugPrintf("|");
    fw::PrintElapsedSeconds(90061);
    EXPECT_EQ(board.ConsoleText(),
              "Mon Jan 01 2001 09:05:07 |Invalid Timestamp        |0025.01.01.001 |0792.00.00.000 |001:01:01:01 ");
    char ac[fw::DATE_TIME_TEXT_SIZE];
    EXPECT_EQ(fw::FormatDateTimeText(&sValid, ac), 25u);
    EXPECT_EQ(fw::FormatDateTimeText(&sInvalid, ac), 25u);
}

TEST(DateTime, SettingIsSeenAtOnceAndRunsOnWithTheTick) {
    harness::TimeBoard t;
    t.StartMainLoop();
    const DATE_TIME sSet = Dt(2030, 5, 17, 10, 20, 30);
    ASSERT_EQ(fw::bSetDateTime(&sSet), fw::STATUS_OK);
    DATE_TIME s{};
    uint32_t d = 0;
    EXPECT_EQ(fw::GetDateTime(&s), fw::STATUS_OK);
    EXPECT_EQ(fw::bCompareDateTimes(&s, &sSet, &d), fw::DATE_TIME_EQUAL);
    EXPECT_EQ(s.bWeekday, 6);   // the weekday comes from the date
    t.RunMs(1500);
    fw::GetDateTime(&s);
    EXPECT_EQ(s.bSecond, 31);
    t.RunMs(61000);
    fw::GetDateTime(&s);
    EXPECT_EQ(s.bMinute, 21);
    EXPECT_EQ(s.bSecond, 32);
}

TEST(DateTime, SettingsTheClockCannotKeepAreRefused) {
    harness::TimeBoard t;
    t.StartMainLoop();
    const DATE_TIME sBefore = [] { DATE_TIME s{}; fw::GetDateTime(&s); return s; }();
    const DATE_TIME asRefused[] = {Dt(2100, 1, 1), Dt(2001, 2, 29), Dt(2000, 12, 31)};
    for (const DATE_TIME& sSet : asRefused) EXPECT_EQ(fw::bSetDateTime(&sSet), 0) << sSet.wYear;
    DATE_TIME s{};
    fw::GetDateTime(&s);
    uint32_t d = 0;
    EXPECT_EQ(fw::bCompareDateTimes(&s, &sBefore, &d), fw::DATE_TIME_EQUAL);
    EXPECT_EQ(fw::fGetClockWriteWork(), fw::FALSE);
}

}  // namespace
