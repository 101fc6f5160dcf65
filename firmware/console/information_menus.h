// The information menus of the console: controller information, statistics
// and the event log of either controller, and the hooks through which the
// paged information dump, the partner link and the long tests hand the
// console back.
#pragma once

#include <cstdint>

namespace fw {

// The end of a page the menus asked for: the pause, then the menu.
void OnControllerInformationShown();
void OnStatisticsShown();
void OnEventLogShown();
void OnEnclosureInformationShown();
// The debug information dump started from the diagnostics menu has ended.
void DiagnosticDumpDone();
// The performance monitor's pass through its modes has ended.
void PerformanceMonitorTestDone();

}  // namespace fw
