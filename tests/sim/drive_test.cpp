// The disk drive model: data at the end of the medium, sense for every kind
// of failure, mode pages, the sparse image, the ATA side of SATA drives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/chassis.h"
#include "sim/clock.h"
#include "sim/drive.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Io {
    sim::DriveResult r;
    Bytes data;
};

// Runs one command with `in` bytes of buffer; the data keeps what came back.
template <typename Run>
Io Command(size_t in, Run run) {
    Io io;
    io.data.assign(in, 0xEE);
    io.r = run(io.data);
    io.data.resize(std::min<size_t>(io.r.transferred, in));
    return io;
}
Io Scsi(sim::Drive& d, const Bytes& cdb, const Bytes& out = {}, size_t in = 0) {
    return Command(in, [&](Bytes& data) { return d.Execute(cdb, out, data); });
}
Io Ata(sim::Drive& d, uint8_t command, uint64_t lba = 0, uint16_t count = 0, uint16_t features = 0,
       const Bytes& out = {}, size_t in = 0) {
    sim::AtaCommand a{command, features, count, lba, 0x40};
    return Command(in, [&](Bytes& data) { return d.ExecuteAta(a, out, data); });
}

void Put(Bytes& b, size_t at, unsigned bytes, uint64_t v) {
    for (unsigned i = bytes; i-- > 0; v >>= 8) b[at + i] = uint8_t(v);
}
uint64_t Get(const Bytes& b, size_t at, unsigned bytes) {
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) v = v << 8 | b[at + i];
    return v;
}

// READ/WRITE/VERIFY of 10 or 16 bytes by opcode.
Bytes BlockCdb(uint8_t op, uint64_t lba, uint32_t count) {
    Bytes c(op >= 0x80 ? 16 : 10, 0);
    c[0] = op;
    if (op >= 0x80) {
        Put(c, 2, 8, lba);
        Put(c, 10, 4, count);
    } else {
        Put(c, 2, 4, lba);
        Put(c, 7, 2, count);
    }
    return c;
}

Bytes Pattern(size_t bytes, uint8_t seed) {
    Bytes b(bytes);
    for (size_t i = 0; i < bytes; ++i) b[i] = uint8_t(seed + i * 7 + i / 512);
    return b;
}

using SenseCode = std::array<int, 3>;  // key, ASC, ASCQ
SenseCode SenseOf(const sim::DriveResult& r) {
    if (r.sense.size() < 14) return {-1, -1, -1};
    return {r.sense[2] & 0x0F, r.sense[12], r.sense[13]};
}
void ExpectSense(const sim::DriveResult& r, SenseCode want, const std::string& what) {
    EXPECT_EQ(r.status, 2) << what;
    EXPECT_EQ(SenseOf(r), want) << what;
}

// A drive whose power-on unit attention was already collected.
sim::DriveConfig Settled() {
    sim::DriveConfig c;
    c.unitAttentionAtPowerOn = false;
    return c;
}

std::string TempImage(const char* name, const std::string& directory = testing::TempDir()) {
    std::string path = directory + "drive_test_" + std::to_string(getpid()) + "_" + name + ".img";
    unlink(path.c_str());
    return path;
}

// Where images are tried: the tests' own directory, and a RAM file system
// where the machine has one (there the drive maps its image).
std::vector<std::string> ImageDirectories() {
    std::vector<std::string> directories{testing::TempDir()};
    struct statfs fs {};
    if (statfs("/dev/shm", &fs) == 0 && fs.f_type == TMPFS_MAGIC && access("/dev/shm", W_OK) == 0) {
        directories.push_back("/dev/shm/");
    }
    return directories;
}

uint64_t AllocatedBlocks(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return uint64_t(st.st_blocks);
}

// The chassis's drives: a serial of eight characters (what the drive lists
// show) that no other slot's drive has, and a product name with the
// capacity.
TEST(DriveIdentity, EachSlotsDriveHasItsOwnSerialAndItsCapacityInItsName) {
    const std::pair<uint64_t, const char*> aSizes[] = {
        {1ull << 30, "SIMDISK 1G"}, {4ull << 30, "SIMDISK 4G"}, {1536ull << 20, "SIMDISK 1536M"}};
    for (const auto& [bytes, name] : aSizes) {
        sim::ChassisOptions o;
        o.driveBytes = bytes;
        EXPECT_EQ(sim::Chassis::DefaultDriveConfig(1, o).product, name);
    }
    std::vector<std::string> serials;
    for (unsigned slot = 1; slot <= 36; ++slot) {
        const std::string serial = sim::Chassis::DefaultDriveConfig(slot, sim::ChassisOptions()).serial;
        EXPECT_EQ(serial.size(), 8u) << serial;
        EXPECT_EQ(std::count(serials.begin(), serials.end(), serial), 0) << serial;
        serials.push_back(serial);
    }
}

TEST(DriveData, RoundTripsAtTheEndOfTheMediumAndReadsUnwrittenBlocksAsZeros) {
    struct Case {
        const char* name;
        bool sata, image, ata;
        uint64_t blocks;
        uint8_t readOp, writeOp;
    } cases[] = {
        {"sas10", false, false, false, 8ull << 20, 0x28, 0x2A},
        {"sas16_over_2tib", false, false, false, (3ull << 40) / 512, 0x88, 0x8A},
        {"sata_scsi", true, false, false, 8ull << 20, 0x88, 0x8A},
        {"sata_ata", true, false, true, (3ull << 40) / 512, 0, 0},
        {"sata_ata_image", true, true, true, 8ull << 20, 0, 0},
    };
    for (const Case& c : cases) {
        sim::DriveConfig cfg = Settled();
        cfg.sata = c.sata;
        cfg.blocks = c.blocks;
        if (c.image) cfg.imagePath = TempImage(c.name);
        const uint64_t lba = c.blocks - 2;
        const Bytes data = Pattern(1024, 3);
        {
            sim::Drive d(cfg);
            Io w = c.ata ? Ata(d, 0x35, lba, 2, 0, data) : Scsi(d, BlockCdb(c.writeOp, lba, 2), data);
            ASSERT_EQ(w.r.status, 0) << c.name;
            EXPECT_EQ(w.r.transferred, 1024u) << c.name;
            Io r = c.ata ? Ata(d, 0x25, lba, 2, 0, {}, 1024) : Scsi(d, BlockCdb(c.readOp, lba, 2), {}, 1024);
            ASSERT_EQ(r.r.status, 0) << c.name;
            EXPECT_EQ(r.data, data) << c.name;
            Bytes direct(1024);
            d.ReadBlocks(lba, 2, direct.data());
            EXPECT_EQ(direct, data) << c.name;
            Io zero = Scsi(d, BlockCdb(0x28, lba - 1, 1), {}, 512);
            EXPECT_EQ(zero.data, Bytes(512, 0)) << c.name;
        }
        if (c.image) {
            sim::Drive again(cfg);  // the image keeps the data across runs
            Bytes direct(1024);
            again.ReadBlocks(lba, 2, direct.data());
            EXPECT_EQ(direct, data) << c.name;
            unlink(cfg.imagePath.c_str());
        }
    }
}

