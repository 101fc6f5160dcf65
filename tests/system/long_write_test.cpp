// Writes longer than one transfer pass (16384 blocks) on an array as the
// console makes it: write-back, its writes held to a shared budget, and a
// write threshold of 16 MB (32768 blocks) of writes in progress.  Such a
// write moves in passes; each is answered once, reads back whole, and
// neither it nor what it leaves behind stops the next write or the reads
// of another logical drive of the same array.
#include "eventlog/statistics.h"
#include "host_road.h"

namespace {

using namespace roadtest;

// What the console gives a new array: write-back, off when the partner
// fails, the battery is low or the array is critical, and the write budget
// shared among the writing arrays (0x40).
constexpr uint8_t kConsolePolicy = 0x5B;
// Its write threshold: code 5, 2048 << 4 blocks.
constexpr uint16_t kConsoleThreshold = 5;

struct LongWriteCase {
    const char* pszName;
    HostKind eHost;
    ArraySpec array;
};

void PrintTo(const LongWriteCase& c, std::ostream* os) { *os << c.pszName; }

class LongWriteRoad : public HostRoad, public ::testing::WithParamInterface<LongWriteCase> {
protected:
    // The array halved into two logical drives: LUN 0 over the first half,
    // LUN 1 over the second.  The reference holds both by array block.
    void BootConsoleArray() {
        hostKind = GetParam().eHost;
        spec = GetParam().array;
        half = spec.lBlocks / 2 / RowBlocks() * RowBlocks();
        std::vector<uint8_t> ab = Configuration(spec);
        fw::CONFIG_IMAGE* ps = copytest::Image(ab);
        ps->asRank[0].bCachePolicy = kConsolePolicy;
        ps->asRank[0].wWriteThreshold = kConsoleThreshold;
        fw::CONFIG_LD_RECORD& l0 = ps->asLd[0];
        l0.asSegment[0].lLastOffset = half - 1;
        l0.asSegment[0].lEnd = half - 1;
        fw::CONFIG_LD_RECORD& l1 = ps->asLd[1];
        l1 = l0;
        l1.wLdNumber = 1;
        l1.wDefaultLun = 1;
        l1.wLdId = 0x8001;
        l1.asSegment[0].lStart = half;
        l1.asSegment[0].lLastOffset = spec.lBlocks - half - 1;
        l1.asSegment[0].lEnd = spec.lBlocks - 1;
        ps->sHeader.wLdCount = 2;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_EQ(fw::fIsRankPolicyBit6Set(0), fw::TRUE);
        ASSERT_EQ(fw::dGetRankWriteThreshold(0), 32768u);
    }
    // A command to LUN 1, again after its first unit attention.
    sim::FcpResult SendLun1(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& out, uint32_t in) {
        sim::FcpResult r;
        for (int i = 0; i < 2; ++i) {
            r = road->Send(1, cdb, out, in);
            if (r.outcome != sim::FcpResult::Outcome::Done || r.sense.size() < 3 ||
                (r.sense[2] & 0x0F) != fw::SENSE_UNIT_ATTENTION) {
                break;
            }
        }
        return r;
    }
    void WriteLun1(uint64_t lba, uint32_t blocks, uint32_t seed) {
        const std::vector<uint8_t> data = Random(blocks, seed);
        const sim::FcpResult r = SendLun1(Cdb(fw::SCSI_WRITE10, lba, blocks), data, 0);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "LUN 1 write " << lba;
        ASSERT_EQ(r.status, 0) << "LUN 1 write " << lba << SenseText(r);
        Record(half + lba, data);
    }
    void ExpectLun1(uint64_t lba, uint32_t blocks) {
        const sim::FcpResult r = SendLun1(Cdb(fw::SCSI_READ10, lba, blocks), {}, blocks * kBlock);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "LUN 1 read " << lba << " never answered";
        ASSERT_EQ(r.status, 0) << "LUN 1 read " << lba << SenseText(r);
        ASSERT_EQ(r.dataIn.size(), blocks * kBlock);
        for (uint32_t i = 0; i < blocks; ++i) {
            ASSERT_TRUE(std::equal(r.dataIn.begin() + i * kBlock, r.dataIn.begin() + (i + 1) * kBlock,
                                   Expected(half + lba + i).begin()))
                << "LUN 1 block " << lba + i;
        }
    }

