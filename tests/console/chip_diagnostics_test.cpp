// The chip displays service staff read from the console: the host ports'
// transceiver pages, link error counters, PCI status and configuration,
// their registers and RISC interrupt switch, the drive IOC's
// registers, debug area and trace ring, and the full dump of a host chip
// that stopped.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "console_board.h"
#include "executive/interrupt_dispatch.h"
#include "harness/dispatch_board.h"
#include "executive/interrupt_controller.h"
#include "executive/types.h"
#include "fc/chip_diagnostics.h"
#include "fc/ql_chip.h"
#include "hw/isp_fc.h"
#include "platform/pci.h"
#include "sas/mpi_diagnostics.h"
#include "sas/mpi_interface.h"
#include "sas/reply_dispatch.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::Lines;

std::string Hex8(uint32_t d) {
    char ac[16];
    std::snprintf(ac, sizeof ac, "%08x", d);
    return ac;
}

// A controller whose host ports sit on one arbitrated loop with hosts on it.
class ChipDiagnostics : public ::testing::Test {
protected:
    ChipDiagnostics() : loop(sim::FcFabric::Topology::Loop) {
        for (uint8_t chip = 1; chip <= 2; ++chip) Chip(chip).AttachFabric(loop);
    }
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        fw::SetDiagnosticsModeLevel(3);
    }
    sim::IspChip& Chip(uint8_t chip) { return *sim::FindIspChip(c.board, chip); }
    // What a firmware routine printed, once the console has sent it.
    template <typename F>
    std::string Printed(F&& f) {
        c.board.ClearConsoleText();
        f();
        c.Settle();
        return Lines(c.board.ConsoleText());
    }
    uint32_t IntControl(uint8_t chip) {
        uint32_t d = 0;
        EXPECT_EQ(fw::bQLReadReg32(chip, fw::ISP24_REG_INT_CONTROL, &d), fw::STATUS_OK);
        return d;
    }
    ConsoleBoard c;
    sim::FcFabric loop;
};

const std::string kInternalPage0 =
    " Information:\n"
    "  Transceiver Type           : SFP\n"
    "  Extended Identifier        : Serial ID\n"
    "  Connector Type             : LC\n"
    "  Transceiver Codes          : 00 00 00 00 00 40 0c 15\n"
    "  Encoding Algorithm         : 8B10B\n"
    "  Bit Rate, Nominal          : 4300 Mbps\n"
    "  Link length at 9/125 um    : 0 kilometres\n"
    "  Link length at 9/125 um    : 0 metres\n"
    "  Link length at 50/125 um   : 150 metres\n"
    "  Link length at 62.5/125 um : 70 metres\n"
    "  Vendor Name                : SIMULATED OPTICS\n"
    "  Vendor OUI                 : 009065\n"
    "  Vendor Part Number         : SFP-4G-SW-SIM   \n"
    "  Vendor Revision Level      : A1  \n"
    "  Options                    : 00 1a\n"
    "  Bit Rate, Maximum          : 05%\n"
    "  Bit Rate, Minimum          : 05%\n"
    "  Vendor Serial Number       : SIMSFP0000070001\n"
    "  Manufacturing Date         : June 15, 2007\n"
    "  Lot Code                   : L3\n"
    "  Diag Mon Type              : 0068\n"
    "  Enhanced Options           : 00f0\n";
