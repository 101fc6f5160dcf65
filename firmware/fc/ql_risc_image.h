// The RISC firmware image the host chips are loaded with, carried in the
// program's data: two segments back to back, each its RISC load address,
// its words and then its word count.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t RISC_SEGMENTS = 2;

struct RISC_SEGMENT {
    uint32_t dLoadAddress;
    const uint32_t* pdWords;
    uint32_t dWordCount;
};

// Segment 0 or 1 of the image, found from the image's end (each count
// follows its words); FALSE when the image does not parse.
uint8_t fGetRiscSegment(uint8_t bSegment, RISC_SEGMENT* psSegment);
const uint32_t* pdGetRiscImage(uint32_t* pdWords);

}  // namespace fw
