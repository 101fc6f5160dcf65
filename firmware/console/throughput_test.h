// The controller write/read throughput test of the drive ports.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

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
// The test's kinds.
constexpr uint8_t THROUGHPUT_KIND_READ = 1;
constexpr uint8_t THROUGHPUT_KIND_WRITE = 2;
constexpr uint8_t THROUGHPUT_KIND_WRITE_READ = 3;
// The data the writes carry: alternating fixed patterns, random words, or
// the operator's 128-bit pattern (two 64-bit halves, the first at the lower
// address).
constexpr uint8_t THROUGHPUT_PATTERN_ALTERNATING = 1;
constexpr uint8_t THROUGHPUT_PATTERN_RANDOM = 2;
constexpr uint8_t THROUGHPUT_PATTERN_USER = 3;
void SetThroughputTestParameters(uint8_t bPattern, uint64_t lFirstHalf, uint64_t lSecondHalf);
uint8_t bGetThroughputTestPattern();
uint64_t lGetThroughputTestUserPattern(uint8_t bHalf);
// The test variants the hidden phrases of the port test menu select:
// random LBAs and lengths (destroys data), the partner controller as one
// more target, the SAS link jitter pattern in every write.
void SetThroughputTestRandomDestructive(uint8_t f);
uint8_t fGetThroughputTestRandomDestructive();
void SetThroughputTestPartnerIncluded(uint8_t f);
uint8_t fGetThroughputTestPartnerIncluded();
void SetThroughputTestLinkJitter(uint8_t f);
uint8_t fGetThroughputTestLinkJitter();
// Start of day: alternating patterns, no variant, nothing armed.
void ResetThroughputTestSettings();
void SetThroughputTestRequest(uint8_t f);
void SetThroughputTestRunning(uint8_t f);

// The test's commands come back through the back-end completion as
// command type 7; the secondary state says which step takes them.  A step
// returns FALSE when it sent the command again, TRUE when the caller is to
// release it.
constexpr uint8_t CT_THROUGHPUT_TEST = 7;
constexpr uint8_t THROUGHPUT_STATE_WRITE = 0x9A;
constexpr uint8_t THROUGHPUT_STATE_READ = 0x9B;
uint8_t WriteTestDriveStep(KERNEL_ENTRY* psEntry);
uint8_t ReadTestDriveStep(KERNEL_ENTRY* psEntry);
void FinishThroughputTest();

}  // namespace fw
