// A seeded campaign of host load: one controller, two arrays of two RAID
// levels with two logical drives each, several hosts on Fibre Channel or SAS
// host ports, each keeping up to its queue depth of commands in flight:
// READ, WRITE, WRITE AND VERIFY, VERIFY with and without a compare, and
// SYNCHRONIZE CACHE, of every transfer length from 1 block to the longest
// the target takes, with bursts of long writes to one logical drive at once.
// In some cases one array runs degraded, or rebuilds onto a spare under the
// load.  Fibre Channel hosts also send commands whose FCP_DL or direction
// bits disagree with the CDB.  In the middle of the load a host ends one of
// the long commands in flight with ABORT TASK (ABTS on Fibre Channel), and
// a SAS host resets the logical unit of another: what such a command was
// writing is then either old or new in every block.  Every command must be
// answered within
// kAnswerBoundNs of board time (TASK SET FULL and BUSY are sent again, as
// hosts do), every read and every compare must agree with a model of what
// the writes answered GOOD put there; then one host alone, one command at
// a time on the healthy arrays, must be answered within kDepthOneBoundNs
// each; and at the end everything written reads back so.
//
// Each test of the suite runs one seed (its parameter); the bench
// (bench/host_load_bench) runs more.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "host_road.h"
#include "cache/write_sort.h"
#include "eventlog/statistics.h"
#include "raid/rebuild.h"
#include "target/target_commands.h"

namespace hostload {

using namespace roadtest;

// Every command is answered within this much board time of its sending.
constexpr uint64_t kAnswerBoundNs = 30'000'000'000ull;
// The longest READ(16) and WRITE(16) the target takes: its transfer count
// is checked below 65536 blocks of 512 bytes.
constexpr uint32_t kLongestTransfer = 65535;
// Blocks of each logical drive; the load spreads over all of them.
constexpr uint64_t kLdBlocks = 1u << 19;
constexpr uint16_t kLds = 4;
// The top of each logical drive is kept for the burst of long writes:
// under the load a range that long is seldom clear of the commands in
// flight.  It holds two of the longest, or four of 32768 blocks.
constexpr uint64_t kBurstBlocks = 2 * uint64_t{kLongestTransfer} + 2;
// Commands each case sends, besides its burst of long writes.
constexpr uint32_t kCommandsPerCase = 300;
// Then one host alone, one command at a time, on the arrays that have all
// their members: each answered within this much board time, a few times
// what the drives take for the longest of them.
constexpr uint32_t kDepthOneCommands = 400;
constexpr uint64_t kDepthOneBoundNs = 250'000'000ull;
// A host's queue depth goes up to the command window of an iSCSI session.
constexpr uint32_t kSessionDepth = 128;

constexpr uint8_t kSyncCache10 = 0x35;
constexpr uint8_t kWriteVerify10 = 0x2E;
constexpr uint8_t kWriteVerify16 = 0x8E;
constexpr uint8_t kVerify10 = 0x2F;
constexpr uint8_t kVerify16 = 0x8F;
constexpr uint8_t kAbortTask = 0x01;
constexpr uint8_t kLogicalUnitReset = 0x08;

// Fills one block of what write `version` put at `lba` of `lun` (version 0:
// never written, zeros).
inline void BlockImage(uint32_t version, uint16_t lun, uint64_t lba, uint8_t* pb) {
    if (version == 0) {
        std::memset(pb, 0, kBlock);
        return;
    }
    uint64_t x = (uint64_t(version) << 32) ^ (uint64_t(lun) << 28) ^ lba;
    for (uint32_t i = 0; i < kBlock; i += 8) {
        x += 0x9E3779B97F4A7C15ull;
        uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        std::memcpy(pb + i, &z, 8);
    }
}

struct LoadArray {
    uint8_t bLevel;
    uint8_t bDrives;
    uint16_t wChunk;
};

inline const char* LevelName(uint8_t bLevel) {
    switch (bLevel) {
    case fw::RAID_LEVEL_0: return "RAID 0";
    case fw::RAID_LEVEL_10: return "RAID 10";
    case fw::RAID_LEVEL_5: return "RAID 5";
    default: return "RAID 6";
    }
}

class HostLoadCampaign : public HostRoad, public ::testing::WithParamInterface<int> {
protected:
    enum class Op {
        Read,
        Write,
        WriteVerify,
        Verify,
        VerifyCompare,
        VerifyMiscompare,
        Sync,
        // Fibre Channel only: what FCP_DL and the direction bits say
        // disagrees with the CDB.
        WrongDirection,   // a command that moves data, its direction bit not set
        ShortRead,        // a READ whose host takes less than the CDB asks
        LongRead,         // a READ whose host expects more than the CDB asks
        ShortWrite,       // a WRITE whose host sends less than the CDB asks
    };
    enum class Degrade { None, Missing, Rebuild, PulledUnderLoad };

    // One command a host has in flight (or waits to send again).
    struct Command {
        Op op;
        uint16_t lun;
        uint64_t lba;
        uint32_t blocks;
        uint32_t version;      // a write's data
        uint32_t firstBad;     // a miscompare's first differing block
        uint32_t expected;     // FCP_DL, when the command sets it apart from its data
        sim::FcpCommand fcp;
        uint64_t sentAtNs;
        uint32_t tries;
        bool ended = false;    // task management may have ended it
    };
    // A range an ended write may have written in part: each block holds
    // what it held before (`version` 0 of the model's) or the write's.
    struct Uncertain {
        uint16_t lun;
        uint64_t lba;
        uint32_t blocks;
        uint32_t version;
    };
    struct LoadHost {
        std::unique_ptr<sim::FcHost> fc;
        std::unique_ptr<sim::SasHost> sas;
        std::unique_ptr<RoadHost> road;
        uint32_t depth = 1;
        std::map<uint32_t, Command> inFlight;   // by tag
        std::string name;
    };

