// The SAS host ports' IOC in target mode (IOC 0x71, serving port codes 0x71
// and 0x72: phys 0-3 the first port, 4-7 the second): its driver record,
// request frames, command buffers and the services the port code and the
// target engine call.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"
#include "sas/mpi_interface.h"

namespace fw {

struct KERNEL_ENTRY;

// Driver states.
constexpr uint8_t SAS_TARGET_ABSENT = 0xF0;
constexpr uint8_t SAS_TARGET_INITIALISED = 0xF3;
constexpr uint8_t SAS_TARGET_PORTS_ENABLED = 0xF9;
constexpr uint8_t SAS_TARGET_RUNNING = 0xF1;
constexpr uint8_t SAS_TARGET_FAILED = 0;

constexpr uint16_t SAS_TARGET_REQUEST_FRAME_BYTES = 128;
constexpr uint16_t SAS_TARGET_REPLY_FRAME_BYTES = 64;
constexpr uint16_t SAS_TARGET_MAX_REQUEST_FRAMES = 290;
constexpr uint16_t SAS_TARGET_RESERVED_FRAMES = 32;
constexpr uint16_t SAS_TARGET_MAX_CMD_BUFFERS = 288;
constexpr uint16_t SAS_TARGET_REPLY_FRAMES = 128;
constexpr uint16_t SAS_TARGET_CMD_BUFFER_BYTES = 64;
// A response: the status request's 24 bytes, the response IU's 24 and an
// 18-byte fixed sense, rounded up to 8.
constexpr uint16_t SAS_TARGET_RESPONSE_BYTES = 72;
constexpr uint8_t SAS_TARGET_PHYS = 8;
constexpr uint8_t SAS_TARGET_PHYS_PER_PORT = 4;

// The driver's memory region and where each area lies in it.
constexpr uint32_t SAS_TARGET_REGION_BYTES = 0x80000;
constexpr uint32_t SAS_TARGET_REGION_REQUEST_FRAMES = 0;
constexpr uint32_t SAS_TARGET_REGION_REPLY_FRAMES = 0x10000;
constexpr uint32_t SAS_TARGET_REGION_CMD_BUFFERS = 0x36000;
constexpr uint32_t SAS_TARGET_REGION_RESPONSES = 0x3A800;
// The host page buffer: the first 64 KB boundary past the response buffers,
// so that a buffer of up to 256 KB stays inside the region.
constexpr uint32_t SAS_TARGET_REGION_HOST_PAGES = 0x40000;
static_assert(SAS_TARGET_REGION_RESPONSES + uint32_t{SAS_TARGET_MAX_CMD_BUFFERS} * SAS_TARGET_RESPONSE_BYTES <=
              SAS_TARGET_REGION_HOST_PAGES);

// Owners of a command buffer (IoIndex).
constexpr uint16_t SAS_IO_OWNER_NONE = 0xFFFF;
constexpr uint16_t SAS_IO_OWNER_DONE = 0xFE00;        // its command ended; the reply only frees it
constexpr uint16_t SAS_IO_OWNER_READ_AHEAD = TARGET_OWNER_READ_AHEAD;  // | the read-ahead slot
constexpr uint16_t SAS_NO_FRAME = 0xFFFF;

// Request frame flags.
constexpr uint8_t SAS_REQUEST_HIGH_PRIORITY = 0x02;
constexpr uint8_t SAS_REQUEST_REPOST = 0x04;

// The owners named in the context of requests that belong to no command.
constexpr uint16_t SAS_CONTEXT_PORT_1 = 0xFA00;
constexpr uint16_t SAS_CONTEXT_PORT_2 = 0xF900;
constexpr uint16_t SAS_CONTEXT_IOC = 0xF800;

struct SAS_TARGET_REQUEST_INFO {
    uint64_t lDeadline;
    uint64_t lStart;
    uint32_t dMsgContext;
    uint8_t bFlags;
    uint8_t bFreed;   // 0xFF once freed
};

struct SAS_TARGET_IO_INFO {
    uint16_t wOwner;
    uint16_t wTag;
    uint16_t wRequest;   // the request in flight (SAS_NO_FRAME none)
    uint8_t bPort;
};

struct LSI_SAS_TARGET_IOC {
    LSI_MPT_INTERFACE sInterface;
    uint16_t wRequestFrameBytes;
    uint16_t wReplyFrameBytes;
    uint16_t wIocRequestFrameBytes;
    uint16_t wGlobalCredits;
    uint16_t wRequestFrames;
    uint16_t wRequestsInUse;
    uint32_t dRequestsPosted;
    uint16_t wCmdBuffers;
    uint32_t dHostPageBufferBytes;
    uint8_t bNumberOfPorts;
    uint16_t wNextSearch;
    uint32_t adInUse[16];
    SAS_TARGET_REQUEST_INFO asRequest[SAS_TARGET_MAX_REQUEST_FRAMES];
    SAS_TARGET_IO_INFO asIo[SAS_TARGET_MAX_CMD_BUFFERS];
    BUFFER_HANDLE dRegion;
    CPU_ADDRESS dRequestFrames;
    CPU_ADDRESS dReplyFrames;
    CPU_ADDRESS dCmdBuffers;
    CPU_ADDRESS dResponseBuffers;
    CPU_ADDRESS dHostPageBuffer;
    uint32_t dFirmwareVersion;
};

// Bring-up, reset and the record.
uint8_t LSI_SAS_TargetInit();
void ResetLSITargetIOC();
LSI_SAS_TARGET_IOC* dGetSASTargetIocRecord(uint8_t bPort);
uint8_t fIsSecondSASTargetPort(uint8_t bPort);
uint8_t bGetSASTargetState();
void SetSASTargetState(uint8_t bState);
// The SAS address of a host port: NAA 5, the controller's WWN, the
// controller's slot and the port.
uint64_t lMakeSASTargetAddress(const uint8_t* pbWwn, uint8_t bController, uint8_t bPortFlag);

// Request frames.
uint8_t bGetTargetRequestFrame(uint8_t bPort, uint8_t** ppbFrame, uint16_t* pwIndex, uint8_t fReserve);
void PostTargetRequest(uint8_t bPort, uint8_t* pbFrame, uint16_t wIndex, uint32_t dTimeoutMs, uint8_t bFlags);
void FreeTargetRequestFrame(uint8_t bPort, uint16_t wIndex);
uint8_t bGetTargetRequestFlags(uint8_t bPort, uint16_t wIndex);
void OrTargetRequestFlags(uint8_t bPort, uint16_t wIndex, uint8_t bBits);
uint8_t bGetTargetRequestFrameAddress(uint8_t bPort, uint16_t wIndex, uint8_t** ppbFrame);
uint8_t bGetSASTargetResponseBuffer(uint8_t bPort, uint16_t wIoIndex, uint8_t** ppbBuffer);

// A request sent through the queue and waited for until its IOC FACTS or
// PORT FACTS reply marks it done (STATUS_OK), at most 10 s.
uint8_t bSendSASTargetRequestAndWait(uint8_t bPort, const uint32_t* pdWords, uint8_t bCount);
void SetSASTargetHandshakeDone(uint8_t f);

// Command buffers.
void RequestCommandBufferRepost(uint8_t bPort, uint16_t wIoIndex);
void SetSASTargetRepostRequest(uint8_t f);
uint8_t fIsSASTargetRepostRequested();
void SASTargetRepostService(uint8_t bPort);
// A word of the bitmap of command buffers waiting to go back to the IOC.
constexpr uint16_t SAS_TARGET_REPOST_WORDS = (SAS_TARGET_MAX_CMD_BUFFERS + 31) / 32;
uint32_t dGetSASTargetRepostWord(uint16_t wWord);

// Interrupt level.
void LSI_SAS_TargetInterruptEntry(uint8_t bIocId);
void LSI_SAS_TargetDoorbellHandler();
void LSI_SAS_TargetReplyHandler(uint8_t bIocId);
// Reply words the handler dropped because an index in them was out of range.
uint32_t dGetSASTargetDroppedReplies();

// Work flags of the main-loop half.
void SetSASTargetPortServiceRequest(uint8_t f);
void SetSASTargetPortEventPending(uint8_t f);
// The port-enable reply of port 0 or 1 came.
void SASTargetPortEnableAnswered(uint8_t bPortIndex);

}  // namespace fw
