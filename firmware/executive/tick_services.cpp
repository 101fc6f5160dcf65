// What the system tick runs of the subsystems: their periodic routines,
// the periodic work flags, the main-loop watchdog.  The tick itself keeps
// time in the executive's machinery; these are the services it names in
// tick.h and the top layer defines, in the tick's FIQ context.
#include "config/host_port_tables.h"
#include "config/nvram_records.h"
#include "console/xmodem_receive.h"
#include "enclosure/drive_management.h"
#include "enclosure/ses_poll.h"
#include "eventlog/event_log.h"
#include "executive/port_codes.h"
#include "executive/progress.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "partner/lun_service_list.h"
#include "partner/partner_link.h"
#include "platform/i2c.h"
#include "sas/active_active.h"
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

bool IsI2cRoutineStarted() { return dGetCoarseTick() > I2C_ROUTINE_START; }
bool IsSlot1() { return fIsControllerSlot1() == TRUE; }
void AskTimeSync() { SetTimeSyncWork(TRUE); }
void AskClockRead() {
    SetWorkPending(TRUE);
    SetClockReadWork(TRUE);
}
void AskBatteryWork() { SetBatteryWork(TRUE); }
void AskDriveServiceA() { SetDriveServiceWorkA(TRUE); }
void AskDriveServiceB() { SetDriveServiceWorkB(TRUE); }
void AskI2cBus1Work() { SetI2cBus1Work(TRUE); }
void AskFcHostPortWork() {
    SetHostPortWork(PORT_CODE_FC_HOST_1, TRUE);
    SetHostPortWork(PORT_CODE_FC_HOST_2, TRUE);
}

// A row with a stamp runs once its period has passed since the stamp, and
// with RESTAMPS stamps itself then (the ten-second row leaves its stamp to
// StampTenSecondFlag); a row without a stamp runs every time.
// The gate is a further condition, asked first.
constexpr uint8_t RESTAMPS = 0x01;

struct PeriodicTask {
    volatile uint32_t* pdStamp;
    uint32_t dPeriod;
    uint8_t bFlags;
    bool (*fnGate)();
    void (*fnWork)();
};

// The half-second periodic work, in the order it runs.
constexpr PeriodicTask s_asPeriodicWork[] = {
    {&s_dI2cRoutineStamp, I2C_ROUTINE_PERIOD, RESTAMPS, IsI2cRoutineStarted, I2cPeriodicRoutine},
    {&s_dTimeSyncStamp, TIME_SYNC_PERIOD, RESTAMPS, IsSlot1, AskTimeSync},
    {&s_dClockReadStamp, CLOCK_READ_PERIOD, RESTAMPS, nullptr, AskClockRead},
    {&s_dBatteryStamp, BATTERY_PERIOD, RESTAMPS, nullptr, AskBatteryWork},
    {&s_dTenSecondStamp, TEN_SECOND_PERIOD, 0, nullptr, AskDriveServiceA},
    {&s_dDriveWorkBStamp, TWO_SECOND_PERIOD, RESTAMPS, nullptr, AskDriveServiceB},
    {nullptr, 0, 0, nullptr, I2cPollService},
    {&s_dTwoSecondStamp, TWO_SECOND_PERIOD, RESTAMPS, nullptr, AskI2cBus1Work},
    {nullptr, 0, 0, nullptr, AskFcHostPortWork},
};

void PeriodicWork() {
    const uint32_t dNow = dGetCoarseTick();
    for (const PeriodicTask& sTask : s_asPeriodicWork) {
        if (sTask.fnGate && !sTask.fnGate()) continue;
        if (sTask.pdStamp) {
            if (!Elapsed(*sTask.pdStamp, sTask.dPeriod)) continue;
            if (sTask.bFlags & RESTAMPS) *sTask.pdStamp = dNow;
        }
        sTask.fnWork();
    }
}

}  // namespace

void TickPeriodServices() {
    FcPeriodicService();
    CheckPartnerWatchdog();
    PartnerActiveActiveCheck();
    if (lGetTickCount() >= GetLunServiceEarliest()) SetLunServiceDue(TRUE);
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
        AuxTickHook();
    }
    EnclosureTick();
    if (fGetIoModuleUpdateFlag() == TRUE && bGetHalfSecondCountdown(HALF_SECOND_COUNTDOWN_IO_MODULE_UPDATE) == 0 &&
        fIsDriveFirmwareDownloadInProgress() == FALSE) {
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
