// Firmware files as an operator would load them: drive firmware files with
// their 1024-byte header and region checksums, built byte for byte from the
// format, so a test can make good files and damage them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "enclosure/drive_firmware.h"
#include "sim/drive.h"

namespace harness {

struct DriveFirmwareRegion {
    uint32_t length;
    uint32_t largestTransfer;
    uint8_t mode = 5;
    uint8_t offsetField = 0xF1;
    std::vector<uint8_t> data = {};   // the region's bytes (length of them); empty: a pattern
};

inline void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t XorWords(const std::vector<uint8_t>& b, size_t from, size_t words) {
    uint32_t x = 0;
    for (size_t w = 0; w < words; ++w) {
        uint32_t v;
        std::memcpy(&v, b.data() + from + 4 * w, 4);
        x ^= v;
    }
    return x;
}

// A drive firmware file for (vendor, product) drives installing revision
// (4 characters; kind 2 takes 8 at byte 1000), regions following the header.
inline std::vector<uint8_t> DriveFirmwareFile(const std::string& vendor, const std::string& product,
                                              const std::string& revision,
                                              const std::vector<DriveFirmwareRegion>& regions = {{2048, 1024}},
                                              uint8_t kind = 1, uint32_t seed = 7) {
    size_t total = fw::DRIVE_FIRMWARE_HEADER_BYTES;
    for (const auto& r : regions) total += (r.length + 3) & ~3u;
    std::vector<uint8_t> f(total, 0);
    std::memcpy(f.data(), fw::DRIVE_FIRMWARE_SIGNATURE, fw::DRIVE_FIRMWARE_SIGNATURE_BYTES);
    PutLe32(f, 20, static_cast<uint32_t>(total));
    f[28] = static_cast<uint8_t>(regions.size());
    f[29] = 1;
    f[31] = 0xF1;
    f[32] = 0xF0;
    f[33] = kind;
    std::memcpy(f.data() + 36, revision.data(), 4);
    std::string v = vendor, p = product;
    v.resize(8, ' ');
    p.resize(16, ' ');
    std::memcpy(f.data() + 808, v.data(), 8);
    std::memcpy(f.data() + 816, p.data(), 16);
    if (revision.size() >= 8) std::memcpy(f.data() + 1000, revision.data(), 8);
    size_t offset = fw::DRIVE_FIRMWARE_HEADER_BYTES;
    for (size_t r = 0; r < regions.size(); ++r) {
        const size_t entry = 40 + 24 * r;
        for (uint32_t i = 0; i < regions[r].length; ++i) {
            f[offset + i] = regions[r].data.empty() ? static_cast<uint8_t>(seed * 31 + r * 7 + i * 13 + (i >> 8))
                                                    : regions[r].data[i];
        }
        PutLe32(f, entry + 0, regions[r].length);
        PutLe32(f, entry + 4, XorWords(f, offset, regions[r].length / 4));
        PutLe32(f, entry + 8, static_cast<uint32_t>(offset));
        PutLe32(f, entry + 12, regions[r].largestTransfer);
        f[entry + 20] = regions[r].offsetField;
        f[entry + 21] = regions[r].mode;
        offset += (regions[r].length + 3) & ~3u;
    }
    // The ignored word at 24 makes the whole file's words XOR to 0.
    PutLe32(f, 24, XorWords(f, 0, total / 4));
    return f;
}

// A file whose one region is a drive microcode image (the simulated drive's
// form) for the product, sent in segments of `largest` bytes with WRITE
// BUFFER mode 7.
inline std::vector<uint8_t> DriveMicrocodeFile(const std::string& vendor, const std::string& product,
                                               const std::string& revision, uint32_t bytes, uint32_t largest,
                                               uint8_t kind = 1) {
    std::string r8 = revision;
    r8.resize(8, ' ');
    std::vector<uint8_t> code = sim::Drive::BuildMicrocode(product, r8, bytes);
    DriveFirmwareRegion region{static_cast<uint32_t>(code.size()), largest, 7, 0xF1, code};
    return DriveFirmwareFile(vendor, product, kind == 2 ? r8 : revision, {region}, kind);
}

}  // namespace harness
