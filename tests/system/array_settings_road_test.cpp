// Array settings an operator changes and saves, seen from the hosts: the
// write-back policy decides whether a write is answered before or only
// after its data is on the drives, and the threshold, the full-cache bit
// and the read-ahead size reach the array's run-time record.  A bad block
// list removed lets host reads reach the drives again.
#include <functional>

#include "config/bad_blocks.h"
#include "config/config_image.h"
#include "config/rank_table.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "console/console_menu.h"
#include "harness/config_builder.h"
#include "harness/fc_array_controller.h"
#include "host_road.h"

namespace {

using namespace roadtest;

const ArraySpec kArray = {"r5", fw::RAID_LEVEL_5, 4, 16, 0, true, 48 * 256};

class ArraySettingsRoad : public HostRoad {
protected:
    // The edit of array 0's stored record, saved.
    void Save(const std::function<void(fw::CONFIG_RANK_RECORD&)>& edit) {
        cfgbuild::Builder b(*board);
        ASSERT_TRUE(b.OpenEdit());
        edit(fw::pGetScratchConfigImage()->asRank[0]);
        ASSERT_TRUE(b.Commit()) << board->ConsoleText();
    }
    // From the console's first screen to the Array Configuration Menu.  The
    // Configuration Menu sends the operator back while the drives are being
    // gathered or the configuration written: asked again a little later.
    void OpenArrayMenu() {
        harness::TypeAtConsole(*board, "\x05");
        std::string shown;
        for (int i = 0; i < 20; ++i) {
            shown = harness::TypeAtConsole(*board, "1\r");
            if (shown.find("Press any key") == std::string::npos) break;
            harness::TypeAtConsole(*board, " ");
            board->RunFor(250'000'000);
        }
        shown = harness::TypeAtConsole(*board, "1\r");
        ASSERT_NE(shown.find("Array Configuration Menu"), std::string::npos) << shown;
    }
    // The keys that lead back from the menu in use to the Array
    // Configuration Menu, then out of it, saving the edit.
    void SaveAtConsole(const std::string& back) {
        std::string shown = harness::TypeAtConsole(*board, back);
        for (int i = 0; i < 4 && shown.find("Confirm saving of new configuration") == std::string::npos; ++i) {
            shown = harness::TypeAtConsole(*board, "0\r");
        }
        const std::string saved = harness::TypeAtConsole(*board, "Y\r");
        ASSERT_NE(saved.find("Saving Configuration"), std::string::npos) << shown << saved;
        ASSERT_TRUE(cfgbuild::Builder(*board).WaitIdle());
    }
    // Drive reads since WatchDataCommands.
    uint64_t DataReads() const {
        uint64_t n = 0;
        for (const DataCommands& d : dataCommands) n += d.reads;
        return n;
    }
    // A write, and whether every block of it was on the drives when the
    // host had its answer.
    bool OnDrivesWhenAnswered(uint64_t lba, uint32_t blocks, uint32_t seed) {
        Write(lba, blocks, seed);
        for (uint32_t i = 0; i < blocks; ++i) {
            if (DataOnDrives(lba + i) != reference[lba + i]) return false;
        }
        return true;
    }
};

// The write-back dialogue typed at the console and saved: off, a host
// write is answered once its data is on the drives; on again (every
// question left at its default), before.
TEST_F(ArraySettingsRoad, WriteBackOffAnswersOnlyOnceTheDataIsOnTheDrives) {
    ASSERT_NO_FATAL_FAILURE(Boot(kArray));
    ASSERT_NO_FATAL_FAILURE(OpenArrayMenu());
    const std::string off = harness::TypeAtConsole(*board, "5\r" "0\r" "2\r" "n\r");
    ASSERT_NE(off.find("Writeback cache disabled"), std::string::npos) << off;
    ASSERT_NO_FATAL_FAILURE(SaveAtConsole(" " "0\r"));
    EXPECT_EQ(fw::pGetConfigImage()->asRank[0].bCachePolicy & fw::POLICY_WRITE_BACK, 0);
    for (uint32_t n = 0; n < 4; ++n) EXPECT_TRUE(OnDrivesWhenAnswered(n * 96, 40, 100 + n)) << "write " << n;

    ASSERT_NO_FATAL_FAILURE(OpenArrayMenu());
    // Kept when the partner fails, as a lone controller's cache must be.
    std::string on = harness::TypeAtConsole(*board, "5\r" "0\r" "2\r" "y\r");
    for (int i = 0; i < 8 && on.find("modified") == std::string::npos; ++i) {
        const bool fPartner = on.rfind("Partner Fails") != std::string::npos &&
                              on.rfind("Partner Fails") > on.rfind("\n", on.size() - 3);
        on += harness::TypeAtConsole(*board, fPartner ? "n\r" : "\r");
    }
    ASSERT_NE(on.find("Writeback cache parameters modified"), std::string::npos) << on;
    ASSERT_NO_FATAL_FAILURE(SaveAtConsole(" " "0\r"));
    EXPECT_NE(fw::pGetConfigImage()->asRank[0].bCachePolicy & fw::POLICY_WRITE_BACK, 0);
    bool fAnyCached = false;
    for (uint32_t n = 0; n < 4; ++n) fAnyCached |= !OnDrivesWhenAnswered(4096 + n * 96, 40, 200 + n);
    EXPECT_TRUE(fAnyCached) << "every write was answered only after the drives had it";
    Settle();
    for (const auto& [x, data] : reference) ASSERT_TRUE(DataOnDrives(x) == data) << "block " << x;
}

TEST_F(ArraySettingsRoad, ThresholdFullCacheBitAndReadAheadReachTheArray) {
    ASSERT_NO_FATAL_FAILURE(Boot(kArray));
    ASSERT_NO_FATAL_FAILURE(Save([](fw::CONFIG_RANK_RECORD& r) {
        r.bCachePolicy = 0x1B;   // bit 6 off
        r.wWriteThreshold = 1;   // 1 MB
        r.wReadAhead = 15;       // disabled
    }));
    EXPECT_NE(fw::fIsRankPolicyBit6Set(0), fw::TRUE);
    const uint32_t dSmall = fw::dGetRankWriteThreshold(0);
    EXPECT_NE(fw::fGetRankReadAhead(0), fw::TRUE);
    ASSERT_NO_FATAL_FAILURE(Save([](fw::CONFIG_RANK_RECORD& r) {
        r.bCachePolicy = 0x5B;
        r.wWriteThreshold = 10;   // 512 MB
        r.wReadAhead = 4;         // 2 MB
    }));
    EXPECT_EQ(fw::fIsRankPolicyBit6Set(0), fw::TRUE);
    EXPECT_GT(fw::dGetRankWriteThreshold(0), dSmall);
    EXPECT_EQ(fw::fGetRankReadAhead(0), fw::TRUE);
    EXPECT_EQ(fw::dGetRankReadAheadBlocks(0), 4096u);
}

// A known bad block answers hosts MEDIUM ERROR without a drive read; once
// the array's list is removed at the console and saved, the read reaches
// the drives again and returns what was written there.
TEST_F(ArraySettingsRoad, ABadBlockListRemovedAtTheConsoleLetsReadsReachTheDrives) {
    ASSERT_NO_FATAL_FAILURE(Boot(kArray));
    ASSERT_NO_FATAL_FAILURE(Write(1000, 8, 0xBB));
    Settle();
    {
        cfgbuild::Builder b(*board);
        ASSERT_TRUE(b.OpenEdit());
        fw::CONFIG_IMAGE& s = *fw::pGetScratchConfigImage();
        fw::SetBadBlockEntry(&s.asBadBlock[s.sHeader.wBadBlockCount++], 1002, 0, 2);
        ASSERT_TRUE(b.Commit()) << board->ConsoleText();
    }
    WatchDataCommands();
    const sim::FcpResult r = host->Send(0, Cdb(fw::SCSI_READ10, 1000, 8), {}, 8 * kBlock);
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    ASSERT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
    ASSERT_GE(r.sense.size(), 3u);
    EXPECT_EQ(r.sense[2] & 0x0F, fw::SENSE_MEDIUM_ERROR);
    EXPECT_EQ(DataReads(), 0u) << "a known bad block was read from the drives";

    fw::SetAdvancedConfigModeLevel(2);
    harness::TypeAtConsole(*board, "\x05" "1\r");
    harness::TypeAtConsole(*board, "1\r" "7\r" "7\r" "2\r" "0\r" "y\r" " " "0\r");
    harness::TypeAtConsole(*board, "0\r");
    const std::string saved = harness::TypeAtConsole(*board, "Y\r");
    ASSERT_NE(saved.find("Saving Configuration"), std::string::npos) << saved;
    ASSERT_TRUE(cfgbuild::Builder(*board).WaitIdle());
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wBadBlockCount, 0);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(1000, 8));
    EXPECT_GT(DataReads(), 0u);
}

