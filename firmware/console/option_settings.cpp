// Controller option settings.
#include "console/option_settings.h"

#include "executive/types.h"

namespace fw {

namespace {

uint8_t s_fTargetCommandTrace = FALSE;
uint8_t s_fTargetCommandTimeTrace = FALSE;
uint8_t s_fReadAheadCaching = TRUE;
uint8_t s_fWritebackCaching = TRUE;
uint8_t s_fWritebackSuppressed = FALSE;
uint8_t s_fCommandClustering = TRUE;
uint8_t s_fPartialFullStripeWrite = TRUE;
uint8_t s_fInitiatorCommandTrace = FALSE;
uint8_t s_bStreamingReadAhead = STREAMING_READ_AHEAD_AUTOMATIC;
uint8_t s_bEthernetStatus = 0;

}  // namespace

uint8_t fGetTargetCommandTrace() { return s_fTargetCommandTrace; }
void SetTargetCommandTrace(uint8_t f) { s_fTargetCommandTrace = f; }
uint8_t fGetTargetCommandTimeTrace() { return s_fTargetCommandTimeTrace; }
void SetTargetCommandTimeTrace(uint8_t f) { s_fTargetCommandTimeTrace = f; }
uint8_t fGetReadAheadCaching() { return s_fReadAheadCaching; }
void SetReadAheadCaching(uint8_t f) { s_fReadAheadCaching = f; }
uint8_t fGetWritebackCaching() { return s_fWritebackSuppressed == TRUE ? FALSE : s_fWritebackCaching; }
void SetWritebackCaching(uint8_t f) { s_fWritebackCaching = f; }
void SetWritebackCachingSuppressed(uint8_t f) { s_fWritebackSuppressed = f; }
uint8_t fGetCommandClustering() { return s_fCommandClustering; }
void SetCommandClustering(uint8_t f) { s_fCommandClustering = f; }
uint8_t fGetPartialFullStripeWrite() { return s_fPartialFullStripeWrite; }
void SetPartialFullStripeWrite(uint8_t f) { s_fPartialFullStripeWrite = f; }
uint8_t fGetInitiatorCommandTrace() { return s_fInitiatorCommandTrace; }
void SetInitiatorCommandTrace(uint8_t f) { s_fInitiatorCommandTrace = f; }
uint8_t fGetStreamingReadAhead() { return s_bStreamingReadAhead; }
void SetStreamingReadAhead(uint8_t b) { s_bStreamingReadAhead = b; }
uint8_t fGetEthernetStatusFlag() { return s_bEthernetStatus; }
void SetEthernetStatusFlag(uint8_t b) { s_bEthernetStatus = b; }

void ResetOptionSettings() {
    s_fTargetCommandTrace = FALSE;
    s_fTargetCommandTimeTrace = FALSE;
    s_fReadAheadCaching = TRUE;
    s_fWritebackCaching = TRUE;
    s_fWritebackSuppressed = FALSE;
    s_fCommandClustering = TRUE;
    s_fPartialFullStripeWrite = TRUE;
    s_fInitiatorCommandTrace = FALSE;
    s_bStreamingReadAhead = STREAMING_READ_AHEAD_AUTOMATIC;
}

}  // namespace fw
