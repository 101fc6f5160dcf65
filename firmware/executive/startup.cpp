#include "executive/port_codes.h"
#include "executive/startup.h"

#include <cstring>

#include "cache/cache.h"
#include "cache/nvram_journal.h"
#include "cache/read_ahead.h"
#include "cache/write_sort.h"
#include "config/apply_settings.h"
#include "config/config_commit.h"
#include "config/config_db.h"
#include "config/config_load.h"
#include "config/config_state.h"
#include "config/config_upgrade.h"
#include "config/drive_tables.h"
#include "config/host_lun_tables.h"
#include "config/host_port_tables.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "config/rank_table.h"
#include "console/console_menu.h"
#include "console/debug_monitor.h"
#include "console/xmodem_receive.h"
#include "dataservices/data_services.h"
#include "enclosure/aux_status_record.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "eventlog/bus_monitor.h"
#include "eventlog/debug_dump.h"
#include "eventlog/event_log.h"
#include "eventlog/info_dump.h"
#include "eventlog/statistics.h"
#include "eventlog/target_trace.h"
#include "executive/background_process.h"
#include "executive/buffer_pages.h"
#include "executive/console_input.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/interrupt_controller.h"
#include "executive/interrupt_dispatch.h"
#include "executive/kernel_entry.h"
#include "executive/main_loop.h"
#include "executive/rtc.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "hw/addresses.h"
#include "hw/atu.h"
#include "hw/boot_rom.h"
#include "hw/cp15.h"
#include "hw/fpga.h"
#include "hw/gpio.h"
#include "hw/hw.h"
#include "hw/interrupt_controller.h"
#include "hw/memory_controller.h"
#include "hw/pci_ids.h"
#include "mgmt/management.h"
#include "partner/partner_link.h"
#include "platform/embedded_module.h"
#include "platform/fpga_program.h"
#include "platform/i2c.h"
#include "platform/pci.h"
#include "raid/drive_retry_table.h"
#include "raid/raid_engine.h"
#include "raid/row_hold.h"
#include "sas/marvell_sata.h"
#include "sas/sas_drive.h"
#include "target/back_end_completion.h"
#include "target/buffer_commands.h"
#include "target/dispatcher.h"
#include "target/host_command_pool.h"
#include "target/host_list.h"
#include "target/intermediate_target_queue.h"
#include "target/lun_scheduler.h"
#include "target/mode_pages.h"
#include "target/target_engine.h"
#include "target/target_queue_management.h"
#include "target/unit_attention.h"

