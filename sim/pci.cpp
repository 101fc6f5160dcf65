#include "sim/pci.h"

#include "hw/atu.h"
#include "hw/pci_ids.h"
#include "sim/board.h"

namespace sim {

PciFunction::PciFunction(uint16_t vendor, uint16_t device, uint8_t revision, uint32_t classCode,
                         uint32_t barSize)
    : m_barSize(barSize) {
    m_config[0] = static_cast<uint32_t>(device) << 16 | vendor;
    m_config[2] = classCode << 8 | revision;
}

uint32_t PciFunction::ConfigRead(uint16_t offset) { return m_config[(offset & 0xFF) / 4]; }

void PciFunction::ConfigWrite(uint16_t offset, uint32_t value) {
    unsigned index = (offset & 0xFF) / 4;
    if (index == 0 || index == 2) return;  // identity is read-only
    if (index == 4) {
        if (m_barSize == 0) return;
        value &= ~(m_barSize - 1);
        m_config[4] = value;
        if (board) {
            board->bus().Unmap(this);
            if (value != 0 && value != ~(m_barSize - 1)) board->bus().Map(value, m_barSize, this);
        }
        return;
    }
    m_config[index] = value;
}

namespace {
uint32_t Key(uint32_t bus, uint32_t device, uint32_t function) { return bus << 16 | device << 11 | function << 8; }
}  // namespace

void Pci::Add(uint8_t bus, uint8_t device, uint8_t function, std::unique_ptr<PciFunction> f, bool pcie) {
    f->board = &m_board;
    (pcie ? m_pcieFunctions : m_functions)[Key(bus, device, function)] = std::move(f);
}

PciFunction* Pci::Find(uint8_t bus, uint8_t device, uint8_t function, bool pcie) const {
    const auto& functions = pcie ? m_pcieFunctions : m_functions;
    auto it = functions.find(Key(bus, device, function));
    return it == functions.end() ? nullptr : it->second.get();
}

PciFunction* Pci::Target(bool pcie) const {
    if (pcie ? linkDown : busDead) return nullptr;
    const auto& functions = pcie ? m_pcieFunctions : m_functions;
    auto it = functions.find((pcie ? m_atueOccar : m_occar) & 0x00FFFF00u);
    return it == functions.end() ? nullptr : it->second.get();
}

uint32_t Pci::Read(uint32_t address, unsigned) {
    switch (address) {
    case kOccar: return m_occar;
    case fw::ATUE_OCCAR: return m_atueOccar;
    case kAtuxStatus: return m_status;
    case fw::ATUE_PCSR: return m_atueStatus;
    case kAtueLinkStatus: return linkDown ? 0 : 1;
    case kAtuxBase: return busDead ? 0xFFFFFFFF : 0x03308086u;  // ATU identity
    case kOccdr:
    case fw::ATUE_OCCDR: {
        const bool pcie = address == fw::ATUE_OCCDR;
        PciFunction* f = Target(pcie);
        if (f == nullptr) {
            (pcie ? m_atueStatus : m_status) |= 1u << 13;  // master abort
            return 0xFFFFFFFF;
        }
        return f->ConfigRead(static_cast<uint16_t>((pcie ? m_atueOccar : m_occar) & 0xFC));
    }
    default: return m_board.bus().Latched(address);
    }
}

void Pci::Write(uint32_t address, uint32_t value, unsigned) {
    switch (address) {
    case kOccar: m_occar = value; break;
    case fw::ATUE_OCCAR: m_atueOccar = value; break;
    case kAtuxStatus: m_status &= ~value; break;  // status bits clear when written with one
    case fw::ATUE_PCSR: m_atueStatus &= ~value; break;
    case kOccdr:
    case fw::ATUE_OCCDR: {
        const bool pcie = address == fw::ATUE_OCCDR;
        if (PciFunction* f = Target(pcie)) {
            f->ConfigWrite(static_cast<uint16_t>((pcie ? m_atueOccar : m_occar) & 0xFC), value);
        } else {
            (pcie ? m_atueStatus : m_status) |= 1u << 13;
        }
        break;
    }
    default: m_board.bus().Latch(address, value); break;
    }
}

}  // namespace sim
