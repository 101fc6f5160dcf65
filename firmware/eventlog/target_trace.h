// The target command trace: a buffer, given by the operator, that keeps one
// 48-byte record per host command the target engine completes, behind a
// self-describing head, so that a tool can read it out over the host
// interface in pieces.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

constexpr uint32_t TRACE_UNIT_BYTES = 4u << 20;   // the buffer is asked for in units of 4 MiB

// Start of day: no buffer, nothing recorded.
void InitTarCmdTrace();
// A buffer of that many units: 255 when done or refused with a message, 0
// when no pages were free.
uint8_t fAllocateTarCmdTraceBuffer(uint8_t bUnits);
void FreeTarCmdTraceBuffer();
// Empties the buffer and leaves the trace inactive.
void ResetTarCmdTrace();
void SetTarCmdTraceActive(uint8_t f);
uint8_t fIsTarCmdTraceActive();
uint8_t fIsTarCmdTraceEnabled();
void ShowTarCmdTraceStatistics();
// Appends a finished host command while the trace is on.
void RecordTarCmdTrace(KERNEL_ENTRY* psEntry);
// A READ BUFFER of the trace: piece and length from the CDB; 255 when the
// data goes out, 0 when refused (the trace then is stopped either way).
uint8_t RemoteFibreGetTarCmdTraceDump(KERNEL_ENTRY* psEntry);

}  // namespace fw
