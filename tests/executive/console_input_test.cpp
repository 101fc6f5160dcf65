// Console input: typed bytes reach the menu character handler in order (it
// collects them into the typed line), go to the XMODEM receiver instead
// while a receive is active, and wait while the UART is locked.
#include <gtest/gtest.h>

#include <string>

#include "console/console_menu.h"
#include "console/xmodem_receive.h"
#include "harness/dispatch_board.h"
#include "executive/console_input.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"

namespace {

using harness::DispatchBoard;

// The line the character handler has collected so far.
std::string Recorded() {
    return std::string(reinterpret_cast<const char*>(fw::pGetMenuLineBuffer()), fw::bGetMenuLineLength());
}

// The console of a running controller as Ctrl-E leaves it: ordinary
// characters are taken (and echoed through the console log).
void OpenConsole(DispatchBoard& b) {
    b.StartMainLoop();
    fw::ResetMenuSession();
}

std::string XmodemReceived() {
    std::string s;
    uint8_t b = 0;
    while (fw::bGetXmodemCharacter(&b) == fw::TRUE) s.push_back(static_cast<char>(b));
    return s;
}

TEST(ConsoleInput, TypedBytesReachTheCharacterHandlerInOrderInOneService) {
    DispatchBoard b;
    OpenConsole(b);
    fw::EnableConsoleInput();
    // Queued while interrupts are off: one FIQ serves all three.
    fw::DisableInterrupts();
    b.board().TypeKeys("abc");
    fw::EnableInterrupts();
    b.RunMs(1);
    EXPECT_EQ(Recorded(), "abc");
    b.board().TypeKeys("d1\b");
    b.RunMs(1);
    EXPECT_EQ(Recorded(), "abcd");
    EXPECT_FALSE(b.board().uart().ReceivePending());
}

TEST(ConsoleInput, XmodemReceiveTakesEveryByteWhileActive) {
    DispatchBoard b;
    OpenConsole(b);
    fw::EnableConsoleInput();
    b.board().TypeKeys("m");
    b.RunMs(1);
    fw::SetXmodemReceiveActive(fw::TRUE);
    b.board().TypeKeys("\x01\x01\xfe");
    b.RunMs(1);
    fw::SetXmodemReceiveActive(fw::FALSE);
    b.board().TypeKeys("n");
    b.RunMs(1);
    EXPECT_EQ(Recorded(), "mn");
    EXPECT_EQ(XmodemReceived(), "\x01\x01\xfe");
}

TEST(ConsoleInput, LockedUartIsServedOnALaterFiq) {
    DispatchBoard b;
    OpenConsole(b);
    fw::EnableConsoleInput();
    const uint8_t bLock = fw::LockInterruptSource(fw::INT_SOURCE_UART);
    ASSERT_EQ(bLock, fw::STATUS_OK);
    b.board().TypeKeys("xy");
    b.RunMs(5);
    EXPECT_EQ(Recorded(), "");
    fw::UnlockInterruptSource(fw::INT_SOURCE_UART);
    b.RunMs(1);
    EXPECT_EQ(Recorded(), "xy");
}

TEST(ConsoleInput, EnablingInputEmptiesTheConsoleLog) {
    DispatchBoard b;
    b.StartMainLoop();
    fw::ConsolePrintf("left from start-up\n");
    b.board().ClearConsoleText();
    fw::EnableConsoleInput();
    for (int i = 0; i < 4; ++i) fw::DrainConsoleLog();
    EXPECT_EQ(b.board().ConsoleText(), "");
    EXPECT_EQ(fw::fGetConsoleLogPending(), fw::FALSE);
}

}  // namespace

namespace {

// The whole road in a booted controller: start-up's vectors and input
// enable, the FIQ dispatcher and the receive service.
TEST(ConsoleInput, KeysTypedOnARunningControllerReachTheHandler) {
    sim::Board board;
    ASSERT_TRUE(harness::BootToMainLoop(board));
    board.TypeKeys("hi");
    board.RunFor(10'000'000);
    EXPECT_EQ(Recorded(), "");   // the menus are closed until Ctrl-E
    board.TypeKeys("\x05");
    board.RunFor(10'000'000);
    board.TypeKeys("hi");
    board.RunFor(10'000'000);
    EXPECT_EQ(Recorded(), "hi");
}

}  // namespace
