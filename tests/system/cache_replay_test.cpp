// Writes answered GOOD from the write-back cache survive the end of the
// program: with the cache battery charged the data banks keep them, and the
// next start of day writes them to the drives (event 99 ... 100) and makes
// the stripes of the writes in flight consistent (44 ... 45) before any host
// command is served.  With the battery flat they are reported lost (101) and
// nothing of the banks reaches the drives.
#include <fstream>

#include "cache/nvram_journal.h"
#include "hw/xor_accelerator.h"
#include "console/console_menu.h"
#include "executive/system_state.h"
#include "host_road.h"
#include "harness/dispatch_board.h"
#include "harness/fc_array_controller.h"
#include "sim/xor_accelerator.h"

namespace {

using namespace roadtest;

constexpr uint8_t kResyncStarted = 44;
constexpr uint8_t kResyncCompleted = 45;
constexpr uint8_t kFlushStarted = 99;
constexpr uint8_t kFlushCompleted = 100;
constexpr uint8_t kCachedDataLost = 101;

struct Counts {
    uint32_t flushStarted, flushCompleted, resyncStarted, resyncCompleted, lost;
    static Counts Now() {
        return {harness::CountEvents(kFlushStarted), harness::CountEvents(kFlushCompleted),
                harness::CountEvents(kResyncStarted), harness::CountEvents(kResyncCompleted),
                harness::CountEvents(kCachedDataLost)};
    }
};

// One flush and one resync since `before`, and nothing reported lost.
void ExpectOneReplaySince(const Counts& before) {
    const Counts after = Counts::Now();
    EXPECT_EQ(after.lost, before.lost);
    EXPECT_EQ(after.flushStarted, before.flushStarted + 1);
    EXPECT_EQ(after.flushCompleted, before.flushCompleted + 1);
    EXPECT_EQ(after.resyncStarted, before.resyncStarted + 1);
    EXPECT_EQ(after.resyncCompleted, before.resyncCompleted + 1);
}

class ReplayRoad : public RestartRoad, public ::testing::WithParamInterface<ArraySpec> {
protected:
    // Write-back writes of random lengths, some overlapping, answered GOOD;
    // the program ends while some are still in the cache only.
    void WriteAndCut(uint32_t count, uint32_t seed) {
        std::mt19937 rng(seed);
        const uint64_t span = RowBlocks() * 6;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t blocks = 1 + rng() % (2 * spec.wChunk);
            Write(rng() % (span - blocks), blocks, seed + i, i % 2 == 0);
        }
        ASSERT_GT(fw::wCountCachedOwnExtents(nullptr), 0) << "everything reached the drives before the cut";
        before = Counts::Now();
    }
    Counts before{};
};

TEST_P(ReplayRoad, CachedWritesAreWrittenAtTheNextStartWithTheBatteryCharged) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    ASSERT_NO_FATAL_FAILURE(WriteAndCut(12, 40));
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    ExpectOneReplaySince(before);
    // On the drives before the host's first command was answered.
    ExpectDrivesMatchReference();
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 6));
    Settle();
}

TEST_P(ReplayRoad, CachedWritesAreReportedLostWithTheBatteryFlat) {
    boardConfig.cacheBatteryCharged = false;
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    ASSERT_NO_FATAL_FAILURE(WriteAndCut(12, 40));
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    const Counts after = Counts::Now();
    EXPECT_EQ(after.lost, before.lost + 1);
    EXPECT_EQ(after.flushStarted, before.flushStarted);
    // Nothing of the lost cache (garbage) reached the drives, and the rows
    // the interrupted writes touched are consistent again.
    ExpectDrivesConsistentWithSomeVersion();
}

// Journal slots a restart cannot trust (a damaged NVRAM, or a configuration
// that changed under them): an array that is gone, no blocks or more than
// a write carries, a buffer outside the banks, an address in no logical
// drive.  None is written anywhere;
// each is reported lost (101) and released, and the slots that name real
// writes are replayed as usual.
class BadJournalRoad : public RestartRoad {};

