// Images of an event log for the console listing, the management protocol
// and the partner controller: entries chosen by a filter, oldest first, in
// the EVENT_LOG_MIRROR layout, with upload marking.
#pragma once

#include <cstdint>

#include "eventlog/event_log.h"

namespace fw {

// Filters (the event log dump types).
enum : uint8_t {
    EVENT_FILTER_ALL = 1,
    EVENT_FILTER_LAST_50 = 2,
    EVENT_FILTER_LAST_HOUR = 3,
    EVENT_FILTER_LAST_DAY = 4,
    EVENT_FILTER_DRIVE = 5,
    EVENT_FILTER_HOST = 6,
    EVENT_FILTER_ENVIRONMENT = 7,
    EVENT_FILTER_NEW = 8,
};

// A log in NVRAM format: EVENT_LOG_HEADER and 4096 entries.
const uint8_t* pGetOwnEventLog();

// Entries whose status byte lies inside [dStartOffset, dStartOffset +
// dLength) of the image are marked reported when fMark is TRUE (own log only).
void CopyEventLogEntries(const uint8_t* pbSourceLog, EVENT_LOG_MIRROR* psDestination, uint8_t bFilter,
                         uint32_t dStartOffset, uint32_t dLength, uint8_t fMark);
void CopyOwnEventLog(uint8_t bFilter, EVENT_LOG_MIRROR* psDestination, uint32_t dStartOffset,
                     uint32_t dLength, uint8_t fMark);

// The partner's event log counts, cached for the event log menu.
constexpr uint8_t PARTNER_COUNTS_CACHED = 243;
constexpr uint8_t PARTNER_COUNTS_NOT_CACHED = 244;
void SetPartnerEventCounts(uint16_t wTotal, uint16_t wPosted);
uint8_t bGetPartnerEventCounts(uint16_t* pwTotal, uint16_t* pwPosted);
void ClearPartnerEventCounts();

}  // namespace fw
