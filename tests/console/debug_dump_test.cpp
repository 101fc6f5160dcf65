// The debug information dump on a started controller: to the console, and
// into the capture buffer the management protocol uploads.
#include <gtest/gtest.h>

#include <string>

#include "console_board.h"
#include "eventlog/debug_dump.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"

namespace {

using consoletest::ConsoleBoard;

class DebugDump : public ::testing::Test {
protected:
    void SetUp() override { c.Boot(); }
    // Starts the dump and lets the controller run it to its end.
    std::string Run(uint8_t bMode) {
        c.board.ClearConsoleText();
        fw::SetPrintOutputMode(bMode);
        c.board.RunUntil([] { return fw::fGetDebugDumpWork() != fw::TRUE; }, 60'000'000'000ull);
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    ConsoleBoard c;
};

TEST_F(DebugDump, ToTheConsoleEveryPartInItsOrder) {
    const std::string s = Run(fw::PRINT_OUTPUT_CONSOLE);
    size_t i = 0;
    for (const char* psz : {"Configuration: ", "\nEnd Of Configuration\n", "\n\nDrive List:\n",
                            "\nDrive Command Time Log:\n", "\n\nHost List:\n", "\nHost Command Time Log:",
                            "\n\nEnclosure Information:\n", "\n\nController 0 Debug Information:\n", "\nK:",
                            "Rank and LUN Current Data Counters:", "Controller 0 Information:\n",
                            "\nEnd Of Controller Information\n", "Controller 0 Statistics\n", "\nEnd Of Statistics\n",
                            "Event Log (Controller 0)\n", "End Of Event Log\n"}) {
        const size_t iAt = s.find(psz, i);
        ASSERT_NE(iAt, std::string::npos) << psz << "\n" << s.substr(i, 2000);
        i = iAt;
    }
    const std::string sEnd = "End Of Event Log\n\n\nDiagnostic Dump Complete\n\nPress any key to continue...\n";
    ASSERT_GE(s.size(), sEnd.size());
    EXPECT_EQ(s.substr(s.size() - sEnd.size()), sEnd);
    EXPECT_EQ(fw::bGetPrintOutputMode(), fw::PRINT_OUTPUT_CONSOLE);
}

TEST_F(DebugDump, IntoTheCaptureOnlyThenReady) {
    ASSERT_EQ(fw::bAllocateCaptureBuffer(), fw::STATUS_OK);
    EXPECT_EQ(Run(fw::PRINT_OUTPUT_CAPTURE), "");
    EXPECT_EQ(fw::fIsDebugCaptureReady(), fw::TRUE);
    EXPECT_EQ(fw::bGetPrintOutputMode(), fw::PRINT_OUTPUT_CONSOLE);
    const uint8_t* pb = fw::pGetCaptureBuffer();
    const uint32_t dLength = fw::dGetCaptureLength();
    // The sealed length leads the text.
    EXPECT_EQ(pb[0] | pb[1] << 8 | pb[2] << 16 | static_cast<uint32_t>(pb[3]) << 24, dLength);
    const std::string sText = consoletest::Lines(std::string(reinterpret_cast<const char*>(pb) + 4, dLength));
    EXPECT_NE(sText.find("\nEnd Of Configuration\n"), std::string::npos);
    EXPECT_NE(sText.find("End Of Event Log\n"), std::string::npos);
    EXPECT_EQ(sText.find("Diagnostic Dump Complete"), std::string::npos);
}

}  // namespace
