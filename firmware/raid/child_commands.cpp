// Drive child commands: building, issuing and freeing runs of internal
// entries, the shared array operations, the mirror repair, the reserved
// write buffer and the child dump.
#include "raid/child_commands.h"

#include <cstring>

#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/rank_table.h"
#include "executive/console_output.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/addresses.h"
#include "hw/scsi.h"
#include "raid/raid_engine.h"
#include "sas/sas_scsi_path.h"
#include "target/back_end_completion.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {


BUFFER_HANDLE s_adReservedBuffer[2];
uint8_t s_fReservedBufferBusy = FALSE;

// Segments the child may carry: a group run holds one child per entry, so
// only a child whose run was taken for its own segments spills into the
// entries behind it.
uint32_t dSegmentCapacity(const KERNEL_ENTRY* psChild) {
    const uint32_t dEntries = pRaidFields(psChild)->bEntries;
    return CHILD_HEAD_SEGMENTS + (dEntries > 1 ? dEntries - 1 : 0) * CHILD_CONTINUATION_SEGMENTS;
}

}  // namespace

uint8_t bFoldedOpcode(const KERNEL_ENTRY* psHost) {
    const uint8_t* pbCdb = pGetCommandCdb(psHost);
    if (pbCdb == nullptr) return 0;
    switch (pbCdb[0]) {
    case SCSI_READ16: return SCSI_READ10;
    case SCSI_WRITE16: return SCSI_WRITE10;
    case SCSI_SEEK16_FORM: return SCSI_SEEK10;
    default: return pbCdb[0];
    }
}

uint8_t bGetCommandBank(const KERNEL_ENTRY* psHost) { return bGetBufferHandleBank(psHost->dBufferHandle); }

uint16_t wChildEntries(uint32_t dSegments) {
    if (dSegments <= CHILD_HEAD_SEGMENTS) return 1;
    return static_cast<uint16_t>(1 + (dSegments - CHILD_HEAD_SEGMENTS + CHILD_CONTINUATION_SEGMENTS - 1) /
                                         CHILD_CONTINUATION_SEGMENTS);
}

uint8_t bAllocChildRun(uint16_t wEntries, KERNEL_ENTRY** ppsFirst) {
    return bAllocKernelEntries(PORT_CODE_INITIATOR, wEntries, ppsFirst);
}

uint8_t bAllocGroupRun(uint16_t wEntries, KERNEL_ENTRY** ppsFirst) {
    const uint8_t b = bAllocKernelEntries(PORT_CODE_INITIATOR, wEntries, ppsFirst);
    if (b != STATUS_OK) return b;
    for (uint16_t i = 0; i < wEntries; ++i) {
        (*ppsFirst)[i].wRunLength = i == 0 ? 1 : 0;
        (*ppsFirst)[i].bCount = 1;
    }
    return STATUS_OK;
}

void FreeGroupEntry(KERNEL_ENTRY* psEntry) {
    if (psEntry->fUsed != TRUE) return;
    psEntry->wRunLength = 1;
    FreeChild(psEntry);
}

uint32_t dGroupSlot(const KERNEL_ENTRY* psHead, uint32_t dIndex) {
    return pRaidFields(psHead)->dSlotBase + dIndex * pRaidFields(psHead)->dRunBytes;
}

void ReleaseGroupRuns(GROUP_RUN* pasRun, uint32_t dRuns, uint8_t fReserved) {
    for (uint32_t i = 0; i < dRuns; ++i) {
        GROUP_RUN& r = pasRun[i];
        if (r.psFirst != nullptr) {
            for (uint16_t e = 0; e < r.wEntries; ++e) FreeGroupEntry(r.psFirst + e);
        }
        if (r.dHandle != NULL_BUFFER_HANDLE && fReserved != TRUE) (void)wFreeDataPages(r.dHandle, r.dPages);
        r.psFirst = nullptr;
        r.dHandle = NULL_BUFFER_HANDLE;
    }
}

