// Drive, enclosure and power management services the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "enclosure/drive_rescan.h"
#include "enclosure/drive_spin.h"
#include "enclosure/power_management.h"

namespace fw {

void SetCtrlOptionBit2Flag(uint8_t f);
void InitDriveManagementState();
void InitEnclosureServicesFlags();
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
void AuxTickHook();
uint8_t fGetIoModuleUpdateFlag();
void StartIoModuleUpdate();

// Background pass services of the drive and enclosure management.
uint8_t fIsDriveFirmwareDownloadInProgress();
// TRUE when a host READ or WRITE reaches the drive being loaded.
struct KERNEL_ENTRY;
uint8_t fIsCommandForDownloadDrive(const KERNEL_ENTRY* psEntry);
// The drive format's background step while the drive firmware activity flag
// is set.
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
uint8_t fAnyDriveMarkedUnusable();   // a drive record marked 'U' in byte 3
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

// A command went to the drive in this slot (power management's idle timer).
void ReportDriveActivity(uint8_t bEnclosure, uint8_t bSlot);
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
void DumpSesState();
void DumpDriveSesFields();
void DumpSasEnclosureLists();
void DumpEnclosureTable();
void ShowSupportedDiagnosticPages();
// A slot power request (kind 1 on, 2 off; request 3 off and back on).
uint8_t bQueueEnclosureSlotControl(uint8_t bEnclosure, uint8_t bSlot, uint8_t bKind, uint8_t bRequest,
                                   uint8_t bDuration);
void AbortDriveFirmwareDownload();
// A member failed on request (command type 28, taken by the failed-drive
// task): 255 queued, 16 no internal command entry free, 0 the member has
// no drive.
uint8_t bStartMemberDriveCommand(uint8_t bRank, uint8_t bMember);
// A power management message to the partner (code 120 or 123, the
// sub-operation and its three argument bytes): 255 when sent.  With a
// reply buffer (in buffer memory) the answer's data lands there and the
// message's continuation takes it.  A management request (no reply data)
// is answered by the partner's status when the message ends; one is out at
// a time, and a second, or one that waits for data, is not sent: 0.
uint8_t bSendAPMMessageToPartner(void* pRequest, uint8_t* pbBuffer, uint32_t dLength, uint8_t bMessageCode,
                                 uint8_t bSubOperation, const uint8_t* pbArguments);

// The enclosure information pages: one step of the paged dump (type 33).
void ShowEnclosureInformation();
// The drive error counters of a controller as a table.
void ShowDriveErrorCounters(uint8_t bIgnored, uint8_t bController);
// The next SES poll reads every page again, whatever changed.
void SetSesPageRefreshForced(uint8_t f);

}  // namespace fw
