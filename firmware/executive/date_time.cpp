// Calendar time.  The calendar is a reading of the real-time clock plus the
// milliseconds the tick counted since; a setting takes effect at once and
// reaches the clock chip from the half-second tick.
#include "executive/date_time.h"

#include "executive/console_output.h"
#include "executive/rtc.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"

namespace fw {

namespace {

constexpr uint16_t FIRST_YEAR = 2001;
constexpr uint16_t LAST_YEAR = 2135;
constexpr uint32_t SECONDS_PER_DAY = 86400;
constexpr uint32_t MS_PER_SECOND = 1000;

constexpr uint8_t s_abMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr const char* s_apszWeekdayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* s_apszMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

uint64_t s_lReferenceTick;      // tick at which *psTimeDisplay was true
DATE_TIME s_sPendingSetting;    // written by bSetDateTime, loaded by the tick
volatile uint8_t s_fSettingPending = FALSE;

bool IsLeapYear(uint32_t dYear) {
    return (dYear % 4 == 0 && dYear % 100 != 0) || dYear % 400 == 0;
}

uint32_t dMonthLength(uint32_t dYear, uint32_t dMonth) {
    return (dMonth == 2 && IsLeapYear(dYear)) ? 29 : s_abMonthDays[dMonth - 1];
}

uint32_t dYearDays(uint32_t dYear) { return IsLeapYear(dYear) ? 366 : 365; }

bool IsValidDate(uint32_t dYear, uint32_t dMonth, uint32_t dDay) {
    return dYear >= FIRST_YEAR && dYear <= LAST_YEAR && dMonth >= 1 && dMonth <= 12 && dDay >= 1 &&
           dDay <= dMonthLength(dYear, dMonth);
}

// Days from 2001-01-01 to a valid date.
uint32_t dDaysSinceEpoch(uint32_t dYear, uint32_t dMonth, uint32_t dDay) {
    uint32_t dDays = 0;
    for (uint32_t y = FIRST_YEAR; y < dYear; ++y) dDays += dYearDays(y);
    for (uint32_t m = 1; m < dMonth; ++m) dDays += dMonthLength(dYear, m);
    return dDays + dDay - 1;
}

// 2001-01-01 was a Monday (2).
uint8_t bWeekdayOfDays(uint32_t dDays) { return static_cast<uint8_t>((dDays + 1) % 7 + 1); }

}  // namespace

uint8_t bValidateDateTime(const DATE_TIME* psDateTime) {
    if (psDateTime == nullptr) return 0;
    const DATE_TIME& s = *psDateTime;
    if (!IsValidDate(s.wYear, s.bMonth, s.bDay)) return 0;
    if (s.bHour >= 24 || s.bMinute >= 60 || s.bSecond >= 60) return 0;
    return STATUS_OK;
}

uint8_t bDateTimeToSeconds(const DATE_TIME* psDateTime, uint32_t* pdSeconds) {
    if (bValidateDateTime(psDateTime) != STATUS_OK) {
        *pdSeconds = 0;
        return 0;
    }
    const DATE_TIME& s = *psDateTime;
    *pdSeconds = dDaysSinceEpoch(s.wYear, s.bMonth, s.bDay) * SECONDS_PER_DAY + s.bHour * 3600u +
                 s.bMinute * 60u + s.bSecond;
    return STATUS_OK;
}

uint8_t SecondsToDateTime(DATE_TIME* psDateTime, uint32_t dSeconds) {
    uint32_t dDays = dSeconds / SECONDS_PER_DAY;
    const uint32_t dTime = dSeconds % SECONDS_PER_DAY;
    DATE_TIME& s = *psDateTime;
    s.bWeekday = bWeekdayOfDays(dDays);
    s.bHour = static_cast<uint8_t>(dTime / 3600);
    s.bMinute = static_cast<uint8_t>(dTime / 60 % 60);
    s.bSecond = static_cast<uint8_t>(dTime % 60);
    uint32_t dYear = FIRST_YEAR;
    while (dDays >= dYearDays(dYear)) dDays -= dYearDays(dYear++);
    uint32_t dMonth = 1;
    while (dDays >= dMonthLength(dYear, dMonth)) dDays -= dMonthLength(dYear, dMonth++);
    s.wYear = static_cast<uint16_t>(dYear);
    s.bMonth = static_cast<uint8_t>(dMonth);
    s.bDay = static_cast<uint8_t>(dDays + 1);
    return bValidateDateTime(psDateTime);
}

uint8_t bGetWeekday(uint16_t wYear, uint8_t bMonth, uint8_t bDay) {
    if (!IsValidDate(wYear, bMonth, bDay)) return 0;
    return bWeekdayOfDays(dDaysSinceEpoch(wYear, bMonth, bDay));
}

uint8_t bCompareDateTimes(const DATE_TIME* psA, const DATE_TIME* psB, uint32_t* pdDifference) {
    uint32_t dA = 0;
    uint32_t dB = 0;
    *pdDifference = 0;
    if (bDateTimeToSeconds(psA, &dA) != STATUS_OK || bDateTimeToSeconds(psB, &dB) != STATUS_OK) {
        return 0;
    }
    if (dA == dB) return DATE_TIME_EQUAL;
    *pdDifference = dA < dB ? dB - dA : dA - dB;
    return dA < dB ? DATE_TIME_EARLIER : DATE_TIME_LATER;
}

namespace {

// psBase advanced by whole seconds; 0 when that leaves the calendar.
uint8_t bAddSeconds(const DATE_TIME* psBase, uint64_t lSeconds, DATE_TIME* psOut) {
    uint32_t dBase = 0;
    if (bDateTimeToSeconds(psBase, &dBase) != STATUS_OK) {
        *psOut = *psBase;
        return 0;
    }
    const uint64_t lSum = dBase + lSeconds;
    if (lSum > UINT32_MAX) {
        *psOut = *psBase;
        return 0;
    }
    return SecondsToDateTime(psOut, static_cast<uint32_t>(lSum));
}

}  // namespace

uint8_t GetDateTime(DATE_TIME* psDateTime) {
    const uint64_t lNow = lGetTickCount();
    if (fIsInitializationComplete() != TRUE) {
        // Start-up follows the last clock reading.  The reference keeps the
        // tick of the whole seconds taken, so no fraction is lost later.
        const DATE_TIME* psShadow = psTimeUpdate;
        const uint64_t lSeconds = (lNow - lClockReadTick) / MS_PER_SECOND;
        if (bAddSeconds(psShadow, lSeconds, psDateTime) != STATUS_OK) {
            *psDateTime = *psShadow;
            return 0;
        }
        *psTimeDisplay = *psDateTime;
        s_lReferenceTick = lClockReadTick + lSeconds * MS_PER_SECOND;
        return STATUS_OK;
    }
    const uint64_t lSeconds = (lNow - s_lReferenceTick) / MS_PER_SECOND;
    if (lSeconds == 0) {
        *psDateTime = *psTimeDisplay;
        return bValidateDateTime(psDateTime);
    }
    return bAddSeconds(psTimeDisplay, lSeconds, psDateTime);
}

uint32_t dGetCurrentSeconds() {
    DATE_TIME s;
    uint32_t dSeconds = 0;
    GetDateTime(&s);
    bDateTimeToSeconds(&s, &dSeconds);
    return dSeconds;
}

void SetCalendarReference(uint64_t lTick) { s_lReferenceTick = lTick; }

uint8_t fIsClockSettingPending() { return s_fSettingPending; }

void ClearClockSetting() { s_fSettingPending = FALSE; }

uint8_t bSetDateTime(const DATE_TIME* psDateTime) {
    // A year the clock chip cannot hold would come back a century early at
    // the next clock read, so it is refused here.
    if (bValidateDateTime(psDateTime) != STATUS_OK || psDateTime->wYear > CLOCK_LAST_YEAR) return 0;
    // The pending byte goes first: a clock read finishing from now on is
    // older than this setting and must not replace it.
    s_fSettingPending = TRUE;
    s_sPendingSetting = *psDateTime;
    s_sPendingSetting.bWeekday = bGetWeekday(psDateTime->wYear, psDateTime->bMonth, psDateTime->bDay);
    *psTimeDisplay = s_sPendingSetting;
    s_lReferenceTick = lGetTickCount();
    return STATUS_OK;
}

void LoadPendingClockSetting() {
    // While a transfer runs the setting stays pending and is tried again
    // next half second instead of being dropped.
    if (s_fSettingPending == TRUE && bLoadClockRegisters(&s_sPendingSetting) == STATUS_OK) {
        s_fSettingPending = FALSE;
    }
}

uint8_t bLoadClockRegisters(const DATE_TIME* psDateTime) {
    if (fIsClockBusy() == TRUE) return 0;
    if (bValidateDateTime(psDateTime) != STATUS_OK || psDateTime->wYear > CLOCK_LAST_YEAR) return 0;
    FillClockRegisterImage(psDateTime);
    SetWorkPending(TRUE);
    SetClockWriteWork(TRUE);
    return STATUS_OK;
}

namespace {

char* PutText(char* pc, const char* psz) {
    while (*psz != '\0') *pc++ = *psz++;
    return pc;
}

// A decimal number in exactly dDigits digits, zero-filled.
char* PutDigits(char* pc, uint32_t dValue, uint32_t dDigits) {
    for (uint32_t i = dDigits; i-- > 0; dValue /= 10) pc[i] = static_cast<char>('0' + dValue % 10);
    return pc + dDigits;
}

}  // namespace

uint32_t FormatDateTimeText(const DATE_TIME* psDateTime, char* pcText) {
    char* pc = pcText;
    if (bValidateDateTime(psDateTime) != STATUS_OK) {
        pc = PutText(pc, "Invalid Timestamp");
        while (pc < pcText + DATE_TIME_TEXT_SIZE - 1) *pc++ = ' ';
    } else {
        const DATE_TIME& s = *psDateTime;
        // The weekday name comes from the date itself: the record's own
        // weekday byte may be stale or out of range.
        const uint8_t bWeekday = bGetWeekday(s.wYear, s.bMonth, s.bDay);
        pc = PutText(pc, s_apszWeekdayNames[bWeekday - 1]);
        *pc++ = ' ';
        pc = PutText(pc, s_apszMonthNames[s.bMonth - 1]);
        *pc++ = ' ';
        pc = PutDigits(pc, s.bDay, 2);
        *pc++ = ' ';
        pc = PutDigits(pc, s.wYear, 4);
        *pc++ = ' ';
        pc = PutDigits(pc, s.bHour, 2);
        *pc++ = ':';
        pc = PutDigits(pc, s.bMinute, 2);
        *pc++ = ':';
        pc = PutDigits(pc, s.bSecond, 2);
        *pc++ = ' ';
    }
    *pc = '\0';
    return static_cast<uint32_t>(pc - pcText);
}

void PrintDateTime(const DATE_TIME* psDateTime) {
    char acText[DATE_TIME_TEXT_SIZE];
    FormatDateTimeText(psDateTime, acText);
    ConsolePrintText(acText);
}

void PrintCurrentDateTime() {
    DATE_TIME s;
    GetDateTime(&s);
    PrintDateTime(&s);
}

void PrintElapsedMs(uint64_t lMilliseconds) {
    // Whole days are shown as hours.
    const uint32_t dHours = static_cast<uint32_t>(lMilliseconds / 3600000u);
    const uint32_t dRest = static_cast<uint32_t>(lMilliseconds % 3600000u);
    ConsolePrintf("%04u.%02u.%02u.%03u ", dHours, dRest / 60000u, dRest / 1000u % 60u, dRest % 1000u);
}

void PrintUptime() { PrintElapsedMs(lGetTickCount()); }

void PrintElapsedSeconds(uint32_t dSeconds) {
    ConsolePrintf("%03u:%02u:%02u:%02u ", dSeconds / SECONDS_PER_DAY, dSeconds / 3600u % 24u,
                  dSeconds / 60u % 60u, dSeconds % 60u);
}

void PrintCoarseUptime() { PrintElapsedSeconds(dGetCoarseTickHalf()); }

}  // namespace fw
