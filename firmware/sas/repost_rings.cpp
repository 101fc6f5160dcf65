#include "sas/repost_rings.h"

#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/sas_device_list.h"

namespace fw {

namespace {

constexpr uint32_t NO_REQUEST = 0xFFFFFFFF;

struct REPOST_RING {
    uint32_t adRequest[SAS_REPOST_RING_SLOTS];
    uint16_t wOut;
    uint16_t wCount;
};

REPOST_RING s_asRing[SAS_REPOST_RINGS];

// The IOC's request frame at the address; LSI_NO_HANDLE for an address that
// is none of its frames (the IOC would read whatever lies there).
uint16_t wFrameAt(const LSI_SAS_DRIVE_ADAPTER* a, uint32_t dPci) {
    const uint32_t dBase = static_cast<uint32_t>(dCpuAddressToPciAddress(a->dRequestFrames));
    if (dPci < dBase || (dPci - dBase) % LSI_REQUEST_FRAME_BYTES != 0) return LSI_NO_HANDLE;
    const uint32_t dFrame = (dPci - dBase) / LSI_REQUEST_FRAME_BYTES;
    return dFrame < a->wRequestFrames ? static_cast<uint16_t>(dFrame) : LSI_NO_HANDLE;
}

}  // namespace

void InitSASRepostRings() {
    for (REPOST_RING& r : s_asRing) {
        for (uint32_t& d : r.adRequest) d = NO_REQUEST;
        r.wOut = 0;
        r.wCount = 0;
    }
}

uint8_t fDeferSASRequest(uint8_t bDeviceIndex, uint32_t dPciAddress) {
    if (bDeviceIndex >= SAS_REPOST_RINGS) return FALSE;
    REPOST_RING& r = s_asRing[bDeviceIndex];
    if (r.wCount >= SAS_REPOST_RING_SLOTS) return FALSE;
    r.adRequest[(r.wOut + r.wCount) % SAS_REPOST_RING_SLOTS] = dPciAddress;
    ++r.wCount;
    return TRUE;
}

uint8_t fPostNextDeferredRequest(uint8_t bIocId, uint8_t bDeviceIndex, uint8_t) {
    if (bDeviceIndex >= SAS_REPOST_RINGS) return FALSE;
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(bIocId);
    if (a == nullptr) return FALSE;
    // The reply handlers and the command path both count on the device.
    KernelPoolLock sLock;
    REPOST_RING& r = s_asRing[bDeviceIndex];
    if (r.wCount == 0) return FALSE;
    const uint32_t dRequest = r.adRequest[r.wOut];
    r.adRequest[r.wOut] = NO_REQUEST;
    r.wOut = static_cast<uint16_t>((r.wOut + 1) % SAS_REPOST_RING_SLOTS);
    --r.wCount;
    const uint16_t wFrame = wFrameAt(a, dRequest);
    if (wFrame == LSI_NO_HANDLE) return FALSE;
    Reg32Write(a->sInterface.pdRequestQueue, dRequest);
    // Outstanding on the IOC: its frame is in use until its reply frees it.
    uint32_t& dWord = a->adInUse[wFrame / 32];
    if (!(dWord & 1u << (wFrame % 32))) {
        dWord |= 1u << (wFrame % 32);
        ++a->wRequestsInUse;
    }
    SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    if (bDeviceIndex < psList->bEntryCount) ++psList->asEntry[bDeviceIndex].wOutstanding;
    return TRUE;
}

uint16_t wGetSASRepostRingCount(uint8_t bDeviceIndex) {
    return bDeviceIndex < SAS_REPOST_RINGS ? s_asRing[bDeviceIndex].wCount : 0;
}

}  // namespace fw
