// Two controllers in one process: the controller's firmware (fw) and a
// second build of it (fw_b), each on its own board with its own NVRAM,
// drives and host fabric, both on one clock and run side by side.  Each
// must behave exactly as a lone controller does and never reach the
// other's board, globals or memory.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "executive/progress.h"
#include "executive/startup.h"
#include "executive/system_state.h"
#include "harness/config_builder.h"
#include "harness/second_firmware.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "sim/side_by_side.h"

namespace {

using Outcome = sim::FcpResult::Outcome;

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;
constexpr uint64_t kCommandLimitNs = 5'000'000'000ull;
constexpr uint64_t kHostName = 0x2100001B32D00001ull;

// One controller: its board runs the firmware given, its drives and host
// fabric are its own.
struct Controller {
    Controller(sim::Clock* clock, sim::FirmwareImage& image, void (*entry)())
        : board(Config(clock, image)) {
        board.sasController().AttachChassis(&chassis);
        for (uint8_t chip = 1; chip <= 2; ++chip) sim::FindIspChip(board, chip)->AttachFabric(fabric);
        board.SetResetEntry(entry);
        board.Boot();
    }
    static sim::BoardConfig Config(sim::Clock* clock, sim::FirmwareImage& image) {
        sim::BoardConfig config;
        config.clock = clock;
        config.firmware = &image;
        return config;
    }
    bool Booted() const { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }

    sim::Chassis chassis;
    sim::FcFabric fabric;
    sim::Board board;
};

// What a lone controller prints up to its main loop, on a clock of its own.
std::string LoneTranscript() {
    Controller lone(nullptr, fw::hwFirmwareImage, &fw::ControllerEntry);
    EXPECT_EQ(lone.board.RunUntil([&] { return lone.Booted(); }, kBootLimitNs), sim::StopKind::Running);
    return lone.board.ConsoleText();
}

// The two controllers on one clock.
struct Pair {
    bool RunUntil(const std::function<bool()>& done, uint64_t limitNs) {
        return sim::RunSideBySide({&a->board, &b->board}, done, limitNs);
    }
    bool Boot() {
        return RunUntil([this] { return a->Booted() && b->Booted(); }, kBootLimitNs);
    }
    // Controller A's power cycled: a new board on the same clock boots its
    // firmware from the load image.
    void RestartA() {
        a.reset();
        a = std::make_unique<Controller>(&clock, fw::hwFirmwareImage, &fw::ControllerEntry);
    }

    sim::Clock clock;
    std::unique_ptr<Controller> a = std::make_unique<Controller>(&clock, fw::hwFirmwareImage, &fw::ControllerEntry);
    std::unique_ptr<Controller> b = std::make_unique<Controller>(&clock, fw_b::hwFirmwareImage, &fw_b::ControllerEntry);
};

// Side by side on one clock, each prints what a lone controller prints,
// byte for byte, on its own console.
TEST(TwoControllers, EachBootsAsALoneControllerDoes) {
    const std::string lone = LoneTranscript();
    Pair pair;
    ASSERT_TRUE(pair.Boot());
    EXPECT_EQ(pair.a->board.ConsoleText(), lone);
    // The second firmware is a build of its own, with its own build stamp.
    const std::string stampA = std::string(fw::pGetBuildDate()) + " " + fw::pGetBuildTime();
    const std::string stampB = std::string(fw_b::pGetBuildDate()) + " " + fw_b::pGetBuildTime();
    std::string expectB = lone;
    const size_t at = expectB.find(stampA);
    ASSERT_NE(at, std::string::npos);
    expectB.replace(at, stampA.size(), stampB);
    EXPECT_EQ(pair.b->board.ConsoleText(), expectB);
}

class TwoBootedControllers : public ::testing::Test, protected Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << a->board.ConsoleText() << "\n----\n" << b->board.ConsoleText(); }

    // A host logged in to host port 1 of a controller.
    static std::unique_ptr<sim::FcHost> Host(Controller& c) {
        auto host = std::make_unique<sim::FcHost>(c.board, c.fabric, *sim::FindIspChip(c.board, 1), kHostName);
        EXPECT_TRUE(host->LogIn());
        return host;
    }

    // An INQUIRY of LUN 0 from each host, both in flight at once, the two
    // controllers answering side by side.
    void InquireBoth(sim::FcHost& hostA, sim::FcHost& hostB, sim::FcpResult& ra, sim::FcpResult& rb) {
        sim::FcpCommand inquiry;
        inquiry.cdb = {fw::SCSI_INQUIRY, 0, 0, 0, 36, 0};
        inquiry.dataInLength = 36;
        const uint32_t tagA = hostA.Submit(inquiry), tagB = hostB.Submit(inquiry);
        EXPECT_TRUE(RunUntil([&] { return hostA.initiator().Finished(tagA) && hostB.initiator().Finished(tagB); },
                             kCommandLimitNs));
        ra = hostA.Wait(tagA, 0);
        rb = hostB.Wait(tagB, 0);
    }
};

