// Event log image copy.
#include "eventlog/event_image.h"

#include <cstring>

#include "eventlog/event_log.h"
#include "executive/date_time.h"
#include "executive/nvram_access.h"
#include "executive/system_state.h"
#include "executive/types.h"

namespace fw {

namespace {

constexpr uint32_t SECONDS_PER_HOUR = 3600;
constexpr uint32_t SECONDS_PER_DAY = 86400;
constexpr uint32_t NEWEST_KEPT_BY_FILTER_2 = 50;

constexpr uint8_t DRIVE_CODES[] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 29, 33, 34, 35, 39, 40, 59, 60};
constexpr uint8_t HOST_CODES[] = {21, 22, 23, 24, 36, 37, 38, 46, 61, 63, 64};
constexpr uint8_t ENVIRONMENT_CODES[] = {3, 4, 6, 7, 65, 66, 98};

uint8_t s_fPartnerCountsCached = FALSE;
uint16_t s_wPartnerTotal = 0;
uint16_t s_wPartnerPosted = 0;

template <size_t N>
bool fIsIn(const uint8_t (&abCodes)[N], uint8_t bCode) {
    for (uint8_t b : abCodes) {
        if (b == bCode) {
            return true;
        }
    }
    return false;
}

bool fWithin(const EVENT_LOG_ENTRY* ps, const DATE_TIME* psNow, uint32_t dSeconds) {
    uint32_t dDifference;
    const uint8_t b = bCompareDateTimes(&ps->sTimeStamp, psNow, &dDifference);
    return (b == DATE_TIME_EQUAL || b == DATE_TIME_EARLIER) && dDifference <= dSeconds;
}

// Entries the NVRAM options hide from every listing.
bool fHiddenByOptions(const EVENT_LOG_ENTRY* ps) {
    const uint8_t bCode = ps->bCode;
    const bool fSecondPath = ps->abArgs[0] == 2;
    if (fIsNvramOption0Set() == TRUE &&
        (bCode == 16 || bCode == 18 || bCode == 20 || ((bCode == 33 || bCode == 34 || bCode == 35) && fSecondPath))) {
        return true;
    }
    return fIsNvramOption1Set() == TRUE &&
           (bCode == 20 || bCode == 22 || bCode == 24 || ((bCode == 36 || bCode == 37 || bCode == 38) && fSecondPath));
}

bool fKeep(uint8_t bFilter, const EVENT_LOG_ENTRY* ps, uint32_t dFromNewest, const DATE_TIME* psNow) {
    if (ps->bCode == 0 || fHiddenByOptions(ps)) {
        return false;
    }
    switch (bFilter) {
        case EVENT_FILTER_LAST_50: return dFromNewest <= NEWEST_KEPT_BY_FILTER_2;
        case EVENT_FILTER_LAST_HOUR: return fWithin(ps, psNow, SECONDS_PER_HOUR);
        case EVENT_FILTER_LAST_DAY: return fWithin(ps, psNow, SECONDS_PER_DAY);
        case EVENT_FILTER_DRIVE: return fIsIn(DRIVE_CODES, ps->bCode);
        case EVENT_FILTER_HOST: return fIsIn(HOST_CODES, ps->bCode);
        case EVENT_FILTER_ENVIRONMENT: return fIsIn(ENVIRONMENT_CODES, ps->bCode);
        case EVENT_FILTER_NEW: return dFromNewest <= wGetEventsPostedCount();
        default: return true;
    }
}

bool fIsPositionalFilter(uint8_t bFilter) {
    return bFilter == EVENT_FILTER_ALL || bFilter == EVENT_FILTER_LAST_50 || bFilter == EVENT_FILTER_LAST_HOUR ||
           bFilter == EVENT_FILTER_LAST_DAY || bFilter == EVENT_FILTER_NEW;
}

// The status byte of the entry at image position P lies in the caller's window.
bool fInMarkWindow(uint32_t dPosition, uint32_t dStartOffset, uint32_t dLength) {
    return static_cast<uint64_t>(dPosition) + offsetof(EVENT_LOG_ENTRY, bStatus) <=
           static_cast<uint64_t>(dStartOffset) + dLength;
}

void FillHead(EVENT_LOG_MIRROR* ps, uint16_t wCount, uint16_t wNext, const DATE_TIME* psNow) {
    ps->dByteCount = dEventImageBytes(wCount);
    ps->sUpdated = *psNow;
    ps->wCount = wCount;
    ps->wNext = wNext;
}

// Count and next of a log in NVRAM format, bounded by the log size.
void ReadLogPosition(const uint8_t* pbLog, uint16_t* pwCount, uint16_t* pwNext) {
    if (pbLog == pGetOwnEventLog()) {
        GetEventLogPosition(pwCount, pwNext);
        return;
    }
    EVENT_LOG_HEADER sHeader;
    std::memcpy(&sHeader, pbLog, sizeof(sHeader));
    const bool fCopyA = sHeader.bCopySelect == EVENT_COPY_A;
    const uint8_t* pbCount = fCopyA ? sHeader.abCountA : sHeader.abCountB;
    const uint8_t* pbNext = fCopyA ? sHeader.abNextA : sHeader.abNextB;
    *pwCount = static_cast<uint16_t>(pbCount[0] | (pbCount[1] << 8));
    *pwNext = static_cast<uint16_t>(pbNext[0] | (pbNext[1] << 8));
    if (*pwCount > EVENT_LOG_ENTRIES || *pwNext >= EVENT_LOG_ENTRIES) {
        *pwCount = 0;
        *pwNext = 0;
    }
}

}  // namespace

