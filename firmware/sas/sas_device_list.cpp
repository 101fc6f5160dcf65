#include "sas/sas_device_list.h"

#include <cstring>

#include "config/apply_settings.h"
#include "config/drive_tables.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_error_counters.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/port_codes.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "sas/aa_mux.h"
#include "sas/command_timeouts.h"
#include "sas/ioc_events.h"
#include "sas/repost_rings.h"
#include "sas/active_active.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_failback.h"
#include "sas/sas_flags.h"
#include "sas/sas_scsi_path.h"

namespace fw {

namespace {

SAS_DEVICE_LIST s_sCurrent;
SAS_DEVICE_LIST s_sPrevious;
SAS_DEVICE_LIST s_sPartner;
SAS_DEVICE_LIST s_sWork;

uint8_t s_abDeviceIndexOfTarget[256];
uint32_t s_adTargetFlags[256];
uint64_t s_alTargetHoldOff[256];
uint32_t s_dListOverflows = 0;
// The controller enclosure's processor, kept out of the STP entries.
uint8_t s_bEnclosure1Target = 0xFF;
uint8_t s_bEnclosure1Bus = 0;
// One byte per enclosure (0..16) and slot (0..32); bit 0: the slot is
// disabled and its drive is not listed.
uint8_t s_aabSlotDisable[SAS_SLOT_TABLE_ENCLOSURES][SAS_SLOT_TABLE_SLOTS];
SAS_PARTNER_PATH s_asPartnerPath[2];
// The SAS address of the port each path last had: a port that leaves and
// comes back takes its own path again.
uint32_t s_aadPathPort[2][2] = {};

constexpr uint8_t EVENT_DRIVE_INSERTED = 97;
constexpr uint8_t EVENT_DRIVE_REMOVED = 118;
constexpr uint8_t EVENT_SLOT_PATH_CHANGED = 173;
constexpr uint8_t SLOT_NOW_LOCAL = 1;
constexpr uint16_t DEVICE_PAGE_FLAGS_ENTERED = 0x0003;
// Drives whose address word carries this company identifier number their
// ports in bits 7-6 of byte 5 rather than in the low bits of byte 7.
constexpr uint32_t PORT_BITS_IN_BYTE5_COMPANY = 0x0000CCA0;
constexpr uint32_t START_OF_DAY_READY_MS = 60000;
constexpr uint32_t FIRST_DISCOVERY_SETTLE_MS = 4000;
constexpr uint32_t MORE_DISCOVERY_SETTLE_MS = 6000;
constexpr uint8_t START_OF_DAY_MORE_PASSES = 2;
constexpr uint32_t TARGET_RESET_SETTLE_MS = 1000;
// Beside a partner starting too, the slot-2 controller waits for the
// partner's drive side to answer before it looks at the fabric.
constexpr uint8_t PARTNER_READY_TRIES = 20;
constexpr uint32_t PARTNER_READY_RETRY_MS = 2000;
constexpr uint8_t TARGET_RESET_SETTLE_TIMES = 3;
constexpr uint8_t SLOT_DISABLED = 0x01;
constexpr uint8_t BUSY_SLOTS = 12;
// The bit of each of the first twelve slots in the busy mask: in slot
// order, or in the interleaved order of the backplane that numbers its
// slots so.
constexpr uint8_t BUSY_SLOT_BIT[2][BUSY_SLOTS] = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                                                  {1, 2, 4, 5, 7, 8, 10, 11, 3, 6, 9, 12}};
constexpr uint8_t BACKPLANE_INTERLEAVED = 6;
constexpr uint32_t STP_CHANGE_HOLD_OFF_MS = 5000;
uint8_t s_bSkippedProxies = 0;

bool SameIdentity(const SAS_DEVICE_ENTRY& a, const SAS_DEVICE_ENTRY& b) {
    return a.adSASAddress[0] == b.adSASAddress[0] && a.adSASAddress[1] == b.adSASAddress[1] &&
           a.bTargetId == b.bTargetId && a.bBus == b.bBus && a.wDevHandle == b.wDevHandle &&
           a.bEnclosure == b.bEnclosure && a.bSlot == b.bSlot;
}

void ClearEntry(SAS_DEVICE_ENTRY* ps) {
    std::memset(ps, 0, sizeof *ps);
    ps->bTargetId = ps->bPartnerTargetId = ps->bByte19 = 0xFF;
    ps->wDevHandle = ps->wHalf22 = 0xFFFF;
    ps->fValid = ps->fReady = FALSE;
    ps->fSAS = TRUE;
    ps->bByte27 = 1;
    ps->bEnclosure = ps->bSlot = 0xFF;
    ps->fMovingFlag = FALSE;
}

void IndexTargets(const SAS_DEVICE_LIST& sList) {
    std::memset(s_abDeviceIndexOfTarget, SAS_DEVICE_INDEX_NONE, sizeof s_abDeviceIndexOfTarget);
    for (uint8_t i = 0; i < sList.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        const uint8_t bTarget = sList.asEntry[i].bTargetId;
        if (bTarget == 0xFF) continue;
        s_abDeviceIndexOfTarget[bTarget] = i;
        SetSASTargetGone(bTarget, FALSE);
    }
    // The partner's enclosure processors have no device entry here.
    for (uint8_t i = 0; i < sList.bStpCount && i < SAS_MAX_STP_ENTRIES; ++i) {
        const uint8_t bTarget = reinterpret_cast<const SAS_STP_ENTRY*>(sList.aabStp[i])->bTargetId;
        if (bTarget == 0xFF) continue;
        SetSASTargetGone(bTarget, FALSE);
        if (bTarget & SAS_PROXY_TARGET_BIT) s_abDeviceIndexOfTarget[bTarget] = SAS_DEVICE_INDEX_PROXY;
    }
}

bool IsListed(const SAS_DEVICE_LIST& sList, uint8_t bTarget) {
    for (uint8_t i = 0; i < sList.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        if (sList.asEntry[i].bTargetId == bTarget) return true;
    }
    for (uint8_t i = 0; i < sList.bStpCount && i < SAS_MAX_STP_ENTRIES; ++i) {
        if (reinterpret_cast<const SAS_STP_ENTRY*>(sList.aabStp[i])->bTargetId == bTarget) return true;
    }
    return false;
}

// The targets whose device left the list in one pass.  What each held at
// the IOC ends at once, as for a device that is not there (not as aborted
// by a host: the arrays go on without it, from redundancy where they have
// it); what is still queued for it ends the same way when it comes up to
// be sent, marked once the new list is indexed: the whole target while no
// device holds the id, else only what was queued before the newcomer.
struct DEPARTED_TARGETS {
    uint8_t abTarget[SAS_MAX_DEVICES + SAS_MAX_STP_ENTRIES];
    uint8_t bCount = 0;

    void Add(uint8_t bTarget) {
        EndGoneSASTargetCommands(bTarget);
        if (bCount < sizeof abTarget) abTarget[bCount++] = bTarget;
    }
    void Mark(const SAS_DEVICE_LIST& sList) const {
        for (uint8_t i = 0; i < bCount; ++i) {
            if (IsListed(sList, abTarget[i])) {
                MarkSASTargetQueueGone(abTarget[i]);
            } else {
                SetSASTargetGone(abTarget[i], TRUE);
            }
        }
    }
};

const SAS_DEVICE_ENTRY* FindByWwn(const uint8_t* pbWwn) {
    if (fIsNonZeroWwn(pbWwn) != TRUE) return nullptr;
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        if (std::memcmp(s_sCurrent.asEntry[i].abWWN, pbWwn, 8) == 0) return &s_sCurrent.asEntry[i];
    }
    return nullptr;
}

bool fIsKnownDevice(const SAS_DEVICE_ENTRY& s) {
    for (uint8_t j = 0; j < s_sPrevious.bEntryCount && j < SAS_MAX_DEVICES; ++j) {
        if (SameIdentity(s_sPrevious.asEntry[j], s)) return true;
    }
    return false;
}

void PostDriveEvent(uint8_t bCode, const SAS_DEVICE_ENTRY& s) {
    PostEvent(bCode, s.abWWN[0], s.abWWN[1], s.abWWN[2], s.abWWN[3], s.abWWN[4], s.abWWN[5], s.abWWN[6], s.abWWN[7],
              bGetDriveIndexFromEnclosureSlot(s.bEnclosure, s.bSlot), 255, 255, s.bEnclosure, s.bSlot, s.fSAS);
}

