#include "sim/sas_target_ioc.h"

#include <algorithm>
#include <cstring>

#include "hw/mpi.h"
#include "hw/mpi_sas_phy.h"
#include "sim/board.h"
#include "hw/scsi.h"
#include "sim/mpi_replies.h"

namespace sim {

namespace {

constexpr uint32_t kMemoryBarSize = 0x1000;
constexpr uint8_t kPageManufacturing = 5;   // holds the base SAS address
constexpr uint32_t kManufacturingBytes = 32;
constexpr uint32_t kManufacturingAddress = 4;
constexpr uint8_t kPhyDisabled = 0x04;
constexpr uint32_t kControllerPhyInfo = fw::MPI_SAS_DEVICE_INFO_SSP_TARGET | fw::MPI_SAS_DEVICE_INFO_END_DEVICE;
constexpr uint16_t kInitiatorHandleBase = 0x0010;
constexpr uint16_t kControllerHandle = 0x0001;
constexpr uint16_t kStatusAborted = 0x63;
constexpr uint16_t kStatusNoConnection = 0x65;
// The initiator index in a target reply word.
constexpr uint32_t kInitiatorShift = 14;
constexpr uint32_t kInitiatorMask = 0xFFF;

}  // namespace

SasTargetIoc::SasTargetIoc(uint8_t revision, InterruptLine line)
    : MpiIoc(kVendor, kDevice, revision, 0x010700), m_line(line) {
    m_config[0] = static_cast<uint32_t>(kDevice) << 16 | kVendor;
    m_config[2] = 0x010700u << 8 | revision;
    facts.requestFrameSize = kRequestFrameBytes / 4;
    facts.globalCredits = 290;
    facts.numberOfPorts = 2;
    facts.maxPostedCmdBuffers = kMaxIoIndex;
    facts.hostPageBufferBytes = 0x8000;
    AddPage(fw::MPI_CONFIG_PAGETYPE_MANUFACTURING, kPageManufacturing, kManufacturingBytes, 0);
    AddPage(fw::MPI_CONFIG_PAGETYPE_BIOS, 1, sizeof(fw::MPI_BIOS_PAGE_1), 0);
    AddPage(0, 0, sizeof(fw::MPI_SAS_IO_UNIT_PAGE_0), fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT);
    AddPage(0, 1, sizeof(fw::MPI_SAS_IO_UNIT_PAGE_1), fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT);
    m_pages[{fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, 0}].bytes[offsetof(fw::MPI_SAS_IO_UNIT_PAGE_1, bNumPhys)] = kPhys;
    RefreshPages();
}

// --- PCI configuration space --------------------------------------------------

uint32_t SasTargetIoc::ConfigRead(uint16_t offset) { return m_config[(offset & 0xFF) / 4]; }

// The registers sit in the host chips' outbound window at the BAR's offset.
void SasTargetIoc::ConfigWrite(uint16_t offset, uint32_t value) {
    const unsigned index = (offset & 0xFF) / 4;
    switch (index) {
    case 0:
    case 2:
        return;  // identity is read-only
    case 4:
        m_config[4] = value & ~(kMemoryBarSize - 1);
        MapRegisters(m_config[4] == ~(kMemoryBarSize - 1) ? 0 : kRegisterBase + m_config[4], kMemoryBarSize);
        return;
    default:
        m_config[index] = value;
    }
}

// --- requests -------------------------------------------------------------------

const std::array<SasTargetIoc::Request, 256> SasTargetIoc::kRequests = [] {
    std::array<Request, 256> t{};
    t.fill(&SasTargetIoc::RequestUnknown);
    t[fw::MPI_FUNCTION_CONFIG] = &SasTargetIoc::RequestConfig;
    t[fw::MPI_FUNCTION_IOC_FACTS] = &SasTargetIoc::RequestFacts;
    t[fw::MPI_FUNCTION_PORT_ENABLE] = &SasTargetIoc::RequestPortEnable;
    t[fw::MPI_FUNCTION_EVENT_ACK] = &SasTargetIoc::RequestEventAck;
    t[fw::MPI_FUNCTION_TARGET_CMD_BUF_BASE_POST] = &SasTargetIoc::RequestCmdBufferBase;
    t[fw::MPI_FUNCTION_TARGET_CMD_BUF_LIST_POST] = &SasTargetIoc::RequestCmdBufferList;
    t[fw::MPI_FUNCTION_TARGET_ASSIST] = &SasTargetIoc::TargetAssist;
    t[fw::MPI_FUNCTION_TARGET_STATUS_SEND] = &SasTargetIoc::TargetStatusSend;
    t[fw::MPI_FUNCTION_TARGET_MODE_ABORT] = &SasTargetIoc::TargetModeAbort;
    t[fw::MPI_FUNCTION_SAS_IO_UNIT_CONTROL] = &SasTargetIoc::IoUnitControl;
    return t;
}();

void SasTargetIoc::PostRequest(uint32_t frameAddress) {
    ++m_requestsReceived;
    uint8_t* frame = B().memory().Translate(frameAddress, kRequestFrameBytes);
    if (!frame || m_state != State::Operational) return;
    (this->*kRequests[frame[3]])(frame, Load<uint32_t>(frame + 8));
}

// A reset ends every command the IOC held: their initiators see them go
// unanswered.
void SasTargetIoc::ResetChip() {
    for (uint16_t n = 0; n < kMaxIoIndex; ++n) {
        if (m_exchanges[n].open) Finish(n, FcpResult::Outcome::Terminated);
    }
    m_freeCmdBuffers.clear();
    m_cmdBufferAddress.fill(0);
    m_phyErrors.fill({});
    m_heldAssists.clear();
}

// IOC FACTS through the request queue: the facts as an address reply.
void SasTargetIoc::RequestFacts(const uint8_t*, uint32_t context) {
    uint8_t r[sizeof(fw::MPI_IOC_FACTS_REPLY)];
    FactsReply(r);
    reinterpret_cast<fw::MPI_REPLY_HEADER*>(r)->dMsgContext = context;
    AddressReply(r, sizeof r);
}

// Each port's buffers take the next IoIndexes: port n's start at n times its count.
void SasTargetIoc::RequestCmdBufferBase(const uint8_t* frame, uint32_t context) {
    const auto p = Load<fw::MPI_TARGET_CMD_BUF_BASE_POST_REQUEST>(frame);
    uint16_t status = fw::MPI_IOCSTATUS_SUCCESS;
    const uint32_t first = uint32_t{p.bPortNumber} * p.wTotalCmdBuffers;
    if (p.bPortNumber >= facts.numberOfPorts || p.wCmdBufferLength < sizeof(fw::MPI_TARGET_SSP_CMD_BUFFER) ||
        first + p.wTotalCmdBuffers > kMaxIoIndex ||
        !B().memory().Translate(p.dBaseAddressLow, uint32_t{p.wTotalCmdBuffers} * p.wCmdBufferLength)) {
        status = fw::MPI_IOCSTATUS_INVALID_FIELD;
    } else {
        m_cmdBuffersPosted += p.wTotalCmdBuffers;
        m_cmdBufferLength = p.wCmdBufferLength;
        for (uint32_t i = 0; i < p.wTotalCmdBuffers; ++i) {
            const auto ioIndex = static_cast<uint16_t>(first + i);
            m_cmdBufferAddress[ioIndex] = static_cast<uint32_t>(p.dBaseAddressLow) + i * p.wCmdBufferLength;
            if (std::find(m_freeCmdBuffers.begin(), m_freeCmdBuffers.end(), ioIndex) == m_freeCmdBuffers.end()) {
                m_freeCmdBuffers.push_back(ioIndex);
            }
        }
    }
    auto r = HeaderReply(fw::MPI_FUNCTION_TARGET_CMD_BUF_BASE_POST, context, status);
    AddressReply(&r, sizeof r);
}

// A buffer comes back once: one already free is not posted twice.
void SasTargetIoc::RequestCmdBufferList(const uint8_t* frame, uint32_t context) {
    const auto p = Load<fw::MPI_TARGET_CMD_BUF_LIST_POST_REQUEST>(frame);
    const uint32_t count = std::min<uint32_t>(p.wCmdBufferCount, fw::MPI_TARGET_CMD_BUF_LIST_MAX);
    m_listPostCounts.push_back(p.wCmdBufferCount);
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t ioIndex = p.awIoIndex[i];
        if (ioIndex >= kMaxIoIndex || m_cmdBufferAddress[ioIndex] == 0 ||
            std::find(m_freeCmdBuffers.begin(), m_freeCmdBuffers.end(), ioIndex) != m_freeCmdBuffers.end()) {
            continue;
        }
        BufferReturned(ioIndex);
        m_freeCmdBuffers.push_back(ioIndex);
    }
    auto r = HeaderReply(fw::MPI_FUNCTION_TARGET_CMD_BUF_LIST_POST, context, fw::MPI_IOCSTATUS_SUCCESS);
    AddressReply(&r, sizeof r);
}

