#include "sas/smp.h"

#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "hw/mpi_sas_phy.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/ioc_events.h"
#include "sas/link_diagnostics.h"
#include "sas/mpi_interface.h"
#include "sas/request_frames.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"

namespace fw {

namespace {

constexpr uint32_t SMP_DEADLINE_MS = 10000;
constexpr uint32_t SYNCHRONOUS_WAIT_MS = 3000;
constexpr uint8_t PHY_DISABLED = 0x02;
constexpr uint8_t PHY_WAITING_RESET = 0x10;
constexpr uint8_t PHY_RESET_SENT = 0x20;
// A drive that reset itself: its phy's link reset waits this long after
// the reset, and the look at the fabric up to this long for its link.
constexpr uint64_t LINK_RESET_AFTER_INTERNAL_RESET_MS = 3000;
constexpr uint64_t LINK_AFTER_INTERNAL_RESET_MS = 15000;
// Request and response buffers: a ring of slots in one page, each slot
// 64 bytes of request then 64 of response.
constexpr uint32_t SLOT_BYTES = 128;
constexpr uint32_t SLOTS = 4096 / SLOT_BYTES;

// Which request each slot of the ring carries (expander | phy << 8): its
// response is read for that phy only.
constexpr uint16_t SLOT_TAG_NONE = 0xFFFF;
// A request that could not be posted is tried this often, this far apart,
// by the passes over every phy.
constexpr uint8_t PASS_TRIES = 3;
constexpr uint32_t PASS_RETRY_MS = 1;
// How long the link error report waits for a phy's error log to come in.
constexpr uint64_t LOG_WAIT_MS = 2000;
// Attached device types that are expanders (low three bits of the device
// info): edge and fanout.
constexpr uint32_t DEVICE_TYPE_MASK = 0x07;
constexpr uint32_t DEVICE_TYPE_EDGE_EXPANDER = 2;
constexpr uint32_t DEVICE_TYPE_FANOUT_EXPANDER = 3;
constexpr uint32_t PHYINFO_OTHER_PATH = 0x1000;
// The phy role (the board's phy tables) of a cable to another
// enclosure's expander.
constexpr uint8_t ROLE_EXPANDER_LINK = 0xC0;
constexpr uint8_t REPORT_ENCLOSURES = 16;
constexpr uint8_t REPORT_SLOTS = 32;

BUFFER_HANDLE s_dPage = NULL_BUFFER_HANDLE;
uint32_t s_dNextSlot = 0;
uint16_t s_awSlotTag[SLOTS];
volatile uint8_t s_fSyncPending = FALSE;
uint8_t* s_pbSyncResponse = nullptr;
uint16_t s_wSyncIocStatus = MPI_IOCSTATUS_SUCCESS;
uint32_t s_aadErrors[SAS_MAX_EXPANDERS][SAS_EXPANDER_PHYS][4];

uint8_t* pbSlot() {
    if (bTakeSMPPage() != STATUS_OK) return nullptr;
    uint8_t* pb = static_cast<uint8_t*>(pBufferHandleToPointer(s_dPage));
    const uint32_t dSlot = s_dNextSlot++ % SLOTS;
    s_awSlotTag[dSlot] = SLOT_TAG_NONE;
    pb += dSlot * SLOT_BYTES;
    std::memset(pb, 0, 64);
    std::memset(pb + 64, 0xFF, 64);
    return pb;
}

uint32_t Be32(const uint8_t* pb) {
    return static_cast<uint32_t>(pb[0]) << 24 | static_cast<uint32_t>(pb[1]) << 16 |
           static_cast<uint32_t>(pb[2]) << 8 | pb[3];
}

}  // namespace

// The page the SMP frames live in is kept for good once taken; the bring-up
// takes it, so the first expander action under load neither fails for
// want of a page nor holds one more page than start of day did.
uint8_t bTakeSMPPage() {
    if (s_dPage == NULL_BUFFER_HANDLE) {
        if (bAllocDataPages(0, 1, &s_dPage) != STATUS_OK) {
            s_dPage = NULL_BUFFER_HANDLE;
            return 0;
        }
        for (uint16_t& w : s_awSlotTag) w = SLOT_TAG_NONE;
    }
    return STATUS_OK;
}

uint8_t bSendSMPPassthrough(uint32_t dSasLow, uint32_t dSasHigh, uint16_t wTag, const uint8_t* pbRequest,
                            uint8_t* pbResponse, uint8_t bRequestLength, uint8_t bResponseLength) {
    KernelPoolLock sLock;
    uint8_t* pbFrame = nullptr;
    uint16_t wIndex = LSI_NO_HANDLE;
    const uint8_t bAlloc = bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wIndex, FALSE);
    if (bAlloc != STATUS_OK) return bAlloc;
    SetSASPhyStateBits(static_cast<uint8_t>(wTag), static_cast<uint8_t>(wTag >> 8), SMP_PHY_OUTSTANDING, TRUE);
    pbFrame[1] = 0xFF;
    pbFrame[3] = MPI_FUNCTION_SMP_PASSTHROUGH;
    const uint16_t wLength = bRequestLength;
    std::memcpy(pbFrame + 4, &wLength, 2);
    const uint32_t dContext = wTag;
    std::memcpy(pbFrame + 8, &dContext, 4);
    std::memcpy(pbFrame + 16, &dSasLow, 4);
    std::memcpy(pbFrame + 20, &dSasHigh, 4);
    const uint32_t adSgl[4] = {MPI_SGE_FLAG_END_OF_BUFFER | MPI_SGE_FLAG_SIMPLE | MPI_SGE_FLAG_HOST_TO_IOC | bRequestLength,
                               static_cast<uint32_t>(dPciAddressOf(pbRequest)),
                               MPI_SGE_FLAG_END_OF_BUFFER | MPI_SGE_FLAG_SIMPLE | bResponseLength,
                               static_cast<uint32_t>(dPciAddressOf(pbResponse))};
    std::memcpy(pbFrame + 32, adSgl, sizeof adSgl);
    const uint8_t* pbPage = static_cast<const uint8_t*>(pBufferHandleToPointer(s_dPage));
    if (s_dPage != NULL_BUFFER_HANDLE && pbRequest >= pbPage && pbRequest < pbPage + SLOTS * SLOT_BYTES) {
        s_awSlotTag[(pbRequest - pbPage) / SLOT_BYTES] = wTag;
    }
    (void)qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wIndex, SMP_DEADLINE_MS, FALSE);
    OrLSIRequestFlags(LSI_IOC_DRIVE, wIndex, LSI_REQUEST_RECOVERY);
    return STATUS_OK;
}