// Adds one drive found behind an expander phy to the work list.
void EnterDevice(const SAS_EXPANDER& sExpander, uint8_t bPhy) {
    const uint8_t* pb = nullptr;
    if (bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE, 0,
                             MPI_SAS_PAGE_FORM_HANDLE | sExpander.awAttachedHandle[bPhy], &pb) != STATUS_OK) {
        return;
    }
    MPI_SAS_DEVICE_PAGE_0 s0;
    std::memcpy(&s0, pb, sizeof s0);
    if ((s0.wFlags & DEVICE_PAGE_FLAGS_ENTERED) != DEVICE_PAGE_FLAGS_ENTERED || s0.bAccessStatus != 0) return;
    if (s0.bTargetID >= SAS_PROXY_TARGET_BIT) return;  // the IOC's own ids stay below the proxy range
    const uint8_t bSlot = bSlotOfExpanderPhy(&sExpander, bPhy);
    if (fIsSASSlotDisabled(sExpander.bEnclosure, bSlot) == TRUE) return;
    // A SATA drive behind a port selector that the partner owns is reached
    // through the partner: it comes back as the partner's proxy entry.
    if (!(s0.dDeviceInfo & MPI_SAS_DEVICE_INFO_SSP_TARGET) && (sExpander.adPhyInfo[bPhy] & MPI_SAS_PHYINFO_PORT_SELECTOR) &&
        fIsDualControllerActive() == TRUE && fIsInitializationComplete() == TRUE &&
        bGetSlotOwnerController(sExpander.bEnclosure, bSlot) != bGetControllerNumber()) {
        ++s_bSkippedProxies;
        return;
    }
    if (s_sWork.bEntryCount >= SAS_MAX_DEVICES) {
        ++s_dListOverflows;
        return;
    }
    SAS_DEVICE_ENTRY& s = s_sWork.asEntry[s_sWork.bEntryCount++];
    ClearEntry(&s);
    s.adSASAddress[0] = s0.dSASAddressLow;
    s.adSASAddress[1] = s0.dSASAddressHigh;
    s.bTargetId = s0.bTargetID;
    s.bBus = s0.bBus;
    s.wDevHandle = s0.wDevHandle;
    s.fValid = TRUE;
    s.bEnclosure = sExpander.bEnclosure;
    s.bSlot = bSlot;
    s.bControllerNumber = bGetControllerNumber();
    s.wDeviceFlags = s0.wFlags;
    s.fSAS = ToFlag((s0.dDeviceInfo & MPI_SAS_DEVICE_INFO_SSP_TARGET) != 0);
    s.wQueueDepth = s.fSAS == TRUE ? 16 : 8;
    // A SATA drive whose phy shows no port selector sits behind an
    // active-active multiplexer.
    if (s.fSAS != TRUE && !(sExpander.adPhyInfo[bPhy] & MPI_SAS_PHYINFO_PORT_SELECTOR)) {
        s.bStatus |= SAS_DEVICE_STATUS_AA_MUX;
    } else {
        s.bStatus &= static_cast<uint8_t>(~SAS_DEVICE_STATUS_AA_MUX);
    }
    MakeSASDriveWwn(s0.dSASAddressLow, s0.dSASAddressHigh, s.abWWN);
    for (uint8_t i = 0; i < s_sPrevious.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        if (SameIdentity(s_sPrevious.asEntry[i], s)) s.fReady = ToFlag(s_sPrevious.asEntry[i].fValid == TRUE);
    }
}

uint32_t dNativeFlag(const SAS_DEVICE_ENTRY& s) { return s.fSAS == TRUE ? SAS_TARGET_FLAG_NATIVE : 0; }

// The partner's entry for the same drive: the same address and target
// (the partner's proxy bit aside), the same handle and the same slot.
bool SamePartnerDrive(const SAS_DEVICE_ENTRY& a, const SAS_DEVICE_ENTRY& b) {
    return a.adSASAddress[0] == b.adSASAddress[0] && a.adSASAddress[1] == b.adSASAddress[1] &&
           (a.bTargetId & ~SAS_PROXY_TARGET_BIT) == (b.bTargetId & ~SAS_PROXY_TARGET_BIT) && a.bBus == b.bBus &&
           a.wDevHandle == b.wDevHandle && a.bEnclosure == b.bEnclosure && a.bSlot == b.bSlot;
}

// Drives only the partner reaches get a proxy entry (the partner's target
// id with bit 7 set) in a slot the list has no drive in.  A proxy the
// previous list already held (psKept) keeps its flags and hold-off; a new
// one starts clear.  True when any was added.
bool AddPartnerProxies(SAS_DEVICE_LIST& sList, const SAS_DEVICE_LIST* psKept) {
    const uint8_t bOwn = bGetControllerNumber();
    bool fAdded = false;
    for (uint8_t j = 0; j < s_sPartner.bEntryCount && j < SAS_MAX_DEVICES; ++j) {
        const SAS_DEVICE_ENTRY& p = s_sPartner.asEntry[j];
        if (p.fValid != TRUE || p.bControllerNumber == bOwn || p.bTargetId == 0xFF) continue;
        bool fHere = false;
        for (uint8_t i = 0; i < sList.bEntryCount && !fHere; ++i) {
            const SAS_DEVICE_ENTRY& s = sList.asEntry[i];
            fHere = SamePartnerDrive(s, p) || (s.bEnclosure == p.bEnclosure && s.bSlot == p.bSlot);
        }
        if (fHere) continue;
        if (sList.bEntryCount >= SAS_MAX_DEVICES) {
            ++s_dListOverflows;
            break;
        }
        SAS_DEVICE_ENTRY& s = sList.asEntry[sList.bEntryCount++];
        s = p;
        s.bTargetId = static_cast<uint8_t>(p.bTargetId | SAS_PROXY_TARGET_BIT);
        fAdded = true;
        bool fKept = false;
        for (uint8_t i = 0; psKept != nullptr && i < psKept->bEntryCount && i < SAS_MAX_DEVICES && !fKept; ++i) {
            fKept = SameIdentity(psKept->asEntry[i], s);
        }
        if (fKept) continue;
        s_adTargetFlags[s.bTargetId] = dNativeFlag(s);
        s_alTargetHoldOff[s.bTargetId] = 0;
    }
    return fAdded;
}

uint8_t bCountProxies(const SAS_DEVICE_LIST& sList) {
    uint8_t b = 0;
    for (uint8_t i = 0; i < sList.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        if (sList.asEntry[i].bTargetId != 0xFF && (sList.asEntry[i].bTargetId & SAS_PROXY_TARGET_BIT)) ++b;
    }
    return b;
}

SAS_STP_ENTRY* psStp(SAS_DEVICE_LIST& sList, uint8_t i) { return reinterpret_cast<SAS_STP_ENTRY*>(sList.aabStp[i]); }

// Every listed SAS drive takes its commands as sent, and so does an
// enclosure processor reached through the partner.  Set from the list each
// time it is built, not only for devices new to it: an IOC restart clears
// every target's flag word, and a drive found again keeps its old record,
// so its flag would otherwise stay clear and the drive be answered as a
// SATA drive by this controller (its READ CAPACITY "done" unsent).
void MarkNativeTargets(SAS_DEVICE_LIST& sList) {
    for (uint8_t i = 0; i < sList.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        const SAS_DEVICE_ENTRY& s = sList.asEntry[i];
        if (s.bTargetId == 0xFF) continue;
        s_adTargetFlags[s.bTargetId] = (s_adTargetFlags[s.bTargetId] & ~SAS_TARGET_FLAG_NATIVE) | dNativeFlag(s);
    }
    for (uint8_t i = 0; i < sList.bStpCount && i < SAS_MAX_STP_ENTRIES; ++i) {
        const uint8_t bTarget = psStp(sList, i)->bTargetId;
        if (bTarget != 0xFF && (bTarget & SAS_PROXY_TARGET_BIT)) s_adTargetFlags[bTarget] |= SAS_TARGET_FLAG_NATIVE;
    }
}

// A cleared STP entry in its enclosure's place (the enclosure code numbers
// them in that order); null, counted, when the table is full.
SAS_STP_ENTRY* psInsertStp(uint8_t bEnclosure) {
    if (s_sWork.bStpCount >= SAS_MAX_STP_ENTRIES) {
        ++s_dListOverflows;
        return nullptr;
    }
    uint8_t i = s_sWork.bStpCount++;
    ++s_sWork.bEnclosureCount;
    for (; i > 0 && psStp(s_sWork, static_cast<uint8_t>(i - 1))->bEnclosure > bEnclosure; --i)
        std::memcpy(s_sWork.aabStp[i], s_sWork.aabStp[i - 1], sizeof(SAS_STP_ENTRY));
    SAS_STP_ENTRY* ps = psStp(s_sWork, i);
    std::memset(ps, 0, sizeof *ps);
    return ps;
}

bool SameStpAddress(const SAS_STP_ENTRY& a, const SAS_STP_ENTRY& b) {
    return a.adSASAddress[0] == b.adSASAddress[0] && a.adSASAddress[1] == b.adSASAddress[1];
}

const SAS_STP_ENTRY* psFindStp(SAS_DEVICE_LIST& sList, const SAS_STP_ENTRY& s, bool fSameTarget) {
    for (uint8_t i = 0; i < sList.bStpCount && i < SAS_MAX_STP_ENTRIES; ++i) {
        const SAS_STP_ENTRY* ps = psStp(sList, i);
        if (SameStpAddress(*ps, s) && (!fSameTarget || (ps->bTargetId == s.bTargetId && ps->wDevHandle == s.wDevHandle &&
                                                        ps->bEnclosure == s.bEnclosure))) {
            return ps;
        }
    }
    return nullptr;
}

