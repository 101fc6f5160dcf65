// Console output: the line formatter, polled output with flow control, the
// console log ring and its drain, the capture buffer and the UART set-up.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "config/nvram_layout.h"
#include "console/console_menu.h"
#include "eventlog/event_log.h"
#include "eventlog/debug_dump.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/rtc.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "sim/board.h"
#include "hw/addresses.h"

namespace {

// Formats the compiler must not check (unknown letters, over-long widths).
const char* Unchecked(const char* psz) { return psz; }
// Hidden from the compiler, which would refuse a literal null "%s".
const char* volatile pszNull = nullptr;

constexpr uint32_t UART_BIT = 1u << 19;   // INTCTL1

class ConsoleOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        fw::ResetInterruptLocks();
        fw::InitInterruptController();
        fw::InitConsoleUart(115200);
    }
    // From here on ConsolePrintf queues into the log ring.
    void StartMainLoop() {
        fw::SetInitializationComplete(fw::TRUE);
        board.ClearConsoleText();
    }
    std::string DrainAll() {
        while (fw::fGetConsoleLogPending() == fw::TRUE) fw::DrainConsoleLog();
        return board.ConsoleText();
    }
    bool UartUnmasked() { return (board.intc().Read(1, 4) & UART_BIT) != 0; }
    sim::Board board;
};

TEST_F(ConsoleOutputTest, FormatsConversionsFlagsWidthsAndLineLimit) {
    const std::string a300(300, 'a');
    const std::string a215(215, 'a');
    struct Case {
        const char* pszName;
        std::function<void()> print;
        std::string expected;
    };
    const Case cases[] = {
        {"decimal",
         [] {
             fw::DebugPrintf("%5d|%05d|%5d|%03u|%-4d|%-5i|%2d|%d|%015d", 42, 42, 0, 0, 0, 42,
                             12345, 0, 7);
         },
         "   42|00042|    0|000|0   |42   |12345|0|0000000007"},
        {"all bits unsigned", [] { fw::DebugPrintf("%d %i %u", -1, -1, 0xFFFFFFFFu); },
         "4294967295 4294967295 4294967295"},
        {"hex",
         [] { fw::DebugPrintf("%x|%X|%08x|%12x|%012X", 0xABC, 0xABC, 1, 0x1234, 0xFEDCBA98u); },
         "abc|ABC|00000001|    1234|FEDCBA98"},
        {"char, string, percent",
         [] { fw::DebugPrintf("[%c]<%s><%s>100%%", 0x141, "abc", pszNull); },
         "[A]<abc><>100%"},
        {"unknown letter takes no argument",
         [] { fw::DebugPrintf(Unchecked("%q%ld|%d|%123d|ab%"), 7, 8); },
         "d|7|d|ab"},
        {"line feed", [] { fw::DebugPrintf("a\nb"); }, "a\r\nb"},
        {"long format", [&] { fw::DebugPrintf(Unchecked(a300.c_str())); }, std::string(220, 'a')},
        {"long string", [&] { fw::DebugPrintf("xy%s", a300.c_str()); },
         "xy" + std::string(218, 'a')},
        {"number at the end", [&] { fw::DebugPrintf(Unchecked((a215 + "%010d").c_str()), 42); },
         a215 + "00000"},
        // A fixed text takes no conversions and keeps every character of a
        // text longer than a line, each LF a CR LF even where a line is cut.
        {"fixed text", [] { fw::ConsolePrintText("a\nb%d%s\n\n"); }, "a\r\nb%d%s\r\n\r\n"},
        {"long fixed text", [&] { fw::ConsolePrintText((a215 + "xyz\n\n" + a300 + "\n").c_str()); },
         a215 + "xyz\r\n\r\n" + a300 + "\r\n"},
        {"null fixed text", [] { fw::ConsolePrintText(pszNull); }, ""},
    };
    for (const Case& c : cases) {
        board.ClearConsoleText();
        c.print();
        EXPECT_EQ(board.ConsoleText(), c.expected) << c.pszName;
    }
}

