// The configuration pages of the drive-side controller model.
#include <cstring>
#include <vector>

#include "hw/mpi.h"
#include "sim/board.h"
#include "sim/mpi_replies.h"
#include "sim/sas_controller.h"

namespace sim {

void SasController::InitPages() {
    AddPage(fw::MPI_CONFIG_PAGETYPE_MANUFACTURING, 5, sizeof(fw::MPI_MANUFACTURING_PAGE_5), 0);
    AddPage(fw::MPI_CONFIG_PAGETYPE_BIOS, 1, sizeof(fw::MPI_BIOS_PAGE_1), 0);
    AddPage(fw::MPI_CONFIG_PAGETYPE_IOC, 1, sizeof(fw::MPI_IOC_PAGE_1), 0);
    AddPage(0, 1, sizeof(fw::MPI_SAS_IO_UNIT_PAGE_1), fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT);
    AddPage(0, 2, 8 + 4 + fw::MPI_SAS_IO_UNIT_PHYS * 12, fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT);
    AddPage(0, 3, 8 + 28, fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT);
    m_pages[{fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, 0}].bytes[16] = fw::MPI_SAS_IO_UNIT_PHYS;
    m_pages[{fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 2, 0}].bytes[8] = fw::MPI_SAS_IO_UNIT_PHYS;
    DescribePhyCounters();
    RefreshTopology();
}

void SasController::DescribePhyCounters() {
    for (uint8_t phy = 0; phy < fw::MPI_SAS_IO_UNIT_PHYS; ++phy) AddPhyCounterPage(phy, m_phyErrors[phy]);
}

void SasController::AddPhyErrors(uint8_t phy, const PhyErrors& errors) {
    if (phy >= fw::MPI_SAS_IO_UNIT_PHYS) return;
    m_phyErrors[phy] += errors;
    AddPhyCounterPage(phy, m_phyErrors[phy]);
}

}  // namespace sim
