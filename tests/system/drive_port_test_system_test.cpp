// The drive port write/read test through the whole controller, beside a
// RAID 5 or RAID 6 logical drive a host keeps writing: the test's commands
// go only to the drives' last 12288 blocks, its totals are what the drives
// received, the array's data and configuration come through untouched, and
// the operator's stop, failing drives and a drive's reset behave as the
// console says.
#include <gtest/gtest.h>


#include "console/console_menu.h"
#include "console/throughput_test.h"
#include "enclosure/drive_table.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "host_road.h"

namespace roadtest {
namespace {

constexpr uint64_t kDriveBlocks = 262144;          // 128 MiB drives
constexpr uint64_t kTestTail = 0x3000;             // the test slots start this far below the last block
constexpr uint64_t kTestLimitNs = 180'000'000'000ull;
// Slow drives keep a minute of the test to a few thousand commands.
constexpr uint64_t kDriveLatencyNs = 20'000'000;
constexpr uint8_t kTestCode = 0x61;

struct TailCount {
    uint64_t readBlocks = 0;
    uint64_t writeBlocks = 0;
    uint64_t allReadBlocks = 0;    // every read and write, the host's included
    uint64_t allWriteBlocks = 0;
};

class PortTestBase : public HostRoad {
protected:
    void Begin(const ArraySpec& a) {
        chassisOptions.driveBytes = kDriveBlocks * kBlock;
        chassisOptions.drives = a.bDrives + 1;   // one drive of no array
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
        ArraySpec s = a;
        s.lBlocks = 64 * RowDataBlocks(s);
        ASSERT_NO_FATAL_FAILURE(Boot(s));
        board->RunUntil([this] { return fw::pGetDriveInfoList()->bDriveCount == chassisOptions.drives; },
                        kSettleLimitNs);
        ASSERT_EQ(fw::pGetDriveInfoList()->bDriveCount, chassisOptions.drives);
        counts.assign(chassisOptions.drives + 1, TailCount{});
        for (unsigned slot = 1; slot <= chassisOptions.drives; ++slot) {
            sim::Drive* d = chassis->DriveAt(slot);
            d->SetExtraLatencyNs(kDriveLatencyNs);
            const uint64_t last = d->config().blocks - 1;
            d->onCommand = [this, slot, last](std::span<const uint8_t> cdb) {
                if (cdb[0] != fw::SCSI_READ10 && cdb[0] != fw::SCSI_WRITE10) return;
                const uint64_t lba = fw::dGetBe32(cdb.data() + 2), blocks = fw::wGetBe16(cdb.data() + 7);
                TailCount& c = counts[slot];
                if (counting) (cdb[0] == fw::SCSI_READ10 ? c.allReadBlocks : c.allWriteBlocks) += blocks;
                if (lba + kTestTail < last) return;
                (cdb[0] == fw::SCSI_READ10 ? c.readBlocks : c.writeBlocks) += blocks;
            };
        }
    }
    void StartTest(uint32_t minutes, uint8_t kind) {
        board->ClearConsoleText();
        counts.assign(counts.size(), TailCount{});
        fw::StartDrivePortTest(kTestCode, fw::TRUE, minutes, kind);
        board->RunUntil([] { return fw::fIsThroughputTestRunning() == fw::TRUE; }, kSettleLimitNs);
        ASSERT_EQ(fw::fIsThroughputTestRunning(), fw::TRUE) << board->ConsoleText();
        counting = true;
        startTick = fw::dGetCoarseTick();
    }
    void AwaitEnd() {
        board->RunUntil([] { return fw::fIsThroughputTestRunning() != fw::TRUE; }, kTestLimitNs);
        ASSERT_EQ(fw::fIsThroughputTestRunning(), fw::FALSE) << board->ConsoleText();
        seconds = (fw::dGetCoarseTick() - startTick) / 2;
        counting = false;
        // The totals and the result leave the console.
        board->RunFor(500'000'000ull);
        for (unsigned slot = 1; slot <= chassisOptions.drives; ++slot) chassis->DriveAt(slot)->SetExtraLatencyNs(0);
    }
    uint64_t TailBlocks(bool read) const {
        uint64_t n = 0;
        for (const TailCount& c : counts) n += read ? c.readBlocks : c.writeBlocks;
        return n;
    }
    std::string Text() const { return board->ConsoleText(); }
    // The megabytes a totals line shows (its digit groups joined).
    uint64_t PrintedTotal(const std::string& label) const {
        const std::string t = Text();
        const size_t at = t.find(label);
        if (at == std::string::npos) return ~0ull;
        uint64_t n = 0;
        for (size_t i = at + label.size(); i < t.size() && t[i] != ' '; ++i)
            if (t[i] != ',') n = n * 10 + uint64_t(t[i] - '0');
        return n;
    }
    static std::string Cell(uint64_t blocks, uint32_t s) {
        if (blocks == 0 || s == 0) return "  0";
        const uint64_t v = blocks / 1954 / s;
        if (v == 0) return " <1";
        char ac[8];
        std::snprintf(ac, sizeof ac, "%3d", static_cast<int>(static_cast<uint16_t>(v)));
        return ac;
    }

