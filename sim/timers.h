// The processor's timers 0 and 1 (coprocessor 6, CRm 9), counting down at
// 400 MHz, each raising its own interrupt line when it expires.
#pragma once

#include <array>
#include <cstdint>

#include "sim/clock.h"
#include "sim/interrupt_controller.h"

namespace sim {

// Told when timer 1 is restarted: its reload set to all ones, its mode
// written with the timer enabled (the bus performance monitor starts over).
class Timer1Watcher {
public:
    virtual ~Timer1Watcher() = default;
    virtual void Timer1ReloadAllOnes() = 0;
    virtual void Timer1Started() = 0;
};

class Timers {
public:
    static constexpr uint64_t kCountsPerUs = 400;
    Timers(Clock& clock, InterruptLine timer0, InterruptLine timer1);
    uint32_t Read(uint32_t crn);
    void Write(uint32_t crn, uint32_t value);
    // Timer n's expiry in the clock's queue.
    const Clock::Event& Expiry(unsigned n) const { return m_timers[n].expiry; }
    void Watch(Timer1Watcher* watcher) { m_watcher = watcher; }

private:
    struct Timer {
        uint32_t mode = 0;
        uint32_t reload = 0;
        uint64_t start = 0;       // clock time the current count began
        uint32_t startCount = 0;
        Clock::Event expiry;   // re-armed in place at every reload
    };
    void SetPeriod(unsigned n);
    void Arm(unsigned n);
    void Expire(unsigned n);
    uint32_t Count(unsigned n) const;
    Clock& m_clock;
    std::array<InterruptLine, 2> m_lines;
    std::array<Timer, 2> m_timers;
    uint32_t m_status = 0;   // TISR
    uint32_t m_watchdog = 0;
    Timer1Watcher* m_watcher = nullptr;
};

}  // namespace sim
