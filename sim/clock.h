// The board's clock in nanoseconds and its queue of timed device events.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

namespace sim {

class Clock {
public:
    using EventId = uint64_t;

    uint64_t Now() const { return m_now; }
    // An event runs once the clock has reached its time, in time order (ties
    // in the order scheduled).
    EventId Schedule(uint64_t atNs, std::function<void()> action);
    EventId ScheduleIn(uint64_t delayNs, std::function<void()> action) {
        return Schedule(m_now + delayNs, std::move(action));
    }
    void Cancel(EventId id);
    bool HasEvents() const { return !m_events.empty(); }
    uint64_t NextEventTime() const { return m_nextAt; }
    // Moves time forward to `targetNs`, running every event due on the way;
    // `afterEvent` runs after each (the board takes interrupts there).  Most
    // calls find no event due: that path stays inline and cheap, because
    // every register access of the firmware comes through here.
    template <typename AfterEvent>
    void AdvanceTo(uint64_t targetNs, AfterEvent&& afterEvent) {
        while (m_nextAt <= targetNs) {
            RunNext();
            afterEvent();
        }
        if (targetNs > m_now) m_now = targetNs;
    }
    void AdvanceTo(uint64_t targetNs) {
        AdvanceTo(targetNs, [] {});
    }

private:
    void RunNext();
    void UpdateNext() { m_nextAt = m_events.empty() ? UINT64_MAX : m_events.begin()->first.at; }
    struct Key {
        uint64_t at;
        EventId id;
        bool operator<(const Key& o) const { return at != o.at ? at < o.at : id < o.id; }
    };
    uint64_t m_now = 0;
    uint64_t m_nextAt = UINT64_MAX;
    EventId m_nextId = 1;
    std::map<Key, std::function<void()>> m_events;
    std::map<EventId, uint64_t> m_times;
};

}  // namespace sim
