// The 88SX5080 model: see sata_88sx.h.
#include "sim/sata_88sx.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "hw/ata.h"
#include "hw/sata_88sx.h"
#include "sim/board.h"
#include "sim/drive.h"

namespace sim {

namespace {

using namespace fw;

constexpr uint32_t kBarSize = SATA_CHIP_WINDOW_SIZE;
constexpr uint8_t kStatusReady = 0x50;         // DRDY, DSC
constexpr uint8_t kStatusDataReady = 0x58;     // ... with DRQ
constexpr uint16_t kResponseError = 0x0001;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | static_cast<uint32_t>(Le16(p + 2)) << 16; }
void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
    PutLe16(p, static_cast<uint16_t>(v));
    PutLe16(p + 2, static_cast<uint16_t>(v >> 16));
}

bool IsExt(uint8_t command) {
    return command == SATA_ATA_READ_SECTORS_EXT || command == SATA_ATA_WRITE_SECTORS_EXT ||
           command == SATA_ATA_READ_DMA_EXT || command == SATA_ATA_WRITE_DMA_EXT ||
           command == SATA_ATA_READ_DMA_QUEUED_EXT || command == SATA_ATA_WRITE_DMA_QUEUED_EXT;
}
bool IsRead(uint8_t command) {
    return command == SATA_ATA_READ_SECTORS || command == SATA_ATA_READ_SECTORS_EXT ||
           command == SATA_ATA_READ_DMA || command == SATA_ATA_READ_DMA_EXT || command == SATA_ATA_READ_DMA_QUEUED ||
           command == SATA_ATA_READ_DMA_QUEUED_EXT;
}
bool IsWrite(uint8_t command) {
    return command == SATA_ATA_WRITE_SECTORS || command == SATA_ATA_WRITE_SECTORS_EXT ||
           command == SATA_ATA_WRITE_DMA || command == SATA_ATA_WRITE_DMA_EXT ||
           command == SATA_ATA_WRITE_DMA_QUEUED || command == SATA_ATA_WRITE_DMA_QUEUED_EXT;
}

// The medium operation of a read or write, as the drive serves it.
DriveResult Medium(Drive& drive, bool write, uint64_t lba, uint32_t sectors, std::vector<uint8_t>& data) {
    AtaCommand a;
    a.command = write ? ATA_WRITE_DMA_EXT : ATA_READ_DMA_EXT;
    a.count = static_cast<uint16_t>(sectors);   // 65536 sectors: 0
    a.lba = lba;
    a.device = ATA_DEVICE_LBA;
    data.resize(static_cast<size_t>(sectors) * 512);
    return write ? drive.ExecuteAta(a, data, {}) : drive.ExecuteAta(a, {}, data);
}

}  // namespace

Sata88sx::Sata88sx(Board& board, uint8_t chip, InterruptLine line)
    : PciFunction(static_cast<uint16_t>(SATA_CHIP_PCI_ID), static_cast<uint16_t>(SATA_CHIP_PCI_ID >> 16), 3,
                  0x010000, 0),
      m_board(board), m_chip(chip), m_line(line) {
    m_doneEvent.SetAction([this] { Complete(); });
}

Sata88sx::~Sata88sx() {
    if (m_window != 0) m_board.bus().Unmap(this);
}

void Sata88sx::ConfigWrite(uint16_t offset, uint32_t value) {
    if ((offset & 0xFC) != 0x10) {
        PciFunction::ConfigWrite(offset, value);
        return;
    }
    // The BAR opens the registers above the PCI memory window.
    if (m_window != 0) m_board.bus().Unmap(this);
    m_window = 0;
    value &= ~(kBarSize - 1);
    if (value != 0 && value != ~(kBarSize - 1)) {
        m_window = SATA_PCI_MEMORY_WINDOW + value;
        m_board.bus().Map(m_window, kBarSize, this);
    }
}

uint8_t* Sata88sx::Memory(uint32_t address, uint32_t length) { return m_board.memory().Translate(address, length); }

void Sata88sx::Attach(uint8_t port, Drive* drive) {
    Port& p = m_ports.at(port);
    p.drive = drive;
    p.sstatus = drive != nullptr ? 0x113 : 0;
}

void Sata88sx::Unplug(uint8_t port) {
    Attach(port, nullptr);
    Hotplug(port, false);
}

