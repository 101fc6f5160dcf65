// The processor's error reporting: the memory controller's ECC error log and
// address registers, the internal-bus and ATU error status registers, and
// the injection of program exceptions (undefined instruction, software
// interrupt, prefetch and data abort) with the fault registers the handler
// reads.
#pragma once

#include <cstdint>

#include "hw/atu.h"
#include "hw/hw.h"
#include "hw/internal_bus.h"
#include "hw/memory_controller.h"
#include "sim/bus.h"
#include "sim/cpu.h"
#include "sim/interrupt_controller.h"

namespace sim {

class Board;

class ProcessorErrors {
public:
    // Memory controller error registers.
    static constexpr uint32_t kMemoryBase = fw::MCU_BASE;
    static constexpr uint32_t kEccControl = fw::MCU_ECCR;
    static constexpr uint32_t kElog0 = fw::MCU_ELOG0, kElog1 = fw::MCU_ELOG1;
    static constexpr uint32_t kEcar0 = fw::MCU_ECAR0, kEcar1 = fw::MCU_ECAR1;
    static constexpr uint32_t kContext0 = fw::MCU_ECTST0, kContext1 = fw::MCU_ECTST1;
    static constexpr uint32_t kMcisr = fw::MCU_MCISR;
    static constexpr uint32_t kElogMultiBit = 1u << 8;
    // Internal bus status; ATU status (inside the ATU-X block) and the PCI
    // Express ATU error registers.
    static constexpr uint32_t kInternalBusStatus = fw::INTERNAL_BUS_STATUS;
    static constexpr uint32_t kAtuStatus = fw::ATUX_ATUSR;
    static constexpr uint32_t kPcieBase = fw::ATUX_PIECSR;

    // The three error sources raise the memory, internal-bus and ATU lines.
    ProcessorErrors(Board& board, InterruptLine memory, InterruptLine internalBus, InterruptLine atu);
    ~ProcessorErrors();

    // Program exceptions, taken at once: call on the processor (inside
    // Board::RunOnCpu).  The handler finds the link register one instruction
    // behind the faulting address.
    void UndefinedInstruction(uint32_t address, uint32_t instruction);
    void SoftwareInterrupt(uint32_t address, uint32_t instruction);
    void PrefetchAbort(uint32_t address, uint32_t faultStatus);
    void DataAbort(uint32_t address, uint32_t faultStatus, uint32_t faultAddress);

    // Error interrupts: logged and raised on the IRQ line; the processor
    // takes them at its next interrupt point while IRQ is unmasked.
    // An ECC error at a processor address: the next free error log (0, then
    // 1; both in use sets the overflow bit) gets the syndrome in its low
    // byte and the multi-bit flag.
    void EccError(uint32_t address, uint8_t syndrome, bool multiBit);
    void InternalBusError(uint32_t status);
    void AtuError(uint32_t pcieStatus, uint32_t atuStatus, uint32_t errorAddress);

    // What the entry stub of the exception being taken reads.
    const fw::HwExceptionFrame& Frame() const { return m_frame; }
    uint32_t Mcisr() const { return m_memory.mcisr; }
    uint32_t EccControl() const { return m_memory.eccControl; }
    uint32_t InternalBusStatus() const { return m_bus.status; }

private:
    // A block of error registers; every change updates the IRQ lines.
    struct Registers : Device {
        explicit Registers(ProcessorErrors& owner) : owner(owner) {}
        ProcessorErrors& owner;
    };
    struct MemoryRegisters : Registers {
        using Registers::Registers;
        uint32_t Read(uint32_t address, unsigned width) override;
        void Write(uint32_t address, uint32_t value, unsigned width) override;
        uint32_t elog[2] = {0, 0};
        uint32_t ecar[2] = {0, 0};
        uint32_t context[2] = {0, 0};
        uint32_t mcisr = 0;
        uint32_t eccControl = 0;
    };
    struct InternalBusRegisters : Registers {
        using Registers::Registers;
        uint32_t Read(uint32_t address, unsigned width) override;
        void Write(uint32_t address, uint32_t value, unsigned width) override;
        uint32_t status = 0;
    };
    // Status, error address, upper address, command.
    struct PcieAtuRegisters : Registers {
        using Registers::Registers;
        uint32_t Read(uint32_t address, unsigned width) override;
        void Write(uint32_t address, uint32_t value, unsigned width) override;
        uint32_t regs[4] = {0, 0, 0, 0};
    };
    void UpdateLines();
    void Take(Cpu::Vector vector, uint32_t address, uint32_t instruction);

    Board& m_board;
    InterruptLine m_memoryLine, m_internalBusLine, m_atuLine;
    fw::HwExceptionFrame m_frame{0, 0};
    MemoryRegisters m_memory{*this};
    InternalBusRegisters m_bus{*this};
    PcieAtuRegisters m_pcie{*this};
};

}  // namespace sim
