// Blocks a member cannot read, on arrays that can stand in for them: the
// host's read returns what was written, its write lands, the blocks are
// regenerated from the other members and written back to the drive (event
// 113), and nothing is left marked unreadable.  Where nothing can stand in
// (RAID 0, a degraded parity group) the host hears MEDIUM ERROR and the
// extent reads as unreadable until written again.
#include "harness/dispatch_board.h"
#include "host_road.h"
#include "raid/drive_error_recovery.h"

namespace {

using namespace roadtest;

constexpr uint8_t kBlockReallocated = 113;

// Which block of the row goes bad, and what the host does to meet it.
enum class Meet { Read, PartialWrite };
enum class Bad { Data, Parity, Q };

struct RepairCase {
    const char* pszName;
    ArraySpec array;
    Meet meet = Meet::Read;
    Bad bad = Bad::Data;
    int failedMember = -1;   // a member out of the array before the error
};

void PrintTo(const RepairCase& c, std::ostream* os) { *os << c.pszName; }

class ReadErrorRepairRoad : public HostRoad, public ::testing::WithParamInterface<RepairCase> {
protected:
    static constexpr uint64_t kRows = 6;

    // The member and member block of the bad block in row 2.
    raidref::Place BadPlace(const RepairCase& c) const {
        const uint64_t row = 2;
        const uint64_t x = row * RowBlocks() + RowBlocks() / 2 + 3;
        const raidref::Place d = DataPlace(x);
        switch (c.bad) {
        case Bad::Parity:
            return {spec.bLevel == fw::RAID_LEVEL_6 ? DualLayout().PMember(row) : ParityLayout().ParityMember(row, 0),
                    d.block};
        case Bad::Q: return {DualLayout().QMember(row), d.block};
        default: return d;
        }
    }
    uint64_t BadHostBlock() const { return 2 * RowBlocks() + RowBlocks() / 2 + 3; }

    // The member's chunk of the row holds what the layout model says.
    void ExpectChunk(unsigned member, uint64_t row) {
        std::vector<uint8_t> v(spec.wChunk * kBlock);
        chassis->DriveAt(SlotOfMember(member))->ReadBlocks(row * spec.wChunk, spec.wChunk, v.data());
        EXPECT_TRUE(v == RowImage(row)[member]) << "row " << row << " member " << member;
    }
};

TEST_P(ReadErrorRepairRoad, TheBlocksAreRegeneratedAndWrittenBack) {
    const RepairCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Boot(c.array));
    ASSERT_NO_FATAL_FAILURE(Write(0, static_cast<uint32_t>(kRows * RowBlocks()), 1));
    Settle();
    if (c.failedMember >= 0) {
        fw::FailArrayMember(0, static_cast<uint8_t>(c.failedMember), fw::TRUE, 0xFF, fw::SENSE_HARDWARE_ERROR, 0x44, 0);
        Settle();
    }
    const raidref::Place p = BadPlace(c);
    chassis->DriveAt(SlotOfMember(p.member))->InjectMediaError(p.block, 2);
    const uint32_t before = harness::CountEvents(kBlockReallocated);
    const uint64_t x = BadHostBlock();
    if (c.meet == Meet::Read) {
        ASSERT_NO_FATAL_FAILURE(ExpectRead(x - 5, 16));
    } else {
        // A write of a few blocks of the chunk: the old data and parity are
        // read first.
        ASSERT_NO_FATAL_FAILURE(Write(x - 1, 4, 2));
    }
    Settle();
    // Once: the command waited for its blocks instead of meeting them again.
    EXPECT_EQ(harness::CountEvents(kBlockReallocated), before + 1);
    // Rewritten: the drive reads it again, with the bytes the layout
    // model gives, and so does the host.
    ExpectChunk(p.member, 2);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, static_cast<uint32_t>(kRows * RowBlocks())));
    if (c.failedMember < 0) ExpectDrivesMatchReference();
}

ArraySpec WriteThrough(ArraySpec a) {
    a.fWriteBack = false;
    return a;
}

const RepairCase kRepairs[] = {
    {"Raid1", {"Raid1", fw::RAID_LEVEL_10, 2, 16}},
    {"Raid10", {"Raid10", fw::RAID_LEVEL_10, 4, 16}},
    {"Raid5", {"Raid5", fw::RAID_LEVEL_5, 4, 16}},
    {"Raid50", {"Raid50", fw::RAID_LEVEL_50, 6, 16, 2}},
    {"Raid6", {"Raid6", fw::RAID_LEVEL_6, 5, 16}},
    {"Raid6OneShort", {"Raid6", fw::RAID_LEVEL_6, 5, 16}, Meet::Read, Bad::Data, 0},
    {"Raid5PartialWriteOldData", WriteThrough({"Raid5", fw::RAID_LEVEL_5, 4, 16}), Meet::PartialWrite},
    {"Raid5PartialWriteOldParity", WriteThrough({"Raid5", fw::RAID_LEVEL_5, 4, 16}), Meet::PartialWrite, Bad::Parity},
    {"Raid6PartialWriteOldP", WriteThrough({"Raid6", fw::RAID_LEVEL_6, 5, 16}), Meet::PartialWrite, Bad::Parity},
    {"Raid6PartialWriteOldQ", WriteThrough({"Raid6", fw::RAID_LEVEL_6, 5, 16}), Meet::PartialWrite, Bad::Q},
};
INSTANTIATE_TEST_SUITE_P(Levels, ReadErrorRepairRoad, ::testing::ValuesIn(kRepairs),
                         [](const auto& info) { return std::string(info.param.pszName); });

