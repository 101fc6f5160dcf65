#include "sas/drive_ioc_bringup.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "config/nvram_layout.h"
#include "executive/console_output.h"
#include "eventlog/event_log.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "sas/active_active.h"
#include "sas/command_timeouts.h"
#include "sas/ioc_events.h"
#include "sas/slot_phy_actions.h"
#include "sas/smp.h"
#include "partner/partner_link.h"
#include "platform/pci.h"
#include "raid/raid_engine.h"
#include "sas/drive_ioc_images.h"
#include "sas/reply_dispatch.h"
#include "sas/request_frames.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_flags.h"
#include "sas/vsc7156_flash.h"
#include "target/target_engine.h"

namespace fw {

namespace {

static_assert(LSI_MAX_FIRMWARE_IMAGE_BYTES <= IMAGE_STAGING_BYTES, "the drive IOC's image fits the staging area");
constexpr uint32_t REGION_PAGES = LSI_REGION_BYTES / BUFFER_PAGE_SIZE;
constexpr uint32_t CONFIG_PAGE_BYTES = BUFFER_PAGE_SIZE;
constexpr uint32_t READY_TIMEOUT_MS = 4000;
constexpr uint32_t PORT_UP_TIMEOUT_MS = 80000;
constexpr uint32_t REQUEST_TIMEOUT_MS = 10000;
constexpr uint16_t REQUEST_FRAME_DWORDS = 0x20;
constexpr uint8_t DRIVE_TIMER_PERIOD = 30;
constexpr uint32_t IOC_INTERRUPTS_MASKED = 0xFFFFFFFF;
constexpr uint16_t PCI_COMMAND = 0x0145;
constexpr uint32_t PCI_CACHE_LINE_LATENCY = 0x4010;
constexpr uint32_t PCI_IO_BAR = 0x1000;
constexpr uint16_t PCI_REG70_KEEP = 0x8F1F;
constexpr uint16_t PCI_REG70_SET = 0x5040;
constexpr uint16_t BIOS_IOC_SETTINGS = 0x4130;
constexpr uint16_t SATA_TARGETS = 126;
constexpr uint8_t SATA_QUEUE_DEPTH = 32;
constexpr uint8_t LINK_RATES = 0x98;
constexpr uint32_t DRIVE_PORT_DEVICE_INFO = 0x71;
constexpr uint8_t CMD_BUF_POST = 1;
constexpr uint32_t EXPANDER_CHECK_SETTLE_MS = 10000;
constexpr uint32_t PARTNER_SETTLE_MS = 3000;
constexpr uint8_t START_OF_DAY_DISCOVERIES = 3;
constexpr uint32_t DISCOVERY_RETRY_MS = 2000;
constexpr uint8_t RESTART_TRIES = 2;
constexpr uint32_t IO_UNIT_RESET_DOORBELL = static_cast<uint32_t>(MPI_FUNCTION_IO_UNIT_RESET)
                                            << MPI_DOORBELL_FUNCTION_SHIFT;
constexpr uint8_t EVENT_IOC_FAULT = 1;

// The registers are known before bring-up so that a handshake sent early
// reaches the chip rather than address 0.
constexpr LSI_SAS_DRIVE_ADAPTER InitialAdapter() {
    LSI_SAS_DRIVE_ADAPTER s{};
    s.sInterface = LSIRegisterPointers(LSI_DRIVE_REGISTER_BASE);
    return s;
}
LSI_SAS_DRIVE_ADAPTER s_sAdapter = InitialAdapter();
LSI_SAS_DISCOVERY_PAGES s_sDiscoveryPages;
LSI_SAS_BOARD_LAYOUT s_sBoardLayout;
uint32_t s_adRepostBitmap[LSI_CMD_BUFFER_HANDLES / 32];
uint8_t s_fRepostPending = FALSE;

uint32_t dPciRead(uint16_t wOffset) {
    return dPciConfigRead32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE, LSI_DRIVE_PCI_FUNCTION, wOffset);
}

void PciWrite(uint16_t wOffset, uint32_t dValue) {
    PciConfigWrite32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE, LSI_DRIVE_PCI_FUNCTION, wOffset, dValue);
}

// Takes dPages zeroed pages for an area another Part fills later.
uint8_t bTakeZeroedPages(uint32_t dPages, BUFFER_HANDLE* pdHandle) {
    if (bAllocDataPages(0, dPages, pdHandle) != STATUS_OK) return 0;
    (void)FillBufferWords(*pdHandle, dPages * BUFFER_PAGE_SIZE, 0);
    return STATUS_OK;
}

