// The Memory Access Menu's commands on a running controller: what they show
// of the data bank and the FPGA registers, what they write, and every
// address the board does not back or the check keeps out refused without
// a touch.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/console_menu.h"
#include "console/memory_commands.h"
#include "console_board.h"
#include "executive/types.h"
#include "hw/hw.h"

namespace {

using consoletest::ConsoleBoard;

const std::string kAnyKey = "Press any key to continue...\n";
const std::string kNextCommand = "\nEnter Command: ";

std::string Hex(uint32_t d) {
    char ac[16];
    std::snprintf(ac, sizeof ac, "%08x", static_cast<unsigned>(d));
    return ac;
}

class MemoryCommands : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        fw::SetDiagnosticsModeLevel(3);
        c.Enter("2");
        c.Enter("1");
        c.Enter("3");
        bank = fw::HwGetWindow(fw::HW_WINDOW_BANK0);
        // A spot in the bank the cache is not using at this moment.
        at = bank.dProcessorAddress + bank.dSize - 0x10000;
    }
    void TearDown() override { fw::SetDiagnosticsModeLevel(0); }
    // A command and what it printed after its echo.
    std::string Run(const std::string& line) {
        const std::string s = c.Enter(line);
        const std::string echo = line + "\r";
        EXPECT_EQ(s.substr(0, echo.size()), echo);
        return s.substr(echo.size());
    }
    // A refused command, and the key back to the menu.
    void ExpectRefused(const std::string& line) {
        const std::string s = c.Enter(line);
        ASSERT_EQ(s.substr(0, line.size()), line);
        EXPECT_EQ(s.substr(s.find_first_not_of("\r\n", line.size())), "Invalid Arguments\n" + kAnyKey) << line;
        c.Type(" ");
    }
    uint8_t* Bytes(uint32_t d) { return bank.pBase + (d - bank.dProcessorAddress); }
    ConsoleBoard c;
    fw::HwWindow bank{};
    uint32_t at = 0;
};

TEST_F(MemoryCommands, AWordWrittenToTheBankReadsBack) {
    EXPECT_EQ(Run("mw " + Hex(at) + " beef"), kNextCommand);
    EXPECT_EQ(Run("dw " + Hex(at)), "\n" + Hex(at) + ": beef\n" + kNextCommand);
    // Non-digits between the digits are passed over; "w" keeps the low bits.
    EXPECT_EQ(Run("mw " + Hex(at + 2) + " 12-34:56"), kNextCommand);
    uint16_t w = 0;
    std::memcpy(&w, Bytes(at + 2), 2);
    EXPECT_EQ(w, 0x3456);
    EXPECT_EQ(Run("ml " + Hex(at + 8) + " 0123456789abcdef"), kNextCommand);
    EXPECT_EQ(Run("dl " + Hex(at + 8)), "\n" + Hex(at + 8) + ": 0123456789abcdef\n" + kNextCommand);
    EXPECT_EQ(Run("md " + Hex(at + 16) + " 41424344"), kNextCommand);
    EXPECT_EQ(Run("dd " + Hex(at + 16) + " 2"),
              "\n" + Hex(at + 16) + ": 41424344\n" + Hex(at + 20) + ": 00000000\n" + kNextCommand);
    EXPECT_EQ(Run("mb " + Hex(at + 24) + " 7"), kNextCommand);
    EXPECT_EQ(*Bytes(at + 24), 7);
}

TEST_F(MemoryCommands, BytesShowSinglyOrInLinesOfSixteen) {
    for (uint32_t i = 0; i < 32; ++i) *Bytes(at + i) = static_cast<uint8_t>(0x41 + i);
    *Bytes(at + 1) = 0x07;
    EXPECT_EQ(Run("db " + Hex(at) + " 2"),
              "\n" + Hex(at) + ": 41  'A'\n" + Hex(at + 1) + ": 07  \n" + kNextCommand);
    EXPECT_EQ(Run("db " + Hex(at) + " 0"), "\n" + Hex(at) + ": 41  'A'\n" + kNextCommand);
    EXPECT_EQ(Run("db " + Hex(at) + " 18"),
              "\n" + Hex(at) + ": 41 07 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 : A.CDEFGHIJKLMNOP\n" +
                  Hex(at + 16) + ": 51 52                                           : QR              \n" +
                  kNextCommand);
}

