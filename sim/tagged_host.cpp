#include "sim/tagged_host.h"

namespace sim {

bool TaggedHost::RunUntil(const std::function<bool()>& done, uint64_t limitNs) {
    return RunHostUntil(m_board, done, limitNs);
}

FcpResult TaggedHost::Send(uint16_t lun, const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut,
                           uint32_t dataInLength, uint64_t limitNs) {
    return Send(FcpCommand::To(lun, cdb, dataOut, dataInLength), limitNs);
}

FcpResult TaggedHost::Send(const FcpCommand& command, uint64_t limitNs) { return Wait(Submit(command), limitNs); }

uint32_t TaggedHost::Submit(const FcpCommand& command, uint16_t managedTag) {
    const uint16_t tag = m_nextTag;
    m_nextTag = static_cast<uint16_t>(m_nextTag == 0xFFFF ? 1 : m_nextTag + 1);
    m_results[tag] = FcpResult{};
    Issue(tag, command, managedTag, [this](uint16_t t, const FcpResult& r) {
        auto it = m_results.find(t);
        if (it == m_results.end()) return;
        it->second = r;
        if (onCompletion) onCompletion(t, r);
    });
    return tag;
}

FcpResult TaggedHost::TaskManagement(uint16_t lun, uint8_t function, uint16_t managedTag, uint64_t limitNs) {
    FcpCommand command;
    command.lun = lun;
    command.taskManagement = function;
    return Wait(Submit(command, managedTag), limitNs);
}

bool TaggedHost::Finished(uint32_t tag) const {
    auto it = m_results.find(tag);
    return it == m_results.end() || it->second.outcome != FcpResult::Outcome::Pending;
}

FcpResult TaggedHost::Wait(uint32_t tag, uint64_t limitNs) {
    RunUntil([this, tag] { return Finished(tag); }, limitNs);
    auto it = m_results.find(tag);
    if (it == m_results.end()) return FcpResult{};
    FcpResult result = it->second;
    if (result.outcome != FcpResult::Outcome::Pending) m_results.erase(it);
    return result;
}

}  // namespace sim
