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

// Configuration access of a device on the primary PCI-X bus (by device
// number) and, through the ATU-E, of a device behind the PCI Express link:
// 255 done, 0 when the cycle ended in master abort.
uint8_t bPciConfigRead32(uint8_t bDevice, uint16_t wRegister, uint32_t* pdValue);
uint8_t bPciConfigWrite32(uint8_t bDevice, uint16_t wRegister, uint32_t dValue);
uint8_t bPciConfigWrite16(uint8_t bDevice, uint16_t wRegister, uint16_t wValue);
uint8_t bATUeConfigRead32(uint8_t bDevice, uint16_t wRegister, uint32_t* pdValue);
uint8_t bATUeConfigRead16(uint8_t bDevice, uint16_t wRegister, uint16_t* pwValue);
uint8_t bATUeConfigWrite32(uint8_t bDevice, uint16_t wRegister, uint32_t dValue);
uint8_t bATUeConfigWrite16(uint8_t bDevice, uint16_t wRegister, uint16_t wValue);

// Register access of a chip behind an outbound window: unit 1 or 2, the
// address inside the unit's window.  The I/O window serves PCI Express
// devices, the ATU-X memory window the others; 255 done, 0 on a bus error.
uint8_t IOR16(uint8_t bUnit, uint32_t dAddress, uint16_t* pwValue);
uint8_t IOW16(uint8_t bUnit, uint32_t dAddress, uint16_t wValue);
uint8_t IOR32(uint8_t bUnit, uint32_t dAddress, uint32_t* pdValue);
uint8_t IOW32(uint8_t bUnit, uint32_t dAddress, uint32_t dValue);
uint8_t bATUMemRead16(uint8_t bUnit, uint32_t dAddress, uint16_t* pwValue);
uint8_t bATUMemWrite16(uint8_t bUnit, uint32_t dAddress, uint16_t wValue);
uint8_t bATUMemRead32(uint8_t bUnit, uint32_t dAddress, uint32_t* pdValue);
uint8_t bATUMemWrite32(uint8_t bUnit, uint32_t dAddress, uint32_t dValue);

// Used by the system tick and the stop paths of the executive.
void ShutdownHostChipPci(uint8_t bChip, uint8_t f);

}  // namespace fw
