// The I/O-module image an operator loads: its receive buffer, its check
// and the state the update and the partner read.
#include "enclosure/io_module_firmware.h"

#include <cstring>

#include "console/console_menu.h"
#include "console/xmodem_receive.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "sas/partner_traffic.h"

namespace fw {

const uint8_t IO_MODULE_SIGNATURE[IO_MODULE_SIGNATURE_BYTES] = {
    'C', 'T', 'L', 'R', ' ', 'D', 'I', 'S', 'K', ' ', 'I', 'O', ' ', 'M', 'O', 'D',
    'U', 'L', 'E', ' ', 'F', 'W', ' ', 'I', 'M', 'A', 'G', 'E', ' ', 'V', '0', '1'};

namespace {

constexpr uint32_t VERSION_OFFSET = 40;
constexpr uint32_t RAW_LENGTH_OFFSET = 8;
constexpr uint32_t RAW_HEADER_BYTES = 12;
// An image that starts with this magic carries no version: it gets 0x21 in
// every byte.
constexpr uint32_t QWRX_VERSION = 0x21212121;

struct ENCLOSURE_FIRMWARE_IMAGE {
    uint32_t dImageAddress;
    uint32_t dImageLength;
    uint8_t fValid;
    uint8_t fLoading;
    uint8_t fUpdateInProgress;
    uint8_t fRestart;
    uint32_t dVersion;
    uint8_t bAttempts;
    uint8_t fQuiet;
    BUFFER_HANDLE dReceiveBuffer;
};

ENCLOSURE_FIRMWARE_IMAGE s_sImage = {0, 0, FALSE, FALSE, FALSE, FALSE, 0, 0, FALSE, NULL_BUFFER_HANDLE};

uint32_t dBe32(const uint8_t* pb) {
    return static_cast<uint32_t>(pb[0]) << 24 | static_cast<uint32_t>(pb[1]) << 16 |
           static_cast<uint32_t>(pb[2]) << 8 | pb[3];
}

bool IsFlag(uint8_t b) { return b == TRUE || b == FALSE; }

// Message 211's CDB fields.
constexpr uint8_t IMAGE_MESSAGE_VALID = 2;
constexpr uint8_t IMAGE_MESSAGE_LOADING = 3;
constexpr uint8_t IMAGE_MESSAGE_OFFSET = 4;
constexpr uint8_t IMAGE_MESSAGE_LENGTH = 8;
constexpr uint8_t IMAGE_MESSAGE_VERSION = 12;
// Message 35's.
constexpr uint8_t STATE_MESSAGE_LOADING = 2;
constexpr uint8_t STATE_MESSAGE_IN_PROGRESS = 3;

bool StartsWith(const uint8_t* pbFile, uint32_t dLength, const char* pszMagic) {
    return dLength >= 4 && std::memcmp(pbFile, pszMagic, 4) == 0;
}

}  // namespace

uint32_t dRoundEnclosureImageLength(uint32_t dFileLength) {
    if (dFileLength <= IO_MODULE_HEADER_BYTES) return 0;
    return (dFileLength - IO_MODULE_HEADER_BYTES + 3) & ~3u;
}

uint8_t fCheckEnclosureFirmwareImageHeader(const uint8_t* pbFile, uint32_t dLength) {
    const uint32_t dFile = static_cast<uint32_t>(dCpuAddressOf(pbFile));
    if (StartsWith(pbFile, dLength, "QWRX") || StartsWith(pbFile, dLength, "QW39")) {
        // The length the image gives itself is what goes to the modules:
        // it must not reach past what arrived.
        const uint32_t dImage = dLength >= RAW_HEADER_BYTES ? dBe32(pbFile + RAW_LENGTH_OFFSET) : 0;
        if (dImage == 0 || dImage > dLength) {
            s_sImage.fValid = FALSE;
            return FALSE;
        }
        if (StartsWith(pbFile, dLength, "QWRX")) s_sImage.dVersion = QWRX_VERSION;
        s_sImage.dImageAddress = dFile;
        s_sImage.dImageLength = dImage;
        return TRUE;
    }
    // A header with no image behind it has nothing to send.
    if (dLength <= IO_MODULE_HEADER_BYTES ||
        std::memcmp(pbFile, IO_MODULE_SIGNATURE, IO_MODULE_SIGNATURE_BYTES) != 0) {
        s_sImage.fValid = FALSE;
        return FALSE;
    }
    s_sImage.dVersion = dBe32(pbFile + VERSION_OFFSET);
    s_sImage.dImageAddress = dFile + IO_MODULE_HEADER_BYTES;
    s_sImage.dImageLength = dRoundEnclosureImageLength(dLength);
    return TRUE;
}

uint8_t* pGetEnclosureFirmwareReceiveBuffer() {
    if (s_sImage.dReceiveBuffer == NULL_BUFFER_HANDLE) return nullptr;
    return static_cast<uint8_t*>(pBufferHandleToPointer(s_sImage.dReceiveBuffer));
}

uint8_t* pTakeEnclosureFirmwareReceiveBuffer() {
    if (s_sImage.dReceiveBuffer == NULL_BUFFER_HANDLE &&
        bAllocDataPages(0, IO_MODULE_BUFFER_PAGES, &s_sImage.dReceiveBuffer) != STATUS_OK) {
        s_sImage.dReceiveBuffer = NULL_BUFFER_HANDLE;
    }
    return pGetEnclosureFirmwareReceiveBuffer();
}

uint8_t bReceiveEnclosureFirmwareImage() {
    ENCLOSURE_FIRMWARE_IMAGE& s = s_sImage;
    if (s.fUpdateInProgress == TRUE) {
        ConsolePrintf("\nFW update in progress, cannot start another update process.\n\n");
        return STATUS_OK;
    }
    ClearScreen(TRUE);
    s.fValid = FALSE;
    s.dVersion = 0;
    s.fQuiet = FALSE;
    s.fUpdateInProgress = FALSE;
    s.fRestart = FALSE;
    s.bAttempts = 0;
    s.fLoading = TRUE;
    if (pTakeEnclosureFirmwareReceiveBuffer() == nullptr) {
        s.fLoading = FALSE;
        ConsolePrintf("\nInsufficent Memory Available\n\n");
        return STATUS_OK;
    }
    if (fStartXmodemReceive(pGetEnclosureFirmwareReceiveBuffer(), IO_MODULE_BUFFER_BYTES,
                            XMODEM_KIND_IO_MODULE_FIRMWARE, TRUE) != STATUS_OK) {
        s.fLoading = FALSE;
        ConsolePrintf("\nError Setting up XMODEM transfer\n\n");
    }
    return STATUS_OK;
}

uint32_t dGetEnclosureFirmwareImageAddress() { return s_sImage.dImageAddress; }
void SetEnclosureFirmwareImageAddress(uint32_t d) { s_sImage.dImageAddress = d; }
uint32_t dGetEnclosureFirmwareImageLength() { return s_sImage.dImageLength; }
void SetEnclosureFirmwareImageLength(uint32_t d) { s_sImage.dImageLength = d; }
uint8_t fIsEnclosureFirmwareImageValid() { return s_sImage.fValid; }
void SetEnclosureFirmwareImageValid(uint8_t f) { s_sImage.fValid = f; }
uint8_t fIsEnclosureFirmwareImageLoading() { return s_sImage.fLoading; }
void SetEnclosureFirmwareImageLoading(uint8_t f) { s_sImage.fLoading = f; }
uint8_t fIsEnclosureFirmwareUpdateInProgress() { return s_sImage.fUpdateInProgress; }
void SetEnclosureFirmwareUpdateInProgress(uint8_t f) { s_sImage.fUpdateInProgress = f; }
uint8_t fIsEnclosureFirmwareUpdateRestart() { return s_sImage.fRestart; }
void SetEnclosureFirmwareUpdateRestart(uint8_t f) { s_sImage.fRestart = f; }
uint32_t dGetEnclosureFirmwareImageVersion() { return s_sImage.dVersion; }
void SetEnclosureFirmwareImageVersion(uint32_t d) { s_sImage.dVersion = d; }
uint8_t bGetEnclosureFirmwareUpdateAttempts() { return s_sImage.bAttempts; }
void SetEnclosureFirmwareUpdateAttempts(uint8_t b) { s_sImage.bAttempts = b; }
uint8_t fIsEnclosureFirmwareUpdateQuiet() { return s_sImage.fQuiet; }
void SetEnclosureFirmwareUpdateQuiet(uint8_t f) { s_sImage.fQuiet = f; }

// The file goes out straight from the receive buffer, which stays taken:
// a second 4 MB copy for the message could not be had beside it.
uint8_t bSendEnclosureFwMessage211() {
    ENCLOSURE_FIRMWARE_IMAGE& s = s_sImage;
    const uint8_t* pbBuffer = pGetEnclosureFirmwareReceiveBuffer();
    if (fIsDualControllerActive() != TRUE || pbBuffer == nullptr || s.fValid != TRUE) return FALSE;
    const uint32_t dOffset = s.dImageAddress - static_cast<uint32_t>(dCpuAddressOf(pbBuffer));
    if (dOffset > IO_MODULE_BUFFER_BYTES || s.dImageLength > IO_MODULE_BUFFER_BYTES - dOffset) return FALSE;
    const uint32_t dBytes = dOffset + s.dImageLength;
    INTER_CONTROLLER_MESSAGE sMessage = sTypedPartnerMessage(IO_MODULE_MESSAGE_IMAGE);
    uint8_t* pbCdb = sMessage.abCdb;
    pbCdb[IMAGE_MESSAGE_VALID] = s.fValid;
    pbCdb[IMAGE_MESSAGE_LOADING] = s.fLoading;
    PutBe32(pbCdb + IMAGE_MESSAGE_OFFSET, dOffset);
    PutBe32(pbCdb + IMAGE_MESSAGE_LENGTH, s.dImageLength);
    PutBe32(pbCdb + IMAGE_MESSAGE_VERSION, s.dVersion);
    sMessage.wControlFlags = PARTNER_CONTROL_DATA_OUT;
    sMessage.wSegmentCount = 1;
    sMessage.dByteCount = dBytes;
    sMessage.adSegment[0] = static_cast<uint32_t>(dPciAddressOf(pbBuffer));
    sMessage.adSegment[1] = dBytes;
    uint16_t wSlot = PARTNER_NO_SLOT;
    return bSendMessageToPartner(&sMessage, &wSlot, 0) == STATUS_OK ? TRUE : FALSE;
}

// First pass: the file into this controller's own receive buffer; second
// pass, once it is there: the image state taken over, and on the master the
// update started for the operator who loaded it on the partner.
uint8_t bReceiveEnclosureFwMessage211(PARTNER_MESSAGE_SLOT* ps) {
    ENCLOSURE_FIRMWARE_IMAGE& s = s_sImage;
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    const uint32_t dOffset = dBe32(pbCdb + IMAGE_MESSAGE_OFFSET);
    const uint32_t dLength = dBe32(pbCdb + IMAGE_MESSAGE_LENGTH);
    if (ps->bPrimaryState == SLOT_DATA_FAILED) {
        SendPartnerCommandStatus(ps, SENSE_ABORTED_COMMAND, 0x47, 0);
        return STATUS_OK;
    }
    if (ps->bPrimaryState == SLOT_DATA_GOOD) {
        const uint8_t* pbBuffer = pGetEnclosureFirmwareReceiveBuffer();
        s.dImageAddress = static_cast<uint32_t>(dCpuAddressOf(pbBuffer)) + dOffset;
        s.dImageLength = dLength;
        s.dVersion = dBe32(pbCdb + IMAGE_MESSAGE_VERSION);
        s.fValid = pbCdb[IMAGE_MESSAGE_VALID];
        s.fLoading = pbCdb[IMAGE_MESSAGE_LOADING];
        SendPartnerCommandStatus(ps, 0, 0, 0);
        if (s.fValid == TRUE && s.fLoading == TRUE && fIsMasterController() == TRUE) {
            s.fLoading = FALSE;
            (void)bStartEnclosureFirmwareUpdate();
        }
        return STATUS_OK;
    }
    // The file must fit the buffer it is taken into, and it replaces no
    // image an update is sending.
    if (!IsFlag(pbCdb[IMAGE_MESSAGE_VALID]) || !IsFlag(pbCdb[IMAGE_MESSAGE_LOADING]) || dLength == 0 ||
        dOffset > IO_MODULE_BUFFER_BYTES || dLength > IO_MODULE_BUFFER_BYTES - dOffset) {
        SendPartnerCommandStatus(ps, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return STATUS_OK;
    }
    if (s.fUpdateInProgress == TRUE) {
        SendPartnerCommandStatus(ps, SENSE_ILLEGAL_REQUEST, ASC_COMMAND_SEQUENCE_ERROR, 0);
        return STATUS_OK;
    }
    uint8_t* pbBuffer = pTakeEnclosureFirmwareReceiveBuffer();
    if (pbBuffer == nullptr) {
        // Busy: the partner sends it again later.
        SendPartnerTargetStatus(ps, SCSI_STATUS_BUSY, 0, 0, 0);
        return STATUS_OK;
    }
    // The buffer is overwritten from here on: what it held is no image.
    s.fValid = FALSE;
    if (bReceiveDataFromPartnerInitiator(ps, dPciAddressOf(pbBuffer), dOffset + dLength) != STATUS_OK) {
        SendPartnerCommandStatus(ps, SENSE_ABORTED_COMMAND, 0x47, 0);
    }
    return STATUS_OK;
}

// The partner started an update (this controller need not start one and
// must take no other file meanwhile) or its update is ending.
uint8_t bReceiveEnclosureUpdateMessage35(const uint8_t* pbCdb, uint16_t) {
    if (!IsFlag(pbCdb[STATE_MESSAGE_LOADING]) || !IsFlag(pbCdb[STATE_MESSAGE_IN_PROGRESS])) return 0;
    s_sImage.fLoading = pbCdb[STATE_MESSAGE_LOADING];
    s_sImage.fUpdateInProgress = pbCdb[STATE_MESSAGE_IN_PROGRESS];
    return STATUS_OK;
}

}  // namespace fw