uint8_t bTakeDiscoveryPages() {
    LSI_SAS_DISCOVERY_PAGES& s = s_sDiscoveryPages;
    for (BUFFER_HANDLE& d : s.adDeviceList) {
        if (bTakeZeroedPages(9, &d) != STATUS_OK) return 0;
    }
    for (BUFFER_HANDLE& d : s.adExpanderList) {
        if (bTakeZeroedPages(6, &d) != STATUS_OK) return 0;
    }
    if (bTakeZeroedPages(50, &s.dWorkArea50) != STATUS_OK) return 0;
    for (BUFFER_HANDLE& d : s.adWorkArea3) {
        if (bTakeZeroedPages(3, &d) != STATUS_OK) return 0;
    }
    return STATUS_OK;
}

// The request frames, chain, reply, command and sense buffers share one
// region; the host page buffer goes on the first 64 KB boundary past them.
uint8_t bCarveRegion() {
    LSI_SAS_DRIVE_ADAPTER& a = s_sAdapter;
    if (a.dRegion != NULL_BUFFER_HANDLE) return STATUS_OK;
    if (bAllocDataPages(0, REGION_PAGES, &a.dRegion) != STATUS_OK) {
        a.dRegion = NULL_BUFFER_HANDLE;
        return 0;
    }
    const CPU_ADDRESS dBase = dBufferHandleToCpuAddress(a.dRegion);
    a.dRequestFrames = dBase + LSI_REGION_REQUEST_FRAMES;
    a.dChainBuffers = dBase + LSI_REGION_CHAIN_BUFFERS;
    a.dReplyFrames = dBase + LSI_REGION_REPLY_FRAMES;
    a.dTargetCmdBuffers = dBase + LSI_REGION_TARGET_CMD_BUFFERS;
    a.dSenseBuffers = dBase + LSI_REGION_SENSE_BUFFERS;
    a.dFurtherArea = dBase + LSI_REGION_FURTHER_AREA;
    a.dHostPageBuffer = CPU_ADDRESS{static_cast<uint32_t>(dBase + (LSI_REGION_HOST_PAGE_SEARCH + 0xFFFF)) & ~0xFFFFu};
    return STATUS_OK;
}

void SetupPciConfiguration() {
    PciWrite(0x04, PCI_COMMAND);
    PciWrite(0x0C, PCI_CACHE_LINE_LATENCY);
    PciWrite(0x10, PCI_IO_BAR);
    uint32_t d70 = dPciRead(0x70);
    uint16_t w70 = static_cast<uint16_t>((d70 & PCI_REG70_KEEP) | PCI_REG70_SET);
    PciWrite(0x70, (d70 & 0xFFFF0000u) | w70);
}

// *pdUploadBytes: how much of the running image the IOC wants the host to
// keep (0 none).
uint8_t bIocFacts(uint32_t* pdUploadBytes) {
    LSI_SAS_DRIVE_ADAPTER& a = s_sAdapter;
    MPI_SIMPLE_REQUEST sRequest{};
    sRequest.bFunction = MPI_FUNCTION_IOC_FACTS;
    MPI_IOC_FACTS_REPLY sFacts{};
    if (bLSIHandshake(LSI_IOC_DRIVE, &sRequest, sizeof sRequest / 4, &sFacts, sizeof sFacts / 4) != STATUS_OK) {
        return 0;
    }
    if (sFacts.wRequestFrameSize != REQUEST_FRAME_DWORDS || sFacts.wGlobalCredits == 0) return 0;
    a.wRequestFrameBytes = LSI_REQUEST_FRAME_BYTES;
    a.wReplyFrameBytes = LSI_REPLY_FRAME_BYTES;
    a.wBlockBytes = static_cast<uint16_t>(sFacts.bBlockSize * 4u);
    a.wReplyQueueDepth = sFacts.wReplyQueueDepth;
    a.wRequestFrames = sFacts.wGlobalCredits < LSI_MAX_REQUEST_FRAMES ? sFacts.wGlobalCredits : LSI_MAX_REQUEST_FRAMES;
    a.bNumberOfPorts = sFacts.bNumberOfPorts;
    a.dHostPageBufferBytes = sFacts.dHostPageBufferFlagsLength & MPI_SGE_LENGTH_MASK;
    if (a.dHostPageBufferBytes != 0) {
        const uint32_t dOffset = a.dHostPageBuffer - dBufferHandleToCpuAddress(a.dRegion);
        if (dOffset + a.dHostPageBufferBytes > LSI_REGION_BYTES) return 0;
    }
    *pdUploadBytes = (sFacts.bFlags & MPI_IOCFACTS_FLAGS_FW_DOWNLOAD_BOOT) ? sFacts.dFWImageSize : 0;
    return STATUS_OK;
}

