#include "sim/devices.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/board.h"

namespace sim {

// --- bus -------------------------------------------------------------------

void Bus::Map(uint32_t base, uint32_t size, Device* device) {
    // A device may answer at several ranges (the PCI model does); moving a
    // range is Unmap then Map.
    m_ranges.push_back(Range{base, size, device});
}

void Bus::Unmap(Device* device) {
    for (auto it = m_ranges.begin(); it != m_ranges.end();) {
        it = it->device == device ? m_ranges.erase(it) : it + 1;
    }
}

Device* Bus::Find(uint32_t address) const {
    for (const Range& r : m_ranges) {
        if (address - r.base < r.size) return r.device;
    }
    return nullptr;
}

uint32_t Bus::Read(uint32_t address, unsigned width) {
    if (Device* d = Find(address)) return d->Read(address, width);
    return Latched(address);
}

void Bus::Write(uint32_t address, uint32_t value, unsigned width) {
    if (Device* d = Find(address)) {
        d->Write(address, value, width);
        return;
    }
    m_latched[address] = value;
}

uint32_t Bus::Latched(uint32_t address) const {
    auto it = m_latched.find(address);
    return it == m_latched.end() ? 0 : it->second;
}

// --- interrupt controller --------------------------------------------------

void InterruptController::SetLine(unsigned reg, unsigned bit, bool level) {
    if (level) {
        m_lines[reg] |= 1u << bit;
    } else {
        m_lines[reg] &= ~(1u << bit);
    }
}

bool InterruptController::FiqPending() const {
    for (unsigned r = 0; r < 4; ++r) {
        if (Fiq(r)) return true;
    }
    return false;
}

bool InterruptController::IrqPending() const {
    for (unsigned r = 0; r < 4; ++r) {
        if (Irq(r)) return true;
    }
    return false;
}

uint32_t InterruptController::Read(uint32_t crn, uint32_t crm) const {
    if (crn > 3) return 0;
    switch (crm) {
    case 4: return m_enable[crn];
    case 5: return m_steer[crn];
    case 6: return Irq(crn);
    case 7: return Fiq(crn);
    default: return 0;
    }
}

void InterruptController::Write(uint32_t crn, uint32_t crm, uint32_t value) {
    if (crn > 3) return;
    if (crm == 4) m_enable[crn] = value;
    if (crm == 5) m_steer[crn] = value;
}

// --- timers ----------------------------------------------------------------

namespace {
constexpr uint32_t kTimerEnable = 0x2;
constexpr uint32_t kTimerReload = 0x4;
constexpr unsigned kTimerLine[2] = {8, 9};  // INTSRC0 bits
}  // namespace

uint32_t Timers::Count(unsigned n) const {
    const Timer& t = m_timers[n];
    if (!(t.mode & kTimerEnable)) return t.startCount;
    uint64_t elapsed = (m_clock.Now() - t.start) * kCountsPerUs / 1000;
    return elapsed >= t.startCount ? 0 : t.startCount - static_cast<uint32_t>(elapsed);
}

void Timers::Arm(unsigned n) {
    Timer& t = m_timers[n];
    if (t.event) m_clock.Cancel(t.event);
    t.event = 0;
    if (!(t.mode & kTimerEnable) || t.startCount == 0) return;
    t.start = m_clock.Now();
    uint64_t ns = (static_cast<uint64_t>(t.startCount) * 1000 + kCountsPerUs - 1) / kCountsPerUs;
    t.event = m_clock.Schedule(t.start + ns, [this, n] { Expire(n); });
}

void Timers::Expire(unsigned n) {
    Timer& t = m_timers[n];
    t.event = 0;
    m_status |= 1u << n;
    m_intc.SetLine(0, kTimerLine[n], true);
    if (t.mode & kTimerReload) {
        t.startCount = t.reload;
        Arm(n);
    } else {
        t.startCount = 0;
    }
}

uint32_t Timers::Read(uint32_t crn) {
    switch (crn) {
    case 0: case 1: return m_timers[crn].mode;
    case 2: case 3: return Count(crn - 2);
    case 4: case 5: return m_timers[crn - 4].reload;
    case 6: return m_status;
    case 7: return m_watchdog;
    default: return 0;
    }
}

void Timers::Write(uint32_t crn, uint32_t value) {
    switch (crn) {
    case 0: case 1: {
        Timer& t = m_timers[crn];
        uint32_t count = Count(crn);
        t.mode = value;
        t.startCount = (value & kTimerEnable) && count == 0 ? t.reload : count;
        Arm(crn);
        break;
    }
    case 2: case 3:
        m_timers[crn - 2].startCount = value;
        Arm(crn - 2);
        break;
    case 4: case 5: m_timers[crn - 4].reload = value; break;
    case 6:
        // Writing a one clears that timer's interrupt.
        m_status &= ~value;
        for (unsigned n = 0; n < 2; ++n) {
            if (value & (1u << n)) m_intc.SetLine(0, kTimerLine[n], false);
        }
        break;
    case 7: m_watchdog = value; break;
    default: break;
    }
}

// --- processor -------------------------------------------------------------

Cpu::Cpu(Board& board) : m_board(board) {
    // The boot ROM leaves the data cache on (control register bit 2).
    m_cp15[Key(1, 0, 0)] = 0x0000007D;
}

uint32_t Cpu::Cp6Read(uint32_t crn, uint32_t crm) {
    if (crm >= 4 && crm <= 7) return m_board.intc().Read(crn, crm);
    if (crm == 9) return m_board.timers().Read(crn);
    auto it = m_cp6.find(Key(crn, crm, 0));
    return it == m_cp6.end() ? 0 : it->second;
}

void Cpu::Cp6Write(uint32_t crn, uint32_t crm, uint32_t value) {
    if (crm >= 4 && crm <= 7) {
        m_board.intc().Write(crn, crm, value);
    } else if (crm == 9) {
        m_board.timers().Write(crn, value);
    } else {
        m_cp6[Key(crn, crm, 0)] = value;
    }
}

uint32_t Cpu::Cp15Read(uint32_t crn, uint32_t crm, uint32_t op2) {
    auto it = m_cp15.find(Key(crn, crm, op2));
    return it == m_cp15.end() ? 0 : it->second;
}

void Cpu::Cp15Write(uint32_t crn, uint32_t crm, uint32_t op2, uint32_t value) {
    // Cache and TLB operations (c7, c8) have no state to keep.
    if (crn == 7 || crn == 8) return;
    m_cp15[Key(crn, crm, op2)] = value;
}

void Cpu::SetCp15(uint32_t crn, uint32_t crm, uint32_t op2, uint32_t value) {
    m_cp15[Key(crn, crm, op2)] = value;
}

void Cpu::TakeException(Vector vector) {
    uint32_t slot;
    std::memcpy(&slot, m_board.memory().vectorPage() + static_cast<uint32_t>(vector), sizeof slot);
    if (slot == 0) return;  // no handler installed yet
    uint32_t saved = cpsr;
    cpsr |= vector == Vector::Fiq ? 0xC0u : 0x80u;
    ++m_depth;
    reinterpret_cast<void (*)()>(static_cast<uintptr_t>(slot))();
    --m_depth;
    cpsr = saved;
}

// --- UART --------------------------------------------------------------------

namespace {
constexpr unsigned kUartLineReg = 1, kUartLineBit = 19;
}

uint32_t Uart::Read(uint32_t address, unsigned) {
    bool dlab = m_lcr & 0x80;
    switch (address - kBase) {
    case 0x00:
        if (dlab) return m_dll;
        if (m_rx.empty()) return 0;
        {
            uint8_t b = m_rx.front();
            m_rx.pop_front();
            UpdateLine();
            return b;
        }
    case 0x04: return dlab ? m_dlh : m_ier;
    case 0x08: return m_rx.empty() ? 0x01 : 0x04;  // IIR: none / receive data
    case 0x0C: return m_lcr;
    case 0x10: return m_mcr;
    case 0x14: return 0x60 | (m_rx.empty() ? 0 : 1);  // transmitter always ready
    default: return 0;
    }
}

void Uart::Write(uint32_t address, uint32_t value, unsigned) {
    uint8_t b = static_cast<uint8_t>(value);
    bool dlab = m_lcr & 0x80;
    switch (address - kBase) {
    case 0x00:
        if (dlab) {
            m_dll = b;
        } else {
            m_tx.push_back(static_cast<char>(b));
            if (sink) sink(static_cast<char>(b));
        }
        break;
    case 0x04:
        if (dlab) {
            m_dlh = b;
        } else {
            m_ier = b;
            UpdateLine();
        }
        break;
    case 0x08: m_fcr = b; break;
    case 0x0C: m_lcr = b; break;
    case 0x10: m_mcr = b; break;
    default: break;
    }
}

void Uart::Receive(const std::string& bytes) {
    for (char c : bytes) m_rx.push_back(static_cast<uint8_t>(c));
    UpdateLine();
}

void Uart::UpdateLine() {
    m_intc.SetLine(kUartLineReg, kUartLineBit, (m_ier & 0x01) && !m_rx.empty());
}

// --- NVRAM -----------------------------------------------------------------

Nvram::Nvram(Board& board, const std::string& path) : m_board(board) {
    if (!path.empty()) {
        m_fresh = access(path.c_str(), F_OK) != 0;
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
        if (fd < 0 || ftruncate(fd, kSize) != 0) {
            std::fprintf(stderr, "board: cannot open NVRAM image %s\n", path.c_str());
            std::exit(1);
        }
        void* p = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (p == MAP_FAILED) {
            std::fprintf(stderr, "board: cannot map NVRAM image %s\n", path.c_str());
            std::exit(1);
        }
        m_data = static_cast<uint8_t*>(p);
        m_mapped = true;
    } else {
        m_data = static_cast<uint8_t*>(std::calloc(kSize, 1));
    }
}

Nvram::~Nvram() {
    if (m_mapped) {
        msync(m_data, kSize, MS_SYNC);
        munmap(m_data, kSize);
    } else {
        std::free(m_data);
    }
}

void Nvram::LoadImage(const std::vector<uint8_t>& image) {
    std::memcpy(m_data, image.data(), image.size() < kSize ? image.size() : kSize);
}

void Nvram::Write(uint32_t offset, uint8_t value) {
    if (offset >= kSize) return;
    m_data[offset] = value;
    ++m_writes;
    if (m_cutAfter != 0 && --m_cutAfter == 0) m_board.StopProcessor(StopKind::PowerCut);
}

void Nvram::BatteryLost() { std::memset(m_data, 0, kSize); }

void Nvram::Sync() {
    if (m_mapped) msync(m_data, kSize, MS_SYNC);
}

// --- FPGA and JTAG -----------------------------------------------------------

Fpga::Fpga(Board& board, bool programmed, bool slot1) : m_board(board), m_programmed(programmed) {
    m_regs[0x02 / 2] = slot1 ? 0x0040 : 0x0000;
}

void Fpga::SetProgrammed(bool programmed) { m_programmed = programmed; }

uint16_t Fpga::Register(uint32_t offset) const { return m_regs[(offset & 0x1F) / 2]; }

uint32_t Fpga::Read(uint32_t address, unsigned) {
    uint32_t offset = (address - kBase) & 0x1E;
    if (!m_programmed) return 0xFFFF;
    switch (offset) {
    case 0x00: return m_regs[0] | 0x0020;
    case 0x16: return kVersion;
    case 0x18: return kHardwareVersion;
    default: return m_regs[offset / 2];
    }
}

void Fpga::Write(uint32_t address, uint32_t value, unsigned) {
    if (!m_programmed) return;
    uint32_t offset = (address - kBase) & 0x1E;
    uint16_t v = static_cast<uint16_t>(value);
    m_regs[offset / 2] = v;
    if (offset == 0x00 && (v & 0x0001)) m_board.StopProcessor(StopKind::Reset);
    if (offset == 0x06) m_watchdogRunning = v != 0;
}

uint32_t JtagPort::Read(uint32_t address, unsigned) {
    return address - kBase == kStatus ? m_status : 0;
}

void JtagPort::Write(uint32_t address, uint32_t value, unsigned) {
    switch (address - kBase) {
    case kControl:
        if (value & kControlStart) {
            m_words.clear();
            m_loading = true;
            m_status = 0;
        }
        if ((value & kControlFinish) && m_loading) {
            // A bitstream is accepted when its header word and its XOR over
            // all words (which includes the trailing check word) are right.
            uint32_t x = 0;
            for (uint32_t w : m_words) x ^= w;
            bool ok = m_words.size() >= 3 && m_words[0] == 0xB175F00Du && x == 0;
            m_status = ok ? kStatusDone : kStatusError;
            m_loading = false;
            if (ok) m_fpga.SetProgrammed(true);
        }
        break;
    case kData:
        if (m_loading) m_words.push_back(value);
        break;
    default: break;
    }
}

// --- GPIO ------------------------------------------------------------------

uint32_t Gpio::Read(uint32_t address, unsigned) {
    return address - kBase == 0 ? m_enable : m_data;
}

void Gpio::Write(uint32_t address, uint32_t value, unsigned) {
    if (address - kBase == 0) {
        m_enable = value;
        return;
    }
    if (address - kBase != 8) return;
    bool wasHigh = m_data & 0x8;
    m_data = value;
    if (wasHigh && !(value & 0x8)) m_board.StopProcessor(StopKind::Reset);
}

// --- PCI ---------------------------------------------------------------------

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
            if (value != 0 && value != ~(m_barSize - 1)) {
                board->bus().Map(value, m_barSize, this);
            } else {
                board->bus().Unmap(this);
            }
        }
        return;
    }
    m_config[index] = value;
}

