#include "enclosure/drive_table.h"

#include <algorithm>
#include <cstring>

#include "config/drive_tables.h"
#include "config/rank_table.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_management.h"
#include "executive/buffer_pages.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "raid/raid_engine.h"
#include "sas/sas_device_list.h"
#include "sas/smp.h"

namespace fw {

namespace {

// The three tables and the firmware file list live in buffer pages taken at
// start-up; null until then.
constexpr uint32_t DRIVE_TABLE_PAGES = 4;           // 16 KB
constexpr uint32_t FIRMWARE_IMAGE_LIST_PAGES = 2;   // 8 KB
static_assert(sizeof(DRIVE_INFO_LIST) <= DRIVE_TABLE_PAGES * BUFFER_PAGE_SIZE);
static_assert(sizeof(DRIVE_FIRMWARE_IMAGE_LIST) <= FIRMWARE_IMAGE_LIST_PAGES * BUFFER_PAGE_SIZE);

DRIVE_INFO_LIST* s_psCurrent = nullptr;
DRIVE_INFO_LIST* s_psDiscovery = nullptr;
DRIVE_INFO_LIST* s_psSorted = nullptr;
DRIVE_FIRMWARE_IMAGE_LIST* s_psFirmwareImages = nullptr;
uint8_t s_fFirstBuild = TRUE;
uint32_t s_dChangeCount = 0;

DRIVE_PATH_MAP_ENTRY s_asPath3[DRIVE_PATH_MAP_ENTRIES];
DRIVE_PATH_MAP_ENTRY s_asPath4[DRIVE_PATH_MAP_ENTRIES];
uint8_t s_fMapsValid = FALSE;
uint32_t s_adVerifyCompleted[DRIVE_PATH_MAP_ENTRIES];
uint32_t s_adVerifyRepaired[DRIVE_PATH_MAP_ENTRIES];
uint32_t s_dMapRefusals = 0;

constexpr uint8_t EMPTY_ID_BYTES = 11;
constexpr uint8_t RANK_MEMBER_LIMIT = 64;   // ranks from here on hold no members

// Message bytes of the partner's download state.
constexpr uint8_t DOWNLOAD_MESSAGE_FLAG = 2;
constexpr uint8_t DOWNLOAD_MESSAGE_PARAMS = 3;

// Header fields of a drive firmware file that its list entry keeps.
constexpr uint32_t FILE_HEADER_LENGTH = 20;
constexpr uint32_t FILE_HEADER_COUNTS = 28;
constexpr uint32_t FILE_HEADER_REVISION = 36;
constexpr uint32_t FILE_HEADER_PAIRS = 808;

template <typename T>
T* TakePages(uint32_t dPages) {
    return static_cast<T*>(pBufferHandleToPointer(dTakeStartOfDayPages(dPages)));
}

uint8_t RecordCount(const DRIVE_INFO_LIST* psList) {
    if (psList == nullptr) return 0;
    return psList->bDriveCount < DRIVE_INFO_RECORDS ? psList->bDriveCount : DRIVE_INFO_RECORDS;
}

// Index of the first record of the list that the predicate accepts, or
// DRIVE_INFO_RECORDS.
template <typename Match>
uint8_t FirstRecord(const DRIVE_INFO_LIST* psList, Match fMatch, uint8_t bFrom = 0) {
    const uint8_t bCount = RecordCount(psList);
    for (uint8_t i = bFrom; i < bCount; ++i) {
        if (fMatch(psList->asDriveInfo[i])) return i;
    }
    return DRIVE_INFO_RECORDS;
}

uint8_t Found(uint8_t bIndex, DRIVE_INFO** ppsRecord, uint8_t* pbIndex) {
    if (bIndex >= DRIVE_INFO_RECORDS) return FALSE;
    if (ppsRecord) *ppsRecord = &s_psCurrent->asDriveInfo[bIndex];
    if (pbIndex) *pbIndex = bIndex;
    return TRUE;
}

// A WWN of all 0x00 or all 0xFF is "not set" and matches nothing.
uint8_t ByWwn(const uint8_t* pbWwn) {
    if (fIsNonZeroWwn(pbWwn) != TRUE) return DRIVE_INFO_RECORDS;
    return FirstRecord(s_psCurrent, [&](const DRIVE_INFO& s) { return std::memcmp(s.abWWN, pbWwn, 8) == 0; });
}

uint8_t ByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot) {
    return FirstRecord(s_psCurrent,
                       [&](const DRIVE_INFO& s) { return s.bEnclosureNo == bEnclosure && s.bSlotNo == bSlot; });
}

DRIVE_PATH_MAP_ENTRY* MapEntry(DRIVE_PATH_MAP_ENTRY* psMap, uint8_t bLoopId) {
    if (bLoopId >= DRIVE_PATH_MAP_ENTRIES) {
        ++s_dMapRefusals;
        return nullptr;
    }
    return &psMap[bLoopId];
}

// Rank, member and status of a drive by the configuration: a failed drive,
// the target of the running rebuild, a member added by a running expansion.
void JudgeDriveByConfiguration(DRIVE_INFO* ps) {
    uint8_t bRank = 0xFF;
    uint8_t bMember = 0xFF;
    // A drive the device list does not know has no target id to look for.
    if (ps->bLoopID1 != 0xFF) FindDriveInRanks(ps->bLoopID1, &bRank, &bMember);
    const bool fRebuildTarget = bRank == DRIVE_IS_REBUILD_TARGET;
    if (fRebuildTarget) {
        bRank = bGetRebuildRank();
        bMember = bGetRebuildRecordByte(0);
    }
    ps->bRankNo = bRank;
    ps->bDriveNo = bMember;
    if (fIsDriveWwnFailed(ps->abWWN) == TRUE) {
        ps->bDriveStatus = DRIVE_STATUS_FAILED_LIST;
    } else if (fRebuildTarget) {
        ps->bDriveStatus = DRIVE_STATUS_REBUILD_TARGET;
    } else if (bRank < RANK_MEMBER_LIMIT && fIsExpansionInProgress() == TRUE && bGetExpansionRank() == bRank &&
               bMember >= bGetRankDriveCount(EXPANSION_RANK)) {
        ps->bDriveStatus = DRIVE_STATUS_EXPANDING;
    } else {
        ps->bDriveStatus = DRIVE_STATUS_NORMAL;
    }
}

uint8_t EntryPairCount(const DRIVE_FIRMWARE_IMAGE_ENTRY& s) {
    return s.bPairCount < DRIVE_FIRMWARE_IMAGE_PAIRS ? s.bPairCount : DRIVE_FIRMWARE_IMAGE_PAIRS;
}

// The file is one for the drive's own revision, vendor and product.
bool FileFitsDrive(const DRIVE_FIRMWARE_IMAGE_ENTRY& sEntry, const DRIVE_INFO& sDrive) {
    if (std::memcmp(sEntry.acRevision, sDrive.acRevision, sizeof sEntry.acRevision) != 0) return false;
    for (uint8_t p = 0; p < EntryPairCount(sEntry); ++p) {
        if (std::memcmp(sEntry.asPair[p].acVendor, sDrive.acVendorID, sizeof sDrive.acVendorID) == 0 &&
            std::memcmp(sEntry.asPair[p].acProduct, sDrive.acProductID, sizeof sDrive.acProductID) == 0) {
            return true;
        }
    }
    return false;
}

uint8_t ImageCount() {
    if (s_psFirmwareImages == nullptr) return 0;
    return s_psFirmwareImages->bCount < DRIVE_FIRMWARE_IMAGE_ENTRIES ? s_psFirmwareImages->bCount
                                                                      : DRIVE_FIRMWARE_IMAGE_ENTRIES;
}

}  // namespace

