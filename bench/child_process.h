// Programs a benchmark runs beside itself (the controller program, a peer
// target): a free loopback port for them, starting them with their output
// in a file, and waiting for a line of it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

// A listening loopback socket on a free port; -1 when none.
inline int ListenLoopback(uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// A port free now, for a program to listen on.
inline uint16_t FreeLoopbackPort() {
    uint16_t port = 0;
    const int fd = ListenLoopback(&port);
    if (fd >= 0) close(fd);
    return port;
}

// Starts the program (found on PATH when named without a slash), its input
// from /dev/null, its output and errors into `output` (appended to with
// `append`); -1 when it cannot run.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& output, bool append = false) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<std::string> copy = args;
    std::vector<char*> argp;
    for (std::string& a : copy) argp.push_back(a.data());
    argp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, copy[0].c_str(), &actions, nullptr, argp.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

inline std::string FileText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Waits up to two minutes for `text` in the program's output; false when it
// ended first or never wrote it.
inline bool WaitForOutput(pid_t pid, const std::string& output, const std::string& text) {
    for (int i = 0; i < 1200; ++i) {
        if (FileText(output).find(text) != std::string::npos) return true;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace bench
