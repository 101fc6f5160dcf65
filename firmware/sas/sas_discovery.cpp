#include "sas/sas_discovery.h"

#include <cstring>

#include "cache/stripe_access.h"
#include "config/apply_settings.h"
#include "enclosure/drive_error_counters.h"
#include "enclosure/drive_management.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "partner/partner_link.h"
#include "sas/aa_mux.h"
#include "sas/active_active.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/ioc_events.h"
#include "sas/mpi_interface.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "sas/slot_owners.h"
#include "sas/slot_phy_actions.h"
#include "sas/sas_flags.h"
#include "sas/smp.h"

namespace fw {

namespace {

SAS_EXPANDER_LIST s_sCurrent;
SAS_EXPANDER_LIST s_sPrevious;
SAS_EXPANDER_LIST s_sPartner;     // received from the other controller
SAS_EXPANDER_LIST s_sForPartner;  // sent to the other controller

uint8_t s_aabPhyState[SAS_MAX_EXPANDERS][SAS_EXPANDER_PHYS];
uint8_t s_aabChangeCount[SAS_MAX_EXPANDERS][SAS_EXPANDER_PHYS];
uint8_t s_aabPreviousChangeCount[SAS_MAX_EXPANDERS][SAS_EXPANDER_PHYS];
uint8_t s_aabPortSelectAttempts[SAS_MAX_EXPANDERS][SAS_EXPANDER_PHYS];
// Phys whose drive the last port-selection sweep found refused here: its
// multiplexer passes the other controller's path.
uint8_t s_aafMuxElsewhere[SAS_MAX_EXPANDERS][SAS_EXPANDER_PHYS];
// A drive taken over by the partner waits for the partner's list.
uint8_t s_fHandoverPending = FALSE;
// Commands that found no drive and waited for a take-over to be seen.
uint32_t s_dTakeOverHolds = 0;
uint32_t s_adExpanderPosition[SAS_MAX_EXPANDERS];
uint16_t s_awPartnerIocHandle[2] = {0xFFFF, 0xFFFF};

uint8_t s_bState = SAS_DISC_IDLE;
uint8_t s_fRunning = FALSE;
uint8_t s_fMoreWork = FALSE;
uint8_t s_fRestartArgument = FALSE;
uint8_t s_fPauseRequest = FALSE;
uint8_t s_fPauseAcknowledged = FALSE;
uint64_t s_lStepTime = 0;
uint64_t s_lContinueTime = 0;
uint32_t s_dTopologyOverflows = 0;
uint64_t s_lRefusedExpander = 0;     // the last expander reported for its vendor

// The slot-change sequence (state 8): its sub-state and step time, the
// enclosure count it waits for, and its two phases.
uint8_t s_bSlotSubState = 0;
uint64_t s_lSlotStepTime = 0;
uint8_t s_bEnclosureTarget = 0;
uint8_t s_fFirstPhaseDone = FALSE;
uint8_t s_fSecondPhaseArmed = FALSE;
uint8_t s_fSecondPhaseDone = FALSE;

BUFFER_HANDLE s_dPage = NULL_BUFFER_HANDLE;

constexpr uint8_t CHANGE_COUNT_JUMP = 11;
constexpr uint8_t EVENT_PHY_WARNING = 19;
constexpr uint8_t EVENT_SLOT_CHANGE = 157;
constexpr uint8_t EVENT_EXPANDER_VENDOR = 172;
constexpr uint8_t SLOT_CHANGE_OWN_PROXIES = 8;
constexpr uint8_t SLOT_CHANGE_PARTNER_PROXIES = 7;
constexpr uint8_t ENCLOSURE_RISE = 1;
constexpr uint8_t ENCLOSURE_FALL = 2;
constexpr uint8_t ENCLOSURE_TYPE_10 = 0x10;
constexpr uint8_t ENCLOSURE_TYPE_11 = 0x11;
constexpr uint8_t ENCLOSURE_TYPE_6 = 6;
constexpr uint32_t PHYINFO_SELECTOR_ACTIVE = 0x4000;  // the selector passes this side's path
constexpr uint8_t PORT_SELECT_TRIES_HELD = 3;
constexpr uint8_t PORT_SELECT_TRIES = 12;
// A drive handed to the partner waits this long at each look for the
// partner to list it (a look comes every CONTINUE_MS), for at most twice
// the passes the partner may spend signalling a selector that does not
// switch before it lists its drives.
constexpr uint32_t HANDOVER_HOLD_MS = 10000;
constexpr uint8_t HANDOVER_LOOKS = 2 * PORT_SELECT_TRIES;
constexpr uint8_t IDENTIFY_PENDING = 0xFF;  // no enclosure type is ever this
constexpr uint8_t MANUFACTURER_TRIES = 3;
constexpr uint32_t MANUFACTURER_RETRY_MS = 500;
constexpr uint32_t SMP_ENCLOSURE_TYPE_OFFSET = 0x34;
constexpr uint8_t SLOT_LIMIT = 33;          // phys mapped to a slot number below this are drive slots

// Waits of the discovery states, in ms.
constexpr uint32_t HOLD_SETTLE_MS = 3000;
constexpr uint32_t RECOVERY_SETTLE_MS = 4000;
// A restart asked for because the partner's link went waits as long as the
// heartbeat takes (twice over) to tell whether the partner is lost.
constexpr uint32_t PARTNER_LINK_GONE_SETTLE_MS = 100;
constexpr uint32_t TIMEOUT_SCAN_SETTLE_MS = 2000;
constexpr uint32_t IOC_RESTART_PAUSE_MS = 1000;
constexpr uint32_t AFTER_IOC_RESTART_MS = 4000;
constexpr uint32_t AFTER_IOC_RESTART_SLOT_CHANGE_MS = 14000;
constexpr uint32_t PORT_WAIT_LIMIT_MS = 80000;
constexpr uint32_t AFTER_PHY_RESET_MS = 4000;
constexpr uint32_t CONTINUE_MS = 6000;
constexpr uint32_t BEFORE_IOC_RESTART_MS = 5000;
constexpr uint32_t SLOT_CHANGE_SETTLE_MS = 4000;
constexpr uint32_t SLOT_CHANGE_PHASE_LIMIT_MS = 179999;
constexpr uint32_t SLOT_CHANGE_DRIVE_HOLD_OFF_MS = 60000;
constexpr uint8_t SLOT_CHANGE_FIRST_PHASE_LATE = 6;
constexpr uint8_t SLOT_CHANGE_SECOND_PHASE_LATE = 9;

constexpr uint32_t CPLD_CONTROL_REGISTER = 0xF100F000;
constexpr uint16_t CPLD_EXPANDER_FLASH = 0x0008;

constexpr uint8_t LINK = 0xA0;
constexpr uint8_t B0 = 0xB0, B1 = 0xB1, B2 = 0xB2, C0 = 0xC0, NS = SAS_NO_SLOT;
constexpr uint8_t OWN_MAP[24] = {B0, B0, B0, B0, C0, C0, C0, C0, LINK, LINK, LINK, LINK,
                                 9,  5,  1,  10, 6,  2,  11, 7,  3,    12,   8,    4};
constexpr uint8_t TYPE10_MAP[24] = {C0, C0, C0, C0, B1, B1, B1, B1, B2, B2, B2, B2,
                                    9,  5,  1,  10, 6,  2,  11, 7,  3,  12, 8,  4};
constexpr uint8_t TYPE11_SIDE1_MAP[36] = {NS, NS, NS, NS, NS, NS, NS, NS, NS, NS, NS, NS,
                                          4,  3,  8,  12, 7,  11, 2,  6,  10, 9,  5,  1,
                                          B2, B2, B2, B2, B1, B1, B1, B1, C0, C0, C0, C0};
constexpr uint8_t TYPE11_SIDE0_MAP[36] = {NS, NS, NS, NS, NS, NS, NS, NS, NS, NS, NS, NS,
                                          9,  10, 5,  1,  6,  2,  7,  3,  11, 4,  8,  12,
                                          B2, B2, B2, B2, B1, B1, B1, B1, C0, C0, C0, C0};
constexpr uint8_t TYPE6_PATH0_MAP[13] = {11, 7, 3, 12, 8, 4, C0, C0, B1, B1, B2, B2, NS};
constexpr uint8_t TYPE6_PATH1_MAP[13] = {9, 5, 1, 10, 6, 2, C0, C0, B1, B1, B2, B2, NS};
constexpr uint8_t OTHER_PATH0_MAP[13] = {9, 7, 8, 12, 10, 11, C0, C0, B1, B1, B2, B2, NS};
constexpr uint8_t OTHER_PATH1_MAP[13] = {2, 1, 3, 5, 4, 6, C0, C0, B1, B1, B2, B2, NS};

template <size_t N>
uint8_t Lookup(const uint8_t (&ab)[N], uint8_t bPhy) {
    return bPhy < N ? ab[bPhy] : SAS_NO_SLOT;
}


uint64_t SasAddressOf(const SAS_EXPANDER& s) {
    return static_cast<uint64_t>(s.adSASAddress[1]) << 32 | s.adSASAddress[0];
}

bool WaitedSince(uint64_t lSince, uint64_t lMs) { return lGetTickCount() - lSince >= lMs; }

// Walks the expanders the IOC reports, in its next-handle order, until a
// read fails; fnExpander sees page 0 and answers whether to read the phys,
// fnPhy sees each phy's page 1.  Stops at the expander table's size.
template <typename OnExpander, typename OnPhy>
void WalkExpanders(OnExpander fnExpander, OnPhy fnPhy) {
    KernelPoolLock sLock;
    uint16_t wHandle = 0xFFFF;
    for (uint8_t bIndex = 0;; ++bIndex) {
        const uint8_t* pb = nullptr;
        if (bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER, 0, MPI_SAS_PAGE_FORM_GET_NEXT_HANDLE | wHandle,
                                 &pb) != STATUS_OK) {
            return;
        }
        MPI_SAS_EXPANDER_PAGE_0 s0;
        std::memcpy(&s0, pb, sizeof s0);
        if (s0.wDevHandle == wHandle || s0.wDevHandle == 0xFFFF) return;  // no progress: stop rather than loop
        wHandle = s0.wDevHandle;
        if (bIndex >= SAS_MAX_EXPANDERS) {
            ++s_dTopologyOverflows;
            return;
        }
        if (s0.bNumPhys > SAS_EXPANDER_PHYS) ++s_dTopologyOverflows;
        if (!fnExpander(bIndex, s0)) continue;
        for (uint8_t p = 0; p < s0.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            if (bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER, 1,
                                     MPI_SAS_EXPANDER_PAGE_FORM_PHY | static_cast<uint32_t>(p) << 16 | s0.wDevHandle,
                                     &pb) != STATUS_OK) {
                continue;
            }
            MPI_SAS_EXPANDER_PAGE_1 s1;
            std::memcpy(&s1, pb, sizeof s1);
            fnPhy(bIndex, s0, p, s1);
        }
    }
}

