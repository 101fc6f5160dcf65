// Below the Drive Maintenance Menu: a task management function or an SMP
// PHY CONTROL to the drive of an enclosure slot, failing one member of an
// array on the operator's word, and powering a slot down or up through its
// enclosure.  The work is done elsewhere; these screens choose the drive,
// confirm, start it and log it.
#include "config/config_image.h"
#include "config/config_flags.h"
#include "config/config_state.h"
#include "config/rank_table.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_tree.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "partner/partner_link.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/smp.h"

namespace fw {

namespace {

constexpr uint64_t PATH_DRIVE_DIAGNOSTIC = 0x122241;
constexpr uint64_t PATH_DIAGNOSTIC_ACTION = 0x1222411;
constexpr uint64_t PATH_TASK_MANAGEMENT = 0x12224111;
constexpr uint64_t PATH_TASK_TYPE = 0x122241111;
constexpr uint64_t PATH_PHY_CONTROL = 0x12224112;
constexpr uint64_t PATH_DRIVE_FAIL = 0x12226;
constexpr uint64_t PATH_DRIVE_FAIL_DRIVE = 0x122261;
constexpr uint64_t PATH_CONFIRM_FAIL = 0x1222611;
constexpr uint64_t PATH_DRIVE_POWER = 0x12227;
constexpr uint64_t PATH_POWER_SLOT = 0x122271;
constexpr uint64_t PATH_POWER_ACTION = 0x1222711;

constexpr uint8_t TASK_ABORT_TASK_SET = 2;
constexpr uint8_t TASK_TARGET_RESET = 3;
constexpr uint8_t TASK_LOGICAL_UNIT_RESET = 5;
constexpr uint8_t TASK_CLEAR_TASK_SET = 6;
constexpr uint8_t NO_TARGET = 0xFF;
constexpr uint8_t NO_DRIVE = 0xFF;

constexpr uint8_t EVENT_DRIVE_SLOT_ACTION = 145;
constexpr uint8_t SLOT_POWERED_DOWN = 1;
constexpr uint8_t SLOT_POWERED_UP = 2;
constexpr uint8_t SLOT_DRIVE_FAILED = 3;
// Slot control: kind (1 on, 2 off), request and duration as the enclosure
// code takes them.
constexpr uint8_t SLOT_POWER_ON = 1;
constexpr uint8_t SLOT_POWER_OFF = 2;
constexpr uint8_t SLOT_REQUEST_POWER = 2;
constexpr uint8_t SLOT_REQUEST_DURATION = 5;

constexpr uint32_t MAX_ENCLOSURE = 16;
constexpr uint32_t MAX_SLOT = 32;

MENU_STATE& Menu() { return *psGetMenuState(); }

// Chosen member of the fail screens and slot of the power screens.
uint16_t s_wFailArray = 0;
uint16_t s_wFailDrive = 0;
uint32_t s_dPowerEnclosure = 0;
uint32_t s_dPowerSlot = 0;

void Screen(MENU_FUNCTION pfnMenu, uint64_t lPath, const char* pszTitle) {
    ClearScreen(FALSE);
    EnterMenu(pfnMenu, lPath);
    PrintMenuTitle(pszTitle);
}

void Refused() {
    ConsolePrintf("\nInvalid selection\n\n");
    WaitForAnyKeyThen(DriveMaintenanceMenu);
}

// Leaving the diagnostic screens, by Exit or on a refusal.
void DiagnosticRefused() {
    SetDriveAttentionFlag(FALSE);
    Refused();
}

// A number within [1, dMaximum]: enclosures and slots count from 1.
bool ReadPosition(uint32_t dMaximum, uint32_t* pd) {
    return bParseMenuNumber(pd) == PARSE_VALUE && *pd >= 1 && *pd <= dMaximum;
}

uint8_t bChosenEnclosure() { return bGetMenuSelection(); }
uint8_t bChosenSlot() { return bGetMenuController(); }
uint8_t bChosenTarget() { return bGetTargetIdByEnclosureSlot(bChosenEnclosure(), bChosenSlot()); }

const char* pszTaskName(uint8_t bType) {
    switch (bType) {
    case TASK_ABORT_TASK_SET: return "Abort Task Set";
    case TASK_TARGET_RESET: return "Target Reset";
    case TASK_LOGICAL_UNIT_RESET: return "Logical Unit Reset";
    case TASK_CLEAR_TASK_SET: return "Clear Task Set";
    default: return "";
    }
}

void SendTaskManagement() {
    const uint8_t bTarget = bChosenTarget();
    if (bTarget != NO_TARGET) MarkSasDeviceReset(bTarget, FALSE, FALSE);
    ProcessSASSlotEvent(bChosenEnclosure(), bChosenSlot(), bGetMenuParameter(), 0);
}

}  // namespace

void DriveDiagnosticMenu() {
    MENU_STATE& m = Menu();
    if (m.lMenuPath != PATH_DRIVE_DIAGNOSTIC) {
        Screen(DriveDiagnosticMenu, PATH_DRIVE_DIAGNOSTIC, "Drive Diagnostic Menu");
        ConsolePrintf("\nSelect Enclosure: ");
        m.bMenuStep = 0;
        AwaitTypedAnswer();
        return;
    }
    uint32_t d = 0;
    if (m.bMenuStep == 0) {
        if (!ReadPosition(MAX_ENCLOSURE, &d)) return DiagnosticRefused();
        SetMenuSelection(static_cast<uint8_t>(d));
        ConsolePrintf("\nSelect Slot     : ");
        m.bMenuStep = 1;
        AwaitTypedAnswer();
        return;
    }
    if (!ReadPosition(MAX_SLOT, &d)) return DiagnosticRefused();
    ConsolePrintf("\n");
    SetMenuController(static_cast<uint8_t>(d));
    SetMenuParameter(TASK_TARGET_RESET);
    DriveDiagnosticActionMenu();
}

void DriveDiagnosticActionMenu() {
    if (Menu().lMenuPath != PATH_DIAGNOSTIC_ACTION) {
        Screen(DriveDiagnosticActionMenu, PATH_DIAGNOSTIC_ACTION, "Drive Diagnostic Menu");
        ConsolePrintf("Enclosure %02d Slot %02d ID:%02x\n\n", bChosenEnclosure(), bChosenSlot(), bChosenTarget());
        ConsolePrintf("1.  Task Management\n");
        ConsolePrintf("2.  SAS SMP Control\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x7);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: DriveTaskManagementMenu(); break;
    case 1u << 2: DrivePhyControlMenu(); break;
    default:
        SetDriveAttentionFlag(FALSE);
        DriveMaintenanceMenu();
        break;
    }
}

void DriveTaskManagementMenu() {
    MENU_STATE& m = Menu();
    const bool fBoth = fIsDualControllerActive() == TRUE;
    if (m.lMenuPath != PATH_TASK_MANAGEMENT) {
        Screen(DriveTaskManagementMenu, PATH_TASK_MANAGEMENT, "Drive Diagnostic Menu");
        ConsolePrintText(pszTaskName(bGetMenuParameter()));
        ConsolePrintf(" Enclosure %02d Slot %02d ID:%02x\n\n", bChosenEnclosure(), bChosenSlot(), bChosenTarget());
        ConsolePrintf("1.  Configure Reset Type\n");
        ConsolePrintf("2.  From This Controller Only\n");
        if (fBoth) ConsolePrintf("3.  From Both Controllers\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(fBoth ? 0xF : 0x7);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: TaskManagementTypeMenu(); break;
    case 1u << 2:
        SendTaskManagement();
        m.lMenuPath = PATH_TASK_MANAGEMENT * 16 + 2;
        WaitForAnyKeyThen(DriveTaskManagementMenu);
        break;
    case 1u << 3:
        SendTaskManagement();
        if (fBoth) SendSasDriveMessage213(bChosenEnclosure(), bChosenSlot(), bGetMenuParameter(), 0);
        m.lMenuPath = PATH_TASK_MANAGEMENT * 16 + 3;
        WaitForAnyKeyThen(DriveTaskManagementMenu);
        break;
    default: DriveDiagnosticActionMenu(); break;
    }
}

void TaskManagementTypeMenu() {
    static constexpr uint8_t TYPES[] = {TASK_TARGET_RESET, TASK_LOGICAL_UNIT_RESET, TASK_CLEAR_TASK_SET,
                                        TASK_ABORT_TASK_SET};
    MENU_STATE& m = Menu();
    if (m.lMenuPath != PATH_TASK_TYPE) {
        Screen(TaskManagementTypeMenu, PATH_TASK_TYPE, "Reset Drive Menu");
        ConsolePrintf("Select Task Management Type\n\n");
        for (uint32_t i = 0; i < 4; ++i) {
            ConsolePrintf("%u.  %s%s\n", i + 1, pszTaskName(TYPES[i]),
                          TYPES[i] == bGetMenuParameter() ? " (current)" : "");
        }
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x1F);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint32_t i = 0; i < 4; ++i) {
        if (wSelected != MenuOptionBit(i + 1)) continue;
        SetMenuParameter(TYPES[i]);
        m.lMenuPath = PATH_TASK_TYPE * 16 + i + 1;
        WaitForAnyKeyThen(TaskManagementTypeMenu);
        return;
    }
    DriveTaskManagementMenu();
}

void DrivePhyControlMenu() {
    static constexpr struct {
        const char* pszText;
        uint8_t bOperation;
    } OPERATIONS[] = {
        {"1.  PHY Control Link Reset\n", 1},      {"2.  PHY Control Hard Reset\n", 2},
        {"3.  PHY Control Disable\n", 3},         {"4.  PHY Control Clear Error Log\n", 5},
        {"5.  PHY Control Clear Affiliation\n", 6}, {"6.  PHY Control SATA Port Select\n", 7},
    };
    MENU_STATE& m = Menu();
    if (m.lMenuPath != PATH_PHY_CONTROL) {
        Screen(DrivePhyControlMenu, PATH_PHY_CONTROL, "Drive Diagnostic Menu");
        ConsolePrintf(" Enclosure %02d Slot %02d ID:%02x\n\n", bChosenEnclosure(), bChosenSlot(), bChosenTarget());
        for (const auto& o : OPERATIONS) ConsolePrintText(o.pszText);
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x7F);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint32_t i = 0; i < 6; ++i) {
        if (wSelected != MenuOptionBit(i + 1)) continue;
        (void)bSlotExpanderPhyControl(bChosenEnclosure(), bChosenSlot(), OPERATIONS[i].bOperation);
        m.lMenuPath = PATH_PHY_CONTROL * 16 + i + 1;
        WaitForAnyKeyThen(DrivePhyControlMenu);
        return;
    }
    DriveDiagnosticActionMenu();
}

// ---- Drive Fail ----

void DriveFailMenu() {
    MENU_STATE& m = Menu();
    if (m.lMenuPath != PATH_DRIVE_FAIL) {
        m.lMenuPath = PATH_DRIVE_FAIL;
        const uint32_t dArrays = pGetScratchConfigImage()->sHeader.wRankCount;
        if (dArrays == 0 || fGetConfigModified() == TRUE) {
            ConsolePrintf(dArrays == 0 ? "\nNo configured arrays\n\n"
                                       : "\nPlease save configuration before failing a drive\n\n");
            WaitForAnyKeyThen(DriveMaintenanceMenu);
            return;
        }
        Screen(DriveFailMenu, PATH_DRIVE_FAIL, "Drive Fail Menu");
        if (dArrays == 1) {
            ConsolePrintf("\nEnter the number of the array that contains the drive (0): ");
        } else {
            ConsolePrintf("\nEnter the number of the array that contains the drive (0..%d): ", dArrays - 1);
        }
        AwaitTypedAnswer();
        return;
    }
    uint32_t d = 0;
    if (bParseMenuNumber(&d) != PARSE_VALUE || d >= pGetScratchConfigImage()->sHeader.wRankCount) return Refused();
    s_wFailArray = static_cast<uint16_t>(d);
    DriveFailDrivePrompt();
}

void DriveFailDrivePrompt() {
    const uint32_t dMembers = pGetScratchConfigImage()->asRank[s_wFailArray].bDriveCount;
    if (Menu().lMenuPath != PATH_DRIVE_FAIL_DRIVE) {
        Screen(DriveFailDrivePrompt, PATH_DRIVE_FAIL_DRIVE, "Drive Fail Menu");
        ConsolePrintf("\nEnter the number in the array of the drive (0..%d): ", dMembers - 1);
        AwaitTypedAnswer();
        return;
    }
    uint32_t d = 0;
    if (bParseMenuNumber(&d) != PARSE_VALUE || d >= dMembers) return Refused();
    s_wFailDrive = static_cast<uint16_t>(d);
    ConfirmDriveFail();
}

void ConfirmDriveFail() {
    if (Menu().lMenuPath != PATH_CONFIRM_FAIL) {
        ConsolePrintf("\nAre you sure you want to fail this drive?\n");
        ConsolePrintf("Confirm failure of drive array %d driveno %x (Y or N): ", s_wFailArray, s_wFailDrive);
        EnterMenu(ConfirmDriveFail, PATH_CONFIRM_FAIL);
        AwaitTypedAnswer();
        return;
    }
    if (bParseYesNo() != TRUE) {
        ConsolePrintf("\nDrive NOT failed\n\n");
        return WaitForAnyKeyThen(DriveMaintenanceMenu);
    }
    const uint8_t bArray = static_cast<uint8_t>(s_wFailArray);
    const uint8_t bDrive = static_cast<uint8_t>(s_wFailDrive);
    ConsolePrintf("\nFailing Drive:  array %d driveno %x \n\n", bArray, bDrive);
    const uint8_t bStatus = bStartMemberDriveCommand(bArray, bDrive);
    if (bStatus == STATUS_RETRY) {
        ConsolePrintf("\nFailure to allocate memory, Drive NOT failed\n");
    } else if (bStatus != STATUS_OK) {
        ConsolePrintf("\n Drive does not exist\n");
    } else {
        DRIVE_INFO* ps = nullptr;
        uint8_t bIndex = 0;
        if (fFindDriveByRankDrive(bArray, bDrive, &ps, &bIndex) == TRUE) {
            PostEvent(EVENT_DRIVE_SLOT_ACTION, ps->bEnclosureNo, ps->bSlotNo, SLOT_DRIVE_FAILED);
        }
    }
    WaitForAnyKeyThen(DriveMaintenanceMenu);
}

// ---- Drive power ----

void DrivePowerManagementMenu() {
    MENU_STATE& m = Menu();
    if (m.lMenuPath != PATH_DRIVE_POWER) {
        m.lMenuPath = PATH_DRIVE_POWER;
        if (fGetConfigModified() == TRUE) {
            ConsolePrintf("\nPlease save configuration before requesting drive power management\n\n");
            WaitForAnyKeyThen(DriveMaintenanceMenu);
            return;
        }
        Screen(DrivePowerManagementMenu, PATH_DRIVE_POWER, "Drive Power Management Menu");
        ConsolePrintf("\nEnter the drive enclosure number: ");
        AwaitTypedAnswer();
        return;
    }
    if (!ReadPosition(MAX_ENCLOSURE, &s_dPowerEnclosure)) return Refused();
    DrivePowerSlotPrompt();
}

void DrivePowerSlotPrompt() {
    if (Menu().lMenuPath != PATH_POWER_SLOT) {
        Screen(DrivePowerSlotPrompt, PATH_POWER_SLOT, "Drive Power Management Menu");
        ConsolePrintf("\nEnter the drive slot number: ");
        AwaitTypedAnswer();
        return;
    }
    uint8_t bExpander = 0, bPhy = 0;
    if (!ReadPosition(MAX_SLOT, &s_dPowerSlot) ||
        bFindExpanderPhyOfEnclosureSlot(static_cast<uint8_t>(s_dPowerEnclosure), static_cast<uint8_t>(s_dPowerSlot),
                                        &bExpander, &bPhy) != STATUS_OK ||
        bPhy == 0xFF) {
        return Refused();
    }
    DrivePowerActionMenu();
}

void DrivePowerActionMenu() {
    if (Menu().lMenuPath != PATH_POWER_ACTION) {
        Screen(DrivePowerActionMenu, PATH_POWER_ACTION, "Drive Power Management Menu");
        ConsolePrintf("1.  Power-down drive\n");
        ConsolePrintf("2.  Power-up drive\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x7);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected != MenuOptionBit(1) && wSelected != MenuOptionBit(2)) return DriveMaintenanceMenu();
    const bool fDown = wSelected == MenuOptionBit(1);
    const uint8_t bEnclosure = static_cast<uint8_t>(s_dPowerEnclosure);
    const uint8_t bSlot = static_cast<uint8_t>(s_dPowerSlot);
    (void)bQueueEnclosureSlotControl(bEnclosure, bSlot, fDown ? SLOT_POWER_OFF : SLOT_POWER_ON, SLOT_REQUEST_POWER,
                                     SLOT_REQUEST_DURATION);
    PostEvent(EVENT_DRIVE_SLOT_ACTION, bEnclosure, bSlot, fDown ? SLOT_POWERED_DOWN : SLOT_POWERED_UP);
    WaitForAnyKeyThen(DriveMaintenanceMenu);
}

}  // namespace fw