const uint8_t* pGetOwnEventLog() { return pNvramBase() + EVENT_LOG_NVRAM_OFFSET; }

void CopyEventLogEntries(const uint8_t* pbSourceLog, EVENT_LOG_MIRROR* psDestination, uint8_t bFilter,
                         uint32_t dStartOffset, uint32_t dLength, uint8_t fMark) {
    SetEventLogCopying(TRUE);
    const bool fOwnLog = pbSourceLog == pGetOwnEventLog();
    const bool fMarking = fMark == TRUE && fOwnLog;
    uint16_t wCount;
    uint16_t wNext;
    ReadLogPosition(pbSourceLog, &wCount, &wNext);
    const uint16_t wFirst = wCount >= EVENT_LOG_ENTRIES ? wNext : 0;
    DATE_TIME sNow;
    GetDateTime(&sNow);
    uint32_t dPosition = dStartOffset == 0 ? offsetof(EVENT_LOG_MIRROR, asEntries) : 0;
    const auto* psSource =
        reinterpret_cast<const EVENT_LOG_ENTRY*>(pbSourceLog + sizeof(EVENT_LOG_HEADER));

    const EVENT_LOG_MIRROR* psMirror = psGetEventLogMirror();
    if (bFilter == EVENT_FILTER_ALL && fMarking && psMirror != nullptr) {
        const uint16_t wMirrorCount =
            psMirror->wCount > EVENT_LOG_ENTRIES ? EVENT_LOG_ENTRIES : psMirror->wCount;
        const uint16_t wMirrorFirst = wMirrorCount >= EVENT_LOG_ENTRIES ? psMirror->wNext % EVENT_LOG_ENTRIES : 0;
        for (uint16_t k = 0; k < wMirrorCount; ++k) {
            const uint16_t wIndex = static_cast<uint16_t>((wMirrorFirst + k) % EVENT_LOG_ENTRIES);
            std::memcpy(&psDestination->asEntries[k], &psMirror->asEntries[wIndex], sizeof(EVENT_LOG_ENTRY));
            // Only what the reader's window carries counts as handed over.
            if (psMirror->asEntries[wIndex].bStatus != EVENT_STATUS_REPORTED &&
                fInMarkWindow(dPosition, dStartOffset, dLength)) {
                MarkEventLogEntryReported(wIndex);
            }
            dPosition += sizeof(EVENT_LOG_ENTRY);
        }
        FillHead(psDestination, wMirrorCount, psMirror->wNext, &sNow);
        psDestination->dByteCount = psMirror->dByteCount;
        SetEventLogCopying(FALSE);
        return;
    }

    uint16_t j = 0;
    for (uint32_t k = 0; k < wCount; ++k) {
        const uint16_t wIndex = static_cast<uint16_t>((wFirst + k) % EVENT_LOG_ENTRIES);
        const EVENT_LOG_ENTRY* ps = &psSource[wIndex];
        if (!fKeep(bFilter, ps, wCount - k, &sNow)) {
            continue;
        }
        CopyEventLogEntry(ps, &psDestination->asEntries[j]);
        if (fMarking && fInMarkWindow(dPosition, dStartOffset, dLength)) {
            MarkEventLogEntryReported(wIndex);
        }
        ++j;
        dPosition += sizeof(EVENT_LOG_ENTRY);
    }
    uint16_t wImageNext = 0;
    if (fIsPositionalFilter(bFilter)) {
        ResetEventsPostedCount();
        wImageNext = wNext;
    }
    FillHead(psDestination, j, wImageNext, &sNow);
    SetEventLogCopying(FALSE);
}

void CopyOwnEventLog(uint8_t bFilter, EVENT_LOG_MIRROR* psDestination, uint32_t dStartOffset, uint32_t dLength,
                     uint8_t fMark) {
    CopyEventLogEntries(pGetOwnEventLog(), psDestination, bFilter, dStartOffset, dLength, fMark);
}

void SetPartnerEventCounts(uint16_t wTotal, uint16_t wPosted) {
    s_wPartnerTotal = wTotal;
    s_wPartnerPosted = wPosted;
    s_fPartnerCountsCached = TRUE;
}

uint8_t bGetPartnerEventCounts(uint16_t* pwTotal, uint16_t* pwPosted) {
    if (s_fPartnerCountsCached != TRUE) {
        *pwTotal = 0;
        *pwPosted = 0;
        return PARTNER_COUNTS_NOT_CACHED;
    }
    *pwTotal = s_wPartnerTotal;
    *pwPosted = s_wPartnerPosted;
    return PARTNER_COUNTS_CACHED;
}

void ClearPartnerEventCounts() {
    s_fPartnerCountsCached = FALSE;
    s_wPartnerTotal = 0;
    s_wPartnerPosted = 0;
}

}  // namespace fw
