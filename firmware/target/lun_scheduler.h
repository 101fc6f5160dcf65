// The LUN scheduler: READ(16) and WRITE(16) wait on the ring of their
// logical drive; the scheduler visits the LUNs that have work, least
// recently serviced first, and starts a bounded burst from each through the
// cache.  Around it: the per-rank age buckets that let the cache hold a
// command back while an older one of the same array waits, the active LUNs
// per array, a short history of commands per port, and the chains of
// commands whose data phase follows a partner's answer.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

constexpr uint16_t NO_LRS_LUN = 512;

// Start of day of the scheduler's tables (run with the host pool).
void InitLrsList();

// Least-recently-serviced list: a LUN is a member exactly while its ring
// holds commands; after each burst it moves to the tail.
void InsertLrsLun(uint16_t wLun);
void RemoveLrsLun(uint16_t wLun);
void MarkLunServiced(uint16_t wLun);
uint16_t wGetLrsHeadLun();
uint16_t wGetNextLrsLun(uint16_t wLun);
uint16_t wGetLrsLunCount();
uint8_t fIsLunInLrsList(uint16_t wLun);
uint64_t lGetLunLastServiced(uint16_t wLun);
void DumpLrsList();
// Bit 1 prints the list after each insertion and removal.
void SetTargetDebugFlags(uint8_t bFlags);

}  // namespace fw
