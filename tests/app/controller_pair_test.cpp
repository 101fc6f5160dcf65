// The controller program running a pair (--controllers 2): Controller 0's
// console on standard output, Controller 1's on the pseudo-terminal the
// program names, hosts on both through the iSCSI portal, and a power cut of
// one (kill -USR1) with writes on their way: every write a host was told
// was done reads back through the survivor.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "harness/iscsi_remote_host.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "system/config_copy.h"
#include "system/road_config.h"

namespace {

using iscsitest::Cdb16;
using iscsitest::RemoteHost;
using sim::iscsi::Pdu;
namespace iscsi = sim::iscsi;

constexpr uint64_t kMiB = 1u << 20;
constexpr uint64_t kDriveBytes = 64 * kMiB;
constexpr const char* kPrefix = "iqn.2026-12.sim.array-controller:";

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Bad options and files of a pair refuse the run before anything is made.
class PairSetup : public apptest::ProgramTest {};

TEST_F(PairSetup, ABadControllerCountIsRefusedAndNothingIsMade) {
    for (const char* count : {"0", "3", "two", ""}) {
        const apptest::ProgramRun run =
            apptest::RunController({"--data-dir", m_dir + "/data", "--controllers", count, "--virtual-time"});
        EXPECT_EQ(run.status, 2) << count;
        EXPECT_EQ(run.errors, "controller: --controllers is 1 or 2\n") << count;
        struct stat st {};
        EXPECT_NE(stat((m_dir + "/data").c_str(), &st), 0) << count;
    }
}

TEST_F(PairSetup, ASecondNvramOfTheWrongSizeIsRefusedAndLeftAsItWas) {
    ASSERT_EQ(mkdir((m_dir + "/data").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((m_dir + "/data/controller1").c_str(), 0755), 0);
    const std::string nvram = m_dir + "/data/controller1/nvram.bin";
    { std::ofstream(nvram) << "short"; }
    const apptest::ProgramRun run = apptest::RunController(
        {"--data-dir", m_dir + "/data", "--controllers", "2", "--virtual-time", "--stop-after", "10"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.errors.find(nvram), std::string::npos) << run.errors;
    EXPECT_EQ(Slurp(nvram), "short");
    // Neither Controller 0's files nor the drives were made.
    struct stat st {};
    EXPECT_NE(stat((m_dir + "/data/nvram.bin").c_str(), &st), 0);
    EXPECT_NE(stat((m_dir + "/data/drives").c_str(), &st), 0);
}

// Without a pseudo-terminal for Controller 1's console (here the program
// runs out of file descriptors as it opens one) the run is refused before
// anything is made on disk.
TEST_F(PairSetup, NoPseudoTerminalForTheSecondConsoleIsRefusedAndNothingIsMade) {
    const apptest::ProgramRun run = apptest::RunController(
        {"--data-dir", m_dir + "/data", "--controllers", "2", "--virtual-time", "--stop-after", "10"}, -1, [] {
            // Standard input, output and error, and one more: the
            // terminal's first side opens, its second cannot.  What the
            // test runner left open goes first.
            for (int fd = 3; fd < 1024; ++fd) close(fd);
            const rlimit sLimit{4, 4};
            setrlimit(RLIMIT_NOFILE, &sLimit);
        });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors.rfind("controller: no pseudo-terminal for Controller 1's console: ", 0), 0u) << run.errors;
    struct stat st {};
    EXPECT_NE(stat((m_dir + "/data").c_str(), &st), 0);
}

// A pair on the wall clock with a RAID 5 array, cached and mirrored.
class ControllerPair : public apptest::ProgramTest {
protected:
    void SetUp() override {
        apptest::ProgramTest::SetUp();
        MakeArray();
        program = std::make_unique<apptest::RunningController>(
            std::vector<std::string>{"--data-dir", m_dir + "/data", "--drives", "4", "--drive-size",
                                     std::to_string(kDriveBytes), "--console-in", "/dev/null", "--iscsi",
                                     "127.0.0.1:0", "--controllers", "2"},
            m_dir);
        port = program->PortalPort();
        ASSERT_NE(port, 0) << program->Errors();
        ASSERT_TRUE(OpenSecondConsole()) << program->Errors();
        ASSERT_TRUE(program->WaitForConsole("Initialization Complete")) << program->Errors();
        ASSERT_TRUE(WaitForSecondConsole("Initialization Complete")) << second;
    }
    void TearDown() override {
        if (console >= 0) close(console);
        EXPECT_EQ(program->Stop(), 0) << program->Errors();
        apptest::ProgramTest::TearDown();
    }
    void MakeArray() {
        sim::ChassisOptions o;
        o.drives = 4;
        o.driveBytes = kDriveBytes;
        o.directory = m_dir + "/data";
        sim::Chassis chassis(o);
        const uint64_t own = 0x200000A55A000000ull | (sim::BoardConfig().wwn & 0xFFFFFFull);
        std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, {"PAIR", fw::RAID_LEVEL_5, 4, 64}, own);
        copytest::Image(ab)->asRank[0].bCachePolicy = fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= 4; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
    }
    // The terminal the program named for Controller 1's console.
    bool OpenSecondConsole() {
        const std::string mark = "controller: Controller 1 console on ";
        for (int i = 0; i < 100; ++i) {
            const std::string& errors = program->Errors();
            const size_t at = errors.find(mark);
            const size_t end = at == std::string::npos ? at : errors.find('\n', at);
            if (end != std::string::npos) {
                const std::string name = errors.substr(at + mark.size(), end - at - mark.size());
                console = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
                return console >= 0;
            }
            program->Errors(300);
        }
        return false;
    }
    // Reads Controller 1's console until it has printed `text` (half a
    // minute at most, while the program runs).
    bool WaitForSecondConsole(const std::string& text) {
        for (int i = 0; i < 300 && program->Alive(); ++i) {
            char buffer[4096];
            for (ssize_t n; (n = read(console, buffer, sizeof buffer)) > 0;) second.append(buffer, size_t(n));
            if (second.find(text) != std::string::npos) return true;
            program->Errors(100);
        }
        return false;
    }
    // A session to the target named, past its unit attentions: null when
    // the target did not serve it (the program is given some time to).
    std::unique_ptr<RemoteHost> Session(const std::string& target, uint8_t qualifier) {
        for (int attempt = 0; attempt < 60; ++attempt) {
            auto h = std::make_unique<RemoteHost>(port);
            h->isidQualifier = qualifier;
            if (h->connected &&
                h->LogInNormal({{"MaxRecvDataSegmentLength", "262144"}, {"ImmediateData", "Yes"},
                                {"InitialR2T", "No"}, {"FirstBurstLength", "262144"}},
                               kPrefix + target)) {
                for (int i = 0; i < 20; ++i) {
                    const Pdu tur = h->Command(0x81, {0, 0, 0, 0, 0, 0}, 0);
                    h->Send(tur);
                    const Pdu r = Answer(*h, tur.InitiatorTaskTag(), nullptr);
                    if (r.opcode() == iscsi::kScsiResponse && r.bhs[3] == 0) return h;
                    program->Errors(50);
                }
            }
            program->Errors(250);
        }
        return nullptr;
    }

    // The status of the command with this tag, its read data gathered;
    // whatever else the portal sends on the way (a ping, a late answer) is
    // passed over.
    // The next PDU, or an empty one when nothing comes in the host's wait:
    // a controller still starting or taking its partner's work over may
    // not answer yet, and the callers ask again.
    static Pdu NextOrNothing(RemoteHost& h) {
        while (h.in.empty() && h.Await()) h.Drain();
        if (h.in.empty()) return Pdu{};
        Pdu p = std::move(h.in.front());
        h.in.pop_front();
        return p;
    }
    static Pdu Answer(RemoteHost& h, uint32_t tag, std::vector<uint8_t>* data) {
        for (;;) {
            Pdu p = NextOrNothing(h);
            if (h.closed || (p.opcode() == 0 && p.InitiatorTaskTag() == 0)) return p;   // nothing came
            if (p.InitiatorTaskTag() != tag) continue;
            if (p.opcode() == iscsi::kDataIn) {
                if (data) data->insert(data->end(), p.data.begin(), p.data.end());
                if (!(p.bhs[1] & 0x01)) continue;
            }
            return p;
        }
    }
    static Pdu Read(RemoteHost& h, std::vector<uint8_t> cdb, uint32_t length, std::vector<uint8_t>* data) {
        const Pdu c = h.Command(0xC1, std::move(cdb), length);
        h.Send(c);
        return Answer(h, c.InitiatorTaskTag(), data);
    }
    bool WaitForErrors(const std::string& text) {
        for (int i = 0; i < 300; ++i) {
            if (program->Errors(100).find(text) != std::string::npos) return true;
        }
        return false;
    }

    std::unique_ptr<apptest::RunningController> program;
    uint16_t port = 0;
    int console = -1;
    std::string second;   // what Controller 1's console printed
};

// Both consoles come up paired and take keys; the portal offers all four
// host ports and each controller serves the logical drive.
TEST_F(ControllerPair, BothConsolesAndEveryHostPortServe) {
    EXPECT_TRUE(program->WaitForConsole("....Present")) << Slurp(m_dir + "/controller.out");
    EXPECT_TRUE(WaitForSecondConsole("....Present")) << second;
    // Keys typed on Controller 1's terminal reach its console.
    ASSERT_EQ(write(console, "\x05", 1), 1);
    EXPECT_TRUE(WaitForSecondConsole("Main Menu")) << second;

    RemoteHost discovery(port);
    ASSERT_TRUE(discovery.connected);
    const Pdu login =
        discovery.Login(0x87, {{"InitiatorName", "iqn.2026-01.host:one"}, {"SessionType", "Discovery"}});
    ASSERT_EQ(login.U16(36), 0);
    discovery.Send(discovery.SendTargets("All"));
    const Pdu targets = discovery.Next();
    const std::string text(targets.data.begin(), targets.data.end());
    for (const char* t : {"port1", "port2", "c1-port1", "c1-port2"}) {
        EXPECT_NE(text.find(std::string("TargetName=") + kPrefix + t + '\0'), std::string::npos) << t << "\n" << text;
    }

    for (const char* t : {"port1", "c1-port2"}) {
        auto h = Session(t, 1);
        ASSERT_TRUE(h) << t << "\n" << program->Errors();
        std::vector<uint8_t> data;
        EXPECT_EQ(Read(*h, iscsitest::Rw10(0x28, 0, 8), 8 * 512, &data).bhs[3], 0) << t;
        EXPECT_EQ(data.size(), 8 * 512u) << t;
    }
}

// Writes stream to Controller 1 as its power is cut: each one it answered
// GOOD reads back through Controller 0, which served on alone.
TEST_F(ControllerPair, EveryWriteAcknowledgedBeforeAPowerCutReadsBackThroughTheSurvivor) {
    auto writer = Session("c1-port1", 1);
    ASSERT_TRUE(writer) << program->Errors();
    struct Write {
        uint64_t lba;
        std::vector<uint8_t> data;
        bool good = false;
    };
    std::map<uint32_t, Write> writes;   // by task tag
    constexpr unsigned kBlocks = 16;
    auto send = [&](unsigned i) {
        Write w{uint64_t(i) * 200 + i % 7, std::vector<uint8_t>(kBlocks * 512)};
        for (size_t b = 0; b < w.data.size(); ++b) w.data[b] = uint8_t(b * 13 + i * 101 + (b >> 9));
        const Pdu c = writer->Command(0xA1, Cdb16(0x8A, w.lba, kBlocks), uint32_t(w.data.size()), w.data);
        writes.emplace(c.InitiatorTaskTag(), std::move(w));
        writer->SendOnly(c);
    };
    // Taken as a host that reads only the status byte would: a write the
    // cut ended must get no SCSI Response at all (the connection just
    // ends), for any response would read as GOOD to such a host.
    auto take = [&](const Pdu& p) {
        auto it = writes.find(p.InitiatorTaskTag());
        if (p.opcode() == iscsi::kScsiResponse && it != writes.end()) it->second.good = p.bhs[3] == 0;
    };
    // Some answered before the cut, more on their way as it comes.
    for (unsigned i = 0; i < 8; ++i) {
        send(i);
        take(writer->Next());
    }
    for (unsigned i = 8; i < 40; ++i) send(i);
    writer->waitMs = 0;
    for (int i = 0; i < 4 && writer->Await(); ++i) writer->Drain();
    ASSERT_EQ(kill(program->Pid(), SIGUSR1), 0);
    // What arrives before the line goes quiet.
    writer->waitMs = 1000;
    while (writer->Await()) writer->Drain();
    for (const Pdu& p : writer->in) take(p);
    ASSERT_TRUE(WaitForErrors("Controller 1 power off"));

    auto reader = Session("port1", 2);
    ASSERT_TRUE(reader) << program->Errors() << Slurp(m_dir + "/controller.out");
    unsigned good = 0;
    for (const auto& [tag, w] : writes) {
        if (!w.good) continue;
        ++good;
        std::vector<uint8_t> data;
        Pdu r;
        // The survivor may still be taking its partner's work over.
        for (int i = 0; i < 40; ++i) {
            data.clear();
            r = Read(*reader, Cdb16(0x88, w.lba, kBlocks), kBlocks * 512, &data);
            if (r.bhs[3] == 0) break;
            program->Errors(250);
        }
        ASSERT_EQ(r.bhs[3], 0) << "read of " << w.lba;
        EXPECT_TRUE(data == w.data) << "write at " << w.lba << " acknowledged, then lost with its controller: read "
                                    << data.size() << " bytes, first " << int(data.empty() ? -1 : data[0]) << " not "
                                    << int(w.data[0]);
    }
    EXPECT_GE(good, 8u);
}

// A data directory a pair ran on, started with one controller, says so on
// standard error, with the two ways on; switched to a single controller (the
// configuration on the drives in single-controller mode), it starts without
// a word of it.
TEST_F(ControllerPair, ADataDirectoryLastRunAsAPairStartedAloneSaysHowToGoOn) {
    const std::string line =
        "controller: this data directory holds a pair's configuration: run it with --controllers 2, or switch it "
        "to a single controller (Configuration, Additional Configuration, Set Single Controller Mode)\n";
    EXPECT_EQ(program->Errors().find("pair's configuration"), std::string::npos) << program->Errors();
    const std::vector<std::string> alone{"--data-dir", m_dir + "/data", "--console-in", "/dev/null"};
    // Each run writes its console afresh: the last run's is no answer.
    const auto startAlone = [&] {
        EXPECT_EQ(program->Stop(), 0) << program->Errors();
        std::remove((m_dir + "/controller.out").c_str());
        program = std::make_unique<apptest::RunningController>(alone, m_dir);
    };
    startAlone();
    ASSERT_TRUE(program->WaitForConsole("Initialization Complete")) << program->Errors();
    const std::string& errors = program->Errors();
    const size_t at = errors.find(line);
    EXPECT_NE(at, std::string::npos) << errors;
    EXPECT_EQ(errors.find(line, at + 1), std::string::npos) << errors;

    // Switched to a single controller: the newest copy on the drives says so.
    ASSERT_EQ(program->Stop(), 0) << program->Errors();
    {
        sim::ChassisOptions o;
        o.drives = 4;
        o.driveBytes = kDriveBytes;
        o.directory = m_dir + "/data";
        sim::Chassis chassis(o);
        std::vector<uint8_t> ab(fw::CONFIG_IMAGE_SIZE);
        sim::Drive& first = *chassis.DriveAt(1);
        first.ReadBlocks(first.config().blocks - 1 - copytest::kCopyBlocksBeforeEnd, fw::CONFIG_IMAGE_SIZE / 512,
                         ab.data());
        ASSERT_EQ(copytest::Image(ab)->sHeader.dMagic, fw::CONFIG_MAGIC);
        copytest::Image(ab)->sHeader.fSingleControllerMode = fw::TRUE;
        ++copytest::Image(ab)->sHeader.dGeneration;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= 4; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
    }
    startAlone();
    ASSERT_TRUE(program->WaitForConsole("Initialization Complete")) << program->Errors();
    EXPECT_EQ(program->Errors().find("pair's configuration"), std::string::npos) << program->Errors();
}

}  // namespace
