#include "mgmt/management.h"

namespace fw {

namespace {
// Offset of the next byte a management page read hands out, and the count of
// configuration changes a management client has not seen yet.
uint32_t s_dBufferOffset;
uint32_t s_dChangeCounter;
}  // namespace

void ResetManagementBufferPointer() { s_dBufferOffset = 0; }
void ClearManagementChangeCounter() { s_dChangeCounter = 0; }

}  // namespace fw
