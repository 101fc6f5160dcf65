// A controller lost under host writes from hosts on both: the survivor
// takes its work over and writes out what it held as mirrors.  Every write
// a host was told was done reads back through the survivor, and every
// parity row on the drives holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "../raid/raid_reference.h"
#include "../system/road_config.h"
#include "mirrored_array.h"
#include "cache/nvram_journal.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "harness/dual_pair.h"
#include "harness/main_loop_call.h"
#include "hw/scsi.h"
#include "partner/parity_read_data.h"
#include "partner/partner_link.h"
#include "partner/partner_state.h"
#include "sas/sas_drive.h"
#include "sim/drive.h"
#include "sim/fc_host.h"

namespace fw_b {
using fw::EVENT_LOG_ENTRY;
void GetEventLogPosition(uint16_t* pwCount, uint16_t* pwNext);
const EVENT_LOG_ENTRY* psGetEventLogEntry(uint16_t wIndex);
uint8_t fIsDualControllerActive();
uint8_t fIsSASFailbackInProgress();
uint16_t wGetDirtyExtentCount();
uint16_t wGetJournalInUseCount();
uint8_t fGetOutlivedPartnerRecord();
}  // namespace fw_b

namespace {

using Outcome = sim::FcpResult::Outcome;
using roadtest::kBlock;
using dual::Cdb16;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint32_t kChunk = 64;
constexpr uint32_t kRowBlocks = 3 * kChunk;
constexpr uint32_t kRows = 48;
constexpr uint64_t kHostA = 0x2100001B32F00001ull;
constexpr uint64_t kHostB = 0x2100001B32F00002ull;

class PartnerTakeover : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { Start(fw::RAID_LEVEL_5); }
    // A cached, mirrored array whose rows hold three chunks of data: RAID 5
    // on four drives, RAID 6 on five or RAID 10 on three pairs; a member
    // pulled before the start leaves it degraded on both controllers.
    void Start(uint8_t bArrayLevel, unsigned pulled = 0) {
        bLevel = bArrayLevel;
        bDrives = bLevel == fw::RAID_LEVEL_6 ? 5 : bLevel == fw::RAID_LEVEL_10 ? 6 : 4;
        dual::PlaceSharedArray(chassis, {"TAKEOVER", bLevel, bDrives, kChunk}, fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR);
        if (pulled != 0) chassis.Pull(pulled);
        ASSERT_TRUE(Boot()) << Consoles();
        hostA = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1), kHostA);
        hostB = std::make_unique<sim::FcHost>(b->board, b->fabric, *sim::FindIspChip(b->board, 1), kHostB);
        ASSERT_TRUE(HostReady(*hostA)) << Consoles();
        ASSERT_TRUE(HostReady(*hostB)) << Consoles();
        // The region starts out as zeros, which both the drives and the
        // reference hold.
        expected.assign(size_t(kRows) * kRowBlocks * kBlock, 0);
        known.assign(size_t(kRows) * kRowBlocks, true);
    }

    struct Write {
        sim::Board* board;
        sim::FcHost* host;
        uint64_t lba;
        std::vector<uint8_t> data;
        uint32_t tag;
    };

    // A batch of writes, all sent at once: host A writes the even rows,
    // host B the odd ones (a host on a controller that is gone sends
    // nothing; with `everyRow` the one host given writes them all).  Each
    // row gets one write at most, of 8 to 32 blocks.
    void SendBatch(bool viaA, bool viaB, bool everyRow = false) {
        for (uint32_t r = 0; r < kRows; ++r) {
            const bool even = everyRow ? viaA : r % 2 == 0;
            sim::FcHost* host = even ? (viaA ? hostA.get() : nullptr) : (viaB ? hostB.get() : nullptr);
            if (host == nullptr || rng() % 3 == 0) continue;
            Write w{even ? &a->board : &b->board, host, uint64_t(r) * kRowBlocks + rng() % (kRowBlocks - 32), {}, 0};
            w.data.resize(size_t(8 + rng() % 25) * kBlock);
            for (uint8_t& b : w.data) b = static_cast<uint8_t>(rng());
            sim::FcpCommand c;
            c.cdb = Cdb16(fw::SCSI_WRITE16, w.lba, static_cast<uint32_t>(w.data.size() / kBlock));
            c.dataOut = w.data;
            w.tag = host->initiator().Submit(host->target(), c);
            inFlight.push_back(std::move(w));
        }
    }
    // Every write sent has an end: acknowledged ones go into the reference;
    // one whose controller went (or restarted) before it answered may or
    // may not be on the drives, so its blocks are checked no more (until
    // written again).
    void Settle(uint64_t limitNs) {
        ASSERT_TRUE(RunUntil(
            [&] {
                return std::all_of(inFlight.begin(), inFlight.end(), [this](const Write& w) {
                    return w.host->initiator().Finished(w.tag) || w.board->poweredOff() || w.board == hung ||
                           w.board == restarting;
                });
            },
            limitNs))
            << Consoles();
        for (const Write& w : inFlight) {
            const bool done = w.host->initiator().Finished(w.tag);
            const sim::FcpResult r = done ? w.host->initiator().Result(w.tag) : sim::FcpResult{};
            const bool good = done && r.outcome == Outcome::Done && r.status == 0;
            const size_t blocks = w.data.size() / kBlock;
            for (size_t k = 0; k < blocks; ++k) {
                const size_t blk = size_t(w.lba) + k;
                known[blk] = good;
                if (good) std::copy_n(w.data.begin() + k * kBlock, kBlock, expected.begin() + blk * kBlock);
            }
            if (good) ++acknowledged;
            if (done) w.host->initiator().Forget(w.tag);
        }
        inFlight.clear();
    }
    // Every block the reference knows reads back through the host given;
    // every row's parity on the drives is the XOR of its data.
    void CheckThrough(sim::FcHost& host) {
        for (uint32_t r = 0; r < kRows; ++r) {
            const uint64_t lba = uint64_t(r) * kRowBlocks;
            const sim::FcpResult res = RunCommand(host, Cdb16(fw::SCSI_READ16, lba, kRowBlocks), {}, kRowBlocks * kBlock);
            ASSERT_EQ(res.outcome, Outcome::Done) << "row " << r;
            ASSERT_EQ(res.status, 0) << "row " << r;
            for (uint32_t k = 0; k < kRowBlocks; ++k) {
                if (!known[lba + k]) continue;
                ASSERT_TRUE(std::equal(res.dataIn.begin() + size_t(k) * kBlock, res.dataIn.begin() + size_t(k + 1) * kBlock,
                                       expected.begin() + (lba + k) * kBlock))
                    << "row " << r << " block " << k << " lost";
            }
        }
    }
    void CheckParityOnDrives() {
        const size_t bytes = size_t(kChunk) * kBlock;
        if (bLevel == fw::RAID_LEVEL_10) {
            // Both halves of every pair agree, and each block the host
            // wrote is where the layout puts it.
            std::vector<std::vector<uint8_t>> half(6, std::vector<uint8_t>(bytes));
            for (uint32_t r = 0; r < kRows; ++r) {
                for (unsigned m = 0; m < 6; ++m) chassis.DriveAt(m + 1)->ReadBlocks(uint64_t(r) * kChunk, kChunk, half[m].data());
                for (unsigned p = 0; p < 3; ++p) ASSERT_TRUE(half[2 * p] == half[2 * p + 1]) << "row " << r << " pair " << p;
                for (uint64_t x = uint64_t(r) * kRowBlocks; x < uint64_t(r + 1) * kRowBlocks; ++x) {
                    if (!known[x]) continue;
                    const raidref::Place at = raidref::Striped(x, 3, kChunk);
                    const auto data = half[2 * at.member].begin() + (at.block - uint64_t(r) * kChunk) * kBlock;
                    ASSERT_TRUE(std::equal(data, data + kBlock, expected.begin() + x * kBlock)) << "block " << x;
                }
            }
            return;
        }
        if (bLevel == fw::RAID_LEVEL_6) {
            const raidref::DualParityRank d{5, kChunk};
            std::vector<std::vector<uint8_t>> member(5, std::vector<uint8_t>(bytes));
            std::vector<uint8_t> p(bytes), q(bytes);
            for (uint32_t r = 0; r < kRows; ++r) {
                for (unsigned m = 0; m < 5; ++m) chassis.DriveAt(m + 1)->ReadBlocks(uint64_t(r) * kChunk, kChunk, member[m].data());
                std::vector<const uint8_t*> columns;
                for (unsigned m : d.DataMembers(r)) columns.push_back(member[m].data());
                raidref::PQ(columns, uint32_t(bytes), p.data(), q.data());
                ASSERT_TRUE(p == member[d.PMember(r)]) << "row " << r << " P";
                ASSERT_TRUE(q == member[d.QMember(r)]) << "row " << r << " Q";
            }
            return;
        }
        std::vector<uint8_t> x(bytes), v(bytes);
        for (uint32_t r = 0; r < kRows; ++r) {
            std::fill(x.begin(), x.end(), 0);
            for (unsigned s = 1; s <= 4; ++s) {
                chassis.DriveAt(s)->ReadBlocks(uint64_t(r) * kChunk, kChunk, v.data());
                for (size_t i = 0; i < x.size(); ++i) x[i] ^= v[i];
            }
            ASSERT_TRUE(std::all_of(x.begin(), x.end(), [](uint8_t c) { return c == 0; })) << "row " << r << " parity";
        }
    }
    void SlowDrives(uint64_t ns) {
        for (unsigned s = 1; s <= bDrives; ++s) {
            if (chassis.DriveAt(s) != nullptr) chassis.DriveAt(s)->SetExtraLatencyNs(ns);
        }
    }
    bool AnyFinished() const {
        return std::any_of(inFlight.begin(), inFlight.end(),
                           [](const Write& w) { return w.host->initiator().Finished(w.tag); });
    }

    // Both write a batch and see it through, then send another and run
    // until one of its writes has ended: the rest are on their way.
    void WriteThroughBothUntilOneWriteOfTheNextBatchEnds() {
        SendBatch(true, true);
        ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
        SendBatch(true, true);
        ASSERT_TRUE(RunUntil([&] { return AnyFinished(); }, 5000 * kMs));
    }
    // Both write; the board given is cut (or hangs) with writes of both on
    // their way, and the survivor's host writes more alone, no longer
    // mirrored.
    void CutUnderWrites(sim::Board& gone, bool fHang = false) {
        ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
        if (fHang) {
            hung = &gone;
        } else {
            gone.CutPower();
        }
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        const bool aSurvives = &gone != &a->board;
        SendBatch(aSurvives, !aSurvives);
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    }
    // Controller 1 is cut (or hangs) while the writes acknowledged last are
    // only in the caches (the drives are that slow): every acknowledged
    // write reads back through controller 0, and once its cache is empty
    // the rows on the drives hold.
    void LoseBWithWritesInTheCaches(bool fHang) {
        SlowDrives(200 * kMs);
        ASSERT_NO_FATAL_FAILURE(CutUnderWrites(b->board, fHang));
        SlowDrives(0);
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        ASSERT_TRUE(RunUntil([] { return fw::wGetDirtyExtentCount() == 0 && fw::wGetJournalInUseCount() == 0; },
                             60'000 * kMs))
            << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
        EXPECT_GT(acknowledged, 30u);
    }
    // Controller 1's (or 0's) power comes back: it starts on what its NVRAM
    // and bank kept, beside the running survivor.
    void RestartB() { Restart(*b); }
    void Restart(dual::Side& side) {
        side.board.RestorePower();
        side.board.ClearConsoleText();
        sim::Board::ConnectPartners(a->board, b->board);
        side.board.Boot();
    }
    // Controller 0 is cut, and controller 1 in turn while it still writes
    // out the cache both held (the drives are slow).
    void CutBothWhileBWritesOutWhatBothHeld() {
        SlowDrives(200 * kMs);
        ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
        a->board.CutPower();
        ASSERT_TRUE(RunUntil([] { return fw_b::fGetOutlivedPartnerRecord() == fw::TRUE; }, 10'000 * kMs)) << Consoles();
        ASSERT_NE(fw_b::wGetDirtyExtentCount(), 0) << Consoles();
        b->board.CutPower();
        ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
    }
    // The board given starts alone on what its NVRAM kept, its partner's
    // power off, and its host logs in again.
    void StartAlone(dual::Side& side, sim::FcHost& host) {
        side.board.RestorePower();
        side.board.ClearConsoleText();
        side.board.Boot();
        ASSERT_TRUE(RunUntil([&] { return side.Booted(); }, dual::kBootLimitNs)) << Consoles();
        EXPECT_NE(side.board.ConsoleText().find("Partner Controller.........Not Present\r\n"), std::string::npos)
            << Consoles();
        ASSERT_TRUE(HostReady(host)) << Consoles();
    }
    // Both come back together, each on what its NVRAM and bank kept.
    void PowerBothOn() {
        for (dual::Side* s : {a.get(), b.get()}) {
            s->board.RestorePower();
            s->board.ClearConsoleText();
        }
        sim::Board::ConnectPartners(a->board, b->board);
        a->board.Boot();
        b->board.Boot();
    }
    // Both come back together and their hosts log in again; `aServes` runs
    // once controller 0 has answered its host's first read.
    void RestartBoth(const std::function<void()>& aServes = nullptr) {
        PowerBothOn();
        ASSERT_TRUE(Boot()) << Consoles();
        ASSERT_TRUE(HostReady(*hostA)) << Consoles();
        if (aServes) aServes();
        ASSERT_TRUE(HostReady(*hostB)) << Consoles();
    }

    // Both write, and the board given is cut at the moment the test picks
    // (`moment` turns true) with writes of both on their way; the drives are
    // slow, so what was acknowledged last is only in the caches.  The
    // survivor's host then writes alone.  Every acknowledged write reads
    // back through the survivor, and once its cache is empty the rows on
    // the drives hold (a degraded array's are checked through the reads).
    void CutAt(sim::Board& gone, const std::function<bool()>& moment, bool fDegraded = false) {
        SlowDrives(200 * kMs);
        SendBatch(true, true);
        ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
        fArmed = true;
        SendBatch(true, true);
        ASSERT_TRUE(RunUntil(moment, 10'000 * kMs)) << Consoles();
        gone.CutPower();
        a->board.sasController().partnerAnswerSeen = nullptr;
        b->board.sasController().partnerAnswerSeen = nullptr;
        b->board.sasController().driveCommandSeen = nullptr;
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        const bool aSurvives = &gone != &a->board;
        SendBatch(aSurvives, !aSurvives);
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        SlowDrives(0);
        sim::FcHost& survivor = aSurvives ? *hostA : *hostB;
        ASSERT_NO_FATAL_FAILURE(CheckThrough(survivor));
        ASSERT_TRUE(RunUntil(
            [aSurvives] {
                return aSurvives ? fw::wGetDirtyExtentCount() == 0 && fw::wGetJournalInUseCount() == 0
                                 : fw_b::wGetDirtyExtentCount() == 0 && fw_b::wGetJournalInUseCount() == 0;
            },
            60'000 * kMs))
            << Consoles();
        if (fDegraded) {
            ASSERT_NO_FATAL_FAILURE(CheckThrough(survivor));
        } else {
            ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
        }
        EXPECT_GT(acknowledged, 30u);
    }
    // The moment the writer's partner has answered GOOD to a piece of a
    // write's data held there as a mirror (message 129): the write is not
    // yet answered to its host.
    std::function<bool()> WhenDataIsHeld(sim::Board& writer) {
        writer.sasController().partnerAnswerSeen = [this](const uint8_t* pbCdb, uint8_t bStatus) {
            if (fArmed && pbCdb[0] == fw::PARTNER_TYPED_MESSAGE && pbCdb[1] == fw::PARTNER_MESSAGE_MIRROR_DATA &&
                bStatus == fw::SCSI_STATUS_GOOD) {
                fMoment = true;
            }
        };
        return [this] { return fMoment; };
    }
    // The board's processor stops as it writes to a drive, with part of
    // that write on the medium: the first write it issues once `after`
    // holds for it.  True once it stopped.
    using WriteFilter = std::function<bool(std::span<const uint8_t> cdb)>;
    std::function<bool()> WhenTearsAWrite(sim::Board& writer, const WriteFilter& after) {
        writer.sasController().driveCommandSeen = [this, after](sim::Drive& drive, std::span<const uint8_t> cdb) {
            if (fMoment || !fArmed || (cdb[0] != fw::SCSI_WRITE10 && cdb[0] != fw::SCSI_WRITE16) || !after(cdb)) return;
            fMoment = true;
            drive.CutPowerDuringNextWrite(4);
        };
        return [this, &writer] { return fMoment && writer.lastStop() == sim::StopKind::PowerCut; };
    }
    std::function<bool()> WhenBTearsAWrite(const std::function<bool()>& after) {
        return WhenTearsAWrite(b->board, [after](std::span<const uint8_t>) { return after(); });
    }
    // The first drive block a write CDB names.
    static uint64_t WriteLba(std::span<const uint8_t> cdb) {
        const unsigned n = cdb[0] == fw::SCSI_WRITE16 ? 8 : 4;
        uint64_t l = 0;
        for (unsigned i = 0; i < n; ++i) l = l << 8 | cdb[2 + i];
        return l;
    }
    // Where controller 0's (or 1's) event log ends, and whether it posted
    // the event since it ended at `wFrom`.
    static uint16_t LogEnd(bool fB) {
        uint16_t wCount = 0, wNext = 0;
        (fB ? fw_b::GetEventLogPosition : fw::GetEventLogPosition)(&wCount, &wNext);
        return wNext;
    }
    static bool PostedSince(bool fB, uint16_t wFrom, uint8_t bCode) {
        const auto entry = fB ? fw_b::psGetEventLogEntry : fw::psGetEventLogEntry;
        for (uint16_t w = wFrom; w != LogEnd(fB); w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
            if (entry(w)->bCode == bCode) return true;
        }
        return false;
    }

    // Both write; one controller is cut the moment its partner holds a
    // write's data, the drives slow, so what was acknowledged last is only
    // in the caches.  The survivor starts writing the lost one's copies out
    // (event 53) and is cut too, on the first of those writes it hands a
    // drive, part of it on the medium.  Both then start again together on
    // what their NVRAM and banks kept: every write a host was told was done
    // reads back through either, and once both caches are empty the rows
    // on the drives hold.
    void CutTheSurvivorWhileItWritesOutTheCopies(bool fBFirst) {
        sim::Board& first = fBFirst ? b->board : a->board;
        sim::Board& second = fBFirst ? a->board : b->board;
        SlowDrives(200 * kMs);
        SendBatch(true, true);
        ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
        fArmed = true;
        SendBatch(true, true);
        ASSERT_TRUE(RunUntil(WhenDataIsHeld(first), 10'000 * kMs)) << Consoles();
        const uint16_t wFrom = LogEnd(!fBFirst);
        first.CutPower();
        first.sasController().partnerAnswerSeen = nullptr;
        fMoment = false;
        // The lost one's host writes the odd rows when it is controller 1.
        const uint32_t dLostRows = fBFirst ? 1 : 0;
        const auto fTorn = WhenTearsAWrite(second, [&](std::span<const uint8_t> cdb) {
            return PostedSince(!fBFirst, wFrom, 53) && WriteLba(cdb) / kChunk % 2 == dLostRows;
        });
        ASSERT_TRUE(RunUntil(fTorn, 60'000 * kMs)) << Consoles();
        second.CutPower();
        second.sasController().driveCommandSeen = nullptr;
        // Copies of the lost one's writes are still only in the survivor.
        ASSERT_FALSE(PostedSince(!fBFirst, wFrom, 54)) << Consoles();
        ASSERT_NE(fBFirst ? fw::wGetDirtyExtentCount() : fw_b::wGetDirtyExtentCount(), 0) << Consoles();
        ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
        SlowDrives(0);

        // Controller 1 outlived controller 0: controller 0 discards what it
        // kept and serves its host only once controller 1 has written its
        // journals out (event 45 ends that).
        const uint16_t wFromB = LogEnd(true);
        ASSERT_NO_FATAL_FAILURE(RestartBoth([&] {
            if (!fBFirst) {
                EXPECT_TRUE(PostedSince(true, wFromB, 45)) << Consoles();
            }
        }));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
        EXPECT_GT(acknowledged, 20u);
    }

    void ResetBUnderWritesAndCheck(const std::function<void()>& reset);

    // Controller 0 is cut while its copies of controller 1's writes are
    // still held (the drives slow); controller 1 takes over and its host
    // goes on writing alone, over some of those writes, until its cache is
    // empty.
    void LoseAWhileItsCopiesAreHeldThenEmptyBsCache() {
        SlowDrives(200 * kMs);
        ASSERT_NO_FATAL_FAILURE(CutUnderWrites(a->board));
        SlowDrives(0);
        ASSERT_TRUE(RunUntil([] { return fw_b::wGetDirtyExtentCount() == 0 && fw_b::wGetJournalInUseCount() == 0; },
                             60'000 * kMs))
            << Consoles();
    }
    // Controller 0's host writes every row (controller 1's too) while the
    // drives are slow, and then its cache empties.
    void AWritesEveryRowAloneUntilItsCacheIsEmpty() {
        SendBatch(true, false, true);
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        SlowDrives(0);
        ASSERT_TRUE(RunUntil([] { return fw::wGetDirtyExtentCount() == 0 && fw::wGetJournalInUseCount() == 0; },
                             60'000 * kMs))
            << Consoles();
    }
    // Both start again together: every write either host was told was done
    // reads back through both, and once both caches are empty the rows on
    // the drives hold.
    void RestartBothAndReadEverythingBack() {
        ASSERT_NO_FATAL_FAILURE(RestartBoth());
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
    }
    // That, and controller 1 is cut too.  Both start again together, controller 1's
    // frames to controller 0 taking `lateNs` to cross: every write either
    // host was told was done must read back.
    void RestartBothAfterBWentOnAlone(uint64_t lateNs) {
        ASSERT_NO_FATAL_FAILURE(LoseAWhileItsCopiesAreHeldThenEmptyBsCache());
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        b->board.CutPower();
        b->board.sasController().linkFaults.delayNs = lateNs;
        ASSERT_NO_FATAL_FAILURE(RestartBoth());
        b->board.sasController().linkFaults.delayNs = 0;
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
    }

    // Both write and controller 1 is cut; it comes back beside the survivor,
    // joins, brings its drive side back (failback) and serves its hosts
    // again; both write, mirrored to each other, and when controller 0 is
    // cut in turn, controller 1 serves every acknowledged write, and the
    // rows on the drives hold once its cache is empty.
    void LoseBBringItBackThenLoseA() {
        ASSERT_NO_FATAL_FAILURE(CutUnderWrites(b->board));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        EXPECT_EQ(fw::fIsDualControllerActive(), fw::FALSE);

        RestartB();
        bool fFailback = false;
        const auto fFailingBack = [&fFailback] {
            fFailback = fFailback || fw_b::fIsSASFailbackInProgress() == fw::TRUE;
            return fFailback;
        };
        ASSERT_TRUE(RunUntil([&] { return fFailingBack() && b->Booted(); }, dual::kBootLimitNs)) << Consoles();
        EXPECT_NE(b->board.ConsoleText().find("Partner Controller.........Initialized\r\n"), std::string::npos)
            << Consoles();
        ASSERT_TRUE(RunUntil(
            [] {
                return fw_b::fIsSASFailbackInProgress() != fw::TRUE && fw::fIsDualControllerActive() == fw::TRUE &&
                       fw_b::fIsDualControllerActive() == fw::TRUE && fw::fIsPartnerAlive() == fw::TRUE;
            },
            60'000 * kMs))
            << Consoles();
        ASSERT_TRUE(HostReady(*hostB)) << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        ASSERT_NO_FATAL_FAILURE(CutUnderWrites(a->board));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        EXPECT_EQ(fw_b::fIsDualControllerActive(), fw::FALSE);
        ASSERT_TRUE(RunUntil([] { return fw_b::wGetDirtyExtentCount() == 0 && fw_b::wGetJournalInUseCount() == 0; },
                             60'000 * kMs))
            << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
        EXPECT_GT(acknowledged, 60u);
    }

    uint8_t bLevel = fw::RAID_LEVEL_5;
    uint8_t bDrives = 4;
    const sim::Board* restarting = nullptr;
    bool fArmed = false;
    bool fMoment = false;
    std::mt19937 rng{23};
    std::unique_ptr<sim::FcHost> hostA;
    std::unique_ptr<sim::FcHost> hostB;
    std::vector<Write> inFlight;
    std::vector<uint8_t> expected;
    std::vector<bool> known;
    unsigned acknowledged = 0;
};

// Both write; controller 1 is cut with writes of both on their way.  The
// survivor holds its hosts' commands from the moment the partner leaves
// the drive side until the partner's acknowledged writes, which it holds
// only as mirrors, are on the drives: a read at once returns them.
// Controller 1 then comes back beside the survivor, joins and serves its
// hosts again; both write, mirrored to each other, and when controller 0
// is cut in turn, controller 1 serves every acknowledged write.
TEST_F(PartnerTakeover, EveryAcknowledgedWriteReadsBackThroughTheSurvivorOfEitherLoss) {
    ASSERT_NO_FATAL_FAILURE(LoseBBringItBackThenLoseA());
}

// Controller 1 hangs with writes of both on their way: its processor
// stops, its heartbeat with it, and it answers nothing more.  Its partner
// gives it up on the silence and serves every write either host was told
// was done, the hung one's from the mirrors it holds.
TEST_F(PartnerTakeover, EveryAcknowledgedWriteReadsBackThroughTheSurvivorOfAHang) {
    ASSERT_NO_FATAL_FAILURE(LoseBWithWritesInTheCaches(true));
    EXPECT_EQ(fw::fIsDualControllerActive(), fw::FALSE);
    // The loss, the takeover, and the mirrors written out, in that order.
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    std::vector<uint8_t> abSeen;
    for (uint16_t w = 0; w < wNext; ++w) {
        const uint8_t bCode = fw::psGetEventLogEntry(w)->bCode;
        if (bCode == 8 || bCode == 9 || bCode == 92 || bCode == 53 || bCode == 54 || bCode == 93) abSeen.push_back(bCode);
    }
    EXPECT_EQ(abSeen, (std::vector<uint8_t>{9, 8, 92, 53, 54, 93}));
}

// Controller 1 is cut the moment its partner holds a write's data and
// before that write is answered: the host never hears of it, and every
// write that was answered reads back through controller 0.
TEST_F(PartnerTakeover, TheWriterCutBetweenItsMirrorAndItsGoodLosesNoAcknowledgedWrite) {
    ASSERT_NO_FATAL_FAILURE(CutAt(b->board, WhenDataIsHeld(b->board)));
}

// At the same moment the partner holding the data is cut instead: the
// write goes on to its GOOD on controller 1, which keeps it (and every
// other) without a mirror from then on.
TEST_F(PartnerTakeover, TheMirrorHolderCutBeforeTheWritersGoodLosesNoAcknowledgedWrite) {
    ASSERT_NO_FATAL_FAILURE(CutAt(a->board, WhenDataIsHeld(b->board)));
}

// Controller 1 loses its power while it writes its cache out, half of one
// write on the drive and the rest of its rows not yet updated: controller
// 0 writes the mirrors out over the torn row and every row's parity holds.
TEST_F(PartnerTakeover, TheWriterCutWhileItWritesItsCacheOutLeavesNoRowTorn) {
    ASSERT_NO_FATAL_FAILURE(CutAt(b->board, WhenBTearsAWrite([] { return true; })));
}

// Controller 1 is cut, and controller 0 is cut in turn while it writes
// controller 1's copies out; started again together, they lose nothing
// either host was told was done.
TEST_F(PartnerTakeover, TheSurvivorCutWhileItWritesOutThePartnersCopiesLosesNothingOnceBothRestart) {
    ASSERT_NO_FATAL_FAILURE(CutTheSurvivorWhileItWritesOutTheCopies(true));
}

// The same with controller 0, which starts as master, cut first.
// Controller 1 outlived it, so controller 1 writes out what both held, and
// controller 0 serves its host only once that is done.
TEST_F(PartnerTakeover, TheSurvivorOfTheMasterCutWhileItWritesOutItsCopiesLosesNothingOnceBothRestart) {
    ASSERT_NO_FATAL_FAILURE(CutTheSurvivorWhileItWritesOutTheCopies(false));
}

// Controller 0 is cut while its copies of controller 1's writes are
// still held (the drives slow); controller 1 takes over and its host goes
// on writing alone, over some of those writes; its cache empties, and then
// it is cut too.  Both start again together: every write either host was
// told was done must read back.
TEST_F(PartnerTakeover, BothRestartedAfterTheSurvivorWentOnAloneLoseNothing) {
    ASSERT_NO_FATAL_FAILURE(RestartBothAfterBWentOnAlone(0));
}

// The same, controller 1's frames crossing slowly: controller 0, in its
// main loop long before controller 1's first request reaches it, writes
// nothing out of its journals until controller 1 has said it outlived it.
TEST_F(PartnerTakeover, BothRestartedAfterTheSurvivorWentOnAloneLoseNothingThoughItsWordComesLate) {
    ASSERT_NO_FATAL_FAILURE(RestartBothAfterBWentOnAlone(6000 * kMs));
}

// Controller 0 is cut, and controller 1 while it still writes out the
// copies it held; both start together, controller 1 to write out what it
// kept, and it is cut again on its first write.  Controller 0, which
// discarded its journals and waited for controller 1's, takes over and
// serves its host: a partner lost at that moment leaves nothing waiting.
TEST_F(PartnerTakeover, APartnerLostWhileItWritesOutWhatItKeptLeavesNoHostWaiting) {
    ASSERT_NO_FATAL_FAILURE(CutBothWhileBWritesOutWhatBothHeld());
    fArmed = true;
    const auto fTorn = WhenTearsAWrite(b->board, [](std::span<const uint8_t>) { return true; });
    PowerBothOn();
    ASSERT_TRUE(RunUntil(fTorn, 60'000 * kMs)) << Consoles();
    b->board.sasController().driveCommandSeen = nullptr;
    SlowDrives(0);
    ASSERT_TRUE(RunUntil([&] { return a->Booted() && fw::fIsDualControllerActive() != fw::TRUE; }, 60'000 * kMs))
        << Consoles();
    ASSERT_TRUE(HostReady(*hostA)) << Consoles();
}

// Controller 0 is cut while its copies of controller 1's writes are held;
// controller 1 takes over, its host writes alone, and it is cut in turn.
// Controller 0 starts alone: the configuration moved on without its
// journals, so it writes none of them out, and every acknowledged write
// reads back.  Its host then writes every row, it is cut, and both start
// together: controller 1 outlived controller 0 once, but its journals are
// older than controller 0's run alone since, and are not written out.
TEST_F(PartnerTakeover, TheLostControllerStartingAloneThenBothTogetherLoseNothing) {
    // Controller 1 is cut soon after the takeover, its configuration saved
    // again by then.
    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
    a->board.CutPower();
    SlowDrives(0);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    SendBatch(false, true);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    ASSERT_TRUE(RunUntil([] { return fw_b::wGetDirtyExtentCount() == 0 && fw_b::wGetJournalInUseCount() == 0; },
                         60'000 * kMs))
        << Consoles();
    b->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(StartAlone(*a, *hostA));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));

    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(AWritesEveryRowAloneUntilItsCacheIsEmpty());
    a->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(RestartBothAndReadEverythingBack());
}

// Both are cut with writes of both in the caches (and, as it happens, a
// commit of controller 1's on the drives that controller 0 has not heard
// of).  Controller 0 starts alone, writes out what both held, and its host
// writes every row; it is cut, and controller 1 starts alone: what it kept
// is older than those writes, and every write either host was told was
// done reads back.
TEST_F(PartnerTakeover, OneStartingAloneAfterTheOtherRanAloneWritesNothingOldOut) {
    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
    a->board.CutPower();
    b->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
    ASSERT_NE(fw_b::wGetDirtyExtentCount(), 0) << Consoles();
    SlowDrives(0);
    ASSERT_NO_FATAL_FAILURE(StartAlone(*a, *hostA));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    SendBatch(true, false, true);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    a->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(StartAlone(*b, *hostB));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
}

// Controller 1 is cut.  Controller 0 takes over at once (nothing of
// controller 1's is left to write out) and answers no host before the
// configuration it saves names it as the one that went on alone; its host
// writes every row, and it is cut at the first of those writes it answers.
// Controller 1 then starts alone: what it kept is older than that write and
// is not written out.
TEST_F(PartnerTakeover, TheSurvivorAnswersNoHostBeforeItsSaveTellsItWentOnAlone) {
    SendBatch(true, true);
    ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
    const uint32_t dBefore = fw::dGetNvramJournalGeneration();
    b->board.CutPower();
    ASSERT_TRUE(RunUntil([] { return fw::fIsDualControllerActive() != fw::TRUE; }, 10'000 * kMs)) << Consoles();
    SendBatch(true, false, true);
    ASSERT_TRUE(RunUntil([&] { return AnyFinished(); }, 60'000 * kMs)) << Consoles();
    const fw::CONFIG_HEADER& sSaved = fw::pGetConfigImage()->sHeader;
    EXPECT_GT(sSaved.dGeneration, dBefore);
    EXPECT_EQ(fw::fIsConfigCommitInProgress(), fw::FALSE);
    uint8_t abOwn[8];
    fw::GetNvramControllerWwn(abOwn);
    EXPECT_TRUE(std::equal(abOwn, abOwn + 8, sSaved.abAloneWriterWwn));
    a->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
    ASSERT_NO_FATAL_FAILURE(StartAlone(*b, *hostB));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
}

// Controller 0 is cut, and controller 1 while it still writes out the
// cache both held.  Controller 0 starts alone and writes out its journals
// (controller 1 saved nothing since), its host writes every row, and it is
// cut too.  Both start together: controller 1 outlived controller 0 once,
// but controller 0 ran alone after it, so controller 1's journals are the
// older and are not written out over its writes.
TEST_F(PartnerTakeover, BothTogetherAfterEachRanAloneInTurnWriteOutOnlyTheNewerJournals) {
    ASSERT_NO_FATAL_FAILURE(CutBothWhileBWritesOutWhatBothHeld());
    SlowDrives(0);
    ASSERT_NO_FATAL_FAILURE(StartAlone(*a, *hostA));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    SendBatch(true, false, true);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    a->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(RestartBothAndReadEverythingBack());
}

// Controller 0 is lost and controller 1 goes on alone; controller 0 comes
// back and joins, and from then on they mirror each other again.  Then
// controller 1 is lost with writes in the caches, and controller 0 goes on
// alone, writing over every row, controller 1's too; its cache empties, it
// is cut, and both start together.  Controller 1 outlived controller 0
// once, but no longer holds anything newer: only controller 0's journals
// may be written out, and every write either host was told was done reads
// back.
TEST_F(PartnerTakeover, BothRestartedAfterEachOutlivedTheOtherInTurnLoseNothing) {
    ASSERT_NO_FATAL_FAILURE(LoseAWhileItsCopiesAreHeldThenEmptyBsCache());
    EXPECT_EQ(fw_b::fGetOutlivedPartnerRecord(), fw::TRUE);

    Restart(*a);
    ASSERT_TRUE(RunUntil(
        [&] {
            return a->Booted() && fw::fIsSASFailbackInProgress() != fw::TRUE &&
                   fw::fIsDualControllerActive() == fw::TRUE && fw_b::fIsDualControllerActive() == fw::TRUE;
        },
        dual::kBootLimitNs))
        << Consoles();
    ASSERT_TRUE(HostReady(*hostA)) << Consoles();
    EXPECT_EQ(fw_b::fGetOutlivedPartnerRecord(), fw::FALSE);
    EXPECT_EQ(fw::fGetOutlivedPartnerRecord(), fw::FALSE);

    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(CutUnderWrites(b->board));
    ASSERT_NO_FATAL_FAILURE(AWritesEveryRowAloneUntilItsCacheIsEmpty());
    EXPECT_EQ(fw::fGetOutlivedPartnerRecord(), fw::TRUE);
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    a->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(RestartBothAndReadEverythingBack());
}

// Controller 1 resets itself while both hosts write, the writes
// acknowledged last only in the caches (`reset` brings the reset about).
// Controller 1 restarts on what it kept, joins the running controller,
// brings its drive side back and serves its host again; every acknowledged
// write reads back through both, before and after both write once more,
// and the rows on the drives hold.
void PartnerTakeover::ResetBUnderWritesAndCheck(const std::function<void()>& reset) {
    rebootOnReset = true;
    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
    ASSERT_NO_FATAL_FAILURE(reset());
    restarting = &b->board;
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    SlowDrives(0);
    bool fFailback = false;
    ASSERT_TRUE(RunUntil(
        [&] {
            fFailback = fFailback || (restarts != 0 && fw_b::fIsSASFailbackInProgress() == fw::TRUE);
            return restarts != 0 && b->Booted() && fFailback && fw_b::fIsSASFailbackInProgress() != fw::TRUE &&
                   fw::fIsDualControllerActive() == fw::TRUE && fw_b::fIsDualControllerActive() == fw::TRUE;
        },
        dual::kBootLimitNs))
        << Consoles() << " restarts " << restarts << " stop " << sim::StopKindName(b->board.lastStop());
    EXPECT_EQ(restarts, 1u);
    EXPECT_NE(b->board.ConsoleText().find("Partner Controller.........Initialized\r\n"), std::string::npos)
        << Consoles();
    restarting = nullptr;
    ASSERT_TRUE(HostReady(*hostB)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
    SendBatch(true, true);
    ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
    ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
    EXPECT_EQ(restarts, 1u);
    EXPECT_GT(acknowledged, 60u);
}

// Controller 0 asks its partner to reset (message 147).
TEST_F(PartnerTakeover, APartnerResetUnderWritesComesBackFailsBackAndLosesNoAcknowledgedWrite) {
    ResetBUnderWritesAndCheck([&] {
        uint8_t bSent = 0;
        harness::OnMainLoop(a->board, [&] { bSent = fw::bSendResetToPartner(); });
        ASSERT_EQ(bSent, fw::STATUS_OK);
    });
}

// Controller 0 no longer hears controller 1's heartbeat and takes its work
// over, while controller 1 still hears controller 0 and goes on serving.
// The next message it sends is answered that it was given up: it stops at
// once, starts again beside controller 0 and joins; every acknowledged
// write reads back through both.
TEST_F(PartnerTakeover, AControllerItsPartnerGaveUpStopsRejoinsAndLosesNoAcknowledgedWrite) {
    ResetBUnderWritesAndCheck([&] {
        const uint16_t wFrom = LogEnd(false);
        b->board.fpga().heartbeatQuiet = true;
        ASSERT_TRUE(RunUntil([&] { return b->board.lastStop() == sim::StopKind::Reset; }, 10'000 * kMs)) << Consoles();
        b->board.fpga().heartbeatQuiet = false;
        EXPECT_TRUE(PostedSince(false, wFrom, 92)) << Consoles();
        EXPECT_NE(b->board.ConsoleText().find("Partner Controller Has Taken Over: Restarting To Rejoin"),
                  std::string::npos)
            << Consoles();
    });
}

// Controller 1's drive IOC reports an external bus reset, which resets
// the controller; its partner holds the mirrors of its cached writes.
TEST_F(PartnerTakeover, AnExternalBusResetUnderWritesComesBackFailsBackAndLosesNoAcknowledgedWrite) {
    ResetBUnderWritesAndCheck([&] { b->board.sasController().ExternalBusReset(); });
}

class PartnerTakeoverDegraded : public PartnerTakeover {
protected:
    void SetUp() override { Start(fw::RAID_LEVEL_5, 4); }
};

// On a degraded RAID 5 array controller 1 sends its partner a row's old
// contents before it updates it (message 111), and is cut on its first
// write after that, half of it on the drive: controller 0 writes the old
// contents back, then the mirrored writes, and every acknowledged write
// reads back, the missing member's blocks through their parity.
TEST_F(PartnerTakeoverDegraded, TheWriterCutInTheMiddleOfARowUpdateLosesNoAcknowledgedWrite) {
    bool fParityDataHeld = false;
    b->board.sasController().partnerAnswerSeen = [&](const uint8_t* pbCdb, uint8_t bStatus) {
        if (pbCdb[0] == fw::PARTNER_TYPED_MESSAGE && pbCdb[1] == fw::PARTNER_MESSAGE_PARITY_DATA &&
            bStatus == fw::SCSI_STATUS_GOOD) {
            fParityDataHeld = fArmed;
        }
    };
    ASSERT_NO_FATAL_FAILURE(CutAt(b->board, WhenBTearsAWrite([&] { return fParityDataHeld; }), true));
}

class PartnerTakeoverRaid6 : public PartnerTakeover {
protected:
    void SetUp() override { Start(fw::RAID_LEVEL_6); }
};

// The same on RAID 6: controller 1 is cut while the writes acknowledged
// last are only in the caches; controller 0 serves them all and both
// parities of every row on the drives hold.
TEST_F(PartnerTakeoverRaid6, EveryAcknowledgedWriteReadsBackThroughTheSurvivor) {
    ASSERT_NO_FATAL_FAILURE(LoseBWithWritesInTheCaches(false));
}

// Controller 1 is lost, comes back and fails back, and then controller 0
// is lost: both parities of every row on the drives hold.
TEST_F(PartnerTakeoverRaid6, TheFailedControllerComesBackAndTheOtherFails) {
    ASSERT_NO_FATAL_FAILURE(LoseBBringItBackThenLoseA());
}

class PartnerTakeoverRaid10 : public PartnerTakeover {
protected:
    void SetUp() override { Start(fw::RAID_LEVEL_10); }
};

// On RAID 10 controller 1 is cut the moment its partner holds a write's
// data and before that write is answered: what controller 1 held only in
// its cache reaches both halves of every pair through controller 0's
// copies.  Until the cut each drive takes one command at a time, so that
// controller 1 holds acknowledged writes no drive has yet: with no parity
// to read first, a RAID 10 write is otherwise on its drives at once, and
// the copies would never be needed.
TEST_F(PartnerTakeoverRaid10, TheWriterCutBetweenItsMirrorAndItsGoodLosesNoAcknowledgedWrite) {
    const auto fQueueDepth = [this](uint32_t depth) {
        for (unsigned m = 1; m <= bDrives; ++m) chassis.DriveAt(m)->SetQueueDepth(depth);
    };
    fQueueDepth(1);
    const auto fHeld = WhenDataIsHeld(b->board);
    ASSERT_NO_FATAL_FAILURE(CutAt(b->board, [&] {
        if (!fHeld()) return false;
        fQueueDepth(0);
        return true;
    }));
}

TEST_F(PartnerTakeoverRaid10, TheFailedControllerComesBackAndTheOtherFails) {
    ASSERT_NO_FATAL_FAILURE(LoseBBringItBackThenLoseA());
}

}  // namespace
