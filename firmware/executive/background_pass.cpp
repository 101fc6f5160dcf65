// The background pass of the main loop.
#include "executive/background_pass.h"

#include "cache/cache.h"
#include "config/config_state.h"
#include "config/host_lun_tables.h"
#include "config/host_port_tables.h"
#include "config/nvram_tables.h"
#include "console/console_menu.h"
#include "console/throughput_test.h"
#include "console/xmodem_receive.h"
#include "dataservices/data_services.h"
#include "enclosure/drive_management.h"
#include "enclosure/environment_monitor.h"
#include "eventlog/bus_monitor.h"
#include "eventlog/debug_dump.h"
#include "eventlog/info_dump.h"
#include "executive/background_process.h"
#include "executive/console_output.h"
#include "executive/kernel_queue.h"
#include "executive/main_loop.h"
#include "executive/port_codes.h"
#include "executive/rtc.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/upcalls.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "partner/lun_service_list.h"
#include "partner/partner_link.h"
#include "platform/battery.h"
#include "platform/embedded_module.h"
#include "platform/i2c.h"
#include "raid/raid_engine.h"
#include "raid/row_hold.h"
#include "sas/active_active.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/marvell_sata.h"
#include "sas/sas_census.h"
#include "sas/sas_drive.h"
#include "sas/sas_target_commands.h"
#include "sas/slot_phy_actions.h"
#include "target/stage_rings.h"
#include "target/back_end_completion.h"
#include "target/task_management.h"
#include "target/target_engine.h"

