// What an enclosure processor does with new firmware for its I/O modules:
// the download microcode control page (SEND DIAGNOSTIC page 0x0E, mode 7,
// segments in order with offsets) gathers an image, and the status page
// 0x0E reports how far it got.  The image becomes the modules' firmware
// only whole and valid; its revision is then the one the configuration
// page reports.  Anything else is refused and the old firmware kept.
//
// The image (the project's own form):
//   0-3   magic: "IOMD" for the modules of the expansions of this system,
//         "QWRX" or "QW39" for KV-4471 expansions
//   4-7   revision, 4 characters
//   8-11  image length, big-endian, the CRC included
//   ...   payload
//   last 4 bytes: CRC-32 of everything before, big-endian
// An image may arrive with up to 3 bytes of pad past its length.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>


namespace sim {

class EnclosureProcessor;

class IoModuleDownload {
public:
    static constexpr uint32_t kMaxImageBytes = 4u << 20;
    // Microcode status codes of the status page.
    static constexpr uint8_t kStatusIdle = 0x00;
    static constexpr uint8_t kStatusInProgress = 0x01;
    static constexpr uint8_t kStatusActive = 0x03;
    static constexpr uint8_t kStatusError = 0x80;

    // Every segment command as it came.
    struct Segment {
        uint32_t offset;
        uint32_t imageLength;
        uint32_t dataLength;
        uint32_t pageLength;
        uint32_t transfer;
        bool refused;
    };

    // The download state of an enclosure processor (made on first use,
    // forgotten when a processor is made at its place).
    static IoModuleDownload& Of(const EnclosureProcessor& processor);
    static void Forget(const EnclosureProcessor& processor);

    // A download microcode control page as the parameter list brought it;
    // the processor's revision changes when the image is taken.  0 taken,
    // else the sense key (high byte) and code it is refused with.
    uint16_t Take(EnclosureProcessor& processor, std::span<const uint8_t> page);
    // The download microcode status page.
    std::vector<uint8_t> StatusPage() const;

    // Test hooks: the next n segments are refused as a fault of the module.
    void RefuseSegments(unsigned n) { m_refuse = n; }
    const std::vector<Segment>& Log() const { return m_log; }
    unsigned Activations() const { return m_activations; }
    uint8_t Status() const { return m_status; }

    // An image of the form above.
    static std::vector<uint8_t> BuildImage(const std::string& magic, const std::string& revision, uint32_t bytes);

private:
    bool Valid(const EnclosureProcessor& processor) const;

    std::vector<uint8_t> m_image;
    uint32_t m_imageLength = 0;
    uint32_t m_next = 0;
    uint8_t m_status = kStatusIdle;
    unsigned m_refuse = 0;
    unsigned m_activations = 0;
    std::vector<Segment> m_log;
};

}  // namespace sim