// --- phys, initiators and the pages that show them ------------------------------

uint8_t SasTargetIoc::PhyFlags(uint8_t phy) const {
    const auto& page = m_pages.at({fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, 0}).bytes;
    return phy < kPhys ? page[offsetof(fw::MPI_SAS_IO_UNIT_PAGE_1, asPhy) + phy * 12u + 2] : 0;
}

uint8_t SasTargetIoc::PhyRates(uint8_t phy) const {
    const auto& page = m_pages.at({fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, 0}).bytes;
    return phy < kPhys ? page[offsetof(fw::MPI_SAS_IO_UNIT_PAGE_1, asPhy) + phy * 12u + 3] : 0;
}

uint64_t SasTargetIoc::BaseSasAddress() const {
    const auto& page = m_pages.at({fw::MPI_CONFIG_PAGETYPE_MANUFACTURING, kPageManufacturing, 0}).bytes;
    return Load<uint64_t>(page.data() + kManufacturingAddress);
}

uint32_t SasTargetIoc::IocSettings() const {
    const auto& page = m_pages.at({fw::MPI_CONFIG_PAGETYPE_BIOS, 1, 0}).bytes;
    return Load<uint32_t>(page.data() + offsetof(fw::MPI_BIOS_PAGE_1, dIOCSettings));
}

