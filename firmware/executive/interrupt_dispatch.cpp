// FIQ and IRQ dispatch, the processor exception handlers and the error
// services of the memory controller, the ATU and the internal bus.
#include "executive/interrupt_dispatch.h"

#include <array>

#include "enclosure/environment_monitor.h"
#include "enclosure/microcontroller_link.h"
#include "eventlog/event_log.h"
#include "executive/console_input.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/main_loop.h"
#include "executive/port_codes.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "hw/addresses.h"
#include "hw/atu.h"
#include "hw/cp15.h"
#include "hw/fpga.h"
#include "hw/hw.h"
#include "hw/internal_bus.h"
#include "hw/interrupt_controller.h"
#include "hw/memory_controller.h"
#include "hw/timers.h"
#include "partner/partner_link.h"
#include "platform/embedded_module.h"
#include "platform/i2c.h"
#include "raid/raid_engine.h"
#include "sas/marvell_sata.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

// The NVRAM test pattern: if it is gone the memory itself cannot be trusted.
constexpr uint32_t NVRAM_TEST_PATTERN_OFFSET = 0x7FF00;
constexpr std::array<uint32_t, 8> NVRAM_TEST_PATTERN = {
    0xFFFFFFFF, 0xFFFFFFFF, 0, 0, 0x55555555, 0x55555555, 0xAAAAAAAA, 0xAAAAAAAA};


constexpr uint8_t DATA_ABORT_EVENT_LIMIT = 9;

uint8_t s_fInFiqHandler = FALSE;
uint8_t s_fPartnerMissedFiq = FALSE;
uint32_t s_dFiqCount;
uint32_t s_dMemoryErrorCount;
uint32_t s_dInternalBusErrorCount;
uint32_t s_dPrefetchBurstCount;
uint32_t s_dPrefetchBurstStart;
uint8_t s_bDataAbortCount;

uint8_t Byte(uint32_t d, unsigned uShift) { return static_cast<uint8_t>(d >> uShift); }

// A line of the sources read from all four banks.
bool Fired(const uint32_t* pdSources, INT_LINE sLine) { return (pdSources[sLine.bBank] & dLineMask(sLine)) != 0; }

// Event 1 with the fault kind, the diagnostic progress bytes and two words,
// most significant byte first.
void PostFaultEvent(uint8_t bKind, uint32_t dFirst, uint32_t dSecond) {
    PostEvent(EVENT_FAULT, 6, bKind, bMainLoopStage, bBackgroundStep, bServiceSubStep,
              Byte(dFirst, 24), Byte(dFirst, 16), Byte(dFirst, 8), Byte(dFirst, 0),
              Byte(dSecond, 24), Byte(dSecond, 16), Byte(dSecond, 8), Byte(dSecond, 0), 0);
}

// The board heartbeat: a 0-then-1 pulse while the watchdog runs.
void PulseHeartbeat(bool fZeroWhenDisabled) {
    if (fIsWatchdogEnabled() == TRUE) {
        Reg16Write(FPGA_WATCHDOG, 0);
        Reg16Write(FPGA_WATCHDOG, 1);
    } else if (fZeroWhenDisabled) {
        Reg16Write(FPGA_WATCHDOG, 0);
    }
}

bool IsLockHeld(uint8_t bSource) { return bGetInterruptLockByte(bSource) == INT_LOCK_HELD; }

// Runs a source's service with its inside-handler byte set, so that lock
// calls made by the service recognise they are already inside.
template <typename Service>
void RunAsSource(uint8_t bSource, Service fnService) {
    SetInterruptSourceActive(bSource, TRUE);
    fnService();
    SetInterruptSourceActive(bSource, FALSE);
}

void ServiceTimerTick() {
    s_dFiqCount = 0;
    Cp6Write(TIMER_TISR, TIMER_CRM, TIMER_TISR_TIMER0);
    PulseHeartbeat(true);
    SystemTickHandler();
}

