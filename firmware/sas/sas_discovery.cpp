#include "sas/sas_discovery.h"

#include <cstring>

#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/mpi.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/mpi_interface.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
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

uint8_t s_bState = SAS_DISC_IDLE;
uint8_t s_fRunning = FALSE;
uint8_t s_fIocRestartRequested = FALSE;
uint8_t s_fRestartArgument = FALSE;
uint64_t s_lStepTime = 0;
uint64_t s_lContinueTime = 0;
uint8_t s_fOverflowReported = FALSE;

BUFFER_HANDLE s_dPage = NULL_BUFFER_HANDLE;

constexpr uint8_t CHANGE_COUNT_JUMP = 11;
constexpr uint8_t EVENT_PHY_WARNING = 19;
constexpr uint8_t ENCLOSURE_TYPE_10 = 0x10;
constexpr uint8_t ENCLOSURE_TYPE_11 = 0x11;
constexpr uint32_t PHYINFO_SELECTOR_ACTIVE = 0x4000;  // the selector passes this side's path
constexpr uint8_t PHY_PORT_SELECT_WARNED = 0x04;
constexpr uint8_t SMP_PHY_PORT_SELECT = 7;
constexpr uint8_t PORT_SELECT_TRIES_HELD = 3;
constexpr uint8_t PORT_SELECT_TRIES = 12;
constexpr uint8_t IDENTIFY_PENDING = 0xFF;  // no enclosure type is ever this
constexpr uint8_t MANUFACTURER_TRIES = 3;
constexpr uint32_t MANUFACTURER_RETRY_MS = 500;
constexpr uint32_t SMP_MANUFACTURER_BYTES = 60;
constexpr uint32_t SMP_PRODUCT_OFFSET = 20;
constexpr uint32_t SMP_ENCLOSURE_TYPE_OFFSET = 0x34;
constexpr uint8_t ENCLOSURE_TYPE_6 = 6;
// The company identifier the controllers' own SAS addresses carry.
constexpr uint32_t CONTROLLER_OUI = 0x0A5A5A;

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

void CountOverflow() {
    if (s_fOverflowReported != TRUE) {
        s_fOverflowReported = TRUE;
        ConsolePrintf("SAS discovery: topology larger than its tables\n");
    }
}

uint64_t SasAddressOf(const SAS_EXPANDER& s) {
    return static_cast<uint64_t>(s.adSASAddress[1]) << 32 | s.adSASAddress[0];
}

// The partner's onboard expander carries the controllers' company id and
// the other controller's number in bits 11-10 of its lower word.
bool IsPartnerOnboardExpander(const SAS_EXPANDER& s) {
    const uint32_t dOtherCode = bGetControllerNumber() == 1 ? 0x800 : 0x400;
    return (s.adSASAddress[1] & 0x0FFFFFF0) == CONTROLLER_OUI << 4 && (s.adSASAddress[0] & 0xC00) == dOtherCode;
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
            CountOverflow();
            return;
        }
        if (s0.bNumPhys > SAS_EXPANDER_PHYS) CountOverflow();
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

// The SATA port-select pass: counts the SATA devices, direct and behind
// port selectors, into the header and, with fSend TRUE, signals every
// selector that does not pass this controller's path (fIncludeActive: also
// those that do), a limited number of times per phy.  TRUE when a signal
// went out.
uint8_t fSelectPorts(SAS_EXPANDER_LIST* psList, uint8_t fSend, uint8_t fIncludeActive) {
    SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(psList);
    const uint8_t bTries = fGetSASTimedHoldFlag() == TRUE ? PORT_SELECT_TRIES_HELD : PORT_SELECT_TRIES;
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
            const bool fWanted = BehindInactiveSelector(s, p) || fIncludeActive == TRUE;
            if (s_aabPortSelectAttempts[i][p] < bTries) {
                SetSASPhyStateBits(i, p, PHY_PORT_SELECT_WARNED, FALSE);
                if (fWanted && fSend == TRUE &&
                    bSendSMPPhyControl(s.adSASAddress[0], s.adSASAddress[1], i, p, SMP_PHY_PORT_SELECT) == STATUS_OK) {
                    ++s_aabPortSelectAttempts[i][p];
                    fSent = TRUE;
                }
            } else if (BehindInactiveSelector(s, p) && !(bGetSASPhyState(i, p) & PHY_PORT_SELECT_WARNED)) {
                PostEvent(EVENT_PHY_WARNING, 2, s.bEnclosure, bSlotOfExpanderPhy(&s, p));
                SetSASPhyStateBits(i, p, PHY_PORT_SELECT_WARNED, TRUE);
            }
        }
    }
    return fSent;
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


