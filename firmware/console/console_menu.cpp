// The menu framework of the VT100 console.
#include "console/console_menu.h"

#include <cstring>

#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/nvram_records.h"
#include "console/console_keys.h"
#include "console/debug_monitor.h"
#include "console/drive_command_phase.h"
#include "console/menu_tree.h"
#include "console/option_settings.h"
#include "console/throughput_test.h"
#include "eventlog/info_dump.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "platform/embedded_module.h"

namespace fw {

namespace {

constexpr char ESC = 0x1B;
// The service levels lapse after eight hours of coarse (500 ms) ticks.
constexpr uint32_t LEVEL_LIFETIME_TICKS = 57600;
constexpr uint32_t MENU_TITLE_CHARACTERS = 16;
constexpr uint32_t CONSOLE_MODE_RAW = 0;
constexpr uint32_t CONSOLE_MODE_MENU = 1;

MENU_STATE s_sMenu;
// The menu path of the last page a menu started (MENU_PATH_NONE: none).
uint64_t s_lPagePath = MENU_PATH_NONE;

uint8_t bLevelNow(uint8_t* pbLevel, uint32_t dSetTick) {
    if (dGetCoarseTick() - dSetTick > LEVEL_LIFETIME_TICKS) *pbLevel = 0;
    return *pbLevel;
}

// The path digits below the leading 1, outermost first: "2-1-1" for 0x1211.
void PrintPathDigits(uint64_t lPath) {
    int iLeading = 15;
    while (iLeading > 0 && ((lPath >> (4 * iLeading)) & 1) == 0) --iLeading;
    for (int i = iLeading - 1; i >= 0; --i) {
        ConsolePrintf(i == iLeading - 1 ? "%u" : "-%u", static_cast<uint32_t>((lPath >> (4 * i)) & 0xF));
    }
}

}  // namespace

MENU_STATE* psGetMenuState() { return &s_sMenu; }

// --- the menu contract -------------------------------------------------------

void PromptSelectOption() {
    // Blank whatever was typed on the line, then ask again.
    ConsolePrintf("\r                                                        \r");
    ConsolePrintf("Please Select Option: ");
    FlushConsole(0);
}

void SetValidOptionMask(uint16_t wMask) { s_sMenu.wValidOptionMask = wMask; }
uint16_t wGetSelectedOption() { return s_sMenu.wSelectedOption; }
void SetOptionEntryMode(uint8_t f) { s_sMenu.fOptionEntryMode = f; }

void WaitForAnyKey() {
    ConsolePrintf("Press any key to continue...\n");
    s_sMenu.fAnyKeyWait = TRUE;
}

void SetAnyKeyWait() { s_sMenu.fAnyKeyWait = TRUE; }

void EnterMenu(MENU_FUNCTION pfnMenu, uint64_t lPath) {
    s_sMenu.pfnPreviousMenu = s_sMenu.pfnCurrentMenu;
    s_sMenu.pfnCurrentMenu = pfnMenu;
    s_sMenu.lMenuPath = lPath;
    s_sMenu.bMenuStep = 0;
}

void WaitForAnyKeyThen(MENU_FUNCTION pfnMenu) {
    s_sMenu.pfnAnyKeyMenu = pfnMenu;
    WaitForAnyKey();
}

void EndOptionScreen(uint16_t wMask) {
    PromptSelectOption();
    SetValidOptionMask(wMask);
    SetOptionEntryMode(TRUE);
}

void StartMenuDump(uint64_t lPath, MENU_FUNCTION pfnReturn, uint8_t bType, uint8_t bMode) {
    s_sMenu.lMenuPath = lPath;
    s_lPagePath = lPath;
    s_sMenu.pfnAnyKeyMenu = pfnReturn;
    SetInfoDumpRequest(TRUE);
    SetInfoDumpState(0);
    SetInfoDumpMode(bMode);
    // The type last: it starts the dump.
    SetInfoDumpType(bType);
}

uint8_t fIsMenuPagePrinting() {
    return ToFlag(fGetInfoDumpRequest() == TRUE && s_sMenu.fAnyKeyWait != TRUE && s_lPagePath != MENU_PATH_NONE &&
                  s_sMenu.lMenuPath == s_lPagePath);
}

void AwaitTypedAnswer() {
    FlushConsole(0);
    SetOptionEntryMode(FALSE);
}

// --- flags -------------------------------------------------------------------

void SetMenuSessionActive(uint8_t f) { s_sMenu.fMenuSessionActive = f; }
uint8_t fIsMenuSessionActive() { return s_sMenu.fMenuSessionActive; }
void SetPartnerRequestPending(uint8_t f) { s_sMenu.fPartnerRequestPending = f; }
uint8_t fIsPartnerRequestPending() { return s_sMenu.fPartnerRequestPending; }
void SetConsoleInputEnabled(uint8_t f) { s_sMenu.fConsoleInputEnabled = f; }
uint8_t fIsConsoleInputEnabled() { return s_sMenu.fConsoleInputEnabled; }

void SetAdvancedConfigModeLevel(uint8_t bLevel) {
    s_sMenu.bAdvancedConfigLevel = bLevel;
    s_sMenu.dAdvancedConfigLevelTick = dGetCoarseTick();
}

uint8_t bGetAdvancedConfigModeLevel() {
    return bLevelNow(&s_sMenu.bAdvancedConfigLevel, s_sMenu.dAdvancedConfigLevelTick);
}

void SetDiagnosticsModeLevel(uint8_t bLevel) {
    s_sMenu.bDiagnosticsLevel = bLevel;
    s_sMenu.dDiagnosticsLevelTick = dGetCoarseTick();
}

uint8_t bGetDiagnosticsModeLevel() {
    return bLevelNow(&s_sMenu.bDiagnosticsLevel, s_sMenu.dDiagnosticsLevelTick);
}

void SetRawInputMode(uint8_t f) {
    if (f == TRUE) {
        s_sMenu.bRawIn = 0;
        s_sMenu.bRawOut = 0;
        s_sMenu.fRawInputMode = TRUE;
        SetEmbeddedConsoleMode(CONSOLE_MODE_RAW);
    } else {
        s_sMenu.fRawInputMode = FALSE;
        SetEmbeddedConsoleMode(CONSOLE_MODE_MENU);
    }
}

uint8_t fIsRawInputMode() { return s_sMenu.fRawInputMode; }
uint8_t* pGetRawInputRing() { return s_sMenu.abRawInputRing; }

uint8_t SetOutputPaused(uint8_t f) {
    s_sMenu.fOutputPaused = f;
    return f;
}

uint8_t fIsOutputPaused() { return s_sMenu.fOutputPaused; }
uint8_t* pGetMenuLineBuffer() { return s_sMenu.abLineBuffer; }
uint8_t bGetMenuLineLength() { return s_sMenu.bLineLength; }

// --- lifecycle ---------------------------------------------------------------

void ResetMenuSession() {
    MENU_STATE& s = s_sMenu;
    s.lMenuPath = MENU_PATH_NONE;
    s.bMenuStep = 0;
    SetDebugMonitorActive(FALSE);
    std::memset(s.abLineBuffer, 0, sizeof s.abLineBuffer);
    s.bLineLength = 0;
    s.fLineOverflow = FALSE;
    s.pfnCurrentMenu = fIsProductionTestMode() == TRUE ? ProductionTestMenu : MainMenu;
    s.pfnAnyKeyMenu = s.pfnCurrentMenu;
    s.wSelectedOption = 0;
    s.wValidOptionMask = 0;
    s.fOutputPaused = FALSE;
    s.fOptionEntryMode = FALSE;
    s.fAnyKeyWait = FALSE;
    s.fResetArmed = FALSE;
    s.fMenuCallPending = FALSE;
    DropTypedAheadKeys();
    SetRawInputMode(FALSE);
    SetConsoleInputEnabled(TRUE);
    SetPartnerRequestPending(FALSE);
    // An edit left open: its unsaved drive-table changes go with it.
    if (s.fMenuSessionActive == TRUE && fGetConfigModified() == TRUE) {
        RestoreDriveSlotTables();
        SetConfigModified(FALSE);
    }
    SetHostCommandHold(FALSE);
    SetMenuSessionActive(FALSE);
}

void CallMenuFromInput() {
    if (fIsInitializationComplete() == TRUE) {
        // The receive path runs in the fast interrupt: menus run in the main
        // loop, and keys typed meanwhile wait for the call to have run.
        s_sMenu.fMenuCallPending = TRUE;
        SetConsoleMenuWork(TRUE);
        SetWorkPending(TRUE);
    } else {
        RunPendingMenuCall();
    }
}

ConsoleEdit eConsoleEditStanding() {
    const MENU_STATE& s = s_sMenu;
    const bool fOpen = s.fMenuSessionActive == TRUE && s.lMenuPath != MENU_PATH_MAIN;
    if (!fOpen || fConfigIndexMatches(REQUESTER_CONSOLE) == TRUE) return ConsoleEdit::Current;
    const bool fTaken = fConfigTakenSince(REQUESTER_CONSOLE) == TRUE;
    return fTaken || fGetConfigModified() == TRUE ? ConsoleEdit::Lost : ConsoleEdit::Retake;
}

void RunPendingMenuCall() {
    MENU_STATE& s = s_sMenu;
    // A job that ended or a drive that failed changed the live image while
    // the operator looked on: the menu works on a fresh copy.  Here in the
    // main loop, never in the receive path, which may run in the middle of
    // a change.
    if (eConsoleEditStanding() == ConsoleEdit::Retake) RetakeScratchCopy(REQUESTER_CONSOLE);
    if (s.fAnyKeyWait == TRUE) {
        // A character typed after an abort armed the pause must not
        // become the start of the next line.
        s.fAnyKeyWait = FALSE;
        s.bLineLength = 0;
        if (s.pfnAnyKeyMenu != nullptr) s.pfnAnyKeyMenu();
    } else {
        if (s.pfnCurrentMenu != nullptr) s.pfnCurrentMenu();
        s.bLineLength = 0;
    }
    s.fMenuCallPending = FALSE;
    SetConsoleMenuWork(FALSE);
    HandOnTypedAheadKeys();
}

void AbortMenuByRemoteConfiguration() {
    ClearScreen(TRUE);
    ConsolePrintf("\n\nVT100 Configuration Aborted by Remote Configuration\n\n");
    SetMenuSessionActive(FALSE);
    s_sMenu.bMenuStep = 0;
    s_sMenu.pfnAnyKeyMenu = MainMenu;
    s_sMenu.lMenuPath = MENU_PATH_NONE;
    s_sMenu.pfnCurrentMenu = MainMenu;
    WaitForAnyKey();
}

void ReturnToMenuAfterDump() { WaitForAnyKey(); }

void ResetConsoleStartFlags() {
    std::memset(&s_sMenu, 0, sizeof s_sMenu);
    s_sMenu.fConsoleInputEnabled = FALSE;
    s_sMenu.fMenuSessionActive = FALSE;
    s_sMenu.fRawInputMode = FALSE;
    s_sMenu.fOutputPaused = FALSE;
    DropTypedAheadKeys();
    ResetOptionSettings();
    ResetThroughputTestSettings();
    ClearDriveCommandFlags();
}

// --- VT100 output ------------------------------------------------------------

void ClearScreen(uint8_t f) {
    if (f != TRUE) return;
    ConsolePrintf("%c[2J", ESC);
    FlushConsole(0);
}

void PrintMenuTitle(const char* pszTitle) {
    const bool fMain = s_sMenu.lMenuPath == MENU_PATH_MAIN;
    ConsolePrintf("\n\n");
    if (fMain) {
        uint8_t abTitle[MENU_TITLE_CHARACTERS];
        GetNvramShortName(abTitle);
        for (uint32_t i = 0; i < MENU_TITLE_CHARACTERS && abTitle[i] != 0; ++i) ConsolePrintf("%c", abTitle[i]);
        ConsolePrintf(" ");
    }
    ConsolePrintText(pszTitle);
    if (fIsProductionTestMode() == TRUE) {
        ConsolePrintf("\n\n");
        return;
    }
    const char* pszController = fIsControllerSlot1() == TRUE ? "0" : "1";
    if (fMain) {
        ConsolePrintf(" (C%s)\n\n", pszController);
        return;
    }
    ConsolePrintf(" (");
    PrintPathDigits(s_sMenu.lMenuPath);
    ConsolePrintf(") (C%s)\n\n", pszController);
}

void CursorUp(uint8_t bLines) { ConsolePrintf("%c[%dA", ESC, bLines); }
void CursorDown(uint8_t bLines) { ConsolePrintf("%c[%dB", ESC, bLines); }

void EraseLine() {
    ConsolePrintf("%c[2K", ESC);
    FlushConsole(0);
}

void SetTextAttributes(uint8_t bForeground, uint8_t bBackground, uint8_t bAttribute) {
    ConsolePrintf("%c[%dm", ESC, bAttribute);
    ConsolePrintf("%c[%dm", ESC, bForeground + 30);
    ConsolePrintf("%c[%dm", ESC, bBackground + 40);
    FlushConsole(0);
}

void PrintWwn(const uint8_t* pbWwn) {
    for (uint32_t i = 0; i < 8; ++i) ConsolePrintf("%02x", pbWwn[i]);
}

void PrintNumberWithSeparators(uint64_t lValue, uint8_t fSeparators) {
    char acDigits[64];
    uint32_t dStart = sizeof acDigits;
    uint32_t dDigits = 0;
    do {
        if (fSeparators == TRUE && dDigits > 0 && dDigits % 3 == 0) acDigits[--dStart] = ',';
        acDigits[--dStart] = static_cast<char>('0' + lValue % 10);
        lValue /= 10;
        ++dDigits;
    } while (lValue != 0);
    for (uint32_t i = dStart; i < sizeof acDigits; ++i) ConsolePrintf("%c", acDigits[i]);
}

void PrintCapacity(uint64_t lBlocks) {
    // 1954 blocks make one decimal megabyte.
    static const char* const apszUnit[] = {" MB", " GB", " TB", " PB", " EB", " ZB", " YB"};
    if (lBlocks == 0) {
        ConsolePrintf("0 MB");
        return;
    }
    uint64_t lValue = lBlocks / 1954;
    if (lValue == 0) {
        ConsolePrintf("< 1 MB");
        return;
    }
    uint32_t dUnit = 0;
    while (dUnit < 6 && lValue > 10000) {
        lValue /= 1000;
        ++dUnit;
    }
    PrintNumberWithSeparators(lValue, TRUE);
    ConsolePrintText(apszUnit[dUnit]);
}

}  // namespace fw
