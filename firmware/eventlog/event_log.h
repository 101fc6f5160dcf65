// The event log in battery-backed NVRAM: the last 4096 events, each a code,
// fourteen argument bytes and the time it was posted, behind a
// double-buffered header so that a power cut during a posting leaves the log
// as it was before it.  An in-memory mirror serves readers that take the log
// in one piece.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/date_time.h"

namespace fw {

constexpr uint32_t EVENT_LOG_ENTRIES = 4096;
// Where the log lies in NVRAM: its header, then its entries.  The NVRAM
// layout places it here (config/nvram_layout.h).
constexpr uint32_t EVENT_LOG_NVRAM_OFFSET = 0x400;
constexpr uint32_t EVENT_ARGS = 14;
constexpr uint8_t EVENT_STATUS_REPORTED = 1;
constexpr uint8_t EVENT_COPY_A = 0xF1;   // bCopySelect: copy A is current
constexpr uint8_t EVENT_COPY_B = 0xF0;
constexpr uint32_t FIRMWARE_VERSION_WORD = 0x03090021;
// Posted when a new controller image is in the flash; the next start of day
// writes the version of the firmware that then runs into its bytes 5-8.
constexpr uint8_t EVENT_FIRMWARE_UPGRADED = 96;
// The block count of a "Cached Data Lost" event (101) of an array when
// which blocks were lost, and how many, is known to the partner only.
constexpr uint32_t LOST_BLOCKS_UNKNOWN = 0xFFFFFFFFu;

#pragma pack(push, 1)
// NVRAM format; counters and indexes little-endian, read byte by byte.
struct EVENT_LOG_HEADER {
    uint8_t abCountA[2];
    uint8_t abCountB[2];
    uint8_t abNextA[2];
    uint8_t abNextB[2];
    uint8_t bCopySelect;
    uint8_t fUpdating;
    uint8_t abReserved[6];
};
struct EVENT_LOG_ENTRY {
    DATE_TIME sTimeStamp;
    uint8_t bStatus;
    uint8_t bCode;
    uint8_t abArgs[EVENT_ARGS];
};
// The mirror, and every event log image shown on the console, sent to the
// partner or read by the management protocol.
struct EVENT_LOG_MIRROR {
    uint32_t dByteCount;
    DATE_TIME sUpdated;
    uint16_t wCount;
    uint16_t wNext;
    EVENT_LOG_ENTRY asEntries[EVENT_LOG_ENTRIES];
};
#pragma pack(pop)
static_assert(sizeof(EVENT_LOG_HEADER) == 16);
static_assert(sizeof(EVENT_LOG_ENTRY) == 24);
static_assert(offsetof(EVENT_LOG_ENTRY, bStatus) == 8);
static_assert(offsetof(EVENT_LOG_ENTRY, bCode) == 9);
static_assert(offsetof(EVENT_LOG_ENTRY, abArgs) == 10);
static_assert(offsetof(EVENT_LOG_MIRROR, sUpdated) == 4);
static_assert(offsetof(EVENT_LOG_MIRROR, wCount) == 12);
static_assert(offsetof(EVENT_LOG_MIRROR, wNext) == 14);
static_assert(offsetof(EVENT_LOG_MIRROR, asEntries) == 16);
static_assert(sizeof(EVENT_LOG_MIRROR) == 98320);

// Image byte count for a number of entries.
constexpr uint32_t dEventImageBytes(uint32_t dEntries) {
    return offsetof(EVENT_LOG_MIRROR, asEntries) + sizeof(EVENT_LOG_ENTRY) * dEntries;
}

// Code and argument bytes 0..13; callers pass 0 in the bytes an event does
// not use.  Never waits: while the log is busy the event is dropped.
void PostEvent(uint8_t bCode, uint8_t b0 = 0, uint8_t b1 = 0, uint8_t b2 = 0, uint8_t b3 = 0,
               uint8_t b4 = 0, uint8_t b5 = 0, uint8_t b6 = 0, uint8_t b7 = 0, uint8_t b8 = 0,
               uint8_t b9 = 0, uint8_t b10 = 0, uint8_t b11 = 0, uint8_t b12 = 0, uint8_t b13 = 0);
void InitEventLog();
void AllocateEventLogMirror();
void ClearEventLog();

uint16_t wGetEventLogCount();
uint16_t wGetEventsPostedCount();
void SetEventMaskBit(uint8_t bCode, uint8_t f);
uint8_t fIsEventMaskBitSet(uint8_t bCode);
void CopyEventLogEntry(const EVENT_LOG_ENTRY* psSource, EVENT_LOG_ENTRY* psDestination);

// Shared with the image copy and the paged listing.
uint8_t fIsEventLogBusy();
void SetEventLogBusy(uint8_t f);
void ClearEventLogChanged();
uint8_t fGetEventLogChanged();
uint8_t fIsEventLogCopying();
void SetEventLogCopying(uint8_t f);
void ResetEventsPostedCount();
// Count and next of the current header copy of this controller's log; a
// header out of range reads as an empty log.
void GetEventLogPosition(uint16_t* pwCount, uint16_t* pwNext);
const EVENT_LOG_ENTRY* psGetEventLogEntry(uint16_t wIndex);
// Marks an entry as handed to a reader, in NVRAM and in the mirror.
void MarkEventLogEntryReported(uint16_t wIndex);
EVENT_LOG_MIRROR* psGetEventLogMirror();   // nullptr until the mirror exists

}  // namespace fw