    void WriteSome(uint32_t count, uint32_t seed) {
        std::mt19937 rng(seed);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t blocks = 1 + rng() % 64;
            Write(rng() % (RowBlocks() * 8 - blocks), blocks, seed + i);
        }
    }

    std::vector<TailCount> counts;
    bool counting = false;
    uint32_t startTick = 0;
    uint32_t seconds = 0;
};

class PortTestRoad : public PortTestBase, public ::testing::WithParamInterface<ArraySpec> {};
class PortTestStops : public PortTestBase {};

const ArraySpec kRaid5 = {"Raid5", fw::RAID_LEVEL_5, 4, 16};

// A one-minute write/read test while the host writes: the screens, totals
// that are the blocks the drives received in their test slots, per-drive
// rates at level 3; afterwards the logical drive reads back all it was
// given, and so it does after a restart from the drives' configuration.
TEST_P(PortTestRoad, WriteReadTestBesideHostWritesKeepsTheArray) {
    ASSERT_NO_FATAL_FAILURE(Begin(GetParam()));
    fw::SetDiagnosticsModeLevel(3);
    WriteSome(6, 11);
    ASSERT_NO_FATAL_FAILURE(StartTest(1, fw::THROUGHPUT_KIND_WRITE_READ));
    // The host is served while the test runs.
    WriteSome(6, 40);
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 4));
    ASSERT_NO_FATAL_FAILURE(AwaitEnd());

    const std::string t = Text();
    char acPresent[64];
    std::snprintf(acPresent, sizeof acPresent, "\r\n\r\n%02u SAS Devices Present: \r\n", chassisOptions.drives);
    EXPECT_NE(t.find(acPresent), std::string::npos) << t;
    EXPECT_NE(t.find(" 01:01 01:02"), std::string::npos) << t;
    EXPECT_NE(t.find("Data Pattern 0: Random\r\n"
                     "Data Pattern 1: 0000000000000000 0000000000000000\r\n"
                     "Data Pattern 2: ffffffffffffffff ffffffffffffffff\r\n"
                     "Data Pattern 3: 0000000000000000 ffffffffffffffff\r\n"
                     "Data Pattern 4: SAS Jitter Test\r\n"
                     "Data Pattern 5: SAS Jitter Test\r\n"
                     "\r\n\r\nAll Drive Ports Integrity Write/Read Test in Progress, Press ESC to Quit\r\n\r\n"),
              std::string::npos)
        << t;
    EXPECT_EQ(t.find("Error"), std::string::npos) << t;
    ASSERT_GT(TailBlocks(true), 0u);
    EXPECT_EQ(PrintedTotal("Total Read Transfer : "), TailBlocks(true) / 1954) << t;
    EXPECT_EQ(PrintedTotal("Total Write Transfer: "), TailBlocks(false) / 1954) << t;
    EXPECT_GE(seconds, 60u);
    for (unsigned slot = 1; slot <= chassisOptions.drives; ++slot) {
        // The host's blocks count in the drive's row too.
        char acRow[48];
        std::snprintf(acRow, sizeof acRow, "Encl:01 Slot:%02u:  ", slot);
        const size_t at = t.find(acRow);
        ASSERT_NE(at, std::string::npos) << t;
        const std::string row = t.substr(at, t.find('\r', at) - at);
        EXPECT_EQ(row, std::string(acRow) + Cell(counts[slot].allReadBlocks, seconds) + " MB/s    " +
                           Cell(counts[slot].allWriteBlocks, seconds) + " MB/s")
            << "slot " << slot;
    }
    EXPECT_NE(t.find("\r\nPort Integrity Test Completed OK\r\n"), std::string::npos) << t;
    EXPECT_EQ(fw::fIsThroughputTestRunning(), fw::FALSE);

    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 8));
    Settle();
    ExpectDrivesMatchReference();
    ASSERT_NO_FATAL_FAILURE(Restart());
    ASSERT_EQ(fw::bGetRankCount(), 1);
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 8));
}

