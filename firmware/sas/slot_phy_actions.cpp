// Slot and expander phy actions of the drive side.
#include "sas/slot_phy_actions.h"

#include <cstring>

#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/queue_target_commands.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/mpi.h"
#include "hw/scsi.h"
#include "platform/pci.h"
#include "hw/smp.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/sas_device_list.h"
#include "partner/partner_link.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/mpi_interface.h"
#include "sas/sas_scsi_path.h"
#include "sas/smp.h"

namespace fw {

namespace {

constexpr uint64_t ACTIVITY_WINDOW_MS = 35000;
constexpr uint8_t EVENT_EXPANDER_CUT = 144;
constexpr uint8_t PHY_DISABLED = 0x02;
constexpr uint32_t PHYINFO_ATTACHED_ACROSS = 0x1000;   // the phy attaches the other side's path
constexpr uint32_t DEVICE_INFO_SSP_STP_SMP_INITIATOR = 0x70;
constexpr uint32_t TARGET_FLAG_UNDER_RESET = 0x02;
constexpr uint8_t TASK_TARGET_RESET = 3;
constexpr uint32_t IDLE_RESET_DEADLINE_MS = 5000;
constexpr uint8_t SLOT_MESSAGE_VISIBILITY = 2;
constexpr uint8_t MAX_REENABLE_ENCLOSURE = 16;
constexpr uint8_t MAX_REENABLE_SLOT = 32;

// Phys turned off for a drive that kept timing out, and that drive's WWN.
struct PHY_HOLD {
    bool fHeld;
    uint8_t abWwn[8];
};
PHY_HOLD s_aasHold[SAS_MAX_EXPANDERS][SAS_EXPANDER_PHYS];
uint32_t s_dReenables;
uint8_t s_fEvent144Posted = FALSE;
uint8_t s_aabPartnerVisible[SAS_SLOT_TABLE_ENCLOSURES][SAS_SLOT_TABLE_SLOTS];

struct DriveSideLock : InterruptSourceLock {
    DriveSideLock() : InterruptSourceLock(INT_SOURCE_DRIVE_SIDE) {}
};

bool SlotInTable(uint8_t bEnclosure, uint8_t bSlot) {
    return bEnclosure < SAS_SLOT_TABLE_ENCLOSURES && bSlot < SAS_SLOT_TABLE_SLOTS;
}

uint8_t bListedExpanders(const SAS_EXPANDER_LIST* psList) {
    const uint8_t b = psSASExpanderHeader(const_cast<SAS_EXPANDER_LIST*>(psList))->bExpanderCount;
    return b < SAS_MAX_EXPANDERS ? b : SAS_MAX_EXPANDERS;
}

// A SATA drive, or an SSP target that is no controller port, whose phy
// does not attach the other side's path.
bool IsSelectableDrive(const MPI_SAS_EXPANDER_PAGE_1& s1) {
    const uint32_t d = s1.dAttachedDeviceInfo;
    if (!(d & (MPI_SAS_DEVICE_INFO_SATA_DEVICE | MPI_SAS_DEVICE_INFO_SSP_TARGET))) return false;
    if ((d & DEVICE_INFO_SSP_STP_SMP_INITIATOR) == DEVICE_INFO_SSP_STP_SMP_INITIATOR) return false;
    if ((d & MPI_SAS_DEVICE_INFO_SSP_TARGET) && (d & MPI_SAS_DEVICE_INFO_SSP_INITIATOR)) return false;
    return !(s1.dPhyInfo & PHYINFO_ATTACHED_ACROSS);
}

struct SWEEP {
    uint8_t fForce;
    bool fAny;
};

void SelectPort(void* pContext, uint8_t bIndex, const MPI_SAS_EXPANDER_PAGE_0& s0, uint8_t bPhy,
                const MPI_SAS_EXPANDER_PAGE_1& s1) {
    if (!IsSelectableDrive(s1)) return;
    const uint8_t* pb = nullptr;
    if (bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE, 0, MPI_SAS_PAGE_FORM_HANDLE | s1.wAttachedDevHandle,
                             &pb) != STATUS_OK) {
        return;
    }
    MPI_SAS_DEVICE_PAGE_0 d0;
    std::memcpy(&d0, pb, sizeof d0);
    SWEEP* ps = static_cast<SWEEP*>(pContext);
    if (fSelectSATAMuxPort(bIndex, s0.wDevHandle, bPhy, ToFlag(d0.bAccessStatus != 0), ps->fForce) == TRUE) {
        ps->fAny = true;
    }
}

bool InTable(uint8_t bExpander, uint8_t bPhy) { return bExpander < SAS_MAX_EXPANDERS && bPhy < SAS_EXPANDER_PHYS; }

void ReenableOne(void*, uint8_t bIndex, const MPI_SAS_EXPANDER_PAGE_0& s0, uint8_t bPhy,
                 const MPI_SAS_EXPANDER_PAGE_1& s1) {
    if ((s1.bNegotiatedLinkRate & 0x0F) != MPI_SAS_LINK_RATE_PHY_DISABLED) return;
    uint8_t bEnclosure = 0, bSlot = 0;
    if (bGetEnclosureSlotOfExpanderPhy(s0.wDevHandle, bPhy, &bEnclosure, &bSlot) != STATUS_OK ||
        bEnclosure > MAX_REENABLE_ENCLOSURE || bSlot > MAX_REENABLE_SLOT) {
        return;
    }
    // The drive that kept timing out would only come back to fail again.
    if (fIsSlotPhyHeldForTimeouts(bIndex, bPhy) == TRUE) return;
    if (bSendSMPPhyControl(s0.dSASAddressLow, s0.dSASAddressHigh, bIndex, bPhy, SMP_PHY_HARD_RESET) == STATUS_OK) {
        ++s_dReenables;
    }
}

}  // namespace

