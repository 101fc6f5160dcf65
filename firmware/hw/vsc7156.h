// The onboard VSC7156 SAS expander of the Z8Q2 board: the serial (SPI)
// flash it boots from, reached through SPI registers of the board CPLD,
// and the serial EEPROM (SEEPROM) on I2C unit 2 that holds its identity
// and phy set-up.  Besides the registers this header holds what the
// controller and the board agree on: the flash layout with its two
// firmware slots and their trailers, the download file's header lines,
// the boot image and expander file the controller carries, and the
// SEEPROM image the controller expects.
#pragma once

#include <cstdint>
#include <cstring>

namespace fw {

// CPLD SPI registers (16-bit).
constexpr uint32_t VSC_SPI_CONTROL = 0xF100F050;
constexpr uint32_t VSC_SPI_OPCODE = 0xF100F052;   // opcode in 15:8, address 23:16 in 7:0
constexpr uint32_t VSC_SPI_ADDRESS = 0xF100F054;  // address 15:0
constexpr uint32_t VSC_SPI_WINDOW = 0xF100F100;   // one page as 16-bit words, bytes swapped
constexpr uint16_t VSC_SPI_CHIP_ENABLE = 0x0001;
constexpr uint16_t VSC_SPI_START = 0x0002;
constexpr uint16_t VSC_SPI_WRITE_DONE = 0x0004;
constexpr uint16_t VSC_SPI_READ_DONE = 0x0008;
constexpr uint16_t VSC_SPI_READY = 0x0010;
constexpr uint16_t VSC_SPI_READ_MODE = 0x0020;

constexpr uint8_t VSC_SPI_READ_STATUS = 0x05;
constexpr uint8_t VSC_SPI_WRITE_ENABLE = 0x06;
constexpr uint8_t VSC_SPI_PAGE_PROGRAM = 0x02;
constexpr uint8_t VSC_SPI_SECTOR_ERASE = 0xD8;
constexpr uint8_t VSC_SPI_BULK_ERASE = 0xC7;
constexpr uint8_t VSC_SPI_READ = 0x03;

constexpr uint32_t VSC_FLASH_SIZE = 0x400000;
constexpr uint32_t VSC_SECTOR_SIZE = 0x10000;
constexpr uint32_t VSC_PAGE_SIZE = 0x100;

// Two firmware slots, each with a 64-byte trailer at the end of its last
// page; the boot image sits in sector 0.
constexpr uint32_t VSC_SLOTS = 2;
constexpr uint32_t VSC_SLOT_BASE[VSC_SLOTS] = {0x000000, 0x200000};
constexpr uint32_t VSC_SLOT_IMAGE[VSC_SLOTS] = {0x010000, 0x210000};
constexpr uint32_t VSC_SLOT_TRAILER[VSC_SLOTS] = {0x1FFFC0, 0x3FFFC0};
// The most image a slot holds: up to its trailer.
constexpr uint32_t VSC_SLOT_IMAGE_MAX = VSC_SLOT_TRAILER[0] - VSC_SLOT_IMAGE[0];
constexpr uint32_t VSC_BOOT_IMAGE_BYTES = 0x1410;

// The trailer, big-endian fields.
constexpr uint32_t VSC_TRAILER_BYTES = 64;
constexpr uint32_t VSC_TRAILER_SEQUENCE = 24;
constexpr uint32_t VSC_TRAILER_SIZE = 28;
constexpr uint32_t VSC_TRAILER_REV_ID = 32;
constexpr uint32_t VSC_TRAILER_CRC = 54;
constexpr uint32_t VSC_TRAILER_FLAGS = 56;
constexpr uint32_t VSC_TRAILER_SIGNATURE = 60;
constexpr uint32_t VSC_REV_ID_BYTES = 20;
constexpr uint32_t VSC_MATCH_ID_BYTES = 15;
constexpr char VSC_TRAILER_SIGNATURE_TEXT[4] = {'F', 'W', 'I', 0};
constexpr char VSC_MATCH_ID[VSC_MATCH_ID_BYTES + 1] = "FWHRBL/M25P32  ";

// The download file: 32-byte text lines, the image after the "VITESSE: " line.
constexpr uint32_t VSC_FILE_LINE_BYTES = 32;
constexpr uint32_t VSC_FILE_HEADER_SEARCH = 0x52150;

// The SEEPROM: 8 KB at 0xA2 on I2C unit 2, 32 bytes an access, each access
// preceded by its 2-byte big-endian offset.
constexpr uint8_t VSC_SEEPROM_UNIT = 2;
constexpr uint8_t VSC_SEEPROM_ADDRESS = 0xA2;
constexpr uint32_t VSC_SEEPROM_BYTES = 8192;
constexpr uint32_t VSC_SEEPROM_CHUNK = 32;
constexpr uint32_t VSC_PHYS = 24;
constexpr uint32_t VSC_PHY_ROW_BYTES = 11;

// The per-phy set-up rows, one table per controller number (1, 2): byte 0
// the phy's activity indicator word's low byte, byte 1 its link setting,
// bytes 2-10 its transmitter and receiver settings.
constexpr uint8_t bVsc7156PhyRowByte(uint8_t bController, uint32_t dPhy, uint32_t dByte) {
    if (dByte == 0) return static_cast<uint8_t>(0x20 + dPhy);
    if (dByte == 1) return static_cast<uint8_t>(dPhy < 12 ? 0x83 : 0x81);
    return static_cast<uint8_t>((bController == 2 ? 0x40 : 0x10) + dPhy * 3 + dByte);
}

// The SEEPROM image the controller expects, built over the current
// contents: the SAS address (low 10 bits cleared, bit 0 set; 0 keeps the
// current one), the vendor
// (8) and product (16) identification, the phy set-up, zero from 564 on.
inline void BuildVsc7156SeepromImage(uint8_t* pbImage, uint64_t lSasAddress, const uint8_t* pbVendor,
                                     const uint8_t* pbProduct, uint8_t bController) {
    const uint64_t lAddress = (lSasAddress & ~0x3FFull) | 1;
    pbImage[0] = 0xAA;
    // No address (a board that lost its WWN) keeps the one it has.
    for (uint32_t i = 0; i < 8 && lSasAddress != 0; ++i) pbImage[1 + i] = static_cast<uint8_t>(lAddress >> (56 - 8 * i));
    pbImage[9] = 0xAA;
    std::memcpy(pbImage + 10, pbVendor, 8);
    pbImage[18] = 0xAA;
    std::memcpy(pbImage + 19, pbProduct, 16);
    pbImage[87] = 0xAA;
    for (uint32_t p = 0; p < VSC_PHYS; ++p) {
        pbImage[88 + p] = bVsc7156PhyRowByte(bController, p, 1);
        for (uint32_t k = 0; k < 9; ++k) pbImage[124 + 9 * p + k] = bVsc7156PhyRowByte(bController, p, 2 + k);
    }
    std::memset(pbImage + 564, 0, VSC_SEEPROM_BYTES - 564);
}

// The boot image and the expander firmware the controller carries: their
// bytes follow from their index, so the board's factory flash and the
// controller's copy are the same without a table in either.
constexpr uint8_t bVsc7156BootImageByte(uint32_t i) { return static_cast<uint8_t>(0xB0 ^ (i * 13) ^ (i >> 8)); }
constexpr uint32_t VSC_CARRIED_IMAGE_BYTES = 0x12340;
constexpr uint8_t bVsc7156CarriedImageByte(uint32_t i) { return static_cast<uint8_t>(i * 7 + (i >> 11) + 0x5A); }
constexpr char VSC_CARRIED_REV_ID[VSC_REV_ID_BYTES + 1] = "VSC7156 FW 2.04.00  ";

// The CRC the file header and the trailer carry: the controller's CRC-16
// (polynomial 0x1021, initial value 0, the message shifted through the
// register), bit by bit for the board's side.
inline uint16_t wVsc7156Crc16(const uint8_t* pb, uint32_t dLength) {
    uint32_t c = 0;
    for (uint32_t i = 0; i < dLength; ++i) {
        for (int b = 7; b >= 0; --b) {
            const bool fOut = (c & 0x8000) != 0;
            c = ((c << 1) | ((pb[i] >> b) & 1u)) & 0xFFFF;
            if (fOut) c ^= 0x1021;
        }
    }
    return static_cast<uint16_t>(c);
}

}  // namespace fw