void Sata88sx::Plug(uint8_t port, Drive* drive) {
    Attach(port, drive);
    Hotplug(port, true);
}

void Sata88sx::Hotplug(uint8_t port, bool connected) {
    Port& p = m_ports.at(port);
    p.edma[SATA_EDMA_ERROR_CAUSE / 4] |= connected ? SATA_EDMA_ERR_CONNECT : SATA_EDMA_ERR_DISCONNECT;
    if (!connected) p.edmaOn = false;
    const uint8_t hc = port / SATA_PORTS_PER_HC, local = port % SATA_PORTS_PER_HC;
    m_errorCause |= 1u << (SATA_MAIN_HC_SHIFT * hc + 2 * local);
    UpdateLine();
}

Sata88sx::Port* Sata88sx::PortOf(uint32_t offset, uint32_t base, uint32_t stride, uint32_t* inner) {
    const uint32_t hc = (offset - SATA_HC_BASE) / SATA_HC_STRIDE;
    const uint32_t within = (offset - SATA_HC_BASE) % SATA_HC_STRIDE;
    if (hc > 1 || within < base) return nullptr;
    const uint32_t slot = (within - base) / stride;
    if (slot >= SATA_PORTS_PER_HC) return nullptr;
    *inner = (within - base) % stride;
    return &m_ports[hc * SATA_PORTS_PER_HC + slot];
}

uint32_t Sata88sx::Read(uint32_t address, unsigned) { return Reg(address - m_window); }
void Sata88sx::Write(uint32_t address, uint32_t value, unsigned) { SetReg(address - m_window, value); }

uint32_t Sata88sx::Reg(uint32_t offset) const {
    if (offset == SATA_MAIN_CAUSE) {
        uint32_t cause = m_errorCause;
        for (uint8_t hc = 0; hc < 2; ++hc)
            for (uint8_t q = 0; q < SATA_PORTS_PER_HC; ++q)
                if (m_hcCause[hc] & (1u << q)) cause |= 1u << (SATA_MAIN_HC_SHIFT * hc + 2 * q + 1);
        return cause;
    }
    if (offset == SATA_MAIN_MASK) return m_mainMask;
    if (offset < SATA_HC_BASE) return 0;
    auto& self = const_cast<Sata88sx&>(*this);
    const uint32_t hc = (offset - SATA_HC_BASE) / SATA_HC_STRIDE;
    const uint32_t within = (offset - SATA_HC_BASE) % SATA_HC_STRIDE;
    if (hc > 1) return 0;
    if (within < 0x24) {
        if (within == SATA_HC_CAUSE) return m_hcCause[hc];
        if (within == SATA_HC_RESPONSE_IN) {
            uint32_t in = 0;
            for (uint8_t q = 0; q < SATA_PORTS_PER_HC; ++q) in |= uint32_t(m_ports[hc * 4 + q].responseIn) << (8 * q);
            if (nextResponseIn >= 0) {
                in = static_cast<uint32_t>(nextResponseIn);
                self.nextResponseIn = -1;
            }
            return in;
        }
        return m_hc[hc][within / 4];
    }
    uint32_t inner = 0;
    if (within < SATA_EDMA_STRIDE) {
        const Port* p = self.PortOf(offset, SATA_IF_STRIDE, SATA_IF_STRIDE, &inner);
        if (p == nullptr) return 0;
        switch (inner) {
        case SATA_SSTATUS: return p->sstatus;
        case SATA_SERROR: return p->serror;
        case SATA_SCONTROL: return p->scontrol;
        default: return inner < 0x80 ? p->phy[inner / 4] : 0;
        }
    }
    Port* p = self.PortOf(offset, SATA_EDMA_STRIDE, SATA_EDMA_STRIDE, &inner);
    if (p == nullptr) return 0;
    switch (inner) {
    case SATA_EDMA_COMMAND: return p->edmaOn ? SATA_EDMA_CMD_ENABLE : 0;
    case SATA_EDMA_REQUEST_OUT:
        return (p->edma[SATA_EDMA_REQUEST_IN / 4] & ~0x3FFu) | uint32_t(p->requestOut) << 5;
    case SATA_EDMA_RESPONSE_IN:
        return (p->edma[SATA_EDMA_RESPONSE_OUT / 4] & ~0xFFu) | uint32_t(p->responseIn) << 3;
    case SATA_TF_DATA: {
        if (!p->pioOut && p->pioAt + 2 <= p->pio.size()) {
            const uint16_t w = Le16(&p->pio[p->pioAt]);
            p->pioAt += 2;
            if (p->pioAt == p->pio.size()) p->status = kStatusReady;
            return w;
        }
        return 0xFFFF;
    }
    case SATA_TF_FEATURES: return p->error;
    case SATA_TF_COUNT: return p->count[(p->control & SATA_CONTROL_HOB) ? 0 : 1];
    case SATA_TF_LBA_LOW: return p->lbaLow[(p->control & SATA_CONTROL_HOB) ? 0 : 1];
    case SATA_TF_LBA_MID: return p->lbaMid[(p->control & SATA_CONTROL_HOB) ? 0 : 1];
    case SATA_TF_LBA_HIGH: return p->lbaHigh[(p->control & SATA_CONTROL_HOB) ? 0 : 1];
    case SATA_TF_DEVICE: return p->device;
    case SATA_TF_COMMAND:
    case SATA_TF_CONTROL: return p->drive == nullptr ? 0x7F : p->status;
    default: return inner < 0x60 ? p->edma[inner / 4] : 0;
    }
}

