// Start-up of the parallel SCSI host ports: the chip's image loaded through
// its first function (both channels restart on it), each function's facts,
// initialisation, SCSI port and device pages set from the stored settings,
// its frames and command buffers posted and its port enabled.
#include "sas/host_port_ioc.h"

#include <cstring>

#include "config/apply_settings.h"
#include "executive/buffer_pages.h"
#include "executive/interrupt_controller.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "hw/mpi_scsi_port.h"
#include "hw/pci_ids.h"
#include "platform/pci.h"
#include "sas/drive_ioc_images.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

constexpr uint32_t HOST_PORT_PCI_ID = static_cast<uint32_t>(PCI_DEVICE_SCSI_HOST) << 16 | PCI_VENDOR_SAS;
constexpr uint16_t PCI_COMMAND = 0x0145;
constexpr uint16_t PCI_CACHE_LINE_LATENCY = 0x4010;
constexpr uint32_t IMAGE_BYTES = 256 * 1024;   // the most of the image staging area an image may fill
static_assert(IMAGE_BYTES <= IMAGE_STAGING_BYTES, "the host-port IOC's image fits the staging area");
constexpr uint32_t PORT_SETTLE_MS = 100;
constexpr uint32_t PORT_ENABLE_TIMEOUT_MS = 20000;
constexpr uint16_t MAX_FRAME_COUNT = HOST_PORT_REQUEST_FRAMES;
constexpr uint8_t PORT_PAGES = 3;
constexpr uint8_t DEVICE_PAGES = 3;
constexpr uint32_t PAGE_FILL[3] = {0x11111111, 0x22222222, 0x33333333};
constexpr uint32_t MU_RESET_ACK_MS = 2000;
constexpr uint32_t MU_RESET_READY_MS = 4000;
constexpr uint32_t DEVICE_PAGE_READ_MS = 1000;

// How long each handshake of a port's bring-up may take.  Start-up runs
// before any host is served and keeps the untimed handshakes; a
// re-initialisation runs from the main loop while the controller is in
// service, so a function that stops answering fails it within these and
// the scan decides whether to try again.
struct HANDSHAKE_LIMITS {
    uint32_t dIocFactsMs;
    uint32_t dIocInitMs;
    uint32_t dPortFactsMs;
    uint32_t dPagesMs;
};
constexpr HANDSHAKE_LIMITS START_UP_LIMITS = {LSI_UNTIMED, LSI_UNTIMED, LSI_UNTIMED, LSI_UNTIMED};
constexpr HANDSHAKE_LIMITS REINIT_LIMITS = {5000, 5000, 2000, 2000};

struct PORT {
    HOST_PORT_MPT_STATE s;
    uint8_t fInitialised;
};

PORT s_asPort[2];

uint8_t bIndexOf(uint8_t bIocId) { return bIocId == LSI_IOC_HOST_PORT_2 ? 1 : 0; }
bool IsHostPort(uint8_t bIocId) { return bIocId == LSI_IOC_HOST_PORT_1 || bIocId == LSI_IOC_HOST_PORT_2; }
PORT& Port(uint8_t bIocId) { return s_asPort[bIndexOf(bIocId)]; }

uint32_t dPciRead(uint8_t bFunction, uint16_t wOffset) {
    return dPciConfigRead32(PCI_BUS_PRIMARY, PCI_DEVICE_HOST_CHIP1, bFunction, wOffset);
}

// A 16-bit register written in its half of the dword.
void PciWrite16(uint8_t bFunction, uint16_t wOffset, uint16_t wValue) {
    const uint16_t wDword = static_cast<uint16_t>(wOffset & ~3u);
    const uint32_t dShift = (wOffset & 2u) * 8;
    const uint32_t dOld = dPciRead(bFunction, wDword);
    PciConfigWrite32(PCI_BUS_PRIMARY, PCI_DEVICE_HOST_CHIP1, bFunction, wDword,
                     (dOld & ~(0xFFFFu << dShift)) | static_cast<uint32_t>(wValue) << dShift);
}

