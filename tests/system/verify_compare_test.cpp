// VERIFY that compares the host's data with the blocks, through either
// kind of host port: GOOD when they agree, MISCOMPARE with the offset of
// the first byte that differs when they do not, whether the blocks are
// still in the cache or on the drives, in one pass or several; BYTCHK 3
// compares one block with each block of the range; the reserved BYTCHK
// value, of VERIFY and of WRITE AND VERIFY, is refused with a pointer to
// the field.  Compares of every length up to the longest are answered, and
// the controller holds nothing of a VERIFY once it is answered or ended.
#include "host_road.h"
#include "target/target_commands.h"

namespace {

using namespace roadtest;

constexpr uint8_t kVerify10 = 0x2F;
constexpr uint8_t kVerify16 = 0x8F;
constexpr uint8_t kWriteVerify10 = 0x2E;
constexpr uint8_t kByteCheck = 0x02;       // BYTCHK 1
constexpr uint8_t kOneBlockCheck = 0x06;   // BYTCHK 3
constexpr uint8_t kReservedCheck = 0x04;   // BYTCHK 2

class VerifyCompareRoad : public HostRoad, public ::testing::WithParamInterface<HostKind> {
protected:
    void SetUp() override {
        hostKind = GetParam();
        ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 128}));
    }
    static std::vector<uint8_t> VerifyCdb(uint8_t op, uint8_t byte1, uint64_t lba, uint32_t blocks) {
        std::vector<uint8_t> c = Cdb(op == kVerify10 ? fw::SCSI_READ10 : fw::SCSI_READ16, lba, blocks);
        c[0] = op;
        c[1] = byte1;
        return c;
    }
    sim::FcpResult Verify(uint8_t op, uint8_t byte1, uint64_t lba, uint32_t blocks, const std::vector<uint8_t>& data) {
        return road->Send(sim::FcpCommand::To(0, VerifyCdb(op, byte1, lba, blocks), data, 0), 30'000'000'000ull);
    }
    // A MISCOMPARE whose INFORMATION field names the byte given.
    static void ExpectMiscompareAt(const sim::FcpResult& r, uint32_t offset) {
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
        ASSERT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
        ASSERT_EQ(SenseText(r), " sense E/1D/00");
        EXPECT_NE(r.sense[0] & 0x80, 0) << "the INFORMATION field is not valid";
        EXPECT_EQ(fw::dGetBe32(r.sense.data() + 3), offset);
    }
    // ILLEGAL REQUEST, invalid field in CDB, pointing at byte 1 bit 2: the
    // highest bit of BYTCHK.
    static void ExpectBytchkRefused(const sim::FcpResult& r) {
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
        ASSERT_EQ(SenseText(r), " sense 5/24/00");
        ASSERT_GE(r.sense.size(), 18u);
        EXPECT_EQ(r.sense[15], 0x80 | 0x40 | 0x08 | 2);   // SKSV, C/D, BPV, bit 2
        EXPECT_EQ(r.sense[16], 0);
        EXPECT_EQ(r.sense[17], 1);
    }
};

TEST_P(VerifyCompareRoad, ComparesTheHostsDataWithTheBlocks) {
    Write(1000, 300, 1);
    // In the cache still, then on the drives.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "cached" : "on the drives");
        std::vector<uint8_t> data;
        for (uint64_t x = 1000; x < 1300; ++x) data.insert(data.end(), reference[x].begin(), reference[x].end());
        EXPECT_EQ(Verify(kVerify10, kByteCheck, 1000, 300, data).status, 0);
        EXPECT_EQ(Verify(kVerify16, kByteCheck, 1100, 50, {data.begin() + 100 * kBlock, data.begin() + 150 * kBlock}).status,
                  0);
        std::vector<uint8_t> other = data;
        other[77 * kBlock + 5] ^= 0x10;
        other[200 * kBlock] ^= 0x01;   // a later difference: the first one counts
        ASSERT_NO_FATAL_FAILURE(ExpectMiscompareAt(Verify(kVerify16, kByteCheck, 1000, 300, other), 77 * kBlock + 5));
        // Without a compare only the range counts.
        EXPECT_EQ(Verify(kVerify16, 0, 1000, 300, {}).status, 0);
        Settle();
    }
    // The blocks a VERIFY compared are unchanged.
    ExpectRead(1000, 300);
}

