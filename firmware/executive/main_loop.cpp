#include "executive/main_loop.h"

#include <iterator>
#include <utility>

#include "cache/cache.h"
#include "cache/read_path.h"
#include "cache/write_sort.h"
#include "cache/write_stages.h"
#include "config/config_commit.h"
#include "config/config_db.h"
#include "console/console_menu.h"
#include "dataservices/data_services.h"
#include "executive/background_pass.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/rtc.h"
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
#include "target/intermediate_target_queue.h"
#include "target/lun_scheduler.h"
#include "target/stage_rings.h"
#include "target/back_end_completion.h"
#include "target/target_engine.h"

namespace fw {

namespace {

constexpr uint8_t DRIVE_QUEUE_MODE = 3;  // drive-side queue 0x61 only
constexpr uint8_t DRIVE_QUEUES = 3;   // 0x61, then the two Fibre Channel drive loops
constexpr uint8_t LOOP_STAGE_KEPT = 0xFF;  // a row that sets its own stages, or none

// The loop's own copy of what it serves.
struct LoopPorts {
    uint8_t bHostInterfaceType;
    uint8_t bDriveQueueMode;
    uint8_t abHostPort[3];
    uint8_t bHostPortCount;
    uint8_t abDriveQueue[DRIVE_QUEUES];
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
    s_sPorts.abDriveQueue[1] = PORT_CODE_DRIVE_LOOP_3;
    s_sPorts.abDriveQueue[2] = PORT_CODE_DRIVE_LOOP_4;
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

