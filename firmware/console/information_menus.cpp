// The information menus: controller information, statistics and the event
// log of either controller.  A page of this controller is printed by the
// paged information dump at once; a page of the partner is first read over
// the partner link into data pages, and its answer starts the same dump.
// While a page prints or an answer is due the menus take no key.
#include "console/information_menus.h"

#include "config/config_image.h"
#include "config/config_state.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_tree.h"
#include "eventlog/event_image.h"
#include "eventlog/event_log.h"
#include "eventlog/info_dump.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "partner/partner_link.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

constexpr uint64_t PATH_INFORMATION = 0x13;
constexpr uint64_t PATH_INFORMATION_PAGE = 0x131;
constexpr uint64_t PATH_INFORMATION_PARTNER = 0x132;
constexpr uint64_t PATH_STATISTICS = 0x14;
constexpr uint64_t PATH_CONTROLLER_STATISTICS_0 = 0x141;
constexpr uint64_t PATH_CONTROLLER_STATISTICS_1 = 0x142;
constexpr uint64_t PATH_STATISTICS_PAGE = 0x1411;
constexpr uint64_t PATH_STATISTICS_PARTNER = 0x1412;
constexpr uint64_t PATH_AFTER_STATISTICS_PAGE = 0x30F;
constexpr uint64_t PATH_LD_VIEW_0 = 0x1417;
constexpr uint64_t PATH_LD_VIEW_1 = 0x1427;
constexpr uint64_t PATH_LD_VIEW_PROMPT = 0x1879;
constexpr uint64_t PATH_LD_VIEW_REQUESTED = 0x14172;
constexpr uint64_t PATH_LD_CLEAR_0 = 0x1418;
constexpr uint64_t PATH_LD_CLEAR_1 = 0x1428;
constexpr uint64_t PATH_LD_CLEAR_PROMPT = 0x14181;
constexpr uint64_t PATH_LD_CLEARED = 0x14182;
constexpr uint64_t PATH_LD_CLEAR_ASKED = 0x14183;
constexpr uint64_t PATH_LD_CLEAR_FAILED = 0x14184;
constexpr uint64_t PATH_EVENT_LOG = 0x15;
constexpr uint64_t PATH_CONTROLLER_EVENT_LOG_0 = 0x151;
constexpr uint64_t PATH_CONTROLLER_EVENT_LOG_1 = 0x152;
constexpr uint64_t PATH_EVENT_LOG_PAGE = 0x1511;
constexpr uint64_t PATH_EVENT_LOG_PARTNER = 0x1512;

// Statistics page codes, kept in the menu controller byte.
constexpr uint8_t PAGE_ALL_STATISTICS = 0x40;
constexpr uint8_t PAGE_LD_STATISTICS = 'P';
constexpr uint8_t PAGE_HOST_LD_STATISTICS = 0x51;
constexpr uint8_t PAGE_CLEAR_STATISTICS = 0xFE;
// Event log view codes.
constexpr uint8_t EVENTS_NONE = 0;
constexpr uint8_t EVENTS_COUNTS = 9;
constexpr uint8_t EVENTS_FAILED_DRIVES = 24;
constexpr uint8_t EVENTS_CLEAR = 0xFF;

// The partner link's request kinds and its answer for a queued request.
constexpr uint8_t KIND_INFORMATION = 0x85;
constexpr uint8_t KIND_EVENT_LOG = 0x87;
constexpr uint8_t KIND_STATISTICS = 0x8B;
constexpr uint8_t PARTNER_QUEUED = 0xFF;
constexpr uint32_t INFORMATION_PAGES = 1;
constexpr uint32_t STATISTICS_PAGES = 2050;
constexpr uint32_t COUNTS_PAGES = 1;

// The pages an outstanding partner request will fill, none when nothing
// is outstanding.
struct PARTNER_PAGES {
    BUFFER_HANDLE dHandle;
    uint32_t dCount;
};
PARTNER_PAGES s_sInformation{NULL_BUFFER_HANDLE, 0};
PARTNER_PAGES s_sStatistics{NULL_BUFFER_HANDLE, 0};
PARTNER_PAGES s_sEventLog{NULL_BUFFER_HANDLE, 0};

MENU_STATE& Menu() { return *psGetMenuState(); }

