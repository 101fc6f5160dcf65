#include "sim/fc_host.h"

namespace sim {

FcHost::FcHost(Board& board, FcFabric& fabric, FcTargetPort& target, uint64_t portName)
    : m_board(board), m_target(target), m_initiator(fabric.AddInitiator(portName)) {
    m_initiator.autoLogin = false;
}

bool RunHostUntil(Board& board, const std::function<bool()>& done, uint64_t limitNs) {
    const uint64_t end = board.clock().Now() + limitNs;
    while (!done()) {
        const uint64_t now = board.clock().Now();
        if (now >= end) return false;
        if (board.RunUntil(done, end - now) != StopKind::Running) return done();
    }
    return true;
}

bool FcHost::RunUntil(const std::function<bool()>& done, uint64_t limitNs) {
    return RunHostUntil(m_board, done, limitNs);
}

bool FcHost::LogIn(uint64_t limitNs) {
    // A target port that is still coming up is waited for.
    RunUntil([this] { return m_target.Online(); }, limitNs);
    m_initiator.LogIn(m_target);
    RunUntil([this] { return m_initiator.LoginState(m_target) != FcInitiator::Login::Pending; }, limitNs);
    return LoggedIn();
}

void FcHost::LogOut() { m_initiator.LogOut(m_target); }

bool FcHost::LoggedIn() const { return m_initiator.LoginState(m_target) == FcInitiator::Login::LoggedIn; }

FcpResult FcHost::Send(uint16_t lun, const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut,
                       uint32_t dataInLength, uint64_t limitNs) {
    return Send(FcpCommand::To(lun, cdb, dataOut, dataInLength), limitNs);
}

FcpResult FcHost::Send(const FcpCommand& command, uint64_t limitNs) { return Wait(Submit(command), limitNs); }

uint32_t FcHost::Submit(const FcpCommand& command) { return m_initiator.Submit(m_target, command); }

FcpResult FcHost::Wait(uint32_t tag, uint64_t limitNs) {
    RunUntil([this, tag] { return m_initiator.Finished(tag); }, limitNs);
    FcpResult result = m_initiator.Result(tag);
    if (result.outcome != FcpResult::Outcome::Pending) m_initiator.Forget(tag);
    return result;
}

FcInitiator::AbortAnswer FcHost::Abort(uint32_t tag, uint64_t limitNs) {
    m_initiator.Abort(tag);
    RunUntil([this, tag] { return m_initiator.AbortState(tag) != FcInitiator::AbortAnswer::Pending; }, limitNs);
    return m_initiator.AbortState(tag);
}

FcpResult FcHost::TaskManagement(uint16_t lun, uint8_t flags, uint64_t limitNs) {
    FcpCommand command;
    command.lun = lun;
    command.taskManagement = flags;
    return Send(command, limitNs);
}

}  // namespace sim
