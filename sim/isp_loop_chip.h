// An ISP2x00-class Fibre Channel chip working a drive loop in initiator
// mode (drive chips 3 and 4).
//
// Modelled at the interface its driver uses: the 16-bit register file at
// its window (mailboxes at 0x40, host status at 0x18, the HCCR at 0xC0,
// the ring pointers), the running firmware's mailbox commands (its control
// block places the request and response rings), command entries (0x11)
// executed on the loop's drives with DMA to and from buffer memory and a
// status entry (0x03) back, markers, notify acknowledges, execute IOCB, and
// the loop's asynchronous events.  The loop is an arbitrated loop: the
// chip's own AL_PA and the devices on it in loop order, each with an AL_PA,
// names and a drive (or, for the partner controller's port, none).  The
// model runs its firmware from reset: nothing loads it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "sim/bus.h"
#include "sim/clock.h"
#include "sim/drive.h"
#include "sim/interrupt_controller.h"

namespace sim {

class Board;

// One device on an arbitrated loop.
struct LoopDevice {
    uint8_t alpa = 0;
    uint64_t nodeName = 0;       // the WWN the drive tables key on
    uint64_t portName = 0;
    Drive* drive = nullptr;      // null: an initiator (the partner's port)
    bool initiator = false;      // PRLI says FCP initiator
    bool hardAddress = true;     // its AL_PA is its hard address
    bool present = true;         // in its slot (pulled: false)
    bool bypassed = false;       // its port bypass circuit keeps it off the loop
    bool onLoop() const { return present && !bypassed; }
    bool timesOut = false;       // never answers a command
    uint32_t underrunBytes = 0;  // the next read moves this many bytes fewer
};

class IspLoopChip : public Device {
public:
    IspLoopChip(Board& board, uint8_t chip, InterruptLine line);
    ~IspLoopChip() override;
    IspLoopChip(const IspLoopChip&) = delete;
    IspLoopChip& operator=(const IspLoopChip&) = delete;

    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

    uint8_t chip() const { return m_chip; }
    static uint32_t WindowOf(uint8_t chip);

    // --- the loop -----------------------------------------------------------------
    uint8_t ownAlpa = 0x01;
    uint16_t topology = 0;                 // 0 loop; 2 point-to-point, 3 fabric
    std::vector<LoopDevice> devices;       // in loop order
    LoopDevice* Find(uint8_t alpa);
    // A loop initialisation: LIP, then (when `up`) LOOP UP; the firmware is
    // not ready for `settleNs`.
    void Lip(bool up = true, uint64_t settleNs = 1'000'000);
    void LoopDown();
    void LipReset();
    void PauseRisc() { m_paused = true; }
    // An asynchronous event as the firmware reports it.
    void RaiseAsync(uint16_t code, uint16_t mailbox1 = 0, uint16_t mailbox2 = 0);
    // An entry on the response ring, reported with a response update (the
    // tests' own malformed entries).
    void Respond(const std::array<uint8_t, 64>& entry);
    // The next response update reports this in-pointer instead of its own.
    int32_t nextResponseInPointer = -1;
    // The map the next position-map command reports, bytes as given (bad
    // counts, duplicates); empty: the loop's own.
    std::vector<uint8_t> mapOverride;
    // The next n mailbox commands are answered with this status.
    uint16_t failStatus = 0;
    uint32_t failCommands = 0;
    uint16_t firmwareStateOverride = 0xFFFF;