void HoldSlotPhyForTimeouts(uint8_t bExpander, uint8_t bPhy, const uint8_t* pbWwn) {
    if (!InTable(bExpander, bPhy)) return;
    s_aasHold[bExpander][bPhy].fHeld = true;
    std::memcpy(s_aasHold[bExpander][bPhy].abWwn, pbWwn, 8);
}

uint8_t fIsSlotPhyHeldForTimeouts(uint8_t bExpander, uint8_t bPhy) {
    return ToFlag(InTable(bExpander, bPhy) && s_aasHold[bExpander][bPhy].fHeld);
}

uint8_t fEndSlotPhyHoldOnChange(uint8_t bExpander, uint8_t bPhy, const uint32_t* pdSasAddress) {
    if (fIsSlotPhyHeldForTimeouts(bExpander, bPhy) != TRUE) return FALSE;
    uint8_t abWwn[8];
    MakeSASDriveWwn(pdSasAddress[0], pdSasAddress[1], abWwn);
    PHY_HOLD& s = s_aasHold[bExpander][bPhy];
    if (std::memcmp(abWwn, s.abWwn, sizeof abWwn) == 0) return FALSE;
    s.fHeld = false;
    return TRUE;
}

uint8_t fIsOnlyExpansionActivityRecent(uint8_t bKind) {
    if (bKind != 1) return FALSE;
    const uint64_t lNow = lGetTickCount();
    const SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    bool fExpansion = false;
    for (uint8_t i = 0; i < psList->bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        const SAS_DEVICE_ENTRY& s = psList->asEntry[i];
        if (s.bTargetId == 0xFF || s.lLastCommandTime == 0 || lNow - s.lLastCommandTime > ACTIVITY_WINDOW_MS) continue;
        if (s.bEnclosure == 1) return FALSE;
        fExpansion = true;
    }
    return ToFlag(fExpansion);
}

void HardResetSlotPhy(uint8_t bEnclosure, uint8_t bSlot) {
    (void)bSlotExpanderPhyControl(bEnclosure, bSlot, SMP_PHY_HARD_RESET);
}

// Only a lone Z8Q2 resets a slot phy on its own: beside a partner the
// slot's drive may be the partner's to serve.
void HardResetSlotPhyAlone(uint8_t bEnclosure, uint8_t bSlot) {
    if (fIsZ8Q2Controller() != TRUE || fIsDualControllerActive() == TRUE || fIsPartnerAlive() == TRUE) return;
    HardResetSlotPhy(bEnclosure, bSlot);
}