template <typename OnPhy>
void ForEachExpanderPhy(OnPhy fnPhy) {
    WalkExpanders([](uint8_t, const MPI_SAS_EXPANDER_PAGE_0&) { return true; }, fnPhy);
}

void HardResetPhy(const MPI_SAS_EXPANDER_PAGE_0& s0, uint8_t bIndex, uint8_t bPhy) {
    (void)bSendSMPPhyControl(s0.dSASAddressLow, s0.dSASAddressHigh, bIndex, bPhy, SMP_PHY_HARD_RESET);
}

bool BehindInactiveSelector(const SAS_EXPANDER& s, uint8_t p) {
    return (s.adPhyInfo[p] & MPI_SAS_PHYINFO_PORT_SELECTOR) && !(s.adPhyInfo[p] & PHYINFO_SELECTOR_ACTIVE);
}

// A selector, or a multiplexer, that passes the other controller's path.
bool SelectorAgainstUs(const SAS_EXPANDER& s, uint8_t i, uint8_t p) {
    return BehindInactiveSelector(s, p) || s_aafMuxElsewhere[i][p] == TRUE;
}

// A slot whose selector this controller may take: one of its own by the
// owner maps, or any (fAnySlot).
bool MaySelectSlot(const SAS_EXPANDER& s, uint8_t p, bool fAnySlot) {
    return fAnySlot || bGetSlotOwnerController(s.bEnclosure, bSlotOfExpanderPhy(&s, p)) == bGetControllerNumber();
}

// One selector's signal: sent when wanted while the phy has tries left;
// once they are used up on a selector still against this side, event 19
// (2) once.  A selector that never switches is not signalled, nor another
// pass asked for, for ever.  TRUE when a signal went out.
uint8_t fSignalPortSelector(const SAS_EXPANDER& s, uint8_t i, uint8_t p, bool fAgainst, bool fWanted) {
    const bool fHeld = fGetSASTimedHoldFlag() == TRUE || fIsSASFailbackInProgress() == TRUE;
    const uint8_t bTries = fHeld ? PORT_SELECT_TRIES_HELD : PORT_SELECT_TRIES;
    if (s_aabPortSelectAttempts[i][p] < bTries) {
        SetSASPhyStateBits(i, p, SAS_PHY_PORT_SELECT_WARNED, FALSE);
        if (fWanted &&
            bSendSMPPhyControl(s.adSASAddress[0], s.adSASAddress[1], i, p, SMP_PHY_PORT_SELECT) == STATUS_OK) {
            ++s_aabPortSelectAttempts[i][p];
            return TRUE;
        }
    } else if (fAgainst && !(bGetSASPhyState(i, p) & SAS_PHY_PORT_SELECT_WARNED)) {
        PostEvent(EVENT_PHY_WARNING, 2, s.bEnclosure, bSlotOfExpanderPhy(&s, p));
        SetSASPhyStateBits(i, p, SAS_PHY_PORT_SELECT_WARNED, TRUE);
    }
    return FALSE;
}

// A drive this controller serves whose multiplexer its partner's signal
// took over: until the partner lists the drive, its commands wait here
// and the pass is looked at again, so that the next list hands the drive
// to the partner as a proxy with what it held, rather than dropping it as
// gone (its arrays would lose a member that is still there).  Within the
// phy's tries; true while it waits.
bool AwaitPartnerListing(const SAS_EXPANDER& s, uint8_t i, uint8_t p) {
    const uint8_t bSlot = bSlotOfExpanderPhy(&s, p);
    const uint8_t bTarget = bGetTargetIdByEnclosureSlot(s.bEnclosure, bSlot);
    if (bTarget == 0xFF || (bTarget & SAS_PROXY_TARGET_BIT) || fIsSlotListedByPartner(s.bEnclosure, bSlot) == TRUE) {
        // Handed over (or never ours): the phy's tries start afresh for a
        // later take-over.
        s_aabPortSelectAttempts[i][p] = 0;
        return false;
    }
    if (s_aabPortSelectAttempts[i][p] >= HANDOVER_LOOKS) return false;
    ++s_aabPortSelectAttempts[i][p];
    SetSASTargetHoldOff(bTarget, lGetTickCount() + HANDOVER_HOLD_MS);
    s_fHandoverPending = TRUE;
    return true;
}

// The SATA port-select pass: counts the SATA devices, direct and behind
// port selectors, into the header and, with fSend TRUE, signals every
// selector that does not pass this controller's path (fIncludeActive: also
// those that do) on a slot of this controller's (fForce: any slot), a
// limited number of times per phy.  TRUE when a signal went out.
uint8_t fSelectPorts(SAS_EXPANDER_LIST* psList, uint8_t fSend, uint8_t fForce, uint8_t fIncludeActive) {
    SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(psList);
    const bool fAnySlot = fForce == TRUE || fIsDualControllerActive() != TRUE;
    uint8_t fSent = FALSE;
    psHeader->bPortSelectorPhys = 0;
    psHeader->bDirectSataDevices = 0;
    for (uint8_t i = 0; i < psHeader->bExpanderCount && i < SAS_MAX_EXPANDERS; ++i) {
        const SAS_EXPANDER& s = psList->asExpander[i];
        if (s.fUsable != TRUE) continue;
        for (uint8_t p = 0; p < s.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            if (bGetSASPhyState(i, p) & SAS_PHY_DISABLED) continue;
            if (!(s.adPhyInfo[p] & MPI_SAS_PHYINFO_PORT_SELECTOR)) {
                if (s.adAttachedDeviceInfo[p] & MPI_SAS_DEVICE_INFO_SATA_DEVICE) ++psHeader->bDirectSataDevices;
                continue;
            }
            ++psHeader->bPortSelectorPhys;
            const bool fAgainst = BehindInactiveSelector(s, p);
            const bool fWanted = fSend == TRUE && (fAgainst || fIncludeActive == TRUE) && MaySelectSlot(s, p, fAnySlot);
            if (fSignalPortSelector(s, i, p, fAgainst, fWanted) == TRUE) fSent = TRUE;
        }
    }
    return fSent;
}

