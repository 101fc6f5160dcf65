#include "sim/clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {

Clock::Event::~Event() {
    if (m_clock) m_clock->Disarm(*this);
}

Clock::Clock() {
    for (uint32_t i = 0; i < kOneOffSlots; ++i) m_oneOffs[i].nextFree = i + 1 < kOneOffSlots ? i + 2 : 0;
    m_freeOneOff = 1;
}

Clock::~Clock() {
    // Events that outlive the clock must not reach back into it.
    for (uint32_t i = 0; i < m_size; ++i) m_queue[i]->m_clock = nullptr;
    for (uint32_t i = 0; i < m_periodicCount; ++i) m_periodic[i]->m_clock = nullptr;
}

void Clock::Arm(Event& event, uint64_t atNs) {
    if (event.m_clock && event.m_clock != this) event.m_clock->Disarm(event);
    if (atNs < m_now) atNs = m_now;
    event.m_at = atNs;
    event.m_order = m_nextOrder++;
    if (event.m_periodic) {
        if (event.m_clock != this) {
            if (m_periodicCount == kMaxPeriodic) {
                std::fprintf(stderr, "board: more than %u periodic events armed\n", kMaxPeriodic);
                std::abort();
            }
            event.m_clock = this;
            event.m_position = m_periodicCount;
            m_periodic[m_periodicCount++] = &event;
        }
        if (m_firstPeriodic == nullptr || Before(&event, m_firstPeriodic)) {
            m_firstPeriodic = &event;
        } else if (m_firstPeriodic == &event) {
            UpdateFirstPeriodic();   // moved later: another may be first now
        }
    } else if (event.m_clock == this) {
        // Re-armed in place: its new key may move it either way.
        SiftUp(event.m_position);
        SiftDown(event.m_position);
    } else {
        if (m_size == kMaxPending) {
            std::fprintf(stderr, "board: more than %u timed events pending\n", kMaxPending);
            std::abort();
        }
        event.m_clock = this;
        Place(&event, m_size++);
        SiftUp(event.m_position);
    }
    UpdateNext();
}

void Clock::Disarm(Event& event) {
    if (event.m_clock != this) return;
    Remove(event);
    UpdateNext();
}

Clock::EventId Clock::Schedule(uint64_t atNs, Action action) {
    if (m_freeOneOff == 0) {
        std::fprintf(stderr, "board: more than %u one-off events pending\n", kOneOffSlots);
        std::abort();
    }
    const uint32_t index = m_freeOneOff - 1;
    OneOff& slot = m_oneOffs[index];
    m_freeOneOff = slot.nextFree;
    slot.event.m_action = action;
    Arm(slot.event, atNs);
    return static_cast<EventId>(slot.generation) << 32 | (index + 1);
}

void Clock::Cancel(EventId id) {
    const uint32_t index = static_cast<uint32_t>(id) - 1;
    if (id == 0 || index >= kOneOffSlots) return;
    OneOff& slot = m_oneOffs[index];
    if (slot.generation != static_cast<uint32_t>(id >> 32) || !slot.event.Armed()) return;
    Disarm(slot.event);
    ++slot.generation;
    slot.nextFree = m_freeOneOff;
    m_freeOneOff = index + 1;
}

uint64_t Clock::NextEventTimeBesides(std::initializer_list<const Event*> skipped) const {
    uint64_t best = UINT64_MAX;
    for (uint32_t i = 0; i < m_periodicCount; ++i) {
        const Event* event = m_periodic[i];
        if (event->m_at < best && std::find(skipped.begin(), skipped.end(), event) == skipped.end()) best = event->m_at;
    }
    // Below an event that counts, nothing is earlier; below a skipped one,
    // either child may be the answer.  At most two positions a skipped event.
    std::array<uint32_t, 16> stack;
    uint32_t depth = 0;
    if (m_size != 0) stack[depth++] = 0;
    while (depth != 0) {
        const uint32_t position = stack[--depth];
        const Event* event = m_queue[position];
        if (event->m_at >= best) continue;
        if (std::find(skipped.begin(), skipped.end(), event) == skipped.end()) {
            best = event->m_at;
            continue;
        }
        for (uint32_t child = 2 * position + 1; child <= 2 * position + 2 && child < m_size; ++child) {
            if (depth < stack.size()) stack[depth++] = child;
        }
    }
    return best;
}

Clock::OneOff* Clock::SlotOf(const Event* event) {
    const auto* first = reinterpret_cast<const unsigned char*>(&m_oneOffs[0]);
    const auto* p = reinterpret_cast<const unsigned char*>(event);
    if (p < first || p >= first + sizeof m_oneOffs) return nullptr;
    return &m_oneOffs[static_cast<size_t>(p - first) / sizeof(OneOff)];
}

void Clock::RunNext() {
    ++m_eventsRun;
    Event& event = *m_next;
    if (event.m_at > m_now) m_now = event.m_at;
    if (event.m_periodic && event.m_period != 0) {
        // Armed again in place, as its action would have armed it first.
        event.m_at = m_now + event.m_period;
        event.m_order = m_nextOrder++;
        if (m_periodicCount > 1) UpdateFirstPeriodic();   // moved later: another may be first now
        UpdateNext();
        event.m_action();
        return;
    }
    Remove(event);
    UpdateNext();
    if (OneOff* slot = SlotOf(&event)) {
        // The slot is free again before the action runs: it may schedule more.
        Action action = event.m_action;
        ++slot->generation;
        slot->nextFree = m_freeOneOff;
        m_freeOneOff = static_cast<uint32_t>(slot - &m_oneOffs[0]) + 1;
        action();
    } else {
        event.m_action();
    }
}

void Clock::Remove(Event& event) {
    const uint32_t position = event.m_position;
    event.m_clock = nullptr;
    if (event.m_periodic) {
        Event* last = m_periodic[--m_periodicCount];
        m_periodic[position] = last;
        last->m_position = position;
        if (m_firstPeriodic == &event) UpdateFirstPeriodic();
        return;
    }
    Event* last = m_queue[--m_size];
    if (last == &event) return;
    Place(last, position);
    SiftUp(position);
    SiftDown(last->m_position);
}

void Clock::SiftUp(uint32_t position) {
    Event* event = m_queue[position];
    while (position > 0) {
        const uint32_t parent = (position - 1) / 2;
        if (!Before(event, m_queue[parent])) break;
        Place(m_queue[parent], position);
        position = parent;
    }
    Place(event, position);
}

void Clock::SiftDown(uint32_t position) {
    Event* event = m_queue[position];
    for (;;) {
        uint32_t child = 2 * position + 1;
        if (child >= m_size) break;
        if (child + 1 < m_size && Before(m_queue[child + 1], m_queue[child])) ++child;
        if (!Before(m_queue[child], event)) break;
        Place(m_queue[child], position);
        position = child;
    }
    Place(event, position);
}

}  // namespace sim
