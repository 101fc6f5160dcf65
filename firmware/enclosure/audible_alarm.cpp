// The audible alarm: the operator's mutes and the system-wide disable, the
// test of whether an enclosure has something to sound for, the own
// chassis' sounder patterns, and the low-noise modes.
#include "enclosure/audible_alarm.h"

#include <algorithm>
#include <iterator>

#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/environment_monitor.h"
#include "enclosure/own_enclosure.h"
#include "enclosure/ses_poll.h"
#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/chassis_microcontroller.h"
#include "hw/fpga.h"
#include "hw/hw.h"
#include "hw/ses.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"

namespace fw {

namespace {

constexpr uint8_t ALARM_ENCLOSURES = 8;
constexpr uint8_t EVENT_ALARM_MUTED = 141;
constexpr uint8_t EVENT_ALARM_DISABLED = 142;
constexpr uint8_t EVENT_ALARM_ENABLED = 143;
constexpr uint8_t ELEMENT_ALARM = 46;
constexpr uint8_t SES_ALARM_SOUNDING = 0x04;
constexpr uint8_t DRIVE_STATUS_FAILED = 4;
constexpr uint8_t DRIVE_STATUS_MISSING = 8;
constexpr uint64_t SOUNDING_MS = 120000;
constexpr uint64_t REMIND_EVERY_MS = 20000;
constexpr uint64_t REMIND_FOR_MS = 1000;
constexpr uint64_t TEST_STEP_MS = 500;
constexpr uint16_t TONE_SILENT = 0x00;
constexpr uint16_t TONE_SHORT = 0x10;
constexpr uint16_t TONE_FAULT = 0x20;
constexpr uint16_t TONE_TEST = 0x30;
// The same tones on the microcontroller's sounder register.
constexpr uint8_t MICRO_TONE_SHORT = 0;
constexpr uint8_t MICRO_TONE_FAULT = 12;
constexpr uint8_t MICRO_TONE_TEST = 16;
// Fault bits that sound: all but an airflow hole and a drive fault.
constexpr uint32_t NOT_SOUNDING = FAULT_AIRFLOW_BAY | FAULT_DRIVE;

enum Pattern : uint8_t { IDLE, SOUNDING, REMINDING, SILENCED, DRIVE_FAULT, INDICATOR_TEST };

uint8_t s_afMute[ALARM_ENCLOSURES];
uint8_t s_fDisabled = FALSE;
uint8_t s_fFanLowNoise = FALSE;
uint8_t s_fAlarmLowNoise = FALSE;
uint8_t s_fOwnMuteRequest = FALSE;

// One run of the sounder's patterns.  The board's sounder runs one; on the
// direct backplane the microcontroller's sounder runs a second of its own,
// with its own state and times.
struct SOUNDER {
    uint8_t ePattern;
    uint64_t lChanged;
    uint32_t dSnapshot;
    uint16_t wWritten;
    uint8_t bTestPhase;
    uint8_t fEnableRequest;   // the alarm controls asked to sound again
    bool fBoard;              // writes the board's bits, shows the pattern, runs the indicator test
};
constexpr SOUNDER BOARD_SOUNDER_START = {IDLE, 0, 0, 0xFFFF, 0, FALSE, true};
constexpr SOUNDER MICRO_SOUNDER_START = {IDLE, 0, 0, 0xFFFF, 0, FALSE, false};
SOUNDER s_sBoard = BOARD_SOUNDER_START;
SOUNDER s_sMicro = MICRO_SOUNDER_START;
// A press of the chassis button the board's run saw, for the second run.
uint8_t s_fMicroPress = FALSE;

// The microcontroller's sounder: sounding or not, and the fault word it
// was last silenced at (a new fault sounds again).
uint8_t s_fMicroSounding = FALSE;
uint32_t s_dMicroSnapshot = 0;

bool fMuted() { return s_afMute[0] == TRUE; }

void Sound(SOUNDER& s, uint16_t wTone) {
    s.wWritten = wTone;
    if (!s.fBoard) return;
    const uint16_t w = Reg16Read(FPGA_CHASSIS_INDICATORS);
    Reg16Write(FPGA_CHASSIS_INDICATORS, static_cast<uint16_t>((w & ~FPGA_SOUNDER_MASK) | wTone));
}

void Enter(SOUNDER& s, uint8_t e) {
    s.ePattern = e;
    s.lChanged = lGetTickCount();
}

// A sounding pattern ends silent when muted, disabled or the button is
// pressed, and back at idle once repaired: TRUE when it ended.
bool fEndSounding(SOUNDER& s, bool fSilence, bool fRepaired) {
    if (!fSilence && !fRepaired) return false;
    Sound(s, TONE_SILENT);
    if (fSilence) {
        Enter(s, SILENCED);
    } else {
        s.dSnapshot = 0;
        Enter(s, IDLE);
    }
    return true;
}

// The own alarm element shows what the board's sounder does.
void ShowPattern(const SOUNDER& s, uint8_t bSet, uint8_t bClear) {
    if (!s.fBoard) return;
    uint8_t* pb = pGetOwnElement(ELEMENT_ALARM);
    pb[3] = static_cast<uint8_t>((pb[3] & ~bClear) | bSet);
}

}  // namespace

void SetEnclosureAlarmMute(uint8_t f, uint8_t bEnclosure) {
    if (bEnclosure < ALARM_ENCLOSURES) s_afMute[bEnclosure] = f;
}
uint8_t fIsEnclosureAlarmMuted(uint8_t bEnclosure) {
    return bEnclosure < ALARM_ENCLOSURES ? s_afMute[bEnclosure] : FALSE;
}
void ClearEnclosureAlarmMutes() { std::fill(std::begin(s_afMute), std::end(s_afMute), FALSE); }
void SetAudibleAlarmDisabled(uint8_t f) { s_fDisabled = f; }
uint8_t fIsAudibleAlarmDisabled() { return s_fDisabled; }
uint8_t fIsFanLowNoiseMode() { return s_fFanLowNoise; }
void SetFanLowNoiseMode(uint8_t f) { s_fFanLowNoise = f; }
uint8_t fIsAlarmLowNoiseMode() { return s_fAlarmLowNoise; }
void SetAlarmLowNoiseMode(uint8_t f) { s_fAlarmLowNoise = f; }

void ResetAudibleAlarm() {
    ClearEnclosureAlarmMutes();
    s_fDisabled = s_fFanLowNoise = s_fAlarmLowNoise = FALSE;
    s_fOwnMuteRequest = FALSE;
    s_sBoard = BOARD_SOUNDER_START;
    s_sMicro = MICRO_SOUNDER_START;
    s_fMicroPress = FALSE;
    s_fMicroSounding = FALSE;
    s_dMicroSnapshot = 0;
}

uint8_t fEnclosureHasAlarmCondition(uint8_t bEnclosure) {
    const ENCLOSURE_TABLE* ps = pGetEnclosureTable();
    if (ps == nullptr || bEnclosure >= std::min<uint32_t>(ps->dTotalNoOfEnclosures, MAX_ENCLOSURES)) return FALSE;
    const ENCLOSURE& s = ps->asEnclosure[bEnclosure];
    bool fAlarm = false;
    if (s.abStatusPage[0] == SES_PAGE_STATUS) {
        const uint32_t dBytes = std::min<uint32_t>(dSesPageBytes(s.abStatusPage), sizeof s.abStatusPage);
        ForEachSesElement(s, dBytes, [&](uint8_t bType, uint8_t bIndex, uint32_t d) {
            if (bIndex == SES_OVERALL_ELEMENT) return;
            const uint8_t* pb = s.abStatusPage + d;
            const uint8_t bStatus = pb[0] & SES_STATUS_CODE_MASK;
            switch (bType) {
            case SES_TYPE_POWER_SUPPLY:
            case SES_TYPE_COOLING:
                if (bStatus == SES_CODE_CRITICAL || bStatus == SES_CODE_NOT_INSTALLED) fAlarm = true;
                break;
            case SES_TYPE_TEMPERATURE:
                if (bStatus == SES_CODE_CRITICAL || (pb[3] & 0x08)) fAlarm = true;
                break;
            case SES_TYPE_ALARM:
                if (bStatus == SES_CODE_CRITICAL) fAlarm = true;
                break;
            default:
                break;
            }
        });
    }
    if (fAlarm) return TRUE;
    const DRIVE_INFO_LIST* psDrives = pGetDriveInfoList();
    const uint8_t bNumber = bEnclosureNumberOfIndex(bEnclosure);
    for (uint8_t i = 0; psDrives != nullptr && i < std::min(psDrives->bDriveCount, DRIVE_INFO_RECORDS); ++i) {
        const DRIVE_INFO& d = psDrives->asDriveInfo[i];
        if ((d.bEnclosureNo & 0x7F) == bNumber &&
            (d.bDriveStatus == DRIVE_STATUS_FAILED || d.bDriveStatus == DRIVE_STATUS_MISSING))
            return TRUE;
    }
    return FALSE;
}

uint8_t fAnyEnclosureAlarmCondition() {
    for (uint8_t i = 0; i < MAX_ENCLOSURES; ++i)
        if (fEnclosureHasAlarmCondition(i) == TRUE) return TRUE;
    return FALSE;
}

uint8_t bSetAudibleAlarm(uint8_t bKind, uint8_t bEnclosure) {
    // Only eight enclosures have a mute flag: another number is no one's.
    if (bEnclosure >= ALARM_ENCLOSURES || bKind < ALARM_MUTE || bKind > ALARM_DISABLE_ALL) return 0;
    // The master keeps the alarm: a slave passes the request on.
    if (fIsMasterController() != TRUE) {
        if (fIsDualControllerActive() == TRUE) {
            INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_AUDIBLE_ALARM);
            s.abCdb[2] = bKind;
            s.abCdb[3] = bEnclosure;
            uint16_t wSlot = PARTNER_NO_SLOT;
            (void)bSendMessageToPartner(&s, &wSlot, 0);
        }
        return STATUS_OK;
    }
    switch (bKind) {
    case ALARM_MUTE:
        if (fEnclosureHasAlarmCondition(bEnclosure) == TRUE) {
            s_afMute[bEnclosure] = TRUE;
            s_fOwnMuteRequest = FALSE;
        }
        PostEvent(EVENT_ALARM_MUTED, bEnclosure);
        break;
    case ALARM_ENABLE_ALL:
        if (s_fDisabled == TRUE) {
            s_sBoard.fEnableRequest = s_sMicro.fEnableRequest = TRUE;
            s_fDisabled = FALSE;
            PostEvent(EVENT_ALARM_ENABLED);
        }
        for (uint8_t i = 0; i < ALARM_ENCLOSURES; ++i) {
            if (s_afMute[i] == TRUE || fEnclosureHasAlarmCondition(i) == TRUE) {
                s_sBoard.fEnableRequest = s_sMicro.fEnableRequest = TRUE;
                s_afMute[i] = FALSE;
            }
        }
        break;
    case ALARM_DISABLE_ALL:
        if (s_fDisabled != TRUE) {
            s_fDisabled = TRUE;
            PostEvent(EVENT_ALARM_DISABLED);
        }
        break;
    default:
        return 0;
    }
    RequestEnclosureStatusUpdate(TRUE);
    return STATUS_OK;
}

