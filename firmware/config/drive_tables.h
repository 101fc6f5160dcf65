// The drive-side address list, the failed-drive list of the image, the drive
// slot table (present drives that belong to no array), the hot spare table
// and the list of drives whose stale configuration copy was erased.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

constexpr uint32_t DRIVE_ADDRESS_ENTRIES = 126;
constexpr uint32_t DRIVE_SLOTS = 126;
constexpr uint32_t ERASED_COPY_ENTRIES = 127;

#pragma pack(push, 1)
struct DRIVE_ADDRESS_ENTRY {
    uint8_t bTarget;       // drive-side target identifier
    uint8_t bByte1;
    uint8_t fClaimed;      // claimed by an array member or a spare
    uint8_t fFailed;
    uint8_t abAddress[8];
};
static_assert(sizeof(DRIVE_ADDRESS_ENTRY) == 12);

struct DRIVE_ADDRESS_LIST {
    uint8_t bCount;
    uint8_t abReserved[3];
    DRIVE_ADDRESS_ENTRY asEntry[DRIVE_ADDRESS_ENTRIES];
};

// The SATA ports' drives, keyed by the last eight characters of the serial
// number (which SATA drives carry as their WWN in the image).
constexpr uint32_t SATA_SERIAL_ENTRIES = 16;

struct SATA_SERIAL_ENTRY {
    uint8_t bPort;         // 0xFF when unused
    uint8_t fClaimed;      // claimed by an array member or a spare
    uint8_t fFailed;
    uint8_t bUnused;
    uint8_t abSerial[8];   // 0xFF bytes when unused
};
static_assert(sizeof(SATA_SERIAL_ENTRY) == 12);

struct SATA_SERIAL_LIST {
    uint8_t bCount;
    uint8_t abReserved[3];
    SATA_SERIAL_ENTRY asEntry[SATA_SERIAL_ENTRIES];
};
static_assert(sizeof(SATA_SERIAL_LIST) == 4 + 16 * 12);

struct DRIVE_SLOT_TABLES {
    uint8_t bCount;
    uint8_t abDrive[DRIVE_SLOTS];      // 0xFF when free
    uint8_t abDriveAlt[DRIVE_SLOTS];   // second path, 0xFF when none
    uint8_t afFailed[DRIVE_SLOTS];
};

struct HOT_SPARE_TABLE {
    uint8_t bCount;
    uint8_t abDrive[MAX_SPARES];
    uint8_t abDriveAlt[MAX_SPARES];
    uint8_t abSpareIndex[MAX_SPARES];
    uint8_t abDedicatedRank[MAX_SPARES];
};
#pragma pack(pop)

DRIVE_ADDRESS_LIST* pGetDriveAddressList();

void AddFailedDriveWwn(const uint8_t* pbWwn, CONFIG_IMAGE* psImage, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3,
                       uint8_t b4);
void RemoveFailedDriveWwn(const uint8_t* pbWwn, CONFIG_IMAGE* psImage);
uint8_t fIsWwnInFailedDriveList(const uint8_t* pbWwn, const CONFIG_IMAGE* psImage);
uint8_t fIsDriveWwnFailed(const uint8_t* pbWwn);
// Start-up: the failed-drive table and the tables derived beside it.
void InitFailedDriveTable();

void BuildDriveSlotTableSas(DRIVE_ADDRESS_LIST* psList, uint8_t fRebuild);
void BuildHotSpareTableSas(const CONFIG_IMAGE* psImage, DRIVE_ADDRESS_LIST* psList);
// The SATA list is the SATA driver's; it is taken as it stands (fRebuild
// does not refill it).
void BuildDriveSlotTableSata(SATA_SERIAL_LIST* psList, uint8_t fRebuild);
void BuildHotSpareTableSata(const CONFIG_IMAGE* psImage, SATA_SERIAL_LIST* psList);
struct LOOP_DEVICE_TABLE;
void BuildDriveSlotTableFc(LOOP_DEVICE_TABLE* psPath3, LOOP_DEVICE_TABLE* psPath4, uint8_t fRescan);
void BuildHotSpareTableFc(const CONFIG_IMAGE* psImage, LOOP_DEVICE_TABLE* psPath3, LOOP_DEVICE_TABLE* psPath4);
DRIVE_SLOT_TABLES* pGetDriveSlotTables();
uint8_t bGetSpareDriveTableCount();
void SetDriveSlotCount(uint8_t bCount);
HOT_SPARE_TABLE* pGetHotSpareTable();
uint8_t bGetHotSpareCount();
uint8_t fFindHotSpareRow(uint8_t bDrive, uint8_t* pbRow);
uint8_t fFindDriveSlot(uint8_t bDrive, uint8_t* pbSlot);
// Spare list edits move drives between the spares and the unassigned slots.
void RemoveDriveFromUnassignedSlots(const uint8_t* pbWwn);
void ReturnDriveToUnassignedSlots(const uint8_t* pbWwn);
void RestoreDriveSlotTables();

void ClearErasedCopyList();
void AddErasedCopy(uint8_t bDrive);
uint8_t fIsErasedCopy(uint8_t bDrive);
void PruneErasedCopyList();

}  // namespace fw