void InitDriveTables() {
    if (s_psCurrent == nullptr) {
        s_psCurrent = TakePages<DRIVE_INFO_LIST>(DRIVE_TABLE_PAGES);
        s_psDiscovery = TakePages<DRIVE_INFO_LIST>(DRIVE_TABLE_PAGES);
        s_psSorted = TakePages<DRIVE_INFO_LIST>(DRIVE_TABLE_PAGES);
        s_psFirmwareImages = TakePages<DRIVE_FIRMWARE_IMAGE_LIST>(FIRMWARE_IMAGE_LIST_PAGES);
    }
    ClearDriveInfoList(s_psCurrent);
    ClearDriveInfoList(s_psDiscovery);
    ClearDriveInfoList(s_psSorted);
    InitDriveFirmwareImageList(s_psFirmwareImages);
    s_fFirstBuild = TRUE;
    s_dChangeCount = 0;
    std::memset(s_adVerifyCompleted, 0, sizeof s_adVerifyCompleted);
    std::memset(s_adVerifyRepaired, 0, sizeof s_adVerifyRepaired);
    s_fMapsValid = FALSE;
    s_dMapRefusals = 0;
}

DRIVE_INFO_LIST* pGetDriveInfoList() { return s_psCurrent; }
DRIVE_INFO_LIST* pGetDriveInfoListSorted() { return s_psSorted; }
DRIVE_INFO_LIST* pGetDriveInfoListDiscovery() { return s_psDiscovery; }
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
// Each drive gets its target id from the device list and its rank, member
// and status from the configuration.
void SortDriveInfoList(const DRIVE_INFO_LIST* psSource, DRIVE_INFO_LIST* psDestination) {
    ClearDriveInfoList(psDestination);
    const uint8_t bCount = RecordCount(psSource);
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
        (void)bGetTargetIdBySASAddress(s.abWWN, &s.bLoopID1);
        s.bLoopID2 = 0xFF;
        JudgeDriveByConfiguration(&s);
        fAppendDriveInfo(psDestination, &s);
    }
    const uint8_t bEnclosures = psSource->bEnclosureRecordCount < DRIVE_ENCLOSURE_RECORDS
                                    ? psSource->bEnclosureRecordCount
                                    : DRIVE_ENCLOSURE_RECORDS;
    psDestination->bEnclosureRecordCount = bEnclosures;
    std::memcpy(psDestination->aabEnclosureRecord, psSource->aabEnclosureRecord,
                sizeof psSource->aabEnclosureRecord);
}