bool SasTargetIoc::PortUp(uint8_t port) const {
    return port < 2 && m_state == State::Operational && m_portEnabled[port] && !m_linkDown[port];
}

bool SasTargetIoc::PortLinked(uint8_t port) const {
    if (port >= 2 || m_linkDown[port] || !m_portEnabled[port]) return false;
    // A port whose every phy is disabled has no link, whoever is cabled to it.
    bool anyPhyOn = false;
    for (uint8_t n = 0; n < kPhysPerPort; ++n) {
        anyPhyOn |= (PhyFlags(static_cast<uint8_t>(port * kPhysPerPort + n)) & kPhyDisabled) == 0;
    }
    if (!anyPhyOn) return false;
    return m_linkHeld[port] || std::any_of(m_initiators.begin(), m_initiators.end(),
                       [port](const Initiator& i) { return i.present && i.port == port; });
}

// --- frames and the requests that answer them -----------------------------------

void SasTargetIoc::Frame(int initiator, uint16_t tag, const FcpCommand& command, uint16_t managedTag, Done done) {
    FcpResult result;
    const bool present = initiator >= 0 && initiator < kMaxInitiators && m_initiators[initiator].present;
    if (!present || m_state != State::Operational || !PortLinked(m_initiators[initiator].port)) {
        ++m_framesRejected;
        result.outcome = FcpResult::Outcome::Rejected;
        done(tag, result);
        return;
    }
    const bool overlapped = std::any_of(m_exchanges.begin(), m_exchanges.end(), [&](const Exchange& x) {
        return x.open && !x.gone && x.initiator == initiator && x.tag == tag;
    });
    uint8_t* buffer = m_freeCmdBuffers.empty() ? nullptr
                                               : B().memory().Translate(m_cmdBufferAddress[m_freeCmdBuffers.front()],
                                                                        sizeof(fw::MPI_TARGET_SSP_CMD_BUFFER));
    if (overlapped || buffer == nullptr) {
        ++m_framesRejected;
        result.outcome = FcpResult::Outcome::Done;
        result.status = fw::SCSI_STATUS_TASK_SET_FULL;
        done(tag, result);
        return;
    }
    const uint16_t ioIndex = m_freeCmdBuffers.front();
    m_freeCmdBuffers.pop_front();
    const Initiator& i = m_initiators[initiator];
    fw::MPI_TARGET_SSP_CMD_BUFFER c{};
    c.bFrameType = command.taskManagement != 0 ? fw::MPI_TARGET_FRAME_TASK : fw::MPI_TARGET_FRAME_COMMAND;
    c.wInitiatorTag = tag;
    c.wDevHandle = i.handle;
    c.wReserved6 = i.port;   // the connection the frame came in on
    c.abLun[0] = static_cast<uint8_t>(command.lun >> 8);
    c.abLun[1] = static_cast<uint8_t>(command.lun);
    c.bTaskAttribute = command.taskAttribute;
    c.bTaskManagementFunction = command.taskManagement;
    std::copy_n(command.cdb.begin(), std::min<size_t>(command.cdb.size(), sizeof c.abCdb), c.abCdb);
    c.wManagedTaskTag = managedTag;
    std::memcpy(buffer, &c, sizeof c);
    Exchange& x = m_exchanges[ioIndex];
    x = Exchange{};
    x.open = true;
    x.initiator = initiator;
    x.tag = tag;
    x.command = command;
    x.done = std::move(done);
    TargetContextReply(fw::MPI_REPLY_TYPE_TARGET | static_cast<uint32_t>(initiator) << kInitiatorShift | ioIndex);
}

