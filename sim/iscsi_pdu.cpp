#include "sim/iscsi_pdu.h"

#include <algorithm>
#include <cstring>

namespace sim::iscsi {

uint32_t Pdu::U32(size_t o) const {
    return uint32_t(bhs[o]) << 24 | uint32_t(bhs[o + 1]) << 16 | uint32_t(bhs[o + 2]) << 8 | bhs[o + 3];
}
uint16_t Pdu::U16(size_t o) const { return uint16_t(bhs[o] << 8 | bhs[o + 1]); }
uint64_t Pdu::U64(size_t o) const { return uint64_t(U32(o)) << 32 | U32(o + 4); }
void Pdu::SetU32(size_t o, uint32_t v) {
    bhs[o] = uint8_t(v >> 24);
    bhs[o + 1] = uint8_t(v >> 16);
    bhs[o + 2] = uint8_t(v >> 8);
    bhs[o + 3] = uint8_t(v);
}
void Pdu::SetU16(size_t o, uint16_t v) {
    bhs[o] = uint8_t(v >> 8);
    bhs[o + 1] = uint8_t(v);
}
void Pdu::SetU64(size_t o, uint64_t v) {
    SetU32(o, uint32_t(v >> 32));
    SetU32(o + 4, uint32_t(v));
}
uint32_t Pdu::DataSegmentLength() const { return uint32_t(bhs[5]) << 16 | uint32_t(bhs[6]) << 8 | bhs[7]; }

Pdu MakePdu(uint8_t opcode, bool final) {
    Pdu p;
    p.bhs[0] = opcode;
    if (final) p.bhs[1] = kFinal;
    return p;
}

namespace {

struct Crc32cTable {
    uint32_t entry[256];
    constexpr Crc32cTable() : entry() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            entry[i] = c;
        }
    }
};
constexpr Crc32cTable kCrc32c;

uint32_t Padded(uint32_t length) { return (length + 3) & ~3u; }

// Digests go on the wire least significant byte first.
uint32_t DigestAt(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void AppendDigest(std::vector<uint8_t>* out, uint32_t digest) {
    for (int i = 0; i < 4; ++i) out->push_back(uint8_t(digest >> (8 * i)));
}

}  // namespace

uint32_t Crc32cUpdatePortable(uint32_t crc, const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) crc = kCrc32c.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__i386__) || defined(__x86_64__)
namespace {
// The host processor's CRC32 instruction computes this very polynomial, a
// word at a time: digests of whole data segments cost several times less.
__attribute__((target("sse4.2"))) uint32_t Crc32cUpdateHardware(uint32_t crc, const uint8_t* data, size_t length) {
    for (; length >= 4; data += 4, length -= 4) {
        uint32_t word;
        std::memcpy(&word, data, 4);
        crc = __builtin_ia32_crc32si(crc, word);
    }
    for (; length != 0; ++data, --length) crc = __builtin_ia32_crc32qi(crc, *data);
    return crc;
}
// Asked while statics are set up, possibly before the runtime's own look.
const bool kHardwareCrc32c = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") != 0;
}();
}  // namespace
#endif

uint32_t Crc32cUpdate(uint32_t crc, const uint8_t* data, size_t length) {
#if defined(__i386__) || defined(__x86_64__)
    if (kHardwareCrc32c) return Crc32cUpdateHardware(crc, data, length);
#endif
    return Crc32cUpdatePortable(crc, data, length);
}

uint32_t Crc32c(const uint8_t* data, size_t length) { return ~Crc32cUpdate(~0u, data, length); }

