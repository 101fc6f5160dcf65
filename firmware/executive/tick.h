// The 1 ms system tick driven by processor timer 0, its countdowns and
// periodic work, the timer-1 stopwatches, and the delays.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t STOPWATCH_COUNT = 16;
constexpr uint8_t HALF_SECOND_COUNTDOWNS = 9;
// The half-second countdown that raises I2C bus 1 work when it runs out.
constexpr uint8_t HALF_SECOND_COUNTDOWN_I2C1 = 0;
constexpr uint8_t HALF_SECOND_COUNTDOWN_ENCLOSURE = 1;
constexpr uint8_t HALF_SECOND_COUNTDOWN_IO_MODULE_UPDATE = 2;
constexpr uint8_t HALF_SECOND_COUNTDOWN_BUS_MONITOR = 3;

void InitSystemTick();

// The per-tick service, run by the FIQ dispatcher for timer 0.
void SystemTickHandler();

uint64_t lGetTickCount();
uint32_t dGetCoarseTick();
uint32_t dGetCoarseTickHalf();

void DelaySeconds(uint8_t bSeconds);
void SpinDelayMs(uint32_t dMilliseconds);
void SpinDelayUs(uint32_t dMicroseconds);

uint32_t dReadTimerCount();
uint64_t lGetHighResolutionTime();
// Stopwatch index 16 or more selects all sixteen.
void StartStopwatch(uint8_t bIndex);
void StopStopwatch(uint8_t bIndex, uint8_t fFreeze);
void ClearStopwatch(uint8_t bIndex);
uint32_t dGetStopwatchValue(uint8_t bIndex);   // timer-1 counts, 400 per microsecond
uint8_t fIsStopwatchShown(uint8_t bIndex);

// Countdowns armed by their owners and counted down to 0 by the tick.
void SetTickCountdown1(uint8_t b);
uint8_t bGetTickCountdown1();
void SetTickCountdown2(uint16_t w);
uint16_t wGetTickCountdown2();
void SetTickCountdown3(uint16_t w);
uint16_t wGetTickCountdown3();
void SetTickCountdown4(uint16_t w);
uint16_t wGetTickCountdown4();
void SetLongCountdown(uint64_t l);
uint64_t lGetLongCountdown();
void SetTickPeriodWord(uint32_t d);
uint32_t dGetTickPeriodWord();
void SetClockTimeoutCountdown(uint16_t w);
void SetBoardCountdown(uint16_t w);
void SetHalfSecondCountdown(uint8_t bIndex, uint8_t bHalfSeconds);
uint8_t bGetHalfSecondCountdown(uint8_t bIndex);
// A controller reset that many half seconds from now (0 cancels); the
// half-second services count it down, TRUE on the step that expires it.
void SetDelayedResetCountdown(uint16_t wHalfSeconds);
uint8_t fCountDownDelayedReset();

// ---- defined above: the periodic work of the subsystems ----
// What the tick runs of the layers above it, in this order; the top layer
// defines them (tick_services.cpp).
void TickPeriodServices();          // every period word of ticks, unless started in production test
void TickBoardCountdownExpired();   // the board countdown reached 0
void TickHalfSecondBegin();         // each half second, before its count moves
void TickHalfSecondServices();      // after the count moved, before the half-second countdowns
void TickHalfSecondWork();          // after the half-second countdowns
void ResetTickServices();           // InitSystemTick: the services' own stamps back to start
// The drive tables stamp this; ten seconds without a stamp raises their work.
void StampTenSecondFlag();

}  // namespace fw
