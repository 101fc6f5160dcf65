// The values of a new configuration image, and resetting to them.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

// Stores the non-zero values of a new image into an image the caller zeroed
// (or, for a reset, into the scratch image as it stands: every list count
// becomes zero).  With fOwnWwn TRUE also this controller's WWN as writer and
// zero in the two reserved WWNs.
void MakeDefaultConfiguration(CONFIG_IMAGE* psImage, uint8_t fOwnWwn);
// The cache settings a new image holds, and that apply while the stored block
// is not set.
void SetDefaultTqmSettings(TQM_SETTINGS* psBlock);
// Stops power management, resets the scratch image to the defaults without
// zeroing it first, and stops the duplication processes.
void ResetConfigurationToDefaults();
// Commits the reset scratch image (requester 4) and releases the host
// command hold.
void RequestDefaultConfigCommit();

}  // namespace fw
