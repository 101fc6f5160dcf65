#include "sim/iscsi_sas_bridge.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>

#include "hw/scsi.h"

namespace sim {

namespace {

// The task management functions of a TASK frame.
constexpr uint8_t kSasAbortTask = 0x01;
constexpr uint8_t kSasAbortTaskSet = 0x02;
constexpr uint8_t kSasClearTaskSet = 0x04;
constexpr uint8_t kSasLogicalUnitReset = 0x08;
constexpr uint8_t kSasClearAca = 0x40;

// WRITE AND VERIFY(12): the firmware refuses it, but its length is cut as
// the other writes' are.
constexpr uint8_t kWriteAndVerify12 = 0xAE;
// VERIFY's BYTCHK field: set, the host sends data to compare.
constexpr uint8_t kByteCheck = 0x06;
// Invalid field in command information unit.
constexpr uint8_t kAscInvalidInformationUnit = 0x0E;
constexpr uint8_t kAscqInvalidFieldInCommandIu = 0x03;

// What a TASK frame's response code says, as iSCSI answers it.
uint8_t IscsiResponse(const FcpResult& r) {
    if (r.outcome != FcpResult::Outcome::Done) return kTmfRejected;
    switch (r.status) {
    case 0x00:   // function complete
    case 0x08:   // function succeeded
        return kTmfComplete;
    case 0x04: return kTmfNotSupported;
    case 0x09: return kTmfNoLun;   // incorrect logical unit number
    default: return kTmfRejected;
    }
}

}  // namespace

// One iSCSI session's initiator, linked to one port of the target IOC for as
// long as the session lasts.
class SasNexus : public HostCommandNexus {
public:
    SasNexus(IscsiSasBridge& bridge, SasTargetIoc& ioc, uint8_t port, int index, uint64_t address)
        : m_bridge(bridge), m_ioc(ioc), m_port(port), m_index(index), m_address(address) {}

    ~SasNexus() override {
        // The initiator leaves: what it still had open ends at the IOC, and
        // nothing of it is told to a session that is gone.
        m_closing = true;
        if (m_index >= 0) m_ioc.Detach(m_index);
        m_bridge.ReleaseName(m_address);
    }

    // An initiator the IOC had no room for (index -1) is refused.
    Login login() const override { return m_index >= 0 ? Login::Ready : Login::Refused; }

    // SAS has no target reset among its task management functions.
    bool Carries(uint8_t function) const override { return function != kTmfTargetWarmReset; }

    void Submit(uint32_t tag, IscsiTask task) override {
        const uint32_t expected = task.expectedLength;
        FcpCommand c = CommandFor(tag, std::move(task));
        if (expected != 0 && MovesDataAgainst(c)) {
            // A COMMAND frame carries no direction bits: the bridge refuses
            // what an FC port's firmware refuses, a block command whose
            // data goes against the host's R and W bits, before it can
            // write data that never came.
            FcpResult r;
            r.outcome = FcpResult::Outcome::Done;
            r.status = fw::SCSI_STATUS_CHECK_CONDITION;
            r.sense.resize(fw::SENSE_FIXED_LENGTH);
            fw::BuildFixedSense(r.sense.data(), fw::SENSE_ILLEGAL_REQUEST, kAscInvalidInformationUnit,
                                kAscqInvalidFieldInCommandIu);
            r.residualUnder = true;
            r.residual = expected;
            return FinishTask(tag, r);
        }
        // A COMMAND frame has no untagged task: it goes as a simple one.
        if (c.taskAttribute == fw::TASK_ATTR_UNTAGGED) c.taskAttribute = fw::TASK_ATTR_SIMPLE;
        Frame frame{tag, kNone, c.lun, 0};
        frame.overflow = FitWriteToExpectedLength(&c, expected);
        frame.capacity = CapacityOpcode(c.cdb);
        Send(frame, std::move(c), 0);
    }

    void TaskManagement(uint32_t tag, uint8_t function, uint64_t lun, uint32_t referenced) override {
        uint8_t code = 0;
        switch (function) {
        case kTmfAbortTask: return AbortTask(tag, referenced);
        case kTmfAbortTaskSet: code = kSasAbortTaskSet; break;
        case kTmfClearTaskSet: code = kSasClearTaskSet; break;
        case kTmfLogicalUnitReset: code = kSasLogicalUnitReset; break;
        case kTmfClearAca: code = kSasClearAca; break;
        default: return onTaskManagementDone(tag, kTmfNotSupported);
        }
        FcpCommand c = FunctionFor(lun);
        c.taskManagement = code;
        ++m_functionsUnderWay;
        Send(Frame{tag, kNone, c.lun, code}, std::move(c), 0);
    }

private:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    // A frame sent and not yet answered.
    struct Frame {
        uint32_t tag;          // the iSCSI task (or function) tag
        uint32_t abortOf;      // for ABORT TASK, the task it names
        uint16_t lun;
        uint8_t function;      // the TASK frame's function, 0 for a command
        uint16_t sasTag = 0;
        bool ended = false;    // a command the bridge ended for a function: its answer is dropped
        uint32_t overflow = 0;       // write bytes the CDB asked beyond the expected length
        uint8_t capacity = 0;        // READ CAPACITY's opcode: its answer gives the unit's block length
    };

