#include "sim/cpu.h"

#include <cstring>

#include "sim/interrupt_controller.h"
#include "sim/memory_windows.h"
#include "sim/timers.h"

namespace sim {

namespace {
constexpr uint32_t kIntcCrmFirst = 4, kIntcCrmLast = 7;
constexpr uint32_t kTimerCrm = 9;
}  // namespace

Cpu::Cpu(InterruptController& intc, Timers& timers, MemoryWindows& memory)
    : m_intc(intc), m_timers(timers), m_memory(memory) {
    Reset();
}

void Cpu::Reset() {
    cpsr = kIrqMask | kFiqMask;
    m_cp6.fill(0);
    m_cp15.fill(0);
    // The boot ROM leaves the data cache on (control register bit 2).
    SetCp15(1, 0, 0, 0x0000007D);
    m_depth = 0;
}

uint32_t Cpu::Cp6Read(uint32_t crn, uint32_t crm) {
    if (crm >= kIntcCrmFirst && crm <= kIntcCrmLast) return m_intc.Read(crn, crm);
    if (crm == kTimerCrm) return m_timers.Read(crn);
    if (crm == InterruptController::kMessageCrm && crn - InterruptController::kMessageCrnFirst < 4) {
        return m_intc.MessageStatus(crn - InterruptController::kMessageCrnFirst);
    }
    return m_cp6[Cp6Index(crn, crm)];
}

void Cpu::Cp6Write(uint32_t crn, uint32_t crm, uint32_t value) {
    if (crm >= kIntcCrmFirst && crm <= kIntcCrmLast) {
        m_intc.Write(crn, crm, value);
    } else if (crm == kTimerCrm) {
        m_timers.Write(crn, value);
    } else if (crm == InterruptController::kMessageCrm && crn - InterruptController::kMessageCrnFirst < 4) {
        m_intc.WriteMessageStatus(crn - InterruptController::kMessageCrnFirst, value);
    } else {
        m_cp6[Cp6Index(crn, crm)] = value;
    }
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
    uint32_t saved = cpsr;
    cpsr |= vector == Vector::Fiq ? kIrqMask | kFiqMask : kIrqMask;
    ++m_depth;
    reinterpret_cast<void (*)()>(static_cast<uintptr_t>(slot))();
    --m_depth;
    cpsr = saved;
}

}  // namespace sim
