// The drive IOC's asynchronous events.  They run in the FIQ handler: each
// one notes what changed and raises the background work that acts on it
// (discovery, the drive work, an IOC restart); none waits on the IOC.
// Events that name a phy, a handle or a target this controller does not
// know are counted and otherwise ignored.
#include "sas/ioc_events.h"

#include <cstring>

#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/stop.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "executive/system_state.h"
#include "partner/partner_link.h"
#include "raid/raid_engine.h"
#include "sas/aa_mux.h"
#include "sas/command_timeouts.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"
#include "sas/slot_phy_actions.h"
#include "sas/smp.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_IOC_RESET = 1;
constexpr uint8_t EVENT_DISCOVERY_ERROR = 15;
constexpr uint8_t EVENT_DISCOVERY_ENDED = 34;
constexpr uint8_t EVENT_DISCOVERY_STARTED = 35;
constexpr uint8_t EVENT_DRIVE_INTERNAL_RESET = 60;
constexpr uint8_t EVENT_SLOT_CHANGE = 157;
// Completed discoveries before their end asks the drive work for a look:
// the first few belong to the bring-up, which lists the drives itself.
constexpr uint32_t DISCOVERIES_BEFORE_DRIVE_WORK = 5;
constexpr uint32_t TARGET_FLAG_INTERNAL_RESET = 0x20;
constexpr uint32_t TARGET_FLAG_RESET_WITH_COMMANDS = 0x40;
constexpr uint64_t INTERNAL_RESET_HOLD_OFF_MS = 5000;
constexpr uint64_t COUNT_DECAY_MS = 14400000;
// A drive behind an active-active multiplexer that reset itself gets this
// long from the RAID engine's drive timer to come back through a link reset.
constexpr uint8_t MUX_DRIVE_TIMER = 30;
// Phy state marks of the link-reset sweep.
constexpr uint8_t PHY_DISABLED = 0x02;
constexpr uint8_t PHY_WAITING_RESET = 0x10;
constexpr uint8_t PHY_RESET_SENT = 0x20;   // cleared when the link comes up
constexpr uint8_t SMP_PHY_CLEAR_AFFILIATION = 6;
// The device index a controller port's target id maps to.
constexpr uint8_t CONTROLLER_PORT_INDEX = 254;
// The controllers' SATA drives of the partner's pair carry this side bit
// in the low word of their address.
constexpr uint32_t SATA_SIDE_MASK = 0xC00;
constexpr uint32_t SATA_SIDE_CONTROLLER_1 = 0x800;
constexpr uint32_t SATA_SIDE_CONTROLLER_2 = 0x400;

volatile uint8_t s_fDiscoveryInProgress = FALSE;
uint64_t s_lDiscoveryStart;
uint32_t s_dDiscoveriesCompleted;
uint64_t s_lDiscoveryError;
uint64_t s_lTopologyChange;
uint64_t s_lPartnerLinkGone;
uint32_t s_dBusResets;
uint32_t s_adPartnerQueueFull[2];
uint32_t s_dIgnored;
uint8_t s_aabOutOfService[SAS_SLOT_TABLE_ENCLOSURES][SAS_SLOT_TABLE_SLOTS];
struct INTERNAL_RESETS {
    uint16_t wCount;
    uint64_t lLast;
};
INTERNAL_RESETS s_asReset[256];

bool SlotInTable(uint8_t bEnclosure, uint8_t bSlot) {
    return bEnclosure < SAS_SLOT_TABLE_ENCLOSURES && bSlot < SAS_SLOT_TABLE_SLOTS;
}

// The index of the expander with the handle in this controller's list.
bool FindExpander(uint16_t wHandle, uint8_t* pbIndex) {
    SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    const uint8_t bCount = psSASExpanderHeader(psList)->bExpanderCount;
    for (uint8_t i = 0; i < bCount && i < SAS_MAX_EXPANDERS; ++i) {
        if (psList->asExpander[i].wDevHandle == wHandle) {
            *pbIndex = i;
            return true;
        }
    }
    return false;
}