// The expanders on this controller's IOC: the board's expander phys when
// the bring-up recorded them (and its partner phys name the partner's IOC),
// else the first two distinct handles the IOC shows.
uint8_t bReadAttachedExpanders(SAS_EXPANDER_LIST_HEADER* psHeader) {
    const uint8_t* pb = nullptr;
    if (bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, 0, &pb) != STATUS_OK) return 0;
    MPI_SAS_IO_UNIT_PAGE_0 sIo;
    std::memcpy(&sIo, pb, sizeof sIo);
    const uint8_t bPhys = sIo.bNumPhys < MPI_SAS_IO_UNIT_PHYS ? sIo.bNumPhys : MPI_SAS_IO_UNIT_PHYS;
    const LSI_SAS_BOARD_LAYOUT* psLayout = pGetSASBoardLayout();
    auto fHandle = [](uint16_t w) { return w != 0 && w != 0xFFFF; };
    if (psLayout->bTableSet != 0) {
        const uint8_t abOwn[2] = {psLayout->bFirstExpanderPhy, psLayout->bSecondExpanderPhy};
        for (uint8_t k = 0; k < 2; ++k) {
            if (abOwn[k] < bPhys && psHeader->awAttachedHandle[k] == 0xFFFF &&
                fHandle(sIo.asPhy[abOwn[k]].wControllerDevHandle)) {
                psHeader->awAttachedHandle[k] = sIo.asPhy[abOwn[k]].wControllerDevHandle;
            }
            const uint8_t bPartner = psLayout->abPartnerPhy[k];
            s_awPartnerIocHandle[k] = bPartner < bPhys ? sIo.asPhy[bPartner].wAttachedDevHandle : 0xFFFF;
        }
    } else {
        uint8_t bFound = 0;
        for (uint8_t p = 0; p < bPhys && bFound < 2; ++p) {
            const uint16_t w = sIo.asPhy[p].wControllerDevHandle;
            if (!fHandle(w) || (bFound == 1 && psHeader->awAttachedHandle[0] == w)) continue;
            psHeader->awAttachedHandle[bFound++] = w;
        }
    }
    // The IO unit's settings and phy state are read with it.
    for (uint8_t bPage = 1; bPage <= 3; ++bPage) (void)bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, bPage, 0, &pb);
    return STATUS_OK;
}

// Enclosure, side, path and usability of every expander, and the highest
// enclosure number.
void PlaceExpanders(SAS_EXPANDER_LIST* psList) {
    SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(psList);
    const uint8_t bCount = psHeader->bExpanderCount;
    const uint8_t bOwnSide = bGetControllerNumber() == 1 ? 0 : 1;
    uint8_t bPartnerOnboard = 0;
    uint8_t bHighest = 0;
    for (uint8_t i = 0; i < bCount; ++i) {
        SAS_EXPANDER& s = psList->asExpander[i];
        for (uint8_t j = 0; j < bCount; ++j) {
            if (psList->asExpander[j].wParentDevHandle == s.wDevHandle) s.wUpstreamHandle = s.wDevHandle;
        }
        s.fUsable = TRUE;
        if (s.wDevHandle == psHeader->awAttachedHandle[0] || s.wDevHandle == psHeader->awAttachedHandle[1]) {
            s.bEnclosure = 1;
            s.bPath = s.wDevHandle == psHeader->awAttachedHandle[0] ? 0 : 1;
            s.bSide = bOwnSide;
        } else if (fIsPartnerOnboardExpander(&s) == TRUE) {
            s.bEnclosure = 1;
            s.bPath = bPartnerOnboard < 1 ? 0 : 1;
            ++bPartnerOnboard;
            s.bSide = static_cast<uint8_t>(1 - bOwnSide);
            s.fUsable = FALSE;
        } else {
            s.bEnclosure = s.bSASLevel;
            s.bSide = (s.adSASAddress[0] >> 7) & 1;
            s.bPath = (s.adSASAddress[0] >> 8) & 1;
        }
        if (s.bEnclosure > bHighest) bHighest = s.bEnclosure;
    }
    psHeader->bHighestEnclosure = bHighest;
}

const SAS_EXPANDER* FindInPrevious(const SAS_EXPANDER& s) {
    const SAS_EXPANDER_LIST_HEADER* psPrev = psSASExpanderHeader(&s_sPrevious);
    for (uint8_t j = 0; j < psPrev->bExpanderCount && j < SAS_MAX_EXPANDERS; ++j) {
        const SAS_EXPANDER& o = s_sPrevious.asExpander[j];
        if (SasAddressOf(o) == SasAddressOf(s)) return &o;
    }
    return nullptr;
}

// The enclosure model behind an expander, from its manufacturer
// information: 255 identified (or no answer: type 0, not responding), 250
// when its vendor is one the enclosure code does not accept.
uint8_t bIdentifyExpander(SAS_EXPANDER* ps, uint8_t bIndex, uint8_t bOwnSide) {
    uint8_t abAnswer[SMP_MANUFACTURER_BYTES];
    ps->bEnclosureType = 0;
    for (uint8_t bTry = 0; bTry < MANUFACTURER_TRIES; ++bTry) {
        if (bTry != 0) SpinDelayMs(MANUFACTURER_RETRY_MS);
        if (bReportManufacturerInformation(ps->adSASAddress[0], ps->adSASAddress[1], abAnswer) != STATUS_OK) continue;
        const uint8_t* pbVendor = abAnswer + SMP_MANUFACTURER_VENDOR_OFFSET;
        if (fIsEnclosureVendorAccepted(pbVendor) != TRUE) {
            ps->fResponding = FALSE;
            // Reported once, not at every retry while it stays refused.
            if (s_lRefusedExpander != SasAddressOf(*ps)) {
                s_lRefusedExpander = SasAddressOf(*ps);
                PostEvent(EVENT_EXPANDER_VENDOR, static_cast<uint8_t>(bIndex + 1), pbVendor[0], pbVendor[1],
                          pbVendor[2], pbVendor[3], pbVendor[4], pbVendor[5], pbVendor[6], pbVendor[7]);
            }
            return SAS_DISCOVERY_RETRY;
        }
        // The family's two expansion enclosures by name; anything else
        // by the type byte it reports.
        const uint8_t* pbProduct = abAnswer + SMP_MANUFACTURER_PRODUCT_OFFSET;
        const bool fFamily = bIsExpansionEnclosure(pbVendor, pbProduct) == STATUS_OK;
        if (fFamily && std::memcmp(pbProduct, "Vomax expansion ", 16) == 0) {
            ps->bEnclosureType = ENCLOSURE_TYPE_10;
        } else if (fFamily) {
            ps->bEnclosureType = ENCLOSURE_TYPE_11;
            ps->bSide = bOwnSide;
            ConsolePrintf(bOwnSide == 0 ? "Set port to 0" : "Set port to 1");
        } else if (abAnswer[SMP_ENCLOSURE_TYPE_OFFSET] & 0x80) {
            ps->bEnclosureType = abAnswer[SMP_ENCLOSURE_TYPE_OFFSET] & 7;
        } else {
            ps->bEnclosureType = ENCLOSURE_TYPE_10;
            ps->bSide = bOwnSide;
        }
        return STATUS_OK;
    }
    ps->fResponding = FALSE;
    return STATUS_OK;
}

