// SMP, the management protocol of SAS expanders, as far as the firmware
// speaks it through the drive-side controller's passthrough: frame types,
// the functions used, their results and the phy operations of PHY CONTROL.
//
// One home for the firmware's requests and the expander model's answers.
#pragma once

#include <cstdint>

namespace fw {

// ---- frame types (byte 0) ----
constexpr uint8_t SMP_FRAME_REQUEST = 0x40;
constexpr uint8_t SMP_FRAME_RESPONSE = 0x41;

// ---- functions (byte 1) ----
constexpr uint8_t SMP_REPORT_MANUFACTURER = 0x01;
constexpr uint8_t SMP_REPORT_PHY_ERROR_LOG = 0x11;
constexpr uint8_t SMP_PHY_CONTROL = 0x91;

// ---- function results (byte 2 of a response) ----
constexpr uint8_t SMP_RESULT_ACCEPTED = 0x00;
constexpr uint8_t SMP_RESULT_UNKNOWN_FUNCTION = 0x01;
constexpr uint8_t SMP_RESULT_FUNCTION_FAILED = 0x02;
constexpr uint8_t SMP_RESULT_NO_SUCH_PHY = 0x10;

// ---- requests and responses that name a phy: its number in byte 9 ----
constexpr uint32_t SMP_PHY_IDENTIFIER_OFFSET = 9;
// PHY CONTROL: the operation in byte 10.
constexpr uint32_t SMP_PHY_OPERATION_OFFSET = 10;
constexpr uint8_t SMP_PHY_LINK_RESET = 1;
constexpr uint8_t SMP_PHY_HARD_RESET = 2;
constexpr uint8_t SMP_PHY_DISABLE = 3;
constexpr uint8_t SMP_PHY_CLEAR_ERROR_LOG = 5;
constexpr uint8_t SMP_PHY_PORT_SELECT = 7;   // transmit the SATA port selection signal

// ---- REPORT PHY ERROR LOG response: four big-endian counters ----
constexpr uint32_t SMP_PHY_ERROR_LOG_BYTES = 28;
constexpr uint32_t SMP_PHY_ERROR_COUNTERS_OFFSET = 12;   // invalid dwords, disparity, loss of sync, reset problems

// ---- REPORT MANUFACTURER INFORMATION response ----
constexpr uint32_t SMP_MANUFACTURER_BYTES = 60;
constexpr uint32_t SMP_MANUFACTURER_VENDOR_OFFSET = 12;    // 8 bytes, space padded
constexpr uint32_t SMP_MANUFACTURER_PRODUCT_OFFSET = 20;   // 16 bytes
constexpr uint32_t SMP_MANUFACTURER_REVISION_OFFSET = 36;  // 4 bytes

}  // namespace fw