uint8_t bReadSASTopologyPage(uint8_t bExtType, uint8_t bPage, uint32_t dAddress, const uint8_t** ppbPage) {
    if (s_dPage == NULL_BUFFER_HANDLE && bAllocDataPages(0, 1, &s_dPage) != STATUS_OK) {
        s_dPage = NULL_BUFFER_HANDLE;
        return 0;
    }
    uint32_t dLength = 0;
    uint16_t wStatus = 0;
    // A handshake: the drive-side interrupt must not acknowledge the
    // doorbell while it runs.
    KernelPoolLock sLock;
    if (bLSIConfigPageRead(LSI_IOC_DRIVE, TRUE, FALSE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, bPage, bExtType, dAddress,
                           s_dPage, 4096, &dLength, &wStatus) != STATUS_OK ||
        (wStatus & MPI_IOCSTATUS_MASK) != MPI_IOCSTATUS_SUCCESS) {
        return 0;
    }
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

// The enclosure model behind an expander of an expansion enclosure, from its
// manufacturer information; type 0 when it never answers.
static void IdentifyExpander(SAS_EXPANDER* ps, uint8_t bOwnSide) {
    uint8_t abAnswer[SMP_MANUFACTURER_BYTES];
    ps->bEnclosureType = 0;
    for (uint8_t bTry = 0; bTry < MANUFACTURER_TRIES; ++bTry) {
        if (bTry != 0) SpinDelayMs(MANUFACTURER_RETRY_MS);
        if (bReportManufacturerInformation(ps->adSASAddress[0], ps->adSASAddress[1], abAnswer) != STATUS_OK) continue;
        const uint8_t* pbProduct = abAnswer + SMP_PRODUCT_OFFSET;
        if (std::memcmp(pbProduct, "Vomax expansion ", 16) == 0) {
            ps->bEnclosureType = ENCLOSURE_TYPE_10;
        } else if (std::memcmp(pbProduct, "KV-4471-Vomaxe2 ", 16) == 0) {
            ps->bEnclosureType = ENCLOSURE_TYPE_11;
            ps->bSide = bOwnSide;
            ConsolePrintf(bOwnSide == 0 ? "Set port to 0" : "Set port to 1");
        } else if (abAnswer[SMP_ENCLOSURE_TYPE_OFFSET] & 0x80) {
            ps->bEnclosureType = abAnswer[SMP_ENCLOSURE_TYPE_OFFSET] & 7;
        } else {
            ps->bEnclosureType = ENCLOSURE_TYPE_10;
            ps->bSide = bOwnSide;
        }
        return;
    }
}

uint8_t bDiscoverSASExpanders(uint8_t fPortSelect) {
    KernelPoolLock sLock;
    SAS_EXPANDER_LIST* psList = &s_sCurrent;
    InitSASExpanderList(psList);
    SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(psList);

    // The expanders on this controller's IOC, by the board's phys or, on a
    // board without a layout, the first two distinct handles.
    const uint8_t* pb = nullptr;
    if (bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, 0, &pb) != STATUS_OK) return 0;
    MPI_SAS_IO_UNIT_PAGE_0 sIo;
    std::memcpy(&sIo, pb, sizeof sIo);
    const LSI_SAS_BOARD_LAYOUT* psLayout = pGetSASBoardLayout();
    uint8_t bFound = 0;
    for (uint8_t p = 0; p < MPI_SAS_IO_UNIT_PHYS && p < sIo.bNumPhys && bFound < 2; ++p) {
        const uint16_t w = sIo.asPhy[p].wControllerDevHandle;
        if (w == 0 || w == 0xFFFF || (bFound == 1 && psHeader->awAttachedHandle[0] == w)) continue;
        const bool fLayoutPhy = psLayout->bFirstExpanderPhy == LSI_NO_PHY || p == psLayout->bFirstExpanderPhy ||
                                p == psLayout->bSecondExpanderPhy || bFound == 0;
        if (fLayoutPhy) psHeader->awAttachedHandle[bFound++] = w;
    }

    // Walk the expanders until the IOC has no next one.
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
            return !(IsPartnerOnboardExpander(s) && s.bSASLevel >= 3);
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

    // Enclosure, side and path of each expander.
    const uint8_t bOwnSide = bGetControllerNumber() == 1 ? 0 : 1;
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
        } else if (IsPartnerOnboardExpander(s)) {
            s.bEnclosure = 1;
            s.bSide = static_cast<uint8_t>(1 - bOwnSide);
            s.fUsable = FALSE;
        } else {
            s.bEnclosure = s.bSASLevel;
            s.bSide = (s.adSASAddress[0] >> 7) & 1;
            s.bPath = (s.adSASAddress[0] >> 8) & 1;
        }
        if (s.bEnclosure > bHighest) bHighest = s.bEnclosure;
        // An expander seen before with the same address, handle and
        // enclosure keeps its identity without a new query.
        const SAS_EXPANDER_LIST_HEADER* psPrev = psSASExpanderHeader(&s_sPrevious);
        bool fKnown = false;
        for (uint8_t j = 0; j < psPrev->bExpanderCount && j < SAS_MAX_EXPANDERS && !fKnown; ++j) {
            const SAS_EXPANDER& o = s_sPrevious.asExpander[j];
            if (SasAddressOf(o) == SasAddressOf(s) && o.wDevHandle == s.wDevHandle && o.bEnclosure == s.bEnclosure) {
                s.bEnclosureType = o.bEnclosureType;
                s.bSide = o.bSide;
                std::memcpy(s.abEnclosureData, o.abEnclosureData, sizeof s.abEnclosureData);
                fKnown = true;
            }
        }
        if (!fKnown && s.bEnclosure == 1) s.bEnclosureType = bGetBackplaneType() & 7;
        if (!fKnown && s.bEnclosure != 1) s.bEnclosureType = IDENTIFY_PENDING;
    }
    psHeader->bHighestEnclosure = bHighest;

    // The query waits for its reply, which the interrupt delivers: the
    // drive-side lock is let go for it.
    sLock.Release();
    for (uint8_t i = 0; i < bCount; ++i) {
        if (psList->asExpander[i].bEnclosureType == IDENTIFY_PENDING) IdentifyExpander(&psList->asExpander[i], bOwnSide);
    }
    KernelPoolLock sRelock;

    // A phy whose change count jumps on two passes running is reported.
    const SAS_EXPANDER_LIST_HEADER* psPrev = psSASExpanderHeader(&s_sPrevious);
    for (uint8_t i = 0; i < bCount; ++i) {
        const SAS_EXPANDER& s = psList->asExpander[i];
        if (s.fUsable != TRUE || i >= psPrev->bExpanderCount || SasAddressOf(s_sPrevious.asExpander[i]) != SasAddressOf(s)) {
            continue;
        }
        for (uint8_t p = 0; p < s.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            const uint8_t bSlot = bSlotOfExpanderPhy(&s, p);
            if (bSlot >= 33) continue;
            const uint8_t bNow = s_aabChangeCount[i][p], bBefore = s_aabPreviousChangeCount[i][p];
            if (bNow != 0 && bBefore != 0 && static_cast<uint8_t>(bNow - bBefore) >= CHANGE_COUNT_JUMP) {
                if (bGetSASPhyState(i, p) & SAS_PHY_CHANGE_WARNED) PostEvent(EVENT_PHY_WARNING, 1, s.bEnclosure, bSlot);
                SetSASPhyStateBits(i, p, SAS_PHY_CHANGE_WARNED, TRUE);
            } else {
                SetSASPhyStateBits(i, p, SAS_PHY_CHANGE_WARNED, FALSE);
            }
        }
    }

    const uint8_t fSent = fSelectPorts(psList, fPortSelect, FALSE);

    std::memcpy(&s_sPrevious, psList, sizeof s_sPrevious);
    std::memcpy(&s_sForPartner, psList, sizeof s_sForPartner);
    std::memcpy(s_aabPreviousChangeCount, s_aabChangeCount, sizeof s_aabChangeCount);
    for (uint8_t i = bCount; i < SAS_MAX_EXPANDERS; ++i) std::memset(s_aabPhyState[i], 0, SAS_EXPANDER_PHYS);
    // Attempts are counted across passes only while a selector stays
    // against this side.
    for (uint8_t i = 0; i < SAS_MAX_EXPANDERS && fSent != TRUE; ++i) {
        for (uint8_t p = 0; p < SAS_EXPANDER_PHYS; ++p) {
            if (i >= bCount || !BehindInactiveSelector(psList->asExpander[i], p)) s_aabPortSelectAttempts[i][p] = 0;
        }
    }
    return fSent == TRUE ? TRUE : STATUS_OK;
}