const ArraySpec kArrays[] = {
    kRaid5,
    {"Raid6", fw::RAID_LEVEL_6, 5, 16},
};
INSTANTIATE_TEST_SUITE_P(Levels, PortTestRoad, ::testing::ValuesIn(kArrays),
                         [](const auto& info) { return std::string(info.param.pszName); });

size_t Count(const std::string& t, const std::string& what) {
    size_t n = 0;
    for (size_t at = t.find(what); at != std::string::npos; at = t.find(what, at + 1)) ++n;
    return n;
}

// Drive failures are printed and counted, a drive's reset is not; the
// random test is refused while an array exists; ESC stops the run, and a
// run with failures ends failed, one without ends aborted.
TEST_F(PortTestStops, FailuresResetsAndTheOperatorsStop) {
    ASSERT_NO_FATAL_FAILURE(Begin(kRaid5));
    fw::SetThroughputTestRandomDestructive(fw::TRUE);
    chassis->DriveAt(2)->Reset();
    chassis->DriveAt(3)->FailCommand(fw::SCSI_WRITE10, 3);
    ASSERT_NO_FATAL_FAILURE(StartTest(1, fw::THROUGHPUT_KIND_WRITE_READ));
    EXPECT_EQ(fw::fGetThroughputTestRandomDestructive(), fw::FALSE);
    board->RunFor(3'000'000'000ull);
    board->TypeKeys("\x1b");
    ASSERT_NO_FATAL_FAILURE(AwaitEnd());
    std::string t = Text();
    EXPECT_NE(t.find("Random test disabled, clear configuration to enable random testing.\r\n"), std::string::npos);
    EXPECT_EQ(t.find("Destructive "), std::string::npos) << t;
    EXPECT_EQ(Count(t, "Error\r\n"), 3u) << t;
    EXPECT_EQ(Count(t, "Drive Loop 1 Id: "), 3u) << t;
    EXPECT_NE(t.find(" Test Aborted "), std::string::npos) << t;
    EXPECT_NE(t.find("\r\nPort Integrity Test Failed\r\n"), std::string::npos) << t;
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), baseChildren);

    // No failure: the operator's stop ends it aborted.
    board->TypeKeys(" ");
    ASSERT_NO_FATAL_FAILURE(StartTest(1, fw::THROUGHPUT_KIND_WRITE));
    board->RunFor(2'000'000'000ull);
    board->TypeKeys("\x1b");
    ASSERT_NO_FATAL_FAILURE(AwaitEnd());
    t = Text();
    EXPECT_EQ(t.find("Error"), std::string::npos) << t;
    EXPECT_NE(t.find("WR ID "), std::string::npos) << t;
    EXPECT_NE(t.find("\r\nPort Integrity Test Aborted\r\n"), std::string::npos) << t;
    EXPECT_EQ(TailBlocks(true), 0u);
}

