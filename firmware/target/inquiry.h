// INQUIRY: the standard data and the vital product data pages 0x00, 0x80,
// 0x81 and 0x83, answered for every LUN, mapped or not, before any
// reservation or unit attention check.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

constexpr uint16_t INQUIRY_DATA_LENGTH = 144;
constexpr uint16_t NO_LUN_NUMBER = 0xFFFF;

// Answers the INQUIRY at the head of the new-command ring: 255, or 66 when
// no buffer page is free (the command stays at the head).
uint8_t AnswerInquiry(KERNEL_ENTRY* psEntry);

// The unit serial number: the controller WWN's low 22 bits with the LUN
// number above them, as 8 upper-case hexadecimal digits, or for a snapshot
// VLUN as the letters G to V.
uint32_t dInquirySerialValue(uint16_t wLunNumber);
void FormatInquirySerial(uint32_t dValue, uint8_t fLetters, uint8_t* pbOut);

}  // namespace fw
