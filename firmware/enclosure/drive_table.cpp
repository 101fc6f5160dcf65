#include "enclosure/drive_table.h"

#include <algorithm>
#include <cstring>

#include "config/drive_tables.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_management.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "sas/sas_device_list.h"

namespace fw {

namespace {

DRIVE_INFO_LIST s_sCurrent;
DRIVE_INFO_LIST s_sDiscovery;
DRIVE_INFO_LIST s_sSorted;
uint8_t s_fFirstBuild = TRUE;
uint32_t s_dChangeCount = 0;

DRIVE_PATH_MAP_ENTRY s_asPath3[DRIVE_PATH_MAP_ENTRIES];
DRIVE_PATH_MAP_ENTRY s_asPath4[DRIVE_PATH_MAP_ENTRIES];
uint8_t s_fMapsValid = FALSE;
uint32_t s_adVerifyCompleted[DRIVE_PATH_MAP_ENTRIES];
uint32_t s_dMapRefusals = 0;

constexpr uint8_t EMPTY_ID_BYTES = 11;

// Index of the first record of the current table that the predicate
// accepts, or DRIVE_INFO_RECORDS.
template <typename Match>
uint8_t FirstRecord(const DRIVE_INFO_LIST& sList, Match fMatch) {
    const uint8_t bCount = sList.bDriveCount < DRIVE_INFO_RECORDS ? sList.bDriveCount : DRIVE_INFO_RECORDS;
    for (uint8_t i = 0; i < bCount; ++i) {
        if (fMatch(sList.asDriveInfo[i])) return i;
    }
    return DRIVE_INFO_RECORDS;
}

uint8_t Found(uint8_t bIndex, DRIVE_INFO** ppsRecord, uint8_t* pbIndex) {
    if (bIndex >= DRIVE_INFO_RECORDS) return FALSE;
    if (ppsRecord) *ppsRecord = &s_sCurrent.asDriveInfo[bIndex];
    if (pbIndex) *pbIndex = bIndex;
    return TRUE;
}

uint8_t ByWwn(const uint8_t* pbWwn) {
    if (fIsNonZeroWwn(pbWwn) != TRUE) return DRIVE_INFO_RECORDS;
    return FirstRecord(s_sCurrent, [&](const DRIVE_INFO& s) { return std::memcmp(s.abWWN, pbWwn, 8) == 0; });
}

uint8_t ByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot) {
    return FirstRecord(s_sCurrent,
                       [&](const DRIVE_INFO& s) { return s.bEnclosureNo == bEnclosure && s.bSlotNo == bSlot; });
}

DRIVE_PATH_MAP_ENTRY* MapEntry(DRIVE_PATH_MAP_ENTRY* psMap, uint8_t bLoopId) {
    if (bLoopId >= DRIVE_PATH_MAP_ENTRIES) {
        ++s_dMapRefusals;
        return nullptr;
    }
    return &psMap[bLoopId];
}

}  // namespace

// A WWN of all 0x00 or all 0xFF is "not set" and matches nothing.
void InitDriveTables() {
    ClearDriveInfoList(&s_sCurrent);
    ClearDriveInfoList(&s_sDiscovery);
    ClearDriveInfoList(&s_sSorted);
    s_fFirstBuild = TRUE;
    s_dChangeCount = 0;
    std::memset(s_adVerifyCompleted, 0, sizeof s_adVerifyCompleted);
    s_fMapsValid = FALSE;
    s_dMapRefusals = 0;
}

DRIVE_INFO_LIST* pGetDriveInfoList() { return &s_sCurrent; }
DRIVE_INFO_LIST* pGetDriveInfoListSorted() { return &s_sSorted; }
DRIVE_INFO_LIST* pGetDriveInfoListDiscovery() { return &s_sDiscovery; }
uint32_t dGetDriveTableChangeCount() { return s_dChangeCount; }
void IncrementDriveTableChangeCount() { ++s_dChangeCount; }
uint8_t fIsDriveTableFirstBuild() { return s_fFirstBuild; }

void ClearDriveInfoRecord(DRIVE_INFO* psRecord) {
    std::memset(psRecord, 0, sizeof *psRecord);
    std::memset(psRecord, 0xFF, EMPTY_ID_BYTES);
    psRecord->fSESEnabled = FALSE;
    psRecord->fFirmwareFileStored = FALSE;
}