uint8_t fSelectSATAPortsOfThisController(uint8_t, uint8_t fIncludeActive) {
    // Without a partner every slot is this controller's: force changes nothing.
    KernelPoolLock sLock;
    return fSelectPorts(&s_sPrevious, TRUE, fIncludeActive);
}

uint8_t RestartSASDiscovery(uint8_t fSparseTargets) {
    ForEachExpanderPhy([&](uint8_t bIndex, const MPI_SAS_EXPANDER_PAGE_0& s0, uint8_t p,
                           const MPI_SAS_EXPANDER_PAGE_1& s1) {
        if (s1.bNegotiatedLinkRate == MPI_SAS_LINK_RATE_PHY_DISABLED) {
            SetSASPhyStateBits(bIndex, p, SAS_PHY_DISABLED, TRUE);
            return;
        }
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

uint8_t fIsExpanderAttached() {
    const uint8_t* pb = nullptr;
    if (bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, 0, &pb) != STATUS_OK) return FALSE;
    MPI_SAS_IO_UNIT_PAGE_0 sIo;
    std::memcpy(&sIo, pb, sizeof sIo);
    for (uint8_t p = 0; p < MPI_SAS_IO_UNIT_PHYS && p < sIo.bNumPhys; ++p) {
        if (sIo.asPhy[p].wControllerDevHandle != 0 && sIo.asPhy[p].wControllerDevHandle != 0xFFFF) return TRUE;
    }
    return FALSE;
}

uint8_t bGetSASDiscoveryState() { return s_bState; }
uint8_t fIsSASDiscoveryRunning() { return s_fRunning; }
void RequestSASIOCRestart() {
    s_fIocRestartRequested = TRUE;
    SetSasDiscoveryWork(TRUE);
}

// One step per background pass; waits are measured from the step time.
void SASDiscoveryStep() {
    // Without a drive IOC that ever came up there is nothing to discover.
    if (s_fRunning != TRUE && s_fIocRestartRequested != TRUE && psGetLSIAdapter(LSI_IOC_DRIVE)->fIocUp != TRUE) {
        SetSasDriveWork(FALSE);
        SetSasDiscoveryWork(FALSE);
        return;
    }
    if (s_fRunning != TRUE) {
        s_bState = s_fIocRestartRequested == TRUE ? SAS_DISC_RESTART_IOC : SAS_DISC_DISCOVER;
        s_fRunning = TRUE;
        s_lStepTime = lGetTickCount();
    }
    switch (s_bState) {
    case SAS_DISC_RESTART_IOC:
        s_fIocRestartRequested = FALSE;
        (void)LSI_SAS_DriveIOCBringUp(TRUE);
        s_lStepTime = lGetTickCount();
        s_bState = SAS_DISC_WAIT_IOC;
        return;
    case SAS_DISC_WAIT_IOC:
        if (!WaitedSince(s_lStepTime, 4000)) return;
        // A drive that left while the IOC was down gets its phy reset, and
        // the links a while to settle before the walk.
        s_lStepTime = lGetTickCount();
        s_bState = fResetVanishedDevicePhys() == TRUE ? SAS_DISC_WAIT : SAS_DISC_DISCOVER;
        return;
    case SAS_DISC_RESTART:
        (void)RestartSASDiscovery(s_fRestartArgument);
        s_lStepTime = lGetTickCount();
        s_bState = SAS_DISC_WAIT;
        return;
    case SAS_DISC_WAIT:
        if (!WaitedSince(s_lStepTime, 4000)) return;
        s_bState = SAS_DISC_DISCOVER;
        return;
    case SAS_DISC_DISCOVER:
    case SAS_DISC_CONTINUE: {
        if (s_bState == SAS_DISC_CONTINUE && !WaitedSince(s_lContinueTime, 6000)) return;
        if (s_bState == SAS_DISC_CONTINUE && fGetSASTimedHoldFlag() == TRUE) {
            // Held drives: reset the end devices' phys, sparing the targets.
            s_fRestartArgument = TRUE;
            s_bState = SAS_DISC_RESTART;
            return;
        }
        const uint8_t b = bDiscoverSASExpanders(TRUE);
        if (b == TRUE) {
            s_lContinueTime = lGetTickCount();
            s_bState = SAS_DISC_CONTINUE;
        } else if (b == 0) {
            s_lStepTime = lGetTickCount();
            s_bState = SAS_DISC_WAIT_RESTART;
        } else if (b == 250) {
            s_lStepTime = lGetTickCount();
            s_bState = SAS_DISC_WAIT;
        } else {
            s_bState = SAS_DISC_REBUILD;
        }
        return;
    }
    case SAS_DISC_REBUILD:
        RebuildSASDeviceList(TRUE);
        s_bState = SAS_DISC_IDLE;
        s_fRunning = FALSE;
        SetSasDriveWork(FALSE);
        SetSasDiscoveryWork(FALSE);
        return;
    case SAS_DISC_WAIT_RESTART:
        if (!WaitedSince(s_lStepTime, 5000)) return;
        s_fIocRestartRequested = TRUE;
        s_bState = SAS_DISC_RESTART_IOC;
        return;
    default:
        s_bState = SAS_DISC_IDLE;
        s_fRunning = FALSE;
        SetSasDiscoveryWork(FALSE);
        return;
    }
}

}  // namespace fw
