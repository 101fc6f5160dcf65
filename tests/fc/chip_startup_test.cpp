// Start of day of the host chips against the chip model: the probe, the
// firmware load, verify and start, the initialisation control block, and
// each failure that leaves a chip out or stops start-up.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "executive/buffer_pages.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "fc/ql_risc_image.h"
#include "hw/isp_fc.h"
#include "hw/pci_ids.h"
#include "platform/pci.h"
#include "harness/fc_controller.h"

namespace {

using fctest::FcController;

std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

std::string Tail(const std::string& text, const std::string& from) {
    size_t at = text.find(from);
    return at == std::string::npos ? std::string() : text.substr(at);
}

fw::ISP24_ICB Icb(sim::IspChip& chip) {
    fw::ISP24_ICB icb{};
    EXPECT_EQ(chip.icb().size(), sizeof icb);
    if (chip.icb().size() == sizeof icb) std::memcpy(&icb, chip.icb().data(), sizeof icb);
    return icb;
}

TEST(HostChipStartup, BothChipsComeUpWithTheirRingsAndNames) {
    FcController c;
    ASSERT_EQ(c.stop, sim::StopKind::Running);
    for (uint8_t chip = 1; chip <= 2; ++chip) {
        sim::IspChip& model = c.Chip(chip);
        EXPECT_EQ(model.risc(), sim::IspChip::Risc::Initialised) << int(chip);
        EXPECT_EQ(fw::fIsChipPresent(chip), fw::TRUE);
        EXPECT_EQ(model.riscLoads(), 2u);   // both segments, each in one load
        // The GPIO word of a running chip (0x00400040 after its start).
        EXPECT_EQ(model.gpio() & 0xFFFF, 0x0040u);
        const fw::ISP24_ICB icb = Icb(model);
        EXPECT_EQ(icb.wVersion, 1);
        EXPECT_EQ(icb.wFrameSize, 2048);
        EXPECT_EQ(icb.wExecutionThrottle, 30);
        EXPECT_EQ(icb.wExchangeCount, 2048 - 128);
        EXPECT_EQ(icb.wLoginRetryCount, 8);
        EXPECT_EQ(icb.wLinkDownOnNos, 200);
        EXPECT_EQ(icb.wRequestLength, 128);
        EXPECT_EQ(icb.wResponseLength, 128);
        EXPECT_EQ(icb.wAtioLength, 128);
        // Rings by address in the chip ring area of bank 0.
        const uint32_t base = static_cast<uint32_t>(fw::dGetChipRingMemory());   // bus and processor addresses agree in bank 0
        EXPECT_EQ(icb.dRequestAddressLow, base + (chip == 1 ? 0x8000u : 0xA000u));
        EXPECT_EQ(icb.dResponseAddressLow, base + (chip == 1 ? 0xC000u : 0xE000u));
        EXPECT_EQ(icb.dAtioAddressLow, base + (chip == 1 ? 0x10000u : 0x12000u));
        // The controller WWN 20 00 00 a5 5a a0 00 01 names the node; the port
        // names replace its first two bytes with 21 00 and 22 00.
        const uint8_t node[8] = {0x20, 0x00, 0x00, 0xA5, 0x5A, 0xA0, 0x00, 0x01};
        EXPECT_EQ(std::memcmp(icb.abNodeName, node, 8), 0);
        EXPECT_EQ(icb.abPortName[0], chip == 1 ? 0x21 : 0x22);
        EXPECT_EQ(icb.abPortName[1], 0);
        EXPECT_EQ(std::memcmp(icb.abPortName + 2, node + 2, 6), 0);
        // The stored hard loop IDs 0x84 and 0x85 are configured: IDs 4 and 5.
        EXPECT_EQ(icb.wHardAddress, chip == 1 ? 4 : 5);
        EXPECT_EQ(icb.dFirmwareOptions1, 0x6837u);
        EXPECT_EQ(icb.dFirmwareOptions2, 0x20u);
        EXPECT_EQ(icb.dFirmwareOptions3, 0x4020u);
        EXPECT_EQ(fw::bGetHostPortHardLoopId(chip), chip == 1 ? 4 : 5);
        uint16_t major = 0, minor = 0, sub = 0, attributes = 0;
        uint32_t memory = 0;
        ASSERT_EQ(fw::bGetStoredFirmwareVersion(chip, &major, &minor, &sub, &attributes, &memory), fw::STATUS_OK);
        EXPECT_EQ(major, 5);
        EXPECT_EQ(minor, 2);
        EXPECT_EQ(sub, 1);
        // The end of the firmware's external RISC memory (it starts at 1 MB).
        EXPECT_EQ(memory, 0x001000FFu);
    }
    EXPECT_EQ(fw::fIsQL24xx(), fw::TRUE);
    EXPECT_EQ(fw::dGetChipPciId(1), fw::ISP_ID_2432);
    uint8_t wwn[8];
    ASSERT_EQ(fw::fGetHostPortWwn(wwn), fw::TRUE);   // host chip 1's node name
    EXPECT_EQ(wwn[3], 0xA5);
    EXPECT_EQ(fw::fIsChipPresent(3), fw::FALSE);
    EXPECT_EQ(fw::fIsChipPresent(4), fw::FALSE);
}

// Each chip is brought up in the order its driver gives: configuration,
// then the polled mailbox test, both image loads, checksum and execute; later
// the running firmware's version, its resource counts and its control block.
TEST(HostChipStartup, EachChipIsBroughtUpInOrder) {
    FcController c;
    ASSERT_EQ(c.stop, sim::StopKind::Running);
    const std::vector<uint16_t> bringUp = {fw::MBC_MAILBOX_TEST,      fw::MBC_LOAD_RAM_EXTENDED, fw::MBC_LOAD_RAM_EXTENDED,
                                           fw::MBC_VERIFY_CHECKSUM,   fw::MBC_EXECUTE_FIRMWARE,  fw::MBC_FIRMWARE_VERSION,
                                           fw::MBC_RESOURCE_COUNTS,   fw::MBC_INITIALIZE_FIRMWARE};
    for (uint8_t chip = 1; chip <= 2; ++chip) {
        sim::IspChip& model = c.Chip(chip);
        std::vector<uint16_t> opcodes = model.mailboxOpcodes();
        ASSERT_GE(opcodes.size(), bringUp.size()) << int(chip);
        opcodes.resize(bringUp.size());
        EXPECT_EQ(opcodes, bringUp) << int(chip);
        EXPECT_EQ(model.ConfigRead(fw::ISP_CFG_COMMAND) & 0xFFFF, 0x0155u);
        EXPECT_EQ(model.ConfigRead(fw::ISP_CFG_BAR0) & ~0xFu, (chip - 1) * 0x1000u);
    }
}

TEST(HostChipStartup, TheImageParsesFromItsEnd) {
    fw::RISC_SEGMENT s0{}, s1{};
    ASSERT_EQ(fw::fGetRiscSegment(0, &s0), fw::TRUE);
    ASSERT_EQ(fw::fGetRiscSegment(1, &s1), fw::TRUE);
    EXPECT_EQ(s0.dLoadAddress, 0x00100000u);
    EXPECT_EQ(s0.dWordCount, 42020u);
    EXPECT_EQ(s1.dLoadAddress, 0x0010E000u);
    EXPECT_EQ(s1.dWordCount, 8455u);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < s0.dWordCount; ++i) sum += s0.pdWords[i];
    for (uint32_t i = 0; i < s1.dWordCount; ++i) sum += s1.pdWords[i];
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(fw::fGetRiscSegment(2, &s0), fw::FALSE);
}

