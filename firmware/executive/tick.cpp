// The system tick.  SystemTickHandler runs in FIQ context once per
// millisecond: it only counts, stamps and raises work flags, and calls the
// few periodic routines of its neighbours.  The main loop reads the 64-bit
// tick as two words, so every reader goes through lGetTickCount.
#include "executive/tick.h"

#include "config/host_port_tables.h"
#include "config/nvram_records.h"
#include "console/xmodem_receive.h"
#include "enclosure/drive_management.h"
#include "eventlog/event_log.h"
#include "executive/date_time.h"
#include "executive/interrupt_controller.h"
#include "executive/main_loop.h"
#include "executive/rtc.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "hw/hw.h"
#include "hw/timers.h"
#include "partner/partner_link.h"
#include "platform/i2c.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

constexpr uint32_t TICKS_PER_HALF_SECOND = 500;
constexpr uint32_t TICKS_PER_WORK_PENDING = 50;
constexpr uint32_t DEFAULT_PERIOD_WORD = 2;
constexpr uint8_t WATCHDOG_SAMPLES = 50;     // 25 s of half seconds
constexpr uint8_t PARTNER_HEARTBEAT_SOURCE = 6;

// Periodic work, in half seconds since each task's last stamp.
constexpr uint32_t I2C_ROUTINE_START = 210;
constexpr uint32_t I2C_ROUTINE_PERIOD = 19;
constexpr uint32_t TIME_SYNC_PERIOD = 7199;
constexpr uint32_t CLOCK_READ_PERIOD = 361;
constexpr uint32_t BATTERY_PERIOD = 1;
constexpr uint32_t TEN_SECOND_PERIOD = 19;
constexpr uint32_t TWO_SECOND_PERIOD = 3;

constexpr uint8_t HOST_PORT_1 = 1;
constexpr uint8_t HOST_PORT_2 = 2;

constexpr uint32_t MAX_DELAY_CHUNK_US = 1000000;

struct STOPWATCH {
    uint32_t dValue;
    uint8_t fShown;
    uint8_t fFrozen;
};

struct WATCHDOG_SAMPLE {
    uint8_t bStage;
    uint32_t dCycles;
};

volatile uint64_t s_lTickMs;
volatile uint32_t s_dHalfSeconds;
uint32_t s_dHalfSecondDivider;
uint32_t s_dWorkPendingDivider;
uint32_t s_dPeriodDivider;
uint32_t s_dPeriodWord = DEFAULT_PERIOD_WORD;
uint8_t s_fProductionTestAtStart = FALSE;

volatile uint8_t s_bTickCountdown1;
volatile uint16_t s_awTickCountdown[3];
volatile uint64_t s_lLongCountdown;
uint8_t s_fLongCountdownRunning = FALSE;
volatile uint16_t s_wClockTimeout;
volatile uint16_t s_wBoardCountdown;
volatile uint8_t s_abHalfSecondCountdown[HALF_SECOND_COUNTDOWNS];
volatile uint16_t s_wDelayedResetCountdown;

uint32_t s_dI2cRoutineStamp;
uint32_t s_dTimeSyncStamp;
uint32_t s_dClockReadStamp;
uint32_t s_dBatteryStamp;
volatile uint32_t s_dTenSecondStamp;
uint32_t s_dDriveWorkBStamp;
uint32_t s_dTwoSecondStamp;

WATCHDOG_SAMPLE s_asWatchdogHistory[WATCHDOG_SAMPLES];  // [0] newest
uint8_t s_bWatchdogSamples;   // samples taken, up to a full history

STOPWATCH s_asStopwatch[STOPWATCH_COUNT];
uint64_t s_lHighResolution;   // the last extended timer-1 value
volatile uint8_t s_fHighResolutionBusy = FALSE;

// A 64-bit value the FIQ changes is two words on this processor and may
// change between them: read it until two reads agree.
uint64_t lReadStable(const volatile uint64_t& lValue) {
    uint64_t lFirst;
    uint64_t lSecond;
    do {
        lFirst = lValue;
        lSecond = lValue;
    } while (lFirst != lSecond);
    return lFirst;
}

// Counts a countdown towards 0; true on the step that reaches 0.
template <typename T>
bool CountDown(volatile T& value) {
    if (value == 0) return false;
    value = static_cast<T>(value - 1);
    return value == 0;
}

void SelectStopwatches(uint8_t bIndex, uint8_t* pbFirst, uint8_t* pbEnd) {
    *pbFirst = bIndex < STOPWATCH_COUNT ? bIndex : 0;
    *pbEnd = bIndex < STOPWATCH_COUNT ? static_cast<uint8_t>(bIndex + 1) : STOPWATCH_COUNT;
}

