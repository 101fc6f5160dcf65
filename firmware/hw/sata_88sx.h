// The 8-port SATA host adapters (88SX5080) of boards whose drives sit on
// direct SATA ports: where their registers are, and what the bits mean.
// One home for the driver and the chip model.
#pragma once

#include <cstdint>

#include "hw/interrupt_controller.h"

namespace fw {

constexpr uint32_t SATA_CHIP_PCI_ID = 0x508011AB;   // device << 16 | vendor
// A test board fits them and says so with this strap of the FPGA board
// register; their interrupt lines.
constexpr uint16_t FPGA_BOARD_SATA_CHIPS = 1u << 5;
constexpr INT_LINE INT_LINE_SATA_CHIP1 = {3, 20};
constexpr INT_LINE INT_LINE_SATA_CHIP2 = {3, 21};
constexpr uint8_t SATA_CHIP_COUNT = 2;
constexpr uint8_t SATA_PORTS_PER_CHIP = 8;
constexpr uint8_t SATA_PORTS = SATA_CHIP_COUNT * SATA_PORTS_PER_CHIP;
constexpr uint8_t SATA_PORTS_PER_HC = 4;
// PCI device selectors of the two chips (bus << 5 | device: devices 1 and
// 2 of bus 1) and their BARs; the registers show at the BAR above the PCI
// memory window.
constexpr uint8_t SATA_CHIP_DEVICE[SATA_CHIP_COUNT] = {0x21, 0x22};
constexpr uint32_t SATA_CHIP_BAR[SATA_CHIP_COUNT] = {0x80000, 0x100000};
constexpr uint32_t SATA_PCI_MEMORY_WINDOW = 0x80000000;
constexpr uint32_t SATA_CHIP_WINDOW_SIZE = 0x80000;

// Chip-level registers.
constexpr uint32_t SATA_MAIN_CAUSE = 0x1D60;
constexpr uint32_t SATA_MAIN_MASK = 0x1D64;
constexpr uint32_t SATA_HC_BASE = 0x20000;
constexpr uint32_t SATA_HC_STRIDE = 0x10000;
// Main cause: per port p of host controller h, error at bit 9h + 2p and
// done at bit 9h + 2p + 1.
constexpr uint32_t SATA_MAIN_HC_BITS = 0x1FF;
constexpr uint8_t SATA_MAIN_HC_SHIFT = 9;

// Host controller registers (from its base).
constexpr uint32_t SATA_HC_RESPONSE_IN = 0x08;       // 5 bits per port, port p at 8p
constexpr uint32_t SATA_HC_COALESCE_COUNT = 0x0C;
constexpr uint32_t SATA_HC_COALESCE_TIME = 0x10;
constexpr uint32_t SATA_HC_CAUSE = 0x14;             // done bit p, device bit p + 8; write 0 to clear
constexpr uint32_t SATA_HC_CONFIG = 0x18;
constexpr uint32_t SATA_HC_SETTING = 0x20;

// A port's SATA interface registers: host controller + 0x100 (p + 1).
constexpr uint32_t SATA_IF_STRIDE = 0x100;
constexpr uint32_t SATA_SSTATUS = 0x00;
constexpr uint32_t SATA_SERROR = 0x04;               // write 1 to clear
constexpr uint32_t SATA_SCONTROL = 0x08;
constexpr uint32_t SATA_PHY_0C = 0x0C;
constexpr uint32_t SATA_PHY_30 = 0x30;
constexpr uint32_t SATA_PHY_3C = 0x3C;
constexpr uint32_t SATA_PHY_74 = 0x74;
constexpr uint32_t SATA_SSTATUS_DET_MASK = 0x0F;
constexpr uint32_t SATA_SSTATUS_DET_UP = 0x03;       // device there, PHY up
constexpr uint32_t SATA_SSTATUS_DET_SEEN = 0x01;     // device seen, PHY not up yet
constexpr uint32_t SATA_SERROR_ALL = 0x03FF0F03;

// A port's EDMA registers: host controller + 0x2000 (p + 1).
constexpr uint32_t SATA_EDMA_STRIDE = 0x2000;
constexpr uint32_t SATA_EDMA_CONFIG = 0x00;
constexpr uint32_t SATA_EDMA_TIMER = 0x04;
constexpr uint32_t SATA_EDMA_ERROR_CAUSE = 0x08;     // write 0 to clear
constexpr uint32_t SATA_EDMA_ERROR_MASK = 0x0C;
constexpr uint32_t SATA_EDMA_REQUEST_BASE_HIGH = 0x10;
constexpr uint32_t SATA_EDMA_REQUEST_IN = 0x14;      // queue address | index << 5
constexpr uint32_t SATA_EDMA_REQUEST_OUT = 0x18;
constexpr uint32_t SATA_EDMA_RESPONSE_BASE_HIGH = 0x1C;
constexpr uint32_t SATA_EDMA_RESPONSE_IN = 0x20;     // queue address | index << 3
constexpr uint32_t SATA_EDMA_RESPONSE_OUT = 0x24;
constexpr uint32_t SATA_EDMA_COMMAND = 0x28;
constexpr uint32_t SATA_EDMA_TEST = 0x2C;
constexpr uint32_t SATA_EDMA_STATUS = 0x30;
constexpr uint32_t SATA_EDMA_IORDY_TIMEOUT = 0x34;
constexpr uint32_t SATA_EDMA_50 = 0x50;
// The shadow taskfile.
constexpr uint32_t SATA_TF_DATA = 0x100;             // 16 bits
constexpr uint32_t SATA_TF_FEATURES = 0x104;         // error when read
constexpr uint32_t SATA_TF_COUNT = 0x108;
constexpr uint32_t SATA_TF_LBA_LOW = 0x10C;
constexpr uint32_t SATA_TF_LBA_MID = 0x110;
constexpr uint32_t SATA_TF_LBA_HIGH = 0x114;
constexpr uint32_t SATA_TF_DEVICE = 0x118;
constexpr uint32_t SATA_TF_COMMAND = 0x11C;          // status when read
constexpr uint32_t SATA_TF_CONTROL = 0x120;          // alternate status when read

constexpr uint32_t SATA_EDMA_CMD_ENABLE = 1;
constexpr uint32_t SATA_EDMA_CMD_DISABLE = 2;
constexpr uint32_t SATA_EDMA_CMD_RESET = 4;
constexpr uint32_t SATA_EDMA_CONFIG_QUEUED = 0x200;
// EDMA error cause bits.
constexpr uint32_t SATA_EDMA_ERR_DEVICE = 1u << 2;          // the device ended a command with ERR
constexpr uint32_t SATA_EDMA_ERR_DISCONNECT = 1u << 3;
constexpr uint32_t SATA_EDMA_ERR_CONNECT = 1u << 4;
constexpr uint32_t SATA_EDMA_ERR_WORK = 0x1F07;             // bits 0-2, 8-12: the monitor looks

// Taskfile status and control bits.
constexpr uint8_t SATA_STATUS_BSY = 0x80;
constexpr uint8_t SATA_STATUS_DRQ = 0x08;
constexpr uint8_t SATA_STATUS_DSC = 0x10;
constexpr uint8_t SATA_STATUS_ERR = 0x01;
constexpr uint8_t SATA_CONTROL_NIEN = 0x02;
constexpr uint8_t SATA_CONTROL_HOB = 0x80;

// Queues: 32 request blocks of 32 bytes, 32 response blocks of 8 bytes, and
// per tag a PRD table of 33 entries of 16 bytes.
constexpr uint8_t SATA_QUEUE_SLOTS = 32;
constexpr uint32_t SATA_REQUEST_BYTES = 32;
constexpr uint32_t SATA_RESPONSE_BYTES = 8;
constexpr uint8_t SATA_PRD_ENTRIES = 33;
constexpr uint32_t SATA_PRD_BYTES = 16;
constexpr uint32_t SATA_PRD_TABLE_BYTES = SATA_PRD_ENTRIES * SATA_PRD_BYTES;
constexpr uint16_t SATA_PRD_LAST = 0x8000;
constexpr uint32_t SATA_PRD_MAX_BYTES = 0x10000;            // a byte count of 0 means this
constexpr uint16_t SATA_REQUEST_READ = 0x0001;              // control word: device to host
constexpr uint16_t SATA_REQUEST_LAST_REGISTER = 0x8000;
// Register codes of the request block's register words.
constexpr uint8_t SATA_REG_FEATURES = 0x11;
constexpr uint8_t SATA_REG_COUNT = 0x12;
constexpr uint8_t SATA_REG_LBA_LOW = 0x13;
constexpr uint8_t SATA_REG_LBA_MID = 0x14;
constexpr uint8_t SATA_REG_LBA_HIGH = 0x15;
constexpr uint8_t SATA_REG_DEVICE = 0x16;
constexpr uint8_t SATA_REG_COMMAND = 0x17;

// The ATA commands the driver issues on these ports.
constexpr uint8_t SATA_ATA_READ_SECTORS = 0x20;
constexpr uint8_t SATA_ATA_READ_LONG = 0x22;
constexpr uint8_t SATA_ATA_READ_SECTORS_EXT = 0x24;
constexpr uint8_t SATA_ATA_READ_DMA_EXT = 0x25;
constexpr uint8_t SATA_ATA_READ_DMA_QUEUED_EXT = 0x26;
constexpr uint8_t SATA_ATA_WRITE_SECTORS = 0x30;
constexpr uint8_t SATA_ATA_WRITE_LONG = 0x32;
constexpr uint8_t SATA_ATA_WRITE_SECTORS_EXT = 0x34;
constexpr uint8_t SATA_ATA_WRITE_DMA_EXT = 0x35;
constexpr uint8_t SATA_ATA_WRITE_DMA_QUEUED_EXT = 0x36;
constexpr uint8_t SATA_ATA_READ_DMA_QUEUED = 0xC7;
constexpr uint8_t SATA_ATA_READ_DMA = 0xC8;
constexpr uint8_t SATA_ATA_WRITE_DMA = 0xCA;
constexpr uint8_t SATA_ATA_WRITE_DMA_QUEUED = 0xCC;
constexpr uint8_t SATA_ATA_FLUSH_CACHE = 0xE7;
constexpr uint8_t SATA_ATA_IDENTIFY = 0xEC;
constexpr uint8_t SATA_ATA_SET_FEATURES = 0xEF;
constexpr uint32_t SATA_LONG_BYTES = 520;

}  // namespace fw
