// The parallel SCSI host ports: the two functions of the dual-channel
// Ultra320 chip in target mode, host ports 1 and 2 (IOC ids 0x31 and 0x32).
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "sas/mpi_interface.h"

namespace fw {

constexpr uint16_t HOST_PORT_REQUEST_FRAMES = 768;
constexpr uint16_t HOST_PORT_REQUEST_FRAME_BYTES = 128;
constexpr uint16_t HOST_PORT_REPLY_FRAMES = 128;
constexpr uint16_t HOST_PORT_REPLY_FRAME_BYTES = 64;
constexpr uint16_t HOST_PORT_CMD_BUFFERS = 256;
constexpr uint16_t HOST_PORT_CMD_BUFFER_BYTES = 64;
constexpr uint16_t HOST_PORT_STATUS_BUFFERS = HOST_PORT_REQUEST_FRAMES + 1;   // the last for the handshake frame
constexpr uint16_t HOST_PORT_STATUS_BUFFER_BYTES = 64;
constexpr uint16_t HOST_PORT_MAP_FREE = 0xFFFF;
// Each port's DMA region: request frames, reply frames, command buffers,
// status buffers and the firmware upload buffer.
constexpr uint32_t HOST_PORT_REGION_BYTES = 0xA8000;
constexpr uint32_t HOST_PORT_REGION_REPLY_FRAMES = 0x18000;
constexpr uint32_t HOST_PORT_REGION_CMD_BUFFERS = 0x1A000;
constexpr uint32_t HOST_PORT_REGION_STATUS_BUFFERS = 0x1E000;
constexpr uint32_t HOST_PORT_REGION_UPLOAD = 0x2A040;

// The driver part of a host port's IOC record.
struct HOST_PORT_MPT_STATE {
    LSI_MPT_INTERFACE sInterface;
    uint16_t wRequestFrameBytes;     // IOC FACTS RequestFrameSize x 4
    uint16_t wReplyFrameBytes;
    uint16_t wBlockBytes;            // IOC FACTS BlockSize x 4
    uint16_t wReplyQueueDepth;
    uint16_t wFrameCount;            // GlobalCredits, at most 768
    uint16_t wOutstanding;
    uint16_t wMaxPostedCmdBuffers;   // PORT FACTS
    uint16_t wNextFrame;
    uint32_t adFrameInUse[HOST_PORT_REQUEST_FRAMES / 32];
    uint16_t awIoToEntry[HOST_PORT_CMD_BUFFERS];
    uint16_t awIoToFrame[HOST_PORT_CMD_BUFFERS];
    CPU_ADDRESS dRequestFrames;
    CPU_ADDRESS dReplyFrames;
    CPU_ADDRESS dCmdBuffers;
    CPU_ADDRESS dStatusBuffers;
    CPU_ADDRESS dUploadBuffer;
    BUFFER_HANDLE dRegion;
    uint32_t dFirmwareVersion;
};

// The record of IOC 0x31 or 0x32; null for any other id.
HOST_PORT_MPT_STATE* pGetHostPortState(uint8_t bIocId);
uint8_t fIsHostPortInitialised(uint8_t bIocId);

// SCSI device page 0 of a target id: its negotiated parameters word.
// 0xFF when read.
uint8_t bReadHostPortDevicePage(uint8_t bIocId, uint8_t bTargetId, uint32_t* pdWord);
// The transfer rate code the information menus show for the port's own id.
uint8_t bGetHostPortTransferRate(uint8_t bIocId);

// An image is loaded only when its MPI header is whole and the size it
// gives fits both the bytes carried and what the chip can hold.
uint8_t fIsHostPortImageWhole(const uint8_t* pbImage, uint32_t dLength);

// The port's MPI interface record; null for any other id.
LSI_MPT_INTERFACE* pGetHostPortInterface(uint8_t bIocId);
// The port's request frames: a free one (0xFF; 16 with index 0xFFFF when
// none is), posted with its index in the message context, and freed.
uint8_t bGetHostPortRequestFrame(uint8_t bIocId, uint8_t** ppbFrame, uint16_t* pwIndex);
void PostHostPortRequestFrame(uint8_t bIocId, uint8_t* pbFrame, uint16_t wIndex);
void FreeHostPortRequestFrame(uint8_t bIocId, uint16_t wIndex);
uint16_t wGetHostPortOutstandingFrames(uint8_t bIocId);
// The CPU addresses of command buffer n and of status buffer n; 0 when n
// or the port is out of range.
CPU_ADDRESS dGetHostPortCommandBuffer(uint8_t bIocId, uint16_t wBuffer);
CPU_ADDRESS dGetHostPortStatusBuffer(uint8_t bIocId, uint16_t wBuffer);
// Ends every I/O the IOC holds (TARGET MODE ABORT of all); 0xFF when sent.
uint8_t bLSIAbortAllTargetIO(uint8_t bIocId);
// Reply words dropped because an index or frame address in them was out of range.
uint32_t dGetHostPortDroppedReplies(uint8_t bIocId);
uint32_t dGetHostPortSpuriousInterrupts();

// A port brought up again from whatever state its IOC is in (a message
// unit reset, or the chip's image loaded again), its buffers posted anew
// and a bus reset sent; 0xFF when it is up, STATUS_NO_PAGES without a page
// to read the pages into, 0 on any other failure.
uint8_t bReinitSASHostPort(uint8_t bIocId);
// What a LUN table rebuild of the port does first: the commands a bus
// reset left are ended, and a re-initialisation asked for is run (a
// failed one is tried once more on the next rebuild).  Nothing for any
// other port.
void ServeHostPortResets(uint8_t bIocId);
// The port is reset under its hosts: they are told, and the scan ends
// what was in flight and re-initialises the IOC.  The watchdog's and a
// reload's reset is logged (event 36); the operator's request
// (ResetLsiHostPort) is not.
void ResetHostPortUnderHosts(uint8_t bIocId);
// Read-ahead transfers named in the buffer map end with it.
void ReleaseHostPortReadAheadMarkers(uint8_t bIocId);

// The driver's flags back to their start-of-day values (ports up).
void ResetHostPortDriverState();
// No buffer waits to be re-posted and no initiator has sense saved.
void ClearHostPortReposts(uint8_t bIocId);

// A bus reset, a reset-class task or a stuck transfer: commands older than
// it are ended by HostPortFlushAfterReset.
void SetHostPortBusResetFlag(uint8_t bIocId);
uint8_t fIsHostPortBusResetFlag(uint8_t bIocId);
uint8_t fIsHostPortReinitRequest(uint8_t bIocId);
uint8_t fIsHostPortRepostPending(uint8_t bIocId);
void HostPortFlushAfterReset(uint8_t bIocId);
// Ends a command of the port as aborted, by where it stands.
void HostPortAbortCommand(uint8_t bIocId, KERNEL_ENTRY* psEntry);
// Background services: buffers back to the IOC, and the stalled-transfer
// watchdog.
void RepostHostPortCommandBuffers(uint8_t bIocId);
// Data and status requests that found every request frame out go to the
// IOC once frames are back.
void PostDeferredHostPortRequests(uint8_t bIocId);
void HostPortCommandWatchdog();

}  // namespace fw