    // The target asks for all the write data its CDB names, and a SAS
    // initiator has no way to tell it the host expects less: a write whose
    // CDB asks more than the expected length goes with the whole blocks that
    // length holds, as an iSCSI target writes no more than it expects.
    // Returns the bytes asked beyond the expected length, the overflow the
    // host is answered; 0 when the write fits, or when the unit's block
    // length is not known yet (the host has not read its capacity).
    uint32_t FitWriteToExpectedLength(FcpCommand* pc, uint32_t expected) const {
        std::vector<uint8_t>& cdb = pc->cdb;
        if (cdb.empty()) return 0;
        size_t at = 0, bytes = 0;   // the transfer length field
        switch (cdb[0]) {
        case fw::SCSI_WRITE10:
        case fw::SCSI_WRITE_AND_VERIFY10: at = 7, bytes = 2; break;
        case fw::SCSI_WRITE12:
        case kWriteAndVerify12: at = 6, bytes = 4; break;
        case fw::SCSI_WRITE16:
        case fw::SCSI_WRITE_AND_VERIFY16: at = 10, bytes = 4; break;
        default: return 0;   // WRITE(6) cannot name 0 blocks, and no other command writes blocks
        }
        const auto known = m_bridge.m_blockBytes.find({m_address, pc->lun});
        if (cdb.size() < at + bytes || known == m_bridge.m_blockBytes.end()) return 0;
        uint64_t blocks = 0;
        for (size_t i = 0; i < bytes; ++i) blocks = blocks << 8 | cdb[at + i];
        const uint64_t asked = blocks * known->second;
        if (asked <= expected) return 0;
        const uint32_t fits = expected / known->second;
        for (size_t i = 0; i < bytes; ++i) cdb[at + bytes - 1 - i] = uint8_t(fits >> (8 * i));
        return uint32_t(std::min<uint64_t>(asked - expected, UINT32_MAX));
    }

    // A WRITE, WRITE AND VERIFY or comparing VERIFY whose host sends none.
    static bool MovesDataAgainst(const FcpCommand& c) {
        if (c.cdb.empty()) return false;
        const bool sends = !c.dataOut.empty();
        switch (c.cdb[0]) {
        case fw::SCSI_WRITE6:
        case fw::SCSI_WRITE10:
        case fw::SCSI_WRITE12:
        case fw::SCSI_WRITE16:
        case fw::SCSI_WRITE_AND_VERIFY10:
        case kWriteAndVerify12:
        case fw::SCSI_WRITE_AND_VERIFY16: return !sends;
        case fw::SCSI_VERIFY10:
        case fw::SCSI_VERIFY12:
        case fw::SCSI_VERIFY16: return c.cdb.size() > 1 && (c.cdb[1] & kByteCheck) != 0 && !sends;
        default: return false;
        }
    }

    static uint8_t CapacityOpcode(const std::vector<uint8_t>& cdb) {
        if (cdb.empty()) return 0;
        const bool f16 = cdb[0] == fw::SCSI_SERVICE_ACTION_IN16 && cdb.size() > 1 &&
                         (cdb[1] & 0x1F) == fw::SCSI_SA_READ_CAPACITY16;
        return cdb[0] == fw::SCSI_READ_CAPACITY10 || f16 ? cdb[0] : 0;
    }

    // The block length a READ CAPACITY answer gives, kept for the unit.
    void NoteBlockLength(const Frame& frame, const FcpResult& r) {
        if (r.outcome != FcpResult::Outcome::Done || r.status != fw::SCSI_STATUS_GOOD) return;
        const size_t at = frame.capacity == fw::SCSI_READ_CAPACITY10 ? 4 : 8;
        if (r.dataIn.size() < at + 4) return;
        const uint32_t length = uint32_t(r.dataIn[at]) << 24 | uint32_t(r.dataIn[at + 1]) << 16 |
                                uint32_t(r.dataIn[at + 2]) << 8 | r.dataIn[at + 3];
        if (length != 0) m_bridge.m_blockBytes[{m_address, frame.lun}] = length;
    }

    void AbortTask(uint32_t tag, uint32_t referenced) {
        auto it = m_commands.find(referenced);
        if (it == m_commands.end()) return onTaskManagementDone(tag, kTmfNoTask);
        // Answered when the task ends, aborted or not; a second abort of the
        // same task waits for the same end.
        if (!AwaitEnd(tag, referenced)) return;
        const Frame& task = m_frames.at(it->second);
        FcpCommand c;
        c.lun = task.lun;
        c.taskManagement = kSasAbortTask;
        Send(Frame{tag, referenced, task.lun, kSasAbortTask}, std::move(c), task.sasTag);
    }

