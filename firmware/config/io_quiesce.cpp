// Host I/O quiesce on this controller and, through message 18, on the
// partner.
#include "config/io_quiesce.h"

#include "cache/outstanding_queues.h"
#include "config/config_flags.h"
#include "config/config_state.h"
#include "config/host_port_tables.h"
#include "config/ld_table.h"
#include "config/write_semaphore.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "partner/partner_link.h"
#include "raid/expansion.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

constexpr uint32_t FIRST_CHECK_MS = 256;
constexpr uint32_t RECHECK_MS = 100;
constexpr uint32_t PARTNER_LOOK_MS = 10;
constexpr uint32_t RESUME_RETRY_MS = 50;
constexpr uint8_t STARTED_HERE = 0;
constexpr uint8_t STARTED_BY_PARTNER = 1;

struct QUIESCE_CONTROL {
    uint8_t bState;
    uint8_t bRemote;
    uint8_t fPartnerResumed;
    uint8_t fPartnerQuiesced;
    QUIESCE_DONE_ROUTINE pfnDone;
    uint64_t lStartMs;
};

QUIESCE_CONTROL s_sQuiesce;
// The embedded timers of these two run the waits of the quiesce, and the
// resume message that outlives it.
KERNEL_ENTRY s_sTimerOwner;
KERNEL_ENTRY s_sResumeTimerOwner;
void (*s_pfnNextStep)();

bool PartnerActive() { return fIsDualControllerActive() == TRUE; }

void RunNextStep(KERNEL_ENTRY*, TIMER_NODE*) { s_pfnNextStep(); }

// Runs the step after the delay.
void After(uint32_t dMs, void (*pfnStep)()) {
    s_pfnNextStep = pfnStep;
    InsertTimer(&s_sTimerOwner, RunNextStep, dMs);
}

void Report(uint8_t bStatus) {
    const QUIESCE_DONE_ROUTINE pfn = s_sQuiesce.pfnDone;
    if (pfn != nullptr) pfn(bStatus);
}

uint8_t bSendQuiesceMessage(uint8_t bSubCode) {
    if (fCanSendConfigMessage() != TRUE) return 0;
    INTER_CONTROLLER_MESSAGE sMessage;
    BuildConfigMessage(&sMessage, MESSAGE_IO_QUIESCE, bSubCode);
    uint16_t wSlot = 0;
    return bSendMessageToPartner(&sMessage, &wSlot, 0);
}

// No logical drive has a write or read outstanding and no admitted host
// command waits for the dispatcher.
bool HostIoIdle() {
    const uint16_t wLds = wGetLogicalDriveCount();
    for (uint16_t l = 0; l < wLds; ++l) {
        if (dGetLunOutstandingWrites(l) != 0 || dGetLunOutstandingReads(l) != 0) return false;
    }
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; ++w) {
        KERNEL_ENTRY* ps = nullptr;
        (void)wGetTargetEntry(w, &ps);
        if (ps != nullptr && ps->bPrimaryState == HOST_STATE_NEW_COMMAND && ps->fValid == TRUE) return false;
    }
    return true;
}

void WaitForPartnerResume() {
    if (s_sQuiesce.fPartnerResumed != TRUE && PartnerActive()) {
        After(RECHECK_MS, WaitForPartnerResume);
        return;
    }
    ResumeHostIo();
}

void SendQuiescedToPartner() {
    switch (bSendQuiesceMessage(QUIESCE_DONE)) {
    case STATUS_OK: return;   // its continuation waits for the resume
    case STATUS_RETRY: After(RECHECK_MS, SendQuiescedToPartner); return;
    default: ResumeHostIo(); return;
    }
}

void WaitForPartnerQuiesced() {
    if (s_sQuiesce.fPartnerQuiesced != TRUE && PartnerActive()) {
        After(PARTNER_LOOK_MS, WaitForPartnerQuiesced);
        return;
    }
    s_sQuiesce.bState = QUIESCE_QUIESCED;
    Report(STATUS_OK);
}

