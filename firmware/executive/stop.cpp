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
#include "fc/fc_driver.h"
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

constexpr uint32_t FPGA_CONTROL = 0xF100F000;
constexpr uint16_t FPGA_CONTROL_BOARD_RESET = 1u << 0;
constexpr uint8_t HOST_INTERFACE_FC = 1;
constexpr uint8_t HOST_INTERFACE_SAS_TARGET = 6;
constexpr uint8_t MANUFACTURE_ACCESS_LEVEL = 4;
constexpr uint8_t ALL_LOOPS = 255;

uint32_t s_dShutdownStartTime;

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
    ClearPreservationPattern();
    SetInitializationComplete(FALSE);
    bInitI2cUnit1(TRUE);
    Reg16Write(FPGA_CONTROL, static_cast<uint16_t>(Reg16Read(FPGA_CONTROL) | FPGA_CONTROL_BOARD_RESET));
}

}  // namespace

void StartShutdown() {
    SetShutdownPending(TRUE);
    if (fGetDriveLoopsStarted() == TRUE) {
        SetDriveLoopsStarted(FALSE);
        ClearHostPortRecords();
    }
    ReleaseLunQueuesForShutdown();
    SetControllerStopping(TRUE);
    SetShutdownStartTime();
}

void SetShutdownStartTime() { s_dShutdownStartTime = dGetCoarseTick(); }

uint32_t dGetShutdownStartTime() { return s_dShutdownStartTime; }

void ShutdownController() {
    SetHardwareWatchdog(FALSE);
    if (fIsDualControllerActive() != TRUE) CloseDriveLoops(ALL_LOOPS, ALL_LOOPS);
    DebugPrintf("\n\nShutting Down Controller\n\n");
    SpinDelayMs(100);
    DisableInterrupts();
    PostEvent(88, 0, bGetShutdownReason());
    SetInitializationComplete(FALSE);
    bInitI2cUnit1(TRUE);
    ShutdownHostChipPci(1, TRUE);
    ShutdownHostChipPci(2, TRUE);
    SpinDelayMs(1000);
    if (bGetConsoleAccessLevel() >= MANUFACTURE_ACCESS_LEVEL) {
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

struct CP6_REGISTER {
    const char* pszFormat;
    uint8_t bCrn;
    uint8_t bCrm;
};

// Where each interrupt controller register sits in coprocessor 6.
constexpr CP6_REGISTER s_asInterruptRegisters[] = {
    {"INTBASE: %08x\n", 2, 0},     {"INTSIZE: %08x\n\n", 2, 2},   {"IINTVEC: %08x\n", 3, 0},
    {"FINTVEC: %08x\n", 4, 0},     {"IPIPNDR: %08x\n", 1, 2},     {"INTPND0: %08x\n", 0, 3},
    {"INTPND1: %08x\n", 1, 3},     {"INTPND2: %08x\n", 2, 3},     {"INTPND3: %08x\n", 3, 3},
    {"INTCTL0: %08x\n", 0, 4},     {"INTCTL1: %08x\n", 1, 4},     {"INTCTL2: %08x\n", 2, 4},
    {"INTCTL3: %08x\n", 3, 4},     {"INTSTR0: %08x\n", 0, 5},     {"INTSTR1: %08x\n", 1, 5},
    {"INTSTR2: %08x\n", 2, 5},     {"INTSTR3: %08x\n", 3, 5},     {"IINTSRC0:%08x\n", 0, 6},
    {"IINTSRC1:%08x\n", 1, 6},     {"Reread:  %08x\n", 1, 6},     {"IINTSRC2:%08x\n", 2, 6},
    {"IINTSRC3:%08x\n\n", 3, 6},   {"FINTSRC0:%08x\n", 0, 7},     {"FINTSRC1:%08x\n", 1, 7},
    {"FINTSRC2:%08x\n", 2, 7},     {"FINTSRC3:%08x\n", 3, 7},     {"IPR0:    %08x\n", 0, 8},
    {"IPR1:    %08x\n", 1, 8},     {"IPR2:    %08x\n", 2, 8},     {"IPR3:    %08x\n", 3, 8},
    {"IPR4:    %08x\n", 4, 8},     {"IPR5:    %08x\n", 5, 8},     {"IPR6:    %08x\n", 6, 8},
    {"IPR7:    %08x\n", 7, 8},
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
    for (const CP6_REGISTER& s : s_asInterruptRegisters) {
        DebugPrintf(s.pszFormat, static_cast<unsigned>(Cp6Read(s.bCrn, s.bCrm)));
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
