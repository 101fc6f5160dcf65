// Truth values and status bytes shared by every subsystem.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t TRUE = 0xF1;
constexpr uint8_t FALSE = 0xF0;

constexpr uint8_t STATUS_OK = 0xFF;
constexpr uint8_t STATUS_RETRY = 16;        // resource exhausted, run again
constexpr uint8_t STATUS_NO_PAGES = 66;     // no buffer pages or nodes free
constexpr uint8_t STATUS_LOCK_HELD = 0x30;  // '0': the interrupt lock was held
constexpr uint8_t STATUS_FOUND = 17;
constexpr uint8_t STATUS_NOT_FOUND = 18;

inline uint8_t ToFlag(bool b) { return b ? TRUE : FALSE; }

}  // namespace fw