uint32_t dTimer1Count() { return Cp6Read(TIMER_TCR1, TIMER_CRM); }

void StartTimer1() {
    Cp6Write(TIMER_TRR1, TIMER_CRM, 0xFFFFFFFF);
    Cp6Write(TIMER_TCR1, TIMER_CRM, 0xFFFFFFFF);
    Cp6Write(TIMER_TMR1, TIMER_CRM, TIMER_MODE_ENABLE | TIMER_MODE_RELOAD);
}

bool Elapsed(uint32_t dStamp, uint32_t dPeriod) { return s_dHalfSeconds - dStamp > dPeriod; }

void MainLoopWatchdog() {
    const WATCHDOG_SAMPLE sNow = {bMainLoopStage, dMainLoopCycles};
    const WATCHDOG_SAMPLE& sOldest = s_asWatchdogHistory[WATCHDOG_SAMPLES - 1];
    // Until 25 s of samples exist the oldest slot holds no sample at all.
    if (s_bWatchdogSamples == WATCHDOG_SAMPLES && sNow.bStage == sOldest.bStage && sNow.dCycles == sOldest.dCycles) {
        PostEvent(1, 1, 2, bMainLoopStage, bBackgroundStep, bServiceSubStep);
        HaltController();
    }
    // A long drive-loop bring-up keeps the loop in one service; the history
    // waits for it.
    if (fGetDriveLoopsStarted() == FALSE) {
        for (uint8_t i = WATCHDOG_SAMPLES - 1; i > 0; --i) s_asWatchdogHistory[i] = s_asWatchdogHistory[i - 1];
        s_asWatchdogHistory[0] = sNow;
        if (s_bWatchdogSamples < WATCHDOG_SAMPLES) ++s_bWatchdogSamples;
    }
}

void PeriodicWork() {
    if (s_dHalfSeconds > I2C_ROUTINE_START && Elapsed(s_dI2cRoutineStamp, I2C_ROUTINE_PERIOD)) {
        s_dI2cRoutineStamp = s_dHalfSeconds;
        I2cPeriodicRoutine();
    }
    if (fIsControllerSlot1() == TRUE && Elapsed(s_dTimeSyncStamp, TIME_SYNC_PERIOD)) {
        s_dTimeSyncStamp = s_dHalfSeconds;
        SetTimeSyncWork(TRUE);
    }
    if (Elapsed(s_dClockReadStamp, CLOCK_READ_PERIOD)) {
        s_dClockReadStamp = s_dHalfSeconds;
        SetWorkPending(TRUE);
        SetClockReadWork(TRUE);
    }
    if (Elapsed(s_dBatteryStamp, BATTERY_PERIOD)) {
        s_dBatteryStamp = s_dHalfSeconds;
        SetBatteryWork(TRUE);
    }
    if (Elapsed(s_dTenSecondStamp, TEN_SECOND_PERIOD)) SetDriveServiceWorkA(TRUE);
    if (Elapsed(s_dDriveWorkBStamp, TWO_SECOND_PERIOD)) {
        s_dDriveWorkBStamp = s_dHalfSeconds;
        SetDriveServiceWorkB(TRUE);
    }
    I2cPollService();
    if (Elapsed(s_dTwoSecondStamp, TWO_SECOND_PERIOD)) {
        s_dTwoSecondStamp = s_dHalfSeconds;
        SetI2cBus1Work(TRUE);
    }
    SetHostPortWork(HOST_PORT_1, TRUE);
    SetHostPortWork(HOST_PORT_2, TRUE);
}

