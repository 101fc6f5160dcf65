// The Diagnostics Menu, the root of the service tree, and the Offline
// Diagnostics Menu below it with the tests that disturb normal operation:
// the drive port integrity test and its settings, and direct memory access.
#include "config/config_state.h"
#include "config/nvram_records.h"
#include "config/rank_table.h"
#include "console/console_menu.h"
#include "console/information_menus.h"
#include "console/memory_commands.h"
#include "console/menu_input.h"
#include "console/menu_tree.h"
#include "console/throughput_test.h"
#include "eventlog/debug_dump.h"
#include "executive/console_output.h"
#include "executive/interrupt_dispatch.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "platform/embedded_module.h"

namespace fw {

namespace {

constexpr uint64_t PATH_DIAGNOSTICS = 0x12;
constexpr uint64_t PATH_DIAGNOSTIC_DUMP = 0x125;
constexpr uint64_t PATH_PAUSE_RESUME = 0x126;
constexpr uint64_t PATH_EMBEDDED_MODULE_AT_6 = 0x126A;
constexpr uint64_t PATH_EMBEDDED_MODULE_AT_7 = 0x127A;
constexpr uint64_t PATH_OPTION_7 = 0x127;
constexpr uint64_t PATH_PHRASE = 0x12F;
constexpr uint64_t PATH_OFFLINE = 0x121;
constexpr uint64_t PATH_ETHERNET_CHECK = 0x1212;
constexpr uint64_t PATH_MEMORY_ACCESS = 0x1213;
constexpr uint64_t PATH_MEMORY_COMMAND = 0x12131;
constexpr uint64_t PATH_MEMORY_PROMPT = 0x12132;
constexpr uint64_t PATH_ICACHE_TEST = 0x1217;
constexpr uint64_t PATH_PORT_TEST = 0x1211;
constexpr uint64_t PATH_PORT_TEST_HIDDEN = 0x1211F;
constexpr uint64_t PATH_KIND_FROM_TEST = 0x12111;
constexpr uint64_t PATH_KIND_OTHER = 0x12112;
constexpr uint64_t PATH_TEST_STARTED = 0x1211111;
constexpr uint64_t PATH_PATTERN_MENU = 0x12112;
constexpr uint64_t PATH_PATTERN_PROMPT = 0x121123;
constexpr uint64_t PATH_PATTERN_SET = 0x1211431;

// Above this level the service options are offered.
constexpr uint8_t SERVICE_LEVEL = 2;
constexpr uint8_t DIAGNOSTIC_DUMP_MODE = 10;
constexpr uint8_t PORT_TEST_CODE = 0x61;
// A week: the longest run the test's coarse-tick clock can time.
constexpr uint32_t MAX_TEST_MINUTES = 10080;

MENU_STATE& Menu() { return *psGetMenuState(); }

bool IsServiceLevel() { return bGetDiagnosticsModeLevel() > SERVICE_LEVEL; }

void PauseThen(uint64_t lPath, MENU_FUNCTION pfnMenu) {
    Menu().lMenuPath = lPath;
    WaitForAnyKeyThen(pfnMenu);
}

// --- Diagnostics Menu -------------------------------------------------------

void ShowDiagnosticsMenu() {
    ClearScreen(FALSE);
    EnterMenu(DiagnosticsMenu, PATH_DIAGNOSTICS);
    PrintMenuTitle("Diagnostics Menu");
    ConsolePrintf("1.  Offline Diagnostics\n");
    ConsolePrintf("2.  Online Diagnostics\n");
    ConsolePrintf("3.  Reset Controller\n");
    ConsolePrintf("4.  Shutdown Controller\n");
    ConsolePrintf("5.  Diagnostic Dump\n");
    uint16_t wMask = 0x3F;
    const bool fLinePower = fIsLinePowerMode() == TRUE;
    if (fLinePower) {
        ConsolePrintf(fIsBackgroundHold() == TRUE ? "6.  Resume Controller\n" : "6.  Pause Controller\n");
        wMask |= MenuOptionBit(6);
    }
    if (fGetEmbeddedModuleEnabled() == TRUE) {
        ConsolePrintf(fLinePower ? "7.  Embedded Module Support\n" : "6.  Embedded Module Support\n");
        wMask |= MenuOptionBit(fLinePower ? 7 : 6);
    }
    if (IsServiceLevel()) {
        if (fGetNvramOptionBit2() != TRUE) {
            ConsolePrintf("8.  ENABLE \"Line Power Mode\" to allow full operation without a battery\n");
            ConsolePrintf("--  (\"Line Power Mode\" - DISABLED, a battery IS required)\n");
            wMask |= MenuOptionBit(8);
        } else {
            ConsolePrintf("--  (\"Line Power Mode\" - ENABLED, a battery is NOT required)\n");
            ConsolePrintf("9.  DISABLE \"Line Power Mode\" to require a battery for full operation\n");
            wMask |= MenuOptionBit(9);
        }
        ConsolePrintf("10. Display Diagnostic Counters\n");
        wMask |= MenuOptionBit(10);
    }
    ConsolePrintf("11. APM Diagnostic\n");
    wMask |= MenuOptionBit(11);
    if (IsServiceLevel()) {
        ConsolePrintf("12. Command Trace Utility\n");
        wMask |= MenuOptionBit(12);
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

// Options 8 and 9: the stored setting takes effect at the next start.
void SetLinePowerSetting(uint8_t fEnable) {
    if (!IsServiceLevel() || (fGetNvramOptionBit2() == TRUE) == (fEnable == TRUE)) {
        ShowDiagnosticsMenu();
        return;
    }
    SetNvramOptionBit2(fEnable);
    ConsolePrintf(fEnable == TRUE
                      ? "\n\"Line Power Mode\" ENABLED - Reboot controller for this to take full effect.\n"
                      : "\n\"Line Power Mode\" DISABLED - Reboot controller for this to take full effect.\n");
    PauseThen(PATH_PAUSE_RESUME, DiagnosticsMenu);
}

void DiagnosticsOption6() {
    if (fIsLinePowerMode() == TRUE) {
        SetBackgroundHold(fIsBackgroundHold() == TRUE ? FALSE : TRUE);
        PauseThen(PATH_PAUSE_RESUME, DiagnosticsMenu);
    } else if (fGetEmbeddedModuleEnabled() == TRUE) {
        Menu().lMenuPath = PATH_EMBEDDED_MODULE_AT_6;
        EmbeddedModuleSupportMenu();
    } else {
        PauseThen(PATH_PAUSE_RESUME, DiagnosticsMenu);
    }
}

void DiagnosticsOption7() {
    if (fGetEmbeddedModuleEnabled() == TRUE) {
        Menu().lMenuPath = PATH_EMBEDDED_MODULE_AT_7;
        EmbeddedModuleSupportMenu();
    } else {
        PauseThen(PATH_OPTION_7, DiagnosticsMenu);
    }
}

// --- Offline Diagnostics Menu -----------------------------------------------

void ShowOfflineDiagnosticsMenu() {
    ClearScreen(FALSE);
    EnterMenu(OfflineDiagnosticsMenu, PATH_OFFLINE);
    PrintMenuTitle("Offline Diagnostics Menu");
    ConsolePrintf("1.  Drive Port Integrity Test\n");
    uint16_t wMask = 0x3;
    if (fIsIpcPeerEnabled() == TRUE && bGetDiagnosticsModeLevel() != 0) {
        ConsolePrintf("2.  Ethernet Loopback Test\n");
        wMask |= MenuOptionBit(2);
    }
    if (IsServiceLevel()) {
        ConsolePrintf("3.  Access Memory\n");
        wMask |= MenuOptionBit(3);
    }
    ConsolePrintf("4.  Disk IO Module Maintenance\n");
    ConsolePrintf("5.  Enclosure VSC Maintenance\n");
    ConsolePrintf("6.  AA Mux Maintenance\n");
    wMask |= MenuOptionBit(4) | MenuOptionBit(5) | MenuOptionBit(6);
    if (IsServiceLevel()) {
        ConsolePrintf("7.  Icache Parity Error Test\n");
        wMask |= MenuOptionBit(7);
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

void OpenEthernetLoopbackTest() {
    if (fIsEthernetInitialized() != TRUE || fIsEthernetLinkUp() != TRUE) {
        ConsolePrintf(fIsEthernetInitialized() != TRUE ? "\nEthernet Initialization in Progess\n\n"
                                                       : "\nEthernet Link Not Up\n\n");
        PauseThen(PATH_ETHERNET_CHECK, OfflineDiagnosticsMenu);
        return;
    }
    EthernetLoopbackTestMenu();
}

// The abort handling reports the fault and carries on, as it does for a
// real parity error in the instruction cache.
void EmulateIcacheParityError() {
    Menu().lMenuPath = PATH_ICACHE_TEST;
    ConsolePrintf("Emulating Icache Parity Error ");
    RaiseTestPrefetchAbort();
    ConsolePrintf("-- Success\n");
    WaitForAnyKeyThen(OfflineDiagnosticsMenu);
}

// --- Drive port integrity test ----------------------------------------------

void ShowDrivePortIntegrityTestMenu() {
    ClearScreen(FALSE);
    EnterMenu(DrivePortIntegrityTestMenu, PATH_PORT_TEST);
    SetMenuSelectedItem(FALSE);
    PrintMenuTitle("Drive Port Integrity Test Menu");
    ConsolePrintf("1.  Test SAS Ports\n");
    ConsolePrintf("2.  Setup Test Data Pattern\n");
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(0x7);
}

// The hidden phrases of the port test menu: each only confirms or refuses
// a setting the next run uses.
void AnswerPortTestPhrase(uint16_t wCode) {
    if (wCode == MENU_CODE_PHRASE) {
        // Random writes destroy data: only on drives that hold no array.
        const bool fAllowed = bGetRankCountForMenus() == 0;
        SetThroughputTestRandomDestructive(fAllowed ? TRUE : FALSE);
        ConsolePrintf(fAllowed ? "\nRandom Destructive Test Enabled!!!\n\n"
                               : "\nRandom Destructive Test Not Enabled, Clear Configuration to Enable\n\n");
    } else if (wCode == MENU_CODE_LINK_JITTER) {
        ConsolePrintf("\nLink Jitter Test Enabled!!!\n\n");
    } else {
        ConsolePrintf("\nInter Controller Test Enabled!!!\n\n");
    }
    PauseThen(PATH_PORT_TEST_HIDDEN, DrivePortIntegrityTestMenu);
}

uint64_t lKindMenuPath() { return bGetMenuSelectedItem() == TRUE ? PATH_KIND_FROM_TEST : PATH_KIND_OTHER; }

void DrivePortTestKindMenu();

void DrivePortTestDurationPrompt() {
    const uint64_t lPath = lKindMenuPath() * 16 + bGetMenuController();
    if (Menu().lMenuPath != lPath) {
        EnterMenu(DrivePortTestDurationPrompt, lPath);
        PrintMenuTitle("Drive Port Integrity Test Menu");
        ConsolePrintf("\nSelect Test Duration (minutes): ");
        AwaitTypedAnswer();
        return;
    }
    uint32_t dMinutes = 0;
    if (bParseMenuNumber(&dMinutes) != PARSE_VALUE || dMinutes == 0 || dMinutes > MAX_TEST_MINUTES) {
        ConsolePrintf("\nInvalid selection\n\n");
        WaitForAnyKeyThen(DrivePortIntegrityTestMenu);
        return;
    }
    Menu().lMenuPath = PATH_TEST_STARTED;
    StartDrivePortTest(PORT_TEST_CODE, TRUE, dMinutes, bGetMenuController());
}

void DrivePortTestKindMenu() {
    const uint64_t lPath = lKindMenuPath();
    if (Menu().lMenuPath != lPath) {
        ClearScreen(FALSE);
        EnterMenu(DrivePortTestKindMenu, lPath);
        PrintMenuTitle("Drive Port Integrity Test Menu");
        ConsolePrintf("1.  Read Test\n");
        ConsolePrintf("2.  Write Test\n");
        ConsolePrintf("3.  Write/Read Test\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0xF);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint8_t bKind = THROUGHPUT_KIND_READ; bKind <= THROUGHPUT_KIND_WRITE_READ; ++bKind) {
        if (wSelected == MenuOptionBit(bKind)) {
            SetMenuController(bKind);
            DrivePortTestDurationPrompt();
            return;
        }
    }
    DrivePortIntegrityTestMenu();
}

void DrivePortPatternPrompt() {
    if (Menu().lMenuPath != PATH_PATTERN_PROMPT) {
        EnterMenu(DrivePortPatternPrompt, PATH_PATTERN_PROMPT);
        PrintMenuTitle("Setup Drive Port Integrity Test Menu");
        ConsolePrintf("\nEnter Pattern (hex 8,16,32,64 or 128 bit): ");
        AwaitTypedAnswer();
        return;
    }
    uint8_t bDigits = 0;
    uint64_t lLow = 0, lHigh = 0;
    const uint8_t bParsed = bGetWwnInput(&bDigits, &lLow, &lHigh);
    if (bParsed != PARSE_VALUE || (bDigits != 2 && bDigits != 4 && bDigits != 8 && bDigits != 16 && bDigits != 32)) {
        ConsolePrintf("\nInvalid selection\n\n");
        WaitForAnyKeyThen(DrivePortIntegrityTestMenu);
        return;
    }
    uint64_t lFirst = lHigh, lSecond = lLow;
    if (bDigits <= 16) {
        // A narrower value repeats until it fills both halves.
        uint64_t lWide = lLow;
        for (uint32_t dBits = bDigits * 4u; dBits < 64; dBits *= 2) lWide |= lWide << dBits;
        lFirst = lSecond = lWide;
    }
    SetThroughputTestParameters(THROUGHPUT_PATTERN_USER, lFirst, lSecond);
    ConsolePrintf("\n\nData Pattern Set to: %08x%08x %08x%08x\n\n", static_cast<unsigned>(lFirst >> 32),
                  static_cast<unsigned>(lFirst), static_cast<unsigned>(lSecond >> 32), static_cast<unsigned>(lSecond));
    PauseThen(PATH_PATTERN_SET, DrivePortIntegrityTestMenu);
}

void DrivePortPatternMenu() {
    if (Menu().lMenuPath != PATH_PATTERN_MENU) {
        ClearScreen(FALSE);
        EnterMenu(DrivePortPatternMenu, PATH_PATTERN_MENU);
        PrintMenuTitle("Setup Port Integrity Test Menu");
        ConsolePrintf("1.  Alternating Data Pattern\n");
        ConsolePrintf("2.  Random Data Pattern\n");
        ConsolePrintf("3.  User Defined Data Pattern\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0xF);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MenuOptionBit(1)) {
        SetThroughputTestParameters(THROUGHPUT_PATTERN_ALTERNATING, 0, 0);
        PauseThen(PATH_KIND_FROM_TEST, DrivePortIntegrityTestMenu);
    } else if (wSelected == MenuOptionBit(2)) {
        SetThroughputTestParameters(THROUGHPUT_PATTERN_RANDOM, 0, 0);
        PauseThen(PATH_KIND_OTHER, DrivePortIntegrityTestMenu);
    } else if (wSelected == MenuOptionBit(3)) {
        DrivePortPatternPrompt();
    } else {
        DrivePortIntegrityTestMenu();
    }
}

// --- Memory Access Menu -----------------------------------------------------

bool IsMemorySize(uint8_t c) { return c == 'b' || c == 'w' || c == 'd' || c == 'l' || c == 'r'; }

void PromptMemoryCommand() {
    ConsolePrintf("\nEnter Command: ");
    AwaitTypedAnswer();
}

}  // namespace

void DiagnosticsMenu() {
    // The diagnostic dump owns the console until it has printed.
    if (fGetDebugDumpWork() == TRUE) return;
    if (Menu().lMenuPath != PATH_DIAGNOSTICS) {
        ShowDiagnosticsMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MENU_CODE_PHRASE) {
        Menu().lMenuPath = PATH_PHRASE;
        ConsolePrintf("\nAdvanced Diagnostics Mode %u Enabled\n\n", bGetDiagnosticsModeLevel());
        WaitForAnyKeyThen(DiagnosticsMenu);
        return;
    }
    switch (wSelected) {
    case 1u << 0: MainMenu(); break;
    case 1u << 1: OfflineDiagnosticsMenu(); break;
    case 1u << 2: OnlineDiagnosticsMenu(); break;
    case 1u << 3: ResetControllerMenu(); break;
    case 1u << 4: ShutdownControllerMenu(); break;
    case 1u << 5:
        Menu().lMenuPath = PATH_DIAGNOSTIC_DUMP;
        SetPrintOutputMode(DIAGNOSTIC_DUMP_MODE);
        break;
    case 1u << 6: DiagnosticsOption6(); break;
    case 1u << 7: DiagnosticsOption7(); break;
    case 1u << 8: SetLinePowerSetting(TRUE); break;
    case 1u << 9: SetLinePowerSetting(FALSE); break;
    case 1u << 10: DiagnosticCounterMenu(); break;
    case 1u << 11: ApmDiagnosticMenu(); break;
    case 1u << 12:
        if (IsServiceLevel()) {
            TargetCommandTraceMenu();
        } else {
            ShowDiagnosticsMenu();
        }
        break;
    // The slot command has done its work: the menu shows itself again.
    default: ShowDiagnosticsMenu(); break;
    }
}

void OfflineDiagnosticsMenu() {
    if (Menu().lMenuPath != PATH_OFFLINE) {
        ShowOfflineDiagnosticsMenu();
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: DrivePortIntegrityTestMenu(); break;
    case 1u << 2: OpenEthernetLoopbackTest(); break;
    case 1u << 3: MemoryAccessMenu(); break;
    case 1u << 4: DiskIoModuleMaintenanceMenu(); break;
    case 1u << 5: EnclosureVscMaintenanceMenu(); break;
    case 1u << 6: AaMuxMaintenanceMenu(); break;
    case 1u << 7: EmulateIcacheParityError(); break;
    default: DiagnosticsMenu(); break;
    }
}

void DrivePortIntegrityTestMenu() {
    if (Menu().lMenuPath != PATH_PORT_TEST) {
        ShowDrivePortIntegrityTestMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MENU_CODE_PHRASE || wSelected == MENU_CODE_PARTNER_TEST || wSelected == MENU_CODE_LINK_JITTER) {
        AnswerPortTestPhrase(wSelected);
    } else if (wSelected == MenuOptionBit(1)) {
        SetMenuSelection(0xFF);
        SetMenuSelectedItem(TRUE);
        DrivePortTestKindMenu();
    } else if (wSelected == MenuOptionBit(2)) {
        DrivePortPatternMenu();
    } else {
        OfflineDiagnosticsMenu();
    }
}

void MemoryAccessMenu() {
    MENU_STATE& s = Menu();
    if (s.lMenuPath != PATH_MEMORY_ACCESS) {
        ClearScreen(FALSE);
        EnterMenu(MemoryAccessMenu, PATH_MEMORY_ACCESS);
        PrintMenuTitle("Memory Access Menu");
        ConsolePrintf("Enter one of following commands to access memory\n");
        ConsolePrintf("by byte, word, double, long, or CPU register:\n");
        ConsolePrintf("  db, dw, dd, dl, dr <addr> [# locations (dec)] to display memory\n");
        ConsolePrintf("  mb, mw, md, ml, mr <addr> <data> to modify memory\n");
        ConsolePrintf("\nEnter 0 to exit\n\n");
        PromptMemoryCommand();
        return;
    }
    const uint8_t* pb = s.abLineBuffer;
    const uint8_t bLength = s.bLineLength;
    if (bLength > 0 && pb[0] == '0') {
        OfflineDiagnosticsMenu();
        return;
    }
    if (bLength >= 2 && (pb[0] == 'd' || pb[0] == 'm') && IsMemorySize(pb[1])) {
        s.lMenuPath = PATH_MEMORY_COMMAND;
        const char* pszRefusal = "\nInvalid Number of Arguments\n";
        if (bLength > 3 && pb[2] == ' ') {
            const uint8_t bResult = pb[0] == 'd' ? bDisplayMemoryCommand() : bModifyMemoryCommand();
            pszRefusal = bResult == 0xFF ? nullptr : "\nInvalid Arguments\n";
        }
        if (pszRefusal != nullptr) {
            ConsolePrintText(pszRefusal);
            WaitForAnyKeyThen(MemoryAccessMenu);
            return;
        }
    }
    // Carried out, or not a command: the prompt again, the menu not redrawn.
    s.lMenuPath = PATH_MEMORY_PROMPT;
    PromptMemoryCommand();
    s.lMenuPath = PATH_MEMORY_ACCESS;
}

}  // namespace fw
