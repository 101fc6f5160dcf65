// The menu framework of the VT100 console.  Every menu is one function,
// called again and again: a display phase when the path code differs from
// its own, a selection phase with each completed line when it equals it.
// One record carries everything between the calls.
#pragma once

#include <cstdint>

namespace fw {

using MENU_FUNCTION = void (*)();

constexpr uint32_t MENU_LINE_SIZE = 64;
constexpr uint32_t MENU_RAW_RING_SIZE = 64;

// Path codes: one hexadecimal digit per level, the Main Menu's 1 leading.
constexpr uint64_t MENU_PATH_NONE = 0;
constexpr uint64_t MENU_PATH_MAIN = 0x1;

// Selection codes the character handler stores for hidden input.  None is
// a single option bit, so no typed option number can produce one; menus
// compare them for equality.
constexpr uint16_t MENU_CODE_PHRASE = 0x0300;
constexpr uint16_t MENU_CODE_PARTNER_TEST = 0x0500;
constexpr uint16_t MENU_CODE_LINK_JITTER = 0x0600;
constexpr uint16_t MENU_CODE_SLOT_COMMAND = 0x0900;

struct MENU_STATE {
    uint8_t abLineBuffer[MENU_LINE_SIZE];      // the typed line, not terminated
    uint8_t bLineLength;
    uint8_t fLineOverflow;
    uint8_t abRawInputRing[MENU_RAW_RING_SIZE];
    uint8_t bRawIn;                            // the ring's positions follow it
    uint8_t bRawOut;
    uint8_t fRawInputMode;
    uint8_t fResetArmed;
    uint8_t fConsoleInputEnabled;
    uint8_t fMenuSessionActive;
    uint8_t fPartnerRequestPending;
    uint8_t fMenuCallPending;
    uint8_t fAnyKeyWait;
    uint8_t fOptionEntryMode;
    uint8_t bAdvancedConfigLevel;
    uint8_t bDiagnosticsLevel;
    uint16_t wValidOptionMask;
    uint16_t wSelectedOption;
    uint32_t dDiagnosticsLevelTick;
    uint32_t dAdvancedConfigLevelTick;
    uint64_t lResetArmTick;
    uint8_t fOutputPaused;
    uint8_t bMenuStep;
    MENU_FUNCTION pfnPreviousMenu;
    MENU_FUNCTION pfnCurrentMenu;
    uint64_t lMenuPath;
    MENU_FUNCTION pfnAnyKeyMenu;
};

// The one record (one console per controller).
MENU_STATE* psGetMenuState();

// The menu contract.
void PromptSelectOption();
void SetValidOptionMask(uint16_t wMask);
uint16_t wGetSelectedOption();
void SetOptionEntryMode(uint8_t f);
void WaitForAnyKey();
void SetAnyKeyWait();
// Display phase bookkeeping: the previous and current menu, the path code
// and the dialogue step back to 0.
void EnterMenu(MENU_FUNCTION pfnMenu, uint64_t lPath);
// The selection phase ends in a result: the any-key menu, then the pause.
void WaitForAnyKeyThen(MENU_FUNCTION pfnMenu);
// An option screen's end: the prompt, the mask, option entry on.
void EndOptionScreen(uint16_t wMask);
// The valid-option bit and the selection code of option n.
inline uint16_t MenuOptionBit(uint32_t dOption) { return static_cast<uint16_t>(1u << dOption); }
// A paged information dump a menu asks for: the menu waits under its own
// path code while the background pass prints, and a key after the last
// page returns to pfnReturn.
void StartMenuDump(uint64_t lPath, MENU_FUNCTION pfnReturn, uint8_t bType, uint8_t bMode = 0);
// TRUE while a page a menu started is still printing, before its pause.
uint8_t fIsMenuPagePrinting();
// A typed answer is awaited: flush, option entry off.
void AwaitTypedAnswer();

void SetMenuSessionActive(uint8_t f);
uint8_t fIsMenuSessionActive();
void SetPartnerRequestPending(uint8_t f);
uint8_t fIsPartnerRequestPending();
void SetConsoleInputEnabled(uint8_t f);
uint8_t fIsConsoleInputEnabled();
// Timed service levels: 0 once 57600 coarse ticks have passed since set.
void SetAdvancedConfigModeLevel(uint8_t bLevel);
uint8_t bGetAdvancedConfigModeLevel();
void SetDiagnosticsModeLevel(uint8_t bLevel);
uint8_t bGetDiagnosticsModeLevel();
void SetRawInputMode(uint8_t f);
uint8_t fIsRawInputMode();
uint8_t* pGetRawInputRing();
// Ctrl-S sets it, Ctrl-Q and Ctrl-E clear it; the console output reads it.
uint8_t SetOutputPaused(uint8_t f);
uint8_t fIsOutputPaused();
uint8_t* pGetMenuLineBuffer();
uint8_t bGetMenuLineLength();

// Ctrl-E: a new start of the menus (the caller then shows the Main Menu).
void ResetMenuSession();
// A completed line, or the key that ends a pause, goes to its menu: from
// the main loop once initialisation is complete (the receive path only
// marks the call pending), at once while initialisation runs.
void CallMenuFromInput();
// The background pass's call of a menu the receive path deferred.
void RunPendingMenuCall();
// Another interface took the configuration: the console edit ends.
void AbortMenuByRemoteConfiguration();
// How the console's open edit stands against the configuration index.
enum class ConsoleEdit : uint8_t {
    Current,    // no edit open, or nothing changed since it opened
    Retake,     // only the live image changed, and the edit changed nothing:
                // it takes its copy again (RetakeScratchCopy) and goes on
    Lost,       // another editor took the configuration, or the partner the
                // write token, or the operator's changes lie on an older copy
};
ConsoleEdit eConsoleEditStanding();
// A paged information dump a menu asked for has ended: its menu comes
// back after a key.
void ReturnToMenuAfterDump();
// Start-of-day values of the menu state and the option settings.
void ResetConsoleStartFlags();

// VT100 output.
void ClearScreen(uint8_t f);
void PrintMenuTitle(const char* pszTitle);
void CursorUp(uint8_t bLines);
void CursorDown(uint8_t bLines);
void EraseLine();
void SetTextAttributes(uint8_t bForeground, uint8_t bBackground, uint8_t bAttribute);
void PrintWwn(const uint8_t* pbWwn);
void PrintNumberWithSeparators(uint64_t lValue, uint8_t fSeparators);
void PrintCapacity(uint64_t lBlocks);

}  // namespace fw