    // --- inspection ---------------------------------------------------------------
    uint16_t firmwareState() const;
    uint32_t commandsExecuted() const { return m_commands; }
    uint32_t markers() const { return m_markers; }
    uint32_t notifyAcks() const { return m_notifyAcks; }
    uint32_t loopResets() const { return m_loopResets; }
    const std::vector<uint16_t>& mailboxLog() const { return m_log; }
    const std::vector<std::array<uint16_t, 32>>& mailboxInputs() const { return m_inputs; }
    const std::array<uint8_t, 64>& lastRequest() const { return m_lastRequest; }
    // What the RISC's RAM holds at a word address (0x800 up to 0x1FFFF):
    // a pattern of the address, so a dump shows where each word came from.
    static uint16_t riscWord(uint32_t address) { return static_cast<uint16_t>(address * 0x9E37u ^ 0x5A00u); }
    static constexpr uint32_t kRiscRamFirst = 0x800;
    static constexpr uint32_t kRiscRamEnd = 0x20000;
    // A bank register's value (bank select 0x00-0x70, offset 0x80-0xBE) and
    // a sequencer window register's (window 0x2000-0x2E00).
    static uint16_t bankRegister(uint16_t bank, uint32_t offset) { return static_cast<uint16_t>(bank << 8 | offset); }
    static uint16_t windowRegister(uint16_t window, uint32_t offset) { return static_cast<uint16_t>(window | offset); }
    // The GPIO pins: what they are driven to from outside where the chip
    // does not drive them, and what the chip drives.
    uint16_t gpioInputs = 0;
    uint16_t gpioData() const { return m_gpioData; }
    uint16_t gpioEnable() const { return m_gpioEnable; }
    // The RISC's GPIO register (bank 0x20, 0x96) and each value written to
    // it, with the time.
    uint16_t riscGpio() const { return m_riscGpio; }
    const std::vector<std::pair<uint64_t, uint16_t>>& riscGpioLog() const { return m_riscGpioLog; }
    bool paused() const { return m_paused; }
    // The driver reached the chip in its own register layout.
    bool nativeLayout() const { return m_native; }
    uint32_t softResets() const { return m_softResets; }
    bool initialised() const { return m_reqBase != 0; }
    bool line() const { return m_lineLevel; }
    // How long the interrupt line has been raised without a clear (0: low).
    uint64_t raisedForNs() const;

    static constexpr uint64_t kCommandNs = 20'000;

private:
    using Entry = std::array<uint8_t, 64>;
    struct Interrupt {
        uint8_t kind;
        uint16_t mailbox0;
        std::array<uint16_t, 8> mailbox;
    };
    // A command the loop answers at `due`: its status entry goes on the
    // response ring or, for execute IOCB, over the entry at `bus`.
    struct Completion {
        uint64_t due;
        Entry status;
        bool viaMailbox;
        uint32_t bus;
        uint16_t loopId;
    };

    static uint32_t Canonical(uint32_t offset);
    uint8_t* Memory(uint32_t address, uint32_t length);
    void Present();
    void Queue(const Interrupt& interrupt);
    void Mailbox();
    void CompletionsDue();
    void ArmCompletions();
    uint16_t Execute(std::array<uint16_t, 32>& mb);
    uint16_t InitFirmware(uint32_t icb);
    uint16_t PortDatabase(uint16_t loopId, uint32_t bus);
    uint16_t PositionMap(uint32_t bus);
    uint16_t DumpRam(const std::array<uint16_t, 32>& mb);
    void SoftReset();
    void RequestsWritten();
    void TakeRequests();
    void Command(const Entry& entry, bool viaMailbox, uint32_t bus);
    void AbortCommandsOf(uint16_t loopId);
    void PutResponse(const Entry& entry);
    LoopDevice* ByLoopId(uint16_t loopId);

    Board& m_board;
    uint8_t m_chip;
    InterruptLine m_line;
    bool m_lineLevel = false;
    uint64_t m_raisedAt = 0;
    std::array<uint16_t, 32> m_mailbox{};
    std::array<uint16_t, 32> m_mailboxIn{};
    uint32_t m_hostStatus = 0;
    bool m_presented = false;
    bool m_paused = false;
    bool m_native = false;
    uint16_t m_control = 0;    // control/status: the bank select
    uint16_t m_window = 0;     // the sequencer window of the selected bank
    uint32_t m_softResets = 0;
    uint16_t m_gpioData = 0, m_gpioEnable = 0, m_riscGpio = 0;
    std::vector<std::pair<uint64_t, uint16_t>> m_riscGpioLog;
    std::deque<Interrupt> m_pending;
    uint64_t m_readyAt = 0;
    bool m_loopUp = true;
    uint32_t m_reqBase = 0, m_rspBase = 0;
    uint16_t m_reqLength = 0, m_rspLength = 0;
    uint16_t m_reqIn = 0, m_reqOut = 0, m_rspIn = 0, m_rspOut = 0;
    std::deque<Entry> m_backlog;
    uint32_t m_commands = 0, m_markers = 0, m_notifyAcks = 0, m_loopResets = 0;
    std::vector<uint16_t> m_log;
    std::vector<std::array<uint16_t, 32>> m_inputs;
    Entry m_lastRequest{};
    std::vector<Completion> m_completions;
    Clock::Event m_mailboxEvent;
    Clock::Event m_presentEvent;
    Clock::Event m_requestEvent;
    Clock::Event m_completionEvent;
};

}  // namespace sim
