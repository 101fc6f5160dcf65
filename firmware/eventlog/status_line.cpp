// The status line.
#include "eventlog/status_line.h"

#include "cache/nvram_journal.h"
#include "config/config_flags.h"
#include "config/config_phase.h"
#include "enclosure/drive_rescan.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/progress.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/ql_rings.h"
#include "hw/host_interface.h"
#include "platform/i2c.h"
#include "sas/mpi_interface.h"
#include "sas/request_frames.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t TEMPERATURE_SENSORS = 3;
constexpr uint8_t STATUS_FLAGS = 10;
constexpr uint8_t NORMAL_FORM_FLAGS = 8;

using PRINTF = void (*)(const char*, ...);

char cLockLetter(uint8_t bLockByte) { return bLockByte == INT_LOCK_HELD ? 'M' : 'U'; }

// A flag holding TRUE prints as 1, FALSE as 0: the low four bits of the byte.
uint32_t dFlagDigit(uint8_t f) { return f & 0xF; }

uint32_t dPercentOfUsable(uint32_t dPages) {
    const uint32_t dUsable = dGetAvailablePages(0);
    // No usable pages: nothing can be in use, the share is 0.
    return dUsable == 0 ? 0 : static_cast<uint8_t>(static_cast<uint64_t>(dPages) * 100 / dUsable);
}

}  // namespace

void PrintStatusLine(uint8_t fPolled) {
    const bool fPolledForm = fPolled == TRUE;
    const PRINTF pfnPrint = fPolledForm ? DebugPrintf : ConsolePrintf;
    pfnPrint("\nK:%08x.%02x.%02x.%02x ", dMainLoopCycles, bMainLoopStage, bBackgroundStep, bServiceSubStep);
    pfnPrint("T%c", cLockLetter(bGetSource0LockByte()));
    const uint8_t bHostType = bGetHostInterfaceType();
    if (bHostType == HOST_INTERFACE_FC) {
        pfnPrint(":%03x %03x ", wGetPortTotalCommands(PORT_CODE_FC_HOST_1), wGetPortTotalCommands(PORT_CODE_FC_HOST_2));
    } else if (bHostType == HOST_INTERFACE_SAS_TARGET) {
        pfnPrint(":%03x %03x ", wGetPortTotalCommands(PORT_CODE_SAS_HOST_1),
                 wGetPortTotalCommands(PORT_CODE_SAS_HOST_2));
    }
    pfnPrint("I%c", cLockLetter(bGetSource2LockByte()));
    pfnPrint(":%03x %03x ", wGetTotalCommands(PORT_CODE_INITIATOR), wGetLSIRequestsInUse(LSI_IOC_DRIVE));
    pfnPrint("R:%03x W:%03x/%03x/%03x", dGetHostReadsInProgress(), dGetHostWritesInProgress(), dGetCacheWriteCount(),
             dGetCacheWriteCountMax());
    pfnPrint(" OC:%03x/%03x\n", wGetDirtyExtentCount(), wGetMirroredExtentCount());
    const uint8_t abFlags[STATUS_FLAGS] = {fIsRequestPostActive(), fGetWorkPending(), fIsConfigUpdatePending(),
                                           fIsConfigCommitInProgress(),   fIsDriveRescanRequested(),
                                           fIsDriveRescanInProgress(),    fGetConfigWriteWaitFlag(),
                                           fGetHostCommandHold(),         fGetRetripeFlag(),
                                           fGetPartnerWork()};
    if (fPolledForm) {
        const uint64_t lNow = lGetTickCount();
        pfnPrint("M:%02x%08x ", static_cast<uint32_t>((lNow >> 32) & 0xFF), static_cast<uint32_t>(lNow));
    } else {
        pfnPrint("M:");
        PrintUptime();
    }
    pfnPrint("T:%02dC %02dC %02dC F:", bGetTemperature(0), bGetTemperature(1), bGetTemperature(2));
    const uint8_t bFlags = fPolledForm ? STATUS_FLAGS : NORMAL_FORM_FLAGS;
    for (uint8_t i = 0; i < bFlags; ++i) pfnPrint("%01x", dFlagDigit(abFlags[i]));
    const uint32_t dInUse = dGetDynamicPagesInUse(0);
    const uint8_t bUsage = bGetBufferUsagePercent(0);
    if (bUsage == 0 && dInUse != 0) {
        pfnPrint(" MM:<1%% (%05x)", dInUse);
    } else {
        pfnPrint(" MM:%02d%% (%05x)", bUsage, dInUse);
    }
    const uint32_t dPeak = dGetDynamicHighWater(0);
    const uint32_t dPeakShare = dPercentOfUsable(dPeak);
    if (dPeakShare == 0 && dPeak != 0) {
        pfnPrint(" Max: <1%%");
    } else {
        pfnPrint(" Max: %02d%%", dPeakShare);
    }
    // Both forms end with the same three line ends, in two writes.
    pfnPrint(" MC:%02d%%\n\n\n", dPercentOfUsable(dGetJournalPageCount()));
    SetCacheWriteCountMax(0);
    SetHighWaterMark(0, 0);
    SetHighWaterMark(0, 1);
}

}  // namespace fw
