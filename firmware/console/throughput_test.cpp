// The write/read throughput test's settings, chosen from the menus before a
// run.  They are not stored: every start of day begins with the defaults.
#include "console/throughput_test.h"

#include "executive/types.h"

namespace fw {

namespace {

struct THROUGHPUT_SETTINGS {
    uint8_t bPattern;
    uint64_t alUserPattern[2];
    uint8_t fRandomDestructive;
    uint8_t fPartnerIncluded;
    uint8_t fLinkJitter;
};

THROUGHPUT_SETTINGS s_sSettings = {THROUGHPUT_PATTERN_ALTERNATING, {0, 0}, FALSE, FALSE, FALSE};

}  // namespace

void SetThroughputTestParameters(uint8_t bPattern, uint64_t lFirstHalf, uint64_t lSecondHalf) {
    s_sSettings.bPattern = bPattern;
    s_sSettings.alUserPattern[0] = lFirstHalf;
    s_sSettings.alUserPattern[1] = lSecondHalf;
}

uint8_t bGetThroughputTestPattern() { return s_sSettings.bPattern; }
uint64_t lGetThroughputTestUserPattern(uint8_t bHalf) { return s_sSettings.alUserPattern[bHalf & 1]; }

void SetThroughputTestRandomDestructive(uint8_t f) { s_sSettings.fRandomDestructive = f; }
uint8_t fGetThroughputTestRandomDestructive() { return s_sSettings.fRandomDestructive; }
void SetThroughputTestPartnerIncluded(uint8_t f) { s_sSettings.fPartnerIncluded = f; }
uint8_t fGetThroughputTestPartnerIncluded() { return s_sSettings.fPartnerIncluded; }
void SetThroughputTestLinkJitter(uint8_t f) { s_sSettings.fLinkJitter = f; }
uint8_t fGetThroughputTestLinkJitter() { return s_sSettings.fLinkJitter; }

void ResetThroughputTestSettings() {
    SetThroughputTestParameters(THROUGHPUT_PATTERN_ALTERNATING, 0, 0);
    s_sSettings.fRandomDestructive = FALSE;
    s_sSettings.fPartnerIncluded = FALSE;
    s_sSettings.fLinkJitter = FALSE;
}

}  // namespace fw
