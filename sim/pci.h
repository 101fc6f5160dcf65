// PCI: the functions on the board's buses, reached through configuration
// cycles, and the memory windows their BARs open on the register bus.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>

#include "hw/atu.h"
#include "sim/bus.h"

namespace sim {

class Board;

// A PCI function: its configuration space and, once its memory BAR is set,
// its registers on the board bus (the outbound memory window maps PCI
// memory addresses one to one).
class PciFunction : public Device {
public:
    PciFunction(uint16_t vendor, uint16_t device, uint8_t revision, uint32_t classCode, uint32_t barSize);
    virtual uint32_t ConfigRead(uint16_t offset);
    virtual void ConfigWrite(uint16_t offset, uint32_t value);
    uint32_t Read(uint32_t, unsigned) override { return 0; }
    void Write(uint32_t, uint32_t, unsigned) override {}
    uint32_t Bar0() const { return m_config[4] & ~0xFu; }
    uint32_t ConfigWord(uint16_t offset) const { return m_config[offset / 4]; }
    Board* board = nullptr;

private:
    std::array<uint32_t, 64> m_config{};
    uint32_t m_barSize;
};

// PCI configuration space behind the ATU-X outbound configuration cycle
// registers (OCCAR 0xFFDCD0A4, OCCDR 0xFFDCD0AC; a cycle to no function reads
// all ones and latches master abort, bit 13 of the ATU status), the same pair
// of the ATU-E for the functions behind the PCI Express link (0xFFDC80A4,
// 0xFFDC80AC, status 0xFFDC8078), and the ATU-E link status word at
// 0xFFDC8098 (bit 0: link trained).
class Pci : public Device {
public:
    static constexpr uint32_t kAtuxBase = fw::ATUX_BASE;
    static constexpr uint32_t kAtuxSize = fw::ATUX_SIZE;
    static constexpr uint32_t kOccar = fw::ATUX_OCCAR;
    static constexpr uint32_t kOccdr = fw::ATUX_OCCDR;
    static constexpr uint32_t kAtuxStatus = fw::ATUX_PCSR;
    static constexpr uint32_t kAtueLinkStatus = fw::ATUE_LINK_STATUS;
    explicit Pci(Board& board) : m_board(board) {}
    static constexpr uint32_t kAtueConfigBase = fw::ATUE_PCSR;   // status .. OCCDR
    static constexpr uint32_t kAtueConfigSize = fw::ATUE_OCCDR + 4 - fw::ATUE_PCSR;
    // Puts a function in a slot (with `pcie`, behind the ATU-E, whose
    // configuration cycles alone reach it); the board keeps it.
    template <typename F>
    F& AddFunction(uint8_t bus, uint8_t device, uint8_t function, std::unique_ptr<F> f, bool pcie = false) {
        F& added = *f;
        Add(bus, device, function, std::move(f), pcie);
        return added;
    }
    PciFunction* Find(uint8_t bus, uint8_t device, uint8_t function, bool pcie = false) const;
    // A device access through an outbound window ended in master abort.
    void LatchMasterAbort(bool pcie) { (pcie ? m_atueStatus : m_status) |= 1u << 13; }
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;
    bool busDead = false;       // PCI set-up finds no ATU
    bool linkDown = false;      // PCI Express link never trains

private:
    void Add(uint8_t bus, uint8_t device, uint8_t function, std::unique_ptr<PciFunction> f, bool pcie);
    // The function a configuration cycle reaches, or null (master abort).
    PciFunction* Target(bool pcie) const;
    Board& m_board;
    std::map<uint32_t, std::unique_ptr<PciFunction>> m_functions;
    std::map<uint32_t, std::unique_ptr<PciFunction>> m_pcieFunctions;
    uint32_t m_occar = 0;
    uint32_t m_status = 0;
    uint32_t m_atueOccar = 0;
    uint32_t m_atueStatus = 0;
};

}  // namespace sim