namespace fw {

namespace {

constexpr uint16_t ENCLOSURE_POLL_MS = 500;

// Service flags.
constexpr uint8_t HOLDABLE = 0x01;    // skipped while the background hold is set
constexpr uint8_t RESTART = 0x02;     // a run restarts the sweep from its first gate
constexpr uint8_t EVERY_PASS = 0x04;  // runs each pass; does not by itself ask for another

struct BackgroundService {
    uint8_t bStep;   // 0: the row has no step number
    uint8_t bFlags;
    bool (*fnGate)();
    void (*fnService)();
};

bool IsTrue(uint8_t f) { return f == TRUE; }

// The tick countdowns that time services of the pass: the two menu timers,
// the enclosure poll timer (milliseconds) and the bus monitor's countdown
// (half seconds).
bool AreMenuTimersDone() { return wGetTickCountdown2() == 0 && wGetTickCountdown3() == 0; }
bool IsEnclosurePollDue() { return wGetTickCountdown4() == 0; }
void RestartEnclosurePollTimer() { SetTickCountdown4(ENCLOSURE_POLL_MS); }
bool IsBusMonitorDue() { return bGetHalfSecondCountdown(HALF_SECOND_COUNTDOWN_BUS_MONITOR) == 0; }
bool IsHostType(uint8_t bType) { return bGetHostInterfaceType() == bType; }
bool IsFc() { return IsHostType(HOST_INTERFACE_FC); }
bool IsOtherHostType() {
    return !IsHostType(HOST_INTERFACE_FC) && !IsHostType(HOST_INTERFACE_SAS_TARGET);
}
// The table of a port whose driver does not scan it is rebuilt when the
// port's link flag is raised, but not twice within a few seconds.  A row that
// only waits out that interval asks for no further pass: asked for at every
// pass, the seconds of waiting would keep the main loop from ever idling.
// The tick looks at the flag again when it next raises work.
void RebuildPortLunTableWhenDue(uint8_t bPort) {
    if (RebuildPortLunTable(bPort)) SetWorkPending(TRUE);
}
bool IsXmodemActive() { return IsTrue(fIsXmodemReceiveActive()); }

// On the Z8Q2 the clock shares its bus with the I2C unit 2 device poll;
// elsewhere it shares unit 0 with the chassis sensors.
bool IsClockBusFree() {
    if (bGetClockI2cUnit() == 0 && IsTrue(fIsChassisLinkBusy())) return false;
    return !IsTrue(fIsZ8Q2Controller()) || !IsTrue(fIsI2c2DevicePollBusy());
}

bool IsDriveLoopReady(uint8_t bPort) {
    return IsTrue(fGetDriveLoopLipFlag(bPort)) && IsTrue(fIsDriveLoopUp(bPort));
}

bool IsDriveLoopResetDue(uint8_t bPort) {
    return IsTrue(fGetLoopResetRequest(bPort)) &&
           (!IsTrue(fIsBackgroundHold()) || IsTrue(fIsLinePowerMode())) &&
           IsTrue(fIsDriveLoopUp(bPort));
}

bool IsHostLoopResetDue(uint8_t bPort) {
    return IsTrue(fGetLoopResetRequest(bPort)) && IsTrue(fIsHostLoopUp(bPort));
}

bool IsHostLoopResetStale(uint8_t bPort) {
    return IsTrue(fGetLoopResetRequest(bPort)) && !IsTrue(fIsHostLoopUp(bPort)) &&
           IsTrue(fIsZ8Q2Controller());
}

// Neither a commit nor a rescan is running or waiting on something.
bool IsConfigurationIdle() {
    return !IsTrue(fIsConfigCommitInProgress()) && !IsTrue(fGetConfigWriteWaitFlag()) &&
           !IsTrue(fIsDriveRescanInProgress()) && !IsTrue(fGetHostCommandHold());
}

// A shutdown (or an operator's reset) waits for the write journal to drain,
// at most 120 coarse ticks after it was started; I2C bus 1 work (the clock
// and the sensors) is let finish first.
void CheckShutdown() {
    if (!IsTrue(fIsControllerStopping())) FinishControllerStop();
    const uint16_t wJournal = wGetJournalInUseCount();
    const bool fDrained = (wJournal == 0 || wJournal <= wGetJournalDrainAllowance()) &&
                          !IsTrue(fAnySnapshotBitmapSet());
    if (!fDrained && dGetCoarseTick() - dGetShutdownStartTime() <= SHUTDOWN_DRAIN_TICKS) return;
    if (!IsTrue(fGetI2cBus1Work())) FinishControllerStop();
}

const BackgroundService s_asServices[] = {
    // A board of direct SATA ports: the commands' time-outs, then the ports.
    {1, HOLDABLE, [] { return IsTrue(fIsMarvellSataStarted()); },
     [] {
         MarvellCommandTimeoutScan();
         MarvellPortMonitor();
     }},
    // The discovery asks for the next pass itself, but not through its waits.
    {1, HOLDABLE | EVERY_PASS,
     [] {
         // On a board of direct SATA ports the flags are the SATA monitor's.
         return (IsTrue(fGetSasDriveWork()) || IsTrue(fGetSasDiscoveryWork())) &&
                !IsTrue(fIsDriveFirmwareDownloadInProgress()) && !IsTrue(fIsMarvellSataStarted());
     },
     [] { SASDiscoveryStep(); }},
    {2, HOLDABLE, [] { return IsTrue(fGetLoopTableRequest()) && !IsXmodemActive(); },
     [] { LoopTableService(); }},
    // The failback asks for the next pass itself, but not through its waits.
    {3, EVERY_PASS, [] { return IsTrue(fIsSASFailbackInProgress()); }, [] { SASFailbackStep(); }},
    {4, 0, [] { return IsTrue(fGetDualControllerWorkFlag()); }, [] { DualControllerWork(); }},
    {4, 0, [] { return IsTrue(fIsLunServiceDue()); }, [] { ServiceLunList(); }},
    {5, 0, [] { return IsTrue(fGetHostChipServiceRequest(1)); }, [] { HostChipService(1); }},
    {6, 0, [] { return IsTrue(fGetHostChipServiceRequest(2)); }, [] { HostChipService(2); }},
    // Fibre Channel host ports; a scan held back for more events of its
    // loop does not keep the passes going (it has the loop woken when due).
    {7, 0, [] { return IsFc() && IsTrue(bGetHostPortLinkFlag(1)) && IsTrue(fIsHostPortScanDue(1)); },
     [] { RebuildPortLunTable(1); }},
    {8, 0, [] { return IsFc() && IsTrue(bGetHostPortLinkFlag(2)) && IsTrue(fIsHostPortScanDue(2)); },
     [] { RebuildPortLunTable(2); }},
    {9, HOLDABLE, [] { return IsFc() && wGetHostCommandPoolCount(1) != 0; },
     [] { HostCommandService(1); }},
    {10, HOLDABLE, [] { return IsFc() && wGetHostCommandPoolCount(2) != 0; },
     [] { HostCommandService(2); }},
    {11, HOLDABLE, [] { return IsFc() && wGetTargetSchedulingCount(1) != 0; },
     [] { TargetQueueService(1); }},
    {12, HOLDABLE, [] { return IsFc() && wGetTargetSchedulingCount(2) != 0; },
     [] { TargetQueueService(2); }},
    // SAS target driver host ports.
    {13, HOLDABLE,
     [] {
         return IsHostType(HOST_INTERFACE_SAS_TARGET) &&
                wGetHostCommandPoolCount(PORT_CODE_SAS_HOST_1) != 0;
     },
     [] { SASTargetTaskManagementService(PORT_CODE_SAS_HOST_1); }},
    {14, HOLDABLE,
     [] {
         return IsHostType(HOST_INTERFACE_SAS_TARGET) &&
                wGetHostCommandPoolCount(PORT_CODE_SAS_HOST_2) != 0;
     },
     [] { SASTargetTaskManagementService(PORT_CODE_SAS_HOST_2); }},
    // Every other host interface.
    {15, EVERY_PASS, [] { return IsOtherHostType() && IsTrue(bGetHostPortLinkFlag(PORT_CODE_FC_TABLE_1)); },
     [] { RebuildPortLunTableWhenDue(PORT_CODE_FC_TABLE_1); }},
    {16, EVERY_PASS, [] { return IsOtherHostType() && IsTrue(bGetHostPortLinkFlag(PORT_CODE_FC_TABLE_2)); },
     [] { RebuildPortLunTableWhenDue(PORT_CODE_FC_TABLE_2); }},
    {18, HOLDABLE | RESTART, [] { return IsDriveLoopReady(3) || IsDriveLoopReady(4); },
     [] { BringUpDriveLoops(); }},
    {19, RESTART, [] { return IsDriveLoopResetDue(3); },
     [] {
         ResetLoop(3);
         if (IsTrue(fGetLoopResetRequest(4)) && IsTrue(fIsDriveLoopUp(4))) ResetLoop(4);
     }},
    {19, RESTART, [] { return IsDriveLoopResetDue(4); }, [] { ResetLoop(4); }},
    {19, 0, [] { return IsTrue(fGetPeriodicLoopCheckRequest()); }, [] { PeriodicDriveLoopCheck(); }},
    {21, RESTART, [] { return IsHostLoopResetDue(1); },
     [] {
         ResetLoop(1);
         if (IsHostLoopResetDue(2)) ResetLoop(2);
     }},
    {0, 0, [] { return IsHostLoopResetStale(1); }, [] { SetLoopResetRequest(1, FALSE); }},
    {22, RESTART, [] { return IsHostLoopResetDue(2); }, [] { ResetLoop(2); }},
    {0, 0, [] { return IsHostLoopResetStale(2); }, [] { SetLoopResetRequest(2, FALSE); }},
    {23, HOLDABLE | RESTART, [] { return wGetParkedEntryCount() != 0; },
     [] { ServiceDriveLoopReset(); }},
    {24, HOLDABLE | RESTART, [] { return wGetHostChipServiceCount() != 0; },
     [] { FailedDriveCommandTask(); }},
    {25, HOLDABLE, [] { return IsTrue(fGetQLogicServiceFlag()); }, [] { QLogicService(); }},
    {26, 0, [] { return IsTrue(fGetI2cBus1Work()); }, [] { I2cUnit1Service(); }},
    {29, HOLDABLE, [] { return wGetBackEndCompletionCount() != 0; },
     [] { ReissueDelayedCommands(PORT_CODE_INITIATOR); }},
    {30, HOLDABLE, [] { return wGetConfigurationServiceCount() != 0; },
     [] { RunConfigPhase(); }},
    {31, HOLDABLE, [] { return wGetStartOfDayServiceCount() != 0; },
     [] { RunConfigPhaseBackground(); }},
    {32, HOLDABLE | RESTART,
     [] {
         return IsTrue(fIsConfigUpdatePending()) && IsConfigurationIdle() &&
                !IsTrue(fGetCommitSpinUpWait());
     },
     [] { StartConfigCommit(); }},
    {33, HOLDABLE | RESTART,
     [] {
         return IsTrue(fIsDriveRescanRequested()) && IsConfigurationIdle() &&
                !IsTrue(fGetDriveRescanBlockingFlag());
     },
     [] { ProcessDriveRescanRequest(); }},
    {35, HOLDABLE, [] { return IsTrue(fIsStripeInitDue()); }, [] { StripeInitTask(); }},
    {36, HOLDABLE, [] { return IsTrue(fIsParityCheckInProgress()); }, [] { ParityCheckTask(); }},
    {36, HOLDABLE, [] { return IsTrue(fAreRowHoldsWaiting()); }, [] { ServiceRowHolds(); }},
    {37, HOLDABLE, [] { return IsTrue(fIsExpansionTaskDue()); }, [] { ExpansionTask(); }},
    {38, 0, [] { return IsTrue(fGetDriveFirmwareDownloadRequest()); },
     [] { DriveFirmwareDownloadStep(); }},
    {39, HOLDABLE,
     [] {
         return IsTrue(fGetRebuildCheckPending()) && !IsTrue(fIsDriveRescanRequested()) &&
                !IsTrue(fIsConfigUpdatePending()) && IsConfigurationIdle();
     },
     [] { RebuildCheckTask(); }},
    // A page on the console waits while its output is held (Ctrl-S): run on,
    // it would fill the console log until whole lines were dropped.
    {40, 0,
     [] {
         return IsTrue(fGetInfoDumpRequest()) &&
                (!IsTrue(fIsConsoleOutputPaused()) || IsTrue(fIsConsoleOutputCaptured()));
     },
     [] { RunInfoDump(); }},
    {41, HOLDABLE, [] { return IsTrue(fGetThroughputTestRequest()); },
     [] { RunThroughputTest(); }},
    {42, EVERY_PASS, [] { return IsXmodemActive(); }, [] { XmodemReceiveStep(); }},
    {43, 0, [] { return IsTrue(fGetConsoleLogPending()) && !IsXmodemActive(); },
     [] { DrainConsoleLog(); }},
    {45, 0, [] { return IsTrue(bGetBusMonitorMode()); },
     [] {
         if (IsBusMonitorDue()) RunBusMonitorStep();
     }},
    {46, 0, [] { return IsTrue(fGetConsoleMenuWork()); },
     [] {
         if (AreMenuTimersDone()) RunPendingMenuCall();
     }},
    {47, HOLDABLE, [] { return IsTrue(fGetTimeSyncWork()); },
     [] {
         if (IsTrue(fIsDualControllerActive())) SendTimeOfDayToPartner(0, 1);
         SetTimeSyncWork(FALSE);
     }},
    // A flush that runs finishes first; its end asks for the pass again.
    {48, 0, [] { return IsTrue(fGetCacheFlushSequencerRequest()) && !IsTrue(fGetRetripeFlag()); },
     [] { CacheFlushSequencerBackgroundStep(); }},
    {48, 0, [] { return IsTrue(fIsFlushNoticeOwed()); }, [] { SendOwedFlushNotice(); }},
    {49, HOLDABLE, [] { return IsTrue(fGetEnclosureTaskRequest()); },
     [] { EnclosureTaskStep(); }},
    {50, HOLDABLE, [] { return IsTrue(fGetSesPollRequest()); }, [] { SesPagePollStep(); }},
    // The drain is waited for pass by pass; the wait itself is no work.
    {51, EVERY_PASS, [] { return IsTrue(fIsShutdownPending()); }, [] { CheckShutdown(); }},
    {52, HOLDABLE,
     [] { return IsTrue(fGetDriveServiceWorkA()) && !IsTrue(fGetSASTimedHoldFlag()); },
     [] { DriveTableServiceA(); }},
    {53, HOLDABLE, [] { return IsTrue(fGetDriveServiceWorkB()); }, [] { DriveTableServiceB(); }},
    {54, 0, [] { return IsTrue(fGetDebugDumpWork()); }, [] { ShowDebugInformation(); }},
    {55, HOLDABLE, [] { return IsTrue(fGetHostTargetWork()); },
     [] {
         PartnerHostTargetService();
         SetHostTargetWork(FALSE);
     }},
    {56, 0, [] { return IsTrue(fGetClockWriteWork()) && IsClockBusFree(); },
     [] {
         StartClockWrite();
         SetClockWriteWork(FALSE);
     }},
    {57, 0, [] { return IsTrue(fGetClockReadWork()) && IsClockBusFree(); },
     [] {
         StartClockRead();
         SetClockReadWork(FALSE);
         if (IsTrue(fIsZ8Q2Controller())) I2cUnit1SensorPoll();
     }},
    {58, 0, [] { return IsTrue(fGetI2cBus0Work()); }, [] { I2cUnit0Service(); }},
    {59, 0, [] { return IsTrue(fGetI2cBus0PollWork()); }, [] { I2cUnit0PollService(); }},
    {60, 0, [] { return IsTrue(fGetI2cBus2Work()); }, [] { I2cUnit2Service(); }},
    {61, 0, [] { return IsTrue(fGetI2cBus2PollWork()); }, [] { I2cUnit2PollService(); }},
    {62, 0, [] { return IsTrue(fGetTemperatureWork()); },
     [] {
         SetTemperatureWork(FALSE);
         MonitorTemperatures();
     }},
    {63, 0,
     [] {
         return IsTrue(fIsEnvironmentMonitorEnabled()) && IsTrue(fIsMasterController()) &&
                IsEnclosurePollDue();
     },
     [] {
         PollOwnEnclosure();
         RestartEnclosurePollTimer();
     }},
    // SAS host controllers served by the FIQ handler.
    {69, 0,
     [] {
         return IsHostType(HOST_INTERFACE_SAS) &&
                IsTrue(fIsSasHostPortServiceRequested(PORT_CODE_FC_TABLE_1));
     },
     [] { SasHostPortService(PORT_CODE_FC_TABLE_1); }},
    {70, 0,
     [] {
         return IsHostType(HOST_INTERFACE_SAS) &&
                IsTrue(fIsSasHostPortServiceRequested(PORT_CODE_FC_TABLE_2));
     },
     [] { SasHostPortService(PORT_CODE_FC_TABLE_2); }},
    {71, EVERY_PASS, [] { return IsHostType(HOST_INTERFACE_SAS); },
     [] { SasHostEventService(); }},
    {72, 0, [] { return IsFc() && IsTrue(fGetHostLinkStatusWork()); },
     [] {
         PrintHostLinkStatus();
         SetHostLinkStatusWork(FALSE);
     }},
    {73, 0, [] { return IsTrue(fIsDriveIocServiceRequested(PORT_CODE_INITIATOR)); },
     [] { DriveIocService(PORT_CODE_INITIATOR); }},
    // The device census rides on the drive side's time-out scan: once a
    // second at most, it never asks for another pass.
    {74, EVERY_PASS, [] { return true; },
     [] {
         SASCommandTimeoutScan();
         if (!IsTrue(fIsMarvellSataStarted())) SASDeviceActivityCensus();
     }},
    {74, 0, [] { return IsTrue(fGetSASPhyReenableWork()); },
     [] {
         SetSASPhyReenableWork(FALSE);
         (void)ReenableDisabledExpanderPhys();
     }},
    {74, 0, [] { return IsTrue(fGetSASEnclosurePhyWork()); }, [] { EnclosurePhyService(); }},
    {75, EVERY_PASS, [] { return true; }, [] { RepostTargetCmdBuffers(PORT_CODE_INITIATOR); }},
    {76, 0, [] { return IsTrue(fGetSasMuxWork()); }, [] { SasMuxService(); }},
    {78, 0, [] { return IsTrue(fGetEmbeddedModuleWork()); },
     [] { EmbeddedModuleMailboxService(); }},
    {80, EVERY_PASS, [] { return true; }, [] { NvramJournalService(); }},
    {81, EVERY_PASS, [] { return true; }, [] { TargetQueueTimeoutService(); }},
    {82, EVERY_PASS, [] { return IsHostType(HOST_INTERFACE_EMBEDDED); },
     [] { EmbeddedModuleDmaService(); }},
    {83, 0, [] { return IsTrue(fGetSnapshotKernelRequest()); }, [] { SnapshotKernelService(); }},
    {84, 0, [] { return IsTrue(fGetMainSnapshotStateMachineRunning()); },
     [] { MainSnapshotStateMachine(); }},
    // SAS target driver, port 0x71.
    {85, 0,
     [] {
         return IsHostType(HOST_INTERFACE_SAS_TARGET) &&
                IsTrue(fIsSASTargetPortServiceRequested(PORT_CODE_SAS_HOST_1));
     },
     [] { SASTargetPortService(PORT_CODE_SAS_HOST_1); }},
    {86, 0,
     [] {
         return IsHostType(HOST_INTERFACE_SAS_TARGET) &&
                IsTrue(fIsSASTargetPortEventPending(PORT_CODE_SAS_HOST_1));
     },
     [] { SASTargetEventService(PORT_CODE_SAS_HOST_1, FALSE, FALSE); }},
    {87, 0,
     [] {
         return IsHostType(HOST_INTERFACE_SAS_TARGET) &&
                (IsTrue(fIsSASTargetRepostRequested()) || IsTrue(fIsDeferredSASTargetPostDue()));
     },
     [] {
         // Requests of live commands first: a buffer goes back only once
         // the abort waiting in its place went.
         PostDeferredSASTargetRequests();
         SASTargetRepostService(PORT_CODE_SAS_HOST_1);
     }},
    {88, EVERY_PASS,
     [] {
         return IsHostType(HOST_INTERFACE_SAS_TARGET) &&
                IsTrue(bGetHostPortLinkFlag(PORT_CODE_SAS_HOST_1));
     },
     [] { RebuildPortLunTableWhenDue(PORT_CODE_SAS_HOST_1); }},
    {89, EVERY_PASS,
     [] {
         return IsHostType(HOST_INTERFACE_SAS_TARGET) &&
                IsTrue(bGetHostPortLinkFlag(PORT_CODE_SAS_HOST_2));
     },
     [] { RebuildPortLunTableWhenDue(PORT_CODE_SAS_HOST_2); }},
    {90, EVERY_PASS, [] { return IsHostType(HOST_INTERFACE_SAS_TARGET); },
     [] { SASTargetTimeoutScan(); }},
    {92, 0,
     [] { return wGetActiveBackgroundProcessCount() != 0 && lGetLongCountdown() == 0; },
     [] { RunBackgroundProcesses(); }},
    {93, 0, [] { return IsTrue(fGetI2c2DevicePollRequest()) && !IsTrue(fIsClockBusy()); },
     [] { I2c2DevicePoll(); }},
    {94, 0, [] { return IsTrue(fGetBatteryWork()); },
     [] {
         SetBatteryWork(FALSE);
         BatteryStateMachine();
     }},
    {0, 0, [] { return IsTrue(fGetDuplicationHasWork()); }, [] { DuplicationService(); }},
    {95, 0, [] { return IsTrue(fGetPartnerHousekeepingRequest()); },
     [] { PartnerHousekeepingService(); }},
    {96, 0, [] { return IsTrue(fGetMuxHousekeepingRequest()); },
     [] {
         MuxHousekeepingService();
         SetMuxHousekeepingRequest(FALSE);
     }},
};

uint32_t s_dRestartLimitCount;
uint8_t s_abStepTrace[BACKGROUND_TRACE_SIZE];
uint32_t s_dStepTraceCount;

void TraceStep(uint8_t bStep) {
    s_abStepTrace[s_dStepTraceCount % BACKGROUND_TRACE_SIZE] = bStep;
    ++s_dStepTraceCount;
}

}  // namespace

void RunBackgroundServices() {
    SetWorkPending(FALSE);
    UpdateIndicators();
    bool fServiceRan = false;
    uint32_t dRestarts = 0;
    bool fRestart = true;
    while (fRestart) {
        fRestart = false;
        bBackgroundStep = 0;
        bServiceSubStep = 1;
        for (const BackgroundService& sService : s_asServices) {
            if ((sService.bFlags & HOLDABLE) && IsTrue(fIsBackgroundHold())) continue;
            if (!sService.fnGate()) continue;
            if (sService.bStep != 0) bBackgroundStep = sService.bStep;
            TraceStep(sService.bStep);
            sService.fnService();
            if (!(sService.bFlags & EVERY_PASS)) fServiceRan = true;
            if (!(sService.bFlags & RESTART)) continue;
            if (dRestarts < BACKGROUND_RESTART_LIMIT) {
                ++dRestarts;
                fRestart = true;
                break;
            }
            if (dRestarts++ == BACKGROUND_RESTART_LIMIT) ++s_dRestartLimitCount;
        }
    }
    if (fServiceRan) SetWorkPending(TRUE);
}

uint32_t dGetBackgroundRestartLimitCount() { return s_dRestartLimitCount; }

uint32_t dCopyBackgroundStepTrace(uint8_t* pbOut, uint32_t dMax) {
    const uint32_t dKept =
        s_dStepTraceCount < BACKGROUND_TRACE_SIZE ? s_dStepTraceCount : BACKGROUND_TRACE_SIZE;
    const uint32_t dFirst = s_dStepTraceCount - dKept;
    for (uint32_t i = 0; i < dKept && i < dMax; ++i) {
        pbOut[i] = s_abStepTrace[(dFirst + i) % BACKGROUND_TRACE_SIZE];
    }
    return s_dStepTraceCount;
}

void ClearBackgroundStepTrace() { s_dStepTraceCount = 0; }

}  // namespace fw
