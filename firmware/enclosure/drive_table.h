// The drive table: one 72-byte record per drive the controller can reach,
// replaced whole after every rebuild so readers never see half a table, and
// the small look-ups every subsystem finds drives by.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

constexpr uint8_t DRIVE_INFO_RECORDS = 126;
constexpr uint8_t DRIVE_ENCLOSURE_RECORDS = 40;
constexpr uint32_t DRIVE_ENCLOSURE_RECORD_BYTES = 120;
constexpr uint8_t DRIVE_POSITION_NONE = 0xFF;

#pragma pack(push, 1)
struct DRIVE_INFO {
    uint8_t bLoopID1;
    uint8_t bLoopID2;
    uint8_t bHardIDFromADISC;
    uint8_t bEnclosureNo;
    uint8_t bSlotNo;
    uint8_t bSES0_IDLoop1;
    uint8_t bSES0_IDLoop2;
    uint8_t bSES1_IDLoop1;
    uint8_t bSES1_IDLoop2;
    uint8_t bRankNo;
    uint8_t bDriveNo;
    uint8_t bDriveStatus;
    uint8_t abWWN[8];
    uint32_t dCapacity;           // last block address, as READ CAPACITY(10) returns it
    uint32_t dVerifyNextBlock;
    uint16_t wBlockSize;
    uint8_t bVerifyRepair;
    uint8_t fSESEnabled;
    uint8_t fFirmwareFileStored;
    uint8_t bSES_ControlFlags;
    uint8_t bSES_ArrayFlags;
    uint8_t bSES_SlotId;
    char acVendorID[8];
    char acProductID[16];
    char acRevision[4];
    char acSerialNo[8];
};
static_assert(sizeof(DRIVE_INFO) == 72);
static_assert(offsetof(DRIVE_INFO, bDriveStatus) == 11);
static_assert(offsetof(DRIVE_INFO, abWWN) == 12);
static_assert(offsetof(DRIVE_INFO, dCapacity) == 20);
static_assert(offsetof(DRIVE_INFO, wBlockSize) == 28);
static_assert(offsetof(DRIVE_INFO, fSESEnabled) == 31);
static_assert(offsetof(DRIVE_INFO, acVendorID) == 36);
static_assert(offsetof(DRIVE_INFO, acSerialNo) == 64);

struct DRIVE_INFO_LIST {
    uint32_t dUsedBytes;
    uint8_t bDriveCount;
    uint8_t abReserved5[3];
    DRIVE_INFO asDriveInfo[DRIVE_INFO_RECORDS];
    uint8_t bEnclosureRecordCount;
    uint8_t abReserved9081[3];
    uint8_t aabEnclosureRecord[DRIVE_ENCLOSURE_RECORDS][DRIVE_ENCLOSURE_RECORD_BYTES];
};
static_assert(offsetof(DRIVE_INFO_LIST, asDriveInfo) == 8);
static_assert(offsetof(DRIVE_INFO_LIST, bEnclosureRecordCount) == 9080);
static_assert(sizeof(DRIVE_INFO_LIST) <= 16384);
#pragma pack(pop)

// Drive status codes.
constexpr uint8_t DRIVE_STATUS_NORMAL = 0;
constexpr uint8_t DRIVE_STATUS_FAILED_LIST = 17;
constexpr uint8_t DRIVE_STATUS_REBUILD_TARGET = 0x55;    // 'U'
constexpr uint8_t DRIVE_STATUS_EXPANDING = 0x56;         // 'V'
constexpr uint8_t DRIVE_STATUS_FIRMWARE_DOWNLOAD = 0x69; // 'i'
// Only in the management copy, for drives that fail qualification.
constexpr uint8_t DRIVE_STATUS_UNQUALIFIED_FREE = 0x6A;      // 'j'
constexpr uint8_t DRIVE_STATUS_UNQUALIFIED_MEMBER = 0x6B;    // 'k'
constexpr uint8_t DRIVE_STATUS_UNQUALIFIED_REBUILD = 0x6C;   // 'l'
constexpr uint8_t DRIVE_STATUS_UNQUALIFIED_FAILED = 0x6D;    // 'm'

// The interface byte of the management copy (in bVerifyRepair).
constexpr uint8_t DRIVE_INTERFACE_SAS = 3;
constexpr uint8_t DRIVE_INTERFACE_SATA = 2;
constexpr uint8_t DRIVE_INTERFACE_UNKNOWN = 0xFF;