const std::string kThresholds =
    " Diagnostics:\n"
    "  Temp High Alarm            :   94.99 C\n"
    "  Temp Low Alarm             : - 39.99 C\n"
    "  Temp High Warning          :   89.99 C\n"
    "  Temp Low Warning           : - 29.99 C\n"
    "  Voltage High Alarm         :    3.60 V\n"
    "  Voltage Low Alarm          :    3.00 V\n"
    "  Voltage High Warning       :    3.50 V\n"
    "  Voltage Low Warning        :    3.10 V\n"
    "  Bias High Alarm            :   15.00 mA\n"
    "  Bias Low Alarm             :    2.00 mA\n"
    "  Bias High Warning          :   12.00 mA\n"
    "  Bias Low Warning           :    3.00 mA\n"
    "  TX Power High Alarm        :    1.0000 mW\n"
    "  TX Power Low Alarm         :    0.1000 mW\n"
    "  TX Power High Warning      :    0.8000 mW\n"
    "  TX Power Low Warning       :    0.1250 mW\n"
    "  RX Power High Alarm        :    1.0000 mW\n"
    "  RX Power Low Alarm         :    0.0200 mW\n"
    "  RX Power High Warning      :    0.8000 mW\n"
    "  RX Power Low Warning       :    0.0300 mW\n";

// The controller information screen reads both pages of each port's
// transceiver from the chip and prints them in the module's own form.
TEST_F(ChipDiagnostics, TheInformationScreenShowsEachTransceiver) {
    Chip(2).FitTransceiver(false);
    c.Enter("3");
    const std::string s = c.Enter("1");
    const std::string sPort0 = "Host Loop 0 SFP:\n" + kInternalPage0 + kThresholds +
                               "  Internal module Temp       :   35.49 C\n"
                               "  Transceiver Voltage        :    3.30 V\n"
                               "  TX Bias Current            :    6.54 mA\n"
                               "  TX Output Power            :    0.5623 mW\n"
                               "  RX Input Power             :    0.4017 mW\n";
    EXPECT_NE(s.find(sPort0), std::string::npos) << s;
    std::string sPage1 = kInternalPage0;
    sPage1.replace(sPage1.find("0000070001"), 10, "0000070002");
    sPage1.replace(sPage1.find("Diag Mon Type              : 0068"), 33, "Diag Mon Type              : 0058");
    const std::string sPort1 = "Host Loop 1 SFP:\n" + sPage1 + kThresholds +
                               "  Rx_PWR(4) Raw data         :  0x00000000\n"
                               "  Rx_PWR(3) Raw data         :  0x00000000\n"
                               "  Rx_PWR(2) Raw data         :  0x00000000\n"
                               "  Rx_PWR(1) Raw data         :  0x3f800000\n"
                               "  Rx_PWR(0) Raw data         :  0x00000000\n"
                               "  Tx_I(Slope) Raw data       :  0x0100\n"
                               "  Tx_I(Offset) Raw data      :  0x0010\n"
                               "  Tx_PWR(Slope) Raw data     :  0x0100\n"
                               "  Tx_PWR(Offset) Raw data    :  0x0000\n"
                               "  T(Slope) Raw data          :  0x0100\n"
                               "  T(Offset) Raw data         :  0xff00\n"
                               "  V(Slope) Raw data          :  0x0100\n"
                               "  V(Offset) Raw data         :  0x0000\n"
                               "  Internal module Temp (RAW) :  0x2400\n"
                               "  Transceiver Voltage (RAW)  :  0x80f4\n"
                               "  TX Bias Current (RAW)      :  0x0cc7\n"
                               "  TX Output Power (RAW)      :  0x15f7\n"
                               "  RX Input Power (RAW)       :  0x0fb1\n";
    EXPECT_NE(s.find(sPort1), std::string::npos) << s;
}