bool IsPartnerAddress(const uint32_t* pdAddress, bool fIgnoreLowNibble) {
    const uint32_t dMask = fIgnoreLowNibble ? 0xFFFFFFF0u : 0xFFFFFFFFu;
    for (uint8_t bPath = 1; bPath <= 2; ++bPath) {
        const SAS_PARTNER_PATH* ps = psGetSASPartnerPath(bPath);
        if (ps->adSASAddress[0] == 0 && ps->adSASAddress[1] == 0) continue;
        if ((ps->adSASAddress[0] & dMask) == (pdAddress[0] & dMask) && ps->adSASAddress[1] == pdAddress[1]) return true;
    }
    return false;
}

// What the two discovery-error and link paths call the stored
// configuration: a controller that has come up on its configuration.
bool ConfigurationStored() { return fIsInitializationComplete() == TRUE; }

// A controller reset from the drive side.  The write journals are the
// only copy of acknowledged write-back data on a lone controller: they stay
// for the replay at the next start unless a live partner holds their
// mirrors and takes them over.
void ResetFromDriveSide() {
    if (fIsDualControllerActive() == TRUE) {
        ResetController();
    } else {
        ResetControllerKeepJournals();
    }
}

void RestartIoc() {
    SetSasDiscoveryWork(TRUE);
    SetSASIOCRestartRequest(TRUE);
    SetSASIOCRestartInProgress(TRUE);
}

void PostInternalReset(uint8_t bTarget, const SAS_DEVICE_ENTRY& s) {
    uint8_t abAddress[8] = {};
    (void)bGetSASAddressOfTarget(abAddress, bTarget);
    const uint16_t wOutstanding = wGetSASTargetCommandCount(bTarget, TRUE);
    PostEvent(EVENT_DRIVE_INTERNAL_RESET, 0, 1, abAddress[0], abAddress[1], abAddress[2], abAddress[3], abAddress[4],
              abAddress[5], abAddress[6], abAddress[7], bGetDriveIndexFromEnclosureSlot(s.bEnclosure, s.bSlot),
              static_cast<uint8_t>(wOutstanding > 0xFF ? 0xFF : wOutstanding));
}

// A drive reset itself: its commands were lost inside it.  It gets a
// moment before anything is sent again, and the drive work looks at it.
void DriveInternalReset(const MPI_EVENT_DATA_SAS_DEVICE_STATUS_CHANGE& e) {
    if (fIsSASSlotChangeArmed() == TRUE) {
        SetSasDriveWork(TRUE);
        return;
    }
    uint8_t bEnclosure = 0, bSlot = 0;
    SAS_DEVICE_ENTRY* ps = nullptr;
    if (bGetEnclosureSlotOfExpanderPhy(e.wParentDevHandle, e.bPhyNum, &bEnclosure, &bSlot) != STATUS_OK ||
        bGetSASDeviceEntryByEnclosureSlot(bEnclosure, bSlot, &ps) != STATUS_OK || ps == nullptr ||
        ps->bTargetId >= SAS_PROXY_TARGET_BIT) {
        ++s_dIgnored;
        return;
    }
    const uint8_t bTarget = ps->bTargetId;
    const uint64_t lNow = lGetTickCount();
    SetSASTargetHoldOff(bTarget, lNow + INTERNAL_RESET_HOLD_OFF_MS);
    const bool fDual = fIsDualControllerActive() == TRUE;
    if (fIsSASDeviceBehindAAMux(ps) == TRUE && fDual) {
        // The multiplexer keeps the link of a drive that reset itself: its
        // phy goes down and the link-reset sweep brings it back.
        if (fIsInitializationComplete() == TRUE) {
            SetDriveTimerPeriod(MUX_DRIVE_TIMER);
            DisableSlotExpanderPhy(bEnclosure, bSlot);
            uint8_t bExpander = 0, bPhy = 0;
            if (bFindExpanderPhyOfEnclosureSlot(bEnclosure, bSlot, &bExpander, &bPhy) == STATUS_OK) {
                SetSASPhyStateBits(bExpander, bPhy, PHY_DISABLED | PHY_RESET_SENT, FALSE);
                SetSASPhyStateBits(bExpander, bPhy, PHY_WAITING_RESET, TRUE);
            }
        }
    } else {
        uint32_t dBits = TARGET_FLAG_INTERNAL_RESET;
        if (wGetSASTargetCommandCount(bTarget, TRUE) != 0 && fIsSASWaitedCommandPending() != TRUE) {
            dBits |= TARGET_FLAG_RESET_WITH_COMMANDS;
        }
        SetSASTargetFlagBits(bTarget, dBits);
        ExtendSASDeadline(static_cast<uint32_t>(INTERNAL_RESET_HOLD_OFF_MS));
    }
    INTERNAL_RESETS& r = s_asReset[bTarget];
    if (r.lLast != 0 && lNow - r.lLast > COUNT_DECAY_MS) r.wCount = 0;
    r.lLast = lNow;
    if (r.wCount != 0xFFFF) ++r.wCount;
    if (fDual && fIsInitializationComplete() == TRUE) SendSasDriveMessage213(bEnclosure, bSlot, 3, 0);
    (void)bCountSASDriveTimeout(bTarget);
    PostInternalReset(bTarget, *ps);
    if (fIsSASDeviceBehindAAMux(ps) == TRUE && fDual) SetSasDriveWork(TRUE);
}