uint8_t bIocInit() {
    LSI_SAS_DRIVE_ADAPTER& a = s_sAdapter;
    MPI_IOC_INIT_REQUEST sRequest{};
    sRequest.bWhoInit = MPI_WHOINIT_HOST_DRIVER;
    sRequest.bFunction = MPI_FUNCTION_IOC_INIT;
    sRequest.bMaxBuses = 1;
    sRequest.wReplyFrameSize = LSI_REPLY_FRAME_BYTES;
    if (a.dHostPageBufferBytes != 0) {
        sRequest.dHostPageBufferFlagsLength = MPI_SGE_HOST_PAGE_BUFFER | a.dHostPageBufferBytes;
        sRequest.dHostPageBufferAddress = dCpuAddressToPciAddress(a.dHostPageBuffer);
    }
    MPI_REPLY_HEADER sReply{};
    if (bLSIHandshake(LSI_IOC_DRIVE, &sRequest, sizeof sRequest / 4, &sReply, sizeof sReply / 4) != STATUS_OK) {
        return 0;
    }
    return (sReply.wIOCStatus & MPI_IOCSTATUS_MASK) == MPI_IOCSTATUS_SUCCESS ? STATUS_OK : 0;
}

uint8_t bPortFacts() {
    LSI_SAS_DRIVE_ADAPTER& a = s_sAdapter;
    MPI_SIMPLE_REQUEST sRequest{};
    sRequest.bFunction = MPI_FUNCTION_PORT_FACTS;
    MPI_PORT_FACTS_REPLY sFacts{};
    if (bLSIHandshake(LSI_IOC_DRIVE, &sRequest, sizeof sRequest / 4, &sFacts, sizeof sFacts / 4) != STATUS_OK ||
        (sFacts.sHeader.wIOCStatus & MPI_IOCSTATUS_MASK) != MPI_IOCSTATUS_SUCCESS) {
        return 0;
    }
    a.wTargetCmdBuffers = sFacts.wMaxPostedCmdBuffers < LSI_MAX_TARGET_CMD_BUFFERS ? sFacts.wMaxPostedCmdBuffers
                                                                                   : LSI_MAX_TARGET_CMD_BUFFERS;
    return STATUS_OK;
}

void PostReplyFrames() {
    LSI_SAS_DRIVE_ADAPTER& a = s_sAdapter;
    for (uint32_t i = 0; i < LSI_REPLY_FRAMES; ++i) {
        Reg32Write(a.sInterface.pdReplyQueue,
                   static_cast<uint32_t>(dCpuAddressToPciAddress(a.dReplyFrames + i * LSI_REPLY_FRAME_BYTES)));
    }
}

// One configuration page read or written by handshake; a page the IOC
// answers with an error status fails the bring-up.
uint8_t bConfigStep(uint8_t fWrite, uint8_t fExtended, uint8_t bPageType, uint8_t bPageNumber, BUFFER_HANDLE dBuffer) {
    return bLSIConfigPageCurrent(LSI_IOC_DRIVE, fWrite, fExtended, bPageType, bPageNumber, dBuffer, CONFIG_PAGE_BYTES);
}

// NAA 5, the low 48 bits of a WWN, and 0x400 or 0x800 for the controller
// slot in the low 12 bits.
uint64_t lSasAddressOfWwn(const uint8_t* pbWwn) {
    uint64_t lWwn = 0;
    for (int i = 0; i < 8; ++i) lWwn = lWwn << 8 | pbWwn[i];
    const uint64_t lSlot = bGetControllerNumber() == 1 ? 0x400 : 0x800;
    return 5ull << 60 | (lWwn & 0xFFFFFFFFFFFFull) << 12 | lSlot;
}

uint64_t lControllerSasAddress() {
    uint8_t abWwn[8] = {};
    (void)pGetControllerWWN(abWwn);
    return lSasAddressOfWwn(abWwn);
}