void ServiceMessageInterrupt() {
    uint32_t adStatus[INTC_MSI_STATUS_COUNT];
    uint32_t dAll = 0;
    for (uint32_t i = 0; i < INTC_MSI_STATUS_COUNT; ++i) {
        adStatus[i] = Cp6Read(INTC_MSI_STATUS_FIRST_CRN + i, INTC_MSI_STATUS_CRM);
        dAll |= adStatus[i];
    }
    if (dAll & INTC_MSI_DRIVE_IOC) {
        RunAsSource(INT_SOURCE_DRIVE_SIDE, [] { LSI_SAS_DriveInterruptEntry(PORT_CODE_INITIATOR); });
    } else {
        DebugPrintf("Spurious MSI Inbound Int.\n");
    }
    for (uint32_t i = 0; i < INTC_MSI_STATUS_COUNT; ++i) {
        Cp6Write(INTC_MSI_STATUS_FIRST_CRN + i, INTC_MSI_STATUS_CRM, adStatus[i]);
    }
}

void ServiceFcHostChip(uint8_t bChip) {
    if (fIsQL24xx() == TRUE) {
        QL24TarIsr(bChip);
    } else {
        Isp2x00TargetIsr(bChip);
    }
}

// A FIQ without either chip's line (most are the tick's) asks nothing more.
void ServiceHostChips(uint32_t dFint0) {
    if ((dFint0 & (dLineMask(INT_LINE_HOST_CHIP1) | dLineMask(INT_LINE_HOST_CHIP2))) == 0) return;
    if (IsLockHeld(INT_SOURCE_HOST_CHIPS)) return;
    const uint8_t bType = bGetHostInterfaceType();
    if (dFint0 & dLineMask(INT_LINE_HOST_CHIP2)) {
        if (bType == HOST_INTERFACE_FC) {
            RunAsSource(INT_SOURCE_HOST_CHIPS, [] { ServiceFcHostChip(2); });
        } else if (bType == HOST_INTERFACE_SAS) {
            RunAsSource(INT_SOURCE_HOST_CHIPS,
                        [] { LSI_SAS_HostPortInterruptEntry(PORT_CODE_FC_TABLE_2); });
        }
    }
    if (dFint0 & dLineMask(INT_LINE_HOST_CHIP1)) {
        if (bType == HOST_INTERFACE_FC) {
            RunAsSource(INT_SOURCE_HOST_CHIPS, [] { ServiceFcHostChip(1); });
        } else if (bType == HOST_INTERFACE_SAS) {
            RunAsSource(INT_SOURCE_HOST_CHIPS, [] { LSI_SAS_HostPortInterruptEntry(PORT_CODE_FC_TABLE_1); });
        } else if (bType == HOST_INTERFACE_SAS_TARGET) {
            // One IOC serves both SAS host ports.
            RunAsSource(INT_SOURCE_HOST_CHIPS, [] { LSI_SAS_TargetInterruptEntry(PORT_CODE_SAS_HOST_1); });
        }
    }
}

// A pulse counts as seen when a FIQ without it came between.  The partner
// pulses on its own tick, so a healthy partner's pulses can keep arriving in
// the FIQ that serves ours, none between: a pulse in the tick's FIQ counts
// too, unless the line is still raised once acknowledged, as a line held up
// is, whose FIQs would otherwise pass for pulses at every tick.
void ServicePartnerLink(bool fTickServed) {
    Reg16Write(FPGA_PARTNER_LINK, Reg16Read(FPGA_PARTNER_LINK) | FPGA_PARTNER_LINK_ACK);
    Reg16Write(FPGA_PARTNER_LINK,
               static_cast<uint16_t>(Reg16Read(FPGA_PARTNER_LINK) & ~FPGA_PARTNER_LINK_ACK));
    const bool fHeld = (Cp6Read(INT_LINE_PARTNER_LINK.bBank, INTC_FINTSRC) & dLineMask(INT_LINE_PARTNER_LINK)) != 0;
    const bool fSeen = s_fPartnerMissedFiq == TRUE || (fTickServed && !fHeld);
    if (!IsLockHeld(INT_SOURCE_PARTNER_HEARTBEAT)) PartnerHeartbeatInterrupt(ToFlag(fSeen));
    s_fPartnerMissedFiq = FALSE;
}