uint8_t bReserveGroupRuns(GROUP_RUN* pasRun, uint32_t dRuns, uint8_t bBank, BUFFER_HANDLE dReserved,
                          uint32_t dReservedPages) {
    const uint8_t fReserved = ToFlag(dReserved != NULL_BUFFER_HANDLE);
    for (uint32_t i = 0; i < dRuns; ++i) {
        GROUP_RUN& r = pasRun[i];
        r.psFirst = nullptr;
        r.dHandle = NULL_BUFFER_HANDLE;
        r.fReserved = fReserved;
        uint8_t b = r.wEntries == 0 ? STATUS_OK : bAllocGroupRun(r.wEntries, &r.psFirst);
        if (b != STATUS_OK) r.psFirst = nullptr;
        if (b == STATUS_OK && r.dPages != 0) {
            if (fReserved != TRUE) {
                b = bAllocDataPages(bBank, r.dPages, &r.dHandle);
            } else if (r.dPages <= dReservedPages) {
                r.dHandle = dReserved;
                dReserved = dReserved + r.dPages * BUFFER_PAGE_SIZE;
                dReservedPages -= r.dPages;
            } else {
                b = STATUS_NO_PAGES;
            }
            if (b != STATUS_OK) r.dHandle = NULL_BUFFER_HANDLE;
        }
        if (b != STATUS_OK) {
            ReleaseGroupRuns(pasRun, i + 1, fReserved);
            return b;
        }
    }
    return STATUS_OK;
}

void SetGroupPages(KERNEL_ENTRY* psHead, const GROUP_RUN& sRun, uint32_t dSlotBlocks) {
    RAID_ENTRY_FIELDS* ps = pRaidFields(psHead);
    ps->dSlotBase = static_cast<uint32_t>(dBufferHandleToCpuAddress(sRun.dHandle));
    ps->dRunBytes = dSlotBlocks * BLOCK_BYTES;
    ps->fUsesReserve = sRun.fReserved;
    psHead->dBufferHandle = sRun.dHandle;
    psHead->wPageCount = static_cast<uint16_t>(sRun.dPages);
    if (sRun.fReserved != TRUE && sRun.dPages != 0) psHead->lFlags |= KE_FLAG_OWNS_PAGES;
}

void FreeChildGroup(KERNEL_ENTRY* psHead, uint16_t wEntries) {
    for (uint16_t e = 1; e < wEntries; ++e) {
        KERNEL_ENTRY* ps = psHead + e;
        if (ps->fUsed == TRUE && ps->psMother == psHead) FreeGroupEntry(ps);
    }
    FreeGroupEntry(psHead);
}

void FinishChildGroup(KERNEL_ENTRY* psHead, uint16_t wEntries) {
    KERNEL_ENTRY* psHost = psHead->psMother;
    ReleaseHeldChain(psHead, ToFlag(HasFlag(psHead, KE_FLAG_ABORTED)));
    FreeChildGroup(psHead, wEntries);
    CountDownHostCommand(psHost);
}

void NoteChildFailure(KERNEL_ENTRY* psHead, KERNEL_ENTRY* psChild) {
    if (!HasFlag(psChild, KE_FLAG_ABORTED)) return;
    SetFlag(psHead, KE_FLAG_ABORTED);
    // A group head that is a transfer of its own ends aborted with its
    // group: when the group failed only to be done again, so does the head,
    // or the host would hear of an error nobody reported.
    if (HasFlag(psChild, KE_FLAG_REDO_WITHOUT_MEMBER)) SetFlag(psHead, KE_FLAG_REDO_WITHOUT_MEMBER);
    MarkHostCommandFailed(psHead->psMother, psChild);
}

