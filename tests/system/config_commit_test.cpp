// Configuration edits committed on a running controller: what reaches the
// drives, what a restart loads, and how the writer copes with drives that
// fail it or resources that run out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cache/nvram_journal.h"
#include "config/config_db.h"
#include "config/config_state.h"
#include "config/config_writer.h"
#include "config/drive_tables.h"
#include "config/ld_table.h"
#include "config/nvram_layout.h"
#include "config/rank_table.h"
#include "config_copy.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/date_time.h"
#include "harness/dispatch_board.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "hw/scsi.h"
#include "raid/drive_error_recovery.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"
#include "harness/config_builder.h"

namespace {

using cfgbuild::ArraySpec;

constexpr uint8_t kEventConfigurationChanged = 47;
constexpr uint64_t kHost = 0x2100001B32A00001ull;

class ConfigCommitTest : public ::testing::Test {
protected:
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_TRUE(builder.WaitIdle());
    }

    uint64_t CopyBlock(unsigned uSlot) { return chassis.DriveAt(uSlot)->config().blocks - 1 - copytest::kCopyBlocksBeforeEnd; }

    std::vector<uint8_t> CopyOn(unsigned uSlot) {
        std::vector<uint8_t> ab(fw::CONFIG_IMAGE_SIZE);
        chassis.DriveAt(uSlot)->ReadBlocks(CopyBlock(uSlot), fw::CONFIG_IMAGE_BLOCKS, ab.data());
        return ab;
    }
    bool HoldsLiveImage(unsigned uSlot) {
        return std::memcmp(CopyOn(uSlot).data(), fw::pGetConfigImage(), fw::CONFIG_IMAGE_SIZE) == 0;
    }
    bool CopyIsValid(unsigned uSlot) {
        std::vector<uint8_t> ab = CopyOn(uSlot);
        return fw::fIsConfigImageValid(copytest::Image(ab)) == fw::TRUE;
    }
    // A copy of another configuration, as a drive that left an array keeps it.
    void PlaceStaleCopy(unsigned uSlot) {
        copytest::PlaceCopy(*chassis.DriveAt(uSlot), copytest::MakeCopy({3, 0x2000005AA5A00777ull, 1, 14, "STALE"}));
    }
    uint64_t Writes(unsigned uSlot) { return chassis.DriveAt(uSlot)->CommandCount(fw::SCSI_WRITE10); }

    sim::Chassis chassis;
    sim::Board board;
    cfgbuild::Builder builder{board};
};

// ---- one configuration of every RAID level ----

struct LevelCase {
    const char* pszName;
    ArraySpec sArray;
};

class ConfigCommitLevelTest : public ConfigCommitTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(ConfigCommitLevelTest, ArrayLogicalDriveMappingAndSpareReachEveryDrive) {
    const ArraySpec& s = GetParam().sArray;
    for (unsigned u = 1; u <= 8; ++u) PlaceStaleCopy(u);
    const uint32_t dEvents = harness::CountEvents(kEventConfigurationChanged);
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.CreateArray(s), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(2), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::MapToInitiator(kHost, {0}), fw::STATUS_OK);
    ASSERT_EQ(builder.AddGlobalSpare(8), fw::STATUS_OK);
    ASSERT_TRUE(builder.Commit());

    const fw::CONFIG_IMAGE* ps = fw::pGetConfigImage();
    EXPECT_EQ(ps->sHeader.wRankCount, 1);
    EXPECT_EQ(ps->sHeader.wLdCount, 1);
    EXPECT_EQ(ps->sHeader.wSanMapCount, 1);
    EXPECT_EQ(ps->sHeader.wSpareCount, 1);
    EXPECT_EQ(fw::fIsConfigImageValid(ps), fw::TRUE);
    EXPECT_EQ(harness::CountEvents(kEventConfigurationChanged), dEvents + 1);
    // The run-time tables follow the image.
    EXPECT_EQ(fw::bGetRankCount(), 1);
    EXPECT_EQ(fw::wGetLogicalDriveCount(), 1);
    EXPECT_EQ(fw::bGetHotSpareCount(), 1);
    EXPECT_EQ(fw::bGetLogicalDriveState(0), fw::LD_STATE_AVAILABLE);

    // Members hold the sealed image byte for byte; every other drive lost
    // its stale copy to one zeroed block.
    for (unsigned u = 1; u <= 8; ++u) {
        const bool fMember = std::find(s.slots.begin(), s.slots.end(), u) != s.slots.end();
        if (fMember) {
            EXPECT_TRUE(HoldsLiveImage(u)) << "slot " << u;
        } else {
            std::vector<uint8_t> ab = CopyOn(u);
            EXPECT_TRUE(std::all_of(ab.begin(), ab.begin() + 512, [](uint8_t b) { return b == 0; })) << "slot " << u;
            EXPECT_EQ(ab[512 + 2], 1) << "only one block is written (the stale first array record stays), slot " << u;
            EXPECT_FALSE(CopyIsValid(u)) << "slot " << u;
        }
    }
}