// A SATA drive of the partner's side of a pair that showed up on this
// controller's expander: its affiliation goes, so the partner can reach it.
void ClearForeignAffiliation(const MPI_EVENT_DATA_SAS_DEVICE_STATUS_CHANGE& e) {
    if (fIsSASActiveActiveModeSet() == TRUE || !(e.dDeviceInfo & MPI_SAS_DEVICE_INFO_SATA_DEVICE)) return;
    if ((e.adSASAddress[1] & 0x0FFFFFF0u) != SAS_CONTROLLER_OUI << 4) return;
    const uint32_t dSide = bGetControllerNumber() == 1 ? SATA_SIDE_CONTROLLER_1 : SATA_SIDE_CONTROLLER_2;
    if ((e.adSASAddress[0] & SATA_SIDE_MASK) != dSide) return;
    uint8_t bExpander = 0;
    if (!FindExpander(e.wParentDevHandle, &bExpander) || e.bPhyNum >= SAS_EXPANDER_PHYS) {
        ++s_dIgnored;
        return;
    }
    const SAS_EXPANDER& s = pGetSASExpanderList()->asExpander[bExpander];
    (void)bSendSMPPhyControl(s.adSASAddress[0], s.adSASAddress[1], bExpander, e.bPhyNum, SMP_PHY_CLEAR_AFFILIATION);
}

}  // namespace

void SASExternalBusResetEvent() {
    ++s_dBusResets;
    PostEvent(EVENT_IOC_RESET, 5, 16);
    ResetFromDriveSide();
}

void SASQueueFullEvent(uint8_t bTarget) {
    for (uint8_t bPath = 1; bPath <= 2; ++bPath) {
        const SAS_PARTNER_PATH* ps = psGetSASPartnerPath(bPath);
        if (ps->bTargetId != 0xFF && ps->bTargetId == bTarget) {
            ++s_adPartnerQueueFull[bPath - 1];
            return;
        }
    }
    SAS_DEVICE_ENTRY* ps = bTarget < SAS_PROXY_TARGET_BIT ? psGetSASDeviceOfTarget(bTarget) : nullptr;
    if (ps == nullptr) {
        ++s_dIgnored;
        return;
    }
    if (ps->wQCounter != 0xFFFF) ++ps->wQCounter;
}

void SASDiscoveryEvent(uint32_t dStatus) {
    if (dStatus & MPI_DISCOVERY_IN_PROGRESS) {
        if (s_fDiscoveryInProgress != TRUE) {
            s_lDiscoveryStart = lGetTickCount();
            PostEvent(EVENT_DISCOVERY_STARTED);
        }
        s_fDiscoveryInProgress = TRUE;
        return;
    }
    if (s_fDiscoveryInProgress == TRUE) PostEvent(EVENT_DISCOVERY_ENDED);
    s_fDiscoveryInProgress = FALSE;
    if (++s_dDiscoveriesCompleted > DISCOVERIES_BEFORE_DRIVE_WORK) SetSasDriveWork(TRUE);
    // Drives that reset themselves take commands again once the IOC has
    // looked at the topology.
    for (uint16_t w = 0; w < 256; ++w) ClearSASTargetFlagBits(static_cast<uint8_t>(w), TARGET_FLAG_INTERNAL_RESET);
}

