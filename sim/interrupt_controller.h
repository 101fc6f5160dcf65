// The processor's interrupt controller (coprocessor 6): raw source lines,
// enables (INTCTL, CRm 4), steering (INTSTR, CRm 5, 1 = FIQ), the IRQ and
// FIQ source registers derived from them (CRm 6 and 7), and the inbound
// message status registers (CRn 8-11, CRm 1) that message-signalled
// interrupts of PCI Express chips set.  Devices reach it only through the
// interrupt lines the board's wiring gives them.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

class InterruptController {
public:
    static constexpr unsigned kRegisters = 4;
    // The CPSR bits of the two exceptions, as Pending() reports them.
    static constexpr uint32_t kFiq = 0x40;
    static constexpr uint32_t kIrq = 0x80;

    void SetLine(unsigned reg, unsigned bit, bool level);
    bool Line(unsigned reg, unsigned bit) const { return (m_lines[reg] >> bit) & 1u; }
    uint32_t Read(uint32_t crn, uint32_t crm) const;
    void Write(uint32_t crn, uint32_t crm, uint32_t value);
    uint32_t Fiq(unsigned reg) const { return m_lines[reg] & m_enable[reg] & m_steer[reg]; }
    uint32_t Irq(unsigned reg) const { return m_lines[reg] & m_enable[reg] & ~m_steer[reg]; }
    bool FiqPending() const { return (m_pending & kFiq) != 0; }
    bool IrqPending() const { return (m_pending & kIrq) != 0; }
    // kFiq and kIrq for the exceptions some enabled source asks for, kept up
    // to date as lines, enables and steering change: the processor tests it
    // at every interrupt point.
    uint32_t Pending() const { return m_pending; }
    uint32_t Enable(unsigned reg) const { return m_enable[reg]; }
    uint32_t Steer(unsigned reg) const { return m_steer[reg]; }

    // Inbound message status register n (CRn 8 + n): plain storage for the
    // firmware, with bits that message-signalled interrupts set and clear.
    static constexpr uint32_t kMessageCrnFirst = 8;
    static constexpr uint32_t kMessageCrm = 1;
    uint32_t MessageStatus(unsigned n) const { return m_message[n]; }
    void WriteMessageStatus(unsigned n, uint32_t value) { m_message[n] = value; }
    void SetMessageBits(unsigned n, uint32_t bits, bool level) {
        m_message[n] = level ? m_message[n] | bits : m_message[n] & ~bits;
    }

private:
    void Update();
    std::array<uint32_t, kRegisters> m_lines{};
    std::array<uint32_t, kRegisters> m_enable{};
    std::array<uint32_t, kRegisters> m_steer{};
    std::array<uint32_t, kRegisters> m_message{};
    uint32_t m_pending = 0;
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