// The enclosure processors only the partner reaches are addressed through
// it, as its drives are.
void AddPartnerStpEntries() {
    ClampSASDeviceList(&s_sPartner);
    for (uint8_t i = 0; i < s_sPartner.bStpCount; ++i) {
        const SAS_STP_ENTRY& p = *psStp(s_sPartner, i);
        if (p.bTargetId == 0xFF || (p.bTargetId & SAS_PROXY_TARGET_BIT) || psFindStp(s_sWork, p, false) != nullptr) continue;
        SAS_STP_ENTRY* ps = psInsertStp(p.bEnclosure);
        if (ps == nullptr) return;
        *ps = p;
        ps->bTargetId = static_cast<uint8_t>(p.bTargetId | SAS_PROXY_TARGET_BIT);
    }
}

// An expander's enclosure processor (on its virtual phy) becomes an STP
// entry; the controller enclosure's own is kept apart, as its chassis
// speaks for itself.
void EnterEnclosureDevice(const SAS_EXPANDER& sExpander, uint8_t bPhy) {
    const uint8_t* pb = nullptr;
    if (bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE, 0,
                             MPI_SAS_PAGE_FORM_HANDLE | sExpander.awAttachedHandle[bPhy], &pb) != STATUS_OK) {
        return;
    }
    MPI_SAS_DEVICE_PAGE_0 s0;
    std::memcpy(&s0, pb, sizeof s0);
    if ((s0.wFlags & DEVICE_PAGE_FLAGS_ENTERED) != DEVICE_PAGE_FLAGS_ENTERED || s0.bTargetID >= SAS_PROXY_TARGET_BIT) return;
    if (sExpander.bEnclosure == 1) {
        s_bEnclosure1Target = s0.bTargetID;
        s_bEnclosure1Bus = s0.bBus;
        return;
    }
    SAS_STP_ENTRY* ps = psInsertStp(sExpander.bEnclosure);
    if (ps == nullptr) return;
    ps->adSASAddress[0] = s0.dSASAddressLow;
    ps->adSASAddress[1] = s0.dSASAddressHigh;
    ps->bTargetId = s0.bTargetID;
    ps->bTargetId2 = 0xFF;
    ps->bBus = s0.bBus;
    ps->wDevHandle = s0.wDevHandle;
    ps->bPortCode = PORT_CODE_INITIATOR;
    ps->bControllerNumber = bGetControllerNumber();
    ps->bEnclosure = sExpander.bEnclosure;
    for (uint8_t b = 0; b < 4; ++b) {
        ps->abSASAddressBE[b] = static_cast<uint8_t>(s0.dSASAddressHigh >> (24 - 8 * b));
        ps->abSASAddressBE[4 + b] = static_cast<uint8_t>(s0.dSASAddressLow >> (24 - 8 * b));
    }
}

// The partner controller's IOC ports: SSP targets that are initiators of
// every kind as well.  The first is path 1, the next with another handle
// path 2.  A port found before keeps its path while it stays: with the link
// of path 1 gone, the port left is still path 2's, so the path table names
// the link that is down, and what is queued for the port that stayed keeps
// its target.
void FindPartnerPaths(const SAS_EXPANDER_LIST* psExpanders) {
    constexpr SAS_PARTNER_PATH sNone = {{0, 0}, 0xFF, 0xFFFF};
    SAS_PARTNER_PATH asFound[2] = {sNone, sNone};
    const SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(const_cast<SAS_EXPANDER_LIST*>(psExpanders));
    uint8_t bFound = 0;
    for (uint8_t e = 0; e < psHeader->bExpanderCount && e < SAS_MAX_EXPANDERS && bFound < 2; ++e) {
        const SAS_EXPANDER& sEx = psExpanders->asExpander[e];
        for (uint8_t p = 0; p < sEx.bNumPhys && p < SAS_EXPANDER_PHYS && bFound < 2; ++p) {
            const uint32_t dInfo = sEx.adAttachedDeviceInfo[p];
            if (!(dInfo & MPI_SAS_DEVICE_INFO_SSP_TARGET) ||
                (dInfo & MPI_SAS_DEVICE_INFO_INITIATORS) != MPI_SAS_DEVICE_INFO_INITIATORS) {
                continue;
            }
            const uint16_t wHandle = sEx.awAttachedHandle[p];
            if (bFound == 1 && asFound[0].wDevHandle == wHandle) continue;
            const uint8_t* pb = nullptr;
            if (bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE, 0, MPI_SAS_PAGE_FORM_HANDLE | wHandle, &pb) !=
                STATUS_OK) {
                continue;
            }
            MPI_SAS_DEVICE_PAGE_0 s0;
            std::memcpy(&s0, pb, sizeof s0);
            asFound[bFound++] = {{s0.dSASAddressLow, s0.dSASAddressHigh}, s0.bTargetID, s0.wDevHandle};
        }
    }
    SAS_PARTNER_PATH asPath[2] = {sNone, sNone};
    bool afPlaced[2] = {false, false};
    for (uint8_t f = 0; f < bFound; ++f) {
        for (uint8_t i = 0; i < 2 && !afPlaced[f]; ++i) {
            if (asFound[f].adSASAddress[0] == s_aadPathPort[i][0] && asFound[f].adSASAddress[1] == s_aadPathPort[i][1]) {
                asPath[i] = asFound[f];
                afPlaced[f] = true;
            }
        }
    }
    for (uint8_t f = 0; f < bFound; ++f) {
        for (uint8_t i = 0; i < 2 && !afPlaced[f]; ++i) {
            if (asPath[i].bTargetId != 0xFF) continue;
            asPath[i] = asFound[f];
            afPlaced[f] = true;
        }
    }
    for (uint8_t i = 0; i < 2; ++i) {
        s_asPartnerPath[i] = asPath[i];
        if (asPath[i].bTargetId == 0xFF) continue;
        s_aadPathPort[i][0] = asPath[i].adSASAddress[0];
        s_aadPathPort[i][1] = asPath[i].adSASAddress[1];
    }
    for (uint8_t i = 0; i < 2; ++i) {
        const SAS_PARTNER_PATH& s = s_asPartnerPath[i];
        SetPartnerDrivePath(static_cast<uint8_t>(i + 1), ToFlag(s.bTargetId != 0xFF), s.bTargetId, s.adSASAddress);
    }
    if (s_asPartnerPath[0].bTargetId == 0xFF && s_asPartnerPath[1].bTargetId == 0xFF) InitSASDeviceList(&s_sPartner);
}

// A device of the previous list that the new one does not hold.  The
// commands it still has end (they would wait for it for ever), and a drive
// of this controller is reset so the IOC lets go of what it holds for it.
// A drive found again under another identity (its address in the new list)
// is not gone: its commands follow it to its target.
void RetireRemovedDevices(bool fReport, bool* pfOwnChanged, DEPARTED_TARGETS* psDeparted) {
    const uint8_t bOwn = bGetControllerNumber();
    for (uint8_t j = 0; j < s_sPrevious.bEntryCount && j < SAS_MAX_DEVICES; ++j) {
        const SAS_DEVICE_ENTRY& o = s_sPrevious.asEntry[j];
        bool fFound = false;
        const SAS_DEVICE_ENTRY* psSameDrive = nullptr;
        bool fServedByPartner = false;
        for (uint8_t i = 0; i < s_sWork.bEntryCount && !fFound; ++i) {
            const SAS_DEVICE_ENTRY& n = s_sWork.asEntry[i];
            fFound = SameIdentity(o, n);
            if (n.adSASAddress[0] == o.adSASAddress[0] && n.adSASAddress[1] == o.adSASAddress[1]) psSameDrive = &n;
            if (n.bEnclosure == o.bEnclosure && n.bSlot == o.bSlot && n.bTargetId != 0xFF &&
                (n.bTargetId & SAS_PROXY_TARGET_BIT)) {
                fServedByPartner = true;
            }
        }
        if (fFound || o.bTargetId == 0xFF) continue;
        const bool fOwnDrive = o.bTargetId < SAS_PROXY_TARGET_BIT && o.bControllerNumber == bOwn;
        if (fOwnDrive) *pfOwnChanged = true;
        if (fReport && fOwnDrive && fIsSASDiscoveryInhibited() != TRUE && !fServedByPartner) {
            ClearDriveErrorCounters(o.bEnclosure, o.bSlot);
            PostDriveEvent(EVENT_DRIVE_REMOVED, o);
        }
        if (psSameDrive != nullptr && psSameDrive->bTargetId == o.bTargetId) continue;
        // A target id the new list gives to another device keeps that
        // device's flags.
        bool fReused = false;
        for (uint8_t i = 0; i < s_sWork.bEntryCount && !fReused; ++i) fReused = s_sWork.asEntry[i].bTargetId == o.bTargetId;
        if (psSameDrive != nullptr) {
            RequeuePortEntries(PORT_CODE_INITIATOR, o.bTargetId, psSameDrive->bTargetId);
        } else {
            // The requests go back before the reset, whose answer ends them
            // at the IOC and leaves each to whoever takes it back.
            psDeparted->Add(o.bTargetId);
            if (fOwnDrive) (void)bSendSASTaskManagement(o.bTargetId, o.bBus, MPI_TASKTYPE_TARGET_RESET, 0);
        }
        ClearSASTargetCommandCount(o.bTargetId, TRUE);
        if (!fReused) s_adTargetFlags[o.bTargetId] &= SAS_TARGET_FLAG_REFUSE;
    }
}