void ClearDriveInfoList(DRIVE_INFO_LIST* psList) {
    std::memset(psList, 0, sizeof *psList);
    psList->dUsedBytes = 8;
    for (DRIVE_INFO& s : psList->asDriveInfo) ClearDriveInfoRecord(&s);
    for (auto& ab : psList->aabEnclosureRecord) {
        std::memset(ab, 0, DRIVE_ENCLOSURE_RECORD_BYTES);
        std::memset(ab, 0xFF, 4);
        std::memset(ab + 8, 0xFF, 4);
        std::memset(ab + 16, 0xFF, 4);
        ab[24] = ab[25] = ab[28] = 0xFF;
        std::memset(ab + 32, 0xFF, 8);
        ab[40] = ab[41] = ab[43] = 0xFF;
        std::memset(ab + 48, 0xFF, 8);
    }
}

uint8_t fAppendDriveInfo(DRIVE_INFO_LIST* psList, const DRIVE_INFO* psRecord) {
    if (psList->bDriveCount >= DRIVE_INFO_RECORDS) return FALSE;
    psList->asDriveInfo[psList->bDriveCount++] = *psRecord;
    psList->dUsedBytes += sizeof(DRIVE_INFO);
    return TRUE;
}

// Ordered by enclosure and slot; when two records claim one slot the
// discovery order is kept, since no order between them would be right.
void SortDriveInfoList(const DRIVE_INFO_LIST* psSource, DRIVE_INFO_LIST* psDestination) {
    ClearDriveInfoList(psDestination);
    const uint8_t bCount = psSource->bDriveCount < DRIVE_INFO_RECORDS ? psSource->bDriveCount : DRIVE_INFO_RECORDS;
    auto key = [&](uint8_t i) {
        return static_cast<uint16_t>(psSource->asDriveInfo[i].bEnclosureNo << 8 | psSource->asDriveInfo[i].bSlotNo);
    };
    bool fDuplicate = false;
    for (uint8_t i = 0; i < bCount && !fDuplicate; ++i) {
        for (uint8_t j = static_cast<uint8_t>(i + 1); j < bCount; ++j) fDuplicate = fDuplicate || key(i) == key(j);
    }
    uint8_t abOrder[DRIVE_INFO_RECORDS];
    for (uint8_t i = 0; i < bCount; ++i) abOrder[i] = i;
    if (!fDuplicate) {
        std::sort(abOrder, abOrder + bCount, [&](uint8_t a, uint8_t b) { return key(a) < key(b); });
    }
    for (uint8_t i = 0; i < bCount; ++i) {
        DRIVE_INFO s = psSource->asDriveInfo[abOrder[i]];
        uint8_t bTarget = 0xFF;
        if (bGetTargetIdBySASAddress(s.abWWN, &bTarget) == STATUS_OK) s.bLoopID1 = bTarget;
        s.bLoopID2 = 0xFF;
        if (s.bDriveStatus != DRIVE_STATUS_FIRMWARE_DOWNLOAD) {
            s.bDriveStatus = fIsDriveWwnFailed(s.abWWN) == TRUE ? DRIVE_STATUS_FAILED_LIST : DRIVE_STATUS_NORMAL;
        }
        fAppendDriveInfo(psDestination, &s);
    }
    const uint8_t bEnclosures = psSource->bEnclosureRecordCount < DRIVE_ENCLOSURE_RECORDS
                                    ? psSource->bEnclosureRecordCount
                                    : DRIVE_ENCLOSURE_RECORDS;
    psDestination->bEnclosureRecordCount = bEnclosures;
    std::memcpy(psDestination->aabEnclosureRecord, psSource->aabEnclosureRecord,
                sizeof psSource->aabEnclosureRecord);
}

void CommitDriveInfoList() {
    std::memcpy(&s_sCurrent, &s_sSorted, sizeof s_sCurrent);
    s_fFirstBuild = FALSE;
    ++s_dChangeCount;
}

uint8_t fFindDriveByLoopID(uint8_t, uint8_t bLoopId, DRIVE_INFO** ppsRecord, uint8_t* pbIndex) {
    return Found(FirstRecord(s_sCurrent, [&](const DRIVE_INFO& s) { return s.bLoopID1 == bLoopId; }), ppsRecord,
                 pbIndex);
}

uint8_t fFindDriveByRankDrive(uint8_t bRank, uint8_t bDrive, DRIVE_INFO** ppsRecord, uint8_t* pbIndex) {
    return Found(FirstRecord(s_sCurrent,
                             [&](const DRIVE_INFO& s) { return s.bRankNo == bRank && s.bDriveNo == bDrive; }),
                 ppsRecord, pbIndex);
}

