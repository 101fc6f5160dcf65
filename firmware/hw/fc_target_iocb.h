// What a Fibre Channel host-port chip and the target engine exchange about
// a host command: the command entries the chip delivers (ATIO type 7 of the
// ISP24xx, type 0x16 of the ISP2x00) and the meaning of the words the target
// engine puts in the continue-target-I/O entries (CTIOs) that move its data
// and return its status.  The frame header and FCP_CMND payload keep the
// byte order of the wire (big-endian); the chip's own words are
// little-endian.  Shared by the host-port driver, the target engine and the
// chip model.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

constexpr uint8_t ATIO7_ENTRY_TYPE = 0x06;
constexpr uint8_t IMMEDIATE_NOTIFY24_ENTRY_TYPE = 0x0D;
constexpr uint32_t ATIO7_NO_EXCHANGE = 0xFFFFFFFF;   // the chip had no exchange for it

// bDataDirection bits of FCP_CMND byte 11.
constexpr uint8_t FCP_WRITE_DATA = 0x01;
constexpr uint8_t FCP_READ_DATA = 0x02;
constexpr uint8_t FCP_TASK_ATTRIBUTE_MASK = 0x07;

#pragma pack(push, 1)
struct ATIO7_ENTRY {
    uint8_t bEntryType;             // 0x06
    uint8_t bEntryCount;
    uint16_t wFcpCmndLength;        // bits 0-11
    uint32_t dExchangeAddress;      // 0xFFFFFFFF: no exchange resources
    // Frame header.
    uint8_t bRCtl;
    uint8_t abDestinationId[3];
    uint8_t bCsCtl;
    uint8_t abSourceId[3];
    uint8_t bType;
    uint8_t abFCtl[3];
    uint8_t bSeqId;
    uint8_t bDfCtl;
    uint8_t abSeqCount[2];
    uint8_t abOxId[2];
    uint8_t abRxId[2];
    uint8_t abParameter[4];
    // FCP_CMND.
    uint8_t abFcpLun[8];
    uint8_t bCommandReference;      // CRN
    uint8_t bTaskAttribute;         // bits 0-2
    uint8_t bTaskManagement;        // task management flags; 0 for a command
    uint8_t bDataDirection;         // FCP_WRITE_DATA, FCP_READ_DATA
    uint8_t abCdb[16];
    uint8_t abDataLength[4];        // FCP_DL
};
#pragma pack(pop)
static_assert(sizeof(ATIO7_ENTRY) == 64);
static_assert(offsetof(ATIO7_ENTRY, dExchangeAddress) == 4);
static_assert(offsetof(ATIO7_ENTRY, abSourceId) == 13);
static_assert(offsetof(ATIO7_ENTRY, abOxId) == 24);
static_assert(offsetof(ATIO7_ENTRY, abFcpLun) == 32);
static_assert(offsetof(ATIO7_ENTRY, bTaskManagement) == 42);
static_assert(offsetof(ATIO7_ENTRY, abCdb) == 44);
static_assert(offsetof(ATIO7_ENTRY, abDataLength) == 60);

// The command entry of the ISP2x00 generation (entry type 0x16), which is
// also the common layout the target engine reads every Fibre Channel command
// in: an ISP24xx command is converted into it at the head of its entry.
constexpr uint8_t ATIO2_ENTRY_TYPE = 0x16;
constexpr uint16_t ATIO2_STATUS_COMMAND_RECEIVED = 0x3D;

#pragma pack(push, 1)
struct ATIO2_ENTRY {
    uint8_t bEntryType;             // 0x16
    uint8_t bEntryCount;
    uint8_t bSystemDefined;         // the IOCB tag
    uint8_t bEntryStatus;
    uint32_t dHandle;
    uint16_t wInitiator;            // loop ID, or the ISP24xx initiator handle
    uint16_t wRxId;
    uint16_t wFlags;
    uint16_t wStatus;               // 0x3D: command received
    uint8_t bCommandReference;
    uint8_t bTaskAttribute;
    uint8_t bTaskManagement;
    uint8_t bDataDirection;
    uint8_t abCdb[16];
    uint32_t dDataLength;           // FCP_DL
    uint16_t wLun;
    uint8_t abReserved42[20];
    uint16_t wOxId;
};
#pragma pack(pop)
static_assert(sizeof(ATIO2_ENTRY) == 64);
static_assert(offsetof(ATIO2_ENTRY, wInitiator) == 8);
static_assert(offsetof(ATIO2_ENTRY, wStatus) == 14);
static_assert(offsetof(ATIO2_ENTRY, bCommandReference) == 16);
static_assert(offsetof(ATIO2_ENTRY, abCdb) == 20);
static_assert(offsetof(ATIO2_ENTRY, dDataLength) == 36);
static_assert(offsetof(ATIO2_ENTRY, wLun) == 40);
static_assert(offsetof(ATIO2_ENTRY, wOxId) == 62);

