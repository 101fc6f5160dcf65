// The SAS link diagnostics the service menus call: error counters of the
// SAS controller, the expanders, the AA mux and the drives, and the far-end
// loopback and signal tuning of an AA mux port.
#pragma once

#include <cstdint>

namespace fw {

struct SAS_DEVICE_ENTRY;

// Answers of the AA mux requests (any other value: done).
constexpr uint8_t AA_MUX_FAILED = 0;
constexpr uint8_t AA_MUX_INVALID_REQUEST = 0xF4;
// Loopback modes and tuning kinds and protocols.
constexpr uint8_t AA_MUX_LOOPBACK_DIGITAL = 8;
constexpr uint8_t AA_MUX_LOOPBACK_ANALOG = 0;
constexpr uint8_t AA_MUX_TUNE_PRE_EMPHASIS = 1;
constexpr uint8_t AA_MUX_TUNE_EQUALIZATION = 2;
constexpr uint8_t AA_MUX_TUNE_SWING = 3;
constexpr uint8_t AA_MUX_PROTOCOL_SAS = 1;
constexpr uint8_t AA_MUX_PROTOCOL_SATA = 2;
// The host-side PHY counters of the SAS target controller: shown, or new
// reference snapshots taken.
constexpr uint8_t SAS_HOST_IOC = 0x71;
constexpr uint8_t PHY_COUNTERS_SHOW = 0xFE;
constexpr uint8_t PHY_COUNTERS_NEW_REFERENCE = 0xFD;

void ShowSASPhyErrorLog(uint8_t fAll);
void ShowExpanderCounters();
void ShowAAMuxCounters();
void ClearAAMuxCounters();
void ShowSasDriveCounters();
void LSI_SAS_TargetUpdatePhyErrorCounters(uint8_t bIocId, uint8_t fPrint, uint8_t bOperation);
uint8_t bSetAAMuxFarEndLoopback(uint8_t bEnclosure, uint8_t bSlot, uint8_t bPort, uint8_t bMode);
uint8_t bSetAAMuxTuning(uint8_t bEnclosure, uint8_t bSlot, uint8_t bPort, uint8_t bKind, uint8_t bProtocol,
                        uint8_t bValue);
void ShowAAMuxTuning(uint8_t bEnclosure, uint8_t bSlot, uint8_t bPort);

}  // namespace fw
