// The request entries a host port answers a host with: continue-target-I/O
// entries (CTIO) that move data and return status, notify acknowledges,
// markers, and on ISP2x00 chips the ENABLE LUN and MODIFY LUN entries that
// give the firmware its command resources and return consumed ones.
//
// Builders fill every byte of the caller's 64-byte entry and post nothing.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

uint8_t QL2x_BuildCtio2(uint32_t dHandle, uint16_t wLoopId, uint16_t wExchangeId, uint16_t wFlags, uint16_t wTimeout,
                        uint16_t wSegmentCount, uint16_t wScsiStatus, uint32_t dRelativeOffset, uint32_t dResidual,
                        uint32_t dTransferLength, uint32_t dSegmentAddress, uint32_t dSegmentLength, uint8_t* pbEntry);
uint8_t bBuildQlCtioEntry(uint32_t dHandle, uint16_t wLoopId, uint16_t wExchangeId, uint16_t wFlags, uint16_t wTimeout,
                          uint16_t wScsiStatus, uint16_t wSenseLength, uint16_t wResponseLength, const uint8_t* pbBytes,
                          uint8_t* pbEntry);
uint8_t QL24_BuildCtio7(uint32_t dHandle, uint16_t wNportHandle, uint16_t wOxId, uint16_t wFlags, uint16_t wTimeout,
                        uint32_t dPortId, uint32_t dExchangeAddress, uint16_t wSegmentCount, uint16_t wScsiStatus,
                        uint32_t dRelativeOffset, uint32_t dResidual, uint32_t dTransferLength, uint32_t dSegmentAddress,
                        uint32_t dSegmentLength, uint8_t* pbEntry);
uint8_t bBuildQlCtio7Status(uint32_t dHandle, uint16_t wNportHandle, uint16_t wOxId, uint16_t wFlags, uint16_t wTimeout,
                            uint32_t dPortId, uint32_t dExchangeAddress, uint16_t wScsiStatus, uint16_t wSenseLength,
                            uint16_t wResponseLength, const uint8_t* pbBytes, uint8_t* pbEntry);
uint8_t BuildQlNotifyAck(uint32_t dValue, uint16_t wLoopId, uint16_t wFlags, uint16_t wTaskFlags, uint16_t wStatus,
                         uint16_t wSequenceId, uint8_t* pbEntry);
uint8_t BuildQlModifyLun(uint32_t dValue, uint8_t bOperators, uint8_t bCommandCount, uint8_t bNotifyCount,
                         uint16_t wTimeout, uint8_t* pbEntry);

uint8_t bSendModifyLun(uint8_t bChip, uint8_t bNotifyCount, uint8_t bCommandCount, uint8_t bOperators, uint16_t wTimeout);
uint8_t bSendEnableLun(uint8_t bChip, uint32_t dValue, uint16_t wTimeout, uint8_t bCommandCount, uint8_t bNotifyCount);
void PostEnableLunAllPorts();
void SetEnableLunRequest(uint8_t f);
uint8_t fGetEnableLunRequest();
uint8_t bSendMarker(uint8_t bChip, uint16_t wTarget, uint16_t wLun, uint8_t bModifier);

void IncTargetResourceCount(uint8_t bPort);
void ClearTargetResourceCount(uint8_t bPort);
uint16_t wGetTargetResourceCount(uint8_t bPort);
void SetTargetResourceRequest(uint8_t bPort, uint8_t f);
uint8_t fGetTargetResourceRequest(uint8_t bPort);
void ReplenishTargetResources(uint8_t bPort);
void IncDriveResourceCount(uint8_t bChip);
void ClearDriveResourceCount(uint8_t bChip);
uint16_t wGetDriveResourceCount(uint8_t bChip);
void SetDriveResourceRequest(uint8_t f);
uint8_t fGetDriveResourceRequest();
void ReplenishDriveResources();

// The main loop's chip service: consumed command resources go back to the
// ISP2x00 chips that asked, and their LUNs are enabled again when asked.
uint8_t fGetQLogicServiceFlag();
void QLogicService();

}  // namespace fw