// What the management protocol and the partner are given of the table: the
// header and the drive records.
constexpr uint32_t DRIVE_TABLE_MANAGEMENT_BYTES = 9080;
static_assert(DRIVE_TABLE_MANAGEMENT_BYTES == offsetof(DRIVE_INFO_LIST, bEnclosureRecordCount));

// Start-up: takes the buffer pages of the three tables and of the firmware
// file list and leaves them in their empty form.
void InitDriveTables();
// Until InitDriveTables has run these answer null, and every look-up below
// finds nothing.
DRIVE_INFO_LIST* pGetDriveInfoList();
DRIVE_INFO_LIST* pGetDriveInfoListSorted();
DRIVE_INFO_LIST* pGetDriveInfoListDiscovery();
uint32_t dGetDriveTableChangeCount();
void IncrementDriveTableChangeCount();
uint8_t fIsDriveTableFirstBuild();

void ClearDriveInfoList(DRIVE_INFO_LIST* psList);
void ClearDriveInfoRecord(DRIVE_INFO* psRecord);
// Appends a record; FALSE (nothing written) when the list is full.
uint8_t fAppendDriveInfo(DRIVE_INFO_LIST* psList, const DRIVE_INFO* psRecord);
void SortDriveInfoList(const DRIVE_INFO_LIST* psSource, DRIVE_INFO_LIST* psDestination);
void CommitDriveInfoList();
// The current table replaced whole by the given one (the sorted table, or
// the partner's); readers see the change counter move.
void ReplaceDriveInfoList(const DRIVE_INFO_LIST* psFrom);

// Vendor, product, revision and serial number from standard INQUIRY data.
void ExtractInquiryIdentity(const uint8_t* pbInquiry, char* pcVendor, char* pcProduct, char* pcRevision,
                            char* pcSerial);
// The copy the management protocol reads: the first 9080 bytes of the
// current table, each record's bVerifyRepair carrying the drive's interface
// and the status of a drive that fails qualification rewritten.
void BuildManagementDriveTable(uint8_t* pbBuffer);

// Look-ups in the current table; found TRUE, else FALSE (outputs untouched).
uint8_t fFindDriveByLoopID(uint8_t bIgnored, uint8_t bLoopId, DRIVE_INFO** ppsRecord, uint8_t* pbIndex);
uint8_t fFindDriveByRankDrive(uint8_t bRank, uint8_t bDrive, DRIVE_INFO** ppsRecord, uint8_t* pbIndex);
uint8_t fFindDriveByWWN(const uint8_t* pbWwn, DRIVE_INFO** ppsRecord, uint8_t* pbIndex);
// The configuration's form: the drive's target id.
uint8_t fFindDriveByWWN(const uint8_t* pbWwn, uint8_t* pbTarget);
uint8_t fFindDriveByDriveIndex(uint8_t bPosition, DRIVE_INFO** ppsRecord);
// The drive whose target id the configuration's drive slot table holds for
// the slot.
uint8_t fFindDriveByLoopIDMapped(uint8_t bSlot, DRIVE_INFO** ppsRecord, uint8_t* pbIndex);
uint8_t fFindDriveByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, DRIVE_INFO** ppsRecord);
// 255 found, 0 not found.
uint8_t bFindDriveIndexByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, DRIVE_INFO** ppsRecord, uint8_t* pbIndex);
uint8_t fIsHardIdDuplicated(uint8_t bId);
uint8_t bGetHardIdOfWWN(const uint8_t* pbWwn);
uint8_t bGetDriveIndexOfWWN(const uint8_t* pbWwn);
uint8_t fGetDriveWwnOfTarget(uint8_t bTarget, uint8_t* pbWwn);
uint8_t fGetEnclosureSlotOfLoopIds(const DRIVE_INFO_LIST* psList, uint8_t bLoopId1, uint8_t bLoopId2,
                                   uint8_t* pbEnclosure, uint8_t* pbSlot);
// 255 with the record, 0 with the first record.
uint8_t fFindEnclosureRecord(uint8_t** ppbRecord, uint8_t bId);

void SetDriveStatusByRankDrive(uint8_t bRank, uint8_t bDrive, uint8_t bStatus);
void SetDriveStatusByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, uint8_t bStatus);
// The partner's drive firmware download state message (bytes 2-6: the
// download flag and the download drive's four phase parameters).
void ApplyPartnerDriveFirmwareDownloadState(const uint8_t* pbMessage);

