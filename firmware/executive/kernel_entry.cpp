// The internal KERNEL_ENTRY pool: allocation of runs from a rotor, free,
// finders, the port-wide abort and requeue, the RAID wait list and the dumps.
#include "executive/kernel_entry.h"

#include <cstring>

#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/upcalls.h"
#include "hw/addresses.h"
#include "hw/scsi.h"

namespace fw {

namespace {

alignas(8) KERNEL_ENTRY s_asKernelEntries[KERNEL_ENTRY_COUNT];
uint16_t s_wUsedEntries = 0;
uint16_t s_wRotor = 0;
uint16_t s_wFindRotor = 0;
uint8_t s_fExhausted = FALSE;
LIST s_sWaitList;

constexpr uint8_t MARK_INIT_RANK = 0x88;
constexpr uint8_t MARK_INIT_MEMBER = 'w';
constexpr uint16_t MARK_INIT_CHILDREN = 0x79;
constexpr uint8_t MARK_FREE_RANK = 0xBB;
constexpr uint16_t MARK_FREE_CHILDREN = 0x69;
constexpr uint8_t PS_MOTHER_EXEMPT_UNLESS = 0xAA;

// An armed timer on a freed entry would fire on its next user.  The timer
// cannot be cancelled, so the sanitized test build stops right there.
void CheckNoArmedTimer(const KERNEL_ENTRY* psEntry) {
#if defined(__SANITIZE_ADDRESS__)
    if (fIsTimerArmed(&psEntry->sTimer) == TRUE) {
        ConsolePrintf("KERNEL_ENTRY %03x freed with its timer armed\n", psEntry->wIndex);
        __builtin_trap();
    }
#else
    (void)psEntry;
#endif
}

// Index of an address that is exactly the start of a pool entry, else the
// pool size.
uint16_t IndexOfEntry(const KERNEL_ENTRY* psEntry) {
    if (fIsKernelEntryAddress(psEntry) != TRUE) return KERNEL_ENTRY_COUNT;
    const uint32_t dOffset = static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(psEntry) -
                                                   reinterpret_cast<const uint8_t*>(s_asKernelEntries));
    if (dOffset % sizeof(KERNEL_ENTRY) != 0) return KERNEL_ENTRY_COUNT;
    return static_cast<uint16_t>(dOffset / sizeof(KERNEL_ENTRY));
}

void ClearMotherAndStack(KERNEL_ENTRY* psEntry) {
    psEntry->psMother = nullptr;
    psEntry->psLink = nullptr;
    psEntry->pCallbackTop = nullptr;
}

void ReleaseEntry(KERNEL_ENTRY* psEntry) {
    CheckNoArmedTimer(psEntry);
    psEntry->lFlags = 0;
    psEntry->fValid = FALSE;
    psEntry->fUsed = FALSE;
    psEntry->bPrimaryState = PS_IDLE;
    psEntry->bSecondaryState = 0;
    psEntry->bCommandType = 0;
    psEntry->wLunIndex = NO_LUN_INDEX;
    ClearMotherAndStack(psEntry);
    psEntry->bRank = MARK_FREE_RANK;
    psEntry->wChildrenOutstanding = MARK_FREE_CHILDREN;
    psEntry->wRunLength = 0;
    std::memset(psEntry->abPartnerSlot, 0xFF, sizeof(psEntry->abPartnerSlot));
    std::memset(psEntry->abSequentialWrite, 0, sizeof(psEntry->abSequentialWrite));
    psEntry->adSnapshot[0] = 0;
    psEntry->adSnapshot[1] = 0;
    psEntry->wPageCount = 0;
    psEntry->wBlocksDone = 0;
}

// A run of N free entries from the rotor, as the allocator scans: a run
// restarts at each entry in use and at the end of the pool, so none wraps.
// Returns the first entry of the run and leaves the rotor behind it; the
// step count bounds the whole search to one pass over the pool.
bool ScanForRun(uint16_t* pwRotor, uint16_t wCount, uint32_t* pdSteps, uint16_t* pwFirst) {
    uint16_t wRun = 0;
    uint16_t wFirst = 0;
    uint16_t wRotor = *pwRotor;
    bool fFound = false;
    while (!fFound && *pdSteps < KERNEL_ENTRY_COUNT) {
        if (s_asKernelEntries[wRotor].fUsed == TRUE) {
            wRun = 0;
        } else {
            if (wRun == 0) wFirst = wRotor;
            fFound = ++wRun == wCount;
        }
        (*pdSteps)++;
        if (++wRotor == KERNEL_ENTRY_COUNT) {
            wRotor = 0;
            wRun = 0;
        }
    }
    *pwRotor = wRotor;
    *pwFirst = wFirst;
    return fFound;
}

bool MatchesPortAndTarget(const KERNEL_ENTRY* psEntry, uint8_t bPortCode, uint8_t bTarget) {
    return psEntry->fUsed == TRUE && psEntry->bPortCode == bPortCode &&
           (bTarget == NO_TARGET || psEntry->wTargetId == bTarget);
}

bool IsAtChip(uint8_t bState) { return bState == PS_AT_CHIP || bState == PS_AT_CHIP_ALTERNATE; }

bool IsMotherExemptFromAbort(const KERNEL_ENTRY* psMother) {
    const uint8_t bType = psMother->bCommandType;
    if ((bType == 0xEF || bType == 0x17 || bType == 0xF0) && psMother->bPrimaryState != PS_MOTHER_EXEMPT_UNLESS) {
        return true;
    }
    if (bType == 0xD6 || bType == 0xD8) return true;
    return (bType == 0xD5 || bType == 0xD7) && (psMother->lFlags & KE_FLAG_BIT56) != 0;
}

void MarkMothersAborted(KERNEL_ENTRY* psEntry) {
    KERNEL_ENTRY* psMother = psEntry->psMother;
    if (psMother == nullptr || psMother == psEntry) return;
    if (fIsHostCommandEntry(psMother) == TRUE) {
        psMother->lFlags |= KE_FLAG_CHILD_FAILED;
        return;
    }
    if (fIsKernelEntryAddress(psMother) != TRUE) return;  // a partner message slot
    if (!IsMotherExemptFromAbort(psMother)) psMother->lFlags |= KE_FLAG_ABORTED;
    KERNEL_ENTRY* psGrandMother = psMother->psMother;
    if (psGrandMother != nullptr && fIsHostCommandEntry(psGrandMother) == TRUE) {
        psGrandMother->lFlags |= KE_FLAG_CHILD_FAILED;
    }
}

uint8_t FindFirstInState(uint8_t bState, KERNEL_ENTRY** ppsEntry) {
    for (KERNEL_ENTRY& sEntry : s_asKernelEntries) {
        if (sEntry.fUsed == TRUE && sEntry.bPrimaryState == bState) {
            *ppsEntry = &sEntry;
            return STATUS_FOUND;
        }
    }
    return STATUS_NOT_FOUND;
}

const uint8_t* pEntryCdb(const KERNEL_ENTRY* psEntry) {
    if (psEntry->bPortCode == PORT_CODE_INTERNAL || psEntry->bPortCode == PORT_CODE_MODULE) {
        return reinterpret_cast<const uint8_t*>(psEntry) + KERNEL_ENTRY_INTERNAL_CDB_OFFSET;
    }
    return psEntry->abCdb;
}

KERNEL_ENTRY* EntryOfWaitLink(LIST_NODE* psNode) {
    return reinterpret_cast<KERNEL_ENTRY*>(reinterpret_cast<uint8_t*>(psNode) -
                                           offsetof(KERNEL_ENTRY, sWaitLink));
}

}  // namespace

