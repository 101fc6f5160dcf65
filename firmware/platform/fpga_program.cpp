#include "platform/fpga_program.h"

#include "executive/types.h"
#include "hw/hw.h"
#include "hw/jtag.h"

namespace fw {

namespace {

constexpr uint32_t JTAG_POLLS = 1000;

// The IOP FPGA bitstream: a header word, the configuration words and a check
// word that makes the XOR over all words zero.
constexpr uint32_t BITSTREAM_WORDS = 64;

uint32_t BitstreamWord(uint32_t dIndex) {
    if (dIndex == 0) return FPGA_BITSTREAM_HEADER;
    return 0x9E3779B9u * dIndex ^ 0x0112A5A5u;
}

}  // namespace

void InitJtag() { Reg32Write(JTAG_CONTROL, 0); }

uint8_t bProgramIopFpga(uint8_t, uint8_t fVerify) {
    Reg32Write(JTAG_CONTROL, JTAG_CONTROL_START);
    uint32_t dCheck = 0;
    for (uint32_t i = 0; i < BITSTREAM_WORDS; ++i) {
        uint32_t dWord = BitstreamWord(i);
        dCheck ^= dWord;
        Reg32Write(JTAG_DATA, dWord);
    }
    Reg32Write(JTAG_DATA, dCheck);
    Reg32Write(JTAG_CONTROL, JTAG_CONTROL_FINISH);
    if (fVerify != TRUE) return STATUS_OK;
    for (uint32_t dPoll = 0; dPoll < JTAG_POLLS; ++dPoll) {
        if (Reg32Read(JTAG_STATUS) & JTAG_STATUS_DONE) return STATUS_OK;
        HwDelayUs(10);
    }
    return 0;
}

}  // namespace fw
