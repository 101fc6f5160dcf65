// The drive side's census of its devices, its idle tracking of the SATA
// drives it reaches directly, and the SATA option.
#include "sas/sas_census.h"

#include <cstring>

#include "executive/interrupt_controller.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "partner/partner_link.h"
#include "sas/sas_device_list.h"

namespace fw {

namespace {

constexpr uint64_t CENSUS_PERIOD_MS = 1000;
constexpr uint64_t ACTIVE_WINDOW_MS = 4000;
constexpr uint32_t IDLE_HOLD_S = 15;
constexpr uint8_t PROXY_TARGET = 0x80;
constexpr uint8_t ATA_FEATURE_OPTION = 0x01;

uint64_t s_lNextCensus = 0;
uint8_t s_fSATAOption = TRUE;
uint8_t s_fIdle = FALSE;
uint32_t s_dIdleSince = 0;

uint8_t bEntries(const SAS_DEVICE_LIST* ps) { return ps->bEntryCount < SAS_MAX_DEVICES ? ps->bEntryCount : SAS_MAX_DEVICES; }

uint32_t dNowSeconds() { return static_cast<uint32_t>(lGetTickCount() / 1000); }

bool IsDirect(const SAS_DEVICE_ENTRY& s) { return s.bTargetId < PROXY_TARGET; }

// The partner's drive-side ports are targets of this list too.
bool IsPartnerPort(uint8_t bTarget) {
    if (fIsDualControllerActive() != TRUE) return false;
    return (fIsPartnerOnPath1() == TRUE && bGetPartnerAlpaPath1() == bTarget) ||
           (fIsPartnerOnPath2() == TRUE && bGetPartnerAlpaPath2() == bTarget);
}

const SAS_DEVICE_ENTRY* psEntryOfTarget(uint8_t bTarget) {
    const SAS_DEVICE_LIST* ps = pGetSASDriveInfoList();
    for (uint8_t i = 0; i < bEntries(ps); ++i) {
        if (ps->asEntry[i].bTargetId == bTarget) return &ps->asEntry[i];
    }
    return nullptr;
}

uint16_t wCountOutstanding() {
    const SAS_DEVICE_LIST* ps = pGetSASDriveInfoList();
    uint32_t d = 0;
    for (uint8_t i = 0; i < bEntries(ps); ++i) {
        const SAS_DEVICE_ENTRY& s = ps->asEntry[i];
        if (IsDirect(s) && s.fSAS != TRUE) d += s.wOutstanding;
    }
    return static_cast<uint16_t>(d < 0xFFFF ? d : 0xFFFF);
}

}  // namespace

void SASDeviceActivityCensus() {
    const uint64_t lNow = lGetTickCount();
    if (lNow < s_lNextCensus) return;
    s_lNextCensus = lNow + CENSUS_PERIOD_MS;
    SAS_DEVICE_LIST* ps = pGetSASDriveInfoList();
    uint8_t bDirect = 0, bProxy = 0, bActive = 0;
    for (uint8_t i = 0; i < bEntries(ps); ++i) {
        SAS_DEVICE_ENTRY& s = ps->asEntry[i];
        if (s.bTargetId == 0xFF) continue;
        if (!IsDirect(s)) {
            ++bProxy;
            continue;
        }
        ++bDirect;
        const bool fRecent = s.lLastCommandTime != 0 && lNow - s.lLastCommandTime <= ACTIVE_WINDOW_MS;
        if (fRecent) {
            ++bActive;
        } else if (s.wOutstanding == 0) {
            s.wDeviceFlags = static_cast<uint16_t>(s.wDeviceFlags & ~SAS_DEVICE_FLAG_RECENT);
        }
    }
    ps->bActiveCount1 = bDirect;
    ps->bActiveCount2 = bProxy;
    ps->bActiveCount3 = bActive;
}

uint8_t bFindSASTargetByIdentifier(const uint8_t* pbIdentifier, uint8_t* pbTarget) {
    const SAS_DEVICE_LIST* ps = pGetSASDriveInfoList();
    for (uint8_t i = 0; i < bEntries(ps); ++i) {
        const SAS_DEVICE_ENTRY& s = ps->asEntry[i];
        if (s.bTargetId != 0xFF && std::memcmp(s.abWWN, pbIdentifier, sizeof s.abWWN) == 0) {
            *pbTarget = s.bTargetId;
            return STATUS_OK;
        }
    }
    return 0;
}

uint8_t fIsSATAOptionSet() { return ToFlag(s_fSATAOption != FALSE); }
void SetSATAOption(uint8_t f) { s_fSATAOption = f; }

uint8_t fIsSATAOptionTarget(uint8_t bTarget) {
    if (fIsSATAOptionSet() != TRUE || bTarget >= PROXY_TARGET || IsPartnerPort(bTarget)) return FALSE;
    const SAS_DEVICE_ENTRY* ps = psEntryOfTarget(bTarget);
    return ToFlag(ps != nullptr && ps->fValid == TRUE && ps->fSAS == FALSE && (ps->bATAFeatures & ATA_FEATURE_OPTION));
}

uint16_t wCountSASOutstandingCommands(uint8_t fLock) {
    if (fLock != TRUE) return wCountOutstanding();
    InterruptSourceLock sLock(INT_SOURCE_DRIVE_SIDE);
    return wCountOutstanding();
}

uint8_t fCheckSASIdle(uint8_t fLock) {
    if (wCountSASOutstandingCommands(fLock) != 0) return FALSE;
    if (s_fIdle != TRUE) {
        s_fIdle = TRUE;
        s_dIdleSince = dNowSeconds();
    }
    return TRUE;
}

uint8_t fExpireSASIdle() {
    if (s_fIdle != TRUE || dNowSeconds() - s_dIdleSince < IDLE_HOLD_S) return FALSE;
    s_fIdle = FALSE;
    s_dIdleSince = dNowSeconds();
    return TRUE;
}

}  // namespace fw
