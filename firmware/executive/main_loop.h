// The main loop: one thread of control polling work flags and queue counts
// and running each service to completion.
#pragma once

#include <cstdint>

#include "executive/progress.h"

namespace fw {

[[noreturn]] void MainLoop();

}  // namespace fw
