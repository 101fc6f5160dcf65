// Logical drive operations on the configuration images.
#include "config/ld_operations.h"

#include <cstring>

#include "config/address_translation.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/ld_table.h"
#include "config/san_lun_map.h"
#include "config/spares_wwn.h"
#include "dataservices/data_services.h"
#include "executive/system_state.h"
#include "executive/types.h"

namespace fw {

namespace {

constexpr uint32_t OEM_CODE_0x101 = 0x101;
constexpr uint16_t MAX_CAPACITY_UNITS = 0xFFFF;
constexpr uint8_t DUPLICATION_ABORTED = 40;
constexpr uint32_t SNAPSHOT_SET_IN_USE = 0;
constexpr uint32_t SNAPSHOT_SET_LD = 1;
constexpr uint32_t SNAPSHOT_SET_SECOND_LD = 4;

// The free extents of the scratch image, rebuilt by every operation.
SEGMENT_MAP s_sFreeMap;

const SEGMENT_MAP& BuildFreeMap() {
    BuildLdFreeSpaceMap(pGetScratchConfigImage(), FALSE, &s_sFreeMap);
    return s_sFreeMap;
}

uint64_t lRowBlocks(const CONFIG_IMAGE* psImage, uint16_t wRank) {
    return wRank < MAX_RANKS ? psImage->asRank[wRank].dStripeSize / 512 : 0;
}

uint64_t lRoundUpToRows(uint64_t lBlocks, uint64_t lRow) { return (lBlocks + lRow - 1) / lRow * lRow; }

// A segment's end moves to its extent's end when less than one capacity
// unit would stay free behind it; its length always follows its end.
void SetSegmentEnd(LD_SEGMENT* psSegment, uint64_t lEnd, uint64_t lExtentEnd) {
    if (lExtentEnd - lEnd < CAPACITY_UNIT_BLOCKS) lEnd = lExtentEnd;
    psSegment->lEnd = lEnd;
    psSegment->lLastOffset = lEnd - psSegment->lStart;
}

uint16_t wLowestFreeLdId(const CONFIG_IMAGE* psImage) {
    bool afUsed[MAX_LDS] = {};
    const uint32_t dLds = dClampedLdCount(psImage);
    for (uint32_t l = 0; l < dLds; l++) afUsed[psImage->asLd[l].wLdId & LUN_MAP_LD_MASK] = true;
    uint16_t n = 0;
    while (n < MAX_LDS - 1 && afUsed[n]) ++n;
    return n;
}

// Every map word naming one of the logical drives [wFirst, wEnd) goes, with
// the virtual words whose snapshot belongs to them; the drives' snapshots
// and duplications end.
void UnmapLogicalDrives(CONFIG_IMAGE* psImage, uint16_t wFirst, uint16_t wEnd) {
    const uint32_t dMaps = dClampedSanMapCount(psImage);
    for (uint32_t e = 0; e < dMaps; e++) {
        for (uint16_t& w : psImage->asSanMap[e].awLunMap) {
            if (w == LUN_MAP_NONE) continue;
            uint16_t wOwner = w & LUN_MAP_LD_MASK;
            if ((w & LUN_MAP_VIRTUAL) != 0) {
                // A virtual drive belongs to the drive its snapshot set names.
                const uint8_t* pbVirtual = psImage->asVirtualLd[wOwner].abData;
                const uint16_t wSet = static_cast<uint16_t>(pbVirtual[2] | (pbVirtual[3] << 8));
                if ((pbVirtual[0] & 1) == 0 || wSet >= MAX_SNAPSHOT_SETS) continue;
                wOwner = psImage->asSnapshotSet[wSet].abData[SNAPSHOT_SET_LD];
            }
            if (wOwner >= wFirst && wOwner < wEnd) w = LUN_MAP_NONE;
        }
    }
    for (uint16_t l = wFirst; l < wEnd; l++) {
        ReleaseLdSnapshots(l);
        const uint8_t bProcess = bFindDuplicationOfLd(l);
        if (bProcess != 0xFF) SetDuplicationState(bProcess, DUPLICATION_ABORTED);
    }
}

// The snapshot sets follow the removal of logical drive wLd.
void RenumberSnapshotSets(CONFIG_IMAGE* psImage, uint16_t wLd) {
    for (SNAPSHOT_SET_RECORD& sSet : psImage->asSnapshotSet) {
        uint8_t* pb = sSet.abData;
        if (pb[SNAPSHOT_SET_IN_USE] == TRUE) {
            if (pb[SNAPSHOT_SET_LD] == wLd) {
                pb[SNAPSHOT_SET_IN_USE] = FALSE;
            } else if (pb[SNAPSHOT_SET_LD] > wLd) {
                --pb[SNAPSHOT_SET_LD];
            }
        }
        uint16_t wSecond = static_cast<uint16_t>(pb[SNAPSHOT_SET_SECOND_LD] | (pb[SNAPSHOT_SET_SECOND_LD + 1] << 8));
        if (wSecond == wLd) {
            wSecond = 0xFFFF;
        } else if (wSecond != 0xFFFF && wSecond > wLd) {
            --wSecond;
        }
        pb[SNAPSHOT_SET_SECOND_LD] = static_cast<uint8_t>(wSecond);
        pb[SNAPSHOT_SET_SECOND_LD + 1] = static_cast<uint8_t>(wSecond >> 8);
    }
}

void DeleteEmptyMappings(CONFIG_IMAGE* psImage) {
    uint32_t e = 0;
    while (e < dClampedSanMapCount(psImage)) {
        bool fEmpty = true;
        for (uint16_t w : psImage->asSanMap[e].awLunMap) fEmpty = fEmpty && w == LUN_MAP_NONE;
        if (fEmpty) {
            DeleteSanLunMapping(psImage, static_cast<uint16_t>(e));
        } else {
            ++e;
        }
    }
}

}  // namespace

uint8_t CreateLogicalDrive(uint16_t wUnits, uint16_t wExtent, uint16_t wBlockSize, uint8_t bFlags,
                           const char* pcName) {
    CONFIG_IMAGE* psImage = pGetScratchConfigImage();
    const uint16_t wLd = psImage->sHeader.wLdCount;
    if (fIsConfigurationChangeBlocked() == TRUE || wLd >= MAX_LDS || wUnits == 0) return 0;
    const SEGMENT_MAP& sMap = BuildFreeMap();

    // The extents used, in order, and the units taken from each.
    uint16_t awExtent[MAX_LD_SEGMENTS];
    uint16_t awUnits[MAX_LD_SEGMENTS];
    uint32_t dUsed = 0;
    if (wExtent != ANY_EXTENT) {
        if (wExtent >= sMap.dEntryCount || sMap.asEntry[wExtent].wSizeUnits < wUnits) return 0;
        awExtent[0] = wExtent;
        awUnits[0] = wUnits;
        dUsed = 1;
    } else {
        if (sMap.wFirstFreeEntry == NO_FREE_EXTENT || sMap.dFreeUnits < wUnits) return 0;
        uint32_t dLeft = wUnits;
        for (uint32_t e = sMap.wFirstFreeEntry; e < sMap.dEntryCount && dLeft != 0; e++) {
            const uint16_t wHere = sMap.asEntry[e].wSizeUnits;
            if (wHere == 0) continue;
            if (dUsed == MAX_LD_SEGMENTS) return 0;   // more pieces than a logical drive holds
            awExtent[dUsed] = static_cast<uint16_t>(e);
            awUnits[dUsed] = static_cast<uint16_t>(wHere < dLeft ? wHere : dLeft);
            dLeft -= awUnits[dUsed++];
        }
        if (dLeft != 0) return 0;
    }
    const SEGMENT_MAP_ENTRY& sFirst = sMap.asEntry[awExtent[0]];
    const uint64_t lFirstRow = lRowBlocks(psImage, sFirst.wRank);
    if (lFirstRow == 0 || (sFirst.lStart - psImage->asRank[sFirst.wRank].lStartAddress) % lFirstRow != 0) return 0;
    if (pcName != nullptr && fIsPrintableName(pcName) != TRUE) return 0;

    LD_SEGMENT asSegment[MAX_LD_SEGMENTS] = {};
    for (uint32_t i = 0; i < dUsed; i++) {
        const SEGMENT_MAP_ENTRY& sExtent = sMap.asEntry[awExtent[i]];
        LD_SEGMENT& sSegment = asSegment[i];
        sSegment.lStart = sExtent.lStart;
        sSegment.wSizeGb = awUnits[i];
        uint64_t lBlocks = static_cast<uint64_t>(awUnits[i]) * CAPACITY_UNIT_BLOCKS;
        if (i + 1 < dUsed) {
            sSegment.lLastOffset = lBlocks - 1;
            sSegment.lEnd = sSegment.lStart + sSegment.lLastOffset;
            continue;
        }
        // The last segment ends on a whole stripe row, inside its extent.
        const uint64_t lRow = lRowBlocks(psImage, sExtent.wRank);
        if (lRow == 0) return 0;
        lBlocks = lRoundUpToRows(lBlocks, lRow);
        if (sSegment.lStart + lBlocks - 1 > sExtent.lEnd) return 0;
        SetSegmentEnd(&sSegment, sSegment.lStart + lBlocks - 1, sExtent.lEnd);
    }

    CONFIG_LD_RECORD& sLd = psImage->asLd[wLd];
    std::memset(&sLd, 0, sizeof sLd);
    std::memcpy(sLd.asSegment, asSegment, sizeof asSegment);
    sLd.wLdNumber = wLd;
    sLd.bSanMapState = SAN_MAP_NONE;
    sLd.bSegmentCount = static_cast<uint8_t>(dUsed);
    sLd.wCapacityGb = wUnits;
    if (wBlockSize == 0 || wBlockSize % 512 != 0) wBlockSize = dGetOemCode() == OEM_CODE_0x101 ? 4096 : 512;
    sLd.wBlockSize = wBlockSize;
    sLd.wDefaultLun = wFindFreeLun(psImage);
    if (bFlags == LD_INTERNAL_USE) {
        sLd.bAvailability = LD_INTERNAL_USE;
        sLd.bLdUseFlags = LD_INTERNAL_USE;
    } else {
        sLd.bAvailability = bFlags & 15;
    }
    if (pcName != nullptr) {
        std::memcpy(sLd.acLdName, pcName, sizeof sLd.acLdName);
    } else {
        std::memset(sLd.acLdName, ' ', sizeof sLd.acLdName);
    }
    BuildLdIdentifier(sLd.abLdIdentifier);
    sLd.wLdId = static_cast<uint16_t>(0x8000 | wLowestFreeLdId(psImage));
    psImage->sHeader.wLdCount = static_cast<uint16_t>(wLd + 1);
    if (sLd.wDefaultLun == psImage->sHeader.wControllerLun) {
        psImage->sHeader.wControllerLun = wFindControllerLun(psImage);
    }
    SetConfigModified(TRUE);
    return STATUS_OK;
}

uint8_t ExpandLogicalDrive(uint16_t wLd, uint16_t wExtent, uint16_t wUnits) {
    CONFIG_IMAGE* psImage = pGetScratchConfigImage();
    if (fIsConfigurationChangeBlocked() == TRUE || wLd >= dClampedLdCount(psImage) || wUnits == 0) return 0;
    const SEGMENT_MAP& sMap = BuildFreeMap();
    if (wExtent >= sMap.dEntryCount) return 0;
    const SEGMENT_MAP_ENTRY& sExtent = sMap.asEntry[wExtent];
    CONFIG_LD_RECORD& sLd = psImage->asLd[wLd];
    if (sExtent.wLd != -1 || sExtent.wSizeUnits < wUnits ||
        static_cast<uint32_t>(sLd.wCapacityGb) + wUnits > MAX_CAPACITY_UNITS) {
        return 0;
    }
    const uint64_t lRow = lRowBlocks(psImage, sExtent.wRank);
    if (lRow == 0) return 0;
    uint64_t lBlocks = lRoundUpToRows(static_cast<uint64_t>(wUnits) * CAPACITY_UNIT_BLOCKS, lRow);
    if (sExtent.lStart + lBlocks - 1 > sExtent.lEnd) return 0;
    if (wUnits >= 10) {
        const uint32_t dExtraRows = wUnits / 10 < 10 ? wUnits / 10 : 10;
        for (uint32_t i = 0; i < dExtraRows && sExtent.lStart + lBlocks + lRow - 1 <= sExtent.lEnd; i++) lBlocks += lRow;
    }

    const uint32_t dSegments = dClampedSegmentCount(&sLd);
    LD_SEGMENT* psLast = dSegments != 0 ? &sLd.asSegment[dSegments - 1] : nullptr;
    uint8_t bLastRank = 0xFF;
    if (psLast != nullptr) (void)bFindRankByAddress(psImage, psLast->lStart, &bLastRank);
    if (psLast != nullptr && sExtent.lStart == psLast->lEnd + 1 && bLastRank == sExtent.wRank) {
        psLast->wSizeGb = static_cast<uint16_t>(psLast->wSizeGb + wUnits);
        SetSegmentEnd(psLast, psLast->lEnd + lBlocks, sExtent.lEnd);
    } else {
        if (dSegments >= MAX_LD_SEGMENTS) return 0;
        LD_SEGMENT& sNew = sLd.asSegment[dSegments];
        std::memset(&sNew, 0, sizeof sNew);
        sNew.lStart = sExtent.lStart;
        sNew.wSizeGb = wUnits;
        SetSegmentEnd(&sNew, sNew.lStart + lBlocks - 1, sExtent.lEnd);
        sLd.bSegmentCount = static_cast<uint8_t>(dSegments + 1);
    }
    sLd.wCapacityGb = static_cast<uint16_t>(sLd.wCapacityGb + wUnits);
    NotifyLdSizeChanged(wLd);
    SetConfigModified(TRUE);
    return STATUS_OK;
}

void DeleteLogicalDrive(uint16_t wLd, uint8_t fTruncate, uint8_t fScratch) {
    CONFIG_IMAGE* psImage = fScratch == TRUE ? pGetScratchConfigImage() : pGetConfigImage();
    const uint32_t dCount = dClampedLdCount(psImage);
    if (fIsConfigurationChangeBlocked() == TRUE || wLd >= dCount) return;
    const uint16_t wEnd = fTruncate == TRUE ? static_cast<uint16_t>(dCount) : static_cast<uint16_t>(wLd + 1);
    UnmapLogicalDrives(psImage, wLd, wEnd);
    if (fTruncate == TRUE) {
        for (uint32_t l = wLd; l < dCount; l++) std::memset(&psImage->asLd[l], 0, sizeof psImage->asLd[l]);
        psImage->sHeader.wLdCount = wLd;
        for (SNAPSHOT_SET_RECORD& sSet : psImage->asSnapshotSet) {
            sSet.abData[SNAPSHOT_SET_IN_USE] = FALSE;
            sSet.abData[SNAPSHOT_SET_SECOND_LD] = 0xFF;
            sSet.abData[SNAPSHOT_SET_SECOND_LD + 1] = 0xFF;
        }
    } else {
        for (uint32_t l = wLd; l + 1 < dCount; l++) {
            psImage->asLd[l] = psImage->asLd[l + 1];
            psImage->asLd[l].wLdNumber = static_cast<uint16_t>(l);
        }
        std::memset(&psImage->asLd[dCount - 1], 0, sizeof psImage->asLd[dCount - 1]);
        RenumberSnapshotSets(psImage, wLd);
        psImage->sHeader.wLdCount = static_cast<uint16_t>(dCount - 1);
        const uint32_t dMaps = dClampedSanMapCount(psImage);
        for (uint32_t e = 0; e < dMaps; e++) {
            for (uint16_t& w : psImage->asSanMap[e].awLunMap) {
                if (w != LUN_MAP_NONE && (w & LUN_MAP_VIRTUAL) == 0 && (w & LUN_MAP_LD_MASK) > wLd) --w;
            }
        }
    }
    DeleteEmptyMappings(psImage);
    SetWriteBackCheckEnable(TRUE);
    SetConfigModified(TRUE);
}

}  // namespace fw