TEST_F(BadJournalRoad, SlotsNamingNothingAreReportedLostAndReleased) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16}));
    std::mt19937 rng(5);
    for (uint32_t i = 0; i < 12; ++i) {
        const uint32_t blocks = 1 + rng() % 32;
        Write(rng() % (RowBlocks() * 6 - blocks), blocks, 70 + i);
    }
    std::vector<uint32_t> damaged;
    for (uint16_t w = 0; w < fw::NVRAM_QUEUE_USED_SLOTS && damaged.size() < 5; ++w) {
        const fw::NVRAM_QUEUE_ENTRY* ps = fw::psGetNvramQueueEntry(fw::TRUE, w);
        if (ps->fValid == fw::TRUE && ps->fHoldsData == fw::TRUE) damaged.push_back(fw::dNvramQueueSlotOffset(fw::TRUE, w));
    }
    ASSERT_EQ(damaged.size(), 5u) << "too few writes in the cache only";
    const Counts before = Counts::Now();
    Stop();
    {
        std::fstream f(dir / "nvram.bin", std::ios::in | std::ios::out | std::ios::binary);
        const auto put = [&](uint32_t offset, std::initializer_list<uint8_t> bytes) {
            f.seekp(offset);
            for (uint8_t b : bytes) f.put(static_cast<char>(b));
        };
        put(damaged[0] + offsetof(fw::NVRAM_QUEUE_ENTRY, bRank), {63});
        put(damaged[1] + offsetof(fw::NVRAM_QUEUE_ENTRY, abBlockCount), {0, 0});
        put(damaged[2] + offsetof(fw::NVRAM_QUEUE_ENTRY, abBlockCount), {0xFF, 0xFF});
        put(damaged[3] + offsetof(fw::NVRAM_QUEUE_ENTRY, abBufferHandle), {0xF0, 0xFF, 0xFF, 0x7F});
        put(damaged[4] + offsetof(fw::NVRAM_QUEUE_ENTRY, abFirstBlock), {0, 0, 0, 0, 0, 0, 0, 0x40});
    }
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    ASSERT_NO_FATAL_FAILURE(Start());
    Settle();
    EXPECT_GT(Counts::Now().lost, before.lost);
    EXPECT_EQ(ValidJournalSlots(), 0u);
    // Every block holds a version some write sent, or its zeros; every row
    // is consistent.
    ExpectDrivesConsistentWithSomeVersion();
}

// A member whose writes fail while the cache is replayed: on a redundant
// array it leaves the array and the writes are done again without it,
// nothing lost; on RAID 0 nothing can stand in, and the cached data is
// reported lost rather than the replay never ending.
TEST_P(ReplayRoad, AMemberFailingDuringTheReplayLosesNothingItCanStandIn) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    ASSERT_NO_FATAL_FAILURE(WriteAndCut(12, 40));
    Stop();
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    chassis->DriveAt(2)->FailCommand(fw::SCSI_WRITE10, 1u << 30);
    ASSERT_NO_FATAL_FAILURE(Start());
    Settle();
    EXPECT_EQ(Counts::Now().lost, before.lost);
    EXPECT_NE(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_IN_SERVICE);
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 6));
}

TEST_F(BadJournalRoad, ARaid0MemberFailingDuringTheReplayReportsTheDataLost) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 3, 16}));
    // Every write has a chunk on the second member; none has block 0, which
    // the host reads when it connects again (a block lost reads MEDIUM ERROR).
    for (uint32_t i = 0; i < 6; ++i) Write(i * 48 + 8, 32, 80 + i);
    ASSERT_GT(fw::wCountCachedOwnExtents(nullptr), 0);
    const Counts before = Counts::Now();
    Stop();
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    chassis->DriveAt(2)->FailCommand(fw::SCSI_WRITE10, 1u << 30);
    ASSERT_NO_FATAL_FAILURE(Start());
    Settle();
    EXPECT_GT(Counts::Now().lost, before.lost);
    EXPECT_EQ(ValidJournalSlots(), 0u);
}

