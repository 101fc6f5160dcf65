// Two controllers and a RAID 5 array: the master checks its parity, the
// slave follows the check through the partner's messages (started, next
// row, stopped, finished), so that it knows where the check is and could
// take it over; a slave asked for a check has the master run it.  Each row
// the master checks is held against the partner's writes too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "../system/road_config.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_state.h"
#include "raid/parity_check.h"
#include "sim/fc_host.h"

namespace fw_b {
uint8_t fIsMasterController();
uint8_t fIsParityCheckInProgress();
uint8_t bGetParityCheckRank();
uint8_t bGetParityCheckMode();
uint32_t dGetParityCheckPosition();
uint32_t dGetParityCheckLastPosition();
uint32_t dGetParityCheckErrorCount();
void HandleParityJobMessage(const uint8_t* pbBody);
void SendParityJobMessage(uint8_t bCode, uint8_t bRank, uint8_t bMode, uint8_t fAll);
void RequestParityCheckStop();
}  // namespace fw_b

namespace {

using roadtest::kBlock;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint64_t kRows = 96;
constexpr uint16_t kChunk = 16;
constexpr unsigned kMembers = 4;
constexpr uint32_t kRowBlocks = (kMembers - 1) * kChunk;
constexpr uint64_t kHostB = 0x2100001B32E00002ull;
// Rows whose parity is made wrong behind the controllers' backs.
constexpr unsigned kBadRows[] = {5, 40};

class PartnerParityCheck : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        roadtest::ArraySpec spec{"CHKR5", fw::RAID_LEVEL_5, kMembers, kChunk};
        spec.lBlocks = kRows * kRowBlocks;
        // Written through: a host write reaches the drives while its
        // command holds the stripes.
        spec.fWriteBack = false;
        std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, spec, 0x200000A55AA00002ull);
        const unsigned drives = spec.bDrives + AddArrays(ab);
        for (unsigned s = 1; s <= drives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
        // Every row holds a pattern with its parity right, but the bad ones.
        for (unsigned row = 0; row < kRows; ++row) {
            std::vector<uint8_t> p(kChunk * kBlock, 0), d(kChunk * kBlock);
            for (unsigned m = 0; m < kMembers; ++m) {
                if (m == row % kMembers) continue;
                for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(row * 29 + m * 11 + i);
                chassis.DriveAt(m + 1)->WriteBlocks(uint64_t(row) * kChunk, kChunk, d.data());
                for (size_t i = 0; i < d.size(); ++i) p[i] ^= d[i];
            }
            if (std::count(std::begin(kBadRows), std::end(kBadRows), row) != 0) p[100] ^= 0x5A;
            chassis.DriveAt(row % kMembers + 1)->WriteBlocks(uint64_t(row) * kChunk, kChunk, p.data());
        }
        ASSERT_TRUE(Boot()) << Consoles();
        ASSERT_EQ(fw::fIsMasterController(), fw::TRUE);
        ASSERT_NE(fw_b::fIsMasterController(), fw::TRUE);
    }

    // More arrays in the configuration, on the drives after the first
    // array's: how many drives they take.
    virtual unsigned AddArrays(std::vector<uint8_t>&) { return 0; }

    // Parity XOR data of the row, as the drives hold it: zero when consistent.
    bool RowConsistent(unsigned row) {
        std::vector<uint8_t> x(kChunk * kBlock, 0), v(kChunk * kBlock);
        for (unsigned m = 0; m < kMembers; ++m) {
            chassis.DriveAt(m + 1)->ReadBlocks(uint64_t(row) * kChunk, kChunk, v.data());
            for (size_t i = 0; i < x.size(); ++i) x[i] ^= v[i];
        }
        return std::all_of(x.begin(), x.end(), [](uint8_t b) { return b == 0; });
    }

    bool SlaveStarted() {
        return RunUntil([] { return fw_b::fIsParityCheckInProgress() == fw::TRUE; }, 10'000 * kMs);
    }

    bool BothIdle() {
        return RunUntil(
            [] {
                return fw::fIsParityCheckInProgress() != fw::TRUE && fw_b::fIsParityCheckInProgress() != fw::TRUE &&
                       Quiet(fw::sGetPartnerMessageCounts()) && Quiet(fw_b::sGetPartnerMessageCounts());
            },
            10'000 * kMs);
    }
};

TEST_F(PartnerParityCheck, TheSlaveFollowsTheMastersCheckToItsEnd) {
    ASSERT_EQ(fw::StartParityCheck(0, fw::PARITY_MODE_CHECK, fw::FALSE), fw::STATUS_OK);
    // Message 91 starts the slave's copy of the check, in the same mode.
    ASSERT_TRUE(SlaveStarted()) << Consoles();
    EXPECT_EQ(fw_b::bGetParityCheckRank(), 0);
    EXPECT_EQ(fw_b::bGetParityCheckMode(), fw::PARITY_MODE_CHECK);
    // The rows it hears of (92) move its position and error count on with
    // the master's.
    uint32_t dSeen = 0;
    uint32_t dErrors = 0;
    ASSERT_TRUE(RunUntil(
        [&] {
            if (fw_b::fIsParityCheckInProgress() == fw::TRUE) {
                dSeen = std::max(dSeen, fw_b::dGetParityCheckPosition());
                dErrors = std::max(dErrors, fw_b::dGetParityCheckErrorCount());
            }
            return fw::fIsParityCheckInProgress() != fw::TRUE;
        },
        3'000 * kMs))
        << Consoles() << " master state " << int(fw::bGetParityCheckState()) << " position "
        << fw::dGetParityCheckPosition();
    EXPECT_EQ(dSeen, (kRows - 1) * kChunk);
    EXPECT_EQ(dErrors, std::size(kBadRows));
    // Message 94 ends it there too; mode 1 wrote nothing.
    ASSERT_TRUE(BothIdle()) << Consoles();
    for (unsigned row : kBadRows) EXPECT_FALSE(RowConsistent(row)) << "row " << row;

    // Bad messages: a rank the slave has not, a rank not under check, a
    // row past the check's last, a mode outside 1-3, an end for another
    // rank: each is ignored and logged.
    ASSERT_EQ(fw::StartParityCheck(0, fw::PARITY_MODE_CHECK, fw::FALSE), fw::STATUS_OK);
    ASSERT_TRUE(SlaveStarted());
    const uint32_t dBefore = fw_b::dGetParityCheckPosition();
    uint8_t ab[16] = {fw::PARITY_MESSAGE_NEXT_ROW, 7};
    fw::PutBe32(ab + 5, kChunk);
    fw_b::HandleParityJobMessage(ab);
    ab[1] = 0;
    fw::PutBe32(ab + 5, fw_b::dGetParityCheckLastPosition() + kChunk);
    fw::PutBe32(ab + 9, 1234);
    fw_b::HandleParityJobMessage(ab);
    EXPECT_EQ(fw_b::dGetParityCheckPosition(), dBefore);
    EXPECT_NE(fw_b::dGetParityCheckErrorCount(), 1234u);
    const uint8_t abBadMode[16] = {fw::PARITY_MESSAGE_STARTED, 0, 4};
    fw_b::HandleParityJobMessage(abBadMode);
    EXPECT_EQ(fw_b::bGetParityCheckMode(), fw::PARITY_MODE_CHECK);
    const uint8_t abOtherEnd[16] = {fw::PARITY_MESSAGE_FINISHED, 3, fw::PARITY_MODE_CHECK};
    fw_b::HandleParityJobMessage(abOtherEnd);
    EXPECT_EQ(fw_b::fIsParityCheckInProgress(), fw::TRUE);
    RunUntil([] { return false; }, kMs);
    EXPECT_NE(b->board.ConsoleText().find("Parity job message 5c ignored: rank 00"), std::string::npos);
    ASSERT_TRUE(BothIdle()) << Consoles();
}

// The slave's operator asks for a check and repair (90): the master runs
// it, the slave follows; the master's stop (93) ends both, rows checked
// before it repaired, rows after it untouched.
TEST_F(PartnerParityCheck, ACheckAskedOfTheSlaveRunsOnTheMasterAndAStopEndsBoth) {
    fw_b::SendParityJobMessage(fw::PARITY_MESSAGE_START, 0, fw::PARITY_MODE_CHECK_AND_REWRITE, fw::FALSE);
    ASSERT_TRUE(RunUntil([] { return fw::fIsParityCheckInProgress() == fw::TRUE; }, 10'000 * kMs)) << Consoles();
    EXPECT_EQ(fw::bGetParityCheckMode(), fw::PARITY_MODE_CHECK_AND_REWRITE);
    ASSERT_TRUE(SlaveStarted()) << Consoles();
    EXPECT_EQ(fw_b::bGetParityCheckMode(), fw::PARITY_MODE_CHECK_AND_REWRITE);
    ASSERT_TRUE(RunUntil([] { return fw::dGetParityCheckPosition() >= 20u * kChunk; }, 3'000 * kMs)) << Consoles();
    fw::SetParityCheckStopRequest(fw::TRUE);
    ASSERT_TRUE(BothIdle()) << Consoles();
    EXPECT_TRUE(RowConsistent(kBadRows[0]));
    EXPECT_FALSE(RowConsistent(kBadRows[1]));
}

// A host writes through the slave into the very row the master is
// rewriting the parity of: each write waits for the master's hold on its
// row to end, none is lost, every row is left consistent.
TEST_F(PartnerParityCheck, WritesThroughTheSlaveWaitForTheRowUnderCheck) {
    auto host = std::make_unique<sim::FcHost>(b->board, b->fabric, *sim::FindIspChip(b->board, 1), kHostB);
    ASSERT_TRUE(HostReady(*host)) << Consoles();
    // Slow drives keep each row's reads and parity writes out long enough
    // for a write to meet them.
    for (unsigned s = 1; s <= kMembers; ++s) chassis.DriveAt(s)->SetExtraLatencyNs(5 * kMs);
    ASSERT_EQ(fw::StartParityCheck(0, fw::PARITY_MODE_REWRITE, fw::FALSE), fw::STATUS_OK);
    ASSERT_TRUE(SlaveStarted()) << Consoles();
    std::mt19937 rng(38);
    std::vector<uint32_t> tags;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> written;
    for (unsigned i = 0; i < 10 && fw::fIsParityCheckInProgress() == fw::TRUE; ++i) {
        // The master has the row's reads out: a write into it now.
        if (!RunUntil([] { return fw::bGetParityCheckState() == 5 && fw::bGetParityCheckStep() == 'A'; }, 1'000 * kMs))
            break;
        const uint64_t row = fw::dGetParityCheckPosition() / kChunk;
        const uint64_t lba = row * kRowBlocks + rng() % (kRowBlocks - 8);
        std::vector<uint8_t> data(8 * kBlock);
        for (uint8_t& x : data) x = static_cast<uint8_t>(rng());
        sim::FcpCommand c;
        c.cdb = dual::Cdb16(fw::SCSI_WRITE16, lba, 8);
        c.dataOut = data;
        tags.push_back(host->initiator().Submit(host->target(), c));
        written.emplace_back(lba, std::move(data));
        RunUntil([&] { return fw::dGetParityCheckPosition() / kChunk != row; }, 1'000 * kMs);
    }
    ASSERT_GE(tags.size(), 8u);
    for (unsigned s = 1; s <= kMembers; ++s) chassis.DriveAt(s)->SetExtraLatencyNs(0);
    ASSERT_TRUE(RunUntil(
        [&] {
            for (uint32_t t : tags)
                if (!host->initiator().Finished(t)) return false;
            return fw::fIsParityCheckInProgress() != fw::TRUE;
        },
        20'000 * kMs))
        << Consoles();
    for (uint32_t t : tags) ASSERT_EQ(host->initiator().Result(t).status, 0);
    for (unsigned row = 0; row < kRows; ++row) EXPECT_TRUE(RowConsistent(row)) << "row " << row;
    for (const auto& [lba, data] : written) {
        const sim::FcpResult back = RunCommand(*host, dual::Cdb16(fw::SCSI_READ16, lba, 8), {}, 8 * kBlock);
        ASSERT_EQ(back.status, 0);
        EXPECT_EQ(back.dataIn, data) << "block " << lba;
    }
}

// A second array, with no logical drive on it, whose check the slave
// follows: the slave's operator stops it, and the master's check ends
// there (event 69), long before its last row.
class PartnerParityCheckOfASecondArray : public PartnerParityCheck {
protected:
    static constexpr unsigned kSecondMembers = 3;
    static constexpr uint64_t kSecondRows = 4000;
    unsigned AddArrays(std::vector<uint8_t>& ab) override {
        fw::CONFIG_IMAGE* ps = copytest::Image(ab);
        ps->sHeader.wRankCount = 2;
        fw::CONFIG_RANK_RECORD& r = ps->asRank[1];
        r = ps->asRank[0];
        r.bRankNumber = 1;
        r.bDriveCount = kSecondMembers;
        r.lStartAddress = kRows * kRowBlocks;
        r.lLastOffset = kSecondRows * (kSecondMembers - 1) * kChunk - 1;
        std::memset(r.aabMemberWwn, 0, sizeof r.aabMemberWwn);
        for (unsigned m = 0; m < kSecondMembers; ++m) {
            const auto w = roadtest::DriveWwn(chassis, kMembers + 1 + m);
            std::memcpy(r.aabMemberWwn[m], w.data(), 8);
        }
        copytest::Seal(ab);
        return kSecondMembers;
    }
    static unsigned CountMasterEvents(uint8_t bCode) {
        uint16_t wCount = 0, wNext = 0;
        fw::GetEventLogPosition(&wCount, &wNext);
        unsigned n = 0;
        for (uint16_t w = 0; w < wCount; ++w) n += fw::psGetEventLogEntry(w)->bCode == bCode;
        return n;
    }
};

TEST_F(PartnerParityCheckOfASecondArray, AStopAskedOfTheSlaveEndsTheMastersCheck) {
    ASSERT_EQ(fw::bGetRankCount(), 2);
    ASSERT_EQ(fw::StartParityCheck(1, fw::PARITY_MODE_CHECK, fw::FALSE), fw::STATUS_OK);
    ASSERT_TRUE(SlaveStarted()) << Consoles();
    EXPECT_EQ(fw_b::bGetParityCheckRank(), 1);
    ASSERT_TRUE(RunUntil([] { return fw_b::dGetParityCheckPosition() >= 20u * kChunk; }, 3'000 * kMs)) << Consoles();
    fw_b::RequestParityCheckStop();
    ASSERT_TRUE(RunUntil([] { return fw::fIsParityCheckInProgress() != fw::TRUE; }, 1'000 * kMs))
        << "position " << fw::dGetParityCheckPosition() << " of " << fw::dGetParityCheckLastPosition() << Consoles();
    EXPECT_EQ(CountMasterEvents(69), 1u);
    EXPECT_EQ(CountMasterEvents(68), 0u);
    ASSERT_TRUE(BothIdle()) << Consoles();
}

}  // namespace