    void SetUp() override {
        seed = static_cast<uint32_t>(GetParam());
        rng.seed(seed * 2654435761u + 7u);
        // The first seeds cover every level on both kinds of host port.
        hostKind = seed % 2 == 0 ? HostKind::Fc : HostKind::Sas;
        static const LoadArray kLevels[] = {
            {fw::RAID_LEVEL_0, 3, 64}, {fw::RAID_LEVEL_10, 4, 128}, {fw::RAID_LEVEL_5, 4, 128}, {fw::RAID_LEVEL_6, 5, 64}};
        static const int kPairs[][2] = {{2, 0}, {3, 1}, {1, 3}, {0, 2}, {2, 3}, {1, 0}, {3, 2}, {0, 1}};
        const int* pair = kPairs[seed % 8];
        arrays = {kLevels[pair[0]], kLevels[pair[1]]};
        // The redundant array (the first, or the second when the first is
        // RAID 0) runs degraded in some cases.
        degradedArray = arrays[0].bLevel == fw::RAID_LEVEL_0 ? 1 : 0;
        degrade = static_cast<Degrade>((seed + seed / 8) % 4);
        story = std::string(hostKind == HostKind::Fc ? "Fibre Channel" : "SAS") + " hosts, " +
                LevelName(arrays[0].bLevel) + " and " + LevelName(arrays[1].bLevel);
        switch (degrade) {
        case Degrade::None: break;
        case Degrade::Missing: story += ", " + std::string(LevelName(arrays[degradedArray].bLevel)) + " degraded"; break;
        case Degrade::Rebuild:
            story += ", " + std::string(LevelName(arrays[degradedArray].bLevel)) + " rebuilding onto a spare";
            break;
        case Degrade::PulledUnderLoad:
            story += ", a member of the " + std::string(LevelName(arrays[degradedArray].bLevel)) + " pulled under load";
            break;
        }
        chassisOptions.drives = arrays[0].bDrives + arrays[1].bDrives + 1u;
        chassisOptions.driveBytes = 1ull << 30;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
    }

    unsigned FirstSlot(unsigned a) const { return a == 0 ? 1u : 1u + arrays[0].bDrives; }
    unsigned SpareSlot() const { return 1u + arrays[0].bDrives + arrays[1].bDrives; }
    // The member that is missing or pulled: one in the middle of the array.
    unsigned DegradedSlot() const { return FirstSlot(degradedArray) + 1u; }

    // Both arrays as the console makes them (write-back, the write budget
    // shared, a threshold of 32768 blocks), initialised, with two logical
    // drives each; a global spare and Auto Rebuild on.
    std::vector<uint8_t> Configuration() {
        std::vector<uint8_t> ab = copytest::MakeCopy({1, Own(), 2, 14, "LOAD"});
        fw::CONFIG_IMAGE* ps = copytest::Image(ab);
        ps->sHeader.fSingleControllerMode = fw::TRUE;
        ps->sHeader.fAutoRebuild = fw::TRUE;
        ps->sHeader.fAutoHotSpare = fw::FALSE;
        ps->sHeader.wSpareCount = 1;
        const auto w = DriveWwn(*chassis, SpareSlot());
        std::memcpy(ps->asSpare[0].abWwn, w.data(), 8);
        for (unsigned i = 0; i < fw::MAX_SPARES; ++i) ps->asSpare[i].bDedicatedRank = 0xFF;
        uint64_t lStart = 0;
        for (unsigned a = 0; a < 2; ++a) {
            fw::CONFIG_RANK_RECORD& r = ps->asRank[a];
            r.bRaidLevel = arrays[a].bLevel;
            r.bDriveCount = arrays[a].bDrives;
            r.wChunkSize = arrays[a].wChunk;
            r.lStartAddress = lStart;
            r.lLastOffset = 2 * kLdBlocks - 1;
            r.bCachePolicy = fw::bNewArrayCachePolicy(fw::NEW_ARRAY_CACHE_POLICY, arrays[a].bLevel, true, false);
            r.wWriteThreshold = fw::NEW_ARRAY_WRITE_THRESHOLD;
            r.fInitialized = fw::TRUE;
            for (uint8_t m = 0; m < arrays[a].bDrives; ++m) {
                const auto d = DriveWwn(*chassis, FirstSlot(a) + m);
                std::memcpy(r.aabMemberWwn[m], d.data(), 8);
            }
            for (unsigned h = 0; h < 2; ++h) {
                const uint16_t n = static_cast<uint16_t>(2 * a + h);
                fw::CONFIG_LD_RECORD& l = ps->asLd[n];
                l.wLdNumber = n;
                l.wDefaultLun = n;
                l.wLdId = static_cast<uint16_t>(0x8000 | n);
                l.wBlockSize = kBlock;
                l.bAvailability = 0x0F;
                l.bSegmentCount = 1;
                l.asSegment[0].lStart = lStart + h * kLdBlocks;
                l.asSegment[0].lLastOffset = kLdBlocks - 1;
                l.asSegment[0].lEnd = lStart + (h + 1) * kLdBlocks - 1;
            }
            lStart += 2 * kLdBlocks;
        }
        ps->sHeader.wLdCount = kLds;
        copytest::Seal(ab);
        return ab;
    }

