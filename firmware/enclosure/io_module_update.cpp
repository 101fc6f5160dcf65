// The update of the expansion enclosures' I/O modules: the loaded image goes
// to every eligible enclosure's enclosure services device in segments of
// the download microcode control page, all enclosures in step, each segment
// retried, the whole update restarted when a segment keeps failing; once
// every enclosure has the whole image the controller resets to run with the
// new modules.
#include <algorithm>
#include <cstring>

#include "config/config_db.h"
#include "config/config_phase.h"
#include "enclosure/drive_management.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/io_module_firmware.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "hw/ses.h"
#include "enclosure/drive_table.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_UPDATE_STARTED = 126;
constexpr uint8_t EVENT_UPDATE_FINISHED = 127;
constexpr uint8_t EVENT_UPDATE_FAILED = 128;

constexpr uint8_t SES_PAGE_MICROCODE = 0x0E;
constexpr uint8_t MICROCODE_MODE_OFFSETS_SAVE = 0x07;
// One parameter list per enclosure: the page header, then up to 1000
// bytes of image data and the pad to a multiple of 4.
constexpr uint32_t LIST_BYTES = 1024;
constexpr uint32_t LISTS_PER_PAGE = BUFFER_PAGE_SIZE / LIST_BYTES;
constexpr uint32_t PAGE_HEADER_BYTES = 24;
constexpr uint32_t PAGE_LENGTH_BASE = 20;   // the header bytes past the length field
constexpr uint32_t SEGMENT_BYTES = 1000;
constexpr uint32_t MEDIUM_SEGMENT_BYTES = 500;
constexpr uint32_t SMALL_SEGMENT_BYTES = 24;
constexpr uint16_t FIRST_PAGE_LENGTH = 0x03FC;
constexpr uint32_t OFFSET_FIELD = 12;
constexpr uint32_t IMAGE_LENGTH_FIELD = 16;
constexpr uint32_t DATA_LENGTH_FIELD = 20;
// Under this many bytes still to send, the partner hears the update is
// nearly done.
constexpr uint32_t NEARLY_DONE_BYTES = 2000;

constexpr uint8_t SEGMENT_RETRIES = 3;     // four attempts per command
constexpr uint8_t MAX_RESTARTS = 2;         // the third failed attempt abandons
constexpr uint32_t RETRY_DELAY_MS = 5000;
constexpr uint16_t SEGMENT_TIMEOUT_S = 200;
constexpr uint16_t STATUS_TIMEOUT_S = 90;
constexpr uint16_t STATUS_ALLOCATION = 2048;
constexpr uint8_t STATUS_TRIES = 3;
constexpr uint16_t DATA_OUT = 0x44;
constexpr uint16_t DATA_IN = 0x24;

constexpr char KV4471_PRODUCT[] = "KV-4471-Vomaxe2 ";
constexpr uint32_t PRODUCT_BYTES = 16;

// One command per eligible enclosure, in one run of entries: entry k
// carries list k of the list pages.
struct UPDATE_RUN {
    KERNEL_ENTRY* psHead;
    uint16_t wCommands;
    uint16_t wOutstanding;
    BUFFER_HANDLE dLists;
    uint16_t wListPages;
    uint8_t abEnclosure[MAX_ENCLOSURES];
};

UPDATE_RUN s_sRun = {nullptr, 0, 0, NULL_BUFFER_HANDLE, 0, {}};
// Per enclosure: the SES device a restart goes back to, and the revision
// its modules ran before the update.
uint8_t s_abSesDevice[MAX_ENCLOSURES] = {};
uint8_t s_aabOldRevision[MAX_ENCLOSURES][4] = {};
uint8_t s_bEligible = 0;

uint8_t bTableCount() {
    const ENCLOSURE_TABLE* ps = pGetEnclosureTable();
    return ps == nullptr ? 0 : static_cast<uint8_t>(std::min<uint32_t>(ps->dTotalNoOfEnclosures, MAX_ENCLOSURES));
}

const uint8_t* pbConfigField(uint8_t bIndex, uint32_t dOffset) {
    return pGetEnclosureTable()->asEnclosure[bIndex].abConfigPage + dOffset;
}

