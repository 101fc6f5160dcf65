// A read-modify-write of a degraded parity row first gives the partner the
// row's old parity and data (message 111); the partner keeps them until the
// row's writes are done (message 112).  When the writer is lost between,
// the survivor writes them back before it replays the writer's journal, so
// the chunk of the missing member, which only the parity still holds, is
// never lost to a half-done write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../system/road_config.h"
#include "cache/nvram_journal.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "partner/parity_read_data.h"
#include "sim/fc_host.h"

namespace fw_b {
using fw::EVENT_LOG_ENTRY;
using fw::PARITY_READ_DATA_ENTRY;
const PARITY_READ_DATA_ENTRY* psGetParityReadDataEntry(uint16_t wEntry);
void GetEventLogPosition(uint16_t* pwCount, uint16_t* pwNext);
const EVENT_LOG_ENTRY* psGetEventLogEntry(uint16_t wIndex);
void ShowOtherControllerParityReadDataQueue();
uint16_t wGetDirtyExtentCount();
uint16_t wGetJournalInUseCount();
}  // namespace fw_b

namespace {

using Outcome = sim::FcpResult::Outcome;
using roadtest::kBlock;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint64_t kHostA = 0x2100001B32E00011ull;
constexpr uint64_t kHostB = 0x2100001B32E00012ull;
constexpr unsigned kDrives = 4;
constexpr unsigned kPulled = 4;   // member 3 is missing
constexpr uint16_t kChunk = 64;
constexpr uint64_t kRowBlocks = (kDrives - 1) * kChunk;
constexpr unsigned kRows = 12;

using dual::Cdb16;

template <typename F>
unsigned CountEntries(F get, bool (*pred)(const fw::PARITY_READ_DATA_ENTRY&)) {
    unsigned n = 0;
    for (uint16_t w = 0; w < fw::PARITY_READ_DATA_ENTRIES; ++w) {
        if (pred(*get(w))) ++n;
    }
    return n;
}
bool IsValid(const fw::PARITY_READ_DATA_ENTRY& e) { return e.fValid == fw::TRUE; }
bool IsReplayable(const fw::PARITY_READ_DATA_ENTRY& e) {
    return e.fValid == fw::TRUE && e.fReplayAllowed == fw::TRUE && e.bState == fw::PARITY_DATA_ARRIVED;
}
const fw::PARITY_READ_DATA_ENTRY* OnA(uint16_t w) { return fw::psGetParityReadDataEntry(w); }
const fw::PARITY_READ_DATA_ENTRY* OnB(uint16_t w) { return fw_b::psGetParityReadDataEntry(w); }

class PartnerParityData : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        roadtest::ArraySpec spec{"DEGRADED", fw::RAID_LEVEL_5, kDrives, kChunk};
        spec.lBlocks = kRows * kRowBlocks * 4;
        std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, spec, 0x200000A55AA00011ull);
        copytest::Image(ab)->asRank[0].bCachePolicy = fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= kDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
        // Every row holds a known pattern, its parity right, before the
        // array loses a member.
        for (unsigned row = 0; row < kRows; ++row) {
            std::vector<uint8_t> p(kChunk * kBlock, 0), d(kChunk * kBlock);
            const unsigned parity = ParityMember(row);
            for (unsigned m = 0; m < kDrives; ++m) {
                if (m == parity) continue;
                for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(row * 31 + m * 7 + i);
                chassis.DriveAt(m + 1)->WriteBlocks(uint64_t(row) * kChunk, kChunk, d.data());
                for (size_t i = 0; i < d.size(); ++i) p[i] ^= d[i];
            }
            chassis.DriveAt(parity + 1)->WriteBlocks(uint64_t(row) * kChunk, kChunk, p.data());
        }
        chassis.Pull(kPulled);
        ASSERT_TRUE(Boot()) << Consoles();
        ASSERT_NE(fw::pGetRankRecord(0)->bRankState, fw::RANK_STATE_OPTIMAL);
        hostA = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1), kHostA);
        hostB = std::make_unique<sim::FcHost>(b->board, b->fabric, *sim::FindIspChip(b->board, 1), kHostB);
        ASSERT_TRUE(HostReady(*hostA)) << Consoles();
        ASSERT_TRUE(HostReady(*hostB)) << Consoles();
        // What the hosts read before any write: the reference.
        reference = Read(*hostB, 0, kRows * kRowBlocks);
        ASSERT_EQ(reference.size(), kRows * kRowBlocks * kBlock);
    }
    // The parity member of a row, read back from the layout the firmware
    // uses (the check below would fail on any other).
    static unsigned ParityMember(unsigned row) { return (kDrives - 1) - row % kDrives; }

    std::vector<uint8_t> Read(sim::FcHost& host, uint64_t lba, uint64_t blocks) {
        std::vector<uint8_t> out;
        for (uint64_t done = 0; done < blocks; done += kRowBlocks) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kRowBlocks, blocks - done));
            const sim::FcpResult r = RunCommand(host, Cdb16(fw::SCSI_READ16, lba + done, n), {}, n * kBlock);
            EXPECT_EQ(r.status, 0) << Consoles();
            if (r.status != 0) return {};
            out.insert(out.end(), r.dataIn.begin(), r.dataIn.end());
        }
        return out;
    }
    void SlowDrives(uint64_t ns) {
        for (unsigned s = 1; s <= kDrives; ++s) {
            if (s != kPulled) chassis.DriveAt(s)->SetExtraLatencyNs(ns);
        }
    }

    // Two writes into every row, the rows taken by the two hosts in turn,
    // each into a chunk of a member that is there (a read-modify-write with
    // the partner's copy), all sent at once; the reference takes those
    // answered GOOD.
    struct Sent {
        sim::FcHost* host;
        uint64_t lba;
        std::vector<uint8_t> data;
        uint32_t tag;
        bool answered = false;
    };
    void SendWrites() {
        std::mt19937 rng(5);
        for (unsigned row = 0; row < kRows; ++row) {
            // The row's data chunks in host order: members other than the
            // parity member.
            std::vector<unsigned> members;
            for (unsigned m = 0; m < kDrives; ++m) {
                if (m != ParityMember(row)) members.push_back(m);
            }
            unsigned k = 0;
            sim::FcHost* const writer = row % 2 == 0 ? hostA.get() : hostB.get();
            for (sim::FcHost* host : {writer, writer}) {
                while (members[k] == kPulled - 1) ++k;
                const uint64_t lba = row * kRowBlocks + k * kChunk + rng() % (kChunk - 8);
                ++k;
                Sent x{host, lba, std::vector<uint8_t>(8 * kBlock), 0};
                for (uint8_t& b : x.data) b = static_cast<uint8_t>(rng());
                sim::FcpCommand c;
                c.cdb = Cdb16(fw::SCSI_WRITE16, x.lba, 8);
                c.dataOut = x.data;
                x.tag = host->initiator().Submit(host->target(), c);
                sent.push_back(std::move(x));
            }
        }
    }
    void TakeAnswered() {
        for (Sent& x : sent) {
            if (!x.host->initiator().Finished(x.tag)) continue;
            const sim::FcpResult r = x.host->initiator().Result(x.tag);
            x.answered = r.outcome == Outcome::Done && r.status == 0;
        }
    }
    // Every block reads back as the reference holds it, except the blocks
    // of writes never answered, which may hold either.
    void ExpectReadsMatch(sim::FcHost& host) {
        std::vector<uint8_t> expect = reference;
        std::vector<bool> either(kRows * kRowBlocks, false);
        for (const Sent& x : sent) {
            if (x.answered) {
                std::copy(x.data.begin(), x.data.end(), expect.begin() + x.lba * kBlock);
            } else {
                for (uint64_t b = x.lba; b < x.lba + 8; ++b) either[b] = true;
            }
        }
        const std::vector<uint8_t> got = Read(host, 0, kRows * kRowBlocks);
        ASSERT_EQ(got.size(), expect.size());
        for (uint64_t b = 0; b < kRows * kRowBlocks; ++b) {
            if (either[b]) continue;
            ASSERT_TRUE(std::equal(got.begin() + b * kBlock, got.begin() + (b + 1) * kBlock, expect.begin() + b * kBlock))
                << "block " << b << " (row " << b / kRowBlocks << ", chunk " << (b % kRowBlocks) / kChunk << ")";
        }
    }
    static bool BPosted(uint16_t wFrom, uint8_t bCode) {
        uint16_t wCount = 0, wNext = 0;
        fw_b::GetEventLogPosition(&wCount, &wNext);
        for (uint16_t w = wFrom; w != wNext; w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
            if (fw_b::psGetEventLogEntry(w)->bCode == bCode) return true;
        }
        return false;
    }

    std::unique_ptr<sim::FcHost> hostA;
    std::unique_ptr<sim::FcHost> hostB;
    std::vector<uint8_t> reference;
    std::vector<Sent> sent;
};

