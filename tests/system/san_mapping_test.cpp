// SAN LUN mappings made with keys at the console of a Fibre Channel
// controller, saved, and seen by hosts: each mapped host gets its own LUNs
// through the ports the mapping names, the others lose the mapped logical
// drives, and deleting the mappings gives the view back.  Without a
// mapping, a logical drive's availability says which ports offer it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/config_image.h"
#include "config/san_lun_map.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "harness/config_builder.h"
#include "harness/fc_array_controller.h"
#include "hw/scsi.h"
#include "sim/fc_host.h"

namespace {

using Outcome = sim::FcpResult::Outcome;

constexpr uint64_t kHostA = 0x2100001B32A00001ull;
constexpr uint64_t kHostB = 0x2100001B32B00001ull;
constexpr uint64_t kHostC = 0x2100001B32C00001ull;

std::vector<uint8_t> Cdb10(uint8_t bOp, uint32_t dLba, uint16_t wBlocks) {
    return {bOp, 0, uint8_t(dLba >> 24), uint8_t(dLba >> 16), uint8_t(dLba >> 8), uint8_t(dLba), 0,
            uint8_t(wBlocks >> 8), uint8_t(wBlocks), 0};
}

class SanMappingSystem : public ::testing::Test, public harness::FcArrayController {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Boot());
        cfgbuild::Builder builder(*board);
        cfgbuild::ArraySpec spec;
        spec.slots = {1, 2, 3};
        ASSERT_TRUE(builder.OpenEdit());
        ASSERT_EQ(builder.CreateArray(spec), fw::STATUS_OK);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(cfgbuild::Builder::CreateLd(1), fw::STATUS_OK);
        ASSERT_TRUE(builder.Commit());
    }
    sim::FcHost& Host(uint64_t lName, uint8_t bChip = 1) {
        hosts.push_back(std::make_unique<sim::FcHost>(*board, *fabric, Chip(bChip), lName));
        EXPECT_TRUE(hosts.back()->LogIn());
        return *hosts.back();
    }
    // The LUNs the host is shown, the controller's own LUN among them.
    static std::vector<uint16_t> Luns(sim::FcHost& host) {
        const sim::FcpResult r = Settled(host, 0, {fw::SCSI_REPORT_LUNS, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, {}, 256);
        std::vector<uint16_t> luns;
        if (r.status != fw::SCSI_STATUS_GOOD) return luns;
        for (size_t i = 8; i + 8 <= r.dataIn.size(); i += 8)
            luns.push_back(static_cast<uint16_t>((r.dataIn[i] & 0x3F) << 8 | r.dataIn[i + 1]));
        return luns;
    }
    // Configuration Menu, the keys, Save and Exit; true when it was saved.
    bool EditAndSave(const std::string& keys) {
        Type("\x05" "1\r");
        Type(keys);
        Type("0\r");
        const std::string saved = Type("Y\r");
        return saved.find("Saving Configuration") != std::string::npos && cfgbuild::Builder(*board).WaitIdle();
    }
    std::vector<std::unique_ptr<sim::FcHost>> hosts;
};

// Console text with the line ends as the menus write them.
std::string Lines(std::string text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out.push_back(text[i]);
    return out;
}