    uint64_t half = 0;
};

// 16385 blocks leaves nothing behind that stops the 32768 after it; 65535,
// more than the array's threshold on its own, goes through its four passes.
TEST_P(LongWriteRoad, EveryLongWriteIsAnsweredAndReadsBackBetweenReadsOfAnotherLun) {
    ASSERT_NO_FATAL_FAILURE(BootConsoleArray());
    ASSERT_NO_FATAL_FAILURE(WriteLun1(0, 256, 1));
    uint64_t lba = 100;
    for (const uint32_t blocks : {16385u, 32768u, 65535u}) {
        const std::vector<uint8_t> data = Random(blocks, blocks);
        const uint32_t tag = road->Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE10, lba, blocks), data, 0));
        NoteSent(lba, data);
        // The other logical drive of the array is served meanwhile.
        ASSERT_NO_FATAL_FAILURE(ExpectLun1(0, 256));
        const sim::FcpResult r = road->Wait(tag);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "write of " << blocks << " blocks never answered";
        ASSERT_EQ(r.status, 0) << "write of " << blocks << " blocks" << SenseText(r);
        ASSERT_EQ(r.dataOutTaken, data.size());
        Record(lba, data);
        ASSERT_NO_FATAL_FAILURE(ExpectRead(lba, blocks));
        ASSERT_NO_FATAL_FAILURE(ExpectLun1(0, 256));
        lba += blocks + 7;
    }
    Settle();
    // Nothing of them is left counted as in progress on the array.
    EXPECT_EQ(fw::dGetRankHostCommandsOutstanding(0), 0u);
    EXPECT_EQ(fw::dGetRankHostBlocksOutstanding(0), 0u);
    ExpectDrivesMatchReference();
}

// Long writes outstanding together on one LUN, or on two of one array.
// The first to start fills the array's share of writes in progress until
// its last pass; the others wait for that share, and its later passes must
// not wait behind them.
class QueuedLongWrites : public LongWriteRoad {};

TEST_P(QueuedLongWrites, AreEachAnswered) {
    ASSERT_NO_FATAL_FAILURE(BootConsoleArray());
    const std::vector<std::vector<uint32_t>> kShapes = {{65535, 65535}, {32768, 16385, 32768, 24576}};
    uint64_t lba = 0;
    for (const std::vector<uint32_t>& shape : kShapes) {
        struct Sent {
            uint32_t tag;
            uint64_t lba;
            std::vector<uint8_t> data;
        };
        std::vector<Sent> sent;
        for (const uint32_t blocks : shape) {
            std::vector<uint8_t> data = Random(blocks, static_cast<uint32_t>(lba));
            const uint32_t tag = road->Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE16, lba, blocks), data, 0));
            NoteSent(lba, data);
            sent.push_back({tag, lba, std::move(data)});
            lba += blocks + 5;
        }
        for (const Sent& s : sent) {
            const sim::FcpResult r = road->Wait(s.tag, 30'000'000'000ull);
            ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done)
                << "write of " << s.data.size() / kBlock << " blocks at " << s.lba << " never answered";
            ASSERT_EQ(r.status, 0) << "write at " << s.lba << SenseText(r);
            Record(s.lba, s.data);
        }
        for (const Sent& s : sent) ASSERT_NO_FATAL_FAILURE(ExpectRead(s.lba, static_cast<uint32_t>(s.data.size() / kBlock), true));
    }
    // A long write on the array's other logical drive, then one on this
    // drive that waits for the share: the second's wait marks the array
    // busy before the scheduler comes to the first's next pass, which must
    // go on all the same.
    ASSERT_NO_FATAL_FAILURE(WriteLun1(0, 8, 9));
    const std::vector<uint8_t> other = Random(65535, 11), mine = Random(65535, 12);
    const uint32_t tagOther = road->Submit(sim::FcpCommand::To(1, Cdb(fw::SCSI_WRITE16, 1000, 65535), other, 0));
    NoteSent(half + 1000, other);
    const uint32_t tagMine = road->Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE16, lba, 65535), mine, 0));
    NoteSent(lba, mine);
    for (const uint32_t tag : {tagOther, tagMine}) {
        const sim::FcpResult r = road->Wait(tag, 30'000'000'000ull);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << (tag == tagOther ? "LUN 1" : "LUN 0") << " write never answered";
        ASSERT_EQ(r.status, 0) << SenseText(r);
    }
    Record(half + 1000, other);
    Record(lba, mine);
    ASSERT_NO_FATAL_FAILURE(ExpectLun1(1000, 65535));
    ASSERT_NO_FATAL_FAILURE(ExpectRead(lba, 65535, true));
    Settle();
    EXPECT_EQ(fw::dGetRankHostBlocksOutstanding(0), 0u);
    ExpectDrivesMatchReference();
}

