// Reset, shutdown and halt, and the register dumps of the error paths.
//
// Every layer stops the controller through these; they stop every
// subsystem's chips in turn, so the top layer defines them (stop.cpp).
#pragma once

#include <cstdint>

namespace fw {

// Orderly shutdown, carried out by the background pass once the write
// journal has drained.
void StartShutdown();
void SetShutdownStartTime();
uint32_t dGetShutdownStartTime();
// An operator's reset, carried out as the orderly shutdown is: once the
// write journal has drained, or its time is up, the board resets keeping
// what is left of the journals for the replay, so no acknowledged write is
// lost.
void StartControllerReset();
// The end of an orderly stop: the reset or the shutdown it was started for.
[[noreturn]] void FinishControllerStop();

[[noreturn]] void ShutdownController();
[[noreturn]] void HaltController();
// Resets the board through the FPGA, discarding both NVRAM write journals
// (an operator's reset); returns only when the reset did not take.
void ResetController();
// The same for a reset nobody asked for (a fault before initialisation
// completed): the journals stay for the replay at the next start of day.
void ResetControllerKeepJournals();

// The start of day found no run of pages for a table it cannot do without
// (dTakeStartOfDayPages): it says so, with what the cache kept over the
// restart holds, on the console and in the event log, and goes no further.
[[noreturn]] void StopStartShortOfPages(uint32_t dPageCount);

void DumpInterruptRegisters();
void DumpArmRegs(uint8_t fPolled);

}  // namespace fw
