// The write sort: cached writes the optimisation stage parks (primary state
// 254) go to the drives array by array in the order of their address, like
// an elevator sweeping up and down over all logical drives of the array,
// one write per array and main-loop cycle while the array is not too busy.
// It also owns the write-optimisation mode, which sets how long the
// optimisation stage holds a write and how far the sequential-write
// detection looks.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

constexpr uint8_t WRITE_SORT_ARRAYS = 64;
// An array gets a sorted write while its reads and writes in progress are
// at most the first, or its writes alone at most the second.
constexpr uint32_t WRITE_SORT_COMBINED_LIMIT = 32;
constexpr uint32_t WRITE_SORT_WRITE_LIMIT = 8;

// Start of day: on unless setting 20d or aging priority turns it off
// (fIsWriteSortWanted), then rebuilt.
void InitWriteSort();
// TRUE or FALSE (anything else is ignored); rebuilds the sort lists.
void SetWriteSortEnabled(uint8_t fEnabled);
uint8_t fGetWriteSortEnabled();
// The arrays and their logical drives in address order, from the live
// configuration.  Writes parked on an array left out go to their port's
// "Write Ready" ring at once.
void RebuildWriteSort();
// TRUE when the sort orders the array's writes.
uint8_t fIsRankWriteSortActive(uint8_t bRank);
// The optimisation stage's hand-over: TRUE when the write is parked for the
// sort (state 254), FALSE when it goes on by itself.
uint8_t fParkSortedWrite(KERNEL_ENTRY* psEntry);
// A parked write is freed without the sort: it is no longer counted.
void ForgetParkedWrite(KERNEL_ENTRY* psEntry);
// Main loop: one parked write per array that can take one.
void WriteSortService();
uint32_t dGetSortableWriteCount();
// TRUE (from start of day): a sweep up that finds nothing more turns down.
void SetWriteSortReverseAtEnd(uint8_t f);
// Bit 0 set: every rebuild prints the sort order.
void SetWriteSortDumpFlag(uint8_t b);
// "Write Sort Ordering": the arrays, the logical drives and each sweep.
void ShowWriteSortOrder();

// The write-optimisation mode of the configuration (1-4; any other value
// is stored as 4 with the parameters of 2).
void SetSequentialWriteLevel(uint8_t bMode);
uint8_t bGetSequentialWriteLevel();
// How long the optimisation stage may hold a write, in coarse ticks.
uint32_t dGetOptimisationHoldLimit();
// The sequential-write detection's depth and the optimisation stage's
// window of following commands.
uint32_t dGetSequentialHistoryDepth();
uint64_t lGetOptimisationSequenceWindow();
// The cached-write limit (1200 from start of day).
uint32_t dGetCachedWriteLimit();
void SetCachedWriteLimit(uint32_t dLimit);

}  // namespace fw
