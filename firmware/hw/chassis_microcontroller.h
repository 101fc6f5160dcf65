// The chassis microcontroller on I2C unit 0: one register byte written
// after the address, then a value written or, after a repeated start, a
// byte read.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t MICRO_ADDRESS = 0x80;
constexpr uint8_t MICRO_IDENTITY_VALUE = 0x21;

enum MicroRegister : uint8_t {
    MICRO_SUPPLY0_STATE = 0x01,    // bit 0 good, bit 1 fault
    MICRO_SUPPLY1_STATE = 0x04,
    MICRO_BAYS_EMPTY_LOW = 0x05,   // bit i: bay 1 + i is empty
    MICRO_BAYS_EMPTY_HIGH = 0x06,  // bit i: bay 9 + i is empty
    MICRO_CONFIG_FIRST = 0x10,
    MICRO_CONFIG_LAST = 0x17,
    MICRO_FAN0_CONTROL = 0x40,
    MICRO_FAN0_TACHOMETER = 0x42,  // count c: 600000 / c RPM; 255 the fan stands
    MICRO_FAN1_CONTROL = 0x44,
    MICRO_FAN1_TACHOMETER = 0x46,
    MICRO_SUPPLY0_GOOD_EVENT = 0x90,
    MICRO_SUPPLY0_FAULT_EVENT = 0x91,
    MICRO_FAN0_DRIVE = 0x9A,       // 0x20 + level (2-31), 0x3F full speed
    MICRO_FAN1_DRIVE = 0x9B,
    MICRO_SOUNDER = 0xC4,
    MICRO_SUPPLY1_GOOD_EVENT = 0xC5,
    MICRO_SUPPLY1_FAULT_EVENT = 0xC6,
    MICRO_MUTE_EVENT = 0xC7,
    MICRO_BAY1_EVENT = 0xD0,       // bays 1-8: 0xD0-0xD7
    MICRO_BAY9_EVENT = 0xE0,       // bays 9-12: 0xE0-0xE3
    MICRO_EVENT = 0xF8,            // the pending event's register; 0xFF written acknowledges it
    MICRO_IDENTITY = 0xFF,
};

constexpr uint8_t MICRO_EVENT_ENABLE = 0x0E;
constexpr uint8_t MICRO_MUTE_EVENT_ENABLE = 0x06;
constexpr uint8_t MICRO_EVENT_ACKNOWLEDGE = 0xFF;
constexpr uint8_t MICRO_FAN_DRIVE_BASE = 0x20;
constexpr uint8_t MICRO_FAN_DRIVE_FULL = 0x3F;
constexpr uint8_t MICRO_TACHOMETER_STOPPED = 255;
constexpr uint8_t MICRO_SOUNDER_ON = 0;
constexpr uint8_t MICRO_SOUNDER_OFF = 1;

// Each indicator takes two registers: bays 1-16 from 0x20 (two apart),
// then the chassis fault, supply, fan and temperature, controller and
// identify indicators from 0x50.
constexpr uint8_t MICRO_BAY_INDICATOR = 0x20;
constexpr uint8_t MICRO_CHASSIS_INDICATOR = 0x50;
constexpr uint8_t bMicroIndicatorRegister(uint8_t bIndex) {
    return bIndex < 16 ? static_cast<uint8_t>(MICRO_BAY_INDICATOR + 2 * bIndex)
                       : static_cast<uint8_t>(MICRO_CHASSIS_INDICATOR + 2 * (bIndex - 16));
}

}  // namespace fw
