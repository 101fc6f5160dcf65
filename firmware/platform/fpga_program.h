// Programming the board FPGA over JTAG from the bitstream the firmware carries.
#pragma once

#include <cstdint>

namespace fw {

void InitJtag();
uint8_t bProgramIopFpga(uint8_t bImage, uint8_t fVerify);

}  // namespace fw