const uint8_t* pbImage() {
    return static_cast<const uint8_t*>(pCpuAddressToPointer(CPU_ADDRESS{dGetEnclosureFirmwareImageAddress()}));
}

bool IsRawImage() {
    const uint8_t* pb = pbImage();
    return std::memcmp(pb, "QWRX", 4) == 0 || std::memcmp(pb, "QW39", 4) == 0;
}

uint32_t dImageLength() { return IsRawImage() ? dGetBe32(pbImage() + 8) : dGetEnclosureFirmwareImageLength(); }

bool IsEligible(uint8_t bIndex, bool fRaw) {
    if (bIndex == 0) return false;
    return fRaw == (fIsKV4471Enclosure(bIndex) == TRUE);
}

KERNEL_ENTRY* psCommand(uint16_t k) { return s_sRun.psHead + k; }
uint8_t* pbList(uint16_t k) {
    return static_cast<uint8_t*>(pBufferHandleToPointer(s_sRun.dLists)) + static_cast<uint32_t>(k) * LIST_BYTES;
}
uint16_t wCommandOf(const KERNEL_ENTRY* psEntry) { return static_cast<uint16_t>(psEntry - s_sRun.psHead); }

void SendPartnerNotice(uint8_t fInProgress) {
    if (fIsDualControllerActive() != TRUE) return;
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(IO_MODULE_MESSAGE_UPDATE_STATE);
    s.abCdb[2] = FALSE;
    s.abCdb[3] = fInProgress;
    uint16_t wSlot = PARTNER_NO_SLOT;
    (void)bSendMessageToPartner(&s, &wSlot, 0);
}

void ReleaseRun() {
    if (s_sRun.psHead != nullptr) FreeKernelEntries(s_sRun.psHead);
    if (s_sRun.dLists != NULL_BUFFER_HANDLE) (void)wFreeDataPages(s_sRun.dLists, s_sRun.wListPages);
    s_sRun = {nullptr, 0, 0, NULL_BUFFER_HANDLE, 0, {}};
}

void SegmentDone(KERNEL_ENTRY* psEntry);

// A segment out (again): its completion counts down the run.
void QueueSegment(KERNEL_ENTRY* psEntry) {
    psEntry->bPrimaryState = PS_NEW_COMMAND;
    psEntry->lFlags = 0;
    if (bQueuePhaseDriveCommand(psEntry, SegmentDone, FALSE) != STATUS_OK) {
        // The queue is full: the command goes out when the timer fires.
        InsertTimer(psEntry, [](KERNEL_ENTRY* ps, TIMER_NODE*) { QueueSegment(ps); }, 100);
    }
}

void BuildSegment(uint16_t k, uint32_t dTransfer) {
    const uint8_t bIndex = s_sRun.abEnclosure[k];
    const uint8_t abCdb[10] = {SCSI_SEND_DIAGNOSTIC, 0x10, 0, static_cast<uint8_t>(dTransfer >> 8),
                               static_cast<uint8_t>(dTransfer), 0};
    KERNEL_ENTRY* ps = psCommand(k);
    BuildDriveCommand(ps, PORT_CODE_INITIATOR, s_abSesDevice[bIndex], SEGMENT_TIMEOUT_S, DATA_OUT, dTransfer, 1,
                      static_cast<uint32_t>(dPciAddressOf(pbList(k))), abCdb, DRIVE_COMMAND_TYPE_SEND_DIAGNOSTIC);
    ps->bRetryCount = SEGMENT_RETRIES;
}

// Fills list k with the segment at an offset of the image: the data, its
// pad of zeros, the page length; the transfer length of the command.
uint32_t dFillSegment(uint16_t k, uint32_t dOffset, uint32_t dData) {
    uint8_t* pb = pbList(k);
    const uint32_t dPad = (4 - dData % 4) % 4;
    PutBe16(pb + 2, static_cast<uint16_t>(dData + dPad + PAGE_LENGTH_BASE));
    PutBe32(pb + OFFSET_FIELD, dOffset);
    PutBe32(pb + DATA_LENGTH_FIELD, dData);
    std::memset(pb + PAGE_HEADER_BYTES, 0, LIST_BYTES - PAGE_HEADER_BYTES);
    std::memcpy(pb + PAGE_HEADER_BYTES, pbImage() + dOffset, dData);
    return dData + dPad + PAGE_HEADER_BYTES;
}

