// The processor's interrupt controller and the per-source interrupt locks.
#include "executive/interrupt_controller.h"

#include "executive/types.h"
#include "hw/hw.h"

namespace fw {

namespace {

// Coprocessor-6 interrupt controller registers: INTCTLn is CRn n / CRm 4,
// the FIQ steering register INTSTRn is CRn n / CRm 5.
constexpr uint32_t CRM_INTCTL = 4;
constexpr uint32_t CRM_INTSTR = 5;
// Embedded-module and messaging-unit interrupt enables.
constexpr uint32_t CRN_MODULE = 0;
constexpr uint32_t CRM_MODULE = 0;
// Timers.
constexpr uint32_t CRM_TIMER = 9;
constexpr uint32_t CRN_TIMER0_MODE = 0;
constexpr uint32_t CRN_TIMER0_RELOAD = 4;
constexpr uint32_t CRN_TIMER_STATUS = 6;

constexpr uint32_t TICK_RELOAD = 400000;   // 1 ms of the timer clock
constexpr uint32_t TIMER_MODE_RELOADING = 6;

constexpr uint32_t HOST_CHIP_BITS = (1u << 24) | (1u << 25);  // INTCTL0
constexpr uint32_t TIMER0_BIT = 1u << 8;                       // INTCTL0
constexpr uint32_t HEARTBEAT_BIT = 1u << 27;                   // INTCTL0
constexpr uint32_t UART_BIT = 1u << 19;                        // INTCTL1, INTSTR1
constexpr uint32_t DRIVE_SIDE_BIT = 1u << 17;                  // INTCTL3
constexpr uint32_t MODULE_MASK_BITS = 0x0030000F;              // bits 0-3, 20, 21
constexpr uint32_t MODULE_UNMASK_BITS = 0x0030000A;            // bits 1, 3, 20, 21
constexpr uint32_t MESSAGING_UNIT_BIT = 1u << 13;

constexpr uint8_t SOURCE_COUNT = 12;

uint8_t s_abLockByte[SOURCE_COUNT] = {'1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1'};
uint8_t s_afInsideHandler[SOURCE_COUNT] = {FALSE, FALSE, FALSE, FALSE, FALSE, FALSE,
                                           FALSE, FALSE, FALSE, FALSE, FALSE, FALSE};
uint8_t s_fSource0Enabled = FALSE;
uint8_t s_fSource2Enabled = FALSE;
uint8_t s_fSource2Masked = FALSE;

void ClearCp6Bits(uint32_t dCrn, uint32_t dCrm, uint32_t dBits) {
    Cp6Write(dCrn, dCrm, Cp6Read(dCrn, dCrm) & ~dBits);
}

void SetCp6Bits(uint32_t dCrn, uint32_t dCrm, uint32_t dBits) {
    Cp6Write(dCrn, dCrm, Cp6Read(dCrn, dCrm) | dBits);
}

bool HasLock(uint8_t bSource) {
    switch (bSource) {
    case INT_SOURCE_HOST_CHIPS:
    case INT_SOURCE_DRIVE_SIDE:
    case INT_SOURCE_PARTNER_HEARTBEAT:
    case INT_SOURCE_UART:
    case INT_SOURCE_RESERVED:
    case INT_SOURCE_EMBEDDED_MODULE:
    case INT_SOURCE_MESSAGING_UNIT:
        return true;
    default:
        return false;
    }
}

bool InsideHandler(uint8_t bSource) { return s_afInsideHandler[bSource] == TRUE; }

}  // namespace

void DisableInterrupts() { CpuMaskInterrupts(); }

void EnableInterrupts() { CpuUnmaskInterrupts(); }

void InitInterruptController() {
    DisableInterrupts();
    // Coprocessor access: 0, 6, 7 and 13.
    Cp15Write(15, 1, 0, 0x20C1);
    // XOR and DMA done, I2C 0 and 1, messaging unit; the error sources of
    // INTCTL1; I2C 2.  The host chips, drive-side messages, timer, heartbeat
    // and UART come on later through their own routines.
    Cp6Write(0, CRM_INTCTL, 0x2C30);
    Cp6Write(1, CRM_INTCTL, 0x9A00000);
    Cp6Write(2, CRM_INTCTL, 0);
    Cp6Write(3, CRM_INTCTL, 0x1);
    // Everything the firmware services goes to FIQ; the memory controller and
    // ATU errors stay on IRQ.
    Cp6Write(0, CRM_INTSTR, 0xF002D3F);
    Cp6Write(1, CRM_INTSTR, 0xE080000);
    Cp6Write(2, CRM_INTSTR, 0);
    Cp6Write(3, CRM_INTSTR, 0x80000001);
}

void StartTickTimer() {
    Cp6Write(CRN_TIMER0_RELOAD, CRM_TIMER, TICK_RELOAD);
    Cp6Write(CRN_TIMER_STATUS, CRM_TIMER, 1);   // drop a stale tick
    Cp6Write(CRN_TIMER0_MODE, CRM_TIMER, TIMER_MODE_RELOADING);
    SetCp6Bits(0, CRM_INTCTL, TIMER0_BIT);
}

void MaskInterruptSource(uint8_t bSource) {
    switch (bSource) {
    case INT_SOURCE_HOST_CHIPS:
        // Until the host chips are up their enables stay off whatever the
        // lock protocol does.
        if (s_fSource0Enabled == TRUE) ClearCp6Bits(0, CRM_INTCTL, HOST_CHIP_BITS);
        break;
    case INT_SOURCE_DRIVE_SIDE:
        ClearCp6Bits(3, CRM_INTCTL, DRIVE_SIDE_BIT);
        s_fSource2Masked = TRUE;
        break;
    case INT_SOURCE_PARTNER_HEARTBEAT:
        ClearCp6Bits(0, CRM_INTCTL, HEARTBEAT_BIT);
        break;
    case INT_SOURCE_UART:
        ClearCp6Bits(1, CRM_INTCTL, UART_BIT);
        break;
    case INT_SOURCE_EMBEDDED_MODULE:
        ClearCp6Bits(CRN_MODULE, CRM_MODULE, MODULE_MASK_BITS);
        break;
    case INT_SOURCE_MESSAGING_UNIT:
        ClearCp6Bits(CRN_MODULE, CRM_MODULE, MESSAGING_UNIT_BIT);
        break;
    default:
        break;
    }
}

void UnmaskInterruptSource(uint8_t bSource) {
    switch (bSource) {
    case INT_SOURCE_HOST_CHIPS:
        if (s_fSource0Enabled == TRUE) SetCp6Bits(0, CRM_INTCTL, HOST_CHIP_BITS);
        break;
    case INT_SOURCE_DRIVE_SIDE:
        // Like source 0, the drive-side interrupt stays off until its driver
        // has started the chip; a lock section during start-up must not let
        // it through early.
        if (s_fSource2Enabled == TRUE) {
            SetCp6Bits(3, CRM_INTCTL, DRIVE_SIDE_BIT);
            s_fSource2Masked = FALSE;
        }
        break;
    case INT_SOURCE_PARTNER_HEARTBEAT:
        SetCp6Bits(0, CRM_INTCTL, HEARTBEAT_BIT);
        break;
    case INT_SOURCE_UART:
        SetCp6Bits(1, CRM_INTSTR, UART_BIT);
        SetCp6Bits(1, CRM_INTCTL, UART_BIT);
        break;
    case INT_SOURCE_EMBEDDED_MODULE:
        SetCp6Bits(CRN_MODULE, CRM_MODULE, MODULE_UNMASK_BITS);
        break;
    case INT_SOURCE_MESSAGING_UNIT:
        SetCp6Bits(CRN_MODULE, CRM_MODULE, MESSAGING_UNIT_BIT);
        break;
    default:
        break;
    }
}

void EnableInterruptSource0() {
    s_fSource0Enabled = TRUE;
    UnmaskInterruptSource(INT_SOURCE_HOST_CHIPS);
}

void EnableInterruptSource2() {
    s_fSource2Enabled = TRUE;
    UnmaskInterruptSource(INT_SOURCE_DRIVE_SIDE);
}

uint8_t LockInterruptSource(uint8_t bSource) {
    switch (bSource) {
    case INT_SOURCE_HOST_CHIPS:
    case INT_SOURCE_DRIVE_SIDE:
    case INT_SOURCE_RESERVED:
        if (InsideHandler(bSource)) return STATUS_LOCK_HELD;
        [[fallthrough]];
    case INT_SOURCE_PARTNER_HEARTBEAT:
        // Mask first: a held lock keeps the source masked until its holder
        // unlocks.
        MaskInterruptSource(bSource);
        break;
    case INT_SOURCE_UART:
        MaskInterruptSource(bSource);
        s_abLockByte[bSource] = INT_LOCK_HELD;
        return STATUS_OK;
    case INT_SOURCE_EMBEDDED_MODULE:
    case INT_SOURCE_MESSAGING_UNIT:
        if (InsideHandler(bSource) || s_abLockByte[bSource] == INT_LOCK_HELD) {
            return STATUS_LOCK_HELD;
        }
        MaskInterruptSource(bSource);
        break;
    default:
        return STATUS_OK;
    }
    if (s_abLockByte[bSource] == INT_LOCK_HELD) return STATUS_LOCK_HELD;
    s_abLockByte[bSource] = INT_LOCK_HELD;
    return STATUS_OK;
}

void UnlockInterruptSource(uint8_t bSource) {
    if (!HasLock(bSource)) return;
    s_abLockByte[bSource] = INT_LOCK_FREE;
    UnmaskInterruptSource(bSource);
}

uint8_t bGetInterruptLockByte(uint8_t bSource) {
    return HasLock(bSource) ? s_abLockByte[bSource] : INT_LOCK_FREE;
}

uint8_t bGetSource0LockByte() { return bGetInterruptLockByte(INT_SOURCE_HOST_CHIPS); }

uint8_t bGetSource2LockByte() { return bGetInterruptLockByte(INT_SOURCE_DRIVE_SIDE); }

void ResetInterruptLocks() {
    for (uint8_t b = 0; b < SOURCE_COUNT; b++) {
        s_abLockByte[b] = INT_LOCK_FREE;
        s_afInsideHandler[b] = FALSE;
    }
    s_fSource0Enabled = FALSE;
    s_fSource2Enabled = FALSE;
    s_fSource2Masked = FALSE;
}

void SetInterruptSourceActive(uint8_t bSource, uint8_t f) {
    if (bSource < SOURCE_COUNT) s_afInsideHandler[bSource] = f;
}

uint8_t fIsInterruptSourceActive(uint8_t bSource) {
    return bSource < SOURCE_COUNT && s_afInsideHandler[bSource] == TRUE ? TRUE : FALSE;
}

}  // namespace fw
