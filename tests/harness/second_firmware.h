// The second controller's firmware in a program that runs two: the same
// sources compiled into namespace fw_b (the firmware_b library), with its
// own globals, image and hw/ binding.  What a harness calls of it is
// declared here as the firmware's own headers declare it in fw.
#pragma once

#include <cstdint>

#include "sim/firmware_image.h"

namespace fw_b {
void ControllerEntry();
const char* pGetBuildDate();
const char* pGetBuildTime();
// Its buffer pages, which tests hold to leave the board short of them.
enum class BUFFER_HANDLE : uint32_t {};
uint8_t bAllocDataPages(uint8_t bBank, uint32_t dPageCount, BUFFER_HANDLE* pHandle);
uint16_t wFreeDataPages(BUFFER_HANDLE dHandle, uint32_t dPageCount);
uint32_t dGetAvailablePages(uint8_t bBank);
uint32_t dGetPagesInUse(uint8_t bBank);
}  // namespace fw_b