// Reads of blocks a long write has not reached yet, sent while it moves in
// passes: each block reads as it was before the write or as the write
// leaves it, never as anything else.  The write's buffer holds its current
// pass only; a read past it is not answered from there.
TEST_P(QueuedLongWrites, AReadAheadOfALongWritesPassGetsTheOldDataOrTheNew) {
    ASSERT_NO_FATAL_FAILURE(BootConsoleArray());
    constexpr uint64_t kAt = 1000;
    constexpr uint32_t kBlocks = 65535, kRead = 64;
    const std::vector<uint8_t> before = Random(kBlocks, 21), after = Random(kBlocks, 22);
    ASSERT_NO_FATAL_FAILURE(Write(kAt, kBlocks, 21, true));
    const uint32_t write = road->Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE16, kAt, kBlocks), after, 0));
    NoteSent(kAt, after);
    const uint32_t kOffsets[] = {20000, 40000, 60000};
    std::vector<uint32_t> reads;
    for (const uint32_t off : kOffsets) {
        reads.push_back(road->Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_READ16, kAt + off, kRead), {}, kRead * kBlock)));
    }
    for (size_t n = 0; n < reads.size(); ++n) {
        const sim::FcpResult r = road->Wait(reads[n], 30'000'000'000ull);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "read at " << kOffsets[n];
        ASSERT_EQ(r.status, 0) << SenseText(r);
        ASSERT_EQ(r.dataIn.size(), kRead * kBlock);
        for (uint32_t i = 0; i < kRead; ++i) {
            const size_t at = (size_t(kOffsets[n]) + i) * kBlock;
            const bool fOld = std::equal(r.dataIn.begin() + i * kBlock, r.dataIn.begin() + (i + 1) * kBlock, before.begin() + at);
            const bool fNew = std::equal(r.dataIn.begin() + i * kBlock, r.dataIn.begin() + (i + 1) * kBlock, after.begin() + at);
            ASSERT_TRUE(fOld || fNew) << "block " << kAt + kOffsets[n] + i << " reads as neither the old data nor the new";
        }
    }
    const sim::FcpResult w = road->Wait(write, 30'000'000'000ull);
    ASSERT_EQ(w.outcome, sim::FcpResult::Outcome::Done);
    ASSERT_EQ(w.status, 0) << SenseText(w);
    Record(kAt, after);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(kAt, kBlocks, true));
    Settle();
    ExpectDrivesMatchReference();
}

const LongWriteCase kQueuedCases[] = {
    {"FcRaid5", HostKind::Fc, {"Raid5", fw::RAID_LEVEL_5, 4, 128}},
    {"SasRaid10", HostKind::Sas, {"Raid10", fw::RAID_LEVEL_10, 4, 128}},
};
INSTANTIATE_TEST_SUITE_P(ConsoleArrays, QueuedLongWrites, ::testing::ValuesIn(kQueuedCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

const LongWriteCase kCases[] = {
    {"FcRaid0", HostKind::Fc, {"Raid0", fw::RAID_LEVEL_0, 3, 128}},
    {"FcRaid10", HostKind::Fc, {"Raid10", fw::RAID_LEVEL_10, 4, 128}},
    {"FcRaid5", HostKind::Fc, {"Raid5", fw::RAID_LEVEL_5, 4, 128}},
    {"FcRaid6", HostKind::Fc, {"Raid6", fw::RAID_LEVEL_6, 5, 128}},
    {"FcRaid50", HostKind::Fc, {"Raid50", fw::RAID_LEVEL_50, 6, 64, 2}},
    {"SasRaid5", HostKind::Sas, {"Raid5", fw::RAID_LEVEL_5, 4, 128}},
    {"SasRaid10", HostKind::Sas, {"Raid10", fw::RAID_LEVEL_10, 4, 128}},
};
INSTANTIATE_TEST_SUITE_P(ConsoleArrays, LongWriteRoad, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
