// Spreading what a controller's cache keeps over the whole data bank, and
// measuring what that leaves free, for tests of a start after a power cut.
//
// A controller's buffer pages are taken next fit: a take starts where the
// last one ended.  Taking single pages up to a page and giving them back
// moves that point there, so the next buffer the cache takes (a write's,
// or a mirror copy's) lands at the page chosen.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "cache/nvram_journal.h"
#include "executive/types.h"

namespace harness {

// One controller's bank 0 (its first processor address and its bytes, as
// the board maps it) and its firmware's take and give of pages.
template <typename Handle>
class CacheSpread {
public:
    using Take = uint8_t (*)(uint8_t, uint32_t, Handle*);
    using Give = uint16_t (*)(Handle, uint32_t);
    using JournalSlot = const fw::NVRAM_QUEUE_ENTRY* (*)(uint8_t, uint16_t);

    CacheSpread(Take take, Give give, JournalSlot slot, uint32_t bankAddress, uint32_t bankBytes)
        : m_take(take), m_give(give), m_slot(slot), m_bankAddress(bankAddress), m_pages(bankBytes / kPage) {}

    uint32_t Pages() const { return m_pages; }

    // Which pages are free now: all are taken, one at a time, and given back.
    std::vector<bool> FreePages() const {
        std::vector<bool> free(m_pages, false);
        std::vector<Handle> taken;
        for (Handle h{}; m_take(0, 1, &h) == kGiven;) {
            taken.push_back(h);
            free[Page(h)] = true;
        }
        for (Handle h : taken) (void)m_give(h, 1);
        return free;
    }

    // Pages `spacing` apart in every run of the free pages given, the last
    // one `room` pages from the run's end, where a buffer of that many
    // pages still fits.
    static std::vector<uint32_t> Targets(const std::vector<bool>& free, uint32_t spacing, uint32_t room) {
        std::vector<uint32_t> targets;
        for (uint32_t page = 0; page < free.size(); ++page) {
            if (!free[page]) continue;
            uint32_t end = page;
            while (end < free.size() && free[end]) ++end;
            const uint32_t last = end - page > room ? end - room : page;
            for (uint32_t target = page; target < last; target += spacing) targets.push_back(target);
            targets.push_back(last);
            page = end;
        }
        return targets;
    }

    // The next take starts at page `target`, or at the first free page
    // after it: single pages are taken (round the end of the bank if need
    // be) until one lies just before it, and all given back.
    void MoveTakesTo(uint32_t target) const {
        std::vector<Handle> taken;
        bool fBelow = false;
        uint32_t last = 0;
        for (Handle h{}; m_take(0, 1, &h) == kGiven;) {
            const uint32_t page = Page(h);
            if (taken.empty() ? page < target : page < last) fBelow = true;
            taken.push_back(h);
            last = page;
            if (fBelow && page + 1 >= target) break;
        }
        for (Handle h : taken) (void)m_give(h, 1);
    }

    // The longest run of the pages given as free that none of the cached
    // data the journals keep (own writes and the partner's copies) lies in:
    // the most a start on this memory can take in one piece.
    uint32_t LongestRunBesideKeptData(std::vector<bool> free) const {
        for (uint8_t fOwn : {fw::TRUE, fw::FALSE}) {
            for (uint16_t n = 0; n < fw::NVRAM_QUEUE_USED_SLOTS; ++n) {
                const fw::NVRAM_QUEUE_ENTRY* ps = m_slot(fOwn, n);
                if (ps->fValid != fw::TRUE || ps->fHoldsData != fw::TRUE) continue;
                uint32_t handle = 0;
                std::memcpy(&handle, ps->abBufferHandle, sizeof handle);
                const uint32_t valid = ps->abValidBlocks[0] | ps->abValidBlocks[1] << 8;
                if (handle == 0 || valid == 0) continue;
                const uint32_t first = (handle - m_bankAddress) / kPage;
                for (uint32_t p = first; p < first + (valid - 1) / 8 + 1 && p < free.size(); ++p) free[p] = false;
            }
        }
        uint32_t longest = 0, run = 0;
        for (bool f : free) {
            run = f ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        return longest;
    }

private:
    static constexpr uint32_t kPage = 4096;
    static constexpr uint8_t kGiven = 0xFF;
    uint32_t Page(Handle h) const { return (static_cast<uint32_t>(h) - m_bankAddress) / kPage; }

    Take m_take;
    Give m_give;
    JournalSlot m_slot;
    uint32_t m_bankAddress;
    uint32_t m_pages;
};

}  // namespace harness
