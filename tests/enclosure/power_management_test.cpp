// The level-1 test cycle's timing: the minutes from a date and time to the
// next daily, weekly or monthly cycle, across a month's end, a year's end
// and a leap day.
#include <gtest/gtest.h>

#include "enclosure/power_management.h"

namespace {

struct CycleCase {
    const char* name;
    fw::DATE_TIME now;   // year, month, day, weekday, hour, minute, second
    fw::APM_LEVEL1_SETTINGS set;   // options, type, day of month, weekday, hour, minute
    uint32_t minutes;
};

constexpr uint32_t kDay = 1440;

TEST(ApmTestCycle, MinutesToTheNextCycle) {
    const CycleCase cases[] = {
        {"daily, one minute ahead", {2026, 6, 10, 4, 12, 0, 0}, {8, 1, 0, 0, 12, 1}, 1},
        {"daily, at the set minute", {2026, 6, 10, 4, 12, 0, 0}, {8, 1, 0, 0, 12, 0}, 0},
        {"daily, set one minute before now", {2026, 6, 10, 4, 12, 0, 0}, {8, 1, 0, 0, 11, 59}, 1439},
        {"weekly, later this week", {2026, 6, 10, 4, 12, 0, 0}, {8, 2, 0, 6, 12, 0}, 2 * kDay},
        {"weekly, Saturday to Sunday", {2026, 6, 13, 7, 23, 0, 0}, {8, 2, 0, 1, 1, 0}, 120},
        {"weekly, earlier in the week", {2026, 6, 10, 4, 12, 0, 0}, {8, 2, 0, 2, 12, 0}, 5 * kDay},
        {"monthly, later this month", {2026, 6, 10, 4, 12, 0, 0}, {8, 3, 20, 0, 12, 0}, 10 * kDay},
        {"monthly, past: next month", {2026, 6, 20, 7, 12, 0, 0}, {8, 3, 10, 0, 12, 0}, 20 * kDay},
        {"monthly, the set day at its time", {2026, 6, 10, 4, 12, 0, 0}, {8, 3, 10, 0, 12, 0}, 30 * kDay},
        {"monthly, December 28 23:59 to January 28", {2026, 12, 28, 2, 23, 59, 0}, {8, 3, 28, 0, 23, 59}, 31 * kDay},
        {"monthly, December to January of a leap year", {2024, 12, 15, 1, 0, 0, 0}, {8, 3, 1, 0, 0, 0}, 17 * kDay},
        {"monthly, over a leap day", {2024, 2, 28, 4, 0, 0, 0}, {8, 3, 1, 0, 0, 0}, 2 * kDay},
        {"monthly, over February's end", {2026, 2, 28, 7, 0, 0, 0}, {8, 3, 1, 0, 0, 0}, 1 * kDay},
        {"no cycle", {2026, 6, 10, 4, 12, 0, 0}, {8, 0, 1, 1, 0, 0}, 0},
    };
    for (const CycleCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fw::dMinutesToNextTestCycle(c.now, c.set), c.minutes);
    }
}

}  // namespace
