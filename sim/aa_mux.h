// The active-active multiplexer in front of a single-ported SATA drive: three
// ports (0 and 1 towards the two controllers, 2 the drive), reached through
// the drive's own SATA path with the vendor register read and write commands.
// It keeps its identity, patch block, per-port signal tuning bytes and link
// error counters, with the latch and clear protocol the controller drives.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

class AaMux {
public:
    static constexpr uint16_t kDeviceId = 0x8307;
    static constexpr unsigned kPorts = 3;
    static constexpr uint8_t kReadCommand = 0xC2;
    static constexpr uint8_t kWriteCommand = 0xC3;
    // Reads of the latch register that still show it busy after a latch.
    static constexpr unsigned kLatchBusyReads = 2;

    AaMux();

    enum class Outcome { Done, Failed, NoReply };
    // One register access as the vendor command carries it: the address,
    // the access size code (1, 2 or 3 for three and four bytes).
    Outcome Read(uint32_t address, uint8_t sizeCode, uint32_t* value);
    Outcome Write(uint32_t address, uint8_t sizeCode, uint32_t value);

    // What tests set and look at.
    struct Faults {
        uint16_t deviceId = kDeviceId;   // another value: a foreign part
        uint32_t failReadsFrom = 0;      // non-zero: reads at or above it fail
        uint32_t failReadAt = 0;         // non-zero: reads of that register fail
        bool latchStuck = false;         // the latch never reports done
        bool selectionStuck = false;     // port selection signals do not switch it
    } faults;

    // The two host ports, one towards each controller (0: the controller in
    // slot 1, 1: the one in slot 2): the drive is one host's at a time, and
    // the other finds it refused until its port selection signal, which its
    // expander phy sends, takes the drive over.  Port 0 has it at power-on.
    unsigned activeHostPort() const { return m_activeHost; }
    // A port selection signal from a host port: true when the drive passed
    // to it (its link to the drive comes up anew).
    bool SelectHostPort(unsigned port);
    unsigned portSelections(unsigned port) const { return port < 2 ? m_selections[port] : 0; }
    struct Counters {
        uint32_t crc = 0, invalidDword = 0, disparity = 0, dwordSync = 0, phyResetFailed = 0, codeViolation = 0;
    };
    // Errors the link of a port saw; the controller sees them once latched.
    void RaiseCounters(unsigned port, const Counters& add);
    const Counters& LiveCounters(unsigned port) const { return m_live[port]; }
    uint8_t TuningByte(uint32_t address) const;
    struct Access {
        bool write;
        uint32_t address;
        uint8_t sizeCode;
        uint32_t value;
    };
    const std::vector<Access>& accesses() const { return m_accesses; }
    unsigned portResets(unsigned port) const { return m_portResets[port]; }
    uint32_t PatchWord(unsigned index) const { return m_patch[index]; }
    static constexpr uint32_t kPatchVersion = 0x00070102;
    // Called when a port reset drops the link to the drive: the slot's phy
    // goes down and comes back.
    std::function<void()> onLinkReset;

private:
    static constexpr uint32_t kPortStride = 0x100;
    std::array<Counters, kPorts> m_live{}, m_latched{};
    std::array<std::array<uint8_t, 0x100>, kPorts> m_portRegisters{};
    std::array<uint32_t, 32> m_patch{};
    std::array<unsigned, kPorts> m_portResets{};
    unsigned m_activeHost = 0;
    std::array<unsigned, 2> m_selections{};
    uint8_t m_clearControl = 0;
    unsigned m_latchBusy = 0;
    std::vector<Access> m_accesses;
};

}  // namespace sim
