// The drive-side SAS controller: an MPI IOC on the PCI Express link.
//
// Modelled at the interface its driver uses: PCI configuration space, the
// system registers (doorbell handshake, diagnostic write window, request and
// reply FIFOs), the firmware image it boots after a diagnostic load, its
// configuration pages, events and its message-signalled interrupt.  One
// concern per file: sas_controller.cpp the chip and its registers,
// sas_controller_handshake.cpp the doorbell messages, sas_controller_pages.cpp
// the configuration pages, sas_controller_topology.cpp what it finds behind
// its port, sas_controller_io.cpp the request and reply FIFOs and the I/O.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "hw/mpi.h"
#include "sim/clock.h"
#include "sim/interrupt_controller.h"
#include "sim/pci.h"
#include "sim/ring.h"

namespace sim {

class Chassis;
class Drive;
class EnclosureProcessor;

class SasController : public PciFunction {
public:
    static constexpr uint16_t kVendor = fw::MPI_DRIVE_IOC_VENDOR_ID;
    static constexpr uint16_t kDevice = fw::MPI_DRIVE_IOC_DEVICE_ID;
    static constexpr uint8_t kBus = fw::MPI_DRIVE_IOC_PCI_BUS;
    static constexpr uint8_t kSlot = fw::MPI_DRIVE_IOC_PCI_DEVICE;
    static constexpr uint8_t kFunction = fw::MPI_DRIVE_IOC_PCI_FUNCTION;
    static constexpr uint32_t kRegisterBase = fw::MPI_DRIVE_IOC_REGISTER_BASE;
    static constexpr uint32_t kRequestFrameBytes = 128;
    static constexpr uint32_t kReplyFrameBytes = 64;

    enum class State : uint8_t { Reset = 0, Ready = 1, Operational = 2, Fault = 4 };

    // Faults and odd answers a test can ask for.
    struct Faults {
        bool neverReady = false;       // a loaded image never takes the IOC out of RESET
        bool diagLocked = false;       // the write-sequence key is never accepted
        bool portEnableSilent = false; // PORT ENABLE is never answered
        uint16_t configStatus = 0;     // IOC status of every CONFIG request (0: normal)
        int replyMsgLength = -1;       // MsgLength put in handshake replies (-1: true length)
    };
    // What IOC FACTS and PORT FACTS report.
    struct Facts {
        uint16_t requestFrameSize = 0x20;  // dwords
        uint16_t globalCredits = 768;
        uint16_t replyQueueDepth = 128;
        uint8_t numberOfPorts = 1;
        uint8_t flags = 0;                 // bit 0: the host keeps the image (upload)
        uint32_t hostPageBufferBytes = 0;  // 0: the IOC wants no host page buffer
        uint16_t maxPostedCmdBuffers = 128;
    };

    SasController(uint8_t revision, MessageInterrupt interrupt);
    ~SasController() override;

    // Connects the controller's drive-side port to an enclosure (null:
    // nothing attached).  Topology pages follow the enclosure from then on.
    void AttachChassis(Chassis* chassis);
    Chassis* chassis() const { return m_chassis; }
    static constexpr uint16_t kExpanderHandle = 0x0009;
    // Expansion enclosures' expanders: this plus their index, above every
    // handle a drive is given.
    static constexpr uint16_t kExpansionHandleBase = 0x0200;
    // Phys 4-7 are the drive port (0-3 carry the link to the partner).
    static constexpr uint8_t kDrivePortPhy = 4;
    // Target id the IOC gave a SAS address (0xFF: none).
    uint8_t TargetOf(uint64_t sasAddress) const;
    // Target id of enclosure n's processor.
    static uint8_t ProcessorTarget(unsigned enclosure) { return static_cast<uint8_t>(kProcessorTargetTop - enclosure); }
    uint32_t scsiRequests() const { return m_scsiRequests; }
    // Requests a silent drive holds, and ABORT TASKs that found their task.
    size_t stalledRequests() const { return m_stalled.size(); }
    uint32_t tasksAborted() const { return m_tasksAborted; }
    uint32_t eventAcks() const { return m_eventAcks; }
    // Sends an address reply of the given bytes, as if a request had ended.
    void InjectAddressReply(const std::vector<uint8_t>& reply) { AddressReply(reply.data(), static_cast<uint32_t>(reply.size())); }
    // Puts a raw word on the reply post FIFO, as a misbehaving IOC might.
    void PostRawReply(uint32_t word) {
        m_replyPost.push_back(word);
        UpdateInterrupt();
    }

