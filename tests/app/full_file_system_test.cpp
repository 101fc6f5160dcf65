// The controller program on a file system that really fills: its data
// directory on a small tmpfs of its own (mounted in a private mount
// namespace of the test's process, which the program inherits), filled by
// a file the test writes until the file system refuses more and freed by
// removing it.  A host writes over iSCSI while it is full: what was
// answered GOOD stays in the cache and reads back, new writes are refused
// TASK SET FULL, standard error says why; killed and started again while
// still full, the program keeps the cache and writes it out once room is
// made.  Nothing of the drive images' own mapping of the file system's
// answers is faked here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "app/raid5_data_dir.h"
#include "harness/iscsi_remote_host.h"
#include "config/config_image.h"
#include "hw/scsi.h"
#include "raid/drive_error_recovery.h"

namespace {

using iscsitest::RemoteHost;
using sim::iscsi::Pdu;
namespace iscsi = sim::iscsi;

constexpr uint32_t kBlock = 512;
constexpr uint64_t kDriveBytes = 64ull << 20;
// The bank (64 MiB), the NVRAM, the flash and the drives' kept blocks, with
// room to spare: the test fills what is left itself.
constexpr uint64_t kFileSystemBytes = 112ull << 20;
constexpr const char* kTarget = "iqn.2026-12.sim.array-controller:port1";
constexpr uint8_t kTaskSetFull = fw::SCSI_STATUS_TASK_SET_FULL;
const std::string kFullLine =
    ": the file system is full (No space left on device): the drive holds off the writes that need room, and the "
    "controller keeps them, until room is made\n";

bool WriteWhole(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

// This process in a mount namespace of its own, where mounts are private:
// as root, or else as root of a user namespace of its own.  Empty when it
// is; else why not.
std::string EnterOwnMountNamespace() {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWNS) != 0) {
        const std::string asRoot = std::strerror(errno);
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return "no mount namespace of its own: " + asRoot + "; nor in a user namespace: " + std::strerror(errno);
        }
        if (!WriteWhole("/proc/self/setgroups", "deny") ||
            !WriteWhole("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteWhole("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return std::string("cannot map the user namespace's ids: ") + std::strerror(errno);
        }
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("cannot make the mounts private: ") + std::strerror(errno);
    }
    return {};
}