// The drive-loop chips of a board that fits them share the drive side's
// source; a board without them never raises their lines.
void ServiceDriveLoopChips(const uint32_t* adFint) {
    if (!Fired(adFint, INT_LINE_DRIVE_CHIP3) && !Fired(adFint, INT_LINE_DRIVE_CHIP4) &&
        !Fired(adFint, INT_LINE_SATA_CHIP1) && !Fired(adFint, INT_LINE_SATA_CHIP2)) {
        return;
    }
    if (IsLockHeld(INT_SOURCE_DRIVE_SIDE)) return;
    if (Fired(adFint, INT_LINE_DRIVE_CHIP3) && fIsChipPresent(3) == TRUE) {
        RunAsSource(INT_SOURCE_DRIVE_SIDE, [] { DriveLoopIsr(3); });
    }
    if (Fired(adFint, INT_LINE_DRIVE_CHIP4) && fIsChipPresent(4) == TRUE) {
        RunAsSource(INT_SOURCE_DRIVE_SIDE, [] { DriveLoopIsr(4); });
    }
    if (Fired(adFint, INT_LINE_SATA_CHIP1)) RunAsSource(INT_SOURCE_DRIVE_SIDE, [] { MarvellInterrupt(0); });
    if (Fired(adFint, INT_LINE_SATA_CHIP2)) RunAsSource(INT_SOURCE_DRIVE_SIDE, [] { MarvellInterrupt(1); });
}

bool IsNvramTestPatternIntact() {
    const uint8_t* pbPattern = HwGetWindow(HW_WINDOW_NVRAM).pBase + NVRAM_TEST_PATTERN_OFFSET;
    for (uint32_t i = 0; i < NVRAM_TEST_PATTERN.size(); ++i) {
        const uint32_t dWord = pbPattern[4 * i] | pbPattern[4 * i + 1] << 8 |
                               pbPattern[4 * i + 2] << 16 |
                               static_cast<uint32_t>(pbPattern[4 * i + 3]) << 24;
        if (dWord != NVRAM_TEST_PATTERN[i]) return false;
    }
    return true;
}

// Reading the word lets the controller correct it; writing it back stores
// the corrected value.  Only buffer memory is reachable by address.
void ScrubMemoryWord(uint32_t dAddress) {
    for (HwWindowId eWindow : {HW_WINDOW_BANK0, HW_WINDOW_BANK1}) {
        const HwWindow sWindow = HwGetWindow(eWindow);
        if (sWindow.pBase == nullptr || dAddress < sWindow.dProcessorAddress) continue;
        const uint32_t dOffset = (dAddress - sWindow.dProcessorAddress) & ~7u;
        if (sWindow.dSize < 8 || dOffset > sWindow.dSize - 8) continue;
        volatile uint64_t* plWord = reinterpret_cast<volatile uint64_t*>(sWindow.pBase + dOffset);
        *plWord = *plWord;
        return;
    }
}

// A single-bit error logged in ELOGn with its address in ECARn.
bool IsSingleBitError(uint32_t dMcisr, uint32_t dMcisrBit, uint32_t dElog) {
    return (dMcisr & dMcisrBit) && !(dElog & MCU_ELOG_MULTI_BIT);
}

void CorrectSingleBitError(uint32_t dElog, uint32_t dEcar) {
    ++s_dMemoryErrorCount;
    ScrubMemoryWord(dEcar);
    PostEvent(EVENT_MEMORY_ECC_CORRECTED, bEccSyndromeBit(Byte(dElog, 0)), Byte(dEcar, 24),
              Byte(dEcar, 16), Byte(dEcar, 8), Byte(dEcar, 0));
}

// Single-error-correcting, double-error-detecting Hamming code over 64 data
// bits: syndrome bits 0-6 give the flipped bit's position in the 71-bit
// code word (check bits at the powers of two, data bits in the other
// positions in ascending order), bit 7 the overall parity, which is set for
// every single-bit error.
constexpr std::array<uint8_t, 256> MakeEccSyndromeTable() {
    std::array<uint8_t, 256> abTable{};
    for (auto& b : abTable) b = 0xFF;
    uint8_t bDataBit = 0;
    for (uint32_t dPosition = 1; dPosition < 128 && bDataBit < 64; ++dPosition) {
        if ((dPosition & (dPosition - 1)) == 0) continue;
        abTable[0x80 | dPosition] = bDataBit++;
    }
    for (uint8_t bCheck = 0; bCheck < 7; ++bCheck) abTable[0x80 | (1u << bCheck)] = 64 + bCheck;
    abTable[0x80] = 71;  // the overall parity bit itself
    return abTable;
}
constexpr std::array<uint8_t, 256> ECC_SYNDROME_TABLE = MakeEccSyndromeTable();

}  // namespace

uint8_t bEccSyndromeBit(uint8_t bSyndrome) { return ECC_SYNDROME_TABLE[bSyndrome]; }

