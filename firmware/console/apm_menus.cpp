// The power management screens: the level-1 and per-array settings below
// the Configuration Menu (edited in the scratch image, in force once saved),
// and below the Diagnostics Menu the drives' and arrays' power states with
// the operator's own spin-ups, spin-downs and functional tests.  On a
// controller that is not master the operations go to the master.
#include <cstring>
#include <initializer_list>

#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_screens.h"
#include "console/menu_tree.h"
#include "enclosure/drive_list_display.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_spin.h"
#include "enclosure/drive_table.h"
#include "enclosure/power_management.h"
#include "eventlog/statistics.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/types.h"
#include "partner/partner_link.h"

namespace fw {

namespace {

constexpr uint64_t PATH_APM_CONFIGURATION = 0x11B;
constexpr uint64_t PATH_LEVEL1_CONFIGURATION = 0x11B1;
constexpr uint64_t PATH_LEVEL1_VIEW = 0x11B11;
constexpr uint64_t PATH_LEVEL1_EDIT = 0x11B12;
constexpr uint64_t PATH_LEVEL2_CONFIGURATION = 0x11B2;
constexpr uint64_t PATH_ARRAY_VIEW = 0x11B21;
constexpr uint64_t PATH_ARRAY_EDIT = 0x11B22;
constexpr uint64_t PATH_ARRAY_SPIN_DOWN = 0x11B23;
constexpr uint64_t PATH_ARRAY_SPIN_UP = 0x11B24;
constexpr uint64_t PATH_APM_DIAGNOSTIC = 0x12B;
constexpr uint64_t PATH_LEVEL1_DIAGNOSTIC = 0x12B1;
constexpr uint64_t PATH_DRIVE_STATUS = 0x12B11;
constexpr uint64_t PATH_DRIVE_SPIN_UP = 0x12B12;
constexpr uint64_t PATH_DRIVE_SPIN_DOWN = 0x12B13;
constexpr uint64_t PATH_FUNCTIONAL_TEST = 0x12B14;
constexpr uint64_t PATH_LEVEL2_DIAGNOSTIC = 0x12B2;
constexpr uint64_t PATH_ARRAY_STATUS = 0x12B21;
constexpr uint64_t PATH_ARRAY_TEST = 0x12B22;

constexpr const char* CONFIGURATION_TITLE = "Advanced Power Management Configuration Menu";
constexpr const char* DIAGNOSTIC_TITLE = "Advanced Power Management Diagnostic Menu";

// Partner requests of the screens (message 123).
constexpr uint8_t MESSAGE_APM_REQUEST = 123;
constexpr uint8_t SUB_DRIVE_SPIN = 17;
constexpr uint8_t SUB_DRIVE_TEST = 18;
constexpr uint8_t SUB_ARRAY_SPIN = 32;
constexpr uint8_t SUB_ARRAY_TEST = 33;

constexpr uint8_t VERIFY_KIND_LEVEL1 = 1;
// The debug option of the drive spin screens: every unused drive.
constexpr uint16_t ALL_UNUSED_OPTION = 1u << 4;

MENU_STATE& Menu() { return *psGetMenuState(); }

// ---- the scratch image's records ----

uint8_t* pbLevel1Record() { return pGetScratchConfigImage()->abPowerSettings; }
uint16_t wLevel1Options() { return static_cast<uint16_t>(pbLevel1Record()[0] | (pbLevel1Record()[1] << 8)); }
void SetLevel1Options(uint16_t w) {
    pbLevel1Record()[0] = static_cast<uint8_t>(w);
    pbLevel1Record()[1] = static_cast<uint8_t>(w >> 8);
}
// Where level-1 fields lie in the record.
constexpr uint8_t L1_CYCLE_TYPE = 2;
constexpr uint8_t L1_DAY_OF_MONTH = 3;
constexpr uint8_t L1_WEEKDAY = 4;
constexpr uint8_t L1_HOUR = 5;
constexpr uint8_t L1_MINUTE = 6;

uint8_t* pbArrayRecord(uint8_t bArray) {
    return reinterpret_cast<uint8_t*>(&pGetScratchConfigImage()->asRank[bArray]) + ARRAY_APM_RECORD_OFFSET;
}
uint16_t wArrayOptions(uint8_t bArray) {
    const uint8_t* pb = pbArrayRecord(bArray);
    return static_cast<uint16_t>(pb[0] | (pb[1] << 8));
}
void SetArrayOptions(uint8_t bArray, uint16_t w) {
    pbArrayRecord(bArray)[0] = static_cast<uint8_t>(w);
    pbArrayRecord(bArray)[1] = static_cast<uint8_t>(w >> 8);
}
// Where an array's period bytes lie in its settings.
constexpr uint8_t ARRAY_TEST_DAYS = 2;
constexpr uint8_t ARRAY_TEST_HOURS = 3;
constexpr uint8_t ARRAY_IDLE_HOURS = 4;
constexpr uint8_t ARRAY_IDLE_MINUTES = 5;

void MarkSettingsPresent(uint8_t f) {
    pGetScratchConfigImage()->sHeader.fPowerManagementSet = f;
    SetConfigModified(TRUE);
}

uint32_t dArrayCount() { return pGetScratchConfigImage()->sHeader.wRankCount; }

// Y, y or an empty line: yes.
bool AnsweredYes() {
    const uint8_t b = bParseYesNo();
    return b == TRUE || b == PARSE_EMPTY;
}

// A number in [0, dMaximum], or nothing.
bool ReadNumber(uint32_t dMaximum, uint32_t* pd) {
    return bParseMenuNumber(pd) == PARSE_VALUE && *pd <= dMaximum;
}

void SendToMaster() { ConsolePrintf("Sending command to master controller...\n"); }

uint8_t bAskMaster(uint8_t bSubOperation, uint8_t b0, uint8_t b1, uint8_t b2) {
    const uint8_t abArgs[3] = {b0, b1, b2};
    return bSendAPMMessageToPartner(nullptr, nullptr, 0, MESSAGE_APM_REQUEST, bSubOperation, abArgs);
}

// ---- the array prompt the level-2 screens share ----

struct ARRAY_SCREEN {
    MENU_FUNCTION pfnSelf;
    uint64_t lPath;
    const char* pszTitle;
    const char* pszEmpty;
    const char* pszPromptOne;
    const char* pszPromptMany;
    const char* pszPendingSave;   // nullptr: the screen does not mind an unsaved array
    MENU_FUNCTION pfnParent;
};

// Display phase: the prompt, or the line why there is none.
void ShowArrayPrompt(const ARRAY_SCREEN& s) {
    BeginScreen(s.pfnSelf, s.lPath, s.pszTitle);
    const uint32_t dCount = dArrayCount();
    if (dCount == 0) {
        ShowResult(s.pszEmpty, s.pfnParent);
        return;
    }
    if (s.pszPendingSave != nullptr && fGetPendingStripeInitFlag() == TRUE) {
        ShowResult(s.pszPendingSave, s.pfnParent);
        return;
    }
    if (dCount == 1) {
        ConsolePrintText(s.pszPromptOne);
    } else {
        ConsolePrintf(s.pszPromptMany, dCount - 1);
    }
    AwaitTypedAnswer();
}

// Selection phase: the array typed, or FALSE after the refusal.
bool ReadArray(const ARRAY_SCREEN& s, uint8_t* pbArray) {
    uint32_t d = 0;
    if (bParseMenuNumber(&d) != PARSE_VALUE || d >= dArrayCount() || d >= APM_ARRAYS) {
        ShowResult("\nInvalid selection\n\n", s.pfnParent);
        return false;
    }
    *pbArray = static_cast<uint8_t>(d);
    return true;
}

void ApmLevel1ConfigurationMenu();
void ApmLevel2ConfigurationMenu();
void ApmLevel1DiagnosticMenu();
void ApmLevel2DiagnosticMenu();
void ViewArrayApmSettingsMenu();
void ConfigureArrayApmMenu();
void SpinDownArrayApmMenu();
void SpinUpArrayApmMenu();
void ArrayApmTestMenu();
void DriveSpinUpMenu();
void DriveSpinDownMenu();
void FunctionalTestMenu();

const ARRAY_SCREEN VIEW_ARRAY = {ViewArrayApmSettingsMenu, PATH_ARRAY_VIEW, "View Array APM Settings Menu",
                                 "\nNo configured arrays to display\n\n",
                                 "\nEnter the number of the array to view (0): ",
                                 "\nEnter the number of the array to view (0..%d): ", nullptr,
                                 ApmLevel2ConfigurationMenu};
const ARRAY_SCREEN CONFIGURE_ARRAY = {ConfigureArrayApmMenu, PATH_ARRAY_EDIT, "Configure Array APM Menu",
                                      "\nNo configured arrays to modify\n\n",
                                      "\nEnter the number of the array to configure (0): ",
                                      "\nEnter the number of the array to configure (0..%d): ", nullptr,
                                      ApmLevel2ConfigurationMenu};
const ARRAY_SCREEN SPIN_DOWN_ARRAY = {SpinDownArrayApmMenu, PATH_ARRAY_SPIN_DOWN, "Spin Down Array APM Menu",
                                      "\nNo configured arrays to spin down\n\n",
                                      "\nEnter the number of the array to spin down (0): ",
                                      "\nEnter the number of the array to spin down (0..%d): ",
                                      "\nPlease save configuration before spinning down array\n\n",
                                      ApmLevel2ConfigurationMenu};
const ARRAY_SCREEN SPIN_UP_ARRAY = {SpinUpArrayApmMenu, PATH_ARRAY_SPIN_UP, "Spin Up Array APM Menu",
                                    "\nNo configured arrays to spin up\n\n",
                                    "\nEnter the number of the array to spin up (0): ",
                                    "\nEnter the number of the array to spin up (0..%d): ",
                                    "\nPlease save configuration before spinning up array\n\n",
                                    ApmLevel2ConfigurationMenu};
const ARRAY_SCREEN TEST_ARRAY = {ArrayApmTestMenu, PATH_ARRAY_TEST, "Array APM Test Menu",
                                 "\nNo configured arrays to test\n\n",
                                 "\nEnter the number of the array to test (0): ",
                                 "\nEnter the number of the array to test (0..%d): ",
                                 "\nPlease save configuration before testing the array\n\n", ApmLevel2DiagnosticMenu};

// ---- option screens ----

void ShowOptions(MENU_FUNCTION pfnSelf, uint64_t lPath, const char* pszTitle, std::initializer_list<const char*> lines,
                 uint16_t wMask) {
    BeginScreen(pfnSelf, lPath, pszTitle);
    uint32_t n = 1;
    for (const char* psz : lines) ConsolePrintf("%u.  %s\n", n++, psz);
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

// ---- level 1: the settings ----

void ShowLevel1View() {
    Menu().lMenuPath = PATH_LEVEL1_VIEW;
    ConsolePrintf(" \nCurrent APM Level 1 Configuration \n\n");
    ConsolePrintf("    Controller Time: ");
    PrintCurrentDateTime();
    ConsolePrintf("\n\n");
    ConsolePrintf("    Option Flags: \n");
    const uint8_t* pb = pbLevel1Record();
    const APM_LEVEL1_SETTINGS s = pGetScratchConfigImage()->sHeader.fPowerManagementSet == TRUE
                                      ? sReadAPMLevel1Record(pb)
                                      : APM_LEVEL1_SETTINGS{0, 0, 0, 0, 0, 0};
    ShowAPMLevel1Settings(s, FALSE);
    WaitForAnyKeyThen(ApmLevel1ConfigurationMenu);
}

// The edit's steps, one typed line each.
enum : uint8_t {
    L1_STEP_TEST_SPARES,
    L1_STEP_TEST_UNUSED,
    L1_STEP_SPIN_SPARES,
    L1_STEP_SPIN_UNUSED,
    L1_STEP_SPIN_FAILED,
    L1_STEP_CYCLE,
    L1_STEP_DAY,
    L1_STEP_HOUR,
    L1_STEP_MINUTE,
};

// Asks the step's question, skipping the ones the answers so far leave out.
void AskLevel1Step(uint8_t bStep) {
    const uint16_t w = wLevel1Options();
    if (bStep == L1_STEP_SPIN_SPARES && (w & APM_L1_TEST_SPARES) != 0) bStep = L1_STEP_SPIN_UNUSED;
    if (bStep == L1_STEP_SPIN_UNUSED && (w & APM_L1_TEST_UNUSED) != 0) bStep = L1_STEP_SPIN_FAILED;
    Menu().bMenuStep = bStep;
    switch (bStep) {
    case L1_STEP_TEST_UNUSED:
        ConsolePrintf(" Spin Down and Schedule Test Cycle Of All Unused Drives (Y or N, <cr> = Y): ");
        break;
    case L1_STEP_SPIN_SPARES: ConsolePrintf(" Spin Down All Hot Spare Drives (Y or N, <cr> = Y): "); break;
    case L1_STEP_SPIN_UNUSED: ConsolePrintf(" Spin Down All Unused Drives (Y or N, <cr> = Y): "); break;
    case L1_STEP_SPIN_FAILED: ConsolePrintf(" Spin Down All Failed Drives (Y or N, <cr> = Y): "); break;
    case L1_STEP_CYCLE:
        ConsolePrintf(" Select Spin Up/Test Cycle Time ( (D)aily / (W)eekly / (M)onthly ): ");
        break;
    case L1_STEP_DAY:
        ConsolePrintf(pbLevel1Record()[L1_CYCLE_TYPE] == APM_CYCLE_MONTHLY
                          ? " Select Which Date In The Month To Test On (1-28): "
                          : " Select The Day Of The Week To Test On (Sun = 1, Mon = 2 ... Sat = 7): ");
        break;
    case L1_STEP_HOUR: ConsolePrintf(" Select Hour Of The Day To Start The Test (0-23): "); break;
    case L1_STEP_MINUTE: ConsolePrintf(" Select The Minute To Start The Test On (0-59): "); break;
    default: break;
    }
    AwaitTypedAnswer();
}

void Level1Done(const char* pszText) { ShowResult(pszText, ApmLevel1ConfigurationMenu); }

void Level1EditMenu() {
    MENU_STATE& m = Menu();
    if (m.lMenuPath != PATH_LEVEL1_EDIT) {
        EnterMenu(Level1EditMenu, PATH_LEVEL1_EDIT);
        ConsolePrintf("\nEdit APM Level 1 Configuration\n\n");
        ConsolePrintf(" Spin Down and Schedule Test Cycle Of All Hot Spare Drives (Y or N, <cr> = Y): ");
        AwaitTypedAnswer();
        return;
    }
    uint8_t* pb = pbLevel1Record();
    const uint8_t bStep = m.bMenuStep;
    if (bStep <= L1_STEP_SPIN_FAILED) {
        static constexpr uint16_t BITS[] = {APM_L1_TEST_SPARES, APM_L1_TEST_UNUSED, APM_L1_SPIN_DOWN_SPARES,
                                            APM_L1_SPIN_DOWN_UNUSED, APM_L1_SPIN_DOWN_FAILED};
        uint16_t w = wLevel1Options();
        if (AnsweredYes()) {
            w = static_cast<uint16_t>(w | BITS[bStep]);
            SetLevel1Options(w);
            MarkSettingsPresent(TRUE);
        } else {
            w = static_cast<uint16_t>(w & ~BITS[bStep]);
            SetLevel1Options(w);
        }
        if (bStep < L1_STEP_SPIN_FAILED) return AskLevel1Step(static_cast<uint8_t>(bStep + 1));
        if (w == 0) {
            pb[L1_CYCLE_TYPE] = APM_CYCLE_NONE;
            MarkSettingsPresent(FALSE);
            ApmLevel1ConfigurationMenu();
            return;
        }
        if ((w & (APM_L1_TEST_SPARES | APM_L1_TEST_UNUSED)) == 0) {
            pb[L1_CYCLE_TYPE] = APM_CYCLE_NONE;
            SetConfigModified(TRUE);
            return Level1Done("\n\nPlease Exit And Save Configuration\n");
        }
        return AskLevel1Step(L1_STEP_CYCLE);
    }
    uint32_t d = 0;
    switch (bStep) {
    case L1_STEP_CYCLE: {
        char acText[8] = {};
        uint8_t bLength = 0;
        const uint8_t bParsed = bGetMenuTextInput(acText, &bLength, 7);
        const char c = bParsed == PARSE_VALUE && bLength != 0 ? acText[0] : 0;
        const uint8_t bType = c == 'D' || c == 'd'   ? APM_CYCLE_DAILY
                              : c == 'W' || c == 'w' ? APM_CYCLE_WEEKLY
                              : c == 'M' || c == 'm' ? APM_CYCLE_MONTHLY
                                                     : APM_CYCLE_NONE;
        if (bType == APM_CYCLE_NONE) {
            SetLevel1Options(static_cast<uint16_t>(wLevel1Options() & ~(APM_L1_TEST_SPARES | APM_L1_TEST_UNUSED)));
            SetConfigModified(TRUE);
            return Level1Done("\nInvalid selection\n\n");
        }
        pb[L1_CYCLE_TYPE] = bType;
        SetConfigModified(TRUE);
        return AskLevel1Step(bType == APM_CYCLE_DAILY ? L1_STEP_HOUR : L1_STEP_DAY);
    }
    case L1_STEP_DAY: {
        const bool fMonthly = pb[L1_CYCLE_TYPE] == APM_CYCLE_MONTHLY;
        if (!ReadNumber(fMonthly ? 28 : 7, &d) || d < 1) return Level1Done("\nInvalid answer\n\n");
        pb[fMonthly ? L1_DAY_OF_MONTH : L1_WEEKDAY] = static_cast<uint8_t>(d);
        return AskLevel1Step(L1_STEP_HOUR);
    }
    case L1_STEP_HOUR:
        if (!ReadNumber(23, &d)) return Level1Done("\nInvalid answer\n\n");
        pb[L1_HOUR] = static_cast<uint8_t>(d);
        return AskLevel1Step(L1_STEP_MINUTE);
    case L1_STEP_MINUTE:
        if (!ReadNumber(59, &d)) return Level1Done("\nInvalid answer\n\n");
        pb[L1_MINUTE] = static_cast<uint8_t>(d);
        SetConfigModified(TRUE);
        return Level1Done("\n\nPlease Exit And Save Configuration\n");
    default: ApmLevel1ConfigurationMenu(); return;
    }
}

void ApmLevel1ConfigurationMenu() {
    if (Menu().lMenuPath != PATH_LEVEL1_CONFIGURATION) {
        ShowOptions(ApmLevel1ConfigurationMenu, PATH_LEVEL1_CONFIGURATION, CONFIGURATION_TITLE,
                    {"View APM Level 1 Configuration Options", "Edit APM Level 1 Configuration Options"}, 0x7);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: ShowLevel1View(); break;
    case 1u << 2: Level1EditMenu(); break;
    default: ApmConfigurationMenu(); break;
    }
}

// ---- level 2: the arrays' settings ----

void ViewArrayApmSettingsMenu() {
    if (Menu().lMenuPath != PATH_ARRAY_VIEW) return ShowArrayPrompt(VIEW_ARRAY);
    uint8_t a = 0;
    if (!ReadArray(VIEW_ARRAY, &a)) return;
    const uint16_t w = wArrayOptions(a);
    const uint8_t* pb = pbArrayRecord(a);
    ConsolePrintf(" \nCurrent Array %d APM Level 2 Configuration \n\n", a);
    ConsolePrintf("    Controller Time: ");
    PrintCurrentDateTime();
    ConsolePrintf("\n\n");
    ConsolePrintf("    Option Flags: \n");
    if ((w & ARRAY_APM_SPIN_DOWN) != 0) ConsolePrintf("                   Spin down the array\n");
    if ((w & ARRAY_APM_SPIN_DOWN_AND_TEST) != 0) ConsolePrintf("                   Spin down and test cycle the array\n");
    if ((w & (ARRAY_APM_SPIN_DOWN | ARRAY_APM_SPIN_DOWN_AND_TEST)) == 0) ConsolePrintf("       Feature Not In Use\n");
    ConsolePrintf("\n    Idle Period To Array Spin Down: ");
    ConsolePrintf("Hours: %d ", pb[ARRAY_IDLE_HOURS]);
    ConsolePrintf("Minutes: %d\n", pb[ARRAY_IDLE_MINUTES]);
    ConsolePrintf("\n    Spun Down Period To Start APM Test: ");
    ConsolePrintf("Days: %d ", pb[ARRAY_TEST_DAYS]);
    ConsolePrintf("Hours: %d\n", pb[ARRAY_TEST_HOURS]);
    ConsolePrintf("\nTime to next functional verification: \n");
    if (bGetArrayAPMState(a) != APM_SPUN_DOWN) {
        ConsolePrintf("       APM test will be scheduled once drives are spun down\n");
    } else {
        uint32_t d = 0, h = 0, mi = 0, s = 0;
        GetArrayTimeToNextAPMTest(&d, &h, &mi, &s, a);
        ConsolePrintf("       Days: %d   Hours: %d   Minutes: %d Seconds %d\n", d, h, mi, s);
    }
    WaitForAnyKeyThen(ApmLevel2ConfigurationMenu);
}

// The array being edited, between the dialogue's lines.
uint8_t s_bEditArray = 0;

enum : uint8_t {
    ARRAY_STEP_SELECT,
    ARRAY_STEP_TEST,
    ARRAY_STEP_SPIN,
    ARRAY_STEP_IDLE_HOURS,
    ARRAY_STEP_IDLE_MINUTES,
    ARRAY_STEP_TEST_DAYS,
    ARRAY_STEP_TEST_HOURS,
};

void ArrayEditDone(const char* pszText) { ShowResult(pszText, ApmLevel2ConfigurationMenu); }

void AskArrayStep(uint8_t bStep) {
    Menu().bMenuStep = bStep;
    switch (bStep) {
    case ARRAY_STEP_TEST:
        ConsolePrintf("\n Spin Down and Schedule Test Cycle For The Array (Y or N, <cr> = Y): ");
        break;
    case ARRAY_STEP_SPIN: ConsolePrintf(" Spin Down Down The Array (Y or N, <cr> = Y): "); break;
    case ARRAY_STEP_IDLE_HOURS: ConsolePrintf(" Select Idle Hours for The Array Spin Down (0-23): "); break;
    case ARRAY_STEP_IDLE_MINUTES: ConsolePrintf(" Select Idle Minutes for The Array Spin Down (0-59): "); break;
    case ARRAY_STEP_TEST_DAYS: ConsolePrintf(" Select Spun Down Days For The Array Test (0-30): "); break;
    case ARRAY_STEP_TEST_HOURS: ConsolePrintf(" Select Spun Down Hours For The Array Test (0-23): "); break;
    default: break;
    }
    AwaitTypedAnswer();
}

void ConfigureArrayApmMenu() {
    MENU_STATE& m = Menu();
    if (m.lMenuPath != PATH_ARRAY_EDIT) return ShowArrayPrompt(CONFIGURE_ARRAY);
    const uint8_t a = s_bEditArray;
    uint8_t* pb = pbArrayRecord(a);
    uint32_t d = 0;
    switch (m.bMenuStep) {
    case ARRAY_STEP_SELECT:
        if (!ReadArray(CONFIGURE_ARRAY, &s_bEditArray)) return;
        return AskArrayStep(ARRAY_STEP_TEST);
    case ARRAY_STEP_TEST: {
        uint16_t w = static_cast<uint16_t>(wArrayOptions(a) & ~(ARRAY_APM_MANUAL | ARRAY_APM_SPIN_DOWN));
        w = AnsweredYes() ? static_cast<uint16_t>(w | ARRAY_APM_SPIN_DOWN_AND_TEST)
                          : static_cast<uint16_t>(w & ~ARRAY_APM_SPIN_DOWN_AND_TEST);
        SetArrayOptions(a, w);
        SetConfigModified(TRUE);
        if ((w & ARRAY_APM_SPIN_DOWN_AND_TEST) != 0) return AskArrayStep(ARRAY_STEP_IDLE_HOURS);
        return AskArrayStep(ARRAY_STEP_SPIN);
    }
    case ARRAY_STEP_SPIN: {
        const uint16_t w = AnsweredYes() ? static_cast<uint16_t>(wArrayOptions(a) | ARRAY_APM_SPIN_DOWN)
                                         : static_cast<uint16_t>(wArrayOptions(a) & ~ARRAY_APM_SPIN_DOWN);
        SetArrayOptions(a, w);
        if (w == 0) {
            std::memset(pb + ARRAY_TEST_DAYS, 0, 4);
            return ArrayEditDone("\n\nSave Configuration to clear APM settings for this array\n");
        }
        MarkSettingsPresent(TRUE);
        return AskArrayStep(ARRAY_STEP_IDLE_HOURS);
    }
    case ARRAY_STEP_IDLE_HOURS:
        if (!ReadNumber(23, &d)) return ArrayEditDone("\nInvalid answer\n\n");
        pb[ARRAY_IDLE_HOURS] = static_cast<uint8_t>(d);
        return AskArrayStep(ARRAY_STEP_IDLE_MINUTES);
    case ARRAY_STEP_IDLE_MINUTES:
        if (!ReadNumber(59, &d)) return ArrayEditDone("\nInvalid answer\n\n");
        pb[ARRAY_IDLE_MINUTES] = static_cast<uint8_t>(d);
        if ((wArrayOptions(a) & ARRAY_APM_SPIN_DOWN_AND_TEST) != 0) return AskArrayStep(ARRAY_STEP_TEST_DAYS);
        return ArrayEditDone("\n\nPlease Exit And Save Configuration\n");
    case ARRAY_STEP_TEST_DAYS:
        if (!ReadNumber(30, &d)) return ArrayEditDone("\nInvalid answer\n\n");
        pb[ARRAY_TEST_DAYS] = static_cast<uint8_t>(d);
        return AskArrayStep(ARRAY_STEP_TEST_HOURS);
    case ARRAY_STEP_TEST_HOURS:
        if (!ReadNumber(23, &d)) return ArrayEditDone("\nInvalid answer\n\n");
        pb[ARRAY_TEST_HOURS] = static_cast<uint8_t>(d);
        return ArrayEditDone("\n\nPlease Exit And Save Configuration\n");
    default: ApmLevel2ConfigurationMenu(); return;
    }
}

void SpinDownArrayApmMenu() {
    if (Menu().lMenuPath != PATH_ARRAY_SPIN_DOWN) return ShowArrayPrompt(SPIN_DOWN_ARRAY);
    uint8_t a = 0;
    if (!ReadArray(SPIN_DOWN_ARRAY, &a)) return;
    if ((wArrayOptions(a) & (ARRAY_APM_SPIN_DOWN | ARRAY_APM_SPIN_DOWN_AND_TEST)) == 0) {
        SetArrayOptions(a, ARRAY_APM_MANUAL);
        std::memset(pbArrayRecord(a) + ARRAY_TEST_DAYS, 0, 4);
        MarkSettingsPresent(TRUE);
        return ArrayEditDone("Array will be schedule for spin down only if you save configuration !!!\n");
    }
    uint8_t bStatus = 0;
    if (fIsMasterController() == TRUE) {
        bStatus = bScheduleArraySpinDown(a);
    } else {
        SendToMaster();
        bStatus = bAskMaster(SUB_ARRAY_SPIN, 0, a, 0);
        if (bStatus != STATUS_OK) {
            return ArrayEditDone("\n\nError sending array spin up command to master controller\n");
        }
    }
    if (bStatus == STATUS_OK) {
        ConsolePrintf("\nArray %d will be spun down in few minutes if it doesn't receive any I/O\n\n", a);
    } else {
        ConsolePrintf("\nArray %d cannot be spun down now\n\n", a);
    }
    WaitForAnyKeyThen(ApmLevel2ConfigurationMenu);
}

void SpinUpArrayApmMenu() {
    if (Menu().lMenuPath != PATH_ARRAY_SPIN_UP) return ShowArrayPrompt(SPIN_UP_ARRAY);
    uint8_t a = 0;
    if (!ReadArray(SPIN_UP_ARRAY, &a)) return;
    if (fIsMasterController() == TRUE) {
        if (bSpinArrayUpDown(TRUE, a) != STATUS_OK) {
            ConsolePrintf("\nArray %d cannot be spun up now\n\n", a);
            return WaitForAnyKeyThen(ApmLevel2ConfigurationMenu);
        }
    } else {
        SendToMaster();
        if (bAskMaster(SUB_ARRAY_SPIN, 1, a, 0) != STATUS_OK) {
            return ArrayEditDone("\n\nError sending array spin up command to master controller\n");
        }
    }
    SetRankLastAccessTime(a);
    if ((wArrayOptions(a) & ARRAY_APM_MANUAL) != 0) {
        SetArrayOptions(a, static_cast<uint16_t>(wArrayOptions(a) & ~ARRAY_APM_MANUAL));
        SetConfigModified(TRUE);
        ConsolePrintf("Please save the configuration if you want to remove the array from manual APM control\n");
    }
    WaitForAnyKeyThen(ApmLevel2ConfigurationMenu);
}

void ApmLevel2ConfigurationMenu() {
    if (Menu().lMenuPath != PATH_LEVEL2_CONFIGURATION) {
        ShowOptions(ApmLevel2ConfigurationMenu, PATH_LEVEL2_CONFIGURATION, CONFIGURATION_TITLE,
                    {"View APM Level 2 Configuration Options", "Edit APM Level 2 Configuration Options",
                     "Manually Spin Down an Array", "Manually Spin Up an Array"},
                    0x1F);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: ViewArrayApmSettingsMenu(); break;
    case 1u << 2: ConfigureArrayApmMenu(); break;
    case 1u << 3: SpinDownArrayApmMenu(); break;
    case 1u << 4: SpinUpArrayApmMenu(); break;
    default: ApmConfigurationMenu(); break;
    }
}

// ---- level 1 diagnostics: the drives ----

// On a controller that is not master the status screens show the master's
// power marks: asked for, the screen waits (keys are held) until they came.
void AwaitingMasterMasks() {}

MENU_FUNCTION pfnStatusReturn(uint8_t bSubOperation) {
    return bSubOperation == APM_SUB_DRIVE_MASKS ? ApmLevel1DiagnosticMenu : ApmLevel2DiagnosticMenu;
}

void ShowStatus(uint8_t bSubOperation) {
    if (bSubOperation == APM_SUB_DRIVE_MASKS) {
        ShowDriveAPMStatus();
    } else {
        ShowArrayAPMStatus();
    }
}

void StatusScreen(uint8_t bSubOperation) {
    if (fIsMasterController() == TRUE) {
        ShowStatus(bSubOperation);
        WaitForAnyKeyThen(pfnStatusReturn(bSubOperation));
        return;
    }
    ConsolePrintf("Requesting data from other controller, please wait...\n\n");
    if (bRequestMasterAPMMasks(bSubOperation) != STATUS_OK) {
        ConsolePrintf("Request failed, please retry again!\n\n");
        WaitForAnyKeyThen(pfnStatusReturn(bSubOperation));
        return;
    }
    SetOptionEntryMode(FALSE);
    Menu().pfnCurrentMenu = AwaitingMasterMasks;
    SetPartnerRequestPending(TRUE);
}

void ShowDriveStatusScreen() {
    Menu().lMenuPath = PATH_DRIVE_STATUS;
    ConsolePrintf(" \nView Disk Drive APM Status \n\n");
    StatusScreen(APM_SUB_DRIVE_MASKS);
}

// A spin or test screen: the group it lists and its texts.
struct DRIVE_SCREEN {
    uint8_t bGroup;
    const char* pszTitle;
    const char* pszEmpty;
    uint8_t fUnusedNumbers;   // rows as "%03d " rather than "%02d  "
};

struct DRIVE_CHOICE {
    uint8_t bGroup;
    uint8_t fSpinUp;
    uint8_t fTest;
};
DRIVE_CHOICE s_sChoice = {0, FALSE, FALSE};
uint8_t s_aabGroup[DRIVE_INFO_RECORDS][8];
uint8_t s_bGroupCount = 0;

constexpr uint64_t PATH_DRIVE_CHOICE = 0x12B1F;

void DriveChoiceMenu();

// Lists the group and asks for a drive; an empty group ends the screen.
void ShowDriveChoice(const DRIVE_SCREEN& s, const char* pszPrompt, DRIVE_CHOICE sChoice) {
    s_sChoice = sChoice;
    ConsolePrintText(s.pszTitle);
    s_bGroupCount = bGetAPMGroupDrives(s.bGroup, s_aabGroup, DRIVE_INFO_RECORDS);
    if (s_bGroupCount == 0) {
        ConsolePrintText(s.pszEmpty);
        return WaitForAnyKeyThen(ApmLevel1DiagnosticMenu);
    }
    ShowDriveListHeader(TRUE);
    for (uint8_t i = 0; i < s_bGroupCount; ++i) {
        ConsolePrintf(s.fUnusedNumbers == TRUE ? "%03d " : "%02d  ", i);
        (void)ShowDriveListEntry(s_aabGroup[i], TRUE);
        ConsolePrintf("\n");
    }
    ConsolePrintText(pszPrompt);
    EnterMenu(DriveChoiceMenu, PATH_DRIVE_CHOICE);
    AwaitTypedAnswer();
}

void Level1DiagnosticDone(const char* pszText) { ShowResult(pszText, ApmLevel1DiagnosticMenu); }

void SpinChosenDrive(uint8_t e, uint8_t sl) {
    const uint8_t fUp = s_sChoice.fSpinUp;
    ConsolePrintf(fUp == TRUE ? "Spinning up drive " : "Spinning down drive ");
    ConsolePrintf("in enclosure no %d and slot no %d\n", e, sl);
    if (fIsMasterController() == TRUE) {
        if (bStartStopDrive(e, sl, fUp, FALSE, nullptr) != STATUS_OK) {
            return Level1DiagnosticDone("\n\nError sending Start/Stop command to drive\n");
        }
    } else {
        SendToMaster();
        if (bAskMaster(SUB_DRIVE_SPIN, e, sl, fUp == TRUE ? 1 : 0) != STATUS_OK) {
            return Level1DiagnosticDone("\n\nError sending Start/Stop command to master controller\n");
        }
    }
    // A started drive takes seconds to come up: it is spinning up until it
    // answers TEST UNIT READY.
    if (fUp == TRUE) {
        WatchDriveSpinUp(e, sl);
    } else {
        MarkDriveSpunDown(e, sl);
    }
    WaitForAnyKeyThen(ApmLevel1DiagnosticMenu);
}

void TestChosenDrive(uint8_t e, uint8_t sl) {
    if (fIsMasterController() == TRUE) {
        if (bStartDriveFunctionalVerify(e, sl, VERIFY_KIND_LEVEL1) != STATUS_OK) {
            return Level1DiagnosticDone("\n\nError sending SendDiagnotic command to drive\n");
        }
    } else {
        SendToMaster();
        if (bAskMaster(SUB_DRIVE_TEST, e, sl, 0) != STATUS_OK) {
            return Level1DiagnosticDone("\n\nError sending Send Diagnotic command to master controller\n");
        }
        SetDriveAPMTestBit(e, sl);
    }
    WaitForAnyKeyThen(ApmLevel1DiagnosticMenu);
}

void DriveChoiceMenu() {
    uint32_t d = 0;
    if (bParseMenuNumber(&d) != PARSE_VALUE || d >= s_bGroupCount) {
        ConsolePrintf("\nInvalid answer: %d \n\n", d);
        return WaitForAnyKeyThen(ApmLevel1DiagnosticMenu);
    }
    DRIVE_INFO* ps = nullptr;
    uint8_t bIndex = 0;
    if (fFindDriveByWWN(s_aabGroup[d], &ps, &bIndex) != TRUE) {
        if (s_sChoice.fTest == TRUE) {
            ConsolePrintf(s_sChoice.bGroup == APM_GROUP_SPARES ? "\nFailed getting drive info for hot spare drive %d\n"
                                                               : "\nFailed getting drive info for unused drive %d\n",
                          d);
        } else {
            ConsolePrintf("\nFailed getting drive info\n");
        }
        return WaitForAnyKeyThen(ApmLevel1DiagnosticMenu);
    }
    if (s_sChoice.fTest == TRUE) return TestChosenDrive(ps->bEnclosureNo, ps->bSlotNo);
    SpinChosenDrive(ps->bEnclosureNo, ps->bSlotNo);
}

// Option 4, which the mask does not admit, is the debug command that spins
// every unused drive.
void RunDriveSpinMenu(MENU_FUNCTION pfnSelf, uint64_t lPath, uint8_t fSpinUp) {
    if (Menu().lMenuPath != lPath) {
        ShowOptions(pfnSelf, lPath, fSpinUp == TRUE ? "Manually Spin Up A Drive" : "Manually Spin Down A Drive",
                    {fSpinUp == TRUE ? "Spin Up Hot Spare Drive" : "Spin Down Hot Spare Drive",
                     fSpinUp == TRUE ? "Spin Up Unused Drive" : "Spin Down Unused Drive",
                     fSpinUp == TRUE ? "Spin Up Failed Drive" : "Spin Down Failed Drive"},
                    0xF);
        return;
    }
    const char* pszPrompt = fSpinUp == TRUE ? "\n\nSelect the drive number to spin up: "
                                            : "\n\nSelect the drive number to spin down: ";
    switch (wGetSelectedOption()) {
    case 1u << 1: {
        const DRIVE_SCREEN s = {APM_GROUP_SPARES,
                                fSpinUp == TRUE ? "\nManually Spin Up A Hot Spare Drive\n\n"
                                                : "\nManually Spin Down A Hot Spare Drive\n\n",
                                "No Hot Spare Drives Configured!\n\n", FALSE};
        return ShowDriveChoice(s, pszPrompt, {APM_GROUP_SPARES, fSpinUp, FALSE});
    }
    case 1u << 2: {
        const DRIVE_SCREEN s = {APM_GROUP_UNUSED,
                                fSpinUp == TRUE ? "\nManually Spin Up An Unused Drive\n"
                                                : "\nManually Spin Down An Unused Drive\n",
                                "\nNo unused drives currently available\n", TRUE};
        return ShowDriveChoice(s, pszPrompt, {APM_GROUP_UNUSED, fSpinUp, FALSE});
    }
    case 1u << 3: {
        // The title of a failed drive's spin-up is the spin-down one's.
        const DRIVE_SCREEN s = {APM_GROUP_FAILED, "\nManually Spin Down A Failed Drive\n\n",
                                "No Failed Drives Found!\n\n", FALSE};
        return ShowDriveChoice(s, pszPrompt, {APM_GROUP_FAILED, fSpinUp, FALSE});
    }
    case ALL_UNUSED_OPTION:
        if (fIsMasterController() == TRUE) {
            ConsolePrintf(fSpinUp == TRUE ? "Spinning up all unused drives\n\n" : "Spinning down all unused drives\n\n");
            (void)bSpinUnusedDrives(fSpinUp == TRUE ? 1 : 0);
        } else {
            ConsolePrintf("This debug command works only on master controller\n\n");
        }
        return WaitForAnyKeyThen(pfnSelf);
    default: ApmLevel1DiagnosticMenu(); return;
    }
}

void DriveSpinUpMenu() { RunDriveSpinMenu(DriveSpinUpMenu, PATH_DRIVE_SPIN_UP, TRUE); }
void DriveSpinDownMenu() { RunDriveSpinMenu(DriveSpinDownMenu, PATH_DRIVE_SPIN_DOWN, FALSE); }

void FunctionalTestMenu() {
    if (Menu().lMenuPath != PATH_FUNCTIONAL_TEST) {
        ShowOptions(FunctionalTestMenu, PATH_FUNCTIONAL_TEST, "Initiate A Functional Test",
                    {"Initiate A Background Functional Test Of A Hot Spare Drive",
                     "Initiate A Background Functional Test Of An Unused Drive"},
                    0x7);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: {
        const DRIVE_SCREEN s = {APM_GROUP_SPARES, "\nPerform Selftest Of A Hot Spare Drive\n\n",
                                "No Hot Spare Drives Configured!\n\n", FALSE};
        return ShowDriveChoice(s, "\n\nSelect the drive number to test: ", {APM_GROUP_SPARES, FALSE, TRUE});
    }
    case 1u << 2: {
        const DRIVE_SCREEN s = {APM_GROUP_UNUSED, "\nPerform Selftest Of An Unused Drive\n\n",
                                "No Unused Drives Available!\n\n", TRUE};
        return ShowDriveChoice(s, "\n\nSelect Unused Drive Number To Test: ", {APM_GROUP_UNUSED, FALSE, TRUE});
    }
    default: ApmLevel1DiagnosticMenu(); return;
    }
}

void ApmLevel1DiagnosticMenu() {
    if (Menu().lMenuPath != PATH_LEVEL1_DIAGNOSTIC) {
        ShowOptions(ApmLevel1DiagnosticMenu, PATH_LEVEL1_DIAGNOSTIC, DIAGNOSTIC_TITLE,
                    {"View Drive APM Status", "Manually Spin Up A Drive", "Manually Spin Down A Drive",
                     "Manually Initiate A Functional Verification Of A Drive"},
                    0x1F);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: ShowDriveStatusScreen(); break;
    case 1u << 2: DriveSpinUpMenu(); break;
    case 1u << 3: DriveSpinDownMenu(); break;
    case 1u << 4: FunctionalTestMenu(); break;
    default: ApmDiagnosticMenu(); break;
    }
}

// ---- level 2 diagnostics: the arrays ----

void ShowArrayStatusScreen() {
    Menu().lMenuPath = PATH_ARRAY_STATUS;
    ConsolePrintf(" \nView Array APM Status \n\n");
    StatusScreen(APM_SUB_ARRAY_MASKS);
}

void ArrayApmTestMenu() {
    if (Menu().lMenuPath != PATH_ARRAY_TEST) return ShowArrayPrompt(TEST_ARRAY);
    uint8_t a = 0;
    if (!ReadArray(TEST_ARRAY, &a)) return;
    if (fIsMasterController() == TRUE) {
        if (bStartArraySpinUp(a) == STATUS_OK) {
            ConsolePrintf("\nArray %d APM Test will begin shortly\n", a);
        } else {
            ConsolePrintf("\n\nScheduling array APM test failed due to error\n");
        }
        return WaitForAnyKeyThen(ApmLevel2DiagnosticMenu);
    }
    SendToMaster();
    if (bAskMaster(SUB_ARRAY_TEST, a, 0, 0) != STATUS_OK) {
        ConsolePrintf("\n\nError sending array spin up command to master controller\n");
        return WaitForAnyKeyThen(ApmLevel2DiagnosticMenu);
    }
    ApmLevel2DiagnosticMenu();
}

void ApmLevel2DiagnosticMenu() {
    if (Menu().lMenuPath != PATH_LEVEL2_DIAGNOSTIC) {
        ShowOptions(ApmLevel2DiagnosticMenu, PATH_LEVEL2_DIAGNOSTIC, DIAGNOSTIC_TITLE,
                    {"View Array APM Status", "Manually Initiate A Functional Verification Of an Array"}, 0x7);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: ShowArrayStatusScreen(); break;
    case 1u << 2: ArrayApmTestMenu(); break;
    default: ApmDiagnosticMenu(); break;
    }
}

}  // namespace

void ApmConfigurationMenu() {
    if (Menu().lMenuPath != PATH_APM_CONFIGURATION) {
        ShowOptions(ApmConfigurationMenu, PATH_APM_CONFIGURATION, CONFIGURATION_TITLE,
                    {"Level 1 Power Management Configuration", "Level 2 Power Management Configuration"}, 0x7);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: ApmLevel1ConfigurationMenu(); break;
    case 1u << 2: ApmLevel2ConfigurationMenu(); break;
    default: ConfigurationMenu(); break;
    }
}

void ApmDiagnosticMenu() {
    if (Menu().lMenuPath != PATH_APM_DIAGNOSTIC) {
        ShowOptions(ApmDiagnosticMenu, PATH_APM_DIAGNOSTIC, DIAGNOSTIC_TITLE,
                    {"Level 1 Power Management Diagnostic", "Level 2 Power Management Diagnostic"}, 0x7);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: ApmLevel1DiagnosticMenu(); break;
    case 1u << 2: ApmLevel2DiagnosticMenu(); break;
    default: DiagnosticsMenu(); break;
    }
}

// The master's marks came (or did not) for a status screen that waits.
void OnMasterAPMMasks(uint8_t bSubOperation, uint8_t bStatus) {
    if (Menu().pfnCurrentMenu != AwaitingMasterMasks) return;
    SetPartnerRequestPending(FALSE);
    if (bStatus == STATUS_OK) {
        ShowStatus(bSubOperation);
    } else {
        ConsolePrintf("Request failed, please retry again!\n\n");
    }
    WaitForAnyKeyThen(pfnStatusReturn(bSubOperation));
}

}  // namespace fw
