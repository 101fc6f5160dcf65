// The processor's interrupt controller (coprocessor 6): raw source lines,
// enables (INTCTL, CRm 4), steering (INTSTR, CRm 5, 1 = FIQ), the IRQ and
// FIQ source registers derived from them (CRm 6 and 7), and the inbound
// message status registers (CRn 8-11, CRm 1) that message-signalled
// interrupts of PCI Express chips set.  Devices reach it only through the
// interrupt lines the board's wiring gives them.
#pragma once

#include <array>
#include <cstdint>

#include "hw/hw.h"
#include "hw/interrupt_controller.h"
#include "sim/clock.h"

namespace sim {

class InterruptController {
public:
    static constexpr unsigned kRegisters = fw::INTC_BANKS;
    // The CPSR bits of the two exceptions, as Pending() reports them.
    static constexpr uint32_t kFiq = fw::CPSR_FIQ_MASK;
    static constexpr uint32_t kIrq = fw::CPSR_IRQ_MASK;
    // Its registers' CRm: INTCTL, INTSTR, IINTSRC, FINTSRC.
    static constexpr uint32_t kCrmEnable = fw::INTC_INTCTL, kCrmSteer = fw::INTC_INTSTR;
    static constexpr uint32_t kCrmIrq = fw::INTC_IINTSRC, kCrmFiq = fw::INTC_FINTSRC;

    void SetLine(unsigned reg, unsigned bit, bool level) {
        const uint32_t lines = level ? m_lines[reg] | 1u << bit : m_lines[reg] & ~(1u << bit);
        if (lines == m_lines[reg]) return;
        m_lines[reg] = lines;
        Update(reg);
    }
    bool Line(unsigned reg, unsigned bit) const { return (m_lines[reg] >> bit) & 1u; }
    uint32_t Read(uint32_t crn, uint32_t crm) const {
        if (crn >= kRegisters) return 0;
        // The FIQ sources first: every FIQ reads all four banks of them.
        if (crm == kCrmFiq) return m_fiq[crn];
        switch (crm) {
        case kCrmEnable: return m_enable[crn];
        case kCrmSteer: return m_steer[crn];
        case kCrmIrq: return m_irq[crn];
        default: return 0;
        }
    }
    void Write(uint32_t crn, uint32_t crm, uint32_t value) {
        if (crn >= kRegisters) return;
        if (crm == kCrmEnable) {
            m_enable[crn] = value;
        } else if (crm == kCrmSteer) {
            m_steer[crn] = value;
        } else {
            return;
        }
        Update(crn);
    }
    uint32_t Fiq(unsigned reg) const { return m_fiq[reg]; }
    uint32_t Irq(unsigned reg) const { return m_irq[reg]; }
    bool FiqPending() const { return (m_pending & kFiq) != 0; }
    bool IrqPending() const { return (m_pending & kIrq) != 0; }
    // kFiq and kIrq for the exceptions some enabled source asks for, kept up
    // to date as lines, enables and steering change: the processor tests it
    // at every interrupt point.
    uint32_t Pending() const { return m_pending; }
    uint32_t Enable(unsigned reg) const { return m_enable[reg]; }
    uint32_t Steer(unsigned reg) const { return m_steer[reg]; }

    // The processor's interrupt points test only whether time may pass: the
    // controller holds the clock's passes while it asks for an exception
    // the program status word `cpsr` does not mask (its owner reports each
    // change through MaskChanged).  Null, null: no processor attached.
    void HoldPassesWhileAsking(Clock* clock, const uint32_t* cpsr) {
        if (m_clock && m_asking) m_clock->HoldPasses(false);
        m_asking = false;
        m_clock = clock;
        m_cpsr = cpsr;
        MaskChanged();
    }
    void MaskChanged() {
        const bool asking = m_clock && (m_pending & ~*m_cpsr) != 0;
        if (asking == m_asking) return;
        m_asking = asking;
        if (m_clock) m_clock->HoldPasses(asking);
    }