// Enclosure processors that went away or changed: what they held ends and
// the drive side waits a moment; one of ours is reset, the partner's is
// left to it.
void RetireChangedStpEntries(DEPARTED_TARGETS* psDeparted) {
    const uint8_t bOwn = bGetControllerNumber();
    for (uint8_t j = 0; j < s_sPrevious.bStpCount && j < SAS_MAX_STP_ENTRIES; ++j) {
        const SAS_STP_ENTRY& o = *psStp(s_sPrevious, j);
        if (o.bTargetId == 0xFF || psFindStp(s_sWork, o, true) != nullptr) continue;
        bool fStillListed = false;
        for (uint8_t i = 0; i < s_sWork.bStpCount && !fStillListed; ++i) fStillListed = psStp(s_sWork, i)->bTargetId == o.bTargetId;
        if (o.bTargetId & SAS_PROXY_TARGET_BIT) {
            SetSASTargetHoldOff(o.bTargetId, lGetTickCount() + STP_CHANGE_HOLD_OFF_MS);
            // Gone from the partner too: refused until listed again (a new
            // listing starts its flags afresh).
            if (!fStillListed && fIsDualControllerActive() == TRUE) {
                SetSASTargetFlagBits(o.bTargetId, SAS_AA_PARTNER_HAS_DRIVE | SAS_AA_REFUSED_PARTNER);
            }
        } else if (o.bControllerNumber == bOwn) {
            (void)bSendSASTaskManagement(o.bTargetId, o.bBus, MPI_TASKTYPE_TARGET_RESET, 0);
        }
        if (!fStillListed) s_adTargetFlags[o.bTargetId] &= SAS_TARGET_FLAG_REFUSE | SAS_AA_PARTNER_HAS_DRIVE | SAS_AA_REFUSED_PARTNER;
        ExtendSASDeadline(STP_CHANGE_HOLD_OFF_MS);
        psDeparted->Add(o.bTargetId);
        ClearSASTargetCommandCount(o.bTargetId, TRUE);
    }
    // New proxy processors start clear.
    for (uint8_t i = 0; i < s_sWork.bStpCount && i < SAS_MAX_STP_ENTRIES; ++i) {
        const SAS_STP_ENTRY& n = *psStp(s_sWork, i);
        if (!(n.bTargetId & SAS_PROXY_TARGET_BIT) || n.bTargetId == 0xFF || psFindStp(s_sPrevious, n, true) != nullptr) continue;
        s_adTargetFlags[n.bTargetId] = SAS_TARGET_FLAG_NATIVE;
        s_alTargetHoldOff[n.bTargetId] = 0;
    }
}

}  // namespace

void MakeSASDriveWwn(uint32_t dLow, uint32_t dHigh, uint8_t* pbWwn) {
    for (int i = 0; i < 4; ++i) {
        pbWwn[i] = static_cast<uint8_t>(dHigh >> (24 - 8 * i));
        pbWwn[4 + i] = static_cast<uint8_t>(dLow >> (24 - 8 * i));
    }
    if ((dHigh & 0x0FFFFFF0) == PORT_BITS_IN_BYTE5_COMPANY) {
        pbWwn[5] &= 0x3F;
    } else {
        pbWwn[7] &= 0xFC;
    }
}

void InitSASDeviceList(SAS_DEVICE_LIST* psList) {
    std::memset(psList, 0, sizeof *psList);
    for (SAS_DEVICE_ENTRY& s : psList->asEntry) ClearEntry(&s);
}

SAS_DEVICE_LIST* pGetSASDriveInfoList() { return &s_sCurrent; }
SAS_DEVICE_LIST* pGetPreviousSASDriveInfoList() { return &s_sPrevious; }
SAS_DEVICE_LIST* pGetOCSASDriveInfoList() { return &s_sPartner; }

uint8_t bGetSASDeviceIndexOfTarget(uint8_t bTarget) { return s_abDeviceIndexOfTarget[bTarget]; }

SAS_DEVICE_ENTRY* psGetSASDeviceOfTarget(uint8_t bTarget) {
    const uint8_t b = s_abDeviceIndexOfTarget[bTarget];
    return b < SAS_MAX_DEVICES && b < s_sCurrent.bEntryCount ? &s_sCurrent.asEntry[b] : nullptr;
}

// The lock nests: a caller that holds it already (fLockHeld) keeps it.
void MarkSasDeviceReset(uint8_t bTarget, uint8_t, uint8_t fCopyStamp) {
    KernelPoolLock sLock;
    SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (ps == nullptr || ps->fValid != TRUE) return;
    if (ps->bResetCount != 0xFF) ++ps->bResetCount;
    ps->lResetTime = lGetTickCount();
    if (fCopyStamp == TRUE) ps->lResetTimeCopy = ps->lResetTime;
    ps->bStatus |= SAS_DEVICE_STATUS_RESET_PENDING;
}

void MarkSASTargetFailurePredicted(uint8_t bTarget) {
    SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (ps == nullptr) return;
    ps->fFailurePredicted = TRUE;
    for (uint8_t i = 0; i < s_sPartner.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        SAS_DEVICE_ENTRY& s = s_sPartner.asEntry[i];
        if (s.adSASAddress[0] == ps->adSASAddress[0] && s.adSASAddress[1] == ps->adSASAddress[1]) s.fFailurePredicted = TRUE;
    }
}

uint8_t bGetSASDeviceEntryByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, SAS_DEVICE_ENTRY** ppsEntry) {
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        SAS_DEVICE_ENTRY& s = s_sCurrent.asEntry[i];
        if (s.fValid != TRUE || s.bEnclosure != bEnclosure || s.bSlot != bSlot) continue;
        *ppsEntry = &s;
        return STATUS_OK;
    }
    return 0;
}