KernelPoolLock::KernelPoolLock() : m_bResult(LockInterruptSource(INT_SOURCE_DRIVE_SIDE)) {}

void KernelPoolLock::Release() {
    if (m_bResult == STATUS_OK) UnlockInterruptSource(INT_SOURCE_DRIVE_SIDE);
    m_bResult = STATUS_LOCK_HELD;
}

void InitKernelEntryPool() {
    for (uint16_t w = 0; w < KERNEL_ENTRY_COUNT; w++) {
        KERNEL_ENTRY* psEntry = &s_asKernelEntries[w];
        std::memset(psEntry, 0, sizeof(*psEntry));
        InitListNode(&psEntry->sWaitLink);
        psEntry->wIndex = w;
        psEntry->fUsed = FALSE;
        psEntry->fValid = FALSE;
        psEntry->wLunIndex = NO_LUN_INDEX;
        psEntry->lInternalAddress = ~0ull;
        std::memset(psEntry->abPartnerSlot, 0xFF, sizeof(psEntry->abPartnerSlot));
        psEntry->bRank = MARK_INIT_RANK;
        psEntry->bMember = MARK_INIT_MEMBER;
        psEntry->wChildrenOutstanding = MARK_INIT_CHILDREN;
        psEntry->wTotalChildren = MARK_INIT_CHILDREN;
    }
    s_wUsedEntries = 0;
    s_wRotor = 0;
    s_wFindRotor = 0;
    s_fExhausted = FALSE;
    InitKernelQueue();
    InitList(&s_sWaitList);
}

