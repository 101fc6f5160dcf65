// Stopping the controller.  Every path masks interrupts before it touches
// the chips, so no FIQ service runs during the close-down, and prints with
// the polled output, so its lines appear even with the console ring full.
#include "executive/stop.h"

#include "cache/cache.h"
#include "config/host_port_tables.h"
#include "console/console_menu.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/drive_loop_watch.h"
#include "hw/fpga.h"
#include "hw/interrupt_controller.h"
#include "hw/hw.h"
#include "partner/partner_link.h"
#include "platform/battery.h"
#include "platform/i2c.h"
#include "platform/pci.h"
#include "sas/sas_drive.h"
#include "target/stage_rings.h"
#include "target/target_engine.h"

namespace fw {

namespace {

constexpr uint8_t MANUFACTURE_DIAGNOSTICS_LEVEL = 4;

uint32_t s_dShutdownStartTime;
// The orderly stop ends in a reset rather than a shutdown.
uint8_t s_fResetWhenStopped = FALSE;

void StopHostSide() {
    if (bGetHostInterfaceType() == HOST_INTERFACE_FC) {
        DisableHostChipInterrupts();
    } else if (bGetHostInterfaceType() == HOST_INTERFACE_SAS_TARGET) {
        StopSasTargetController();
    }
}

// The close-down shutdown and halt share once the expanders are dealt with.
void StopChips() {
    SpinDelayMs(1000);
    StopDriveSideSasController();
    StopHostSide();
    SetReadyIndicators(FALSE);
    SetHardwareWatchdog(FALSE);
}

[[noreturn]] void EnterEndlessState(HwEndlessState eState) {
    HwEnterEndlessState(eState);
    for (;;) {
    }
}

void ResetBoard(bool fClearJournals) {
    SetHardwareWatchdog(FALSE);
    DisableInterrupts();
    DebugPrintf("\n\n\nResetting Controller\n\n\n");
    DebugPrintf(".");
    SpinDelayMs(500);
    DisableSasExpanders(FALSE);
    DebugPrintf(".");
    SpinDelayMs(500);
    StopDriveSideSasController();
    DebugPrintf(".");
    SpinDelayMs(500);
    StopHostSide();
    DebugPrintf(".");
    SpinDelayMs(500);
    DebugPrintf("\n\n");
    if (fClearJournals) {
        ClearOwnNvramQueueData();
        ClearPartnerNvramQueueData();
        SpinDelayMs(100);
    }
    PostEvent(87);
    // The pattern tells the next start that the data banks kept their
    // contents; journal slots still valid point into them, so it stays.
    if (fClearJournals) ClearPreservationPattern();
    SetInitializationComplete(FALSE);
    bInitI2cUnit1(TRUE);
    Reg16Write(FPGA_CONTROL, static_cast<uint16_t>(Reg16Read(FPGA_CONTROL) | FPGA_CONTROL_BOARD_RESET));
}

}  // namespace

void StartShutdown() {
    s_fResetWhenStopped = FALSE;
    SetShutdownPending(TRUE);
    if (fGetDriveLoopsStarted() == TRUE) {
        SetDriveLoopsStarted(FALSE);
        ClearHostPortRecords();
    }
    ReleaseLunQueuesForShutdown();
    SetControllerStopping(TRUE);
    SetShutdownStartTime();
}

void StartControllerReset() {
    StartShutdown();
    s_fResetWhenStopped = TRUE;
}

void FinishControllerStop() {
    if (s_fResetWhenStopped == TRUE) ResetControllerKeepJournals();
    ShutdownController();
}

void SetShutdownStartTime() { s_dShutdownStartTime = dGetCoarseTick(); }

uint32_t dGetShutdownStartTime() { return s_dShutdownStartTime; }

void ShutdownController() {
    SetHardwareWatchdog(FALSE);
    // A lone controller probes every drive of both drive loops once more,
    // as its bring-up did, so each drive sees its initiator before it goes.
    if (fIsDualControllerActive() != TRUE) ProbeDriveLoopsAtShutdown(STATUS_OK, STATUS_OK);
    DebugPrintf("\n\nShutting Down Controller\n\n");
    SpinDelayMs(100);
    DisableInterrupts();
    PostEvent(88, 0, bGetShutdownReason());
    SetInitializationComplete(FALSE);
    bInitI2cUnit1(TRUE);
    ShutdownHostChipPci(1, TRUE);
    ShutdownHostChipPci(2, TRUE);
    SpinDelayMs(1000);
    if (bGetDiagnosticsModeLevel() >= MANUFACTURE_DIAGNOSTICS_LEVEL) {
        DebugPrintf("Manufacture Shutdown: Will not disable SAS Expanders!\n");
    } else {
        DisableSasExpanders(FALSE);
    }
    StopChips();
    BatteryShutdownStep();
    while (fGetConsoleLogPending() == TRUE) DrainConsoleLog();
    EnterEndlessState(HW_ENDLESS_SHUTDOWN);
}

void ResetController() { ResetBoard(true); }

void ResetControllerKeepJournals() { ResetBoard(false); }

void HaltController() {
    DebugPrintf("\n\n\nE:Halt\n\n\n");
    DisableInterrupts();
    SpinDelayMs(1000);
    DisableSasExpanders(FALSE);
    StopChips();
    EnterEndlessState(HW_ENDLESS_HALT);
}

namespace {

struct CP6_DUMP_ROW {
    const char* pszFormat;
    CP6_REGISTER sRegister;
};

// The interrupt controller registers, in the order the dump shows them.
constexpr CP6_DUMP_ROW s_asInterruptRegisters[] = {
    {"INTBASE: %08x\n", INTC_INTBASE},
    {"INTSIZE: %08x\n\n", INTC_INTSIZE},
    {"IINTVEC: %08x\n", INTC_IINTVEC},
    {"FINTVEC: %08x\n", INTC_FINTVEC},
    {"IPIPNDR: %08x\n", INTC_IPIPNDR},
    {"INTPND0: %08x\n", {0, INTC_INTPND}},
    {"INTPND1: %08x\n", {1, INTC_INTPND}},
    {"INTPND2: %08x\n", {2, INTC_INTPND}},
    {"INTPND3: %08x\n", {3, INTC_INTPND}},
    {"INTCTL0: %08x\n", {0, INTC_INTCTL}},
    {"INTCTL1: %08x\n", {1, INTC_INTCTL}},
    {"INTCTL2: %08x\n", {2, INTC_INTCTL}},
    {"INTCTL3: %08x\n", {3, INTC_INTCTL}},
    {"INTSTR0: %08x\n", {0, INTC_INTSTR}},
    {"INTSTR1: %08x\n", {1, INTC_INTSTR}},
    {"INTSTR2: %08x\n", {2, INTC_INTSTR}},
    {"INTSTR3: %08x\n", {3, INTC_INTSTR}},
    {"IINTSRC0:%08x\n", {0, INTC_IINTSRC}},
    {"IINTSRC1:%08x\n", {1, INTC_IINTSRC}},
    {"Reread:  %08x\n", {1, INTC_IINTSRC}},
    {"IINTSRC2:%08x\n", {2, INTC_IINTSRC}},
    {"IINTSRC3:%08x\n\n", {3, INTC_IINTSRC}},
    {"FINTSRC0:%08x\n", {0, INTC_FINTSRC}},
    {"FINTSRC1:%08x\n", {1, INTC_FINTSRC}},
    {"FINTSRC2:%08x\n", {2, INTC_FINTSRC}},
    {"FINTSRC3:%08x\n", {3, INTC_FINTSRC}},
    {"IPR0:    %08x\n", {0, INTC_IPR}},
    {"IPR1:    %08x\n", {1, INTC_IPR}},
    {"IPR2:    %08x\n", {2, INTC_IPR}},
    {"IPR3:    %08x\n", {3, INTC_IPR}},
    {"IPR4:    %08x\n", {4, INTC_IPR}},
    {"IPR5:    %08x\n", {5, INTC_IPR}},
    {"IPR6:    %08x\n", {6, INTC_IPR}},
    {"IPR7:    %08x\n", {7, INTC_IPR}},
};

constexpr uint32_t ARM_REGS_BASE = 0xFFD80000;
constexpr uint32_t ARM_REGS_GAP_START = 0xFFD80600;
constexpr uint32_t ARM_REGS_GAP_END = 0xFFD81500;
constexpr uint32_t ARM_REGS_ROWS = 72;

// Registers whose read has side effects on the board.
bool IsUnreadable(uint32_t dAddress) { return dAddress == 0xFFD801A4 || dAddress == 0xFFD801AC; }

}  // namespace

void DumpInterruptRegisters() {
    DebugPrintf("\n\n*********************\n");
    DebugPrintf("\n Interrupt Registers\n");
    DebugPrintf("*********************\n");
    DebugPrintf("\n");
    for (const CP6_DUMP_ROW& s : s_asInterruptRegisters) {
        DebugPrintf(s.pszFormat, static_cast<unsigned>(Cp6Read(s.sRegister.bCrn, s.sRegister.bCrm)));
    }
}

void DumpArmRegs(uint8_t fPolled) {
    void (*pfnPrint)(const char*, ...) = fPolled == TRUE ? DebugPrintf : ConsolePrintf;
    pfnPrint("ARM Regs:\n");
    uint32_t dAddress = ARM_REGS_BASE;
    for (uint32_t dRow = 0; dRow < ARM_REGS_ROWS; ++dRow) {
        if (dAddress == ARM_REGS_GAP_START) dAddress = ARM_REGS_GAP_END;
        pfnPrint("%04x:", static_cast<unsigned>(dAddress & 0xFFFF));
        for (uint32_t i = 0; i < 8; ++i, dAddress += 4) {
            if (IsUnreadable(dAddress)) {
                pfnPrint(" xxxxxxxx");
            } else {
                pfnPrint(" %08x", static_cast<unsigned>(Reg32Read(dAddress)));
            }
        }
        pfnPrint("\n");
    }
    pfnPrint("\n\n");
}

}  // namespace fw
