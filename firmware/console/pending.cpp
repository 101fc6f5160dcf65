// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "config/config_phase.h"
#include "console/console_menu.h"
#include "console/drive_command_phase.h"
#include "console/information_menus.h"
#include "console/menu_tree.h"
#include "console/throughput_test.h"
#include "executive/interrupt_controller.h"
#include "executive/types.h"

namespace fw {

uint8_t fGetThroughputTestRequest() { return FALSE; }
void RunThroughputTest() {}
uint8_t fIsThroughputTestRunning() { return FALSE; }
void StopThroughputTest(uint8_t) {}
// The test is not built: it ends at once, failed.
void StartDrivePortTest(uint8_t, uint8_t, uint32_t, uint8_t) { DrivePortTestDone(TEST_RESULT_FAILED); }

// Nothing to send before the diagnostics menu is built: the phase ends.
uint8_t RunDriveCommandPhase(uint8_t) {
    EndConfigPhase();
    return STATUS_OK;
}

// Menus of the tree not built yet answer as an option the menu does not
// offer: the operator is asked again.
void ControllerIdentificationMenu() { PromptSelectOption(); }
void SasExpanderConfigurationMenu() { PromptSelectOption(); }
void AudibleAlarmControlMenu() { PromptSelectOption(); }
void DriveMaintenanceMenu() { PromptSelectOption(); }
void DiskIoModuleMaintenanceMenu() { PromptSelectOption(); }
void EnclosureVscMaintenanceMenu() { PromptSelectOption(); }
void AaMuxMaintenanceMenu() { PromptSelectOption(); }
void DiagnosticCounterMenu() { PromptSelectOption(); }
void DataServicesConfigurationMenu() { PromptSelectOption(); }
void DeleteArrayMenu() { PromptSelectOption(); }
void ExpandArrayMenu() { PromptSelectOption(); }
void ArrayCacheMenu() { PromptSelectOption(); }
void AdvancedArrayMenu() { PromptSelectOption(); }
void DeleteLogicalDriveMenu() { PromptSelectOption(); }
void ExpandLogicalDriveMenu() { PromptSelectOption(); }
void LdAvailabilityMenu() { PromptSelectOption(); }
void AdvancedLogicalDriveMenu() { PromptSelectOption(); }

}  // namespace fw
