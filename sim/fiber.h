// The processor's thread of control: the firmware runs on a stack of its
// own and gives control back to the board's driver at interrupt points.
#pragma once

#include <functional>
#include <memory>

namespace sim {

class Fiber {
public:
    Fiber();
    ~Fiber();
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;
    // Prepares a fresh start of `entry` (any earlier run is abandoned).
    void Start(std::function<void()> entry);
    // Runs the fiber until it yields or finishes; true when it finished.
    bool Resume();
    void Yield();
    bool Active() const { return m_inside; }
    bool Started() const { return m_started; }

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    bool m_inside = false;
    bool m_started = false;
};

}  // namespace sim
