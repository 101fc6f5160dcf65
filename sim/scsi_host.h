// One initiator on a bus of the parallel SCSI host chip, as a test (or a
// program) drives it: a SCSI id on the bus, sending commands and waiting
// for their answers in the board's time.  The interface is the Fibre
// Channel host's.
//
//     sim::ScsiHost host(board, *sim::FindScsiHostIoc(board, 0), 7);
//     host.LogIn();
//     sim::FcpResult r = host.Send(0, {0x12, 0, 0, 0, 96, 0}, {}, 96);   // INQUIRY
#pragma once

#include <cstdint>

#include "sim/scsi_host_ioc.h"
#include "sim/tagged_host.h"

namespace sim {

class ScsiHost : public TaggedHost {
public:
    ScsiHost(Board& board, ScsiHostIoc& ioc, uint8_t scsiId);

    // Runs the board until the port answers on the bus.
    bool LogIn(uint64_t limitNs = kDefaultLimitNs);
    uint8_t scsiId() const { return m_id; }
    // Resets the bus under every initiator on it.
    void BusReset() { m_ioc.BusReset(); }

private:
    void Issue(uint16_t tag, const FcpCommand& command, uint16_t managedTag, Done done) override;

    ScsiHostIoc& m_ioc;
    uint8_t m_id;
};

}  // namespace sim