uint8_t bAllocKernelEntries(uint8_t /*bIgnored*/, uint16_t wCount, KERNEL_ENTRY** ppsEntry) {
    if (wCount == 0 || wCount > KERNEL_ENTRY_COUNT) return STATUS_RETRY;
    KernelPoolLock sLock;
    if (s_wUsedEntries == KERNEL_ENTRY_COUNT) {
        s_fExhausted = TRUE;
        return STATUS_RETRY;
    }
    uint32_t dSteps = 0;
    uint16_t wFirst;
    if (!ScanForRun(&s_wRotor, wCount, &dSteps, &wFirst)) return STATUS_RETRY;
    for (uint16_t w = wFirst; w < wFirst + wCount; w++) {
        s_asKernelEntries[w].fUsed = TRUE;
        s_asKernelEntries[w].wRunLength = 0;
    }
    // The run length is kept apart from the chip's block count, which the
    // builder overwrites, so that free returns exactly what was taken.
    s_asKernelEntries[wFirst].wRunLength = wCount;
    s_wUsedEntries += wCount;
    *ppsEntry = &s_asKernelEntries[wFirst];
    return STATUS_OK;
}

void FreeKernelEntries(KERNEL_ENTRY* psEntry) {
    const uint16_t wFirst = IndexOfEntry(psEntry);
    if (wFirst == KERNEL_ENTRY_COUNT) return;
    KernelPoolLock sLock;
    // A second free of a command must not release whoever took the entries
    // after it.
    if (psEntry->fUsed != TRUE) return;
    uint32_t dCount = psEntry->wRunLength != 0 ? psEntry->wRunLength : psEntry->bCount;
    if (dCount > static_cast<uint32_t>(KERNEL_ENTRY_COUNT - wFirst)) dCount = KERNEL_ENTRY_COUNT - wFirst;
    for (uint32_t d = wFirst; d < wFirst + dCount; d++) {
        KERNEL_ENTRY* ps = &s_asKernelEntries[d];
        if (ps->fUsed != TRUE) continue;
        ReleaseEntry(ps);
        if (s_wUsedEntries != 0) s_wUsedEntries--;
    }
    if (s_fExhausted != TRUE) return;
    s_fExhausted = FALSE;
    sLock.Release();
    // Commands may have been refused while the pool was full.
    KernelPoolNoLongerExhausted();
}

