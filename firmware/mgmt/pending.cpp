// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "mgmt/management.h"
#include "executive/types.h"

namespace fw {

// No management command runs before the protocol is built.
void FinishManagementCommand(uint8_t) {}

void DispatchManagementSetCommand() {}
void FinishMgmtDataOutGood() {}
void DownloadData(KERNEL_ENTRY*) {}
void ProductionTestDataOut(KERNEL_ENTRY*) {}

uint8_t fIsManagementWaitingForCapture() { return FALSE; }
void HandOverDebugCapture(uint8_t) {}

}  // namespace fw
