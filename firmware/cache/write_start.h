// The start of a host WRITE(16): CDB decoding and transfer passes (shared
// with READ(16)), the write-back decision, stream clustering, buffer pages and
// the data-out transfer.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// ---- addresses ---------------------------------------------------------------
// The address relative to the start of its rank.
uint64_t lGetBlocksBeforeStripe(uint64_t lAddress, uint8_t bRank);
// The first rank whose last address reaches the address; 255 when none.
uint8_t bFindRankForAddress(uint64_t lAddress);
// How many ranks the extent [address, address + blocks) touches, and the
// first of them (0 and 255 when none).
void GetSegmentSpan(uint64_t lAddress, uint32_t dBlocks, uint8_t* pbCount, uint8_t* pbFirst);

}  // namespace fw
