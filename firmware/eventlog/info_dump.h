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

uint8_t fGetInfoDumpRequest();
void RunInfoDump();

}  // namespace fw
