// The Target Queue Management Configuration Menu and its dialogue: the
// queue-full response, then the limits in a fixed order, each stored in the
// scratch image's settings block as soon as it is answered.
#include <cstring>

#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/default_config.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_tree.h"
#include "executive/console_output.h"
#include "executive/types.h"

namespace fw {

namespace {

constexpr uint64_t PATH_TQM = 0x1137;
constexpr uint64_t PATH_TQM_RESPONSE = 0x11371;
// The dialogue: an even code prints its question, the odd one after it
// awaits the answer.
constexpr uint64_t PATH_TQM_FIRST_QUESTION = 0x113710;
constexpr uint64_t PATH_TQM_LAST_QUESTION_DONE = 0x11371C;
constexpr uint64_t PATH_TQM_DONE = 0x11371F;

constexpr uint8_t TQM_OFF = 0xF0;
constexpr uint8_t TQM_BUSY = 0xF1;
constexpr uint8_t TQM_AUTOMATIC = 0xF3;
// Below this level only the response time is asked.
constexpr uint8_t TQM_ALL_QUESTIONS_LEVEL = 4;

constexpr uint8_t DEFAULT_RESPONSE_TIME = 4;
constexpr uint16_t DEFAULT_NO_ACCEPT_TIME = 800;
constexpr uint32_t DEFAULT_STATUS_DELAY = 200;

MENU_STATE& Menu() { return *psGetMenuState(); }
TQM_SETTINGS& Tqm() { return pGetScratchConfigImage()->sTqmSettings; }

bool fTqmOn() { return Tqm().bResponseType >= TQM_BUSY && Tqm().bResponseType <= TQM_AUTOMATIC; }

enum class TqmField : uint8_t { ResponseTime, NoAcceptTime, MaxReject, MinLinks, MaxLinks, StatusDelay };

struct TQM_QUESTION {
    const char* pszFirstLine;   // nullptr: the question is one line
    const char* pszPrompt;      // takes the limit, then the default
    uint32_t dLimit;
    uint32_t dDefault;
    uint32_t dLowest;           // a smaller number is out of range
    TqmField eField;
};

// In the order they are asked.  A response time of 0 would halve every
// array's queue limit at each adjustment, so it is refused; elsewhere 0 is
// a setting (off, or no rejections).
const TQM_QUESTION TQM_QUESTIONS[] = {
    {"\nEnter maximum response time in seconds before invoking queue full\n",
     "management, 1--%d (<CR> to select %d (default)): ", 99, DEFAULT_RESPONSE_TIME, 1, TqmField::ResponseTime},
    {"\nMaximum time in milliseconds requests to a logical drive from a host may be\n",
     "rejected before accepting another request, 1--%d (<CR> to select %d (default)): ", 65535,
     DEFAULT_NO_ACCEPT_TIME, 0, TqmField::NoAcceptTime},
    {"\nMaximum number of requests to a logical drive from a host that may be\n",
     "rejected before accepting another request, 1--%d (<CR> to select %d (default)): ", 65535, 0, 0,
     TqmField::MaxReject},
    {nullptr, "\nMinimum number of active links per host, 1--%d (<CR> to disable): ", 512, 0, 0, TqmField::MinLinks},
    {nullptr, "\nMaximum number of overall active links, 1--%d (<CR> to disable): ", 65535, 0, 0, TqmField::MaxLinks},
    {"\nEnter maximum time to delay status response in msecs\n",
     "currently , %d msec (<CR> to select %d msec (default)): ", 65535, DEFAULT_STATUS_DELAY, 0,
     TqmField::StatusDelay},
};

void StoreTqmField(TqmField eField, uint32_t dValue) {
    TQM_SETTINGS& s = Tqm();
    switch (eField) {
    case TqmField::ResponseTime: s.bResponseTime = static_cast<uint8_t>(dValue); break;
    case TqmField::NoAcceptTime: s.wNoAcceptTime = static_cast<uint16_t>(dValue); break;
    case TqmField::MaxReject: s.wMaxReject = static_cast<uint16_t>(dValue); break;
    case TqmField::MinLinks: s.wMinLinksPerHost = static_cast<uint16_t>(dValue); break;
    case TqmField::MaxLinks: s.wMaxLinks = static_cast<uint16_t>(dValue); break;
    case TqmField::StatusDelay: s.dStatusDelay = dValue; break;
    }
}

const TQM_QUESTION& CurrentQuestion() {
    return TQM_QUESTIONS[(Menu().lMenuPath - PATH_TQM_FIRST_QUESTION) / 2];
}

void AskTqmQuestion() {
    const TQM_QUESTION& q = CurrentQuestion();
    if (q.pszFirstLine != nullptr) ConsolePrintText(q.pszFirstLine);
    // The status delay's prompt shows the stored value before its default.
    if (q.eField == TqmField::StatusDelay) {
        ConsolePrintf(q.pszPrompt, Tqm().dStatusDelay, q.dDefault);
    } else {
        ConsolePrintf(q.pszPrompt, q.dLimit, q.dDefault);
    }
    ++Menu().lMenuPath;
    AwaitTypedAnswer();
}

void FinishTqmDialogue() {
    SetWriteBackCheckEnable(TRUE);
    SetConfigModified(TRUE);
    ConsolePrintf("\nTarget Queue Management Enabled\n");
    WaitForAnyKeyThen(AdditionalHostConfigurationMenu);
}

// The answer to the question whose odd code is the path: stored, or the
// same question again.  Only a number or an empty line is an answer.
void TakeTqmAnswer() {
    const TQM_QUESTION& q = CurrentQuestion();
    uint32_t dValue = 0;
    const uint8_t bResult = bParseMenuNumber(&dValue);
    const bool fNumber = bResult == PARSE_VALUE && dValue >= q.dLowest && dValue <= q.dLimit;
    if (bResult != PARSE_EMPTY && !fNumber) {
        ConsolePrintf("Invalid Selection");
        --Menu().lMenuPath;
        ConsolePrintf("\n\n");
        AskTqmQuestion();
        return;
    }
    StoreTqmField(q.eField, bResult == PARSE_EMPTY ? q.dDefault : dValue);
    ++Menu().lMenuPath;
    ConsolePrintf("\n\n");
    const bool fAllQuestions = bGetAdvancedConfigModeLevel() >= TQM_ALL_QUESTIONS_LEVEL;
    if (Menu().lMenuPath == PATH_TQM_LAST_QUESTION_DONE || !fAllQuestions) {
        Menu().lMenuPath = PATH_TQM_DONE;
        FinishTqmDialogue();
        return;
    }
    AskTqmQuestion();
}

void ShowTargetQueueManagementMenu() {
    ClearScreen(FALSE);
    EnterMenu(TargetQueueManagementMenu, PATH_TQM);
    PrintMenuTitle("Target Queue Management Configuration Menu");
    uint16_t wMask = 0x3;
    if (fTqmOn()) {
        ConsolePrintf("1.  Disable Target Queue Management\n");
        ConsolePrintf("2.  Modify Target Queue Management\n");
        wMask = 0x7;
    } else {
        ConsolePrintf("1.  Enabled Target Queue Management\n");
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

void ShowTqmResponseTypeMenu() {
    ClearScreen(FALSE);
    EnterMenu(TqmResponseTypeMenu, PATH_TQM_RESPONSE);
    PrintMenuTitle("Target Queue Management Configuration Menu");
    ConsolePrintf("During a queue full situation, respond with:\n\n");
    ConsolePrintf("1.  SCSI Status BUSY\n");
    ConsolePrintf("2.  SCSI Status TASK SET FULL\n");
    ConsolePrintf("3.  Automatically Determine Best Response\n");
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(0xF);
}

}  // namespace

void TargetQueueManagementMenu() {
    if (Menu().lMenuPath != PATH_TQM) {
        ShowTargetQueueManagementMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MenuOptionBit(1) && fTqmOn()) {
        Tqm().bResponseType = TQM_OFF;
        SetConfigModified(TRUE);
        ConsolePrintf("Target Queue Management Disabled\n\n");
        WaitForAnyKeyThen(AdditionalHostConfigurationMenu);
    } else if (wSelected == MenuOptionBit(1) || wSelected == MenuOptionBit(2)) {
        TqmResponseTypeMenu();
    } else {
        AdditionalHostConfigurationMenu();
    }
}

void TqmResponseTypeMenu() {
    const uint64_t lPath = Menu().lMenuPath;
    if (lPath > PATH_TQM_FIRST_QUESTION && lPath < PATH_TQM_DONE && (lPath & 1) != 0) {
        TakeTqmAnswer();
        return;
    }
    if (lPath != PATH_TQM_RESPONSE) {
        ShowTqmResponseTypeMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    uint8_t bType = 0;
    for (uint8_t i = 1; i <= 3; ++i)
        if (wSelected == MenuOptionBit(i)) bType = static_cast<uint8_t>(TQM_BUSY + i - 1);
    if (bType == 0) {
        TargetQueueManagementMenu();
        return;
    }
    // Choosing a response starts from a new image's limits, whatever was
    // set before; the reserved bytes stay as they are.
    TQM_SETTINGS& s = Tqm();
    uint8_t abReserved[sizeof s.abReserved];
    std::memcpy(abReserved, s.abReserved, sizeof abReserved);
    SetDefaultTqmSettings(&s);
    std::memcpy(s.abReserved, abReserved, sizeof abReserved);
    s.bResponseType = bType;
    SetWriteBackCheckEnable(TRUE);
    SetConfigModified(TRUE);
    Menu().lMenuPath = PATH_TQM_FIRST_QUESTION;
    SetOptionEntryMode(FALSE);
    AskTqmQuestion();
}

}  // namespace fw