void Sata88sx::SetReg(uint32_t offset, uint32_t value) {
    if (offset == SATA_MAIN_MASK) {
        m_mainMask = value;
        UpdateLine();
        return;
    }
    if (offset < SATA_HC_BASE) return;
    const uint32_t hc = (offset - SATA_HC_BASE) / SATA_HC_STRIDE;
    const uint32_t within = (offset - SATA_HC_BASE) % SATA_HC_STRIDE;
    if (hc > 1) return;
    if (within < 0x24) {
        if (within == SATA_HC_CAUSE) {
            m_hcCause[hc] &= value;
            UpdateLine();
        } else if (within != SATA_HC_RESPONSE_IN) {
            m_hc[hc][within / 4] = value;
        }
        return;
    }
    uint32_t inner = 0;
    if (within < SATA_EDMA_STRIDE) {
        Port* p = PortOf(offset, SATA_IF_STRIDE, SATA_IF_STRIDE, &inner);
        if (p == nullptr) return;
        if (inner == SATA_SERROR) p->serror &= ~value;
        else if (inner == SATA_SCONTROL) p->scontrol = value;
        else if (inner < 0x80 && inner != SATA_SSTATUS) p->phy[inner / 4] = value;
        return;
    }
    Port* p = PortOf(offset, SATA_EDMA_STRIDE, SATA_EDMA_STRIDE, &inner);
    if (p == nullptr) return;
    const auto shift = [](std::array<uint8_t, 2>& r, uint32_t v) {
        r[0] = r[1];
        r[1] = static_cast<uint8_t>(v);
    };
    switch (inner) {
    case SATA_EDMA_COMMAND:
        if (value & SATA_EDMA_CMD_RESET) {
            p->edmaOn = false;
            p->requestOut = 0;
            p->responseIn = 0;
        } else if (value & SATA_EDMA_CMD_DISABLE) {
            p->edmaOn = false;
        } else if ((value & SATA_EDMA_CMD_ENABLE) && p->drive != nullptr) {
            p->edmaOn = true;
            RunRequests(*p);
        }
        return;
    case SATA_EDMA_ERROR_CAUSE: {
        p->edma[inner / 4] &= value;
        const uint8_t port = PortIndex(p), bit = SATA_MAIN_HC_SHIFT * (port / 4) + 2 * (port % 4);
        if (p->edma[inner / 4] == 0) m_errorCause &= ~(1u << bit);
        UpdateLine();
        return;
    }
    case SATA_EDMA_REQUEST_IN:
        p->edma[inner / 4] = value;
        RunRequests(*p);
        return;
    case SATA_EDMA_RESPONSE_OUT:
        p->edma[inner / 4] = value;
        return;
    case SATA_TF_DATA:
        if (p->pioOut && p->pioAt + 2 <= p->pio.size()) {
            PutLe16(&p->pio[p->pioAt], static_cast<uint16_t>(value));
            p->pioAt += 2;
            if (p->pioAt == p->pio.size()) FinishPioOut(*p);
        }
        return;
    case SATA_TF_FEATURES: shift(p->features, value); return;
    case SATA_TF_COUNT: shift(p->count, value); return;
    case SATA_TF_LBA_LOW: shift(p->lbaLow, value); return;
    case SATA_TF_LBA_MID: shift(p->lbaMid, value); return;
    case SATA_TF_LBA_HIGH: shift(p->lbaHigh, value); return;
    case SATA_TF_DEVICE: p->device = static_cast<uint8_t>(value); return;
    case SATA_TF_COMMAND: TaskfileCommand(*p, static_cast<uint8_t>(value)); return;
    case SATA_TF_CONTROL: p->control = static_cast<uint8_t>(value); return;
    default:
        if (inner < 0x60) p->edma[inner / 4] = value;
        return;
    }
}

