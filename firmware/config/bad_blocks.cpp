// Bad block lists: the run-time tables and the four operations on the list.
#include "config/bad_blocks.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "config/config_db.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "executive/types.h"

namespace fw {

namespace {

BAD_BLOCK_TABLES s_sTables;

constexpr uint8_t EVENT_MEDIUM_ERROR = 178;
constexpr uint64_t MAX_RANGE_LENGTH = 0xFFFF;

void FreeRange(BAD_BLOCK_RANGE* psRange) {
    psRange->lStart = ~0ull;
    psRange->wLength = 0;
    psRange->wRank = 0xFFFF;
}

void RecomputeFirstIndexes() {
    std::fill(std::begin(s_sTables.awRankFirstBadBlock), std::end(s_sTables.awRankFirstBadBlock), 0xFFFF);
    for (uint16_t i = 0; i < s_sTables.wBadBlockTotal; i++) {
        const uint16_t wRank = s_sTables.asBadBlock[i].wRank;
        if (wRank < MAX_RANKS && s_sTables.awRankFirstBadBlock[wRank] == 0xFFFF) s_sTables.awRankFirstBadBlock[wRank] = i;
    }
}

void CompactRanges() {
    uint16_t wOut = 0;
    for (uint32_t i = 0; i < MAX_BAD_BLOCKS; i++) {
        if (s_sTables.asBadBlock[i].wLength == 0) continue;
        s_sTables.asBadBlock[wOut++] = s_sTables.asBadBlock[i];
    }
    for (uint32_t i = wOut; i < MAX_BAD_BLOCKS; i++) FreeRange(&s_sTables.asBadBlock[i]);
    s_sTables.wBadBlockTotal = wOut;
}

void WriteBackToImage(CONFIG_IMAGE* psImage) {
    const uint32_t dOldCount = dClampedBadBlockCount(psImage);
    for (uint16_t i = 0; i < s_sTables.wBadBlockTotal; i++) {
        const BAD_BLOCK_RANGE& sRange = s_sTables.asBadBlock[i];
        SetBadBlockEntry(&psImage->asBadBlock[i], sRange.lStart, static_cast<uint8_t>(sRange.wRank), sRange.wLength);
    }
    for (uint32_t i = s_sTables.wBadBlockTotal; i < dOldCount; i++)
        std::memset(&psImage->asBadBlock[i], 0, sizeof(BAD_BLOCK_ENTRY));
    psImage->sHeader.wBadBlockCount = s_sTables.wBadBlockTotal;
}

// Image list editing.
void InsertImageEntry(CONFIG_IMAGE* psImage, uint32_t dAt, uint64_t lStart, uint8_t bRank, uint16_t wLength) {
    const uint32_t dCount = dClampedBadBlockCount(psImage);
    BAD_BLOCK_ENTRY* ps = psImage->asBadBlock;
    std::memmove(&ps[dAt + 1], &ps[dAt], (dCount - dAt) * sizeof(BAD_BLOCK_ENTRY));
    SetBadBlockEntry(&ps[dAt], lStart, bRank, wLength);
    psImage->sHeader.wBadBlockCount = static_cast<uint16_t>(dCount + 1);
}

void RemoveImageEntry(CONFIG_IMAGE* psImage, uint32_t dAt) {
    const uint32_t dCount = dClampedBadBlockCount(psImage);
    BAD_BLOCK_ENTRY* ps = psImage->asBadBlock;
    std::memmove(&ps[dAt], &ps[dAt + 1], (dCount - dAt - 1) * sizeof(BAD_BLOCK_ENTRY));
    std::memset(&ps[dCount - 1], 0, sizeof(BAD_BLOCK_ENTRY));
    psImage->sHeader.wBadBlockCount = static_cast<uint16_t>(dCount - 1);
}

uint64_t lEntryEnd(const BAD_BLOCK_ENTRY& sEntry) { return lGetBadBlockEntryStart(&sEntry) + sEntry.wLength; }

// Entry dAt now covers [lStart, lEnd): swallow the following entries of the
// array that it reaches, then store it in pieces of at most 65535 blocks so
// that no stored length wraps.
void MergeAt(CONFIG_IMAGE* psImage, uint32_t dAt, uint64_t lStart, uint64_t lEnd, uint8_t bRank) {
    while (dAt + 1 < dClampedBadBlockCount(psImage)) {
        const BAD_BLOCK_ENTRY& sNext = psImage->asBadBlock[dAt + 1];
        if (sNext.bRank != bRank || lGetBadBlockEntryStart(&sNext) > lEnd) break;
        lEnd = std::max(lEnd, lEntryEnd(sNext));
        RemoveImageEntry(psImage, dAt + 1);
    }
    const uint64_t lFirst = std::min(lEnd - lStart, MAX_RANGE_LENGTH);
    SetBadBlockEntry(&psImage->asBadBlock[dAt], lStart, bRank, static_cast<uint16_t>(lFirst));
    for (uint64_t lPos = lStart + lFirst; lPos < lEnd; lPos += MAX_RANGE_LENGTH) {
        const uint64_t lPiece = std::min(lEnd - lPos, MAX_RANGE_LENGTH);
        InsertImageEntry(psImage, ++dAt, lPos, bRank, static_cast<uint16_t>(lPiece));
    }
}

}  // namespace

uint64_t lGetBadBlockEntryStart(const BAD_BLOCK_ENTRY* psEntry) {
    uint64_t l = 0;
    for (uint8_t b : psEntry->abStart) l = (l << 8) | b;
    return l;
}

void SetBadBlockEntry(BAD_BLOCK_ENTRY* psEntry, uint64_t lStart, uint8_t bRank, uint16_t wLength) {
    for (int i = 0; i < 5; i++) psEntry->abStart[i] = static_cast<uint8_t>(lStart >> (32 - 8 * i));
    psEntry->bRank = bRank;
    psEntry->wLength = wLength;
}

void BuildBadBlockTables(const CONFIG_IMAGE* psImage) {
    std::fill(std::begin(s_sTables.awRankBadBlockCount), std::end(s_sTables.awRankBadBlockCount), 0);
    std::fill(std::begin(s_sTables.awRankFirstBadBlock), std::end(s_sTables.awRankFirstBadBlock), 0xFFFF);
    for (BAD_BLOCK_RANGE& sRange : s_sTables.asBadBlock) FreeRange(&sRange);
    s_sTables.wBadBlockTotal = 0;
    const uint32_t dCount = dClampedBadBlockCount(psImage);
    for (uint32_t i = 0; i < dCount; i++) {
        const BAD_BLOCK_ENTRY& sEntry = psImage->asBadBlock[i];
        if (sEntry.bRank >= MAX_RANKS) continue;
        const uint16_t k = s_sTables.wBadBlockTotal++;
        s_sTables.asBadBlock[k] = {lGetBadBlockEntryStart(&sEntry), sEntry.wLength, sEntry.bRank};
        s_sTables.awRankBadBlockCount[sEntry.bRank]++;
        if (s_sTables.awRankFirstBadBlock[sEntry.bRank] == 0xFFFF) s_sTables.awRankFirstBadBlock[sEntry.bRank] = k;
    }
}

const BAD_BLOCK_TABLES* pGetBadBlockTables() { return &s_sTables; }

uint8_t UpdateBadBlockList(uint64_t lStart, uint16_t wLength, uint8_t bRank, uint8_t bOperationCode) {
    if (bRank >= bGetRankCount() || bRank >= MAX_RANKS || s_sTables.awRankBadBlockCount[bRank] == 0) return FALSE;
    const uint64_t A = lStart;
    const uint64_t B = lStart + wLength;
    uint8_t fFound = FALSE;
    bool fChanged = false;
    bool fFreed = false;
    const uint32_t dFirst = s_sTables.awRankFirstBadBlock[bRank];
    const uint32_t dPositions = s_sTables.awRankBadBlockCount[bRank];
    for (uint32_t i = dFirst; i < dFirst + dPositions && i < MAX_BAD_BLOCKS; i++) {
        BAD_BLOCK_RANGE& sRange = s_sTables.asBadBlock[i];
        if (sRange.wRank != bRank || sRange.wLength == 0) continue;
        const uint64_t S = sRange.lStart;
        const uint64_t E = S + sRange.wLength;
        if (!(E > A && S < B)) continue;
        fFound = TRUE;
        if (bOperationCode == BAD_BLOCK_CHECK_ONLY) break;
        if (A <= S && E <= B) {
            FreeRange(&sRange);
            s_sTables.wBadBlockTotal--;
            s_sTables.awRankBadBlockCount[bRank]--;
            fFreed = true;
        } else if (A <= S) {
            sRange.lStart = B;
            sRange.wLength = static_cast<uint16_t>(E - B);
        } else if (E <= B) {
            sRange.wLength = static_cast<uint16_t>(A - S);
        } else {
            if (s_sTables.wBadBlockTotal >= MAX_BAD_BLOCKS) continue;   // no room: stays whole
            // Close the gaps this scan left so that the entries after this
            // one end at the total and there is room behind them.
            if (fFreed) {
                uint32_t dFreedBefore = 0;
                for (uint32_t j = 0; j < i; j++)
                    if (s_sTables.asBadBlock[j].wLength == 0) dFreedBefore++;
                CompactRanges();
                i -= dFreedBefore;
                fFreed = false;
            }
            BAD_BLOCK_RANGE& sHole = s_sTables.asBadBlock[i];
            std::memmove(&s_sTables.asBadBlock[i + 2], &s_sTables.asBadBlock[i + 1],
                         (s_sTables.wBadBlockTotal - i - 1) * sizeof(BAD_BLOCK_RANGE));
            sHole.wLength = static_cast<uint16_t>(A - S);
            s_sTables.asBadBlock[i + 1] = {B, static_cast<uint16_t>(E - B), bRank};
            s_sTables.wBadBlockTotal++;
            s_sTables.awRankBadBlockCount[bRank]++;
            fChanged = true;
            break;
        }
        fChanged = true;
    }
    if (fFreed) CompactRanges();
    if (fChanged) {
        // Later arrays moved whenever an entry was split or dropped.
        RecomputeFirstIndexes();
        WriteBackToImage(pGetConfigImage());
        RequestConfigUpdate(REQUESTER_BAD_BLOCKS);
    }
    return fFound;
}

uint16_t wCountRankBadBlocks(const CONFIG_IMAGE* psImage, uint8_t bRank) {
    const uint32_t dCount = dClampedBadBlockCount(psImage);
    uint16_t wFound = 0;
    for (uint32_t i = 0; i < dCount; i++) wFound += psImage->asBadBlock[i].bRank == bRank;
    return wFound;
}

void ClearRankBadBlocks(CONFIG_IMAGE* psImage, uint8_t bRank, uint8_t fRankDeleted) {
    const uint32_t dCount = dClampedBadBlockCount(psImage);
    uint32_t dOut = 0;
    for (uint32_t i = 0; i < dCount; i++) {
        BAD_BLOCK_ENTRY sEntry = psImage->asBadBlock[i];
        if (sEntry.bRank == bRank) continue;
        // Only a deletion moves the later arrays down a number; an array
        // that keeps its number keeps its entries.
        if (fRankDeleted == TRUE && sEntry.bRank > bRank) sEntry.bRank--;
        psImage->asBadBlock[dOut++] = sEntry;
    }
    for (uint32_t i = dOut; i < dCount; i++) std::memset(&psImage->asBadBlock[i], 0, sizeof(BAD_BLOCK_ENTRY));
    psImage->sHeader.wBadBlockCount = static_cast<uint16_t>(dOut);
}

namespace {

// A range just recorded is in the run-time tables at once, not only after
// the commit: a read of it until then would return what the drives hold
// (the old data of a cached write given up), and a write's trim would write
// the older run-time list back over the image's and drop it.
uint8_t Recorded(CONFIG_IMAGE* psImage) {
    BuildBadBlockTables(psImage);
    RequestConfigUpdate(REQUESTER_BAD_BLOCKS);
    return BAD_BLOCKS_RECORDED;
}

}  // namespace

uint8_t AddMediaErrorRange(uint64_t lStart, uint16_t wLength, uint8_t bRank) {
    CONFIG_IMAGE* psImage = pGetConfigImage();
    if (psImage->sHeader.wBadBlockCount >= MAX_BAD_BLOCKS) return 0;
    // A stored start has 40 bits; a larger one would be recorded elsewhere.
    if (lStart >= BAD_BLOCK_ADDRESS_LIMIT) return 0;
    PostEvent(EVENT_MEDIUM_ERROR, bRank, static_cast<uint8_t>(lStart >> 56), static_cast<uint8_t>(lStart >> 48),
              static_cast<uint8_t>(lStart >> 40), static_cast<uint8_t>(lStart >> 32), static_cast<uint8_t>(lStart >> 24),
              static_cast<uint8_t>(lStart >> 16), static_cast<uint8_t>(lStart >> 8), static_cast<uint8_t>(lStart),
              static_cast<uint8_t>(wLength >> 8), static_cast<uint8_t>(wLength));
    if (wLength == 0) return 0xFF;   // nothing to record
    const uint64_t A = lStart;
    const uint64_t B = lStart + wLength;
    const uint32_t dCount = dClampedBadBlockCount(psImage);
    uint32_t dInsertAt = dCount;
    for (uint32_t i = 0; i < dCount; i++) {
        const BAD_BLOCK_ENTRY& sEntry = psImage->asBadBlock[i];
        if (sEntry.bRank < bRank) continue;
        if (sEntry.bRank > bRank) {
            dInsertAt = i;
            break;
        }
        const uint64_t S = lGetBadBlockEntryStart(&sEntry);
        const uint64_t E = S + sEntry.wLength;
        if (B <= S) {
            dInsertAt = i;
            break;
        }
        if (S <= A && B <= E) return 0xFF;
        if (S <= A && A <= E) {
            MergeAt(psImage, i, S, B, bRank);
            return Recorded(psImage);
        }
        if (A < S) {
            MergeAt(psImage, i, A, std::max(B, E), bRank);
            return Recorded(psImage);
        }
    }
    InsertImageEntry(psImage, dInsertAt, A, bRank, wLength);
    return Recorded(psImage);
}

}  // namespace fw
