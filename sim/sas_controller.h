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
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "hw/mpi.h"
#include "sim/clock.h"
#include "sim/interrupt_controller.h"
#include "sim/mpi_ioc.h"

namespace sim {

class Chassis;
class MemoryWindows;
class Drive;
class EnclosureProcessor;

class SasController : public MpiIoc {
public:
    static constexpr uint16_t kVendor = fw::MPI_DRIVE_IOC_VENDOR_ID;
    static constexpr uint16_t kDevice = fw::MPI_DRIVE_IOC_DEVICE_ID;
    static constexpr uint8_t kBus = fw::MPI_DRIVE_IOC_PCI_BUS;
    static constexpr uint8_t kSlot = fw::MPI_DRIVE_IOC_PCI_DEVICE;
    static constexpr uint8_t kFunction = fw::MPI_DRIVE_IOC_PCI_FUNCTION;
    static constexpr uint32_t kRegisterBase = fw::MPI_DRIVE_IOC_REGISTER_BASE;

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
    // ABORT TASKs for requests that went to the partner's ports.
    uint32_t partnerTasksAborted() const { return m_partnerTasksAborted; }

    uint32_t ConfigRead(uint16_t offset) override;
    void ConfigWrite(uint16_t offset, uint32_t value) override;
    void SetRevision(uint8_t revision);

