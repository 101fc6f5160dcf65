// The host command pool: allocation of runs from a rotor, release, the copy
// of a new command, the per-port scans of the pool and the task-management
// abort marks.
#include "target/host_command_pool.h"

#include <cstring>

#include "cache/cache_entry.h"
#include "cache/outstanding_queues.h"
#include "cache/read_path.h"
#include "cache/write_sort.h"
#include "cache/write_stages.h"
#include "dataservices/data_services.h"
#include "eventlog/statistics.h"
#include "executive/interrupt_controller.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/intermediate_target_queue.h"
#include "target/lun_scheduler.h"
#include "target/stage_rings.h"
#include "target/target_commands.h"
#include "target/target_engine.h"
#include "target/target_queue_management.h"
#include "target/task_management.h"

namespace fw {

namespace {

alignas(8) KERNEL_ENTRY s_asTargetEntries[HOST_ENTRY_COUNT];
uint16_t s_wTargetEntriesUsed = 0;
uint8_t s_fTargetPoolFull = FALSE;
uint16_t s_wNextTargetEntry = 0;

constexpr uint8_t FREE_RANK = 0xBB;
constexpr uint8_t HOST_CHIP_1 = 1;
constexpr uint8_t HOST_CHIP_2 = 2;

// Scan positions: one per port group and state, the internal codes sharing
// one group.
constexpr uint8_t SCAN_STATES = 7;
constexpr uint8_t SCAN_STATE_OTHER = 6;
uint16_t s_awScanPosition[HOST_PORT_SLOTS][SCAN_STATES];

uint8_t bScanState(uint8_t bState) {
    switch (bState) {
    case HOST_STATE_NEW_COMMAND: return 0;
    case HOST_STATE_DATA_AVAILABLE: return 1;
    case HOST_STATE_WRITE_READY: return 2;
    case HOST_STATE_COMPLETE: return 3;
    case HOST_STATE_WRITE_COMPLETE: return 4;
    case HOST_STATE_READ_AHEAD_WAIT: return 5;
    default: return SCAN_STATE_OTHER;
    }
}

uint16_t* pwScanPosition(uint8_t bPortCode, uint8_t bState) {
    const uint8_t bGroup = bHostPortSlot(bPortCode);
    return bGroup == NO_HOST_PORT_SLOT ? nullptr : &s_awScanPosition[bGroup][bScanState(bState)];
}

void RewindScan(uint8_t bPortCode, uint8_t bState) {
    uint16_t* pw = pwScanPosition(bPortCode, bState);
    if (pw != nullptr) *pw = *pw == 0 ? HOST_ENTRY_COUNT : static_cast<uint16_t>(*pw - 1);
}

bool PortMatches(const KERNEL_ENTRY& sEntry, uint8_t bPortCode) {
    if (bHostPortSlot(bPortCode) == HOST_PORT_SLOT_INTERNAL) {
        return sEntry.bPortCode == PORT_CODE_INTERNAL || sEntry.bPortCode == PORT_CODE_MODULE;
    }
    return sEntry.bPortCode == bPortCode;
}

void SetFreeValues(KERNEL_ENTRY* psEntry) {
    psEntry->lFlags = 0;
    psEntry->bPrimaryState = HOST_STATE_FREE;
    psEntry->bSecondaryState = 0;
    psEntry->bCommandType = 0;
    psEntry->fUsed = FALSE;
    psEntry->fValid = FALSE;
    psEntry->bRank = FREE_RANK;
    psEntry->bSecondRank = 0xFF;
    psEntry->wLunIndex = NO_LUN_INDEX;
    // The decoded block count and address stay: a read that follows one
    // already answered finds it in the LUN's history by them, which is how
    // a host reading one command at a time is seen to read sequentially.
    psEntry->wChildrenOutstanding = 0;
    psEntry->wTotalChildren = 0;
    psEntry->psMother = nullptr;
    psEntry->psLink = nullptr;
    psEntry->dBufferHandle = NULL_BUFFER_HANDLE;
    psEntry->wPageCount = 0;
    psEntry->wBlocks = 0;
    psEntry->wBlocksDone = 0;
    psEntry->alSequence[0] = 0;
    psEntry->alSequence[1] = 0;
    psEntry->alSequence[LUN_SEQUENCE_INDEX] = NO_LUN_SEQUENCE;
    psEntry->lArrivalMs = 0;
    std::memset(psEntry->abPartnerSlot, 0xFF, sizeof(psEntry->abPartnerSlot));
    psEntry->adSnapshot[0] = 0;
    psEntry->adSnapshot[1] = 0;
    psEntry->pCallbackTop = nullptr;
    psEntry->wRunLength = 0;
    HOST_COMMAND_FIELDS* psFields = pHostFields(psEntry);
    std::memset(psFields, 0, sizeof(*psFields));
    psFields->wInitiatorHandle = NO_INITIATOR_HANDLE;
    psFields->wPriorityBucket = NO_PRIORITY_BUCKET;
    psFields->wNextInChain = NO_CHAIN_LINK;
    psFields->wDataServiceTag = NO_DATA_SERVICE_TAG;
    ResetCacheEntryFields(psEntry);
}

// The identifier the aborts of a port match a command by: the initiator
// handle of an ISP24xx command that has not been converted yet, else the
// initiator of its command block.
uint16_t wAbortInitiator(const KERNEL_ENTRY& sEntry) {
    const bool fFibre = sEntry.bPortCode == PORT_CODE_FC_HOST_1 || sEntry.bPortCode == PORT_CODE_FC_HOST_2;
    if (fFibre && fIsQL24xx() == TRUE && sEntry.fValid != TRUE) return pHostFields(&sEntry)->wInitiatorHandle;
    return wGetCommandInitiator(&sEntry);
}

uint16_t wAbortLun(const KERNEL_ENTRY& sEntry) {
    const bool fFibre = sEntry.bPortCode == PORT_CODE_FC_HOST_1 || sEntry.bPortCode == PORT_CODE_FC_HOST_2;
    if (fFibre && fIsQL24xx() == TRUE && sEntry.fValid != TRUE) {
        return wGetBe16(pGetAtioCopy(&sEntry) + offsetof(ATIO7_ENTRY, abFcpLun));
    }
    return wGetCommandLun(&sEntry);
}

// Requests of the task management path itself are not tasks: an abort
// notify's own head reads, at the command's RX_ID, its LUN.
bool IsTask(const KERNEL_ENTRY& sEntry) {
    const uint8_t bState = sEntry.bPrimaryState;
    return bState != HOST_STATE_IMMEDIATE_NOTIFY && bState != HOST_STATE_ABORT_REQUEST &&
           bState != HOST_STATE_TASK_MANAGEMENT;
}

bool MarkAborted(KERNEL_ENTRY* psEntry) {
    if (HasFlag(psEntry, KE_FLAG_ABORTED | KE_FLAG_STATUS_SENT)) return false;
    SetFlag(psEntry, KE_FLAG_ABORTED);
    return true;
}

}  // namespace

HostPoolLock::HostPoolLock() : m_bResult(LockInterruptSource(INT_SOURCE_HOST_CHIPS)) {}

HostPoolLock::HostPoolLock(uint8_t fLockHeld)
    : m_bResult(fLockHeld == TRUE ? STATUS_LOCK_HELD : LockInterruptSource(INT_SOURCE_HOST_CHIPS)) {}

void HostPoolLock::Release() {
    if (m_bResult == STATUS_OK) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
    m_bResult = STATUS_LOCK_HELD;
}

void InitHostCommandPool() {
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) {
        KERNEL_ENTRY* psEntry = &s_asTargetEntries[w];
        std::memset(psEntry, 0, sizeof(*psEntry));
        InitListNode(&psEntry->sWaitLink);
        psEntry->wIndex = w;
        SetFreeValues(psEntry);
    }
    s_wTargetEntriesUsed = 0;
    s_fTargetPoolFull = FALSE;
    s_wNextTargetEntry = 0;
    std::memset(s_awScanPosition, 0, sizeof(s_awScanPosition));
    InitStageRings();
    ResetTaskManagement();
    InitLrsList();
    InitPortCommandHistory();
    InitPriorityCounters();
    InitOutstandingWriteQueues();
    InitOutstandingReadQueues();
}

