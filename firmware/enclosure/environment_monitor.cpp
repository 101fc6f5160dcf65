// The own chassis' environment monitor: short steps from the main loop
// that read the board's fan, supply and presence lines and the chassis
// sensors, keep the chassis' element states current, and set the fans.
#include "enclosure/environment_monitor.h"

#include <algorithm>
#include <iterator>
#include <cstring>

#include "console/console_menu.h"
#include "console/option_settings.h"
#include "enclosure/drive_management.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/microcontroller_link.h"
#include "enclosure/own_enclosure.h"
#include "eventlog/event_log.h"
#include "executive/rtc.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/chassis_microcontroller.h"
#include "hw/fpga.h"
#include "hw/hw.h"
#include "hw/ses.h"
#include "partner/partner_link.h"
#include "platform/i2c.h"

namespace fw {

namespace {

constexpr uint8_t BACKPLANE_DIRECT = 6;
constexpr uint8_t ELEMENT_SUPPLIES = 34;
constexpr uint8_t ELEMENT_COOLING = 37;
constexpr uint8_t ELEMENT_TEMPERATURE = 42;
constexpr uint8_t ELEMENT_ARRAY = 17;
constexpr uint8_t INDICATOR_SUPPLY = 17;
constexpr uint8_t INDICATOR_FAN = 18;
constexpr uint8_t FANS = 2;
constexpr uint8_t SUPPLIES = 2;
constexpr uint32_t FAN_FAILED_BELOW_RPM = 2305;
constexpr uint32_t TACHOMETER_POLLS = 700000;
constexpr uint8_t SPEED_FULL = 7;
constexpr uint8_t LEVEL_INITIAL = 16;
constexpr uint8_t LEVEL_MIN = 2;
constexpr uint8_t LEVEL_MAX = 31;
constexpr uint16_t LOW_NOISE_RPM = 4500;
constexpr uint16_t FAN_HYSTERESIS_RPM = 126;
constexpr uint8_t POLL_LAST_STEP = 30;
constexpr uint8_t EVENT_TEMPERATURE_SHUTDOWN = 3;
constexpr uint8_t EVENT_TEMPERATURE_WARNING = 4;
constexpr uint8_t BOARD_SENSORS = 3;
constexpr uint8_t READING_INVALID = 126;
// A sensor read that has not finished by then is given up: the unit is
// freed and the next read starts over.
constexpr uint64_t SENSOR_READ_LIMIT_MS = 100;

constexpr uint8_t LIMIT_TEMPERATURE[2][11] = {{30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40},
                                              {36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46}};
constexpr uint16_t TARGET_RPM[2][11] = {{3000, 3230, 3460, 3690, 3920, 4150, 4380, 4610, 4840, 5070, 5300},
                                        {5200, 5300, 5400, 5500, 5600, 5700, 5800, 5900, 6000, 6100, 6200}};
// Bays whose emptiness opens a hole in the airflow.
constexpr uint16_t AIRFLOW_BAYS = (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5) | (1u << 9) | (1u << 10);

struct Zone {
    uint8_t a, b, c, d;
};
constexpr Zone ZONES[3] = {{34, 29, 37, 32}, {38, 33, 41, 36}, {42, 36, 44, 39}};
enum ZoneState : uint8_t { ZONE_LOW, ZONE_MID, ZONE_HIGH };
constexpr uint16_t ZONE_RPM[3] = {4800, 6000, 7200};

uint32_t s_dEnclosureFault = 0;
uint32_t s_dCoolingFault = 0;
uint16_t s_awFanRpm[FANS];
uint8_t s_abFanLevel[FANS];
uint8_t s_fFanChangePending = FALSE;
uint8_t s_abSupplyDebounce[SUPPLIES];
uint8_t s_abSensorOver[2];
uint8_t s_bPollStep = 1;
uint8_t s_fFanMeasureStarted = FALSE;
uint8_t s_fPassCompleted = FALSE;
// The bays' presence has been read since the monitor started: until then the
// chassis elements call every bay installed.
uint8_t s_fBayPresenceRead = FALSE;
uint8_t s_aeZoneState[3];
uint8_t s_fAirflowHole = FALSE;
// Nothing of the chassis is touched before the chassis' tables are set up.
uint8_t s_fMonitorReady = FALSE;

// Board temperatures.
uint8_t s_abPrevious[BOARD_SENSORS];
uint8_t s_abTaken[BOARD_SENSORS];
uint8_t s_abWarned[BOARD_SENSORS];
uint8_t s_afHot[BOARD_SENSORS];

// The chassis sensor link.
volatile uint8_t s_bLinkStep = 0;          // 0 idle, 1 address sent, 2 byte read
volatile uint8_t s_bLinkSensor = 0;
volatile uint8_t s_abLinkReading[2];
volatile uint8_t s_fLinkReadingsReady = FALSE;
uint64_t s_lLinkStart = 0;

uint8_t* pElement(uint8_t b) { return pGetOwnElement(b); }
uint8_t bStatus(uint8_t b) { return pElement(b)[0] & SES_STATUS_CODE_MASK; }
void SetStatus(uint8_t b, uint8_t bCode) {
    uint8_t* pb = pElement(b);
    pb[0] = static_cast<uint8_t>((pb[0] & ~SES_STATUS_CODE_MASK) | bCode);
}
void SetSpeedCode(uint8_t b, uint8_t bCode) {
    uint8_t* pb = pElement(b);
    pb[3] = static_cast<uint8_t>((pb[3] & ~SES_COOLING_SPEED_MASK) | bCode);
}
bool fDirect() { return bGetBackplaneType() == BACKPLANE_DIRECT; }
uint8_t bTable() { return fDirect() ? 1 : 0; }
bool fFanOk(uint8_t bFan) { return bStatus(static_cast<uint8_t>(ELEMENT_COOLING + 1 + bFan)) == SES_CODE_OK; }
bool fAnyFanOk() { return fFanOk(0) || fFanOk(1); }
void SetFaultBits(uint32_t dBits, bool fSet) {
    if (fSet) {
        s_dEnclosureFault |= dBits;
        s_dCoolingFault |= dBits;
    } else {
        s_dEnclosureFault &= ~dBits;
        s_dCoolingFault &= ~dBits;
    }
}
void MarkFanIndicator() {
    const OWN_INDICATOR* ps = psGetOwnIndicator(INDICATOR_FAN);
    SetOwnIndicator(INDICATOR_FAN, ps->bCode, ps->bSubState, TRUE);
}
void FullSpeed() {
    SetSpeedCode(ELEMENT_COOLING, SPEED_FULL);
    s_fFanChangePending = TRUE;
}

void FanMeasurementStep() {
    // With a microcontroller the fans are counted by it, at its next turn.
    if (fIsMicrocontrollerPresent() == TRUE) {
        RequestMicroFanReading();
        return;
    }
    if (s_fFanMeasureStarted != TRUE) {
        for (uint8_t f = 0; f < FANS; ++f) Reg16Write(FPGA_FAN_TACHOMETER + 2u * f, FPGA_TACHOMETER_START);
        s_fFanMeasureStarted = TRUE;
        return;
    }
    s_fFanMeasureStarted = FALSE;
    for (uint8_t f = 0; f < FANS; ++f) {
        const uint32_t dRegister = FPGA_FAN_TACHOMETER + 2u * f;
        uint16_t w = Reg16Read(dRegister);
        for (uint32_t i = 1; i < TACHOMETER_POLLS && !(w & FPGA_TACHOMETER_DONE); ++i) w = Reg16Read(dRegister);
        Reg16Write(dRegister, 0);
        ApplyFanReading(f, w & FPGA_TACHOMETER_RPM);
    }
}

void SupplyStep() {
    const uint16_t wLines = Reg16Read(FPGA_BOARD);
    const uint8_t bGood = static_cast<uint8_t>(((wLines & FPGA_BOARD_SUPPLY0_GOOD) ? 1 : 0) |
                                               ((wLines & FPGA_BOARD_SUPPLY1_GOOD) ? 2 : 0));
    const uint8_t bFault = static_cast<uint8_t>(((wLines & FPGA_BOARD_SUPPLY0_FAULT) ? 1 : 0) |
                                                ((wLines & FPGA_BOARD_SUPPLY1_FAULT) ? 2 : 0));
    ApplySupplyLines(bGood, bFault);
}

void BayPresenceStep() { ApplyBayPresence(Reg16Read(FPGA_BAY_PRESENCE)); }

uint8_t bZoneOfDrives() {
    const ENCLOSURE_TABLE* ps = pGetEnclosureTable();
    const uint8_t bDrives = ps != nullptr ? ps->asEnclosure[0].bNoOfDrivesPresent : 0;
    if (bDrives == 0) return 0xFF;
    return bDrives <= 4 ? 0 : bDrives <= 8 ? 1 : 2;
}

uint16_t wZoneTarget(uint8_t bTemperature) {
    const uint8_t bZone = bZoneOfDrives();
    if (bZone == 0xFF || s_dCoolingFault != 0) return ZONE_RPM[ZONE_HIGH];
    const Zone& z = ZONES[bZone];
    uint8_t& e = s_aeZoneState[bZone];
    switch (e) {
    case ZONE_LOW:
        if (bTemperature > z.a) e = ZONE_MID;
        break;
    case ZONE_MID:
        if (bTemperature > z.c) e = ZONE_HIGH;
        else if (bTemperature < z.b) e = ZONE_LOW;
        break;
    default:
        if (bTemperature < z.d) e = ZONE_MID;
        break;
    }
    return ZONE_RPM[e];
}

void FinishLink() {
    s_bLinkStep = 0;
    s_bLinkSensor = 0;
}

}  // namespace

void ApplyFanReading(uint8_t f, uint32_t dRpm) {
    if (f >= FANS) return;
    s_awFanRpm[f] = static_cast<uint16_t>(std::min<uint32_t>(dRpm, 0xFFFF));
    const uint8_t bElement = static_cast<uint8_t>(ELEMENT_COOLING + 1 + f);
    SetSpeedCode(bElement, bRpmToSpeedCode(s_awFanRpm[f]));
    const uint8_t bWas = bStatus(bElement);
    const uint32_t dBit = f == 0 ? FAULT_FAN0 : FAULT_FAN1;
    if (s_awFanRpm[f] < FAN_FAILED_BELOW_RPM) {
        if (bWas != SES_CODE_CRITICAL && bWas != SES_CODE_NOT_INSTALLED) {
            SetStatus(bElement, SES_CODE_CRITICAL);
            SetFaultBits(dBit, true);
            FullSpeed();
        }
    } else if (bWas != SES_CODE_OK) {
        SetStatus(bElement, SES_CODE_OK);
        SetFaultBits(dBit, false);
        if (s_dCoolingFault == 0) {
            SetSpeedCode(ELEMENT_COOLING, 1);
            s_fFanChangePending = TRUE;
        }
    }
    if (bStatus(bElement) != bWas) MarkFanIndicator();
    SetStatus(ELEMENT_COOLING, fFanOk(0) && fFanOk(1) ? SES_CODE_OK : SES_CODE_CRITICAL);
    if (fDirect()) DeriveControllerIndicator();
}

void SetFanLevel(uint8_t bFan, uint8_t bLevel) {
    if (bFan < FANS) s_abFanLevel[bFan] = std::clamp(bLevel, LEVEL_MIN, LEVEL_MAX);
}

uint8_t bMicroFanDriveValue(uint8_t bFan) {
    if (s_dCoolingFault != 0 && fIsFanLowNoiseMode() != TRUE) return MICRO_FAN_DRIVE_FULL;
    return static_cast<uint8_t>(MICRO_FAN_DRIVE_BASE + s_abFanLevel[bFan < FANS ? bFan : 0]);
}

void ApplySupplyLines(uint8_t bGood, uint8_t bFault) {
    if (s_fMonitorReady != TRUE) return;
    uint8_t bCounted = 0;
    for (uint8_t s = 0; s < SUPPLIES; ++s) {
        const uint8_t bElement = static_cast<uint8_t>(ELEMENT_SUPPLIES + 1 + s);
        uint8_t* pb = pElement(bElement);
        const uint32_t dBit = s == 0 ? FAULT_SUPPLY0 : FAULT_SUPPLY1;
        if ((bGood >> s) & 1) {
            s_abSupplyDebounce[s] = 0;
            SetStatus(bElement, SES_CODE_OK);
            ++bCounted;
            SetFaultBits(dBit, false);
            pb[1] |= 0x03;
        } else if ((bFault >> s) & 1) {
            if (s_abSupplyDebounce[s] < 2) ++s_abSupplyDebounce[s];
            if (s_abSupplyDebounce[s] == 2) {
                pb[1] |= 0x03;
                SetSpeedCode(ELEMENT_COOLING, SPEED_FULL);
                SetStatus(bElement, SES_CODE_CRITICAL);
                SetFaultBits(dBit, true);
                ++bCounted;
            }
        } else {
            // Neither line: the supply is out of its bay.  It counts as a
            // failed supply, so that the alarm and the fans answer it.
            pb[1] = static_cast<uint8_t>(pb[1] & ~0x01);
            s_abSupplyDebounce[s] = 0;
            SetStatus(bElement, SES_CODE_NOT_INSTALLED);
            SetFaultBits(dBit, true);
        }
    }
    const bool fBothOk = bStatus(ELEMENT_SUPPLIES + 1) == SES_CODE_OK && bStatus(ELEMENT_SUPPLIES + 2) == SES_CODE_OK;
    SetStatus(ELEMENT_SUPPLIES, bCounted == SUPPLIES && !fBothOk ? SES_CODE_CRITICAL : SES_CODE_OK);
    if (bStatus(ELEMENT_SUPPLIES + 1) == SES_CODE_NOT_INSTALLED || bStatus(ELEMENT_SUPPLIES + 2) == SES_CODE_NOT_INSTALLED)
        FullSpeed();
    const OWN_INDICATOR* ps = psGetOwnIndicator(INDICATOR_SUPPLY);
    SetOwnIndicator(INDICATOR_SUPPLY, ps->bCode, ps->bSubState, TRUE);
    if (fDirect()) DeriveControllerIndicator();
}

void ApplyBayPresence(uint16_t wPresent) {
    if (s_fMonitorReady != TRUE) return;
    s_fBayPresenceRead = TRUE;
    bool fHole = false;
    for (uint8_t i = 0; i < OWN_BAYS; ++i) {
        const bool fPresent = (wPresent >> i) & 1;
        const uint8_t bWas = bStatus(static_cast<uint8_t>(1 + i));
        // A bay that holds a drive keeps what its elements say of it (a
        // fault, a hot spare): only a change of presence rewrites them, so
        // that a fault light does not go out between two control pages.
        if ((bWas == SES_CODE_NOT_INSTALLED) == fPresent) SetOwnBayPresent(static_cast<uint8_t>(i + 1), ToFlag(fPresent));
        if (!fPresent && ((AIRFLOW_BAYS >> i) & 1)) fHole = true;
    }
    if (fHole && s_fAirflowHole != TRUE) {
        if (bGetBackplaneType() == 0) s_dCoolingFault |= FAULT_AIRFLOW_BAY;
        FullSpeed();
    } else if (!fHole) {
        s_dCoolingFault &= ~FAULT_AIRFLOW_BAY;
    }
    s_fAirflowHole = ToFlag(fHole);
}

void ResetEnvironmentMonitor() {
    s_dEnclosureFault = s_dCoolingFault = 0;
    std::fill(std::begin(s_awFanRpm), std::end(s_awFanRpm), 0);
    std::fill(std::begin(s_abFanLevel), std::end(s_abFanLevel), LEVEL_INITIAL);
    s_fFanChangePending = FALSE;
    std::fill(std::begin(s_abSupplyDebounce), std::end(s_abSupplyDebounce), 0);
    std::fill(std::begin(s_abSensorOver), std::end(s_abSensorOver), 0);
    s_bPollStep = 1;
    s_fFanMeasureStarted = FALSE;
    s_fPassCompleted = FALSE;
    s_fBayPresenceRead = FALSE;
    std::fill(std::begin(s_aeZoneState), std::end(s_aeZoneState), ZONE_LOW);
    s_fAirflowHole = FALSE;
    std::fill(std::begin(s_abPrevious), std::end(s_abPrevious), 0);
    std::fill(std::begin(s_abTaken), std::end(s_abTaken), 0);
    std::fill(std::begin(s_abWarned), std::end(s_abWarned), 0);
    std::fill(std::begin(s_afHot), std::end(s_afHot), FALSE);
    s_fLinkReadingsReady = FALSE;
    FinishLink();
    ResetMicrocontrollerLink();
    s_fMonitorReady = TRUE;
}

uint32_t dGetEnclosureFaultFlags() { return s_dEnclosureFault; }
uint8_t fIsBayPresenceKnown() { return s_fBayPresenceRead; }
uint32_t dGetCoolingFaultFlags() { return s_dCoolingFault; }
void SetEnclosureFaultBit(uint32_t dBit, uint8_t fSet) {
    if (fSet == TRUE) s_dEnclosureFault |= dBit; else s_dEnclosureFault &= ~dBit;
}
uint32_t dGetFanRpm(uint8_t bFan) { return bFan < FANS ? s_awFanRpm[bFan] : 0; }

uint8_t bRpmToSpeedCode(uint32_t dRpm) {
    const uint16_t* pw = TARGET_RPM[bTable()];
    if (dRpm >= pw[10]) return 7;
    if (dRpm >= pw[8]) return 6;
    if (dRpm >= pw[6]) return 5;
    if (dRpm >= pw[4]) return 4;
    if (dRpm >= pw[2]) return 3;
    if (dRpm >= pw[1]) return 2;
    return 1;
}

void ApplyFanDrive() {
    const bool fForce = s_dCoolingFault != 0 && fIsFanLowNoiseMode() != TRUE;
    for (uint8_t f = 0; f < FANS; ++f) {
        if (!fFanOk(f)) continue;
        const uint8_t bElement = static_cast<uint8_t>(ELEMENT_COOLING + 1 + f);
        uint16_t wDrive;
        if (fForce) {
            SetSpeedCode(bElement, SPEED_FULL);
            SetSpeedCode(ELEMENT_COOLING, SPEED_FULL);
            wDrive = 0;
        } else {
            SetSpeedCode(ELEMENT_COOLING, pElement(bElement)[3] & SES_COOLING_SPEED_MASK);
            wDrive = static_cast<uint16_t>(3 - s_abFanLevel[f] / 8);
        }
        Reg16Write(FPGA_FAN_DRIVE + 2u * f, wDrive);
    }
    if (fIsMicrocontrollerPresent() == TRUE) RequestMicroFanDrive();
    s_fFanChangePending = FALSE;
}

void bUpdateSensorTemperature(uint8_t bSensor, uint8_t bReading) {
    if (bSensor > 1) return;
    const uint8_t* pbThreshold = pGetOwnThreshold(bSensor);
    // One reading past the critical limit may be a glitch: the second in a
    // row is taken.
    if (bReading > pbThreshold[0]) {
        if (s_abSensorOver[bSensor] == 0) {
            s_abSensorOver[bSensor] = 1;
            return;
        }
    }
    s_abSensorOver[bSensor] = 0;
    const uint8_t bElement = static_cast<uint8_t>(ELEMENT_TEMPERATURE + 1 + bSensor);
    uint8_t* pb = pElement(bElement);
    uint8_t* pbOverall = pElement(ELEMENT_TEMPERATURE);
    pb[2] = pbOverall[2] = static_cast<uint8_t>(bReading + 20);
    const uint8_t bWas = bStatus(bElement);
    const uint32_t dBit = bSensor == 0 ? FAULT_SENSOR0 : FAULT_SENSOR1;
    if (pbThreshold[0] != 0 && pbThreshold[0] < bReading) {
        SetStatus(bElement, SES_CODE_CRITICAL);
        for (uint8_t* p : {pb, pbOverall}) p[3] = static_cast<uint8_t>((p[3] & ~0x04) | 0x08);
        s_dEnclosureFault |= dBit;
        if ((pElement(ELEMENT_COOLING)[3] & SES_COOLING_SPEED_MASK) != SPEED_FULL) FullSpeed();
    } else if (pbThreshold[1] != 0 && pbThreshold[1] < bReading) {
        SetStatus(bElement, SES_CODE_NONCRITICAL);
        for (uint8_t* p : {pb, pbOverall}) p[3] = static_cast<uint8_t>((p[3] & ~0x08) | 0x04);
    } else {
        SetStatus(bElement, SES_CODE_OK);
        for (uint8_t* p : {pb, pbOverall}) {
            p[1] = 0;
            p[3] = static_cast<uint8_t>(p[3] & ~0x0F);
        }
        s_dEnclosureFault &= ~dBit;
    }
    if (bStatus(bElement) != bWas) MarkFanIndicator();
    if (fDirect()) DeriveControllerIndicator();
}

uint16_t wFanControlStep() {
    uint8_t bTemperature = 0;
    if (!fDirect()) bTemperature = s_abTaken[0];
    for (uint8_t s = 0; s < 2; ++s) {
        const uint8_t bStored = pElement(static_cast<uint8_t>(ELEMENT_TEMPERATURE + 1 + s))[2];
        if (bStored >= 20) bTemperature = std::max<uint8_t>(bTemperature, static_cast<uint8_t>(bStored - 20));
    }
    uint16_t wTarget;
    if (fIsFanLowNoiseMode() == TRUE) {
        wTarget = LOW_NOISE_RPM;
    } else if (fDirect()) {
        wTarget = wZoneTarget(bTemperature);
    } else {
        wTarget = TARGET_RPM[0][10];
        for (uint8_t i = 0; i < 11; ++i) {
            if (LIMIT_TEMPERATURE[0][i] >= bTemperature) {
                wTarget = TARGET_RPM[0][i];
                break;
            }
        }
    }
    for (uint8_t f = 0; f < FANS; ++f) {
        if (wTarget >= s_awFanRpm[f] + FAN_HYSTERESIS_RPM && s_abFanLevel[f] < LEVEL_MAX) {
            ++s_abFanLevel[f];
            s_fFanChangePending = TRUE;
        } else if (s_awFanRpm[f] >= wTarget + FAN_HYSTERESIS_RPM && s_abFanLevel[f] > LEVEL_MIN) {
            --s_abFanLevel[f];
            s_fFanChangePending = TRUE;
        }
    }
    if (s_fFanChangePending == TRUE && fAnyFanOk()) ApplyFanDrive();
    return wTarget;
}

uint8_t PollOwnEnclosure() {
    if (s_fMonitorReady != TRUE) return STATUS_OK;
    // The microcontroller's turn leaves the unit to the sensors when their
    // read is due.
    if (s_bPollStep <= POLL_LAST_STEP) MicrocontrollerLinkService();
    // The sensor pair the link read: taken here, away from the interrupt.
    if (s_fLinkReadingsReady == TRUE) {
        s_fLinkReadingsReady = FALSE;
        bUpdateSensorTemperature(0, s_abLinkReading[0]);
        bUpdateSensorTemperature(1, s_abLinkReading[1]);
        (void)wFanControlStep();
    }
    if (fDirect() && fAlarmPatternStep() == TRUE) return STATUS_OK;
    if (s_fFanChangePending == TRUE && fAnyFanOk()) {
        ApplyFanDrive();
        return STATUS_OK;
    }
    if (bUpdateIndicators() == TRUE) return STATUS_OK;
    const uint8_t c = s_bPollStep;
    if (c & 1) {
        if (c == 1) {
            FanMeasurementStep();
        } else if (c == 21) {
            SupplyStep();
            BayPresenceStep();
        } else if (c > POLL_LAST_STEP) {
            StartChassisSensorRead();
            s_fPassCompleted = TRUE;
            s_bPollStep = 0;
        }
    } else {
        BayPresenceStep();
    }
    ++s_bPollStep;
    return STATUS_OK;
}

// ---- the chassis sensors on I2C unit 0 ----

uint8_t fIsChassisSensorBusy() { return ToFlag(s_bLinkStep != 0); }
uint8_t fIsChassisLinkBusy() { return ToFlag(s_bLinkStep != 0 || fIsMicrocontrollerBusy() == TRUE); }

void StartChassisSensorRead() {
    if (s_bLinkStep != 0) {
        // A read that never finished keeps nobody waiting: the unit is
        // freed and the read starts over.
        if (lGetTickCount() - s_lLinkStart < SENSOR_READ_LIMIT_MS) return;
        (void)bReinitI2cUnit(0);
        FinishLink();
    }
    if (fIsMicrocontrollerBusy() == TRUE) return;
    // The clock takes its turn on the unit when it is wired there.
    if (bGetClockI2cUnit() == 0 && wGetClockOperation() != RTC_OPERATION_IDLE) return;
    s_lLinkStart = lGetTickCount();
    s_bLinkSensor = 0;
    s_bLinkStep = 1;
    I2cStartTransfer(0, CHASSIS_SENSOR0_ADDRESS | 1);
}

void ChassisSensorStep() {
    if (s_bLinkStep == 0) return;
    if (fI2cBusError(0) == TRUE) {
        // A sensor that does not answer is read again next pass.
        (void)bReinitI2cUnit(0);
        FinishLink();
        return;
    }
    if (s_bLinkStep == 1) {
        s_bLinkStep = 2;
        I2cReadByte(0, TRUE);
        return;
    }
    s_abLinkReading[s_bLinkSensor] = bI2cGetReceivedByte(0);
    if (s_bLinkSensor == 0) {
        s_bLinkSensor = 1;
        s_bLinkStep = 1;
        I2cStartTransfer(0, CHASSIS_SENSOR1_ADDRESS | 1);
        return;
    }
    FinishLink();
    s_fLinkReadingsReady = TRUE;
}

// ---- the board's own temperatures ----

const uint8_t* pGetTemperatureReadings() { return s_abTaken; }

void MonitorTemperatures() {
    const bool fDiagnostics = bGetDiagnosticsModeLevel() == 5;
    for (uint8_t i = 0; i < BOARD_SENSORS; ++i) {
        uint8_t bWarning = i == 0 ? 93 : 55, bCritical = i == 0 ? 96 : 58, bShutdown = i == 0 ? 98 : 60;
        if (fDiagnostics) bWarning = bCritical = bShutdown = i == 2 ? 120 : 100;
        if (fDiagnostics && i == 2) bWarning = bCritical = 100;
        const uint8_t bReading = bGetTemperature(i);
        // A reading counts once two in a row agree; one the sensor cannot
        // give is never taken.
        if (bReading != s_abPrevious[i] || bReading >= READING_INVALID) {
            s_abPrevious[i] = bReading;
            continue;
        }
        s_abTaken[i] = bReading;
        const uint8_t bController = bGetControllerNumber();
        if (bReading >= bShutdown) {
            PostEvent(EVENT_TEMPERATURE_SHUTDOWN, bReading, bController, bShutdown, i);
            if (fIsShutdownPending() != TRUE) StartShutdown();
        }
        s_afHot[i] = ToFlag(bReading >= bCritical);
        if (bReading < bWarning) {
            if (bReading + 2 <= bWarning) s_abWarned[i] = 0;
        } else if (bReading > s_abWarned[i]) {
            s_abWarned[i] = bReading;
            PostEvent(EVENT_TEMPERATURE_WARNING, bReading, bController, bShutdown, i);
        }
    }
    const bool fHot = s_afHot[0] == TRUE || s_afHot[1] == TRUE || s_afHot[2] == TRUE;
    SetWritebackCachingSuppressed(ToFlag(fHot));
}

}  // namespace fw
