// SCSI enclosure services: the diagnostic pages an enclosure processor
// serves (RECEIVE DIAGNOSTIC RESULTS) and takes (SEND DIAGNOSTIC), their
// element types and the bits of the element status and control bytes the
// controller reads and writes, and the vendor slot page.  The enclosure
// processors are outside devices: these are the fields both sides rely on.
#pragma once

#include <cstdint>

namespace fw {

// Page codes.
constexpr uint8_t SES_PAGE_SUPPORTED = 0x00;
constexpr uint8_t SES_PAGE_CONFIGURATION = 0x01;
constexpr uint8_t SES_PAGE_STATUS = 0x02;    // enclosure control on the way out
constexpr uint8_t SES_PAGE_STRING = 0x04;
constexpr uint8_t SES_PAGE_THRESHOLD = 0x05;
constexpr uint8_t SES_PAGE_ARRAY = 0x06;     // array status, array control out
constexpr uint8_t SES_PAGE_DESCRIPTOR = 0x07;
constexpr uint8_t SES_PAGE_SLOT = 0x89;      // vendor: slot power

// Every page but the supported list and the slot page: code, flags byte,
// big-endian length of what follows byte 3, generation code.
constexpr uint32_t SES_PAGE_HEADER_BYTES = 8;
constexpr uint32_t SES_PAGE_LENGTH_OFFSET = 2;
// Status and array pages, byte 1: a status that changed since the page was
// last read whole, and the summary of what is critical or not.
constexpr uint8_t SES_STATUS_INFO = 0x08;
constexpr uint8_t SES_STATUS_NONCRITICAL = 0x04;
constexpr uint8_t SES_STATUS_CRITICAL = 0x02;

// Configuration page: the enclosure descriptor from byte 8; its byte 2 (page
// byte 10) counts the type headers and its byte 3 (page byte 11) is its
// length after byte 3.  The headers (4 bytes: type, possible elements,
// subenclosure, text length) follow the descriptor, then their texts.
constexpr uint32_t SES_CONFIG_TYPE_COUNT_OFFSET = 10;
constexpr uint32_t SES_CONFIG_DESCRIPTOR_LENGTH_OFFSET = 11;
constexpr uint32_t SES_CONFIG_IDENTIFIER_OFFSET = 12;   // 8-byte logical identifier
constexpr uint32_t SES_CONFIG_VENDOR_OFFSET = 20;       // 8 vendor, 16 product bytes
constexpr uint32_t SES_CONFIG_PRODUCT_OFFSET = 28;
constexpr uint32_t SES_CONFIG_REVISION_OFFSET = 44;
constexpr uint32_t SES_CONFIG_DESCRIPTOR_BYTES = 40;    // from page byte 8
constexpr uint32_t SES_TYPE_HEADER_BYTES = 4;

// Element types.
constexpr uint8_t SES_TYPE_DEVICE = 0x01;
constexpr uint8_t SES_TYPE_POWER_SUPPLY = 0x02;
constexpr uint8_t SES_TYPE_COOLING = 0x03;
constexpr uint8_t SES_TYPE_TEMPERATURE = 0x04;
constexpr uint8_t SES_TYPE_ALARM = 0x06;
constexpr uint8_t SES_TYPE_ESCE = 0x07;
constexpr uint8_t SES_TYPE_DISPLAY = 0x0C;
constexpr uint8_t SES_TYPE_ENCLOSURE = 0x0E;
constexpr uint8_t SES_TYPE_ARRAY_DEVICE = 0x17;

// Status and control elements: 4 bytes; in the status and array pages each
// type has an overall element ahead of its individual ones.
constexpr uint32_t SES_ELEMENT_BYTES = 4;
constexpr uint8_t SES_CONTROL_SELECT = 0x80;   // byte 0 of a control element
constexpr uint8_t SES_STATUS_CODE_MASK = 0x0F; // byte 0 of a status element
constexpr uint8_t SES_CODE_UNSUPPORTED = 0;
constexpr uint8_t SES_CODE_OK = 1;
constexpr uint8_t SES_CODE_CRITICAL = 2;
constexpr uint8_t SES_CODE_NONCRITICAL = 3;
constexpr uint8_t SES_CODE_UNRECOVERABLE = 4;
constexpr uint8_t SES_CODE_NOT_INSTALLED = 5;
constexpr uint8_t SES_CODE_UNKNOWN = 6;

// Device elements: byte 1 the slot address (status) or the array requests
// (control, as byte 1 of the array page); byte 2 identify; byte 3 fault and
// power.
constexpr uint8_t SES_DEVICE_ARRAY_OK = 0x80;
constexpr uint8_t SES_DEVICE_ARRAY_HOT_SPARE = 0x20;
constexpr uint8_t SES_DEVICE_ARRAY_CONSISTENCY = 0x10;
constexpr uint8_t SES_DEVICE_ARRAY_CRITICAL = 0x08;
constexpr uint8_t SES_DEVICE_ARRAY_FAILED = 0x04;
constexpr uint8_t SES_DEVICE_ARRAY_REBUILD = 0x02;
constexpr uint8_t SES_DEVICE_IDENTIFY = 0x02;      // byte 2
constexpr uint8_t SES_DEVICE_FAULT_SENSED = 0x40;  // byte 3, status
constexpr uint8_t SES_DEVICE_FAULT = 0x20;         // byte 3, requested
constexpr uint8_t SES_DEVICE_OFF = 0x10;           // byte 3

// Power supply, byte 3.
constexpr uint8_t SES_SUPPLY_FAIL = 0x40;
constexpr uint8_t SES_SUPPLY_OFF = 0x10;
constexpr uint8_t SES_SUPPLY_AC_FAIL = 0x02;
constexpr uint8_t SES_SUPPLY_DC_FAIL = 0x01;

// Cooling: bytes 1 (low 3 bits) and 2 hold the speed in tens of RPM; byte 3
// the fail bit, the request to run and the speed code (0 stopped .. 7
// highest), the code asked for in a control element.
constexpr uint8_t SES_COOLING_FAIL = 0x40;
constexpr uint8_t SES_COOLING_ON = 0x20;
constexpr uint8_t SES_COOLING_OFF = 0x10;
constexpr uint8_t SES_COOLING_SPEED_MASK = 0x07;
constexpr uint32_t SES_COOLING_RPM_UNIT = 10;

// Temperature: byte 2 the temperature + 20 °C (0: not known), byte 3 the
// over-temperature bits.
constexpr uint8_t SES_TEMPERATURE_OFFSET = 20;
constexpr uint8_t SES_TEMPERATURE_OT_FAILURE = 0x08;
constexpr uint8_t SES_TEMPERATURE_OT_WARNING = 0x04;

// Audible alarm, byte 3: status shows mute and remind and the tone that
// sounds; control asks for them.
constexpr uint8_t SES_ALARM_MUTED = 0x40;
constexpr uint8_t SES_ALARM_REMIND = 0x10;
constexpr uint8_t SES_ALARM_TONE_MASK = 0x0F;

// Enclosure and display elements, byte 1: identify.
constexpr uint8_t SES_ENCLOSURE_IDENTIFY = 0x80;

// Threshold page: per element high critical, high warning, low warning,
// low critical (temperatures as in the status element).
// Element descriptor page: per type an overall descriptor, then one per
// element, each a 4-byte header (bytes 2-3 the text length) and its text.

// Vendor slot page: 62 bytes; header, an overall element at 8, the slots'
// elements from 12 (byte 3 bit 0x10: powered off), a CRC-16 (polynomial
// 0x1021, initial 0) over bytes 8..59 stored big-endian at 60.
constexpr uint32_t SES_SLOT_PAGE_BYTES = 62;
constexpr uint32_t SES_SLOT_PAGE_SLOTS = 12;
constexpr uint32_t SES_SLOT_PAGE_FIRST_ELEMENT = 12;
constexpr uint32_t SES_SLOT_PAGE_CRC_FROM = 8;
constexpr uint32_t SES_SLOT_PAGE_CRC_OFFSET = 60;
constexpr uint8_t SES_SLOT_POWER_OFF = 0x10;

}  // namespace fw
