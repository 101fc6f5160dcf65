#include "sas/write_collapse.h"

#include <cstring>

#include "executive/console_output.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "sas/sas_scsi_path.h"

namespace fw {

namespace {

IWCQ_TARGET s_asQueue[256];
uint8_t s_fAdaptive = FALSE;

constexpr uint8_t DEFAULT_DEPTH = 16;
constexpr uint8_t DEFAULT_TIME_MS = 5;
constexpr uint8_t ADAPTIVE_TIME_MS = 1;
constexpr uint8_t MAX_RETRIES = 2;
constexpr uint64_t HOLD_BITS = KE_FLAG_WRITE_COLLAPSE | KE_FLAG_IWCQ_ANSWERED;

uint8_t TargetOf(const KERNEL_ENTRY* ps) { return static_cast<uint8_t>(ps->wTargetId); }

KERNEL_ENTRY* Entry(uint16_t w) {
    KERNEL_ENTRY* ps = nullptr;
    (void)GetKernelEntryAddress(w, &ps);
    return ps;
}

void Reset(IWCQ_TARGET& q, bool fFailed, bool fEmpty) {
    q.dFlags &= ~(IWCQ_FLUSH_REQUESTED | IWCQ_BATCH_FAILED | IWCQ_DEPTH_REACHED | IWCQ_TIME_PASSED |
                  IWCQ_FLUSH_FORCED | IWCQ_DEADLINE_PASSED);
    q.wEntries = q.wResponses = 0;
    for (uint16_t& w : q.awEntry) w = IWCQ_EMPTY;
    q.wSyncEntry = IWCQ_EMPTY;
    if (!fFailed || fEmpty) {
        q.bRetries = 0;
    } else {
        q.bRetries = q.bRetries >= MAX_RETRIES ? 0 : static_cast<uint8_t>(q.bRetries + 1);
    }
}

void Adapt(IWCQ_TARGET& q) {
    if (s_fAdaptive != TRUE || (q.dFlags & IWCQ_FLUSH_FORCED)) {
        q.bDepth = DEFAULT_DEPTH;
        q.bTime = DEFAULT_TIME_MS;
        return;
    }
    q.abHistory[q.bHistoryPos] = static_cast<uint8_t>(q.wEntries > 255 ? 255 : q.wEntries);
    q.bHistoryPos = static_cast<uint8_t>((q.bHistoryPos + 1) % sizeof q.abHistory);
    uint8_t bLargest = 1;
    for (uint8_t b : q.abHistory) bLargest = b > bLargest ? b : bLargest;
    q.bDepth = bLargest > IWCQ_BATCH_SLOTS ? IWCQ_BATCH_SLOTS : bLargest;
    q.bTime = ADAPTIVE_TIME_MS;
}

// A write of a failed batch: queued again while retries remain, else
// finished with the flush's sense.
void RetryOrFail(const IWCQ_TARGET& q, KERNEL_ENTRY* ps, KERNEL_ENTRY* psSync) {
    if (q.bRetries != MAX_RETRIES) {
        RepostSASEntry(ps);
        return;
    }
    ps->bPrimaryState = PS_PARKED_5B;
    if (psSync && (psSync->lFlags & KE_FLAG_SENSE_PRESENT)) {
        std::memcpy(psSasFields(ps), psSasFields(psSync), sizeof(SAS_ENTRY_FIELDS));
        ps->lFlags |= KE_FLAG_SENSE_PRESENT;
    }
    // The failed-drive-command task decides what becomes of it.
    RequestHostChipService();
}

}  // namespace

void InitIwcq() {
    for (IWCQ_TARGET& q : s_asQueue) {
        std::memset(&q, 0, sizeof q);
        Reset(q, false, true);
        q.bDepth = DEFAULT_DEPTH;
        q.bTime = DEFAULT_TIME_MS;
    }
}

IWCQ_TARGET* psGetIwcq(uint8_t bTarget) { return &s_asQueue[bTarget]; }
void SetIwcqAdaptive(uint8_t f) { s_fAdaptive = f; }

uint8_t fIwcqAdmitWrite(uint8_t bTarget) {
    const IWCQ_TARGET& q = s_asQueue[bTarget];
    return ToFlag(q.wEntries < IWCQ_BATCH_SLOTS && !(q.dFlags & (IWCQ_FLUSH_ISSUED | IWCQ_FLUSH_REQUESTED)));
}

void IwcqRecordPosted(KERNEL_ENTRY* ps) {
    KernelPoolLock sLock;
    IWCQ_TARGET& q = s_asQueue[TargetOf(ps)];
    if (ps->abCdb[0] == SCSI_SYNCHRONIZE_CACHE10) {
        q.dFlags = (q.dFlags | IWCQ_FLUSH_REQUESTED) & ~IWCQ_FLUSH_ISSUED;
        q.wSyncEntry = ps->wIndex;
        ps->lFlags |= KE_FLAG_WRITE_COLLAPSE;
        return;
    }
    // The batch holds 128 writes; admission keeps it there, so a write
    // beyond it is never held rather than written past the table.
    if (ps->abCdb[0] != SCSI_WRITE10 || q.wEntries >= IWCQ_BATCH_SLOTS) return;
    q.awEntry[q.wEntries++] = ps->wIndex;
    ps->lFlags |= KE_FLAG_WRITE_COLLAPSE;
    q.lLastWriteTime = lGetTickCount();
    if (q.wEntries >= q.bDepth) q.dFlags |= IWCQ_DEPTH_REACHED;
}

void IwcqMarkFlushFailed(uint8_t bTarget) {
    IWCQ_TARGET& q = s_asQueue[bTarget];
    q.dFlags = (q.dFlags | IWCQ_BATCH_FAILED | IWCQ_FLUSH_REQUESTED) & ~IWCQ_FLUSH_ISSUED;
    if (q.wSyncEntry != IWCQ_EMPTY) {
        if (KERNEL_ENTRY* ps = Entry(q.wSyncEntry)) ps->lFlags |= KE_FLAG_SENSE_PRESENT;
    }
}

void IwcqWriteAnswered(KERNEL_ENTRY* ps, uint8_t fFailed) {
    KernelPoolLock sLock;
    IWCQ_TARGET& q = s_asQueue[TargetOf(ps)];
    if (ps->abCdb[0] == SCSI_WRITE10 && !(ps->lFlags & KE_FLAG_IWCQ_ANSWERED)) {
        ++q.wResponses;
        ps->bPrimaryState = PS_AT_CHIP_ALTERNATE;
        ps->lFlags |= KE_FLAG_IWCQ_ANSWERED;
    }
    if (fFailed == TRUE) {
        q.dFlags |= IWCQ_BATCH_FAILED;
        for (uint16_t i = 0; i < q.wEntries; ++i) {
            if (q.awEntry[i] == ps->wIndex) q.awEntry[i] = IWCQ_EMPTY;
        }
    }
    ps->lFlags &= ~HOLD_BITS;
    if (fFailed == TRUE || ps->abCdb[0] == SCSI_SYNCHRONIZE_CACHE10) IwcqMarkFlushFailed(TargetOf(ps));
}

uint8_t fIwcqFlushCompleted(KERNEL_ENTRY* psSync) {
    KernelPoolLock sLock;
    IWCQ_TARGET& q = s_asQueue[TargetOf(psSync)];
    if (q.wResponses != q.wEntries) {
        q.dFlags |= IWCQ_BATCH_FAILED;
        IncrementTotalCommands(PORT_CODE_INITIATOR);
        CompleteSASEntry(psSync);
        return FALSE;
    }
    psSync->lFlags &= ~KE_FLAG_WRITE_COLLAPSE;
    if (psSync->lFlags & KE_FLAG_ERROR_BITS) q.dFlags |= IWCQ_BATCH_FAILED;
    const bool fFailed = (q.dFlags & IWCQ_BATCH_FAILED) != 0;
    for (uint16_t i = 0; i < q.wEntries; ++i) {
        if (q.awEntry[i] == IWCQ_EMPTY) continue;
        KERNEL_ENTRY* ps = Entry(q.awEntry[i]);
        if (!ps) continue;
        ps->lFlags &= ~HOLD_BITS;
        if (fFailed) {
            RetryOrFail(q, ps, psSync);
        } else {
            CompleteSASEntry(ps);
        }
    }
    Adapt(q);
    Reset(q, fFailed, q.wEntries == 0);
    return TRUE;
}

void ShowIwcqInformation() {
    ConsolePrintf("Iwcq Information: \n");
    for (uint16_t t = 0; t < 256; ++t) {
        const IWCQ_TARGET& q = s_asQueue[t];
        if (q.wEntries == 0) continue;
        ConsolePrintf("Target %02x: %04x entries, %04x responses, %02x retries, %08x\n", t, q.wEntries, q.wResponses,
                    q.bRetries, q.dFlags);
        ConsolePrintf("Optimisation: %02x ms, %02x depth\n", q.bTime, q.bDepth);
        for (uint16_t i = 0; i < q.wEntries && i < IWCQ_BATCH_SLOTS; ++i) {
            const KERNEL_ENTRY* ps = q.awEntry[i] == IWCQ_EMPTY ? nullptr : Entry(q.awEntry[i]);
            if (ps == nullptr) {
                ConsolePrintf("----: --------\n");
                continue;
            }
            ConsolePrintf("%04x: f:%08x%08x ps:%02x\n", q.awEntry[i], static_cast<uint32_t>(ps->lFlags >> 32),
                        static_cast<uint32_t>(ps->lFlags), ps->bPrimaryState);
        }
        if (const KERNEL_ENTRY* ps = q.wSyncEntry == IWCQ_EMPTY ? nullptr : Entry(q.wSyncEntry)) {
            ConsolePrintf("%04x: f:%08x%08x (sync)\n", q.wSyncEntry, static_cast<uint32_t>(ps->lFlags >> 32),
                        static_cast<uint32_t>(ps->lFlags));
        }
        ConsolePrintf("H:");
        for (uint8_t b : q.abHistory) ConsolePrintf(" %02x", b);
        ConsolePrintf("\n");
    }
}

}  // namespace fw
