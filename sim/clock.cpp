#include "sim/clock.h"

namespace sim {

Clock::EventId Clock::Schedule(uint64_t atNs, std::function<void()> action) {
    EventId id = m_nextId++;
    if (atNs < m_now) atNs = m_now;
    m_events.emplace(Key{atNs, id}, std::move(action));
    m_times.emplace(id, atNs);
    UpdateNext();
    return id;
}

void Clock::Cancel(EventId id) {
    auto it = m_times.find(id);
    if (it == m_times.end()) return;
    m_events.erase(Key{it->second, id});
    m_times.erase(it);
    UpdateNext();
}

void Clock::RunNext() {
    auto it = m_events.begin();
    if (it->first.at > m_now) m_now = it->first.at;
    std::function<void()> action = std::move(it->second);
    m_times.erase(it->first.id);
    m_events.erase(it);
    UpdateNext();
    action();
}

}  // namespace sim
