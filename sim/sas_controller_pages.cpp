// The configuration pages of the drive-side controller model and the CONFIG
// requests that read and write them.
#include <cstring>
#include <vector>

#include "hw/mpi.h"
#include "sim/board.h"
#include "sim/mpi_replies.h"
#include "sim/sas_controller.h"

namespace sim {

void SasController::InitPages() {
    auto add = [this](uint8_t type, uint8_t number, uint32_t bytes, uint8_t extType) {
        ConfigPage page{extType != 0, std::vector<uint8_t>(bytes, 0)};
        page.bytes[0] = 1;  // page version
        page.bytes[2] = number;
        if (extType != 0) {
            page.bytes[3] = fw::MPI_CONFIG_PAGETYPE_EXTENDED;
            uint16_t dwords = static_cast<uint16_t>(bytes / 4);
            std::memcpy(&page.bytes[4], &dwords, 2);
            page.bytes[6] = extType;
            m_pages[{extType, number, 0}] = std::move(page);
        } else {
            page.bytes[1] = static_cast<uint8_t>(bytes / 4);
            page.bytes[3] = type;
            m_pages[{type, number, 0}] = std::move(page);
        }
    };
    add(fw::MPI_CONFIG_PAGETYPE_MANUFACTURING, 5, sizeof(fw::MPI_MANUFACTURING_PAGE_5), 0);
    add(fw::MPI_CONFIG_PAGETYPE_BIOS, 1, sizeof(fw::MPI_BIOS_PAGE_1), 0);
    add(fw::MPI_CONFIG_PAGETYPE_IOC, 1, sizeof(fw::MPI_IOC_PAGE_1), 0);
    add(0, 1, sizeof(fw::MPI_SAS_IO_UNIT_PAGE_1), fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT);
    add(0, 2, 8 + 4 + fw::MPI_SAS_IO_UNIT_PHYS * 12, fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT);
    add(0, 3, 8 + 28, fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT);
    m_pages[{fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1, 0}].bytes[16] = fw::MPI_SAS_IO_UNIT_PHYS;
    m_pages[{fw::MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 2, 0}].bytes[8] = fw::MPI_SAS_IO_UNIT_PHYS;
    RefreshTopology();
}

std::vector<uint8_t> SasController::Page(uint8_t type, uint8_t number, uint32_t address) const {
    auto it = m_pages.find({type, number, address});
    return it == m_pages.end() ? std::vector<uint8_t>() : it->second.bytes;
}

void SasController::Config(const uint8_t* request, uint8_t* out) {
    auto req = Load<fw::MPI_CONFIG_REQUEST>(request);
    fw::MPI_CONFIG_REPLY r{};
    r.bAction = req.bAction;
    r.bFunction = fw::MPI_FUNCTION_CONFIG;
    r.dMsgContext = req.dMsgContext;
    r.sHeader = req.sHeader;
    r.wExtPageLength = req.wExtPageLength;
    r.bExtPageType = req.bExtPageType;
    auto finish = [&](uint16_t status) {
        r.wIOCStatus = status;
        std::memcpy(out, &r, sizeof r);
    };
    if (faults.configStatus != 0) return finish(faults.configStatus);

    bool extended = (req.sHeader.bPageType & 0x0F) == fw::MPI_CONFIG_PAGETYPE_EXTENDED;
    uint8_t type = extended ? req.bExtPageType : req.sHeader.bPageType & 0x0F;
    ConfigPage* found = nullptr;
    if (extended && req.sHeader.bPageNumber == 0 &&
        (type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_EXPANDER || type == fw::MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE) &&
        (req.dPageAddress & 0xF0000000) == fw::MPI_SAS_PAGE_FORM_GET_NEXT_HANDLE) {
        found = NextHandlePage(type, req.dPageAddress);
    } else {
        auto it = m_pages.find({type, req.sHeader.bPageNumber, req.dPageAddress});
        if (it != m_pages.end()) found = &it->second;
    }
    if (!found) return finish(fw::MPI_IOCSTATUS_CONFIG_INVALID_PAGE);
    std::vector<uint8_t>& page = found->bytes;
    uint32_t bytes = static_cast<uint32_t>(page.size());

    std::memcpy(&r.sHeader, page.data(), 4);
    if (extended) {
        r.wExtPageLength = static_cast<uint16_t>(bytes / 4);
        r.bExtPageType = type;
    }
    switch (req.bAction) {
    case fw::MPI_CONFIG_ACTION_PAGE_HEADER:
        return finish(fw::MPI_IOCSTATUS_SUCCESS);
    case fw::MPI_CONFIG_ACTION_PAGE_READ_CURRENT:
    case fw::MPI_CONFIG_ACTION_PAGE_DEFAULT:
    case fw::MPI_CONFIG_ACTION_PAGE_READ_NVRAM:
    case fw::MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT:
    case fw::MPI_CONFIG_ACTION_PAGE_WRITE_NVRAM: {
        uint32_t asked = extended ? req.wExtPageLength * 4u : req.sHeader.bPageLength * 4u;
        if (asked != bytes) return finish(fw::MPI_IOCSTATUS_CONFIG_INVALID_PAGE);
        uint8_t* host = (req.dFlagsLength & fw::MPI_SGE_LENGTH_MASK) < bytes
                            ? nullptr
                            : B().memory().Translate(req.dAddress, bytes);
        if (!host) return finish(fw::MPI_IOCSTATUS_INVALID_FIELD);
        bool write = req.bAction == fw::MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT ||
                     req.bAction == fw::MPI_CONFIG_ACTION_PAGE_WRITE_NVRAM;
        uint32_t headerBytes = extended ? 8 : 4;
        if (write) {
            std::memcpy(page.data() + headerBytes, host + headerBytes, bytes - headerBytes);
        } else {
            std::memcpy(host, page.data(), bytes);
            ++m_pageReads[{type, req.sHeader.bPageNumber}];
        }
        return finish(fw::MPI_IOCSTATUS_SUCCESS);
    }
    default:
        return finish(fw::MPI_IOCSTATUS_CONFIG_INVALID_ACTION);
    }
}

// The page of the first handle after the one in `address` (page number 0).
SasController::ConfigPage* SasController::NextHandlePage(uint8_t type, uint32_t address) {
    uint16_t handle = static_cast<uint16_t>(address);
    uint32_t from = fw::MPI_SAS_PAGE_FORM_HANDLE | (handle == 0xFFFF ? 0u : handle + 1u);
    auto it = m_pages.lower_bound({type, 0, from});
    if (it == m_pages.end() || it->first.type != type || it->first.number != 0 ||
        (it->first.address & 0xF0000000) != fw::MPI_SAS_PAGE_FORM_HANDLE) {
        return nullptr;
    }
    return &it->second;
}

}  // namespace sim
