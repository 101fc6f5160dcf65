// The controller program given bad files and bad input: it refuses with the
// path and the reason, never destroys a user's file, never hangs, and leaves
// the terminal as it found it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "hw/flash.h"

namespace {

using apptest::ProgramRun;
using apptest::RunController;

// A pseudo-terminal for the program's standard input.
class Terminal {
public:
    Terminal() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(m_master, 0);
        EXPECT_EQ(grantpt(m_master), 0);
        EXPECT_EQ(unlockpt(m_master), 0);
        m_slave = open(ptsname(m_master), O_RDWR | O_NOCTTY);
        EXPECT_GE(m_slave, 0);
        EXPECT_EQ(tcgetattr(m_slave, &m_before), 0);
    }
    ~Terminal() {
        close(m_slave);
        close(m_master);
    }
    int fd() const { return m_slave; }
    void Type(const std::string& keys) { EXPECT_EQ(write(m_master, keys.data(), keys.size()), ssize_t(keys.size())); }
    // The terminal's modes are what they were before the program ran.
    bool AsItWas() const {
        termios now{};
        if (tcgetattr(m_slave, &now) != 0) return false;
        return now.c_iflag == m_before.c_iflag && now.c_oflag == m_before.c_oflag &&
               now.c_cflag == m_before.c_cflag && now.c_lflag == m_before.c_lflag &&
               std::memcmp(now.c_cc, m_before.c_cc, sizeof now.c_cc) == 0;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    termios m_before{};
};

class ControllerSetup : public apptest::ProgramTest {
protected:
    void WriteFile(const std::string& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};

// Each broken data directory ends the run with status 1 before the board
// starts, naming the path at fault; the terminal is untouched.
TEST_F(ControllerSetup, RefusesADataDirectoryItCannotUse) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> prepare;
        std::string options;
        const char* path;   // what the message names, below the data directory
    };
    const std::vector<Case> cases = {
        {"drive image is a directory", [](const std::string& d) { mkdir((d + "/drives").c_str(), 0755);
                                                                   mkdir((d + "/drives/slot1.img").c_str(), 0755); },
         "", "/drives/slot1.img: "},
        {"drives is a file", [this](const std::string& d) { WriteFile(d + "/drives", "x"); }, "", "/drives: "},
        {"drive size refused by the file system", [](const std::string&) {}, "--drive-size 0x100000000000000",
         "/drives/slot1.img: "},
        {"NVRAM is a directory", [](const std::string& d) { mkdir((d + "/nvram.bin").c_str(), 0755); }, "",
         "/nvram.bin: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = m_dir + "/" + std::to_string(&c - cases.data());
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        c.prepare(dir);
        Terminal terminal;
        ProgramRun run = RunController("--virtual-time --stop-after 10 " + c.options + " --data-dir " + dir,
                                       terminal.fd());
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.errors.rfind("controller: " + dir + c.path, 0), 0u) << run.errors;
        EXPECT_EQ(run.output, "");
        EXPECT_TRUE(terminal.AsItWas());
    }

    WriteFile(m_dir + "/plain", "a user's file");
    ProgramRun run = RunController("--virtual-time --data-dir " + m_dir + "/plain");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "controller: " + m_dir + "/plain: not a directory\n");
    EXPECT_EQ(ReadFile(m_dir + "/plain"), "a user's file");
}

// A file of another size in the NVRAM's place is somebody's: left as it is.
TEST_F(ControllerSetup, NeverCutsAFileOfTheWrongSizeToAnNvram) {
    const std::string mine(1 << 20, 'u');
    WriteFile(m_dir + "/nvram.bin", mine);
    ProgramRun run = RunController("--virtual-time --stop-after 10 --data-dir " + m_dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.errors.find(m_dir + "/nvram.bin: not an NVRAM image"), std::string::npos) << run.errors;
    EXPECT_EQ(ReadFile(m_dir + "/nvram.bin"), mine);
}

// A first run cut short while making the factory image leaves, at worst, a
// half-made temporary file: the next run makes the image anew, WWN and all.
TEST_F(ControllerSetup, MakesTheFactoryImageWholeOrNotAtAll) {
    WriteFile(m_dir + "/nvram.bin.new", std::string(4096, '\0'));
    ProgramRun run = RunController("--virtual-time --stop-after 10 --data-dir " + m_dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ReadFile(m_dir + "/nvram.bin").size(), 512u * 1024);
    // The board found its factory WWN.
    EXPECT_NE(run.output.find("Controller WWN:20 00 00 a5 5a a0 00 01\r\n"), std::string::npos);
    struct stat st {};
    EXPECT_NE(stat((m_dir + "/nvram.bin.new").c_str(), &st), 0);
}

