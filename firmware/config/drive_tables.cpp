// Failed-drive list, drive slot and hot spare tables.
#include "config/drive_tables.h"

#include <algorithm>
#include <cstring>

#include "config/config_state.h"
#include "config/drive_loop_tables.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "executive/types.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

DRIVE_ADDRESS_LIST s_sAddressList;
DRIVE_SLOT_TABLES s_sSlots;
HOT_SPARE_TABLE s_sSpares;
uint8_t s_aabErasedCopy[ERASED_COPY_ENTRIES][8];
uint8_t s_bErasedCopyCount;

constexpr uint32_t WORK_BUFFER_SLOT_COLUMNS = 7168;

void ClearFailedEntry(FAILED_DRIVE_ENTRY* psEntry) {
    std::memset(psEntry, 0, sizeof(*psEntry));
    psEntry->abFailure[4] = 0xFF;
}

void ClearHotSpares() {
    std::memset(&s_sSpares, 0xFF, sizeof(s_sSpares));
    s_sSpares.bCount = 0;
}

void AddSpareRow(uint8_t bDrive, uint8_t bDriveAlt, uint32_t dSpareIndex, uint8_t bDedicatedRank) {
    const uint8_t bRow = s_sSpares.bCount++;
    s_sSpares.abDrive[bRow] = bDrive;
    s_sSpares.abDriveAlt[bRow] = bDriveAlt;
    s_sSpares.abSpareIndex[bRow] = static_cast<uint8_t>(dSpareIndex);
    s_sSpares.abDedicatedRank[bRow] = bDedicatedRank;
}

void ClearDriveSlots() {
    std::memset(s_sSlots.abDrive, 0xFF, sizeof(s_sSlots.abDrive));
    std::memset(s_sSlots.abDriveAlt, 0xFF, sizeof(s_sSlots.abDriveAlt));
    std::memset(s_sSlots.afFailed, FALSE, sizeof(s_sSlots.afFailed));
    s_sSlots.bCount = 0;
}

bool AddSlot(uint8_t bDrive, uint8_t bDriveAlt, uint8_t fFailed) {
    if (s_sSlots.bCount >= DRIVE_SLOTS) return false;
    const uint8_t bSlot = s_sSlots.bCount++;
    s_sSlots.abDrive[bSlot] = bDrive;
    s_sSlots.abDriveAlt[bSlot] = bDriveAlt;
    s_sSlots.afFailed[bSlot] = fFailed;
    return true;
}

// A drive is shown failed when its list says so or the live image lists it.
uint8_t bSlotFailedMark(uint8_t fOwnMark, const uint8_t* pbWwn) {
    return ToFlag(fOwnMark == TRUE || fIsWwnInFailedDriveList(pbWwn, pGetConfigImage()) == TRUE);
}

// A list's unclaimed drive with an identifier gets the next slot; false once
// the table is full.
bool AddUnclaimedSlot(uint8_t bDrive, uint8_t fClaimed, uint8_t fFailed, const uint8_t* pbWwn) {
    if (fClaimed != FALSE || bDrive == 0xFF) return true;
    return AddSlot(bDrive, 0xFF, bSlotFailedMark(fFailed, pbWwn));
}

// One row per spare of the image that the look-up finds (and claims).
using SPARE_LOOKUP = bool (*)(void* pvList, const uint8_t* pbWwn, uint8_t* pbDrive);

void BuildSinglePathSpares(const CONFIG_IMAGE* psImage, void* pvList, SPARE_LOOKUP pfnLookup) {
    ClearHotSpares();
    const uint32_t dSpares = dClampedSpareCount(psImage);
    for (uint32_t s = 0; s < dSpares; s++) {
        const SPARE_ENTRY& sSpare = psImage->asSpare[s];
        uint8_t bDrive = 0xFF;
        if (pfnLookup(pvList, sSpare.abWwn, &bDrive)) AddSpareRow(bDrive, 0xFF, s, sSpare.bDedicatedRank);
    }
}

bool ClaimSasAddress(void* pvList, const uint8_t* pbWwn, uint8_t* pbDrive) {
    return pFindSASAddressInList(static_cast<DRIVE_ADDRESS_LIST*>(pvList), pbWwn, pbDrive, TRUE) != nullptr;
}

bool ClaimSataSerial(void* pvList, const uint8_t* pbSerial, uint8_t* pbPort) {
    SATA_SERIAL_LIST* psList = static_cast<SATA_SERIAL_LIST*>(pvList);
    const uint32_t dCount = std::min<uint32_t>(psList->bCount, SATA_SERIAL_ENTRIES);
    for (uint32_t i = 0; i < dCount; i++) {
        SATA_SERIAL_ENTRY& sEntry = psList->asEntry[i];
        if (fWwnEqual(sEntry.abSerial, pbSerial) != TRUE) continue;
        sEntry.fClaimed = TRUE;
        *pbPort = sEntry.bPort;
        return true;
    }
    return false;
}

}  // namespace

