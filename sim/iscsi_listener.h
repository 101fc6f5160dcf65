// The iSCSI portal on TCP: a listening socket and one connection state
// machine per accepted host.  Every socket is non-blocking and serviced from
// the board's poll hook, so the network never holds up the simulated
// processor; when the firmware idles, the program waits on these sockets
// rather than sleeping blind.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/iscsi_portal.h"

namespace sim {

class IscsiListener {
public:
    explicit IscsiListener(IscsiPortal& portal);
    ~IscsiListener();
    IscsiListener(const IscsiListener&) = delete;
    IscsiListener& operator=(const IscsiListener&) = delete;

    // Listens on "[ADDRESS:]PORT" (an IPv6 address in brackets; no address
    // means every interface; port 0 takes a free one).  False with the
    // reason when it cannot.
    bool Listen(const std::string& spec, std::string* error);
    // Where hosts reach the portal, "ADDRESS:PORT".
    const std::string& address() const { return m_address; }
    uint16_t port() const { return m_port; }

    // Accepts new hosts, reads what they sent, writes what the portal
    // answered, and closes what ended; lets the connections' timers run.
    // Never blocks.
    void Service();
    // The same after a poll of AddPollFds's descriptors: accepts only when
    // the portal's socket was ready and reads only from the hosts whose
    // sockets were, so a busy portal pays no system call that can only
    // find nothing.
    void Service(const pollfd* polled, size_t count);
    // Writes what the portal answered, to the hosts it has output for, and
    // reads nothing: for the main-loop cycles that have output to send.  A
    // host's next request waits for the next Service (after the poll the
    // program makes every few cycles and at every sleep): a read at every
    // such cycle found nothing most times, a system call each, and with
    // many hosts one for every host.
    void ServiceHosts();
    // Whether Service is due although no socket is ready: the connections'
    // timers, or a pause of accepting, ran out.
    bool TimersDue() const;
    // Whether the portal has output for a host not yet sent, to a host
    // whose socket still takes it.
    bool OutputPending() const;
    // The sockets worth waiting on, and for what.
    void AddPollFds(std::vector<pollfd>* fds) const;
    size_t Connections() const { return m_clients.size(); }

    // Connections served at once.  With all of them taken the oldest whose
    // host has sent no login gives way to a new one; with none such, a
    // login is refused for want of resources, and past a few more a
    // connection is closed as it comes.
    static constexpr size_t kMaxConnections = 512;
    static constexpr size_t kRefusingConnections = 16;
    // With no descriptor left for a new host, accepting pauses this long.
    static constexpr uint64_t kAcceptPauseNs = 100'000'000;
    static constexpr uint64_t kTickNs = 100'000'000;
    // Nanoseconds of a monotonic clock: the system's, or a test's.
    std::function<uint64_t()> clock;

private:
    struct Client {
        int fd;
        std::unique_ptr<IscsiConnection> connection;
        size_t sent = 0;   // bytes of the connection's output already sent
        bool full = false;   // the host's socket took no more at the last send
    };
    // What a service looks at.
    struct Look {
        const pollfd* polled = nullptr;   // a poll's results; none: every socket
        size_t count = 0;
        bool accept = true;               // new hosts too, or only those there are
        bool sendOnly = false;            // only send, to the hosts with output waiting
    };
    bool HasOutput(const Client& c) const { return !c.full && c.connection->output().size() != c.sent; }
    void Serve(const Look& look);
    // False when the client is done with.
    bool ServiceClient(Client& client, bool read, bool write);
    void Accept(uint64_t nowNs);
    // Closes the oldest connection whose host has sent no login; false
    // when every one has.
    bool MakeRoom();
    // A host the listener has no descriptor for is turned away at once
    // rather than left waiting in the backlog.
    bool TurnAway();

    IscsiPortal& m_portal;
    int m_fd = -1;
    int m_spareFd = -1;          // given up to turn a host away when descriptors run out
    uint64_t m_acceptAtNs = 0;   // accepting pauses until then
    uint64_t m_tickAtNs = 0;
    std::string m_address;
    uint16_t m_port = 0;
    std::vector<Client> m_clients;
};

}  // namespace sim