uint8_t bCheckKernelEntryRuns(uint16_t wRuns, uint16_t wCount) {
    if (wCount == 0) return STATUS_OK;
    if (static_cast<uint32_t>(KERNEL_ENTRY_COUNT - s_wUsedEntries) < static_cast<uint32_t>(wRuns) * wCount) {
        return STATUS_RETRY;
    }
    uint16_t wRotor = s_wRotor;
    uint32_t dSteps = 0;
    for (uint16_t wFound = 0; wFound < wRuns; wFound++) {
        uint16_t wFirst;
        if (!ScanForRun(&wRotor, wCount, &dSteps, &wFirst)) return STATUS_RETRY;
    }
    return STATUS_OK;
}

uint16_t GetKernelEntryAddress(uint32_t dIndex, KERNEL_ENTRY** ppsEntry) {
    // An index outside the pool, the rings' empty mark among them, names no
    // entry at all rather than one of another index.
    *ppsEntry = dIndex < KERNEL_ENTRY_COUNT ? &s_asKernelEntries[dIndex] : nullptr;
    return static_cast<uint16_t>(dIndex);
}

KERNEL_ENTRY* GetNextKernelEntryAddress(const KERNEL_ENTRY* psEntry, KERNEL_ENTRY** ppsNext) {
    const uint16_t wIndex = IndexOfEntry(psEntry);
    *ppsNext = wIndex >= KERNEL_ENTRY_COUNT - 1 ? &s_asKernelEntries[0] : &s_asKernelEntries[wIndex + 1];
    return *ppsNext;
}

void GetPrevKernelEntryAddress(const KERNEL_ENTRY* psEntry, KERNEL_ENTRY** ppsPrev) {
    const uint16_t wIndex = IndexOfEntry(psEntry);
    *ppsPrev = (wIndex == 0 || wIndex == KERNEL_ENTRY_COUNT) ? &s_asKernelEntries[KERNEL_ENTRY_COUNT - 1]
                                                             : &s_asKernelEntries[wIndex - 1];
}

KERNEL_ENTRY* psKernelEntryOfHandle(uint32_t dHandle) {
    auto* ps = pAddressWordToPointer<KERNEL_ENTRY>(dHandle);
    return IndexOfEntry(ps) < KERNEL_ENTRY_COUNT ? ps : nullptr;
}

uint8_t fIsKernelEntryAddress(const void* pAddress) {
    const uint8_t* pb = static_cast<const uint8_t*>(pAddress);
    const uint8_t* pbFirst = reinterpret_cast<const uint8_t*>(&s_asKernelEntries[0]);
    return ToFlag(pb >= pbFirst && pb < pbFirst + sizeof(s_asKernelEntries));
}

void CopyHalfwords32(const void* pSource, void* pDestination) { std::memcpy(pDestination, pSource, 64); }

void PrepareKernelEntry(uint8_t bPortCode, const void* pCommandBlock, KERNEL_ENTRY* psEntry,
                        uint8_t bPrimaryState, uint8_t fLockHeld) {
    const uint8_t bLock = fLockHeld == FALSE ? LockInterruptSource(INT_SOURCE_DRIVE_SIDE) : STATUS_LOCK_HELD;
    CopyHalfwords32(pCommandBlock, psEntry);
    psEntry->bPrimaryState = bPrimaryState;
    psEntry->bPortCode = bPortCode;
    psEntry->bSecondaryState = 0;
    psEntry->bRetryCount = 0;
    psEntry->wBlocks = 0;
    psEntry->lInternalAddress = ~0ull;
    // Stamps of an earlier trip to a chip.
    psEntry->dStartTick = 0;
    psEntry->lArrivalMs = 0;
    if (bLock == STATUS_OK) UnlockInterruptSource(INT_SOURCE_DRIVE_SIDE);
}

uint8_t fDecrementRetryCount(KERNEL_ENTRY* psEntry) {
    if (psEntry->bRetryCount == 0) return TRUE;
    return ToFlag(--psEntry->bRetryCount == 0);
}