uint8_t* pbAt(CPU_ADDRESS d) { return static_cast<uint8_t*>(pCpuAddressToPointer(d)); }

// The function's identity, then its command register, cache line and
// latency, and its I/O base.
uint8_t bHostPortPciSetup(uint8_t bIocId) {
    const uint8_t bFunction = bIndexOf(bIocId);
    if (dPciRead(bFunction, 0) != HOST_PORT_PCI_ID) return 0;
    PciWrite16(bFunction, 0x04, PCI_COMMAND);
    PciWrite16(bFunction, 0x0C, PCI_CACHE_LINE_LATENCY);
    PciConfigWrite32(PCI_BUS_PRIMARY, PCI_DEVICE_HOST_CHIP1, bFunction, 0x10, PCI_SCSI_HOST_IO_BASE[bFunction]);
    return STATUS_OK;
}

uint8_t bCarveRegion(uint8_t bIocId) {
    HOST_PORT_MPT_STATE& s = Port(bIocId).s;
    if (s.dRegion == NULL_BUFFER_HANDLE &&
        bAllocDataPages(0, HOST_PORT_REGION_BYTES / BUFFER_PAGE_SIZE, &s.dRegion) != STATUS_OK) {
        s.dRegion = NULL_BUFFER_HANDLE;
        return 0;
    }
    const CPU_ADDRESS dBase = dBufferHandleToCpuAddress(s.dRegion);
    s.dRequestFrames = dBase;
    s.dReplyFrames = dBase + HOST_PORT_REGION_REPLY_FRAMES;
    s.dCmdBuffers = dBase + HOST_PORT_REGION_CMD_BUFFERS;
    s.dStatusBuffers = dBase + HOST_PORT_REGION_STATUS_BUFFERS;
    s.dUploadBuffer = dBase + HOST_PORT_REGION_UPLOAD;
    return STATUS_OK;
}

}  // namespace

// The image is taken only when its header is whole and the size it gives
// fits both the bytes carried and what the IOC can hold.
uint8_t fIsHostPortImageWhole(const uint8_t* pbImage, uint32_t dLength) {
    if (pbImage == nullptr || dLength < sizeof(MPI_FW_IMAGE_HEADER)) return FALSE;
    MPI_FW_IMAGE_HEADER h;
    std::memcpy(&h, pbImage, sizeof h);
    return ToFlag(h.dImageSize >= sizeof h && h.dImageSize <= dLength && h.dImageSize <= LSI_MAX_FIRMWARE_IMAGE_BYTES);
}