uint8_t bAllocTargetEntries(uint8_t /*bPortCode*/, uint16_t wCount, KERNEL_ENTRY** ppsEntry, uint16_t* pwIndex,
                            uint8_t fLockHeld) {
    if (wCount == 0 || wCount > MAX_HOST_ENTRY_RUN) return STATUS_RETRY;
    HostPoolLock sLock(fLockHeld);
    if (s_wTargetEntriesUsed == HOST_ENTRY_COUNT) {
        s_fTargetPoolFull = TRUE;
        return STATUS_RETRY;
    }
    uint16_t wRun = 0;
    uint16_t wFirst = 0;
    for (uint16_t wStep = 0; wStep < HOST_ENTRY_COUNT; wStep++) {
        const uint16_t wAt = s_wNextTargetEntry;
        if (s_asTargetEntries[wAt].fUsed == TRUE) {
            wRun = 0;
        } else if (wRun++ == 0) {
            wFirst = wAt;
        }
        // A run never spans the end of the pool.
        if (++s_wNextTargetEntry == HOST_ENTRY_COUNT) {
            s_wNextTargetEntry = 0;
            if (wRun != wCount) wRun = 0;
        }
        if (wRun == wCount) {
            for (uint16_t w = wFirst; w < wFirst + wCount; w++) s_asTargetEntries[w].fUsed = TRUE;
            s_wTargetEntriesUsed = static_cast<uint16_t>(s_wTargetEntriesUsed + wCount);
            *ppsEntry = &s_asTargetEntries[wFirst];
            *pwIndex = wFirst;
            return STATUS_OK;
        }
    }
    return STATUS_RETRY;
}