void RebuildSASDeviceList(uint8_t) {
    KernelPoolLock sLock;
    InitSASDeviceList(&s_sWork);
    // The new list numbers its devices afresh: what waited for an index
    // must not go to the drive that takes it next.
    InitSASRepostRings();
    s_bSkippedProxies = 0;
    SAS_EXPANDER_LIST* psExpanders = pGetSASExpanderList();
    const SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(psExpanders);
    for (uint8_t e = 0; e < psHeader->bExpanderCount && e < SAS_MAX_EXPANDERS; ++e) {
        const SAS_EXPANDER& sEx = psExpanders->asExpander[e];
        if (sEx.fUsable != TRUE || sEx.fResponding != TRUE) continue;
        for (uint8_t p = 0; p < sEx.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            const uint32_t dInfo = sEx.adAttachedDeviceInfo[p];
            if (sEx.adPhyInfo[p] & MPI_SAS_PHYINFO_VIRTUAL_PHY) {
                if ((dInfo & MPI_SAS_DEVICE_INFO_SSP_TARGET) && sEx.awAttachedHandle[p] != 0 &&
                    sEx.awAttachedHandle[p] != 0xFFFF) {
                    EnterEnclosureDevice(sEx, p);
                }
                continue;
            }
            if (!(dInfo & (MPI_SAS_DEVICE_INFO_SATA_DEVICE | MPI_SAS_DEVICE_INFO_SSP_TARGET))) continue;
            if ((dInfo & MPI_SAS_DEVICE_INFO_INITIATORS) == MPI_SAS_DEVICE_INFO_INITIATORS) continue;  // a controller
            if (sEx.awAttachedHandle[p] == 0 || sEx.awAttachedHandle[p] == 0xFFFF) continue;
            EnterDevice(sEx, p);
        }
    }

    AddPartnerStpEntries();
    FindPartnerPaths(psExpanders);

    // New SATA drives are set up without the lock: set-up waits for replies.
    // After a firmware download the known ones are too: their identify data
    // (the revision they run) is read again.
    const bool fReport = fIsInitializationComplete() == TRUE;
    const bool fRefresh = fReport && fGetFirmwareDownloadRescan() == TRUE;
    bool afRefreshed[SAS_MAX_DEVICES] = {};
    sLock.Release();
    for (uint8_t i = 0; fReport && i < s_sWork.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        SAS_DEVICE_ENTRY& s = s_sWork.asEntry[i];
        if (s.fValid != TRUE || s.fSAS == TRUE) continue;
        if (fIsKnownDevice(s)) {
            // A known drive that does not answer now keeps its record: only
            // its revision is taken, and only when read.
            if (fRefresh) afRefreshed[i] = bSetupSATADrive(&s) == STATUS_OK;
            continue;
        }
        if (bSetupSATADrive(&s) == STATUS_OK) {
            s.fReady = TRUE;
        } else {
            s.fValid = FALSE;
        }
    }
    KernelPoolLock sMergeLock;

    // Merge with the previous pass: a drive seen before keeps its record
    // and counters; a new one is reported.
    bool fOwnChanged = false;
    for (uint8_t i = 0; i < s_sWork.bEntryCount; ++i) {
        SAS_DEVICE_ENTRY& s = s_sWork.asEntry[i];
        bool fOld = false;
        for (uint8_t j = 0; j < s_sPrevious.bEntryCount && j < SAS_MAX_DEVICES && !fOld; ++j) {
            const SAS_DEVICE_ENTRY& o = s_sPrevious.asEntry[j];
            if (SameIdentity(o, s)) {
                const uint8_t fReady = s.fReady;
                char acRevision[sizeof s.acFirmwareRevision];
                std::memcpy(acRevision, s.acFirmwareRevision, sizeof acRevision);
                s = o;
                s.fReady = fReady;
                if (i < SAS_MAX_DEVICES && afRefreshed[i]) {
                    std::memcpy(s.acFirmwareRevision, acRevision, sizeof acRevision);
                }
                fOld = true;
            } else if (o.bEnclosure == s.bEnclosure && o.bSlot == s.bSlot && o.fValid == TRUE) {
                // The slot was served through the partner and is reached
                // here now: another drive, whose errors start afresh.
                if (o.bTargetId != 0xFF && (o.bTargetId & SAS_PROXY_TARGET_BIT)) {
                    PostEvent(EVENT_SLOT_PATH_CHANGED, o.abWWN[0], o.abWWN[1], o.abWWN[2], o.abWWN[3], o.abWWN[4],
                              o.abWWN[5], o.abWWN[6], o.abWWN[7], bGetDriveIndexFromEnclosureSlot(o.bEnclosure, o.bSlot),
                              SLOT_NOW_LOCAL);
                    ClearDriveErrorCounters(s.bEnclosure, s.bSlot);
                }
                s.lLastCommandTime = o.lLastCommandTime;
                s.lLast158Time = o.lLast158Time;
                std::memcpy(s.alCounters, o.alCounters, sizeof s.alCounters);
                s.wMovingCounter = o.wMovingCounter;
                s.fMovingFlag = o.fMovingFlag;
            }
        }
        if (!fOld) {
            fOwnChanged = true;
            s_adTargetFlags[s.bTargetId] = dNativeFlag(s);
            s_alTargetHoldOff[s.bTargetId] = 0;
            if (fReport) PostDriveEvent(EVENT_DRIVE_INSERTED, s);
        }
    }
    // Each local rebuild starts from what this controller sees; the drives
    // only the partner reaches are listed again from its last list.
    (void)AddPartnerProxies(s_sWork, &s_sPrevious);
    s_sWork.bProxyCount = bCountProxies(s_sWork);
    DEPARTED_TARGETS sDeparted;
    RetireRemovedDevices(fReport, &fOwnChanged, &sDeparted);
    RetireChangedStpEntries(&sDeparted);
    MarkNativeTargets(s_sWork);

    std::memcpy(&s_sCurrent, &s_sWork, sizeof s_sCurrent);
    std::memcpy(&s_sPrevious, &s_sWork, sizeof s_sPrevious);
    IndexTargets(s_sCurrent);
    sDeparted.Mark(s_sCurrent);
    if (fRefresh) SetFirmwareDownloadRescan(FALSE);
    // Commands aborted or moved above are picked up by the queue's service.
    SetHostPortWork(PORT_CODE_INITIATOR, TRUE);
    sMergeLock.Release();
    if (fIsDualControllerActive() == TRUE) {
        RebuildDriveTargetIds();
        // The partner lists this controller's drives as its proxies: it
        // hears of a change, and only of one, or the two would rebuild
        // each other's lists for ever.
        if (fOwnChanged) (void)bSendSasPhyMessage157(ToFlag(s_bSkippedProxies != 0));
    }
}

void InitSASDeviceTables() {
    InitSASDeviceList(&s_sCurrent);
    InitSASDeviceList(&s_sPrevious);
    InitSASDeviceList(&s_sPartner);
    InitSASDeviceList(&s_sWork);
    InitSASRepostRings();
    std::memset(s_abDeviceIndexOfTarget, SAS_DEVICE_INDEX_NONE, sizeof s_abDeviceIndexOfTarget);
    ClearSASTargetFlagsAndHoldOffs();
    std::memset(s_aabSlotDisable, 0, sizeof s_aabSlotDisable);
    for (SAS_PARTNER_PATH& s : s_asPartnerPath) s = {{0, 0}, 0xFF, 0xFFFF};
    std::memset(s_aadPathPort, 0, sizeof s_aadPathPort);
}

void ClearSASTargetFlagsAndHoldOffs() {
    std::memset(s_adTargetFlags, 0, sizeof s_adTargetFlags);
    std::memset(s_alTargetHoldOff, 0, sizeof s_alTargetHoldOff);
}

// Without a partner its drives cannot be reached through it: the proxy
// entries go and its list with them, and what waits for them ends.
void DropPartnerDeviceEntries() {
    KernelPoolLock sLock;
    DEPARTED_TARGETS sDeparted;
    uint8_t bKept = 0;
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        const uint8_t bTarget = s_sCurrent.asEntry[i].bTargetId;
        if (bTarget != 0xFF && (bTarget & SAS_PROXY_TARGET_BIT)) {
            sDeparted.Add(bTarget);
            ClearSASTargetCommandCount(bTarget, TRUE);
            continue;
        }
        if (bKept != i) s_sCurrent.asEntry[bKept] = s_sCurrent.asEntry[i];
        ++bKept;
    }
    for (uint8_t i = bKept; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) ClearEntry(&s_sCurrent.asEntry[i]);
    s_sCurrent.bEntryCount = bKept;
    s_sCurrent.bProxyCount = 0;
    IndexTargets(s_sCurrent);
    sDeparted.Mark(s_sCurrent);
    InitSASDeviceList(&s_sPartner);
}

namespace {

// The partner's own present entry in the slot, or null.
const SAS_DEVICE_ENTRY* PartnerDriveInSlot(uint8_t bEnclosure, uint8_t bSlot) {
    for (uint8_t j = 0; j < s_sPartner.bEntryCount; ++j) {
        const SAS_DEVICE_ENTRY& p = s_sPartner.asEntry[j];
        if (p.fValid == TRUE && p.bControllerNumber != bGetControllerNumber() && p.bEnclosure == bEnclosure &&
            p.bSlot == bSlot && p.bTargetId != 0xFF) {
            return &p;
        }
    }
    return nullptr;
}

// A port entry's 8-byte name is its SAS address as the wire carries it.
const SAS_STP_ENTRY* psFindPortNamed(SAS_DEVICE_LIST& sList, const uint8_t* pbName) {
    for (uint8_t i = 0; i < sList.bStpCount && i < SAS_MAX_STP_ENTRIES; ++i) {
        const SAS_STP_ENTRY* ps = psStp(sList, i);
        if (ps->bTargetId != 0xFF && std::memcmp(ps->abSASAddressBE, pbName, sizeof ps->abSASAddressBE) == 0) return ps;
    }
    return nullptr;
}

// What the partner reports as its own: an entry it reaches itself, not
// one it reaches through this controller (taking that back would make a
// target that loops between the two).
bool IsPartnersOwnPort(const SAS_STP_ENTRY& p, uint8_t bOwn) {
    return p.bTargetId != 0xFF && !(p.bTargetId & SAS_PROXY_TARGET_BIT) && p.bControllerNumber != bOwn;
}

// The port entries follow the partner's: an entry of another controller
// that the partner no longer reports goes (what it held fails), and each
// the partner reports under a name not listed here is added, reached
// through it.  The table ends ordered by owning controller, each
// controller's entries in the order they had.  True when it changed.
bool MergePartnerPortEntries(DEPARTED_TARGETS* psDeparted) {
    const uint8_t bOwn = bGetControllerNumber();
    bool fChanged = false;
    uint8_t bKept = 0;
    for (uint8_t i = 0; i < s_sCurrent.bStpCount && i < SAS_MAX_STP_ENTRIES; ++i) {
        const SAS_STP_ENTRY& s = *psStp(s_sCurrent, i);
        const SAS_STP_ENTRY* psReported = psFindPortNamed(s_sPartner, s.abSASAddressBE);
        if (s.bControllerNumber != bOwn && s.bTargetId != 0xFF &&
            (psReported == nullptr || !IsPartnersOwnPort(*psReported, bOwn))) {
            psDeparted->Add(s.bTargetId);
            ClearSASTargetCommandCount(s.bTargetId, TRUE);
            fChanged = true;
            continue;
        }
        if (bKept != i) std::memcpy(s_sCurrent.aabStp[bKept], s_sCurrent.aabStp[i], sizeof(SAS_STP_ENTRY));
        ++bKept;
    }
    for (uint8_t i = bKept; i < s_sCurrent.bStpCount && i < SAS_MAX_STP_ENTRIES; ++i) {
        std::memset(s_sCurrent.aabStp[i], 0, sizeof(SAS_STP_ENTRY));
    }
    s_sCurrent.bStpCount = bKept;
    for (uint8_t i = 0; i < s_sPartner.bStpCount; ++i) {
        const SAS_STP_ENTRY& p = *psStp(s_sPartner, i);
        if (!IsPartnersOwnPort(p, bOwn) || psFindPortNamed(s_sCurrent, p.abSASAddressBE) != nullptr) continue;
        if (bKept >= SAS_MAX_STP_ENTRIES) {
            ++s_dListOverflows;
            break;
        }
        SAS_STP_ENTRY& s = *psStp(s_sCurrent, bKept++);
        s = p;
        s.bTargetId = static_cast<uint8_t>(p.bTargetId | SAS_PROXY_TARGET_BIT);
        s_adTargetFlags[s.bTargetId] = SAS_TARGET_FLAG_NATIVE;
        s_alTargetHoldOff[s.bTargetId] = 0;
        // Counted in before the next name is looked up: the partner's
        // table may carry one name twice.
        s_sCurrent.bStpCount = bKept;
        fChanged = true;
    }
    s_sCurrent.bEnclosureCount = bKept;
    // Stable: within one controller the enclosure order stays.
    for (uint8_t i = 1; i < bKept; ++i) {
        SAS_STP_ENTRY sMoving = *psStp(s_sCurrent, i);
        uint8_t j = i;
        for (; j > 0 && psStp(s_sCurrent, static_cast<uint8_t>(j - 1))->bControllerNumber > sMoving.bControllerNumber; --j) {
            std::memcpy(s_sCurrent.aabStp[j], s_sCurrent.aabStp[j - 1], sizeof(SAS_STP_ENTRY));
        }
        *psStp(s_sCurrent, j) = sMoving;
    }
    return fChanged;
}

}  // namespace

