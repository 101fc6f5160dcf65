// The menus for work on the board rather than on the arrays: the embedded
// management module, the processor's bus performance monitor, and the
// production test menu Ctrl-E opens on a production test unit; and the
// hooks through which the long tests and the diagnostic dump hand the
// console back.
#include "console/console_menu.h"
#include "console/information_menus.h"
#include "console/menu_tree.h"
#include "console/throughput_test.h"
#include "eventlog/bus_monitor.h"
#include "executive/console_output.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "platform/embedded_module.h"

namespace fw {

namespace {

constexpr uint64_t PATH_EMBEDDED_MODULE = 0x127;
constexpr uint64_t PATH_EMBEDDED_MODULE_PARENT = 0x126;
constexpr uint64_t PATH_PERFORMANCE_MONITORING = 0x122F;
constexpr uint64_t PATH_PRODUCTION_TEST = 0x1;
constexpr uint64_t PATH_FIBRE_LOOPBACK = 0x11;
constexpr uint64_t PATH_ETHERNET_LOOPBACK = 0x12;
constexpr uint64_t PATH_OFFLINE_ETHERNET_LOOPBACK = 0x1212;

constexpr uint8_t DIAGNOSTICS_LEVEL_MODULE_RESET = 2;
constexpr uint32_t BUS_MONITOR_LAST_MODE = 7;

// The production tests: a timed run and one of seven days.
constexpr uint32_t TEST_MINUTES = 5;
constexpr uint32_t CONTINUOUS_TEST_MINUTES = 10080;
constexpr uint8_t DRIVE_PORT_TEST_ALL = 3;
constexpr uint8_t DRIVE_PORT_TEST_WRITE_READ = 3;

MENU_STATE& Menu() { return *psGetMenuState(); }

// The three result lines of a test, OK, failed, aborted; other results
// print nothing.
void PrintTestResult(uint8_t bResult, const char* pszOk, const char* pszFailed, const char* pszAborted) {
    if (bResult == TEST_RESULT_OK) ConsolePrintText(pszOk);
    if (bResult == TEST_RESULT_FAILED) ConsolePrintText(pszFailed);
    if (bResult == TEST_RESULT_ABORTED) ConsolePrintText(pszAborted);
}

void ShowProductionTestMenu() {
    if (Menu().lMenuPath == MENU_PATH_NONE) ClearScreen(TRUE);
    EnterMenu(ProductionTestMenu, PATH_PRODUCTION_TEST);
    PrintMenuTitle("Production Test Menu");
    ConsolePrintf("1.  Fibre Loopback Test\n");
    uint16_t wMask = 0x7;
    if (fIsIpcPeerEnabled() == TRUE) {
        ConsolePrintf("2.  Ethernet Loopback Test\n");
        ConsolePrintf("3.  Reset Controller\n");
        wMask = 0xF;
    } else {
        ConsolePrintf("2.  Reset Controller\n");
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

void OpenEthernetLoopbackMenu() {
    if (fIsEthernetInitialized() != TRUE || fIsEthernetLinkUp() != TRUE) {
        Menu().lMenuPath = PATH_ETHERNET_LOOPBACK;
        ConsolePrintf(fIsEthernetInitialized() != TRUE ? "\nEthernet Initialization in Progess\n\n"
                                                       : "\nEthernet Link Not Up\n\n");
        WaitForAnyKeyThen(ProductionTestMenu);
        return;
    }
    ProductionEthernetLoopbackMenu();
}

// The two loopback menus: a timed test or a continuous one.
void ShowLoopbackMenu(MENU_FUNCTION pfnMenu, uint64_t lPath, const char* pszTitle) {
    ClearScreen(FALSE);
    EnterMenu(pfnMenu, lPath);
    PrintMenuTitle(pszTitle);
    ConsolePrintf("1.  %d Minute Test\n", TEST_MINUTES);
    ConsolePrintf("2.  Continuous Test\n");
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(0x7);
}

// One call of a loopback menu: the minutes of the test the operator chose
// (the path code then names it), or 0 when the menu drew itself or went
// back to the menu above it.
uint32_t dLoopbackMenu(MENU_FUNCTION pfnMenu, uint64_t lPath, const char* pszTitle,
                       MENU_FUNCTION pfnExit = ProductionTestMenu) {
    if (Menu().lMenuPath != lPath) {
        ShowLoopbackMenu(pfnMenu, lPath, pszTitle);
        return 0;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected != MenuOptionBit(1) && wSelected != MenuOptionBit(2)) {
        pfnExit();
        return 0;
    }
    const bool fTimed = wSelected == MenuOptionBit(1);
    Menu().lMenuPath = lPath * 16 + (fTimed ? 1 : 2);
    return fTimed ? TEST_MINUTES : CONTINUOUS_TEST_MINUTES;
}

// The test of the minutes a loopback menu chose; its end comes back
// through EthernetLoopbackTestDone.
void StartEthernetLoopbackTest(uint32_t dMinutes) {
    if (dMinutes == 0) return;
    const uint8_t bResult = bRunEthernetLoopbackTest(dMinutes);
    if (bResult != ETHERNET_TEST_RUNNING) EthernetLoopbackTestDone(bResult);
}

}  // namespace

void EmbeddedModuleSupportMenu() {
    MENU_STATE& s = Menu();
    if (s.lMenuPath != PATH_EMBEDDED_MODULE && s.lMenuPath != PATH_EMBEDDED_MODULE_PARENT) {
        ClearScreen(FALSE);
        // The Diagnostics Menu enters with its option digit appended.
        EnterMenu(EmbeddedModuleSupportMenu, s.lMenuPath >> 4);
        PrintMenuTitle("Embedded Module Support Menu");
        ConsolePrintf("1.  Reset Embedded Module\n");
        ConsolePrintf("2.  Enter Embedded Module Menu Mode (Exit with CTRL-W)\n");
        uint16_t wMask = 0x7;
        if (bGetDiagnosticsModeLevel() > DIAGNOSTICS_LEVEL_MODULE_RESET) {
            ConsolePrintf(fIsEmbeddedModuleHeldInReset() == TRUE ? "3.  Release Embedded Module Reset\n"
                                                                 : "3.  Hold Embedded Module In Reset\n");
            wMask = 0xF;
        }
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(wMask);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1:
        HoldEmbeddedModuleInReset();
        InitEmbeddedModuleMailbox();
        s.lMenuPath = s.lMenuPath * 16 + 1;
        WaitForAnyKeyThen(EmbeddedModuleSupportMenu);
        break;
    case 1u << 2:
        // Every key goes to the module until Ctrl-W.
        SetRawInputMode(TRUE);
        s.lMenuPath = s.lMenuPath * 16 + 2;
        break;
    case 1u << 3:
        if (fGetEmbeddedModuleEnabled() == TRUE) {
            if (fIsEmbeddedModuleHeldInReset() == TRUE) {
                InitEmbeddedModuleMailbox();
            } else {
                HoldEmbeddedModuleInReset();
            }
        }
        s.lMenuPath = s.lMenuPath * 16 + 1;
        WaitForAnyKeyThen(EmbeddedModuleSupportMenu);
        break;
    default: DiagnosticsMenu(); break;
    }
}

void PerformanceMonitoringMenu() {
    MENU_STATE& s = Menu();
    if (s.lMenuPath != PATH_PERFORMANCE_MONITORING) {
        ClearScreen(FALSE);
        EnterMenu(PerformanceMonitoringMenu, PATH_PERFORMANCE_MONITORING);
        PrintMenuTitle("Performance Monitoring Menu");
        for (uint32_t n = 1; n <= BUS_MONITOR_LAST_MODE; ++n) {
            ConsolePrintf("%d.  Enable Performance Monitoring Mode %d\n", n, n);
        }
        ConsolePrintf("8.  Disable Performance Monitoring\n");
        ConsolePrintf("9.  View Performance Monitoring Statistics\n");
        ConsolePrintf("10. Run Performance Monitor Test Suite\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x7FF);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MenuOptionBit(10)) {
        s.lMenuPath = PATH_PERFORMANCE_MONITORING * 16 + 10;
        ConsolePrintf("\n\nPerformance Monitoring Test in Progress Press ESC to Quit\n\n");
        StartBusMonitor();
        return;
    }
    uint32_t dOption = 0;
    for (uint32_t n = 1; n <= 9; ++n) {
        if (wSelected == MenuOptionBit(n)) dOption = n;
    }
    if (dOption == 0) {
        OnlineDiagnosticsMenu();
        return;
    }
    if (dOption <= BUS_MONITOR_LAST_MODE) {
        BusMonitorStartCounters(static_cast<uint8_t>(dOption));
    } else if (dOption == BUS_MONITOR_LAST_MODE + 1) {
        BusMonitorStartCounters(0);
    } else {
        ShowBusMonitorCounters();
    }
    s.lMenuPath = PATH_PERFORMANCE_MONITORING * 16 + dOption;
    WaitForAnyKeyThen(PerformanceMonitoringMenu);
}

void ProductionTestMenu() {
    if (Menu().lMenuPath != PATH_PRODUCTION_TEST) {
        ShowProductionTestMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    const uint16_t wReset = fIsIpcPeerEnabled() == TRUE ? MenuOptionBit(3) : MenuOptionBit(2);
    if (wSelected == MenuOptionBit(0)) {
        // The console stays deaf to all but Ctrl-E.
        SetConsoleInputEnabled(FALSE);
        ClearScreen(TRUE);
    } else if (wSelected == MenuOptionBit(1)) {
        FibreLoopbackTestMenu();
    } else if (wSelected == wReset) {
        // As every operator reset: the write journal drains first, and what
        // is left is kept for the replay.
        StartControllerReset();
    } else if (wSelected == MenuOptionBit(2)) {
        OpenEthernetLoopbackMenu();
    } else {
        ResetMenuSession();
    }
}

void FibreLoopbackTestMenu() {
    const uint32_t dMinutes = dLoopbackMenu(FibreLoopbackTestMenu, PATH_FIBRE_LOOPBACK, "Fibre Loopback Test Menu");
    if (dMinutes != 0) StartDrivePortTest(DRIVE_PORT_TEST_ALL, TRUE, dMinutes, DRIVE_PORT_TEST_WRITE_READ);
}

void ProductionEthernetLoopbackMenu() {
    StartEthernetLoopbackTest(
        dLoopbackMenu(ProductionEthernetLoopbackMenu, PATH_ETHERNET_LOOPBACK, "Ethernet Loopback Test Menu"));
}

void EthernetLoopbackTestMenu() {
    StartEthernetLoopbackTest(dLoopbackMenu(EthernetLoopbackTestMenu, PATH_OFFLINE_ETHERNET_LOOPBACK,
                                            "Ethernet Loopback Test Menu", OfflineDiagnosticsMenu));
}

// --- the hooks -------------------------------------------------------------------

void DrivePortTestDone(uint8_t bResult) {
    if (fIsProductionTestMode() == TRUE) {
        PrintTestResult(bResult, "\nFibre Loopback Test Completed OK\n\n", "\nFibre Loopback Test Failed\n\n",
                        "\nFibre Loopback Test Aborted\n\n");
        Menu().pfnAnyKeyMenu = ProductionTestMenu;
    } else {
        PrintTestResult(bResult, "\nPort Integrity Test Completed OK\n\n", "\nPort Integrity Test Failed\n\n",
                        "\nPort Integrity Test Aborted\n\n");
        Menu().pfnAnyKeyMenu = DrivePortIntegrityTestMenu;
    }
    WaitForAnyKey();
}

void EthernetLoopbackTestDone(uint8_t bResult) {
    PrintTestResult(bResult, "\nEthernet Loopback Test Completed OK\n\n", "\nEthernet Loopback Test Failed\n\n",
                    "\nEthernet Loopback Test Aborted\n\n");
    WaitForAnyKeyThen(fIsProductionTestMode() == TRUE ? ProductionTestMenu : OfflineDiagnosticsMenu);
}

void PerformanceMonitorTestDone() {
    ConsolePrintf("\nEnd of Performance Monitoring Test\n\n");
    WaitForAnyKeyThen(PerformanceMonitoringMenu);
}

void DiagnosticDumpDone() {
    ConsolePrintf("\nDiagnostic Dump Complete\n\n");
    WaitForAnyKeyThen(DiagnosticsMenu);
}

}  // namespace fw
