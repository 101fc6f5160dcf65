// The board FPGA and CPLD: 16-bit registers at 0xF100F000.
//
// Shared by the firmware and the board model, so both agree on every
// address and bit.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t FPGA_BASE = 0xF100F000;
constexpr uint32_t FPGA_SIZE = 0x20;

constexpr uint32_t FPGA_CONTROL = FPGA_BASE + 0x00;
constexpr uint32_t FPGA_SLOT = FPGA_BASE + 0x02;           // slot strap and indicators
constexpr uint32_t FPGA_WATCHDOG_KEY = FPGA_BASE + 0x04;
constexpr uint32_t FPGA_WATCHDOG = FPGA_BASE + 0x06;       // 1 runs it; a 0-then-1 pulse is the heartbeat
constexpr uint32_t FPGA_PARTNER_LINK = FPGA_BASE + 0x08;
constexpr uint32_t FPGA_LED = FPGA_BASE + 0x0C;
constexpr uint32_t FPGA_WATCHDOG_GATE = FPGA_BASE + 0x0E;
constexpr uint32_t FPGA_BOARD = FPGA_BASE + 0x10;
constexpr uint32_t FPGA_VERSION = FPGA_BASE + 0x16;        // all ones while the FPGA is blank
constexpr uint32_t FPGA_HW_VERSION = FPGA_BASE + 0x18;

// FPGA_CONTROL.
constexpr uint16_t FPGA_CONTROL_BOARD_RESET = 1u << 0;
constexpr uint16_t FPGA_CONTROL_FPGA_RESET = 1u << 2;
constexpr uint16_t FPGA_CONTROL_PROGRAMMED = 1u << 5;
constexpr uint16_t FPGA_CONTROL_PARTNER_HEARTBEAT = 1u << 9;   // a rising edge pulses the partner's line

// FPGA_SLOT.
constexpr uint16_t FPGA_SLOT1 = 1u << 6;                   // this board sits in controller slot 1
constexpr uint16_t FPGA_SLOT_STRAP = 1u << 8;
constexpr uint16_t FPGA_READY_LEDS = 0x0608;               // set: the ready indicators are off

// FPGA_WATCHDOG_KEY, FPGA_WATCHDOG_GATE.
constexpr uint16_t FPGA_WATCHDOG_UNLOCK = 0xEE2F;
constexpr uint16_t FPGA_WATCHDOG_GATE_OFF = 1u << 5;

// FPGA_PARTNER_LINK: the partner heartbeat interrupt is acknowledged by
// pulsing this bit.
constexpr uint16_t FPGA_PARTNER_LINK_ACK = 1u << 7;

// FPGA_LED.
constexpr uint16_t FPGA_LED_LINE_MODE = 1u << 4;
constexpr uint16_t FPGA_LED_CACHE_DATA = 1u << 7;
constexpr uint16_t FPGA_LED_BATTERY_FAULT = 1u << 9;

// FPGA_BOARD.
constexpr uint16_t FPGA_BOARD_ALTERNATE_BACKPLANE = 1u << 3;
// A test board with the Fibre Channel drive-loop chips 3 and 4 fitted.
constexpr uint16_t FPGA_BOARD_DRIVE_LOOPS = 1u << 4;

}  // namespace fw
