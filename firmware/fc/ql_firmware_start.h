// Start of day of the Fibre Channel chips: the probe finds the host chips on
// PCI, programs their configuration space, loads the RISC firmware the
// controller carries, verifies and starts it; the host chip start later
// gives each running firmware its initialisation control block.
#pragma once

#include <cstdint>

#include "hw/addresses.h"

namespace fw {

constexpr uint8_t QL_NO_HARD_LOOP_ID = 0xFF;

// ISP24xx firmware options 1 and the ISP2x00 firmware options, with and
// without a configured hard loop ID.
constexpr uint32_t ICB24_OPTIONS1_HARD_ID = 0x6837;
constexpr uint32_t ICB24_OPTIONS1_SOFT_ID = 0x6036;
constexpr uint16_t ICB2X_OPTIONS_HARD_ID = 0xE9B7;
constexpr uint16_t ICB2X_OPTIONS_SOFT_ID = 0xE1B6;
constexpr uint16_t ICB2X_OPTIONS_DRIVE = 0xA456;

void InitQLogicChips();
uint8_t bQLStartChip(uint8_t bChip);
uint8_t bQLMailboxTest(uint8_t bChip);
uint8_t bQLLoadRam(uint8_t bChip, BUS_ADDRESS dBusAddress, uint32_t dWordCount, uint32_t dRiscAddress);
uint8_t bQLVerifyChecksum(uint8_t bChip, uint32_t dRiscAddress);
uint8_t bQLExecuteFirmware(uint8_t bChip, uint32_t dRiscAddress);
// Loads the image's segments through the image staging area of the
// buffer memory, verifies and starts it.
uint8_t bQLLoadAndStartFirmware(uint8_t bChip);
uint8_t bQLInitFirmware2x00(uint8_t bChip);
uint8_t bStartHostChipFirmware(uint8_t bChip);
uint8_t bQLInitFirmware24xx(uint8_t bChip);
void StartHostChips();
void StartDriveChips();
// A running host chip started again (the configuration's restart phase):
// its firmware is reloaded at once, polled, while the host chips'
// interrupts are held; the rest of its start follows from the main loop.
void RestartHostChip(uint8_t bChip);
uint8_t fGetHostChipServiceRequest(uint8_t bChip);
void HostChipService(uint8_t bChip);

void ClearHostPortWwn();
uint8_t fGetHostPortWwn(uint8_t* pbWwn);
void SetHostPortWwn(const uint8_t* pbWwn);
uint32_t dGetChipPciId(uint8_t bChip);
void SetChipPciId(uint8_t bChip, uint32_t dId);
uint8_t fGetDriveLoopOption();
void SetChipFault(uint8_t bChip, uint8_t f);
uint8_t fGetChipFault(uint8_t bChip);
uint8_t fGetChipRevisionFlag(uint8_t bChip);
uint8_t bGetHostPortHardLoopId(uint8_t bPort);   // 0xFF: none configured
uint8_t fIsAcceptedChipId(uint32_t dId);
uint8_t fIsQL24xxChipId(uint32_t dId);

// Start of day, before the probe: the ENABLE LUN request, the loop-reset
// requests of all four ports and the port flags of the host ports cleared.
void ResetFibreChannelStartFlags();
// The per-port flag bytes of ports 1-4 (15 sets all four).
void SetQLPortFlags(uint8_t bPort, uint8_t f);
uint8_t fGetQLPortFlag(uint8_t bPort);
// Start-of-day defaults shared by both probes: every chip absent, revision
// flags TRUE, no generation known, identities 0, port flags FALSE, the
// handle maps empty.
void SetProbeDefaults();
// What both probes do after the chips: the ENABLE LUN request and the
// board-flag port bytes cleared, the host-port WWN cleared.
void FinishProbe();
// The port name and node name a host chip is given.
void GetHostPortNames(uint8_t bChip, uint8_t* pbPortName, uint8_t* pbNodeName);

}  // namespace fw
