#include "sas/request_frames.h"

#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "sas/drive_ioc_bringup.h"

namespace fw {

namespace {

constexpr uint32_t DRAIN_POLL_LIMIT = 0x40000;
constexpr uint32_t CONTEXT_FREE = 0xFFFFFFFF;

uint8_t* pbAt(CPU_ADDRESS dAddress) { return static_cast<uint8_t*>(pCpuAddressToPointer(dAddress)); }

uint8_t* pbFrame(const LSI_SAS_DRIVE_ADAPTER* a, uint16_t wIndex) {
    return pbAt(a->dRequestFrames + static_cast<uint32_t>(LSI_REQUEST_FRAME_BYTES) * wIndex);
}

uint8_t fInUse(const LSI_SAS_DRIVE_ADAPTER* a, uint16_t wIndex) {
    return ToFlag((a->adInUse[wIndex / 32] >> (wIndex % 32)) & 1u);
}

void ClearRequest(LSI_SAS_REQUEST_INFO* r) {
    r->lDeadline = 0;
    r->lSequence = 0;
    r->dMsgContext = CONTEXT_FREE;
    r->bFlags = 0;
    r->bTargetId = LSI_NO_TARGET;
}

// The adapter when the id is the drive IOC's and the index one of its frames.
LSI_SAS_DRIVE_ADAPTER* psRequestOwner(uint8_t bIocId, uint16_t wIndex) {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(bIocId);
    return a != nullptr && wIndex < a->wRequestFrames ? a : nullptr;
}

}  // namespace

void InitLSIRequestBookkeeping() {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    std::memset(pbAt(a->dRequestFrames), 0, static_cast<uint32_t>(LSI_MAX_REQUEST_FRAMES) * LSI_REQUEST_FRAME_BYTES);
    std::memset(pbAt(a->dChainBuffers), 0, static_cast<uint32_t>(LSI_MAX_REQUEST_FRAMES) * LSI_CHAIN_BUFFER_BYTES);
    std::memset(a->adInUse, 0, sizeof a->adInUse);
    for (LSI_SAS_REQUEST_INFO& r : a->asRequest) ClearRequest(&r);
    for (uint16_t& w : a->awCmdBufferHandle) w = LSI_NO_HANDLE;
    for (uint16_t& w : a->awCmdBufferHandle2) w = LSI_NO_HANDLE;
    a->wRequestsInUse = 0;
    a->wRequestsInUseForDump = 0;
    a->wNextFreeSearch = 0;
    a->lSequence = 1;
}

uint8_t bAllocLSIRequestFrame(uint8_t bIocId, uint8_t** ppbFrame, uint16_t* pwIndex, uint8_t fUseReserve) {
    *pwIndex = LSI_NO_HANDLE;
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(bIocId);
    if (a == nullptr || a->wRequestFrames == 0) return 0;
    // The last 32 frames stay for task management, waited commands and
    // recovery: ordinary callers stop when only those are left.
    if (fUseReserve != TRUE && a->wRequestsInUse + LSI_RESERVED_REQUEST_FRAMES >= a->wRequestFrames) {
        return STATUS_RETRY;
    }
    uint16_t wIndex = a->wNextFreeSearch < a->wRequestFrames ? a->wNextFreeSearch : 0;
    for (uint16_t wProbe = 0; wProbe < a->wRequestFrames; ++wProbe) {
        if (fInUse(a, wIndex) != TRUE) {
            uint8_t* pb = pbFrame(a, wIndex);
            std::memset(pb, 0, LSI_REQUEST_FRAME_BYTES);
            *ppbFrame = pb;
            *pwIndex = wIndex;
            a->wNextFreeSearch = wIndex + 1 < a->wRequestFrames ? wIndex + 1 : 0;
            return STATUS_OK;
        }
        wIndex = wIndex + 1 < a->wRequestFrames ? wIndex + 1 : 0;
    }
    return STATUS_RETRY;
}

uint64_t qPostLSIRequest(uint8_t bIocId, uint8_t* pbFrameIn, uint16_t wIndex, uint32_t dTimeoutMs,
                         uint8_t fHighPriority) {
    LSI_SAS_DRIVE_ADAPTER* a = psRequestOwner(bIocId, wIndex);
    if (a == nullptr) return 0;
    uint32_t dContext;
    std::memcpy(&dContext, pbFrameIn + 8, 4);
    dContext = static_cast<uint32_t>(wIndex) << 16 | (dContext & 0xFFFF);
    std::memcpy(pbFrameIn + 8, &dContext, 4);

    a->adInUse[wIndex / 32] |= 1u << (wIndex % 32);
    LSI_SAS_REQUEST_INFO& r = a->asRequest[wIndex];
    r.lDeadline = lGetTickCount() + dTimeoutMs;
    r.dMsgContext = dContext;
    r.bFlags = fHighPriority == TRUE ? LSI_REQUEST_HIGH_PRIORITY : 0;
    r.bTargetId = LSI_NO_TARGET;
    r.lSequence = ++a->lSequence;
    ++a->wRequestsInUse;
    ++a->wRequestsInUseForDump;
    const uint32_t dPci = static_cast<uint32_t>(dPciAddressOf(pbFrameIn));
    Reg32Write(fHighPriority == TRUE ? a->sInterface.pdHighPriorityRequestQueue : a->sInterface.pdRequestQueue, dPci);
    return static_cast<uint64_t>(static_cast<uint32_t>(r.lSequence)) << 32 | dPci;
}

void FreeLSIRequest(uint8_t bIocId, uint16_t wIndex) {
    LSI_SAS_DRIVE_ADAPTER* a = psRequestOwner(bIocId, wIndex);
    if (a == nullptr || fInUse(a, wIndex) != TRUE) return;
    a->adInUse[wIndex / 32] &= ~(1u << (wIndex % 32));
    if (a->wRequestsInUse > 0) --a->wRequestsInUse;
    if (a->wRequestsInUseForDump > 0) --a->wRequestsInUseForDump;
    ClearRequest(&a->asRequest[wIndex]);
}

uint8_t bGetLSIRequestFlags(uint8_t bIocId, uint16_t wIndex) {
    LSI_SAS_DRIVE_ADAPTER* a = psRequestOwner(bIocId, wIndex);
    return a == nullptr ? 0 : a->asRequest[wIndex].bFlags;
}

void OrLSIRequestFlags(uint8_t bIocId, uint16_t wIndex, uint8_t bBits) {
    LSI_SAS_DRIVE_ADAPTER* a = psRequestOwner(bIocId, wIndex);
    if (a != nullptr) a->asRequest[wIndex].bFlags |= bBits;
}

uint8_t* pGetLSISenseBuffer(uint8_t bIocId, uint16_t wIndex) {
    LSI_SAS_DRIVE_ADAPTER* a = psRequestOwner(bIocId, wIndex);
    return a == nullptr ? nullptr : pbAt(a->dSenseBuffers + static_cast<uint32_t>(LSI_SENSE_BUFFER_BYTES) * wIndex);
}

void WaitLSIRequestsDrained(uint8_t bIocId) {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(bIocId);
    if (a == nullptr) return;
    volatile uint16_t* pwInUse = &a->wRequestsInUse;
    // Drained means a normal allocation can be taken again: fewer in use
    // than the frames outside the reserve.
    for (uint32_t i = 0; i < DRAIN_POLL_LIMIT && *pwInUse + LSI_RESERVED_REQUEST_FRAMES >= a->wRequestFrames; ++i) {
        HwPoll();
    }
}

uint16_t wGetLSIRequestsInUse(uint8_t bIocId) {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(bIocId);
    return a == nullptr ? 0 : a->wRequestsInUse;
}

void ShowLSIRequestFrame(uint8_t bIocId, uint16_t wIndex) {
    LSI_SAS_DRIVE_ADAPTER* a = psRequestOwner(bIocId, wIndex);
    if (a == nullptr) return;
    ConsolePrintf("Request Queue: %03x\n", wIndex);
    const uint8_t* pb = pbFrame(a, wIndex);
    for (uint32_t i = 0; i < LSI_REQUEST_FRAME_BYTES / 4; ++i) {
        uint32_t d;
        std::memcpy(&d, pb + 4 * i, 4);
        ConsolePrintf("%08x%s", d, i % 8 == 7 ? "\n" : " ");
    }
}

void ShowSASRequestQueue(uint8_t bIocId) {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(bIocId);
    if (a == nullptr) return;
    ConsolePrintf("Request queue:%04x of %04x used Sequence:%08x%08x\n", a->wRequestsInUse, a->wRequestFrames,
                static_cast<uint32_t>(a->lSequence >> 32), static_cast<uint32_t>(a->lSequence));
    uint32_t dWords = (a->wRequestFrames + 31u) / 32;
    for (uint32_t i = 0; i < dWords; ++i) ConsolePrintf("%08x%s", a->adInUse[i], i % 8 == 7 ? "\n" : " ");
    ConsolePrintf("\n");
    uint64_t lLow = UINT64_MAX;
    uint64_t lHigh = 0;
    for (uint16_t w = 0; w < a->wRequestFrames; ++w) {
        if (fInUse(a, w) != TRUE) continue;
        const LSI_SAS_REQUEST_INFO& r = a->asRequest[w];
        ShowLSIRequestFrame(bIocId, w);
        ConsolePrintf("Sequence:%08x%08x Flags:%02x\n", static_cast<uint32_t>(r.lSequence >> 32),
                    static_cast<uint32_t>(r.lSequence), r.bFlags);
        if (r.lSequence < lLow) lLow = r.lSequence;
        if (r.lSequence > lHigh) lHigh = r.lSequence;
    }
    if (lLow == UINT64_MAX) lLow = 0;
    ConsolePrintf("Low Sequence:%03x High Sequence:%03x\n", static_cast<uint32_t>(lLow), static_cast<uint32_t>(lHigh));
    ConsolePrintf("Command Post\n");
    for (uint16_t w = 0; w < LSI_CMD_BUFFER_HANDLES; ++w) {
        if (a->awCmdBufferHandle[w] == LSI_NO_HANDLE) continue;
        ConsolePrintf("%03x: %04x %04x\n", w, a->awCmdBufferHandle[w], a->awCmdBufferHandle2[w]);
    }
}

}  // namespace fw