// Fields the module leaves blank or garbled, checksums that do not add up,
// and the truncating scales, printed from pages as a module might send them.
TEST_F(ChipDiagnostics, OddPagesPrintAsTheModuleSentThem) {
    std::array<uint8_t, 256> a = Chip(1).sfpIdentity;
    std::memset(&a[20], ' ', 16);     // vendor name: blanks
    a[41] = 0;                        // part number: a NUL inside
    std::memcpy(&a[84], "081231", 6);
    std::memcpy(&a[90], "  ", 2);
    a[1] = 9;                         // not a serial-ID module; checksums now off
    std::string s = Printed([&] { fw::PrintSfpInformation(a.data()); });
    EXPECT_NE(s.find(" Information:\n   CC_BASE checksum error, read 0x"), std::string::npos) << s;
    EXPECT_NE(s.find("  Extended Identifier        : Custom\n"), std::string::npos);
    EXPECT_NE(s.find("  Vendor Name                : Unspecified\n"), std::string::npos);
    EXPECT_NE(s.find("  Vendor Part Number         : Unspecified\n"), std::string::npos);
    EXPECT_NE(s.find("  CC_EXT checksum error"), std::string::npos);
    EXPECT_NE(s.find("  Manufacturing Date         : December 31, 2008\n"), std::string::npos);
    EXPECT_NE(s.find("  Lot Code                   : Unspecified\n"), std::string::npos);
    for (const char* pszDate : {"081331", "080031", "08 131"}) {
        std::memcpy(&a[84], pszDate, 6);
        s = Printed([&] { fw::PrintSfpInformation(a.data()); });
        EXPECT_NE(s.find("  Manufacturing Date         : Unintelligible\n"), std::string::npos) << pszDate;
    }

    std::array<uint8_t, 256> d = Chip(1).sfpDiagnostics;
    d[0] = 0x19, d[1] = 0x00;         // 25 degrees
    d[2] = 0xFF, d[3] = 0x00;         // minus 1 degree
    d[18] = 0x01, d[19] = 0xF5;       // 501 x 2 uA
    uint32_t dSum = 0;
    for (int i = 0; i < 95; ++i) dSum += d[i];
    d[95] = static_cast<uint8_t>(dSum);
    s = Printed([&] { fw::PrintSfpDiagnostics(d.data(), 32); });
    EXPECT_NE(s.find("  Temp High Alarm            :   24.99 C\n"), std::string::npos) << s;
    EXPECT_NE(s.find("  Temp Low Alarm             : -  0.99 C\n"), std::string::npos) << s;
    EXPECT_NE(s.find("  Bias Low Alarm             :    1.00 mA\n"), std::string::npos) << s;
    d[95] ^= 0x5A;
    s = Printed([&] { fw::PrintSfpDiagnostics(d.data(), 32); });
    EXPECT_EQ(s, " Diagnostics:\n Checksum error, read 0x" + Hex8(d[95]).substr(6) + ", calculated 0x00" +
                     Hex8(static_cast<uint8_t>(dSum)).substr(6) + "\n");
}