TEST_P(VerifyCompareRoad, OneBlockIsComparedWithEachOfTheRange) {
    const std::vector<uint8_t> block = Random(1, 7);
    std::vector<uint8_t> same;
    for (int i = 0; i < 24; ++i) same.insert(same.end(), block.begin(), block.end());
    const sim::FcpResult w = road->Send(0, Cdb(fw::SCSI_WRITE10, 500, 24), same);
    ASSERT_EQ(w.status, 0);
    Record(500, same);
    EXPECT_EQ(Verify(kVerify10, kOneBlockCheck, 500, 24, block).status, 0);
    // Block 517 of the range is another.
    Write(517, 1, 8);
    uint32_t firstByte = 0;
    while (reference[517][firstByte] == block[firstByte]) ++firstByte;
    ASSERT_NO_FATAL_FAILURE(
        ExpectMiscompareAt(Verify(kVerify16, kOneBlockCheck, 500, 24, block), 17 * kBlock + firstByte));
    Settle();
}

// Longer than a pass of the cache (16384 blocks): each pass compares its
// part, and a difference in the second ends the command there.
TEST_P(VerifyCompareRoad, ALongCompareGoesInPasses) {
    constexpr uint32_t kBlocks = 20000;
    Write(3000, kBlocks, 3, true);
    std::vector<uint8_t> data;
    for (uint64_t x = 3000; x < 3000 + kBlocks; ++x) data.insert(data.end(), reference[x].begin(), reference[x].end());
    EXPECT_EQ(Verify(kVerify16, kByteCheck, 3000, kBlocks, data).status, 0);
    data[18000u * kBlock + 99] ^= 0x80;
    ASSERT_NO_FATAL_FAILURE(ExpectMiscompareAt(Verify(kVerify16, kByteCheck, 3000, kBlocks, data), 18000u * kBlock + 99));
    Settle();
}

