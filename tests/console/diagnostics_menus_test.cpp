// The diagnostics tree on a running controller, screen for screen: the
// Diagnostics, Offline and Online Diagnostics Menus at the service levels,
// the drive port test's settings, the trace utility, and reset and shutdown
// with their confirmations.
#include <gtest/gtest.h>

#include <string>

#include "config/config_state.h"
#include "config/nvram_records.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console/option_settings.h"
#include "console/throughput_test.h"
#include "console_board.h"
#include "eventlog/target_trace.h"
#include "executive/buffer_pages.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "harness/config_builder.h"
#include "sim/board.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kPrompt;

const std::string kAnyKey = "Press any key to continue...\n";
const std::string kDiagnosticsHead =
    "\n\nDiagnostics Menu (2) (C0)\n\n"
    "1.  Offline Diagnostics\n"
    "2.  Online Diagnostics\n"
    "3.  Reset Controller\n"
    "4.  Shutdown Controller\n"
    "5.  Diagnostic Dump\n";
const std::string kDiagnosticsMenu = kDiagnosticsHead + "11. APM Diagnostic\n\n0.  Exit\n\n" + kPrompt;
const std::string kServiceDiagnosticsMenu =
    kDiagnosticsHead +
    "8.  ENABLE \"Line Power Mode\" to allow full operation without a battery\n"
    "--  (\"Line Power Mode\" - DISABLED, a battery IS required)\n"
    "10. Display Diagnostic Counters\n"
    "11. APM Diagnostic\n"
    "12. Command Trace Utility\n\n0.  Exit\n\n" +
    kPrompt;
const std::string kPortTestMenu =
    "\n\nDrive Port Integrity Test Menu (2-1-1) (C0)\n\n"
    "1.  Test SAS Ports\n"
    "2.  Setup Test Data Pattern\n\n0.  Exit\n\n" +
    kPrompt;
const std::string kInvalid = "\nInvalid selection\n\n" + kAnyKey;

class DiagnosticsMenus : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
    }
    void TearDown() override {
        fw::SetDiagnosticsModeLevel(0);
        fw::SetIpcPeerEnabled(fw::FALSE);
        fw::SetSecondBufferBankPresent(fw::FALSE);
    }
    // The Diagnostics Menu at a level, as the Main Menu opens it.
    std::string Diagnostics(uint8_t bLevel) {
        fw::SetDiagnosticsModeLevel(bLevel);
        fw::psGetMenuState()->lMenuPath = fw::MENU_PATH_MAIN;
        c.board.ClearConsoleText();
        fw::DiagnosticsMenu();
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    ConsoleBoard c;
};

TEST_F(DiagnosticsMenus, TheDiagnosticsMenuOffersTheServiceOptionsAboveLevel2) {
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kDiagnosticsMenu);
    EXPECT_EQ(Diagnostics(1), kDiagnosticsMenu);
    EXPECT_EQ(Diagnostics(3), kServiceDiagnosticsMenu);
    // Options shown only at level 3 are refused below it.
    Diagnostics(1);
    for (const char* psz : {"8", "10", "12"}) EXPECT_EQ(c.Enter(psz), std::string(psz) + "\r" + kPrompt) << psz;
    EXPECT_EQ(c.Enter("0").find("Main Menu (C0)") != std::string::npos, true);
}