namespace {

uint8_t bPatternStep(SOUNDER& s, bool fPress) {
    const uint64_t lNow = lGetTickCount();
    const uint32_t dFault = dGetEnclosureFaultFlags();
    const bool fFault = (dFault & ~FAULT_AIRFLOW_BAY) != 0;
    // A mute with nothing left to sound for ends by itself.
    if (fMuted() && fAnyEnclosureAlarmCondition() != TRUE && !fFault) {
        s_afMute[0] = FALSE;
        fPress = false;
    }
    const bool fQuiet = fMuted() || s_fDisabled == TRUE;
    const uint16_t wWas = s.wWritten;
    switch (s.ePattern) {
    case IDLE:
        ShowPattern(s, 0, 0x5F);
        if (dFault & ~NOT_SOUNDING) {
            s.dSnapshot = dFault;
            Sound(s, TONE_FAULT);
            Enter(s, SOUNDING);
        } else if (dFault & FAULT_DRIVE) {
            s.dSnapshot = dFault;
            Sound(s, TONE_SHORT);
            Enter(s, DRIVE_FAULT);
        } else if (fPress && fAnyEnclosureAlarmCondition() != TRUE && !fFault && s_fAlarmLowNoise != TRUE && !fQuiet) {
            Sound(s, TONE_SHORT);
            if (s.fBoard) StartIndicatorTest();
            s.bTestPhase = 0;
            Enter(s, INDICATOR_TEST);
        } else if (s.wWritten != TONE_SILENT) {
            Sound(s, TONE_SILENT);
        }
        break;
    case SOUNDING:
        ShowPattern(s, 0x0E, 0x51);
        if (fEndSounding(s, fQuiet || fPress, dFault == 0)) break;
        if (lNow - s.lChanged >= SOUNDING_MS) {
            Sound(s, TONE_SILENT);
            Enter(s, REMINDING);
        }
        break;
    case REMINDING: {
        ShowPattern(s, SES_ALARM_REMIND, 0x4F);
        if (fEndSounding(s, fQuiet || fPress, dFault == 0)) break;
        // A short tone every twenty seconds.
        const uint64_t lInCycle = (lNow - s.lChanged) % REMIND_EVERY_MS;
        const uint16_t wTone = lNow - s.lChanged >= REMIND_EVERY_MS && lInCycle < REMIND_FOR_MS ? TONE_SHORT : TONE_SILENT;
        if (wTone != s.wWritten) Sound(s, wTone);
        break;
    }
    case SILENCED:
        if (dFault == 0) {
            s.dSnapshot = 0;
            Enter(s, IDLE);
        } else if (!(fMuted() && s_fDisabled == TRUE) && s.fEnableRequest == TRUE) {
            s.fEnableRequest = FALSE;
            s.dSnapshot = 0;
            Enter(s, IDLE);
        }
        break;
    case DRIVE_FAULT:
        (void)fEndSounding(s, fQuiet || fPress, !(dFault & FAULT_DRIVE));
        break;
    default:   // the indicator test
        if (dFault & ~NOT_SOUNDING) {
            s.dSnapshot = dFault;
            Sound(s, TONE_TEST);
            if (s.fBoard) RestoreIndicatorsAfterTest();
            Enter(s, SOUNDING);
        } else if (s.bTestPhase < 3) {
            if (lNow - s.lChanged >= TEST_STEP_MS) {
                constexpr uint16_t TONES[3] = {TONE_SILENT, TONE_SHORT, TONE_SILENT};
                Sound(s, TONES[s.bTestPhase++]);
                s.lChanged = lNow;
            }
        } else if (fPress) {
            Sound(s, TONE_SILENT);
            if (s.fBoard) RestoreIndicatorsAfterTest();
            Enter(s, IDLE);
        }
        break;
    }
    return ToFlag(s.wWritten != wWas);
}

}  // namespace

