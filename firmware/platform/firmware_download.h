// The controller's own firmware image as a host sends it: WRITE BUFFER in
// the download-microcode modes.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// WRITE BUFFER in mode 5 or 7.  255 answered or under way; 66 the command
// waits at the head of the new-command ring.
uint8_t bStartFirmwareDownload(KERNEL_ENTRY* psEntry);

}  // namespace fw
