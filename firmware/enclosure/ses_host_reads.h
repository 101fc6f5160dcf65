// Hosts and the console reach the enclosures' pages through the controller:
// a host reads the cached copy of a page (by enclosure, or by a drive the
// enclosure holds) and the console sends or reads the first enclosure's
// status page directly.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// The CDB of a host page read: byte 3 names the enclosure (an index of the
// table) or the drive (bit 7 path 4, bits 0-6 its id on the path); bytes 4-9 are the
// RECEIVE DIAGNOSTIC RESULTS the host would have sent the enclosure.
constexpr uint8_t HOST_SES_READ_TARGET_BYTE = 3;
constexpr uint8_t HOST_SES_READ_OPCODE_BYTE = 4;
constexpr uint8_t HOST_SES_READ_PAGE_BYTE = 6;
constexpr uint8_t HOST_SES_READ_LENGTH_BYTE = 7;
constexpr uint8_t HOST_SES_READ_PATH4 = 0x80;

// Each answers the command with the page (GOOD) and returns 255; 66 when no
// buffer page was free (the command stays where it is); FALSE when the page
// cannot be given (no enclosure services, no such enclosure or drive, a page
// not kept): the caller answers the command.
uint8_t bHostReadSesPage(KERNEL_ENTRY* psEntry);
uint8_t bHostReadEnclosurePage(KERNEL_ENTRY* psEntry);

// The console's diagnostics: the first enclosure's cached status page sent
// back as it is, or its status page read afresh.  255 sent, 16 no command
// entry free, 0 nothing to send to (no enclosure services, or the device
// is busy).
uint8_t SendSesStatusPage();
uint8_t ReadSesStatusPage();

}  // namespace fw