// The lock is the data directory itself, which no file removed from it
// lets go: a second controller is refused while the first runs, and starts
// once the first has ended.
TEST_F(ControllerSetup, OneControllerPerDataDirectory) {
    int fromFirst[2];
    ASSERT_EQ(pipe(fromFirst), 0);
    const pid_t first = fork();
    ASSERT_GE(first, 0);
    if (first == 0) {
        dup2(fromFirst[1], STDOUT_FILENO);
        close(fromFirst[0]);
        execl(CONTROLLER_PROGRAM, CONTROLLER_PROGRAM, "--virtual-time", "--data-dir", m_dir.c_str(), "--console-in",
              "/dev/null", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fromFirst[1]);
    char c;
    ASSERT_EQ(read(fromFirst[0], &c, 1), 1);   // the first controller runs
    for (const char* name : {"/lock", "/nvram.bin", "/board.state"}) unlink((m_dir + name).c_str());
    ProgramRun run = RunController("--virtual-time --stop-after 10 --data-dir " + m_dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "controller: " + m_dir + ": another controller runs on this data directory\n");
    ASSERT_EQ(kill(first, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(first, &status, 0), first);
    close(fromFirst[0]);
    EXPECT_EQ(RunController("--virtual-time --stop-after 10 --data-dir " + m_dir).status, 0);
}

TEST_F(ControllerSetup, RefusesKeystrokesItCannotRead) {
    Terminal terminal;
    ProgramRun run = RunController("--virtual-time --console-in " + m_dir + " --data-dir " + m_dir, terminal.fd());
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.errors, "controller: --console-in " + m_dir + ": is a directory, not a file of keystrokes\n");
    EXPECT_TRUE(terminal.AsItWas());
    run = RunController("--virtual-time --console-in " + m_dir + "/none --data-dir " + m_dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.errors, "controller: --console-in " + m_dir + "/none: No such file or directory\n");
}

// An endless source of keys is read as the console takes them.
TEST_F(ControllerSetup, ReadsKeystrokesAsTheConsoleTakesThem) {
    ProgramRun run = RunController("--virtual-time --stop-after 200 --console-in /dev/zero --data-dir " + m_dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("Initialization Complete\r\n"), std::string::npos);
    // The console's last line is ended even when the run stops mid-line.
    ASSERT_GE(run.output.size(), 2u);
    EXPECT_EQ(run.output.substr(run.output.size() - 2), "\r\n");
}

// Whatever the state file says of the clock, the board starts: a time the
// clock chip cannot hold is a clock that lost its time, as with a flat battery.
TEST_F(ControllerSetup, TreatsAnImpossibleClockAsAnInvalidOne) {
    auto runWithState = [&](const std::string& name, const std::string& state) {
        const std::string dir = m_dir + "/" + name;
        EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
        WriteFile(dir + "/board.state", state);
        return RunController("--virtual-time --stop-after 10 --data-dir " + dir);
    };
    const ProgramRun flat = runWithState("flat", "rtc.offset=0\nrtc.valid=0\n");
    EXPECT_NE(flat.output.find("Initial time and date has not been set"), std::string::npos);
    for (const char* offset : {"-4000000000", "9223372036854775807", "-9223372036854775808", "12x"}) {
        SCOPED_TRACE(offset);
        const ProgramRun run = runWithState(offset, std::string("rtc.offset=") + offset + "\nrtc.valid=1\n");
        EXPECT_EQ(run.status, flat.status);
        EXPECT_EQ(run.output, flat.output);
    }
}

// The clock cannot be set from the console while start-up stops on it: the
// program says which lines of which file to remove, and without them the
// board starts on this computer's clock.
TEST_F(ControllerSetup, SaysHowToMendAClockWithoutValidTime) {
    ASSERT_EQ(RunController("--virtual-time --stop-after 10 --data-dir " + m_dir).status, 0);
    WriteFile(m_dir + "/board.state", "rtc.offset=-4000000000\nrtc.valid=1\n");
    ProgramRun run = RunController("--virtual-time --stop-after 10 --data-dir " + m_dir);
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.output.find("Please Set Date and Time"), std::string::npos) << run.output;
    EXPECT_EQ(run.errors, "controller: " + m_dir +
                              "/board.state: the controller's clock holds no valid time (rtc.time, rtc.offset, "
                              "rtc.valid): remove those lines to start it from this computer's clock\n");
    WriteFile(m_dir + "/board.state", "");
    run = RunController("--virtual-time --stop-after 10 --data-dir " + m_dir);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.errors, "");
}

