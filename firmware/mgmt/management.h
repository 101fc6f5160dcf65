// In-band management: what start-up resets of it.
#pragma once

#include <cstdint>

namespace fw {

void ResetManagementBufferPointer();
void ClearManagementChangeCounter();
// Completes the management command in progress: 255 good, else failed.
void FinishManagementCommand(uint8_t bStatus);
// Data-out completions: a management set command's parameter block (type
// 62), the deferred WRITE BUFFER (66), download data (types 115 and 70) and
// the production test's data.
struct KERNEL_ENTRY;
void DispatchManagementSetCommand();
void FinishMgmtDataOutGood();
void DownloadData(KERNEL_ENTRY* psEntry);
void ProductionTestDataOut(KERNEL_ENTRY* psEntry);

struct KERNEL_ENTRY;
// MAINTENANCE IN and MAINTENANCE OUT.
void AnswerMaintenanceIn(KERNEL_ENTRY* psEntry);
void AnswerMaintenanceOut(KERNEL_ENTRY* psEntry);
// READ BUFFER of a management page (the buffer ID names it): checked, the
// management-command-active flag set, the page built and sent.  255
// answered; 66 the command waits at the head of the new-command ring.
uint8_t bReadManagementPage(KERNEL_ENTRY* psEntry);
// A management WRITE BUFFER (buffer ID 0xF2 in mode 2, the set commands of
// mode 1): its CDB checked and its data received.  255 answered or under
// way; 66 the command waits at the head of the new-command ring.
uint8_t bStartManagementWriteBuffer(KERNEL_ENTRY* psEntry);
// The end of a management WRITE BUFFER: its action by command type.
void EndManagementAction(KERNEL_ENTRY* psEntry);

// The debug dump captured for a management READ BUFFER: whether the
// protocol waits for it, and its handover.
uint8_t fIsManagementWaitingForCapture();
void HandOverDebugCapture(uint8_t f);

}  // namespace fw