// The enclosure's download status, read on boards whose enclosures keep
// one, before a failed segment goes out again.
struct STATUS_READ {
    KERNEL_ENTRY* psSegment;
    KERNEL_ENTRY* psRead;
    BUFFER_HANDLE dPage;
};
STATUS_READ s_asStatusRead[MAX_ENCLOSURES] = {};

void StatusReadDone(KERNEL_ENTRY* psEntry);

uint8_t bSendStatusRead(uint16_t k, KERNEL_ENTRY* psRead) {
    const uint8_t abCdb[10] = {SCSI_RECEIVE_DIAGNOSTIC, 0x01, SES_PAGE_MICROCODE,
                               static_cast<uint8_t>(STATUS_ALLOCATION >> 8), static_cast<uint8_t>(STATUS_ALLOCATION), 0};
    BuildDriveCommand(psRead, PORT_CODE_INITIATOR, s_abSesDevice[s_sRun.abEnclosure[k]], STATUS_TIMEOUT_S, DATA_IN,
                      STATUS_ALLOCATION, 1, static_cast<uint32_t>(dBufferHandleToPciAddress(s_asStatusRead[k].dPage)),
                      abCdb, DRIVE_COMMAND_TYPE_SEND_DIAGNOSTIC);
    psRead->bRetryCount = STATUS_TRIES - 1;
    return bQueuePhaseDriveCommand(psRead, StatusReadDone, FALSE);
}

void FinishStatusRead(uint16_t k, KERNEL_ENTRY* psRead) {
    STATUS_READ& s = s_asStatusRead[k];
    KERNEL_ENTRY* psSegment = s.psSegment;
    if (s.dPage != NULL_BUFFER_HANDLE) (void)wFreeDataPages(s.dPage, 1);
    if (psRead != nullptr) FreeKernelEntries(psRead);
    s = {nullptr, nullptr, NULL_BUFFER_HANDLE};
    QueueSegment(psSegment);
}

void StatusReadDone(KERNEL_ENTRY* psRead) {
    uint16_t k = 0;
    while (k < s_sRun.wCommands && s_asStatusRead[k].psRead != psRead) ++k;
    if (k == s_sRun.wCommands) {
        FreeKernelEntries(psRead);
        return;
    }
    ConsolePrintf("Parent pointer restored:%08x", static_cast<uint32_t>(dCpuAddressOf(s_sRun.psHead)));
    if (fPhaseDriveCommandGood(psRead) != TRUE) {
        if (psRead->bRetryCount != 0) {
            --psRead->bRetryCount;
            psRead->bPrimaryState = PS_NEW_COMMAND;
            psRead->lFlags = 0;
            if (bQueuePhaseDriveCommand(psRead, StatusReadDone, FALSE) == STATUS_OK) return;
        }
        FinishStatusRead(k, psRead);
        return;
    }
    const uint8_t* pb = static_cast<const uint8_t*>(pBufferHandleToPointer(s_asStatusRead[k].dPage));
    ConsolePrintf("Microcode Download Page \n");
    ConsolePrintf("Enclosure Indentifier: %d\n", pb[9]);
    ConsolePrintf("Microcode Status     : %02x\n", pb[10]);
    ConsolePrintf("Additional Status    : %02x\n", pb[11]);
    ConsolePrintf("Maximum Size        : %d\n", dGetBe32(pb + 12));
    ConsolePrintf("Expected Buffer ID  : %02x\n", pb[19]);
    ConsolePrintf("Exp. Buffer Offset  : %02x\n", dGetBe32(pb + 20));
    ConsolePrintf("Re-Start this entry after checking the status.\n");
    FinishStatusRead(k, psRead);
}