ArraySpec Spec(uint8_t bLevel, std::vector<unsigned> slots, uint8_t bSubRanks = 0) {
    ArraySpec s;
    s.bLevel = bLevel;
    s.slots = std::move(slots);
    s.bSubRanks = bSubRanks;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Levels, ConfigCommitLevelTest,
    ::testing::Values(LevelCase{"Raid0", Spec(fw::RAID_LEVEL_0, {1, 2, 3})},
                      LevelCase{"Raid1", Spec(fw::RAID_LEVEL_10, {1, 2})},
                      LevelCase{"Raid10", Spec(fw::RAID_LEVEL_10, {1, 2, 3, 4})},
                      LevelCase{"Raid5", Spec(fw::RAID_LEVEL_5, {1, 2, 3, 4})},
                      LevelCase{"Raid6", Spec(fw::RAID_LEVEL_6, {1, 2, 3, 4, 5})},
                      LevelCase{"Raid50", Spec(fw::RAID_LEVEL_50, {1, 2, 3, 4, 5, 6}, 2)}),
    [](const auto& info) { return std::string(info.param.pszName); });

// ---- restart, journals, generations ----

ArraySpec Raid5Of(std::vector<unsigned> slots) { return Spec(fw::RAID_LEVEL_5, std::move(slots)); }

// The arrays and logical drives of the live image as the configuration
// printout shows them.
std::string LayoutPrintout(sim::Board& board) {
    board.ClearConsoleText();
    const fw::CONFIG_IMAGE* ps = fw::pGetConfigImage();
    for (uint8_t r = 0; r < ps->sHeader.wRankCount; ++r) fw::PrintRankRecord(ps, r, fw::TRUE);
    for (uint16_t l = 0; l < ps->sHeader.wLdCount; ++l) fw::PrintLdRecord(ps, l);
    board.RunFor(200'000'000ull);
    return board.ConsoleText();
}

TEST_F(ConfigCommitTest, AControllerStartingOnTheDrivesLoadsWhatWasCommitted) {
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.CreateArray(Raid5Of({1, 2, 3, 4})), fw::STATUS_OK);
    ASSERT_EQ(builder.CreateArray(Spec(fw::RAID_LEVEL_10, {5, 6})), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(3, "FIRST"), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(2, "SECOND"), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::MapToInitiator(kHost, {1, 0}), fw::STATUS_OK);
    ASSERT_EQ(builder.AddGlobalSpare(7), fw::STATUS_OK);
    ASSERT_TRUE(builder.Commit());
    std::vector<uint8_t> abBody(fw::CONFIG_IMAGE_SIZE - 512);
    std::memcpy(abBody.data(), reinterpret_cast<const uint8_t*>(fw::pGetConfigImage()) + 512, abBody.size());
    const std::string layout = LayoutPrintout(board);
    ASSERT_NE(layout.find("Rank:01 RAID10"), std::string::npos) << layout;

    // The controller starts again on the same NVRAM and drives, with
    // nothing of its memory kept.
    board.ClearConsoleText();
    ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_EQ(std::memcmp(abBody.data(), reinterpret_cast<const uint8_t*>(fw::pGetConfigImage()) + 512, abBody.size()), 0);
    EXPECT_EQ(fw::bGetRankCount(), 2);
    EXPECT_EQ(fw::wGetLogicalDriveCount(), 2);
    EXPECT_EQ(fw::bGetHotSpareCount(), 1);
    EXPECT_EQ(LayoutPrintout(board), layout);
}

