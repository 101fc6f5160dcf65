// System state of the board and the controller, and the board control
// routines: FPGA watchdog and indicators, host chip interrupt gates, the
// processor caches and the debug capture buffer.
#include "executive/system_state.h"

#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/stop.h"
#include "executive/types.h"
#include "executive/upcalls.h"
#include "executive/work_flags.h"
#include "hw/atu.h"
#include "hw/boot_rom.h"
#include "hw/cp15.h"
#include "hw/fpga.h"
#include "hw/gpio.h"
#include "hw/hw.h"
#include "hw/internal_bus.h"
#include "hw/interrupt_controller.h"

namespace fw {

namespace {

constexpr uint32_t MEMORY_32MB = 0x02000000;
constexpr uint32_t MEMORY_64MB = 0x04000000;

constexpr uint8_t BOARD_TYPE = 17;
constexpr uint8_t BACKPLANE_DEFAULT = 8;
constexpr uint8_t FULL_CAPACITY = 100;
constexpr uint32_t OEM_CODE_ALTERNATE = 0x101;
constexpr uint8_t THRESHOLD_ALTERNATE = 25;
constexpr uint8_t THRESHOLD_DEFAULT = 80;

constexpr uint32_t CAPTURE_BUFFER_PAGES = 256;

constexpr uint8_t HOST_ACTIVITY_PORTS = 2;

// Data-cache and L2 geometry for clean and invalidate by set and way.
constexpr uint32_t DCACHE_SETS = 256;
constexpr uint32_t DCACHE_WAYS = 4;
constexpr uint32_t L2_LINES = 2048;
constexpr uint32_t L2_WAYS = 8;

uint32_t s_dSystemMemorySize = MEMORY_32MB;
uint8_t s_fControllerSlot1 = TRUE;
uint8_t s_bControllerNumber = 1;
uint8_t s_fIpcPeerEnabled = FALSE;
volatile uint8_t s_fShutdownPending = FALSE;
uint8_t s_fControllerStopping = FALSE;
uint8_t s_bShutdownReason;
uint8_t s_fBatteryPresent = FALSE;
uint8_t s_fBatteryChargeComplete = FALSE;
uint8_t s_fBatteryFault = FALSE;
uint8_t s_fBatteryDischarging = FALSE;
uint8_t s_bBatteryCapacity;
uint8_t s_bPartnerBatteryCapacity = FULL_CAPACITY;
uint8_t s_fPartnerBatteryAboveThreshold = FALSE;
uint8_t s_fProductionTestMode = FALSE;
uint8_t s_bBoardOption;
uint8_t s_fNvramOption0 = FALSE;
uint8_t s_fNvramOption1 = FALSE;
uint8_t s_bHostInterfaceType = HOST_INTERFACE_FC;
uint8_t s_fBoardFlagB6 = TRUE;
uint8_t s_fEnvironmentMonitor = TRUE;
uint8_t s_fLinePowerMode = FALSE;
uint8_t s_fBoardFlagD8 = FALSE;
volatile uint8_t s_fBackgroundHold = FALSE;
uint8_t s_fConfigurationChangeBlocked = FALSE;
uint8_t s_fWatchdogEnabled = FALSE;
uint8_t s_bBoardType = BOARD_TYPE;
uint8_t s_fEmbeddedModule = FALSE;
uint8_t s_afSasHostPort[2] = {FALSE, FALSE};
uint8_t s_bBackplaneType = BACKPLANE_DEFAULT;
uint8_t s_bDriveSidePhase = 0;
uint32_t s_dStatisticsStartTime;
uint16_t s_wModelCode = MODEL_Z8Q2;

uint32_t s_dBootVersion;
uint8_t s_abBootBytes[4];
uint32_t s_dOemCode;
uint32_t s_dBootWord;

uint8_t s_afHostActivity[HOST_ACTIVITY_PORTS] = {FALSE, FALSE};
uint8_t s_afIndicatorBytes[3] = {FALSE, FALSE, FALSE};
uint8_t s_fCacheData = TRUE;
uint32_t s_adIndicatorCounter[2];

uint8_t* s_pbCaptureBuffer;
uint32_t s_dCaptureLength;
uint32_t s_dCaptureOffset;
uint8_t s_fCaptureAllocated = FALSE;
uint8_t s_fCaptureForManagement = FALSE;
uint8_t s_fCaptureShown = FALSE;

void ModifyFpga(uint32_t dAddress, uint16_t wSet, uint16_t wClear) {
    Reg16Write(dAddress, static_cast<uint16_t>((Reg16Read(dAddress) & ~wClear) | wSet));
}

void SetFpgaBit(uint32_t dAddress, uint16_t wBit, bool fSet) {
    ModifyFpga(dAddress, fSet ? wBit : 0, fSet ? 0 : wBit);
}

uint32_t dReadBootWord(uint32_t dOffset) {
    const HwWindow sWindow = HwGetWindow(HW_WINDOW_BOOT_BLOCK);
    uint32_t dValue;
    std::memcpy(&dValue, sWindow.pBase + (BOOT_BLOCK_ADDRESS + dOffset - sWindow.dProcessorAddress), sizeof dValue);
    return dValue;
}

uint8_t bPortBit(uint8_t bPort) {
    if (bPort == 1 || bPort == 49) return 0;
    if (bPort == 2 || bPort == 50) return 1;
    return 2;
}

}  // namespace

// --- memory, boot block, model ----------------------------------------------

void SetSystemMemorySize(uint32_t dBytes) {
    if (dBytes != MEMORY_32MB && dBytes != MEMORY_64MB) {
        ConsolePrintf("Using default System Memory size of 32MB.\n");
        dBytes = MEMORY_32MB;
    }
    s_dSystemMemorySize = dBytes;
}

uint32_t dGetSystemMemorySize() { return s_dSystemMemorySize; }

void CopyBootParameterBlock() {
    s_dBootVersion = dReadBootWord(BOOT_BLOCK_VERSION);
    const uint32_t dBytes = dReadBootWord(BOOT_BLOCK_BYTES);
    std::memcpy(s_abBootBytes, &dBytes, sizeof s_abBootBytes);
    s_dOemCode = s_dBootVersion == 0 ? 0 : dReadBootWord(BOOT_BLOCK_OEM_CODE);
    s_dBootWord = s_dBootVersion == 0 ? 0 : dReadBootWord(BOOT_BLOCK_WORD);
}

uint32_t dGetOemCode() { return s_dOemCode; }
uint32_t dGetBootBlockVersion() { return s_dBootVersion; }
uint8_t bGetBootByte(uint8_t bIndex) { return bIndex < 4 ? s_abBootBytes[bIndex] : 0; }
uint32_t dGetBootWord() { return s_dBootWord; }

uint16_t wGetModelCode() { return s_wModelCode; }
void SetModelCode(uint16_t w) { s_wModelCode = w; }
uint8_t fIsModelZ7Q2() { return ToFlag(s_wModelCode == MODEL_Z7Q2 || s_wModelCode == MODEL_Z7Q2_ALT); }
uint8_t fIsModelZ7Q3() { return ToFlag(s_wModelCode == MODEL_Z7Q3); }
uint8_t fIsModelZ7Q4() { return ToFlag(s_wModelCode == MODEL_Z7Q4); }
uint8_t fIsExpansionModelZ7Q2() { return ToFlag(s_wModelCode == MODEL_Z7Q2_EXPANSION); }
uint8_t fIsZ8Q2Controller() { return ToFlag(s_wModelCode == MODEL_Z8Q2); }

uint8_t bGetSasChipFamily() { return 12; }
uint8_t bGetDeviceIdEnclosureMask() { return 7; }
uint8_t bGetDeviceIdEnclosureShift() { return 5; }
uint8_t bGetDeviceIdSlotMask() { return 31; }
uint32_t dGetReservedZero() { return 0; }

// --- bring-up and board state -----------------------------------------------------

void InitBoardStateDefaults() {
    s_fControllerSlot1 = TRUE;
    s_bControllerNumber = 1;
    s_fIpcPeerEnabled = FALSE;
    s_bBoardOption = 0;
    s_afSasHostPort[0] = FALSE;
    s_afSasHostPort[1] = FALSE;
    s_bBackplaneType = BACKPLANE_DEFAULT;
    s_wModelCode = MODEL_Z8Q2;
}

void SetBackplaneType(uint8_t b) { s_bBackplaneType = b; }
void SetDriveSidePhaseByte(uint8_t b) { s_bDriveSidePhase = b; }
uint8_t bGetDriveSidePhaseByte() { return s_bDriveSidePhase; }

void ResetBoardStateWords() {
    s_fProductionTestMode = FALSE;
    const uint8_t bOptions = bStoredNvramOptions();
    s_fNvramOption0 = ToFlag(bOptions & 0x01);
    s_fNvramOption1 = ToFlag(bOptions & 0x02);
    s_bHostInterfaceType = HOST_INTERFACE_FC;
    s_fWatchdogEnabled = FALSE;
    s_pbCaptureBuffer = nullptr;
    s_dCaptureLength = 0;
    s_dCaptureOffset = 0;
    s_fCaptureAllocated = FALSE;
    s_fCaptureForManagement = FALSE;
    s_fCaptureShown = FALSE;
    s_fBackgroundHold = FALSE;
}

void InitBoardState() {
    s_fLinePowerMode = FALSE;
    s_fBoardFlagD8 = FALSE;
    s_fConfigurationChangeBlocked = FALSE;
    s_fEmbeddedModule = FALSE;
    s_fBoardFlagB6 = TRUE;
    s_fEnvironmentMonitor = TRUE;
    const bool fSlot1 = (Reg16Read(FPGA_SLOT) & FPGA_SLOT1) != 0;
    s_fControllerSlot1 = ToFlag(fSlot1);
    s_bControllerNumber = fSlot1 ? 1 : 2;
    s_bBoardType = BOARD_TYPE;
}

uint8_t fIsControllerSlot1() { return s_fControllerSlot1; }
uint8_t bGetControllerNumber() { return s_bControllerNumber; }
uint8_t bGetPartnerControllerNumber() { return s_bControllerNumber == 1 ? 2 : 1; }

uint8_t fIsIpcPeerEnabled() { return s_fIpcPeerEnabled; }
void SetIpcPeerEnabled(uint8_t f) {
    s_fIpcPeerEnabled = f;
    SetSecondBufferBankPresent(f);
}

uint8_t fIsShutdownPending() { return s_fShutdownPending; }
void SetShutdownPending(uint8_t f) {
    SetWorkPending(TRUE);
    s_fShutdownPending = f;
}
uint8_t fIsControllerStopping() { return s_fControllerStopping; }
void SetControllerStopping(uint8_t f) { s_fControllerStopping = f; }
void SetShutdownReason(uint8_t b) { s_bShutdownReason = b; }
uint8_t bGetShutdownReason() { return s_bShutdownReason; }

uint8_t fIsBatteryPresent() { return s_fBatteryPresent; }
void SetBatteryPresent(uint8_t f) { s_fBatteryPresent = f; }
uint8_t fIsBatteryChargeComplete() { return s_fBatteryChargeComplete; }
void SetBatteryChargeComplete(uint8_t f) { s_fBatteryChargeComplete = f; }
uint8_t fIsBatteryFault() { return fIsBatteryFaultIgnored() == TRUE ? FALSE : s_fBatteryFault; }
void SetBatteryFault(uint8_t f) { s_fBatteryFault = f; }
uint8_t fIsBatteryDischarging() { return s_fBatteryDischarging; }
void SetBatteryDischarging(uint8_t f) { s_fBatteryDischarging = f; }
uint8_t bGetBatteryCapacity() { return s_bBatteryCapacity; }
void SetBatteryCapacity(uint8_t b) { s_bBatteryCapacity = b; }
uint8_t bGetPartnerBatteryCapacity() { return s_bPartnerBatteryCapacity; }

void SetPartnerBatteryCapacity(uint8_t b) {
    s_bPartnerBatteryCapacity = b < FULL_CAPACITY ? b : FULL_CAPACITY;
    const uint8_t bThreshold = dGetOemCode() == OEM_CODE_ALTERNATE ? THRESHOLD_ALTERNATE : THRESHOLD_DEFAULT;
    uint8_t fAbove = s_fPartnerBatteryAboveThreshold;
    if (s_bPartnerBatteryCapacity > bThreshold) fAbove = TRUE;
    if (s_bPartnerBatteryCapacity < bThreshold) fAbove = FALSE;
    if (fAbove == s_fPartnerBatteryAboveThreshold) return;
    s_fPartnerBatteryAboveThreshold = fAbove;
    PartnerBatteryThresholdCrossed();
}

uint8_t fIsPartnerBatteryAboveThreshold() { return s_fPartnerBatteryAboveThreshold; }

void ResetBatteryGaugeState() {
    s_fPartnerBatteryAboveThreshold = 0;
    s_bPartnerBatteryCapacity = FULL_CAPACITY;
}

uint8_t fIsProductionTestMode() { return s_fProductionTestMode; }
void SetProductionTestMode(uint8_t f) { s_fProductionTestMode = f; }
uint8_t bGetBoardOption() { return s_bBoardOption; }
uint8_t fIsNvramOption0Set() { return s_fNvramOption0; }
uint8_t fIsNvramOption1Set() { return s_fNvramOption1; }
uint8_t bGetHostInterfaceType() { return s_bHostInterfaceType; }
void SetHostInterfaceType(uint8_t b) { s_bHostInterfaceType = b; }
uint8_t fGetBoardFlagB6() { return s_fBoardFlagB6; }
uint8_t fIsEnvironmentMonitorEnabled() { return s_fEnvironmentMonitor; }
uint8_t fIsLinePowerMode() { return s_fLinePowerMode; }
void SetLinePowerMode(uint8_t f) { s_fLinePowerMode = f; }
uint8_t fGetBoardFlagD8() { return s_fBoardFlagD8; }
uint8_t fIsConfigurationChangeBlocked() { return s_fConfigurationChangeBlocked; }
uint8_t bGetBoardType() { return s_bBoardType; }
void SetEmbeddedModuleState(uint8_t f) { s_fEmbeddedModule = f; }
uint8_t bGetBackplaneType() { return s_bBackplaneType; }

uint8_t fGetSasHostPortState(uint8_t bPort) {
    const uint8_t bIndex = bPortBit(bPort);
    return bIndex < 2 ? s_afSasHostPort[bIndex] : FALSE;
}

uint8_t fIsBackgroundHold() { return s_fBackgroundHold; }

void SetBackgroundHold(uint8_t f) {
    if (f == TRUE) LatchSystemMode();
    if (s_fBackgroundHold == TRUE && f != TRUE && fIsInitializationComplete() == TRUE &&
        s_bHostInterfaceType == HOST_INTERFACE_FC) {
        ResetHostLoopsAfterHold();
    }
    s_fBackgroundHold = f;
}

void LoadStatisticsStartTime() {
    s_dStatisticsStartTime = 0;
    DATE_TIME sStamp;
    GetStoredStatisticsStamp(&sStamp);
    bDateTimeToSeconds(&sStamp, &s_dStatisticsStartTime);
}

uint32_t dGetStatisticsStartTime() { return s_dStatisticsStartTime; }

// --- FPGA control -----------------------------------------------------------------

uint8_t fIsWatchdogEnabled() { return s_fWatchdogEnabled; }

void SetHardwareWatchdog(uint8_t f) {
    s_fWatchdogEnabled = f;
    const uint32_t dIntctl3 = Cp6Read(INT_LINE_WATCHDOG.bBank, INTC_INTCTL);
    if (f == TRUE) {
        Reg16Write(FPGA_WATCHDOG_KEY, FPGA_WATCHDOG_UNLOCK);
        Reg16Write(FPGA_WATCHDOG, 1);
        SetFpgaBit(FPGA_WATCHDOG_GATE, FPGA_WATCHDOG_GATE_OFF, false);
        Cp6Write(INT_LINE_WATCHDOG.bBank, INTC_INTCTL, dIntctl3 | dLineMask(INT_LINE_WATCHDOG));
    } else {
        Reg16Write(FPGA_WATCHDOG, 0);
        SetFpgaBit(FPGA_WATCHDOG_GATE, FPGA_WATCHDOG_GATE_OFF, true);
        Cp6Write(INT_LINE_WATCHDOG.bBank, INTC_INTCTL, dIntctl3 & ~dLineMask(INT_LINE_WATCHDOG));
    }
}

void SetReadyIndicators(uint8_t f) { SetFpgaBit(FPGA_SLOT, FPGA_READY_LEDS, f != TRUE); }
void SetFpgaLineModeBit() { SetFpgaBit(FPGA_LED, FPGA_LED_LINE_MODE, true); }
void SetFpgaResetBit(uint8_t f) { SetFpgaBit(FPGA_CONTROL, FPGA_CONTROL_FPGA_RESET, f != TRUE); }
uint8_t fIsFpgaProgrammed() { return ToFlag(Reg16Read(FPGA_CONTROL) & FPGA_CONTROL_PROGRAMMED); }

void RebootBoard() {
    Reg16Write(FPGA_WATCHDOG, 0);
    Reg32Write(GPIO_ENABLE, Reg32Read(GPIO_ENABLE) & ~GPIO_BOARD_RESET);
    Reg32Write(GPIO_DATA, Reg32Read(GPIO_DATA) & ~GPIO_BOARD_RESET);
}

uint8_t fIsSlotStrapConsistent() {
    const bool fStrap = (Reg16Read(FPGA_SLOT) & FPGA_SLOT_STRAP) != 0;
    return ToFlag(fStrap == (fIsZ8Q2Controller() == TRUE));
}

// This board has no per-indicator lamps; the FPGA bits below are all it shows.
void SetIndicatorState(uint8_t, uint8_t) {}

void InitIndicators() {
    for (uint8_t bIndicator = 1; bIndicator <= 9; ++bIndicator) SetIndicatorState(bIndicator, 2);
    for (auto& f : s_afHostActivity) f = FALSE;
    for (auto& f : s_afIndicatorBytes) f = FALSE;
    s_fCacheData = TRUE;
    for (auto& d : s_adIndicatorCounter) d = 0;
}

void UpdateIndicators() {
    if (s_bHostInterfaceType == HOST_INTERFACE_FC) {
        for (uint8_t i = 0; i < HOST_ACTIVITY_PORTS; ++i) {
            const uint8_t bPort = static_cast<uint8_t>(i + 1);
            const uint8_t fBusy = fIsHostPortBusy(bPort);
            if (fBusy != s_afHostActivity[i]) {
                s_afHostActivity[i] = fBusy;
                SetIndicatorState(static_cast<uint8_t>(bPort + 2), fBusy == TRUE ? 1 : 2);
            }
        }
    }
    const uint8_t fCacheData = fIsCacheHoldingData();
    if (fCacheData != s_fCacheData) {
        s_fCacheData = fCacheData;
        SetFpgaBit(FPGA_LED, FPGA_LED_CACHE_DATA, fCacheData == TRUE);
    }
    SetFpgaBit(FPGA_LED, FPGA_LED_CACHE_DATA, s_fCacheData == TRUE);
    SetFpgaBit(FPGA_LED, FPGA_LED_BATTERY_FAULT, fIsBatteryFault() == TRUE);
}

void ClearPciErrorStatus() {
    Reg32Write(ATUX_PCSR, Reg32Read(ATUX_PCSR));
    Reg32Write(ATUE_PCSR, Reg32Read(ATUE_PCSR));
    Reg32Write(ATUE_ERROR, 0xFFFFFFFF);
    Reg32Read(ATUE_PCSR);
    Reg32Write(INTERNAL_BUS_STATUS, Reg32Read(INTERNAL_BUS_STATUS));
}

// --- identity --------------------------------------------------------------------------

const char* pGetBuildDate() { return __DATE__; }
const char* pGetBuildTime() { return __TIME__; }

// --- processor caches ---------------------------------------------------------------

void CleanInvalidateDataCache() {
    for (uint32_t dWay = 0; dWay < DCACHE_WAYS; ++dWay) {
        for (uint32_t dSet = 0; dSet < DCACHE_SETS; ++dSet) Cp15Write(CP15_CLEAN_INVALIDATE_DCACHE_SET_WAY, dWay << 30 | dSet << 5);
    }
}

void CleanInvalidateL2Cache() {
    const uint32_t dType = (Cp15Read(CP15_CACHE_TYPE) >> CP15_CACHE_TYPE_L2_SHIFT) & 0xF;
    if (dType != 2 && dType != 3) return;
    for (uint32_t dWay = 0; dWay < L2_WAYS; ++dWay) {
        for (uint32_t dLine = 0; dLine < L2_LINES; ++dLine) Cp15Write(CP15_CLEAN_INVALIDATE_L2_SET_WAY, dWay << 29 | dLine << 5);
    }
}

void UnlockTlbs() {
    Cp15Write(CP15_UNLOCK_ITLB, 0);
    Cp15Write(CP15_UNLOCK_DTLB, 0);
}

void InvalidateTlbs() { Cp15Write(CP15_INVALIDATE_TLBS, 0); }
void ClearCp15Register9() { Cp15Write(CP15_REGISTER9_5_1, 0); }
void InvalidateInstructionCache() { Cp15Write(CP15_INVALIDATE_ICACHE, 0); }
void InvalidateBranchTargetBuffer() { Cp15Write(CP15_INVALIDATE_BTB, 0); }

// --- debug capture buffer -------------------------------------------------------------

uint8_t bAllocateCaptureBuffer() {
    if (s_fCaptureAllocated == TRUE) return STATUS_OK;
    BUFFER_HANDLE dHandle;
    if (bAllocDataPages(0, CAPTURE_BUFFER_PAGES, &dHandle) != STATUS_OK) return 0;
    s_pbCaptureBuffer = static_cast<uint8_t*>(pBufferHandleToPointer(dHandle));
    s_fCaptureAllocated = TRUE;
    return STATUS_OK;
}

uint8_t* pGetCaptureBuffer() { return s_pbCaptureBuffer; }
void SetCaptureLength(uint32_t dLength) { s_dCaptureLength = dLength; }
uint32_t dGetCaptureLength() { return s_dCaptureLength; }

void SealCaptureBuffer() {
    if (s_pbCaptureBuffer != nullptr) {
        for (uint32_t i = 0; i < 4; ++i) s_pbCaptureBuffer[i] = static_cast<uint8_t>(s_dCaptureLength >> (8 * i));
    }
    s_dCaptureOffset = 0;
}

uint32_t dGetCaptureOffset() { return s_dCaptureOffset; }

uint8_t bAdvanceCaptureOffset(uint32_t dOffset) {
    if (dOffset < s_dCaptureOffset) return 0;
    s_dCaptureOffset = dOffset;
    return STATUS_OK;
}

uint8_t fIsCaptureBufferAllocated() { return s_fCaptureAllocated; }
void SetCaptureBufferAllocated(uint8_t f) { s_fCaptureAllocated = f; }
uint8_t fIsCaptureForManagement() { return s_fCaptureForManagement; }
void SetCaptureForManagement(uint8_t f) { s_fCaptureForManagement = f; }
uint8_t fIsCaptureShown() { return s_fCaptureShown; }
void SetCaptureShown(uint8_t f) { s_fCaptureShown = f; }
void ClearDebugCaptureByte() { s_fCaptureForManagement = FALSE; }

}  // namespace fw