    uint32_t ConfigRead(uint16_t offset) override;
    void ConfigWrite(uint16_t offset, uint32_t value) override;
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

    Faults faults;
    Facts facts;
    void SetRevision(uint8_t revision);

    // --- inspection and stimuli for tests ---------------------------------
    State state() const { return m_state; }
    void EnterFault(uint16_t code);
    void PrepareDebugArea();
    void Trace(uint32_t first, uint32_t second);
    uint32_t loadedFirmwareVersion() const { return m_fwVersion; }
    uint32_t diagnosticLoads() const { return m_diagnosticLoads; }
    uint32_t unlockAttempts() const { return m_unlockAttempts; }
    bool portEnabled(uint8_t port) const { return port < 8 && m_portEnabled[port]; }
    bool eventsOn() const { return m_eventsOn; }
    size_t freeReplyFrames() const { return m_replyFree.size(); }
    size_t postedReplies() const { return m_replyPost.size(); }
    uint32_t requestsReceived() const { return m_requestsReceived; }
    uint32_t cmdBuffersPosted() const { return m_cmdBuffersPosted; }
    uint32_t cmdBuffersReposted() const { return m_cmdBuffersReposted; }
    uint32_t hostPageBufferAddress() const { return m_hostPageBuffer; }
    const std::vector<uint8_t>& flashImage() const { return m_flashImage; }
    uint32_t IocMemory(uint32_t address) const;
    void SetIocMemory(uint32_t address, uint32_t value) { m_memory[address] = value; }
    // The IOC firmware's debug area (35 dwords) and the trace ring it
    // appends to: two dwords for every request taken (function and count,
    // message context) and for a fault (0xFA, fault code); the tail dword
    // holds the byte offset of the next entry.
    static constexpr uint32_t kDebugArea = 0x21FFFF00;
    static constexpr uint32_t kTraceRingBase = 0x21FF0000;
    static constexpr uint32_t kTraceRingBytes = 0x100;
    static constexpr uint32_t kTraceTail = 0x21FFFFF0;
    uint32_t traceEntries() const { return m_traceEntries; }
    uint32_t targetResets() const { return m_targetResets; }
    // Configuration page reads (of any address) of a page type and number.
    uint32_t pageReads(uint8_t type, uint8_t number) const {
        auto it = m_pageReads.find({type, number});
        return it == m_pageReads.end() ? 0 : it->second;
    }
    // A configuration page as the IOC holds it (header included); empty when
    // the IOC has no such page.
    std::vector<uint8_t> Page(uint8_t type, uint8_t number, uint32_t address = 0) const;
    // Raises an event through the reply FIFO once events are on.
    void RaiseEvent(uint32_t event, const std::vector<uint32_t>& data, bool ackRequired);

    // --- faults of the drive side (sas_controller_events.cpp) -------------
    // The drive in the slot resets itself: the requests it held end as
    // terminated and the IOC reports the reset (device status change 8).
    void DriveInternalReset(unsigned slot);
    // A reset of the whole drive bus from outside (event 0x05).
    void ExternalBusReset();
    // Expander `index` resets: its links change and the IOC's discovery
    // fails with the status bits given (0x18: SMP time-out, route table full).
    void ExpanderReset(unsigned index, uint32_t status = 0x18);
    // The drive in the slot answers its next `commands` commands with TASK
    // SET FULL, and the IOC reports each (QUEUE FULL event).
    void TaskSetFull(unsigned slot, unsigned commands);
    // Reads the enclosure again and reports what changed as the IOC does.
    void RefreshAndReport();