// Link counters count: a loop initialisation and errors on the wire, the
// port's own and each host's, by AL_PA in loop order.
TEST_F(ChipDiagnostics, LinkStatusShowsTheCountersOfEveryPortOnTheLoop) {
    sim::FcHost a(c.board, loop, Chip(1), 0x2100001B32000001);
    sim::FcHost b(c.board, loop, Chip(1), 0x2100001B32000002);
    ASSERT_TRUE(a.LogIn());
    ASSERT_TRUE(b.LogIn());
    const uint8_t bA = static_cast<uint8_t>(a.initiator().portId());
    const uint8_t bB = static_cast<uint8_t>(b.initiator().portId());
    Chip(1).InjectLinkErrors(3, 1);
    Chip(1).InjectLinkErrors(0, 7, bB);
    const uint32_t dSyncBefore = Chip(1).linkStatus.dLossOfSync;
    Chip(1).Lip();
    c.board.RunFor(2'000'000'000ull);
    const std::string s = c.Type("h");
    const fw::ISP_LINK_STATUS& sOwn = Chip(1).linkStatus;
    EXPECT_GT(sOwn.dLossOfSync, dSyncBefore);
    const size_t n = s.find("Host FC Link Status\n");
    ASSERT_NE(n, std::string::npos) << s;
    char ac[400];
    std::snprintf(ac, sizeof ac,
                  "Host FC Link Status\n\nHost Loop 0 Link Status: Link Failure   Loss of Sync   Inv. TX Word   "
                  "Inv. CRC\n"
                  "Controller Port (%02x)   : %08x       %08x       00000003       00000001\n"
                  "Host System 000 (%02x)   : 00000000       00000000       00000000       00000000\n"
                  "Host System 001 (%02x)   : 00000000       00000000       00000000       00000007\n"
                  "\nHost Loop 1 Link Status:",
                  fw::FC_AL_LOOP_ID_TO_ALPA[4], sOwn.dLinkFailures, sOwn.dLossOfSync, bA, bB);
    EXPECT_EQ(s.substr(n, std::strlen(ac)), ac) << s;
    EXPECT_EQ(s.substr(s.size() - 2), "\n\n");
}

TEST_F(ChipDiagnostics, ALinkThatIsDownShowsOnlyTheHeading) {
    for (uint8_t chip = 1; chip <= 2; ++chip) loop.SetLink(Chip(chip), false);
    const std::string s = c.Type("h");
    const size_t n = s.find("Host FC Link Status\n");
    ASSERT_NE(n, std::string::npos) << s;
    EXPECT_EQ(s.substr(n, 22), "Host FC Link Status\n\n\n") << s;
    EXPECT_EQ(s.find("Link Status:"), std::string::npos) << s;
    EXPECT_GT(Chip(1).linkStatus.dLinkFailures, 0u);
}

TEST_F(ChipDiagnostics, PciStatusOfBothHostChips) {
    EXPECT_EQ(c.Type("q"),
              "\n\nQlogic Registers:\n"
              "PCI  Status - 0: " + Hex8(Chip(1).ConfigRead(0x04)) + "\n"
              "PCIX Status - 0: " + Hex8(Chip(1).ConfigRead(0x50)) + "\n"
              "PCI  Status - 1: " + Hex8(Chip(2).ConfigRead(0x04)) + "\n"
              "PCIX Status - 1: " + Hex8(Chip(2).ConfigRead(0x50)) + "\n");
}

TEST_F(ChipDiagnostics, ConfigurationRegistersOfEachHostChipUntilAReadFails) {
    const std::string kStars = std::string(50, '*') + "\n";
    for (uint8_t chip = 1; chip <= 2; ++chip) {
        std::string sWant = kStars + "* " + (fw::fIsPCIeDevice(chip) == fw::TRUE ? "PCI-express" : "PCI-X") +
                            " Config Regs for QL2TAR" + std::to_string(chip) + " \n" + kStars;
        for (uint16_t w : {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x2C, 0x30, 0x34, 0x3C, 0x44}) {
            sWant += "0x" + Hex8(Chip(chip).ConfigRead(w)) + " \n";
        }
        for (uint16_t w = 0x48; w <= 0x84; w += 4) sWant += "0x" + Hex8(Chip(chip).ConfigRead(w)) + " \n";
        EXPECT_EQ(Printed([chip] { fw::PrintQlPciConfig(chip); }), sWant);
    }
    EXPECT_EQ(Printed([] { fw::PrintQlPciConfig(3); }), "");
    // Reads past the identity end abort: the listing ends there.
    Chip(1).faults.configReadsAbort = true;
    const std::string s = Printed([] { fw::PrintQlPciConfig(1); });
    Chip(1).faults.configReadsAbort = false;
    EXPECT_NE(s.find("0x" + Hex8(Chip(1).ConfigRead(0x00)) + " \n"), std::string::npos) << s;
    EXPECT_EQ(s.find("0x" + Hex8(Chip(1).ConfigRead(0x84)) + " \n0x"), std::string::npos) << s;
    EXPECT_LT(std::count(s.begin(), s.end(), '\n'), 3 + 12 + 16);
}

TEST_F(ChipDiagnostics, RegisterListingsShowChipOnesThirtyTwoRegisters) {
    for (bool fExpress : {false, true}) {
        const std::string s = Printed([fExpress] {
            if (fExpress) {
                fw::PrintQlPcieIoRegisters();
            } else {
                fw::PrintQlIoRegisters();
            }
        });
        const std::string kTitle = fExpress ? " TAR1 PCI-express IO Registers:\n" : " TAR1 PCI IO Registers:\n";
        ASSERT_EQ(s.rfind(kTitle, 0), 0u) << s;
        EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 33);
        // The fourth is the interrupt control register, the RISC's let through.
        EXPECT_EQ(s.substr(kTitle.size() + 3 * 11, 11), "0x" + Hex8(IntControl(1)) + "\n");
        EXPECT_NE(IntControl(1) & fw::ISP24_INT_CONTROL_RISC, 0u);
    }
}