void SasTargetIoc::Finish(uint16_t ioIndex, FcpResult::Outcome outcome) {
    Exchange& x = m_exchanges[ioIndex];
    if (!x.open || x.gone) {
        x.open = false;
        return;
    }
    x.open = false;
    x.result.outcome = outcome;
    x.result.completedAtNs = B().clock().Now();
    const uint32_t want = x.command.dataInLength;
    const auto got = static_cast<uint32_t>(x.result.dataIn.size());
    const auto have = static_cast<uint32_t>(x.command.dataOut.size());
    if (x.dataInOffered > want || x.dataOutAsked > have) {
        x.result.residualOver = true;
        x.result.residual = x.dataInOffered > want ? x.dataInOffered - want : x.dataOutAsked - have;
    } else {
        x.result.residual = want > got ? want - got : 0;
        x.result.residualUnder = want > got;
    }
    Done done = std::move(x.done);
    x.done = nullptr;
    if (done) done(x.tag, x.result);
    // The data went with the answer: an exchange slot keeps none of it.
    x.result = FcpResult{};
    x.command = FcpCommand{};
}

void SasTargetIoc::BufferReturned(uint16_t ioIndex) {
    Exchange& x = m_exchanges[ioIndex];
    if (!x.open) return;
    if (x.gone) {
        x.open = false;
        return;
    }
    Finish(ioIndex, FcpResult::Outcome::Terminated);
}

