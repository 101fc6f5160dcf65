// The drive side's table of every disk it can address, rebuilt after each
// discovery pass, and the per-target tables the command path reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

constexpr uint8_t SAS_MAX_DEVICES = 126;
constexpr uint8_t SAS_MAX_STP_ENTRIES = 40;
constexpr uint8_t SAS_DEVICE_INDEX_PROXY = 254;
constexpr uint8_t SAS_DEVICE_INDEX_NONE = 255;
constexpr uint8_t SAS_PROXY_TARGET_BIT = 0x80;

#pragma pack(push, 1)
struct SAS_DEVICE_ENTRY {
    uint32_t adSASAddress[2];       // low word first
    uint8_t abReserved8[8];
    uint8_t bTargetId;              // 16
    uint8_t bPartnerTargetId;
    uint8_t bBus;
    uint8_t bByte19;                // 255
    uint16_t wDevHandle;            // 20
    uint16_t wHalf22;               // 0xFFFF
    uint8_t fValid;                 // 24
    uint8_t fReady;
    uint8_t fSAS;
    uint8_t bByte27;                // 1
    uint8_t bByte28;                // 0
    uint8_t bEnclosure;             // 29
    uint8_t bSlot;
    uint8_t bControllerNumber;
    uint16_t wQueueDepth;           // 32
    uint16_t wOutstanding;          // 34
    uint16_t wTimeoutCount;
    uint16_t wQCounter;
    uint16_t wDeviceFlags;          // 40
    uint8_t bStatus;                // 42
    uint8_t bByte43;
    uint16_t wRCounter;             // 44
    uint16_t wHalf46;
    uint16_t wMovingCounter;        // 48
    uint8_t fMovingFlag;            // 50
    uint8_t fFailurePredicted;      // the drive said it expects to fail
    uint8_t abReserved52[4];
    uint8_t abWWN[8];               // 56
    char acModel[40];               // 64
    char acSerial[20];              // 104
    char acFirmwareRevision[8];     // 124
    uint8_t f48BitLBA;              // 132
    uint8_t fQueued;
    uint8_t bATAQueueDepth;
    uint8_t bATAFeatures;
    uint64_t lCapacity;             // 136
    uint64_t lLastCommandTime;      // 144: five values that move with the drive
    uint64_t lLast158Time;
    uint64_t alCounters[3];
    uint64_t lResetTime;            // 184: the last reset asked for it
    uint64_t lResetTimeCopy;
    uint8_t bResetCount;            // 200
    uint8_t abReserved201[23];
};
static_assert(sizeof(SAS_DEVICE_ENTRY) == 224);
static_assert(offsetof(SAS_DEVICE_ENTRY, bTargetId) == 16);
static_assert(offsetof(SAS_DEVICE_ENTRY, fValid) == 24);
static_assert(offsetof(SAS_DEVICE_ENTRY, abWWN) == 56);
static_assert(offsetof(SAS_DEVICE_ENTRY, lCapacity) == 136);

// An enclosure device (the expander's SES target), as the enclosure code
// finds it by its target id at byte 16.
struct SAS_STP_ENTRY {
    uint32_t adSASAddress[2];       // low word first
    uint8_t abReserved8[8];
    uint8_t bTargetId;              // 16
    uint8_t bTargetId2;
    uint8_t bBus;
    uint8_t bBus2;
    uint16_t wDevHandle;            // 20
    uint16_t wHalf22;
    uint8_t bPortCode;              // 24: 0x61
    uint8_t bControllerNumber;
    uint8_t abReserved26[2];
    uint8_t bEnclosure;             // 28
    uint8_t abReserved29[3];
    uint8_t abSASAddressBE[8];      // 32
    uint8_t abEnclosureFields[80];  // 40: the enclosure code's
};
static_assert(sizeof(SAS_STP_ENTRY) == 120);
static_assert(offsetof(SAS_STP_ENTRY, bTargetId) == 16);
static_assert(offsetof(SAS_STP_ENTRY, bPortCode) == 24);
static_assert(offsetof(SAS_STP_ENTRY, bEnclosure) == 28);
static_assert(offsetof(SAS_STP_ENTRY, abSASAddressBE) == 32);

struct SAS_DEVICE_LIST {
    uint8_t bEntryCount;
    uint8_t bEnclosureCount;
    uint8_t bProxyCount;
    uint8_t bActiveCount1;
    SAS_DEVICE_ENTRY asEntry[SAS_MAX_DEVICES];
    uint8_t bStpCount;
    uint8_t bActiveCount2;
    uint8_t bActiveCount3;
    uint8_t aabStp[SAS_MAX_STP_ENTRIES][sizeof(SAS_STP_ENTRY)];
};
static_assert(offsetof(SAS_DEVICE_LIST, asEntry) == 4);
#pragma pack(pop)

// ATA feature bits of a SATA entry.
constexpr uint8_t SATA_FEATURE_WRITE_CACHE_ON = 0x01;
constexpr uint8_t SATA_FEATURE_LOOK_AHEAD_ON = 0x02;
constexpr uint8_t SATA_FEATURE_WRITE_CACHE_SUPPORTED = 0x04;
constexpr uint8_t SATA_FEATURE_LOOK_AHEAD_SUPPORTED = 0x08;
constexpr uint8_t SATA_FEATURE_WRITE_UNCORRECTABLE = 0x10;

