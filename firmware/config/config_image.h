// The stored configuration image: one flat little-endian record kept on every
// member drive, exchanged with the partner, and held twice in memory (live and
// scratch).  Everything the run-time tables hold is derived from it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

constexpr uint32_t CONFIG_IMAGE_SIZE = 940032;        // 1836 blocks of 512 bytes
constexpr uint32_t CONFIG_IMAGE_BLOCKS = 1836;
constexpr uint32_t CONFIG_IMAGE_WORDS = CONFIG_IMAGE_SIZE / 4;
constexpr uint32_t CONFIG_HEADER_WORDS = 128;
constexpr uint32_t CONFIG_VERSION = 14;
constexpr uint32_t CONFIG_MAGIC = 0x12345678;
constexpr uint32_t CAPACITY_UNIT_BLOCKS = 1953792;    // the "GB" of menus and records

constexpr uint32_t MAX_RANKS = 64;
constexpr uint32_t MAX_LDS = 512;
constexpr uint32_t MAX_SAN_MAPS = 512;
constexpr uint32_t MAX_SPARES = 64;
constexpr uint32_t MAX_FAILED_DRIVES = 64;
constexpr uint32_t MAX_BAD_BLOCKS = 4096;
constexpr uint32_t MAX_PR_RECORDS = 512;
constexpr uint32_t MAX_SNAPSHOT_SETS = 512;
constexpr uint32_t MAX_VIRTUAL_LDS = 1024;
constexpr uint32_t MAX_RANK_MEMBERS = 16;
constexpr uint32_t MAX_LD_SEGMENTS = 16;
constexpr uint32_t MAX_HOST_LUNS = 512;
constexpr uint8_t EXPANSION_RANK = 63;     // holds the pre-expansion geometry

// RAID level codes as stored.
constexpr uint8_t RAID_LEVEL_0 = 0x00;
constexpr uint8_t RAID_LEVEL_10 = 0x10;
constexpr uint8_t RAID_LEVEL_5 = 0x05;
constexpr uint8_t RAID_LEVEL_6 = 0x06;
constexpr uint8_t RAID_LEVEL_50 = 0x50;
constexpr uint8_t RAID_LEVEL_N = 0x07;

constexpr uint8_t MEMBER_STATE_MISSING = 34;   // stored member state of a missing member

#pragma pack(push, 1)