    // Frames go out in the order they are sent; each is known by its serial
    // until its answer, which may come inside the call.
    void Send(Frame frame, FcpCommand command, uint16_t managedTag) {
        const uint64_t serial = m_nextSerial++;
        frame.sasTag = NextSasTag();
        m_sasTags.insert(frame.sasTag);
        if (frame.function == 0) m_commands[frame.tag] = serial;
        const uint16_t sasTag = frame.sasTag;
        m_frames.emplace(serial, frame);
        m_ioc.Frame(m_index, sasTag, command, managedTag,
                    [this, serial](uint16_t, const FcpResult& r) { OnAnswer(serial, r); });
    }

    // A tag no frame of this initiator still holds at the IOC.
    uint16_t NextSasTag() {
        do {
            m_nextSasTag = static_cast<uint16_t>(m_nextSasTag == 0xFFFF ? 1 : m_nextSasTag + 1);
        } while (m_sasTags.count(m_nextSasTag));
        return m_nextSasTag;
    }

    void OnAnswer(uint64_t serial, const FcpResult& answer) {
        if (m_closing) return;
        auto it = m_frames.find(serial);
        if (it == m_frames.end()) return;
        const Frame frame = it->second;
        m_frames.erase(it);
        m_sasTags.erase(frame.sasTag);
        if (frame.ended) return;
        FcpResult r = answer;
        if (frame.function == 0) {
            m_commands.erase(frame.tag);
            if (frame.capacity != 0) NoteBlockLength(frame, r);
            if (frame.overflow != 0 && r.outcome == FcpResult::Outcome::Done) {
                r.residualOver = true;
                r.residualUnder = false;
                r.residual = frame.overflow;
            }
            return FinishTask(frame.tag, r);
        }
        const uint8_t response = IscsiResponse(r);
        if (frame.function == kSasAbortTask) {
            // Done, the abort is answered when its task ends (the IOC ends
            // it when the firmware lets go of it); refused, at once.
            if (response != kTmfComplete) RefuseAborts(frame.abortOf, response);
            return;
        }
        // ABORT TASK SET, CLEAR TASK SET and LOGICAL UNIT RESET took this
        // initiator's tasks on the unit that were sent before them.
        if (response == kTmfComplete && frame.function != kSasClearAca) {
            EndTasks(serial, [&frame](const Frame& task) { return task.lun == frame.lun; });
        }
        --m_functionsUnderWay;
        onTaskManagementDone(frame.tag, response);
    }

    // The commands sent before `before` that `covered` names end as the
    // target left them, without a response; whatever the IOC still says of
    // them later is dropped.
    template <typename Covered>
    void EndTasks(uint64_t before, Covered covered) {
        std::vector<uint32_t> tags;
        for (auto& [serial, frame] : m_frames) {
            if (serial >= before || frame.function != 0 || frame.ended || !covered(frame)) continue;
            frame.ended = true;
            m_commands.erase(frame.tag);
            tags.push_back(frame.tag);
        }
        for (uint32_t tag : tags) {
            FcpResult r;
            r.outcome = FcpResult::Outcome::Terminated;
            FinishTask(tag, r);
        }
    }

    bool PortGone() const override { return !m_ioc.PortUp(m_port); }

    IscsiSasBridge& m_bridge;
    SasTargetIoc& m_ioc;
    const uint8_t m_port;
    const int m_index;
    const uint64_t m_address;
    bool m_closing = false;
    uint64_t m_nextSerial = 1;
    uint16_t m_nextSasTag = 0;
    std::map<uint64_t, Frame> m_frames;          // by serial
    std::map<uint32_t, uint64_t> m_commands;     // serial of each command, by iSCSI tag
    std::set<uint16_t> m_sasTags;                // tags frames hold at the IOC
};

IscsiSasBridge::IscsiSasBridge(std::vector<Target> targets, std::string namePrefix)
    : HostPortTargets(std::move(namePrefix)), m_targets(std::move(targets)) {
    for (const Target& t : m_targets) {
        AddTargetName(t.suffix);
        t.ioc->HoldLink(t.port);
    }
}

uint64_t IscsiSasBridge::SasAddressFor(const std::string& initiatorName, unsigned instance) {
    // The hash in the 36 bits a registered SAS address leaves its owner,
    // under an address format 5 prefix.
    return 0x5000000000000000ull | 0x0000C0F000000000ull |
           (InitiatorNameHash(initiatorName, instance) & 0x0000000FFFFFFFFFull);
}

std::unique_ptr<IscsiNexus> IscsiSasBridge::Open(size_t index, const std::string& initiatorName) {
    if (index >= m_targets.size() || !m_targets[index].ioc->PortUp(m_targets[index].port)) return nullptr;
    const Target& target = m_targets[index];
    const uint64_t address = HoldName(initiatorName, &SasAddressFor);
    // The IOC takes 64 initiators: a session beyond them finds no room.
    const int n = target.ioc->Attach(target.port, address);
    if (n >= 0 && onSession) onSession(initiatorName, index, address);
    return std::make_unique<SasNexus>(*this, *target.ioc, target.port, n, address);
}

}  // namespace sim
