// Two controllers cut with their caches full of acknowledged writes, spread
// over each one's data bank (controller 0's own writes, controller 1's
// copies of them) so that no megabyte lies free in one piece between them,
// and started again together: both come up, the writes are written out,
// and every acknowledged write reads back through either controller.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "../system/road_config.h"
#include "cache/nvram_journal.h"
#include "executive/buffer_pages.h"
#include "harness/cache_spread.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "mirrored_array.h"
#include "sim/fc_host.h"

namespace fw_b {
using fw::NVRAM_QUEUE_ENTRY;
const NVRAM_QUEUE_ENTRY* psGetNvramQueueEntry(uint8_t fOwn, uint16_t wSlot);
}  // namespace fw_b

namespace {

using Outcome = sim::FcpResult::Outcome;
using roadtest::kBlock;
using dual::Cdb16;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint64_t kHostA = 0x2100001B32D00001ull;
constexpr uint64_t kHostB = 0x2100001B32D00002ull;
constexpr uint32_t kChunk = 16;
constexpr uint32_t kRowBlocks = 3 * kChunk;   // RAID 6 on five drives
constexpr uint32_t kRows = 4096;
constexpr uint32_t kSpacingPages = 192;       // between two kept writes
constexpr uint32_t kBufferPages = 16;         // more than either takes for a write of 8 blocks
constexpr uint32_t kMegabytePages = 256;

class PairKeptCacheStart : public ::testing::Test, protected dual::Pair {
protected:
    // With this much memory each start of day takes its tables whole
    // whatever the cache keeps: what one start leaves free is what the next
    // finds.
    PairKeptCacheStart() : dual::Pair(sim::Chassis::Options(), sim::HostInterface::Fc, 512u << 20) {}

    void SetUp() override {
        dual::PlaceSharedArray(chassis, {"KEPT", fw::RAID_LEVEL_6, 5, kChunk},
                               fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR);
        ASSERT_TRUE(Boot()) << Consoles();
        hostA = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1), kHostA);
        hostB = std::make_unique<sim::FcHost>(b->board, b->fabric, *sim::FindIspChip(b->board, 1), kHostB);
        ASSERT_TRUE(HostReady(*hostA)) << Consoles();
        ASSERT_TRUE(HostReady(*hostB)) << Consoles();
        spreadA.emplace(&fw::bAllocDataPages, &fw::wFreeDataPages, &fw::psGetNvramQueueEntry,
                        a->board.memory().bank0Address(), a->board.memory().bank0Size());
        spreadB.emplace(&fw_b::bAllocDataPages, &fw_b::wFreeDataPages, &fw_b::psGetNvramQueueEntry,
                        b->board.memory().bank0Address(), b->board.memory().bank0Size());
    }
    void SlowDrives(uint64_t ns) {
        for (unsigned s = 1; s <= 5; ++s) chassis.DriveAt(s)->SetExtraLatencyNs(ns);
    }

    // Writes of 1 to 8 blocks through controller 0, each answered GOOD once
    // controller 1 holds its copy and none on the drives yet (they are that
    // slow): one every kSpacingPages pages of what each start left free.
    void SpreadKeptWrites() {
        freeA = spreadA->FreePages();
        freeB = spreadB->FreePages();
        const std::vector<uint32_t> targetsA = spreadA->Targets(freeA, kSpacingPages, kBufferPages);
        const std::vector<uint32_t> targetsB = spreadB->Targets(freeB, kSpacingPages, kBufferPages);
        SlowDrives(5000 * kMs);
        std::mt19937 rng(68);
        for (size_t i = 0; i < std::max(targetsA.size(), targetsB.size()); ++i) {
            if (i < targetsA.size()) spreadA->MoveTakesTo(targetsA[i]);
            if (i < targetsB.size()) spreadB->MoveTakesTo(targetsB[i]);
            const uint32_t blocks = 1 + rng() % 8;
            const uint64_t lba = (rng() % kRows) * kRowBlocks + rng() % (kRowBlocks - blocks);
            std::vector<uint8_t> data(size_t(blocks) * kBlock);
            for (uint8_t& x : data) x = static_cast<uint8_t>(rng());
            const sim::FcpResult r = RunCommand(*hostA, Cdb16(fw::SCSI_WRITE16, lba, blocks), data);
            ASSERT_EQ(r.outcome, Outcome::Done) << "write " << i << Consoles();
            ASSERT_EQ(r.status, 0) << "write " << i;
            for (uint32_t k = 0; k < blocks; ++k) {
                reference[lba + k].assign(data.begin() + size_t(k) * kBlock, data.begin() + size_t(k + 1) * kBlock);
            }
        }
    }

    // Every acknowledged write reads back through the host given, in reads
    // of up to 64 blocks.
    void ExpectEveryWriteReadsBackThrough(sim::FcHost& host) {
        for (auto it = reference.begin(); it != reference.end();) {
            const uint64_t lba = it->first;
            std::vector<uint8_t> want;
            for (; it != reference.end() && it->first == lba + want.size() / kBlock && want.size() < 64 * kBlock; ++it) {
                want.insert(want.end(), it->second.begin(), it->second.end());
            }
            const uint32_t blocks = static_cast<uint32_t>(want.size() / kBlock);
            const sim::FcpResult r = RunCommand(host, Cdb16(fw::SCSI_READ16, lba, blocks), {}, blocks * kBlock);
            ASSERT_EQ(r.outcome, Outcome::Done) << "read " << lba;
            ASSERT_EQ(r.status, 0) << "read " << lba;
            ASSERT_TRUE(r.dataIn == want) << "read " << lba << "+" << blocks;
        }
    }

    std::unique_ptr<sim::FcHost> hostA;
    std::unique_ptr<sim::FcHost> hostB;
    std::optional<harness::CacheSpread<fw::BUFFER_HANDLE>> spreadA;
    std::optional<harness::CacheSpread<fw_b::BUFFER_HANDLE>> spreadB;
    std::vector<bool> freeA, freeB;
    std::map<uint64_t, std::vector<uint8_t>> reference;
};

TEST_F(PairKeptCacheStart, BothStartedTogetherWriteTheKeptCachesOutAndServeEveryAcknowledgedWrite) {
    ASSERT_NO_FATAL_FAILURE(SpreadKeptWrites());
    ASSERT_LT(spreadA->LongestRunBesideKeptData(freeA), kMegabytePages);
    ASSERT_LT(spreadB->LongestRunBesideKeptData(freeB), kMegabytePages);
    ASSERT_GT(fw::wCountCachedOwnExtents(nullptr), 300u);

    a->board.CutPower();
    b->board.CutPower();
    SlowDrives(0);
    for (dual::Side* s : {a.get(), b.get()}) {
        s->board.RestorePower();
        s->board.ClearConsoleText();
    }
    sim::Board::ConnectPartners(a->board, b->board);
    a->board.Boot();
    b->board.Boot();
    ASSERT_TRUE(Boot()) << Consoles();
    ASSERT_TRUE(HostReady(*hostA)) << Consoles();
    ASSERT_TRUE(HostReady(*hostB)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(ExpectEveryWriteReadsBackThrough(*hostA));
    ASSERT_NO_FATAL_FAILURE(ExpectEveryWriteReadsBackThrough(*hostB));
    ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles();
}

}  // namespace
