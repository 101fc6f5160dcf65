// The in-band management protocol: pages a host reads with READ BUFFER and
// settings and operations it writes with WRITE BUFFER.  One management
// WRITE BUFFER is carried out at a time: the current management command.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

// The 16 bytes every management command's parameter data begins with.
inline constexpr uint8_t MANAGEMENT_SIGNATURE[16] = {'A', 'R', 'R', 'A', 'Y', '-', 'M', 'G',
                                                      'M', 'T', '-', 'S', 'E', 'T', '0', '1'};

void ResetManagementBufferPointer();
void ClearManagementChangeCounter();

// A management WRITE BUFFER (mode 1 set commands; buffer ID 0xF2 of mode
// 2): its CDB checked, the command made current and its data received.
// 255 answered or under way; 66 the command waits at the head of the
// new-command ring.
uint8_t bStartManagementWriteBuffer(KERNEL_ENTRY* psEntry);
// The management command in progress; null when none is.
KERNEL_ENTRY* psGetCurrentManagementCommand();
// 255 when the current command's data begins with the signature (or is
// one of the SAS host interface's plain requests); otherwise the command
// has been answered ILLEGAL REQUEST 0x26/0x00 and the result is 0.
uint8_t bCheckManagementSignature();
// Answers the current command: 255 GOOD, 244 ILLEGAL REQUEST 0x24/0x00, 16
// NOT READY 0x04/0x00, anything else ILLEGAL REQUEST 0x26/0x00; the
// management-command-active flag and the host command hold end with it.
void FinishManagementCommand(uint8_t bStatus);
// At the end of a management WRITE BUFFER, after its status: what its
// command type asks for (a reset, a shutdown, the end of the controller
// hold).
void EndManagementAction(KERNEL_ENTRY* psEntry);
// Command types a set command leaves for that end.
constexpr uint8_t MGMT_END_SHUTDOWN = 0x40;
constexpr uint8_t MGMT_END_RESET = 0x41;
constexpr uint8_t MGMT_END_HOLD = 0x48;
constexpr uint8_t MGMT_END_SELF = 31;
// The debug dump captured for a management READ BUFFER: whether the
// protocol waits for it, and its handover.
uint8_t fIsManagementWaitingForCapture();
void HandOverDebugCapture(uint8_t f);

// A management page read (READ BUFFER, the page named by the buffer ID).
// The enclosure pages are served here: a page an enclosure reported, the
// enclosure named by CDB byte 3 (0xE0) or by a drive it holds (0xE1), CDB
// bytes 4-9 the RECEIVE DIAGNOSTIC RESULTS the host would have sent it.
// The auxiliary status record (0xE2): CDB bytes 3-5 the offset, 6-8 the
// length.  255 answered, 66 no buffer page free (the command waits).
constexpr uint8_t MGMT_PAGE_ENCLOSURE_SES_PAGE = 0xE0;
constexpr uint8_t MGMT_PAGE_ENCLOSURE_OF_DRIVE = 0xE1;
constexpr uint8_t MGMT_PAGE_AUX_STATUS_RECORD = 0xE2;
uint8_t bReadManagementPage(KERNEL_ENTRY* psEntry);
// Not built: the other management pages.
uint8_t bReadOtherManagementPage(KERNEL_ENTRY* psEntry);
// Not built: MAINTENANCE IN and OUT, buffer ID 0xF2
// and the set commands of the data services (codes 112-120) and 242; the
// download and production-test data paths.
void AnswerMaintenanceIn(KERNEL_ENTRY* psEntry);
void AnswerMaintenanceOut(KERNEL_ENTRY* psEntry);
uint8_t bStartManagementBufferWrite(KERNEL_ENTRY* psEntry);
uint8_t bStartDataServicesSetCommand(KERNEL_ENTRY* psEntry);
void DownloadData(KERNEL_ENTRY* psEntry);
void ProductionTestDataOut(KERNEL_ENTRY* psEntry);

}  // namespace fw
