// The cache flush sequencer: writes to the drives the cached data the NVRAM
// write journal still describes when normal operation cannot be trusted to
// do it (at start of day, for this controller's own journal and its copy of
// the partner's; when the partner is lost, for the partner's mirrored
// writes), and then has the RAID engine make the stripes of the writes that
// were in flight consistent again (the resync).
//
// It is a state machine stepped once per main-loop cycle while its run flag
// (the retripe work flag) is TRUE; while it runs, no new host work is
// served.  Its writes are internal WRITE(16) commands in host entries, put
// on a host port's "Write Ready" ring, so that they reach the drives the way
// host writes do.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// States as stored.
constexpr uint8_t FLUSH_STATE_FINISH = 0;
constexpr uint8_t FLUSH_STATE_START = 1;
constexpr uint8_t FLUSH_STATE_WAIT_FOR_QUIET = 2;
constexpr uint8_t FLUSH_STATE_RESYNC = 3;
constexpr uint8_t FLUSH_STATE_PREPARE_RESYNC = 4;
constexpr uint8_t FLUSH_STATE_ABORT = 5;
constexpr uint8_t FLUSH_STATE_ANNOUNCE = 6;
constexpr uint8_t FLUSH_STATE_ISSUE = 7;
constexpr uint8_t FLUSH_STATE_DRAIN_PARITY_DATA = 8;
constexpr uint8_t FLUSH_STATE_WAIT_FOR_WRITES = 9;

// Resync requests handed to the RAID engine (host entries of port 1).
constexpr uint8_t PS_RESYNC_WAITING = 0x60;
constexpr uint8_t PS_RESYNC_DONE = 0x61;
constexpr uint8_t CT_RESYNC_OWN = 0x6B;
constexpr uint8_t CT_RESYNC_PARTNER = 0x6C;
// Secondary state of a flush write.
constexpr uint8_t FLUSH_WRITE_SECONDARY_STATE = 195;

// Counters and piecewise mode back to rest; the run and request flags off.
void ResetCacheFlushSequencer();
// Start of day: with a flush wanted, the journals' cached data is written
// out and the interrupted writes resynced; without, both journals are
// discarded.
void StartCacheFlushSequencer(uint8_t fFlushWanted);
// The main-loop hook, while the run flag is TRUE.
void CacheFlushSequencerStep();

// Two controllers starting together.  Only the partner knows whether it
// went on alone after this one stopped: until it says so (its first
// start-of-day request carries its outlived-partner record), the controller
// in slot 1 holds its flush and its host commands.  Told that the partner
// outlived it, it discards both journals (they are older than what the
// partner wrote since) and serves no host until the partner has written
// out its own (message 110).  Told nothing before the partner is lost or a
// bound passes, it goes on as the one that outlived.
void AwaitPartnerStartRecord();
void PartnerStartRecordReceived(uint8_t fPartnerOutlived);
void PartnerStartFlushEnded();
void EndPartnerStartHold();
uint8_t fIsHostWorkHeldForPartnerStart();
// The outlived-partner record goes once the pair runs again and nothing of
// this controller's journals from before remains to be written out.
void ClearOutlivedRecordOncePaired();
// The partner was lost: its mirrored writes are to be written out.  TRUE
// also raises the work-pending flag; the background pass starts the run.
void SetCacheFlushRequest(uint8_t f);
uint8_t fGetCacheFlushSequencerRequest();
void CacheFlushSequencerBackgroundStep();
// The partner is told when a flush starts and ends; a notice that could not
// be queued is sent again by the background pass until it is.
uint8_t fIsFlushNoticeOwed();
void SendOwedFlushNotice();
// The write-complete end of a flush write (command types 131 and 152).
void CompleteFlushWrite(KERNEL_ENTRY* psEntry);
// The blocks of a cached write the drives would not take, given up: they
// are recorded as unreadable in the array's bad block list, so that reads
// of them fail rather than return what the drives held before, until a
// host writes them again, and are reported lost (event 101).  FALSE, with
// nothing recorded or posted, when the list is full.
uint8_t fRecordLostWrite(const KERNEL_ENTRY* psEntry);

// The RAID engine's side of the resync.
void IncCacheFlushActivity();
uint16_t wGetCacheFlushActivity();
uint16_t wGetCacheFlushResyncCount();
void IncCacheFlushResyncCount();
void DecCacheFlushResyncCount();

// TRUE while partner extents are written as runs of the blocks that arrived
// (the partner was lost while data was still coming in).
uint8_t fGetFlushPiecewiseMode();
void SetFlushPiecewiseMode(uint8_t f);

// For the dumps and tests.
uint8_t bGetCacheFlushState();

}  // namespace fw
