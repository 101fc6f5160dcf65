// A controller short of buffer pages keeps the partner's messages that need
// them waiting only for a while: past that they are answered BUSY and the
// partner sends them again, so the messages behind them (a host write's
// mirror) are not held up; one asking for more pages than the controller
// ever has free is refused at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "enclosure/drive_error_counters.h"
#include "eventlog/statistics_record.h"
#include "executive/buffer_pages.h"
#include "harness/dual_pair.h"
#include "mirrored_array.h"
#include "partner/partner_link.h"
#include "sim/fc_host.h"

namespace fw_b {
void SetBufferBaseline();
}  // namespace fw_b

namespace {

using roadtest::kBlock;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint64_t kHostA = 0x2100001B32E00001ull;
// The longest a message waits for pages (coarse ticks are half seconds).
constexpr uint64_t kWaitMs = fw::PARTNER_PAGE_WAIT_COARSE_TICKS * 500;
constexpr uint32_t kRun = 256;
// What A's drive IOC saw answered, by message: a typed message by its code,
// a READ BUFFER by 0x100 + its buffer id.
constexpr unsigned kReadBuffer = 0x100;
constexpr unsigned kStatistics = kReadBuffer + 10;
constexpr unsigned kMirror = 96;
constexpr uint8_t kBusy = 8;
constexpr uint8_t kCheckCondition = 2;

class PartnerPageShortage : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        dual::PlaceMirroredRaid5(chassis, "SHORT", 64);
        ASSERT_TRUE(Boot()) << Consoles();
        host = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1), kHostA);
        ASSERT_TRUE(HostReady(*host)) << Consoles();
        a->board.sasController().partnerAnswerSeen = [this](const uint8_t* pbCdb, uint8_t bStatus) {
            const unsigned key = pbCdb[0] == fw::PARTNER_TYPED_MESSAGE ? pbCdb[1]
                                 : pbCdb[0] == fw::PARTNER_OPCODE_READ_BUFFER ? kReadBuffer + pbCdb[2]
                                                                               : 0;
            answers[key].push_back({bStatus, clock.Now()});
        };
        ASSERT_EQ(fw::bAllocDataPages(0, kStatisticsPages, &statistics), fw::STATUS_OK);
        std::memset(StatisticsBytes(), 0xA5, fw::EXTENDED_STATISTICS_BYTES);
    }
    void TearDown() override {
        a->board.sasController().partnerAnswerSeen = nullptr;
        ReleasePagesOfB();
        (void)fw::wFreeDataPages(statistics, kStatisticsPages);
    }
    // Every free page of B taken but the middle one of each long run: B's
    // own one-page needs are met, and no run of two pages is left for the
    // messages from A.
    void HoldPagesOfB() {
        for (uint32_t run : {kRun, 1u}) {
            fw_b::BUFFER_HANDLE h{};
            while (fw_b::bAllocDataPages(0, run, &h) == fw::STATUS_OK) held.emplace_back(h, run);
        }
        std::vector<std::pair<fw_b::BUFFER_HANDLE, uint32_t>> tails;
        for (auto& [h, run] : held) {
            if (run != kRun) continue;
            (void)fw_b::wFreeDataPages(Page(h, kRun / 2), 1);
            run = kRun / 2;
            tails.emplace_back(Page(h, kRun / 2 + 1), kRun / 2 - 1);
        }
        held.insert(held.end(), tails.begin(), tails.end());
        ASSERT_GT(held.size(), 8u);
    }
    void ReleasePagesOfB() {
        for (const auto& [h, run] : held) (void)fw_b::wFreeDataPages(h, run);
        held.clear();
    }
    static fw_b::BUFFER_HANDLE Page(fw_b::BUFFER_HANDLE h, uint32_t page) {
        return fw_b::BUFFER_HANDLE{static_cast<uint32_t>(h) + page * fw::BUFFER_PAGE_SIZE};
    }
    uint8_t* StatisticsBytes() {
        return a->board.memory().Translate(static_cast<uint32_t>(fw::dBufferHandleToPciAddress(statistics)),
                                           fw::EXTENDED_STATISTICS_BYTES);
    }
    // A's messages that need pages of B: its configuration image, SAS device
    // and expander lists, drive error counters, and a READ BUFFER of B's
    // statistics.
    void SendOneOfEachKind() {
        ASSERT_EQ(fw::SendConfigChangedMessage(fw::FALSE), fw::STATUS_OK);
        ASSERT_EQ(fw::bSendSasPhyMessage157(fw::FALSE), fw::STATUS_OK);
        ASSERT_EQ(fw::bSendSasPhyMessage190(fw::FALSE), fw::STATUS_OK);
        fw::SendDriveErrorCountersToPartner();
        ASSERT_EQ(fw::bReadPartnerBuffer10(0, 0, statistics, nullptr, 0), fw::STATUS_OK);
    }
    // A cached write through A: GOOD only once B holds its mirror.
    uint32_t SubmitWrite() {
        sim::FcpCommand c;
        c.cdb = dual::Cdb16(fw::SCSI_WRITE16, 128, 8);
        c.dataOut.assign(8 * kBlock, 0x5C);
        return host->initiator().Submit(host->target(), c);
    }
    unsigned Count(unsigned key, uint8_t bStatus) const {
        const auto it = answers.find(key);
        if (it == answers.end()) return 0;
        return static_cast<unsigned>(std::count_if(it->second.begin(), it->second.end(),
                                                   [&](const Answer& x) { return x.status == bStatus; }));
    }
    // What A saw answered, for a failure's message.
    std::string Answers() const {
        std::string s;
        for (const auto& [k, v] : answers) {
            s += std::to_string(k) + ":";
            for (const Answer& x : v) s += " " + std::to_string(x.status) + "@" + std::to_string(x.at / kMs);
            s += "\n";
        }
        return s;
    }
    bool LinkQuiet() const { return Quiet(fw::sGetPartnerMessageCounts()) && Quiet(fw_b::sGetPartnerMessageCounts()); }

    static constexpr uint32_t kStatisticsPages =
        (fw::EXTENDED_STATISTICS_BYTES + fw::BUFFER_PAGE_SIZE - 1) / fw::BUFFER_PAGE_SIZE;
    struct Answer {
        uint8_t status;
        uint64_t at;
    };
    std::unique_ptr<sim::FcHost> host;
    std::map<unsigned, std::vector<Answer>> answers;
    std::vector<std::pair<fw_b::BUFFER_HANDLE, uint32_t>> held;
    fw::BUFFER_HANDLE statistics = fw::NULL_BUFFER_HANDLE;
};

