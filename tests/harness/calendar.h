// The state start-up leaves the interrupt controller and the calendar in,
// for unit tests that post events or stamp NVRAM records with the time.
#pragma once

#include "executive/date_time.h"
#include "executive/interrupt_controller.h"
#include "executive/rtc.h"
#include "executive/tick.h"

namespace harness {

inline constexpr fw::DATE_TIME kTestNow = {2026, 12, 7, 2, 10, 20, 30};

// The calendar as if the clock had just been read with this time.
inline void SetCalendar(const fw::DATE_TIME& sNow) {
    fw::InitClockReference();
    *fw::psTimeUpdate = sNow;
    fw::lClockReadTick = fw::lGetTickCount();
}

inline void PrepareInterruptsAndCalendar(const fw::DATE_TIME& sNow = kTestNow) {
    fw::ResetInterruptLocks();
    fw::InitInterruptController();
    SetCalendar(sNow);
}

}  // namespace harness