// Pages for a partner request.  Pages still held wait for an answer that
// has not come (the menus were left meanwhile): they are neither reused nor
// given back, since the answer may still land in them.
uint8_t fTakePages(PARTNER_PAGES* ps, uint32_t dCount) {
    if (ps->dHandle != NULL_BUFFER_HANDLE) return FALSE;
    if (bAllocDataPages(0, dCount, &ps->dHandle) != STATUS_OK) {
        ps->dHandle = NULL_BUFFER_HANDLE;
        return FALSE;
    }
    ps->dCount = dCount;
    return TRUE;
}

void GiveBackPages(PARTNER_PAGES* ps) {
    if (ps->dHandle != NULL_BUFFER_HANDLE) (void)wFreeDataPages(ps->dHandle, ps->dCount);
    ps->dHandle = NULL_BUFFER_HANDLE;
    ps->dCount = 0;
}

// The pages handed on to the dump, which gives them back at its end.
BUFFER_HANDLE dHandOver(PARTNER_PAGES* ps) {
    const BUFFER_HANDLE d = ps->dHandle;
    ps->dHandle = NULL_BUFFER_HANDLE;
    ps->dCount = 0;
    return d;
}

// A page prints or a partner answer is due: no key changes anything.
bool fBusy() { return fGetInfoDumpRequest() == TRUE || fIsPartnerRequestPending() == TRUE; }

void StopDump() {
    SetInfoDumpRequest(FALSE);
    SetInfoDumpMode(0);
}

// A message that ends in the pause and the menu after it.
void Notice(uint64_t lPath, MENU_FUNCTION pfnMenu, const char* pszText) {
    Menu().lMenuPath = lPath;
    ConsolePrintText(pszText);
    WaitForAnyKeyThen(pfnMenu);
}

// A page of the partner's data: the dump starts on the pages its answer
// filled.
void StartPartnerDump(MENU_FUNCTION pfnReturn, uint16_t wState, uint8_t bType) {
    Menu().pfnAnyKeyMenu = pfnReturn;
    SetInfoDumpRequest(TRUE);
    SetInfoDumpState(wState);
    SetInfoDumpMode(DUMP_MODE_MENU);
    SetInfoDumpType(bType);
}

// --- controllers ---------------------------------------------------------------

// Controller 0 is the one in slot 1 (number 1), Controller 1 the other
// (number 2).
const char* pszOwnLabel() { return fIsControllerSlot1() == TRUE ? "0" : "1"; }
uint8_t bOwnNumber() { return fIsControllerSlot1() == TRUE ? 1 : 2; }

// The controller the operator chose, kept here as well as in the shared
// menu selection register: the drive rescan uses that register for its own
// walk, and a rescan while these menus are open would otherwise turn them
// to the other controller.
uint8_t s_bChosenController;
uint8_t bChosen() { return s_bChosenController; }
bool fChosenIsThis() { return bChosen() == bOwnNumber(); }