struct CONFIG_HEADER {
    uint32_t dImageSize;
    uint32_t dHeaderCheck;
    uint32_t dBodyCheck;
    uint32_t dVersion;
    uint32_t dMagic;
    uint32_t dGeneration;
    uint8_t abWriterWwn[8];
    uint8_t abReservedWwn1[8];
    uint8_t abReservedWwn2[8];
    char acConfigName[64];
    uint8_t abReserved112[32];
    uint16_t wRankCount;
    uint16_t wLdCount;
    uint16_t wSanMapCount;
    uint16_t wSpareCount;
    uint16_t wFailedDriveCount;
    uint16_t wBadBlockCount;
    uint16_t wReserved156;
    uint8_t fCacheFlushArraySet;
    uint8_t fCacheFlushArrayUsed;
    uint16_t wCacheFlushArray;
    uint8_t fAutoRebuild;
    uint8_t abPortHardAddress[4];
    uint8_t bSetting167;
    uint8_t bRebuildPriority;
    uint8_t fSetting169;
    uint8_t bSetting170;
    uint8_t fSingleControllerMode;
    // The controller that saved this generation while it ran without its
    // partner; zero when the pair saved it (or a firmware before the field).
    uint8_t abAloneWriterWwn[8];
    uint8_t abReserved180[24];
    uint16_t wControllerLun;
    uint8_t fExpansionActive;
    uint8_t bExpansionArray;
    uint8_t fBackgroundVerify;
    uint8_t fAutoHotSpare;
    uint8_t fControllerMonitorSes;
    uint8_t fDifferentNodeName;
    uint8_t abPortConnection[2];
    uint8_t abPortDataRate[2];
    uint8_t afPortOptionA[2];
    uint8_t afPortOptionB[2];
    uint8_t fSetting220;
    uint8_t bSetting221;
    uint8_t bInitPriority;
    uint8_t fCacheFlushCommand;
    uint16_t wPrRecordCount;
    uint16_t wSnapshotSetCount;
    uint8_t fMultipleStripeAccess;
    // The developer switches of the cache and drive paths.  Most count 0
    // (a cleared byte) as on; the menu that edits them knows which.
    uint8_t fOverlapCaching;
    uint8_t fAdvancedOverlapCheck;
    uint8_t fWriteCollapsing;
    uint8_t bReserved232;
    uint8_t fPartialClustering;
    uint8_t fSyncFullStripeWrite;
    uint8_t fThreadBalance;
    uint8_t abReserved236[3];
    uint8_t fSataNcq;
    uint8_t fSafeDriveWriteCache;
    uint8_t fReducedSasErrorHandling;
    uint8_t fMultithreadedWriteThrough;
    uint8_t bSpcLevel;            // byte 243: SCSI command set level offered to hosts
    uint8_t fPowerManagementSet;
    uint8_t bSequentialWriteLevel;
    uint16_t wSetting246;
    uint16_t wSetting248;
    uint8_t abReserved250[262];
};
static_assert(sizeof(CONFIG_HEADER) == 512);
static_assert(offsetof(CONFIG_HEADER, dHeaderCheck) == 4);
static_assert(offsetof(CONFIG_HEADER, dBodyCheck) == 8);
static_assert(offsetof(CONFIG_HEADER, dVersion) == 12);
static_assert(offsetof(CONFIG_HEADER, dMagic) == 16);
static_assert(offsetof(CONFIG_HEADER, dGeneration) == 20);
static_assert(offsetof(CONFIG_HEADER, abWriterWwn) == 24);
static_assert(offsetof(CONFIG_HEADER, abReservedWwn1) == 32);
static_assert(offsetof(CONFIG_HEADER, abReservedWwn2) == 40);
static_assert(offsetof(CONFIG_HEADER, acConfigName) == 48);
static_assert(offsetof(CONFIG_HEADER, abReserved112) == 112);
static_assert(offsetof(CONFIG_HEADER, wRankCount) == 144);
static_assert(offsetof(CONFIG_HEADER, wLdCount) == 146);
static_assert(offsetof(CONFIG_HEADER, wSanMapCount) == 148);
static_assert(offsetof(CONFIG_HEADER, wSpareCount) == 150);
static_assert(offsetof(CONFIG_HEADER, wFailedDriveCount) == 152);
static_assert(offsetof(CONFIG_HEADER, wBadBlockCount) == 154);
static_assert(offsetof(CONFIG_HEADER, wReserved156) == 156);
static_assert(offsetof(CONFIG_HEADER, fCacheFlushArraySet) == 158);
static_assert(offsetof(CONFIG_HEADER, fCacheFlushArrayUsed) == 159);
static_assert(offsetof(CONFIG_HEADER, wCacheFlushArray) == 160);
static_assert(offsetof(CONFIG_HEADER, fAutoRebuild) == 162);
static_assert(offsetof(CONFIG_HEADER, abPortHardAddress) == 163);
static_assert(offsetof(CONFIG_HEADER, bSetting167) == 167);
static_assert(offsetof(CONFIG_HEADER, bRebuildPriority) == 168);
static_assert(offsetof(CONFIG_HEADER, fSetting169) == 169);
static_assert(offsetof(CONFIG_HEADER, bSetting170) == 170);
static_assert(offsetof(CONFIG_HEADER, fSingleControllerMode) == 171);
static_assert(offsetof(CONFIG_HEADER, abAloneWriterWwn) == 172);
static_assert(offsetof(CONFIG_HEADER, abReserved180) == 180);
static_assert(offsetof(CONFIG_HEADER, wControllerLun) == 204);
static_assert(offsetof(CONFIG_HEADER, fExpansionActive) == 206);
static_assert(offsetof(CONFIG_HEADER, bExpansionArray) == 207);
static_assert(offsetof(CONFIG_HEADER, fBackgroundVerify) == 208);
static_assert(offsetof(CONFIG_HEADER, fAutoHotSpare) == 209);
static_assert(offsetof(CONFIG_HEADER, fControllerMonitorSes) == 210);
static_assert(offsetof(CONFIG_HEADER, fDifferentNodeName) == 211);
static_assert(offsetof(CONFIG_HEADER, abPortConnection) == 212);
static_assert(offsetof(CONFIG_HEADER, abPortDataRate) == 214);
static_assert(offsetof(CONFIG_HEADER, afPortOptionA) == 216);
static_assert(offsetof(CONFIG_HEADER, afPortOptionB) == 218);
static_assert(offsetof(CONFIG_HEADER, fSetting220) == 220);
static_assert(offsetof(CONFIG_HEADER, bSetting221) == 221);
static_assert(offsetof(CONFIG_HEADER, bInitPriority) == 222);
static_assert(offsetof(CONFIG_HEADER, fCacheFlushCommand) == 223);
static_assert(offsetof(CONFIG_HEADER, wPrRecordCount) == 224);
static_assert(offsetof(CONFIG_HEADER, wSnapshotSetCount) == 226);
static_assert(offsetof(CONFIG_HEADER, fMultipleStripeAccess) == 228);
static_assert(offsetof(CONFIG_HEADER, fOverlapCaching) == 229);
static_assert(offsetof(CONFIG_HEADER, fPartialClustering) == 233);
static_assert(offsetof(CONFIG_HEADER, fThreadBalance) == 235);
static_assert(offsetof(CONFIG_HEADER, fSataNcq) == 239);
static_assert(offsetof(CONFIG_HEADER, fMultithreadedWriteThrough) == 242);
static_assert(offsetof(CONFIG_HEADER, bSpcLevel) == 243);
static_assert(offsetof(CONFIG_HEADER, fPowerManagementSet) == 244);
static_assert(offsetof(CONFIG_HEADER, bSequentialWriteLevel) == 245);
static_assert(offsetof(CONFIG_HEADER, wSetting246) == 246);
static_assert(offsetof(CONFIG_HEADER, wSetting248) == 248);
static_assert(offsetof(CONFIG_HEADER, abReserved250) == 250);

