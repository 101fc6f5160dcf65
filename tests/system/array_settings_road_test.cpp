// Array settings an operator changes and saves, seen from the hosts: the
// write-back policy decides whether a write is answered before or only
// after its data is on the drives, and the threshold, the full-cache bit
// and the read-ahead size reach the array's run-time record.  A bad block
// list removed lets host reads reach the drives again.
#include <functional>

#include "config/bad_blocks.h"
#include "config/config_image.h"
#include "config/rank_table.h"
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

TEST_F(ArraySettingsRoad, WriteBackOffAnswersOnlyOnceTheDataIsOnTheDrives) {
    ASSERT_NO_FATAL_FAILURE(Boot(kArray));
    ASSERT_NO_FATAL_FAILURE(Save([](fw::CONFIG_RANK_RECORD& r) { r.bCachePolicy = 0; }));
    for (uint32_t n = 0; n < 4; ++n) EXPECT_TRUE(OnDrivesWhenAnswered(n * 96, 40, 100 + n)) << "write " << n;
    // On again, as the console's dialogue leaves it when told to keep it
    // with no partner (bit 1 clear): answered from the cache.
    ASSERT_NO_FATAL_FAILURE(Save([](fw::CONFIG_RANK_RECORD& r) { r.bCachePolicy = 0x59; }));
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

}  // namespace