// A chip whose identity is not one the driver takes is never touched.
TEST(HostChipStartup, AnUnknownChipIsLeftUntouched) {
    sim::BoardConfig config;
    config.hostChipId = 0x25321077;
    FcController c(config);
    EXPECT_EQ(c.stop, sim::StopKind::Halt) << c.board.ConsoleText();   // neither host chip found
    EXPECT_EQ(c.Chip(1).mailboxCommands(), 0u);
    EXPECT_EQ(c.Chip(1).ConfigRead(fw::ISP_CFG_BAR0), 0u);
    EXPECT_NE(c.board.ConsoleText().find(Crlf("Searching For FC Ports............Fail\n"
                                              "Host Port 0.......................Fail\n"
                                              "Host Port 1.......................Fail\n")),
              std::string::npos);
    EXPECT_NE(c.board.ConsoleText().find("E:Halt"), std::string::npos);
}

TEST(HostChipStartup, UnsupportedGenerationHalts) {
    sim::BoardConfig config;
    config.hostChipId = fw::ISP_ID_2312;
    FcController c(config);
    EXPECT_EQ(c.stop, sim::StopKind::Halt);
    EXPECT_NE(c.board.ConsoleText().find(Crlf("Searching For FC Ports............Unsupported QL2312 reported.\n")),
              std::string::npos);
}