void HalfSecondTick() {
    lGetHighResolutionTime();
    s_dHalfSecondDivider = 0;
    LoadPendingClockSetting();
    SaveNvramStatistics();
    s_dHalfSeconds = s_dHalfSeconds + 1;
    SetKernelActivity(TRUE);

    const bool fMainLoopRuns = fIsInitializationComplete() == TRUE;
    if (fMainLoopRuns) MainLoopWatchdog();
    if (s_lTickMs >= lGetPartnerDeadline()) SetPartnerDeadlineFlag(TRUE);

    for (uint8_t i = 0; i < HALF_SECOND_COUNTDOWNS; ++i) {
        if (CountDown(s_abHalfSecondCountdown[i]) && i == HALF_SECOND_COUNTDOWN_I2C1) SetI2cBus1Work(TRUE);
    }
    if (fMainLoopRuns) PeriodicWork();

    if (s_abHalfSecondCountdown[HALF_SECOND_COUNTDOWN_ENCLOSURE] == 0 && fGetCtrlOptionBit2Flag() == TRUE &&
        fIsXmodemReceiveActive() == FALSE) {
        EnclosureTickRoutine();
    }
    if (fGetIoModuleUpdateFlag() == TRUE && s_abHalfSecondCountdown[HALF_SECOND_COUNTDOWN_IO_MODULE_UPDATE] == 0 &&
        fIsDriveFirmwareDownloadActive() == FALSE) {
        StartIoModuleUpdate();
    }
    if (CountDown(s_wDelayedResetCountdown)) ResetController();
    SasHalfSecondService();
    if (s_dHalfSeconds & 1) UnlockInterruptSource(PARTNER_HEARTBEAT_SOURCE);
}

}  // namespace

void InitSystemTick() {
    s_lTickMs = 0;
    s_dHalfSeconds = 0;
    s_dHalfSecondDivider = 0;
    s_dWorkPendingDivider = 0;
    s_dPeriodDivider = 0;
    s_bTickCountdown1 = 0;
    for (auto& w : s_awTickCountdown) w = 0;
    s_lLongCountdown = 0;
    s_fLongCountdownRunning = FALSE;
    s_wClockTimeout = 0;
    s_wBoardCountdown = 0;
    for (auto& b : s_abHalfSecondCountdown) b = 0;
    s_wDelayedResetCountdown = 0;
    s_dI2cRoutineStamp = s_dTimeSyncStamp = s_dClockReadStamp = s_dBatteryStamp = 0;
    s_dTenSecondStamp = s_dDriveWorkBStamp = s_dTwoSecondStamp = 0;
    for (auto& s : s_asWatchdogHistory) s = WATCHDOG_SAMPLE{0, 0};
    s_bWatchdogSamples = 0;
    StartTimer1();
    s_lHighResolution = 0;
    StartTickTimer();
    ClearClockSetting();
    s_fProductionTestAtStart = fIsProductionTestMode();
    s_dPeriodWord = DEFAULT_PERIOD_WORD;
}

void SystemTickHandler() {
    s_lTickMs = s_lTickMs + 1;
    ++s_dHalfSecondDivider;
    ++s_dWorkPendingDivider;
    ++s_dPeriodDivider;

    if (s_dPeriodDivider >= s_dPeriodWord) {
        s_dPeriodDivider = 0;
        if (s_fProductionTestAtStart != TRUE) {
            FcPeriodicService();
            CheckPartnerWatchdog();
        }
    }

    CountDown(s_bTickCountdown1);
    for (auto& w : s_awTickCountdown) CountDown(w);
    if (s_lLongCountdown == 0) {
        if (s_fLongCountdownRunning == TRUE) SetWorkPending(TRUE);
        s_fLongCountdownRunning = FALSE;
    } else {
        s_lLongCountdown = s_lLongCountdown - 1;
        s_fLongCountdownRunning = TRUE;
    }

    if (s_dWorkPendingDivider > TICKS_PER_WORK_PENDING - 1) {
        s_dWorkPendingDivider = 0;
        SetWorkPending(TRUE);
    }

    if (CountDown(s_wClockTimeout)) ClockTransferTimeout();
    if (CountDown(s_wBoardCountdown)) BoardCountdownRoutine();

    if (s_dHalfSecondDivider > TICKS_PER_HALF_SECOND - 1) HalfSecondTick();
}

uint64_t lGetTickCount() { return lReadStable(s_lTickMs); }

uint32_t dGetCoarseTick() { return s_dHalfSeconds; }

uint32_t dGetCoarseTickHalf() { return s_dHalfSeconds / 2; }

void DelaySeconds(uint8_t bSeconds) {
    const uint64_t lStart = lGetTickCount();
    while (lGetTickCount() - lStart < static_cast<uint64_t>(bSeconds) * 1000) HwPoll();
}

void SpinDelayUs(uint32_t dMicroseconds) {
    while (dMicroseconds > 0) {
        const uint32_t dChunk = dMicroseconds < MAX_DELAY_CHUNK_US ? dMicroseconds : MAX_DELAY_CHUNK_US;
        HwDelayUs(dChunk);
        dMicroseconds -= dChunk;
    }
}

void SpinDelayMs(uint32_t dMilliseconds) {
    while (dMilliseconds > 0) {
        const uint32_t dChunk = dMilliseconds < MAX_DELAY_CHUNK_US / 1000 ? dMilliseconds : MAX_DELAY_CHUNK_US / 1000;
        SpinDelayUs(dChunk * 1000);
        dMilliseconds -= dChunk;
    }
}

