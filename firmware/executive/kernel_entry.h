// The KERNEL_ENTRY command record and the internal entry pool.
//
// Every command of the controller travels in one KERNEL_ENTRY, named by its
// 16-bit index in its pool.  The head is the command block of the chip that
// carries the command (chip drivers copy it straight onto their request
// rings), so its byte layout is fixed; the fields after it are the command's
// bookkeeping.  The host command pool uses the same layout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/buffer_pages.h"
#include "executive/lists.h"
#include "executive/port_codes.h"
#include "executive/timers.h"

namespace fw {

struct KERNEL_SEGMENT {
    uint32_t dAddress;
    uint32_t dByteCount;
};

struct KERNEL_ENTRY {
    // ---- chip command block (bytes 0-127) ----
    uint8_t bEntryType;         // 0x11 built drive command, 2 continuation block
    uint8_t bCount;             // blocks of the command, the command block included
    uint8_t bMark;
    uint8_t bStatus;            // written back by the chip
    uint32_t dHandle;           // the entry's own address in built commands
    uint16_t wTargetId;         // loop ID or drive-side device handle
    uint16_t wHead10;
    uint16_t wControlFlags;
    uint16_t wHead14;
    uint16_t wTimeout;
    uint16_t wSegmentCount;
    uint8_t abCdb[16];
    uint32_t dTotalByteCount;
    KERNEL_SEGMENT asSegment[3];
    // The second half of the 128-byte command blocks of port code 'P'; on
    // the ISP24xx host ports, the received ATIO beside the converted head.
    uint8_t abHeadExtension[64];