// As the controller program runs: NVRAM, board state and drive images in
// one data directory; the second controller is a new board and enclosure on
// the files the first one left.
TEST(ConfigCommitOnDisk, ANewControllerOnTheSameDataDirectoryLoadsTheSameConfiguration) {
    char acPattern[] = "/tmp/config-commit-XXXXXX";
    ASSERT_NE(mkdtemp(acPattern), nullptr);
    const std::string dir = acPattern;
    sim::BoardConfig sConfig;
    sConfig.dataDir = dir;
    sim::ChassisOptions sOptions;
    sOptions.directory = dir;
    std::string layout;
    {
        sim::Chassis chassis(sOptions);
        sim::Board board(sConfig);
        board.sasController().AttachChassis(&chassis);
        cfgbuild::Builder builder(board);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_TRUE(builder.OpenEdit());
        ASSERT_EQ(builder.CreateArray(Raid5Of({1, 2, 3, 4})), fw::STATUS_OK);
        ASSERT_EQ(builder.CreateArray(Spec(fw::RAID_LEVEL_6, {5, 6, 7, 8})), fw::STATUS_OK);
        ASSERT_EQ(cfgbuild::Builder::CreateLd(2, "ONE"), fw::STATUS_OK);
        ASSERT_EQ(cfgbuild::Builder::CreateLd(1, "TWO"), fw::STATUS_OK);
        ASSERT_TRUE(builder.Commit());
        layout = LayoutPrintout(board);
        ASSERT_NE(layout.find("Rank:01 RAID06"), std::string::npos) << layout;
    }
    sim::Chassis chassis(sOptions);
    sim::Board board(sConfig);
    board.sasController().AttachChassis(&chassis);
    cfgbuild::Builder builder(board);
    ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_EQ(fw::bGetRankCount(), 2);
    EXPECT_EQ(fw::wGetLogicalDriveCount(), 2);
    EXPECT_EQ(LayoutPrintout(board), layout);
    std::filesystem::remove_all(dir);
}

void PutJournalBytes(uint16_t wSlot, uint8_t bValue) {
    const uint8_t ab[8] = {bValue, bValue, bValue, bValue, bValue, bValue, bValue, bValue};
    fw::NvramWrite(NVRAM_OFFSET(abJournal) + 24u * wSlot + 16, ab, sizeof ab);
    fw::NvramWrite(NVRAM_OFFSET(abPartnerJournal) + 24u * wSlot + 16, ab, sizeof ab);
}
bool JournalBytesAre(uint16_t wSlot, uint8_t bValue) {
    for (uint8_t fOwn : {fw::TRUE, fw::FALSE}) {
        const uint8_t* pb = fw::pGetNvramJournalEntry(wSlot, fOwn) + 16;
        for (int i = 0; i < 8; ++i)
            if (pb[i] != bValue) return false;
    }
    return true;
}

TEST_F(ConfigCommitTest, TheFirstArrayClearsBothJournalsLaterCommitsDoNot) {
    PutJournalBytes(7, 0xA5);
    ASSERT_TRUE(builder.MakeArrayWithLd(Raid5Of({1, 2, 3}), 2));
    EXPECT_TRUE(JournalBytesAre(7, 0));
    PutJournalBytes(7, 0x5A);
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(cfgbuild::Builder::CreateLd(1), fw::STATUS_OK);
    ASSERT_TRUE(builder.Commit());
    EXPECT_TRUE(JournalBytesAre(7, 0x5A));
}

TEST_F(ConfigCommitTest, GenerationsFollowTheRequester) {
    ASSERT_TRUE(builder.MakeArrayWithLd(Raid5Of({1, 2, 3}), 2));
    EXPECT_NE(fw::pGetConfigImage()->sHeader.dGeneration, 0u);
    // An older generation in the live image: requester 12 keeps it and
    // writes the copies again, requester 2 seals with the time of the commit.
    fw::pGetConfigImage()->sHeader.dGeneration = 12345;
    const uint64_t lWrites = Writes(1);
    fw::RequestConfigUpdate(fw::REQUESTER_COMMIT_SAME_GENERATION);
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.dGeneration, 12345u);
    EXPECT_EQ(Writes(1), lWrites + 1);
    EXPECT_TRUE(HoldsLiveImage(1));
    fw::RequestConfigUpdate(fw::REQUESTER_COMMIT);
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.dGeneration, fw::dGetCurrentSeconds());
    EXPECT_TRUE(HoldsLiveImage(1));
}