TEST_F(SanMappingSystem, MappingsMadeAtTheConsoleGiveEachHostItsOwnLuns) {
    sim::FcHost& b = Host(kHostB);
    const std::vector<uint16_t> before = Luns(b);
    ASSERT_EQ(std::vector<uint16_t>(before.begin(), before.begin() + 3), (std::vector<uint16_t>{0, 1, 2}));
    // A pattern on logical drive 1, written where host B sees it now.
    std::vector<uint8_t> pattern(8 * 512);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_EQ(Settled(b, 1, Cdb10(fw::SCSI_WRITE10, 64, 8), pattern).status, fw::SCSI_STATUS_GOOD);
    sim::FcHost& c = Host(kHostC, 1);

    // The connected hosts, in the order they logged in: C is number 1.
    Type("\x05" "1\r" "4\r");
    const std::string hosts = Lines(Type("5\r"));
    EXPECT_NE(hosts.find("Total Logged-In Hosts: 02\n\n"), std::string::npos) << hosts;
    EXPECT_NE(hosts.find("\n000 1100001b32b00001 2100001b32b00001 001(F-P) -------- -------- --------\n"), std::string::npos) << hosts;
    EXPECT_NE(hosts.find("\n001 1100001b32c00001 2100001b32c00001 002(F-P) -------- -------- --------\n"), std::string::npos) << hosts;
    Type(" ");

    // Host A: logical drive 1 at LUN 5 through port 1 only, no controller
    // LUN, its names typed.  Host C, taken from the list of logged-in
    // hosts: logical drive 1 read-only at LUN 0 on every port.
    ASSERT_TRUE(EditAndSave("4\r" "2\r" "Host A\r" "1\r" "2000001b32a00001\r" "2100001b32a00001\r"
                            "1\r" "Y\r" "N\r" "N\r" "N\r" "N\r" "5\r" " " "E\r" "D\r" " "
                            "2\r" "Host C\r" "2\r" "1\r"
                            "1\r" "\r" "\r" "\r" "\r" "Y\r" "0\r" " " "E\r" "D\r" " " "0\r"));
    const fw::CONFIG_IMAGE& live = *fw::pGetConfigImage();
    ASSERT_EQ(live.sHeader.wSanMapCount, 2);
    EXPECT_EQ(live.asSanMap[0].awLunMap[5], 0x4001);
    EXPECT_EQ(live.asSanMap[1].awLunMap[0], 0xF801);
    EXPECT_EQ(live.asSanMap[1].abPortWwn[7], 0x01);
    EXPECT_EQ(live.asSanMap[1].abPortWwn[5], 0xC0);

    // The saved mappings as the view shows them.
    Type("\x05" "1\r" "4\r");
    const std::string view = Lines(Type("1\r"));
    const std::string header = "Mapping Name                     Node Name        Port Name        Port\n"
                               "-----------------------------------------------------------------------\n";
    const std::string expected =
        "Total SAN Mappings: 02\n\n" + header + "Host A" + std::string(26, ' ') +
        " 2000001b32a00001 2100001b32a00001\nController LUN: Disabled\n"
        "Logical Drive 001 Presented to Host as LUN 005   Read/Write Access C0:0  ,C1:---\n\n" +
        header + "Host C" + std::string(26, ' ') +
        " 1100001b32c00001 2100001b32c00001\nController LUN: Disabled\n"
        "Logical Drive 001 Presented to Host as LUN 000   Read Only Access   C0:0&1,C1:0&1\n\n";
    EXPECT_NE(view.find(expected), std::string::npos) << view;
    Type(" ");

    sim::FcHost& a1 = Host(kHostA, 1);
    sim::FcHost& a2 = Host(kHostA, 2);
    // LUN 0 answers REPORT LUNS for every host and is always listed; it
    // holds nothing for A.
    EXPECT_EQ(Luns(a1), (std::vector<uint16_t>{0, 5}));
    EXPECT_EQ(Settled(a1, 0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}).status, fw::SCSI_STATUS_CHECK_CONDITION);
    const sim::FcpResult read = Settled(a1, 5, Cdb10(fw::SCSI_READ10, 64, 8), {}, 8 * 512);
    EXPECT_EQ(read.status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(read.dataIn, pattern);
    EXPECT_EQ(Luns(a2), std::vector<uint16_t>{0});
    EXPECT_EQ(Settled(a2, 5, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}).status, fw::SCSI_STATUS_CHECK_CONDITION);

    EXPECT_EQ(Luns(c), std::vector<uint16_t>{0});
    const sim::FcpResult write = Settled(c, 0, Cdb10(fw::SCSI_WRITE10, 64, 1), std::vector<uint8_t>(512, 0xEE));
    ASSERT_EQ(write.status, fw::SCSI_STATUS_CHECK_CONDITION);
    ASSERT_GE(write.sense.size(), 3u);
    EXPECT_EQ(write.sense[2] & 0x0F, fw::SENSE_DATA_PROTECT);
    EXPECT_EQ(Settled(c, 0, Cdb10(fw::SCSI_READ10, 64, 8), {}, 8 * 512).dataIn, pattern);

    // Host B keeps logical drives 0 and 2 at their LUNs, and 1 nowhere.
    const std::vector<uint16_t> without = Luns(b);
    EXPECT_EQ(std::count(without.begin(), without.end(), 1), 0);
    EXPECT_EQ(std::count(without.begin(), without.end(), 0), 1);
    EXPECT_EQ(std::count(without.begin(), without.end(), 2), 1);

    // A mapping of logical drive 2 left midway (Ctrl-E at the question
    // after its LUN was placed), then a save: the drive is marked for no mapping and host B
    // still sees it.
    Type("\x05" "1\r" "4\r" "2\r" "Host B\r" "1\r" "2000001b32b00001\r" "2100001b32b00001\r"
         "2\r" "\r" "\r" "\r" "\r" "\r" "7\r" " ");
    ASSERT_TRUE(EditAndSave("8\r" "1\r" "Renamed\r" " " "0\r"));
    EXPECT_EQ(fw::pGetConfigImage()->asLd[2].bSanMapState, 0);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wSanMapCount, 2);
    EXPECT_EQ(Luns(b), without);

    // Deleting both mappings gives host B logical drive 1 back.
    ASSERT_TRUE(EditAndSave("4\r" "3\r" "0\r" "Y\r" " " "3\r" "0\r" "Y\r" " " "0\r"));
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wSanMapCount, 0);
    EXPECT_EQ(Luns(b), before);
    EXPECT_EQ(Settled(b, 1, Cdb10(fw::SCSI_READ10, 64, 8), {}, 8 * 512).dataIn, pattern);
}