FrameStatus DecodeFrame(const uint8_t* bytes, size_t length, const FrameLimits& limits, Pdu* out,
                        size_t* consumed) {
    if (length < kBhsLength) return FrameStatus::NeedMore;
    const size_t ahsLength = size_t(bytes[4]) * 4;
    const uint32_t dataLength = uint32_t(bytes[5]) << 16 | uint32_t(bytes[6]) << 8 | bytes[7];
    const size_t headerLength = kBhsLength + ahsLength;
    const size_t headerDigest = limits.headerDigest ? 4 : 0;
    // The header digest is checked before any length in the header is
    // believed: a damaged length would otherwise eat the following PDUs.
    if (limits.headerDigest) {
        if (length < headerLength + headerDigest) return FrameStatus::NeedMore;
        if (DigestAt(bytes + headerLength) != Crc32c(bytes, headerLength)) return FrameStatus::HeaderDigestError;
    }
    if (dataLength > limits.maxDataSegment) return FrameStatus::TooLong;
    const size_t dataDigest = limits.dataDigest && dataLength != 0 ? 4 : 0;
    const size_t total = headerLength + headerDigest + Padded(dataLength) + dataDigest;
    if (length < total) return FrameStatus::NeedMore;

    std::copy(bytes, bytes + kBhsLength, out->bhs.begin());
    out->ahs.assign(bytes + kBhsLength, bytes + headerLength);
    const uint8_t* data = bytes + headerLength + headerDigest;
    out->data.assign(data, data + dataLength);
    *consumed = total;
    if (dataDigest != 0 && DigestAt(data + Padded(dataLength)) != Crc32c(data, Padded(dataLength)))
        return FrameStatus::DataDigestError;
    return FrameStatus::Ok;
}

void EncodeFrame(Pdu pdu, const FrameLimits& limits, std::vector<uint8_t>* out) {
    const uint32_t dataLength = uint32_t(pdu.data.size());
    pdu.bhs[4] = uint8_t(pdu.ahs.size() / 4);
    pdu.bhs[5] = uint8_t(dataLength >> 16);
    pdu.bhs[6] = uint8_t(dataLength >> 8);
    pdu.bhs[7] = uint8_t(dataLength);
    const size_t start = out->size();
    out->insert(out->end(), pdu.bhs.begin(), pdu.bhs.end());
    out->insert(out->end(), pdu.ahs.begin(), pdu.ahs.end());
    if (limits.headerDigest) AppendDigest(out, Crc32c(out->data() + start, out->size() - start));
    if (dataLength == 0) return;
    const size_t dataStart = out->size();
    out->insert(out->end(), pdu.data.begin(), pdu.data.end());
    out->resize(dataStart + Padded(dataLength), 0);
    if (limits.dataDigest) AppendDigest(out, Crc32c(out->data() + dataStart, out->size() - dataStart));
}

namespace {

constexpr size_t kMaxKeyLength = 63;
// Values are at most 255 bytes, except the few that carry long lists or
// challenges, which may take up to 8192.
constexpr size_t kMaxValueLength = 8192;

bool KeyCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '+' || c == '@' || c == '_';
}

}  // namespace

bool ParseTextKeys(const std::vector<uint8_t>& data, std::vector<TextKey>* out) {
    out->clear();
    size_t i = 0;
    while (i < data.size()) {
        size_t end = i;
        while (end < data.size() && data[end] != 0) ++end;
        // A final pair without its NUL is tolerated only as the padding that
        // some initiators leave out; an empty pair is a stray NUL: skip it.
        std::string_view pair(reinterpret_cast<const char*>(data.data()) + i, end - i);
        i = end + 1;
        if (pair.empty()) continue;
        size_t equals = pair.find('=');
        if (equals == std::string_view::npos || equals == 0 || equals > kMaxKeyLength) return false;
        std::string_view key = pair.substr(0, equals);
        for (char c : key)
            if (!KeyCharacter(c)) return false;
        std::string_view value = pair.substr(equals + 1);
        if (value.size() > kMaxValueLength) return false;
        out->push_back(TextKey{std::string(key), std::string(value)});
    }
    return true;
}

void AppendTextKey(std::vector<uint8_t>* out, std::string_view key, std::string_view value) {
    out->insert(out->end(), key.begin(), key.end());
    out->push_back('=');
    out->insert(out->end(), value.begin(), value.end());
    out->push_back(0);
}

bool ParseNumber(std::string_view text, uint64_t* value) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 16) return false;
    uint64_t v = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') digit = unsigned(c - 'A' + 10);
        else return false;
        if (v > (UINT64_MAX - digit) / base) return false;
        v = v * base + digit;
    }
    *value = v;
    return true;
}

}  // namespace sim::iscsi
