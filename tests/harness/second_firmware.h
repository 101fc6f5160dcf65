// The second controller's firmware in a program that runs two: the same
// sources compiled into namespace fw_b (the firmware_b library), with its
// own globals, image and hw/ binding.  What a harness calls of it is
// declared here as the firmware's own headers declare it in fw.
#pragma once

#include "sim/firmware_image.h"

namespace fw_b {
void ControllerEntry();
const char* pGetBuildDate();
const char* pGetBuildTime();
}  // namespace fw_b