void FiqHandler() {
    s_fInFiqHandler = TRUE;
    uint32_t adFint[INTC_BANKS];
    for (uint32_t i = 0; i < INTC_BANKS; ++i) adFint[i] = Cp6Read(i, INTC_FINTSRC);

    if (Fired(adFint, INT_LINE_TIMER0)) ServiceTimerTick();
    if (Fired(adFint, INT_LINE_WATCHDOG)) {
        KickHeartbeat();
        PostEvent(EVENT_RECOVERED_FAULT, 1);
    }
    if (Fired(adFint, INT_LINE_MSI) && !IsLockHeld(INT_SOURCE_DRIVE_SIDE)) ServiceMessageInterrupt();
    ServiceDriveLoopChips(adFint);
    ServiceHostChips(adFint[0]);
    if (Fired(adFint, INT_LINE_EMBEDDED_MODULE)) {
        RunAsSource(INT_SOURCE_EMBEDDED_MODULE, [] { EmbeddedModuleMailboxInterrupt(); });
    }
    if (Fired(adFint, INT_LINE_PARTNER_LINK)) {
        ServicePartnerLink(Fired(adFint, INT_LINE_TIMER0));
    } else {
        s_fPartnerMissedFiq = TRUE;
    }
    if (Fired(adFint, INT_LINE_DMA) || Fired(adFint, INT_LINE_AAU) || Fired(adFint, INT_LINE_DMA_AAU_2)) {
        XorEngineCompletion();
    }
    if (Fired(adFint, INT_LINE_UART) && !IsLockHeld(INT_SOURCE_UART)) {
        RunAsSource(INT_SOURCE_UART, [] { ServiceConsoleInput(); });
    }
    if (Fired(adFint, INT_LINE_I2C1)) I2cUnit1InterruptService();
    if (Fired(adFint, INT_LINE_I2C0)) {
        I2cUnit0InterruptService();
        // The chassis sensors and microcontroller share the unit, one
        // transaction at a time.
        if (fIsMicrocontrollerBusy() == TRUE) OwnEnclosureI2CProtocol(bI2cGetReceivedByte(0));
        else if (fIsChassisSensorBusy() == TRUE) ChassisSensorStep();
    }
    if (Fired(adFint, INT_LINE_I2C2)) I2cUnit2InterruptService();
    if (Fired(adFint, INT_LINE_MESSAGING_UNIT)) {
        RunAsSource(INT_SOURCE_MESSAGING_UNIT, [] {
            DebugPrintf("TTTTTTTTTTTT GSIMBXISR TTTTTTTTTTTT\n");
            MessagingUnitInterrupt();
        });
    }
    s_fInFiqHandler = FALSE;
    ++s_dFiqCount;
}

void IrqHandler() {
    uint32_t adIint[INTC_BANKS];
    for (uint32_t i = 0; i < INTC_BANKS; ++i) adIint[i] = Cp6Read(i, INTC_IINTSRC);
    if (Fired(adIint, INT_LINE_MSI)) DebugPrintf("Got unexpected IRQ for MSI (should be FIQ).\n");
    if (Fired(adIint, INT_LINE_MEMORY)) {
        MemoryErrorService();
    } else if (Fired(adIint, INT_LINE_ATU)) {
        AtuErrorDump();
    } else if (Fired(adIint, INT_LINE_INTERNAL_BUS)) {
        InternalBusErrorService();
    } else {
        PostFaultEvent(FAULT_UNEXPECTED_IRQ, adIint[0], adIint[1]);
        HaltController();
    }
}

