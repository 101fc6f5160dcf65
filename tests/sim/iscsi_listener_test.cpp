// The iSCSI portal on TCP over loopback: hosts connect, discover, log in and
// move data through non-blocking sockets; a host that vanishes mid-command
// takes its session with it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "sim/iscsi_listener.h"
#include "harness/iscsi_host.h"

namespace {

using namespace iscsitest;
using sim::iscsi::Pdu;

struct SocketHost : IscsiHost {
    sim::IscsiListener& listener;
    int fd = -1;

    explicit SocketHost(sim::IscsiListener& l) : listener(l) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(listener.port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        listener.Service();
    }
    ~SocketHost() override {
        if (fd >= 0) close(fd);
    }
    void Transmit(const std::vector<uint8_t>& bytes) override {
        for (size_t at = 0; at < bytes.size();) {
            ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) at += size_t(n);
            listener.Service();
        }
        listener.Service();
    }
    // The portal answers as the listener is serviced; a wait without an
    // answer ends the test rather than hanging it.
    bool Await() override {
        for (int round = 0; round < 500; ++round) {
            listener.Service();
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            uint8_t buffer[65536];
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            received.insert(received.end(), buffer, buffer + n);
            return true;
        }
        return false;
    }
};

TEST(IscsiListener, HostsDiscoverLogInAndMoveDataOverLoopback) {
    RamTargets targets;
    sim::IscsiPortal portal(targets);
    sim::IscsiListener listener(portal);
    std::string error;
    ASSERT_TRUE(listener.Listen("127.0.0.1:0", &error)) << error;
    ASSERT_NE(listener.port(), 0);

    SocketHost discovery(listener);
    Pdu r = discovery.Login(0x87, {{"InitiatorName", "iqn.2026-01.host:one"}, {"SessionType", "Discovery"}});
    ASSERT_EQ(r.U16(36), 0);
    discovery.Send(discovery.SendTargets("All"));
    r = discovery.Next();
    const std::string address = "127.0.0.1:" + std::to_string(listener.port()) + ",1";
    EXPECT_EQ(Keys(r.data), "TargetName=iqn.2026-01.test:port-1\nTargetAddress=" + address +
                                "\nTargetName=iqn.2026-01.test:port-2\nTargetAddress=" + address + "\n");

    // A second host, at the same time, with digests: 512 KiB written in
    // bursts and read back in one command.
    SocketHost host(listener);
    ASSERT_TRUE(host.LogInNormal({{"HeaderDigest", "CRC32C"}, {"DataDigest", "CRC32C"},
                                  {"MaxRecvDataSegmentLength", "65536"}}));
    EXPECT_EQ(listener.Connections(), 2u);
    const auto data = Pattern(1024 * 512, 5);
    Pdu write = host.Command(0xA1, Rw10(0x2A, 0, 1024), uint32_t(data.size()));
    host.Send(write);
    for (;;) {
        Pdu p = host.Next();
        if (p.opcode() != sim::iscsi::kReadyToTransfer) {
            EXPECT_EQ(p.opcode(), sim::iscsi::kScsiResponse);
            EXPECT_EQ(p.bhs[3], 0);
            break;
        }
        const uint32_t offset = p.U32(40), length = p.U32(44);
        for (uint32_t at = offset; at < offset + length; at += 65536) {
            const uint32_t n = std::min<uint32_t>(65536, offset + length - at);
            host.Send(host.DataOut(write.InitiatorTaskTag(), p.U32(20), at,
                                   {data.begin() + at, data.begin() + at + n}, at + n == offset + length));
        }
    }
    host.Send(host.Command(0xC1, Rw10(0x28, 0, 1024), uint32_t(data.size())));
    std::vector<uint8_t> read;
    for (Pdu d = host.Next(); d.opcode() == sim::iscsi::kDataIn; d = host.Next()) {
        read.insert(read.end(), d.data.begin(), d.data.end());
        if (d.bhs[1] & 0x01) break;
    }
    EXPECT_EQ(read, data);

    // Logged out: the portal closes the connection.
    Pdu logout = sim::iscsi::MakePdu(sim::iscsi::kLogoutRequest);
    logout.SetU32(16, ++discovery.itt);
    logout.SetU32(24, discovery.cmdSn);
    discovery.Send(logout);
    EXPECT_EQ(discovery.Next().opcode(), sim::iscsi::kLogoutResponse);
    EXPECT_FALSE(discovery.Await());
    EXPECT_EQ(listener.Connections(), 1u);
}