void CommitDriveInfoList() { ReplaceDriveInfoList(s_psSorted); }

void ReplaceDriveInfoList(const DRIVE_INFO_LIST* psFrom) {
    std::memcpy(s_psCurrent, psFrom, sizeof *s_psCurrent);
    s_fFirstBuild = FALSE;
    ++s_dChangeCount;
}

void ExtractInquiryIdentity(const uint8_t* pbInquiry, char* pcVendor, char* pcProduct, char* pcRevision,
                            char* pcSerial) {
    std::memcpy(pcVendor, pbInquiry + 8, 8);
    std::memcpy(pcProduct, pbInquiry + 16, 16);
    std::memcpy(pcRevision, pbInquiry + 32, 4);
    // One maker keeps the serial number in the vendor-specific bytes after
    // the first four of them.
    const bool fSerialAt40 = std::memcmp(pbInquiry + 8, "FUJITSU", 7) == 0;
    std::memcpy(pcSerial, pbInquiry + (fSerialAt40 ? 40 : 36), 8);
}

void BuildManagementDriveTable(uint8_t* pbBuffer) {
    std::memset(pbBuffer, 0, DRIVE_TABLE_MANAGEMENT_BYTES);
    if (s_psCurrent == nullptr) return;
    std::memcpy(pbBuffer, s_psCurrent, DRIVE_TABLE_MANAGEMENT_BYTES);
    auto* psCopy = reinterpret_cast<DRIVE_INFO_LIST*>(pbBuffer);
    for (uint8_t i = 0; i < RecordCount(psCopy); ++i) {
        DRIVE_INFO& s = psCopy->asDriveInfo[i];
        SAS_DEVICE_ENTRY* psDevice = nullptr;
        if (bGetSASDeviceEntryBySASAddress(s.abWWN, &psDevice) != STATUS_OK) {
            s.bVerifyRepair = DRIVE_INTERFACE_UNKNOWN;
        } else {
            s.bVerifyRepair = psDevice->fSAS == TRUE ? DRIVE_INTERFACE_SAS : DRIVE_INTERFACE_SATA;
        }
        if (fIsDriveQualified(s.abWWN, FALSE) == TRUE) continue;
        if (s.bDriveStatus == DRIVE_STATUS_NORMAL) {
            s.bDriveStatus = s.bRankNo < RANK_MEMBER_LIMIT ? DRIVE_STATUS_UNQUALIFIED_MEMBER
                                                           : DRIVE_STATUS_UNQUALIFIED_FREE;
        } else if (s.bDriveStatus == DRIVE_STATUS_REBUILD_TARGET) {
            s.bDriveStatus = DRIVE_STATUS_UNQUALIFIED_REBUILD;
        } else if (s.bDriveStatus == DRIVE_STATUS_FAILED_LIST) {
            s.bDriveStatus = DRIVE_STATUS_UNQUALIFIED_FAILED;
        }
    }
}