    // --- inspection and stimuli for tests ---------------------------------
    void EnterFault(uint16_t code) override;
    void PrepareDebugArea() override;
    void Trace(uint32_t first, uint32_t second);
    uint32_t cmdBuffersPosted() const { return m_cmdBuffersPosted; }
    uint32_t cmdBuffersReposted() const { return m_cmdBuffersReposted; }
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
    // This IOC's path to enclosure `index`'s processor fails (or comes
    // back), while the partner's may still reach it; the firmware sees it
    // at its next discovery.
    void SetProcessorPathLost(unsigned index, bool lost);

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
    // The link that carries drive-side path `port` (0: path 1, 1: path 2)
    // between the two boards, the one joining their ports of that number,
    // is cut or mended.  Each IOC then sees the partner's port there go
    // (or come back) with the events a device that leaves (or comes)
    // raises; a command crossing on it ends as one to a device that left,
    // and a command sent to that port after finds no device there.
    void SetPartnerPathCut(unsigned port, bool cut);
    bool partnerPathCut(unsigned port) const { return m_partnerPathCut[port & 1]; }
    // The SAS address of this IOC's port 0 or 1 as the partner sees it.
    uint64_t PortSasAddress(unsigned port) const;
    // The host port of the drives' multiplexers this IOC is cabled to: 0 on
    // the board in controller slot 1, 1 on the other.
    unsigned MuxHostPort() const;
    // Device page 0's access status of a SATA drive whose multiplexer is
    // the other controller's: the drive is there but not for this IOC.
    static constexpr uint8_t kAccessOtherHost = 0x04;
    // The expander phys the partner's two ports hang off.
    static constexpr uint8_t kPartnerPortPhy[2] = {8, 9};
    // Frames to the partner a test disturbs: the next n commands sent are
    // dropped (never answered), repeated, or arrive with a CDB byte flipped;
    // every command arrives `delayNs` late.
    struct LinkFaults {
        unsigned drop = 0, repeat = 0, corrupt = 0;
        uint64_t delayNs = 0;
        // Every drive command forwarded to the partner for this proxy
        // target (the LUN's first byte) is lost: the drive, as reached
        // through the partner, stops answering.  -1 none.
        int loseDriveCommandsFor = -1;
        // The next n TEST UNIT READYs are answered CHECK CONDITION NOT
        // READY (2/0x04/0x00), as by a partner that gave this one up.
        unsigned notReady = 0;
    };
    LinkFaults linkFaults;
    // A hung partner: it takes commands and never answers them.
    bool partnerHung = false;
    uint32_t partnerCommandsSent() const { return m_partnerCommandsSent; }
    // Of those, the ones sent to the partner's port 0 or 1.
    uint32_t partnerCommandsSentOn(unsigned port) const { return m_partnerCommandsSentOn[port & 1]; }
    uint32_t partnerCommandsReceived() const { return m_partnerCommandsReceived; }
    uint32_t partnerTaskSetFull() const { return m_partnerTaskSetFull; }
    // The partner's answer to the newest command this IOC sent it: SCSI
    // status and, for CHECK CONDITION, sense key, ASC and ASCQ.
    struct PartnerAnswer {
        uint32_t count = 0;   // answers so far
        uint8_t status = 0, key = 0, asc = 0, ascq = 0;
        // The first bytes of data the partner sent back (zeros past what it
        // sent): messages that answer with status bytes carry them here.
        std::array<uint8_t, 16> dataIn{};
    };
    const PartnerAnswer& lastPartnerAnswer() const { return m_lastPartnerAnswer; }
    // Called with the CDB of each command from the partner as it is handed
    // to this IOC's firmware: tests follow the conversation through it.
    std::function<void(const uint8_t* cdb)> partnerCommandSeen;
    // Called with the CDB of each command this IOC sent the partner and the
    // SCSI status the partner answered it with, as the answer comes back
    // (before this IOC's firmware sees it): tests pick a moment to cut.
    std::function<void(const uint8_t* cdb, uint8_t status)> partnerAnswerSeen;
    // Called with each command this IOC hands a drive, just before the drive
    // takes it: a test can have that very write torn by a power cut.
    std::function<void(Drive& drive, std::span<const uint8_t> cdb)> driveCommandSeen;
    // Called with each command this IOC hands an enclosure processor and its
    // data out: a test sees which pages each board sent.
    std::function<void(std::span<const uint8_t> cdb, std::span<const uint8_t> dataOut)> enclosureCommandSeen;
    // Errors a phy of this IOC took on its link: added to the counters of
    // its SAS PHY page 1, which a reset of the chip clears.
    void AddPhyErrors(uint8_t phy, const PhyErrors& errors);
    // This IOC's topology lists no enclosure processor (a controller whose
    // path to the enclosure services is gone); the other board's IOC still
    // sees them.  Set before the firmware runs its discovery.
    void HideEnclosureProcessors() {
        m_processorsHidden = true;
        RefreshTopology();
    }
    size_t freeCommandBuffers() const { return m_freeCmdBuffers.size(); }
    // TARGET MODE ABORTs this IOC's firmware sent for commands from the
    // partner: how many, and the newest one's type and reply word.
    struct TargetAbort {
        uint32_t count = 0;
        uint8_t type = 0;
        uint32_t replyWord = 0;
        uint32_t contextToAbort = 0;
    };
    const TargetAbort& lastTargetAbort() const { return m_lastTargetAbort; }
    // Data or status requests for a command that is no longer open here
    // (it was aborted, or already answered).
    uint32_t staleTargetRequests() const { return m_staleTargetRequests; }

private:
    // Requests through the request FIFO, by function.
    void PostRequest(uint32_t frameAddress) override;
    void Signal(bool raised) override { m_interrupt.Set(raised); }
    void ResetChip() override;
    using Request = void (SasController::*)(const uint8_t* frame, uint32_t context);
    static const std::array<Request, 256> kRequests;
    void RequestCmdBufferBase(const uint8_t* frame, uint32_t context);
    void RequestCmdBufferList(const uint8_t* frame, uint32_t context);
    void InitPages();
    void RefreshTopology();
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
    bool ProcessorReached(unsigned index) const;
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
    std::array<unsigned, 256> m_taskSetFull{};   // answers still to give, by target
    // Whether the target refuses the next command with TASK SET FULL (an
    // injected refusal is used up); what it holds, answers still waiting out
    // their service time.
    bool RefusesAsFull(uint8_t target, uint32_t queueDepth);
    unsigned HeldBy(uint8_t target) const;
    // Host memory named by an SGL (simple elements and chains), in order,
    // into m_pieces; how many (0 as well when an element is not memory).
    unsigned GatherSgl(const uint32_t* sgl, unsigned dwordsLeft);
    // The SGL room of a SCSI IO request frame, in 32-bit words.
    static constexpr unsigned kSglDwordsInFrame =
        (kRequestFrameBytes - offsetof(fw::MPI_SCSI_IO_REQUEST, adSGL)) / sizeof(uint32_t);
    // Each memory piece an SGL names (bus address, length), in order, chains
    // followed in the memory given, into `pieces`; how many.  A plain walk
    // into an array: it runs for every SCSI IO request.
    static constexpr unsigned kMaxSglElements = 64;   // a looping chain ends here
    struct SglPiece {
        uint32_t address;
        uint32_t length;
    };
    static unsigned WalkSgl(MemoryWindows& memory, const uint32_t* sgl, unsigned dwordsLeft,
                            std::array<SglPiece, kMaxSglElements>& pieces);
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
        std::array<uint8_t, 16> cdb{};
        std::array<uint8_t, 16> dataInHead{};   // the first data bytes sent to the initiator
        std::vector<std::pair<uint32_t, uint32_t>> pieces;  // initiator bus address, length
    };
    static constexpr uint16_t kMaxIoIndex = 256;
    static Exchange ExchangeOf(SasController& from, const uint8_t* frame, uint32_t context, uint8_t target);
    bool IsPartnerTarget(uint8_t target) const;
    void SendToPartner(const uint8_t* frame, uint32_t context, uint8_t target);
    void ArriveFromPartner(SasController& from, const std::vector<uint8_t>& frame, uint32_t context, uint8_t target);
    void TargetAssist(const uint8_t* frame, uint32_t context);
    void TargetStatusSend(const uint8_t* frame, uint32_t context);
    void TargetModeAbort(const uint8_t* frame, uint32_t context);
    // The initiator gave up on a command the partner holds: the partner's
    // firmware is sent an ABORT TASK task management frame for its tag.
    void ArriveAbortTask(SasController& from, uint32_t context);
    // Ends the initiator's request of an exchange with a SCSI status (and
    // sense), or with an IOC status when the transport failed.
    void FinishExchange(Exchange& x, uint8_t status, const uint8_t* sense, uint32_t senseLength, uint16_t iocStatus);
    void TargetReply(uint16_t ioIndex);
    void DeliverDelayed();
    void DescribePartnerPorts();
    // Which of the partner's ports a target id of this IOC names (-1: none).
    int PartnerPortOf(uint8_t target) const;
    // Ends the exchanges this IOC holds for `initiator` (or for every
    // initiator when null) and, with no initiator named, the requests it
    // sent to the partner; only those that cross on path `port` when one
    // is named.
    void EndPartnerExchanges(SasController* initiator, int port = kAnyPath);
    static constexpr int kAnyPath = -1;

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
    std::vector<bool> m_processorPathLost;
    uint16_t m_nextHandle = kExpanderHandle + 1;
    bool m_processorsHidden = false;
    std::array<PhyErrors, fw::MPI_SAS_IO_UNIT_PHYS> m_phyErrors{};
    void DescribePhyCounters();
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
    uint32_t m_partnerTasksAborted = 0;

