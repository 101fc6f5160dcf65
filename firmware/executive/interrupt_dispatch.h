// FIQ and IRQ dispatch, the processor exception handlers and the error
// services of the memory controller, the ATU and the internal bus.
//
// All device work runs in the FIQ handler; the IRQ handler only takes error
// interrupts; the four program exceptions post an event and halt.  The
// handlers call into every driver, so the top layer defines them
// (interrupt_dispatch.cpp).
#pragma once

#include <cstdint>

namespace fw {

// Fault kinds in byte 1 of event 1.
constexpr uint8_t FAULT_DATA_ABORT = 1;
constexpr uint8_t FAULT_PREFETCH_ABORT = 2;
constexpr uint8_t FAULT_SOFTWARE_INTERRUPT = 3;
constexpr uint8_t FAULT_UNDEFINED_INSTRUCTION = 4;
constexpr uint8_t FAULT_UNEXPECTED_IRQ = 5;
constexpr uint8_t FAULT_INTERNAL_BUS = 7;

constexpr uint8_t EVENT_FAULT = 1;
constexpr uint8_t EVENT_MEMORY_ECC_CORRECTED = 114;
constexpr uint8_t EVENT_RECOVERED_FAULT = 156;

// Within this many dGetCoarseTickHalf units ten imprecise prefetch aborts
// are survived; the eleventh halts.
constexpr uint32_t PREFETCH_BURST_WINDOW = 3600;
constexpr uint32_t PREFETCH_BURST_LIMIT = 10;
constexpr uint32_t INTERNAL_BUS_ERROR_LIMIT = 50;

// Exception entry stubs: the board enters the stub stored in the vector page
// slot; the stub takes the exception-mode link register, the instruction or
// the fault registers and calls the handler below.
void UndefinedInstructionEntry();
void SoftwareInterruptEntry();
void PrefetchAbortEntry();
void DataAbortEntry();

void FiqHandler();
void IrqHandler();
void UndefinedInstructionHandler(uint32_t dAddress, uint32_t dInstruction);
void SoftwareInterruptHandler(uint32_t dAddress, uint32_t dInstruction);
void PrefetchAbortHandler(uint32_t dAddress, uint32_t dFaultStatus);
void DataAbortHandler(uint32_t dAddress, uint32_t dFaultStatus, uint32_t dFaultAddress);

void MemoryErrorService();
void InternalBusErrorService();
void AtuErrorDump();
void KickHeartbeat();
void RaiseTestPrefetchAbort();

// Bring-up: burst count and start time 0.
void ResetPrefetchAbortBurst();

uint8_t fIsInFiqHandler();
uint32_t dGetFiqCount();            // FIQs since the last timer tick
uint32_t dGetMemoryErrorCount();
uint32_t dGetInternalBusErrorCount();

// The data bit (0-63) or check bit (64-71) a single-bit ECC syndrome names;
// 0xFF for a syndrome that names no single bit.
uint8_t bEccSyndromeBit(uint8_t bSyndrome);

}  // namespace fw
