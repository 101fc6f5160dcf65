// The real-time clock on I2C (device address 0xA2): read at start-up, read
// again on request, written after a new date and time was set.  It talks
// through the platform's I2C units, so the top layer defines it (rtc.cpp).
#pragma once

#include <cstdint>

#include "executive/date_time.h"

namespace fw {

constexpr uint8_t RTC_DEVICE_ADDRESS = 0xA2;
constexpr uint16_t RTC_TRANSFER_TIMEOUT_MS = 900;

constexpr uint16_t RTC_OPERATION_IDLE = 0;
constexpr uint16_t RTC_OPERATION_READ = 1;
constexpr uint16_t RTC_OPERATION_WRITE = 2;

// The calendar reference and the record a read fills (the clock shadow);
// a valid read exchanges them.
extern DATE_TIME* psTimeDisplay;
extern DATE_TIME* psTimeUpdate;
// Tick at which the clock shadow was read.
extern uint64_t lClockReadTick;

void InitClockReference();
void ReadClockAtStart();
// Start-up counts the calendar on, in whole seconds of the tick, from the
// reading made at its beginning; the main loop starts from a fresh reading
// instead, so that nothing start-up's count missed or added stays in it.
// Called last in start-up; an unreadable or invalid clock keeps the count.
void ReadClockForMainLoop();
void StartClockRead();
void StartClockWrite();
void ClockReadStep();           // unit-0 sequence step
void ClockTransferComplete();   // unit-1 sequence step
void ClockTransferTimeout();
void SetClockBusy(uint8_t f);
uint8_t fIsClockBusy();
uint16_t wGetClockOperation();
// The I2C unit the clock sits on: 1 on the Z8Q2 controller, 0 elsewhere.
uint8_t bGetClockI2cUnit();
void ShowRtcState();
uint8_t bCheckPartnerTime(const DATE_TIME* psPartner, uint8_t f);

// The seven BCD registers from seconds to year for the next clock write.
void FillClockRegisterImage(const DATE_TIME* psDateTime);

}  // namespace fw