TEST(DriveSense, EveryErrorClassGivesItsSense) {
    const uint64_t blocks = 1 << 16;
    struct Case {
        const char* name;
        std::function<void(sim::Drive&)> setup;
        Bytes cdb;
        Bytes out;
        SenseCode sense;
        int64_t info;  // -1: no information field
        uint32_t transferred;
    } cases[] = {
        {"unknown opcode", nullptr, {0xC7, 0, 0, 0, 0, 0}, {}, {5, 0x20, 0}, -1, 0},
        {"read past the end", nullptr, BlockCdb(0x28, blocks - 1, 2), {}, {5, 0x21, 0}, -1, 0},
        {"empty read at the end", nullptr, BlockCdb(0x88, blocks, 0), {}, {5, 0x21, 0}, -1, 0},
        {"write past the end", nullptr, BlockCdb(0x8A, blocks, 1), Bytes(512), {5, 0x21, 0}, -1, 0},
        {"unknown VPD page", nullptr, {0x12, 1, 0x99, 0, 0xFF, 0}, {}, {5, 0x24, 0}, -1, 0},
        {"unknown mode page", nullptr, {0x1A, 0, 0x05, 0, 0xFF, 0}, {}, {5, 0x24, 0}, -1, 0},
        {"protection requested", nullptr, {0x28, 0x20, 0, 0, 0, 0, 0, 0, 1, 0}, {}, {5, 0x24, 0}, -1, 0},
        {"unknown log page", nullptr, {0x4D, 0, 0x7F, 0, 0, 0, 0, 0, 0xFF, 0}, {}, {5, 0x24, 0}, -1, 0},
        {"media error on read", [](sim::Drive& d) { d.InjectMediaError(100, 4); }, BlockCdb(0x28, 96, 8), {},
         {3, 0x11, 0}, 100, 2048},
        {"media error on verify", [](sim::Drive& d) { d.InjectMediaError(100, 4); }, BlockCdb(0x2F, 102, 8), {},
         {3, 0x11, 0}, 102, 0},
        {"not ready", [](sim::Drive& d) { d.SetNotReady(true); }, Bytes(6, 0), {}, {2, 4, 0}, -1, 0},
        {"becoming ready", [](sim::Drive& d) { d.BecomeReadyAfter(1); }, Bytes(6, 0), {}, {2, 4, 1}, -1, 0},
        {"stopped", [](sim::Drive& d) { d.Execute(Bytes{0x1B, 0, 0, 0, 0, 0}, {}, {}); }, BlockCdb(0x28, 0, 1), {},
         {2, 4, 2}, -1, 0},
        {"write short of data", nullptr, BlockCdb(0x2A, 0, 2), Bytes(512, 1), {0x0B, 0x4B, 0}, -1, 0},
        {"verify miscompare", nullptr, {0x2F, 0x02, 0, 0, 0, 9, 0, 0, 1, 0}, Bytes(512, 1), {0x0E, 0x1D, 0}, 9, 0},
    };
    for (const Case& c : cases) {
        sim::DriveConfig cfg = Settled();
        cfg.blocks = blocks;
        sim::Drive d(cfg);
        if (c.setup) c.setup(d);
        Io io = Scsi(d, c.cdb, c.out, 4096);
        ExpectSense(io.r, c.sense, c.name);
        ASSERT_GE(io.r.sense.size(), 18u) << c.name;
        EXPECT_EQ(io.r.sense[0], c.info < 0 ? 0x70 : 0xF0) << c.name;
        if (c.info >= 0) {
            EXPECT_EQ(Get(io.r.sense, 3, 4), uint64_t(c.info)) << c.name;
        }
        EXPECT_EQ(io.r.transferred, c.transferred) << c.name;
        Bytes block(512);
        d.ReadBlocks(0, 1, block.data());
        EXPECT_EQ(block, Bytes(512, 0)) << c.name << ": a failed command wrote";
    }
}

TEST(DriveSense, DeadDriveNeverAnswers) {
    sim::DriveConfig cfg = Settled();
    cfg.sata = true;
    sim::Drive d(cfg);
    d.SetNoResponse(true);
    EXPECT_TRUE(Scsi(d, Bytes(6, 0)).r.noResponse);
    EXPECT_TRUE(Ata(d, 0xEC, 0, 1, 0, {}, 512).r.noResponse);
}

TEST(DriveSense, BecomesReadyAfterTheGivenCommandsAndServesInquiryMeanwhile) {
    sim::Drive d(Settled());
    d.BecomeReadyAfter(3);
    ExpectSense(Scsi(d, Bytes(6, 0)).r, {2, 4, 1}, "first");
    EXPECT_EQ(Scsi(d, {0x12, 0, 0, 0, 36, 0}, {}, 36).r.status, 0);
    Io sense = Scsi(d, {0x03, 0, 0, 0, 252, 0}, {}, 252);
    ASSERT_EQ(sense.r.status, 0);
    ASSERT_EQ(sense.data.size(), 18u);
    EXPECT_EQ(sense.data[2], 2);
    EXPECT_EQ(sense.data[13], 1);
    EXPECT_EQ(Scsi(d, Bytes(6, 0)).r.status, 0);
}

