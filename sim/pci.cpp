#include "sim/pci.h"

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

void Pci::Add(uint8_t bus, uint8_t device, uint8_t function, std::unique_ptr<PciFunction> f) {
    f->board = &m_board;
    m_functions[Key(bus, device, function)] = std::move(f);
}

PciFunction* Pci::Find(uint8_t bus, uint8_t device, uint8_t function) const {
    auto it = m_functions.find(Key(bus, device, function));
    return it == m_functions.end() ? nullptr : it->second.get();
}

uint32_t Pci::Read(uint32_t address, unsigned) {
    if (address == kOccar) return m_occar;
    if (address == kAtuxStatus) return m_status;
    if (address == kAtueLinkStatus) return linkDown ? 0 : 1;
    if (address == kAtuxBase) return busDead ? 0xFFFFFFFF : 0x03308086u;  // ATU identity
    if (address == kOccdr) {
        auto it = busDead ? m_functions.end() : m_functions.find(m_occar & 0x00FFFF00u);
        if (it == m_functions.end()) {
            m_status |= 1u << 13;  // master abort
            return 0xFFFFFFFF;
        }
        return it->second->ConfigRead(static_cast<uint16_t>(m_occar & 0xFC));
    }
    return m_board.bus().Latched(address);
}

void Pci::Write(uint32_t address, uint32_t value, unsigned) {
    if (address == kOccar) {
        m_occar = value;
    } else if (address == kAtuxStatus) {
        m_status &= ~value;  // status bits clear when written with one
    } else if (address == kOccdr) {
        auto it = busDead ? m_functions.end() : m_functions.find(m_occar & 0x00FFFF00u);
        if (it == m_functions.end()) {
            m_status |= 1u << 13;
        } else {
            it->second->ConfigWrite(static_cast<uint16_t>(m_occar & 0xFC), value);
        }
    } else {
        m_board.bus().Latch(address, value);
    }
}

}  // namespace sim
