// The IPC request ring to the PCI peer processor: 128-byte request slots
// the peer reads by address, a doorbell that tells it a slot was filled,
// and the responses it returns in request order.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t IPC_SLOT_BYTES = 128;
constexpr uint16_t IPC_REQUEST_SLOTS = 256;
constexpr uint8_t IPC_RESPONSE_XOR_DONE = 129;

// The peer's doorbell and the ring index it reads (registers in its PCI
// window).
constexpr uint32_t IPC_PEER_DOORBELL = 0x90200000;
constexpr uint32_t IPC_PEER_RING_INDEX = 0x90200004;
constexpr uint32_t IPC_DOORBELL_POLLS = 65536;

void InitIpcRequestRing();
// The next free request slot (zeroed) and its index; 255, or 16 when every
// slot waits for the peer's answer.
uint8_t bTakeIpcRequestSlot(uint8_t** ppbSlot, uint16_t* pwIndex);
// Tells the peer the slot is filled.
void RingIpcDoorbell(uint16_t wIndex);
// One response of the peer: it answers the oldest request.
void IpcResponseHandler(uint8_t bResponseType);
uint16_t wGetIpcRequestsOutstanding();
const uint8_t* pbGetIpcRequestSlot(uint16_t wIndex);
// Console dumps of the request ring and of the peer's responses.
void DumpIpcRequestQueue();
void DumpIpcResponseQueue();

}  // namespace fw
