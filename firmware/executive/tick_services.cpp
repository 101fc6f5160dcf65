// What the system tick runs of the subsystems: their periodic routines,
// the periodic work flags, the main-loop watchdog.  The tick itself keeps
// time in the executive's machinery; these are the services it names in
// tick.h and the top layer defines, in the tick's FIQ context.
#include "config/host_port_tables.h"
#include "config/nvram_records.h"
#include "console/xmodem_receive.h"
#include "enclosure/drive_management.h"
#include "eventlog/event_log.h"
#include "executive/port_codes.h"
#include "executive/progress.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "partner/partner_link.h"
#include "platform/i2c.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

constexpr uint8_t WATCHDOG_SAMPLES = 50;   // 25 s of half seconds

// Periodic work, in half seconds since each task's last stamp.
constexpr uint32_t I2C_ROUTINE_START = 210;
constexpr uint32_t I2C_ROUTINE_PERIOD = 19;
constexpr uint32_t TIME_SYNC_PERIOD = 7199;
constexpr uint32_t CLOCK_READ_PERIOD = 361;
constexpr uint32_t BATTERY_PERIOD = 1;
constexpr uint32_t TEN_SECOND_PERIOD = 19;
constexpr uint32_t TWO_SECOND_PERIOD = 3;

struct WATCHDOG_SAMPLE {
    uint8_t bStage;
    uint32_t dCycles;
};

uint32_t s_dI2cRoutineStamp;
uint32_t s_dTimeSyncStamp;
uint32_t s_dClockReadStamp;
uint32_t s_dBatteryStamp;
volatile uint32_t s_dTenSecondStamp;
uint32_t s_dDriveWorkBStamp;
uint32_t s_dTwoSecondStamp;

WATCHDOG_SAMPLE s_asWatchdogHistory[WATCHDOG_SAMPLES];  // [0] newest
uint8_t s_bWatchdogSamples;   // samples taken, up to a full history

bool Elapsed(uint32_t dStamp, uint32_t dPeriod) { return dGetCoarseTick() - dStamp > dPeriod; }

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
    const uint32_t dNow = dGetCoarseTick();
    if (dNow > I2C_ROUTINE_START && Elapsed(s_dI2cRoutineStamp, I2C_ROUTINE_PERIOD)) {
        s_dI2cRoutineStamp = dNow;
        I2cPeriodicRoutine();
    }
    if (fIsControllerSlot1() == TRUE && Elapsed(s_dTimeSyncStamp, TIME_SYNC_PERIOD)) {
        s_dTimeSyncStamp = dNow;
        SetTimeSyncWork(TRUE);
    }
    if (Elapsed(s_dClockReadStamp, CLOCK_READ_PERIOD)) {
        s_dClockReadStamp = dNow;
        SetWorkPending(TRUE);
        SetClockReadWork(TRUE);
    }
    if (Elapsed(s_dBatteryStamp, BATTERY_PERIOD)) {
        s_dBatteryStamp = dNow;
        SetBatteryWork(TRUE);
    }
    if (Elapsed(s_dTenSecondStamp, TEN_SECOND_PERIOD)) SetDriveServiceWorkA(TRUE);
    if (Elapsed(s_dDriveWorkBStamp, TWO_SECOND_PERIOD)) {
        s_dDriveWorkBStamp = dNow;
        SetDriveServiceWorkB(TRUE);
    }
    I2cPollService();
    if (Elapsed(s_dTwoSecondStamp, TWO_SECOND_PERIOD)) {
        s_dTwoSecondStamp = dNow;
        SetI2cBus1Work(TRUE);
    }
    SetHostPortWork(PORT_CODE_FC_HOST_1, TRUE);
    SetHostPortWork(PORT_CODE_FC_HOST_2, TRUE);
}

}  // namespace

void TickPeriodServices() {
    FcPeriodicService();
    CheckPartnerWatchdog();
}

void TickBoardCountdownExpired() { BoardCountdownRoutine(); }

void TickHalfSecondBegin() { SaveNvramStatistics(); }

void TickHalfSecondServices() {
    if (fIsInitializationComplete() == TRUE) MainLoopWatchdog();
    if (lGetTickCount() >= lGetPartnerDeadline()) SetPartnerDeadlineFlag(TRUE);
}

void TickHalfSecondWork() {
    if (fIsInitializationComplete() == TRUE) PeriodicWork();
    if (bGetHalfSecondCountdown(HALF_SECOND_COUNTDOWN_ENCLOSURE) == 0 && fGetCtrlOptionBit2Flag() == TRUE &&
        fIsXmodemReceiveActive() == FALSE) {
        EnclosureTickRoutine();
    }
    if (fGetIoModuleUpdateFlag() == TRUE && bGetHalfSecondCountdown(HALF_SECOND_COUNTDOWN_IO_MODULE_UPDATE) == 0 &&
        fIsDriveFirmwareDownloadActive() == FALSE) {
        StartIoModuleUpdate();
    }
    if (fCountDownDelayedReset() == TRUE) ResetController();
    SasHalfSecondService();
}

void ResetTickServices() {
    s_dI2cRoutineStamp = s_dTimeSyncStamp = s_dClockReadStamp = s_dBatteryStamp = 0;
    s_dTenSecondStamp = s_dDriveWorkBStamp = s_dTwoSecondStamp = 0;
    for (auto& s : s_asWatchdogHistory) s = WATCHDOG_SAMPLE{0, 0};
    s_bWatchdogSamples = 0;
}

void StampTenSecondFlag() { s_dTenSecondStamp = dGetCoarseTick(); }

}  // namespace fw
