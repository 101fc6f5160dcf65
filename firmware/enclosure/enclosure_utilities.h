// Small services of the enclosure code: the retry back-off of the
// enclosure services device, the SAS address comparison, and the console
// dumps of the enclosures' supported pages and the host summaries.
#pragma once

#include <cstdint>

namespace fw {

// A reset call (TRUE) starts a new series; every other call counts an
// attempt and sets when the next one is due.
void SesRetryBackoff(uint8_t fReset);
uint8_t fIsSesRetryDue();
void ResetSesRetryBackoff();
uint8_t bGetSesRetryAttempts();
// The coarse tick the next attempt is due after.
uint32_t dGetSesRetryTime();

// TRUE when the two 8-byte addresses name the same device: byte 6 is
// compared with bit 1 set on both sides (the two ports of one device).
uint8_t fIsSameSasAddress(const uint8_t* pbA, const uint8_t* pbB);

// Lines of 16 bytes: offset, the bytes in hex, and the bytes as text.
void HexDumpBytes(const uint8_t* pbBytes, uint32_t dLength);
// The host summary pages.
void ShowSesPages();

// The device number (target id) of an enclosure's SES device: by the
// enclosure a drive carries, or by the SES id.  255 found, 0 not.
constexpr uint8_t NO_SES_DEVICE = 0xFF;
uint8_t bGetSesDeviceForEnclosure(uint8_t bEnclosure, uint8_t* pbDevice);
uint8_t bGetSesDeviceById(uint8_t bSesId, uint8_t* pbDevice);

// A controller that keeps no enclosure services of its own takes its level
// from the drive table: 3 when its first drive stands in an enclosure, 1
// when not, unknown without drives.
void SetSesLevelFromDriveTable();

// Drives without enclosure services: one enclosure of twelve slots per
// twelve drives, the last one with the rest.  255 filled, 0 when there are
// no drives, the services' data are there, or (on the master) the services
// are up.
uint8_t bBuildDirectDriveEnclosures();

}  // namespace fw
