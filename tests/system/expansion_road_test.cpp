// Array expansion on the host road: an array grows onto new drives through
// the configuration edit and commit an operator's tools make, while a
// Fibre Channel host writes and reads it.  The reference model holds what
// every acknowledged write put on the logical drive; the layout model
// checks the drives in the old geometry above the write position and in
// the new one below it while the restripe runs, and every row of the new
// geometry once it is committed.  Power cuts at the expansion record's
// NVRAM stores and during a step's drive writes end, after the restart,
// exactly as an uncut expansion does.
#include <fstream>
#include <map>

#include "config/address_translation.h"
#include "config/array_operations.h"
#include "config/bad_blocks.h"
#include "config/config_state.h"
#include "eventlog/statistics.h"
#include "harness/config_builder.h"
#include "host_road.h"
#include "raid/expansion.h"
#include "raid/parity_check.h"
#include "raid/raid_engine.h"

namespace {

using namespace roadtest;

constexpr uint64_t kSecond = 1'000'000'000ull;

// The data drives of an array's row.
unsigned DataDrives(const ArraySpec& a) { return unsigned(RowDataBlocks(a) / a.wChunk); }

// The array as CreateArray stores it: its parity count, stripe size and
// state filled in as a made array has them.
void CompleteRecord(const ArraySpec& a, fw::CONFIG_RANK_RECORD* r) {
    r->bParityCount = a.bLevel == fw::RAID_LEVEL_5 ? 1 : a.bLevel == fw::RAID_LEVEL_6 ? 2 : a.bParity;
    r->dStripeSize = uint32_t(RowDataBlocks(a)) * kBlock;
    r->bInitState = a.bLevel == fw::RAID_LEVEL_0 ? 0 : fw::RANK_STATE_OPTIMAL;
    r->wWriteThreshold = 5;
}

class ExpansionRoadBase {
protected:
    // Where the layout model puts a block of an array laid out as described.
    static raidref::Place PlaceIn(const ArraySpec& a, uint64_t x) {
        switch (a.bLevel) {
        case fw::RAID_LEVEL_0: return raidref::Striped(x, a.bDrives, a.wChunk);
        case fw::RAID_LEVEL_10: {
            const raidref::Place p = raidref::Striped(x, a.bDrives / 2u, a.wChunk);
            return {2 * p.member, p.block};
        }
        case fw::RAID_LEVEL_6: return raidref::DualParityRank{a.bDrives, a.wChunk}.Data(x);
        default: return raidref::ParityRank{a.bDrives, a.bParity ? a.bParity : 1u, a.wChunk}.Data(x);
        }
    }
};

template <typename Road>
class ExpansionFixture : public Road, protected ExpansionRoadBase {
protected:
    using Road::board;
    using Road::chassis;
    using Road::spec;