// The RISC interrupt held back and let through again, each said on the
// polled console; other chip numbers are refused, and on an ISP2x00
// board nothing is touched.
TEST_F(ChipDiagnostics, TheRiscInterruptIsHeldBackAndLetThrough) {
    const uint32_t d2 = IntControl(2);
    char ac[64];
    std::snprintf(ac, sizeof ac, "Disable RISC Int IOWr32 100c %x \n", d2 & ~8u);
    EXPECT_EQ(Printed([] { fw::DisableQL24PCIeInterrupts(2); }), ac);
    EXPECT_EQ(IntControl(2), d2 & ~fw::ISP24_INT_CONTROL_RISC);
    EXPECT_EQ(IntControl(1) & fw::ISP24_INT_CONTROL_RISC, fw::ISP24_INT_CONTROL_RISC) << "chip 1 touched";
    std::snprintf(ac, sizeof ac, "Enable RISC Int IOWr32 100c %x \n", d2 | 8u);
    EXPECT_EQ(Printed([] { fw::EnableQL24PCIeInterrupts(2); }), ac);
    EXPECT_EQ(IntControl(2), d2 | fw::ISP24_INT_CONTROL_RISC);

    const uint32_t dWrites = Chip(1).registerWrites() + Chip(2).registerWrites();
    EXPECT_EQ(Printed([] { fw::EnableQL24PCIeInterrupts(3); }),
              "EnableQL24PCIeInterrupts ERROR: Unsupported PCIe Device Type\n");
    EXPECT_EQ(Printed([] { fw::DisableQL24PCIeInterrupts(0); }),
              "DisableQL24PCIeInterrupts ERROR: Unsupported PCIe Device Type\n");
    EXPECT_EQ(Printed([] { fw::ClearPCIeTargetInterrupts(4); }),
              "ClearPCIeTargetInterrupts ERROR: Unsupported PCIe Device Type\n");
    EXPECT_EQ(Printed([] {
                  fw::SetQL24xx(fw::FALSE);
                  fw::DisableQL24PCIeInterrupts(1);
                  fw::ClearPCIeTargetInterrupts(1);
                  fw::SetQL24xx(fw::TRUE);
              }),
              "");
    EXPECT_EQ(Chip(1).registerWrites() + Chip(2).registerWrites(), dWrites);
    EXPECT_EQ(Printed([] { fw::ClearPCIeTargetInterrupts(1); }), "");
    EXPECT_EQ(Chip(1).registerWrites(), dWrites - Chip(2).registerWrites() + 1);
}

// The drive IOC's system registers: ten lines; what the read of the reply
// FIFO takes off it is dispatched like any reply.
TEST_F(ChipDiagnostics, IocRegistersAndTheReplyTheirReadTakes) {
    const std::string s = c.Type("l");
    EXPECT_EQ(s.substr(0, 22), "\nLSI system Regs 61\nDo") << s;
    for (const char* psz : {"Doorbell:           ", "Write Sequence:     ", "Host Diagnostics:   ",
                            "Test Base:          ", "Diag RW Data:       ", "Diag RW Address:    ",
                            "Host Int Status:    ", "Host Int Mask:      ", "Request Queue:      "}) {
        EXPECT_NE(s.find(psz), std::string::npos) << psz;
    }
    EXPECT_NE(s.find("Reply Queue:        ffffffff\n\n"), std::string::npos) << s;
    EXPECT_EQ(s.find("HP Request Queue"), std::string::npos);

    // A reply waiting in the FIFO (the interrupt held off): the dump reads
    // it and hands it to the dispatch, which refuses this one as naming no
    // command buffer.
    const uint32_t dBad = fw::dGetSASBadReplyCount();
    const uint32_t dWord = 0x20000000u | 0x3FFF;   // target reply, IoIndex past the tables
    const uint8_t bLock = fw::LockInterruptSource(fw::INT_SOURCE_DRIVE_SIDE);
    c.board.sasController().PostRawReply(dWord);
    const std::string t = Printed([] { fw::ShowLSISystemRegs(0x61); });
    if (bLock == 0xFF) fw::UnlockInterruptSource(fw::INT_SOURCE_DRIVE_SIDE);
    EXPECT_NE(t.find("Reply Queue:        " + Hex8(dWord) + "\n"), std::string::npos) << t;
    EXPECT_EQ(fw::dGetSASBadReplyCount(), dBad + 1);
    EXPECT_EQ(c.board.sasController().postedReplies(), 0u);
}

