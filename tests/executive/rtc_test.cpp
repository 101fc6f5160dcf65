// The real-time clock: start-up reads, the interrupt-driven reads and
// writes, transfers that collide, and clocks that are invalid, silent or on
// a stuck bus.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "executive/date_time.h"
#include "executive/rtc.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "sim/i2c_units.h"
#include "harness/time_board.h"

namespace {

using fw::DATE_TIME;

DATE_TIME Now() {
    DATE_TIME s{};
    fw::GetDateTime(&s);
    return s;
}

void ExpectDate(const DATE_TIME& s, int y, int mo, int d, int h, int mi, int sec) {
    EXPECT_EQ(int(s.wYear), y);   // a packed field: copied, never bound to a reference
    EXPECT_EQ(s.bMonth, mo);
    EXPECT_EQ(s.bDay, d);
    EXPECT_EQ(s.bHour, h);
    EXPECT_EQ(s.bMinute, mi);
    EXPECT_EQ(s.bSecond, sec);
}

// What the clock chip holds decodes into the clock shadow: the century bit
// picks 1900 or 2000, the weekday register counts from Sunday = 0.
TEST(RealTimeClock, StartUpReadDecodesCenturyAndWeekday) {
    struct Case {
        sim::RtcTime time;
        uint8_t bMonthRegister;
        uint8_t bWeekday;
    };
    const Case cases[] = {
        {{1998, 12, 5, 23, 59, 58}, 0x92, 7},   // a Saturday in the 1900s
        {{2098, 12, 6, 0, 0, 1}, 0x12, 7},      // a Saturday in the 2000s
        {{2024, 2, 29, 12, 30, 0}, 0x02, 5},    // a Thursday
        {{2001, 1, 1, 0, 0, 0}, 0x01, 2},       // a Monday
    };
    for (const Case& c : cases) {
        harness::TimeBoard t;
        t.rtc().Set(c.time);
        EXPECT_EQ(t.rtc().Register(7), c.bMonthRegister);
        t.Start();
        const DATE_TIME& s = *fw::psTimeUpdate;
        ExpectDate(s, c.time.year, c.time.month, c.time.day, c.time.hour, c.time.minute, c.time.second);
        EXPECT_EQ(s.bWeekday, c.bWeekday) << c.time.year;
    }
}

TEST(RealTimeClock, StartUpTimeFollowsTheClockAndTheTick) {
    harness::TimeBoard t;
    t.rtc().Set({2024, 6, 30, 23, 59, 58});
    t.Start();
    DATE_TIME s = Now();
    ASSERT_EQ(fw::bValidateDateTime(&s), fw::STATUS_OK);
    ExpectDate(s, 2024, 6, 30, 23, 59, 58);
    t.RunMs(2500);
    ExpectDate(Now(), 2024, 7, 1, 0, 0, 0);
    // Once the main loop runs the calendar goes on from the last start-up
    // reading without losing its fraction of a second.
    fw::SetInitializationComplete(fw::TRUE);
    t.RunMs(600);
    ExpectDate(Now(), 2024, 7, 1, 0, 0, 1);
}

TEST(RealTimeClock, AClockWithoutValidTimeGivesAnInvalidDate) {
    enum class Fault { Invalid, Silent, StuckBus };
    for (Fault e : {Fault::Invalid, Fault::Silent, Fault::StuckBus}) {
        harness::TimeBoard t;
        if (e == Fault::Invalid) t.rtc().Invalidate();
        if (e == Fault::Silent) t.rtc().SetResponsive(false);
        if (e == Fault::StuckBus) t.board.i2c().SetStuck(1, true);
        t.Start();
        DATE_TIME s{};
        EXPECT_EQ(fw::GetDateTime(&s), 0);
        EXPECT_NE(fw::bValidateDateTime(&s), fw::STATUS_OK);
    }
}

TEST(RealTimeClock, PeriodicReadTakesTheClockAsTheNewReference) {
    harness::TimeBoard t;
    t.rtc().Set({2024, 1, 1, 8, 0, 0});
    t.StartMainLoop();
    // The clock chip runs ahead of the calendar (set behind the firmware's back).
    t.rtc().Set({2024, 1, 1, 9, 30, 0});
    fw::StartClockRead();
    EXPECT_EQ(fw::fIsClockBusy(), fw::TRUE);
    t.RunMs(5);
    EXPECT_EQ(fw::fIsClockBusy(), fw::FALSE);
    EXPECT_EQ(fw::wGetClockOperation(), fw::RTC_OPERATION_IDLE);
    ExpectDate(Now(), 2024, 1, 1, 9, 30, 0);
}

TEST(RealTimeClock, ClockReadIsRequestedEveryThreeMinutes) {
    harness::TimeBoard t;
    t.StartMainLoop();
    t.RunMs(180000);
    EXPECT_EQ(fw::fGetClockReadWork(), fw::FALSE);
    t.RunMs(1000);
    EXPECT_EQ(fw::fGetClockReadWork(), fw::TRUE);
}

TEST(RealTimeClock, SettingReachesTheClockWithinHalfASecond) {
    harness::TimeBoard t;
    t.StartMainLoop();
    const DATE_TIME sSet{2031, 3, 4, 0, 5, 6, 7};
    ASSERT_EQ(fw::bSetDateTime(&sSet), fw::STATUS_OK);
    t.RunMs(500);
    ASSERT_EQ(fw::fGetClockWriteWork(), fw::TRUE);
    fw::SetClockWriteWork(fw::FALSE);   // as the background pass does
    fw::StartClockWrite();
    t.RunMs(5);
    EXPECT_EQ(fw::fIsClockBusy(), fw::FALSE);
    const sim::RtcTime r = t.rtc().Now();
    EXPECT_EQ(r.year, 2031);
    EXPECT_EQ(r.month, 3);
    EXPECT_EQ(r.day, 4);
    EXPECT_EQ(r.minute, 6);
    EXPECT_EQ(r.second, 7);
    EXPECT_EQ(t.rtc().Register(6), 2);   // Tuesday
}

TEST(RealTimeClock, ATimeSetSurvivesARestartOfTheBoard) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("rtc_restart_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    sim::BoardConfig config = harness::Config();
    config.dataDir = dir.string();
    {
        harness::TimeBoard t(config);
        t.StartMainLoop();
        const DATE_TIME sSet{2032, 7, 8, 0, 9, 10, 11};
        ASSERT_EQ(fw::bSetDateTime(&sSet), fw::STATUS_OK);
        t.RunMs(500);
        fw::StartClockWrite();
        t.RunMs(5);
    }
    harness::TimeBoard t(config);
    t.Start();
    ExpectDate(Now(), 2032, 7, 8, 9, 10, 11);
    std::filesystem::remove_all(dir);
}

// One transfer at a time: a request that finds the bus taken runs after.
TEST(RealTimeClock, AWriteRequestedDuringAReadRunsAfterIt) {
    harness::TimeBoard t;
    t.StartMainLoop();
    const DATE_TIME sSet{2033, 1, 2, 0, 3, 4, 5};
    fw::StartClockRead();
    ASSERT_EQ(fw::bSetDateTime(&sSet), fw::STATUS_OK);
    fw::FillClockRegisterImage(&sSet);
    fw::StartClockWrite();
    EXPECT_EQ(fw::wGetClockOperation(), fw::RTC_OPERATION_READ);
    t.RunMs(5);
    // The read finished after the setting: it must not undo it.
    ExpectDate(Now(), 2033, 1, 2, 3, 4, 5);
    ASSERT_EQ(fw::fGetClockWriteWork(), fw::TRUE);
    fw::SetClockWriteWork(fw::FALSE);
    fw::StartClockWrite();
    EXPECT_EQ(fw::wGetClockOperation(), fw::RTC_OPERATION_WRITE);
    t.RunMs(5);
    EXPECT_EQ(fw::fIsClockBusy(), fw::FALSE);
    EXPECT_EQ(t.rtc().Register(8), 0x33);
    EXPECT_EQ(t.rtc().Now().year, 2033);
}

// The half-second tick cannot load the registers while a transfer runs; the
// setting waits instead of being dropped.
TEST(RealTimeClock, ASettingMadeDuringATransferIsNotLost) {
    harness::TimeBoard t;
    t.StartMainLoop();
    t.board.i2c().SetStuck(1, true);
    fw::StartClockRead();   // hangs until the 900 ms time-out
    const DATE_TIME sSet{2034, 2, 3, 0, 4, 5, 6};
    ASSERT_EQ(fw::bSetDateTime(&sSet), fw::STATUS_OK);
    t.RunMs(600);
    EXPECT_EQ(fw::fGetClockWriteWork(), fw::FALSE);
    EXPECT_EQ(fw::fIsClockBusy(), fw::TRUE);
    t.board.i2c().SetStuck(1, false);
    t.RunMs(900);
    EXPECT_EQ(fw::fIsClockBusy(), fw::FALSE);
    EXPECT_EQ(fw::fGetClockWriteWork(), fw::TRUE);
}

TEST(RealTimeClock, ASilentClockEndsTheTransferAndKeepsTheCalendar) {
    harness::TimeBoard t;
    t.rtc().Set({2024, 5, 5, 5, 5, 5});
    t.StartMainLoop();
    t.rtc().SetResponsive(false);
    fw::StartClockRead();
    t.RunMs(2);
    EXPECT_EQ(fw::fIsClockBusy(), fw::FALSE);
    ExpectDate(Now(), 2024, 5, 5, 5, 5, 5);
    // The unit is usable again for the next transfer.
    t.rtc().SetResponsive(true);
    fw::StartClockRead();
    t.RunMs(5);
    EXPECT_EQ(fw::fIsClockBusy(), fw::FALSE);
    EXPECT_EQ(t.board.i2c().Status(1) & fw::I2C_ISR_IBB, 0u);
}

TEST(RealTimeClock, AStalledTransferTimesOutAfter900Ms) {
    harness::TimeBoard t;
    t.StartMainLoop();
    t.board.i2c().SetStuck(1, true);
    fw::StartClockRead();
    t.RunMs(899);
    EXPECT_EQ(fw::fIsClockBusy(), fw::TRUE);
    t.RunMs(2);
    EXPECT_EQ(fw::fIsClockBusy(), fw::FALSE);
    EXPECT_EQ(fw::wGetClockOperation(), fw::RTC_OPERATION_IDLE);
}

TEST(RealTimeClock, PartnerTimeCheck) {
    harness::TimeBoard t;
    t.rtc().Set({2024, 3, 3, 3, 3, 30});
    t.StartMainLoop();
    struct Case {
        int iOffset;
        uint8_t f;
        uint8_t bExpected;
    };
    const Case cases[] = {{0, fw::TRUE, 0}, {6, fw::TRUE, 0}, {-6, fw::TRUE, 0},
                          {6, fw::FALSE, fw::STATUS_OK}, {7, fw::TRUE, fw::STATUS_OK}};
    for (const Case& c : cases) {
        DATE_TIME s = Now();
        s.bSecond = static_cast<uint8_t>(s.bSecond + c.iOffset);
        EXPECT_EQ(fw::bCheckPartnerTime(&s, c.f), c.bExpected) << c.iOffset;
    }
    const DATE_TIME sInvalid{2000, 1, 1, 0, 0, 0, 0};
    EXPECT_EQ(fw::bCheckPartnerTime(&sInvalid, fw::TRUE), 0);
}

}  // namespace
