// The SAS host ports: start-up sequencing of the IOC, the two ports' link
// state machine, the IOC's events, and the replies that drive them.
#include "sas/sas_target_ports.h"

#include <cstring>

#include "config/apply_settings.h"
#include "config/host_port_tables.h"
#include "eventlog/event_log.h"
#include "eventlog/upcalls.h"
#include "executive/interrupt_controller.h"
#include "executive/port_codes.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "sas/mpi_interface.h"
#include "sas/sas_drive.h"
#include "sas/sas_target.h"
#include "sas/sas_target_commands.h"

namespace fw {

namespace {

constexpr uint32_t PORT_ENABLE_SETTLE_MS = 3000;
constexpr uint32_t PORT_ENABLE_TIMEOUT_MS = 80000;
constexpr uint32_t PORT_ENABLE_WAIT_MS = 2000;
constexpr uint32_t LINK_LOST_WAIT_MS = 2000;
constexpr uint32_t REMOVAL_WAIT_MS = 10000;
constexpr uint32_t EVENT_ACK_TIMEOUT_MS = 10000;
constexpr uint8_t PORT_FLAG_DISCOVERING = 0x08;
constexpr uint8_t EVENT_BUS_RESET = 36;
constexpr uint8_t EVENT_PORTS_CHANGED = 37;
constexpr uint8_t EVENT_DISCOVERY_STARTED = 38;
constexpr uint8_t BUS_RESET_EXTERNAL = 0xFE;
constexpr uint8_t PHY_REQUEST_PORTS = 0x03;
constexpr uint8_t PHY_REQUEST_ENABLE = 0x10;
constexpr uint8_t PHY_REQUEST_DISABLE = 0x20;
constexpr uint8_t PHY_FLAG_DISABLED = 0x04;

SAS_TARGET_PORT_RECORD s_asPorts[2];
uint8_t s_fServiceRequested = FALSE;
uint8_t s_fEventPending = FALSE;
uint8_t s_afPortEnablePending[2] = {FALSE, FALSE};
uint64_t s_lFirstVisit = 0;
// Brought up while the drive side fails back beside a running partner:
// the ports wait until the failback's end asks for them, so that no host
// is served before the drive side is found again and the partner has let
// go of it.
uint8_t s_fAwaitFailback = FALSE;
BUFFER_HANDLE s_dHostListPages = NULL_BUFFER_HANDLE;
BUFFER_HANDLE s_dConfigPage = NULL_BUFFER_HANDLE;
uint32_t s_adExternalResets[2] = {0, 0};
uint32_t s_adResetsSeen[2] = {0, 0};
uint64_t s_alResetStamp[2] = {0, 0};
uint8_t s_fDiscovering = FALSE;
uint8_t s_bChangedPhys = 0;
uint64_t s_lDiscoveryStart = 0;
uint8_t s_bPhyRequest = 0;

uint8_t bIndexOf(uint8_t bPort) { return bPort == LSI_IOC_TARGET_2 ? 1 : 0; }
uint8_t bCodeOf(uint8_t bIndex) { return bIndex == 0 ? LSI_IOC_TARGET_1 : LSI_IOC_TARGET_2; }
uint8_t fIsTargetPort(uint8_t bPort) { return ToFlag(bPort == LSI_IOC_TARGET_1 || bPort == LSI_IOC_TARGET_2); }

SAS_TARGET_PORT_RECORD FreshRecord() {
    SAS_TARGET_PORT_RECORD s{};
    s.bState = SAS_PORT_DOWN;
    s.wAttachedHandle = SAS_NO_HANDLE;
    s.wControllerHandle = SAS_NO_HANDLE;
    return s;
}

// PORT ENABLE for each port, each waited for a while: the replies raise
// the service flag, whose next pass finds the driver running.
void EnablePorts() {
    LSI_SAS_TARGET_IOC* a = dGetSASTargetIocRecord(LSI_IOC_TARGET_1);
    if (a->bNumberOfPorts == 0) {
        SetSASTargetState(SAS_TARGET_FAILED);
        return;
    }
    for (uint8_t n = 0; n < a->bNumberOfPorts && n < 2; ++n) {
        uint8_t* pbFrame = nullptr;
        uint16_t wIndex = SAS_NO_FRAME;
        {
            InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
            if (bGetTargetRequestFrame(LSI_IOC_TARGET_1, &pbFrame, &wIndex, TRUE) != STATUS_OK) continue;
            pbFrame[3] = MPI_FUNCTION_PORT_ENABLE;
            pbFrame[6] = n;
            const uint32_t dContext = n == 0 ? SAS_CONTEXT_PORT_1 : SAS_CONTEXT_PORT_2;
            std::memcpy(pbFrame + 8, &dContext, 4);
            s_afPortEnablePending[n] = TRUE;
            PostTargetRequest(LSI_IOC_TARGET_1, pbFrame, wIndex, PORT_ENABLE_TIMEOUT_MS, 0);
        }
        const uint64_t lEnd = lGetTickCount() + PORT_ENABLE_WAIT_MS;
        while (s_afPortEnablePending[n] == TRUE && lGetTickCount() < lEnd) HwPoll();
    }
    SetSASTargetState(SAS_TARGET_PORTS_ENABLED);
}

// Step 1 of the service: TRUE while the driver is still starting.
bool StartUpStep() {
    const uint8_t bState = bGetSASTargetState();
    if (bState == SAS_TARGET_INITIALISED) {
        if (s_fAwaitFailback == TRUE) {
            if (fIsSASFailbackInProgress() == TRUE) {
                SetSASTargetPortServiceRequest(FALSE);
                return true;
            }
            s_fAwaitFailback = FALSE;
        }
        if (s_lFirstVisit == 0) s_lFirstVisit = lGetTickCount();
        if (lGetTickCount() - s_lFirstVisit < PORT_ENABLE_SETTLE_MS) {
            SetSASTargetPortServiceRequest(FALSE);
            return true;
        }
        // The replies raise the flag again for the pass that finds the
        // driver running.
        SetSASTargetPortServiceRequest(FALSE);
        EnablePorts();
        return true;
    }
    if (bState == SAS_TARGET_PORTS_ENABLED) {
        if (s_afPortEnablePending[0] == TRUE || s_afPortEnablePending[1] == TRUE) {
            SetSASTargetPortServiceRequest(FALSE);
            return true;
        }
        SetSASTargetState(SAS_TARGET_RUNNING);
    }
    return bGetSASTargetState() != SAS_TARGET_RUNNING;
}

}  // namespace

bool ReadSASTargetPage(uint8_t bType, uint8_t bNumber, uint32_t dAddress, BUFFER_HANDLE dBuffer, uint32_t* pdLength) {
    uint32_t dLength = 0;
    uint16_t wStatus = 0xFFFF;
    if (dBuffer == NULL_BUFFER_HANDLE ||
        bLSIConfigPageRead(LSI_IOC_TARGET_1, TRUE, TRUE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, bNumber, bType, dAddress,
                           dBuffer, BUFFER_PAGE_SIZE, &dLength, &wStatus) != STATUS_OK ||
        (wStatus & MPI_IOCSTATUS_MASK) != MPI_IOCSTATUS_SUCCESS) {
        return false;
    }
    if (pdLength != nullptr) *pdLength = dLength;
    return true;
}

namespace {

// Step 2: the phys of the ports a request selects turned off, or back on
// unless the stored settings keep them off.  The page is written only when
// a phy changes.
void PhyRequestStep() {
    const uint8_t bRequest = s_bPhyRequest;
    if ((bRequest & (PHY_REQUEST_ENABLE | PHY_REQUEST_DISABLE)) == 0) return;
    s_bPhyRequest = 0;
    if (!ReadSASTargetPage(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, 0, s_dConfigPage)) return;
    auto* ps = static_cast<MPI_SAS_IO_UNIT_PAGE_1*>(pBufferHandleToPointer(s_dConfigPage));
    const uint8_t bPhys = ps->bNumPhys < SAS_TARGET_PHYS ? ps->bNumPhys : SAS_TARGET_PHYS;
    bool fChanged = false;
    for (uint8_t bPhy = 0; bPhy < bPhys; ++bPhy) {
        const uint8_t n = bPhy / SAS_TARGET_PHYS_PER_PORT;
        if ((bRequest & PHY_REQUEST_PORTS & (1u << n)) == 0) continue;
        uint8_t& bFlags = ps->asPhy[bPhy].bPhyFlags;
        const uint8_t bWas = bFlags;
        if (bRequest & PHY_REQUEST_DISABLE) {
            bFlags |= PHY_FLAG_DISABLED;
        } else if (((bGetHostPortConnectionSetting(bCodeOf(n)) >> (bPhy % SAS_TARGET_PHYS_PER_PORT)) & 1u) == 0) {
            bFlags &= static_cast<uint8_t>(~PHY_FLAG_DISABLED);
        }
        fChanged = fChanged || bFlags != bWas;
    }
    if (fChanged) {
        uint16_t wStatus = 0;
        (void)bLSIConfigPageWrite(LSI_IOC_TARGET_1, TRUE, TRUE, MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT, 1,
                                  MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, s_dConfigPage, BUFFER_PAGE_SIZE, &wStatus);
    }
}

// The port records as SAS IO unit page 0 shows the phys now; FALSE when
// the page could not be read or a discovery still runs.
bool ReadPortRecords(SAS_TARGET_PORT_RECORD* psNew) {
    psNew[0] = FreshRecord();
    psNew[1] = FreshRecord();
    if (!ReadSASTargetPage(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, 0, s_dConfigPage)) return false;
    const auto* ps = static_cast<const MPI_SAS_IO_UNIT_PAGE_0*>(pBufferHandleToPointer(s_dConfigPage));
    if (ps->asPhy[0].bPortFlags & PORT_FLAG_DISCOVERING) return false;
    // The IOC says how many phys it has; only ours are looked at.
    const uint8_t bPhys = ps->bNumPhys < SAS_TARGET_PHYS ? ps->bNumPhys : SAS_TARGET_PHYS;
    for (uint8_t bPhy = 0; bPhy < bPhys; ++bPhy) {
        const MPI_SAS_IO_UNIT0_PHY& p = ps->asPhy[bPhy];
        const uint8_t bRate = p.bNegotiatedLinkRate;
        if (bRate != MPI_SAS_LINK_RATE_1_5 && bRate != MPI_SAS_LINK_RATE_3_0) continue;
        SAS_TARGET_PORT_RECORD& r = psNew[bPhy / SAS_TARGET_PHYS_PER_PORT];
        if (r.bState != SAS_PORT_UP) {
            r.bState = SAS_PORT_UP;
            r.bLinkRate = bRate;
            r.bPhyCount = 1;
            r.bPhyMask = static_cast<uint8_t>(1u << bPhy);
            r.bPortFlags = p.bPortFlags;
            r.wAttachedHandle = p.wAttachedDevHandle;
            r.wControllerHandle = p.wControllerDevHandle;
        } else {
            ++r.bPhyCount;
            r.bPhyMask |= static_cast<uint8_t>(1u << bPhy);
            if (r.bLinkRate != bRate) r.bLinkRate = MPI_SAS_LINK_RATE_1_5;
        }
    }
    return true;
}

void TakeRecord(uint8_t n, const SAS_TARGET_PORT_RECORD& sNew) {
    const uint16_t wOutstanding = s_asPorts[n].wRemovalsOutstanding;
    s_asPorts[n] = sNew;
    s_asPorts[n].wRemovalsOutstanding = wOutstanding;
}

// Step 4 for one port: compare what was with what is.
bool UpdatePort(uint8_t n, const SAS_TARGET_PORT_RECORD& sNew) {
    SAS_TARGET_PORT_RECORD& r = s_asPorts[n];
    const uint8_t bCode = bCodeOf(n);
    const uint64_t lNow = lGetTickCount();
    if (s_adExternalResets[n] != s_adResetsSeen[n]) {
        s_adResetsSeen[n] = s_adExternalResets[n];
        AbortSASTargetPortCommands(bCode, FALSE);
    }
    if (r.bState == SAS_PORT_UP && sNew.bState != SAS_PORT_UP) {
        r.bState = SAS_PORT_LINK_LOST;
        r.lDeadline = lNow + LINK_LOST_WAIT_MS;
        return true;
    }
    if (r.bState != SAS_PORT_UP && sNew.bState == SAS_PORT_UP &&
        (r.bState == SAS_PORT_DOWN || r.bState == SAS_PORT_LINK_LOST)) {
        TakeRecord(n, sNew);
        r.lDeadline = 0;
        SetHostPortLinkFlag(bCode, TRUE);
        return true;
    }
    if (r.bState == SAS_PORT_LINK_LOST && lNow >= r.lDeadline) {
        r.bState = SAS_PORT_REMOVING;
        r.wRemovalsOutstanding = 0;
        r.lDeadline = lNow + REMOVAL_WAIT_MS;
        AbortSASTargetPortCommands(bCode, TRUE);
        if (r.wRemovalsOutstanding == 0) SetSASTargetPortServiceRequest(TRUE);
        return true;
    }
    if (r.bState == SAS_PORT_REMOVING && r.wRemovalsOutstanding == 0) {
        r.bState = SAS_PORT_WAIT_REMOVALS;
        r.lDeadline = lNow + REMOVAL_WAIT_MS;
        r.wRemovalsOutstanding = RemoveSASHostsOfPort(bCode);
        if (r.wRemovalsOutstanding == 0) SetSASTargetPortServiceRequest(TRUE);
        return true;
    }
    if (r.bState == SAS_PORT_WAIT_REMOVALS && r.wRemovalsOutstanding == 0) {
        r.lDeadline = 0;
        TakeRecord(n, sNew);
        if (sNew.bState != SAS_PORT_DOWN) SetSASTargetPortServiceRequest(TRUE);
        SetHostPortLinkFlag(bCode, TRUE);
        return true;
    }
    if (r.bState == SAS_PORT_UP && sNew.bState == SAS_PORT_UP &&
        (r.bLinkRate != sNew.bLinkRate || r.bPhyMask != sNew.bPhyMask)) {
        TakeRecord(n, sNew);
        return true;
    }
    return false;
}

}  // namespace

void ResetSASTargetPorts() {
    s_asPorts[0] = FreshRecord();
    s_asPorts[1] = FreshRecord();
    s_afPortEnablePending[0] = FALSE;
    s_afPortEnablePending[1] = FALSE;
    s_lFirstVisit = 0;
    s_fAwaitFailback = fIsSASFailbackInProgress();
    s_fDiscovering = FALSE;
    s_bChangedPhys = 0;
    s_bPhyRequest = 0;
    for (uint8_t n = 0; n < 2; ++n) {
        s_adExternalResets[n] = 0;
        s_adResetsSeen[n] = 0;
        s_alResetStamp[n] = 0;
    }
    ResetSASHostList();
}

void SetSASHostListPages(BUFFER_HANDLE dPages) { s_dHostListPages = dPages; }
void SetSASConfigPageBuffer(BUFFER_HANDLE dPage) { s_dConfigPage = dPage; }

void SetSASTargetPortServiceRequest(uint8_t f) {
    s_fServiceRequested = f;
    if (f == TRUE) SetWorkPending(TRUE);
}

uint8_t fIsSASTargetPortServiceRequested(uint8_t bPort) {
    return fIsTargetPort(bPort) == TRUE ? s_fServiceRequested : FALSE;
}

void SetSASTargetPortEventPending(uint8_t f) {
    s_fEventPending = f;
    if (f == TRUE) SetWorkPending(TRUE);
}

uint8_t fIsSASTargetPortEventPending(uint8_t bPort) { return fIsTargetPort(bPort) == TRUE ? s_fEventPending : FALSE; }

void SetSASTargetPhyRequest(uint8_t bRequest) {
    s_bPhyRequest = bRequest;
    SetSASTargetPortServiceRequest(TRUE);
}

void SASTargetPortEnableAnswered(uint8_t bPortIndex) {
    if (bPortIndex < 2) s_afPortEnablePending[bPortIndex] = FALSE;
    SetSASTargetPortServiceRequest(TRUE);
}

void SASTargetPortService(uint8_t bPort) {
    if (fIsTargetPort(bPort) != TRUE) return;
    if (StartUpStep()) return;
    PhyRequestStep();
    SetSASTargetPortServiceRequest(FALSE);
    SAS_TARGET_PORT_RECORD asNew[2];
    if (!ReadPortRecords(asNew)) return;
    bool fChanged = false;
    for (uint8_t n = 0; n < 2; ++n) fChanged = UpdatePort(n, asNew[n]) || fChanged;
    if (fChanged) SASTargetEventService(bPort, TRUE, TRUE);
}

// Overdue port waits end here; the start-up's port enable is asked for
// once the IOC has had its time to settle.
void SASTargetTimeoutScan() {
    const uint8_t bState = bGetSASTargetState();
    if (bState == SAS_TARGET_INITIALISED) {
        if (s_fAwaitFailback == TRUE) return;
        if (s_lFirstVisit == 0) s_lFirstVisit = lGetTickCount();
        if (lGetTickCount() - s_lFirstVisit >= PORT_ENABLE_SETTLE_MS) SetSASTargetPortServiceRequest(TRUE);
        return;
    }
    if (bState != SAS_TARGET_RUNNING) return;
    const uint64_t lNow = lGetTickCount();
    for (SAS_TARGET_PORT_RECORD& r : s_asPorts) {
        if (r.bState >= SAS_PORT_WAIT_REMOVALS && r.bState <= SAS_PORT_LINK_LOST && r.lDeadline != 0 &&
            lNow >= r.lDeadline) {
            r.lDeadline = 0;
            r.wRemovalsOutstanding = 0;
            SetSASTargetPortServiceRequest(TRUE);
        }
    }
    SASTargetCommandTimeoutScan();
}

// --- events --------------------------------------------------------------------

namespace {

void HandleEvent(const MPI_EVENT_NOTIFICATION_REPLY& r) {
    switch (r.dEvent) {
    case MPI_EVENT_EXTERNAL_BUS_RESET: {
        const uint8_t n = static_cast<uint8_t>(r.dEventData[0] >> 8) & 1u;   // byte 29: the port
        ++s_adExternalResets[n];
        s_alResetStamp[n] = lGetTickCount();
        PostEvent(EVENT_BUS_RESET, static_cast<uint8_t>(n + 1), BUS_RESET_EXTERNAL);
        SetSASTargetPortServiceRequest(TRUE);
        break;
    }
    case MPI_EVENT_SAS_DEVICE_STATUS_CHANGE:
        SetSASTargetPortEventPending(TRUE);
        break;
    case MPI_EVENT_SAS_PHY_LINK_STATUS: {
        const uint8_t bPhy = static_cast<uint8_t>(r.dEventData[0]);
        if (bPhy < SAS_TARGET_PHYS) s_bChangedPhys |= static_cast<uint8_t>(1u << bPhy);
        break;
    }
    case MPI_EVENT_SAS_DISCOVERY_ERROR:
        SetSASTargetPortServiceRequest(TRUE);
        break;
    case MPI_EVENT_SAS_DISCOVERY:
        if (r.dEventData[0] != 0) {
            s_fDiscovering = TRUE;
            s_bChangedPhys = 0;
            s_lDiscoveryStart = lGetTickCount();
            if (fIsInitializationComplete() == TRUE) PostEvent(EVENT_DISCOVERY_STARTED);
        } else if (s_fDiscovering == TRUE) {
            const uint8_t bPorts = static_cast<uint8_t>(((s_bChangedPhys & 0x0F) != 0 ? 1 : 0) |
                                                        ((s_bChangedPhys & 0xF0) != 0 ? 2 : 0));
            if (fIsInitializationComplete() == TRUE) PostEvent(EVENT_PORTS_CHANGED, bPorts);
            SetSASTargetPortServiceRequest(TRUE);
            s_fDiscovering = FALSE;
        }
        break;
    default:
        break;   // initiator status changes go to no one; the rest are not ours
    }
}

// The acknowledgement the IOC asked for.
void AcknowledgeEvent(const MPI_EVENT_NOTIFICATION_REPLY& r) {
    uint8_t* pbFrame = nullptr;
    uint16_t wIndex = SAS_NO_FRAME;
    if (bGetTargetRequestFrame(LSI_IOC_TARGET_1, &pbFrame, &wIndex, TRUE) != STATUS_OK) return;
    MPI_EVENT_ACK_REQUEST s{};
    s.bFunction = MPI_FUNCTION_EVENT_ACK;
    s.bMsgFlags = r.bMsgFlags;
    s.dMsgContext = SAS_CONTEXT_IOC;
    s.dEvent = r.dEvent;
    s.dEventContext = r.dEventContext;
    std::memcpy(pbFrame, &s, sizeof s);
    PostTargetRequest(LSI_IOC_TARGET_1, pbFrame, wIndex, EVENT_ACK_TIMEOUT_MS, 0);
}

}  // namespace

void SASTargetAddressReply(const uint8_t* pbReply) {
    MPI_REPLY_HEADER sHeader;
    std::memcpy(&sHeader, pbReply, sizeof sHeader);
    switch (sHeader.bFunction) {
    case MPI_FUNCTION_EVENT_NOTIFICATION: {
        MPI_EVENT_NOTIFICATION_REPLY r;
        std::memcpy(&r, pbReply, sizeof r);
        HandleEvent(r);
        if (r.bAckRequired == 1) AcknowledgeEvent(r);
        break;
    }
    case MPI_FUNCTION_CONFIG:
        std::memcpy(pGetLSIConfigReplyBuffer(), pbReply, LSI_CONFIG_REPLY_DWORDS * 4);
        SetLSIConfigReplyFlag(TRUE);
        break;
    case MPI_FUNCTION_IOC_FACTS:
    case MPI_FUNCTION_PORT_FACTS:
        SetSASTargetHandshakeDone(TRUE);
        break;
    case MPI_FUNCTION_PORT_ENABLE:
        SASTargetPortEnableAnswered(static_cast<uint16_t>(sHeader.dMsgContext) == SAS_CONTEXT_PORT_2 ? 1 : 0);
        break;
    case MPI_FUNCTION_TARGET_MODE_ABORT:
    case MPI_FUNCTION_SAS_IO_UNIT_CONTROL:
        SASTargetPortRequestAnswered(sHeader);
        break;
    case MPI_FUNCTION_TARGET_ASSIST:
    case MPI_FUNCTION_TARGET_STATUS_SEND:
        SASTargetTransferErrorReply(pbReply);
        break;
    default:
        break;   // event acks, buffer posts: only their frames are freed
    }
}

// --- what the configuration and the console read --------------------------------

const SAS_TARGET_PORT_RECORD* psGetSASTargetPortRecord(uint8_t bPort) {
    return fIsTargetPort(bPort) == TRUE ? &s_asPorts[bIndexOf(bPort)] : nullptr;
}

uint8_t fIsSASTargetPortLinkUp(uint8_t bPort) {
    return ToFlag(fIsTargetPort(bPort) == TRUE && s_asPorts[bIndexOf(bPort)].bState == SAS_PORT_UP);
}

uint8_t bGetSASTargetPortLinkRate(uint8_t bPort) {
    return fIsTargetPort(bPort) == TRUE ? s_asPorts[bIndexOf(bPort)].bLinkRate : 0;
}

uint64_t lGetSASTargetPortResetStamp(uint8_t bPort) {
    return fIsTargetPort(bPort) == TRUE ? s_alResetStamp[bIndexOf(bPort)] : 0;
}

uint16_t* pwSASTargetRemovalsOutstanding(uint8_t bPort) {
    return fIsTargetPort(bPort) == TRUE ? &s_asPorts[bIndexOf(bPort)].wRemovalsOutstanding : nullptr;
}

// The link code of host port 1 or 2 for the host port tables: the
// negotiated rate of a port that is up, else none.
uint8_t bGetSASTargetPortLinkCode(uint8_t bPort) {
    const uint8_t bCode = bPort == 2 ? LSI_IOC_TARGET_2 : LSI_IOC_TARGET_1;
    return fIsSASTargetPortLinkUp(bCode) == TRUE ? bGetSASTargetPortLinkRate(bCode) : 0xFF;
}

uint8_t bFilterSASHostPortPhySetting(uint8_t bValue) {
    if (bValue == 0 || bValue == 15) return bValue;
    return bEventDiagnosticsLevel() >= 3 ? static_cast<uint8_t>(bValue & 0x0F) : 0;
}

uint8_t bFilterSASHostPortConnectionOption(uint8_t bValue) { return bValue <= 2 ? bValue : 0; }

}  // namespace fw