    // --- the partner controller's IOC (sas_controller_partner.cpp) ---------
    // The two controllers' IOCs see each other through the controller
    // enclosure's expander: each shows the other's two ports as SSP targets
    // that are initiators too, and a SCSI IO to one of them lands in a
    // command buffer the other's firmware posted (target mode).
    static void ConnectPartners(SasController& a, SasController& b);
    // The partner leaves the fabric (its power is cut): its ports go, the
    // exchanges with it end.
    void DisconnectPartner();
    SasController* partner() const { return m_partner; }
    // The SAS address of this IOC's port 0 or 1 as the partner sees it.
    uint64_t PortSasAddress(unsigned port) const;
    // The expander phys the partner's two ports hang off.
    static constexpr uint8_t kPartnerPortPhy[2] = {8, 9};
    // Frames to the partner a test disturbs: the next n commands sent are
    // dropped (never answered), repeated, or arrive with a CDB byte flipped;
    // every command arrives `delayNs` late.
    struct LinkFaults {
        unsigned drop = 0, repeat = 0, corrupt = 0;
        uint64_t delayNs = 0;
    };
    LinkFaults linkFaults;
    // A hung partner: it takes commands and never answers them.
    bool partnerHung = false;
    uint32_t partnerCommandsSent() const { return m_partnerCommandsSent; }
    uint32_t partnerCommandsReceived() const { return m_partnerCommandsReceived; }
    uint32_t partnerTaskSetFull() const { return m_partnerTaskSetFull; }
    // The partner's answer to the newest command this IOC sent it: SCSI
    // status and, for CHECK CONDITION, sense key, ASC and ASCQ.
    struct PartnerAnswer {
        uint32_t count = 0;   // answers so far
        uint8_t status = 0, key = 0, asc = 0, ascq = 0;
    };
    const PartnerAnswer& lastPartnerAnswer() const { return m_lastPartnerAnswer; }
    // Called with the CDB of each command from the partner as it is handed
    // to this IOC's firmware: tests follow the conversation through it.
    std::function<void(const uint8_t* cdb)> partnerCommandSeen;
    size_t freeCommandBuffers() const { return m_freeCmdBuffers.size(); }

private:
    static constexpr uint64_t kResetNs = 10'000;          // reset-adapter bit self-clears
    static constexpr uint64_t kBootNs = 20'000'000;       // IOC firmware start
    static constexpr uint64_t kLinkUpNs = 100'000'000;    // a port answers PORT ENABLE

    struct PageKey {
        uint8_t type;    // page type, or the extended page type
        uint8_t number;
        uint32_t address;
        bool operator<(const PageKey& o) const {
            return type != o.type ? type < o.type : number != o.number ? number < o.number : address < o.address;
        }
    };
    struct ConfigPage {
        bool extended;
        std::vector<uint8_t> bytes;
    };

