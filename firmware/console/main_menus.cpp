// The top of the menu tree: the Main Menu Ctrl-E opens, the Configuration
// Menu every console configuration change passes through, the RS232
// Settings Menu, and the confirmations that save or clear the edit.
#include "console/menu_tree.h"

#include "cache/cache.h"
#include "cache/nvram_journal.h"
#include "cache/outstanding_queues.h"
#include "cache/read_ahead.h"
#include "config/config_db.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/default_config.h"
#include "config/drive_tables.h"
#include "config/host_port_tables.h"
#include "config/nvram_layout.h"
#include "config/nvram_tables.h"
#include "config/reset_settings.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "dataservices/data_services.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_rescan.h"
#include "eventlog/statistics.h"
#include "eventlog/time_logs.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/stop.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/host_interface.h"
#include "partner/partner_link.h"
#include "platform/ipc_peer.h"
#include "raid/raid_engine.h"
#include "raid/xor_engine.h"
#include "sas/sas_drive.h"
#include "target/lun_scheduler.h"
#include "target/stage_rings.h"
#include "target/target_engine.h"

namespace fw {

namespace {

constexpr uint64_t PATH_MAIN = MENU_PATH_MAIN;
constexpr uint64_t PATH_CONFIGURATION = 0x11;
constexpr uint64_t PATH_RS232 = 0x16;
constexpr uint64_t PATH_ENCLOSURE_INFORMATION = 0x17;
constexpr uint64_t PATH_PLEASE_WAIT = 0x1F;
constexpr uint64_t PATH_CLEAR = 0x117;
constexpr uint64_t PATH_SAVE = 0x11F;

constexpr uint8_t NO_RANK = 255;
constexpr uint32_t FEATURE_DATA_SERVICES = 0x2;
constexpr uint8_t APM_MESSAGE = 123;
constexpr uint8_t APM_STOP = 3;
constexpr uint8_t DUMP_TYPE_CONFIGURATION = 16;
constexpr uint8_t DUMP_TYPE_ENCLOSURE = 33;
constexpr uint8_t DUMP_MODE_MENU = 2;

MENU_STATE& Menu() { return *psGetMenuState(); }

// --- Main Menu ------------------------------------------------------------------

void ShowMainMenu() {
    ClearScreen(Menu().lMenuPath == MENU_PATH_NONE ? TRUE : FALSE);
    // Being here means no configuration edit is open.
    SetHostCommandHold(FALSE);
    SetMenuSessionActive(FALSE);
    EnterMenu(MainMenu, PATH_MAIN);
    PrintMenuTitle("Main Menu");
    ConsolePrintf("1.  Configuration\n");
    ConsolePrintf("2.  Diagnostics\n");
    ConsolePrintf("3.  Controller Information\n");
    ConsolePrintf("4.  Statistics\n");
    ConsolePrintf("5.  Event Log\n");
    ConsolePrintf("6.  RS232 Settings\n");
    ConsolePrintf("7.  Enclosure Information\n");
    uint16_t wMask = 0x00FF;
    const uint8_t bLevel = bGetDiagnosticsModeLevel();
    if (bLevel > 1) {
        ConsolePrintf("8.  Dump ICC/IPC/XOR Queues\n");
        ConsolePrintf("9.  Dump Used Init Queues\n");
        ConsolePrintf("10. Dump Used Target Queues\n");
        ConsolePrintf("11. Dump Rebuild Parameters\n");
        wMask |= 0x0F00;
    }
    const uint8_t bHostType = bGetHostInterfaceType();
    if (bLevel > 2 && (bHostType == HOST_INTERFACE_FC || bHostType == HOST_INTERFACE_SAS)) {
        ConsolePrintf(bHostType == HOST_INTERFACE_FC ? "14. Host Loop 0 LIP\n" : "14. Host Port 0 Reset\n");
        ConsolePrintf(bHostType == HOST_INTERFACE_FC ? "15. Host Loop 1 LIP\n" : "15. Host Port 1 Reset\n");
        wMask |= MenuOptionBit(14) | MenuOptionBit(15);
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

// A configuration edit opens: the phase machine takes the write grant,
// copies the live configuration and shows the Configuration Menu.
void OpenConfigurationEdit() {
    const uint8_t fRescan = fIsDriveRescanInProgress();
    if (fIsConfigUpdatePending() == TRUE || fIsConfigCommitInProgress() == TRUE || fRescan == TRUE) {
        Menu().lMenuPath = PATH_PLEASE_WAIT;
        ConsolePrintf(fRescan == TRUE ? "\nGathering Drive Information, Please Wait\n\n"
                                      : "\nConfiguration Write In Progress, Please Wait\n\n");
        WaitForAnyKeyThen(MainMenu);
        return;
    }
    SetMenuSessionActive(TRUE);
    IncrementConfigSaveCount();
    RequestConfigurationService();
    SetConfigPhase(CONFIG_PHASE_EDIT);
    SetConfigRequester(REQUESTER_CONSOLE);
    SetConfigPhaseStep(0);
}

void DumpPartnerAndXorQueues() {
    ShowDualControllerStats();
    ShowDualControllerIncomingQueue();
    ShowDualControllerOutgoingQueue();
    ShowOtherControllerParityReadDataQueue();
    DumpIpcRequestQueue();
    DumpIpcResponseQueue();
    ShowXorQueues();
    DumpArmRegs(FALSE);
}

void DumpTargetQueues() {
    DumpTargetKernelQueue();
    DumpOutstandingWriteQueue();
    DumpOutstandingReadQueue();
    ShowReadAheadBuffers();
    ShowNvramQueue();
    ShowPartnerNvramQueue();
    PrintHostCommandTimeLog();
    ShowTargetCommandPriorityCounters();
    ShowCurrentDataCounters();
    ShowActiveLunsPerRank();
}

void ResetHostPort(uint8_t bPort) {
    if (bGetHostInterfaceType() == HOST_INTERFACE_FC) {
        SetLoopResetRequest(bPort, TRUE);
    } else {
        ResetLsiHostPort(bPort == 1 ? PORT_CODE_FC_TABLE_1 : PORT_CODE_FC_TABLE_2);
    }
}

// --- Configuration Menu ------------------------------------------------------

uint32_t dScratchArrayCount() { return pGetScratchConfigImage()->sHeader.wRankCount; }

void ShowConfigurationMenu() {
    if (Menu().lMenuPath == PATH_MAIN) {
        ForgetEarlierEdit();
    }
    ClearScreen(FALSE);
    EnterMenu(ConfigurationMenu, PATH_CONFIGURATION);
    PrintMenuTitle("Configuration Menu");
    ConsolePrintf("1.  Array Configuration\n");
    ConsolePrintf("2.  Logical Drive Configuration\n");
    ConsolePrintf("3.  Additional Host Configuration\n");
    ConsolePrintf("4.  SAN LUN Mapping Configuration\n");
    ConsolePrintf("5.  Rebuild/Initialization Configuration\n");
    uint16_t wMask = 0x003F | 0x0F00;
    if ((dGetFeatureMask() & FEATURE_DATA_SERVICES) != 0) {
        ConsolePrintf("6.  Data Services Configuration\n");
        wMask |= MenuOptionBit(6);
    }
    ConsolePrintf("8.  Additional Configuration\n");
    ConsolePrintf("9.  View Configuration\n");
    ConsolePrintf("10. Clear Configuration\n");
    ConsolePrintf("11. APM Configuration\n");
    if (fGetConfigModified() == TRUE) {
        ConsolePrintf("\n15.  Quit Without Saving\n\n");
        ConsolePrintf("0.  Save and Exit\n\n");
        wMask |= MenuOptionBit(15);
    } else {
        ConsolePrintf("\n0.  Exit\n\n");
    }
    EndOptionScreen(wMask);
}

// The notices of the Configuration Menu wait for a key under the option's
// own path code, then show the menu again.
void ConfigurationNotice(uint32_t dOption, const char* pszText) {
    Menu().lMenuPath = PATH_CONFIGURATION * 16 + dOption;
    ConsolePrintText(pszText);
    WaitForAnyKeyThen(ConfigurationMenu);
}

// The submenus that need an array to work on.
void OpenArraySubmenu(uint32_t dOption, MENU_FUNCTION pfnMenu) {
    if (dScratchArrayCount() == 0) {
        ConfigurationNotice(dOption, "\nNo arrays defined, configuration cannot be changed.\n\n");
        return;
    }
    pfnMenu();
}

// --- RS232 Settings Menu -------------------------------------------------------

constexpr uint32_t BAUD_RATES[] = {115200, 57600, 38400, 19200, 9600};

void ShowRs232SettingsMenu() {
    ClearScreen(FALSE);
    EnterMenu(Rs232SettingsMenu, PATH_RS232);
    PrintMenuTitle("RS232 Settings Menu");
    ConsolePrintf("Select BAUD Rate (Currently set to %d)\n\n", dGetNvramBootWord());
    ConsolePrintf("1.  115200\n");
    ConsolePrintf("2.  57600\n");
    ConsolePrintf("3.  38400\n");
    ConsolePrintf("4.  19200\n");
    ConsolePrintf("5.  9600\n");
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(0x003F);
}

}  // namespace

void MainMenu() {
    if (Menu().lMenuPath != PATH_MAIN) {
        ShowMainMenu();
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 0:
        // The console stays deaf to all but Ctrl-E.
        SetConsoleInputEnabled(FALSE);
        ClearScreen(TRUE);
        break;
    case 1u << 1: OpenConfigurationEdit(); break;
    case 1u << 2: DiagnosticsMenu(); break;
    case 1u << 3: ControllerInformationMenu(); break;
    case 1u << 4: StatisticsMenu(); break;
    case 1u << 5: EventLogMenu(); break;
    case 1u << 6: Rs232SettingsMenu(); break;
    case 1u << 7:
        StartMenuDump(PATH_ENCLOSURE_INFORMATION, MainMenu, DUMP_TYPE_ENCLOSURE, DUMP_MODE_MENU);
        break;
    // The dumps leave the option prompt in force.
    case 1u << 8: DumpPartnerAndXorQueues(); break;
    case 1u << 9:
        DumpInitiatorKernelQueue();
        PrintDriveCommandTimeLog();
        break;
    case 1u << 10: DumpTargetQueues(); break;
    case 1u << 11:
        ShowRebuildInfo();
        ShowRankExpansionInfo();
        ShowParityCheckStatus();
        ShowStripeInitStats();
        break;
    case 1u << 14: ResetHostPort(1); break;
    case 1u << 15: ResetHostPort(2); break;
    default: ResetMenuSession(); break;
    }
}

void ConfigurationMenu() {
    if (Menu().lMenuPath != PATH_CONFIGURATION) {
        ShowConfigurationMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MENU_CODE_PHRASE) {
        Menu().lMenuPath = PATH_SAVE;
        ConsolePrintf("\nAdvanced Configuration Mode %u Enabled\n\n", bGetAdvancedConfigModeLevel());
        WaitForAnyKeyThen(ConfigurationMenu);
        return;
    }
    switch (wSelected) {
    case 1u << 0:
        if (fGetConfigModified() == TRUE) {
            SaveConfigurationMenu();
        } else {
            MainMenu();
        }
        break;
    case 1u << 1: ArrayConfigurationMenu(); break;
    case 1u << 2:
        if (fIsConfigurationChangeBlocked() == TRUE) {
            ConfigurationNotice(2, "\nLogical Drive configuration cannot be changed.\n\n");
        } else {
            OpenArraySubmenu(2, LogicalDriveConfigurationMenu);
        }
        break;
    case 1u << 3: OpenArraySubmenu(3, AdditionalHostConfigurationMenu); break;
    case 1u << 4: OpenArraySubmenu(4, SanLunMappingMenu); break;
    case 1u << 5: OpenArraySubmenu(5, RebuildConfigMenu); break;
    case 1u << 6: OpenArraySubmenu(6, DataServicesConfigurationMenu); break;
    case 1u << 8: OpenArraySubmenu(8, AdditionalConfigMenu); break;
    case 1u << 9:
        StartMenuDump(PATH_CONFIGURATION * 16 + 9, ConfigurationMenu, DUMP_TYPE_CONFIGURATION);
        break;
    case 1u << 10: ClearConfigurationMenu(); break;
    case 1u << 11: OpenArraySubmenu(11, ApmConfigurationMenu); break;
    case 1u << 15:
        // The edit ends unsaved: the drive-table edits go with it.
        RestoreDriveSlotTables();
        MainMenu();
        break;
    default: ShowConfigurationMenu(); break;
    }
}

void SaveConfigurationMenu() {
    if (Menu().lMenuPath != PATH_SAVE) {
        ConsolePrintf("\nSaving configuration will overwrite current configuration!!\n");
        ConsolePrintf("Confirm saving of new configuration (Y or N): ");
        EnterMenu(SaveConfigurationMenu, PATH_SAVE);
        AwaitTypedAnswer();
        return;
    }
    if (bParseYesNo() == TRUE) {
        const CONFIG_IMAGE* psLive = pGetConfigImage();
        const CONFIG_IMAGE* psScratch = pGetScratchConfigImage();
        ConsolePrintf(fConfigChangeNeedsReset(psLive, psScratch) == TRUE
                          ? "\nSaving Configuration, Controller Reset Required\n\n"
                          : "\nSaving Configuration\n\n");
        // Power management starts again once the commit has run.
        if (fIsMasterController() == TRUE) {
            StopAPM();
        } else {
            (void)bSendAPMMessageToPartner(nullptr, nullptr, 0, APM_MESSAGE, APM_STOP, nullptr);
        }
        ReleaseOdasMissingFromImage(psLive, psScratch);
        (void)RequestConfigUpdate(REQUESTER_CONSOLE);
        SetHostCommandHold(FALSE);
        SetMenuSessionActive(FALSE);
    } else {
        ConsolePrintf("\nNo change to Configuration\n\n");
        RestoreDriveSlotTables();
        SetHostCommandHold(FALSE);
        SetMenuSessionActive(FALSE);
        (void)bStartAPM();
    }
    WaitForAnyKeyThen(MainMenu);
}

void ClearConfigurationMenu() {
    if (Menu().lMenuPath != PATH_CLEAR) {
        ConsolePrintf("\nClearing configuration will erase all data!!\n");
        ConsolePrintf("Confirm clearing of configuration (Y or N): ");
        EnterMenu(ClearConfigurationMenu, PATH_CLEAR);
        AwaitTypedAnswer();
        return;
    }
    if (bParseYesNo() == TRUE) {
        // Only the scratch image: nothing reaches the drives unless the
        // operator saves on the way out.
        ConsolePrintf("\nClearing Configuration, Exit to Save\n\n");
        MakeDefaultConfiguration(pGetScratchConfigImage(), FALSE);
        ClearAllDuplicationProcesses();
        ResetDuplicationEntryTables();
        SetNvramLdDupState(TRUE);
        SetConfigModified(TRUE);
        SetArrayDeletedFlag(TRUE);
        SetPendingRebuildFlag(TRUE);
        SetPendingRebuildRequest(NO_RANK);
        SetPendingParityCheckFlag(TRUE);
        SetPendingParityCheckRank(NO_RANK);
    } else {
        ConsolePrintf("\nNo change to Configuration\n\n");
    }
    WaitForAnyKeyThen(ConfigurationMenu);
}

void Rs232SettingsMenu() {
    if (Menu().lMenuPath != PATH_RS232) {
        ShowRs232SettingsMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint32_t i = 0; i < sizeof BAUD_RATES / sizeof BAUD_RATES[0]; ++i) {
        if (wSelected != MenuOptionBit(i + 1)) continue;
        SetConsoleInputEnabled(FALSE);
        // Polled, so that the text leaves before the rate changes.
        DebugPrintf("%c[2J", 0x1B);
        DebugPrintf("\nBAUD Rate set to %d\n", BAUD_RATES[i]);
        InitConsoleUart(BAUD_RATES[i]);
        return;
    }
    MainMenu();
}

}  // namespace fw