void SASDiscoveryErrorEvent(uint32_t dStatus, uint8_t bPort) {
    s_lDiscoveryError = lGetTickCount();
    PostEvent(EVENT_DISCOVERY_ERROR, bPort, static_cast<uint8_t>(dStatus >> 24), static_cast<uint8_t>(dStatus >> 16),
              static_cast<uint8_t>(dStatus >> 8), static_cast<uint8_t>(dStatus));
    if (!(dStatus & (MPI_DISCOVERY_ERROR_SMP_TIMEOUT | MPI_DISCOVERY_ERROR_TABLE_FULL))) return;
    if (fIsInitializationComplete() != TRUE) {
        ResetFromDriveSide();
        return;
    }
    if (fIsPartnerAlive() == TRUE) {
        if (psSASExpanderHeader(pGetSASExpanderList())->bPortSelectorPhys == 0 && ConfigurationStored()) {
            SetSasDiscoveryWork(TRUE);
            SetSASIOCRestartRequest(TRUE);
        } else {
            ResetFromDriveSide();
        }
        return;
    }
    RestartIoc();
}

void SASPhyLinkStatusEvent(const MPI_EVENT_DATA_SAS_PHY_LINK_STATUS& e) {
    uint8_t bEnclosure = 0, bSlot = 0, bExpander = 0;
    if (!FindExpander(e.wDevHandle, &bExpander) || e.bPhyNum >= SAS_EXPANDER_PHYS ||
        bGetEnclosureSlotOfExpanderPhy(e.wDevHandle, e.bPhyNum, &bEnclosure, &bSlot) != STATUS_OK) {
        // A phy of an expander not (yet) listed: discovery will find it.
        ++s_dIgnored;
        SetSasDiscoveryWork(TRUE);
        return;
    }
    const uint8_t bRate = static_cast<uint8_t>(e.bLinkRates >> 4);
    // A phy held off for a drive that kept timing out comes back once the
    // slot's drive has changed.
    if (fEndSlotPhyHoldOnChange(bExpander, e.bPhyNum, e.adSASAddress) == TRUE) SetSASPhyReenableWork(TRUE);
    if (bRate == MPI_SAS_LINK_RATE_1_5 || bRate == MPI_SAS_LINK_RATE_3_0) {
        SetSASPhyStateBits(bExpander, e.bPhyNum, PHY_RESET_SENT, FALSE);
    } else if (bRate == MPI_SAS_LINK_RATE_UNKNOWN) {
        // The link is gone: nothing is attached there until discovery says.
        pGetSASExpanderList()->asExpander[bExpander].awAttachedHandle[e.bPhyNum] = 0;
        if (ConfigurationStored() && IsPartnerAddress(e.adSASAddress, true)) {
            s_lPartnerLinkGone = lGetTickCount();
            SetSasDiscoveryWork(TRUE);
            SetSASIOCRestartRequest(TRUE);
        }
    } else if (bRate == MPI_SAS_LINK_RATE_SMP_RESET) {
        if (fIsDualControllerActive() != TRUE || bGetSlotOwnerController(bEnclosure, bSlot) == bGetControllerNumber()) {
            MarkSASTopologyChange();
            SetSasDiscoveryWork(TRUE);
        }
    }
    if (SlotInTable(bEnclosure, bSlot)) s_aabOutOfService[bEnclosure][bSlot] = 0;
}

void SASDeviceStatusChangeEvent(const MPI_EVENT_DATA_SAS_DEVICE_STATUS_CHANGE& e) {
    switch (e.bReasonCode) {
    case MPI_SAS_DEVICE_STATUS_ADDED:
        MarkSASTopologyChange();
        SetSasDiscoveryWork(TRUE);
        ClearForeignAffiliation(e);
        return;
    case MPI_SAS_DEVICE_STATUS_NOT_RESPONDING: {
        if (IsPartnerAddress(e.adSASAddress, false)) {
            MarkSASTopologyChange();
            SetSasDiscoveryWork(TRUE);
            if (fIsSASSlotChangeArmed() == TRUE) PostEvent(EVENT_SLOT_CHANGE, 5);
            SetPartnerActiveActiveState(0);
            return;
        }
        // Behind an expander already known to be down its drives are gone
        // with it; discovery sees to that.
        uint8_t bExpander = 0;
        if (FindExpander(e.wParentDevHandle, &bExpander) && pGetSASExpanderList()->asExpander[bExpander].fUsable != TRUE) {
            return;
        }
        SetSasDriveWork(TRUE);
        return;
    }
    case MPI_SAS_DEVICE_STATUS_INTERNAL_RESET:
        DriveInternalReset(e);
        return;
    default:
        return;
    }
}