TEST_F(PartnerPageShortage, MessagesWaitingForPagesAreAnsweredBusyAndTheMirrorBehindThemIsNotHeldUp) {
    ASSERT_NO_FATAL_FAILURE(HoldPagesOfB());
    const uint64_t start = clock.Now();
    ASSERT_NO_FATAL_FAILURE(SendOneOfEachKind());
    const uint32_t tag = SubmitWrite();
    ASSERT_TRUE(RunUntil([&] { return host->initiator().Finished(tag); }, 3 * kWaitMs * kMs)) << Consoles() << Answers();
    const sim::FcpResult r = host->initiator().Result(tag);
    host->initiator().Forget(tag);
    EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, 0);
    // The write's mirror waited for the messages ahead of it, no longer.
    // (Short of pages, B keeps the record but not the data: A writes this
    // one through.)
    ASSERT_FALSE(answers[kMirror].empty()) << Answers();
    EXPECT_EQ(answers[kMirror].front().status, 0);
    EXPECT_LT(answers[kMirror].front().at - start, kWaitMs * kMs * 5 / 4) << Answers();
    const std::vector<unsigned> kinds = {fw::PARTNER_MESSAGE_CONFIG_CHANGED, 157, 190, fw::ERROR_COUNTER_MESSAGE,
                                         kStatistics};
    for (unsigned key : kinds) {
        ASSERT_FALSE(answers[key].empty()) << key;
        const Answer& first = answers[key].front();
        EXPECT_EQ(first.status, kBusy) << key;
        EXPECT_GE(first.at - start, kWaitMs * kMs / 2) << key;
        EXPECT_LT(first.at - start, kWaitMs * kMs * 5 / 4) << key;
    }
    // Still short: each resent message waits once more and is turned away
    // again.  Then the pages come back and each is carried out, once.
    RunUntil(nullptr, 3 * kWaitMs * kMs);
    ReleasePagesOfB();
    ASSERT_TRUE(RunUntil([&] { return LinkQuiet(); }, 4 * kWaitMs * kMs)) << Consoles();
    SCOPED_TRACE(Answers());
    for (unsigned key : kinds) {
        EXPECT_GE(Count(key, kBusy), 2u) << key;
        EXPECT_EQ(Count(key, 0), 1u) << key;
        EXPECT_EQ(answers[key].back().status, 0) << key;
    }
    const uint8_t* pb = StatisticsBytes();
    EXPECT_FALSE(std::all_of(pb, pb + fw::EXTENDED_STATISTICS_BYTES, [](uint8_t b) { return b == 0xA5; }));
}

// A board whose pages left for messages are fewer than an answer takes
// refuses it at once: waiting would never end, and a BUSY would only bring
// it back.
TEST_F(PartnerPageShortage, ARequestForMorePagesThanTheControllerEverHasFreeIsRefusedAtOnce) {
    // B's free pages made its baseline: eight runs of 129 pages and the
    // single pages left, far fewer than the statistics answer's 2050.
    ASSERT_NO_FATAL_FAILURE(HoldPagesOfB());
    unsigned freed = 0;
    for (auto it = held.begin(); it != held.end() && freed < 8;) {
        if (it->second != kRun / 2) {
            ++it;
            continue;
        }
        (void)fw_b::wFreeDataPages(it->first, it->second);
        it = held.erase(it);
        ++freed;
    }
    fw_b::SetBufferBaseline();
    ASSERT_LT(fw_b::dGetAvailablePages(0), 2050u);
    const uint64_t start = clock.Now();
    ASSERT_EQ(fw::bReadPartnerBuffer10(0, 0, statistics, nullptr, 0), fw::STATUS_OK);
    ASSERT_TRUE(RunUntil([&] { return LinkQuiet(); }, 3 * kWaitMs * kMs)) << Consoles();
    EXPECT_LT(clock.Now() - start, kWaitMs * kMs / 2);
    ASSERT_EQ(answers[kStatistics].size(), 1u);
    EXPECT_EQ(answers[kStatistics].front().status, kCheckCondition);
    const sim::SasController::PartnerAnswer& got = a->board.sasController().lastPartnerAnswer();
    EXPECT_EQ(got.key, 5);
    EXPECT_EQ(got.asc, 0x24);
    EXPECT_EQ(got.ascq, 0);
    // Its smaller sibling, the statistics record alone, is still served.
    ASSERT_EQ(fw::bReadPartnerBuffer19(0, 0, statistics, nullptr, 0), fw::STATUS_OK);
    ASSERT_TRUE(RunUntil([&] { return LinkQuiet(); }, 3 * kWaitMs * kMs)) << Consoles();
    ASSERT_FALSE(answers[kReadBuffer + 19].empty());
    EXPECT_EQ(answers[kReadBuffer + 19].back().status, 0);
    ReleasePagesOfB();
    fw_b::SetBufferBaseline();
}

}  // namespace