// A drive that fails every read: the test stops itself after 250 errors.
TEST_F(PortTestStops, TwoHundredAndFiftyErrorsEndTheRunFailed) {
    ASSERT_NO_FATAL_FAILURE(Begin(kRaid5));
    chassis->DriveAt(5)->FailCommand(fw::SCSI_READ10, 100000);
    ASSERT_NO_FATAL_FAILURE(StartTest(1, fw::THROUGHPUT_KIND_WRITE_READ));
    ASSERT_NO_FATAL_FAILURE(AwaitEnd());
    const std::string t = Text();
    // The commands still out when the limit is reached report theirs too.
    EXPECT_GE(Count(t, "Error\r\n"), 250u) << t;
    EXPECT_LE(Count(t, "Error\r\n"), 255u) << t;
    EXPECT_NE(t.find("\r\nPort Integrity Test Failed\r\n"), std::string::npos) << t;
    EXPECT_LT(seconds, 60u);
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), baseChildren);
}

// A drive that stops answering: the time-out scan ends its commands, each
// reported as a time-out, and the run still ends.
TEST_F(PortTestStops, ASilentDriveTimesOutAndTheRunEnds) {
    ASSERT_NO_FATAL_FAILURE(Begin(kRaid5));
    chassis->DriveAt(5)->SetNoResponse(true);
    ASSERT_NO_FATAL_FAILURE(StartTest(1, fw::THROUGHPUT_KIND_WRITE_READ));
    ASSERT_NO_FATAL_FAILURE(AwaitEnd());
    const std::string t = Text();
    EXPECT_GE(Count(t, "(Write 0) Timeout Error\r\n"), 1u) << t;
    EXPECT_EQ(Count(t, "Error\r\n"), Count(t, "Timeout Error\r\n")) << t;
    EXPECT_NE(t.find("\r\nPort Integrity Test Failed\r\n"), std::string::npos) << t;
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), baseChildren);
}

// Production test mode: WRITE BUFFER and READ BUFFER with the pattern
// number as the buffer mode, the production header and its percent bar,
// and the result as the Fibre loopback test's.  Drives take only the
// buffer modes they have, so the run fails.
TEST_F(PortTestStops, ProductionTestModeSendsBufferCommands) {
    ASSERT_NO_FATAL_FAILURE(Begin(kRaid5));
    std::vector<std::vector<uint8_t>> seen;
    chassis->DriveAt(5)->onCommand = [&seen](std::span<const uint8_t> cdb) {
        if (cdb[0] == fw::SCSI_WRITE_BUFFER || cdb[0] == fw::SCSI_READ_BUFFER) seen.emplace_back(cdb.begin(), cdb.begin() + 10);
    };
    fw::SetProductionTestMode(fw::TRUE);
    board->ClearConsoleText();
    fw::StartDrivePortTest(3, fw::TRUE, 5, fw::THROUGHPUT_KIND_WRITE_READ);
    board->RunUntil([] { return fw::fIsThroughputTestRunning() == fw::TRUE; }, kSettleLimitNs);
    ASSERT_NO_FATAL_FAILURE(AwaitEnd());
    fw::SetProductionTestMode(fw::FALSE);
    const std::string t = Text();
    EXPECT_NE(t.find("\r\n\r\nController Write/Read Test in Progress, Press ESC to Quit\r\n\r\n"
                     "Percent   0...10...20...30...40...50...60...70...80...90...100\r\nProgress: ."),
              std::string::npos)
        << t;
    EXPECT_EQ(t.find("Data Pattern"), std::string::npos);
    EXPECT_NE(t.find("\r\nFibre Loopback Test Failed\r\n"), std::string::npos) << t;
    // Six slots: the first writes with buffer modes 0 to 5, 64 KB each.
    ASSERT_GE(seen.size(), 6u);
    for (uint8_t n = 0; n < 6; ++n) {
        EXPECT_EQ(seen[n][0], fw::SCSI_WRITE_BUFFER);
        EXPECT_EQ(seen[n][1], n);
        EXPECT_EQ((seen[n][6] << 16) | (seen[n][7] << 8) | seen[n][8], 128 * 512);
    }
    bool read = false;
    for (const auto& c : seen) read |= c[0] == fw::SCSI_READ_BUFFER;
    EXPECT_TRUE(read);
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), baseChildren);
}

