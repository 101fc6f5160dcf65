// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "fc/fc_driver.h"

#include <cstring>

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
// No drive-loop bring-up runs on this board: the drive side counts as
// ready from the start until something says otherwise.
namespace {
uint8_t s_fDriveLoopsReady = TRUE;
uint8_t s_fDrivesStarting = FALSE;
uint8_t s_fDriveLoopsHold = FALSE;
}  // namespace
uint8_t fGetDriveLoopsReady() { return s_fDriveLoopsReady; }
void SetDriveLoopsReady(uint8_t f) { s_fDriveLoopsReady = f; }
uint8_t fGetDrivesStarting() { return s_fDrivesStarting; }
void SetDrivesStarting(uint8_t f) { s_fDrivesStarting = f; }
uint8_t fGetDriveLoopsHold() { return s_fDriveLoopsHold; }
void SetDriveLoopsHold(uint8_t f) { s_fDriveLoopsHold = f; }
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
uint8_t bLoopIdToAlpa(uint8_t) { return 0; }
uint8_t bGetPortDatabase(uint8_t, uint8_t, uint8_t*, uint8_t*) { return 0; }
// No drive-loop chip answers on this board.
uint8_t bQLExecuteIocb(uint8_t, uint32_t) { return 0; }
uint8_t bWaitMailboxComplete(uint8_t) { return 0; }

// Host ports in target mode: no loop events, a plain handle map, request
// entries laid out as the chip reads them and rings that are never full.
namespace {
constexpr uint32_t HANDLE_MAP_ENTRIES = 512;
constexpr uint32_t RING_ENTRIES = 128;
constexpr uint32_t ENTRY_BYTES = 64;
struct HANDLE_MAPPING {
    uint32_t dPortId;
    uint16_t wHandle;
    uint8_t fUsed;
};
HANDLE_MAPPING s_asHandleMap[2][HANDLE_MAP_ENTRIES];
alignas(8) uint8_t s_abRequestRing[2][RING_ENTRIES * ENTRY_BYTES];
uint16_t s_awRequestIn[2];

uint32_t dHostChip(uint8_t bChip) { return bChip == 1 ? 0 : 1; }
void Put16(uint8_t* pb, uint16_t w) { std::memcpy(pb, &w, 2); }
void Put32(uint8_t* pb, uint32_t d) { std::memcpy(pb, &d, 4); }
void Head(uint8_t bType, uint32_t dHandle, uint8_t* pbEntry) {
    std::memset(pbEntry, 0, ENTRY_BYTES);
    pbEntry[0] = bType;
    pbEntry[1] = 1;
    pbEntry[2] = 'i';
    Put32(pbEntry + 4, dHandle);
}
void Ctio7Common(uint32_t dHandle, uint16_t wNPortHandle, uint16_t wOxId, uint16_t wFlags, uint16_t wTimeout,
                 uint32_t dPortId, uint32_t dExchangeAddress, uint16_t wScsiStatus, uint8_t* pbEntry) {
    Head(0x12, dHandle, pbEntry);
    Put16(pbEntry + 0x08, wNPortHandle);
    Put16(pbEntry + 0x0A, wTimeout);
    Put16(pbEntry + 0x10, static_cast<uint16_t>(dPortId));
    pbEntry[0x12] = static_cast<uint8_t>(dPortId >> 16);
    Put32(pbEntry + 0x14, dExchangeAddress);
    Put16(pbEntry + 0x1A, wFlags);
    Put16(pbEntry + 0x20, wOxId);
    Put16(pbEntry + 0x22, wScsiStatus);
}
}  // namespace

uint16_t wGetHostLoopLipCount(uint8_t) { return 0; }
uint8_t fGetHostLoopLipFlag(uint8_t) { return FALSE; }
uint16_t wGetHostLoopHandle(const KERNEL_ENTRY*) { return 0xFFFF; }

uint8_t bLookupHandleByPortId(uint8_t bChip, uint32_t dPortId, uint16_t* pwHandle) {
    for (const HANDLE_MAPPING& s : s_asHandleMap[dHostChip(bChip)]) {
        if (s.fUsed == TRUE && s.dPortId == dPortId) {
            *pwHandle = s.wHandle;
            return STATUS_OK;
        }
    }
    return 0;
}

