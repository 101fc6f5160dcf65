// The controller write/read throughput test of the drive ports.
#pragma once

#include <cstdint>

namespace fw {

// Raised by the test's start; the background pass then runs the test.
uint8_t fGetThroughputTestRequest();
void RunThroughputTest();
// While it runs the test owns the console: ESC stops it.
uint8_t fIsThroughputTestRunning();
void StopThroughputTest(uint8_t fByOperator);
// The two test variants the hidden phrases of the port test menu select.
void SetThroughputTestPartnerIncluded(uint8_t f);
void SetThroughputTestLinkJitter(uint8_t f);

}  // namespace fw
