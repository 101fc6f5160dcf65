#include "sim/sas_controller.h"

#include <cstring>

#include "hw/mpi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/mpi_replies.h"

namespace sim {

namespace {

constexpr uint32_t kIoBarSize = 0x100;
constexpr uint32_t kMemoryBarSize = 0x1000;
constexpr uint8_t kMsiCapability = 0x50;
constexpr uint8_t kMsixCapability = 0x98;

}  // namespace

SasController::SasController(uint8_t revision, MessageInterrupt interrupt)
    : PciFunction(kVendor, kDevice, revision, 0x010700, 0), m_interrupt(interrupt) {
    m_config[0] = static_cast<uint32_t>(kDevice) << 16 | kVendor;
    m_config[1] = 0x00100000;  // status: capability list
    m_config[2] = 0x010700u << 8 | revision;
    m_config[4] = 1;           // I/O BAR
    m_config[0x34 / 4] = kMsiCapability;
    m_config[kMsiCapability / 4] = 0x05u | static_cast<uint32_t>(kMsixCapability) << 8;
    m_config[kMsixCapability / 4] = 0x11u;
    for (uint32_t i = 0; i < kMaxCompletions; ++i) {
        m_completions[i].nextFree = i + 1 < kMaxCompletions ? i + 2 : 0;
        m_completions[i].done.SetAction([this, i] { FinishScsi(i); });
    }
    InitPages();
}

SasController::~SasController() {
    // The partner sees this IOC's ports go; nothing of this one is touched.
    if (SasController* p = m_partner) {
        m_partner = nullptr;
        p->m_partner = nullptr;
        p->EndPartnerExchanges(nullptr);
        p->RefreshAndReport();
    }
    if (m_chassis) {
        m_chassis->RemoveListener(m_listener);
        if (board) m_chassis->DetachClock(&B().clock());
    }
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
                PrepareDebugArea();
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
        PrepareDebugArea();
    });
}

// The running IOC firmware lays out its debug area once its memory is
// fresh; a soft reset keeps it and the trace.
void SasController::PrepareDebugArea() {
    if (IocMemory(kDebugArea) != 0) {
        m_memory[kDebugArea + 21 * 4] = m_fwVersion;
        return;
    }
    const uint32_t words[35] = {kTraceRingBase, kTraceRingBytes, kTraceTail, 0,
                                0x00000001, 0x21FF8000, 0x00000000, 0x0000A5A5, 0x00001068, 0x21FFE000, 0x00000004,
                                0x00000080, 0x21FF0400, 0x00000000, 0x00000061, 0x0000FFFF, 0x00000010,
                                0x21FFDFF0, 0x000142C8, 0x00002001, 0x00003002, m_fwVersion};
    for (uint32_t i = 0; i < 35; ++i) m_memory[kDebugArea + 4 * i] = words[i];
    m_memory[kTraceTail] = 0;
}

void SasController::Trace(uint32_t first, uint32_t second) {
    const uint32_t tail = IocMemory(kTraceTail) % kTraceRingBytes & ~7u;
    m_memory[kTraceRingBase + tail] = first;
    m_memory[kTraceRingBase + tail + 4] = second;
    m_memory[kTraceTail] = (tail + 8) % kTraceRingBytes;
    ++m_traceEntries;
}

void SasController::ResetIoc(bool hard) {
    m_receiving = false;
    m_request.clear();
    m_replyWords.clear();
    m_replyFree.clear();
    m_replyPost.clear();
    m_pendingReplies.clear();
    m_stalled.clear();
    // The partner's commands held here end, and answers to what this IOC
    // sent it are no longer awaited.
    m_sentToPartner.clear();
    if (m_partner) m_partner->EndPartnerExchanges(this);
    EndPartnerExchanges(nullptr);
    m_exchanges.fill(Exchange{});
    m_freeCmdBuffers.clear();
    m_eventsOn = false;
    m_portEnabled.fill(false);
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

void SasController::EnterFault(uint16_t code) {
    m_state = State::Fault;
    m_faultCode = code;
    m_memory[kDebugArea + 24 * 4] = code;
    Trace(0xFA000000u | code, m_requestsReceived);
    m_receiving = false;
    m_replyWords.clear();
    m_hostIntStatus |= fw::MPI_HIS_DOORBELL;
    UpdateInterrupt();
}

// The IOC signals by message: its bit in the processor's inbound message
// status stays set, and the message source raised, for as long as the IOC
// has an unmasked cause pending.
void SasController::UpdateInterrupt() {
    uint32_t pending = m_hostIntStatus | (m_replyPost.empty() ? 0 : fw::MPI_HIS_REPLY);
    m_interrupt.Set((pending & ~m_hostIntMask & (fw::MPI_HIS_DOORBELL | fw::MPI_HIS_REPLY)) != 0);
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

}  // namespace sim
