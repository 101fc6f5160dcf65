// The drive-side IOC: its adapter context, bring-up at start of day and
// after a restart, and the target command buffers the partner's commands
// arrive in.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"
#include "sas/mpi_interface.h"
#include "sas/sas_drive.h"

namespace fw {

constexpr uint32_t LSI_DRIVE_REGISTER_BASE = MPI_DRIVE_IOC_REGISTER_BASE;
constexpr uint8_t LSI_DRIVE_PCI_BUS = MPI_DRIVE_IOC_PCI_BUS;
constexpr uint8_t LSI_DRIVE_PCI_DEVICE = MPI_DRIVE_IOC_PCI_DEVICE;
constexpr uint8_t LSI_DRIVE_PCI_FUNCTION = MPI_DRIVE_IOC_PCI_FUNCTION;
constexpr uint32_t LSI_DRIVE_PCI_ID = static_cast<uint32_t>(MPI_DRIVE_IOC_DEVICE_ID) << 16 | MPI_DRIVE_IOC_VENDOR_ID;

constexpr uint16_t LSI_MAX_REQUEST_FRAMES = 768;
constexpr uint16_t LSI_RESERVED_REQUEST_FRAMES = 32;
constexpr uint16_t LSI_REQUEST_FRAME_BYTES = 128;
constexpr uint16_t LSI_REPLY_FRAME_BYTES = 64;
constexpr uint16_t LSI_REPLY_FRAMES = 128;
constexpr uint16_t LSI_CHAIN_BUFFER_BYTES = 288;
constexpr uint16_t LSI_SENSE_BUFFER_BYTES = 64;
constexpr uint16_t LSI_MAX_TARGET_CMD_BUFFERS = 128;
constexpr uint16_t LSI_TARGET_CMD_BUFFER_BYTES = 64;
constexpr uint16_t LSI_CMD_BUFFER_HANDLES = 256;
constexpr uint16_t LSI_NO_HANDLE = 0xFFFF;
constexpr uint8_t LSI_NO_TARGET = 0xFF;

// Offsets of the areas carved from the adapter's uncached region.
constexpr uint32_t LSI_REGION_REQUEST_FRAMES = 0x00000;
constexpr uint32_t LSI_REGION_CHAIN_BUFFERS = 0x18000;
constexpr uint32_t LSI_REGION_REPLY_FRAMES = 0x4E000;
constexpr uint32_t LSI_REGION_TARGET_CMD_BUFFERS = 0x50000;
constexpr uint32_t LSI_REGION_SENSE_BUFFERS = 0x54000;
constexpr uint32_t LSI_REGION_FURTHER_AREA = 0x60040;
// The host page buffer begins at the first 64 KB boundary past the fixed
// areas and must end inside the region.
constexpr uint32_t LSI_REGION_HOST_PAGE_SEARCH = 0x61000;
constexpr uint32_t LSI_REGION_BYTES = 0xA8000;

// Per-request flag bits.
constexpr uint8_t LSI_REQUEST_ABORTED = 0x01;
constexpr uint8_t LSI_REQUEST_HIGH_PRIORITY = 0x02;
constexpr uint8_t LSI_REQUEST_CMD_BUF_LIST_POST = 0x04;
// A task management request: its context names no command of its own.
constexpr uint8_t LSI_REQUEST_TASK_MANAGEMENT = 0x08;
constexpr uint8_t LSI_REQUEST_RECOVERY = 0x10;

struct LSI_SAS_REQUEST_INFO {
    uint64_t lDeadline;
    uint64_t lSequence;
    uint32_t dMsgContext;
    uint8_t bFlags;
    uint8_t bTargetId;
};

struct LSI_SAS_DRIVE_ADAPTER {
    LSI_MPT_INTERFACE sInterface;  // must stay first: the common layer's record
    uint16_t wRequestFrameBytes;
    uint16_t wReplyFrameBytes;
    uint16_t wBlockBytes;
    uint16_t wReplyQueueDepth;
    uint16_t wRequestFrames;
    uint16_t wTargetCmdBuffers;
    uint8_t bNumberOfPorts;
    uint16_t wRequestsInUse;
    uint16_t wRequestsInUseForDump;
    uint16_t wNextFreeSearch;
    uint64_t lSequence;
    uint32_t dFirmwareVersion;
    uint32_t dHostPageBufferBytes;
    uint32_t adInUse[LSI_MAX_REQUEST_FRAMES / 32];
    LSI_SAS_REQUEST_INFO asRequest[LSI_MAX_REQUEST_FRAMES];
    uint16_t awCmdBufferHandle[LSI_CMD_BUFFER_HANDLES];
    uint16_t awCmdBufferHandle2[LSI_CMD_BUFFER_HANDLES];
    BUFFER_HANDLE dRegion;
    CPU_ADDRESS dRequestFrames;   // the carved areas
    CPU_ADDRESS dChainBuffers;
    CPU_ADDRESS dReplyFrames;
    CPU_ADDRESS dTargetCmdBuffers;
    CPU_ADDRESS dSenseBuffers;
    CPU_ADDRESS dFurtherArea;
    CPU_ADDRESS dHostPageBuffer;
    uint8_t fIocUp;
};

LSI_SAS_DRIVE_ADAPTER* psGetLSIAdapter(uint8_t bIocId);
// The firmware version the drive-side controller reported, most
// significant byte first as printed.
uint32_t dGetLSIFirmwareVersion();

// LSI_SAS_DriveIOCBringUp (sas_drive.h): FALSE at start of day, TRUE on an
// IOC restart; 255 up, 0 failed.
void ResetLSIDriveIOC();

void MarkTargetCmdBufferForRepost(uint8_t bIocId, uint16_t wBufferIndex);
void RepostTargetCmdBuffers(uint8_t bIocId);
uint8_t fIsTargetCmdBufferRepostPending(uint8_t bIocId);

// The drive-side layout of this board: which pair of board tables
// discovery uses, and the IO unit phys it reads (0xFF none).
constexpr uint8_t LSI_NO_PHY = 0xFF;
struct LSI_SAS_BOARD_LAYOUT {
    uint8_t bTableSet;
    uint8_t bFirstExpanderPhy;
    uint8_t bSecondExpanderPhy;
    uint8_t abPartnerPhy[2];
};
// 255 with the layout of a board type and backplane, 0 for a board type the
// drive side does not know.
uint8_t bSelectSASBoardLayout(uint8_t bBoardType, uint8_t bBackplane, LSI_SAS_BOARD_LAYOUT* psLayout);
// Records the layout of a board type and backplane for discovery; 0 for a
// board type the drive side does not know.
uint8_t bSetUpSASBoardLayout(uint8_t bBoardType, uint8_t bBackplane);
const LSI_SAS_BOARD_LAYOUT* pGetSASBoardLayout();

// Buffer pages the bring-up takes for discovery's lists and work areas.
struct LSI_SAS_DISCOVERY_PAGES {
    BUFFER_HANDLE adDeviceList[2];
    BUFFER_HANDLE adExpanderList[2];
    BUFFER_HANDLE dWorkArea50;
    BUFFER_HANDLE adWorkArea3[2];
};
const LSI_SAS_DISCOVERY_PAGES* pGetSASDiscoveryPages();

}  // namespace fw
