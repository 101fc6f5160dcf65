// The write sort through a simulated host: random 4 KiB write-back writes
// on an array the sort orders, with the outstanding writes kept as the
// tree and as the list, reach the drives as the reference and layout
// models say and leave nothing parked; turning the sort off while writes
// are parked loses none of them.
#include <algorithm>
#include <random>
#include <string>

#include "cache/write_sort.h"
#include "config/config_db.h"
#include "host_road.h"

namespace {

using namespace roadtest;

struct SortCase {
    const char* pszName;
    ArraySpec spec;
    bool fTree;          // setting 208: the outstanding writes as a tree
    bool fTurnOff;       // the sort is turned off while writes are parked
};

const SortCase kCases[] = {
    {"Raid5Tree", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, true, false},
    {"Raid5List", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, false, false},
    {"Raid10Tree", {"Raid10", fw::RAID_LEVEL_10, 4, 16}, true, false},
    {"Raid10List", {"Raid10", fw::RAID_LEVEL_10, 4, 16}, false, false},
    {"Raid5TurnedOff", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, true, true},
};

class SortRoad : public HostRoad {
protected:
    // The array's policy lets the sort order its writes.
    void BootSorted(const ArraySpec& a) {
        spec = a;
        std::vector<uint8_t> ab = Configuration(a);
        copytest::Image(ab)->asRank[0].bCachePolicy = fw::POLICY_WRITE_BACK | fw::POLICY_SHARED_OUTSTANDING;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        ASSERT_NO_FATAL_FAILURE(Start());
    }
    // The outstanding writes as the list, with the stripe-unit collapse.
    static void ListKind() {
        fw::SetCacheSetting206(fw::TRUE);
        fw::SetCacheSetting208(fw::FALSE);
        fw::RebuildWriteSort();
    }
};

class SortedWrites : public SortRoad, public ::testing::WithParamInterface<SortCase> {};

TEST_P(SortedWrites, EveryRandomWriteReachesTheDrivesAndNoneStaysParked) {
    const SortCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(BootSorted(c.spec));
    if (!c.fTree) ListKind();
    ASSERT_EQ(fw::fIsRankWriteSortActive(0), c.fTree ? fw::TRUE : fw::FALSE);
    std::mt19937 rng(7);
    const uint64_t span = RowBlocks() * 64;
    struct InFlight {
        uint32_t tag;
        uint64_t lba;
        std::vector<uint8_t> data;
    };
    std::vector<InFlight> inFlight;
    uint32_t maxParked = 0;
    bool turnedOff = false;
    const uint32_t writes = 600;
    for (uint32_t i = 0; i < writes || !inFlight.empty();) {
        while (i < writes && inFlight.size() < 32) {
            const uint64_t lba = rng() % (span / 8) * 8;
            ++i;
            if (std::any_of(inFlight.begin(), inFlight.end(), [lba](const InFlight& f) { return f.lba == lba; })) continue;
            sim::FcpCommand cmd;
            cmd.cdb = Cdb(fw::SCSI_WRITE10, lba, 8);
            cmd.dataOut = Random(8, 5000 + i);
            inFlight.push_back({host->Submit(cmd), lba, cmd.dataOut});
        }
        const InFlight f = inFlight.front();
        inFlight.erase(inFlight.begin());
        const sim::FcpResult r = host->Wait(f.tag);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "write at " << f.lba;
        ASSERT_EQ(r.status, 0) << "write at " << f.lba << SenseText(r);
        Record(f.lba, f.data);
        maxParked = std::max(maxParked, fw::dGetSortableWriteCount());
        if (c.fTurnOff && !turnedOff && fw::dGetSortableWriteCount() > 4) {
            fw::SetWriteSortEnabled(fw::FALSE);
            EXPECT_EQ(fw::dGetSortableWriteCount(), 0u);
            turnedOff = true;
        }
    }
    Settle();
    EXPECT_EQ(fw::dGetSortableWriteCount(), 0u);
    if (c.fTree) {
        EXPECT_GT(maxParked, 1u) << "the sort never held a write";
    } else {
        EXPECT_EQ(maxParked, 0u);
    }
    EXPECT_EQ(turnedOff, c.fTurnOff);
    ExpectDrivesMatchReference();
    for (uint64_t lba = 0; lba < span; lba += RowBlocks() * 8) ExpectRead(lba, static_cast<uint32_t>(RowBlocks()));
}

// Two writes in one RAID 5 row, at places of their stripe units that do
// not meet (the first 4 KiB of the third chunk, the last 4 KiB of the
// second), change different pieces of the parity, so the list kind lets
// the newer one go past the older.  The older is still held open for the
// rest of its chunk; were the next 4 KiB to join it, it would grow over
// the piece of parity the newer write is changing and read that parity
// while the newer write is on its way to the drives.  Every member of the
// row must end as the data written says, parity included.
using SortedWriteRow = SortRoad;

TEST_F(SortedWriteRow, AnOlderWriteThatGrowsOverTheParityOfANewerOneWaitsForIt) {
    ASSERT_NO_FATAL_FAILURE(BootSorted({"Raid5", fw::RAID_LEVEL_5, 4, 16}));
    ListKind();
    const uint64_t row = 55;
    const uint64_t first = row * RowBlocks();
    const uint64_t older = first + 2 * spec.wChunk, newer = first + spec.wChunk + 8, grows = older + 8;
    // Every drive command takes long enough for the newer write to be still
    // on its way to the drives when the older one grows.
    bool rowReached = false;
    for (unsigned s = 1; s <= spec.bDrives; ++s) {
        sim::Drive* d = chassis->DriveAt(s);
        d->SetExtraLatencyNs(20'000'000);
        d->onCommand = [&rowReached, row, this](std::span<const uint8_t> cdb) {
            if (cdb[0] != fw::SCSI_READ10 && cdb[0] != fw::SCSI_WRITE10) return;
            const uint64_t lba = fw::dGetBe32(cdb.data() + 2);
            if (lba >= row * spec.wChunk && lba < (row + 1) * spec.wChunk) rowReached = true;
        };
    }
    ASSERT_NO_FATAL_FAILURE(Write(older, 8, 1));
    ASSERT_NO_FATAL_FAILURE(Write(newer, 8, 2));
    // A second write over the newer one sends that one on to the drives
    // while the older one is still held for writes that may join it.
    std::vector<std::pair<uint32_t, uint64_t>> sent;
    auto Send = [&](uint64_t lba, uint32_t seed) {
        sim::FcpCommand cmd;
        cmd.cdb = Cdb(fw::SCSI_WRITE10, lba, 8);
        cmd.dataOut = Random(8, seed);
        NoteSent(lba, cmd.dataOut);
        sent.emplace_back(host->Submit(cmd), lba);
        return cmd.dataOut;
    };
    const std::vector<uint8_t> overNewer = Send(newer, 3);
    ASSERT_TRUE(host->RunUntil([&] { return rowReached; })) << "nothing of the row reached the drives";
    // The rest of the older write's chunk: it joins the older write.
    const std::vector<uint8_t> rest = Send(grows, 4);
    for (const auto& [tag, lba] : sent) {
        const sim::FcpResult r = host->Wait(tag);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "write at " << lba;
        ASSERT_EQ(r.status, 0) << "write at " << lba << SenseText(r);
    }
    Record(newer, overNewer);
    Record(grows, rest);
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(first, static_cast<uint32_t>(RowBlocks()));
}

INSTANTIATE_TEST_SUITE_P(Arrays, SortedWrites, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
