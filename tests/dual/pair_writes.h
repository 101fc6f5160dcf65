// A pair under host writes: a cached array both controllers load, a host
// on each writing rows of its own, and what every host was told was done
// kept as the reference every read is checked against.  The loss tests cut
// controllers at chosen moments, start them again alone, together or
// beside the survivor, and read every acknowledged write back.
#pragma once

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
#include "cache/nvram_journal.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "mirrored_array.h"
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
uint8_t fIsPartnerAlive();
uint16_t wGetDirtyExtentCount();
uint16_t wGetJournalInUseCount();
uint8_t fGetOutlivedPartnerRecord();
}  // namespace fw_b

namespace dual {

class PairUnderWrites : public ::testing::Test, protected Pair {
protected:
    using Outcome = sim::FcpResult::Outcome;
    static constexpr uint32_t kBlock = roadtest::kBlock;
    static constexpr uint64_t kMs = 1'000'000ull;
    static constexpr uint32_t kChunk = 64;
    static constexpr uint32_t kRowBlocks = 3 * kChunk;
    static constexpr uint32_t kRows = 48;
    static constexpr uint64_t kHostA = 0x2100001B32F00001ull;
    static constexpr uint64_t kHostB = 0x2100001B32F00002ull;

    // A cached array whose rows hold three chunks of data: RAID 5 on four
    // drives, RAID 6 on five or RAID 10 on three pairs; a member pulled
    // before the start leaves it degraded on both controllers.  The cache
    // policy given (mirrored, and write-back off without the partner, by
    // default) is the array's.
    void Start(uint8_t bArrayLevel, unsigned pulled = 0, uint8_t bPolicy = fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR) {
        bLevel = bArrayLevel;
        bDrives = bLevel == fw::RAID_LEVEL_6 ? 5 : bLevel == fw::RAID_LEVEL_10 ? 6 : 4;
        PlaceSharedArray(chassis, {"TAKEOVER", bLevel, bDrives, kChunk}, bPolicy);
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
            for (uint8_t& c : w.data) c = static_cast<uint8_t>(rng());
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
    // Every block the reference knows reads back through the host given.
    // With `lossReported`, a medium error is taken where it returns true (the
    // controller reported cached data lost): those blocks, counted in
    // `lostBlocks`, are known no more.  Old data is never taken.  The first
    // read may wait `firstLimitNs` for its answer (a survivor still taking
    // over holds it).
    void CheckThrough(sim::FcHost& host, const std::function<bool()>& lossReported = nullptr,
                      const std::string& why = "", uint64_t firstLimitNs = 10'000 * kMs) {
        for (uint32_t r = 0; r < kRows; ++r) {
            const uint64_t lba = uint64_t(r) * kRowBlocks;
            const sim::FcpResult res = RunCommand(host, Cdb16(fw::SCSI_READ16, lba, kRowBlocks), {}, kRowBlocks * kBlock,
                                                  r == 0 ? firstLimitNs : 10'000 * kMs);
            ASSERT_EQ(res.outcome, Outcome::Done) << why << ": row " << r << Consoles();
            if (res.status != 0) {
                ASSERT_TRUE(lossReported && res.sense.size() > 2 && (res.sense[2] & 0x0F) == 3 && lossReported())
                    << why << ": row " << r << " answered status " << int(res.status) << Consoles();
                for (uint32_t k = 0; k < kRowBlocks; ++k) {
                    const sim::FcpResult one = RunCommand(host, Cdb16(fw::SCSI_READ16, lba + k, 1), {}, kBlock);
                    ASSERT_EQ(one.outcome, Outcome::Done) << why;
                    if (one.status != 0) {
                        known[lba + k] = false;
                        ++lostBlocks;
                    } else if (known[lba + k]) {
                        ASSERT_TRUE(std::equal(one.dataIn.begin(), one.dataIn.end(), expected.begin() + (lba + k) * kBlock))
                            << why << ": row " << r << " block " << k << " lost" << Consoles();
                    }
                }
                continue;
            }
            for (uint32_t k = 0; k < kRowBlocks; ++k) {
                if (!known[lba + k]) continue;
                ASSERT_TRUE(std::equal(res.dataIn.begin() + size_t(k) * kBlock, res.dataIn.begin() + size_t(k + 1) * kBlock,
                                       expected.begin() + (lba + k) * kBlock))
                    << why << ": row " << r << " block " << k << " lost" << Consoles();
            }
        }
    }
    // Every row's parity on the drives is the XOR of its data (the first
    // `rows` rows; the reference's own by default).
    void CheckParityOnDrives(uint32_t rows = kRows) {
        const size_t bytes = size_t(kChunk) * kBlock;
        if (bLevel == fw::RAID_LEVEL_10) {
            // Both halves of every pair agree, and each block the host
            // wrote is where the layout puts it.
            std::vector<std::vector<uint8_t>> half(6, std::vector<uint8_t>(bytes));
            for (uint32_t r = 0; r < rows; ++r) {
                for (unsigned m = 0; m < 6; ++m) chassis.DriveAt(m + 1)->ReadBlocks(uint64_t(r) * kChunk, kChunk, half[m].data());
                for (unsigned p = 0; p < 3; ++p) ASSERT_TRUE(half[2 * p] == half[2 * p + 1]) << "row " << r << " pair " << p;
                for (uint64_t x = uint64_t(r) * kRowBlocks; x < uint64_t(r + 1) * kRowBlocks; ++x) {
                    if (x >= known.size() || !known[x]) continue;
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
            for (uint32_t r = 0; r < rows; ++r) {
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
        for (uint32_t r = 0; r < rows; ++r) {
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

    // Controller 1's (or 0's) power comes back: it starts on what its NVRAM
    // and bank kept, beside the running survivor.
    void Restart(Side& side) {
        side.board.RestorePower();
        side.board.ClearConsoleText();
        sim::Board::ConnectPartners(a->board, b->board);
        side.board.Boot();
    }
    // The board given, cut, comes back beside the running partner: it joins,
    // brings its drive side back (failback), and its host logs in again.
    // `failingBack` runs once the board has started and its failback is
    // under way.
    void Rejoin(Side& side, sim::FcHost& host, const std::function<void()>& failingBack = nullptr) {
        Restart(side);
        const bool fB = &side == b.get();
        const auto fFailingBack = [fB] {
            return (fB ? fw_b::fIsSASFailbackInProgress() : fw::fIsSASFailbackInProgress()) == fw::TRUE;
        };
        bool fFailback = false;
        ASSERT_TRUE(RunUntil(
            [&] {
                fFailback = fFailback || fFailingBack();
                return fFailback && side.Booted();
            },
            kBootLimitNs))
            << Consoles();
        EXPECT_NE(side.board.ConsoleText().find("Partner Controller.........Initialized\r\n"), std::string::npos)
            << Consoles();
        if (failingBack) failingBack();
        ASSERT_TRUE(RunUntil(
            [&] {
                return !fFailingBack() && fw::fIsDualControllerActive() == fw::TRUE &&
                       fw_b::fIsDualControllerActive() == fw::TRUE &&
                       (fB ? fw::fIsPartnerAlive() : fw_b::fIsPartnerAlive()) == fw::TRUE;
            },
            60'000 * kMs))
            << Consoles();
        ASSERT_TRUE(HostReady(host)) << Consoles();
    }
    // The board given starts alone on what its NVRAM kept, its partner's
    // power off, and its host logs in again.
    void StartAlone(Side& side, sim::FcHost& host) {
        side.board.RestorePower();
        side.board.ClearConsoleText();
        side.board.Boot();
        ASSERT_TRUE(RunUntil([&] { return side.Booted(); }, kBootLimitNs)) << Consoles();
        EXPECT_NE(side.board.ConsoleText().find("Partner Controller.........Not Present\r\n"), std::string::npos)
            << Consoles();
        ASSERT_TRUE(HostReady(host)) << Consoles();
    }
    // Both come back together, each on what its NVRAM and bank kept.
    void PowerBothOn() {
        for (Side* s : {a.get(), b.get()}) {
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
    // Both start again together: every write either host was told was done
    // reads back through both, and once both caches are empty the rows on
    // the drives hold.
    void RestartBothAndReadEverythingBack() {
        ASSERT_NO_FATAL_FAILURE(RestartBoth());
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        ASSERT_TRUE(RunUntil([] { return CachesWrittenOut(); }, 60'000 * kMs)) << Consoles() << Journals();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
    }
    // What each controller's journals still hold, for a failure's message.
    static std::string Journals() {
        return "\njournals: A own " + std::to_string(fw::wGetJournalInUseCount()) + " partner " +
               std::to_string(fw::wGetDirtyExtentCount()) + ", B own " + std::to_string(fw_b::wGetJournalInUseCount()) +
               " partner " + std::to_string(fw_b::wGetDirtyExtentCount()) + "\n";
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
    uint32_t lostBlocks = 0;
};

}  // namespace dual
