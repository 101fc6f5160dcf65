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

}  // namespace fw
