// The message-passing layer shared by every LSI IOC driver: the register
// record, the doorbell handshake, firmware load and upload, the reset through
// the diagnostic register, configuration pages and the simple requests the
// bring-up sequences send.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"
#include "executive/port_codes.h"
#include "hw/mpi.h"

namespace fw {

// An IOC is named by the port code of the port it serves.
constexpr uint8_t LSI_IOC_HOST_PORT_1 = PORT_CODE_FC_TABLE_1;
constexpr uint8_t LSI_IOC_HOST_PORT_2 = PORT_CODE_FC_TABLE_2;
constexpr uint8_t LSI_IOC_DRIVE = PORT_CODE_INITIATOR;
constexpr uint8_t LSI_IOC_TARGET_1 = PORT_CODE_SAS_HOST_1;
constexpr uint8_t LSI_IOC_TARGET_2 = PORT_CODE_SAS_HOST_2;

// Processor addresses of an IOC's system registers.
struct LSI_MPT_INTERFACE {
    uint32_t pdDoorbell;
    uint32_t pdWriteSequence;
    uint32_t pdHostDiagnostic;
    uint32_t pdTestBase;
    uint32_t pdDiagRwData;
    uint32_t pdDiagRwAddress;
    uint32_t pdHostIntStatus;
    uint32_t pdHostIntMask;
    uint32_t pdRequestQueue;
    uint32_t pdReplyQueue;
    uint32_t pdHighPriorityRequestQueue;
};

// The register record of an IOC whose window is at dBase.
constexpr LSI_MPT_INTERFACE LSIRegisterPointers(uint32_t dBase) {
    LSI_MPT_INTERFACE s{};
    s.pdDoorbell = dBase + MPI_REG_DOORBELL;
    s.pdWriteSequence = dBase + MPI_REG_WRITE_SEQUENCE;
    s.pdHostDiagnostic = dBase + MPI_REG_HOST_DIAGNOSTIC;
    s.pdTestBase = dBase + MPI_REG_TEST_BASE;
    s.pdDiagRwData = dBase + MPI_REG_DIAG_RW_DATA;
    s.pdDiagRwAddress = dBase + MPI_REG_DIAG_RW_ADDRESS;
    s.pdHostIntStatus = dBase + MPI_REG_HOST_INT_STATUS;
    s.pdHostIntMask = dBase + MPI_REG_HOST_INT_MASK;
    s.pdRequestQueue = dBase + MPI_REG_REQUEST_QUEUE;
    s.pdReplyQueue = dBase + MPI_REG_REPLY_QUEUE;
    s.pdHighPriorityRequestQueue = dBase + MPI_REG_HIGH_PRIORITY_QUEUE;
    return s;
}

// Where the last diagnostic load put the image, kept for the memory dump.
struct LSI_DIAG_LOAD_INFO {
    uint32_t dLoadStartAddress;
    uint32_t dIopResetRegAddr;
    uint32_t dIopResetVectorValue;
};

// Largest firmware image the loaders accept, extensions included.
constexpr uint32_t LSI_MAX_FIRMWARE_IMAGE_BYTES = 0x40000;

// The config reply is 7 dwords; one request by queue at a time.
constexpr uint8_t LSI_CONFIG_REPLY_DWORDS = 7;

LSI_MPT_INTERFACE* pGetLSIMPTInterface(uint8_t bIocId);

// A handshake time-out of LSI_UNTIMED: the untimed form's bounded spins,
// as start-up uses them.  Any other value is a deadline in milliseconds.
constexpr uint32_t LSI_UNTIMED = 0;

uint8_t bLSIHandshake(uint8_t bIocId, const void* pRequest, uint8_t bRequestDwords, void* pReply,
                      uint8_t bReplyMaxDwords);
uint8_t bLSIHandshakeTimed(uint8_t bIocId, const void* pRequest, uint8_t bRequestDwords, void* pReply,
                           uint8_t bReplyMaxDwords, uint32_t dTimeoutMs);
uint8_t bLSIWaitDoorbellInt(uint8_t bIocId);
uint8_t bLSIWaitDoorbellAck(uint8_t bIocId);
uint8_t bLSIWaitDoorbellIntTimed(uint8_t bIocId, uint32_t dMsLeft);
uint8_t bLSIWaitDoorbellAckTimed(uint8_t bIocId, uint32_t dMsLeft);
uint8_t bLSIWaitReady(uint8_t bIocId, uint32_t dTimeoutMs);

uint8_t bLSIDownloadFirmware(uint8_t bIocId, const uint8_t* pbImage, uint8_t fDiagnosticLoad);
uint8_t bLSIUploadFirmware(uint8_t bIocId, uint32_t dByteCount, BUFFER_HANDLE dBuffer);
uint8_t bLSIHardResetIOC(uint8_t bIocId);
const LSI_DIAG_LOAD_INFO* pGetLSIDiagLoadInfo();

// Configuration pages.  dBufferBytes is the size of the caller's buffer: a
// page larger than it fails the request rather than overrun the buffer.
// dTimeoutMs bounds each of the two handshakes of a page sent by handshake.
uint8_t bLSIConfigPageRead(uint8_t bIocId, uint8_t fExtended, uint8_t fViaRequestQueue, uint8_t bAction,
                           uint8_t bPageNumber, uint8_t bPageType, uint32_t dPageAddress,
                           BUFFER_HANDLE dBuffer, uint32_t dBufferBytes, uint32_t* pdByteLength,
                           uint16_t* pwIocStatus, uint32_t dTimeoutMs = LSI_UNTIMED);
uint8_t bLSIConfigPageWrite(uint8_t bIocId, uint8_t fExtended, uint8_t fViaRequestQueue, uint8_t bAction,
                            uint8_t bPageNumber, uint8_t bPageType, uint32_t dPageAddress,
                            BUFFER_HANDLE dBuffer, uint32_t dBufferBytes, uint16_t* pwIocStatus,
                            uint32_t dTimeoutMs = LSI_UNTIMED);
// A current page read (fWrite FALSE) or written by handshake, as bring-up
// does it: STATUS_OK only when the IOC answered success.
uint8_t bLSIConfigPageCurrent(uint8_t bIocId, uint8_t fWrite, uint8_t fExtended, uint8_t bPageType,
                              uint8_t bPageNumber, BUFFER_HANDLE dBuffer, uint32_t dBufferBytes);

// IOC FACTS, IOC INIT (with a host page buffer when dHostPageBytes is not
// 0) and PORT FACTS by handshake; 0xFF only when the IOC answered success.
uint8_t bLSIIocFacts(uint8_t bIocId, MPI_IOC_FACTS_REPLY* psFacts, uint32_t dTimeoutMs = LSI_UNTIMED);
uint8_t bLSIIocInit(uint8_t bIocId, uint8_t bFlags, uint32_t dHostPageBytes, BUS_ADDRESS dHostPages,
                    uint32_t dTimeoutMs = LSI_UNTIMED);
uint8_t bLSIPortFacts(uint8_t bIocId, MPI_PORT_FACTS_REPLY* psFacts, uint32_t dTimeoutMs = LSI_UNTIMED);
uint8_t bLSIPortEnable(uint8_t bIocId, uint8_t bPortNumber, uint32_t dTimeoutMs);
uint8_t bLSIEventNotificationOn(uint8_t bIocId);
uint8_t bLSISendBusReset(uint8_t bIocId);
// Fills a SCSI TASK MGMT request; dTaskMsgContext names the task for the
// task types that act on one command.
// The data of a target assist: one or two pieces of buffer memory in the
// frame's simple elements at offset 32, with the relative offset and the
// total ahead of them.  An element's length has 24 bits; a piece is at most
// one pass of the cache (8 MB).
constexpr uint32_t SGE_LAST_TO_INITIATOR = 0xD5000000;
constexpr uint32_t SGE_FIRST_TO_INITIATOR = 0x14000000;
constexpr uint32_t SGE_LAST_FROM_INITIATOR = 0xD1000000;
constexpr uint32_t SGE_FIRST_FROM_INITIATOR = 0x10000000;
void PutTargetAssistData(uint8_t* pbFrame, uint32_t dRelativeOffset, uint32_t dAddress1, uint32_t dLength1,
                         uint32_t dAddress2, uint32_t dLength2, uint8_t fToInitiator);

struct KERNEL_ENTRY;

// A read answered whole from a read-ahead slot, its GOOD status going with
// its data: its target assist is owned by the slot's marker (0xFD00 | the
// slot), which holds the slot until the IOC has sent the data, and the
// command itself ends as soon as the request is out.  The slot, or 255.
constexpr uint16_t TARGET_OWNER_READ_AHEAD = 0xFD00;
uint8_t bReadAheadSlotOfTransfer(const KERNEL_ENTRY* psEntry, uint8_t fWithStatus);

void BuildLSITaskManagement(MPI_SCSI_TASK_MGMT_REQUEST* ps, uint8_t bTargetId, uint8_t bTaskType,
                            uint32_t dTaskMsgContext);

// IOC memory through the diagnostic window: opened at an address (0xFF, or
// 0 when the IOC does not give the window), read a dword at a time with the
// address moving on, closed again.  The read leaves pdOut untouched and
// answers 0 when the window does not open.
uint8_t bOpenLSIDiagWindow(uint8_t bIocId, uint32_t dAddress);
uint32_t dReadLSIDiagWindow(uint8_t bIocId);
void CloseLSIDiagWindow(uint8_t bIocId);
uint8_t ReadLSIDiagMemory(uint8_t bIocId, uint32_t dAddress, uint32_t dDwordCount, uint32_t* pdOut);

// The steps of a look at the loaded image with the IOC held still: one try
// of the diagnostic key (TRUE when the window answered), the IOC reset and
// held with its memory open at an address (TRUE open), and its restart
// from the reset vector of the last diagnostic load, the sequence locked.
uint8_t fTryLSIDiagKey(uint8_t bIocId);
uint8_t fHoldLSIIocAt(uint8_t bIocId, uint32_t dAddress);
void RestartLSIIocFromLoad(uint8_t bIocId);

void SetLSIConfigReplyFlag(uint8_t f);
uint8_t fGetLSIConfigReplyFlag();
uint32_t* pGetLSIConfigReplyBuffer();

}  // namespace fw
