// The target command trace.
#include "eventlog/target_trace.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "config/config_flags.h"
#include "config/ld_table.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/scsi_status.h"

namespace fw {

namespace {

constexpr uint32_t TRACE_VERSION = 1;
constexpr uint16_t LD_ENTRY_BYTES = 8;
constexpr uint32_t CLOCK_DIVISOR = 400;
constexpr uint32_t HEAD_BYTES = 40;        // dump fields, then the info block
constexpr uint32_t INFO_OFFSET = 16;
constexpr uint32_t TRACE_HEADER_BYTES = 24;
constexpr uint8_t DUMP_MARK = 0xF0;

#pragma pack(push, 1)
// The head of the buffer as a reading tool sees it.
struct TRACE_HEAD {
    uint32_t dRecordBytes;        // written when piece 0 is read
    uint8_t bMark;
    uint8_t abReserved5[3];
    uint32_t dBufferBytes;
    uint8_t abReserved12[4];
    uint32_t dVersion;            // the info block
    uint32_t dInfoBufferBytes;
    uint16_t wLdEntryBytes;
    uint16_t wRecordBytes;
    uint32_t dClockDivisor;
    uint32_t dValidRecords;       // written when piece 0 is read
    uint16_t wLdEntries;
    uint8_t bController;
    uint8_t bReserved39;
};
struct TRACE_ENTRY {
    uint64_t lStartTimeStamp;
    uint64_t lRecordTime;
    uint8_t abCdb[16];
    uint64_t lFlags;
    uint16_t wLunIndex;
    uint8_t bPortCode;
    uint8_t bCommandType;
    uint32_t dSequence;
};
#pragma pack(pop)
static_assert(sizeof(TRACE_HEAD) == HEAD_BYTES);
static_assert(offsetof(TRACE_HEAD, dBufferBytes) == 8);
static_assert(offsetof(TRACE_HEAD, dVersion) == INFO_OFFSET);
static_assert(offsetof(TRACE_HEAD, dValidRecords) == INFO_OFFSET + 16);
static_assert(offsetof(TRACE_HEAD, bController) == INFO_OFFSET + 22);
static_assert(sizeof(TRACE_ENTRY) == 48);
static_assert(offsetof(TRACE_ENTRY, lFlags) == 32);
static_assert(offsetof(TRACE_ENTRY, bPortCode) == 42);
static_assert(offsetof(TRACE_ENTRY, dSequence) == 44);

struct TRACE_STATE {
    uint8_t fEnabled;
    uint8_t fActive;
    uint8_t fFull;
    uint32_t dBufferBytes;
    uint32_t dMaxEntries;
    uint32_t dNextEntry;
    uint16_t wLdEntries;
    BUFFER_HANDLE dBuffer;
};

TRACE_STATE s_sTrace;

uint8_t* pbBuffer() { return static_cast<uint8_t*>(pBufferHandleToPointer(s_sTrace.dBuffer)); }
TRACE_HEAD* psHead() { return reinterpret_cast<TRACE_HEAD*>(pbBuffer()); }
TRACE_ENTRY* psRecords() {
    return reinterpret_cast<TRACE_ENTRY*>(pbBuffer() + HEAD_BYTES + LD_ENTRY_BYTES * s_sTrace.wLdEntries);
}
uint32_t dPages() { return s_sTrace.dBufferBytes / BUFFER_PAGE_SIZE; }
uint32_t dValidRecords() { return s_sTrace.fFull == TRUE ? s_sTrace.dMaxEntries : s_sTrace.dNextEntry; }
const char* pszTrueFalse(uint8_t f) { return f == TRUE ? "TRUE" : "FALSE"; }

// A logical drive's capacity: the blocks of all its segments.
uint64_t lLdBlocks(uint16_t wLd) {
    const LD_RECORD* ps = pGetLogicalDriveRecord(wLd);
    if (ps == nullptr) return 0;
    uint64_t lBlocks = 0;
    for (uint8_t s = 0; s < ps->bSegmentCount && s < MAX_LD_SEGMENTS; ++s) {
        lBlocks += ps->asSegment[s].lEnd - ps->asSegment[s].lStart + 1;
    }
    return lBlocks;
}

}  // namespace

void InitTarCmdTrace() { s_sTrace = TRACE_STATE{FALSE, FALSE, FALSE, 0, 0, 0, 0, NULL_BUFFER_HANDLE}; }

uint8_t fAllocateTarCmdTraceBuffer(uint8_t bUnits) {
    if (s_sTrace.fEnabled == TRUE) {
        ConsolePrintf("fAllocateTarCmdTraceBuffer: Already allocated \n");
        return STATUS_OK;
    }
    if (bUnits == 0) {
        ConsolePrintf("fAllocateTarCmdTraceBuffer: Requested buffer size is zero \n");
        return STATUS_OK;
    }
    InitTarCmdTrace();
    s_sTrace.dBufferBytes = bUnits * TRACE_UNIT_BYTES;
    const uint8_t bStatus = bAllocDataPages(0, dPages(), &s_sTrace.dBuffer);
    if (bStatus != STATUS_OK) {
        ConsolePrintf("fAllocateTarCmdTraceBuffer: Could Allocate Cache Resourecs, fStatus: %x, wAllocSize:%x \n",
                      bStatus, bUnits);
        InitTarCmdTrace();
        return 0;
    }
    s_sTrace.wLdEntries = wGetLogicalDriveCount();
    s_sTrace.dMaxEntries =
        (s_sTrace.dBufferBytes - LD_ENTRY_BYTES * s_sTrace.wLdEntries - HEAD_BYTES) / sizeof(TRACE_ENTRY);
    s_sTrace.fEnabled = TRUE;
    ConsolePrintf("Trace Buffer Allocated, %d Entries Available.\n", s_sTrace.dMaxEntries);
    ResetTarCmdTrace();
    return STATUS_OK;
}

void ResetTarCmdTrace() {
    if (s_sTrace.fEnabled != TRUE) {
        ConsolePrintf("\nTarget Command Trace is Disabled\n");
        return;
    }
    std::memset(pbBuffer(), 0, s_sTrace.dBufferBytes);
    TRACE_HEAD& h = *psHead();
    h.dVersion = TRACE_VERSION;
    h.dInfoBufferBytes = s_sTrace.dBufferBytes;
    h.wLdEntryBytes = LD_ENTRY_BYTES;
    h.wRecordBytes = sizeof(TRACE_ENTRY);
    h.dClockDivisor = CLOCK_DIVISOR;
    h.dValidRecords = 0;
    h.wLdEntries = s_sTrace.wLdEntries;
    h.bController = fIsControllerSlot1() == TRUE ? 0 : 1;
    uint8_t* pb = pbBuffer() + HEAD_BYTES;
    for (uint16_t l = 0; l < s_sTrace.wLdEntries; ++l) {
        const uint64_t lBlocks = lLdBlocks(l);
        std::memcpy(pb + LD_ENTRY_BYTES * l, &lBlocks, sizeof lBlocks);
    }
    s_sTrace.dNextEntry = 0;
    s_sTrace.fActive = FALSE;
    s_sTrace.fFull = FALSE;
}

void SetTarCmdTraceActive(uint8_t f) {
    if (s_sTrace.fEnabled != TRUE) {
        ConsolePrintf("\nTarget Command Trace is Disabled\n");
        return;
    }
    s_sTrace.fActive = f;
    ConsolePrintf(f == TRUE ? "\nTarget Command Trace Active\n" : "\nTarget Command Trace Inactive\n");
}

uint8_t fIsTarCmdTraceActive() { return ToFlag(s_sTrace.fEnabled == TRUE && s_sTrace.fActive == TRUE); }
uint8_t fIsTarCmdTraceEnabled() { return s_sTrace.fEnabled; }

void RecordTarCmdTrace(KERNEL_ENTRY* psEntry) {
    if (s_sTrace.fFull == TRUE || s_sTrace.fEnabled != TRUE || s_sTrace.fActive != TRUE) return;
    if (s_sTrace.dNextEntry >= s_sTrace.dMaxEntries) {
        ConsolePrintf("Target Comand Trace Full\n");
        s_sTrace.fFull = TRUE;
        return;
    }
    TRACE_ENTRY& r = psRecords()[s_sTrace.dNextEntry];
    r.lStartTimeStamp = psEntry->lStartTimeStamp;
    r.lRecordTime = lGetHighResolutionTime();
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    if (pbCdb != nullptr) {
        std::memcpy(r.abCdb, pbCdb, sizeof r.abCdb);
    } else {
        std::memset(r.abCdb, 0, sizeof r.abCdb);
    }
    r.lFlags = psEntry->lFlags;
    r.wLunIndex = psEntry->wLunIndex;
    r.bPortCode = psEntry->bPortCode;
    r.bCommandType = psEntry->bCommandType;
    r.dSequence = s_sTrace.dNextEntry++;
}

void FreeTarCmdTraceBuffer() {
    if (s_sTrace.dBuffer == NULL_BUFFER_HANDLE) {
        ConsolePrintf("FreeTarCmdTraceBuffer: Already de-allocated \n");
        return;
    }
    (void)wFreeDataPages(s_sTrace.dBuffer, dPages());
    InitTarCmdTrace();
}

uint8_t RemoteFibreGetTarCmdTraceDump(KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint32_t dPiece = pbCdb[3] << 16 | pbCdb[4] << 8 | pbCdb[5];
    const uint32_t dLength = pbCdb[6] << 16 | pbCdb[7] << 8 | pbCdb[8];
    if (dPiece == 0 && s_sTrace.fEnabled == TRUE) {
        TRACE_HEAD& h = *psHead();
        h.dRecordBytes = sizeof(TRACE_ENTRY) * s_sTrace.dMaxEntries;
        h.bMark = DUMP_MARK;
        h.dBufferBytes = s_sTrace.dBufferBytes;
        h.dValidRecords = dValidRecords();
    }
    // Reading the trace stops it.
    s_sTrace.fActive = FALSE;
    // The product can pass 32 bits: a piece far out must not wrap to the start.
    const uint64_t lOffset = static_cast<uint64_t>(dPiece) * dLength;
    if (s_sTrace.fEnabled != TRUE || lOffset >= s_sTrace.dBufferBytes) {
        psEntry->bPrimaryState = HOST_STATE_STATUS;
        (void)SendScsiStatus(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        SetMgmtCommandActive(FALSE);
        SetHostCommandHold(FALSE);
        ConsolePrintf("RemoteFibreGetTarCmdTraceDump: Offset value out of bound(%d vs %d)\n", dPiece,
                      s_sTrace.dBufferBytes);
        return 0;
    }
    const uint32_t dOffset = static_cast<uint32_t>(lOffset);
    const uint32_t dBytes = std::min(s_sTrace.dBufferBytes - dOffset, dLength);
    psEntry->bPrimaryState = HOST_STATE_DATA_IN;
    const TRANSFER_SEGMENT sSegment = {static_cast<uint32_t>(dBufferHandleToPciAddress(s_sTrace.dBuffer + dOffset)),
                                       dBytes};
    (void)StartDataInTransfer(psEntry, &sSegment, 1, TRUE);
    SetMgmtCommandActive(FALSE);
    SetHostCommandHold(FALSE);
    return STATUS_OK;
}

void ShowTarCmdTraceStatistics() {
    const TRACE_STATE& s = s_sTrace;
    ConsolePrintf("\nTarget Command Trace Statistics:\n");
    if (s.fEnabled != TRUE) {
        ConsolePrintf("\tEnabled: FALSE\n");
    } else {
        ConsolePrintf("\tEnabled: TRUE\n");
        ConsolePrintf("\tActive: %s\n", pszTrueFalse(s.fActive));
        ConsolePrintf("\tBuffer Full: %s\n", pszTrueFalse(s.fFull));
        ConsolePrintf("\tVersion: 0x%08X\n", TRACE_VERSION);
        ConsolePrintf("\tController Number: %d\n", fIsControllerSlot1() == TRUE ? 0 : 1);
        ConsolePrintf("\tBuffer Size: %d MiB\n", s.dBufferBytes >> 20);
        ConsolePrintf("\tCommand Trace header Size: %d bytes\n", TRACE_HEADER_BYTES);
        ConsolePrintf("\tLD Data Entry Size: %d bytes\n", LD_ENTRY_BYTES);
        ConsolePrintf("\tTotal LD Data Entries: %d\n", s.wLdEntries);
        ConsolePrintf("\tCmd Trace Entry Size: %d bytes\n", static_cast<uint32_t>(sizeof(TRACE_ENTRY)));
        ConsolePrintf("\tClock Divisor: %d\n", CLOCK_DIVISOR);
        ConsolePrintf("\tTotal Trace Entries: %d\n", s.dMaxEntries);
        ConsolePrintf("\tValid Trace Entries: %d\n", dValidRecords());
    }
    ConsolePrintf("\n\n");
}

}  // namespace fw
