// What the parallel SCSI host-port IOC adds to the message interface: its
// configuration pages (the SCSI port and the SCSI devices on its bus) and
// the command buffer post of its target mode.
#pragma once

#include <cstdint>

#include "hw/mpi.h"

namespace fw {

constexpr uint8_t MPI_CONFIG_PAGETYPE_SCSI_PORT = 0x03;
constexpr uint8_t MPI_CONFIG_PAGETYPE_SCSI_DEVICE = 0x04;
// The page attribute nibble of a page the IOC also keeps in its NVRAM.
constexpr uint8_t MPI_CONFIG_PAGEATTR_PERSISTENT = 0x20;
constexpr uint8_t MPI_CONFIG_PAGEATTR_MASK = 0xF0;

constexpr uint8_t MPI_FUNCTION_TARGET_CMD_BUFFER_POST = 0x0A;
constexpr uint8_t MPI_TARGET_CMD_BUFFER_POST_MAX = 8;
constexpr uint16_t SCSI_HOST_IDS = 16;

#pragma pack(push, 1)
struct MPI_SCSI_PORT_PAGE_1 {
    MPI_CONFIG_PAGE_HEADER sHeader;
    uint32_t dConfiguration;       // 4: own id, and the id bit it answers to from bit 16
    uint32_t dOnBusTimerValue;     // 8
    uint8_t bTargetConfig;         // 12: 1 target only
    uint8_t bReserved13;
    uint16_t wIdConfig;            // 14
};
static_assert(sizeof(MPI_SCSI_PORT_PAGE_1) == 16);

struct MPI_SCSI_DEVICE_PAGE_0 {
    MPI_CONFIG_PAGE_HEADER sHeader;
    uint32_t dNegotiatedParameters;  // 4: period byte in bits 15-8, wide bit 29
    uint32_t dInformation;           // 8
};
static_assert(sizeof(MPI_SCSI_DEVICE_PAGE_0) == 12);

struct MPI_SCSI_DEVICE_PAGE_1 {
    MPI_CONFIG_PAGE_HEADER sHeader;
    uint32_t dRequestedParameters;   // 4
    uint32_t dReserved8;
    uint32_t dConfiguration;         // 12
};
static_assert(sizeof(MPI_SCSI_DEVICE_PAGE_1) == 16);

struct MPI_TARGET_CMD_BUFFER_DESCRIPTOR {
    uint32_t dIoIndex;
    uint32_t dAddress;
};

struct MPI_TARGET_CMD_BUFFER_POST_REQUEST {
    uint8_t bBufferPostFlags;      // 0
    uint8_t bBufferCount;          // 1
    uint8_t bChainOffset;
    uint8_t bFunction;             // 3
    uint8_t bBufferLength;         // 4
    uint8_t bReserved5;
    uint8_t bReserved6;
    uint8_t bMsgFlags;
    uint32_t dMsgContext;          // 8
    MPI_TARGET_CMD_BUFFER_DESCRIPTOR asBuffer[MPI_TARGET_CMD_BUFFER_POST_MAX];  // 12
};
static_assert(sizeof(MPI_TARGET_CMD_BUFFER_POST_REQUEST) == 76);
#pragma pack(pop)

// SCSI device page 1's requested parameters: what the port offers a host,
// before the packetized bits and the period byte are set from its settings.
constexpr uint32_t SCSI_REQUESTED_PARAMETERS = 0xA07F0807;
constexpr uint32_t SCSI_PARAMETERS_PACKETIZED = 0x05;
constexpr uint32_t SCSI_PARAMETERS_PERIOD_MASK = 0x0000FF00;
constexpr uint32_t SCSI_PARAMETERS_WIDE = 0x20000000;

// A command buffer as the parallel SCSI IOC fills it.
constexpr uint32_t SPI_CMD_TAG = 2;              // 16 bits
constexpr uint32_t SPI_CMD_LUN = 4;              // 8 bytes
constexpr uint32_t SPI_CMD_TASK_ATTRIBUTE = 17;
constexpr uint32_t SPI_CMD_TASK_FLAGS = 18;
constexpr uint32_t SPI_CMD_CDB = 20;
constexpr uint8_t SPI_TASK_ABORT_TASK = 0x01;
constexpr uint8_t SPI_TASK_ABORT_TASK_SET = 0x02;
constexpr uint8_t SPI_TASK_CLEAR_TASK_SET = 0x04;
constexpr uint8_t SPI_TASK_LOGICAL_UNIT_RESET = 0x08;
constexpr uint8_t SPI_TASK_TARGET_RESET = 0x20;

// A target reply word: the IoIndex in bits 13-0, the initiator's id from
// bit 14, bit 29 set on an address reply that carries a status.
constexpr uint32_t MPI_TARGET_REPLY_INITIATOR_SHIFT = 14;
constexpr uint32_t MPI_TARGET_REPLY_INITIATOR_MASK = 0x0F;
constexpr uint32_t MPI_TARGET_REPLY_WITH_STATUS = 0x20000000;

// IOC status of a target request or a command buffer.
constexpr uint16_t MPI_IOCSTATUS_TARGET_PRIORITY_IO = 0x0060;
constexpr uint16_t MPI_IOCSTATUS_TARGET_ABORTED = 0x0063;
constexpr uint16_t MPI_IOCSTATUS_TARGET_NO_CONNECTION = 0x0065;
constexpr uint16_t MPI_IOCSTATUS_TARGET_XFER_COUNT_MISMATCH = 0x006A;
constexpr uint16_t MPI_IOCSTATUS_TARGET_STS_DATA_NOT_SENT = 0x006B;
// Why a command came as priority I/O (byte 12 of the buffer post reply,
// and of a TARGET ASSIST error reply).
constexpr uint8_t SPI_PRIORITY_NO_DISCONNECT = 0;
constexpr uint8_t SPI_PRIORITY_TASK_MANAGEMENT = 1;
constexpr uint8_t SPI_PRIORITY_PROTOCOL_ERROR = 6;
constexpr uint8_t SPI_PRIORITY_DATA_OUT_CRC = 8;
constexpr uint32_t MPI_TARGET_PRIORITY_REASON = 12;
// Where an error reply to a target request or buffer post carries the
// reply word of the command it concerns.
constexpr uint32_t MPI_TARGET_ERROR_REPLY_WORD = 20;

// Events of the parallel SCSI IOC.
constexpr uint32_t MPI_EVENT_IOC_BUS_RESET = 0x04;
constexpr uint32_t MPI_EVENT_ON_BUS_TIMER_EXPIRED = 0x0D;

// The status information unit a TARGET STATUS SEND points at.
constexpr uint32_t SPI_STATUS_VALID = 2;
constexpr uint32_t SPI_STATUS_STATUS = 3;
constexpr uint32_t SPI_STATUS_SENSE_LENGTH = 4;    // big-endian
constexpr uint32_t SPI_STATUS_PKT_FAILURES = 8;    // big-endian
constexpr uint32_t SPI_STATUS_SENSE = 12;

}  // namespace fw
