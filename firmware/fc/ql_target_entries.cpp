#include "fc/ql_target_entries.h"

#include <cstring>

#include "executive/interrupt_controller.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/ql_chip.h"
#include "fc/ql_host_events.h"
#include "fc/ql_rings.h"
#include "hw/isp_fc.h"

namespace fw {

namespace {

constexpr uint32_t CTIO2_BYTES_LIMIT = 26;   // response and sense bytes from 0x26 to the end
constexpr uint8_t MODIFY_LUN_RETURN = 1;

uint16_t s_awTargetResources[2];
uint8_t s_afTargetResourceRequest[2] = {FALSE, FALSE};
uint16_t s_awDriveResources[2];
uint8_t s_fDriveResourceRequest = FALSE;
uint8_t s_fEnableLunRequest = FALSE;

void Put16(uint8_t* pb, uint32_t dOffset, uint16_t w) { std::memcpy(pb + dOffset, &w, 2); }
void Put32(uint8_t* pb, uint32_t dOffset, uint32_t d) { std::memcpy(pb + dOffset, &d, 4); }

void Head(uint8_t* pbEntry, uint8_t bType, uint8_t bTag) {
    std::memset(pbEntry, 0, ISP_ENTRY_BYTES);
    pbEntry[0] = bType;
    pbEntry[1] = 1;
    pbEntry[2] = bTag;
    pbEntry[3] = 0;
}

bool IsHostPort(uint8_t bPort) { return bPort == 1 || bPort == 2; }
bool IsDriveChip(uint8_t bChip) { return bChip == 3 || bChip == 4; }

// The response and sense bytes that fit behind a status entry's fixed
// fields: response bytes first, sense trimmed first when both do not fit.
void FitResponseAndSense(uint16_t wResponse, uint16_t wSense, uint32_t dLimit, uint16_t* pwResponse, uint16_t* pwSense) {
    *pwResponse = static_cast<uint16_t>(wResponse < dLimit ? wResponse : dLimit);
    const uint32_t dRoom = dLimit - *pwResponse;
    *pwSense = static_cast<uint16_t>(wSense < dRoom ? wSense : dRoom);
}

// Holds the host pool's (or the drive side's) lock for one scope; only a
// holder that took it releases it.
class SourceLock {
public:
    explicit SourceLock(uint8_t bSource) : m_bSource(bSource), m_bResult(LockInterruptSource(bSource)) {}
    ~SourceLock() {
        if (m_bResult != STATUS_LOCK_HELD) UnlockInterruptSource(m_bSource);
    }
    SourceLock(const SourceLock&) = delete;
    SourceLock& operator=(const SourceLock&) = delete;

private:
    uint8_t m_bSource;
    uint8_t m_bResult;
};

}  // namespace

uint8_t QL2x_BuildCtio2(uint32_t dHandle, uint16_t wLoopId, uint16_t wExchangeId, uint16_t wFlags, uint16_t wTimeout,
                        uint16_t wSegmentCount, uint16_t wScsiStatus, uint32_t dRelativeOffset, uint32_t dResidual,
                        uint32_t dTransferLength, uint32_t dSegmentAddress, uint32_t dSegmentLength, uint8_t* pbEntry) {
    Head(pbEntry, CTIO2_ENTRY_TYPE, ISP_IOCB_TAG_BUILDER);
    Put32(pbEntry, 0x04, dHandle);
    Put16(pbEntry, 0x08, wLoopId);
    Put16(pbEntry, 0x0A, wExchangeId);
    Put16(pbEntry, 0x0C, wFlags);
    Put16(pbEntry, 0x10, wTimeout);
    Put16(pbEntry, 0x12, wSegmentCount);
    Put32(pbEntry, 0x14, dRelativeOffset);
    Put32(pbEntry, 0x18, dResidual);
    Put16(pbEntry, 0x22, wScsiStatus);
    Put32(pbEntry, 0x24, dTransferLength);
    Put32(pbEntry, 0x28, dSegmentAddress);
    Put32(pbEntry, 0x2C, dSegmentLength);
    return STATUS_OK;
}

// The lengths written are those of the bytes actually copied.
uint8_t bBuildQlCtioEntry(uint32_t dHandle, uint16_t wLoopId, uint16_t wExchangeId, uint16_t wFlags, uint16_t wTimeout,
                          uint16_t wScsiStatus, uint16_t wSenseLength, uint16_t wResponseLength, const uint8_t* pbBytes,
                          uint8_t* pbEntry) {
    Head(pbEntry, CTIO2_ENTRY_TYPE, ISP_IOCB_TAG_BUILDER);
    Put32(pbEntry, 0x04, dHandle);
    Put16(pbEntry, 0x08, wLoopId);
    Put16(pbEntry, 0x0A, wExchangeId);
    Put16(pbEntry, 0x0C, wFlags);
    Put16(pbEntry, 0x10, wTimeout);
    uint16_t wResponse = 0, wSense = 0;
    FitResponseAndSense(wResponseLength, wSenseLength, CTIO2_BYTES_LIMIT, &wResponse, &wSense);
    Put16(pbEntry, 0x20, wSense);
    Put16(pbEntry, 0x22, wScsiStatus);
    Put16(pbEntry, 0x24, wResponse);
    if (pbBytes != nullptr) {
        std::memcpy(pbEntry + 0x26, pbBytes, wResponse);
        std::memcpy(pbEntry + 0x26 + wResponse, pbBytes + wResponseLength, wSense);
    }
    return STATUS_OK;
}

uint8_t QL24_BuildCtio7(uint32_t dHandle, uint16_t wNportHandle, uint16_t wOxId, uint16_t wFlags, uint16_t wTimeout,
                        uint32_t dPortId, uint32_t dExchangeAddress, uint16_t wSegmentCount, uint16_t wScsiStatus,
                        uint32_t dRelativeOffset, uint32_t dResidual, uint32_t dTransferLength, uint32_t dSegmentAddress,
                        uint32_t dSegmentLength, uint8_t* pbEntry) {
    ISP24_CTIO7 s{};
    s.bEntryType = CTIO7_ENTRY_TYPE;
    s.bEntryCount = 1;
    s.bSystemDefined = ISP_IOCB_TAG_BUILDER;
    s.dHandle = dHandle;
    s.wNportHandle = wNportHandle;
    s.wTimeout = wTimeout;
    s.wSegmentCount = wSegmentCount;
    s.wPortIdLow = static_cast<uint16_t>(dPortId);
    s.bPortIdHigh = static_cast<uint8_t>(dPortId >> 16);
    s.dExchangeAddress = dExchangeAddress;
    s.wFlags = wFlags;
    s.dResidual = dResidual;
    s.wOxId = wOxId;
    s.wScsiStatus = wScsiStatus;
    s.u.sData.dRelativeOffset = dRelativeOffset;
    s.u.sData.dTransferLength = dTransferLength;
    s.u.sData.dSegmentAddressLow = dSegmentAddress;
    s.u.sData.dSegmentLength = dSegmentLength;
    std::memcpy(pbEntry, &s, sizeof s);
    return STATUS_OK;
}

// The lengths written are those of the bytes actually copied.
uint8_t bBuildQlCtio7Status(uint32_t dHandle, uint16_t wNportHandle, uint16_t wOxId, uint16_t wFlags, uint16_t wTimeout,
                            uint32_t dPortId, uint32_t dExchangeAddress, uint16_t wScsiStatus, uint16_t wSenseLength,
                            uint16_t wResponseLength, const uint8_t* pbBytes, uint8_t* pbEntry) {
    ISP24_CTIO7 s{};
    s.bEntryType = CTIO7_ENTRY_TYPE;
    s.bEntryCount = 1;
    s.bSystemDefined = ISP_IOCB_TAG_BUILDER;
    s.dHandle = dHandle;
    s.wNportHandle = wNportHandle;
    s.wTimeout = wTimeout;
    s.wPortIdLow = static_cast<uint16_t>(dPortId);
    s.bPortIdHigh = static_cast<uint8_t>(dPortId >> 16);
    s.dExchangeAddress = dExchangeAddress;
    s.wFlags = wFlags;
    s.wOxId = wOxId;
    s.wScsiStatus = wScsiStatus;
    uint16_t wResponse = 0, wSense = 0;
    FitResponseAndSense(wResponseLength, wSenseLength, CTIO7_SENSE_BYTES, &wResponse, &wSense);
    s.wSenseLength = wSense;
    s.u.sStatus.wResponseLength = wResponse;
    if (pbBytes != nullptr) {
        std::memcpy(s.u.sStatus.abSense, pbBytes, wResponse);
        std::memcpy(s.u.sStatus.abSense + wResponse, pbBytes + wResponseLength, wSense);
    }
    std::memcpy(pbEntry, &s, sizeof s);
    return STATUS_OK;
}

uint8_t BuildQlNotifyAck(uint32_t dValue, uint16_t wLoopId, uint16_t wFlags, uint16_t wTaskFlags, uint16_t wStatus,
                         uint16_t wSequenceId, uint8_t* pbEntry) {
    Head(pbEntry, NOTIFY_ACK_ENTRY_TYPE, ISP_IOCB_TAG_BUILDER);
    Put32(pbEntry, 0x04, dValue);
    Put16(pbEntry, 0x08, wLoopId);
    Put16(pbEntry, 0x0C, wFlags);
    Put16(pbEntry, 0x10, wStatus);
    Put16(pbEntry, 0x12, wTaskFlags);
    Put16(pbEntry, 0x14, wSequenceId);
    return STATUS_OK;
}

uint8_t BuildQlModifyLun(uint32_t dValue, uint8_t bOperators, uint8_t bCommandCount, uint8_t bNotifyCount,
                         uint16_t wTimeout, uint8_t* pbEntry) {
    Head(pbEntry, ISP_ENTRY_MODIFY_LUN, ISP_IOCB_TAG_BUILDER);
    Put32(pbEntry, 0x04, dValue);
    pbEntry[0x0A] = bOperators;
    pbEntry[0x12] = bCommandCount;
    pbEntry[0x13] = bNotifyCount;
    Put16(pbEntry, 0x16, wTimeout);
    return STATUS_OK;
}

uint8_t bSendModifyLun(uint8_t bChip, uint8_t bNotifyCount, uint8_t bCommandCount, uint8_t bOperators, uint16_t wTimeout) {
    if (fIsQL24xx() == TRUE) return STATUS_OK;
    uint8_t abEntry[ISP_ENTRY_BYTES];
    (void)BuildQlModifyLun(0, bOperators, bCommandCount, bNotifyCount, wTimeout, abEntry);
    return bPostRequestQueueEntries(bChip, 1, abEntry) == STATUS_OK ? STATUS_OK : 0;
}

uint8_t bSendEnableLun(uint8_t bChip, uint32_t dValue, uint16_t wTimeout, uint8_t bCommandCount, uint8_t bNotifyCount) {
    ClearMailboxComplete(bChip);
    uint8_t abEntry[ISP_ENTRY_BYTES];
    Head(abEntry, ISP_ENTRY_ENABLE_LUN, bNextIocbTag());
    Put32(abEntry, 0x04, dValue);
    abEntry[0x12] = bCommandCount;
    abEntry[0x13] = bNotifyCount;
    Put16(abEntry, 0x16, wTimeout);
    return bPostRequestQueueEntries(bChip, 1, abEntry) == STATUS_OK ? STATUS_OK : 0;
}

void PostEnableLunAllPorts() {
    for (uint8_t bChip = 1; bChip <= 2; ++bChip) {
        if (fIsChipPresent(bChip) == TRUE) (void)bSendEnableLun(bChip, 0, 0, 255, 2);
    }
    SetEnableLunRequest(FALSE);
}

void SetEnableLunRequest(uint8_t f) {
    s_fEnableLunRequest = f;
    if (f == TRUE) SetWorkPending(TRUE);
}

uint8_t fGetEnableLunRequest() { return s_fEnableLunRequest; }

uint8_t bSendMarker(uint8_t bChip, uint16_t wTarget, uint16_t wLun, uint8_t bModifier) {
    ISP_MARKER s{};
    s.bEntryType = ISP_ENTRY_MARKER;
    s.bEntryCount = 1;
    s.bSystemDefined = ISP_IOCB_TAG_MARKER;
    s.wTarget = wTarget;
    s.bModifier = bModifier;
    s.wLun = wLun;
    return bPostRequestQueueEntries(bChip, 1, &s) == STATUS_OK ? STATUS_OK : 0;
}

// --- consumed command resources (ISP2x00) ---------------------------------------

void IncTargetResourceCount(uint8_t bPort) {
    if (fIsQL24xx() == TRUE || !IsHostPort(bPort)) return;
    SourceLock sLock(INT_SOURCE_HOST_CHIPS);
    ++s_awTargetResources[bPort - 1];
}

void ClearTargetResourceCount(uint8_t bPort) {
    if (IsHostPort(bPort)) s_awTargetResources[bPort - 1] = 0;
}

uint16_t wGetTargetResourceCount(uint8_t bPort) { return IsHostPort(bPort) ? s_awTargetResources[bPort - 1] : 0; }

void SetTargetResourceRequest(uint8_t bPort, uint8_t f) {
    if (fIsQL24xx() == TRUE || !IsHostPort(bPort)) return;
    s_afTargetResourceRequest[bPort - 1] = f;
    if (f == TRUE) SetWorkPending(TRUE);
}

uint8_t fGetTargetResourceRequest(uint8_t bPort) { return IsHostPort(bPort) ? s_afTargetResourceRequest[bPort - 1] : FALSE; }

// A failed post keeps the count for the next return; the request is
// raised again by the next command.
void ReplenishTargetResources(uint8_t bPort) {
    if (fIsQL24xx() == TRUE || !IsHostPort(bPort)) return;
    SourceLock sLock(INT_SOURCE_HOST_CHIPS);
    if (bSendModifyLun(bPort, 0, static_cast<uint8_t>(s_awTargetResources[bPort - 1]), MODIFY_LUN_RETURN, 0) == STATUS_OK) {
        s_awTargetResources[bPort - 1] = 0;
    }
    s_afTargetResourceRequest[bPort - 1] = FALSE;
}

void IncDriveResourceCount(uint8_t bChip) {
    if (!IsDriveChip(bChip)) return;
    SourceLock sLock(INT_SOURCE_DRIVE_SIDE);
    ++s_awDriveResources[bChip - 3];
}

void ClearDriveResourceCount(uint8_t bChip) {
    if (!IsDriveChip(bChip)) return;
    SourceLock sLock(INT_SOURCE_DRIVE_SIDE);
    s_awDriveResources[bChip - 3] = 0;
}

uint16_t wGetDriveResourceCount(uint8_t bChip) { return IsDriveChip(bChip) ? s_awDriveResources[bChip - 3] : 0; }

void SetDriveResourceRequest(uint8_t f) {
    SourceLock sLock(INT_SOURCE_DRIVE_SIDE);
    s_fDriveResourceRequest = f;
    if (f == TRUE) SetWorkPending(TRUE);
}

uint8_t fGetDriveResourceRequest() { return s_fDriveResourceRequest; }

void ReplenishDriveResources() {
    SourceLock sLock(INT_SOURCE_DRIVE_SIDE);
    for (uint8_t bChip = 3; bChip <= 4; ++bChip) {
        uint16_t& wCount = s_awDriveResources[bChip - 3];
        if (wCount != 0 && bSendModifyLun(bChip, 0, static_cast<uint8_t>(wCount), MODIFY_LUN_RETURN, 0) == STATUS_OK) wCount = 0;
    }
    s_fDriveResourceRequest = FALSE;
}

// The ISP24xx keeps its own command resources and needs no ENABLE LUN: its
// requests are never raised, and the ENABLE LUN request is left alone.
// Commands a chip brought while the host pool was full wait on its rings
// for the service too.
uint8_t fGetQLogicServiceFlag() {
    return ToFlag(s_afTargetResourceRequest[0] == TRUE || s_afTargetResourceRequest[1] == TRUE ||
                  s_fDriveResourceRequest == TRUE || (s_fEnableLunRequest == TRUE && fIsQL24xx() != TRUE) ||
                  fGetHostRingRetry() == TRUE);
}

void QLogicService() {
    if (fGetHostRingRetry() == TRUE) RetryHostRings();
    for (uint8_t bPort = 1; bPort <= 2; ++bPort) {
        if (s_afTargetResourceRequest[bPort - 1] == TRUE) ReplenishTargetResources(bPort);
    }
    if (s_fDriveResourceRequest == TRUE) ReplenishDriveResources();
    if (s_fEnableLunRequest == TRUE && fIsQL24xx() != TRUE) PostEnableLunAllPorts();
}

}  // namespace fw