void BuildChildCommand(KERNEL_ENTRY* psMother, KERNEL_ENTRY* psChild, uint8_t bOpcode, uint8_t bRank,
                       uint8_t bSubRank, uint8_t bMember) {
    std::memset(psChild, 0, offsetof(KERNEL_ENTRY, abHeadExtension));
    psChild->bEntryType = CHILD_ENTRY_TYPE;
    psChild->bCount = 1;
    psChild->bMark = psMother->bMark;
    psChild->dHandle = dAddressWord(psChild);
    psChild->wTargetId = bGetRankMemberDrive(bRank, bMember);
    psChild->wControlFlags = bOpcode == SCSI_READ10 ? CHILD_CONTROL_READ : CHILD_CONTROL_WRITE;
    // The time-out word is the drive-loop chip's, in seconds.  The drive
    // side of this board is the SAS IOC, which gives every request its own
    // deadline by the kind of target and its load (15 s and more): eight
    // seconds there would time drives out under ordinary queues.
    psChild->wTimeout = CHILD_TIMEOUT;
    psChild->abCdb[0] = bOpcode;

    psChild->bPrimaryState = 0;
    psChild->bSecondaryState = 0;
    psChild->bPortCode = PORT_CODE_INITIATOR;
    psChild->bCommandType = CT_WRITE;
    psChild->fValid = FALSE;
    psChild->bRank = bRank;
    psChild->bMember = bMember;
    psChild->lFlags = 0;
    psChild->psMother = psMother;
    psChild->psLink = nullptr;
    psChild->wChildrenOutstanding = 0;
    psChild->wTotalChildren = 0;
    psChild->bRetryCount = 0;
    psChild->dBufferHandle = NULL_BUFFER_HANDLE;
    psChild->wPageCount = 0;
    psChild->wBlocks = 0;
    RAID_ENTRY_FIELDS* psRaid = pRaidFields(psChild);
    std::memset(psRaid, 0, sizeof *psRaid);
    psRaid->bSubRank = bSubRank;
    psRaid->bEntries = 1;
    psRaid->bPath = pRaidFields(psMother)->bPath;
    // The drive side's status of an earlier user of the entry must not
    // make this one look failed.
    std::memset(psChild->abSubsystemFields + KE_AREA_DRIVE_OFFSET, 0, KE_AREA_DRIVE_SIZE);
}

void SetChildEntries(KERNEL_ENTRY* psChild, uint16_t wEntries) {
    pRaidFields(psChild)->bEntries = static_cast<uint8_t>(wEntries > 255 ? 255 : wEntries);
}

KERNEL_SEGMENT* psChildSegment(KERNEL_ENTRY* psChild, uint32_t dSegment) {
    if (dSegment < CHILD_HEAD_SEGMENTS) return &psChild->asSegment[dSegment];
    const uint32_t dRest = dSegment - CHILD_HEAD_SEGMENTS;
    KERNEL_ENTRY* psNext = psChild + 1 + dRest / CHILD_CONTINUATION_SEGMENTS;
    return reinterpret_cast<KERNEL_SEGMENT*>(reinterpret_cast<uint8_t*>(psNext) + 8) +
           dRest % CHILD_CONTINUATION_SEGMENTS;
}

uint32_t dGetChildLba(const KERNEL_ENTRY* psChild) { return dGetBe32(psChild->abCdb + 2); }
uint16_t wGetChildBlocks(const KERNEL_ENTRY* psChild) { return wGetBe16(psChild->abCdb + 7); }
void SetChildLba(KERNEL_ENTRY* psChild, uint32_t dLba) { PutBe32(psChild->abCdb + 2, dLba); }
void SetChildBlocks(KERNEL_ENTRY* psChild, uint16_t wBlocks) { PutBe16(psChild->abCdb + 7, wBlocks); }

void SetChildOpcode(KERNEL_ENTRY* psChild, uint8_t bOpcode) {
    psChild->abCdb[0] = bOpcode;
    psChild->wControlFlags = bOpcode == SCSI_READ10 ? CHILD_CONTROL_READ : CHILD_CONTROL_WRITE;
}