// An internal request (the apply, a verify completion) arriving while an
// editor's commit waits to start does not take the commit over: the edit is
// installed, written and applied.
TEST_F(ConfigCommitTest, AnInternalRequestWhileAnEditWaitsKeepsTheEdit) {
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.CreateArray(Raid5Of({1, 2, 3})), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(2), fw::STATUS_OK);
    fw::RequestConfigUpdate(fw::REQUESTER_EDITOR);
    fw::RequestConfigUpdate(fw::REQUESTER_COMMIT);
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wRankCount, 1);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wLdCount, 1);
    EXPECT_TRUE(HoldsLiveImage(1));
}

// A member failing while an edit is open: the edit's save carries the
// failure, so the drive does not come back into its array as a good member.
TEST_F(ConfigCommitTest, AMemberFailingWhileAnEditIsOpenStaysFailedAfterTheSave) {
    ASSERT_TRUE(builder.MakeArrayWithLd(Raid5Of({1, 2, 3}), 2));
    ASSERT_TRUE(builder.OpenEdit());
    fw::FailArrayMember(0, 1, fw::TRUE, 0, fw::SENSE_MEDIUM_ERROR, 0x11, 0);
    ASSERT_TRUE(builder.WaitIdle());
    constexpr uint8_t kFailed = 17;
    ASSERT_EQ(fw::pGetConfigImage()->asRank[0].abMemberState[1], kFailed);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(1), fw::STATUS_OK);
    ASSERT_TRUE(builder.Commit());
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wLdCount, 2);
    EXPECT_EQ(fw::pGetConfigImage()->asRank[0].abMemberState[1], kFailed);
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED);
    EXPECT_TRUE(HoldsLiveImage(1));
}

TEST_F(ConfigCommitTest, AnEmptiedConfigurationIsStoredWithGenerationZeroAndValidChecks) {
    ASSERT_TRUE(builder.MakeArrayWithLd(Raid5Of({1, 2, 3}), 2));
    ASSERT_TRUE(builder.OpenEdit());
    fw::DeleteArray(0);
    ASSERT_EQ(fw::pGetScratchConfigImage()->sHeader.wLdCount, 0);
    ASSERT_TRUE(builder.Commit());
    const fw::CONFIG_IMAGE* ps = fw::pGetConfigImage();
    EXPECT_EQ(ps->sHeader.wRankCount, 0);
    EXPECT_EQ(ps->sHeader.dGeneration, 0u);
    EXPECT_EQ(fw::fIsConfigImageValid(ps), fw::TRUE);
    // The former members are unassigned drives now and lose their copies.
    for (unsigned u : {1u, 2u, 3u}) EXPECT_FALSE(CopyIsValid(u)) << u;
    EXPECT_EQ(fw::bGetRankCount(), 0);
}

// ---- drives that fail the writer ----

struct FailureCase {
    const char* pszName;
    uint8_t bOpcode;
};

class ConfigWriterFailureTest : public ConfigCommitTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ConfigWriterFailureTest, AMemberFailingOneStepMissesItsCopyAndTheCommitEnds) {
    chassis.DriveAt(2)->FailCommand(GetParam().bOpcode, 1000);
    const uint32_t dEvents = harness::CountEvents(kEventConfigurationChanged);
    ASSERT_TRUE(builder.MakeArrayWithLd(Raid5Of({1, 2, 3}), 2));
    EXPECT_TRUE(HoldsLiveImage(1));
    EXPECT_FALSE(CopyIsValid(2));
    EXPECT_TRUE(HoldsLiveImage(3));
    EXPECT_EQ(harness::CountEvents(kEventConfigurationChanged), dEvents + 1);
    EXPECT_EQ(fw::wGetConfigWriterOutstanding(), 0);
}

INSTANTIATE_TEST_SUITE_P(Steps, ConfigWriterFailureTest,
                         ::testing::Values(FailureCase{"StartStopUnit", fw::SCSI_START_STOP_UNIT},
                                           FailureCase{"TestUnitReady", fw::SCSI_TEST_UNIT_READY},
                                           FailureCase{"ReadCapacity", fw::SCSI_READ_CAPACITY10},
                                           FailureCase{"Write", fw::SCSI_WRITE10}),
                         [](const auto& info) { return std::string(info.param.pszName); });

