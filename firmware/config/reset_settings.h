// Which edits of the configuration take effect only after a controller
// reset.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

// TRUE when the scratch image changes a setting the controller reads only
// at start of day: the host ports' addresses, topology, connection options,
// data rates and node name, and single controller mode.
uint8_t fConfigChangeNeedsReset(const CONFIG_IMAGE* psLive, const CONFIG_IMAGE* psScratch);

}  // namespace fw
