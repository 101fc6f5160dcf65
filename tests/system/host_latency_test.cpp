// How long host commands wait on healthy arrays.  Twelve drives, a RAID 5
// of three, a RAID 6 of five and a RAID 10 of four, each made as the console
// makes an array (its cache policy, initialised in the background) with one
// logical drive, and each written by a host of its own, 1 to 32 commands in
// flight, mixed sizes: no command may wait more than a few seconds of board
// time, whatever the background initialisation, the cache's limits, the
// write sort or the row holds are doing meanwhile.  And one host's held
// writes never hold another host's commands for the length of their hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "config/ld_table.h"
#include "config/rank_table.h"
#include "executive/buffer_pages.h"
#include "host_road.h"
#include "raid/stripe_init.h"

namespace roadtest {
namespace {

// What the console gives a new array: write-back, mirrored, write sort,
// write-through transition off when the cache is full.
constexpr uint8_t kConsolePolicy = 0x5B;
constexpr uint64_t kLimitNs = 5'000'000'000ull;

struct Level {
    uint8_t bLevel;
    uint8_t bDrives;
};

// A host that keeps 1 to 32 commands of mixed sizes in flight on its LUN
// and notes the board time each took.
struct Loader {
    sim::FcHost* host = nullptr;
    uint16_t lun = 0;
    uint64_t span = 0;
    std::mt19937 rng;
    unsigned depth = 1;
    std::map<uint32_t, uint64_t> inFlight;   // tag: board time sent
    std::vector<uint32_t> answered;          // tags the initiator may forget
    std::vector<uint64_t> times;             // ns each answered command took
    bool fFailed = false;
};

class HostLatency : public HostRoad {
protected:
    HostLatency() {
        chassisOptions.drives = 12;
        chassisOptions.driveBytes = 1ull << 30;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
    }

    // The arrays on slots 1, 2, ... in order and a logical drive over each
    // (logical drive n on array n, LUN n), through the configuration edits,
    // committed: the walks of those to initialise start with the commit.
    void MakeArrays(const std::vector<Level>& levels, uint16_t wChunk, bool fInitialize) {
        ASSERT_NO_FATAL_FAILURE(StartController());
        cfgbuild::Builder builder(*board);
        ASSERT_TRUE(builder.OpenEdit());
        unsigned slot = 1;
        for (const Level& l : levels) {
            cfgbuild::ArraySpec a;
            a.bLevel = l.bLevel;
            for (unsigned m = 0; m < l.bDrives; ++m) a.slots.push_back(slot++);
            a.wChunk = wChunk;
            a.fInitialize = fInitialize;
            a.bCachePolicy = kConsolePolicy;
            ASSERT_EQ(builder.CreateArray(a), fw::STATUS_OK);
        }
        for (uint16_t wRank = 0; wRank < levels.size(); ++wRank) ASSERT_EQ(builder.CreateLdOnArray(wRank), fw::STATUS_OK);
        ASSERT_TRUE(builder.Commit()) << board->ConsoleText();
        for (uint8_t r = 0; r < levels.size(); ++r) {
            ASSERT_EQ(fw::fIsStripeInitInProgress(r), fInitialize ? fw::TRUE : fw::FALSE) << "array " << int(r);
        }
    }

    // A host of its own on each LUN, all on host port 1.
    void ConnectHosts(unsigned count) {
        for (unsigned n = 0; n < count; ++n) {
            hosts.push_back(std::make_unique<sim::FcHost>(*board, *fabric, *sim::FindIspChip(*board, 1), kHostName + n));
            ASSERT_TRUE(hosts[n]->LogIn()) << board->ConsoleText();
            sim::FcpResult r;
            for (int i = 0; i < 4 && !(r.outcome == sim::FcpResult::Outcome::Done && r.status == 0); ++i)
                r = hosts[n]->Send(static_cast<uint16_t>(n), Cdb(fw::SCSI_TEST_UNIT_READY, 0, 0));
            ASSERT_EQ(r.status, 0) << "LUN " << n << " never became ready";
        }
        board->RunUntil([] { return fw::wGetTargetEntriesUsed() <= 1; }, kSettleLimitNs);
    }

