// The on-demand initialisation of the rows a host command touches, while
// its array initialises: a row nobody wrote is zeroed on every member, a
// row holding host data keeps its data and gets the parity of it, a row
// already initialised is left alone and the command goes on at once.  The
// rank's bitmaps are set up here as the background initialisation keeps
// them; the member chunks start as garbage.
#include "harness/dispatch_board.h"
#include "host_road.h"
#include "config/nvram_tables.h"
#include "raid/child_commands.h"
#include "raid/stripe_init_steps.h"
#include "target/stage_rings.h"
#include "cache/write_stages.h"
#include "raid/stripe_init.h"
#include "target/host_command_codes.h"
#include "harness/low_memory.h"
#include "hw/addresses.h"

namespace {

using namespace roadtest;

constexpr uint32_t kStripes = 64;
constexpr uint32_t kFresh = 3;      // nobody wrote it
constexpr uint32_t kHostData = 5;   // a host wrote it before the walk came
constexpr uint32_t kDone = 7;       // the walk has been there

class OnDemandInitRoad : public HostRoad {
protected:
    harness::LowVector<uint32_t> onDemand = harness::LowVector<uint32_t>(kStripes / 32),
                                 done = harness::LowVector<uint32_t>(kStripes / 32),
                                 busy = harness::LowVector<uint32_t>(kStripes / 32);

    // Garbage on every member of the first rows, and the rank initialising.
    void Prepare(const ArraySpec& a) {
        ASSERT_NO_FATAL_FAILURE(Boot(a));
        Settle();
        std::mt19937 rng(7);
        std::vector<uint8_t> v(16 * spec.wChunk * kBlock);
        for (unsigned m = 0; m < spec.bDrives; ++m) {
            for (auto& b : v) b = static_cast<uint8_t>(rng());
            chassis->DriveAt(SlotOfMember(m))->WriteBlocks(0, 16 * spec.wChunk, v.data());
        }
        fw::STRIPE_INIT_ENTRY* e = fw::psGetStripeInitEntry(0);
        *e = {};
        e->fInProgress = fw::TRUE;
        e->dStripeCount = kStripes;
        e->dNvGranule = 1;
        e->dOnDemandBitmap = Address(onDemand);
        e->dDoneBitmap = Address(done);
        e->dBusyBitmap = Address(busy);
        fw::SetStripeBit(e->dOnDemandBitmap, kHostData);
        fw::SetStripeBit(e->dDoneBitmap, kDone);
        for (uint64_t row : {kFresh, kHostData, kDone}) touchedRows.insert(row);
    }
    static uint32_t Address(harness::LowVector<uint32_t>& a) {
        return fw::dAddressWord(a.data());
    }
    std::vector<uint8_t> Chunk(unsigned m, uint64_t row) const {
        std::vector<uint8_t> v(spec.wChunk * kBlock);
        chassis->DriveAt(SlotOfMember(m))->ReadBlocks(row * spec.wChunk, spec.wChunk, v.data());
        return v;
    }
    // A host command over some blocks of the row, as the host write stage
    // hands it over; TRUE when it had to wait for an on-demand command.
    bool InitialiseFor(uint64_t row) {
        fw::KERNEL_ENTRY* ps = nullptr;
        uint16_t wIndex = 0;
        EXPECT_EQ(fw::bAllocTargetEntries(fw::PORT_CODE_FC_HOST_1, 1, &ps, &wIndex, fw::FALSE), fw::STATUS_OK);
        ps->bRank = 0;
        ps->bMember = fw::NO_MEMBER;
        ps->lFlags = 0;
        ps->lRankAddress = row * RowBlocks() + 3;
        ps->wBlocks = 8;
        ps->wBlockCount = 8;
        EXPECT_EQ(fw::bInitStripesOnDemand(ps), fw::STATUS_OK);
        const bool fWaited = fw::HasFlag(ps, fw::KE_FLAG_STRIPE_INIT_WAIT);
        board->RunUntil([&] { return !fw::HasFlag(ps, fw::KE_FLAG_STRIPE_INIT_WAIT); }, kSettleLimitNs);
        EXPECT_FALSE(fw::HasFlag(ps, fw::KE_FLAG_STRIPE_INIT_WAIT)) << "row " << row << " never initialised";
        fw::FreeTargetEntry(ps);
        return fWaited;
    }
    bool Done(uint32_t s) const { return fw::fIsStripeBitSet(fw::psGetStripeInitEntry(0)->dDoneBitmap, s) == fw::TRUE; }
    bool MarkedOnDemand(uint32_t s) const {
        return fw::fIsStripeBitSet(fw::psGetStripeInitEntry(0)->dOnDemandBitmap, s) == fw::TRUE;
    }
    bool InNvBitmap(uint32_t s) const { return (fw::pGetStripeInitBitmap(0)[s / 8] >> (s % 8) & 1) != 0; }
};

struct LevelCase {
    const char* pszName;
    ArraySpec array;
};
void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.pszName; }