TEST(DrivePower, PowerOnAndResetsAreReportedOnceAheadOfEverythingElse) {
    sim::DriveConfig cfg;
    cfg.powerOnStopped = true;
    sim::Drive d(cfg);
    // INQUIRY and REQUEST SENSE pass; the attention is kept for the next.
    EXPECT_EQ(Scsi(d, {0x12, 0, 0, 0, 36, 0}, {}, 36).r.status, 0);
    ExpectSense(Scsi(d, Bytes(6, 0)).r, {6, 0x29, 0}, "power on");
    ExpectSense(Scsi(d, Bytes(6, 0)).r, {2, 4, 2}, "stopped after power on");
    EXPECT_EQ(Scsi(d, {0x1B, 1, 0, 0, 1, 0}).r.status, 0);
    EXPECT_EQ(Scsi(d, Bytes(6, 0)).r.status, 0);
    d.Reset();
    ExpectSense(Scsi(d, {0x1A, 0, 0x3F, 0, 0xFF, 0}, {}, 255).r, {6, 0x29, 0}, "reset");
    EXPECT_EQ(Scsi(d, {0x1A, 0, 0x3F, 0, 0xFF, 0}, {}, 255).r.status, 0);
    // ATA commands know nothing of it.
    cfg.sata = true;
    sim::Drive s(cfg);
    EXPECT_EQ(Ata(s, 0xEC, 0, 1, 0, {}, 512).r.ataStatus, 0x50);
}

