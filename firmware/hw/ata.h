// ATA as SATA drives speak it behind the drive-side controller: command
// codes, the features the firmware sets, and the ending status of a command.
//
// One home for what the firmware's SATA passthrough sends and the drive
// model answers.
#pragma once

#include <cstdint>

namespace fw {

// ---- command codes ----
constexpr uint8_t ATA_READ_DMA_EXT = 0x25;
constexpr uint8_t ATA_READ_LOG_EXT = 0x2F;
constexpr uint8_t ATA_WRITE_DMA_EXT = 0x35;
constexpr uint8_t ATA_WRITE_UNCORRECTABLE_EXT = 0x45;
constexpr uint8_t ATA_DOWNLOAD_MICROCODE = 0x92;
constexpr uint8_t ATA_SMART = 0xB0;
constexpr uint8_t ATA_STANDBY_IMMEDIATE = 0xE0;
constexpr uint8_t ATA_FLUSH_CACHE = 0xE7;
constexpr uint8_t ATA_FLUSH_CACHE_EXT = 0xEA;
constexpr uint8_t ATA_IDENTIFY_DEVICE = 0xEC;
constexpr uint8_t ATA_SET_FEATURES = 0xEF;

// ---- SET FEATURES subcommands (the features register) ----
constexpr uint8_t ATA_FEATURE_WRITE_CACHE_ON = 0x02;
constexpr uint8_t ATA_FEATURE_TRANSFER_MODE = 0x03;
constexpr uint8_t ATA_FEATURE_LOOK_AHEAD_OFF = 0x55;
constexpr uint8_t ATA_FEATURE_WRITE_CACHE_OFF = 0x82;
constexpr uint8_t ATA_FEATURE_LOOK_AHEAD_ON = 0xAA;

// ---- DOWNLOAD MICROCODE subcommands (the features register); the count
// is in 512-byte blocks, the offset (with offsets) in blocks in the LBA ----
constexpr uint8_t ATA_MICROCODE_OFFSETS_SAVE = 0x03;
constexpr uint8_t ATA_MICROCODE_SAVE = 0x07;
constexpr uint32_t ATA_MICROCODE_BLOCK_BYTES = 512;

// ---- WRITE UNCORRECTABLE EXT kinds (the features register) ----
constexpr uint8_t ATA_UNCORRECTABLE_PSEUDO = 0x55;
constexpr uint8_t ATA_UNCORRECTABLE_PSEUDO_UNLOGGED = 0x5A;
constexpr uint8_t ATA_UNCORRECTABLE_FLAGGED_UNLOGGED = 0xA5;
constexpr uint8_t ATA_UNCORRECTABLE_FLAGGED = 0xAA;

// ---- SMART ----
constexpr uint8_t ATA_SMART_RETURN_STATUS = 0xDA;   // features register
// LBA mid and high of every SMART command; the device leaves them so while
// no threshold is exceeded.
constexpr uint8_t ATA_SMART_LBA_MID = 0x4F;
constexpr uint8_t ATA_SMART_LBA_HIGH = 0xC2;
constexpr uint32_t ATA_SMART_SIGNATURE = uint32_t(ATA_SMART_LBA_HIGH) << 16 | uint32_t(ATA_SMART_LBA_MID) << 8;

// ---- READ LOG EXT ----
constexpr uint8_t ATA_LOG_DIRECTORY = 0x00;
constexpr uint8_t ATA_LOG_EXTENDED_ERROR = 0x07;

// ---- FIS types ----
constexpr uint8_t FIS_TYPE_REGISTER_D2H = 0x34;

// ---- device register ----
constexpr uint8_t ATA_DEVICE_LBA = 0x40;

// ---- ending status and error registers ----
constexpr uint8_t ATA_STATUS_GOOD = 0x50;     // DRDY, DSC
constexpr uint8_t ATA_STATUS_ERROR = 0x51;    // ... with ERR: the error register says why
constexpr uint8_t ATA_STATUS_ERR = 0x01;
constexpr uint8_t ATA_ERROR_BIT0 = 0x01;
constexpr uint8_t ATA_ERROR_ABORTED = 0x04;
constexpr uint8_t ATA_ERROR_ID_NOT_FOUND = 0x10;
constexpr uint8_t ATA_ERROR_UNCORRECTABLE = 0x40;

}  // namespace fw
