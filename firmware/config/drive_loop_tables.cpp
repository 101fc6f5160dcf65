// Drive-loop device tables: the scan of a loop and the look-ups on it.
#include "config/drive_loop_tables.h"

#include <cstring>

#include "config/config_image.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/nvram_layout.h"
#include "config/spares_wwn.h"
#include "executive/buffer_pages.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/hw.h"
#include "raid/raid_engine.h"

namespace fw {

namespace {

LOOP_DEVICE_TABLE* s_apsTable[2];

constexpr uint8_t FIRMWARE_READY = 3;
constexpr uint8_t MAX_PORT_DATABASE_FAILURES = 11;
constexpr uint8_t PORT_DB_NOT_USABLE = 0x20;

void ClearEntry(LOOP_DEVICE_ENTRY* psEntry) {
    psEntry->bLoopId = 0xFF;
    psEntry->bPortDbByte = 0xFF;
    psEntry->fClaimed = FALSE;
    psEntry->fFailed = FALSE;
    FillWwn(psEntry->abWwn, 0xFF);
}

void Exclude(LOOP_DEVICE_ENTRY* psEntry) {
    psEntry->fClaimed = TRUE;
    psEntry->bLoopId = 0xFF;
    psEntry->abWwn[0] = 0xFF;
}

// The entry of a loop ID among the searched ones, or nullptr.
LOOP_DEVICE_ENTRY* psFindLoopId(uint8_t bPath, uint8_t bLoopId, uint8_t* pbIndex = nullptr) {
    LOOP_DEVICE_TABLE* psTable = pGetDriveLoopTable(bPath);
    if (psTable == nullptr || bLoopId == 0xFF) return nullptr;
    for (uint8_t i = 0; i < LOOP_DEVICE_SEARCHED; i++) {
        if (psTable->asEntry[i].bLoopId != bLoopId) continue;
        if (pbIndex != nullptr) *pbIndex = i;
        return &psTable->asEntry[i];
    }
    return nullptr;
}

}  // namespace

LOOP_DEVICE_TABLE* pGetDriveLoopTable(uint8_t bPath) {
    return (bPath == 3 || bPath == 4) ? s_apsTable[bPath - 3] : nullptr;
}

void AllocateDriveLoopTables() {
    for (uint8_t p = 0; p < 2; p++) {
        s_apsTable[p] = static_cast<LOOP_DEVICE_TABLE*>(pBufferHandleToPointer(dTakeStartOfDayPages(1)));
        s_apsTable[p]->bCount = 0;
        for (LOOP_DEVICE_ENTRY& sEntry : s_apsTable[p]->asEntry) ClearEntry(&sEntry);
    }
    RescanDriveLoop(3);
    RescanDriveLoop(4);
}

uint8_t ScanDriveLoop(LOOP_DEVICE_TABLE* psTable, uint8_t bPath) {
    if (psTable == nullptr) return 0;
    for (LOOP_DEVICE_ENTRY& sEntry : psTable->asEntry) ClearEntry(&sEntry);
    psTable->bCount = 0;
    if (fIsChipPresent(bPath) != TRUE) return 0;
    uint16_t wState = 0;
    if (bGetFirmwareState(bPath, &wState) != STATUS_OK) return 0;
    if (wState != FIRMWARE_READY) return static_cast<uint8_t>(wState);
    uint8_t bOwnAlpa = 0;
    uint32_t dPortId = 0;
    uint16_t wTopology = 0;
    if (bQLGetLoopId(bPath, &bOwnAlpa, &dPortId, &wTopology) != STATUS_OK) return 0;
    const uint8_t bOwnLoopId = bAlpaToLoopId(bOwnAlpa);

    const uint8_t bPositions = bGetLoopMapCount(bPath);
    const uint8_t bCount = bPositions < LOOP_DEVICE_ENTRIES ? bPositions : LOOP_DEVICE_ENTRIES;
    uint8_t bFailures = 0;
    for (uint8_t i = 0; i < bCount; i++) {
        LOOP_DEVICE_ENTRY& sEntry = psTable->asEntry[i];
        // Map positions count from 1: byte 0 is the map's own count.
        const uint8_t bAlpa = bGetLoopMapAlpa(bPath, static_cast<uint8_t>(i + 1));
        const uint8_t bLoopId = bAlpaToLoopId(bAlpa);
        if (bLoopId == bOwnLoopId) {
            sEntry.fClaimed = TRUE;
            sEntry.bLoopId = bOwnLoopId;
            sEntry.abWwn[0] = 0xFF;
            continue;
        }
        if (bLoopId == 0xFF) {
            Exclude(&sEntry);
            continue;
        }
        uint8_t bFlags = 0;
        if (bGetPortDatabase(bPath, bAlpa, &bFlags, sEntry.abWwn) != STATUS_OK) {
            // Retry the same position until the loop has failed us too often.
            if (++bFailures < MAX_PORT_DATABASE_FAILURES) i--;
            continue;
        }
        if (fIsNonZeroWwn(sEntry.abWwn) != TRUE) {
            Exclude(&sEntry);
            sEntry.bPortDbByte = 0xFF;
            bFailures++;
        } else if (fIsValidNvramWwn(sEntry.abWwn) == TRUE) {
            Exclude(&sEntry);   // another controller
        } else if (bFlags & PORT_DB_NOT_USABLE) {
            sEntry.fClaimed = TRUE;
            sEntry.bLoopId = 0xFF;
        } else {
            sEntry.bLoopId = bLoopId;
            sEntry.bPortDbByte = bFlags;
            sEntry.fClaimed = FALSE;
            sEntry.fFailed = FALSE;
        }
    }
    psTable->bCount = bCount;
    return 0xFF;
}

uint8_t RescanDriveLoop(uint8_t bPath) { return ScanDriveLoop(pGetDriveLoopTable(bPath), bPath); }

uint8_t bClaimLoopDevice(LOOP_DEVICE_TABLE* psTable, const uint8_t* pbWwn, uint8_t* pbLoopId, uint8_t fClaim,
                         uint8_t bMark) {
    *pbLoopId = 0xFF;
    if (psTable == nullptr) return 0;
    for (uint8_t i = 0; i < LOOP_DEVICE_SEARCHED; i++) {
        LOOP_DEVICE_ENTRY& sEntry = psTable->asEntry[i];
        if (fWwnEqual(sEntry.abWwn, pbWwn) != TRUE) continue;
        *pbLoopId = sEntry.bLoopId;
        if (fClaim == TRUE) {
            sEntry.fClaimed = TRUE;
        } else {
            sEntry.fFailed = bMark;
            sEntry.fClaimed = FALSE;
        }
        return 0xFF;
    }
    return 0;
}

uint8_t fGetDriveWwnByLoopId(uint8_t bPath, uint8_t bLoopId, uint8_t* pbWwn) {
    const LOOP_DEVICE_ENTRY* psEntry = psFindLoopId(bPath, bLoopId);
    if (psEntry == nullptr || fIsNonZeroWwn(psEntry->abWwn) != TRUE) return 0;
    CopyWwn(psEntry->abWwn, pbWwn);
    return 0xFF;
}

uint8_t fFindLoopIdByWwn(uint8_t bPath, uint8_t* pbLoopId, const uint8_t* pbWwn) {
    LOOP_DEVICE_TABLE* psTable = pGetDriveLoopTable(bPath);
    if (psTable == nullptr || fIsNonZeroWwn(pbWwn) != TRUE) return 0;
    for (uint8_t i = 0; i < LOOP_DEVICE_SEARCHED; i++) {
        if (fWwnEqual(psTable->asEntry[i].abWwn, pbWwn) != TRUE) continue;
        *pbLoopId = psTable->asEntry[i].bLoopId;
        return 0xFF;
    }
    return 0;
}

uint8_t fGetDriveLoopIdByHandle(uint8_t bPath, uint8_t bLoopId, uint8_t* pbByte) {
    const LOOP_DEVICE_ENTRY* psEntry = psFindLoopId(bPath, bLoopId);
    if (psEntry == nullptr) return 0;
    *pbByte = psEntry->bPortDbByte;
    return 0xFF;
}

uint8_t bGetLoopDeviceIndex(uint8_t bPath, uint8_t bLoopId, uint8_t* pbIndex) {
    if (bLoopId == 0) return 0;
    return psFindLoopId(bPath, bLoopId, pbIndex) != nullptr ? 0xFF : 0;
}

uint8_t fIsLoopDevicePresent(uint8_t bPath, uint8_t bLoopId) {
    return psFindLoopId(bPath, bLoopId) != nullptr ? 0xFF : 0;
}

void RemoveLoopDevice(uint8_t bPath, uint8_t bLoopId) {
    LOOP_DEVICE_ENTRY* psEntry = psFindLoopId(bPath, bLoopId);
    if (psEntry != nullptr) ClearEntry(psEntry);
}

void LocateLoopDevice(uint8_t bPath, uint8_t bLoopId, uint8_t* pbA, uint8_t* pbB) {
    *pbA = 0xFF;
    *pbB = 0xFF;
    uint8_t abWwn[8];
    if (fGetDriveWwnByLoopId(bPath, bLoopId, abWwn) != 0xFF) return;
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    const uint32_t dRanks = dClampedRankCount(psImage);
    for (uint32_t r = 0; r < dRanks; r++) {
        const uint32_t dMembers = dClampedDriveCount(&psImage->asRank[r]);
        for (uint32_t m = 0; m < dMembers; m++) {
            if (fWwnEqual(psImage->asRank[r].aabMemberWwn[m], abWwn) != TRUE) continue;
            *pbA = static_cast<uint8_t>(r);
            *pbB = static_cast<uint8_t>(m);
            return;
        }
    }
    const bool fFirstColumn = bPath == 3;
    const HOT_SPARE_TABLE* psSpares = pGetHotSpareTable();
    for (uint8_t i = 0; i < psSpares->bCount && i < MAX_SPARES; i++) {
        if ((fFirstColumn ? psSpares->abDrive[i] : psSpares->abDriveAlt[i]) != bLoopId) continue;
        *pbA = 245;
        *pbB = i;
        return;
    }
    const DRIVE_SLOT_TABLES* psSlots = pGetDriveSlotTables();
    for (uint8_t i = 0; i < psSlots->bCount && i < DRIVE_SLOTS; i++) {
        if ((fFirstColumn ? psSlots->abDrive[i] : psSlots->abDriveAlt[i]) != bLoopId) continue;
        *pbA = 255;
        *pbB = i;
        return;
    }
    uint8_t abSource[8];
    GetRebuildTargetWwn(abSource);
    if (bGetNvramRebuildPendingFlag() == TRUE && fWwnEqual(abSource, abWwn) == TRUE) {
        *pbA = 243;
        *pbB = 0;
    }
}

}  // namespace fw
