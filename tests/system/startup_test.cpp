// Start-up transcripts: the controller booted on a simulated board as an
// operator sees it on the console, for each host interface and for the
// start-up failures.
#include <gtest/gtest.h>

#include <string>

#include "executive/startup.h"
#include "executive/system_state.h"
#include "sim/board.h"

namespace {

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;

struct Boot {
    std::string text;
    sim::StopKind stop;
};

// Boots a controller and runs it until the main loop has announced itself
// or the controller stopped; a board reset restarts the firmware, as the
// board would.
Boot BootController(const sim::BoardConfig& config, int resetsAllowed = 0) {
    sim::Board board(config);
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    for (;;) {
        sim::StopKind stop = board.RunUntil(
            [&] { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }, kBootLimitNs);
        if (stop == sim::StopKind::Reset && resetsAllowed-- > 0) {
            board.Boot();
            continue;
        }
        return Boot{board.ConsoleText(), stop};
    }
}

// The console sends every line end as CR LF.
std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string BuildStamp() { return std::string(fw::pGetBuildDate()) + " " + fw::pGetBuildTime(); }

std::string Banner(const char* wwnLabel, const char* startTime = "09:00:00") {
    return std::string("IOP FPGA Version: 0x0112\n"
                       "Hardware Version: 0x0003\n"
                       "Initializing I2C Bus 1............Pass\n"
                       "\n\n") +
           wwnLabel + "20 00 00 a5 5a a0 00 01\n"
           "Controller Type: 0812\n"
           "F/W version: 0021 Dunra " +
           BuildStamp() +
           "\n"
           "\n"
           "Mon Jan 06 2025 " + startTime + "  Initialization Start\n"
           "Initializing PCI..................Pass\n"
           "Initializing PCI Express..........Pass\n"
           "Initializing Cache................Pass\n"
           "Initializing I2C Bus 0............Pass\n"
           "Initializing I2C Bus 1............Pass\n"
           "Initializing I2C Bus 2............Pass\n"
           "Initializing Battery...........Present\n"
           "Initializing SAS Ports............Pass\n";
}

// The console screen is cleared as the main loop starts.
const char* const kMainLoop = "Mon Jan 06 2025 09:00:51 Initialization Complete\n\x1b[2J";

TEST(StartupTranscript, FibreChannelHostPorts) {
    Boot boot = BootController(sim::BoardConfig());
    EXPECT_EQ(boot.stop, sim::StopKind::Running);
    EXPECT_EQ(boot.text, Crlf(Banner("Controller WWN:") +
                              "Searching For FC Ports............Pass\n"
                              "Partner Controller.........Not Present\n"
                              "Loading Configuration.............Pass\n"
                              "Initializing Host Ports...........Pass\n" +
                              kMainLoop));
}

TEST(StartupTranscript, ScsiHostPorts) {
    sim::BoardConfig config;
    config.hostInterface = sim::HostInterface::Scsi;
    Boot boot = BootController(config);
    EXPECT_EQ(boot.stop, sim::StopKind::Running);
    // The serial-number label needs the SAS host type, which the PCI set-up
    // finds only after the identity lines are printed.  Loading and
    // setting up both channels takes the start a second longer.
    EXPECT_EQ(boot.text, Crlf(Banner("Controller WWN:") +
                              "Partner Controller.........Not Present\n"
                              "Loading Configuration.............Pass\n"
                              "Initializing Host Ports...........Pass\n"
                              "Mon Jan 06 2025 09:00:52 Initialization Complete\n\x1b[2J"));
}

TEST(StartupTranscript, SasTargetHostPorts) {
    sim::BoardConfig config;
    config.hostInterface = sim::HostInterface::SasTarget;
    Boot boot = BootController(config);
    EXPECT_EQ(boot.stop, sim::StopKind::Running);
    EXPECT_EQ(boot.text, Crlf(Banner("Controller WWN:") +
                              "Partner Controller.........Not Present\n"
                              "Loading Configuration.............Pass\n"
                              "\nInitializing SAS Host Ports...........\n"
                              "\n SAS Host Ports Initialized\n" +
                              kMainLoop));
}

TEST(StartupTranscript, OnlyHostChipTwoFitted) {
    sim::BoardConfig config;
    config.hostChip1 = false;
    Boot boot = BootController(config);
    EXPECT_EQ(boot.stop, sim::StopKind::Running);
    EXPECT_EQ(boot.text, Crlf(Banner("Controller WWN:") +
                              "Searching For FC Ports............Fail\n"
                              "Host Port 0.......................Fail\n"
                              "Host Port 1.......................PassHostPort 2\n"
                              "Pass\n"
                              "Partner Controller.........Not Present\n"
                              "Loading Configuration.............Pass\n"
                              "Initializing Host Ports...........Fail\n"
                              "Host Port 0.......................Fail\n"
                              "Host Port 1.......................Pass\n"
                              "Pass\n" +
                              kMainLoop));
}

TEST(StartupTranscript, NoHostChipHalts) {
    sim::BoardConfig config;
    config.hostChip1 = false;
    config.hostChip2 = false;
    Boot boot = BootController(config);
    EXPECT_EQ(boot.stop, sim::StopKind::Halt);
    EXPECT_NE(boot.text.find(Crlf("Searching For FC Ports............Fail\n"
                                  "Host Port 0.......................Fail\n"
                                  "Host Port 1.......................Fail\n")),
              std::string::npos);
    EXPECT_NE(boot.text.find("E:Halt"), std::string::npos);
}

TEST(StartupTranscript, UnsupportedMemorySizeFallsBackTo32MB) {
    sim::BoardConfig config;
    config.memorySize = 0x03000000;
    Boot boot = BootController(config);
    EXPECT_EQ(boot.stop, sim::StopKind::Running);
    EXPECT_EQ(boot.text.rfind(Crlf("Using default System Memory size of 32MB.\nIOP FPGA Version: 0x0112\n"), 0), 0u);
    EXPECT_EQ(fw::dGetSystemMemorySize(), 0x02000000u);
}

TEST(StartupTranscript, OldBootBlockTakesTheMemorySizeBelowTheLoadAddress) {
    sim::BoardConfig config;
    config.bootBlockVersion = 1;
    Boot boot = BootController(config);
    EXPECT_EQ(boot.stop, sim::StopKind::Running);
    EXPECT_EQ(fw::dGetSystemMemorySize(), 0x04000000u);
    // Without stack words in the block the built-in stacks stay.
    EXPECT_EQ(fw::ExceptionStackTable[0], 0x00050060u);
    EXPECT_EQ(fw::ExceptionStackTable[7], 0x0006C060u);
}

TEST(StartupTranscript, BootBlockVersion3ReplacesTheExceptionStacks) {
    Boot boot = BootController(sim::BoardConfig());
    EXPECT_EQ(boot.stop, sim::StopKind::Running);
    EXPECT_EQ(fw::ExceptionStackTable[0], 0x00070060u);
    EXPECT_EQ(fw::ExceptionStackTable[7], 0x00070060u + 7 * 0x4000);
}

TEST(StartupTranscript, BlankFpgaIsProgrammedAndTheBoardRebootsOnce) {
    sim::BoardConfig config;
    config.fpgaProgrammed = false;
    Boot boot = BootController(config, 1);
    EXPECT_EQ(boot.stop, sim::StopKind::Running);
    EXPECT_EQ(boot.text, Crlf("Programming IOP FPGA..............Pass\n"
                              "Rebooting due to power-on reset\n" +
                              // the clock ran on through the two seconds before the reboot
                              Banner("Controller WWN:", "09:00:02") +
                              "Searching For FC Ports............Pass\n"
                              "Partner Controller.........Not Present\n"
                              "Loading Configuration.............Pass\n"
                              "Initializing Host Ports...........Pass\n"
                              "Mon Jan 06 2025 09:00:53 Initialization Complete\n\x1b[2J"));
}

TEST(StartupTranscript, DeadPciBusIdlesForever) {
    sim::BoardConfig config;
    config.pciFault = true;
    Boot boot = BootController(config);
    EXPECT_EQ(boot.stop, sim::StopKind::Idle);
    EXPECT_TRUE(EndsWith(boot.text, Crlf("Initializing PCI..................Fail\n"))) << boot.text;
}

TEST(StartupTranscript, UntrainedPciExpressLinkIdlesForever) {
    sim::BoardConfig config;
    config.pciExpressFault = true;
    Boot boot = BootController(config);
    EXPECT_EQ(boot.stop, sim::StopKind::Idle);
    EXPECT_TRUE(EndsWith(boot.text, Crlf("Initializing PCI..................Pass\n"
                                         "Initializing PCI Express..........Fail\n")))
        << boot.text;
}

TEST(StartupTranscript, StuckI2cBusIdlesForever) {
    for (unsigned unit : {0u, 2u}) {
        SCOPED_TRACE(unit);
        sim::BoardConfig config;
        config.i2cFault[unit] = true;
        Boot boot = BootController(config);
        EXPECT_EQ(boot.stop, sim::StopKind::Idle);
        std::string line = "Initializing I2C Bus " + std::to_string(unit) + "............Fail\n";
        EXPECT_TRUE(EndsWith(boot.text, Crlf(line))) << boot.text;
    }
}

}  // namespace