    // The controller starts on the drives (a member gone, when the case
    // says so) and the hosts log in and clear their unit attentions.
    void Boot() {
        const std::vector<uint8_t> ab = Configuration();
        for (unsigned s = 1; s <= SpareSlot(); ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        if (degrade == Degrade::Missing || degrade == Degrade::Rebuild) chassis->Pull(DegradedSlot());
        if (degrade == Degrade::Missing) chassis->Pull(SpareSlot());
        ASSERT_NO_FATAL_FAILURE(StartController());
        const unsigned hosts = 2 + rng() % 2;
        for (unsigned h = 0; h < hosts; ++h) {
            auto lh = std::make_unique<LoadHost>();
            const uint8_t port = static_cast<uint8_t>(h % 2);
            if (hostKind == HostKind::Sas) {
                lh->sas = std::make_unique<sim::SasHost>(*board, *board->sasTargetIoc(), port, kSasHostAddress + h);
                ASSERT_TRUE(lh->sas->LogIn()) << board->ConsoleText();
                lh->road = std::make_unique<RoadHostOn<sim::SasHost>>(*lh->sas);
            } else {
                lh->fc = std::make_unique<sim::FcHost>(*board, *fabric, *sim::FindIspChip(*board, port + 1),
                                                       kHostName + h);
                ASSERT_TRUE(lh->fc->LogIn()) << board->ConsoleText();
                lh->road = std::make_unique<RoadHostOn<sim::FcHost>>(*lh->fc);
            }
            lh->name = "host " + std::to_string(h) + " (port " + std::to_string(port + 1) + ")";
            for (uint16_t lun = 0; lun < kLds; ++lun) {
                sim::FcpResult r;
                for (int i = 0; i < 4 && !(r.outcome == sim::FcpResult::Outcome::Done && r.status == 0); ++i) {
                    r = lh->road->Send(lun, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0});
                }
                ASSERT_EQ(r.status, 0) << lh->name << " LUN " << lun << " never became ready";
            }
            LoadHost* p = lh.get();
            lh->road->OnCompletion([this, p](uint32_t tag, const sim::FcpResult&) { answered.push_back({p, tag}); });
            loadHosts.push_back(std::move(lh));
        }
        for (auto& m : model) m.assign(kLdBlocks, 0);
    }

    // ---- commands ---------------------------------------------------------

    static std::vector<uint8_t> Cdb16(uint8_t op, uint64_t lba, uint32_t blocks, uint8_t byte1 = 0) {
        std::vector<uint8_t> ab(16, 0);
        ab[0] = op;
        ab[1] = byte1;
        fw::PutBe64(ab.data() + 2, lba);
        fw::PutBe32(ab.data() + 10, blocks);
        return ab;
    }
    static std::vector<uint8_t> Cdb10(uint8_t op, uint64_t lba, uint32_t blocks, uint8_t byte1 = 0) {
        std::vector<uint8_t> ab(10, 0);
        ab[0] = op;
        ab[1] = byte1;
        fw::PutBe32(ab.data() + 2, static_cast<uint32_t>(lba));
        fw::PutBe16(ab.data() + 7, static_cast<uint16_t>(blocks));
        return ab;
    }
    std::vector<uint8_t> Image(uint16_t lun, uint64_t lba, uint32_t blocks, uint32_t version) const {
        std::vector<uint8_t> v(size_t(blocks) * kBlock);
        for (uint32_t i = 0; i < blocks; ++i) BlockImage(version, lun, lba + i, v.data() + size_t(i) * kBlock);
        return v;
    }
    std::vector<uint8_t> Modelled(uint16_t lun, uint64_t lba, uint32_t blocks) const {
        std::vector<uint8_t> v(size_t(blocks) * kBlock);
        for (uint32_t i = 0; i < blocks; ++i) BlockImage(model[lun][lba + i], lun, lba + i, v.data() + size_t(i) * kBlock);
        return v;
    }

    // A transfer length: mostly short, some of a pass and more, a few up
    // to the longest the target takes.
    uint32_t PickLength() {
        const uint32_t r = rng() % 100;
        if (r < 60) return 1 + rng() % 64;
        if (r < 85) return 65 + rng() % 2000;
        if (r < 96) return 2065 + rng() % 14320;
        return 16385 + rng() % (kLongestTransfer - 16384);
    }
    bool Overlaps(uint16_t lun, uint64_t lba, uint32_t blocks) const {
        for (const auto& h : loadHosts) {
            for (const auto& [tag, c] : h->inFlight) {
                if (c.lun == lun && c.op != Op::Sync && lba < c.lba + c.blocks && c.lba < lba + blocks) return true;
            }
        }
        for (const Command& c : toResend) {
            if (c.lun == lun && c.op != Op::Sync && lba < c.lba + c.blocks && c.lba < lba + blocks) return true;
        }
        for (const Uncertain& u : uncertain) {
            if (u.lun == lun && lba < u.lba + u.blocks && u.lba < lba + blocks) return true;
        }
        return false;
    }
    // A range of the LUN, below the burst's, no command in flight touches:
    // the model then says what every command must find, whatever order the
    // controller takes them in.  False when none was found in a few tries.
    bool PickRange(uint16_t lun, uint32_t blocks, uint64_t* plba) {
        for (int i = 0; i < 8; ++i) {
            const uint64_t lba = rng() % (kLdBlocks - kBurstBlocks - blocks + 1);
            if (!Overlaps(lun, lba, blocks)) {
                *plba = lba;
                return true;
            }
        }
        return false;
    }

