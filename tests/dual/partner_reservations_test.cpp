// A SCSI-2 reservation is one for both controllers: a host that reserved a
// logical drive through one keeps a host of the other out until it
// releases it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "mirrored_array.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/side_by_side.h"
#include "target/pr_registrations.h"

namespace fw_b {
uint16_t wCountPrRegistrations(uint16_t wLun);
uint32_t dGetPrGeneration();
}  // namespace fw_b

namespace {

constexpr uint8_t kReserve6 = 0x16;
constexpr uint8_t kRelease6 = 0x17;
constexpr uint8_t kReservationConflict = 0x18;
constexpr uint8_t kPrIn = 0x5E;
constexpr uint8_t kPrOut = 0x5F;

// An array both serve, and a host on each controller.
class PartnerReservations : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        dual::PlaceMirroredRaid5(chassis, "RESV", 64);
        ASSERT_TRUE(Boot()) << Consoles();
        ASSERT_TRUE(HostReady(hostA)) << Consoles();
        ASSERT_TRUE(HostReady(hostB)) << Consoles();
    }
    sim::FcHost hostA{a->board, a->fabric, *sim::FindIspChip(a->board, 1), 0x2100001B32E00021ull};
    sim::FcHost hostB{b->board, b->fabric, *sim::FindIspChip(b->board, 1), 0x2100001B32E00022ull};
};

TEST_F(PartnerReservations, AReservationThroughOneControllerKeepsTheOthersHostsOut) {
    const std::vector<uint8_t> reserve = {kReserve6, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> release = {kRelease6, 0, 0, 0, 0, 0};

    EXPECT_EQ(RunCommand(hostA, reserve, {}).status, 0);
    EXPECT_EQ(RunCommand(hostB, reserve, {}).status, kReservationConflict);
    // The holder keeps its reservation, and reads through its controller.
    EXPECT_EQ(RunCommand(hostA, reserve, {}).status, 0);
    EXPECT_EQ(RunCommand(hostA, dual::Cdb16(fw::SCSI_READ16, 0, 1), {}, 512).status, 0);

    EXPECT_EQ(RunCommand(hostA, release, {}).status, 0);
    EXPECT_EQ(RunCommand(hostB, reserve, {}).status, 0);
    EXPECT_EQ(RunCommand(hostA, reserve, {}).status, kReservationConflict);
}

// A key registered through one controller is listed through the other.
TEST_F(PartnerReservations, APersistentRegistrationThroughOneIsSeenThroughTheOther) {
    const std::vector<uint8_t> registerKey = {kPrOut, 0x00, 0, 0, 0, 0, 0, 0, 24, 0};
    std::vector<uint8_t> list(24, 0);
    for (int i = 0; i < 8; ++i) list[8 + i] = static_cast<uint8_t>(0x11 * (i + 1));
    ASSERT_EQ(RunCommand(hostA, registerKey, list).status, 0) << Consoles();
    const std::vector<uint8_t> readKeys = {kPrIn, 0x00, 0, 0, 0, 0, 0, 0, 64, 0};
    const sim::FcpResult r = RunCommand(hostB, readKeys, {}, 64);
    ASSERT_EQ(r.status, 0);
    ASSERT_GE(r.dataIn.size(), 16u);
    EXPECT_EQ(r.dataIn[7], 8);
    EXPECT_EQ(std::vector<uint8_t>(r.dataIn.begin() + 8, r.dataIn.begin() + 16),
              std::vector<uint8_t>(list.begin() + 8, list.begin() + 16));
}

// A controller that joins a running one takes over its registrations at
// its start.
TEST(PartnerReservationsAtJoin, AJoinerTakesTheRunningOnesRegistrations) {
    sim::Clock clock;
    sim::Chassis chassis;
    dual::PlaceMirroredRaid5(chassis, "JOIN", 64);
    auto a = std::make_unique<dual::Side>(&clock, chassis, true);
    ASSERT_TRUE(sim::RunSideBySide({&a->board}, [&] { return a->Booted(); }, dual::kBootLimitNs));
    sim::FcHost host(a->board, a->fabric, *sim::FindIspChip(a->board, 1), 0x2100001B32E00041ull);
    ASSERT_TRUE(host.LogIn());
    std::vector<uint8_t> list(24, 0);
    list[15] = 0x42;
    // The first answer may be the host's power-on unit attention.
    uint8_t bStatus = 0xFF;
    for (int i = 0; i < 3 && bStatus != 0; ++i) bStatus = host.Send(0, {kPrOut, 0x00, 0, 0, 0, 0, 0, 0, 24, 0}, list).status;
    ASSERT_EQ(bStatus, 0);
    ASSERT_EQ(fw::wCountPrRegistrations(0), 1);

    auto b = std::make_unique<dual::Side>(&clock, chassis, false);
    sim::Board::ConnectPartners(a->board, b->board);
    ASSERT_TRUE(sim::RunSideBySide({&a->board, &b->board}, [&] { return b->Booted(); }, dual::kBootLimitNs));
    EXPECT_EQ(fw_b::wCountPrRegistrations(0), 1);
    EXPECT_EQ(fw_b::dGetPrGeneration(), fw::dGetPrGeneration());
}

}  // namespace
