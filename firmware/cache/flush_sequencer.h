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

// Two controllers starting together.  One writes the journals out: the
// controller in slot 1, unless the one in slot 2 went on alone after slot 1
// stopped (its outlived-partner record) and slot 1 did not run alone after
// that.  The other keeps its own journals, unwritten, until the writer says
// its are on the drives (message 110), and writes them out itself should the
// writer be lost first; journals the drives show outrun (the writer ran on
// alone since) are discarded instead.  A writer that outlived its partner
// may hold writes it acknowledged alone, of which the partner has no copy:
// it gives the partner a copy of every write it holds before it writes any
// out.
//
// Only the partner knows whether it went on alone after this one stopped:
// until it says so (its start-of-day requests carry its outlived-partner
// record), the controller in slot 1 holds its flush and its host commands,
// and serves none until the partner's flush has ended when the partner
// writes.  Told nothing before the partner is lost or a bound passes, it
// goes on as the one that writes.
void AwaitPartnerStartRecord();
void PartnerStartRecordReceived(uint8_t fPartnerOutlived);
void PartnerStartFlushEnded();
void EndPartnerStartHold();
uint8_t fIsHostWorkHeldForPartnerStart();
// A controller joining a running partner gives up its cached data (the
// partner wrote its mirrors out) but keeps the records of the writes it
// had issued to the drives: their rows may be half written, and its
// journal may be the only record of them (writes it made alone).  The
// failback resyncs them, once the partner holds its host commands for the
// join (fPartnerHolds; or the partner is gone), before the join ends: TRUE
// while that runs.  Without the partner's hold the records are given up;
// while there are any (fHasRowsToResyncBeforeJoining), the failback waits
// for that hold however long the partner refuses it.
void KeepIssuedWritesForJoin();
uint8_t fHasRowsToResyncBeforeJoining();
uint8_t fResyncRowsBeforeJoining(uint8_t fPartnerHolds);
// A controller starting alone on journals its partner outran gives up their
// cached data (older than what the partner wrote since) but resyncs the
// rows of the writes it had issued, for the same reason.
void ResyncIssuedWritesAlone();
// Slot 2 keeps its journals for slot 1 (outrun ones are discarded: it
// keeps only the copies slot 1 gives, and the records of its own issued
// writes, whose rows it resyncs once slot 1's journals are on the drives,
// slot 1 holding its host commands until then), or, writing out as the one
// that outlived slot 1, copies them to it first (the flush started).
void KeepJournalsForPartner(uint8_t fOutrun);
void CopyJournalsToPartnerFirst();
// The partner asked for its start-of-day answer: it takes messages now.
void PartnerStartedBesideThis();
// TRUE while the flush waits for the partner to come up and take copies:
// the partner's ping is answered, so that it does.
uint8_t fIsStartFlushWaitingForPartner();
// The partner answered a copy (fRefused: took no copy).
void StartCopyAnswered(uint8_t fRefused);
// Every copy has come (109 with byte 2 TRUE).
void PartnerCopiesGiven();
// The partner was lost while this controller kept its journals for it:
// they, and the copies it gave, are written out here, and a copy whose data
// never came is reported lost.  TRUE when they were; FALSE when there were
// none, or when the partner went on alone after this controller stopped
// and was lost before its copies came: then host commands wait until it is
// back and has written its journals out (fIsAwaitingPartnerJournals, told
// to it in the status block it reads as it joins).
uint8_t fWriteOutKeptJournals();
uint8_t fIsAwaitingPartnerJournals();
// A controller starting alone whose journals the partner outran may lack
// writes the partner acknowledged alone: it waits for them as above.  Set
// to single-controller mode, it goes on without them from the background
// pass, host commands held until then: what the partner's copies brought
// is written out and what they lack reported lost, as when the partner is
// lost once it gave them; without copies to tell, event 101 for each array
// that kept write-back without the partner.
void AwaitPartnerJournals();
void EndPartnerJournalWait();
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
