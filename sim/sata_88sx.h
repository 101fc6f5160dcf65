// An 8-port SATA host adapter (88SX5080) of a test board: PCI identity and
// BAR, per port the SATA status registers, the shadow taskfile (polled
// commands with their data through the data register) and the EDMA engine
// (request and response queues in buffer memory, PRD tables, DMA by
// address), with the drives of `sim/drive` on its ports, hot plug, a drive
// that stops answering, and the tag or in-pointer a test wants reported.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/clock.h"
#include "sim/interrupt_controller.h"
#include "sim/pci.h"

namespace sim {

class Board;
class Drive;

class Sata88sx : public PciFunction {
public:
    Sata88sx(Board& board, uint8_t chip, InterruptLine line);
    ~Sata88sx() override;
    Sata88sx(const Sata88sx&) = delete;
    Sata88sx& operator=(const Sata88sx&) = delete;

    void ConfigWrite(uint16_t offset, uint32_t value) override;
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

    // A drive on port 0..7 (null: the port is empty).  Plugging or pulling
    // one later is a hot-plug event the EDMA error cause reports.
    void Attach(uint8_t port, Drive* drive);
    void Unplug(uint8_t port);
    void Plug(uint8_t port, Drive* drive);
    // The drive on the port takes queued commands and never ends them (its
    // taskfile still answers).
    void Hang(uint8_t port, bool hung) { m_ports.at(port).hung = hung; }
    // The drive on the port identifies itself without 48-bit addressing.
    void Lba28Only(uint8_t port) { m_ports.at(port).lba28 = true; }
    // The next response of the port reports this tag instead of its own.
    int32_t nextResponseTag = -1;
    // The next completion of the port reports this in-pointer (beyond 31:
    // bits the register does not have).
    int32_t nextResponseIn = -1;
    // The next IDENTIFY answers these bytes.
    std::vector<uint8_t> identifyOverride;

    // Inspection.
    uint32_t edmaCommands(uint8_t port) const { return m_ports.at(port).edmaCommands; }
    uint8_t lastEdmaCommand(uint8_t port) const { return m_ports.at(port).lastCommand; }
    uint64_t lastEdmaLba(uint8_t port) const { return m_ports.at(port).lastLba; }
    bool edmaEnabled(uint8_t port) const { return m_ports.at(port).edmaOn; }

private:
    struct Port {
        Drive* drive = nullptr;
        bool hung = false;
        bool lba28 = false;
        uint32_t sstatus = 0, serror = 0, scontrol = 0;
        std::array<uint32_t, 0x80 / 4> phy{};
        std::array<uint32_t, 0x60 / 4> edma{};
        bool edmaOn = false;
        uint8_t requestOut = 0;     // next request block the engine takes
        uint8_t responseIn = 0;     // next response block it writes
        // The shadow taskfile: two bytes deep (the previous byte is the high
        // order byte of a 48-bit command).
        std::array<uint8_t, 2> features{}, count{}, lbaLow{}, lbaMid{}, lbaHigh{};
        uint8_t device = 0, status = 0x50, error = 0, control = 0;
        std::vector<uint8_t> pio;   // data of a polled command
        size_t pioAt = 0;
        bool pioOut = false;
        uint8_t pioCommand = 0;
        uint64_t pioLba = 0;
        uint32_t edmaCommands = 0;
        uint8_t lastCommand = 0;
        uint64_t lastLba = 0;
    };
    struct Done {
        uint64_t at;
        uint8_t port;
        uint8_t tag;
        uint16_t flags;
    };
    uint32_t Reg(uint32_t offset) const;
    void SetReg(uint32_t offset, uint32_t value);
    Port* PortOf(uint32_t offset, uint32_t base, uint32_t stride, uint32_t* inner);
    uint8_t PortIndex(const Port* p) const { return static_cast<uint8_t>(p - m_ports.data()); }
    void TaskfileCommand(Port& p, uint8_t command);
    void FinishPioOut(Port& p);
    void RunRequests(Port& p);
    void Complete();
    void ArmCompletion();
    void Hotplug(uint8_t port, bool connected);
    void UpdateLine();
    uint8_t* Memory(uint32_t address, uint32_t length);
    Board& m_board;
    uint8_t m_chip;
    InterruptLine m_line;
    uint32_t m_window = 0;
    std::array<Port, 8> m_ports{};
    std::array<uint32_t, 2> m_hcCause{};
    std::array<std::array<uint32_t, 0x24 / 4>, 2> m_hc{};
    uint32_t m_mainMask = 0;
    uint32_t m_errorCause = 0;     // main cause error bits
    std::vector<Done> m_done;
    Clock::Event m_doneEvent;
};

// Fits both chips on a board before it boots (a test board): their PCI
// functions, their interrupt lines and the strap that tells start-up.
std::array<Sata88sx*, 2> FitSataChips(Board& board);

}  // namespace sim
