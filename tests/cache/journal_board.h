// A board brought up as far as the write journal needs: NVRAM, the event
// log, buffer pages and the journal's start of day; and helpers that run
// firmware after a reset, read the log and build host write entries.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cache/cache_entry.h"
#include "cache/nvram_journal.h"
#include "config/nvram_layout.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "sim/board.h"
#include "target/host_command_pool.h"
#include "harness/calendar.h"

namespace jtest {

constexpr uint64_t kRunLimitNs = 60'000'000'000ull;

// Start of day of everything the journal stands on, then the journal's own.
inline void BringUpJournal() {
    harness::PrepareInterruptsAndCalendar();
    fw::ValidateNvram();
    fw::InitEventLog();
    fw::SetSystemMemorySize(sim::Board::Current().config().memorySize);
    fw::InitBufferPages();
    fw::StartNvramJournal();
    fw::StartNvramJournalReplay();
    fw::InitNvramJournal();
}

// Runs a function as the firmware after a reset: firmware state back to its
// load image; NVRAM and the buffer banks as the board holds them.
inline sim::StopKind RunAfterReset(sim::Board& board, void (*pfnEntry)()) {
    board.SetResetEntry(pfnEntry);
    board.Boot();
    return board.RunFor(kRunLimitNs);
}

inline std::vector<const fw::EVENT_LOG_ENTRY*> LoggedEvents(uint8_t bCode) {
    uint16_t wCount = 0;
    uint16_t wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    std::vector<const fw::EVENT_LOG_ENTRY*> a;
    for (uint16_t i = 0; i < wCount; ++i) {
        if (fw::psGetEventLogEntry(i)->bCode == bCode) a.push_back(fw::psGetEventLogEntry(i));
    }
    return a;
}

// Host entries of the tests live in test memory, which a firmware reset
// leaves alone.
inline fw::KERNEL_ENTRY g_asEntries[fw::HOST_ENTRY_COUNT];

inline fw::KERNEL_ENTRY* MakeWrite(uint16_t wIndex, uint64_t lAddress, uint16_t wBlocks, bool fWriteBack,
                                   fw::BUFFER_HANDLE dHandle = fw::NULL_BUFFER_HANDLE,
                                   uint64_t lSequence = 0) {
    fw::KERNEL_ENTRY* ps = &g_asEntries[wIndex];
    std::memset(ps, 0, sizeof(*ps));
    fw::ResetCacheEntryFields(ps);
    ps->wIndex = wIndex;
    ps->fUsed = fw::TRUE;
    ps->bPortCode = fw::PORT_CODE_FC_HOST_1;
    ps->abCdb[0] = 0x8A;
    ps->bRank = 0;
    ps->lInternalAddress = lAddress;
    ps->wBlocks = wBlocks;
    ps->dBufferHandle = dHandle;
    ps->alSequence[0] = lSequence != 0 ? lSequence : wIndex + 1;
    fw::psCacheFields(ps)->wBufferBlocks = wBlocks;
    if (fWriteBack) ps->lFlags |= fw::KE_FLAG_WRITE_BACK;
    return ps;
}

inline uint8_t* BufferBytes(fw::BUFFER_HANDLE dHandle) {
    return static_cast<uint8_t*>(fw::pBufferHandleToPointer(dHandle));
}

inline const fw::NVRAM_QUEUE_ENTRY& OwnSlot(uint16_t n) { return *fw::psGetNvramQueueEntry(fw::TRUE, n); }
inline const fw::NVRAM_QUEUE_ENTRY& PartnerSlot(uint16_t n) { return *fw::psGetNvramQueueEntry(fw::FALSE, n); }

inline uint16_t ValidBlocks(const fw::NVRAM_QUEUE_ENTRY& s) {
    return static_cast<uint16_t>(s.abValidBlocks[0] | (s.abValidBlocks[1] << 8));
}
inline fw::BUFFER_HANDLE Handle(const fw::NVRAM_QUEUE_ENTRY& s) {
    uint32_t d;
    std::memcpy(&d, s.abBufferHandle, 4);
    return fw::BUFFER_HANDLE{d};
}
inline uint64_t FirstBlock(const fw::NVRAM_QUEUE_ENTRY& s) {
    uint64_t l;
    std::memcpy(&l, s.abFirstBlock, 8);
    return l;
}

}  // namespace jtest
