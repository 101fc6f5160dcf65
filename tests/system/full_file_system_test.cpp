// The file system under the drive images fills while acknowledged writes
// are in the write-back cache only, and is given room again later.  Nothing
// the host saw written is lost: the drives hold off the writes that need
// room, the controller keeps them and sends them again, refuses new host
// writes with a status hosts retry, says so on standard error and in its
// event log, and writes everything out once there is room, across a restart
// too.  No member is failed and no block is recorded lost.
#include "cache/nvram_journal.h"
#include "config/config_image.h"
#include "config/rank_table.h"
#include "executive/work_flags.h"
#include "harness/dispatch_board.h"
#include "host_road.h"
#include "raid/child_commands.h"
#include "raid/drive_error_recovery.h"

namespace {

using namespace roadtest;

constexpr uint8_t kCachedDataLost = 101;
constexpr uint8_t kMediumError = 178;
constexpr uint8_t kOutOfSpace = fw::EVENT_DRIVE_OUT_OF_SPACE;
constexpr uint64_t kRunNs = 120'000'000'000ull;

class FullFileSystem : public CachedWritesRoad {
protected:
    // The file system under every drive image has room for `bytes` more
    // (UINT64_MAX: room again).
    void Room(uint64_t bytes) {
        for (unsigned m = 1; m <= spec.bDrives; ++m) chassis->DriveAt(m)->RefuseWritesAfter(bytes);
    }
    void ExpectAllWrittenReadBack() {
        for (const auto& [lba, blocks] : written) ASSERT_NO_FATAL_FAILURE(ExpectRead(lba, blocks));
    }
    // While the disk is full every read is answered: with what was written,
    // or, when it would wait for a write the drives hold off, TASK SET FULL;
    // blocks no write holds are read from the drives.
    void ExpectReadsAnsweredWhileFull() {
        ASSERT_NO_FATAL_FAILURE(ExpectRead(RowBlocks() * 8 + 3, 40));
        for (const auto& [lba, blocks] : written) {
            const sim::FcpResult r = road->Send(0, Cdb(fw::SCSI_READ10, lba, blocks), {}, blocks * kBlock);
            ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "read " << lba << "+" << blocks << " never answered";
            if (r.status == fw::SCSI_STATUS_TASK_SET_FULL) continue;
            ASSERT_EQ(r.status, 0) << "read " << lba << "+" << blocks << SenseText(r);
            for (uint32_t i = 0; i < blocks; ++i) {
                ASSERT_TRUE(std::equal(r.dataIn.begin() + i * kBlock, r.dataIn.begin() + (i + 1) * kBlock,
                                       Expected(lba + i).begin()))
                    << "block " << lba + i;
            }
        }
    }
    // Nothing given up: every member in service, no loss recorded.
    void ExpectNothingLostOrFailed() {
        EXPECT_EQ(harness::CountEvents(kCachedDataLost), 0u);
        EXPECT_EQ(harness::CountEvents(kMediumError), 0u);
        EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
        for (uint8_t m = 0; m < spec.bDrives; ++m) EXPECT_EQ(fw::bGetRankMemberFlags(0, m), fw::MEMBER_ON_LINE) << int(m);
    }
    // The images that said on standard error that their writes wait.
    unsigned ImagesWaiting(const std::string& errors) const {
        unsigned n = 0;
        for (unsigned m = 1; m <= spec.bDrives; ++m) {
            const std::string line = "controller: " + chassis->DriveAt(m)->config().imagePath +
                                     ": the file system is full (No space left on device): the drive holds off the "
                                     "writes that need room, and the controller keeps them, until room is made\n";
            n += errors.find(line) != std::string::npos;
        }
        return n;
    }
};

// The disk fills under cached writes: they stay in the cache, sent again
// and again, while new writes are refused TASK SET FULL and reads are
// answered (from the cache, or TASK SET FULL where they would wait);
// once there is room they all reach the drives, whose rows then hold what the
// host wrote, and new writes are taken again.
TEST_P(FullFileSystem, AcknowledgedWritesWaitForRoomAndNoneIsLost) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    ASSERT_NO_FATAL_FAILURE(WriteIntoTheCache(11));
    testing::internal::CaptureStderr();
    Room(0);
    board->RunFor(30'000'000'000ull);
    EXPECT_GT(fw::wCountCachedOwnExtents(nullptr), 0) << "the cache let go of writes the drives never took";
    EXPECT_EQ(fw::fIsRankWaitingForSpace(0), fw::TRUE);
    ExpectNothingLostOrFailed();
    // One event for the array's wait, naming a member's drive.
    EXPECT_EQ(harness::CountEvents(kOutOfSpace), 1u);
    if (const fw::EVENT_LOG_ENTRY* ps = harness::NewestEvent(kOutOfSpace)) {
        EXPECT_EQ(ps->abArgs[8], fw::pGetConfigImage()->asRank[0].bRankNumber);
        EXPECT_LT(ps->abArgs[9], spec.bDrives);
        EXPECT_NE(ps->abArgs[10], 0xFF);
    }
    // A new write is refused with a status the host sends it again on.
    const std::vector<uint8_t> data = Random(8, 99);
    const sim::FcpResult refused = road->Send(0, Cdb(fw::SCSI_WRITE10, 3, 8), data);
    ASSERT_EQ(refused.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(refused.status, fw::SCSI_STATUS_TASK_SET_FULL);
    {
        SCOPED_TRACE("the disk full");
        ExpectReadsAnsweredWhileFull();
    }

    Room(UINT64_MAX);
    board->RunUntil([] { return fw::wCountCachedOwnExtents(nullptr) == 0; }, kRunNs);
    EXPECT_EQ(fw::wCountCachedOwnExtents(nullptr), 0);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ImagesWaiting(errors), spec.bDrives) << errors;
    EXPECT_NE(errors.find(": room again: the drive takes its writes\n"), std::string::npos) << errors;
    ExpectNothingLostOrFailed();
    {
        SCOPED_TRACE("room again");
        ExpectAllWrittenReadBack();
    }
    board->RunFor(uint64_t(fw::SPACE_WAIT_HOLD_MS) * 1'000'000);
    EXPECT_EQ(fw::fIsRankWaitingForSpace(0), fw::FALSE);
    ASSERT_NO_FATAL_FAILURE(Write(3, 8, 99));
    Settle();
    ExpectDrivesMatchReference();
}

// Cut while the disk is full: the next start finds the kept cache, and its
// replay waits on the full disk (its writes held off and sent again, host
// commands held behind it as in any replay) until there is room; then all
// of it is on the drives, nothing reported lost.
TEST_P(FullFileSystem, ARestartWhileFullKeepsTheCacheAndWritesItOutOnceThereIsRoom) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    ASSERT_NO_FATAL_FAILURE(WriteIntoTheCache(21));
    Room(0);
    board->RunFor(5'000'000'000ull);
    ASSERT_GT(ValidJournalSlots(), 0u);
    const uint32_t events = harness::CountEvents(kOutOfSpace);
    Stop();

    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    Room(0);
    ASSERT_NO_FATAL_FAILURE(StartController());
    board->RunFor(30'000'000'000ull);
    EXPECT_GT(ValidJournalSlots(), 0u) << "the replay let go of writes the drives never took";
    EXPECT_EQ(fw::fGetRetripeFlag(), fw::TRUE);
    EXPECT_EQ(harness::CountEvents(kOutOfSpace), events + 1);
    ExpectNothingLostOrFailed();

    Room(UINT64_MAX);
    board->RunUntil([] { return fw::fGetRetripeFlag() != fw::TRUE; }, kRunNs);
    ASSERT_NE(fw::fGetRetripeFlag(), fw::TRUE) << "the replay never ended";
    EXPECT_EQ(ValidJournalSlots(), 0u);
    ASSERT_NO_FATAL_FAILURE(ConnectHost());
    ExpectNothingLostOrFailed();
    ExpectAllWrittenReadBack();
    Settle();
    ExpectDrivesMatchReference();
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    ExpectAllWrittenReadBack();
    EXPECT_EQ(harness::CountEvents(kCachedDataLost), 0u);
}

const ArraySpec kLevels[] = {
    {"Raid10", fw::RAID_LEVEL_10, 4, 16},
    {"Raid5", fw::RAID_LEVEL_5, 4, 16},
    {"Raid6", fw::RAID_LEVEL_6, 5, 16},
};
INSTANTIATE_TEST_SUITE_P(Levels, FullFileSystem, ::testing::ValuesIn(kLevels),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