TEST_F(DiagnosticsMenus, ThePhraseRaisesTheLevelAndSaysSo) {
    Diagnostics(0);
    EXPECT_EQ(c.Enter("grant diagnostics privilege 3"),
              "grant diagnostics privilege 3\r\nAdvanced Diagnostics Mode 3 Enabled\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kServiceDiagnosticsMenu);
}

TEST_F(DiagnosticsMenus, LinePowerIsStoredAndOfferedTheOtherWay) {
    ASSERT_EQ(fw::fGetNvramOptionBit2(), fw::FALSE);
    Diagnostics(3);
    EXPECT_EQ(c.Enter("9"), "9\r" + kPrompt);   // not while disabled
    EXPECT_EQ(c.Enter("8"),
              "8\r\n\n\n\"Line Power Mode\" ENABLED - Reboot controller for this to take full effect.\n" + kAnyKey);
    EXPECT_EQ(fw::fGetNvramOptionBit2(), fw::TRUE);
    const std::string screen = c.Type(" ");
    EXPECT_NE(screen.find("5.  Diagnostic Dump\n"
                          "--  (\"Line Power Mode\" - ENABLED, a battery is NOT required)\n"
                          "9.  DISABLE \"Line Power Mode\" to require a battery for full operation\n"
                          "10. Display Diagnostic Counters\n"),
              std::string::npos)
        << screen;
    EXPECT_EQ(c.Enter("8"), "8\r" + kPrompt);
    EXPECT_EQ(c.Enter("9"),
              "9\r\n\n\n\"Line Power Mode\" DISABLED - Reboot controller for this to take full effect.\n" + kAnyKey);
    EXPECT_EQ(fw::fGetNvramOptionBit2(), fw::FALSE);
}

TEST_F(DiagnosticsMenus, TheOfflineMenuFollowsTheLevelAndThePeer) {
    fw::SetIpcPeerEnabled(fw::TRUE);
    const std::string kTail = "4.  Disk IO Module Maintenance\n5.  Enclosure VSC Maintenance\n6.  AA Mux Maintenance\n";
    const std::string kTitle = "\n\nOffline Diagnostics Menu (2-1) (C0)\n\n1.  Drive Port Integrity Test\n";
    Diagnostics(0);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kTitle + kTail + "\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(c.Enter("2"), "2\r" + kPrompt);
    Diagnostics(3);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kTitle + "2.  Ethernet Loopback Test\n3.  Access Memory\n" + kTail +
                                "7.  Icache Parity Error Test\n\n0.  Exit\n\n" + kPrompt);
    // The Ethernet client is not up on this board.
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nEthernet Initialization in Progess\n\n" + kAnyKey);
    c.Type(" ");
    // The emulated parity error is reported and survived.
    EXPECT_EQ(c.Enter("7"), "7\r\n\nEmulating Icache Parity Error -- Success\n" + kAnyKey);
    EXPECT_EQ(c.board.lastStop(), sim::StopKind::Running);
}

TEST_F(DiagnosticsMenus, TheTestDurationIsAPositiveNumberOfMinutesUpToAWeek) {
    Diagnostics(0);
    c.Enter("1");
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kPortTestMenu);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\n\nDrive Port Integrity Test Menu (2-1-1-1) (C0)\n\n"
                            "1.  Read Test\n2.  Write Test\n3.  Write/Read Test\n\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("3"), "3\r\n\n\n\nDrive Port Integrity Test Menu (2-1-1-1-3) (C0)\n\n"
                            "\nSelect Test Duration (minutes): ");
    EXPECT_EQ(fw::bGetMenuController(), fw::THROUGHPUT_KIND_WRITE_READ);
    for (const char* psz : {"0", "10081", "4294967297", "x"}) {
        EXPECT_EQ(c.Enter(psz), std::string(psz) + "\r" + kInvalid) << psz;
        EXPECT_EQ(c.Type(" "), kPortTestMenu);
        c.Enter("1");
        c.Enter("3");
    }
}