// A member that answers READ CAPACITY with another block length than the
// 512 bytes a copy is laid out in gets none: the copy would not be where
// the next start looks for it.
TEST_F(ConfigCommitTest, AMemberOfAnotherBlockLengthGetsNoCopy) {
    chassis.DriveAt(2)->ReportBlockLength(4096);
    ASSERT_TRUE(builder.MakeArrayWithLd(Raid5Of({1, 2, 3}), 2));
    EXPECT_TRUE(HoldsLiveImage(1));
    EXPECT_FALSE(CopyIsValid(2));
    EXPECT_TRUE(HoldsLiveImage(3));
}

// A console save no member took: the console says so, nothing is announced,
// and the controller goes on with the configuration its drives hold (no
// array here, and journals that the first array would have cleared).
TEST_F(ConfigCommitTest, ACommitNoMemberTookIsReportedAndTheDrivesConfigurationStays) {
    for (unsigned u : {1u, 2u, 3u}) chassis.DriveAt(u)->FailCommand(fw::SCSI_WRITE10, 1000);
    const uint32_t dEvents = harness::CountEvents(kEventConfigurationChanged);
    PutJournalBytes(7, 0xA5);
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.CreateArray(Raid5Of({1, 2, 3})), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(2), fw::STATUS_OK);
    board.ClearConsoleText();
    fw::RequestConfigUpdate(fw::REQUESTER_CONSOLE);   // as the menus' save asks
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_EQ(fw::bGetConfigCommitResult(), fw::COMMIT_COPIES_LOST);
    const std::string failed = "\r\nConfiguration Save Failed: No Drive Holds The New Configuration\r\n";
    board.RunUntil([&] { return board.ConsoleText().find(failed) != std::string::npos; }, 1'000'000'000ull);
    EXPECT_NE(board.ConsoleText().find(failed), std::string::npos) << board.ConsoleText();
    EXPECT_EQ(harness::CountEvents(kEventConfigurationChanged), dEvents);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wRankCount, 0);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wLdCount, 0);
    EXPECT_EQ(fw::bGetRankCount(), 0);
    EXPECT_EQ(fw::wGetLogicalDriveCount(), 0);
    EXPECT_TRUE(JournalBytesAre(7, 0xA5));
    // The next commit that reaches the drives is a success again.
    for (unsigned u : {1u, 2u, 3u}) chassis.DriveAt(u)->FailCommand(fw::SCSI_WRITE10, 0);
    ASSERT_TRUE(builder.MakeArrayWithLd(Raid5Of({1, 2, 3}), 2));
    EXPECT_EQ(fw::bGetConfigCommitResult(), fw::STATUS_OK);
    EXPECT_EQ(fw::bGetRankCount(), 1);
    for (unsigned u : {1u, 2u, 3u}) EXPECT_TRUE(HoldsLiveImage(u)) << u;
    EXPECT_TRUE(JournalBytesAre(7, 0));
}

// ---- resources that run out ----

TEST_F(ConfigCommitTest, TheWriterWaitsForPagesAndEntriesAndThenWrites) {
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.CreateArray(Raid5Of({1, 2, 3})), fw::STATUS_OK);
    // Every data page and every internal entry taken.
    std::vector<fw::BUFFER_HANDLE> adPages;
    for (fw::BUFFER_HANDLE d; fw::bAllocDataPages(0, 1, &d) == fw::STATUS_OK;) adPages.push_back(d);
    std::vector<fw::KERNEL_ENTRY*> apsEntries;
    for (fw::KERNEL_ENTRY* ps; fw::bAllocKernelEntries(0, 1, &ps) == fw::STATUS_OK;) apsEntries.push_back(ps);
    const uint64_t lWrites = Writes(1);
    fw::RequestConfigUpdate(fw::REQUESTER_EDITOR);
    board.RunFor(200'000'000ull);
    EXPECT_EQ(fw::fIsConfigCommitInProgress(), fw::TRUE);
    EXPECT_EQ(Writes(1), lWrites);
    // Pages first: the writer takes its two, then waits for entries.
    for (fw::BUFFER_HANDLE d : adPages) fw::wFreeDataPages(d, 1);
    board.RunFor(200'000'000ull);
    EXPECT_EQ(fw::bGetConfigWriterState(), fw::WRITER_ISSUE_MEMBERS);
    EXPECT_EQ(Writes(1), lWrites);
    for (fw::KERNEL_ENTRY* ps : apsEntries) fw::FreeKernelEntries(ps);
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_EQ(fw::bGetConfigCommitResult(), fw::STATUS_OK);
    for (unsigned u : {1u, 2u, 3u}) EXPECT_TRUE(HoldsLiveImage(u)) << u;
}

