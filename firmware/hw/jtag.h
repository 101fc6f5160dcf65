// The JTAG master the board FPGA is programmed through: a control
// register, a data port taking the bitstream a word at a time, a status
// register.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t JTAG_BASE = 0xFFD82700;
constexpr uint32_t JTAG_SIZE = 0x10;
constexpr uint32_t JTAG_CONTROL = JTAG_BASE + 0x00;
constexpr uint32_t JTAG_DATA = JTAG_BASE + 0x04;
constexpr uint32_t JTAG_STATUS = JTAG_BASE + 0x08;

constexpr uint32_t JTAG_CONTROL_START = 1u << 0;
constexpr uint32_t JTAG_CONTROL_FINISH = 1u << 1;
constexpr uint32_t JTAG_STATUS_DONE = 1u << 0;
constexpr uint32_t JTAG_STATUS_ERROR = 1u << 1;

// An FPGA bitstream starts with this word; the XOR over all its words,
// the trailing check word included, is zero.
constexpr uint32_t FPGA_BITSTREAM_HEADER = 0xB175F00D;

}  // namespace fw