// Status bits of an entry.
constexpr uint8_t SAS_DEVICE_STATUS_RESET_PENDING = 0x01;
constexpr uint8_t SAS_DEVICE_STATUS_COMMAND_SENT = 0x08;

// The drive side's two paths to the partner controller's IOC.
struct SAS_PARTNER_PATH {
    uint32_t adSASAddress[2];   // low word first
    uint8_t bTargetId;          // 0xFF: no partner on this path
    uint16_t wDevHandle;
};

constexpr uint8_t SAS_SLOT_TABLE_ENCLOSURES = 17;
constexpr uint8_t SAS_SLOT_TABLE_SLOTS = 33;

void InitSASDeviceList(SAS_DEVICE_LIST* psList);
void ShowSASDeviceList(const SAS_DEVICE_LIST* psList);
// The drive IOC bring-up's part: every list and per-target table empty
// (start of day); what a restarted IOC forgets of its targets.
void InitSASDeviceTables();
void ClearSASTargetFlagsAndHoldOffs();
// Without a partner: no proxy entries and no partner list.
void DropPartnerDeviceEntries();
// A disabled slot's drive is not listed (enclosure 0..16, slot 0..32).
uint8_t fIsSASSlotDisabled(uint8_t bEnclosure, uint8_t bSlot);
void SetSASSlotDisabled(uint8_t bEnclosure, uint8_t bSlot, uint8_t f);
// Path 1 or 2 to the partner's IOC, null for another path.
const SAS_PARTNER_PATH* psGetSASPartnerPath(uint8_t bPath);
// TARGET RESET to the partner's first target id; the task management
// status (255 posted).
uint8_t bResetPartnerTarget();
// Entries the rebuild could not hold (counted, never entered).
uint32_t dGetSASDeviceListOverflows();
// The controller enclosure's enclosure processor (0xFF: none seen).
uint8_t bGetEnclosure1ProcessorTarget(uint8_t* pbBus);
SAS_DEVICE_LIST* pGetSASDriveInfoList();
SAS_DEVICE_LIST* pGetPreviousSASDriveInfoList();
SAS_DEVICE_LIST* pGetOCSASDriveInfoList();
// The entry of a target below 0x80 (or a proxy entry), null when none.
SAS_DEVICE_ENTRY* psGetSASDeviceOfTarget(uint8_t bTarget);
// The drive of the target expects to fail: its entries on both paths (this
// controller's and the partner's list) say so.
void MarkSASTargetFailurePredicted(uint8_t bTarget);
uint8_t bGetSASDeviceIndexOfTarget(uint8_t bTarget);

void RebuildSASDeviceList(uint8_t fRestart);
// The partner's list arrived (message 157): merged into this one, with the
// drive-side work raised when asked.
void MergePartnerDeviceList(uint8_t fRaiseWork);
// TRUE when the partner's last list holds a drive of its own in the slot.
uint8_t fIsSlotListedByPartner(uint8_t bEnclosure, uint8_t bSlot);
void ClampSASDeviceList(SAS_DEVICE_LIST* psList);

uint8_t bGetTargetIdBySASAddress(const uint8_t* pbWwn, uint8_t* pbTarget);
uint8_t bGetSASDeviceEntryBySASAddress(const uint8_t* pbWwn, SAS_DEVICE_ENTRY** ppsEntry);
uint8_t bGetEnclosureSlotOfTarget(uint8_t bTarget, uint8_t* pbEnclosure, uint8_t* pbSlot);
// The target of the drive in the enclosure slot: 255, or 0 when none is there.
uint8_t bGetTargetIdByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, uint8_t* pbTarget);
// TRUE when the drive retry table may take the target (its entry's flag
// byte is FALSE).
uint8_t fIsSASTargetRetryCandidate(uint8_t bTarget);
uint8_t fIsSATATarget(uint8_t bTarget);
uint8_t bGetDriveIndexOfTarget(uint8_t bTarget);
uint8_t bGetDriveIndexFromEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot);
// The target id of the device in the slot, 255 when none.
uint8_t bGetTargetIdByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot);
// The entry of the device in a slot: 255 and the entry, 0 when none.
uint8_t bGetSASDeviceEntryByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, SAS_DEVICE_ENTRY** ppsEntry);
uint8_t bGetSATAFirmwareRevisionOfTarget(uint8_t bTarget, uint8_t* pbRevision);
// Commands outstanding on the drive in a slot (0 when none is there).
uint16_t wGetSlotCommandCount(uint8_t bEnclosure, uint8_t bSlot, uint8_t fLocked);
// One bit for each of the first twelve slots whose drive has commands
// outstanding.
uint16_t wGetEnclosureBusySlots(uint8_t bEnclosure);

// Per-target state the command path reads and the recovery code sets.
uint32_t dGetSASTargetFlags(uint8_t bTarget);
void SetSASTargetFlagBits(uint8_t bTarget, uint32_t dBits);
void ClearSASTargetFlagBits(uint8_t bTarget, uint32_t dBits);
uint64_t lGetSASTargetHoldOff(uint8_t bTarget);
void SetSASTargetHoldOff(uint8_t bTarget, uint64_t lTick);
void ExtendSASTargetHoldOff(uint8_t bTarget, uint32_t dMs);

// The drive's WWN from its SAS address (big-endian, low bits of the
// port cleared).
void MakeSASDriveWwn(uint32_t dLow, uint32_t dHigh, uint8_t* pbWwn);

}  // namespace fw