TEST(IscsiListener, AHostThatVanishesMidCommandLogsItsInitiatorOut) {
    RamTargets targets;
    sim::IscsiPortal portal(targets);
    sim::IscsiListener listener(portal);
    std::string error;
    ASSERT_TRUE(listener.Listen("localhost:0", &error)) << error;
    {
        SocketHost host(listener);
        ASSERT_TRUE(host.LogInNormal());
        host.Send(host.Command(0x21, Rw10(0x2A, 0, 8), 4096));   // waits for its data
        EXPECT_EQ(host.Next().opcode(), sim::iscsi::kReadyToTransfer);
    }
    for (int i = 0; i < 100 && listener.Connections() != 0; ++i) {
        std::vector<pollfd> fds;
        listener.AddPollFds(&fds);
        poll(fds.data(), nfds_t(fds.size()), 10);
        listener.Service();
    }
    EXPECT_EQ(listener.Connections(), 0u);
    EXPECT_TRUE(targets.loggedOut);
}

// A raw connection to the listener, closed with the test.
struct Socket {
    explicit Socket(uint16_t port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Socket() { close(fd); }
    // The portal closed its side (after what it had to say).
    bool Closed() const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) return false;
        uint8_t buffer[4096];
        for (;;) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
            if (n < 0) return false;
        }
    }
    int fd;
};

// Out of descriptors, the listener turns a new host away at once instead
// of leaving it waiting, and never spins on a socket that stays ready.
TEST(IscsiListener, OutOfDescriptorsHostsAreTurnedAwayWithoutSpinning) {
    RamTargets targets;
    sim::IscsiPortal portal(targets);
    sim::IscsiListener listener(portal);
    std::string error;
    ASSERT_TRUE(listener.Listen("127.0.0.1:0", &error)) << error;
    std::vector<std::unique_ptr<Socket>> hosts;
    for (int i = 0; i < 5; ++i) hosts.push_back(std::make_unique<Socket>(listener.port()));
    // No descriptor left above the ones open now.
    const int lowest = open("/dev/null", O_RDONLY);
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit before{}, limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    limit = {rlim_t(lowest), before.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    listener.Service();
    std::vector<pollfd> fds;
    listener.AddPollFds(&fds);
    const int ready = poll(fds.data(), nfds_t(fds.size()), 0);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &before), 0);
    EXPECT_EQ(ready, 0) << "the listening socket stays ready";
    EXPECT_EQ(listener.Connections(), 0u);
    for (auto& h : hosts) EXPECT_TRUE(h->Closed());
    SocketHost host(listener);
    EXPECT_TRUE(host.LogInNormal());
}

// Descriptors enough for every connection the listener takes and the
// tests' own ends of them.
bool EnoughDescriptors() {
    const size_t total = sim::IscsiListener::kMaxConnections + sim::IscsiListener::kRefusingConnections;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return false;
    if (files.rlim_cur < 2 * total + 64) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 2 * total + 64);
        if (setrlimit(RLIMIT_NOFILE, &files) != 0) return false;
    }
    return files.rlim_cur >= 2 * total + 64;
}

// A host that has begun its login and stays in it: its first request is
// answered and it sends no second.
std::unique_ptr<SocketHost> InLogin(sim::IscsiListener& listener) {
    auto h = std::make_unique<SocketHost>(listener);
    const Pdu r = h->Login(0x01, {{"InitiatorName", "iqn.2026-01.host:slow"}, {"SessionType", "Discovery"},
                                  {"AuthMethod", "None"}});
    EXPECT_EQ(r.U16(36), 0);
    return h;
}

