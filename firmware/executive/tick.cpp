// The system tick.  SystemTickHandler runs in FIQ context once per
// millisecond: it only counts and raises work flags, and hands the periodic
// routines of the subsystems to the services the top layer defines.  The
// main loop reads the 64-bit tick as two words, so every reader goes
// through lGetTickCount.
#include "executive/tick.h"

#include "executive/interrupt_controller.h"
#include "executive/rtc.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/timers.h"

namespace fw {

namespace {

constexpr uint32_t TICKS_PER_HALF_SECOND = 500;
constexpr uint32_t TICKS_PER_WORK_PENDING = 50;
constexpr uint32_t DEFAULT_PERIOD_WORD = 2;

constexpr uint32_t MAX_DELAY_CHUNK_US = 1000000;

struct STOPWATCH {
    uint32_t dValue;
    uint8_t fShown;
    uint8_t fFrozen;
};

volatile uint64_t s_lTickMs;
volatile uint32_t s_dHalfSeconds;
uint32_t s_dHalfSecondDivider;
uint32_t s_dWorkPendingDivider;
uint32_t s_dPeriodDivider;
uint32_t s_dPeriodWord = DEFAULT_PERIOD_WORD;
uint8_t s_fProductionTestAtStart = FALSE;

volatile uint8_t s_bTickCountdown1;
volatile uint16_t s_awTickCountdown[3];
volatile uint64_t s_lLongCountdown;
uint8_t s_fLongCountdownRunning = FALSE;
volatile uint16_t s_wClockTimeout;
volatile uint16_t s_wBoardCountdown;
volatile uint8_t s_abHalfSecondCountdown[HALF_SECOND_COUNTDOWNS];
volatile uint16_t s_wDelayedResetCountdown;

STOPWATCH s_asStopwatch[STOPWATCH_COUNT];
uint64_t s_lHighResolution;   // the last extended timer-1 value
volatile uint8_t s_fHighResolutionBusy = FALSE;

// A 64-bit value the FIQ changes is two words on this processor and may
// change between them: read it until two reads agree.
uint64_t lReadStable(const volatile uint64_t& lValue) {
    uint64_t lFirst;
    uint64_t lSecond;
    do {
        lFirst = lValue;
        lSecond = lValue;
    } while (lFirst != lSecond);
    return lFirst;
}

// Counts a countdown towards 0; true on the step that reaches 0.
template <typename T>
bool CountDown(volatile T& value) {
    if (value == 0) return false;
    value = static_cast<T>(value - 1);
    return value == 0;
}

void SelectStopwatches(uint8_t bIndex, uint8_t* pbFirst, uint8_t* pbEnd) {
    *pbFirst = bIndex < STOPWATCH_COUNT ? bIndex : 0;
    *pbEnd = bIndex < STOPWATCH_COUNT ? static_cast<uint8_t>(bIndex + 1) : STOPWATCH_COUNT;
}

uint32_t dTimer1Count() { return Cp6Read(TIMER_TCR1, TIMER_CRM); }

void StartTimer1() {
    Cp6Write(TIMER_TRR1, TIMER_CRM, 0xFFFFFFFF);
    Cp6Write(TIMER_TCR1, TIMER_CRM, 0xFFFFFFFF);
    Cp6Write(TIMER_TMR1, TIMER_CRM, TIMER_MODE_ENABLE | TIMER_MODE_RELOAD);
}

void HalfSecondTick() {
    lGetHighResolutionTime();
    s_dHalfSecondDivider = 0;
    LoadPendingClockSetting();
    TickHalfSecondBegin();
    s_dHalfSeconds = s_dHalfSeconds + 1;
    SetKernelActivity(TRUE);
    TickHalfSecondServices();
    for (uint8_t i = 0; i < HALF_SECOND_COUNTDOWNS; ++i) {
        if (CountDown(s_abHalfSecondCountdown[i]) && i == HALF_SECOND_COUNTDOWN_I2C1) SetI2cBus1Work(TRUE);
    }
    TickHalfSecondWork();
    if (s_dHalfSeconds & 1) UnlockInterruptSource(INT_SOURCE_PARTNER_HEARTBEAT);
}

}  // namespace

void InitSystemTick() {
    s_lTickMs = 0;
    s_dHalfSeconds = 0;
    s_dHalfSecondDivider = 0;
    s_dWorkPendingDivider = 0;
    s_dPeriodDivider = 0;
    s_bTickCountdown1 = 0;
    for (auto& w : s_awTickCountdown) w = 0;
    s_lLongCountdown = 0;
    s_fLongCountdownRunning = FALSE;
    s_wClockTimeout = 0;
    s_wBoardCountdown = 0;
    for (auto& b : s_abHalfSecondCountdown) b = 0;
    s_wDelayedResetCountdown = 0;
    ResetTickServices();
    StartTimer1();
    s_lHighResolution = 0;
    StartTickTimer();
    ClearClockSetting();
    s_fProductionTestAtStart = fIsProductionTestMode();
    s_dPeriodWord = DEFAULT_PERIOD_WORD;
}

void SystemTickHandler() {
    s_lTickMs = s_lTickMs + 1;
    ++s_dHalfSecondDivider;
    ++s_dWorkPendingDivider;
    ++s_dPeriodDivider;

    if (s_dPeriodDivider >= s_dPeriodWord) {
        s_dPeriodDivider = 0;
        if (s_fProductionTestAtStart != TRUE) TickPeriodServices();
    }

    CountDown(s_bTickCountdown1);
    for (auto& w : s_awTickCountdown) CountDown(w);
    if (s_lLongCountdown == 0) {
        if (s_fLongCountdownRunning == TRUE) SetWorkPending(TRUE);
        s_fLongCountdownRunning = FALSE;
    } else {
        s_lLongCountdown = s_lLongCountdown - 1;
        s_fLongCountdownRunning = TRUE;
    }

    if (s_dWorkPendingDivider > TICKS_PER_WORK_PENDING - 1) {
        s_dWorkPendingDivider = 0;
        SetWorkPending(TRUE);
    }

    if (CountDown(s_wClockTimeout)) ClockTransferTimeout();
    if (CountDown(s_wBoardCountdown)) TickBoardCountdownExpired();

    if (s_dHalfSecondDivider > TICKS_PER_HALF_SECOND - 1) HalfSecondTick();
}

uint64_t lGetTickCount() { return lReadStable(s_lTickMs); }

uint32_t dGetCoarseTick() { return s_dHalfSeconds; }

uint32_t dGetCoarseTickHalf() { return s_dHalfSeconds / 2; }

void DelaySeconds(uint8_t bSeconds) {
    const uint64_t lStart = lGetTickCount();
    while (lGetTickCount() - lStart < static_cast<uint64_t>(bSeconds) * 1000) HwPoll();
}

void SpinDelayUs(uint32_t dMicroseconds) {
    while (dMicroseconds > 0) {
        const uint32_t dChunk = dMicroseconds < MAX_DELAY_CHUNK_US ? dMicroseconds : MAX_DELAY_CHUNK_US;
        HwDelayUs(dChunk);
        dMicroseconds -= dChunk;
    }
}

void SpinDelayMs(uint32_t dMilliseconds) {
    while (dMilliseconds > 0) {
        const uint32_t dChunk = dMilliseconds < MAX_DELAY_CHUNK_US / 1000 ? dMilliseconds : MAX_DELAY_CHUNK_US / 1000;
        SpinDelayUs(dChunk * 1000);
        dMilliseconds -= dChunk;
    }
}

uint32_t dReadTimerCount() { return 0u - dTimer1Count(); }

uint64_t lGetHighResolutionTime() {
    const uint32_t dCount = dReadTimerCount();
    uint64_t lNow = (s_lHighResolution & ~0xFFFFFFFFull) | dCount;
    if (dCount < static_cast<uint32_t>(s_lHighResolution)) lNow += 1ull << 32;
    // A call nested in the FIQ during this one must not move the base twice.
    if (s_fHighResolutionBusy == TRUE) return lNow;
    s_fHighResolutionBusy = TRUE;
    s_lHighResolution = lNow;
    s_fHighResolutionBusy = FALSE;
    return lNow;
}

void StartStopwatch(uint8_t bIndex) {
    uint8_t bFirst;
    uint8_t bEnd;
    SelectStopwatches(bIndex, &bFirst, &bEnd);
    for (uint8_t i = bFirst; i < bEnd; ++i) {
        if (s_asStopwatch[i].fFrozen == TRUE) continue;
        s_asStopwatch[i].dValue = dTimer1Count();
        s_asStopwatch[i].fShown = FALSE;
    }
}

void StopStopwatch(uint8_t bIndex, uint8_t fFreeze) {
    uint8_t bFirst;
    uint8_t bEnd;
    SelectStopwatches(bIndex, &bFirst, &bEnd);
    for (uint8_t i = bFirst; i < bEnd; ++i) {
        // A frozen stopwatch already holds its result.
        if (s_asStopwatch[i].fFrozen == TRUE) continue;
        s_asStopwatch[i].dValue = s_asStopwatch[i].dValue - dTimer1Count();
        s_asStopwatch[i].fShown = TRUE;
        s_asStopwatch[i].fFrozen = fFreeze;
    }
}

void ClearStopwatch(uint8_t bIndex) {
    uint8_t bFirst;
    uint8_t bEnd;
    SelectStopwatches(bIndex, &bFirst, &bEnd);
    for (uint8_t i = bFirst; i < bEnd; ++i) s_asStopwatch[i] = STOPWATCH{0, FALSE, FALSE};
}

uint32_t dGetStopwatchValue(uint8_t bIndex) {
    return bIndex < STOPWATCH_COUNT ? s_asStopwatch[bIndex].dValue : 0;
}

uint8_t fIsStopwatchShown(uint8_t bIndex) {
    return bIndex < STOPWATCH_COUNT ? s_asStopwatch[bIndex].fShown : FALSE;
}

void SetTickCountdown1(uint8_t b) { s_bTickCountdown1 = b; }
uint8_t bGetTickCountdown1() { return s_bTickCountdown1; }
void SetTickCountdown2(uint16_t w) { s_awTickCountdown[0] = w; }
uint16_t wGetTickCountdown2() { return s_awTickCountdown[0]; }
void SetTickCountdown3(uint16_t w) { s_awTickCountdown[1] = w; }
uint16_t wGetTickCountdown3() { return s_awTickCountdown[1]; }
void SetTickCountdown4(uint16_t w) { s_awTickCountdown[2] = w; }
uint16_t wGetTickCountdown4() { return s_awTickCountdown[2]; }

void SetLongCountdown(uint64_t l) { s_lLongCountdown = l; }

uint64_t lGetLongCountdown() { return lReadStable(s_lLongCountdown); }

void SetTickPeriodWord(uint32_t d) { s_dPeriodWord = d; }
uint32_t dGetTickPeriodWord() { return s_dPeriodWord; }
void SetClockTimeoutCountdown(uint16_t w) { s_wClockTimeout = w; }
void SetBoardCountdown(uint16_t w) { s_wBoardCountdown = w; }

void SetHalfSecondCountdown(uint8_t bIndex, uint8_t bHalfSeconds) {
    if (bIndex < HALF_SECOND_COUNTDOWNS) s_abHalfSecondCountdown[bIndex] = bHalfSeconds;
}

uint8_t bGetHalfSecondCountdown(uint8_t bIndex) {
    return bIndex < HALF_SECOND_COUNTDOWNS ? s_abHalfSecondCountdown[bIndex] : 0;
}

void SetDelayedResetCountdown(uint16_t wHalfSeconds) { s_wDelayedResetCountdown = wHalfSeconds; }

uint8_t fCountDownDelayedReset() { return ToFlag(CountDown(s_wDelayedResetCountdown)); }

}  // namespace fw
