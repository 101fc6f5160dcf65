// The drives' media take no more writes (their spare blocks used up) while
// acknowledged writes are in the write-back cache only: the drives answer
// every write that needs new blocks MEDIUM ERROR from then on.  The
// controller keeps the data and tries again; what it must give up is
// recorded as lost blocks, which reads answer with an error and an event
// names.  Every block the host saw written either reads back or is
// reported lost, now and after restarts: never old data or zeros with GOOD.
#include "cache/nvram_journal.h"
#include "config/bad_blocks.h"
#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/rank_table.h"
#include "harness/dispatch_board.h"
#include "host_road.h"

namespace {

using namespace roadtest;

constexpr uint8_t kCachedDataLost = 101;
constexpr uint8_t kMediumError = 178;
constexpr uint64_t kRunNs = 120'000'000'000ull;

class FullMedium : public CachedWritesRoad {
protected:
    // Every drive's medium takes `bytes` more and fails the rest.
    void FillTheDisk(uint64_t bytes) {
        for (unsigned m = 1; m <= spec.bDrives; ++m) {
            chassis->DriveAt(m)->RefuseWritesAfter(bytes, sim::Drive::Refusal::MediumError);
        }
    }
    // Each block written reads back as the host wrote it, or its read ends
    // in an error; the blocks that ended in an error.
    uint32_t ExpectWrittenOrReportedLost() {
        uint32_t lost = 0;
        for (const auto& [lba, blocks] : written) {
            for (uint32_t b = 0; b < blocks; ++b) {
                const sim::FcpResult r = road->Send(sim::FcpCommand::To(0, Cdb(fw::SCSI_READ10, lba + b, 1), {}, kBlock), kRunNs);
                EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "read of block " << lba + b << " never answered";
                if (r.outcome != sim::FcpResult::Outcome::Done) return lost;
                if (r.status != fw::SCSI_STATUS_GOOD) {
                    EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION) << "block " << lba + b;
                    EXPECT_EQ(r.sense.size() >= 3 ? r.sense[2] & 0x0F : 0, fw::SENSE_MEDIUM_ERROR)
                        << "block " << lba + b << SenseText(r);
                    ++lost;
                    continue;
                }
                const std::vector<uint8_t> expected = Expected(lba + b);
                EXPECT_TRUE(r.dataIn.size() == kBlock && std::equal(r.dataIn.begin(), r.dataIn.end(), expected.begin()))
                    << "block " << lba + b << " read GOOD but is not what was written";
            }
        }
        return lost;
    }
    // What the controller could not keep is on the drives once the
    // configuration it asked to write is there.  (A power cut before that
    // would lose the record: see the note on the window in the
    // architecture document.)
    void LetTheConfigurationReachTheDrives() {
        board->RunUntil([] { return fw::fIsConfigUpdatePending() != fw::TRUE && fw::fIsConfigCommitInProgress() != fw::TRUE; },
                        kRunNs);
        ASSERT_NE(fw::fIsConfigUpdatePending(), fw::TRUE);
        ASSERT_NE(fw::fIsConfigCommitInProgress(), fw::TRUE);
        ASSERT_EQ(fw::bGetConfigCommitResult(), fw::STATUS_OK) << "no drive took the configuration";
    }
};

// The disk stays full: the controller gives the cached writes up after its
// tries, records them as lost and goes on serving what it has; a restart on
// the same full disk and one after room was made find the same.
TEST_P(FullMedium, CachedWritesTheDisksRefuseAreKeptOrReportedLost) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    ASSERT_NO_FATAL_FAILURE(WriteIntoTheCache(11));
    const uint32_t lostEvents = harness::CountEvents(kCachedDataLost) + harness::CountEvents(kMediumError);
    FillTheDisk(0);
    board->RunUntil([] { return fw::wCountCachedOwnExtents(nullptr) == 0; }, kRunNs);
    EXPECT_EQ(fw::wCountCachedOwnExtents(nullptr), 0) << "the cache never gave up the writes the disks refuse";
    uint32_t lost = 0;
    {
        SCOPED_TRACE("the disk full");
        lost = ExpectWrittenOrReportedLost();
    }
    EXPECT_GT(lost, 0u);
    EXPECT_GT(harness::CountEvents(kCachedDataLost) + harness::CountEvents(kMediumError), lostEvents);

    // Still full at the next start, and then with room again.
    ASSERT_NO_FATAL_FAILURE(LetTheConfigurationReachTheDrives());
    Stop();
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    FillTheDisk(0);
    ASSERT_NO_FATAL_FAILURE(Start());
    {
        SCOPED_TRACE("restarted on the full disk");
        EXPECT_EQ(ExpectWrittenOrReportedLost(), lost);
    }
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    SCOPED_TRACE("restarted with room");
    EXPECT_EQ(ExpectWrittenOrReportedLost(), lost);
    Settle();
}

