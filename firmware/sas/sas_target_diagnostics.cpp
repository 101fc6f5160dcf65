// What the SAS host ports show the operator: the phys' error counters
// against a reference the operator takes, and the driver's state for the
// debug dumps.
#include <cstring>

#include "config/apply_settings.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/mpi.h"
#include "hw/mpi_sas_phy.h"
#include "sas/link_diagnostics.h"
#include "sas/mpi_interface.h"
#include "sas/sas_drive.h"
#include "sas/sas_target.h"
#include "sas/sas_target_ports.h"

namespace fw {

namespace {

constexpr uint8_t PHY_COUNTERS_SHOW_AND_RENEW = 0xFF;
constexpr uint8_t PHY_COUNT_KINDS = 4;

struct PHY_COUNTS {
    uint32_t ad[PHY_COUNT_KINDS];   // invalid dwords, disparity errors, lost dword syncs, reset problems
};

PHY_COUNTS s_asReference[SAS_TARGET_PHYS];
PHY_COUNTS s_asDelta[SAS_TARGET_PHYS];
uint32_t s_dReferenceNumber = 0;

// SAS PHY page 1 of each phy in turn into the page; the count of phys read
// (the first read that fails ends the walk).
uint8_t bReadPhyCounters(BUFFER_HANDLE dPage, PHY_COUNTS* psNow) {
    for (uint8_t bPhy = 0; bPhy < SAS_TARGET_PHYS; ++bPhy) {
        uint32_t dLength = 0;
        if (!ReadSASTargetPage(MPI_CONFIG_EXTPAGETYPE_SAS_PHY, 1, MPI_SAS_PHY_PAGE_FORM_PHY_NUMBER | bPhy, dPage,
                               &dLength) ||
            dLength < sizeof(MPI_SAS_PHY_PAGE_1)) {
            return bPhy;
        }
        MPI_SAS_PHY_PAGE_1 s;
        std::memcpy(&s, pBufferHandleToPointer(dPage), sizeof s);
        psNow[bPhy] = {{s.dInvalidDwordCount, s.dRunningDisparityErrorCount, s.dLossDwordSynchCount,
                        s.dPhyResetProblemCount}};
    }
    return SAS_TARGET_PHYS;
}

void PrintPhyCounts(const PHY_COUNTS* ps, uint8_t bPhys) {
    ConsolePrintf("\nPHY  InvalidDwords  DisparityErrs  LostDwordSyncs  ResetProblems\n");
    for (uint8_t bPhy = 0; bPhy < bPhys; ++bPhy) {
        const uint32_t* pd = ps[bPhy].ad;
        ConsolePrintf("%1u-%1u     %10u     %10u      %10u     %10u\n", bPhy / SAS_TARGET_PHYS_PER_PORT, bPhy, pd[0],
                      pd[1], pd[2], pd[3]);
    }
}

}  // namespace

// The counters since the reference: shown (0xFE), taken as the new
// reference and shown as set (0xFD), or both (0xFF).  Until a reference
// is taken the counts since the IOC's reset are the changes.
void LSI_SAS_TargetUpdatePhyErrorCounters(uint8_t bIocId, uint8_t fPrint, uint8_t bMode) {
    if (bIocId != LSI_IOC_TARGET_1 && bIocId != LSI_IOC_TARGET_2) return;
    const uint8_t bState = bGetSASTargetState();
    if (bState != SAS_TARGET_RUNNING && bState != SAS_TARGET_PORTS_ENABLED) return;
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) {
        ConsolePrintf("LSI_SAS_TargetUpdatePhyErrorCounters: Can't allocate buffer for dev %02x\n", bIocId);
        return;
    }
    PHY_COUNTS asNow[SAS_TARGET_PHYS] = {};
    const uint8_t bPhys = bReadPhyCounters(dPage, asNow);
    (void)wFreeDataPages(dPage, 1);

    if (s_dReferenceNumber == 0) {
        std::memset(s_asReference, 0, sizeof s_asReference);
        s_dReferenceNumber = 1;
    }
    const uint32_t dFrom = s_dReferenceNumber;
    for (uint8_t bPhy = 0; bPhy < bPhys; ++bPhy) {
        for (uint8_t k = 0; k < PHY_COUNT_KINDS; ++k) {
            s_asDelta[bPhy].ad[k] = asNow[bPhy].ad[k] - s_asReference[bPhy].ad[k];
        }
    }
    const bool fRenew = bMode == PHY_COUNTERS_NEW_REFERENCE || bMode == PHY_COUNTERS_SHOW_AND_RENEW;
    if (fRenew) {
        for (uint8_t bPhy = 0; bPhy < bPhys; ++bPhy) s_asReference[bPhy] = asNow[bPhy];
        ++s_dReferenceNumber;
    }
    if (fPrint != TRUE) return;
    PrintCurrentDateTime();
    if (bMode == PHY_COUNTERS_SHOW || bMode == PHY_COUNTERS_SHOW_AND_RENEW) {
        // The changes are those since the reference they were measured from.
        ConsolePrintf("\nSAS Host Interface Diagnostic Registers: Display changes from Reference %u\n", dFrom);
        PrintPhyCounts(s_asDelta, bPhys);
    } else {
        ConsolePrintf("\nSAS Host Interface Diagnostic Registers: Set Values for Reference %u\n", s_dReferenceNumber);
        PrintPhyCounts(s_asReference, bPhys);
    }
}