void Pci::AddFunction(uint8_t bus, uint8_t device, uint8_t function, std::unique_ptr<PciFunction> f) {
    f->board = &m_board;
    m_functions[static_cast<uint32_t>(bus) << 16 | device << 11 | function << 8] = std::move(f);
}

PciFunction* Pci::Find(uint8_t bus, uint8_t device, uint8_t function) const {
    auto it = m_functions.find(static_cast<uint32_t>(bus) << 16 | device << 11 | function << 8);
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

// --- memory ------------------------------------------------------------------

MemoryWindows::MemoryWindows(uint32_t memorySize)
    : m_boot(kBootBlockSize, 0), m_vectors(4096, 0) {
    // Bank 0 begins where the firmware's own memory ends; chips get its
    // addresses for DMA, so it must sit at exactly that processor address.
    uint32_t base = memorySize == 0x04000000 ? 0x04000000 : 0x02000000;
    m_bank0Address = base;
    m_bank0Size = kSdramBytes - base;
    void* p = mmap(reinterpret_cast<void*>(static_cast<uintptr_t>(base)), m_bank0Size,
                   PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED || p != reinterpret_cast<void*>(static_cast<uintptr_t>(base))) {
        std::fprintf(stderr, "board: cannot map buffer bank 0 at 0x%08x\n", base);
        std::exit(1);
    }
    m_bank0 = static_cast<uint8_t*>(p);
}

MemoryWindows::~MemoryWindows() { munmap(m_bank0, m_bank0Size); }

uint8_t* MemoryWindows::Translate(uint32_t address, uint32_t length) {
    if (address >= m_bank0Address && length <= m_bank0Size &&
        address - m_bank0Address <= m_bank0Size - length) {
        return m_bank0 + (address - m_bank0Address);
    }
    return nullptr;
}

}  // namespace sim