// The onboard expander's address follows the board's own WWN, as
// programmed at the factory, not a configured one: a new configuration
// does not rewrite the expander's SEEPROM.  An NVRAM that lost its WWN
// gives none (0): the expander keeps the address it has.
uint64_t lOnboardExpanderSasAddress() {
    uint8_t abWwn[8] = {};
    GetNvramControllerWwn(abWwn);
    const bool fBlank = std::all_of(abWwn, abWwn + 8, [](uint8_t b) { return b == 0; }) ||
                        std::all_of(abWwn, abWwn + 8, [](uint8_t b) { return b == 0xFF; });
    return fBlank ? 0 : lSasAddressOfWwn(abWwn);
}

uint8_t bWriteManufacturingPage5(BUFFER_HANDLE dBuffer, MPI_MANUFACTURING_PAGE_5* psPage) {
    if (bConfigStep(FALSE, FALSE, MPI_CONFIG_PAGETYPE_MANUFACTURING, 5, dBuffer) != STATUS_OK) return 0;
    uint64_t lAddress = lControllerSasAddress();
    psPage->dSasAddressLow = static_cast<uint32_t>(lAddress);
    psPage->dSasAddressHigh = static_cast<uint32_t>(lAddress >> 32);
    if (bConfigStep(TRUE, FALSE, MPI_CONFIG_PAGETYPE_MANUFACTURING, 5, dBuffer) != STATUS_OK) return 0;
    if (bConfigStep(FALSE, FALSE, MPI_CONFIG_PAGETYPE_MANUFACTURING, 5, dBuffer) != STATUS_OK) return 0;
    return psPage->dSasAddressLow == static_cast<uint32_t>(lAddress) &&
                   psPage->dSasAddressHigh == static_cast<uint32_t>(lAddress >> 32)
               ? STATUS_OK
               : 0;
}

uint8_t bWriteBiosPage1(BUFFER_HANDLE dBuffer, MPI_BIOS_PAGE_1* psPage) {
    if (bConfigStep(FALSE, FALSE, MPI_CONFIG_PAGETYPE_BIOS, 1, dBuffer) != STATUS_OK) return 0;
    psPage->dIOCSettings = BIOS_IOC_SETTINGS;
    return bConfigStep(TRUE, FALSE, MPI_CONFIG_PAGETYPE_BIOS, 1, dBuffer);
}

// Phys 0-3 carry the link to the partner controller (ports 0 and 1, one
// pair target and one initiator, mirrored on the other controller); phys
// 4-7 are the drive port.
uint8_t bWriteSasIoUnitPages(BUFFER_HANDLE dBuffer, MPI_SAS_IO_UNIT_PAGE_1* psPage) {
    if (bConfigStep(FALSE, TRUE, MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, dBuffer) != STATUS_OK) return 0;
    psPage->wControlFlags = 1;
    psPage->wMaxNumSataTargets = SATA_TARGETS;
    psPage->bSataMaxQDepth = SATA_QUEUE_DEPTH;
    psPage->bReportDeviceMissingDelay = 0;
    psPage->bIODeviceMissingDelay = 0;
    uint8_t fFirst = ToFlag(bGetControllerNumber() == 1);
    for (uint8_t i = 0; i < MPI_SAS_IO_UNIT_PHYS; ++i) {
        MPI_SAS_IO_UNIT1_PHY& sPhy = psPage->asPhy[i];
        sPhy.bMaxMinLinkRate = LINK_RATES;
        if (i < 4) {
            uint8_t fTargetPair = ToFlag((i < 2) == (fFirst == TRUE));
            sPhy.bPort = i < 2 ? 0 : 1;
            sPhy.dControllerPhyDeviceInfo = MPI_SAS_DEVICE_INFO_END_DEVICE |
                                            (fTargetPair == TRUE ? MPI_SAS_DEVICE_INFO_SSP_TARGET
                                                                 : MPI_SAS_DEVICE_INFO_SSP_INITIATOR);
        } else {
            sPhy.bPort = 2;
            sPhy.dControllerPhyDeviceInfo = DRIVE_PORT_DEVICE_INFO;
        }
    }
    if (bConfigStep(TRUE, TRUE, MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, dBuffer) != STATUS_OK) return 0;
    for (uint8_t bPage = 1; bPage <= 3; ++bPage) {
        if (bConfigStep(FALSE, TRUE, MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, bPage, dBuffer) != STATUS_OK) return 0;
    }
    return STATUS_OK;
}

uint8_t bNvramSasSetting(uint8_t bIndex) {
    HwWindow sNvram = HwGetWindow(HW_WINDOW_NVRAM);
    return sNvram.pBase[offsetof(NVRAM_HEADER, abSasSettings) + bIndex];
}

