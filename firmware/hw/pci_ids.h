// PCI identities of the chips on this board, as their configuration space
// reports them, and where they sit on the primary PCI-X bus.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint16_t PCI_VENDOR_HOST_FC = 0x1077;     // Fibre Channel host-port chips
constexpr uint16_t PCI_DEVICE_HOST_FC = 0x2432;
constexpr uint16_t PCI_VENDOR_SAS = 0x1000;         // SAS controllers
constexpr uint16_t PCI_DEVICE_SCSI_HOST = 0x0030;   // dual-channel Ultra320 SCSI host ports
constexpr uint16_t PCI_DEVICE_SAS_TARGET = 0x0054;  // SAS host ports under the target driver

// The parallel SCSI chip's two functions (host ports 1 and 2) are reached
// through PCI I/O space; the board maps that space into the processor's
// address space here.
constexpr uint32_t PCI_SCSI_HOST_IO_BASE[2] = {0x4000, 0x4100};
constexpr uint32_t PCI_IO_WINDOW_BASE = 0x90000000;
// The SAS target IOC's register window.
constexpr uint32_t PCI_SAS_TARGET_REGISTER_BASE = 0x90000000;

// Outbound windows: registers of the chips behind access unit 1 (host
// chips) and unit 2 (drive-loop chips) appear here at their BAR address.
constexpr uint32_t PCI_OUTBOUND_WINDOW_UNIT1 = 0x90000000;
constexpr uint32_t PCI_OUTBOUND_WINDOW_UNIT2 = 0x90010000;
constexpr uint32_t PCI_OUTBOUND_WINDOW_SIZE = 0x10000;

constexpr uint8_t PCI_BUS_PRIMARY = 0;
constexpr uint8_t PCI_DEVICE_HOST_CHIP1 = 1;
constexpr uint8_t PCI_DEVICE_HOST_CHIP2 = 2;

}  // namespace fw
