// The controller write/read throughput test of the drive ports.
#pragma once

#include <cstdint>

namespace fw {

// Arms the test: a test code (3: every drive port), the all-ports flag,
// the minutes it runs and its kind (1 read, 2 write, 3 write and read).
// It reports its end through DrivePortTestDone.
void StartDrivePortTest(uint8_t bTestCode, uint8_t fAllPorts, uint32_t dMinutes, uint8_t bKind);
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