TEST_F(ConfigCommitTest, AChainWaitsForACompletionNodeAndThenWrites) {
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.CreateArray(Raid5Of({1, 2, 3})), fw::STATUS_OK);
    // Every page but the writer's two, and every completion node (the pool
    // cannot grow without a page).
    std::vector<fw::BUFFER_HANDLE> adPages;
    for (fw::BUFFER_HANDLE d; fw::bAllocDataPages(0, 1, &d) == fw::STATUS_OK;) adPages.push_back(d);
    std::vector<fw::CALLBACK_NODE*> apsNodes;
    for (fw::CALLBACK_NODE* ps; (ps = fw::pAllocCallbackNode()) != nullptr;) apsNodes.push_back(ps);
    for (int i = 0; i < 2; ++i) {
        fw::wFreeDataPages(adPages.back(), 1);
        adPages.pop_back();
    }
    const uint64_t lStarts = chassis.DriveAt(1)->CommandCount(fw::SCSI_START_STOP_UNIT);
    fw::RequestConfigUpdate(fw::REQUESTER_EDITOR);
    board.RunFor(200'000'000ull);
    EXPECT_EQ(fw::fIsConfigCommitInProgress(), fw::TRUE);
    EXPECT_EQ(fw::wGetConfigWriterOutstanding(), 1);
    EXPECT_EQ(chassis.DriveAt(1)->CommandCount(fw::SCSI_START_STOP_UNIT), lStarts);
    for (fw::CALLBACK_NODE* ps : apsNodes) fw::FreeCallbackNode(ps);
    for (fw::BUFFER_HANDLE d : adPages) fw::wFreeDataPages(d, 1);
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_EQ(fw::bGetConfigCommitResult(), fw::STATUS_OK);
    for (unsigned u : {1u, 2u, 3u}) EXPECT_TRUE(HoldsLiveImage(u)) << u;
}

TEST_F(ConfigCommitTest, AnInterruptedCommitIsRequeuedAndCompletes) {
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.CreateArray(Raid5Of({1, 2, 3})), fw::STATUS_OK);
    fw::RequestConfigUpdate(fw::REQUESTER_EDITOR);
    ASSERT_EQ(board.RunUntil([] { return fw::wGetConfigWriterOutstanding() != 0; }, cfgbuild::kSettleNs),
              sim::StopKind::Running);
    fw::AbortConfigActivity();
    EXPECT_EQ(fw::fIsConfigCommitInProgress(), fw::FALSE);
    EXPECT_EQ(fw::fIsConfigUpdatePending(), fw::TRUE);
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_EQ(fw::bGetConfigCommitResult(), fw::STATUS_OK);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wRankCount, 1);
    for (unsigned u : {1u, 2u, 3u}) EXPECT_TRUE(HoldsLiveImage(u)) << u;
}

// The writer interrupted while it waits for its second page: the page it
// took goes back at once, and the commit runs again when pages are free.
TEST_F(ConfigCommitTest, AnInterruptedWriterGivesBackThePageItTook) {
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.CreateArray(Raid5Of({1, 2, 3})), fw::STATUS_OK);
    std::vector<fw::BUFFER_HANDLE> adPages;
    for (fw::BUFFER_HANDLE d; fw::bAllocDataPages(0, 1, &d) == fw::STATUS_OK;) adPages.push_back(d);
    fw::wFreeDataPages(adPages.back(), 1);
    adPages.pop_back();
    const uint32_t dInUse = fw::dGetPagesInUse(0);
    fw::RequestConfigUpdate(fw::REQUESTER_EDITOR);
    board.RunFor(100'000'000ull);
    ASSERT_EQ(fw::bGetConfigWriterState(), fw::WRITER_TAKE_ZERO_PAGE);
    ASSERT_EQ(fw::dGetPagesInUse(0), dInUse + 1);
    fw::AbortConfigActivity();
    EXPECT_EQ(fw::dGetPagesInUse(0), dInUse);
    for (fw::BUFFER_HANDLE d : adPages) fw::wFreeDataPages(d, 1);
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_EQ(fw::bGetConfigCommitResult(), fw::STATUS_OK);
    for (unsigned u : {1u, 2u, 3u}) EXPECT_TRUE(HoldsLiveImage(u)) << u;
}

