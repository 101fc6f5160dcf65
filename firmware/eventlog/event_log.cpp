// The event log in NVRAM, its mirror and the posting rules.
#include "eventlog/event_log.h"

#include <cstring>

#include "eventlog/event_image.h"
#include "eventlog/upcalls.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/nvram_access.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/upcalls.h"
#include "hw/hw.h"

namespace fw {

namespace {

constexpr uint32_t LOG_OFFSET = EVENT_LOG_NVRAM_OFFSET;
constexpr uint32_t ENTRIES_OFFSET = LOG_OFFSET + sizeof(EVENT_LOG_HEADER);
constexpr uint32_t MIRROR_PAGES = 25;
constexpr uint8_t STRICT_REPEAT_DIAGNOSTICS_LEVEL = 2;
constexpr uint8_t ONCE_ONLY_CODES[] = {15, 16, 17, 18, 23, 24};
constexpr uint8_t MASKABLE_CODES = 32;
constexpr uint8_t REALLOCATION_CANDIDATES = 3;

enum : uint8_t {
    EVENT_CONTROLLER_POWERED_OFF = 80,
    EVENT_CONTROLLER_POWERED_ON = 81,
    EVENT_LOG_CLEARED = 86,
    EVENT_CONTROLLER_RESET = 87,
    EVENT_CONTROLLER_SHUTDOWN = 88,
    EVENT_BLOCK_REALLOCATED = 113,
};

uint8_t s_fEventLogBusy = FALSE;
uint8_t s_fEventMirrorOn = FALSE;
uint8_t s_fEventLogChanged = FALSE;
uint8_t s_fEventLogCopying = FALSE;
uint32_t s_dOnceOnlyMask = 0;
uint16_t s_wEventsPosted = 0;
EVENT_LOG_MIRROR* s_psMirror = nullptr;

uint32_t dHeaderField(size_t dField) { return LOG_OFFSET + static_cast<uint32_t>(dField); }

uint32_t dEntryOffset(uint16_t wIndex) {
    return ENTRIES_OFFSET + static_cast<uint32_t>(sizeof(EVENT_LOG_ENTRY)) * wIndex;
}

bool fCopyAIsCurrent() {
    return bNvramRead8(dHeaderField(offsetof(EVENT_LOG_HEADER, bCopySelect))) == EVENT_COPY_A;
}

// The stored count and next of copy A or B, unchecked.
void ReadHeaderCopy(bool fCopyA, uint16_t* pwCount, uint16_t* pwNext) {
    *pwCount = wNvramReadLE16(
        dHeaderField(fCopyA ? offsetof(EVENT_LOG_HEADER, abCountA) : offsetof(EVENT_LOG_HEADER, abCountB)));
    *pwNext = wNvramReadLE16(
        dHeaderField(fCopyA ? offsetof(EVENT_LOG_HEADER, abNextA) : offsetof(EVENT_LOG_HEADER, abNextB)));
}

void WriteHeaderCopy(bool fCopyA, uint16_t wCount, uint16_t wNext) {
    NvramWriteLE16(
        dHeaderField(fCopyA ? offsetof(EVENT_LOG_HEADER, abCountA) : offsetof(EVENT_LOG_HEADER, abCountB)),
        wCount);
    NvramWriteLE16(
        dHeaderField(fCopyA ? offsetof(EVENT_LOG_HEADER, abNextA) : offsetof(EVENT_LOG_HEADER, abNextB)),
        wNext);
}

// The new count and next go into the copy that is not current, then the
// selector names it: a power cut before the selector leaves the old header.
void CommitHeader(uint16_t wCount, uint16_t wNext) {
    const bool fWriteA = !fCopyAIsCurrent();
    WriteHeaderCopy(fWriteA, wCount, wNext);
    NvramWrite8(dHeaderField(offsetof(EVENT_LOG_HEADER, bCopySelect)), fWriteA ? EVENT_COPY_A : EVENT_COPY_B);
}

void SetUpdating(uint8_t f) { NvramWrite8(dHeaderField(offsetof(EVENT_LOG_HEADER, fUpdating)), f); }

bool fIsHeaderSane(uint16_t wCount, uint16_t wNext) {
    return wCount <= EVENT_LOG_ENTRIES && wNext < EVENT_LOG_ENTRIES;
}

uint16_t wPreviousIndex(uint16_t wIndex, uint16_t wBack) {
    return static_cast<uint16_t>((wIndex + EVENT_LOG_ENTRIES - wBack) % EVENT_LOG_ENTRIES);
}

const EVENT_LOG_ENTRY* psEntry(uint16_t wIndex) {
    return reinterpret_cast<const EVENT_LOG_ENTRY*>(pNvramBase() + dEntryOffset(wIndex));
}

// The calendar may stand behind the newest event: a start of day on the
// simulated wall clock counts the waits it skipped from a reading taken
// before them, and the next clock reading sets the calendar back to the
// chip's time.  An event posted meanwhile takes the newest one's stamp, so
// the log stays in time order.  A calendar more than an hour behind was set
// back by an operator, and is taken as it stands.
constexpr uint32_t STAMP_HOLD_SECONDS = 3600;

void KeepStampInOrder(uint16_t wCount, uint16_t wNext, DATE_TIME* psStamp) {
    if (wCount == 0) return;
    DATE_TIME sNewest;
    std::memcpy(&sNewest, &psEntry(wPreviousIndex(wNext, 1))->sTimeStamp, sizeof sNewest);
    uint32_t dBehind = 0;
    if (bCompareDateTimes(psStamp, &sNewest, &dBehind) == DATE_TIME_EARLIER && dBehind <= STAMP_HOLD_SECONDS) {
        *psStamp = sNewest;
    }
}

void MirrorEntry(uint16_t wIndex) {
    if (s_fEventMirrorOn == TRUE) {
        std::memcpy(&s_psMirror->asEntries[wIndex], psEntry(wIndex), sizeof(EVENT_LOG_ENTRY));
    }
}

void MirrorHead(uint16_t wCount, uint16_t wNext) {
    if (s_fEventMirrorOn != TRUE) {
        return;
    }
    DATE_TIME sNow;
    GetDateTime(&sNow);
    s_psMirror->dByteCount = dEventImageBytes(wCount);
    s_psMirror->sUpdated = sNow;
    s_psMirror->wCount = wCount;
    s_psMirror->wNext = wNext;
}

// Zeroes the log.  The empty header is committed before the entries are
// wiped, so a power cut leaves either the old log or an empty one.
void EraseEventLog() {
    CommitHeader(0, 0);
    WriteHeaderCopy(!fCopyAIsCurrent(), 0, 0);
    NvramWrite8(dHeaderField(offsetof(EVENT_LOG_HEADER, bCopySelect)), EVENT_COPY_A);
    NvramFill(ENTRIES_OFFSET, 0, sizeof(EVENT_LOG_ENTRY) * EVENT_LOG_ENTRIES);
    if (s_fEventMirrorOn == TRUE) {
        std::memset(s_psMirror->asEntries, 0, sizeof(s_psMirror->asEntries));
        MirrorHead(0, 0);
    }
}

// Code 113: a reallocated block that continues one of the three newest
// entries of the same drive only bumps that entry's repeat count.
bool fExtendReallocation(uint16_t wCount, uint16_t wNext, const uint8_t* pbArgs) {
    const uint32_t dNewBlock = (uint32_t{pbArgs[9]} << 24) | (uint32_t{pbArgs[10]} << 16) |
                               (uint32_t{pbArgs[11]} << 8) | pbArgs[12];
    const uint16_t wCandidates = wCount < REALLOCATION_CANDIDATES ? wCount : REALLOCATION_CANDIDATES;
    for (uint16_t wBack = 1; wBack <= wCandidates; ++wBack) {
        const uint16_t wIndex = wPreviousIndex(wNext, wBack);
        const EVENT_LOG_ENTRY* ps = psEntry(wIndex);
        // An entry already handed to a reader stays as the reader saw it.
        if (ps->bCode != EVENT_BLOCK_REALLOCATED || ps->bStatus != 0 ||
            std::memcmp(ps->abArgs, pbArgs, 9) != 0 || ps->abArgs[13] == 0xFF) {
            continue;
        }
        const uint32_t dBlock = (uint32_t{ps->abArgs[9]} << 24) | (uint32_t{ps->abArgs[10]} << 16) |
                                (uint32_t{ps->abArgs[11]} << 8) | ps->abArgs[12];
        if (dBlock + ps->abArgs[13] + 1 == dNewBlock) {
            NvramWrite8(dEntryOffset(wIndex) + offsetof(EVENT_LOG_ENTRY, abArgs) + 13,
                        static_cast<uint8_t>(ps->abArgs[13] + 1));
            MirrorEntry(wIndex);
            return true;
        }
    }
    return false;
}

bool fIsRepeatCode(uint8_t bCode) { return bCode == 33 || bCode == 36 || bCode == 55 || bCode == 156; }

// Codes 33, 36, 55 and 156: the same event as the newest entry counts up the
// repeat counter in its argument bytes 8..11.
bool fCountRepeat(uint8_t bCode, uint16_t wCount, uint16_t wNext, const uint8_t* pbArgs) {
    if (wCount == 0) {
        return false;
    }
    const uint16_t wIndex = wPreviousIndex(wNext, 1);
    const EVENT_LOG_ENTRY* ps = psEntry(wIndex);
    if (ps->bCode != bCode || std::memcmp(ps->abArgs, pbArgs, 3) != 0) {
        return false;
    }
    if (bGetHostInterfaceType() == HOST_INTERFACE_SAS_TARGET &&
        bEventDiagnosticsLevel() > STRICT_REPEAT_DIAGNOSTICS_LEVEL &&
        (std::memcmp(ps->abArgs + 3, pbArgs + 3, 5) != 0 || ps->abArgs[12] != pbArgs[12] ||
         ps->abArgs[13] != pbArgs[13])) {
        return false;
    }
    const uint32_t dRepeats = (uint32_t{ps->abArgs[11]} << 24) | (uint32_t{ps->abArgs[10]} << 16) |
                              (uint32_t{ps->abArgs[9]} << 8) | ps->abArgs[8];
    NvramWriteLE32(dEntryOffset(wIndex) + offsetof(EVENT_LOG_ENTRY, abArgs) + 8, dRepeats + 1);
    MirrorEntry(wIndex);
    return true;
}

bool fIsOnceOnlyCode(uint8_t bCode) {
    for (uint8_t b : ONCE_ONLY_CODES) {
        if (b == bCode) {
            return true;
        }
    }
    return false;
}

// The body of a posting while the log is held busy and locked.  Returns
// without posting for the cases the rules drop or coalesce.
void PostLockedEvent(uint8_t bCode, const uint8_t* pbArgs) {
    if (fIsOnceOnlyCode(bCode)) {
        if (fIsEventMaskBitSet(bCode) == TRUE) {
            return;
        }
        SetEventMaskBit(bCode, TRUE);
    }

    uint16_t wCount;
    uint16_t wNext;
    ReadHeaderCopy(fCopyAIsCurrent(), &wCount, &wNext);
    if (!fIsHeaderSane(wCount, wNext)) {
        // A header out of range would send the entry outside the log.
        EraseEventLog();
        wCount = 0;
        wNext = 0;
    }
    SetUpdating(TRUE);

    if ((bCode == EVENT_BLOCK_REALLOCATED && fExtendReallocation(wCount, wNext, pbArgs)) ||
        (fIsRepeatCode(bCode) && fCountRepeat(bCode, wCount, wNext, pbArgs))) {
        SetUpdating(FALSE);
        return;
    }

    EVENT_LOG_ENTRY sEntry;
    if (bCode == EVENT_CONTROLLER_POWERED_OFF) {
        GetStoredStatisticsStamp(&sEntry.sTimeStamp);
        if (bValidateDateTime(&sEntry.sTimeStamp) != STATUS_OK) {
            SetUpdating(FALSE);
            return;
        }
    } else {
        GetDateTime(&sEntry.sTimeStamp);
    }
    KeepStampInOrder(wCount, wNext, &sEntry.sTimeStamp);
    sEntry.bStatus = 0;
    sEntry.bCode = bCode;
    std::memcpy(sEntry.abArgs, pbArgs, EVENT_ARGS);
    NvramWrite(dEntryOffset(wNext), &sEntry, sizeof(sEntry));
    MirrorEntry(wNext);

    wNext = static_cast<uint16_t>((wNext + 1) % EVENT_LOG_ENTRIES);
    if (wCount < EVENT_LOG_ENTRIES) {
        ++wCount;
    }
    CommitHeader(wCount, wNext);
    SetUpdating(FALSE);
    if (s_wEventsPosted < EVENT_LOG_ENTRIES) {
        ++s_wEventsPosted;
    }
    MirrorHead(wCount, wNext);
}

}  // namespace

void PostEvent(uint8_t bCode, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5,
               uint8_t b6, uint8_t b7, uint8_t b8, uint8_t b9, uint8_t b10, uint8_t b11, uint8_t b12,
               uint8_t b13) {
    if (s_fEventLogBusy == TRUE) {
        return;
    }
    s_fEventLogChanged = TRUE;
    s_fEventLogBusy = TRUE;

    // Inside a chip handler those sources are already held off, and their
    // locks must not be taken there.
    const bool fInChipHandler = fIsChipInterruptServiceActive() == TRUE;
    uint8_t bSasLock = STATUS_LOCK_HELD;
    uint8_t bHostLock = STATUS_LOCK_HELD;
    if (!fInChipHandler) {
        bSasLock = LockInterruptSource(INT_SOURCE_DRIVE_SIDE);
        bHostLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
    }

    const uint8_t abArgs[EVENT_ARGS] = {b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13};
    PostLockedEvent(bCode, abArgs);

    if (bSasLock != STATUS_LOCK_HELD) {
        UnlockInterruptSource(INT_SOURCE_DRIVE_SIDE);
    }
    if (bHostLock != STATUS_LOCK_HELD) {
        UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
    }
    s_fEventLogBusy = FALSE;
}

// What else starts with the log starts with its owner, which the event
// log does not reach: the paged dump and the debug dump's output mode are
// reset by the start-up right after this, the cache's event rate monitor
// with the stripe access table, and the statistics dump's page retries at
// the end of every page.
void InitEventLog() {
    s_fEventLogChanged = FALSE;
    s_fEventMirrorOn = FALSE;
    s_fEventLogBusy = FALSE;
    s_fEventLogCopying = FALSE;
    s_psMirror = nullptr;
    ClearPartnerEventCounts();
    SetUpdating(FALSE);

    uint16_t wCount;
    uint16_t wNext;
    const bool fCopyA = fCopyAIsCurrent();
    ReadHeaderCopy(fCopyA, &wCount, &wNext);
    if (!fIsHeaderSane(wCount, wNext)) {
        // A header out of range cannot be trusted to find any entry: start a
        // clean log and say so.
        ClearEventLog();
        ReadHeaderCopy(fCopyAIsCurrent(), &wCount, &wNext);
    } else if (wCount < EVENT_LOG_ENTRIES && wNext != wCount) {
        NvramWriteLE16(dHeaderField(fCopyA ? offsetof(EVENT_LOG_HEADER, abNextA)
                                           : offsetof(EVENT_LOG_HEADER, abNextB)),
                       wCount);
        wNext = wCount;
    }

    SetUpgradeSkipFlag(FALSE);
    SetUpgradeSecondFlag(FALSE);

    if (wCount == 0) {
        PostEvent(EVENT_CONTROLLER_POWERED_OFF);
    } else {
        if (wCount >= 2) {
            const uint16_t wIndex = wPreviousIndex(wNext, 2);
            const EVENT_LOG_ENTRY* ps = psEntry(wIndex);
            if (ps->bCode == EVENT_FIRMWARE_UPGRADED) {
                SetUpgradeSkipFlag(TRUE);
                if (ps->abArgs[4] == TRUE) {
                    SetUpgradeSecondFlag(TRUE);
                }
                NvramWriteLE32(dEntryOffset(wIndex) + offsetof(EVENT_LOG_ENTRY, abArgs) + 5,
                               FIRMWARE_VERSION_WORD);
            }
        }
        const uint8_t bNewest = psEntry(wPreviousIndex(wNext, 1))->bCode;
        if (bNewest != EVENT_CONTROLLER_RESET && bNewest != EVENT_CONTROLLER_SHUTDOWN) {
            PostEvent(EVENT_CONTROLLER_POWERED_OFF);
        }
    }
    PostEvent(EVENT_CONTROLLER_POWERED_ON);
}

void AllocateEventLogMirror() {
    s_psMirror = static_cast<EVENT_LOG_MIRROR*>(pBufferHandleToPointer(dTakeStartOfDayPages(MIRROR_PAGES)));
    std::memcpy(s_psMirror->asEntries, pNvramBase() + ENTRIES_OFFSET, sizeof(s_psMirror->asEntries));
    s_fEventMirrorOn = TRUE;
    uint16_t wCount;
    uint16_t wNext;
    GetEventLogPosition(&wCount, &wNext);
    MirrorHead(wCount, wNext);
}

void ClearEventLog() {
    if (s_fEventLogBusy == TRUE) {
        return;
    }
    s_fEventLogChanged = TRUE;
    s_fEventLogBusy = TRUE;
    s_wEventsPosted = 0;
    s_dOnceOnlyMask = 0;
    SetUpdating(TRUE);
    EraseEventLog();
    SetUpdating(FALSE);
    s_fEventLogBusy = FALSE;
    PostEvent(EVENT_LOG_CLEARED);
}

uint16_t wGetEventLogCount() {
    uint16_t wCount;
    uint16_t wNext;
    ReadHeaderCopy(fCopyAIsCurrent(), &wCount, &wNext);
    return wCount > EVENT_LOG_ENTRIES ? 0 : wCount;
}

uint16_t wGetEventsPostedCount() { return s_wEventsPosted > EVENT_LOG_ENTRIES ? 0 : s_wEventsPosted; }

void SetEventMaskBit(uint8_t bCode, uint8_t f) {
    if (bCode == 0 || bCode > MASKABLE_CODES) {
        return;
    }
    const uint32_t dBit = 1u << (bCode - 1);
    s_dOnceOnlyMask = f == TRUE ? (s_dOnceOnlyMask | dBit) : (s_dOnceOnlyMask & ~dBit);
}

uint8_t fIsEventMaskBitSet(uint8_t bCode) {
    if (bCode == 0 || bCode > MASKABLE_CODES) {
        return FALSE;
    }
    return ToFlag((s_dOnceOnlyMask >> (bCode - 1)) & 1);
}

void CopyEventLogEntry(const EVENT_LOG_ENTRY* psSource, EVENT_LOG_ENTRY* psDestination) {
    std::memcpy(psDestination, psSource, sizeof(EVENT_LOG_ENTRY));
}

uint8_t fIsEventLogBusy() { return s_fEventLogBusy; }
void SetEventLogBusy(uint8_t f) { s_fEventLogBusy = f; }
void ClearEventLogChanged() { s_fEventLogChanged = FALSE; }
uint8_t fGetEventLogChanged() { return s_fEventLogChanged; }
uint8_t fIsEventLogCopying() { return s_fEventLogCopying; }
void SetEventLogCopying(uint8_t f) { s_fEventLogCopying = f; }
void ResetEventsPostedCount() { s_wEventsPosted = 0; }

void GetEventLogPosition(uint16_t* pwCount, uint16_t* pwNext) {
    ReadHeaderCopy(fCopyAIsCurrent(), pwCount, pwNext);
    if (!fIsHeaderSane(*pwCount, *pwNext)) {
        *pwCount = 0;
        *pwNext = 0;
    }
}

const EVENT_LOG_ENTRY* psGetEventLogEntry(uint16_t wIndex) {
    return psEntry(static_cast<uint16_t>(wIndex % EVENT_LOG_ENTRIES));
}

void MarkEventLogEntryReported(uint16_t wIndex) {
    wIndex = static_cast<uint16_t>(wIndex % EVENT_LOG_ENTRIES);
    NvramWrite8(dEntryOffset(wIndex) + offsetof(EVENT_LOG_ENTRY, bStatus), EVENT_STATUS_REPORTED);
    if (s_fEventMirrorOn == TRUE) {
        s_psMirror->asEntries[wIndex].bStatus = EVENT_STATUS_REPORTED;
    }
}

EVENT_LOG_MIRROR* psGetEventLogMirror() { return s_fEventMirrorOn == TRUE ? s_psMirror : nullptr; }

}  // namespace fw