void MemoryErrorService() {
    if (!IsNvramTestPatternIntact()) {
        PostEvent(EVENT_FAULT, 2, 0, 0);
        HaltController();
    }
    const uint32_t dElog0 = Reg32Read(MCU_ELOG0);
    const uint32_t dElog1 = Reg32Read(MCU_ELOG1);
    const uint32_t dEcar0 = Reg32Read(MCU_ECAR0);
    const uint32_t dEcar1 = Reg32Read(MCU_ECAR1);
    const uint32_t dContext0 = Reg32Read(MCU_ECTST0);
    const uint32_t dContext1 = Reg32Read(MCU_ECTST1);
    const uint32_t dMcisr = Reg32Read(MCU_MCISR);
    DebugPrintf("dMemRegELOG0: 0x%08x dMemRegELOG1: 0x%08x dMemRegECAR0: 0x%08x dMemRegECAR1: "
                "0x%08x\n",
                dElog0, dElog1, dEcar0, dEcar1);
    DebugPrintf("dMemRegContextAR0: 0x%08x  dMemRegContextAR1: 0x%08x  dMemRegMCISR: 0x%08x\n",
                dContext0, dContext1, dMcisr);
    Reg32Write(MCU_MCISR, dMcisr);
    Reg32Write(MCU_ECCR, MCU_ECCR_REPORTING_OFF);

    const bool fMulti0 = (dMcisr & MCU_MCISR_ERROR0) && (dElog0 & MCU_ELOG_MULTI_BIT);
    const bool fMulti1 = (dMcisr & MCU_MCISR_ERROR1) && (dElog1 & MCU_ELOG_MULTI_BIT);
    if (!(dMcisr & MCU_MCISR_OVERFLOW) && !fMulti0 && !fMulti1) {
        if (IsSingleBitError(dMcisr, MCU_MCISR_ERROR0, dElog0)) CorrectSingleBitError(dElog0, dEcar0);
        if (IsSingleBitError(dMcisr, MCU_MCISR_ERROR1, dElog1)) CorrectSingleBitError(dElog1, dEcar1);
        Reg32Write(MCU_ECCR, MCU_ECCR_REPORTING_ON);
        return;
    }
    const uint8_t bSyndrome0 =
        IsSingleBitError(dMcisr, MCU_MCISR_ERROR0, dElog0) ? bEccSyndromeBit(Byte(dElog0, 0)) : 255;
    const uint8_t bSyndrome1 =
        IsSingleBitError(dMcisr, MCU_MCISR_ERROR1, dElog1) ? bEccSyndromeBit(Byte(dElog1, 0)) : 255;
    PostEvent(EVENT_FAULT, 2, bSyndrome0, bSyndrome1);
    HaltController();
}

void InternalBusErrorService() {
    const uint32_t dStatus = Reg32Read(INTERNAL_BUS_STATUS);
    PostFaultEvent(FAULT_INTERNAL_BUS, dStatus, 0);
    Reg32Write(INTERNAL_BUS_STATUS, dStatus);
    ++s_dInternalBusErrorCount;
    if (fGetBoardFlagB6() == TRUE || s_dInternalBusErrorCount > INTERNAL_BUS_ERROR_LIMIT) {
        HaltController();
    }
}

void AtuErrorDump() {
    const uint32_t dPcieStatus = Reg32Read(ATUX_PIECSR);
    Reg32Write(ATUX_PIECSR, dPcieStatus);
    const uint32_t dAtuStatus = Reg32Read(ATUX_ATUSR);
    Reg32Write(ATUX_ATUSR, dAtuStatus);
    DebugPrintf("ATU Error:  PIECSR %08x  ATUSR %08x\n", dPcieStatus, dAtuStatus);
    DebugPrintf("ATU PIEEAR: %08x\n", Reg32Read(ATUX_PIEEAR));
    DebugPrintf("ATU PIEUAR: %08x\n", Reg32Read(ATUX_PIEUAR));
    DebugPrintf("ATU PIECAR: %08x\n", Reg32Read(ATUX_PIECAR));
    DebugPrintf("\n");
    DumpInterruptRegisters();
    HaltController();
}

void UndefinedInstructionHandler(uint32_t dAddress, uint32_t dInstruction) {
    PostFaultEvent(FAULT_UNDEFINED_INSTRUCTION, dAddress, dInstruction);
    HaltController();
}

void SoftwareInterruptHandler(uint32_t dAddress, uint32_t dInstruction) {
    PostFaultEvent(FAULT_SOFTWARE_INTERRUPT, dAddress, dInstruction);
    HaltController();
}