uint8_t bWriteIocPage1(BUFFER_HANDLE dBuffer, MPI_IOC_PAGE_1* psPage) {
    if (bConfigStep(FALSE, FALSE, MPI_CONFIG_PAGETYPE_IOC, 1, dBuffer) != STATUS_OK) return 0;
    uint32_t dOld = psPage->dFlags;
    uint32_t dFlags = dOld | MPI_IOCPAGE1_FLAG_BIT8 | MPI_IOCPAGE1_FLAG_BIT9;
    uint8_t bFirst = bNvramSasSetting(0);
    if (bFirst == TRUE || (bFirst == 0 && fIsSASActiveActiveState4() == TRUE)) dFlags &= ~MPI_IOCPAGE1_FLAG_BIT8;
    if (bNvramSasSetting(1) == TRUE && (dFlags & MPI_IOCPAGE1_FLAG_BIT8)) dFlags &= ~MPI_IOCPAGE1_FLAG_BIT9;
    if (dFlags == dOld) return STATUS_OK;
    psPage->dFlags = dFlags;
    if (bConfigStep(TRUE, FALSE, MPI_CONFIG_PAGETYPE_IOC, 1, dBuffer) != STATUS_OK) return 0;
    return bConfigStep(FALSE, FALSE, MPI_CONFIG_PAGETYPE_IOC, 1, dBuffer);
}

uint8_t bWriteConfigPages() {
    BUFFER_HANDLE dBuffer = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dBuffer) != STATUS_OK) return 0;
    uint8_t* pb = static_cast<uint8_t*>(pBufferHandleToPointer(dBuffer));
    uint8_t bResult = bWriteManufacturingPage5(dBuffer, reinterpret_cast<MPI_MANUFACTURING_PAGE_5*>(pb));
    if (bResult == STATUS_OK) bResult = bWriteBiosPage1(dBuffer, reinterpret_cast<MPI_BIOS_PAGE_1*>(pb));
    if (bResult == STATUS_OK) bResult = bWriteSasIoUnitPages(dBuffer, reinterpret_cast<MPI_SAS_IO_UNIT_PAGE_1*>(pb));
    if (bResult == STATUS_OK) bResult = bWriteIocPage1(dBuffer, reinterpret_cast<MPI_IOC_PAGE_1*>(pb));
    (void)wFreeDataPages(dBuffer, 1);
    return bResult;
}

// Each port gets its share of the 16 KB command buffer area.
uint8_t bPostTargetCmdBufferBases() {
    LSI_SAS_DRIVE_ADAPTER& a = s_sAdapter;
    if (a.bNumberOfPorts == 0) return STATUS_OK;
    uint16_t wPerPort = static_cast<uint16_t>(a.wTargetCmdBuffers / a.bNumberOfPorts);
    uint8_t bLock = LockInterruptSource(INT_SOURCE_DRIVE_SIDE);
    uint8_t bResult = STATUS_OK;
    for (uint8_t bPort = 0; bPort < a.bNumberOfPorts && bResult == STATUS_OK; ++bPort) {
        uint8_t* pbFrame = nullptr;
        uint16_t wIndex = LSI_NO_HANDLE;
        bResult = bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wIndex, FALSE);
        if (bResult != STATUS_OK) break;
        auto* psPost = reinterpret_cast<MPI_TARGET_CMD_BUF_BASE_POST_REQUEST*>(pbFrame);
        psPost->bBufferPostFlags = CMD_BUF_POST;
        psPost->bPortNumber = bPort;
        psPost->bFunction = MPI_FUNCTION_TARGET_CMD_BUF_BASE_POST;
        psPost->wTotalCmdBuffers = wPerPort;
        psPost->wCmdBufferLength = LSI_TARGET_CMD_BUFFER_BYTES;
        psPost->dBaseAddressLow = dCpuAddressToPciAddress(
            a.dTargetCmdBuffers + static_cast<uint32_t>(bPort) * wPerPort * LSI_TARGET_CMD_BUFFER_BYTES);
        (void)qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wIndex, REQUEST_TIMEOUT_MS, FALSE);
    }
    if (bLock != INT_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_DRIVE_SIDE);
    return bResult;
}

// Bounded: a flag nobody clears holds start of day up for at most the
// port wait's own limit.
void WaitWhilePortWait() {
    while (fGetSASPortWaitFlag() == TRUE && lGetTickCount() - lGetSASPortWaitTick() < PORT_UP_TIMEOUT_MS) HwPoll();
}

