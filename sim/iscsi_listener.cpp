#include "sim/iscsi_listener.h"

#include <cstdio>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace sim {

namespace {

// A host that reads slowly holds back its own input, not the board: past
// this much unsent output its connection takes no more requests.
constexpr size_t kOutputBacklog = 8u << 20;
// Input taken from one host per service, so one busy host cannot starve
// the others or the processor.
constexpr size_t kReadPerService = 1u << 20;

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

std::string AddressText(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = "";
    char text[INET6_ADDRSTRLEN + 16];
    if (a.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
        inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
        std::snprintf(text, sizeof text, "[%s]:%u", host, unsigned(ntohs(in6.sin6_port)));
        return text;
    }
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(a);
    inet_ntop(AF_INET, &in4.sin_addr, host, sizeof host);
    std::snprintf(text, sizeof text, "%s:%u", host, unsigned(ntohs(in4.sin_port)));
    return text;
}

uint64_t MonotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1'000'000'000ull + uint64_t(t.tv_nsec);
}

}  // namespace

IscsiListener::IscsiListener(IscsiPortal& portal) : clock(MonotonicNs), m_portal(portal) {
    m_spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

IscsiListener::~IscsiListener() {
    for (Client& c : m_clients) {
        c.connection.reset();
        close(c.fd);
    }
    if (m_fd >= 0) close(m_fd);
    if (m_spareFd >= 0) close(m_spareFd);
}

bool IscsiListener::Listen(const std::string& spec, std::string* error) {
    std::string host, port = spec;
    const size_t colon = spec.rfind(':');
    if (colon != std::string::npos) {
        host = spec.substr(0, colon);
        port = spec.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    }
    if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 ||
        std::stoul(port) > 65535) {
        *error = "a port is a number from 0 to 65535";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        *error = gai_strerror(rc);
        return false;
    }
    *error = "no address";
    for (addrinfo* a = found; a && m_fd < 0; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 16) == 0 && SetNonBlocking(fd)) {
            m_fd = fd;
        } else {
            *error = std::strerror(errno);
            close(fd);
        }
    }
    freeaddrinfo(found);
    if (m_fd < 0) return false;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound), &length);
    m_address = AddressText(bound);
    m_port = uint16_t(std::stoul(m_address.substr(m_address.rfind(':') + 1)));
    return true;
}

void IscsiListener::Service() { Serve(Look{}); }

void IscsiListener::Service(const pollfd* polled, size_t count) { Serve(Look{polled, count, true}); }

void IscsiListener::ServiceHosts() { Serve(Look{nullptr, 0, false, true}); }

void IscsiListener::Serve(const Look& look) {
    if (m_fd < 0) return;
    const uint64_t now = clock();
    // The poll's entries are in AddPollFds's order: the portal's socket
    // (unless accepting pauses), then the hosts as they stand.  A host
    // without an entry (accepted since) is looked at in full.
    size_t next = 0;
    auto polled = [&](int fd) -> short {
        if (look.polled == nullptr) return POLLIN | POLLOUT;
        if (next < look.count && look.polled[next].fd == fd) return look.polled[next++].revents;
        return POLLIN | POLLOUT;
    };
    const short listening = m_acceptAtNs == 0 ? polled(m_fd) : 0;
    if (look.accept && now >= m_acceptAtNs && (m_acceptAtNs != 0 || listening != 0)) Accept(now);
    const bool tick = now >= m_tickAtNs;
    if (tick) m_tickAtNs = now + kTickNs;
    for (size_t i = 0; i < m_clients.size();) {
        Client& c = m_clients[i];
        const short ready = polled(c.fd);
        if (tick) c.connection->Tick(now);
        // A look to send (at a tick, every host is looked at in full).
        const bool sendOnly = look.sendOnly && !tick;
        if (sendOnly && !HasOutput(c)) {
            ++i;
            continue;
        }
        // A closed or failed socket shows as readable: the read finds out.
        const bool read = !sendOnly && (ready & (POLLIN | POLLHUP | POLLERR)) != 0;
        const bool write = !c.full || (ready & (POLLOUT | POLLHUP | POLLERR)) != 0;
        if (ServiceClient(c, read, write)) {
            ++i;
            continue;
        }
        // The initiator logs out before the socket goes.
        c.connection.reset();
        close(c.fd);
        m_clients.erase(m_clients.begin() + long(i));
    }
    // A connection another one reinstated is closed now; its socket goes
    // once the rest of its output is out (above, at the next service).
}

