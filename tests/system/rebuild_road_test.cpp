// The rebuild through the whole controller: an array comes up with a member
// gone, the rebuild check finds the hot spare the configuration names, the
// rebuild regenerates the member onto it while the main loop runs, and the
// spare is then the member: on the drives, in what the host reads, and in
// the configuration the next start loads.
#include "config/config_flags.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "eventlog/event_log.h"
#include "host_road.h"
#include "raid/rebuild.h"

namespace {

using namespace roadtest;

struct RebuildCase {
    ArraySpec spec;
    unsigned pulled;   // the member whose drive is gone
};

void PrintTo(const RebuildCase& c, std::ostream* os) { *os << c.spec.pszName; }

class RebuildRoad : public HostRoad, public ::testing::WithParamInterface<RebuildCase> {
protected:
    unsigned SpareSlot() const { return spec.bDrives + 1u; }

    // The road's configuration with a global hot spare in the slot after
    // the members and Auto Rebuild on, on every member and on the spare.
    void BootWithSpare(const ArraySpec& a) {
        spec = a;
        std::vector<uint8_t> ab = Configuration(a);
        fw::CONFIG_IMAGE* ps = copytest::Image(ab);
        ps->sHeader.fAutoRebuild = fw::TRUE;
        ps->sHeader.wSpareCount = 1;
        const auto w = DriveWwn(*chassis, SpareSlot());
        std::memcpy(ps->asSpare[0].abWwn, w.data(), 8);
        ps->asSpare[0].bDedicatedRank = 0xFF;
        for (unsigned i = 1; i < fw::MAX_SPARES; ++i) ps->asSpare[i].bDedicatedRank = 0xFF;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= SpareSlot(); ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        Start();
    }

    // Codes of the events in the log, oldest first.
    static std::vector<uint8_t> EventCodes() {
        uint16_t wCount = 0, wNext = 0;
        fw::GetEventLogPosition(&wCount, &wNext);
        std::vector<uint8_t> ab;
        for (uint16_t w = 0; w < wCount; ++w) ab.push_back(fw::psGetEventLogEntry(w)->bCode);
        return ab;
    }
    static int Count(uint8_t bCode) {
        int n = 0;
        for (uint8_t b : EventCodes()) n += b == bCode;
        return n;
    }
    // Over, and the configuration naming the replacement on the drives.
    static bool RebuildOver() {
        return fw::fGetRebuildWork() != fw::TRUE && fw::bGetNvramRebuildPendingFlag() != fw::TRUE &&
               fw::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL && fw::fIsConfigUpdatePending() != fw::TRUE &&
               fw::fIsConfigCommitInProgress() != fw::TRUE;
    }
    bool MemberIsSpare(unsigned m) const {
        const auto w = DriveWwn(*chassis, SpareSlot());
        return std::memcmp(fw::pGetConfigImage()->asRank[0].aabMemberWwn[m], w.data(), 8) == 0;
    }
};

// The data is written while the array is whole; the member's drive is gone
// at the next start.  Auto Rebuild takes the spare without anyone asking.
TEST_P(RebuildRoad, AMissingMemberIsRebuiltOntoTheHotSpareByItself) {
    const RebuildCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(BootWithSpare(c.spec));
    std::mt19937 rng(5);
    for (uint32_t i = 0; i < 40; ++i) {
        const uint32_t blocks = 1 + rng() % (3 * spec.wChunk);
        Write(rng() % (spec.lBlocks - blocks), blocks, 300 + i, i % 2 == 0);
    }
    Settle();
    ASSERT_NO_FATAL_FAILURE(Restart({c.pulled + 1}));
    ASSERT_EQ(board->RunUntil([] { return RebuildOver(); }, 600'000'000'000ull), sim::StopKind::Running)
        << board->ConsoleText();
    ASSERT_TRUE(RebuildOver()) << board->ConsoleText();
    EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 1);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_COMPLETE), 1);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, uint8_t(c.pulled)), fw::MEMBER_FLAGS_IN_SERVICE);
    EXPECT_TRUE(MemberIsSpare(c.pulled));
    EXPECT_EQ(fw::bGetHotSpareCount(), 0);
    memberSlots[c.pulled] = SpareSlot();
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(0, static_cast<uint32_t>(std::min<uint64_t>(spec.lBlocks, 4096)));

    // The next start loads the array with the spare as its member, whole.
    ASSERT_NO_FATAL_FAILURE(Restart());
    EXPECT_TRUE(MemberIsSpare(c.pulled));
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wSpareCount, 0);
    ExpectRead(0, static_cast<uint32_t>(std::min<uint64_t>(spec.lBlocks, 4096)));
}

const RebuildCase kCases[] = {
    {{"Raid1", fw::RAID_LEVEL_10, 2, 16, 0, true, 5000}, 0},
    {{"Raid10", fw::RAID_LEVEL_10, 6, 16, 0, true, 3 * 4000}, 3},
    {{"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 4096}, 1},
    {{"Raid50", fw::RAID_LEVEL_50, 6, 16, 2, true, 4 * 2048}, 5},
    {{"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, true, 3 * 2048}, 2},
};
INSTANTIATE_TEST_SUITE_P(Levels, RebuildRoad, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.spec.pszName); });

}  // namespace