// Both controllers update the same degraded rows: each holds the other's
// old row contents while its writes run and lets them go when they are
// done; every row's missing chunk still reads back through its parity.
TEST_F(PartnerParityData, BothControllersWritingOneDegradedRowSetHoldAndReleaseEachOthersCopies) {
    SlowDrives(20 * kMs);
    SendWrites();
    unsigned heldOnA = 0, heldOnB = 0;
    ASSERT_TRUE(RunUntil(
        [&] {
            heldOnA = std::max(heldOnA, CountEntries(OnA, IsValid));
            heldOnB = std::max(heldOnB, CountEntries(OnB, IsValid));
            for (const Sent& x : sent) {
                if (!x.host->initiator().Finished(x.tag)) return false;
            }
            // Answered from the cache: done once the writes are on the drives.
            return fw::wGetDirtyExtentCount() == 0 && fw_b::wGetDirtyExtentCount() == 0 &&
                   fw::wGetJournalInUseCount() == 0 && fw_b::wGetJournalInUseCount() == 0 &&
                   CountEntries(OnA, IsValid) == 0 && CountEntries(OnB, IsValid) == 0;
        },
        20'000 * kMs))
        << Consoles() << " held on A " << CountEntries(OnA, IsValid) << " on B " << CountEntries(OnB, IsValid);
    EXPECT_GT(heldOnA, 0u);
    EXPECT_GT(heldOnB, 0u);
    TakeAnswered();
    for (const Sent& x : sent) ASSERT_TRUE(x.answered) << x.lba;
    SlowDrives(0);
    ExpectReadsMatch(*hostA);
}

// Controller A is cut while B holds the old contents of A's rows; A's data
// writes are taken as half done (their blocks garbled on the drive).  B
// writes the old contents back, then A's journalled writes: every answered
// write reads back and so does every chunk of the missing member.
TEST_F(PartnerParityData, TheSurvivorWritesTheRowsBackBeforeReplayingTheLostWrites) {
    uint16_t wCount = 0, wFirst = 0;
    fw_b::GetEventLogPosition(&wCount, &wFirst);
    SlowDrives(20 * kMs);
    SendWrites();
    ASSERT_TRUE(RunUntil([&] { return CountEntries(OnB, IsReplayable) >= 3; }, 20'000 * kMs)) << Consoles();
    a->board.CutPower();
    TakeAnswered();
    std::vector<uint8_t> garbage(8 * kBlock, 0xA5);
    unsigned torn = 0;
    for (uint16_t w = 0; w < fw::PARITY_READ_DATA_ENTRIES; ++w) {
        const fw::PARITY_READ_DATA_ENTRY& e = *OnB(w);
        if (!IsReplayable(e)) continue;
        const uint32_t lba = fw::dGetBe32(e.abAddress);
        const uint16_t blocks = fw::wGetBe16(e.abBlocks);
        std::vector<uint8_t> g(blocks * kBlock, 0xA5);
        chassis.DriveAt(e.bDataMember + 1u)->WriteBlocks(lba, blocks, g.data());
        ++torn;
    }
    ASSERT_GE(torn, 3u);
    SlowDrives(0);
    ASSERT_TRUE(RunUntil([&] { return BPosted(wFirst, 93); }, 60'000 * kMs)) << Consoles();
    EXPECT_EQ(CountEntries(OnB, IsValid), 0u);
    ExpectReadsMatch(*hostB);
}

// Bad fields are refused before any page is taken and hold nothing up; a
// copy is released only by a 112 that names it.
TEST_F(PartnerParityData, TheQueueTakesOnlyWhatItCanServeAndReleasesWhatIsNamed) {
    fw::BUFFER_HANDLE dHandle = fw::NULL_BUFFER_HANDLE;
    ASSERT_EQ(fw::bAllocDataPages(0, 4, &dHandle), fw::STATUS_OK);
    uint8_t* pb = a->board.memory().Translate(fw::dBufferHandleToPciAddress(dHandle), 16 * kBlock);
    ASSERT_NE(pb, nullptr);
    for (unsigned i = 0; i < 16 * kBlock; ++i) pb[i] = static_cast<uint8_t>(i * 13 + 1);
    auto send = [&](uint16_t entry, uint16_t blocks, uint8_t kind, uint8_t code = fw::PARTNER_MESSAGE_PARITY_DATA,
                    uint32_t address = 0x1234) {
        fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(code);
        fw::PutBe16(s.abCdb + 2, entry);
        fw::PutBe32(s.abCdb + 4, address);
        fw::PutBe16(s.abCdb + 8, blocks);
        s.abCdb[10] = 0;
        s.abCdb[11] = 1;
        s.abCdb[12] = 2;
        s.abCdb[13] = kind;
        fw::PutBe16(s.abCdb + 14, 0xFFFF);
        if (code == fw::PARTNER_MESSAGE_PARITY_DATA) {
            s.wControlFlags = fw::PARTNER_CONTROL_DATA_OUT;
            s.wSegmentCount = 1;
            s.dByteCount = 2u * blocks * kBlock;
            s.adSegment[0] = static_cast<uint32_t>(fw::dBufferHandleToPciAddress(dHandle));
            s.adSegment[1] = std::min<uint32_t>(s.dByteCount, 16 * kBlock);
        }
        uint16_t wSlot = 0;
        ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0xEE), fw::STATUS_OK);
    };
    auto quiet = [&] { return RunUntil([&] { return Quiet(fw::sGetPartnerMessageCounts()) && Quiet(fw_b::sGetPartnerMessageCounts()); }, 2000 * kMs); };
    send(7, 0, 162);                  // no blocks
    send(fw::PARITY_READ_DATA_ENTRIES, 8, 162);   // no such entry
    send(8, 8, 99);                   // no such kind
    send(9, 0x8000, 215);             // more than any read-modify-write
    send(10, 8, 162);                 // the one that fits
    ASSERT_TRUE(quiet()) << Consoles();
    EXPECT_EQ(CountEntries(OnB, IsValid), 1u);
    const fw::PARITY_READ_DATA_ENTRY& e = *OnB(10);
    ASSERT_TRUE(IsReplayable(e));
    EXPECT_EQ(fw::wGetBe16(e.abBlocks), 8);
    EXPECT_EQ(e.bParityMember, 1);
    EXPECT_EQ(e.bDataMember, 2);
    const uint8_t* pbHeld = b->board.memory().Translate(fw::dBufferHandleToPciAddress(e.dBuffer), 16 * kBlock);
    ASSERT_NE(pbHeld, nullptr);
    EXPECT_EQ(std::memcmp(pbHeld, pb, 16 * kBlock), 0);
    // Not naming the copy's address: a late release of an older one.
    send(10, 8, 162, fw::PARTNER_MESSAGE_PARITY_RELEASE, 0x9999);
    ASSERT_TRUE(quiet());
    EXPECT_TRUE(IsValid(*OnB(10)));
    b->board.ClearConsoleText();
    fw_b::ShowOtherControllerParityReadDataQueue();
    RunUntil([] { return false; }, 50 * kMs);   // the console drains as the board runs
    EXPECT_NE(b->board.ConsoleText().find("00a VT PS:19 SS:00 R:00 P:01 D:02 A:00001234 B:0008 "), std::string::npos)
        << b->board.ConsoleText();
    send(10, 8, 162, fw::PARTNER_MESSAGE_PARITY_RELEASE);
    ASSERT_TRUE(quiet());
    EXPECT_EQ(CountEntries(OnB, IsValid), 0u);
    (void)fw::wFreeDataPages(dHandle, 4);
}

}  // namespace
