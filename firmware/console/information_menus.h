// The information menus of the console: controller information, statistics
// and the event log of either controller, the board's own menus (the
// embedded module, the bus performance monitor, production test), and the
// hooks through which the paged information dump, the partner link and the
// long tests hand the console back.
#pragma once

#include <cstdint>

namespace fw {

// Below the Controller Statistics Menu: one logical drive's statistics,
// viewed or cleared, on the ports chosen.
void LogicalDriveAccessStatisticsMenu();
void LogicalDriveAccessStatisticsPrompt();
void ClearLogicalDriveStatisticsMenu();
void ClearLogicalDriveStatisticsPrompt();

// The board's menus.
void EmbeddedModuleSupportMenu();
void FibreLoopbackTestMenu();
void ProductionEthernetLoopbackMenu();

// The partner's answers to the menus' requests (STATUS_OK, or the request
// failed): the page they fetched starts, or the confirmation prints.
void OnPartnerControllerInformation(uint8_t bStatus);
void OnPartnerStatistics(uint8_t bStatus);
void OnPartnerStatisticsCleared(uint8_t bStatus);
// bCode: the view the request named (9: the two counts).
void OnPartnerEventLog(uint8_t bCode, uint8_t bStatus);
void OnPartnerEventLogCleared(uint8_t bStatus);

// The end of a page the menus asked for: the pause, then the menu.
void OnControllerInformationShown();
void OnStatisticsShown();
void OnEventLogShown();
void OnEnclosureInformationShown();

// Test results the long tests report.
constexpr uint8_t TEST_RESULT_OK = 0xFF;
constexpr uint8_t TEST_RESULT_FAILED = 0;
constexpr uint8_t TEST_RESULT_ABORTED = 0xFD;
// The drive port test (the Fibre loopback test in production test mode)
// and the Ethernet loopback test have ended.
void DrivePortTestDone(uint8_t bResult);
void EthernetLoopbackTestDone(uint8_t bResult);
// The debug information dump started from the diagnostics menu has ended.
void DiagnosticDumpDone();
// The performance monitor's pass through its modes has ended.
void PerformanceMonitorTestDone();

}  // namespace fw
