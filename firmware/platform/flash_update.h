// The controller's own firmware in its NOR flash: the update buffer a new
// image is received into, the image check, and the programming.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

// Which ELF file of an image the check looks at.
constexpr uint8_t FIRMWARE_ELF_MAIN = 0;
constexpr uint8_t FIRMWARE_ELF_SECOND = 1;

// The update buffer (taken on first use when fAllocate is TRUE): 0xFF with
// its handle, 66 when there is none.
uint8_t bGetFirmwareUpdateBuffer(uint8_t fAllocate, BUFFER_HANDLE* pHandle);
uint32_t dGetFirmwareUpdateBufferBytes();
// 255 when the image of dLength bytes has a sound header and the selected
// ELF file is whole; fVerbose prints the header and what is wrong.
uint8_t bCheckFirmwareImageHeader(const uint8_t* pbImage, uint32_t dLength, uint8_t fVerbose, uint8_t bElf);
// TRUE when the header's second-program fields are not all zero (zero
// names none), whether or not they name a sound program.
uint8_t fNamesSecondProgram(const uint8_t* pbImage, uint32_t dLength);
// Programs a checked image into the flash slot the controller did not start
// from: 255 programmed (the next start runs it), 0 failed (the old image
// stays the one that starts).  fVerbose prints the steps.
uint8_t bProgramFlash(const uint8_t* pbImage, uint8_t fVerbose);
// The same, its end told on the console.
void ProgramFlash(const uint8_t* pbImage, uint8_t fVerbose);

}  // namespace fw
