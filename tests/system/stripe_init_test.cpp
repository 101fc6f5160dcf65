// The background stripe initialisation through the whole controller: small
// arrays whose members start as random garbage are initialised while a
// host writes ahead of, in and behind the walk.  At the end every row
// agrees with the layout model, every acknowledged write reads back, and
// rows nobody wrote hold zeros.  A power cut in the middle of a walk is
// resumed from the NVRAM progress without zeroing a row a host wrote.
#include <gtest/gtest.h>

#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/ld_table.h"
#include "config/nvram_records.h"
#include "config/nvram_tables.h"
#include "config/apply_settings.h"
#include "config/rank_table.h"
#include "enclosure/drive_rescan.h"
#include "eventlog/statistics.h"
#include "executive/progress.h"
#include "executive/tick.h"
#include "harness/config_builder.h"
#include "harness/fc_array_controller.h"
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
    void BeginNewArray(ArraySpec a, uint64_t lRows = kRows) {
        a.lBlocks = lRows * RowDataBlocks(a);
        ASSERT_NO_FATAL_FAILURE(this->Boot(a));
        FillGarbage(*this->chassis, a.bDrives, lRows * a.wChunk, 0xBAD);
        for (uint64_t r = 0; r < lRows; ++r) this->touchedRows.insert(r);
        fw::pGetConfigImage()->asRank[0].bInitState = 1;
        fw::pGetConfigImage()->asRank[0].fInitialized = fw::FALSE;
        (void)fw::RequestConfigUpdate(fw::REQUESTER_COMMIT);
        this->board->RunUntil([] { return fw::fIsConfigUpdatePending() != fw::TRUE && fw::fIsConfigCommitInProgress() != fw::TRUE; },
                              kSettleLimitNs);
        fw::SetRankInitPending(0, fw::TRUE);
        fw::ClearStripeInitNvProgress(0);
        fw::StartStripeInit(0, fw::STRIPE_INIT_NEW_ARRAY);
    }
    // A RAID 5 whose rows all hold host data, consistent but for the
    // parity of the rows `spoilt`, recorded as not yet initialised.
    void BeginWrittenArray(uint32_t seed, std::initializer_list<uint64_t> spoilt) {
        ArraySpec a = kLevels[0].spec;
        a.lBlocks = kRows * RowDataBlocks(a);
        ASSERT_NO_FATAL_FAILURE(this->Boot(a));
        this->FillConsistentRows(kRows, seed);
        const uint16_t h = this->spec.wChunk;
        std::vector<uint8_t> junk(h * kBlock, 0xC3);
        for (uint64_t row : spoilt) {
            const unsigned parity = this->ParityLayout().ParityMember(row, 0);
            this->chassis->DriveAt(this->SlotOfMember(parity))->WriteBlocks(row * h, h, junk.data());
        }
        fw::pGetConfigImage()->asRank[0].bInitState = 1;
        fw::pGetConfigImage()->asRank[0].fInitialized = fw::FALSE;
        fw::SetRankInitPending(0, fw::TRUE);
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

// A new array whose logical drive every port offers (as one made at the
// console) and whose writes share the cache's budget: while it initialises,
// a 34th write in flight waits for the array's share.  The cached writes
// ahead of it go on at once instead of waiting, seconds, for writes to join
// them that cannot start: a host keeping 40 writes in flight has each
// answered in a small part of that time, and all read back.
TEST_F(StripeInitRoad, WritesBeyondTheArraysShareWaitOnlyForTheDrives) {
    ASSERT_NO_FATAL_FAILURE(BeginNewArray(kLevels[0].spec, 1024));
    cfgbuild::Builder b(*board);
    ASSERT_TRUE(b.OpenEdit());
    fw::pGetScratchConfigImage()->asRank[0].bCachePolicy |= fw::POLICY_SHARED_OUTSTANDING;
    fw::pGetScratchConfigImage()->asLd[0].bAvailability = 0x0F;
    ASSERT_TRUE(b.Commit()) << board->ConsoleText();
    ASSERT_EQ(fw::bGetLogicalDriveBothControllers(0), fw::TRUE);
    ASSERT_EQ(fw::fIsRankPolicyBit6Set(0), fw::TRUE);
    constexpr uint32_t kWrites = 40;
    std::vector<std::pair<uint32_t, uint64_t>> tags;
    std::vector<std::vector<uint8_t>> data;
    for (uint32_t i = 0; i < kWrites; ++i) {
        // One row each, a row apart: no write waits for another's blocks.
        const uint64_t lba = (2 * i + 1) * RowBlocks() + i % 7;
        sim::FcpCommand cmd;
        cmd.cdb = Cdb(fw::SCSI_WRITE10, lba, 8);
        cmd.dataOut = Random(8, 0x4200 + i);
        NoteSent(lba, cmd.dataOut);
        data.push_back(cmd.dataOut);
        tags.emplace_back(host->Submit(cmd), lba);
    }
    uint64_t lSlowest = 0;
    for (uint32_t i = 0; i < kWrites; ++i) {
        const uint64_t lStart = board->clock().Now();
        const sim::FcpResult r = host->Wait(tags[i].first);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "write " << i;
        ASSERT_EQ(r.status, 0) << "write " << i << SenseText(r);
        lSlowest = std::max(lSlowest, board->clock().Now() - lStart);
        Record(tags[i].second, data[i]);
    }
    EXPECT_TRUE(Initialising()) << "the walk ended before the writes did";
    // A write held for joiners waits 3.5 s.
    EXPECT_LT(lSlowest, 500'000'000ull) << "a write waited " << lSlowest / 1'000'000 << " ms";
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    ASSERT_NO_FATAL_FAILURE(ExpectWritesReadBack());
}

// The advanced array settings typed at the console and saved: a trusted
// array keeps its data and starts no walk; an initialisation saved paused
// starts (event 51) and holds while a host reads and writes, and resumed
// it zeroes every row no host wrote since (event 52).
TEST_F(StripeInitRoad, InitialiseTrustAndPauseTypedAtTheConsoleReachTheWalk) {
    ArraySpec a = kLevels[0].spec;
    a.lBlocks = 256 * RowDataBlocks(a);
    ASSERT_NO_FATAL_FAILURE(Boot(a));
    for (uint32_t i = 0; i < 8; ++i) ASSERT_NO_FATAL_FAILURE(Write(i * 31 * RowBlocks(), 16, 0x3900 + i));
    Settle();
    const auto EditAndSave = [this](const std::string& keys) {
        harness::TypeAtConsole(*board, "\x05" "1\r");
        harness::TypeAtConsole(*board, keys);
        harness::TypeAtConsole(*board, "0\r");
        const std::string saved = harness::TypeAtConsole(*board, "Y\r");
        return saved.find("Saving Configuration") != std::string::npos && cfgbuild::Builder(*board).WaitIdle();
    };
    // Initialise, then trust before saving: nothing happens to the data.
    ASSERT_TRUE(EditAndSave("1\r" "7\r" "1\r" "0\r" "y\r" " " "2\r" "0\r" "y\r" " " "0\r" "0\r"));
    EXPECT_EQ(fw::pGetConfigImage()->asRank[0].bInitState, 0xFF);
    board->RunFor(200'000'000);
    EXPECT_FALSE(Initialising());
    EXPECT_EQ(EventCount(51), 0);
    ASSERT_NO_FATAL_FAILURE(ExpectWritesReadBack());

    // Initialise and pause in one edit: the walk starts and stays where it is.
    ASSERT_TRUE(EditAndSave("1\r" "7\r" "1\r" "0\r" "y\r" " " "3\r" "0\r" "y\r" " " "0\r" "0\r"));
    ASSERT_EQ(fw::fGetRankInitPaused(0), fw::TRUE);
    board->RunUntil([] { return EventCount(51) == 1; }, 5'000'000'000ull);
    ASSERT_EQ(EventCount(51), 1);
    ASSERT_TRUE(Initialising());
    // The data went with the initialisation.
    reference.clear();
    versions.clear();
    const uint8_t bPercent = fw::bGetStripeInitPercent(0);
    board->RunFor(50'000'000);
    for (uint32_t i = 0; i < 8; ++i) ASSERT_NO_FATAL_FAILURE(Write(i * 29 * RowBlocks() + 3, 24, 0x3A00 + i));
    for (uint32_t i = 0; i < 8; ++i) ASSERT_NO_FATAL_FAILURE(ExpectRead(i * 29 * RowBlocks() + 3, 24));
    board->RunFor(50'000'000);
    EXPECT_EQ(fw::bGetStripeInitPercent(0), bPercent) << "the paused walk went on";
    EXPECT_TRUE(Initialising());
    EXPECT_EQ(EventCount(52), 0);

    // Resumed: it ends, every row as the layout model says.
    ASSERT_TRUE(EditAndSave("1\r" "7\r" "3\r" "0\r" "n\r" " " "0\r" "0\r"));
    EXPECT_NE(fw::fGetRankInitPaused(0), fw::TRUE);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    EXPECT_EQ(EventCount(52), 1);
    for (uint64_t r = 0; r < 256; ++r) touchedRows.insert(r);
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    for (const auto& [x, data] : reference) ASSERT_TRUE(DataOnDrives(x) == data) << "block " << x;
}

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
    ASSERT_NO_FATAL_FAILURE(BeginWrittenArray(0x4EA5, {3, 64, 127}));
    fw::StartStripeInit(0, fw::STRIPE_INIT_RESUME_PARTNER);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    EXPECT_EQ(EventCount(52), 1);
}

// Array numbers move when an array below is deleted: a walk moves with its
// array to the new number, its progress, NVRAM selector and command with
// it, and nothing stays under the old number.  Moved there and back, the
// walk goes on to the end.
TEST_F(StripeInitRoad, ARenumberedWalkMovesWithItsArray) {
    ASSERT_NO_FATAL_FAILURE(BeginNewArray(kLevels[0].spec));
    board->RunUntil([] { return fw::bGetStripeInitPercent(0) >= 30; }, kSettleLimitNs);
    ASSERT_TRUE(Initialising());
    const fw::STRIPE_INIT_ENTRY before = *fw::psGetStripeInitEntry(0);
    const uint8_t bSelector = fw::bGetStripeInitSelector(0);
    auto image = std::make_unique<fw::CONFIG_IMAGE>(*fw::pGetConfigImage());
    image->sHeader.wRankCount = 2;
    const uint8_t abUp[2] = {0xFF, 0};
    fw::RenumberStripeInitEntries(image.get(), abUp);
    const fw::STRIPE_INIT_ENTRY& e1 = *fw::psGetStripeInitEntry(1);
    EXPECT_EQ(e1.lPosition, before.lPosition);
    EXPECT_EQ(e1.dCurrentStripe, before.dCurrentStripe);
    EXPECT_EQ(e1.dDoneBitmap, before.dDoneBitmap);
    ASSERT_NE(e1.psCommand, nullptr);
    EXPECT_EQ(e1.psCommand->bRank, 1);
    EXPECT_EQ(fw::fIsStripeInitInProgress(1), fw::TRUE);
    EXPECT_NE(fw::fIsStripeInitInProgress(0), fw::TRUE);
    EXPECT_EQ(fw::psGetStripeInitEntry(0)->psCommand, nullptr);
    EXPECT_EQ(fw::bGetStripeInitSelector(1), bSelector);
    EXPECT_EQ(fw::bGetStripeInitByte(1), fw::TRUE);
    const uint8_t abDown[2] = {1, 0xFF};
    fw::RenumberStripeInitEntries(image.get(), abDown);
    EXPECT_EQ(fw::psGetStripeInitEntry(0)->lPosition, before.lPosition);
    EXPECT_EQ(fw::psGetStripeInitEntry(0)->psCommand->bRank, 0);
    EXPECT_NE(fw::fIsStripeInitInProgress(1), fw::TRUE);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    EXPECT_EQ(EventCount(52), 1);
}

// The chunk size changed (and the pause lifted) in an edit saved while the
// walk is paused part way: the walk starts again over the rows of the new
// chunk, and every one of them ends zeroed and consistent.
TEST_F(StripeInitRoad, AChunkChangedDuringTheWalkStartsItAfresh) {
    // Rows enough for several of a quiet walk's bursts.
    constexpr uint64_t kManyRows = 512;
    ASSERT_NO_FATAL_FAILURE(BeginNewArray(kLevels[0].spec, kManyRows));
    board->RunUntil([] { return fw::bGetStripeInitPercent(0) >= 20; }, kSettleLimitNs);
    // Paused as a saved pause leaves it: the walk holds through the edit.
    fw::pGetConfigImage()->asRank[0].fInitPaused = fw::TRUE;
    fw::SetAllRanksInitPaused(fw::TRUE);
    cfgbuild::Builder b(*board);
    ASSERT_TRUE(b.OpenEdit());
    ASSERT_TRUE(Initialising());
    ASSERT_LT(fw::bGetStripeInitPercent(0), 90);
    fw::CONFIG_RANK_RECORD& r = fw::pGetScratchConfigImage()->asRank[0];
    r.wChunkSize = uint16_t(spec.wChunk * 2);
    r.dStripeSize *= 2;
    r.bInitState = 1;
    r.fInitPaused = fw::FALSE;
    ASSERT_TRUE(b.Commit()) << board->ConsoleText();
    ASSERT_EQ(EventCount(52), 0) << "the walk ended before the new chunk reached it";
    spec.wChunk = uint16_t(spec.wChunk * 2);
    touchedRows.clear();
    for (uint64_t row = 0; row < kManyRows / 2; ++row) touchedRows.insert(row);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    EXPECT_EQ(EventCount(52), 1);
}

// A walk that has seen no host for 20 coarse ticks zeroes 4096 blocks of
// every member a step, not a row: on 64-block chunks 64 rows a write, and
// single rows once the next burst would reach the end.
TEST_F(StripeInitRoad, AQuietWalkZeroesInBursts) {
    ArraySpec a = kLevels[0].spec;
    a.wChunk = 64;
    ASSERT_NO_FATAL_FAILURE(BeginNewArray(a));
    fw::psGetStripeInitEntry(0)->dHostStamp = fw::dGetCoarseTick() - 20;
    WatchDataCommands();
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    for (unsigned m = 0; m < spec.bDrives; ++m) {
        EXPECT_EQ(dataCommands[SlotOfMember(m)].writes, 1 + kRows / 2) << "member " << m;
        EXPECT_EQ(dataCommands[SlotOfMember(m)].reads, 0u) << "member " << m;
    }
}

// An idle controller whose array initialises waits for the drives while a
// step of the walk is out, as it waits for anything else: its main loop
// goes round for the drives' answers and the ticks, not without pause.
TEST_F(StripeInitRoad, AQuietWalkLetsTheMainLoopWaitForItsSteps) {
    ArraySpec a = kLevels[0].spec;
    a.wChunk = 64;
    constexpr uint64_t kBurstRows = 4096 / 64;
    ASSERT_NO_FATAL_FAILURE(BeginNewArray(a, 32 * kBurstRows));
    fw::psGetStripeInitEntry(0)->dHostStamp = fw::dGetCoarseTick() - 20;
    const uint32_t dCyclesBefore = fw::dMainLoopCycles;
    const uint64_t lBefore = board->clock().Now();
    board->RunUntil([] { return !Initialising(); }, kSettleLimitNs);
    ASSERT_FALSE(Initialising());
    const double dMs = double(board->clock().Now() - lBefore) * 1e-6;
    const double dPerMs = double(fw::dMainLoopCycles - dCyclesBefore) / dMs;
    // A burst keeps the drives busy 20 ms; the tick comes every ms.
    EXPECT_LT(dPerMs, 20.0) << "main-loop cycles per board millisecond";
    Settle();
}

// Bursts wait for 20 quiet coarse ticks after the rank's last host command
// and for the configuration and drive discovery to be at rest.
TEST_F(StripeInitRoad, BurstsWaitForQuietHostsAndAConfigurationAtRest) {
    ASSERT_NO_FATAL_FAILURE(BeginNewArray(kLevels[0].spec));
    fw::STRIPE_INIT_ENTRY& e = *fw::psGetStripeInitEntry(0);
    fw::NoteStripeInitHostActivity(0);
    EXPECT_EQ(e.dHostStamp, fw::dGetCoarseTick());
    // Past the walk and the configuration write and drive discovery that
    // follow it.
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    const auto fAtRest = [] {
        return fw::fIsDriveRescanInProgress() != fw::TRUE && fw::fIsDriveRescanRequested() != fw::TRUE &&
               fw::fGetConfigWriteWaitFlag() != fw::TRUE && fw::fIsConfigUpdatePending() != fw::TRUE &&
               fw::fIsConfigCommitInProgress() != fw::TRUE;
    };
    board->RunUntil(fAtRest, kSettleLimitNs);
    ASSERT_TRUE(fAtRest());
    e.dHostStamp = fw::dGetCoarseTick();
    EXPECT_EQ(fw::fStripeInitBurstAllowed(0), fw::FALSE);
    e.dHostStamp = fw::dGetCoarseTick() - 19;
    EXPECT_EQ(fw::fStripeInitBurstAllowed(0), fw::FALSE);
    e.dHostStamp = fw::dGetCoarseTick() - 20;
    EXPECT_EQ(fw::fStripeInitBurstAllowed(0), fw::TRUE);
    struct Busy {
        const char* what;
        void (*set)(uint8_t);
    };
    const Busy busy[] = {{"configuration update pending", &fw::SetConfigUpdatePending},
                         {"configuration write wait", &fw::SetConfigWriteWaitFlag},
                         {"host command hold", &fw::SetHostCommandHold},
                         {"drive rescan requested", &fw::SetDriveRescanRequest}};
    for (const Busy& b : busy) {
        b.set(fw::TRUE);
        EXPECT_EQ(fw::fStripeInitBurstAllowed(0), fw::FALSE) << b.what;
        b.set(fw::FALSE);
        EXPECT_EQ(fw::fStripeInitBurstAllowed(0), fw::TRUE) << b.what;
    }
    EXPECT_EQ(fw::fStripeInitBurstAllowed(fw::STRIPE_INIT_ALL_RANKS), fw::FALSE);
}

// While hosts are busy the walk may step only while its share of drive
// commands or of blocks is at most the configured one (50 here); message
// 187 (a host waits on the partner) lets one step through; 2001 ms without
// a host command frees it and starts its counts over.
TEST_F(StripeInitRoad, TheThrottleHoldsTheWalkToItsShareWhileHostsAreBusy) {
    ASSERT_NO_FATAL_FAILURE(Boot(kLevels[0].spec));
    ASSERT_EQ(fw::bGetInitPriority(), 50);
    // Idle hosts: the counts the start's drive commands made start over.
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::TRUE);
    fw::IncHostWritesInProgress();
    fw::SetLastHostCommandTime(fw::lGetTickCount());
    // Busy hosts and no counts yet: nothing to hold back.
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::TRUE);
    for (int i = 0; i < 4; ++i) fw::CountHostTransfer(8);
    for (int i = 0; i < 6; ++i) fw::CountInitTransfer(64);
    // 60 % of the commands and 92 % of the blocks.
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::FALSE);
    const uint8_t ab187[13] = {fw::STRIPE_INIT_MESSAGE_HOST_WAITS};
    EXPECT_EQ(fw::HandleStripeInitMessage(ab187), fw::STATUS_OK);
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::TRUE);
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::FALSE);
    // 50 % of the commands: the walk's share is not above the setting.
    for (int i = 0; i < 2; ++i) fw::CountHostTransfer(8);
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::TRUE);
    fw::CountInitTransfer(64);
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::FALSE);
    // 2000 ms after the last host command the hosts still count as busy.
    fw::SetLastHostCommandTime(fw::lGetTickCount() - 2000);
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::FALSE);
    fw::SetLastHostCommandTime(fw::lGetTickCount() - 2001);
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::TRUE);
    // The counts started over: one step of the walk alone is all of both.
    fw::SetLastHostCommandTime(fw::lGetTickCount());
    fw::CountHostTransfer(8);
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::TRUE);
    fw::CountInitTransfer(8);
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::TRUE) << "an even share is the setting";
    fw::CountInitTransfer(8);
    EXPECT_EQ(fw::fStripeInitMayProceed(), fw::FALSE);
    fw::DecHostWritesInProgress();
}