// A phy whose change count jumps on two passes running is reported.
void CheckChangeCounts(const SAS_EXPANDER_LIST* psList) {
    const SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(const_cast<SAS_EXPANDER_LIST*>(psList));
    const SAS_EXPANDER_LIST_HEADER* psPrev = psSASExpanderHeader(&s_sPrevious);
    for (uint8_t i = 0; i < psHeader->bExpanderCount && i < SAS_MAX_EXPANDERS; ++i) {
        const SAS_EXPANDER& s = psList->asExpander[i];
        if (fIsPartnerOnboardExpander(&s) == TRUE || i >= psPrev->bExpanderCount ||
            SasAddressOf(s_sPrevious.asExpander[i]) != SasAddressOf(s)) {
            continue;
        }
        for (uint8_t p = 0; p < s.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            const uint8_t bSlot = bSlotOfExpanderPhy(&s, p);
            if (bSlot >= SLOT_LIMIT) continue;
            const uint8_t bNow = s_aabChangeCount[i][p], bBefore = s_aabPreviousChangeCount[i][p];
            if (bNow != 0 && bBefore != 0 && static_cast<uint8_t>(bNow - bBefore) >= CHANGE_COUNT_JUMP) {
                if (bGetSASPhyState(i, p) & SAS_PHY_CHANGE_WARNED) PostEvent(EVENT_PHY_WARNING, 1, s.bEnclosure, bSlot);
                SetSASPhyStateBits(i, p, SAS_PHY_CHANGE_WARNED, TRUE);
            } else {
                SetSASPhyStateBits(i, p, SAS_PHY_CHANGE_WARNED, FALSE);
            }
        }
    }
}

// The enclosure count against the previous pass's: a cascade cut with two
// controllers starts the slot-change sequence; a new enclosure is reported.
// 0 when the pass must end in an IOC restart, else 255.
uint8_t bCompareEnclosureCount(uint8_t bNow, uint8_t bBefore) {
    if (bNow < bBefore) {
        if (fIsDualControllerActive() != TRUE || fIsSASSlotChangeArmed() == TRUE) return STATUS_OK;
        StartSASSlotChange(static_cast<uint8_t>(bNow + 1));
        SetDriveSidePhaseByte(3);
        CheckEventRate(ENCLOSURE_FALL, bBefore, bBefore, bNow);
        return fIsInitializationComplete() == TRUE ? SAS_DISCOVERY_RESTART_IOC : STATUS_OK;
    }
    if (bNow > bBefore && fDoesSASActiveActiveObjectToNewEnclosure() != TRUE) {
        CheckEventRate(ENCLOSURE_RISE, bNow, bBefore, bNow);
        ArmSASActiveActiveUpdate();
    }
    return STATUS_OK;
}

void StopDiscovery() {
    s_bState = SAS_DISC_IDLE;
    s_fRunning = FALSE;
}

}  // namespace

SAS_EXPANDER_LIST_HEADER* psSASExpanderHeader(SAS_EXPANDER_LIST* psList) {
    return reinterpret_cast<SAS_EXPANDER_LIST_HEADER*>(psList->asExpander[0].abHeader);
}

void InitSASExpanderList(SAS_EXPANDER_LIST* psList) {
    std::memset(psList, 0, sizeof *psList);
    SAS_EXPANDER_LIST_HEADER* ps = psSASExpanderHeader(psList);
    ps->awAttachedHandle[0] = ps->awAttachedHandle[1] = 0xFFFF;
    for (SAS_EXPANDER& s : psList->asExpander) {
        s.wDevHandle = s.wParentDevHandle = s.wUpstreamHandle = 0xFFFF;
        for (uint16_t& w : s.awAttachedHandle) w = 0xFFFF;
    }
}

void ShowSASExpanderList(SAS_EXPANDER_LIST* psList) {
    SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(psList);
    ConsolePrintf("SAS Expander List H:%04x %04x Encl:%02x Mux:%02x AA:%02x\n", psHeader->awAttachedHandle[0],
                psHeader->awAttachedHandle[1], psHeader->bHighestEnclosure, psHeader->bPortSelectorPhys,
                psHeader->bDirectSataDevices);
    for (uint8_t i = 0; i < psHeader->bExpanderCount && i < SAS_MAX_EXPANDERS; ++i) {
        const SAS_EXPANDER& s = psList->asExpander[i];
        ConsolePrintf("%02x: %08x%08x H:%04x P:%04x U:%04x Encl:%02x S:%x P:%x L:%02x T:%02x\n", i, s.adSASAddress[1],
                    s.adSASAddress[0], s.wDevHandle, s.wParentDevHandle, s.wUpstreamHandle, s.bEnclosure, s.bSide,
                    s.bPath, s.bSASLevel, s.bEnclosureType);
        if (s.fUsable != TRUE) {
            ConsolePrintf("Note: Invalid Expander! \n");
            continue;
        }
        for (uint8_t p = 0; p < s.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            ConsolePrintf(" Phy:%02x Phy Info:%08x Attached Device Info:%08x Handle:%04x MSC:%02x FL:%02x\n", p,
                        s.adPhyInfo[p], s.adAttachedDeviceInfo[p], s.awAttachedHandle[p], s_aabChangeCount[i][p],
                        s_aabPhyState[i][p]);
        }
    }
}

SAS_EXPANDER_LIST* pGetSASExpanderList() { return &s_sCurrent; }
SAS_EXPANDER_LIST* pGetPreviousSASExpanderList() { return &s_sPrevious; }
SAS_EXPANDER_LIST* pGetOCSASExpanderList() { return &s_sPartner; }
SAS_EXPANDER_LIST* pGetSASExpanderListForPartner() { return &s_sForPartner; }

uint8_t bGetSASPhyState(uint8_t bExpander, uint8_t bPhy) {
    return bExpander < SAS_MAX_EXPANDERS && bPhy < SAS_EXPANDER_PHYS ? s_aabPhyState[bExpander][bPhy] : 0;
}

void SetSASPhyStateBits(uint8_t bExpander, uint8_t bPhy, uint8_t bBits, uint8_t fSet) {
    if (bExpander >= SAS_MAX_EXPANDERS || bPhy >= SAS_EXPANDER_PHYS) return;
    if (fSet == TRUE) {
        s_aabPhyState[bExpander][bPhy] |= bBits;
    } else {
        s_aabPhyState[bExpander][bPhy] &= static_cast<uint8_t>(~bBits);
    }
}

// The partner's onboard expander carries the controllers' company id and
// the other controller's number in bits 11-10 of its lower word.
uint8_t fIsPartnerOnboardExpander(const SAS_EXPANDER* ps) {
    const uint32_t dOtherCode = bGetControllerNumber() == 1 ? 0x800 : 0x400;
    return ToFlag((ps->adSASAddress[1] & 0x0FFFFFF0) == SAS_CONTROLLER_OUI << 4 &&
                  (ps->adSASAddress[0] & 0xC00) == dOtherCode);
}

void InitSASDiscoveryTables() {
    InitSASExpanderList(&s_sCurrent);
    InitSASExpanderList(&s_sPrevious);
    InitSASExpanderList(&s_sPartner);
    InitSASExpanderList(&s_sForPartner);
    std::memset(s_aabPhyState, 0, sizeof s_aabPhyState);
    std::memset(s_aabChangeCount, 0, sizeof s_aabChangeCount);
    std::memset(s_aabPreviousChangeCount, 0, sizeof s_aabPreviousChangeCount);
    std::memset(s_aabPortSelectAttempts, 0, sizeof s_aabPortSelectAttempts);
    std::memset(s_aafMuxElsewhere, FALSE, sizeof s_aafMuxElsewhere);
    s_fHandoverPending = FALSE;
    s_dTakeOverHolds = 0;
    InitSlotOwnerMaps();
}

// A restarted IOC re-enables its phys: the disabled marks go.
void ClearSASPhyStateOnRestart() {
    for (auto& ab : s_aabPhyState) {
        for (uint8_t& b : ab) b &= static_cast<uint8_t>(~(SAS_PHY_DISABLED | SAS_PHY_CLEARED_ON_RESTART));
    }
}

// The state and its running flag stay: a restart from discovery's own
// state 1 goes on to state 2.
void ResetSASDiscoveryBookkeeping() {
    for (uint32_t& d : s_adExpanderPosition) d = 0xFFFFFFFF;
    s_awPartnerIocHandle[0] = s_awPartnerIocHandle[1] = 0xFFFF;
    s_fMoreWork = FALSE;
    s_fRestartArgument = FALSE;
    s_lContinueTime = 0;
}

uint32_t dGetSASExpanderPosition(uint8_t bExpander) {
    return bExpander < SAS_MAX_EXPANDERS ? s_adExpanderPosition[bExpander] : 0xFFFFFFFF;
}