struct CONFIG_RANK_RECORD {
    uint8_t bRankNumber;
    uint8_t bRaidLevel;
    uint8_t bDriveCount;
    uint8_t bReserved3;
    uint16_t wChunkSize;
    uint16_t wCapacityGb;
    uint64_t lStartAddress;
    uint64_t lLastOffset;
    uint32_t dStripeSize;
    uint32_t dStoredWord;
    uint8_t aabMemberWwn[MAX_RANK_MEMBERS][8];
    uint8_t abMemberState[MAX_RANK_MEMBERS];
    uint8_t bParityCount;
    uint8_t bInitState;
    uint8_t bCachePolicy;
    uint8_t fCacheFlushArray;
    uint16_t wReadAhead;
    uint16_t wWriteThreshold;
    uint8_t fInitialized;
    uint8_t fInitPaused;
    uint8_t bCapacityReserve;
    char acArrayName[32];
    uint8_t abReserved219[9];
    uint8_t abCreationData[12];
};
static_assert(sizeof(CONFIG_RANK_RECORD) == 240);
static_assert(offsetof(CONFIG_RANK_RECORD, wChunkSize) == 4);
static_assert(offsetof(CONFIG_RANK_RECORD, wCapacityGb) == 6);
static_assert(offsetof(CONFIG_RANK_RECORD, lStartAddress) == 8);
static_assert(offsetof(CONFIG_RANK_RECORD, lLastOffset) == 16);
static_assert(offsetof(CONFIG_RANK_RECORD, dStripeSize) == 24);
static_assert(offsetof(CONFIG_RANK_RECORD, dStoredWord) == 28);
static_assert(offsetof(CONFIG_RANK_RECORD, aabMemberWwn) == 32);
static_assert(offsetof(CONFIG_RANK_RECORD, abMemberState) == 160);
static_assert(offsetof(CONFIG_RANK_RECORD, bParityCount) == 176);
static_assert(offsetof(CONFIG_RANK_RECORD, bInitState) == 177);
static_assert(offsetof(CONFIG_RANK_RECORD, bCachePolicy) == 178);
static_assert(offsetof(CONFIG_RANK_RECORD, fCacheFlushArray) == 179);
static_assert(offsetof(CONFIG_RANK_RECORD, wReadAhead) == 180);
static_assert(offsetof(CONFIG_RANK_RECORD, wWriteThreshold) == 182);
static_assert(offsetof(CONFIG_RANK_RECORD, fInitialized) == 184);
static_assert(offsetof(CONFIG_RANK_RECORD, fInitPaused) == 185);
static_assert(offsetof(CONFIG_RANK_RECORD, bCapacityReserve) == 186);
static_assert(offsetof(CONFIG_RANK_RECORD, acArrayName) == 187);
static_assert(offsetof(CONFIG_RANK_RECORD, abReserved219) == 219);
static_assert(offsetof(CONFIG_RANK_RECORD, abCreationData) == 228);