// The debug area and the trace ring the IOC appends to as it takes requests.
TEST_F(ChipDiagnostics, DebugAreaAndTraceRing) {
    sim::SasController& ioc = c.board.sasController();
    ASSERT_GT(ioc.traceEntries(), 0u);
    const std::string s = Printed([] { fw::ShowLSIRingBuffer(0x61); });
    std::string sArea = "Debug Area Struct, Device 61\n\nRingBuffer Base: 21ff0000\nRingBuffer Size: 00000100\n"
                        "RingBuffer Tail: 21fffff0\n";
    for (uint32_t n = 0; n < 13; ++n) {
        char ac[40];
        std::snprintf(ac, sizeof ac, "GenProcRegs[%02x]: %08x\n", n, ioc.IocMemory(0x21FFFF10 + 4 * n));
        sArea += ac;
    }
    sArea += "Stack Pointer:   21ffdff0\nLink Reg:        000142c8\nPrimary AHB:     00002001\n"
             "Secondary AHB:   00003002\nFirmware Ver:    " + Hex8(ioc.loadedFirmwareVersion()) +
             "\nFault Code:      00000000\n";
    for (uint32_t n = 0; n < 10; ++n) {
        char ac[40];
        std::snprintf(ac, sizeof ac, "FaultCodeDump[%02x]: 00000000\n", n);
        sArea += ac;
    }
    sArea += "\n\nRingbuffer Tail: " + Hex8(ioc.IocMemory(0x21FFFFF0)) + "\n";
    std::string sRing;
    for (uint32_t i = 0; i < 64; ++i) {
        const uint32_t d = ioc.IocMemory(0x21FF0000 + 4 * i);
        char ac[16];
        std::snprintf(ac, sizeof ac, "%02x %02x %02x %02x ", d & 0xFF, (d >> 8) & 0xFF, (d >> 16) & 0xFF, d >> 24);
        sRing += ac;
    }
    EXPECT_EQ(s, sArea + sRing + "\n");
    // The ring holds SCSI IO requests (function 0) the IOC took.
    bool fScsiIo = false;
    for (uint32_t i = 0; i < 64; i += 2) fScsiIo |= (ioc.IocMemory(0x21FF0000 + 4 * i) >> 24) == 0;
    EXPECT_TRUE(fScsiIo);

    // A fault is traced and kept in the area.
    const uint32_t dEntries = ioc.traceEntries();
    ioc.EnterFault(0x1234);
    EXPECT_EQ(ioc.traceEntries(), dEntries + 1);
    EXPECT_EQ(ioc.IocMemory(0x21FFFF00 + 24 * 4), 0x1234u);
}