void FreeTargetEntry(KERNEL_ENTRY* psEntry) {
    if (wTargetEntryIndex(psEntry) == NO_LUN_INDEX) return;
    if (psEntry->adSnapshot[0] != 0 || psEntry->adSnapshot[1] != 0) (void)bPreparePmapPagesForCmd(psEntry);
    // A read answered from a write's buffer, on whatever path it ends.
    if (psEntry->fUsed == TRUE && psCacheFields(psEntry)->wServingWrite != NO_ENTRY_LINK) ReleaseServingWrite(psEntry);
    // A VERIFY's data for its compare, on whatever path it ends.
    if (psEntry->fUsed == TRUE) ReleaseVerifyBuffer(psEntry);
    HostPoolLock sLock;
    // A second free of a command must not release whoever took it after.
    if (psEntry->fUsed != TRUE) return;
    if (HasFlag(psEntry, KE_FLAG_RANK_COUNTED)) {
        const uint8_t bOpcode = pGetCommandCdb(psEntry) != nullptr ? pGetCommandCdb(psEntry)[0] : 0;
        if (bOpcode == SCSI_WRITE16) DecRankWritesInProgress(psEntry->bRank);
        if (bOpcode == SCSI_READ16) DecRankReadsInProgress(psEntry->bRank);
    }
    if (HasFlag(psEntry, KE_FLAG_TQM_COUNTED)) TqmCommandDone(psEntry);
    // Its requests must not reach the chip once the entry is another's.
    if (HasFlag(psEntry, KE_FLAG_TARGET_QUEUE_PARKED)) UnparkCommand(psEntry);
    // A command freed on a path that did not take it out of its LUN's
    // outstanding queue must not stay there to order whoever takes the entry.
    if (HasFlag(psEntry, KE_FLAG_IN_WRITE_QUEUE)) RemoveOutstandingWrite(psEntry);
    if (HasFlag(psEntry, KE_FLAG_IN_READ_QUEUE)) RemoveOutstandingRead(psEntry);
    if (psEntry->bPrimaryState == HOST_STATE_WRITE_SORT) ForgetParkedWrite(psEntry);
    if (psEntry->bPrimaryState == HOST_STATE_STRIPE_INIT_WAIT) ForgetStripeInitWaiter(psEntry);
    SetFreeValues(psEntry);
    if (s_wTargetEntriesUsed != 0) s_wTargetEntriesUsed--;
    const uint8_t fWasFull = s_fTargetPoolFull;
    s_fTargetPoolFull = FALSE;
    sLock.Release();
    // Commands may have been refused while the pool was full: ask the host
    // chips for their state again.
    if (fWasFull == TRUE && bGetHostInterfaceType() == 1) {
        uint16_t wState;
        (void)bGetFirmwareState(HOST_CHIP_1, &wState);
        (void)bGetFirmwareState(HOST_CHIP_2, &wState);
    }
}