    Command Make(Op op, uint16_t lun, uint64_t lba, uint32_t blocks) {
        Command c{op, lun, lba, blocks, 0, 0, 0, {}, 0, 0};
        const bool f16 = blocks > 0xFFFF || rng() % 2 == 0;
        c.fcp.lun = lun;
        switch (op) {
        case Op::Read:
            c.fcp.cdb = f16 ? Cdb16(fw::SCSI_READ16, lba, blocks) : Cdb10(fw::SCSI_READ10, lba, blocks);
            c.fcp.dataInLength = blocks * kBlock;
            break;
        case Op::Write:
        case Op::WriteVerify:
            c.version = ++lastVersion;
            c.fcp.dataOut = Image(lun, lba, blocks, c.version);
            if (op == Op::Write) {
                c.fcp.cdb = f16 ? Cdb16(fw::SCSI_WRITE16, lba, blocks) : Cdb10(fw::SCSI_WRITE10, lba, blocks);
            } else {
                // BYTCHK 0 or 1.
                const uint8_t byte1 = static_cast<uint8_t>((rng() % 2) << 1);
                c.fcp.cdb = f16 ? Cdb16(kWriteVerify16, lba, blocks, byte1) : Cdb10(kWriteVerify10, lba, blocks, byte1);
            }
            break;
        case Op::Verify:
            c.fcp.cdb = f16 ? Cdb16(kVerify16, lba, blocks) : Cdb10(kVerify10, lba, blocks);
            break;
        case Op::VerifyCompare:
        case Op::VerifyMiscompare:
            c.fcp.cdb = f16 ? Cdb16(kVerify16, lba, blocks, 0x02) : Cdb10(kVerify10, lba, blocks, 0x02);
            c.fcp.dataOut = Modelled(lun, lba, blocks);
            if (op == Op::VerifyMiscompare) {
                c.firstBad = static_cast<uint32_t>(rng() % blocks);
                c.fcp.dataOut[size_t(c.firstBad) * kBlock + rng() % kBlock] ^= static_cast<uint8_t>(1u << (rng() % 8));
            }
            break;
        case Op::Sync: c.fcp.cdb = Cdb10(kSyncCache10, 0, 0); break;
        case Op::WrongDirection: {
            // A write, a write and verify or a compare with no data, its
            // host saying it reads or moves nothing.  (A read whose host
            // says it sends data takes none, and is served.)
            static const uint8_t kOps[][2] = {{fw::SCSI_WRITE10, fw::SCSI_WRITE16}, {kWriteVerify10, kWriteVerify16},
                                              {kVerify10, kVerify16}};
            const auto& pick = kOps[rng() % 3];
            const uint8_t byte1 = pick[0] == kVerify10 ? 0x02 : 0;
            c.fcp.cdb = f16 ? Cdb16(pick[1], lba, blocks, byte1) : Cdb10(pick[0], lba, blocks, byte1);
            c.expected = blocks * kBlock;
            c.fcp.fcpDl = c.expected;
            if (rng() % 2 == 0) c.fcp.dataInLength = c.expected;
            break;
        }
        case Op::ShortRead:
        case Op::LongRead:
            c.fcp.cdb = f16 ? Cdb16(fw::SCSI_READ16, lba, blocks) : Cdb10(fw::SCSI_READ10, lba, blocks);
            c.expected = op == Op::ShortRead ? uint32_t(rng() % (size_t(blocks) * kBlock))
                                             : blocks * kBlock + 1 + uint32_t(rng() % (64 * kBlock));
            c.fcp.fcpDl = c.expected;
            c.fcp.dataInLength = std::max<uint32_t>(c.expected, 1);
            break;
        case Op::ShortWrite: {
            // The host sends the whole blocks its length holds; they are
            // written, the rest not.
            c.version = ++lastVersion;
            const uint32_t fits = static_cast<uint32_t>(rng() % blocks);
            c.fcp.cdb = f16 ? Cdb16(fw::SCSI_WRITE16, lba, blocks) : Cdb10(fw::SCSI_WRITE10, lba, blocks);
            c.fcp.dataOut = Image(lun, lba, fits, c.version);
            // With no whole block the host sends nothing, and says so.
            c.expected = fits == 0 ? 0 : fits * kBlock + uint32_t(rng() % kBlock);
            c.fcp.fcpDl = c.expected;
            break;
        }
        }
        return c;
    }

    void Send(LoadHost& h, Command c) {
        c.sentAtNs = board->clock().Now();
        ++c.tries;
        const uint32_t tag = h.road->Submit(c.fcp);
        h.inFlight.emplace(tag, std::move(c));
    }

    // The next command of a host: a random one on a random LUN, on a range
    // no other command in flight touches.
    void SendOne(LoadHost& h) {
        const uint16_t lun = static_cast<uint16_t>(rng() % kLds);
        const uint32_t r = rng() % 100;
        Op op = r < 35   ? Op::Read
                : r < 70 ? Op::Write
                : r < 78 ? Op::WriteVerify
                : r < 84 ? Op::Verify
                : r < 92 ? Op::VerifyCompare
                : r < 97 ? Op::VerifyMiscompare
                         : Op::Sync;
        // Fibre Channel hosts send some commands whose expected length or
        // direction disagrees with the CDB.
        if (hostKind == HostKind::Fc && rng() % 100 < 8) {
            static const Op kMalformed[] = {Op::WrongDirection, Op::ShortRead, Op::LongRead, Op::ShortWrite};
            op = kMalformed[rng() % 4];
        }
        const uint32_t blocks = PickLength();
        uint64_t lba = 0;
        if (op != Op::Sync && !PickRange(lun, blocks, &lba)) return;
        Send(h, Make(op, lun, lba, blocks));
        ++sent;
    }

