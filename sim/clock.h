// The board's clock in nanoseconds and its queue of timed device events.
//
// The queue allocates nothing.  A device keeps the events it uses again and
// again (a timer's expiry, a chip's completions) as Clock::Event members and
// re-arms them in place; one-off actions live in a fixed pool of slots.
// Events run in time order, ties in the order they were armed.
//
// A periodic event (a processor timer's expiry, re-armed at every period
// while most other events wait far longer) is kept beside the heap: re-armed,
// it takes a new time in place instead of sinking through every level below
// the top, which it would do at every tick.  Given a period, the clock
// re-arms it itself as it runs, one period on, before its action: a
// reloading timer's tick then costs one step of the clock, not a removal
// and an arming.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <type_traits>

namespace sim {

class Clock {
public:
    // What an event does: a callable small enough to keep in place (a device
    // pointer and an index or two; a test's lambda taking a few references).
    class Action {
    public:
        static constexpr size_t kBytes = 6 * sizeof(void*);
        Action() = default;
        template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Action>>>
        Action(F f) {  // NOLINT: an event is given its lambda directly
            static_assert(sizeof(F) <= kBytes, "an event's action keeps at most a few words");
            static_assert(alignof(F) <= alignof(std::max_align_t), "an event's action is plainly aligned");
            static_assert(std::is_trivially_copyable_v<F> && std::is_trivially_destructible_v<F>,
                          "an event's action holds plain values (pointers, references, numbers)");
            ::new (static_cast<void*>(m_bytes)) F(f);
            m_run = [](void* p) { (*static_cast<F*>(p))(); };
        }
        void operator()() { m_run(m_bytes); }
        explicit operator bool() const { return m_run != nullptr; }

    private:
        alignas(std::max_align_t) unsigned char m_bytes[kBytes] = {};
        void (*m_run)(void*) = nullptr;
    };

    // An event a device keeps: armed, re-armed and disarmed in place.
    class Event {
    public:
        Event() = default;
        explicit Event(Action action) : m_action(action) {}
        ~Event();
        Event(const Event&) = delete;
        Event& operator=(const Event&) = delete;
        void SetAction(Action action) { m_action = action; }
        // Kept beside the heap whenever armed (set while disarmed).
        void SetPeriodic() { m_periodic = true; }
        // A periodic event's period: as it runs, it is armed again this much
        // later, before its action (which may move or disarm it); 0, the
        // default, runs it once.  A change holds from its next run.
        void SetPeriod(uint64_t ns) { m_period = ns; }
        bool Armed() const { return m_clock != nullptr; }
        uint64_t At() const { return m_at; }

    private:
        friend class Clock;
        Action m_action;
        uint64_t m_at = 0;
        uint64_t m_order = 0;
        uint64_t m_period = 0;      // a periodic event's re-arming (0: none)
        Clock* m_clock = nullptr;   // the clock it is armed on
        uint32_t m_position = 0;    // its place in that clock's queue, or beside it
        bool m_periodic = false;
    };

    // A one-off action's handle (0: none).
    using EventId = uint64_t;
    // The most one-off actions pending at once, and the most events of any kind.
    static constexpr uint32_t kOneOffSlots = 512;
    static constexpr uint32_t kMaxPending = 4096;
    // The most periodic events armed at once (two timers a processor, a few
    // processors on one clock).
    static constexpr uint32_t kMaxPeriodic = 8;

    Clock();
    ~Clock();
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;

    uint64_t Now() const { return m_now; }

    // Arms `event` to run once the clock reaches `atNs` (at once if that has
    // passed); an armed event moves to the new time.
    void Arm(Event& event, uint64_t atNs);
    void ArmIn(Event& event, uint64_t delayNs) { Arm(event, m_now + delayNs); }
    void Disarm(Event& event);

    EventId Schedule(uint64_t atNs, Action action);
    EventId ScheduleIn(uint64_t delayNs, Action action) { return Schedule(m_now + delayNs, action); }
    void Cancel(EventId id);

    bool HasEvents() const { return m_size + m_periodicCount != 0; }
    // How many events have run so far.
    uint64_t EventsRun() const { return m_eventsRun; }
    uint64_t NextEventTime() const { return m_nextAt; }
    // The time of the earliest event other than `skipped` (UINT64_MAX: none).
    uint64_t NextEventTimeBesides(std::initializer_list<const Event*> skipped) const;
    // Moves time forward to `targetNs`, running every event due on the way;
    // `afterEvent` runs after each (the board takes interrupts there).
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
    // Moves time on by `ns` when no event falls due on the way, as at most
    // of the firmware's hardware accesses; false, and time unmoved, when
    // one does.
    bool Pass(uint32_t ns) {
        const uint64_t target = m_now + ns;
        if (__builtin_expect(target >= m_passLimit, 0)) return false;
        m_now = target;
        return true;
    }
    // While anyone holds them, passes answer false, so that an interrupt
    // point's one test also catches what else it must do: take an interrupt
    // a controller asks for (boards on one clock each hold for their own; a
    // point of a board with nothing to take finds that out on its slow
    // path).  Each holder releases what it held, once.
    void HoldPasses(bool hold) {
        m_holds = hold ? m_holds + 1 : m_holds - 1;
        m_passLimit = m_holds ? 0 : m_nextAt;
    }

private:
    struct OneOff {
        Event event;
        uint32_t generation = 0;
        uint32_t nextFree = 0;
    };
    static bool Before(const Event* a, const Event* b) {
        return a->m_at != b->m_at ? a->m_at < b->m_at : a->m_order < b->m_order;
    }
    void RunNext();
    void Remove(Event& event);
    void SiftUp(uint32_t position);
    void SiftDown(uint32_t position);
    void Place(Event* event, uint32_t position) {
        m_queue[position] = event;
        event->m_position = position;
    }
    // The next event: the heap's top or the earliest periodic one.
    void UpdateNext() {
        Event* next = m_size == 0 ? nullptr : m_queue[0];
        if (m_firstPeriodic != nullptr && (next == nullptr || Before(m_firstPeriodic, next))) next = m_firstPeriodic;
        m_next = next;
        m_nextAt = next == nullptr ? UINT64_MAX : next->m_at;
        m_passLimit = m_holds ? 0 : m_nextAt;
    }
    OneOff* SlotOf(const Event* event);

    uint64_t m_now = 0;
    uint64_t m_nextAt = UINT64_MAX;
    uint64_t m_passLimit = UINT64_MAX;   // m_nextAt, or 0 while passes are held
    uint32_t m_holds = 0;
    uint64_t m_nextOrder = 1;
    uint64_t m_eventsRun = 0;
    // A binary heap on (time, order).
    std::array<Event*, kMaxPending> m_queue{};
    uint32_t m_size = 0;
    // Periodic events armed, beside the heap, in no order.
    std::array<Event*, kMaxPeriodic> m_periodic{};
    uint32_t m_periodicCount = 0;
    Event* m_firstPeriodic = nullptr;   // the earliest of them (null: none)
    void UpdateFirstPeriodic() {
        m_firstPeriodic = nullptr;
        for (uint32_t i = 0; i < m_periodicCount; ++i) {
            if (m_firstPeriodic == nullptr || Before(m_periodic[i], m_firstPeriodic)) m_firstPeriodic = m_periodic[i];
        }
    }
    Event* m_next = nullptr;   // the event due next (null: none)
    std::array<OneOff, kOneOffSlots> m_oneOffs;
    uint32_t m_freeOneOff = 0;   // index + 1 of the first free slot (0: none)
};

}  // namespace sim
