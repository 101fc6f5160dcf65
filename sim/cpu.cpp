#include "sim/cpu.h"

#include <cstring>

#include "sim/memory_windows.h"
#include "sim/processor_side.h"

namespace sim {

Cpu::Cpu(InterruptController& intc, Timers& timers, MemoryWindows& memory, Clock& clock)
    : m_intc(intc), m_timers(timers), m_memory(memory) {
    m_intc.HoldPassesWhileAsking(&clock, &m_cpsr);
    Reset();
}

Cpu::~Cpu() { m_intc.HoldPassesWhileAsking(nullptr, nullptr); }

void Cpu::Reset() {
    SetCpsr(kIrqMask | kFiqMask);
    m_cp6.fill(0);
    m_cp15.fill(0);
    // The boot ROM leaves the data cache on (control register bit 2).
    SetCp15(1, 0, 0, 0x0000007D);
    m_depth = 0;
}

void Cpu::Cp15Write(uint32_t crn, uint32_t crm, uint32_t op2, uint32_t value) {
    // Cache and TLB operations (c7, c8) have no state to keep.
    if (crn == 7 || crn == 8) return;
    m_cp15[Cp15Index(crn, crm, op2)] = value;
}

void Cpu::TakeException(Vector vector) {
    uint32_t slot;
    std::memcpy(&slot, m_memory.vectorPage() + static_cast<uint32_t>(vector), sizeof slot);
    if (slot == 0) return;  // no handler installed yet
    const uint32_t saved = m_cpsr;
    SetCpsr(m_cpsr | (vector == Vector::Fiq ? kIrqMask | kFiqMask : kIrqMask));
    ++m_depth;
    {
        InBoard::Firmware handler;
        reinterpret_cast<void (*)()>(static_cast<uintptr_t>(slot))();
    }
    --m_depth;
    SetCpsr(saved);
}

}  // namespace sim