void ClearSASDiscoveryState() {
    StopDiscovery();
    s_fMoreWork = FALSE;
    s_fPauseRequest = FALSE;
    s_fPauseAcknowledged = FALSE;
    SetSASTimedHoldFlag(FALSE);
    SetSASIOCRestartRequest(FALSE);
    SetSASSecondIOCRestart(FALSE);
}

uint16_t wGetPartnerIocHandle(uint8_t bPath) { return bPath < 2 ? s_awPartnerIocHandle[bPath] : 0xFFFF; }
uint32_t dGetSASTopologyOverflows() { return s_dTopologyOverflows; }

void SetCPLDControlBit3(uint8_t f) {
    const uint16_t w = Reg16Read(CPLD_CONTROL_REGISTER);
    Reg16Write(CPLD_CONTROL_REGISTER,
               static_cast<uint16_t>(f == TRUE ? w & ~CPLD_EXPANDER_FLASH : w | CPLD_EXPANDER_FLASH));
}

uint8_t bReadDriveSidePage(uint8_t bExtType, uint8_t bPage, uint32_t dAddress, BUFFER_HANDLE dBuffer,
                           uint32_t* pdLength) {
    uint16_t wStatus = 0;
    // A handshake: the drive-side interrupt must not acknowledge the
    // doorbell while it runs.
    KernelPoolLock sLock;
    if (bLSIConfigPageRead(LSI_IOC_DRIVE, TRUE, FALSE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, bPage, bExtType, dAddress,
                           dBuffer, BUFFER_PAGE_SIZE, pdLength, &wStatus) != STATUS_OK ||
        (wStatus & MPI_IOCSTATUS_MASK) != MPI_IOCSTATUS_SUCCESS) {
        return 0;
    }
    return STATUS_OK;
}

uint8_t bReadSASTopologyPage(uint8_t bExtType, uint8_t bPage, uint32_t dAddress, const uint8_t** ppbPage) {
    if (s_dPage == NULL_BUFFER_HANDLE && bAllocDataPages(0, 1, &s_dPage) != STATUS_OK) {
        s_dPage = NULL_BUFFER_HANDLE;
        return 0;
    }
    uint32_t dLength = 0;
    if (bReadDriveSidePage(bExtType, bPage, dAddress, s_dPage, &dLength) != STATUS_OK) return 0;
    *ppbPage = static_cast<const uint8_t*>(pBufferHandleToPointer(s_dPage));
    return STATUS_OK;
}

uint8_t bSlotOfExpanderPhy(const SAS_EXPANDER* ps, uint8_t bPhy) {
    if (ps->bEnclosure == 1) return Lookup(OWN_MAP, bPhy);
    switch (ps->bEnclosureType) {
    case ENCLOSURE_TYPE_10:
        return Lookup(TYPE10_MAP, bPhy);
    case ENCLOSURE_TYPE_11:
        return ps->bSide == 1 ? Lookup(TYPE11_SIDE1_MAP, bPhy) : Lookup(TYPE11_SIDE0_MAP, bPhy);
    case ENCLOSURE_TYPE_6:
        return ps->bPath == 0 ? Lookup(TYPE6_PATH0_MAP, bPhy)
               : ps->bPath == 1 ? Lookup(TYPE6_PATH1_MAP, bPhy)
                                : SAS_NO_SLOT;
    default:
        return ps->bPath == 0 ? Lookup(OTHER_PATH0_MAP, bPhy)
               : ps->bPath == 1 ? Lookup(OTHER_PATH1_MAP, bPhy)
                                : SAS_NO_SLOT;
    }
}

uint8_t bGetEnclosureSlotOfExpanderPhy(uint16_t wHandle, uint8_t bPhy, uint8_t* pbEnclosure, uint8_t* pbSlot) {
    SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(&s_sCurrent);
    for (uint8_t i = 0; i < psHeader->bExpanderCount && i < SAS_MAX_EXPANDERS; ++i) {
        const SAS_EXPANDER& s = s_sCurrent.asExpander[i];
        if (s.wDevHandle != wHandle || s.fResponding != TRUE) continue;
        *pbEnclosure = s.bEnclosure;
        *pbSlot = bSlotOfExpanderPhy(&s, bPhy);
        return STATUS_OK;
    }
    *pbEnclosure = *pbSlot = SAS_NO_SLOT;
    return 0;
}

uint8_t bFindExpanderPhyOfEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, uint8_t* pbExpander, uint8_t* pbPhy) {
    SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(&s_sCurrent);
    for (uint8_t i = 0; i < psHeader->bExpanderCount && i < SAS_MAX_EXPANDERS; ++i) {
        const SAS_EXPANDER& s = s_sCurrent.asExpander[i];
        if (s.fUsable != TRUE || s.bEnclosure != bEnclosure) continue;
        for (uint8_t p = 0; p < s.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            if (bSlotOfExpanderPhy(&s, p) == bSlot) {
                *pbExpander = i;
                *pbPhy = p;
                return STATUS_OK;
            }
        }
    }
    *pbExpander = *pbPhy = 0xFF;
    return 0;
}

