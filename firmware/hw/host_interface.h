// The kinds of host interface a board is built with.  Start-up tells them
// apart by the host-port chips it finds on the primary PCI bus; the board
// model fits the chips of the kind it is configured for.
#pragma once

#include <cstdint>

#include "hw/pci_ids.h"

namespace fw {

constexpr uint8_t HOST_INTERFACE_FC = 1;           // Fibre Channel host-port chips
constexpr uint8_t HOST_INTERFACE_SAS = 2;          // parallel SCSI host ports, served by the FIQ handler
constexpr uint8_t HOST_INTERFACE_EMBEDDED = 4;     // the embedded management module's ports
constexpr uint8_t HOST_INTERFACE_SAS_TARGET = 6;   // SAS host ports on the target IOC

// The host-port chip of each kind that has one, as PCI identifies it.
struct HOST_CHIP_IDENTITY {
    uint8_t bHostInterface;
    uint16_t wVendor;
    uint16_t wDevice;
};
constexpr HOST_CHIP_IDENTITY HOST_CHIP_IDENTITIES[] = {
    {HOST_INTERFACE_FC, PCI_VENDOR_HOST_FC, PCI_DEVICE_HOST_FC},
    {HOST_INTERFACE_SAS, PCI_VENDOR_SAS, PCI_DEVICE_SCSI_HOST},
    {HOST_INTERFACE_SAS_TARGET, PCI_VENDOR_SAS, PCI_DEVICE_SAS_TARGET},
};

}  // namespace fw