// Start-up output goes straight to the UART; Ctrl-S holds it until Ctrl-Q
// or Ctrl-E, other keys are dropped, and the UART comes back unmasked.
TEST_F(ConsoleOutputTest, PolledOutputFollowsXonXoff) {
    struct Case {
        const char* pszName;
        const char* pszBefore;   // typed before the line
        bool fPausedFlag;        // the menu's pause flag already set
        const char* pszResume;   // typed later
    };
    const Case cases[] = {
        {"XOFF then XON", "\x13", false, "\x11"},
        {"XOFF, keys, Ctrl-E", "\x13", false, "zz\x05"},
        {"pause flag then XON", "", true, "\x11"},
        {"other keys are discarded", "xy", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        board.ClearConsoleText();
        board.TypeKeys(c.pszBefore);
        fw::SetOutputPaused(c.fPausedFlag ? fw::TRUE : fw::FALSE);
        std::string textWhenResumed = "not resumed";
        if (c.pszResume != nullptr) {
            board.clock().ScheduleIn(100'000, [&] {
                textWhenResumed = board.ConsoleText();
                board.TypeKeys(c.pszResume);
            });
        }
        ASSERT_EQ(board.RunOnCpu([] { fw::ConsolePrintf("abc"); }), sim::StopKind::Finished);
        EXPECT_EQ(board.ConsoleText(), "abc");
        EXPECT_EQ(textWhenResumed, c.pszResume != nullptr ? "" : "not resumed");
        EXPECT_FALSE(board.uart().ReceivePending());
        EXPECT_EQ(fw::fIsOutputPaused(), fw::FALSE);
        EXPECT_TRUE(UartUnmasked());
    }
    // A holder of the UART lock unmasks it itself.
    ASSERT_EQ(fw::LockInterruptSource(fw::INT_SOURCE_UART), fw::STATUS_OK);
    fw::DebugPrintf("x");
    EXPECT_FALSE(UartUnmasked());
}

TEST_F(ConsoleOutputTest, DrainSendsAtMost16BytesAPass) {
    struct Case {
        uint32_t dPending;
        size_t sentByFirstDrain;
        uint8_t fPendingAfter;
    };
    const Case cases[] = {{40, 16, fw::TRUE}, {16, 16, fw::FALSE}, {10, 10, fw::FALSE}};
    StartMainLoop();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dPending);
        board.ClearConsoleText();
        const std::string text(c.dPending, 'q');
        fw::ConsolePrintf("%s", text.c_str());
        EXPECT_EQ(board.ConsoleText(), "");
        EXPECT_EQ(fw::fGetConsoleLogPending(), fw::TRUE);
        fw::DrainConsoleLog();
        EXPECT_EQ(board.ConsoleText(), text.substr(0, c.sentByFirstDrain));
        EXPECT_EQ(fw::fGetConsoleLogPending(), c.fPendingAfter);
        EXPECT_TRUE(UartUnmasked());
        EXPECT_EQ(DrainAll(), text);
    }
}

TEST_F(ConsoleOutputTest, DrainHoldsWhilePausedAndHonoursAClearRequest) {
    StartMainLoop();
    fw::ConsolePrintf("held\n");
    fw::SetOutputPaused(fw::TRUE);
    fw::DrainConsoleLog();
    EXPECT_EQ(board.ConsoleText(), "");
    EXPECT_EQ(fw::fGetConsoleLogPending(), fw::TRUE);

    fw::SetOutputPaused(fw::FALSE);
    fw::RequestConsoleLogClear();
    fw::DrainConsoleLog();
    EXPECT_EQ(fw::fGetConsoleLogPending(), fw::FALSE);
    fw::ConsolePrintf("after\n");
    EXPECT_EQ(DrainAll(), "after\r\n");
}

// A line that does not fit is dropped whole; a shorter one that fits is kept,
// and the ring keeps its order across the wrap.
TEST_F(ConsoleOutputTest, FullRingDropsTheWholeLine) {
    StartMainLoop();
    const std::string line(200, 'r');
    const uint32_t dLines = fw::CONSOLE_LOG_SIZE / 200;
    const uint32_t dFree = fw::CONSOLE_LOG_SIZE - dLines * 200;
    for (uint32_t d = 0; d < dLines; d++) fw::ConsolePrintf("%s", line.c_str());
    fw::ConsolePrintf("%s", std::string(dFree, 'L').c_str());       // would fill it exactly
    fw::ConsolePrintf("%s", std::string(dFree - 1, 'S').c_str());

    std::string sent = DrainAll();
    ASSERT_EQ(sent.size(), dLines * 200u + dFree - 1);
    EXPECT_EQ(sent.substr(sent.size() - dFree), "r" + std::string(dFree - 1, 'S'));

    board.ClearConsoleText();
    fw::ConsolePrintf("wrapped %d\n", 1);
    EXPECT_EQ(DrainAll(), "wrapped 1\r\n");
}