uint32_t dReadTimerCount() { return 0u - dTimer1Count(); }

uint64_t lGetHighResolutionTime() {
    const uint32_t dCount = dReadTimerCount();
    uint64_t lNow = (s_lHighResolution & ~0xFFFFFFFFull) | dCount;
    if (dCount < static_cast<uint32_t>(s_lHighResolution)) lNow += 1ull << 32;
    // A call nested in the FIQ during this one must not move the base twice.
    if (s_fHighResolutionBusy == TRUE) return lNow;
    s_fHighResolutionBusy = TRUE;
    s_lHighResolution = lNow;
    s_fHighResolutionBusy = FALSE;
    return lNow;
}

void StartStopwatch(uint8_t bIndex) {
    uint8_t bFirst;
    uint8_t bEnd;
    SelectStopwatches(bIndex, &bFirst, &bEnd);
    for (uint8_t i = bFirst; i < bEnd; ++i) {
        if (s_asStopwatch[i].fFrozen == TRUE) continue;
        s_asStopwatch[i].dValue = dTimer1Count();
        s_asStopwatch[i].fShown = FALSE;
    }
}

void StopStopwatch(uint8_t bIndex, uint8_t fFreeze) {
    uint8_t bFirst;
    uint8_t bEnd;
    SelectStopwatches(bIndex, &bFirst, &bEnd);
    for (uint8_t i = bFirst; i < bEnd; ++i) {
        // A frozen stopwatch already holds its result.
        if (s_asStopwatch[i].fFrozen == TRUE) continue;
        s_asStopwatch[i].dValue = s_asStopwatch[i].dValue - dTimer1Count();
        s_asStopwatch[i].fShown = TRUE;
        s_asStopwatch[i].fFrozen = fFreeze;
    }
}

void ClearStopwatch(uint8_t bIndex) {
    uint8_t bFirst;
    uint8_t bEnd;
    SelectStopwatches(bIndex, &bFirst, &bEnd);
    for (uint8_t i = bFirst; i < bEnd; ++i) s_asStopwatch[i] = STOPWATCH{0, FALSE, FALSE};
}

uint32_t dGetStopwatchValue(uint8_t bIndex) {
    return bIndex < STOPWATCH_COUNT ? s_asStopwatch[bIndex].dValue : 0;
}

uint8_t fIsStopwatchShown(uint8_t bIndex) {
    return bIndex < STOPWATCH_COUNT ? s_asStopwatch[bIndex].fShown : FALSE;
}

void SetTickCountdown1(uint8_t b) { s_bTickCountdown1 = b; }
uint8_t bGetTickCountdown1() { return s_bTickCountdown1; }
void SetTickCountdown2(uint16_t w) { s_awTickCountdown[0] = w; }
uint16_t wGetTickCountdown2() { return s_awTickCountdown[0]; }
void SetTickCountdown3(uint16_t w) { s_awTickCountdown[1] = w; }
uint16_t wGetTickCountdown3() { return s_awTickCountdown[1]; }
void SetTickCountdown4(uint16_t w) { s_awTickCountdown[2] = w; }
uint16_t wGetTickCountdown4() { return s_awTickCountdown[2]; }

void SetLongCountdown(uint64_t l) { s_lLongCountdown = l; }

uint64_t lGetLongCountdown() { return lReadStable(s_lLongCountdown); }

void SetTickPeriodWord(uint32_t d) { s_dPeriodWord = d; }
uint32_t dGetTickPeriodWord() { return s_dPeriodWord; }
void SetClockTimeoutCountdown(uint16_t w) { s_wClockTimeout = w; }
void SetBoardCountdown(uint16_t w) { s_wBoardCountdown = w; }

void SetHalfSecondCountdown(uint8_t bIndex, uint8_t bHalfSeconds) {
    if (bIndex < HALF_SECOND_COUNTDOWNS) s_abHalfSecondCountdown[bIndex] = bHalfSeconds;
}

uint8_t bGetHalfSecondCountdown(uint8_t bIndex) {
    return bIndex < HALF_SECOND_COUNTDOWNS ? s_abHalfSecondCountdown[bIndex] : 0;
}

void SetDelayedResetCountdown(uint16_t wHalfSeconds) { s_wDelayedResetCountdown = wHalfSeconds; }

void StampTenSecondFlag() { s_dTenSecondStamp = s_dHalfSeconds; }

}  // namespace fw