uint8_t bFindPortEntryInState(uint8_t bPortCode, uint8_t bPrimaryState, KERNEL_ENTRY** ppsEntry) {
    uint16_t wIndex = s_wFindRotor;
    for (uint16_t wStep = 0; wStep < KERNEL_ENTRY_COUNT; wStep++) {
        KERNEL_ENTRY* psEntry = &s_asKernelEntries[wIndex];
        if (psEntry->fUsed == TRUE && psEntry->bPortCode == bPortCode && psEntry->bPrimaryState == bPrimaryState) {
            if (psEntry->bCommandType != COMMAND_TYPE_ROTOR_HOLD) {
                s_wFindRotor = static_cast<uint16_t>((wIndex + 1) % KERNEL_ENTRY_COUNT);
            }
            *ppsEntry = psEntry;
            return STATUS_FOUND;
        }
        wIndex = static_cast<uint16_t>((wIndex + 1) % KERNEL_ENTRY_COUNT);
    }
    return STATUS_NOT_FOUND;
}

uint8_t bFindEntryInState5B(KERNEL_ENTRY** ppsEntry) { return FindFirstInState(PS_PARKED_5B, ppsEntry); }

uint8_t bFindEntryInState5F(KERNEL_ENTRY** ppsEntry) { return FindFirstInState(PS_PARKED_5F, ppsEntry); }

void AbortPortEntries(uint8_t bPortCode, uint8_t bTarget) {
    KernelPoolLock sLock;
    for (KERNEL_ENTRY& sEntry : s_asKernelEntries) {
        if (!MatchesPortAndTarget(&sEntry, bPortCode, bTarget)) continue;
        sEntry.lFlags |= KE_FLAG_ABORTED;
        if (IsAtChip(sEntry.bPrimaryState)) {
            QueueKernelEntryComplete(PORT_CODE_INITIATOR, sEntry.wIndex);
            KernelEntryTakenBackFromChip(&sEntry, bPortCode);
            sEntry.bPrimaryState = PS_COMPLETED;
        }
        MarkMothersAborted(&sEntry);
    }
}

void RequeuePortEntries(uint8_t bPortCode, uint8_t bTarget, uint8_t bNewTarget) {
    KernelPoolLock sLock;
    for (KERNEL_ENTRY& sEntry : s_asKernelEntries) {
        if (!MatchesPortAndTarget(&sEntry, bPortCode, bTarget) || (sEntry.lFlags & KE_FLAG_RETARGETED) != 0) {
            continue;
        }
        if (IsAtChip(sEntry.bPrimaryState)) {
            QueueKernelEntry(PORT_CODE_INITIATOR, sEntry.wIndex);
            DecrementTotalCommands(PORT_CODE_INITIATOR);  // it was counted when first issued
            KernelEntryTakenBackFromChip(&sEntry, bPortCode);
            sEntry.bPrimaryState = PS_NEW_COMMAND;
        }
        if (bNewTarget != NO_TARGET && pEntryCdb(&sEntry)[0] != SCSI_SYNCHRONIZE_CACHE10) {
            sEntry.lFlags |= KE_FLAG_RETARGETED;
            sEntry.wTargetId = bNewTarget;
        }
    }
}

void ClearPortRetargetFlags(uint8_t bPortCode) {
    KernelPoolLock sLock;
    for (KERNEL_ENTRY& sEntry : s_asKernelEntries) {
        if (sEntry.fUsed == TRUE && sEntry.bPortCode == bPortCode) sEntry.lFlags &= ~KE_FLAG_RETARGETED;
    }
}

void QueueWaitListEntry(KERNEL_ENTRY* psEntry) {
    if (dWaitListOrdering() != 0) {
        ListPushBack(&s_sWaitList, &psEntry->sWaitLink);
    } else {
        ListPushFront(&s_sWaitList, &psEntry->sWaitLink);
    }
}

KERNEL_ENTRY* pDequeueWaitListEntry() {
    LIST_NODE* psNode = ListPopFront(&s_sWaitList);
    return psNode == nullptr ? nullptr : EntryOfWaitLink(psNode);
}