DRIVE_ADDRESS_LIST* pGetDriveAddressList() { return &s_sAddressList; }

void AddFailedDriveWwn(const uint8_t* pbWwn, CONFIG_IMAGE* psImage, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3,
                       uint8_t b4) {
    if (fIsNonZeroWwn(pbWwn) != TRUE || fIsWwnInFailedDriveList(pbWwn, psImage) == TRUE) return;
    uint32_t dPlace = dClampedFailedDriveCount(psImage);
    if (dPlace == MAX_FAILED_DRIVES) {
        std::memmove(&psImage->asFailedDrive[0], &psImage->asFailedDrive[1],
                     (MAX_FAILED_DRIVES - 1) * sizeof(FAILED_DRIVE_ENTRY));
        dPlace = MAX_FAILED_DRIVES - 1;
    }
    FAILED_DRIVE_ENTRY& sEntry = psImage->asFailedDrive[dPlace];
    CopyWwn(pbWwn, sEntry.abWwn);
    const uint8_t abFailure[5] = {b0, b1, b2, b3, b4};
    std::memcpy(sEntry.abFailure, abFailure, sizeof(abFailure));
    std::memset(sEntry.abReserved, 0, sizeof(sEntry.abReserved));
    psImage->sHeader.wFailedDriveCount = static_cast<uint16_t>(dPlace + 1);
}

void RemoveFailedDriveWwn(const uint8_t* pbWwn, CONFIG_IMAGE* psImage) {
    const uint32_t dCount = dClampedFailedDriveCount(psImage);
    for (uint32_t i = 0; i < dCount; i++) {
        if (fWwnEqual(psImage->asFailedDrive[i].abWwn, pbWwn) != TRUE) continue;
        std::memmove(&psImage->asFailedDrive[i], &psImage->asFailedDrive[i + 1],
                     (dCount - i - 1) * sizeof(FAILED_DRIVE_ENTRY));
        ClearFailedEntry(&psImage->asFailedDrive[dCount - 1]);
        psImage->sHeader.wFailedDriveCount = static_cast<uint16_t>(dCount - 1);
        return;
    }
}

uint8_t fIsWwnInFailedDriveList(const uint8_t* pbWwn, const CONFIG_IMAGE* psImage) {
    const uint32_t dCount = dClampedFailedDriveCount(psImage);
    for (uint32_t i = 0; i < dCount; i++)
        if (fWwnEqual(psImage->asFailedDrive[i].abWwn, pbWwn) == TRUE) return TRUE;
    return FALSE;
}

uint8_t fIsDriveWwnFailed(const uint8_t* pbWwn) { return fIsWwnInFailedDriveList(pbWwn, pGetConfigImage()); }

void InitFailedDriveTable() {
    ClearDriveSlots();
    ClearErasedCopyList();
    ClearHotSpares();
    std::memset(&s_sAddressList, 0, sizeof(s_sAddressList));
}

void BuildDriveSlotTableSas(DRIVE_ADDRESS_LIST* psList, uint8_t fRebuild) {
    if (fRebuild != FALSE) BuildSASAddressList(psList);
    ClearDriveSlots();
    const uint32_t dDevices = std::min<uint32_t>(bGetSASDeviceCount(), DRIVE_ADDRESS_ENTRIES);
    for (uint32_t i = 0; i < dDevices; i++) {
        const DRIVE_ADDRESS_ENTRY& sEntry = psList->asEntry[i];
        if (!AddUnclaimedSlot(sEntry.bTarget, sEntry.fClaimed, sEntry.fFailed, sEntry.abAddress)) return;
    }
}

void BuildDriveSlotTableSata(SATA_SERIAL_LIST* psList, uint8_t) {
    ClearDriveSlots();
    const uint32_t dCount = std::min<uint32_t>(psList->bCount, SATA_SERIAL_ENTRIES);
    for (uint32_t i = 0; i < dCount; i++) {
        const SATA_SERIAL_ENTRY& sEntry = psList->asEntry[i];
        if (!AddUnclaimedSlot(sEntry.bPort, sEntry.fClaimed, sEntry.fFailed, sEntry.abSerial)) return;
    }
}

void BuildHotSpareTableSas(const CONFIG_IMAGE* psImage, DRIVE_ADDRESS_LIST* psList) {
    BuildSinglePathSpares(psImage, psList, ClaimSasAddress);
}