uint8_t fIsSlotListedByPartner(uint8_t bEnclosure, uint8_t bSlot) {
    return ToFlag(PartnerDriveInSlot(bEnclosure, bSlot) != nullptr);
}

// A list the partner sent: counts it cannot hold are cut to what fits.
void ClampSASDeviceList(SAS_DEVICE_LIST* psList) {
    if (psList->bEntryCount > SAS_MAX_DEVICES) psList->bEntryCount = SAS_MAX_DEVICES;
    if (psList->bProxyCount > psList->bEntryCount) psList->bProxyCount = psList->bEntryCount;
    if (psList->bStpCount > SAS_MAX_STP_ENTRIES) psList->bStpCount = SAS_MAX_STP_ENTRIES;
}

// Drives only the partner reaches are addressed through it: each gets a
// proxy entry here (its target id with bit 7 set).  A proxy whose drive
// the partner no longer lists goes, its commands following the drive to
// its new target (requeued there) or failing.
void MergePartnerDeviceList(uint8_t fRaiseWork) {
    KernelPoolLock sLock;
    ClampSASDeviceList(&s_sPartner);
    const uint8_t bOwn = bGetControllerNumber();
    bool fChanged = false;
    bool fMoved = false;
    DEPARTED_TARGETS sDeparted;
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        SAS_DEVICE_ENTRY& s = s_sCurrent.asEntry[i];
        if (s.bControllerNumber == bOwn || s.bTargetId == 0xFF) continue;
        bool fSame = false;
        for (uint8_t j = 0; j < s_sPartner.bEntryCount && !fSame; ++j) {
            fSame = s_sPartner.asEntry[j].fValid == TRUE && SamePartnerDrive(s, s_sPartner.asEntry[j]);
        }
        if (fSame) continue;
        const SAS_DEVICE_ENTRY* psNew = PartnerDriveInSlot(s.bEnclosure, s.bSlot);
        if (psNew != nullptr) {
            RequeuePortEntries(PORT_CODE_INITIATOR, s.bTargetId,
                               static_cast<uint8_t>(psNew->bTargetId | SAS_PROXY_TARGET_BIT));
            fMoved = true;
        } else {
            sDeparted.Add(s.bTargetId);
        }
        ClearSASTargetCommandCount(s.bTargetId, TRUE);
        ClearEntry(&s);
        fChanged = true;
    }
    // Compact; the maps follow the list.
    uint8_t bKept = 0;
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        if (s_sCurrent.asEntry[i].bTargetId == 0xFF && s_sCurrent.asEntry[i].fValid != TRUE) continue;
        if (bKept != i) s_sCurrent.asEntry[bKept] = s_sCurrent.asEntry[i];
        ++bKept;
    }
    for (uint8_t i = bKept; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) ClearEntry(&s_sCurrent.asEntry[i]);
    s_sCurrent.bEntryCount = bKept;
    if (AddPartnerProxies(s_sCurrent, nullptr)) fChanged = true;
    s_sCurrent.bProxyCount = bCountProxies(s_sCurrent);
    if (MergePartnerPortEntries(&sDeparted)) fChanged = true;
    MarkNativeTargets(s_sCurrent);
    IndexTargets(s_sCurrent);
    sDeparted.Mark(s_sCurrent);
    if (fIsSASOCFailbackInProgress() == TRUE) {
        SetPartnerAlive(TRUE);
        SetDualControllerValid(TRUE);
        SetSASOCFailbackInProgress(FALSE);
    }
    if (fRaiseWork == TRUE) SetSasDriveWork(TRUE);
    sLock.Release();
    // The active-active recovery looks at the fabric again with the
    // partner's view in hand.
    SetSASRecoveryRescanFlag(TRUE);
    // Commands that followed their drive to the partner's target wait in
    // the drive-side queue: it runs again for them.
    if (fMoved) {
        SetDriveQueueServiceEnable(PORT_CODE_INITIATOR, TRUE);
        SetWorkPending(TRUE);
    }
    if (fChanged && fIsInitializationComplete() == TRUE) (void)ApplyStoredSettings(FALSE, FALSE);
}

uint8_t fIsSASSlotDisabled(uint8_t bEnclosure, uint8_t bSlot) {
    if (bEnclosure >= SAS_SLOT_TABLE_ENCLOSURES || bSlot >= SAS_SLOT_TABLE_SLOTS) return FALSE;
    return ToFlag(s_aabSlotDisable[bEnclosure][bSlot] & SLOT_DISABLED);
}

void SetSASSlotDisabled(uint8_t bEnclosure, uint8_t bSlot, uint8_t f) {
    if (bEnclosure >= SAS_SLOT_TABLE_ENCLOSURES || bSlot >= SAS_SLOT_TABLE_SLOTS) return;
    uint8_t& b = s_aabSlotDisable[bEnclosure][bSlot];
    b = static_cast<uint8_t>(f == TRUE ? b | SLOT_DISABLED : b & ~SLOT_DISABLED);
}

const SAS_PARTNER_PATH* psGetSASPartnerPath(uint8_t bPath) {
    return bPath >= 1 && bPath <= 2 ? &s_asPartnerPath[bPath - 1] : nullptr;
}

uint32_t dGetSASDeviceListOverflows() { return s_dListOverflows; }
uint8_t bGetEnclosure1ProcessorTarget(uint8_t* pbBus) {
    *pbBus = s_bEnclosure1Bus;
    return s_bEnclosure1Target;
}

namespace {

// TEST UNIT READY to a drive at start of day: ready on good status; a drive
// becoming ready is started and waited for; anything else makes it unusable.
uint8_t CountValidEntries() {
    uint8_t n = 0;
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        if (s_sCurrent.asEntry[i].fValid == TRUE) ++n;
    }
    return n;
}

void StartOfDayTestUnitReady(SAS_DEVICE_ENTRY& s, bool fFirst) {
    const uint8_t abCdb[10] = {};
    uint8_t bStatus = 0, bKey = 0, bAsc = 0, bAscq = 0;
    uint8_t b = bSendSCSICommandAndWait(s.bTargetId, s.bBus, abCdb, FALSE, 0, NULL_BUFFER_HANDLE, &bStatus, &bKey, &bAsc, &bAscq);
    for (uint8_t t = 0; fFirst && b == STATUS_OK && bStatus == 2 && bKey == 6 && t < 3; ++t) {
        SpinDelayMs(10);
        b = bSendSCSICommandAndWait(s.bTargetId, s.bBus, abCdb, FALSE, 0, NULL_BUFFER_HANDLE, &bStatus, &bKey, &bAsc, &bAscq);
    }
    if (b == STATUS_OK && bStatus == 0) {
        s.fReady = TRUE;
    } else if (b == STATUS_OK && bStatus == 2 && (bKey == 2 || bKey == 6)) {
        if (fFirst && bKey == 2 && bAsc == 0x04 && bAscq != 1) {
            const uint8_t abStart[10] = {SCSI_START_STOP_UNIT, 1, 0, 0, 1};
            if (bSendSCSICommandAndWait(s.bTargetId, s.bBus, abStart, FALSE, 0, NULL_BUFFER_HANDLE, &bStatus, &bKey, &bAsc,
                                        &bAscq) != STATUS_OK ||
                bStatus != 0) {
                s.fValid = FALSE;
            }
        }
    } else {
        s.fValid = FALSE;
    }
}

