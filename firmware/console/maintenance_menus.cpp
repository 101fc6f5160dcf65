// The Online Diagnostics Menu, the maintenance done while hosts are served,
// and the small menus of the diagnostics tree that act on the controller
// itself: the I/O module firmware, streaming read-ahead, the target command
// trace, and reset and shutdown of this controller or its partner.
#include "config/config_state.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_tree.h"
#include "console/option_settings.h"
#include "enclosure/io_module_firmware.h"
#include "eventlog/target_trace.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "partner/partner_link.h"

namespace fw {

namespace {

constexpr uint64_t PATH_ONLINE = 0x122;
constexpr uint64_t PATH_ONLINE_SWITCHED = 0x1220;
constexpr uint64_t PATH_ONLINE_TRACE_SWITCHED = 0x1224;
constexpr uint64_t PATH_DISK_IO_MODULE = 0x122B;
constexpr uint64_t PATH_STREAMING = 0x122C;
constexpr uint64_t PATH_TRACE = 0x12C;
constexpr uint64_t PATH_RESET = 0x123;
constexpr uint64_t PATH_CONFIRM_RESET = 0x1231;
constexpr uint64_t PATH_SHUTDOWN = 0x124;
constexpr uint64_t PATH_CONFIRM_SHUTDOWN = 0x1241;
constexpr uint64_t PATH_GRACEFUL = 0x12411;

constexpr uint8_t SERVICE_LEVEL = 2;

MENU_STATE& Menu() { return *psGetMenuState(); }

void PauseThen(uint64_t lPath, MENU_FUNCTION pfnMenu) {
    Menu().lMenuPath = lPath;
    WaitForAnyKeyThen(pfnMenu);
}

// --- Online Diagnostics Menu ------------------------------------------------

// The on/off options 4 to 10: what each reads and writes.
struct ONLINE_SWITCH {
    const char* pszEnable;
    const char* pszDisable;
    uint8_t (*pfnGet)();
    void (*pfnSet)(uint8_t);
};

constexpr uint32_t FIRST_SWITCH = 4;
constexpr uint32_t FIRST_LEVEL_SWITCH = 6;
constexpr ONLINE_SWITCH s_asSwitches[] = {
    {"4.  Enable Target Command Trace\n", "4.  Disable Target Command Trace\n", fGetTargetCommandTrace,
     SetTargetCommandTrace},
    {"5.  Enable Target Command Time Trace\n", "5.  Disable Target Command Time Trace\n", fGetTargetCommandTimeTrace,
     SetTargetCommandTimeTrace},
    {"6.  Enable Read-Ahead Caching\n", "6.  Disable Read-Ahead Caching\n", fGetReadAheadCaching, SetReadAheadCaching},
    {"7.  Enable Writeback Caching\n", "7.  Disable Writeback Caching\n", fGetWritebackCaching, SetWritebackCaching},
    {"8.  Enable Command Clustering\n", "8.  Disable Command Clustering\n", fGetCommandClustering,
     SetCommandClustering},
    {"9.  Enable Partial Full Stripe Write\n", "9.  Disable Partial Full Stripe Write\n", fGetPartialFullStripeWrite,
     SetPartialFullStripeWrite},
    {"10. Enable Initiator Command Trace\n", "10. Disable Initiator Command Trace\n", fGetInitiatorCommandTrace,
     SetInitiatorCommandTrace},
};
constexpr uint32_t SWITCH_COUNT = sizeof s_asSwitches / sizeof s_asSwitches[0];

// The processor cache options need the second bank to choose between.
bool AreBankOptionsShown() { return bGetDiagnosticsModeLevel() != 0 && fIsSecondBufferBankPresent() == TRUE; }

void ShowOnlineDiagnosticsMenu() {
    ClearScreen(FALSE);
    EnterMenu(OnlineDiagnosticsMenu, PATH_ONLINE);
    PrintMenuTitle("Online Diagnostics Menu");
    ConsolePrintf("1.  Controller Maintenance\n");
    ConsolePrintf("2.  Drive Maintenance\n");
    ConsolePrintf("3.  RAID 5/50/6 Parity Check\n");
    const uint8_t bLevel = bGetDiagnosticsModeLevel();
    const uint32_t dShown = bLevel == 0 ? FIRST_LEVEL_SWITCH - FIRST_SWITCH : SWITCH_COUNT;
    for (uint32_t i = 0; i < dShown; ++i) {
        const ONLINE_SWITCH& s = s_asSwitches[i];
        ConsolePrintText(s.pfnGet() == TRUE ? s.pszDisable : s.pszEnable);
    }
    uint16_t wMask = 0x3F;
    if (bLevel != 0) {
        ConsolePrintf("11. Disk IO Module Maintenance\n");
        ConsolePrintf("12. Configure Streaming Read-Ahead Caching\n");
        wMask = 0x1FFF;
    }
    if (AreBankOptionsShown()) {
        ConsolePrintf(fGetBankForceFlag(0) == TRUE ? "13. Enable Main Processor Cache\n"
                                                   : "13. Disable Main Processor Cache\n");
        ConsolePrintf(fGetBankForceFlag(1) == TRUE ? "14. Enable Co-Processor Cache\n"
                                                   : "14. Disable Co-Processor Cache\n");
        wMask = 0x7FFF;
    }
    if (bLevel > SERVICE_LEVEL) {
        ConsolePrintf("15. Performance Monitoring\n");
        wMask = 0xFFFF;
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

// Options 13 and 14: the chosen bank is released, or the allocation is
// forced onto it (never both banks forced).
void ToggleBankForce(uint8_t bBank) {
    if (fGetBankForceFlag(bBank) == TRUE) {
        SetBankForceFlag(bBank, FALSE);
    } else {
        SetBankForceFlag(static_cast<uint8_t>(1 - bBank), FALSE);
        SetBankForceFlag(bBank, TRUE);
    }
}

void OnlineSwitchDone(uint32_t dOption) {
    PauseThen(dOption < FIRST_LEVEL_SWITCH ? PATH_ONLINE_TRACE_SWITCHED : PATH_ONLINE_SWITCHED + dOption,
              OnlineDiagnosticsMenu);
}

// --- Reset and shutdown -----------------------------------------------------

// The two twins differ in their words and where the choice leads.
struct CONTROLLER_CHOICE {
    const char* pszTitle;
    const char* pszVerb;
    uint64_t lPath;
    MENU_FUNCTION pfnMenu;
    MENU_FUNCTION pfnConfirm;
};

void ShowControllerChoice(const CONTROLLER_CHOICE& c) {
    ClearScreen(FALSE);
    EnterMenu(c.pfnMenu, c.lPath);
    PrintMenuTitle(c.pszTitle);
    const bool fDual = fIsDualControllerActive() == TRUE;
    const bool fSlot1 = fIsControllerSlot1() == TRUE;
    if (fSlot1) {
        ConsolePrintf("1.  %s Controller %s (This Controller)\n", c.pszVerb, "0");
        if (fDual) ConsolePrintf("2.  %s Controller %s\n", c.pszVerb, "1");
    } else if (fDual) {
        ConsolePrintf("1.  %s Controller %s\n", c.pszVerb, "0");
        ConsolePrintf("2.  %s Controller %s (This Controller)\n", c.pszVerb, "1");
    } else {
        ConsolePrintf("1.  %s Controller %s (This Controller)\n", c.pszVerb, "1");
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(fDual ? 0x7 : 0x3);
}

void ControllerChoice(const CONTROLLER_CHOICE& c) {
    if (Menu().lMenuPath != c.lPath) {
        ShowControllerChoice(c);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected != MenuOptionBit(1) && wSelected != MenuOptionBit(2)) {
        DiagnosticsMenu();
        return;
    }
    // Option 1 is this controller except on controller 1 of a pair.
    const bool fThisIsSecond = fIsControllerSlot1() != TRUE && fIsDualControllerActive() == TRUE;
    const bool fThis = (wSelected == MenuOptionBit(2)) == fThisIsSecond;
    SetMenuSelectedItem(fThis ? TRUE : FALSE);
    c.pfnConfirm();
}

void ConfirmControllerReset();
void ConfirmControllerShutdown();

const CONTROLLER_CHOICE s_sReset = {"Reset Controller Menu", "Reset", PATH_RESET, ResetControllerMenu,
                                    ConfirmControllerReset};
const CONTROLLER_CHOICE s_sShutdown = {"Shutdown Controller Menu", "Shutdown", PATH_SHUTDOWN, ShutdownControllerMenu,
                                       ConfirmControllerShutdown};

// A Y/N prompt with no title of its own.
bool fShowPrompt(MENU_FUNCTION pfnPrompt, uint64_t lPath, const char* pszText) {
    if (Menu().lMenuPath == lPath) return false;
    EnterMenu(pfnPrompt, lPath);
    ConsolePrintText(pszText);
    AwaitTypedAnswer();
    return true;
}

void ConfirmControllerReset() {
    if (fShowPrompt(ConfirmControllerReset, PATH_CONFIRM_RESET,
                    "\nResetting controller will stop all activity!!!!\n"
                    "Confirm resetting of controller (Y or N): ")) {
        return;
    }
    if (bParseYesNo() != TRUE) {
        ConsolePrintf("\nController Reset Cancelled\n\n");
        WaitForAnyKeyThen(ResetControllerMenu);
        return;
    }
    if (bGetMenuSelectedItem() == TRUE) {
        // The journal drains first: acknowledged writes outlive the reset.
        StartControllerReset();
        return;
    }
    ConsolePrintf("\n\nResetting Other Controller\n\n");
    (void)bSendResetToPartner();
    WaitForAnyKeyThen(ResetControllerMenu);
}

void ShutdownGracefulPrompt() {
    if (fShowPrompt(ShutdownGracefulPrompt, PATH_GRACEFUL, "\nGraceful Shutdown? (Y or N): ")) return;
    const uint8_t bAnswer = bParseYesNo();
    if (bGetMenuSelectedItem() != TRUE) {
        ConsolePrintf("\n\nShutdown Other Controller %02x\n\n", bAnswer);
        (void)fSendShutdownToPartner(bAnswer == TRUE ? 1 : 0);
    } else if (bAnswer == FALSE) {
        ShutdownController();
    } else {
        StartShutdown();
        ConsolePrintf("\n");
    }
    WaitForAnyKeyThen(ShutdownControllerMenu);
}

void ConfirmControllerShutdown() {
    if (fShowPrompt(ConfirmControllerShutdown, PATH_CONFIRM_SHUTDOWN,
                    "\nShutting down controller will stop all activity!!!!\n"
                    "Confirm shutdown of controller (Y or N): ")) {
        return;
    }
    if (bParseYesNo() != TRUE) {
        ConsolePrintf("\nController Shutdown Cancelled\n\n");
        WaitForAnyKeyThen(ShutdownControllerMenu);
        return;
    }
    ShutdownGracefulPrompt();
}

// --- Target command trace ---------------------------------------------------

struct TRACE_ALLOCATION {
    uint8_t bUnits;
    const char* pszError;
};
constexpr TRACE_ALLOCATION s_asTraceSizes[] = {
    {2, "\n***************************\nError Allocating 8MB buffer\n***************************\n"},
    {4, "\n***************************\nError Allocating 16MB buffer\n***************************\n"},
    {8, "\n****************************\nError Allocating 32MB buffer\n****************************\n"},
    {16, "\n****************************\nError Allocating 64MB buffer\n****************************\n"},
};

void ShowTargetCommandTraceMenu() {
    ClearScreen(FALSE);
    EnterMenu(TargetCommandTraceMenu, PATH_TRACE);
    PrintMenuTitle("Target Command Trace utility Menu");
    for (uint32_t i = 0; i < 4; ++i) {
        ConsolePrintf("%u.  Allocate trace with %uMB buffer\n", static_cast<unsigned>(i + 1),
                      static_cast<unsigned>(s_asTraceSizes[i].bUnits * 4));
    }
    ConsolePrintf("5.  Free trace buffer\n");
    ConsolePrintf("6.  Reset trace buffer\n");
    ConsolePrintf("7.  Print trace statistics\n");
    ConsolePrintf(fIsTarCmdTraceActive() == TRUE ? "8.  Disable target command trace\n"
                                                 : "8.  Enable target command trace\n");
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(0x1FF);
}

}  // namespace

void OnlineDiagnosticsMenu() {
    if (Menu().lMenuPath != PATH_ONLINE) {
        ShowOnlineDiagnosticsMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    uint32_t dOption = 0;
    for (uint32_t n = 1; n <= 15; ++n) {
        if (wSelected == MenuOptionBit(n)) dOption = n;
    }
    if (dOption >= FIRST_SWITCH && dOption < FIRST_SWITCH + SWITCH_COUNT) {
        const ONLINE_SWITCH& s = s_asSwitches[dOption - FIRST_SWITCH];
        s.pfnSet(s.pfnGet() == TRUE ? FALSE : TRUE);
        OnlineSwitchDone(dOption);
        return;
    }
    switch (dOption) {
    case 0: DiagnosticsMenu(); break;
    case 1: ControllerFirmwareMenu(); break;
    case 2: DriveMaintenanceMenu(); break;
    case 3: ParityCheckMenu(); break;
    case 11: OnlineDiskIoModuleMenu(); break;
    case 12: StreamingReadAheadMenu(); break;
    case 13:
    case 14:
        // The level above 2 opens every option: without a second bank there
        // is no choice of bank to force.
        if (fIsSecondBufferBankPresent() == TRUE) {
            ToggleBankForce(dOption == 13 ? 0 : 1);
            OnlineSwitchDone(dOption);
        } else {
            ShowOnlineDiagnosticsMenu();
        }
        break;
    case 15: PerformanceMonitoringMenu(); break;
    default: ShowOnlineDiagnosticsMenu(); break;
    }
}

void OnlineDiskIoModuleMenu() {
    if (Menu().lMenuPath != PATH_DISK_IO_MODULE) {
        ClearScreen(FALSE);
        EnterMenu(OnlineDiskIoModuleMenu, PATH_DISK_IO_MODULE);
        PrintMenuTitle("Disk IO Module Maintenance Menu");
        ConsolePrintf("1.  View Firmware on Disk IO Module\n");
        ConsolePrintf("2.  Update Firmware on Disk IO Module\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x7);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MenuOptionBit(1)) {
        ShowEnclosureFirmwareVersions();
        PauseThen(PATH_ONLINE, OnlineDiskIoModuleMenu);
    } else if (wSelected == MenuOptionBit(2)) {
        // The transfer reports its own end.
        Menu().lMenuPath = PATH_ONLINE;
        Menu().pfnAnyKeyMenu = OnlineDiskIoModuleMenu;
        (void)bReceiveEnclosureFirmwareImage();
    } else {
        OnlineDiagnosticsMenu();
    }
}

void StreamingReadAheadMenu() {
    struct SETTING {
        const char* pszText;
        uint8_t bValue;
    };
    static constexpr SETTING s_asSettings[] = {
        {"1.  Streaming Read-Ahead Automatic", STREAMING_READ_AHEAD_AUTOMATIC},
        {"2.  Streaming Read-Ahead Enabled", TRUE},
        {"3.  Streaming Read-Ahead Disabled", FALSE},
    };
    if (Menu().lMenuPath != PATH_STREAMING) {
        ClearScreen(FALSE);
        EnterMenu(StreamingReadAheadMenu, PATH_STREAMING);
        PrintMenuTitle("Streaming Read-Ahead Caching Debug Menu");
        for (const SETTING& s : s_asSettings) {
            ConsolePrintf("%s%s\n", s.pszText, fGetStreamingReadAhead() == s.bValue ? " (current)" : "");
        }
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0xF);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint32_t n = 1; n <= 3; ++n) {
        if (wSelected == MenuOptionBit(n)) {
            SetStreamingReadAhead(s_asSettings[n - 1].bValue);
            PauseThen(PATH_STREAMING * 16 + n, StreamingReadAheadMenu);
            return;
        }
    }
    OnlineDiagnosticsMenu();
}

void TargetCommandTraceMenu() {
    if (Menu().lMenuPath != PATH_TRACE) {
        ShowTargetCommandTraceMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    uint32_t dOption = 0;
    for (uint32_t n = 1; n <= 8; ++n) {
        if (wSelected == MenuOptionBit(n)) dOption = n;
    }
    if (dOption == 0) {
        DiagnosticsMenu();
        return;
    }
    if (dOption <= 4) {
        const TRACE_ALLOCATION& a = s_asTraceSizes[dOption - 1];
        if (fAllocateTarCmdTraceBuffer(a.bUnits) != STATUS_OK) ConsolePrintText(a.pszError);
    } else if (dOption == 5) {
        FreeTarCmdTraceBuffer();
    } else if (dOption == 6) {
        ResetTarCmdTrace();
    } else if (dOption == 7) {
        ShowTarCmdTraceStatistics();
    } else {
        SetTarCmdTraceActive(fIsTarCmdTraceActive() == TRUE ? FALSE : TRUE);
    }
    PauseThen(PATH_TRACE * 16 + dOption, TargetCommandTraceMenu);
}

void ResetControllerMenu() { ControllerChoice(s_sReset); }

void ShutdownControllerMenu() { ControllerChoice(s_sShutdown); }

}  // namespace fw
