// The board's NOR flash that holds the controller's own firmware, and the
// image format the boot ROM and the firmware agree on.
//
// The flash is read through its window and changed only through its
// controller's registers: a sector erase sets every byte of a 64 KB sector to
// 0xFF, a program stores one 32-bit word and can only clear bits.  It holds
// two image slots; each ends with a slot record written after its image, so
// the boot ROM starts the newest slot whose record and image are whole and a
// power cut during an update leaves the other slot to start from.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

constexpr uint32_t FLASH_WINDOW_BASE = 0xF4000000;
constexpr uint32_t FLASH_SIZE = 0x800000;
constexpr uint32_t FLASH_SECTOR_SIZE = 0x10000;

// The flash controller's registers.
constexpr uint32_t FLASH_CTRL_BASE = 0xF3000000;
constexpr uint32_t FLASH_CTRL_SIZE = 0x10;
constexpr uint32_t FLASH_REG_COMMAND = 0x0;   // write a command: it starts
constexpr uint32_t FLASH_REG_ADDRESS = 0x4;   // offset in the flash
constexpr uint32_t FLASH_REG_DATA = 0x8;      // the word to program
constexpr uint32_t FLASH_REG_STATUS = 0xC;
constexpr uint32_t FLASH_CMD_PROGRAM = 0xA0;
constexpr uint32_t FLASH_CMD_ERASE_SECTOR = 0x30;
constexpr uint32_t FLASH_STATUS_BUSY = 0x1;
// The last command failed: a program that would set a bit, a sector that
// did not erase, a command while busy.
constexpr uint32_t FLASH_STATUS_ERROR = 0x2;
// Worst cases the firmware waits for.
constexpr uint32_t FLASH_PROGRAM_US = 20;
constexpr uint32_t FLASH_ERASE_US = 300000;

// Two slots of 4 MB; a slot's last sector holds its record.
constexpr uint32_t FLASH_SLOTS = 2;
constexpr uint32_t FLASH_SLOT_SIZE = FLASH_SIZE / FLASH_SLOTS;
constexpr uint32_t FLASH_SLOT_RECORD_OFFSET = FLASH_SLOT_SIZE - FLASH_SECTOR_SIZE;
constexpr uint32_t FLASH_IMAGE_MAX = FLASH_SLOT_RECORD_OFFSET;
constexpr uint32_t FLASH_SLOT_MAGIC = 0x534C4F54;   // "SLOT"

#pragma pack(push, 1)
struct FLASH_SLOT_RECORD {
    uint32_t dMagic;
    uint32_t dSequence;        // the newer slot has the larger
    uint32_t dImageLength;
    uint32_t dImageChecksum;   // XOR of the image's words, the last zero-padded
    uint32_t dRecordCheck;     // ~(XOR of the four words before): written last
};
static_assert(sizeof(FLASH_SLOT_RECORD) == 20);

// A controller firmware image: this header, then the ELF32 file(s) it names.
constexpr uint32_t FIRMWARE_SIGNATURE_BYTES = 32;
constexpr uint8_t FIRMWARE_HEADER_VERSION = 1;
struct FIRMWARE_IMAGE_HEADER {
    uint8_t abSignature[FIRMWARE_SIGNATURE_BYTES];
    uint32_t dImageLength;       // header included
    uint8_t bVersion;            // of this header's form
    uint8_t abReserved[3];
    uint32_t dChecksum;          // XOR of the main ELF file's words
    uint32_t dElfOffset;
    uint32_t dElfLength;
    uint32_t dSecondElfOffset;   // 0: none
    uint32_t dSecondElfLength;
    uint32_t dSecondChecksum;
};
static_assert(sizeof(FIRMWARE_IMAGE_HEADER) == 64);
static_assert(offsetof(FIRMWARE_IMAGE_HEADER, dImageLength) == 32);
static_assert(offsetof(FIRMWARE_IMAGE_HEADER, bVersion) == 36);
static_assert(offsetof(FIRMWARE_IMAGE_HEADER, dChecksum) == 40);
static_assert(offsetof(FIRMWARE_IMAGE_HEADER, dElfOffset) == 44);
#pragma pack(pop)

inline constexpr uint8_t FIRMWARE_SIGNATURE[FIRMWARE_SIGNATURE_BYTES] = {
    'C', 'T', 'L', 'R', ' ', 'C', 'O', 'N', 'T', 'R', 'O', 'L', 'L', 'E', 'R', ' ',
    'F', 'I', 'R', 'M', 'W', 'A', 'R', 'E', ' ', 'I', 'M', 'A', 'G', 'E', ' ', '1'};

// The ELF32 identification an image's programs must carry: 32-bit,
// little-endian, for the ARM processor.
constexpr uint32_t ELF32_HEADER_BYTES = 52;
constexpr uint8_t ELF_CLASS_32 = 1;
constexpr uint8_t ELF_DATA_LITTLE = 1;
constexpr uint16_t ELF_MACHINE_ARM = 40;
constexpr uint32_t ELF_MACHINE_OFFSET = 18;

}  // namespace fw