TEST(DrivePower, SpinningUpTakesItsTimeAfterPowerOnAndAfterAStart) {
    sim::Clock clock;
    sim::DriveConfig cfg = Settled();
    cfg.spinUpNs = 5'000'000'000;
    sim::Drive d(cfg);
    d.AttachClock(&clock);
    ExpectSense(Scsi(d, Bytes(6, 0)).r, {2, 4, 1}, "spinning up after power on");
    EXPECT_EQ(Scsi(d, {0x12, 0, 0, 0, 36, 0}, {}, 36).r.status, 0);
    clock.AdvanceTo(4'999'999'999);
    ExpectSense(Scsi(d, BlockCdb(0x28, 0, 1), {}, 512).r, {2, 4, 1}, "one nanosecond early");
    clock.AdvanceTo(5'000'000'000);
    EXPECT_EQ(Scsi(d, Bytes(6, 0)).r.status, 0);
    // Stopped, then started: spins up again from the start.
    EXPECT_EQ(Scsi(d, {0x1B, 1, 0, 0, 0, 0}).r.status, 0);
    ExpectSense(Scsi(d, Bytes(6, 0)).r, {2, 4, 2}, "stopped");
    EXPECT_EQ(Scsi(d, {0x1B, 1, 0, 0, 1, 0}).r.status, 0);
    ExpectSense(Scsi(d, Bytes(6, 0)).r, {2, 4, 1}, "started");
    clock.AdvanceTo(10'000'000'000);
    EXPECT_EQ(Scsi(d, Bytes(6, 0)).r.status, 0);
    // A START to a drive that turns already costs nothing.
    EXPECT_EQ(Scsi(d, {0x1B, 1, 0, 0, 1, 0}).r.status, 0);
    EXPECT_EQ(Scsi(d, Bytes(6, 0)).r.status, 0);
}

constexpr uint64_t kSpinNs = 7'000'000'000;

sim::DriveConfig Spinning(bool sata) {
    sim::DriveConfig cfg = Settled();
    cfg.sata = sata;
    cfg.spinUpNs = kSpinNs;
    return cfg;
}

TEST(DrivePower, StoppedSasDriveRefusesTheMediumUntilStartedAndCountsItsParkedTime) {
    sim::Clock clock;
    sim::Drive d(Spinning(false));
    d.AttachClock(&clock);
    clock.AdvanceTo(kSpinNs);
    EXPECT_EQ(Scsi(d, {0x1B, 1, 0, 0, 0, 0}).r.status, 0);
    EXPECT_TRUE(d.Parked());
    ExpectSense(Scsi(d, Bytes(6, 0)).r, {2, 4, 2}, "TEST UNIT READY while stopped");
    ExpectSense(Scsi(d, BlockCdb(0x28, 0, 1), {}, 512).r, {2, 4, 2}, "READ while stopped");
    EXPECT_EQ(Scsi(d, {0x12, 0, 0, 0, 36, 0}, {}, 36).r.status, 0);
    EXPECT_EQ(Scsi(d, {0x1A, 0, 0x3F, 0, 0xFF, 0}, {}, 255).r.status, 0);
    Io sense = Scsi(d, {0x03, 0, 0, 0, 18, 0}, {}, 18);
    ASSERT_EQ(sense.r.status, 0);
    EXPECT_EQ(sense.data[2], 2);
    EXPECT_EQ(sense.data[13], 2);
    clock.AdvanceTo(kSpinNs + 1'000'000'000);
    // IMMED set: the start is taken at once and the drive becomes ready.
    Io start = Scsi(d, {0x1B, 1, 0, 0, 1, 0});
    EXPECT_EQ(start.r.status, 0);
    EXPECT_LT(start.r.serviceNs, kSpinNs);
    ExpectSense(Scsi(d, Bytes(6, 0)).r, {2, 4, 1}, "becoming ready");
    clock.AdvanceTo(2 * kSpinNs + 1'000'000'000);
    EXPECT_EQ(Scsi(d, BlockCdb(0x28, 0, 1), {}, 512).r.status, 0);
    // IMMED clear: the START itself ends once the drive is ready.
    EXPECT_EQ(Scsi(d, {0x1B, 1, 0, 0, 0, 0}).r.status, 0);
    clock.AdvanceTo(3 * kSpinNs);
    Io waited = Scsi(d, {0x1B, 0, 0, 0, 1, 0});
    EXPECT_EQ(waited.r.status, 0);
    EXPECT_GE(waited.r.serviceNs, kSpinNs);
    const sim::Drive::PowerCounts p = d.Power();
    EXPECT_EQ(p.starts, 2u);
    EXPECT_EQ(p.stops, 2u);
    EXPECT_EQ(p.parkedNs, 1'000'000'000u + (3 * kSpinNs - (2 * kSpinNs + 1'000'000'000)));
    // A refused START leaves it stopped.
    EXPECT_EQ(Scsi(d, {0x1B, 1, 0, 0, 0, 0}).r.status, 0);
    d.FailCommand(0x1B, 1);
    ExpectSense(Scsi(d, {0x1B, 1, 0, 0, 1, 0}).r, {4, 0x44, 0}, "START refused");
    EXPECT_TRUE(d.Parked());
}

// Parked in a power condition, a drive is never NOT READY: the command that
// needs the medium (and any that comes while it wakes) waits for the spin-up.
TEST(DrivePower, PowerConditionsAndSataStandbyWakeForTheNextCommand) {
    struct Case {
        const char* name;
        bool sata;
        std::function<void(sim::Drive&)> park;
        Bytes wake;
    } cases[] = {
        {"SAS IDLE", false, [](sim::Drive& d) { EXPECT_EQ(Scsi(d, {0x1B, 1, 0, 0, 0x20, 0}).r.status, 0); },
         BlockCdb(0x28, 0, 1)},
        {"SAS STANDBY", false, [](sim::Drive& d) { EXPECT_EQ(Scsi(d, {0x1B, 1, 0, 0, 0x30, 0}).r.status, 0); },
         BlockCdb(0x2A, 0, 1)},
        {"SATA STOP", true, [](sim::Drive& d) { EXPECT_EQ(Scsi(d, {0x1B, 1, 0, 0, 0, 0}).r.status, 0); },
         Bytes(6, 0)},
        {"SATA STANDBY IMMEDIATE", true, [](sim::Drive& d) { EXPECT_EQ(Ata(d, 0xE0).r.ataStatus, 0x50); },
         Bytes{0x1B, 1, 0, 0, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Clock clock;
        sim::Drive d(Spinning(c.sata));
        d.AttachClock(&clock);
        clock.AdvanceTo(kSpinNs);
        c.park(d);
        EXPECT_TRUE(d.Parked());
        EXPECT_EQ(Scsi(d, {0x12, 0, 0, 0, 36, 0}, {}, 36).r.status, 0);
        EXPECT_TRUE(d.Parked()) << "INQUIRY needs no medium";
        clock.AdvanceTo(2 * kSpinNs);
        Io woken = Scsi(d, c.wake, Bytes(512, 1), 512);
        EXPECT_EQ(woken.r.status, 0);
        EXPECT_GE(woken.r.serviceNs, kSpinNs);
        EXPECT_FALSE(d.Parked());
        clock.AdvanceTo(2 * kSpinNs + kSpinNs / 2);
        Io behind = Scsi(d, BlockCdb(0x28, 0, 1), {}, 512);
        EXPECT_EQ(behind.r.status, 0);
        EXPECT_GE(behind.r.serviceNs, kSpinNs / 2) << "waits out the rest of the wake";
        EXPECT_LT(behind.r.serviceNs, kSpinNs);
        clock.AdvanceTo(4 * kSpinNs);
        EXPECT_LT(Scsi(d, BlockCdb(0x28, 0, 1), {}, 512).r.serviceNs, kSpinNs / 2);
        EXPECT_EQ(d.Power().starts, 1u);
        EXPECT_EQ(d.Power().stops, 1u);
        EXPECT_EQ(d.Power().parkedNs, kSpinNs);
    }
}

TEST(DrivePower, BackgroundSelfTestPassesOrFailsAsToldAndNeedsASpinningDrive) {
    sim::Drive d(Settled());
    const Bytes selfTest{0x1D, 0x20, 0, 0, 0, 0};
    EXPECT_EQ(Scsi(d, selfTest).r.status, 0);
    d.FailSelfTests(true);
    ExpectSense(Scsi(d, selfTest).r, {4, 0x3C, 0}, "self-test failed");
    d.FailSelfTests(false);
    ExpectSense(Scsi(d, {0x1D, 0x20, 0, 0, 4, 0}).r, {5, 0x24, 0}, "a diagnostic page");
    EXPECT_EQ(Scsi(d, {0x1B, 1, 0, 0, 0, 0}).r.status, 0);
    ExpectSense(Scsi(d, selfTest).r, {2, 4, 2}, "stopped");
}

TEST(ChassisPower, TheSpinUpLogCountsDrivesSpinningUpTogether) {
    sim::ChassisOptions o;
    o.drives = 4;
    o.driveBytes = 1 << 20;
    o.spinUpNs = kSpinNs;
    sim::Chassis chassis(o);
    sim::Clock clock;
    chassis.AttachClock(&clock);
    clock.AdvanceTo(kSpinNs);
    for (unsigned slot = 1; slot <= 4; ++slot) {
        sim::Drive& d = *chassis.DriveAt(slot);
        ASSERT_EQ(Scsi(d, {0x03, 0, 0, 0, 18, 0}, {}, 18).r.status, 0);   // the power-on attention
        Scsi(d, Bytes(6, 0));
        ASSERT_EQ(Scsi(d, {0x1B, 1, 0, 0, 0, 0}).r.status, 0);
    }
    EXPECT_TRUE(chassis.SpinUpLog().empty()) << "power-on spin-ups are not the commands'";
    // Slots 1 and 2 together, 3 as they end (not overlapping), 4 in the middle of 3.
    ASSERT_EQ(Scsi(*chassis.DriveAt(1), {0x1B, 1, 0, 0, 1, 0}).r.status, 0);
    ASSERT_EQ(Scsi(*chassis.DriveAt(2), {0x1B, 1, 0, 0, 1, 0}).r.status, 0);
    clock.AdvanceTo(2 * kSpinNs);
    ASSERT_EQ(Scsi(*chassis.DriveAt(3), {0x1B, 1, 0, 0, 1, 0}).r.status, 0);
    clock.AdvanceTo(2 * kSpinNs + kSpinNs / 2);
    ASSERT_EQ(Scsi(*chassis.DriveAt(4), {0x1B, 1, 0, 0, 1, 0}).r.status, 0);
    ASSERT_EQ(chassis.SpinUpLog().size(), 4u);
    EXPECT_EQ(chassis.SpinUpLog()[2].slot, 3u);
    EXPECT_EQ(chassis.SpinUpLog()[2].readyNs, 3 * kSpinNs);
    EXPECT_EQ(chassis.MostSpinningUpAtOnce(), 2u);
}

TEST(DriveCapacity, ReadCapacityGivesTheLastBlockAndTenBytesSaturate) {
    struct Case {
        uint64_t blocks;
        uint32_t last10;
    } cases[] = {
        {8ull << 20, (8u << 20) - 1},
        {1, 0},
        {0xFFFFFFFFull, 0xFFFFFFFE},
        {0x100000000ull, 0xFFFFFFFF},
        {(5ull << 40) / 512, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        sim::DriveConfig cfg = Settled();
        cfg.blocks = c.blocks;
        sim::Drive d(cfg);
        Io ten = Scsi(d, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, 8);
        ASSERT_EQ(ten.r.status, 0);
        EXPECT_EQ(Get(ten.data, 0, 4), c.last10) << c.blocks;
        EXPECT_EQ(Get(ten.data, 4, 4), 512u);
        Bytes cdb(16, 0);
        cdb[0] = 0x9E;
        cdb[1] = 0x10;
        cdb[13] = 32;
        Io sixteen = Scsi(d, cdb, {}, 32);
        ASSERT_EQ(sixteen.r.status, 0);
        EXPECT_EQ(Get(sixteen.data, 0, 8), c.blocks - 1);
        EXPECT_EQ(Get(sixteen.data, 8, 4), 512u);
    }
}

TEST(DriveIdentity, InquiryAndVitalProductDataNameTheDrive) {
    sim::DriveConfig cfg = Settled();
    cfg.sasAddress = 0x5005D5D012345678ull;
    cfg.serial = "SN12345678";
    sim::Drive d(cfg);
    Io inq = Scsi(d, {0x12, 0, 0, 0, 48, 0}, {}, 255);
    ASSERT_EQ(inq.data.size(), 48u);
    EXPECT_EQ(inq.data[0], 0);
    EXPECT_EQ(std::string(inq.data.begin() + 8, inq.data.begin() + 36), "DRIVEVNDSIMDISK 4G      0001");
    EXPECT_EQ(std::string(inq.data.begin() + 36, inq.data.begin() + 44), "SN123456");
    Io id = Scsi(d, {0x12, 1, 0x83, 0, 255, 0}, {}, 255);
    ASSERT_EQ(id.data.size(), 16u);
    EXPECT_EQ(Get(id.data, 8, 8), cfg.sasAddress);
}

// Mode pages of a MODE SENSE(6) reply by page code.
std::map<uint8_t, Bytes> Pages(const Bytes& reply) {
    std::map<uint8_t, Bytes> pages;
    for (size_t at = 4 + reply[3]; at + 2 <= reply.size(); at += 2 + reply[at + 1])
        pages[reply[at] & 0x3F] = Bytes(reply.begin() + long(at), reply.begin() + long(at + 2 + reply[at + 1]));
    return pages;
}
Bytes ModeSense6(sim::Drive& d, uint8_t pageByte) {
    Io io = Scsi(d, {0x1A, 0, pageByte, 0, 255, 0}, {}, 255);
    EXPECT_EQ(io.r.status, 0);
    return io.data;
}

TEST(DriveModePages, ChangeableMasksAllowWhatTheControllerAdjusts) {
    sim::Drive d(Settled());
    auto changeable = Pages(ModeSense6(d, 0x7F));
    struct Case {
        uint8_t page, byte, mask;
    } cases[] = {
        {0x01, 2, 0xFF}, {0x01, 10, 0xFF}, {0x01, 11, 0xFF}, {0x07, 2, 0x0F},
        {0x08, 2, 0x05}, {0x08, 3, 0x00}, {0x0A, 2, 0x02}, {0x1C, 2, 0x99}, {0x1C, 3, 0x0F},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(changeable.count(c.page)) << int(c.page);
        EXPECT_EQ(changeable[c.page][c.byte], c.mask) << int(c.page) << "/" << int(c.byte);
    }
}

TEST(DriveModePages, SelectChangesCurrentAndSavedButNotDefaults) {
    sim::Drive d(Settled());
    Bytes current = ModeSense6(d, 0x3F);
    ASSERT_EQ(current[3], 8);
    EXPECT_EQ(Get(current, 4 + 5, 3), 512u);
    EXPECT_EQ(Pages(current)[0x08][2] & 0x04, 0x04);
    // As the controller sends it back: header and block count cleared.
    Bytes list = current;
    list[0] = list[1] = list[2] = 0;
    for (int i = 4; i <= 8; ++i) list[size_t(i)] = 0;
    size_t at = 12;
    while ((list[at] & 0x3F) != 0x08) at += 2 + list[at + 1];
    list[at + 2] &= 0xFA;
    Io sel = Scsi(d, {0x15, 0x11, 0, 0, uint8_t(current[0] + 1), 0}, list);
    ASSERT_EQ(sel.r.status, 0);
    EXPECT_EQ(Pages(ModeSense6(d, 0x08))[0x08][2] & 0x04, 0);
    EXPECT_EQ(Pages(ModeSense6(d, 0xC8))[0x08][2] & 0x04, 0);   // saved
    EXPECT_EQ(Pages(ModeSense6(d, 0x88))[0x08][2] & 0x04, 4);   // default
}

TEST(DriveModePages, SelectRefusesWholeListWhenOneByteIsNotChangeable) {
    struct Case {
        const char* name;
        uint8_t page, byte, value;
        size_t descriptorBlockSize;
    } cases[] = {
        {"D_SENSE", 0x0A, 2, 0x06, 512},
        {"block size", 0x08, 2, 0x00, 4096},
    };
    for (const Case& c : cases) {
        sim::Drive d(Settled());
        Bytes list = ModeSense6(d, 0x3F);
        list[0] = 0;
        Put(list, 4 + 5, 3, c.descriptorBlockSize);
        for (size_t at = 12; at < list.size(); at += 2 + list[at + 1]) {
            if ((list[at] & 0x3F) == 0x08) list[at + 2] &= 0xFB;  // a valid change
            if ((list[at] & 0x3F) == c.page) list[at + c.byte] = c.value;
        }
        Io sel = Scsi(d, {0x15, 0x10, 0, 0, uint8_t(list.size()), 0}, list);
        EXPECT_EQ(SenseOf(sel.r)[1], 0x26) << c.name;
        EXPECT_EQ(sel.r.sense[15] & 0xC0, 0x80) << c.name;  // field in the parameter list
        EXPECT_EQ(Pages(ModeSense6(d, 0x08))[0x08][2] & 0x04, 4) << c.name << ": half applied";
    }
}

TEST(DriveImage, ZeroWritesKeepTheImageSparseAndFormatEmptiesIt) {
    for (const std::string& directory : ImageDirectories()) {
        SCOPED_TRACE(directory);
        sim::DriveConfig cfg = Settled();
        cfg.sata = true;  // both command sets
        cfg.blocks = 1 << 20;
        cfg.imagePath = TempImage("sparse", directory);
        sim::Drive d(cfg);
        struct stat st {};
        ASSERT_EQ(stat(cfg.imagePath.c_str(), &st), 0);
        EXPECT_EQ(uint64_t(st.st_size), (1ull << 20) * 512);
        // Only the blocks of the configuration copy hold room from the start.
        const uint64_t kept = AllocatedBlocks(cfg.imagePath);
        EXPECT_GE(kept, 1836u);
        EXPECT_LT(kept, 2048u);
        ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 1000, 256), Bytes(256 * 512, 0)).r.status, 0);
        ASSERT_EQ(Ata(d, 0x35, 9000, 16, 0, Bytes(16 * 512, 0)).r.status, 0);
        // Reading holes takes no room either.
        EXPECT_EQ(Scsi(d, BlockCdb(0x28, 9000, 64), {}, 64 * 512).data, Bytes(64 * 512, 0));
        EXPECT_EQ(AllocatedBlocks(cfg.imagePath), kept);
        ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 5000, 8), Pattern(8 * 512, 1)).r.status, 0);
        const uint64_t withData = AllocatedBlocks(cfg.imagePath);
        EXPECT_GT(withData, 0u);
        // Zeros over data are written; zeros around it stay holes.
        ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 4096, 2048), Bytes(2048 * 512, 0)).r.status, 0);
        EXPECT_LE(AllocatedBlocks(cfg.imagePath), withData);
        EXPECT_EQ(Scsi(d, BlockCdb(0x28, 5000, 8), {}, 8 * 512).data, Bytes(8 * 512, 0));
        // Where zeros found a hole, data and then zeros again: the zeros are
        // written, by this drive and by a second one on the same image.
        ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 4200, 4), Pattern(4 * 512, 3)).r.status, 0);
        ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 4200, 4), Bytes(4 * 512, 0)).r.status, 0);
        EXPECT_EQ(Scsi(d, BlockCdb(0x28, 4200, 4), {}, 4 * 512).data, Bytes(4 * 512, 0));
        {
            sim::Drive second(cfg);
            ASSERT_EQ(Scsi(second, BlockCdb(0x2A, 4400, 4), Pattern(4 * 512, 5)).r.status, 0);
        }
        ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 4400, 4), Bytes(4 * 512, 0)).r.status, 0);
        EXPECT_EQ(Scsi(d, BlockCdb(0x28, 4400, 4), {}, 4 * 512).data, Bytes(4 * 512, 0));
        // Written over, the block is in the file for any reader.
        ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 7000, 1), Pattern(512, 9)).r.status, 0);
        ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 7000, 1), Pattern(512, 10)).r.status, 0);
        Bytes inFile(512);
        const int file = open(cfg.imagePath.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(pread(file, inFile.data(), 512, 7000 * 512), 512);
        close(file);
        EXPECT_EQ(inFile, Pattern(512, 10));
        ASSERT_EQ(Scsi(d, {0x04, 0, 0, 0, 0, 0}).r.status, 0);
        EXPECT_EQ(AllocatedBlocks(cfg.imagePath), kept);
        EXPECT_EQ(Scsi(d, BlockCdb(0x28, 7000, 1), {}, 512).data, Bytes(512, 0));
        unlink(cfg.imagePath.c_str());
    }
}

