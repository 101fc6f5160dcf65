// One host on the simulated fabric as a test (or a program) drives it: an
// initiator logged in to one target port, sending SCSI commands and waiting
// for their answers in the virtual time of the target's board.
//
//     sim::FcHost host(board, fabric, *sim::FindIspChip(board, 1), 0x2100001B32000001);
//     host.LogIn();
//     sim::FcpResult r = host.Send(0, {0x12, 0, 0, 0, 96, 0}, {}, 96);   // INQUIRY
//     // r.outcome == Done, r.status, r.sense, r.dataIn, r.residual ...
#pragma once

#include <cstdint>
#include <vector>

#include "sim/board.h"
#include "sim/fc_fabric.h"

namespace sim {

// Runs the board until the condition holds or the limit passed (FALSE);
// every simulated host waits this way.
bool RunHostUntil(Board& board, const std::function<bool()>& done, uint64_t limitNs);

class FcHost {
public:
    static constexpr uint64_t kDefaultLimitNs = 5'000'000'000ull;

    FcHost(Board& board, FcFabric& fabric, FcTargetPort& target, uint64_t portName);
    FcInitiator& initiator() { return m_initiator; }
    FcTargetPort& target() { return m_target; }

    // Logs in (PLOGI, PRLI) and runs the board until the login is answered.
    bool LogIn(uint64_t limitNs = kDefaultLimitNs);
    void LogOut();
    bool LoggedIn() const;

    // One command, run to its end: the SCSI status, sense, data in and
    // residual come back in the result (outcome Pending when the time limit
    // passed first).
    FcpResult Send(uint16_t lun, const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut = {},
                   uint32_t dataInLength = 0, uint64_t limitNs = kDefaultLimitNs);
    FcpResult Send(const FcpCommand& command, uint64_t limitNs = kDefaultLimitNs);
    // The same in two halves, for commands that overlap.
    uint32_t Submit(const FcpCommand& command);
    FcpResult Wait(uint32_t tag, uint64_t limitNs = kDefaultLimitNs);
    // ABTS for a submitted command, run until the target answered it.
    FcInitiator::AbortAnswer Abort(uint32_t tag, uint64_t limitNs = kDefaultLimitNs);
    // A task management function (FCP task management flags) to a LUN.
    FcpResult TaskManagement(uint16_t lun, uint8_t flags, uint64_t limitNs = kDefaultLimitNs);

    // Runs the board until the condition holds or the limit passed.
    bool RunUntil(const std::function<bool()>& done, uint64_t limitNs = kDefaultLimitNs);

private:
    Board& m_board;
    FcTargetPort& m_target;
    FcInitiator& m_initiator;
};

}  // namespace sim
