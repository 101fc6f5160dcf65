// Pieces the configuration menus share: a screen's start, a result that
// waits for a key, and the on/off screens answered Y or N.
#pragma once

#include <cstdint>

#include "console/console_menu.h"

namespace fw {

// Clear, enter the menu under its path code, the title.
void BeginScreen(MENU_FUNCTION pfnMenu, uint64_t lPath, const char* pszTitle);
// The result's text, then any key leads to pfnNext.
void ShowResult(const char* pszText, MENU_FUNCTION pfnNext);
// TRUE when the typed line is the one letter, either case.
bool fTypedLetter(char cUpper);

// The array-number question, "(0..n)" with several arrays of the scratch
// image and "(0)" with one, then the typed answer.
void PromptArrayNumber(const char* pszAction);
// TRUE with the number when the typed line names an array of the scratch
// image.
bool fTypedArray(uint8_t* pbArray);

// The drive selection dialogues.  A drive taken: the count line above the
// list is rewritten in place (the caller prints it between the two calls).
// Not taken: the answer's line is erased.  Going on: the continue question
// and the answer's line are erased before the next drive's row.
void BeginCountLineRewrite();
void EndCountLineRewrite();
void EraseAnswerLine();
void EraseContinueQuestion();

// A setting turned on or off by Y or N; any other answer changes nothing.
struct TOGGLE_SCREEN {
    const char* pszTitle;
    uint64_t lPath;
    const char* pszIsOn;
    const char* pszIsOff;
    const char* pszQuestion;
    const char* pszTurnedOn;
    const char* pszTurnedOff;
    MENU_FUNCTION pfnAfter;
    // Printed before the question when set: what the answer will cost.
    const char* pszWarning = nullptr;
};
// Display or selection of the screen, by the path code.  The setting is on
// when it holds TRUE; a change marks the scratch image edited.
void RunToggleScreen(MENU_FUNCTION pfnSelf, const TOGGLE_SCREEN& s, uint8_t* pfSetting);

}  // namespace fw
