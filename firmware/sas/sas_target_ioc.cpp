// The SAS host ports' IOC: bring-up, request frames, command buffers and
// the interrupt-level reply handling.
#include "sas/sas_target.h"

#include <cstddef>
#include <cstring>

#include "config/apply_settings.h"
#include "eventlog/event_log.h"
#include "executive/interrupt_controller.h"
#include "executive/port_codes.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "hw/pci_ids.h"
#include "platform/pci.h"
#include "sas/drive_ioc_images.h"
#include "sas/sas_drive.h"
#include "sas/sas_target_commands.h"
#include "sas/sas_target_ports.h"

namespace fw {

namespace {

constexpr uint32_t SAS_TARGET_PCI_ID = static_cast<uint32_t>(PCI_DEVICE_SAS_TARGET) << 16 | PCI_VENDOR_SAS;
constexpr uint16_t PCI_COMMAND = 0x0145;
constexpr uint32_t PCI_CACHE_LINE_LATENCY = 0x4010;
constexpr uint32_t CONFIG_PAGES = 1;
constexpr uint32_t HOST_LIST_PAGES = 3;
constexpr uint32_t MAX_IMAGE_BYTES = 256 * 1024;   // an image, and what the IOC uploads of it
static_assert(MAX_IMAGE_BYTES <= IMAGE_STAGING_BYTES, "the target IOC's image fits the staging area");
constexpr uint32_t LEAVE_RESET_TIMEOUT_MS = 10000;
constexpr uint8_t MANUFACTURING_PAGE = 5;
constexpr uint32_t MANUFACTURING_ADDRESS = 4;
constexpr uint32_t MANUFACTURING_FLAG_BYTE = 27;
constexpr uint32_t BIOS_IOC_SETTINGS = 0x8030;
constexpr uint8_t PHY_DISABLED = 0x04;
constexpr uint32_t CONTROLLER_PHY_INFO = 0x401;
constexpr uint8_t EVENT_IOC_FAULT = 1;
constexpr uint8_t FAULT_TARGET_IOC = 4;
constexpr uint32_t CONTEXT_FREE = 0xFFFFFFFF;

// The registers are known before bring-up so that a handshake sent early
// reaches the chip rather than address 0.
constexpr LSI_SAS_TARGET_IOC InitialIoc() {
    LSI_SAS_TARGET_IOC s{};
    s.sInterface = LSIRegisterPointers(PCI_SAS_TARGET_REGISTER_BASE);
    return s;
}
LSI_SAS_TARGET_IOC s_sIoc = InitialIoc();
uint8_t s_bState = SAS_TARGET_ABSENT;
uint8_t s_fRepostRequested = FALSE;
uint32_t s_adRepostBitmap[SAS_TARGET_REPOST_WORDS];
uint32_t s_dSpurious = 0;
uint32_t s_dDroppedReplies = 0;

uint8_t* pbAt(CPU_ADDRESS d) { return static_cast<uint8_t*>(pCpuAddressToPointer(d)); }

uint32_t dPciRead(uint16_t wOffset) {
    return dPciConfigRead32(PCI_BUS_PRIMARY, PCI_DEVICE_HOST_CHIP1, 0, wOffset);
}

void PciWrite(uint16_t wOffset, uint32_t dValue) {
    PciConfigWrite32(PCI_BUS_PRIMARY, PCI_DEVICE_HOST_CHIP1, 0, wOffset, dValue);
}

uint8_t fIsTargetPort(uint8_t bPort) { return ToFlag(bPort == LSI_IOC_TARGET_1 || bPort == LSI_IOC_TARGET_2); }

uint8_t fFrameInUse(uint16_t wIndex) { return ToFlag((s_sIoc.adInUse[wIndex / 32] >> (wIndex % 32)) & 1u); }

uint8_t* pbRequestFrame(uint16_t wIndex) {
    return pbAt(s_sIoc.dRequestFrames + static_cast<uint32_t>(SAS_TARGET_REQUEST_FRAME_BYTES) * wIndex);
}

void ClearRequestInfo(SAS_TARGET_REQUEST_INFO* r) {
    r->lDeadline = 0;
    r->lStart = 0;
    r->dMsgContext = CONTEXT_FREE;
    r->bFlags = 0;
    r->bFreed = 0xFF;
}

void ClearIoInfo(SAS_TARGET_IO_INFO* p) {
    p->wOwner = SAS_IO_OWNER_NONE;
    p->wTag = 0;
    p->wRequest = SAS_NO_FRAME;
    p->bPort = 0;
}

void ClearRequestTables() {
    LSI_SAS_TARGET_IOC& a = s_sIoc;
    std::memset(a.adInUse, 0, sizeof a.adInUse);
    for (SAS_TARGET_REQUEST_INFO& r : a.asRequest) ClearRequestInfo(&r);
    for (SAS_TARGET_IO_INFO& p : a.asIo) ClearIoInfo(&p);
    a.wRequestsInUse = 0;
    a.wNextSearch = 0;
    std::memset(s_adRepostBitmap, 0, sizeof s_adRepostBitmap);
    s_fRepostRequested = FALSE;
    ClearDeferredSASTargetRequests();
}

uint8_t bCarveRegion() {
    LSI_SAS_TARGET_IOC& a = s_sIoc;
    if (a.dRegion == NULL_BUFFER_HANDLE &&
        bAllocDataPages(0, SAS_TARGET_REGION_BYTES / BUFFER_PAGE_SIZE, &a.dRegion) != STATUS_OK) {
        a.dRegion = NULL_BUFFER_HANDLE;
        return 0;
    }
    const CPU_ADDRESS dBase = dBufferHandleToCpuAddress(a.dRegion);
    a.dRequestFrames = dBase + SAS_TARGET_REGION_REQUEST_FRAMES;
    a.dReplyFrames = dBase + SAS_TARGET_REGION_REPLY_FRAMES;
    a.dCmdBuffers = dBase + SAS_TARGET_REGION_CMD_BUFFERS;
    a.dResponseBuffers = dBase + SAS_TARGET_REGION_RESPONSES;
    a.dHostPageBuffer = dBase + SAS_TARGET_REGION_HOST_PAGES;
    return STATUS_OK;
}

// A firmware image is loaded only when its header is whole and the sizes it
// gives fit the bytes carried.
uint8_t fIsImageWhole(const uint8_t* pbImage, uint32_t dLength) {
    if (pbImage == nullptr || dLength < sizeof(MPI_FW_IMAGE_HEADER) || dLength > MAX_IMAGE_BYTES) return FALSE;
    MPI_FW_IMAGE_HEADER h;
    std::memcpy(&h, pbImage, sizeof h);
    return ToFlag(h.dImageSize >= sizeof h && h.dImageSize <= dLength);
}

// The IOC leaves RESET once the loaded image runs; one that never does
// fails the bring-up rather than holding start-up forever.
uint8_t bWaitLeaveReset() {
    for (uint32_t dMs = 0; dMs < LEAVE_RESET_TIMEOUT_MS; ++dMs) {
        const uint32_t dState = (Reg32Read(s_sIoc.sInterface.pdDoorbell) & MPI_DOORBELL_STATE_MASK) >>
                                MPI_DOORBELL_STATE_SHIFT;
        if (dState != MPI_IOC_STATE_RESET) return STATUS_OK;
        SpinDelayMs(1);
    }
    return 0;
}

uint8_t bIocFacts(BUFFER_HANDLE dUploadPages) {
    LSI_SAS_TARGET_IOC& a = s_sIoc;
    MPI_IOC_FACTS_REPLY sFacts{};
    if (bLSIIocFacts(LSI_IOC_TARGET_1, &sFacts) != STATUS_OK) return 0;
    a.wRequestFrameBytes = SAS_TARGET_REQUEST_FRAME_BYTES;
    a.wReplyFrameBytes = SAS_TARGET_REPLY_FRAME_BYTES;
    a.wIocRequestFrameBytes = static_cast<uint16_t>(sFacts.wRequestFrameSize * 4u);
    a.wGlobalCredits = sFacts.wGlobalCredits;
    a.wRequestFrames = sFacts.wGlobalCredits < SAS_TARGET_MAX_REQUEST_FRAMES ? sFacts.wGlobalCredits
                                                                             : SAS_TARGET_MAX_REQUEST_FRAMES;
    a.bNumberOfPorts = sFacts.bNumberOfPorts;
    a.dFirmwareVersion = sFacts.dFWVersion;
    a.dHostPageBufferBytes = sFacts.dHostPageBufferFlagsLength & MPI_SGE_LENGTH_MASK;
    if (a.wRequestFrames <= SAS_TARGET_RESERVED_FRAMES ||
        SAS_TARGET_REGION_HOST_PAGES + a.dHostPageBufferBytes > SAS_TARGET_REGION_BYTES) {
        return 0;
    }
    if ((sFacts.bFlags & MPI_IOCFACTS_FLAGS_FW_DOWNLOAD_BOOT) && sFacts.dFWImageSize != 0) {
        if (sFacts.dFWImageSize > MAX_IMAGE_BYTES) return 0;
        if (bLSIUploadFirmware(LSI_IOC_TARGET_1, sFacts.dFWImageSize, dUploadPages) != STATUS_OK) return 0;
    }
    return STATUS_OK;
}

uint8_t bConfigStep(uint8_t fWrite, uint8_t fExtended, uint8_t bType, uint8_t bNumber, BUFFER_HANDLE dBuffer) {
    return bLSIConfigPageCurrent(LSI_IOC_TARGET_1, fWrite, fExtended, bType, bNumber, dBuffer, BUFFER_PAGE_SIZE);
}

void PutWord(uint8_t* pb, uint32_t d) { std::memcpy(pb, &d, 4); }

// The IOC's own SAS address, and its settings word.
uint8_t bConfigureIoc(BUFFER_HANDLE dPage) {
    uint8_t* pb = static_cast<uint8_t*>(pBufferHandleToPointer(dPage));
    if (bConfigStep(FALSE, FALSE, MPI_CONFIG_PAGETYPE_MANUFACTURING, MANUFACTURING_PAGE, dPage) != STATUS_OK) return 0;
    uint8_t abWwn[8] = {};
    (void)pGetControllerWWN(abWwn);
    const uint64_t lAddress = lMakeSASTargetAddress(abWwn, bGetControllerNumber(), 0);
    PutWord(pb + MANUFACTURING_ADDRESS, static_cast<uint32_t>(lAddress));
    PutWord(pb + MANUFACTURING_ADDRESS + 4, static_cast<uint32_t>(lAddress >> 32));
    PutWord(pb + MANUFACTURING_ADDRESS + 8, 0);
    if (bConfigStep(TRUE, FALSE, MPI_CONFIG_PAGETYPE_MANUFACTURING, MANUFACTURING_PAGE, dPage) != STATUS_OK) return 0;
    if (bConfigStep(FALSE, FALSE, MPI_CONFIG_PAGETYPE_BIOS, 1, dPage) != STATUS_OK) return 0;
    PutWord(pb + offsetof(MPI_BIOS_PAGE_1, dIOCSettings), BIOS_IOC_SETTINGS);
    if (bConfigStep(TRUE, FALSE, MPI_CONFIG_PAGETYPE_BIOS, 1, dPage) != STATUS_OK) return 0;
    if (bConfigStep(FALSE, FALSE, MPI_CONFIG_PAGETYPE_MANUFACTURING, MANUFACTURING_PAGE, dPage) != STATUS_OK) return 0;
    pb[MANUFACTURING_FLAG_BYTE] = 1;
    return bConfigStep(TRUE, FALSE, MPI_CONFIG_PAGETYPE_MANUFACTURING, MANUFACTURING_PAGE, dPage);
}

uint8_t bPortFacts() {
    MPI_PORT_FACTS_REPLY sFacts{};
    if (bLSIPortFacts(LSI_IOC_TARGET_1, &sFacts) != STATUS_OK) return 0;
    s_sIoc.wCmdBuffers = sFacts.wMaxPostedCmdBuffers < SAS_TARGET_MAX_CMD_BUFFERS ? sFacts.wMaxPostedCmdBuffers
                                                                                  : SAS_TARGET_MAX_CMD_BUFFERS;
    return s_sIoc.wCmdBuffers != 0 ? STATUS_OK : 0;
}

void PostReplyFrames() {
    for (uint32_t i = 0; i < SAS_TARGET_REPLY_FRAMES; ++i) {
        const CPU_ADDRESS d = s_sIoc.dReplyFrames + i * SAS_TARGET_REPLY_FRAME_BYTES;
        std::memset(pbAt(d), 0, SAS_TARGET_REPLY_FRAME_BYTES);
        Reg32Write(s_sIoc.sInterface.pdReplyQueue, static_cast<uint32_t>(dCpuAddressToPciAddress(d)));
    }
}

// The ports' phys as the stored settings want them: a phy of the port's
// disable mask is off, the speed setting caps or fixes the link rate.
uint8_t bWritePhySettings(BUFFER_HANDLE dPage) {
    if (bConfigStep(FALSE, TRUE, MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, dPage) != STATUS_OK) return 0;
    auto* ps = static_cast<MPI_SAS_IO_UNIT_PAGE_1*>(pBufferHandleToPointer(dPage));
    for (uint8_t bPhy = 0; bPhy < SAS_TARGET_PHYS; ++bPhy) {
        const uint8_t bPort = bPhy / SAS_TARGET_PHYS_PER_PORT;
        const uint8_t bCode = bPort == 0 ? LSI_IOC_TARGET_1 : LSI_IOC_TARGET_2;
        const uint8_t bMask = bGetHostPortConnectionSetting(bCode);
        const uint8_t bSpeed = bGetHostPortSpeedSetting(bCode);
        MPI_SAS_IO_UNIT1_PHY& p = ps->asPhy[bPhy];
        p.bPort = bPort;
        p.bPortFlags = 0;
        p.bPhyFlags = (bMask >> (bPhy % SAS_TARGET_PHYS_PER_PORT)) & 1u ? PHY_DISABLED : 0;
        p.bMaxMinLinkRate = bSpeed == 2 ? 0x99 : bSpeed == 1 ? 0x88 : 0x98;
        p.dControllerPhyDeviceInfo = CONTROLLER_PHY_INFO;
    }
    if (bConfigStep(TRUE, TRUE, MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, dPage) != STATUS_OK) return 0;
    return bConfigStep(FALSE, TRUE, MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, dPage);
}

// Every command buffer zeroed, and each port given its share.
uint8_t bPostCommandBufferBases() {
    LSI_SAS_TARGET_IOC& a = s_sIoc;
    std::memset(pbAt(a.dCmdBuffers), 0, static_cast<uint32_t>(SAS_TARGET_MAX_CMD_BUFFERS) * SAS_TARGET_CMD_BUFFER_BYTES);
    const uint8_t bPorts = a.bNumberOfPorts != 0 ? a.bNumberOfPorts : 1;
    const uint16_t wEach = static_cast<uint16_t>(a.wCmdBuffers / bPorts);
    for (uint8_t bPort = 0; bPort < bPorts; ++bPort) {
        uint8_t* pbFrame = nullptr;
        uint16_t wIndex = SAS_NO_FRAME;
        if (bGetTargetRequestFrame(LSI_IOC_TARGET_1, &pbFrame, &wIndex, TRUE) != STATUS_OK) return 0;
        MPI_TARGET_CMD_BUF_BASE_POST_REQUEST s{};
        s.bBufferPostFlags = 1;
        s.bPortNumber = bPort;
        s.bFunction = MPI_FUNCTION_TARGET_CMD_BUF_BASE_POST;
        s.wTotalCmdBuffers = wEach;
        s.dMsgContext = SAS_CONTEXT_IOC;
        s.wCmdBufferLength = SAS_TARGET_CMD_BUFFER_BYTES;
        s.dBaseAddressLow = dCpuAddressToPciAddress(a.dCmdBuffers + static_cast<uint32_t>(bPort) * wEach *
                                                                        SAS_TARGET_CMD_BUFFER_BYTES);
        std::memcpy(pbFrame, &s, sizeof s);
        PostTargetRequest(LSI_IOC_TARGET_1, pbFrame, wIndex, 15000, 0);
    }
    return STATUS_OK;
}

uint8_t bBringUp(BUFFER_HANDLE dConfigPage, BUFFER_HANDLE dStaging) {
    if (dPciRead(0) != SAS_TARGET_PCI_ID) return 0;
    PciWrite(0x04, PCI_COMMAND);
    PciWrite(0x0C, PCI_CACHE_LINE_LATENCY);
    PciWrite(0x10, 0);

    uint32_t dLength = 0;
    const uint8_t* pbImage = pGetSASTargetIOCImage(static_cast<uint8_t>(dPciRead(8)), &dLength);
    if (fIsImageWhole(pbImage, dLength) != TRUE) return 0;
    std::memcpy(pBufferHandleToPointer(dStaging), pbImage, dLength);
    if (bLSIDownloadFirmware(LSI_IOC_TARGET_1, static_cast<const uint8_t*>(pBufferHandleToPointer(dStaging)), TRUE) !=
        STATUS_OK) {
        return 0;
    }
    Reg32Write(s_sIoc.sInterface.pdHostIntMask, 0);
    if (bWaitLeaveReset() != STATUS_OK) return 0;
    if (bCarveRegion() != STATUS_OK || bIocFacts(dStaging) != STATUS_OK) return 0;
    if (bConfigureIoc(dConfigPage) != STATUS_OK ||
        bLSIIocInit(LSI_IOC_TARGET_1, s_sIoc.dHostPageBufferBytes != 0 ? 5 : 1, s_sIoc.dHostPageBufferBytes,
                    dCpuAddressToPciAddress(s_sIoc.dHostPageBuffer)) != STATUS_OK ||
        bPortFacts() != STATUS_OK) return 0;
    ClearRequestTables();
    PostReplyFrames();
    if (bWritePhySettings(dConfigPage) != STATUS_OK) return 0;
    if (bLSIEventNotificationOn(LSI_IOC_TARGET_1) != STATUS_OK) return 0;
    s_dSpurious = 0;
    s_dDroppedReplies = 0;
    if (bPostCommandBufferBases() != STATUS_OK) return 0;
    ResetSASTargetPorts();
    std::memset(pbAt(s_sIoc.dResponseBuffers), 0,
                static_cast<uint32_t>(SAS_TARGET_MAX_CMD_BUFFERS) * SAS_TARGET_RESPONSE_BYTES);
    return STATUS_OK;
}

}  // namespace

uint64_t lMakeSASTargetAddress(const uint8_t* pbWwn, uint8_t bController, uint8_t bPortFlag) {
    uint64_t lWwn = 0;
    for (uint8_t i = 0; i < 8; ++i) lWwn = lWwn << 8 | pbWwn[i];
    uint64_t l = (lWwn << 12) & 0x0FFFFFFFFFFFF000ull;
    l |= 5ull << 60;
    l |= bController == 2 ? 0x800 : 0x400;
    if (bPortFlag == 1) l |= 0x4;
    return l;
}

// Failure leaves the state below initialised: the ports are never enabled
// and start-up goes on without host ports.
uint8_t LSI_SAS_TargetInit() {
    BUFFER_HANDLE dConfigPage = NULL_BUFFER_HANDLE, dHostList = NULL_BUFFER_HANDLE;
    // The image goes through the staging area, not pages: at a start the
    // cache kept over a power cut may leave no run of them free.
    const BUFFER_HANDLE dStaging = dGetImageStagingArea();
    s_bState = SAS_TARGET_ABSENT;
    if (bAllocDataPages(0, CONFIG_PAGES, &dConfigPage) != STATUS_OK ||
        bAllocDataPages(0, HOST_LIST_PAGES, &dHostList) != STATUS_OK || dStaging == NULL_BUFFER_HANDLE) {
        s_bState = SAS_TARGET_FAILED;
    } else if (bBringUp(dConfigPage, dStaging) == STATUS_OK) {
        s_bState = SAS_TARGET_INITIALISED;
        SetSASTargetPortServiceRequest(FALSE);
        // Replies, events and new commands arrive by interrupt from now on.
        EnableInterruptSource0();
    } else {
        s_bState = SAS_TARGET_FAILED;
    }
    SetSASHostListPages(dHostList);
    SetSASConfigPageBuffer(dConfigPage);
    return STATUS_OK;
}

void ResetLSITargetIOC() {
    if (s_bState == SAS_TARGET_ABSENT) return;
    (void)bLSIHardResetIOC(LSI_IOC_TARGET_1);
}

void StopSasTargetController() { ResetLSITargetIOC(); }

LSI_SAS_TARGET_IOC* dGetSASTargetIocRecord(uint8_t bPort) {
    return fIsTargetPort(bPort) == TRUE ? &s_sIoc : nullptr;
}

uint8_t fIsSecondSASTargetPort(uint8_t bPort) { return ToFlag(bPort == LSI_IOC_TARGET_2); }
uint8_t bGetSASTargetState() { return s_bState; }
void SetSASTargetState(uint8_t bState) { s_bState = bState; }

// --- request frames ---------------------------------------------------------------

// The last frames stay for aborts, events and acknowledgements.
uint8_t bGetTargetRequestFrame(uint8_t bPort, uint8_t** ppbFrame, uint16_t* pwIndex, uint8_t fReserve) {
    LSI_SAS_TARGET_IOC& a = s_sIoc;
    *pwIndex = SAS_NO_FRAME;
    if (fIsTargetPort(bPort) != TRUE || a.wRequestFrames == 0) return STATUS_RETRY;
    if (fReserve != TRUE && a.wRequestsInUse > a.wRequestFrames - SAS_TARGET_RESERVED_FRAMES) {
        return STATUS_RETRY;
    }
    for (uint16_t n = 0; n < a.wRequestFrames; ++n) {
        const auto wIndex = static_cast<uint16_t>((a.wNextSearch + n) % a.wRequestFrames);
        if (fFrameInUse(wIndex) == TRUE) continue;
        a.wNextSearch = static_cast<uint16_t>((wIndex + 1) % a.wRequestFrames);
        *ppbFrame = pbRequestFrame(wIndex);
        std::memset(*ppbFrame, 0, SAS_TARGET_REQUEST_FRAME_BYTES);
        *pwIndex = wIndex;
        a.adInUse[wIndex / 32] |= 1u << (wIndex % 32);
        a.asRequest[wIndex].bFreed = 0;
        ++a.wRequestsInUse;
        return STATUS_OK;
    }
    return STATUS_RETRY;
}

void PostTargetRequest(uint8_t bPort, uint8_t* pbFrame, uint16_t wIndex, uint32_t dTimeoutMs, uint8_t bFlags) {
    LSI_SAS_TARGET_IOC& a = s_sIoc;
    if (fIsTargetPort(bPort) != TRUE || wIndex >= a.wRequestFrames || fFrameInUse(wIndex) != TRUE) return;
    uint32_t dContext;
    std::memcpy(&dContext, pbFrame + 8, 4);
    dContext = 0x80000000u | static_cast<uint32_t>(wIndex) << 16 | (dContext & 0xFFFF);
    std::memcpy(pbFrame + 8, &dContext, 4);
    SAS_TARGET_REQUEST_INFO& r = a.asRequest[wIndex];
    r.lStart = lGetTickCount();
    r.lDeadline = r.lStart + dTimeoutMs;
    r.dMsgContext = dContext;
    r.bFlags = bFlags;
    ++a.dRequestsPosted;
    const uint32_t dPci = static_cast<uint32_t>(dPciAddressOf(pbFrame));
    Reg32Write(bFlags & SAS_REQUEST_HIGH_PRIORITY ? a.sInterface.pdHighPriorityRequestQueue
                                                  : a.sInterface.pdRequestQueue,
               dPci);
}

void FreeTargetRequestFrame(uint8_t bPort, uint16_t wIndex) {
    LSI_SAS_TARGET_IOC& a = s_sIoc;
    if (fIsTargetPort(bPort) != TRUE || wIndex >= a.wRequestFrames || fFrameInUse(wIndex) != TRUE) return;
    a.adInUse[wIndex / 32] &= ~(1u << (wIndex % 32));
    if (a.wRequestsInUse > 0) --a.wRequestsInUse;
    ClearRequestInfo(&a.asRequest[wIndex]);
    // Requests waiting for a frame have one now.
    if (fHasDeferredSASTargetRequests() == TRUE) SetWorkPending(TRUE);
}

uint8_t bGetTargetRequestFlags(uint8_t bPort, uint16_t wIndex) {
    return fIsTargetPort(bPort) == TRUE && wIndex < s_sIoc.wRequestFrames ? s_sIoc.asRequest[wIndex].bFlags : 0;
}

void OrTargetRequestFlags(uint8_t bPort, uint16_t wIndex, uint8_t bBits) {
    if (fIsTargetPort(bPort) == TRUE && wIndex < s_sIoc.wRequestFrames) s_sIoc.asRequest[wIndex].bFlags |= bBits;
}

uint8_t bGetTargetRequestFrameAddress(uint8_t bPort, uint16_t wIndex, uint8_t** ppbFrame) {
    if (fIsTargetPort(bPort) != TRUE || wIndex >= s_sIoc.wRequestFrames) return 0;
    *ppbFrame = pbRequestFrame(wIndex);
    return STATUS_OK;
}

uint8_t bGetSASTargetResponseBuffer(uint8_t bPort, uint16_t wIoIndex, uint8_t** ppbBuffer) {
    if (fIsTargetPort(bPort) != TRUE || wIoIndex >= SAS_TARGET_MAX_CMD_BUFFERS) return 0;
    *ppbBuffer = pbAt(s_sIoc.dResponseBuffers + static_cast<uint32_t>(wIoIndex) * SAS_TARGET_RESPONSE_BYTES);
    return STATUS_OK;
}

// --- a request waited for -------------------------------------------------------------

namespace {

constexpr uint32_t WAITED_REQUEST_TIMEOUT_MS = 10000;
volatile uint8_t s_fHandshakeDone = FALSE;

}  // namespace

void SetSASTargetHandshakeDone(uint8_t f) { s_fHandshakeDone = f; }

// A request of the caller's words (up to a frame) through the request
// queue, waited for until the IOC's FACTS reply marks it done: STATUS_OK
// then, 0 when no frame was free or no reply came within 10 s.
uint8_t bSendSASTargetRequestAndWait(uint8_t bPort, const uint32_t* pdWords, uint8_t bCount) {
    if (fIsTargetPort(bPort) != TRUE || bCount * 4u > SAS_TARGET_REQUEST_FRAME_BYTES) return 0;
    {
        InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
        uint8_t* pbFrame = nullptr;
        uint16_t wIndex = SAS_NO_FRAME;
        if (bGetTargetRequestFrame(bPort, &pbFrame, &wIndex, TRUE) != STATUS_OK) return 0;
        std::memcpy(pbFrame, pdWords, bCount * 4u);
        s_fHandshakeDone = FALSE;
        PostTargetRequest(bPort, pbFrame, wIndex, WAITED_REQUEST_TIMEOUT_MS, 0);
    }
    const uint64_t lEnd = lGetTickCount() + WAITED_REQUEST_TIMEOUT_MS;
    while (s_fHandshakeDone != TRUE && lGetTickCount() < lEnd) HwPoll();
    return s_fHandshakeDone == TRUE ? STATUS_OK : 0;
}

// --- command buffer repost ---------------------------------------------------------

void SetSASTargetRepostRequest(uint8_t f) {
    s_fRepostRequested = f;
    if (f == TRUE) SetWorkPending(TRUE);
}

uint8_t fIsSASTargetRepostRequested() { return s_fRepostRequested; }

uint32_t dGetSASTargetRepostWord(uint16_t wWord) { return wWord < SAS_TARGET_REPOST_WORDS ? s_adRepostBitmap[wWord] : 0; }

void RequestCommandBufferRepost(uint8_t bPort, uint16_t wIoIndex) {
    if (fIsTargetPort(bPort) != TRUE || wIoIndex >= SAS_TARGET_MAX_CMD_BUFFERS) return;
    s_adRepostBitmap[wIoIndex / 32] |= 1u << (wIoIndex % 32);
    SetSASTargetRepostRequest(TRUE);
}

// The marked buffers go back to the IOC, up to 40 in each list.
void SASTargetRepostService(uint8_t bPort) {
    if (fIsTargetPort(bPort) != TRUE) return;
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    SetSASTargetRepostRequest(FALSE);
    MPI_TARGET_CMD_BUF_LIST_POST_REQUEST s{};
    auto send = [&] {
        uint8_t* pbFrame = nullptr;
        uint16_t wIndex = SAS_NO_FRAME;
        if (bGetTargetRequestFrame(bPort, &pbFrame, &wIndex, TRUE) != STATUS_OK) {
            // Try again on a later pass: the buffers stay marked.
            for (uint16_t i = 0; i < s.wCmdBufferCount; ++i) {
                s_adRepostBitmap[s.awIoIndex[i] / 32] |= 1u << (s.awIoIndex[i] % 32);
            }
            SetSASTargetRepostRequest(TRUE);
        } else {
            s.bFunction = MPI_FUNCTION_TARGET_CMD_BUF_LIST_POST;
            s.dMsgContext = SAS_CONTEXT_IOC;
            std::memcpy(pbFrame, &s, sizeof s);
            PostTargetRequest(bPort, pbFrame, wIndex, 15000, 0);
        }
        s = {};
    };
    for (uint16_t w = 0; w < SAS_TARGET_MAX_CMD_BUFFERS; ++w) {
        if (!((s_adRepostBitmap[w / 32] >> (w % 32)) & 1u)) continue;
        // A buffer whose abort still waits for a frame goes back after it
        // (posting the abort asks for this service again).
        if (fIsSASTargetRequestDeferred(w) == TRUE) continue;
        s_adRepostBitmap[w / 32] &= ~(1u << (w % 32));
        ClearIoInfo(&s_sIoc.asIo[w]);
        s.awIoIndex[s.wCmdBufferCount++] = w;
        if (s.wCmdBufferCount == MPI_TARGET_CMD_BUF_LIST_MAX) send();
    }
    if (s.wCmdBufferCount != 0) send();
}

// --- interrupt level ---------------------------------------------------------------

uint32_t dGetSASTargetDroppedReplies() { return s_dDroppedReplies; }
void CountSASTargetDroppedReply() { ++s_dDroppedReplies; }

void LSI_SAS_TargetInterruptEntry(uint8_t bIocId) {
    if (bIocId != LSI_IOC_TARGET_1) return;
    const uint32_t dStatus = Reg32Read(s_sIoc.sInterface.pdHostIntStatus);
    if (dStatus == 0) {
        ++s_dSpurious;
        return;
    }
    s_dSpurious = 0;
    Reg32Write(s_sIoc.sInterface.pdHostIntStatus, dStatus);
    if (dStatus & MPI_HIS_DOORBELL) LSI_SAS_TargetDoorbellHandler();
    if (dStatus & MPI_HIS_REPLY) LSI_SAS_TargetReplyHandler(bIocId);
}

void LSI_SAS_TargetDoorbellHandler() {
    const uint32_t dDoorbell = Reg32Read(s_sIoc.sInterface.pdDoorbell);
    if ((dDoorbell & MPI_DOORBELL_STATE_MASK) >> MPI_DOORBELL_STATE_SHIFT != MPI_IOC_STATE_FAULT) return;
    PostEvent(EVENT_IOC_FAULT, FAULT_TARGET_IOC, static_cast<uint8_t>(dDoorbell >> 24),
              static_cast<uint8_t>(dDoorbell >> 16), static_cast<uint8_t>(dDoorbell >> 8),
              static_cast<uint8_t>(dDoorbell));
    ResetController();
}

namespace {

// A reply frame is taken only from the port's own reply area, on a frame
// boundary: anything else in the FIFO is counted and dropped.
const uint8_t* pbReplyFrame(uint32_t dWord) {
    const CPU_ADDRESS dArea = s_sIoc.dReplyFrames;
    const uint32_t dPci = dWord << 1;
    const uint32_t dFirst = static_cast<uint32_t>(dCpuAddressToPciAddress(dArea));
    const uint32_t dOffset = dPci - dFirst;
    if (dPci < dFirst || dOffset >= SAS_TARGET_REPLY_FRAMES * SAS_TARGET_REPLY_FRAME_BYTES ||
        dOffset % SAS_TARGET_REPLY_FRAME_BYTES != 0) {
        return nullptr;
    }
    return pbAt(dArea + dOffset);
}

void FreeRequestOfContext(uint32_t dContext) {
    const auto wIndex = static_cast<uint16_t>((dContext >> 16) & 0x7FFF);
    if (wIndex >= s_sIoc.wRequestFrames) return;
    for (SAS_TARGET_IO_INFO& p : s_sIoc.asIo) {
        if (p.wRequest == wIndex) p.wRequest = SAS_NO_FRAME;
    }
    FreeTargetRequestFrame(LSI_IOC_TARGET_1, wIndex);
}

void AddressReply(uint32_t dWord) {
    const uint8_t* pb = pbReplyFrame(dWord);
    if (pb == nullptr) {
        ++s_dDroppedReplies;
        return;
    }
    MPI_REPLY_HEADER sHeader;
    std::memcpy(&sHeader, pb, sizeof sHeader);
    SASTargetAddressReply(pb);
    if (!(sHeader.bMsgFlags & MPI_MSGFLAGS_CONTINUATION_REPLY) || sHeader.bFunction == MPI_FUNCTION_EVENT_ACK) {
        FreeRequestOfContext(sHeader.dMsgContext);
    }
    Reg32Write(s_sIoc.sInterface.pdReplyQueue, dWord << 1);
}

}  // namespace

void LSI_SAS_TargetReplyHandler(uint8_t bIocId) {
    if (bIocId != LSI_IOC_TARGET_1) return;
    for (;;) {
        const uint32_t dWord = Reg32Read(s_sIoc.sInterface.pdReplyQueue);
        if (dWord == MPI_REPLY_FIFO_EMPTY) return;
        if (dWord & MPI_REPLY_ADDRESS_FLAG) {
            AddressReply(dWord);
        } else if ((dWord & MPI_REPLY_TYPE_MASK) == MPI_REPLY_TYPE_TARGET) {
            if (SASTargetContextReply(dWord) != TRUE) return;
        } else {
            ++s_dDroppedReplies;
        }
    }
}

}  // namespace fw
