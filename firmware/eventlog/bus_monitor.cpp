// The bus performance monitor display.
#include "eventlog/bus_monitor.h"

#include "console/console_menu.h"
#include "console/information_menus.h"
#include "eventlog/statistics.h"
#include "eventlog/statistics_record.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/bus_monitor.h"
#include "hw/hw.h"
#include "hw/timers.h"

namespace fw {

namespace {

constexpr uint8_t MODE_OFF = 0;
constexpr uint8_t MODE_LAST = 7;
constexpr uint8_t COUNTDOWN_FIRST = 2;     // half seconds
constexpr uint8_t COUNTDOWN_STEP = 20;
constexpr uint32_t START_CONTROL = TIMER_MODE_ENABLE | TIMER_MODE_RELOAD;
constexpr uint8_t DISK_PORTS = 16;
constexpr uint8_t FIRST_DISK_PORT = 0x20;
constexpr uint8_t DIAGNOSTICS_LEVEL_REGISTERS = 3;

// How a label shows its counter: a share of the internal bus cycles (4 per
// time stamp count) or of the other buses' (2.6664 per count), a quotient
// of two counters, or a raw word.
enum class Show : uint8_t { InternalShare, BusShare, Quotient, Raw };

struct ROW {
    const char* pszLabel;
    Show eShow;
    uint8_t bCounter;    // 1..14
    uint8_t bDivisor;    // the quotient's divisor
};
struct MODE {
    uint8_t bRows;
    ROW asRow[9];
};

// Labels per mode, and the counters the monitor gives them in that mode
// (see the monitor's event table).
constexpr MODE MODES[MODE_LAST + 1] = {
    {0, {}},
    {6, {{"PIdle : ", Show::BusShare, 1, 0}, {"PBusy : ", Show::BusShare, 2, 0}, {"PBAcql: ", Show::Quotient, 3, 4},
         {"PBOwn : ", Show::BusShare, 5, 0}, {"PAAcql: ", Show::Quotient, 6, 7}, {"PAOwn : ", Show::BusShare, 8, 0}}},
    {6, {{"SIdle : ", Show::BusShare, 1, 0}, {"SBusy : ", Show::BusShare, 2, 0}, {"SBAcql: ", Show::Quotient, 3, 4},
         {"SBOwn : ", Show::BusShare, 5, 0}, {"SAAcql: ", Show::Quotient, 6, 7}, {"SAOwn : ", Show::BusShare, 8, 0}}},
    {5, {{"SIdle : ", Show::BusShare, 1, 0}, {"SBusy : ", Show::BusShare, 2, 0}, {"SAcql : ", Show::Quotient, 3, 4},
         {"SOwn  : ", Show::BusShare, 5, 0}, {"SQAcql: ", Show::Quotient, 6, 7}}},
    {0, {}},
    {4, {{"IIdle : ", Show::InternalShare, 1, 0}, {"IBusy : ", Show::InternalShare, 2, 0},
         {"AAAcql: ", Show::Quotient, 3, 4}, {"AAOwn : ", Show::InternalShare, 5, 0}}},
    {9, {{"CAcql : ", Show::Quotient, 1, 2}, {"COwn  : ", Show::InternalShare, 3, 0}, {"PAcql : ", Show::Quotient, 4, 5},
         {"POwn  : ", Show::InternalShare, 6, 0}, {"SAcql : ", Show::Quotient, 7, 8},
         {"SOwn  : ", Show::InternalShare, 9, 0}, {"PBoff : ", Show::Quotient, 10, 5},
         {"SBoff : ", Show::Quotient, 11, 8}, {"ATURty: ", Show::Raw, 12, 0}}},
    {9, {{"IIdle : ", Show::InternalShare, 1, 0}, {"IBusy : ", Show::InternalShare, 2, 0},
         {"PIdle : ", Show::BusShare, 3, 0}, {"PBusy : ", Show::BusShare, 4, 0}, {"POwn  : ", Show::BusShare, 5, 0},
         {"SIdle : ", Show::BusShare, 6, 0}, {"SBusy : ", Show::BusShare, 7, 0}, {"SOwn  : ", Show::BusShare, 8, 0},
         {"SQOwn : ", Show::BusShare, 9, 0}}},
};
static_assert(sizeof MODES / sizeof MODES[0] == BUS_MONITOR_MODES);

uint8_t s_bMode = MODE_OFF;
uint8_t s_fDisplay = FALSE;
uint8_t s_fSingleShot = FALSE;

void SetCountdown(uint8_t bHalfSeconds) { SetHalfSecondCountdown(HALF_SECOND_COUNTDOWN_BUS_MONITOR, bHalfSeconds); }

uint32_t dCounter(uint8_t bCounter) { return Reg32Read(BUS_MONITOR_PECR1 + 4u * (bCounter - 1u)); }

void PrintShare(uint32_t dCount, uint64_t lCycles) {
    const uint64_t lPercent = static_cast<uint64_t>(dCount) * 100 / lCycles;
    if (lPercent > 100) {
        ConsolePrintf("N/A\n");
    } else if (lPercent == 0 && dCount != 0) {
        ConsolePrintf("<1%%\n");
    } else {
        ConsolePrintf("%02d%%\n", static_cast<uint32_t>(lPercent));
    }
}

void PrintRow(const ROW& r, uint64_t lInternal, uint64_t lBus) {
    ConsolePrintText(r.pszLabel);
    const uint32_t dCount = dCounter(r.bCounter);
    switch (r.eShow) {
    case Show::InternalShare: PrintShare(dCount, lInternal); break;
    case Show::BusShare: PrintShare(dCount, lBus); break;
    case Show::Quotient: {
        const uint32_t dDivisor = dCounter(r.bDivisor);
        if (dDivisor == 0) {
            ConsolePrintf("N/A\n");
        } else {
            ConsolePrintf("%03d\n", dCount / dDivisor);
        }
        break;
    }
    case Show::Raw: ConsolePrintf("%08x\n", dCount); break;
    }
}

// A port's rate: blocks over the minute the display ran, in megabytes.
void PrintRate(uint64_t lBlocks) {
    const uint64_t lRate = lBlocks / 2048 / 60;
    if (lBlocks == 0) {
        ConsolePrintf("  0");
    } else if (lRate == 0) {
        ConsolePrintf(" <1");
    } else {
        ConsolePrintf("%3d", static_cast<uint32_t>(lRate));
    }
}

// The display's end: the menu again, the counters running on.
void EndDisplay() {
    PerformanceMonitorTestDone();
    // The next display starts with mode 0's minute of port counting.
    BusMonitorStartCounters(MODE_OFF);
    SetCountdown(0);
    s_fDisplay = FALSE;
}

void PrintThroughput() {
    BUFFER_HANDLE dPages{};
    if (bAllocDataPages(0, 2, &dPages) != STATUS_OK) return;
    auto* psSide0 = static_cast<STATISTICS_RECORD*>(pBufferHandleToPointer(dPages));
    auto* psSide1 = static_cast<STATISTICS_RECORD*>(pBufferHandleToPointer(dPages + BUFFER_PAGE_SIZE));
    FillStatisticsRecord(STATISTICS_SIDE_0, ALL_STATISTICS_LUNS, psSide0);
    FillStatisticsRecord(STATISTICS_SIDE_1, ALL_STATISTICS_LUNS, psSide1);
    ConsolePrintf("\n                Read        Write\n");
    const STATISTICS_RECORD* apsSide[2] = {psSide0, psSide1};
    for (uint8_t p = 0; p < 2; ++p) {
        ConsolePrintf("Host Port %s : ", p == 0 ? "0" : "1");
        PrintRate(apsSide[p]->sRead.lBlocksSinceReset);
        ConsolePrintf(" MB/s    ");
        PrintRate(apsSide[p]->sWrite.lBlocksSinceReset);
        ConsolePrintf(p == 0 ? " MB/s\n" : " MB/s\n\n");
    }
    for (uint8_t d = 0; d < DISK_PORTS; ++d) {
        ConsolePrintf("Disk Port %02d: ", d);
        PrintRate(lGetDiskPortBlocks(static_cast<uint8_t>(FIRST_DISK_PORT + d), 0, TRUE));
        ConsolePrintf(" MB/s    ");
        PrintRate(lGetDiskPortBlocks(static_cast<uint8_t>(FIRST_DISK_PORT + d), 0, FALSE));
        ConsolePrintf(" MB/s\n");
    }
    (void)wFreeDataPages(dPages, 2);
}

}  // namespace

void BusMonitorStartCounters(uint8_t bMode) {
    // The mode given is the one counted from now on.
    s_bMode = bMode <= MODE_LAST ? bMode : MODE_OFF;
    Reg32Write(BUS_MONITOR_MODE, s_bMode);
    Cp6Write(TIMER_TRR1, TIMER_CRM, 0xFFFFFFFF);
    Cp6Write(TIMER_TMR1, TIMER_CRM, START_CONTROL);
}

void StartBusMonitor() {
    s_fDisplay = TRUE;
    s_fSingleShot = FALSE;
    BusMonitorStartCounters(s_bMode);
    SetCountdown(COUNTDOWN_FIRST);
}

uint8_t bGetBusMonitorMode() { return s_fDisplay; }
void SetBusMonitorMode(uint8_t f) { s_fDisplay = f; }
uint8_t fGetBusMonitorSingleShot() { return s_fSingleShot; }
void SetBusMonitorSingleShot(uint8_t f) { s_fSingleShot = f; }

void RunBusMonitorStep() {
    if (s_bMode == MODE_OFF) {
        ClearPerformanceStatistics(STATISTICS_BOTH_SIDES, ALL_STATISTICS_LUNS);
        if (s_fSingleShot == TRUE) {
            EndDisplay();
            return;
        }
        BusMonitorStartCounters(1);
        SetCountdown(COUNTDOWN_STEP);
        return;
    }
    ShowBusMonitorCounters();
    if (s_bMode != MODE_LAST && s_fSingleShot != TRUE) {
        // Mode 4 has no display: 3 is followed by 5.
        BusMonitorStartCounters(static_cast<uint8_t>(s_bMode == 3 ? 5 : s_bMode + 1));
        SetCountdown(COUNTDOWN_STEP);
        return;
    }
    PrintThroughput();
    EndDisplay();
}

void ShowBusMonitorCounters() {
    if (s_bMode == MODE_OFF) {
        ConsolePrintf("Performance Monitor Disabled\n\n");
        return;
    }
    ConsolePrintf("Performance Monitor Mode %d\n\n", s_bMode);
    if (Reg32Read(BUS_MONITOR_WRAP) != 0) {
        ConsolePrintf("Counter Wraparound\n\n");
        return;
    }
    const uint32_t dTime = Reg32Read(BUS_MONITOR_GTSR);
    if (bGetDiagnosticsModeLevel() > DIAGNOSTICS_LEVEL_REGISTERS) {
        ConsolePrintf("GTSR  : %08x\n", dTime);
        for (uint8_t c = 1; c <= BUS_MONITOR_COUNTERS; ++c) ConsolePrintf("PECR%02d: %08x\n", c, dCounter(c));
        ConsolePrintf("\n\n");
    }
    const uint64_t lInternal = 4ull * dTime;
    const uint64_t lBus = 6666ull * dTime / 2500;
    if (lInternal == 0 || lBus == 0) return;
    const MODE& m = MODES[s_bMode];
    if (m.bRows == 0) {
        ConsolePrintf("\n\n");
        return;
    }
    for (uint8_t r = 0; r < m.bRows; ++r) PrintRow(m.asRow[r], lInternal, lBus);
}

}  // namespace fw