uint8_t fAllPortsUp() {
    for (uint8_t bPort = 0; bPort < s_sAdapter.bNumberOfPorts; ++bPort) {
        if (bLSIPortEnable(LSI_IOC_DRIVE, bPort, PORT_UP_TIMEOUT_MS) != STATUS_OK) return FALSE;
    }
    return TRUE;
}

// Everything between loading the image and the ports coming up; the caller
// owns the image pages.
uint8_t bStartIoc(uint8_t fRestart, const uint8_t* pbImage, BUFFER_HANDLE dImagePages) {
    LSI_SAS_DRIVE_ADAPTER& a = s_sAdapter;
    if (fRestart != TRUE) {
        SpinDelayMs(100);
        if (dPciRead(0) != LSI_DRIVE_PCI_ID) return 0;
        SetupPciConfiguration();
        a.sInterface = LSIRegisterPointers(LSI_DRIVE_REGISTER_BASE);
    }
    // The handshakes poll the doorbell bit; the interrupt handler must not
    // take it from under them, so the IOC stays masked until it is up.
    Reg32Write(a.sInterface.pdHostIntMask, IOC_INTERRUPTS_MASKED);
    if (bCarveRegion() != STATUS_OK) return 0;
    if (bRetrainPCIeLink() != STATUS_OK) return 0;

    MPI_FW_IMAGE_HEADER sHeader;
    std::memcpy(&sHeader, pbImage, sizeof sHeader);
    a.dFirmwareVersion = sHeader.dFWVersion;
    if (bLSIDownloadFirmware(LSI_IOC_DRIVE, pbImage, TRUE) != STATUS_OK) return 0;
    if (bLSIWaitReady(LSI_IOC_DRIVE, READY_TIMEOUT_MS) != STATUS_OK) return 0;
    SpinDelayMs(2000);
    SpinDelayMs(2000);

    uint32_t dUploadBytes = 0;
    if (bIocFacts(&dUploadBytes) != STATUS_OK) return 0;
    // The image comes back into the pages it was loaded from.
    if (dUploadBytes != 0 && (dUploadBytes > LSI_MAX_FIRMWARE_IMAGE_BYTES ||
                              bLSIUploadFirmware(LSI_IOC_DRIVE, dUploadBytes, dImagePages) != STATUS_OK)) {
        return 0;
    }
    if (bIocInit() != STATUS_OK || bPortFacts() != STATUS_OK) return 0;

    InitLSIRequestBookkeeping();
    PostReplyFrames();
    if (bWriteConfigPages() != STATUS_OK) return 0;

    if (bLSIEventNotificationOn(LSI_IOC_DRIVE) != STATUS_OK) return 0;
    SetupQl2MessageInterrupts(LSI_DRIVE_PCI_FUNCTION);
    if (fRestart != TRUE) InitSASDriveInterruptCounters();
    if (bPostTargetCmdBufferBases() != STATUS_OK) return 0;
    SpinDelayMs(500);
    if (fRestart != TRUE && fIsZ8Q2Controller() == TRUE) {
        // The expander's settling time counts from the start of its check:
        // a check that found everything current has used part of it.
        const uint64_t lAddress = lOnboardExpanderSasAddress();
        const uint64_t lCheckStart = lGetTickCount();
        (void)fVSC7156_StartupCheck(static_cast<uint32_t>(lAddress >> 32), static_cast<uint32_t>(lAddress));
        const uint64_t lCheckMs = lGetTickCount() - lCheckStart;
        if (lCheckMs < EXPANDER_CHECK_SETTLE_MS) SpinDelayMs(static_cast<uint32_t>(EXPANDER_CHECK_SETTLE_MS - lCheckMs));
    }

    SetSASPortWaitFlag(FALSE);
    a.fIocUp = fAllPortsUp();
    if (fRestart != TRUE && a.fIocUp == TRUE) WaitWhilePortWait();
    SetDrivePortReady(PORT_CODE_INITIATOR, a.fIocUp);
    // Replies and the doorbell both interrupt from now on: a FAULT is seen
    // by the doorbell check even when no reply follows it.
    Reg32Write(a.sInterface.pdHostIntMask, 0);
    return STATUS_OK;
}

}  // namespace