void SasTargetIoc::DropConnections(int initiator) {
    for (uint16_t n = 0; n < kMaxIoIndex; ++n) {
        Exchange& x = m_exchanges[n];
        if (!x.open || x.gone || x.initiator != initiator) continue;
        Finish(n, FcpResult::Outcome::Terminated);
        x.open = true;   // the buffer stays the firmware's until it gives it back
        x.gone = true;
    }
}

size_t SasTargetIoc::openExchanges() const {
    return static_cast<size_t>(
        std::count_if(m_exchanges.begin(), m_exchanges.end(), [](const Exchange& x) { return x.open && !x.gone; }));
}

// The error reply of a target request: the IoIndex at bytes 20..21.
void SasTargetIoc::ErrorReply(uint8_t function, uint32_t context, uint16_t ioIndex, uint16_t status) {
    std::array<uint8_t, 24> r{};
    auto h = HeaderReply(function, context, status);
    h.bMsgLength = static_cast<uint8_t>(r.size() / 4);
    std::memcpy(r.data(), &h, sizeof h);
    r[20] = static_cast<uint8_t>(ioIndex);
    r[21] = static_cast<uint8_t>(ioIndex >> 8);
    AddressReply(r.data(), static_cast<uint32_t>(r.size()));
}

// The buffer's exchange, when a request may act on it; otherwise the
// request ends in an error reply (no connection when its initiator left).
SasTargetIoc::Exchange* SasTargetIoc::OpenExchange(uint8_t function, uint32_t context, uint32_t replyWord) {
    const auto ioIndex = static_cast<uint16_t>(replyWord & fw::MPI_TARGET_REPLY_IO_INDEX_MASK);
    Exchange* x = ioIndex < kMaxIoIndex && m_exchanges[ioIndex].open ? &m_exchanges[ioIndex] : nullptr;
    if (x && !x->gone) return x;
    if (x) x->open = false;
    ErrorReply(function, context, ioIndex, x ? kStatusNoConnection : fw::MPI_IOCSTATUS_INVALID_STATE);
    return nullptr;
}

void SasTargetIoc::ReleaseAssists() {
    holdAssists = false;
    m_heldAssists.Release([this](const uint8_t* frame, uint32_t context) { TargetAssist(frame, context); });
}

void SasTargetIoc::TargetAssist(const uint8_t* frame, uint32_t context) {
    if (holdAssists) {
        m_heldAssists.Keep(frame, context);
        return;
    }
    const auto req = Load<fw::MPI_TARGET_ASSIST_REQUEST>(frame);
    Exchange* x = OpenExchange(fw::MPI_FUNCTION_TARGET_ASSIST, context, req.dReplyWord);
    if (!x) return;
    const auto ioIndex = static_cast<uint16_t>(req.dReplyWord & fw::MPI_TARGET_REPLY_IO_INDEX_MASK);
    const AssistWindows w = MoveAssistData(req, x->command, x->result, B().memory());
    uint32_t& end = w.toInitiator ? x->dataInOffered : x->dataOutAsked;
    end = std::max(end, w.end);
    // The initiator ran out of write data before the window did: the
    // transfer ends short, and the driver decides what becomes of the
    // command.
    if (!w.toInitiator && w.end > x->command.dataOut.size()) {
        ErrorReply(fw::MPI_FUNCTION_TARGET_ASSIST, context, ioIndex, fw::MPI_IOCSTATUS_SCSI_DATA_UNDERRUN);
        return;
    }
    if (req.bTargetAssistFlags & fw::MPI_TARGET_ASSIST_FLAGS_AUTO_STATUS) {
        x->result.status = req.bStatusCode;
        Finish(ioIndex, FcpResult::Outcome::Done);
        if (req.bTargetAssistFlags & fw::MPI_TARGET_ASSIST_FLAGS_REPOST) m_freeCmdBuffers.push_back(ioIndex);
    }
    TargetContextReply(fw::MPI_REPLY_TYPE_TARGET | ioIndex);
}

