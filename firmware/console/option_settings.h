// Controller-wide on/off options the I/O paths read on every command and
// the online diagnostics menu toggles.  They live in static memory only:
// start-up sets them again (ResetConsoleStartFlags).
#pragma once

#include <cstdint>

namespace fw {

// Streaming read-ahead holds one of three values: TRUE, FALSE, or
// automatic, where each array's own setting decides.
constexpr uint8_t STREAMING_READ_AHEAD_AUTOMATIC = 0xF8;

uint8_t fGetTargetCommandTrace();
void SetTargetCommandTrace(uint8_t f);
uint8_t fGetTargetCommandTimeTrace();
void SetTargetCommandTimeTrace(uint8_t f);
uint8_t fGetReadAheadCaching();
void SetReadAheadCaching(uint8_t f);
// FALSE while the temperature monitor suppresses write-back caching; the
// stored option is kept, so caching comes back when the suppression ends.
uint8_t fGetWritebackCaching();
void SetWritebackCaching(uint8_t f);
void SetWritebackCachingSuppressed(uint8_t f);
uint8_t fGetCommandClustering();
void SetCommandClustering(uint8_t f);
uint8_t fGetPartialFullStripeWrite();
void SetPartialFullStripeWrite(uint8_t f);
uint8_t fGetInitiatorCommandTrace();
void SetInitiatorCommandTrace(uint8_t f);
uint8_t fGetStreamingReadAhead();
void SetStreamingReadAhead(uint8_t b);
// A status byte the Ethernet port code of the PCI peer keeps here.
uint8_t fGetEthernetStatusFlag();
void SetEthernetStatusFlag(uint8_t b);

// Every option back to its start-up value.
void ResetOptionSettings();

}  // namespace fw
