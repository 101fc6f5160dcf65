#include "sim/onboard_expander_i2c.h"

namespace sim {

namespace {

constexpr uint8_t kMailbox = 0x86;
constexpr uint8_t kByte = 0x06;
constexpr uint8_t kStatus = 0x05;
constexpr uint8_t kGo = 12;

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

uint8_t SmbusPec(const uint8_t* bytes, size_t count) {
    uint8_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int b = 0; b < 8; ++b) crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

bool OnboardExpanderI2c::Start(bool read) {
    m_reading = read;
    if (!read) m_in.assign(1, m_address);
    m_outPos = 0;
    return true;
}

bool OnboardExpanderI2c::WriteByte(uint8_t value) {
    m_in.push_back(value);
    return true;
}

uint8_t OnboardExpanderI2c::ReadByte() { return m_outPos < m_out.size() ? m_out[m_outPos++] : 0xFF; }

void OnboardExpanderI2c::Stop() {
    if (!m_reading) Frame();
    m_reading = false;
}

uint32_t OnboardExpanderI2c::Register(uint32_t address) const {
    const auto it = m_words.find(address & ~7u);
    const uint64_t word = it == m_words.end() ? 0 : it->second;
    return static_cast<uint32_t>(address & 4 ? word >> 32 : word);
}

void OnboardExpanderI2c::SetRegister(uint32_t address, uint32_t value) {
    uint64_t& word = m_words[address & ~7u];
    const unsigned shift = address & 4 ? 32 : 0;
    word = (word & ~(0xFFFFFFFFull << shift)) | uint64_t(value) << shift;
}

void OnboardExpanderI2c::Frame() {
    // m_in: the device address, then the frame.
    const std::vector<uint8_t>& f = m_in;
    if (f.size() < 3) return;
    const uint8_t code = f[1];
    // The code covers the address and the frame bytes before it: byte 3
    // of the frame, or byte 2 of the short status frame.
    const size_t pecAt = code == kStatus && f.size() == 4 ? 3 : 4;   // index in m_in
    if (f.size() <= pecAt || SmbusPec(f.data(), pecAt) != f[pecAt]) {
        ++badPec;
        return;
    }
    auto answer = [&](std::vector<uint8_t> bytes) {
        std::vector<uint8_t> covered{static_cast<uint8_t>(m_address | 1)};
        covered.insert(covered.end(), bytes.begin(), bytes.end());
        bytes.push_back(SmbusPec(covered.data(), covered.size()));
        m_out = std::move(bytes);
        m_outPos = 0;
    };
    switch (code) {
    case kStatus:
        answer({0x00});
        return;
    case kByte:
        if (f.size() != 5 || f[2] >= m_mailbox.size()) return;
        m_mailbox[f[2]] = f[3];
        break;
    case kMailbox: {
        const size_t off = f[2], n = f[3];
        if (off + n > m_mailbox.size()) return;
        if (f.size() == 5) {
            answer(std::vector<uint8_t>(m_mailbox.begin() + off, m_mailbox.begin() + off + n));
            return;
        }
        if (f.size() != 5 + n) return;
        for (size_t i = 0; i < n; ++i) m_mailbox[off + i] = f[5 + i];
        break;
    }
    default:
        return;
    }
    if (m_mailbox[kGo] != 1) return;
    m_mailbox[kGo] = 0;
    const uint32_t word = Le32(&m_mailbox[0]);
    const uint32_t address = word & 0x000FFFF8u;
    if (word & 0x80000000u) {
        ++writes;
        for (unsigned half = 0; half < 2; ++half) {
            const unsigned lanes = (word >> (half ? 24 : 20)) & 0xF;
            const uint32_t reg = address + 4 * half;
            uint32_t v = Register(reg);
            const uint32_t in = Le32(&m_mailbox[4 + 4 * half]);
            for (unsigned b = 0; b < 4; ++b)
                if (lanes & (1u << b)) v = (v & ~(0xFFu << (8 * b))) | (in & (0xFFu << (8 * b)));
            if (const auto it = stuckBits.find(reg); it != stuckBits.end()) v |= it->second;
            SetRegister(reg, v);
        }
    } else {
        PutLe32(&m_mailbox[4], Register(address));
        PutLe32(&m_mailbox[8], Register(address + 4));
    }
}

}  // namespace sim
