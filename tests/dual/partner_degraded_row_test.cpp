// Two controllers writing one degraded RAID 5 array: each host writes a
// chunk of its own in the same rows at once, with one member gone.  The
// missing member's blocks live only in the row's parity, so a write of one
// controller must never mix into the other's update of that parity.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../system/road_config.h"
#include "mirrored_array.h"
#include "cache/nvram_journal.h"
#include "config/rank_table.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "sim/fc_host.h"

namespace {

using roadtest::kBlock;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint64_t kHostA = 0x2100001B32E00001ull;
constexpr uint64_t kHostB = 0x2100001B32E00002ull;
constexpr uint32_t kChunk = 64;
constexpr uint32_t kRowBlocks = 3 * kChunk;
constexpr unsigned kRows = 12;
constexpr uint32_t kWriteBlocks = 16;
constexpr unsigned kPulled = 4;

using dual::Cdb16;

class DegradedRow : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        // A RAID 5 array of four members, cached and mirrored, its rows
        // holding a known pattern with their parity right, started with its
        // last member pulled: both controllers run it degraded.
        dual::PlaceMirroredRaid5(chassis, "DEGRADE", kChunk);
        for (unsigned row = 0; row < kRows; ++row) {
            std::vector<uint8_t> p(kChunk * kBlock, 0), d(kChunk * kBlock);
            const unsigned parity = row % 4;
            for (unsigned m = 0; m < 4; ++m) {
                if (m == parity) continue;
                for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(row * 31 + m * 7 + i);
                chassis.DriveAt(m + 1)->WriteBlocks(uint64_t(row) * kChunk, kChunk, d.data());
                for (size_t i = 0; i < d.size(); ++i) p[i] ^= d[i];
            }
            chassis.DriveAt(parity + 1)->WriteBlocks(uint64_t(row) * kChunk, kChunk, p.data());
        }
        chassis.Pull(kPulled);
        ASSERT_TRUE(Boot()) << Consoles();
        hostA = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1), kHostA);
        hostB = std::make_unique<sim::FcHost>(b->board, b->fabric, *sim::FindIspChip(b->board, 1), kHostB);
        ASSERT_TRUE(HostReady(*hostA)) << Consoles();
        ASSERT_TRUE(HostReady(*hostB)) << Consoles();
    }
    std::unique_ptr<sim::FcHost> hostA;
    std::unique_ptr<sim::FcHost> hostB;
};

// Row by row the two hosts take different chunks (every pairing of the
// three, so in some rows one of them is the pulled member's): every block
// of every row reads back as written, through either controller.
TEST_F(DegradedRow, WritesThroughBothControllersToOneDegradedRowAllReadBack) {
    ASSERT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED) << Consoles();
    std::vector<uint8_t> model(size_t(kRows) * kRowBlocks * kBlock);
    for (unsigned r = 0; r < kRows; ++r) {
        const sim::FcpResult back =
            RunCommand(r % 2 ? *hostB : *hostA, Cdb16(fw::SCSI_READ16, r * kRowBlocks, kRowBlocks), {},
                       kRowBlocks * kBlock);
        ASSERT_EQ(back.status, 0);
        std::copy(back.dataIn.begin(), back.dataIn.end(), model.begin() + ptrdiff_t(r) * kRowBlocks * kBlock);
    }
    std::mt19937 rng(34);
    struct Sent {
        sim::FcHost* host;
        uint32_t tag;
    };
    std::vector<Sent> sent;
    // Slow drives keep each controller's update of a row open long enough
    // for the other's to meet it.
    for (unsigned s = 1; s <= 4; ++s) {
        if (s != kPulled) chassis.DriveAt(s)->SetExtraLatencyNs(20 * kMs);
    }
    for (unsigned r = 0; r < kRows; ++r) {
        for (sim::FcHost* host : {hostA.get(), hostB.get()}) {
            const unsigned chunk = (r + (host == hostA.get() ? 0 : 1 + (r / 3) % 2)) % 3;
            const uint64_t lba = uint64_t(r) * kRowBlocks + chunk * kChunk + rng() % (kChunk - kWriteBlocks);
            std::vector<uint8_t> data(kWriteBlocks * kBlock);
            for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
            std::copy(data.begin(), data.end(), model.begin() + ptrdiff_t(lba * kBlock));
            sim::FcpCommand c;
            c.cdb = Cdb16(fw::SCSI_WRITE16, lba, kWriteBlocks);
            c.dataOut = data;
            sent.push_back({host, host->initiator().Submit(host->target(), c)});
        }
        // A row at a time: with the writes before it journalled, each
        // controller asks the other for the row, and the two requests cross.
        RunUntil([] { return false; }, kMs);
    }
    ASSERT_TRUE(RunUntil(
        [&] {
            for (const Sent& x : sent) {
                if (!x.host->initiator().Finished(x.tag)) return false;
            }
            return dual::CachesWrittenOut();
        },
        10'000 * kMs))
        << Consoles();
    for (const Sent& x : sent) ASSERT_EQ(x.host->initiator().Result(x.tag).status, 0);
    // On the drives: each data chunk where the row's parity rotation puts
    // it, the pulled member's rebuilt from the three left.
    for (unsigned r = 0; r < kRows; ++r) {
        for (unsigned k = 0; k < 3; ++k) {
            const unsigned member = k + (k >= r % 4 ? 1 : 0);
            std::vector<uint8_t> chunk(kChunk * kBlock, 0), v(kChunk * kBlock);
            for (unsigned s = 1; s <= 4; ++s) {
                if (s == kPulled) continue;
                if (member + 1 != kPulled && s != member + 1) continue;
                chassis.DriveAt(s)->ReadBlocks(uint64_t(r) * kChunk, kChunk, v.data());
                for (size_t i = 0; i < chunk.size(); ++i) chunk[i] ^= v[i];
            }
            const size_t at = (size_t(r) * kRowBlocks + k * kChunk) * kBlock;
            EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), model.begin() + ptrdiff_t(at)))
                << "row " << r << " chunk " << k << " on the drives" << (member + 1 == kPulled ? " (through parity)" : "");
        }
    }
    for (sim::FcHost* host : {hostA.get(), hostB.get()}) {
        for (unsigned r = 0; r < kRows; ++r) {
            const sim::FcpResult back =
                RunCommand(*host, Cdb16(fw::SCSI_READ16, r * kRowBlocks, kRowBlocks), {}, kRowBlocks * kBlock);
            ASSERT_EQ(back.status, 0);
            for (uint32_t blk = 0; blk < kRowBlocks; ++blk) {
                const size_t at = (size_t(r) * kRowBlocks + blk) * kBlock;
                ASSERT_TRUE(std::equal(model.begin() + ptrdiff_t(at), model.begin() + ptrdiff_t(at + kBlock),
                                       back.dataIn.begin() + ptrdiff_t(blk) * kBlock))
                    << "row " << r << " chunk " << blk / kChunk << " block " << blk % kChunk
                    << (host == hostA.get() ? " through A" : " through B");
            }
        }
    }
}

}  // namespace
