// The IPC request ring to the PCI peer processor.
#include "platform/ipc_peer.h"

#include <cstring>

#include "executive/types.h"
#include "hw/hw.h"
#include "raid/xor_engine.h"

namespace fw {

namespace {

alignas(8) uint8_t s_aabSlot[IPC_REQUEST_SLOTS][IPC_SLOT_BYTES];
uint16_t s_wIn;
uint16_t s_wOutstanding;

}  // namespace

void InitIpcRequestRing() {
    std::memset(s_aabSlot, 0, sizeof s_aabSlot);
    s_wIn = 0;
    s_wOutstanding = 0;
}

uint8_t bTakeIpcRequestSlot(uint8_t** ppbSlot, uint16_t* pwIndex) {
    if (s_wOutstanding >= IPC_REQUEST_SLOTS) return STATUS_RETRY;
    *pwIndex = s_wIn;
    *ppbSlot = s_aabSlot[s_wIn];
    std::memset(*ppbSlot, 0, IPC_SLOT_BYTES);
    s_wIn = static_cast<uint16_t>((s_wIn + 1) % IPC_REQUEST_SLOTS);
    ++s_wOutstanding;
    return STATUS_OK;
}

void RingIpcDoorbell(uint16_t wIndex) {
    for (uint32_t d = 0; d < IPC_DOORBELL_POLLS && Reg32Read(IPC_PEER_DOORBELL) != 0; ++d) {
    }
    Reg32Write(IPC_PEER_RING_INDEX, wIndex);
    Reg32Write(IPC_PEER_DOORBELL, 1);
}

void IpcResponseHandler(uint8_t bResponseType) {
    if (s_wOutstanding == 0) return;
    --s_wOutstanding;
    if (bResponseType == IPC_RESPONSE_XOR_DONE) CompleteIpcXorRequest();
}

uint16_t wGetIpcRequestsOutstanding() { return s_wOutstanding; }

const uint8_t* pbGetIpcRequestSlot(uint16_t wIndex) { return s_aabSlot[wIndex % IPC_REQUEST_SLOTS]; }

}  // namespace fw
