#include "sim/sas_controller.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "hw/mpi.h"
#include "sim/board.h"
#include "sim/chassis.h"

namespace sim {

namespace {

constexpr uint32_t kIoBarSize = 0x100;
constexpr uint32_t kMemoryBarSize = 0x1000;
constexpr uint64_t kResetNs = 10'000;               // reset-adapter bit self-clears
constexpr uint64_t kBootNs = 20'000'000;            // IOC firmware start
constexpr uint64_t kLinkUpNs = 100'000'000;         // a port answers PORT ENABLE
constexpr uint8_t kMsiCapability = 0x50;
constexpr uint8_t kMsixCapability = 0x98;

template <typename T>
T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A reply that carries only the common header.
fw::MPI_REPLY_HEADER HeaderReply(uint8_t function, uint32_t context, uint16_t status) {
    fw::MPI_REPLY_HEADER r{};
    r.bMsgLength = sizeof r / 4;
    r.bFunction = function;
    r.dMsgContext = context;
    r.wIOCStatus = status;
    return r;
}

// A SCSI IO reply (also ending task-managed requests) with its header filled.
fw::MPI_SCSI_IO_REPLY ScsiIoReply(uint8_t function, uint32_t context, uint8_t target, uint16_t status) {
    fw::MPI_SCSI_IO_REPLY r{};
    r.sHeader.bTargetId = target;
    r.sHeader.bMsgLength = sizeof r / 4;
    r.sHeader.bFunction = function;
    r.sHeader.dMsgContext = context;
    r.sHeader.wIOCStatus = status;
    return r;
}

const bool s_registered = [] {
    Board::Attachments().push_back([](Board& b) { AttachSasController(b); });
    return true;
}();

}  // namespace

SasController::SasController(uint8_t revision)
    : PciFunction(kVendor, kDevice, revision, 0x010700, 0) {
    m_config[0] = static_cast<uint32_t>(kDevice) << 16 | kVendor;
    m_config[1] = 0x00100000;  // status: capability list
    m_config[2] = 0x010700u << 8 | revision;
    m_config[4] = 1;           // I/O BAR
    m_config[0x34 / 4] = kMsiCapability;
    m_config[kMsiCapability / 4] = 0x05u | static_cast<uint32_t>(kMsixCapability) << 8;
    m_config[kMsixCapability / 4] = 0x11u;
    InitPages();
}

SasController::~SasController() {
    if (m_chassis) m_chassis->RemoveListener(m_listener);
}

void SasController::SetRevision(uint8_t revision) {
    m_config[2] = (m_config[2] & ~0xFFu) | revision;
}

// --- PCI configuration space --------------------------------------------------

uint32_t SasController::ConfigRead(uint16_t offset) { return m_config[(offset & 0xFF) / 4]; }

void SasController::ConfigWrite(uint16_t offset, uint32_t value) {
    unsigned index = (offset & 0xFF) / 4;
    switch (index) {
    case 0:
    case 2:
        return;  // identity is read-only
    case 4:      // I/O BAR
        m_config[4] = (value & ~(kIoBarSize - 1)) | 1;
        return;
    case 5:      // memory BAR: the system registers
        m_config[5] = value & ~(kMemoryBarSize - 1);
        MapRegisters(m_config[5] == ~(kMemoryBarSize - 1) ? 0 : m_config[5]);
        return;
    default:
        m_config[index] = value;
    }
}

void SasController::MapRegisters(uint32_t base) {
    if (!board) return;
    if (m_mappedAt != 0) B().bus().Unmap(this);
    m_mappedAt = base;
    if (base != 0) B().bus().Map(base, kMemoryBarSize, this);
}

// --- system registers -----------------------------------------------------------

uint32_t SasController::Read(uint32_t address, unsigned) {
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

void SasController::Write(uint32_t address, uint32_t value, unsigned) {
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

void SasController::WriteSequence(uint8_t key) {
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

void SasController::WriteHostDiagnostic(uint32_t value) {
    if (m_hostDiagnostic & fw::MPI_DIAG_RESET_ADAPTER) return;  // busy resetting
    if (value & fw::MPI_DIAG_RESET_ADAPTER) {
        // The IOC stops at once; the diagnostic lock closes again when the
        // reset is over, and the IOC boots from flash unless told not to.
        m_hostDiagnostic = (value & (fw::MPI_DIAG_DISABLE_ARM | fw::MPI_DIAG_PREVENT_IOC_BOOT)) |
                           fw::MPI_DIAG_RESET_ADAPTER;
        ResetIoc(true);
        B().clock().ScheduleIn(kResetNs, [this] {
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
        B().clock().ScheduleIn(kBootNs, [this] {
            if (m_state != State::Reset) return;
            if (BootLoadedImage()) {
                ++m_diagnosticLoads;
                m_state = State::Ready;
            } else if (!faults.neverReady) {
                EnterFault(0x0D0F);  // no bootable image in IOC memory
            }
        });
    }
}

void SasController::DiagWrite(uint32_t value) {
    if ((m_hostDiagnostic & (fw::MPI_DIAG_DRWE | fw::MPI_DIAG_RW_ENABLE)) !=
        (fw::MPI_DIAG_DRWE | fw::MPI_DIAG_RW_ENABLE)) {
        return;
    }
    m_memory[m_diagAddress] = value;
    m_diagAddress += 4;
}

uint32_t SasController::IocMemory(uint32_t address) const {
    auto it = m_memory.find(address);
    return it == m_memory.end() ? 0 : it->second;
}

// The image is bootable when its header carries the signature, its dwords
// sum to zero and the reset vector was planted where the header says.
bool SasController::BootLoadedImage() {
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

void SasController::Boot() {
    B().clock().ScheduleIn(kBootNs, [this] {
        if (m_state != State::Reset) return;
        if (!m_flashImage.empty() && m_flashImage.size() >= sizeof(fw::MPI_FW_IMAGE_HEADER)) {
            m_fwVersion = Load<uint32_t>(m_flashImage.data() + offsetof(fw::MPI_FW_IMAGE_HEADER, dFWVersion));
        }
        m_state = State::Ready;
    });
}

void SasController::ResetIoc(bool hard) {
    m_receiving = false;
    m_request.clear();
    m_replyWords.clear();
    m_replyFree.clear();
    m_replyPost.clear();
    m_pendingReplies.clear();
    m_stalled.clear();
    m_eventsOn = false;
    m_portEnabled.fill(false);
    m_hostIntStatus = 0;
    if (hard) {
        m_state = State::Reset;
        m_memory.clear();
        m_loadStarts.clear();
    } else if (m_state != State::Reset) {
        m_state = State::Ready;
    }
    UpdateInterrupt();
}

void SasController::EnterFault(uint16_t code) {
    m_state = State::Fault;
    m_faultCode = code;
    m_receiving = false;
    m_replyWords.clear();
    m_hostIntStatus |= fw::MPI_HIS_DOORBELL;
    UpdateInterrupt();
}

// --- doorbell handshake -----------------------------------------------------

void SasController::WriteDoorbell(uint32_t value) {
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

void SasController::WriteHostIntStatus() {
    bool presented = !m_replyWords.empty() && (m_hostIntStatus & fw::MPI_HIS_DOORBELL);
    m_hostIntStatus &= ~fw::MPI_HIS_DOORBELL;
    if (presented) {
        m_replyWords.pop_front();
        if (!m_replyWords.empty()) m_hostIntStatus |= fw::MPI_HIS_DOORBELL;
    }
    UpdateInterrupt();
}

void SasController::StartReply(const void* reply, uint32_t bytes) {
    std::vector<uint8_t> b(static_cast<const uint8_t*>(reply), static_cast<const uint8_t*>(reply) + bytes);
    b[2] = faults.replyMsgLength >= 0 ? static_cast<uint8_t>(faults.replyMsgLength)
                                      : static_cast<uint8_t>(bytes / 4);
    m_replyWords.clear();
    for (uint32_t i = 0; i + 1 < bytes; i += 2) m_replyWords.push_back(Load<uint16_t>(&b[i]));
    m_hostIntStatus |= fw::MPI_HIS_DOORBELL;
    UpdateInterrupt();
}

void SasController::FactsReply(uint8_t* out) {
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
    r.wProductId = kDevice;
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

void SasController::HandshakeMessage() {
    std::vector<uint8_t> req(std::max<size_t>(m_request.size() * 4, 128), 0);
    std::memcpy(req.data(), m_request.data(), m_request.size() * 4);
    uint8_t function = req[3];
    uint32_t context = Load<uint32_t>(&req[8]);
    switch (function) {
    case fw::MPI_FUNCTION_IOC_FACTS: {
        uint8_t r[sizeof(fw::MPI_IOC_FACTS_REPLY)];
        FactsReply(r);
        reinterpret_cast<fw::MPI_REPLY_HEADER*>(r)->dMsgContext = context;
        StartReply(r, sizeof r);
        return;
    }
    case fw::MPI_FUNCTION_IOC_INIT: {
        auto init = Load<fw::MPI_IOC_INIT_REQUEST>(req.data());
        uint16_t status = fw::MPI_IOCSTATUS_SUCCESS;
        if (m_state != State::Ready || init.wReplyFrameSize != kReplyFrameBytes) {
            status = fw::MPI_IOCSTATUS_INVALID_STATE;
        } else if (facts.hostPageBufferBytes != 0 &&
                   ((init.dHostPageBufferFlagsLength & fw::MPI_SGE_LENGTH_MASK) < facts.hostPageBufferBytes ||
                    !B().memory().Translate(init.dHostPageBufferAddress, facts.hostPageBufferBytes))) {
            status = fw::MPI_IOCSTATUS_INVALID_FIELD;
        } else {
            m_hostPageBuffer = facts.hostPageBufferBytes ? init.dHostPageBufferAddress : 0;
            m_state = State::Operational;
        }
        auto r = HeaderReply(function, context, status);
        StartReply(&r, sizeof r);
        return;
    }
    case fw::MPI_FUNCTION_PORT_FACTS: {
        fw::MPI_PORT_FACTS_REPLY r{};
        r.sHeader = HeaderReply(function, context, 0);
        r.bPortNumber = req[6];
        r.bPortType = 0x30;  // SAS
        r.wMaxDevices = 256;
        r.wProtocolFlags = 0x0B;  // initiator and target
        r.wMaxPostedCmdBuffers = facts.maxPostedCmdBuffers;
        if (req[6] >= facts.numberOfPorts) r.sHeader.wIOCStatus = fw::MPI_IOCSTATUS_INVALID_FIELD;
        StartReply(&r, sizeof r);
        return;
    }
    case fw::MPI_FUNCTION_PORT_ENABLE: {
        if (faults.portEnableSilent) return;
        uint8_t port = req[6];
        B().clock().ScheduleIn(kLinkUpNs, [this, port, context] {
            uint16_t status = fw::MPI_IOCSTATUS_SUCCESS;
            if (m_state != State::Operational || port >= facts.numberOfPorts) {
                status = fw::MPI_IOCSTATUS_INVALID_STATE;
            } else {
                m_portEnabled[port] = true;
            }
            auto r = HeaderReply(fw::MPI_FUNCTION_PORT_ENABLE, context, status);
            StartReply(&r, sizeof r);
        });
        return;
    }
    case fw::MPI_FUNCTION_EVENT_NOTIFICATION: {
        m_eventsOn = req[0] != 0;
        m_eventContext = context;
        fw::MPI_EVENT_NOTIFICATION_REPLY r{};
        r.wEventDataLength = 1;
        r.bFunction = function;
        r.dMsgContext = context;
        r.dEvent = fw::MPI_EVENT_EVENT_CHANGE;
        r.dEventData[0] = req[0];
        StartReply(&r, offsetof(fw::MPI_EVENT_NOTIFICATION_REPLY, dEventData) + 4);
        return;
    }
    case fw::MPI_FUNCTION_CONFIG: {
        uint8_t r[sizeof(fw::MPI_CONFIG_REPLY)];
        Config(req.data(), r);
        StartReply(r, sizeof r);
        return;
    }
    case fw::MPI_FUNCTION_FW_DOWNLOAD:
    case fw::MPI_FUNCTION_FW_UPLOAD: {
        auto t = Load<fw::MPI_FW_TRANSFER_REQUEST>(req.data());
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
        return;
    }
    case fw::MPI_FUNCTION_SCSI_TASK_MGMT: {
        auto r = HeaderReply(function, context, 0);
        r.bTaskMgmtResponse = 0;
        StartReply(&r, sizeof r);
        return;
    }
    default: {
        auto r = HeaderReply(function, context, fw::MPI_IOCSTATUS_INVALID_FUNCTION);
        StartReply(&r, sizeof r);
        return;
    }
    }
}

// --- configuration pages ------------------------------------------------------

void SasController::InitPages() {
    auto add = [this](uint8_t type, uint8_t number, uint32_t bytes, uint8_t extType) {
        ConfigPage page{extType != 0, std::vector<uint8_t>(bytes, 0)};
        page.bytes[0] = 1;  // page version
        page.bytes[2] = number;
        if (extType != 0) {
            page.bytes[3] = fw::MPI_CONFIG_PAGETYPE_EXTENDED;
            uint16_t dwords = static_cast<uint16_t>(bytes / 4);
            std::memcpy(&page.bytes[4], &dwords, 2);
            page.bytes[6] = extType;
            m_pages[{extType, number, 0}] = std::move(page);
        } else {
            page.bytes[1] = static_cast<uint8_t>(bytes / 4);
            page.bytes[3] = type;
            m_pages[{type, number, 0}] = std::move(page);
        }
    };
    add(fw::MPI_CONFIG_PAGETYPE_MANUFACTURING, 5, sizeof(fw::MPI_MANUFACTURING_PAGE_5), 0);
    add(fw::MPI_CONFIG_PAGETYPE_BIOS, 1, sizeof(fw::MPI_BIOS_PAGE_1), 0);
    add(fw::MPI_CONFIG_PAGETYPE_IOC, 1, sizeof(fw::MPI_IOC_PAGE_1), 0);
    add(0, 1, sizeof(fw::MPI_SAS_IO_UNIT_PAGE_1), fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT);
    add(0, 2, 8 + 4 + fw::MPI_SAS_IO_UNIT_PHYS * 12, fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT);
    add(0, 3, 8 + 28, fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT);
    m_pages[{fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, 0}].bytes[16] = fw::MPI_SAS_IO_UNIT_PHYS;
    m_pages[{fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 2, 0}].bytes[8] = fw::MPI_SAS_IO_UNIT_PHYS;
    RefreshTopology();
}

std::vector<uint8_t> SasController::Page(uint8_t type, uint8_t number, uint32_t address) const {
    auto it = m_pages.find({type, number, address});
    return it == m_pages.end() ? std::vector<uint8_t>() : it->second.bytes;
}

void SasController::Config(const uint8_t* request, uint8_t* out) {
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
    ConfigPage* found = nullptr;
    if (extended && req.sHeader.bPageNumber == 0 &&
        (type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER || type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE) &&
        (req.dPageAddress & 0xF0000000) == fw::MPI_SAS_PAGE_FORM_GET_NEXT_HANDLE) {
        found = NextHandlePage(type, req.dPageAddress);
    } else {
        auto it = m_pages.find({type, req.sHeader.bPageNumber, req.dPageAddress});
        if (it != m_pages.end()) found = &it->second;
    }
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
        }
        return finish(fw::MPI_IOCSTATUS_SUCCESS);
    }
    default:
        return finish(fw::MPI_IOCSTATUS_CONFIG_INVALID_ACTION);
    }
}

// --- request and reply FIFOs --------------------------------------------------

void SasController::PostRequest(uint32_t frameAddress) {
    ++m_requestsReceived;
    uint8_t* frame = B().memory().Translate(frameAddress, kRequestFrameBytes);
    if (!frame || m_state != State::Operational) return;
    uint8_t function = frame[3];
    uint32_t context = Load<uint32_t>(frame + 8);
    switch (function) {
    case fw::MPI_FUNCTION_CONFIG: {
        uint8_t r[sizeof(fw::MPI_CONFIG_REPLY)];
        Config(frame, r);
        r[2] = sizeof r / 4;
        AddressReply(r, sizeof r);
        return;
    }
    case fw::MPI_FUNCTION_PORT_ENABLE: {
        if (faults.portEnableSilent) return;
        uint8_t port = frame[6];
        B().clock().ScheduleIn(kLinkUpNs, [this, port, context] {
            if (port < facts.numberOfPorts) m_portEnabled[port] = true;
            auto r = HeaderReply(fw::MPI_FUNCTION_PORT_ENABLE, context, 0);
            AddressReply(&r, sizeof r);
        });
        return;
    }
    case fw::MPI_FUNCTION_TARGET_CMD_BUF_BASE_POST: {
        auto p = Load<fw::MPI_TARGET_CMD_BUF_BASE_POST_REQUEST>(frame);
        uint16_t status = fw::MPI_IOCSTATUS_SUCCESS;
        if (!B().memory().Translate(p.dBaseAddressLow, uint32_t{p.wTotalCmdBuffers} * p.wCmdBufferLength)) {
            status = fw::MPI_IOCSTATUS_INVALID_FIELD;
        } else {
            m_cmdBuffersPosted += p.wTotalCmdBuffers;
        }
        auto r = HeaderReply(function, context, status);
        AddressReply(&r, sizeof r);
        return;
    }
    case fw::MPI_FUNCTION_TARGET_CMD_BUF_LIST_POST: {
        auto p = Load<fw::MPI_TARGET_CMD_BUF_LIST_POST_REQUEST>(frame);
        m_cmdBuffersReposted += std::min<uint32_t>(p.wCmdBufferCount, fw::MPI_TARGET_CMD_BUF_LIST_MAX);
        auto r = HeaderReply(function, context, 0);
        AddressReply(&r, sizeof r);
        return;
    }
    case fw::MPI_FUNCTION_EVENT_ACK: {
        ++m_eventAcks;
        auto r = HeaderReply(function, context, 0);
        AddressReply(&r, sizeof r);
        return;
    }
    case fw::MPI_FUNCTION_SMP_PASSTHROUGH:
        SmpPassthrough(frame, context);
        return;
    case fw::MPI_FUNCTION_SCSI_IO_REQUEST:
        ScsiIo(frame, frameAddress, context);
        return;
    case fw::MPI_FUNCTION_SATA_PASSTHROUGH:
        SataPassthrough(frame, context);
        return;
    case fw::MPI_FUNCTION_SCSI_TASK_MGMT:
        TaskManagement(frame, context);
        return;
    default: {
        auto r = HeaderReply(function, context, fw::MPI_IOCSTATUS_INVALID_FUNCTION);
        AddressReply(&r, sizeof r);
        return;
    }
    }
}

void SasController::AddressReply(const void* reply, uint32_t bytes) {
    const auto* p = static_cast<const uint8_t*>(reply);
    m_pendingReplies.emplace_back(p, p + std::min(bytes, kReplyFrameBytes));
    DeliverReplies();
}

// A reply waits inside the IOC until the host has given it a frame.
void SasController::DeliverReplies() {
    while (!m_pendingReplies.empty() && !m_replyFree.empty()) {
        uint32_t address = m_replyFree.front();
        uint8_t* frame = B().memory().Translate(address, kReplyFrameBytes);
        m_replyFree.pop_front();
        if (!frame) continue;  // a bad frame address is dropped, the reply kept
        const std::vector<uint8_t>& r = m_pendingReplies.front();
        std::memset(frame, 0, kReplyFrameBytes);
        std::memcpy(frame, r.data(), r.size());
        m_replyPost.push_back(address >> 1 | fw::MPI_REPLY_ADDRESS_FLAG);
        m_pendingReplies.pop_front();
    }
    UpdateInterrupt();
}

void SasController::RaiseEvent(uint32_t event, const std::vector<uint32_t>& data, bool ackRequired) {
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

// The IOC signals by message: the message sets its bit in the processor's
// first message interrupt status register (coprocessor 6, CRn 8, CRm 1; the
// bit is the message data the set-up programs, 3) and the status raises
// INTSRC3 bit 17 for as long as the IOC has a cause pending.
void SasController::UpdateInterrupt() {
    if (!board) return;
    constexpr uint32_t kMsiStatusCrn = 8, kMsiStatusCrm = 1, kMsiBit = 1u << 3;
    uint32_t pending = m_hostIntStatus | (m_replyPost.empty() ? 0 : fw::MPI_HIS_REPLY);
    bool level = (pending & ~m_hostIntMask & (fw::MPI_HIS_DOORBELL | fw::MPI_HIS_REPLY)) != 0;
    uint32_t status = B().cpu().Cp6Read(kMsiStatusCrn, kMsiStatusCrm);
    B().cpu().Cp6Write(kMsiStatusCrn, kMsiStatusCrm, level ? status | kMsiBit : status & ~kMsiBit);
    B().intc().SetLine(3, 17, level);
}

// --- the drive-side fabric -------------------------------------------------------

void SasController::AttachChassis(Chassis* chassis) {
    if (m_chassis) m_chassis->RemoveListener(m_listener);
    m_chassis = chassis;
    m_listener = 0;
    if (m_chassis) {
        m_listener = m_chassis->AddListener([this] {
            RefreshTopology();
            RaiseEvent(fw::MPI_EVENT_SAS_DISCOVERY, {1}, true);
        });
    }
    RefreshTopology();
}

uint16_t SasController::AssignHandle(uint64_t sasAddress) {
    auto [it, added] = m_devices.try_emplace(sasAddress, Device{m_nextHandle, m_nextTarget});
    if (added) {
        ++m_nextHandle;
        ++m_nextTarget;
    }
    return it->second.handle;
}

uint8_t SasController::TargetOf(uint64_t sasAddress) const {
    auto it = m_devices.find(sasAddress);
    return it == m_devices.end() ? 0xFF : it->second.target;
}

// The page of the first handle after the one in `address` (page number 0).
SasController::ConfigPage* SasController::NextHandlePage(uint8_t type, uint32_t address) {
    uint16_t handle = static_cast<uint16_t>(address);
    uint32_t from = fw::MPI_SAS_PAGE_FORM_HANDLE | (handle == 0xFFFF ? 0u : handle + 1u);
    auto it = m_pages.lower_bound({type, 0, from});
    if (it == m_pages.end() || it->first.type != type || it->first.number != 0 ||
        (it->first.address & 0xF0000000) != fw::MPI_SAS_PAGE_FORM_HANDLE) {
        return nullptr;
    }
    return &it->second;
}

// Rebuilds the IO unit, expander and device pages from what the enclosure
// holds now.  Handles and target ids stay with a SAS address for the IOC's
// life, as the persistent mapping of a real IOC keeps them.
void SasController::RefreshTopology() {
    std::erase_if(m_pages, [](const auto& p) {
        return p.first.type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER ||
               p.first.type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE ||
               (p.first.type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT && p.first.number == 0);
    });
    auto extended = [this](uint8_t type, uint8_t number, uint32_t address, const void* body, uint32_t bytes) {
        ConfigPage page{true, std::vector<uint8_t>(static_cast<const uint8_t*>(body),
                                                   static_cast<const uint8_t*>(body) + bytes)};
        fw::MPI_CONFIG_EXTENDED_PAGE_HEADER h{};
        h.bPageVersion = 1;
        h.bPageNumber = number;
        h.bPageType = fw::MPI_CONFIG_PAGETYPE_EXTENDED;
        h.wExtPageLength = static_cast<uint16_t>(bytes / 4);
        h.bExtPageType = type;
        std::memcpy(page.bytes.data(), &h, sizeof h);
        m_pages[{type, number, address}] = std::move(page);
    };
    m_placeOfTarget.fill(Place{});
    fw::MPI_SAS_IO_UNIT_PAGE_0 io{};
    io.bNumPhys = fw::MPI_SAS_IO_UNIT_PHYS;
    for (auto& p : io.asPhy) p.wAttachedDevHandle = p.wControllerDevHandle = 0xFFFF;
    if (m_chassis) {
        Expander& ex = m_chassis->expander();
        for (uint8_t phy = 0; phy < 4; ++phy) {
            io.asPhy[phy].bPort = 0;
            io.asPhy[phy].bNegotiatedLinkRate = fw::MPI_SAS_LINK_RATE_3_0;
            io.asPhy[phy].wAttachedDevHandle = kExpanderHandle;
            io.asPhy[phy].wControllerDevHandle = kExpanderHandle;
        }
        fw::MPI_SAS_EXPANDER_PAGE_0 e0{};
        e0.dSASAddressLow = static_cast<uint32_t>(ex.sasAddress());
        e0.dSASAddressHigh = static_cast<uint32_t>(ex.sasAddress() >> 32);
        e0.wDevHandle = kExpanderHandle;
        e0.wParentDevHandle = 0xFFFF;
        e0.bNumPhys = static_cast<uint8_t>(ex.phys().size());
        e0.bSASLevel = ex.sasLevel;
        extended(fw::MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER, 0, fw::MPI_SAS_PAGE_FORM_HANDLE | kExpanderHandle, &e0,
                 sizeof e0);
        for (size_t i = 0; i < ex.phys().size(); ++i) {
            const ExpanderPhy& phy = ex.phys()[i];
            fw::MPI_SAS_EXPANDER_PAGE_1 e1{};
            e1.bNumPhys = e0.bNumPhys;
            e1.bPhy = e1.bPhyIdentifier = static_cast<uint8_t>(i);
            e1.wOwnerDevHandle = kExpanderHandle;
            e1.bChangeCount = phy.changeCount;
            e1.dPhyInfo = phy.isVirtual ? fw::MPI_SAS_PHYINFO_VIRTUAL_PHY : 0;
            if (phy.portSelector) e1.dPhyInfo |= fw::MPI_SAS_PHYINFO_PORT_SELECTOR | (phy.selectorActive ? 0x4000u : 0u);
            const DriveConfig* drive = phy.slot > 0 ? m_chassis->ConfigAt(static_cast<unsigned>(phy.slot)) : nullptr;
            e1.bNegotiatedLinkRate = !phy.enabled ? fw::MPI_SAS_LINK_RATE_PHY_DISABLED
                                     : drive       ? fw::MPI_SAS_LINK_RATE_3_0
                                                   : 0;
            if (drive && phy.enabled) {
                uint16_t handle = AssignHandle(drive->sasAddress);
                uint32_t info = fw::MPI_SAS_DEVICE_INFO_END_DEVICE |
                                (drive->sata ? fw::MPI_SAS_DEVICE_INFO_SATA_DEVICE : fw::MPI_SAS_DEVICE_INFO_SSP_TARGET);
                e1.wAttachedDevHandle = handle;
                e1.dAttachedDeviceInfo = info;
                fw::MPI_SAS_DEVICE_PAGE_0 d0{};
                d0.wSlot = static_cast<uint16_t>(phy.slot);
                d0.dSASAddressLow = static_cast<uint32_t>(drive->sasAddress);
                d0.dSASAddressHigh = static_cast<uint32_t>(drive->sasAddress >> 32);
                d0.wParentDevHandle = kExpanderHandle;
                d0.bPhyNum = static_cast<uint8_t>(i);
                d0.wDevHandle = handle;
                d0.bTargetID = TargetOf(drive->sasAddress);
                d0.dDeviceInfo = info;
                d0.wFlags = 0x0003;
                extended(fw::MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE, 0, fw::MPI_SAS_PAGE_FORM_HANDLE | handle, &d0,
                         sizeof d0);
            }
            // A drive keeps its place while its phy is off: enabling the
            // phy again brings it back without a new topology.
            if (auto known = drive ? m_devices.find(drive->sasAddress) : m_devices.end(); known != m_devices.end()) {
                m_placeOfTarget[known->second.target] = {static_cast<unsigned>(phy.slot), i};
            }
            extended(fw::MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER, 1,
                     fw::MPI_SAS_EXPANDER_PAGE_FORM_PHY | static_cast<uint32_t>(i) << 16 | kExpanderHandle, &e1,
                     sizeof e1);
        }
    }
    extended(fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, 0, &io, sizeof io);
}

Drive* SasController::DriveOfTarget(uint8_t target) {
    const Place& place = m_placeOfTarget[target];
    if (!m_chassis || place.slot == 0) return nullptr;
    Drive* drive = m_chassis->DriveAt(place.slot);
    if (!drive || !m_chassis->expander().phys()[place.phy].enabled) return nullptr;
    return drive;
}

std::vector<std::pair<uint8_t*, uint32_t>> SasController::GatherSgl(const uint32_t* sgl, unsigned dwordsLeft) {
    std::vector<std::pair<uint8_t*, uint32_t>> out;
    constexpr unsigned kMaxElements = 64;  // a looping chain ends here
    for (unsigned n = 0; n < kMaxElements && dwordsLeft >= 2; ++n) {
        uint32_t flags = sgl[0], address = sgl[1];
        uint32_t length = flags & fw::MPI_SGE_LENGTH_MASK;
        if ((flags & fw::MPI_SGE_FLAG_CHAIN) == fw::MPI_SGE_FLAG_CHAIN) {
            uint32_t bytes = length & 0xFFFF;
            sgl = reinterpret_cast<const uint32_t*>(B().memory().Translate(address, bytes));
            if (!sgl) break;
            dwordsLeft = bytes / 4;
            continue;
        }
        if (length != 0 && address != 0xFFFFFFFF) {
            uint8_t* host = B().memory().Translate(address, length);
            if (!host) return {};
            out.emplace_back(host, length);
        }
        if (flags & fw::MPI_SGE_FLAG_END_OF_LIST) break;
        sgl += 2;
        dwordsLeft -= 2;
    }
    return out;
}

void SasController::ContextReply(uint32_t word) {
    m_replyPost.push_back(word & ~fw::MPI_REPLY_ADDRESS_FLAG & ~fw::MPI_REPLY_TYPE_MASK);
    UpdateInterrupt();
}

// A SCSI IO request: the drive runs the command at once and the answer
// comes back after the drive's service time, as a context reply when all
// went well, else as an address reply with status and sense.
void SasController::ScsiIo(const uint8_t* frame, uint32_t, uint32_t context) {
    ++m_scsiRequests;
    auto req = Load<fw::MPI_SCSI_IO_REQUEST>(frame);
    auto reply = [this, context, req](uint16_t ioc, uint8_t status, const std::vector<uint8_t>& sense,
                                      uint32_t transferred) {
        auto r = ScsiIoReply(fw::MPI_FUNCTION_SCSI_IO_REQUEST, context, req.bTargetId, ioc);
        r.sHeader.bScsiStatus = status;
        r.dTransferCount = transferred;
        if (!sense.empty()) {
            uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(sense.size()), req.bSenseBufferLength);
            if (uint8_t* p = B().memory().Translate(req.dSenseBufferLowAddr, n)) {
                std::memcpy(p, sense.data(), n);
                r.sHeader.bScsiState = fw::MPI_SCSI_STATE_AUTOSENSE_VALID;
                r.dSenseCount = n;
            }
        }
        AddressReply(&r, sizeof r);
    };
    Drive* drive = DriveOfTarget(req.bTargetId);
    if (!drive) {
        reply(fw::MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE, 0, {}, 0);
        return;
    }
    const uint32_t* sgl = reinterpret_cast<const uint32_t*>(frame + offsetof(fw::MPI_SCSI_IO_REQUEST, adSGL));
    auto pieces = GatherSgl(sgl, 20);
    const bool out = (req.dControl & fw::MPI_SCSIIO_CONTROL_WRITE) != 0;
    // Data in one piece of memory goes to and from the drive in place;
    // scattered data passes through a buffer.
    const bool inPlace = pieces.size() == 1 && pieces[0].second >= req.dDataLength;
    std::vector<uint8_t> bounce(inPlace ? 0 : req.dDataLength);
    std::span<uint8_t> data = inPlace ? std::span<uint8_t>(pieces[0].first, req.dDataLength) : std::span<uint8_t>(bounce);
    if (out && !inPlace) {
        size_t at = 0;
        for (auto& p : pieces) {
            size_t n = std::min<size_t>(p.second, data.size() - at);
            std::memcpy(data.data() + at, p.first, n);
            at += n;
        }
    }
    std::span<const uint8_t> cdb(req.abCDB, req.bCDBLength ? req.bCDBLength : 16);
    DriveResult result = out ? drive->Execute(cdb, data, {}) : drive->Execute(cdb, {}, data);
    if (result.noResponse) {  // the request stays with the IOC until the host gives up
        m_stalled[context] = {req.bTargetId, fw::MPI_FUNCTION_SCSI_IO_REQUEST};
        return;
    }
    if (!out && !inPlace) {
        size_t at = 0;
        for (auto& p : pieces) {
            if (at >= result.transferred) break;
            size_t n = std::min<size_t>(p.second, result.transferred - at);
            std::memcpy(p.first, data.data() + at, n);
            at += n;
        }
    }
    B().clock().ScheduleIn(result.serviceNs, [this, result, context, reply, length = req.dDataLength] {
        if (result.status == 0 && result.transferred >= length) {
            ContextReply(context);
        } else {
            uint16_t ioc = result.status == 0 ? fw::MPI_IOCSTATUS_SCSI_DATA_UNDERRUN : fw::MPI_IOCSTATUS_SUCCESS;
            reply(ioc, result.status, result.sense, result.transferred);
        }
    });
}

// SATA passthrough: the register FIS goes to the drive's ATA side; the
// answer carries the device-to-host FIS.
void SasController::SataPassthrough(const uint8_t* frame, uint32_t context) {
    ++m_scsiRequests;
    const uint8_t target = frame[0];
    uint16_t flags = Load<uint16_t>(frame + 4);
    const uint32_t length = Load<uint32_t>(frame + 16);
    const uint8_t* fis = frame + 20;
    AtaCommand c;
    c.command = fis[2];
    c.features = static_cast<uint16_t>(fis[3] | fis[11] << 8);
    c.lba = static_cast<uint64_t>(fis[4]) | static_cast<uint64_t>(fis[5]) << 8 | static_cast<uint64_t>(fis[6]) << 16 |
            static_cast<uint64_t>(fis[8]) << 24 | static_cast<uint64_t>(fis[9]) << 32 |
            static_cast<uint64_t>(fis[10]) << 40;
    c.device = fis[7];
    c.count = static_cast<uint16_t>(fis[12] | fis[13] << 8);
    uint8_t r[64] = {};
    r[2] = 16;
    r[3] = fw::MPI_FUNCTION_SATA_PASSTHROUGH;
    std::memcpy(r + 8, &context, 4);
    Drive* drive = DriveOfTarget(target);
    if (!drive || !drive->config().sata) {
        uint16_t ioc = fw::MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE;
        std::memcpy(r + 14, &ioc, 2);
        AddressReply(r, sizeof r);
        return;
    }
    const uint32_t* sgl = reinterpret_cast<const uint32_t*>(frame + 40);
    auto pieces = GatherSgl(sgl, 2);
    std::vector<uint8_t> data(length);
    const bool out = (flags & 0x0002) != 0;
    if (out && !pieces.empty()) std::memcpy(data.data(), pieces[0].first, std::min<size_t>(length, pieces[0].second));
    DriveResult result = out ? drive->ExecuteAta(c, data, {}) : drive->ExecuteAta(c, {}, data);
    if (result.noResponse) {
        m_stalled[context] = {target, fw::MPI_FUNCTION_SATA_PASSTHROUGH};
        return;
    }
    if (!out && !pieces.empty()) std::memcpy(pieces[0].first, data.data(), std::min<size_t>(length, pieces[0].second));
    // The device-to-host register FIS with the drive's ending registers.
    r[20] = 0x34;
    r[22] = result.ataStatus;
    r[23] = result.ataError;
    r[24] = static_cast<uint8_t>(result.ataLba);
    r[25] = static_cast<uint8_t>(result.ataLba >> 8);
    r[26] = static_cast<uint8_t>(result.ataLba >> 16);
    r[28] = static_cast<uint8_t>(result.ataLba >> 24);
    r[29] = static_cast<uint8_t>(result.ataLba >> 32);
    r[30] = static_cast<uint8_t>(result.ataLba >> 40);
    r[32] = static_cast<uint8_t>(result.ataCount);
    r[33] = static_cast<uint8_t>(result.ataCount >> 8);
    AddressReply(r, sizeof r);
}

void SasController::TaskManagement(const uint8_t* frame, uint32_t context) {
    auto req = Load<fw::MPI_SCSI_TASK_MGMT_REQUEST>(frame);
    auto it = m_stalled.find(req.dTaskMsgContext);
    if (req.bTaskType == fw::MPI_TASKTYPE_ABORT_TASK && it != m_stalled.end() && it->second.target == req.bTargetId) {
        ++m_tasksAborted;
        auto t = ScsiIoReply(it->second.function, it->first, req.bTargetId, fw::MPI_IOCSTATUS_SCSI_TASK_TERMINATED);
        m_stalled.erase(it);
        AddressReply(&t, sizeof t);
    }
    auto r = HeaderReply(fw::MPI_FUNCTION_SCSI_TASK_MGMT, context, 0);
    r.bTargetId = req.bTargetId;
    r.bTaskMgmtResponse = req.bTaskType;
    AddressReply(&r, sizeof r);
}

void SasController::SmpPassthrough(const uint8_t* frame, uint32_t context) {
    const uint64_t address = Load<uint64_t>(frame + 16);
    const uint32_t requestWord = Load<uint32_t>(frame + 32);
    const uint32_t responseWord = Load<uint32_t>(frame + 40);
    const uint32_t requestBytes = requestWord & fw::MPI_SGE_LENGTH_MASK;
    const uint32_t responseBytes = responseWord & fw::MPI_SGE_LENGTH_MASK;
    uint8_t* request = B().memory().Translate(Load<uint32_t>(frame + 36), requestBytes);
    uint8_t* response = B().memory().Translate(Load<uint32_t>(frame + 44), responseBytes);
    auto r = HeaderReply(fw::MPI_FUNCTION_SMP_PASSTHROUGH, context, fw::MPI_IOCSTATUS_SUCCESS);
    std::vector<uint8_t> answer;
    bool linkChanged = false;
    if (!request || !response) {
        r.wIOCStatus = fw::MPI_IOCSTATUS_INVALID_FIELD;
    } else if (!m_chassis || m_chassis->expander().sasAddress() != address) {
        r.wIOCStatus = fw::MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE;
    } else {
        answer = m_chassis->expander().Smp({request, requestBytes}, linkChanged);
        if (answer.empty()) {
            r.wIOCStatus = fw::MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE;
        } else {
            std::memcpy(response, answer.data(), std::min<size_t>(answer.size(), responseBytes));
        }
    }
    AddressReply(&r, sizeof r);
    if (linkChanged) m_chassis->NotifyLinkChange();
}

// --- the board ------------------------------------------------------------------

SasController* FindSasController(Board& board) {
    return dynamic_cast<SasController*>(
        board.pci().Find(SasController::kBus, SasController::kSlot, SasController::kFunction));
}

SasController& AttachSasController(Board& board) {
    if (SasController* existing = FindSasController(board)) return *existing;
    auto f = std::make_unique<SasController>(8);
    SasController* p = f.get();
    board.pci().AddFunction(SasController::kBus, SasController::kSlot, SasController::kFunction, std::move(f));
    // Enumeration leaves the register window where the firmware expects it.
    p->ConfigWrite(0x14, SasController::kRegisterBase);
    return *p;
}

}  // namespace sim
