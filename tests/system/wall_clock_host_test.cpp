// A whole controller on the wall clock, with a wall clock of the test's own
// that moves only while the host sleeps, and an FC host reading from its
// RAID 0 logical drive: a command in flight is served without the host
// sleeping, a command that waits on its drives for longer than a tick ends
// every sleep by the processor's next timer, and with nothing open the host
// sleeps past the ticks, which the firmware then sees all the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "cache/write_stages.h"
#include "executive/startup.h"
#include "executive/tick.h"
#include "hw/scsi.h"
#include "road_config.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "sim/timers.h"
#include "target/stage_rings.h"

namespace {

constexpr unsigned kDrives = 4;

class WallClockHost : public ::testing::Test {
protected:
    struct Sleep {
        uint64_t wall;        // the wall clock as board time, as the sleep began
        uint64_t ns;
        uint64_t nextTimer;   // the processor's next timer then
        bool commandOpen;
    };

    void SetUp() override {
        sim::ChassisOptions drives;
        drives.drives = kDrives;
        chassis = std::make_unique<sim::Chassis>(drives);
        sim::BoardConfig config;
        config.virtualTime = false;
        const roadtest::ArraySpec array{"RAID 0", fw::RAID_LEVEL_0, kDrives, 128};
        const std::vector<uint8_t> image =
            roadtest::RoadConfiguration(*chassis, array, 0x200000A55A000000ull | (config.wwn & 0xFFFFFFull));
        for (unsigned s = 1; s <= kDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), image);
        board = std::make_unique<sim::Board>(config);
        board->wallClock = [this] { return wall; };
        // Start-up's waits pass at once, as in the controller program.
        board->FollowWallClock(false);
        board->sasController().AttachChassis(chassis.get());
        for (uint8_t chip = 1; chip <= 2; ++chip) sim::FindIspChip(*board, chip)->AttachFabric(fabric);
        board->SetResetEntry(&fw::ControllerEntry);
        board->Boot();
        ASSERT_EQ(board->RunUntil([this] { return Booted(); }, 120'000'000'000ull), sim::StopKind::Running);
        host = std::make_unique<sim::FcHost>(*board, fabric, *sim::FindIspChip(*board, 1), 0x2100001B32000001ull);
        ASSERT_TRUE(host->LogIn());
        // The power-on unit attention first.
        sim::FcpResult r = Read(0);
        for (int i = 0; i < 4 && r.status != 0; ++i) r = Read(0);
        ASSERT_EQ(r.status, 0);
        // From here the board follows the test's clock.
        board->idleWait = [this](uint64_t ns) {
            const uint64_t timer = std::min(board->timers().Expiry(0).Armed() ? board->timers().Expiry(0).At() : UINT64_MAX,
                                            board->timers().Expiry(1).Armed() ? board->timers().Expiry(1).At() : UINT64_MAX);
            sleeps.push_back({WallAsBoardTime(), ns, timer, board->HostCommandsOpen()});
            wall += ns;
        };
        board->FollowWallClock(true);
        m_boardAtFollow = board->clock().Now();
        m_wallAtFollow = wall;
    }
    bool Booted() const { return board->ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }
    uint64_t WallAsBoardTime() const { return wall - m_wallAtFollow + m_boardAtFollow; }
    static sim::FcpCommand ReadCommand(uint32_t lba) {
        sim::FcpCommand c;
        c.cdb = {fw::SCSI_READ10, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, 0, 8, 0};
        c.dataInLength = 4096;
        return c;
    }
    sim::FcpResult Read(uint32_t lba) { return host->Send(ReadCommand(lba)); }

    uint64_t wall = 3'000'000'000;
    uint64_t m_boardAtFollow = 0;
    uint64_t m_wallAtFollow = 0;
    std::unique_ptr<sim::Chassis> chassis;
    sim::FcFabric fabric;
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<sim::FcHost> host;
    std::vector<Sleep> sleeps;
};

// A stream of reads, thirty-two in flight: the firmware moves completions
// along a piece a cycle without touching the hardware, and none of that
// is taken for idle, so its board time per read stays a few microseconds
// (a cycle taken for idle would wait for the next tick, a millisecond).
TEST_F(WallClockHost, CommandsInFlightAreServedWithoutWaitingForTicks) {
    // Thirty-two reads at a time, each replaced as it completes.
    auto stream = [this](uint32_t reads) {
        std::deque<uint32_t> tags;
        uint32_t sent = 0;
        while (sent < 32) tags.push_back(host->Submit(ReadCommand(sent++ * 136)));
        while (!tags.empty()) {
            const sim::FcpResult r = host->Wait(tags.front());
            host->initiator().Forget(tags.front());
            tags.pop_front();
            ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
            ASSERT_EQ(r.status, 0);
            if (sent < reads) tags.push_back(host->Submit(ReadCommand(sent++ * 136)));
        }
    };
    stream(32);   // the first burst finds the queues cold
    constexpr uint32_t kReads = 256;
    const uint64_t start = board->clock().Now();
    stream(kReads);
    EXPECT_LT(board->clock().Now() - start, kReads * 20'000ull);
}

// Drives slower than a tick keep a read open while the firmware idles: each
// sleep ends no later than the processor's next timer, the read completes,
// and the firmware's tick kept pace with board time.  Once nothing is open
// the host sleeps past the ticks, a sleep limit at a time.
TEST_F(WallClockHost, AnOpenCommandEndsEverySleepByTheNextTimer) {
    for (unsigned s = 1; s <= kDrives; ++s) chassis->DriveAt(s)->SetExtraLatencyNs(6'000'000);
    const uint64_t ticks = fw::lGetTickCount();
    const uint64_t start = board->clock().Now();
    const sim::FcpResult r = Read(8 * 4096);
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, 0);
    const size_t open = static_cast<size_t>(
        std::count_if(sleeps.begin(), sleeps.end(), [](const Sleep& s) { return s.commandOpen; }));
    EXPECT_GT(open, 0u);
    for (const Sleep& s : sleeps) {
        if (s.commandOpen) {
            EXPECT_LE(s.wall + s.ns + sim::Board::kWallLeadNs, s.nextTimer);
        }
    }
    const uint64_t elapsedMs = (board->clock().Now() - start) / 1'000'000;
    EXPECT_GE(fw::lGetTickCount() - ticks + 1, elapsedMs);
    EXPECT_LE(fw::lGetTickCount() - ticks, elapsedMs + 1);

    for (unsigned s = 1; s <= kDrives; ++s) chassis->DriveAt(s)->SetExtraLatencyNs(0);
    sleeps.clear();
    const uint64_t idleTicks = fw::lGetTickCount();
    board->RunFor(200'000'000);
    EXPECT_LT(sleeps.size(), 200 / 10u);   // about one a sleep limit, not one a tick
    EXPECT_GE(fw::lGetTickCount() - idleTicks, 199u);
}

// Random writes at depth 1 on a write-back logical drive: each is answered
// at once and then held for the writes of its sequence window, hundreds of
// them going round the optimisation ring.  The main loop goes round them
// again only once something that can let one of them go has moved (a
// write joining them, the oldest one's window reached, the tick): each
// write costs a walk or two of the held writes, not one at every step or
// every cycle, which made most of the board's work and a write's latency.
TEST_F(WallClockHost, WritesHeldForTheirWindowAreNotWalkedEveryCycle) {
    auto write = [this](uint32_t lba) {
        sim::FcpCommand c;
        c.cdb = {fw::SCSI_WRITE10, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, 0, 8, 0};
        c.dataOut.assign(4096, uint8_t(lba));
        const sim::FcpResult r = host->Send(c);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
        ASSERT_EQ(r.status, 0);
    };
    uint32_t lba = 0;
    for (int i = 0; i < 200; ++i) ASSERT_NO_FATAL_FAILURE(write((lba += 7 * 1024 + 8) % (1u << 20)));
    const uint16_t held = fw::wGetOptimisationCount();
    ASSERT_GT(held, 100u);
    constexpr uint32_t kWrites = 100;
    const uint32_t requeued = fw::dGetOptimisationRequeues();
    for (uint32_t i = 0; i < kWrites; ++i) ASSERT_NO_FATAL_FAILURE(write((lba += 7 * 1024 + 8) % (1u << 20)));
    // Under two walks a write: three when every step of a write through the
    // cache brings one, fourteen when every cycle walks.
    EXPECT_LT(fw::dGetOptimisationRequeues() - requeued, 5u * held * kWrites / 2) << held << " held";
}

}  // namespace
