// One run of the controller program behind a pseudo-terminal, typed at as
// an operator types and read as the operator reads the screen.
#pragma once

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/program_run.h"

namespace apptest {

// The board's clock: virtual (every run the same), or the wall clock, for
// a test whose other side keeps real time.
enum class Clock { Virtual, Wall };

// One run of the controller behind a pseudo-terminal.
class TerminalRun {
public:
    explicit TerminalRun(const std::string& dataDir, const std::vector<std::string>& more = {},
                         Clock clock = Clock::Virtual) {
        m_pid = forkpty(&m_fd, nullptr, nullptr, nullptr);
        if (m_pid == 0) {
            std::vector<std::string> arguments = {"--data-dir", dataDir};
            if (clock == Clock::Virtual) arguments.insert(arguments.begin(), "--virtual-time");
            arguments.insert(arguments.end(), more.begin(), more.end());
            apptest::ExecController(arguments);
        }
    }
    ~TerminalRun() { Stop(); }

    bool Started() const { return m_pid > 0; }

    // Reads the screen until one of the texts shows after what was already
    // seen: its index, or -1 when the time is up (the deadline only keeps
    // a broken run from hanging the suite).
    int WaitForOneOf(std::initializer_list<std::string> texts, std::chrono::seconds wait = kPatience) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            int i = 0;
            for (const std::string& text : texts) {
                const size_t at = m_screen.find(text, m_seen);
                if (at != std::string::npos) {
                    m_seen = at + text.size();
                    return i;
                }
                ++i;
            }
            if (std::chrono::steady_clock::now() > deadline) return -1;
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buffer[4096];
            const ssize_t n = read(m_fd, buffer, sizeof buffer);
            if (n <= 0) return -1;
            m_screen.append(buffer, static_cast<size_t>(n));
        }
    }
    bool WaitFor(const std::string& text) { return WaitForOneOf({text}) == 0; }

    // Types the keys as a person does, each once the one before has shown,
    // and waits for the text they bring.  A plain key that arrives while
    // the menu it answers is still being called is dropped by the console
    // (as on the real controller): it shows nothing, and is typed again.
    bool Type(const std::string& keys, const std::string& text) {
        for (size_t i = 0; i + 1 < keys.size(); ++i) {
            if (!Retyped(keys.substr(i, 1), keys.substr(i, 1))) return false;
        }
        const std::string last = keys.substr(keys.size() - 1);
        // Only a key of its own can be the dropped first one.
        if (keys.size() == 1 && last == "\r") return Retyped(last, text);
        return Send(last) && WaitFor(text);
    }
    // A key sequence sent at once (a cursor key), and the text it brings.
    bool TypeSequence(const std::string& keys, const std::string& text) {
        return write(m_fd, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size()) && WaitFor(text);
    }
    // The text between the last match and the next occurrence of `end`
    // (read up to it), or empty when it does not come.
    std::string ReadUpTo(const std::string& end) {
        const size_t from = m_seen;
        if (!WaitFor(end)) return {};
        return m_screen.substr(from, m_seen - end.size() - from);
    }
    // The screen around the last match and after it, for a failure message.
    // Keys sent at once, in one write, without waiting for what they bring.
    bool Press(const std::string& keys) {
        return write(m_fd, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    }
    // Reads what the program has written until it writes nothing more for
    // a moment.
    void Collect() {
        for (;;) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 500) <= 0) return;
            char buffer[4096];
            const ssize_t n = read(m_fd, buffer, sizeof buffer);
            if (n <= 0) return;
            m_screen.append(buffer, static_cast<size_t>(n));
        }
    }
    const std::string& Screen() const { return m_screen; }
    // The terminal itself, for a test that puts another program on the
    // line; what it reads there it hands to Record, so the screen stays whole.
    int fd() const { return m_fd; }
    void Record(const std::string& bytes) { m_screen += bytes; }
    size_t Seen() const { return m_seen; }
    std::string Tail() const { return m_screen.substr(m_seen > 1500 ? m_seen - 1500 : 0); }

    // SIGTERM is a power cut: NVRAM and drives keep what was written.
    void Stop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        close(m_fd);
        m_pid = -1;
    }

private:
    static constexpr std::chrono::seconds kPatience{30};
    static constexpr std::chrono::seconds kDropped{5};

    bool Send(const std::string& key) { return write(m_fd, key.data(), key.size()) == 1; }
    bool Retyped(const std::string& key, const std::string& shown) {
        for (int i = 0; i < 5; ++i) {
            if (!Send(key)) return false;
            if (WaitForOneOf({shown}, kDropped) == 0) return true;
        }
        return false;
    }

    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_screen;
    size_t m_seen = 0;
};

}  // namespace apptest
