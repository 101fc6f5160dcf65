#include "sim/timers.h"

#include "hw/timers.h"

namespace sim {

namespace {
constexpr uint32_t kTimerEnable = fw::TIMER_MODE_ENABLE;
constexpr uint32_t kTimerReload = fw::TIMER_MODE_RELOAD;

// 2.5 ns a count at 400 MHz, rounded up: one multiply, no 64-bit division
// at every reload of the tick.
static_assert(Timers::kCountsPerUs * 5 == 1000 * 2);
uint64_t NsOfCounts(uint32_t counts) { return (uint64_t{counts} * 5 + 1) / 2; }
}  // namespace

Timers::Timers(Clock& clock, InterruptLine timer0, InterruptLine timer1) : m_clock(clock), m_lines{timer0, timer1} {
    for (unsigned n = 0; n < 2; ++n) {
        m_timers[n].expiry.SetAction([this, n] { Expire(n); });
        m_timers[n].expiry.SetPeriodic();
    }
}

uint32_t Timers::Count(unsigned n) const {
    const Timer& t = m_timers[n];
    if (!(t.mode & kTimerEnable)) return t.startCount;
    uint64_t elapsed = (m_clock.Now() - t.start) * kCountsPerUs / 1000;
    return elapsed >= t.startCount ? 0 : t.startCount - static_cast<uint32_t>(elapsed);
}

// A reloading timer's expiry re-arms itself in the clock, a period of its
// reload value on: set again at every write of its mode or reload value.
void Timers::SetPeriod(unsigned n) {
    Timer& t = m_timers[n];
    const bool reloads = (t.mode & kTimerEnable) && (t.mode & kTimerReload) && t.reload != 0;
    t.expiry.SetPeriod(reloads ? NsOfCounts(t.reload) : 0);
}

void Timers::Arm(unsigned n) {
    Timer& t = m_timers[n];
    if (!(t.mode & kTimerEnable) || t.startCount == 0) {
        m_clock.Disarm(t.expiry);
        return;
    }
    t.start = m_clock.Now();
    m_clock.Arm(t.expiry, t.start + NsOfCounts(t.startCount));
}

void Timers::Expire(unsigned n) {
    Timer& t = m_timers[n];
    m_status |= 1u << n;
    m_lines[n].Set(true);
    if (t.mode & kTimerReload) {
        // The clock has armed the expiry again for the count starting now
        // (a reload of 0 stops the timer: no period, not armed).
        t.startCount = t.reload;
        t.start = m_clock.Now();
    } else {
        t.startCount = 0;
    }
}

uint32_t Timers::Read(uint32_t crn) {
    switch (crn) {
    case 0: case 1: return m_timers[crn].mode;
    case 2: case 3: return Count(crn - 2);
    case 4: case 5: return m_timers[crn - 4].reload;
    case 6: return m_status;
    case 7: return m_watchdog;
    default: return 0;
    }
}

void Timers::Write(uint32_t crn, uint32_t value) {
    switch (crn) {
    case 0: case 1: {
        Timer& t = m_timers[crn];
        uint32_t count = Count(crn);
        t.mode = value;
        t.startCount = (value & kTimerEnable) && count == 0 ? t.reload : count;
        SetPeriod(crn);
        Arm(crn);
        if (crn == 1 && (value & kTimerEnable) && m_watcher != nullptr) m_watcher->Timer1Started();
        break;
    }
    case 2: case 3:
        m_timers[crn - 2].startCount = value;
        Arm(crn - 2);
        break;
    case 4: case 5:
        m_timers[crn - 4].reload = value;
        SetPeriod(crn - 4);
        if (crn == 5 && value == 0xFFFFFFFF && m_watcher != nullptr) m_watcher->Timer1ReloadAllOnes();
        break;
    case 6:
        // Writing a one clears that timer's interrupt.
        m_status &= ~value;
        for (unsigned n = 0; n < 2; ++n) {
            if (value & (1u << n)) m_lines[n].Set(false);
        }
        break;
    case 7: m_watchdog = value; break;
    default: break;
    }
}

}  // namespace sim
