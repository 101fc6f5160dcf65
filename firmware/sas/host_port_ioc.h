// The parallel SCSI host ports: the two functions of the dual-channel
// Ultra320 chip in target mode, host ports 1 and 2 (IOC ids 0x31 and 0x32).
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"
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

}  // namespace fw
