// The debug information dump: everything support staff need in one long
// text, to the console or into the capture buffer the management protocol
// uploads: the configuration, drive and host lists, the internal queues
// and states, and each controller's information, statistics and event log.
// A step machine driven by the background pass.
#pragma once

#include <cstdint>

namespace fw {

// Print output mode: where console output goes while the dump runs.
constexpr uint8_t PRINT_OUTPUT_CAPTURE = 4;    // into the capture buffer
constexpr uint8_t PRINT_OUTPUT_CONSOLE = 10;

// Stores the mode and starts the dump.
void SetPrintOutputMode(uint8_t bMode);
uint8_t bGetPrintOutputMode();
// One step, while the debug dump work flag is TRUE.
void ShowDebugInformation();
// TRUE from a partner read until its answer has been stored.
void SetPartnerReadPending(uint8_t f);
uint8_t fIsPartnerReadPending();
// A captured dump is complete and may be uploaded.
void SetDebugCaptureReady(uint8_t f);
uint8_t fIsDebugCaptureReady();
// Start of day: no dump running.
void ResetDebugDump();

}  // namespace fw
