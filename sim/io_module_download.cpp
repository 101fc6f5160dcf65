#include "sim/io_module_download.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "hw/scsi.h"
#include "sim/enclosure_processor.h"
#include "sim/image_crc.h"

namespace sim {

namespace {

constexpr uint8_t kPageCode = 0x0E;
constexpr uint8_t kModeOffsetsSave = 0x07;
constexpr uint32_t kHeaderBytes = 24;
constexpr uint32_t kLengthBase = 20;
constexpr uint32_t kImageHeader = 12;

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
void PutBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

std::map<const EnclosureProcessor*, IoModuleDownload>& Downloads() {
    static std::map<const EnclosureProcessor*, IoModuleDownload> m;
    return m;
}

uint16_t Refused(uint8_t key, uint8_t asc) { return static_cast<uint16_t>(key << 8 | asc); }

}  // namespace

IoModuleDownload& IoModuleDownload::Of(const EnclosureProcessor& processor) { return Downloads()[&processor]; }
void IoModuleDownload::Forget(const EnclosureProcessor& processor) { Downloads().erase(&processor); }

std::vector<uint8_t> IoModuleDownload::BuildImage(const std::string& magic, const std::string& revision,
                                                  uint32_t bytes) {
    std::vector<uint8_t> image(std::max<uint32_t>(bytes, kImageHeader + 4), 0);
    std::memcpy(image.data(), magic.data(), std::min<size_t>(magic.size(), 4));
    std::memcpy(image.data() + 4, revision.data(), std::min<size_t>(revision.size(), 4));
    PutBe32(image.data() + 8, static_cast<uint32_t>(image.size()));
    for (size_t i = kImageHeader; i + 4 < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    const uint32_t crc = ImageCrc32(std::span<const uint8_t>(image).first(image.size() - 4));
    PutBe32(image.data() + image.size() - 4, crc);
    return image;
}

bool IoModuleDownload::Valid(const EnclosureProcessor& processor) const {
    if (m_image.size() < kImageHeader + 4) return false;
    const bool kv = processor.product == "KV-4471-Vomaxe2 ";
    const bool raw = std::memcmp(m_image.data(), "QWRX", 4) == 0 || std::memcmp(m_image.data(), "QW39", 4) == 0;
    if (kv != raw || (!kv && std::memcmp(m_image.data(), "IOMD", 4) != 0)) return false;
    const uint32_t length = Be32(m_image.data() + 8);
    if (length < kImageHeader + 4 || length > m_image.size() || m_image.size() - length > 3) return false;
    const std::span<const uint8_t> body(m_image.data(), length - 4);
    return ImageCrc32(body) == Be32(m_image.data() + length - 4);
}

uint16_t IoModuleDownload::Take(EnclosureProcessor& processor, std::span<const uint8_t> page) {
    Segment s{};
    s.transfer = static_cast<uint32_t>(page.size());
    if (page.size() < kHeaderBytes) {
        m_log.push_back({0, 0, 0, 0, s.transfer, true});
        return Refused(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_PARAMETER_LIST_LENGTH);
    }
    s.pageLength = uint32_t(page[2]) << 8 | page[3];
    s.offset = Be32(&page[12]);
    s.imageLength = Be32(&page[16]);
    s.dataLength = Be32(&page[20]);
    auto refuse = [&](uint8_t key, uint8_t asc) {
        s.refused = true;
        m_log.push_back(s);
        return Refused(key, asc);
    };
    if (m_refuse != 0) {
        --m_refuse;
        return refuse(fw::SENSE_HARDWARE_ERROR, 0x44);
    }
    // The page must hold its data, and the transfer the page.
    if (page[0] != kPageCode || page[8] != kModeOffsetsSave || page[11] != 0 ||
        s.dataLength + kLengthBase > s.pageLength || s.pageLength + 4 > page.size() ||
        s.imageLength == 0 || s.imageLength > kMaxImageBytes || s.offset + s.dataLength > s.imageLength)
        return refuse(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_PARAMETERS);
    if (s.offset == 0 && s.dataLength != 0) {
        m_image.clear();
        m_imageLength = s.imageLength;
        m_next = 0;
        m_status = kStatusInProgress;
    }
    // Segments come in order, of the image begun.
    if (m_status != kStatusInProgress || s.imageLength != m_imageLength || s.offset != m_next)
        return refuse(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_PARAMETERS);
    m_image.insert(m_image.end(), page.begin() + kHeaderBytes, page.begin() + kHeaderBytes + s.dataLength);
    m_next += s.dataLength;
    if (s.dataLength == 0) {
        // The end of the download: the image runs only whole and valid.
        if (m_next != m_imageLength || !Valid(processor)) {
            m_status = kStatusError;
            m_image.clear();
            return refuse(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_PARAMETERS);
        }
        processor.revision.assign(reinterpret_cast<const char*>(m_image.data() + 4), 4);
        m_status = kStatusActive;
        ++m_activations;
        m_image.clear();
    }
    m_log.push_back(s);
    return 0;
}

std::vector<uint8_t> IoModuleDownload::StatusPage() const {
    std::vector<uint8_t> page(32, 0);
    page[0] = kPageCode;
    page[3] = static_cast<uint8_t>(page.size() - 4);
    page[10] = m_status;
    PutBe32(&page[12], kMaxImageBytes);
    PutBe32(&page[20], m_next);
    return page;
}

}  // namespace sim
