#include "sim/uart.h"

namespace sim {

uint32_t Uart::Read(uint32_t address, unsigned) {
    bool dlab = m_lcr & 0x80;
    switch (address - kBase) {
    case 0x00:
        if (dlab) return m_dll;
        if (m_rx.empty()) return 0;
        {
            uint8_t b = m_rx.front();
            m_rx.pop_front();
            UpdateLine();
            return b;
        }
    case 0x04: return dlab ? m_dlh : m_ier;
    case 0x08: return m_rx.empty() ? 0x01 : 0x04;  // IIR: none / receive data
    case 0x0C: return m_lcr;
    case 0x10: return m_mcr;
    case 0x14: return 0x60 | (m_rx.empty() ? 0 : 1);  // transmitter always ready
    default: return 0;
    }
}

void Uart::Write(uint32_t address, uint32_t value, unsigned) {
    uint8_t b = static_cast<uint8_t>(value);
    bool dlab = m_lcr & 0x80;
    switch (address - kBase) {
    case 0x00:
        if (dlab) {
            m_dll = b;
        } else {
            // Trimmed by half its room at a time, so each byte is moved once.
            if (m_tx.size() >= 2 * kTranscriptTail) m_tx.erase(0, m_tx.size() - kTranscriptTail);
            m_tx.push_back(static_cast<char>(b));
            if (sink) sink(static_cast<char>(b));
        }
        break;
    case 0x04:
        if (dlab) {
            m_dlh = b;
        } else {
            m_ier = b;
            UpdateLine();
        }
        break;
    case 0x08: m_fcr = b; break;
    case 0x0C: m_lcr = b; break;
    case 0x10: m_mcr = b; break;
    default: break;
    }
}

void Uart::Receive(const std::string& bytes) {
    for (char c : bytes) m_rx.push_back(static_cast<uint8_t>(c));
    UpdateLine();
}

void Uart::UpdateLine() { m_line.Set((m_ier & 0x01) && !m_rx.empty()); }

}  // namespace sim
