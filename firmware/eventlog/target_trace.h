// The target command trace.
#pragma once

#include <cstdint>

namespace fw {

void InitTarCmdTrace();

}  // namespace fw