    // Tops the host's commands up to its depth: writes (a read now and
    // then) of 1 block to 256 KiB anywhere on the logical drive; the depth
    // moves between 1 and 32 every few hundred commands.  What the writes
    // hold does not matter here: zeros, which the drives keep no copy of.
    void TopUp(Loader& l) {
        for (uint32_t tag : l.answered) l.host->initiator().Forget(tag);
        l.answered.clear();
        if (l.rng() % 300 == 0) l.depth = 1 + l.rng() % 32;
        static constexpr uint32_t kSizes[] = {1, 8, 8, 8, 16, 64, 128, 256, 512};
        while (l.inFlight.size() < l.depth) {
            const uint32_t blocks = kSizes[l.rng() % std::size(kSizes)];
            const uint64_t lba = l.rng() % (l.span - blocks) / 8 * 8;
            sim::FcpCommand c;
            c.lun = l.lun;
            if (l.rng() % 8 == 0) {
                c.cdb = Cdb(fw::SCSI_READ10, lba, blocks);
                c.dataInLength = blocks * kBlock;
            } else {
                c.cdb = Cdb(fw::SCSI_WRITE10, lba, blocks);
                c.dataOut.assign(size_t(blocks) * kBlock, 0);
            }
            l.inFlight[l.host->initiator().Submit(l.host->target(), c)] = board->clock().Now();
        }
    }

    // Each host keeps its load up for `ns` of board time; then every
    // command ends.
    void RunLoad(std::vector<Loader>& loaders, uint64_t ns) {
        for (unsigned n = 0; n < loaders.size(); ++n) {
            Loader& l = loaders[n];
            l.host = hosts[n].get();
            l.lun = static_cast<uint16_t>(n);
            l.span = fw::pGetLogicalDriveRecord(l.lun)->lLastBlock + 1;
            l.rng.seed(n + 1);
            l.host->initiator().onCompletion = [this, &l](uint32_t tag, sim::FcpResult& result) {
                const auto it = l.inFlight.find(tag);
                if (it == l.inFlight.end()) return;
                l.times.push_back(board->clock().Now() - it->second);
                l.fFailed |= result.outcome != sim::FcpResult::Outcome::Done || result.status != 0;
                l.inFlight.erase(it);
                l.answered.push_back(tag);
            };
        }
        auto answered = [&] {
            size_t n = 0;
            for (const Loader& l : loaders) n += l.times.size();
            return n;
        };
        const uint64_t end = board->clock().Now() + ns;
        while (board->clock().Now() < end) {
            for (Loader& l : loaders) TopUp(l);
            const size_t before = answered();
            board->RunUntil([&] { return answered() != before; }, 2 * kLimitNs);
        }
        board->RunUntil(
            [&] {
                for (const Loader& l : loaders)
                    if (!l.inFlight.empty()) return false;
                return true;
            },
            kSettleLimitNs);
    }

