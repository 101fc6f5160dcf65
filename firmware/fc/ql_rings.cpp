#include "fc/ql_rings.h"

#include <cstring>

#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/interrupt_dispatch.h"
#include "executive/progress.h"
#include "executive/stop.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "fc/loop_maps.h"
#include "fc/ql_chip.h"
#include "hw/isp_fc.h"

namespace fw {

namespace {

constexpr uint32_t POST_PASS_LIMIT = 7999999;
constexpr uint32_t HEARTBEAT_UNIT_COUNTS = 400;
constexpr uint32_t HEARTBEAT_UNITS = 800;
constexpr uint8_t FAULT_RING_FULL = 3;

uint8_t* s_apbRequest[QL_CHIPS];
uint8_t* s_apbResponse[QL_CHIPS];
uint8_t* s_apbAtio[2];
uint16_t s_awRequestIn[QL_CHIPS];
uint16_t s_awResponseOut[QL_CHIPS];
uint16_t s_awAtioOut[2];
uint8_t s_bIocbTag = 0;
uint8_t s_fPostActive = FALSE;

bool IsChip(uint8_t bChip) { return bChip >= 1 && bChip <= QL_CHIPS; }
bool IsHostChip(uint8_t bChip) { return bChip == 1 || bChip == 2; }

uint8_t* pbRingMemory(uint32_t dOffset) { return static_cast<uint8_t*>(pCpuAddressToPointer(dGetChipRingMemory() + dOffset)); }

// A ring as the chip reaches it; none (0) for a chip without that ring.
BUS_ADDRESS dRingBusAddress(bool fHasRing, const uint8_t* pbRing) {
    return fHasRing ? dPciAddressOf(pbRing) : BUS_ADDRESS{0};
}

// The chip's request out-pointer, from the register file of its generation.
uint16_t wRequestOutPointer(uint8_t bChip) {
    if (fIsQL24xx() == TRUE) {
        uint32_t d = 0;
        (void)bQLReadReg32(bChip, ISP24_REG_REQ_OUT, &d);
        return static_cast<uint16_t>(d);
    }
    uint16_t w = 0;
    (void)bQLReadReg16(bChip, ISP2X_REG_REQ_OUT, &w);
    return w;
}

void SetProgress(uint8_t bStep) { bServiceSubStep = bStep; }

void ZeroRing(uint8_t* pbRing) {
    auto* pd = reinterpret_cast<uint32_t*>(pbRing);
    for (uint32_t i = 0; i < ISP_RING_BYTES / 4; ++i) pd[i] = 0;
}

void DumpRing(const char* pszHeading, const uint8_t* pbRing) {
    DebugPrintf("\n%s\n", pszHeading);
    for (uint32_t e = 0; e < QL_RING_LENGTH; ++e) {
        DebugPrintf("Entry %02x:\n", e);
        for (uint32_t w = 0; w < 16; ++w) {
            uint32_t d;
            std::memcpy(&d, pbRing + e * ISP_ENTRY_BYTES + 4 * w, 4);
            DebugPrintf("%08x ", d);
            if (w == 7 || w == 15) DebugPrintf("\n");
        }
    }
}

}  // namespace

uint8_t bRequestRingFree(uint8_t bChip) {
    if (!IsChip(bChip)) return 0;
    const uint16_t wOut = wRequestOutPointer(bChip);
    const uint16_t wIn = s_awRequestIn[bChip - 1];
    if (wIn < wOut) return static_cast<uint8_t>(wOut - wIn - 1);
    return static_cast<uint8_t>(QL_RING_LENGTH - (wIn - wOut) - 1);
}

uint8_t bTakeRequestSlot(uint8_t bChip, uint16_t, uint8_t** ppbSlot) {
    if (!IsChip(bChip)) return 0;
    uint16_t& wIn = s_awRequestIn[bChip - 1];
    *ppbSlot = s_apbRequest[bChip - 1] + wIn * ISP_ENTRY_BYTES;
    wIn = (wIn + 1) & (QL_RING_LENGTH - 1);
    return STATUS_OK;
}

uint8_t bPostRequestQueueEntries(uint8_t bChip, uint16_t wCount, const void* pSource) {
    // A run the ring can never hold, or a chip that is not there, would wait
    // forever for room: refuse it.
    if (fIsChipPresent(bChip) != TRUE || s_apbRequest[bChip - 1] == nullptr || wCount == 0 || wCount >= QL_RING_LENGTH) {
        return 0;
    }
    uint32_t dMark = dReadTimerCount();
    const uint8_t bLock0 = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
    const uint8_t bLock2 = LockInterruptSource(INT_SOURCE_DRIVE_SIDE);
    s_fPostActive = TRUE;
    SetProgress(0);

    // Wait for room; the chip frees slots as it consumes entries, also
    // while the caller runs at interrupt level.
    for (uint32_t dPass = 1;; ++dPass) {
        if (bRequestRingFree(bChip) >= wCount) break;
        if (fIsDriveIsrActive() == TRUE || fIsHostIsrActive() == TRUE || fIsInFiqHandler() == TRUE) {
            if ((dReadTimerCount() - dMark) / HEARTBEAT_UNIT_COUNTS > HEARTBEAT_UNITS) {
                KickHeartbeat();
                dMark = dReadTimerCount();
            }
        }
        if (dPass > POST_PASS_LIMIT) {
            PostEvent(EVENT_FAULT, 1, FAULT_RING_FULL, bChip, fIsDriveIsrActive(), fIsHostIsrActive());
            HaltController();
        }
    }

    SetProgress(1);
    uint8_t* pbSlot = nullptr;
    (void)bTakeRequestSlot(bChip, wCount, &pbSlot);
    SetProgress(2);
    SetProgress(3);
    const auto* pbSource = static_cast<const uint8_t*>(pSource);
    for (uint16_t i = 0; i < wCount; ++i) {
        std::memcpy(pbSlot, pbSource, ISP_ENTRY_BYTES);
        if (i + 1 < wCount) {
            (void)bTakeRequestSlot(bChip, wCount, &pbSlot);
            pbSource += QL_POST_STRIDE;
        }
    }

    // One doorbell for the whole run: the chip reads up to the in-pointer.
    SetProgress(4);
    SetProgress(5);
    if (fIsQL24xx() == TRUE) {
        (void)bQLWriteReg32(bChip, ISP24_REG_REQ_IN, s_awRequestIn[bChip - 1]);
    } else {
        (void)bQLWriteReg16(bChip, ISP2X_REG_REQ_IN, s_awRequestIn[bChip - 1]);
    }
    SetProgress(6);
    if (bLock0 != STATUS_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
    if (bLock2 != STATUS_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_DRIVE_SIDE);
    SetProgress(7);
    s_fPostActive = FALSE;
    return STATUS_OK;
}

void GetRequestRingBase(uint8_t bChip, BUS_ADDRESS* pdAddress) {
    *pdAddress = dRingBusAddress(IsChip(bChip), IsChip(bChip) ? s_apbRequest[bChip - 1] : nullptr);
}

void GetResponseRingBase(uint8_t bChip, BUS_ADDRESS* pdAddress) {
    *pdAddress = dRingBusAddress(IsChip(bChip), IsChip(bChip) ? s_apbResponse[bChip - 1] : nullptr);
}

void GetAtioRingBase(uint8_t bChip, BUS_ADDRESS* pdAddress) {
    *pdAddress = dRingBusAddress(IsHostChip(bChip), IsHostChip(bChip) ? s_apbAtio[bChip - 1] : nullptr);
}

uint8_t* pbGetRequestRing(uint8_t bChip) { return IsChip(bChip) ? s_apbRequest[bChip - 1] : nullptr; }
const uint8_t* pbGetResponseRing(uint8_t bChip) { return IsChip(bChip) ? s_apbResponse[bChip - 1] : nullptr; }
const uint8_t* pbGetAtioRing(uint8_t bChip) { return IsHostChip(bChip) ? s_apbAtio[bChip - 1] : nullptr; }

uint16_t wGetRequestRingLength(uint8_t bChip) { return IsChip(bChip) ? QL_RING_LENGTH : 0; }
uint16_t wGetResponseRingLength(uint8_t bChip) { return IsChip(bChip) ? QL_RING_LENGTH : 0; }
uint16_t wGetAtioRingLength(uint8_t bChip) { return IsHostChip(bChip) ? QL_RING_LENGTH : 0; }

uint8_t bGetResponseEntry(uint8_t bChip, uint16_t, uint8_t** ppbEntry) {
    if (!IsChip(bChip)) return 0;
    *ppbEntry = s_apbResponse[bChip - 1] + s_awResponseOut[bChip - 1] * ISP_ENTRY_BYTES;
    return STATUS_OK;
}

uint8_t bGetAtioEntry(uint8_t bChip, uint16_t, uint8_t** ppbEntry) {
    if (!IsHostChip(bChip)) return 0;
    *ppbEntry = s_apbAtio[bChip - 1] + s_awAtioOut[bChip - 1] * ISP_ENTRY_BYTES;
    return STATUS_OK;
}

uint16_t wGetResponseOutPointer(uint8_t bChip) { return IsChip(bChip) ? s_awResponseOut[bChip - 1] : 0; }

void AdvanceResponseOutPointer(uint8_t bChip) {
    if (IsChip(bChip)) s_awResponseOut[bChip - 1] = (s_awResponseOut[bChip - 1] + 1) % QL_RING_LENGTH;
}

uint16_t wGetAtioOutPointer(uint8_t bChip) { return IsHostChip(bChip) ? s_awAtioOut[bChip - 1] : 0; }

void AdvanceAtioOutPointer(uint8_t bChip) {
    if (IsHostChip(bChip)) s_awAtioOut[bChip - 1] = (s_awAtioOut[bChip - 1] + 1) % QL_RING_LENGTH;
}

uint16_t wGetRequestInPointer(uint8_t bChip) { return IsChip(bChip) ? s_awRequestIn[bChip - 1] : 0; }

void InitDriveChipRings() {
    s_apbRequest[2] = pbRingMemory(QL_RING_REQUEST_CHIP3);
    s_apbRequest[3] = pbRingMemory(QL_RING_REQUEST_CHIP4);
    s_apbResponse[2] = pbRingMemory(QL_RING_RESPONSE_CHIP3);
    s_apbResponse[3] = pbRingMemory(QL_RING_RESPONSE_CHIP4);
    for (uint8_t i = 2; i < 4; ++i) {
        ZeroRing(s_apbRequest[i]);
        ZeroRing(s_apbResponse[i]);
        s_awRequestIn[i] = 0;
        s_awResponseOut[i] = 0;
    }
}

void InitHostChipRings() {
    s_bIocbTag = 0;
    s_apbRequest[0] = pbRingMemory(QL_RING_REQUEST_CHIP1);
    s_apbRequest[1] = pbRingMemory(QL_RING_REQUEST_CHIP2);
    s_apbResponse[0] = pbRingMemory(QL_RING_RESPONSE_CHIP1);
    s_apbResponse[1] = pbRingMemory(QL_RING_RESPONSE_CHIP2);
    s_apbAtio[0] = pbRingMemory(QL_RING_ATIO_CHIP1);
    s_apbAtio[1] = pbRingMemory(QL_RING_ATIO_CHIP2);
    for (uint8_t i = 0; i < 2; ++i) {
        ZeroRing(s_apbRequest[i]);
        ZeroRing(s_apbResponse[i]);
        ZeroRing(s_apbAtio[i]);
        s_awRequestIn[i] = 0;
        s_awResponseOut[i] = 0;
        s_awAtioOut[i] = 0;
    }
}

void ResetHostChipRing(uint8_t bChip) {
    if (!IsHostChip(bChip) || s_apbRequest[bChip - 1] == nullptr) return;
    const uint8_t i = static_cast<uint8_t>(bChip - 1);
    ZeroRing(s_apbRequest[i]);
    ZeroRing(s_apbResponse[i]);
    ZeroRing(s_apbAtio[i]);
    s_awRequestIn[i] = 0;
    s_awResponseOut[i] = 0;
    s_awAtioOut[i] = 0;
}

// 1 to 254, then 0: 255 is never handed out.
uint8_t bNextIocbTag() {
    ++s_bIocbTag;
    if (s_bIocbTag == 255) s_bIocbTag = 0;
    return s_bIocbTag;
}

uint8_t BuildQlCommandIocb(uint32_t dHandle, uint8_t bAlpa, uint16_t wLun, uint16_t wFlagsA, uint16_t wFlagsB,
                           uint16_t wTimeout, const uint8_t* pbCdb, uint32_t dByteCount, BUS_ADDRESS dDataAddress,
                           uint8_t* pbEntry) {
    auto Put16 = [pbEntry](uint32_t dOffset, uint16_t w) { std::memcpy(pbEntry + dOffset, &w, 2); };
    auto Put32 = [pbEntry](uint32_t dOffset, uint32_t d) { std::memcpy(pbEntry + dOffset, &d, 4); };
    pbEntry[0] = ISP_ENTRY_COMMAND_2X00;
    pbEntry[1] = 1;
    pbEntry[3] = 0;
    Put32(4, dHandle);
    Put16(8, bAlpaToLoopId(bAlpa));
    Put16(10, wLun);
    Put16(12, static_cast<uint16_t>(wFlagsA | wFlagsB));
    Put16(14, 0);
    Put16(16, wTimeout);
    Put16(18, 1);
    std::memcpy(pbEntry + 20, pbCdb, 16);
    Put32(36, dByteCount);
    Put32(40, static_cast<uint32_t>(dDataAddress));
    Put32(44, dByteCount);
    return STATUS_OK;
}

void DumpQlRings(uint8_t bChip) {
    static const char* const kapszHeadings[QL_CHIPS][3] = {
        {"TAR1 Req Queue:", "TAR1 Res Queue:", "TAR1 ATIO Queue:"},
        {"TAR2 Req Queue:", "TAR2 Res Queue:", "TAR2 ATIO Queue:"},
        {"INI1 Req Queue:", "INI1 Res Queue:", nullptr},
        {"INI2 Req Queue:", "INI2 Res Queue:", nullptr},
    };
    if (!IsChip(bChip) || s_apbRequest[bChip - 1] == nullptr) return;
    DumpRing(kapszHeadings[bChip - 1][0], s_apbRequest[bChip - 1]);
    DumpRing(kapszHeadings[bChip - 1][1], s_apbResponse[bChip - 1]);
    if (fIsQL24xx() == TRUE && IsHostChip(bChip)) DumpRing(kapszHeadings[bChip - 1][2], s_apbAtio[bChip - 1]);
    DebugPrintf("\n\n");
}

uint8_t fIsRequestPostActive() { return s_fPostActive; }

uint32_t dGetRequestRingWord() { return 0; }

}  // namespace fw
