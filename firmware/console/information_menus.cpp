// The information menus and the hooks that end their pages.
#include "console/information_menus.h"

#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "executive/console_output.h"
#include "executive/types.h"

namespace fw {

namespace {

// A page is done: no partner answer is due any more, and the next key
// brings the menu back.
void PageShown(MENU_FUNCTION pfnMenu) {
    SetPartnerRequestPending(FALSE);
    ConsolePrintf("\n\n");
    WaitForAnyKeyThen(pfnMenu);
}

}  // namespace

void OnControllerInformationShown() { PageShown(ControllerInformationMenu); }
void OnStatisticsShown() { PageShown(ControllerStatisticsMenu); }
void OnEventLogShown() { PageShown(ControllerEventLogMenu); }
void OnEnclosureInformationShown() { PageShown(MainMenu); }

void PerformanceMonitorTestDone() {
    ConsolePrintf("\nEnd of Performance Monitoring Test\n\n");
    WaitForAnyKeyThen(PerformanceMonitoringMenu);
}

void DiagnosticDumpDone() {
    ConsolePrintf("\nDiagnostic Dump Complete\n\n");
    WaitForAnyKeyThen(DiagnosticsMenu);
}

}  // namespace fw
