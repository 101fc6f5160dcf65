// The Logical Drive Configuration Menu and the creation dialogue: the
// free-space region, the number of logical drives, their size and host
// block size, then the logical drives one after another in the scratch
// image.
#include "console/menu_tree.h"

#include "config/address_translation.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/ld_operations.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"

namespace fw {

namespace {

constexpr uint64_t PATH_LD_CONFIGURATION = 0x112;
constexpr uint64_t PATH_CREATE_LD = 0x1122;
constexpr uint64_t PATH_REGION = 0x11221;
constexpr uint32_t MAX_LD_UNITS = 65535;
constexpr uint16_t NO_REGION = 0xFFFF;
constexpr uint8_t REGION_MODE_ALL = 1;
constexpr uint8_t REGION_MODE_ONE = 2;
constexpr uint8_t DUMP_TYPE_LOGICAL_DRIVES = 19;
constexpr uint8_t DUMP_TYPE_FREE_SPACE = 28;
constexpr uint8_t DUMP_TYPE_REGIONS = 29;
constexpr uint32_t OEM_CODE_PATH_FORM = 0x101;
constexpr uint8_t AVAILABILITY_ONE_HOST_CARD = 5;
constexpr uint8_t AVAILABILITY_ALL_PORTS = 15;

MENU_STATE& Menu() { return *psGetMenuState(); }
const CONFIG_IMAGE* Scratch() { return pGetScratchConfigImage(); }
uint32_t dLdCount() { return Scratch()->sHeader.wLdCount; }

// Table B as the menus read it: its regions, and the free space usable for
// new logical drives.
uint32_t dRegionCount() { return pGetLdWorkTableB()->dEntryCount; }
uint32_t dAllRegionsGb() { return pGetLdWorkTableB()->dFreeUnits; }
uint32_t dUsableGb() {
    const SEGMENT_MAP* ps = pGetLdWorkTableB();
    return ps->wFirstFreeEntry == NO_FREE_EXTENT ? 0 : ps->dFreeUnits;
}
uint32_t dRegionGb(uint32_t dRegion) {
    const SEGMENT_MAP* ps = pGetLdWorkTableB();
    return dRegion < ps->dEntryCount && dRegion < SEGMENT_MAP_ENTRIES ? ps->asEntry[dRegion].wSizeUnits : 0;
}

bool fOneRegion() { return bGetMenuSelection() == REGION_MODE_ONE; }
// The space the dialogue works in: the chosen region, or all of them.
uint32_t dSpaceGb() { return fOneRegion() ? dRegionGb(bGetMenuLdCount()) : dAllRegionsGb(); }

uint64_t lCountPath() { return fOneRegion() ? 0x112211 : 0x11222; }
uint64_t lSizePath() { return lCountPath() * 16 + 1; }
uint64_t lBlockSizePath() { return lSizePath() * 16 + 1; }

void ShowResult(const char* pszText) {
    ConsolePrintText(pszText);
    WaitForAnyKeyThen(LogicalDriveConfigurationMenu);
}

void InvalidSelection() { ShowResult("\nInvalid selection\n\n"); }

void BeginDialogueScreen(MENU_FUNCTION pfnMenu, uint64_t lPath) {
    ClearScreen(FALSE);
    EnterMenu(pfnMenu, lPath);
    PrintMenuTitle("Create Logical Drive Configuration Menu");
}

// Every logical drive takes at least 1 GB, and at most 512 exist.
uint32_t dMostLogicalDrives() {
    uint32_t dMost = dSpaceGb();
    if (dMost > MAX_LDS) dMost = MAX_LDS;
    const uint32_t dLeft = dLdCount() < MAX_LDS ? MAX_LDS - dLdCount() : 0;
    return dMost < dLeft ? dMost : dLeft;
}

uint32_t dLargestSizeGb() {
    const uint32_t dNumber = bGetMenuLogicalDrive() == 0 ? 1 : bGetMenuLogicalDrive();
    const uint32_t dSize = dSpaceGb() / dNumber;
    return dSize < MAX_LD_UNITS ? dSize : MAX_LD_UNITS;
}

uint8_t bNewAvailability() {
    if (fIsNvramOption1Set() == TRUE) return AVAILABILITY_ONE_HOST_CARD;
    return dGetOemCode() == OEM_CODE_PATH_FORM ? 0 : AVAILABILITY_ALL_PORTS;
}

// Creates the logical drives; the last may come out short of space after
// the size was divided, so it is tried again a GB smaller until it fits.
void CreateLogicalDrives(uint16_t wBlockSize) {
    const uint16_t wNumber = bGetMenuLogicalDrive();
    uint16_t wSize = static_cast<uint16_t>(dGetPhaseTimeWindow());
    const uint16_t wRegion = fOneRegion() ? bGetMenuLdCount() : ANY_EXTENT;
    const uint8_t bAvailability = bNewAvailability();
    bool fFailed = false;
    for (uint16_t i = 0; i < wNumber && !fFailed;) {
        if (CreateLogicalDrive(wSize, wRegion, wBlockSize, bAvailability, nullptr) == STATUS_OK) {
            SetConfigModified(TRUE);
            ++i;
        } else if (wNumber > 1 && i == wNumber - 1 && wSize > 1) {
            --wSize;
        } else {
            fFailed = true;
        }
    }
    const uint32_t dCount = dLdCount();
    if (fFailed) {
        ConsolePrintf("\nFailed to Create Logical Drive %03d\n", dCount);
    } else if (wNumber == 1) {
        ConsolePrintf("\nLogical Drive %03d Successfully Created\n", dCount - 1);
    } else {
        ConsolePrintf("\nLogical Drives %03d to %03d Successfully Created\n", dCount - wNumber, dCount - 1);
    }
    WaitForAnyKeyThen(LogicalDriveConfigurationMenu);
}

}  // namespace

void LdRegionSelectionMenu() {
    if (Menu().lMenuPath != PATH_REGION) {
        EnterMenu(LdRegionSelectionMenu, PATH_REGION);
        if (dRegionCount() <= 1) {
            SetMenuLdCount(0);
            LdCountMenu();
            return;
        }
        ClearScreen(FALSE);
        PrintMenuTitle("Create Logical Drive Configuration Menu");
        ConsolePrintf("\nSelect Unused Region to Use (0..%d): ", dRegionCount() - 1);
        AwaitTypedAnswer();
        return;
    }
    uint32_t dRegion = 0;
    if (bParseMenuNumber(&dRegion) != PARSE_VALUE || dRegion >= dRegionCount()) {
        InvalidSelection();
        return;
    }
    SetMenuLdCount(static_cast<uint16_t>(dRegion));
    LdCountMenu();
}

void LdCountMenu() {
    const uint32_t dMost = dMostLogicalDrives();
    if (Menu().lMenuPath != lCountPath()) {
        BeginDialogueScreen(LdCountMenu, lCountPath());
        if (dMost > 1) {
            ConsolePrintf("\nEnter number of logical drives to create (1..%u) (<CR> = 1): ", dMost);
        } else {
            ConsolePrintf("\nEnter number of logical drives to create (MAX 1) (<CR> = 1): ");
        }
        AwaitTypedAnswer();
        return;
    }
    uint32_t dNumber = 0;
    const uint8_t bResult = bParseMenuNumber(&dNumber);
    if (bResult == PARSE_EMPTY) dNumber = 1;
    if ((bResult != PARSE_EMPTY && bResult != PARSE_VALUE) || dNumber < 1 || dNumber > dMost) {
        InvalidSelection();
        return;
    }
    SetMenuLogicalDrive(static_cast<uint16_t>(dNumber));
    LdSizeMenu();
}

void LdSizeMenu() {
    const uint32_t dLargest = dLargestSizeGb();
    if (Menu().lMenuPath != lSizePath()) {
        BeginDialogueScreen(LdSizeMenu, lSizePath());
        const bool fOne = bGetMenuLogicalDrive() == 1;
        if (dLargest > 1) {
            ConsolePrintf(fOne ? "\nEnter size of logical drive to create (1..%u GB) (<CR> = MAX): "
                               : "\nEnter size of logical drives to create (1..%u GB) (<CR> = MAX): ",
                          dLargest);
        } else {
            ConsolePrintf(fOne ? "\nEnter size of logical drive to create (Max 1 GB) (<CR> = MAX): "
                               : "\nEnter size of logical drives to create (Max 1 GB) (<CR> = MAX): ");
        }
        AwaitTypedAnswer();
        return;
    }
    uint32_t dSize = 0;
    const uint8_t bResult = bParseMenuNumber(&dSize);
    if (bResult == PARSE_EMPTY) dSize = dLargest;
    if ((bResult != PARSE_EMPTY && bResult != PARSE_VALUE) || dSize < 1 || dSize > dLargest) {
        InvalidSelection();
        return;
    }
    SetPhaseTimeWindow(dSize);
    LdBlockSizeMenu();
}

void LdBlockSizeMenu() {
    if (Menu().lMenuPath != lBlockSizePath()) {
        BeginDialogueScreen(LdBlockSizeMenu, lBlockSizePath());
        ConsolePrintf("1.  512 Bytes Host Block Size\n");
        ConsolePrintf("2.  4096 Bytes Host Block Size\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x0007);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: CreateLogicalDrives(512); break;
    case 1u << 2: CreateLogicalDrives(4096); break;
    default: LogicalDriveConfigurationMenu(); break;
    }
}

void LogicalDriveConfigurationMenu() {
    MENU_STATE& m = Menu();
    if (m.lMenuPath != PATH_LD_CONFIGURATION) {
        ClearScreen(FALSE);
        EnterMenu(LogicalDriveConfigurationMenu, PATH_LD_CONFIGURATION);
        // Both tables are current whenever the menu is shown.
        BuildLdFreeSpaceMap(Scratch(), TRUE, pGetLdWorkTableA());
        BuildLdFreeSpaceMap(Scratch(), FALSE, pGetLdWorkTableB());
        PrintMenuTitle("Logical Drive Configuration Menu");
        ConsolePrintf(dLdCount() <= 1 ? "1.  View Logical Drive\n" : "1.  View Logical Drives\n");
        ConsolePrintf("2.  Create Logical Drive\n");
        ConsolePrintf("3.  Delete Logical Drive\n");
        ConsolePrintf("4.  Expand Logical Drive\n");
        ConsolePrintf("5.  Set Availability\n");
        ConsolePrintf("6.  View Unassigned Free Space\n");
        ConsolePrintf("7.  Advanced Configuration\n");
        if (bGetAdvancedConfigModeLevel() > 1) ConsolePrintf("8.  View All Region Information\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(bGetAdvancedConfigModeLevel() > 1 ? 0x01FF : 0x00FF);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 0: ConfigurationMenu(); break;
    case 1u << 1: StartMenuDump(0x1121, LogicalDriveConfigurationMenu, DUMP_TYPE_LOGICAL_DRIVES); break;
    case 1u << 2: CreateLogicalDriveMenu(); break;
    case 1u << 3: DeleteLogicalDriveMenu(); break;
    case 1u << 4: ExpandLogicalDriveMenu(); break;
    case 1u << 5: LdAvailabilityMenu(); break;
    case 1u << 6: StartMenuDump(0x1126, LogicalDriveConfigurationMenu, DUMP_TYPE_FREE_SPACE); break;
    case 1u << 7: AdvancedLogicalDriveMenu(); break;
    case 1u << 8: StartMenuDump(0x1128, LogicalDriveConfigurationMenu, DUMP_TYPE_REGIONS); break;
    default: break;
    }
}

void CreateLogicalDriveMenu() {
    MENU_STATE& m = Menu();
    if (m.lMenuPath != PATH_CREATE_LD) {
        m.lMenuPath = PATH_CREATE_LD;
        ClearScreen(FALSE);
        BuildLdFreeSpaceMap(Scratch(), FALSE, pGetLdWorkTableB());
        if (Scratch()->sHeader.fExpansionActive == TRUE) {
            ShowResult("\nArray Expansion in Progress\n\n");
        } else if (dLdCount() >= MAX_LDS) {
            ConsolePrintf("\nMaximum logical drive count reached (%02d)\n\n", MAX_LDS);
            WaitForAnyKeyThen(LogicalDriveConfigurationMenu);
        } else if (Scratch()->sHeader.wRankCount == 0) {
            ShowResult("\nNo arrays defined to create logical drive\n\n");
        } else if (dUsableGb() == 0) {
            ShowResult("\nNo free space to create logical drive\n\n");
        } else {
            EnterMenu(CreateLogicalDriveMenu, PATH_CREATE_LD);
            PrintMenuTitle("Create Logical Drive Configuration Menu");
            ConsolePrintf("\nSelect Region to Create Logical Drive\n\n");
            ConsolePrintf("1.  Manually Select Unused Free Space Region(s)\n");
            const uint32_t dAll = dAllRegionsGb();
            if (dAll > MAX_LD_UNITS) {
                ConsolePrintf("2.  All Unused Free Space Regions (%u GB) -- Maximum Logical Drive Size\n", MAX_LD_UNITS);
            } else if (dAll != 0) {
                ConsolePrintf("2.  All Unused Free Space Regions (%u GB)\n", dAll);
            }
            ConsolePrintf("\n0.  Exit\n\n");
            EndOptionScreen(dAll != 0 ? 0x0007 : 0x0003);
            // The dialogue starts from nothing chosen.
            SetMenuSelection(0);
            SetMenuController(0);
            SetMenuLogicalDrive(0);
            SetMenuLdCount(NO_REGION);
            SetPhaseTimeWindow(0);
        }
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1:
        SetMenuSelection(REGION_MODE_ONE);
        LdRegionSelectionMenu();
        break;
    case 1u << 2:
        SetMenuSelection(REGION_MODE_ALL);
        LdCountMenu();
        break;
    default: LogicalDriveConfigurationMenu(); break;
    }
}

}  // namespace fw