// An image that exists is the drive's medium: one shorter than the drive
// is refused, never extended with zeros, and left as it was.
TEST(DriveImage, AShorterImageIsRefusedAndLeftAsItIs) {
    sim::DriveConfig cfg = Settled();
    cfg.blocks = 1 << 14;
    cfg.imagePath = TempImage("short");
    {
        sim::Drive d(cfg);
        ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 0, 8), Pattern(8 * 512, 4)).r.status, 0);
    }
    ASSERT_EQ(truncate(cfg.imagePath.c_str(), 4096 * 512), 0);
    EXPECT_EXIT(sim::Drive{cfg}, ::testing::ExitedWithCode(1),
                "controller: " + cfg.imagePath + ": shorter than the drive \\(2097152 of 8388608 bytes\\)");
    struct stat st {};
    ASSERT_EQ(stat(cfg.imagePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4096 * 512);
    // A larger one (a drive made smaller) is used as it is.
    cfg.blocks = 1024;
    sim::Drive smaller(cfg);
    EXPECT_EQ(Scsi(smaller, BlockCdb(0x28, 0, 8), {}, 8 * 512).data, Pattern(8 * 512, 4));
    ASSERT_EQ(stat(cfg.imagePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4096 * 512);
    unlink(cfg.imagePath.c_str());
}

// A write the file system has no room for (here the file size limit, as a
// full file system refuses) is held off untouched: NOT READY, space
// allocation in progress, in both command sets, said once on standard
// error; blocks written before are still written over in place, and once
// there is room the write is taken, which is said too.  What the image
// refuses otherwise (here a read past an image cut short) is a medium error.
TEST(DriveImage, AWriteTheFileSystemHasNoRoomForIsHeldOffUntilThereIsRoom) {
    signal(SIGXFSZ, SIG_IGN);
    for (const std::string& directory : ImageDirectories()) {
        for (const bool ata : {false, true}) {
            SCOPED_TRACE(directory + (ata ? " ata" : " scsi"));
            sim::DriveConfig cfg = Settled();
            cfg.sata = ata;
            cfg.blocks = 1 << 14;
            cfg.imagePath = TempImage("refused", directory);
            sim::Drive d(cfg);
            auto write = [&](uint64_t lba, uint8_t seed) {
                return ata ? Ata(d, 0x35, lba, 8, 0, Pattern(8 * 512, seed)) : Scsi(d, BlockCdb(0x2A, lba, 8), Pattern(8 * 512, seed));
            };
            ASSERT_EQ(write(16, 5).r.status, 0);
            rlimit limit{1 << 20, RLIM_INFINITY}, before{};
            ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
            testing::internal::CaptureStderr();
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
            const uint64_t beyond = 4096;   // 2 MiB into the image
            const Io refused = write(beyond, 6);
            const Io again = write(beyond, 6);
            const Io inPlace = write(16, 7);
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
            const std::string held = testing::internal::GetCapturedStderr();
            for (const Io* w : {&refused, &again}) {
                ExpectSense(w->r, {2, 0x04, 0x14}, "write past the limit");
                if (ata) {
                    EXPECT_EQ(w->r.ataStatus & 0x01, 1);
                }
            }
            EXPECT_EQ(inPlace.r.status, 0);
            EXPECT_EQ(held, "controller: " + cfg.imagePath +
                                ": the file system is full (File too large): the drive holds off the writes that need "
                                "room, and the controller keeps them, until room is made\n");
            struct stat st {};
            ASSERT_EQ(stat(cfg.imagePath.c_str(), &st), 0);
            EXPECT_EQ(uint64_t(st.st_size), cfg.blocks * 512);
            EXPECT_EQ(Scsi(d, BlockCdb(0x28, 16, 8), {}, 8 * 512).data, Pattern(8 * 512, 7));
            EXPECT_EQ(Scsi(d, BlockCdb(0x28, beyond, 8), {}, 8 * 512).data, Bytes(8 * 512, 0));
            // Room again: the write held off is taken.
            testing::internal::CaptureStderr();
            EXPECT_EQ(write(beyond, 6).r.status, 0);
            EXPECT_EQ(testing::internal::GetCapturedStderr(),
                      "controller: " + cfg.imagePath + ": room again: the drive takes its writes\n");
            EXPECT_EQ(Scsi(d, BlockCdb(0x28, beyond, 8), {}, 8 * 512).data, Pattern(8 * 512, 6));
            // An image cut short under the running drive reads as a failed medium.
            ASSERT_EQ(truncate(cfg.imagePath.c_str(), 1 << 20), 0);
            Io r = ata ? Ata(d, 0x25, beyond, 8, 0, {}, 8 * 512) : Scsi(d, BlockCdb(0x28, beyond, 8), {}, 8 * 512);
            ExpectSense(r.r, {3, 0x11, 0}, "read past the end of the image");
            unlink(cfg.imagePath.c_str());
    }
    }
}

// A test's medium with only so much room: full as a file system fills, the
// drive holds writes off; worn out, it fails them as a bad medium does.
TEST(DriveImage, ALimitedRoomHoldsWritesOffOrFailsThemAsAMedium) {
    for (const auto how : {sim::Drive::Refusal::NoRoom, sim::Drive::Refusal::MediumError}) {
        const bool noRoom = how == sim::Drive::Refusal::NoRoom;
        SCOPED_TRACE(noRoom ? "no room" : "medium");
        sim::Drive d(Settled());
        ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 0, 8), Pattern(8 * 512, 1)).r.status, 0);
        d.RefuseWritesAfter(8 * 512, how);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Scsi(d, BlockCdb(0x2A, 64, 8), Pattern(8 * 512, 2)).r.status, 0);   // the room left
        const Io refused = Scsi(d, BlockCdb(0x2A, 128, 8), Pattern(8 * 512, 3));
        EXPECT_EQ(Scsi(d, BlockCdb(0x2A, 0, 8), Pattern(8 * 512, 4)).r.status, 0);    // in place
        testing::internal::GetCapturedStderr();
        ExpectSense(refused.r, noRoom ? SenseCode{2, 0x04, 0x14} : SenseCode{3, 0x0C, 0}, "write past the room");
        d.RefuseWritesAfter(UINT64_MAX);
        EXPECT_EQ(Scsi(d, BlockCdb(0x2A, 128, 8), Pattern(8 * 512, 3)).r.status, 0);
        EXPECT_EQ(Scsi(d, BlockCdb(0x28, 128, 8), {}, 8 * 512).data, Pattern(8 * 512, 3));
    }
}

