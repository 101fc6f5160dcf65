// Drive command error recovery: what happens to a drive child command that
// a drive or the drive path ended in error.  It is re-posted (a transport
// error, a retry the drive may get right), handed to the media error
// recovery (a medium error on a read), or given up; a given-up command goes
// to the failed-drive-command task, which decides whether its drive leaves
// its array (the command is then done again without it) or the host hears
// of the error.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// Transport errors (BUSY, ABORTED COMMAND, a transport that delivered no
// status) are retried this many times before the command is given up.
constexpr uint8_t DRIVE_TRANSPORT_RETRIES = 250;
// A drive's SCSI status as the reply path hands it over; 0xFF when the
// transport failed and no status came back.
constexpr uint8_t DRIVE_STATUS_NO_STATUS = 0xFF;
// Left in the status of an internal command the time-out scan ended, so its
// issuer can tell a silent drive from a failed transfer.
constexpr uint8_t DRIVE_STATUS_TIMED_OUT = 0xFE;

// A drive child ended with a status other than GOOD (or with sense data).
// bPort: the drive queue (PORT_CODE_INITIATOR); pbSense: the sense bytes as
// the drive returned them, bSenseBytes of them (fewer than 14 count as
// none); fReport: log it; fTimeout: the time-out scan gave it up.  The
// command is re-posted, completed to its mother, or given up.
void DriveCommandErrorHandler(uint8_t bPort, uint8_t bStatus, KERNEL_ENTRY* psChild, const uint8_t* pbSense,
                              uint8_t bSenseBytes, uint8_t fReport, uint8_t fTimeout);

// A drive with no room for a write now (NOT READY, space allocation in
// progress: its medium, thin, ran out of space) holds it off untouched; the
// command waits and is sent again every SPACE_WAIT_RETRY_MS, however long
// that takes, without using up its tries: nothing was lost, and a member is
// never failed for it.  Meanwhile its array refuses new host writes with a
// status hosts retry (fIsRankWaitingForSpace), since what the cache holds
// for it cannot drain.  The first write held off in a wait posts event
// 180, naming the drive.
constexpr uint32_t SPACE_WAIT_RETRY_MS = 2000;
// An array waits for space until this long after its drives last held a
// write off: a held write is sent again well within it, so the wait lasts
// as long as one is held, and ends on its own once none is.
constexpr uint32_t SPACE_WAIT_HOLD_MS = 5000;
constexpr uint8_t EVENT_DRIVE_OUT_OF_SPACE = 180;
uint8_t fIsRankWaitingForSpace(uint8_t bRank);

// A MEDIUM ERROR on a read child: TRUE when it took the command over
// (completed it), FALSE when the caller must give it up.
uint8_t MediaErrorRecovery(KERNEL_ENTRY* psChild);

// Whether the data of the member can be regenerated from the others of its
// mirror pair, parity group or RAID 6 row.
uint8_t fCanRegenerateMember(const KERNEL_ENTRY* psChild, uint8_t bRank, uint8_t bMember);

// A read child whose drive let it run out its time, on the first time-out:
// when it reads for a host READ and the others of its mirror pair, parity
// group or RAID 6 row can stand in for its member, the member is marked
// silent and the child ends so that the read is done again around it (TRUE).
// Until the drive answers again (NoteMemberAnswered) or leaves its array,
// host reads regenerate a silent member's data from the others; writes
// still go to it.  FALSE: the caller sends the child again.
uint8_t fReadAroundSilentMember(KERNEL_ENTRY* psChild);
void NoteMemberAnswered(uint8_t bRank, uint8_t bMember);
uint8_t fIsMemberSilent(uint8_t bRank, uint8_t bMember);

// The background task: one given-up command per run.
void FailedDriveCommandTask();

// FailArrayMember's rank for the running rebuild's replacement drive: it
// only enters the failed-drive list.
constexpr uint8_t REBUILD_TARGET_RANK = 243;

// Takes a member out of its array: failed in the stored configuration
// (committed to the drives), in the run-time tables and in the failed-drive
// list.  fDegrade: the array runs degraded from now on.
void FailArrayMember(uint8_t bRank, uint8_t bMember, uint8_t fDegrade, uint8_t bDrivePosition, uint8_t bSenseKey,
                     uint8_t bAsc, uint8_t bAscq);

// A commit has ended: member failures that came while it wrote the image
// go into the image now, and are committed next.
void StoreDeferredMemberFailures();

// The host command a child of host I/O serves: its mother, or the mother
// of its group head; nullptr for the controller's own commands.
KERNEL_ENTRY* psHostCommandOf(const KERNEL_ENTRY* psChild);

// The child command types of host I/O, the ones whose failure this
// recovery handles: the drive's data written or read for a host command.
uint8_t fIsHostIoChildType(uint8_t bCommandType);

}  // namespace fw
