// SAS and SATA chip driver services the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "sas/sas_flags.h"

namespace fw {

uint8_t LSI_SAS_DriveIOCBringUp(uint8_t f);
// A new start may report the next cascade cut (event 144) again.
void ClearSasEvent144Posted();
// A reset of the target counted on its device entry and stamped.
void MarkSasDeviceReset(uint8_t bTarget, uint8_t fLockHeld, uint8_t fCopyStamp);
// A slot's event, from the console or the partner (message 213): kind 0
// sends the device there the task management function of the MPI task type
// given as the argument; kind 1 starts a slot change whose sequence is the
// argument; any other kind resets a drive that holds commands (kind 2: any
// drive) and holds it off for 5 s.
void ProcessSASSlotEvent(uint8_t bEnclosure, uint8_t bSlot, uint8_t bArgument, uint8_t bKind);
void InitDriveSideSAS();
uint8_t InitSASHostPorts();
uint8_t LSI_SAS_TargetInit();
uint8_t fIsSASFailbackInProgress();
// The partner's drive-side failback is in progress: no configuration
// messages go to the partner meanwhile.
uint8_t fIsSASOCFailbackInProgress();
void UpdateSASActiveActiveState(uint8_t f);
// The partner's active-active mode byte, as its messages last said.
void SetPartnerActiveActiveState(uint8_t b);
void SetMuxHousekeepingRequest(uint8_t f);
// Start of day: the multiplexer patch table.
uint8_t bAllocateMuxTables();
void ResetSasStartFlags();
// MSI set-up of the drive IOC (the reply dispatch builds it).
void SetupQl2MessageInterrupts(uint8_t bPciFunction);
// TRUE while the active-active path state is 4.
uint8_t fIsSASActiveActiveState4();
// 9 while the hold-off after a slot change runs: host writes and reads wait.
uint8_t bGetSASHostHoldOffStatus();

// ORs bits into the per-handle byte of the drive-side device table.
void SetSASDeviceTableFlag(uint8_t bPortCode, uint16_t wDeviceHandle, uint8_t bBits);
// SAS host ports in target mode (port codes 113 and 114) and the second SAS
// target path (49 and 50): the data and status of a host command.
struct KERNEL_ENTRY;
uint8_t SendSASScsiStatus(KERNEL_ENTRY* psEntry, uint8_t bStatus, uint8_t bKey, uint8_t bAsc, uint8_t bAscq);
uint8_t StartSASDataInTransfer(KERNEL_ENTRY* psEntry, uint32_t dRelativeOffset, uint32_t dAddress1,
                               uint32_t dLength1, uint32_t dAddress2, uint32_t dLength2, uint8_t fAutoStatus,
                               uint8_t bStatus, uint8_t bKey, uint8_t bAsc, uint8_t bAscq);
void StartSASDataOutTransfer(KERNEL_ENTRY* psEntry, uint32_t dRelativeOffset, uint32_t dAddress1, uint32_t dAddress2,
                             uint32_t dLength1, uint32_t dLength2);
uint8_t bHostPortSendStatus(KERNEL_ENTRY* psEntry, uint16_t wUnused, uint8_t bStatus, uint8_t bKey, uint8_t bAsc,
                            uint8_t bAscq);
// The last sense the SAS target driver sent an initiator of port code 113
// or 114 (REQUEST SENSE reports it); all zero when none.
void GetSASTargetLastSense(uint8_t bPortCode, uint16_t wInitiator, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq);
uint8_t HostPortDataInAssist(KERNEL_ENTRY* psEntry, uint32_t dRelativeOffset, uint32_t dAddress1, uint32_t dLength1,
                             uint32_t dAddress2, uint32_t dLength2, uint16_t wUnused, uint8_t fWithStatus,
                             uint8_t bStatus, uint8_t bKey, uint8_t bAsc, uint8_t bAscq);
void HostPortDataOutAssist(KERNEL_ENTRY* psEntry, uint32_t dRelativeOffset, uint32_t dAddress1, uint32_t dLength1,
                           uint32_t dAddress2, uint32_t dLength2);

// Used by the system tick and the stop paths of the executive.
void SasHalfSecondService();
void DisableSasExpanders(uint8_t f);
void StopDriveSideSasController();
void StopSasTargetController();

// Background pass and FIQ services of the SAS drivers.
void SASDiscoveryStep();
void SASFailbackStep();
void SASCommandTimeoutScan();
uint8_t fIsDriveIocServiceRequested(uint8_t bIocId);
void DriveIocService(uint8_t bIocId);
void SasMuxService();
uint8_t fGetMuxHousekeepingRequest();
void MuxHousekeepingService();
uint8_t fIsSasHostPortServiceRequested(uint8_t bPort);
void SasHostPortService(uint8_t bPort);
void SasHostEventService();
// The SAS host ports: task management, port states, host records,
// command buffer reposts and the time-out scan.
void SASTargetTaskManagementService(uint8_t bPort);
uint8_t fIsSASTargetPortServiceRequested(uint8_t bPort);
void SASTargetPortService(uint8_t bPort);
uint8_t fIsSASTargetPortEventPending(uint8_t bPort);
void SASTargetEventService(uint8_t bPort, uint8_t fForce, uint8_t fNotify);
uint8_t fIsSASTargetRepostRequested();
void SASTargetRepostService(uint8_t bPort);
void SASTargetTimeoutScan();
void LSI_SAS_HostPortInterruptEntry(uint8_t bPort);
void LSI_SAS_TargetInterruptEntry(uint8_t bIocId);
void LSI_SAS_DriveInterruptEntry(uint8_t bIocId);

// Used by the configuration database.
struct DRIVE_ADDRESS_LIST;
struct HOST_PORT_RECORD;
void BuildSASAddressList(DRIVE_ADDRESS_LIST* psList);
struct DRIVE_ADDRESS_ENTRY;
// The list's entry of the address, with its target id (255 and null when
// none); with fMarkUsed TRUE the entry is marked used.
DRIVE_ADDRESS_ENTRY* pFindSASAddressInList(DRIVE_ADDRESS_LIST* psList, const uint8_t* pbWwn, uint8_t* pbTarget,
                                           uint8_t fMarkUsed);
uint8_t bGetSASDeviceCount();
void RefreshSasTargetInitiators(uint8_t bPort, HOST_PORT_RECORD* psRecord);
uint8_t bFilterSASHostPortPhySetting(uint8_t bValue);
uint8_t bFilterSASHostPortConnectionOption(uint8_t bValue);
uint8_t fIsSASActiveActiveModeSet();

uint32_t dGetSASActiveActiveState();
uint8_t bGetSASTargetPortStatus(uint8_t bPort);
// The SAS target initiator table: the port code (113 or 114) an initiator
// number is logged in on, 255 while unknown.
constexpr uint8_t SAS_PORT_UNRESOLVED = 255;
uint8_t bGetSASInitiatorPort(uint16_t wInitiator);
// The port a command was found to have come in on, for the driver's
// aborts by port.
void RegisterSASCommandPort(KERNEL_ENTRY* psEntry, uint8_t bPort);
uint8_t bGetSASTargetPortLinkCode(uint8_t bPort);

uint8_t bGetSASAddressOfTarget(uint8_t* pbAddress, uint8_t bTarget);   // 255 when known
// The SAS host ports: the address of port 0 or 1 of controller 1 or 2,
// derived from the configuration WWN, and its settings as the
// configuration dump prints them.
uint64_t lGetSASHostPortAddress(const uint8_t* pbWwn, uint8_t bController, uint8_t bPort);
void PrintSASPortSettings(const char* pszPort, uint8_t bConnection, uint8_t bDataRate);
// The negotiated parameter word of a target on a parallel SCSI host port
// (port code 49 or 50); 255 when read.
uint8_t bReadNegotiatedParameters(uint8_t bPortCode, uint8_t bId, uint32_t* pdWord);

// Console dumps of the SAS controllers (by port code), and the reset of a
// SAS host port.
void ShowLSITargetPostQueues();
void ShowSASTargetInterfaceInfo(uint8_t fDetail);
void ShowSASInfoLists();
void ResetLsiHostPort(uint8_t bPort);

// Resets and brings up the drive IOC again (twice before giving up); 255
// up, 0 failed.
uint8_t bRestartDriveIOC();

// What drive-side discovery asks of the time-out, recovery, active-active
// and slot Parts of this subsystem and of the expander flash check, which
// are not built yet.
uint8_t fIsSASDiscoverySuspended();         // the active-active code holds discovery
uint8_t fIsSASDiscoveryInhibited();
uint8_t fIsSASSlotChangeArmed();
uint8_t fIsSASRescanArmed();
// Arms the slot-change sequence (its sequence byte), holds the hosts off
// for the time given and arms the rescan that follows.
void ArmSASSlotChange(uint8_t bSequence, uint32_t dHostHoldOffMs);
// Starts the slot-change sequence after a cascade cut, aiming at the
// given enclosure count.
// Starts the slot-change sequence after the cascade lost enclosures: the
// drive side waits, and the sequence waits for the given enclosure count.
void StartSASSlotChange(uint8_t bEnclosureTarget);
uint8_t bGetSASSlotChangeEnclosureTarget();
uint8_t bGetSASSlotChangeSubState();
uint8_t fDoesSASActiveActiveObjectToNewEnclosure();
void ArmSASActiveActiveUpdate();
void NotifySASExpanderListChanged();
// The controller (1 or 2) that owns a slot.
uint8_t bGetSlotOwnerController(uint8_t bEnclosure, uint8_t bSlot);
// Partner messages whose CDB CRC did not match.
uint32_t dGetSASInvalidCrcCount();

}  // namespace fw
