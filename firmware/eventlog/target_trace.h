// The target command trace.
#pragma once

#include <cstdint>

namespace fw {

void InitTarCmdTrace();

struct KERNEL_ENTRY;
// Appends a finished command to the target command trace when it is on.
void RecordTarCmdTrace(KERNEL_ENTRY* psEntry);
void PrintCommandTraceLine(const KERNEL_ENTRY* psEntry);
// The "Target Command Trace" and "Target Command Time Trace" settings.
uint8_t fGetTargetCommandTrace();
uint8_t fGetTargetCommandTimeTrace();
void SetTargetCommandTrace(uint8_t f);
void SetTargetCommandTimeTrace(uint8_t f);

}  // namespace fw