struct LD_SEGMENT {
    uint64_t lLastOffset;
    uint64_t lStart;
    uint64_t lEnd;
    uint16_t wSizeGb;
    uint16_t wReserved;
    uint32_t dExpandMark;
};
static_assert(sizeof(LD_SEGMENT) == 32);
static_assert(offsetof(LD_SEGMENT, lStart) == 8);
static_assert(offsetof(LD_SEGMENT, lEnd) == 16);
static_assert(offsetof(LD_SEGMENT, wSizeGb) == 24);
static_assert(offsetof(LD_SEGMENT, dExpandMark) == 28);

struct CONFIG_LD_RECORD {
    uint16_t wLdNumber;
    uint8_t bSanMapState;
    uint8_t bSegmentCount;
    uint16_t wCapacityGb;
    uint16_t wDefaultLun;
    LD_SEGMENT asSegment[MAX_LD_SEGMENTS];
    uint8_t bAvailability;
    char acLdName[32];
    uint8_t bLdUseFlags;
    uint16_t wLdId;
    uint16_t wBlockSize;
    uint8_t bDupRole;
    uint8_t bReserved559;
    uint8_t abLdIdentifier[16];
};
static_assert(sizeof(CONFIG_LD_RECORD) == 576);
static_assert(offsetof(CONFIG_LD_RECORD, bSanMapState) == 2);
static_assert(offsetof(CONFIG_LD_RECORD, bSegmentCount) == 3);
static_assert(offsetof(CONFIG_LD_RECORD, wCapacityGb) == 4);
static_assert(offsetof(CONFIG_LD_RECORD, wDefaultLun) == 6);
static_assert(offsetof(CONFIG_LD_RECORD, asSegment) == 8);
static_assert(offsetof(CONFIG_LD_RECORD, bAvailability) == 520);
static_assert(offsetof(CONFIG_LD_RECORD, acLdName) == 521);
static_assert(offsetof(CONFIG_LD_RECORD, bLdUseFlags) == 553);
static_assert(offsetof(CONFIG_LD_RECORD, wLdId) == 554);
static_assert(offsetof(CONFIG_LD_RECORD, wBlockSize) == 556);
static_assert(offsetof(CONFIG_LD_RECORD, bDupRole) == 558);
static_assert(offsetof(CONFIG_LD_RECORD, abLdIdentifier) == 560);

// Host LUN map word bits.
constexpr uint16_t LUN_MAP_NONE = 0xFFFF;
constexpr uint16_t LUN_MAP_LD_MASK = 0x01FF;
constexpr uint16_t LUN_MAP_VIRTUAL = 0x0400;

