// iSCSI protocol data units as they travel on TCP: the 48-byte basic header
// segment, additional header segments, the data segment padded to a word,
// and the optional CRC32C header and data digests.  Also the key=value text
// that login and text PDUs carry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim::iscsi {

enum Opcode : uint8_t {
    // From the initiator.
    kNopOut = 0x00,
    kScsiCommand = 0x01,
    kTaskManagementRequest = 0x02,
    kLoginRequest = 0x03,
    kTextRequest = 0x04,
    kDataOut = 0x05,
    kLogoutRequest = 0x06,
    kSnack = 0x10,
    // From the target.
    kNopIn = 0x20,
    kScsiResponse = 0x21,
    kTaskManagementResponse = 0x22,
    kLoginResponse = 0x23,
    kTextResponse = 0x24,
    kDataIn = 0x25,
    kLogoutResponse = 0x26,
    kReadyToTransfer = 0x31,
    kAsyncMessage = 0x32,
    kReject = 0x3F,
};

constexpr size_t kBhsLength = 48;
constexpr uint32_t kReservedTag = 0xFFFFFFFFu;
constexpr uint32_t kMaxDataSegmentLength = 0xFFFFFF;  // a 24-bit field

// Flag bits of byte 1 used by several opcodes.
constexpr uint8_t kFinal = 0x80;
constexpr uint8_t kImmediate = 0x40;  // byte 0

struct Pdu {
    std::array<uint8_t, kBhsLength> bhs{};
    std::vector<uint8_t> ahs;    // additional header segments, a multiple of 4 bytes
    std::vector<uint8_t> data;   // the data segment without its padding

    uint8_t opcode() const { return bhs[0] & 0x3F; }
    bool immediate() const { return (bhs[0] & kImmediate) != 0; }
    bool final() const { return (bhs[1] & kFinal) != 0; }
    uint32_t U32(size_t offset) const;
    uint16_t U16(size_t offset) const;
    uint64_t U64(size_t offset) const;
    void SetU32(size_t offset, uint32_t value);
    void SetU16(size_t offset, uint16_t value);
    void SetU64(size_t offset, uint64_t value);
    // The fields every PDU has where they always are.
    uint32_t DataSegmentLength() const;
    uint32_t InitiatorTaskTag() const { return U32(16); }
};

// A new PDU with its opcode set (and the final bit, which most replies carry).
Pdu MakePdu(uint8_t opcode, bool final = true);

// CRC32C (Castagnoli) as iSCSI digests use it; `Crc32cUpdate` continues a
// running value started at ~0 and finished by inverting it.
uint32_t Crc32cUpdate(uint32_t crc, const uint8_t* data, size_t length);
// The same a byte at a time, for processors without a CRC32 instruction.
uint32_t Crc32cUpdatePortable(uint32_t crc, const uint8_t* data, size_t length);
uint32_t Crc32c(const uint8_t* data, size_t length);

struct FrameLimits {
    bool headerDigest = false;
    bool dataDigest = false;
    uint32_t maxDataSegment = 8192;   // what this side declared it receives
};

enum class FrameStatus {
    NeedMore,          // not a whole PDU yet
    Ok,
    HeaderDigestError, // the header cannot be trusted: nothing was consumed
    DataDigestError,   // the PDU was consumed; its header is good
    TooLong,           // the data segment exceeds what this side receives
};

// Takes one PDU from the front of `bytes`.  On Ok and DataDigestError the
// PDU is in `out` and `*consumed` says how many bytes it took.
FrameStatus DecodeFrame(const uint8_t* bytes, size_t length, const FrameLimits& limits, Pdu* out,
                        size_t* consumed);
// Appends the PDU with its lengths filled in, padding and digests.
void EncodeFrame(Pdu pdu, const FrameLimits& limits, std::vector<uint8_t>* out);

// --- text keys ---------------------------------------------------------------
struct TextKey {
    std::string key;
    std::string value;
};
// Splits NUL-terminated key=value pairs.  False on a malformed pair: no '=',
// an empty, too long or badly spelled key, a too long value.
bool ParseTextKeys(const std::vector<uint8_t>& data, std::vector<TextKey>* out);
void AppendTextKey(std::vector<uint8_t>* out, std::string_view key, std::string_view value);
// Decimal, 0x-hexadecimal; false on anything else or overflow.
bool ParseNumber(std::string_view text, uint64_t* value);

}  // namespace sim::iscsi
