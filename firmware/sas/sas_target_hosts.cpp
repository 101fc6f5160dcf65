// The initiators on the SAS host ports: their records by the IOC's
// initiator index, resolved from SAS device page 0, their removal when a
// port's link is gone, and the task management IUs they send.
#include <cstring>

#include "config/host_lun_tables.h"
#include "config/host_port_tables.h"
#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/mpi.h"
#include "hw/scsi.h"
#include "sas/sas_drive.h"
#include "sas/sas_target.h"
#include "sas/sas_target_commands.h"
#include "sas/sas_target_ports.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/scsi2_reservations.h"
#include "target/stage_rings.h"
#include "target/task_management.h"
#include "target/unit_attention.h"

namespace fw {

namespace {

constexpr uint8_t HOST_LIST_FRESH = 0x40;
constexpr uint8_t PORT_UNKNOWN = 0xFF;
constexpr uint32_t DEVICE_INFO_SSP_INITIATOR = 0x40;
constexpr uint32_t DEVICE_INFO_NOT_LISTED = 0x800;
constexpr uint8_t EVENT_HOST_ARRIVED = 124;
constexpr uint8_t EVENT_HOST_LEFT = 125;
constexpr uint8_t EVENT_TASK = 36;
constexpr uint8_t IO_UNIT_REMOVE_DEVICE = 13;
constexpr uint32_t REMOVE_TIMEOUT_MS = 10000;
constexpr uint32_t TASK_TIMEOUT_MS = 10000;
constexpr uint8_t TASK_ANSWERED = 0xAF;
constexpr uint8_t SAS_TMF_ABORT_TASK = 0x01;
constexpr uint8_t SAS_TMF_ABORT_TASK_SET = 0x02;
constexpr uint8_t SAS_TMF_CLEAR_TASK_SET = 0x04;
constexpr uint8_t SAS_TMF_LOGICAL_UNIT_RESET = 0x08;
constexpr uint8_t SAS_TMF_SPECIAL_20 = 0x20;
constexpr uint8_t SAS_TMF_CLEAR_ACA = 0x40;
constexpr uint8_t SAS_TMF_QUERY_TASK = 0x80;
constexpr uint8_t SAS_TMF_UNKNOWN = 0xFF;
constexpr uint8_t TASK_ABORT_REASON = 0xF8;
// Response codes of the task management response.
constexpr uint8_t RESPONSE_COMPLETE = 0;
constexpr uint8_t RESPONSE_NOT_SUPPORTED = 4;
constexpr uint8_t RESPONSE_TASK_FOUND = 8;
constexpr uint8_t RESPONSE_INCORRECT_LUN = 9;

#pragma pack(push, 1)
struct SAS_HOST_RECORD {
    uint32_t dAddressLow;
    uint32_t dAddressHigh;
    uint16_t wHandle;
    uint8_t bPort;
    uint8_t fKnown;
    uint8_t fResolved;
    uint8_t bConnection;
    uint32_t dDeviceInfo;
    uint8_t bOpenConnections;
    uint16_t wFlags;
    uint8_t bTimeouts;
    uint8_t bQueueFull;
    uint8_t bResetCount;
    uint8_t bKey;
    uint8_t bAsc;
    uint8_t bAscq;
    uint64_t lCreated;
    uint8_t abReserved[101];
};
#pragma pack(pop)
static_assert(sizeof(SAS_HOST_RECORD) == 136);

uint8_t s_bHostListHeader = HOST_LIST_FRESH;
SAS_HOST_RECORD s_asHosts[SAS_TARGET_MAX_INITIATORS];
uint16_t s_awAbortsOutstanding[2] = {0, 0};
BUFFER_HANDLE s_dDevicePage = NULL_BUFFER_HANDLE;

uint8_t bIndexOf(uint8_t bPort) { return bPort == LSI_IOC_TARGET_2 ? 1 : 0; }
uint8_t fIsTargetPort(uint8_t bPort) { return ToFlag(bPort == LSI_IOC_TARGET_1 || bPort == LSI_IOC_TARGET_2); }

uint64_t lAddressOf(const SAS_HOST_RECORD& r) { return static_cast<uint64_t>(r.dAddressHigh) << 32 | r.dAddressLow; }

void PutAddress(uint8_t* pb, uint64_t l) { PutBe64(pb, l); }

void PostHostEvent(uint8_t bCode, const SAS_HOST_RECORD& r, uint8_t bIndex) {
    uint8_t ab[8];
    PutAddress(ab, lAddressOf(r));
    PostEvent(bCode, ab[0], ab[1], ab[2], ab[3], ab[4], ab[5], ab[6], ab[7], bHostPortOfCode(r.bPort), bIndex);
}

// SAS device page 0 of a handle; FALSE when the IOC has no such device.
bool ReadDevicePage(uint16_t wHandle, MPI_SAS_DEVICE_PAGE_0* ps) {
    if (s_dDevicePage == NULL_BUFFER_HANDLE &&
        bAllocDataPages(0, 1, &s_dDevicePage) != STATUS_OK) {
        s_dDevicePage = NULL_BUFFER_HANDLE;
        return false;
    }
    if (!ReadSASTargetPage(MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE, 0, MPI_SAS_PAGE_FORM_HANDLE | wHandle, s_dDevicePage)) {
        return false;
    }
    std::memcpy(ps, pBufferHandleToPointer(s_dDevicePage), sizeof *ps);
    return true;
}

// A host gone from a port (it left, or moved to the other one): its I_T
// nexus there is lost, and with it the SCSI-2 reservations it held through
// that port; a reservation outliving its holder would lock every other host
// out of the unit until a reset.
void HostLeftPort(const SAS_HOST_RECORD& r, uint8_t bIndex) {
    PostHostEvent(EVENT_HOST_LEFT, r, bIndex);
    EndScsi2ReservationsOfInitiator(r.bPort, bIndex);
    SetHostPortLinkFlag(r.bPort, TRUE);
}

void ClearRecord(SAS_HOST_RECORD& r) {
    r = {};
    r.wHandle = SAS_NO_HANDLE;
    r.bPort = PORT_UNKNOWN;
}

}  // namespace

void ResetSASHostList() {
    s_bHostListHeader = HOST_LIST_FRESH;
    for (SAS_HOST_RECORD& r : s_asHosts) ClearRecord(r);
    s_awAbortsOutstanding[0] = 0;
    s_awAbortsOutstanding[1] = 0;
}

// A resolved host gives its port.  Any other is made known (or looked up
// again when its connection changed) and its port stays unknown until the
// event service has read its device page: the connection field alone does
// not say which port the host is on.
uint8_t SASHostPortOfInitiator(uint16_t wInitiator, const uint8_t* pbCommandBuffer) {
    if (wInitiator >= SAS_TARGET_MAX_INITIATORS) return SAS_PORT_UNRESOLVED;
    const uint8_t bConnection = pbCommandBuffer[6];
    SAS_HOST_RECORD& r = s_asHosts[wInitiator];
    const uint16_t wHandle = static_cast<uint16_t>(pbCommandBuffer[4] | pbCommandBuffer[5] << 8);
    if (r.fKnown != TRUE) {
        ClearRecord(r);
        r.fKnown = TRUE;
        r.wHandle = wHandle;
        r.bConnection = bConnection;
        r.lCreated = lGetTickCount();
        SetSASTargetPortEventPending(TRUE);
        return SAS_PORT_UNRESOLVED;
    }
    if (r.bConnection != bConnection || r.wHandle != wHandle) {
        r.fResolved = FALSE;
        r.bConnection = bConnection;
        r.wHandle = wHandle;
        SetSASTargetPortEventPending(TRUE);
        return SAS_PORT_UNRESOLVED;
    }
    return bGetSASInitiatorPort(wInitiator);
}

uint8_t bGetSASInitiatorPort(uint16_t wInitiator) {
    if (wInitiator >= SAS_TARGET_MAX_INITIATORS) return SAS_PORT_UNRESOLVED;
    const SAS_HOST_RECORD& r = s_asHosts[wInitiator];
    return r.fResolved == TRUE && fIsTargetPort(r.bPort) == TRUE ? r.bPort : SAS_PORT_UNRESOLVED;
}

void RecordSASHostStatus(uint16_t wInitiator, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    if (wInitiator >= SAS_TARGET_MAX_INITIATORS) return;
    s_asHosts[wInitiator].bKey = bKey;
    s_asHosts[wInitiator].bAsc = bAsc;
    s_asHosts[wInitiator].bAscq = bAscq;
}

void GetSASTargetLastSense(uint8_t, uint16_t wInitiator, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq) {
    const bool fKnown = wInitiator < SAS_TARGET_MAX_INITIATORS;
    *pbKey = fKnown ? s_asHosts[wInitiator].bKey : 0;
    *pbAsc = fKnown ? s_asHosts[wInitiator].bAsc : 0;
    *pbAscq = fKnown ? s_asHosts[wInitiator].bAscq : 0;
}

// Each known host (every one when forced) looked up again: a host that
// logged in or moved is announced, one that left is forgotten.
void SASTargetEventService(uint8_t bPort, uint8_t fForce, uint8_t) {
    if (fIsTargetPort(bPort) != TRUE) return;
    SetSASTargetPortEventPending(FALSE);
    if (bGetSASTargetState() != SAS_TARGET_RUNNING) return;
    for (uint8_t n = 0; n < SAS_TARGET_MAX_INITIATORS; ++n) {
        SAS_HOST_RECORD& r = s_asHosts[n];
        if (r.fKnown != TRUE && fForce != TRUE) continue;
        if (r.fKnown != TRUE) continue;
        MPI_SAS_DEVICE_PAGE_0 d{};
        const bool fThere = r.wHandle != SAS_NO_HANDLE && ReadDevicePage(r.wHandle, &d) &&
                            (d.dDeviceInfo & DEVICE_INFO_SSP_INITIATOR) != 0;
        if (!fThere) {
            if (r.fResolved == TRUE) HostLeftPort(r, n);
            ClearRecord(r);
            // Its commands still waiting to learn its port would wait for
            // good: the host is gone.
            EndUnroutedSASCommands(n);
            continue;
        }
        const uint8_t bNewPort = d.bPhysicalPort == 0 ? LSI_IOC_TARGET_1 : LSI_IOC_TARGET_2;
        if (r.fResolved == TRUE && r.bPort == bNewPort) continue;
        if (r.fResolved == TRUE) HostLeftPort(r, n);
        r.dAddressLow = d.dSASAddressLow;
        r.dAddressHigh = d.dSASAddressHigh;
        r.wHandle = d.wDevHandle;
        r.bPort = bNewPort;
        r.dDeviceInfo = d.dDeviceInfo;
        r.wFlags = d.wFlags;
        r.fResolved = TRUE;
        PostHostEvent(EVENT_HOST_ARRIVED, r, n);
        SetHostPortLinkFlag(bNewPort, TRUE);
    }
}

// The logged-in hosts of a port as the host port tables keep them.
uint8_t bBuildSASHostList(uint8_t bPort, HOST_PORT_RECORD* psList) {
    psList->bInitiatorCount = 0;
    const uint8_t bState = bGetSASTargetState();
    if (bState != SAS_TARGET_RUNNING && bState != SAS_TARGET_PORTS_ENABLED) return 0;
    for (uint8_t n = 0; n < SAS_TARGET_MAX_INITIATORS; ++n) {
        const SAS_HOST_RECORD& r = s_asHosts[n];
        if (r.fResolved != TRUE || r.bPort != bPort) continue;
        HOST_INITIATOR& e = psList->asInitiator[psList->bInitiatorCount++];
        e = {};
        e.bId = n;
        e.fLoggedIn = FALSE;
        e.fFabric = ToFlag((r.dDeviceInfo & DEVICE_INFO_NOT_LISTED) == 0);
        PutAddress(e.abNodeName, lAddressOf(r));
        PutAddress(e.abPortName, lAddressOf(r));
    }
    return STATUS_OK;
}

void RefreshSasTargetInitiators(uint8_t bPort, HOST_PORT_RECORD* psRecord) {
    if (psRecord != nullptr) (void)bBuildSASHostList(bPort, psRecord);
}

uint16_t RemoveSASHostsOfPort(uint8_t bPort) {
    uint16_t wSent = 0;
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    for (uint8_t n = 0; n < SAS_TARGET_MAX_INITIATORS; ++n) {
        const SAS_HOST_RECORD& r = s_asHosts[n];
        if (r.fKnown != TRUE || r.bPort != bPort || r.wHandle == SAS_NO_HANDLE) continue;
        uint8_t* pb = nullptr;
        uint16_t wFrame = SAS_NO_FRAME;
        if (bGetTargetRequestFrame(bPort, &pb, &wFrame, TRUE) != STATUS_OK) break;
        pb[0] = IO_UNIT_REMOVE_DEVICE;
        pb[3] = MPI_FUNCTION_SAS_IO_UNIT_CONTROL;
        pb[4] = static_cast<uint8_t>(r.wHandle);
        pb[5] = static_cast<uint8_t>(r.wHandle >> 8);
        const uint32_t dContext = bPort == LSI_IOC_TARGET_2 ? SAS_CONTEXT_PORT_2 : SAS_CONTEXT_PORT_1;
        std::memcpy(pb + 8, &dContext, 4);
        PostTargetRequest(bPort, pb, wFrame, REMOVE_TIMEOUT_MS, 0);
        ++wSent;
    }
    return wSent;
}

// Every host the driver knows: NS not listed as an SSP initiator, NR not
// yet resolved by its device page, Swc last seen on the other port.
void ShowSASHostList() {
    ConsolePrintf("\nSAS Host List: \n");
    for (uint8_t n = 0; n < SAS_TARGET_MAX_INITIATORS; ++n) {
        const SAS_HOST_RECORD& r = s_asHosts[n];
        if (r.fKnown != TRUE) continue;
        ConsolePrintf("-SAS Host ID %03x: Hndl:%04x PDev:%02x Adr: ", n, r.wHandle, r.bPort);
        if (r.dDeviceInfo & DEVICE_INFO_NOT_LISTED) ConsolePrintText("--NS, ");
        if (r.fResolved != TRUE) ConsolePrintText("NR, ");
        const uint8_t bSeenOn = (r.bConnection & 1) ? LSI_IOC_TARGET_2 : LSI_IOC_TARGET_1;
        if (r.fResolved == TRUE && r.bPort != bSeenOn) ConsolePrintText("Swc, ");
        ConsolePrintf(":%08x%08x\n", r.dAddressHigh, r.dAddressLow);
        ConsolePrintf("OC:%02x Flags:%03x Tmo:%02x QFull:%02x RstC:%02x Ctrlr:%01x DevI:%08x\n", r.bOpenConnections,
                      r.wFlags, r.bTimeouts, r.bQueueFull, r.bResetCount, bGetControllerNumber(), r.dDeviceInfo);
    }
}

uint16_t* pwSASTargetAbortsOutstanding(uint8_t bPort) {
    return fIsTargetPort(bPort) == TRUE ? &s_awAbortsOutstanding[bIndexOf(bPort)] : nullptr;
}

// An abort or a removal of a port answered: when none is left the port's
// service looks again.
void SASTargetPortRequestAnswered(const MPI_REPLY_HEADER& sHeader) {
    const uint16_t wContext = static_cast<uint16_t>(sHeader.dMsgContext);
    if (wContext == SAS_CONTEXT_IOC) {
        SetSASTargetPortEventPending(TRUE);
        return;
    }
    if (wContext != SAS_CONTEXT_PORT_1 && wContext != SAS_CONTEXT_PORT_2) return;
    const uint8_t bPort = wContext == SAS_CONTEXT_PORT_1 ? LSI_IOC_TARGET_1 : LSI_IOC_TARGET_2;
    uint16_t* pw = sHeader.bFunction == MPI_FUNCTION_TARGET_MODE_ABORT ? pwSASTargetAbortsOutstanding(bPort)
                                                                       : pwSASTargetRemovalsOutstanding(bPort);
    if (pw != nullptr && *pw > 0) --*pw;
    if (pw != nullptr && *pw == 0) SetSASTargetPortServiceRequest(TRUE);
}

// --- task management -------------------------------------------------------------

namespace {

struct TASK {
    KERNEL_ENTRY* psEntry;
    uint8_t bPort;
    uint8_t bFunction;
    uint16_t wTag;
    uint16_t wInitiator;
    uint16_t wLun;
    uint16_t wIoIndex;
};

// Commands that name no logical unit match on the raw LUN field.
bool HasNoLunMapping(uint8_t bOpcode) {
    switch (bOpcode) {
    case 0x00: case 0x03: case 0x12: case 0x20: case 0x3B: case 0x3C: case 0xA0: return true;
    default: return false;
    }
}

uint32_t dReplyWordOf(const KERNEL_ENTRY* ps) {
    uint32_t d;
    std::memcpy(&d, ps->abHeadExtension, 4);
    return d;
}

// Whether the task management function covers a task of this initiator
// and tag on its unit.
bool Covers(const TASK& t, uint16_t wLun, uint16_t wInitiator, uint16_t wTag) {
    if (wLun != t.wLun) return false;
    switch (t.bFunction) {
    case SAS_TMF_ABORT_TASK:
    case SAS_TMF_QUERY_TASK: return wInitiator == t.wInitiator && wTag == t.wTag;
    case SAS_TMF_ABORT_TASK_SET: return wInitiator == t.wInitiator;
    case SAS_TMF_CLEAR_TASK_SET:
    case SAS_TMF_LOGICAL_UNIT_RESET: return true;
    default: return false;
    }
}

bool Matches(const TASK& t, const KERNEL_ENTRY* ps, uint16_t wTag) {
    const uint8_t* pbHead = reinterpret_cast<const uint8_t*>(ps);
    const uint16_t wLun = HasNoLunMapping(pbHead[20]) ? static_cast<uint16_t>(pbHead[8] << 8 | pbHead[9])
                                                      : wGetCommandLun(ps);
    return Covers(t, wLun, wGetCommandInitiator(ps), wTag);
}

// A transfer that outlived its command (a read-ahead slot's data) is known
// only by the request the IOC still carries for it: its initiator, unit and
// reply word.  TRUE when the function covers it.
bool MatchesInFlight(const TASK& t, const SAS_TARGET_IO_INFO& io, uint32_t* pdReply) {
    const uint8_t* pb = pbSASTransferInFlight(t.bPort, io);
    if (pb == nullptr) return false;
    std::memcpy(pdReply, pb + 12, 4);
    const uint16_t wInitiator = static_cast<uint16_t>((*pdReply >> 14) & 0xFFF);
    return Covers(t, static_cast<uint16_t>(pb[16] << 8 | pb[17]), wInitiator, io.wTag);
}

// TRUE when a command matched.
bool WalkCommands(const TASK& t) {
    LSI_SAS_TARGET_IOC* a = dGetSASTargetIocRecord(t.bPort);
    bool fFound = false;
    const bool fAbort = t.bFunction != SAS_TMF_QUERY_TASK;
    for (uint16_t w = 0; w < a->wCmdBuffers; ++w) {
        SAS_TARGET_IO_INFO& io = a->asIo[w];
        if (w == t.wIoIndex || io.wOwner == SAS_IO_OWNER_NONE || io.bPort != t.bPort) continue;
        if (io.wOwner >= HOST_ENTRY_COUNT) {
            uint32_t dReply = 0;
            if (!MatchesInFlight(t, io, &dReply)) continue;
            fFound = true;
            // The IOC answers the transfer as aborted, which releases what
            // its owner holds and gives the buffer back.
            if (fAbort) SendSASTargetModeAbort(t.bPort, 2, dReply, 0);
            if (t.bFunction == SAS_TMF_ABORT_TASK || t.bFunction == SAS_TMF_QUERY_TASK) break;
            continue;
        }
        KERNEL_ENTRY* ps = nullptr;
        (void)wGetTargetEntry(io.wOwner, &ps);
        if (ps == nullptr || ps->fUsed != TRUE || ps->bPrimaryState == 0 || !Matches(t, ps, io.wTag)) continue;
        fFound = true;
        if (fAbort) {
            const bool fInFlight = io.wRequest != SAS_NO_FRAME;
            const uint32_t dReply = dReplyWordOf(ps);
            AbortSASTargetCommand(ps, TASK_ABORT_REASON);
            if (fInFlight) SendSASTargetModeAbort(t.bPort, 2, dReply, 0);
        }
        if (t.bFunction == SAS_TMF_ABORT_TASK || t.bFunction == SAS_TMF_QUERY_TASK) break;
    }
    return fFound;
}

// Whether a function acting on a logical unit's task set names a unit the
// host does not have.  LUN 0 answers with or without a logical drive
// (INQUIRY, REPORT LUNS, management) and has a task set; a reset needs the
// logical drive, whose reservation it releases.
bool IsAbsentUnit(const TASK& t, uint16_t* pwLd) {
    if (t.bFunction != SAS_TMF_ABORT_TASK_SET && t.bFunction != SAS_TMF_CLEAR_TASK_SET &&
        t.bFunction != SAS_TMF_LOGICAL_UNIT_RESET) {
        return false;
    }
    if (bLookupPortLun(t.bPort, t.wLun, t.wInitiator, pwLd) != LUN_LOOKUP_NONE) return false;
    return t.wLun != 0 || t.bFunction == SAS_TMF_LOGICAL_UNIT_RESET;
}

// The reservation is kept by logical drive: the unit the host named is
// looked up through the port's mapping for that host.
void ResetLogicalUnit(const TASK& t, uint16_t wLd) {
    ReleaseLunReservation(wLd);
    SetLogicalUnitResetAttention(t.wLun);
}

// The task management response: response data of 4 bytes.
void Answer(const TASK& t, uint8_t bCode) {
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    uint8_t* pbResponse = nullptr;
    uint16_t wFrame = SAS_NO_FRAME;
    if (bGetSASTargetResponseBuffer(t.bPort, t.wIoIndex, &pbResponse) != STATUS_OK) return;
    uint8_t* pb = pbTakeSASTargetFrame(t.bPort, t.wIoIndex, &wFrame);
    if (pb == nullptr) return;
    std::memset(pbResponse, 0, SAS_TARGET_RESPONSE_BYTES);
    uint8_t* pbIu = pbResponse + MPI_TARGET_RESPONSE_IU_OFFSET;
    pbIu[SSP_RESPONSE_DATAPRES] = 1;
    PutBe32(pbIu + SSP_RESPONSE_DATA_LENGTH, 4);
    pbIu[SSP_RESPONSE_DATA + 3] = bCode;
    const uint8_t* pbHead = reinterpret_cast<const uint8_t*>(t.psEntry);
    pb[1] = 0x80;
    pb[3] = MPI_FUNCTION_TARGET_STATUS_SEND;
    std::memcpy(pb + 4, pbHead + 2, 2);
    const uint32_t dContext = t.wIoIndex;
    std::memcpy(pb + 8, &dContext, 4);
    const uint32_t dReply = dReplyWordOf(t.psEntry);
    std::memcpy(pb + 12, &dReply, 4);
    std::memcpy(pb + 16, pbHead + 8, 8);
    const uint32_t dFlagsLength = 0xD5000000u | (MPI_TARGET_RESPONSE_IU_OFFSET + SSP_RESPONSE_DATA + 4);
    const uint32_t dAddress = static_cast<uint32_t>(dPciAddressOf(pbResponse));
    std::memcpy(pb + 24, &dFlagsLength, 4);
    std::memcpy(pb + 28, &dAddress, 4);
    PostSASTargetRequest(t.bPort, t.wIoIndex, pb, wFrame, TASK_TIMEOUT_MS);
    t.psEntry->bPrimaryState = TASK_ANSWERED;
}

}  // namespace

void LSI_SAS_TargetTaskMgmtStep(KERNEL_ENTRY* psEntry) {
    const uint8_t* pbHead = reinterpret_cast<const uint8_t*>(psEntry);
    TASK t{};
    t.psEntry = psEntry;
    t.bPort = psEntry->bPortCode;
    t.bFunction = pbHead[18];
    t.wTag = static_cast<uint16_t>(pbHead[36] | pbHead[37] << 8);   // the managed task's tag
    t.wInitiator = wGetCommandInitiator(psEntry);
    t.wLun = static_cast<uint16_t>(pbHead[8] << 8 | pbHead[9]);
    t.wIoIndex = static_cast<uint16_t>(dReplyWordOf(psEntry) & 0x3FFF);
    switch (t.bFunction) {
    case SAS_TMF_ABORT_TASK: case SAS_TMF_ABORT_TASK_SET: case SAS_TMF_CLEAR_TASK_SET: case SAS_TMF_LOGICAL_UNIT_RESET:
    case SAS_TMF_CLEAR_ACA: case SAS_TMF_QUERY_TASK: case SAS_TMF_SPECIAL_20: break;
    default: t.bFunction = SAS_TMF_UNKNOWN; break;
    }
    if (t.bFunction != SAS_TMF_CLEAR_ACA) {
        PostEvent(EVENT_TASK, bHostPortOfCode(t.bPort), t.bFunction, pbHead[8], pbHead[9],
                  static_cast<uint8_t>(t.wTag >> 8), static_cast<uint8_t>(t.wTag));
    }
    // A unit the host does not have: nothing of it, nor of any other unit,
    // is ended, cleared or reset.
    uint16_t wLd = 0;
    if (IsAbsentUnit(t, &wLd)) {
        Answer(t, RESPONSE_INCORRECT_LUN);
        return;
    }
    bool fFound = false;
    {
        InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
        fFound = WalkCommands(t);
    }
    uint8_t bResponse = RESPONSE_COMPLETE;
    if (t.bFunction == SAS_TMF_LOGICAL_UNIT_RESET) ResetLogicalUnit(t, wLd);
    if (t.bFunction == SAS_TMF_QUERY_TASK && fFound) bResponse = RESPONSE_TASK_FOUND;
    if (t.bFunction == SAS_TMF_UNKNOWN) bResponse = RESPONSE_NOT_SUPPORTED;
    Answer(t, bResponse);
}

// The task management requests of a port, in arrival order.
void SASTargetTaskManagementService(uint8_t bPort) {
    KERNEL_ENTRY* ps = nullptr;
    while (bPeekTaskMgmtRequest(bPort, &ps) == STATUS_FOUND && ps != nullptr) {
        TakeTaskMgmtRequest(bPort);
        LSI_SAS_TargetTaskMgmtStep(ps);
    }
}

uint64_t lGetSASHostPortAddress(const uint8_t* pbWwn, uint8_t bController, uint8_t bPort) {
    return lMakeSASTargetAddress(pbWwn, bController, bPort);
}

}  // namespace fw