// The IOC's memory as words: eight to a line, each line led by the address
// of its first word; a count of nothing prints the line end alone.
TEST_F(ChipDiagnostics, IocMemoryAsWordsEightToALine) {
    sim::SasController& ioc = c.board.sasController();
    constexpr uint32_t kArea = 0x21FFFF00;
    std::string sWant;
    for (uint32_t i = 0; i < 10; ++i) {
        if (i % 8 == 0) sWant += "\n" + Hex8(kArea + 4 * i) + ":";
        sWant += " " + Hex8(ioc.IocMemory(kArea + 4 * i));
    }
    EXPECT_EQ(Printed([] { fw::DumpLSIDiagMemory(0x61, kArea, 10, fw::FALSE); }), sWant + "\n");
    EXPECT_EQ(Printed([] { fw::DumpLSIDiagMemory(0x61, kArea, 0, fw::FALSE); }), "\n");
}

// The maintenance look at the drive IOC's image: the IOC is reset and held
// while the words at the load address are printed as the IOC holds them,
// then started again from its reset vector.  A key the IOC never takes
// ends the look after its tries, with the IOC left running.
TEST_F(ChipDiagnostics, TheImageDumpToolHoldsTheIocShowsItsImageAndRestartsIt) {
    sim::SasController& ioc = c.board.sasController();
    const fw::LSI_DIAG_LOAD_INFO sLoad = *fw::pGetLSIDiagLoadInfo();
    ASSERT_NE(sLoad.dLoadStartAddress, 0u);
    std::string sWant = "\n\n      psLSI_MPT_Interface->pdWriteSequence: 0x" +
                        Hex8(fw::pGetLSIMPTInterface(0x61)->pdWriteSequence) +
                        "\n\n\nWrite LSI MPT Sequence to place 1068 in Diag RW mode.\n\nStart Address: 0x" +
                        Hex8(sLoad.dLoadStartAddress) + " 0x" + Hex8(sLoad.dLoadStartAddress) + "\n\n";
    for (uint32_t i = 0; i < fw::LSI_IMAGE_DUMP_DWORDS; ++i) {
        sWant += "0x" + Hex8(ioc.IocMemory(sLoad.dLoadStartAddress + 4 * i)) + " ";
        if (i % 4 == 3) sWant += "\n";
    }
    const uint32_t dBoots = ioc.diagnosticLoads();
    EXPECT_EQ(Printed([] { fw::LSIDiagMemoryDumpTool(0x61); }), sWant);
    EXPECT_EQ(fw::bLSIWaitReady(0x61, 1000), fw::STATUS_OK);
    EXPECT_EQ(ioc.diagnosticLoads(), dBoots + 1) << "not started again from the held reset";

    ioc.faults.diagLocked = true;
    std::string sTries;
    for (int i = 0; i < 20; ++i) sTries += "Try again...\n";
    const std::string s = Printed([] { fw::LSIDiagMemoryDumpTool(0x61); });
    EXPECT_NE(s.find("Diag RW mode.\n" + sTries), std::string::npos) << s;
    EXPECT_EQ(s.find("Start Address"), std::string::npos);
    EXPECT_EQ(ioc.state(), sim::SasController::State::Ready);
    ioc.faults.diagLocked = false;
    EXPECT_EQ(Printed([] { fw::LSIDiagMemoryDumpTool(0x30); }), "");
}

// A damaged area: a size past any ring is cut to 64 KiB, a base near the
// top of the address space to what lies below it; a window that will not
// open shows nothing.
TEST_F(ChipDiagnostics, ADamagedDebugAreaIsDumpedWithinBounds) {
    sim::SasController& ioc = c.board.sasController();
    auto Groups = [](const std::string& s) {
        const size_t n = s.rfind("Ringbuffer Tail: ");
        return n == std::string::npos ? 0 : (s.size() - s.find('\n', n) - 2) / 12;
    };
    ioc.SetIocMemory(0x21FFFF04, 0x00100000);
    EXPECT_EQ(Groups(Printed([] { fw::ShowLSIRingBuffer(0x61); })), 16384u);
    ioc.SetIocMemory(0x21FFFF00, 0xFFFFFF00);
    ioc.SetIocMemory(0x21FFFF08, 0xFFFFFFF0);
    EXPECT_EQ(Groups(Printed([] { fw::ShowLSIRingBuffer(0x61); })), 64u);
    ioc.faults.diagLocked = true;
    EXPECT_EQ(Printed([] { fw::ShowLSIRingBuffer(0x61); }), "");
}

