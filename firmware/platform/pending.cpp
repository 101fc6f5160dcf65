// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "executive/types.h"
#include "platform/flash_update.h"
#include "platform/ipc_peer.h"

namespace fw {

void DumpIpcRequestQueue() {}
void DumpIpcResponseQueue() {}

uint8_t bGetFirmwareUpdateBuffer(uint8_t, BUFFER_HANDLE*) { return STATUS_NO_PAGES; }
uint32_t dGetFirmwareUpdateBufferBytes() { return 0; }
uint8_t bCheckFirmwareImageHeader(const uint8_t*, uint32_t, uint8_t, uint8_t) { return 0; }
void ProgramFlash(const uint8_t*, uint8_t) {}

}  // namespace fw