// A polled command: its data goes through the data register.
void Sata88sx::TaskfileCommand(Port& p, uint8_t command) {
    p.error = 0;
    p.pio.clear();
    p.pioAt = 0;
    p.pioOut = false;
    p.pioCommand = command;
    if (p.drive == nullptr) {
        p.status = 0x7F;
        return;
    }
    const bool ext = IsExt(command);
    uint64_t lba = uint64_t(p.lbaLow[1]) | uint64_t(p.lbaMid[1]) << 8 | uint64_t(p.lbaHigh[1]) << 16;
    uint32_t sectors = p.count[1];
    if (ext) {
        lba |= uint64_t(p.lbaLow[0]) << 24 | uint64_t(p.lbaMid[0]) << 32 | uint64_t(p.lbaHigh[0]) << 40;
        sectors |= uint32_t(p.count[0]) << 8;
        if (sectors == 0) sectors = 0x10000;
    } else {
        lba |= uint64_t(p.device & 0x0F) << 24;
        if (sectors == 0) sectors = 0x100;
    }
    p.pioLba = lba;
    const auto fail = [&p](uint8_t error) {
        p.status = kStatusReady | SATA_STATUS_ERR;
        p.error = error;
    };
    switch (command) {
    case SATA_ATA_IDENTIFY: {
        AtaCommand a;
        a.command = ATA_IDENTIFY_DEVICE;
        p.pio.assign(512, 0);
        const DriveResult r = p.drive->ExecuteAta(a, {}, p.pio);
        if (p.lba28) {
            p.pio[2 * 83 + 1] &= static_cast<uint8_t>(~0x04);   // word 83 bit 10
            p.pio[2 * 86 + 1] &= static_cast<uint8_t>(~0x04);
        }
        if (!identifyOverride.empty()) {
            std::copy_n(identifyOverride.begin(), std::min<size_t>(512, identifyOverride.size()), p.pio.begin());
            identifyOverride.clear();
        }
        if (r.ataStatus & SATA_STATUS_ERR) fail(r.ataError);
        else p.status = kStatusDataReady;
        return;
    }
    case SATA_ATA_SET_FEATURES:
    case SATA_ATA_FLUSH_CACHE: {
        AtaCommand a;
        a.command = command == SATA_ATA_FLUSH_CACHE ? ATA_FLUSH_CACHE : ATA_SET_FEATURES;
        a.features = p.features[1];
        a.count = p.count[1];
        const DriveResult r = p.drive->ExecuteAta(a, {}, {});
        if (r.ataStatus & SATA_STATUS_ERR) fail(r.ataError);
        else p.status = kStatusReady;
        return;
    }
    case SATA_ATA_READ_LONG:
    case SATA_ATA_WRITE_LONG:
        p.pio.assign(SATA_LONG_BYTES, 0);
        if (command == SATA_ATA_READ_LONG) {
            std::vector<uint8_t> block;
            if (Medium(*p.drive, false, lba, 1, block).ataStatus & SATA_STATUS_ERR) {
                fail(ATA_ERROR_UNCORRECTABLE);
                return;
            }
            std::copy(block.begin(), block.end(), p.pio.begin());
            p.status = kStatusDataReady;
        } else {
            p.pioOut = true;
            p.status = kStatusDataReady;
        }
        return;
    default: break;
    }
    if (IsRead(command)) {
        if (Medium(*p.drive, false, lba, sectors, p.pio).ataStatus & SATA_STATUS_ERR) {
            p.pio.clear();
            fail(ATA_ERROR_UNCORRECTABLE);
            return;
        }
        p.status = kStatusDataReady;
    } else if (IsWrite(command)) {
        p.pio.assign(static_cast<size_t>(sectors) * 512, 0);
        p.pioOut = true;
        p.status = kStatusDataReady;
    } else {
        fail(ATA_ERROR_ABORTED);
    }
}

