// The debug information dump, one step per background pass.
#include "eventlog/debug_dump.h"

#include "cache/cache.h"
#include "cache/nvram_journal.h"
#include "cache/outstanding_queues.h"
#include "cache/read_ahead.h"
#include "config/config_flags.h"
#include "config/host_port_tables.h"
#include "config/nvram_tables.h"
#include "config/write_semaphore.h"
#include "console/information_menus.h"
#include "dataservices/data_services.h"
#include "enclosure/drive_list_display.h"
#include "enclosure/drive_management.h"
#include "eventlog/info_dump.h"
#include "eventlog/negotiated_parameters.h"
#include "eventlog/statistics.h"
#include "eventlog/status_line.h"
#include "eventlog/time_logs.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/host_interface.h"
#include "mgmt/management.h"
#include "partner/partner_link.h"
#include "platform/ipc_peer.h"
#include "raid/raid_engine.h"
#include "raid/xor_engine.h"
#include "sas/request_frames.h"
#include "sas/sas_drive.h"
#include "target/lun_scheduler.h"
#include "target/stage_rings.h"
#include "target/host_list.h"
#include "target/target_engine.h"

namespace fw {

namespace {

constexpr uint32_t FEATURE_DATA_SERVICES = 0x2;
constexpr uint32_t STATISTICS_PAGES = 2050;
// Request kinds of the partner reads, whose answers end the wait.
constexpr uint8_t KIND_INFORMATION = 173;
constexpr uint8_t KIND_EVENT_LOG = 174;
constexpr uint8_t KIND_STATISTICS = 175;
constexpr uint8_t PARTNER_EVENTS_ALL = 1;

enum : uint8_t {
    STEP_START = 0,
    STEP_CONFIGURATION = 1,
    STEP_DRIVES = 2,
    STEP_HOSTS = 3,
    STEP_INTERNALS = 4,
    // Controller 0: information, its wait, statistics, its wait, event log,
    // its wait; then the same six for controller 1.
    STEP_C0_INFORMATION = 5,
    STEP_C1_INFORMATION = 11,
    STEP_LAST_WAIT = 17,
    STEP_DONE = 18,
    STEP_SNAPSHOTS = 19,
    STEP_ENCLOSURE = 33,
};
// The six steps of one controller, by their place after its first.
enum : uint8_t { PART_INFORMATION, PART_INFORMATION_WAIT, PART_STATISTICS, PART_STATISTICS_WAIT, PART_EVENTS, PART_EVENTS_WAIT };

uint8_t s_bStep;
uint8_t s_bPrintOutputMode = PRINT_OUTPUT_CONSOLE;
uint8_t s_fPartnerReadPending = FALSE;
uint8_t s_fCaptureReady = FALSE;

// Controller 0 is the one in slot 1.
bool IsControllerZero() { return fIsControllerSlot1() == TRUE; }
const char* pszOwnLetter() { return IsControllerZero() ? "0" : "1"; }

void RequestDump(uint8_t bType, uint16_t wState) {
    ConsolePrintf("\n\n");
    SetInfoDumpRequest(TRUE);
    SetInfoDumpState(wState);
    SetInfoDumpMode(DUMP_MODE_DEBUG);
    SetInfoDumpType(bType);
}

void PrintInternals() {
    ConsolePrintf("\n\nController %s Debug Information:\n", pszOwnLetter());
    PrintStatusLine(FALSE);
    DumpTargetKernelQueue();
    DumpOutstandingWriteQueue();
    DumpOutstandingReadQueue();
    ShowReadAheadBuffers();
    ShowNvramQueue();
    ShowPartnerNvramQueue();
    ShowTargetCommandPriorityCounters();
    ShowCurrentDataCounters();
    DumpInitiatorKernelQueue();
    ShowRebuildInfo();
    ShowRankExpansionInfo();
    ShowParityCheckStatus();
    ShowStripeInitStats();
    ShowXorQueues();
    DumpArmRegs(FALSE);
    if (fGetBoardFlagB6() == TRUE) {
        ShowDualControllerStats();
        ShowDualControllerIncomingQueue();
        ShowDualControllerOutgoingQueue();
        ShowOtherControllerParityReadDataQueue();
    }
    if (fIsIpcPeerEnabled() == TRUE) {
        DumpIpcRequestQueue();
        DumpIpcResponseQueue();
    }
    const uint8_t bHostType = bGetHostInterfaceType();
    if (bHostType == HOST_INTERFACE_SAS) {
        ShowNegotiatedParameters();
        ShowLSITargetPostQueues();
    } else if (bHostType == HOST_INTERFACE_SAS_TARGET) {
        ShowSASTargetInterfaceInfo(FALSE);
    }
    ShowSASRequestQueue(PORT_CODE_INITIATOR);
    ShowSASInfoLists();
    ShowDoorbellErrorInfo();
    DumpReservationVariables();
    DumpPersistentReservations();
    PrintConfigIndex();
    PrintConfigWriteSemaphore();
    ShowDriveErrorCounters(0, bGetControllerNumber());
}

// A partner read: pages taken and handed to the paged dump, the request
// sent.  Without pages the step is run again; a request that cannot be
// queued gives its pages back and reports the error.
enum class PartnerRead { NoPages, Sent, Failed };

PartnerRead ReadPartner(uint8_t bPart, BUFFER_HANDLE* pdHandle) {
    const uint32_t dPages = bPart == PART_INFORMATION ? 1 : bPart == PART_STATISTICS ? STATISTICS_PAGES : EVENT_IMAGE_PAGES;
    if (bAllocDataPages(0, dPages, pdHandle) != STATUS_OK) return PartnerRead::NoPages;
    uint8_t bSent = 0;
    if (bPart == PART_INFORMATION) {
        bSent = bReadPartnerBuffer6(*pdHandle, nullptr, KIND_INFORMATION);
    } else if (bPart == PART_STATISTICS) {
        SetPartnerDumpFlag(TRUE);
        bSent = bReadPartnerBuffer10(STATISTICS_BOTH_SIDES, ALL_STATISTICS_LUNS, *pdHandle, nullptr, KIND_STATISTICS);
    } else {
        bSent = bReadPartnerBuffer8(*pdHandle, nullptr, PARTNER_EVENTS_ALL, KIND_EVENT_LOG);
    }
    if (bSent == STATUS_OK) return PartnerRead::Sent;
    (void)wFreeDataPages(*pdHandle, dPages);
    SetPartnerDumpFlag(FALSE);
    return PartnerRead::Failed;
}

void HandOver(uint8_t bPart, BUFFER_HANDLE dHandle) {
    if (bPart == PART_INFORMATION) {
        SetInfoDumpInfoBuffer(dHandle);
    } else if (bPart == PART_STATISTICS) {
        SetInfoDumpStatsBuffer(dHandle);
    } else {
        SetInfoDumpBuffer(dHandle);
    }
}

// One of the six steps of a controller's part.
void ControllerStep(uint8_t bFirst, bool fOwn) {
    const uint8_t bPart = static_cast<uint8_t>(s_bStep - bFirst);
    const char* pszLetter = bFirst == STEP_C0_INFORMATION ? "0" : "1";
    const uint8_t bDumpType = bPart < PART_STATISTICS ? DUMP_CONTROLLER_INFORMATION
                              : bPart < PART_EVENTS  ? DUMP_STATISTICS
                                                     : DUMP_EVENTS_ALL;
    const uint8_t bNext = static_cast<uint8_t>(bFirst + (bPart / 2 + 1) * 2);
    const bool fWaitForPartner = bPart % 2 == 1;
    if (fWaitForPartner) {
        if (fIsPartnerReadPending() == TRUE) return;
        RequestDump(bDumpType, bDumpType == DUMP_EVENTS_ALL ? DUMP_STATE_PARTNER_EVENTS : DUMP_STATE_PARTNER_RECORD);
        s_bStep = bNext;
        return;
    }
    // Every step that asks for a page waits until the page before it is
    // done; a request meanwhile would cut that page off.
    if (fGetInfoDumpRequest() == TRUE) return;
    if (fOwn) {
        RequestDump(bDumpType, DUMP_STATE_OWN);
        s_bStep = bNext;
        return;
    }
    BUFFER_HANDLE dHandle{};
    switch (ReadPartner(bPart, &dHandle)) {
    case PartnerRead::NoPages: return;
    case PartnerRead::Sent:
        HandOver(bPart, dHandle);
        SetPartnerReadPending(TRUE);
        ++s_bStep;
        return;
    case PartnerRead::Failed:
        ConsolePrintf(bPart == PART_INFORMATION  ? "\nError Reading Controller %s Information\n"
                      : bPart == PART_STATISTICS ? "\nError Reading Controller %s Statistics\n"
                                                 : "\nError Reading Controller %s Event Log\n",
                      pszLetter);
        // A failed event log read of controller 1 ends the sequence.
        s_bStep = bPart == PART_EVENTS && bFirst == STEP_C1_INFORMATION ? static_cast<uint8_t>(STEP_DONE) : bNext;
        return;
    }
}

void Finish() {
    if (s_bPrintOutputMode == PRINT_OUTPUT_CONSOLE) DiagnosticDumpDone();
    SetDebugDumpWork(FALSE);
    if (s_bPrintOutputMode == PRINT_OUTPUT_CAPTURE) {
        SealCaptureBuffer();
        SetDebugCaptureReady(TRUE);
        if (fIsManagementWaitingForCapture() == TRUE) HandOverDebugCapture(FALSE);
    }
    s_bPrintOutputMode = PRINT_OUTPUT_CONSOLE;
}

}  // namespace

void SetPrintOutputMode(uint8_t bMode) {
    s_bPrintOutputMode = bMode;
    s_bStep = STEP_START;
    if (bMode == PRINT_OUTPUT_CAPTURE) {
        // A new capture: the text starts afresh and is not ready yet.
        SetCaptureLength(0);
        SetDebugCaptureReady(FALSE);
    }
    SetDebugDumpWork(TRUE);
}
uint8_t bGetPrintOutputMode() { return s_bPrintOutputMode; }
void SetPartnerReadPending(uint8_t f) { s_fPartnerReadPending = f; }
uint8_t fIsPartnerReadPending() { return s_fPartnerReadPending; }
void SetDebugCaptureReady(uint8_t f) { s_fCaptureReady = f; }
uint8_t fIsDebugCaptureReady() { return s_fCaptureReady; }

void ResetDebugDump() {
    s_bStep = STEP_START;
    s_bPrintOutputMode = PRINT_OUTPUT_CONSOLE;
    s_fPartnerReadPending = FALSE;
    s_fCaptureReady = FALSE;
}

void ShowDebugInformation() {
    switch (s_bStep) {
    case STEP_START: s_bStep = STEP_CONFIGURATION; return;
    case STEP_CONFIGURATION:
        // The configuration dump shows the live image while the debug dump
        // runs: an edit open on the console keeps its scratch copy.
        SetInfoDumpRequest(TRUE);
        SetInfoDumpState(0);
        SetInfoDumpMode(DUMP_MODE_DEBUG);
        SetInfoDumpType(DUMP_CONFIGURATION);
        s_bStep = STEP_DRIVES;
        return;
    case STEP_DRIVES:
        if (fGetInfoDumpRequest() == TRUE) return;
        ConsolePrintf("\n\nDrive List:\n");
        ShowDriveTableDump(FALSE);
        PrintDriveCommandTimeLog();
        ShowBackgroundDriveVerifyInfo();
        if (fIsAPMConfigured() == TRUE) ShowAPMStatusInformation();
        s_bStep = (dGetFeatureMask() & FEATURE_DATA_SERVICES) != 0 ? STEP_SNAPSHOTS : STEP_HOSTS;
        return;
    case STEP_SNAPSHOTS:
        PrintSnapshotInformation();
        s_bStep = STEP_HOSTS;
        return;
    case STEP_HOSTS:
        ConsolePrintf("\n\nHost List:\n");
        BuildHostList();
        PrintHostList();
        PrintHostCommandTimeLog();
        s_bStep = STEP_ENCLOSURE;
        return;
    case STEP_ENCLOSURE:
        // The enclosure pages are a paged dump of their own: asked for here,
        // waited for by the next step.
        ConsolePrintf("\n\nEnclosure Information:\n");
        SetInfoDumpRequest(TRUE);
        SetInfoDumpState(0);
        SetInfoDumpMode(DUMP_MODE_DEBUG);
        SetInfoDumpType(DUMP_ENCLOSURE_INFORMATION);
        s_bStep = STEP_INTERNALS;
        return;
    case STEP_INTERNALS:
        if (fGetInfoDumpRequest() == TRUE) return;
        PrintInternals();
        s_bStep = STEP_C0_INFORMATION;
        return;
    case STEP_LAST_WAIT:
        if (fGetInfoDumpRequest() == TRUE) return;
        s_bStep = STEP_DONE;
        return;
    case STEP_DONE: Finish(); return;
    default: break;
    }
    const bool fControllerZeroPart = s_bStep < STEP_C1_INFORMATION;
    const uint8_t bFirst = fControllerZeroPart ? STEP_C0_INFORMATION : STEP_C1_INFORMATION;
    const bool fOwn = fControllerZeroPart == IsControllerZero();
    // Without an active partner its part is left out.
    if (!fOwn && fIsDualControllerActive() != TRUE) {
        s_bStep = fControllerZeroPart ? STEP_C1_INFORMATION : STEP_LAST_WAIT;
        return;
    }
    ControllerStep(bFirst, fOwn);
}

}  // namespace fw
