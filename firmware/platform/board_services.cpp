// Board platform services of this board: its battery is fitted and charged,
// its three temperature sensors are read every ten seconds, and it carries
// no embedded module and no messaging-unit peer, so their services only
// clear their work.
#include "executive/console_output.h"
#include "executive/rtc.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/fpga.h"
#include "platform/battery.h"
#include "platform/embedded_module.h"
#include "platform/i2c.h"
#include "platform/pci.h"

namespace fw {

// A battery that is fitted and charged.
void InitBatteryStateMachine() {
    SetBatteryPresent(TRUE);
    SetBatteryChargeComplete(TRUE);
    SetBatteryCapacity(100);
}
void BatteryShutdownStep() {}

void ShutdownHostChipPci(uint8_t, uint8_t) {}

namespace {
constexpr uint8_t BOARD_SENSORS = 3;
uint8_t s_abBoardTemperature[BOARD_SENSORS];
volatile uint8_t s_fSensorReadDue = FALSE;
}  // namespace

// The sensors on the I2C buses: every ten seconds the board's own are read
// on unit 1 by the background pass.
void I2cPeriodicRoutine() {
    s_fSensorReadDue = TRUE;
    SetI2cBus1Work(TRUE);
}
void I2cPollService() {}
void BoardCountdownRoutine() {}

// The link trained at PCI Express set-up stays trained.
uint8_t bRetrainPCIeLink() { return bInitPciExpress(); }

void EmbeddedModuleMailboxService() { SetEmbeddedModuleWork(FALSE); }
void EmbeddedModuleDmaService() {}
void EmbeddedModuleMailboxInterrupt() {}
void MessagingUnitInterrupt() {}

void I2cUnit0Service() { SetI2cBus0Work(FALSE); }
void I2cUnit1Service() {
    // The clock's own transfer on the unit finishes first.
    if (s_fSensorReadDue == TRUE && (bGetClockI2cUnit() != 1 || wGetClockOperation() == RTC_OPERATION_IDLE)) {
        I2cUnit1SensorPoll();
    }
    SetI2cBus1Work(s_fSensorReadDue);
}
void I2cUnit2Service() { SetI2cBus2Work(FALSE); }
void I2cUnit0PollService() { SetI2cBus0PollWork(FALSE); }
void I2cUnit2PollService() { SetI2cBus2PollWork(FALSE); }
// One byte from each sensor; a sensor that does not answer keeps its last
// reading.  The temperature monitor takes them from here.
void I2cUnit1SensorPoll() {
    if (bGetClockI2cUnit() == 1 && wGetClockOperation() != RTC_OPERATION_IDLE) return;
    s_fSensorReadDue = FALSE;
    for (uint8_t i = 0; i < BOARD_SENSORS; ++i) {
        uint8_t b = 0;
        if (bI2cReadBytes(1, static_cast<uint8_t>(BOARD_SENSOR0_ADDRESS + 2 * i), &b, 1) == STATUS_OK)
            s_abBoardTemperature[i] = b;
    }
    SetTemperatureWork(TRUE);
}
uint8_t bGetTemperature(uint8_t bSensor) { return bSensor < BOARD_SENSORS ? s_abBoardTemperature[bSensor] : 0; }
uint8_t fGetI2c2DevicePollRequest() { return FALSE; }
uint8_t fIsI2c2DevicePollBusy() { return FALSE; }
void I2c2DevicePoll() {}

void BatteryStateMachine() {}

void PrintBatteryCapacity(uint8_t bCapacity, uint8_t bHoldUpHours) {
    ConsolePrintf("Controller Battery: %d%% Capacity, %d Hours Hold-Up\n", bCapacity, bHoldUpHours);
}

void PrintBatteryStatus() {
    ConsolePrintf("Battery Present    : %s\n", fIsBatteryPresent() == TRUE ? "Yes" : "No");
    ConsolePrintf("Battery Charging   : %s\n", fIsBatteryChargeComplete() == TRUE ? "No" : "Yes");
    ConsolePrintf("Battery Hardware   : %s\n", fIsBatteryFault() == TRUE ? "Fault" : "OK");
}

}  // namespace fw
