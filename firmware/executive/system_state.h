// System state bytes and words of the board and controller, and the board
// control routines that drive the FPGA and the processor caches.
#pragma once

#include <cstdint>

#include "hw/host_interface.h"

namespace fw {

// Controller model codes.
constexpr uint16_t MODEL_Z7Q2 = 0x0702;
constexpr uint16_t MODEL_Z7Q2_ALT = 0x0722;
constexpr uint16_t MODEL_Z7Q2_EXPANSION = 0x0782;
constexpr uint16_t MODEL_Z7Q3 = 0x0703;
constexpr uint16_t MODEL_Z7Q4 = 0x0704;
constexpr uint16_t MODEL_Z8Q2 = 0x0812;

void SetSystemMemorySize(uint32_t dBytes);
uint32_t dGetSystemMemorySize();

void InitBoardState();
void CopyBootParameterBlock();
uint32_t dGetOemCode();

uint8_t fIsControllerSlot1();
uint8_t bGetControllerNumber();
uint8_t bGetPartnerControllerNumber();
uint8_t fIsIpcPeerEnabled();
void SetIpcPeerEnabled(uint8_t f);
uint8_t fIsShutdownPending();
void SetShutdownPending(uint8_t f);
uint8_t fIsControllerStopping();
void SetControllerStopping(uint8_t f);
void SetShutdownReason(uint8_t b);
uint8_t bGetShutdownReason();
uint8_t fIsBatteryPresent();
void SetBatteryPresent(uint8_t f);
uint8_t fIsBatteryChargeComplete();
void SetBatteryChargeComplete(uint8_t f);
uint8_t fIsBatteryFault();
void SetBatteryFault(uint8_t f);
uint8_t fIsProductionTestMode();
void SetProductionTestMode(uint8_t f);
uint8_t bGetBoardOption();
uint8_t fIsNvramOption0Set();
uint8_t fIsNvramOption1Set();
uint8_t bGetHostInterfaceType();
void SetHostInterfaceType(uint8_t b);
uint8_t fGetBoardFlagB6();
uint8_t fIsEnvironmentMonitorEnabled();
// Line power: the cache needs no battery.  InitBoardState clears it.
uint8_t fIsLinePowerMode();
void SetLinePowerMode(uint8_t f);
uint8_t fIsBackgroundHold();
void SetBackgroundHold(uint8_t f);
uint8_t fIsWatchdogEnabled();
void SetHardwareWatchdog(uint8_t f);
uint8_t bGetBackplaneType();
uint16_t wGetModelCode();
void SetModelCode(uint16_t w);
uint8_t fIsModelZ7Q2();
uint8_t fIsModelZ7Q3();
uint8_t fIsModelZ7Q4();
uint8_t fIsExpansionModelZ7Q2();
uint8_t fIsZ8Q2Controller();

uint8_t fIsBatteryDischarging();
void SetBatteryDischarging(uint8_t f);
uint8_t bGetBatteryCapacity();
void SetBatteryCapacity(uint8_t b);   // battery state machine
uint8_t bGetPartnerBatteryCapacity();
void SetPartnerBatteryCapacity(uint8_t b);
uint8_t fIsPartnerBatteryAboveThreshold();
void ResetBatteryGaugeState();
uint8_t fGetBoardFlagD8();
uint8_t fIsConfigurationChangeBlocked();
uint8_t bGetBoardType();
void SetEmbeddedModuleState(uint8_t f);
uint8_t fGetSasHostPortState(uint8_t bPort);
// The drive side's phase as the time code sees it: 2 before an IOC
// restart, 3 in a slot change.
void SetDriveSidePhaseByte(uint8_t b);
uint8_t bGetDriveSidePhaseByte();

uint8_t bGetSasChipFamily();
uint8_t bGetDeviceIdEnclosureMask();
uint8_t bGetDeviceIdEnclosureShift();
uint8_t bGetDeviceIdSlotMask();
uint32_t dGetReservedZero();

// Boot parameter block copies.
uint32_t dGetBootBlockVersion();
uint8_t bGetBootByte(uint8_t bIndex);   // bytes 0x04..0x07 as 0..3
uint32_t dGetBootWord();

void SetReadyIndicators(uint8_t f);
void SetFpgaLineModeBit();
void SetFpgaResetBit(uint8_t f);
uint8_t fIsFpgaProgrammed();
void RebootBoard();
void InitIndicators();
void UpdateIndicators();
void SetIndicatorState(uint8_t bIndicator, uint8_t bState);
uint8_t fIsSlotStrapConsistent();
uint32_t dGetStatisticsStartTime();
void LoadStatisticsStartTime();

// Defined above the machinery (system_state_services.cpp): they consult the
// partner link, the configuration, the host chips on PCI and the battery.
void CheckPartnerInfoByte(uint8_t b);
uint8_t* pGetControllerWWN(uint8_t* pbOut);
void EnableHostChipInterrupts();
void DisableHostChipInterrupts();
void InitBatteryState();
void CheckPartnerVersionMatch();

void ClearPciErrorStatus();
void CleanInvalidateDataCache();
void CleanInvalidateL2Cache();
void UnlockTlbs();
void InvalidateTlbs();
void ClearCp15Register9();
void InvalidateInstructionCache();
void InvalidateBranchTargetBuffer();

// The 1 MB debug capture buffer of the debug information dump.
uint8_t bAllocateCaptureBuffer();
uint8_t* pGetCaptureBuffer();
void SetCaptureLength(uint32_t dLength);
uint32_t dGetCaptureLength();
void SealCaptureBuffer();
uint32_t dGetCaptureOffset();
uint8_t bAdvanceCaptureOffset(uint32_t dOffset);
uint8_t fIsCaptureBufferAllocated();
void SetCaptureBufferAllocated(uint8_t f);
uint8_t fIsCaptureForManagement();
void SetCaptureForManagement(uint8_t f);
uint8_t fIsCaptureShown();
void SetCaptureShown(uint8_t f);
// The firmware version as the start-up banner and the controller
// information record show it.
constexpr char FIRMWARE_VERSION_CHARACTERS[4] = {'0', '0', '2', '1'};
const char* pGetBuildDate();
const char* pGetBuildTime();

// Bring-up: the system state bytes before the board is read (slot 1,
// controller 1, no IPC peer, board option 0, SAS host-port bytes FALSE,
// backplane 8, the Z8Q2 model code), and the reset of the remaining state
// words and bytes (production-test mode, FIQ count, the boot copies of the
// NVRAM option bits, host interface type 1, error counts, watchdog byte,
// capture-buffer words, debug-capture bytes, background hold).
void InitBoardStateDefaults();
void SetBackplaneType(uint8_t b);
void ResetBoardStateWords();
void ClearDebugCaptureByte();

}  // namespace fw