namespace fw {

uint32_t ExceptionStackTable[8] = {
    0x00050060,  // software interrupt
    0x00054060,  // prefetch abort
    0x00058060,  // data abort
    0x0005C060,  // (no stub)
    0x00060060,  // undefined instruction
    0x00064060,  // (no stub)
    0x00068060,  // IRQ
    0x0006C060,  // FIQ
};

namespace {

constexpr uint8_t DEVICE_KIND_PCI = 1;
constexpr uint8_t DEVICE_KIND_PCIE = 2;
constexpr uint8_t EVENT_START_SHORT_OF_PAGES = 177;

uint32_t ReadBootWord(uint32_t dAddress) {
    HwWindow sWindow = HwGetWindow(HW_WINDOW_BOOT_BLOCK);
    uint32_t dValue;
    std::memcpy(&dValue, sWindow.pBase + (dAddress - sWindow.dProcessorAddress), sizeof dValue);
    return dValue;
}

void StoreVector(uint32_t dSlot, HwHandler pHandler) {
    uint32_t dAddress = dAddressWord(pHandler);
    std::memcpy(HwGetWindow(HW_WINDOW_VECTOR_PAGE).pBase + dSlot, &dAddress, sizeof dAddress);
}

void PassOrIdle(uint8_t bResult) {
    if (bResult != STATUS_OK) {
        ConsolePrintf("Fail\n");
        IdleForever();
    }
    ConsolePrintf("Pass\n");
}

void PassOrHalt(uint8_t bResult) {
    if (bResult != STATUS_OK) {
        ConsolePrintf("Fail\n");
        HaltController();
    }
    ConsolePrintf("Pass\n");
}

void ProgramFpgaIfNeeded() {
    uint16_t wVersion = Reg16Read(FPGA_VERSION);
    bool fPowerOn = wVersion == 0x0000 || wVersion == 0xFFFF;
    bool fProgram = fPowerOn || !(Reg16Read(FPGA_CONTROL) & FPGA_CONTROL_PROGRAMMED);
    if (!fProgram) return;
    ConsolePrintf("Programming IOP FPGA..............");
    PassOrHalt(bProgramIopFpga(0, TRUE));
    if (!fPowerOn) return;
    ConsolePrintf("Rebooting due to power-on reset\n");
    SpinDelayMs(2000);
    RebootBoard();
    // The board resets on the reboot above; nothing below runs on it.
    IdleForever();
}

void CheckDataCache() {
    uint32_t dControl = Cp15Read(CP15_CONTROL);
    if (dControl & CP15_CONTROL_DCACHE) return;
    ConsolePrintf("Unexpected value: Data Cache not enabled by Boot ROM.\n");
    Cp15Write(CP15_DCACHE_LOCKDOWN, 0);
    CleanInvalidateDataCache();
    Cp15Write(CP15_CONTROL, dControl | CP15_CONTROL_DCACHE);
}

uint8_t s_abPciDeviceKind[128];

}  // namespace

void IdleForever() {
    HwEnterEndlessState(HW_ENDLESS_IDLE);
    for (;;) SpinDelayMs(100);
}

void StopStartShortOfPages(uint32_t dPageCount) {
    uint32_t dOwnBlocks = 0, dPartnerBlocks = 0;
    const uint32_t dEntries = wCountCachedOwnExtents(&dOwnBlocks) + wCountPartnerExtentsWithData(&dPartnerBlocks);
    const uint32_t dBlocks = dOwnBlocks + dPartnerBlocks;
    PostEvent(EVENT_START_SHORT_OF_PAGES, static_cast<uint8_t>(dEntries), static_cast<uint8_t>(dEntries >> 8),
              static_cast<uint8_t>(dBlocks), static_cast<uint8_t>(dBlocks >> 8), static_cast<uint8_t>(dBlocks >> 16),
              static_cast<uint8_t>(dBlocks >> 24), static_cast<uint8_t>(dPageCount),
              static_cast<uint8_t>(dPageCount >> 8), static_cast<uint8_t>(dPageCount >> 16),
              static_cast<uint8_t>(dPageCount >> 24));
    ConsolePrintf("\n\nStart Stopped: No Run Of %u Free Buffer Pages, Cache Holds %02u Entries, ",
                  static_cast<unsigned>(dPageCount), static_cast<unsigned>(dEntries));
    if (dBlocks < 2048) {
        ConsolePrintf("<1 MB\n\n");
    } else {
        ConsolePrintf("%u MB\n\n", static_cast<unsigned>(dBlocks / 2048));
    }
    IdleForever();
}

void InitBoardHardware() {
    ResetPrefetchAbortBurst();
    ResetInterruptLocks();

    StoreVector(VECTOR_SLOT_UNDEFINED, &UndefinedInstructionEntry);
    StoreVector(VECTOR_SLOT_SOFTWARE_INTERRUPT, &SoftwareInterruptEntry);
    StoreVector(VECTOR_SLOT_PREFETCH_ABORT, &PrefetchAbortEntry);
    StoreVector(VECTOR_SLOT_DATA_ABORT, &DataAbortEntry);
    StoreVector(VECTOR_SLOT_IRQ, &IrqHandler);
    StoreVector(VECTOR_SLOT_FIQ, &FiqHandler);

    SetCtrlOptionBit2Flag(FALSE);
    SetAuxFlagB(FALSE);
    InitConsoleUart(115200);

    Reg32Write(GPIO_ENABLE, 0x5F19);
    Reg32Write(GPIO_DATA, 0xFFFF);

    InitJtag();
    ProgramFpgaIfNeeded();

    ConsolePrintf("IOP FPGA Version: 0x%04x\n", Reg16Read(FPGA_VERSION));
    ConsolePrintf("Hardware Version: 0x%04x\n", Reg16Read(FPGA_HW_VERSION));

    if (!(Reg16Read(FPGA_CONTROL) & FPGA_CONTROL_PROGRAMMED)) {
        Reg16Write(FPGA_CONTROL, Reg16Read(FPGA_CONTROL) | FPGA_CONTROL_FPGA_RESET);
        SpinDelayMs(1);
    }
    SetFpgaResetBit(TRUE);

    InitIndicators();

    InitBoardStateDefaults();
    CheckDataCache();
    if (Reg16Read(FPGA_BOARD) & FPGA_BOARD_ALTERNATE_BACKPLANE) SetBackplaneType(6);

    BusMonitorStartCounters(1);
    InitInterruptController();
    DisableInterrupts();

    SetShutdownPending(FALSE);
    SetControllerStopping(FALSE);
    SetShutdownReason(0);
    ResetInterruptLocks();
    ResetBoardStateWords();
    InitTarCmdTrace();

    ConsolePrintf("Initializing I2C Bus 1............");
    PassOrIdle(bInitI2cUnit1(TRUE));

    SetInitializationComplete(FALSE);
    SetClockBusy(FALSE);
    ReadClockAtStart();
    InitClockReference();
    Reg32Write(MCU_RFR, 0x00111100);
    ClearSasEvent144Posted();
}

namespace {

// What ValidateNvram found of the NVRAM header: TRUE valid,
// NVRAM_WWN_INVALID no WWN, anything else formatted afresh.
uint8_t s_bNvramHeader;

// The boot ROM's parameter block says how much memory the board has and,
// from version 3, where the exception stacks lie.
void ReadBootParameters() {
    uint32_t dVersion = ReadBootWord(BOOT_BLOCK_ADDRESS + BOOT_BLOCK_VERSION);
    uint32_t dMemorySize;
    if (dVersion >= 2) {
        dMemorySize = ReadBootWord(BOOT_BLOCK_ADDRESS + BOOT_BLOCK_MEMORY_SIZE);
        if (dVersion >= 3) {
            for (uint32_t i = 0; i < 8; ++i) {
                ExceptionStackTable[i] = ReadBootWord(BOOT_BLOCK_ADDRESS + BOOT_BLOCK_STACKS + 4 * i);
            }
        }
    } else {
        dMemorySize = ReadBootWord(BOOT_OLD_MEMORY_SIZE_ADDRESS);
    }
    SetSystemMemorySize(dMemorySize);
}

void CheckNvramBattery() {
    if (fCheckNvramClockAndPattern() == STATUS_OK) return;
    if (fIsModelZ7Q3() == TRUE || fIsModelZ7Q4() == TRUE || fIsZ8Q2Controller() == TRUE) {
        ConsolePrintf("\n*************** WARNING ******************\n");
        ConsolePrintf("\nInitial time and date has not been set OR \n");
    }
    ConsolePrintf("\n\nInvalid NVRAM Battery! Please Replace\n\n");
    IdleForever();
}

void CheckDateAndTime() {
    DATE_TIME sNow;
    GetDateTime(&sNow);
    if (bValidateDateTime(&sNow) == STATUS_OK) return;
    ConsolePrintf("\n\nInvalid Timestamp! Please Set Date and Time\n\n");
    IdleForever();
}

void CheckNvramHeader() {
    s_bNvramHeader = ValidateNvram();
    if (s_bNvramHeader != NVRAM_WWN_INVALID) return;
    PostEvent(85);
    ConsolePrintf("\n\nInvalid WWN! Please Program WWN\n\n");
    IdleForever();
}

// The statistics and the event log count this start; a header formatted
// afresh is the log's first event.
void StartStatisticsAndEventLog() {
    InitStatistics();
    IncrementStartCount();
    InitEventLog();
    // No printout runs yet.
    ResetInfoDump();
    ResetDebugDump();
    if (s_bNvramHeader != TRUE) PostEvent(84);

    LoadStatisticsStartTime();
    SaveLastStartTime();
    SaveNvramStatistics();
}

// The phases from the reset entry to the start of day, in order; a failed
// check ends in IdleForever.
constexpr void (*const s_apfnEntryPhases[])() = {
    ReadBootParameters,
    InitBoardHardware,
    InitTargetQueues,
    CheckNvramBattery,
    CheckDateAndTime,
    CheckNvramHeader,
    StartStatisticsAndEventLog,
};

}  // namespace

void ControllerEntry() {
    for (void (*pfnPhase)() : s_apfnEntryPhases) pfnPhase();
    InitController();
}

void InitKernelEntryPools() {
    InitKernelEntryPool();
    InitHostCommandPool();
    SetInitializationComplete(FALSE);
}

namespace {

// What the phases of the start of day learn and later phases read.
struct StartOfDay {
    uint8_t bHostType;
    bool fJoinRunningPartner;   // the partner was running: this controller joins it
    bool fSlot1;
    bool fMaster;
};
StartOfDay s_sStart;

void ShowIdentity() {
    ClearDebugCommandLog();

    uint8_t abWwn[8];
    GetNvramControllerWwn(abWwn);
    ConsolePrintf(bGetHostInterfaceType() == HOST_INTERFACE_SAS
                      ? "\n\nController SN :%02x %02x %02x %02x %02x %02x %02x %02x\n"
                      : "\n\nController WWN:%02x %02x %02x %02x %02x %02x %02x %02x\n",
                  abWwn[0], abWwn[1], abWwn[2], abWwn[3], abWwn[4], abWwn[5], abWwn[6], abWwn[7]);

    ConsolePrintf("Controller Type: %04x\n", wGetModelCode());
    ConsolePrintf("F/W version: %c%c%c%c %s %s %s\n", FIRMWARE_VERSION_CHARACTERS[0], FIRMWARE_VERSION_CHARACTERS[1],
                  FIRMWARE_VERSION_CHARACTERS[2], FIRMWARE_VERSION_CHARACTERS[3], "Dunra", pGetBuildDate(),
                  pGetBuildTime());
    ConsolePrintf("\n");
    PrintCurrentDateTime();
    CheckFlashImageRecord();
}

void StartPciBuses() {
    std::memset(s_abPciDeviceKind, DEVICE_KIND_PCI, sizeof s_abPciDeviceKind);
    s_abPciDeviceKind[PORT_CODE_INITIATOR] = DEVICE_KIND_PCIE;
    SetPciDeviceKindTable(s_abPciDeviceKind);
    ConsolePrintf(" Initialization Start\n");

    InitKernelEntryPools();
    ResetHostInterfaceBitmaps();

    ConsolePrintf("Initializing PCI..................");
    PassOrIdle(bInitPciBus());
    ConsolePrintf("Initializing PCI Express..........");
    PassOrIdle(bInitPciExpress());

    InitBoardState();
    ClearPciErrorStatus();
    // Forget interrupts latched while PCI was brought up (INTPND0 and 1).
    Cp6Write(0, INTC_INTPND, 0);
    Cp6Write(1, INTC_INTPND, 0);
    ReadClockAtStart();
    InitClockReference();
    EnableInterrupts();

    ResetSubsystemFlags();
}

void StartCacheAndI2c() {
    ConsolePrintf("Initializing Cache................");
    PassOrIdle(InitBufferPages());

    StartNvramJournal();
    StartNvramJournalReplay();
    CopyBootParameterBlock();

    ConsolePrintf("Initializing I2C Bus 0............");
    PassOrIdle(bInitI2cUnit0(FALSE));
    ConsolePrintf("Initializing I2C Bus 1............");
    PassOrIdle(bInitI2cUnit1(FALSE));
    ConsolePrintf("Initializing I2C Bus 2............");
    PassOrIdle(InitI2C2(FALSE));
}

void AllocateTablesAndBattery() {
    (void)AllocateSubsystemMemory();
    InitCallbackPool();
    InitTimerList();
    SetWriteBackCheckEnable(FALSE);
    ResetManagementBufferPointer();
    SetRaidStartFlag(FALSE);

    if (fIsLinePowerMode() == FALSE && fGetNvramOptionBit2() == FALSE) {
        ConsolePrintf("Initializing Battery.....");
        InitBatteryState();
        ConsolePrintf(fIsBatteryPresent() == TRUE ? "......Present\n" : "..Not Present\n");
    } else {
        SetFpgaLineModeBit();
        ConsolePrintf("Initializing Line Mode.....Battery Not Required\n");
        SetBatteryPresent(TRUE);
        SetBatteryChargeComplete(TRUE);
        SetBatteryFault(FALSE);
        PostEvent(66, 1);
    }
}

void ResetSubsystemState() {
    AllocateEventLogMirror();
    InitBackEndCompletion();
    InitXorQueues();
    InitStripeAccessTable();
    InitDualControllerManager();
    SetConfigValid(FALSE);
    InitDriveManagementState();
    InitSystemTick();
    EnableConsoleInput();
    // No file transfer survives a restart: console input goes to the menus.
    SetXmodemReceiveActive(FALSE);
    SetConfigPhase(FALSE);
    SetHostCommandHold(FALSE);
    SetConfigModified(FALSE);
    SetConfigUpdatePending(FALSE);
    SetDriveRescanInProgress(FALSE);
    SetDriveRescanRequest(FALSE);
    SetConfigWriteWaitFlag(FALSE);
    SetDriveCommandPendingFlag(FALSE);
    InitBackgroundProcesses();
    InitStripeInitTable();
    InitEnclosureServicesFlags();
    InitAuxStatusRecord();
    InitParityCheck();
    InitRowHolds();
    InitDriveRetryTable();
    InitZeroWriteJob();
    SetRebuildParFlag(FALSE);
    SetRebuildWork(FALSE);
    InitPowerManagementTables();
    SetAPMDriveVerifyRunning(FALSE);
    SetAPMHoldFlag(FALSE);
    InitPersistentReservations();
    InitTqmState();
    SetDriveVerifyOutstanding(0);
    SetPowerManagementState(0);
    SetConfigLoadRunning(FALSE);
    InitFailedDriveTable();
    InitDriveErrorCounters();

    if (fCheckExpansionMarker(0x7F, 0x5A) == TRUE) {
        ConsolePrintf("Firmware was upgraded for expansion. Please, wait %d seconds.\n", 60);
        SpinDelayMs(60000);
    }
}

void StartDrivePortsAndFindHostChips() {
    ConsolePrintf("Initializing SAS Ports............");
    PassOrHalt(LSI_SAS_DriveIOCBringUp(FALSE));

    ResetFibreChannelStartFlags();

    s_sStart.bHostType = bGetHostInterfaceType();
    if (s_sStart.bHostType == HOST_INTERFACE_FC) {
        ConsolePrintf("Searching For FC Ports............");
        Reg32Write(ATUX_ATUCR, Reg32Read(ATUX_ATUCR) & ~ATUX_ATUCR_BIT21);
        // Host chips on the PCI Express link are probed through it.
        if (fIsPCIeDevice(PCI_DEVICE_HOST_CHIP1) == TRUE) {
            QL2eInit();
        } else {
            InitQLogicChips();
        }
        bool fChip1 = fIsChipPresent(1) == TRUE, fChip2 = fIsChipPresent(2) == TRUE;
        if (fChip1 && fChip2) {
            ConsolePrintf("Pass\n");
        } else {
            ConsolePrintf("Fail\n");
            if (!fChip1 && !fChip2) (void)LockInterruptSource(INT_SOURCE_HOST_CHIPS);  // never released
            ConsolePrintf("Host Port %s.......................", "0");
            ConsolePrintf(fChip1 ? "PassHostPort 1\n" : "Fail\n");
            ConsolePrintf("Host Port %s.......................", "1");
            ConsolePrintf(fChip2 ? "PassHostPort 2\n" : "Fail\n");
            if (!fChip1 && !fChip2) HaltController();
            ConsolePrintf("Pass\n");
        }
    }

    // A test board fits the drive-loop chips as well; the production board
    // never sets the strap.
    if (Reg16Read(FPGA_BOARD) & FPGA_BOARD_DRIVE_LOOPS) StartDriveLoopChips();
    // Or the SATA host adapters: their drives identified, their engines on.
    if (Reg16Read(FPGA_BOARD) & FPGA_BOARD_SATA_CHIPS) {
        InitMarvellSata();
        MarvellResetAndIdentifyAll(FALSE);
        MarvellEnableAllPorts(TRUE);
    }
    PostEvent(82);
}

void DetectPartner() {
    s_sStart.fJoinRunningPartner = false;
    SetPartnerAlive(FALSE);
    SetDualControllerValid(FALSE);
    SetDualStartFlag(FALSE);
    SetHeartbeatRequestFlag(FALSE);
    if (fGetBoardFlagB6() == TRUE && fIsLinePowerMode() == FALSE) {
        ConsolePrintf("Partner Controller.........");
        if (fIsPartnerOnPath1() == FALSE && fIsPartnerOnPath2() == FALSE) {
            ConsolePrintf("Not Present\n");
        } else {
            SetPartnerAlive(TRUE);
            SetDualControllerValid(TRUE);
            if (bProbePartnerReady() == TRUE) {
                ConsolePrintf("Initialized\n");
                SetDualStartFlag(FALSE);
                SetHeartbeatRequestFlag(TRUE);
                SetSesPartnerJoinFlag(TRUE);
                ClearPowerManagementJoinFlag();
                ClearAllDuplicationProcesses();
                if (fIsModelZ7Q2() == TRUE || fIsExpansionModelZ7Q2() == TRUE) UpdateSASActiveActiveState(TRUE);
                s_sStart.fJoinRunningPartner = true;
            } else {
                ConsolePrintf("....Present\n");
                SetDualStartFlag(TRUE);
                SetHeartbeatRequestFlag(FALSE);
            }
        }
    }
}

void LoadConfiguration() {
    s_sStart.fSlot1 = fIsControllerSlot1() == TRUE;
    s_sStart.fMaster = !(fGetHeartbeatRequestFlag() == TRUE || (!s_sStart.fSlot1 && fIsPartnerAlive() == TRUE));
    InitDriveSideSAS();
    if (fGetHeartbeatRequestFlag() == TRUE || (!s_sStart.fSlot1 && fGetDualStartFlag() == TRUE)) InitRebuildNvRecord();
    ClearRebuildWorkArea();

    bool fPartnerLoad = !s_sStart.fSlot1 && fGetDualStartFlag() == TRUE;
    if (fIsProductionTestMode() == TRUE) {
        (void)bLoadConfiguration(FALSE);
    } else {
        ConsolePrintf("Loading Configuration.............");
        if (fPartnerLoad) {
            (void)bLoadConfiguration(TRUE);
        } else if (fGetHeartbeatRequestFlag() == TRUE) {
            PreparePartnerJoin();
            LoadPersistentReservationsFromPartner();
            LoadPrAttentionsFromPartner();
            (void)bLoadConfiguration(TRUE);
            ParityEngineJoinFollowUp();
        } else {
            (void)bLoadConfiguration(FALSE);
        }
        ConsolePrintf("Pass\n");
    }
    if (fIsIpcPeerEnabled() == TRUE) SendEthernetSettingsToPeer();
    if (fIsProductionTestMode() == FALSE && s_sStart.fMaster) {
        CheckOnDiskHeaders();
        if (fIsDualControllerActive() == FALSE && fGetWriteBackWithoutPartner() == FALSE &&
            fIsConfigValid() == TRUE) {
            PostEvent(8, bGetPartnerControllerNumber());
        }
    }
}

void StartEngines() {
    const uint8_t bMaster = ToFlag(s_sStart.fMaster);
    InitModePages();
    InitEchoBuffers();
    ResetCacheFlushSequencer();
    InitScsi2Reservations();
    InitReadAheadBuffers();
    InitNvramJournal();
    InitTargetDispatcher();
    SetBufferBaseline();
    InitSnapshotSubsystem();
    ClearManagementChangeCounter();
    InitSnapshotSupport();
    // Of two controllers starting together, slot 1 writes out what their
    // journals hold, unless slot 2 went on alone after slot 1 stopped and
    // slot 1 did not run alone after that: then slot 2 writes out its own,
    // and slot 1 learns so from slot 2's request before it writes or serves
    // anything.  The other keeps its journals until the writer's are on the
    // drives.  A joining controller discards its cached writes: the running
    // partner's mirrors replace them.  Alone, a controller writes out its
    // journals unless the configuration on the drives moved on without them:
    // the partner then ran on alone since and wrote out its copies of them,
    // and only the rows of the writes it had issued are made consistent.
    const bool fStartTogether = fGetDualStartFlag() == TRUE && fGetHeartbeatRequestFlag() != TRUE;
    const bool fJoin = fGetHeartbeatRequestFlag() == TRUE;
    const bool fAlone = !fStartTogether && !fJoin;
    const bool fOutrun = fIsConfigurationNewerThanJournals() == TRUE;
    if (fStartTogether && s_sStart.fSlot1) {
        StartCacheFlushSequencer(TRUE);
        AwaitPartnerStartRecord();
    } else if (fStartTogether && !fOutrun && fGetOutlivedPartnerRecord() == TRUE) {
        StartCacheFlushSequencer(TRUE);
        CopyJournalsToPartnerFirst();
    } else if (fStartTogether) {
        KeepJournalsForPartner(ToFlag(fOutrun));
    } else if (fJoin && fDoesPartnerAwaitJournals() == TRUE) {
        // The running partner waits for them: it has served nothing since.
        StartCacheFlushSequencer(TRUE);
    } else if (fJoin && fIsSASFailbackInProgress() == TRUE) {
        // The rows of writes it had issued are resynced before the join
        // ends: its journal may be the only record of them.
        KeepIssuedWritesForJoin();
    } else if (fAlone && fOutrun) {
        // The same rows are resynced at once: no partner writes them.
        ResyncIssuedWritesAlone();
    } else {
        StartCacheFlushSequencer(ToFlag(fAlone));
    }
    const bool fSingle = pGetConfigImage()->sHeader.fSingleControllerMode == TRUE;
    if (fAlone && fOutrun && fDoesAnyRankKeepWriteBackAlone() == TRUE && !fSingle) {
        // The partner ran on alone after this controller stopped, keeping
        // write-back: what it acknowledged then and has not yet written is
        // on its side only, and the drives hold older data in its place.
        AwaitPartnerJournals();
    }
    if (fAlone) {
        // Alone, this controller goes on without its partner from here.
        SetOutlivedPartnerRecord(TRUE);
        // A controller of a pair (single-controller mode FALSE) started
        // alone saves the configuration, naming itself, before it serves a
        // host.
        if (pGetConfigImage()->sHeader.fSingleControllerMode == FALSE) HoldHostWorkUntilGenerationMoves(TRUE);
    }
    SetLunMasterFlags(bMaster);
    InitLoopPortTables();
}

void PingPartner() {
    ConsolePrintf("Wait To Enable Host Ports......");
    uint8_t bPing = bPingPartnerSync();
    ConsolePrintf(bPing == STATUS_OK ? ".....OK\n" : bPing == 0xFC ? "Timeout\n" : "..Error\n");
}

void PartnerStartOfDay() {
    PingPartner();
    ReadPartnerStartOfDayData(FALSE);
    (void)bSendSasPhyMessage157(FALSE);
    (void)bSendSasPhyMessage190(FALSE);
}

void StartHostPorts() {
    const bool fWaitForPartner =
        fGetHeartbeatRequestFlag() == TRUE || (!s_sStart.fSlot1 && fGetDualStartFlag() == TRUE);
    const uint8_t bHostType = s_sStart.bHostType;
    if (bHostType == HOST_INTERFACE_FC) {
        ConsolePrintf("Initializing Host Ports...........");
        DisableHostChipInterrupts();
        StartHostChips();
        bool fChip1 = fIsChipPresent(1) == TRUE, fChip2 = fIsChipPresent(2) == TRUE;
        if (fChip1 && fChip2) {
            ConsolePrintf("Pass\n");
        } else {
            ConsolePrintf("Fail\n");
            ConsolePrintf("Host Port %s.......................", "0");
            ConsolePrintf(fChip1 ? "Pass\n" : "Fail\n");
            ConsolePrintf("Host Port %s.......................", "1");
            ConsolePrintf(fChip2 ? "Pass\n" : "Fail\n");
            if (!fChip1) SetQLPortFlags(3, FALSE);
            if (!fChip2) SetQLPortFlags(4, FALSE);
            if (!fChip1 && !fChip2) IdleForever();
            SpinDelayMs(100);
            ConsolePrintf("Pass\n");
        }
        if (bGetHostPortMode() == 1) {
            if (fGetHeartbeatRequestFlag() == TRUE && fIsProductionTestMode() == FALSE) {
                SpinDelayMs(500);
                PingPartner();
            }
            if (fIsProductionTestMode() == FALSE && fGetBoardFlagB6() == TRUE) {
                SetQLPortFlags(1, TRUE);
                if (fIsNvramOption1Set() == FALSE) SetQLPortFlags(2, TRUE);
                if (fWaitForPartner) ReadPartnerStartOfDayData(FALSE);
            }
        } else if (fIsSASFailbackInProgress() == FALSE) {
            if (fWaitForPartner) PartnerStartOfDay();
            EnableHostChipInterrupts();
        }
    } else if (bHostType == HOST_INTERFACE_SAS) {
        ConsolePrintf("Initializing Host Ports...........");
        PassOrIdle(InitSASHostPorts());
        SetHostPortLinkFlag(PORT_CODE_FC_TABLE_1, TRUE);
        SetHostPortLinkFlag(PORT_CODE_FC_TABLE_2, TRUE);
    } else if (bHostType == HOST_INTERFACE_SAS_TARGET) {
        ConsolePrintf("\nInitializing SAS Host Ports...........\n");
        if (LSI_SAS_TargetInit() != STATUS_OK) {
            ConsolePrintf("Fail\n");
            IdleForever();
        }
        ConsolePrintf("\n SAS Host Ports Initialized\n");
        SetHostPortLinkFlag(PORT_CODE_SAS_HOST_1, TRUE);
        SetHostPortLinkFlag(PORT_CODE_SAS_HOST_2, TRUE);
        if (fIsSASFailbackInProgress() == FALSE && fWaitForPartner) PartnerStartOfDay();
    }
}

void AgreeStartOfDayWithPartner() {
    if (fIsEnvironmentMonitorEnabled() == TRUE) InitOwnEnclosure();
    SetFcScanFlag(TRUE);

    uint32_t dStartOfDay = FIRMWARE_VERSION_WORD;
    if (fGetHeartbeatRequestFlag() == TRUE && fIsProductionTestMode() == FALSE) {
        if (fGetAutoUpgradeSkipFlag() == FALSE) {
            SetAutoUpgradeSkipFlag(TRUE);
            dStartOfDay = 0;
        } else if (fRunAutoUpgradeCheck() == TRUE) {
            dStartOfDay = 0xFFFFFFFF;
        }
    }
    SendPartnerIdentity(dStartOfDay);

    WritePreservationPattern();
    (void)bUpdatePartnerMissingIndicator();
    SetHardwareWatchdog(TRUE);

    if (s_sStart.bHostType == HOST_INTERFACE_EMBEDDED) InitEmbeddedModuleInterfaces();
    InitDmaChannelDriver();
    SetReadyIndicators(TRUE);
    CheckPartnerVersionMatch();
    if (fIsModelZ7Q2() == TRUE || fIsExpansionModelZ7Q2() == TRUE) UpdateSASActiveActiveState(TRUE);
    if (fIsDualControllerActive() == TRUE) CheckEnclosureFirmwareUpdate(TRUE, FALSE);
}

void StartDataServices() {
    if (fGetHeartbeatRequestFlag() == TRUE) {
        SetWaitForODAStartupFlag(TRUE);
        SetSnapshotJoinFlag(TRUE);
        SetOCODAStartupInProgFlag(FALSE);
        PrepareSnapshotStart();
        if (fIsSASFailbackInProgress() == FALSE) CheckWaitForODAStartup();
    } else {
        SetWaitForODAStartupFlag(FALSE);
        StartODAStartup(TRUE);
    }

    SetPrOutWaitFlag(FALSE);
    SetPrOutPendingFlag(FALSE);
    SetPrOutPendingEntry(0);
    InitWriteSort();
    InitLunScheduler();
    StartDuplication(ToFlag(s_sStart.fJoinRunningPartner));
    SetMuxHousekeepingRequest(TRUE);
}

// The phases of the start of day, in order; the main loop follows them.
constexpr void (*const s_apfnStartPhases[])() = {
    ShowIdentity,
    StartPciBuses,
    StartCacheAndI2c,
    AllocateTablesAndBattery,
    ResetSubsystemState,
    StartDrivePortsAndFindHostChips,
    DetectPartner,
    LoadConfiguration,
    StartEngines,
    StartHostPorts,
    AgreeStartOfDayWithPartner,
    StartDataServices,
};

}  // namespace

void InitController() {
    for (void (*pfnPhase)() : s_apfnStartPhases) pfnPhase();
    MainLoop();
}

uint8_t bLoadConfiguration(uint8_t bSource) {
    BeginConfigLoad();
    if (bSource == TRUE) {
        if (LoadConfigFromPartner(FALSE) != STATUS_OK) {
            if (LoadConfigFromSasDrives() != STATUS_OK) return 0;
        } else if (fGetAutoUpgradeSkipFlag() == TRUE) {
            ConfigUpgrade(pGetConfigImage());
        }
    } else if (LoadConfigFromSasDrives() != STATUS_OK) {
        return 0;
    }
    return ApplyStoredSettings(TRUE, TRUE) == STATUS_OK ? STATUS_OK : 0;
}

uint8_t AllocateSubsystemMemory() {
    constexpr uint32_t IMAGE_PAGES = 230;
    constexpr uint32_t IMAGE_BYTES = 942080;
    constexpr uint32_t WORK_PAGES = 8;
    uint8_t* apImage[2];
    for (uint8_t*& pImage : apImage) {
        pImage = static_cast<uint8_t*>(pBufferHandleToPointer(dTakeStartOfDayPages(IMAGE_PAGES)));
        std::memset(pImage, 0, IMAGE_BYTES);
    }
    uint8_t* pWork = static_cast<uint8_t*>(pBufferHandleToPointer(dTakeStartOfDayPages(WORK_PAGES)));
    std::memset(pWork, 0, WORK_PAGES * 4096);
    SetConfigImageBuffers(apImage[0], apImage[1], pWork);

    if (InitHostPortLunTables() != STATUS_OK) return 0;
    AllocateHostPortRecords();
    if (bSetUpDriveLoopDeviceTable() != STATUS_OK) return 0;
    if (bSetUpConfigUpgradeTable() != STATUS_OK) return 0;
    InitDriveTables();
    AllocateEnclosureServicesTables();
    AllocHostList();
    AllocReadAheadBuffers();
    AllocateRaidEngineTables();
    AllocateDualParityTables();
    return bAllocateMuxTables();
}

void ResetSubsystemFlags() {
    ResetConfigStartFlags();
    ResetConsoleStartFlags();
    ResetPartnerStartFlags();
    ResetRaidStartFlags();
    ResetDriveStartFlags();
    ResetEnclosureStartFlags();
    ResetSasStartFlags();
    ResetSnapshotStartFlags();
}

}  // namespace fw