// From the menus to a run: the drive list, the patterns and the header,
// then ESC stops it and the result pauses before the port test menu.
TEST_F(DiagnosticsMenus, ATestRunFromTheMenusStopsAtEsc) {
    Diagnostics(0);
    c.Enter("1");
    c.Enter("1");
    c.Enter("1");
    c.Enter("1");
    EXPECT_EQ(c.Enter("1"), "1\r\n\n08 SAS Devices Present: \n"
                            " 01:01 01:02 01:03 01:04 01:05 01:06 01:07 01:08\n\n\n"
                            "Data Pattern 0: Random\n"
                            "Data Pattern 1: 0000000000000000 0000000000000000\n"
                            "Data Pattern 2: ffffffffffffffff ffffffffffffffff\n"
                            "Data Pattern 3: 0000000000000000 ffffffffffffffff\n"
                            "Data Pattern 4: SAS Jitter Test\n"
                            "Data Pattern 5: SAS Jitter Test\n\n\n"
                            "All Drive Ports Integrity Read Test in Progress, Press ESC to Quit\n\n");
    ASSERT_EQ(fw::fIsThroughputTestRunning(), fw::TRUE);
    // Keys other than ESC are dropped while it runs.
    EXPECT_EQ(c.Type("1"), "");
    c.board.ClearConsoleText();
    c.board.TypeKeys("\x1b");
    c.board.RunUntil([] { return fw::fIsThroughputTestRunning() != fw::TRUE; }, 60'000'000'000ull);
    c.Settle();
    const std::string t = consoletest::Lines(c.board.ConsoleText());
    EXPECT_NE(t.find(" Test Aborted "), std::string::npos) << t;
    EXPECT_NE(t.find("\n\nTotal Read Transfer : "), std::string::npos) << t;
    EXPECT_EQ(t.substr(t.size() - 60), "\n\nPort Integrity Test Aborted\n\n" + kAnyKey) << t;
    EXPECT_EQ(c.Type(" "), kPortTestMenu);
}

TEST_F(DiagnosticsMenus, PatternsAreWidenedTo128Bits) {
    struct Case {
        const char* pszTyped;
        const char* pszShown;
        uint64_t lFirst, lSecond;
    };
    const Case cases[] = {
        {"A5", "a5a5a5a5a5a5a5a5 a5a5a5a5a5a5a5a5", 0xA5A5A5A5A5A5A5A5ull, 0xA5A5A5A5A5A5A5A5ull},
        {"1234", "1234123412341234 1234123412341234", 0x1234123412341234ull, 0x1234123412341234ull},
        {"0badcafe", "0badcafe0badcafe 0badcafe0badcafe", 0x0BADCAFE0BADCAFEull, 0x0BADCAFE0BADCAFEull},
        {"0123456789abcdef", "0123456789abcdef 0123456789abcdef", 0x0123456789ABCDEFull, 0x0123456789ABCDEFull},
        {"00112233445566778899aabbccddeeff", "0011223344556677 8899aabbccddeeff", 0x0011223344556677ull,
         0x8899AABBCCDDEEFFull},
    };
    Diagnostics(0);
    c.Enter("1");
    c.Enter("1");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\n\nSetup Port Integrity Test Menu (2-1-1-2) (C0)\n\n"
                            "1.  Alternating Data Pattern\n2.  Random Data Pattern\n"
                            "3.  User Defined Data Pattern\n\n0.  Exit\n\n" +
                                kPrompt);
    for (const Case& k : cases) {
        EXPECT_EQ(c.Enter("3"), "3\r\n\n\n\nSetup Drive Port Integrity Test Menu (2-1-1-2-3) (C0)\n\n"
                                "\nEnter Pattern (hex 8,16,32,64 or 128 bit): ");
        EXPECT_EQ(c.Enter(k.pszTyped),
                  std::string(k.pszTyped) + "\r\n\nData Pattern Set to: " + k.pszShown + "\n\n" + kAnyKey);
        EXPECT_EQ(fw::bGetThroughputTestPattern(), fw::THROUGHPUT_PATTERN_USER);
        EXPECT_EQ(fw::lGetThroughputTestUserPattern(0), k.lFirst) << k.pszTyped;
        EXPECT_EQ(fw::lGetThroughputTestUserPattern(1), k.lSecond) << k.pszTyped;
        EXPECT_EQ(c.Type(" "), kPortTestMenu);
        c.Enter("2");
    }
    // Other widths and non-digits are refused and change nothing.
    for (const char* psz : {"a5a5a5", "a", "0123456789abcdef0", "zz"}) {
        c.Enter("3");
        EXPECT_EQ(c.Enter(psz), std::string(psz) + "\r" + kInvalid) << psz;
        c.Type(" ");
        c.Enter("2");
    }
    EXPECT_EQ(fw::lGetThroughputTestUserPattern(1), 0x8899AABBCCDDEEFFull);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kAnyKey);
    EXPECT_EQ(fw::bGetThroughputTestPattern(), fw::THROUGHPUT_PATTERN_RANDOM);
}