    void MapRegisters(uint32_t base);
    void WriteDoorbell(uint32_t value);
    void WriteSequence(uint8_t key);
    void WriteHostDiagnostic(uint32_t value);
    void WriteHostIntStatus();
    void DiagWrite(uint32_t value);
    void ResetIoc(bool hard);
    void Boot();
    bool BootLoadedImage();
    void HandshakeMessage();
    void StartReply(const void* reply, uint32_t bytes);
    // Doorbell messages, by function: the request padded to a frame.
    using Handshake = void (SasController::*)(const uint8_t* request, uint32_t context);
    static const std::array<Handshake, 256> kHandshakes;
    void HandshakeFacts(const uint8_t* request, uint32_t context);
    void HandshakeInit(const uint8_t* request, uint32_t context);
    void HandshakePortFacts(const uint8_t* request, uint32_t context);
    void HandshakePortEnable(const uint8_t* request, uint32_t context);
    void HandshakeEvents(const uint8_t* request, uint32_t context);
    void HandshakeConfig(const uint8_t* request, uint32_t context);
    void HandshakeFirmware(const uint8_t* request, uint32_t context);
    void HandshakeTaskManagement(const uint8_t* request, uint32_t context);
    void HandshakeUnknown(const uint8_t* request, uint32_t context);
    // Requests through the request FIFO, by function.
    void PostRequest(uint32_t frameAddress);
    using Request = void (SasController::*)(const uint8_t* frame, uint32_t context);
    static const std::array<Request, 256> kRequests;
    void RequestConfig(const uint8_t* frame, uint32_t context);
    void RequestPortEnable(const uint8_t* frame, uint32_t context);
    void RequestCmdBufferBase(const uint8_t* frame, uint32_t context);
    void RequestCmdBufferList(const uint8_t* frame, uint32_t context);
    void RequestEventAck(const uint8_t* frame, uint32_t context);
    void RequestUnknown(const uint8_t* frame, uint32_t context);
    void AddressReply(const void* reply, uint32_t bytes);
    void DeliverReplies();
    void UpdateInterrupt();
    void InitPages();
    // Runs a CONFIG request; fills the 24-byte reply.
    void Config(const uint8_t* request, uint8_t* reply);
    void FactsReply(uint8_t* reply);
    Board& B() { return *board; }
    void RefreshTopology();
    void AddExtendedPage(uint8_t type, uint8_t number, uint32_t address, const void* body, uint32_t bytes);
    // Expander page 0 of one expander, page 1 of each of its phys, and
    // page 0 of every drive on them.
    void DescribeExpander(unsigned index);
    // The handle of the chassis's expander `index`.
    static uint16_t ExpanderHandle(unsigned index);
    void SmpPassthrough(const uint8_t* frame, uint32_t context);
    void ScsiIo(const uint8_t* frame, uint32_t context);
    void SataPassthrough(const uint8_t* frame, uint32_t context);
    // Task management sent through the request queue: an ABORT TASK ends
    // the named request with TASK TERMINATED before its own reply.
    void TaskManagement(const uint8_t* frame, uint32_t context);
    // The drive behind a target id, null when none answers there.
    Drive* DriveOfTarget(uint8_t target);
    // The enclosure processor behind a target id, null when none.
    EnclosureProcessor* ProcessorOfTarget(uint8_t target);
    // The enclosure processors on the expanders' virtual phys: described
    // after every other device, so drives and the partner keep the target
    // ids they had before the processors were modelled.
    void DescribeProcessors();
    struct AttachedDevice {
        uint16_t expanderHandle = 0;
        uint8_t numPhys = 0;
        uint8_t phy = 0;
        uint8_t changeCount = 0;
        uint32_t phyInfo = 0;
        uint16_t handle = 0;
        uint8_t target = 0;
        uint64_t sasAddress = 0;
        uint32_t info = 0;
    };
    void DescribeEndDevice(const AttachedDevice& device);
    // What the pages say of the topology: devices by SAS address, phys by
    // expander handle and phy.
    struct SeenDevice {
        uint16_t handle = 0, parent = 0;
        uint8_t phy = 0, target = 0;
        uint32_t info = 0;
    };
    struct SeenPhy {
        uint8_t rate = 0, changeCount = 0;
        uint64_t attached = 0;
    };
    struct Topology {
        std::map<uint64_t, SeenDevice> devices;
        std::map<std::pair<uint16_t, uint8_t>, SeenPhy> phys;
    };
    Topology Snapshot() const;
    void RaiseDeviceStatus(uint64_t address, const SeenDevice& device, uint8_t reason);
    void RaiseDiscovery();
    void RaiseQueueFull(uint8_t target, uint16_t depth);
    std::map<uint8_t, unsigned> m_taskSetFull;   // answers still to give, by target
    // Whether the target refuses the next command with TASK SET FULL (an
    // injected refusal is used up); what it holds, answers still waiting out
    // their service time.
    bool RefusesAsFull(uint8_t target, uint32_t queueDepth);
    unsigned HeldBy(uint8_t target) const;
    // Host memory named by an SGL (simple elements and chains), in order,
    // into m_pieces; how many (0 as well when an element is not memory).
    unsigned GatherSgl(const uint32_t* sgl, unsigned dwordsLeft);
    // What the reply of a SCSI IO carries.
    static constexpr size_t kSenseBytes = 32;
    struct ScsiEnd {
        uint32_t context;
        uint32_t dataLength;
        uint32_t transferred;
        uint32_t senseAddress;
        uint8_t target;
        uint8_t senseBufferLength;
        uint8_t status;
        uint8_t senseLength;
        std::array<uint8_t, kSenseBytes> sense;
    };
    void FinishScsi(uint32_t index);
    void ReplyScsi(const ScsiEnd& end, uint16_t iocStatus);
    void ContextReply(uint32_t word);
    uint16_t AssignHandle(uint64_t sasAddress);
    // Target mode.  An exchange is a command from the partner that is open
    // here, by IoIndex; the initiator side keeps its request's context and
    // where its data and sense go.
    struct Exchange {
        bool open = false;
        SasController* initiator = nullptr;
        uint32_t context = 0;        // the initiator's request
        uint8_t target = 0;          // the target id the initiator used
        uint16_t tag = 0;
        uint32_t dataLength = 0;
        uint32_t transferred = 0;
        uint32_t senseAddress = 0;
        uint8_t senseBufferLength = 0;
        bool toTarget = false;       // data flows initiator -> target
        std::vector<std::pair<uint32_t, uint32_t>> pieces;  // initiator bus address, length
    };
    static constexpr uint16_t kMaxIoIndex = 256;
    bool IsPartnerTarget(uint8_t target) const;
    void SendToPartner(const uint8_t* frame, uint32_t context, uint8_t target);
    void ArriveFromPartner(SasController& from, const std::vector<uint8_t>& frame, uint32_t context, uint8_t target);
    void TargetAssist(const uint8_t* frame, uint32_t context);
    void TargetStatusSend(const uint8_t* frame, uint32_t context);
    void TargetModeAbort(const uint8_t* frame, uint32_t context);
    // Ends the initiator's request of an exchange with a SCSI status (and
    // sense), or with an IOC status when the transport failed.
    void FinishExchange(Exchange& x, uint8_t status, const uint8_t* sense, uint32_t senseLength, uint16_t iocStatus);
    void TargetReply(uint16_t ioIndex);
    void DeliverDelayed();
    void DescribePartnerPorts();
    // Ends the exchanges this IOC holds for `initiator` (or for every
    // initiator when null) and the requests it sent to the partner.
    void EndPartnerExchanges(SasController* initiator);
    ConfigPage* NextHandlePage(uint8_t type, uint32_t address);

