// The drive table rebuilt from discovery, one drive command per step of
// configuration phase 7; the rescan that starts it; and whether a drive is
// qualified for use.
#pragma once

#include <cstdint>

namespace fw {

// Steps of the rebuild.
constexpr uint8_t REBUILD_STEP_START = 0;
constexpr uint8_t REBUILD_STEP_START_UNIT = 1;
constexpr uint8_t REBUILD_STEP_TEST_UNIT_READY = 2;
constexpr uint8_t REBUILD_STEP_SES_SLOT_FLAG = 3;
constexpr uint8_t REBUILD_STEP_IDENTIFY = 4;
constexpr uint8_t REBUILD_STEP_CAPACITY = 5;
constexpr uint8_t REBUILD_STEP_MODE_CURRENT = 6;
constexpr uint8_t REBUILD_STEP_MODE_DEFAULT = 7;
constexpr uint8_t REBUILD_STEP_MODE_CHANGEABLE = 8;
constexpr uint8_t REBUILD_STEP_MODE_SELECT = 9;
constexpr uint8_t REBUILD_STEP_FIRMWARE_PROBE = 10;
constexpr uint8_t REBUILD_STEP_ENTER = 11;
constexpr uint8_t REBUILD_STEP_NEXT_DEVICE = 16;
constexpr uint8_t REBUILD_STEP_END = 17;

// Path types of a drive.
constexpr uint8_t DRIVE_PATH_NONE = 0;
constexpr uint8_t DRIVE_PATH_SATA_ACTIVE_PASSIVE = 2;
constexpr uint8_t DRIVE_PATH_SAS = 3;
constexpr uint8_t DRIVE_PATH_SATA_ACTIVE_ACTIVE = 4;
constexpr uint8_t DRIVE_PATH_SATA_DUAL_DEVICE = 5;

// The phase-7 handler: 255 when the step was handled, 16 to run again.
uint8_t RebuildDriveTables(uint8_t bStep);

// The rescan flags; a request (TRUE) also raises the main-loop work flag.
uint8_t fRequestDriveRescan();
void SetDriveRescanRequest(uint8_t f);
uint8_t fIsDriveRescanRequested();
void SetDriveRescanInProgress(uint8_t f);
uint8_t fIsDriveRescanInProgress();
void SetDriveRescanSpinUpWait(uint8_t f);
uint8_t fIsDriveRescanSpinUpWait();
// Holds the rescan request back while drives spin up for it.
uint8_t fGetDriveRescanBlockingFlag();
// TRUE when any of the three was set; all three become FALSE.
uint8_t fClearDriveRescanFlags();
// Set by the drive firmware download: the next rebuild also empties the
// current table.  And the download's own rescan, read by the device list.
void SetClearCurrentDriveTable(uint8_t f);
uint8_t fGetClearCurrentDriveTable();
void SetFirmwareDownloadRescan(uint8_t f);
uint8_t fGetFirmwareDownloadRescan();
// The main-loop service of the rescan request.
void ProcessDriveRescanRequest();

// The current table's target ids, refreshed from the SAS device list.
void RebuildDriveTargetIds();

// A drive of the current table that is still the same device: TRUE with its
// index.
uint8_t fFindKnownDriveByWwn(const uint8_t* pbWwn, uint8_t* pbIndex);
uint8_t bGetDrivePathType(const uint8_t* pbWwn);
uint8_t fIsDrivePathTypeSupported(const uint8_t* pbWwn);
// TRUE, FALSE, or 0 when the drive cannot be judged; a refused drive posts
// event 123 when fReport is TRUE.
uint8_t fIsDriveQualified(const uint8_t* pbWwn, uint8_t fReport);

// One pass of the background drive verify: every tabled drive gets the
// next VERIFY of its walk when none is outstanding.
void RunBackgroundDriveVerifyPass();

// The rescan flags' start-of-day values.
void ResetDriveRescanFlags();

}  // namespace fw
