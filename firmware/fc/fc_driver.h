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
uint8_t bLoopIdToAlpa(uint8_t bLoopId);   // 0 for an invalid loop ID
uint8_t bGetPortDatabase(uint8_t bPort, uint8_t bAlpa, uint8_t* pbFlags, uint8_t* pbWwn);   // 0xFF good
// Mailbox command 0x12: hands one 64-byte request entry (by bus address) to
// the chip; 0xFF issued, 0 refused.  The caller waits for the completion.
uint8_t bQLExecuteIocb(uint8_t bChip, uint32_t dEntryAddress);
// Waits for the chip's mailbox completion; 0xFF completed, 0 timed out.
uint8_t bWaitMailboxComplete(uint8_t bChip);

// ---- host ports in target mode, as the target engine uses them ----
// Loop initialisations seen on a host port (1 or 2); stamped into every new
// command and compared before its data or status goes out.
uint16_t wGetHostLoopLipCount(uint8_t bPort);
// TRUE from a LIP, LIP reset, port database change or RSCN until the
// host-side login code has caught up: new commands wait meanwhile.
uint8_t fGetHostLoopLipFlag(uint8_t bPort);
// The N_Port handle of an initiator's 24-bit port id (ISP24xx): 255 found.
uint8_t bLookupHandleByPortId(uint8_t bChip, uint32_t dPortId, uint16_t* pwHandle);
uint8_t bAddHandleMapping(uint8_t bChip, uint32_t dPortId, uint16_t wHandle);
// The handle of a command's initiator in its port's handle table.
struct KERNEL_ENTRY;
uint16_t wGetHostLoopHandle(const KERNEL_ENTRY* psEntry);

// Request entries (64 bytes each) and their posting.  A CTIO's handle is the
// address of its command's KERNEL_ENTRY, or a tagged value naming none.
uint8_t QL24_BuildCtio7(uint32_t dHandle, uint16_t wNPortHandle, uint16_t wOxId, uint16_t wFlags, uint16_t wTimeout,
                        uint32_t dPortId, uint32_t dExchangeAddress, uint16_t wSegmentCount, uint16_t wScsiStatus,
                        uint32_t dRelativeOffset, uint32_t dResidual, uint32_t dTransferLength,
                        uint32_t dSegmentAddress, uint32_t dSegmentLength, uint8_t* pbEntry);
uint8_t bBuildQlCtio7Status(uint32_t dHandle, uint16_t wNPortHandle, uint16_t wOxId, uint16_t wFlags,
                            uint16_t wTimeout, uint32_t dPortId, uint32_t dExchangeAddress, uint16_t wScsiStatus,
                            uint16_t wSenseLength, uint16_t wResponseLength, const uint8_t* pbBytes, uint8_t* pbEntry);
uint8_t QL2x_BuildCtio2(uint32_t dHandle, uint16_t wLoopId, uint16_t wExchangeId, uint16_t wFlags, uint16_t wTimeout,
                        uint16_t wSegmentCount, uint16_t wScsiStatus, uint32_t dRelativeOffset, uint32_t dResidual,
                        uint32_t dTransferLength, uint32_t dSegmentAddress, uint32_t dSegmentLength,
                        uint8_t* pbEntry);
uint8_t bBuildQlCtioEntry(uint32_t dHandle, uint16_t wLoopId, uint16_t wExchangeId, uint16_t wFlags,
                          uint16_t wTimeout, uint16_t wScsiStatus, uint16_t wSenseLength, uint16_t wResponseLength,
                          const uint8_t* pbBytes, uint8_t* pbEntry);
// Copies count 64-byte sources, 636 bytes apart, onto the chip's request ring.
uint8_t bPostRequestQueueEntries(uint8_t bChip, uint16_t wCount, const void* pSource);
// NOTIFY ACKNOWLEDGE of an ISP2x00 host port.
uint8_t BuildQlNotifyAck(uint32_t dValue, uint16_t wLoopId, uint16_t wFlags, uint16_t wTaskFlags, uint16_t wStatus,
                         uint16_t wSequenceId, uint8_t* pbEntry);
// The ISP24xx handle map: a logged-in initiator's port id and N_Port handle.
uint8_t bRemoveHandleMapping(uint8_t bChip, uint32_t dPortId, uint16_t wHandle);
void ClearHandleMap(uint8_t bChip);
uint8_t bRequestRingFree(uint8_t bChip);
void GetRequestRingBase(uint8_t bChip, uint8_t** ppbBase);
uint8_t bSendMarker(uint8_t bChip, uint16_t wTarget, uint16_t wLun, uint8_t bModifier);
// The driver's response ring out-pointer and the chip's queue registers, for
// the queue dumps.
uint16_t wGetResponseOutPointer(uint8_t bChip);
uint8_t bQLReadReg16(uint8_t bChip, uint16_t wRegister, uint16_t* pwValue);
uint8_t bQLReadReg32(uint8_t bChip, uint16_t wRegister, uint32_t* pdValue);
// The readiness flags TEST UNIT READY answers from: the drive loops are
// ready, the drives are starting, the drive loops are held.
uint8_t fGetDriveLoopsReady();
void SetDriveLoopsReady(uint8_t f);
uint8_t fGetDrivesStarting();
void SetDrivesStarting(uint8_t f);
uint8_t fGetDriveLoopsHold();
void SetDriveLoopsHold(uint8_t f);
// ISP2x00: command resources consumed and the request to give them back.
void IncTargetResourceCount(uint8_t bPort);
void SetTargetResourceRequest(uint8_t bPort, uint8_t f);

// The host ports enable their LUNs again after a commit (TRUE raises the
// chip service's work).
void SetEnableLunRequest(uint8_t f);
// Console dump of the host chips' registers.
void ShowQLogicRegisters();

}  // namespace fw