void BuildHotSpareTableSata(const CONFIG_IMAGE* psImage, SATA_SERIAL_LIST* psList) {
    BuildSinglePathSpares(psImage, psList, ClaimSataSerial);
}

namespace {

// The usable devices of a loop table: set loop ID, not claimed.
bool IsFreeLoopDevice(const LOOP_DEVICE_ENTRY& sEntry) { return sEntry.fClaimed == FALSE && sEntry.bLoopId != 0xFF; }

uint8_t bLoopDeviceFailedMark(const LOOP_DEVICE_ENTRY& sEntry) { return bSlotFailedMark(sEntry.fFailed, sEntry.abWwn); }

// Loop ID of a WWN in a loop table; 0xFF when absent.
uint8_t bLoopIdInTable(const LOOP_DEVICE_TABLE* psTable, const uint8_t* pbWwn) {
    if (psTable == nullptr) return 0xFF;
    for (uint32_t i = 0; i < LOOP_DEVICE_SEARCHED; i++)
        if (fWwnEqual(psTable->asEntry[i].abWwn, pbWwn) == TRUE) return psTable->asEntry[i].bLoopId;
    return 0xFF;
}

}  // namespace

void BuildDriveSlotTableFc(LOOP_DEVICE_TABLE* psPath3, LOOP_DEVICE_TABLE* psPath4, uint8_t fRescan) {
    if (fRescan != FALSE) {
        ScanDriveLoop(psPath3, 3);
        ScanDriveLoop(psPath4, 4);
    }
    ClearDriveSlots();
    if (psPath3 != nullptr) {
        for (uint32_t i = 0; i < psPath3->bCount && i < LOOP_DEVICE_SEARCHED; i++) {
            const LOOP_DEVICE_ENTRY& sEntry = psPath3->asEntry[i];
            if (!IsFreeLoopDevice(sEntry)) continue;
            if (!AddSlot(sEntry.bLoopId, bLoopIdInTable(psPath4, sEntry.abWwn), bLoopDeviceFailedMark(sEntry))) return;
        }
    }
    if (psPath4 == nullptr) return;
    for (uint32_t i = 0; i < psPath4->bCount && i < LOOP_DEVICE_SEARCHED; i++) {
        const LOOP_DEVICE_ENTRY& sEntry = psPath4->asEntry[i];
        // A drive seen on both loops already has its slot.
        if (!IsFreeLoopDevice(sEntry) || bLoopIdInTable(psPath3, sEntry.abWwn) != 0xFF) continue;
        if (!AddSlot(0xFF, sEntry.bLoopId, bLoopDeviceFailedMark(sEntry))) return;
    }
}

void BuildHotSpareTableFc(const CONFIG_IMAGE* psImage, LOOP_DEVICE_TABLE* psPath3, LOOP_DEVICE_TABLE* psPath4) {
    ClearHotSpares();
    const uint32_t dSpares = dClampedSpareCount(psImage);
    for (uint32_t s = 0; s < dSpares; s++) {
        const SPARE_ENTRY& sSpare = psImage->asSpare[s];
        uint8_t bOn3 = 0xFF;
        uint8_t bOn4 = 0xFF;
        const bool fFound3 = bClaimLoopDevice(psPath3, sSpare.abWwn, &bOn3, TRUE, FALSE) == 0xFF;
        const bool fFound4 = bClaimLoopDevice(psPath4, sSpare.abWwn, &bOn4, TRUE, FALSE) == 0xFF;
        if (fFound3 || fFound4) AddSpareRow(fFound3 ? bOn3 : 0xFF, fFound4 ? bOn4 : 0xFF, s, sSpare.bDedicatedRank);
    }
}

DRIVE_SLOT_TABLES* pGetDriveSlotTables() { return &s_sSlots; }
uint8_t bGetSpareDriveTableCount() { return s_sSlots.bCount; }
void SetDriveSlotCount(uint8_t bCount) { s_sSlots.bCount = bCount < DRIVE_SLOTS ? bCount : DRIVE_SLOTS; }
HOT_SPARE_TABLE* pGetHotSpareTable() { return &s_sSpares; }
uint8_t bGetHotSpareCount() { return s_sSpares.bCount; }

uint8_t fFindHotSpareRow(uint8_t bDrive, uint8_t* pbRow) {
    for (uint8_t r = 0; r < s_sSpares.bCount && r < MAX_SPARES; r++) {
        if (s_sSpares.abDrive[r] == bDrive) {
            *pbRow = r;
            return TRUE;
        }
    }
    return FALSE;
}

uint8_t fFindDriveSlot(uint8_t bDrive, uint8_t* pbSlot) {
    for (uint8_t s = 0; s < s_sSlots.bCount && s < DRIVE_SLOTS; s++) {
        if (s_sSlots.abDrive[s] == bDrive) {
            *pbSlot = s;
            return TRUE;
        }
    }
    return FALSE;
}

