// Drive, enclosure and power management services the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "enclosure/drive_rescan.h"
#include "enclosure/drive_spin.h"

namespace fw {

void SetCtrlOptionBit2Flag(uint8_t f);
void InitDriveManagementState();
void InitEnclosureServicesFlags();
void SetAPMDriveVerifyRunning(uint8_t f);
void SetPowerManagementState(uint8_t b);
void InitDriveErrorCounters();
void SetSesPartnerJoinFlag(uint8_t f);
void ClearPowerManagementJoinFlag();
void InitOwnEnclosure();
void CheckEnclosureFirmwareUpdate(uint8_t f1, uint8_t f2);
void AllocateEnclosureServicesTables();
void ResetDriveStartFlags();
void ResetEnclosureStartFlags();

// Used by the system tick and the stop paths of the executive.
uint8_t fGetCtrlOptionBit2Flag();
void EnclosureTickRoutine();
uint8_t fGetIoModuleUpdateFlag();
void StartIoModuleUpdate();
uint8_t fIsDriveFirmwareDownloadActive();

// Background pass services of the drive and enclosure management.
uint8_t fIsDriveFirmwareDownloadInProgress();
// TRUE when a host READ or WRITE reaches the drive being loaded.
struct KERNEL_ENTRY;
uint8_t fIsCommandForDownloadDrive(const KERNEL_ENTRY* psEntry);
// An array's power state: 1 spun down, 2 spun up, 3 spinning up.
constexpr uint8_t APM_SPUN_DOWN = 1;
constexpr uint8_t APM_SPINNING_UP = 3;
uint8_t bGetArrayAPMState(uint8_t bArray);
uint8_t bSpinArrayUpDown(uint8_t fUp, uint8_t bArray);
void DriveFirmwareDownloadStep();
// The drive firmware download state the partner's download message sets:
// the in-progress and partner-sync flags and the download drive's phase
// parameters (path, loop ID, rank, fourth parameter).
void SetDriveFirmwareDownloadInProgress(uint8_t f);
void SetDriveFirmwareDownloadPartnerSync(uint8_t f);
uint8_t fGetDriveFirmwareDownloadPartnerSync();
void SetDownloadDriveParams(uint8_t bPath, uint8_t bLoopId, uint8_t bRank, uint8_t bParam4);
uint8_t bGetDownloadDriveRank();
uint8_t bGetDownloadDriveParam4();
uint8_t fGetEnclosureTaskRequest();
void EnclosureTaskStep();
uint8_t fGetSesPollRequest();
void SesPagePollStep();
void DriveTableServiceA();
void DriveTableServiceB();
void MonitorTemperatures();
uint8_t PollOwnEnclosure();

// Used by the configuration database.
void StopAPM();
uint8_t fAnyDriveMarkedUnusable();   // a drive record marked 'U' in byte 3
void LoadSaveAPMConfig(const uint8_t* pbSettings, uint8_t f);
uint8_t bStartAPM();
void RequestEnclosureStatusUpdate(uint8_t f);

// Phases of the configuration phase machine run by this subsystem; each
// takes the step and returns 255, or 16 to be run again.
uint8_t DownloadDriveFirmware(uint8_t bStep);
uint8_t DriveFormatPhase(uint8_t bStep);
uint8_t ReadStoredDriveFirmwareFile(uint8_t bStep);
uint8_t EnclosureDiscoveryDispatch(uint8_t bStep);

// Enclosure services the drive table rebuild hands its table to.
uint8_t bGetSesLevel();   // 0xFF not yet known, 1 or 3
void SetSesLevel(uint8_t b);
void SetSesDataValid(uint8_t f);
uint8_t fIsSesDataReady();
void StartEnclosureDiscovery();
void RebuildEnclosureTable();
void StartEnclosureJob(uint8_t bJob);

// The configuration commit and the drive rescan tell the array power
// states what they do (kinds 1-4).
void UpdateArrayAPMStatesOnEvent(uint8_t bEvent);
// A drive's functional test (power management's verify) is running.
uint8_t fIsAPMDriveVerifyRunning();
uint8_t fGetAPMOptionBit(uint8_t bBit);
// A command went to the drive in this slot (power management's idle timer).
void ReportDriveActivity(uint8_t bEnclosure, uint8_t bSlot);
// The image's power settings, read by the configuration commit.
struct CONFIG_IMAGE;
void UpdateApmFromConfig(const CONFIG_IMAGE* psImage);
// Drive locate: the enclosure record of the target shows (or stops showing)
// the locate state; requests of type 128 are the enclosure's own.
void MarkDriveLocate(uint8_t bMode, uint8_t bTarget);
void ClearDriveLocate(uint8_t bMode, uint8_t bTarget);
void LocateEnclosureDevice(uint8_t bTarget, uint16_t wSeconds);

// Used by drive-side discovery: whether the enclosure code accepts an
// expander of this vendor identification (8 bytes).
uint8_t fIsEnclosureVendorAccepted(const uint8_t* pbVendor);


// The fan and alarm low-noise mode and the alarm (kind 1-3, enclosure).
uint8_t fIsFanLowNoiseMode();
void SetFanLowNoiseMode(uint8_t f);
void SetAlarmLowNoiseMode(uint8_t f);
uint8_t bSetAudibleAlarm(uint8_t bKind, uint8_t bEnclosure);
// Console displays of the enclosure services state.
void ShowSesState();
void ShowSesDriveList();
void ShowSesProcessorList();
void ShowSesEnclosureList();
void ShowSupportedDiagnosticPages();
// SEND DIAGNOSTIC with the enclosure control page, RECEIVE DIAGNOSTIC
// RESULTS for the status page; 16 when no command entry was free.
uint8_t SendSesControlPage();
uint8_t RequestSesStatusPage();
// A slot power request (kind 1 on, 2 off; request 3 off and back on).
uint8_t bQueueEnclosureSlotControl(uint8_t bEnclosure, uint8_t bSlot, uint8_t bKind, uint8_t bRequest,
                                   uint8_t bDuration);
void AbortDriveFirmwareDownload();
// The management diagnostic command (command type 28) to an array member:
// 255 started, 16 no internal command entry free.
uint8_t bStartMemberDriveCommand(uint8_t bRank, uint8_t bMember);
// An in-band request to the master controller; 255 when sent.
uint8_t bSendAPMMessageToPartner(void* pRequest, uint8_t* pbBuffer, uint32_t dLength, uint8_t bMessageCode,
                                 uint8_t bSubOperation, const uint8_t* pbArguments);

// The enclosure information pages: one step of the paged dump (type 33).
void ShowEnclosureInformation();
// Advanced power management: whether it is configured, and its status dump.
uint8_t fIsAPMConfigured();
void ShowAPMStatusInformation();
// The drive error counters of a controller as a table.
void ShowDriveErrorCounters(uint8_t bIgnored, uint8_t bController);
// The next SES poll reads every page again, whatever changed.
void SetSesPageRefreshForced(uint8_t f);

}  // namespace fw
