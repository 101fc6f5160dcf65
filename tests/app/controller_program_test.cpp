// The controller program as a person runs it: options, exit statuses, and a
// data directory that carries the NVRAM from one run to the next.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/program_run.h"

namespace {

using apptest::ProgramRun;
using apptest::LineWith;
using apptest::LoggedEventsIn;
using apptest::RunController;
using apptest::SecondsOfDay;

class ControllerProgram : public apptest::ProgramTest {
protected:
    std::vector<int> LoggedEvents() const { return LoggedEventsIn(m_dir + "/data"); }
};

TEST_F(ControllerProgram, BootsInVirtualTimeAndKeepsItsNvramForTheNextRun) {
    std::string options = "--virtual-time --stop-after 2000 --data-dir " + m_dir + "/data";
    ProgramRun first = RunController(options);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.output.rfind("IOP FPGA Version: 0x0112\r\n", 0), 0u);
    EXPECT_NE(first.output.find("Initialization Complete\r\n"), std::string::npos);
    std::vector<int> afterFirst = LoggedEvents();
    // A new board formats its NVRAM: the start-up posts "formatted" (84).
    ASSERT_FALSE(afterFirst.empty());
    EXPECT_NE(std::find(afterFirst.begin(), afterFirst.end(), 84), afterFirst.end());

    ProgramRun second = RunController(options);
    EXPECT_EQ(second.status, 0);
    // The board's date goes on from where the first run stopped: the second
    // start-up begins no earlier than the first one completed.
    const int firstComplete = SecondsOfDay(LineWith(first.output, "Initialization Complete"));
    const int secondStart = SecondsOfDay(LineWith(second.output, "Initialization Start"));
    EXPECT_GT(firstComplete, 0);
    EXPECT_GE(secondStart, firstComplete);
    // Only the dates differ.
    EXPECT_EQ(second.output.size(), first.output.size());
    std::vector<int> afterSecond = LoggedEvents();
    ASSERT_GT(afterSecond.size(), afterFirst.size());
    // The second start found a formatted NVRAM: no new "formatted" event.
    EXPECT_EQ(std::count(afterSecond.begin(), afterSecond.end(), 84), 1);
}

TEST_F(ControllerProgram, ChoosesTheHostInterfaceAndMemorySize) {
    ProgramRun run = RunController("--virtual-time --stop-after 10 --host-interface sas --memory-size 0x03000000 "
                            "--boot-block-version 2 --data-dir " +
                            m_dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output.rfind("Using default System Memory size of 32MB.\r\n", 0), 0u);
    EXPECT_NE(run.output.find("\r\n SAS Host Ports Initialized\r\n"), std::string::npos);
}

TEST_F(ControllerProgram, BlankFpgaRebootsTheBoardOnceProgrammed) {
    const std::string reset = "Programming IOP FPGA..............Pass\r\nRebooting due to power-on reset\r\n";
    ProgramRun run = RunController("--virtual-time --fpga blank --stop-after 10 --data-dir " + m_dir);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.output.rfind(reset + "IOP FPGA Version: 0x0112\r\n", 0), 0u);
    EXPECT_NE(run.output.find("Initialization Complete\r\n"), std::string::npos);
    // The same NVRAM across the reboot: formatted once.
    std::vector<int> events = LoggedEventsIn(m_dir);
    EXPECT_EQ(std::count(events.begin(), events.end(), 84), 1);

    ProgramRun ended = RunController("--virtual-time --fpga blank --exit-on-reset --data-dir " + m_dir + "/other");
    EXPECT_EQ(ended.status, 6);
    EXPECT_EQ(ended.output, reset);
}