// Slot hooks the enclosure code calls for its deferred slot lists.
void ClearDriveSlotPhyDisabled(uint8_t bEnclosure, uint8_t bSlot);
void DriveSlotNotify(uint8_t bEnclosure, uint8_t bSlot);

// Per-path drive maps (paths 3 and 4), indexed by loop ID.
constexpr uint8_t DRIVE_PATH_MAP_ENTRIES = 126;
struct DRIVE_PATH_MAP_ENTRY {
    uint32_t dLastActivityTick;
    uint8_t bOwnId;
    uint8_t bOtherId;
    uint8_t fFlag;
};
void ClearDriveSlotMaps();
const DRIVE_PATH_MAP_ENTRY* psGetDrivePathMap(uint8_t bPath);
void RecordDriveActivityTick(uint8_t bPath, uint8_t bLoopId);
void ApplyDriveActivityBitmap(const uint8_t* pbBitmap);
void CountVerifyCompletionById(uint8_t bLoopId);
void CountVerifyRepairByWwn(const uint8_t* pbWwn);
// The background verify counters of a path-3 map entry.
uint32_t dGetVerifyCompletionCount(uint8_t bLoopId);
uint32_t dGetVerifyRepairCount(uint8_t bLoopId);
// Map indices refused for being outside the maps (counted, never used).
uint32_t dGetDrivePathMapRefusals();

// The drive firmware files found stored on drives: what each installs and
// which drives it applies to, from the file's header.
constexpr uint8_t DRIVE_FIRMWARE_IMAGE_ENTRIES = 32;
constexpr uint8_t DRIVE_FIRMWARE_IMAGE_PAIRS = 8;
constexpr uint8_t DRIVE_FIRMWARE_IMAGE_NONE = 0xFF;

#pragma pack(push, 1)
struct DRIVE_FIRMWARE_IMAGE_PAIR {
    char acVendor[8];
    char acProduct[16];
};
struct DRIVE_FIRMWARE_IMAGE_ENTRY {
    uint32_t dFileLength;         // header bytes 20..23
    uint8_t bRegionCount;         // header bytes 28..35
    uint8_t bPairCount;
    uint8_t abHeader30[6];
    char acRevision[4];           // header bytes 36..39
    DRIVE_FIRMWARE_IMAGE_PAIR asPair[DRIVE_FIRMWARE_IMAGE_PAIRS];   // header bytes 808..
};
static_assert(sizeof(DRIVE_FIRMWARE_IMAGE_ENTRY) == 208);
static_assert(offsetof(DRIVE_FIRMWARE_IMAGE_ENTRY, acRevision) == 12);
static_assert(offsetof(DRIVE_FIRMWARE_IMAGE_ENTRY, asPair) == 16);

struct DRIVE_FIRMWARE_IMAGE_LIST {
    uint8_t bCount;
    uint8_t abReserved[3];
    DRIVE_FIRMWARE_IMAGE_ENTRY asEntry[DRIVE_FIRMWARE_IMAGE_ENTRIES];
};
static_assert(sizeof(DRIVE_FIRMWARE_IMAGE_LIST) == 6660);
#pragma pack(pop)

void InitDriveFirmwareImageList(DRIVE_FIRMWARE_IMAGE_LIST* psList);
DRIVE_FIRMWARE_IMAGE_LIST* pGetDriveFirmwareImageList();
// Adds the file whose 1024-byte header is given, unless the list is full or
// already holds a file of that revision for the same drives.
void AddDriveFirmwareImage(const uint8_t* pbHeader);
// Keeps only the files some drive of the current table could take.
void PruneDriveFirmwareImageList();
// From record bStartIndex on, the first drive with a stored file that the
// entry fits: TRUE with its index, FALSE with 255; 0 for an entry or start
// index out of range.
uint8_t fFindDriveForFirmwareImage(uint8_t bEntry, uint8_t bStartIndex, uint8_t* pbDriveIndex);
// The first file that fits the drive (which must have a stored file): TRUE
// with its entry, FALSE with 255; 0 for a drive index out of range.
uint8_t fFindFirmwareImageForDrive(uint8_t bDriveIndex, uint8_t* pbEntry);

}  // namespace fw
