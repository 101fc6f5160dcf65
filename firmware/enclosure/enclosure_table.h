// The enclosures as the drive table sees them: which drives are an
// enclosure's SES devices, the SES flags each drive shows on its slot, the
// fixed slot maps of the chassis and backplanes, and the drive slot table
// kept in enclosure and slot order.
#pragma once

#include <cstdint>

namespace fw {

struct DRIVE_INFO;
struct DRIVE_INFO_LIST;

constexpr uint8_t MAX_SLOT_NUMBER = 32;
constexpr uint8_t OWN_CHASSIS_POSITIONS = 16;
constexpr uint8_t NO_SLOT = 0xFF;

// The SES element slot id of a slot (1..32) on this board's backplane; 0
// for a slot outside that range.
uint8_t bSlotToSesSlotId(uint8_t bSlot);
// The own chassis' bay positions (0..15): the slot and the SES slot id of
// each, 255 for a position without a bay.
uint8_t bOwnChassisSlot(uint8_t bPosition);
uint8_t bOwnChassisSesSlotId(uint8_t bPosition);

// The highest enclosure number a drive of the table has (0 when none), and
// whether every number from 1 to it has a drive.
uint8_t bGetHighestEnclosureNumber(const DRIVE_INFO_LIST* psList);
uint8_t fAreEnclosureNumbersContiguous(const DRIVE_INFO_LIST* psList);
// The first drive of the current table reached through the SES device id.
uint8_t fFindDriveBySesId(uint8_t bSesId, DRIVE_INFO** ppsRecord, uint8_t* pbIndex);

// The drive side's enclosure processors the drive table lists: whether a
// target id is one, and its SAS address (8 bytes, 255 found, 0 not).
uint8_t fIsSesDevicePath(uint8_t bTarget);
uint8_t bGetSesDeviceSasAddress(uint8_t* pbAddress, uint8_t bId);

// The first two drives of each enclosure are its SES devices; every drive
// of the enclosure is reached through them.
void AssignSesDevices(DRIVE_INFO_LIST* psList);
void AssignSesIds(DRIVE_INFO_LIST* psList);
// Without enclosure services each drive is its own SES device; a discovery
// that ends without them leaves no SES device at all.
void SetDrivesOwnSesDevice(DRIVE_INFO_LIST* psList);
void ClearDriveSesIds(DRIVE_INFO_LIST* psList);

// Slot flags the enclosure shows for each drive of the current table.
constexpr uint8_t SES_CONTROL_NONE = 0;
constexpr uint8_t SES_CONTROL_FAULT = 1;
constexpr uint8_t SES_CONTROL_IDENTIFY = 2;
constexpr uint8_t SES_ARRAY_NONE = 0;
constexpr uint8_t SES_ARRAY_HOT_SPARE = 1;
constexpr uint8_t SES_ARRAY_CONSISTENCY_CHECK = 2;
constexpr uint8_t SES_ARRAY_CRITICAL = 4;
constexpr uint8_t SES_ARRAY_FAILED = 8;
constexpr uint8_t SES_ARRAY_REBUILD = 16;
constexpr uint8_t SES_ARRAY_UNCHANGED = 0x80;
void UpdateDriveSesFlags();

// Puts the drive slot table in enclosure and slot order of its drives.
void SortDriveList();

// Asks the enclosure to show (or stop showing) a drive's identify light:
// the drive by its loop ID on drive loop 1 or the other loop.
void SetDriveIdentify(uint8_t bLoop, uint8_t bLoopId);
void ClearDriveIdentify(uint8_t bLoop, uint8_t bLoopId);

}  // namespace fw