uint8_t bSendSMPPhyControl(uint32_t dSasLow, uint32_t dSasHigh, uint8_t bExpander, uint8_t bPhy, uint8_t bOperation) {
    uint8_t* pb = pbSlot();
    if (!pb) return STATUS_NO_PAGES;
    pb[0] = SMP_FRAME_REQUEST;
    pb[1] = SMP_PHY_CONTROL;
    pb[SMP_PHY_IDENTIFIER_OFFSET] = bPhy;
    pb[SMP_PHY_OPERATION_OFFSET] = bOperation;
    pb[32] = 0x80;
    pb[33] = 0x90;
    return bSendSMPPassthrough(dSasLow, dSasHigh, static_cast<uint16_t>(bExpander | bPhy << 8), pb, pb + 64, 40, 4);
}

uint8_t bSendSMPReportPhyErrorLog(uint32_t dSasLow, uint32_t dSasHigh, uint8_t bExpander, uint8_t bPhy) {
    uint8_t* pb = pbSlot();
    if (!pb) return STATUS_NO_PAGES;
    pb[0] = SMP_FRAME_REQUEST;
    pb[1] = SMP_REPORT_PHY_ERROR_LOG;
    pb[SMP_PHY_IDENTIFIER_OFFSET] = bPhy;
    return bSendSMPPassthrough(dSasLow, dSasHigh, static_cast<uint16_t>(bExpander | bPhy << 8), pb, pb + 64, 12,
                               SMP_PHY_ERROR_LOG_BYTES);
}