// A failed segment goes out again after a pause; where the enclosure keeps
// a download status it is read first, for the operator.
void ReissueSegment(KERNEL_ENTRY* psEntry, TIMER_NODE*) {
    const uint16_t k = wCommandOf(psEntry);
    if (fIsZ8Q2Controller() != TRUE) {
        QueueSegment(psEntry);
        return;
    }
    STATUS_READ& s = s_asStatusRead[k];
    KERNEL_ENTRY* psRead = nullptr;
    if (bAllocDataPages(0, 1, &s.dPage) != STATUS_OK) s.dPage = NULL_BUFFER_HANDLE;
    if (s.dPage == NULL_BUFFER_HANDLE || bAllocKernelEntries(PORT_CODE_INITIATOR, 1, &psRead) != STATUS_OK) {
        ConsolePrintf("No resources, just start the command \n");
        if (s.dPage != NULL_BUFFER_HANDLE) (void)wFreeDataPages(s.dPage, 1);
        s = {nullptr, nullptr, NULL_BUFFER_HANDLE};
        QueueSegment(psEntry);
        return;
    }
    s.psSegment = psEntry;
    s.psRead = psRead;
    ConsolePrintf("Save parent Pointer:%08x\n", static_cast<uint32_t>(dCpuAddressOf(s_sRun.psHead)));
    if (bSendStatusRead(k, psRead) != STATUS_OK) FinishStatusRead(k, psRead);
}

void Abandon() {
    SetSesDeviceBusy(FALSE);
    SetEnclosureFirmwareImageValid(FALSE);
    SetEnclosureFirmwareImageLoading(FALSE);
    SetEnclosureFirmwareUpdateInProgress(FALSE);
    SetEnclosureFirmwareUpdateRestart(FALSE);
    SetEnclosureFirmwareUpdateAttempts(0);
    SendPartnerNotice(FALSE);
}

void Finish() {
    const uint32_t dVersion = dGetEnclosureFirmwareImageVersion();
    for (uint16_t k = 0; k < s_sRun.wCommands; ++k) {
        const uint8_t bIndex = s_sRun.abEnclosure[k];
        const uint8_t* pbOld = s_aabOldRevision[bIndex];
        ConsolePrintf("\nDisk IO Module firmware update completed successfully, this controller will now reset.\n\n");
        PostEvent(EVENT_UPDATE_FINISHED, static_cast<uint8_t>(bIndex + 1), s_bEligible, pbOld[0], pbOld[1], pbOld[2],
                  pbOld[3], static_cast<uint8_t>(dVersion >> 24), static_cast<uint8_t>(dVersion >> 16),
                  static_cast<uint8_t>(dVersion >> 8), static_cast<uint8_t>(dVersion));
    }
    ReleaseRun();
    // The operator is to read the lines above before the console goes.
    while (fGetConsoleLogPending() == TRUE) DrainConsoleLog();
    // Every segment has been answered: nothing is in flight that the reset
    // could cut, and the write journals stay for the replay.
    ResetControllerKeepJournals();
}

