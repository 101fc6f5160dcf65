// The I/O-module image an operator loads: its receive buffer, its check
// and the state the update and the partner read.
#include "enclosure/io_module_firmware.h"

#include <cstring>

#include "console/console_menu.h"
#include "console/xmodem_receive.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/types.h"

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

}  // namespace fw