// The operator resets the controller from the console's Diagnostics Menu
// while acknowledged writes are in the cache only: the reset waits for them
// to reach the drives, so nothing is lost and nothing has to be replayed.
TEST_P(ReplayRoad, AMenuResetKeepsTheAcknowledgedWrites) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    ASSERT_NO_FATAL_FAILURE(WriteAndCut(12, 41));
    fw::SetDiagnosticsModeLevel(0);
    for (const char* psz : {"\x05", "2\r", "3\r", "1\r", "y\r"}) {
        board->TypeKeys(psz);
        ASSERT_EQ(board->RunFor(50'000'000ull), sim::StopKind::Running) << "reset before the journal drained";
    }
    EXPECT_EQ(fw::fIsShutdownPending(), fw::TRUE);
    EXPECT_EQ(board->RunFor(60'000'000'000ull), sim::StopKind::Reset) << board->ConsoleText();
    ExpectDrivesMatchReference();
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    EXPECT_EQ(Counts::Now().lost, before.lost);
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 6));
    Settle();
}

TEST_P(ReplayRoad, AManagementResetKeepsTheAcknowledgedWrites) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    ASSERT_NO_FATAL_FAILURE(WriteAndCut(12, 42));
    const std::vector<uint8_t> data = harness::FcArrayController::ManagementData({});
    const sim::FcpResult r = harness::FcArrayController::Settled(
        *host, 0, harness::FcArrayController::ManagementCdb(195, 1, 0, 0, static_cast<uint32_t>(data.size())), data);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    if (board->lastStop() == sim::StopKind::Running) (void)board->RunFor(60'000'000'000ull);
    EXPECT_EQ(board->lastStop(), sim::StopKind::Reset) << board->ConsoleText();
    ExpectDrivesMatchReference();
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    EXPECT_EQ(Counts::Now().lost, before.lost);
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 6));
    Settle();
}

// The XOR accelerator ends a chain with an error while acknowledged writes
// are in the cache only: parity it made may be wrong, so the controller
// resets at once, but the journal keeps the writes and the next start
// writes them out again with parity made anew.
TEST_F(BadJournalRoad, AnXorEngineFaultResetsWithoutLosingTheAcknowledgedWrites) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16}));
    std::mt19937 rng(43);
    for (uint32_t i = 0; i < 12; ++i) {
        const uint32_t blocks = 1 + rng() % 32;
        Write(rng() % (RowBlocks() * 6 - blocks), blocks, 90 + i, i % 2 == 0);
    }
    ASSERT_GT(fw::wCountCachedOwnExtents(nullptr), 0);
    const Counts before = Counts::Now();
    board->xorAccelerator().FailNextChain(fw::AAU_STATUS_BUS_ABORT);
    EXPECT_EQ(board->RunFor(60'000'000'000ull), sim::StopKind::Reset) << board->ConsoleText();
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    EXPECT_EQ(Counts::Now().lost, before.lost);
    ExpectDrivesMatchReference();
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 6));
    Settle();
}

// ---- power cuts under load ------------------------------------------------

// Where the power fails: after the k-th NVRAM byte store from the moment it
// is armed, or during the next write a drive receives (only its first
// blocks reaching the medium).
struct CutCase {
    const char* pszName;
    ArraySpec array;
    uint64_t nvramStores;   // 0: cut during a drive write instead
    unsigned slot;
    uint32_t blocks;
};