uint8_t bSelectSASBoardLayout(uint8_t bBoardType, uint8_t bBackplane, LSI_SAS_BOARD_LAYOUT* psLayout) {
    uint8_t fSlotBackplane = ToFlag(bBackplane == 0 || bBackplane == 6);
    switch (bBoardType) {
    case 6:
    case 10:
        *psLayout = {static_cast<uint8_t>(fSlotBackplane == TRUE ? 1 : 2), 0, 3, {1, 2}};
        return STATUS_OK;
    case 11:
    case 12:
    case 13:
        *psLayout = {static_cast<uint8_t>(fSlotBackplane == TRUE ? 3 : 4), 2, 3, {1, 0}};
        return STATUS_OK;
    case 16:
    case 17:
        *psLayout = {5, 4, LSI_NO_PHY, {2, 0}};
        return STATUS_OK;
    default:
        return 0;
    }
}

const LSI_SAS_BOARD_LAYOUT* pGetSASBoardLayout() { return &s_sBoardLayout; }

LSI_SAS_DRIVE_ADAPTER* psGetLSIAdapter(uint8_t bIocId) { return bIocId == LSI_IOC_DRIVE ? &s_sAdapter : nullptr; }
uint32_t dGetLSIFirmwareVersion() { return s_sAdapter.dFirmwareVersion; }

const LSI_SAS_DISCOVERY_PAGES* pGetSASDiscoveryPages() { return &s_sDiscoveryPages; }

uint8_t bSetUpSASBoardLayout(uint8_t bBoardType, uint8_t bBackplane) {
    return bSelectSASBoardLayout(bBoardType, bBackplane, &s_sBoardLayout);
}

uint8_t LSI_SAS_DriveIOCBringUp(uint8_t fRestart) {
    if (fRestart != TRUE) {
        ClearDriveTimerTable();
        SetDriveTimerPeriod(DRIVE_TIMER_PERIOD);
        SetCPLDControlBit3(FALSE);
        if (bSetUpSASBoardLayout(bGetBoardType(), bGetBackplaneType()) != STATUS_OK) return 0;
        InitSASDeviceTables();
        InitSASDiscoveryTables();
        InitSASEventState();
        InitSASCommandTimeouts();
        InitSASSlotPhyActions();
        InitSASActiveActive();
        if (bTakeDiscoveryPages() != STATUS_OK || bTakeSMPPage() != STATUS_OK) return 0;
    } else {
        // The lists stay for discovery to rebuild; what the old IOC knew of
        // each target and phy does not.
        ClearSASPhyStateOnRestart();
        ClearSASTargetFlagsAndHoldOffs();
        SetSASDiscoveryInProgress(FALSE);
    }
    ResetSASDiscoveryBookkeeping();
    s_sAdapter.fIocUp = FALSE;
    SetDrivePortReady(PORT_CODE_INITIATOR, FALSE);

    SetSASActiveActiveState(0);
    if (dPciRead(0) != LSI_DRIVE_PCI_ID) return 0;
    SetSASActiveActiveState(dPciRead(8));
    uint8_t bRevision = static_cast<uint8_t>(dPciRead(8));
    uint32_t dLength = 0;
    const uint8_t* pbCarried = pGetDriveIOCImage(bRevision, &dLength);
    if (pbCarried == nullptr) {
        ConsolePrintf("No Firmware Image for LSI106E revision %02x", bRevision);
        return 0;
    }
    MPI_FW_IMAGE_HEADER sHeader;
    std::memcpy(&sHeader, pbCarried, sizeof sHeader);
    if (sHeader.dImageSize > LSI_MAX_FIRMWARE_IMAGE_BYTES || dLength > LSI_MAX_FIRMWARE_IMAGE_BYTES) return 0;
    // The image goes through the staging area, not pages: at a start the
    // cache kept over a power cut may leave no run of them free.
    const BUFFER_HANDLE dImagePages = dGetImageStagingArea();
    if (dImagePages == NULL_BUFFER_HANDLE) return 0;
    uint8_t* pbImage = static_cast<uint8_t*>(pBufferHandleToPointer(dImagePages));
    std::memcpy(pbImage, pbCarried, dLength);

    if (bStartIoc(fRestart, pbImage, dImagePages) != STATUS_OK) return 0;
    if (fRestart == TRUE) return s_sAdapter.fIocUp == TRUE ? STATUS_OK : 0;

    if (fIsPartnerAlive() == TRUE) SpinDelayMs(PARTNER_SETTLE_MS);
    if (s_sAdapter.fIocUp != TRUE) return 0;
    ClearSASDiscoveryState();
    SetSASDriveSideHoldOff(lGetTickCount());
    SpinDelayMs(fIsModelZ7Q3() == TRUE ? 40000 : fIsZ8Q2Controller() == TRUE ? 30000 : 20000);
    for (uint8_t i = 0; i < START_OF_DAY_DISCOVERIES; ++i) {
        if (bDiscoverSASExpanders(FALSE) != SAS_DISCOVERY_RETRY) break;
        SpinDelayMs(DISCOVERY_RETRY_MS);
    }
    RebuildSASDeviceList(FALSE);
    return STATUS_OK;
}