// A checksum error keeps the firmware from being started: that chip is out,
// start-up goes on with the other; with both out it halts.
TEST(HostChipStartup, ChecksumErrorLeavesTheChipOut) {
    sim::BoardConfig config;
    sim::Board board(config);
    sim::FindIspChip(board, 1)->faults.checksumError = true;
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    (void)board.RunUntil([&] { return board.ConsoleText().find("Initialization Complete") != std::string::npos; },
                         fctest::kBootLimitNs);
    EXPECT_EQ(sim::FindIspChip(board, 1)->risc(), sim::IspChip::Risc::Rom);
    EXPECT_EQ(sim::FindIspChip(board, 2)->risc(), sim::IspChip::Risc::Initialised);
    EXPECT_NE(board.ConsoleText().find(Crlf("Searching For FC Ports............Fail\n"
                                            "Host Port 0.......................Fail\n"
                                            "Host Port 1.......................PassHostPort 2\n"
                                            "Pass\n")),
              std::string::npos);
}

TEST(HostChipStartup, ChecksumErrorOnBothChipsHalts) {
    sim::Board both;
    sim::FindIspChip(both, 1)->faults.checksumError = true;
    sim::FindIspChip(both, 2)->faults.checksumError = true;
    both.SetResetEntry(&fw::ControllerEntry);
    both.Boot();
    EXPECT_EQ(both.RunUntil(nullptr, fctest::kBootLimitNs), sim::StopKind::Halt);
}

// INITIALIZE FIRMWARE answered with anything but 0x4000 fails the chip (the
// completion alone is not taken for success).
TEST(HostChipStartup, RefusedInitialisationLeavesTheChipOut) {
    sim::Board board;
    sim::FindIspChip(board, 2)->faults.initFirmwareStatus = fw::MBS_PARAMETER_ERROR;
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    (void)board.RunUntil([&] { return board.ConsoleText().find("Initialization Complete") != std::string::npos; },
                         fctest::kBootLimitNs);
    EXPECT_EQ(fw::fIsChipPresent(1), fw::TRUE);
    EXPECT_EQ(fw::fIsChipPresent(2), fw::FALSE);
    const std::string expected = Crlf("Initializing Host Ports...........Fail\n"
                                      "Host Port 0.......................Pass\n"
                                      "Host Port 1.......................Fail\n"
                                      "Pass\n");
    EXPECT_EQ(Tail(board.ConsoleText(), "Initializing Host Ports").substr(0, expected.size()), expected);
}

TEST(HostChipStartup, RefusedInitialisationOnBothChipsIdles) {
    sim::Board both;
    sim::FindIspChip(both, 1)->faults.initFirmwareStatus = fw::MBS_PARAMETER_ERROR;
    sim::FindIspChip(both, 2)->faults.initFirmwareStatus = fw::MBS_PARAMETER_ERROR;
    both.SetResetEntry(&fw::ControllerEntry);
    both.Boot();
    EXPECT_EQ(both.RunUntil(nullptr, fctest::kBootLimitNs), sim::StopKind::Idle);
}

TEST(HostChipStartup, AFailedConfigurationReadLeavesTheChipAbsent) {
    sim::BoardConfig config;
    config.hostChipId = fw::ISP_ID_2422;
    config.hostChip2 = false;
    sim::Board board(config);
    sim::FindIspChip(board, 1)->faults.configReadsAbort = true;
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    EXPECT_EQ(board.RunUntil(nullptr, fctest::kBootLimitNs), sim::StopKind::Halt);
    EXPECT_EQ(fw::fIsChipPresent(1), fw::FALSE);
    EXPECT_EQ(sim::FindIspChip(board, 1)->mailboxCommands(), 0u);
}

}  // namespace