uint8_t bAddHandleMapping(uint8_t bChip, uint32_t dPortId, uint16_t wHandle) {
    for (HANDLE_MAPPING& s : s_asHandleMap[dHostChip(bChip)]) {
        if (s.fUsed != TRUE || s.dPortId == dPortId) {
            s = {dPortId, wHandle, TRUE};
            return STATUS_OK;
        }
    }
    return 0;
}

uint8_t bRemoveHandleMapping(uint8_t bChip, uint32_t dPortId, uint16_t wHandle) {
    for (HANDLE_MAPPING& s : s_asHandleMap[dHostChip(bChip)]) {
        if (s.fUsed == TRUE && s.dPortId == dPortId && s.wHandle == wHandle) {
            s.fUsed = FALSE;
            return STATUS_OK;
        }
    }
    return 0;
}

void ClearHandleMap(uint8_t bChip) {
    for (HANDLE_MAPPING& s : s_asHandleMap[dHostChip(bChip)]) s.fUsed = FALSE;
}

uint8_t BuildQlNotifyAck(uint32_t dValue, uint16_t wLoopId, uint16_t wFlags, uint16_t wTaskFlags, uint16_t wStatus,
                         uint16_t wSequenceId, uint8_t* pbEntry) {
    Head(0x0E, dValue, pbEntry);
    Put16(pbEntry + 0x08, wLoopId);
    Put16(pbEntry + 0x0C, wFlags);
    Put16(pbEntry + 0x10, wStatus);
    Put16(pbEntry + 0x12, wTaskFlags);
    Put16(pbEntry + 0x14, wSequenceId);
    return STATUS_OK;
}

uint8_t QL24_BuildCtio7(uint32_t dHandle, uint16_t wNPortHandle, uint16_t wOxId, uint16_t wFlags, uint16_t wTimeout,
                        uint32_t dPortId, uint32_t dExchangeAddress, uint16_t wSegmentCount, uint16_t wScsiStatus,
                        uint32_t dRelativeOffset, uint32_t dResidual, uint32_t dTransferLength,
                        uint32_t dSegmentAddress, uint32_t dSegmentLength, uint8_t* pbEntry) {
    Ctio7Common(dHandle, wNPortHandle, wOxId, wFlags, wTimeout, dPortId, dExchangeAddress, wScsiStatus, pbEntry);
    Put16(pbEntry + 0x0C, wSegmentCount);
    Put32(pbEntry + 0x1C, dResidual);
    Put32(pbEntry + 0x24, dRelativeOffset);
    Put32(pbEntry + 0x2C, dTransferLength);
    Put32(pbEntry + 0x34, dSegmentAddress);
    Put32(pbEntry + 0x3C, dSegmentLength);
    return STATUS_OK;
}

uint8_t bBuildQlCtio7Status(uint32_t dHandle, uint16_t wNPortHandle, uint16_t wOxId, uint16_t wFlags,
                            uint16_t wTimeout, uint32_t dPortId, uint32_t dExchangeAddress, uint16_t wScsiStatus,
                            uint16_t wSenseLength, uint16_t wResponseLength, const uint8_t* pbBytes, uint8_t* pbEntry) {
    Ctio7Common(dHandle, wNPortHandle, wOxId, wFlags, wTimeout, dPortId, dExchangeAddress, wScsiStatus, pbEntry);
    uint32_t dResponse = wResponseLength < 24u ? wResponseLength : 24u;
    uint32_t dSense = wSenseLength < 24u - dResponse ? wSenseLength : 24u - dResponse;
    Put16(pbEntry + 0x18, static_cast<uint16_t>(dSense));
    Put16(pbEntry + 0x24, static_cast<uint16_t>(dResponse));
    if (pbBytes != nullptr) std::memcpy(pbEntry + 0x28, pbBytes, dResponse + dSense);
    return STATUS_OK;
}

