// The processor's two timers (coprocessor 6, CRm 9), counting down at
// 400 MHz.  CRn names the register.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t TIMER_CRM = 9;
constexpr uint32_t TIMER_TMR0 = 0;    // mode of timer 0
constexpr uint32_t TIMER_TMR1 = 1;
constexpr uint32_t TIMER_TCR0 = 2;    // current count
constexpr uint32_t TIMER_TCR1 = 3;
constexpr uint32_t TIMER_TRR0 = 4;    // reload value
constexpr uint32_t TIMER_TRR1 = 5;
constexpr uint32_t TIMER_TISR = 6;    // interrupt status: bit n timer n; write 1 to clear
constexpr uint32_t TIMER_WDTCR = 7;   // watchdog

constexpr uint32_t TIMER_MODE_ENABLE = 0x2;
constexpr uint32_t TIMER_MODE_RELOAD = 0x4;
constexpr uint32_t TIMER_TISR_TIMER0 = 1u << 0;
constexpr uint32_t TIMER_TISR_TIMER1 = 1u << 1;

constexpr uint32_t TIMER_COUNTS_PER_US = 400;

}  // namespace fw