    // ---- command fields ----
    uint8_t bPrimaryState;
    uint8_t bSecondaryState;
    uint8_t bPortCode;
    uint8_t bCommandType;
    uint16_t wIndex;
    uint8_t fUsed;
    uint8_t fValid;             // built (drive children) / admitted (host commands)
    uint8_t bRank;              // array of the command; 0xBB when free
    uint8_t bMember;            // member of a drive child; 255 or a member to regenerate
    uint16_t wLunIndex;         // logical drive; 0xFFFF none
    uint64_t lFlags;            // 64 independent bits; 0 when free
    uint64_t lInternalAddress;  // first address field; all-ones = none
    uint64_t lLba;
    uint64_t lRankAddress;
    uint64_t alStripeBound[4];
    uint64_t lSecondPieceAddress;
    uint8_t bRetryCount;
    uint8_t bSegmentIndex;
    uint8_t bSegmentCount;
    uint8_t bSecondRank;
    uint16_t wDeviceHandle;
    uint16_t wBlockCount;       // blocks of the CDB times the block factor
    uint16_t wChildrenOutstanding;  // children outstanding / pieces arrived / completion code
    uint16_t wTotalChildren;    // children issued / pieces expected / the state it was finished in
    KERNEL_ENTRY* psMother;     // the command this one counts down on
    KERNEL_ENTRY* psLink;       // sibling: a read-modify-write head's data child
    uint32_t dStartTick;        // coarse tick of the start, or when due
    BUFFER_HANDLE dBufferHandle;
    uint16_t wPageCount;
    uint16_t wBlocks;           // blocks of the current pass or transfer
    uint16_t wJournalSlot;
    uint16_t wBlocksDone;
    uint8_t abSequentialWrite[16];
    uint32_t dSerial;
    uint64_t alSequence[3];     // two arrival sequence numbers, the LUN sequence
    uint64_t lArrivalMs;        // millisecond tick at arrival
    uint8_t abPartnerSlot[8];
    LIST_NODE sWaitLink;
    uint32_t adSnapshot[2];     // non-zero: part of a snapshot copy-on-write
    CALLBACK_NODE* pCallbackTop;
    TIMER_NODE sTimer;
    uint16_t wRunLength;        // entries allocated with this one (run head only)
    uint8_t abSubsystemFields[282];  // fields of the target, cache and RAID engines
    uint64_t lStartTimeStamp;   // command trace start stamp
};

static_assert(offsetof(KERNEL_ENTRY, bCount) == 1);
static_assert(offsetof(KERNEL_ENTRY, bStatus) == 3);
static_assert(offsetof(KERNEL_ENTRY, dHandle) == 4);
static_assert(offsetof(KERNEL_ENTRY, wTargetId) == 8);
static_assert(offsetof(KERNEL_ENTRY, wControlFlags) == 12);
static_assert(offsetof(KERNEL_ENTRY, wTimeout) == 16);
static_assert(offsetof(KERNEL_ENTRY, wSegmentCount) == 18);
static_assert(offsetof(KERNEL_ENTRY, abCdb) == 20);
static_assert(offsetof(KERNEL_ENTRY, dTotalByteCount) == 36);
static_assert(offsetof(KERNEL_ENTRY, asSegment) == 40);
static_assert(offsetof(KERNEL_ENTRY, bPrimaryState) == 128);
static_assert(offsetof(KERNEL_ENTRY, wIndex) == 132);
static_assert(offsetof(KERNEL_ENTRY, fUsed) == 134);
static_assert(offsetof(KERNEL_ENTRY, wLunIndex) == 138);
// The bookkeeping fields as the controller's 32-bit processor lays them
// out.  Built for a 64-bit host, its pointers and the 8-byte alignment of
// the 64-bit fields move them; only the processor sees them, and the chip
// command block above keeps its bytes.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KERNEL_ENTRY) == 636);
static_assert(offsetof(KERNEL_ENTRY, lFlags) == 140);
static_assert(offsetof(KERNEL_ENTRY, lInternalAddress) == 148);
static_assert(offsetof(KERNEL_ENTRY, lLba) == 156);
static_assert(offsetof(KERNEL_ENTRY, bRetryCount) == 212);
static_assert(offsetof(KERNEL_ENTRY, wChildrenOutstanding) == 220);
static_assert(offsetof(KERNEL_ENTRY, psMother) == 224);
static_assert(offsetof(KERNEL_ENTRY, dStartTick) == 232);
static_assert(offsetof(KERNEL_ENTRY, dBufferHandle) == 236);
static_assert(offsetof(KERNEL_ENTRY, dSerial) == 264);
static_assert(offsetof(KERNEL_ENTRY, lArrivalMs) == 292);
static_assert(offsetof(KERNEL_ENTRY, sWaitLink) == 308);
static_assert(offsetof(KERNEL_ENTRY, pCallbackTop) == 320);
static_assert(offsetof(KERNEL_ENTRY, sTimer) == 324);
static_assert(offsetof(KERNEL_ENTRY, abSubsystemFields) == 346);
static_assert(offsetof(KERNEL_ENTRY, lStartTimeStamp) == 628);
#endif

// The subsystem area is carved into one fixed range per engine, so that the
// fields of the target engine, the cache, the RAID engine and the drive side
// never share a byte, whichever engines an entry passes through.  Each engine
// declares its fields as a packed layout in its own header, asserts that it
// fits its range, and reaches it through EntryArea.
constexpr uint32_t KE_AREA_TARGET_OFFSET = 0;
constexpr uint32_t KE_AREA_TARGET_SIZE = 64;
constexpr uint32_t KE_AREA_CACHE_OFFSET = 64;
constexpr uint32_t KE_AREA_CACHE_SIZE = 96;
constexpr uint32_t KE_AREA_RAID_OFFSET = 160;
constexpr uint32_t KE_AREA_RAID_SIZE = 88;
constexpr uint32_t KE_AREA_DRIVE_OFFSET = 248;
constexpr uint32_t KE_AREA_DRIVE_SIZE = 34;
static_assert(KE_AREA_DRIVE_OFFSET + KE_AREA_DRIVE_SIZE == sizeof(KERNEL_ENTRY::abSubsystemFields));

template <typename FIELDS, uint32_t OFFSET, uint32_t SIZE>
inline FIELDS* EntryArea(KERNEL_ENTRY* psEntry) {
    static_assert(sizeof(FIELDS) <= SIZE, "an engine's fields overflow its range of the entry");
    static_assert(alignof(FIELDS) == 1, "entry fields are packed");
    return reinterpret_cast<FIELDS*>(psEntry->abSubsystemFields + OFFSET);
}

// Byte offset of the CDB for the internal port codes 0x40 and 'P'.
constexpr uint32_t KERNEL_ENTRY_INTERNAL_CDB_OFFSET = 48;

constexpr uint16_t KERNEL_ENTRY_COUNT = 4096;

// Entry types of the head.
constexpr uint8_t ENTRY_TYPE_COMMAND = 0x11;
constexpr uint8_t ENTRY_TYPE_CONTINUATION = 2;

// Primary states this pool and the initiator rings act on.
constexpr uint8_t PS_IDLE = 0;
constexpr uint8_t PS_NEW_COMMAND = 6;
constexpr uint8_t PS_AT_CHIP = 0x20;
constexpr uint8_t PS_COMPLETED = 0x22;
constexpr uint8_t PS_PARKED_5B = 0x5B;
constexpr uint8_t PS_PARKED_5F = 0x5F;
constexpr uint8_t PS_AT_CHIP_ALTERNATE = 0xAD;


constexpr uint8_t COMMAND_TYPE_PARTNER_MESSAGE = 0x9E;
constexpr uint8_t COMMAND_TYPE_ROTOR_HOLD = 10;  // the finder's rotor stays on it
constexpr uint8_t COMMAND_TYPE_LONG_RETRY = 6;

// Flag word bits this pool and the drive side act on.  The whole word, with
// the meaning of every bit on each kind of entry, is set out with the record
// codes in target/host_command_codes.h.
constexpr uint64_t KE_FLAG_RETARGETED = 1ull << 1;      // drive command moved to another path
constexpr uint64_t KE_FLAG_ABORTED = 1ull << 4;         // aborted, or ended in error
constexpr uint64_t KE_FLAG_CHILD_FAILED = 1ull << 5;    // a child failed: the step decides
constexpr uint64_t KE_FLAG_SENSE_PRESENT = 1ull << 10;  // sense key, ASC and ASCQ recorded
constexpr uint64_t KE_FLAG_WRITE_COLLAPSE = 1ull << 26; // in its target's drive write cache queue
constexpr uint64_t KE_FLAG_BIT56 = 1ull << 56;

constexpr uint16_t NO_LUN_INDEX = 0xFFFF;
constexpr uint8_t NO_TARGET = 255;

// Holds the lock of the internal pool and the initiator rings (interrupt
// source 2) for one scope; only a holder that took the lock releases it, so
// nested sections and the source's own handler leave the mask alone.
class KernelPoolLock {
public:
    KernelPoolLock();
    ~KernelPoolLock() { Release(); }
    void Release();
    KernelPoolLock(const KernelPoolLock&) = delete;
    KernelPoolLock& operator=(const KernelPoolLock&) = delete;

private:
    uint8_t m_bResult;
};

void InitKernelEntryPool();
uint8_t bAllocKernelEntries(uint8_t bIgnored, uint16_t wCount, KERNEL_ENTRY** ppsEntry);
void FreeKernelEntries(KERNEL_ENTRY* psEntry);
uint8_t bCheckKernelEntryRuns(uint16_t wRuns, uint16_t wCount);
uint16_t GetKernelEntryAddress(uint32_t dIndex, KERNEL_ENTRY** ppsEntry);
KERNEL_ENTRY* GetNextKernelEntryAddress(const KERNEL_ENTRY* psEntry, KERNEL_ENTRY** ppsNext);
void GetPrevKernelEntryAddress(const KERNEL_ENTRY* psEntry, KERNEL_ENTRY** ppsPrev);
uint8_t fIsKernelEntryAddress(const void* pAddress);
// The entry a chip's 32-bit handle names: only an address on an entry
// boundary inside the pool; null for anything else.
KERNEL_ENTRY* psKernelEntryOfHandle(uint32_t dHandle);
void PrepareKernelEntry(uint8_t bPortCode, const void* pCommandBlock, KERNEL_ENTRY* psEntry,
                        uint8_t bPrimaryState, uint8_t fLockHeld);
void CopyHalfwords32(const void* pSource, void* pDestination);
uint8_t fDecrementRetryCount(KERNEL_ENTRY* psEntry);
uint8_t bFindPortEntryInState(uint8_t bPortCode, uint8_t bPrimaryState, KERNEL_ENTRY** ppsEntry);
uint8_t bFindEntryInState5B(KERNEL_ENTRY** ppsEntry);
uint8_t bFindEntryInState5F(KERNEL_ENTRY** ppsEntry);
void AbortPortEntries(uint8_t bPortCode, uint8_t bTarget);
void RequeuePortEntries(uint8_t bPortCode, uint8_t bTarget, uint8_t bNewTarget);
void ClearPortRetargetFlags(uint8_t bPortCode);
void QueueWaitListEntry(KERNEL_ENTRY* psEntry);
KERNEL_ENTRY* pDequeueWaitListEntry();
uint16_t wGetWaitListCount();
void DumpInitiatorKernelQueue();
void PrintKernelEntry(uint16_t wIndex);

// Pool state read by the dumps and the status line.
uint16_t wGetKernelEntriesUsed();
uint16_t wGetKernelEntryRotor();
uint8_t fIsKernelPoolExhausted();

}  // namespace fw