TEST_F(DiagnosticsMenus, RandomDestructiveTestOnlyWithoutArrays) {
    Diagnostics(3);
    c.Enter("1");
    c.Enter("1");
    EXPECT_EQ(c.Enter("enable random"), "enable random\r\nRandom Destructive Test Enabled!!!\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetThroughputTestRandomDestructive(), fw::TRUE);
    EXPECT_EQ(c.Type(" "), kPortTestMenu);
    EXPECT_EQ(c.Enter("enable jitter"), "enable jitter\r\nLink Jitter Test Enabled!!!\n\n" + kAnyKey);
    c.Type(" ");
    EXPECT_EQ(c.Enter("with peer"), "with peer\r\nInter Controller Test Enabled!!!\n\n" + kAnyKey);
    c.Type(" ");

    c.fWaitForConfiguration = false;
    cfgbuild::Builder b(c.board);
    ASSERT_TRUE(b.WaitIdle());
    ASSERT_TRUE(b.OpenEdit());
    ASSERT_EQ(b.CreateArray({fw::RAID_LEVEL_5, {1, 2, 3, 4}}), fw::STATUS_OK);
    ASSERT_TRUE(b.Commit());
    c.fWaitForConfiguration = true;
    fw::psGetMenuState()->lMenuPath = 0x121;
    fw::DrivePortIntegrityTestMenu();
    c.Settle();
    EXPECT_EQ(c.Enter("enable random"),
              "enable random\r\nRandom Destructive Test Not Enabled, Clear Configuration to Enable\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetThroughputTestRandomDestructive(), fw::FALSE);
}

TEST_F(DiagnosticsMenus, OnlineMenuSwitchesOptionsInPlace) {
    const std::string kTitle =
        "\n\nOnline Diagnostics Menu (2-2) (C0)\n\n"
        "1.  Controller Maintenance\n2.  Drive Maintenance\n3.  RAID 5/50/6 Parity Check\n";
    const std::string kLevel0 =
        kTitle + "4.  Enable Target Command Trace\n5.  Enable Target Command Time Trace\n\n0.  Exit\n\n" + kPrompt;
    Diagnostics(0);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kLevel0);
    EXPECT_EQ(c.Enter("6"), "6\r" + kPrompt);
    EXPECT_EQ(c.Enter("4"), "4\r\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetTargetCommandTrace(), fw::TRUE);
    EXPECT_NE(c.Type(" ").find("4.  Disable Target Command Trace\n"), std::string::npos);
    c.Enter("4");
    EXPECT_EQ(c.Type(" "), kLevel0);

    const std::string kLevel1Body =
        "4.  Enable Target Command Trace\n5.  Enable Target Command Time Trace\n"
        "6.  Disable Read-Ahead Caching\n7.  Disable Writeback Caching\n8.  Disable Command Clustering\n"
        "9.  Disable Partial Full Stripe Write\n10. Enable Initiator Command Trace\n"
        "11. Disk IO Module Maintenance\n12. Configure Streaming Read-Ahead Caching\n";
    ASSERT_EQ(fw::fGetWritebackCaching(), fw::TRUE);
    Diagnostics(1);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kTitle + kLevel1Body + "\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(c.Enter("7"), "7\r\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetWritebackCaching(), fw::FALSE);
    c.Type(" ");
    c.Enter("7");
    EXPECT_EQ(fw::fGetWritebackCaching(), fw::TRUE);
    c.Type(" ");

    // Level 3 opens every option, but without a second bank there is
    // nothing to force: the menu shows itself again.
    Diagnostics(3);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kTitle + kLevel1Body + "15. Performance Monitoring\n\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(c.Enter("13"), "13\r\n\n" + kTitle + kLevel1Body + "15. Performance Monitoring\n\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(fw::fGetBankForceFlag(0), fw::FALSE);

    // With a second bank: never both banks forced.
    fw::SetSecondBufferBankPresent(fw::TRUE);
    c.Enter("0");
    c.Enter("2");
    c.Enter("13");
    EXPECT_EQ(fw::fGetBankForceFlag(0), fw::TRUE);
    const std::string screen = c.Type(" ");
    EXPECT_NE(screen.find("13. Enable Main Processor Cache\n14. Disable Co-Processor Cache\n"), std::string::npos)
        << screen;
    c.Enter("14");
    EXPECT_EQ(fw::fGetBankForceFlag(0), fw::FALSE);
    EXPECT_EQ(fw::fGetBankForceFlag(1), fw::TRUE);
    c.Type(" ");
    c.Enter("14");
    EXPECT_EQ(fw::fGetBankForceFlag(1), fw::FALSE);
}

TEST_F(DiagnosticsMenus, StreamingReadAheadShowsTheCurrentSetting) {
    Diagnostics(1);
    c.Enter("2");
    const std::string kHead = "\n\nStreaming Read-Ahead Caching Debug Menu (2-2-12) (C0)\n\n";
    fw::SetStreamingReadAhead(fw::STREAMING_READ_AHEAD_AUTOMATIC);
    EXPECT_EQ(c.Enter("12"), "12\r\n\n" + kHead +
                                 "1.  Streaming Read-Ahead Automatic (current)\n2.  Streaming Read-Ahead Enabled\n"
                                 "3.  Streaming Read-Ahead Disabled\n\n0.  Exit\n\n" +
                                 kPrompt);
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetStreamingReadAhead(), fw::FALSE);
    EXPECT_NE(c.Type(" ").find("3.  Streaming Read-Ahead Disabled (current)\n"), std::string::npos);
}