uint8_t AddChildSegment(KERNEL_ENTRY* psChild, uint32_t dAddress, uint32_t dDriveBlock, uint32_t /*dChunkBlocks*/,
                        uint32_t dChunkSize, uint32_t dLead, uint32_t dTrail) {
    if (dLead + dTrail > dChunkSize) return FALSE;
    const uint32_t dBlocks = dChunkSize - dLead - dTrail;
    const uint32_t dSegment = psChild->wSegmentCount;
    const uint32_t dCapacity = dSegmentCapacity(psChild);
    const uint32_t dTotal = static_cast<uint32_t>(wGetChildBlocks(psChild)) + dBlocks;
    if (dSegment >= dCapacity || dSegment >= CHILD_MAX_SEGMENTS || dTotal > MAX_CHILD_BLOCKS) return FALSE;
    if (dSegment == 0) SetChildLba(psChild, dDriveBlock + dLead);
    if (dSegment >= CHILD_HEAD_SEGMENTS && (dSegment - CHILD_HEAD_SEGMENTS) % CHILD_CONTINUATION_SEGMENTS == 0) {
        KERNEL_ENTRY* psCont = psChild + 1 + (dSegment - CHILD_HEAD_SEGMENTS) / CHILD_CONTINUATION_SEGMENTS;
        std::memset(psCont, 0, offsetof(KERNEL_ENTRY, abHeadExtension));
        psCont->bEntryType = CHILD_CONTINUATION_TYPE;
        psCont->bMark = psChild->bMark;
        psCont->bPrimaryState = CHILD_STATE_CONTINUATION;
        psCont->psMother = psChild;
        psChild->bCount = static_cast<uint8_t>(psChild->bCount + 1);
    }
    KERNEL_SEGMENT* ps = psChildSegment(psChild, dSegment);
    ps->dAddress = dAddress;
    ps->dByteCount = dBlocks * BLOCK_BYTES;
    psChild->wSegmentCount = static_cast<uint16_t>(dSegment + 1);
    psChild->dTotalByteCount += dBlocks * BLOCK_BYTES;
    SetChildBlocks(psChild, static_cast<uint16_t>(dTotal));
    psChild->wBlocks = static_cast<uint16_t>(dTotal);
    return TRUE;
}

uint8_t bMembersPerSubrank(uint8_t bRank) {
    const uint8_t bDrives = bGetRankDriveCount(bRank);
    const uint8_t bSubRanks = bGetRankSubRankCount(bRank);
    if (bGetRankRaidLevel(bRank) == RAID_LEVEL_6 || bSubRanks == 0) return bDrives;
    return static_cast<uint8_t>(bDrives / bSubRanks);
}

uint8_t bFindUsableMember(uint8_t bRank, uint8_t bSubRank, uint8_t bFirstMember, uint8_t fTakeRebuilding) {
    const uint32_t dEnd = (static_cast<uint32_t>(bSubRank) + 1) * bMembersPerSubrank(bRank);
    for (uint32_t m = bFirstMember; m < dEnd; ++m) {
        const uint8_t bMember = static_cast<uint8_t>(m);
        if (bGetRankMemberDrive(bRank, bMember) == NO_DRIVE) continue;
        if (bGetRankMemberFlags(bRank, bMember) == MEMBER_REBUILDING && fTakeRebuilding != TRUE) continue;
        return bMember;
    }
    return NO_MEMBER;
}

void IssueChild(KERNEL_ENTRY* psChild) {
    psChild->bPrimaryState = PS_NEW_COMMAND;
    psChild->bSecondaryState = 0;
    psChild->bRetryCount = CHILD_RETRIES;
    psSasFields(psChild)->bTransportRetries = 0;
    psChild->fValid = TRUE;
    (void)QueueKernelEntry(psChild->bPortCode, psChild->wIndex);
}