struct SAN_LUN_MAP_ENTRY {
    uint8_t abNodeWwn[8];
    uint8_t abPortWwn[8];
    uint8_t bMapFlags;
    uint8_t bHostType;
    char acMapName[32];
    uint16_t awLunMap[MAX_HOST_LUNS];
    uint16_t wMapControllerLun;
    uint8_t abMoved[12];
};
static_assert(sizeof(SAN_LUN_MAP_ENTRY) == 1088);
static_assert(offsetof(SAN_LUN_MAP_ENTRY, bMapFlags) == 16);
static_assert(offsetof(SAN_LUN_MAP_ENTRY, bHostType) == 17);
static_assert(offsetof(SAN_LUN_MAP_ENTRY, acMapName) == 18);
static_assert(offsetof(SAN_LUN_MAP_ENTRY, awLunMap) == 50);
static_assert(offsetof(SAN_LUN_MAP_ENTRY, wMapControllerLun) == 1074);
static_assert(offsetof(SAN_LUN_MAP_ENTRY, abMoved) == 1076);

struct SPARE_ENTRY {
    uint8_t abWwn[8];
    uint8_t bDedicatedRank;   // 255 = global spare
    uint8_t abReserved[7];
};
static_assert(sizeof(SPARE_ENTRY) == 16);

struct FAILED_DRIVE_ENTRY {
    uint8_t abWwn[8];
    uint8_t abFailure[5];     // command, sense key, extended sense, ...
    uint8_t abReserved[3];
};
static_assert(sizeof(FAILED_DRIVE_ENTRY) == 16);

struct BAD_BLOCK_ENTRY {
    uint8_t abStart[5];       // 40-bit big-endian internal block address
    uint8_t bRank;
    uint16_t wLength;
};
static_assert(sizeof(BAD_BLOCK_ENTRY) == 8);

struct PR_RECORD {
    uint8_t fInUse;
    uint8_t abData[23];
};
static_assert(sizeof(PR_RECORD) == 24);

struct SNAPSHOT_SET_RECORD {
    uint8_t abData[12];       // byte 0 in use, bytes 4..5 logical drive
};
static_assert(sizeof(SNAPSHOT_SET_RECORD) == 12);

struct VIRTUAL_LD_RECORD {
    uint8_t abData[12];       // byte 0 flags (bit 0 in use)
};
static_assert(sizeof(VIRTUAL_LD_RECORD) == 12);

// The target queue management settings: how hosts crowding an array are
// answered.  A response type of 0 means the block was never set (the
// defaults apply); 0xF0 off, 0xF1 BUSY, 0xF2 TASK SET FULL, 0xF3 chosen by
// what the host has outstanding.
struct TQM_SETTINGS {
    uint8_t bResponseType;
    uint8_t bResponseTime;       // seconds
    uint16_t wMaxReject;
    uint16_t wNoAcceptTime;      // ms
    uint16_t wMinLinksPerHost;
    uint16_t wMaxLinks;
    uint8_t abReserved[2];
    uint32_t dStatusDelay;       // ms
};
static_assert(sizeof(TQM_SETTINGS) == 16);
static_assert(offsetof(TQM_SETTINGS, wMaxReject) == 2);
static_assert(offsetof(TQM_SETTINGS, wNoAcceptTime) == 4);
static_assert(offsetof(TQM_SETTINGS, wMaxLinks) == 8);
static_assert(offsetof(TQM_SETTINGS, dStatusDelay) == 12);

struct CONFIG_IMAGE {
    CONFIG_HEADER sHeader;
    CONFIG_RANK_RECORD asRank[MAX_RANKS];
    CONFIG_LD_RECORD asLd[MAX_LDS];
    SAN_LUN_MAP_ENTRY asSanMap[MAX_SAN_MAPS];
    SPARE_ENTRY asSpare[MAX_SPARES];
    FAILED_DRIVE_ENTRY asFailedDrive[MAX_FAILED_DRIVES];
    uint8_t abReserved869888[32];
    BAD_BLOCK_ENTRY asBadBlock[MAX_BAD_BLOCKS];
    PR_RECORD asPrRecord[MAX_PR_RECORDS];
    uint8_t abReserved914976[64];    // zeroed by the upgrade from older versions
    uint8_t abReserved915040[64];
    SNAPSHOT_SET_RECORD asSnapshotSet[MAX_SNAPSHOT_SETS];
    VIRTUAL_LD_RECORD asVirtualLd[MAX_VIRTUAL_LDS];
    TQM_SETTINGS sTqmSettings;
    uint8_t abPowerSettings[16];
    uint8_t abReserved933568[8];
    uint8_t abReserved933576[6456];
};
#pragma pack(pop)