// A flash file that holds no image to start is refused with what is wrong
// in each slot; one cut short or gone is written again with the factory
// image, and the program says so.
TEST_F(ControllerSetup, SaysWhatIsWrongWithTheFlash) {
    const std::string flash = m_dir + "/flash.bin";
    auto run = [&] { return RunController("--virtual-time --stop-after 10 --data-dir " + m_dir); };
    ASSERT_EQ(run().status, 0);
    std::string image = ReadFile(flash);
    ASSERT_EQ(image.size(), 8u << 20);
    image[100] = static_cast<char>(image[100] ^ 0x10);
    WriteFile(flash, image);
    ProgramRun refused = run();
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.output, "");
    EXPECT_EQ(refused.errors, "controller: " + flash +
                                  ": no firmware image to start (slot 0: its image does not match its checksum; "
                                  "slot 1: no slot record); move it away to start from the factory image (an update "
                                  "installed on it is lost with it)\n");
    EXPECT_EQ(ReadFile(flash), image) << "the file was changed";

    WriteFile(flash, image.substr(0, 1000));
    ProgramRun remade = run();
    EXPECT_EQ(remade.status, 0);
    EXPECT_EQ(remade.errors, "controller: " + flash +
                                 ": 1000 bytes, not a whole flash image (8388608): written again with the factory "
                                 "firmware image; an update installed before is gone\n");
    ASSERT_EQ(unlink(flash.c_str()), 0);
    remade = run();
    EXPECT_EQ(remade.status, 0);
    EXPECT_EQ(remade.errors, "controller: " + flash +
                                 ": missing: written again with the factory firmware image; an update installed "
                                 "before is gone\n");
    EXPECT_EQ(run().errors, "");
}

// An update installed (here a newer image written into the second slot)
// and then lost with the flash file, cut short or gone: the factory image
// starts, and the console says the update is lost, at that start only.
TEST_F(ControllerSetup, SaysWhenTheFlashLostAnInstalledUpdate) {
    const std::string flash = m_dir + "/flash.bin";
    const std::string kLine = "Controller Firmware Update Lost, Older Image Started";
    auto run = [&] { return RunController("--virtual-time --stop-after 10 --data-dir " + m_dir); };
    auto install = [&] {
        std::string image = ReadFile(flash);
        ASSERT_EQ(image.size(), fw::FLASH_SIZE);
        fw::FLASH_SLOT_RECORD r;
        std::memcpy(&r, image.data() + fw::FLASH_SLOT_RECORD_OFFSET, sizeof r);
        std::copy_n(image.begin(), r.dImageLength, image.begin() + fw::FLASH_SLOT_SIZE);
        r.dSequence = 2;
        r.dRecordCheck = ~(r.dMagic ^ r.dSequence ^ r.dImageLength ^ r.dImageChecksum);
        std::memcpy(image.data() + fw::FLASH_SLOT_SIZE + fw::FLASH_SLOT_RECORD_OFFSET, &r, sizeof r);
        WriteFile(flash, image);
    };
    const ProgramRun first = run();
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.output.find(kLine), std::string::npos) << first.output;
    for (const bool fDeleted : {false, true}) {
        SCOPED_TRACE(fDeleted ? "deleted" : "emptied");
        ASSERT_NO_FATAL_FAILURE(install());
        const ProgramRun updated = run();
        ASSERT_EQ(updated.status, 0);
        EXPECT_EQ(updated.output.find(kLine), std::string::npos) << updated.output;
        if (fDeleted) {
            ASSERT_EQ(unlink(flash.c_str()), 0);
        } else {
            WriteFile(flash, "");
        }
        const ProgramRun lost = run();
        EXPECT_EQ(lost.status, 0);
        EXPECT_NE(lost.output.find(kLine), std::string::npos) << lost.output;
        EXPECT_NE(lost.errors.find("an update installed before is gone"), std::string::npos) << lost.errors;
        const ProgramRun again = run();
        EXPECT_EQ(again.output.find(kLine), std::string::npos) << again.output;
    }
}

// On the wall clock, start-up's waits pass at once, while the clock chip
// keeps the host's date: start-up begins at the host's time of day.
TEST_F(ControllerSetup, WallClockStartUpKeepsTheHostsDate) {
    Terminal terminal;
    const time_t before = time(nullptr);
    ProgramRun run = RunController("--stop-after 50 --data-dir " + m_dir, terminal.fd());
    const time_t after = time(nullptr);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("Initialization Complete\r\n"), std::string::npos);
    tm early{}, late{};
    gmtime_r(&before, &early);
    gmtime_r(&after, &late);
    const int start = apptest::SecondsOfDay(apptest::LineWith(run.output, "Initialization Start"));
    const int from = early.tm_hour * 3600 + early.tm_min * 60 + early.tm_sec;
    const int to = late.tm_hour * 3600 + late.tm_min * 60 + late.tm_sec;
    if (from <= to) {   // not across midnight
        EXPECT_GE(start, from);
        EXPECT_LE(start, to);
    }
    EXPECT_TRUE(terminal.AsItWas());
}

// The quit key on a terminal ends the run and gives the terminal back.
TEST_F(ControllerSetup, QuitKeyRestoresTheTerminal) {
    Terminal terminal;
    terminal.Type("\x1d");
    ProgramRun run = RunController("--virtual-time --data-dir " + m_dir, terminal.fd());
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(terminal.AsItWas());
    // A quit is a power cut, and says so.
    EXPECT_EQ(run.errors, "controller: power cut (Ctrl-])\n");
}

}  // namespace