void FreeChild(KERNEL_ENTRY* psChild) {
    if ((psChild->lFlags & KE_FLAG_OWNS_PAGES) && psChild->wPageCount != 0) {
        (void)wFreeDataPages(psChild->dBufferHandle, psChild->wPageCount);
    }
    psChild->lFlags &= ~KE_FLAG_OWNS_PAGES;
    FreeKernelEntries(psChild);
}

uint8_t bGiveChildPages(KERNEL_ENTRY* psChild, uint8_t bBank, uint32_t dPages) {
    if (dPages == 0 || dPages > 0xFFFF) return STATUS_NO_PAGES;
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    const uint8_t b = bAllocDataPages(bBank, dPages, &dHandle);
    if (b != STATUS_OK) return b;
    psChild->dBufferHandle = dHandle;
    psChild->wPageCount = static_cast<uint16_t>(dPages);
    psChild->lFlags |= KE_FLAG_OWNS_PAGES;
    return STATUS_OK;
}

uint8_t fIsSubrankIntact(uint8_t bRank, uint8_t bSubRank) {
    if (bGetRankOperationState(bRank) == RANK_STATE_OPTIMAL) return TRUE;
    const uint8_t bSubRanks = bGetRankRaidLevel(bRank) == RAID_LEVEL_6 ? 1 : bGetRankSubRankCount(bRank);
    if (bSubRank >= bSubRanks) return FALSE;
    const uint8_t p = bMembersPerSubrank(bRank);
    for (uint32_t m = static_cast<uint32_t>(bSubRank) * p; m < static_cast<uint32_t>(bSubRank + 1) * p; ++m) {
        if (bGetRankMemberFlags(bRank, static_cast<uint8_t>(m)) != MEMBER_ON_LINE) return FALSE;
    }
    return TRUE;
}

uint8_t fIsSubrankRebuilding(uint8_t bRank, uint8_t bSubRank) {
    const uint8_t bSubRanks = bGetRankRaidLevel(bRank) == RAID_LEVEL_6 ? 1 : bGetRankSubRankCount(bRank);
    if (bSubRank >= bSubRanks) return FALSE;
    const uint8_t p = bMembersPerSubrank(bRank);
    for (uint32_t m = static_cast<uint32_t>(bSubRank) * p; m < static_cast<uint32_t>(bSubRank + 1) * p; ++m) {
        if (bGetRankMemberFlags(bRank, static_cast<uint8_t>(m)) == MEMBER_REBUILDING) return TRUE;
    }
    return FALSE;
}

void RemoveHotSpare(uint8_t bPortCode, uint8_t bDriveId) {
    if (bDriveId == NO_DRIVE) return;
    const bool fSparePort = fIsDriveSlotPath(bPortCode);
    if (!fIsDrivePath(bPortCode)) return;
    HOT_SPARE_TABLE* ps = pGetHotSpareTable();
    const uint8_t bCount = ps->bCount < MAX_SPARES ? ps->bCount : static_cast<uint8_t>(MAX_SPARES);
    uint8_t i = 0;
    for (; i < bCount; ++i) {
        if (bPortCode == PORT_CODE_DRIVE_LOOP_4 ? ps->abDriveAlt[i] == bDriveId
            : fSparePort                         ? ps->abDrive[i] == bPortCode - PORT_CODE_DRIVE_SLOT_FIRST
                                                 : ps->abDrive[i] == bDriveId) {
            break;
        }
    }
    if (i == bCount) return;
    for (; i + 1u < MAX_SPARES; ++i) {
        ps->abDrive[i] = ps->abDrive[i + 1];
        ps->abDriveAlt[i] = ps->abDriveAlt[i + 1];
        ps->abSpareIndex[i] = ps->abSpareIndex[i + 1];
        ps->abDedicatedRank[i] = ps->abDedicatedRank[i + 1];
    }
    ps->abDrive[MAX_SPARES - 1] = NO_DRIVE;
    ps->abDriveAlt[MAX_SPARES - 1] = NO_DRIVE;
    ps->bCount = static_cast<uint8_t>(ps->bCount - 1);
}