namespace {

uint32_t dImageVersion(const uint8_t* pbImage) {
    MPI_FW_IMAGE_HEADER h;
    std::memcpy(&h, pbImage, sizeof h);
    return h.dFWVersion;
}

uint8_t bIocFacts(uint8_t bIocId, MPI_IOC_FACTS_REPLY* ps, uint32_t dTimeoutMs) {
    if (bLSIIocFacts(bIocId, ps, dTimeoutMs) != STATUS_OK) return 0;
    HOST_PORT_MPT_STATE& s = Port(bIocId).s;
    s.wRequestFrameBytes = static_cast<uint16_t>(ps->wRequestFrameSize * 4u);
    s.wReplyFrameBytes = HOST_PORT_REPLY_FRAME_BYTES;
    s.wBlockBytes = static_cast<uint16_t>(ps->bBlockSize * 4u);
    s.wReplyQueueDepth = ps->wReplyQueueDepth;
    s.wFrameCount = ps->wGlobalCredits < MAX_FRAME_COUNT ? ps->wGlobalCredits : MAX_FRAME_COUNT;
    s.dFirmwareVersion = ps->dFWVersion;
    return s.wFrameCount != 0 ? STATUS_OK : 0;
}

// One page read as start-up reads it: the header, then the current page
// into a buffer pre-filled with a marker, so that what the IOC did not
// write stands out in a dump.
uint8_t bReadPage(uint8_t bIocId, uint8_t bType, uint8_t bNumber, uint32_t dAddress, BUFFER_HANDLE dPage,
                  uint8_t* pbAttribute, uint32_t dTimeoutMs) {
    uint32_t* pd = static_cast<uint32_t*>(pBufferHandleToPointer(dPage));
    for (uint32_t i = 0; i < BUFFER_PAGE_SIZE / 4; ++i) pd[i] = PAGE_FILL[bNumber % 3];
    uint32_t dBytes = 0;
    uint16_t wStatus = 0;
    if (bLSIConfigPageRead(bIocId, FALSE, FALSE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, bNumber, bType, dAddress, dPage,
                           BUFFER_PAGE_SIZE, &dBytes, &wStatus, dTimeoutMs) != STATUS_OK ||
        (wStatus & MPI_IOCSTATUS_MASK) != MPI_IOCSTATUS_SUCCESS) {
        return 0;
    }
    *pbAttribute = static_cast<uint8_t>(static_cast<const uint8_t*>(pBufferHandleToPointer(dPage))[3] &
                                        MPI_CONFIG_PAGEATTR_MASK);
    return STATUS_OK;
}

// Written to the current settings, and to the IOC's NVRAM for a page it
// keeps there.
uint8_t bWritePage(uint8_t bIocId, uint8_t bType, uint8_t bNumber, uint32_t dAddress, BUFFER_HANDLE dPage,
                   uint8_t bAttribute, uint32_t dTimeoutMs) {
    uint16_t wStatus = 0;
    if (bLSIConfigPageWrite(bIocId, FALSE, FALSE, MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT, bNumber, bType, dAddress,
                            dPage, BUFFER_PAGE_SIZE, &wStatus, dTimeoutMs) != STATUS_OK ||
        (wStatus & MPI_IOCSTATUS_MASK) != MPI_IOCSTATUS_SUCCESS) {
        return 0;
    }
    if (bAttribute != MPI_CONFIG_PAGEATTR_PERSISTENT) return STATUS_OK;
    if (bLSIConfigPageWrite(bIocId, FALSE, FALSE, MPI_CONFIG_ACTION_PAGE_WRITE_NVRAM, bNumber, bType, dAddress, dPage,
                            BUFFER_PAGE_SIZE, &wStatus, dTimeoutMs) != STATUS_OK) {
        return 0;
    }
    return (wStatus & MPI_IOCSTATUS_MASK) == MPI_IOCSTATUS_SUCCESS ? STATUS_OK : 0;
}

// The port answers to its configured SCSI id as a target only.
uint8_t bSetPortPages(uint8_t bIocId, BUFFER_HANDLE dPage, uint32_t dTimeoutMs) {
    uint8_t bAttribute = 0;
    for (uint8_t bNumber = 0; bNumber < PORT_PAGES; ++bNumber) {
        if (bNumber == 1) continue;
        if (bReadPage(bIocId, MPI_CONFIG_PAGETYPE_SCSI_PORT, bNumber, 0, dPage, &bAttribute, dTimeoutMs) != STATUS_OK) {
            return 0;
        }
    }
    if (bReadPage(bIocId, MPI_CONFIG_PAGETYPE_SCSI_PORT, 1, 0, dPage, &bAttribute, dTimeoutMs) != STATUS_OK) return 0;
    auto* ps = static_cast<MPI_SCSI_PORT_PAGE_1*>(pBufferHandleToPointer(dPage));
    const uint32_t dOwnId = bGetHostPortHardAddress(bIocId) & 0x0F;
    const uint32_t dConfiguration = dOwnId | 1u << (16 + dOwnId);
    if (ps->dConfiguration == dConfiguration && ps->dOnBusTimerValue == 0 && ps->bTargetConfig == 1) return STATUS_OK;
    ps->dConfiguration = dConfiguration;
    ps->dOnBusTimerValue = 0;
    ps->bTargetConfig = 1;
    ps->bReserved13 = 0;
    return bWritePage(bIocId, MPI_CONFIG_PAGETYPE_SCSI_PORT, 1, 0, dPage, bAttribute, dTimeoutMs);
}

// What the port offers every host on the bus: the packetized bits by the
// port's option, the period by its speed setting.
uint32_t dRequestedParameters(uint8_t bIocId) {
    uint32_t d = SCSI_REQUESTED_PARAMETERS & ~SCSI_PARAMETERS_PACKETIZED;
    if (fGetHostPortOptionB(bIocId) == TRUE) d |= SCSI_PARAMETERS_PACKETIZED;
    const uint8_t bSpeed = bGetHostPortSpeedSetting(bIocId);
    const uint32_t dPeriod = bSpeed == 0 ? 0x0A : bSpeed == 1 ? 0x09 : 0x08;
    return (d & ~SCSI_PARAMETERS_PERIOD_MASK) | dPeriod << 8;
}

uint8_t bSetDevicePages(uint8_t bIocId, BUFFER_HANDLE dPage, uint32_t dTimeoutMs) {
    uint8_t bAttribute = 0;
    for (uint32_t dId = 0; dId < SCSI_HOST_IDS; ++dId) {
        for (uint8_t bNumber = 0; bNumber < DEVICE_PAGES; ++bNumber) {
            if (bNumber == 1) continue;
            if (bReadPage(bIocId, MPI_CONFIG_PAGETYPE_SCSI_DEVICE, bNumber, dId, dPage, &bAttribute, dTimeoutMs) !=
                STATUS_OK) {
                return 0;
            }
        }
        if (bReadPage(bIocId, MPI_CONFIG_PAGETYPE_SCSI_DEVICE, 1, dId, dPage, &bAttribute, dTimeoutMs) != STATUS_OK) {
            return 0;
        }
        auto* ps = static_cast<MPI_SCSI_DEVICE_PAGE_1*>(pBufferHandleToPointer(dPage));
        ps->dRequestedParameters = dRequestedParameters(bIocId);
        ps->dConfiguration = 0;
        if (bWritePage(bIocId, MPI_CONFIG_PAGETYPE_SCSI_DEVICE, 1, dId, dPage, bAttribute, dTimeoutMs) != STATUS_OK) {
            return 0;
        }
    }
    return STATUS_OK;
}

void InitHostPortFramePool(uint8_t bIocId) {
    HOST_PORT_MPT_STATE& s = Port(bIocId).s;
    std::memset(pbAt(s.dRequestFrames), 0, static_cast<uint32_t>(HOST_PORT_REQUEST_FRAMES) * HOST_PORT_REQUEST_FRAME_BYTES);
    std::memset(s.adFrameInUse, 0, sizeof s.adFrameInUse);
    std::memset(s.awIoToFrame, 0xFF, sizeof s.awIoToFrame);
    s.wOutstanding = 0;
    s.wNextFrame = 0;
}

void PostHostPortReplyFrames(uint8_t bIocId) {
    HOST_PORT_MPT_STATE& s = Port(bIocId).s;
    std::memset(pbAt(s.dReplyFrames), 0, static_cast<uint32_t>(HOST_PORT_REPLY_FRAMES) * HOST_PORT_REPLY_FRAME_BYTES);
    for (uint32_t i = 0; i < HOST_PORT_REPLY_FRAMES; ++i) {
        const CPU_ADDRESS d = s.dReplyFrames + i * HOST_PORT_REPLY_FRAME_BYTES;
        Reg32Write(s.sInterface.pdReplyQueue, static_cast<uint32_t>(dCpuAddressToPciAddress(d)));
    }
}

// Every command buffer given to the IOC, eight to a request.  The IOC
// takes the descriptors as it takes the request, so one frame carries
// each post in turn.
void PostHostPortCommandBuffers(uint8_t bIocId) {
    HOST_PORT_MPT_STATE& s = Port(bIocId).s;
    std::memset(s.awIoToEntry, 0xFF, sizeof s.awIoToEntry);
    std::memset(pbAt(s.dCmdBuffers), 0, static_cast<uint32_t>(HOST_PORT_CMD_BUFFERS) * HOST_PORT_CMD_BUFFER_BYTES);
    uint8_t* pbFrame = pbAt(s.dRequestFrames);
    for (uint16_t wFirst = 0; wFirst < HOST_PORT_CMD_BUFFERS; wFirst += MPI_TARGET_CMD_BUFFER_POST_MAX) {
        MPI_TARGET_CMD_BUFFER_POST_REQUEST r{};
        r.bBufferCount = MPI_TARGET_CMD_BUFFER_POST_MAX;
        r.bFunction = MPI_FUNCTION_TARGET_CMD_BUFFER_POST;
        r.bBufferLength = HOST_PORT_CMD_BUFFER_BYTES;
        for (uint8_t i = 0; i < MPI_TARGET_CMD_BUFFER_POST_MAX; ++i) {
            const uint16_t wIoIndex = static_cast<uint16_t>(wFirst + i);
            r.asBuffer[i].dIoIndex = wIoIndex;
            r.asBuffer[i].dAddress = static_cast<uint32_t>(
                dCpuAddressToPciAddress(s.dCmdBuffers + static_cast<uint32_t>(wIoIndex) * HOST_PORT_CMD_BUFFER_BYTES));
        }
        std::memcpy(pbFrame, &r, sizeof r);
        Reg32Write(s.sInterface.pdRequestQueue, static_cast<uint32_t>(dCpuAddressToPciAddress(s.dRequestFrames)));
    }
    std::memset(pbFrame, 0, HOST_PORT_REQUEST_FRAME_BYTES);
}

// Everything after the facts, as start-up and a re-initialisation both
// run it: initialisation, port facts, the SCSI pages from the settings,
// the frames and buffers given to the IOC, events on and the port enabled.
uint8_t bStartPort(uint8_t bIocId, BUFFER_HANDLE dPage, const HANDSHAKE_LIMITS& sLimits) {
    PORT& p = Port(bIocId);
    MPI_PORT_FACTS_REPLY sPortFacts{};
    if (bLSIIocInit(bIocId, 1, 0, BUS_ADDRESS{0}, sLimits.dIocInitMs) != STATUS_OK ||
        bLSIPortFacts(bIocId, &sPortFacts, sLimits.dPortFactsMs) != STATUS_OK) {
        return 0;
    }
    p.s.wMaxPostedCmdBuffers = sPortFacts.wMaxPostedCmdBuffers;
    if (bSetPortPages(bIocId, dPage, sLimits.dPagesMs) != STATUS_OK ||
        bSetDevicePages(bIocId, dPage, sLimits.dPagesMs) != STATUS_OK) {
        return 0;
    }
    InitHostPortFramePool(bIocId);
    PostHostPortReplyFrames(bIocId);
    ReleaseHostPortReadAheadMarkers(bIocId);
    PostHostPortCommandBuffers(bIocId);
    std::memset(pbAt(p.s.dStatusBuffers), 0, static_cast<uint32_t>(HOST_PORT_STATUS_BUFFERS) * HOST_PORT_STATUS_BUFFER_BYTES);
    if (bLSIEventNotificationOn(bIocId) != STATUS_OK) return 0;
    if (bLSIPortEnable(bIocId, 0, PORT_ENABLE_TIMEOUT_MS) != STATUS_OK) return 0;
    p.fInitialised = TRUE;
    ClearHostPortReposts(bIocId);
    return STATUS_OK;
}

// One port from its PCI function to its enabled port; 0 leaves it down.
uint8_t bInitPort(uint8_t bIocId, const uint8_t* pbImage, BUFFER_HANDLE dPage) {
    PORT& p = Port(bIocId);
    p.fInitialised = FALSE;
    if (bHostPortPciSetup(bIocId) != STATUS_OK) return 0;
    p.s.sInterface = LSIRegisterPointers(PCI_IO_WINDOW_BASE + PCI_SCSI_HOST_IO_BASE[bIndexOf(bIocId)]);
    p.s.sInterface.pdHighPriorityRequestQueue = 0;   // this IOC has none
    if (bCarveRegion(bIocId) != STATUS_OK) return 0;
    if (bIocId == LSI_IOC_HOST_PORT_1 && bLSIDownloadFirmware(bIocId, pbImage, TRUE) != STATUS_OK) return 0;
    Reg32Write(p.s.sInterface.pdHostIntMask, 0);
    MPI_IOC_FACTS_REPLY sFacts{};
    if (bIocFacts(bIocId, &sFacts, START_UP_LIMITS.dIocFactsMs) != STATUS_OK) return 0;
    // A channel that runs other firmware is given ours and stays down: the
    // controller starts again on matching firmware.
    if (sFacts.dFWVersion != dImageVersion(pbImage)) {
        (void)bLSIDownloadFirmware(bIocId, pbImage, FALSE);
        return 0;
    }
    if ((sFacts.bFlags & MPI_IOCFACTS_FLAGS_FW_DOWNLOAD_BOOT) && sFacts.dFWImageSize != 0) {
        if (HOST_PORT_REGION_UPLOAD + sFacts.dFWImageSize > HOST_PORT_REGION_BYTES) return 0;
        if (bLSIUploadFirmware(bIocId, sFacts.dFWImageSize, p.s.dRegion + HOST_PORT_REGION_UPLOAD) != STATUS_OK) return 0;
    }
    return bStartPort(bIocId, dPage, START_UP_LIMITS);
}

// The IOC back to READY by a message unit reset; FALSE when it does not
// come back in time.
bool ResetMessageUnit(uint8_t bIocId) {
    const HOST_PORT_MPT_STATE& s = Port(bIocId).s;
    const uint32_t dState = (Reg32Read(s.sInterface.pdDoorbell) & MPI_DOORBELL_STATE_MASK) >> MPI_DOORBELL_STATE_SHIFT;
    if (dState == MPI_IOC_STATE_READY) return true;
    Reg32Write(s.sInterface.pdDoorbell, static_cast<uint32_t>(MPI_FUNCTION_IOC_MESSAGE_UNIT_RESET)
                                            << MPI_DOORBELL_FUNCTION_SHIFT);
    if (bLSIWaitDoorbellAckTimed(bIocId, MU_RESET_ACK_MS) != STATUS_OK) return false;
    Reg32Write(s.sInterface.pdHostIntStatus, 0);
    return bLSIWaitReady(bIocId, MU_RESET_READY_MS) == STATUS_OK;
}

// The chip's image loaded again through the first function: both
// channels restart on it, so the other port is reset under its hosts too
// and brought up by its own re-initialisation.
bool ReloadChip(uint8_t bIocId) {
    uint32_t dLength = 0;
    const uint8_t* pbImage = pGetHostPortIOCImage(&dLength);
    if (fIsHostPortImageWhole(pbImage, dLength) != TRUE ||
        bLSIDownloadFirmware(LSI_IOC_HOST_PORT_1, pbImage, TRUE) != STATUS_OK) {
        return false;
    }
    const uint8_t bOther = bIocId == LSI_IOC_HOST_PORT_1 ? LSI_IOC_HOST_PORT_2 : LSI_IOC_HOST_PORT_1;
    Port(bOther).fInitialised = FALSE;
    ResetHostPortUnderHosts(bOther);
    return bLSIWaitReady(bIocId, MU_RESET_READY_MS) == STATUS_OK;
}

}  // namespace

