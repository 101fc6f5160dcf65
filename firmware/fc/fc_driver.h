// Fibre Channel chip driver services the rest of the firmware calls.
#pragma once

#include <cstdint>

namespace fw {

uint8_t bProbeHostChips();
uint8_t bStartHostChips();
void SetQLPortFlags(uint8_t bPort, uint8_t f);
void ResetFibreChannelStartFlags();
void InitLoopPortTables();
void SetFcScanFlag(uint8_t f);
uint8_t bSetUpDriveLoopDeviceTable();
// TRUE while the host-port or the drive-loop chip interrupt handler runs.
uint8_t fIsHostIsrActive();
uint8_t fIsDriveIsrActive();

// Mailbox command 0x69: 255 with the firmware state of the chip.
uint8_t bGetFirmwareState(uint8_t bChip, uint16_t* pwState);
// Used by the system tick and the stop paths of the executive.
void FcPeriodicService();
void CloseDriveLoops(uint8_t bPath1, uint8_t bPath2);
void SetLoopResetRequest(uint8_t bPort, uint8_t f);
uint8_t fGetHostChipWwn(uint8_t* pbWwn);   // TRUE when the host chip reported one

// Background pass and FIQ services of the chip driver.
uint8_t fGetLoopTableRequest();
void LoopTableService();
uint8_t fGetHostChipServiceRequest(uint8_t bChip);
void HostChipService(uint8_t bChip);
uint8_t fGetDriveLoopLipFlag(uint8_t bPort);
uint8_t fIsDriveLoopUp(uint8_t bPort);
uint8_t fIsHostLoopUp(uint8_t bPort);
void BringUpDriveLoops();
// Restarts host chip 1 or 2; the driver unmasks the chips' interrupt
// source again once they are ready.
void RestartHostChip(uint8_t bChip);
uint8_t fGetLoopResetRequest(uint8_t bPort);
void ResetLoop(uint8_t bPort);
uint8_t fGetQLogicServiceFlag();
void QLogicService();
void ShowHostLinkStatus();
// Journal entries a shutdown may leave behind (the loops' outstanding writes).
uint16_t wGetJournalDrainAllowance();
uint8_t fIsQL24xx();
void QL24TarIsr(uint8_t bChip);
void Isp2x00TargetIsr(uint8_t bChip);

// Used by the configuration database.
struct HOST_PORT_RECORD;
void RefreshHostLoopInitiators(uint8_t bPort, HOST_PORT_RECORD* psRecord, uint8_t* pbLoopId);
uint8_t bGetPortLoopState(uint8_t bPort);

uint8_t bGetPortLinkSpeed(uint8_t bPort);   // 1, 2 or 4 Gb/s
uint8_t bGetPortLoopId(uint8_t bPort);

// Drive-loop discovery used by the configuration database.
uint8_t fIsChipPresent(uint8_t bChip);
uint8_t bQLGetLoopId(uint8_t bChip, uint8_t* pbLoopId, uint8_t* pbPortId, uint8_t* pbTopology);   // 0xFF good
uint8_t bGetLoopMapCount(uint8_t bPort);
uint8_t bGetLoopMapAlpa(uint8_t bPort, uint8_t bPosition);
uint8_t bAlpaToLoopId(uint8_t bAlpa);   // 0xFF for an invalid AL_PA
uint8_t bGetPortDatabase(uint8_t bPort, uint8_t bAlpa, uint8_t* pbFlags, uint8_t* pbWwn);   // 0xFF good

}  // namespace fw