// ---------------------------------------------------------------------------
// Mirror repair
// ---------------------------------------------------------------------------

uint8_t bIssueMirrorRepairRead(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t bMember, uint32_t dLba,
                               uint16_t wBlocks) {
    KERNEL_ENTRY* ps = nullptr;
    if (bAllocChildRun(1, &ps) != STATUS_OK) return STATUS_RETRY;
    const uint32_t dPages = wBlocks == 0 ? 1 : (static_cast<uint32_t>(wBlocks) - 1) / BLOCKS_PER_PAGE + 1;
    BuildChildCommand(psHost, ps, SCSI_READ10, bRank, 0, bMember);
    if (bGiveChildPages(ps, 0, dPages) != STATUS_OK) {
        FreeKernelEntries(ps);
        return STATUS_NO_PAGES;
    }
    (void)AddChildSegment(ps, static_cast<uint32_t>(dBufferHandleToCpuAddress(ps->dBufferHandle)), dLba, wBlocks, wBlocks,
                          0, 0);
    ps->bCommandType = CT_MIRROR_REPAIR_READ;
    ++psHost->wChildrenOutstanding;
    ++psHost->wTotalChildren;
    IssueChild(ps);
    return STATUS_OK;
}

void IssueMirrorRepairWrite(KERNEL_ENTRY* psRead) {
    const uint8_t bRank = psRead->bRank;
    const uint8_t bMember = static_cast<uint8_t>(psRead->bMember ^ 1);
    psRead->bCommandType = CT_MIRROR_REPAIR_WRITE;
    SetChildOpcode(psRead, SCSI_WRITE10);
    psRead->bMember = bMember;
    psRead->wTargetId = bGetRankMemberDrive(bRank, bMember);
    psRead->bPortCode = PORT_CODE_INITIATOR;
    psRead->lFlags &= ~KE_FLAG_ABORTED;
    IssueChild(psRead);
}

// ---------------------------------------------------------------------------
// Reserved write buffer
// ---------------------------------------------------------------------------

void InitReservedWriteBuffer() {
    s_fReservedBufferBusy = FALSE;
    for (uint8_t b = 0; b < 2; ++b) {
        s_adReservedBuffer[b] = NULL_BUFFER_HANDLE;
        if (b == 1 && fIsSecondBufferBankPresent() != TRUE) continue;
        if (bAllocDataPages(b, RESERVED_WRITE_BUFFER_PAGES, &s_adReservedBuffer[b]) != STATUS_OK) {
            s_adReservedBuffer[b] = NULL_BUFFER_HANDLE;
        }
    }
}

// Start of day: the reserved buffers of the parity writes.
void AllocateRaidEngineTables() { InitReservedWriteBuffer(); }

uint8_t fGetReservedWriteBufferBusy() { return s_fReservedBufferBusy; }
void SetReservedWriteBufferBusy(uint8_t f) { s_fReservedBufferBusy = f; }
BUFFER_HANDLE dGetReservedWriteBuffer(uint8_t bBank) {
    return bBank < 2 ? s_adReservedBuffer[bBank] : NULL_BUFFER_HANDLE;
}

void SuspendRaidJobsForConfigEdit() {
    if (fIsStripeInitInProgress(64) == TRUE) SetStripeInitRestartAll();
    if (bGetNvramRebuildPendingFlag() == TRUE) {
        ResetRebuildState();
        SetNvramRebuildPendingFlag(FALSE);
    }
    SetRetripeFlag(TRUE);
}

// ---------------------------------------------------------------------------
// Dump
// ---------------------------------------------------------------------------