    MessageInterrupt m_interrupt;
    Chassis* m_chassis = nullptr;
    int m_listener = 0;
    struct Device {
        uint16_t handle;
        uint8_t target;
    };
    std::map<uint64_t, Device> m_devices;  // by SAS address
    // Where each target id sits now (slot 0: nowhere), so a command finds
    // its drive without a search.
    struct Place {
        unsigned slot = 0;
        size_t phy = 0;
        int processor = -1;   // an enclosure processor's expander
    };
    std::array<Place, 256> m_placeOfTarget{};
    uint16_t m_nextHandle = kExpanderHandle + 1;
    // The enclosure processors' handles and target ids, apart from the
    // drives' and the partner's, which keep the numbers they always had.
    static constexpr uint16_t kProcessorHandleBase = 0x0F00;
    static constexpr uint8_t kProcessorTargetTop = 0x7F;
    uint8_t m_nextTarget = 0;
    uint32_t m_scsiRequests = 0;
    struct Stalled {
        uint8_t target;
        uint8_t function;
    };
    std::map<uint32_t, Stalled> m_stalled;  // by MsgContext
    uint32_t m_tasksAborted = 0;
    uint32_t m_eventAcks = 0;

    std::array<uint32_t, 64> m_config{};
    uint32_t m_mappedAt = 0;

