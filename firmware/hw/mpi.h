// Message layouts and system registers of the LSI message-passing IOCs.
//
// Shared by the drivers in sas/ and by the device model on the simulated
// board, so that both sides agree on every byte.  All records are packed and
// little-endian, as the IOC reads and writes them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hw/addresses.h"

namespace fw {

// Where the drive-side IOC sits: its PCI function and identity, and the
// processor address its register window is given at enumeration.
constexpr uint8_t MPI_DRIVE_IOC_PCI_BUS = 1;
constexpr uint8_t MPI_DRIVE_IOC_PCI_DEVICE = 0;
constexpr uint8_t MPI_DRIVE_IOC_PCI_FUNCTION = 0;
constexpr uint16_t MPI_DRIVE_IOC_VENDOR_ID = 0x1000;
constexpr uint16_t MPI_DRIVE_IOC_DEVICE_ID = 0x0058;
constexpr uint32_t MPI_DRIVE_IOC_REGISTER_BASE = 0x90101000;

// ---------------------------------------------------------------------------
// System registers (offsets in the IOC's memory window)
// ---------------------------------------------------------------------------
constexpr uint32_t MPI_REG_DOORBELL = 0x00;
constexpr uint32_t MPI_REG_WRITE_SEQUENCE = 0x04;
constexpr uint32_t MPI_REG_HOST_DIAGNOSTIC = 0x08;
constexpr uint32_t MPI_REG_TEST_BASE = 0x0C;
constexpr uint32_t MPI_REG_DIAG_RW_DATA = 0x10;
constexpr uint32_t MPI_REG_DIAG_RW_ADDRESS = 0x14;
constexpr uint32_t MPI_REG_HOST_INT_STATUS = 0x30;
constexpr uint32_t MPI_REG_HOST_INT_MASK = 0x34;
constexpr uint32_t MPI_REG_REQUEST_QUEUE = 0x40;
constexpr uint32_t MPI_REG_REPLY_QUEUE = 0x44;
constexpr uint32_t MPI_REG_HIGH_PRIORITY_QUEUE = 0x48;
constexpr uint32_t MPI_REGISTER_WINDOW_SIZE = 0x100;

// Doorbell: IOC state in bits 31..28, in-use bit 27, handshake data in 15..0.
constexpr uint32_t MPI_DOORBELL_STATE_MASK = 0xF0000000;
constexpr uint32_t MPI_DOORBELL_STATE_SHIFT = 28;
constexpr uint32_t MPI_IOC_STATE_RESET = 0x0;
constexpr uint32_t MPI_IOC_STATE_READY = 0x1;
constexpr uint32_t MPI_IOC_STATE_OPERATIONAL = 0x2;
constexpr uint32_t MPI_IOC_STATE_FAULT = 0x4;
constexpr uint32_t MPI_DOORBELL_IN_USE = 0x08000000;
constexpr uint32_t MPI_DOORBELL_DATA_MASK = 0x0000FFFF;
constexpr uint32_t MPI_DOORBELL_FUNCTION_SHIFT = 24;
constexpr uint32_t MPI_DOORBELL_DWORDS_SHIFT = 16;

// Host Interrupt Status / Mask.
constexpr uint32_t MPI_HIS_DOORBELL = 0x00000001;
constexpr uint32_t MPI_HIS_REPLY = 0x00000008;
constexpr uint32_t MPI_HIS_IOC_DOORBELL_PENDING = 0x80000000;

// Host Diagnostic.
constexpr uint32_t MPI_DIAG_DISABLE_ARM = 0x00000002;
constexpr uint32_t MPI_DIAG_RESET_ADAPTER = 0x00000004;
constexpr uint32_t MPI_DIAG_RW_ENABLE = 0x00000010;
constexpr uint32_t MPI_DIAG_FLASH_BAD_SIGNATURE = 0x00000040;
constexpr uint32_t MPI_DIAG_DRWE = 0x00000080;
constexpr uint32_t MPI_DIAG_PREVENT_IOC_BOOT = 0x00000200;
constexpr uint32_t MPI_DIAG_CLEAR_FLASH_BAD_SIGNATURE = 0x00000400;

// Write-sequence keys that unlock the Host Diagnostic register.
constexpr uint8_t MPI_WRSEQ_FLUSH = 0xFF;
constexpr uint8_t MPI_WRSEQ_KEYS[5] = {0x04, 0x0B, 0x02, 0x07, 0x0D};

// Reply FIFO words.
constexpr uint32_t MPI_REPLY_FIFO_EMPTY = 0xFFFFFFFF;
constexpr uint32_t MPI_REPLY_ADDRESS_FLAG = 0x80000000;
constexpr uint32_t MPI_REPLY_TYPE_MASK = 0x60000000;
constexpr uint32_t MPI_REPLY_TYPE_INITIATOR = 0x00000000;
constexpr uint32_t MPI_REPLY_TYPE_TARGET = 0x20000000;

// ---------------------------------------------------------------------------
// Function codes
// ---------------------------------------------------------------------------
constexpr uint8_t MPI_FUNCTION_SCSI_IO_REQUEST = 0x00;
constexpr uint8_t MPI_FUNCTION_SCSI_TASK_MGMT = 0x01;
constexpr uint8_t MPI_FUNCTION_IOC_INIT = 0x02;
constexpr uint8_t MPI_FUNCTION_IOC_FACTS = 0x03;
constexpr uint8_t MPI_FUNCTION_CONFIG = 0x04;
constexpr uint8_t MPI_FUNCTION_PORT_FACTS = 0x05;
constexpr uint8_t MPI_FUNCTION_PORT_ENABLE = 0x06;
constexpr uint8_t MPI_FUNCTION_EVENT_NOTIFICATION = 0x07;
constexpr uint8_t MPI_FUNCTION_EVENT_ACK = 0x08;
constexpr uint8_t MPI_FUNCTION_FW_DOWNLOAD = 0x09;
constexpr uint8_t MPI_FUNCTION_FW_UPLOAD = 0x12;
constexpr uint8_t MPI_FUNCTION_TARGET_CMD_BUF_BASE_POST = 0x24;
constexpr uint8_t MPI_FUNCTION_TARGET_CMD_BUF_LIST_POST = 0x25;
constexpr uint8_t MPI_FUNCTION_IOC_MESSAGE_UNIT_RESET = 0x40;
constexpr uint8_t MPI_FUNCTION_IO_UNIT_RESET = 0x41;
constexpr uint8_t MPI_FUNCTION_HANDSHAKE = 0x42;

// IOC status (15 bits; bit 15 flags log info).
constexpr uint16_t MPI_IOCSTATUS_SUCCESS = 0x0000;
constexpr uint16_t MPI_IOCSTATUS_INVALID_FUNCTION = 0x0001;
constexpr uint16_t MPI_IOCSTATUS_INVALID_SGL = 0x0003;     // a buffer the IOC cannot reach
constexpr uint16_t MPI_IOCSTATUS_INVALID_FIELD = 0x0007;
constexpr uint16_t MPI_IOCSTATUS_INVALID_STATE = 0x0008;
constexpr uint16_t MPI_IOCSTATUS_CONFIG_INVALID_ACTION = 0x0020;
constexpr uint16_t MPI_IOCSTATUS_CONFIG_INVALID_TYPE = 0x0021;
constexpr uint16_t MPI_IOCSTATUS_CONFIG_INVALID_PAGE = 0x0022;
constexpr uint16_t MPI_IOCSTATUS_CONFIG_INVALID_DATA = 0x0023;
constexpr uint16_t MPI_IOCSTATUS_MASK = 0x7FFF;

// Simple scatter-gather element flags (top byte of FlagsLength).
constexpr uint32_t MPI_SGE_SIMPLE_READ = 0xD1000000;   // last, end of buffer/list, host <- IOC
constexpr uint32_t MPI_SGE_SIMPLE_WRITE = 0xD5000000;  // the same, host -> IOC
constexpr uint32_t MPI_SGE_HOST_PAGE_BUFFER = 0x54000000;
constexpr uint32_t MPI_SGE_LENGTH_MASK = 0x00FFFFFF;
constexpr uint32_t MPI_SGE_TRANSACTION_CONTEXT_12 = 0x000C0000;

// ---------------------------------------------------------------------------
// Common message and reply headers
// ---------------------------------------------------------------------------
#pragma pack(push, 1)

// The first 20 bytes every reply carries.
struct MPI_REPLY_HEADER {
    uint8_t bTargetId;       // drive-side device of a SCSI reply, else per message
    uint8_t bReserved1;
    uint8_t bMsgLength;      // whole reply, in dwords
    uint8_t bFunction;
    uint8_t bReserved4;
    uint8_t bTaskMgmtResponse;
    uint8_t bReserved6;
    uint8_t bMsgFlags;       // bit 7: a continuation reply follows
    uint32_t dMsgContext;
    uint8_t bScsiStatus;
    uint8_t bScsiState;
    uint16_t wIOCStatus;
    uint32_t dIOCLogInfo;
};
static_assert(sizeof(MPI_REPLY_HEADER) == 20);
static_assert(offsetof(MPI_REPLY_HEADER, bMsgLength) == 2);
static_assert(offsetof(MPI_REPLY_HEADER, dMsgContext) == 8);
static_assert(offsetof(MPI_REPLY_HEADER, wIOCStatus) == 14);

constexpr uint8_t MPI_MSGFLAGS_CONTINUATION_REPLY = 0x80;

// Requests with nothing but the function and a context (IOC FACTS).
struct MPI_SIMPLE_REQUEST {
    uint8_t bReserved0;
    uint8_t bReserved1;
    uint8_t bChainOffset;
    uint8_t bFunction;
    uint8_t bReserved4;
    uint8_t bReserved5;
    uint8_t bPortNumber;     // PORT FACTS, PORT ENABLE
    uint8_t bMsgFlags;
    uint32_t dMsgContext;
};
static_assert(sizeof(MPI_SIMPLE_REQUEST) == 12);
static_assert(offsetof(MPI_SIMPLE_REQUEST, bPortNumber) == 6);

// Reply to IOC FACTS: 20 dwords.
struct MPI_IOC_FACTS_REPLY {
    MPI_REPLY_HEADER sHeader;
    uint16_t wRequestFrameSize;    // 20: in dwords
    uint16_t wGlobalCredits;       // 22: request frames the host may post
    uint16_t wReplyQueueDepth;     // 24
    uint8_t bNumberOfPorts;        // 26
    uint8_t bFlags;                // 27: bit 0 the host keeps the firmware image
    uint8_t bBlockSize;            // 28: in dwords
    uint8_t bMaxChainDepth;        // 29
    uint8_t bMaxDevices;           // 30
    uint8_t bMaxBuses;             // 31
    uint32_t dFWImageSize;         // 32
    uint32_t dFWVersion;           // 36
    uint32_t dIOCCapabilities;     // 40
    uint16_t wProductId;           // 44
    uint16_t wCurReplyFrameSize;   // 46
    uint32_t dHostPageBufferFlagsLength;  // 48: 0 when no host page buffer is wanted
    BUS_ADDRESS dHostPageBufferAddress;   // 52
    uint32_t dReserved[6];         // 56..79
};
static_assert(sizeof(MPI_IOC_FACTS_REPLY) == 80);
static_assert(offsetof(MPI_IOC_FACTS_REPLY, wRequestFrameSize) == 20);
static_assert(offsetof(MPI_IOC_FACTS_REPLY, dHostPageBufferFlagsLength) == 48);

constexpr uint8_t MPI_IOCFACTS_FLAGS_FW_DOWNLOAD_BOOT = 0x01;

// IOC INIT: 11 dwords.
struct MPI_IOC_INIT_REQUEST {
    uint8_t bWhoInit;              // 4: the host driver
    uint8_t bReserved1;
    uint8_t bChainOffset;
    uint8_t bFunction;
    uint8_t bFlags;
    uint8_t bMaxDevices;
    uint8_t bMaxBuses;
    uint8_t bMsgFlags;
    uint32_t dMsgContext;
    uint16_t wReplyFrameSize;      // 12: bytes
    uint16_t wReserved14;
    uint32_t dHostMfaHighAddr;     // 16
    uint32_t dSenseBufferHighAddr; // 20
    uint32_t dReplyFifoHostSignalingAddr;  // 24
    uint32_t dHostPageBufferFlagsLength;   // 28
    BUS_ADDRESS dHostPageBufferAddress;    // 32
    uint32_t dHostPageBufferAddressHigh;   // 36
    uint32_t dReserved40;
};
static_assert(sizeof(MPI_IOC_INIT_REQUEST) == 44);
constexpr uint8_t MPI_WHOINIT_HOST_DRIVER = 0x04;

// Reply to PORT FACTS: 10 dwords.
struct MPI_PORT_FACTS_REPLY {
    MPI_REPLY_HEADER sHeader;
    uint8_t bPortNumber;           // 20
    uint8_t bPortType;             // 21
    uint16_t wMaxDevices;          // 22
    uint16_t wPortScsiId;          // 24
    uint16_t wProtocolFlags;       // 26
    uint16_t wMaxPostedCmdBuffers; // 28
    uint16_t wMaxPersistentIds;    // 30
    uint32_t dReserved[2];         // 32..39
};
static_assert(sizeof(MPI_PORT_FACTS_REPLY) == 40);

// EVENT NOTIFICATION: 3 dwords; its replies come through the reply FIFO.
struct MPI_EVENT_NOTIFICATION_REQUEST {
    uint8_t bSwitch;
    uint8_t bReserved1;
    uint8_t bChainOffset;
    uint8_t bFunction;
    uint8_t bReserved4[3];
    uint8_t bMsgFlags;
    uint32_t dMsgContext;
};
static_assert(sizeof(MPI_EVENT_NOTIFICATION_REQUEST) == 12);

struct MPI_EVENT_NOTIFICATION_REPLY {
    uint16_t wEventDataLength;     // 0: dwords of event data
    uint8_t bMsgLength;
    uint8_t bFunction;
    uint8_t bReserved4[2];
    uint8_t bAckRequired;          // 6
    uint8_t bMsgFlags;
    uint32_t dMsgContext;
    uint16_t wReserved12;
    uint16_t wIOCStatus;
    uint32_t dIOCLogInfo;
    uint32_t dEvent;               // 20
    uint32_t dEventContext;        // 24
    uint32_t dEventData[9];        // 28: up to the end of a 64-byte frame
};
static_assert(sizeof(MPI_EVENT_NOTIFICATION_REPLY) == 64);
static_assert(offsetof(MPI_EVENT_NOTIFICATION_REPLY, dEvent) == 20);
static_assert(offsetof(MPI_EVENT_NOTIFICATION_REPLY, dEventData) == 28);

struct MPI_EVENT_ACK_REQUEST {
    uint8_t bReserved0[3];
    uint8_t bFunction;
    uint8_t bReserved4[3];
    uint8_t bMsgFlags;
    uint32_t dMsgContext;
    uint32_t dEvent;
    uint32_t dEventContext;
};
static_assert(sizeof(MPI_EVENT_ACK_REQUEST) == 20);

// Events the IOC raises.
constexpr uint32_t MPI_EVENT_EXTERNAL_BUS_RESET = 0x05;
constexpr uint32_t MPI_EVENT_EVENT_CHANGE = 0x0A;
constexpr uint32_t MPI_EVENT_QUEUE_FULL = 0x0E;
constexpr uint32_t MPI_EVENT_SAS_DEVICE_STATUS_CHANGE = 0x0F;
constexpr uint32_t MPI_EVENT_SAS_PHY_LINK_STATUS = 0x12;
constexpr uint32_t MPI_EVENT_SAS_DISCOVERY_ERROR = 0x13;
constexpr uint32_t MPI_EVENT_SAS_DISCOVERY = 0x16;

// Event data, from byte 28 of the notification.
#pragma pack(push, 1)
struct MPI_EVENT_DATA_SAS_DEVICE_STATUS_CHANGE {
    uint8_t bTargetId;
    uint8_t bBus;
    uint8_t bReasonCode;
    uint8_t bReserved3;
    uint8_t bASC;
    uint8_t bASCQ;
    uint16_t wDevHandle;           // 6
    uint32_t dDeviceInfo;          // 8
    uint16_t wParentDevHandle;     // 12
    uint8_t bPhyNum;               // 14
    uint8_t bReserved15;
    uint32_t adSASAddress[2];      // 16: low word first
};
static_assert(sizeof(MPI_EVENT_DATA_SAS_DEVICE_STATUS_CHANGE) == 24);
constexpr uint8_t MPI_SAS_DEVICE_STATUS_ADDED = 3;
constexpr uint8_t MPI_SAS_DEVICE_STATUS_NOT_RESPONDING = 4;
constexpr uint8_t MPI_SAS_DEVICE_STATUS_INTERNAL_RESET = 8;

struct MPI_EVENT_DATA_SAS_PHY_LINK_STATUS {
    uint8_t bPhyNum;
    uint8_t bLinkRates;            // high nibble the current rate, low the previous
    uint16_t wDevHandle;           // 2: the expander the phy belongs to
    uint32_t adSASAddress[2];      // 4: what the phy attaches, low word first
};
static_assert(sizeof(MPI_EVENT_DATA_SAS_PHY_LINK_STATUS) == 12);
constexpr uint8_t MPI_SAS_LINK_RATE_UNKNOWN = 0x00;
constexpr uint8_t MPI_SAS_LINK_RATE_SMP_RESET = 0x04;
constexpr uint8_t MPI_SAS_LINK_RATE_1_5 = 0x08;

struct MPI_EVENT_DATA_SAS_DISCOVERY_ERROR {
    uint32_t dStatus;
    uint8_t bPort;
    uint8_t bReserved5[3];
};
static_assert(sizeof(MPI_EVENT_DATA_SAS_DISCOVERY_ERROR) == 8);
constexpr uint32_t MPI_DISCOVERY_ERROR_SMP_TIMEOUT = 0x08;
constexpr uint32_t MPI_DISCOVERY_ERROR_TABLE_FULL = 0x10;
constexpr uint32_t MPI_DISCOVERY_IN_PROGRESS = 0x01;

struct MPI_EVENT_DATA_QUEUE_FULL {
    uint8_t bTargetId;
    uint8_t bBus;
    uint16_t wCurrentDepth;
};
static_assert(sizeof(MPI_EVENT_DATA_QUEUE_FULL) == 4);
#pragma pack(pop)

// CONFIG: 9 dwords (a tenth empty dword goes with the handshake).
struct MPI_CONFIG_PAGE_HEADER {
    uint8_t bPageVersion;
    uint8_t bPageLength;           // dwords, normal pages
    uint8_t bPageNumber;
    uint8_t bPageType;
};
static_assert(sizeof(MPI_CONFIG_PAGE_HEADER) == 4);

struct MPI_CONFIG_EXTENDED_PAGE_HEADER {
    uint8_t bPageVersion;
    uint8_t bReserved1;
    uint8_t bPageNumber;
    uint8_t bPageType;             // MPI_CONFIG_PAGETYPE_EXTENDED
    uint16_t wExtPageLength;       // dwords
    uint8_t bExtPageType;
    uint8_t bReserved7;
};
static_assert(sizeof(MPI_CONFIG_EXTENDED_PAGE_HEADER) == 8);

struct MPI_CONFIG_REQUEST {
    uint8_t bAction;               // 0
    uint8_t bReserved1;
    uint8_t bChainOffset;
    uint8_t bFunction;             // 3
    uint16_t wExtPageLength;       // 4
    uint8_t bExtPageType;          // 6
    uint8_t bMsgFlags;             // 7
    uint32_t dMsgContext;          // 8
    uint32_t dReserved[2];         // 12..19
    MPI_CONFIG_PAGE_HEADER sHeader;  // 20
    uint32_t dPageAddress;         // 24
    uint32_t dFlagsLength;         // 28
    BUS_ADDRESS dAddress;          // 32
};
static_assert(sizeof(MPI_CONFIG_REQUEST) == 36);
static_assert(offsetof(MPI_CONFIG_REQUEST, sHeader) == 20);
static_assert(offsetof(MPI_CONFIG_REQUEST, dFlagsLength) == 28);

struct MPI_CONFIG_REPLY {
    uint8_t bAction;
    uint8_t bReserved1;
    uint8_t bMsgLength;
    uint8_t bFunction;
    uint16_t wExtPageLength;       // 4
    uint8_t bExtPageType;
    uint8_t bMsgFlags;
    uint32_t dMsgContext;
    uint16_t wReserved12;
    uint16_t wIOCStatus;           // 14
    uint32_t dIOCLogInfo;
    MPI_CONFIG_PAGE_HEADER sHeader;  // 20
};
static_assert(sizeof(MPI_CONFIG_REPLY) == 24);
static_assert(offsetof(MPI_CONFIG_REPLY, sHeader) == 20);

constexpr uint8_t MPI_CONFIG_ACTION_PAGE_HEADER = 0x00;
constexpr uint8_t MPI_CONFIG_ACTION_PAGE_READ_CURRENT = 0x01;
constexpr uint8_t MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT = 0x02;
constexpr uint8_t MPI_CONFIG_ACTION_PAGE_DEFAULT = 0x03;
constexpr uint8_t MPI_CONFIG_ACTION_PAGE_WRITE_NVRAM = 0x04;
constexpr uint8_t MPI_CONFIG_ACTION_PAGE_READ_NVRAM = 0x06;

constexpr uint8_t MPI_CONFIG_PAGETYPE_IOC = 0x01;
constexpr uint8_t MPI_CONFIG_PAGETYPE_BIOS = 0x02;
constexpr uint8_t MPI_CONFIG_PAGETYPE_MANUFACTURING = 0x09;
constexpr uint8_t MPI_CONFIG_PAGETYPE_EXTENDED = 0x0F;
constexpr uint8_t MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT = 0x10;

// Manufacturing page 5: the IOC's own SAS address.
struct MPI_MANUFACTURING_PAGE_5 {
    MPI_CONFIG_PAGE_HEADER sHeader;
    uint32_t dReserved4;
    uint32_t dSasAddressLow;       // 8
    uint32_t dSasAddressHigh;      // 12
};
static_assert(sizeof(MPI_MANUFACTURING_PAGE_5) == 16);

struct MPI_BIOS_PAGE_1 {
    MPI_CONFIG_PAGE_HEADER sHeader;
    uint32_t dBiosOptions;         // 4
    uint32_t dIOCSettings;         // 8
    uint32_t dReserved12;
    uint32_t dDeviceSettings;      // 16
};
static_assert(sizeof(MPI_BIOS_PAGE_1) == 20);
static_assert(offsetof(MPI_BIOS_PAGE_1, dIOCSettings) == 8);

struct MPI_IOC_PAGE_1 {
    MPI_CONFIG_PAGE_HEADER sHeader;
    uint32_t dFlags;               // 4
    uint32_t dCoalescingTimeout;   // 8
    uint8_t bCoalescingDepth;      // 12
    uint8_t bPciSlotNum;
    uint16_t wReserved14;
};
static_assert(sizeof(MPI_IOC_PAGE_1) == 16);
constexpr uint32_t MPI_IOCPAGE1_FLAG_BIT8 = 0x100;
constexpr uint32_t MPI_IOCPAGE1_FLAG_BIT9 = 0x200;

// SAS IO unit page 1: per-phy port and link settings.
struct MPI_SAS_IO_UNIT1_PHY {
    uint8_t bPort;
    uint8_t bPortFlags;
    uint8_t bPhyFlags;
    uint8_t bMaxMinLinkRate;
    uint32_t dControllerPhyDeviceInfo;
    uint16_t wMaxTargetPortConnectTime;
    uint16_t wReserved10;
};
static_assert(sizeof(MPI_SAS_IO_UNIT1_PHY) == 12);

constexpr uint8_t MPI_SAS_IO_UNIT_PHYS = 8;

struct MPI_SAS_IO_UNIT_PAGE_1 {
    MPI_CONFIG_EXTENDED_PAGE_HEADER sHeader;
    uint16_t wControlFlags;        // 8
    uint16_t wMaxNumSataTargets;   // 10
    uint16_t wAdditionalControlFlags;  // 12
    uint16_t wReserved14;
    uint8_t bNumPhys;              // 16
    uint8_t bSataMaxQDepth;        // 17
    uint8_t bReportDeviceMissingDelay;  // 18
    uint8_t bIODeviceMissingDelay;      // 19
    MPI_SAS_IO_UNIT1_PHY asPhy[MPI_SAS_IO_UNIT_PHYS];  // 20
};
static_assert(sizeof(MPI_SAS_IO_UNIT_PAGE_1) == 116);
static_assert(offsetof(MPI_SAS_IO_UNIT_PAGE_1, asPhy) == 20);

// Device info bits of a phy.
constexpr uint32_t MPI_SAS_DEVICE_INFO_END_DEVICE = 0x00000001;
constexpr uint32_t MPI_SAS_DEVICE_INFO_SSP_INITIATOR = 0x00000040;
constexpr uint32_t MPI_SAS_DEVICE_INFO_SSP_TARGET = 0x00000400;

// FW DOWNLOAD and FW UPLOAD: 10 dwords.
struct MPI_FW_TRANSFER_REQUEST {
    uint8_t bImageType;            // 0
    uint8_t bReserved1;
    uint8_t bChainOffset;
    uint8_t bFunction;             // 3
    uint8_t bReserved4[3];
    uint8_t bMsgFlags;
    uint32_t dMsgContext;          // 8
    uint32_t dContextElement;      // 12: 0x000C0000, 12 bytes of details follow
    uint32_t dReserved16;
    uint32_t dImageOffset;         // 20
    uint32_t dImageSize;           // 24
    uint32_t dFlagsLength;         // 28
    BUS_ADDRESS dAddress;          // 32
    uint32_t dReserved36;
};
static_assert(sizeof(MPI_FW_TRANSFER_REQUEST) == 40);
static_assert(offsetof(MPI_FW_TRANSFER_REQUEST, dFlagsLength) == 28);

constexpr uint8_t MPI_FW_IMAGE_TYPE_IOC_MEMORY = 0x00;
constexpr uint8_t MPI_FW_IMAGE_TYPE_FIRMWARE = 0x01;

struct MPI_FW_UPLOAD_REPLY {
    MPI_REPLY_HEADER sHeader;
    uint32_t dActualImageSize;     // 20
};
static_assert(sizeof(MPI_FW_UPLOAD_REPLY) == 24);

// SCSI TASK MGMT: 13 dwords.
struct MPI_SCSI_TASK_MGMT_REQUEST {
    uint8_t bTargetId;             // 0
    uint8_t bBus;                  // 1
    uint8_t bChainOffset;
    uint8_t bFunction;             // 3
    uint8_t bReserved4;
    uint8_t bTaskType;             // 5
    uint8_t bReserved6;
    uint8_t bMsgFlags;
    uint32_t dMsgContext;          // 8
    uint8_t abLun[8];              // 12
    uint32_t dReserved[7];         // 20..47
    uint32_t dTaskMsgContext;      // 48
};
static_assert(sizeof(MPI_SCSI_TASK_MGMT_REQUEST) == 52);
constexpr uint8_t MPI_TASKTYPE_ABORT_TASK = 0x01;
constexpr uint8_t MPI_TASKTYPE_TARGET_RESET = 0x03;
constexpr uint8_t MPI_TASKTYPE_RESET_BUS = 0x04;
constexpr uint8_t MPI_TASKTYPE_LOGICAL_UNIT_RESET = 0x05;

// Target command buffers the partner's commands arrive in.
struct MPI_TARGET_CMD_BUF_BASE_POST_REQUEST {
    uint8_t bBufferPostFlags;      // 0: 1 = post
    uint8_t bPortNumber;           // 1
    uint8_t bChainOffset;
    uint8_t bFunction;             // 3
    uint16_t wTotalCmdBuffers;     // 4
    uint8_t bReserved6;
    uint8_t bMsgFlags;
    uint32_t dMsgContext;          // 8
    uint32_t dReserved12;
    uint16_t wCmdBufferLength;     // 16
    uint16_t wReserved18;
    uint32_t dBaseAddressHigh;     // 20
    BUS_ADDRESS dBaseAddressLow;   // 24
};
static_assert(sizeof(MPI_TARGET_CMD_BUF_BASE_POST_REQUEST) == 28);

constexpr uint8_t MPI_TARGET_CMD_BUF_LIST_MAX = 40;
struct MPI_TARGET_CMD_BUF_LIST_POST_REQUEST {
    uint8_t bReserved0;
    uint8_t bPortNumber;
    uint8_t bChainOffset;
    uint8_t bFunction;             // 3
    uint16_t wCmdBufferCount;      // 4
    uint8_t bReserved6;
    uint8_t bMsgFlags;
    uint32_t dMsgContext;          // 8
    uint32_t dReserved12;
    uint16_t awIoIndex[MPI_TARGET_CMD_BUF_LIST_MAX];  // 16
};
static_assert(sizeof(MPI_TARGET_CMD_BUF_LIST_POST_REQUEST) == 96);
static_assert(offsetof(MPI_TARGET_CMD_BUF_LIST_POST_REQUEST, awIoIndex) == 16);

// ---------------------------------------------------------------------------
// Firmware image as the diagnostic loader reads it
// ---------------------------------------------------------------------------
struct MPI_FW_IMAGE_HEADER {
    uint32_t dResetBranch;         // 0: first instruction the IOC executes
    uint32_t adSignature[3];       // 4
    uint16_t wVendorId;            // 16
    uint16_t wProductId;           // 18
    uint32_t dChecksum;            // 20: all dwords of the image sum to 0
    uint32_t dReserved24[3];
    uint32_t dFWVersion;           // 36
    uint32_t dReserved40;
    uint32_t dImageSize;           // 44: bytes, this image alone
    uint32_t dNextImageHeaderOffset;  // 48: 0 when no extended image follows
    uint32_t dLoadStartAddress;    // 52
    uint32_t dIopResetVectorValue; // 56
    uint32_t dIopResetRegAddr;     // 60
};
static_assert(sizeof(MPI_FW_IMAGE_HEADER) == 64);
static_assert(offsetof(MPI_FW_IMAGE_HEADER, dFWVersion) == 36);
static_assert(offsetof(MPI_FW_IMAGE_HEADER, dImageSize) == 44);
static_assert(offsetof(MPI_FW_IMAGE_HEADER, dNextImageHeaderOffset) == 48);
static_assert(offsetof(MPI_FW_IMAGE_HEADER, dLoadStartAddress) == 52);
static_assert(offsetof(MPI_FW_IMAGE_HEADER, dIopResetVectorValue) == 56);
static_assert(offsetof(MPI_FW_IMAGE_HEADER, dIopResetRegAddr) == 60);

struct MPI_EXT_IMAGE_HEADER {
    uint8_t bImageType;            // 0
    uint8_t bReserved1[3];
    uint32_t dChecksum;            // 4: all dwords of this extension sum to 0
    uint32_t dImageSize;           // 8
    uint32_t dNextImageHeaderOffset;  // 12
    uint32_t dLoadStartAddress;    // 16
    uint32_t dReserved20[3];
};
static_assert(sizeof(MPI_EXT_IMAGE_HEADER) == 32);
static_assert(offsetof(MPI_EXT_IMAGE_HEADER, dImageSize) == 8);
static_assert(offsetof(MPI_EXT_IMAGE_HEADER, dNextImageHeaderOffset) == 12);
static_assert(offsetof(MPI_EXT_IMAGE_HEADER, dLoadStartAddress) == 16);

// The signature words of an image the IOC will boot.
constexpr uint32_t MPI_FW_SIGNATURE_0 = 0x5AFAA55A;
constexpr uint32_t MPI_FW_SIGNATURE_1 = 0xA55AFAA5;
constexpr uint32_t MPI_FW_SIGNATURE_2 = 0x5AA55AFA;


// ---------------------------------------------------------------------------
// Drive-side topology pages
// ---------------------------------------------------------------------------
constexpr uint8_t MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER = 0x11;
constexpr uint8_t MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE = 0x12;
// Page addresses: the next handle above the given one (0xFFFF: the first),
// a handle, or a phy of an expander's handle.
constexpr uint32_t MPI_SAS_PAGE_FORM_GET_NEXT_HANDLE = 0x00000000;
constexpr uint32_t MPI_SAS_PAGE_FORM_HANDLE = 0x20000000;
constexpr uint32_t MPI_SAS_EXPANDER_PAGE_FORM_PHY = 0x10000000;

struct MPI_SAS_IO_UNIT0_PHY {
    uint8_t bPort;
    uint8_t bPortFlags;
    uint8_t bPhyFlags;
    uint8_t bNegotiatedLinkRate;
    uint32_t dControllerPhyDeviceInfo;
    uint16_t wAttachedDevHandle;
    uint16_t wControllerDevHandle;
    uint32_t dDiscoveryStatus;
};
static_assert(sizeof(MPI_SAS_IO_UNIT0_PHY) == 16);

struct MPI_SAS_IO_UNIT_PAGE_0 {
    MPI_CONFIG_EXTENDED_PAGE_HEADER sHeader;
    uint32_t dReserved8;
    uint8_t bNumPhys;              // 12
    uint8_t abReserved13[3];
    MPI_SAS_IO_UNIT0_PHY asPhy[MPI_SAS_IO_UNIT_PHYS];  // 16
};
static_assert(sizeof(MPI_SAS_IO_UNIT_PAGE_0) == 144);
static_assert(offsetof(MPI_SAS_IO_UNIT_PAGE_0, asPhy) == 16);

struct MPI_SAS_EXPANDER_PAGE_0 {
    MPI_CONFIG_EXTENDED_PAGE_HEADER sHeader;
    uint8_t bPhysicalPort;         // 8
    uint8_t bReserved9;
    uint16_t wEnclosureHandle;     // 10
    uint32_t dSASAddressLow;       // 12
    uint32_t dSASAddressHigh;      // 16
    uint32_t dDiscoveryStatus;     // 20
    uint16_t wDevHandle;           // 24
    uint16_t wParentDevHandle;     // 26
    uint16_t wExpanderChangeCount; // 28
    uint16_t wExpanderRouteIndexes;
    uint8_t bNumPhys;              // 32
    uint8_t bSASLevel;             // 33
    uint8_t bFlags;
    uint8_t bReserved35;
};
static_assert(sizeof(MPI_SAS_EXPANDER_PAGE_0) == 36);
static_assert(offsetof(MPI_SAS_EXPANDER_PAGE_0, wDevHandle) == 24);
static_assert(offsetof(MPI_SAS_EXPANDER_PAGE_0, bNumPhys) == 32);

struct MPI_SAS_EXPANDER_PAGE_1 {
    MPI_CONFIG_EXTENDED_PAGE_HEADER sHeader;
    uint8_t bPhysicalPort;         // 8
    uint8_t abReserved9[3];
    uint8_t bNumPhys;              // 12
    uint8_t bPhy;                  // 13
    uint16_t wNumTableEntriesProgrammed;
    uint8_t bProgrammedLinkRate;   // 16
    uint8_t bHwLinkRate;
    uint16_t wAttachedDevHandle;   // 18
    uint32_t dPhyInfo;             // 20
    uint32_t dAttachedDeviceInfo;  // 24
    uint16_t wOwnerDevHandle;      // 28
    uint8_t bChangeCount;          // 30
    uint8_t bNegotiatedLinkRate;   // 31: 1 disabled, 8 1.5 Gbit/s, 9 3.0 Gbit/s
    uint8_t bPhyIdentifier;        // 32
    uint8_t bAttachedPhyIdentifier;
    uint8_t bReserved34;
    uint8_t bDiscoveryInfo;
};
static_assert(sizeof(MPI_SAS_EXPANDER_PAGE_1) == 36);
static_assert(offsetof(MPI_SAS_EXPANDER_PAGE_1, wAttachedDevHandle) == 18);
static_assert(offsetof(MPI_SAS_EXPANDER_PAGE_1, bChangeCount) == 30);

constexpr uint8_t MPI_SAS_LINK_RATE_PHY_DISABLED = 0x01;
constexpr uint8_t MPI_SAS_LINK_RATE_3_0 = 0x09;
constexpr uint32_t MPI_SAS_PHYINFO_VIRTUAL_PHY = 0x00001000;
constexpr uint32_t MPI_SAS_PHYINFO_PORT_SELECTOR = 0x00002000;

struct MPI_SAS_DEVICE_PAGE_0 {
    MPI_CONFIG_EXTENDED_PAGE_HEADER sHeader;
    uint16_t wSlot;                // 8
    uint16_t wEnclosureHandle;     // 10
    uint32_t dSASAddressLow;       // 12
    uint32_t dSASAddressHigh;      // 16
    uint16_t wParentDevHandle;     // 20
    uint8_t bPhyNum;               // 22
    uint8_t bAccessStatus;         // 23
    uint16_t wDevHandle;           // 24
    uint8_t bTargetID;             // 26
    uint8_t bBus;                  // 27
    uint32_t dDeviceInfo;          // 28
    uint16_t wFlags;               // 32: bit 0 present, bit 1 mapped to a target id
    uint8_t bPhysicalPort;
    uint8_t bReserved35;
};
static_assert(sizeof(MPI_SAS_DEVICE_PAGE_0) == 36);
static_assert(offsetof(MPI_SAS_DEVICE_PAGE_0, bTargetID) == 26);
static_assert(offsetof(MPI_SAS_DEVICE_PAGE_0, wFlags) == 32);

// Attached device info bits.
constexpr uint32_t MPI_SAS_DEVICE_INFO_TYPE_MASK = 0x00000007;
constexpr uint32_t MPI_SAS_DEVICE_INFO_EDGE_EXPANDER = 0x00000002;
constexpr uint32_t MPI_SAS_DEVICE_INFO_FANOUT_EXPANDER = 0x00000003;
constexpr uint32_t MPI_SAS_DEVICE_INFO_SMP_INITIATOR = 0x00000010;
constexpr uint32_t MPI_SAS_DEVICE_INFO_STP_INITIATOR = 0x00000020;
constexpr uint32_t MPI_SAS_DEVICE_INFO_SATA_DEVICE = 0x00000080;
constexpr uint32_t MPI_SAS_DEVICE_INFO_SMP_TARGET = 0x00000100;
constexpr uint32_t MPI_SAS_DEVICE_INFO_INITIATORS = 0x00000070;

// ---------------------------------------------------------------------------
// Drive commands
// ---------------------------------------------------------------------------
constexpr uint8_t MPI_FUNCTION_SMP_PASSTHROUGH = 0x1A;
constexpr uint8_t MPI_FUNCTION_SATA_PASSTHROUGH = 0x1C;

struct MPI_SCSI_IO_REQUEST {
    uint8_t bTargetId;             // 0
    uint8_t bBus;
    uint8_t bChainOffset;          // 2: dwords
    uint8_t bFunction;             // 3
    uint8_t bCDBLength;            // 4
    uint8_t bSenseBufferLength;    // 5
    uint8_t bReserved6;
    uint8_t bMsgFlags;
    uint32_t dMsgContext;          // 8
    uint8_t abLun[8];              // 12
    uint32_t dControl;             // 20
    uint8_t abCDB[16];             // 24
    uint32_t dDataLength;          // 40
    BUS_ADDRESS dSenseBufferLowAddr;  // 44
    uint32_t adSGL[20];            // 48: (flags-and-length, address) pairs
};
static_assert(sizeof(MPI_SCSI_IO_REQUEST) == 128);
static_assert(offsetof(MPI_SCSI_IO_REQUEST, abCDB) == 24);
static_assert(offsetof(MPI_SCSI_IO_REQUEST, adSGL) == 48);

constexpr uint32_t MPI_SCSIIO_CONTROL_READ = 0x02000000;
constexpr uint32_t MPI_SCSIIO_CONTROL_WRITE = 0x01000000;
constexpr uint32_t MPI_SCSIIO_CONTROL_ORDERED = 0x00000200;
constexpr uint32_t MPI_SCSIIO_CONTROL_HEAD_OF_QUEUE = 0x00000100;
constexpr uint8_t MPI_SCSIIO_CHAIN_OFFSET_DWORDS = 22;

// SGL element flags (top byte of the flags-and-length word).
constexpr uint32_t MPI_SGE_FLAG_LAST_ELEMENT = 0x80000000;
constexpr uint32_t MPI_SGE_FLAG_END_OF_BUFFER = 0x40000000;
constexpr uint32_t MPI_SGE_FLAG_SIMPLE = 0x10000000;
constexpr uint32_t MPI_SGE_FLAG_CHAIN = 0x30000000;
constexpr uint32_t MPI_SGE_FLAG_HOST_TO_IOC = 0x04000000;
constexpr uint32_t MPI_SGE_FLAG_END_OF_LIST = 0x01000000;
constexpr uint32_t MPI_SGE_CHAIN_OFFSET_SHIFT = 16;

struct MPI_SCSI_IO_REPLY {
    MPI_REPLY_HEADER sHeader;      // 0: status, state and IOC status at 12..15
    uint32_t dTransferCount;       // 20
    uint32_t dSenseCount;          // 24
    uint32_t dResponseInfo;        // 28
};
static_assert(sizeof(MPI_SCSI_IO_REPLY) == 32);
constexpr uint8_t MPI_SCSI_STATE_AUTOSENSE_VALID = 0x01;
constexpr uint16_t MPI_IOCSTATUS_SCSI_DATA_UNDERRUN = 0x0045;
constexpr uint16_t MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE = 0x0043;
constexpr uint16_t MPI_IOCSTATUS_SCSI_TASK_TERMINATED = 0x0048;
constexpr uint16_t MPI_IOCSTATUS_SCSI_IOC_TERMINATED = 0x004B;

// ---------------------------------------------------------------------------
// Target mode: the drive IOC is also the target of the partner controller's
// commands.  A command lands in a posted command buffer and is announced by a
// target context reply (its IoIndex); the firmware moves its data and sends
// its status with the requests below, each again ending in a target context
// reply of the same IoIndex.
// ---------------------------------------------------------------------------
constexpr uint8_t MPI_FUNCTION_TARGET_ASSIST = 0x0B;
constexpr uint8_t MPI_FUNCTION_TARGET_STATUS_SEND = 0x0C;
constexpr uint8_t MPI_FUNCTION_TARGET_MODE_ABORT = 0x0D;
constexpr uint8_t MPI_FUNCTION_SAS_IO_UNIT_CONTROL = 0x1B;
constexpr uint32_t MPI_TARGET_REPLY_IO_INDEX_MASK = 0x3FFF;

// A command buffer as the IOC fills it.
struct MPI_TARGET_SSP_CMD_BUFFER {
    uint8_t bFrameType;            // 0: 0x06 command, 0x16 task management
    uint8_t bReserved1;
    uint16_t wInitiatorTag;        // 2
    uint16_t wDevHandle;           // 4: the initiator's port
    uint16_t wReserved6;
    uint8_t abLun[8];              // 8
    uint8_t bReserved16;
    uint8_t bTaskAttribute;        // 17
    uint8_t bTaskManagementFunction;  // 18 (task management frames)
    uint8_t bAdditionalCdbLength;  // 19
    uint8_t abCdb[16];             // 20
    uint16_t wManagedTaskTag;      // 36 (task management frames)
    uint8_t abReserved38[26];
};
static_assert(sizeof(MPI_TARGET_SSP_CMD_BUFFER) == 64);
static_assert(offsetof(MPI_TARGET_SSP_CMD_BUFFER, abLun) == 8);
static_assert(offsetof(MPI_TARGET_SSP_CMD_BUFFER, abCdb) == 20);
constexpr uint8_t MPI_TARGET_FRAME_COMMAND = 0x06;
constexpr uint8_t MPI_TARGET_FRAME_TASK = 0x16;

// TARGET ASSIST: one data phase of a command from the partner.
struct MPI_TARGET_ASSIST_REQUEST {
    uint8_t bStatusCode;           // 0: the status sent with automatic status
    uint8_t bTargetAssistFlags;    // 1
    uint8_t bChainOffset;
    uint8_t bFunction;             // 3
    uint16_t wQueueTag;            // 4
    uint8_t bReserved6;
    uint8_t bMsgFlags;
    uint32_t dMsgContext;          // 8
    uint32_t dReplyWord;           // 12
    uint8_t abLun[8];              // 16
    uint32_t dRelativeOffset;      // 24
    uint32_t dDataLength;          // 28
    uint32_t adSGL[4];             // 32
};
static_assert(sizeof(MPI_TARGET_ASSIST_REQUEST) == 48);
constexpr uint8_t MPI_TARGET_ASSIST_FLAGS_DATA_DIRECTION = 0x01;  // data to the initiator
constexpr uint8_t MPI_TARGET_ASSIST_FLAGS_AUTO_STATUS = 0x02;
constexpr uint8_t MPI_TARGET_ASSIST_FLAGS_REPOST = 0x80;

// TARGET STATUS SEND: the status of a command from the partner, GOOD by
// itself or a response frame with sense.
struct MPI_TARGET_STATUS_SEND_REQUEST {
    uint8_t bStatusCode;           // 0
    uint8_t bStatusFlags;          // 1
    uint8_t bChainOffset;
    uint8_t bFunction;             // 3
    uint16_t wQueueTag;            // 4
    uint8_t bReserved6;
    uint8_t bMsgFlags;
    uint32_t dMsgContext;          // 8
    uint32_t dReplyWord;           // 12
    uint8_t abLun[8];              // 16
    uint32_t adSGL[2];             // 24: the response frame
};
static_assert(sizeof(MPI_TARGET_STATUS_SEND_REQUEST) == 32);
constexpr uint8_t MPI_TARGET_STATUS_FLAGS_AUTO_GOOD = 0x01;
constexpr uint8_t MPI_TARGET_STATUS_FLAGS_REPOST = 0x80;
// The response frame: 24 bytes the IOC fills, then the SSP RESPONSE IU.
constexpr uint32_t MPI_TARGET_RESPONSE_IU_OFFSET = 24;
constexpr uint32_t SSP_RESPONSE_DATAPRES = 10;     // 1 response data, 2 sense data
constexpr uint32_t SSP_RESPONSE_STATUS = 11;
constexpr uint32_t SSP_RESPONSE_SENSE_LENGTH = 16; // big-endian
constexpr uint32_t SSP_RESPONSE_DATA_LENGTH = 20;  // big-endian
constexpr uint32_t SSP_RESPONSE_DATA = 24;

// TARGET MODE ABORT: ends the IOC's work on a command buffer.
struct MPI_TARGET_MODE_ABORT_REQUEST {
    uint8_t bAbortType;            // 0: 2 exact IoIndex, 3 exact request
    uint8_t bReserved1;
    uint8_t bChainOffset;
    uint8_t bFunction;             // 3
    uint16_t wReserved4;
    uint8_t bReserved6;
    uint8_t bMsgFlags;
    uint32_t dMsgContext;          // 8
    uint32_t dReplyWord;           // 12
    uint32_t dMsgContextToAbort;   // 16
};
static_assert(sizeof(MPI_TARGET_MODE_ABORT_REQUEST) == 20);

#pragma pack(pop)

}  // namespace fw
