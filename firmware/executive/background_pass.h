// The background pass of the main loop: one sweep over the slow and
// start-of-day work of every subsystem, each service behind its gate, in one
// fixed order.
#pragma once

#include <cstdint>

namespace fw {

// Restarts of the sweep allowed in one pass.  A service whose gate stays
// open and restarts the sweep would otherwise hold the pass for ever; past
// the limit the sweep goes on to its end and the next pass continues.
constexpr uint32_t BACKGROUND_RESTART_LIMIT = 16;

// Coarse ticks (half seconds) a shutdown waits for the write journal.
constexpr uint32_t SHUTDOWN_DRAIN_TICKS = 120;

void RunBackgroundServices();

// Passes that reached the restart limit (the status line shows it).
uint32_t dGetBackgroundRestartLimitCount();

// The step numbers of the last services run, oldest first, for the fault
// dumps: copies up to dMax of them and returns how many were recorded since
// the last clear.
constexpr uint32_t BACKGROUND_TRACE_SIZE = 64;
uint32_t dCopyBackgroundStepTrace(uint8_t* pbOut, uint32_t dMax);
void ClearBackgroundStepTrace();

}  // namespace fw
