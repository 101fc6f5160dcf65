#include "sim/aa_mux.h"

#include <cstring>

namespace sim {

namespace {

constexpr uint32_t kDeviceIdRegister = 0xBFA00002;
constexpr uint32_t kRevisionRegister = 0xBFA00004;
constexpr uint32_t kLatchRegister = 0xBFA00027;
constexpr uint32_t kClearRegister = 0xBFA00028;
constexpr uint32_t kPortBlock = 0xBFA01000;
constexpr uint32_t kCounterBlock = 0xBFA04000;
constexpr uint32_t kCrcRegister = 0xBFB09814;
constexpr uint32_t kCrcStride = 0x20;
constexpr uint32_t kPatchBase = 0xBFB00000;
constexpr uint32_t kPatchVersionRegister = 0xBFB003BC;
constexpr uint8_t kRevision = 0x3;
// Port control bytes: the link reset and port reset bits.
constexpr uint8_t kLinkControl = 0x12;
constexpr uint8_t kLinkResetBit = 0x40;
constexpr uint8_t kPortControl = 0xA0;
constexpr uint8_t kPortResetBit = 0x08;
constexpr uint8_t kSsplClear = 0x91;
// The patch block's own layout: a version byte and a fifteen-character
// name from byte 44 on, a checksum in the last byte.
constexpr char kPatchName[] = "AAMUX-SIM-PATCH";
constexpr uint8_t kPatchBuild = 0x15;

}  // namespace

AaMux::AaMux() {
    uint8_t block[128];
    for (unsigned i = 0; i < sizeof block; ++i) block[i] = static_cast<uint8_t>(0x30 + i);
    block[44] = kPatchBuild;
    std::memcpy(block + 45, kPatchName, 15);
    uint8_t sum = 0;
    for (unsigned i = 0; i < 127; ++i) sum = static_cast<uint8_t>(sum + block[i]);
    block[127] = static_cast<uint8_t>(0x100 - sum);
    for (unsigned k = 0; k < m_patch.size(); ++k) {
        m_patch[k] = static_cast<uint32_t>(block[4 * k] | block[4 * k + 1] << 8 | block[4 * k + 2] << 16 |
                                           block[4 * k + 3] << 24);
    }
}

void AaMux::RaiseCounters(unsigned port, const Counters& add) {
    if (port >= kPorts) return;
    Counters& c = m_live[port];
    c.crc += add.crc;
    c.invalidDword += add.invalidDword;
    c.disparity += add.disparity;
    c.dwordSync += add.dwordSync;
    c.phyResetFailed += add.phyResetFailed;
    c.codeViolation += add.codeViolation;
}

uint8_t AaMux::TuningByte(uint32_t address) const {
    const uint32_t port = (address - kPortBlock) / kPortStride;
    return port < kPorts ? m_portRegisters[port][address & 0xFF] : 0;
}

bool AaMux::SelectHostPort(unsigned port) {
    if (port >= 2) return false;
    ++m_selections[port];
    if (port == m_activeHost || faults.selectionStuck) return false;
    m_activeHost = port;
    return true;
}

AaMux::Outcome AaMux::Read(uint32_t address, uint8_t sizeCode, uint32_t* value) {
    m_accesses.push_back({false, address, sizeCode, 0});
    if ((faults.failReadsFrom != 0 && address >= faults.failReadsFrom) || address == faults.failReadAt) {
        return Outcome::Failed;
    }
    if (address == kDeviceIdRegister) {
        *value = faults.deviceId;
    } else if (address == kRevisionRegister) {
        *value = kRevision;
    } else if (address == kLatchRegister) {
        if (m_latchBusy != 0 && !faults.latchStuck) {
            --m_latchBusy;
            if (m_latchBusy == 0) {
                // The latch takes a snapshot; ports being cleared start again from zero.
                for (unsigned p = 0; p < kPorts; ++p) {
                    if (m_clearControl == 1 && m_portRegisters[p][kSsplClear] == 1) m_live[p] = Counters{};
                    m_latched[p] = m_live[p];
                }
            }
        }
        *value = m_latchBusy != 0 ? 0x81u : 0x80u;
    } else if (address == kClearRegister) {
        *value = m_clearControl;
    } else if (address >= kPortBlock && address < kPortBlock + kPorts * kPortStride) {
        *value = m_portRegisters[(address - kPortBlock) / kPortStride][address & 0xFF];
    } else if (address >= kCounterBlock + 0x20 && address < kCounterBlock + kPorts * kPortStride &&
               (address & 0xFF) >= 0x20 && (address & 0xFF) <= 0x30 && (address & 3) == 0) {
        const Counters& c = m_latched[(address - kCounterBlock) / kPortStride];
        const uint32_t values[] = {c.invalidDword, c.disparity, c.dwordSync, c.phyResetFailed, c.codeViolation};
        *value = values[((address & 0xFF) - 0x20) / 4];
    } else if (address >= kCrcRegister && address < kCrcRegister + kPorts * kCrcStride &&
               (address - kCrcRegister) % kCrcStride == 0) {
        *value = m_latched[(address - kCrcRegister) / kCrcStride].crc & 0xFFFF;
    } else if (address >= kPatchBase && address < kPatchBase + 4 * m_patch.size() && (address & 3) == 0) {
        *value = m_patch[(address - kPatchBase) / 4];
    } else if (address == kPatchVersionRegister) {
        *value = kPatchVersion;
    } else {
        return Outcome::Failed;
    }
    if (sizeCode == 1) *value &= 0xFF;
    if (sizeCode == 2) *value &= 0xFFFF;
    return Outcome::Done;
}

AaMux::Outcome AaMux::Write(uint32_t address, uint8_t sizeCode, uint32_t value) {
    m_accesses.push_back({true, address, sizeCode, value});
    if (address == kLatchRegister) {
        if (value & 0x80) m_latchBusy = kLatchBusyReads;
        return Outcome::Done;
    }
    if (address == kClearRegister) {
        m_clearControl = static_cast<uint8_t>(value);
        return Outcome::Done;
    }
    if (address < kPortBlock || address >= kPortBlock + kPorts * kPortStride) return Outcome::Failed;
    const unsigned port = (address - kPortBlock) / kPortStride;
    const uint8_t offset = static_cast<uint8_t>(address);
    m_portRegisters[port][offset] = static_cast<uint8_t>(value);
    // A reset of the port takes its link down before the command's status
    // can go back: the write is never answered, and the link comes back.
    if ((offset == kLinkControl && (value & kLinkResetBit)) || (offset == kPortControl && (value & kPortResetBit))) {
        m_portRegisters[port][offset] = static_cast<uint8_t>(value & ~(kLinkResetBit | kPortResetBit));
        ++m_portResets[port];
        if (onLinkReset) onLinkReset();
        return Outcome::NoReply;
    }
    return Outcome::Done;
}

}  // namespace sim
