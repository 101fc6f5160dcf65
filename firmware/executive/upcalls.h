// What the executive's machinery needs from the layers above it.
//
// The machinery sits below every subsystem, so it calls up only through the
// functions named here, each by the need of the module that calls it; the
// top layer defines them (upcalls.cpp) with the subsystems' own services.
// Needs that are a module's own interface are named in that module's header
// instead: the stop paths (stop.h), the interrupt handlers
// (interrupt_dispatch.h), the clock (rtc.h), the tick's periodic services
// (tick.h) and the board state that consults the subsystems
// (system_state.h).
#pragma once

#include <cstdint>

#include "executive/date_time.h"
#include "executive/kernel_entry.h"

namespace fw {

// ---- buffer pages: what the usage thresholds weigh ----
uint32_t dJournalHeldPages();          // pages the write journal keeps
uint16_t wMirroredWriteExtents();      // write extents mirrored through the partner
uint16_t wModuleCommandsOutstanding(); // commands of the embedded module's port

// ---- console ----
void ConsoleCharacterReceived(uint8_t bChar);  // to a file receive, else to the menus
uint8_t fIsConsoleOutputPaused();              // XOFF typed at the menus
void SetConsoleOutputPaused(uint8_t f);
uint8_t fIsConsoleOutputCaptured();            // a dump being captured rather than shown
uint32_t dStoredConsoleBaud();                 // the console rate the NVRAM keeps
void StoreConsoleBaud(uint32_t dBaud);
// An event with its fourteen argument bytes.
void PostMachineryEvent(uint8_t bCode, const uint8_t* pbArgs);

// ---- kernel entries and queues ----
// A command taken back from a chip by a port-wide abort or requeue.
void KernelEntryTakenBackFromChip(KERNEL_ENTRY* psEntry, uint8_t bPortCode);
uint8_t fIsHostCommandEntry(const void* pAddress);  // an entry of the host command pool
void KernelPoolNoLongerExhausted();                 // the drive loops report their state again
uint32_t dWaitListOrdering();                       // non-zero: the wait list is first in, first out
void DumpKernelQueueNeighbours();                   // what the initiator queue dump shows after it
void KernelQueueActivity();                         // a command was queued for the drive side

// ---- board state ----
uint8_t bStoredNvramOptions();               // the option byte the NVRAM keeps
uint8_t fIsBatteryFaultIgnored();            // NVRAM option bit 2
void GetStoredStatisticsStamp(DATE_TIME* psStamp);
void PartnerBatteryThresholdCrossed();       // the partner's battery crossed its threshold
void LatchSystemMode();                      // a background hold began
void ResetHostLoopsAfterHold();              // a background hold ended on Fibre Channel ports
uint8_t fIsHostPortBusy(uint8_t bPort);      // commands new or completing on the port
uint8_t fIsCacheHoldingData();               // cached writes, snapshots or mirrored extents held

}  // namespace fw