uint8_t bDiscoverSASExpanders(uint8_t fPortSelect) {
    KernelPoolLock sLock;
    SAS_EXPANDER_LIST* psList = &s_sCurrent;
    SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(psList);
    const SAS_EXPANDER_LIST_HEADER* psPrev = psSASExpanderHeader(&s_sPrevious);
    const uint8_t bExpandersBefore = psPrev->bExpanderCount;
    const uint8_t bSelectorPhysBefore = psPrev->bPortSelectorPhys;
    // A pass that cannot even read the IO unit leaves the last list as it
    // was, for a rebuild that follows it.
    SAS_EXPANDER_LIST_HEADER sAttached;
    sAttached.awAttachedHandle[0] = sAttached.awAttachedHandle[1] = 0xFFFF;
    if (bReadAttachedExpanders(&sAttached) != STATUS_OK) return SAS_DISCOVERY_RESTART_IOC;
    InitSASExpanderList(psList);
    psHeader->awAttachedHandle[0] = sAttached.awAttachedHandle[0];
    psHeader->awAttachedHandle[1] = sAttached.awAttachedHandle[1];

    // Walk the expanders until the IOC has no next one; the partner's
    // onboard expander far down the cascade is listed without its phys.
    uint8_t bCount = 0;
    WalkExpanders(
        [&](uint8_t bIndex, const MPI_SAS_EXPANDER_PAGE_0& s0) {
            bCount = static_cast<uint8_t>(bIndex + 1);
            SAS_EXPANDER& s = psList->asExpander[bIndex];
            s.adSASAddress[0] = s0.dSASAddressLow;
            s.adSASAddress[1] = s0.dSASAddressHigh;
            s.wDevHandle = s0.wDevHandle;
            s.wParentDevHandle = s0.wParentDevHandle;
            s.bNumPhys = s0.bNumPhys;
            s.bSASLevel = s0.bSASLevel;
            s.fResponding = TRUE;
            return !(fIsPartnerOnboardExpander(&s) == TRUE && s.bSASLevel >= 3);
        },
        [&](uint8_t bIndex, const MPI_SAS_EXPANDER_PAGE_0&, uint8_t p, const MPI_SAS_EXPANDER_PAGE_1& s1) {
            SAS_EXPANDER& s = psList->asExpander[bIndex];
            s.awAttachedHandle[p] = s1.wAttachedDevHandle;
            s.adPhyInfo[p] = s1.dPhyInfo;
            s.adAttachedDeviceInfo[p] = s1.dAttachedDeviceInfo;
            s_aabChangeCount[bIndex][p] = s1.bChangeCount;
            SetSASPhyStateBits(bIndex, p, SAS_PHY_DISABLED,
                               ToFlag(s1.bNegotiatedLinkRate == MPI_SAS_LINK_RATE_PHY_DISABLED));
        });
    psHeader->bExpanderCount = bCount;
    PlaceExpanders(psList);

    // An expander seen before with the same address, handle and enclosure
    // keeps its identity without a new query; the own enclosure is the
    // backplane.
    const uint8_t bOwnSide = bGetControllerNumber() == 1 ? 0 : 1;
    for (uint8_t i = 0; i < bCount; ++i) {
        SAS_EXPANDER& s = psList->asExpander[i];
        const SAS_EXPANDER* psOld = FindInPrevious(s);
        if (psOld != nullptr && psOld->wDevHandle == s.wDevHandle && psOld->bEnclosure == s.bEnclosure) {
            s.bEnclosureType = psOld->bEnclosureType;
            s.bSide = psOld->bSide;
            std::memcpy(s.abEnclosureData, psOld->abEnclosureData, sizeof s.abEnclosureData);
        } else {
            s.bEnclosureType = s.bEnclosure == 1 ? bGetBackplaneType() : IDENTIFY_PENDING;
        }
    }
    // The query waits for its reply, which the interrupt delivers: the
    // drive-side lock is let go for it.
    sLock.Release();
    for (uint8_t i = 0; i < bCount; ++i) {
        if (psList->asExpander[i].bEnclosureType != IDENTIFY_PENDING) continue;
        if (bIdentifyExpander(&psList->asExpander[i], i, bOwnSide) == SAS_DISCOVERY_RETRY) return SAS_DISCOVERY_RETRY;
    }
    KernelPoolLock sRelock;

    // Port selection below asks who owns each slot.
    SetupSlotOwnerMaps();
    NotifySASExpanderListChanged();
    CheckChangeCounts(psList);
    uint8_t fResult = fSelectPorts(psList, fPortSelect, FALSE, FALSE);
    // The multiplexers in front of single-ported SATA drives show no
    // selector bit: their drives are found by the access the IOC is refused.
    if (fPortSelect == TRUE && bSendSATAPortSelectionSweep(FALSE) == TRUE) fResult = TRUE;

    if (fIsModelZ7Q4() == TRUE) psHeader->bHighestEnclosure = 0;
    if (bCompareEnclosureCount(psHeader->bHighestEnclosure, psPrev->bHighestEnclosure) == SAS_DISCOVERY_RESTART_IOC) {
        return SAS_DISCOVERY_RESTART_IOC;
    }

    std::memcpy(&s_sPrevious, psList, sizeof s_sPrevious);
    std::memcpy(&s_sForPartner, psList, sizeof s_sForPartner);
    sRelock.Release();
    // Expanders and selectors both gone at once: the partner took the
    // cascade over, and is told to look again.
    if (fIsDualControllerActive() == TRUE) {
        const bool fLost = psHeader->bExpanderCount < bExpandersBefore && psHeader->bPortSelectorPhys < bSelectorPhysBefore;
        (void)bSendSasPhyMessage190(ToFlag(fLost));
        if (fLost) fResult = TRUE;
    }
    std::memcpy(s_aabPreviousChangeCount, s_aabChangeCount, sizeof s_aabChangeCount);
    for (uint8_t i = bCount; i < SAS_MAX_EXPANDERS; ++i) {
        std::memset(s_aabPhyState[i], 0, SAS_EXPANDER_PHYS);
        std::memset(s_aafMuxElsewhere[i], FALSE, SAS_EXPANDER_PHYS);
    }
    // Attempts are counted across passes only while a selector stays
    // against this side.
    for (uint8_t i = 0; i < SAS_MAX_EXPANDERS && fResult != TRUE; ++i) {
        for (uint8_t p = 0; p < SAS_EXPANDER_PHYS; ++p) {
            if (i >= bCount || !SelectorAgainstUs(psList->asExpander[i], i, p)) s_aabPortSelectAttempts[i][p] = 0;
        }
    }
    NotifySASExpanderListChanged();
    return fResult == TRUE ? TRUE : STATUS_OK;
}

uint8_t bCountSASExpanders() {
    uint8_t bCount = 0;
    WalkExpanders(
        [&](uint8_t, const MPI_SAS_EXPANDER_PAGE_0&) {
            ++bCount;
            return false;
        },
        [](uint8_t, const MPI_SAS_EXPANDER_PAGE_0&, uint8_t, const MPI_SAS_EXPANDER_PAGE_1&) {});
    return bCount;
}

uint8_t fSelectSATAPortsOfThisController(uint8_t fForce, uint8_t fIncludeActive) {
    KernelPoolLock sLock;
    const uint8_t fSelectors = fSelectPorts(&s_sCurrent, TRUE, fForce, fIncludeActive);
    const uint8_t fMultiplexers = bSendSATAPortSelectionSweep(fForce);
    return ToFlag(fSelectors == TRUE || fMultiplexers == TRUE);
}

uint8_t fHoldSASTargetForTakeOver(uint8_t bTarget) {
    if (bTarget >= SAS_PROXY_TARGET_BIT || (fIsPartnerAlive() != TRUE && fIsDualControllerActive() != TRUE)) {
        return FALSE;
    }
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (ps == nullptr || fIsSASDeviceBehindAAMux(ps) != TRUE) return FALSE;
    // Held as a drive the partner took is held at each look, until the
    // partner lists it or the look finds it gone.
    SetSASTargetHoldOff(bTarget, lGetTickCount() + HANDOVER_HOLD_MS);
    SetSasDiscoveryWork(TRUE);
    ++s_dTakeOverHolds;
    return TRUE;
}

uint32_t dGetSASTakeOverHolds() { return s_dTakeOverHolds; }

uint8_t fAreSATADrivesShared() {
    // Beside a partner, a SATA drive without the selector bit sits behind
    // a multiplexer.
    const SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(&s_sCurrent);
    return ToFlag(psHeader->bPortSelectorPhys != 0 || psHeader->bDirectSataDevices != 0);
}

uint8_t fSelectSATAMuxPort(uint8_t bExpander, uint16_t wHandle, uint8_t bPhy, uint8_t fElsewhere, uint8_t fForce) {
    const SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(&s_sCurrent);
    if (bExpander >= psHeader->bExpanderCount || bExpander >= SAS_MAX_EXPANDERS || bPhy >= SAS_EXPANDER_PHYS) {
        return FALSE;
    }
    const SAS_EXPANDER& s = s_sCurrent.asExpander[bExpander];
    // The IOC's walk no longer matches the pass's list: the next pass
    // signals it.
    if (s.wDevHandle != wHandle || s.fUsable != TRUE) return FALSE;
    s_aafMuxElsewhere[bExpander][bPhy] = ToFlag(fElsewhere == TRUE);
    // Alone, every drive is this controller's to serve; beside a partner
    // (running or still starting) only the slots the owner maps give it,
    // or the two would take the drives from each other in turn.
    const bool fAnySlot = fForce == TRUE || (fIsDualControllerActive() != TRUE && fIsPartnerAlive() != TRUE);
    const bool fAgainst = fElsewhere == TRUE;
    if (fAgainst && !MaySelectSlot(s, bPhy, fAnySlot)) return ToFlag(AwaitPartnerListing(s, bExpander, bPhy));
    return fSignalPortSelector(s, bExpander, bPhy, fAgainst, fAgainst);
}

uint8_t RestartSASDiscovery(uint8_t fSparseTargets) {
    ForEachExpanderPhy([&](uint8_t bIndex, const MPI_SAS_EXPANDER_PAGE_0& s0, uint8_t p,
                           const MPI_SAS_EXPANDER_PAGE_1& s1) {
        if (s1.bNegotiatedLinkRate == MPI_SAS_LINK_RATE_PHY_DISABLED) {
            SetSASPhyStateBits(bIndex, p, SAS_PHY_DISABLED, TRUE);
            return;
        }
        // The enclosure processor on a virtual phy has no link to reset.
        if (s1.dPhyInfo & MPI_SAS_PHYINFO_VIRTUAL_PHY) return;
        const uint32_t d = s1.dAttachedDeviceInfo;
        const uint32_t dType = d & MPI_SAS_DEVICE_INFO_TYPE_MASK;
        // Only end devices: an empty phy, an initiator or an expander is
        // left alone.
        if (dType == 0 || (d & MPI_SAS_DEVICE_INFO_INITIATORS) || dType == MPI_SAS_DEVICE_INFO_EDGE_EXPANDER ||
            dType == MPI_SAS_DEVICE_INFO_FANOUT_EXPANDER) {
            return;
        }
        if (fSparseTargets == TRUE && (d & (MPI_SAS_DEVICE_INFO_SSP_TARGET | MPI_SAS_DEVICE_INFO_SMP_TARGET))) return;
        HardResetPhy(s0, bIndex, p);
    });
    return STATUS_OK;
}

