// Firmware files sent to the controller program's console by a standard
// XMODEM sender, lrzsz's `sx`, as an operator's terminal program sends them:
// a drive firmware file, an I/O module image and the controller's own image,
// in 128- and 1024-byte blocks, one block damaged on the line, and a send
// the operator cancels.  The program runs on the wall clock: the sender's
// timing is a real one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "app/terminal_run.h"
#include "enclosure/io_module_firmware.h"
#include "harness/firmware_files.h"
#include "hw/flash.h"
#include "sim/flash.h"
#include "sim/io_module_download.h"

namespace {

using apptest::TerminalRun;

constexpr char kAck = 0x06, kNak = 0x15;
const std::string kPrompt = "Please Select Option: ";
const std::string kAnyKey = "Press any key to continue...";

// What happened on the line during one send.
struct Send {
    int status = -1;        // sx's exit status (-1: it did not end)
    // Blocks the controller asked for again: NAKs once a block was taken.
    // The requests before the first block are not counted: on a loaded
    // machine the board may catch up on the wall clock and send several of
    // them before sx answers one.
    unsigned naks = 0;
    unsigned acks = 0;
    long sent = 0;          // bytes sx sent
};

struct LineFault {
    long flipByte = -1;           // this byte of what sx sends arrives damaged (-1: none)
    unsigned interruptAfterAcks = 0;   // the operator stops sx once this many blocks are in (0: never)
    // sx starts only once the controller asks with NAK, the request of a
    // receiver that wants the checksum form: what came before never
    // reaches it.
    bool startAtNak = false;
};

// Runs `sx` on the file with the program's terminal as its line: what sx
// writes goes to the controller, what the controller answers to sx (and to
// the screen record).  The relay is the line, so it can damage a byte.
Send SendWithSx(TerminalRun& t, const std::string& path, bool longBlocks, const LineFault& fault = {}) {
    int toSx[2], fromSx[2];
    Send r;
    if (pipe(toSx) != 0 || pipe(fromSx) != 0) return r;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(toSx[0], STDIN_FILENO);
        dup2(fromSx[1], STDOUT_FILENO);
        freopen("/dev/null", "w", stderr);
        close(toSx[1]);
        close(fromSx[0]);
        if (longBlocks) {
            execlp("sx", "sx", "-q", "-k", path.c_str(), static_cast<char*>(nullptr));
        } else {
            execlp("sx", "sx", "-q", path.c_str(), static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    close(toSx[0]);
    close(fromSx[1]);
    long sent = 0;
    bool interrupted = false;
    bool started = !fault.startAtNak;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p[2] = {{t.fd(), POLLIN, 0}, {fromSx[0], POLLIN, 0}};
        if (poll(p, 2, 200) <= 0) continue;
        char buffer[4096];
        if (p[1].revents != 0) {
            const ssize_t n = read(fromSx[0], buffer, sizeof buffer);
            if (n <= 0) break;   // sx is done
            if (fault.flipByte >= sent && fault.flipByte < sent + n) buffer[fault.flipByte - sent] ^= 0x20;
            sent += n;
            if (write(t.fd(), buffer, size_t(n)) != n) break;
        }
        if (p[0].revents != 0) {
            const ssize_t n = read(t.fd(), buffer, sizeof buffer);
            if (n <= 0) break;
            t.Record(std::string(buffer, size_t(n)));
            ssize_t from = 0;
            if (!started) {
                const char* nak = static_cast<const char*>(std::memchr(buffer, kNak, size_t(n)));
                if (nak == nullptr) continue;
                started = true;
                from = nak - buffer;
            }
            for (ssize_t i = from; i < n; ++i) {
                if (buffer[i] == kNak && r.acks != 0) ++r.naks;
                if (buffer[i] != kAck) continue;
                ++r.acks;
                // The operator gives up while sx waits for this ACK: it
                // never sees it, and tells the receiver it cancels.
                if (fault.interruptAfterAcks != 0 && r.acks == fault.interruptAfterAcks && !interrupted) {
                    interrupted = true;
                    kill(pid, SIGINT);
                }
            }
            if (!interrupted && write(toSx[1], buffer + from, size_t(n - from)) != n - from) break;
        }
    }
    r.sent = sent;
    close(toSx[1]);
    close(fromSx[0]);
    // sx closes its line as it exits; a stuck one is ended.
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) poll(nullptr, 0, 50);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return r;
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

class ConsoleXmodem : public apptest::ProgramTest {
protected:
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    std::streamsize(bytes.size()));
        return path;
    }
    // The program on the wall clock, with two small drives.
    std::vector<std::string> Options() const { return {"--drives", "2", "--drive-size", "67108864"}; }
};

