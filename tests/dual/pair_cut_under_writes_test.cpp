// A controller of a pair cut while its hosts write, as hosts write: several
// writes of 1 to 128 blocks outstanding on each controller at once, at
// random places of a window of their own (rewriting what they wrote
// before), the cut at a seeded moment of a steady load.  Every write a host
// was told was done reads back through the survivor at once, and through
// both once the cut one is back; a write still on its way at the cut is
// sent again through the survivor, as a host's multipath would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pair_writes.h"

namespace {

using Outcome = sim::FcpResult::Outcome;

constexpr uint32_t kBlock = 512;
constexpr uint64_t kMs = 1'000'000ull;
// Each host writes a window of its own, far from the other's: the cut
// one's writes and the survivor's never meet.
// Two hosts on each controller, each in a window of its own; the cut comes
// after a steady load of half a second to three seconds, and the hosts
// write on through the survivor for long enough to see its takeover end.
constexpr uint64_t kWindowBlocks = 20000;
constexpr unsigned kWritersPerSide = 2;
constexpr uint64_t kLoadMs = 500;
constexpr uint64_t kLoadSpreadMs = 2500;
constexpr unsigned kMaxDepth = 4;
constexpr uint64_t kAfterMs = 20000;
uint64_t WindowOf(unsigned id) { return uint64_t(id) * (kWindowBlocks + 1000); }

class PairCutUnderWrites : public dual::PairUnderWrites, public ::testing::WithParamInterface<int> {
protected:
    struct Writer {
        sim::FcHost* host;
        sim::Board* board;
        uint64_t window;
        unsigned depth;
        unsigned id;
    };
    struct Outstanding {
        uint64_t lba;
        uint32_t blocks;
        uint32_t stamp;   // what the data is made from
        bool viaSurvivor;
    };

    void SetUp() override {
        rngSeed.seed(static_cast<uint32_t>(GetParam()) * 2654435761u + 7u);
        const uint8_t abLevels[] = {fw::RAID_LEVEL_5, fw::RAID_LEVEL_6, fw::RAID_LEVEL_10};
        const uint8_t bLevel = abLevels[rngSeed() % 3];
        keepAlone = rngSeed() % 2 == 0;
        Start(bLevel, 0, keepAlone ? fw::POLICY_WRITE_BACK : fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR);
        story = "seed " + std::to_string(GetParam()) + ", RAID " +
                std::to_string(bLevel == fw::RAID_LEVEL_10 ? 10 : bLevel) +
                (keepAlone ? ", write-back kept alone" : ", write-back off alone");
        model.assign(size_t(WindowOf(2 * kWritersPerSide)), 0);
        // The writes here are kept in `model`, not in the fixture's block
        // reference: the check of the drives looks at their redundancy only
        // (a RAID 10 pair's halves agree), not at zeros the reference holds.
        known.assign(known.size(), false);
    }

    dual::Side& SideOf(bool fB) { return fB ? *b : *a; }
    sim::FcHost& HostOf(bool fB) { return fB ? *hostB : *hostA; }

    static std::vector<uint8_t> Data(uint32_t stamp, uint64_t lba, uint32_t blocks) {
        std::vector<uint8_t> d(size_t(blocks) * kBlock);
        for (uint32_t b = 0; b < blocks; ++b) {
            uint8_t* p = d.data() + size_t(b) * kBlock;
            const uint64_t at = lba + b;
            for (uint32_t i = 0; i < kBlock; i += 8) {
                const uint64_t w = (uint64_t(stamp) << 32) ^ (at * 0x9E3779B97F4A7C15ull) ^ i;
                std::memcpy(p + i, &w, 8);
            }
        }
        return d;
    }
    // The stamp a block holds, from its first word (0 for a block never
    // written: zeros).
    static uint32_t StampOf(const uint8_t* p, uint64_t at) {
        uint64_t w = 0;
        std::memcpy(&w, p, 8);
        if (w == 0) return 0;
        return static_cast<uint32_t>((w ^ (at * 0x9E3779B97F4A7C15ull)) >> 32);
    }

