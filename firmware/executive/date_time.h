// Calendar time: the 8-byte DATE_TIME record, validation, conversions and
// printing.  Calendar seconds count from 2001-01-01 00:00:00.
#pragma once

#include <cstdint>

namespace fw {

#pragma pack(push, 1)
struct DATE_TIME {
    uint16_t wYear;
    uint8_t bMonth;
    uint8_t bDay;
    uint8_t bWeekday;  // 1 Sunday .. 7 Saturday
    uint8_t bHour;
    uint8_t bMinute;
    uint8_t bSecond;
};
#pragma pack(pop)
static_assert(sizeof(DATE_TIME) == 8);
static_assert(__builtin_offsetof(DATE_TIME, bMonth) == 2);
static_assert(__builtin_offsetof(DATE_TIME, bWeekday) == 4);
static_assert(__builtin_offsetof(DATE_TIME, bSecond) == 7);

// Results of bCompareDateTimes.
constexpr uint8_t DATE_TIME_EQUAL = 244;
constexpr uint8_t DATE_TIME_EARLIER = 243;
constexpr uint8_t DATE_TIME_LATER = 242;

// The clock chip keeps two-digit years of 1900-2099 only.
constexpr uint16_t CLOCK_LAST_YEAR = 2099;

// Room FormatDateTimeText needs, terminating NUL included.
constexpr uint32_t DATE_TIME_TEXT_SIZE = 26;

// Current date and time; 0xFF when it is valid, else 0 (the record then
// holds the invalid clock reading).
uint8_t GetDateTime(DATE_TIME* psDateTime);
uint32_t dGetCurrentSeconds();

uint8_t bValidateDateTime(const DATE_TIME* psDateTime);
uint8_t bDateTimeToSeconds(const DATE_TIME* psDateTime, uint32_t* pdSeconds);
uint8_t SecondsToDateTime(DATE_TIME* psDateTime, uint32_t dSeconds);
uint8_t bGetWeekday(uint16_t wYear, uint8_t bMonth, uint8_t bDay);
uint8_t bCompareDateTimes(const DATE_TIME* psA, const DATE_TIME* psB, uint32_t* pdDifference);

// A new date and time from the console or a management command: the
// calendar takes it at once, the clock chip is written in the background.
uint8_t bSetDateTime(const DATE_TIME* psDateTime);
uint8_t bLoadClockRegisters(const DATE_TIME* psDateTime);

// Called from the half-second tick: hands a pending setting to the clock.
void LoadPendingClockSetting();
// Clock reads and the start-up shadow (real-time clock side).
void SetCalendarReference(uint64_t lTick);
uint8_t fIsClockSettingPending();
void ClearClockSetting();

uint32_t FormatDateTimeText(const DATE_TIME* psDateTime, char* pcText);
void PrintDateTime(const DATE_TIME* psDateTime);
void PrintCurrentDateTime();
void PrintElapsedMs(uint64_t lMilliseconds);
void PrintUptime();
void PrintElapsedSeconds(uint32_t dSeconds);
void PrintCoarseUptime();

}  // namespace fw