TEST_F(ConsoleOutputTest, CaptureModeAppendsWhileTheLineFitsTheArea) {
    fw::SetSystemMemorySize(board.config().memorySize);
    ASSERT_EQ(fw::InitBufferPages(), fw::STATUS_OK);
    ASSERT_EQ(fw::bAllocateCaptureBuffer(), fw::STATUS_OK);
    uint8_t* pbArea = fw::pGetCaptureBuffer();
    ASSERT_NE(pbArea, nullptr);
    fw::SetCaptureLength(0);
    fw::SetPrintOutputMode(fw::PRINT_OUTPUT_CAPTURE);
    StartMainLoop();

    const std::string line(200, 'c');
    const uint32_t dRoom = fw::CAPTURE_BUFFER_SIZE - 4;
    const uint32_t dLines = dRoom / 200;
    const uint32_t dLeft = dRoom - dLines * 200;
    for (uint32_t d = 0; d < dLines; d++) fw::ConsolePrintf("%s", line.c_str());
    fw::ConsolePrintf("%s", std::string(dLeft + 1, 'X').c_str());   // one byte too many
    fw::ConsolePrintf("%s", std::string(dLeft, 'E').c_str());       // ends at the last byte
    fw::ConsolePrintf("!");

    EXPECT_EQ(fw::dGetCaptureLength(), dRoom);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pbArea) + 4 + dLines * 200, dLeft),
              std::string(dLeft, 'E'));
    EXPECT_EQ(board.ConsoleText(), "");
    EXPECT_EQ(fw::fGetConsoleLogPending(), fw::FALSE);
}

// 0 takes the rate stored in NVRAM; the rate used is stored back.
TEST_F(ConsoleOutputTest, UartSetUpProgramsTheDivisorAndStoresTheRate) {
    struct Case {
        uint32_t dBaud, dStoredBefore, dDivisor, dStoredAfter;
    };
    const Case cases[] = {
        {115200, 0, 18, 115200}, {57600, 0, 36, 57600}, {38400, 0, 54, 38400},
        {19200, 0, 109, 19200},  {9600, 0, 217, 9600},  {12345, 0, 18, 115200},
        {0, 38400, 54, 38400},   {0, 0, 18, 115200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dBaud);
        fw::SetNvramBootWord(c.dStoredBefore);
        fw::InitConsoleUart(c.dBaud);
        EXPECT_EQ(board.uart().Divisor(), c.dDivisor);
        EXPECT_EQ(board.uart().LineControl(), 3);
        EXPECT_EQ(fw::dGetNvramBootWord(), c.dStoredAfter);
    }
}

TEST_F(ConsoleOutputTest, AssertionReportListsTheNamedArgumentsAndPostsEvent171) {
    fw::InitClockReference();
    fw::ValidateNvram();
    static const char szExpression[] = "dCount > 0";
    static const char szFile[] = "lists.cpp";
    fw::ReportAssertionFailure(szExpression, szFile, 0x12345, " dCount ,bState", 10u, 0xF1u);
    EXPECT_EQ(board.ConsoleText(),
              "\r\nAF(dCount > 0), lists.cpp: 74565\r\ndCount: 0000000a\r\nbState: 000000f1\r\n");

    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    const fw::EVENT_LOG_ENTRY& s = *fw::psGetEventLogEntry(static_cast<uint16_t>(wNext - 1));
    EXPECT_EQ(s.bCode, 171);
    uint8_t abExpected[14] = {0, 0, 0, 0, 0, 0, 0, 0, 0x45, 0x23, 0x01, 0, 0, 0};
    const uint32_t adTexts[2] = {fw::dAddressWord(szExpression),
                                 fw::dAddressWord(szFile)};
    std::memcpy(abExpected, adTexts, sizeof(adTexts));
    EXPECT_EQ(std::memcmp(s.abArgs, abExpected, sizeof(abExpected)), 0);

    board.ClearConsoleText();
    fw::ReportAssertionFailure("p", "q.cpp", 7, nullptr);
    EXPECT_EQ(board.ConsoleText(), "\r\nAF(p), q.cpp: 7\r\nno argument list\r\n\r\n");
}

}  // namespace
