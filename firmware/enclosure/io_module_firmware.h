// Enclosure I/O-module firmware: the image an operator loads into the
// controller (its form, its length, whether it passed its check) and the
// update that sends it to the enclosures.
#pragma once

#include <cstdint>

namespace fw {

struct PARTNER_MESSAGE_SLOT;

constexpr uint32_t IO_MODULE_HEADER_BYTES = 1024;
constexpr uint32_t IO_MODULE_SIGNATURE_BYTES = 32;
// What a header-form image of this controller starts with.
extern const uint8_t IO_MODULE_SIGNATURE[IO_MODULE_SIGNATURE_BYTES];
// The receive buffer: 1024 pages of 4 KB, taken on first use and kept.
constexpr uint32_t IO_MODULE_BUFFER_PAGES = 1024;
constexpr uint32_t IO_MODULE_BUFFER_BYTES = IO_MODULE_BUFFER_PAGES * 4096;

// The console's request to load an image over XMODEM; 0xFF.
uint8_t bReceiveEnclosureFirmwareImage();
// The console's list of the enclosures and their firmware revisions.
void ShowEnclosureFirmwareVersions();
// TRUE when the file of dLength bytes is an image this controller sends:
// the image address, length and version are then set.
uint8_t fCheckEnclosureFirmwareImageHeader(const uint8_t* pbFile, uint32_t dLength);
// The image length of a header-form file: past the header, up to a multiple of 4.
uint32_t dRoundEnclosureImageLength(uint32_t dFileLength);

uint32_t dGetEnclosureFirmwareImageAddress();
void SetEnclosureFirmwareImageAddress(uint32_t dAddress);
uint32_t dGetEnclosureFirmwareImageLength();
void SetEnclosureFirmwareImageLength(uint32_t dLength);
uint8_t fIsEnclosureFirmwareImageValid();
void SetEnclosureFirmwareImageValid(uint8_t f);
uint8_t fIsEnclosureFirmwareImageLoading();
void SetEnclosureFirmwareImageLoading(uint8_t f);
uint8_t fIsEnclosureFirmwareUpdateInProgress();
void SetEnclosureFirmwareUpdateInProgress(uint8_t f);
uint8_t fIsEnclosureFirmwareUpdateRestart();
void SetEnclosureFirmwareUpdateRestart(uint8_t f);
uint32_t dGetEnclosureFirmwareImageVersion();
void SetEnclosureFirmwareImageVersion(uint32_t d);
uint8_t bGetEnclosureFirmwareUpdateAttempts();
void SetEnclosureFirmwareUpdateAttempts(uint8_t b);
uint8_t fIsEnclosureFirmwareUpdateQuiet();
void SetEnclosureFirmwareUpdateQuiet(uint8_t f);
// The receive buffer, or nullptr before its first use.
uint8_t* pGetEnclosureFirmwareReceiveBuffer();
// The receive buffer, taken on first use; nullptr when no pages are free.
uint8_t* pTakeEnclosureFirmwareReceiveBuffer();

// Starts the update of every eligible enclosure from the valid image,
// holding the SES device for it; TRUE when the commands went out.
uint8_t bStartEnclosureFirmwareUpdate();
// The start itself, for callers that hold the SES device already: TRUE
// started, FALSE nothing to send to, else the status of the missing
// resource.
uint8_t EnclosureFirmwareUpdateStart();

// The partner's copy of the image state.  Message 35 (CDB byte 2 loading,
// byte 3 update in progress) tells the partner an update started here or
// ended; message 211 hands it the loaded file (byte 2 valid, 3 loading,
// 4-7 where the image starts in the file, 8-11 its length, 12-15 its
// version) so that the master runs the update whichever controller the
// operator loaded it on.
constexpr uint8_t IO_MODULE_MESSAGE_UPDATE_STATE = 35;
constexpr uint8_t IO_MODULE_MESSAGE_IMAGE = 211;
uint8_t bReceiveEnclosureUpdateMessage35(const uint8_t* pbCdb, uint16_t wLunField);
uint8_t bReceiveEnclosureFwMessage211(PARTNER_MESSAGE_SLOT* psSlot);

// Expansions whose modules take the images that carry their own magic.
uint8_t fIsKV4471Enclosure(uint8_t bIndex);
uint8_t bCountKV4471Enclosures();
// The SES device of an enclosure (the one remembered during a restart);
// FALSE without a drive table or past the table.
uint8_t bGetEnclosureSesDevice(uint8_t* pbDevice, uint8_t bIndex);

}  // namespace fw