bool IscsiListener::TimersDue() const {
    if (m_fd < 0) return false;
    const uint64_t now = clock();
    return (!m_clients.empty() && now >= m_tickAtNs) || (m_acceptAtNs != 0 && now >= m_acceptAtNs);
}

void IscsiListener::Accept(uint64_t nowNs) {
    m_acceptAtNs = 0;
    for (;;) {
        int fd = accept(m_fd, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            // Out of descriptors: the host is turned away, or when even that
            // cannot be done, accepting pauses rather than spin on a socket
            // that stays ready.
            if ((errno == EMFILE || errno == ENFILE) && TurnAway()) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) m_acceptAtNs = nowNs + kAcceptPauseNs;
            break;
        }
        if (m_clients.size() >= kMaxConnections) MakeRoom();
        if (!SetNonBlocking(fd) || m_clients.size() >= kMaxConnections + kRefusingConnections) {
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A host that vanished without a word (its machine off, a cable out)
        // is found by the system's keepalive probes.
        int idle = 60, interval = 10, count = 5;
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
        // Discovery tells hosts the address they reached this portal on.
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        auto connection = std::make_unique<IscsiConnection>(m_portal, AddressText(local));
        if (m_clients.size() >= kMaxConnections) connection->RefuseLogins();
        connection->Tick(nowNs);
        m_clients.push_back(Client{fd, std::move(connection)});
    }
}

// Connections that have sent nothing (a port scanner, a host that hung
// after connecting) cannot keep out one that logs in at once.
bool IscsiListener::MakeRoom() {
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
        if (it->connection->LoginStarted() || it->connection->Closing()) continue;
        it->connection.reset();
        close(it->fd);
        m_clients.erase(it);
        return true;
    }
    return false;
}

bool IscsiListener::TurnAway() {
    if (m_spareFd < 0) return false;
    close(m_spareFd);
    m_spareFd = -1;
    const int fd = accept(m_fd, nullptr, nullptr);
    if (fd >= 0) close(fd);
    m_spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return fd >= 0;
}

bool IscsiListener::ServiceClient(Client& c, bool read, bool write) {
    IscsiConnection& conn = *c.connection;
    uint8_t buffer[65536];
    size_t taken = 0;
    while (read && !conn.Closing() && conn.Backlog() - c.sent < kOutputBacklog && taken < kReadPerService) {
        ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n == 0) return false;   // the host closed
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return false;
        }
        conn.Receive(buffer, size_t(n));
        taken += size_t(n);
        // Less than asked for: the socket had no more just now.  What comes
        // after waits for the next look rather than for a read that would
        // most often find nothing (a system call for each host served).
        if (size_t(n) < sizeof buffer) break;
    }
    // What waits for the host (read data above all) joins the output as the
    // host takes it, so a host that reads slowly holds no more than that.
    std::vector<uint8_t>& out = conn.output();
    while (write) {
        if (c.sent == out.size()) {
            out.clear();
            c.sent = 0;
            conn.Produce();
            if (out.empty()) break;
        }
        ssize_t n = send(c.fd, out.data() + c.sent, out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                c.full = true;
                break;
            }
            return false;
        }
        c.full = false;
        c.sent += size_t(n);
    }
    if (c.sent == out.size()) {
        if (conn.Closing()) return false;
    } else if (c.sent > (1u << 20)) {
        out.erase(out.begin(), out.begin() + long(c.sent));
        c.sent = 0;
    }
    return true;
}

// A host whose socket took no more is left to the poll's POLLOUT: looking
// again at every main-loop cycle would only cost a failed send each time.
bool IscsiListener::OutputPending() const {
    return std::any_of(m_clients.begin(), m_clients.end(), [this](const Client& c) { return HasOutput(c); });
}

void IscsiListener::AddPollFds(std::vector<pollfd>* fds) const {
    if (m_fd >= 0 && m_acceptAtNs == 0) fds->push_back(pollfd{m_fd, POLLIN, 0});
    for (const Client& c : m_clients) {
        short events = 0;
        const size_t unsent = c.connection->Backlog() - c.sent;
        if (!c.connection->Closing() && unsent < kOutputBacklog) events |= POLLIN;
        if (unsent != 0) events |= POLLOUT;
        fds->push_back(pollfd{c.fd, events, 0});
    }
}

}  // namespace sim