uint8_t fFindDriveByWWN(const uint8_t* pbWwn, DRIVE_INFO** ppsRecord, uint8_t* pbIndex) {
    return Found(ByWwn(pbWwn), ppsRecord, pbIndex);
}

uint8_t fFindDriveByWWN(const uint8_t* pbWwn, uint8_t* pbTarget) {
    DRIVE_INFO* ps = nullptr;
    if (fFindDriveByWWN(pbWwn, &ps, nullptr) != TRUE) {
        *pbTarget = 0xFF;
        return FALSE;
    }
    *pbTarget = ps->bLoopID1;
    return TRUE;
}

uint8_t fFindDriveByDriveIndex(uint8_t bPosition, DRIVE_INFO** ppsRecord) {
    if (bPosition == DRIVE_POSITION_NONE) return FALSE;
    return Found(FirstRecord(s_sCurrent,
                             [&](const DRIVE_INFO& s) {
                                 return bGetDriveIndexFromEnclosureSlot(s.bEnclosureNo, s.bSlotNo) == bPosition;
                             }),
                 ppsRecord, nullptr);
}

uint8_t fFindDriveByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, DRIVE_INFO** ppsRecord) {
    return Found(ByEnclosureSlot(bEnclosure, bSlot), ppsRecord, nullptr);
}

uint8_t bFindDriveIndexByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, DRIVE_INFO** ppsRecord, uint8_t* pbIndex) {
    return Found(ByEnclosureSlot(bEnclosure, bSlot), ppsRecord, pbIndex) == TRUE ? STATUS_OK : 0;
}

uint8_t fIsHardIdDuplicated(uint8_t bId) {
    if (bId == 0xFF) return FALSE;
    const uint8_t bFirst = FirstRecord(s_sCurrent, [&](const DRIVE_INFO& s) { return s.bHardIDFromADISC == bId; });
    if (bFirst >= DRIVE_INFO_RECORDS) return FALSE;
    for (uint8_t i = static_cast<uint8_t>(bFirst + 1); i < s_sCurrent.bDriveCount && i < DRIVE_INFO_RECORDS; ++i) {
        if (s_sCurrent.asDriveInfo[i].bHardIDFromADISC == bId) return TRUE;
    }
    return FALSE;
}

uint8_t bGetHardIdOfWWN(const uint8_t* pbWwn) {
    const uint8_t b = ByWwn(pbWwn);
    return b < DRIVE_INFO_RECORDS ? s_sCurrent.asDriveInfo[b].bHardIDFromADISC : 0xFF;
}

uint8_t bGetDriveIndexOfWWN(const uint8_t* pbWwn) {
    const uint8_t b = ByWwn(pbWwn);
    if (b >= DRIVE_INFO_RECORDS) return DRIVE_POSITION_NONE;
    return bGetDriveIndexFromEnclosureSlot(s_sCurrent.asDriveInfo[b].bEnclosureNo, s_sCurrent.asDriveInfo[b].bSlotNo);
}

uint8_t fGetDriveWwnOfTarget(uint8_t bTarget, uint8_t* pbWwn) {
    DRIVE_INFO* ps = nullptr;
    if (bTarget == 0xFF || fFindDriveByLoopID(0, bTarget, &ps, nullptr) != TRUE) return FALSE;
    std::memcpy(pbWwn, ps->abWWN, 8);
    return TRUE;
}

uint8_t fGetEnclosureSlotOfLoopIds(const DRIVE_INFO_LIST* psList, uint8_t bLoopId1, uint8_t bLoopId2,
                                   uint8_t* pbEnclosure, uint8_t* pbSlot) {
    const uint8_t b = FirstRecord(*psList, [&](const DRIVE_INFO& s) {
        return (bLoopId1 != 0xFF && s.bLoopID1 == bLoopId1) || (bLoopId2 != 0xFF && s.bLoopID2 == bLoopId2);
    });
    if (b >= DRIVE_INFO_RECORDS) return FALSE;
    *pbEnclosure = psList->asDriveInfo[b].bEnclosureNo;
    *pbSlot = psList->asDriveInfo[b].bSlotNo;
    return TRUE;
}

uint8_t fFindEnclosureRecord(uint8_t** ppbRecord, uint8_t bId) {
    *ppbRecord = s_sCurrent.aabEnclosureRecord[0];
    for (uint8_t i = 0; i < s_sCurrent.bEnclosureRecordCount && i < DRIVE_ENCLOSURE_RECORDS; ++i) {
        if (s_sCurrent.aabEnclosureRecord[i][16] == bId) {
            *ppbRecord = s_sCurrent.aabEnclosureRecord[i];
            return STATUS_OK;
        }
    }
    return 0;
}

