// The background stripe initialisation through the whole controller: small
// arrays whose members start as random garbage are initialised while a
// host writes ahead of, in and behind the walk.  At the end every row
// agrees with the layout model, every acknowledged write reads back, and
// rows nobody wrote hold zeros.  A power cut in the middle of a walk is
// resumed from the NVRAM progress without zeroing a row a host wrote.
#include <gtest/gtest.h>

#include "config/config_commit.h"
#include "config/config_phase.h"
#include "config/nvram_records.h"
#include "config/nvram_tables.h"
#include "config/rank_table.h"
#include "host_road.h"
#include "raid/stripe_init.h"
#include "raid/stripe_init_steps.h"

namespace roadtest {
namespace {

constexpr uint64_t kRows = 128;

void FillGarbage(sim::Chassis& chassis, unsigned drives, uint64_t blocks, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(blocks * kBlock);
    for (unsigned s = 1; s <= drives; ++s) {
        for (auto& b : v) b = static_cast<uint8_t>(rng());
        chassis.DriveAt(s)->WriteBlocks(0, static_cast<uint32_t>(blocks), v.data());
    }
}

struct Level {
    const char* name;
    ArraySpec spec;
};
void PrintTo(const Level& l, std::ostream* os) { *os << l.name; }

const Level kLevels[] = {
    {"Raid5", {"Raid5", fw::RAID_LEVEL_5, 4, 16}},
    {"Raid6", {"Raid6", fw::RAID_LEVEL_6, 5, 16}},
    {"Raid50", {"Raid50", fw::RAID_LEVEL_50, 6, 16, 2}},
    {"Raid10", {"Raid10", fw::RAID_LEVEL_10, 4, 16}},
    {"Raid0", {"Raid0", fw::RAID_LEVEL_0, 3, 16}},
};

// A small array on members full of garbage, recorded as one that wants
// initialising and committed, and its walk started: what the commit of an
// array made at the console does.
template <typename Road>
class StripeInitOn : public Road {
protected:
    void BeginNewArray(ArraySpec a) {
        a.lBlocks = kRows * RowDataBlocks(a);
        ASSERT_NO_FATAL_FAILURE(this->Boot(a));
        FillGarbage(*this->chassis, a.bDrives, kRows * a.wChunk, 0xBAD);
        for (uint64_t r = 0; r < kRows; ++r) this->touchedRows.insert(r);
        fw::pGetConfigImage()->asRank[0].bInitState = 1;
        fw::pGetConfigImage()->asRank[0].fInitialized = fw::FALSE;
        (void)fw::RequestConfigUpdate(fw::REQUESTER_COMMIT);
        this->board->RunUntil([] { return fw::fIsConfigUpdatePending() != fw::TRUE && fw::fIsConfigCommitInProgress() != fw::TRUE; },
                              kSettleLimitNs);
        fw::SetRankInitPending(0, fw::TRUE);
        fw::ClearStripeInitNvProgress(0);
        fw::StartStripeInit(0, fw::STRIPE_INIT_NEW_ARRAY);
    }
    static bool Initialising() { return fw::fIsStripeInitInProgress(0) == fw::TRUE; }
    void RunToEnd() {
        this->board->RunUntil([] { return !Initialising(); }, kSettleLimitNs);
        ASSERT_FALSE(Initialising()) << "the initialisation never ended";
        this->Settle();
    }
    // Every row as the layout model says of what is on the drives, and
    // every block a host wrote as it wrote it.
    void ExpectRowsConsistent() {
        this->ExpectRowsOnDrives([this](uint64_t row) {
            return this->RowImageOf(row, [this](uint64_t x) { return this->DataOnDrives(x); });
        });
    }
    void ExpectWritesReadBack() {
        for (const auto& [x, data] : this->reference) ASSERT_TRUE(this->DataOnDrives(x) == data) << "block " << x;
        for (uint64_t row = 0; row < kRows; row += 37) ASSERT_NO_FATAL_FAILURE(this->ExpectRead(row * this->RowBlocks(), 24));
    }
};
using StripeInitRoad = StripeInitOn<HostRoad>;

class StripeInitLevels : public StripeInitRoad, public ::testing::WithParamInterface<Level> {};

// Nobody writes: zeros everywhere, nothing read, events 51 then 52, and the
// array is recorded as initialised.
TEST_P(StripeInitLevels, AnIdleNewArrayIsZeroedWithoutReads) {
    ASSERT_NO_FATAL_FAILURE(BeginNewArray(GetParam().spec));
    WatchDataCommands();
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    for (unsigned m = 0; m < spec.bDrives; ++m) EXPECT_EQ(dataCommands[SlotOfMember(m)].reads, 0u) << "member " << m;
    EXPECT_EQ(EventCount(51), 1);
    EXPECT_EQ(EventCount(52), 1);
    EXPECT_NE(fw::fGetRankInitPending(0), fw::TRUE);
    EXPECT_EQ(fw::pGetConfigImage()->asRank[0].bInitState, 0xFF);
    EXPECT_EQ(fw::bGetStripeInitByte(0), fw::FALSE);
}

// 32 writes in flight over the whole array while the walk goes on: the
// rows written before the walk came keep their data and get its parity.
TEST_P(StripeInitLevels, HostWritesDuringTheWalkReadBackAndEveryRowIsConsistent) {
    ASSERT_NO_FATAL_FAILURE(BeginNewArray(GetParam().spec));
    // The walk is under way: the writes land behind it, in it and ahead.
    board->RunUntil([] { return fw::bGetStripeInitPercent(0) >= 40; }, kSettleLimitNs);
    uint32_t percentSeen = 0;
    ASSERT_NO_FATAL_FAILURE(WriteLoad(kRows * RowBlocks(), 96, 3, [&](uint32_t) {
        percentSeen = std::max<uint32_t>(percentSeen, fw::bGetStripeInitPercent(0));
    }, [] { return false; }));
    EXPECT_TRUE(Initialising()) << "the walk ended before the hosts did";
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    ASSERT_NO_FATAL_FAILURE(ExpectWritesReadBack());
    EXPECT_EQ(EventCount(52), 1);
}

INSTANTIATE_TEST_SUITE_P(Levels, StripeInitLevels, ::testing::ValuesIn(kLevels),
                         [](const auto& info) { return std::string(info.param.name); });

// The status display while a walk runs, and once none does.
TEST_F(StripeInitRoad, TheStatusDisplayShowsTheWalk) {
    ASSERT_NO_FATAL_FAILURE(BeginNewArray(kLevels[0].spec));
    board->RunUntil([] { return fw::psGetStripeInitEntry(0)->bState == fw::STRIPE_INIT_WALK; }, kSettleLimitNs);
    const size_t from = board->ConsoleText().size();
    fw::ShowStripeInitStats();
    board->RunFor(10'000'000);
    const std::string shown = board->ConsoleText().substr(from);
    EXPECT_NE(shown.find("Stripe Init Stats, "), std::string::npos) << shown;
    EXPECT_NE(shown.find(" of 00000080 NV:0001 "), std::string::npos) << shown;
    EXPECT_NE(shown.find("Host Txfr:"), std::string::npos) << shown;
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    const size_t after = board->ConsoleText().size();
    fw::ShowStripeInitStats();
    board->RunFor(10'000'000);
    EXPECT_NE(board->ConsoleText().substr(after).find("No Stripe Init In Progress"), std::string::npos);
}

// A walk taken up with the partner's progress (reason 4) cannot tell which
// rows hosts wrote: it recomputes the parity of every row from its data
// and zeroes none, so rows full of host data keep it and end consistent.
TEST_F(StripeInitRoad, AWalkResumedWithThePartnersProgressZeroesNoRow) {
    ArraySpec a = kLevels[0].spec;
    a.lBlocks = kRows * RowDataBlocks(a);
    ASSERT_NO_FATAL_FAILURE(Boot(a));
    FillConsistentRows(kRows, 0x4EA5);
    std::vector<uint8_t> junk(spec.wChunk * kBlock, 0xC3);
    for (uint64_t row : {3u, 64u, 127u}) {
        chassis->DriveAt(SlotOfMember(ParityLayout().ParityMember(row, 0)))->WriteBlocks(row * spec.wChunk, spec.wChunk, junk.data());
    }
    fw::pGetConfigImage()->asRank[0].bInitState = 1;
    fw::pGetConfigImage()->asRank[0].fInitialized = fw::FALSE;
    fw::SetRankInitPending(0, fw::TRUE);
    fw::StartStripeInit(0, fw::STRIPE_INIT_RESUME_PARTNER);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    EXPECT_EQ(EventCount(52), 1);
}

// The same on a controller whose NVRAM, data banks and drives live in
// files.  The power goes in the middle of the walk while the cache holds
// acknowledged writes: after the restart the walk resumes from its NVRAM
// progress and ends with every row consistent and every acknowledged
// write in place.
using StripeInitPowerCut = StripeInitOn<RestartRoad>;

TEST_F(StripeInitPowerCut, AWalkCutByPowerLossResumesAndKeepsEveryWrite) {
    // Write-through: each write is on the drives, its rows initialised on
    // demand and marked in the NV bitmap, before it is answered.
    ArraySpec a = kLevels[0].spec;
    a.fWriteBack = false;
    ASSERT_NO_FATAL_FAILURE(BeginNewArray(a));
    ASSERT_TRUE(Initialising());
    // Writes ahead of and behind the walk.
    std::mt19937 rng(11);
    for (uint32_t i = 0; i < 24; ++i) {
        const uint32_t blocks = 1 + rng() % 40;
        ASSERT_NO_FATAL_FAILURE(Write(rng() % (kRows * RowBlocks() - blocks), blocks, 500 + i));
        if (i == 12) board->RunUntil([] { return fw::bGetStripeInitPercent(0) >= 30; }, kSettleLimitNs);
    }
    ASSERT_TRUE(Initialising()) << "the walk ended before the power cut";
    const uint64_t lCut = fw::psGetStripeInitEntry(0)->lPosition;
    EXPECT_GT(lCut, 0u);
    // The controller's start waits for its pools to come to rest: the
    // resumed walk runs to its end in there.
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    EXPECT_EQ(EventCount(51), 2) << "the walk did not resume";
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectRowsConsistent());
    ASSERT_NO_FATAL_FAILURE(ExpectWritesReadBack());
    EXPECT_EQ(EventCount(52), 1);
}

}  // namespace
}  // namespace roadtest
