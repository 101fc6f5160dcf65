#include "sim/iscsi_host_nexus.h"

#include "hw/scsi.h"

namespace sim {

namespace {

// iSCSI's task attributes as the host ports number them.
uint8_t HostAttribute(uint8_t iscsi) {
    switch (iscsi) {
    case 0: return fw::TASK_ATTR_UNTAGGED;
    case 2: return fw::TASK_ATTR_ORDERED;
    case 3: return fw::TASK_ATTR_HEAD_OF_QUEUE;
    case 4: return fw::TASK_ATTR_ACA;
    default: return fw::TASK_ATTR_SIMPLE;
    }
}

// A single-level LUN travels in the first two bytes of either LUN field.
uint16_t SingleLevelLun(uint64_t iscsiLun) { return uint16_t(iscsiLun >> 48); }

}  // namespace

uint64_t InitiatorNameHash(const std::string& initiatorName, unsigned instance) {
    // FNV-1a over the name, then the instance.
    uint64_t hash = 0xCBF29CE484222325ull;
    for (unsigned char c : initiatorName) hash = (hash ^ c) * 0x100000001B3ull;
    return (hash ^ instance) * 0x100000001B3ull;
}

std::vector<std::string> HostPortTargets::TargetNames() const {
    std::vector<std::string> names;
    for (const std::string& suffix : m_suffixes) names.push_back(m_namePrefix + suffix);
    return names;
}

uint64_t HostPortTargets::HoldName(const std::string& initiatorName,
                                   uint64_t (*nameFor)(const std::string&, unsigned)) {
    unsigned instance = 0;
    while (m_held.count(nameFor(initiatorName, instance))) ++instance;
    const uint64_t name = nameFor(initiatorName, instance);
    m_held.insert(name);
    return name;
}

FcpCommand HostCommandNexus::CommandFor(uint32_t tag, IscsiTask task) {
    FcpCommand c;
    c.lun = SingleLevelLun(task.lun);
    c.cdb = std::move(task.cdb);
    c.dataOut = std::move(task.dataOut);
    c.dataInLength = task.dataInLength;
    c.fcpDl = task.expectedLength;
    c.taskAttribute = HostAttribute(task.attribute);
    m_expected[tag] = Expected{task.expectedLength, !c.dataOut.empty() || task.dataInLength == 0};
    return c;
}

FcpCommand HostCommandNexus::FunctionFor(uint64_t lun) {
    FcpCommand c;
    c.lun = SingleLevelLun(lun);
    return c;
}

void HostCommandNexus::FinishTask(uint32_t tag, FcpResult& r) {
    using Outcome = FcpResult::Outcome;
    IscsiTaskResult result;
    switch (r.outcome) {
    case Outcome::Done:
        result.status = r.status;
        result.sense = std::move(r.sense);
        result.dataIn = std::move(r.dataIn);
        result.residual = r.residual;
        result.underflow = r.residualUnder;
        result.overflow = r.residualOver;
        if (!r.residualUnder && !r.residualOver) NoteShortTransfer(tag, r, &result);
        break;
    case Outcome::Aborted: result.outcome = IscsiTaskResult::Outcome::Aborted; break;
    case Outcome::Terminated:
        // Ended by task management; else lost with a port that went dark,
        // or a target failure the host can retry.
        result.outcome = m_functionsUnderWay != 0 || m_aborts.count(tag) ? IscsiTaskResult::Outcome::Aborted
                         : PortGone()                                   ? IscsiTaskResult::Outcome::Lost
                                                                        : IscsiTaskResult::Outcome::Failed;
        break;
    default:
        result.outcome = PortGone() ? IscsiTaskResult::Outcome::Lost : IscsiTaskResult::Outcome::Failed;
        break;
    }
    m_expected.erase(tag);
    std::vector<uint32_t> aborts;
    if (auto abort = m_aborts.find(tag); abort != m_aborts.end()) {
        aborts = std::move(abort->second);
        m_aborts.erase(abort);
    }
    onTaskDone(tag, std::move(result));
    for (uint32_t abortTag : aborts) onTaskManagementDone(abortTag, kTmfComplete);
}

bool HostCommandNexus::AwaitEnd(uint32_t abortTag, uint32_t task) {
    std::vector<uint32_t>& aborts = m_aborts[task];
    aborts.push_back(abortTag);
    return aborts.size() == 1;
}

void HostCommandNexus::RefuseAborts(uint32_t task, uint8_t response) {
    auto abort = m_aborts.find(task);
    if (abort == m_aborts.end()) return;
    const std::vector<uint32_t> aborts = std::move(abort->second);
    m_aborts.erase(abort);
    for (uint32_t abortTag : aborts) onTaskManagementDone(abortTag, response);
}

void HostCommandNexus::NoteShortTransfer(uint32_t tag, const FcpResult& r, IscsiTaskResult* result) {
    auto expected = m_expected.find(tag);
    if (expected == m_expected.end()) return;
    const uint32_t moved = expected->second.write ? r.dataOutTaken : uint32_t(result->dataIn.size());
    if (moved < expected->second.length) {
        result->underflow = true;
        result->residual = expected->second.length - moved;
    }
}

}  // namespace sim