TEST(DriveAta, IdentifyDescribesCapacityFeaturesAndStrings) {
    sim::DriveConfig cfg = Settled();
    cfg.sata = true;
    cfg.blocks = 3'000'000'000ull;
    cfg.vendor = "SV";
    cfg.product = "3000SIM01";
    cfg.serial = "SIM0ABCD";
    cfg.revision = "R0C4";
    sim::Drive d(cfg);
    Io id = Ata(d, 0xEC, 0, 1, 0, {}, 512);
    ASSERT_EQ(id.r.status, 0);
    ASSERT_EQ(id.data.size(), 512u);
    auto word = [&](unsigned w) { return unsigned(id.data[2 * w] | id.data[2 * w + 1] << 8); };
    auto text = [&](unsigned first, unsigned words) {
        std::string s;
        for (unsigned w = first; w < first + words; ++w) {
            s += char(word(w) >> 8);
            s += char(word(w) & 0xFF);
        }
        return s;
    };
    EXPECT_EQ(text(27, 20), "SV 3000SIM01" + std::string(28, ' '));
    EXPECT_EQ(text(10, 10), "SIM0ABCD" + std::string(12, ' '));
    EXPECT_EQ(id.data[54], 'V');  // byte-swapped as on the wire
    uint64_t count = 0;
    for (unsigned i = 0; i < 4; ++i) count |= uint64_t(word(100 + i)) << (16 * i);
    EXPECT_EQ(count, cfg.blocks);
    EXPECT_EQ(word(60) | word(61) << 16, 0x0FFFFFFFu);
    EXPECT_TRUE(word(83) & 0x0400);  // 48-bit
    EXPECT_TRUE(word(82) & 0x0020);  // write cache supported
    EXPECT_TRUE(word(85) & 0x0020);  // and on
    EXPECT_TRUE(word(119) & 0x0004);  // WRITE UNCORRECTABLE EXT
    uint8_t sum = 0;
    for (uint8_t b : id.data) sum = uint8_t(sum + b);
    EXPECT_EQ(sum, 0);

    // SET FEATURES and the caching page show one write cache.
    ASSERT_EQ(Ata(d, 0xEF, 0, 0, 0x82).r.status, 0);
    id = Ata(d, 0xEC, 0, 1, 0, {}, 512);
    EXPECT_FALSE(word(85) & 0x0020);
    EXPECT_EQ(Pages(ModeSense6(d, 0x08))[0x08][2] & 0x04, 0);
    ASSERT_EQ(Ata(d, 0xEF, 0, 0, 0x02).r.status, 0);
    EXPECT_EQ(Pages(ModeSense6(d, 0x08))[0x08][2] & 0x04, 4);
}

