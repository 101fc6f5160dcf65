#include "console/menu_screens.h"

#include "config/config_flags.h"
#include "config/config_state.h"
#include "console/menu_input.h"
#include "executive/console_output.h"
#include "executive/types.h"

namespace fw {

void BeginScreen(MENU_FUNCTION pfnMenu, uint64_t lPath, const char* pszTitle) {
    ClearScreen(FALSE);
    EnterMenu(pfnMenu, lPath);
    PrintMenuTitle(pszTitle);
}

void ShowResult(const char* pszText, MENU_FUNCTION pfnNext) {
    ConsolePrintText(pszText);
    WaitForAnyKeyThen(pfnNext);
}

// The count line stands six lines above the answer: title gap, header
// lines and the row between them.
void BeginCountLineRewrite() {
    CursorUp(6);
    ConsolePrintf("\r");
}

void EndCountLineRewrite() {
    CursorDown(4);
    EraseAnswerLine();
}

void EraseAnswerLine() {
    ConsolePrintf("\r");
    EraseLine();
}

void EraseContinueQuestion() {
    EraseAnswerLine();
    CursorUp(1);
    EraseAnswerLine();
    ConsolePrintf("\r");
}

bool fTypedLetter(char cUpper) {
    const uint8_t* pb = pGetMenuLineBuffer();
    return bGetMenuLineLength() == 1 && (pb[0] == cUpper || pb[0] == cUpper + ('a' - 'A'));
}

void RunToggleScreen(MENU_FUNCTION pfnSelf, const TOGGLE_SCREEN& s, uint8_t* pfSetting) {
    if (psGetMenuState()->lMenuPath != s.lPath) {
        BeginScreen(pfnSelf, s.lPath, s.pszTitle);
        ConsolePrintText(*pfSetting == TRUE ? s.pszIsOn : s.pszIsOff);
        ConsolePrintText(s.pszQuestion);
        AwaitTypedAnswer();
        return;
    }
    const uint8_t bAnswer = bParseYesNo();
    const char* pszResult = "\nNo Change\n\n";
    if ((bAnswer == TRUE || bAnswer == FALSE) && (*pfSetting == TRUE) != (bAnswer == TRUE)) {
        *pfSetting = bAnswer;
        SetConfigModified(TRUE);
        pszResult = bAnswer == TRUE ? s.pszTurnedOn : s.pszTurnedOff;
    }
    ShowResult(pszResult, s.pfnAfter);
}

}  // namespace fw
