// The Rebuild/Initialization Configuration Menu and the screens below it:
// the hot spares, Auto Rebuild and Auto Hot Spare, and the rebuild and
// initialisation priorities.  Every answer lands in the scratch image;
// nothing takes effect before the configuration is saved.
#include <cstring>

#include "config/config_image.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/spares_wwn.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_screens.h"
#include "console/menu_tree.h"
#include "enclosure/drive_list_display.h"
#include "enclosure/drive_table.h"
#include "eventlog/config_dump.h"
#include "executive/console_output.h"
#include "executive/port_codes.h"
#include "executive/types.h"

namespace fw {

namespace {

constexpr uint64_t PATH_REBUILD = 0x115;
constexpr uint64_t PATH_ADD_SPARES = 0x1152;
constexpr uint64_t PATH_SELECT_SPARES = 0x11522;
constexpr uint64_t PATH_DELETE_SPARES = 0x1153;
constexpr uint64_t PATH_AUTO_REBUILD = 0x1154;
constexpr uint64_t PATH_REBUILD_PRIORITY = 0x1155;
constexpr uint64_t PATH_AUTO_HOT_SPARE = 0x1156;
constexpr uint64_t PATH_INIT_PRIORITY = 0x1157;

constexpr uint8_t PRIORITY_LOWEST = 10;
constexpr uint8_t PRIORITY_HIGHEST = 90;
constexpr uint8_t PRIORITY_SHOWN_WHEN_UNSET = 50;

// The selection list in the configuration work buffer: a count, then the
// drive-port column and the identifier column.
constexpr uint32_t WORK_BUFFER_SPARE_SELECTION = 18432;

// The dialogue's steps of the spare selection (bMenuStep).
constexpr uint8_t STEP_ADD_DRIVE = 0;
constexpr uint8_t STEP_CONTINUE = 1;
constexpr uint8_t STEP_COMMIT = 2;

MENU_STATE& Menu() { return *psGetMenuState(); }
CONFIG_IMAGE& Scratch() { return *pGetScratchConfigImage(); }
CONFIG_HEADER& Header() { return Scratch().sHeader; }
uint8_t bUnusedDrives() { return bGetSpareDriveTableCount(); }
uint8_t* pbSelection() { return pGetConfigWorkBuffer() + WORK_BUFFER_SPARE_SELECTION; }

void AddHotSpareMenu();
void SelectHotSpareDrives();

// --- adding spares ------------------------------------------------------------

void ShowSparesAdded(const char* pszAdded, const char* pszNone, uint8_t bAdded) {
    if (bAdded != 0) {
        ConsolePrintf(pszAdded, bAdded);
        SetConfigModified(TRUE);
    } else {
        ConsolePrintText(pszNone);
    }
    WaitForAnyKeyThen(RebuildConfigMenu);
}

void DriveError(MENU_FUNCTION pfnNext) { ShowResult("\n\nError displaying drive information\n", pfnNext); }

// The n-th unused drive and whether its WWN stands in the failed-drive list.
DRIVE_INFO* psUnusedDrive(uint8_t bIndex) {
    DRIVE_INFO* psDrive = nullptr;
    uint8_t bRecord = 0;
    return fFindDriveByLoopIDMapped(bIndex, &psDrive, &bRecord) == TRUE ? psDrive : nullptr;
}
bool IsFailed(const DRIVE_INFO* psDrive) { return fIsDriveWwnFailed(psDrive->abWWN) == TRUE; }

// Offers the n-th unused drive; the first has the list's header above it.
void OfferDrive(uint8_t bIndex) {
    const DRIVE_INFO* psDrive = psUnusedDrive(bIndex);
    if (psDrive == nullptr) {
        DriveError(AddHotSpareMenu);
        return;
    }
    if (bIndex == 0) ShowDriveListHeader(FALSE);
    ConsolePrintf("%03d ", bIndex);
    if (ShowDriveListEntry(psDrive->abWWN, FALSE) != STATUS_OK) {
        DriveError(bIndex == 0 ? RebuildConfigMenu : AddHotSpareMenu);
        return;
    }
    // An empty line takes a good drive and passes over a failed one.
    ConsolePrintText(IsFailed(psDrive) ? " FL\nAdd this Disk Drive? (Y or N, <CR> = N): "
                                       : " OK\nAdd this Disk Drive? (Y or N, <CR> = Y): ");
    AwaitTypedAnswer();
}

void CommitSelection() {
    ShowSparesAdded("\n%02d Hot Spare Drives Added\n\n", "\nNo Hot Spare Drives Added\n\n",
                    AssignSelectedDrivesAsSpares(nullptr));
}

void ShowSelectHotSpareDrives() {
    BeginScreen(SelectHotSpareDrives, PATH_SELECT_SPARES, "Add Hot Spare Configuration Menu");
    SetMenuSelection(0);
    SetMenuController(0);
    pbSelection()[0] = 0;
    ConsolePrintf("\nSelect Hot Spare Disk Drives -- 00 of %02d Disk Drives Added\n\n", bUnusedDrives());
    OfferDrive(0);
}

// The drive's port and identifier from the unused-drive table: drive port 3
// when it has one there, else port 4.
void AppendToSelection(uint8_t bIndex) {
    const DRIVE_SLOT_TABLES* psSlots = pGetDriveSlotTables();
    uint8_t* pbList = pbSelection();
    const uint8_t k = pbList[0];
    if (k >= DRIVE_SLOTS || bIndex >= DRIVE_SLOTS) return;
    const bool fPort3 = psSlots->abDrive[bIndex] != 0xFF;
    pbList[1 + k] = fPort3 ? PORT_CODE_DRIVE_LOOP_3 : PORT_CODE_DRIVE_LOOP_4;
    pbList[1 + DRIVE_SLOTS + k] = fPort3 ? psSlots->abDrive[bIndex] : psSlots->abDriveAlt[bIndex];
    pbList[0] = static_cast<uint8_t>(k + 1);
}

void TakeDriveAnswer() {
    const uint8_t bIndex = bGetMenuSelection();
    const DRIVE_INFO* psDrive = psUnusedDrive(bIndex);
    if (psDrive == nullptr) {
        DriveError(RebuildConfigMenu);
        return;
    }
    const uint8_t bAnswer = bParseYesNo();
    if (bAnswer == TRUE || (bAnswer == PARSE_EMPTY && !IsFailed(psDrive))) {
        AppendToSelection(bIndex);
        SetMenuController(static_cast<uint8_t>(bGetMenuController() + 1));
        BeginCountLineRewrite();
        ConsolePrintf("Select Hot Spare Disk Drives -- %02d of %02d Disk Drives Added\n\n", bGetMenuController(),
                      bUnusedDrives());
        EndCountLineRewrite();
    } else {
        EraseAnswerLine();
    }
    const uint8_t bNext = static_cast<uint8_t>(bIndex + 1);
    SetMenuSelection(bNext);
    if (bGetMenuController() >= bUnusedDrives() || bNext >= bUnusedDrives()) {
        CommitSelection();
        return;
    }
    ConsolePrintText("Continue adding disk drives? (Y or N, <CR> = Y): ");
    Menu().bMenuStep = STEP_CONTINUE;
    AwaitTypedAnswer();
}

void TakeContinueAnswer() {
    const uint8_t bAnswer = bParseYesNo();
    if (bAnswer == TRUE || bAnswer == PARSE_EMPTY) {
        EraseContinueQuestion();
        Menu().bMenuStep = STEP_ADD_DRIVE;
        OfferDrive(bGetMenuSelection());
        return;
    }
    ConsolePrintText("\n\n");
    Menu().bMenuStep = STEP_COMMIT;
    WaitForAnyKeyThen(SelectHotSpareDrives);
}

void SelectHotSpareDrives() {
    if (Menu().lMenuPath != PATH_SELECT_SPARES) {
        ShowSelectHotSpareDrives();
        return;
    }
    switch (Menu().bMenuStep) {
    case STEP_ADD_DRIVE: TakeDriveAnswer(); break;
    case STEP_CONTINUE: TakeContinueAnswer(); break;
    default: CommitSelection(); break;
    }
}

void AddHotSpareMenu() {
    if (Menu().lMenuPath != PATH_ADD_SPARES) {
        EnterMenu(AddHotSpareMenu, PATH_ADD_SPARES);
        if (Header().wSpareCount >= MAX_SPARES) {
            ConsolePrintf("\nMaximum hot spare count reached (%02d)\n\n", unsigned(MAX_SPARES));
            WaitForAnyKeyThen(RebuildConfigMenu);
        } else if (bUnusedDrives() == 0) {
            ShowResult("\nNo unused drives available for configuration\n\n", RebuildConfigMenu);
        } else {
            BeginScreen(AddHotSpareMenu, PATH_ADD_SPARES, "Add Hot Spare Configuration Menu");
            ConsolePrintText("1.  Add All Unused Drives\n2.  Select Drives to Add\n\n0.  Exit\n\n");
            EndOptionScreen(0x07);
        }
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1:
        ShowSparesAdded("%02d Hot Spare Drives Added\n\n", "No Hot Spare Drives Added\n\n",
                        AssignUnusedDrivesAsSpares(nullptr));
        break;
    case 1u << 2: SelectHotSpareDrives(); break;
    default: RebuildConfigMenu(); break;
    }
}

// --- deleting spares ----------------------------------------------------------

void DeleteHotSpares() {
    if (Menu().lMenuPath != PATH_DELETE_SPARES) {
        EnterMenu(DeleteHotSpares, PATH_DELETE_SPARES);
        if (Header().wSpareCount == 0) {
            ShowResult("\nNo Hot Spare Drives Configured\n\n", RebuildConfigMenu);
            return;
        }
        ConsolePrintText("Confirm deletion of all Hot Spare Drives (Y or N): ");
        AwaitTypedAnswer();
        return;
    }
    if (bParseYesNo() != TRUE) {
        ShowResult("\nNo change to hot spares\n\n", RebuildConfigMenu);
        return;
    }
    ConsolePrintText("\nAll hot spare drives removed\n\n");
    DeleteAllSpares(&Scratch());
    SetConfigModified(TRUE);
    WaitForAnyKeyThen(RebuildConfigMenu);
}

// --- the switches ---------------------------------------------------------------

void AutoRebuildMenu() {
    static const TOGGLE_SCREEN s{"Auto Rebuild Configuration Menu",
                                 PATH_AUTO_REBUILD,
                                 "\nAuto Rebuild is currently enabled\n",
                                 "\nAuto Rebuild is currently disabled\n",
                                 "Enable Auto Rebuild? (Y or N): ",
                                 "\nAuto Rebuild Enabled\n\n",
                                 "\nAuto Rebuild Disabled\n\n",
                                 RebuildConfigMenu};
    RunToggleScreen(AutoRebuildMenu, s, &Header().fAutoRebuild);
}

void AutoHotSpareMenu() {
    static const TOGGLE_SCREEN s{"Auto Hot Spare Configuration Menu",
                                 PATH_AUTO_HOT_SPARE,
                                 "\nAuto Hot Spare is Currently Enabled\n",
                                 "\nAuto Hot Spare is Currently Disabled\n",
                                 "Enable Auto Hot Spare? (Y or N): ",
                                 "\nAuto Hot Spare Enabled\n\n",
                                 "\nAuto Hot Spare Disabled\n\n",
                                 RebuildConfigMenu};
    RunToggleScreen(AutoHotSpareMenu, s, &Header().fAutoHotSpare);
}

// --- the priorities ---------------------------------------------------------------

struct PRIORITY_SCREEN {
    const char* pszTitle;
    uint64_t lPath;
    const char* pszCurrent;
    const char* pszChanged;
    uint8_t CONFIG_HEADER::*pbSetting;
};

bool IsPriority(uint32_t d) { return d >= PRIORITY_LOWEST && d <= PRIORITY_HIGHEST; }

void RunPriorityScreen(MENU_FUNCTION pfnSelf, const PRIORITY_SCREEN& s, bool fInit) {
    uint8_t& bSetting = Header().*s.pbSetting;
    if (Menu().lMenuPath != s.lPath) {
        BeginScreen(pfnSelf, s.lPath, s.pszTitle);
        ConsolePrintf(s.pszCurrent, IsPriority(bSetting) ? bSetting : PRIORITY_SHOWN_WHEN_UNSET);
        if (fInit) {
            ConsolePrintf("New Initialization Priority(%02d - %02d): ", PRIORITY_LOWEST, PRIORITY_HIGHEST);
        } else {
            ConsolePrintText("New Rebuild Priority(10 - 90): ");
        }
        AwaitTypedAnswer();
        return;
    }
    uint32_t dValue = 0;
    const uint8_t bResult = bParseMenuNumber(&dValue);
    if (bResult == PARSE_EMPTY) {
        ShowResult("\nNo Change\n\n", RebuildConfigMenu);
        return;
    }
    if (bResult != PARSE_VALUE || !IsPriority(dValue)) {
        ShowResult("\nInvalid selection\n\n", RebuildConfigMenu);
        return;
    }
    // The same value again is reported, but leaves the image unedited.
    if (bSetting != dValue) {
        bSetting = static_cast<uint8_t>(dValue);
        SetConfigModified(TRUE);
    }
    ConsolePrintf(s.pszChanged, unsigned(dValue));
    WaitForAnyKeyThen(RebuildConfigMenu);
}

void RebuildPriorityMenu() {
    static const PRIORITY_SCREEN s{"Rebuild Priority Configuration Menu", PATH_REBUILD_PRIORITY,
                                   "\nCurrent Rebuild Priority: %02d %%\n", "\nRebuild Priority Changed to %2d %%\n\n",
                                   &CONFIG_HEADER::bRebuildPriority};
    RunPriorityScreen(RebuildPriorityMenu, s, false);
}

void InitPriorityMenu() {
    static const PRIORITY_SCREEN s{"Initialization Priority Configuration Menu", PATH_INIT_PRIORITY,
                                   "\nCurrent Initialization Priority: %02d %%\n",
                                   "\nInitialization Priority Changed to %2d %%\n\n", &CONFIG_HEADER::bInitPriority};
    RunPriorityScreen(InitPriorityMenu, s, true);
}

}  // namespace

// --- the menu itself ------------------------------------------------------------------

void RebuildConfigMenu() {
    if (Menu().lMenuPath != PATH_REBUILD) {
        BeginScreen(RebuildConfigMenu, PATH_REBUILD, "Rebuild/Initialization Configuration Menu");
        ConsolePrintText("1.  View Hot Spare Drives\n"
                         "2.  Add Hot Spare Drives\n"
                         "3.  Delete Hot Spare Drives\n"
                         "4.  Set Auto Rebuild\n"
                         "5.  Set Rebuild Priority\n"
                         "6.  Set Auto Hot Spare\n"
                         "7.  Set Initialization Priority\n"
                         "\n0.  Exit\n\n");
        EndOptionScreen(0xFF);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: StartMenuDump(PATH_REBUILD * 16 + 1, RebuildConfigMenu, CONFIG_DUMP_SPARES); break;
    case 1u << 2: AddHotSpareMenu(); break;
    case 1u << 3: DeleteHotSpares(); break;
    case 1u << 4: AutoRebuildMenu(); break;
    case 1u << 5: RebuildPriorityMenu(); break;
    case 1u << 6: AutoHotSpareMenu(); break;
    case 1u << 7: InitPriorityMenu(); break;
    default: ConfigurationMenu(); break;
    }
}

}  // namespace fw