uint8_t fFindDriveByLoopID(uint8_t, uint8_t bLoopId, DRIVE_INFO** ppsRecord, uint8_t* pbIndex) {
    return Found(FirstRecord(s_psCurrent, [&](const DRIVE_INFO& s) { return s.bLoopID1 == bLoopId; }), ppsRecord,
                 pbIndex);
}

uint8_t fFindDriveByRankDrive(uint8_t bRank, uint8_t bDrive, DRIVE_INFO** ppsRecord, uint8_t* pbIndex) {
    return Found(FirstRecord(s_psCurrent,
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
    return Found(FirstRecord(s_psCurrent,
                             [&](const DRIVE_INFO& s) {
                                 return bGetDriveIndexFromEnclosureSlot(s.bEnclosureNo, s.bSlotNo) == bPosition;
                             }),
                 ppsRecord, nullptr);
}

// A free slot (0xFF) names no drive, though an empty record would carry it.
uint8_t fFindDriveByLoopIDMapped(uint8_t bSlot, DRIVE_INFO** ppsRecord, uint8_t* pbIndex) {
    if (bSlot >= DRIVE_SLOTS) return FALSE;
    const uint8_t bLoopId = pGetDriveSlotTables()->abDrive[bSlot];
    if (bLoopId == 0xFF) return FALSE;
    return fFindDriveByLoopID(0, bLoopId, ppsRecord, pbIndex);
}

uint8_t fFindDriveByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, DRIVE_INFO** ppsRecord) {
    return Found(ByEnclosureSlot(bEnclosure, bSlot), ppsRecord, nullptr);
}

uint8_t bFindDriveIndexByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, DRIVE_INFO** ppsRecord, uint8_t* pbIndex) {
    return Found(ByEnclosureSlot(bEnclosure, bSlot), ppsRecord, pbIndex) == TRUE ? STATUS_OK : 0;
}

uint8_t fIsHardIdDuplicated(uint8_t bId) {
    if (bId == 0xFF) return FALSE;
    auto fSame = [&](const DRIVE_INFO& s) { return s.bHardIDFromADISC == bId; };
    const uint8_t bFirst = FirstRecord(s_psCurrent, fSame);
    if (bFirst >= DRIVE_INFO_RECORDS) return FALSE;
    return ToFlag(FirstRecord(s_psCurrent, fSame, static_cast<uint8_t>(bFirst + 1)) < DRIVE_INFO_RECORDS);
}

uint8_t bGetHardIdOfWWN(const uint8_t* pbWwn) {
    const uint8_t b = ByWwn(pbWwn);
    return b < DRIVE_INFO_RECORDS ? s_psCurrent->asDriveInfo[b].bHardIDFromADISC : 0xFF;
}

uint8_t bGetDriveIndexOfWWN(const uint8_t* pbWwn) {
    const uint8_t b = ByWwn(pbWwn);
    if (b >= DRIVE_INFO_RECORDS) return DRIVE_POSITION_NONE;
    const DRIVE_INFO& s = s_psCurrent->asDriveInfo[b];
    return bGetDriveIndexFromEnclosureSlot(s.bEnclosureNo, s.bSlotNo);
}

uint8_t fGetDriveWwnOfTarget(uint8_t bTarget, uint8_t* pbWwn) {
    DRIVE_INFO* ps = nullptr;
    if (bTarget == 0xFF || fFindDriveByLoopID(0, bTarget, &ps, nullptr) != TRUE) return FALSE;
    std::memcpy(pbWwn, ps->abWWN, 8);
    return TRUE;
}