TEST_F(DiagnosticsMenus, TraceUtilityAllocatesTogglesAndFrees) {
    Diagnostics(3);
    const std::string kTrace =
        "\n\nTarget Command Trace utility Menu (2-12) (C0)\n\n"
        "1.  Allocate trace with 8MB buffer\n2.  Allocate trace with 16MB buffer\n"
        "3.  Allocate trace with 32MB buffer\n4.  Allocate trace with 64MB buffer\n"
        "5.  Free trace buffer\n6.  Reset trace buffer\n7.  Print trace statistics\n";
    EXPECT_EQ(c.Enter("12"), "12\r\n\n" + kTrace + "8.  Enable target command trace\n\n0.  Exit\n\n" + kPrompt);
    // Without a buffer the switch only says so.
    EXPECT_EQ(c.Enter("8"), "8\r\n\n\nTarget Command Trace is Disabled\n" + kAnyKey);
    c.Type(" ");
    EXPECT_NE(c.Enter("1").find("Trace Buffer Allocated"), std::string::npos);
    EXPECT_EQ(fw::fIsTarCmdTraceEnabled(), fw::TRUE);
    c.Type(" ");
    EXPECT_EQ(c.Enter("8"), "8\r\n\n\nTarget Command Trace Active\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kTrace + "8.  Disable target command trace\n\n0.  Exit\n\n" + kPrompt);
    c.Enter("5");
    EXPECT_EQ(fw::fIsTarCmdTraceEnabled(), fw::FALSE);
    c.Type(" ");
    // More than the cache can give: the box, and no trace.
    const uint32_t dFree = fw::dGetAvailablePages(0);
    fw::BUFFER_HANDLE dHold = fw::NULL_BUFFER_HANDLE;
    ASSERT_EQ(fw::bAllocDataPages(0, dFree - 4096, &dHold), fw::STATUS_OK);
    const std::string screen = c.Enter("4");
    EXPECT_NE(screen.find("\n****************************\nError Allocating 64MB buffer\n"
                          "****************************\n" +
                          kAnyKey),
              std::string::npos)
        << screen;
    EXPECT_EQ(fw::fIsTarCmdTraceEnabled(), fw::FALSE);
    fw::wFreeDataPages(dHold, dFree - 4096);
}

TEST_F(DiagnosticsMenus, MemoryAccessMenuChecksTheCommandForm) {
    Diagnostics(3);
    c.Enter("1");
    const std::string kMemoryMenu =
        "\n\nMemory Access Menu (2-1-3) (C0)\n\n"
        "Enter one of following commands to access memory\n"
        "by byte, word, double, long, or CPU register:\n"
        "  db, dw, dd, dl, dr <addr> [# locations (dec)] to display memory\n"
        "  mb, mw, md, ml, mr <addr> <data> to modify memory\n"
        "\nEnter 0 to exit\n\n\nEnter Command: ";
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kMemoryMenu);
    for (const char* psz : {"db", "dw1000", "mb "}) {
        EXPECT_EQ(c.Enter(psz), std::string(psz) + "\r\nInvalid Number of Arguments\n" + kAnyKey) << psz;
        EXPECT_EQ(c.Type(" "), kMemoryMenu);
    }
    // Not a command: asked again, the menu not redrawn.
    EXPECT_EQ(c.Enter("x"), "x\r\nEnter Command: ");
    EXPECT_EQ(c.Enter("dx 0"), "dx 0\r\nEnter Command: ");
    EXPECT_NE(c.Enter("0").find("Offline Diagnostics Menu"), std::string::npos);
}