void PrefetchAbortHandler(uint32_t dAddress, uint32_t dFaultStatus) {
    if ((dFaultStatus & CP15_FSR_PREFETCH_MASK) == CP15_FSR_IMPRECISE_EXTERNAL) {
        const uint32_t dNow = dGetCoarseTickHalf();
        if (s_dPrefetchBurstCount == 0 || dNow - s_dPrefetchBurstStart > PREFETCH_BURST_WINDOW) {
            s_dPrefetchBurstCount = 1;
        } else {
            ++s_dPrefetchBurstCount;
        }
        if (s_dPrefetchBurstCount == 1) s_dPrefetchBurstStart = dNow;
        if (s_dPrefetchBurstCount <= PREFETCH_BURST_LIMIT) {
            Cp15Write(CP15_INVALIDATE_ICACHE, 0);
            PostEvent(EVENT_RECOVERED_FAULT, 7, 0, 0, Byte(dAddress, 24), Byte(dAddress, 16),
                      Byte(dAddress, 8), Byte(dAddress, 0));
            return;
        }
    }
    PostFaultEvent(FAULT_PREFETCH_ABORT, dAddress, dFaultStatus);
    HaltController();
}

void DataAbortHandler(uint32_t dAddress, uint32_t dFaultStatus, uint32_t dFaultAddress) {
    if (s_bDataAbortCount < 0xFF) ++s_bDataAbortCount;
    const bool fEarlyImprecise = fIsZ8Q2Controller() == TRUE &&
                                 (dFaultStatus & CP15_FSR_DATA_IMPRECISE_EXTERNAL) ==
                                     CP15_FSR_DATA_IMPRECISE_EXTERNAL &&
                                 fIsInitializationComplete() != TRUE;
    if (s_bDataAbortCount <= DATA_ABORT_EVENT_LIMIT) {
        if (fEarlyImprecise) {
            PostEvent(EVENT_RECOVERED_FAULT, 4, Byte(dAddress, 24), Byte(dAddress, 16),
                      Byte(dAddress, 8), Byte(dAddress, 0));
        } else {
            PostFaultEvent(FAULT_DATA_ABORT, dAddress, 0);
            PostEvent(EVENT_FAULT, 6, 255, Byte(dFaultStatus, 24), Byte(dFaultStatus, 16),
                      Byte(dFaultStatus, 8), Byte(dFaultStatus, 0), Byte(dFaultAddress, 24),
                      Byte(dFaultAddress, 16), Byte(dFaultAddress, 8), Byte(dFaultAddress, 0));
        }
    }
    // An abort nobody asked for keeps the write journals for the replay at
    // the next start of day.  Returning would re-run the faulting access: a
    // reset that did not take effect ends in a halt.
    if (fEarlyImprecise) ResetControllerKeepJournals();
    HaltController();
}

void UndefinedInstructionEntry() {
    const HwExceptionFrame sFrame = HwGetExceptionFrame();
    UndefinedInstructionHandler(sFrame.dLinkRegister - 4, sFrame.dInstruction);
}

void SoftwareInterruptEntry() {
    const HwExceptionFrame sFrame = HwGetExceptionFrame();
    SoftwareInterruptHandler(sFrame.dLinkRegister - 4, sFrame.dInstruction);
}

void PrefetchAbortEntry() {
    const HwExceptionFrame sFrame = HwGetExceptionFrame();
    PrefetchAbortHandler(sFrame.dLinkRegister - 4, Cp15Read(CP15_FAULT_STATUS));
}

void DataAbortEntry() {
    const HwExceptionFrame sFrame = HwGetExceptionFrame();
    DataAbortHandler(sFrame.dLinkRegister - 4, Cp15Read(CP15_FAULT_STATUS), Cp15Read(CP15_FAULT_ADDRESS));
}

void KickHeartbeat() {
    PulseHeartbeat(false);
    DualControllerWatchdogPulse();
}

void RaiseTestPrefetchAbort() {
    const uint32_t dMask = CpuGetInterruptMask();
    CpuMaskInterrupts();
    Cp15Write(CP15_FAULT_STATUS, CP15_FSR_IMPRECISE_EXTERNAL);
    const uint32_t dReturn =
        dAddressWord(&RaiseTestPrefetchAbort);
    PrefetchAbortHandler(dReturn, Cp15Read(CP15_FAULT_STATUS));
    if (dMask == 0) CpuUnmaskInterrupts();
}

void ResetPrefetchAbortBurst() {
    s_dPrefetchBurstCount = 0;
    s_dPrefetchBurstStart = 0;
}

uint8_t fIsInFiqHandler() { return s_fInFiqHandler; }
uint32_t dGetFiqCount() { return s_dFiqCount; }
uint32_t dGetMemoryErrorCount() { return s_dMemoryErrorCount; }
uint32_t dGetInternalBusErrorCount() { return s_dInternalBusErrorCount; }

}  // namespace fw
