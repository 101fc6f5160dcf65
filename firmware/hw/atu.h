// The address translation units between the processor's internal bus and
// PCI-X (ATU-X) and PCI Express (ATU-E): configuration cycles, status and
// error registers.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t ATUX_BASE = 0xFFDCD000;
constexpr uint32_t ATUX_SIZE = 0x100;
constexpr uint32_t ATUX_ID = ATUX_BASE + 0x00;         // vendor and device of the ATU itself
constexpr uint32_t ATUX_ATUSR = ATUX_BASE + 0x04;      // ATU status
constexpr uint32_t ATUX_ATUCR = ATUX_BASE + 0x74;      // ATU control
constexpr uint32_t ATUX_PCSR = ATUX_BASE + 0x78;       // PCI status; write 1 to clear
constexpr uint32_t ATUX_OCCAR = ATUX_BASE + 0xA4;      // outbound configuration cycle address
constexpr uint32_t ATUX_OCCDR = ATUX_BASE + 0xAC;      // and data
// PCI Express error registers reached through the ATU-X block.
constexpr uint32_t ATUX_PIECSR = ATUX_BASE + 0x380;    // error status; write 1 to clear
constexpr uint32_t ATUX_PIEEAR = ATUX_BASE + 0x384;    // error address
constexpr uint32_t ATUX_PIEUAR = ATUX_BASE + 0x388;    // upper address
constexpr uint32_t ATUX_PIECAR = ATUX_BASE + 0x38C;    // command
constexpr uint32_t ATUX_PIE_SIZE = 0x10;

constexpr uint32_t ATUX_ATUCR_BIT21 = 1u << 21;        // cleared before the host chips are probed
constexpr uint32_t ATUX_PCSR_MASTER_ABORT = 1u << 13;  // a configuration cycle nobody claimed

constexpr uint32_t ATUE_BASE = 0xFFDC8000;
constexpr uint32_t ATUE_PCSR = ATUE_BASE + 0x78;       // bit 13 latches a master abort, as ATU-X's
constexpr uint32_t ATUE_OCCAR = ATUE_BASE + 0xA4;      // configuration cycles on the PCI Express link
constexpr uint32_t ATUE_OCCDR = ATUE_BASE + 0xAC;
constexpr uint32_t ATUE_LINK_STATUS = ATUE_BASE + 0x98;
constexpr uint32_t ATUE_ERROR = ATUE_BASE + 0x384;
constexpr uint32_t ATUE_LINK_TRAINED = 1u << 0;

// A configuration cycle's address in OCCAR.
constexpr uint32_t dPciConfigCycleAddress(uint8_t bBus, uint8_t bDevice, uint8_t bFunction, uint16_t wOffset) {
    return static_cast<uint32_t>(bBus) << 16 | static_cast<uint32_t>(bDevice & 0x1F) << 11 |
           static_cast<uint32_t>(bFunction & 7) << 8 | (wOffset & 0xFCu);
}

}  // namespace fw