    // The array on slots 1..D, its one logical drive over all of it.
    void BootArray(const ArraySpec& a) {
        spec = a;
        std::vector<uint8_t> ab = this->Configuration(a);
        CompleteRecord(a, &copytest::Image(ab)->asRank[0]);
        copytest::Seal(ab);
        for (unsigned s = 1; s <= a.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        this->Start();
        oldSpec = a;
    }

    // The operator's edit: the drives of the next slots join array 0 (as
    // new sub-ranks when asked), and the configuration is committed.
    bool Expand(unsigned added, uint8_t addSubRanks = 0) {
        cfgbuild::Builder b(*board);
        if (!b.OpenEdit()) return false;
        fw::EXPANSION_REQUEST r{};
        r.bArray = 0;
        r.bAddDrives = uint8_t(added);
        r.fAddSubRanks = addSubRanks != 0 ? fw::TRUE : fw::FALSE;
        r.bAddSubRanks = addSubRanks;
        for (unsigned i = 0; i < added; ++i) {
            if (!cfgbuild::Builder::SlotWwn(oldSpec.bDrives + 1 + i, r.aabWwn[i])) return false;
        }
        if (fw::ExpandArray(&r) != fw::STATUS_OK) return false;
        newSpec = oldSpec;
        newSpec.bDrives = uint8_t(oldSpec.bDrives + added);
        if (addSubRanks != 0) {
            newSpec.bLevel = fw::RAID_LEVEL_50;
            newSpec.bParity = uint8_t((oldSpec.bParity ? oldSpec.bParity : 1) + addSubRanks);
        }
        newSpec.lBlocks = oldSpec.lBlocks / DataDrives(oldSpec) * DataDrives(newSpec);
        return b.Commit();
    }

    const fw::EXPANSION_STATE& X() const { return *fw::psGetExpansionState(); }
    bool Done() const { return fw::fIsExpansionTaskDue() != fw::TRUE && fw::bGetNvramExpansionFlag() != fw::TRUE; }
    void RunToEnd() {
        board->RunUntil([this] { return Done(); }, 600 * kSecond);
        ASSERT_TRUE(Done()) << board->ConsoleText();
    }

    // Drive blocks below W hold the new geometry, those from W + S on the
    // old one on the old members; whole rows of each agree with their
    // mirror and parity.
    void ExpectLayoutAt(uint64_t W) {
        const uint64_t S = RowDataBlocks(newSpec);
        for (uint64_t x = 0; x < oldSpec.lBlocks; ++x) {
            if (x >= W && x < W + S) continue;
            const raidref::Place p = PlaceIn(x < W ? newSpec : oldSpec, x);
            std::vector<uint8_t> v(kBlock);
            chassis->DriveAt(1 + p.member)->ReadBlocks(p.block, 1, v.data());
            ASSERT_TRUE(v == this->Expected(x)) << "block " << x << " W " << W;
        }
        ExpectRowsIn(newSpec, 0, W / S);
        const uint64_t So = RowDataBlocks(oldSpec);
        ExpectRowsIn(oldSpec, (W + S + So - 1) / So, oldSpec.lBlocks / So);
    }
    void ExpectRowsIn(const ArraySpec& a, uint64_t first, uint64_t end) {
        const ArraySpec saved = spec;
        spec = a;
        this->touchedRows.clear();
        for (uint64_t r = first; r < end; ++r) this->touchedRows.insert(r);
        this->ExpectDrivesMatchReference();
        spec = saved;
    }
    // After the commit: every row of the new capacity, the moved data and
    // the zero-filled rest, and what hosts read.
    void ExpectCommitted() {
        EXPECT_EQ(fw::pGetConfigImage()->sHeader.fExpansionActive, fw::FALSE);
        EXPECT_EQ(fw::pGetConfigImage()->asRank[0].bDriveCount, newSpec.bDrives);
        EXPECT_EQ(fw::pGetConfigImage()->asRank[0].lLastOffset + 1, newSpec.lBlocks);
        EXPECT_NE(fw::bGetRankOperationState(0), fw::RANK_STATE_EXPANDING);
        EXPECT_EQ(fw::pGetConfigImage()->asRank[fw::EXPANSION_RANK].bDriveCount, 0);
        for (uint64_t x = 0; x < oldSpec.lBlocks; x += 2048) {
            ASSERT_NO_FATAL_FAILURE(this->ExpectRead(x, uint32_t(std::min<uint64_t>(2048, oldSpec.lBlocks - x))));
        }
        ExpectRowsIn(newSpec, 0, newSpec.lBlocks / RowDataBlocks(newSpec));
    }

    ArraySpec oldSpec{};
    ArraySpec newSpec{};
};

class ExpansionRoad : public ExpansionFixture<HostRoad>, public ::testing::WithParamInterface<ArraySpec> {
protected:
    ExpansionRoad() {
        chassisOptions.drives = 10;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
    }
};

struct Growth {
    const char* pszName;
    ArraySpec array;
    unsigned added;
    uint8_t addSubRanks;
};

class GrowthRoad : public ExpansionFixture<HostRoad>, public ::testing::WithParamInterface<Growth> {
protected:
    GrowthRoad() {
        chassisOptions.drives = 10;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
    }
};

// 32 writes in flight ahead of, in and behind the moving window: none
// fails, and once committed every row is consistent and every write reads
// back.
TEST_P(GrowthRoad, GrowsUnderHostLoad) {
    const Growth& g = GetParam();
    ASSERT_NO_FATAL_FAILURE(BootArray(g.array));
    WriteLoad(oldSpec.lBlocks, 64, 3, [](uint32_t) {}, [] { return false; });
    // A slow new drive keeps the restripe going while the host works.
    for (unsigned i = 1; i <= g.added; ++i) chassis->DriveAt(oldSpec.bDrives + i)->SetExtraLatencyNs(300'000);
    ASSERT_TRUE(Expand(g.added, g.addSubRanks)) << board->ConsoleText();
    ASSERT_EQ(EventCount(fw::EVENT_EXPANSION_STARTED), 1);
    ASSERT_EQ(fw::fIsExpansionInProgress(), fw::TRUE) << "nothing left to overlap the load";
    uint64_t lAhead = 0, lBehind = 0;
    WriteLoad(
        oldSpec.lBlocks, 400, 5,
        [&](uint32_t) {
            if (fw::fIsExpansionInProgress() == fw::TRUE) (X().lWrite > oldSpec.lBlocks / 2 ? lBehind : lAhead)++;
        },
        [] { return false; });
    EXPECT_GT(lAhead, 0u);
    for (unsigned i = 1; i <= g.added; ++i) chassis->DriveAt(oldSpec.bDrives + i)->SetExtraLatencyNs(0);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    this->Settle();
    // What the host had out on either layout is off the array's counts.
    for (uint8_t r : {uint8_t(0), fw::EXPANSION_RANK}) {
        EXPECT_EQ(fw::dGetRankWritesInProgress(r), 0u) << "rank " << int(r);
        EXPECT_EQ(fw::dGetRankReadsInProgress(r), 0u) << "rank " << int(r);
    }
    EXPECT_EQ(EventCount(fw::EVENT_EXPANSION_COMPLETE), 1);
    EXPECT_EQ(fw::bGetExpansionPercent(), 100);
    ASSERT_NO_FATAL_FAILURE(ExpectCommitted());
}

const Growth kGrowths[] = {
    {"Raid5PlusOne", {"r5", fw::RAID_LEVEL_5, 4, 16, 0, true, 48 * 512}, 1, 0},
    {"Raid0PlusOne", {"r0", fw::RAID_LEVEL_0, 3, 16, 0, true, 48 * 512}, 1, 0},
    {"Raid10PlusTwo", {"r10", fw::RAID_LEVEL_10, 4, 16, 0, true, 32 * 512}, 2, 0},
    {"Raid6PlusOne", {"r6", fw::RAID_LEVEL_6, 5, 16, 0, true, 48 * 512}, 1, 0},
    {"Raid5PlusThree", {"r5b", fw::RAID_LEVEL_5, 4, 16, 0, true, 48 * 512}, 3, 0},
    {"Raid5IntoRaid50", {"r50", fw::RAID_LEVEL_5, 3, 16, 0, true, 32 * 512}, 3, 1},
};
INSTANTIATE_TEST_SUITE_P(Levels, GrowthRoad, ::testing::ValuesIn(kGrowths),
                         [](const auto& info) { return std::string(info.param.pszName); });

// Without host traffic the drives show the two geometries meeting at W at
// any moment, and the restripe ends as the model says.
TEST_F(ExpansionRoad, TheDrivesHoldBothGeometriesMeetingAtTheWritePosition) {
    ASSERT_NO_FATAL_FAILURE(BootArray({"r5", fw::RAID_LEVEL_5, 4, 16, 0, false, 48 * 256}));
    for (uint64_t x = 0; x < oldSpec.lBlocks; x += 512) Write(x, 512, uint32_t(x) + 7);
    Settle();
    chassis->DriveAt(5)->SetExtraLatencyNs(300'000);
    ASSERT_TRUE(Expand(1)) << board->ConsoleText();
    const uint64_t S = RowDataBlocks(newSpec);
    for (uint64_t target : {S, 3 * S, 40 * S}) {
        board->RunUntil([&] { return X().lWrite >= target; }, 60 * kSecond);
        ASSERT_NO_FATAL_FAILURE(ExpectLayoutAt(X().lWrite));
    }
    chassis->DriveAt(5)->SetExtraLatencyNs(0);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectCommitted());
}

// With the window's host-I/O setting off, the rank's host commands wait
// for as long as the restripe runs and go on after it.
TEST_F(ExpansionRoad, WithHostIoOffInTheWindowHostsWaitForTheCommit) {
    ASSERT_NO_FATAL_FAILURE(BootArray({"r0", fw::RAID_LEVEL_0, 3, 16, 0, false, 48 * 256}));
    Write(100, 8, 1);
    fw::SetStoredOptionBC(fw::FALSE);
    chassis->DriveAt(4)->SetExtraLatencyNs(300'000);
    ASSERT_TRUE(Expand(1));
    sim::FcpCommand c;
    c.cdb = Cdb(fw::SCSI_READ10, 100, 8);
    c.dataInLength = 8 * kBlock;
    const uint32_t tag = host->Submit(c);
    board->RunUntil([] { return false; }, kSecond / 10);
    EXPECT_EQ(fw::fIsExpansionInProgress(), fw::TRUE);
    EXPECT_FALSE(host->initiator().Finished(tag)) << "answered inside the restripe";
    chassis->DriveAt(4)->SetExtraLatencyNs(0);
    const sim::FcpResult r = host->Wait(tag, 120 * kSecond);
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(fw::fIsExpansionInProgress(), fw::TRUE);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    fw::SetStoredOptionBC(fw::TRUE);
}

// A block the old layout cannot read ends the restripe neither in a hang
// nor in silence: after bounded retries its page is written as zeros and
// listed as bad at its address, and the rest of the row is kept.
TEST_F(ExpansionRoad, AnUnreadableBlockBecomesAKnownBadBlockAndTheRestMoves) {
    ASSERT_NO_FATAL_FAILURE(BootArray({"r0", fw::RAID_LEVEL_0, 3, 16, 0, false, 48 * 256}));
    for (uint64_t x = 0; x < oldSpec.lBlocks; x += 512) Write(x, 512, uint32_t(x) + 9);
    Settle();
    // Host block 4800 of the old layout, on its drive.
    const raidref::Place p = PlaceIn(oldSpec, 4800);
    chassis->DriveAt(1 + p.member)->InjectMediaError(p.block, 1);
    ASSERT_TRUE(Expand(1));
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    EXPECT_GE(EventCount(fw::EVENT_EXPANSION_UNREADABLE), 1);
    EXPECT_EQ(fw::UpdateBadBlockList(4800, 1, 0, fw::BAD_BLOCK_CHECK_ONLY), fw::TRUE);
    EXPECT_EQ(fw::UpdateBadBlockList(4800 + 8, 1, 0, fw::BAD_BLOCK_CHECK_ONLY), fw::FALSE);
    // Every other block of the drive arrived.
    for (uint64_t x = 4096; x < 5120; ++x) {
        if (x / 8 == 4800 / 8) continue;
        const raidref::Place q = PlaceIn(newSpec, x);
        std::vector<uint8_t> v(kBlock);
        chassis->DriveAt(1 + q.member)->ReadBlocks(q.block, 1, v.data());
        ASSERT_TRUE(v == Expected(x)) << "block " << x;
    }
}

// The window around W: a command at or past W + 8 rows uses the old layout,
// one ending below the lower edge the new one, one in between waits; the
// partner's progress messages that fit no expansion here change nothing.
TEST_F(ExpansionRoad, TheWindowAndThePartnersMessagesJudgeByTheRecordedRow) {
    ASSERT_NO_FATAL_FAILURE(BootArray({"r5", fw::RAID_LEVEL_5, 4, 16, 0, false, 48 * 256}));
    chassis->DriveAt(5)->SetExtraLatencyNs(300'000);
    ASSERT_TRUE(Expand(1));
    const uint64_t S = RowDataBlocks(newSpec);
    board->RunUntil([&] { return X().lWrite >= 40 * S; }, 60 * kSecond);
    const uint64_t W = X().lWrite;
    const uint64_t L = W - 32 * S;
    struct Case {
        uint64_t lba;
        uint16_t blocks;
        uint8_t want;
    } cases[] = {
        {W + 8 * S, 1, fw::TRUE},      {W + 8 * S - 1, 1, fw::EXPANSION_WINDOW_BUSY},
        {W, 16, fw::EXPANSION_WINDOW_BUSY}, {L - 16, 16, fw::FALSE},
        {L - 16, 17, fw::EXPANSION_WINDOW_BUSY}, {0, 1, fw::FALSE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fw::bCheckExpansionWindow(c.lba, nullptr, c.blocks), c.want) << c.lba << "+" << c.blocks;
    }
    fw::SetStoredOptionBC(fw::FALSE);
    EXPECT_EQ(fw::bCheckExpansionWindow(0, nullptr, 1), fw::EXPANSION_WINDOW_WAIT);
    fw::SetStoredOptionBC(fw::TRUE);

    uint8_t abBefore[12];
    fw::CopyExpansionNvRecord(abBefore);
    const auto Message = [](uint8_t rank, uint64_t position) {
        std::array<uint8_t, fw::EXPANSION_MESSAGE_BYTES> ab{fw::EXPANSION_MESSAGE_PROGRESS, fw::TRUE, fw::TRUE, rank};
        for (unsigned i = 0; i < 8; ++i) ab[4 + i] = uint8_t(position >> (8 * i));
        return ab;
    };
    for (const auto& m : {Message(7, 0), Message(0, newSpec.lBlocks + S), Message(0, S + 1)}) {
        EXPECT_EQ(fw::HandleExpansionMessage(m.data()), 0);
    }
    uint8_t abAfter[12];
    fw::CopyExpansionNvRecord(abAfter);
    EXPECT_EQ(std::memcmp(abBefore, abAfter, sizeof abAfter), 0);
    EXPECT_EQ(X().lWrite, W);
    board->RunUntil([] { return false; }, kSecond / 1000);
    EXPECT_NE(board->ConsoleText().find("Expansion message 87 ignored"), std::string::npos);
    chassis->DriveAt(5)->SetExtraLatencyNs(0);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
}

// Once the array has grown, its logical drive grows into the new space
// (its last segment taken to the array's new end, as the operator's tools
// write it): hosts see the new size, what they wrote before the expansion
// reads back, and the new blocks take writes up to the last one.
TEST_F(ExpansionRoad, ALogicalDriveGrownIntoTheNewSpaceServesHosts) {
    const ArraySpec a = {"r5", fw::RAID_LEVEL_5, 4, 16, 0, false, 48 * 256};
    ASSERT_NO_FATAL_FAILURE(BootArray(a));
    for (uint64_t x = 0; x < a.lBlocks; x += 1000) ASSERT_NO_FATAL_FAILURE(Write(x, 48, uint32_t(x) + 3));
    Settle();
    ASSERT_TRUE(Expand(1)) << board->ConsoleText();
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    const uint64_t lGrown = newSpec.lBlocks;
    ASSERT_EQ(fw::pGetConfigImage()->asRank[0].lLastOffset + 1, lGrown);
    {
        cfgbuild::Builder b(*board);
        ASSERT_TRUE(b.OpenEdit());
        fw::SEGMENT_MAP map{};
        fw::BuildLdFreeSpaceMap(fw::pGetScratchConfigImage(), fw::FALSE, &map);
        ASSERT_LT(map.wFirstFreeEntry, map.dEntryCount);
        const fw::SEGMENT_MAP_ENTRY& free = map.asEntry[map.wFirstFreeEntry];
        EXPECT_EQ(free.lStart, a.lBlocks);
        EXPECT_EQ(free.lEnd + 1, lGrown);
        fw::LD_SEGMENT& seg = fw::pGetScratchConfigImage()->asLd[0].asSegment[0];
        seg.lEnd = free.lEnd;
        seg.lLastOffset = seg.lEnd - seg.lStart;
        fw::SetConfigModified(fw::TRUE);
        ASSERT_TRUE(b.Commit()) << board->ConsoleText();
    }
    sim::FcpResult r;
    for (int i = 0; i < 4; ++i) {
        r = host->Send(0, Cdb(fw::SCSI_READ_CAPACITY10, 0, 0), {}, 8);
        if (r.outcome == sim::FcpResult::Outcome::Done && r.status == 0) break;
    }
    ASSERT_EQ(r.status, 0) << SenseText(r);
    ASSERT_EQ(r.dataIn.size(), 8u);
    EXPECT_EQ(fw::dGetBe32(r.dataIn.data()), lGrown - 1);
    for (uint64_t x = 0; x < a.lBlocks; x += 1000) ASSERT_NO_FATAL_FAILURE(ExpectRead(x, 48));
    const uint64_t alNew[] = {a.lBlocks - 24, a.lBlocks + 1000, lGrown - 48};
    for (uint64_t x : alNew) ASSERT_NO_FATAL_FAILURE(Write(x, 48, uint32_t(x) + 5));
    Settle();
    for (uint64_t x : alNew) ASSERT_NO_FATAL_FAILURE(ExpectRead(x, 48));
    spec = newSpec;
    touchedRows.clear();
    for (uint64_t x : alNew) touchedRows.insert(x / RowBlocks());
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    r = host->Send(0, Cdb(fw::SCSI_READ10, lGrown, 1), {}, kBlock);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION) << "read past the end";
}

// ---- power cuts -------------------------------------------------------------

struct Cut {
    const char* pszName;
    uint64_t row;            // the cut comes while W is at this new row
    uint64_t nvramStores;    // after this many NVRAM stores (0: a drive write)
    unsigned slot;           // else during this drive's next write
    uint32_t blocks;         // of which these reach the medium
    bool inPlace = false;    // armed once the row's save is out: its in-place write is cut
    bool commit = false;     // armed once the last row is written: the commit is cut
};

class ExpansionCutRoad : public ExpansionFixture<RestartRoad>, public ::testing::WithParamInterface<Cut> {
protected:
    void SetUp() override {
        chassisOptions.drives = 6;
        RestartRoad::SetUp();
    }
};

TEST_P(ExpansionCutRoad, ARestartResumesAtTheRecordedRowAndEndsAsWithoutTheCut) {
    const Cut& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(BootArray({"r5", fw::RAID_LEVEL_5, 4, 16, 0, false, 48 * 128}));
    for (uint64_t x = 0; x < oldSpec.lBlocks; x += 512) Write(x, 512, uint32_t(x) + 11);
    Settle();
    chassis->DriveAt(5)->SetExtraLatencyNs(300'000);
    ASSERT_TRUE(Expand(1)) << board->ConsoleText();
    const uint64_t S = RowDataBlocks(newSpec);
    board->RunUntil(
        [&] {
            if (c.commit) return X().bState == fw::EXPANSION_COMMIT_WAIT;
            return X().lWrite >= c.row * S && (!c.inPlace || X().bTransfer == fw::EXPANSION_XFER_SAVE_HEADER);
        },
        60 * kSecond);
    if (!c.commit) {
        ASSERT_EQ(X().lWrite, c.row * S) << "passed the row before the cut was armed";
    }
    if (c.nvramStores != 0) {
        board->nvram().CutPowerAfterWrites(c.nvramStores);
    } else {
        chassis->DriveAt(c.slot)->CutPowerDuringNextWrite(c.blocks);
    }
    board->RunUntil([] { return false; }, 60 * kSecond);
    ASSERT_EQ(board->lastStop(), sim::StopKind::PowerCut) << "the power never failed";
    chassis->DriveAt(5)->SetExtraLatencyNs(0);
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    // (A cut in the commit may find the committed image on the drives.)
    if (!c.commit) {
        EXPECT_GE(EventCount(fw::EVENT_EXPANSION_RESTARTED), 1) << board->ConsoleText();
    }
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    Settle();
    ASSERT_NO_FATAL_FAILURE(ExpectCommitted());
}

const Cut kCuts[] = {
    // Row 0 overwrites old rows still holding data: its save, its header
    // and its in-place write are each cut.
    {"FirstRowSaveWrite", 0, 0, 1, 7},
    {"FirstRowNvramCopy", 0, 3, 0, 0},
    {"FirstRowNvramSelector", 0, 13, 0, 0},
    {"SecondRowDriveWrite", 1, 0, 5, 9},
    {"SecondRowInPlaceWrite", 1, 0, 5, 9, true},
    {"ThirdRowInPlaceWrite", 2, 0, 5, 3, true},
    // On a drive of the old layout the cut in-place write spoils data not
    // yet moved: only the save brings the row back.
    {"SecondRowInPlaceWriteOnAnOldDrive", 1, 0, 2, 9, true},
    {"LaterRowDriveWrite", 20, 0, 2, 5},
    {"LaterRowNvramCopy", 20, 6, 0, 0},
    {"LaterRowNvramSelector", 20, 13, 0, 0},
    // The committed image on its way to the drives.
    {"CommitDriveWrite", 0, 0, 2, 1, false, true},
    {"CommitNvram", 0, 1, 0, 0, false, true},
};
INSTANTIATE_TEST_SUITE_P(Cuts, ExpansionCutRoad, ::testing::ValuesIn(kCuts),
                         [](const auto& info) { return std::string(info.param.pszName); });

// A record whose position is off a new row: nothing moves on a guessed
// boundary, the event says why, and the rank's commands wait.
class ExpansionRecordRoad : public ExpansionFixture<RestartRoad> {
protected:
    void SetUp() override {
        chassisOptions.drives = 6;
        RestartRoad::SetUp();
    }
};

TEST_F(ExpansionRecordRoad, ARecordOffANewRowHoldsTheArray) {
    ASSERT_NO_FATAL_FAILURE(BootArray({"r5", fw::RAID_LEVEL_5, 4, 16, 0, false, 48 * 128}));
    chassis->DriveAt(5)->SetExtraLatencyNs(300'000);
    ASSERT_TRUE(Expand(1));
    const uint64_t S = RowDataBlocks(newSpec);
    board->RunUntil([&] { return X().lWrite >= 10 * S; }, 60 * kSecond);
    board->nvram().CutPowerAfterWrites(1);
    board->RunUntil([] { return false; }, 10 * kSecond);
    ASSERT_EQ(board->lastStop(), sim::StopKind::PowerCut);
    Stop();
    {
        // Both copies name a position three blocks into a row.
        std::fstream f(dir / "nvram.bin", std::ios::in | std::ios::out | std::ios::binary);
        for (uint32_t copy : {0x38Au, 0x396u}) {
            f.seekp(copy + 4);
            const uint64_t l = 10 * S + 3;
            for (unsigned i = 0; i < 8; ++i) f.put(char(l >> (8 * i)));
        }
    }
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    chassis->DriveAt(5)->SetExtraLatencyNs(0);
    ASSERT_NO_FATAL_FAILURE(StartController());
    board->RunUntil([] { return false; }, kSecond / 2);
    EXPECT_EQ(EventCount(fw::EVENT_EXPANSION_RECORD_INVALID), 1);
    EXPECT_EQ(EventCount(fw::EVENT_EXPANSION_RESTARTED), 0);
    EXPECT_EQ(X().bState, fw::EXPANSION_HELD);
    EXPECT_EQ(X().lWrite, 10 * S + 3);
    EXPECT_EQ(fw::bCheckExpansionWindow(0, nullptr, 1), fw::EXPANSION_WINDOW_WAIT);
}

// The operator asks at the console to delete the array while it grows: the
// deletion is refused, the log names the expansion, and the array stays.
TEST_F(ExpansionRoad, DeletingTheGrowingArrayAtTheConsoleIsRefused) {
    const ArraySpec a = {"r5", fw::RAID_LEVEL_5, 4, 16, 0, false, 48 * 256};
    ASSERT_NO_FATAL_FAILURE(BootArray(a));
    chassis->DriveAt(5)->SetExtraLatencyNs(5'000'000);
    ASSERT_TRUE(Expand(1)) << board->ConsoleText();
    for (const char* psz : {"\x05", "1\r", "1\r", "3\r", "0\r"}) {
        for (const char* pc = psz; *pc != 0; ++pc) {
            board->TypeKeys(std::string_view(pc, 1));
            board->RunFor(2'000'000);
        }
    }
    ASSERT_EQ(fw::fIsExpansionInProgress(), fw::TRUE);
    uint16_t wCount = 0, wNext = 0, wRefusals = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    for (uint16_t w = 0; w < wCount; ++w) {
        const auto* ps = fw::psGetEventLogEntry(w);
        if (ps->bCode != 158) continue;
        ++wRefusals;
        EXPECT_EQ(ps->abArgs[1], 1) << "the reason: array expansion";
    }
    EXPECT_EQ(wRefusals, 1) << board->ConsoleText();
    EXPECT_EQ(fw::pGetScratchConfigImage()->sHeader.wRankCount, 1);
}

// ---- arrays beside an expanding one -------------------------------------------

// Two arrays, each with its logical drive: array 0 on slots 1..D0, array 1
// on the slots after it, logical drive 1 at LUN 1.
class TwoArrayExpansionRoad : public ExpansionFixture<HostRoad> {
protected:
    TwoArrayExpansionRoad() {
        chassisOptions.drives = 10;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
    }
    void BootTwo(const ArraySpec& a0, const ArraySpec& a1) {
        std::vector<uint8_t> ab = Configuration(a0);
        fw::CONFIG_IMAGE* ps = copytest::Image(ab);
        CompleteRecord(a0, &ps->asRank[0]);
        fw::CONFIG_RANK_RECORD& r = ps->asRank[1];
        r = ps->asRank[0];
        r.bRankNumber = 1;
        r.bRaidLevel = a1.bLevel;
        r.bDriveCount = a1.bDrives;
        r.wChunkSize = a1.wChunk;
        r.lStartAddress = a0.lBlocks;
        r.lLastOffset = a1.lBlocks - 1;
        std::memset(r.aabMemberWwn, 0, sizeof r.aabMemberWwn);
        for (uint8_t m = 0; m < a1.bDrives; ++m) {
            const auto w = DriveWwn(*chassis, a0.bDrives + m + 1u);
            std::memcpy(r.aabMemberWwn[m], w.data(), 8);
        }
        CompleteRecord(a1, &r);
        ps->sHeader.wRankCount = 2;
        ps->sHeader.wLdCount = 2;
        fw::CONFIG_LD_RECORD& l = ps->asLd[1];
        l = ps->asLd[0];
        l.wLdNumber = 1;
        l.wDefaultLun = 1;
        l.wLdId = 0x8001;
        l.asSegment[0].lStart = a0.lBlocks;
        l.asSegment[0].lLastOffset = a1.lBlocks - 1;
        l.asSegment[0].lEnd = a0.lBlocks + a1.lBlocks - 1;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= unsigned(a0.bDrives + a1.bDrives); ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        Start();
        oldSpec = a0;
    }
    // The command, again after a unit attention (a LUN's first command, or
    // its inventory changed).
    sim::FcpResult Settled(uint16_t lun, const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& out, uint32_t in) {
        sim::FcpResult r;
        for (int i = 0; i < 4; ++i) {
            r = host->Send(lun, cdb, out, in);
            if (r.outcome != sim::FcpResult::Outcome::Done || r.status != fw::SCSI_STATUS_CHECK_CONDITION ||
                r.sense.size() < 3 || (r.sense[2] & 0x0F) != fw::SENSE_UNIT_ATTENTION) {
                break;
            }
        }
        return r;
    }
    // Random runs over the LUN's blocks, kept.
    void Fill(uint16_t lun, uint64_t blocks, uint32_t seed) {
        for (uint64_t x = 0; x < blocks; x += 256) {
            const std::vector<uint8_t> data = Random(256, seed + uint32_t(x));
            const sim::FcpResult r = Settled(lun, Cdb(fw::SCSI_WRITE10, x, 256), data, 0);
            ASSERT_EQ(r.status, 0) << "lun " << lun << " block " << x << SenseText(r);
            kept[{lun, x}] = data;
        }
    }
    void ExpectKept(uint16_t lun) {
        for (const auto& [where, data] : kept) {
            if (where.first != lun) continue;
            const sim::FcpResult r = Settled(lun, Cdb(fw::SCSI_READ10, where.second, 256), {}, 256 * kBlock);
            ASSERT_EQ(r.status, 0) << "lun " << lun << " block " << where.second << SenseText(r);
            ASSERT_TRUE(r.dataIn == data) << "lun " << lun << " block " << where.second;
        }
    }
    // Grows the array by the drive of the slot; the restripe is kept slow.
    bool Grow(uint8_t bArray, unsigned slot) {
        chassis->DriveAt(slot)->SetExtraLatencyNs(300'000);
        cfgbuild::Builder b(*board);
        if (!b.OpenEdit()) return false;
        fw::EXPANSION_REQUEST r{};
        r.bArray = bArray;
        r.bAddDrives = 1;
        r.fAddSubRanks = fw::FALSE;
        if (!cfgbuild::Builder::SlotWwn(slot, r.aabWwn[0]) || fw::ExpandArray(&r) != fw::STATUS_OK) return false;
        return b.Commit();
    }
    bool DeleteAndCommit(uint8_t bArray) {
        cfgbuild::Builder b(*board);
        if (!b.OpenEdit()) return false;
        fw::DeleteArray(bArray);
        // Bounded: a commit that never ends fails here rather than hangs.
        fw::RequestConfigUpdate(fw::REQUESTER_EDITOR);
        return b.WaitIdle(5 * kSecond) && fw::bGetConfigCommitResult() == fw::STATUS_OK;
    }
    std::map<std::pair<uint16_t, uint64_t>, std::vector<uint8_t>> kept;
};

const ArraySpec kLower = {"a0", fw::RAID_LEVEL_0, 2, 16, 0, false, 32 * 256};
const ArraySpec kUpper = {"a1", fw::RAID_LEVEL_5, 4, 16, 0, false, 48 * 256};

// The array below grows: the logical drive of the array above moves up by
// what it gained and serves its data there.
TEST_F(TwoArrayExpansionRoad, TheNextArraysLogicalDriveMovesUpWithIt) {
    ASSERT_NO_FATAL_FAILURE(BootTwo(kLower, kUpper));
    ASSERT_NO_FATAL_FAILURE(Fill(0, kLower.lBlocks, 11));
    ASSERT_NO_FATAL_FAILURE(Fill(1, kUpper.lBlocks, 21));
    Settle();
    ASSERT_TRUE(Grow(0, 7)) << board->ConsoleText();
    chassis->DriveAt(7)->SetExtraLatencyNs(0);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    EXPECT_EQ(EventCount(fw::EVENT_EXPANSION_COMPLETE), 1);
    const uint64_t lGrown = kLower.lBlocks / 2 * 3;
    EXPECT_EQ(fw::pGetConfigImage()->asRank[0].lLastOffset + 1, lGrown);
    EXPECT_EQ(fw::pGetConfigImage()->asRank[1].lStartAddress, lGrown);
    EXPECT_EQ(fw::pGetConfigImage()->asLd[1].asSegment[0].lStart, lGrown);
    ASSERT_NO_FATAL_FAILURE(ExpectKept(0));
    ASSERT_NO_FATAL_FAILURE(ExpectKept(1));
}

// Deleting the array below the expanding one: the deletion's commit waits
// for the rows to move (hosts cannot be drained around a moving window),
// and the expansion's own commit lands in the edit under the array's new
// number, so the saved deletion does not start it again.
TEST_F(TwoArrayExpansionRoad, DeletingAnArrayBelowWaitsForTheExpansionAndKeepsItDone) {
    ASSERT_NO_FATAL_FAILURE(BootTwo(kLower, kUpper));
    ASSERT_NO_FATAL_FAILURE(Fill(1, kUpper.lBlocks, 21));
    Settle();
    ASSERT_TRUE(Grow(1, 7)) << board->ConsoleText();
    ASSERT_EQ(X().bRank, 1);
    ASSERT_EQ(fw::fIsExpansionInProgress(), fw::TRUE);
    chassis->DriveAt(7)->SetExtraLatencyNs(0);
    ASSERT_TRUE(DeleteAndCommit(0)) << board->ConsoleText();
    ASSERT_EQ(EventCount(fw::EVENT_EXPANSION_RECORD_INVALID), 0) << "the saved edit started the expansion again";
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    EXPECT_EQ(EventCount(fw::EVENT_EXPANSION_COMPLETE), 1);
    EXPECT_EQ(fw::bGetRankCount(), 1);
    const fw::CONFIG_IMAGE& image = *fw::pGetConfigImage();
    EXPECT_EQ(image.sHeader.fExpansionActive, fw::FALSE);
    EXPECT_EQ(image.asRank[0].bDriveCount, 5);
    EXPECT_EQ(image.asRank[0].lStartAddress, 0u);
    EXPECT_NE(fw::bGetRankOperationState(0), fw::RANK_STATE_EXPANDING);
    // The logical drive went down with its array and kept its LUN.
    ASSERT_NO_FATAL_FAILURE(ExpectKept(1));
}

// A parity check runs on the upper array while the lower one is deleted
// (the console refuses that while a check runs; management may): the
// deletion's commit finds the check between two rows rather than waiting
// for its end, the check goes on under the array's new number and at its
// moved addresses, finds no error though a host writes the array on the
// way, and ends once.
TEST_F(TwoArrayExpansionRoad, ADeletionBelowAParityCheckRenumbersItAndItGoesOn) {
    ASSERT_NO_FATAL_FAILURE(BootTwo(kLower, kUpper));
    ASSERT_NO_FATAL_FAILURE(Fill(1, kUpper.lBlocks, 41));
    Settle();
    for (unsigned slot = 3; slot <= 6; ++slot) chassis->DriveAt(slot)->SetExtraLatencyNs(2'000'000);
    ASSERT_EQ(fw::StartParityCheck(1, fw::PARITY_MODE_CHECK, fw::FALSE), fw::STATUS_OK);
    board->RunUntil([] { return fw::dGetParityCheckPosition() > 0; }, 5 * kSecond);
    ASSERT_GT(fw::dGetParityCheckPosition(), 0u);
    ASSERT_TRUE(DeleteAndCommit(0)) << board->ConsoleText();
    EXPECT_EQ(fw::bGetRankCount(), 1);
    ASSERT_EQ(fw::fIsParityCheckInProgress(), fw::TRUE) << "the commit waited for the check to end";
    EXPECT_EQ(fw::bGetParityCheckRank(), 0);
    const uint32_t dAtCommit = fw::dGetParityCheckPosition();
    EXPECT_LT(dAtCommit, fw::dGetParityCheckLastPosition());
    // Rows ahead of the check and behind it, written while it runs.
    ASSERT_NO_FATAL_FAILURE(Fill(1, 1024, 43));
    for (unsigned slot = 3; slot <= 6; ++slot) chassis->DriveAt(slot)->SetExtraLatencyNs(0);
    board->RunUntil([] { return fw::fIsParityCheckInProgress() != fw::TRUE; }, 30 * kSecond);
    EXPECT_NE(fw::fIsParityCheckInProgress(), fw::TRUE);
    EXPECT_EQ(EventCount(67), 1);
    EXPECT_EQ(EventCount(68), 1);
    EXPECT_EQ(fw::dGetParityCheckErrorCount(), 0u);
    uint16_t wCount = 0, wNext = 0, wEnd = 0, wChanged = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    for (uint16_t w = 0; w < wCount; ++w) {
        if (fw::psGetEventLogEntry(w)->bCode == 68) wEnd = w;
        if (fw::psGetEventLogEntry(w)->bCode == 47) wChanged = w;
    }
    EXPECT_LT(wChanged, wEnd);
    ASSERT_NO_FATAL_FAILURE(ExpectKept(1));
}

// Deleting the expanding array ends its expansion: nothing is left in
// NVRAM and the other array serves on.
TEST_F(TwoArrayExpansionRoad, DeletingTheExpandingArrayEndsTheExpansion) {
    ASSERT_NO_FATAL_FAILURE(BootTwo(kLower, kUpper));
    ASSERT_NO_FATAL_FAILURE(Fill(0, kLower.lBlocks, 31));
    Settle();
    ASSERT_TRUE(Grow(1, 7)) << board->ConsoleText();
    ASSERT_TRUE(DeleteAndCommit(1)) << board->ConsoleText();
    board->RunUntil([this] { return Done(); }, 10 * kSecond);
    EXPECT_TRUE(Done());
    EXPECT_EQ(fw::bGetNvramExpansionFlag(), fw::FALSE);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.fExpansionActive, fw::FALSE);
    EXPECT_EQ(EventCount(fw::EVENT_EXPANSION_COMPLETE), 0);
    EXPECT_EQ(fw::bGetRankCount(), 1);
    ASSERT_NO_FATAL_FAILURE(ExpectKept(0));
}

// A new drive just large enough: its last block is the old member size plus
// the room every member keeps at its end (the configuration copy and the
// blocks around it).  One block less is refused; this one takes the
// restripe without any read of an old member past the old member size, and
// the configuration the drives hold after it starts the controller again.
TEST_F(ExpansionRoad, ANewDriveOfTheLeastSizeTakesTheExpansion) {
    // 250 old rows of 48 blocks: the new rows of 64 do not end with them,
    // and the last one read through the old layout reaches past its end.
    const ArraySpec a = {"r5", fw::RAID_LEVEL_5, 4, 16, 0, false, 48 * 250};
    const uint64_t lMember = a.lBlocks / 3;
    for (unsigned slot : {5u, 6u}) {
        sim::DriveConfig config = sim::Chassis::DefaultDriveConfig(slot, chassisOptions);
        config.blocks = lMember + fw::MEMBER_END_RESERVE + (slot == 5 ? 1 : 0);
        chassis->Pull(slot);
        chassis->Insert(slot, config);
    }
    ASSERT_NO_FATAL_FAILURE(BootArray(a));
    for (uint64_t x = 0; x < a.lBlocks; x += 480) ASSERT_NO_FATAL_FAILURE(Write(x, 480, uint32_t(x) + 7));
    Settle();
    // Slot 6's last block is one short.
    {
        cfgbuild::Builder b(*board);
        ASSERT_TRUE(b.OpenEdit());
        fw::EXPANSION_REQUEST r{};
        r.bAddDrives = 1;
        r.fAddSubRanks = fw::FALSE;
        ASSERT_TRUE(cfgbuild::Builder::SlotWwn(6, r.aabWwn[0]));
        EXPECT_EQ(fw::ExpandArray(&r), 0);
        ASSERT_TRUE(cfgbuild::Builder::SlotWwn(5, r.aabWwn[0]));
        ASSERT_EQ(fw::ExpandArray(&r), fw::STATUS_OK);
        uint64_t lPastOldMember = 0;
        for (unsigned slot = 1; slot <= 4; ++slot) {
            chassis->DriveAt(slot)->onCommand = [&, slot](std::span<const uint8_t> cdb) {
                const bool f16 = cdb[0] == fw::SCSI_READ16;
                if (cdb[0] != fw::SCSI_READ10 && !f16) return;
                const uint64_t lba = f16 ? fw::lGetBe64(cdb.data() + 2) : fw::dGetBe32(cdb.data() + 2);
                const uint64_t blocks = f16 ? fw::dGetBe32(cdb.data() + 10) : fw::wGetBe16(cdb.data() + 7);
                // Data reads only: the configuration copies lie far beyond,
                // and the save area's two rows right past the member size
                // are the new layout's (its header is read to be updated).
                const uint64_t lSaveEnd = lMember + 2u * a.wChunk;
                const bool fSaveArea = lba >= lMember && lba + blocks <= lSaveEnd;
                if (lba + blocks > lMember && !fSaveArea &&
                    lba < chassis->ConfigAt(slot)->blocks - fw::MEMBER_END_RESERVE) {
                    ++lPastOldMember;
                }
            };
        }
        ASSERT_TRUE(b.Commit()) << board->ConsoleText();
        newSpec = a;
        newSpec.bDrives = 5;
        newSpec.lBlocks = lMember * 4;
        ASSERT_NO_FATAL_FAILURE(RunToEnd());
        for (unsigned slot = 1; slot <= 4; ++slot) chassis->DriveAt(slot)->onCommand = nullptr;
        EXPECT_EQ(lPastOldMember, 0u);
    }
    EXPECT_EQ(EventCount(fw::EVENT_EXPANSION_COMPLETE), 1);
    ASSERT_NO_FATAL_FAILURE(ExpectCommitted());
    // Slot 5 among the members; the drives' configuration starts the
    // controller with the grown array.
    Restart();
    EXPECT_EQ(fw::pGetConfigImage()->asRank[0].bDriveCount, 5);
    for (uint64_t x = 0; x < a.lBlocks; x += 2400) ASSERT_NO_FATAL_FAILURE(ExpectRead(x, 2400));
}

}  // namespace
