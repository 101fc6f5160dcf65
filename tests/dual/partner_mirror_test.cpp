// Mirrored write-back between two controllers: a cached write is answered
// GOOD only once the partner holds its data, and when the writer is lost
// the survivor writes every write it acknowledged to the drives and serves
// it back to its own hosts.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../system/road_config.h"
#include "mirrored_array.h"
#include "cache/nvram_journal.h"
#include "cache/stripe_access.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "harness/dual_pair.h"
#include "executive/buffer_pages.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "sim/fc_host.h"

namespace fw_b {
using fw::EVENT_LOG_ENTRY;
using fw::NVRAM_QUEUE_ENTRY;
const NVRAM_QUEUE_ENTRY* psGetNvramQueueEntry(uint8_t fOwn, uint16_t wSlot);
uint16_t wGetDirtyExtentCount();
uint16_t wGetMirrorPagesInUse();
uint16_t wGetJournalInUseCount();
uint8_t fIsDualControllerActive();
void GetEventLogPosition(uint16_t* pwCount, uint16_t* pwNext);
const EVENT_LOG_ENTRY* psGetEventLogEntry(uint16_t wIndex);
}  // namespace fw_b

namespace {

using Outcome = sim::FcpResult::Outcome;
using roadtest::kBlock;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint64_t kHostA = 0x2100001B32E00001ull;
constexpr uint64_t kHostB = 0x2100001B32E00002ull;
constexpr unsigned kWrites = 32;

uint16_t wGet16(const uint8_t* pb) { return static_cast<uint16_t>(pb[0] | pb[1] << 8); }
uint64_t lGet64(const uint8_t* pb) {
    uint64_t l = 0;
    for (int i = 7; i >= 0; --i) l = (l << 8) | pb[i];
    return l;
}

using dual::Cdb16;

class PartnerMirror : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { Start(true); }
    // A host on each controller, or on A only (then A alone writes the
    // logical drive and asks B for no rows).
    void Start(bool hostOnB, uint8_t bPolicy = fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR) {
        // One RAID 5 array, cached and mirrored, on the shared drives.
        dual::PlaceSharedArray(chassis, {"MIRROR", fw::RAID_LEVEL_5, 4, 64}, bPolicy);
        ASSERT_TRUE(Boot()) << Consoles();
        hostA = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1), kHostA);
        ASSERT_TRUE(HostReady(*hostA)) << Consoles();
        if (!hostOnB) return;
        hostB = std::make_unique<sim::FcHost>(b->board, b->fabric, *sim::FindIspChip(b->board, 1), kHostB);
        ASSERT_TRUE(HostReady(*hostB)) << Consoles();
    }
    // The partner copy the survivor holds of a write or stream: the valid
    // slot of its partner table that starts at the block, and its blocks of
    // data.
    static const fw::NVRAM_QUEUE_ENTRY* HeldSlot(uint64_t lba) {
        for (uint16_t n = 0; n < fw::NVRAM_QUEUE_USED_SLOTS; ++n) {
            const fw::NVRAM_QUEUE_ENTRY* ps = fw_b::psGetNvramQueueEntry(fw::FALSE, n);
            if (ps->fValid == fw::TRUE && ps->fHoldsData == fw::TRUE && lGet64(ps->abFirstBlock) == lba) return ps;
        }
        return nullptr;
    }
    static uint16_t HeldBlocks(uint64_t lba) {
        const fw::NVRAM_QUEUE_ENTRY* ps = HeldSlot(lba);
        return ps ? wGet16(ps->abValidBlocks) : 0;
    }
    static std::vector<uint8_t> EventsOfB(uint16_t wFrom) {
        std::vector<uint8_t> ab;
        uint16_t wCount = 0, wNext = 0;
        fw_b::GetEventLogPosition(&wCount, &wNext);
        for (uint16_t w = wFrom; w != wNext; w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
            const uint8_t bCode = fw_b::psGetEventLogEntry(w)->bCode;
            if (bCode == 8 || bCode == 9 || bCode == 92 || bCode == 53 || bCode == 54 || bCode == 93) ab.push_back(bCode);
        }
        return ab;
    }
    // Whether B posted the event since the position given (no allocation:
    // this runs at every main-loop cycle).
    static bool BPosted(uint16_t wFrom, uint8_t bCode) {
        uint16_t wCount = 0, wNext = 0;
        fw_b::GetEventLogPosition(&wCount, &wNext);
        for (uint16_t w = wFrom; w != wNext; w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
            if (fw_b::psGetEventLogEntry(w)->bCode == bCode) return true;
        }
        return false;
    }
    void SlowDrives(uint64_t ns) {
        for (unsigned s = 1; s <= 4; ++s) chassis.DriveAt(s)->SetExtraLatencyNs(ns);
    }

    // Writes of 8 to 64 blocks, each on rows of its own, all sent at once
    // to controller A; each answer is checked against what controller B
    // holds at that moment.
    struct Write {
        uint64_t lba;
        std::vector<uint8_t> data;
        uint32_t tag = 0;
        bool good = false;
        uint16_t heldAtGood = 0;
    };
    void WriteThroughA() {
        std::mt19937 rng(7);
        for (unsigned i = 0; i < kWrites; ++i) {
            Write w;
            w.lba = uint64_t(i) * 1024 + (rng() % 64);
            w.data.resize(size_t(8 + rng() % 57) * kBlock);
            for (uint8_t& b : w.data) b = static_cast<uint8_t>(rng());
            writes.push_back(std::move(w));
        }
        ASSERT_NO_FATAL_FAILURE(SendWrites(5000 * kMs));
    }
    // The writes, all sent at once to controller A and run until each is
    // answered; each answer notes what controller B holds at that moment.
    void SendWrites(uint64_t limitNs) {
        SubmitWrites();
        ASSERT_TRUE(RunUntilAnswered(limitNs)) << Consoles();
    }
    void SubmitWrites() {
        hostA->initiator().onCompletion = [this](uint32_t tag, sim::FcpResult& r) {
            peakMirrorPages = std::max(peakMirrorPages, fw_b::wGetMirrorPagesInUse());
            for (Write& w : writes) {
                if (w.tag != tag) continue;
                w.good = r.outcome == Outcome::Done && r.status == 0;
                w.heldAtGood = HeldBlocks(w.lba);
            }
        };
        for (Write& w : writes) {
            sim::FcpCommand c;
            c.cdb = Cdb16(fw::SCSI_WRITE16, w.lba, static_cast<uint32_t>(w.data.size() / kBlock));
            c.dataOut = w.data;
            w.tag = hostA->initiator().Submit(hostA->target(), c);
        }
    }
    bool RunUntilAnswered(uint64_t limitNs) {
        const bool f = RunUntil(
            [&] {
                return std::all_of(writes.begin(), writes.end(),
                                   [&](const Write& w) { return hostA->initiator().Finished(w.tag); });
            },
            limitNs);
        if (f) hostA->initiator().onCompletion = nullptr;
        return f;
    }
    // Each write reads back through B's host, byte for byte (the first
    // read waits out the drive side's restarts after a takeover).
    void ExpectEachWriteReadsBackThroughB() {
        for (const Write& w : writes) {
            const uint32_t blocks = static_cast<uint32_t>(w.data.size() / kBlock);
            sim::FcpCommand c;
            c.cdb = Cdb16(fw::SCSI_READ16, w.lba, blocks);
            c.dataInLength = blocks * kBlock;
            const uint32_t tag = hostB->initiator().Submit(hostB->target(), c);
            ASSERT_TRUE(RunUntil([&] { return hostB->initiator().Finished(tag); }, 30'000 * kMs)) << w.lba;
            const sim::FcpResult r = hostB->initiator().Result(tag);
            hostB->initiator().Forget(tag);
            ASSERT_EQ(r.outcome, Outcome::Done);
            ASSERT_EQ(r.status, 0);
            EXPECT_TRUE(r.dataIn == w.data) << "write at " << w.lba;
        }
    }

    std::unique_ptr<sim::FcHost> hostA;
    std::unique_ptr<sim::FcHost> hostB;
    std::vector<Write> writes;
    uint16_t peakMirrorPages = 0;
};

class PartnerMirrorOneHost : public PartnerMirror {
protected:
    void SetUp() override { Start(false); }
};

// Drives slow enough that none of the writes is on them when it is
// answered: each GOOD finds the whole write in the partner's copy.
TEST_F(PartnerMirror, AWriteBackWriteIsAnsweredOnlyOnceThePartnerHoldsItsData) {
    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(WriteThroughA());
    for (const Write& w : writes) {
        ASSERT_TRUE(w.good) << w.lba;
        EXPECT_EQ(w.heldAtGood, w.data.size() / kBlock) << "write at " << w.lba << " answered before the partner held it";
    }
    // Once on the drives, the partner lets its copies go.
    SlowDrives(0);
    ASSERT_TRUE(RunUntil([] { return fw_b::wGetDirtyExtentCount() == 0; }, 5000 * kMs)) << Consoles();
    EXPECT_EQ(fw::wGetDirtyExtentCount(), 0);
}

// Random writes are each a stream head with a buffer of hundreds of blocks
// here; the partner takes a copy of each write's own blocks only.  Were it
// to hold the head's whole buffer for every write, it would run short of
// pages after a few dozen, refuse the rest, and those would wait for the
// (slow) drives before their GOOD.
TEST_F(PartnerMirrorOneHost, ManyRandomWritesAreEachHeldByThePartnerAtTheirOwnSize) {
    constexpr unsigned kMany = 160;
    SlowDrives(200 * kMs);
    std::mt19937 rng(5);
    for (unsigned i = 0; i < kMany; ++i) {
        Write w;
        w.lba = uint64_t(i) * 1024 + 8 * (rng() % 8);
        w.data.resize(8 * kBlock);
        for (uint8_t& b : w.data) b = static_cast<uint8_t>(rng());
        writes.push_back(std::move(w));
    }
    // Answered from the cache: long before the drives could take them.
    ASSERT_NO_FATAL_FAILURE(SendWrites(100 * kMs));
    for (const Write& w : writes) {
        ASSERT_TRUE(w.good) << w.lba;
        EXPECT_EQ(w.heldAtGood, 8) << "write at " << w.lba << " not held by the partner when answered";
    }
    EXPECT_LE(peakMirrorPages, kMany) << "the partner held more than the writes' data";
}

// Back-to-back writes gather into streams; each later piece lands beyond
// the blocks the partner first took for its head, and the partner's copy
// grows to hold the whole stream, byte for byte.
TEST_F(PartnerMirrorOneHost, AStreamsPiecesAreHeldByThePartnerAsTheyJoinIt) {
    constexpr unsigned kPieces = 48;
    constexpr uint64_t kStart = 20'000;
    SlowDrives(200 * kMs);
    std::mt19937 rng(9);
    std::vector<uint8_t> all;
    for (unsigned i = 0; i < kPieces; ++i) {
        Write w;
        w.lba = kStart + uint64_t(i) * 8;
        w.data.resize(8 * kBlock);
        for (uint8_t& b : w.data) b = static_cast<uint8_t>(rng());
        all.insert(all.end(), w.data.begin(), w.data.end());
        writes.push_back(std::move(w));
    }
    ASSERT_NO_FATAL_FAILURE(SendWrites(100 * kMs));
    for (const Write& w : writes) ASSERT_TRUE(w.good) << w.lba;
    // A stream's head holds the pieces that joined it; a write that began a
    // stream of its own is held in a slot of its own.
    uint64_t lba = kStart;
    unsigned streams = 0;
    while (lba < kStart + kPieces * 8) {
        const fw::NVRAM_QUEUE_ENTRY* ps = HeldSlot(lba);
        ASSERT_NE(ps, nullptr) << "nothing held from " << lba;
        const uint32_t valid = wGet16(ps->abValidBlocks);
        ASSERT_GT(valid, 0u);
        ASSERT_LE(valid, wGet16(ps->abBufferBlocks));
        const uint32_t handle = static_cast<uint32_t>(ps->abBufferHandle[0] | ps->abBufferHandle[1] << 8 |
                                                      ps->abBufferHandle[2] << 16 | uint32_t(ps->abBufferHandle[3]) << 24);
        const uint8_t* held =
            b->board.memory().Translate(fw::dBufferHandleToPciAddress(fw::BUFFER_HANDLE(handle)), valid * kBlock);
        ASSERT_NE(held, nullptr);
        const size_t at = size_t(lba - kStart) * kBlock;
        ASSERT_LE(at + valid * kBlock, all.size());
        EXPECT_TRUE(std::equal(held, held + valid * kBlock, all.begin() + at)) << "held copy from " << lba << " differs";
        lba += valid;
        ++streams;
    }
    EXPECT_LT(streams, kPieces) << "no write joined a stream";
}

// Controller A is cut with every write acknowledged and none on the drives:
// B gives it up, writes A's mirrored writes out (events 53, 54, 93) and its
// host reads every one of them back.
TEST_F(PartnerMirror, TheSurvivorWritesOutEveryWriteItsPartnerAcknowledged) {
    uint16_t wCount = 0, wFirst = 0;
    fw_b::GetEventLogPosition(&wCount, &wFirst);
    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(WriteThroughA());
    a->board.CutPower();
    SlowDrives(0);
    // The drive side settles first (its timed hold, an IOC restart and a
    // discovery), then the flush runs.
    ASSERT_TRUE(RunUntil([&] { return BPosted(wFirst, 93); }, 60'000 * kMs))
        << Consoles() << ::testing::PrintToString(EventsOfB(wFirst));
    EXPECT_EQ(EventsOfB(wFirst), (std::vector<uint8_t>{9, 8, 92, 53, 54, 93}));
    EXPECT_EQ(fw_b::fIsDualControllerActive(), fw::FALSE);
    for (const Write& w : writes) ASSERT_TRUE(w.good);
    ExpectEachWriteReadsBackThroughB();
}

// Hosts on both controllers write to the same parity rows at once, each to
// blocks of its own: the controllers agree who goes first on each row
// (message 118), so every row's parity holds both writes.
TEST_F(PartnerMirror, WritesThroughBothControllersToOneRowKeepItsParity) {
    constexpr unsigned kRows = 16;
    constexpr uint64_t kRowBlocks = 3 * 64;
    std::mt19937 rng(11);
    struct Sent {
        sim::FcHost* host;
        uint64_t lba;
        std::vector<uint8_t> data;
        uint32_t tag;
    };
    std::vector<Sent> sent;
    // Slow drives keep each controller's read-modify-write of a row open
    // long enough for the other's to meet it.
    SlowDrives(20 * kMs);
    for (unsigned r = 0; r < kRows; ++r) {
        for (sim::FcHost* host : {hostA.get(), hostB.get()}) {
            Sent x{host, r * kRowBlocks + (host == hostA.get() ? 8 : 72) + rng() % 32, std::vector<uint8_t>(8 * kBlock), 0};
            for (uint8_t& b : x.data) b = static_cast<uint8_t>(rng());
            sim::FcpCommand c;
            c.cdb = Cdb16(fw::SCSI_WRITE16, x.lba, 8);
            c.dataOut = x.data;
            x.tag = host->initiator().Submit(host->target(), c);
            sent.push_back(std::move(x));
        }
    }
    ASSERT_TRUE(RunUntil(
        [&] {
            for (const Sent& x : sent) {
                if (!x.host->initiator().Finished(x.tag)) return false;
            }
            return fw::wGetDirtyExtentCount() == 0 && fw_b::wGetDirtyExtentCount() == 0 &&
                   fw::wGetJournalInUseCount() == 0 && fw_b::wGetJournalInUseCount() == 0;
        },
        10'000 * kMs))
        << Consoles();
    for (const Sent& x : sent) {
        const sim::FcpResult r = x.host->initiator().Result(x.tag);
        ASSERT_EQ(r.status, 0);
        const sim::FcpResult back = RunCommand(*hostA, Cdb16(fw::SCSI_READ16, x.lba, 8), {}, 8 * kBlock);
        ASSERT_EQ(back.status, 0);
        EXPECT_TRUE(back.dataIn == x.data) << x.lba;
    }
    // Each row's four member chunks XOR to zero: its parity is its data's.
    for (unsigned r = 0; r < kRows; ++r) {
        std::vector<uint8_t> x(64 * kBlock, 0), v(64 * kBlock);
        for (unsigned s = 1; s <= 4; ++s) {
            chassis.DriveAt(s)->ReadBlocks(uint64_t(r) * 64, 64, v.data());
            for (size_t i = 0; i < x.size(); ++i) x[i] ^= v[i];
        }
        EXPECT_TRUE(std::all_of(x.begin(), x.end(), [](uint8_t b) { return b == 0; })) << "row " << r;
    }
}

}  // namespace

// Commands of a LUN the partner asked about are held for the partner; once
// the partner's LUN has been idle a while it says so, and they need not be.
// The idle list is looked at 5 s after the first LUN is scheduled and, while
// an entry is not yet due, 5 s after each look, so a LUN scheduled again
// within the first delay is reported up to 10 s after it went idle.
TEST_F(PartnerMirror, APartnersLunLeftIdleIsNoLongerHeldForIt) {
    const sim::FcpResult r = RunCommand(*hostB, Cdb16(fw::SCSI_READ16, 64, 8), {}, 8 * kBlock);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(fw::fGetLunOcioFlag(0), fw::TRUE);
    EXPECT_TRUE(RunUntil([] { return fw::fGetLunOcioFlag(0) == fw::FALSE; }, 11'000 * kMs));
}

namespace fw_b {
uint8_t fGetRetripeFlag();
}  // namespace fw_b

namespace {

// Controller A restarts and pings B as a joiner before B noticed it was
// gone: A discards its own journal when it joins, so B writes out the
// mirrors it holds of A first, answering NOT READY meanwhile, without
// giving A up.
TEST_F(PartnerMirror, APartnerRejoiningBeforeItWasGivenUpHasItsMirrorsWrittenOutFirst) {
    uint16_t wCount = 0, wFirst = 0;
    fw_b::GetEventLogPosition(&wCount, &wFirst);
    SlowDrives(500 * kMs);
    ASSERT_NO_FATAL_FAILURE(WriteThroughA());
    ASSERT_GT(HeldBlocks(writes[0].lba), 0);
    fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(0);
    s.abCdb[0] = fw::PARTNER_OPCODE_READ_BUFFER;
    s.abCdb[1] = 0;
    s.abCdb[2] = fw::PARTNER_BUFFER_ID_PING;
    s.abCdb[3] = fw::TRUE;
    uint16_t wSlot = 0;
    ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
    ASSERT_TRUE(RunUntil([&] { return BPosted(wFirst, 53); }, 2000 * kMs))
        << Consoles() << ::testing::PrintToString(EventsOfB(wFirst));
    EXPECT_EQ(fw_b::fIsDualControllerActive(), fw::TRUE);
    EXPECT_EQ(EventsOfB(wFirst), (std::vector<uint8_t>{53}));
    // Once they are on the drives the partner copies are gone, and B
    // answers the next ping GOOD.
    SlowDrives(0);
    ASSERT_TRUE(RunUntil([] { return fw_b::fGetRetripeFlag() != fw::TRUE && fw_b::wGetDirtyExtentCount() == 0; },
                         10'000 * kMs))
        << Consoles();
    for (const Write& w : writes) EXPECT_EQ(HeldBlocks(w.lba), 0) << w.lba;
    a->board.CutPower();
    // The first read waits out the drive side's restarts: one when A's
    // links go down, one when B takes A's work over.
    ASSERT_TRUE(RunUntil([] { return fw_b::fIsDualControllerActive() != fw::TRUE; }, 10'000 * kMs));
    ExpectEachWriteReadsBackThroughB();
}

// A partner that asks to join while this controller writes out its cache
// is told to wait (NOT READY, 2/04/01), whether its own ask started that
// flush (it restarted, and the copies kept here of its writes go to the
// drives first) or the flush was already under way: joined, it would
// serve writes to rows still being written out here.
TEST_F(PartnerMirror, APartnerAskingToJoinWhileThisOneWritesItsCacheOutIsToldToWait) {
    uint16_t wCount = 0, wFirst = 0;
    fw_b::GetEventLogPosition(&wCount, &wFirst);
    SlowDrives(500 * kMs);
    ASSERT_NO_FATAL_FAILURE(WriteThroughA());
    const sim::SasController& ioc = a->board.sasController();
    const auto ping = [&](uint8_t fJoining) {
        fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(0);
        s.abCdb[0] = fw::PARTNER_OPCODE_READ_BUFFER;
        s.abCdb[1] = 0;
        s.abCdb[2] = fw::PARTNER_BUFFER_ID_PING;
        s.abCdb[3] = fJoining;
        uint16_t wSlot = 0;
        const uint32_t dAnswers = ioc.lastPartnerAnswer().count;
        EXPECT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
        EXPECT_TRUE(RunUntil([&] { return ioc.lastPartnerAnswer().count != dAnswers; }, 1000 * kMs));
        const auto& r = ioc.lastPartnerAnswer();
        return std::array<uint8_t, 4>{r.status, r.key, r.asc, r.ascq};
    };
    const std::array<uint8_t, 4> wait{fw::SCSI_STATUS_CHECK_CONDITION, 2, 0x04, 0x01};
    EXPECT_EQ(ping(fw::TRUE), wait);
    ASSERT_TRUE(RunUntil([&] { return BPosted(wFirst, 53); }, 2000 * kMs)) << Consoles();
    ASSERT_EQ(fw_b::fGetRetripeFlag(), fw::TRUE);
    EXPECT_EQ(ping(fw::FALSE), wait);
    EXPECT_EQ(fw_b::fGetRetripeFlag(), fw::TRUE);
    SlowDrives(0);
    ASSERT_TRUE(RunUntil([] { return fw_b::fGetRetripeFlag() != fw::TRUE && fw_b::wGetDirtyExtentCount() == 0; },
                         10'000 * kMs))
        << Consoles();
}

// While the partner writes out the cached data it kept over a restart
// (messages 109 to 110), host commands here wait: the drives may still hold
// older data of the blocks it acknowledged.
TEST_F(PartnerMirror, HostCommandsWaitWhileThePartnerWritesOutItsKeptCache) {
    const sim::SasController& ioc = a->board.sasController();
    auto send = [&](uint8_t bCode) {
        fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(bCode);
        uint16_t wSlot = 0;
        ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
        const uint32_t dAnswers = ioc.lastPartnerAnswer().count;
        ASSERT_TRUE(RunUntil([&] { return ioc.lastPartnerAnswer().count != dAnswers; }, 1000 * kMs));
        EXPECT_EQ(ioc.lastPartnerAnswer().status, 0) << int(bCode);
    };
    ASSERT_NO_FATAL_FAILURE(send(fw::PARTNER_MESSAGE_FLUSH_PENDING));
    sim::FcpCommand c;
    c.cdb = Cdb16(fw::SCSI_READ16, 64, 8);
    c.dataInLength = 8 * kBlock;
    const uint32_t tag = hostB->initiator().Submit(hostB->target(), c);
    EXPECT_FALSE(RunUntil([&] { return hostB->initiator().Finished(tag); }, 500 * kMs));
    ASSERT_NO_FATAL_FAILURE(send(fw::PARTNER_MESSAGE_FLUSH_DONE));
    ASSERT_TRUE(RunUntil([&] { return hostB->initiator().Finished(tag); }, 1000 * kMs)) << Consoles();
    EXPECT_EQ(hostB->initiator().Result(tag).status, 0);
    hostB->initiator().Forget(tag);
}

}  // namespace

namespace fw_b {
void ReleasePartnerNvramQueue();
}  // namespace fw_b

namespace {

// Controller B short of pages for mirror buffers: it records A's write but
// has no buffer for its data, and says so (5/0x55/0x01).  An array whose
// writes may wait for a buffer (policy bit 6) has A ask again until B has
// one; any other array, or a B that stays short, has the write go to the
// drives before it is answered.
class MirrorBufferShortage : public PartnerMirror {
protected:
    void SetUp() override {}
    void StartMayWait(bool fMayWait) {
        const uint8_t bMirrored = fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR;
        Start(true, fMayWait ? static_cast<uint8_t>(bMirrored | fw::POLICY_SHARED_OUTSTANDING) : bMirrored);
        a->board.sasController().partnerAnswerSeen = [this](const uint8_t* pbCdb, uint8_t bStatus) {
            if (pbCdb[0] == fw::PARTNER_TYPED_MESSAGE && pbCdb[1] == fw::PARTNER_MESSAGE_MIRROR_DATA) ++dataSent;
            if (pbCdb[0] != fw::PARTNER_TYPED_MESSAGE || pbCdb[1] != fw::PARTNER_MESSAGE_MIRROR) return;
            // B answers a record with four status bytes as data: status,
            // sense key, ASC, ASCQ.
            const std::array<uint8_t, 16>& ab = a->board.sasController().lastPartnerAnswer().dataIn;
            Record r{{}, bStatus == 0 ? ab[0] : bStatus, ab[1], ab[2], ab[3]};
            std::copy(pbCdb, pbCdb + 16, r.cdb.begin());
            records.push_back(r);
        };
        Write w;
        w.lba = 4096 + 24;
        w.data.resize(16 * kBlock);
        std::mt19937 rng(3);
        for (uint8_t& x : w.data) x = static_cast<uint8_t>(rng());
        writes.push_back(std::move(w));
    }
    void TearDown() override {
        a->board.sasController().partnerAnswerSeen = nullptr;
        ReleasePagesOfB();
    }
    // Every page of B taken, from its own processor.
    void HoldPagesOfB() {
        ASSERT_TRUE(OnProcessor(b->board, [this] {
            for (uint32_t run : {256u, 1u}) {
                fw_b::BUFFER_HANDLE h{};
                while (fw_b::bAllocDataPages(fw::BUFFER_BANK_EITHER, run, &h) == fw::STATUS_OK) held.emplace_back(h, run);
            }
        }));
        ASSERT_GT(held.size(), 8u);
    }
    void ReleasePagesOfB() {
        if (held.empty()) return;
        ASSERT_TRUE(OnProcessor(b->board, [this] {
            for (const auto& [h, run] : held) (void)fw_b::wFreeDataPages(h, run);
        }));
        held.clear();
    }
    // A's write records B answered, and the retries among them.
    struct Record {
        std::array<uint8_t, 16> cdb;
        uint8_t status, key, asc, ascq;
        bool Retry() const { return std::all_of(cdb.begin() + 4, cdb.begin() + 10, [](uint8_t b) { return b == 0xFF; }); }
        bool NoBuffer() const { return status == 2 && key == 5 && asc == 0x55 && ascq == 0x01; }
    };
    unsigned Retries() const {
        return static_cast<unsigned>(std::count_if(records.begin(), records.end(), [](const Record& r) { return r.Retry(); }));
    }
    // A is cut the moment its write is answered; B gives it up and writes
    // out what it holds of A's writes.
    void CutA() {
        a->board.CutPower();
        SlowDrives(0);
        ASSERT_TRUE(RunUntil(
            [] { return fw_b::fIsDualControllerActive() != fw::TRUE && fw_b::wGetDirtyExtentCount() == 0; },
            60'000 * kMs))
            << Consoles();
    }

    std::vector<Record> records;
    unsigned dataSent = 0;   // A's mirror data messages (129)
    std::vector<std::pair<fw_b::BUFFER_HANDLE, uint32_t>> held;
};

class PartnerMirrorBufferWait : public MirrorBufferShortage {
protected:
    void SetUp() override { StartMayWait(true); }
};

// B lost while A's write waits for its buffer: nothing is left to wait
// for, and the write goes to the drives; it reads back through A.
TEST_F(PartnerMirrorBufferWait, APartnerLostWhileTheWriteWaitsForItsBufferLeavesNoWriteWaiting) {
    SlowDrives(100 * kMs);
    ASSERT_NO_FATAL_FAILURE(HoldPagesOfB());
    SubmitWrites();
    ASSERT_TRUE(RunUntil([&] { return Retries() >= 2; }, 1000 * kMs)) << Consoles();
    held.clear();
    b->board.CutPower();
    ASSERT_TRUE(RunUntilAnswered(60'000 * kMs)) << Consoles();
    const Write& w = writes.front();
    ASSERT_TRUE(w.good);
    EXPECT_EQ(fw::fIsDualControllerActive(), fw::FALSE);
    const uint32_t blocks = static_cast<uint32_t>(w.data.size() / kBlock);
    const sim::FcpResult r = RunCommand(*hostA, Cdb16(fw::SCSI_READ16, w.lba, blocks), {}, blocks * kBlock);
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(r.dataIn == w.data);
}

class PartnerMirrorBufferShort : public MirrorBufferShortage, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override { StartMayWait(GetParam()); }
};

// The write waits while B is short, its record sent again and again (the
// same slot, sequence and buffer reference, the address all ones); once B
// has pages it holds the write's data before the write is answered, and
// the write survives A.
TEST_F(PartnerMirrorBufferWait, TheWriteWaitsForTheBufferAndIsAnsweredOnceThePartnerHoldsIt) {
    SlowDrives(3000 * kMs);
    ASSERT_NO_FATAL_FAILURE(HoldPagesOfB());
    SubmitWrites();
    EXPECT_FALSE(RunUntilAnswered(300 * kMs)) << "answered while the partner had no buffer for it";
    ASSERT_GE(records.size(), 3u);
    EXPECT_FALSE(records.front().Retry());
    EXPECT_EQ(Retries(), records.size() - 1);
    EXPECT_LT(Retries(), fw::PARTNER_MIRROR_BUFFER_RETRIES);
    for (const Record& r : records) {
        EXPECT_TRUE(r.NoBuffer()) << int(r.status);
        const Record& first = records.front();
        EXPECT_TRUE(std::equal(r.cdb.begin() + 2, r.cdb.begin() + 4, first.cdb.begin() + 2)) << "journal slot";
        EXPECT_TRUE(std::equal(r.cdb.begin() + 10, r.cdb.end(), first.cdb.begin() + 10)) << "blocks, sequence, buffer";
    }
    EXPECT_NE(records.front().cdb[13] | records.front().cdb[14], 0) << "no buffer reference";
    ASSERT_NO_FATAL_FAILURE(ReleasePagesOfB());
    ASSERT_TRUE(RunUntilAnswered(1000 * kMs)) << Consoles();
    const Write& w = writes.front();
    ASSERT_TRUE(w.good);
    EXPECT_EQ(w.heldAtGood, w.data.size() / kBlock) << "answered before the partner held it";
    EXPECT_EQ(records.back().status, 0);
    ASSERT_NO_FATAL_FAILURE(CutA());
    ExpectEachWriteReadsBackThroughB();
}

// B's copy of A's journal let go while the write asks again (as a
// configuration commit does): B no longer knows the record and refuses it
// as a bad field; A stops asking and writes the write through.
TEST_F(PartnerMirrorBufferWait, ARecordThePartnerNoLongerKnowsEndsTheWaitAndTheWriteGoesThrough) {
    SlowDrives(100 * kMs);
    ASSERT_NO_FATAL_FAILURE(HoldPagesOfB());
    SubmitWrites();
    ASSERT_TRUE(RunUntil([&] { return Retries() >= 2; }, 1000 * kMs)) << Consoles();
    ASSERT_TRUE(OnProcessor(b->board, [] { fw_b::ReleasePartnerNvramQueue(); }));
    const unsigned before = Retries();
    ASSERT_TRUE(RunUntilAnswered(3000 * kMs)) << Consoles();
    // The one retry on its way when B let go is the last.
    const Record& last = records.back();
    EXPECT_TRUE(last.Retry());
    EXPECT_EQ(last.status, 2);
    EXPECT_EQ(last.key, 5);
    EXPECT_EQ(last.asc, 0x24);
    EXPECT_LE(Retries(), before + 1) << "asked again after the refusal";
    EXPECT_EQ(dataSent, 0u) << "data sent for a record the partner refused";
    const Write& w = writes.front();
    ASSERT_TRUE(w.good);
    EXPECT_EQ(w.heldAtGood, 0);
    ASSERT_NO_FATAL_FAILURE(ReleasePagesOfB());
    ASSERT_NO_FATAL_FAILURE(CutA());
    ExpectEachWriteReadsBackThroughB();
}

// B stays short.  Without policy bit 6 the write goes through at once; with
// it, after its bounded retries.  Either way it is answered once the drives
// have it, and reads back after A is cut.
TEST_P(PartnerMirrorBufferShort, APartnerThatStaysShortHasTheWriteWrittenThrough) {
    SlowDrives(100 * kMs);
    ASSERT_NO_FATAL_FAILURE(HoldPagesOfB());
    SubmitWrites();
    ASSERT_TRUE(RunUntilAnswered(5000 * kMs)) << Consoles();
    const Write& w = writes.front();
    ASSERT_TRUE(w.good);
    EXPECT_EQ(w.heldAtGood, 0);
    for (const Record& r : records) EXPECT_TRUE(r.NoBuffer()) << int(r.status);
    EXPECT_EQ(records.size(), 1u + (GetParam() ? fw::PARTNER_MIRROR_BUFFER_RETRIES : 0));
    EXPECT_EQ(Retries(), records.size() - 1);
    // A refused record holds nothing: no data follows it.
    EXPECT_EQ(dataSent, 0u) << "data sent for a record the partner refused";
    ASSERT_NO_FATAL_FAILURE(ReleasePagesOfB());
    ASSERT_NO_FATAL_FAILURE(CutA());
    ExpectEachWriteReadsBackThroughB();
}

INSTANTIATE_TEST_SUITE_P(Bit6, PartnerMirrorBufferShort, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "MayWait" : "MayNotWait"; });

}  // namespace
