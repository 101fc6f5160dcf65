// The processor's interrupt controller and the per-source interrupt locks.
#include "executive/interrupt_controller.h"

#include "executive/types.h"
#include "hw/cp15.h"
#include "hw/hw.h"
#include "hw/interrupt_controller.h"
#include "hw/sata_88sx.h"
#include "hw/timers.h"

namespace fw {

namespace {

constexpr uint32_t TICK_RELOAD = 1000 * TIMER_COUNTS_PER_US;   // 1 ms

// What bring-up enables and steers to FIQ, per bank: XOR and DMA done, I2C
// 0, 1 and 2, the messaging unit and the error sources.  The host chips,
// drive-side messages, timer, partner link and UART come on later through
// their own routines.  Everything the firmware services goes to FIQ; the
// memory controller, ATU and internal bus errors stay on IRQ.
struct BANK_SETUP {
    uint32_t dEnable;
    uint32_t dFiq;
};
constexpr uint32_t DRIVE_CHIP_BITS = dLineMask(INT_LINE_DRIVE_CHIP3) | dLineMask(INT_LINE_DRIVE_CHIP4) |
                                     dLineMask(INT_LINE_SATA_CHIP1) | dLineMask(INT_LINE_SATA_CHIP2);
constexpr uint32_t BANK0_OTHER_UNITS = 0x0F;   // lines 0-3: the other DMA and accelerator units
constexpr uint32_t BANK1_OTHER_UNITS = (1u << 25) | (1u << 26);
constexpr BANK_SETUP s_asBankSetup[INTC_BANKS] = {
    {dLineMask(INT_LINE_DMA) | dLineMask(INT_LINE_AAU) | dLineMask(INT_LINE_I2C0) |
         dLineMask(INT_LINE_I2C1) | dLineMask(INT_LINE_MESSAGING_UNIT),
     BANK0_OTHER_UNITS | dLineMask(INT_LINE_DMA) | dLineMask(INT_LINE_AAU) | dLineMask(INT_LINE_TIMER0) |
         dLineMask(INT_LINE_I2C0) | dLineMask(INT_LINE_I2C1) | dLineMask(INT_LINE_MESSAGING_UNIT) |
         dLineMask(INT_LINE_HOST_CHIP1) | dLineMask(INT_LINE_HOST_CHIP2) |
         dLineMask(INT_LINE_EMBEDDED_MODULE) | dLineMask(INT_LINE_PARTNER_LINK)},
    {dLineMask(INT_LINE_INTERNAL_BUS) | dLineMask(INT_LINE_ATU) | dLineMask(INT_LINE_MEMORY) |
         dLineMask(INT_LINE_DMA_AAU_2),
     dLineMask(INT_LINE_UART) | BANK1_OTHER_UNITS | dLineMask(INT_LINE_DMA_AAU_2)},
    {0, 0},
    {dLineMask(INT_LINE_I2C2), dLineMask(INT_LINE_I2C2) | dLineMask(INT_LINE_WATCHDOG) | DRIVE_CHIP_BITS},
};

// How a source's lock behaves.
constexpr uint8_t LOCK_NONE = 0x00;          // no lock: calls succeed and change nothing
constexpr uint8_t LOCK_KEPT = 0x01;          // the source has a lock byte
constexpr uint8_t LOCK_INSIDE_HELD = 0x02;   // a caller inside the source's handler gets '0'
constexpr uint8_t LOCK_TEST_FIRST = 0x04;    // a held lock answers '0' before masking
constexpr uint8_t LOCK_ALWAYS_TAKE = 0x08;   // masks and takes whether held or not
// How its mask behaves.
constexpr uint8_t MASK_GATED = 0x10;         // no effect until the driver enabled the source
constexpr uint8_t UNMASK_GATED = 0x20;       // unmasking waits for the driver to enable it
constexpr uint8_t UNMASK_STEERS = 0x40;      // unmasking also steers the bits to FIQ

// The logical sources: the interrupt controller register that gates each,
// the bits masking clears and unmasking sets, and the behaviour of its lock.
struct INT_SOURCE_ROW {
    CP6_REGISTER sRegister;
    uint32_t dMaskBits;
    uint32_t dUnmaskBits;
    uint8_t bFlags;
};
constexpr CP6_REGISTER INTCTL0 = {0, INTC_INTCTL};
constexpr CP6_REGISTER INTCTL1 = {1, INTC_INTCTL};
constexpr CP6_REGISTER INTCTL3 = {3, INTC_INTCTL};
constexpr uint32_t HOST_CHIP_BITS = dLineMask(INT_LINE_HOST_CHIP1) | dLineMask(INT_LINE_HOST_CHIP2);
constexpr INT_SOURCE_ROW NO_SOURCE = {{0, 0}, 0, 0, LOCK_NONE};
constexpr uint8_t SOURCE_COUNT = 12;
constexpr INT_SOURCE_ROW s_asSources[SOURCE_COUNT] = {
    // 0: host-port chips 1 and 2
    {INTCTL0, HOST_CHIP_BITS, HOST_CHIP_BITS, LOCK_KEPT | LOCK_INSIDE_HELD | MASK_GATED | UNMASK_GATED},
    NO_SOURCE,
    // 2: drive-side messages; off until its driver has started the chip, so
    // that a lock section during start-up does not let it through early
    {INTCTL3, dLineMask(INT_LINE_MSI) | DRIVE_CHIP_BITS, dLineMask(INT_LINE_MSI) | DRIVE_CHIP_BITS,
     LOCK_KEPT | LOCK_INSIDE_HELD | UNMASK_GATED},
    NO_SOURCE,
    NO_SOURCE,
    NO_SOURCE,
    // 6: partner heartbeat
    {INTCTL0, dLineMask(INT_LINE_PARTNER_LINK), dLineMask(INT_LINE_PARTNER_LINK), LOCK_KEPT},
    // 7: UART
    {INTCTL1, dLineMask(INT_LINE_UART), dLineMask(INT_LINE_UART), LOCK_KEPT | LOCK_ALWAYS_TAKE | UNMASK_STEERS},
    // 8: a lock without an interrupt of its own
    {{0, 0}, 0, 0, LOCK_KEPT | LOCK_INSIDE_HELD},
    NO_SOURCE,
    // 10: embedded-module mailbox
    {INTC_UNIT_ENABLES, INTC_UNIT_MODULE_MASK, INTC_UNIT_MODULE_UNMASK, LOCK_KEPT | LOCK_INSIDE_HELD | LOCK_TEST_FIRST},
    // 11: messaging unit
    {INTC_UNIT_ENABLES, INTC_UNIT_MESSAGING_UNIT, INTC_UNIT_MESSAGING_UNIT,
     LOCK_KEPT | LOCK_INSIDE_HELD | LOCK_TEST_FIRST},
};

uint8_t s_abLockByte[SOURCE_COUNT] = {'1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1'};
uint8_t s_afInsideHandler[SOURCE_COUNT] = {FALSE, FALSE, FALSE, FALSE, FALSE, FALSE,
                                           FALSE, FALSE, FALSE, FALSE, FALSE, FALSE};
// Sources whose driver has enabled them (the gated ones).
uint8_t s_afDriverEnabled[SOURCE_COUNT] = {FALSE, FALSE, FALSE, FALSE, FALSE, FALSE,
                                           FALSE, FALSE, FALSE, FALSE, FALSE, FALSE};

void ModifyCp6(uint32_t dCrn, uint32_t dCrm, uint32_t dSet, uint32_t dClear) {
    Cp6Write(dCrn, dCrm, (Cp6Read(dCrn, dCrm) & ~dClear) | dSet);
}

const INT_SOURCE_ROW& Row(uint8_t bSource) { return bSource < SOURCE_COUNT ? s_asSources[bSource] : NO_SOURCE; }

bool HasLock(uint8_t bSource) { return (Row(bSource).bFlags & LOCK_KEPT) != 0; }

bool InsideHandler(uint8_t bSource) { return s_afInsideHandler[bSource] == TRUE; }

bool DriverEnabled(uint8_t bSource) { return s_afDriverEnabled[bSource] == TRUE; }

}  // namespace

void DisableInterrupts() { CpuMaskInterrupts(); }

void EnableInterrupts() { CpuUnmaskInterrupts(); }

void SteerInterruptLine(INT_LINE sLine, uint8_t fFiq) {
    const uint32_t d = dLineMask(sLine);
    ModifyCp6(sLine.bBank, INTC_INTSTR, fFiq == TRUE ? d : 0, fFiq == TRUE ? 0 : d);
}

void InitInterruptController() {
    DisableInterrupts();
    // Coprocessor access: 0, 6, 7 and 13.
    Cp15Write(CP15_COPROCESSOR_ACCESS, 0x20C1);
    for (uint32_t dBank = 0; dBank < INTC_BANKS; ++dBank) Cp6Write(dBank, INTC_INTCTL, s_asBankSetup[dBank].dEnable);
    for (uint32_t dBank = 0; dBank < INTC_BANKS; ++dBank) Cp6Write(dBank, INTC_INTSTR, s_asBankSetup[dBank].dFiq);
}

void StartTickTimer() {
    Cp6Write(TIMER_TRR0, TIMER_CRM, TICK_RELOAD);
    Cp6Write(TIMER_TISR, TIMER_CRM, TIMER_TISR_TIMER0);   // drop a stale tick
    Cp6Write(TIMER_TMR0, TIMER_CRM, TIMER_MODE_ENABLE | TIMER_MODE_RELOAD);
    ModifyCp6(INT_LINE_TIMER0.bBank, INTC_INTCTL, dLineMask(INT_LINE_TIMER0), 0);
}

void MaskInterruptSource(uint8_t bSource) {
    const INT_SOURCE_ROW& sRow = Row(bSource);
    if (sRow.dMaskBits == 0) return;
    if ((sRow.bFlags & MASK_GATED) != 0 && !DriverEnabled(bSource)) return;
    ModifyCp6(sRow.sRegister.bCrn, sRow.sRegister.bCrm, 0, sRow.dMaskBits);
}

void UnmaskInterruptSource(uint8_t bSource) {
    const INT_SOURCE_ROW& sRow = Row(bSource);
    if (sRow.dUnmaskBits == 0) return;
    if ((sRow.bFlags & UNMASK_GATED) != 0 && !DriverEnabled(bSource)) return;
    if ((sRow.bFlags & UNMASK_STEERS) != 0) ModifyCp6(sRow.sRegister.bCrn, INTC_INTSTR, sRow.dUnmaskBits, 0);
    ModifyCp6(sRow.sRegister.bCrn, sRow.sRegister.bCrm, sRow.dUnmaskBits, 0);
}

void EnableInterruptSource0() {
    s_afDriverEnabled[INT_SOURCE_HOST_CHIPS] = TRUE;
    UnmaskInterruptSource(INT_SOURCE_HOST_CHIPS);
}

void EnableInterruptSource2() {
    s_afDriverEnabled[INT_SOURCE_DRIVE_SIDE] = TRUE;
    UnmaskInterruptSource(INT_SOURCE_DRIVE_SIDE);
}

uint8_t LockInterruptSource(uint8_t bSource) {
    const uint8_t bFlags = Row(bSource).bFlags;
    if ((bFlags & LOCK_KEPT) == 0) return STATUS_OK;
    if ((bFlags & LOCK_INSIDE_HELD) != 0 && InsideHandler(bSource)) return STATUS_LOCK_HELD;
    if ((bFlags & LOCK_TEST_FIRST) != 0 && s_abLockByte[bSource] == INT_LOCK_HELD) return STATUS_LOCK_HELD;
    // Mask first: a held lock keeps the source masked until its holder
    // unlocks.
    MaskInterruptSource(bSource);
    if ((bFlags & LOCK_ALWAYS_TAKE) == 0 && s_abLockByte[bSource] == INT_LOCK_HELD) return STATUS_LOCK_HELD;
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
        s_afDriverEnabled[b] = FALSE;
    }
}

void SetInterruptSourceActive(uint8_t bSource, uint8_t f) {
    if (bSource < SOURCE_COUNT) s_afInsideHandler[bSource] = f;
}

uint8_t fIsInterruptSourceActive(uint8_t bSource) {
    return bSource < SOURCE_COUNT && s_afInsideHandler[bSource] == TRUE ? TRUE : FALSE;
}

}  // namespace fw