void Sata88sx::FinishPioOut(Port& p) {
    p.pioOut = false;
    if (p.pioCommand == SATA_ATA_WRITE_LONG) {
        // The data part lands; the check bytes written by hand leave the
        // block unreadable.
        p.drive->WriteBlocks(p.pioLba, 1, p.pio.data());
        p.drive->InjectMediaError(p.pioLba, 1);
        p.status = kStatusReady;
        return;
    }
    const uint32_t sectors = static_cast<uint32_t>(p.pio.size() / 512);
    const DriveResult r = Medium(*p.drive, true, p.pioLba, sectors, p.pio);
    p.status = (r.ataStatus & SATA_STATUS_ERR) ? kStatusReady | SATA_STATUS_ERR : kStatusReady;
    p.error = r.ataError;
}

// The EDMA engine takes every request block between its out-pointer and
// the in-pointer: the registers, the PRD table, the transfer.
void Sata88sx::RunRequests(Port& p) {
    const uint32_t inReg = p.edma[SATA_EDMA_REQUEST_IN / 4];
    const uint8_t in = static_cast<uint8_t>((inReg >> 5) & 0x1F);
    while (p.edmaOn && p.requestOut != in) {
        const uint32_t blockAddress = (inReg & ~0x3FFu) + uint32_t(p.requestOut) * SATA_REQUEST_BYTES;
        p.requestOut = static_cast<uint8_t>((p.requestOut + 1) % SATA_QUEUE_SLOTS);
        const uint8_t* rb = Memory(blockAddress, SATA_REQUEST_BYTES);
        if (rb == nullptr) continue;
        const uint32_t prd = Le32(rb);
        const uint16_t control = Le16(rb + 8);
        const uint8_t tag = static_cast<uint8_t>((control >> 1) & 0x1F);
        std::array<std::array<uint8_t, 2>, 8> reg{};   // by register code 0x10..0x17
        for (uint32_t o = 10; o + 2 <= SATA_REQUEST_BYTES; o += 2) {
            const uint16_t w = Le16(rb + o);
            const uint8_t code = static_cast<uint8_t>((w >> 8) & 0x7F);
            if (code >= 0x10 && code <= 0x17) {
                reg[code - 0x10][0] = reg[code - 0x10][1];
                reg[code - 0x10][1] = static_cast<uint8_t>(w);
            }
            if (w & SATA_REQUEST_LAST_REGISTER) break;
        }
        const uint8_t command = reg[7][1];
        const bool ext = IsExt(command);
        const bool queued = command == SATA_ATA_READ_DMA_QUEUED || command == SATA_ATA_WRITE_DMA_QUEUED ||
                            command == SATA_ATA_READ_DMA_QUEUED_EXT || command == SATA_ATA_WRITE_DMA_QUEUED_EXT;
        uint64_t lba = uint64_t(reg[3][1]) | uint64_t(reg[4][1]) << 8 | uint64_t(reg[5][1]) << 16;
        uint32_t sectors = queued ? reg[1][1] : reg[2][1];
        if (ext) {
            lba |= uint64_t(reg[3][0]) << 24 | uint64_t(reg[4][0]) << 32 | uint64_t(reg[5][0]) << 40;
            sectors |= uint32_t(queued ? reg[1][0] : reg[2][0]) << 8;
            if (sectors == 0) sectors = 0x10000;
        } else {
            lba |= uint64_t(reg[6][1] & 0x0F) << 24;
            if (sectors == 0) sectors = 0x100;
        }
        ++p.edmaCommands;
        p.lastCommand = command;
        p.lastLba = lba;
        const uint8_t port = PortIndex(&p);
        if (p.hung) continue;
        // The data between buffer memory and the drive, by the PRD table.
        std::vector<uint8_t> data;
        const bool write = IsWrite(command);
        std::vector<std::pair<uint8_t*, uint32_t>> pieces;
        uint32_t total = 0;
        for (uint8_t e = 0; e < SATA_PRD_ENTRIES; ++e) {
            const uint8_t* pe = Memory(prd + e * SATA_PRD_BYTES, SATA_PRD_BYTES);
            if (pe == nullptr) break;
            const uint32_t bytes = Le16(pe + 4) == 0 ? SATA_PRD_MAX_BYTES : Le16(pe + 4);
            uint8_t* at = Memory(Le32(pe), bytes);
            if (at != nullptr) pieces.emplace_back(at, bytes);
            total += bytes;
            if (Le16(pe + 6) & SATA_PRD_LAST) break;
        }
        uint16_t flags = 0;
        if (total != sectors * 512 || (!IsRead(command) && !write)) {
            flags = kResponseError;
        } else {
            if (write) {
                data.reserve(total);
                for (auto& piece : pieces) data.insert(data.end(), piece.first, piece.first + piece.second);
            }
            const DriveResult r = Medium(*p.drive, write, lba, sectors, data);
            if (r.ataStatus & SATA_STATUS_ERR) {
                // The engine stops on a device error; the taskfile holds it.
                p.status = kStatusReady | SATA_STATUS_ERR;
                p.error = r.ataError;
                p.count[1] = static_cast<uint8_t>(tag << 3);
                p.edmaOn = false;
                p.edma[SATA_EDMA_ERROR_CAUSE / 4] |= SATA_EDMA_ERR_DEVICE;
                m_errorCause |= 1u << (SATA_MAIN_HC_SHIFT * (port / 4) + 2 * (port % 4));
                UpdateLine();
                return;
            }
            if (!write) {
                size_t at = 0;
                for (auto& piece : pieces) {
                    std::memcpy(piece.first, data.data() + at, piece.second);
                    at += piece.second;
                }
            }
        }
        m_done.push_back({m_board.clock().Now() + DriveServiceNs(total), port, tag, flags});
    }
    ArmCompletion();
}