// --- reset and shutdown -----------------------------------------------------------

class ControllerMaintenance : public DiagnosticsMenus {};

TEST_F(ControllerMaintenance, ALoneControllerOffersItselfOnly) {
    Diagnostics(0);
    EXPECT_EQ(c.Enter("3"), "3\r\n\n\n\nReset Controller Menu (2-3) (C0)\n\n"
                            "1.  Reset Controller 0 (This Controller)\n\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("2"), "2\r" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nResetting controller will stop all activity!!!!\n"
                            "Confirm resetting of controller (Y or N): ");
    EXPECT_EQ(fw::bGetMenuSelectedItem(), fw::TRUE);
    EXPECT_EQ(c.Enter("n"), "n\r\nController Reset Cancelled\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("0");
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\n\nShutdown Controller Menu (2-4) (C0)\n\n"
                            "1.  Shutdown Controller 0 (This Controller)\n\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nShutting down controller will stop all activity!!!!\n"
                            "Confirm shutdown of controller (Y or N): ");
    EXPECT_EQ(c.Enter(""), "\r\nController Shutdown Cancelled\n\n" + kAnyKey);
    EXPECT_EQ(c.board.lastStop(), sim::StopKind::Running);
}

// The graceful question: only N shuts down at once; Y and an empty line
// stop in order once the journal has drained.
TEST(ControllerShutdown, OnlyNoShutsDownAtOnce) {
    for (const char* pszAnswer : {"n", "y", ""}) {
        SCOPED_TRACE(pszAnswer);
        ConsoleBoard c;
        c.Boot();
        c.Type("\x05");
        c.Enter("2");
        c.Enter("4");
        c.Enter("1");
        EXPECT_EQ(c.Enter("y"), "y\r\nGraceful Shutdown? (Y or N): ");
        c.board.TypeKeys(std::string(pszAnswer) + "\r");
        EXPECT_EQ(c.board.RunFor(100'000'000'000ull), sim::StopKind::Shutdown);
        // The orderly stop went through the drain of the write journal.
        EXPECT_EQ(fw::fIsControllerStopping(), *pszAnswer == 'n' ? fw::FALSE : fw::TRUE);
    }
}

}  // namespace