#define TYPE(keys, text) ASSERT_TRUE(t.Type(keys, text)) << t.Tail()
#define MENU(keys, text) \
    TYPE(keys, text);    \
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail()

// The slot the boot ROM starts from in a flash file: the newest whole record.
int BootSlotIn(const std::vector<uint8_t>& flash) {
    int best = -1;
    uint32_t newest = 0;
    for (int slot = 0; slot < int(fw::FLASH_SLOTS); ++slot) {
        fw::FLASH_SLOT_RECORD r;
        std::memcpy(&r, flash.data() + slot * fw::FLASH_SLOT_SIZE + fw::FLASH_SLOT_RECORD_OFFSET, sizeof r);
        if (r.dMagic != fw::FLASH_SLOT_MAGIC || r.dRecordCheck != ~(r.dMagic ^ r.dSequence ^ r.dImageLength ^ r.dImageChecksum)) {
            continue;
        }
        if (best < 0 || r.dSequence > newest) best = slot, newest = r.dSequence;
    }
    return best;
}

// Drive firmware in short blocks with one damaged on the line (the block is
// sent again), the same from a sender that found the controller asking for
// the checksum form, an I/O module image in long blocks, and a drive file
// whose send the operator interrupts: each ends as its menu says.
TEST_F(ConsoleXmodem, DriveAndIoModuleFilesArriveFromAStandardSender) {
    // Files whose last byte is no filler byte: XMODEM cannot tell those apart.
    std::vector<uint8_t> drive = harness::DriveFirmwareFile("SIMVEND", "SIMDISK", "B002", {{3000, 1024}});
    ASSERT_NE(drive.back(), 0x1A);
    std::vector<uint8_t> io(fw::IO_MODULE_HEADER_BYTES, 0);
    std::memcpy(io.data(), fw::IO_MODULE_SIGNATURE, fw::IO_MODULE_SIGNATURE_BYTES);
    std::memcpy(io.data() + 40, "0300", 4);
    const std::vector<uint8_t> image = sim::IoModuleDownload::BuildImage("IOMD", "0300", 2500);
    io.insert(io.end(), image.begin(), image.end());
    ASSERT_NE(io.back(), 0x1A);
    const std::string drivePath = Write("drive.fw", drive), ioPath = Write("io.fw", io);

    TerminalRun t(m_dir, Options(), apptest::Clock::Wall);
    ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
    MENU("\x05", "Main Menu (C0)");
    MENU("2\r", "Diagnostics Menu");
    MENU("2\r", "Online Diagnostics Menu");
    MENU("2\r", "Drive Maintenance Menu");
    TYPE("1\r", "Start Drive Firmware Download");
    const Send damaged = SendWithSx(t, drivePath, false, LineFault{5 * 133 + 40});
    EXPECT_EQ(damaged.status, 0);
    EXPECT_EQ(damaged.naks, 1u);   // the damaged block, asked for once more
    EXPECT_EQ(damaged.acks, (drive.size() + 127) / 128 + 1);   // every block and the end
    ASSERT_TRUE(t.WaitFor("Drive Firmware Transfer Complete, " + std::to_string(drive.size()) + " bytes")) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail();
    // The buffer holds the file: the menu shows what it is for.
    TYPE(" ", "Current Buffer Contents:");
    ASSERT_TRUE(t.WaitFor("SIMVEND  SIMDISK")) << t.Tail();
    ASSERT_TRUE(t.WaitFor("B002")) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();

    // A sender that comes to the line after the controller has given up
    // asking for CRC blocks: it sees the NAK, sends its blocks with the
    // checksum (132 bytes a block, not 133) and they are taken.
    TYPE("1\r", "Start Drive Firmware Download");
    const Send checksum = SendWithSx(t, drivePath, false, LineFault{-1, 0, true});
    EXPECT_EQ(checksum.status, 0);
    EXPECT_EQ(checksum.naks, 0u);
    // The blocks and the EOT (the first block perhaps more than once, for
    // requests sx found waiting).
    const long blocks = long((drive.size() + 127) / 128);
    EXPECT_EQ((checksum.sent - 1) % 132, 0) << checksum.sent;
    EXPECT_GE((checksum.sent - 1) / 132, blocks);
    ASSERT_TRUE(t.WaitFor("Drive Firmware Transfer Complete, " + std::to_string(drive.size()) + " bytes")) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail();
    TYPE(" ", "Current Buffer Contents:");
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();

    // Interrupted: sx sends its cancel, the receive ends without a file.
    TYPE("1\r", "Start Drive Firmware Download");
    const Send interrupted = SendWithSx(t, drivePath, true, LineFault{-1, 2});
    EXPECT_NE(interrupted.status, 0);
    ASSERT_TRUE(t.WaitFor("Xmodem Transfer Error")) << t.Tail();
    ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail();
    TYPE(" ", "No Valid Drive Firmware in Buffer");
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.Tail();

    MENU("0\r", "Online Diagnostics Menu");
    MENU("0\r", "Diagnostics Menu");
    MENU("1\r", "Offline Diagnostics Menu");
    MENU("4\r", "Disk IO Module Maintenance Menu");
    TYPE("3\r", "Start Disk IO Module Firmware Download");
    const Send module = SendWithSx(t, ioPath, true);
    EXPECT_EQ(module.status, 0);
    EXPECT_EQ(module.naks, 0u);
    ASSERT_TRUE(t.WaitFor("Disk IO Module Firmware Transfer Complete, " + std::to_string(io.size()) + " bytes"))
        << t.Tail();
    ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail();
}