uint8_t bEnclosureSlotPhyControl(uint8_t bEnclosure, uint8_t f) {
    const uint8_t bOperation = f == TRUE ? SMP_PHY_LINK_RESET : SMP_PHY_DISABLE;
    SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    uint8_t bResult = STATUS_OK;
    for (uint8_t e = 0; e < bListedExpanders(psList); ++e) {
        const SAS_EXPANDER& s = psList->asExpander[e];
        if (s.fUsable != TRUE || s.bEnclosure != bEnclosure) continue;
        for (uint8_t p = 0; p < s.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            if (bSlotOfExpanderPhy(&s, p) >= 0xA0) continue;   // not a drive slot
            if (bSendSMPPhyControl(s.adSASAddress[0], s.adSASAddress[1], e, p, bOperation) != STATUS_OK) bResult = 0;
        }
    }
    return bResult;
}

uint8_t bDisableDownstreamExpanderPhys(uint8_t bExpander) {
    if (bExpander >= SAS_MAX_EXPANDERS) return FALSE;
    const SAS_EXPANDER& s = pGetSASExpanderList()->asExpander[bExpander];
    uint8_t fAny = FALSE;
    for (uint8_t p = 0; p < s.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
        const uint8_t* pb = nullptr;
        if (bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER, 1,
                                 MPI_SAS_EXPANDER_PAGE_FORM_PHY | static_cast<uint32_t>(p) << 16 | s.wDevHandle,
                                 &pb) != STATUS_OK) {
            continue;
        }
        MPI_SAS_EXPANDER_PAGE_1 s1;
        std::memcpy(&s1, pb, sizeof s1);
        const uint8_t bRate = s1.bNegotiatedLinkRate & 0x0F;
        const bool fUp = bRate == MPI_SAS_LINK_RATE_1_5 || bRate == MPI_SAS_LINK_RATE_3_0;
        if (!(fUp || !(bGetSASPhyState(bExpander, p) & PHY_DISABLED)) || s1.wAttachedDevHandle == s.wParentDevHandle) {
            continue;
        }
        SetSASPhyStateBits(bExpander, p, PHY_DISABLED, TRUE);
        fAny = TRUE;
        const uint8_t b = bSendSMPPhyControl(s.adSASAddress[0], s.adSASAddress[1], bExpander, p, SMP_PHY_DISABLE);
        if (b != STATUS_OK) ConsolePrintf("ERR SMP QUEUE_FULL retry:%02x", b);
    }
    return fAny;
}

uint8_t bSendSATAPortSelectionSweep(uint8_t fForce) {
    SWEEP s{fForce, false};
    DriveSideLock sLock;
    ForEachReportedExpanderPhy(&SelectPort, &s);
    return ToFlag(s.fAny);
}

uint8_t bCutCascadedExpanders() {
    const bool fZ8Q2 = wGetModelCode() == MODEL_Z8Q2;
    const bool fZ7Q4 = wGetModelCode() == MODEL_Z7Q4;
    SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    const uint8_t bCount = bListedExpanders(psList);
    uint8_t bThreshold = 2;
    uint8_t bResult = STATUS_OK;
    for (uint8_t e = 0; e < bCount; ++e) {
        const SAS_EXPANDER& s = psList->asExpander[e];
        if (s.fUsable != TRUE || s.bEnclosure < bThreshold) continue;
        if (fZ7Q4) ++bThreshold;
        for (uint8_t q = 0; q < bCount; ++q) {
            const SAS_EXPANDER& sParent = psList->asExpander[q];
            if (q == e || sParent.wDevHandle != s.wParentDevHandle) continue;
            bool fCut = false;
            for (uint8_t p = 0; p < sParent.bNumPhys && p < SAS_EXPANDER_PHYS && !fCut; ++p) {
                if (sParent.awAttachedHandle[p] != s.wDevHandle) continue;
                fCut = ((sParent.adAttachedDeviceInfo[p] & PHYINFO_ATTACHED_ACROSS) != 0) == fZ8Q2;
            }
            if (!fCut) break;
            for (uint8_t p = 0; p < sParent.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
                if (sParent.awAttachedHandle[p] != s.wDevHandle) continue;
                (void)bSendSMPPhyControl(sParent.adSASAddress[0], sParent.adSASAddress[1], q, p, SMP_PHY_DISABLE);
            }
            bResult = 0;
            if (s_fEvent144Posted != TRUE) {
                s_fEvent144Posted = TRUE;
                PostEvent(EVENT_EXPANDER_CUT, s.bEnclosure);
            }
            break;
        }
    }
    return bResult;
}

