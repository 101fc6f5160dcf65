// The processor's 16550-style UART at 0xFFD82300 (byte registers, 4 apart):
// the console.  What it transmits is kept for tests and passed to a sink
// (the terminal, a pipe); what it receives raises its interrupt line while
// receive interrupts are on.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "hw/uart.h"
#include "sim/bus.h"
#include "sim/interrupt_controller.h"

namespace sim {

class Uart : public Device {
public:
    static constexpr uint32_t kBase = fw::UART_BASE;
    static constexpr uint32_t kSize = fw::UART_SIZE;
    explicit Uart(InterruptLine line) : m_line(line) {}
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;
    void Receive(const std::string& bytes);
    bool ReceivePending() const { return !m_rx.empty(); }
    // The last of what was transmitted, at least kTranscriptTail bytes of
    // it: a console that runs for days keeps no more than this.
    static constexpr size_t kTranscriptTail = 4u << 20;
    const std::string& Transmitted() const { return m_tx; }
    void ClearTransmitted() { m_tx.clear(); }
    // Where transmitted bytes go besides the record (the terminal, a pipe).
    std::function<void(char)> sink;
    uint32_t Divisor() const { return m_dll | m_dlh << 8; }
    uint8_t LineControl() const { return m_lcr; }

private:
    void UpdateLine();
    InterruptLine m_line;
    std::deque<uint8_t> m_rx;
    std::string m_tx;
    uint8_t m_ier = 0, m_lcr = 0, m_mcr = 0, m_fcr = 0, m_dll = 0, m_dlh = 0;
};

}  // namespace sim