    State m_state = State::Ready;
    uint16_t m_faultCode = 0;
    uint32_t m_traceEntries = 0;
    uint32_t m_hostIntStatus = 0;
    uint32_t m_hostIntMask = 0xFFFFFFFF;
    uint32_t m_hostDiagnostic = 0;
    uint32_t m_testBase = 0;
    uint32_t m_diagAddress = 0;
    uint8_t m_keyPosition = 0;
    uint32_t m_unlockAttempts = 0;

    // Doorbell handshake.
    bool m_receiving = false;
    uint32_t m_expectDwords = 0;
    std::vector<uint32_t> m_request;
    std::deque<uint16_t> m_replyWords;

    // IOC memory reached through the diagnostic window.
    std::map<uint32_t, uint32_t> m_memory;
    std::map<std::pair<uint8_t, uint8_t>, uint32_t> m_pageReads;
    uint32_t m_targetResets = 0;
    std::vector<uint32_t> m_loadStarts;  // where each load run began
    uint32_t m_diagnosticLoads = 0;
    uint32_t m_fwVersion = 0x01000000;   // what the IOC's own flash holds
    std::vector<uint8_t> m_flashImage;   // FW DOWNLOAD by message

    // Queues.
    struct ReplyFrame {
        std::array<uint8_t, kReplyFrameBytes> data;
        uint32_t bytes;
    };
    Ring<uint32_t> m_replyFree;
    Ring<uint32_t> m_replyPost;
    Ring<ReplyFrame> m_pendingReplies;  // waiting for a free frame
    uint32_t m_requestsReceived = 0;
    uint32_t m_hostPageBuffer = 0;
    bool m_eventsOn = false;
    uint32_t m_eventContext = 0;
    std::array<bool, 8> m_portEnabled{};
    uint32_t m_cmdBuffersPosted = 0;
    uint32_t m_cmdBuffersReposted = 0;

    std::map<PageKey, ConfigPage> m_pages;

    // SCSI IO answered by the drive, waiting out its service time; a slot
    // and its event are used again and again.
    static constexpr uint32_t kMaxCompletions = 1024;
    struct Completion {
        Clock::Event done;
        ScsiEnd end;
        uint32_t nextFree;   // index + 1 of the next free slot (0: none)
        bool holds = false;  // the drive holds the command (not a refusal)
    };
    std::array<Completion, kMaxCompletions> m_completions;
    uint32_t m_freeCompletion = 1;
    // Where a request's data is: the SGL's pieces, or a buffer for scattered data.
    static constexpr unsigned kMaxSglElements = 64;   // a looping chain ends here
    struct Piece {
        uint8_t* host;
        uint32_t length;
    };
    std::array<Piece, kMaxSglElements> m_pieces;
    std::vector<uint8_t> m_bounce;

    SasController* m_partner = nullptr;
    std::array<Exchange, kMaxIoIndex> m_exchanges;
    std::deque<uint16_t> m_freeCmdBuffers;     // IoIndexes posted and free
    std::array<uint32_t, kMaxIoIndex> m_cmdBufferAddress{};
    uint16_t m_cmdBufferLength = 0;
    uint16_t m_nextTag = 1;
    // Requests sent to the partner not yet answered, by context (so a port
    // that leaves ends them).
    std::map<uint32_t, uint8_t> m_sentToPartner;
    uint32_t m_partnerCommandsSent = 0;
    uint32_t m_partnerCommandsReceived = 0;
    uint32_t m_partnerTaskSetFull = 0;
    PartnerAnswer m_lastPartnerAnswer;
    // Command frames the link delays, in the order sent.
    struct Delayed {
        uint64_t due;
        SasController* partner;      // the partner it was sent to
        std::vector<uint8_t> frame;
        uint32_t context;
        uint8_t target;
    };
    std::deque<Delayed> m_delayed;
    Clock::Event m_delayedEvent{[this] { DeliverDelayed(); }};
};

}  // namespace sim