uint16_t wGetTargetEntry(uint16_t wIndex, KERNEL_ENTRY** ppsEntry) {
    *ppsEntry = wIndex < HOST_ENTRY_COUNT ? &s_asTargetEntries[wIndex] : nullptr;
    return wIndex;
}

void NextTargetEntry(const KERNEL_ENTRY* psEntry, KERNEL_ENTRY** ppsNext) {
    const uint16_t wIndex = wTargetEntryIndex(psEntry);
    *ppsNext = wIndex >= HOST_ENTRY_COUNT - 1 ? &s_asTargetEntries[0] : &s_asTargetEntries[wIndex + 1];
}

uint8_t fIsTargetEntryAddress(const void* pAddress) {
    const uint8_t* pb = static_cast<const uint8_t*>(pAddress);
    const uint8_t* pbFirst = reinterpret_cast<const uint8_t*>(s_asTargetEntries);
    return ToFlag(pb >= pbFirst && pb < pbFirst + sizeof(s_asTargetEntries));
}

uint16_t wTargetEntryIndex(const void* pAddress) {
    if (fIsTargetEntryAddress(pAddress) != TRUE) return 0xFFFF;
    const uint32_t dOffset = static_cast<uint32_t>(static_cast<const uint8_t*>(pAddress) -
                                                   reinterpret_cast<const uint8_t*>(s_asTargetEntries));
    return dOffset % sizeof(KERNEL_ENTRY) == 0 ? static_cast<uint16_t>(dOffset / sizeof(KERNEL_ENTRY)) : 0xFFFF;
}

void CopyNewCommandIocb(uint8_t bPortCode, const void* pCommandBlock, KERNEL_ENTRY* psEntry, uint8_t bPrimaryState,
                        uint8_t fLockHeld) {
    HostPoolLock sLock(fLockHeld);
    const uint32_t dBytes = bPortCode == PORT_CODE_MODULE ? 128 : 64;
    std::memcpy(psEntry, pCommandBlock, dBytes);
    psEntry->bPrimaryState = bPrimaryState;
    psEntry->bPortCode = bPortCode;
}

uint8_t FindPortEntryInState(uint8_t bPortCode, uint8_t bPrimaryState, KERNEL_ENTRY** ppsEntry) {
    uint16_t* pwPosition = pwScanPosition(bPortCode, bPrimaryState);
    if (pwPosition == nullptr) return STATUS_NOT_FOUND;
    for (uint16_t wStep = 0; wStep < HOST_ENTRY_COUNT; wStep++) {
        if (*pwPosition >= HOST_ENTRY_COUNT) *pwPosition = 0;
        KERNEL_ENTRY* psEntry = &s_asTargetEntries[(*pwPosition)++];
        if (psEntry->bPrimaryState == bPrimaryState && psEntry->fUsed == TRUE && PortMatches(*psEntry, bPortCode)) {
            *ppsEntry = psEntry;
            return STATUS_FOUND;
        }
    }
    return STATUS_NOT_FOUND;
}

void RewindNewCommandScan(uint8_t bPortCode) { RewindScan(bPortCode, HOST_STATE_NEW_COMMAND); }
void RewindWriteReadyScan(uint8_t bPortCode) { RewindScan(bPortCode, HOST_STATE_WRITE_READY); }

void SetPortScanPosition(uint8_t bPortCode, uint16_t wPosition) {
    uint16_t* pw = pwScanPosition(bPortCode, HOST_STATE_READ_AHEAD_WAIT);
    if (pw != nullptr) *pw = wPosition;
}

void AdvanceInternalNewCommandScan(uint16_t wIndex) {
    uint16_t& wPosition = s_awScanPosition[HOST_PORT_SLOT_INTERNAL][0];
    wPosition = static_cast<uint16_t>(wIndex + 1);
    if (wPosition >= HOST_ENTRY_COUNT) wPosition = 0;
}