// ---- CTIOs ----
constexpr uint8_t CTIO7_ENTRY_TYPE = 0x12;
constexpr uint8_t CTIO2_ENTRY_TYPE = 0x17;
constexpr uint32_t CTIO_ENTRY_BYTES = 64;
constexpr uint8_t CTIO_COMPLETE = 1;   // completion status of a CTIO that did its work

// Flags of a CTIO type 7.  The task attribute of the command (ATIO byte 41,
// bits 0-2) rides in bits 9-11.
constexpr uint16_t CTIO7_FLAG_DATA_OUT = 0x0001;
constexpr uint16_t CTIO7_FLAG_DATA_IN = 0x0002;
constexpr uint16_t CTIO7_FLAG_STATUS_MODE_1 = 0x0100;
constexpr uint16_t CTIO7_FLAG_TERMINATE = 0x4000;
constexpr uint16_t CTIO7_FLAG_SEND_STATUS = 0x8000;
constexpr uint32_t CTIO7_TASK_ATTRIBUTE_SHIFT = 9;
// Flags of a CTIO type 2.
constexpr uint16_t CTIO2_FLAG_DATA_IN = 0x0040;
constexpr uint16_t CTIO2_FLAG_DATA_OUT = 0x0080;
constexpr uint16_t CTIO2_FLAG_STATUS_MODE_1 = 0x0100;
constexpr uint16_t CTIO2_FLAG_SEND_STATUS = 0x8000;

// The SCSI status word of a CTIO: the status byte and the FCP_RSP flags.
constexpr uint16_t FCP_RESPONSE_INFO_VALID = 0x0100;
constexpr uint16_t FCP_SENSE_VALID = 0x0200;
constexpr uint16_t FCP_RESIDUAL_OVERRUN = 0x0400;
constexpr uint16_t FCP_RESIDUAL_UNDERRUN = 0x0800;
// FCP_RSP_INFO, the answer to a task management function: RSP_CODE in
// byte 3 of its 8 bytes.
constexpr uint16_t FCP_RESPONSE_INFO_LENGTH = 8;
constexpr uint8_t FCP_RSP_CODE_COMPLETE = 0x00;
constexpr uint8_t FCP_RSP_CODE_NOT_SUPPORTED = 0x04;
constexpr uint8_t FCP_RSP_CODE_INCORRECT_LUN = 0x09;

// ---- task management traffic ----
constexpr uint8_t IMMEDIATE_NOTIFY_ENTRY_TYPE = 0x0D;
constexpr uint8_t NOTIFY_ACK_ENTRY_TYPE = 0x0E;
constexpr uint8_t ABTS_RECEIVED_ENTRY_TYPE = 0x54;
constexpr uint8_t ABTS_RESPONSE_ENTRY_TYPE = 0x55;
constexpr uint8_t BA_ACC = 0x84;
constexpr uint8_t BA_RJT = 0x85;
constexpr uint8_t BA_RJT_REASON_UNABLE = 9;
// The status of an immediate notify (ISP2x00 and ISP24xx), and the ELS an
// ISP24xx notify of status 0x46 carries.
constexpr uint16_t NOTIFY_LIP_RESET = 0x0E;
constexpr uint16_t NOTIFY_ABORT_TASK = 0x20;
constexpr uint16_t NOTIFY_LOGOUT = 0x29;
constexpr uint16_t NOTIFY_PORT_CHANGE = 0x2A;
constexpr uint16_t NOTIFY_GLOBAL_LOGOUT = 0x2E;
constexpr uint16_t NOTIFY_TASK_MANAGEMENT = 0x36;
constexpr uint16_t NOTIFY_ELS = 0x46;
constexpr uint8_t ELS_PLOGI = 0x03;
constexpr uint8_t ELS_LOGO = 0x05;
constexpr uint8_t ELS_PRLI = 0x20;
constexpr uint8_t ELS_PRLO = 0x21;

