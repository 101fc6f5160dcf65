// The tables of the persistent reservations.
#include "target/pr_registrations.h"

#include <algorithm>
#include <cstring>

#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/host_port_tables.h"
#include "config/ld_table.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/ql_mailbox_commands.h"
#include "hw/host_interface.h"
#include "hw/scsi.h"

namespace fw {

namespace {

constexpr uint16_t NO_LUN = 0xFFFF;
constexpr uint8_t NAME_CACHE_SLOTS = 64;
constexpr uint8_t EMBEDDED_PORT_NAME[8] = {0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67};

struct PR_RESERVATION {
    uint8_t afReserved[PR_LUNS];
    uint8_t abType[PR_LUNS];
};

struct NAME_CACHE_ENTRY {
    uint8_t fValid;
    uint8_t bPortCode;
    uint16_t wInitiator;
    uint8_t abName[8];
};

PR_REGISTRATION s_asRegistration[PR_REGISTRATION_SLOTS];
uint16_t s_wRegistrationsUsed;          // the area's high-water mark
PR_RESERVATION s_sReservation;
uint16_t s_wReservedLuns;
uint32_t s_dGeneration;
uint8_t s_afAptpl[PR_LUNS];
PR_ATTENTION s_asAttention[PR_ATTENTION_SLOTS];
uint8_t s_afAttentionPending[2];
NAME_CACHE_ENTRY s_asNames[NAME_CACHE_SLOTS];
uint8_t s_bNextName;
// The identifier of each logical drive at the last apply.
uint8_t s_aabIdentity[PR_LUNS][16];
uint16_t s_wIdentities;
uint8_t s_fIdentitiesKnown = FALSE;
// The copy as the image should hold it, built before it is compared.
PR_RECORD s_asCopy[MAX_PR_RECORDS];

bool IsZero(const uint8_t* pb, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (pb[i] != 0) return false;
    return true;
}

void EmptyRegistration(PR_REGISTRATION* ps) {
    const uint32_t dLink = ps->dLink;
    std::memset(ps, PR_EMPTY_FIELD, sizeof(*ps));
    ps->fValid = FALSE;
    std::memset(ps->abKey, 0, sizeof(ps->abKey));
    std::memset(ps->abPortName, 0, sizeof(ps->abPortName));
    std::memset(ps->abReserved, 0, sizeof(ps->abReserved));
    ps->dLink = dLink;
}

void EmptyAttention(PR_ATTENTION* ps) {
    std::memset(ps, PR_EMPTY_FIELD, sizeof(*ps));
    ps->fValid = FALSE;
}

// The records in use are chained in area order; the last one's link is 0.
void Relink() {
    for (uint16_t i = 0; i < s_wRegistrationsUsed; i++) {
        s_asRegistration[i].dLink = i + 1u < s_wRegistrationsUsed ? i + 1u : 0;
    }
}

bool Matches(const PR_REGISTRATION& r, const PR_NEXUS& s) {
    return r.fValid == TRUE && r.wLun == s.wLun && r.bPortIndex == s.bPortIndex &&
           (r.bController == s.bController || r.bController == PR_ANY_CONTROLLER ||
            s.bController == PR_ANY_CONTROLLER) &&
           std::memcmp(r.abPortName, s.abPortName, 8) == 0;
}

void RecomputeAttentionBytes() {
    s_afAttentionPending[0] = s_afAttentionPending[1] = FALSE;
    for (const PR_ATTENTION& s : s_asAttention) {
        if (s.fValid == TRUE && s.bPortIndex < 2) s_afAttentionPending[s.bPortIndex] = TRUE;
    }
}

void CountReserved() {
    s_wReservedLuns = 0;
    for (uint16_t w = 0; w < PR_LUNS; w++)
        if (s_sReservation.afReserved[w] == TRUE) s_wReservedLuns++;
}

NAME_CACHE_ENTRY* psCachedName(uint8_t bPortCode, uint16_t wInitiator) {
    for (NAME_CACHE_ENTRY& s : s_asNames) {
        if (s.fValid == TRUE && s.bPortCode == bPortCode && s.wInitiator == wInitiator) return &s;
    }
    return nullptr;
}

// The login tables list initiator numbers below 255; a higher handle (or
// one the table has not caught up with) is asked of the host chip.
bool LookUpName(uint8_t bPortCode, uint16_t wInitiator, uint8_t* pbName) {
    const bool fFibre = bPortCode == 1 || bPortCode == 2;
    if (fFibre && bQLGetPortName(bPortCode, wInitiator, TRUE, pbName, nullptr) == STATUS_OK && !IsZero(pbName, 8)) {
        return true;
    }
    return wInitiator < HOST_PORT_INITIATORS &&
           GetHostPortPortName(bPortCode, static_cast<uint8_t>(wInitiator), pbName) == STATUS_OK && !IsZero(pbName, 8);
}

// The records the image should hold: every registration of an APTPL
// logical drive.
uint16_t wBuildCopy() {
    std::memset(s_asCopy, 0, sizeof(s_asCopy));
    uint16_t wCount = 0;
    for (const PR_REGISTRATION& r : s_asRegistration) {
        if (r.fValid != TRUE || r.wLun >= PR_LUNS || s_afAptpl[r.wLun] != TRUE) continue;
        std::memcpy(&s_asCopy[wCount++], &r, PR_IMAGE_RECORD_BYTES);
    }
    return wCount;
}

void RemapLun(uint16_t* pwLun, const uint16_t* pwNew) { *pwLun = *pwLun < PR_LUNS ? pwNew[*pwLun] : NO_LUN; }

}  // namespace

void InitPrTables() {
    for (PR_REGISTRATION& s : s_asRegistration) {
        s.dLink = 0;
        EmptyRegistration(&s);
    }
    s_wRegistrationsUsed = 0;
    std::memset(&s_sReservation, PR_EMPTY_FIELD, sizeof(s_sReservation));
    std::memset(s_sReservation.afReserved, FALSE, sizeof(s_sReservation.afReserved));
    s_wReservedLuns = 0;
    s_dGeneration = 0;
    std::memset(s_afAptpl, FALSE, sizeof(s_afAptpl));
    for (PR_ATTENTION& s : s_asAttention) EmptyAttention(&s);
    RecomputeAttentionBytes();
    std::memset(s_asNames, 0, sizeof(s_asNames));
    s_bNextName = 0;
    s_fIdentitiesKnown = FALSE;
    s_wIdentities = 0;
}

uint8_t fGetInitiatorPortName(uint8_t bPortCode, uint16_t wInitiator, uint8_t* pbName) {
    if (bGetHostInterfaceType() == HOST_INTERFACE_EMBEDDED) {
        std::memcpy(pbName, EMBEDDED_PORT_NAME, 8);
        return TRUE;
    }
    if (const NAME_CACHE_ENTRY* ps = psCachedName(bPortCode, wInitiator)) {
        std::memcpy(pbName, ps->abName, 8);
        return TRUE;
    }
    if (!LookUpName(bPortCode, wInitiator, pbName)) return FALSE;
    NAME_CACHE_ENTRY& s = s_asNames[s_bNextName];
    s_bNextName = static_cast<uint8_t>((s_bNextName + 1) % NAME_CACHE_SLOTS);
    s = NAME_CACHE_ENTRY{TRUE, bPortCode, wInitiator, {}};
    std::memcpy(s.abName, pbName, 8);
    return TRUE;
}

void ForgetInitiatorPortName(uint8_t bPortCode, uint16_t wInitiator) {
    for (NAME_CACHE_ENTRY& s : s_asNames) {
        if (s.bPortCode == bPortCode && s.wInitiator == wInitiator) s.fValid = FALSE;
    }
}

// A scan lists the hosts now on the port: a name learnt for an initiator
// number that the list gives to another host now, or to none, is learnt
// again, so that a host that took over a number (its login came without
// the last one's logout) is not taken for the one before it and does not
// act with its registrations.
void RecheckInitiatorPortNames(uint8_t bPortCode, const HOST_PORT_RECORD* psRecord) {
    const uint8_t bCount = psRecord == nullptr ? 0 : std::min<uint8_t>(psRecord->bInitiatorCount, HOST_PORT_INITIATORS);
    for (NAME_CACHE_ENTRY& s : s_asNames) {
        if (s.fValid != TRUE || s.bPortCode != bPortCode) continue;
        bool fListed = false;
        for (uint8_t i = 0; i < bCount && !fListed; ++i) {
            const HOST_INITIATOR& sListed = psRecord->asInitiator[i];
            fListed = sListed.bId == s.wInitiator && std::memcmp(sListed.abPortName, s.abName, 8) == 0;
        }
        if (!fListed) s.fValid = FALSE;
    }
}

void ForgetInitiatorPortNames(uint8_t bPortCode) {
    for (NAME_CACHE_ENTRY& s : s_asNames) {
        if (s.bPortCode == bPortCode) s.fValid = FALSE;
    }
}

PR_REGISTRATION* psFindPrRegistration(const PR_NEXUS& s) {
    for (uint16_t i = 0; i < s_wRegistrationsUsed; i++) {
        if (Matches(s_asRegistration[i], s)) return &s_asRegistration[i];
    }
    return nullptr;
}

PR_REGISTRATION* psFindPrRegistrationByKey(uint16_t wLun, const uint8_t* pbKey) {
    for (uint16_t i = 0; i < s_wRegistrationsUsed; i++) {
        PR_REGISTRATION& r = s_asRegistration[i];
        if (r.fValid == TRUE && r.wLun == wLun && std::memcmp(r.abKey, pbKey, 8) == 0) return &r;
    }
    return nullptr;
}

PR_REGISTRATION* psNextPrRegistration(const PR_REGISTRATION* psAfter) {
    for (uint16_t i = psAfter == nullptr ? 0 : static_cast<uint16_t>(psAfter - s_asRegistration + 1);
         i < s_wRegistrationsUsed; i++) {
        if (s_asRegistration[i].fValid == TRUE) return &s_asRegistration[i];
    }
    return nullptr;
}

uint16_t wCountPrRegistrations(uint16_t wLun) {
    uint16_t wCount = 0;
    for (uint16_t i = 0; i < s_wRegistrationsUsed; i++) {
        const PR_REGISTRATION& r = s_asRegistration[i];
        if (r.fValid != TRUE || r.wLun != wLun) continue;
        wCount = static_cast<uint16_t>(wCount + (r.bController == PR_ANY_CONTROLLER ? 2 : 1));
    }
    return wCount;
}

uint16_t wFreePrRegistrations() {
    uint16_t wFree = static_cast<uint16_t>(PR_REGISTRATION_SLOTS - s_wRegistrationsUsed);
    for (uint16_t i = 0; i < s_wRegistrationsUsed; i++)
        if (s_asRegistration[i].fValid != TRUE) wFree++;
    return wFree;
}

PR_REGISTRATION* psAddPrRegistration(const PR_NEXUS& s, const uint8_t* pbKey) {
    PR_REGISTRATION* ps = nullptr;
    for (uint16_t i = 0; i < s_wRegistrationsUsed && ps == nullptr; i++) {
        if (s_asRegistration[i].fValid != TRUE) ps = &s_asRegistration[i];
    }
    if (ps == nullptr) {
        if (s_wRegistrationsUsed >= PR_REGISTRATION_SLOTS) return nullptr;
        ps = &s_asRegistration[s_wRegistrationsUsed++];
        Relink();
    }
    ps->fValid = TRUE;
    ps->fOwner = FALSE;
    std::memcpy(ps->abKey, pbKey, 8);
    std::memcpy(ps->abPortName, s.abPortName, 8);
    ps->wLun = s.wLun;
    ps->bController = s.bController;
    ps->bPortIndex = s.bPortIndex;
    ps->fHolder = FALSE;
    ps->bType = 0;
    return ps;
}

void RemovePrRegistration(PR_REGISTRATION* ps) { EmptyRegistration(ps); }

void RemovePrRegistrations(uint16_t wLun, const uint8_t* pbKey, uint8_t bReason, const PR_REGISTRATION* psExcept) {
    for (uint16_t i = 0; i < s_wRegistrationsUsed; i++) {
        PR_REGISTRATION& r = s_asRegistration[i];
        if (r.fValid != TRUE || r.wLun != wLun || &r == psExcept) continue;
        if (pbKey != nullptr && std::memcmp(r.abKey, pbKey, 8) != 0) continue;
        if (bReason != 0) PostPrAttention(&r, bReason);
        EmptyRegistration(&r);
    }
}

void PostPrAttentionToOthers(uint16_t wLun, uint8_t bReason, const PR_REGISTRATION* psExcept) {
    for (uint16_t i = 0; i < s_wRegistrationsUsed; i++) {
        const PR_REGISTRATION& r = s_asRegistration[i];
        if (r.fValid == TRUE && r.wLun == wLun && &r != psExcept) PostPrAttention(&r, bReason);
    }
}

void SetPrHolders(uint16_t wLun, uint8_t bType, uint8_t fHolder) {
    for (uint16_t i = 0; i < s_wRegistrationsUsed; i++) {
        PR_REGISTRATION& r = s_asRegistration[i];
        if (r.fValid != TRUE || r.wLun != wLun) continue;
        r.fHolder = fHolder;
        r.bType = fHolder == TRUE ? bType : 0;
        if (fHolder != TRUE) r.fOwner = FALSE;
    }
}

uint8_t fIsPrReserved(uint16_t wLun) { return wLun < PR_LUNS ? s_sReservation.afReserved[wLun] : FALSE; }
uint8_t bGetPrType(uint16_t wLun) { return wLun < PR_LUNS ? s_sReservation.abType[wLun] : 0; }

PR_REGISTRATION* psGetPrHolder(uint16_t wLun) {
    if (fIsPrReserved(wLun) != TRUE || IsPrAllRegistrants(bGetPrType(wLun))) return nullptr;
    for (uint16_t i = 0; i < s_wRegistrationsUsed; i++) {
        PR_REGISTRATION& r = s_asRegistration[i];
        if (r.fValid == TRUE && r.wLun == wLun && r.fHolder == TRUE && r.fOwner == TRUE) return &r;
    }
    return nullptr;
}

void SetPrReservation(uint16_t wLun, uint8_t bType) {
    if (wLun >= PR_LUNS) return;
    s_sReservation.afReserved[wLun] = TRUE;
    s_sReservation.abType[wLun] = bType;
    CountReserved();
}

void ReleasePrReservation(uint16_t wLun) {
    if (wLun >= PR_LUNS) return;
    s_sReservation.afReserved[wLun] = FALSE;
    s_sReservation.abType[wLun] = PR_EMPTY_FIELD;
    SetPrHolders(wLun, 0, FALSE);
    CountReserved();
}

uint8_t fIsAnyPersistentReservation() { return ToFlag(s_wReservedLuns != 0); }

uint32_t dGetPrGeneration() { return s_dGeneration; }
void IncrementPrGeneration() { s_dGeneration++; }
uint8_t fGetPrAptpl(uint16_t wLun) { return wLun < PR_LUNS ? s_afAptpl[wLun] : FALSE; }
void SetPrAptpl(uint16_t wLun, uint8_t f) {
    if (wLun < PR_LUNS) s_afAptpl[wLun] = f == TRUE ? TRUE : FALSE;
}

uint8_t fGetPrAttentionPendingByte(uint8_t bPortIndex) {
    return bPortIndex < 2 ? s_afAttentionPending[bPortIndex] : FALSE;
}

PR_ATTENTION* psFindPrAttention(const PR_NEXUS& s) {
    for (PR_ATTENTION& a : s_asAttention) {
        if (a.fValid == TRUE && a.wLun == s.wLun && a.bPortIndex == s.bPortIndex &&
            (a.bController == s.bController || a.bController == PR_ANY_CONTROLLER) &&
            std::memcmp(a.abPortName, s.abPortName, 8) == 0) {
            return &a;
        }
    }
    return nullptr;
}

void PostPrAttention(const PR_REGISTRATION* ps, uint8_t bReason) {
    for (PR_ATTENTION& a : s_asAttention) {
        if (a.fValid == TRUE) continue;
        a.fValid = TRUE;
        a.bReason = bReason;
        std::memcpy(a.abPortName, ps->abPortName, 8);
        a.bController = ps->bController;
        a.bPortIndex = ps->bPortIndex;
        a.wLun = ps->wLun;
        RecomputeAttentionBytes();
        return;
    }
}

void ClearPrAttention(PR_ATTENTION* ps) {
    EmptyAttention(ps);
    RecomputeAttentionBytes();
}

void GetPrAttentionSense(uint8_t bReason, uint8_t* pbAsc, uint8_t* pbAscq) {
    switch (bReason) {
    case PR_ATTENTION_RESERVATIONS_PREEMPTED: *pbAsc = ASC_PARAMETERS_CHANGED; *pbAscq = 0x03; break;
    case PR_ATTENTION_RESERVATIONS_RELEASED: *pbAsc = ASC_PARAMETERS_CHANGED; *pbAscq = 0x04; break;
    case PR_ATTENTION_REGISTRATIONS_PREEMPTED: *pbAsc = ASC_PARAMETERS_CHANGED; *pbAscq = 0x05; break;
    default: *pbAsc = ASC_POWER_ON_RESET; *pbAscq = 0; break;
    }
}

uint8_t fWritePrImageCopy() {
    if (fIsConfigCommitInProgress() == TRUE) return FALSE;
    CONFIG_IMAGE* psImage = pGetConfigImage();
    const uint16_t wCount = wBuildCopy();
    std::memcpy(psImage->asPrRecord, s_asCopy, sizeof(s_asCopy));
    psImage->sHeader.wPrRecordCount = wCount;
    return TRUE;
}

uint8_t fPrImageCopyDiffers() {
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    const uint16_t wCount = wBuildCopy();
    return ToFlag(psImage->sHeader.wPrRecordCount != wCount ||
                  std::memcmp(psImage->asPrRecord, s_asCopy, sizeof(s_asCopy)) != 0);
}

void RestorePersistentReservation(const PR_RECORD* psRecord) {
    PR_REGISTRATION s{};
    std::memcpy(&s, psRecord, PR_IMAGE_RECORD_BYTES);
    if (s.fValid != TRUE || s.wLun >= wGetLogicalDriveCount() || s.bPortIndex > 1) return;
    PR_NEXUS sNexus{};
    std::memcpy(sNexus.abPortName, s.abPortName, 8);
    sNexus.wLun = s.wLun;
    sNexus.bPortIndex = s.bPortIndex;
    sNexus.bController = s.bController;
    SetPrAptpl(s.wLun, TRUE);
    if (psFindPrRegistration(sNexus) != nullptr) return;
    PR_REGISTRATION* ps = psAddPrRegistration(sNexus, s.abKey);
    if (ps == nullptr) return;
    // A holder restores the reservation with it.
    if (s.fHolder == TRUE && IsPrTypeValid(s.bType)) {
        ps->fHolder = TRUE;
        ps->fOwner = s.fOwner == TRUE ? TRUE : FALSE;
        ps->bType = s.bType;
        if (fIsPrReserved(s.wLun) != TRUE) SetPrReservation(s.wLun, s.bType);
    }
}

uint8_t fReconcilePersistentReservations(CONFIG_IMAGE* psImage) {
    const uint16_t wLds = static_cast<uint16_t>(dClampedLdCount(psImage));
    const bool fKnown = s_fIdentitiesKnown == TRUE;
    uint16_t awNew[PR_LUNS];
    for (uint16_t i = 0; i < PR_LUNS; i++) awNew[i] = NO_LUN;
    for (uint16_t i = 0; fKnown && i < s_wIdentities; i++) {
        // A drive without an identifier can only be known by its place.
        if (IsZero(s_aabIdentity[i], 16)) {
            if (i < wLds && IsZero(psImage->asLd[i].abLdIdentifier, 16)) awNew[i] = i;
            continue;
        }
        for (uint16_t j = 0; j < wLds; j++) {
            if (std::memcmp(psImage->asLd[j].abLdIdentifier, s_aabIdentity[i], 16) == 0) awNew[i] = j;
        }
    }
    for (uint16_t j = 0; j < wLds; j++) std::memcpy(s_aabIdentity[j], psImage->asLd[j].abLdIdentifier, 16);
    s_wIdentities = wLds;
    s_fIdentitiesKnown = TRUE;
    // At the start of day the image is what there is to know.
    if (!fKnown) return FALSE;

    for (uint16_t i = 0; i < s_wRegistrationsUsed; i++) {
        PR_REGISTRATION& r = s_asRegistration[i];
        if (r.fValid != TRUE) continue;
        RemapLun(&r.wLun, awNew);
        if (r.wLun == NO_LUN) EmptyRegistration(&r);
    }
    for (PR_ATTENTION& a : s_asAttention) {
        if (a.fValid != TRUE) continue;
        RemapLun(&a.wLun, awNew);
        if (a.wLun == NO_LUN) EmptyAttention(&a);
    }
    RecomputeAttentionBytes();
    PR_RESERVATION sOld = s_sReservation;
    uint8_t afOldAptpl[PR_LUNS];
    std::memcpy(afOldAptpl, s_afAptpl, sizeof(afOldAptpl));
    std::memset(s_sReservation.afReserved, FALSE, sizeof(s_sReservation.afReserved));
    std::memset(s_sReservation.abType, PR_EMPTY_FIELD, sizeof(s_sReservation.abType));
    std::memset(s_afAptpl, FALSE, sizeof(s_afAptpl));
    for (uint16_t i = 0; i < PR_LUNS; i++) {
        if (awNew[i] == NO_LUN) continue;
        s_sReservation.afReserved[awNew[i]] = sOld.afReserved[i];
        s_sReservation.abType[awNew[i]] = sOld.abType[i];
        s_afAptpl[awNew[i]] = afOldAptpl[i];
    }
    CountReserved();

    // The image came from the drives or an editor's copy: what it holds of
    // the APTPL registrations is made what the tables hold, and stored.
    if (fPrImageCopyDiffers() != TRUE) return FALSE;
    std::memcpy(psImage->asPrRecord, s_asCopy, sizeof(s_asCopy));
    psImage->sHeader.wPrRecordCount = wBuildCopy();
    if (fIsConfigUpdatePending() != TRUE) (void)RequestConfigUpdate(REQUESTER_TARGET_ENGINE);
    return TRUE;
}

void LoadPrAreaFromBuffer(const uint8_t* pb, uint32_t dLength) {
    constexpr uint32_t HEAD = 4 + 4 * PR_LUNS;
    if (dLength < HEAD) return;
    uint32_t dGeneration;
    std::memcpy(&dGeneration, pb, 4);
    if (dGeneration > s_dGeneration) s_dGeneration = dGeneration;
    for (uint16_t w = 0; w < PR_LUNS; w++) {
        uint32_t d;
        std::memcpy(&d, pb + 4 + 4 * w, 4);
        if (d == TRUE) s_afAptpl[w] = TRUE;
    }
    for (uint32_t d = HEAD; d + sizeof(PR_REGISTRATION) <= dLength; d += sizeof(PR_REGISTRATION)) {
        PR_REGISTRATION r;
        std::memcpy(&r, pb + d, sizeof(r));
        if (r.fValid == TRUE && r.wLun < PR_LUNS) {
            PR_NEXUS s{};
            std::memcpy(s.abPortName, r.abPortName, 8);
            s.wLun = r.wLun;
            s.bPortIndex = r.bPortIndex;
            s.bController = r.bController;
            PR_REGISTRATION* ps = psFindPrRegistration(s);
            if (ps == nullptr) ps = psAddPrRegistration(s, r.abKey);
            if (ps != nullptr) {
                ps->fOwner = r.fOwner;
                ps->fHolder = r.fHolder;
                ps->bType = r.bType;
                if (r.fHolder == TRUE && IsPrTypeValid(r.bType)) SetPrReservation(r.wLun, r.bType);
            }
        }
        if (r.dLink == 0) break;
    }
}

void LoadPrAttentionsFromBuffer(const uint8_t* pb, uint32_t dLength) {
    for (uint16_t w = 0; w < PR_ATTENTION_SLOTS && (w + 1u) * sizeof(PR_ATTENTION) <= dLength; w++) {
        std::memcpy(&s_asAttention[w], pb + w * sizeof(PR_ATTENTION), sizeof(PR_ATTENTION));
        if (s_asAttention[w].fValid != TRUE) EmptyAttention(&s_asAttention[w]);
    }
    RecomputeAttentionBytes();
}

uint32_t dBuildPrArea(uint8_t* pb) {
    std::memcpy(pb, &s_dGeneration, 4);
    for (uint16_t w = 0; w < PR_LUNS; w++) {
        const uint32_t d = s_afAptpl[w];
        std::memcpy(pb + 4 + 4 * w, &d, 4);
    }
    uint32_t dLength = 4 + 4 * PR_LUNS;
    std::memcpy(pb + dLength, s_asRegistration, sizeof(PR_REGISTRATION) * s_wRegistrationsUsed);
    return dLength + sizeof(PR_REGISTRATION) * s_wRegistrationsUsed;
}

uint32_t dBuildPrAttentions(uint8_t* pb) {
    std::memcpy(pb, s_asAttention, sizeof(s_asAttention));
    return sizeof(s_asAttention);
}

}  // namespace fw
