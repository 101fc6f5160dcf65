// A sparse memory of 32-bit words kept as runs of consecutive addresses: a
// chip's RISC memory, which the firmware fills by loads of thousands of
// words one after another, holds a few long runs, so a load copies its
// words into place and a read finds its run in a few steps.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <vector>

namespace sim {

class WordRuns {
public:
    bool Empty() const { return m_runs.empty(); }
    void Clear() { m_runs.clear(); }
    // 0 where nothing was written.
    uint32_t Get(uint32_t address) const {
        auto it = m_runs.upper_bound(address);
        if (it == m_runs.begin()) return 0;
        --it;
        const uint64_t offset = uint64_t(address) - it->first;
        return offset < it->second.size() ? it->second[offset] : 0;
    }
    void Set(uint32_t address, uint32_t value) {
        Write(address, 1, [value](uint32_t) { return value; });
    }
    // Words [address, address + count), word(i) the i-th.
    template <typename Word>
    void Write(uint32_t address, uint32_t count, Word&& word) {
        if (count == 0) return;
        // The run that starts at or before the address and reaches it takes
        // the words; otherwise a new run starts there.
        auto it = m_runs.upper_bound(address);
        if (it != m_runs.begin() && std::prev(it)->first + uint64_t(std::prev(it)->second.size()) >= address) {
            --it;
        } else {
            it = m_runs.emplace_hint(it, address, std::vector<uint32_t>{});
        }
        std::vector<uint32_t>& words = it->second;
        const uint64_t from = address - it->first;
        if (words.size() < from + count) words.resize(from + count);
        for (uint32_t i = 0; i < count; ++i) words[from + i] = word(i);
        // Runs the new words reach or touch join this one; what they hold
        // past the new words stays.
        for (auto next = std::next(it); next != m_runs.end() && next->first <= it->first + words.size();) {
            const uint64_t nextEnd = next->first + uint64_t(next->second.size());
            const uint64_t ownEnd = it->first + uint64_t(words.size());
            if (nextEnd > ownEnd) {
                words.insert(words.end(), next->second.end() - static_cast<std::ptrdiff_t>(nextEnd - ownEnd),
                             next->second.end());
            }
            next = m_runs.erase(next);
        }
    }
    // The sum of every word written, modulo 2^32.
    uint32_t Sum() const {
        uint32_t sum = 0;
        for (const auto& [start, words] : m_runs) {
            for (uint32_t w : words) sum += w;
        }
        return sum;
    }

private:
    std::map<uint32_t, std::vector<uint32_t>> m_runs;
};

}  // namespace sim