void RemoveDriveFromUnassignedSlots(const uint8_t* pbWwn) {
    uint8_t bDrive = 0xFF;
    uint8_t bSlot = 0;
    if (fFindDriveByWWN(pbWwn, &bDrive) != TRUE || fFindDriveSlot(bDrive, &bSlot) != TRUE) return;
    const uint32_t dTail = s_sSlots.bCount - bSlot - 1;
    std::memmove(&s_sSlots.abDrive[bSlot], &s_sSlots.abDrive[bSlot + 1], dTail);
    std::memmove(&s_sSlots.abDriveAlt[bSlot], &s_sSlots.abDriveAlt[bSlot + 1], dTail);
    std::memmove(&s_sSlots.afFailed[bSlot], &s_sSlots.afFailed[bSlot + 1], dTail);
    s_sSlots.bCount--;
    s_sSlots.abDrive[s_sSlots.bCount] = 0xFF;
    s_sSlots.abDriveAlt[s_sSlots.bCount] = 0xFF;
    s_sSlots.afFailed[s_sSlots.bCount] = FALSE;
}

void ReturnDriveToUnassignedSlots(const uint8_t* pbWwn) {
    uint8_t bDrive = 0xFF;
    uint8_t bSlot = 0;
    if (fFindDriveByWWN(pbWwn, &bDrive) != TRUE || fFindDriveSlot(bDrive, &bSlot) == TRUE) return;
    if (s_sSlots.bCount >= DRIVE_SLOTS) return;
    const uint8_t bNew = s_sSlots.bCount++;
    s_sSlots.abDrive[bNew] = bDrive;
    s_sSlots.abDriveAlt[bNew] = 0xFF;
    s_sSlots.afFailed[bNew] = FALSE;
}

void RestoreDriveSlotTables() {
    const uint8_t* pbBuffer = pGetConfigWorkBuffer();
    if (pbBuffer == nullptr) return;
    const uint8_t* pbColumns = pbBuffer + WORK_BUFFER_SLOT_COLUMNS;
    std::memcpy(s_sSlots.abDrive, pbColumns, DRIVE_SLOTS);
    std::memcpy(s_sSlots.abDriveAlt, pbColumns + DRIVE_SLOTS, DRIVE_SLOTS);
    std::memcpy(s_sSlots.afFailed, pbColumns + 2 * DRIVE_SLOTS, DRIVE_SLOTS);
    uint8_t bCount = 0;
    for (uint32_t s = 0; s < DRIVE_SLOTS; s++)
        if (s_sSlots.abDrive[s] < 255 || s_sSlots.abDriveAlt[s] < 255) bCount++;
    s_sSlots.bCount = bCount;
}

void ClearErasedCopyList() {
    std::memset(s_aabErasedCopy, 0xFF, sizeof(s_aabErasedCopy));
    s_bErasedCopyCount = 0;
}

void AddErasedCopy(uint8_t bDrive) {
    uint8_t abWwn[8];
    if (s_bErasedCopyCount >= ERASED_COPY_ENTRIES || fGetDriveWwnOfTarget(bDrive, abWwn) != TRUE) return;
    CopyWwn(abWwn, s_aabErasedCopy[s_bErasedCopyCount++]);
}

uint8_t fIsErasedCopy(uint8_t bDrive) {
    uint8_t abWwn[8];
    if (fGetDriveWwnOfTarget(bDrive, abWwn) != TRUE) return FALSE;
    for (uint8_t i = 0; i < s_bErasedCopyCount; i++)
        if (fWwnEqual(s_aabErasedCopy[i], abWwn) == TRUE) return TRUE;
    return FALSE;
}

void PruneErasedCopyList() {
    // A drive that left the unassigned slots, or failed there, no longer
    // needs its erase remembered; one the drive table does not know stays.
    uint8_t i = 0;
    while (i < s_bErasedCopyCount) {
        uint8_t bDrive = 0xFF;
        uint8_t bSlot = 0;
        const bool fKnown = fFindDriveByWWN(s_aabErasedCopy[i], &bDrive) == TRUE;
        const bool fInSlot = fKnown && fFindDriveSlot(bDrive, &bSlot) == TRUE;
        if (!fKnown || (fInSlot && s_sSlots.afFailed[bSlot] != TRUE)) {
            i++;
            continue;
        }
        std::memmove(s_aabErasedCopy[i], s_aabErasedCopy[i + 1], (s_bErasedCopyCount - i - 1) * 8u);
        s_bErasedCopyCount--;
        FillWwn(s_aabErasedCopy[s_bErasedCopyCount], 0xFF);
    }
}

}  // namespace fw
