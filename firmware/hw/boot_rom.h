// What the boot ROM leaves for the firmware: its parameter block in low
// memory, and the exception vector page whose literal slots hold the
// handler addresses the processor enters.
#pragma once

#include <cstdint>

namespace fw {

// The parameter block (block version 2 and later).
constexpr uint32_t BOOT_BLOCK_ADDRESS = 0x001FFC00;
constexpr uint32_t BOOT_BLOCK_END = 0x00280000;
constexpr uint32_t BOOT_BLOCK_VERSION = 0x00;       // offsets in the block
constexpr uint32_t BOOT_BLOCK_BYTES = 0x04;
constexpr uint32_t BOOT_BLOCK_OEM_CODE = 0x08;      // version 1 and later
constexpr uint32_t BOOT_BLOCK_WORD = 0x0C;
constexpr uint32_t BOOT_BLOCK_MEMORY_SIZE = 0x14;
constexpr uint32_t BOOT_BLOCK_STACKS = 0x1C;        // eight exception stack words, version 3 and later
// Blocks older than version 2 leave the memory size here.
constexpr uint32_t BOOT_OLD_MEMORY_SIZE_ADDRESS = 0x0027FFFC;

// Literal slots of the vector page (offsets from address 0).
constexpr uint32_t VECTOR_SLOT_UNDEFINED = 0x20;
constexpr uint32_t VECTOR_SLOT_SOFTWARE_INTERRUPT = 0x24;
constexpr uint32_t VECTOR_SLOT_PREFETCH_ABORT = 0x28;
constexpr uint32_t VECTOR_SLOT_DATA_ABORT = 0x2C;
constexpr uint32_t VECTOR_SLOT_IRQ = 0x34;
constexpr uint32_t VECTOR_SLOT_FIQ = 0x38;

}  // namespace fw