// The writer interrupted while it waits for its first page: the retry it
// armed does not run the requeued commit's writer a second time, so the
// first copy is still written alone.
TEST_F(ConfigCommitTest, AnInterruptedWritersRetryDoesNotRunTheNextWriter) {
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.CreateArray(Raid5Of({1, 2, 3})), fw::STATUS_OK);
    std::vector<fw::BUFFER_HANDLE> adPages;
    for (fw::BUFFER_HANDLE d; fw::bAllocDataPages(0, 1, &d) == fw::STATUS_OK;) adPages.push_back(d);
    fw::RequestConfigUpdate(fw::REQUESTER_EDITOR);
    board.RunFor(100'000'000ull);
    ASSERT_EQ(fw::bGetConfigWriterState(), fw::WRITER_TAKE_SLOT_PAGE);
    fw::AbortConfigActivity();
    for (fw::BUFFER_HANDLE d : adPages) fw::wFreeDataPages(d, 1);
    // The first member is slow: a second writer run would start the others
    // meanwhile.
    chassis.DriveAt(1)->SetExtraLatencyNs(50'000'000ull);
    const uint64_t lStarts2 = chassis.DriveAt(2)->CommandCount(fw::SCSI_START_STOP_UNIT);
    const uint64_t lWrites1 = Writes(1);
    ASSERT_EQ(board.RunUntil([&] { return Writes(1) != lWrites1; }, cfgbuild::kSettleNs), sim::StopKind::Running);
    EXPECT_EQ(chassis.DriveAt(2)->CommandCount(fw::SCSI_START_STOP_UNIT), lStarts2);
    chassis.DriveAt(1)->SetExtraLatencyNs(0);
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_EQ(fw::bGetConfigCommitResult(), fw::STATUS_OK);
    for (unsigned u : {1u, 2u, 3u}) EXPECT_TRUE(HoldsLiveImage(u)) << u;
}

// ---- stale copies ----

TEST_F(ConfigCommitTest, StaleCopiesAreErasedOnceFailedDrivesAtEveryCommit) {
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.CreateArray(Raid5Of({1, 2, 3})), fw::STATUS_OK);
    uint8_t abFailed[8];
    ASSERT_TRUE(cfgbuild::Builder::SlotWwn(5, abFailed));
    fw::AddFailedDriveWwn(abFailed, fw::pGetScratchConfigImage(), 0x99, 0x22, 0, 0, 0);
    const uint64_t lFree = Writes(4);
    const uint64_t lFailed = Writes(5);
    const uint16_t wCommits = fw::wGetConfigCommitCount();
    ASSERT_TRUE(builder.Commit());
    for (int i = 0; i < 2; ++i) {
        fw::RequestConfigUpdate(fw::REQUESTER_COMMIT);
        ASSERT_TRUE(builder.WaitIdle());
    }
    // One zeroed block for the unassigned drive, one per commit for the
    // drive on the failed-drive list.
    EXPECT_EQ(Writes(4), lFree + 1);
    EXPECT_EQ(Writes(5), lFailed + (fw::wGetConfigCommitCount() - wCommits));
    EXPECT_GE(fw::wGetConfigCommitCount() - wCommits, 3);
}

// ---- power cut while the copies are written ----

// A RAID 5 of slots 1-3 is on the drives; an edit adds a mirror of slots 4
// and 5, and the power fails while one drive takes its new copy.  The
// controller that starts afterwards on the same NVRAM and drives loads a
// whole configuration: the old one while no new copy is complete, else the
// new one.
class ConfigPowerCutTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(PowerOn()); }

    bool PowerOn(const std::vector<uint8_t>* pabNvram = nullptr) {
        board = std::make_unique<sim::Board>();
        if (pabNvram != nullptr) board->nvram().LoadImage(*pabNvram);
        board->sasController().AttachChassis(&chassis);
        builder = std::make_unique<cfgbuild::Builder>(*board);
        return harness::BootToMainLoop(*board) && builder->WaitIdle();
    }

    // The board stops; a new one starts on what the old one left.
    bool PowerOnAgain() {
        const std::vector<uint8_t> abNvram = board->nvram().Image();
        builder.reset();
        board.reset();
        return PowerOn(&abNvram);
    }

    uint64_t Writes(unsigned uSlot) { return chassis.DriveAt(uSlot)->CommandCount(fw::SCSI_WRITE10); }

    sim::Chassis chassis;
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<cfgbuild::Builder> builder;
};

