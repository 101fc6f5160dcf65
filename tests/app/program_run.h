// Running the controller program as a person does: a process with options,
// its standard output and error captured, in a data directory of its own.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace apptest {

struct ProgramRun {
    int status;          // exit status, or -1 when a signal ended it
    std::string output;  // standard output: the console
    std::string errors;  // standard error, without the sanitizer's notes
};

// In a forked child: becomes the controller with `arguments`; `program`
// names another build of it (with what runs it, as an emulator and its
// path), none this build's.
[[noreturn]] inline void ExecController(const std::vector<std::string>& arguments,
                                        const std::vector<std::string>& program = {}) {
    std::vector<char*> argv;
    for (const std::string& a : program) argv.push_back(const_cast<char*>(a.c_str()));
    if (argv.empty()) argv.push_back(const_cast<char*>(CONTROLLER_PROGRAM));
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Runs the controller with `arguments`; its standard input is `inputFd`
// (/dev/null when negative); `inChild` runs in the child before the
// program starts (a limit of its own, say).
inline ProgramRun RunController(const std::vector<std::string>& arguments, int inputFd = -1,
                                void (*inChild)() = nullptr) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (inputFd < 0) {
            freopen("/dev/null", "r", stdin);
        } else {
            dup2(inputFd, STDIN_FILENO);
        }
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(err[0]);
        close(out[1]);
        close(err[1]);
        if (inChild) inChild();
        ExecController(arguments);
    }
    close(out[1]);
    close(err[1]);
    ProgramRun run{-1, {}, {}};
    std::string rawErrors;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? run.output : rawErrors).append(buffer, static_cast<size_t>(n));
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream lines(rawErrors);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("ASan doesn't fully support") == std::string::npos) run.errors += line + "\n";
    }
    return run;
}

// The same with the options in one string, split at blanks.
inline ProgramRun RunController(const std::string& arguments, int inputFd = -1) {
    std::istringstream words(arguments);
    std::vector<std::string> list;
    for (std::string w; words >> w;) list.push_back(w);
    return RunController(list, inputFd);
}

// The line of a transcript holding `text`.
inline std::string LineWith(const std::string& transcript, const std::string& text) {
    const size_t at = transcript.find(text);
    if (at == std::string::npos) return {};
    size_t begin = transcript.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    return transcript.substr(begin, transcript.find('\r', at) - begin);
}

// "Mon Jan 06 2025 09:00:38 ...": the date and time a dated line begins with,
// as seconds of the day (the runs here stay within one day).
inline int SecondsOfDay(const std::string& line) {
    if (line.size() < 24) return -1;
    return std::stoi(line.substr(16, 2)) * 3600 + std::stoi(line.substr(19, 2)) * 60 + std::stoi(line.substr(22, 2));
}

// The controller program running beside a test: its console goes to a
// file (a full pipe never holds it up), its standard error to a pipe the
// test reads as it goes.
class RunningController {
public:
    RunningController(const std::vector<std::string>& arguments, const std::string& dir,
                      const std::vector<std::string>& program = {}) {
        int err[2];
        EXPECT_EQ(pipe(err), 0);
        const std::string out = dir + "/controller.out";
        m_pid = fork();
        if (m_pid == 0) {
            freopen("/dev/null", "r", stdin);
            freopen(out.c_str(), "w", stdout);
            dup2(err[1], STDERR_FILENO);
            close(err[0]);
            ExecController(arguments, program);
        }
        close(err[1]);
        m_err = err[0];
        m_out = out;
    }
    ~RunningController() {
        Stop();
        close(m_err);
    }
    RunningController(const RunningController&) = delete;
    RunningController& operator=(const RunningController&) = delete;

    // Standard error so far; waits up to `waitMs` for more when asked.
    const std::string& Errors(int waitMs = 0) {
        pollfd p{m_err, POLLIN, 0};
        while (poll(&p, 1, waitMs) > 0) {
            char buffer[4096];
            const ssize_t n = read(m_err, buffer, sizeof buffer);
            if (n <= 0) break;
            m_errors.append(buffer, size_t(n));
            waitMs = 0;
        }
        return m_errors;
    }
    // The portal's port, once the program has said it (0 when it never did).
    uint16_t PortalPort() {
        const std::string mark = "iSCSI portal on 127.0.0.1:";
        for (int i = 0; i < 100; ++i) {
            const size_t at = Errors().find(mark);
            if (at != std::string::npos && m_errors.find('\n', at) != std::string::npos) {
                return uint16_t(std::stoul(m_errors.substr(at + mark.size())));
            }
            Errors(300);
        }
        return 0;
    }
    // Waits (up to half a minute, while the program runs) for the console
    // to have printed `text`.
    bool WaitForConsole(const std::string& text) {
        for (int i = 0; i < 300 && Alive(); ++i) {
            std::ifstream in(m_out);
            const std::string console((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (console.find(text) != std::string::npos) return true;
            Errors(100);
        }
        return false;
    }
    pid_t Pid() const { return m_pid; }
    bool Alive() {
        if (m_status != kRunning) return false;
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) != m_pid) return true;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    // Resident memory, from the kernel's account of the process.
    uint64_t ResidentBytes() const {
        std::ifstream in("/proc/" + std::to_string(m_pid) + "/status");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
        }
        return 0;
    }
    // Ends the run as a power cut would: nothing of the program runs on.
    void Kill() {
        if (!Alive()) return;
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_status = -1;
    }
    // A signal ends the run (a power cut); the exit status.
    int Stop() {
        if (Alive()) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return m_status;
    }

private:
    static constexpr int kRunning = -2;
    pid_t m_pid = -1;
    int m_err = -1;
    int m_status = kRunning;
    std::string m_out;
    std::string m_errors;
};

// Event codes in the NVRAM event log of a data directory, oldest first (the
// log's header is at 0x400: counts and next indexes of two copies and the
// selector).
struct LoggedEvent {
    int code;
    uint64_t stamp;   // year, month, day, hour, minute, second as one number that orders them
};
inline std::vector<LoggedEvent> LoggedEventsWithStamps(const std::string& dataDir) {
    std::ifstream in(dataDir + "/nvram.bin", std::ios::binary);
    std::vector<uint8_t> nv((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(nv.size(), 512u * 1024);
    if (nv.size() < 0x18410) return {};
    bool copyA = nv[0x408] == 0xF1;
    unsigned count = nv[copyA ? 0x400 : 0x402] | nv[copyA ? 0x401 : 0x403] << 8;
    std::vector<LoggedEvent> events;
    for (unsigned i = 0; i < count && i < 4096; ++i) {
        const uint8_t* e = &nv[0x410 + 24 * i];
        uint64_t stamp = e[0] | e[1] << 8;   // year, then month, day, (weekday), hour, minute, second
        for (int at : {2, 3, 5, 6, 7}) stamp = stamp * 100 + e[at];
        events.push_back({e[9], stamp});
    }
    return events;
}
inline std::vector<int> LoggedEventsIn(const std::string& dataDir) {
    std::vector<int> codes;
    for (const LoggedEvent& e : LoggedEventsWithStamps(dataDir)) codes.push_back(e.code);
    return codes;
}

// A fresh directory for each test, removed after it.
class ProgramTest : public ::testing::Test {
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
    std::string m_dir;
};

}  // namespace apptest
