// The drive IOC's interrupt: the FAULT check and the reply FIFO drain that
// hands every reply to the owner of its request.
#pragma once

#include <cstdint>

namespace fw {

void LSI_SAS_DoorbellInterruptHandler();
// Keeps the IOC's 64-word diagnostic table in NVRAM for after the reset a
// FAULT leads to.
void SaveSASDiagnosticTableToNVRAM();
void LSI_SAS_ReplyMessageInterruptHandler(uint8_t bIocId);
// One word taken off the drive IOC's reply FIFO, wherever it was read:
// each is a reply whose command waits for it.  Called with the drive side's
// interrupt source held.
void DispatchLSIReplyWord(uint8_t bIocId, uint32_t dWord);
void LSI_SAS_ScsiIoReplyHandler(uint8_t bIocId, const uint8_t* pbFrame);
// Event notification replies: wake discovery and acknowledge when asked.
void LSI_SAS_EventReplyHandler(uint8_t bIocId, const uint8_t* pbFrame);
void InitSASDriveInterruptCounters();
// TRUE from posting an event acknowledge until the IOC answers it.
uint8_t fIsSASEventAckPending();
// Acknowledges that found no request frame.
uint32_t dGetSASLostEventAckCount();

uint32_t dGetSASSpuriousInterruptCount();
// Reply words refused for naming no entry, no frame or no IoIndex.
uint32_t dGetSASBadReplyCount();
uint32_t dGetSASDroppedReplyCount();

}  // namespace fw