// The choice of controller: both when the pair runs together, else this
// one alone as option 1.
void ShowControllerChoice(MENU_FUNCTION pfnMenu, uint64_t lPath, const char* pszTitle, const char* pszOption) {
    ClearScreen(FALSE);
    EnterMenu(pfnMenu, lPath);
    PrintMenuTitle(pszTitle);
    uint16_t wMask = 0x3;
    if (fIsDualControllerActive() == TRUE) {
        ConsolePrintf("1.  ");
        ConsolePrintf(pszOption, "0");
        ConsolePrintf("2.  ");
        ConsolePrintf(pszOption, "1");
        wMask = 0x7;
    } else {
        ConsolePrintf("1.  ");
        ConsolePrintf(pszOption, pszOwnLabel());
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

// The controller number a choice names (0: Exit or anything else).
uint8_t bChosenController(uint16_t wSelected) {
    if (wSelected == MenuOptionBit(1)) return fIsDualControllerActive() == TRUE ? 1 : bOwnNumber();
    if (wSelected == MenuOptionBit(2) && fIsDualControllerActive() == TRUE) return 2;
    return 0;
}

// A menu that chooses the controller and opens pfnNext for it.
void ControllerChoiceMenu(MENU_FUNCTION pfnMenu, uint64_t lPath, const char* pszTitle, const char* pszOption,
                          MENU_FUNCTION pfnNext) {
    if (Menu().lMenuPath != lPath) {
        ShowControllerChoice(pfnMenu, lPath, pszTitle, pszOption);
        return;
    }
    const uint8_t bController = bChosenController(wGetSelectedOption());
    if (bController == 0) {
        MainMenu();
        return;
    }
    s_bChosenController = bController;
    SetMenuSelection(bController);
    pfnNext();
}

// The per-controller menus' titles: Controller 0's when it is chosen, or
// when Controller 1 is chosen on a lone controller that is not in slot 1
// (it is then Controller 1 itself, shown as this controller).
bool fController0Title() {
    const uint8_t bSelection = bChosen();
    return bSelection == 1 ||
           (bSelection == 2 && fIsDualControllerActive() != TRUE && fIsControllerSlot1() != TRUE);
}

uint16_t wLdCount() { return pGetConfigImage()->sHeader.wLdCount; }

// A typed logical drive number below the count; FALSE for anything else.
uint8_t fTypedLogicalDrive(uint16_t* pwLd) {
    uint32_t dValue = 0;
    if (bParseMenuNumber(&dValue) != PARSE_VALUE || dValue >= wLdCount()) return FALSE;
    *pwLd = static_cast<uint16_t>(dValue);
    return TRUE;
}

// --- controller information --------------------------------------------------------

void RequestPartnerInformation() {
    if (fTakePages(&s_sInformation, INFORMATION_PAGES) != TRUE) {
        Notice(PATH_INFORMATION_PAGE, ControllerInformationMenu,
               "\nNo free memory to get other controller information\n\n");
        return;
    }
    if (bReadPartnerBuffer6(s_sInformation.dHandle, nullptr, KIND_INFORMATION) == PARTNER_QUEUED) {
        SetPartnerRequestPending(TRUE);
        Menu().lMenuPath = PATH_INFORMATION_PARTNER;
        return;
    }
    GiveBackPages(&s_sInformation);
    Notice(PATH_INFORMATION_PAGE, ControllerInformationMenu, "\nError getting other controller information\n\n");
}

// --- statistics ------------------------------------------------------------------

void ShowControllerStatisticsMenu() {
    ClearScreen(FALSE);
    const bool f0 = fController0Title();
    EnterMenu(ControllerStatisticsMenu, f0 ? PATH_CONTROLLER_STATISTICS_0 : PATH_CONTROLLER_STATISTICS_1);
    PrintMenuTitle(f0 ? "Controller 0 Statistics Menu" : "Controller 1 Statistics Menu");
    ConsolePrintf("1.  View All Statistics\n");
    ConsolePrintf("2.  View Access Statistics\n");
    ConsolePrintf("3.  View Read-Ahead Statistics\n");
    ConsolePrintf("4.  View Command Clustering Statistics\n");
    ConsolePrintf("5.  View Miscellaneous Statistics\n");
    ConsolePrintf("6.  Clear Statistics\n");
    ConsolePrintf("7.  View Access Statistics On Each Logical Drive\n");
    ConsolePrintf("8.  Clear Access Statistics On Each Logical Drive\n");
    uint16_t wMask = 0x1FF;
    if (fGetTqmStatisticsEnabled() == TRUE) {
        ConsolePrintf("9.  View per Host per Logical Drive Access Statistics\n");
        wMask = 0x3FF;
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
    SetPartnerRequestPending(FALSE);
}

// A statistics request the partner link queued, or the message of one it
// would not take.
void PartnerStatisticsRequestSent(uint8_t bSent, uint8_t bCode, MENU_FUNCTION pfnMenu) {
    if (bSent == PARTNER_QUEUED) {
        Menu().lMenuPath = PATH_STATISTICS_PARTNER;
        Menu().pfnAnyKeyMenu = pfnMenu;
        SetMenuController(bCode);
        SetPartnerRequestPending(TRUE);
        return;
    }
    if (bCode == PAGE_CLEAR_STATISTICS) {
        Notice(PATH_STATISTICS_PAGE, pfnMenu, "\nError clearing other controller statistics\n\n");
        return;
    }
    GiveBackPages(&s_sStatistics);
    Notice(PATH_STATISTICS_PAGE, pfnMenu, "\nError getting other controller statistics\n\n");
}

void SelectStatisticsPage(uint8_t bCode) {
    SetMenuController(bCode);
    if (fChosenIsThis()) {
        if (bCode == PAGE_CLEAR_STATISTICS) {
            StopDump();
            ClearPerformanceStatistics(STATISTICS_BOTH_SIDES, ALL_STATISTICS_LUNS);
            Notice(PATH_STATISTICS_PAGE, ControllerStatisticsMenu, "\nStatistics Cleared\n\n");
            return;
        }
        StartMenuDump(PATH_STATISTICS_PAGE, ControllerStatisticsMenu, bCode, DUMP_MODE_MENU);
        return;
    }
    if (bCode == PAGE_CLEAR_STATISTICS) {
        PartnerStatisticsRequestSent(bReadPartnerBuffer11(STATISTICS_BOTH_SIDES, ALL_STATISTICS_LUNS, TRUE), bCode,
                                     ControllerStatisticsMenu);
        return;
    }
    if (fTakePages(&s_sStatistics, STATISTICS_PAGES) != TRUE) {
        Notice(PATH_STATISTICS_PAGE, ControllerStatisticsMenu,
               "\nNo free memory to get other controller statistics\n\n");
        return;
    }
    PartnerStatisticsRequestSent(bReadPartnerBuffer10(STATISTICS_BOTH_SIDES, ALL_STATISTICS_LUNS,
                                                      s_sStatistics.dHandle, nullptr, KIND_STATISTICS),
                                 bCode, ControllerStatisticsMenu);
}

// The two logical drive menus: which ports, then which logical drive.
struct LD_MENU {
    MENU_FUNCTION pfnMenu;
    MENU_FUNCTION pfnPrompt;
    uint64_t lPath0;
    uint64_t lPath1;
    const char* pszTitle0;
    const char* pszTitle1;
    const char* pszVerb;    // "View Access" or "Clear"
};
void LogicalDriveStatisticsMenu(const LD_MENU& m, void (*pfnStorePort)(uint8_t)) {
    if (fBusy()) return;
    const uint64_t lPath = Menu().lMenuPath;
    if (lPath != m.lPath0 && lPath != m.lPath1) {
        if (wLdCount() == 0) {
            SetPartnerRequestPending(FALSE);
            Notice(m.lPath0, ControllerStatisticsMenu, "\n  No Logical Drives Configured.\n\n");
            return;
        }
        ClearScreen(FALSE);
        const bool f0 = fController0Title();
        EnterMenu(m.pfnMenu, f0 ? m.lPath0 : m.lPath1);
        PrintMenuTitle(f0 ? m.pszTitle0 : m.pszTitle1);
        ConsolePrintf("1.  %s Statistics On Port 0\n", m.pszVerb);
        ConsolePrintf("2.  %s Statistics On Port 1\n", m.pszVerb);
        ConsolePrintf("3.  %s Statistics On Both Ports\n", m.pszVerb);
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0xF);
        SetPartnerRequestPending(FALSE);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: pfnStorePort(STATISTICS_SIDE_0); break;
    case 1u << 2: pfnStorePort(STATISTICS_SIDE_1); break;
    case 1u << 3: pfnStorePort(STATISTICS_BOTH_SIDES); break;
    default:
        StopDump();
        ControllerStatisticsMenu();
        return;
    }
    m.pfnPrompt();
}

constexpr LD_MENU LD_VIEW = {LogicalDriveAccessStatisticsMenu,
                             LogicalDriveAccessStatisticsPrompt,
                             PATH_LD_VIEW_0,
                             PATH_LD_VIEW_1,
                             "Controller 0 - Logical Drive Access Statistics Menu",
                             "Controller 1 - Logical Drive Access Statistics Menu",
                             "View Access"};
constexpr LD_MENU LD_CLEAR = {ClearLogicalDriveStatisticsMenu,
                              ClearLogicalDriveStatisticsPrompt,
                              PATH_LD_CLEAR_0,
                              PATH_LD_CLEAR_1,
                              "Controller 0 - Clear Logical Drive Statistics Menu",
                              "Controller 1 - Clear Logical Drive Statistics Menu",
                              "Clear"};

// --- event log -------------------------------------------------------------------

struct EVENT_VIEW {
    const char* pszText;
    uint8_t bCode;
};
// Options 1..10; the first two carry the counts.
constexpr EVENT_VIEW EVENT_VIEWS[] = {
    {"1.  View All Events (%u)\n", 1},     {"2.  View New Events (%u)\n", 8},
    {"3.  View Last 50 Events\n", 2},      {"4.  View Last Hour Events\n", 3},
    {"5.  View Last 24 Hours Events\n", 4}, {"6.  View Drive Events\n", 5},
    {"7.  View Host Events\n", 6},         {"8.  View Environmental Events\n", 7},
    {"9.  View Failed Drive List\n", EVENTS_FAILED_DRIVES}, {"10. Clear Event Log\n", EVENTS_CLEAR},
};
constexpr uint32_t EVENT_VIEW_COUNT = sizeof EVENT_VIEWS / sizeof EVENT_VIEWS[0];

uint8_t bEventViewCode(uint16_t wSelected) {
    for (uint32_t i = 0; i < EVENT_VIEW_COUNT; ++i) {
        if (wSelected == MenuOptionBit(i + 1)) return EVENT_VIEWS[i].bCode;
    }
    return EVENTS_NONE;
}

// The event log menu's counts.  The partner's come from a request whose
// answer draws the menu: FALSE while it is outstanding.
uint8_t fEventCounts(uint16_t* pwAll, uint16_t* pwNew) {
    *pwAll = 0;
    *pwNew = 0;
    if (fChosenIsThis()) {
        *pwAll = wGetEventLogCount();
        *pwNew = wGetEventsPostedCount();
        return TRUE;
    }
    if (bGetPartnerEventCounts(pwAll, pwNew) != PARTNER_COUNTS_NOT_CACHED) return TRUE;
    *pwAll = 0;
    *pwNew = 0;
    if (fTakePages(&s_sEventLog, COUNTS_PAGES) != TRUE) return TRUE;
    if (bReadPartnerBuffer8(s_sEventLog.dHandle, nullptr, EVENTS_COUNTS, KIND_EVENT_LOG) == PARTNER_QUEUED) {
        // Keys wait for the counts, which draw the menu.
        Menu().pfnAnyKeyMenu = ControllerEventLogMenu;
        SetMenuController(EVENTS_COUNTS);
        SetPartnerRequestPending(TRUE);
        return FALSE;
    }
    GiveBackPages(&s_sEventLog);
    return TRUE;
}

void ShowControllerEventLogMenu() {
    uint16_t wAll = 0;
    uint16_t wNew = 0;
    if (fEventCounts(&wAll, &wNew) != TRUE) return;
    ClearScreen(FALSE);
    const bool f0 = bChosen() == 1;
    EnterMenu(ControllerEventLogMenu, f0 ? PATH_CONTROLLER_EVENT_LOG_0 : PATH_CONTROLLER_EVENT_LOG_1);
    PrintMenuTitle(f0 ? "Controller 0 Event Log Menu" : "Controller 1 Event Log Menu");
    ConsolePrintf(EVENT_VIEWS[0].pszText, wAll);
    ConsolePrintf(EVENT_VIEWS[1].pszText, wNew);
    for (uint32_t i = 2; i < EVENT_VIEW_COUNT; ++i) ConsolePrintText(EVENT_VIEWS[i].pszText);
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(0x7FF);
    SetPartnerRequestPending(FALSE);
}

void SelectPartnerEventView(uint8_t bCode) {
    if (bCode == EVENTS_NONE) {
        EventLogMenu();
        ClearPartnerEventCounts();
        return;
    }
    uint8_t bSent = 0;
    if (bCode == EVENTS_CLEAR) {
        bSent = bReadPartnerBuffer9(TRUE);
    } else {
        if (fTakePages(&s_sEventLog, EVENT_IMAGE_PAGES) != TRUE) {
            ClearPartnerEventCounts();
            Notice(PATH_EVENT_LOG_PAGE, ControllerEventLogMenu,
                   "\nNo free memory to get other controller event log\n\n");
            return;
        }
        bSent = bReadPartnerBuffer8(s_sEventLog.dHandle, nullptr, bCode, KIND_EVENT_LOG);
    }
    ClearPartnerEventCounts();
    if (bSent == PARTNER_QUEUED) {
        Menu().lMenuPath = PATH_EVENT_LOG_PARTNER;
        Menu().pfnAnyKeyMenu = ControllerEventLogMenu;
        SetMenuController(bCode);
        SetPartnerRequestPending(TRUE);
        return;
    }
    if (bCode == EVENTS_CLEAR) {
        Notice(PATH_EVENT_LOG_PAGE, ControllerEventLogMenu, "\nError clearing other controller event log\n\n");
        return;
    }
    GiveBackPages(&s_sEventLog);
    Notice(PATH_EVENT_LOG_PAGE, ControllerEventLogMenu, "\nError getting other controller event log\n\n");
}

// A partner answer came back failed: the pages it was to fill go back and
// the menu is free again.
void PartnerAnswerFailed(PARTNER_PAGES* ps, uint64_t lPath, MENU_FUNCTION pfnMenu, const char* pszText) {
    GiveBackPages(ps);
    SetPartnerRequestPending(FALSE);
    Notice(lPath, pfnMenu, pszText);
}

// A page is done: no partner answer is due any more, and the next key
// brings the menu back.
void PageShown(MENU_FUNCTION pfnMenu) {
    SetPartnerRequestPending(FALSE);
    ConsolePrintf("\n\n");
    WaitForAnyKeyThen(pfnMenu);
}

}  // namespace

// --- menus -----------------------------------------------------------------------

void ControllerInformationMenu() {
    if (fBusy()) return;
    if (Menu().lMenuPath != PATH_INFORMATION) {
        ShowControllerChoice(ControllerInformationMenu, PATH_INFORMATION, "Controller Information Menu",
                             "View Controller %s Information\n");
        return;
    }
    const uint8_t bController = bChosenController(wGetSelectedOption());
    if (bController == 0) {
        MainMenu();
    } else if (bController == bOwnNumber()) {
        StartMenuDump(PATH_INFORMATION_PAGE, ControllerInformationMenu, DUMP_CONTROLLER_INFORMATION,
                      DUMP_MODE_MENU);
    } else {
        RequestPartnerInformation();
    }
}

void StatisticsMenu() {
    ControllerChoiceMenu(StatisticsMenu, PATH_STATISTICS, "Statistics Menu", "Controller %s Statistics\n",
                         ControllerStatisticsMenu);
}

void ControllerStatisticsMenu() {
    if (fBusy()) return;
    const uint64_t lPath = Menu().lMenuPath;
    if (lPath != PATH_CONTROLLER_STATISTICS_0 && lPath != PATH_CONTROLLER_STATISTICS_1) {
        ShowControllerStatisticsMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    uint8_t bCode = 0;
    switch (wSelected) {
    case 1u << 7:
        StopDump();
        LogicalDriveAccessStatisticsMenu();
        return;
    case 1u << 8:
        StopDump();
        ClearLogicalDriveStatisticsMenu();
        return;
    case 1u << 6: bCode = PAGE_CLEAR_STATISTICS; break;
    case 1u << 9: bCode = PAGE_HOST_LD_STATISTICS; break;
    default:
        for (uint32_t n = 1; n <= 5; ++n) {
            if (wSelected == MenuOptionBit(n)) bCode = static_cast<uint8_t>(PAGE_ALL_STATISTICS + n - 1);
        }
        break;
    }
    if (bCode == 0) {
        StopDump();
        StatisticsMenu();
        return;
    }
    SelectStatisticsPage(bCode);
}

void LogicalDriveAccessStatisticsMenu() { LogicalDriveStatisticsMenu(LD_VIEW, SetInfoDumpStatsPort); }

void ClearLogicalDriveStatisticsMenu() { LogicalDriveStatisticsMenu(LD_CLEAR, SetMenuController); }

void LogicalDriveAccessStatisticsPrompt() {
    if (fBusy()) return;
    if (Menu().lMenuPath != PATH_LD_VIEW_PROMPT) {
        EnterMenu(LogicalDriveAccessStatisticsPrompt, PATH_LD_VIEW_PROMPT);
        ConsolePrintf("\nEnter Logical Drive Number(0 - %d)\nTo View Access Statistics - Other Keys To Exit: ",
                      wLdCount() - 1);
        AwaitTypedAnswer();
        return;
    }
    uint16_t wLd = 0;
    if (fTypedLogicalDrive(&wLd) != TRUE) {
        Notice(PATH_LD_VIEW_PROMPT, LogicalDriveAccessStatisticsMenu, "\n\n");
        return;
    }
    SetMenuController(PAGE_LD_STATISTICS);
    if (fChosenIsThis()) {
        SetInfoDumpStatsLd(wLd);
        StartMenuDump(PATH_LD_VIEW_PROMPT, LogicalDriveAccessStatisticsPrompt, DUMP_LD_STATISTICS, DUMP_MODE_MENU);
        return;
    }
    if (fTakePages(&s_sStatistics, STATISTICS_PAGES) != TRUE) {
        Notice(PATH_LD_VIEW_REQUESTED, LogicalDriveAccessStatisticsPrompt,
               "\n\nNo free memory to get other controller statistics\n\n");
        return;
    }
    if (bReadPartnerBuffer10(bGetInfoDumpStatsPort(), wLd, s_sStatistics.dHandle, nullptr, KIND_STATISTICS) ==
        PARTNER_QUEUED) {
        Menu().lMenuPath = PATH_LD_VIEW_REQUESTED;
        Menu().pfnAnyKeyMenu = LogicalDriveAccessStatisticsPrompt;
        SetPartnerRequestPending(TRUE);
        return;
    }
    GiveBackPages(&s_sStatistics);
    Notice(PATH_LD_VIEW_REQUESTED, LogicalDriveAccessStatisticsMenu,
           "\n\nError getting other controller statistics\n\n");
}

void ClearLogicalDriveStatisticsPrompt() {
    if (fBusy()) return;
    if (Menu().lMenuPath != PATH_LD_CLEAR_PROMPT) {
        EnterMenu(ClearLogicalDriveStatisticsPrompt, PATH_LD_CLEAR_PROMPT);
        ConsolePrintf("\nEnter Logical Drive Number(0 - %d) \n", wLdCount() - 1);
        ConsolePrintf("To Clear Statistics - Other Keys To Exit: ");
        AwaitTypedAnswer();
        return;
    }
    uint16_t wLd = 0;
    if (fTypedLogicalDrive(&wLd) != TRUE) {
        Notice(PATH_LD_CLEAR_PROMPT, ClearLogicalDriveStatisticsMenu, "\n\n");
        return;
    }
    // The port code the clear menu kept.
    const uint8_t bPort = bGetMenuController();
    SetInfoDumpRequest(FALSE);
    SetInfoDumpState(0);
    if (fChosenIsThis()) {
        SetInfoDumpMode(0);
        ClearPerformanceStatistics(bPort, wLd);
        Notice(PATH_LD_CLEARED, ClearLogicalDriveStatisticsPrompt, "\n\nStatistics Cleared\n\n");
        return;
    }
    if (bReadPartnerBuffer11(bPort, wLd, TRUE) == PARTNER_QUEUED) {
        Menu().lMenuPath = PATH_LD_CLEAR_ASKED;
        Menu().pfnAnyKeyMenu = ClearLogicalDriveStatisticsPrompt;
        SetPartnerRequestPending(TRUE);
        return;
    }
    Notice(PATH_LD_CLEAR_FAILED, ClearLogicalDriveStatisticsPrompt,
           "\n\nError clearing other controller Logical Drive statistics\n\n");
}

void EventLogMenu() {
    ControllerChoiceMenu(EventLogMenu, PATH_EVENT_LOG, "Event Log Menu", "Controller %s Event Log\n",
                         ControllerEventLogMenu);
}

void ControllerEventLogMenu() {
    if (fBusy()) return;
    const uint64_t lPath = Menu().lMenuPath;
    if (lPath != PATH_CONTROLLER_EVENT_LOG_0 && lPath != PATH_CONTROLLER_EVENT_LOG_1) {
        ShowControllerEventLogMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MenuOptionBit(0)) {
        StopDump();
        ClearPartnerEventCounts();
        EventLogMenu();
        return;
    }
    const uint8_t bCode = bEventViewCode(wSelected);
    // The failed drive list is this controller's whichever log is chosen.
    if (!fChosenIsThis() && bCode != EVENTS_FAILED_DRIVES) {
        SelectPartnerEventView(bCode);
        return;
    }
    Menu().lMenuPath = PATH_EVENT_LOG_PAGE;
    if (bCode == EVENTS_NONE) {
        StopDump();
        ShowControllerEventLogMenu();
    } else if (bCode == EVENTS_CLEAR) {
        StopDump();
        ClearEventLog();
        Notice(PATH_EVENT_LOG_PAGE, ControllerEventLogMenu, "\nEvent Log Cleared\n\n");
    } else {
        StartMenuDump(PATH_EVENT_LOG_PAGE, ControllerEventLogMenu, bCode, DUMP_MODE_MENU);
    }
}

// --- the partner link's answers ---------------------------------------------------------

void OnPartnerControllerInformation(uint8_t bStatus) {
    if (bStatus != STATUS_OK) {
        PartnerAnswerFailed(&s_sInformation, PATH_INFORMATION_PAGE, ControllerInformationMenu,
                            "\nError getting other controller information\n\n");
        return;
    }
    SetInfoDumpInfoBuffer(dHandOver(&s_sInformation));
    StartPartnerDump(ControllerInformationMenu, DUMP_STATE_PARTNER_RECORD, DUMP_CONTROLLER_INFORMATION);
}

void OnPartnerStatistics(uint8_t bStatus) {
    const uint8_t bCode = bGetMenuController();
    MENU_FUNCTION pfnMenu = ControllerStatisticsMenu;
    if (bCode == PAGE_LD_STATISTICS) {
        Menu().lMenuPath = PATH_AFTER_STATISTICS_PAGE;
        pfnMenu = LogicalDriveAccessStatisticsPrompt;
    }
    if (bStatus != STATUS_OK) {
        PartnerAnswerFailed(&s_sStatistics, Menu().lMenuPath, pfnMenu,
                            "\nError getting other controller statistics\n\n");
        return;
    }
    SetInfoDumpStatsBuffer(dHandOver(&s_sStatistics));
    StartPartnerDump(pfnMenu, DUMP_STATE_PARTNER_RECORD, bCode);
}

void OnPartnerStatisticsCleared(uint8_t bStatus) {
    const bool fAll = bGetMenuController() == PAGE_CLEAR_STATISTICS;
    if (!fAll) Menu().lMenuPath = PATH_LD_CLEAR_0;
    if (bStatus != STATUS_OK) {
        ConsolePrintf(fAll ? "\nError clearing other controller statistics\n\n"
                           : "\n\nError clearing other controller Logical Drive statistics\n\n");
    } else {
        ConsolePrintf(fAll ? "\nOther All Controller Statistics Cleared\n\n"
                           : "\nOther LUN Controller Statistics Cleared\n\n");
    }
    Menu().pfnAnyKeyMenu = fAll ? ControllerStatisticsMenu : ClearLogicalDriveStatisticsPrompt;
    SetPartnerRequestPending(FALSE);
    WaitForAnyKey();
}

void OnPartnerEventLog(uint8_t bCode, uint8_t bStatus) {
    if (bCode == EVENTS_COUNTS) {
        // The menu draws itself with the counts (zero when none came).
        uint16_t wAll = 0;
        uint16_t wNew = 0;
        if (bStatus == STATUS_OK && s_sEventLog.dHandle != NULL_BUFFER_HANDLE) {
            const auto* pwCounts = static_cast<const uint16_t*>(pBufferHandleToPointer(s_sEventLog.dHandle));
            wAll = pwCounts[0];
            wNew = pwCounts[1];
        }
        SetPartnerEventCounts(wAll, wNew);
        GiveBackPages(&s_sEventLog);
        SetPartnerRequestPending(FALSE);
        if (Menu().pfnAnyKeyMenu != nullptr) Menu().pfnAnyKeyMenu();
        return;
    }
    if (bStatus != STATUS_OK) {
        PartnerAnswerFailed(&s_sEventLog, PATH_EVENT_LOG_PAGE, ControllerEventLogMenu,
                            "\nError getting other controller event log\n\n");
        return;
    }
    SetInfoDumpBuffer(dHandOver(&s_sEventLog));
    // The request carried the view: the image holds only its events.
    StartPartnerDump(ControllerEventLogMenu, DUMP_STATE_PARTNER_EVENTS, DUMP_EVENTS_ALL);
}

void OnPartnerEventLogCleared(uint8_t bStatus) {
    SetPartnerRequestPending(FALSE);
    ConsolePrintf(bStatus == STATUS_OK ? "\nOther Controller Event Log Cleared\n\n"
                                       : "\nError clearing other controller event log\n\n");
    WaitForAnyKeyThen(ControllerEventLogMenu);
}

// --- the ends of the pages ------------------------------------------------------------

void OnControllerInformationShown() { PageShown(ControllerInformationMenu); }

void OnStatisticsShown() {
    Menu().lMenuPath = PATH_AFTER_STATISTICS_PAGE;
    PageShown(bGetMenuController() == PAGE_LD_STATISTICS ? LogicalDriveAccessStatisticsPrompt
                                                         : ControllerStatisticsMenu);
}

void OnEventLogShown() { PageShown(ControllerEventLogMenu); }
void OnEnclosureInformationShown() { PageShown(MainMenu); }

}  // namespace fw
