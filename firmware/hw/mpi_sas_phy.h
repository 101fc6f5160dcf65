// SAS PHY page 1: the error counters an IOC keeps for one of its phys
// since its reset.  Read with the phy's number as the page address.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hw/mpi.h"

namespace fw {

constexpr uint8_t MPI_CONFIG_EXTPAGETYPE_SAS_PHY = 0x13;
constexpr uint32_t MPI_SAS_PHY_PAGE_FORM_PHY_NUMBER = 0x00000000;

struct MPI_SAS_PHY_PAGE_1 {
    MPI_CONFIG_EXTENDED_PAGE_HEADER sHeader;
    uint32_t dReserved8;
    uint32_t dInvalidDwordCount;            // 12
    uint32_t dRunningDisparityErrorCount;   // 16
    uint32_t dLossDwordSynchCount;          // 20
    uint32_t dPhyResetProblemCount;         // 24
};
static_assert(sizeof(MPI_SAS_PHY_PAGE_1) == 28);
static_assert(offsetof(MPI_SAS_PHY_PAGE_1, dInvalidDwordCount) == 12);

}  // namespace fw