uint8_t fIsSASDiscoveryInProgress() { return s_fDiscoveryInProgress; }
void SetSASDiscoveryInProgress(uint8_t f) {
    if (f == TRUE && s_fDiscoveryInProgress != TRUE) s_lDiscoveryStart = lGetTickCount();
    s_fDiscoveryInProgress = f;
}
uint64_t lGetSASDiscoveryStartTick() { return s_lDiscoveryStart; }
uint32_t dGetSASDiscoveriesCompleted() { return s_dDiscoveriesCompleted; }
uint64_t lGetSASDiscoveryErrorTick() { return s_lDiscoveryError; }
uint64_t lGetSASTopologyChangeTick() { return s_lTopologyChange; }
uint64_t lGetSASPartnerLinkGoneTick() { return s_lPartnerLinkGone; }
void MarkSASTopologyChange() { s_lTopologyChange = lGetTickCount(); }

uint8_t fIsSASSlotOutOfService(uint8_t bEnclosure, uint8_t bSlot) {
    return ToFlag(SlotInTable(bEnclosure, bSlot) && (s_aabOutOfService[bEnclosure][bSlot] & 1));
}
void MarkSASSlotOutOfService(uint8_t bEnclosure, uint8_t bSlot) {
    if (SlotInTable(bEnclosure, bSlot)) s_aabOutOfService[bEnclosure][bSlot] |= 1;
}

uint8_t fIsSASTargetOfKind(uint8_t bTarget, uint8_t bKind) {
    const uint8_t bIndex = bGetSASDeviceIndexOfTarget(bTarget);
    const bool fDrive = bIndex < SAS_MAX_DEVICES;
    const bool fPort = bIndex == CONTROLLER_PORT_INDEX;
    switch (bKind) {
    case SAS_TARGET_KIND_DRIVE: return ToFlag(fDrive);
    case SAS_TARGET_KIND_CONTROLLER_PORT: return ToFlag(fPort);
    case SAS_TARGET_KIND_ANY: {
        if (fDrive || fPort) return TRUE;
        for (uint8_t bPath = 1; bPath <= 2; ++bPath) {
            const SAS_PARTNER_PATH* ps = psGetSASPartnerPath(bPath);
            if (ps->bTargetId != 0xFF && ps->bTargetId == bTarget) return TRUE;
        }
        return FALSE;
    }
    default: return FALSE;
    }
}

uint32_t dGetSASExternalBusResets() { return s_dBusResets; }
uint32_t dGetSASPartnerQueueFullCount(uint8_t bPath) {
    return bPath >= 1 && bPath <= 2 ? s_adPartnerQueueFull[bPath - 1] : 0;
}
// The partner's two drive-side ports as this controller sees them.
void ShowSASActiveActiveInfo() {
    ConsolePrintText("\nSAS Active Active Info:\n");
    for (uint8_t bPath = 1; bPath <= 2; ++bPath) {
        const SAS_PARTNER_PATH* ps = psGetSASPartnerPath(bPath);
        ConsolePrintf("%d SAS Address: %08x%08x H:%04x ID:%02x QF:%08x\n", bPath, ps->adSASAddress[1],
                      ps->adSASAddress[0], ps->wDevHandle, ps->bTargetId, s_adPartnerQueueFull[bPath - 1]);
    }
}

uint16_t wGetSASInternalResetCount(uint8_t bTarget) { return s_asReset[bTarget].wCount; }
uint64_t lGetSASInternalResetTick(uint8_t bTarget) { return s_asReset[bTarget].lLast; }
uint32_t dGetSASIgnoredEventCount() { return s_dIgnored; }

void InitSASEventState() {
    s_fDiscoveryInProgress = FALSE;
    s_lDiscoveryStart = 0;
    s_dDiscoveriesCompleted = 0;
    s_lDiscoveryError = 0;
    s_lTopologyChange = 0;
    s_lPartnerLinkGone = 0;
    // The partner's ports are found afresh, and counted from nothing.
    std::memset(s_adPartnerQueueFull, 0, sizeof s_adPartnerQueueFull);
    std::memset(s_aabOutOfService, 0, sizeof s_aabOutOfService);
}

}  // namespace fw
