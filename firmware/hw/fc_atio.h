// The command entry an ISP24xx host-port chip puts on its ATIO ring for each
// FCP command it receives (ATIO type 7): the exchange the chip opened for
// it, the frame header and the FCP_CMND payload.  The header and payload
// keep the byte order of the wire (big-endian); the chip's own words are
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

}  // namespace fw
