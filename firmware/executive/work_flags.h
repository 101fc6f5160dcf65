// Work flags: one byte each, TRUE or FALSE, with one setter and one getter.
// Interrupt handlers and services request work by storing TRUE; most setters
// also raise the global work-pending byte so the next main-loop cycle runs
// the background pass.
#pragma once

#include <cstdint>

namespace fw {

#define FW_WORK_FLAG(Setter, Getter) \
    void Setter(uint8_t f);          \
    uint8_t Getter();

FW_WORK_FLAG(SetInitializationComplete, fIsInitializationComplete)
FW_WORK_FLAG(SetWorkPending, fGetWorkPending)
FW_WORK_FLAG(SetPartnerMessageWork, fGetPartnerMessageWork)
FW_WORK_FLAG(SetRaidWaitListWork, fGetRaidWaitListWork)
FW_WORK_FLAG(SetRetripeFlag, fGetRetripeFlag)
FW_WORK_FLAG(SetRebuildWork, fGetRebuildWork)
FW_WORK_FLAG(SetPartnerWork, fGetPartnerWork)
FW_WORK_FLAG(SetConsoleLogPending, fGetConsoleLogPending)
FW_WORK_FLAG(SetXorQueue1Work, fGetXorQueue1Work)
FW_WORK_FLAG(SetXorQueue2Work, fGetXorQueue2Work)
FW_WORK_FLAG(SetI2cBus1Work, fGetI2cBus1Work)
FW_WORK_FLAG(SetI2cBus0Work, fGetI2cBus0Work)
FW_WORK_FLAG(SetI2cBus2Work, fGetI2cBus2Work)
FW_WORK_FLAG(SetI2cBus0PollWork, fGetI2cBus0PollWork)
FW_WORK_FLAG(SetI2cBus2PollWork, fGetI2cBus2PollWork)
FW_WORK_FLAG(SetConsoleMenuWork, fGetConsoleMenuWork)
FW_WORK_FLAG(SetTimeSyncWork, fGetTimeSyncWork)
FW_WORK_FLAG(SetDriveServiceWorkA, fGetDriveServiceWorkA)
FW_WORK_FLAG(SetDriveServiceWorkB, fGetDriveServiceWorkB)
FW_WORK_FLAG(SetDebugDumpWork, fGetDebugDumpWork)
FW_WORK_FLAG(SetSasDriveWork, fGetSasDriveWork)
FW_WORK_FLAG(SetSasDiscoveryWork, fGetSasDiscoveryWork)
FW_WORK_FLAG(SetClockReadWork, fGetClockReadWork)
FW_WORK_FLAG(SetClockWriteWork, fGetClockWriteWork)
FW_WORK_FLAG(SetTemperatureWork, fGetTemperatureWork)
FW_WORK_FLAG(SetBatteryWork, fGetBatteryWork)
FW_WORK_FLAG(SetHostTargetWork, fGetHostTargetWork)
FW_WORK_FLAG(SetHostLinkStatusWork, fGetHostLinkStatusWork)
FW_WORK_FLAG(SetEmbeddedModuleWork, fGetEmbeddedModuleWork)
FW_WORK_FLAG(SetSasMuxWork, fGetSasMuxWork)

#undef FW_WORK_FLAG

// Kernel activity has no reader: every kernel queue push and the tick set it,
// the main loop clears it at the top of every cycle.
void SetKernelActivity(uint8_t f);

// Two host-port work bytes: codes 0x01, 0x31, 0x40, 0x50 and 0x71 share the
// first, every other code the second.
void SetHostPortWork(uint8_t bPort, uint8_t f);
uint8_t fGetHostPortWork(uint8_t bPort);

// Sixteen bytes, of which only drive-side queue 0x61 (the first) is used.
void SetDriveQueueServiceEnable(uint8_t bQueue, uint8_t f);
uint8_t fGetDriveQueueServiceEnable(uint8_t bIndex);
void EnableAllDriveQueueServices();

// 0xFF, or 9 when the last drive-side new-command service returned 9.
uint8_t bGetInitiatorServiceResult();
void SetInitiatorServiceResult(uint8_t b);

}  // namespace fw
