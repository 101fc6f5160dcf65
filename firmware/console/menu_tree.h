// The menus of the console tree that other menus call: each is a menu
// function of the menu framework (no arguments, called again and again).
#pragma once

namespace fw {

// The top of the tree.
void MainMenu();
void ConfigurationMenu();
void Rs232SettingsMenu();
void SaveConfigurationMenu();
void ClearConfigurationMenu();
// Ctrl-E opens it instead of the Main Menu in production-test mode.
void ProductionTestMenu();

// Below the Main Menu.
void DiagnosticsMenu();
void ControllerInformationMenu();
void StatisticsMenu();
void EventLogMenu();
// Below the Statistics and Event Log Menus: one controller's pages.
void ControllerStatisticsMenu();
void ControllerEventLogMenu();
// Below the Diagnostics Menu.
void OnlineDiagnosticsMenu();
void OfflineDiagnosticsMenu();
void ResetControllerMenu();
void ShutdownControllerMenu();
void DiagnosticCounterMenu();
void ApmDiagnosticMenu();
void TargetCommandTraceMenu();
// Below the Offline Diagnostics Menu.
void DrivePortIntegrityTestMenu();
void EthernetLoopbackTestMenu();
void MemoryAccessMenu();
void DiskIoModuleMaintenanceMenu();
void ShowDiskIoModuleCount();
void ShowDiskIoModuleFirmwareList();
void DownloadDiskIoModuleFirmware();
void UpdateDiskIoModuleFirmwareMenu();
void EnclosureVscMaintenanceMenu();
void AaMuxMaintenanceMenu();
// Below the Online Diagnostics Menu.
void DriveMaintenanceMenu();
void OnlineDiskIoModuleMenu();
void StreamingReadAheadMenu();
// Below the Drive Maintenance Menu: a drive's task management and phy
// control, failing an array member, a slot's power.
void DriveDiagnosticMenu();
void DriveDiagnosticActionMenu();
void DriveTaskManagementMenu();
void TaskManagementTypeMenu();
void DrivePhyControlMenu();
void DriveFailMenu();
void DriveFailDrivePrompt();
void ConfirmDriveFail();
void DrivePowerManagementMenu();
void DrivePowerSlotPrompt();
void DrivePowerActionMenu();
// Below the Online Diagnostics Menu: the bus performance monitor.
void PerformanceMonitoringMenu();
// Below the Online Diagnostics Menu's controller maintenance: the
// controller's own firmware and the settings behind it.
void ControllerFirmwareMenu();
void ControllerIdentificationMenu();
void SasExpanderConfigurationMenu();
void AudibleAlarmControlMenu();
// Below the Online Diagnostics Menu: the parity check of RAID 5/50/6 arrays.
void ParityCheckMenu();
void ParityCheckArrayPrompt();
void ParityCheckModeMenu();
void ConfirmParityCheckCancel();

// Below the Configuration Menu.
void ArrayConfigurationMenu();
void LogicalDriveConfigurationMenu();
void AdditionalHostConfigurationMenu();
void SanLunMappingMenu();
void RebuildConfigMenu();
void DataServicesConfigurationMenu();
void AdditionalConfigMenu();
void ApmConfigurationMenu();

// Below the Additional Host Configuration Menu: target queue management,
// its on/off screen and the dialogue that chooses the response and limits.
void TargetQueueManagementMenu();
void TqmResponseTypeMenu();

// Below the Array Configuration Menu.
void CreateArrayMenu();
// The creation dialogue's steps, each below the one before: the RAID
// level with its proposals, chunk size, drives, reserve, subarrays.
void ArrayRaidLevelMenu();
void ArrayChunkSizeMenu();
void ArrayDriveSelectionMenu();
void ArrayReserveCapacityMenu();
void ArraySubarrayCountMenu();
void DeleteArrayMenu();
// The deletion's confirmation; the expansion's drive selection and, for
// RAID 5/50, its subarray count.
void ConfirmDeleteArray();
void ExpandArrayMenu();
void ExpandArrayDriveSelection();
void ExpandArraySubarrayMenu();
// The array's cache settings: the array, then its read-ahead size or its
// write-back dialogue.
void ArrayCacheSelectMenu();
void ArrayCacheMenu();
void ArrayReadAheadMenu();
void ArrayWritebackMenu();
// The advanced array settings: each option chooses an array, then asks.
void AdvancedArrayMenu();
void InitializeArraySelect();
void ConfirmInitializeArray();
void TrustArraySelect();
void ConfirmTrustArray();
void PauseInitSelect();
void ConfirmPauseInit();
void ArrayNameSelect();
void ModifyArrayName();
void ChunkSizeSelect();
void NewChunkSizeMenu();
void ConfirmChunkSize();
void ForceFaultTolerantSelect();
void ConfirmForceFaultTolerant();
void BadBlockListMenu();
void DisplayBadBlockList();
void RemoveBadBlockSelect();
void ConfirmRemoveBadBlocks();

// Below the Logical Drive Configuration Menu.
void CreateLogicalDriveMenu();
// The creation dialogue's steps: region, number, size, host block size.
void LdRegionSelectionMenu();
void LdCountMenu();
void LdSizeMenu();
void LdBlockSizeMenu();
void DeleteLogicalDriveMenu();
void ConfirmDeleteLogicalDrive();
// Expansion: the logical drive, the free region, the capacity to add.
void ExpandLogicalDriveMenu();
void LdExpandRegionMenu();
void LdExpandCapacityMenu();
// Availability: the logical drive, then its ports or paths one by one.
void LdAvailabilityMenu();
void LdAvailabilityDialogue();
// The mapped LUN: the logical drive, the new LUN, the confirmation.
void AdvancedLogicalDriveMenu();
void ModifyMappedLunMenu();

}  // namespace fw