// Where hosts find a logical drive, set at the console and saved: a port
// whose availability is cleared loses the drive while the other port keeps
// it, a drive flagged for internal use is offered on no port, and a new
// mapped LUN serves the same blocks at its new number.
TEST_F(SanMappingSystem, AvailabilityInternalUseAndANewLunAreWhatHostsOnEachPortFind) {
    sim::FcHost* ports[2] = {&Host(kHostA, 1), &Host(kHostB, 2)};
    const auto Port = [&ports](int n) -> sim::FcHost& { return *ports[n]; };
    const auto Shows = [](sim::FcHost& host, uint16_t lun) {
        const std::vector<uint16_t> luns = Luns(host);
        return std::find(luns.begin(), luns.end(), lun) != luns.end();
    };
    const auto Read = [](sim::FcHost& host, uint16_t lun) {
        const sim::FcpResult r = Settled(host, lun, Cdb10(fw::SCSI_READ10, 64, 8), {}, 8 * 512);
        return r.status == fw::SCSI_STATUS_GOOD ? r.dataIn : std::vector<uint8_t>{};
    };
    // The answers for the partner's ports, where the board has them.
    const std::string partner = fw::fGetBoardFlagB6() == fw::TRUE ? "y\r" "y\r" : "";
    for (int p = 0; p < 2; ++p) {
        for (uint16_t lun = 0; lun < 3; ++lun) EXPECT_TRUE(Shows(Port(p), lun)) << "port " << p << " LUN " << lun;
    }
    std::vector<uint8_t> pattern(8 * 512);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 5 + 1);
    ASSERT_EQ(Settled(Port(0), 1, Cdb10(fw::SCSI_WRITE10, 64, 8), pattern).status, fw::SCSI_STATUS_GOOD);

    // Logical drive 1: port 0 yes, port 1 no, not internal.
    ASSERT_TRUE(EditAndSave("2\r" "5\r" "1\r" "y\r" "n\r" + partner + "n\r" " " "0\r"));
    EXPECT_EQ(fw::pGetConfigImage()->asLd[1].bAvailability & 0x03, 0x01);
    EXPECT_TRUE(Shows(Port(0), 1));
    EXPECT_EQ(Read(Port(0), 1), pattern);
    EXPECT_FALSE(Shows(Port(1), 1));
    EXPECT_EQ(Settled(Port(1), 1, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}).status, fw::SCSI_STATUS_CHECK_CONDITION);
    for (int p = 0; p < 2; ++p) {
        EXPECT_TRUE(Shows(Port(p), 0)) << "port " << p;
        EXPECT_TRUE(Shows(Port(p), 2)) << "port " << p;
    }

    // Logical drive 2 for internal use only: no port offers it.
    ASSERT_TRUE(EditAndSave("2\r" "5\r" "2\r" "y\r" "y\r" + partner + "y\r" "n\r" " " "0\r"));
    EXPECT_EQ(fw::pGetConfigImage()->asLd[2].bLdUseFlags, 0x80);
    EXPECT_FALSE(Shows(Port(0), 2));
    EXPECT_FALSE(Shows(Port(1), 2));

    // Logical drive 1 moves to LUN 7: the same blocks there, nothing at 1.
    ASSERT_TRUE(EditAndSave("2\r" "7\r" "1\r" "1\r" "7\r" "y\r" " " "0\r" "0\r"));
    EXPECT_EQ(fw::pGetConfigImage()->asLd[1].wDefaultLun, 7);
    EXPECT_FALSE(Shows(Port(0), 1));
    EXPECT_TRUE(Shows(Port(0), 7));
    EXPECT_EQ(Read(Port(0), 7), pattern);
    EXPECT_FALSE(Shows(Port(1), 7));
}

}  // namespace
