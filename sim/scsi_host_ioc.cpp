#include "sim/scsi_host_ioc.h"

#include <algorithm>
#include <cstring>

#include "sim/board.h"
#include "hw/scsi.h"
#include "sim/mpi_replies.h"

namespace sim {

namespace {

constexpr uint32_t kClassCode = 0x010000;   // SCSI bus controller
constexpr uint32_t kPortPage0Bytes = 12;
constexpr uint32_t kPortPage2Bytes = 76;
constexpr uint32_t kDevicePage2Bytes = 16;

}  // namespace

ScsiHostIoc* FindScsiHostIoc(Board& board, uint8_t function) {
    if (board.config().hostInterface != HostInterface::Scsi || function > 1) return nullptr;
    return static_cast<ScsiHostIoc*>(board.pci().Find(fw::PCI_BUS_PRIMARY, fw::PCI_DEVICE_HOST_CHIP1, function));
}

ScsiHostIoc::ScsiHostIoc(uint8_t function, uint8_t revision, InterruptLine line)
    : MpiIoc(kVendor, kDevice, revision, kClassCode), m_function(function), m_line(line) {
    m_config[0] = static_cast<uint32_t>(kDevice) << 16 | kVendor;
    m_config[2] = kClassCode << 8 | revision;
    m_config[4] = 1;   // an I/O BAR, not yet placed
    facts.requestFrameSize = kRequestFrameBytes / 4;
    facts.globalCredits = 768;
    facts.numberOfPorts = 1;
    facts.maxPostedCmdBuffers = kMaxIoIndex;
    m_fwVersion = kFlashFirmwareVersion;
    AddPage(fw::MPI_CONFIG_PAGETYPE_SCSI_PORT, 0, kPortPage0Bytes, 0);
    AddPage(fw::MPI_CONFIG_PAGETYPE_SCSI_PORT, 1, sizeof(fw::MPI_SCSI_PORT_PAGE_1), 0);
    AddPage(fw::MPI_CONFIG_PAGETYPE_SCSI_PORT, 2, kPortPage2Bytes, 0);
    // The settings pages the IOC keeps in its NVRAM as well.
    m_pages[{fw::MPI_CONFIG_PAGETYPE_SCSI_PORT, 1, 0}].bytes[3] |= fw::MPI_CONFIG_PAGEATTR_PERSISTENT;
    for (uint8_t id = 0; id < fw::SCSI_HOST_IDS; ++id) {
        AddPage(fw::MPI_CONFIG_PAGETYPE_SCSI_DEVICE, 0, sizeof(fw::MPI_SCSI_DEVICE_PAGE_0), 0, id);
        AddPage(fw::MPI_CONFIG_PAGETYPE_SCSI_DEVICE, 1, sizeof(fw::MPI_SCSI_DEVICE_PAGE_1), 0, id);
        AddPage(fw::MPI_CONFIG_PAGETYPE_SCSI_DEVICE, 2, kDevicePage2Bytes, 0, id);
        m_pages[{fw::MPI_CONFIG_PAGETYPE_SCSI_DEVICE, 1, id}].bytes[3] |= fw::MPI_CONFIG_PAGEATTR_PERSISTENT;
    }
}

// --- PCI configuration space ------------------------------------------------------

uint32_t ScsiHostIoc::ConfigRead(uint16_t offset) { return m_config[(offset & 0xFF) / 4]; }

// BAR0 places the registers in PCI I/O space, which the board reaches
// through its I/O window.
void ScsiHostIoc::ConfigWrite(uint16_t offset, uint32_t value) {
    const unsigned index = (offset & 0xFF) / 4;
    switch (index) {
    case 0:
    case 2:
        return;  // identity is read-only
    case 4: {
        const uint32_t base = value & ~(kIoWindowBytes - 1);
        m_config[4] = base | 1;
        MapRegisters(base == 0 || base == ~(kIoWindowBytes - 1) ? 0 : fw::PCI_IO_WINDOW_BASE + base, kIoWindowBytes);
        return;
    }
    default:
        m_config[index] = value;
    }
}

// --- the restart a diagnostic load brings -------------------------------------------

void ScsiHostIoc::PrepareDebugArea() {
    if (m_function != 0 || m_diagnosticLoads == m_loadsSeen) return;
    m_loadsSeen = m_diagnosticLoads;
    if (m_sibling != nullptr) m_sibling->RestartOnLoadedImage(m_fwVersion);
}

void ScsiHostIoc::RestartOnLoadedImage(uint32_t fwVersion) {
    if (!restartsWithFirstFunction) return;
    ResetIoc(true);
    m_fwVersion = fwVersion;
    m_state = State::Ready;
}

void ScsiHostIoc::ResetChip() {
    for (uint16_t n = 0; n < kMaxIoIndex; ++n) {
        if (m_exchanges[n].open) Finish(n, FcpResult::Outcome::Terminated);
    }
    m_freeCmdBuffers.clear();
    m_cmdBufferAddress.fill(0);
    m_initiatorGone.fill(false);
    m_heldAssists.clear();
}

// What was held was sent before anything that happened since.
void ScsiHostIoc::ReleaseAssists() {
    holdAssists = false;
    m_releasing = true;
    m_heldAssists.Release([this](const uint8_t* frame, uint32_t context) { TargetAssist(frame, context); });
    m_releasing = false;
}

template <typename Pick>
void ScsiHostIoc::LoseExchanges(Pick pick) {
    for (uint16_t n = 0; n < kMaxIoIndex; ++n) {
        if (!m_exchanges[n].open || !pick(m_exchanges[n])) continue;
        Finish(n, FcpResult::Outcome::Terminated);
        m_initiatorGone[n] = true;
    }
}

void ScsiHostIoc::BusReset() {
    ++m_busResets;
    LoseExchanges([](const Exchange&) { return true; });
    RaiseEvent(fw::MPI_EVENT_EXTERNAL_BUS_RESET, {}, true);
}

// No event: the chip learns of it only when it next tries to reach the
// initiator.
void ScsiHostIoc::DropConnections(uint8_t initiatorId) {
    LoseExchanges([initiatorId](const Exchange& x) { return x.initiator == initiatorId; });
}

void ScsiHostIoc::OnBusTimerExpired() { RaiseEvent(fw::MPI_EVENT_ON_BUS_TIMER_EXPIRED, {}, true); }

// The doorbell as the engine has it, but for three things of this chip:
// the target requests the driver sends through it (answers to priority
// I/O), and a test's IOC that ignores a message unit reset or leaves a
// handshake unanswered.
void ScsiHostIoc::Write(uint32_t address, uint32_t value, unsigned width) {
    if (address - m_mappedAt == fw::MPI_REG_DOORBELL) {
        if (m_receiving && m_request.size() + 1 == m_expectDwords) {
            std::array<uint8_t, 256 * 4> request{};
            std::memcpy(request.data(), m_request.data(), m_request.size() * 4);
            std::memcpy(request.data() + m_request.size() * 4, &value, 4);
            if (request[3] == silentHandshake) {
                m_silencedAt.push_back(B().clock().Now());
                m_receiving = false;
                m_request.clear();
                return;
            }
            if (HandshakeTarget(request.data(), Load<uint32_t>(&request[8]))) {
                m_receiving = false;
                m_request.clear();
                return;
            }
        } else if (!m_receiving && ignoresMessageUnitReset &&
                   value >> fw::MPI_DOORBELL_FUNCTION_SHIFT == fw::MPI_FUNCTION_IOC_MESSAGE_UNIT_RESET) {
            ++m_ignoredResets;
            return;
        }
    }
    MpiIoc::Write(address, value, width);
}

// Target requests sent by handshake run as posted ones do; the handshake
// is answered with a plain reply.
bool ScsiHostIoc::HandshakeTarget(const uint8_t* request, uint32_t context) {
    const uint8_t function = request[3];
    if (function != fw::MPI_FUNCTION_TARGET_ASSIST && function != fw::MPI_FUNCTION_TARGET_STATUS_SEND) return false;
    if (function == fw::MPI_FUNCTION_TARGET_ASSIST) {
        TargetAssist(request, context);
    } else {
        TargetStatusSend(request, context);
    }
    auto r = HeaderReply(function, context, fw::MPI_IOCSTATUS_SUCCESS);
    StartReply(&r, sizeof r);
    return true;
}

// --- pages -----------------------------------------------------------------------------

// Device page 0 shows what a host on the bus negotiated: once the port is
// enabled, what page 1 of that id offers.
MpiIoc::ConfigPage* ScsiHostIoc::FindPage(uint8_t type, uint8_t number, uint32_t address) {
    ConfigPage* page = MpiIoc::FindPage(type, number, address);
    if (page != nullptr && type == fw::MPI_CONFIG_PAGETYPE_SCSI_DEVICE && number == 0) {
        const uint32_t negotiated = m_portEnabled[0] ? DevicePage1(static_cast<uint8_t>(address)).dRequestedParameters : 0;
        std::memcpy(page->bytes.data() + offsetof(fw::MPI_SCSI_DEVICE_PAGE_0, dNegotiatedParameters), &negotiated, 4);
    }
    return page;
}

const fw::MPI_SCSI_PORT_PAGE_1& ScsiHostIoc::PortPage1() const {
    return *reinterpret_cast<const fw::MPI_SCSI_PORT_PAGE_1*>(
        m_pages.at({fw::MPI_CONFIG_PAGETYPE_SCSI_PORT, 1, 0}).bytes.data());
}

const fw::MPI_SCSI_DEVICE_PAGE_1& ScsiHostIoc::DevicePage1(uint8_t id) const {
    return *reinterpret_cast<const fw::MPI_SCSI_DEVICE_PAGE_1*>(
        m_pages.at({fw::MPI_CONFIG_PAGETYPE_SCSI_DEVICE, 1, id}).bytes.data());
}

// --- requests ------------------------------------------------------------------------------

void ScsiHostIoc::PostRequest(uint32_t frameAddress) {
    ++m_requestsReceived;
    const uint8_t* frame = B().memory().Translate(frameAddress, kRequestFrameBytes);
    if (!frame || m_state != State::Operational) return;
    const uint32_t context = Load<uint32_t>(frame + 8);
    switch (frame[3]) {
    case fw::MPI_FUNCTION_CONFIG: RequestConfig(frame, context); break;
    case fw::MPI_FUNCTION_PORT_ENABLE: RequestPortEnable(frame, context); break;
    case fw::MPI_FUNCTION_EVENT_ACK: RequestEventAck(frame, context); break;
    case fw::MPI_FUNCTION_TARGET_CMD_BUFFER_POST: CommandBufferPost(frame, context); break;
    case fw::MPI_FUNCTION_TARGET_ASSIST: TargetAssist(frame, context); break;
    case fw::MPI_FUNCTION_TARGET_STATUS_SEND: TargetStatusSend(frame, context); break;
    default: RequestUnknown(frame, context); break;
    }
}

// The IOC takes the descriptors as it takes the request: a buffer it holds
// already is not counted twice, and a descriptor out of range is an error.
void ScsiHostIoc::CommandBufferPost(const uint8_t* frame, uint32_t context) {
    const auto p = Load<fw::MPI_TARGET_CMD_BUFFER_POST_REQUEST>(frame);
    ++m_cmdBufferPosts;
    const uint32_t count = std::min<uint32_t>(p.bBufferCount, fw::MPI_TARGET_CMD_BUFFER_POST_MAX);
    bool bad = p.bBufferLength < 64 || p.bBufferCount > fw::MPI_TARGET_CMD_BUFFER_POST_MAX;
    for (uint32_t i = 0; i < count && !bad; ++i) {
        const fw::MPI_TARGET_CMD_BUFFER_DESCRIPTOR& d = p.asBuffer[i];
        if (d.dIoIndex >= kMaxIoIndex || !B().memory().Translate(d.dAddress, p.bBufferLength)) {
            bad = true;
            break;
        }
        const auto ioIndex = static_cast<uint16_t>(d.dIoIndex);
        m_cmdBufferAddress[ioIndex] = d.dAddress;
        // A buffer given back whose command is still open: the driver ended
        // that command without an answer.
        if (m_exchanges[ioIndex].open) Finish(ioIndex, FcpResult::Outcome::Terminated);
        m_initiatorGone[ioIndex] = false;
        if (std::find(m_freeCmdBuffers.begin(), m_freeCmdBuffers.end(), ioIndex) == m_freeCmdBuffers.end()) {
            m_freeCmdBuffers.push_back(ioIndex);
        }
    }
    if (!bad) return;   // a good post is answered only by the commands that come in its buffers
    auto r = HeaderReply(fw::MPI_FUNCTION_TARGET_CMD_BUFFER_POST, context, fw::MPI_IOCSTATUS_INVALID_FIELD);
    AddressReply(&r, sizeof r);
}

// --- commands from the initiators ------------------------------------------------------

// The command goes into the next free buffer as the chip writes it (tag,
// LUN, task attribute, CDB) and the driver hears of it by a target reply
// naming the buffer and the initiator's id.
void ScsiHostIoc::Command(uint8_t initiatorId, uint16_t tag, const FcpCommand& command, Done done, uint16_t managedTag) {
    FcpResult result;
    if (m_state != State::Operational || !m_portEnabled[0] || initiatorId >= fw::SCSI_HOST_IDS) {
        result.outcome = FcpResult::Outcome::Rejected;
        done(tag, result);
        return;
    }
    uint8_t* buffer = m_freeCmdBuffers.empty()
                          ? nullptr
                          : B().memory().Translate(m_cmdBufferAddress[m_freeCmdBuffers.front()], 64);
    if (buffer == nullptr) {
        result.outcome = FcpResult::Outcome::Done;
        result.status = fw::SCSI_STATUS_BUSY;
        done(tag, result);
        return;
    }
    const uint16_t ioIndex = m_freeCmdBuffers.front();
    m_freeCmdBuffers.pop_front();
    std::memset(buffer, 0, 64);
    const uint16_t bufferTag = command.taskManagement != 0 ? managedTag : tag;
    buffer[2] = static_cast<uint8_t>(bufferTag);
    buffer[3] = static_cast<uint8_t>(bufferTag >> 8);
    buffer[4] = static_cast<uint8_t>(command.lun >> 8);
    buffer[5] = static_cast<uint8_t>(command.lun);
    buffer[17] = command.taskAttribute;
    buffer[18] = command.taskManagement;
    std::copy_n(command.cdb.begin(), std::min<size_t>(command.cdb.size(), 16), buffer + 20);
    Exchange& x = m_exchanges[ioIndex];
    x = Exchange{};
    x.open = true;
    x.initiator = initiatorId;
    x.tag = tag;
    x.command = command;
    x.managedTag = managedTag;
    x.done = std::move(done);
    const uint32_t word = fw::MPI_REPLY_TYPE_TARGET | static_cast<uint32_t>(initiatorId) << 14 | ioIndex;
    // A task management request comes to the driver as priority I/O, and
    // so does a command the chip took with a condition on the bus.
    const int priority = command.taskManagement != 0 ? fw::SPI_PRIORITY_TASK_MANAGEMENT : m_nextCommandPriority;
    m_nextCommandPriority = kNoPriority;
    if (priority != kNoPriority) {
        ErrorReply(fw::MPI_FUNCTION_TARGET_CMD_BUFFER_POST, 0, fw::MPI_IOCSTATUS_TARGET_PRIORITY_IO, word,
                   static_cast<uint8_t>(priority));
        return;
    }
    TargetContextReply(word);
}

// Once a task management function is complete, the initiator takes the
// tasks it covers as ended: nothing more reaches the host for them.
void ScsiHostIoc::TaskManagementDone(const Exchange& tm) {
    const uint8_t flags = tm.command.taskManagement;
    for (Exchange& x : m_exchanges) {
        if (!x.open || x.abandoned || x.command.taskManagement != 0) continue;
        const bool sameInitiator = x.initiator == tm.initiator;
        const bool sameLun = x.command.lun == tm.command.lun;
        bool covered = false;
        if (flags & fw::SPI_TASK_ABORT_TASK) covered = sameInitiator && x.tag == tm.managedTag;
        if (flags & fw::SPI_TASK_ABORT_TASK_SET) covered = covered || (sameInitiator && sameLun);
        if (flags & (fw::SPI_TASK_CLEAR_TASK_SET | fw::SPI_TASK_LOGICAL_UNIT_RESET)) covered = covered || sameLun;
        if (flags & fw::SPI_TASK_TARGET_RESET) covered = true;
        if (!covered) continue;
        x.abandoned = true;
        x.result.outcome = FcpResult::Outcome::Aborted;
        Done done = std::move(x.done);
        x.done = nullptr;
        if (done) done(x.tag, x.result);
    }
}

size_t ScsiHostIoc::openExchanges() const {
    return static_cast<size_t>(std::count_if(m_exchanges.begin(), m_exchanges.end(), [](const Exchange& x) { return x.open; }));
}

void ScsiHostIoc::Finish(uint16_t ioIndex, FcpResult::Outcome outcome) {
    Exchange& x = m_exchanges[ioIndex];
    if (!x.open) return;
    x.open = false;
    if (x.abandoned) return;
    x.result.outcome = outcome;
    x.result.completedAtNs = B().clock().Now();
    const uint32_t want = x.command.dataInLength;
    const auto got = static_cast<uint32_t>(x.result.dataIn.size());
    x.result.residual = want > got ? want - got : 0;
    x.result.residualUnder = want > got;
    Done done = std::move(x.done);
    x.done = nullptr;
    if (done) done(x.tag, x.result);
}

// A request for a buffer with no command in it ends in an error reply.
// It names the command's reply word, as the firmware reads it at byte 20.
void ScsiHostIoc::ErrorReply(uint8_t function, uint32_t context, uint16_t status, uint32_t replyWord, uint8_t reason) {
    std::array<uint8_t, 24> r{};
    auto h = HeaderReply(function, context, status);
    std::memcpy(r.data(), &h, std::min(sizeof h, r.size()));
    r[2] = static_cast<uint8_t>(r.size() / 4);
    r[fw::MPI_TARGET_PRIORITY_REASON] = reason;
    std::memcpy(r.data() + fw::MPI_TARGET_ERROR_REPLY_WORD, &replyWord, 4);
    AddressReply(r.data(), static_cast<uint32_t>(r.size()));
}

// A request for a buffer whose command the bus ended (a reset, the
// initiator gone) finds no initiator; one for a buffer with no command at all is the driver's error.
bool ScsiHostIoc::TakeRequest(uint8_t function, uint32_t context, uint32_t replyWord, uint16_t* ioIndex) {
    *ioIndex = static_cast<uint16_t>(replyWord & fw::MPI_TARGET_REPLY_IO_INDEX_MASK);
    if (*ioIndex < kMaxIoIndex && m_exchanges[*ioIndex].open) return true;
    if (*ioIndex < kMaxIoIndex && m_initiatorGone[*ioIndex]) {
        ++m_requestsWithoutInitiator;
        ErrorReply(function, context, fw::MPI_IOCSTATUS_TARGET_NO_CONNECTION, replyWord);
        return false;
    }
    ++m_strayRequests;
    ErrorReply(function, context, fw::MPI_IOCSTATUS_INVALID_STATE, replyWord);
    return false;
}

void ScsiHostIoc::CountRequestAfterAbort(uint32_t replyWord) {
    const auto ioIndex = static_cast<uint16_t>(replyWord & fw::MPI_TARGET_REPLY_IO_INDEX_MASK);
    if (ioIndex < kMaxIoIndex && m_exchanges[ioIndex].open && m_exchanges[ioIndex].abandoned) ++m_requestsAfterAbort;
}

void ScsiHostIoc::TargetAssist(const uint8_t* frame, uint32_t context) {
    const auto req = Load<fw::MPI_TARGET_ASSIST_REQUEST>(frame);
    if (!m_releasing) CountRequestAfterAbort(req.dReplyWord);
    if (holdAssists) {
        m_heldAssists.Keep(frame, context);
        return;
    }
    uint16_t ioIndex = 0;
    if (!TakeRequest(fw::MPI_FUNCTION_TARGET_ASSIST, context, req.dReplyWord, &ioIndex)) return;
    if (m_nextAssistPriority != kNoPriority) {
        const auto reason = static_cast<uint8_t>(m_nextAssistPriority);
        m_nextAssistPriority = kNoPriority;
        ErrorReply(fw::MPI_FUNCTION_TARGET_ASSIST, context, fw::MPI_IOCSTATUS_TARGET_PRIORITY_IO, req.dReplyWord, reason);
        return;
    }
    Exchange& x = m_exchanges[ioIndex];
    const AssistWindows w = MoveAssistData(req, x.command, x.result, B().memory());
    // An initiator out of write data before the window ends gives up the
    // phase with INITIATOR DETECTED ERROR: the chip ends the transfer as a
    // protocol error, what came in already in the buffer.
    if (!w.toInitiator && w.end > x.command.dataOut.size()) {
        ErrorReply(fw::MPI_FUNCTION_TARGET_ASSIST, context, fw::MPI_IOCSTATUS_TARGET_PRIORITY_IO, req.dReplyWord,
                   fw::SPI_PRIORITY_PROTOCOL_ERROR);
        return;
    }
    if (req.bTargetAssistFlags & fw::MPI_TARGET_ASSIST_FLAGS_AUTO_STATUS) {
        x.result.status = req.bStatusCode;
        Finish(ioIndex, FcpResult::Outcome::Done);
        if (req.bTargetAssistFlags & fw::MPI_TARGET_ASSIST_FLAGS_REPOST) m_freeCmdBuffers.push_back(ioIndex);
    }
    TargetContextReply(fw::MPI_REPLY_TYPE_TARGET | ioIndex);
}

// The status, and the sense the status unit carries: valid byte 2, status
// byte 3, the sense list's length (big-endian) at 4, the sense from 12.
void ScsiHostIoc::TargetStatusSend(const uint8_t* frame, uint32_t context) {
    const auto req = Load<fw::MPI_TARGET_STATUS_SEND_REQUEST>(frame);
    CountRequestAfterAbort(req.dReplyWord);
    uint16_t ioIndex = 0;
    if (!TakeRequest(fw::MPI_FUNCTION_TARGET_STATUS_SEND, context, req.dReplyWord, &ioIndex)) return;
    Exchange& x = m_exchanges[ioIndex];
    x.result.status = req.bStatusCode;
    const uint32_t length = req.adSGL[0] & fw::MPI_SGE_LENGTH_MASK;
    const uint8_t* iu = !(req.bStatusFlags & fw::MPI_TARGET_STATUS_FLAGS_AUTO_GOOD) && length >= 12
                            ? B().memory().Translate(req.adSGL[1], length)
                            : nullptr;
    if (iu) {
        x.result.status = iu[3];
        if (iu[2] == 2) {
            const uint32_t n = std::min(fw::dGetBe32(iu + 4), length - 12);
            x.result.sense.assign(iu + 12, iu + 12 + n);
        } else if (iu[2] == 1 && length >= 16) {
            x.result.status = iu[15];   // a task management answer's response code
        }
    }
    if (x.command.taskManagement != 0 && x.result.status == 0) TaskManagementDone(x);
    Finish(ioIndex, FcpResult::Outcome::Done);
    if (req.bStatusFlags & fw::MPI_TARGET_STATUS_FLAGS_REPOST) m_freeCmdBuffers.push_back(ioIndex);
    TargetContextReply(fw::MPI_REPLY_TYPE_TARGET | ioIndex);
}

}  // namespace sim