class OnDemandInitLevels : public OnDemandInitRoad, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(OnDemandInitLevels, EachRowIsMadeConsistentTheWayItsBitmapsSay) {
    ASSERT_NO_FATAL_FAILURE(Prepare(GetParam().array));
    const bool fParity = spec.bLevel != fw::RAID_LEVEL_10;
    const std::vector<uint8_t> zeros(spec.wChunk * kBlock, 0);
    std::vector<std::vector<uint8_t>> doneBefore;
    for (unsigned m = 0; m < spec.bDrives; ++m) doneBefore.push_back(Chunk(m, kDone));

    // Nobody wrote it: zeros everywhere, and no member is read.
    WatchDataCommands();
    EXPECT_TRUE(InitialiseFor(kFresh));
    for (unsigned m = 0; m < spec.bDrives; ++m) {
        EXPECT_TRUE(Chunk(m, kFresh) == zeros) << "member " << m;
        EXPECT_EQ(dataCommands[SlotOfMember(m)].reads, 0u) << "member " << m;
    }
    EXPECT_TRUE(Done(kFresh));
    EXPECT_TRUE(MarkedOnDemand(kFresh));
    EXPECT_TRUE(InNvBitmap(kFresh));

    // A host wrote it: its data stays, its parity follows the data; a
    // mirrored row needs nothing but the mark.
    WatchDataCommands();
    std::vector<std::vector<uint8_t>> hostBefore;
    for (unsigned m = 0; m < spec.bDrives; ++m) hostBefore.push_back(Chunk(m, kHostData));
    EXPECT_EQ(InitialiseFor(kHostData), fParity);
    // The data as it was, and the parity of it.
    const std::vector<std::vector<uint8_t>> want = RowImageOf(kHostData, [&](uint64_t x) {
        const raidref::Place p = DataPlace(x);
        const auto at = hostBefore[p.member].begin() + (p.block - kHostData * spec.wChunk) * kBlock;
        return std::vector<uint8_t>(at, at + kBlock);
    });
    for (unsigned m = 0; m < spec.bDrives; ++m) {
        EXPECT_TRUE(Chunk(m, kHostData) == (fParity ? want[m] : hostBefore[m])) << "member " << m;
        if (!fParity) {
            EXPECT_EQ(dataCommands[SlotOfMember(m)].reads + dataCommands[SlotOfMember(m)].writes, 0u);
        }
    }
    EXPECT_TRUE(Done(kHostData));

    // Initialised already: nothing is issued, the command goes on at once.
    WatchDataCommands();
    EXPECT_FALSE(InitialiseFor(kDone));
    for (unsigned m = 0; m < spec.bDrives; ++m) {
        EXPECT_TRUE(Chunk(m, kDone) == doneBefore[m]) << "member " << m;
        EXPECT_EQ(dataCommands[SlotOfMember(m)].writes, 0u);
    }
    EXPECT_FALSE(Done(kFresh + 1));
    Settle();
}

const LevelCase kLevels[] = {
    {"Raid5", {"Raid5", fw::RAID_LEVEL_5, 4, 16}},
    {"Raid50", {"Raid50", fw::RAID_LEVEL_50, 6, 16, 2}},
    {"Raid6", {"Raid6", fw::RAID_LEVEL_6, 5, 16}},
    {"Raid10", {"Raid10", fw::RAID_LEVEL_10, 4, 16}},
};
INSTANTIATE_TEST_SUITE_P(Levels, OnDemandInitLevels, ::testing::ValuesIn(kLevels),
                         [](const auto& info) { return std::string(info.param.pszName); });

// A chunk regenerated on a rank that initialises is not an initialised row:
// the repair leaves the rank's bitmaps as they were.
TEST_F(OnDemandInitRoad, ARepairLeavesTheRowsBitmapsAlone) {
    ASSERT_NO_FATAL_FAILURE(Prepare({"Raid5", fw::RAID_LEVEL_5, 4, 16}));
    ASSERT_NO_FATAL_FAILURE(Write(kFresh * RowBlocks(), static_cast<uint32_t>(RowBlocks()), 1));
    Settle();
    // The write initialised the row on demand; as far as the bitmaps go it
    // is one the walk has still to come to.
    fw::ClearStripeBit(fw::psGetStripeInitEntry(0)->dDoneBitmap, kFresh);
    fw::ClearStripeBit(fw::psGetStripeInitEntry(0)->dOnDemandBitmap, kFresh);
    const raidref::Place p = DataPlace(kFresh * RowBlocks() + 20);
    chassis->DriveAt(SlotOfMember(p.member))->InjectMediaError(p.block, 1);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(kFresh * RowBlocks() + 16, 8));
    Settle();
    EXPECT_FALSE(Done(kFresh));
    EXPECT_FALSE(MarkedOnDemand(kFresh));
}