uint8_t fGetEnclosureSlotOfLoopIds(const DRIVE_INFO_LIST* psList, uint8_t bLoopId1, uint8_t bLoopId2,
                                   uint8_t* pbEnclosure, uint8_t* pbSlot) {
    const uint8_t b = FirstRecord(psList, [&](const DRIVE_INFO& s) {
        return (bLoopId1 != 0xFF && s.bLoopID1 == bLoopId1) || (bLoopId2 != 0xFF && s.bLoopID2 == bLoopId2);
    });
    if (b >= DRIVE_INFO_RECORDS) return FALSE;
    *pbEnclosure = psList->asDriveInfo[b].bEnclosureNo;
    *pbSlot = psList->asDriveInfo[b].bSlotNo;
    return TRUE;
}

uint8_t fFindEnclosureRecord(uint8_t** ppbRecord, uint8_t bId) {
    if (s_psCurrent == nullptr) {
        *ppbRecord = nullptr;
        return 0;
    }
    *ppbRecord = s_psCurrent->aabEnclosureRecord[0];
    for (uint8_t i = 0; i < s_psCurrent->bEnclosureRecordCount && i < DRIVE_ENCLOSURE_RECORDS; ++i) {
        if (s_psCurrent->aabEnclosureRecord[i][16] == bId) {
            *ppbRecord = s_psCurrent->aabEnclosureRecord[i];
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

void ApplyPartnerDriveFirmwareDownloadState(const uint8_t* pbMessage) {
    if (fIsDriveFirmwareDownloadInProgress() == TRUE) {
        SetDriveStatusByRankDrive(bGetDownloadDriveRank(), bGetDownloadDriveParam4(), DRIVE_STATUS_NORMAL);
    }
    const uint8_t fInProgress = pbMessage[DOWNLOAD_MESSAGE_FLAG];
    SetDriveFirmwareDownloadInProgress(fInProgress);
    SetDriveFirmwareDownloadPartnerSync(fInProgress);
    const uint8_t* pb = pbMessage + DOWNLOAD_MESSAGE_PARAMS;
    SetDownloadDriveParams(pb[0], pb[1], pb[2], pb[3]);
    if (fIsDriveFirmwareDownloadInProgress() == TRUE) {
        SetDriveStatusByRankDrive(bGetDownloadDriveRank(), bGetDownloadDriveParam4(), DRIVE_STATUS_FIRMWARE_DOWNLOAD);
    }
}

void ClearDriveSlotPhyDisabled(uint8_t bEnclosure, uint8_t bSlot) { ClearSlotPhyDisabled(bEnclosure, bSlot); }

void DriveSlotNotify(uint8_t, uint8_t) {}

// A drive's second loop ID may be anything up to 254: every index into the
// 126-entry maps is checked, never trusted.
void ClearDriveSlotMaps() {
    const uint32_t dNow = dGetCoarseTick();
    for (uint8_t i = 0; i < DRIVE_PATH_MAP_ENTRIES; ++i) {
        s_asPath3[i] = {dNow, 0xFF, 0xFF, FALSE};
        s_asPath4[i] = {dNow, 0xFF, 0xFF, FALSE};
    }
    for (uint8_t i = 0; i < RecordCount(s_psCurrent); ++i) {
        const DRIVE_INFO& s = s_psCurrent->asDriveInfo[i];
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

void CountVerifyRepairByWwn(const uint8_t* pbWwn) {
    for (uint8_t i = 0; i < DRIVE_PATH_MAP_ENTRIES; ++i) {
        DRIVE_INFO* ps = nullptr;
        if (s_asPath3[i].bOwnId == 0xFF || fFindDriveByLoopID(0, s_asPath3[i].bOwnId, &ps, nullptr) != TRUE) continue;
        if (fIsNonZeroWwn(pbWwn) == TRUE && std::memcmp(ps->abWWN, pbWwn, 8) == 0) ++s_adVerifyRepaired[i];
    }
}

uint32_t dGetVerifyCompletionCount(uint8_t bLoopId) {
    return bLoopId < DRIVE_PATH_MAP_ENTRIES ? s_adVerifyCompleted[bLoopId] : 0;
}

uint32_t dGetVerifyRepairCount(uint8_t bLoopId) {
    return bLoopId < DRIVE_PATH_MAP_ENTRIES ? s_adVerifyRepaired[bLoopId] : 0;
}

uint32_t dGetDrivePathMapRefusals() { return s_dMapRefusals; }

void InitDriveFirmwareImageList(DRIVE_FIRMWARE_IMAGE_LIST* psList) { std::memset(psList, 0, sizeof *psList); }

DRIVE_FIRMWARE_IMAGE_LIST* pGetDriveFirmwareImageList() { return s_psFirmwareImages; }

void AddDriveFirmwareImage(const uint8_t* pbHeader) {
    DRIVE_FIRMWARE_IMAGE_LIST* psList = s_psFirmwareImages;
    if (psList == nullptr || psList->bCount >= DRIVE_FIRMWARE_IMAGE_ENTRIES) return;
    DRIVE_FIRMWARE_IMAGE_ENTRY sNew;
    std::memset(&sNew, 0, sizeof sNew);
    std::memcpy(&sNew.dFileLength, pbHeader + FILE_HEADER_LENGTH, 4);
    std::memcpy(reinterpret_cast<uint8_t*>(&sNew) + offsetof(DRIVE_FIRMWARE_IMAGE_ENTRY, bRegionCount),
                pbHeader + FILE_HEADER_COUNTS, 8);
    std::memcpy(sNew.acRevision, pbHeader + FILE_HEADER_REVISION, 4);
    std::memcpy(sNew.asPair, pbHeader + FILE_HEADER_PAIRS, sizeof sNew.asPair);
    for (uint8_t i = 0; i < psList->bCount; ++i) {
        const DRIVE_FIRMWARE_IMAGE_ENTRY& s = psList->asEntry[i];
        if (std::memcmp(s.acRevision, sNew.acRevision, sizeof s.acRevision) == 0 &&
            std::memcmp(s.asPair, sNew.asPair, EntryPairCount(s) * sizeof(DRIVE_FIRMWARE_IMAGE_PAIR)) == 0) {
            return;
        }
    }
    psList->asEntry[psList->bCount++] = sNew;
}

void PruneDriveFirmwareImageList() {
    DRIVE_FIRMWARE_IMAGE_LIST* psList = s_psFirmwareImages;
    if (psList == nullptr) return;
    const uint8_t bCount = ImageCount();
    uint8_t bKept = 0;
    for (uint8_t i = 0; i < bCount; ++i) {
        const DRIVE_FIRMWARE_IMAGE_ENTRY& s = psList->asEntry[i];
        if (FirstRecord(s_psCurrent, [&](const DRIVE_INFO& d) { return FileFitsDrive(s, d); }) >= DRIVE_INFO_RECORDS) {
            continue;
        }
        if (bKept != i) psList->asEntry[bKept] = s;
        ++bKept;
    }
    std::memset(&psList->asEntry[bKept], 0, (DRIVE_FIRMWARE_IMAGE_ENTRIES - bKept) * sizeof(DRIVE_FIRMWARE_IMAGE_ENTRY));
    psList->bCount = bKept;
}

uint8_t fFindDriveForFirmwareImage(uint8_t bEntry, uint8_t bStartIndex, uint8_t* pbDriveIndex) {
    if (bEntry >= ImageCount() || bStartIndex >= DRIVE_INFO_RECORDS) return 0;
    const DRIVE_FIRMWARE_IMAGE_ENTRY& s = s_psFirmwareImages->asEntry[bEntry];
    const uint8_t b = FirstRecord(
        s_psCurrent, [&](const DRIVE_INFO& d) { return d.fFirmwareFileStored == TRUE && FileFitsDrive(s, d); },
        bStartIndex);
    *pbDriveIndex = b < DRIVE_INFO_RECORDS ? b : DRIVE_FIRMWARE_IMAGE_NONE;
    return ToFlag(b < DRIVE_INFO_RECORDS);
}

uint8_t fFindFirmwareImageForDrive(uint8_t bDriveIndex, uint8_t* pbEntry) {
    if (bDriveIndex >= RecordCount(s_psCurrent)) return 0;
    const DRIVE_INFO& d = s_psCurrent->asDriveInfo[bDriveIndex];
    if (d.fFirmwareFileStored != TRUE) return 0;
    for (uint8_t i = 0; i < ImageCount(); ++i) {
        if (FileFitsDrive(s_psFirmwareImages->asEntry[i], d)) {
            *pbEntry = i;
            return TRUE;
        }
    }
    *pbEntry = DRIVE_FIRMWARE_IMAGE_NONE;
    return FALSE;
}

}  // namespace fw
