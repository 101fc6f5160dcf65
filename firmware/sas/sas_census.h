// The drive side's count of its devices and their activity, its idle
// tracking, and the small look-ups and options other services test.
#pragma once

#include <cstdint>

namespace fw {

// Background pass, at most once a second: the entries reached directly,
// those reached through the partner, and the direct ones that had a
// command in the last 4 s go into the list's three active counts; a device
// quiet that long with nothing outstanding loses its recent-activity flag.
void SASDeviceActivityCensus();
constexpr uint16_t SAS_DEVICE_FLAG_RECENT = 0x0008;

// 255 and the target id of the entry whose WWN is the 8 bytes given, else 0.
uint8_t bFindSASTargetByIdentifier(const uint8_t* pbIdentifier, uint8_t* pbTarget);

// The SATA option: TRUE unless it was set FALSE; a target it applies to is
// a SATA drive reached directly (not the partner's port) whose ATA feature
// byte has bit 0 set.
uint8_t fIsSATAOptionSet();
void SetSATAOption(uint8_t f);
uint8_t fIsSATAOptionTarget(uint8_t bTarget);

// Idle tracking of the direct SATA drives: their outstanding commands (under
// the drive-side lock when fLock is TRUE); the idle flag, set once none is
// outstanding, and let go 15 s after it was set.
uint16_t wCountSASOutstandingCommands(uint8_t fLock);
uint8_t fCheckSASIdle(uint8_t fLock);
uint8_t fExpireSASIdle();

}  // namespace fw