void SegmentDone(KERNEL_ENTRY* psEntry) {
    if (s_sRun.psHead == nullptr || psEntry < s_sRun.psHead || wCommandOf(psEntry) >= s_sRun.wCommands) return;
    if (s_sRun.wOutstanding != 0) --s_sRun.wOutstanding;
    if (s_sRun.wOutstanding != 0) return;

    // A segment out of tries starts the whole update over; failed segments
    // with tries left go out again, and the run moves on only when every
    // enclosure has taken its segment.
    for (uint16_t k = 0; k < s_sRun.wCommands; ++k) {
        KERNEL_ENTRY* ps = psCommand(k);
        if (fPhaseDriveCommandGood(ps) == TRUE || ps->bRetryCount != 0) continue;
        PostEvent(EVENT_UPDATE_FAILED);
        ReleaseRun();
        SetEnclosureFirmwareUpdateRestart(TRUE);
        if (bGetEnclosureFirmwareUpdateAttempts() > MAX_RESTARTS) {
            Abandon();
            return;
        }
        SetEnclosureFirmwareUpdateAttempts(static_cast<uint8_t>(bGetEnclosureFirmwareUpdateAttempts() + 1));
        (void)bStartEnclosureFirmwareUpdate();
        return;
    }
    for (uint16_t k = 0; k < s_sRun.wCommands; ++k) {
        KERNEL_ENTRY* ps = psCommand(k);
        if (fPhaseDriveCommandGood(ps) == TRUE) continue;
        --ps->bRetryCount;
        ++s_sRun.wOutstanding;
        InsertTimer(ps, ReissueSegment, RETRY_DELAY_MS);
    }
    if (s_sRun.wOutstanding != 0) {
        ConsolePrintf("Retry Detected \n");
        return;
    }

    const uint32_t dLength = dImageLength();
    uint32_t dNewOffset = dLength;
    bool afNext[MAX_ENCLOSURES] = {};
    for (uint16_t k = 0; k < s_sRun.wCommands; ++k) {
        uint8_t* pb = pbList(k);
        const uint32_t dOldData = dGetBe32(pb + DATA_LENGTH_FIELD);
        const uint32_t dOffset = dGetBe32(pb + OFFSET_FIELD) + dOldData;
        // The closing segment of no data was answered: this enclosure has it all.
        if (dOldData == 0 && dOffset >= dLength) continue;
        dNewOffset = std::min(dNewOffset, dOffset);
        BuildSegment(k, dFillSegment(k, dOffset, std::min(dLength - dOffset, SEGMENT_BYTES)));
        afNext[k] = true;
        ++s_sRun.wOutstanding;
    }
    if (s_sRun.wOutstanding == 0) {
        Finish();
        return;
    }
    for (uint16_t k = 0; k < s_sRun.wCommands; ++k)
        if (afNext[k]) QueueSegment(psCommand(k));
    if (dNewOffset < dLength) {
        if (fIsEnclosureFirmwareUpdateQuiet() != TRUE) ConsolePrintf(".");
        if (dLength - dNewOffset < NEARLY_DONE_BYTES) SendPartnerNotice(FALSE);
    }
}

// The elements of an enclosure whose modules report themselves in their
// element descriptors: supplies, canisters and the enclosure itself.
void ShowKV4471Elements(uint8_t bIndex) {
    const ENCLOSURE& s = pGetEnclosureTable()->asEnclosure[bIndex];
    const uint8_t* pbConfig = s.abConfigPage;
    const uint8_t* pbText = s.abDescriptorPage;
    if (pbConfig[0] != SES_PAGE_CONFIGURATION || pbText[0] != SES_PAGE_DESCRIPTOR) return;
    const uint32_t dConfigBytes = std::min<uint32_t>(dSesPageBytes(pbConfig), ENCLOSURE_CONFIG_COPY_BYTES);
    const uint32_t dTextBytes = std::min<uint32_t>(dSesPageBytes(pbText), ENCLOSURE_DESCRIPTOR_COPY_BYTES);
    uint32_t dHeader = SES_CONFIG_IDENTIFIER_OFFSET + pbConfig[SES_CONFIG_DESCRIPTOR_LENGTH_OFFSET];
    uint32_t dDescriptor = SES_PAGE_HEADER_BYTES;
    uint8_t bSupply = 0, bCanister = 0;
    // Each descriptor: 2 reserved bytes, its text length, the text.
    auto next = [&](const char** ppc, uint32_t* pdLength) {
        if (dDescriptor + 4 > dTextBytes) return false;
        uint32_t dLength = static_cast<uint32_t>(pbText[dDescriptor + 2]) << 8 | pbText[dDescriptor + 3];
        dLength = std::min(dLength, dTextBytes - dDescriptor - 4);
        *ppc = reinterpret_cast<const char*>(pbText + dDescriptor + 4);
        *pdLength = dLength;
        dDescriptor += 4 + dLength;
        return true;
    };
    for (uint32_t t = 0; t < pbConfig[SES_CONFIG_TYPE_COUNT_OFFSET]; ++t, dHeader += SES_TYPE_HEADER_BYTES) {
        if (dHeader + SES_TYPE_HEADER_BYTES > dConfigBytes) return;
        const uint8_t bType = pbConfig[dHeader];
        const char* pc = nullptr;
        uint32_t dLength = 0;
        if (!next(&pc, &dLength)) return;   // the type's overall descriptor
        for (uint8_t i = 0; i < pbConfig[dHeader + 1]; ++i) {
            if (!next(&pc, &dLength)) return;
            if (bType == SES_TYPE_POWER_SUPPLY) {
                ConsolePrintf("PCM %02d Info:\n", ++bSupply);
            } else if (bType == SES_TYPE_ESCE) {
                ConsolePrintf("Canister %02d Info:\n", ++bCanister);
            } else if (bType == SES_TYPE_ENCLOSURE) {
                ConsolePrintf("Enclosure Info:\n");
            } else {
                continue;
            }
            if (dLength == 0) {
                ConsolePrintf("Not Installed\n");
                continue;
            }
            for (uint32_t c = 0; c < dLength; ++c) ConsolePrintf("%c", pc[c] == ';' ? '\n' : pc[c]);
            ConsolePrintf("\n");
        }
    }
}

}  // namespace