uint8_t fAlarmPatternStep() {
    const bool fPress = (Reg16Read(FPGA_BOARD) & FPGA_BOARD_MUTE_BUTTON) != 0;
    if (fPress) s_fMicroPress = TRUE;
    return bPatternStep(s_sBoard, fPress);
}

uint8_t bMicroPatternStep() {
    const bool fPress = s_fMicroPress == TRUE;
    s_fMicroPress = FALSE;
    (void)bPatternStep(s_sMicro, fPress);
    switch (s_sMicro.wWritten) {
    case TONE_SHORT: return MICRO_TONE_SHORT;
    case TONE_FAULT: return MICRO_TONE_FAULT;
    case TONE_TEST: return MICRO_TONE_TEST;
    default: return MICRO_SOUNDER_OFF;
    }
}

uint8_t bMicroSounderStep() {
    const uint32_t dFault = dGetEnclosureFaultFlags();
    uint8_t* apbAlarm[2] = {pGetOwnElement(ELEMENT_ALARM - 1), pGetOwnElement(ELEMENT_ALARM)};
    const bool fQuiet = fMuted() || s_fDisabled == TRUE;
    // A mute with nothing left to sound for ends by itself, so that the
    // next fault is heard.
    if (fMuted() && fAnyEnclosureAlarmCondition() != TRUE && (dFault & ~FAULT_AIRFLOW_BAY) == 0) s_afMute[0] = FALSE;
    if (s_fMicroSounding != TRUE) {
        if (dFault == 0) s_dMicroSnapshot = 0;
        if (dFault != 0 && dFault != s_dMicroSnapshot && !fQuiet && !(apbAlarm[1][3] & SES_ALARM_MUTED)) {
            s_fMicroSounding = TRUE;
            for (uint8_t* pb : apbAlarm) pb[3] |= SES_ALARM_SOUNDING;
        }
    } else if (dFault == 0 || dFault == s_dMicroSnapshot || fQuiet) {
        s_fMicroSounding = FALSE;
        s_dMicroSnapshot = dFault;
        for (uint8_t* pb : apbAlarm) pb[3] = static_cast<uint8_t>(pb[3] & ~SES_ALARM_SOUNDING);
    }
    return s_fMicroSounding == TRUE ? MICRO_SOUNDER_ON : MICRO_SOUNDER_OFF;
}

void ShowAudibleAlarmFlags() {
    const ENCLOSURE_TABLE* ps = pGetEnclosureTable();
    const uint32_t dCount = ps != nullptr ? std::min<uint32_t>(ps->dTotalNoOfEnclosures, ALARM_ENCLOSURES) : 0;
    ConsolePrintf("\nAudible Alarm Flags\n");
    ConsolePrintf("===================\n");
    for (uint32_t i = 0; i < dCount; ++i)
        ConsolePrintf("Enc %02x MUTE   %s\n", static_cast<unsigned>(i + 1), s_afMute[i] == TRUE ? "TRUE" : "FALSE");
    ConsolePrintf("DISABLE Flag  %s\n", s_fDisabled == TRUE ? "TRUE" : "FALSE");
    ConsolePrintf("\n");
}

}  // namespace fw
