// Board platform services of this board: its battery is fitted and charged,
// its sensors need no polling between reads, and it carries no embedded
// module and no messaging-unit peer, so their services only clear their work.
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
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

// The sensors on the I2C buses.
void I2cPeriodicRoutine() {}
void I2cPollService() {}
void BoardCountdownRoutine() {}

// The link trained at PCI Express set-up stays trained.
uint8_t bRetrainPCIeLink() { return bInitPciExpress(); }

void EmbeddedModuleMailboxService() { SetEmbeddedModuleWork(FALSE); }
void EmbeddedModuleDmaService() {}
void EmbeddedModuleMailboxInterrupt() {}
void MessagingUnitInterrupt() {}

void I2cUnit0Service() { SetI2cBus0Work(FALSE); }
void I2cUnit1Service() { SetI2cBus1Work(FALSE); }
void I2cUnit2Service() { SetI2cBus2Work(FALSE); }
void I2cUnit0PollService() { SetI2cBus0PollWork(FALSE); }
void I2cUnit2PollService() { SetI2cBus2PollWork(FALSE); }
void I2cUnit1SensorPoll() {}
// This board carries no temperature sensor: every reading is "none".
uint8_t bGetTemperature(uint8_t) { return 0; }
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