void SasTargetIoc::TargetStatusSend(const uint8_t* frame, uint32_t context) {
    const auto req = Load<fw::MPI_TARGET_STATUS_SEND_REQUEST>(frame);
    Exchange* x = OpenExchange(fw::MPI_FUNCTION_TARGET_STATUS_SEND, context, req.dReplyWord);
    if (!x) return;
    const auto ioIndex = static_cast<uint16_t>(req.dReplyWord & fw::MPI_TARGET_REPLY_IO_INDEX_MASK);
    x->result.status = fw::SCSI_STATUS_GOOD;
    const uint32_t length = req.adSGL[0] & fw::MPI_SGE_LENGTH_MASK;
    const uint8_t* frameIu = !(req.bStatusFlags & fw::MPI_TARGET_STATUS_FLAGS_AUTO_GOOD) &&
                                     length >= fw::MPI_TARGET_RESPONSE_IU_OFFSET + fw::SSP_RESPONSE_DATA
                                 ? B().memory().Translate(req.adSGL[1], length)
                                 : nullptr;
    if (frameIu) {
        const uint8_t* iu = frameIu + fw::MPI_TARGET_RESPONSE_IU_OFFSET;
        const uint32_t room = length - fw::MPI_TARGET_RESPONSE_IU_OFFSET - fw::SSP_RESPONSE_DATA;
        x->result.status = iu[fw::SSP_RESPONSE_STATUS];
        if (iu[fw::SSP_RESPONSE_DATAPRES] == 2) {
            const uint32_t n = std::min(fw::dGetBe32(iu + fw::SSP_RESPONSE_SENSE_LENGTH), room);
            x->result.sense.assign(iu + fw::SSP_RESPONSE_DATA, iu + fw::SSP_RESPONSE_DATA + n);
        } else if (iu[fw::SSP_RESPONSE_DATAPRES] == 1 && room >= 4) {
            x->result.status = iu[fw::SSP_RESPONSE_DATA + 3];   // a task's response code
        }
    }
    Finish(ioIndex, FcpResult::Outcome::Done);
    if (req.bStatusFlags & fw::MPI_TARGET_STATUS_FLAGS_REPOST) m_freeCmdBuffers.push_back(ioIndex);
    TargetContextReply(fw::MPI_REPLY_TYPE_TARGET | ioIndex);
}

void SasTargetIoc::TargetModeAbort(const uint8_t* frame, uint32_t context) {
    const auto req = Load<fw::MPI_TARGET_MODE_ABORT_REQUEST>(frame);
    const auto ioIndex = static_cast<uint16_t>(req.dReplyWord & fw::MPI_TARGET_REPLY_IO_INDEX_MASK);
    // The I/O is named by its whole reply word: its buffer and its initiator.
    constexpr uint32_t kNames = fw::MPI_TARGET_REPLY_IO_INDEX_MASK | kInitiatorMask << kInitiatorShift;
    const auto initiator = static_cast<int>((req.dReplyWord >> kInitiatorShift) & kInitiatorMask);
    if (ioIndex < kMaxIoIndex && m_exchanges[ioIndex].open && m_exchanges[ioIndex].initiator == initiator) {
        Finish(ioIndex, FcpResult::Outcome::Terminated);
        m_exchanges[ioIndex].open = false;
    }
    // A transfer the IOC still held ends with an aborted reply of its own.
    std::erase_if(m_heldAssists.requests(), [this, ioIndex, &req](const HeldAssist& h) {
        const auto held = Load<fw::MPI_TARGET_ASSIST_REQUEST>(h.frame.data());
        if (((held.dReplyWord ^ req.dReplyWord) & kNames) != 0) return false;
        ErrorReply(fw::MPI_FUNCTION_TARGET_ASSIST, h.context, ioIndex, kStatusAborted);
        return true;
    });
    auto r = HeaderReply(fw::MPI_FUNCTION_TARGET_MODE_ABORT, context, fw::MPI_IOCSTATUS_SUCCESS);
    AddressReply(&r, sizeof r);
}