// A host chip that stops: the fault event, then its registers, RISC memory
// and rings on the polled console, then the halt.
TEST_F(ChipDiagnostics, AHostChipSystemErrorIsDumpedBeforeTheHalt) {
    // What the firmware image put at the start of external memory: the
    // dump reads it after the chip's reset.
    ASSERT_EQ(Chip(1).riscWord(0x100000), fw::RISC_SIGNATURE);
    std::string sExternal = "\nExternal Memory\n00100000: ";
    for (uint32_t i = 0; i < 8; ++i) sExternal += Hex8(Chip(1).riscWord(0x100000 + i)) + (i == 7 ? "\n" : " ");
    c.board.ClearConsoleText();
    Chip(1).RaiseAsyncEvent(fw::ISP_AEN_SYSTEM_ERROR);
    EXPECT_EQ(c.board.RunFor(120'000'000'000ull), sim::StopKind::Halt);
    const std::string s = Lines(c.board.ConsoleText());
    const fw::EVENT_LOG_ENTRY* ps = harness::NewestEvent(fw::EVENT_FAULT);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[0], 4);   // a host chip
    size_t n = 0;
    for (const std::string& sPart :
         {std::string("\n\nISP2400 Debug Dump for Device 1\n\nISP FW Version "), std::string("\nHCCR Register\n"),
          std::string("\nHost Interface Registers\n"), std::string("\nMailbox Registers\n"),
          std::string("\nXSEQ GP Registers\nbf000001 bf000041 bf000081 bf0000c1 bf000101 bf000141 bf000181 bf0001c1\n"),
          std::string("\nRSEQ-2 Registers\nfff00001 "), std::string("\n\nXMT0 Data DMA Registers\n"),
          std::string("\nShadow Registers\n5ad00001 5ad00101 5ad00201 5ad00301 5ad00401 5ad00501 5ad00601\n"),
          std::string("\nFB Hardware Registers\n60000001 "), std::string("\nCode RAM\n00020000: "), sExternal,
          std::string("[<==END] ISP Debug Dump\n\nRequest Queue\n0000: "), std::string("Priority Queue not used\n\n"),
          std::string("Response queue\n0000: "), std::string("ATIO Queue\n0000: "), std::string("E:Halt")}) {
        const size_t m = s.find(sPart, n);
        ASSERT_NE(m, std::string::npos) << sPart << "\n" << s.substr(n, 2000);
        n = m + sPart.size();
    }
    // 256 words of external memory: 32 lines, the last at 0x1000f8.
    EXPECT_NE(s.find("\n001000f8: "), std::string::npos);
    EXPECT_EQ(s.find("\n00100100: "), std::string::npos);
}

// Firmware that reports no external memory (its end at or below where
// external memory starts) has none dumped: the count would underflow.
class ChipDumpWithoutExternalMemory : public ChipDiagnostics {
protected:
    ChipDumpWithoutExternalMemory() { Chip(1).externalMemoryEnd = 0x0FFFFF; }
};

TEST_F(ChipDumpWithoutExternalMemory, TheDumpGoesFromCodeRamToTheRings) {
    c.board.ClearConsoleText();
    Chip(1).RaiseAsyncEvent(fw::ISP_AEN_SYSTEM_ERROR);
    EXPECT_EQ(c.board.RunFor(120'000'000'000ull), sim::StopKind::Halt);
    const std::string s = Lines(c.board.ConsoleText());
    const size_t n = s.find("\nCode RAM\n00020000: ");
    ASSERT_NE(n, std::string::npos) << s;
    EXPECT_EQ(s.find("External Memory"), std::string::npos);
    EXPECT_NE(s.find("[<==END] ISP Debug Dump\n", n), std::string::npos);
}

}  // namespace
