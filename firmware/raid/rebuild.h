// The rebuild: a missing member of a redundant array is regenerated, region
// by region, onto a replacement drive while hosts go on working.  Regions
// are issued sixteen at a time to the RAID engine (raid/rebuild_regions.h),
// retired strictly in issue order, and the position reached is kept in
// NVRAM in two copies, so that a power cut loses at most the regions in
// flight.  Host and internal writes test themselves against the rebuild
// front through the window tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

constexpr uint8_t REBUILD_SLOTS = 16;
constexpr uint8_t REBUILD_SOURCES = 15;
constexpr uint8_t REBUILD_NONE = 255;
// A RAID 1/10 region: 2048 blocks, whatever the chunk.
constexpr uint16_t REBUILD_MIRROR_REGION_BLOCKS = 2048;
// Regions a resume goes back over: they may have been in flight.
constexpr uint8_t REBUILD_RESUME_BACKOFF_REGIONS = 2;

// Member flags of the run-time rank record the rebuild sets.
constexpr uint8_t MEMBER_FLAGS_REBUILD_FAILED = 68;
constexpr uint8_t MEMBER_FLAGS_REBUILDING = 85;

// Events of the rebuild.
constexpr uint8_t EVENT_REBUILD_SOURCE_FAILED = 12;
constexpr uint8_t EVENT_REBUILD_TARGET_FAILED = 13;
constexpr uint8_t EVENT_REBUILD_STARTED = 48;
constexpr uint8_t EVENT_REBUILD_COMPLETE = 49;
constexpr uint8_t EVENT_REBUILD_RESUMED = 50;
constexpr uint8_t EVENT_REBUILD_CANCELLED = 115;

// One copy of the progress record in NVRAM; numbers are big-endian.
#pragma pack(push, 1)
struct REBUILD_NV_COPY {
    uint8_t bRank;                        // 255: no rebuild
    uint8_t bMember0;                     // D0: the member written
    uint8_t bMember1;                     // D1: RAID 6, a second member treated as absent
    uint8_t bRaidLevel;
    uint8_t bReserved4;                   // FALSE once initialised
    uint8_t abSource3[REBUILD_SOURCES];   // source drives on drive port 3, by position; 255 none
    uint8_t abSource4[REBUILD_SOURCES];   // the same on drive port 4
    uint8_t bReplacement3;                // the replacement's target id on port 3
    uint8_t bReplacement4;
    uint8_t abWwn[8];                     // the replacement's WWN
    uint8_t abPosition[4];                // first member block not yet retired
    uint8_t abEnd[4];                     // last member block of the rebuild
    uint8_t abBlocks[2];                  // blocks of the region starting at the position
    uint8_t abReserved55[9];
};
#pragma pack(pop)
static_assert(sizeof(REBUILD_NV_COPY) == 64);
static_assert(offsetof(REBUILD_NV_COPY, abSource3) == 5);
static_assert(offsetof(REBUILD_NV_COPY, abSource4) == 20);
static_assert(offsetof(REBUILD_NV_COPY, bReplacement3) == 35);
static_assert(offsetof(REBUILD_NV_COPY, abWwn) == 37);
static_assert(offsetof(REBUILD_NV_COPY, abPosition) == 45);
static_assert(offsetof(REBUILD_NV_COPY, abEnd) == 49);
static_assert(offsetof(REBUILD_NV_COPY, abBlocks) == 53);

// Step states.
constexpr uint8_t REBUILD_IDLE = 0;
constexpr uint8_t REBUILD_START = 1;
constexpr uint8_t REBUILD_CONFIG_PENDING = 2;
constexpr uint8_t REBUILD_ISSUE = 3;
constexpr uint8_t REBUILD_PREPARE = 4;
constexpr uint8_t REBUILD_SLAVE_WAIT = 6;
constexpr uint8_t REBUILD_WAIT_READS = 7;
constexpr uint8_t REBUILD_START_WRITES = 8;
constexpr uint8_t REBUILD_RESUME_WAIT = 9;

// Slot flags.
constexpr uint16_t REBUILD_SLOT_IN_USE = 0x0001;
constexpr uint16_t REBUILD_SLOT_WAITING = 0x0002;   // written out of order, waits its turn
constexpr uint16_t REBUILD_SLOT_ABORTED = 0x0004;   // the rebuild let go of it while it was out

