// One firmware image as a board runs it: where its initialised data and its
// zeroed data lie, the load image of the data (taken before it first runs,
// put back at every restart as a real reset reloads the firmware), and the
// board its hardware boundary reaches.
//
// Each firmware built into the program (the controller's, and a partner's
// compiled with -Dfw=fw_b) has its own image and its own hw/ binding, so two
// boards can run two controllers side by side in one process.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

class Board;

class FirmwareImage {
public:
    // bankWindowOffset: how far above its processor addresses this
    // firmware reaches buffer bank 0 (hw/addresses.h).
    FirmwareImage(uint8_t* dataStart, uint8_t* dataEnd, uint8_t* bssStart, uint8_t* bssEnd,
                  uintptr_t bankWindowOffset)
        : m_dataStart(dataStart), m_dataEnd(dataEnd), m_bssStart(bssStart), m_bssEnd(bssEnd),
          m_bankWindowOffset(bankWindowOffset) {}
    FirmwareImage(const FirmwareImage&) = delete;
    FirmwareImage& operator=(const FirmwareImage&) = delete;

    // Takes the load image, once, before the firmware first runs.
    void Snapshot();
    // The firmware's globals back to their load image, at memory speed.
    void Restore();
    // A digest of the firmware's globals as they stand: what a restart of
    // another firmware in the process must leave unchanged.
    uint64_t Digest() const;

    uintptr_t bankWindowOffset() const { return m_bankWindowOffset; }

    // The board this firmware's hw/ calls reach (null: none yet).
    Board* board = nullptr;

private:
    uint8_t* m_dataStart;
    uint8_t* m_dataEnd;
    uint8_t* m_bssStart;
    uint8_t* m_bssEnd;
    uintptr_t m_bankWindowOffset;
    std::vector<uint8_t> m_load;
    std::vector<unsigned char> m_residency;   // of the zeroed data's pages
    bool m_taken = false;
};

}  // namespace sim

namespace fw {
// The image of the firmware this namespace names, defined by its hw/ binding
// (sim/hw_binding.cpp, compiled once per firmware).
extern sim::FirmwareImage hwFirmwareImage;
}  // namespace fw
namespace fw_b {
// The second controller's, in programs that link it (firmware_b).
extern sim::FirmwareImage hwFirmwareImage;
}  // namespace fw_b
namespace fw_bare {
// The benchmark's firmware without per-command statistics (firmware_bare).
extern sim::FirmwareImage hwFirmwareImage;
}  // namespace fw_bare