// Without arrays the random test runs: 42 commands a drive at random
// places below the drive's last 0x8800 blocks, 1 to 2048 blocks each; a
// drive too small for that gets none.  A read test reads those places and
// writes nothing.
TEST_F(PortTestStops, RandomReadsStayInsideTheDriveAndSkipASmallOne) {
    // Large drives: a random place is drawn again until it fits, and on a
    // small drive most draws miss.
    constexpr uint64_t kBigBlocks = 8ull << 20;
    chassisOptions.driveBytes = kBigBlocks * kBlock;
    chassisOptions.drives = 3;
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    sim::DriveConfig small = sim::Chassis::DefaultDriveConfig(3, chassisOptions);
    small.blocks = 0x8800 + 2000;
    chassis->Pull(3);
    chassis->Insert(3, small);
    ASSERT_NO_FATAL_FAILURE(StartController());
    board->RunUntil([this] { return fw::pGetDriveInfoList()->bDriveCount == 3; }, kSettleLimitNs);
    ASSERT_EQ(fw::pGetDriveInfoList()->bDriveCount, 3);
    struct Extent {
        uint64_t lba, blocks;
    };
    std::vector<std::vector<Extent>> reads(4);
    uint64_t writes = 0;
    for (unsigned slot = 1; slot <= 3; ++slot) {
        chassis->DriveAt(slot)->SetExtraLatencyNs(kDriveLatencyNs);
        chassis->DriveAt(slot)->onCommand = [&reads, &writes, slot](std::span<const uint8_t> cdb) {
            if (cdb[0] == fw::SCSI_READ10)
                reads[slot].push_back({fw::dGetBe32(cdb.data() + 2), fw::wGetBe16(cdb.data() + 7)});
            writes += cdb[0] == fw::SCSI_WRITE10;
        };
    }
    fw::SetThroughputTestRandomDestructive(fw::TRUE);
    board->ClearConsoleText();
    fw::StartDrivePortTest(kTestCode, fw::TRUE, 1, fw::THROUGHPUT_KIND_READ);
    board->RunUntil([] { return fw::fIsThroughputTestRunning() == fw::TRUE; }, kSettleLimitNs);
    board->RunFor(100'000'000ull);
    board->TypeKeys("\x1b");
    board->RunUntil([] { return fw::fIsThroughputTestRunning() != fw::TRUE; }, kTestLimitNs);
    board->RunFor(500'000'000ull);
    const std::string t = Text();
    EXPECT_NE(t.find("All Drive Ports Integrity Read Test in Progress"), std::string::npos) << t;
    EXPECT_NE(t.find("Port Integrity Test Aborted"), std::string::npos) << t;
    for (unsigned slot = 1; slot <= 2; ++slot) {
        ASSERT_GE(reads[slot].size(), 42u) << slot;
        std::set<uint64_t> places;
        for (const Extent& e : reads[slot]) {
            EXPECT_GE(e.blocks, 1u);
            EXPECT_LE(e.blocks, 2048u);
            EXPECT_LT(e.lba, kBigBlocks - 1 - 0x8800);
            places.insert(e.lba);
        }
        EXPECT_GT(places.size(), 30u) << slot;
    }
    EXPECT_TRUE(reads[3].empty());
    EXPECT_EQ(writes, 0u);
    for (unsigned slot = 1; slot <= 3; ++slot) chassis->DriveAt(slot)->onCommand = nullptr;
}

}  // namespace
}  // namespace roadtest