void SetDriveStatusByRankDrive(uint8_t bRank, uint8_t bDrive, uint8_t bStatus) {
    DRIVE_INFO* ps = nullptr;
    if (fFindDriveByRankDrive(bRank, bDrive, &ps, nullptr) == TRUE) ps->bDriveStatus = bStatus;
}

void SetDriveStatusByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, uint8_t bStatus) {
    DRIVE_INFO* ps = nullptr;
    if (fFindDriveByEnclosureSlot(bEnclosure, bSlot, &ps) == TRUE) ps->bDriveStatus = bStatus;
}

// A drive's second loop ID may be anything up to 254: every index into the
// 126-entry maps is checked, never trusted.
void ClearDriveSlotMaps() {
    const uint32_t dNow = dGetCoarseTick();
    for (uint8_t i = 0; i < DRIVE_PATH_MAP_ENTRIES; ++i) {
        s_asPath3[i] = {dNow, 0xFF, 0xFF, FALSE};
        s_asPath4[i] = {dNow, 0xFF, 0xFF, FALSE};
    }
    for (uint8_t i = 0; i < s_sCurrent.bDriveCount && i < DRIVE_INFO_RECORDS; ++i) {
        const DRIVE_INFO& s = s_sCurrent.asDriveInfo[i];
        if (s.bLoopID1 < 128) {
            if (DRIVE_PATH_MAP_ENTRY* ps = MapEntry(s_asPath3, s.bLoopID1)) ps->bOwnId = s.bLoopID1;
            if (s.bLoopID2 < 255) {
                if (DRIVE_PATH_MAP_ENTRY* ps = MapEntry(s_asPath4, s.bLoopID2)) ps->bOtherId = s.bLoopID1;
            }
        }
        if (s.bLoopID2 < 128) {
            if (DRIVE_PATH_MAP_ENTRY* ps = MapEntry(s_asPath4, s.bLoopID2)) ps->bOwnId = s.bLoopID2;
            if (s.bLoopID1 < 255) {
                if (DRIVE_PATH_MAP_ENTRY* ps = MapEntry(s_asPath3, s.bLoopID1)) ps->bOtherId = s.bLoopID2;
            }
        }
    }
    s_fMapsValid = TRUE;
}

const DRIVE_PATH_MAP_ENTRY* psGetDrivePathMap(uint8_t bPath) { return bPath == 4 ? s_asPath4 : s_asPath3; }

void RecordDriveActivityTick(uint8_t bPath, uint8_t bLoopId) {
    if (fIsDriveRescanRequested() == TRUE || fIsDriveRescanInProgress() == TRUE || s_fMapsValid != TRUE) return;
    if (bLoopId >= DRIVE_PATH_MAP_ENTRIES || (bPath != 3 && bPath != 4)) return;
    (bPath == 3 ? s_asPath3 : s_asPath4)[bLoopId].dLastActivityTick = dGetCoarseTick();
}

void ApplyDriveActivityBitmap(const uint8_t* pbBitmap) {
    const uint8_t bTop = pbBitmap[0] >> 6;
    if (bTop != 2 && bTop != 3) return;
    const uint8_t bPath = bTop == 2 ? 3 : 4;
    for (uint8_t bByte = 0; bByte < 16; ++bByte) {
        for (uint8_t bBit = 0; bBit < 8; ++bBit) {
            if (bByte == 0 && bBit < 2) continue;
            if (pbBitmap[bByte] & (0x80 >> bBit)) RecordDriveActivityTick(bPath, static_cast<uint8_t>(bByte * 8 + bBit - 2));
        }
    }
}

void CountVerifyCompletionById(uint8_t bLoopId) {
    if (bLoopId >= DRIVE_PATH_MAP_ENTRIES) return;
    for (uint8_t i = 0; i < DRIVE_PATH_MAP_ENTRIES; ++i) {
        if (s_asPath3[i].bOwnId == bLoopId) ++s_adVerifyCompleted[i];
    }
}

uint32_t dGetVerifyCompletionCount(uint8_t bLoopId) {
    return bLoopId < DRIVE_PATH_MAP_ENTRIES ? s_adVerifyCompleted[bLoopId] : 0;
}

uint32_t dGetDrivePathMapRefusals() { return s_dMapRefusals; }

}  // namespace fw