uint8_t fResetVanishedDevicePhys() {
    uint8_t fReset = FALSE;
    const uint8_t bPrevious = psSASExpanderHeader(&s_sPrevious)->bExpanderCount;
    ForEachExpanderPhy([&](uint8_t bIndex, const MPI_SAS_EXPANDER_PAGE_0& s0, uint8_t p,
                           const MPI_SAS_EXPANDER_PAGE_1& s1) {
        if ((s1.dAttachedDeviceInfo & MPI_SAS_DEVICE_INFO_TYPE_MASK) != 0) return;
        for (uint8_t i = 0; i < bPrevious && i < SAS_MAX_EXPANDERS; ++i) {
            const SAS_EXPANDER& o = s_sPrevious.asExpander[i];
            if (o.wDevHandle != s0.wDevHandle || p >= o.bNumPhys) continue;
            if (o.adAttachedDeviceInfo[p] & (MPI_SAS_DEVICE_INFO_SATA_DEVICE | MPI_SAS_DEVICE_INFO_SSP_TARGET)) {
                HardResetPhy(s0, bIndex, p);
                fReset = TRUE;
            }
            return;
        }
    });
    return fReset;
}

void StartSASSlotChange(uint8_t bEnclosureTarget) {
    SetSASDriveSideHoldOff(lGetTickCount() + SLOT_CHANGE_DRIVE_HOLD_OFF_MS);
    s_bEnclosureTarget = bEnclosureTarget;
    s_fFirstPhaseDone = s_fSecondPhaseArmed = s_fSecondPhaseDone = FALSE;
    SetSASSlotChangeArmed(TRUE);
}

uint8_t bGetSASSlotChangeEnclosureTarget() { return s_bEnclosureTarget; }
uint8_t bGetSASSlotChangeSubState() { return s_bSlotSubState; }

uint8_t bGetSASDiscoveryState() { return s_bState; }
uint8_t fIsSASDiscoveryRunning() { return s_fRunning; }
uint8_t fIsSASDiscoveryMoreWork() { return s_fMoreWork; }
void SetSASDiscoveryPauseRequest(uint8_t f) { s_fPauseRequest = f; }
uint8_t fIsSASDiscoveryPauseAcknowledged() { return s_fPauseAcknowledged; }

