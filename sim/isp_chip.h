// An ISP24xx-class Fibre Channel host chip in target mode, or one of the
// older ISP2x00 generation (isp_chip_2x00.cpp): 16-bit registers, its own
// control block, commands, notifies and CTIO completions on the one response
// ring, and a pool of command resources the driver hands out and returns.
//
// Modelled at the interface its driver uses: PCI identity and configuration,
// the 32-bit register window behind BAR 0, the mailbox engine (the RISC
// firmware is loaded, checksummed and started by mailbox; the running
// firmware answers the commands the driver sends), the initialisation
// control block, the request, response and ATIO rings in buffer memory by
// address, ATIO and immediate-notify generation, CTIO execution with DMA to
// and from buffer memory, completions, asynchronous events, the port
// database and port names, link status and the SFP pages.  Its one port is
// a target port on a simulated fabric.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "hw/isp_fc.h"
#include "sim/clock.h"
#include "sim/fc_fabric.h"
#include "sim/interrupt_controller.h"
#include "sim/pci.h"
#include "sim/word_runs.h"

namespace sim {

// How long the host link (4 Gb/s) takes to carry `bytes` of a frame's or a
// transfer's data.
constexpr uint64_t FcTransferNs(uint64_t bytes) { return bytes * 2'500 / 1000; }

class IspChip : public PciFunction, public FcTargetPort {
public:
    enum class Risc { Rom, Running, Initialised };

    // Answers and faults a test can ask for.
    struct Faults {
        bool checksumError = false;              // VERIFY CHECKSUM answers a non-zero mailbox 1
        uint16_t initFirmwareStatus = fw::MBS_COMPLETE;
        uint32_t silentMailboxCommands = 0;      // the next n mailbox commands are never answered
        bool mailboxTestCorrupt = false;         // MAILBOX TEST hands back a wrong mailbox
        bool busError = false;                   // every register access ends in master abort
        bool acceptUnknownInitiators = false;    // commands of initiators without a login reach the ATIO ring
        int32_t nextResponseInPointer = -1;      // the next response update reports this in-pointer
        bool fastPostResponses = false;          // report response updates as event 0x8040
        bool holdRequests = false;               // consume no request entries (a stopped chip)
        bool configReadsAbort = false;           // configuration reads past the identity end in master abort
        uint16_t exchangeResources = 2048;       // exchanges the firmware reports (a smaller chip)
    };

    IspChip(uint8_t chip, uint32_t pciId, uint8_t revision, bool pcie, InterruptLine line);
    ~IspChip() override;

    uint8_t chip() const { return m_chip; }
    bool pcie() const { return m_pcie; }
    Faults faults;

    // --- PCI function ---------------------------------------------------------
    uint32_t ConfigRead(uint16_t offset) override;
    void ConfigWrite(uint16_t offset, uint32_t value) override;
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

    // --- target port ------------------------------------------------------------
    uint64_t PortName() const override { return m_portName; }
    uint64_t NodeName() const override { return m_nodeName; }
    uint32_t PortId() const override { return m_portId; }
    bool Online() const override { return m_risc == Risc::Initialised && m_linkUp; }
    uint64_t NowNs() const override;
    void Plogi(FcInitiator& initiator) override;
    void Logo(FcInitiator& initiator) override;
    void Command(FcInitiator& initiator, uint32_t tag, const FcpCommand& command) override;
    void Abts(FcInitiator& initiator, uint32_t tag) override;
    void MembershipChanged(FcInitiator& initiator, bool present) override;
    void LinkChanged(bool up) override;
    void FabricGone() override;
    bool Holds(const FcInitiator& initiator) const override;

    // Connects the chip's port to a fabric (it joins once its link is up).
    void AttachFabric(FcFabric& fabric);
    FcFabric* fabric() const { return m_fabric; }

    // --- stimuli ----------------------------------------------------------------
    void ReleaseRequests();          // a held chip takes its request entries again
    void RaiseAsyncEvent(uint16_t code, uint16_t mailbox1 = 0, uint16_t mailbox2 = 0, uint16_t mailbox3 = 0);
    void LipReset();                 // event 0x8013
    void Lip();                      // a loop initialisation: 0x8010, then LOOP UP
    void PauseRisc();                // the RISC stops: host status bit 8
    // ISP2x00: a CTIO completion fast-posted by its 16-bit handle (interrupt
    // kind 0x17) instead of an entry on the response ring.
    void FastPostCtio(uint16_t handle);
    // The board's power goes: the link drops (the hosts see the port leave
    // and its exchanges end unanswered) and the chip comes back in its ROM.
    void PowerOff();

    // --- inspection ---------------------------------------------------------------
    Risc risc() const { return m_risc; }
    bool linkUp() const { return m_linkUp; }
    // The rate the link came up at (Gb/s), 0 while it is down.
    uint32_t linkSpeedGb() const { return m_linkUp ? m_speedGb : 0; }
    uint16_t firmwareState() const { return m_firmwareState; }
    const std::vector<uint8_t>& icb() const { return m_icb; }
    uint32_t mailboxCommands() const { return m_mailboxCommands; }
    uint16_t lastMailboxOpcode() const { return m_lastOpcode; }
    // The opcodes of the first mailbox commands since power-on, in order.
    std::vector<uint16_t> mailboxOpcodes() const {
        return {m_opcodes.begin(), m_opcodes.begin() + std::min<uint32_t>(m_mailboxCommands, kOpcodeLog)};
    }
    uint32_t requestsConsumed() const { return m_requestsConsumed; }
    uint32_t ctiosExecuted() const { return m_ctiosExecuted; }
    uint32_t notifyAcks() const { return m_notifyAcks; }
    // Names of logged-in initiators read by mailbox (MBC_PORT_NAME).
    uint32_t initiatorNameReads() const { return m_initiatorNameReads; }
    uint32_t markers() const { return m_markers; }
    const std::array<uint8_t, 64>& lastMarker() const { return m_lastMarker; }
    const std::array<uint8_t, 64>& lastRequest() const { return m_lastRequest; }
    uint32_t terminatedExchanges() const { return m_terminated; }
    uint32_t openExchanges() const { return static_cast<uint32_t>(m_exchanges.size() - m_freeExchanges.size()); }
    uint32_t ctPassThroughs() const { return m_ctPassThroughs; }
    uint32_t logoutEntries() const { return m_logoutEntries; }
    uint32_t riscLoads() const { return m_riscLoads; }
    // Commands the chip answered BUSY itself, with every exchange in use and
    // the ATIO ring full.
    uint32_t busyAnswers() const { return m_busyAnswers; }
    uint16_t HandleOf(const FcInitiator& initiator) const;   // 0xFFFF: no login
    // ISP2x00: the command resources the firmware still holds (the driver
    // gives them with the control block, ENABLE LUN and MODIFY LUN; each
    // command takes one, an exchange ended with its status gives it back),
    // and the ENABLE and MODIFY LUN entries taken.
    uint32_t commandResources() const { return m_commandResources; }
    uint32_t enableLuns() const { return m_enableLuns; }
    uint32_t modifyLuns() const { return m_modifyLuns; }
    // Statuses (CTIO type 2) the driver posted while the same exchange's
    // data CTIO was still on the link: a write answered with its data phase.
    uint32_t statusesBehindData() const { return m_statusesBehindData; }
    bool isp2x00() const { return m_isp2x00; }
    uint16_t requestOut() const { return m_reqOut; }
    uint16_t responseIn() const { return m_rspIn; }
    uint16_t atioIn() const { return m_atioIn; }
    uint16_t atioOut() const { return m_atioOut; }
    uint16_t responseOut() const { return m_rspOut; }
    uint32_t gpio() const { return m_gpio; }
    uint32_t registerWrites() const { return m_registerWrites; }
    uint32_t hccrWrites() const { return m_hccrWrites; }
    bool interruptLine() const { return m_line; }
    // The port's own link error counters, and those the devices on its loop
    // report, by AL_PA.  A link that drops counts a link failure and a loss
    // of sync and of signal; a loop initialisation a loss of sync.
    fw::ISP_LINK_STATUS linkStatus{};
    std::map<uint8_t, fw::ISP_LINK_STATUS> deviceLinkStatus;
    // Errors seen on the wire, by the port itself (AL_PA 0) or a device.
    void InjectLinkErrors(uint32_t invalidWords, uint32_t crcErrors, uint8_t alpa = 0);
    // The transceiver's two-wire pages: identity (A0h) and diagnostics
    // (A2h), laid out as the optics standard has them, checksums included.
    std::array<uint8_t, 256> sfpIdentity{};
    std::array<uint8_t, 256> sfpDiagnostics{};
    // A port with no transceiver in its cage: reads of its pages fail.
    bool sfpFitted = true;
    // Fits a transceiver that reports its readings calibrated (internal) or
    // as raw words with the constants to convert them (external).
    void FitTransceiver(bool internallyCalibrated);
    // Recomputes both pages' checksums (after a test changed a field).
    void SealTransceiverPages();
    // Where the firmware's external RISC memory ends (the firmware version
    // command reports it; the debug dump reads up to it from 0x100000).
    uint32_t externalMemoryEnd = 0x1000FF;
    uint32_t riscWord(uint32_t address) const { return RiscWord(address); }

    static constexpr uint32_t kDefaultExchanges = 2048;
    static constexpr uint64_t kLinkUpDelayNs = 2'000'000;
    // Firmware options 2 bits 6-4 and options 3 bits 15-13 of the control block.
    static constexpr uint16_t kConnectionLoopOnly = 0;
    static constexpr uint16_t kConnectionPointToPointOnly = 1;
    static constexpr uint16_t kConnectionLoopPreferred = 2;
    static constexpr uint16_t kRate1Gb = 0;
    static constexpr uint16_t kRate2Gb = 1;
    static constexpr uint16_t kRateAutomatic = 2;
    static constexpr uint16_t kRate4Gb = 3;
    static constexpr uint32_t kFastestGb = 4;
    static constexpr uint32_t kFastest2x00Gb = 2;

private:
    struct Login {
        FcInitiator* initiator;
        uint16_t handle;
        enum class State { PlogiNotified, PrliNotified, LoggedIn } state;
    };
    struct Exchange {
        bool used = false;
        uint16_t generation = 0;
        FcInitiator* initiator = nullptr;
        uint32_t tag = 0;
        uint16_t oxId = 0;
        uint32_t fcpDl = 0;
        uint16_t lun = 0;
        bool aborting = false;
    };
    struct Interrupt {
        uint8_t kind;
        std::array<uint16_t, fw::ISP_MAILBOXES> mailbox;
        uint32_t mailboxMask;
    };
    using Entry = std::array<uint8_t, fw::ISP_ENTRY_BYTES>;
    // A notify waits for its acknowledge; an ABTS for its answer.
    struct PendingNotify {
        uint32_t exchange;
        uint16_t status;
        uint8_t els;
        uint16_t handle;
        uint16_t exchangeTag = 0;   // ISP2x00 abort task: the RX_ID
    };
    struct PendingAbts {
        uint32_t exchange;
        uint16_t oxId;
        FcInitiator* initiator;
        uint32_t tag;
    };
    // A frame from the fabric on its way into the port: the ELS, FCP_CMND
    // and ABTS frames of initiators, and the fabric's notices of initiators
    // that came or went.
    struct Frame {
        enum class Kind : uint8_t { Plogi, Logo, Command, Abts, Arrival, Departure } kind;
        FcInitiator* initiator;
        uint32_t tag;
        uint64_t dueNs;
    };
    // A CTIO whose data is on the link.
    struct CtioInFlight {
        Clock::Event event;
        Entry entry{};
        FcInitiator* initiator = nullptr;
        uint32_t tag = 0;
        uint16_t status = 0;
        bool sendStatus = false;
        bool modeData = false;
    };
    static constexpr uint32_t kCtioSlots = 256;
    static constexpr uint32_t kNotifyExchangeBase = 0xFFFE0000;

    Board& B() { return *board; }
    const Board& B() const { return *board; }
    Clock& clock();
    uint8_t* Memory(uint32_t address, uint32_t length);
    void LatchBusError();

    void MapRegisters(uint32_t bar);
    uint32_t Canonical(uint32_t offset) const;
    uint32_t RegisterRead(uint32_t offset);
    void RegisterWrite(uint32_t offset, uint32_t value);
    void WriteHccr(uint32_t value);
    void SoftReset();

    // Interrupts: one presented at a time, the rest waiting in order.
    void Present();
    void UpdateLine();
    void QueueMailboxAnswer(const Interrupt& answer);
    void QueueAsync(uint16_t code, uint16_t m1, uint16_t m2, uint16_t m3);

    // Mailbox engine.
    struct Mailbox;   // the commands, one handler each
    void StartMailboxCommand();
    // The mailbox, request, present and link timers cancelled: a reset, or
    // the chip going away.
    void CancelTimers();
    void ExecuteMailboxCommand(const std::array<uint16_t, fw::ISP_MAILBOXES>& in);
    uint16_t InitializeFirmware(uint32_t icbAddress);
    void RunInitialised(uint32_t exchanges);
    uint16_t LoadRam(uint32_t bus, uint32_t words, uint32_t riscAddress);
    uint16_t PortNameOf(uint16_t handle, bool portName, Interrupt* answer);
    uint16_t PortDatabase(uint16_t handle, uint32_t bus);
    uint32_t RiscWord(uint32_t address) const;
    void SetRiscWord(uint32_t address, uint32_t value);

    // Rings.
    void RequestsWritten();
    void ProcessRequests();
    void HandleRequest(const Entry& entry);
    // A ring the chip fills and the driver empties (response, ATIO), with
    // the entries waiting for the driver to make room.
    struct FilledRing {
        uint32_t base;
        uint16_t length;
        uint16_t& in;
        uint16_t out;
        std::deque<Entry>& backlog;
        bool& update;
    };
    FilledRing ResponseRing() { return {m_rspBase, m_rspLength, m_rspIn, m_rspOut, m_rspBacklog, m_responseUpdate}; }
    FilledRing AtioRing() { return {m_atioBase, m_atioLength, m_atioIn, m_atioOut, m_atioBacklog, m_atioUpdate}; }
    void Put(FilledRing ring, const Entry& entry);
    static bool Full(const FilledRing& ring);
    void Write(FilledRing ring, const Entry& entry);
    void PutResponse(const Entry& entry);
    void PutAtio(const Entry& entry);
    bool AtioRingHasRoom();
    void DrainBacklogs();

    // Request entries.
    void Ctio7(const Entry& entry);
    void FinishCtio(const Entry& entry, uint16_t status, uint32_t residual);
    void StatusWithoutExchange(const Entry& entry, const Login* login, uint32_t portId);
    void StartCtio(const Entry& entry, FcInitiator* initiator, uint32_t tag, uint16_t status, bool sendStatus,
                   bool modeData, uint32_t bytes);
    void CtioDone(uint32_t slot);
    void NotifyAck(const Entry& entry);
    void AbtsResponse(const Entry& entry);
    void CtPassThrough(const Entry& entry);
    void LogoutEntry(const Entry& entry);
    void Marker(const Entry& entry);
    void RefuseEntry(const Entry& entry);
    // What the status of a finished CTIO tells its host.
    struct CtioStatus {
        uint16_t word = 0;
        const uint8_t* sense = nullptr;
        uint32_t senseLength = 0;
        uint32_t residual = 0;
        const uint8_t* response = nullptr;   // FCP_RSP_INFO, when the status word says it is there
        uint32_t responseLength = 0;
    };
    CtioStatus Ctio7Status(const CtioInFlight& f) const;

    // The ISP2x00 generation.
    uint16_t InitializeFirmware2x00(uint32_t icbAddress);
    void TakeCommand2x00(FcInitiator& initiator, uint32_t tag, const FcpCommand& command, const Login* login);
    void Ctio2(const Entry& entry);
    void FinishCtio2(const Entry& entry, uint16_t status);
    CtioStatus Ctio2Status(const CtioInFlight& f) const;
    void Notify2x00(uint16_t status, const Login& login, uint16_t taskFlags, uint16_t lun, uint16_t exchangeTag);
    void NotifyAck2x00(const Entry& entry);
    void NotifyPostedBack2x00(const Entry& entry);
    void AcknowledgeNotify2x00(uint16_t sequence);
    void TakeAbts2x00(FcInitiator& initiator, uint32_t tag);
    void EnableLun(const Entry& entry);
    void ModifyLun(const Entry& entry);

    // Frames from the fabric, taken in arrival order.
    void Receive(Frame::Kind kind, FcInitiator& initiator, uint32_t tag, uint64_t delayNs);
    void FramesDue();
    void TakePlogi(FcInitiator& initiator, uint32_t);
    void TakeLogo(FcInitiator& initiator, uint32_t);
    void TakeCommand(FcInitiator& initiator, uint32_t tag);
    void TakeAbts(FcInitiator& initiator, uint32_t tag);
    void TakeArrival(FcInitiator& initiator, uint32_t);
    void TakeDeparture(FcInitiator& initiator, uint32_t);
    void FabricChanged(FcInitiator& initiator, bool present);

    // Port side.
    void BringLinkUp();
    // The link the control block's options and the fabric agree on: false
    // when they cannot (a topology the port refuses, a fixed rate faster
    // than the fabric's); else the rate is in m_speedGb.
    bool Negotiate();
    uint16_t SpeedCode() const;
    void TakeLinkDown();
    Login* FindLogin(const FcInitiator& initiator);
    Login* FindLoginByHandle(uint16_t handle);
    uint16_t FreeHandle() const;
    void Notify(uint16_t status, uint8_t els, const Login& login);
    void DropLogin(FcInitiator& initiator, uint16_t notifyStatus, bool tellInitiator);
    void EndExchangesOf(const FcInitiator& initiator, FcpResult::Outcome outcome);
    uint32_t OpenExchange(FcInitiator& initiator, uint32_t tag, uint16_t oxId, uint32_t fcpDl);
    Exchange* FindExchange(uint32_t address);
    void CloseExchange(Exchange& exchange);
    uint8_t OwnAlpa() const;
    uint16_t OwnLoopId() const;
    uint64_t TransferNs(uint32_t bytes) const;

    uint8_t m_chip;
    bool m_pcie;
    InterruptLine m_interrupt;
    bool m_isp2x00;
    uint32_t m_registerWrites = 0;
    uint32_t m_hccrWrites = 0;
    std::array<uint32_t, 64> m_config{};
    uint32_t m_mappedAt = 0;
    bool m_mapped = false;

    // Registers.
    std::array<uint16_t, fw::ISP_MAILBOXES> m_mailbox{};
    uint32_t m_intControl = 0;
    uint32_t m_ctrlStatus = 0;
    uint32_t m_gpio = 0;
    bool m_hostIntPending = false;
    bool m_paused = false;
    std::map<uint32_t, uint32_t> m_latched;
    // The RISC's windowed register banks (window base in register 0x54,
    // read from 0xC0) and shadow registers (selected in 0xF0, read at 0xFC).
    uint32_t WindowRegister(uint32_t offset) const;
    bool m_line = false;

    // Interrupt presentation.
    bool m_presented = false;
    uint32_t m_hostStatus = 0;
    std::deque<Interrupt> m_mailboxAnswers;
    std::deque<Interrupt> m_async;
    bool m_atioUpdate = false;
    bool m_responseUpdate = false;
    uint64_t m_asyncHoldUntil = 0;
    Clock::EventId m_presentEvent = 0;

    // RISC and firmware.
    Risc m_risc = Risc::Rom;
    WordRuns m_riscMemory;
    // A reset keeps the RISC memory for a dump; the next load starts afresh.
    bool m_riscMemoryStale = false;
    uint32_t m_firstLoadAddress = 0;
    bool m_checksumGood = false;
    uint32_t m_riscLoads = 0;
    uint16_t m_firmwareState = fw::ISP_FW_STATE_CONFIG_WAIT;
    std::vector<uint8_t> m_icb;
    uint32_t m_mailboxCommands = 0;
    uint16_t m_lastOpcode = 0;
    static constexpr uint32_t kOpcodeLog = 32;
    std::array<uint16_t, kOpcodeLog> m_opcodes{};
    Clock::EventId m_mailboxEvent = 0;
    std::array<uint16_t, fw::ISP_MAILBOXES> m_mailboxIn{};   // the command being executed

    // Rings (from the ICB).
    uint32_t m_reqBase = 0, m_rspBase = 0, m_atioBase = 0;
    uint16_t m_reqLength = 0, m_rspLength = 0, m_atioLength = 0;
    uint16_t m_reqIn = 0, m_reqOut = 0, m_rspIn = 0, m_rspOut = 0, m_atioIn = 0, m_atioOut = 0;
    std::deque<Entry> m_rspBacklog, m_atioBacklog;
    Clock::EventId m_requestEvent = 0;
    uint32_t m_requestsConsumed = 0;
    uint32_t m_ctiosExecuted = 0;
    std::array<CtioInFlight, kCtioSlots> m_ctios;
    std::vector<uint32_t> m_freeCtios;
    uint32_t m_notifyAcks = 0;
    uint32_t m_initiatorNameReads = 0;
    uint32_t m_markers = 0;
    uint32_t m_terminated = 0;
    uint32_t m_ctPassThroughs = 0;
    uint32_t m_logoutEntries = 0;
    Entry m_lastMarker{};
    Entry m_lastRequest{};

    // Port.
    FcFabric* m_fabric = nullptr;
    bool m_linkUp = false;
    uint64_t m_portName = 0;
    uint64_t m_nodeName = 0;
    uint32_t m_portId = 0;
    uint16_t m_hardAddress = 4;
    // What the control block asks of the link (firmware options 2 and 3),
    // and the rate it came up at.
    uint16_t m_connectionOption = kConnectionLoopPreferred;
    uint16_t m_rateOption = kRateAutomatic;
    uint32_t m_speedGb = 4;
    std::vector<Login> m_logins;
    std::vector<PendingNotify> m_notifies;
    std::vector<PendingAbts> m_abts;
    uint32_t m_nextNotify = 0;
    std::vector<Exchange> m_exchanges;
    std::vector<uint32_t> m_freeExchanges;
    Clock::EventId m_linkEvent = 0;
    std::deque<Frame> m_frames;
    Clock::Event m_frameEvent;
    uint32_t m_busyAnswers = 0;
    uint32_t m_commandResources = 0;
    uint32_t m_enableLuns = 0;
    uint32_t m_modifyLuns = 0;
    uint32_t m_statusesBehindData = 0;
    // The ISP2x00 completes an exchange's CTIOs in the order it took them.
    uint64_t m_lastCtioDoneNs = 0;
};

class Board;

// The board's host chip 1 or 2, or null.
IspChip* FindIspChip(Board& board, uint8_t chip);

}  // namespace sim
