// The processor's interrupt controller and the per-source interrupt locks.
//
// The only concurrency is between the main loop and the FIQ handler, so a
// critical section masks the one source whose handler shares the data.  The
// calling rule: keep the result of LockInterruptSource and call
// UnlockInterruptSource only when it was not '0'; nested sections and code
// running inside the source's own handler then leave the mask alone and the
// outermost holder unmasks.
#pragma once

#include <cstdint>

#include "hw/interrupt_controller.h"

namespace fw {

// Logical interrupt sources.
constexpr uint8_t INT_SOURCE_HOST_CHIPS = 0;      // host-port chips 1 and 2
constexpr uint8_t INT_SOURCE_DRIVE_SIDE = 2;      // drive-side message interrupts
constexpr uint8_t INT_SOURCE_PARTNER_HEARTBEAT = 6;
constexpr uint8_t INT_SOURCE_UART = 7;
constexpr uint8_t INT_SOURCE_RESERVED = 8;
constexpr uint8_t INT_SOURCE_EMBEDDED_MODULE = 10;
constexpr uint8_t INT_SOURCE_MESSAGING_UNIT = 11;

// Lock byte values.
constexpr uint8_t INT_LOCK_FREE = '1';
constexpr uint8_t INT_LOCK_HELD = '0';

void DisableInterrupts();   // masks IRQ and FIQ in the CPSR
void EnableInterrupts();
void InitInterruptController();
void StartTickTimer();
void EnableInterruptSource0();
void EnableInterruptSource2();
// Steers one line to FIQ (TRUE) or IRQ.
void SteerInterruptLine(INT_LINE sLine, uint8_t fFiq);

// 0xFF when this call took the lock; '0' when it was already held or the
// caller runs inside the source's handler.
uint8_t LockInterruptSource(uint8_t bSource);
void UnlockInterruptSource(uint8_t bSource);

// A section with one source masked, by the calling rule above.
class InterruptSourceLock {
public:
    explicit InterruptSourceLock(uint8_t bSource) : m_bSource(bSource), m_bTaken(LockInterruptSource(bSource)) {}
    ~InterruptSourceLock() {
        if (m_bTaken == 0xFF) UnlockInterruptSource(m_bSource);
    }
    InterruptSourceLock(const InterruptSourceLock&) = delete;
    InterruptSourceLock& operator=(const InterruptSourceLock&) = delete;

private:
    uint8_t m_bSource;
    uint8_t m_bTaken;
};

// Direct masking of one source, outside the lock protocol (the console masks
// the UART around its register accesses).  Unknown sources: nothing.
void MaskInterruptSource(uint8_t bSource);
void UnmaskInterruptSource(uint8_t bSource);

// Lock bytes ('0' held, '1' free); sources without a lock read '1'.
uint8_t bGetInterruptLockByte(uint8_t bSource);
uint8_t bGetSource0LockByte();
uint8_t bGetSource2LockByte();

// Bring-up: every lock free, no handler running, sources 0 and 2 not
// enabled and not masked.
void ResetInterruptLocks();

// Inside-handler bytes, set by the FIQ dispatcher around a source's handler.
void SetInterruptSourceActive(uint8_t bSource, uint8_t f);
uint8_t fIsInterruptSourceActive(uint8_t bSource);

}  // namespace fw
