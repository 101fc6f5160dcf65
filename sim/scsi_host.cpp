#include "sim/scsi_host.h"

namespace sim {

ScsiHost::ScsiHost(Board& board, ScsiHostIoc& ioc, uint8_t scsiId) : TaggedHost(board), m_ioc(ioc), m_id(scsiId) {}

bool ScsiHost::LogIn(uint64_t limitNs) {
    return RunUntil([this] { return m_ioc.portEnabled(0); }, limitNs);
}

void ScsiHost::Issue(uint16_t tag, const FcpCommand& command, uint16_t managedTag, Done done) {
    m_ioc.Command(m_id, tag, command, std::move(done), managedTag);
}

}  // namespace sim