// Hundreds of connections that never send a login (a scanner, a host that
// hangs after connecting, one renewed every 30 s) do not keep out a host
// that logs in at once: with every connection taken, the oldest that has
// sent no login gives way to the new one.
TEST(IscsiListener, IdleConnectionsGiveWayToAHostThatLogsIn) {
    if (!EnoughDescriptors()) GTEST_SKIP() << "the system allows this process too few descriptors";
    RamTargets targets;
    sim::IscsiPortal portal(targets);
    sim::IscsiListener listener(portal);
    std::string error;
    ASSERT_TRUE(listener.Listen("127.0.0.1:0", &error)) << error;
    std::vector<std::unique_ptr<Socket>> idle;
    for (size_t i = 0; i < sim::IscsiListener::kMaxConnections; ++i) {
        idle.push_back(std::make_unique<Socket>(listener.port()));
        listener.Service();
    }
    std::vector<std::unique_ptr<SocketHost>> hosts;
    for (int round = 0; round < 3; ++round) {
        hosts.push_back(std::make_unique<SocketHost>(listener));
        hosts.back()->isidQualifier = uint8_t(round);   // sessions of their own
        EXPECT_TRUE(hosts.back()->LogInNormal()) << round;
        EXPECT_EQ(listener.Connections(), sim::IscsiListener::kMaxConnections);
        // The oldest idle connection was closed for it, not the next.
        EXPECT_TRUE(idle[size_t(round)]->Closed()) << round;
    }
    EXPECT_FALSE(idle[3]->Closed());
}

// Past its connections, all of them in a login or logged in, the portal
// still answers a login, refusing it for want of resources; what stays
// silent past them gives way to the next to come.
TEST(IscsiListener, PastItsConnectionsALoginIsRefusedForWantOfResources) {
    if (!EnoughDescriptors()) GTEST_SKIP() << "the system allows this process too few descriptors";
    RamTargets targets;
    sim::IscsiPortal portal(targets);
    sim::IscsiListener listener(portal);
    std::string error;
    ASSERT_TRUE(listener.Listen("127.0.0.1:0", &error)) << error;
    // Every connection taken by a host in its login: none gives way.
    std::vector<std::unique_ptr<SocketHost>> logins;
    for (size_t i = 0; i < sim::IscsiListener::kMaxConnections; ++i) logins.push_back(InLogin(listener));
    std::vector<std::unique_ptr<Socket>> held;
    {
        SocketHost refused(listener);
        EXPECT_EQ(listener.Connections(), sim::IscsiListener::kMaxConnections + 1);
        const Pdu r = refused.Login(0x87, {{"InitiatorName", "iqn.2026-01.host:one"}, {"SessionType", "Discovery"}});
        EXPECT_EQ(r.U16(36), 0x0302);
        EXPECT_FALSE(refused.Await());   // and closed
    }
    EXPECT_EQ(listener.Connections(), sim::IscsiListener::kMaxConnections);
    for (size_t i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<Socket>(listener.port()));
        listener.Service();
        EXPECT_EQ(listener.Connections(), sim::IscsiListener::kMaxConnections + 1);
    }
    EXPECT_TRUE(held[2]->Closed());
    EXPECT_FALSE(held[3]->Closed());
    // Room again: a host is served.
    held.clear();
    logins.clear();
    for (int i = 0; i < 10; ++i) listener.Service();
    SocketHost served(listener);
    EXPECT_TRUE(served.LogInNormal());
}