void SMPPassthroughReply(const uint8_t* pbFrame) {
    uint32_t dContext;
    std::memcpy(&dContext, pbFrame + 8, 4);
    const uint8_t bExpander = static_cast<uint8_t>(dContext);
    const uint8_t bPhy = static_cast<uint8_t>(dContext >> 8);
    if (bExpander == SMP_TAG_SYNCHRONOUS) {
        MPI_REPLY_HEADER sHeader;
        std::memcpy(&sHeader, pbFrame, sizeof sHeader);
        s_wSyncIocStatus = sHeader.wIOCStatus & MPI_IOCSTATUS_MASK;
        s_fSyncPending = FALSE;
        return;
    }
    SetSASPhyStateBits(bExpander, bPhy, SMP_PHY_OUTSTANDING, FALSE);
    // The response lies in the slot the request was built in; only error
    // logs carry anything to keep.  Phys of the same number on other
    // expanders have slots of their own: only this request's slot counts.
    if (bExpander >= SAS_MAX_EXPANDERS || bPhy >= SAS_EXPANDER_PHYS || s_dPage == NULL_BUFFER_HANDLE) return;
    const uint8_t* pbPage = static_cast<const uint8_t*>(pBufferHandleToPointer(s_dPage));
    for (uint32_t s = 0; s < SLOTS; ++s) {
        const uint8_t* pbResponse = pbPage + s * SLOT_BYTES + 64;
        if (s_awSlotTag[s] != static_cast<uint16_t>(dContext)) continue;
        if (pbResponse[1] == SMP_REPORT_PHY_ERROR_LOG && pbResponse[SMP_PHY_IDENTIFIER_OFFSET] == bPhy &&
            pbResponse[0] == SMP_FRAME_RESPONSE &&
            pGetSASExpanderList()->asExpander[bExpander].fUsable == TRUE) {
            for (int i = 0; i < 4; ++i) s_aadErrors[bExpander][bPhy][i] = Be32(pbResponse + SMP_PHY_ERROR_COUNTERS_OFFSET + 4 * i);
        }
    }
}

uint8_t bReportManufacturerInformation(uint32_t dSasLow, uint32_t dSasHigh, uint8_t* pbAnswer) {
    if (s_fSyncPending == TRUE) return 0;
    uint8_t* pb = pbSlot();
    if (!pb) return 0;
    pb[0] = SMP_FRAME_REQUEST;
    pb[1] = SMP_REPORT_MANUFACTURER;
    s_pbSyncResponse = pb + 64;
    s_fSyncPending = TRUE;
    if (bSendSMPPassthrough(dSasLow, dSasHigh, SMP_TAG_SYNCHRONOUS, pb, pb + 64, 4, SMP_MANUFACTURER_BYTES) != STATUS_OK) {
        s_fSyncPending = FALSE;
        return 0;
    }
    const uint64_t lStart = lGetTickCount();
    while (s_fSyncPending == TRUE && lGetTickCount() - lStart < SYNCHRONOUS_WAIT_MS) HwPoll();
    if (s_fSyncPending == TRUE) {
        s_fSyncPending = FALSE;
        return 0;
    }
    // An expander the IOC could not reach answers nothing worth reading.
    if (s_wSyncIocStatus != MPI_IOCSTATUS_SUCCESS) return 0;
    std::memcpy(pbAnswer, s_pbSyncResponse, 60);
    return STATUS_OK;
}

void DisableSlotExpanderPhy(uint8_t bEnclosure, uint8_t bSlot) {
    uint8_t bExpander = 0, bPhy = 0;
    if (bFindExpanderPhyOfEnclosureSlot(bEnclosure, bSlot, &bExpander, &bPhy) != STATUS_OK) return;
    const SAS_EXPANDER& s = pGetSASExpanderList()->asExpander[bExpander];
    if (bSendSMPPhyControl(s.adSASAddress[0], s.adSASAddress[1], bExpander, bPhy, SMP_PHY_DISABLE) == STATUS_OK) {
        SetSASPhyStateBits(bExpander, bPhy, PHY_DISABLED, TRUE);
    }
}

uint8_t bSlotExpanderPhyControl(uint8_t bEnclosure, uint8_t bSlot, uint8_t bOperation) {
    uint8_t bExpander = 0, bPhy = 0;
    if (bFindExpanderPhyOfEnclosureSlot(bEnclosure, bSlot, &bExpander, &bPhy) != STATUS_OK) return 0;
    const SAS_EXPANDER& s = pGetSASExpanderList()->asExpander[bExpander];
    return bSendSMPPhyControl(s.adSASAddress[0], s.adSASAddress[1], bExpander, bPhy, bOperation);
}