// A signal is a power cut: the run ends at once with status 0 and the NVRAM
// keeps what was written.  The board runs on the wall clock here; the signal
// goes out as soon as the controller has printed its first line.
TEST_F(ControllerProgram, SignalEndsAWallClockRun) {
    int toParent[2];
    ASSERT_EQ(pipe(toParent), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(toParent[1], STDOUT_FILENO);
        close(toParent[0]);
        execl(CONTROLLER_PROGRAM, CONTROLLER_PROGRAM, "--data-dir", m_dir.c_str(), "--console-in", "/dev/null",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(toParent[1]);
    std::string output;
    char c;
    while (output.find('\n') == std::string::npos && read(toParent[0], &c, 1) == 1) output.push_back(c);
    EXPECT_EQ(output, "IOP FPGA Version: 0x0112\r\n");
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(toParent[0]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st {};
    ASSERT_EQ(stat((m_dir + "/nvram.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 512 * 1024);
}

// On the wall clock start-up's waits pass at once: the calendar still
// counts them, so no event is stamped before one posted ahead of it.
TEST_F(ControllerProgram, WallClockEventsAreStampedInTheOrderTheyHappen) {
    ProgramRun run = RunController("--stop-after 1500 --data-dir " + m_dir);
    EXPECT_EQ(run.status, 0);
    const std::vector<apptest::LoggedEvent> events = apptest::LoggedEventsWithStamps(m_dir);
    ASSERT_GT(events.size(), 4u);
    for (size_t i = 1; i < events.size(); ++i) {
        EXPECT_GE(events[i].stamp, events[i - 1].stamp) << "event " << events[i].code << " after " << events[i - 1].code;
    }
}

// A run in virtual time leaves the directory to the wall clock, and runs
// there one after the other keep the event log in time order: the clock
// starts at the host's date, less start-up's skipped waits, and never before
// the last run stopped.
TEST_F(ControllerProgram, RunsInVirtualTimeAndOnTheWallClockShareADirectory) {
    const std::string dir = " --data-dir " + m_dir;
    for (const char* options : {"--virtual-time --stop-after 2000", "--stop-after 1500", "--stop-after 1500"}) {
        SCOPED_TRACE(options);
        const ProgramRun run = RunController(options + dir);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output.find("Please Set Date and Time"), std::string::npos);
        EXPECT_EQ(run.errors, "");
    }
    const std::vector<apptest::LoggedEvent> events = apptest::LoggedEventsWithStamps(m_dir);
    ASSERT_GT(events.size(), 12u);
    for (size_t i = 1; i < events.size(); ++i) {
        EXPECT_GE(events[i].stamp, events[i - 1].stamp) << "event " << events[i].code << " after " << events[i - 1].code;
    }
}

// `make run` reads the program's exit status (scripts/run-controller): the
// controller's own stops (halt, shutdown, reset) end the run well; a start
// that stopped at a failed check never brought the controller up, and fails
// it with where to look, as the program's own failures fail it.
TEST_F(ControllerProgram, MakeRunFailsAStartThatNeverCameUp) {
    const std::string errors = m_dir + "/errors";
    const auto Run = [&](const std::string& program) {
        const int status = std::system((std::string(RUN_CONTROLLER_SCRIPT) + " " + program + " 2>" + errors).c_str());
        std::ifstream in(errors);
        return std::make_pair(WEXITSTATUS(status), std::string(std::istreambuf_iterator<char>(in), {}));
    };
    for (const int status : {0, 1, 2, 4, 5, 6}) {
        SCOPED_TRACE(status);
        EXPECT_EQ(Run("sh -c 'exit " + std::to_string(status) + "'"), std::make_pair(status >= 4 ? 0 : status, std::string()));
    }
    // A clock without a valid time: start-up stops at "Please Set Date and Time".
    ASSERT_EQ(RunController("--virtual-time --stop-after 10 --data-dir " + m_dir).status, 0);
    std::ofstream(m_dir + "/board.state") << "rtc.valid=0\n";
    const auto [status, said] = Run(std::string(CONTROLLER_PROGRAM) + " --virtual-time --data-dir " + m_dir + " >/dev/null");
    EXPECT_EQ(status, 3);
    EXPECT_NE(said.find("make run: the controller stopped at a failed start-up check and never came up (status 3)"),
              std::string::npos)
        << said;
}

TEST_F(ControllerProgram, RefusesBadOptions) {
    for (const char* options :
         {"--bogus", "--stop-after", "--stop-after soon", "--host-interface sas-target", "--fpga half", "--memory-size -",
          "--stop-after -1", "--stop-after 18446744073710", "--stop-after 0x10", "--stop-after +5",
          "--drive-size -1048576", "--drive-size 1048577", "--drives 13", "--drives 0x3",
          "--drive-spin-up 600001", "--drive-spin-up 0x10",
          "--memory-size 0x100000000", "--boot-block-version 99999999999999999999", "--iscsi 127.0.0.1:port",
          "--iscsi 127.0.0.1:65536", "--iscsi 127.0.0.1:3260 --host-interface scsi", "--sdram-size 0x18000000",
          "--sdram-size 64", "--sdram-size 0x80000000", "--sdram-size 0x100000000", "--drive-fault 1",
          "--drive-fault 0:medium:5", "--drive-fault 13:pull@5", "--drive-fault 1:medium:x", "--drive-fault 1:medium:5+0",
          "--drive-fault 1:dead", "--drive-fault 1:fry@5", "--drive-fault 1:pull@soon", "--drive-fault 1:replace", "--drives 2 --drive-fault 3:dead@9",
          "--expansions 8", "--expansions 1:13", "--expansions 1:", "--expansions :2", "--expansions one",
          "--cache-battery half", "--cache-battery"}) {
        SCOPED_TRACE(options);
        ProgramRun run = RunController(std::string(options) + " --data-dir " + m_dir);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.errors.rfind("controller: ", 0), 0u) << run.errors;
        EXPECT_EQ(run.output, "");
    }
    ProgramRun empty = RunController(std::vector<std::string>{"--data-dir", ""});
    EXPECT_EQ(empty.status, 2);
    EXPECT_EQ(empty.errors, "controller: --data-dir needs a directory\n");
}

// Numbers are decimal: a leading zero is not octal.
TEST_F(ControllerProgram, ReadsNumbersInDecimal) {
    ProgramRun run = RunController("--virtual-time --stop-after 010 --drives 012 --drive-size 0x100000 --data-dir " +
                                   m_dir);
    EXPECT_EQ(run.status, 0);
    struct stat st {};
    EXPECT_EQ(stat((m_dir + "/drives/slot12.img").c_str(), &st), 0);
    // The drive's blocks and, past them, its identity block.
    EXPECT_EQ(st.st_size, (1 << 20) + 512);
}

TEST_F(ControllerProgram, HelpSaysEveryExitStatus) {
    ProgramRun run = RunController("--help");
    EXPECT_EQ(run.status, 0);
    for (const char* text : {"usage: controller", "--stop-after 0", "0 stopped", "1 bad data directory",
                             "2 bad options", "6 board reset"}) {
        EXPECT_NE(run.output.find(text), std::string::npos) << text;
    }
}

}  // namespace