// Immediate notify of an ISP2x00 host port.
#pragma pack(push, 1)
struct IMMEDIATE_NOTIFY2_ENTRY {
    uint8_t bEntryType;             // 0x0D
    uint8_t bEntryCount;
    uint8_t bSystemDefined;
    uint8_t bEntryStatus;
    uint32_t dReserved4;
    uint16_t wInitiator;            // loop ID
    uint16_t wLun;
    uint16_t wReserved12;
    uint16_t wStatus;               // 0x36 task management, 0x29 logout, 0x0E LIP reset, 0x20 abort task, 0x2A port change
    uint16_t wTaskFlags;
    uint16_t wSequenceId;
    uint16_t wExchangeTag;          // abort task: the RX_ID of the command
    uint8_t abReserved22[42];
};
// Immediate notify of an ISP24xx host port, and the acknowledge the target
// engine answers it with (entry type 0x0E, same layout).
struct IMMEDIATE_NOTIFY24_ENTRY {
    uint8_t bEntryType;             // 0x0D, or 0x0E for the acknowledge
    uint8_t bEntryCount;
    uint8_t bSystemDefined;
    uint8_t bEntryStatus;
    uint32_t dHandle;
    uint16_t wNPortHandle;
    uint16_t wReserved10;
    uint16_t wFlags;
    uint16_t wReserved14;
    uint16_t wStatus;               // 0x46 ELS, 0x29 logout, 0x0E LIP reset, 0x2E global logout, 0x2A port change
    uint8_t bElsOpcode;             // 3 PLOGI, 5 LOGO, 0x20 PRLI
    uint8_t bReserved19;
    uint32_t dExchangeAddress;
    uint8_t abPortId[3];            // big-endian, as on the wire
    uint8_t bReserved27;
    uint16_t wOxId;
    uint16_t wRxId;
    uint8_t abReserved32[32];
};
// An ABTS the chip received, and the response the target engine posts.
struct ABTS_ENTRY {
    uint8_t bEntryType;             // 0x54 received, 0x55 response
    uint8_t bEntryCount;
    uint8_t bSystemDefined;
    uint8_t bEntryStatus;
    uint32_t dHandle;
    uint16_t wNPortHandle;
    uint16_t wControlFlags;
    uint8_t bResponseCode;          // response: 0x84 BA_ACC, 0x85 BA_RJT
    uint8_t bReasonCode;
    uint16_t wReserved14;
    uint32_t dExchangeToAbort;
    uint8_t abPortId[3];            // the initiator, big-endian
    uint8_t bReserved23;
    uint16_t wOxId;
    uint16_t wRxId;
    uint8_t bSeqId;
    uint8_t abReserved29[35];
};
#pragma pack(pop)
static_assert(sizeof(IMMEDIATE_NOTIFY2_ENTRY) == 64);
static_assert(offsetof(IMMEDIATE_NOTIFY2_ENTRY, wStatus) == 14);
static_assert(sizeof(IMMEDIATE_NOTIFY24_ENTRY) == 64);
static_assert(offsetof(IMMEDIATE_NOTIFY24_ENTRY, dExchangeAddress) == 20);
static_assert(sizeof(ABTS_ENTRY) == 64);
static_assert(offsetof(ABTS_ENTRY, dExchangeToAbort) == 16);

// CTIO handles that name no command entry: (handle AND mask) == mask.
constexpr uint32_t CTIO_HANDLE_READ_AHEAD = 0xFFFFFD00;    // read-ahead slot nn
constexpr uint32_t CTIO_HANDLE_NO_ENTRY = 0xFFFFFE00;      // a transfer without an entry
constexpr uint32_t CTIO_HANDLE_NOTHING = 0xFFFFFB00;       // nothing to finish

}  // namespace fw