// The partner's drive side answers a TEST UNIT READY GOOD once its start
// of day has taken the shared drives: asked up to 20 times, 2000 ms apart
// while it is busy, refuses (any CHECK CONDITION, a full task set) or does
// not answer, for as long as it lives.
void AwaitPartnerDriveSide() {
    uint8_t bTarget = 0xFF, bBus = 0;
    if (fGetPartnerTarget(&bTarget, &bBus) != TRUE) return;
    const uint8_t abCdb[10] = {SCSI_TEST_UNIT_READY};
    for (uint8_t t = 0; t < PARTNER_READY_TRIES; ++t) {
        uint8_t bStatus = 0xFF, bKey = 0, bAsc = 0, bAscq = 0;
        const uint8_t b = bSendSCSICommandAndWait(bTarget, bBus, abCdb, FALSE, 0, NULL_BUFFER_HANDLE, &bStatus, &bKey,
                                                  &bAsc, &bAscq);
        if (b == STATUS_OK && bStatus == SCSI_STATUS_GOOD) return;
        if (fIsPartnerAlive() != TRUE) return;
        SpinDelayMs(PARTNER_READY_RETRY_MS);
    }
}

// Reset the phys of the SATA drives (the SAS targets are spared), let the
// links settle and look (fSelect: signal the shared drives to this side
// first, on every slot).
uint8_t LookAfterPhyReset(bool fSelect) {
    (void)RestartSASDiscovery(TRUE);
    SpinDelayMs(FIRST_DISCOVERY_SETTLE_MS);
    return fSelect ? fSelectSATAPortsOfThisController(TRUE, FALSE) : bDiscoverSASExpanders(FALSE);
}

// Both controllers start together and share SATA drives that only one of
// them reaches at a time.  The slot-1 controller takes every one of them,
// so that it reads the configuration with every member in reach (the
// partner takes its own slots back by its later discovery passes, which
// hand them over without loss); the other waits for it to be done, then
// looks and lists what it still reaches, the partner's list not yet known.
void StartBesidePartnerSharingDrives() {
    if (fIsControllerSlot1() == TRUE) {
        if (LookAfterPhyReset(true) == TRUE) {
            SpinDelayMs(MORE_DISCOVERY_SETTLE_MS);
            (void)LookAfterPhyReset(true);
        }
        (void)bDiscoverSASExpanders(FALSE);
    } else {
        AwaitPartnerDriveSide();
        (void)bDiscoverSASExpanders(FALSE);
        // A list the partner sent before it took the drives is stale; the
        // one it holds now, done, names every drive this side reaches
        // through it (the configuration is read against it).
        InitSASDeviceList(&s_sPartner);
        (void)bReadPartnerDeviceList();
        // What the bring-up's look listed here before the partner took the
        // drives was never used: those drives did not leave, they were
        // never this controller's.
        InitSASDeviceList(&s_sPrevious);
    }
    RebuildSASDeviceList(FALSE);
}

}  // namespace

// Start of day: find the drives and bring each one to ready.
void InitDriveSideSAS() {
    const uint64_t lStart = lGetTickCount();
    if (fIsPartnerAlive() != TRUE) {
        uint8_t b = LookAfterPhyReset(false);
        for (uint8_t i = 0; i < START_OF_DAY_MORE_PASSES && b == TRUE; ++i) {
            SpinDelayMs(MORE_DISCOVERY_SETTLE_MS);
            b = LookAfterPhyReset(false);
        }
        RebuildSASDeviceList(FALSE);
    } else if (fGetDualStartFlag() == TRUE && (s_sPartner.bProxyCount != 0 || fAreSATADrivesShared() == TRUE)) {
        StartBesidePartnerSharingDrives();
    }
    if (fGetHeartbeatRequestFlag() == TRUE && bReadPartnerDeviceList() == STATUS_OK) {
        // Joining a running partner: the drives only it reaches are known
        // from its list before any message of it can arrive.
        MergePartnerDeviceList(FALSE);
    }
    const uint8_t bValidBefore = CountValidEntries();
    if (fIsPartnerAlive() != TRUE || (fIsControllerSlot1() == TRUE && fIsModelZ7Q4() != TRUE)) {
        // Whatever a drive held from before this start is dropped.
        for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
            SAS_DEVICE_ENTRY& s = s_sCurrent.asEntry[i];
            if (s.bTargetId == 0xFF) continue;
            KernelPoolLock sLock;
            if (bSendSASTaskManagement(s.bTargetId, s.bBus, MPI_TASKTYPE_TARGET_RESET, 0) != STATUS_OK) {
                s.fValid = FALSE;
            }
        }
        for (uint8_t i = 0; i < TARGET_RESET_SETTLE_TIMES; ++i) SpinDelayMs(TARGET_RESET_SETTLE_MS);
    }

    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        SAS_DEVICE_ENTRY& s = s_sCurrent.asEntry[i];
        if (s.fValid == TRUE && s.fSAS != TRUE && s.bTargetId < SAS_PROXY_TARGET_BIT &&
            bSetupSATADrive(&s) != STATUS_OK) {
            s.fValid = FALSE;
        }
    }
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        SAS_DEVICE_ENTRY& s = s_sCurrent.asEntry[i];
        if (s.fValid != TRUE) continue;
        StartOfDayTestUnitReady(s, true);
    }
    for (;;) {
        bool fWaiting = false;
        for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
            SAS_DEVICE_ENTRY& s = s_sCurrent.asEntry[i];
            if (s.fValid != TRUE || s.fSAS != TRUE || s.fReady == TRUE) continue;
            StartOfDayTestUnitReady(s, false);
            fWaiting = fWaiting || (s.fValid == TRUE && s.fReady != TRUE);
        }
        if (!fWaiting || lGetTickCount() - lStart >= START_OF_DAY_READY_MS) break;
        SpinDelayMs(1000);
    }
    // Drives given up here are left out of the configuration as it is
    // applied and saved.
    if (CountValidEntries() < bValidBefore) SetConfigApplyOption(TRUE);
    std::memcpy(&s_sPrevious, &s_sCurrent, sizeof s_sPrevious);
    // Beside a partner that runs, the drive side is taken back through the
    // failback: the partner lets go of it first, then this side discovers
    // the fabric again and its host ports take commands at the end.
    if (fGetHeartbeatRequestFlag() == TRUE) SetSASFailbackInProgress(TRUE);
}

uint8_t bGetTargetIdBySASAddress(const uint8_t* pbWwn, uint8_t* pbTarget) {
    const SAS_DEVICE_ENTRY* ps = FindByWwn(pbWwn);
    *pbTarget = ps ? ps->bTargetId : 0xFF;
    return ps ? STATUS_OK : 0;
}

uint8_t bGetSASDeviceEntryBySASAddress(const uint8_t* pbWwn, SAS_DEVICE_ENTRY** ppsEntry) {
    const SAS_DEVICE_ENTRY* ps = FindByWwn(pbWwn);
    if (!ps) return 0;
    *ppsEntry = const_cast<SAS_DEVICE_ENTRY*>(ps);
    return STATUS_OK;
}

uint8_t bGetSASAddressOfTarget(uint8_t* pbAddress, uint8_t bTarget) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (!ps) return 0;
    std::memcpy(pbAddress, ps->abWWN, 8);
    return STATUS_OK;
}

uint8_t bGetEnclosureSlotOfTarget(uint8_t bTarget, uint8_t* pbEnclosure, uint8_t* pbSlot) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (!ps) return 0;
    *pbEnclosure = ps->bEnclosure;
    *pbSlot = ps->bSlot;
    return STATUS_OK;
}

uint8_t bGetTargetIdByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, uint8_t* pbTarget) {
    for (uint16_t w = 0; w < 0x80; ++w) {
        const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(static_cast<uint8_t>(w));
        if (ps == nullptr || ps->bEnclosure != bEnclosure || ps->bSlot != bSlot) continue;
        *pbTarget = static_cast<uint8_t>(w);
        return STATUS_OK;
    }
    return 0;
}

uint8_t fIsSASTargetRetryCandidate(uint8_t bTarget) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    return ToFlag(ps != nullptr && ps->fMovingFlag == FALSE);
}

uint8_t fIsSATATarget(uint8_t bTarget) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    return ToFlag(ps && ps->fSAS == FALSE);
}

uint8_t bGetDriveIndexOfTarget(uint8_t bTarget) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    return ps ? bGetDriveIndexFromEnclosureSlot(ps->bEnclosure, ps->bSlot) : DRIVE_POSITION_NONE;
}

