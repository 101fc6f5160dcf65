// The drive IOC's request frames: take, post, free, and their bookkeeping.
// Callers hold the drive-side interrupt lock (source 2); the reply handler
// in the FIQ frees requests.
#pragma once

#include <cstdint>

namespace fw {

// Clears every request, zeroes the frames and chain buffers, starts the
// sequence at 1.
void InitLSIRequestBookkeeping();

// 255 with a zeroed frame and its index, or 16 with index 0xFFFF.  Without
// fUseReserve the last 32 frames are kept for recovery and waited commands.
uint8_t bAllocLSIRequestFrame(uint8_t bIocId, uint8_t** ppbFrame, uint16_t* pwIndex, uint8_t fUseReserve);
// Upper 32 bits: the request's sequence number; lower: the frame's PCI address.
uint64_t qPostLSIRequest(uint8_t bIocId, uint8_t* pbFrame, uint16_t wIndex, uint32_t dTimeoutMs,
                         uint8_t fHighPriority);
void FreeLSIRequest(uint8_t bIocId, uint16_t wIndex);
uint8_t bGetLSIRequestFlags(uint8_t bIocId, uint16_t wIndex);
void OrLSIRequestFlags(uint8_t bIocId, uint16_t wIndex, uint8_t bBits);
uint8_t* pGetLSISenseBuffer(uint8_t bIocId, uint16_t wIndex);
void WaitLSIRequestsDrained(uint8_t bIocId);
uint16_t wGetLSIRequestsInUse(uint8_t bIocId);

void ShowSASRequestQueue(uint8_t bIocId);
void ShowLSIRequestFrame(uint8_t bIocId, uint16_t wIndex);

}  // namespace fw
