// The enclosures as the drive table sees them: SES devices, slot flags,
// slot maps and the drive slot table's order.
#include "enclosure/enclosure_table.h"

#include <cstring>
#include <utility>

#include "config/config_image.h"
#include "config/drive_tables.h"
#include "config/rank_table.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "raid/raid_engine.h"
#include "sas/sas_device_list.h"

namespace fw {

namespace {

constexpr uint8_t NO_ENCLOSURE = 0xFF;
constexpr uint8_t NO_ID = 0xFF;
constexpr uint8_t SES_DEVICES_PER_ENCLOSURE = 2;
constexpr uint8_t SES_LEVEL_ENCLOSURES = 3;
constexpr uint8_t RANK_NONE = 255;
constexpr uint8_t LOOP_1 = 1;
constexpr uint8_t BACKPLANE_DIRECT = 6;
constexpr uint8_t BACKPLANE_SPARE_ELEMENTS = 144;
constexpr uint8_t RANK_STATE_REBUILDING = 1;

// The twelve-slot backplane numbers its SES elements three to a row with
// the last column after the others; slots past twelve have no element.
constexpr uint8_t TWELVE_SLOT_SES_ID[MAX_SLOT_NUMBER] = {0,   1,   8,   2,   3,   9,   4,   5,   10,  6,   7,
                                                         11,  255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                                         255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
// The 32-slot enclosure whose spare elements sit after the first fourteen.
constexpr uint8_t SPARE_ELEMENT_REVERSE[MAX_SLOT_NUMBER] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                                            12, 13, 14, 23, 24, 15, 16, 17, 18, 19, 20,
                                                            21, 22, 27, 28, 29, 30, 31, 32, 33, 34};
// The own chassis: four rows of three bays, each row's fourth position
// empty.
constexpr uint8_t OWN_CHASSIS_SLOT[OWN_CHASSIS_POSITIONS] = {10, 11, 12, 255, 9, 8, 7, 255,
                                                             4,  5,  6,  255, 3, 2, 1, 255};
constexpr uint8_t OWN_CHASSIS_SES_ID[OWN_CHASSIS_POSITIONS] = {6, 7, 11, 255, 10, 5, 4, 255,
                                                               2, 3, 9,  255, 8,  1, 0, 255};

uint8_t bDrives(const DRIVE_INFO_LIST* psList) {
    return psList->bDriveCount < DRIVE_INFO_RECORDS ? psList->bDriveCount : DRIVE_INFO_RECORDS;
}

bool IsInFailedList(const uint8_t* pbWwn) {
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    const uint32_t dCount = dClampedFailedDriveCount(psImage);
    for (uint32_t i = 0; i < dCount; i++)
        if (std::memcmp(psImage->asFailedDrive[i].abWwn, pbWwn, 8) == 0) return true;
    return false;
}

uint8_t bArrayFlags(const DRIVE_INFO& s) {
    if (s.bRankNo == RANK_NONE) return SES_ARRAY_NONE;
    if (s.bRankNo == DRIVE_IS_HOT_SPARE) return SES_ARRAY_HOT_SPARE;
    if (s.bDriveStatus == DRIVE_STATUS_REBUILD_TARGET) return SES_ARRAY_REBUILD;
    if (s.bRankNo >= bGetRankCount()) return SES_ARRAY_UNCHANGED;
    const uint8_t bState = bGetRankOperationState(s.bRankNo);
    if (bState == RANK_STATE_FAILED) return SES_ARRAY_FAILED;
    if (bState == RANK_STATE_REBUILDING) return SES_ARRAY_UNCHANGED;
    if (bState == RANK_STATE_DEGRADED && bGetRankRaidLevel(s.bRankNo) != RAID_LEVEL_0) return SES_ARRAY_CRITICAL;
    if (fIsParityCheckInProgress() == TRUE && bGetParityCheckRank() == s.bRankNo) return SES_ARRAY_CONSISTENCY_CHECK;
    return SES_ARRAY_UNCHANGED;
}

void SetIdentify(uint8_t bLoop, uint8_t bLoopId, uint8_t bControl) {
    if (bGetSesLevel() != SES_LEVEL_ENCLOSURES) return;
    DRIVE_INFO_LIST* psList = pGetDriveInfoList();
    if (psList == nullptr) return;
    for (uint8_t i = 0; i < bDrives(psList); i++) {
        DRIVE_INFO& s = psList->asDriveInfo[i];
        if ((bLoop == LOOP_1 ? s.bLoopID1 : s.bLoopID2) != bLoopId) continue;
        s.bSES_ControlFlags = bControl;
        RequestEnclosureStatusUpdate(TRUE);
        return;
    }
}

// The drive the slot table names at a position, when the table knows it.
const DRIVE_INFO* psSlotDrive(const DRIVE_SLOT_TABLES* psTables, uint32_t dPosition) {
    DRIVE_INFO* ps = nullptr;
    uint8_t bIndex = 0;
    if (psTables->abDrive[dPosition] == NO_ID || fFindDriveByLoopID(0, psTables->abDrive[dPosition], &ps, &bIndex) != TRUE) {
        return nullptr;
    }
    return ps;
}

}  // namespace

uint8_t bSlotToSesSlotId(uint8_t bSlot) {
    if (bSlot == 0 || bSlot > MAX_SLOT_NUMBER) return 0;
    switch (bGetBackplaneType()) {
    case BACKPLANE_DIRECT: return static_cast<uint8_t>(bSlot - 1);
    case BACKPLANE_SPARE_ELEMENTS: return SPARE_ELEMENT_REVERSE[bSlot - 1];
    default: {
        const uint8_t bId = TWELVE_SLOT_SES_ID[bSlot - 1];
        return bId == NO_SLOT ? 0 : bId;
    }
    }
}

uint8_t bOwnChassisSlot(uint8_t bPosition) {
    return bPosition < OWN_CHASSIS_POSITIONS ? OWN_CHASSIS_SLOT[bPosition] : NO_SLOT;
}

uint8_t bOwnChassisSesSlotId(uint8_t bPosition) {
    return bPosition < OWN_CHASSIS_POSITIONS ? OWN_CHASSIS_SES_ID[bPosition] : NO_SLOT;
}

uint8_t bGetHighestEnclosureNumber(const DRIVE_INFO_LIST* psList) {
    uint8_t bHighest = 0;
    for (uint8_t i = 0; i < bDrives(psList); i++) {
        const uint8_t b = psList->asDriveInfo[i].bEnclosureNo;
        if (b != NO_ENCLOSURE && b > bHighest) bHighest = b;
    }
    return bHighest;
}

uint8_t fAreEnclosureNumbersContiguous(const DRIVE_INFO_LIST* psList) {
    const uint8_t bHighest = bGetHighestEnclosureNumber(psList);
    for (uint8_t bEnclosure = 1; bEnclosure <= bHighest; bEnclosure++) {
        bool fFound = false;
        for (uint8_t i = 0; i < bDrives(psList) && !fFound; i++) fFound = psList->asDriveInfo[i].bEnclosureNo == bEnclosure;
        if (!fFound) return FALSE;
    }
    return TRUE;
}

uint8_t fFindDriveBySesId(uint8_t bSesId, DRIVE_INFO** ppsRecord, uint8_t* pbIndex) {
    DRIVE_INFO_LIST* psList = pGetDriveInfoList();
    if (psList == nullptr) return FALSE;
    for (uint8_t i = 0; i < bDrives(psList); i++) {
        DRIVE_INFO& s = psList->asDriveInfo[i];
        if (s.bSES0_IDLoop1 != bSesId && s.bSES1_IDLoop1 != bSesId) continue;
        *ppsRecord = &s;
        *pbIndex = i;
        return TRUE;
    }
    return FALSE;
}

namespace {
// The enclosure records behind the drive records: the drive side's
// enclosure processors, each reached at its target id.
const SAS_STP_ENTRY* psSesDevice(uint8_t bTarget) {
    const DRIVE_INFO_LIST* ps = pGetDriveInfoList();
    if (ps == nullptr) return nullptr;
    const uint8_t bCount = ps->bEnclosureRecordCount < DRIVE_ENCLOSURE_RECORDS ? ps->bEnclosureRecordCount
                                                                               : DRIVE_ENCLOSURE_RECORDS;
    for (uint8_t i = 0; i < bCount; ++i) {
        const SAS_STP_ENTRY* psRecord = reinterpret_cast<const SAS_STP_ENTRY*>(ps->aabEnclosureRecord[i]);
        if (psRecord->bTargetId == bTarget) return psRecord;
    }
    return nullptr;
}
}  // namespace

uint8_t fIsSesDevicePath(uint8_t bTarget) { return ToFlag(bTarget != NO_ID && psSesDevice(bTarget) != nullptr); }

uint8_t bGetSesDeviceSasAddress(uint8_t* pbAddress, uint8_t bId) {
    const SAS_STP_ENTRY* ps = bId != NO_ID ? psSesDevice(bId) : nullptr;
    if (ps == nullptr) return 0;
    std::memcpy(pbAddress, ps->abSASAddressBE, sizeof ps->abSASAddressBE);
    return STATUS_OK;
}

void AssignSesDevices(DRIVE_INFO_LIST* psList) {
    const uint8_t bHighest = bGetHighestEnclosureNumber(psList);
    for (uint8_t bEnclosure = 1; bEnclosure <= bHighest; bEnclosure++) {
        uint8_t bDevices = 0;
        for (uint8_t i = 0; i < bDrives(psList); i++) {
            DRIVE_INFO& s = psList->asDriveInfo[i];
            if (s.bEnclosureNo != bEnclosure) continue;
            s.fSESEnabled = ToFlag(bDevices < SES_DEVICES_PER_ENCLOSURE);
            if (bDevices < SES_DEVICES_PER_ENCLOSURE) bDevices++;
        }
    }
}

// An enclosure with one SES device has no second way to it: its second
// ids say so rather than keep what an earlier table held.
void AssignSesIds(DRIVE_INFO_LIST* psList) {
    const uint8_t bHighest = bGetHighestEnclosureNumber(psList);
    for (uint8_t bEnclosure = 1; bEnclosure <= bHighest; bEnclosure++) {
        const DRIVE_INFO* apsDevice[SES_DEVICES_PER_ENCLOSURE] = {nullptr, nullptr};
        uint8_t bDevices = 0;
        for (uint8_t i = 0; i < bDrives(psList) && bDevices < SES_DEVICES_PER_ENCLOSURE; i++) {
            const DRIVE_INFO& s = psList->asDriveInfo[i];
            if (s.bEnclosureNo == bEnclosure && s.fSESEnabled == TRUE) apsDevice[bDevices++] = &s;
        }
        if (bDevices == 0) continue;
        const uint8_t abIds[4] = {apsDevice[0]->bLoopID1, apsDevice[0]->bLoopID2,
                                  apsDevice[1] == nullptr ? NO_ID : apsDevice[1]->bLoopID1,
                                  apsDevice[1] == nullptr ? NO_ID : apsDevice[1]->bLoopID2};
        for (uint8_t i = 0; i < bDrives(psList); i++) {
            DRIVE_INFO& s = psList->asDriveInfo[i];
            if (s.bEnclosureNo != bEnclosure) continue;
            s.bSES0_IDLoop1 = abIds[0];
            s.bSES0_IDLoop2 = abIds[1];
            s.bSES1_IDLoop1 = abIds[2];
            s.bSES1_IDLoop2 = abIds[3];
        }
    }
}

void SetDrivesOwnSesDevice(DRIVE_INFO_LIST* psList) {
    for (uint8_t i = 0; i < bDrives(psList); i++) {
        DRIVE_INFO& s = psList->asDriveInfo[i];
        s.fSESEnabled = TRUE;
        s.bSES0_IDLoop1 = s.bLoopID1;
        s.bSES0_IDLoop2 = s.bLoopID2;
    }
}

void ClearDriveSesIds(DRIVE_INFO_LIST* psList) {
    for (uint8_t i = 0; i < bDrives(psList); i++) {
        DRIVE_INFO& s = psList->asDriveInfo[i];
        s.bSES0_IDLoop1 = s.bSES0_IDLoop2 = s.bSES1_IDLoop1 = s.bSES1_IDLoop2 = NO_ID;
        s.bSES_ControlFlags = SES_CONTROL_NONE;
        s.bSES_ArrayFlags = SES_ARRAY_NONE;
    }
}

// An identify asked for stays until it is cleared; a failed drive shows
// its fault and nothing of an array.
void UpdateDriveSesFlags() {
    DRIVE_INFO_LIST* psList = pGetDriveInfoList();
    if (psList == nullptr) return;
    for (uint8_t i = 0; i < bDrives(psList); i++) {
        DRIVE_INFO& s = psList->asDriveInfo[i];
        s.bSES_ArrayFlags = SES_ARRAY_UNCHANGED;
        if (s.bSES_ControlFlags != SES_CONTROL_IDENTIFY) s.bSES_ControlFlags = SES_CONTROL_NONE;
        if (s.bDriveStatus == DRIVE_STATUS_FAILED_LIST || IsInFailedList(s.abWWN)) {
            s.bSES_ControlFlags = SES_CONTROL_FAULT;
            continue;
        }
        s.bSES_ArrayFlags = bArrayFlags(s);
    }
}

// An exchange sort: the table is short and sorted after every rebuild.
// Positions whose drive the table does not know stay where they are.
void SortDriveList() {
    const DRIVE_INFO_LIST* psList = pGetDriveInfoList();
    if (psList == nullptr || psList->bDriveCount == 0) return;
    DRIVE_SLOT_TABLES* psTables = pGetDriveSlotTables();
    for (uint32_t i = 0; i < DRIVE_SLOTS; i++) {
        for (uint32_t j = i + 1; j < DRIVE_SLOTS; j++) {
            const DRIVE_INFO* psI = psSlotDrive(psTables, i);
            const DRIVE_INFO* psJ = psSlotDrive(psTables, j);
            if (psI == nullptr || psJ == nullptr ||
                std::make_pair(psI->bEnclosureNo, psI->bSlotNo) <= std::make_pair(psJ->bEnclosureNo, psJ->bSlotNo)) {
                continue;
            }
            std::swap(psTables->abDrive[i], psTables->abDrive[j]);
            std::swap(psTables->abDriveAlt[i], psTables->abDriveAlt[j]);
            std::swap(psTables->afFailed[i], psTables->afFailed[j]);
        }
    }
}

void SetDriveIdentify(uint8_t bLoop, uint8_t bLoopId) { SetIdentify(bLoop, bLoopId, SES_CONTROL_IDENTIFY); }
void ClearDriveIdentify(uint8_t bLoop, uint8_t bLoopId) { SetIdentify(bLoop, bLoopId, SES_CONTROL_NONE); }

}  // namespace fw
