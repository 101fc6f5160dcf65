// The paged information dump: its request, type, state and mode, the
// dispatch to the producers, and the event log pages themselves.
#include "eventlog/info_dump.h"

#include "console/console_menu.h"
#include "console/information_menus.h"
#include "enclosure/drive_management.h"
#include "eventlog/config_dump.h"
#include "eventlog/controller_info_dump.h"
#include "eventlog/event_image.h"
#include "eventlog/event_log.h"
#include "eventlog/event_texts.h"
#include "eventlog/statistics_dump.h"
#include "executive/date_time.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"

namespace fw {

namespace {

// Event log page steps.
enum : uint8_t {
    EVENTS_TAKE_BUFFER = 0,
    EVENTS_COPY_OWN = 1,
    EVENTS_PARTNER_IMAGE = 2,
    EVENTS_PRINT_ENTRY = 3,
    EVENTS_FINISH = 4,
};

struct INFO_DUMP {
    uint8_t fRequest;
    uint8_t bType;
    uint16_t wState;
    uint8_t bMode;
    BUFFER_HANDLE dEventImage;    // NULL_BUFFER_HANDLE: none held
    BUFFER_HANDLE dStatsBuffer;
    BUFFER_HANDLE dInfoBuffer;
    uint8_t bStatsPort;
    uint16_t wStatsLd;
    uint16_t wEntry;              // next entry of the image to print
    uint16_t wEntries;            // entries of the image that may be read
};

INFO_DUMP s_sDump;

EVENT_LOG_MIRROR* psImage() { return static_cast<EVENT_LOG_MIRROR*>(pBufferHandleToPointer(s_sDump.dEventImage)); }

const char* pszOwnController() { return fIsControllerSlot1() == TRUE ? "0" : "1"; }
const char* pszPartnerController() { return fIsControllerSlot1() == TRUE ? "1" : "0"; }

// The entries an image may be read for: its count, but never beyond the
// 4096 the pages hold or the entries its byte count covers, whatever a
// partner's image claims.
uint16_t wReadableEntries(const EVENT_LOG_MIRROR& s) {
    uint32_t dEntries = s.wCount;
    if (dEntries > EVENT_LOG_ENTRIES) dEntries = EVENT_LOG_ENTRIES;
    const uint32_t dHead = dEventImageBytes(0);
    const uint32_t dCovered = s.dByteCount < dHead ? 0 : (s.dByteCount - dHead) / sizeof(EVENT_LOG_ENTRY);
    if (dEntries > dCovered) dEntries = dCovered;
    return static_cast<uint16_t>(dEntries);
}

// The heading of an image, then its first entry or its emptiness.
void HeadImage(const char* pszController) {
    ConsolePrintf("Event Log (Controller %s)\n\n", pszController);
    s_sDump.wEntry = 0;
    s_sDump.wEntries = wReadableEntries(*psImage());
    SetEventDecodeImage(psImage());
    if (s_sDump.wEntries != 0) {
        s_sDump.wState = EVENTS_PRINT_ENTRY;
    } else {
        ConsolePrintf("No Entries\n\n");
        s_sDump.wState = EVENTS_FINISH;
    }
}

void EventLogPage() {
    INFO_DUMP& s = s_sDump;
    switch (static_cast<uint8_t>(s.wState)) {
    case EVENTS_TAKE_BUFFER:
        // No pages yet: the next pass asks again.
        if (bAllocDataPages(0, EVENT_IMAGE_PAGES, &s.dEventImage) != STATUS_OK) return;
        s.wState = EVENTS_COPY_OWN;
        return;
    case EVENTS_COPY_OWN:
        if (fIsEventLogBusy() == TRUE) return;
        SetEventLogBusy(TRUE);
        PrintCurrentDateTime();
        CopyEventLogEntries(pGetOwnEventLog(), psImage(), s.bType, 0, 0, FALSE);
        HeadImage(pszOwnController());
        SetEventLogBusy(FALSE);
        return;
    case EVENTS_PARTNER_IMAGE:
        if (s.dEventImage == NULL_BUFFER_HANDLE) {
            // Handed no image: nothing to show.
            s.wState = EVENTS_FINISH;
            return;
        }
        PrintDateTime(&psImage()->sUpdated);
        HeadImage(pszPartnerController());
        return;
    case EVENTS_PRINT_ENTRY:
        if (s.wEntry < s.wEntries) {
            DecodeEvent(s.wEntry++);
            return;
        }
        ConsolePrintf("End Of Event Log\n\n");
        s.wState = EVENTS_FINISH;
        return;
    default: {
        if (s.dEventImage != NULL_BUFFER_HANDLE) {
            (void)wFreeDataPages(s.dEventImage, EVENT_IMAGE_PAGES);
            s.dEventImage = NULL_BUFFER_HANDLE;
        }
        SetEventDecodeImage(nullptr);
        SetInfoDumpRequest(FALSE);
        s.bType = 0;
        s.wState = 0;
        const uint8_t bMode = s.bMode;
        s.bMode = 0;
        if (bMode == DUMP_MODE_MENU) OnEventLogShown();
        return;
    }
    }
}

}  // namespace

uint8_t fGetInfoDumpRequest() { return s_sDump.fRequest; }
void SetInfoDumpRequest(uint8_t f) {
    s_sDump.fRequest = f;
    if (f == TRUE) SetWorkPending(TRUE);
}
uint8_t bGetInfoDumpType() { return s_sDump.bType; }
void SetInfoDumpType(uint8_t bType) { s_sDump.bType = bType; }
uint8_t bGetInfoDumpState() { return static_cast<uint8_t>(s_sDump.wState); }
void SetInfoDumpState(uint16_t wState) { s_sDump.wState = wState; }
uint8_t bGetInfoDumpMode() { return s_sDump.bMode; }
void SetInfoDumpMode(uint8_t bMode) { s_sDump.bMode = bMode; }
void SetInfoDumpBuffer(BUFFER_HANDLE dHandle) { s_sDump.dEventImage = dHandle; }
void SetInfoDumpStatsBuffer(BUFFER_HANDLE dHandle) { s_sDump.dStatsBuffer = dHandle; }
void SetInfoDumpInfoBuffer(BUFFER_HANDLE dHandle) { s_sDump.dInfoBuffer = dHandle; }
BUFFER_HANDLE dGetInfoDumpStatsBuffer() { return s_sDump.dStatsBuffer; }
BUFFER_HANDLE dGetInfoDumpInfoBuffer() { return s_sDump.dInfoBuffer; }
uint8_t bGetInfoDumpStatsPort() { return s_sDump.bStatsPort; }
void SetInfoDumpStatsPort(uint8_t bPort) { s_sDump.bStatsPort = bPort; }
uint16_t wGetInfoDumpStatsLd() { return s_sDump.wStatsLd; }
void SetInfoDumpStatsLd(uint16_t wLd) { s_sDump.wStatsLd = wLd; }

void ResetInfoDump() {
    s_sDump = INFO_DUMP{};
    s_sDump.fRequest = FALSE;
}

void RunInfoDump() {
    const uint8_t bType = s_sDump.bType;
    if (bType >= DUMP_CONFIGURATION && bType <= DUMP_CONFIGURATION_LAST && bType != DUMP_CONTROLLER_INFORMATION &&
        bType != DUMP_ENCLOSURE_INFORMATION) {
        ShowConfiguration(bType);
    } else if (bType == DUMP_CONTROLLER_INFORMATION) {
        ShowControllerInformation();
    } else if (bType == DUMP_ENCLOSURE_INFORMATION) {
        ShowEnclosureInformation();
    } else if (bType == DUMP_LD_STATISTICS) {
        ShowStatistics(bType, s_sDump.bStatsPort, s_sDump.wStatsLd);
    } else if (bType >= DUMP_STATISTICS) {
        ShowStatistics(bType, DUMP_BOTH_PORTS, ALL_LOGICAL_DRIVES);
    } else {
        EventLogPage();
    }
}

}  // namespace fw