namespace {

// State 1: the IOC is reset and brought up again (twice when asked), the
// expander phys of end devices reset first.
void RestartIocStep() {
    if (fIsSASSlotChangeArmed() == TRUE) {
        if (pGetSASDriveInfoList()->bProxyCount != 0) PostEvent(EVENT_SLOT_CHANGE, SLOT_CHANGE_OWN_PROXIES);
        if (pGetOCSASDriveInfoList()->bProxyCount != 0) PostEvent(EVENT_SLOT_CHANGE, SLOT_CHANGE_PARTNER_PROXIES);
    }
    const uint8_t fSecond = fIsSASSecondIOCRestartRequested();
    if (fSecond != TRUE) (void)RestartSASDiscovery(FALSE);
    // Each restart that finds the slots unsettled waits for one enclosure
    // fewer.
    if (fIsSASSlotChangeArmed() == TRUE && s_fFirstPhaseDone != TRUE && s_bEnclosureTarget > 1) --s_bEnclosureTarget;
    SpinDelayMs(IOC_RESTART_PAUSE_MS);
    (void)bRestartDriveIOC();
    if (fSecond == TRUE) {
        (void)RestartSASDiscovery(FALSE);
        SpinDelayMs(IOC_RESTART_PAUSE_MS);
        (void)bRestartDriveIOC();
        SetSASSecondIOCRestart(FALSE);
    }
    SetSASIOCRestartRequest(FALSE);
    s_bState = SAS_DISC_WAIT_IOC;
    s_lStepTime = lGetTickCount();
    SetSASIOCRestartInProgress(TRUE);
}

// State 2: the links settle after the restart; drives that left while the
// IOC was down get their phys reset.  False while it only waits.
bool AfterIocRestartStep() {
    const bool fSlotChange = fIsSASSlotChangeArmed() == TRUE;
    if (!WaitedSince(s_lStepTime, fSlotChange ? AFTER_IOC_RESTART_SLOT_CHANGE_MS : AFTER_IOC_RESTART_MS)) return false;
    if (fGetSASPortWaitFlag() == TRUE) {
        if (!WaitedSince(lGetSASPortWaitTick(), PORT_WAIT_LIMIT_MS)) return false;
        SetSASPortWaitFlag(FALSE);
    }
    if (fIsDualControllerActive() == TRUE && !fSlotChange) {
        s_bState = SAS_DISC_DISCOVER;
        return true;
    }
    const uint8_t fReset = fResetVanishedDevicePhys();
    if (fSlotChange) {
        s_bState = SAS_DISC_SLOT_CHANGE;
        s_bSlotSubState = 0;
        s_lSlotStepTime = lGetTickCount();
        SetSASDriveSideHoldOff(s_lSlotStepTime + SLOT_CHANGE_DRIVE_HOLD_OFF_MS);
        return true;
    }
    s_bState = fReset == TRUE ? SAS_DISC_WAIT : SAS_DISC_DISCOVER;
    return true;
}

// State 8: the slots settle, are listed again, and the sequence waits for
// its two phases (the drive side's own, then the partner's), each for at
// most three minutes, before discovery looks once more.
bool SlotChangeStep() {
    const uint64_t lNow = lGetTickCount();
    switch (s_bSlotSubState) {
    case 0:
        if (!WaitedSince(s_lSlotStepTime, SLOT_CHANGE_SETTLE_MS) || s_fPauseRequest == TRUE) return false;
        s_bSlotSubState = 1;
        return true;
    case 1:
        (void)bDiscoverSASExpanders(TRUE);
        RebuildSASDeviceList(FALSE);
        s_bSlotSubState = 2;
        return true;
    case 2:
        SetDriveSidePhaseByte(3);
        s_lSlotStepTime = lNow;
        s_bSlotSubState = 3;
        return true;
    case 3:
        // The first phase is over once the resets of the drives that left
        // have been answered.
        if (s_fFirstPhaseDone != TRUE && dGetSASTaskManagementCount() == 0) s_fFirstPhaseDone = TRUE;
        if (s_fFirstPhaseDone != TRUE) {
            if (!WaitedSince(s_lSlotStepTime, SLOT_CHANGE_PHASE_LIMIT_MS)) return false;
            PostEvent(EVENT_SLOT_CHANGE, SLOT_CHANGE_FIRST_PHASE_LATE);
        }
        s_bSlotSubState = 4;
        return true;
    case 4:
        // The partner takes this controller's lists again; its taking the
        // device list is the second phase.
        s_fSecondPhaseArmed = TRUE;
        if (fIsDualControllerActive() == TRUE) {
            (void)bSendSasPhyMessage190(FALSE);
            s_fSecondPhaseDone = ToFlag(bSendSasPhyMessage157(TRUE) == STATUS_OK);
        } else {
            s_fSecondPhaseDone = TRUE;
        }
        s_lSlotStepTime = lNow;
        s_bSlotSubState = 5;
        return true;
    case 5:
        if (s_fSecondPhaseDone != TRUE && !WaitedSince(s_lSlotStepTime, SLOT_CHANGE_PHASE_LIMIT_MS)) return false;
        s_bSlotSubState = 6;
        return true;
    default:
        s_bState = SAS_DISC_WAIT;
        s_lStepTime = lNow;
        if (s_fSecondPhaseDone != TRUE) PostEvent(EVENT_SLOT_CHANGE, SLOT_CHANGE_SECOND_PHASE_LATE);
        // The sequence is over: a later fall of the enclosure count starts
        // a new one.
        s_fSecondPhaseArmed = FALSE;
        SetSASSlotChangeArmed(FALSE);
        return true;
    }
}

// The partner lists a drive it took over only when its own list next
// changes, which may be long after (or never, for a partner that joined
// and had its list already): its list is read rather than waited for.
void ReadPartnerListForHandover() {
    if (s_fHandoverPending != TRUE) return;
    s_fHandoverPending = FALSE;
    (void)bReadPartnerDeviceList();
}

void DiscoverStep() {
    const uint8_t b = bDiscoverSASExpanders(TRUE);
    ReadPartnerListForHandover();
    if (b == TRUE) {
        s_fMoreWork = TRUE;
        s_lContinueTime = lGetTickCount();
        s_bState = SAS_DISC_CONTINUE;
        return;
    }
    if (b == SAS_DISCOVERY_RESTART_IOC) {
        s_bState = SAS_DISC_WAIT_RESTART;
        s_lStepTime = lGetTickCount();
        s_fPauseRequest = FALSE;
        return;
    }
    if (b == SAS_DISCOVERY_RETRY) {
        s_lStepTime = lGetTickCount();
        s_bState = SAS_DISC_WAIT;
    } else {
        s_bState = SAS_DISC_REBUILD;
    }
    s_fMoreWork = FALSE;
}

bool ContinueStep() {
    if (!WaitedSince(s_lContinueTime, CONTINUE_MS)) return false;
    if (fGetSASTimedHoldFlag() == TRUE) {
        // Held drives: reset the end devices' phys, sparing the targets.
        s_fMoreWork = FALSE;
        s_fRestartArgument = TRUE;
        s_bState = SAS_DISC_RESTART;
        return true;
    }
    const uint8_t b = bDiscoverSASExpanders(TRUE);
    ReadPartnerListForHandover();
    if (b == TRUE) {
        s_lContinueTime = lGetTickCount();
        return true;
    }
    s_fMoreWork = FALSE;
    s_bState = SAS_DISC_REBUILD;
    return true;
}

void RebuildStep() {
    RebuildSASDeviceList(TRUE);
    if (fIsInitializationComplete() == TRUE) (void)ApplyStoredSettings(FALSE, FALSE);
    StopDiscovery();
    // The restart is over once its drives are listed again.
    SetSASIOCRestartInProgress(FALSE);
    SetSasDriveWork(FALSE);
    // A restart asked for while this pass ran (a partner's link that went
    // down, then the take-over of the lost partner) is still owed: the next
    // pass starts with it, and a hold taken with it lasts until that pass
    // has listed the drives, so nothing waiting on the hold starts early.
    const uint8_t fOwed = fIsSASIOCRestartRequested();
    if (fOwed != TRUE) SetSASTimedHoldFlag(FALSE);
    SetSasDiscoveryWork(fOwed);
}

// Discovery cannot find the topology: the IOC is restarted after a pause.
bool BeforeIocRestartStep() {
    if (!WaitedSince(s_lStepTime, BEFORE_IOC_RESTART_MS)) return false;
    SetSASIOCRestartRequest(TRUE);
    SetDriveSidePhaseByte(2);
    s_bState = SAS_DISC_RESTART_IOC;
    s_fRunning = TRUE;
    SetDriveRescanRequest(FALSE);
    return true;
}

// One step of the pass; false when it only waited (for time, a pause, the
// quiet period or settling drives).
bool TakeDiscoveryStep() {
    const uint64_t lNow = lGetTickCount();
    const uint8_t fRestart = fIsSASIOCRestartRequested();
    // A drive firmware download keeps the drive side quiet.
    if ((fIsDriveFirmwareDownloadInProgress() == TRUE && fRestart != TRUE) || fIsSASDiscoverySuspended() == TRUE) {
        return false;
    }
    if (fIsSASFailbackInProgress() == TRUE && fRestart != TRUE && fIsSASIOCRestartInProgress() != TRUE) {
        StopDiscovery();
        SetSasDriveWork(FALSE);
        SetSasDiscoveryWork(FALSE);
        return true;
    }
    if (fIsSASDiscoveryInhibited() == TRUE) {
        StopDiscovery();
        return false;
    }
    if (s_fRunning != TRUE) {
        // A partner that is lost asks for the same restart in its takeover:
        // one restart does for both.  Started at once, the restart (seconds
        // of the background pass) would put the takeover behind it, and
        // the takeover's restart after it.
        if (fRestart == TRUE && lNow - lGetSASPartnerLinkGoneTick() < PARTNER_LINK_GONE_SETTLE_MS) return false;
        // A plain request to look again waits for held drives, and for the
        // links to settle after the last device or link change the IOC
        // reported (or a phy's link reset): a look while links still come
        // and go would only be followed by another.  A drive that went is
        // looked for at once.
        if (fGetSasDiscoveryWork() == TRUE && fGetSasDriveWork() != TRUE &&
            (lNow - lGetSASTimedHoldTick() < HOLD_SETTLE_MS || lNow - lGetSASTopologyChangeTick() < RECOVERY_SETTLE_MS)) {
            return false;
        }
        // Phys waiting for their link reset get it first.
        if (!(fRestart == TRUE && fIsSASSlotChangeArmed() == TRUE) && fResetMarkedExpanderPhys(TRUE) == TRUE) return false;
        s_bState = fRestart == TRUE ? SAS_DISC_RESTART_IOC : SAS_DISC_DISCOVER;
        s_fRunning = TRUE;
        s_lStepTime = lNow;
    }
    if (s_fPauseRequest == TRUE && s_bState != SAS_DISC_RESTART_IOC && s_bState != SAS_DISC_WAIT_RESTART) {
        s_fPauseAcknowledged = TRUE;
        return false;
    }
    if (s_fPauseAcknowledged == TRUE) {
        switch (s_bState) {
        case SAS_DISC_WAIT_IOC:
        case SAS_DISC_RESTART:
        case SAS_DISC_WAIT:
        case SAS_DISC_CONTINUE:
        case SAS_DISC_SLOT_CHANGE:
        case SAS_DISC_WAIT_RESTART:
            break;
        default:
            StopDiscovery();
            s_fPauseAcknowledged = FALSE;
            return true;
        }
    }
    // Like the command time-out scan, no step within 2000 ms of a
    // discovery error.
    if (s_bState != SAS_DISC_CONTINUE && lNow - lGetSASDiscoveryErrorTick() < TIMEOUT_SCAN_SETTLE_MS) return false;

    switch (s_bState) {
    case SAS_DISC_RESTART_IOC:
        RestartIocStep();
        return true;
    case SAS_DISC_WAIT_IOC:
        return AfterIocRestartStep();
    case SAS_DISC_RESTART:
        (void)RestartSASDiscovery(s_fRestartArgument);
        s_lStepTime = lGetTickCount();
        s_bState = SAS_DISC_WAIT;
        return true;
    case SAS_DISC_WAIT:
        if (!WaitedSince(s_lStepTime, AFTER_PHY_RESET_MS)) return false;
        s_bState = SAS_DISC_DISCOVER;
        return true;
    case SAS_DISC_DISCOVER:
        DiscoverStep();
        return true;
    case SAS_DISC_CONTINUE:
        return ContinueStep();
    case SAS_DISC_REBUILD:
        RebuildStep();
        return true;
    case SAS_DISC_WAIT_RESTART:
        return BeforeIocRestartStep();
    case SAS_DISC_SLOT_CHANGE:
        return SlotChangeStep();
    default:
        StopDiscovery();
        SetSasDiscoveryWork(FALSE);
        return true;
    }
}

}  // namespace

// One step per background pass; waits are measured from the step time.  A
// step taken asks for the next pass at once; a wait is looked at again when
// the tick next raises work (every 50 ms): asked for at every pass, seconds
// of waiting would keep the main loop from ever idling.
void SASDiscoveryStep() {
    if (TakeDiscoveryStep()) SetWorkPending(TRUE);
}

void ForEachReportedExpanderPhy(ExpanderPhyVisitor pfnVisit, void* pContext) {
    ForEachExpanderPhy([&](uint8_t bIndex, const MPI_SAS_EXPANDER_PAGE_0& s0, uint8_t bPhy,
                           const MPI_SAS_EXPANDER_PAGE_1& s1) { pfnVisit(pContext, bIndex, s0, bPhy, s1); });
}

uint8_t bGetEnclosureType(uint8_t bEnclosure) {
    SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    const uint8_t bCount = psSASExpanderHeader(psList)->bExpanderCount;
    for (uint8_t i = 0; i < bCount && i < SAS_MAX_EXPANDERS; ++i) {
        const SAS_EXPANDER& s = psList->asExpander[i];
        if (s.fUsable == TRUE && s.bEnclosure == bEnclosure) return s.bEnclosureType;
    }
    return bGetBackplaneType();
}

}  // namespace fw