    // Inbound message status register n (CRn 8 + n): plain storage for the
    // firmware, with bits that message-signalled interrupts set and clear.
    static constexpr uint32_t kMessageCrnFirst = fw::INTC_MSI_STATUS_FIRST_CRN;
    static constexpr uint32_t kMessageCrm = fw::INTC_MSI_STATUS_CRM;
    static constexpr unsigned kMessageRegisters = fw::INTC_MSI_STATUS_COUNT;
    uint32_t MessageStatus(unsigned n) const { return m_message[n]; }
    void WriteMessageStatus(unsigned n, uint32_t value) { m_message[n] = value; }
    void SetMessageBits(unsigned n, uint32_t bits, bool level) {
        m_message[n] = level ? m_message[n] | bits : m_message[n] & ~bits;
    }

private:
    // Only register `reg` changed: its sources are derived again, and the
    // exceptions asked for are those any register's sources ask for.
    void Update(unsigned reg) {
        const uint32_t asking = m_lines[reg] & m_enable[reg];
        m_fiq[reg] = asking & m_steer[reg];
        m_irq[reg] = asking & ~m_steer[reg];
        static_assert(kRegisters == 4);
        const uint32_t fiq = m_fiq[0] | m_fiq[1] | m_fiq[2] | m_fiq[3];
        const uint32_t irq = m_irq[0] | m_irq[1] | m_irq[2] | m_irq[3];
        const uint32_t pending = (fiq != 0 ? kFiq : 0) | (irq != 0 ? kIrq : 0);
        if (pending == m_pending) return;
        m_pending = pending;
        MaskChanged();
    }
    std::array<uint32_t, kRegisters> m_lines{};
    std::array<uint32_t, kRegisters> m_enable{};
    std::array<uint32_t, kRegisters> m_steer{};
    std::array<uint32_t, kMessageRegisters> m_message{};
    // The FIQ and IRQ source registers, derived from lines, enables and
    // steering as any of them changes.
    std::array<uint32_t, kRegisters> m_fiq{};
    std::array<uint32_t, kRegisters> m_irq{};
    uint32_t m_pending = 0;
    Clock* m_clock = nullptr;          // held while asking (null: no processor attached)
    const uint32_t* m_cpsr = nullptr;
    bool m_asking = false;             // the clock's passes held for it
};

// One interrupt source line as a device sees it; where it ends is the
// board wiring's business.  An unwired line goes nowhere.
class InterruptLine {
public:
    InterruptLine() = default;
    InterruptLine(InterruptController& intc, unsigned reg, unsigned bit)
        : m_intc(&intc), m_reg(static_cast<uint8_t>(reg)), m_bit(static_cast<uint8_t>(bit)) {}
    void Set(bool level) const {
        if (m_intc) m_intc->SetLine(m_reg, m_bit, level);
    }
    bool Wired() const { return m_intc != nullptr; }

private:
    InterruptController* m_intc = nullptr;
    uint8_t m_reg = 0;
    uint8_t m_bit = 0;
};

// A message-signalled interrupt of a PCI Express chip: while the chip has a
// cause pending, its message keeps a bit set in an inbound message status
// register and the messaging unit's source line raised.
class MessageInterrupt {
public:
    MessageInterrupt() = default;
    MessageInterrupt(InterruptController& intc, unsigned statusRegister, uint32_t bits, InterruptLine line)
        : m_intc(&intc), m_register(statusRegister), m_bits(bits), m_line(line) {}
    void Set(bool level) const {
        if (!m_intc) return;
        m_intc->SetMessageBits(m_register, m_bits, level);
        m_line.Set(level);
    }

private:
    InterruptController* m_intc = nullptr;
    unsigned m_register = 0;
    uint32_t m_bits = 0;
    InterruptLine m_line;
};

}  // namespace sim
