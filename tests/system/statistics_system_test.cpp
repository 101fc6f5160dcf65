// The command statistics of a running controller against what its hosts
// sent: two hosts, one on each host port, send a known mix of READ and
// WRITE (6, 10 and 16) of many lengths and alignments to two logical
// drives, one of 4096-byte blocks, with reads behind writes and unknown
// opcodes among them.  The statistics record of every selection must be
// what the hosts' log gives by the counting rules, each drive's disk-port
// blocks what the drive model saw, and nothing may stay in flight.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <array>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "config/ld_operations.h"
#include "eventlog/info_dump.h"
#include "eventlog/statistics.h"
#include "eventlog/statistics_dump.h"
#include "eventlog/statistics_record.h"
#include "eventlog/time_logs.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/types.h"
#include "harness/config_builder.h"
#include "harness/dispatch_board.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "statistics_system_pages.h"
#include "target/host_command_pool.h"

namespace {

using Outcome = sim::FcpResult::Outcome;

constexpr uint64_t kHost0 = 0x2100001B32D00001ull;
constexpr uint64_t kHost1 = 0x2100001B32D00002ull;
constexpr uint32_t kAlignmentBuckets = 12;
constexpr uint32_t kSizeBuckets = 21;
constexpr uint8_t kUnknownOpcode = 0xE7;

// One logged command as the counting rules see it.
struct Logged {
    unsigned side;
    uint16_t lun;
    bool read;
    uint64_t lba;
    uint32_t blocks;
};

unsigned AlignmentBucket(uint16_t wStart) {
    if ((wStart & 0x7) != 0) return 0;
    for (unsigned bit = 3; bit <= 12; ++bit) {
        if (wStart & (1u << bit)) return bit - 2;
    }
    return 11;
}

unsigned SizeBucket(uint16_t wLength) {
    if (wLength < 8) return 0;
    if (wLength > 4096) return 20;
    // Powers of two 8 .. 4096 are buckets 1, 3, .., 19; between them the
    // "<" bucket below each.
    unsigned n = 1;
    for (uint32_t p = 8; p <= 4096; p <<= 1, n += 2) {
        if (wLength == p) return n;
        if (wLength < p) return n - 1;
    }
    return 20;
}

struct Expected {
    uint64_t commands = 0;
    uint64_t blocks = 0;
    std::array<uint64_t, kAlignmentBuckets> alignment{};
    std::array<uint64_t, kSizeBuckets> size{};
};

class StatisticsSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        for (uint8_t bChip = 1; bChip <= 2; ++bChip) sim::FindIspChip(board, bChip)->AttachFabric(fabric);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_TRUE(builder.WaitIdle());
        char acName[32];
        cfgbuild::PutName(acName, "LD");
        ASSERT_TRUE(builder.OpenEdit());
        ASSERT_EQ(builder.CreateArray({fw::RAID_LEVEL_5, {1, 2, 3, 4}}), fw::STATUS_OK);
        ASSERT_EQ(fw::CreateLogicalDrive(1, fw::ANY_EXTENT, 512, 0x0F, acName), fw::STATUS_OK);
        ASSERT_EQ(fw::CreateLogicalDrive(1, fw::ANY_EXTENT, 4096, 0x0F, acName), fw::STATUS_OK);
        ASSERT_TRUE(builder.Commit());
        ASSERT_TRUE(builder.WaitIdle());
        hosts[0] = std::make_unique<sim::FcHost>(board, fabric, *sim::FindIspChip(board, 1), kHost0);
        hosts[1] = std::make_unique<sim::FcHost>(board, fabric, *sim::FindIspChip(board, 2), kHost1);
        for (auto& h : hosts) {
            ASSERT_TRUE(h->LogIn()) << board.ConsoleText();
            for (uint16_t lun = 0; lun < 2; ++lun) ClearAttention(*h, lun);
        }
        Idle();
        for (unsigned s = 1; s <= 4; ++s) {
            chassis.DriveAt(s)->onCommand = [this, s](std::span<const uint8_t> cdb) { CountDriveBlocks(s, cdb); };
        }
    }

    static void ClearAttention(sim::FcHost& h, uint16_t lun) {
        for (int i = 0; i < 4; ++i) {
            const sim::FcpResult r = h.Send(lun, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}, {}, 0);
            if (r.outcome == Outcome::Done && r.status == 0) return;
        }
        ADD_FAILURE() << "LUN " << lun << " never became ready";
    }

    void CountDriveBlocks(unsigned slot, std::span<const uint8_t> cdb) {
        uint64_t blocks = 0;
        switch (cdb[0]) {
        case fw::SCSI_READ10:
        case fw::SCSI_WRITE10: blocks = fw::wGetBe16(cdb.data() + 7); break;
        case fw::SCSI_READ16:
        case fw::SCSI_WRITE16: blocks = fw::dGetBe32(cdb.data() + 10); break;
        default: return;
        }
        const bool read = cdb[0] == fw::SCSI_READ10 || cdb[0] == fw::SCSI_READ16;
        (read ? driveRead : driveWritten)[slot] += blocks;
    }

    // Every host command ended, every cached write on the drives.
    void Idle() {
        board.RunUntil(
            [] {
                return fw::wGetTargetEntriesUsed() == 0 && fw::wGetKernelEntriesUsed() == 0 &&
                       fw::dGetCacheWriteCount() == 0;
            },
            60'000'000'000ull);
    }

    static std::vector<uint8_t> Cdb(uint8_t op, uint64_t lba, uint32_t blocks) {
        std::vector<uint8_t> ab;
        switch (op) {
        case fw::SCSI_READ6:
        case fw::SCSI_WRITE6:
            ab = {op, static_cast<uint8_t>(lba >> 16 & 0x1F), static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba),
                  static_cast<uint8_t>(blocks == 256 ? 0 : blocks), 0};
            break;
        case fw::SCSI_READ10:
        case fw::SCSI_WRITE10:
            ab.assign(10, 0);
            ab[0] = op;
            fw::PutBe32(ab.data() + 2, static_cast<uint32_t>(lba));
            fw::PutBe16(ab.data() + 7, static_cast<uint16_t>(blocks));
            break;
        default:
            ab.assign(16, 0);
            ab[0] = op;
            fw::PutBe64(ab.data() + 2, lba);
            fw::PutBe32(ab.data() + 10, blocks);
            break;
        }
        return ab;
    }

    // Sends the commands, up to `depth` at a time, and logs each answered GOOD.
    void Run(const std::vector<std::pair<unsigned, sim::FcpCommand>>& commands, size_t depth) {
        std::vector<std::pair<unsigned, uint32_t>> inFlight;
        std::vector<size_t> index;
        std::vector<size_t> again;
        auto drain = [&](size_t keep) {
            while (inFlight.size() > keep) {
                const auto [h, tag] = inFlight.front();
                const size_t i = index.front();
                inFlight.erase(inFlight.begin());
                index.erase(index.begin());
                const sim::FcpResult r = hosts[h]->Wait(tag);
                const sim::FcpCommand& c = commands[i].second;
                if (c.cdb[0] == kUnknownOpcode) {
                    EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
                    ++unknownSent;
                    continue;
                }
                ASSERT_EQ(r.outcome, Outcome::Done) << i;
                // A full queue turns a command away before it counts: the
                // host sends it again, as a host does.
                if (r.status == fw::SCSI_STATUS_BUSY || r.status == fw::SCSI_STATUS_TASK_SET_FULL) {
                    ++turnedAway;
                    again.push_back(i);
                    continue;
                }
                ASSERT_EQ(r.status, 0) << "command " << i << " opcode " << int(c.cdb[0]);
                Log(h, c);
            }
        };
        std::vector<size_t> order(commands.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        while (!order.empty()) {
            for (size_t i : order) {
                inFlight.push_back({commands[i].first, hosts[commands[i].first]->Submit(commands[i].second)});
                index.push_back(i);
                drain(depth);
                if (HasFatalFailure()) return;
            }
            drain(0);
            if (HasFatalFailure()) return;
            order.swap(again);
            again.clear();
        }
    }

    void Log(unsigned side, const sim::FcpCommand& c) {
        const uint8_t op = c.cdb[0];
        Logged l{side, c.lun, op == fw::SCSI_READ6 || op == fw::SCSI_READ10 || op == fw::SCSI_READ16, 0, 0};
        if (op == fw::SCSI_READ6 || op == fw::SCSI_WRITE6) {
            l.lba = (c.cdb[1] & 0x1Fu) << 16 | c.cdb[2] << 8 | c.cdb[3];
            l.blocks = c.cdb[4] == 0 ? 256 : c.cdb[4];
        } else if (c.cdb.size() == 10) {
            l.lba = fw::dGetBe32(c.cdb.data() + 2);
            l.blocks = fw::wGetBe16(c.cdb.data() + 7);
        } else {
            l.lba = fw::lGetBe64(c.cdb.data() + 2);
            l.blocks = fw::dGetBe32(c.cdb.data() + 10);
        }
        log.push_back(l);
    }

    // The figures of a selection by the counting rules: start and length
    // in 512-byte units, from the low 16 bits of each, kept to 16 bits.
    Expected Expect(bool read, int side, int lun) const {
        Expected e;
        for (const Logged& l : log) {
            if (l.read != read || (side >= 0 && l.side != unsigned(side)) || (lun >= 0 && l.lun != lun)) continue;
            const uint32_t factor = l.lun == 1 ? 8 : 1;
            const uint16_t start = static_cast<uint16_t>((l.lba & 0xFFFF) * factor);
            const uint16_t length = static_cast<uint16_t>((l.blocks & 0xFFFF) * factor);
            ++e.commands;
            e.blocks += length;
            ++e.alignment[AlignmentBucket(start)];
            ++e.size[SizeBucket(length)];
        }
        return e;
    }

    static void Check(const fw::ACCESS_STATISTICS_BLOCK& b, const Expected& e, const char* what) {
        EXPECT_EQ(b.lCommandsSinceReset, e.commands) << what;
        EXPECT_EQ(b.lBlocksSinceReset, e.blocks) << what;
        for (unsigned i = 0; i < kAlignmentBuckets; ++i) {
            EXPECT_EQ(b.abAlignment[i], fw::bGetStatisticsPercent(e.alignment[i], e.commands, fw::TRUE, fw::TRUE))
                << what << " alignment " << i;
        }
        for (unsigned i = 0; i < kSizeBuckets; ++i) {
            EXPECT_EQ(b.abAccessSize[i], fw::bGetStatisticsPercent(e.size[i], e.commands, fw::TRUE, fw::TRUE))
                << what << " size " << i;
        }
    }

    static fw::STATISTICS_RECORD Record(uint8_t bPortSelect, uint16_t wLun) {
        fw::STATISTICS_RECORD s{};
        fw::FillStatisticsRecord(bPortSelect, wLun, &s);
        return s;
    }

    // A statistics page as the background pass prints it, with its two
    // clock lines blanked (they tell when the test ran, not what it sent).
    std::string Page(uint8_t bType, uint8_t bPort = fw::DUMP_BOTH_PORTS, uint16_t wLd = 0) {
        fw::SetInfoDumpStatsPort(bPort);
        fw::SetInfoDumpStatsLd(wLd);
        fw::SetInfoDumpRequest(fw::TRUE);
        fw::SetInfoDumpState(fw::DUMP_STATE_OWN);
        fw::SetInfoDumpMode(0);
        fw::SetInfoDumpType(bType);
        board.ClearConsoleText();
        board.RunUntil([] { return fw::fGetInfoDumpRequest() != fw::TRUE; }, 10'000'000'000ull);
        std::string t;
        for (const char c : Drained()) {
            if (c != '\r') t.push_back(c);
        }
        for (const char* pszClock : {"Current Time    : ", "Time Since Reset: "}) {
            const size_t at = t.find(pszClock);
            if (at != std::string::npos) t.replace(at + 18, t.find('\n', at) - at - 18, "-");
        }
        return t;
    }
    // The console's text once the board has sent all of it.
    std::string Drained() {
        board.RunUntil([this] { return !board.ConsoleText().empty(); }, 2'000'000'000ull);
        for (size_t n = SIZE_MAX; n != board.ConsoleText().size();) {
            n = board.ConsoleText().size();
            board.RunFor(20'000'000);
        }
        return board.ConsoleText();
    }
    // The host time log's command counts of a kind ("Read", "Write",
    // "Cached Write") on one port, 0 when the kind has no line.
    static uint64_t TimeLogCount(const std::string& sLog, unsigned side, const std::string& kind) {
        std::string label = "Port " + std::to_string(side) + " " + kind;
        label.resize(19, ' ');
        const size_t at = sLog.find(label + ": Max: ");
        if (at == std::string::npos) return 0;
        const size_t cmds = sLog.find("Cmds: 0x", at);
        return std::stoull(sLog.substr(cmds + 8, 17), nullptr, 16);
    }

    static std::vector<uint64_t> Sorted(const std::map<unsigned, uint64_t>& m) {
        std::vector<uint64_t> v;
        for (const auto& [slot, blocks] : m) {
            if (blocks != 0) v.push_back(blocks);
        }
        std::sort(v.begin(), v.end());
        return v;
    }

    sim::Chassis chassis;
    sim::FcFabric fabric;
    sim::Board board;
    cfgbuild::Builder builder{board};
    std::array<std::unique_ptr<sim::FcHost>, 2> hosts;
    std::vector<Logged> log;
    std::map<unsigned, uint64_t> driveRead, driveWritten;
    uint64_t unknownSent = 0;
    uint64_t turnedAway = 0;
};

TEST_F(StatisticsSystemTest, EverySelectionCountsWhatTheHostsSent) {
    constexpr std::array<uint32_t, 15> kStarts = {0, 1, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 24576};
    constexpr std::array<uint32_t, 14> kLengths = {1, 7, 8, 9, 16, 100, 128, 256, 1000, 2048, 4095, 4096, 4097, 5000};
    constexpr std::array<uint8_t, 6> kOps = {fw::SCSI_READ6,  fw::SCSI_WRITE6,  fw::SCSI_READ10,
                                             fw::SCSI_WRITE10, fw::SCSI_READ16, fw::SCSI_WRITE16};
    std::mt19937 rng(42);
    std::vector<std::pair<unsigned, sim::FcpCommand>> commands;
    for (unsigned n = 0; n < 240; ++n) {
        const unsigned side = rng() % 2;
        const uint16_t lun = static_cast<uint16_t>(rng() % 2);
        const uint8_t op = kOps[rng() % kOps.size()];
        const bool six = op == fw::SCSI_READ6 || op == fw::SCSI_WRITE6;
        uint32_t blocks = kLengths[rng() % kLengths.size()];
        // The 4096-byte drive moves eight times the bytes a block.
        if (lun == 1) blocks = 1 + blocks % 600;
        if (six) blocks = 1 + (blocks - 1) % 256;
        const uint64_t lba = kStarts[rng() % kStarts.size()] + (rng() % 4 == 0 ? 3 : 0);
        const bool read = op == fw::SCSI_READ6 || op == fw::SCSI_READ10 || op == fw::SCSI_READ16;
        sim::FcpCommand c;
        c.lun = lun;
        c.cdb = Cdb(op, lba, blocks);
        const uint32_t bytes = blocks * (lun == 1 ? 4096u : 512u);
        if (read) {
            c.dataInLength = bytes;
        } else {
            c.dataOut.assign(bytes, static_cast<uint8_t>(n));
        }
        commands.push_back({side, c});
        // A read right behind a write of the same blocks.
        if (!read && n % 3 == 0) {
            sim::FcpCommand r;
            r.lun = lun;
            r.cdb = Cdb(fw::SCSI_READ16, lba, blocks);
            r.dataInLength = bytes;
            commands.push_back({side, r});
        }
        if (n % 50 == 0) {
            sim::FcpCommand u;
            u.lun = lun;
            u.cdb.assign(10, 0);
            u.cdb[0] = kUnknownOpcode;
            commands.push_back({side, u});
        }
    }
    const fw::STATISTICS_RECORD sBefore = Record(fw::STATISTICS_BOTH_SIDES, fw::ALL_STATISTICS_LUNS);
    const uint32_t dInvalidBefore = fw::dGetEventCounter(fw::EVENT_COUNTER_INVALID_COMMAND);
    fw::ClearPerformanceStatistics(fw::STATISTICS_BOTH_SIDES, fw::ALL_STATISTICS_LUNS);
    std::map<uint16_t, uint64_t> deviceReadBefore, deviceWrittenBefore;
    for (uint16_t d = 0; d < 256; ++d) {
        deviceReadBefore[d] = fw::lGetDiskPortBlocks(fw::PORT_CODE_INITIATOR, d, fw::TRUE);
        deviceWrittenBefore[d] = fw::lGetDiskPortBlocks(fw::PORT_CODE_INITIATOR, d, fw::FALSE);
    }
    driveRead.clear();
    driveWritten.clear();
    // A printout empties the time log: the next one covers the mix alone.
    fw::PrintHostCommandTimeLog();
    Drained();

    ASSERT_NO_FATAL_FAILURE(Run(commands, 32));
    // Then 4000 short commands at once, on both ports and both LUNs.
    std::vector<std::pair<unsigned, sim::FcpCommand>> burst;
    for (unsigned n = 0; n < 4000; ++n) {
        sim::FcpCommand c;
        c.lun = static_cast<uint16_t>(n / 2 % 2);
        const uint32_t blocks = 1 + n % 8;
        const bool read = n % 3 == 0;
        c.cdb = Cdb(read ? fw::SCSI_READ16 : fw::SCSI_WRITE16, n * 16u, blocks);
        const uint32_t bytes = blocks * (c.lun == 1 ? 4096u : 512u);
        if (read) {
            c.dataInLength = bytes;
        } else {
            c.dataOut.assign(bytes, static_cast<uint8_t>(n));
        }
        burst.push_back({n % 2, c});
    }
    ASSERT_NO_FATAL_FAILURE(Run(burst, burst.size()));
    Idle();

    // Nothing in flight once the hosts have their answers.
    EXPECT_EQ(fw::dGetHostReadsInProgress(), 0u);
    EXPECT_EQ(fw::dGetHostWritesInProgress(), 0u);
    for (uint16_t lun = 0; lun < 2; ++lun) EXPECT_EQ(fw::dGetLunCommandsOutstanding(lun), 0u) << lun;
    EXPECT_EQ(fw::dGetRankHostCommandsOutstanding(0), 0u);
    EXPECT_EQ(fw::dGetRankReadsInProgress(0), 0u);
    EXPECT_EQ(fw::dGetRankWritesInProgress(0), 0u);

    struct Selection {
        uint8_t bPortSelect;
        uint16_t wLun;
        int side;
        int lun;
        const char* what;
    };
    const Selection aSelections[] = {
        {fw::STATISTICS_BOTH_SIDES, fw::ALL_STATISTICS_LUNS, -1, -1, "both sides"},
        {fw::STATISTICS_SIDE_0, fw::ALL_STATISTICS_LUNS, 0, -1, "side 0"},
        {fw::STATISTICS_SIDE_1, fw::ALL_STATISTICS_LUNS, 1, -1, "side 1"},
        {fw::STATISTICS_BOTH_SIDES, 0, -1, 0, "LUN 0"},
        {fw::STATISTICS_BOTH_SIDES, 1, -1, 1, "LUN 1 (4096-byte blocks)"},
        {fw::STATISTICS_SIDE_1, 1, 1, 1, "side 1, LUN 1"},
    };
    for (const Selection& s : aSelections) {
        const fw::STATISTICS_RECORD r = Record(s.bPortSelect, s.wLun);
        Check(r.sRead, Expect(true, s.side, s.lun), s.what);
        Check(r.sWrite, Expect(false, s.side, s.lun), s.what);
    }
    // The lifetime totals grew by every command and block counted.
    const fw::STATISTICS_RECORD sAll = Record(fw::STATISTICS_BOTH_SIDES, fw::ALL_STATISTICS_LUNS);
    const Expected eRead = Expect(true, -1, -1);
    const Expected eWrite = Expect(false, -1, -1);
    ASSERT_GT(eRead.commands, 1000u);
    ASSERT_GT(eWrite.commands, 2000u);
    EXPECT_EQ(sAll.sRead.lTotalCommands - sBefore.sRead.lTotalCommands, eRead.commands);
    EXPECT_EQ(sAll.sRead.lTotalBlocks - sBefore.sRead.lTotalBlocks, eRead.blocks);
    EXPECT_EQ(sAll.sWrite.lTotalCommands - sBefore.sWrite.lTotalCommands, eWrite.commands);
    EXPECT_EQ(sAll.sWrite.lTotalBlocks - sBefore.sWrite.lTotalBlocks, eWrite.blocks);
    // "Invalid Command" is the unknown opcodes sent, and survives no clear.
    EXPECT_GT(unknownSent, 0u);
    EXPECT_EQ(sAll.adEventCounters[fw::EVENT_COUNTER_INVALID_COMMAND], unknownSent);
    EXPECT_EQ(fw::dGetEventCounter(fw::EVENT_COUNTER_INVALID_COMMAND) - dInvalidBefore, unknownSent);

    // Each drive's disk-port blocks are what the drive model received.
    std::vector<uint64_t> deviceRead, deviceWritten;
    for (uint16_t d = 0; d < 256; ++d) {
        const uint64_t r = fw::lGetDiskPortBlocks(fw::PORT_CODE_INITIATOR, d, fw::TRUE) - deviceReadBefore[d];
        const uint64_t w = fw::lGetDiskPortBlocks(fw::PORT_CODE_INITIATOR, d, fw::FALSE) - deviceWrittenBefore[d];
        if (r != 0) deviceRead.push_back(r);
        if (w != 0) deviceWritten.push_back(w);
    }
    std::sort(deviceRead.begin(), deviceRead.end());
    std::sort(deviceWritten.begin(), deviceWritten.end());
    EXPECT_EQ(deviceRead, Sorted(driveRead));
    EXPECT_EQ(deviceWritten, Sorted(driveWritten));
    EXPECT_FALSE(deviceWritten.empty());

    // The host time log timed every read and write of each port, cached or
    // not; its printout leaves it empty.
    board.ClearConsoleText();
    fw::PrintHostCommandTimeLog();
    const std::string sTimes = Drained();
    for (unsigned side = 0; side < 2; ++side) {
        EXPECT_EQ(TimeLogCount(sTimes, side, "Read"), Expect(true, int(side), -1).commands) << sTimes;
        EXPECT_EQ(TimeLogCount(sTimes, side, "Write") + TimeLogCount(sTimes, side, "Cached Write"),
                  Expect(false, int(side), -1).commands)
            << sTimes;
    }
    board.ClearConsoleText();
    fw::PrintHostCommandTimeLog();
    EXPECT_EQ(Drained().find("Cmds"), std::string::npos) << board.ConsoleText();

    // The operator's pages of the same figures.
    EXPECT_EQ(Page(fw::STATISTICS_ACCESS), kAccessPage);
    EXPECT_EQ(Page(fw::STATISTICS_LD_ACCESS, 2, 1), kLd1Port1Page);
}

}  // namespace