    // Long writes to one logical drive at once, from one host or several:
    // two of the longest, or three or four of one to two passes.
    void SendLongBurst() {
        const uint16_t lun = static_cast<uint16_t>(rng() % kLds);
        std::vector<uint32_t> lengths;
        if (rng() % 2 == 0) {
            lengths = {kLongestTransfer, kLongestTransfer};
        } else {
            const uint32_t n = 3 + rng() % 2;
            for (uint32_t i = 0; i < n; ++i) lengths.push_back(16385 + rng() % 16384);
        }
        const bool fOneHost = rng() % 2 == 0;
        const size_t first = rng() % loadHosts.size();
        std::ostringstream o;
        o << " a burst of";
        uint64_t lba = kLdBlocks - kBurstBlocks;
        for (size_t i = 0; i < lengths.size(); ++i) {
            LoadHost& h = *loadHosts[fOneHost ? first : (first + i) % loadHosts.size()];
            Send(h, Make(Op::Write, lun, lba, lengths[i]));
            lba += lengths[i];
            ++sent;
            o << " " << lengths[i];
        }
        o << " blocks to LUN " << lun << ";";
        story += o.str();
    }

    // ---- answers ----------------------------------------------------------

    static std::string SenseOf(const sim::FcpResult& r) { return SenseText(r); }
    std::string Describe(const Command& c) const {
        static const char* const kOps[] = {"READ",
                                           "WRITE",
                                           "WRITE AND VERIFY",
                                           "VERIFY",
                                           "VERIFY BYTCHK 1",
                                           "VERIFY BYTCHK 1 of other data",
                                           "SYNCHRONIZE CACHE",
                                           "command without its direction bit",
                                           "READ with a short FCP_DL",
                                           "READ with a long FCP_DL",
                                           "WRITE with a short FCP_DL"};
        std::ostringstream o;
        o << kOps[static_cast<int>(c.op)] << " LUN " << c.lun << " " << c.lba << "+" << c.blocks;
        if (c.expected != 0) o << " (FCP_DL " << c.expected << ", opcode " << std::hex << int(c.fcp.cdb[0]) << ")";
        return o.str();
    }

    void Take(LoadHost& h, uint32_t tag) {
        auto it = h.inFlight.find(tag);
        if (it == h.inFlight.end()) return;
        Command c = std::move(it->second);
        h.inFlight.erase(it);
        const sim::FcpResult r = h.road->Wait(tag, 0);
        SCOPED_TRACE(story);
        // Refused before the task management came: sent again, as below.
        const bool fRefused = r.outcome == sim::FcpResult::Outcome::Done &&
                              (r.status == fw::SCSI_STATUS_TASK_SET_FULL || r.status == fw::SCSI_STATUS_BUSY);
        const bool fCarriedOut = r.outcome == sim::FcpResult::Outcome::Done &&
                                 (r.status == fw::SCSI_STATUS_GOOD ||
                                  (c.op == Op::VerifyMiscompare && SenseOf(r) == " sense E/1D/00"));
        c.ended = c.ended && !fRefused;
        if (c.ended && r.outcome != sim::FcpResult::Outcome::Pending && !fCarriedOut) {
            // Ended by the task management: aborted, or answered as ended.
            ASSERT_TRUE(r.outcome != sim::FcpResult::Outcome::Done || r.status == fw::SCSI_STATUS_TASK_ABORTED ||
                        SenseOf(r).rfind(" sense 6/29/", 0) == 0 || SenseOf(r).rfind(" sense B/", 0) == 0)
                << h.name << ": " << Describe(c) << " ended with status " << int(r.status) << SenseOf(r);
            ++ended;
            if (c.version != 0) uncertain.push_back({c.lun, c.lba, c.blocks, c.version});
            return;
        }
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << h.name << ": " << Describe(c);
        ASSERT_LE(r.completedAtNs - c.sentAtNs, kAnswerBoundNs) << h.name << ": " << Describe(c) << " answered late";
        if (r.status == fw::SCSI_STATUS_TASK_SET_FULL || r.status == fw::SCSI_STATUS_BUSY) {
            // A host sends it again.
            ++refused;
            ASSERT_LT(c.tries, 1000u) << h.name << ": " << Describe(c) << " refused again and again";
            resendHost.push_back(&h);
            toResend.push_back(std::move(c));
            return;
        }
        if (r.status == fw::SCSI_STATUS_CHECK_CONDITION && SenseOf(r).rfind(" sense 6/", 0) == 0) {
            // A unit attention (a reset of the unit): carried out nothing,
            // and the host sends it again.
            ++refused;
            resendHost.push_back(&h);
            toResend.push_back(std::move(c));
            return;
        }
        ++done;
        if (c.op == Op::VerifyMiscompare) {
            ASSERT_EQ(SenseOf(r), " sense E/1D/00") << h.name << ": " << Describe(c) << " status " << int(r.status);
            ASSERT_GE(r.sense.size(), 7u);
            ASSERT_NE(r.sense[0] & 0x80, 0) << "no INFORMATION";
            EXPECT_EQ(fw::dGetBe32(r.sense.data() + 3) / kBlock, c.firstBad) << Describe(c);
            return;
        }
        if (c.op == Op::WrongDirection) {
            // Refused before it touched the medium: the model stays.
            ASSERT_EQ(SenseOf(r), " sense 5/0E/03") << h.name << ": " << Describe(c) << " status " << int(r.status);
            return;
        }
        ASSERT_EQ(r.status, 0) << h.name << ": " << Describe(c) << SenseOf(r);
        switch (c.op) {
        case Op::ShortRead:
        case Op::LongRead: {
            // The data the host takes, and the whole difference as residual.
            // A short read reports no underrun: the target moves every read
            // as a READ(16), which reports none on Fibre Channel.
            const uint32_t whole = c.blocks * kBlock;
            const std::vector<uint8_t> want = Modelled(c.lun, c.lba, c.blocks);
            ASSERT_EQ(r.dataIn.size(), std::min(whole, c.expected)) << Describe(c);
            ASSERT_TRUE(std::equal(r.dataIn.begin(), r.dataIn.end(), want.begin())) << Describe(c) << ": data";
            EXPECT_EQ(r.residualOver, c.op == Op::ShortRead) << Describe(c);
            EXPECT_FALSE(r.residualUnder) << Describe(c);
            EXPECT_EQ(r.residual, c.op == Op::ShortRead ? whole - c.expected : 0u) << Describe(c);
            break;
        }
        case Op::ShortWrite: {
            const uint32_t fits = static_cast<uint32_t>(c.fcp.dataOut.size() / kBlock);
            ASSERT_EQ(r.dataOutTaken, c.fcp.dataOut.size()) << Describe(c);
            EXPECT_TRUE(r.residualOver) << Describe(c);
            EXPECT_EQ(r.residual, c.blocks * kBlock - c.expected) << Describe(c);
            for (uint32_t i = 0; i < fits; ++i) model[c.lun][c.lba + i] = c.version;
            break;
        }
        case Op::Write:
        case Op::WriteVerify:
            ASSERT_EQ(r.dataOutTaken, c.fcp.dataOut.size()) << Describe(c);
            for (uint32_t i = 0; i < c.blocks; ++i) model[c.lun][c.lba + i] = c.version;
            break;
        case Op::Read: ASSERT_NO_FATAL_FAILURE(ExpectModel(c.lun, c.lba, c.blocks, r.dataIn, h.name)); break;
        default: break;
        }
    }