struct CutCase {
    const char* pszName;
    unsigned uSlot;       // the drive whose WRITE the power cut tears
    uint32_t dBlocks;     // blocks of it that reach the medium
    uint16_t wRanksAfter; // arrays of the configuration loaded afterwards
};

class ConfigPowerCutAtTest : public ConfigPowerCutTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(ConfigPowerCutAtTest, TheNextStartLoadsTheOldOrTheNewConfigurationWhole) {
    const CutCase& c = GetParam();
    ASSERT_TRUE(builder->MakeArrayWithLd(Raid5Of({1, 2, 3}), 2));
    ASSERT_TRUE(builder->OpenEdit());
    ASSERT_EQ(builder->CreateArray(Spec(fw::RAID_LEVEL_10, {4, 5})), fw::STATUS_OK);
    // The first member is slow: the others would be written before it if
    // they did not wait for its copy.
    chassis.DriveAt(1)->SetExtraLatencyNs(50'000'000ull);
    uint64_t alWrites[6];
    for (unsigned u = 1; u <= 5; ++u) alWrites[u] = Writes(u);
    chassis.DriveAt(c.uSlot)->CutPowerDuringNextWrite(c.dBlocks);
    fw::RequestConfigUpdate(fw::REQUESTER_EDITOR);
    ASSERT_EQ(board->RunFor(cfgbuild::kSettleNs), sim::StopKind::PowerCut);
    if (c.uSlot == 1) {
        // While the first copy was written no other drive was.
        for (unsigned u = 2; u <= 5; ++u) EXPECT_EQ(Writes(u), alWrites[u]) << "slot " << u;
    }
    chassis.DriveAt(1)->SetExtraLatencyNs(0);

    ASSERT_TRUE(PowerOnAgain()) << board->ConsoleText();
    const fw::CONFIG_IMAGE* ps = fw::pGetConfigImage();
    EXPECT_EQ(fw::fIsConfigValid(), fw::TRUE);
    EXPECT_EQ(ps->sHeader.wRankCount, c.wRanksAfter);
    EXPECT_EQ(ps->sHeader.wLdCount, 1);
    EXPECT_EQ(ps->asRank[0].bRaidLevel, fw::RAID_LEVEL_5);
    EXPECT_EQ(fw::bGetRankCount(), c.wRanksAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, ConfigPowerCutAtTest,
    ::testing::Values(CutCase{"FirstCopyBeforeAnyBlock", 1, 0, 1}, CutCase{"FirstCopyAfterItsHeader", 1, 1, 1},
                      CutCase{"ALaterCopy", 4, 100, 2}),
    [](const auto& info) { return std::string(info.param.pszName); });

// ---- host I/O quiesce ----

TEST_F(ConfigCommitTest, ACommitAfterADeletionQuiescesHostIoFirst) {
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.CreateArray(Raid5Of({1, 2, 3})), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(2), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(1), fw::STATUS_OK);
    fw::DeleteLogicalDrive(0, fw::FALSE, fw::TRUE);
    EXPECT_EQ(fw::fGetWriteBackCheckEnable(), fw::TRUE);
    const uint64_t lStart = board.clock().Now();
    const uint64_t lWrites = Writes(1);
    fw::RequestConfigUpdate(fw::REQUESTER_EDITOR);
    ASSERT_EQ(board.RunUntil([] { return fw::bGetIoQuiesceState() == fw::QUIESCE_DRAINING; }, cfgbuild::kSettleNs),
              sim::StopKind::Running);
    EXPECT_EQ(Writes(1), lWrites);
    ASSERT_TRUE(builder.WaitIdle());
    EXPECT_GE(board.clock().Now() - lStart, 256'000'000ull);
    EXPECT_GT(Writes(1), lWrites);
    // Resumed by the commit's end (host I/O flows again once the host ports
    // have taken up the new tables).
    EXPECT_NE(fw::bGetIoQuiesceState(), fw::QUIESCE_DRAINING);
    EXPECT_EQ(fw::fGetWriteBackCheckEnable(), fw::FALSE);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wLdCount, 1);
}

}  // namespace
