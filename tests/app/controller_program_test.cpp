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

namespace {

struct ProgramRun {
    int status;
    std::string output;
};

ProgramRun RunController(const std::string& arguments) {
    std::string command = std::string(CONTROLLER_PROGRAM) + " " + arguments + " </dev/null 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int status = pclose(pipe);
    return ProgramRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class ControllerProgram : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/controller-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf " + m_dir;
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    // Event codes in the NVRAM event log, oldest first (the log's header is
    // at 0x400: counts and next indexes of two copies and the selector).
    std::vector<int> LoggedEvents() const {
        std::ifstream in(m_dir + "/data/nvram.bin", std::ios::binary);
        std::vector<uint8_t> nv((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(nv.size(), 512u * 1024);
        if (nv.size() < 0x18410) return {};
        bool copyA = nv[0x408] == 0xF1;
        unsigned count = nv[copyA ? 0x400 : 0x402] | nv[copyA ? 0x401 : 0x403] << 8;
        std::vector<int> codes;
        for (unsigned i = 0; i < count && i < 4096; ++i) codes.push_back(nv[0x410 + 24 * i + 9]);
        return codes;
    }
    std::string m_dir;
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
    // The same transcript: the clock stands still between virtual-time runs.
    EXPECT_EQ(second.output, first.output);
    std::vector<int> afterSecond = LoggedEvents();
    ASSERT_GT(afterSecond.size(), afterFirst.size());
    // The second start found a formatted NVRAM: no new "formatted" event.
    EXPECT_EQ(std::count(afterSecond.begin(), afterSecond.end(), 84), 1);
}

TEST_F(ControllerProgram, ChoosesTheHostInterfaceAndMemorySize) {
    ProgramRun run = RunController("--virtual-time --stop-after 10 --host-interface sas-target --memory-size 0x03000000 "
                            "--boot-block-version 2 --data-dir " +
                            m_dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output.rfind("Using default System Memory size of 32MB.\r\n", 0), 0u);
    EXPECT_NE(run.output.find("\r\n SAS Host Ports Initialized\r\n"), std::string::npos);
}

TEST_F(ControllerProgram, BlankFpgaEndsTheRunWithTheBoardReset) {
    ProgramRun run = RunController("--virtual-time --fpga blank --data-dir " + m_dir);
    EXPECT_EQ(run.status, 6);
    EXPECT_EQ(run.output, "Programming IOP FPGA..............Pass\r\nRebooting due to power-on reset\r\n");
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

TEST_F(ControllerProgram, RefusesBadOptions) {
    for (const char* options : {"--bogus", "--stop-after", "--stop-after soon", "--host-interface scsi",
                                "--fpga half", "--memory-size -"}) {
        SCOPED_TRACE(options);
        EXPECT_EQ(RunController(std::string(options) + " --data-dir " + m_dir).status, 2);
    }
}

}  // namespace
