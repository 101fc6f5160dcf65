#include "sim/sas_host.h"

namespace sim {

SasHost::SasHost(Board& board, SasTargetIoc& ioc, uint8_t port, uint64_t sasAddress)
    : m_board(board), m_ioc(ioc), m_port(port), m_address(sasAddress) {}

SasHost::~SasHost() { LogOut(); }

bool SasHost::RunUntil(const std::function<bool()>& done, uint64_t limitNs) {
    return RunHostUntil(m_board, done, limitNs);
}

bool SasHost::LogIn(uint64_t limitNs) {
    if (m_index < 0) m_index = m_ioc.Attach(m_port, m_address);
    if (m_index < 0) return false;
    return RunUntil([this] { return m_ioc.PortLinked(m_port); }, limitNs);
}

void SasHost::LogOut() {
    if (m_index < 0) return;
    m_ioc.Detach(m_index);
    m_index = -1;
}

void SasHost::MoveTo(uint8_t port) {
    m_port = port;
    if (m_index >= 0) m_ioc.Move(m_index, port);
}

FcpResult SasHost::Send(uint16_t lun, const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut,
                        uint32_t dataInLength, uint64_t limitNs) {
    return Send(FcpCommand::To(lun, cdb, dataOut, dataInLength), limitNs);
}

FcpResult SasHost::Send(const FcpCommand& command, uint64_t limitNs) { return Wait(Submit(command), limitNs); }

uint32_t SasHost::Submit(const FcpCommand& command, uint16_t managedTag) {
    const uint16_t tag = m_nextTag;
    m_nextTag = static_cast<uint16_t>(m_nextTag == 0xFFFF ? 1 : m_nextTag + 1);
    m_results[tag] = FcpResult{};
    m_ioc.Frame(m_index, tag, command, managedTag, [this](uint16_t t, const FcpResult& r) {
        auto it = m_results.find(t);
        if (it == m_results.end()) return;
        it->second = r;
        if (onCompletion) onCompletion(t, r);
    });
    return tag;
}

bool SasHost::Finished(uint32_t tag) const {
    auto it = m_results.find(tag);
    return it == m_results.end() || it->second.outcome != FcpResult::Outcome::Pending;
}

FcpResult SasHost::Wait(uint32_t tag, uint64_t limitNs) {
    RunUntil([this, tag] { return Finished(tag); }, limitNs);
    auto it = m_results.find(tag);
    if (it == m_results.end()) return FcpResult{};
    FcpResult result = it->second;
    if (result.outcome != FcpResult::Outcome::Pending) m_results.erase(it);
    return result;
}

FcpResult SasHost::TaskManagement(uint16_t lun, uint8_t function, uint16_t managedTag, uint64_t limitNs) {
    FcpCommand command;
    command.lun = lun;
    command.taskManagement = function;
    return Wait(Submit(command, managedTag), limitNs);
}

}  // namespace sim
