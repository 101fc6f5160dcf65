// The zero-write job through the whole controller: zeros over the head and
// the tail of the logical drive in writes of 16 KB, nothing else touched,
// also while hosts write around it.
#include <gtest/gtest.h>

#include "host_road.h"
#include "raid/zero_write_job.h"

namespace roadtest {
namespace {

constexpr uint64_t kRows = 20;

class ZeroWriteRoad : public HostRoad {
protected:
    void Begin(ArraySpec a) {
        a.lBlocks = kRows * RowDataBlocks(a);
        ASSERT_NO_FATAL_FAILURE(Boot(a));
        FillConsistentRows(kRows, 0x2E50);
    }
    // The job runs to its end; the status it ended with.
    uint8_t Run(uint32_t head, uint32_t tail) {
        EXPECT_EQ(fw::bStartZeroWriteJob(nullptr, 0, head, tail), fw::STATUS_OK);
        board->RunUntil([] { return fw::fIsZeroWriteJobBusy() != fw::TRUE; }, kSettleLimitNs);
        EXPECT_NE(fw::fIsZeroWriteJobBusy(), fw::TRUE) << "the job never ended";
        return fw::bGetZeroWriteJobLastStatus();
    }
    // The reference of the logical drive's blocks [first, first + count) of
    // 512 bytes becomes zeros.
    void ExpectZeroed(uint64_t first, uint64_t count) {
        for (uint64_t x = first; x < first + count; ++x) reference[x] = std::vector<uint8_t>(kBlock, 0);
    }
    // The drive writes member 0 of a RAID 0 saw in the array's data, as
    // (block, blocks).
    using Writes = std::vector<std::pair<uint64_t, uint32_t>>;
    Writes writes;
    Writes FirstWrites(size_t n) const { return Writes(writes.begin(), writes.begin() + std::min(n, writes.size())); }
    void WatchMemberWrites() {
        chassis->DriveAt(firstSlot)->onCommand = [this](std::span<const uint8_t> cdb) {
            if (cdb[0] == fw::SCSI_WRITE10 && fw::dGetBe32(cdb.data() + 2) < kRows * spec.wChunk) {
                writes.push_back({fw::dGetBe32(cdb.data() + 2), fw::wGetBe16(cdb.data() + 7)});
            }
        };
    }
};

// A head of 100 blocks goes out as 32, 32, 32 and 4 blocks from block 0;
// the tail ends on the last block; nothing between them changes.
TEST_F(ZeroWriteRoad, HeadInSixteenKilobyteWritesAndTailEndingOnLastBlock) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r0", fw::RAID_LEVEL_0, 2, 128}));
    WatchMemberWrites();
    EXPECT_EQ(Run(100, 37), fw::STATUS_OK);
    EXPECT_EQ(FirstWrites(4), (Writes{{0, 32}, {32, 32}, {64, 32}, {96, 4}}));
    ExpectZeroed(0, 100);
    ExpectZeroed(spec.lBlocks - 37, 37);
    ExpectDrivesMatchReference();
    ExpectRead(96, 8);
    ExpectRead(spec.lBlocks - 40, 40);
    Settle();
}

// A logical drive of 4096-byte blocks: 4 of them per write, the tail in
// its own blocks.
TEST_F(ZeroWriteRoad, LargeBlocksGoFourToAWrite) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r0", fw::RAID_LEVEL_0, 2, 128, 0, true, 0, 4096}));
    WatchMemberWrites();
    EXPECT_EQ(Run(10, 3), fw::STATUS_OK);
    EXPECT_EQ(FirstWrites(3), (Writes{{0, 32}, {32, 32}, {64, 16}}));
    ExpectZeroed(0, 80);
    ExpectZeroed(spec.lBlocks - 24, 24);
    ExpectDrivesMatchReference();
    Settle();
}