    EnterStage(LOOP_STAGE_NONE);
    ReadClockForMainLoop();
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

// One cycle: the services in order, each behind its gate.  A service that
// returns true ends the cycle early, so that the next one starts again from
// the top with the most urgent work.
struct CycleService {
    uint8_t bStage;   // entered before the service runs, unless LOOP_STAGE_KEPT
    bool (*fnGate)();
    bool (*fnService)();
};

bool IsTrue(uint8_t f) { return f == TRUE; }
bool Always() { return true; }

// Set when write completions ran this cycle: new host commands then wait.
bool s_fWriteCompleteRan;

bool ServeRaidWaitLists() {
    SetRaidWaitListWork(FALSE);
    bool fRan = false;
    if (wGetWaitListACount() + wGetInternalWaitListCount() != 0) {
        EnterStage(LOOP_STAGE_WAIT_LIST_A);
        ServiceWaitListA();
        fRan = true;
    }
    if (wGetWaitListBCount() != 0) {
        EnterStage(LOOP_STAGE_WAIT_LIST_B);
        ServiceWaitListB();
        fRan = true;
    }
    if (fRan) SetRaidWaitListWork(TRUE);
    return false;
}

bool ServeBackEndCompletions() {
    bool fCompletions = false;
    for (uint8_t i = 0; i < DRIVE_QUEUES; ++i) {
        if (wGetCommandCompleteCount(s_sPorts.abDriveQueue[i]) != 0) {
            EnterStage(static_cast<uint8_t>(LOOP_STAGE_BACK_END_COMPLETIONS + i));
            (void)ProcessBackEndCompletion(s_sPorts.abDriveQueue[i]);
            fCompletions = true;
        }
    }
    return fCompletions;
}

bool ServeParkedCommands() {
    for (uint8_t i = 0; i < 2 && i < s_sPorts.bHostPortCount; ++i) {
        uint8_t bPort = s_sPorts.abHostPort[i];
        if (uint16_t wParked = wGetParkedCount(bPort); wParked != 0) {
            EnterStage(static_cast<uint8_t>(LOOP_STAGE_PARKED_COMMANDS + i));
            for (uint16_t w = 0; w < wParked; ++w) ReleaseParkedCommand(bPort);
        }
    }
    return false;
}

bool IsEmbeddedInterface() { return s_sPorts.bHostInterfaceType == HOST_INTERFACE_EMBEDDED; }

// New commands for the drives; a full chip (9) lets the cycle go on to
// other work, anything else starts it again.
bool ServeDriveQueues() {
    SetInitiatorServiceResult(0xFF);
    for (uint8_t i = 0; i < DRIVE_QUEUES; ++i) {
        if (wGetNewCommandCount(s_sPorts.abDriveQueue[i]) != 0 && fGetDriveQueueServiceEnable(i) == TRUE) {
            EnterStage(static_cast<uint8_t>(LOOP_STAGE_DRIVE_QUEUE + i));
            uint8_t bResult = PostKernelQueueEntries(s_sPorts.abDriveQueue[i]);
            if (bResult != 9) return true;
            SetInitiatorServiceResult(9);
        }
    }
    return false;
}

bool ServeOptimisation() {
    if (fIsOptimisationWalkDue() != TRUE) return false;
    const uint16_t wCount = wGetOptimisationCount();
    const uint32_t dRequeued = dGetOptimisationRequeues();
    BeginOptimisationWalk();
    uint16_t w = 0;
    for (; w < wCount; ++w) {
        if (w >= 8 && NewHostWorkWaiting()) break;
        (void)ProcessOptimisationQueue();
    }
    NoteOptimisationWalk(ToFlag(w == wCount && dGetOptimisationRequeues() - dRequeued == wCount));
    return false;
}

bool ServeWriteReadyQueues() {
    if (s_sPorts.bHostPortCount >= 2 && s_sPorts.abHostPort[0] != PORT_CODE_MODULE) {
        ServeWriteReady(s_sPorts.abHostPort[0], LOOP_STAGE_WRITE_READY_FIRST, true);
        ServeWriteReady(s_sPorts.abHostPort[1], LOOP_STAGE_WRITE_READY_SECOND, true);
    }
    ServeWriteReady(PORT_CODE_MODULE, LOOP_STAGE_WRITE_READY_SECOND, false);
    return false;
}

bool ServeWriteComplete() {
    s_fWriteCompleteRan = false;
    if (uint16_t wCount = wGetWriteCompleteTotal(); wCount != 0) {
        EnterStage(LOOP_STAGE_WRITE_COMPLETE);
        for (uint16_t w = 0; w < wCount; ++w) ServiceWriteComplete(PORT_CODE_MODULE);
        s_fWriteCompleteRan = true;
    }
    return false;
}

// The pair holds new host work: the cache flushes for a restripe, the
// partner has work, or a start together, a takeover or the save after it
// is not through.
bool IsHostWorkHeldForPair() {
    return IsTrue(fGetRetripeFlag()) || IsTrue(fGetPartnerWork()) || IsTrue(fIsHostWorkHeldForPartnerStart()) ||
           IsTrue(fIsHostWorkHeldForTakeover()) || IsTrue(fIsHostWorkHeldForGeneration());
}

// New host commands wait while write completions ran this cycle, or the
// pair holds them.
bool ServeNewHostWork() {
    if (uint16_t wCount = wGetPortNewCommands(PORT_CODE_MODULE); wCount != 0) {
        EnterStage(LOOP_STAGE_NEW_HOST_COMMANDS);
        for (uint16_t w = 0; w < wCount; ++w) {
            if (bDispatchHostCommand(PORT_CODE_MODULE) != STATUS_OK) {
                RewindNewCommandScan(PORT_CODE_MODULE);
                break;
            }
        }
    }
    if (wGetNewCmdContTotal() != 0) {
        EnterStage(LOOP_STAGE_LUN_QUEUES);
        (void)ServiceLunQueues();
    }
    if (IsEmbeddedInterface() && IsTrue(fIsEmbeddedModuleRequestPending()) && !IsTrue(fIsEmbeddedModuleBusy())) {
        ServiceEmbeddedModuleRequests();
    }
    return false;
}

constexpr CycleService s_asCycle[] = {
    {LOOP_STAGE_BACKGROUND, [] { return IsTrue(fGetWorkPending()); }, [] { RunBackgroundServices(); return false; }},
    {LOOP_STAGE_KEPT, Always, [] { RunExpiredTimers(); return false; }},
    {LOOP_STAGE_PARTNER_MESSAGES, [] { return IsTrue(fGetPartnerMessageWork()); },
     [] { return IsTrue(DualControllerTask()); }},
    {LOOP_STAGE_CACHE_FLUSH, [] { return IsTrue(fGetRetripeFlag()); }, [] { CacheFlushSequencerStep(); return false; }},
    {LOOP_STAGE_REBUILD, [] { return IsTrue(fGetRebuildWork()); }, [] { RebuildScheduler(); return false; }},
    {LOOP_STAGE_KEPT, [] { return IsTrue(fGetRaidWaitListWork()); }, ServeRaidWaitLists},
    {LOOP_STAGE_MODULE_COMPLETIONS, [] { return wGetCommandCompleteTotal() != 0; },
     [] { ServiceCommandComplete(PORT_CODE_MODULE); return true; }},
    {LOOP_STAGE_KEPT, Always, ServeBackEndCompletions},
    {LOOP_STAGE_DATA_AVAILABLE, [] { return wGetDataAvailableTotal() != 0; },
     [] {
         const uint16_t wCount = wGetDataAvailableTotal();
         for (uint16_t w = 0; w < wCount; ++w) ProcessDataAvailableQueue(PORT_CODE_MODULE);
         return true;
     }},
    {LOOP_STAGE_KEPT, Always, ServeParkedCommands},
    {LOOP_STAGE_XOR_COMPLETIONS, [] { return IsTrue(fGetXorQueue1Work()); },
     [] { ServiceXorCompletions(); return false; }},
    {LOOP_STAGE_IPC_XOR_COMPLETIONS, [] { return IsTrue(fGetXorQueue2Work()); },
     [] { ServiceIpcXorCompletions(); return false; }},
    {LOOP_STAGE_KEPT, IsEmbeddedInterface, [] { ServiceEmbeddedModuleRequests(); return false; }},
    {LOOP_STAGE_KEPT, Always, ServeDriveQueues},
    {LOOP_STAGE_DATA_RECEIVED, [] { return wGetDataReceivedCount() != 0; },
     [] {
         const uint16_t wCount = wGetDataReceivedCount();
         for (uint16_t w = 0; w < wCount; ++w) (void)ProcessDataReceivedQueue();
         return false;
     }},
    {LOOP_STAGE_OPTIMISATION, [] { return wGetOptimisationCount() != 0; }, ServeOptimisation},
    {LOOP_STAGE_KEPT, Always, [] { WriteSortService(); return false; }},
    {LOOP_STAGE_KEPT, Always, ServeWriteReadyQueues},
    {LOOP_STAGE_KEPT, Always, ServeWriteComplete},
    {LOOP_STAGE_KEPT,
     [] {
         return IsTrue(fGetSnapshotsActiveFlag()) &&
                (wGetCmdCntInSnapshotQueue() != 0 || IsTrue(fGetSnapshotServiceFlag()));
     },
     [] { SnapshotCommandService(); return false; }},
    {LOOP_STAGE_KEPT, [] { return IsTrue(fGetDuplicationHasWork()); }, [] { DuplicationService(); return false; }},
    {LOOP_STAGE_KEPT, [] { return !s_fWriteCompleteRan && !IsHostWorkHeldForPair(); }, ServeNewHostWork},
    // Held, a command is not left unanswered past a host's time-out.
    {LOOP_STAGE_NEW_HOST_COMMANDS,
     [] { return !s_fWriteCompleteRan && wGetPortNewCommands(PORT_CODE_MODULE) != 0 && IsHostWorkHeldForPair(); },
     [] { AnswerHeldHostCommands(); return false; }},
};

// True when the service ran and ends the cycle.
inline bool RunCycleService(const CycleService& sService) {
    if (!sService.fnGate()) return false;
    if (sService.bStage != LOOP_STAGE_KEPT) EnterStage(sService.bStage);
    return sService.fnService();
}

// The rows expanded at compile time and flattened: each gate and service
// becomes a direct call inlined in place, so the table costs the loop
// nothing over a run of ifs (called through the pointers, an idle cycle
// took half as long again).
template <size_t... I>
[[gnu::flatten]] void RunCycleServices(std::index_sequence<I...>) {
    (void)(RunCycleService(s_asCycle[I]) || ...);
}

void RunCycle() {
    HwPoll();
    SetKernelActivity(FALSE);
    // The two host ports take turns at going first.
    if (s_sPorts.bHostPortCount >= 2) {
        uint8_t bFirst = s_sPorts.abHostPort[0];
        s_sPorts.abHostPort[0] = s_sPorts.abHostPort[1];
        s_sPorts.abHostPort[1] = bFirst;
    }
    ++dMainLoopCycles;
    RunCycleServices(std::make_index_sequence<std::size(s_asCycle)>());
}

}  // namespace

void MainLoop() {
    PrepareMainLoop();
    for (;;) RunCycle();
}

}  // namespace fw
