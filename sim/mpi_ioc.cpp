#include "sim/mpi_ioc.h"

#include <algorithm>
#include <cstring>

#include "hw/mpi.h"
#include "hw/mpi_sas_phy.h"
#include "sim/board.h"
#include "sim/mpi_replies.h"

namespace sim {

MpiIoc::MpiIoc(uint16_t vendor, uint16_t device, uint8_t revision, uint32_t classCode)
    : PciFunction(vendor, device, revision, classCode, 0), m_productId(device) {}

MpiIoc::~MpiIoc() {
    if (board != nullptr) CancelTimers();
}

void MpiIoc::After(uint64_t delayNs, Clock::Action action) {
    m_timers.push_back(B().clock().ScheduleIn(delayNs, action));
}

void MpiIoc::CancelTimers() {
    for (Clock::EventId id : m_timers) B().clock().Cancel(id);
    m_timers.clear();
}

// --- system registers -----------------------------------------------------------

uint32_t MpiIoc::Read(uint32_t address, unsigned) {
    switch (address - m_mappedAt) {
    case fw::MPI_REG_DOORBELL: {
        uint32_t v = static_cast<uint32_t>(m_state) << fw::MPI_DOORBELL_STATE_SHIFT;
        if (m_receiving) v |= fw::MPI_DOORBELL_IN_USE;
        if (!m_replyWords.empty()) {
            v |= m_replyWords.front();
        } else if (m_state == State::Fault) {
            v |= m_faultCode;
        }
        return v;
    }
    case fw::MPI_REG_HOST_DIAGNOSTIC:
        return m_hostDiagnostic;
    case fw::MPI_REG_TEST_BASE:
        return m_testBase;
    case fw::MPI_REG_DIAG_RW_DATA: {
        if ((m_hostDiagnostic & (fw::MPI_DIAG_DRWE | fw::MPI_DIAG_RW_ENABLE)) !=
            (fw::MPI_DIAG_DRWE | fw::MPI_DIAG_RW_ENABLE)) {
            return 0xFFFFFFFF;
        }
        uint32_t v = IocMemory(m_diagAddress);
        m_diagAddress += 4;
        return v;
    }
    case fw::MPI_REG_DIAG_RW_ADDRESS:
        return m_diagAddress;
    case fw::MPI_REG_HOST_INT_STATUS:
        return m_hostIntStatus | (m_replyPost.empty() ? 0 : fw::MPI_HIS_REPLY);
    case fw::MPI_REG_HOST_INT_MASK:
        return m_hostIntMask;
    case fw::MPI_REG_REPLY_QUEUE: {
        if (m_replyPost.empty()) return fw::MPI_REPLY_FIFO_EMPTY;
        uint32_t v = m_replyPost.front();
        m_replyPost.pop_front();
        UpdateInterrupt();
        return v;
    }
    default:
        return 0xFFFFFFFF;
    }
}

void MpiIoc::Write(uint32_t address, uint32_t value, unsigned) {
    switch (address - m_mappedAt) {
    case fw::MPI_REG_DOORBELL:
        WriteDoorbell(value);
        break;
    case fw::MPI_REG_WRITE_SEQUENCE:
        WriteSequence(static_cast<uint8_t>(value));
        break;
    case fw::MPI_REG_HOST_DIAGNOSTIC:
        if (m_hostDiagnostic & fw::MPI_DIAG_DRWE) WriteHostDiagnostic(value);
        break;
    case fw::MPI_REG_TEST_BASE:
        m_testBase = value;
        break;
    case fw::MPI_REG_DIAG_RW_DATA:
        DiagWrite(value);
        break;
    case fw::MPI_REG_DIAG_RW_ADDRESS:
        m_diagAddress = value;
        if (m_hostDiagnostic & fw::MPI_DIAG_RW_ENABLE) m_loadStarts.push_back(value);
        break;
    case fw::MPI_REG_HOST_INT_STATUS:
        WriteHostIntStatus();
        break;
    case fw::MPI_REG_HOST_INT_MASK:
        m_hostIntMask = value;
        UpdateInterrupt();
        break;
    case fw::MPI_REG_REQUEST_QUEUE:
    case fw::MPI_REG_HIGH_PRIORITY_QUEUE:
        PostRequest(value);
        break;
    case fw::MPI_REG_REPLY_QUEUE:
        m_replyFree.push_back(value);
        DeliverReplies();
        break;
    default:
        break;
    }
}

void MpiIoc::WriteSequence(uint8_t key) {
    if (key == fw::MPI_WRSEQ_FLUSH) {
        m_hostDiagnostic &= ~fw::MPI_DIAG_DRWE;
        m_keyPosition = 0;
        return;
    }
    if (m_keyPosition < 5 && key == fw::MPI_WRSEQ_KEYS[m_keyPosition]) {
        if (++m_keyPosition == 5) {
            ++m_unlockAttempts;
            m_keyPosition = 0;
            if (!faults.diagLocked) m_hostDiagnostic |= fw::MPI_DIAG_DRWE;
        }
    } else {
        m_keyPosition = 0;
    }
}

void MpiIoc::WriteHostDiagnostic(uint32_t value) {
    if (m_hostDiagnostic & fw::MPI_DIAG_RESET_ADAPTER) return;  // busy resetting
    if (value & fw::MPI_DIAG_RESET_ADAPTER) {
        // The IOC stops at once; the diagnostic lock closes again when the
        // reset is over, and the IOC boots from flash unless told not to.
        m_hostDiagnostic = (value & (fw::MPI_DIAG_DISABLE_ARM | fw::MPI_DIAG_PREVENT_IOC_BOOT)) |
                           fw::MPI_DIAG_RESET_ADAPTER;
        ResetIoc(true);
        After(kResetNs, [this] {
            m_hostDiagnostic &= ~(fw::MPI_DIAG_RESET_ADAPTER | fw::MPI_DIAG_DRWE);
            m_keyPosition = 0;
            if (!(m_hostDiagnostic & fw::MPI_DIAG_PREVENT_IOC_BOOT)) Boot();
        });
        return;
    }
    bool wasHeld = (m_hostDiagnostic & fw::MPI_DIAG_PREVENT_IOC_BOOT) != 0;
    m_hostDiagnostic = (value & (fw::MPI_DIAG_DISABLE_ARM | fw::MPI_DIAG_RW_ENABLE |
                                 fw::MPI_DIAG_PREVENT_IOC_BOOT)) |
                       fw::MPI_DIAG_DRWE;
    if (wasHeld && m_state == State::Reset && !(value & fw::MPI_DIAG_PREVENT_IOC_BOOT)) {
        After(kBootNs, [this] {
            if (m_state != State::Reset) return;
            if (BootLoadedImage()) {
                ++m_diagnosticLoads;
                m_state = State::Ready;
                PrepareDebugArea();
            } else if (!faults.neverReady) {
                EnterFault(0x0D0F);  // no bootable image in IOC memory
            }
        });
    }
}

void MpiIoc::DiagWrite(uint32_t value) {
    if ((m_hostDiagnostic & (fw::MPI_DIAG_DRWE | fw::MPI_DIAG_RW_ENABLE)) !=
        (fw::MPI_DIAG_DRWE | fw::MPI_DIAG_RW_ENABLE)) {
        return;
    }
    m_memory[m_diagAddress] = value;
    m_diagAddress += 4;
}

uint32_t MpiIoc::IocMemory(uint32_t address) const {
    auto it = m_memory.find(address);
    return it == m_memory.end() ? 0 : it->second;
}

// The image is bootable when its header carries the signature, its dwords
// sum to zero and the reset vector was planted where the header says.
bool MpiIoc::BootLoadedImage() {
    if (faults.neverReady) return false;
    for (uint32_t start : m_loadStarts) {
        fw::MPI_FW_IMAGE_HEADER h{};
        auto* words = reinterpret_cast<uint32_t*>(&h);
        for (uint32_t i = 0; i < sizeof h / 4; ++i) words[i] = IocMemory(start + 4 * i);
        if (h.adSignature[0] != fw::MPI_FW_SIGNATURE_0 || h.adSignature[1] != fw::MPI_FW_SIGNATURE_1 ||
            h.adSignature[2] != fw::MPI_FW_SIGNATURE_2 || h.dImageSize < sizeof h) {
            continue;
        }
        uint32_t sum = 0;
        for (uint32_t off = 0; off < h.dImageSize; off += 4) sum += IocMemory(start + off);
        if (sum != 0 || IocMemory(h.dIopResetRegAddr) != h.dIopResetVectorValue) return false;
        m_fwVersion = h.dFWVersion;
        return true;
    }
    return false;
}

void MpiIoc::Boot() {
    After(kBootNs, [this] {
        if (m_state != State::Reset) return;
        if (!m_flashImage.empty() && m_flashImage.size() >= sizeof(fw::MPI_FW_IMAGE_HEADER)) {
            m_fwVersion = Load<uint32_t>(m_flashImage.data() + offsetof(fw::MPI_FW_IMAGE_HEADER, dFWVersion));
        }
        m_state = State::Ready;
        PrepareDebugArea();
    });
}

void MpiIoc::BoardReset() {
    m_hostDiagnostic = 0;
    m_keyPosition = 0;
    ResetIoc(true);
    Boot();
}

void MpiIoc::ResetIoc(bool hard) {
    ++m_iocResets;
    // What the IOC had under way ends with it.
    CancelTimers();
    m_receiving = false;
    m_request.clear();
    m_replyWords.clear();
    m_replyFree.clear();
    m_replyPost.clear();
    m_pendingReplies.clear();
    // The ports go down before what the chip held ends: whoever was linked
    // through them finds them gone.
    m_portEnabled.fill(false);
    ResetChip();
    m_eventsOn = false;
    m_hostIntStatus = 0;
    if (hard) {
        // The IOC's memory holds what was loaded through a reset (only power
        // takes it): a held IOC still shows its image, and boots it again.
        m_state = State::Reset;
    } else if (m_state != State::Reset) {
        m_state = State::Ready;
    }
    UpdateInterrupt();
}

void MpiIoc::EnterFault(uint16_t code) {
    m_state = State::Fault;
    m_faultCode = code;
    m_receiving = false;
    m_replyWords.clear();
    m_hostIntStatus |= fw::MPI_HIS_DOORBELL;
    UpdateInterrupt();
}

// The IOC's interrupt stays raised for as long as it has an unmasked cause
// pending.
void MpiIoc::UpdateInterrupt() {
    uint32_t pending = m_hostIntStatus | (m_replyPost.empty() ? 0 : fw::MPI_HIS_REPLY);
    Signal((pending & ~m_hostIntMask & (fw::MPI_HIS_DOORBELL | fw::MPI_HIS_REPLY)) != 0);
}

void MpiIoc::WriteDoorbell(uint32_t value) {
    if (m_receiving) {
        m_request.push_back(value);
        if (m_request.size() == m_expectDwords) {
            m_receiving = false;
            HandshakeMessage();
        }
        return;
    }
    uint8_t function = static_cast<uint8_t>(value >> fw::MPI_DOORBELL_FUNCTION_SHIFT);
    if (m_state == State::Reset) return;
    switch (function) {
    case fw::MPI_FUNCTION_HANDSHAKE:
        if (m_state == State::Fault) return;
        m_replyWords.clear();  // an unread reply is abandoned
        m_request.clear();
        m_expectDwords = (value >> fw::MPI_DOORBELL_DWORDS_SHIFT) & 0xFF;
        m_receiving = m_expectDwords != 0;
        m_hostIntStatus |= fw::MPI_HIS_DOORBELL;
        break;
    case fw::MPI_FUNCTION_IOC_MESSAGE_UNIT_RESET:
    case fw::MPI_FUNCTION_IO_UNIT_RESET:
        ResetIoc(false);
        m_state = State::Ready;
        m_hostIntStatus |= fw::MPI_HIS_DOORBELL;
        break;
    default:
        break;
    }
    UpdateInterrupt();
}

void MpiIoc::WriteHostIntStatus() {
    bool presented = !m_replyWords.empty() && (m_hostIntStatus & fw::MPI_HIS_DOORBELL);
    m_hostIntStatus &= ~fw::MPI_HIS_DOORBELL;
    if (presented) {
        m_replyWords.pop_front();
        if (!m_replyWords.empty()) m_hostIntStatus |= fw::MPI_HIS_DOORBELL;
    }
    UpdateInterrupt();
}

void MpiIoc::StartReply(const void* reply, uint32_t bytes) {
    std::vector<uint8_t> b(static_cast<const uint8_t*>(reply), static_cast<const uint8_t*>(reply) + bytes);
    b[2] = faults.replyMsgLength >= 0 ? static_cast<uint8_t>(faults.replyMsgLength)
                                      : static_cast<uint8_t>(bytes / 4);
    m_replyWords.clear();
    for (uint32_t i = 0; i + 1 < bytes; i += 2) m_replyWords.push_back(Load<uint16_t>(&b[i]));
    m_hostIntStatus |= fw::MPI_HIS_DOORBELL;
    UpdateInterrupt();
}

void MpiIoc::MapRegisters(uint32_t base, uint32_t size) {
    if (!board) return;
    if (m_mappedAt != 0) B().bus().Unmap(this);
    m_mappedAt = base;
    if (base != 0) B().bus().Map(base, size, this);
}

void MpiIoc::FactsReply(uint8_t* out) {
    fw::MPI_IOC_FACTS_REPLY r{};
    r.sHeader.bFunction = fw::MPI_FUNCTION_IOC_FACTS;
    r.wRequestFrameSize = facts.requestFrameSize;
    r.wGlobalCredits = facts.globalCredits;
    r.wReplyQueueDepth = facts.replyQueueDepth;
    r.bNumberOfPorts = facts.numberOfPorts;
    r.bFlags = facts.flags;
    r.bBlockSize = facts.requestFrameSize & 0xFF;
    r.bMaxChainDepth = 8;
    r.bMaxDevices = 255;
    r.bMaxBuses = 1;
    r.wProductId = m_productId;
    r.wCurReplyFrameSize = kReplyFrameBytes / 4;
    r.dFWVersion = m_fwVersion;
    if (facts.flags & fw::MPI_IOCFACTS_FLAGS_FW_DOWNLOAD_BOOT) {
        uint32_t size = 0;
        if (!m_loadStarts.empty()) {
            size = IocMemory(m_loadStarts.front() + offsetof(fw::MPI_FW_IMAGE_HEADER, dImageSize));
        }
        r.dFWImageSize = size;
    }
    if (facts.hostPageBufferBytes != 0) {
        r.dHostPageBufferFlagsLength = fw::MPI_SGE_HOST_PAGE_BUFFER | facts.hostPageBufferBytes;
    }
    std::memcpy(out, &r, sizeof r);
}

// Handlers by function code; a function with none is answered INVALID FUNCTION.
const std::array<MpiIoc::Handshake, 256> MpiIoc::kHandshakes = [] {
    std::array<Handshake, 256> t{};
    t.fill(&MpiIoc::HandshakeUnknown);
    t[fw::MPI_FUNCTION_IOC_FACTS] = &MpiIoc::HandshakeFacts;
    t[fw::MPI_FUNCTION_IOC_INIT] = &MpiIoc::HandshakeInit;
    t[fw::MPI_FUNCTION_PORT_FACTS] = &MpiIoc::HandshakePortFacts;
    t[fw::MPI_FUNCTION_PORT_ENABLE] = &MpiIoc::HandshakePortEnable;
    t[fw::MPI_FUNCTION_EVENT_NOTIFICATION] = &MpiIoc::HandshakeEvents;
    t[fw::MPI_FUNCTION_CONFIG] = &MpiIoc::HandshakeConfig;
    t[fw::MPI_FUNCTION_FW_DOWNLOAD] = &MpiIoc::HandshakeFirmware;
    t[fw::MPI_FUNCTION_FW_UPLOAD] = &MpiIoc::HandshakeFirmware;
    t[fw::MPI_FUNCTION_SCSI_TASK_MGMT] = &MpiIoc::HandshakeTaskManagement;
    return t;
}();

void MpiIoc::HandshakeMessage() {
    // The message as a frame: what the driver did not send reads as zero.
    std::array<uint8_t, 256 * 4> request{};
    std::memcpy(request.data(), m_request.data(), std::min<size_t>(m_request.size() * 4, request.size()));
    (this->*kHandshakes[request[3]])(request.data(), Load<uint32_t>(&request[8]));
}

void MpiIoc::HandshakeFacts(const uint8_t*, uint32_t context) {
    uint8_t r[sizeof(fw::MPI_IOC_FACTS_REPLY)];
    FactsReply(r);
    reinterpret_cast<fw::MPI_REPLY_HEADER*>(r)->dMsgContext = context;
    StartReply(r, sizeof r);
}

void MpiIoc::HandshakeInit(const uint8_t* request, uint32_t context) {
    auto init = Load<fw::MPI_IOC_INIT_REQUEST>(request);
    uint16_t status = fw::MPI_IOCSTATUS_SUCCESS;
    if (m_state != State::Ready || init.wReplyFrameSize != kReplyFrameBytes) {
        status = fw::MPI_IOCSTATUS_INVALID_STATE;
    } else if (facts.hostPageBufferBytes != 0 &&
               ((init.dHostPageBufferFlagsLength & fw::MPI_SGE_LENGTH_MASK) < facts.hostPageBufferBytes ||
                !B().memory().Translate(init.dHostPageBufferAddress, facts.hostPageBufferBytes))) {
        status = fw::MPI_IOCSTATUS_INVALID_FIELD;
    } else {
        m_hostPageBuffer = facts.hostPageBufferBytes ? static_cast<uint32_t>(init.dHostPageBufferAddress) : 0;
        m_state = State::Operational;
    }
    auto r = HeaderReply(fw::MPI_FUNCTION_IOC_INIT, context, status);
    StartReply(&r, sizeof r);
}

void MpiIoc::HandshakePortFacts(const uint8_t* request, uint32_t context) {
    fw::MPI_PORT_FACTS_REPLY r{};
    r.sHeader = HeaderReply(fw::MPI_FUNCTION_PORT_FACTS, context, 0);
    r.bPortNumber = request[6];
    r.bPortType = 0x30;  // SAS
    r.wMaxDevices = 256;
    r.wProtocolFlags = 0x0B;  // initiator and target
    r.wMaxPostedCmdBuffers = facts.maxPostedCmdBuffers;
    if (request[6] >= facts.numberOfPorts) r.sHeader.wIOCStatus = fw::MPI_IOCSTATUS_INVALID_FIELD;
    StartReply(&r, sizeof r);
}

void MpiIoc::HandshakePortEnable(const uint8_t* request, uint32_t context) {
    if (faults.portEnableSilent) return;
    uint8_t port = request[6];
    After(kLinkUpNs, [this, port, context] {
        uint16_t status = fw::MPI_IOCSTATUS_SUCCESS;
        if (m_state != State::Operational || port >= facts.numberOfPorts) {
            status = fw::MPI_IOCSTATUS_INVALID_STATE;
        } else {
            m_portEnabled[port] = true;
        }
        auto r = HeaderReply(fw::MPI_FUNCTION_PORT_ENABLE, context, status);
        StartReply(&r, sizeof r);
    });
}

void MpiIoc::HandshakeEvents(const uint8_t* request, uint32_t context) {
    m_eventsOn = request[0] != 0;
    m_eventContext = context;
    fw::MPI_EVENT_NOTIFICATION_REPLY r{};
    r.wEventDataLength = 1;
    r.bFunction = fw::MPI_FUNCTION_EVENT_NOTIFICATION;
    r.dMsgContext = context;
    r.dEvent = fw::MPI_EVENT_EVENT_CHANGE;
    r.dEventData[0] = request[0];
    StartReply(&r, offsetof(fw::MPI_EVENT_NOTIFICATION_REPLY, dEventData) + 4);
}

void MpiIoc::HandshakeConfig(const uint8_t* request, uint32_t) {
    uint8_t r[sizeof(fw::MPI_CONFIG_REPLY)];
    Config(request, r);
    StartReply(r, sizeof r);
}

// FW DOWNLOAD keeps the image as the IOC's flash; FW UPLOAD gives back the
// image last loaded through the diagnostic window.
void MpiIoc::HandshakeFirmware(const uint8_t* request, uint32_t context) {
    const uint8_t function = request[3];
    auto t = Load<fw::MPI_FW_TRANSFER_REQUEST>(request);
    uint32_t bytes = t.dFlagsLength & fw::MPI_SGE_LENGTH_MASK;
    uint8_t* host = B().memory().Translate(t.dAddress, bytes);
    fw::MPI_FW_UPLOAD_REPLY r{};
    r.sHeader = HeaderReply(function, context, 0);
    if (!host || bytes != t.dImageSize) {
        r.sHeader.wIOCStatus = fw::MPI_IOCSTATUS_INVALID_FIELD;
    } else if (function == fw::MPI_FUNCTION_FW_DOWNLOAD) {
        m_flashImage.assign(host, host + bytes);
    } else {
        uint32_t start = m_loadStarts.empty() ? 0 : m_loadStarts.front();
        for (uint32_t off = 0; off + 4 <= bytes; off += 4) {
            uint32_t w = IocMemory(start + off);
            std::memcpy(host + off, &w, 4);
        }
        r.dActualImageSize = bytes;
    }
    if (function == fw::MPI_FUNCTION_FW_UPLOAD) {
        StartReply(&r, sizeof r);
    } else {
        StartReply(&r.sHeader, sizeof r.sHeader);
    }
}

void MpiIoc::HandshakeTaskManagement(const uint8_t*, uint32_t context) {
    auto r = HeaderReply(fw::MPI_FUNCTION_SCSI_TASK_MGMT, context, 0);
    r.bTaskMgmtResponse = 0;
    StartReply(&r, sizeof r);
}

void MpiIoc::HandshakeUnknown(const uint8_t* request, uint32_t context) {
    auto r = HeaderReply(request[3], context, fw::MPI_IOCSTATUS_INVALID_FUNCTION);
    StartReply(&r, sizeof r);
}

std::vector<uint8_t> MpiIoc::Page(uint8_t type, uint8_t number, uint32_t address) const {
    auto it = m_pages.find({type, number, address});
    return it == m_pages.end() ? std::vector<uint8_t>() : it->second.bytes;
}

void MpiIoc::Config(const uint8_t* request, uint8_t* out) {
    auto req = Load<fw::MPI_CONFIG_REQUEST>(request);
    fw::MPI_CONFIG_REPLY r{};
    r.bAction = req.bAction;
    r.bFunction = fw::MPI_FUNCTION_CONFIG;
    r.dMsgContext = req.dMsgContext;
    r.sHeader = req.sHeader;
    r.wExtPageLength = req.wExtPageLength;
    r.bExtPageType = req.bExtPageType;
    auto finish = [&](uint16_t status) {
        r.wIOCStatus = status;
        std::memcpy(out, &r, sizeof r);
    };
    if (faults.configStatus != 0) return finish(faults.configStatus);

    bool extended = (req.sHeader.bPageType & 0x0F) == fw::MPI_CONFIG_PAGETYPE_EXTENDED;
    uint8_t type = extended ? req.bExtPageType : req.sHeader.bPageType & 0x0F;
    ConfigPage* found = FindPage(type, req.sHeader.bPageNumber, req.dPageAddress);
    if (!found) return finish(fw::MPI_IOCSTATUS_CONFIG_INVALID_PAGE);
    std::vector<uint8_t>& page = found->bytes;
    uint32_t bytes = static_cast<uint32_t>(page.size());

    std::memcpy(&r.sHeader, page.data(), 4);
    if (extended) {
        r.wExtPageLength = static_cast<uint16_t>(bytes / 4);
        r.bExtPageType = type;
    }
    switch (req.bAction) {
    case fw::MPI_CONFIG_ACTION_PAGE_HEADER:
        return finish(fw::MPI_IOCSTATUS_SUCCESS);
    case fw::MPI_CONFIG_ACTION_PAGE_READ_CURRENT:
    case fw::MPI_CONFIG_ACTION_PAGE_DEFAULT:
    case fw::MPI_CONFIG_ACTION_PAGE_READ_NVRAM:
    case fw::MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT:
    case fw::MPI_CONFIG_ACTION_PAGE_WRITE_NVRAM: {
        uint32_t asked = extended ? req.wExtPageLength * 4u : req.sHeader.bPageLength * 4u;
        if (asked != bytes) return finish(fw::MPI_IOCSTATUS_CONFIG_INVALID_PAGE);
        uint8_t* host = (req.dFlagsLength & fw::MPI_SGE_LENGTH_MASK) < bytes
                            ? nullptr
                            : B().memory().Translate(req.dAddress, bytes);
        if (!host) return finish(fw::MPI_IOCSTATUS_INVALID_FIELD);
        bool write = req.bAction == fw::MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT ||
                     req.bAction == fw::MPI_CONFIG_ACTION_PAGE_WRITE_NVRAM;
        uint32_t headerBytes = extended ? 8 : 4;
        if (write) {
            std::memcpy(page.data() + headerBytes, host + headerBytes, bytes - headerBytes);
        } else {
            std::memcpy(host, page.data(), bytes);
            ++m_pageReads[{type, req.sHeader.bPageNumber}];
        }
        return finish(fw::MPI_IOCSTATUS_SUCCESS);
    }
    default:
        return finish(fw::MPI_IOCSTATUS_CONFIG_INVALID_ACTION);
    }
}

void MpiIoc::RequestConfig(const uint8_t* frame, uint32_t) {
    uint8_t r[sizeof(fw::MPI_CONFIG_REPLY)];
    Config(frame, r);
    r[2] = sizeof r / 4;
    AddressReply(r, sizeof r);
}

void MpiIoc::RequestPortEnable(const uint8_t* frame, uint32_t context) {
    if (faults.portEnableSilent) return;
    uint8_t port = frame[6];
    After(kLinkUpNs, [this, port, context] {
        if (port < facts.numberOfPorts) m_portEnabled[port] = true;
        auto r = HeaderReply(fw::MPI_FUNCTION_PORT_ENABLE, context, 0);
        AddressReply(&r, sizeof r);
    });
}

void MpiIoc::RequestEventAck(const uint8_t*, uint32_t context) {
    ++m_eventAcks;
    auto r = HeaderReply(fw::MPI_FUNCTION_EVENT_ACK, context, 0);
    AddressReply(&r, sizeof r);
}

void MpiIoc::RequestUnknown(const uint8_t* frame, uint32_t context) {
    auto r = HeaderReply(frame[3], context, fw::MPI_IOCSTATUS_INVALID_FUNCTION);
    AddressReply(&r, sizeof r);
}

void MpiIoc::AddressReply(const void* reply, uint32_t bytes) {
    ReplyFrame frame{};
    frame.bytes = std::min(bytes, kReplyFrameBytes);
    std::memcpy(frame.data.data(), reply, frame.bytes);
    m_pendingReplies.push_back(frame);
    DeliverReplies();
}

// A reply waits inside the IOC until the host has given it a frame.
void MpiIoc::DeliverReplies() {
    while (!m_pendingReplies.empty() && !m_replyFree.empty()) {
        uint32_t address = m_replyFree.front();
        uint8_t* frame = B().memory().Translate(address, kReplyFrameBytes);
        m_replyFree.pop_front();
        if (!frame) continue;  // a bad frame address is dropped, the reply kept
        const ReplyFrame& r = m_pendingReplies.front();
        std::memset(frame, 0, kReplyFrameBytes);
        std::memcpy(frame, r.data.data(), r.bytes);
        m_replyPost.push_back(address >> 1 | fw::MPI_REPLY_ADDRESS_FLAG);
        m_pendingReplies.pop_front();
    }
    UpdateInterrupt();
}

void MpiIoc::RaiseEvent(uint32_t event, const std::vector<uint32_t>& data, bool ackRequired) {
    if (!m_eventsOn) return;
    fw::MPI_EVENT_NOTIFICATION_REPLY r{};
    size_t n = std::min<size_t>(data.size(), 9);
    r.wEventDataLength = static_cast<uint16_t>(n);
    r.bMsgLength = static_cast<uint8_t>(7 + n);
    r.bFunction = fw::MPI_FUNCTION_EVENT_NOTIFICATION;
    r.bAckRequired = ackRequired ? 1 : 0;
    r.dMsgContext = m_eventContext;
    r.dEvent = event;
    for (size_t i = 0; i < n; ++i) r.dEventData[i] = data[i];
    AddressReply(&r, sizeof r);
}

void MpiIoc::ContextReply(uint32_t word) {
    m_replyPost.push_back(word & ~fw::MPI_REPLY_ADDRESS_FLAG & ~fw::MPI_REPLY_TYPE_MASK);
    UpdateInterrupt();
}

void MpiIoc::AddExtendedPage(uint8_t type, uint8_t number, uint32_t address, const void* body,
                                    uint32_t bytes) {
    ConfigPage page{true,
                    std::vector<uint8_t>(static_cast<const uint8_t*>(body), static_cast<const uint8_t*>(body) + bytes)};
    fw::MPI_CONFIG_EXTENDED_PAGE_HEADER h{};
    h.bPageVersion = 1;
    h.bPageNumber = number;
    h.bPageType = fw::MPI_CONFIG_PAGETYPE_EXTENDED;
    h.wExtPageLength = static_cast<uint16_t>(bytes / 4);
    h.bExtPageType = type;
    std::memcpy(page.bytes.data(), &h, sizeof h);
    m_pages[{type, number, address}] = std::move(page);
}

MpiIoc::PhyErrors& MpiIoc::PhyErrors::operator+=(const PhyErrors& more) {
    invalidDwords += more.invalidDwords;
    disparityErrors += more.disparityErrors;
    lostDwordSyncs += more.lostDwordSyncs;
    resetProblems += more.resetProblems;
    return *this;
}

void MpiIoc::AddPhyCounterPage(uint8_t phy, const PhyErrors& errors) {
    fw::MPI_SAS_PHY_PAGE_1 p{};
    p.dInvalidDwordCount = errors.invalidDwords;
    p.dRunningDisparityErrorCount = errors.disparityErrors;
    p.dLossDwordSynchCount = errors.lostDwordSyncs;
    p.dPhyResetProblemCount = errors.resetProblems;
    AddExtendedPage(fw::MPI_CONFIG_EXTPAGETYPE_SAS_PHY, 1, fw::MPI_SAS_PHY_PAGE_FORM_PHY_NUMBER | phy, &p, sizeof p);
}

// --- configuration pages ---------------------------------------------------------

void MpiIoc::AddPage(uint8_t type, uint8_t number, uint32_t bytes, uint8_t extType, uint32_t address) {
    ConfigPage page{extType != 0, std::vector<uint8_t>(bytes, 0)};
    page.bytes[0] = 1;  // page version
    page.bytes[2] = number;
    if (extType != 0) {
        page.bytes[3] = fw::MPI_CONFIG_PAGETYPE_EXTENDED;
        uint16_t dwords = static_cast<uint16_t>(bytes / 4);
        std::memcpy(&page.bytes[4], &dwords, 2);
        page.bytes[6] = extType;
        m_pages[{extType, number, address}] = std::move(page);
    } else {
        page.bytes[1] = static_cast<uint8_t>(bytes / 4);
        page.bytes[3] = type;
        m_pages[{type, number, address}] = std::move(page);
    }
}

// A SAS page by handle may ask for the first handle after the one given.
MpiIoc::ConfigPage* MpiIoc::FindPage(uint8_t type, uint8_t number, uint32_t address) {
    if (number == 0 && (type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER || type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE) &&
        (address & 0xF0000000) == fw::MPI_SAS_PAGE_FORM_GET_NEXT_HANDLE) {
        uint16_t handle = static_cast<uint16_t>(address);
        uint32_t from = fw::MPI_SAS_PAGE_FORM_HANDLE | (handle == 0xFFFF ? 0u : handle + 1u);
        auto it = m_pages.lower_bound({type, 0, from});
        if (it == m_pages.end() || it->first.type != type || it->first.number != 0 ||
            (it->first.address & 0xF0000000) != fw::MPI_SAS_PAGE_FORM_HANDLE) {
            return nullptr;
        }
        return &it->second;
    }
    auto it = m_pages.find({type, number, address});
    return it == m_pages.end() ? nullptr : &it->second;
}

}  // namespace sim
