// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "fc/fc_driver.h"
#include "executive/types.h"
#include "hw/pci_ids.h"
#include "platform/pci.h"

namespace fw {

// The host-port chips found on the primary bus: bit 0 chip 1, bit 1 chip 2.
uint8_t bProbeHostChips() {
    uint8_t bFound = 0;
    if (static_cast<uint16_t>(dPciReadId(PCI_BUS_PRIMARY, PCI_DEVICE_HOST_CHIP1, 0)) == PCI_VENDOR_HOST_FC) bFound |= 1;
    if (static_cast<uint16_t>(dPciReadId(PCI_BUS_PRIMARY, PCI_DEVICE_HOST_CHIP2, 0)) == PCI_VENDOR_HOST_FC) bFound |= 2;
    return bFound;
}
uint8_t bStartHostChips() { return bProbeHostChips(); }
void SetQLPortFlags(uint8_t, uint8_t) {}
void ResetFibreChannelStartFlags() {}
void InitLoopPortTables() {}
void SetFcScanFlag(uint8_t) {}
uint8_t bSetUpDriveLoopDeviceTable() { return STATUS_OK; }
uint8_t fIsHostIsrActive() { return FALSE; }
uint8_t fIsDriveIsrActive() { return FALSE; }

uint8_t bGetFirmwareState(uint8_t, uint16_t* pwState) { *pwState = 3; return STATUS_OK; }
// Stand-ins for the tick, board state and stop paths.
void FcPeriodicService() {}
void CloseDriveLoops(uint8_t, uint8_t) {}
void SetLoopResetRequest(uint8_t, uint8_t) {}
uint8_t fGetHostChipWwn(uint8_t*) { return FALSE; }

uint8_t fGetLoopTableRequest() { return FALSE; }
void LoopTableService() {}
uint8_t fGetHostChipServiceRequest(uint8_t) { return FALSE; }
void HostChipService(uint8_t) {}
uint8_t fGetDriveLoopLipFlag(uint8_t) { return FALSE; }
uint8_t fIsDriveLoopUp(uint8_t) { return FALSE; }
uint8_t fIsHostLoopUp(uint8_t) { return FALSE; }
void BringUpDriveLoops() {}
void RestartHostChip(uint8_t) {}
uint8_t fGetLoopResetRequest(uint8_t) { return FALSE; }
void ResetLoop(uint8_t bPort) { SetLoopResetRequest(bPort, FALSE); }
uint8_t fGetQLogicServiceFlag() { return FALSE; }
void QLogicService() {}
void ShowHostLinkStatus() {}
uint16_t wGetJournalDrainAllowance() { return 0; }
uint8_t fIsQL24xx() { return TRUE; }
void QL24TarIsr(uint8_t) {}
void Isp2x00TargetIsr(uint8_t) {}

void RefreshHostLoopInitiators(uint8_t, HOST_PORT_RECORD*, uint8_t* pbLoopId) { *pbLoopId = 0xFF; }
uint8_t bGetPortLoopState(uint8_t) { return 0; }

uint8_t bGetPortLinkSpeed(uint8_t) { return 0; }
uint8_t bGetPortLoopId(uint8_t) { return 0xFF; }

uint8_t fIsChipPresent(uint8_t) { return FALSE; }
uint8_t bQLGetLoopId(uint8_t, uint8_t* pbLoopId, uint8_t* pbPortId, uint8_t* pbTopology) {
    *pbLoopId = 0xFF;
    *pbPortId = 0;
    *pbTopology = 0;
    return 0;
}
uint8_t bGetLoopMapCount(uint8_t) { return 0; }
uint8_t bGetLoopMapAlpa(uint8_t, uint8_t) { return 0; }
uint8_t bAlpaToLoopId(uint8_t) { return 0xFF; }
uint8_t bGetPortDatabase(uint8_t, uint8_t, uint8_t*, uint8_t*) { return 0; }

}  // namespace fw
