// The target command trace.
#pragma once

#include <cstdint>

namespace fw {

void InitTarCmdTrace();

struct KERNEL_ENTRY;
// Appends a finished command to the target command trace when it is on.
void RecordTarCmdTrace(KERNEL_ENTRY* psEntry);

}  // namespace fw
