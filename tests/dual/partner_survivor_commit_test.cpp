// A controller that took over from its lost partner goes on committing
// configuration changes: each commit reaches the drives, so what it marks
// (a failed drive, a console change) is what the next start loads.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "../system/config_copy.h"
#include "../system/road_config.h"
#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_phase.h"
#include "config/config_image.h"
#include "config/config_writer.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "mirrored_array.h"
#include "sim/fc_host.h"
#include "hw/addresses.h"

namespace {

using roadtest::kBlock;
using dual::Cdb16;

constexpr uint64_t kMs = 1'000'000ull;
constexpr unsigned kDrives = 4;
constexpr uint32_t kChunk = 64;
constexpr uint32_t kRows = 32;
constexpr uint32_t kRowBlocks = 3 * kChunk;

class PartnerSurvivorCommit : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        dual::PlaceMirroredRaid5(chassis, "SURVIVOR", kChunk);
        ASSERT_TRUE(Boot()) << Consoles();
        hostA = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1), 0x2100001B32F00001ull);
        hostB = std::make_unique<sim::FcHost>(b->board, b->fabric, *sim::FindIspChip(b->board, 1), 0x2100001B32F00002ull);
        ASSERT_TRUE(HostReady(*hostA)) << Consoles();
        ASSERT_TRUE(HostReady(*hostB)) << Consoles();
    }

    // Writes of 8 to 32 blocks over the rows, host A on the even ones and
    // host B (while its controller runs) on the odd ones, all sent at once.
    void SendBatch(bool viaB) {
        for (uint32_t r = 0; r < kRows; ++r) {
            sim::FcHost* host = r % 2 == 0 ? hostA.get() : viaB ? hostB.get() : nullptr;
            if (host == nullptr || rng() % 3 == 0) continue;
            sim::FcpCommand c;
            const uint64_t lba = uint64_t(r) * kRowBlocks + rng() % (kRowBlocks - 32);
            c.dataOut.resize(size_t(8 + rng() % 25) * kBlock);
            for (uint8_t& x : c.dataOut) x = static_cast<uint8_t>(rng());
            c.cdb = Cdb16(fw::SCSI_WRITE16, lba, static_cast<uint32_t>(c.dataOut.size() / kBlock));
            sent.push_back({host, host->initiator().Submit(host->target(), c)});
        }
    }
    bool Ended(const std::pair<sim::FcHost*, uint32_t>& w) const {
        return w.first->initiator().Finished(w.second) || (w.first == hostB.get() && b->board.poweredOff());
    }
    void Settle(uint64_t limitNs) {
        ASSERT_TRUE(RunUntil([&] { return std::all_of(sent.begin(), sent.end(), [&](const auto& w) { return Ended(w); }); },
                             limitNs))
            << Consoles();
        for (const auto& w : sent) {
            if (w.first->initiator().Finished(w.second)) w.first->initiator().Forget(w.second);
        }
        sent.clear();
    }
    // Both controllers write under slow drives, so the caches hold the
    // writes acknowledged last; controller 1 is cut with writes of both on
    // their way, and controller 0 takes over and writes alone until its
    // cache is empty.
    void LoseBUnderWrites() {
        for (unsigned s = 1; s <= kDrives; ++s) chassis.DriveAt(s)->SetExtraLatencyNs(200 * kMs);
        SendBatch(true);
        ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
        SendBatch(true);
        ASSERT_TRUE(RunUntil(
            [&] { return std::any_of(sent.begin(), sent.end(), [](const auto& w) { return w.first->initiator().Finished(w.second); }); },
            5000 * kMs));
        b->board.CutPower();
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        SendBatch(false);
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        for (unsigned s = 1; s <= kDrives; ++s) chassis.DriveAt(s)->SetExtraLatencyNs(0);
        ASSERT_TRUE(RunUntil([] { return fw::wGetDirtyExtentCount() == 0 && fw::wGetJournalInUseCount() == 0; }, 60'000 * kMs))
            << Consoles();
    }
    // Controller 0 commits its live image again (as a drive failure or a
    // console change does) and the commit ends.
    void CommitOnA(uint8_t bRequester) {
        ASSERT_TRUE(OnProcessor(a->board, [bRequester] { (void)fw::RequestConfigUpdate(bRequester); })) << Consoles();
        ASSERT_TRUE(RunUntil(
            [] { return fw::fIsConfigUpdatePending() != fw::TRUE && fw::fIsConfigCommitInProgress() != fw::TRUE; },
            20'000 * kMs))
            << Consoles();
    }
    // The generation controller 0's live image carries, read through its
    // board's view of its memory.
    uint32_t LiveGeneration() {
        const uint32_t address = fw::dAddressWord(fw::pGetConfigImage());
        const auto* ps = reinterpret_cast<const fw::CONFIG_IMAGE*>(a->board.memory().Translate(address, fw::CONFIG_IMAGE_SIZE));
        return ps->sHeader.dGeneration;
    }
    // The generation of the copy a member drive holds.
    uint32_t GenerationOnDrive(unsigned slot) {
        sim::Drive& d = *chassis.DriveAt(slot);
        std::vector<uint8_t> ab(d.config().blockSize);
        d.ReadBlocks(d.config().blocks - 1 - copytest::kCopyBlocksBeforeEnd, 1, ab.data());
        return copytest::Image(ab)->sHeader.dGeneration;
    }

    std::unique_ptr<sim::FcHost> hostA, hostB;
    std::vector<std::pair<sim::FcHost*, uint32_t>> sent;
    std::mt19937 rng{34};
};

TEST_F(PartnerSurvivorCommit, ACommitAfterTheTakeoverWritesEveryMembersCopy) {
    ASSERT_NO_FATAL_FAILURE(LoseBUnderWrites());
    const uint32_t dBefore = GenerationOnDrive(1);
    CommitOnA(fw::REQUESTER_COMMIT);
    ASSERT_NE(LiveGeneration(), dBefore);
    for (unsigned s = 1; s <= kDrives; ++s) EXPECT_EQ(GenerationOnDrive(s), LiveGeneration()) << "drive " << s;
    EXPECT_EQ(fw::wGetConfigMembersNamed(), kDrives);
    EXPECT_EQ(fw::wGetConfigCopiesWritten(), kDrives) << Consoles();
}

}  // namespace