uint8_t bGetDriveIndexFromEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot) {
    if (bEnclosure < 1 || bEnclosure > 8 || bSlot < 1 || bSlot > 32) return DRIVE_POSITION_NONE;
    const uint32_t d = (bSlot - 1u) + ((bEnclosure - 1u) << bGetDeviceIdEnclosureShift());
    return d < DRIVE_POSITION_NONE ? static_cast<uint8_t>(d) : DRIVE_POSITION_NONE;
}

uint8_t bGetTargetIdByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot) {
    const SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    for (uint8_t i = 0; i < psList->bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        const SAS_DEVICE_ENTRY& s = psList->asEntry[i];
        if (s.fValid == TRUE && s.bEnclosure == bEnclosure && s.bSlot == bSlot) return s.bTargetId;
    }
    return 0xFF;
}

uint8_t bGetSATAFirmwareRevisionOfTarget(uint8_t bTarget, uint8_t* pbRevision) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (!ps || ps->fSAS == TRUE) return 0;
    int iEnd = 8;
    while (iEnd > 0 && (ps->acFirmwareRevision[iEnd - 1] == ' ' || ps->acFirmwareRevision[iEnd - 1] == 0)) --iEnd;
    const int iStart = iEnd >= 4 ? iEnd - 4 : 0;
    std::memset(pbRevision, ' ', 4);
    std::memcpy(pbRevision, ps->acFirmwareRevision + iStart, static_cast<size_t>(iEnd - iStart));
    return STATUS_OK;
}

void BuildSASAddressList(DRIVE_ADDRESS_LIST* psList) {
    std::memset(psList, 0xFF, sizeof *psList);
    psList->bCount = 0;
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && psList->bCount < DRIVE_ADDRESS_ENTRIES; ++i) {
        const SAS_DEVICE_ENTRY& s = s_sCurrent.asEntry[i];
        if (s.fValid != TRUE) continue;
        DRIVE_ADDRESS_ENTRY& d = psList->asEntry[psList->bCount++];
        d.bTarget = s.bTargetId;
        d.bByte1 = s.bPartnerTargetId;
        d.fClaimed = d.fFailed = FALSE;
        std::memcpy(d.abAddress, s.abWWN, 8);
    }
}

DRIVE_ADDRESS_ENTRY* pFindSASAddressInList(DRIVE_ADDRESS_LIST* psList, const uint8_t* pbWwn, uint8_t* pbTarget,
                                           uint8_t fMarkUsed) {
    const uint32_t dCount = psList->bCount < DRIVE_ADDRESS_ENTRIES ? psList->bCount : DRIVE_ADDRESS_ENTRIES;
    for (uint32_t i = 0; i < dCount; i++) {
        DRIVE_ADDRESS_ENTRY& sEntry = psList->asEntry[i];
        if (std::memcmp(sEntry.abAddress, pbWwn, 8) != 0) continue;
        if (fMarkUsed == TRUE) sEntry.fClaimed = TRUE;
        *pbTarget = sEntry.bTarget;
        return &sEntry;
    }
    *pbTarget = 0xFF;
    return nullptr;
}

uint8_t bGetSASDeviceCount() { return s_sCurrent.bEntryCount; }

uint32_t dGetSASTargetFlags(uint8_t bTarget) { return s_adTargetFlags[bTarget]; }
void SetSASTargetFlagBits(uint8_t bTarget, uint32_t dBits) { s_adTargetFlags[bTarget] |= dBits; }
void ClearSASTargetFlagBits(uint8_t bTarget, uint32_t dBits) { s_adTargetFlags[bTarget] &= ~dBits; }
uint64_t lGetSASTargetHoldOff(uint8_t bTarget) { return s_alTargetHoldOff[bTarget]; }
void SetSASTargetHoldOff(uint8_t bTarget, uint64_t lTick) { s_alTargetHoldOff[bTarget] = lTick; }
void ExtendSASTargetHoldOff(uint8_t bTarget, uint32_t dMs) {
    const uint64_t lNow = lGetTickCount();
    s_alTargetHoldOff[bTarget] = (s_alTargetHoldOff[bTarget] > lNow ? s_alTargetHoldOff[bTarget] : lNow) + dMs;
}


uint16_t wGetSlotCommandCount(uint8_t bEnclosure, uint8_t bSlot, uint8_t fLocked) {
    const uint8_t bLock = fLocked == TRUE ? INT_LOCK_HELD : LockInterruptSource(INT_SOURCE_DRIVE_SIDE);
    uint16_t wCount = 0;
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        const SAS_DEVICE_ENTRY& s = s_sCurrent.asEntry[i];
        if (s.bEnclosure == bEnclosure && s.bSlot == bSlot) {
            wCount = s.wOutstanding;
            break;
        }
    }
    if (bLock != INT_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_DRIVE_SIDE);
    return wCount;
}

uint16_t wGetEnclosureBusySlots(uint8_t bEnclosure) {
    const uint8_t(&abBit)[BUSY_SLOTS] = BUSY_SLOT_BIT[bGetBackplaneType() == BACKPLANE_INTERLEAVED ? 1 : 0];
    KernelPoolLock sLock;
    uint16_t wMask = 0;
    for (uint8_t bSlot = 1; bSlot <= BUSY_SLOTS; ++bSlot) {
        if (wGetSlotCommandCount(bEnclosure, bSlot, TRUE) != 0) wMask = static_cast<uint16_t>(wMask | 1u << (abBit[bSlot - 1] - 1));
    }
    return wMask;
}

// The partner's first port found, by path (a path keeps its port, so path
// 1 may be empty with path 2 there); no partner found: nothing to reset.
uint8_t bResetPartnerTarget() {
    const SAS_PARTNER_PATH& s = s_asPartnerPath[s_asPartnerPath[0].bTargetId != 0xFF ? 0 : 1];
    if (s.bTargetId == 0xFF) return 0;
    KernelPoolLock sLock;
    return bSendSASTaskManagement(s.bTargetId, 0, MPI_TASKTYPE_TARGET_RESET, 0);
}

void ShowSASDeviceList(const SAS_DEVICE_LIST* psList) {
    ConsolePrintf("SAS Drive Info: 0x%02x entries, 0x%02x proxy, Active:%02x %02x %02x 0x%02x enclosures\n",
                psList->bEntryCount, psList->bProxyCount, psList->bActiveCount1, psList->bActiveCount2,
                psList->bActiveCount3, psList->bEnclosureCount);
    for (uint8_t i = 0; i < psList->bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        const SAS_DEVICE_ENTRY& s = psList->asEntry[i];
        ConsolePrintf("%02x %02x %02x %02x %08x%08x:", i, s.fValid, s.fReady, s.fSAS, s.adSASAddress[1],
                    s.adSASAddress[0]);
        for (uint8_t b : s.abWWN) ConsolePrintf("%02x", b);
        ConsolePrintf(" %02x:%04x %02x F%03x T%02x Q%02x R%02x %1x:%01x%02x %04x%02x\n", s.bTargetId, s.wDevHandle,
                    s.bPartnerTargetId, s.wDeviceFlags, s.wTimeoutCount, s.wQCounter, s.wRCounter, s.bControllerNumber,
                    s.bEnclosure, s.bSlot, s.wOutstanding, s.bStatus);
    }
    ConsolePrintf("STP Info: 0x%02x enclosures, 0x%02x STP entries\n", psList->bEnclosureCount, psList->bStpCount);
    for (uint8_t i = 0; i < psList->bStpCount && i < SAS_MAX_STP_ENTRIES; ++i) {
        const SAS_STP_ENTRY* ps = reinterpret_cast<const SAS_STP_ENTRY*>(psList->aabStp[i]);
        ConsolePrintf("STP: %02x %08x%08x %02x:%04x F%03x T%04x F%02x Map%02x\n", i, ps->adSASAddress[1],
                    ps->adSASAddress[0], ps->bTargetId, ps->wDevHandle, ps->bPortCode,
                    lGetSASTargetHoldOff(ps->bTargetId) > lGetTickCount() ? 1u : 0u, ps->bControllerNumber,
                    ps->bEnclosure);
    }
}

void ShowSASInfoLists() {
    ConsolePrintf("TC SAS Expander Info List\n");
    ShowSASExpanderList(pGetSASExpanderList());
    ConsolePrintf("TC SAS Drive Info List\n");
    ShowSASDeviceList(&s_sCurrent);
    ConsolePrintf("OC SAS Expander Info List\n");
    ShowSASExpanderList(pGetOCSASExpanderList());
    ConsolePrintf("OC SAS Drive Info List\n");
    ShowSASDeviceList(&s_sPartner);
    ConsolePrintf("Invalid Received CRC Count: %d\n", dGetSASInvalidCrcCount());
    ConsolePrintf("Outstanding Task Management Count: %d \n", dGetSASTaskManagementCount());
    ShowSASActiveActiveInfo();
}

}  // namespace fw