    void ExpectModel(uint16_t lun, uint64_t lba, uint32_t blocks, const std::vector<uint8_t>& data, const std::string& who) {
        ASSERT_EQ(data.size(), size_t(blocks) * kBlock) << who << " read LUN " << lun << " " << lba << "+" << blocks;
        uint8_t ab[kBlock];
        for (uint32_t i = 0; i < blocks; ++i) {
            BlockImage(model[lun][lba + i], lun, lba + i, ab);
            if (std::memcmp(ab, data.data() + size_t(i) * kBlock, kBlock) == 0) continue;
            FAIL() << who << " read LUN " << lun << " block " << lba + i << " (of " << lba << "+" << blocks
                   << "): not what write " << model[lun][lba + i] << " put there but "
                   << WhoseBlock(lun, lba + i, data.data() + size_t(i) * kBlock);
        }
    }

    // Which write's data a block holds, for the story of a failure.
    std::string WhoseBlock(uint16_t lun, uint64_t lba, const uint8_t* pb) const {
        uint8_t ab[kBlock];
        for (uint32_t v = 0; v <= lastVersion; ++v) {
            BlockImage(v, lun, lba, ab);
            if (std::memcmp(ab, pb, kBlock) == 0) return v == 0 ? "zeros" : "what write " + std::to_string(v) + " put there";
        }
        for (uint16_t l = 0; l < kLds; ++l) {
            for (uint64_t x = 0; x < kLdBlocks; ++x) {
                if (model[l][x] == 0) continue;
                BlockImage(model[l][x], l, x, ab);
                if (std::memcmp(ab, pb, kBlock) == 0) return "LUN " + std::to_string(l) + " block " + std::to_string(x);
            }
        }
        for (const auto& h : loadHosts) {
            for (const auto& [tag, c] : h->inFlight) {
                if (c.version == 0) continue;
                for (uint64_t x = c.lba; x < c.lba + c.blocks; ++x) {
                    BlockImage(c.version, c.lun, x, ab);
                    if (std::memcmp(ab, pb, kBlock) == 0) {
                        return "what write " + std::to_string(c.version) + " in flight puts at LUN " + std::to_string(c.lun) +
                               " block " + std::to_string(x);
                    }
                }
            }
        }
        // Such as a compare's data with its one bit flipped.
        uint8_t abModel[kBlock];
        BlockImage(model[lun][lba], lun, lba, abModel);
        uint32_t differ = 0, first = kBlock;
        for (uint32_t i = 0; i < kBlock; ++i) {
            if (pb[i] == abModel[i]) continue;
            ++differ;
            first = std::min(first, i);
        }
        return "data of no write (" + std::to_string(differ) + " bytes differ from the model's, the first at " +
               std::to_string(first) + ")";
    }

