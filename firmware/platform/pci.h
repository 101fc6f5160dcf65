// PCI and PCI Express set-up and configuration access.
#pragma once

#include <cstdint>

namespace fw {

uint32_t dPciConfigRead32(uint8_t bBus, uint8_t bDevice, uint8_t bFunction, uint16_t wOffset);
void PciConfigWrite32(uint8_t bBus, uint8_t bDevice, uint8_t bFunction, uint16_t wOffset, uint32_t dValue);
// Vendor and device identity of a function; 0xFFFFFFFF when nothing answers.
uint32_t dPciReadId(uint8_t bBus, uint8_t bDevice, uint8_t bFunction);

uint8_t bInitPciBus();
uint8_t bInitPciExpress();

// Device kind per device number: 1 PCI or PCI-X, 2 PCI Express.
void SetPciDeviceKindTable(const uint8_t* pbKinds);
uint8_t fIsPCIeDevice(uint8_t bDevice);

// Retrains the PCI Express link: 255 trained, 0 not.
uint8_t bRetrainPCIeLink();

// Used by the system tick and the stop paths of the executive.
void ShutdownHostChipPci(uint8_t bChip, uint8_t f);

}  // namespace fw