// A connection that sends no login is closed long before one in its login.
TEST(IscsiListener, ASilentConnectionIsClosedSoonerThanALogin) {
    RamTargets targets;
    sim::IscsiPortal portal(targets);
    sim::IscsiListener listener(portal);
    uint64_t now = 1;
    listener.clock = [&now] { return now; };
    std::string error;
    ASSERT_TRUE(listener.Listen("127.0.0.1:0", &error)) << error;
    Socket mute(listener.port());
    listener.Service();
    const std::unique_ptr<SocketHost> slow = InLogin(listener);
    ASSERT_EQ(listener.Connections(), 2u);
    now += sim::IscsiConnection::kFirstLoginTimeoutNs - 1;
    listener.Service();
    EXPECT_EQ(listener.Connections(), 2u);
    now += sim::IscsiListener::kTickNs + 1;
    listener.Service();
    listener.Service();
    EXPECT_TRUE(mute.Closed());
    EXPECT_EQ(listener.Connections(), 1u);
    now += sim::IscsiConnection::kLoginTimeoutNs;
    listener.Service();
    listener.Service();
    EXPECT_EQ(listener.Connections(), 0u);
}

// The portal's timers run on the listener's clock, with no traffic at all:
// a connection that never logs in is closed, and so is a session that does
// not answer its ping.
TEST(IscsiListener, TimersRunWithoutTraffic) {
    RamTargets targets;
    sim::IscsiPortal portal(targets);
    sim::IscsiListener listener(portal);
    uint64_t now = 1;
    listener.clock = [&now] { return now; };
    std::string error;
    ASSERT_TRUE(listener.Listen("127.0.0.1:0", &error)) << error;
    Socket mute(listener.port());
    SocketHost host(listener);
    ASSERT_TRUE(host.LogInNormal());
    // The listener looks at its connections every kTickNs: the login is
    // heard at the next look.
    now += sim::IscsiListener::kTickNs;
    listener.Service();
    EXPECT_EQ(listener.Connections(), 2u);
    EXPECT_FALSE(listener.TimersDue());
    now += sim::IscsiConnection::kPingIdleNs;
    ASSERT_TRUE(listener.TimersDue());
    listener.Service();
    EXPECT_EQ(host.Next().opcode(), sim::iscsi::kNopIn);   // a ping, left unanswered
    now += sim::IscsiConnection::kLoginTimeoutNs;
    ASSERT_TRUE(listener.TimersDue());
    listener.Service();
    listener.Service();
    EXPECT_EQ(listener.Connections(), 0u);
    EXPECT_TRUE(mute.Closed());
    EXPECT_TRUE(targets.loggedOut);
}

// A host that stops reading fills its socket: its output waits for the
// socket to take more (the poll's POLLOUT) and is no longer reported as
// pending at every look, and once the host reads again it all arrives.
TEST(IscsiListener, OutputToAFullSocketWaitsForThePoll) {
    RamTargets targets;
    sim::IscsiPortal portal(targets);
    sim::IscsiListener listener(portal);
    std::string error;
    ASSERT_TRUE(listener.Listen("127.0.0.1:0", &error)) << error;
    SocketHost host(listener);
    // A fixed receive buffer (one the system tunes could take it all), and
    // commands sent as they are made (the host's acknowledgements wait
    // while it reads nothing).
    const int buffer = 65536, one = 1;
    ASSERT_EQ(setsockopt(host.fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer), 0);
    ASSERT_EQ(setsockopt(host.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one), 0);
    ASSERT_TRUE(host.LogInNormal({{"MaxRecvDataSegmentLength", "65536"}}));
    constexpr int kReads = 32;   // 32 MiB: more than both sockets' buffers hold
    for (int i = 0; i < kReads; ++i) host.Send(host.Command(0xC1, Rw10(0x28, 0, 2048), 1u << 20));
    int looks = 0;
    while (listener.OutputPending() && looks < 10000) {
        listener.Service();
        ++looks;
    }
    EXPECT_FALSE(listener.OutputPending());
    std::vector<pollfd> fds;
    listener.AddPollFds(&fds);
    ASSERT_EQ(fds.size(), 2u);
    EXPECT_TRUE(fds[1].events & POLLOUT) << "the output waits for the socket";

    size_t read = 0;
    int responses = 0;
    while (responses < kReads) {
        Pdu p = host.Next();
        if (p.opcode() == sim::iscsi::kDataIn) read += p.data.size();
        if (p.opcode() == sim::iscsi::kScsiResponse || (p.opcode() == sim::iscsi::kDataIn && (p.bhs[1] & 0x01))) {
            ++responses;
        }
        ASSERT_TRUE(p.opcode() == sim::iscsi::kDataIn || p.opcode() == sim::iscsi::kScsiResponse);
    }
    EXPECT_EQ(read, size_t(kReads) << 20);
}

