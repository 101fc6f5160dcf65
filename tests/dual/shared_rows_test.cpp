// Two controllers, a host on each, writing the same few parity rows of one
// array for seconds on end, several writes out from each host at once:
// every row is asked for by both controllers all the time, their stripe
// access requests cross again and again.  No two writes out at once share a
// block, so the last write answered on a block is what it must hold.  Every
// command is answered exactly once and none waits for ever; afterwards each
// row on the drives holds that data with its parity right, and reads through
// either controller give it back.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../raid/raid_reference.h"
#include "../system/road_config.h"
#include "config/rank_table.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "host_write_stream.h"
#include "mirrored_array.h"
#include "sim/fc_host.h"

namespace {

using roadtest::kBlock;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint16_t kChunk = 16;
constexpr unsigned kRows = 3;
constexpr unsigned kDepth = 4;              // writes out per host at once
constexpr uint32_t kMaxWriteBlocks = 24;
constexpr uint64_t kRunNs = 3'000 * kMs;    // of virtual time
constexpr uint64_t kStallNs = 2'000 * kMs;  // no answer for this long: stalled

struct SharedRowsCase {
    const char* pszName;
    uint8_t bLevel;
    uint8_t bDrives;
    uint8_t bPolicy;
};

void PrintTo(const SharedRowsCase& c, std::ostream* os) { *os << c.pszName; }

class SharedRows : public ::testing::TestWithParam<SharedRowsCase>, protected dual::Pair {
protected:
    void SetUp() override {
        const SharedRowsCase& c = GetParam();
        spec = {c.pszName, c.bLevel, c.bDrives, kChunk};
        dual::PlaceSharedArray(chassis, spec, c.bPolicy);
        ASSERT_TRUE(Boot()) << Consoles();
        hosts[0] = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1),
                                                 0x2100001B32E00031ull);
        hosts[1] = std::make_unique<sim::FcHost>(b->board, b->fabric, *sim::FindIspChip(b->board, 1),
                                                 0x2100001B32E00032ull);
        for (auto& h : hosts) ASSERT_TRUE(HostReady(*h)) << Consoles();
        writes.Start(*hosts[0], *hosts[1], Blocks());
    }

    uint64_t RowBlocks() const { return roadtest::RowDataBlocks(spec); }
    uint64_t Blocks() const { return kRows * RowBlocks(); }

    // What the layout model puts on member m of a row, from the model's
    // data: the data chunks where the parity rotation places them, P and Q.
    std::vector<std::vector<uint8_t>> RowImage(uint64_t row) const {
        const size_t chunkBytes = size_t(kChunk) * kBlock;
        std::vector<std::vector<uint8_t>> image(spec.bDrives, std::vector<uint8_t>(chunkBytes));
        const auto chunk = [&](unsigned j) { return model.begin() + ptrdiff_t((row * RowBlocks() + j * kChunk) * kBlock); };
        if (spec.bLevel == fw::RAID_LEVEL_6) {
            const raidref::DualParityRank d{spec.bDrives, kChunk};
            const std::vector<unsigned> members = d.DataMembers(row);
            std::vector<const uint8_t*> cols;
            for (unsigned j = 0; j < members.size(); ++j) {
                std::copy(chunk(j), chunk(j) + ptrdiff_t(chunkBytes), image[members[j]].begin());
                cols.push_back(image[members[j]].data());
            }
            raidref::PQ(cols, uint32_t(chunkBytes), image[d.PMember(row)].data(), image[d.QMember(row)].data());
        } else {
            const raidref::ParityRank p{spec.bDrives, 1, kChunk};
            const std::vector<unsigned> members = p.DataMembers(row, 0);
            std::vector<uint8_t>& parity = image[p.ParityMember(row, 0)];
            for (unsigned j = 0; j < members.size(); ++j) {
                std::copy(chunk(j), chunk(j) + ptrdiff_t(chunkBytes), image[members[j]].begin());
                for (size_t i = 0; i < chunkBytes; ++i) parity[i] ^= image[members[j]][i];
            }
        }
        return image;
    }

    roadtest::ArraySpec spec{};
    std::unique_ptr<sim::FcHost> hosts[2];
    dual::HostWriteStream writes{kDepth, kMaxWriteBlocks, 34};
    const std::vector<uint8_t>& model = writes.model;
};

TEST_P(SharedRows, EveryWriteIsAnsweredOnceAndReadsBackThroughEitherController) {
    const uint64_t end = clock.Now() + kRunNs;
    while (clock.Now() < end) {
        writes.TopUp();
        const unsigned before = writes.answered;
        ASSERT_TRUE(RunUntil([&] { return writes.answered != before; }, kStallNs))
            << "no write answered for 2 s, still out:" << writes.Outstanding();
    }
    ASSERT_TRUE(RunUntil([&] { return writes.Idle(); }, kStallNs)) << writes.Outstanding();
    // Both sides write their caches out; an answer that would come twice
    // comes in that time too.
    ASSERT_TRUE(RunUntil(dual::CachesWrittenOut, 10'000 * kMs));
    RunUntil([] { return false; }, 1'000 * kMs);

    EXPECT_EQ(writes.failed, 0u);
    // Enough writes for the two sides' requests to have crossed many times.
    EXPECT_GT(writes.sent, 100u);
    for (unsigned h = 0; h < 2; ++h) {
        for (const auto& [tag, n] : writes.answers[h]) EXPECT_EQ(n, 1u) << "host " << h << " tag " << tag;
    }
    for (uint64_t row = 0; row < kRows; ++row) {
        const std::vector<std::vector<uint8_t>> want = RowImage(row);
        for (unsigned m = 0; m < spec.bDrives; ++m) {
            std::vector<uint8_t> v(size_t(kChunk) * kBlock);
            chassis.DriveAt(m + 1)->ReadBlocks(row * kChunk, kChunk, v.data());
            EXPECT_TRUE(v == want[m]) << "row " << row << " member " << m << " on the drives";
        }
    }
    for (unsigned h = 0; h < 2; ++h) {
        const sim::FcpResult back = RunCommand(*hosts[h], dual::Cdb16(fw::SCSI_READ16, 0, uint32_t(Blocks())), {},
                                               uint32_t(Blocks()) * kBlock);
        ASSERT_EQ(back.status, 0) << "through host " << h;
        for (uint64_t x = 0; x < Blocks(); ++x) {
            ASSERT_TRUE(std::equal(back.dataIn.begin() + ptrdiff_t(x * kBlock),
                                   back.dataIn.begin() + ptrdiff_t((x + 1) * kBlock),
                                   model.begin() + ptrdiff_t(x * kBlock)))
                << "block " << x << " read through host " << h;
        }
    }
}

const SharedRowsCase kCases[] = {
    {"Raid5WriteBack", fw::RAID_LEVEL_5, 4, fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR},
    {"Raid6WriteBack", fw::RAID_LEVEL_6, 5, fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR},
    {"Raid5WriteThrough", fw::RAID_LEVEL_5, 4, 0},
};
INSTANTIATE_TEST_SUITE_P(Arrays, SharedRows, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