// The disk refuses for a while and then takes writes again (room was made
// before the controller gave up): nothing is lost where a member can be
// done without.
class RoomMadeAgain : public FullMedium {};

TEST_P(RoomMadeAgain, CachedWritesGoOutOnceTheDisksTakeWritesAgain) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    ASSERT_NO_FATAL_FAILURE(WriteIntoTheCache(21));
    const uint32_t lostEvents = harness::CountEvents(kCachedDataLost);
    FillTheDisk(0);
    board->RunFor(200'000'000ull);
    FillTheDisk(UINT64_MAX);
    board->RunUntil([] { return fw::wCountCachedOwnExtents(nullptr) == 0; }, kRunNs);
    EXPECT_EQ(ExpectWrittenOrReportedLost(), 0u);
    EXPECT_EQ(harness::CountEvents(kCachedDataLost), lostEvents);
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    EXPECT_EQ(ExpectWrittenOrReportedLost(), 0u);
    Settle();
}

// RAID 0: the member the first refused write failed takes the array with
// it.  The writes still cached can go nowhere: they are given up and
// recorded lost after their tries, as a restart's flush would record them,
// rather than sent round the write-ready stage for ever with every read of
// their blocks waiting behind them.  The array's other blocks answer as its
// logical drive does now: LOGICAL UNIT NOT SUPPORTED, rather than never.
TEST_F(FullMedium, OnAFailedRaid0TheCachedWritesAreRecordedLost) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 3, 16}));
    ASSERT_NO_FATAL_FAILURE(WriteIntoTheCache(11));
    FillTheDisk(0);
    board->RunUntil([] { return fw::wCountCachedOwnExtents(nullptr) == 0; }, kRunNs);
    EXPECT_EQ(fw::wCountCachedOwnExtents(nullptr), 0) << "the cache never gave up the writes the disks refuse";
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_FAILED);
    const fw::BAD_BLOCK_TABLES* psTables = fw::pGetBadBlockTables();
    ASSERT_GT(psTables->wBadBlockTotal, 0);
    for (uint16_t i = 0; i < psTables->wBadBlockTotal; ++i) {
        const fw::BAD_BLOCK_RANGE& r = psTables->asBadBlock[i];
        for (uint64_t b = r.lStart; b < r.lStart + r.wLength; ++b) {
            const sim::FcpResult read = road->Send(sim::FcpCommand::To(0, Cdb(fw::SCSI_READ10, b, 1), {}, kBlock), kRunNs);
            ASSERT_EQ(read.outcome, sim::FcpResult::Outcome::Done) << "read of block " << b << " never answered";
            EXPECT_EQ(SenseText(read), " sense 3/11/01") << "block " << b;
        }
    }
    // Every other block answers as the writes to a failed array do: the
    // first and last of each chunk of the rows written, and each block
    // written that was not lost.
    auto isLost = [psTables](uint64_t b) {
        for (uint16_t i = 0; i < psTables->wBadBlockTotal; ++i) {
            const fw::BAD_BLOCK_RANGE& r = psTables->asBadBlock[i];
            if (b >= r.lStart && b < r.lStart + r.wLength) return true;
        }
        return false;
    };
    std::vector<uint64_t> others;
    for (uint64_t x = 0; x < RowBlocks() * 8; x += spec.wChunk) others.insert(others.end(), {x, x + spec.wChunk - 1});
    for (const auto& [lba, blocks] : written) {
        for (uint32_t b = 0; b < blocks; ++b) others.push_back(lba + b);
    }
    for (const uint64_t b : others) {
        if (isLost(b)) continue;
        const sim::FcpResult read = road->Send(sim::FcpCommand::To(0, Cdb(fw::SCSI_READ10, b, 1), {}, kBlock), kRunNs);
        ASSERT_EQ(read.outcome, sim::FcpResult::Outcome::Done) << "read of block " << b << " never answered";
        EXPECT_EQ(SenseText(read), " sense 5/25/00") << "block " << b;
    }
    Settle();
}

// Every level that can do without a member: a member failed for a refused
// write may be followed by the others, which refuse alike; whatever is
// failed or lost, nothing the host saw written reads back wrong.
const ArraySpec kRedundantLevels[] = {
    {"Raid10", fw::RAID_LEVEL_10, 4, 16},
    {"Raid5", fw::RAID_LEVEL_5, 4, 16},
    {"Raid6", fw::RAID_LEVEL_6, 5, 16},
};
INSTANTIATE_TEST_SUITE_P(Levels, FullMedium, ::testing::ValuesIn(kRedundantLevels),
                         [](const auto& info) { return std::string(info.param.pszName); });
INSTANTIATE_TEST_SUITE_P(Levels, RoomMadeAgain, ::testing::ValuesIn(kRedundantLevels),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