TEST(DriveAta, CommandsAnswerWithTheirStatusRegisters) {
    struct Case {
        const char* name;
        bool sata;
        uint8_t command;
        uint64_t lba;
        uint16_t count, features;
        uint8_t status, error;
        uint64_t lbaOut;
        uint32_t transferred;
    } cases[] = {
        {"smart status", true, 0xB0, 0xC24F00, 0, 0xDA, 0x50, 0, 0xC24F00, 0},
        {"smart without signature", true, 0xB0, 0, 0, 0xDA, 0x51, 0x04, 0, 0},
        {"read error log", true, 0x2F, 0x07, 1, 0, 0x50, 0, 7, 512},
        {"read unknown log", true, 0x2F, 0x99, 1, 0, 0x51, 0x04, 0x99, 0},
        {"read past the end", true, 0x25, (1 << 16) - 1, 2, 0, 0x51, 0x10, (1 << 16) - 1, 0},
        {"unknown command", true, 0xFF, 0, 0, 0, 0x51, 0x04, 0, 0},
        {"uncorrectable with bad feature", true, 0x45, 0, 1, 0x00, 0x51, 0x04, 0, 0},
        {"ata to a sas drive", false, 0xEC, 0, 1, 0, 0x51, 0x04, 0, 0},
    };
    for (const Case& c : cases) {
        sim::DriveConfig cfg = Settled();
        cfg.sata = c.sata;
        cfg.blocks = 1 << 16;
        sim::Drive d(cfg);
        Io io = Ata(d, c.command, c.lba, c.count, c.features, {}, 4096);
        EXPECT_EQ(io.r.ataStatus, c.status) << c.name;
        EXPECT_EQ(io.r.ataError, c.error) << c.name;
        EXPECT_EQ(io.r.ataLba, c.lbaOut) << c.name;
        EXPECT_EQ(io.r.transferred, c.transferred) << c.name;
        EXPECT_EQ(io.r.status, c.status == 0x50 ? 0 : 2) << c.name;
    }
}