struct REBUILD_REGION_SLOT {
    KERNEL_ENTRY* psCommand;
    BUFFER_HANDLE dBuffer;
    uint16_t wPages;   // 0: the slot has no buffer and is not used
    uint16_t wFlags;
    uint8_t bReadRetries;   // read phases restarted for this region
};

struct REBUILD_CONTROL {
    uint64_t lIssueSequence;
    uint64_t lCompletionSequence;
    uint64_t lWriteSequence;
    REBUILD_REGION_SLOT asSlot[REBUILD_SLOTS];
    uint32_t dNext;          // member block where the next region starts
    uint16_t wRegionBlocks;  // blocks of a whole region
    uint8_t bRip;            // regions in their read phase
    uint8_t bWip;            // regions in their write phase
    uint8_t bOcc;            // partner messages not yet acknowledged
    uint8_t fEnd;            // the last region is issued
    uint8_t bSorted;         // regions read and waiting for their write, by start block
    KERNEL_ENTRY* apsSorted[REBUILD_SLOTS];
    uint64_t lRegenReadBlocks, lRegenWriteBlocks;
    uint32_t dReadChildren, dWriteChildren;
    uint64_t alHostBlocks[2];
    uint32_t dStartTick;     // coarse ticks
    uint32_t dCurrentTick;
    uint32_t dHostBlocksSeen;   // the host block count at the last pass
    uint64_t lHostSeenMs, lHostIdleSinceMs;
    uint8_t fIdle;
    uint8_t bState;
    uint8_t bLastState;
    uint32_t dStartAfterTick;   // coarse tick before which the scheduler waits
    uint32_t dPaceAfterTick;    // coarse tick before which a loaded host holds steps back
    uint8_t fPar;
    uint8_t fResetRequest;
    uint8_t fMessageOutstanding;
    uint8_t fPartnerStartPending;   // slave: from the partner's start to its first progress
};

// Start and stop.
void StartRebuild(uint8_t bRank, uint8_t bMember, uint8_t bLoopId3, uint8_t bLoopId4, const uint8_t* pbWwn,
                  uint32_t dMemberBlocks);
void StartRaid6Rebuild(uint8_t bRank, uint8_t bMember0, uint8_t bMember1, uint8_t bLoopId3, uint8_t bLoopId4,
                       const uint8_t* pbWwn, uint32_t dMemberBlocks);
void CancelRebuild();
// Gives up the rebuild because its replacement (event 13) or a source
// (event 12) failed: the members written are marked so.
void FailRebuild(uint8_t bEvent);
// A member of an array left it while the array may be rebuilt: the
// replacement failing ends the rebuild (event 13); on RAID 6 a second member
// becomes the rebuild's second, treated as absent from now on, and the
// rebuild goes on; any other source failing ends it (event 12).
void RebuildMemberFailed(uint8_t bRank, uint8_t bMember);
// A configuration edit committed while a rebuild was recorded: the rebuild
// goes on, under the number the edit gave its rank.
void StartRebuildOfRank(uint8_t bRank);
// A restart with a rebuild recorded in NVRAM: 255 resumed, 0 not (the
// record does not fit the configuration).
uint8_t ResumeRebuildFromNvram(uint8_t bLoopId3, uint8_t bLoopId4);
void ResetRebuildState();
// Deletes the drive from the configuration's spare list.
void RemoveSpareFromImage(const uint8_t* pbWwn);
void InitRebuildNvRecord();
void ClearRebuildWorkArea();

// The main loop's scheduler and one step of the machine (255 worked, 16 waits).
void RebuildScheduler();
uint8_t RebuildStep();
uint8_t fRebuildPriorityAllows();
uint8_t bPrepareRebuildRegions();
uint8_t bIssueRebuildRegions();

