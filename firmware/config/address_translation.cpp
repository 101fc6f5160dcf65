// The segment map and the translation from internal addresses.
#include "config/address_translation.h"

#include <cstring>

#include "config/ld_table.h"
#include "executive/console_output.h"
#include "executive/types.h"

namespace fw {

namespace {

SEGMENT_MAP s_sSegmentMap;
SEGMENT_MAP s_sLdWorkTableA;
SEGMENT_MAP s_sLdWorkTableB;

constexpr uint64_t NO_ADDRESS = ~0ull;

struct ExtentWalk {
    const CONFIG_IMAGE* psImage;
    uint32_t dLdCount;
};

// The segment of a configured logical drive starting exactly at lPosition.
bool FindSegmentStartingAt(const ExtentWalk& sWalk, uint64_t lPosition, uint16_t* pwLd, uint8_t* pbSegment) {
    for (uint16_t l = 0; l < sWalk.dLdCount; l++) {
        const CONFIG_LD_RECORD& sLd = sWalk.psImage->asLd[l];
        const uint32_t dSegments = dClampedSegmentCount(&sLd);
        for (uint8_t s = 0; s < dSegments; s++) {
            if (sLd.asSegment[s].lStart == lPosition) {
                *pwLd = l;
                *pbSegment = s;
                return true;
            }
        }
    }
    return false;
}

// The lowest segment start in (lPosition, lLast]; lLast + 1 when none.
uint64_t lNextSegmentStart(const ExtentWalk& sWalk, uint64_t lPosition, uint64_t lLast) {
    uint64_t lNext = lLast + 1;
    for (uint16_t l = 0; l < sWalk.dLdCount; l++) {
        const CONFIG_LD_RECORD& sLd = sWalk.psImage->asLd[l];
        const uint32_t dSegments = dClampedSegmentCount(&sLd);
        for (uint8_t s = 0; s < dSegments; s++) {
            const uint64_t lStart = sLd.asSegment[s].lStart;
            if (lStart > lPosition && lStart <= lLast && lStart < lNext) lNext = lStart;
        }
    }
    return lNext;
}

}  // namespace

void BuildLdFreeSpaceMap(const CONFIG_IMAGE* psImage, uint8_t fStoreUsed, SEGMENT_MAP* psMap) {
    const uint32_t dCursor = psMap->dCursor;
    std::memset(psMap, 0, sizeof(*psMap));
    psMap->dCursor = dCursor;
    psMap->wFirstFreeEntry = NO_FREE_EXTENT;
    const ExtentWalk sWalk{psImage, dClampedLdCount(psImage)};
    const uint32_t dRanks = dClampedRankCount(psImage);
    for (uint16_t r = 0; r < dRanks && psMap->dEntryCount < SEGMENT_MAP_ENTRIES; r++) {
        const CONFIG_RANK_RECORD& sRank = psImage->asRank[r];
        const uint64_t lLast = sRank.lStartAddress + sRank.lLastOffset;
        uint64_t lPosition = sRank.lStartAddress;
        while (psMap->dEntryCount < SEGMENT_MAP_ENTRIES) {
            SEGMENT_MAP_ENTRY sEntry{};
            sEntry.lStart = lPosition;
            sEntry.wRank = r;
            uint16_t wLd = 0;
            uint8_t bSegment = 0;
            const bool fUsed = FindSegmentStartingAt(sWalk, lPosition, &wLd, &bSegment);
            if (fUsed) {
                const LD_SEGMENT& sSegment = psImage->asLd[wLd].asSegment[bSegment];
                sEntry.lEnd = sSegment.lEnd;
                sEntry.lLastOffset = sSegment.lLastOffset;
                sEntry.wSizeUnits = sSegment.wSizeGb;
                sEntry.wLd = static_cast<int16_t>(wLd);
                sEntry.wSegment = bSegment;
                psMap->dUsedUnits += sEntry.wSizeUnits;
                psMap->dLastFreeUnits = 0;
            } else {
                sEntry.lEnd = lNextSegmentStart(sWalk, lPosition, lLast) - 1;
                sEntry.lLastOffset = sEntry.lEnd - sEntry.lStart;
                sEntry.wSizeUnits = static_cast<uint16_t>((sEntry.lLastOffset + 1) / CAPACITY_UNIT_BLOCKS);
                sEntry.wLd = -1;
                sEntry.wSegment = -1;
                psMap->dFreeUnits += sEntry.wSizeUnits;
                psMap->dLastFreeUnits += sEntry.wSizeUnits;
            }
            if (fUsed ? fStoreUsed == TRUE : true) {
                if (!fUsed && psMap->wFirstFreeEntry == NO_FREE_EXTENT)
                    psMap->wFirstFreeEntry = static_cast<uint16_t>(psMap->dEntryCount);
                psMap->asEntry[psMap->dEntryCount++] = sEntry;
            }
            // A stored segment that ends outside its array or before it
            // starts ends the walk of the array rather than looping.
            if (sEntry.lEnd >= lLast || sEntry.lEnd < lPosition) break;
            lPosition = sEntry.lEnd + 1;
        }
    }
    psMap->dCursor += 32 * psMap->dEntryCount;
}

SEGMENT_MAP* pGetSegmentMap() { return &s_sSegmentMap; }
SEGMENT_MAP* pGetLdWorkTableA() { return &s_sLdWorkTableA; }
SEGMENT_MAP* pGetLdWorkTableB() { return &s_sLdWorkTableB; }

namespace {

const SEGMENT_MAP_ENTRY* psFindExtent(uint64_t lAddress) {
    for (uint32_t i = 0; i < s_sSegmentMap.dEntryCount && i < SEGMENT_MAP_ENTRIES; i++) {
        const SEGMENT_MAP_ENTRY& sEntry = s_sSegmentMap.asEntry[i];
        if (sEntry.lStart <= lAddress && lAddress <= sEntry.lEnd) return &sEntry;
    }
    return nullptr;
}

}  // namespace

uint64_t lCalculateLUNAddressFromInternalAddress(uint64_t lAddress) {
    const SEGMENT_MAP_ENTRY* psEntry = psFindExtent(lAddress);
    const LD_RECORD* psLd = psEntry == nullptr || psEntry->wLd < 0 ? nullptr : pGetLogicalDriveRecord(static_cast<uint16_t>(psEntry->wLd));
    if (psLd == nullptr || psEntry->wSegment < 0 || psEntry->wSegment >= static_cast<int16_t>(MAX_LD_SEGMENTS)) {
        ConsolePrintf("In %s Internal %08x %08x", "lCalculateLUNAddressFromInternalAddress",
                      static_cast<uint32_t>(lAddress >> 32), static_cast<uint32_t>(lAddress));
        return NO_ADDRESS;
    }
    uint64_t lBefore = 0;
    for (int16_t s = 0; s < psEntry->wSegment; s++) lBefore += psLd->asSegment[s].lLastOffset + 1;
    return lAddress - psLd->asSegment[psEntry->wSegment].lStart + lBefore;
}

uint16_t wFindSegmentForAddress(uint64_t lAddress) {
    const SEGMENT_MAP_ENTRY* psEntry = psFindExtent(lAddress);
    return psEntry == nullptr ? 0xFFFF : static_cast<uint16_t>(psEntry->wLd);
}

uint8_t bFindSegmentIndexForAddress(uint64_t lAddress) {
    const SEGMENT_MAP_ENTRY* psEntry = psFindExtent(lAddress);
    return psEntry == nullptr || psEntry->wSegment < 0 ? 0xFF : static_cast<uint8_t>(psEntry->wSegment);
}

void PrintVlunTranslationTable() {
    ConsolePrintf("VLUN translation table\n");
    ConsolePrintf("VLUN    ODA     Snap #  ODA lun Flags\n");
    ConsolePrintf("-------------------------------------\n");
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    for (uint32_t v = 0; v < MAX_VIRTUAL_LDS; v++) {
        const uint8_t* pb = psImage->asVirtualLd[v].abData;
        if ((pb[0] & 1) == 0) continue;
        const uint32_t dOda = pb[2] | (pb[3] << 8);
        const uint32_t dOdaLun = pb[4] | (pb[5] << 8);
        ConsolePrintf("%04x    %02x    %04x    %04x    %02x\n", v, dOda, static_cast<uint32_t>(pb[1]), dOdaLun,
                      static_cast<uint32_t>(pb[0]));
    }
}

}  // namespace fw
