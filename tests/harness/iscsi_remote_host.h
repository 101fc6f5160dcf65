// A host that reaches a portal over TCP from outside the process that runs
// it (the controller program): it sends whatever PDUs a test builds, the
// broken and the hostile among them, and waits a bounded time for each
// answer.  A test that plays a host which never reads simply never waits.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "harness/iscsi_host.h"

namespace iscsitest {

struct RemoteHost : IscsiHost {
    static constexpr int kWaitMs = 20'000;

    explicit RemoteHost(uint16_t port) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A request goes out whole at once: a host waiting for its answer
        // never waits for the acknowledgement of what it sent before.
        const int one = 1;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connected = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        // The program's time runs ahead while it waits for this host, so
        // even a busy session can look idle to it and be pinged.
        answerPings = true;
    }
    ~RemoteHost() override { close(fd); }
    RemoteHost(const RemoteHost&) = delete;
    RemoteHost& operator=(const RemoteHost&) = delete;

    void Transmit(const std::vector<uint8_t>& bytes) override {
        for (size_t at = 0; at < bytes.size() && !closed;) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, kWaitMs) <= 0) {
                closed = true;
                break;
            }
            const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR && errno != EAGAIN) closed = true;
            if (n > 0) at += size_t(n);
        }
    }
    // More bytes from the portal; false when none came within `waitMs` or
    // the portal closed the connection.
    bool Await() override {
        pollfd p{fd, POLLIN, 0};
        if (closed || poll(&p, 1, waitMs) <= 0) return false;
        uint8_t buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            closed = true;
            return false;
        }
        received.insert(received.end(), buffer, buffer + n);
        return true;
    }
    // Sends a request without waiting for any answer.
    void SendOnly(Pdu p) {
        std::vector<uint8_t> bytes;
        sim::iscsi::EncodeFrame(std::move(p), limits, &bytes);
        Transmit(bytes);
    }

    int fd = -1;
    int waitMs = kWaitMs;
    bool connected = false;
    bool closed = false;
};

// A 16-byte READ or WRITE CDB.
inline std::vector<uint8_t> Cdb16(uint8_t op, uint64_t lba, uint32_t blocks) {
    std::vector<uint8_t> c(16, 0);
    c[0] = op;
    for (int i = 0; i < 8; ++i) c[2 + i] = uint8_t(lba >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) c[10 + i] = uint8_t(blocks >> (24 - 8 * i));
    return c;
}

}  // namespace iscsitest
