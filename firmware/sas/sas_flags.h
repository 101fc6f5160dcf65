// Flags the drive-side services share: the timed hold, the IOC restart
// requests and the port wait.  Single bytes written by the main loop and
// read by the FIQ handler; setting one of the stamped flags TRUE records
// the tick.
#pragma once

#include <cstdint>

namespace fw {

// Held drives: commands wait, discovery pauses its passes.
void SetSASTimedHoldFlag(uint8_t f);
uint8_t fGetSASTimedHoldFlag();
uint64_t lGetSASTimedHoldTick();

// An IOC restart wanted (a FAULT, time-outs, recovery, the partner); a
// second one asks discovery to reset the IOC twice in a row.
void SetSASIOCRestartRequest(uint8_t f);
uint8_t fIsSASIOCRestartRequested();
void SetSASSecondIOCRestart(uint8_t f);
uint8_t fIsSASSecondIOCRestartRequested();
// From the restart until discovery has listed the drives again.
void SetSASIOCRestartInProgress(uint8_t f);
uint8_t fIsSASIOCRestartInProgress();

// The ports of the drive IOC are coming up: discovery and the bring-up
// wait on it (at most 80000 ms after it was set).
void SetSASPortWaitFlag(uint8_t f);
uint8_t fGetSASPortWaitFlag();
uint64_t lGetSASPortWaitTick();

// Drive-side hold-offs: the drive side as a whole (set by the bring-up and
// the active-active code; commands wait with 9) and the global drive
// command deadline (commands wait with 16).
void SetSASDriveSideHoldOff(uint64_t lTick);
uint64_t lGetSASDriveSideHoldOff();
// Moves the global deadline to now + ms when that is later.
void ExtendSASDeadline(uint32_t dMs);
uint64_t lGetSASDeadline();

// Task management requests outstanding on the drive IOC.  A count that
// has not moved for more than 10 s is taken for requests whose answers were
// lost: the expiry sets it to 0 then, and returns the count.
void IncrementSASTaskManagementCount();
void DecrementSASTaskManagementCount();
void SetSASTaskManagementCount(uint32_t dCount);
uint32_t dGetSASTaskManagementCount();
uint32_t dExpireSASTaskManagementCount();

// Disabled slot phys to bring back: the background pass runs the sweep.
void SetSASPhyReenableWork(uint8_t f);
uint8_t fGetSASPhyReenableWork();

}  // namespace fw
