#include "fc/ql_risc_image.h"

#include <array>

#include "executive/types.h"
#include "hw/isp_fc.h"

namespace fw {

namespace {

constexpr uint32_t SEGMENT1_WORDS = 42020;
constexpr uint32_t SEGMENT2_WORDS = 8455;
constexpr uint32_t IMAGE_WORDS = SEGMENT1_WORDS + SEGMENT2_WORDS + 4;
// Firmware version 5.2.1, attributes: target mode.
constexpr uint32_t VERSION_MAJOR = 5, VERSION_MINOR = 2, VERSION_SUBMINOR = 1, VERSION_ATTRIBUTES = 0x0002;
constexpr uint32_t BALANCE_WORD = 8;   // chosen so that all words sum to 0

// Our own image in the segment format: a signature and the version in the
// first words of segment 1, a pseudo-random body standing for the code,
// and one word that makes the sum of all words 0.
constexpr std::array<uint32_t, IMAGE_WORDS> MakeImage() {
    std::array<uint32_t, IMAGE_WORDS> ad{};
    uint32_t dState = 0x24320521;
    const uint32_t dBody1 = 1, dBody2 = SEGMENT1_WORDS + 3;
    ad[0] = RISC_SEGMENT1_ADDRESS;
    for (uint32_t i = 0; i < SEGMENT1_WORDS; ++i) {
        dState = dState * 1664525u + 1013904223u;
        ad[dBody1 + i] = dState;
    }
    ad[dBody1 + 0] = RISC_SIGNATURE;
    ad[dBody1 + RISC_VERSION_WORD + 0] = VERSION_MAJOR;
    ad[dBody1 + RISC_VERSION_WORD + 1] = VERSION_MINOR;
    ad[dBody1 + RISC_VERSION_WORD + 2] = VERSION_SUBMINOR;
    ad[dBody1 + RISC_VERSION_WORD + 3] = VERSION_ATTRIBUTES;
    ad[dBody1 + SEGMENT1_WORDS] = SEGMENT1_WORDS;
    ad[dBody2 - 1] = RISC_SEGMENT2_ADDRESS;
    for (uint32_t i = 0; i < SEGMENT2_WORDS; ++i) {
        dState = dState * 1664525u + 1013904223u;
        ad[dBody2 + i] = dState;
    }
    ad[dBody2 + SEGMENT2_WORDS] = SEGMENT2_WORDS;
    uint32_t dSum = 0;
    ad[dBody1 + BALANCE_WORD] = 0;
    for (uint32_t i = 0; i < SEGMENT1_WORDS; ++i) dSum += ad[dBody1 + i];
    for (uint32_t i = 0; i < SEGMENT2_WORDS; ++i) dSum += ad[dBody2 + i];
    ad[dBody1 + BALANCE_WORD] = 0u - dSum;
    return ad;
}

constexpr std::array<uint32_t, IMAGE_WORDS> RISC_IMAGE = MakeImage();

}  // namespace

const uint32_t* pdGetRiscImage(uint32_t* pdWords) {
    *pdWords = IMAGE_WORDS;
    return RISC_IMAGE.data();
}

uint8_t fGetRiscSegment(uint8_t bSegment, RISC_SEGMENT* psSegment) {
    if (bSegment >= RISC_SEGMENTS) return FALSE;
    uint32_t dEnd = IMAGE_WORDS;   // one past the current segment's count word
    for (int8_t s = RISC_SEGMENTS - 1; s >= 0; --s) {
        if (dEnd < 2) return FALSE;
        const uint32_t dCount = RISC_IMAGE[dEnd - 1];
        if (dCount > dEnd - 2) return FALSE;
        const uint32_t dStart = dEnd - 1 - dCount - 1;   // the load address word
        if (s == bSegment) {
            *psSegment = RISC_SEGMENT{RISC_IMAGE[dStart], &RISC_IMAGE[dStart + 1], dCount};
            return TRUE;
        }
        dEnd = dStart;
    }
    return FALSE;
}

}  // namespace fw
