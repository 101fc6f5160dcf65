// The processor core: the CPSR interrupt bits, the coprocessor registers
// and exception entry through the vector page.
#pragma once

#include <array>
#include <cstdint>

#include "hw/boot_rom.h"
#include "hw/hw.h"
#include "sim/interrupt_controller.h"
#include "sim/timers.h"

namespace sim {

class MemoryWindows;

class Cpu {
public:
    enum class Vector : uint32_t {
        Undefined = fw::VECTOR_SLOT_UNDEFINED,
        SoftwareInterrupt = fw::VECTOR_SLOT_SOFTWARE_INTERRUPT,
        PrefetchAbort = fw::VECTOR_SLOT_PREFETCH_ABORT,
        DataAbort = fw::VECTOR_SLOT_DATA_ABORT,
        Irq = fw::VECTOR_SLOT_IRQ,
        Fiq = fw::VECTOR_SLOT_FIQ,
    };
    static constexpr uint32_t kIrqMask = fw::CPSR_IRQ_MASK;
    static constexpr uint32_t kFiqMask = fw::CPSR_FIQ_MASK;

    // The controller holds the clock's passes while it asks for an exception
    // this processor's status does not mask.
    Cpu(InterruptController& intc, Timers& timers, MemoryWindows& memory, Clock& clock);
    ~Cpu();
    Cpu(const Cpu&) = delete;
    Cpu& operator=(const Cpu&) = delete;
    // Out of reset: I and F set, the coprocessors as the boot ROM leaves them.
    void Reset();

    // The program status interrupt bits (I, F).
    uint32_t Cpsr() const { return m_cpsr; }
    void SetCpsr(uint32_t cpsr) {
        m_cpsr = cpsr;
        m_intc.MaskChanged();
    }
    // Coprocessor 6: the interrupt controller (CRm 4-7), the message status
    // registers (CRn 8-11, CRm 1), the timers (CRm 9); the rest plain storage.
    uint32_t Cp6Read(uint32_t crn, uint32_t crm) {
        if (crm - InterruptController::kCrmEnable <= InterruptController::kCrmFiq - InterruptController::kCrmEnable) {
            return m_intc.Read(crn, crm);
        }
        if (crm == kTimerCrm) return m_timers.Read(crn);
        if (IsMessageStatus(crn, crm)) return m_intc.MessageStatus(crn - InterruptController::kMessageCrnFirst);
        return m_cp6[Cp6Index(crn, crm)];
    }
    void Cp6Write(uint32_t crn, uint32_t crm, uint32_t value) {
        if (crm - InterruptController::kCrmEnable <= InterruptController::kCrmFiq - InterruptController::kCrmEnable) {
            m_intc.Write(crn, crm, value);
        } else if (crm == kTimerCrm) {
            m_timers.Write(crn, value);
        } else if (IsMessageStatus(crn, crm)) {
            m_intc.WriteMessageStatus(crn - InterruptController::kMessageCrnFirst, value);
        } else {
            m_cp6[Cp6Index(crn, crm)] = value;
        }
    }
    uint32_t Cp15Read(uint32_t crn, uint32_t crm, uint32_t op2) const { return m_cp15[Cp15Index(crn, crm, op2)]; }
    void Cp15Write(uint32_t crn, uint32_t crm, uint32_t op2, uint32_t value);
    // Sets a coprocessor-15 register as the hardware would (fault status and
    // address before an abort, cache type, ...).
    void SetCp15(uint32_t crn, uint32_t crm, uint32_t op2, uint32_t value) {
        m_cp15[Cp15Index(crn, crm, op2)] = value;
    }
    // Enters the handler stored in the vector page literal slot, with I and F
    // set as the processor does, and returns to the interrupted code after.
    void TakeException(Vector vector);
    bool InException() const { return m_depth > 0; }

private:
    static constexpr uint32_t kTimerCrm = 9;
    static bool IsMessageStatus(uint32_t crn, uint32_t crm) {
        return crm == InterruptController::kMessageCrm &&
               crn - InterruptController::kMessageCrnFirst < InterruptController::kMessageRegisters;
    }
    static unsigned Cp6Index(uint32_t crn, uint32_t crm) { return (crn & 15) << 4 | (crm & 15); }
    static unsigned Cp15Index(uint32_t crn, uint32_t crm, uint32_t op2) {
        return (crn & 15) << 7 | (crm & 15) << 3 | (op2 & 7);
    }
    uint32_t m_cpsr = kIrqMask | kFiqMask;
    InterruptController& m_intc;
    Timers& m_timers;
    MemoryWindows& m_memory;
    // Registers no model claims: plain storage.
    std::array<uint32_t, 16 * 16> m_cp6{};
    std::array<uint32_t, 16 * 16 * 8> m_cp15{};
    int m_depth = 0;
};

}  // namespace sim
