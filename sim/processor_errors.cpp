#include "sim/processor_errors.h"

#include "sim/board.h"

namespace sim {

namespace {

constexpr uint32_t kMcisrLog0 = 1u << 0, kMcisrLog1 = 1u << 1, kMcisrOverflow = 1u << 2;
constexpr uint32_t kMemorySize = 0x70;

}  // namespace

ProcessorErrors::ProcessorErrors(Board& board, InterruptLine memory, InterruptLine internalBus, InterruptLine atu)
    : m_board(board), m_memoryLine(memory), m_internalBusLine(internalBus), m_atuLine(atu) {
    board.bus().Map(kMemoryBase, kMemorySize, &m_memory);
    board.bus().Map(kInternalBusStatus, 4, &m_bus);
    board.bus().Map(kPcieBase, 0x10, &m_pcie);
}

ProcessorErrors::~ProcessorErrors() = default;

void ProcessorErrors::Take(Cpu::Vector vector, uint32_t address, uint32_t instruction) {
    m_frame = fw::HwExceptionFrame{address + 4, instruction};
    m_board.cpu().TakeException(vector);
}

void ProcessorErrors::UndefinedInstruction(uint32_t address, uint32_t instruction) {
    Take(Cpu::Vector::Undefined, address, instruction);
}

void ProcessorErrors::SoftwareInterrupt(uint32_t address, uint32_t instruction) {
    Take(Cpu::Vector::SoftwareInterrupt, address, instruction);
}

void ProcessorErrors::PrefetchAbort(uint32_t address, uint32_t faultStatus) {
    m_board.cpu().SetCp15(5, 0, 0, faultStatus);
    Take(Cpu::Vector::PrefetchAbort, address, 0);
}

void ProcessorErrors::DataAbort(uint32_t address, uint32_t faultStatus, uint32_t faultAddress) {
    m_board.cpu().SetCp15(5, 0, 0, faultStatus);
    m_board.cpu().SetCp15(6, 0, 0, faultAddress);
    Take(Cpu::Vector::DataAbort, address, 0);
}

void ProcessorErrors::EccError(uint32_t address, uint8_t syndrome, bool multiBit) {
    const uint32_t elog = syndrome | (multiBit ? kElogMultiBit : 0);
    unsigned log = 0;
    if (m_memory.mcisr & kMcisrLog0) {
        if (m_memory.mcisr & kMcisrLog1) {
            m_memory.mcisr |= kMcisrOverflow;
            UpdateLines();
            return;
        }
        log = 1;
    }
    m_memory.elog[log] = elog;
    m_memory.ecar[log] = address;
    m_memory.mcisr |= log == 0 ? kMcisrLog0 : kMcisrLog1;
    UpdateLines();
}

void ProcessorErrors::InternalBusError(uint32_t status) {
    m_bus.status |= status;
    UpdateLines();
}

void ProcessorErrors::AtuError(uint32_t pcieStatus, uint32_t atuStatus, uint32_t errorAddress) {
    m_pcie.regs[0] |= pcieStatus;
    m_pcie.regs[1] = errorAddress;
    // The ATU status word sits inside the ATU-X block, a plain register there.
    m_board.bus().Latch(kAtuStatus, m_board.bus().Latched(kAtuStatus) | atuStatus);
    UpdateLines();
}

void ProcessorErrors::UpdateLines() {
    m_memoryLine.Set(m_memory.mcisr != 0);
    m_internalBusLine.Set(m_bus.status != 0);
    m_atuLine.Set(m_pcie.regs[0] != 0 || m_board.bus().Latched(kAtuStatus) != 0);
}

uint32_t ProcessorErrors::MemoryRegisters::Read(uint32_t address, unsigned) {
    switch (address) {
    case kElog0: return elog[0];
    case kElog1: return elog[1];
    case kEcar0: return ecar[0];
    case kEcar1: return ecar[1];
    case kContext0: return context[0];
    case kContext1: return context[1];
    case kMcisr: return mcisr;
    case kEccControl: return eccControl;
    default: return owner.m_board.bus().Latched(address);
    }
}

void ProcessorErrors::MemoryRegisters::Write(uint32_t address, uint32_t value, unsigned) {
    switch (address) {
    case kMcisr:
        // Status bits clear when written with one; a cleared log is free again.
        mcisr &= ~value;
        owner.UpdateLines();
        break;
    case kEccControl: eccControl = value; break;
    case kElog0: case kElog1: case kEcar0: case kEcar1: case kContext0: case kContext1: break;
    default: owner.m_board.bus().Latch(address, value); break;
    }
}

uint32_t ProcessorErrors::InternalBusRegisters::Read(uint32_t, unsigned) { return status; }

void ProcessorErrors::InternalBusRegisters::Write(uint32_t, uint32_t value, unsigned) {
    status &= ~value;
    owner.UpdateLines();
}

uint32_t ProcessorErrors::PcieAtuRegisters::Read(uint32_t address, unsigned) {
    return regs[((address - kPcieBase) / 4) & 3];
}

void ProcessorErrors::PcieAtuRegisters::Write(uint32_t address, uint32_t value, unsigned) {
    if (address == kPcieBase) {
        regs[0] &= ~value;
        owner.UpdateLines();
    }
}

}  // namespace sim
