// A host's tool (libiscsi's iscsi-ls, iscsi-test-cu, ...) run beside a
// test: standard output and error in a file, its end waited for while the
// caller gives the other side its turn; one still running at the deadline
// is killed and fails the test.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace harness {

struct ToolRun {
    int status = -1;     // exit status, -1 when it did not exit
    std::string output;
};

// `turn` runs the other side until `ended` holds, or a while; false when
// the other side can run no more.
inline ToolRun RunHostTool(std::vector<std::string> argv, std::chrono::seconds deadline,
                           const std::function<bool(const std::function<bool()>& ended)>& turn) {
    char path[] = "/tmp/host-tool-XXXXXX";
    const int fd = mkstemp(path);
    ToolRun run;
    EXPECT_GE(fd, 0);
    if (fd < 0) return run;
    close(fd);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, path, O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << argv[0] << " is missing: scripts/install-deps installs it";
    if (rc == 0) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        bool exited = false;
        int status = 0;
        auto ended = [&] {
            if (!exited && waitpid(pid, &status, WNOHANG) == pid) exited = true;
            return exited || std::chrono::steady_clock::now() > end;
        };
        while (!ended() && turn(ended)) {
        }
        if (!exited) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << argv[0] << " did not finish";
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::ifstream in(path);
    run.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    unlink(path);
    return run;
}

}  // namespace harness