void Sata88sx::ArmCompletion() {
    if (m_done.empty()) return;
    uint64_t first = m_done.front().at;
    for (const Done& d : m_done) first = std::min(first, d.at);
    m_board.clock().Arm(m_doneEvent, first);
}

// Completions due: a response block each, the done bit of the port.
void Sata88sx::Complete() {
    const uint64_t now = m_board.clock().Now();
    for (size_t i = 0; i < m_done.size();) {
        if (m_done[i].at > now) {
            ++i;
            continue;
        }
        const Done d = m_done[i];
        m_done.erase(m_done.begin() + static_cast<long>(i));
        Port& p = m_ports[d.port];
        const uint32_t base = p.edma[SATA_EDMA_RESPONSE_OUT / 4] & ~0xFFu;
        if (uint8_t* rb = Memory(base + uint32_t(p.responseIn) * SATA_RESPONSE_BYTES, SATA_RESPONSE_BYTES)) {
            uint16_t tag = d.tag;
            if (nextResponseTag >= 0) {
                tag = static_cast<uint16_t>(nextResponseTag);
                nextResponseTag = -1;
            }
            PutLe16(rb, tag);
            PutLe16(rb + 2, d.flags);
            PutLe32(rb + 4, static_cast<uint32_t>(now / 1000));
        }
        p.responseIn = static_cast<uint8_t>((p.responseIn + 1) % SATA_QUEUE_SLOTS);
        m_hcCause[d.port / 4] |= 1u << (d.port % 4);
    }
    UpdateLine();
    ArmCompletion();
}

std::array<Sata88sx*, 2> FitSataChips(Board& board) {
    const INT_LINE lines[2] = {INT_LINE_SATA_CHIP1, INT_LINE_SATA_CHIP2};
    std::array<Sata88sx*, 2> chips{};
    for (uint8_t n = 0; n < 2; ++n) {
        chips[n] = &board.pci().AddFunction(
            static_cast<uint8_t>(SATA_CHIP_DEVICE[n] >> 5), static_cast<uint8_t>(SATA_CHIP_DEVICE[n] & 0x1F), 0,
            std::make_unique<Sata88sx>(board, n, InterruptLine(board.intc(), lines[n].bBank, lines[n].bBit)));
    }
    board.fpga().SetBoardStraps(FPGA_BOARD_SATA_CHIPS);
    return chips;
}

void Sata88sx::UpdateLine() {
    m_line.Set((Reg(SATA_MAIN_CAUSE) & m_mainMask) != 0);
}

}  // namespace sim