class FullFileSystem : public apptest::ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        // The test needs a file system it may fill; where it cannot make
        // one the test fails, saying why, rather than pass unexercised.
        const std::string why = EnterOwnMountNamespace();
        ASSERT_EQ(why, "") << "this test mounts a small tmpfs: run it as root or where user namespaces are allowed";
        ASSERT_EQ(mkdir(Data().c_str(), 0755), 0);
        const std::string options = "size=" + std::to_string(kFileSystemBytes);
        ASSERT_EQ(mount("tmpfs", Data().c_str(), "tmpfs", 0, options.c_str()), 0) << std::strerror(errno);
        mounted = true;
    }
    void TearDown() override {
        program.reset();
        host.reset();
        if (mounted) umount(Data().c_str());
        ProgramTest::TearDown();
    }
    std::string Data() const { return m_dir + "/data"; }
    std::string Filler() const { return Data() + "/filler"; }

    // Fills what is left of the file system; the bytes it took.
    uint64_t Fill() {
        const int fd = open(Filler().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0) << std::strerror(errno);
        if (fd < 0) return 0;
        uint64_t taken = 0;
        std::vector<char> chunk(1 << 20, 'x');
        for (size_t size = chunk.size(); size >= 1;) {
            const ssize_t n = write(fd, chunk.data(), size);
            if (n > 0) {
                taken += uint64_t(n);
                continue;
            }
            EXPECT_EQ(errno, ENOSPC);
            size /= 2;
        }
        close(fd);
        return taken;
    }
    void MakeRoom() { ASSERT_EQ(unlink(Filler().c_str()), 0); }

    void Start() {
        program = std::make_unique<apptest::RunningController>(
            std::vector<std::string>{"--data-dir", Data(), "--drives", "4", "--drive-size", std::to_string(kDriveBytes),
                                     "--console-in", "/dev/null", "--iscsi", "127.0.0.1:0"},
            m_dir);
        port = program->PortalPort();
        ASSERT_NE(port, 0) << program->Errors();
    }
    // A host logged in past its unit attention; logins are refused until
    // the host ports are up, and an initiator asks again.
    void Connect() {
        for (int i = 0; i < 50 && !host; ++i) {
            host = Session(port);
            if (!host) program->Errors(100);
        }
        ASSERT_TRUE(host) << program->Errors();
    }
    static std::unique_ptr<RemoteHost> Session(uint16_t port) {
        auto h = std::make_unique<RemoteHost>(port);
        if (!h->connected || !h->LogInNormal({}, kTarget)) return nullptr;
        for (int i = 0; i < 3; ++i) {
            h->Send(h->Command(0x81, {0, 0, 0, 0, 0, 0}, 0));
            const Pdu r = h->Next();
            if (r.opcode() == iscsi::kScsiResponse && r.bhs[3] == 0) return h;
        }
        return nullptr;
    }
    // Writes of 16 blocks one after the other over blocks nothing holds
    // yet, until the controller has refused some: those answered GOOD are
    // recorded.
    void WriteUntilRefused() {
        std::mt19937 rng(7);
        unsigned refused = 0;
        for (uint32_t i = 0; i < 400 && refused < 3; ++i) {
            const uint32_t lba = 4096 + i * 64;
            std::vector<uint8_t> data(16 * kBlock);
            for (uint8_t& b : data) b = uint8_t(rng());
            const Pdu r = host->Write(iscsitest::Rw10(0x2A, lba, 16), data, 0);
            ASSERT_EQ(r.opcode(), iscsi::kScsiResponse) << program->Errors();
            if (r.bhs[3] == kTaskSetFull) {
                ++refused;
                continue;
            }
            ASSERT_EQ(r.bhs[3], 0) << "write " << lba;
            ASSERT_EQ(refused, 0u) << "a write taken while the drives hold writes off";
            for (uint32_t b = 0; b < 16; ++b) {
                reference[lba + b].assign(data.begin() + b * kBlock, data.begin() + (b + 1) * kBlock);
            }
        }
        ASSERT_EQ(refused, 3u) << "the full file system never showed";
        ASSERT_FALSE(reference.empty()) << "no write was taken before the refusals";
    }
    void ExpectReadBack() {
        for (auto it = reference.begin(); it != reference.end();) {
            const uint64_t first = it->first;
            uint32_t n = 0;
            for (auto j = it; j != reference.end() && j->first == first + n && n < 128; ++j) ++n;
            std::vector<uint8_t> data;
            ASSERT_EQ(host->Read(iscsitest::Rw10(0x28, uint32_t(first), uint16_t(n)), n * kBlock, &data).bhs[3], 0)
                << first;
            ASSERT_EQ(data.size(), n * kBlock);
            for (uint32_t i = 0; i < n; ++i, ++it) {
                ASSERT_TRUE(std::equal(it->second.begin(), it->second.end(), data.begin() + i * kBlock))
                    << "block " << first + i;
            }
        }
    }
    // Each drive image said its writes wait.
    bool EveryImageSaidItWaits(const std::string& errors) const {
        for (unsigned slot = 1; slot <= 4; ++slot) {
            const std::string image = Data() + "/drives/slot" + std::to_string(slot) + ".img";
            if (errors.find("controller: " + image + kFullLine) == std::string::npos) return false;
        }
        return true;
    }

    bool mounted = false;
    uint16_t port = 0;
    std::unique_ptr<apptest::RunningController> program;
    std::unique_ptr<RemoteHost> host;
    std::map<uint64_t, std::vector<uint8_t>> reference;
};

TEST_F(FullFileSystem, AcknowledgedWritesSurviveAFullFileSystemAndARestartOnIt) {
    apptest::PlaceArray(Data(), kDriveBytes, {"Raid5", fw::RAID_LEVEL_5, 4, 64, 0, true, 3 * 32768});
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_GT(Fill(), 0u);
    ASSERT_NO_FATAL_FAILURE(WriteUntilRefused());
    {
        SCOPED_TRACE("full");
        ExpectReadBack();
    }
    for (int i = 0; i < 100 && !EveryImageSaidItWaits(program->Errors()); ++i) program->Errors(100);
    EXPECT_TRUE(EveryImageSaidItWaits(program->Errors())) << program->Errors();

    // A power cut while it is full, and a start on the full file system:
    // the replay of the kept cache meets it too.
    program->Kill();
    host.reset();
    ASSERT_NO_FATAL_FAILURE(Start());
    for (int i = 0; i < 300 && !EveryImageSaidItWaits(program->Errors()); ++i) program->Errors(100);
    EXPECT_TRUE(EveryImageSaidItWaits(program->Errors())) << program->Errors();
    ASSERT_TRUE(program->Alive()) << program->Errors();

    MakeRoom();
    ASSERT_NO_FATAL_FAILURE(Connect());
    {
        SCOPED_TRACE("room again after the restart");
        ExpectReadBack();
    }
    EXPECT_NE(program->Errors().find(": room again: the drive takes its writes\n"), std::string::npos)
        << program->Errors();
    EXPECT_EQ(program->Stop(), 0);
    const std::vector<int> events = apptest::LoggedEventsIn(Data());
    EXPECT_NE(std::find(events.begin(), events.end(), fw::EVENT_DRIVE_OUT_OF_SPACE), events.end());
    EXPECT_EQ(std::find(events.begin(), events.end(), 101), events.end()) << "cached data reported lost";
}

}  // namespace