// ---- host writes to the row while it is repaired ----------------------------

class RepairUnderWritesRoad : public HostRoad, public ::testing::WithParamInterface<RepairCase> {};

// Slow drives and a host read meeting a bad block, while other writes land
// in every chunk of the same row (the bad chunk's other blocks included):
// the regeneration must read the row whole, old or new, and must not write
// a chunk over data a newer write put there, so every acknowledged write
// reads back and the row agrees with its parity.
TEST_P(RepairUnderWritesRoad, WritesToTheRowAreNeitherLostNorMixedIn) {
    const RepairCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Boot(c.array));
    const uint64_t kRow = 2;
    ASSERT_NO_FATAL_FAILURE(Write(0, static_cast<uint32_t>(4 * RowBlocks()), 1));
    Settle();
    for (unsigned s = 1; s <= spec.bDrives; ++s) chassis->DriveAt(s)->SetExtraLatencyNs(400'000);
    const uint64_t x = kRow * RowBlocks() + 5;   // chunk 0 of the row
    const raidref::Place p = DataPlace(x);
    chassis->DriveAt(SlotOfMember(p.member))->InjectMediaError(p.block, 1);
    sim::FcpCommand read;
    read.cdb = Cdb(fw::SCSI_READ10, x, 1);
    read.dataInLength = kBlock;
    const uint32_t readTag = host->Submit(read);
    // Writes of a few blocks (old data and parity are read first) to every
    // chunk of the row, one at a time as the read and its repair go on.
    struct Sent {
        uint32_t tag;
        uint64_t lba;
        std::vector<uint8_t> data;
    };
    std::vector<Sent> sent;
    const uint32_t chunks = static_cast<uint32_t>(RowBlocks() / spec.wChunk);
    // Chunk 0's writes keep off the block being read; none overlaps another.
    const uint32_t kOffsets[] = {6, 8, 10, 12, 14, 0, 2};
    for (uint32_t i = 0; i < chunks * 7; ++i) {
        const uint64_t lba = kRow * RowBlocks() + (i % chunks) * spec.wChunk + kOffsets[i / chunks];
        sim::FcpCommand w;
        w.cdb = Cdb(fw::SCSI_WRITE10, lba, 2);
        w.dataOut = Random(2, 500 + i);
        NoteSent(lba, w.dataOut);
        sent.push_back({host->Submit(w), lba, w.dataOut});
        (void)board->RunFor(150'000);
    }
    for (const Sent& f : sent) {
        const sim::FcpResult r = host->Wait(f.tag);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "write " << f.lba;
        ASSERT_EQ(r.status, 0) << "write " << f.lba << SenseText(r);
        Record(f.lba, f.data);
    }
    const sim::FcpResult r = host->Wait(readTag);
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    ASSERT_EQ(r.status, 0) << SenseText(r);
    for (unsigned s = 1; s <= spec.bDrives; ++s) chassis->DriveAt(s)->SetExtraLatencyNs(0);
    Settle();
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, static_cast<uint32_t>(4 * RowBlocks())));
    ExpectDrivesMatchReference();
}

const RepairCase kUnderWrites[] = {
    {"Raid5", WriteThrough({"Raid5", fw::RAID_LEVEL_5, 4, 16})},
    {"Raid6", WriteThrough({"Raid6", fw::RAID_LEVEL_6, 5, 16})},
};
INSTANTIATE_TEST_SUITE_P(Levels, RepairUnderWritesRoad, ::testing::ValuesIn(kUnderWrites),
                         [](const auto& info) { return std::string(info.param.pszName); });

// ---- nothing left to stand in ----------------------------------------------

class UnrepairableReadRoad : public HostRoad {};

// A degraded RAID 5 row: the block's group has lost its parity member's
// partner, so the host hears MEDIUM ERROR, the extent is remembered as
// unreadable (the drive is not asked again), and it reads once written.
TEST_F(UnrepairableReadRoad, ADegradedRaid5RowReportsTheBlockUntilWritten) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, false}));
    ASSERT_NO_FATAL_FAILURE(Write(0, static_cast<uint32_t>(4 * RowBlocks()), 1));
    const raidref::Place p = DataPlace(RowBlocks() + 20);
    const unsigned other = (p.member + 1) % 4;
    fw::FailArrayMember(0, static_cast<uint8_t>(other), fw::TRUE, 0xFF, fw::SENSE_HARDWARE_ERROR, 0x44, 0);
    Settle();
    chassis->DriveAt(SlotOfMember(p.member))->InjectMediaError(p.block, 1);
    const uint32_t before = harness::CountEvents(kBlockReallocated);
    for (int pass = 0; pass < 2; ++pass) {
        const sim::FcpResult r = host->Send(0, Cdb(fw::SCSI_READ10, RowBlocks() + 16, 8), {}, 8 * kBlock);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
        EXPECT_EQ(SenseText(r), " sense 3/11/01") << "pass " << pass;
    }
    EXPECT_EQ(harness::CountEvents(kBlockReallocated), before);
    // The drive reallocates the block when it is written.
    chassis->DriveAt(SlotOfMember(p.member))->ClearMediaErrors();
    ASSERT_NO_FATAL_FAILURE(Write(RowBlocks() + 16, 8, 3));
    Settle();
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, static_cast<uint32_t>(4 * RowBlocks())));
}

}  // namespace
