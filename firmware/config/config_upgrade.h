// The conversion of an image written by older firmware and the check that
// forces every stored setting into the range this firmware accepts.  Each
// change asks the following apply to treat the image as changed.
#pragma once

#include "config/config_image.h"

namespace fw {

void ConfigUpgrade(CONFIG_IMAGE* psImage);

}  // namespace fw
