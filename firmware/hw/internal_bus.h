// The processor's internal bus: the error status of its masters.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t INTERNAL_BUS_STATUS = 0xFFD81584;   // write 1 to clear

}  // namespace fw