size_t Lines(const std::string& s) {
    size_t n = 0;
    for (char ch : s) n += ch == '\n';
    return n;
}

// The display is capped before its length is worked out: a count that
// would wrap the range shows the cap.
TEST_F(MemoryCommands, DisplaysAreCappedBeforeTheRangeIsChecked) {
    const std::string kEnd = kNextCommand;
    EXPECT_EQ(Lines(Run("dw " + Hex(at) + " 1000")), 1 + 256 + 1u);
    EXPECT_EQ(Lines(Run("db " + Hex(at) + " 1000")), 1 + 63 + 1u);
    EXPECT_EQ(Lines(Run("db " + Hex(at) + " 100000")), 1 + 256 + 1u);
    EXPECT_EQ(Lines(Run("dl " + Hex(at) + " 4294967295")), 1 + 256 + 1u);
}

TEST_F(MemoryCommands, FpgaRegistersAreShownThroughTheRegisterBus) {
    std::string expected = "\n";
    for (uint32_t i = 0; i < 4; ++i) {
        const uint32_t a = 0xF100F000 + 4 * i;
        expected += Hex(a) + ": " + Hex(fw::Reg32Read(a)) + "\n";
    }
    EXPECT_EQ(Run("dd f100f000 4"), expected + kNextCommand);
}

TEST_F(MemoryCommands, WhatTheBoardDoesNotBackOrTheCheckKeepsOutIsRefused) {
    const uint32_t dBankEnd = bank.dProcessorAddress + bank.dSize;
    const uint32_t dBefore = *reinterpret_cast<uint32_t*>(Bytes(at));
    for (const std::string& line : std::vector<std::string>{
             "dd fffffffc 2",                 // wraps
             "dd 00300000",                   // the firmware's own memory
             "dd f2000000",                   // outside every window
             "dd f100f010",                   // between the FPGA's blocks
             "dd " + Hex(dBankEnd - 4) + " 2",  // runs off the bank
             "dd 1234567890",                 // nine digits
             "dd 12g4",                       // not hexadecimal
             "dd " + Hex(at) + " 1x",         // not a count
             "mw " + Hex(at),                 // no value
             "mb " + Hex(at) + " 123",        // too many digits for a byte
             "md f100f000 1",                 // a register block: reads only
             "md 00200000 1",                 // the boot block: reads only
             "mb 00000010 1",                 // low memory
             "mr 00000010 1",                 // the vector page
             "ml f100f000 1",                 // 64 bits only in the bank
         }) {
        ExpectRefused(line);
    }
    EXPECT_EQ(*reinterpret_cast<uint32_t*>(Bytes(at)), dBefore);
}

TEST(MemoryRange, TheChecksWindows) {
    ConsoleBoard c;
    c.Boot();
    const fw::HwWindow bank = fw::HwGetWindow(fw::HW_WINDOW_BANK0);
    struct Case {
        uint32_t dStart, dLength;
        uint8_t fStrict, bWidth, bResult;
    };
    const Case cases[] = {
        {bank.dProcessorAddress, 8, fw::TRUE, 8, 0xFF},
        {0xC0000000, 0x20000000, fw::TRUE, 4, 0xFF},
        {0xF1000000, 4, fw::TRUE, 4, 0},
        {0xF100BFFC, 4, fw::FALSE, 4, 0xFF},
        {0xF1010000, 4, fw::FALSE, 4, 0},
        {0xF1010000, 2, fw::FALSE, 2, 0xFF},
        {0xFFD80000, 0x600, fw::FALSE, 4, 0xFF},
        {0xFFD80000, 0x601, fw::FALSE, 4, 0},
        {0xFFFFFFF0, 0x20, fw::FALSE, 1, 0},
        {0x10, 0, fw::FALSE, 1, 0},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(fw::bIsValidMemoryRange(k.dStart, k.dLength, k.fStrict, k.bWidth), k.bResult)
            << std::hex << k.dStart << " " << k.dLength;
    }
}

}  // namespace