    bool Overlaps(const Writer& w, uint64_t lba, uint32_t blocks) const {
        for (const auto& [tag, o] : outstanding.at(w.id)) {
            if (lba < o.lba + o.blocks && o.lba < lba + blocks) return true;
        }
        return false;
    }
    void Send(Writer& w, sim::FcHost& via, uint64_t lba, uint32_t blocks, uint32_t stamp, bool viaSurvivor) {
        sim::FcpCommand c;
        c.cdb = dual::Cdb16(fw::SCSI_WRITE16, lba, blocks);
        c.dataOut = Data(stamp, lba, blocks);
        const uint32_t tag = via.initiator().Submit(via.target(), c);
        outstanding[w.id][tag] = {lba, blocks, stamp, viaSurvivor};
        sentVia[w.id][tag] = &via;
    }
    void SendNew(Writer& w) {
        for (int tries = 0; tries < 50; ++tries) {
            const uint32_t blocks = 1 + static_cast<uint32_t>(rng() % 128);
            const uint64_t lba = w.window + rng() % (kWindowBlocks - blocks);
            if (Overlaps(w, lba, blocks)) continue;
            Send(w, *w.host, lba, blocks, ++stamps, false);
            return;
        }
    }
    // Takes in every answered write: GOOD ones become what their blocks
    // hold.  `alive` false: the writer's controller is gone, its
    // unanswered writes go again through `survivor`.
    void Collect(Writer& w) {
        auto& mine = outstanding[w.id];
        for (auto it = mine.begin(); it != mine.end();) {
            sim::FcHost& via = *sentVia[w.id][it->first];
            if (!via.initiator().Finished(it->first)) {
                ++it;
                continue;
            }
            const sim::FcpResult r = via.initiator().Result(it->first);
            via.initiator().Forget(it->first);
            const Outstanding o = it->second;
            sentVia[w.id].erase(it->first);
            it = mine.erase(it);
            if (r.outcome == Outcome::Done && r.status == 0) {
                for (uint32_t b = 0; b < o.blocks; ++b) model[o.lba + b] = o.stamp;
                ++acknowledged;
                if (cutDone && !o.viaSurvivor) ++ackedBeforeCutLate;
            } else {
                // Not done: a host sends it again (through the survivor
                // once its controller is gone).
                resend.push_back({w.id, o});
            }
        }
    }
    // Writes go on until `untilNs`: each writer keeps its depth of writes
    // outstanding.
    void Drive(std::vector<Writer>& writers, uint64_t untilNs, sim::FcHost* survivor) {
        (void)RunUntil(
            [&] {
                for (Writer& w : writers) {
                    Collect(w);
                    sim::FcHost& via = survivor != nullptr && w.board->poweredOff() ? *survivor : *w.host;
                    if (via.initiator().LoginState(via.target()) != sim::FcInitiator::Login::LoggedIn) continue;
                    for (auto rit = resend.begin(); rit != resend.end();) {
                        if (rit->first != w.id) {
                            ++rit;
                            continue;
                        }
                        Send(w, via, rit->second.lba, rit->second.blocks, rit->second.stamp, &via != w.host);
                        rit = resend.erase(rit);
                    }
                    if (&via != w.host) continue;   // a failed-over host only finishes its own
                    while (outstanding[w.id].size() < w.depth) SendNew(w);
                }
                return clock.Now() >= untilNs;
            },
            untilNs > clock.Now() ? untilNs - clock.Now() : 0);
    }
    // Every block of both windows reads back as the model has it: the
    // stamp of the last write acknowledged there (0: never written).
    void CheckThroughHost(sim::FcHost& host, const std::string& when) {
        for (unsigned id = 0; id < 2 * kWritersPerSide; ++id) {
            const uint64_t window = WindowOf(id);
            for (uint64_t lba = window; lba < window + kWindowBlocks; lba += 256) {
                if (std::all_of(model.begin() + lba, model.begin() + std::min<uint64_t>(lba + 256, window + kWindowBlocks),
                                [](uint32_t m) { return m == 0; })) {
                    continue;
                }
                const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(256, window + kWindowBlocks - lba));
                const sim::FcpResult r =
                    RunCommand(host, dual::Cdb16(fw::SCSI_READ16, lba, n), {}, n * kBlock, 60'000 * kMs);
                ASSERT_EQ(r.outcome, Outcome::Done) << story << ", " << when << ": read at " << lba << Consoles();
                ASSERT_EQ(r.status, 0) << story << ", " << when << ": read at " << lba << Consoles();
                for (uint32_t b = 0; b < n; ++b) {
                    const uint64_t at = lba + b;
                    if (unknown.count(at) != 0) continue;
                    const uint32_t got = StampOf(r.dataIn.data() + size_t(b) * kBlock, at);
                    ASSERT_EQ(got, model[at]) << story << ", " << when << ": block " << at
                                              << " lost its acknowledged write (reads stamp " << got << ")"
                                              << Consoles();
                }
            }
        }
    }