void CheckDrained() {
    if (!HostIoIdle()) {
        After(RECHECK_MS, CheckDrained);
        return;
    }
    if (s_sQuiesce.bRemote == STARTED_HERE) {
        WaitForPartnerQuiesced();
    } else {
        SendQuiescedToPartner();
    }
}

void BeginLocalDrain() {
    s_sQuiesce.bState = QUIESCE_DRAINING;
    s_sQuiesce.lStartMs = lGetTickCount();
    ResetAllOutstandingReads();
    After(FIRST_CHECK_MS, CheckDrained);
}

void SendResumeToPartner(KERNEL_ENTRY*, TIMER_NODE*) {
    if (PartnerActive() && bSendQuiesceMessage(QUIESCE_RESUME) == STATUS_RETRY) {
        InsertTimer(&s_sResumeTimerOwner, SendResumeToPartner, RECHECK_MS);
    }
}

}  // namespace

void InitIoQuiesce() {
    s_sQuiesce = QUIESCE_CONTROL{};
    s_sQuiesce.fPartnerResumed = FALSE;
    s_sQuiesce.fPartnerQuiesced = FALSE;
}

void StartIoQuiesce(QUIESCE_DONE_ROUTINE pfnDone) {
    // Hosts wait at a moving expansion window: no drain while the rows
    // move.  A finished expansion's record stays until its commit is on
    // the drives, and that commit may be this one.
    if (s_sQuiesce.bState != QUIESCE_IDLE ||
        (bGetNvramExpansionFlag() == TRUE && fIsExpansionCommitWaiting() != TRUE)) {
        if (pfnDone != nullptr) pfnDone(0);
        return;
    }
    s_sQuiesce.bRemote = STARTED_HERE;
    s_sQuiesce.fPartnerQuiesced = FALSE;
    s_sQuiesce.pfnDone = pfnDone;
    if (!PartnerActive()) {
        BeginLocalDrain();
        return;
    }
    const uint8_t b = bSendQuiesceMessage(QUIESCE_REQUEST);
    if (b != STATUS_OK) Report(b);
}

void QuiesceMessageSent(uint8_t bSubCode, uint8_t fFailed, uint8_t bSenseKey) {
    if (bSubCode == QUIESCE_REQUEST) {
        if (bSenseKey == 0 || fFailed == FALSE) {
            BeginLocalDrain();
        } else {
            Report(0);
        }
    } else if (bSubCode == QUIESCE_DONE) {
        WaitForPartnerResume();
    }
}

uint8_t HandlePartnerQuiesceRequest() {
    if (s_sQuiesce.bState != QUIESCE_IDLE || bGetNvramExpansionFlag() == TRUE ||
        fIsConfigCommitInProgress() == TRUE) {
        return 0;
    }
    s_sQuiesce.bRemote = STARTED_BY_PARTNER;
    s_sQuiesce.fPartnerResumed = FALSE;
    s_sQuiesce.pfnDone = nullptr;
    After(0, BeginLocalDrain);
    return STATUS_OK;
}

void SetPartnerQuiescedFlag() { s_sQuiesce.fPartnerQuiesced = TRUE; }
void SetPartnerResumedFlag() { s_sQuiesce.fPartnerResumed = TRUE; }

void ResumeHostIo() {
    // The host ports first take up the tables the commit changed.
    if (fAnyHostPortLinkFlag() == TRUE) {
        After(RESUME_RETRY_MS, ResumeHostIo);
        return;
    }
    if (s_sQuiesce.bRemote == STARTED_HERE) SendResumeToPartner(&s_sResumeTimerOwner, nullptr);
    s_sQuiesce.bState = QUIESCE_IDLE;
}

uint8_t bGetIoQuiesceState() { return s_sQuiesce.bState; }

}  // namespace fw
