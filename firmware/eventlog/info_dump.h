// The debug information dump.
#pragma once

#include <cstdint>

namespace fw {

// Print output mode: where console output goes while the main loop runs.
constexpr uint8_t PRINT_OUTPUT_CAPTURE = 4;    // into the capture buffer
constexpr uint8_t PRINT_OUTPUT_CONSOLE = 10;

// Stores the mode and starts the dump.
void SetPrintOutputMode(uint8_t bMode);
uint8_t bGetPrintOutputMode();

// The paged information dump: a requester sets request, state, mode (2
// from a console menu) and last the type; the background pass then runs
// one step of it per pass.
uint8_t fGetInfoDumpRequest();
void SetInfoDumpRequest(uint8_t f);
uint8_t bGetInfoDumpType();
void SetInfoDumpType(uint8_t bType);
uint8_t bGetInfoDumpState();
void SetInfoDumpState(uint16_t wState);
uint8_t bGetInfoDumpMode();
void SetInfoDumpMode(uint8_t bMode);
void RunInfoDump();

}  // namespace fw