uint8_t fIsKV4471Enclosure(uint8_t bIndex) {
    if (bIndex >= bTableCount()) return FALSE;
    return ToFlag(std::memcmp(pbConfigField(bIndex, SES_CONFIG_PRODUCT_OFFSET), KV4471_PRODUCT, PRODUCT_BYTES) == 0);
}

uint8_t bCountKV4471Enclosures() {
    uint8_t bCount = 0;
    for (uint8_t n = 0; n < bTableCount(); ++n)
        if (fIsKV4471Enclosure(n) == TRUE) ++bCount;
    return bCount;
}

uint8_t bGetEnclosureSesDevice(uint8_t* pbDevice, uint8_t bIndex) {
    if (pGetDriveInfoList() == nullptr || bIndex >= bTableCount()) return FALSE;
    if (fIsEnclosureFirmwareUpdateRestart() == TRUE) {
        *pbDevice = s_abSesDevice[bIndex];
        return TRUE;
    }
    uint8_t bPath = 0;
    return fSelectSesDeviceOfEnclosure(bIndex, &bPath, pbDevice);
}

uint8_t EnclosureFirmwareUpdateStart() {
    const bool fRestart = fIsEnclosureFirmwareUpdateRestart() == TRUE;
    if (!fRestart) {
        ConsolePrintf("\nThis controller will reset after the update is complete.\n\n");
        ConsolePrintf("\nDisk IO Module Firmware Update In Progress\n");
    }
    SetEnclosureFirmwareUpdateInProgress(FALSE);
    if (dGetEnclosureFirmwareImageAddress() == 0 || s_sRun.psHead != nullptr) return FALSE;

    const bool fRaw = IsRawImage();
    const uint8_t bCount = bTableCount();
    // A header-form image is for the modules of the expansions: a table of
    // the own enclosure alone has none.
    if (!fRaw && bCount < 2) return FALSE;
    uint8_t bEligible = 0;
    for (uint8_t n = 1; n < bCount; ++n)
        if (IsEligible(n, fRaw)) ++bEligible;
    // Nothing to send to: the update ends here rather than stay marked
    // running with no command to end it.
    if (bEligible == 0) return FALSE;
    s_bEligible = bEligible;

    const uint32_t dLength = dImageLength();
    const uint16_t wPages = static_cast<uint16_t>((bEligible + LISTS_PER_PAGE - 1) / LISTS_PER_PAGE);
    BUFFER_HANDLE dLists = NULL_BUFFER_HANDLE;
    const uint8_t bPages = bAllocDataPages(0, wPages, &dLists);
    if (bPages != STATUS_OK) return bPages;
    const uint32_t dFirst = std::min(dLength, dLength > SEGMENT_BYTES          ? SEGMENT_BYTES
                                              : dLength > MEDIUM_SEGMENT_BYTES ? MEDIUM_SEGMENT_BYTES
                                                                               : SMALL_SEGMENT_BYTES);
    KERNEL_ENTRY* psHead = nullptr;
    if (bAllocKernelEntries(PORT_CODE_INITIATOR, bEligible, &psHead) != STATUS_OK) {
        (void)wFreeDataPages(dLists, wPages);
        return STATUS_RETRY;
    }
    s_sRun = {psHead, 0, 0, dLists, wPages, {}};
    SetEnclosureFirmwareUpdateInProgress(TRUE);
    SendPartnerNotice(TRUE);

    const uint32_t dVersion = dGetEnclosureFirmwareImageVersion();
    for (uint8_t n = 1; n < bCount; ++n) {
        if (!fRestart) {
            ConsolePrintf("Starting Disk IO Module firmware update for Enclosure %02x\n", n);
            std::memcpy(s_aabOldRevision[n], pbConfigField(n, SES_CONFIG_REVISION_OFFSET), 4);
            const uint8_t* pbOld = s_aabOldRevision[n];
            PostEvent(EVENT_UPDATE_STARTED, static_cast<uint8_t>(n + 1), bEligible, pbOld[0], pbOld[1], pbOld[2],
                      pbOld[3], static_cast<uint8_t>(dVersion >> 24), static_cast<uint8_t>(dVersion >> 16),
                      static_cast<uint8_t>(dVersion >> 8), static_cast<uint8_t>(dVersion));
        }
        uint8_t bDevice = 0;
        if (!IsEligible(n, fRaw) || bGetEnclosureSesDevice(&bDevice, n) != TRUE) continue;
        s_abSesDevice[n] = bDevice;
        const uint16_t k = s_sRun.wCommands++;
        s_sRun.abEnclosure[k] = n;
        uint8_t* pb = pbList(k);
        std::memset(pb, 0, LIST_BYTES);
        pb[0] = SES_PAGE_MICROCODE;
        pb[8] = MICROCODE_MODE_OFFSETS_SAVE;
        PutBe32(pb + IMAGE_LENGTH_FIELD, dLength);
        (void)dFillSegment(k, 0, dFirst);
        // The first list goes out whole, its page length covering it.
        PutBe16(pb + 2, FIRST_PAGE_LENGTH);
        BuildSegment(k, LIST_BYTES);
    }
    s_sRun.wOutstanding = s_sRun.wCommands;
    for (uint16_t k = 0; k < s_sRun.wCommands; ++k) QueueSegment(psCommand(k));
    return TRUE;
}