// Refused starts change nothing; an empty job ends at once with GOOD.
TEST_F(ZeroWriteRoad, RefusalsAndEmptyJob) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r0", fw::RAID_LEVEL_0, 2, 128}));
    const uint32_t blocks = static_cast<uint32_t>(spec.lBlocks);
    struct Case {
        uint16_t ld;
        uint32_t head, tail;
    };
    for (const Case& c : {Case{1, 1, 1}, Case{0, blocks + 1, 0}, Case{0, 0, blocks + 1}}) {
        EXPECT_EQ(fw::bStartZeroWriteJob(nullptr, c.ld, c.head, c.tail), 0) << c.ld << " " << c.head << " " << c.tail;
        EXPECT_NE(fw::fIsZeroWriteJobBusy(), fw::TRUE);
    }
    EXPECT_EQ(fw::bStartZeroWriteJob(nullptr, 0, 0, 0), fw::STATUS_OK);
    EXPECT_NE(fw::fIsZeroWriteJobBusy(), fw::TRUE) << "nothing to write, yet it runs";
    EXPECT_EQ(fw::bGetZeroWriteJobLastStatus(), fw::STATUS_OK);
    // A second start while one runs.
    EXPECT_EQ(fw::bStartZeroWriteJob(nullptr, 0, blocks, 0), fw::STATUS_OK);
    EXPECT_EQ(fw::bStartZeroWriteJob(nullptr, 0, 1, 1), 0);
    board->RunUntil([] { return fw::fIsZeroWriteJobBusy() != fw::TRUE; }, kSettleLimitNs);
    ExpectZeroed(0, blocks);
    ExpectDrivesMatchReference();
    Settle();
}

// A write the drive refuses ends the job with a failure, and nothing is
// left held.
TEST_F(ZeroWriteRoad, FailedWriteEndsTheJob) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r0", fw::RAID_LEVEL_0, 2, 128}));
    chassis->DriveAt(firstSlot)->FailCommand(fw::SCSI_WRITE10, 1000);
    EXPECT_NE(Run(100, 0), fw::STATUS_OK);
    chassis->DriveAt(firstSlot)->FailCommand(fw::SCSI_WRITE10, 0);
    Settle();
}

// On RAID 5 with hosts writing the rest of the rows the head and tail
// touch: the zeros land where they should, every host write stays, and
// every row's parity agrees.
TEST_F(ZeroWriteRoad, HostWritesAroundTheJobStay) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r5", fw::RAID_LEVEL_5, 4, 16, 0, false}));
    const uint32_t head = 70, tail = 50;
    EXPECT_EQ(fw::bStartZeroWriteJob(nullptr, 0, head, tail), fw::STATUS_OK);
    std::vector<std::pair<uint32_t, std::pair<uint64_t, std::vector<uint8_t>>>> out;
    for (uint32_t i = 0; i < 32; ++i) {
        const uint32_t blocks = 1 + i % 8;
        const uint64_t lba = i % 2 == 0 ? head + (i * 7) % (RowBlocks() * 2) : spec.lBlocks - tail - blocks - (i * 5) % RowBlocks();
        std::vector<uint8_t> data = Random(blocks, 900 + i);
        sim::FcpCommand c;
        c.cdb = Cdb(fw::SCSI_WRITE10, lba, blocks);
        c.dataOut = data;
        out.push_back({host->Submit(c), {lba, std::move(data)}});
    }
    for (auto& [tag, w] : out) {
        const sim::FcpResult r = host->Wait(tag);
        ASSERT_EQ(r.status, 0) << "write " << w.first;
        Record(w.first, w.second);
    }
    board->RunUntil([] { return fw::fIsZeroWriteJobBusy() != fw::TRUE; }, kSettleLimitNs);
    EXPECT_EQ(fw::bGetZeroWriteJobLastStatus(), fw::STATUS_OK);
    ExpectZeroed(0, head);
    ExpectZeroed(spec.lBlocks - tail, tail);
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(0, 256);
    ExpectRead(spec.lBlocks - 256, 256);
}

}  // namespace
}  // namespace roadtest
