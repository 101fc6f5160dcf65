#include "console/menu_screens.h"

#include "config/config_flags.h"
#include "config/config_image.h"
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

void PromptArrayNumber(const char* pszAction) {
    const uint32_t dArrays = pGetScratchConfigImage()->sHeader.wRankCount;
    if (dArrays > 1) {
        ConsolePrintf("\nEnter the number of the array to %s (0..%d): ", pszAction, dArrays - 1);
    } else {
        ConsolePrintf("\nEnter the number of the array to %s (0): ", pszAction);
    }
    AwaitTypedAnswer();
}

bool fTypedArray(uint8_t* pbArray) {
    uint32_t d = 0;
    if (bParseMenuNumber(&d) != PARSE_VALUE || d >= pGetScratchConfigImage()->sHeader.wRankCount) return false;
    *pbArray = static_cast<uint8_t>(d);
    return true;
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
        if (s.pszWarning != nullptr) ConsolePrintText(s.pszWarning);
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
