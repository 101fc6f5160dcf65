// Two groups of SAS link diagnostics: the Diagnostic Counter Menu (below
// the Diagnostics Menu) shows and clears the link error counters of the SAS
// controller, the expanders, the AA mux and the drives; the AA Mux
// Maintenance Menu (below the Offline Diagnostics Menu) picks the AA mux
// port in front of one drive slot and sets its far-end loopback and its
// signal tuning.  The SAS drivers do the register work; these menus
// choose, call and report.
#include "config/config_flags.h"
#include "config/config_state.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_tree.h"
#include "enclosure/drive_management.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "sas/aa_mux.h"
#include "sas/link_diagnostics.h"
#include "sas/sas_device_list.h"

namespace fw {

void AaMuxPortMenu();
void AaMuxPreEmphasisMenu();
void AaMuxEqualizationMenu();
void AaMuxSwingMenu();

namespace {

constexpr uint64_t PATH_COUNTERS = 0x12A;
constexpr uint64_t PATH_AA_MUX = 0x1216;
constexpr uint64_t PATH_AA_MUX_PORT = 0x12161;
constexpr uint64_t PATH_PRE_EMPHASIS = 0x121614;
constexpr uint64_t PATH_EQUALIZATION = 0x121615;
constexpr uint64_t PATH_SWING = 0x121616;
constexpr uint8_t ENCLOSURES = 16;
constexpr uint8_t SLOTS = 32;
constexpr uint8_t MUX_PORTS = 3;

MENU_STATE& Menu() { return *psGetMenuState(); }

// --- Diagnostic Counter Menu ---------------------------------------------

struct COUNTER_OPTION {
    const char* pszText;
    const char* pszHeading;   // null: none
    void (*pfnRun)();         // null: nothing to do yet
};

void ShowHostPhyCounters() { LSI_SAS_TargetUpdatePhyErrorCounters(SAS_HOST_IOC, TRUE, PHY_COUNTERS_SHOW); }
void NewHostPhyReferences() {
    LSI_SAS_TargetUpdatePhyErrorCounters(SAS_HOST_IOC, TRUE, PHY_COUNTERS_NEW_REFERENCE);
}
void ShowLsiCounters() { ShowSASPhyErrorLog(TRUE); }
void ShowThisControllersDriveErrors() { ShowDriveErrorCounters(0, 0); }

// Index: option number.
const COUNTER_OPTION COUNTER_OPTIONS[] = {
    {nullptr, nullptr, nullptr},
    {"1.  Display LSI Counters\n", "LSI 106X Counters\n", ShowLsiCounters},
    {"2.  Display Expander Counters\n", "Display Expander Counters\n", ShowExpanderCounters},
    {"3.  Display PMC AA Mux Counters\n", nullptr, ShowAAMuxCounters},
    {"4.  Display SAS Drive Counters\n", "SAS Drive Counters\n", ShowSasDriveCounters},
    {"5.  Display SATA Drive Counters\n", "Display SATA Drive Counters -- TODO\n", nullptr},
    {"6.  Clear LSI Counters\n", "Clearing LSI Counters -- TODO\n", nullptr},
    {"7.  Clear Expander Counters\n", "Clearing Expander Counters -- TODO\n", nullptr},
    {"8.  Clear PMC AA Mux Counters\n", "Clearing PMC AA MUX Counters\n", ClearAAMuxCounters},
    {"9.  Clear SAS Drive Counters\n", "Clearing SAS Drive Counters -- TODO\n", nullptr},
    {"10. Clear SATA Drive Counters\n", "Clearing SATA Drive Counters -- TODO\n", nullptr},
    {"11. Display SAS Host PHY Counters\n", nullptr, ShowHostPhyCounters},
    {"12. Update SAS Host PHY Counter References\n", nullptr, NewHostPhyReferences},
    {"13. Display Drive Error Counters.\n", nullptr, ShowThisControllersDriveErrors},
};
constexpr uint32_t COUNTER_OPTION_COUNT = sizeof COUNTER_OPTIONS / sizeof COUNTER_OPTIONS[0];

uint16_t wCounterMask() {
    uint16_t wMask = 0x26F7;
    if (fIsModelZ7Q4() == TRUE) wMask |= 0x108;
    if (fIsExpansionModelZ7Q2() == TRUE) wMask |= 0x1800;
    return wMask;
}

// --- AA Mux Maintenance Menu -----------------------------------------------

void PauseToOffline(const char* pszMessage) {
    ConsolePrintText(pszMessage);
    WaitForAnyKeyThen(OfflineDiagnosticsMenu);
}

bool HasAaMux(uint8_t bEnclosure, uint8_t bSlot, bool* pfDevice) {
    SAS_DEVICE_ENTRY* ps = nullptr;
    *pfDevice = bGetSASDeviceEntryByEnclosureSlot(bEnclosure, bSlot, &ps) == STATUS_OK && ps != nullptr;
    return *pfDevice && fIsSASDeviceBehindAAMux(ps) == TRUE;
}

struct TUNING_OPTION {
    const char* pszText;
    uint8_t bProtocol;
    uint8_t bValue;
};

constexpr TUNING_OPTION PRE_EMPHASIS[] = {
    {"1.  Set SAS Level 100%\n", AA_MUX_PROTOCOL_SAS, 0},   {"2.  Set SAS Level 87.5%\n", AA_MUX_PROTOCOL_SAS, 1},
    {"3.  Set SAS Level 75%\n", AA_MUX_PROTOCOL_SAS, 2},    {"4.  Set SAS Level 62.5%\n", AA_MUX_PROTOCOL_SAS, 3},
    {"5.  Set SAS Level 50%\n", AA_MUX_PROTOCOL_SAS, 4},    {"6.  Set SATA Level 100%\n", AA_MUX_PROTOCOL_SATA, 0},
    {"7.  Set SATA Level 87.5%\n", AA_MUX_PROTOCOL_SATA, 1}, {"8.  Set SATA Level 75%\n", AA_MUX_PROTOCOL_SATA, 2},
    {"9.  Set SATA Level 62.5%\n", AA_MUX_PROTOCOL_SATA, 3}, {"10.  Set SATA Level 50%\n", AA_MUX_PROTOCOL_SATA, 4},
};
constexpr TUNING_OPTION EQUALIZATION[] = {
    {"1.  Set SAS Equalization Both\n", AA_MUX_PROTOCOL_SAS, 0},
    {"2.  Set SAS Equalization Stage1\n", AA_MUX_PROTOCOL_SAS, 2},
    {"3.  Set SAS Equalization None\n", AA_MUX_PROTOCOL_SAS, 3},
    {"4.  Set SATA Equalization Both\n", AA_MUX_PROTOCOL_SATA, 0},
    {"5.  Set SATA Equalization Stage1\n", AA_MUX_PROTOCOL_SATA, 2},
    {"6.  Set SATA Equalization None\n", AA_MUX_PROTOCOL_SATA, 3},
};
constexpr TUNING_OPTION SWING[] = {
    {"1.  Set SAS Swing SATA Gen1\n", AA_MUX_PROTOCOL_SAS, 0},
    {"2.  Set SAS Swing SATA Gen2\n", AA_MUX_PROTOCOL_SAS, 1},
    {"3.  Set SAS Swing SAS Internal\n", AA_MUX_PROTOCOL_SAS, 2},
    {"4.  Set SAS Swing SAS External\n", AA_MUX_PROTOCOL_SAS, 3},
    {"5.  Set SATA Swing SATA Gen1\n", AA_MUX_PROTOCOL_SATA, 0},
    {"6.  Set SATA Swing SATA Gen2\n", AA_MUX_PROTOCOL_SATA, 1},
    {"7.  Set SATA Swing SAS Internal\n", AA_MUX_PROTOCOL_SATA, 2},
    {"8.  Set SATA Swing SAS External\n", AA_MUX_PROTOCOL_SATA, 3},
};

struct TUNING_MENU {
    MENU_FUNCTION pfnMenu;
    uint64_t lPath;
    const char* pszTitle;
    const TUNING_OPTION* psOptions;
    uint8_t bCount;
    uint16_t wMask;
    uint8_t bKind;
    const char* pszFailed;
};

void RunTuningMenu(const TUNING_MENU& m) {
    // The drives are held off the console's work for the whole dialogue.
    SetDriveAttentionFlag(TRUE);
    if (Menu().lMenuPath != m.lPath) {
        ClearScreen(FALSE);
        EnterMenu(m.pfnMenu, m.lPath);
        PrintMenuTitle(m.pszTitle);
        for (uint8_t i = 0; i < m.bCount; ++i) ConsolePrintText(m.psOptions[i].pszText);
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(m.wMask);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    const TUNING_OPTION* ps = nullptr;
    for (uint8_t i = 0; i < m.bCount; ++i) {
        if (wSelected == MenuOptionBit(i + 1u)) ps = &m.psOptions[i];
    }
    if (ps == nullptr) {
        SetDriveAttentionFlag(FALSE);
        OfflineDiagnosticsMenu();
        return;
    }
    const uint8_t bResult = bSetAAMuxTuning(bGetMenuSelection(), bGetMenuController(), bGetMenuParameter(), m.bKind,
                                            ps->bProtocol, ps->bValue);
    MENU_FUNCTION pfnNext = AaMuxPortMenu;
    if (bResult == AA_MUX_FAILED || bResult == AA_MUX_INVALID_REQUEST) {
        ConsolePrintText(bResult == AA_MUX_FAILED ? m.pszFailed : "\nInvalid selection\n\n");
        pfnNext = OfflineDiagnosticsMenu;
    }
    Menu().pfnAnyKeyMenu = pfnNext;
    SetDriveAttentionFlag(FALSE);
    WaitForAnyKey();
}

void SetLoopback(uint64_t lPath, uint8_t bMode) {
    SetDriveAttentionFlag(TRUE);
    Menu().lMenuPath = lPath;
    const uint8_t bResult = bSetAAMuxFarEndLoopback(bGetMenuSelection(), bGetMenuController(), bGetMenuParameter(), bMode);
    if (bResult == AA_MUX_FAILED || bResult == AA_MUX_INVALID_REQUEST) {
        ConsolePrintf(bResult == AA_MUX_FAILED ? "\nLoopback enable failed\n\n" : "\nInvalid selection\n\n");
        Menu().pfnAnyKeyMenu = OfflineDiagnosticsMenu;
    } else {
        Menu().pfnAnyKeyMenu = AaMuxPortMenu;
    }
    SetDriveAttentionFlag(FALSE);
    WaitForAnyKey();
}

}  // namespace

void DiagnosticCounterMenu() {
    if (Menu().lMenuPath != PATH_COUNTERS) {
        ClearScreen(FALSE);
        EnterMenu(DiagnosticCounterMenu, PATH_COUNTERS);
        PrintMenuTitle("Diagnostic Counter Menu");
        const uint16_t wMask = wCounterMask();
        for (uint32_t i = 1; i < COUNTER_OPTION_COUNT; ++i) {
            if (wMask & MenuOptionBit(i)) ConsolePrintText(COUNTER_OPTIONS[i].pszText);
        }
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(wMask);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint32_t i = 1; i < COUNTER_OPTION_COUNT; ++i) {
        if (wSelected != MenuOptionBit(i)) continue;
        const COUNTER_OPTION& s = COUNTER_OPTIONS[i];
        if (s.pszHeading != nullptr) ConsolePrintText(s.pszHeading);
        if (s.pfnRun != nullptr) s.pfnRun();
        Menu().lMenuPath = PATH_COUNTERS * 16 + i;
        WaitForAnyKeyThen(DiagnosticCounterMenu);
        return;
    }
    DiagnosticsMenu();
}

// The enclosure, the slot and the mux port, one typed number each.
void AaMuxMaintenanceMenu() {
    MENU_STATE& s = Menu();
    if (s.lMenuPath != PATH_AA_MUX) {
        ClearScreen(FALSE);
        EnterMenu(AaMuxMaintenanceMenu, PATH_AA_MUX);
        PrintMenuTitle("AA Mux Maintenance Menu");
        ConsolePrintf("\nSelect Enclosure: ");
        s.bMenuStep = 0;
        AwaitTypedAnswer();
        return;
    }
    uint32_t dValue = 0;
    const bool fNumber = bParseMenuNumber(&dValue) == PARSE_VALUE;
    switch (s.bMenuStep) {
    case 0:
        // Enclosures and slots count from 1.
        if (!fNumber || dValue == 0 || dValue > ENCLOSURES) return PauseToOffline("\nInvalid Enclosure Number\n\n");
        SetMenuSelection(static_cast<uint8_t>(dValue));
        ConsolePrintf("\nSelect Slot     : ");
        s.bMenuStep = 1;
        AwaitTypedAnswer();
        return;
    case 1:
        if (!fNumber || dValue == 0 || dValue > SLOTS) return PauseToOffline("\nInvalid Slot Number\n\n");
        SetMenuController(static_cast<uint8_t>(dValue));
        ConsolePrintf("\nSelect Mux Port : ");
        s.bMenuStep = 2;
        AwaitTypedAnswer();
        return;
    case 2: {
        if (!fNumber || dValue >= MUX_PORTS) return PauseToOffline("\nInvalid Port Number\n\n");
        SetMenuParameter(static_cast<uint8_t>(dValue));
        bool fDevice = false;
        const bool fMux = HasAaMux(bGetMenuSelection(), bGetMenuController(), &fDevice);
        if (!fDevice) return PauseToOffline("\nInvalid Enclosure/Slot\n\n");
        if (!fMux) return PauseToOffline("\nAA Mux not connected\n\n");
        AaMuxPortMenu();
        return;
    }
    default: PauseToOffline("\nInvalid selection\n\n"); return;
    }
}

void AaMuxPortMenu() {
    if (Menu().lMenuPath != PATH_AA_MUX_PORT) {
        ClearScreen(FALSE);
        EnterMenu(AaMuxPortMenu, PATH_AA_MUX_PORT);
        PrintMenuTitle("AA Mux Maintenance Menu");
        ConsolePrintf("\n\nAA Mux: Encl:%02d:%02d Port %d\n\n", bGetMenuSelection(), bGetMenuController(),
                      bGetMenuParameter());
        ConsolePrintf("1.  Set Far-end Digital Loopback Mode\n");
        ConsolePrintf("2.  Set Far-end Analog Loopback Mode\n");
        ConsolePrintf("3.  Display Tuning Parameters\n");
        ConsolePrintf("4.  Set SAS/SATA Pre-emphasis\n");
        ConsolePrintf("5.  Set SAS/SATA Equalization\n");
        ConsolePrintf("6.  Set SAS/SATA Swing\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x7F);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: SetLoopback(PATH_AA_MUX_PORT * 16 + 1, AA_MUX_LOOPBACK_DIGITAL); break;
    case 1u << 2: SetLoopback(PATH_AA_MUX_PORT * 16 + 2, AA_MUX_LOOPBACK_ANALOG); break;
    case 1u << 3:
        SetDriveAttentionFlag(TRUE);
        Menu().lMenuPath = PATH_AA_MUX_PORT * 16 + 3;
        ShowAAMuxTuning(bGetMenuSelection(), bGetMenuController(), bGetMenuParameter());
        Menu().pfnAnyKeyMenu = AaMuxPortMenu;
        SetDriveAttentionFlag(FALSE);
        WaitForAnyKey();
        break;
    case 1u << 4: AaMuxPreEmphasisMenu(); break;
    case 1u << 5: AaMuxEqualizationMenu(); break;
    case 1u << 6: AaMuxSwingMenu(); break;
    default: OfflineDiagnosticsMenu(); break;
    }
}

void AaMuxPreEmphasisMenu() {
    RunTuningMenu({AaMuxPreEmphasisMenu, PATH_PRE_EMPHASIS, "Set AA Mux Pre-emphasis Menu", PRE_EMPHASIS, 10, 0x7FF,
                   AA_MUX_TUNE_PRE_EMPHASIS, "\nSet Pre-emphasis failed\n\n"});
}

void AaMuxEqualizationMenu() {
    RunTuningMenu({AaMuxEqualizationMenu, PATH_EQUALIZATION, "Set AA Mux Equalization Menu", EQUALIZATION, 6, 0x7F,
                   AA_MUX_TUNE_EQUALIZATION, "\nSet Equalization failed\n\n"});
}

void AaMuxSwingMenu() {
    RunTuningMenu({AaMuxSwingMenu, PATH_SWING, "Set AA Mux Swing Menu", SWING, 8, 0x1FF, AA_MUX_TUNE_SWING,
                   "\nSet Swing failed\n\n"});
}

}  // namespace fw
