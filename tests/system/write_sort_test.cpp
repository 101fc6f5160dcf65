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

class SortedWrites : public HostRoad, public ::testing::WithParamInterface<SortCase> {
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
};

TEST_P(SortedWrites, EveryRandomWriteReachesTheDrivesAndNoneStaysParked) {
    const SortCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(BootSorted(c.spec));
    if (!c.fTree) {
        fw::SetCacheSetting206(fw::TRUE);
        fw::SetCacheSetting208(fw::FALSE);
        fw::RebuildWriteSort();
    }
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

INSTANTIATE_TEST_SUITE_P(Arrays, SortedWrites, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
