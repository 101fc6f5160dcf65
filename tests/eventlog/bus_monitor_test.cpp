// The bus performance monitor: its display mode by mode, the port rates of
// the minute behind it, and the board's monitor counting the board's own
// traffic.
#include <gtest/gtest.h>

#include <string>

#include "console/console_menu.h"
#include "dump_test_board.h"
#include "eventlog/bus_monitor.h"
#include "eventlog/statistics.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/bus_monitor.h"
#include "hw/hw.h"
#include "sas/sas_scsi_path.h"
#include "sim/bus_monitor.h"

namespace {

using Values = sim::BusMonitor::Values;

class BusMonitorTest : public dumptest::DumpTest {
protected:
    void TearDown() override {
        board.busMonitor().Release();
        fw::SetDiagnosticsModeLevel(0);
        DumpTest::TearDown();
    }
    std::string Show(uint8_t bMode, const Values& v) {
        fw::BusMonitorStartCounters(bMode);
        board.busMonitor().Hold(v);
        board.ClearConsoleText();
        fw::ShowBusMonitorCounters();
        return dumptest::Lines(board.ConsoleText());
    }
    std::string Step() {
        board.ClearConsoleText();
        fw::RunBusMonitorStep();
        return dumptest::Lines(board.ConsoleText());
    }
    static void DiskPortBlocks(uint8_t bDiskPort, uint32_t dBytes, bool fRead) {
        fw::KERNEL_ENTRY s{};
        s.wControlFlags = fRead ? fw::SAS_XFER_IN : fw::SAS_XFER_OUT;
        s.dTotalByteCount = dBytes;
        fw::AddDiskPortBlocks(static_cast<uint8_t>(fw::PORT_CODE_DRIVE_SLOT_FIRST + bDiskPort), &s);
    }
    static uint8_t Countdown() { return fw::bGetHalfSecondCountdown(fw::HALF_SECOND_COUNTDOWN_BUS_MONITOR); }
};

// A time stamp of 1000: 2666 cycles of the external buses, 4000 of the
// internal one.
Values Held(std::initializer_list<uint32_t> counters, uint32_t dTime = 1000, uint32_t dWrap = 0) {
    Values v;
    v.timeStamp = dTime;
    v.wrap = dWrap;
    size_t i = 0;
    for (uint32_t c : counters) v.counters[i++] = c;
    return v;
}

TEST_F(BusMonitorTest, SharesQuotientsAndRawCounters) {
    struct Case {
        uint8_t bMode;
        Values v;
        const char* pszText;
    };
    const Case cases[] = {
        // Shares of the bus cycles: half, a trace, beyond the cycles, none.
        // Quotients of two counters, and one whose divisor is 0.
        {1, Held({1333, 2, 10, 3, 3000, 5, 0, 0}),
         "Performance Monitor Mode 1\n\nPIdle : 50%\nPBusy : <1%\nPBAcql: 003\nPBOwn : N/A\nPAAcql: N/A\n"
         "PAOwn : 00%\n"},
        {3, Held({2666, 0, 1234, 1, 26, 7, 2}),
         "Performance Monitor Mode 3\n\nSIdle : 100%\nSBusy : 00%\nSAcql : 1234\nSOwn  : <1%\nSQAcql: 003\n"},
        // The internal bus's labels count in its own cycles.
        {5, Held({2000, 2000, 0, 0, 40}),
         "Performance Monitor Mode 5\n\nIIdle : 50%\nIBusy : 50%\nAAAcql: N/A\nAAOwn : 01%\n"},
        // Mode 6: its POwn and SOwn count in internal cycles; the retries raw.
        {6, Held({9, 2, 400, 8, 4, 400, 0, 0, 40, 1, 0, 0xBEEF}),
         "Performance Monitor Mode 6\n\nCAcql : 004\nCOwn  : 10%\nPAcql : 002\nPOwn  : 10%\nSAcql : N/A\n"
         "SOwn  : 01%\nPBoff : 000\nSBoff : N/A\nATURty: 0000beef\n"},
        // Mode 7's POwn and SOwn count in bus cycles.
        {7, Held({4000, 0, 0, 2666, 1333, 2666, 0, 26, 27}),
         "Performance Monitor Mode 7\n\nIIdle : 100%\nIBusy : 00%\nPIdle : 00%\nPBusy : 100%\nPOwn  : 50%\n"
         "SIdle : 100%\nSBusy : 00%\nSOwn  : <1%\nSQOwn : 01%\n"},
        // A wrapped counter: nothing else that step.
        {6, Held({1, 2, 3}, 1000, 1u << 3), "Performance Monitor Mode 6\n\nCounter Wraparound\n\n"},
        {2, Held({1}, 1000, fw::BUS_MONITOR_WRAP_GTSR), "Performance Monitor Mode 2\n\nCounter Wraparound\n\n"},
        // No time counted: no shares.
        {1, Held({1, 2, 3}, 0), "Performance Monitor Mode 1\n\n"},
        {4, Held({1, 2, 3}), "Performance Monitor Mode 4\n\n\n\n"},
        {0, Held({1, 2, 3}), "Performance Monitor Disabled\n\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(Show(c.bMode, c.v), c.pszText) << int(c.bMode);
}

TEST_F(BusMonitorTest, TheRegistersShowAboveDiagnosticsLevelThree) {
    const Values v = Held({1333, 2, 10, 3, 3000, 5, 0, 0, 0, 0, 0, 0, 0, 0xFFFFFFFF});
    fw::SetDiagnosticsModeLevel(3);
    EXPECT_EQ(Show(1, v).find("GTSR"), std::string::npos);
    fw::SetDiagnosticsModeLevel(4);
    EXPECT_EQ(Show(1, v),
              "Performance Monitor Mode 1\n\nGTSR  : 000003e8\nPECR01: 00000535\nPECR02: 00000002\n"
              "PECR03: 0000000a\nPECR04: 00000003\nPECR05: 00000bb8\nPECR06: 00000005\nPECR07: 00000000\n"
              "PECR08: 00000000\nPECR09: 00000000\nPECR10: 00000000\nPECR11: 00000000\nPECR12: 00000000\n"
              "PECR13: 00000000\nPECR14: ffffffff\n\n\n"
              "PIdle : 50%\nPBusy : <1%\nPBAcql: 003\nPBOwn : N/A\nPAAcql: N/A\nPAOwn : 00%\n");
}

TEST_F(BusMonitorTest, APassRunsModeByModeThenThePortRatesAndTheMenu) {
    board.busMonitor().Hold(Held({1}));
    fw::BusMonitorStartCounters(0);
    fw::StartBusMonitor();
    EXPECT_EQ(fw::bGetBusMonitorMode(), fw::TRUE);
    EXPECT_EQ(Countdown(), 2);
    // Mode 0 only clears the minute's port counters and goes on with mode 1.
    DiskPortBlocks(2, 1 << 20, true);
    EXPECT_EQ(Step(), "");
    EXPECT_EQ(fw::lGetDiskPortBlocks(fw::PORT_CODE_DRIVE_SLOT_FIRST + 2, 0, fw::TRUE), 0u);
    EXPECT_EQ(Countdown(), 20);
    // The monitor counts in the mode the display shows.
    const uint8_t abModes[] = {1, 2, 3, 5, 6, 7};
    for (uint8_t bMode : abModes) {
        ASSERT_EQ(board.busMonitor().mode(), bMode);
        const std::string s = Step();
        EXPECT_EQ(s.rfind("Performance Monitor Mode " + std::to_string(bMode) + "\n", 0), 0u) << s;
        if (bMode != 7) {
            EXPECT_EQ(Countdown(), 20);
            // Rates of a minute: 60 MiB read on disk port 2 over the pass,
            // a block written on port 3.
            DiskPortBlocks(2, 12 << 20, true);
            if (bMode == 1) DiskPortBlocks(3, 512, false);
            continue;
        }
        std::string sRates = "\n                Read        Write\nHost Port 0 :   0 MB/s      0 MB/s\n"
                             "Host Port 1 :   0 MB/s      0 MB/s\n\n";
        for (int d = 0; d < 16; ++d) {
            char ac[64];
            std::snprintf(ac, sizeof ac, "Disk Port %02d: %s MB/s    %s MB/s\n", d, d == 2 ? "  1" : "  0",
                          d == 3 ? " <1" : "  0");
            sRates += ac;
        }
        EXPECT_NE(s.find(sRates + "\nEnd of Performance Monitoring Test\n\n"), std::string::npos) << s;
    }
    EXPECT_EQ(fw::bGetBusMonitorMode(), fw::FALSE);
    EXPECT_EQ(Countdown(), 0);
    // The next pass begins with its minute of port counting.
    EXPECT_EQ(board.busMonitor().mode(), 0);
}

TEST_F(BusMonitorTest, EscapeEndsThePassAfterItsNextStep) {
    board.busMonitor().Hold(Held({1}));
    fw::BusMonitorStartCounters(2);
    fw::StartBusMonitor();
    fw::SetBusMonitorSingleShot(fw::TRUE);
    const std::string s = Step();
    EXPECT_EQ(s.rfind("Performance Monitor Mode 2\n", 0), 0u);
    EXPECT_NE(s.find("Disk Port 15:"), std::string::npos);
    EXPECT_NE(s.find("End of Performance Monitoring Test"), std::string::npos);
    EXPECT_EQ(fw::bGetBusMonitorMode(), fw::FALSE);
    // From mode 0 a single pass ends at once, the ports counted nothing.
    fw::BusMonitorStartCounters(0);
    fw::StartBusMonitor();
    fw::SetBusMonitorSingleShot(fw::TRUE);
    EXPECT_EQ(Step(), "\nEnd of Performance Monitoring Test\n\nPress any key to continue...\n");
    EXPECT_EQ(fw::bGetBusMonitorMode(), fw::FALSE);
}

TEST_F(BusMonitorTest, TheBoardsMonitorCountsTheBoardsTraffic) {
    sim::BusMonitor& m = board.busMonitor();
    fw::BusMonitorStartCounters(1);
    const uint64_t lStart = board.clock().Now();
    for (int i = 0; i < 1000; ++i) (void)fw::Reg32Read(0xFFD8F000);
    sim::MemoryWindows& mem = board.memory();
    for (int i = 0; i < 10; ++i) ASSERT_NE(mem.Translate(mem.bank0Address(), 4096), nullptr);
    Values v = m.Sample();
    // The restart's own coprocessor access is counted too.
    EXPECT_GE(v.timeStamp, (board.clock().Now() - lStart) / 10);
    EXPECT_LE(v.timeStamp, (board.clock().Now() - lStart) / 10 + 1);
    EXPECT_EQ(v.wrap, 0u);
    // Mode 1: the DMA's grants and cycles (an address and 512 data phases a
    // transfer), the translation unit's accesses (address and data).
    EXPECT_EQ(v.counters[3], 10u);
    EXPECT_EQ(v.counters[4], 10u * 513);
    EXPECT_EQ(v.counters[2], 20u);
    EXPECT_EQ(v.counters[6], 1000u);
    EXPECT_EQ(v.counters[7], 2000u);
    EXPECT_EQ(v.counters[1], 10u * 513 + 2000);
    EXPECT_EQ(uint64_t{v.counters[0]} + v.counters[1], uint64_t{v.timeStamp} * 6666 / 2500);
    // Through the firmware's own reads the same numbers, its reads counted.
    EXPECT_GE(fw::Reg32Read(fw::BUS_MONITOR_PECR1 + 4 * 6), 1000u);
    // Past 2^32 counts (43 seconds) the time stamp wraps, until the next start.
    board.clock().AdvanceTo(board.clock().Now() + 43'000'000'000ull);
    // The idle cycles have wrapped with it.
    EXPECT_EQ(fw::Reg32Read(fw::BUS_MONITOR_WRAP), fw::BUS_MONITOR_WRAP_GTSR | 1u);
    fw::BusMonitorStartCounters(5);
    v = m.Sample();
    EXPECT_EQ(v.wrap, 0u);
    EXPECT_LT(v.timeStamp, 1000u);
    EXPECT_EQ(m.mode(), 5);
}

}  // namespace