TEST(IscsiListener, RefusesWhatItCannotListenOn) {
    RamTargets targets;
    sim::IscsiPortal portal(targets);
    sim::IscsiListener first(portal), second(portal), third(portal);
    std::string error;
    ASSERT_TRUE(first.Listen("127.0.0.1:0", &error));
    EXPECT_FALSE(second.Listen("127.0.0.1:" + std::to_string(first.port()), &error));
    EXPECT_FALSE(third.Listen("127.0.0.1:port", &error));
    EXPECT_FALSE(third.Listen("127.0.0.1:70000", &error));
    EXPECT_FALSE(third.Listen("", &error));
}


// A host whose requests go out without the listener being serviced, so the
// test says when and how the listener looks.
struct QuietHost : SocketHost {
    using SocketHost::SocketHost;
    void Transmit(const std::vector<uint8_t>& bytes) override {
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    void SendLogin() {
        Pdu p = sim::iscsi::MakePdu(sim::iscsi::kLoginRequest | sim::iscsi::kImmediate, false);
        p.bhs[1] = 0x81;
        const uint8_t isid[6] = {0x80, 0, 0, 0x12, 0x34, 0x02};
        std::memcpy(&p.bhs[8], isid, 6);
        sim::iscsi::AppendTextKey(&p.data, "InitiatorName", "iqn.2026-01.host:two");
        sim::iscsi::AppendTextKey(&p.data, "SessionType", "Discovery");
        Send(std::move(p));
    }
    bool Answered(int waitMs) const {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, waitMs) == 1;
    }
};

// After a poll the listener looks only at the sockets the poll found ready,
// taking the poll's entries in their order (the portal's socket first), and
// a look at the hosts there are accepts none and reads only from hosts it
// has output for: a busy portal makes fewer system calls that can only
// find nothing.
TEST(IscsiListener, APollSaysWhichSocketsAreLookedAt) {
    RamTargets targets;
    sim::IscsiPortal portal(targets);
    sim::IscsiListener listener(portal);
    // Still: the connections' timers, which look at every host, run once.
    const uint64_t now = 1'000'000'000;
    listener.clock = [now] { return now; };
    std::string error;
    ASSERT_TRUE(listener.Listen("127.0.0.1:0", &error)) << error;
    SocketHost first(listener);
    ASSERT_TRUE(first.LogInNormal());
    QuietHost second(listener);
    ASSERT_EQ(listener.Connections(), 2u);
    auto look = [&listener](int waitMs) {
        std::vector<pollfd> fds;
        listener.AddPollFds(&fds);
        if (waitMs >= 0) {
            EXPECT_GT(poll(fds.data(), nfds_t(fds.size()), waitMs), 0);
        }
        listener.Service(fds.data(), fds.size());
    };

    // A host waiting to be accepted is not, by a look at the hosts there
    // are nor after a poll that found nothing.
    Socket third(listener.port());
    listener.ServiceHosts();
    look(-1);
    EXPECT_EQ(listener.Connections(), 2u);
    look(1000);
    EXPECT_EQ(listener.Connections(), 3u);

    // A request is not read by a look at the hosts with output nor after a
    // poll that found nothing; it is after a poll that found it.
    second.SendLogin();
    listener.ServiceHosts();
    look(-1);
    EXPECT_FALSE(second.Answered(0));
    look(1000);
    EXPECT_TRUE(second.Answered(1000));
}

}  // namespace
