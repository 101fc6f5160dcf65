#include "sim/sas_host.h"

namespace sim {

SasHost::SasHost(Board& board, SasTargetIoc& ioc, uint8_t port, uint64_t sasAddress)
    : TaggedHost(board), m_ioc(ioc), m_port(port), m_address(sasAddress) {}

SasHost::~SasHost() { LogOut(); }

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

void SasHost::Issue(uint16_t tag, const FcpCommand& command, uint16_t managedTag, Done done) {
    m_ioc.Frame(m_index, tag, command, managedTag, std::move(done));
}

}  // namespace sim
