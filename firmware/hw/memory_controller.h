// The processor's memory controller: SDRAM bank size, ECC error logs and
// the error interrupt status.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t MCU_BASE = 0xFFD81800;
constexpr uint32_t MCU_SIZE = 0x70;

constexpr uint32_t MCU_SBSR = MCU_BASE + 0x14;        // SDRAM bank size
constexpr uint32_t MCU_ECCR = MCU_BASE + 0x1C;        // ECC control
constexpr uint32_t MCU_ELOG0 = MCU_BASE + 0x20;       // error logs: syndrome, multi-bit flag
constexpr uint32_t MCU_ELOG1 = MCU_BASE + 0x24;
constexpr uint32_t MCU_ECAR0 = MCU_BASE + 0x28;       // error addresses
constexpr uint32_t MCU_ECAR1 = MCU_BASE + 0x2C;
constexpr uint32_t MCU_ECTST0 = MCU_BASE + 0x30;      // error context
constexpr uint32_t MCU_ECTST1 = MCU_BASE + 0x34;
constexpr uint32_t MCU_MCISR = MCU_BASE + 0x60;       // interrupt status: write 1 to clear
constexpr uint32_t MCU_RFR = MCU_BASE + 0x68;         // refresh and timing set-up

// MCU_SBSR: bits 31-27 the size code (1 128 MB, 2 256 MB, 4 512 MB, 8 1 GB);
// a clear bit 2 doubles it.
constexpr uint32_t MCU_SBSR_SIZE_SHIFT = 27;
constexpr uint32_t MCU_SBSR_SINGLE_SIDED = 1u << 2;

// MCU_ECCR values: reporting of correctable errors off or on.
constexpr uint32_t MCU_ECCR_REPORTING_OFF = 14;
constexpr uint32_t MCU_ECCR_REPORTING_ON = 15;

// MCU_ELOGn: the syndrome in bits 0-7.
constexpr uint32_t MCU_ELOG_MULTI_BIT = 1u << 8;

// MCU_MCISR: a log in use, or both in use and another error lost.
constexpr uint32_t MCU_MCISR_ERROR0 = 1u << 0;
constexpr uint32_t MCU_MCISR_ERROR1 = 1u << 1;
constexpr uint32_t MCU_MCISR_OVERFLOW = 1u << 2;

}  // namespace fw