static_assert(sizeof(CONFIG_IMAGE) == CONFIG_IMAGE_SIZE);
static_assert(offsetof(CONFIG_IMAGE, asRank) == 512);
static_assert(offsetof(CONFIG_IMAGE, asLd) == 15872);
static_assert(offsetof(CONFIG_IMAGE, asSanMap) == 310784);
static_assert(offsetof(CONFIG_IMAGE, asSpare) == 867840);
static_assert(offsetof(CONFIG_IMAGE, asFailedDrive) == 868864);
static_assert(offsetof(CONFIG_IMAGE, abReserved869888) == 869888);
static_assert(offsetof(CONFIG_IMAGE, asBadBlock) == 869920);
static_assert(offsetof(CONFIG_IMAGE, asPrRecord) == 902688);
static_assert(offsetof(CONFIG_IMAGE, abReserved914976) == 914976);
static_assert(offsetof(CONFIG_IMAGE, abReserved915040) == 915040);
static_assert(offsetof(CONFIG_IMAGE, asSnapshotSet) == 915104);
static_assert(offsetof(CONFIG_IMAGE, asVirtualLd) == 921248);
static_assert(offsetof(CONFIG_IMAGE, sTqmSettings) == 933536);
static_assert(offsetof(CONFIG_IMAGE, abPowerSettings) == 933552);
static_assert(offsetof(CONFIG_IMAGE, abReserved933568) == 933568);
static_assert(offsetof(CONFIG_IMAGE, abReserved933576) == 933576);

// Stored counts clamped to their tables: a checksum-valid image may still hold
// counts that would overrun the run-time tables.
uint32_t dClampedRankCount(const CONFIG_IMAGE* psImage);
uint32_t dClampedLdCount(const CONFIG_IMAGE* psImage);
uint32_t dClampedSanMapCount(const CONFIG_IMAGE* psImage);
uint32_t dClampedSpareCount(const CONFIG_IMAGE* psImage);
uint32_t dClampedFailedDriveCount(const CONFIG_IMAGE* psImage);
uint32_t dClampedBadBlockCount(const CONFIG_IMAGE* psImage);
uint32_t dClampedPrRecordCount(const CONFIG_IMAGE* psImage);
uint32_t dClampedSegmentCount(const CONFIG_LD_RECORD* psLd);
uint32_t dClampedDriveCount(const CONFIG_RANK_RECORD* psRank);

// XOR of the 32-bit little-endian words [dFirstWord, dEndWord) of the image.
uint32_t dXorImageWords(const CONFIG_IMAGE* psImage, uint32_t dFirstWord, uint32_t dEndWord);

// Stores identity, the writer WWN (this controller's, unless the image
// already carries a valid one), with fNewGeneration TRUE the current time
// as generation, then the body check and last the header check.
void SealConfigImage(CONFIG_IMAGE* psImage, uint8_t fNewGeneration);
// An image without arrays: generation and counts 0, then sealed, so that
// it passes its own checks.
void SealEmptyConfigImage(CONFIG_IMAGE* psImage);
// TRUE when the copy passes the magic, array count and both XOR checks.
uint8_t fIsConfigImageValid(const CONFIG_IMAGE* psImage);

// Copies a whole image (235008 words).
void CopyConfigImage(const CONFIG_IMAGE* psSource, CONFIG_IMAGE* psDestination);

// Live and scratch images, set once at initialisation.
CONFIG_IMAGE* pGetConfigImage();
CONFIG_IMAGE* pGetScratchConfigImage();
void SetConfigImagePointer(CONFIG_IMAGE* psImage);
void SetScratchImagePointer(CONFIG_IMAGE* psImage);

}  // namespace fw