HOST_PORT_MPT_STATE* pGetHostPortState(uint8_t bIocId) { return IsHostPort(bIocId) ? &Port(bIocId).s : nullptr; }

uint8_t fIsHostPortInitialised(uint8_t bIocId) { return IsHostPort(bIocId) ? Port(bIocId).fInitialised : FALSE; }

uint8_t InitSASHostPorts() {
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return 0;
    uint8_t bResult = 0;
    uint32_t dLength = 0;
    const uint8_t* pbImage = pGetHostPortIOCImage(&dLength);
    // The image goes through the staging area, not pages: at a start the
    // cache kept over a power cut may leave no run of them free.
    const BUFFER_HANDLE dImage = dGetImageStagingArea();
    if (dImage != NULL_BUFFER_HANDLE && fIsHostPortImageWhole(pbImage, dLength) == TRUE && dLength <= IMAGE_BYTES) {
        std::memcpy(pBufferHandleToPointer(dImage), pbImage, dLength);
        const uint8_t* pbStaged = static_cast<const uint8_t*>(pBufferHandleToPointer(dImage));
        constexpr uint8_t PORTS[2] = {LSI_IOC_HOST_PORT_1, LSI_IOC_HOST_PORT_2};
        for (uint8_t bIocId : PORTS) {
            SpinDelayMs(PORT_SETTLE_MS);
            (void)bInitPort(bIocId, pbStaged, dPage);
        }
        if (fIsHostPortInitialised(LSI_IOC_HOST_PORT_1) == TRUE && fIsHostPortInitialised(LSI_IOC_HOST_PORT_2) == TRUE) {
            bResult = STATUS_OK;
            ResetHostPortDriverState();
        }
    }
    (void)wFreeDataPages(dPage, 1);
    return bResult;
}