// A write whose rows are being initialised sleeps off its port's ring
// until the initialisation has moved on: the write-ready stage does not
// take it and put it back at every turn of the main loop.  Both ways a
// write waits: for its own on-demand initialisation, and for a step of the
// walk that holds its row.
TEST_F(OnDemandInitRoad, AWriteWaitingForItsRowsSleepsUntilTheyAreDone) {
    ASSERT_NO_FATAL_FAILURE(Prepare({"Raid5", fw::RAID_LEVEL_5, 4, 16}));
    const auto SleepingWrite = [] {
        for (uint16_t i = 0; i < fw::HOST_ENTRY_COUNT; ++i) {
            fw::KERNEL_ENTRY* ps = nullptr;
            (void)fw::wGetTargetEntry(i, &ps);
            if (ps != nullptr && ps->fUsed == fw::TRUE && ps->bPrimaryState == fw::HOST_STATE_STRIPE_INIT_WAIT) return ps;
        }
        return static_cast<fw::KERNEL_ENTRY*>(nullptr);
    };
    // Its own initialisation: while the row's zeros go out, the write sleeps.
    bool fSeenAsleep = false, fSeenAwake = false;
    for (unsigned m = 0; m < spec.bDrives; ++m) {
        chassis->DriveAt(SlotOfMember(m))->onCommand = [&](std::span<const uint8_t> cdb) {
            if (cdb[0] != fw::SCSI_WRITE10 || fw::dGetBe32(cdb.data() + 2) != kFresh * spec.wChunk) return;
            const bool fAsleep = SleepingWrite() != nullptr && fw::wGetPortWriteReadyCount(fw::PORT_CODE_FC_HOST_1) == 0;
            (fAsleep ? fSeenAsleep : fSeenAwake) = true;
        };
    }
    ASSERT_NO_FATAL_FAILURE(Write(kFresh * RowBlocks() + 8, 8, 3));
    Settle();
    EXPECT_TRUE(fSeenAsleep);
    EXPECT_FALSE(fSeenAwake) << "the write was on its ring while its row was initialised";
    for (unsigned m = 0; m < spec.bDrives; ++m) chassis->DriveAt(SlotOfMember(m))->onCommand = nullptr;

    // A step of the walk holds the row: the write sleeps as long as the
    // step is out, and goes on when the step is done.
    constexpr uint32_t kHeld = 9;
    fw::STRIPE_INIT_ENTRY* e = fw::psGetStripeInitEntry(0);
    fw::SetStripeBit(e->dBusyBitmap, kHeld);
    touchedRows.insert(kHeld);
    const std::vector<uint8_t> data = Random(8, 4);
    const uint32_t tag = road->Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE10, kHeld * RowBlocks(), 8), data, 0));
    // Answered from the cache, held there a while, then due to be issued.
    EXPECT_EQ(road->Wait(tag).status, 0);
    board->RunUntil([&] { return SleepingWrite() != nullptr; }, kSettleLimitNs);
    board->RunUntil([] { return false; }, 50'000'000ull);
    fw::KERNEL_ENTRY* psAsleep = SleepingWrite();
    ASSERT_NE(psAsleep, nullptr) << "the write does not sleep";
    EXPECT_EQ(fw::wGetPortWriteReadyCount(fw::PORT_CODE_FC_HOST_1), 0);
    EXPECT_EQ(fw::dGetStripeInitWaiters(0), 1u);
    // The step is done (as the walk's partner message says it).
    uint8_t ab[13] = {fw::STRIPE_INIT_MESSAGE_STEP_DONE, 0, 10};
    fw::PutBe32(ab + 7, kHeld * spec.wChunk);
    fw::PutBe16(ab + 11, spec.wChunk);
    EXPECT_EQ(fw::HandleStripeInitMessage(ab), fw::STATUS_OK);
    Record(kHeld * RowBlocks(), data);
    EXPECT_EQ(fw::dGetStripeInitWaiters(0), 0u);
    Settle();
    ASSERT_NO_FATAL_FAILURE(ExpectRead(kHeld * RowBlocks(), 8));
}

}  // namespace
