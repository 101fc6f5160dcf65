#include "sas/drive_ioc_images.h"

#include <array>
#include <cstddef>

#include "hw/mpi.h"

namespace fw {

namespace {

constexpr uint32_t IMAGE_LOAD_ADDRESS = 0x20000000;
constexpr uint32_t IMAGE_RESET_REG = 0x3F0000FC;
constexpr uint32_t EXTENSION_LOAD_ADDRESS = 0x21000000;

struct IMAGE_LAYOUT {
    uint32_t dFWVersion;
    uint32_t dMainBytes;
    uint32_t dExtensionBytes;  // 0: no extended image
    uint32_t dSeed;
};

constexpr void PutWord(uint8_t* pb, uint32_t dOffset, uint32_t dValue) {
    for (uint32_t i = 0; i < 4; ++i) pb[dOffset + i] = static_cast<uint8_t>(dValue >> (8 * i));
}

constexpr uint32_t dGetWord(const uint8_t* pb, uint32_t dOffset) {
    uint32_t d = 0;
    for (uint32_t i = 0; i < 4; ++i) d |= static_cast<uint32_t>(pb[dOffset + i]) << (8 * i);
    return d;
}

// Fills [dStart, dStart + dBytes) with a pattern, then sets the checksum word
// so that the dwords of the part sum to zero.
constexpr void SealPart(uint8_t* pb, uint32_t dStart, uint32_t dBytes, uint32_t dFirstBody, uint32_t dChecksumAt,
                        uint32_t dSeed) {
    uint32_t dState = dSeed;
    for (uint32_t dOffset = dFirstBody; dOffset < dBytes; dOffset += 4) {
        dState = dState * 1664525u + 1013904223u;
        PutWord(pb, dStart + dOffset, dState);
    }
    uint32_t dSum = 0;
    for (uint32_t dOffset = 0; dOffset < dBytes; dOffset += 4) dSum += dGetWord(pb, dStart + dOffset);
    PutWord(pb, dStart + dChecksumAt, 0u - dSum);
}

// A test image in our own layout: the header fields the loaders read, a
// body of pseudo-random words, and optionally one extended image behind it.
template <uint32_t N>
constexpr std::array<uint8_t, N> MakeImage(IMAGE_LAYOUT sLayout) {
    std::array<uint8_t, N> ab{};
    uint8_t* pb = ab.data();
    PutWord(pb, 0, 0xEA00000E);  // branch past the header
    PutWord(pb, 4, MPI_FW_SIGNATURE_0);
    PutWord(pb, 8, MPI_FW_SIGNATURE_1);
    PutWord(pb, 12, MPI_FW_SIGNATURE_2);
    PutWord(pb, 16, 0x00581000);
    PutWord(pb, offsetof(MPI_FW_IMAGE_HEADER, dFWVersion), sLayout.dFWVersion);
    PutWord(pb, offsetof(MPI_FW_IMAGE_HEADER, dImageSize), sLayout.dMainBytes);
    PutWord(pb, offsetof(MPI_FW_IMAGE_HEADER, dNextImageHeaderOffset),
            sLayout.dExtensionBytes != 0 ? sLayout.dMainBytes : 0);
    PutWord(pb, offsetof(MPI_FW_IMAGE_HEADER, dLoadStartAddress), IMAGE_LOAD_ADDRESS);
    PutWord(pb, offsetof(MPI_FW_IMAGE_HEADER, dIopResetVectorValue), IMAGE_LOAD_ADDRESS);
    PutWord(pb, offsetof(MPI_FW_IMAGE_HEADER, dIopResetRegAddr), IMAGE_RESET_REG);
    SealPart(pb, 0, sLayout.dMainBytes, sizeof(MPI_FW_IMAGE_HEADER), offsetof(MPI_FW_IMAGE_HEADER, dChecksum),
             sLayout.dSeed);
    if (sLayout.dExtensionBytes != 0) {
        uint32_t dExt = sLayout.dMainBytes;
        pb[dExt] = 0x05;  // image type
        PutWord(pb, dExt + offsetof(MPI_EXT_IMAGE_HEADER, dImageSize), sLayout.dExtensionBytes);
        PutWord(pb, dExt + offsetof(MPI_EXT_IMAGE_HEADER, dNextImageHeaderOffset), 0);
        PutWord(pb, dExt + offsetof(MPI_EXT_IMAGE_HEADER, dLoadStartAddress), EXTENSION_LOAD_ADDRESS);
        SealPart(pb, dExt, sLayout.dExtensionBytes, sizeof(MPI_EXT_IMAGE_HEADER),
                 offsetof(MPI_EXT_IMAGE_HEADER, dChecksum), ~sLayout.dSeed);
    }
    return ab;
}

constexpr IMAGE_LAYOUT REVISION4_LAYOUT{0x01103600, 6144, 0, 0x1068E004};
constexpr IMAGE_LAYOUT REVISION8_LAYOUT{0x01153200, 5632, 1024, 0x1068E008};

constexpr std::array<uint8_t, 6144> s_abRevision4Image = MakeImage<6144>(REVISION4_LAYOUT);
constexpr std::array<uint8_t, 6656> s_abRevision8Image = MakeImage<6656>(REVISION8_LAYOUT);

constexpr IMAGE_LAYOUT TARGET_REVISION1_LAYOUT{0x01105400, 4096, 0, 0x10680001};
constexpr IMAGE_LAYOUT TARGET_REVISION2_LAYOUT{0x01125400, 4096, 512, 0x10680002};
constexpr std::array<uint8_t, 4096> s_abTargetRevision1Image = MakeImage<4096>(TARGET_REVISION1_LAYOUT);
constexpr std::array<uint8_t, 4608> s_abTargetRevision2Image = MakeImage<4608>(TARGET_REVISION2_LAYOUT);
constexpr IMAGE_LAYOUT HOST_PORT_LAYOUT{0x01032700, 4096, 0, 0x10300001};
constexpr std::array<uint8_t, 4096> s_abHostPortImage = MakeImage<4096>(HOST_PORT_LAYOUT);

}  // namespace

const uint8_t* pGetDriveIOCImage(uint8_t bRevision, uint32_t* pdLength) {
    switch (bRevision) {
    case 4:
        *pdLength = static_cast<uint32_t>(s_abRevision4Image.size());
        return s_abRevision4Image.data();
    case 8:
        *pdLength = static_cast<uint32_t>(s_abRevision8Image.size());
        return s_abRevision8Image.data();
    default:
        *pdLength = 0;
        return nullptr;
    }
}

const uint8_t* pGetSASTargetIOCImage(uint8_t bRevision, uint32_t* pdLength) {
    switch (bRevision) {
    case 1:
        *pdLength = static_cast<uint32_t>(s_abTargetRevision1Image.size());
        return s_abTargetRevision1Image.data();
    case 2:
        *pdLength = static_cast<uint32_t>(s_abTargetRevision2Image.size());
        return s_abTargetRevision2Image.data();
    default:
        *pdLength = 0;
        return nullptr;
    }
}

const uint8_t* pGetHostPortIOCImage(uint32_t* pdLength) {
    *pdLength = static_cast<uint32_t>(s_abHostPortImage.size());
    return s_abHostPortImage.data();
}

}  // namespace fw