void DumpChildCommand(KERNEL_ENTRY* psChild, uint8_t bDrive, uint8_t fShowState) {
    ConsolePrintf("SCSI CMD dump for drive no: %02x \n", bDrive);
    ConsolePrintf("Kernel cmd entry at: %04x\n", psChild->wIndex);
    ConsolePrintf("Entry type : %02x ", psChild->bEntryType);
    ConsolePrintf("Count: %02x ", psChild->bCount);
    ConsolePrintf("Status: %02x ", psChild->bStatus);
    ConsolePrintf("Mark: %02x ", psChild->bMark);
    ConsolePrintf(" Handle : %08x \n", psChild->dHandle);
    ConsolePrintf("Id: %02x ", psChild->wTargetId);
    ConsolePrintf("Cntrl Flags  : %04x ", psChild->wControlFlags);
    ConsolePrintf("Tot byte cnt : %08x  ", psChild->dTotalByteCount);
    ConsolePrintf("Segm Count   : %04x \n", psChild->wSegmentCount);
    const uint8_t* pb = psChild->abCdb;
    ConsolePrintf(" SCSI CDB : %02x %02x ", pb[0], pb[1]);
    ConsolePrintf("    %02x %02x ", pb[2], pb[3]);
    ConsolePrintf("%02x %02x ", pb[4], pb[5]);
    ConsolePrintf("   %02x   %02x ", pb[6], pb[7]);
    ConsolePrintf("%02x    %02x\n ", pb[8], pb[9]);
    ConsolePrintf("Data segment descriptors: \n");
    static const char* const apszSegment[3] = {"  Segm 0 Buf  Addr : %08x   ", "  Segm 1 Buf  Addr : %08x   ",
                                               "  Segm 2 Buf  Addr : %08x   "};
    for (uint32_t i = 0; i < CHILD_HEAD_SEGMENTS; ++i) {
        ConsolePrintf(apszSegment[i], psChild->asSegment[i].dAddress);
        ConsolePrintf("  Byte count: %08x \n", psChild->asSegment[i].dByteCount);
    }
    if (fShowState == TRUE) {
        ConsolePrintf(psChild->fUsed == TRUE ? "Used = T" : "Used = F");
        ConsolePrintf(psChild->fValid == TRUE ? "Valid = T" : "Valid = F");
        ConsolePrintf("Tot child cnt: %02x \n", psChild->wTotalChildren);
        ConsolePrintf("PS: %02x  ", psChild->bPrimaryState);
        ConsolePrintf("SS: %02x  ", psChild->bSecondaryState);
        ConsolePrintf("CT: %02x  ", psChild->bCommandType);
        ConsolePrintf("Port no: %02x ", psChild->bPortCode);
        ConsolePrintf("CC:%04x \n", psChild->wChildrenOutstanding);
        ConsolePrintf("Mother cmd pointer: %04x\n", psChild->psMother != nullptr ? psChild->psMother->wIndex : 0xFFFF);
    }
    ConsolePrintf("Continuation entry at: %08x   size = %02x \n",
                  dAddressWord(psChild + 1),
                  static_cast<uint32_t>(sizeof(KERNEL_ENTRY)));
    for (uint8_t c = 1; c < psChild->bCount; ++c) {
        KERNEL_ENTRY* psCont = psChild + c;
        ConsolePrintf("Continuation %02x: \n", c);
        ConsolePrintf("Entry type   : %02x  ", psCont->bEntryType);
        ConsolePrintf("Entry Count  : %02x  ", psCont->bCount);
        ConsolePrintf("Entry Status : %02x \n", psCont->bStatus);
        const KERNEL_SEGMENT* psSeg = reinterpret_cast<const KERNEL_SEGMENT*>(reinterpret_cast<uint8_t*>(psCont) + 8);
        for (uint32_t s = 0; s < CHILD_CONTINUATION_SEGMENTS; ++s) {
            ConsolePrintf("  Segm %1x Buf  Addr : %08x   ", s, psSeg[s].dAddress);
            ConsolePrintf("  Byte count: %08x \n", psSeg[s].dByteCount);
        }
    }
}

}  // namespace fw