uint16_t wGetWriteReadyScanPosition(uint8_t bPortCode) {
    const uint16_t* pw = pwScanPosition(bPortCode, HOST_STATE_WRITE_READY);
    return pw == nullptr ? 0 : *pw;
}

void MarkInitiatorCommandAborted(uint8_t bPortCode, uint16_t wInitiator) {
    for (KERNEL_ENTRY& sEntry : s_asTargetEntries) {
        if (sEntry.fUsed != TRUE || sEntry.bPortCode != bPortCode || wAbortInitiator(sEntry) != wInitiator) continue;
        (void)MarkAborted(&sEntry);
        return;
    }
}

uint8_t bMarkExchangeAborted(uint8_t bPortCode, uint16_t wLoopId, uint32_t dPortId) {
    if (fIsQL24xx() != TRUE) return 0;
    for (KERNEL_ENTRY& sEntry : s_asTargetEntries) {
        if (sEntry.fUsed != TRUE || sEntry.bPortCode != bPortCode) continue;
        if (wAbortInitiator(sEntry) != wLoopId || dGetCommandSourceId(&sEntry) != dPortId) continue;
        (void)MarkAborted(&sEntry);
        return STATUS_FOUND;
    }
    return STATUS_NOT_FOUND;
}

uint8_t bMarkPortIdAborted(uint8_t bPortCode, uint32_t dPortId) {
    if (fIsQL24xx() != TRUE) return 0;
    bool fMarked = false;
    for (KERNEL_ENTRY& sEntry : s_asTargetEntries) {
        if (sEntry.fUsed != TRUE || sEntry.bPortCode != bPortCode || dGetCommandSourceId(&sEntry) != dPortId) continue;
        if (MarkAborted(&sEntry)) fMarked = true;
    }
    return fMarked ? STATUS_FOUND : STATUS_NOT_FOUND;
}

uint8_t bMarkExchangeTagAborted(uint8_t bPortCode, uint16_t wInitiator, uint16_t wTag) {
    for (KERNEL_ENTRY& sEntry : s_asTargetEntries) {
        if (sEntry.fUsed != TRUE || sEntry.bPortCode != bPortCode || !IsTask(sEntry)) continue;
        if (wAbortInitiator(sEntry) != wInitiator) continue;
        uint16_t wRxId;
        std::memcpy(&wRxId, reinterpret_cast<const uint8_t*>(&sEntry) + offsetof(ATIO2_ENTRY, wRxId), sizeof(wRxId));
        if (wRxId != wTag) continue;
        (void)MarkAborted(&sEntry);
        return STATUS_FOUND;
    }
    return STATUS_NOT_FOUND;
}

uint16_t wMarkTaskSetAborted(uint8_t bPortCode, uint16_t wInitiator, uint32_t dPortId, uint16_t wHostLun) {
    // An ISP24xx command is known by its initiator's port id from arrival
    // on, before its handle has been looked up.
    const bool fByPortId = (bPortCode == PORT_CODE_FC_HOST_1 || bPortCode == PORT_CODE_FC_HOST_2) && fIsQL24xx() == TRUE;
    uint16_t wMarked = 0;
    for (KERNEL_ENTRY& sEntry : s_asTargetEntries) {
        if (sEntry.fUsed != TRUE || sEntry.bPortCode != bPortCode || !IsTask(sEntry)) continue;
        if (wInitiator != 0xFFFF) {
            if (fByPortId ? dGetCommandSourceId(&sEntry) != dPortId : wAbortInitiator(sEntry) != wInitiator) continue;
        }
        if (wHostLun != 0xFFFF && wAbortLun(sEntry) != wHostLun) continue;
        if (MarkAborted(&sEntry)) wMarked++;
    }
    return wMarked;
}

uint16_t wGetTargetEntriesUsed() { return s_wTargetEntriesUsed; }
uint8_t fIsTargetPoolFull() { return s_fTargetPoolFull; }
uint16_t wGetNextTargetEntry() { return s_wNextTargetEntry; }

}  // namespace fw