// REMOVE DEVICE (operation 13) forgets the device of a handle: its
// device page is gone until the initiator links again.
void SasTargetIoc::IoUnitControl(const uint8_t* frame, uint32_t context) {
    constexpr uint8_t kRemoveDevice = 13;
    if (frame[0] == kRemoveDevice) {
        const auto handle = static_cast<uint16_t>(frame[4] | frame[5] << 8);
        for (Initiator& i : m_initiators) {
            if (i.present && i.handle == handle) i.removed = true;
        }
        RefreshPages();
    }
    auto r = HeaderReply(fw::MPI_FUNCTION_SAS_IO_UNIT_CONTROL, context, fw::MPI_IOCSTATUS_SUCCESS);
    AddressReply(&r, sizeof r);
}


// A phy links at the fastest rate its max/min byte allows (high nibble the
// maximum: 9 is 3.0 Gb/s, 8 is 1.5 Gb/s), unless it is disabled.
uint8_t SasTargetIoc::NegotiatedRate(uint8_t phy) const {
    if (phy >= kPhys || !PortLinked(phy / kPhysPerPort) || (PhyFlags(phy) & kPhyDisabled)) return 0;
    const uint8_t max = PhyRates(phy) >> 4;
    return max == fw::MPI_SAS_LINK_RATE_1_5 ? fw::MPI_SAS_LINK_RATE_1_5 : fw::MPI_SAS_LINK_RATE_3_0;
}

// The pages that follow the links are built as they are read.
MpiIoc::ConfigPage* SasTargetIoc::FindPage(uint8_t type, uint8_t number, uint32_t address) {
    RefreshPages();
    return MpiIoc::FindPage(type, number, address);
}

void SasTargetIoc::RefreshPages() {
    fw::MPI_SAS_IO_UNIT_PAGE_0 io{};
    io.bNumPhys = reportedPhys;
    for (uint8_t phy = 0; phy < kPhys; ++phy) {
        fw::MPI_SAS_IO_UNIT0_PHY& p = io.asPhy[phy];
        const uint8_t port = phy / kPhysPerPort;
        p.bPort = port;
        p.bPhyFlags = PhyFlags(phy);
        p.bNegotiatedLinkRate = NegotiatedRate(phy);
        p.dControllerPhyDeviceInfo = kControllerPhyInfo;
        p.wControllerDevHandle = kControllerHandle;
        if (p.bNegotiatedLinkRate != 0) {
            for (const Initiator& i : m_initiators) {
                if (i.present && i.port == port) {
                    p.wAttachedDevHandle = i.handle;
                    break;
                }
            }
        }
    }
    // Past its own phys, a page claiming more carries entries that look
    // linked, each naming a port past the IOC's two.
    std::vector<uint8_t> page(sizeof io + (reportedPhys > kPhys ? reportedPhys - kPhys : 0) * sizeof io.asPhy[0]);
    std::memcpy(page.data(), &io, sizeof io);
    for (size_t at = sizeof io, phy = kPhys; at < page.size(); at += sizeof io.asPhy[0], ++phy) {
        fw::MPI_SAS_IO_UNIT0_PHY p{};
        p.bPort = static_cast<uint8_t>(phy / kPhysPerPort);
        p.bNegotiatedLinkRate = fw::MPI_SAS_LINK_RATE_3_0;
        std::memcpy(page.data() + at, &p, sizeof p);
    }
    AddExtendedPage(fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, 0, page.data(), static_cast<uint32_t>(page.size()));

    for (uint8_t phy = 0; phy < kPhys; ++phy) AddPhyCounterPage(phy, m_phyErrors[phy]);

    std::erase_if(m_pages, [](const auto& p) { return p.first.type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE; });
    for (const Initiator& i : m_initiators) {
        if (!i.present || i.removed) continue;
        fw::MPI_SAS_DEVICE_PAGE_0 d{};
        d.dSASAddressLow = static_cast<uint32_t>(i.address);
        d.dSASAddressHigh = static_cast<uint32_t>(i.address >> 32);
        d.wParentDevHandle = kControllerHandle;
        d.bPhyNum = static_cast<uint8_t>(i.port * kPhysPerPort);
        d.wDevHandle = i.handle;
        d.dDeviceInfo = fw::MPI_SAS_DEVICE_INFO_SSP_INITIATOR | fw::MPI_SAS_DEVICE_INFO_END_DEVICE;
        d.wFlags = 1;
        d.bPhysicalPort = i.port;
        AddExtendedPage(fw::MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE, 0, fw::MPI_SAS_PAGE_FORM_HANDLE | i.handle, &d,
                        sizeof d);
    }
}

