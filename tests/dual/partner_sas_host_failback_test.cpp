// Two controllers with SAS host ports: one whose power was cut comes back
// beside the running other and fails its drive side back.  Its host ports
// stay down for its hosts while that runs, and come up when the failback
// ends and asks for them; then its host reads what it wrote before, and
// when the other goes, it serves both hosts' writes alone.
#include <gtest/gtest.h>

#include <vector>

#include "../system/road_config.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "mirrored_array.h"
#include "partner/partner_link.h"
#include "sim/sas_host.h"
#include "sim/sas_target_ioc.h"

namespace fw_b {
uint8_t fIsSASFailbackInProgress();
uint8_t fIsDualControllerActive();
void SetSASTargetPortServiceRequest(uint8_t f);
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint64_t kHostAddressA = 0x500605B0000A0101ull;
constexpr uint64_t kHostAddressB = 0x500605B0000A0201ull;
constexpr uint32_t kLba = 100;

std::vector<uint8_t> Rw10(uint8_t bOpcode, uint32_t dLba, uint16_t wBlocks) {
    return {bOpcode, 0, uint8_t(dLba >> 24), uint8_t(dLba >> 16), uint8_t(dLba >> 8), uint8_t(dLba), 0,
            uint8_t(wBlocks >> 8), uint8_t(wBlocks), 0};
}

class PartnerSasHostFailback : public ::testing::Test, protected dual::Pair {
protected:
    PartnerSasHostFailback() : dual::Pair(sim::Chassis::Options(), sim::HostInterface::SasTarget) {
        roadtest::ArraySpec spec{"SASF", fw::RAID_LEVEL_5, 4, 64};
        spec.fWriteBack = false;
        dual::PlaceSharedArray(chassis, spec, 0);
    }
    void SetUp() override {
        ASSERT_TRUE(Boot()) << Consoles();
        hostA = std::make_unique<sim::SasHost>(a->board, *a->board.sasTargetIoc(), 0, kHostAddressA);
        hostB = std::make_unique<sim::SasHost>(b->board, *b->board.sasTargetIoc(), 0, kHostAddressB);
        // Linked here, with both boards running: the host's own wait would
        // run its board alone.
        (void)hostA->LogIn(0);
        (void)hostB->LogIn(0);
        ASSERT_TRUE(Linked(a->board)) << Consoles();
        ASSERT_TRUE(Linked(b->board)) << Consoles();
    }
    bool Linked(sim::Board& board) {
        return RunUntil([&] { return board.sasTargetIoc()->PortLinked(0); }, 10'000 * kMs);
    }
    // One command, run with both boards to its end.
    sim::FcpResult Run(sim::SasHost& host, const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& data = {},
                       uint32_t dataIn = 0, uint64_t limitNs = 10'000 * kMs) {
        const uint32_t tag = host.Submit(sim::FcpCommand::To(0, cdb, data, dataIn));
        (void)RunUntil([&] { return host.Finished(tag); }, limitNs);
        return host.Wait(tag, 0);
    }
    // LUN 0 answers the host a read GOOD (its unit attentions taken).
    bool Serves(sim::SasHost& host) {
        for (int i = 0; i < 4; ++i) {
            const sim::FcpResult r = Run(host, Rw10(fw::SCSI_READ10, 0, 1), {}, roadtest::kBlock);
            if (r.outcome == sim::FcpResult::Outcome::Done && r.status == 0) return true;
        }
        return false;
    }
    static bool Good(const sim::FcpResult& r) { return r.outcome == sim::FcpResult::Outcome::Done && r.status == 0; }

    std::unique_ptr<sim::SasHost> hostA;
    std::unique_ptr<sim::SasHost> hostB;
};

TEST_F(PartnerSasHostFailback, ARestartedControllersSasPortsServeItsHostOnceItsFailbackEnds) {
    ASSERT_TRUE(Serves(*hostA)) << Consoles();
    ASSERT_TRUE(Serves(*hostB)) << Consoles();
    std::vector<uint8_t> abWritten(roadtest::kBlock);
    for (size_t i = 0; i < abWritten.size(); ++i) abWritten[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_TRUE(Good(Run(*hostB, Rw10(fw::SCSI_WRITE10, kLba, 1), abWritten))) << Consoles();

    // Controller 1's power goes: its host's port goes with it; controller 0
    // serves alone.
    b->board.CutPower();
    EXPECT_FALSE(b->board.sasTargetIoc()->PortLinked(0));
    EXPECT_EQ(Run(*hostB, Rw10(fw::SCSI_READ10, kLba, 1), {}, roadtest::kBlock).outcome,
              sim::FcpResult::Outcome::Rejected);
    ASSERT_TRUE(RunUntil([] { return fw::fIsDualControllerActive() != fw::TRUE; }, 10'000 * kMs)) << Consoles();
    ASSERT_TRUE(Serves(*hostA)) << Consoles();

    // Its power comes back: it joins the running one and fails back.  While
    // the failback runs its host port stays down, even when the IOC's
    // events ask the port service to run (twice, the settle time apart).
    b->board.RestorePower();
    b->board.ClearConsoleText();
    sim::Board::ConnectPartners(a->board, b->board);
    b->board.Boot();
    bool fFailingBack = false, fLinkedWhileFailingBack = false;
    uint64_t lFirstAsked = 0;
    unsigned asked = 0;
    ASSERT_TRUE(RunUntil(
        [&] {
            const bool f = b->Booted() && fw_b::fIsSASFailbackInProgress() == fw::TRUE;
            fFailingBack = fFailingBack || f;
            fLinkedWhileFailingBack = fLinkedWhileFailingBack || (f && b->board.sasTargetIoc()->PortLinked(0));
            if (f && (asked == 0 || (asked == 1 && clock.Now() - lFirstAsked > 3500 * kMs))) {
                if (asked++ == 0) lFirstAsked = clock.Now();
                fw_b::SetSASTargetPortServiceRequest(fw::TRUE);
            }
            return fFailingBack && fw_b::fIsSASFailbackInProgress() != fw::TRUE;
        },
        dual::kBootLimitNs))
        << Consoles();
    EXPECT_EQ(asked, 2u);
    EXPECT_FALSE(fLinkedWhileFailingBack);
    EXPECT_EQ(fw_b::fIsDualControllerActive(), fw::TRUE);

    // The failback's end brings the port up: the host reads what it wrote,
    // and the other controller's host is served as before.
    ASSERT_TRUE(Linked(b->board)) << Consoles();
    ASSERT_TRUE(Serves(*hostB)) << Consoles();
    const sim::FcpResult r = Run(*hostB, Rw10(fw::SCSI_READ10, kLba, 1), {}, roadtest::kBlock);
    ASSERT_TRUE(Good(r)) << Consoles();
    EXPECT_EQ(r.dataIn, abWritten);
    EXPECT_TRUE(Serves(*hostA)) << Consoles();

    // Then the other goes: controller 1 takes over and serves alone, what
    // both hosts wrote there.
    std::vector<uint8_t> abWrittenByA(abWritten.rbegin(), abWritten.rend());
    ASSERT_TRUE(Good(Run(*hostA, Rw10(fw::SCSI_WRITE10, kLba + 1, 1), abWrittenByA))) << Consoles();
    a->board.CutPower();
    EXPECT_FALSE(a->board.sasTargetIoc()->PortLinked(0));
    ASSERT_TRUE(RunUntil([] { return fw_b::fIsDualControllerActive() != fw::TRUE; }, 10'000 * kMs)) << Consoles();
    // (The takeover holds the drive side through its IOC's restart: the
    // first answer takes seconds.)
    const sim::FcpResult rAlone =
        Run(*hostB, Rw10(fw::SCSI_READ10, kLba, 2), {}, 2 * roadtest::kBlock, 60'000 * kMs);
    ASSERT_TRUE(Good(rAlone)) << Consoles();
    abWritten.insert(abWritten.end(), abWrittenByA.begin(), abWrittenByA.end());
    EXPECT_EQ(rAlone.dataIn, abWritten);
}

}  // namespace