    // Runs the board until an answer comes, at most a second; false when a
    // command has waited longer than the bound.
    void Step() {
        board->RunUntil([this] { return !answered.empty(); }, 1'000'000'000ull);
        std::vector<std::pair<LoadHost*, uint32_t>> got;
        got.swap(answered);
        for (auto& [h, tag] : got) ASSERT_NO_FATAL_FAILURE(Take(*h, tag));
        const uint64_t now = board->clock().Now();
        for (const auto& h : loadHosts) {
            for (const auto& [tag, c] : h->inFlight) {
                ASSERT_LE(now - c.sentAtNs, kAnswerBoundNs)
                    << story << "\n" << h->name << ": " << Describe(c) << " not answered after "
                    << (now - c.sentAtNs) / 1'000'000 << " ms" << Stuck();
            }
        }
    }

    // The host entries in use: what a command that waits for ever waits on.
    static std::string Stuck() {
        char ac[200];
        std::snprintf(ac, sizeof ac, "\ncached writes %u of %u; pages in use %u; arrays' writes in progress %u (%u blocks), %u (%u blocks)",
                      fw::dGetCacheWriteCount(), fw::dGetCachedWriteLimit(), fw::dGetPagesInUse(0),
                      fw::dGetRankHostCommandsOutstanding(0), fw::dGetRankHostBlocksOutstanding(0),
                      fw::dGetRankHostCommandsOutstanding(1), fw::dGetRankHostBlocksOutstanding(1));
        std::string t = ac;
        t += "\nhost entries in use:\n";
        for (uint16_t w = 0; w < fw::HOST_ENTRY_COUNT; ++w) {
            fw::KERNEL_ENTRY* ps = nullptr;
            (void)fw::wGetTargetEntry(w, &ps);
            if (ps == nullptr || ps->fUsed != fw::TRUE) continue;
            std::snprintf(ac, sizeof ac, "entry %u port %u LUN %u op %02x lba %llu blocks %u done %u st %u/%u type %u flags %llx\n",
                          w, ps->bPortCode, ps->wLunIndex, ps->abCdb[0], (unsigned long long)ps->lLba, ps->wBlockCount,
                          ps->wBlocksDone, ps->bPrimaryState, ps->bSecondaryState, ps->bCommandType,
                          (unsigned long long)ps->lFlags);
            t += ac;
        }
        return t;
    }

    // ---- the case -----------------------------------------------------------

    void RunCase(uint32_t commands) {
        for (auto& h : loadHosts) h->depth = 1 + rng() % kSessionDepth;
        const uint32_t burstAt = rng() % commands;
        const uint32_t pullAt = rng() % commands;
        const uint32_t abortAt = rng() % commands;
        const uint32_t resetAt = rng() % commands;
        bool fBurst = false;
        bool fPulled = false;
        const bool fResetUnits = hostKind == HostKind::Sas;
        bool fAborted = false;
        bool fReset = !fResetUnits;
        while (sent < commands || !toResend.empty() || InFlight() != 0) {
            if (!fBurst && sent >= burstAt) {
                fBurst = true;
                SendLongBurst();
            }
            if (!fAborted && sent >= abortAt) fAborted = EndLongCommand(false);
            if (!fReset && sent >= resetAt) fReset = EndLongCommand(true);
            if (degrade == Degrade::PulledUnderLoad && !fPulled && sent >= pullAt) {
                fPulled = true;
                chassis->Pull(DegradedSlot());
            }
            // Refused commands first, as a host retries them.
            while (!toResend.empty()) {
                LoadHost& h = *resendHost.front();
                Command c = std::move(toResend.front());
                toResend.pop_front();
                resendHost.pop_front();
                Send(h, std::move(c));
            }
            for (auto& h : loadHosts) {
                while (sent < commands && h->inFlight.size() < h->depth) {
                    const uint32_t before = sent;
                    SendOne(*h);
                    if (sent == before) break;
                }
            }
            ASSERT_NO_FATAL_FAILURE(Step());
        }
        ASSERT_NO_FATAL_FAILURE(SettleEndedCommands());
        // Every compare answered or ended gave back its host's data.
        board->RunUntil([] { return fw::dGetVerifyPagesHeld() == 0; }, 1'000'000'000ull);
        EXPECT_EQ(fw::dGetVerifyPagesHeld(), 0u) << story;
    }
    // A host ends a long command in flight (at least a pass long), some
    // time into it: ABORT TASK (ABTS on Fibre Channel), or a LOGICAL UNIT
    // RESET of its unit, which ends every host's commands there.  False
    // when no such command is in flight.
    bool EndLongCommand(bool fReset) {
        LoadHost* ph = nullptr;
        uint32_t tag = 0;
        for (auto& h : loadHosts) {
            for (auto& [t, c] : h->inFlight) {
                if (c.op != Op::Sync && c.blocks > 16384 && (ph == nullptr || rng() % 2 == 0)) {
                    ph = h.get();
                    tag = t;
                }
            }
        }
        if (ph == nullptr) return false;
        Command& target = ph->inFlight.at(tag);
        const uint16_t lun = target.lun;
        // Into its transfer: its answers wait in `answered` meanwhile.
        board->RunFor(rng() % 400'000'000ull);
        if (ph->inFlight.count(tag) == 0) return true;
        std::ostringstream o;
        if (fReset) {
            for (auto& h : loadHosts) {
                for (auto& [t, c] : h->inFlight) {
                    if (c.lun == lun) c.ended = true;
                }
            }
            LoadHost& sender = *loadHosts[rng() % loadHosts.size()];
            const sim::FcpResult r = sender.sas->TaskManagement(lun, kLogicalUnitReset);
            EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << story << ": LOGICAL UNIT RESET of LUN " << lun;
            EXPECT_EQ(r.status, 0) << story << ": LOGICAL UNIT RESET of LUN " << lun;
            o << " a LOGICAL UNIT RESET of LUN " << lun << " during " << Describe(target) << ";";
            resetLuns.push_back(lun);
        } else {
            target.ended = true;
            o << " an abort of " << Describe(target) << ";";
            if (ph->sas) {
                const sim::FcpResult r = ph->sas->TaskManagement(lun, kAbortTask, static_cast<uint16_t>(tag));
                EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << story << o.str();
            } else {
                (void)ph->fc->Abort(tag);
            }
        }
        story += o.str();
        return true;
    }

    // The ranges ended writes left: each block old or new, read to know
    // which; then every host clears the unit attentions of the resets.
    void SettleEndedCommands() {
        for (auto& h : loadHosts) {
            for (const uint16_t lun : resetLuns) {
                sim::FcpResult r;
                for (int i = 0; i < 4 && !(r.outcome == sim::FcpResult::Outcome::Done && r.status == 0); ++i) {
                    r = h->road->Send(lun, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0});
                }
                ASSERT_EQ(r.status, 0) << story << ": " << h->name << " LUN " << lun << " not ready after its reset";
            }
        }
        LoadHost& h = *loadHosts[0];
        uint8_t abOld[kBlock];
        uint8_t abNew[kBlock];
        for (const Uncertain& u : uncertain) {
            const sim::FcpResult r = h.road->Send(
                sim::FcpCommand::To(u.lun, Cdb16(fw::SCSI_READ16, u.lba, u.blocks), {}, u.blocks * kBlock), kAnswerBoundNs);
            ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << story << ": read of an ended write";
            ASSERT_EQ(r.status, 0) << story << ": read of an ended write" << SenseOf(r);
            ASSERT_EQ(r.dataIn.size(), size_t(u.blocks) * kBlock);
            for (uint32_t i = 0; i < u.blocks; ++i) {
                const uint64_t x = u.lba + i;
                const uint8_t* pb = r.dataIn.data() + size_t(i) * kBlock;
                BlockImage(model[u.lun][x], u.lun, x, abOld);
                BlockImage(u.version, u.lun, x, abNew);
                if (std::memcmp(pb, abNew, kBlock) == 0) {
                    model[u.lun][x] = u.version;
                } else {
                    ASSERT_EQ(std::memcmp(pb, abOld, kBlock), 0)
                        << story << ": block " << x << " of LUN " << u.lun << " after an ended write holds "
                        << WhoseBlock(u.lun, x, pb);
                }
            }
        }
        uncertain.clear();
        resetLuns.clear();
    }

    size_t InFlight() const {
        size_t n = 0;
        for (const auto& h : loadHosts) n += h->inFlight.size();
        return n;
    }

    // One host, one command at a time, on a logical drive of a healthy
    // array: half of them writes of 1 to 128 blocks, half reads of as
    // many blocks from where one of its writes a few commands before
    // began (most overlap it in part, which on parity arrays waits for
    // that write to reach the drives).  None may wait longer than the
    // drives make it.
    void RunDepthOne(uint32_t commands) {
        // One logical drive, of a healthy parity array where there is one:
        // the writes held there for followers are what such reads met.
        std::vector<uint16_t> luns;
        for (uint16_t lun = 0; lun < kLds; ++lun) {
            const unsigned a = lun / 2;
            if (degrade != Degrade::None && a == degradedArray) continue;
            const bool parity = arrays[a].bLevel == fw::RAID_LEVEL_5 || arrays[a].bLevel == fw::RAID_LEVEL_6;
            if (parity) luns.insert(luns.begin(), lun);
            else luns.push_back(lun);
        }
        const uint16_t lun = luns.front();
        LoadHost& h = *loadHosts[0];
        std::vector<std::pair<uint16_t, uint64_t>> written;
        for (uint32_t i = 0; i < commands; ++i) {
            const uint32_t blocks = 1 + rng() % 128;
            Command c{};
            if (written.size() < 4 || rng() % 2 == 0) {
                c = Make(Op::Write, lun, rng() % (kLdBlocks - kBurstBlocks - blocks), blocks);
                written.emplace_back(c.lun, c.lba);
            } else {
                const auto& [wlun, wlba] = written[written.size() - 4 - rng() % std::min<size_t>(written.size() - 3, 64)];
                c = Make(Op::Read, wlun, wlba, blocks);
            }
            const uint64_t sent = board->clock().Now();
            const sim::FcpResult r = h.road->Send(c.fcp, kAnswerBoundNs);
            SCOPED_TRACE(story);
            ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "one at a time: " << Describe(c);
            ASSERT_EQ(r.status, 0) << "one at a time: " << Describe(c) << SenseOf(r);
            ASSERT_LE(r.completedAtNs - sent, kDepthOneBoundNs)
                << "one at a time: " << Describe(c) << " waited " << (r.completedAtNs - sent) / 1'000'000 << " ms";
            if (c.op == Op::Write) {
                for (uint32_t b = 0; b < c.blocks; ++b) model[c.lun][c.lba + b] = c.version;
            } else {
                ASSERT_NO_FATAL_FAILURE(ExpectModel(c.lun, c.lba, c.blocks, r.dataIn, "one at a time"));
            }
        }
    }

    // Everything written reads back as the model says, through the first
    // host, in reads of up to the longest transfer.
    void ExpectEverythingWritten() {
        LoadHost& h = *loadHosts[0];
        for (uint16_t lun = 0; lun < kLds; ++lun) {
            for (uint64_t x = 0; x < kLdBlocks;) {
                while (x < kLdBlocks && model[lun][x] == 0) ++x;
                if (x >= kLdBlocks) break;
                const uint32_t blocks = static_cast<uint32_t>(std::min<uint64_t>(kLongestTransfer, kLdBlocks - x));
                const sim::FcpResult r =
                    h.road->Send(sim::FcpCommand::To(lun, Cdb16(fw::SCSI_READ16, x, blocks), {}, blocks * kBlock),
                                 kAnswerBoundNs);
                ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << story << ": read back LUN " << lun << " " << x;
                ASSERT_EQ(r.status, 0) << story << ": read back LUN " << lun << " " << x << SenseOf(r);
                ASSERT_NO_FATAL_FAILURE(ExpectModel(lun, x, blocks, r.dataIn, "read back"));
                x += blocks;
            }
        }
    }

    uint32_t seed = 0;
    std::mt19937 rng;
    std::array<LoadArray, 2> arrays{};
    unsigned degradedArray = 0;
    Degrade degrade = Degrade::None;
    std::string story;
    std::vector<std::unique_ptr<LoadHost>> loadHosts;
    std::vector<std::pair<LoadHost*, uint32_t>> answered;
    std::deque<Command> toResend;
    std::deque<LoadHost*> resendHost;
    std::array<std::vector<uint32_t>, kLds> model;
    uint32_t lastVersion = 0;
    std::vector<Uncertain> uncertain;
    std::vector<uint16_t> resetLuns;
    uint32_t sent = 0;
    uint32_t done = 0;
    uint32_t refused = 0;
    uint32_t ended = 0;
};

}  // namespace hostload
