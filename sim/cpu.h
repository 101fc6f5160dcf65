// The processor core: the CPSR interrupt bits, the coprocessor registers
// and exception entry through the vector page.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

class InterruptController;
class Timers;
class MemoryWindows;

class Cpu {
public:
    enum class Vector : uint32_t {
        Undefined = 0x20,
        SoftwareInterrupt = 0x24,
        PrefetchAbort = 0x28,
        DataAbort = 0x2C,
        Irq = 0x34,
        Fiq = 0x38,
    };
    static constexpr uint32_t kIrqMask = 0x80;
    static constexpr uint32_t kFiqMask = 0x40;

    Cpu(InterruptController& intc, Timers& timers, MemoryWindows& memory);
    // Out of reset: I and F set, the coprocessors as the boot ROM leaves them.
    void Reset();

    uint32_t cpsr = kIrqMask | kFiqMask;
    uint32_t Cp6Read(uint32_t crn, uint32_t crm);
    void Cp6Write(uint32_t crn, uint32_t crm, uint32_t value);
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
    static unsigned Cp6Index(uint32_t crn, uint32_t crm) { return (crn & 15) << 4 | (crm & 15); }
    static unsigned Cp15Index(uint32_t crn, uint32_t crm, uint32_t op2) {
        return (crn & 15) << 7 | (crm & 15) << 3 | (op2 & 7);
    }
    InterruptController& m_intc;
    Timers& m_timers;
    MemoryWindows& m_memory;
    // Registers no model claims: plain storage.
    std::array<uint32_t, 16 * 16> m_cp6{};
    std::array<uint32_t, 16 * 16 * 8> m_cp15{};
    int m_depth = 0;
};

}  // namespace sim