void ClearSlotPhyDisabled(uint8_t bEnclosure, uint8_t bSlot) {
    uint8_t bExpander = 0, bPhy = 0;
    if (bFindExpanderPhyOfEnclosureSlot(bEnclosure, bSlot, &bExpander, &bPhy) == STATUS_OK) {
        SetSASPhyStateBits(bExpander, bPhy, PHY_DISABLED, FALSE);
    }
}

namespace {

// How long ago the drive on an expander's slot last reset itself (the
// longest time when it never did, or no drive of this controller is known
// there: nothing to wait for then).
uint64_t lSinceInternalReset(const SAS_EXPANDER& s, uint8_t bSlot, uint64_t lNow) {
    SAS_DEVICE_ENTRY* ps = nullptr;
    if (bGetSASDeviceEntryByEnclosureSlot(s.bEnclosure, bSlot, &ps) != STATUS_OK || ps == nullptr ||
        ps->bTargetId >= SAS_PROXY_TARGET_BIT) {
        return UINT64_MAX;
    }
    const uint64_t lReset = lGetSASInternalResetTick(ps->bTargetId);
    return lReset == 0 ? UINT64_MAX : lNow - lReset;
}

}  // namespace

uint8_t fResetMarkedExpanderPhys(uint8_t fWaitingOnly) {
    SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    const SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(psList);
    const uint64_t lNow = lGetTickCount();
    bool fAny = false;
    for (uint8_t e = 0; e < psHeader->bExpanderCount && e < SAS_MAX_EXPANDERS; ++e) {
        const SAS_EXPANDER& s = psList->asExpander[e];
        if (s.fUsable != TRUE) continue;
        for (uint8_t p = 0; p < s.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            const uint8_t bState = bGetSASPhyState(e, p);
            const uint8_t bSlot = bSlotOfExpanderPhy(&s, p);
            if (bSlot >= 0xA0 || !(bState & (PHY_DISABLED | PHY_WAITING_RESET | PHY_RESET_SENT))) continue;
            const uint64_t lSinceReset = lSinceInternalReset(s, bSlot, lNow);
            if (bState & PHY_RESET_SENT) {
                // A drive that reset itself may take a while to bring its
                // link up after the reset: the look waits for it (the link
                // coming up ends the wait sooner).
                if (lSinceReset >= LINK_AFTER_INTERNAL_RESET_MS) SetSASPhyStateBits(e, p, PHY_RESET_SENT, FALSE);
                fAny = true;
                continue;
            }
            const uint8_t bWant = fWaitingOnly == TRUE ? PHY_WAITING_RESET : (PHY_WAITING_RESET | PHY_DISABLED);
            if (!(bState & bWant)) continue;
            fAny = true;
            // Reset again too soon after its own reset, a drive starts over.
            if ((bState & PHY_WAITING_RESET) && lSinceReset < LINK_RESET_AFTER_INTERNAL_RESET_MS) continue;
            SetSASPhyStateBits(e, p, PHY_DISABLED | PHY_WAITING_RESET, FALSE);
            SetSASPhyStateBits(e, p, PHY_RESET_SENT, TRUE);
            (void)bSendSMPPhyControl(s.adSASAddress[0], s.adSASAddress[1], e, p, SMP_PHY_LINK_RESET);
        }
    }
    if (!fAny) return FALSE;
    SetSasDriveWork(FALSE);
    MarkSASTopologyChange();
    SetSasDiscoveryWork(TRUE);
    return TRUE;
}