uint8_t bRestartDriveIOC() {
    uint8_t bResult = 0;
    for (uint8_t bTry = 0; bTry < RESTART_TRIES && bResult != STATUS_OK; ++bTry) {
        KernelPoolLock sLock;
        Reg32Write(s_sAdapter.sInterface.pdDoorbell, IO_UNIT_RESET_DOORBELL);
        bResult = LSI_SAS_DriveIOCBringUp(TRUE);
    }
    if (bResult != STATUS_OK) PostEvent(EVENT_IOC_FAULT, 5, 16, 0, 0, 4);
    CancelPartnerTrafficOnDriveIOC();
    if (fIsDualControllerActive() != TRUE) DropPartnerDeviceEntries();
    return bResult;
}

void ResetLSIDriveIOC() {
    s_sAdapter.fIocUp = FALSE;
    (void)bLSIHardResetIOC(LSI_IOC_DRIVE);
}

// The reset, shutdown and halt paths stop the drive side this way.
void StopDriveSideSasController() { ResetLSIDriveIOC(); }

void MarkTargetCmdBufferForRepost(uint8_t bIocId, uint16_t wBufferIndex) {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(bIocId);
    if (a == nullptr || wBufferIndex >= LSI_CMD_BUFFER_HANDLES || a->awCmdBufferHandle[wBufferIndex] == LSI_NO_HANDLE) {
        return;
    }
    s_adRepostBitmap[wBufferIndex / 32] |= 1u << (wBufferIndex % 32);
    s_fRepostPending = TRUE;
}

void RepostTargetCmdBuffers(uint8_t bIocId) {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(bIocId);
    if (a == nullptr) return;
    uint8_t bLock = LockInterruptSource(INT_SOURCE_DRIVE_SIDE);
    uint16_t wNext = 0;
    while (wNext < LSI_CMD_BUFFER_HANDLES) {
        uint8_t* pbFrame = nullptr;
        uint16_t wIndex = LSI_NO_HANDLE;
        // No frame now: the marks stay and the next pass sends them.
        if (bAllocLSIRequestFrame(bIocId, &pbFrame, &wIndex, FALSE) != STATUS_OK) break;
        auto* psList = reinterpret_cast<MPI_TARGET_CMD_BUF_LIST_POST_REQUEST*>(pbFrame);
        psList->bFunction = MPI_FUNCTION_TARGET_CMD_BUF_LIST_POST;
        uint16_t wCount = 0;
        for (; wNext < LSI_CMD_BUFFER_HANDLES && wCount < MPI_TARGET_CMD_BUF_LIST_MAX; ++wNext) {
            // Every pass comes here, mostly with nothing marked: a clear
            // word is passed over whole.
            if (s_adRepostBitmap[wNext / 32] == 0) {
                wNext |= 31;
                continue;
            }
            uint32_t dBit = 1u << (wNext % 32);
            if (!(s_adRepostBitmap[wNext / 32] & dBit)) continue;
            psList->awIoIndex[wCount++] = wNext;
            a->awCmdBufferHandle[wNext] = LSI_NO_HANDLE;
            a->awCmdBufferHandle2[wNext] = LSI_NO_HANDLE;
            s_adRepostBitmap[wNext / 32] &= ~dBit;
        }
        if (wCount == 0) break;  // the frame was only taken, never posted
        psList->wCmdBufferCount = wCount;
        (void)qPostLSIRequest(bIocId, pbFrame, wIndex, REQUEST_TIMEOUT_MS, FALSE);
        OrLSIRequestFlags(bIocId, wIndex, LSI_REQUEST_CMD_BUF_LIST_POST);
    }
    uint8_t fLeft = FALSE;
    for (uint32_t d : s_adRepostBitmap) {
        if (d != 0) fLeft = TRUE;
    }
    s_fRepostPending = fLeft;
    if (bLock != INT_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_DRIVE_SIDE);
}

uint8_t fIsTargetCmdBufferRepostPending(uint8_t bIocId) {
    return psGetLSIAdapter(bIocId) == nullptr ? FALSE : s_fRepostPending;
}

}  // namespace fw