uint8_t QL2x_BuildCtio2(uint32_t dHandle, uint16_t wLoopId, uint16_t wExchangeId, uint16_t wFlags, uint16_t wTimeout,
                        uint16_t wSegmentCount, uint16_t wScsiStatus, uint32_t dRelativeOffset, uint32_t dResidual,
                        uint32_t dTransferLength, uint32_t dSegmentAddress, uint32_t dSegmentLength,
                        uint8_t* pbEntry) {
    Head(0x17, dHandle, pbEntry);
    Put16(pbEntry + 0x08, wLoopId);
    Put16(pbEntry + 0x0A, wExchangeId);
    Put16(pbEntry + 0x0C, wFlags);
    Put16(pbEntry + 0x10, wTimeout);
    Put16(pbEntry + 0x12, wSegmentCount);
    Put32(pbEntry + 0x14, dRelativeOffset);
    Put32(pbEntry + 0x18, dResidual);
    Put16(pbEntry + 0x22, wScsiStatus);
    Put32(pbEntry + 0x24, dTransferLength);
    Put32(pbEntry + 0x28, dSegmentAddress);
    Put32(pbEntry + 0x2C, dSegmentLength);
    return STATUS_OK;
}

uint8_t bBuildQlCtioEntry(uint32_t dHandle, uint16_t wLoopId, uint16_t wExchangeId, uint16_t wFlags,
                          uint16_t wTimeout, uint16_t wScsiStatus, uint16_t wSenseLength, uint16_t wResponseLength,
                          const uint8_t* pbBytes, uint8_t* pbEntry) {
    Head(0x17, dHandle, pbEntry);
    Put16(pbEntry + 0x08, wLoopId);
    Put16(pbEntry + 0x0A, wExchangeId);
    Put16(pbEntry + 0x0C, wFlags);
    Put16(pbEntry + 0x10, wTimeout);
    uint32_t dResponse = wResponseLength < 26u ? wResponseLength : 26u;
    uint32_t dSense = wSenseLength < 26u - dResponse ? wSenseLength : 26u - dResponse;
    Put16(pbEntry + 0x20, static_cast<uint16_t>(dSense));
    Put16(pbEntry + 0x22, wScsiStatus);
    Put16(pbEntry + 0x24, static_cast<uint16_t>(dResponse));
    if (pbBytes != nullptr) std::memcpy(pbEntry + 0x26, pbBytes, dResponse + dSense);
    return STATUS_OK;
}

uint8_t bPostRequestQueueEntries(uint8_t bChip, uint16_t wCount, const void* pSource) {
    if (bChip != 1 && bChip != 2) return STATUS_OK;
    const uint32_t dChip = dHostChip(bChip);
    const uint8_t* pb = static_cast<const uint8_t*>(pSource);
    for (uint16_t w = 0; w < wCount; w++, pb += 636) {
        std::memcpy(&s_abRequestRing[dChip][s_awRequestIn[dChip] * ENTRY_BYTES], pb, ENTRY_BYTES);
        s_awRequestIn[dChip] = static_cast<uint16_t>((s_awRequestIn[dChip] + 1) % RING_ENTRIES);
    }
    return STATUS_OK;
}

uint8_t bRequestRingFree(uint8_t) { return RING_ENTRIES - 1; }

void GetRequestRingBase(uint8_t bChip, uint8_t** ppbBase) {
    *ppbBase = (bChip == 1 || bChip == 2) ? s_abRequestRing[dHostChip(bChip)] : nullptr;
}

uint8_t bSendMarker(uint8_t, uint16_t, uint16_t, uint8_t) { return STATUS_OK; }
uint16_t wGetResponseOutPointer(uint8_t) { return 0; }
uint8_t bQLReadReg16(uint8_t, uint16_t, uint16_t* pwValue) {
    *pwValue = 0;
    return STATUS_OK;
}
uint8_t bQLReadReg32(uint8_t, uint16_t, uint32_t* pdValue) {
    *pdValue = 0;
    return STATUS_OK;
}
void IncTargetResourceCount(uint8_t) {}
void SetTargetResourceRequest(uint8_t, uint8_t) {}

void SetEnableLunRequest(uint8_t) {}
void ShowQLogicRegisters() {}

}  // namespace fw
