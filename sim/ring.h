// A first-in first-out ring for device models' queues (reply FIFOs, frames
// waiting for a free reply frame).  It grows when full and never shrinks, so
// a queue in steady use allocates nothing.
#pragma once

#include <cstddef>
#include <memory>

namespace sim {

template <typename T>
class Ring {
public:
    bool empty() const { return m_count == 0; }
    size_t size() const { return m_count; }
    T& front() { return m_items[m_head]; }
    const T& front() const { return m_items[m_head]; }
    void push_back(const T& item) {
        if (m_count == m_capacity) Grow();
        m_items[(m_head + m_count) & (m_capacity - 1)] = item;
        ++m_count;
    }
    void pop_front() {
        m_head = (m_head + 1) & (m_capacity - 1);
        --m_count;
    }
    void clear() {
        m_head = 0;
        m_count = 0;
    }

private:
    void Grow() {
        const size_t capacity = m_capacity ? 2 * m_capacity : 16;
        auto items = std::make_unique<T[]>(capacity);
        for (size_t i = 0; i < m_count; ++i) items[i] = m_items[(m_head + i) & (m_capacity - 1)];
        m_items = std::move(items);
        m_capacity = capacity;
        m_head = 0;
    }
    std::unique_ptr<T[]> m_items;
    size_t m_capacity = 0;   // a power of two
    size_t m_head = 0;
    size_t m_count = 0;
};

}  // namespace sim