namespace {

// The request the next slot of the ring held may still be out: a pass over
// every phy waits for its answer (bounded) before reusing the slot, so no
// response lands in a slot built over.
void AwaitNextSlot() {
    const uint16_t wTag = s_awSlotTag[s_dNextSlot % SLOTS];
    if (wTag == SLOT_TAG_NONE || wTag == SMP_TAG_SYNCHRONOUS) return;
    const uint8_t bExpander = static_cast<uint8_t>(wTag), bPhy = static_cast<uint8_t>(wTag >> 8);
    const uint64_t lStart = lGetTickCount();
    while ((bGetSASPhyState(bExpander, bPhy) & SMP_PHY_OUTSTANDING) && lGetTickCount() - lStart < SMP_DEADLINE_MS) {
        HwPoll();
    }
}

// One request to every phy of every usable expander, each tried up to
// three times a millisecond apart while it cannot be posted: 255 when all
// went, else the last refusal.
template <typename F>
uint8_t bForEveryUsablePhy(F fnSend) {
    SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    const uint8_t bCount = psSASExpanderHeader(psList)->bExpanderCount;
    uint8_t bResult = STATUS_OK;
    for (uint8_t e = 0; e < bCount && e < SAS_MAX_EXPANDERS; ++e) {
        const SAS_EXPANDER& s = psList->asExpander[e];
        if (s.fUsable != TRUE) continue;
        for (uint8_t p = 0; p < s.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            uint8_t b = 0;
            for (uint8_t t = 0; t < PASS_TRIES && b != STATUS_OK; ++t) {
                if (t != 0) SpinDelayMs(PASS_RETRY_MS);
                AwaitNextSlot();
                b = fnSend(s, e, p);
            }
            if (b != STATUS_OK) bResult = b;
        }
    }
    return bResult;
}

bool AnyCount(const uint32_t* pd) { return pd[0] != 0 || pd[1] != 0 || pd[2] != 0 || pd[3] != 0; }

void PrintCounts(const uint32_t* pd) {
    ConsolePrintf("     %8x   %8x   %8x   %8x\n", pd[0], pd[1], pd[2], pd[3]);
}

// The report's heading, once, before its first line.
void Heading(bool* pfPrinted) {
    if (*pfPrinted) return;
    *pfPrinted = true;
    ConsolePrintText("\n\nSAS PHY Error Counters\n");
    // Four columns over the counts of each line below.
    ConsolePrintText("                                      Invalid    Running    Loss of        Phy\n");
    ConsolePrintText("                                       Dwords    Dispar.    DW Sync      Reset\n");
    ConsolePrintText("------------------------------------------------------------------------------\n");
}

bool AttachesExpander(const SAS_EXPANDER& s, uint8_t bPhy) {
    const uint32_t dType = s.adAttachedDeviceInfo[bPhy] & DEVICE_TYPE_MASK;
    return dType == DEVICE_TYPE_EDGE_EXPANDER || dType == DEVICE_TYPE_FANOUT_EXPANDER;
}

// A phy cabled to another enclosure by the board's phy roles, or one the
// IOC reports an expander on.
bool LeadsToExpander(const SAS_EXPANDER& s, uint8_t bPhy) {
    return bSlotOfExpanderPhy(&s, bPhy) == ROLE_EXPANDER_LINK || AttachesExpander(s, bPhy);
}

const char* pszLinkKind(const SAS_EXPANDER& s, uint8_t bPhy) {
    if (!AttachesExpander(s, bPhy)) return "Unknown    :";
    return (s.adPhyInfo[bPhy] & PHYINFO_OTHER_PATH) ? "Exp Out (B):" : "Exp Out    :";
}

}  // namespace

uint8_t bReadAllPhyErrorLogs() {
    return bForEveryUsablePhy([](const SAS_EXPANDER& s, uint8_t e, uint8_t p) {
        return bSendSMPReportPhyErrorLog(s.adSASAddress[0], s.adSASAddress[1], e, p);
    });
}

void ClearAllPhyErrorLogs() {
    std::memset(s_aadErrors, 0xFF, sizeof s_aadErrors);
    (void)bForEveryUsablePhy([](const SAS_EXPANDER& s, uint8_t e, uint8_t p) {
        return bSendSMPPhyControl(s.adSASAddress[0], s.adSASAddress[1], e, p, SMP_PHY_CLEAR_ERROR_LOG);
    });
}