uint8_t bReinitSASHostPort(uint8_t bIocId) {
    if (!IsHostPort(bIocId) || Port(bIocId).s.sInterface.pdDoorbell == 0) return 0;
    // The page comes first: without one the port is left as it is.
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return STATUS_NO_PAGES;
    PORT& p = Port(bIocId);
    uint8_t bResult = 0;
    {
        InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
        Reg32Write(p.s.sInterface.pdHostIntMask, 0xFFFFFFFF);
        p.fInitialised = FALSE;
        MPI_IOC_FACTS_REPLY sFacts{};
        if ((ResetMessageUnit(bIocId) || ReloadChip(bIocId)) &&
            bIocFacts(bIocId, &sFacts, REINIT_LIMITS.dIocFactsMs) == STATUS_OK) {
            bResult = bStartPort(bIocId, dPage, REINIT_LIMITS);
        }
        if (bResult == STATUS_OK) Reg32Write(p.s.sInterface.pdHostIntMask, 0);
    }
    (void)wFreeDataPages(dPage, 1);
    if (bResult == STATUS_OK) (void)bLSISendBusReset(bIocId);
    return bResult;
}

uint8_t bReadHostPortDevicePage(uint8_t bIocId, uint8_t bTargetId, uint32_t* pdWord) {
    if (!IsHostPort(bIocId) || Port(bIocId).fInitialised != TRUE || bTargetId >= SCSI_HOST_IDS) return 0;
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return 0;
    uint8_t bResult = 0;
    {
        InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
        uint32_t dBytes = 0;
        uint16_t wStatus = 0;
        if (bLSIConfigPageRead(bIocId, FALSE, FALSE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, 0,
                               MPI_CONFIG_PAGETYPE_SCSI_DEVICE, bTargetId, dPage, BUFFER_PAGE_SIZE, &dBytes,
                               &wStatus, DEVICE_PAGE_READ_MS) == STATUS_OK &&
            (wStatus & MPI_IOCSTATUS_MASK) == MPI_IOCSTATUS_SUCCESS) {
            *pdWord = static_cast<const MPI_SCSI_DEVICE_PAGE_0*>(pBufferHandleToPointer(dPage))->dNegotiatedParameters;
            bResult = STATUS_OK;
        }
    }
    (void)wFreeDataPages(dPage, 1);
    return bResult;
}

uint8_t bReadNegotiatedParameters(uint8_t bPortCode, uint8_t bId, uint32_t* pdWord) {
    return bReadHostPortDevicePage(bPortCode, bId, pdWord);
}

uint8_t bGetHostPortTransferRate(uint8_t bIocId) {
    uint32_t d = 0;
    if (bReadHostPortDevicePage(bIocId, bGetHostPortHardAddress(bIocId) & 0x0F, &d) != STATUS_OK || d == 0) return 1;
    const bool fWide = (d & SCSI_PARAMETERS_WIDE) != 0;
    switch ((d & SCSI_PARAMETERS_PERIOD_MASK) >> 8) {
    case 0x08: return fWide ? 7 : 6;
    case 0x09: return fWide ? 6 : 5;
    case 0x0A:
    case 0x0B: return fWide ? 5 : 4;
    case 0x0C: return fWide ? 4 : 3;
    default: return 1;
    }
}

}  // namespace fw
