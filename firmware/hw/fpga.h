// The board FPGA and CPLD: 16-bit registers at 0xF100F000.
//
// Shared by the firmware and the board model, so both agree on every
// address and bit.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t FPGA_BASE = 0xF100F000;
constexpr uint32_t FPGA_SIZE = 0x48;

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
// The chassis around the board (CPLD): indicators and sounder, bay
// presence, bay indicators, and the two fans' tachometers and drives.
constexpr uint32_t FPGA_CHASSIS_INDICATORS = FPGA_BASE + 0x1A;
constexpr uint32_t FPGA_BAY_PRESENCE = FPGA_BASE + 0x1C;
constexpr uint32_t FPGA_BAY_INDICATORS = FPGA_BASE + 0x20;   // 0x20, 0x22, 0x24: four bays each
constexpr uint32_t FPGA_FAN_TACHOMETER = FPGA_BASE + 0x40;   // fan 0, fan 1 at + 2
constexpr uint32_t FPGA_FAN_DRIVE = FPGA_BASE + 0x44;        // fan 0, fan 1 at + 2

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
// A test board whose ISP2x00 host chips run their RISC firmware from reset:
// nothing is loaded into them.  The production board never reports it.
constexpr uint16_t FPGA_BOARD_HOST_CHIP_FIRMWARE = 1u << 1;
// The chassis' lines in the same register: a press of the mute button
// (latched until read) and each supply's good and fault lines.
constexpr uint16_t FPGA_BOARD_MUTE_BUTTON = 1u << 0;
constexpr uint16_t FPGA_BOARD_SUPPLY0_FAULT = 1u << 6;
constexpr uint16_t FPGA_BOARD_SUPPLY1_FAULT = 1u << 7;
constexpr uint16_t FPGA_BOARD_SUPPLY0_GOOD = 1u << 8;
constexpr uint16_t FPGA_BOARD_SUPPLY1_GOOD = 1u << 9;

// FPGA_CHASSIS_INDICATORS: identify bits 0-1, fan and temperature bits 2-3,
// sounder bits 4-5, chassis fault bits 6-7, controller bits 8-9.
constexpr uint16_t FPGA_SOUNDER_MASK = 0x0030;

// FPGA_FAN_TACHOMETER: bit 13 starts a measurement, bit 14 reads 1 once it
// is done, bits 0-12 hold the revolutions per minute.
constexpr uint16_t FPGA_TACHOMETER_START = 1u << 13;
constexpr uint16_t FPGA_TACHOMETER_DONE = 1u << 14;
constexpr uint16_t FPGA_TACHOMETER_RPM = 0x1FFF;

// The chassis temperature sensors on I2C unit 0: one byte read gives the
// temperature in degrees Celsius.
constexpr uint8_t CHASSIS_SENSOR0_ADDRESS = 0x90;
constexpr uint8_t CHASSIS_SENSOR1_ADDRESS = 0x92;
// The board's own sensors on I2C unit 1, at this address and the next two
// (every second address): processor, board and battery.
constexpr uint8_t BOARD_SENSOR0_ADDRESS = 0x94;

}  // namespace fw