class PowerCutRoad : public RestartRoad, public ::testing::WithParamInterface<CutCase> {
protected:
    static constexpr uint64_t kRows = 24;
    // Write-back writes, 32 in flight, of random lengths over a few rows: a
    // write never overlaps one still in flight, but often one the cache
    // still holds.  The power fails somewhere in the middle; GOODs that
    // came back before are recorded.
    void RunUntilTheCut(const CutCase& c) {
        // Slow drives: the cache fills faster than it drains, so the cut
        // finds acknowledged writes that are in the cache only.
        for (unsigned m = 1; m <= spec.bDrives; ++m) chassis->DriveAt(m)->SetExtraLatencyNs(400'000);
        bool armed = false;
        const auto arm = [&](uint32_t answered) {
            if (armed || answered < 40) return;
            armed = true;
            if (c.nvramStores != 0) {
                board->nvram().CutPowerAfterWrites(c.nvramStores);
            } else {
                chassis->DriveAt(c.slot)->CutPowerDuringNextWrite(c.blocks);
            }
        };
        ASSERT_NO_FATAL_FAILURE(WriteLoad(RowBlocks() * kRows, 300, 91, arm,
                                          [this] { return board->lastStop() == sim::StopKind::PowerCut; }));
        // The cache drains to the drives after the last answer.
        if (board->lastStop() != sim::StopKind::PowerCut) {
            board->RunUntil([] { return false; }, 10'000'000'000ull);
        }
        ASSERT_EQ(board->lastStop(), sim::StopKind::PowerCut) << "the power never failed";
        ASSERT_GT(fw::wCountCachedOwnExtents(nullptr), 0) << "the cut found nothing in the cache only";
    }
    // What a block may hold after the cut: what its last acknowledged write
    // put there, or what a write still unanswered at the cut sent.
    void ExpectAcknowledgedWritesReadBack() {
        const uint64_t span = RowBlocks() * kRows;
        const sim::FcpResult r = host->Send(0, Cdb(fw::SCSI_READ10, 0, uint32_t(span)), {}, uint32_t(span) * kBlock);
        ASSERT_EQ(r.status, 0) << SenseText(r);
        for (uint64_t x = 0; x < span; ++x) {
            const std::vector<uint8_t> v(r.dataIn.begin() + x * kBlock, r.dataIn.begin() + (x + 1) * kBlock);
            if (v == Expected(x)) continue;
            // A later write to the block that had not been answered.
            auto it = versions.find(x);
            ASSERT_TRUE(it != versions.end()) << "block " << x;
            auto acked = reference.find(x);
            auto from = acked == reference.end() ? it->second.begin()
                                                 : std::find(it->second.begin(), it->second.end(), acked->second);
            ASSERT_TRUE(std::find(from, it->second.end(), v) != it->second.end())
                << "block " << x << " lost its acknowledged data";
        }
    }
};

TEST_P(PowerCutRoad, AcknowledgedWritesSurviveACutWithTheBatteryCharged) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam().array));
    ASSERT_NO_FATAL_FAILURE(RunUntilTheCut(GetParam()));
    const Counts before = Counts::Now();
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    ExpectOneReplaySince(before);
    EXPECT_FALSE(answeredDuringReplay);
    ExpectDrivesConsistentWithSomeVersion();
    ExpectAcknowledgedWritesReadBack();
}

// The same cut with the cache battery flat: what the cache held is
// reported lost, none of the garbage the banks power on with reaches a
// drive, and the rows of the writes that were under way are consistent
// again (their data is whatever version reached the drives).
TEST_P(PowerCutRoad, WithTheBatteryFlatTheLostCacheLeavesConsistentRows) {
    boardConfig.cacheBatteryCharged = false;
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam().array));
    ASSERT_NO_FATAL_FAILURE(RunUntilTheCut(GetParam()));
    const Counts before = Counts::Now();
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    const Counts after = Counts::Now();
    EXPECT_EQ(after.lost, before.lost + 1);
    EXPECT_EQ(after.flushStarted, before.flushStarted);
    EXPECT_EQ(after.resyncCompleted, before.resyncCompleted + 1);
    ExpectDrivesConsistentWithSomeVersion();
}

