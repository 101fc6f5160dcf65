// The management set commands addressed to the controllers themselves:
// their holds, event logs, statistics, clocks, alarms, console and cache,
// and their reset and shutdown after the status.
#include <cstring>

#include "cache/outstanding_queues.h"
#include "config/drive_locate.h"
#include "config/host_port_tables.h"
#include "config/rank_table.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console/option_settings.h"
#include "enclosure/drive_management.h"
#include "eventlog/debug_dump.h"
#include "eventlog/event_log.h"
#include "eventlog/info_dump.h"
#include "eventlog/statistics.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "mgmt/management.h"
#include "mgmt/management_commands.h"
#include "partner/partner_link.h"

namespace fw {

namespace {

constexpr uint8_t BOTH_CONTROLLERS = 3;
constexpr uint8_t RAW_INPUT_TEXT = 16;
constexpr uint8_t RAW_INPUT_MENU = 18;
constexpr uint32_t MAX_RAW_INPUT = 2000;
constexpr uint32_t FEATURE_AUDIBLE_ALARM = 0x20;
constexpr uint8_t ALARM_SET = 1;
constexpr uint8_t MAX_ALARM_VALUE = 8;
constexpr uint8_t PARTNER_MESSAGE_DISABLE_WRITE_BACK = 155;
constexpr uint8_t PARTNER_MESSAGE_DRIVE_LOCATE = 154;

struct NAMED {
    bool fValid;   // byte 3 names controller 1, 2 or both
    bool fSelf;
    bool fPartner;
};

NAMED sNamed(uint8_t bControllers) {
    const uint8_t bSelf = bGetControllerNumber();
    NAMED s{bControllers >= 1 && bControllers <= BOTH_CONTROLLERS, false, false};
    s.fSelf = s.fValid && (bControllers == bSelf || bControllers == BOTH_CONTROLLERS);
    s.fPartner = s.fValid && (bControllers != bSelf);
    return s;
}

bool HasAlarm() { return (dGetFeatureMask() & FEATURE_AUDIBLE_ALARM) != 0; }

// A clear asked of the partner is answered once it is queued; the partner
// answers it GOOD whatever it holds.  One that cannot go now is NOT READY,
// and the host asks again.
uint8_t bPartnerClearQueued(uint8_t bSent) { return bSent == STATUS_OK ? MGMT_GOOD : MGMT_NOT_READY; }

// Reset (195) and shutdown (196): the partner is asked when it is named;
// this controller acts after the status, and only when it is named itself.
uint8_t bStopControllers(const MGMT_REQUEST& r, bool fReset) {
    const NAMED s = sNamed(r.pbCdb[3]);
    if (!s.fValid) return MGMT_INVALID_CDB;
    const bool fDual = fIsDualControllerActive() == TRUE;
    if (s.fPartner && !s.fSelf && !fDual) return MGMT_INVALID_CDB;
    if (s.fPartner && fDual) {
        if (fReset) {
            (void)bSendResetToPartner();
        } else {
            (void)fSendShutdownToPartner(r.pbCdb[4]);
        }
    }
    if (s.fSelf) r.psEntry->bCommandType = fReset ? MGMT_END_RESET : MGMT_END_SHUTDOWN;
    return MGMT_GOOD;
}

}  // namespace

uint8_t MgmtSetBackgroundHold(const MGMT_REQUEST&) {
    if (fIsLinePowerMode() != TRUE) return MGMT_INVALID_CDB;
    SetBackgroundHold(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtReleaseControllerHold(const MGMT_REQUEST& r) {
    if (fIsLinePowerMode() != TRUE) return MGMT_INVALID_CDB;
    r.psEntry->bCommandType = MGMT_END_HOLD;
    return MGMT_GOOD;
}

uint8_t MgmtClearEventLog(const MGMT_REQUEST& r) {
    const NAMED s = sNamed(r.pbCdb[3]);
    if (!s.fValid) return MGMT_INVALID_CDB;
    if (s.fSelf) ClearEventLog();
    if (s.fPartner && fIsDualControllerActive() == TRUE) return bPartnerClearQueued(bReadPartnerBuffer9(FALSE));
    return MGMT_GOOD;
}

// A drive locate: done here on the master, by the master otherwise.
uint8_t MgmtSendEnclosureCommand(const MGMT_REQUEST& r) {
    if (fIsDriveFirmwareDownloadInProgress() == TRUE) return MGMT_GOOD;
    if (fIsMasterController() == TRUE) {
        SendDriveLocateCommand(r.pbCdb[3], r.pbCdb[4], r.pbCdb[5]);
    } else {
        const uint8_t abRecord[PARTNER_MESSAGE_ARGUMENT_BYTES] = {r.pbCdb[3], r.pbCdb[4], r.pbCdb[5]};
        (void)bSendConfigRecordMessage(PARTNER_MESSAGE_DRIVE_LOCATE, abRecord);
    }
    return MGMT_GOOD;
}

uint8_t MgmtResetController(const MGMT_REQUEST& r) { return bStopControllers(r, true); }
uint8_t MgmtShutdownController(const MGMT_REQUEST& r) { return bStopControllers(r, false); }

uint8_t MgmtSetDateTime(const MGMT_REQUEST& r) {
    const NAMED s = sNamed(r.pbCdb[3]);
    if (!s.fValid) return MGMT_INVALID_CDB;
    DATE_TIME sTime;
    std::memcpy(&sTime, r.pbData + MGMT_SIGNATURE_BYTES, sizeof(sTime));
    if (bValidateDateTime(&sTime) != STATUS_OK) return MGMT_INVALID_PARAMETERS;
    if (s.fSelf && bSetDateTime(&sTime) != STATUS_OK) return MGMT_INVALID_PARAMETERS;
    if (s.fPartner && fIsDualControllerActive() == TRUE) SendDateTimeToPartner(&sTime);
    return MGMT_GOOD;
}

// 203 names controller 1, 204 controller 2; bytes 3 and 4-5 choose the
// ports and logical drives.
uint8_t MgmtClearPerformanceStatistics(const MGMT_REQUEST& r) {
    const uint8_t bController = r.bCode == 203 ? 1 : 2;
    if (bController == bGetControllerNumber()) {
        ClearPerformanceStatistics(r.pbCdb[3], wCdbWord(r, 4));
        return MGMT_GOOD;
    }
    if (fIsDualControllerActive() != TRUE) return MGMT_INVALID_CDB;
    return bPartnerClearQueued(bReadPartnerBuffer11(r.pbCdb[3], wCdbWord(r, 4), FALSE));
}

// From now on writes are written through; those already in the cache are
// let go to the drives, none is dropped.
uint8_t MgmtDisableWriteBackCaching(const MGMT_REQUEST&) {
    SetWritebackCaching(FALSE);
    ApplyRankCachePolicies();
    ResetAllOutstandingWrites();
    if (fIsDualControllerActive() == TRUE) (void)bSendConfigRecordMessage(PARTNER_MESSAGE_DISABLE_WRITE_BACK, nullptr);
    return MGMT_GOOD;
}

uint8_t MgmtStartConsoleCapture(const MGMT_REQUEST&) {
    if (bAllocateCaptureBuffer() != STATUS_OK) return MGMT_INVALID_PARAMETERS;
    SetDebugCaptureReady(FALSE);
    SetPrintOutputMode(PRINT_OUTPUT_CAPTURE);
    return MGMT_GOOD;
}

// Keys typed from the host while the console takes raw input: text (16),
// or the main menu opened (18).
uint8_t MgmtConsoleInput(const MGMT_REQUEST& r) {
    const bool fRaw = fIsRawInputMode() == TRUE;
    if (r.pbCdb[3] == RAW_INPUT_MENU) {
        if (fRaw) MainMenu();
        return MGMT_GOOD;
    }
    const uint32_t dText = r.dDataLength - MGMT_SIGNATURE_BYTES;
    if (r.pbCdb[3] != RAW_INPUT_TEXT || dText > MAX_RAW_INPUT || !fRaw) return MGMT_INVALID_CDB;
    for (uint32_t i = 0; i < dText; i++) ConsolePrintf("%c", r.pbData[MGMT_SIGNATURE_BYTES + i]);
    return MGMT_GOOD;
}

uint8_t MgmtControllerSelfCommand(const MGMT_REQUEST& r) {
    if (r.pbCdb[3] != bGetControllerNumber()) return MGMT_INVALID_CDB;
    r.psEntry->bCommandType = MGMT_END_SELF;
    return MGMT_GOOD;
}

uint8_t MgmtSetAudibleAlarm(const MGMT_REQUEST& r) {
    if (!HasAlarm()) return MGMT_INVALID_CDB;
    if (r.pbCdb[3] > MAX_ALARM_VALUE) return MGMT_INVALID_PARAMETERS;
    (void)bSetAudibleAlarm(ALARM_SET, r.pbCdb[3]);
    return MGMT_GOOD;
}

uint8_t MgmtRequestAudibleAlarm(const MGMT_REQUEST& r) {
    if (!HasAlarm()) return MGMT_INVALID_CDB;
    (void)bSetAudibleAlarm(r.bCode == 216 ? 2 : 3, 0);
    return MGMT_GOOD;
}

}  // namespace fw
