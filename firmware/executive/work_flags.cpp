#include "executive/work_flags.h"

#include "executive/port_codes.h"
#include "executive/types.h"

namespace fw {

namespace {
uint8_t s_fKernelActivity = FALSE;
uint8_t s_abHostPortWork[2] = {FALSE, FALSE};
uint8_t s_abDriveQueueServiceEnable[16];
uint8_t s_bInitiatorServiceResult = 0xFF;
}  // namespace

// A setter stores first and then raises, so a reader that sees the raised
// byte also sees the flag.
#define FW_WORK_FLAG_NONE(f)
#define FW_WORK_FLAG_WP(f) \
    if ((f) == TRUE) SetWorkPending(TRUE);
#define FW_WORK_FLAG_KA(f) \
    if ((f) == TRUE) SetKernelActivity(TRUE);

#define FW_WORK_FLAG(Setter, Getter, Raises)      \
    namespace {                                   \
    uint8_t s_##Getter = FALSE;                   \
    }                                             \
    void Setter(uint8_t f) {                      \
        s_##Getter = f;                           \
        FW_WORK_FLAG_##Raises(f)                  \
    }                                             \
    uint8_t Getter() { return s_##Getter; }

FW_WORK_FLAG(SetInitializationComplete, fIsInitializationComplete, NONE)
FW_WORK_FLAG(SetWorkPending, fGetWorkPending, KA)
FW_WORK_FLAG(SetPartnerMessageWork, fGetPartnerMessageWork, KA)
FW_WORK_FLAG(SetRaidWaitListWork, fGetRaidWaitListWork, KA)
FW_WORK_FLAG(SetRetripeFlag, fGetRetripeFlag, KA)
FW_WORK_FLAG(SetRebuildWork, fGetRebuildWork, KA)
FW_WORK_FLAG(SetPartnerWork, fGetPartnerWork, NONE)
FW_WORK_FLAG(SetConsoleLogPending, fGetConsoleLogPending, WP)
FW_WORK_FLAG(SetXorQueue1Work, fGetXorQueue1Work, NONE)
FW_WORK_FLAG(SetXorQueue2Work, fGetXorQueue2Work, NONE)
FW_WORK_FLAG(SetI2cBus1Work, fGetI2cBus1Work, WP)
FW_WORK_FLAG(SetI2cBus0Work, fGetI2cBus0Work, WP)
FW_WORK_FLAG(SetI2cBus2Work, fGetI2cBus2Work, WP)
FW_WORK_FLAG(SetI2cBus0PollWork, fGetI2cBus0PollWork, WP)
FW_WORK_FLAG(SetI2cBus2PollWork, fGetI2cBus2PollWork, WP)
FW_WORK_FLAG(SetConsoleMenuWork, fGetConsoleMenuWork, NONE)
FW_WORK_FLAG(SetTimeSyncWork, fGetTimeSyncWork, NONE)
FW_WORK_FLAG(SetDriveServiceWorkA, fGetDriveServiceWorkA, NONE)
FW_WORK_FLAG(SetDriveServiceWorkB, fGetDriveServiceWorkB, NONE)
FW_WORK_FLAG(SetDebugDumpWork, fGetDebugDumpWork, WP)
FW_WORK_FLAG(SetSasDriveWork, fGetSasDriveWork, WP)
FW_WORK_FLAG(SetSasDiscoveryWork, fGetSasDiscoveryWork, WP)
FW_WORK_FLAG(SetClockReadWork, fGetClockReadWork, WP)
FW_WORK_FLAG(SetClockWriteWork, fGetClockWriteWork, WP)
FW_WORK_FLAG(SetTemperatureWork, fGetTemperatureWork, WP)
FW_WORK_FLAG(SetBatteryWork, fGetBatteryWork, WP)
FW_WORK_FLAG(SetHostTargetWork, fGetHostTargetWork, WP)
FW_WORK_FLAG(SetHostLinkStatusWork, fGetHostLinkStatusWork, WP)
FW_WORK_FLAG(SetEmbeddedModuleWork, fGetEmbeddedModuleWork, WP)
FW_WORK_FLAG(SetSasMuxWork, fGetSasMuxWork, NONE)

#undef FW_WORK_FLAG

void SetKernelActivity(uint8_t f) { s_fKernelActivity = f; }

namespace {
unsigned HostPortWorkIndex(uint8_t bPort) {
    switch (bPort) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE:
    case PORT_CODE_SAS_HOST_1: return 0;
    default: return 1;
    }
}
}  // namespace

void SetHostPortWork(uint8_t bPort, uint8_t f) { s_abHostPortWork[HostPortWorkIndex(bPort)] = f; }
uint8_t fGetHostPortWork(uint8_t bPort) { return s_abHostPortWork[HostPortWorkIndex(bPort)]; }

void SetDriveQueueServiceEnable(uint8_t bQueue, uint8_t f) {
    // Indexed as the main loop lists its drive queues.
    if (bQueue == PORT_CODE_INITIATOR) s_abDriveQueueServiceEnable[0] = f;
    if (bQueue == PORT_CODE_DRIVE_LOOP_3) s_abDriveQueueServiceEnable[1] = f;
    if (bQueue == PORT_CODE_DRIVE_LOOP_4) s_abDriveQueueServiceEnable[2] = f;
}

uint8_t fGetDriveQueueServiceEnable(uint8_t bIndex) {
    return bIndex < 16 ? s_abDriveQueueServiceEnable[bIndex] : FALSE;
}

void EnableAllDriveQueueServices() {
    for (uint8_t& b : s_abDriveQueueServiceEnable) b = TRUE;
}

uint8_t bGetInitiatorServiceResult() { return s_bInitiatorServiceResult; }
void SetInitiatorServiceResult(uint8_t b) { s_bInitiatorServiceResult = b; }

}  // namespace fw