// The longest compare the target takes, 65535 blocks (32 MiB of the host's
// data, more than the buffer memory has free): the host's data comes a pass
// at a time, so it is answered on a board that did nothing before, GOOD
// when the data agrees and MISCOMPARE at the first difference, in its last
// pass, when it does not.  The blocks were never written: zeros.
TEST_P(VerifyCompareRoad, TheLongestCompareIsAnsweredOnAFreshBoard) {
    constexpr uint32_t kBlocks = 65535;
    constexpr uint64_t kLba = 100000;
    std::vector<uint8_t> data(size_t(kBlocks) * kBlock, 0);
    const sim::FcpResult same = Verify(kVerify10, kByteCheck, kLba, kBlocks, data);
    ASSERT_EQ(same.outcome, sim::FcpResult::Outcome::Done) << "a compare of the same data never answered";
    EXPECT_EQ(same.status, 0) << SenseText(same);
    data[60000u * kBlock + 3] ^= 0x04;
    ASSERT_NO_FATAL_FAILURE(ExpectMiscompareAt(Verify(kVerify16, kByteCheck, kLba, kBlocks, data), 60000u * kBlock + 3));
    const sim::FcpResult each = Verify(kVerify16, kOneBlockCheck, kLba, kBlocks, std::vector<uint8_t>(kBlock, 0));
    ASSERT_EQ(each.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(each.status, 0) << SenseText(each);
    Settle();
    EXPECT_EQ(fw::dGetVerifyPagesHeld(), 0u);
}

// A compare of 16 MiB or more sees every byte the host sent: the data-out
// of a SAS target assist has 24 bits of length, and the whole data asked in
// one segment arrived only in part (here its first 700 blocks), so that a
// difference beyond went unseen.  Then nothing of it is held.
TEST_P(VerifyCompareRoad, ACompareOfSixteenMegabytesSeesAllItsData) {
    constexpr uint32_t kBlocks = 33468;
    std::vector<uint8_t> data(size_t(kBlocks) * kBlock, 0);
    data[20000u * kBlock + 17] ^= 0x20;
    ASSERT_NO_FATAL_FAILURE(ExpectMiscompareAt(Verify(kVerify16, kByteCheck, 300000, kBlocks, data), 20000u * kBlock + 17));
    Settle();
    EXPECT_EQ(fw::dGetVerifyPagesHeld(), 0u);
}

// A long compare ended by an abort (ABORT TASK; ABTS on Fibre Channel) or
// a LOGICAL UNIT RESET in the middle of its passes gives its entry and its
// pages back, and the next compare is answered.
TEST_P(VerifyCompareRoad, AnEndedLongCompareGivesItsPagesBack) {
    constexpr uint32_t kBlocks = 40000;
    const std::vector<uint8_t> data(size_t(kBlocks) * kBlock, 0);
    for (const bool fReset : {false, true}) {
        SCOPED_TRACE(fReset ? "LOGICAL UNIT RESET" : "abort");
        const uint32_t t = road->Submit(sim::FcpCommand::To(0, VerifyCdb(kVerify16, kByteCheck, 2000, kBlocks), data, 0));
        board->RunUntil([] { return fw::dGetVerifyPagesHeld() != 0; }, kSettleLimitNs);
        // Into its passes, not yet answered.
        board->RunFor(40'000'000);
        ASSERT_NE(fw::dGetVerifyPagesHeld(), 0u) << "answered before it could be ended";
        if (hostKind == HostKind::Sas) {
            const sim::FcpResult r = sasHost->TaskManagement(0, fReset ? 0x08 : 0x01, fReset ? 0 : static_cast<uint16_t>(t));
            EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
            EXPECT_EQ(r.status, 0);
        } else {
            if (fReset) {
                EXPECT_EQ(host->TaskManagement(0, 0x10).status, 0);
            }
            // A Fibre Channel host ends its exchange itself.
            (void)host->Abort(t);
        }
        EXPECT_NE(road->Wait(t).outcome, sim::FcpResult::Outcome::Pending);
        Settle();
        EXPECT_EQ(fw::dGetVerifyPagesHeld(), 0u);
        // The reset's unit attention first; then a compare is answered.
        (void)road->Send(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0});
        EXPECT_EQ(Verify(kVerify16, kByteCheck, 2000, kBlocks, data).status, 0);
        Settle();
        EXPECT_EQ(fw::dGetVerifyPagesHeld(), 0u);
    }
}

TEST_P(VerifyCompareRoad, TheReservedByteCheckIsRefused) {
    Write(40, 4, 4);
    ASSERT_NO_FATAL_FAILURE(ExpectBytchkRefused(Verify(kVerify10, kReservedCheck, 40, 4, Random(4, 5))));
    ASSERT_NO_FATAL_FAILURE(ExpectBytchkRefused(Verify(kVerify16, kReservedCheck, 40, 4, Random(4, 5))));
    // WRITE AND VERIFY's likewise, and nothing is written.
    std::vector<uint8_t> cdb = Cdb(fw::SCSI_WRITE10, 40, 4);
    cdb[0] = kWriteVerify10;
    cdb[1] = kReservedCheck;
    ASSERT_NO_FATAL_FAILURE(ExpectBytchkRefused(road->Send(0, cdb, Random(4, 6))));
    ExpectRead(40, 4);
    Settle();
}

INSTANTIATE_TEST_SUITE_P(Ports, VerifyCompareRoad, ::testing::Values(HostKind::Fc, HostKind::Sas),
                         [](const auto& info) { return std::string(HostKindName(info.param)); });

}  // namespace
