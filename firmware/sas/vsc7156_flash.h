// The onboard VSC7156 expander's SPI flash and SEEPROM: the flash command
// primitives through the CPLD, the download of an expander firmware file
// into the older of the flash's two slots, the boot image, the start-up
// check that keeps SEEPROM and flash current, and the console self-tests.
#pragma once

#include <cstdint>

#include "hw/vsc7156.h"

namespace fw {

// Status codes of the downloads (also the first byte of event 153).
constexpr uint8_t VSC_DONE = 1;
constexpr uint8_t VSC_BOOT_DONE = 2;
constexpr uint8_t VSC_BAD_HEADER = 3;
constexpr uint8_t VSC_BAD_MATCH_ID = 4;
constexpr uint8_t VSC_BAD_CRC = 5;
constexpr uint8_t VSC_TRAILER_READ_FAILED = 6;
constexpr uint8_t VSC_ERASE_FAILED = 7;
constexpr uint8_t VSC_PROGRAM_FAILED = 8;
constexpr uint8_t VSC_VERIFY_FAILED = 9;
constexpr uint8_t VSC_TRAILER_VERIFY_FAILED = 10;

struct VSC_SLOT {
    uint8_t fValid;
    uint8_t abTrailer[VSC_TRAILER_BYTES];   // as in flash, big-endian
    uint32_t dSequence;
    uint32_t dImageSize;
    uint16_t wCrc;
    uint32_t dFlags;
};

struct VSC_FLASH_RECORD {
    uint32_t dFlashSize;
    uint32_t dSectorSize;
    uint32_t dPageSize;
    uint32_t dFailureAddress;
    uint16_t wExpectedCrc;
    uint16_t wComputedCrc;
    char acMatchId[VSC_MATCH_ID_BYTES];
    char acFlashRevId[VSC_REV_ID_BYTES];
    char acFileRevId[VSC_REV_ID_BYTES];
    VSC_SLOT asSlot[VSC_SLOTS];
};
const VSC_FLASH_RECORD& sGetVSC7156FlashRecord();

void SetVSC7156SPIChipEnable(uint8_t f);
void StartVSC7156SPICommand();
// 255 success, 0 failure (a time-out or a refused address).
uint8_t fVSC7156_SPIWaitReady(uint32_t dMilliseconds);
uint8_t fVSC7156_SPIWriteEnable();
uint8_t fVSC7156_SPIPageProgram(uint32_t dAddress, const uint8_t* pbPage);
uint8_t fVSC7156_SPISectorErase(uint32_t dAddress);
uint8_t fVSC7156_SPIBulkErase();
uint8_t bVSC7156_SPIReadPage(uint32_t dAddress, uint8_t* pbPage);
uint8_t bVSC7156_SPIRead(uint32_t dAddress, uint32_t dLength, uint8_t* pbBuffer);
uint8_t bVSC7156_SPIVerify(uint32_t dAddress, uint32_t dLength, const uint8_t* pbData);

void PrintVSC7156ImageHeader(const uint8_t* pbTrailer, const char* pszTitle);

// The file the downloads take: the expander firmware this controller
// carries unless another was given.
void SetVSC7156DownloadFile(const uint8_t* pbFile, uint32_t dLength);
const uint8_t* pbGetVSC7156CarriedFile(uint32_t* pdLength);
const uint8_t* pbGetVSC7156BootImage();
uint8_t fVSC7156_SPIVerifyDownloadImage();
uint8_t fVSC7156_SPIDownload();
uint8_t fVSC7156_SPIBootImageDownload(uint8_t fBracket);
uint8_t bVSC7156_UpdateBootImage();
// At start of day: 0xFF when the SEEPROM was written and verified and the
// flash holds the file (or already did).
uint8_t fVSC7156_StartupCheck(uint32_t dSasAddressHigh, uint32_t dSasAddressLow);

// Console self-tests.
void VSC7156_TestSPIProgramming();
void VSC7156_TestActivityLED(uint8_t bFunction);
void VSC7156_TestDrivePowerControl(uint8_t bFunction);
void VSC7156_TestSESDrivePowerControl();

}  // namespace fw
