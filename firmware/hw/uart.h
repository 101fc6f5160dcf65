// The processor's console UART: 16550-style byte registers, 4 bytes apart.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t UART_BASE = 0xFFD82300;
constexpr uint32_t UART_SIZE = 0x20;

// Offsets from UART_BASE.
constexpr uint32_t UART_DATA = 0x00;   // receive / transmit holding; divisor low while DLAB
constexpr uint32_t UART_IER = 0x04;    // interrupt enable; divisor high while DLAB
constexpr uint32_t UART_IIR = 0x08;    // interrupt identity (read)
constexpr uint32_t UART_FCR = 0x08;    // FIFO control (write)
constexpr uint32_t UART_LCR = 0x0C;
constexpr uint32_t UART_MCR = 0x10;
constexpr uint32_t UART_LSR = 0x14;

constexpr uint8_t UART_IER_RX_DATA = 0x01;
constexpr uint8_t UART_IER_UNIT_ENABLE = 0x40;
constexpr uint8_t UART_IIR_NONE = 0x01;
constexpr uint8_t UART_IIR_RX_DATA = 0x04;
constexpr uint8_t UART_FCR_FIFO_ON = 0x01;
constexpr uint8_t UART_LCR_8N1 = 0x03;
constexpr uint8_t UART_LCR_DLAB = 0x80;        // divisor latch access
constexpr uint8_t UART_MCR_OUT2 = 0x08;
constexpr uint8_t UART_LSR_RX_READY = 0x01;
constexpr uint8_t UART_LSR_TX_READY = 0x20;    // holding register empty
constexpr uint8_t UART_LSR_TX_IDLE = 0x40;     // transmitter empty

}  // namespace fw