uint16_t wGetWaitListCount() { return static_cast<uint16_t>(dGetListCount(&s_sWaitList)); }

uint16_t wGetKernelEntriesUsed() { return s_wUsedEntries; }
uint16_t wGetKernelEntryRotor() { return s_wRotor; }
uint8_t fIsKernelPoolExhausted() { return s_fExhausted; }

void PrintKernelEntry(uint16_t wIndex) {
    KERNEL_ENTRY* psEntry;
    GetKernelEntryAddress(wIndex, &psEntry);
    if (psEntry == nullptr) return;
    ConsolePrintf("%3x %s", wIndex, psEntry->fUsed == TRUE ? "T" : "F");
    if (psEntry->bEntryType == ENTRY_TYPE_CONTINUATION) {
        ConsolePrintf(" Continuation\n");
        return;
    }
    const uint8_t* pbCdb = pEntryCdb(psEntry);
    ConsolePrintf("%08x%08x ", static_cast<uint32_t>(psEntry->lFlags >> 32), static_cast<uint32_t>(psEntry->lFlags));
    ConsolePrintf("S%02x C%02x:%02x P%02x:%02x:%02x:%02x", psEntry->wTargetId, psEntry->wChildrenOutstanding,
                  psEntry->wTotalChildren, psEntry->bPrimaryState, psEntry->bSecondaryState,
                  psEntry->bCommandType, psEntry->wSegmentCount);
    ConsolePrintf(" %02x %02x%02x%02x%02x %02x%02x ", pbCdb[0], pbCdb[2], pbCdb[3], pbCdb[4], pbCdb[5], pbCdb[7],
                  pbCdb[8]);
    ConsolePrintf("D%02x:%02x ", psEntry->bRank, psEntry->bMember);
    const KERNEL_ENTRY* psMother = psEntry->psMother;
    if (psMother != nullptr) {
        if (fIsHostCommandEntry(psMother) == TRUE) {
            ConsolePrintf("TM%03x", psMother->wIndex);
        } else if (fIsKernelEntryAddress(psMother) == TRUE) {
            ConsolePrintf("IM%03x", psMother->wIndex);
        } else if (psEntry->bCommandType == COMMAND_TYPE_PARTNER_MESSAGE) {
            ConsolePrintf("PM%03x", psEntry->abPartnerSlot[0]);
        } else {
            ConsolePrintf("?M   ");
        }
    }
    ConsolePrintf(" S%06x", psEntry->dSerial & 0xFFFFFF);
    if (psEntry->bPrimaryState == PS_AT_CHIP) {
        const uint32_t dAge = static_cast<uint32_t>(lGetTickCount()) - static_cast<uint32_t>(psEntry->lArrivalMs);
        ConsolePrintf(" %02d.%03d", static_cast<int>(dAge / 1000), static_cast<int>(dAge % 1000));
    }
    ConsolePrintf("\n");
}

void DumpInitiatorKernelQueue() {
    ConsolePrintf("\nUsed Entries:.......%04x\n", s_wUsedEntries);
    ConsolePrintf("Next Ini Entry Loc:.%04x\n", s_wRotor);
    ConsolePrintf("New Commands:.......%04x\n", wGetNewCommandCount(PORT_CODE_INITIATOR));
    ConsolePrintf("Total Commands:.....%04x\n", wGetTotalCommands(PORT_CODE_INITIATOR));
    ConsolePrintf("Command Complete....%04x\n", wGetCommandCompleteCount(PORT_CODE_INITIATOR));
    ConsolePrintf("\nInitiator kernel queue:\n");
    for (uint16_t w = 0; w < KERNEL_ENTRY_COUNT; w++) {
        if (s_asKernelEntries[w].fUsed == TRUE) PrintKernelEntry(w);
    }
    DumpKernelQueueNeighbours();
    ConsolePrintf("\n\n");
}

}  // namespace fw