uint8_t bStartEnclosureFirmwareUpdate() {
    if (fIsEnclosureFirmwareImageValid() != TRUE) return FALSE;
    SetSesDeviceBusy(TRUE);
    const uint8_t b = EnclosureFirmwareUpdateStart();
    if (b != TRUE) {
        SetSesDeviceBusy(FALSE);
        SetEnclosureFirmwareUpdateInProgress(FALSE);
    }
    return b;
}

void ShowEnclosureFirmwareVersions() {
    const uint8_t bLevel = bGetSesLevel();
    if (bLevel == SES_LEVEL_UNKNOWN || bLevel < SES_LEVEL_FULL || fIsMasterController() != TRUE) return;
    const uint8_t bCount = bTableCount();
    ConsolePrintf("\nList of Enclosures and Firmware Version\n");
    for (uint8_t n = 0; n < bCount; ++n) {
        ConsolePrintf("%02x Vendor ID: ", n);
        const uint8_t* pbVendor = pbConfigField(n, SES_CONFIG_VENDOR_OFFSET);
        for (uint32_t i = 0; i < 8; ++i) ConsolePrintf("%c", pbVendor[i]);
        ConsolePrintf(", ");
        ConsolePrintf("Product ID: ");
        const uint8_t* pbProduct = pbConfigField(n, SES_CONFIG_PRODUCT_OFFSET);
        for (uint32_t i = 0; i < PRODUCT_BYTES; ++i) ConsolePrintf("%c", pbProduct[i]);
        if (n != 0 && fIsKV4471Enclosure(n) != TRUE) {
            ConsolePrintf(", ");
            ConsolePrintf("Firmware Version: ");
            const uint8_t* pbRevision = pbConfigField(n, SES_CONFIG_REVISION_OFFSET);
            for (uint32_t i = 0; i < 4; ++i) ConsolePrintf("%c", pbRevision[i]);
        }
        ConsolePrintf("\n");
        if (n != 0 && fIsKV4471Enclosure(n) == TRUE) ShowKV4471Elements(n);
    }
    if (bCount >= 2) {
        ConsolePrintf("\nTotal number of enclosures = %d\n", bCount);
        ConsolePrintf("Total upgradeable = %d\n\n", bCount - 1);
    }
}

}  // namespace fw
