// Bad block ranges per array: the stored list of the configuration image and
// the run-time tables the read and write paths consult.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

constexpr uint8_t BAD_BLOCK_CHECK_ONLY = 0x88;   // READ(16): answer, change nothing
constexpr uint64_t BAD_BLOCK_ADDRESS_LIMIT = 1ull << 40;

struct BAD_BLOCK_RANGE {
    uint64_t lStart;    // all ones when free
    uint16_t wLength;   // 0 when free
    uint16_t wRank;     // 0xFFFF when free
};

struct BAD_BLOCK_TABLES {
    uint16_t wBadBlockTotal;
    uint16_t awRankBadBlockCount[MAX_RANKS];
    uint16_t awRankFirstBadBlock[MAX_RANKS];
    BAD_BLOCK_RANGE asBadBlock[MAX_BAD_BLOCKS];
};

void BuildBadBlockTables(const CONFIG_IMAGE* psImage);
const BAD_BLOCK_TABLES* pGetBadBlockTables();
// TRUE when a recorded range of the array overlaps [lStart, lStart + wLength);
// any code but BAD_BLOCK_CHECK_ONLY also makes the overlapped blocks good.
uint8_t UpdateBadBlockList(uint64_t lStart, uint16_t wLength, uint8_t bRank, uint8_t bOperationCode);
// Removes the array's entries from the image's list; a deleted array's
// later arrays are renumbered with it.
void ClearRankBadBlocks(CONFIG_IMAGE* psImage, uint8_t bRank, uint8_t fRankDeleted);
uint16_t wCountRankBadBlocks(const CONFIG_IMAGE* psImage, uint8_t bRank);
// BAD_BLOCKS_RECORDED when recorded (or already covered), 0 when the list
// is full or the address cannot be stored.
constexpr uint8_t BAD_BLOCKS_RECORDED = 0xFF;
uint8_t AddMediaErrorRange(uint64_t lStart, uint16_t wLength, uint8_t bRank);

// The 40-bit big-endian start of a stored entry.
uint64_t lGetBadBlockEntryStart(const BAD_BLOCK_ENTRY* psEntry);
void SetBadBlockEntry(BAD_BLOCK_ENTRY* psEntry, uint64_t lStart, uint8_t bRank, uint16_t wLength);

}  // namespace fw