// --- the debug dumps -------------------------------------------------------------

// Each port's stored phy disables and rate, as start-up gave them to the IOC.
// A port's phy-disable mask and rate setting, as the configuration dump
// and the interface dump show them; the phys are numbered as the IOC
// numbers them (the second port's from 4).
void PrintSASPortSettings(const char* pszPort, uint8_t bConnection, uint8_t bDataRate) {
    const uint8_t bFirstPhy = pszPort[0] == '1' ? SAS_TARGET_PHYS_PER_PORT : 0;
    ConsolePrintf("Controller Port %s Connection Options: \n", pszPort);
    for (uint8_t bPhy = 0; bPhy < SAS_TARGET_PHYS_PER_PORT; ++bPhy) {
        ConsolePrintf("    PHY %d: ", bFirstPhy + bPhy);
        ConsolePrintText((bConnection >> bPhy) & 1u ? "Disabled\n" : "Enabled\n");
    }
    ConsolePrintf("Controller Port %s Data Rate:          ", pszPort);
    ConsolePrintText(bDataRate == 1 ? "1.5 Gb/s\n" : bDataRate == 2 ? "3 Gb/s\n" : "Auto\n");
}

void ShowSASPortConnectionOptions() {
    PrintSASPortSettings("0", bGetHostPortConnectionSetting(LSI_IOC_TARGET_1), bGetHostPortSpeedSetting(LSI_IOC_TARGET_1));
    PrintSASPortSettings("1", bGetHostPortConnectionSetting(LSI_IOC_TARGET_2), bGetHostPortSpeedSetting(LSI_IOC_TARGET_2));
}

// The command buffers that hold a command, and the request frames in use
// (a request past its deadline marked '-').
void ShowSASTargetCommandMap() {
    const LSI_SAS_TARGET_IOC* a = dGetSASTargetIocRecord(LSI_IOC_TARGET_1);
    ConsolePrintf("  LSI SAS Target command Post Map:\n    ");
    for (uint16_t w = 0; w < a->wCmdBuffers; ++w) {
        ConsolePrintText(a->asIo[w].wOwner == SAS_IO_OWNER_NONE ? "." : "X");
        if (w % 64 == 63 && w + 1 < a->wCmdBuffers) ConsolePrintText("\n    ");
    }
    ConsolePrintf("\n  Command Buffers In Use:\n");
    uint16_t wUsed = 0;
    for (uint16_t w = 0; w < a->wCmdBuffers; ++w) {
        const SAS_TARGET_IO_INFO& s = a->asIo[w];
        if (s.wOwner == SAS_IO_OWNER_NONE) continue;
        ++wUsed;
        ConsolePrintf("    %03x: KQE:%04x, Tag:%02x%02x, PDev:%02x RQE:%04x\n", w, s.wOwner, s.wTag >> 8,
                      s.wTag & 0xFF, s.bPort, s.wRequest);
    }
    ConsolePrintf("  Total: %04d\n\n", wUsed);
    ConsolePrintf("  Request queue used bit map: %03x\n", a->wRequestsInUse);
    ConsolePrintText(" Request Queue Entries in use:\n");
    const uint64_t lNow = lGetTickCount();
    for (uint16_t w = 0; w < a->wRequestFrames && w < SAS_TARGET_MAX_REQUEST_FRAMES; ++w) {
        if ((a->adInUse[w / 32] >> (w % 32) & 1u) == 0) continue;
        const SAS_TARGET_REQUEST_INFO& r = a->asRequest[w];
        const bool fOverdue = r.lDeadline != 0 && lNow > r.lDeadline;
        ConsolePrintf(fOverdue ? "    %03x: %08x -\n" : "    %03x: %08x  \n", w, r.dMsgContext);
    }
}

// The driver, its ports and hosts; in detail also its command buffers.
void ShowSASTargetInterfaceInfo(uint8_t fDetail) {
    const LSI_SAS_TARGET_IOC* a = dGetSASTargetIocRecord(LSI_IOC_TARGET_1);
    const uint32_t d = a->dFirmwareVersion;
    ConsolePrintText("SAS Target Interface Information ");
    ConsolePrintf("(State:%02x)\n", bGetSASTargetState());
    ConsolePrintf("LSI 1068 FW Version Name: %u.%02u.%02u.%02u\n", d >> 24, d >> 16 & 0xFF, d >> 8 & 0xFF, d & 0xFF);
    for (uint8_t n = 0; n < 2; ++n) {
        const SAS_TARGET_PORT_RECORD* p = psGetSASTargetPortRecord(n == 0 ? LSI_IOC_TARGET_1 : LSI_IOC_TARGET_2);
        ConsolePrintText(n == 0 ? "\nPort 0 " : "\nPort 1 ");
        ConsolePrintf("State:%02x Rate:%x Phys:%d Mask:%02x Flags:%02x Hndl:%04x Ctrl:%04x Rmv:%d\n", p->bState,
                      p->bLinkRate, p->bPhyCount, p->bPhyMask, p->bPortFlags, p->wAttachedHandle, p->wControllerHandle,
                      p->wRemovalsOutstanding);
    }
    ConsolePrintText("\n");
    ShowSASPortConnectionOptions();
    ShowSASHostList();
    if (fDetail == TRUE) ShowSASTargetCommandMap();
}

}  // namespace fw
