// Service and fault displays of the Fibre Channel host chips: the full
// debug dump of a chip that stopped, the chips' PCI status, the host links'
// error counters and the transceivers' identity and diagnostics pages.
#pragma once

#include <cstdint>

namespace fw {

// The RISC memory the dump copies in one go: 512 pages.
constexpr uint32_t ISP_DUMP_BUFFER_BYTES = 512 * 4096;
constexpr uint32_t ISP_DUMP_CODE_RAM_ADDRESS = 0x20000;
constexpr uint32_t ISP_DUMP_CODE_RAM_WORDS = 8192;
constexpr uint32_t ISP_DUMP_EXTERNAL_ADDRESS = 0x100000;

// Registers, RISC memory and rings of a stopped ISP24xx host chip, on the
// polled console (it runs from the interrupt handler before a halt).
void DumpIsp24xx(uint8_t bChip);
// Registers and RISC RAM of a stopped ISP2x00 drive chip, on the polled
// console; the chip is left reset.
void DumpIsp2x00(uint8_t bChip);
// "Host FC Link Status": the link error counters of every port on the
// host loops that are up.
void PrintHostLinkStatus();
// The PCI and PCI-X status registers of both host chips.
void PrintQlogicPciStatus();
// The configuration registers of host chip 1 or 2.
void PrintQlPciConfig(uint8_t bChip);
// Host chip 1's 32-bit registers, titled for a PCI-X or a PCI Express board.
void PrintQlIoRegisters();
void PrintQlPcieIoRegisters();

// The RISC interrupt of ISP24xx host chip 1 or 2 let through or held back
// (said on the polled console), and the chip's target interrupts cleared;
// nothing on ISP2x00 chips.
void EnableQL24PCIeInterrupts(uint8_t bChip);
void DisableQL24PCIeInterrupts(uint8_t bChip);
void ClearPCIeTargetInterrupts(uint8_t bChip);
// The board's indicator of chip 1-4's port.
void SetPortIndicator(uint8_t bChip, uint8_t bState);
// The chip's GPIO pins (bank 0): what they read, what the chip drives on
// them, which of them it drives.
uint8_t bQLReadGpio(uint8_t bChip, uint16_t* pwValue);
uint8_t bQLWriteGpio(uint8_t bChip, uint16_t wValue);
uint8_t bQLWriteGpioEnable(uint8_t bChip, uint16_t wValue);
// Bit 0 of the RISC's GPIO register set or cleared; bit 8 raised for 10 ms.
uint8_t SetRiscGpioBit0(uint8_t bChip, uint8_t f);
uint8_t PulseRiscGpioBit8(uint8_t bChip);

// A fixed-width text field of a transceiver page.
void PrintSfpField(const char* pszLabel, const uint8_t* pbBytes, uint32_t dLength);
// The identity (A0h) page of a host port's transceiver.
void PrintSfpInformation(const uint8_t* pbPage);
// The diagnostics (A2h) page: form 32 for an internally calibrated
// transceiver (real-time values in units), any other form the external
// calibration constants and raw words.
void PrintSfpDiagnostics(const uint8_t* pbPage, uint8_t bForm);

}  // namespace fw