    std::array<uint32_t, 64> m_config{};
    uint32_t m_traceEntries = 0;
    // The trace ring's words and its tail in the IOC's memory, looked up
    // once: the entries of that map stay where they are.
    uint32_t* m_traceTail = nullptr;
    std::array<uint32_t*, kTraceRingBytes / 4> m_traceWords{};
    uint32_t m_targetResets = 0;
    uint32_t m_cmdBuffersPosted = 0;
    uint32_t m_cmdBuffersReposted = 0;

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
    struct Piece {
        uint8_t* host;
        uint32_t length;
    };
    std::array<Piece, kMaxSglElements> m_pieces;
    std::vector<uint8_t> m_bounce;

    SasController* m_partner = nullptr;
    std::array<bool, 2> m_partnerPathCut{};
    std::array<Exchange, kMaxIoIndex> m_exchanges;
    std::deque<uint16_t> m_freeCmdBuffers;     // IoIndexes posted and free
    std::array<uint32_t, kMaxIoIndex> m_cmdBufferAddress{};
    uint16_t m_cmdBufferLength = 0;
    uint16_t m_nextTag = 1;
    // Requests sent to the partner not yet answered, by context (so a port
    // that leaves ends them).
    std::map<uint32_t, uint8_t> m_sentToPartner;
    uint32_t m_partnerCommandsSent = 0;
    std::array<uint32_t, 2> m_partnerCommandsSentOn{};
    uint32_t m_partnerCommandsReceived = 0;
    uint32_t m_partnerTaskSetFull = 0;
    TargetAbort m_lastTargetAbort;
    uint32_t m_staleTargetRequests = 0;
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