TEST(DriveAta, WriteUncorrectableFailsLaterReadsUntilRewritten) {
    sim::DriveConfig cfg = Settled();
    cfg.sata = true;
    sim::Drive d(cfg);
    ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 48, 4), Pattern(2048, 5)).r.status, 0);
    ASSERT_EQ(Ata(d, 0x45, 50, 1, 0xAA).r.ataStatus, 0x50);
    Io ata = Ata(d, 0x25, 48, 4, 0, {}, 2048);
    EXPECT_EQ(ata.r.ataStatus, 0x51);
    EXPECT_EQ(ata.r.ataError, 0x40);
    EXPECT_EQ(ata.r.ataLba, 50u);
    const Bytes written = Pattern(2048, 5);
    EXPECT_EQ(ata.data, Bytes(written.begin(), written.begin() + 1024));
    Io scsi = Scsi(d, BlockCdb(0x28, 49, 2), {}, 1024);
    ExpectSense(scsi.r, {3, 0x11, 0}, "scsi read");
    EXPECT_EQ(Get(scsi.r.sense, 3, 4), 50u);
    ASSERT_EQ(Ata(d, 0x35, 50, 1, 0, Bytes(512, 0x77)).r.status, 0);
    Io again = Ata(d, 0x25, 48, 4, 0, {}, 2048);
    EXPECT_EQ(again.r.status, 0);
    EXPECT_EQ(again.data[2 * 512], 0x77);
}

TEST(DriveMedia, LongWritesCorruptAndReassignOrRewriteRepairs) {
    sim::Drive d(Settled());
    ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 20, 2), Pattern(1024, 4)).r.status, 0);
    Bytes longWrite = {0x3F, 0, 0, 0, 0, 20, 0, 0x02, 0x00, 0};
    ASSERT_EQ(Scsi(d, longWrite, Bytes(512, 'i')).r.status, 0);
    ASSERT_EQ(Scsi(d, {0x3F, 0x40, 0, 0, 0, 21, 0, 0, 0, 0}).r.status, 0);  // uncorrectable, no data
    Io read = Scsi(d, BlockCdb(0x28, 20, 2), {}, 1024);
    ExpectSense(read.r, {3, 0x11, 0}, "after write long");
    EXPECT_EQ(Get(read.r.sense, 3, 4), 20u);
    Io raw = Scsi(d, {0x3E, 0, 0, 0, 0, 20, 0, 0x02, 0x00, 0}, {}, 512);
    EXPECT_EQ(raw.data, Bytes(512, 'i'));
    Bytes reassign = {0, 0, 0, 4, 0, 0, 0, 20};
    ASSERT_EQ(Scsi(d, {0x07, 0, 0, 0, 0, 0}, reassign).r.status, 0);
    ASSERT_EQ(Scsi(d, BlockCdb(0x2A, 21, 1), Bytes(512, 2)).r.status, 0);
    EXPECT_EQ(Scsi(d, BlockCdb(0x2F, 20, 2)).r.status, 0);
    Bytes outside = {0, 0, 0, 4, 0, 0x01, 0, 0};
    sim::DriveConfig small = Settled();
    small.blocks = 0x8000;
    sim::Drive s(small);
    ExpectSense(Scsi(s, {0x07, 0, 0, 0, 0, 0}, outside).r, {5, 0x21, 0}, "reassign past the end");
}

TEST(DriveLogs, SasDrivesGiveBothPortsAndEveryDriveItsTemperature) {
    for (bool sata : {false, true}) {
        sim::DriveConfig cfg = Settled();
        cfg.sata = sata;
        sim::Drive d(cfg);
        EXPECT_EQ(Scsi(d, {0x4D, 0, 0x4D, 0, 0, 0, 0, 0, 0xFF, 0}, {}, 255).data.at(9), 35);
        Io ports = Scsi(d, {0x4D, 0, 0x58, 0, 0, 0, 0, 0, 116, 0}, {}, 116);
        EXPECT_EQ(ports.data.size(), sata ? 0u : 116u);  // counters at 44 and 100
    }
}

}  // namespace

// A SATA drive takes microcode as DOWNLOAD MICROCODE, whole or at block
// offsets in order, and runs it only from its next power-on: a reset leaves
// it on the old revision.  A segment out of order is refused and the image
// gathered so far dropped.
TEST(DriveAta, DownloadedMicrocodeRunsFromTheNextPowerOnOnly) {
    sim::DriveConfig cfg = Settled();
    cfg.sata = true;
    cfg.product = "SIMSATA";
    sim::Drive d(cfg);
    const Bytes image = sim::Drive::BuildMicrocode("SIMSATA", "0002    ", 2048);
    const Bytes first(image.begin(), image.begin() + 1024), second(image.begin() + 1024, image.end());
    EXPECT_EQ(Ata(d, 0x92, 2, 2, 0x03, second).r.status, 2);
    EXPECT_EQ(Ata(d, 0x92, 0, 2, 0x03, first).r.status, 0);
    EXPECT_EQ(Ata(d, 0x92, 2, 2, 0x03, second).r.status, 0);
    d.Reset();
    EXPECT_EQ(d.Revision(), "0001");
    d.PowerOn();
    EXPECT_EQ(d.Revision(), "0002    ");
    // The whole image in one command.
    const Bytes third = sim::Drive::BuildMicrocode("SIMSATA", "0003    ", 1536);
    EXPECT_EQ(Ata(d, 0x92, 0, 3, 0x07, third).r.status, 0);
    d.PowerOn();
    EXPECT_EQ(d.Revision(), "0003    ");
}
