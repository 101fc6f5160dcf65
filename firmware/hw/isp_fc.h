// The Fibre Channel host-port chips as their driver and the board model both
// see them: PCI identity, the register file of each generation, mailbox
// commands and answers, interrupt kinds, asynchronous events, the 64-byte
// ring entries and the RISC firmware image format.
//
// Chips 1 and 2 are the host ports (target mode), 3 and 4 the drive loops.
// The ISP24xx generation has a 32-bit register file with its mailboxes at
// 0x80; the older ISP2x00 generation a 16-bit one with its mailboxes at 0x40.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "hw/fc_target_iocb.h"

namespace fw {

// --- PCI identity and windows ------------------------------------------------

constexpr uint16_t ISP_PCI_VENDOR = 0x1077;
constexpr uint32_t ISP_ID_2322 = 0x23221077;
constexpr uint32_t ISP_ID_2312 = 0x23121077;
constexpr uint32_t ISP_ID_2422 = 0x24221077;
constexpr uint32_t ISP_ID_6422 = 0x64221077;
constexpr uint32_t ISP_ID_2432 = 0x24321077;
constexpr uint32_t ISP_ID_6432 = 0x64321077;

// PCI configuration registers the start-up writes.
constexpr uint16_t ISP_CFG_ID = 0x00;
constexpr uint16_t ISP_CFG_COMMAND = 0x04;
constexpr uint16_t ISP_CFG_REVISION = 0x08;
constexpr uint16_t ISP_CFG_CACHE_LINE = 0x0C;
constexpr uint16_t ISP_CFG_BAR0 = 0x10;
constexpr uint16_t ISP_CFG_BOARD_CONTROL = 0x4C;
constexpr uint16_t ISP_CFG_PCIE_DEVCTL = 0x54;
constexpr uint16_t ISP_CFG_PCIE_0x68 = 0x68;
constexpr uint16_t ISP_CFG_PCIE_0x6C = 0x6C;
constexpr uint16_t ISP_CFG_PCIE_0x70 = 0x70;

// BAR 0 of chip n holds its I/O base: chips 1 and 3 at 0, chips 2 and 4 at
// 0x1000 of their access unit's outbound window (hw/pci_ids.h).
constexpr uint32_t ISP_REGISTER_SPAN = 0x1000;

// --- ISP24xx register file (32-bit unless stated) -----------------------------

constexpr uint32_t ISP24_REG_FLASH_ADDRESS = 0x00;
constexpr uint32_t ISP24_REG_CTRL_STATUS = 0x08;     // bit 0 soft reset, bit 16 DMA shut-down, bit 17 DMA active
constexpr uint32_t ISP24_REG_INT_CONTROL = 0x0C;     // bit 3 enables the RISC interrupt
constexpr uint32_t ISP24_REG_INT_STATUS = 0x10;      // read as 16 bits; bit 3 RISC interrupt
constexpr uint32_t ISP24_REG_REQ_IN = 0x1C;
constexpr uint32_t ISP24_REG_REQ_OUT = 0x20;
constexpr uint32_t ISP24_REG_RSP_IN = 0x24;
constexpr uint32_t ISP24_REG_RSP_OUT = 0x28;
constexpr uint32_t ISP24_REG_ATIO_IN = 0x3C;
constexpr uint32_t ISP24_REG_ATIO_OUT = 0x40;
constexpr uint32_t ISP24_REG_HOST_STATUS = 0x44;     // bit 15 RISC interrupt, bit 8 paused, 0-7 kind, 16-31 mailbox 0
constexpr uint32_t ISP24_REG_HCCR = 0x48;
constexpr uint32_t ISP24_REG_GPIO_DATA = 0x4C;
constexpr uint32_t ISP24_REG_MAILBOX0 = 0x80;        // mailbox n at 0x80 + 2n, 16-bit
constexpr uint32_t ISP24_REG_OPTION = 0xCC;

constexpr uint32_t ISP24_CTRL_SOFT_RESET = 0x00000001;
constexpr uint32_t ISP24_CTRL_DMA_SHUTDOWN = 0x00010000;
constexpr uint32_t ISP24_CTRL_DMA_ACTIVE = 0x00020000;
constexpr uint32_t ISP24_INT_CONTROL_RISC = 0x00000008;
constexpr uint16_t ISP_INT_STATUS_RISC = 0x0008;
constexpr uint32_t ISP24_HOST_STATUS_INTERRUPT = 0x00008000;
constexpr uint32_t ISP24_HOST_STATUS_PAUSED = 0x00000100;
constexpr uint32_t ISP24_HCCR_HOST_INT_PENDING = 0x00000040;

// HCCR commands as the ISP24xx takes them.
constexpr uint32_t ISP24_HCCR_SET_HOST_INT = 0x50000000;
constexpr uint32_t ISP24_HCCR_PAUSE_RISC = 0x30000000;
constexpr uint32_t ISP24_HCCR_RELEASE_RISC = 0x40000000;
constexpr uint32_t ISP24_HCCR_CLEAR_HOST_INT = 0x60000000;
constexpr uint32_t ISP24_HCCR_CLEAR_RISC_INT = 0xA0000000;

// GPIO data word of a running chip: bit 22 lets bit 6 be written.
constexpr uint32_t ISP24_GPIO_LED_ON = 0x00400000;
constexpr uint32_t ISP24_GPIO_LED_OFF = 0x00400040;

// --- ISP2x00 register file (16-bit unless stated) -----------------------------

constexpr uint32_t ISP2X_REG_CTRL_STATUS = 0x06;
constexpr uint32_t ISP2X_REG_INT_CONTROL = 0x08;
constexpr uint32_t ISP2X_REG_INT_STATUS = 0x0A;
constexpr uint32_t ISP2X_REG_SEMAPHORE = 0x0C;
constexpr uint32_t ISP2X_REG_REQ_IN = 0x10;
constexpr uint32_t ISP2X_REG_REQ_OUT = 0x12;
constexpr uint32_t ISP2X_REG_RSP_IN = 0x14;
constexpr uint32_t ISP2X_REG_RSP_OUT = 0x16;
constexpr uint32_t ISP2X_REG_HOST_STATUS = 0x18;     // 32-bit: bit 8 paused, 0-7 kind, 16-31 mailbox 0
constexpr uint32_t ISP2X_REG_MAILBOX0 = 0x40;        // mailbox n at 0x40 + 2n
constexpr uint32_t ISP2X_REG_HCCR = 0xC0;            // bit 5: RISC paused
constexpr uint16_t ISP2X_HCCR_PAUSED = 0x0020;
constexpr uint16_t ISP2X_INT_CONTROL_ENABLE = 0x8008;

// HCCR commands by their ISP2x00 code (the driver names every command so).
constexpr uint16_t ISP_HC_SET_HOST_INT = 0x5000;
constexpr uint16_t ISP_HC_PAUSE_RISC = 0x2000;
constexpr uint16_t ISP_HC_RELEASE_RISC = 0x3000;
constexpr uint16_t ISP_HC_CLEAR_HOST_INT = 0x6000;
constexpr uint16_t ISP_HC_CLEAR_RISC_INT = 0x7000;
constexpr uint16_t ISP_HC_2X00_TARGET_START = 0xA007;

// --- mailbox commands and answers ---------------------------------------------

constexpr uint8_t ISP_MAILBOXES = 32;
constexpr uint16_t MBC_LOAD_RAM = 0x01;
constexpr uint16_t MBC_EXECUTE_FIRMWARE = 0x02;
constexpr uint16_t MBC_DUMP_RAM = 0x03;
constexpr uint16_t MBC_WRITE_RAM_WORD = 0x04;
constexpr uint16_t MBC_READ_RAM_WORD = 0x05;
constexpr uint16_t MBC_MAILBOX_TEST = 0x06;
constexpr uint16_t MBC_VERIFY_CHECKSUM = 0x07;
constexpr uint16_t MBC_FIRMWARE_VERSION = 0x08;
constexpr uint16_t MBC_LOAD_RAM_EXTENDED = 0x0B;
constexpr uint16_t MBC_DUMP_RAM_EXTENDED = 0x0C;
constexpr uint16_t MBC_WRITE_RAM_WORD_EXTENDED = 0x0D;
constexpr uint16_t MBC_EXECUTE_IOCB = 0x12;
constexpr uint16_t MBC_GET_LOOP_ID = 0x20;
constexpr uint16_t MBC_READ_SFP = 0x31;
constexpr uint16_t MBC_RESOURCE_COUNTS = 0x42;
constexpr uint16_t MBC_HOST_MEMORY_COPY = 0x53;
constexpr uint16_t MBC_INITIALIZE_FIRMWARE = 0x60;
constexpr uint16_t MBC_LOOP_RESET_2X00 = 0x62;
constexpr uint16_t MBC_LOOP_POSITION_MAP = 0x63;
constexpr uint16_t MBC_PORT_DATABASE = 0x64;
constexpr uint16_t MBC_TARGET_RESET = 0x66;
constexpr uint16_t MBC_CLEAR_TASK_SET = 0x67;
constexpr uint16_t MBC_FIRMWARE_STATE = 0x69;
constexpr uint16_t MBC_PORT_NAME = 0x6A;
constexpr uint16_t MBC_LINK_STATUS = 0x6B;
constexpr uint16_t MBC_REGISTER_FC4_TYPES = 0x6E;
constexpr uint16_t MBC_LOOP_RESET_24XX = 0x72;

constexpr uint16_t MBS_COMPLETE = 0x4000;
constexpr uint16_t MBS_INVALID_COMMAND = 0x4001;
constexpr uint16_t MBS_PARAMETER_ERROR = 0x4005;
constexpr uint16_t MBS_COMMAND_ERROR = 0x4006;

// Firmware states (mailbox 1 of MBC_FIRMWARE_STATE).
constexpr uint16_t ISP_FW_STATE_CONFIG_WAIT = 0;
constexpr uint16_t ISP_FW_STATE_WAIT_AL_PA = 1;
constexpr uint16_t ISP_FW_STATE_WAIT_LOGIN = 2;
constexpr uint16_t ISP_FW_STATE_READY = 3;
constexpr uint16_t ISP_FW_STATE_LOSS_OF_SYNC = 4;
constexpr uint16_t ISP_FW_STATE_ERROR = 5;

// Topologies (mailbox 6 of MBC_GET_LOOP_ID).
constexpr uint16_t ISP_TOPOLOGY_LOOP = 0;
constexpr uint16_t ISP_TOPOLOGY_FABRIC_LOOP = 1;
constexpr uint16_t ISP_TOPOLOGY_POINT_TO_POINT = 2;
constexpr uint16_t ISP_TOPOLOGY_FABRIC = 3;

// Port-name option of MBC_PORT_NAME (mailbox 10): 1 the port name, 0 the node name.
constexpr uint16_t ISP_PORT_NAME_OPTION = 1;

// Fixed fabric addresses: ISP24xx N_Port handles, ISP2x00 loop IDs.
constexpr uint16_t ISP24_HANDLE_F_PORT = 2046;
constexpr uint16_t ISP24_HANDLE_FABRIC_CONTROLLER = 2045;
constexpr uint16_t ISP24_HANDLE_NAME_SERVER = 2044;
constexpr uint16_t ISP2X_LOOP_ID_F_PORT = 126;
constexpr uint16_t ISP2X_LOOP_ID_FABRIC_CONTROLLER = 127;
constexpr uint16_t ISP2X_LOOP_ID_NAME_SERVER = 128;

// --- interrupt kinds (host status bits 0-7) -----------------------------------

constexpr uint8_t ISP_INT_MAILBOX_1 = 0x01;
constexpr uint8_t ISP_INT_MAILBOX_2 = 0x02;
constexpr uint8_t ISP_INT_MAILBOX_10 = 0x10;
constexpr uint8_t ISP_INT_MAILBOX_11 = 0x11;
constexpr uint8_t ISP_INT_ASYNC_EVENT = 0x12;
constexpr uint8_t ISP_INT_RESPONSE_UPDATE = 0x13;
constexpr uint8_t ISP_INT_2X00_FAST_POST_16 = 0x16;
constexpr uint8_t ISP_INT_2X00_FAST_POST_17 = 0x17;
constexpr uint8_t ISP_INT_ATIO_UPDATE = 0x1C;
constexpr uint8_t ISP_INT_ATIO_RESPONSE_UPDATE = 0x1D;

// --- asynchronous events (mailbox 0 of kind 0x12) ----------------------------

constexpr uint16_t ISP_AEN_SYSTEM_ERROR = 0x8002;
constexpr uint16_t ISP_AEN_ATIO_QUEUE_FULL = 0x8005;
constexpr uint16_t ISP_AEN_LIP = 0x8010;
constexpr uint16_t ISP_AEN_LOOP_UP = 0x8011;
constexpr uint16_t ISP_AEN_LOOP_DOWN = 0x8012;
constexpr uint16_t ISP_AEN_LIP_RESET = 0x8013;
constexpr uint16_t ISP_AEN_PORT_DATABASE_CHANGED = 0x8014;
constexpr uint16_t ISP_AEN_RSCN = 0x8015;
constexpr uint16_t ISP_AEN_CTIO_FAST_POST = 0x8021;
constexpr uint16_t ISP_AEN_FAST_POST_RESPONSE = 0x8040;
constexpr uint16_t ISP_AEN_2X00_FAST_POST = 0x8020;

// Link speed codes of LOOP UP (mailbox 1).
constexpr uint16_t ISP_SPEED_1G = 0;
constexpr uint16_t ISP_SPEED_2G = 1;
constexpr uint16_t ISP_SPEED_4G = 3;

// The FC-AL assignment of the 126 NL_Port AL_PAs to loop IDs 0..125.
constexpr uint8_t FC_AL_LOOP_IDS = 126;
constexpr std::array<uint8_t, FC_AL_LOOP_IDS> FC_AL_LOOP_ID_TO_ALPA = {
    0xEF, 0xE8, 0xE4, 0xE2, 0xE1, 0xE0, 0xDC, 0xDA, 0xD9, 0xD6, 0xD5, 0xD4, 0xD3, 0xD2, 0xD1, 0xCE,
    0xCD, 0xCC, 0xCB, 0xCA, 0xC9, 0xC7, 0xC6, 0xC5, 0xC3, 0xBC, 0xBA, 0xB9, 0xB6, 0xB5, 0xB4, 0xB3,
    0xB2, 0xB1, 0xAE, 0xAD, 0xAC, 0xAB, 0xAA, 0xA9, 0xA7, 0xA6, 0xA5, 0xA3, 0x9F, 0x9E, 0x9D, 0x9B,
    0x98, 0x97, 0x90, 0x8F, 0x88, 0x84, 0x82, 0x81, 0x80, 0x7C, 0x7A, 0x79, 0x76, 0x75, 0x74, 0x73,
    0x72, 0x71, 0x6E, 0x6D, 0x6C, 0x6B, 0x6A, 0x69, 0x67, 0x66, 0x65, 0x63, 0x5C, 0x5A, 0x59, 0x56,
    0x55, 0x54, 0x53, 0x52, 0x51, 0x4E, 0x4D, 0x4C, 0x4B, 0x4A, 0x49, 0x47, 0x46, 0x45, 0x43, 0x3C,
    0x3A, 0x39, 0x36, 0x35, 0x34, 0x33, 0x32, 0x31, 0x2E, 0x2D, 0x2C, 0x2B, 0x2A, 0x29, 0x27, 0x26,
    0x25, 0x23, 0x1F, 0x1E, 0x1D, 0x1B, 0x18, 0x17, 0x10, 0x0F, 0x08, 0x04, 0x02, 0x01,
};

// --- rings ------------------------------------------------------------------

constexpr uint32_t ISP_ENTRY_BYTES = 64;
constexpr uint16_t ISP_RING_ENTRIES = 128;
constexpr uint32_t ISP_RING_BYTES = ISP_ENTRY_BYTES * ISP_RING_ENTRIES;

// Entry types (the command and CTIO entries are in hw/fc_target_iocb.h).
constexpr uint8_t ISP_ENTRY_STATUS = 0x03;
constexpr uint8_t ISP_ENTRY_MARKER = 0x04;
constexpr uint8_t ISP_ENTRY_ENABLE_LUN = 0x0B;
constexpr uint8_t ISP_ENTRY_MODIFY_LUN = 0x0C;
constexpr uint8_t ISP_ENTRY_COMMAND_2X00 = 0x11;
constexpr uint8_t ISP_ENTRY_CT_PASSTHROUGH = 0x29;
constexpr uint8_t ISP_ENTRY_ABORT_IO = 0x33;
constexpr uint8_t ISP_ENTRY_PUREX = 0x51;
constexpr uint8_t ISP_ENTRY_LOGOUT = 0x52;

constexpr uint8_t ISP_IOCB_TAG_BUILDER = 0x69;   // 'i': a builder's tag until the engine sets its own
constexpr uint8_t ISP_IOCB_TAG_MARKER = 0x99;

#pragma pack(push, 1)

// CTIO type 7, both forms share the first 0x28 bytes.
struct ISP24_CTIO7 {
    uint8_t bEntryType;         // 0x12
    uint8_t bEntryCount;
    uint8_t bSystemDefined;     // the IOCB tag echoed in the completion
    uint8_t bEntryStatus;
    uint32_t dHandle;
    uint16_t wNportHandle;
    uint16_t wTimeout;
    uint16_t wSegmentCount;
    uint8_t abReserved14[2];
    uint16_t wPortIdLow;
    uint8_t bPortIdHigh;
    uint8_t bReserved19;
    uint32_t dExchangeAddress;
    uint16_t wSenseLength;      // status form; 0 in the data form
    uint16_t wFlags;
    uint32_t dResidual;
    uint16_t wOxId;
    uint16_t wScsiStatus;
    union {
        struct {
            uint32_t dRelativeOffset;
            uint32_t dReserved40;
            uint32_t dTransferLength;
            uint32_t dReserved48;
            uint32_t dSegmentAddressLow;
            uint32_t dSegmentAddressHigh;
            uint32_t dSegmentLength;
        } sData;
        struct {
            uint16_t wResponseLength;
            uint16_t wReserved38;
            uint8_t abSense[24];
        } sStatus;
    } u;
};
static_assert(sizeof(ISP24_CTIO7) == 64);
static_assert(offsetof(ISP24_CTIO7, wFlags) == 0x1A);
static_assert(offsetof(ISP24_CTIO7, wOxId) == 0x20);
static_assert(offsetof(ISP24_CTIO7, u) + offsetof(decltype(ISP24_CTIO7::u.sData), dTransferLength) == 0x2C);
static_assert(offsetof(ISP24_CTIO7, u) + offsetof(decltype(ISP24_CTIO7::u.sData), dSegmentLength) == 0x3C);
static_assert(offsetof(ISP24_CTIO7, u) + offsetof(decltype(ISP24_CTIO7::u.sStatus), abSense) == 0x28);

// Response and sense bytes a CTIO type 7 in status mode 1 carries (the
// flags and status word are in hw/fc_target_iocb.h).
constexpr uint32_t CTIO7_SENSE_BYTES = 24;

// CTIO type 7 completion on the response ring.
struct ISP24_CTIO7_COMPLETION {
    uint8_t bEntryType;         // 0x12
    uint8_t bEntryCount;
    uint8_t bSystemDefined;
    uint8_t bEntryStatus;
    uint32_t dHandle;
    uint16_t wStatus;           // CTIO_STATUS_*, low 7 bits
    uint16_t wTimeout;
    uint16_t wSegmentCount;
    uint8_t abReserved14[6];
    uint32_t dExchangeAddress;
    uint16_t wReserved24;
    uint16_t wFlags;
    uint32_t dResidual;
    uint16_t wOxId;
    uint8_t abReserved34[30];
};
static_assert(sizeof(ISP24_CTIO7_COMPLETION) == 64);
static_assert(offsetof(ISP24_CTIO7_COMPLETION, wFlags) == 26);
static_assert(offsetof(ISP24_CTIO7_COMPLETION, wOxId) == 32);

constexpr uint16_t CTIO_STATUS_ABORTED = 0x02;
constexpr uint16_t CTIO_STATUS_INVALID_EXCHANGE = 0x08;
constexpr uint16_t CTIO_STATUS_TIMEOUT = 0x0B;
constexpr uint16_t CTIO_STATUS_DMA_ERROR = 0x10;
constexpr uint16_t CTIO_STATUS_LIP_RESET = 0x0E;
constexpr uint16_t CTIO_STATUS_PORT_LOGGED_OUT = 0x29;

// Status entry on the response ring (a request the firmware refused).
struct ISP_STATUS_ENTRY {
    uint8_t bEntryType;         // 0x03
    uint8_t bEntryCount;
    uint8_t bSystemDefined;
    uint8_t bEntryStatus;
    uint32_t dHandle;
    uint8_t bCompletionKind;    // 0: the request was refused, reason below
    uint8_t bReserved9;
    uint16_t wReason;
    uint8_t abReserved12[52];
};
static_assert(sizeof(ISP_STATUS_ENTRY) == 64);
constexpr uint16_t ISP_STATUS_REASON_BAD_ENTRY = 0x0006;

// MARKER (both generations).
struct ISP_MARKER {
    uint8_t bEntryType;         // 0x04
    uint8_t bEntryCount;
    uint8_t bSystemDefined;     // 0x99
    uint8_t bEntryStatus;
    uint32_t dReserved4;
    uint16_t wTarget;
    uint8_t bModifier;
    uint8_t bReserved11;
    uint16_t wReserved12;
    uint16_t wLun;
    uint8_t abReserved16[48];
};
static_assert(sizeof(ISP_MARKER) == 64);
constexpr uint8_t MARKER_SYNC_ALL = 2;

// CT pass-through (ISP24xx) to the fabric name server.
struct ISP24_CT_PASSTHROUGH {
    uint8_t bEntryType;         // 0x29
    uint8_t bEntryCount;
    uint8_t bSystemDefined;
    uint8_t bEntryStatus;
    uint32_t dHandle;
    uint16_t wStatus;           // completion
    uint16_t wNportHandle;
    uint16_t wCommandSegments;
    uint16_t wReserved14;
    uint16_t wTimeout;
    uint16_t wReserved18;
    uint16_t wResponseSegments;
    uint8_t abReserved22[10];
    uint32_t dResponseByteCount;
    uint32_t dCommandByteCount;
    uint32_t dCommandAddressLow;
    uint32_t dCommandAddressHigh;
    uint32_t dCommandLength;
    uint32_t dResponseAddressLow;
    uint32_t dResponseAddressHigh;
    uint32_t dResponseLength;
};
static_assert(sizeof(ISP24_CT_PASSTHROUGH) == 64);
static_assert(offsetof(ISP24_CT_PASSTHROUGH, dResponseByteCount) == 0x20);
static_assert(offsetof(ISP24_CT_PASSTHROUGH, dResponseLength) == 0x3C);

// Logout (ISP24xx).
struct ISP24_LOGOUT {
    uint8_t bEntryType;         // 0x52
    uint8_t bEntryCount;
    uint8_t abReserved2[8];
    uint16_t wNportHandle;
    uint16_t wControlFlags;     // 0x18 implicit, 0x48 explicit
    uint16_t wReserved14;
    uint8_t abPortId[3];        // low byte first
    uint8_t abReserved19[45];
};
static_assert(sizeof(ISP24_LOGOUT) == 64);
constexpr uint16_t LOGOUT_IMPLICIT = 0x18;
constexpr uint16_t LOGOUT_EXPLICIT = 0x48;

// ISP24xx initialisation control block (the first 0x68 bytes of its page).
struct ISP24_ICB {
    uint16_t wVersion;
    uint16_t wReserved2;
    uint16_t wFrameSize;
    uint16_t wExecutionThrottle;
    uint16_t wExchangeCount;
    uint16_t wHardAddress;
    uint8_t abPortName[8];
    uint8_t abNodeName[8];
    uint16_t wResponseIn;
    uint16_t wRequestOut;
    uint16_t wLoginRetryCount;
    uint16_t wReserved34;
    uint16_t wResponseLength;
    uint16_t wRequestLength;
    uint16_t wLinkDownOnNos;
    uint16_t wReserved42;
    uint32_t dRequestAddressLow;
    uint32_t dRequestAddressHigh;
    uint32_t dResponseAddressLow;
    uint32_t dResponseAddressHigh;
    uint8_t abReserved60[16];
    uint16_t wAtioIn;
    uint16_t wAtioLength;
    uint32_t dAtioAddressLow;
    uint32_t dAtioAddressHigh;
    uint8_t abReserved88[4];
    uint32_t dFirmwareOptions1;
    uint32_t dFirmwareOptions2;
    uint32_t dFirmwareOptions3;
};
static_assert(offsetof(ISP24_ICB, abPortName) == 0x0C);
static_assert(offsetof(ISP24_ICB, wResponseLength) == 0x24);
static_assert(offsetof(ISP24_ICB, wLinkDownOnNos) == 0x28);
static_assert(offsetof(ISP24_ICB, dRequestAddressLow) == 0x2C);
static_assert(offsetof(ISP24_ICB, dResponseAddressLow) == 0x34);
static_assert(offsetof(ISP24_ICB, wAtioIn) == 0x4C);
static_assert(offsetof(ISP24_ICB, dAtioAddressLow) == 0x50);
static_assert(offsetof(ISP24_ICB, dFirmwareOptions1) == 0x5C);
static_assert(offsetof(ISP24_ICB, dFirmwareOptions3) == 0x64);

// ISP24xx port database (128 bytes, by N_Port handle).
struct ISP24_PORT_DATABASE {
    uint16_t wFlags;            // bit 1: hard address valid
    uint8_t bCurrentState;
    uint8_t bLastState;
    uint8_t abReserved4[2];
    uint8_t bHardAddress;
    uint8_t bReserved7;
    uint8_t abPortId[3];        // low byte first
    uint8_t bReserved11;
    uint16_t wNportHandle;
    uint8_t abReserved14[8];
    uint8_t bPrliOptions;       // low byte of PRLI service parameter word 3
    uint8_t bReserved23;
    uint8_t abPortName[8];
    uint8_t abNodeName[8];
    uint8_t abReserved40[88];
};
static_assert(sizeof(ISP24_PORT_DATABASE) == 128);
static_assert(offsetof(ISP24_PORT_DATABASE, bPrliOptions) == 22);
static_assert(offsetof(ISP24_PORT_DATABASE, abPortName) == 24);
static_assert(offsetof(ISP24_PORT_DATABASE, abNodeName) == 32);
constexpr uint16_t PORT_DATABASE_HARD_ADDRESS_VALID = 0x0002;
constexpr uint8_t PRLI_INITIATOR_FUNCTION = 0x20;
constexpr uint8_t PRLI_TARGET_FUNCTION = 0x10;

// Link status counters (MBC_LINK_STATUS), six words.
struct ISP_LINK_STATUS {
    uint32_t dLinkFailures;
    uint32_t dLossOfSync;
    uint32_t dLossOfSignal;
    uint32_t dPrimitiveSequenceErrors;
    uint32_t dInvalidTransmissionWords;
    uint32_t dInvalidCrcs;
};
static_assert(sizeof(ISP_LINK_STATUS) == 24);

#pragma pack(pop)

// --- RISC firmware image ---------------------------------------------------------
//
// Segments lie back to back, each: the RISC load address (u32), the words,
// then the word count (u32).  The firmware's version sits in the first
// words of segment 1; the words of all segments sum to 0 (32-bit), which is
// what the checksum command verifies.

constexpr uint32_t RISC_SEGMENT1_ADDRESS = 0x00100000;
constexpr uint32_t RISC_SEGMENT2_ADDRESS = 0x0010E000;
constexpr uint32_t RISC_EXTENDED_ADDRESS = 0x00010000;   // loads at or above use the extended command
constexpr uint32_t RISC_VERSION_WORD = 4;                // word index of major, minor, subminor, attributes
constexpr uint32_t RISC_SIGNATURE = 0x51524953;          // word 0 of segment 1

}  // namespace fw