// The build's controller image (what the README sends) in long blocks is
// programmed into the other flash slot, which the next start would run; the
// controller records it at once, so losing it with the flash file is said
// at the next start.
TEST_F(ConsoleXmodem, TheBuildsControllerImageFromAStandardSenderStartsNext) {
    std::ifstream file(CONTROLLER_IMAGE, std::ios::binary);
    const std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The image a new flash comes with, which the firmware takes as its own.
    ASSERT_EQ(image, sim::Flash::FactoryImage());
    const std::string path = CONTROLLER_IMAGE;
    {
        TerminalRun t(m_dir, Options(), apptest::Clock::Wall);
        ASSERT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
        MENU("\x05", "Main Menu (C0)");
        MENU("2\r", "Diagnostics Menu");
        MENU("2\r", "Online Diagnostics Menu");
        MENU("1\r", "Controller Firmware Menu");
        TYPE("1\r", "Start Controller Firmware Download");
        const Send s = SendWithSx(t, path, true);
        EXPECT_EQ(s.status, 0);
        EXPECT_EQ(s.naks, 0u);
        // The image with the filler of its last block: sx sends the tail
        // that no longer fills a long block in short ones.
        const size_t padded = (image.size() + 127) / 128 * 128;
        ASSERT_TRUE(t.WaitFor("Download Completed, " + std::to_string(padded) + " Bytes")) << t.Tail();
        ASSERT_TRUE(t.WaitFor("Valid Firmware File")) << t.Tail();
        ASSERT_TRUE(t.WaitFor("Flash Programming Complete")) << t.Tail();
        ASSERT_TRUE(t.WaitFor(kAnyKey)) << t.Tail();
    }
    std::ifstream in(m_dir + "/flash.bin", std::ios::binary);
    const std::vector<uint8_t> flash((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(flash.size(), fw::FLASH_SIZE);
    ASSERT_EQ(BootSlotIn(flash), 1);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + fw::FLASH_SLOT_SIZE));
    // The flash file lost before the new image ever started: the controller
    // knew of the update and says it is gone as it comes up.
    ASSERT_EQ(unlink((m_dir + "/flash.bin").c_str()), 0);
    TerminalRun t(m_dir, Options(), apptest::Clock::Wall);
    EXPECT_TRUE(t.WaitFor("Controller Firmware Update Lost, Older Image Started")) << t.Tail();
    EXPECT_TRUE(t.WaitFor("Initialization Complete")) << t.Tail();
}

}  // namespace