// An array that lost two members to a passing fault is offline: hosts read
// nothing.  Forced fault tolerant at the console and saved, it takes its
// members back as they are and hosts read what they wrote before.
TEST_F(ArraySettingsRoad, AnArrayForcedFaultTolerantAtTheConsoleServesItsDataAgain) {
    ASSERT_NO_FATAL_FAILURE(Boot(kArray));
    for (uint64_t x = 0; x < 960; x += 96) ASSERT_NO_FATAL_FAILURE(Write(x, 96, uint32_t(x) + 17));
    Settle();
    // Member 1 is failed on request; member 2's bay loses its power, which
    // comes back once the array has gone offline.
    ASSERT_EQ(fw::bStartMemberDriveCommand(0, 1), fw::STATUS_OK);
    board->RunUntil([] { return fw::bGetRankOperationState(0) == fw::RANK_STATE_DEGRADED; }, 10'000'000'000ull);
    ASSERT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED);
    chassis->SetSlotPower(3, false);
    for (int i = 0; i < 20 && fw::bGetRankOperationState(0) != fw::RANK_STATE_FAILED; ++i) {
        (void)host->Send(0, Cdb(fw::SCSI_READ10, 0, 96), {}, 96 * kBlock);
        board->RunFor(500'000'000);
    }
    ASSERT_TRUE(cfgbuild::Builder(*board).WaitIdle());
    ASSERT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_FAILED);
    sim::FcpResult r = host->Send(0, Cdb(fw::SCSI_READ10, 0, 8), {}, 8 * kBlock);
    EXPECT_NE(r.status, 0) << "an offline array answered a read";
    // The drive side lists the drive again once its link has been quiet a
    // while; the operator forces the array when its members are there.
    chassis->SetSlotPower(3, true);
    ASSERT_TRUE(board->RunUntil([] {
        fw::DRIVE_INFO* ps = nullptr;
        return fw::fFindDriveByEnclosureSlot(1, 3, &ps) == fw::TRUE;
    }, 10'000'000'000ull) == sim::StopKind::Running);

    fw::SetAdvancedConfigModeLevel(2);
    ASSERT_NO_FATAL_FAILURE(OpenArrayMenu());
    const std::string forced = harness::TypeAtConsole(*board, "7\r" "6\r" "0\r" "y\r");
    ASSERT_NE(forced.find("will be marked as fault tolerant after saving"), std::string::npos) << forced;
    ASSERT_NO_FATAL_FAILURE(SaveAtConsole(" " "0\r"));
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    for (uint8_t m = 0; m < kArray.bDrives; ++m) EXPECT_EQ(fw::bGetRankMemberFlags(0, m), fw::MEMBER_FLAGS_IN_SERVICE);
    for (uint64_t x = 0; x < 960; x += 96) ASSERT_NO_FATAL_FAILURE(ExpectRead(x, 96));
}

}  // namespace