uint8_t fShowLinkErrors() {
    bool fPrinted = false;
    const SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    for (uint8_t bEnclosure = 1; bEnclosure <= REPORT_ENCLOSURES; ++bEnclosure) {
        for (uint8_t bSlot = 1; bSlot <= REPORT_SLOTS; ++bSlot) {
            SAS_DEVICE_ENTRY* ps = nullptr;
            uint8_t bExpander = 0, bPhy = 0;
            if (bGetSASDeviceEntryByEnclosureSlot(bEnclosure, bSlot, &ps) != STATUS_OK || ps == nullptr ||
                bFindExpanderPhyOfEnclosureSlot(bEnclosure, bSlot, &bExpander, &bPhy) != STATUS_OK ||
                bExpander >= SAS_MAX_EXPANDERS || bPhy >= SAS_EXPANDER_PHYS) {
                continue;
            }
            const uint64_t lStart = lGetTickCount();
            while ((bGetSASPhyState(bExpander, bPhy) & SMP_PHY_OUTSTANDING) && lGetTickCount() - lStart < LOG_WAIT_MS) {
                SpinDelayMs(1);
            }
            const uint32_t* pd = pdGetPhyErrorCounters(bExpander, bPhy);
            if (!AnyCount(pd)) continue;
            Heading(&fPrinted);
            ConsolePrintf("Encl:%02d Slot:%02d    : Ex:%d Phy:%02d", bEnclosure, bSlot, bExpander, bPhy);
            PrintCounts(pd);
        }
    }
    const uint8_t bCount = psSASExpanderHeader(const_cast<SAS_EXPANDER_LIST*>(psList))->bExpanderCount;
    for (uint8_t e = 0; e < bCount && e < SAS_MAX_EXPANDERS; ++e) {
        const SAS_EXPANDER& s = psList->asExpander[e];
        if (s.fUsable != TRUE) continue;
        for (uint8_t p = 0; p < s.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            if (!LeadsToExpander(s, p)) continue;
            const uint32_t* pd = pdGetPhyErrorCounters(e, p);
            if (!AnyCount(pd)) continue;
            Heading(&fPrinted);
            ConsolePrintf("Encl:%02d %s Ex:%d Phy:%02d", s.bEnclosure, pszLinkKind(s, p), e, p);
            PrintCounts(pd);
        }
    }
    ConsolePrintText(fPrinted ? "\nLink Errors Detected\n\n" : "\nNo Link Errors Detected\n\n");
    return ToFlag(fPrinted);
}

const uint32_t* pdGetPhyErrorCounters(uint8_t bExpander, uint8_t bPhy) {
    static const uint32_t s_adNone[4] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    if (bExpander >= SAS_MAX_EXPANDERS || bPhy >= SAS_EXPANDER_PHYS) return s_adNone;
    return s_aadErrors[bExpander][bPhy];
}

// The drive-side controller's own phys: SAS PHY page 1 of each, read into
// one buffer page before anything is printed; the first read that fails
// ends the list.
void ShowSASPhyErrorLog(uint8_t) {
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) {
        ConsolePrintf("Cannot allocate memory for buffer\n");
        return;
    }
    MPI_SAS_PHY_PAGE_1 asPhy[MPI_SAS_IO_UNIT_PHYS];
    uint8_t bRead = 0;
    for (; bRead < MPI_SAS_IO_UNIT_PHYS; ++bRead) {
        uint32_t dLength = 0;
        if (bReadDriveSidePage(MPI_CONFIG_EXTPAGETYPE_SAS_PHY, 1, MPI_SAS_PHY_PAGE_FORM_PHY_NUMBER | bRead, dPage,
                               &dLength) != STATUS_OK ||
            dLength < sizeof(MPI_SAS_PHY_PAGE_1)) {
            break;
        }
        std::memcpy(&asPhy[bRead], pBufferHandleToPointer(dPage), sizeof asPhy[bRead]);
    }
    ConsolePrintf("\nPHY  InvalidDwords  DisparityErrs  LostDwordSyncs  ResetProblems\n");
    for (uint8_t b = 0; b < bRead; ++b) {
        const MPI_SAS_PHY_PAGE_1& s = asPhy[b];
        ConsolePrintf(" %2u     %10u     %10u      %10u     %10u\n", b, s.dInvalidDwordCount,
                      s.dRunningDisparityErrorCount, s.dLossDwordSynchCount, s.dPhyResetProblemCount);
    }
    (void)wFreeDataPages(dPage, 1);
}

}  // namespace fw
