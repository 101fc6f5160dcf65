// Halt, shutdown and reset: their console lines through the polled output,
// how each ends the run, and the register dumps.
#include <gtest/gtest.h>

#include <string>

#include "executive/console_output.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "harness/time_board.h"

namespace {

size_t Count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t i = s.find(what); i != std::string::npos; i = s.find(what, i + 1)) ++n;
    return n;
}

// Each stop prints through the polled output although the main loop runs
// and its console log ring holds unsent text (which stays unsent).
TEST(Stop, EachStopPrintsItsLinesAndEndsTheRun) {
    struct Case {
        void (*pfnStop)();
        sim::StopKind eKind;
        std::string sLines;
    };
    const Case cases[] = {
        {[] { fw::HaltController(); }, sim::StopKind::Halt, "\r\n\r\n\r\nE:Halt\r\n\r\n\r\n"},
        {[] { fw::ShutdownController(); }, sim::StopKind::Shutdown, "\r\n\r\nShutting Down Controller\r\n\r\n"},
        {[] { fw::ResetController(); }, sim::StopKind::Reset,
         "\r\n\r\n\r\nResetting Controller\r\n\r\n\r\n....\r\n\r\n"},
        {[] { fw::ResetControllerKeepJournals(); }, sim::StopKind::Reset,
         "\r\n\r\n\r\nResetting Controller\r\n\r\n\r\n....\r\n\r\n"},
    };
    for (const Case& c : cases) {
        harness::TimeBoard t;
        t.StartMainLoop();
        fw::ConsolePrintf("queued in the ring\n");
        t.board.ClearConsoleText();
        EXPECT_EQ(t.board.RunOnCpu(c.pfnStop), c.eKind);
        const std::string sText = t.board.ConsoleText();
        EXPECT_EQ(sText.substr(0, c.sLines.size()), c.sLines);
        EXPECT_EQ(Count(sText, "queued in the ring"), c.eKind == sim::StopKind::Shutdown ? 1u : 0u);
        EXPECT_EQ(fw::fIsWatchdogEnabled(), fw::FALSE);
        EXPECT_EQ(t.board.cpu().Cpsr() & 0xC0u, 0xC0u);   // interrupts masked
    }
}

TEST(Stop, ResetAndShutdownEndInitialisation) {
    harness::TimeBoard t;
    t.StartMainLoop();
    fw::SetHardwareWatchdog(fw::TRUE);
    EXPECT_EQ(t.board.RunOnCpu([] { fw::ShutdownController(); }), sim::StopKind::Shutdown);
    EXPECT_EQ(fw::fIsInitializationComplete(), fw::FALSE);
    EXPECT_FALSE(t.board.fpga().WatchdogRunning());
}

TEST(Stop, StartShutdownMarksTheControllerStopping) {
    harness::TimeBoard t;
    t.StartMainLoop();
    t.RunMs(2000);
    fw::SetWorkPending(fw::FALSE);
    fw::StartShutdown();
    EXPECT_EQ(fw::fIsShutdownPending(), fw::TRUE);
    EXPECT_EQ(fw::fIsControllerStopping(), fw::TRUE);
    EXPECT_EQ(fw::fGetWorkPending(), fw::TRUE);
    EXPECT_EQ(fw::dGetShutdownStartTime(), fw::dGetCoarseTick());
}

TEST(Stop, ArmRegisterDumpLayout) {
    harness::TimeBoard t;
    fw::InitConsoleUart(115200);
    fw::DumpArmRegs(fw::TRUE);
    const std::string s = t.board.ConsoleText();
    EXPECT_EQ(s.substr(0, 11), "ARM Regs:\r\n");
    EXPECT_EQ(Count(s, "\r\n"), 1u + 72u + 2u);
    EXPECT_EQ(Count(s, " xxxxxxxx"), 2u);
    EXPECT_NE(s.find("\r\n05e0:"), std::string::npos);
    EXPECT_NE(s.find("\r\n1500:"), std::string::npos);   // the gap skipped
    EXPECT_EQ(s.find("\r\n0600:"), std::string::npos);
    EXPECT_NE(s.find("\r\n17e0:"), std::string::npos);   // the last row
}

TEST(Stop, InterruptRegisterDumpShowsTheControllerState) {
    harness::TimeBoard t;
    t.Start();
    t.board.ClearConsoleText();
    fw::DumpInterruptRegisters();
    const std::string s = t.board.ConsoleText();
    EXPECT_NE(s.find("\r\n Interrupt Registers\r\n"), std::string::npos);
    EXPECT_NE(s.find("INTCTL0: 00002d30\r\n"), std::string::npos);   // tick enabled
    EXPECT_NE(s.find("Reread:  "), std::string::npos);
    EXPECT_NE(s.find("IPR7:    00000000\r\n"), std::string::npos);
}

}  // namespace
