// Real-time clock transfers.  Outside start-up every transfer is a small
// state machine advanced once per completed I2C byte, from the unit
// interrupt; a 900 ms countdown of the tick ends a transfer that stalls.
#include "executive/rtc.h"

#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/addresses.h"
#include "hw/hw.h"
#include "hw/i2c_unit.h"
#include "platform/i2c.h"

namespace fw {

namespace {
DATE_TIME s_asClockRecord[2];
}  // namespace

// Valid from load, so that a date asked for before the first clock read is
// an invalid record rather than a fault.
DATE_TIME* psTimeDisplay = &s_asClockRecord[0];
DATE_TIME* psTimeUpdate = &s_asClockRecord[1];
uint64_t lClockReadTick;

namespace {

constexpr uint8_t FIRST_CLOCK_REGISTER = 2;
constexpr uint8_t CLOCK_REGISTER_COUNT = 7;
constexpr uint8_t CENTURY_BIT = 0x80;
constexpr uint8_t EVENT_CLOCK_BEHIND = 200;

DATE_TIME s_sReading;  // fields assembled by the read sequence
volatile uint8_t fRTCInProgress = FALSE;
volatile uint16_t wRTCOperation = RTC_OPERATION_IDLE;
uint16_t wRTCReadByte;
uint16_t wRTCWriteByte;
uint8_t s_bRegisterAddress = FIRST_CLOCK_REGISTER;
uint8_t s_abRegisterImage[CLOCK_REGISTER_COUNT];   // what the next write sends
uint8_t s_abReadRegisters[CLOCK_REGISTER_COUNT];   // what the running read received
// Requests that came while a transfer ran; raised again when it ends.
uint8_t s_fReadDeferred = FALSE;
uint8_t s_fWriteDeferred = FALSE;

uint8_t bFromBcd(uint8_t b) { return static_cast<uint8_t>((b >> 4) * 10 + (b & 0x0F)); }
uint8_t bToBcd(uint32_t d) { return static_cast<uint8_t>((d / 10) << 4 | d % 10); }

// The seven registers as the chip holds them, into a record.
void DecodeRegisters(const uint8_t* pb, DATE_TIME* ps) {
    ps->bSecond = bFromBcd(pb[0] & 0x7F);
    ps->bMinute = bFromBcd(pb[1] & 0x7F);
    ps->bHour = bFromBcd(pb[2] & 0x3F);
    ps->bDay = bFromBcd(pb[3] & 0x3F);
    ps->bWeekday = static_cast<uint8_t>((pb[4] & 0x07) + 1);
    ps->bMonth = bFromBcd(pb[5] & 0x1F);
    ps->wYear = static_cast<uint16_t>(((pb[5] & CENTURY_BIT) ? 1900 : 2000) + bFromBcd(pb[6]));
}

void EndTransfer() {
    fRTCInProgress = FALSE;
    wRTCOperation = RTC_OPERATION_IDLE;
    wRTCReadByte = 0;
    wRTCWriteByte = 0;
    SetClockTimeoutCountdown(0);
    if (s_fWriteDeferred == TRUE) {
        s_fWriteDeferred = FALSE;
        SetClockWriteWork(TRUE);
    }
    if (s_fReadDeferred == TRUE) {
        s_fReadDeferred = FALSE;
        SetClockReadWork(TRUE);
    }
}

// A reading that finished while a new setting waits for the chip is older
// than that setting and must not become the calendar.
bool ReadingIsStale() {
    return fIsClockSettingPending() == TRUE || fGetClockWriteWork() == TRUE || s_fWriteDeferred == TRUE;
}

// The calendar follows the tick between readings of the clock: a tick that
// lost time (ticks the processor never took) leaves it behind the clock.
// Said on the console and in the event log when a reading finds it more
// than a second behind; the reading then sets it right.
void CheckCalendarAgainstReading() {
    if (fIsInitializationComplete() != TRUE || bValidateDateTime(&s_sReading) != STATUS_OK || ReadingIsStale()) return;
    DATE_TIME sCalendar;
    uint32_t dCalendar = 0, dClock = 0;
    if (GetDateTime(&sCalendar) != STATUS_OK || bDateTimeToSeconds(&sCalendar, &dCalendar) != STATUS_OK ||
        bDateTimeToSeconds(&s_sReading, &dClock) != STATUS_OK || dClock <= dCalendar + 1) {
        return;
    }
    const uint32_t dBehind = dClock - dCalendar;
    ConsolePrintf("Controller Clock %u Seconds Behind Real Time Clock\n", dBehind);
    PostEvent(EVENT_CLOCK_BEHIND, static_cast<uint8_t>(dBehind >> 24), static_cast<uint8_t>(dBehind >> 16),
              static_cast<uint8_t>(dBehind >> 8), static_cast<uint8_t>(dBehind));
}

void FinishRead() {
    CheckCalendarAgainstReading();
    *psTimeUpdate = s_sReading;
    if (bValidateDateTime(psTimeUpdate) == STATUS_OK && !ReadingIsStale()) {
        DATE_TIME* psFresh = psTimeUpdate;
        psTimeUpdate = psTimeDisplay;
        psTimeDisplay = psFresh;
        lClockReadTick = lGetTickCount();
        SetCalendarReference(lClockReadTick);
    }
    EndTransfer();
}

bool BeginTransfer(uint16_t wOperation, uint8_t* pfDeferred) {
    if (fRTCInProgress == TRUE) {
        *pfDeferred = TRUE;
        return false;
    }
    wRTCOperation = wOperation;
    fRTCInProgress = TRUE;
    SetClockTimeoutCountdown(RTC_TRANSFER_TIMEOUT_MS);
    return true;
}

void ReadSequenceStep(uint8_t bUnit) {
    if (fI2cBusError(bUnit) == TRUE) {
        ClockTransferTimeout();
        return;
    }
    const uint16_t wStep = wRTCReadByte++;
    if (wStep >= 4 && wStep <= 10) {
        s_abReadRegisters[wStep - 4] = bI2cGetReceivedByte(bUnit);
    }
    switch (wStep) {
    case 1: I2cSendByte(bUnit, s_bRegisterAddress, FALSE); break;
    case 2: I2cStartTransfer(bUnit, RTC_DEVICE_ADDRESS | 1); break;
    case 3: I2cReadByte(bUnit, FALSE); break;
    case 4: case 5: case 6: case 7: case 8: I2cReadByte(bUnit, FALSE); break;
    case 9: I2cReadByte(bUnit, TRUE); break;
    case 10:
        DecodeRegisters(s_abReadRegisters, &s_sReading);
        FinishRead();
        break;
    default: EndTransfer(); break;
    }
}

void WriteSequenceStep(uint8_t bUnit) {
    if (fI2cBusError(bUnit) == TRUE) {
        ClockTransferTimeout();
        return;
    }
    const uint16_t wStep = wRTCWriteByte++;
    if (wStep == 1) {
        I2cSendByte(bUnit, s_bRegisterAddress, FALSE);
    } else if (wStep >= 2 && wStep <= 8) {
        I2cSendByte(bUnit, s_abRegisterImage[wStep - 2], ToFlag(wStep == 8));
    } else {
        EndTransfer();
    }
}

void SequenceStep(uint8_t bUnit) {
    if (wRTCOperation == RTC_OPERATION_READ) {
        ReadSequenceStep(bUnit);
    } else if (wRTCOperation == RTC_OPERATION_WRITE) {
        WriteSequenceStep(bUnit);
    }
}

}  // namespace

uint8_t bGetClockI2cUnit() { return fIsZ8Q2Controller() == TRUE ? 1 : 0; }

void InitClockReference() {
    psTimeDisplay = &s_asClockRecord[0];
    psTimeUpdate = &s_asClockRecord[1];
    lClockReadTick = lGetTickCount();
    SetCalendarReference(lClockReadTick);
}

void ReadClockForMainLoop() {
    uint8_t abRegisters[CLOCK_REGISTER_COUNT] = {};
    DATE_TIME sReading = {};
    if (bI2cReadRegisters(bGetClockI2cUnit(), RTC_DEVICE_ADDRESS, FIRST_CLOCK_REGISTER, abRegisters,
                          CLOCK_REGISTER_COUNT) != STATUS_OK) {
        return;
    }
    DecodeRegisters(abRegisters, &sReading);
    // A reading the chip garbled leaves start-up's count as it was.
    if (bValidateDateTime(&sReading) != STATUS_OK) return;
    *psTimeUpdate = sReading;
    lClockReadTick = lGetTickCount();
    DATE_TIME sNow;
    (void)GetDateTime(&sNow);   // start-up's last reading: the main loop's reference
}

void ReadClockAtStart() {
    uint8_t abRegisters[CLOCK_REGISTER_COUNT] = {};
    DATE_TIME sReading = {};
    // A clock that does not answer holds no valid time: the records stay
    // zero, which the date check refuses.
    if (bI2cReadRegisters(bGetClockI2cUnit(), RTC_DEVICE_ADDRESS, FIRST_CLOCK_REGISTER, abRegisters,
                          CLOCK_REGISTER_COUNT) == STATUS_OK) {
        DecodeRegisters(abRegisters, &sReading);
    }
    s_asClockRecord[0] = sReading;
    s_asClockRecord[1] = sReading;
    lClockReadTick = lGetTickCount();
}

void StartClockRead() {
    if (!BeginTransfer(RTC_OPERATION_READ, &s_fReadDeferred)) return;
    wRTCReadByte = 1;
    I2cStartTransfer(bGetClockI2cUnit(), RTC_DEVICE_ADDRESS);
}

void StartClockWrite() {
    if (!BeginTransfer(RTC_OPERATION_WRITE, &s_fWriteDeferred)) return;
    wRTCWriteByte = 1;
    I2cStartTransfer(bGetClockI2cUnit(), RTC_DEVICE_ADDRESS);
}

void ClockReadStep() { SequenceStep(0); }

void ClockTransferComplete() { SequenceStep(1); }

void ClockTransferTimeout() {
    if (fIsZ8Q2Controller() == TRUE) {
        const uint32_t dStatus = Reg32Read(dI2cUnitRegister(1, I2C_ISR));
        if ((dStatus & (I2C_ISR_UB | I2C_ISR_IBB)) != 0 && bReinitI2cUnit(1) != STATUS_OK) {
            PostEvent(122, 1, 0, 0, 0, 0, 0, 2, static_cast<uint8_t>(dStatus >> 24),
                      static_cast<uint8_t>(dStatus >> 16), static_cast<uint8_t>(dStatus >> 8),
                      static_cast<uint8_t>(dStatus));
        }
    }
    EndTransfer();
}

void SetClockBusy(uint8_t f) { fRTCInProgress = f; }

uint8_t fIsClockBusy() { return fRTCInProgress; }

uint16_t wGetClockOperation() { return wRTCOperation; }

void FillClockRegisterImage(const DATE_TIME* ps) {
    s_abRegisterImage[0] = bToBcd(ps->bSecond);
    s_abRegisterImage[1] = bToBcd(ps->bMinute);
    s_abRegisterImage[2] = bToBcd(ps->bHour);
    s_abRegisterImage[3] = bToBcd(ps->bDay);
    s_abRegisterImage[4] = static_cast<uint8_t>((ps->bWeekday - 1) & 0x07);
    s_abRegisterImage[5] = static_cast<uint8_t>(bToBcd(ps->bMonth) | (ps->wYear < 2000 ? CENTURY_BIT : 0));
    s_abRegisterImage[6] = bToBcd(ps->wYear % 100);
}

void ShowRtcState() {
    ConsolePrintf("psTimeDisplay  = %x ", dAddressWord(psTimeDisplay));
    PrintDateTime(psTimeDisplay);
    ConsolePrintf("\npsTimeUpdate   = %x ", dAddressWord(psTimeUpdate));
    PrintDateTime(psTimeUpdate);
    ConsolePrintf("\nfRTCInProgress = %x \n", fRTCInProgress);
    ConsolePrintf("wRTCOperation  = %x \n", wRTCOperation);
    ConsolePrintf("wRTCWriteByte  = %x \n", wRTCWriteByte);
    ConsolePrintf("wRTCReadByte   = %x \n", wRTCReadByte);
    ConsolePrintf("RTC Flag = %x \n", fGetClockReadWork());
    ConsolePrintf("RTC Write Flag = %x \n", fGetClockWriteWork());
}

uint8_t bCheckPartnerTime(const DATE_TIME* psPartner, uint8_t f) {
    DATE_TIME sOwn;
    uint32_t dDifference = 0;
    GetDateTime(&sOwn);
    if (bCompareDateTimes(psPartner, &sOwn, &dDifference) == 0) return 0;
    if (dDifference == 0 || (fIsControllerSlot1() == TRUE && dDifference < 7 && f == TRUE)) return 0;
    return STATUS_OK;
}

}  // namespace fw
