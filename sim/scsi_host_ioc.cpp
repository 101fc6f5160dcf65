#include "sim/scsi_host_ioc.h"

#include <algorithm>
#include <cstring>

#include "sim/board.h"
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
    m_freeCmdBuffers.clear();
    m_cmdBufferAddress.fill(0);
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
        if (std::find(m_freeCmdBuffers.begin(), m_freeCmdBuffers.end(), ioIndex) == m_freeCmdBuffers.end()) {
            m_freeCmdBuffers.push_back(ioIndex);
        }
    }
    if (!bad) return;   // a good post is answered only by the commands that come in its buffers
    auto r = HeaderReply(fw::MPI_FUNCTION_TARGET_CMD_BUFFER_POST, context, fw::MPI_IOCSTATUS_INVALID_FIELD);
    AddressReply(&r, sizeof r);
}

}  // namespace sim