// A configuration committed on one controller is in its NVRAM and on its
// drives only: its host sees the logical drive, the other's host sees no
// device, and the other's NVRAM holds what it held.
TEST_F(TwoBootedControllers, AConfigurationCommittedOnOneStaysThere) {
    const std::vector<uint8_t> nvramB(b->board.nvram().Data(), b->board.nvram().Data() + sim::Nvram::kSize);
    cfgbuild::Builder builder(a->board);
    ASSERT_TRUE(builder.MakeArrayWithLd({fw::RAID_LEVEL_5, {1, 2, 3, 4}}, 1)) << a->board.ConsoleText();
    EXPECT_EQ(std::vector<uint8_t>(b->board.nvram().Data(), b->board.nvram().Data() + sim::Nvram::kSize), nvramB);

    auto hostA = Host(*a), hostB = Host(*b);
    sim::FcpResult ra, rb;
    InquireBoth(*hostA, *hostB, ra, rb);
    ASSERT_EQ(ra.outcome, Outcome::Done);
    ASSERT_EQ(rb.outcome, Outcome::Done);
    EXPECT_EQ(ra.status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(rb.status, fw::SCSI_STATUS_GOOD);
    ASSERT_FALSE(ra.dataIn.empty());
    ASSERT_FALSE(rb.dataIn.empty());
    EXPECT_EQ(ra.dataIn[0], 0x00);            // a direct-access device
    EXPECT_NE(rb.dataIn[0] & 0x1F, 0x00);     // none: the blank controller's own LUN
}

// A restart of one controller puts back its own firmware's globals and no
// byte of the other's; the other goes on serving its host while the first
// boots again.
TEST_F(TwoBootedControllers, ARestartOfOneLeavesTheOthersGlobalsAlone) {
    auto hostB = Host(*b);
    ASSERT_NE(fw::dMainLoopCycles, 0u);
    const uint64_t digestB = b->board.firmware().Digest();

    RestartA();
    EXPECT_EQ(fw::dMainLoopCycles, 0u);
    EXPECT_EQ(b->board.firmware().Digest(), digestB);
    const uint64_t digestA = a->board.firmware().Digest();

    sim::FcpCommand inquiry;
    inquiry.cdb = {fw::SCSI_INQUIRY, 0, 0, 0, 36, 0};
    inquiry.dataInLength = 36;
    const uint32_t tag = hostB->Submit(inquiry);
    ASSERT_TRUE(RunUntil([&] { return a->Booted() && hostB->initiator().Finished(tag); }, kBootLimitNs))
        << a->board.ConsoleText();
    const sim::FcpResult r = hostB->Wait(tag, 0);
    ASSERT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    // Every global of the restarted firmware, initialised data and zeroed,
    // is at its load image again after the next restart.
    RestartA();
    EXPECT_EQ(a->board.firmware().Digest(), digestA);
}

}  // namespace
