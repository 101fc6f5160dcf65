// The doorbell handshake messages of the drive-side controller model: the
// requests the driver sends a dword at a time before the queues run.
#include <algorithm>
#include <cstring>
#include <vector>

#include "hw/mpi.h"
#include "sim/board.h"
#include "sim/mpi_replies.h"
#include "sim/sas_controller.h"

namespace sim {

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

// Handlers by function code; a function with none is answered INVALID FUNCTION.
const std::array<SasController::Handshake, 256> SasController::kHandshakes = [] {
    std::array<Handshake, 256> t{};
    t.fill(&SasController::HandshakeUnknown);
    t[fw::MPI_FUNCTION_IOC_FACTS] = &SasController::HandshakeFacts;
    t[fw::MPI_FUNCTION_IOC_INIT] = &SasController::HandshakeInit;
    t[fw::MPI_FUNCTION_PORT_FACTS] = &SasController::HandshakePortFacts;
    t[fw::MPI_FUNCTION_PORT_ENABLE] = &SasController::HandshakePortEnable;
    t[fw::MPI_FUNCTION_EVENT_NOTIFICATION] = &SasController::HandshakeEvents;
    t[fw::MPI_FUNCTION_CONFIG] = &SasController::HandshakeConfig;
    t[fw::MPI_FUNCTION_FW_DOWNLOAD] = &SasController::HandshakeFirmware;
    t[fw::MPI_FUNCTION_FW_UPLOAD] = &SasController::HandshakeFirmware;
    t[fw::MPI_FUNCTION_SCSI_TASK_MGMT] = &SasController::HandshakeTaskManagement;
    return t;
}();

void SasController::HandshakeMessage() {
    // The message as a frame: what the driver did not send reads as zero.
    std::array<uint8_t, 256 * 4> request{};
    std::memcpy(request.data(), m_request.data(), std::min<size_t>(m_request.size() * 4, request.size()));
    (this->*kHandshakes[request[3]])(request.data(), Load<uint32_t>(&request[8]));
}

void SasController::HandshakeFacts(const uint8_t*, uint32_t context) {
    uint8_t r[sizeof(fw::MPI_IOC_FACTS_REPLY)];
    FactsReply(r);
    reinterpret_cast<fw::MPI_REPLY_HEADER*>(r)->dMsgContext = context;
    StartReply(r, sizeof r);
}

void SasController::HandshakeInit(const uint8_t* request, uint32_t context) {
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

void SasController::HandshakePortFacts(const uint8_t* request, uint32_t context) {
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

void SasController::HandshakePortEnable(const uint8_t* request, uint32_t context) {
    if (faults.portEnableSilent) return;
    uint8_t port = request[6];
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
}

void SasController::HandshakeEvents(const uint8_t* request, uint32_t context) {
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

void SasController::HandshakeConfig(const uint8_t* request, uint32_t) {
    uint8_t r[sizeof(fw::MPI_CONFIG_REPLY)];
    Config(request, r);
    StartReply(r, sizeof r);
}

// FW DOWNLOAD keeps the image as the IOC's flash; FW UPLOAD gives back the
// image last loaded through the diagnostic window.
void SasController::HandshakeFirmware(const uint8_t* request, uint32_t context) {
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

void SasController::HandshakeTaskManagement(const uint8_t*, uint32_t context) {
    auto r = HeaderReply(fw::MPI_FUNCTION_SCSI_TASK_MGMT, context, 0);
    r.bTaskMgmtResponse = 0;
    StartReply(&r, sizeof r);
}

void SasController::HandshakeUnknown(const uint8_t* request, uint32_t context) {
    auto r = HeaderReply(request[3], context, fw::MPI_IOCSTATUS_INVALID_FUNCTION);
    StartReply(&r, sizeof r);
}

}  // namespace sim