void ClearSasEvent144Posted() { s_fEvent144Posted = FALSE; }

void ResetIdleSASDevices(uint8_t bFirstEnclosure, uint8_t fFirstOnly) {
    SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    for (uint8_t i = 0; i < psList->bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        const SAS_DEVICE_ENTRY& s = psList->asEntry[i];
        if (s.bEnclosure < bFirstEnclosure || s.wOutstanding != 0 || s.bControllerNumber != bGetControllerNumber() ||
            s.bTargetId >= SAS_PROXY_TARGET_BIT) {
            continue;
        }
        (void)bSendSASTaskManagement(s.bTargetId, 0, TASK_TARGET_RESET, 0);
        SetSASTargetFlagBits(s.bTargetId, TARGET_FLAG_UNDER_RESET);
        RepostQueueTargetCommands(LSI_IOC_DRIVE, s.bTargetId, 0xFF);
        ExtendSASDeadline(IDLE_RESET_DEADLINE_MS);
        if (fFirstOnly == TRUE) return;
    }
}

SAS_EXPANDER_LIST* pGetSASExpanderListPointer(uint8_t bIndex) { return bIndex == 1 ? pGetSASExpanderList() : nullptr; }

void SetSASSlotPartnerVisible(uint8_t f, uint8_t bEnclosure, uint8_t bSlot) {
    if (SlotInTable(bEnclosure, bSlot)) s_aabPartnerVisible[bEnclosure][bSlot] = f;
}

void SetSASTargetPartnerVisible(uint8_t bTarget, uint8_t f) {
    uint8_t bEnclosure = 0, bSlot = 0;
    if (bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot) == STATUS_OK) SetSASSlotPartnerVisible(f, bEnclosure, bSlot);
}

uint8_t bGetSASTargetPartnerVisible(uint8_t bTarget) {
    uint8_t bEnclosure = 0, bSlot = 0;
    if (bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot) != STATUS_OK || !SlotInTable(bEnclosure, bSlot)) return 0;
    return s_aabPartnerVisible[bEnclosure][bSlot];
}

void NotifyPartnerOfSlot(uint8_t bTarget, uint8_t f) {
    if (fIsDualControllerActive() != TRUE) return;
    uint8_t bEnclosure = 0, bSlot = 0;
    if (bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot) != STATUS_OK || !SlotInTable(bEnclosure, bSlot)) return;
    const SAS_DEVICE_LIST* psView = pGetOCSASDriveInfoList();
    for (uint8_t i = 0; i < psView->bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        const SAS_DEVICE_ENTRY& s = psView->asEntry[i];
        if (s.bEnclosure != bEnclosure || s.bSlot != bSlot || s_aabPartnerVisible[bEnclosure][bSlot] == TRUE) continue;
        SendSasDriveMessage213(bEnclosure, bSlot, SLOT_MESSAGE_VISIBILITY, f);
        return;
    }
}

uint8_t ReenableDisabledExpanderPhys() {
    ForEachReportedExpanderPhy(&ReenableOne, nullptr);
    SetSasDiscoveryWork(TRUE);
    return STATUS_OK;
}

uint32_t dGetSASPhyReenables() { return s_dReenables; }

void InitSASSlotPhyActions() {
    std::memset(s_aasHold, 0, sizeof s_aasHold);
    std::memset(s_aabPartnerVisible, 0, sizeof s_aabPartnerVisible);
    s_dReenables = 0;
}

// ---- dumps ---------------------------------------------------------------

namespace {

// The SAS port log page (0x18), cumulative values, and where each port's
// four link error counters lie in it.
constexpr uint8_t LOG_PAGE_PORTS_CUMULATIVE = 0x58;
constexpr uint16_t PORT_LOG_BYTES = 116;
constexpr uint8_t PORT_LOG_TRIES = 3;
constexpr uint8_t PORT1_COUNTERS = 44;
constexpr uint8_t PORT2_COUNTERS = 100;

uint32_t dDriveIocConfig(uint16_t wOffset) {
    return dPciConfigRead32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE, LSI_DRIVE_PCI_FUNCTION, wOffset);
}