int SasTargetIoc::Attach(uint8_t port, uint64_t sasAddress) {
    for (uint16_t n = 0; n < kMaxInitiators; ++n) {
        Initiator& i = m_initiators[n];
        if (i.present) continue;
        uint16_t handle = 0;
        do {
            handle = static_cast<uint16_t>(kInitiatorHandleBase + m_nextHandle);
            m_nextHandle = static_cast<uint16_t>((m_nextHandle + 1) % (0xFFFF - kInitiatorHandleBase));
        } while (std::any_of(m_initiators.begin(), m_initiators.end(),
                             [handle](const Initiator& o) { return o.present && o.handle == handle; }));
        i = {true, static_cast<uint8_t>(port & 1), sasAddress, handle};
        RefreshPages();
        RaiseLinkEvents(i.port);
        return n;
    }
    return -1;
}

void SasTargetIoc::Detach(int index) {
    if (index < 0 || index >= kMaxInitiators || !m_initiators[index].present) return;
    DropConnections(index);
    const uint8_t port = m_initiators[index].port;
    m_initiators[index].present = false;
    RefreshPages();
    RaiseLinkEvents(port);
}

void SasTargetIoc::Move(int index, uint8_t port) {
    if (index < 0 || index >= kMaxInitiators || !m_initiators[index].present) return;
    const uint8_t from = m_initiators[index].port;
    m_initiators[index].port = port & 1;
    m_initiators[index].removed = false;
    RefreshPages();
    RaiseLinkEvents(from);
    RaiseLinkEvents(port & 1);
}

void SasTargetIoc::SetLink(uint8_t port, bool up) {
    if (port >= 2) return;
    m_linkDown[port] = !up;
    if (up) {
        for (Initiator& i : m_initiators) {
            if (i.port == port) i.removed = false;
        }
    }
    RefreshPages();
    RaiseLinkEvents(port);
}

void SasTargetIoc::HoldLink(uint8_t port) {
    if (port >= 2 || m_linkHeld[port]) return;
    m_linkHeld[port] = true;
    RefreshPages();
    RaiseLinkEvents(port);
}

void SasTargetIoc::AddPhyErrors(uint8_t phy, const PhyErrors& errors) {
    if (phy < kPhys) m_phyErrors[phy] += errors;
}

// What the IOC tells its driver when a port's phys change: a discovery
// runs over them, each phy's link status, the devices found or lost.
void SasTargetIoc::RaiseLinkEvents(uint8_t port) {
    RaiseEvent(fw::MPI_EVENT_SAS_DISCOVERY, {1}, false);
    for (uint8_t n = 0; n < kPhysPerPort; ++n) {
        const uint8_t phy = static_cast<uint8_t>(port * kPhysPerPort + n);
        RaiseEvent(fw::MPI_EVENT_SAS_PHY_LINK_STATUS, {phy, NegotiatedRate(phy)}, false);
    }
    RaiseEvent(fw::MPI_EVENT_SAS_DEVICE_STATUS_CHANGE, {port}, false);
    RaiseEvent(fw::MPI_EVENT_SAS_DISCOVERY, {0}, false);
}

}  // namespace sim