    std::mt19937 rngSeed;
    std::mt19937 rng{99};
    bool keepAlone = false;
    std::string story;
    std::vector<uint32_t> model;
    std::map<uint64_t, bool> unknown;
    std::map<unsigned, std::map<uint32_t, Outstanding>> outstanding;
    std::map<unsigned, std::map<uint32_t, sim::FcHost*>> sentVia;
    std::vector<std::pair<unsigned, Outstanding>> resend;
    uint32_t stamps = 0;
    bool cutDone = false;
    unsigned ackedBeforeCutLate = 0;
};

TEST_P(PairCutUnderWrites, EveryAcknowledgedWriteOfTheCutControllerReadsBackThroughTheSurvivor) {
    const bool cutB = rngSeed() % 2 == 0;
    rng.seed(static_cast<uint32_t>(GetParam()) + 5u);
    std::vector<Writer> writers;
    for (unsigned id = 0; id < 2 * kWritersPerSide; ++id) {
        const bool onB = id % 2 == 1;
        writers.push_back({onB ? hostB.get() : hostA.get(), onB ? &b->board : &a->board, WindowOf(id),
                           1 + unsigned(rngSeed() % kMaxDepth), id});
    }
    // A steady load first, then the cut at a seeded moment of it.
    const uint64_t cutAt = clock.Now() + (kLoadMs + rngSeed() % kLoadSpreadMs) * kMs;
    Drive(writers, cutAt, nullptr);
    story += std::string(", controller ") + (cutB ? "1" : "0") + " cut at " + std::to_string(cutAt / kMs) + " ms";
    SideOf(cutB).board.CutPower();
    cutDone = true;
    sim::FcHost& survivor = cutB ? *hostA : *hostB;
    // The hosts write on through the survivor; the cut one's host sends
    // its unanswered writes again through it.
    Drive(writers, clock.Now() + kAfterMs * kMs, &survivor);
    Drive(writers, clock.Now() + 2000 * kMs, nullptr);
    // Let every write still out end.
    ASSERT_TRUE(RunUntil(
        [&] {
            for (Writer& w : writers) Collect(w);
            return resend.empty() && std::all_of(writers.begin(), writers.end(),
                                                 [&](const Writer& w) { return outstanding[w.id].empty(); });
        },
        60'000 * kMs))
        << story;
    ASSERT_NO_FATAL_FAILURE(CheckThroughHost(survivor, "through the survivor"));
    ASSERT_NO_FATAL_FAILURE(Rejoin(SideOf(cutB), HostOf(cutB))) << story;
    ASSERT_NO_FATAL_FAILURE(CheckThroughHost(*hostA, "through controller 0 after the rejoin"));
    ASSERT_NO_FATAL_FAILURE(CheckThroughHost(*hostB, "through controller 1 after the rejoin"));
    ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << story;
    // A write cut on its way to the drives left its rows to be made whole.
    ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives(static_cast<uint32_t>(WindowOf(2 * kWritersPerSide) / kRowBlocks + 1)))
        << story;
    std::cout << story << ": " << acknowledged << " writes acknowledged\n";
}

INSTANTIATE_TEST_SUITE_P(Seeds, PairCutUnderWrites, ::testing::Range(1, 3));

}  // namespace

namespace {

// A write that continues another's stream beyond its buffer lands partly in
// the stream's buffer and partly in its own: both parts reach the partner
// where they belong, and the survivor writes both out.
class PairContinuation : public dual::PairUnderWrites {};

TEST_F(PairContinuation, AContinuedStreamReadsBackThroughTheSurvivor) {
    Start(fw::RAID_LEVEL_5);
    SlowDrives(2000 * kMs);
    auto write = [&](uint64_t lba, uint32_t blocks, uint8_t seed) {
        std::vector<uint8_t> d(size_t(blocks) * kBlock);
        for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(seed + i / kBlock * 7 + i);
        sim::FcpCommand c;
        c.cdb = dual::Cdb16(fw::SCSI_WRITE16, lba, blocks);
        c.dataOut = d;
        const uint32_t tag = hostA->initiator().Submit(hostA->target(), c);
        EXPECT_TRUE(RunUntil([&] { return hostA->initiator().Finished(tag); }, 20'000 * kMs));
        const sim::FcpResult r = hostA->initiator().Result(tag);
        EXPECT_EQ(r.status, 0);
        std::copy(d.begin(), d.end(), expected.begin() + lba * kBlock);
        return d;
    };
    write(10, 8, 1);
    write(18, 300, 2);
    write(318, 40, 3);
    a->board.CutPower();
    SlowDrives(0);
    for (uint64_t lba = 0; lba < 400; lba += 100) {
        const sim::FcpResult r = RunCommand(*hostB, dual::Cdb16(fw::SCSI_READ16, lba, 100), {}, 100 * kBlock, 60'000 * kMs);
        ASSERT_EQ(r.status, 0);
        for (uint32_t b = 0; b < 100; ++b) {
            EXPECT_TRUE(std::equal(r.dataIn.begin() + size_t(b) * kBlock, r.dataIn.begin() + size_t(b + 1) * kBlock,
                                   expected.begin() + (lba + b) * kBlock))
                << "block " << lba + b;
        }
    }
}

}  // namespace