// NVRAM progress whose copy selector is neither copy cannot say which rows
// were done: the resumed walk recomputes every row from its data instead
// of zeroing the rows hosts wrote.
TEST_F(StripeInitRoad, AResumeWithABrokenProgressRecordRecomputesEveryRow) {
    ASSERT_NO_FATAL_FAILURE(BeginWrittenArray(0x7E11, {0, 5, 90}));
    fw::StoreStripeInitNvPosition(0, 64 * spec.wChunk);
    fw::SetStripeInitSelector(0, 0x55);
    fw::StartStripeInit(0, fw::STRIPE_INIT_RESUME);
    EXPECT_EQ(fw::psGetStripeInitEntry(0)->lPosition, 0u);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    EXPECT_EQ(EventCount(52), 1);
}

// A power cut may leave the walk's last steps unwritten on the drives
// while its NVRAM progress already names the position after them: the
// resumed walk starts two steps (two chunks of each member) back and does
// them again.
TEST_F(StripeInitRoad, AResumedWalkDoesTheTwoStepsBehindItsRecordedPositionAgain) {
    ASSERT_NO_FATAL_FAILURE(BeginNewArray(kLevels[0].spec));
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    const uint16_t h = spec.wChunk;
    std::mt19937 rng(62);
    std::vector<uint8_t> junk(2 * h * kBlock);
    for (unsigned s = 1; s <= spec.bDrives; ++s) {
        for (uint8_t& b : junk) b = static_cast<uint8_t>(rng());
        chassis->DriveAt(s)->WriteBlocks(62 * h, 2 * h, junk.data());
    }
    fw::pGetConfigImage()->asRank[0].bInitState = 1;
    fw::pGetConfigImage()->asRank[0].fInitialized = fw::FALSE;
    fw::SetRankInitPending(0, fw::TRUE);
    fw::StoreStripeInitNvPosition(0, 64 * h);
    fw::StartStripeInit(0, fw::STRIPE_INIT_RESUME);
    ASSERT_NO_FATAL_FAILURE(RunToEnd());
    ASSERT_NO_FATAL_FAILURE(ExpectRowsConsistent());
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
