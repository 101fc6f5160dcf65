// The debug dump of a drive-loop chip that stopped: its registers read in
// the chip's own layout (mailboxes, register banks, sequencer windows),
// then, after the RISC's reset, its RAM dumped part by part and printed.
// The chip's GPIO pins and the RISC's GPIO register.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "executive/buffer_pages.h"
#include "fc/chip_diagnostics.h"
#include "fc/fc_driver.h"
#include "fc/ql_chip.h"
#include "fc/ql_firmware_start.h"
#include "tests/fc/drive_loop_harness.h"

namespace {

using looptest::LoopController;

std::string Hex4(uint32_t w) {
    char ac[8];
    std::snprintf(ac, sizeof ac, "%04x", w);
    return ac;
}

// A printed line of RISC RAM: the address and eight words.
std::string RamLine(uint32_t address) {
    char ac[16];
    std::snprintf(ac, sizeof ac, "%08x:", address);
    std::string s = ac;
    for (uint32_t i = 0; i < 8; ++i) s += " " + Hex4(sim::IspLoopChip::riscWord(address + i));
    return s + "\n";
}

std::string Registers(const std::string& title, uint32_t count, const std::function<uint16_t(uint32_t)>& value) {
    std::string s = title;
    for (uint32_t r = 0; r < count; ++r) s += Hex4(value(r)) + ((r % 16 == 15 || r + 1 == count) ? "\n" : " ");
    return s;
}

std::string Lines(const std::string& s) {
    std::string t;
    for (char ch : s) {
        if (ch != '\r') t += ch;
    }
    return t;
}

class DriveChipDump : public ::testing::Test {
protected:
    void SetUp() override {
        c.AddDrive(1);
        ASSERT_TRUE(c.Boot());
        // What the bring-up logged is on the console before the dumps.
        for (size_t n = 0, i = 0; i < 300 && c.board.ConsoleText().size() != n; ++i) {
            n = c.board.ConsoleText().size();
            c.Run(100'000'000);
        }
    }
    std::string Dumped(uint8_t chip) {
        c.board.ClearConsoleText();
        // As the chip start does: a dumped chip is left reset, out of service.
        EXPECT_TRUE(c.CallWaiting([chip] {
            fw::DumpIsp2x00(chip);
            fw::SetChipPresent(chip, fw::FALSE);
        }));
        c.Run(1'000'000);
        return Lines(c.board.ConsoleText());
    }
    LoopController c;
};

TEST_F(DriveChipDump, RegistersThenTheRiscRamAfterItsReset) {
    const uint32_t dPagesInUse = fw::dGetPagesInUse(0);
    const std::string s = Dumped(3);
    EXPECT_TRUE(c.Chip(3).nativeLayout());
    EXPECT_EQ(c.Chip(3).softResets(), 1u);
    size_t n = 0;
    auto Next = [&](const std::string& sPart) {
        const size_t m = s.find(sPart, n);
        EXPECT_NE(m, std::string::npos) << sPart << "\n" << s.substr(n, 1500);
        if (m != std::string::npos) n = m + sPart.size();
    };
    Next("\n\nISP2x00 Debug Dump for Device 3\n\nHCCR Register\n0000\n\nMailbox Registers\n");
    for (uint16_t bank : {0x40, 0x50, 0x00, 0x10, 0x20, 0x30}) {
        char ac[32];
        std::snprintf(ac, sizeof ac, "\nBank %02x Registers\n", bank);
        // The sequencer window register reads back what was last put there,
        // the RISC bank's GPIO register what it holds.
        Next(Registers(ac, 32, [bank](uint32_t r) {
            const bool fZero = r == (0xA4 - 0x80) / 2 || (bank == 0x20 && r == (0x96 - 0x80) / 2);
            return fZero ? 0 : sim::IspLoopChip::bankRegister(bank, 0x80 + 2 * r);
        }));
    }
    for (uint16_t window = 0x2000; window <= 0x2E00; window += 0x200) {
        char ac[48];
        std::snprintf(ac, sizeof ac, "\nSequencer Window %04x Registers\n", window);
        Next(Registers(ac, 16, [window](uint32_t r) { return sim::IspLoopChip::windowRegister(window, 0x80 + 2 * r); }));
    }
    // Three parts, a blank line after each of the first two.
    Next("\nRISC RAM\n" + RamLine(0x800) + RamLine(0x808));
    Next(RamLine(0xFFF8) + "\n" + RamLine(0x10000));
    Next(RamLine(0x10FF8) + "\n" + RamLine(0x11000));
    Next(RamLine(0x1FFF8) + "[<==END]ISP Debug Dump\n");
    EXPECT_EQ(n, s.size()) << s.substr(n);
    // The pages the RAM went through are given back.
    EXPECT_EQ(fw::dGetPagesInUse(0), dPagesInUse);
}

// A RAM dump the chip refuses ends the dump where it is, its pages given
// back; a chip taken out prints nothing.
TEST_F(DriveChipDump, ARefusedRamDumpEndsItAndAnAbsentChipPrintsNothing) {
    const uint32_t dPagesInUse = fw::dGetPagesInUse(0);
    c.Chip(4).failStatus = fw::MBS_COMMAND_ERROR;
    c.Chip(4).failCommands = 1;
    const std::string s = Dumped(4);
    EXPECT_NE(s.find("\nRISC RAM\n"), std::string::npos) << s;
    EXPECT_EQ(s.find("00000800:"), std::string::npos);
    EXPECT_EQ(s.find("[<==END]"), std::string::npos);
    EXPECT_EQ(fw::dGetPagesInUse(0), dPagesInUse);
    EXPECT_EQ(Dumped(4), "");
}

// A drive chip found faulted when the drive chips are started is dumped
// as the drive chip it is and taken out of service.
TEST_F(DriveChipDump, TheChipStartDumpsAFaultedDriveChip) {
    c.board.ClearConsoleText();
    EXPECT_TRUE(c.CallWaiting([] {
        fw::SetChipFault(3, fw::TRUE);
        fw::StartDriveChips();
    }));
    c.Run(1'000'000);
    const std::string s = Lines(c.board.ConsoleText());
    EXPECT_NE(s.find("ISP2x00 Debug Dump for Device 3\n"), std::string::npos) << s.substr(0, 500);
    EXPECT_NE(s.find("[<==END]ISP Debug Dump\n"), std::string::npos);
    EXPECT_EQ(s.find("Device 4"), std::string::npos);
    EXPECT_EQ(fw::fIsChipPresent(3), fw::FALSE);
    EXPECT_EQ(fw::fIsChipPresent(4), fw::TRUE);
}

// Bank 0's GPIO pins: what the chip drives where it drives, the outside
// elsewhere.
TEST_F(DriveChipDump, GpioPinsAreDrivenAndRead) {
    c.Chip(3).gpioInputs = 0x0F05;
    uint16_t w = 0;
    ASSERT_TRUE(c.CallWaiting([&] {
        EXPECT_EQ(fw::bQLWriteGpioEnable(3, 0x00F0), fw::STATUS_OK);
        EXPECT_EQ(fw::bQLWriteGpio(3, 0x00A0), fw::STATUS_OK);
        EXPECT_EQ(fw::bQLReadGpio(3, &w), fw::STATUS_OK);
    }));
    EXPECT_EQ(c.Chip(3).gpioEnable(), 0x00F0);
    EXPECT_EQ(c.Chip(3).gpioData(), 0x00A0);
    EXPECT_EQ(w, 0x0FA5);
    EXPECT_EQ(c.Chip(4).gpioEnable(), 0);
    ASSERT_TRUE(c.CallWaiting([&] { EXPECT_EQ(fw::bQLWriteGpio(5, 1), 0); }));
}

// The RISC's GPIO register is reached with the RISC paused and released
// again: bit 0 set and cleared, bit 8 raised for 10 ms, the rest kept.
TEST_F(DriveChipDump, RiscGpioBitsAreSetClearedAndPulsed) {
    uint64_t lPulse = 0;
    ASSERT_TRUE(c.CallWaiting([&] {
        // These routines address the chip in its ISP2x00 layout.
        fw::SetQL24xx(fw::FALSE);
        EXPECT_EQ(fw::SetRiscGpioBit0(3, fw::TRUE), fw::STATUS_OK);
        EXPECT_EQ(c.Chip(3).riscGpio(), 0x0001);
        EXPECT_FALSE(c.Chip(3).paused());
        lPulse = c.board.clock().Now();
        EXPECT_EQ(fw::PulseRiscGpioBit8(3), fw::STATUS_OK);
        EXPECT_EQ(fw::SetRiscGpioBit0(3, fw::FALSE), fw::STATUS_OK);
        fw::SetQL24xx(fw::TRUE);
        // The chip now answers in its own layout: out of the driver's service.
        fw::SetChipPresent(3, fw::FALSE);
    }));
    const auto& log = c.Chip(3).riscGpioLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].second, 0x0001);
    EXPECT_EQ(log[1].second, 0x0101);
    EXPECT_GE(log[1].first, lPulse);
    EXPECT_EQ(log[2].second, 0x0001);
    EXPECT_GE(log[2].first - log[1].first, 10'000'000u);
    EXPECT_EQ(log[3].second, 0x0000);
    EXPECT_FALSE(c.Chip(3).paused());
}

}  // namespace
