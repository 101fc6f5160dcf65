// The iSCSI portal on TCP: a listening socket and one connection state
// machine per accepted host.  Every socket is non-blocking and serviced from
// the board's poll hook, so the network never holds up the simulated
// processor; when the firmware idles, the program waits on these sockets
// rather than sleeping blind.
#pragma once

#include <poll.h>

#include <cstdint>
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
    // answered, and closes what ended.  Never blocks.
    void Service();
    // The sockets worth waiting on, and for what.
    void AddPollFds(std::vector<pollfd>* fds) const;
    size_t Connections() const { return m_clients.size(); }

private:
    struct Client {
        int fd;
        std::unique_ptr<IscsiConnection> connection;
        size_t sent = 0;   // bytes of the connection's output already sent
    };
    // False when the client is done with.
    bool ServiceClient(Client& client);

    IscsiPortal& m_portal;
    int m_fd = -1;
    std::string m_address;
    uint16_t m_port = 0;
    std::vector<Client> m_clients;
};

}  // namespace sim
