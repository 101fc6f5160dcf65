// One SAS initiator on a host port of the SAS target IOC, as a test (or a
// program) drives it: a SAS address on the port's phys, sending COMMAND
// and TASK frames and waiting for their answers in the board's time.  The
// interface is the Fibre Channel host's.
//
//     sim::SasHost host(board, *board.sasTargetIoc(), 0, 0x500605B0000A0001);
//     host.LogIn();
//     sim::FcpResult r = host.Send(0, {0x12, 0, 0, 0, 96, 0}, {}, 96);   // INQUIRY
#pragma once

#include <cstdint>

#include "sim/sas_target_ioc.h"
#include "sim/tagged_host.h"

namespace sim {

class SasHost : public TaggedHost {
public:
    SasHost(Board& board, SasTargetIoc& ioc, uint8_t port, uint64_t sasAddress);
    ~SasHost() override;

    // Links to the port and runs the board until the port is up.
    bool LogIn(uint64_t limitNs = kDefaultLimitNs);
    void LogOut();
    bool LoggedIn() const { return m_index >= 0; }
    int index() const { return m_index; }
    uint64_t sasAddress() const { return m_address; }
    // Moves to the other port; its initiator index stays.
    void MoveTo(uint8_t port);


private:
    void Issue(uint16_t tag, const FcpCommand& command, uint16_t managedTag, Done done) override;

    SasTargetIoc& m_ioc;
    uint8_t m_port;
    uint64_t m_address;
    int m_index = -1;
};

}  // namespace sim
