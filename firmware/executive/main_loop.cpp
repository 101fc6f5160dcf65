#include "executive/main_loop.h"

#include "cache/cache.h"
#include "cache/read_path.h"
#include "cache/write_stages.h"
#include "config/config_db.h"
#include "console/console_menu.h"
#include "dataservices/data_services.h"
#include "executive/background_pass.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "partner/partner_link.h"
#include "platform/embedded_module.h"
#include "platform/i2c.h"
#include "raid/raid_engine.h"
#include "target/command_completion.h"
#include "target/dispatcher.h"
#include "target/host_command_pool.h"
#include "target/lun_scheduler.h"
#include "target/stage_rings.h"
#include "target/back_end_completion.h"
#include "target/target_engine.h"

namespace fw {

namespace {

constexpr uint8_t DRIVE_QUEUE_MODE = 3;  // drive-side queue 0x61 only

// The loop's own copy of what it serves.
struct LoopPorts {
    uint8_t bHostInterfaceType;
    uint8_t bDriveQueueMode;
    uint8_t abHostPort[3];
    uint8_t bHostPortCount;
    uint8_t abDriveQueue[1];
};
LoopPorts s_sPorts;

void EnterStage(uint8_t bStage) {
    bMainLoopStage = bStage;
    bBackgroundStep = 0;
    bServiceSubStep = 0;
}

void BuildPortLists() {
    s_sPorts.bHostInterfaceType = bGetHostInterfaceType();
    s_sPorts.bDriveQueueMode = DRIVE_QUEUE_MODE;
    s_sPorts.bHostPortCount = 0;
    switch (s_sPorts.bHostInterfaceType) {
    case HOST_INTERFACE_FC:
        s_sPorts.abHostPort[0] = PORT_CODE_FC_HOST_2;
        s_sPorts.abHostPort[1] = PORT_CODE_FC_HOST_1;
        s_sPorts.bHostPortCount = 2;
        break;
    case HOST_INTERFACE_SAS:
        s_sPorts.abHostPort[0] = PORT_CODE_FC_TABLE_2;
        s_sPorts.abHostPort[1] = PORT_CODE_FC_TABLE_1;
        s_sPorts.bHostPortCount = 2;
        break;
    case HOST_INTERFACE_SAS_TARGET:
        s_sPorts.abHostPort[0] = PORT_CODE_SAS_HOST_1;
        s_sPorts.abHostPort[1] = PORT_CODE_SAS_HOST_2;
        s_sPorts.bHostPortCount = 2;
        break;
    default:
        break;
    }
    if (fGetEmbeddedModuleEnabled() == TRUE) {
        s_sPorts.abHostPort[s_sPorts.bHostPortCount++] = PORT_CODE_MODULE;
    }
    s_sPorts.abDriveQueue[0] = PORT_CODE_INITIATOR;
    EnableAllDriveQueueServices();
}

// Host work that should not wait behind a long optimisation or write-ready
// run: checked from the ninth iteration of those loops on.
bool NewHostWorkWaiting() {
    if (wGetDataReceivedCount() != 0) return true;
    for (uint8_t i = 0; i < s_sPorts.bHostPortCount && i < 2; ++i) {
        uint8_t bPort = s_sPorts.abHostPort[i];
        if (wGetPortNewCommands(bPort) != 0 || wGetCompletedCommandCount(bPort) != 0) return true;
    }
    return wGetNewCmdContTotal() != 0;
}

void ServeWriteReady(uint8_t bPort, uint8_t bStage, bool fTestPortWork) {
    if (fTestPortWork && fGetHostPortWork(bPort) != TRUE) return;
    uint16_t wCount = wGetPortWriteReadyCount(bPort);
    if (wCount == 0) return;
    EnterStage(bStage);
    bool fRanToCount = true;
    for (uint32_t dDone = 0; wCount != 0; ++dDone) {
        // From the ninth iteration on, newer host work goes first.
        if (dDone >= 8) {
            bool fStop = fTestPortWork
                             ? (fGetRetripeFlag() == FALSE && NewHostWorkWaiting())
                             : (wGetDataReceivedCount() != 0 || wGetPortNewCommands(PORT_CODE_MODULE) != 0);
            if (fStop) {
                fRanToCount = false;
                break;
            }
        }
        if (ProcessWriteReadyQueue(bPort, nullptr) != STATUS_OK) {
            fRanToCount = false;
            break;
        }
        --wCount;
    }
    if (fTestPortWork && fRanToCount && fGetRetripeFlag() == FALSE) SetHostPortWork(bPort, FALSE);
}

void PrepareMainLoop() {
    SetConsoleLogPending(FALSE);
    SetXorQueue1Work(FALSE);
    SetXorQueue2Work(FALSE);
    SetSasDriveWork(FALSE);
    SetSasDiscoveryWork(FALSE);
    SetHostTargetWork(FALSE);
    SetHostLinkStatusWork(FALSE);
    SetClockWriteWork(FALSE);
    SetClockReadWork(FALSE);
    SetTemperatureWork(FALSE);
    SetTimeSyncWork(FALSE);
    ResetI2c2DevicePoll();
    SetBatteryWork(FALSE);

    SetKernelActivity(TRUE);
    (void)dGetCoarseTick();

    BuildPortLists();

    SetHostPortWork(s_sPorts.abHostPort[0], FALSE);
    SetHostPortWork(s_sPorts.abHostPort[1], FALSE);
    SetWorkPending(TRUE);
    SetPartnerMessageWork(TRUE);
    SetRaidWaitListWork(TRUE);

    EnterStage(0);
    SetInitializationComplete(TRUE);
    dMainLoopCycles = 1;

    PrintCurrentDateTime();
    ConsolePrintf("Initialization Complete\n");
    SetHostCommandHold(FALSE);
    SetMenuSessionActive(FALSE);
    ClearScreen(TRUE);
    if (fIsProductionTestMode() == TRUE) {
        ConsolePrintf("\n\nPress <CTRL><E> to Select Production Test\n\n");
    }
    ClearDebugCaptureByte();
}

// One cycle; returns early (a restart) where a service asks for it.
void RunCycle() {
    HwPoll();
    SetKernelActivity(FALSE);
    if (s_sPorts.bHostPortCount >= 2) {
        uint8_t bFirst = s_sPorts.abHostPort[0];
        s_sPorts.abHostPort[0] = s_sPorts.abHostPort[1];
        s_sPorts.abHostPort[1] = bFirst;
    }
    ++dMainLoopCycles;
    if (fGetWorkPending() == TRUE) {
        EnterStage(1);
        RunBackgroundServices();
    }

    RunExpiredTimers();

    if (fGetPartnerMessageWork() == TRUE) {
        EnterStage(2);
        if (DualControllerTask() == TRUE) return;
    }
    if (fGetRetripeFlag() == TRUE) {
        EnterStage(3);
        CacheFlushSequencerStep();
    }
    if (fGetRebuildWork() == TRUE) {
        EnterStage(4);
        RebuildScheduler();
    }
    if (fGetRaidWaitListWork() == TRUE) {
        SetRaidWaitListWork(FALSE);
        bool fRan = false;
        if (wGetWaitListACount() + wGetInternalWaitListCount() != 0) {
            EnterStage(5);
            ServiceWaitListA();
            fRan = true;
        }
        if (wGetWaitListBCount() != 0) {
            EnterStage(6);
            ServiceWaitListB();
            fRan = true;
        }
        if (fRan) SetRaidWaitListWork(TRUE);
    }
    if (wGetCommandCompleteTotal() != 0) {
        EnterStage(8);
        ServiceCommandComplete(PORT_CODE_MODULE);
        return;
    }
    bool fCompletions = false;
    for (uint8_t i = 0; i < 1; ++i) {
        if (wGetCommandCompleteCount(s_sPorts.abDriveQueue[i]) != 0) {
            EnterStage(static_cast<uint8_t>(0x32 + i));
            (void)ProcessBackEndCompletion(s_sPorts.abDriveQueue[i]);
            fCompletions = true;
        }
    }
    if (fCompletions) return;
    if (uint16_t wCount = wGetDataAvailableTotal(); wCount != 0) {
        EnterStage(14);
        for (uint16_t w = 0; w < wCount; ++w) ProcessDataAvailableQueue(PORT_CODE_MODULE);
        return;
    }
    for (uint8_t i = 0; i < 2 && i < s_sPorts.bHostPortCount; ++i) {
        uint8_t bPort = s_sPorts.abHostPort[i];
        if (uint16_t wParked = wGetParkedCommandCount(bPort); wParked != 0) {
            EnterStage(static_cast<uint8_t>(15 + i));
            for (uint16_t w = 0; w < wParked; ++w) ReleaseParkedCommand(bPort);
        }
    }
    if (fGetXorQueue1Work() == TRUE) {
        EnterStage(17);
        ServiceXorCompletions();
    }
    if (fGetXorQueue2Work() == TRUE) {
        EnterStage(18);
        ServiceIpcXorCompletions();
    }
    if (s_sPorts.bHostInterfaceType == HOST_INTERFACE_EMBEDDED) ServiceEmbeddedModuleRequests();

    SetInitiatorServiceResult(0xFF);
    for (uint8_t i = 0; i < 1; ++i) {
        if (wGetNewCommandCount(s_sPorts.abDriveQueue[i]) != 0 && fGetDriveQueueServiceEnable(i) == TRUE) {
            EnterStage(static_cast<uint8_t>(0x20 + i));
            uint8_t bResult = PostKernelQueueEntries(s_sPorts.abDriveQueue[i]);
            if (bResult == 9) {
                SetInitiatorServiceResult(9);
            } else {
                return;
            }
        }
    }
    if (uint16_t wCount = wGetDataReceivedCount(); wCount != 0) {
        EnterStage(64);
        for (uint16_t w = 0; w < wCount; ++w) (void)ProcessDataReceivedQueue();
    }
    if (uint16_t wCount = wGetOptimisationCount(); wCount != 0) {
        EnterStage(65);
        for (uint16_t w = 0; w < wCount; ++w) {
            if (w >= 8 && NewHostWorkWaiting()) break;
            (void)ProcessOptimisationQueue();
        }
    }
    WriteSortService();

    if (s_sPorts.bHostPortCount >= 2 && s_sPorts.abHostPort[0] != PORT_CODE_MODULE) {
        ServeWriteReady(s_sPorts.abHostPort[0], 21, true);
        ServeWriteReady(s_sPorts.abHostPort[1], 22, true);
    }
    ServeWriteReady(PORT_CODE_MODULE, 22, false);

    bool fWriteComplete = false;
    if (uint16_t wCount = wGetWriteCompleteTotal(); wCount != 0) {
        EnterStage(25);
        for (uint16_t w = 0; w < wCount; ++w) ServiceWriteComplete(PORT_CODE_MODULE);
        fWriteComplete = true;
    }
    if (fGetSnapshotsActiveFlag() == TRUE &&
        (wGetCmdCntInSnapshotQueue() != 0 || fGetSnapshotServiceFlag() == TRUE)) {
        SnapshotCommandService();
    }
    if (fGetDuplicationHasWork() == TRUE) DuplicationService();

    if (!fWriteComplete && fGetRetripeFlag() == FALSE && fGetPartnerWork() == FALSE) {
        if (uint16_t wCount = wGetPortNewCommands(PORT_CODE_MODULE); wCount != 0) {
            EnterStage(31);
            for (uint16_t w = 0; w < wCount; ++w) {
                if (bDispatchHostCommand(PORT_CODE_MODULE) != STATUS_OK) {
                    RewindNewCommandScan(PORT_CODE_MODULE);
                    break;
                }
            }
        }
        if (wGetNewCmdContTotal() != 0) {
            EnterStage(32);
            (void)ServiceLunQueues();
        }
        if (s_sPorts.bHostInterfaceType == HOST_INTERFACE_EMBEDDED && fIsEmbeddedModuleRequestPending() == TRUE &&
            fIsEmbeddedModuleBusy() == FALSE) {
            ServiceEmbeddedModuleRequests();
        }
    }
}

}  // namespace

void MainLoop() {
    PrepareMainLoop();
    for (;;) RunCycle();
}

}  // namespace fw
