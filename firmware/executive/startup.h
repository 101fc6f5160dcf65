// Start-up: from the boot ROM's jump to the reset entry to the main loop.
#pragma once

#include <cstdint>

namespace fw {

[[noreturn]] void ControllerEntry();
void InitBoardHardware();
[[noreturn]] void InitController();
uint8_t bLoadConfiguration(uint8_t bSource);
uint8_t AllocateSubsystemMemory();
void ResetSubsystemFlags();
void InitKernelEntryPools();

// A failed start-up check: nothing more happens until power-off.
[[noreturn]] void IdleForever();

// The stacks the exception entry stubs load, one per exception-mode slot.
extern uint32_t ExceptionStackTable[8];

}  // namespace fw