// The same cut, and at the restart a drive answers BUSY to the first reads
// the repair of the rows sends it: they are sent again until the drive
// takes them, the drive stays in its array, and every row is consistent.
class RepairRoad : public PowerCutRoad {};

TEST_P(RepairRoad, ADriveBusyWhileTheRowsAreRepairedIsWaitedFor) {
    boardConfig.cacheBatteryCharged = false;
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam().array));
    ASSERT_NO_FATAL_FAILURE(RunUntilTheCut(GetParam()));
    const Counts before = Counts::Now();
    Stop();
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    // Only the repair reads the rows' blocks at start of day.
    const uint64_t first = DataPlace(0).block;
    const uint64_t last = first + kRows * spec.wChunk;
    sim::Drive& drive = *chassis->DriveAt(GetParam().slot);
    uint32_t busy = 0;
    drive.onCommand = [&](std::span<const uint8_t> cdb) {
        if (busy != 0 || cdb[0] != fw::SCSI_READ10) return;
        const uint64_t lba = fw::dGetBe32(cdb.data() + 2);
        if (lba < first || lba >= last) return;
        busy = 20;
        drive.AnswerBusy(fw::SCSI_READ10, busy);
    };
    ASSERT_NO_FATAL_FAILURE(Start());
    drive.onCommand = nullptr;
    EXPECT_GT(busy, 0u) << "the repair read nothing of the drive";
    EXPECT_EQ(Counts::Now().resyncCompleted, before.resyncCompleted + 1);
    for (uint8_t m = 0; m < spec.bDrives; ++m) EXPECT_EQ(fw::bGetRankMemberFlags(0, m), fw::MEMBER_FLAGS_IN_SERVICE);
    ExpectDrivesConsistentWithSomeVersion();
}

// Cut during a drive's write, which leaves a row half written; that drive
// is then the busy one (on RAID 10 the first of its pair, which the repair
// copies onto the second).
const CutCase kRepairCuts[] = {
    {"Raid10", {"Raid10", fw::RAID_LEVEL_10, 4, 16}, 0, 1, 3},
    {"Raid5", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, 0, 3, 5},
};
INSTANTIATE_TEST_SUITE_P(Cuts, RepairRoad, ::testing::ValuesIn(kRepairCuts),
                         [](const auto& info) { return std::string(info.param.pszName); });

const CutCase kCuts[] = {
    {"Raid10AfterNvramStore40", {"Raid10", fw::RAID_LEVEL_10, 4, 16}, 40, 0, 0},
    {"Raid10DuringADriveWrite", {"Raid10", fw::RAID_LEVEL_10, 4, 16}, 0, 2, 3},
    {"Raid5AfterNvramStore7", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, 7, 0, 0},
    {"Raid5AfterNvramStore333", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, 333, 0, 0},
    {"Raid5DuringADriveWrite", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, 0, 3, 5},
    {"Raid50DuringADriveWrite", {"Raid50", fw::RAID_LEVEL_50, 6, 16, 2}, 0, 4, 1},
    {"Raid6AfterNvramStore120", {"Raid6", fw::RAID_LEVEL_6, 5, 16}, 120, 0, 0},
    {"Raid6DuringADriveWrite", {"Raid6", fw::RAID_LEVEL_6, 5, 16}, 0, 1, 7},
};
INSTANTIATE_TEST_SUITE_P(Cuts, PowerCutRoad, ::testing::ValuesIn(kCuts),
                         [](const auto& info) { return std::string(info.param.pszName); });

const ArraySpec kReplayLevels[] = {
    {"Raid10", fw::RAID_LEVEL_10, 4, 16},
    {"Raid5", fw::RAID_LEVEL_5, 4, 16},
    {"Raid6", fw::RAID_LEVEL_6, 5, 16},
};
INSTANTIATE_TEST_SUITE_P(Levels, ReplayRoad, ::testing::ValuesIn(kReplayLevels),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
