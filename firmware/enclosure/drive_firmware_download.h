// The drive firmware download phase and its option and state flags.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// How a download ended, as the console hears it.
constexpr uint8_t DOWNLOAD_ONE_DRIVE_DONE = 1;
constexpr uint8_t DOWNLOAD_FAILED = 2;
constexpr uint8_t DOWNLOAD_FILE_ERROR = 3;
constexpr uint8_t DOWNLOAD_NOTHING_DONE = 4;
constexpr uint8_t DOWNLOAD_NOT_ALL_DRIVES = 5;
constexpr uint8_t DOWNLOAD_ALL_GOOD = 6;
constexpr uint8_t DOWNLOAD_ABORTED = 7;

// TRUE when the drive's product identification (INQUIRY data, from byte
// 16 up to its first space) occurs in the file: in its header in region
// mode, anywhere in it otherwise.
uint8_t fFindStringInFirmwareFile(const uint8_t* pbFile, uint32_t dLength, const uint8_t* pbIdentity);

// The download image buffer, taken (4 MB of data pages) when there is
// none yet and kept; nullptr when no pages are free.
uint8_t* pbTakeDownloadImageBuffer();
// TRUE while a download runs and the drive at the path and loop ID is the
// one being loaded.
uint8_t fIsDeviceDownloadDrive(uint8_t bPath, uint8_t bLoopId);

// The selection the download phase reads: every drive in one pass (else the
// drive of the phase parameters); array members too (else spares and free
// drives only); the file's regions (else the whole buffer as one image);
// drives that already run the file's revision too.
void SetDriveFirmwareDownloadSelectAll(uint8_t f);
void SetDriveFirmwareDownloadSelectUnused(uint8_t f);
void SetDriveFirmwareDownloadOption3(uint8_t f);
void SetDriveFirmwareDownloadOption4(uint8_t f);
uint8_t fGetDriveFirmwareDownloadAbort();
// A kind-2 file power-cycled its drives' slots.
uint8_t fIsDriveSlotPowerCycled();
// A drive was sent new firmware since the drive tables were last rebuilt.
uint8_t fIsDriveRescanAfterDownloadPending();
void SetDriveRescanAfterDownloadPending(uint8_t f);

}  // namespace fw