bool ReadPortLog(uint8_t bTarget, uint8_t bBus, BUFFER_HANDLE dPage) {
    uint8_t abCdb[10] = {SCSI_LOG_SENSE, 0, LOG_PAGE_PORTS_CUMULATIVE};
    abCdb[7] = static_cast<uint8_t>(PORT_LOG_BYTES >> 8);
    abCdb[8] = static_cast<uint8_t>(PORT_LOG_BYTES);
    for (uint8_t bTry = 0; bTry < PORT_LOG_TRIES; ++bTry) {
        uint8_t bStatus = 0xFF, bKey = 0, bAsc = 0, bAscq = 0;
        if (bSendSCSICommandAndWait(bTarget, bBus, abCdb, TRUE, PORT_LOG_BYTES, dPage, &bStatus, &bKey, &bAsc,
                                    &bAscq) == STATUS_OK &&
            bStatus == SCSI_STATUS_GOOD) {
            return true;
        }
    }
    return false;
}

}  // namespace

// The expander list is looked at again unless a discovery pass is at work
// on it: that pass refreshes it itself.
void ShowSASLinkErrors() {
    if (fIsSASDiscoveryRunning() != TRUE) (void)bDiscoverSASExpanders(FALSE);
    (void)bReadAllPhyErrorLogs();
    (void)fShowLinkErrors();
}

void CopySASDeviceListToPartnerView() {
    SAS_DEVICE_LIST* psView = pGetOCSASDriveInfoList();
    const SAS_DEVICE_LIST* psOwn = pGetSASDriveInfoList();
    if (psView->bEntryCount == 0 || psOwn->bProxyCount != 0) return;
    std::memcpy(psView, psOwn, sizeof *psView);
    const uint8_t bPartner = bGetPartnerControllerNumber();
    for (uint8_t i = 0; i < psView->bEntryCount && i < SAS_MAX_DEVICES; ++i) psView->asEntry[i].bControllerNumber = bPartner;
}

void ShowSASSlotPortCounters() {
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return;
    const uint8_t* pb = static_cast<const uint8_t*>(pBufferHandleToPointer(dPage));
    const SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    for (uint8_t i = 0; i < psList->bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        // A copy: the list may be rebuilt while the drive answers.  The
        // partner's drives are its to ask.
        const SAS_DEVICE_ENTRY s = psList->asEntry[i];
        if (s.fValid != TRUE || s.fSAS != TRUE || s.bTargetId == 0xFF || (s.bTargetId & SAS_PROXY_TARGET_BIT)) continue;
        if (!ReadPortLog(s.bTargetId, s.bBus, dPage)) continue;
        ConsolePrintf("Enc:%02d Slot:%02d {Port:1 - ", s.bEnclosure, s.bSlot);
        ConsolePrintf("%08x  %08x  %08x  %08x}  ", dGetBe32(pb + PORT1_COUNTERS), dGetBe32(pb + PORT1_COUNTERS + 4),
                      dGetBe32(pb + PORT1_COUNTERS + 8), dGetBe32(pb + PORT1_COUNTERS + 12));
        ConsolePrintf("{Port:2 - ");
        ConsolePrintf("%08x  %08x  %08x  %08x}\n", dGetBe32(pb + PORT2_COUNTERS), dGetBe32(pb + PORT2_COUNTERS + 4),
                      dGetBe32(pb + PORT2_COUNTERS + 8), dGetBe32(pb + PORT2_COUNTERS + 12));
    }
    (void)wFreeDataPages(dPage, 1);
}

void ShowTar1PciRegisters() {
    const uint32_t dIds = dDriveIocConfig(0);
    const uint32_t dCommandStatus = dDriveIocConfig(4);
    ConsolePrintf("************************\n");
    ConsolePrintf(" TAR1 PCI IO Registers:\n");
    ConsolePrintf("Vendor ID: %04x\n", dIds & 0xFFFF);
    ConsolePrintf("Device ID: %04x\n", dIds >> 16);
    ConsolePrintf("Command  : %04x\n", dCommandStatus & 0xFFFF);
    ConsolePrintf("Status   : %04x\n", dCommandStatus >> 16);
    ConsolePrintf("next     : %08x\n", dDriveIocConfig(8));
    ConsolePrintf("next     : %08x\n", dDriveIocConfig(12));
    ConsolePrintf("IO Base  : %08x\n", dDriveIocConfig(16));
    ConsolePrintf("************************\n");
}

}  // namespace fw
