// Drive child commands: every drive transfer of the RAID engine travels as
// a run of consecutive entries of the internal pool whose head holds the
// command for the drive-side chip (a Command Type 2 block, further data
// segments in Continuation Type 0 blocks), linked to the command it serves
// and pushed on the initiator kernel queue.  The conventions every RAID
// mapping follows to build, issue, chain and free children live here, with
// the completion-side handlers of the mirrored and parity transfers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "hw/addresses.h"

namespace fw {

// ---- the command block ----
constexpr uint8_t CHILD_ENTRY_TYPE = 0x11;
constexpr uint8_t CHILD_CONTINUATION_TYPE = 0x02;
constexpr uint16_t CHILD_CONTROL_READ = 0x28;    // read, simple tag, segment list
constexpr uint16_t CHILD_CONTROL_WRITE = 0x48;   // write, simple tag, segment list
constexpr uint16_t CHILD_TIMEOUT = 8;
constexpr uint8_t CHILD_RETRIES = 4;
constexpr uint32_t CHILD_HEAD_SEGMENTS = 3;
constexpr uint32_t CHILD_CONTINUATION_SEGMENTS = 7;
// The drive side takes at most 39 buffer elements per request; a member run
// with more chunks is carried by several children.
constexpr uint32_t CHILD_MAX_SEGMENTS = 39;
constexpr uint32_t BLOCK_BYTES = 512;
constexpr uint32_t BLOCKS_PER_PAGE = BUFFER_PAGE_SIZE / BLOCK_BYTES;
constexpr uint32_t MAX_CHILD_BLOCKS = 0xFFFF;     // the 10-byte CDB's transfer length


// ---- member flags of a rank ----
constexpr uint8_t MEMBER_ON_LINE = 0;
constexpr uint8_t MEMBER_FAILED = 17;
constexpr uint8_t MEMBER_REBUILD_FAILED = 68;
constexpr uint8_t MEMBER_REBUILDING = 85;
constexpr uint8_t NO_DRIVE = 255;
constexpr uint8_t NO_MEMBER = 255;

// ---- command types of RAID children ----
constexpr uint8_t CT_WRITE = 0;                  // RAID 0 and 1/10 writes
constexpr uint8_t CT_RAID5_READ = 15;
constexpr uint8_t CT_RAID5_DATA_ONLY = 17;
constexpr uint8_t CT_ROW_DATA_WRITE = 20;
constexpr uint8_t CT_ROW_PARITY_WRITE = 21;
constexpr uint8_t CT_PARTIAL_DATA_WRITE = 22;
constexpr uint8_t CT_PARTIAL_HEAD = 23;
constexpr uint8_t CT_PARTIAL_READ_BEFORE = 24;
constexpr uint8_t CT_PARTIAL_READ_HEAD_PART = 25;
constexpr uint8_t CT_PARTIAL_READ_AFTER = 26;
constexpr uint8_t CT_PARTIAL_READ_TAIL_PART = 27;
constexpr uint8_t CT_MEMBER_FAILURE_REQUEST = 28;   // a member failed on request (console, management)
constexpr uint8_t CT_RMW_PARITY_READ = 160;
constexpr uint8_t CT_RMW_PARITY_WRITE = 161;
constexpr uint8_t CT_RMW_PARITY_READ_PARTNER = 162;
constexpr uint8_t CT_RMW_PARITY_WRITE_PARTNER = 163;
constexpr uint8_t CT_RMW_DATA_READ = 164;
constexpr uint8_t CT_RMW_DATA_WRITE = 165;
constexpr uint8_t CT_RMW_DATA_READ_PARTNER = 166;
constexpr uint8_t CT_RMW_DATA_WRITE_PARTNER = 167;
constexpr uint8_t CT_REGENERATE_HEAD = 168;
constexpr uint8_t CT_REGENERATE_READ = 169;
constexpr uint8_t CT_RECONSTRUCT_HEAD = 170;
constexpr uint8_t CT_RECONSTRUCT_READ = 171;
constexpr uint8_t CT_RAID0_READ = 183;
constexpr uint8_t CT_RAID10_READ = 184;
constexpr uint8_t CT_MIRROR_REPAIR_READ = 0x2A;
constexpr uint8_t CT_MIRROR_REPAIR_WRITE = 0x2B;

// ---- primary states of RAID groups ----
constexpr uint8_t PS_ROW_HELD = 0x95;            // data write waiting for the row's parity
constexpr uint8_t PS_PAIR_READ_DONE = 0x96;
constexpr uint8_t PS_RECONSTRUCT_WAIT = 0x99;
constexpr uint8_t PS_ROW_PARITY_XOR = 0x9A;
constexpr uint8_t PS_PARTIAL_ROW_WAIT = 0xAA;
constexpr uint8_t PS_GROUP_HELD = 155;           // held behind the previous group
constexpr uint8_t PS_DATA_WRITE_FAILED = 0x5B;   // a held data write of a failed group

// The RAID engine's fields of an entry (children, group heads and the
// RAID engine's view of a host command), in its range of the entry.
#pragma pack(push, 1)
struct RAID_ENTRY_FIELDS {
    uint32_t dDataAddress;        // the mother's data for this child (processor address)
    WORD_POINTER<KERNEL_ENTRY> psChainNext;  // the group held behind this one
    WORD_POINTER<KERNEL_ENTRY> psChainPrev;  // the group this one is held behind
    uint8_t bSubRank;
    uint8_t bPath;                // bank of the pages and path of the XOR requests
    uint8_t bMissingA;            // dual parity: the first two flagged members,
    uint8_t bMissingB;            // the member read or written, and the method
    uint8_t bTargetMember;
    uint8_t bFlaggedCount;
    uint16_t wRunBlocks;          // blocks of the run a group serves
    uint32_t dSlotBase;           // slot 0 of the group's pages (processor address)
    uint32_t dRunBytes;           // bytes of one slot
    uint16_t wChildBuilt;         // cleared on every child built (full-row rule)
    uint8_t fUsesReserve;         // the group's pages come from the reserved region
    uint8_t bMethod;
    uint32_t dDriveBlock;         // drive block of the run (dual-parity groups)
    uint8_t bEntries;             // entries of the run this child fills with its segments
    uint8_t bPhase;               // step of a group that runs in steps
    uint8_t bColumnWritten;       // dual parity: data column read or written
    uint8_t bMembers;             // dual parity: members of the rank
    uint8_t bLostA;               // dual parity: lost data columns (0xFF none)
    uint8_t bLostB;
    uint8_t bFailureCase;         // dual parity: which members a degraded run lost
    uint8_t abJobFields[45];      // a background job's own fields (a rebuild region's)
};
#pragma pack(pop)
static_assert(sizeof(RAID_ENTRY_FIELDS) == KE_AREA_RAID_SIZE);

inline RAID_ENTRY_FIELDS* pRaidFields(KERNEL_ENTRY* psEntry) {
    return EntryArea<RAID_ENTRY_FIELDS, KE_AREA_RAID_OFFSET, KE_AREA_RAID_SIZE>(psEntry);
}
inline const RAID_ENTRY_FIELDS* pRaidFields(const KERNEL_ENTRY* psEntry) {
    return pRaidFields(const_cast<KERNEL_ENTRY*>(psEntry));
}

// The host command as the mapping reads it: the rank-relative block address
// and the blocks of the current pass, set when the command was decoded.
inline uint64_t lGetMappedAddress(const KERNEL_ENTRY* psEntry) { return psEntry->lRankAddress; }
inline uint16_t wGetMappedBlocks(const KERNEL_ENTRY* psEntry) { return psEntry->wBlocks; }
// The opcode with READ(16), WRITE(16) and WRITE AND VERIFY(16) folded onto
// their 10-byte forms.
uint8_t bFoldedOpcode(const KERNEL_ENTRY* psHost);
// The memory bank (and XOR path) of the command's pages.
uint8_t bGetCommandBank(const KERNEL_ENTRY* psHost);

inline uint8_t* pbAtAddress(uint32_t dAddress) { return pAddressWordToPointer<uint8_t>(dAddress); }

// ---- building and issuing ----
// Entries of a child carrying the given number of segments.
uint16_t wChildEntries(uint32_t dSegments);
// Takes a run of entries from the internal pool: 255, or 16.
uint8_t bAllocChildRun(uint16_t wEntries, KERNEL_ENTRY** ppsFirst);
// Takes a run of entries for a group of one-entry children: each entry of
// the run is freed on its own when its child is done.  255, or 16.
uint8_t bAllocGroupRun(uint16_t wEntries, KERNEL_ENTRY** ppsFirst);
// Frees one entry of a group run.
void FreeGroupEntry(KERNEL_ENTRY* psEntry);

// The entries and pages one group of a command needs, all taken before
// anything of the command is built.
struct GROUP_RUN {
    KERNEL_ENTRY* psFirst;
    BUFFER_HANDLE dHandle;
    uint32_t dPages;
    uint16_t wEntries;
    uint8_t fReserved;   // the pages are carved from a reserved buffer: never freed
};
// Takes every run's entries and pages (from the reserved buffer at
// dReserved when it is not 0, carved in order, each run marked so); 255,
// 16 or 66, and nothing kept on a failure.
uint8_t bReserveGroupRuns(GROUP_RUN* pasRun, uint32_t dRuns, uint8_t bBank, BUFFER_HANDLE dReserved,
                          uint32_t dReservedPages);
void ReleaseGroupRuns(GROUP_RUN* pasRun, uint32_t dRuns, uint8_t fReserved);

// Groups of children (a parity update, a regeneration run, a row) are
// anchored on their first entry: it holds the group's pages and counts the
// group's children down; its own mother is the host command.
uint32_t dGroupSlot(const KERNEL_ENTRY* psHead, uint32_t dIndex);
// Gives the group its run's pages: slots of dSlotBlocks blocks from the
// run's handle.  Pages carved from a reserved buffer are not freed with the
// group: they stay the reserve's.
void SetGroupPages(KERNEL_ENTRY* psHead, const GROUP_RUN& sRun, uint32_t dSlotBlocks);
// Frees every entry still in use that serves the head, the head's pages and
// the head.
void FreeChildGroup(KERNEL_ENTRY* psHead, uint16_t wEntries);
// A group ends: its held chain moves on (or is dropped when the group
// failed), the group is freed and its host command counted down.
void FinishChildGroup(KERNEL_ENTRY* psHead, uint16_t wEntries);
// A child of the group ended in error: the group and its host command
// carry it.
void NoteChildFailure(KERNEL_ENTRY* psHead, KERNEL_ENTRY* psChild);
void BuildChildCommand(KERNEL_ENTRY* psMother, KERNEL_ENTRY* psChild, uint8_t bOpcode, uint8_t bRank,
                       uint8_t bSubRank, uint8_t bMember);
// The child fills the whole run it heads with its segments.
void SetChildEntries(KERNEL_ENTRY* psChild, uint16_t wEntries);
// Appends one chunk: chunk size - lead - trail blocks at the address, the
// first call setting the LBA to drive block + lead.  FALSE when the child
// has no room for another segment or block.
uint8_t AddChildSegment(KERNEL_ENTRY* psChild, uint32_t dAddress, uint32_t dDriveBlock, uint32_t dChunkBlocks,
                        uint32_t dChunkSize, uint32_t dLead, uint32_t dTrail);
KERNEL_SEGMENT* psChildSegment(KERNEL_ENTRY* psChild, uint32_t dSegment);
uint32_t dGetChildLba(const KERNEL_ENTRY* psChild);
uint16_t wGetChildBlocks(const KERNEL_ENTRY* psChild);
void SetChildLba(KERNEL_ENTRY* psChild, uint32_t dLba);
void SetChildBlocks(KERNEL_ENTRY* psChild, uint16_t wBlocks);
// Turns a built child into the other direction (read into write).
void SetChildOpcode(KERNEL_ENTRY* psChild, uint8_t bOpcode);
uint8_t bFindUsableMember(uint8_t bRank, uint8_t bSubRank, uint8_t bFirstMember, uint8_t fTakeRebuilding);
// PS 6, SS 0, retry count 4, valid, onto the initiator kernel queue.
void IssueChild(KERNEL_ENTRY* psChild);
// Frees the run from its head, with its pages when it owns any.
void FreeChild(KERNEL_ENTRY* psChild);
// Gives a child data pages it frees with itself; 255 or 66.
uint8_t bGiveChildPages(KERNEL_ENTRY* psChild, uint8_t bBank, uint32_t dPages);

// ---- shared array operations ----
uint8_t fIsSubrankIntact(uint8_t bRank, uint8_t bSubRank);
uint8_t fIsSubrankRebuilding(uint8_t bRank, uint8_t bSubRank);
uint8_t bMembersPerSubrank(uint8_t bRank);
void RemoveHotSpare(uint8_t bPortCode, uint8_t bDriveId);

// ---- completion-side handlers ----
void StartParityUpdate(KERNEL_ENTRY* psHead);
void IssueDataWrite(KERNEL_ENTRY* psDataChild);
void IssueParityWrite(KERNEL_ENTRY* psHead);
void RegenerateChunk(KERNEL_ENTRY* psRunHead);
void FreeRowGroup(KERNEL_ENTRY* psHead);
void StartFullRowParity(KERNEL_ENTRY* psHead);
void IssueAfterXor(KERNEL_ENTRY* psEntry);
void IssueOrFailAfterXor(KERNEL_ENTRY* psEntry);
void IssueFullRowWrites(KERNEL_ENTRY* psHead);
void IssueMirrorRepairWrite(KERNEL_ENTRY* psRead);
uint8_t bIssueMirrorRepairRead(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t bMember, uint32_t dLba,
                               uint16_t wBlocks);
uint8_t bIssueRegenerationReads(KERNEL_ENTRY* psHost, KERNEL_ENTRY* psRun, uint8_t bRank, uint8_t bFailedMember,
                                uint8_t bMembersPerSubrank, uint32_t dDriveBlock, uint32_t dChunkSize,
                                uint32_t dLead, uint32_t dTrail);

// The reserved write buffer of the parity writes.
void InitReservedWriteBuffer();
uint8_t fGetReservedWriteBufferBusy();
void SetReservedWriteBufferBusy(uint8_t f);
BUFFER_HANDLE dGetReservedWriteBuffer(uint8_t bBank);
constexpr uint32_t RESERVED_WRITE_BUFFER_PAGES = 2048;

void SuspendRaidJobsForConfigEdit();
void DumpChildCommand(KERNEL_ENTRY* psChild, uint8_t bDrive, uint8_t fShowState);

}  // namespace fw
