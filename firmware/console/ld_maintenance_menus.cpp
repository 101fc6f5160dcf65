// The menus for logical drives that exist: deletion (one or all),
// expansion into a free region, availability on the host ports (or the
// primary and secondary paths) and internal use, and the mapped LUN.  They
// edit the scratch image; nothing reaches the drives before the save.
#include "console/menu_tree.h"

#include "config/address_translation.h"
#include "config/apply_settings.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/ld_operations.h"
#include "config/san_lun_map.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_screens.h"
#include "dataservices/data_services.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"

namespace fw {

namespace {

constexpr uint64_t PATH_DELETE_LD = 0x1123;
constexpr uint64_t PATH_CONFIRM_DELETE_LD = 0x11231;
constexpr uint64_t PATH_EXPAND_LD = 0x1124;
constexpr uint64_t PATH_EXPAND_REGION = 0x11241;
constexpr uint64_t PATH_EXPAND_CAPACITY = 0x112411;
constexpr uint64_t PATH_AVAILABILITY = 0x1125;
constexpr uint64_t PATH_AVAILABILITY_BACK = 0x11250;
constexpr uint64_t PATH_AVAILABILITY_DIALOGUE = 0x11251;
constexpr uint64_t PATH_ADVANCED_LD = 0x1127;
constexpr uint64_t PATH_MAPPED_LUN_LD = 0x11271;
constexpr uint64_t PATH_MAPPED_LUN_NEW = 0x112711;
constexpr uint64_t PATH_MAPPED_LUN_CONFIRM = 0x1127111;

constexpr uint16_t ALL_LDS = 0xFFFF;
constexpr uint32_t MAX_LD_UNITS = 65535;
constexpr uint32_t HOST_LUNS = 512;
constexpr uint32_t OEM_CODE_PATH_FORM = 0x101;
constexpr uint8_t HOST_PORT_MODE_PAIRED = 1;
constexpr uint8_t AVAILABILITY_INTERNAL = 0x80;
constexpr uint8_t INTERNAL_USE = 0x80;
constexpr uint8_t DUPLICATION_USE = 2;

// The availability dialogue's questions (bMenuStep).
constexpr uint8_t STEP_INTERNAL = 4;
constexpr uint8_t STEP_DUPLICATION = 5;

MENU_STATE& Menu() { return *psGetMenuState(); }
CONFIG_IMAGE& Scratch() { return *pGetScratchConfigImage(); }
uint32_t dLds() { return Scratch().sHeader.wLdCount; }
bool fExpansionWaits() { return Scratch().sHeader.fExpansionActive == TRUE; }
// The logical drive chosen between the steps, never past the records.
CONFIG_LD_RECORD& ChosenLd() {
    const uint16_t w = bGetMenuLogicalDrive();
    return Scratch().asLd[w < MAX_LDS ? w : 0];
}

void Done(const char* pszText) { ShowResult(pszText, LogicalDriveConfigurationMenu); }
void InvalidSelection() { Done("\nInvalid selection\n\n"); }

// "(0..n)" with several logical drives, "(0)" with one.
void PromptLdNumber(const char* pszSeveral, const char* pszOne) {
    if (dLds() > 1) {
        ConsolePrintf(pszSeveral, dLds() - 1);
    } else {
        ConsolePrintText(pszOne);
    }
    AwaitTypedAnswer();
}

// TRUE with the number when the typed line names a logical drive.
bool fTypedLd(uint16_t* pwLd) {
    uint32_t d = 0;
    if (bParseMenuNumber(&d) != PARSE_VALUE || d >= dLds()) return false;
    *pwLd = static_cast<uint16_t>(d);
    return true;
}

// "ALL" in any mix of cases, and nothing longer.
bool fTypedAll() {
    const uint8_t* pb = pGetMenuLineBuffer();
    if (bGetMenuLineLength() != 3) return false;
    for (uint32_t i = 0; i < 3; i++)
        if ((pb[i] & ~0x20) != "ALL"[i]) return false;
    return true;
}

uint32_t dRegions() { return pGetLdWorkTableB()->dEntryCount; }

// The array a logical drive starts on, from table A; 0xFF when not found.
uint8_t bFirstSegmentArray(uint16_t wLd) {
    const SEGMENT_MAP* ps = pGetLdWorkTableA();
    for (uint32_t i = 0; i < ps->dEntryCount && i < SEGMENT_MAP_ENTRIES; i++) {
        if (ps->asEntry[i].wLd == static_cast<int16_t>(wLd) && ps->asEntry[i].wSegment == 0) {
            return static_cast<uint8_t>(ps->asEntry[i].wRank);
        }
    }
    return 0xFF;
}

// The GB the chosen region can add without passing the largest logical
// drive.
uint32_t dLargestAddition() {
    const uint16_t wRegion = bGetMenuLdCount();
    const SEGMENT_MAP* ps = pGetLdWorkTableB();
    uint32_t dAdd = wRegion < ps->dEntryCount && wRegion < SEGMENT_MAP_ENTRIES ? ps->asEntry[wRegion].wSizeUnits : 0;
    const uint32_t dCurrent = ChosenLd().wCapacityGb;
    if (dCurrent + dAdd >= MAX_LD_UNITS + 1) dAdd = dCurrent < MAX_LD_UNITS ? MAX_LD_UNITS - dCurrent : 0;
    return dAdd;
}

// --- availability ------------------------------------------------------------------

bool fPathForm() { return dGetOemCode() == OEM_CODE_PATH_FORM; }
bool fPaired() { return fGetBoardFlagB6() == TRUE && bGetHostPortMode() == HOST_PORT_MODE_PAIRED; }

// The path form's values in question order, and their controller and port
// digits (primary, then secondary).
struct PATH_VALUE {
    uint8_t bValue;
    const char* pszLine;
    const char* apszDigits[4];
};
constexpr PATH_VALUE PATH_VALUES[] = {
    {1, "C0P0 Primary Path, C1P0 Secondary Path\n", {"0", "0", "1", "0"}},
    {2, "C0P1 Primary Path, C1P1 Secondary Path\n", {"0", "1", "1", "1"}},
    {4, "C1P0 Primary Path, C0P0 Secondary Path\n", {"1", "0", "0", "0"}},
    {8, "C1P1 Primary Path, C0P1 Secondary Path\n", {"1", "1", "0", "1"}},
};
constexpr uint8_t PATH_QUESTIONS = 4;

void AskPathQuestion(uint8_t bStep) {
    const PATH_VALUE& s = PATH_VALUES[bStep];
    ConsolePrintf("\nEnable C%sP%s Primary Path, C%sP%s Secondary Path for Logical Drive %03u (Y or N): ",
                  s.apszDigits[0], s.apszDigits[1], s.apszDigits[2], s.apszDigits[3], bGetMenuLogicalDrive());
    Menu().bMenuStep = bStep;
    AwaitTypedAnswer();
}

// The port questions of steps 0 to 3: controller and port digits, and
// the bits each answer sets or clears.
void AskPortQuestion(uint8_t bStep) {
    const uint16_t wLd = bGetMenuLogicalDrive();
    Menu().bMenuStep = bStep;
    if (bStep == STEP_INTERNAL) {
        ConsolePrintText("\nFlag Logical Drive For Internal Use Only (Y or N): ");
    } else if (fPaired() && bStep < 2) {
        ConsolePrintf("\nEnable Logical Drive %03u Access For Controller %s/%s Port %s (Y or N): ", wLd, "0", "1",
                      bStep == 0 ? "0" : "1");
    } else {
        ConsolePrintf("\nEnable Logical Drive %03u Access For Controller %s Port %s (Y or N): ", wLd,
                      bStep < 2 ? "0" : "1", bStep % 2 == 0 ? "0" : "1");
    }
    AwaitTypedAnswer();
}

uint8_t bPortBits(uint8_t bStep) {
    const uint8_t bBit = static_cast<uint8_t>(1u << bStep);
    if (bGetHostPortMode() == HOST_PORT_MODE_PAIRED && bStep < 2) return static_cast<uint8_t>(bBit | (bBit << 2));
    return bBit;
}

uint8_t bNextPortStep(uint8_t bStep) {
    if (bStep == 0) return fIsNvramOption1Set() == TRUE ? STEP_INTERNAL : 1;
    if (bStep == 1) return bGetHostPortMode() == HOST_PORT_MODE_PAIRED ? STEP_INTERNAL : 2;
    return static_cast<uint8_t>(bStep + 1);
}

void PrintPortLine(const char* pszController, const char* pszPort, uint8_t bBit) {
    ConsolePrintf("Controller %s Port %s: ", pszController, pszPort);
    ConsolePrintText((ChosenLd().bAvailability & bBit) != 0 ? "Enabled\n" : "Disabled\n");
}

void ShowPortForm() {
    const CONFIG_LD_RECORD& r = ChosenLd();
    if (r.bLdUseFlags == INTERNAL_USE) {
        ConsolePrintText("This Logical Drive Flagged For Internal Use Only. Remain Flagged As Internal (Y or N): ");
        Menu().bMenuStep = STEP_INTERNAL;
        AwaitTypedAnswer();
        return;
    }
    if (fPaired()) {
        PrintPortLine("0/1", "0", 0x01);
        PrintPortLine("0/1", "1", 0x02);
    } else {
        PrintPortLine("0", "0", 0x01);
        if (fIsNvramOption1Set() != TRUE) PrintPortLine("0", "1", 0x02);
    }
    ConsolePrintText("Flagged For Internal Use Only: No\n");
    if (fGetBoardFlagB6() == TRUE && !fPaired()) {
        PrintPortLine("1", "0", 0x04);
        PrintPortLine("1", "1", 0x08);
    }
    AskPortQuestion(0);
}

// The answers are in: a change is marked and said.
void JudgeAvailability(const char* pszChanged) {
    const CONFIG_LD_RECORD& r = ChosenLd();
    if (r.bAvailability != bGetMenuSelection() || r.bLdUseFlags != bGetMenuParameter()) {
        SetConfigModified(TRUE);
        Done(pszChanged);
    } else {
        Done("\nNo change to logical drive availability \n\n");
    }
}

void TakePathAnswer(uint8_t bAnswer) {
    CONFIG_LD_RECORD& r = ChosenLd();
    const uint8_t bStep = Menu().bMenuStep;
    if (bAnswer == TRUE) {
        r.bAvailability = PATH_VALUES[bStep < PATH_QUESTIONS ? bStep : 0].bValue;
    } else if (bStep + 1 < PATH_QUESTIONS) {
        AskPathQuestion(static_cast<uint8_t>(bStep + 1));
        return;
    } else {
        r.bAvailability = 0;
    }
    JudgeAvailability("\nLogical Drive Availability modified\n\n");
}

void TakePortAnswer(uint8_t bAnswer) {
    CONFIG_LD_RECORD& r = ChosenLd();
    const uint8_t bStep = Menu().bMenuStep;
    const bool fYes = bAnswer == TRUE;
    if (bStep < STEP_INTERNAL) {
        const uint8_t bBits = bPortBits(bStep);
        r.bAvailability = static_cast<uint8_t>(fYes ? r.bAvailability | bBits : r.bAvailability & ~bBits);
        AskPortQuestion(bNextPortStep(bStep));
        return;
    }
    if (bStep == STEP_INTERNAL) {
        if (fYes) {
            r.bLdUseFlags = INTERNAL_USE;
            ConsolePrintText("\nFlag Logical Drive For Duplication Use Only (Y or N): ");
            Menu().bMenuStep = STEP_DUPLICATION;
            AwaitTypedAnswer();
            return;
        }
        const bool fWasInternal = bGetMenuParameter() == INTERNAL_USE;
        r.bLdUseFlags = 0;
        r.bDupRole = 0;
        if (fWasInternal) {
            // Cleared: the port questions follow on a fresh screen.
            ConsolePrintText("\n");
            Menu().lMenuPath = PATH_AVAILABILITY_BACK;
            WaitForAnyKeyThen(LdAvailabilityDialogue);
            return;
        }
        JudgeAvailability("\nLogical Drive Availability modified\n\n");
        return;
    }
    r.bAvailability = AVAILABILITY_INTERNAL;
    r.bLdUseFlags = INTERNAL_USE;
    r.bDupRole = fYes ? DUPLICATION_USE : 0;
    JudgeAvailability("\n\nLogical Drive Availability modified please save configuration!!!!\n\n");
}

// --- mapped LUN ----------------------------------------------------------------------

void BackToAdvanced(const char* pszText) { ShowResult(pszText, AdvancedLogicalDriveMenu); }

}  // namespace

// --- deletion ----------------------------------------------------------------------

void DeleteLogicalDriveMenu() {
    if (Menu().lMenuPath != PATH_DELETE_LD) {
        ClearScreen(FALSE);
        EnterMenu(DeleteLogicalDriveMenu, PATH_DELETE_LD);
        if (fExpansionWaits()) {
            Done("\nArray Expansion in Progress\n\n");
        } else if (dLds() == 0) {
            Done("\nNo Configured Logical Drives to Delete\n\n");
        } else {
            PrintMenuTitle("Delete Logical Drive Configuration Menu");
            PromptLdNumber("\nSelect Logical Drive to Delete (0..%d, ALL): ", "\nSelect Logical Drive to Delete (0): ");
        }
        return;
    }
    uint16_t wLd = 0;
    if (fTypedLd(&wLd)) {
        SetMenuLogicalDrive(wLd);
    } else if (fTypedAll()) {
        SetMenuLogicalDrive(ALL_LDS);
    } else {
        InvalidSelection();
        return;
    }
    ConfirmDeleteLogicalDrive();
}

void ConfirmDeleteLogicalDrive() {
    const uint16_t wLd = bGetMenuLogicalDrive();
    if (Menu().lMenuPath != PATH_CONFIRM_DELETE_LD) {
        EnterMenu(ConfirmDeleteLogicalDrive, PATH_CONFIRM_DELETE_LD);
        ConsolePrintText("\nLogical Drive Deletion Will Delete Data!!\n");
        if (wLd == ALL_LDS) {
            ConsolePrintText("Confirm Deletion of All Logical Drives (Y or N): ");
        } else {
            ConsolePrintf("Confirm Deletion of Logical Drive %03u (Y or N): ", wLd);
        }
        AwaitTypedAnswer();
        return;
    }
    if (bParseYesNo() != TRUE) {
        Done("\nNo change to logical drives\n\n");
        return;
    }
    if (wLd == ALL_LDS) {
        ConsolePrintText("\nDeleting All Logical Drives\n\n");
        DeleteLogicalDrive(0, TRUE, TRUE);
    } else {
        ConsolePrintf("\nDeleting Logical Drive %03u\n\n", wLd);
        DeleteLogicalDrive(wLd, FALSE, TRUE);
    }
    SetConfigModified(TRUE);
    WaitForAnyKeyThen(LogicalDriveConfigurationMenu);
}

// --- expansion ---------------------------------------------------------------------

void ExpandLogicalDriveMenu() {
    if (Menu().lMenuPath != PATH_EXPAND_LD) {
        ClearScreen(FALSE);
        EnterMenu(ExpandLogicalDriveMenu, PATH_EXPAND_LD);
        if (fExpansionWaits()) {
            Done("\nArray expansion in progress\n\n");
        } else if (dRegions() == 0) {
            Done("\nNo free space to expand logical drive\n\n");
        } else if (dLds() <= 1) {
            if (dClampedSegmentCount(&Scratch().asLd[0]) >= MAX_LD_SEGMENTS) {
                ConsolePrintf("\nLogical drive 000 region limit (%d) reached!\n\n", MAX_LD_SEGMENTS);
                WaitForAnyKeyThen(LogicalDriveConfigurationMenu);
                return;
            }
            SetMenuLogicalDrive(0);
            LdExpandRegionMenu();
        } else {
            PrintMenuTitle("Expand Logical Drive Configuration Menu");
            ConsolePrintf("\nSelect Logical Drive to Expand (0..%d): ", dLds() - 1);
            AwaitTypedAnswer();
        }
        return;
    }
    uint16_t wLd = 0;
    if (!fTypedLd(&wLd)) {
        InvalidSelection();
        return;
    }
    if (fIsLdInDuplication(wLd) == TRUE) {
        ConsolePrintf("\nLogical drive %03d involved in logical drive duplication process.\n", wLd);
        ConsolePrintText("The duplication process must be terminated before an expansion can start.\n\n");
        WaitForAnyKeyThen(LogicalDriveConfigurationMenu);
        return;
    }
    if (dClampedSegmentCount(&Scratch().asLd[wLd]) >= MAX_LD_SEGMENTS) {
        ConsolePrintf("\nLogical drive %03d region limit (%d) reached!\n\n", wLd, MAX_LD_SEGMENTS);
        WaitForAnyKeyThen(LogicalDriveConfigurationMenu);
        return;
    }
    SetMenuLogicalDrive(wLd);
    LdExpandRegionMenu();
}

void LdExpandRegionMenu() {
    uint32_t dRegion = 0;
    if (Menu().lMenuPath != PATH_EXPAND_REGION) {
        EnterMenu(LdExpandRegionMenu, PATH_EXPAND_REGION);
        if (dRegions() > 1) {
            ClearScreen(FALSE);
            PrintMenuTitle("Expand Logical Drive Configuration Menu");
            ConsolePrintf("\nSelect Unused Region to Use (0..%d): ", dRegions() - 1);
            AwaitTypedAnswer();
            return;
        }
    } else if (bParseMenuNumber(&dRegion) != PARSE_VALUE || dRegion >= dRegions()) {
        InvalidSelection();
        return;
    }
    // A RAID 0 logical drive grows onto RAID 0 only, and no other onto it.
    const uint32_t dArrays = Scratch().sHeader.wRankCount;
    const uint8_t bFrom = bFirstSegmentArray(bGetMenuLogicalDrive());
    const uint32_t dTo = pGetLdWorkTableB()->asEntry[dRegion < SEGMENT_MAP_ENTRIES ? dRegion : 0].wRank;
    if (bFrom < dArrays && dTo < dArrays && dTo < MAX_RANKS &&
        (Scratch().asRank[bFrom].bRaidLevel == RAID_LEVEL_0) != (Scratch().asRank[dTo].bRaidLevel == RAID_LEVEL_0)) {
        Done("\nRAID Level Mismatch\n\n");
        return;
    }
    SetMenuLdCount(static_cast<uint16_t>(dRegion));
    LdExpandCapacityMenu();
}

void LdExpandCapacityMenu() {
    const uint16_t wLd = bGetMenuLogicalDrive();
    const uint32_t dMost = dLargestAddition();
    if (Menu().lMenuPath != PATH_EXPAND_CAPACITY) {
        BeginScreen(LdExpandCapacityMenu, PATH_EXPAND_CAPACITY, "Expand Logical Drive Configuration Menu");
        ConsolePrintf("\nExpand Logical Drive %03d (Current Capacity %04d GB)\n", wLd, ChosenLd().wCapacityGb);
        if (fLdHasSnapshots(wLd, FALSE) == TRUE) {
            ConsolePrintText("Logical Drive has snapshots that will be deleted by expansion\n");
        }
        if (ChosenLd().bLdUseFlags == INTERNAL_USE) {
            Done("\nLogical Drive expansion not supported on Internal Use Logical Drives.\n\n");
        } else if (dMost == 0) {
            Done("\nUnable to expand logical drive beyond 65,535 GB limit\n\n");
        } else {
            if (dMost == 1) {
                ConsolePrintText("\nEnter the additional capacity for logical drive (Max 1 GB) (<CR> = MAX): ");
            } else {
                ConsolePrintf("\nEnter the additional capacity for logical drive (1..%u GB) (<CR> = MAX): ", dMost);
            }
            AwaitTypedAnswer();
        }
        return;
    }
    uint32_t dAdd = 0;
    const uint8_t bParsed = bParseMenuNumber(&dAdd);
    if (bParsed == PARSE_EMPTY) dAdd = dMost;
    if ((bParsed != PARSE_EMPTY && bParsed != PARSE_VALUE) || dAdd < 1 || dAdd > dMost) {
        InvalidSelection();
        return;
    }
    if (ExpandLogicalDrive(wLd, bGetMenuLdCount(), static_cast<uint16_t>(dAdd)) == STATUS_OK) {
        ConsolePrintf("\nLogical Drive %03d Successfully Expanded\n\n", wLd);
        SetConfigModified(TRUE);
    } else {
        ConsolePrintf("\nError Expanding Logical Drive %03d\n\n", wLd);
    }
    WaitForAnyKeyThen(LogicalDriveConfigurationMenu);
}

// --- availability ------------------------------------------------------------------

void LdAvailabilityMenu() {
    if (Menu().lMenuPath != PATH_AVAILABILITY) {
        ClearScreen(FALSE);
        EnterMenu(LdAvailabilityMenu, PATH_AVAILABILITY);
        if (dLds() == 0) {
            Done("\nNo Configured Logical Drives to Set Availability\n\n");
            return;
        }
        PrintMenuTitle("Set Logical Drive Availability Configuration Menu");
        PromptLdNumber("\nSelect logical drive to set availability (0..%d): ",
                       "\nSelect logical drive to set availability (0): ");
        return;
    }
    uint16_t wLd = 0;
    if (!fTypedLd(&wLd)) {
        InvalidSelection();
        return;
    }
    SetMenuLogicalDrive(wLd);
    LdAvailabilityDialogue();
}

void LdAvailabilityDialogue() {
    CONFIG_LD_RECORD& r = ChosenLd();
    if (Menu().lMenuPath != PATH_AVAILABILITY_DIALOGUE) {
        EnterMenu(LdAvailabilityDialogue, PATH_AVAILABILITY_DIALOGUE);
        SetMenuSelection(r.bAvailability);
        SetMenuParameter(r.bLdUseFlags);
        ConsolePrintf("\n\nLogical Drive %03u Current Availability: \n", bGetMenuLogicalDrive());
        if (!fPathForm()) {
            ShowPortForm();
            return;
        }
        const char* pszLine = r.bAvailability == 0 ? "No Availability Set\n" : nullptr;
        for (const PATH_VALUE& s : PATH_VALUES)
            if (s.bValue == r.bAvailability) pszLine = s.pszLine;
        if (pszLine != nullptr) {
            ConsolePrintText(pszLine);
        } else {
            ConsolePrintf("Invalid Availability (%02x)\n", r.bAvailability);
        }
        AskPathQuestion(0);
        return;
    }
    const uint8_t bAnswer = bParseYesNo();
    if (bAnswer != TRUE && bAnswer != FALSE && bAnswer != PARSE_EMPTY) {
        r.bAvailability = bGetMenuSelection();
        r.bLdUseFlags = bGetMenuParameter();
        InvalidSelection();
        return;
    }
    if (fPathForm()) {
        TakePathAnswer(bAnswer);
    } else {
        TakePortAnswer(bAnswer);
    }
}

// --- mapped LUN ----------------------------------------------------------------------

void AdvancedLogicalDriveMenu() {
    if (Menu().lMenuPath != PATH_ADVANCED_LD) {
        ClearScreen(FALSE);
        EnterMenu(AdvancedLogicalDriveMenu, PATH_ADVANCED_LD);
        if (dLds() == 0) {
            Done("\nNo Configured Logical Drives\n\n");
            return;
        }
        PrintMenuTitle("Advanced Logical Drive Configuration Menu");
        ConsolePrintText("1.  Modify Mapped LUN Number\n");
        ConsolePrintText("\n0.  Exit\n\n");
        EndOptionScreen(0x3);
        return;
    }
    if (wGetSelectedOption() == MenuOptionBit(1)) {
        ModifyMappedLunMenu();
    } else {
        LogicalDriveConfigurationMenu();
    }
}

void ModifyMappedLunMenu() {
    const uint64_t lPath = Menu().lMenuPath;
    const uint16_t wLd = bGetMenuLogicalDrive();
    if (lPath != PATH_MAPPED_LUN_LD && lPath != PATH_MAPPED_LUN_NEW && lPath != PATH_MAPPED_LUN_CONFIRM) {
        BeginScreen(ModifyMappedLunMenu, PATH_MAPPED_LUN_LD, "Modify Logical Drive Configuration Menu");
        PromptLdNumber("\nSelect Logical Drive to Modify (0..%d): ", "\nSelect Logical Drive to Modify (0): ");
        return;
    }
    if (lPath == PATH_MAPPED_LUN_LD) {
        uint16_t wChosen = 0;
        if (!fTypedLd(&wChosen)) {
            BackToAdvanced("\nInvalid selection\n\n");
            return;
        }
        SetMenuLogicalDrive(wChosen);
        BeginScreen(ModifyMappedLunMenu, PATH_MAPPED_LUN_NEW, "Modify Logical Drive Configuration Menu");
        ConsolePrintf("LD %03d is Currently Mapped as LUN %03d\n\n", wChosen, ChosenLd().wDefaultLun);
        ConsolePrintf("\nSelect New Mapped LUN for Logical Drive %03d: ", wChosen);
        AwaitTypedAnswer();
        return;
    }
    if (lPath == PATH_MAPPED_LUN_NEW) {
        uint32_t dLun = 0;
        if (bParseMenuNumber(&dLun) != PARSE_VALUE || dLun >= HOST_LUNS) {
            BackToAdvanced("\nInvalid selection\n\n");
        } else if (dLun == ChosenLd().wDefaultLun) {
            BackToAdvanced("\nNo change to logical drive\n\n");
        } else if (fIsLunUsed(&Scratch(), static_cast<uint16_t>(dLun)) == TRUE) {
            ConsolePrintf("\nMapped LUN %03d Already Used!\n\n", dLun);
            WaitForAnyKeyThen(AdvancedLogicalDriveMenu);
        } else {
            SetMenuLdCount(static_cast<uint16_t>(dLun));
            EnterMenu(ModifyMappedLunMenu, PATH_MAPPED_LUN_CONFIRM);
            ConsolePrintText("\nModifying mapped LUN number may result in data becoming unavailable!!\n");
            ConsolePrintf("Confirm modification of logical drive %03u (Y or N): ", wLd);
            AwaitTypedAnswer();
        }
        return;
    }
    if (bParseYesNo() == TRUE) {
        const uint16_t wLun = bGetMenuLdCount();
        ConsolePrintf("\nModifying logical drive %03u mapped LUN number to %03u\n\n", wLd, wLun);
        ChosenLd().wDefaultLun = wLun;
        SetConfigModified(TRUE);
    } else {
        ConsolePrintText("\nNo change to logical drive\n\n");
    }
    WaitForAnyKeyThen(AdvancedLogicalDriveMenu);
}

}  // namespace fw