// Queries.
const REBUILD_NV_COPY* psGetRebuildRecord();   // the copy the selector names
uint8_t bGetRebuildRank();
uint8_t bGetRebuildRecordByte(uint8_t bIndex);   // 0: D0, 1: D1
void GetRebuildTargetWwn(uint8_t* pbWwn);
uint8_t bGetRebuildTargetLoopId();
uint16_t wGetRebuildRegionBlocks();
uint32_t dGetRebuildPosition();   // member block
uint8_t bGetRebuildPercent();
uint64_t lGetRebuildHostPosition();
uint8_t fIsRebuildIoInFlight();
uint8_t fGetRebuildIdleFlag();
void SetRebuildRankInNv(uint8_t bRank);
void CopyRebuildNvRecord(const uint8_t* pbSource, uint8_t* pbDestination);
uint8_t bGetRebuildState();
const REBUILD_CONTROL* psGetRebuildControl();
// The blocks of each member that hold the array's data: what a replacement
// must take.
uint32_t dGetRankMemberBlocks(uint8_t bRank);
// The blocks of a region on a rank of this level, 0 when it cannot be rebuilt.
uint16_t wRebuildRegionBlocksOf(uint8_t bRank);

// The flag that asks the partner for its share of the work.
void SetRebuildParFlag(uint8_t f);
uint8_t fGetRebuildParFlag();
void SetRebuildResetRequest(uint8_t f);

// Window tests.
uint8_t bCheckRebuildWindow(uint8_t bRank, uint16_t wOffset, uint16_t wBlocks, KERNEL_ENTRY* psCommand);
uint8_t bCheckHostRebuildWindow(KERNEL_ENTRY* psCommand);

// A host write mapped ahead of the front treats the member as absent: its
// rows must not be rebuilt while it is out, or the replacement keeps what
// the rebuild read before it.  The mapping notes it (and flags it); its
// completion lets go of it; the rebuild issues no region reaching its rows
// meanwhile.
void NoteWriteAheadOfRebuild(KERNEL_ENTRY* psHost);
void ReleaseWriteAheadOfRebuild(KERNEL_ENTRY* psHost);
// The first member block no region may reach while those writes are out
// (0xFFFFFFFF: none out).
uint32_t dGetRebuildHoldBlock();

// The region commands coming back from the RAID engine.
void RebuildRegionReadComplete(KERNEL_ENTRY* psRegion);
void RebuildRegionComplete(KERNEL_ENTRY* psRegion);
void AbortRebuildRegion(KERNEL_ENTRY* psRegion);
// TRUE while a region command of the rebuild is out, and for a region the
// rebuild has let go of while it was out.
uint8_t fIsAnyRebuildRegionOut();
uint8_t fIsRebuildRegionReleased(const KERNEL_ENTRY* psRegion);
uint8_t fIsRebuildMessageOutstanding();

// Rebuild messages between the controllers.  Bodies as the partner link
// delivers them (the message's CDB): byte 2 the rank, byte 3 the member,
// bytes 4-7 the last member block (86: the member's block count, least
// significant byte first; 102: the position), bytes 8-15 the replacement's
// WWN (102: bytes 8-9 the region's blocks).  Other multi-byte fields most
// significant byte first.
constexpr uint8_t REBUILD_MSG_START_REQUEST = 86;
constexpr uint8_t REBUILD_MSG_STARTED = 100;
constexpr uint8_t REBUILD_MSG_PROGRESS = 102;
constexpr uint8_t REBUILD_MSG_COMPLETE = 103;
constexpr uint8_t REBUILD_MSG_CANCEL = 104;
constexpr uint8_t REBUILD_MSG_PAR = 105;
constexpr uint8_t REBUILD_MSG_BYTES = 16;
void StartRebuildForPartner(const uint8_t* pbMessage);
void PartnerRebuildStarted(const uint8_t* pbMessage);
void PartnerRebuildProgress(const uint8_t* pbMessage);
void PartnerRebuildComplete(const uint8_t* pbMessage);
void PartnerRebuildMessageAcked();
// Message 86: a controller that is not master asks the master to rebuild
// the member onto the drive of the WWN.  255 queued.
uint8_t bSendRebuildStartRequest(uint8_t bRank, uint8_t bMember, uint32_t dMemberBlocks, const uint8_t* pbWwn);
// Message 105: host I/O here waits for the rebuild front, so the partner's
// rebuild should step without waiting for a quiet host.  Only the
// controller in slot 0 asks.
void SendRebuildParToPartner();
uint8_t fGetPartnerRebuildStartPending();

void ShowRebuildInfo();

}  // namespace fw
