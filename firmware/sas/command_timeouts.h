// Drive-side command time-outs: a request of the drive IOC whose deadline
// passed without an answer.  The first time a drive keeps a command too long
// it is reset and its commands are sent again; a drive that does it again
// (or keeps doing it) has its commands given up, so that the array goes on
// without it and no host command waits for ever.
#pragma once

#include <cstdint>

namespace fw {

// The time of the last drive command error: a drive that is reporting
// errors is slow for a reason, and gets its commands sent again rather than
// being taken out at once.
void MarkSASDriveCommandError();
// TRUE while the drive at the target was taken out of service for not
// answering: commands for it fail at once.  A drive of another address at
// the target id is not out of service.
uint8_t fIsSASTargetOutOfService(uint8_t bTarget);
// TRUE while the target's device has left the list and no device took its
// id since: commands for it end as for a drive that is not there.
void SetSASTargetGone(uint8_t bTarget, uint8_t f);
uint8_t fIsSASTargetGone(uint8_t bTarget);
// The target's device left and the same list gave its id to another: the
// commands queued for the target now were the one that left's.  The queue
// is first in, first out, so the next that many to come up for the target
// end as gone and the newcomer's, behind them, are sent.
void MarkSASTargetQueueGone(uint8_t bTarget);
// Called for a queued command coming up to be sent: TRUE when it is to end
// as one for a device that is not there (counting it off the mark above).
uint8_t fTakeSASQueuedCommandGone(uint8_t bTarget);
// Time-outs a drive has had (they decay after four hours without one).
uint16_t wGetSASDriveTimeoutCount(uint8_t bTarget);
// Time-outs of the enclosure device of an enclosure entry of the list.
uint16_t wGetSASEnclosureTimeoutCount(uint8_t bStpIndex);
// A time-out the drive side saw outside the scan (a drive's own reset, a
// request the IOC ended): counted once within 500 ms; the twentieth within
// four hours turns the slot's expander phy off (event 173).  0 when the
// target names no drive, else 255.
uint8_t bCountSASDriveTimeout(uint8_t bTarget);
// Every command the drive at the target holds is taken back and sent again;
// the IOC's answers to them, should any still come, are dropped.
void RepostSASTargetCommands(uint8_t bTarget);
// Every command the target holds at the IOC is taken back and ends as one
// for a drive that is not there (the device left the list).
void EndGoneSASTargetCommands(uint8_t bTarget);
// Start of day: nothing counted, no drive out.
void InitSASCommandTimeouts();

}  // namespace fw
