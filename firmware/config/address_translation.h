// The segment map of the internal address space (every used and free extent
// of every array) and the translation of internal addresses back to logical
// drive blocks.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

constexpr uint32_t SEGMENT_MAP_ENTRIES = 676;
constexpr uint16_t NO_FREE_EXTENT = 0xFFFF;

struct SEGMENT_MAP_ENTRY {
    uint64_t lStart;
    uint64_t lEnd;          // inclusive
    uint64_t lLastOffset;   // lEnd - lStart
    uint16_t wSizeUnits;
    uint16_t wRank;
    int16_t wLd;            // -1 for a free extent
    int16_t wSegment;       // -1 for a free extent
};
static_assert(sizeof(SEGMENT_MAP_ENTRY) == 32);

struct SEGMENT_MAP {
    uint32_t dCursor;
    uint32_t dEntryCount;
    uint32_t dUsedUnits;
    uint32_t dFreeUnits;
    uint32_t dLastFreeUnits;
    uint16_t wFirstFreeEntry;
    SEGMENT_MAP_ENTRY asEntry[SEGMENT_MAP_ENTRIES];
};

// Walks every array of the image in number order; with fStoreUsed FALSE only
// the free extents are stored.  The apply builds the run-time map
// (pGetSegmentMap); the creation code may build a listing of its own.
void BuildLdFreeSpaceMap(const CONFIG_IMAGE* psImage, uint8_t fStoreUsed, SEGMENT_MAP* psMap);
SEGMENT_MAP* pGetSegmentMap();
// The menus' listings of the scratch image: table A with the used extents,
// table B the free ones only.
SEGMENT_MAP* pGetLdWorkTableA();
SEGMENT_MAP* pGetLdWorkTableB();

uint64_t lCalculateLUNAddressFromInternalAddress(uint64_t lAddress);
uint16_t wFindSegmentForAddress(uint64_t lAddress);
// The logical drive segment (index within its logical drive) that holds the
// internal address; 0xFF when none does.
uint8_t bFindSegmentIndexForAddress(uint64_t lAddress);
void PrintVlunTranslationTable();

}  // namespace fw