    std::vector<std::unique_ptr<sim::FcHost>> hosts;
};

TEST_F(HostLatency, NoCommandWaitsSecondsWhileThreeNewArraysInitialise) {
    ASSERT_NO_FATAL_FAILURE(MakeArrays({{fw::RAID_LEVEL_5, 3}, {fw::RAID_LEVEL_6, 5}, {fw::RAID_LEVEL_10, 4}}, 128, true));
    ASSERT_NO_FATAL_FAILURE(ConnectHosts(3));
    std::vector<Loader> loaders(3);
    RunLoad(loaders, 3'000'000'000ull);
    for (const Loader& l : loaders) {
        SCOPED_TRACE("LUN " + std::to_string(l.lun));
        EXPECT_FALSE(l.fFailed);
        EXPECT_TRUE(l.inFlight.empty()) << l.inFlight.size() << " never answered";
        ASSERT_FALSE(l.times.empty());
        const uint64_t worst = *std::max_element(l.times.begin(), l.times.end());
        EXPECT_LE(worst, kLimitNs) << "a command waited " << double(worst) * 1e-9 << " s";
    }
}

// Small random writes on one logical drive, each held in the cache for
// followers that never come, take all the stream buffers the cache will
// give; a write to another logical drive then finds no pages.  It must not
// wait until the other host's writes have been held their full time.
TEST_F(HostLatency, OneHostsHeldWritesDoNotHoldAnothersWrite) {
    ASSERT_NO_FATAL_FAILURE(MakeArrays({{fw::RAID_LEVEL_5, 5}, {fw::RAID_LEVEL_5, 5}}, 1024, false));
    ASSERT_NO_FATAL_FAILURE(ConnectHosts(2));
    // Writes of 4 KiB a few rows apart, GOOD from the cache; the cache
    // holds them, each with a buffer of up to two rows, until its share of
    // pages is used.
    const std::vector<uint8_t> data(256 * kBlock, 0x5A);
    std::vector<uint32_t> tags;
    for (unsigned i = 0; i < 32 && fw::fIsBufferUsageHigh(fw::BUFFER_BANK_EITHER) != fw::TRUE; ++i) {
        const sim::FcpCommand c = sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE10, 8 + i * 7u * 4096, 256), data, 0);
        tags.push_back(hosts[0]->Submit(c));
        ASSERT_EQ(hosts[0]->Wait(tags.back()).status, 0);
    }
    ASSERT_EQ(fw::fIsBufferUsageHigh(fw::BUFFER_BANK_EITHER), fw::TRUE) << "the cache kept room";
    const uint64_t sent = board->clock().Now();
    const sim::FcpResult r = hosts[1]->Send(1, Cdb(fw::SCSI_WRITE10, 8, 256), data);
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(board->clock().Now() - sent, 250'000'000ull)
        << "the write waited " << double(board->clock().Now() - sent) * 1e-9 << " s for the other LUN's held writes";
}

// One host, one command at a time, half of them writes of 1 to 128 blocks
// and half reads of blocks it wrote a while before (a read of the same
// length, so most overlap the write's blocks only in part): on parity
// arrays such a read waits for the write to reach the drives, and must
// not wait for longer than the drives take.
TEST_F(HostLatency, AReadOfBlocksWrittenJustBeforeWaitsOnlyForTheDrives) {
    ASSERT_NO_FATAL_FAILURE(MakeArrays({{fw::RAID_LEVEL_5, 4}, {fw::RAID_LEVEL_6, 5}}, 128, false));
    ASSERT_NO_FATAL_FAILURE(ConnectHosts(2));
    for (uint16_t lun = 0; lun < 2; ++lun) {
        SCOPED_TRACE("LUN " + std::to_string(lun));
        std::mt19937 rng(lun + 5);
        const uint64_t span = fw::pGetLogicalDriveRecord(lun)->lLastBlock + 1 - 256;
        std::vector<uint64_t> written;
        uint64_t worst = 0;
        for (int i = 0; i < 600; ++i) {
            const uint32_t blocks = 1 + rng() % 128;
            sim::FcpCommand c;
            c.lun = lun;
            if (written.size() < 4 || rng() % 2 == 0) {
                const uint64_t lba = rng() % (span / 8) * 8;
                c.cdb = Cdb(fw::SCSI_WRITE10, lba, blocks);
                c.dataOut.assign(size_t(blocks) * kBlock, uint8_t(i));
                written.push_back(lba);
            } else {
                const size_t back = 4 + rng() % std::min<size_t>(written.size() - 3, 218);
                c.cdb = Cdb(fw::SCSI_READ10, written[written.size() - back], blocks);
                c.dataInLength = blocks * kBlock;
            }
            const uint64_t sent = board->clock().Now();
            const sim::FcpResult r = hosts[lun]->Send(c, kLimitNs);
            ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << i;
            ASSERT_EQ(r.status, 0) << i;
            worst = std::max(worst, board->clock().Now() - sent);
        }
        EXPECT_LE(worst, 250'000'000ull) << "a command waited " << double(worst) * 1e-9 << " s";
    }
}

}  // namespace
}  // namespace roadtest
