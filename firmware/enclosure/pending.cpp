// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "enclosure/drive_management.h"
#include "console/information_menus.h"
#include "eventlog/info_dump.h"
#include "enclosure/drive_table.h"
#include "enclosure/io_module_firmware.h"
#include "console/drive_firmware_menus.h"
#include "enclosure/audible_alarm.h"
#include "executive/types.h"
#include "executive/work_flags.h"

namespace fw {

void InitDriveManagementState() {}
void InitEnclosureServicesFlags() {}
void SetPowerManagementState(uint8_t) {}
void SetSesPartnerJoinFlag(uint8_t) {}
void ClearPowerManagementJoinFlag() {}
void CheckEnclosureFirmwareUpdate(uint8_t, uint8_t) {}
void ResetDriveStartFlags() { ResetDriveRescanFlags(); }
void ResetEnclosureStartFlags() {}

// Stand-ins for the tick.
uint8_t fGetIoModuleUpdateFlag() { return FALSE; }
void StartIoModuleUpdate() {}
void DriveTableServiceA() {
    RunBackgroundDriveVerifyPass();
    SetDriveServiceWorkA(FALSE);
}
void DriveTableServiceB() { SetDriveServiceWorkB(FALSE); }

uint8_t fAnyDriveMarkedUnusable() { return FALSE; }

void StartEnclosureJob(uint8_t) {}

void ReportDriveActivity(uint8_t, uint8_t) {}




}  // namespace fw
