// The start of a host WRITE(16).
#include "cache/write_start.h"

#include "config/ld_table.h"
#include "config/rank_table.h"

namespace fw {

// ---- addresses ---------------------------------------------------------------

uint64_t lGetBlocksBeforeStripe(uint64_t lAddress, uint8_t bRank) {
    uint64_t lStart = 0;
    GetRankStartAddress(bRank, &lStart);
    return lAddress - lStart;
}

uint8_t bFindRankForAddress(uint64_t lAddress) { return bFindRankHoldingAddress(lAddress); }

void GetSegmentSpan(uint64_t lAddress, uint32_t dBlocks, uint8_t* pbCount, uint8_t* pbFirst) {
    const uint8_t bFirst = bFindRankForAddress(lAddress);
    *pbFirst = bFirst;
    *pbCount = 0;
    if (bFirst == 0xFF || dBlocks == 0) return;
    const uint64_t lLast = lAddress + dBlocks - 1;
    const uint8_t bLast = bFindRankForAddress(lLast);
    *pbCount = static_cast<uint8_t>((bLast == 0xFF ? bGetRankCount() : bLast + 1) - bFirst);
}

}  // namespace fw
