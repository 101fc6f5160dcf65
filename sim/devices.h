// The devices every board has: register bus, processor (CPSR, coprocessors,
// timers), interrupt controller, console UART, NVRAM, FPGA, PCI configuration
// space, memory windows.  Chip models of their own live in files of their own.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/clock.h"

namespace sim {

class Board;

// A device behind the register bus, addressed by processor address.
class Device {
public:
    virtual ~Device() = default;
    virtual uint32_t Read(uint32_t address, unsigned width) = 0;
    virtual void Write(uint32_t address, uint32_t value, unsigned width) = 0;
};

// Routes register accesses to the mapped devices.  An address no device
// claims behaves as a plain register: it reads back what was last written
// (0 before that), so board registers the model does not care about can be
// programmed freely.
class Bus {
public:
    void Map(uint32_t base, uint32_t size, Device* device);
    void Unmap(Device* device);
    uint32_t Read(uint32_t address, unsigned width);
    void Write(uint32_t address, uint32_t value, unsigned width);
    // The plain-register store, for models that only watch a register.
    uint32_t Latched(uint32_t address) const;
    void Latch(uint32_t address, uint32_t value) { m_latched[address] = value; }

private:
    struct Range {
        uint32_t base;
        uint32_t size;
        Device* device;
    };
    Device* Find(uint32_t address) const;
    std::vector<Range> m_ranges;
    std::map<uint32_t, uint32_t> m_latched;
};

// Coprocessor-6 interrupt controller: raw source lines, enable (INTCTL),
// steering (INTSTR, 1 = FIQ) and the source registers derived from them.
class InterruptController {
public:
    void SetLine(unsigned reg, unsigned bit, bool level);
    bool Line(unsigned reg, unsigned bit) const { return (m_lines[reg] >> bit) & 1u; }
    uint32_t Read(uint32_t crn, uint32_t crm) const;
    void Write(uint32_t crn, uint32_t crm, uint32_t value);
    uint32_t Fiq(unsigned reg) const { return m_lines[reg] & m_enable[reg] & m_steer[reg]; }
    uint32_t Irq(unsigned reg) const { return m_lines[reg] & m_enable[reg] & ~m_steer[reg]; }
    bool FiqPending() const;
    bool IrqPending() const;
    uint32_t Enable(unsigned reg) const { return m_enable[reg]; }
    uint32_t Steer(unsigned reg) const { return m_steer[reg]; }

private:
    std::array<uint32_t, 4> m_lines{};
    std::array<uint32_t, 4> m_enable{};
    std::array<uint32_t, 4> m_steer{};
};

// Processor timers 0 and 1 (coprocessor 6, CRm 9), counting down at 400 MHz.
class Timers {
public:
    static constexpr uint64_t kCountsPerUs = 400;
    Timers(Clock& clock, InterruptController& intc) : m_clock(clock), m_intc(intc) {}
    uint32_t Read(uint32_t crn);
    void Write(uint32_t crn, uint32_t value);

private:
    struct Timer {
        uint32_t mode = 0;
        uint32_t reload = 0;
        uint64_t start = 0;       // clock time the current count began
        uint32_t startCount = 0;
        Clock::EventId event = 0;
    };
    void Arm(unsigned n);
    void Expire(unsigned n);
    uint32_t Count(unsigned n) const;
    Clock& m_clock;
    InterruptController& m_intc;
    std::array<Timer, 2> m_timers{};
    uint32_t m_status = 0;   // TISR
    uint32_t m_watchdog = 0;
};

// The processor core: CPSR interrupt bits, coprocessor registers, exception
// entry through the vector page.
class Cpu {
public:
    enum class Vector : uint32_t {
        Undefined = 0x20,
        SoftwareInterrupt = 0x24,
        PrefetchAbort = 0x28,
        DataAbort = 0x2C,
        Irq = 0x34,
        Fiq = 0x38,
    };
    explicit Cpu(Board& board);
    uint32_t cpsr = 0xC0;  // I and F set out of reset
    uint32_t Cp6Read(uint32_t crn, uint32_t crm);
    void Cp6Write(uint32_t crn, uint32_t crm, uint32_t value);
    uint32_t Cp15Read(uint32_t crn, uint32_t crm, uint32_t op2);
    void Cp15Write(uint32_t crn, uint32_t crm, uint32_t op2, uint32_t value);
    // Sets a coprocessor-15 register as the hardware would (fault status and
    // address before an abort, cache type, ...).
    void SetCp15(uint32_t crn, uint32_t crm, uint32_t op2, uint32_t value);
    // Enters the handler stored in the vector page literal slot, with I and F
    // set as the processor does, and returns to the interrupted code after.
    void TakeException(Vector vector);
    bool InException() const { return m_depth > 0; }

private:
    static uint32_t Key(uint32_t crn, uint32_t crm, uint32_t op2) { return crn << 16 | crm << 8 | op2; }
    Board& m_board;
    std::map<uint32_t, uint32_t> m_cp6;
    std::map<uint32_t, uint32_t> m_cp15;
    int m_depth = 0;
};

// The processor's 16550-style UART at 0xFFD82300 (byte registers, 4 apart).
class Uart : public Device {
public:
    static constexpr uint32_t kBase = 0xFFD82300;
    explicit Uart(InterruptController& intc) : m_intc(intc) {}
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;
    void Receive(const std::string& bytes);
    bool ReceivePending() const { return !m_rx.empty(); }
    const std::string& Transmitted() const { return m_tx; }
    void ClearTransmitted() { m_tx.clear(); }
    // Where transmitted bytes go besides the record (the terminal, a pipe).
    std::function<void(char)> sink;
    uint32_t Divisor() const { return m_dll | m_dlh << 8; }
    uint8_t LineControl() const { return m_lcr; }

private:
    void UpdateLine();
    InterruptController& m_intc;
    std::deque<uint8_t> m_rx;
    std::string m_tx;
    uint8_t m_ier = 0, m_lcr = 0, m_mcr = 0, m_fcr = 0, m_dll = 0, m_dlh = 0;
};

// Battery-backed NVRAM: 512 KB that keep their contents across runs (a file
// in the data directory) and count every byte stored, so a test can cut the
// power after the k-th store.
class Nvram {
public:
    static constexpr uint32_t kSize = 512 * 1024;
    static constexpr uint32_t kProcessorAddress = 0xF2000000;
    Nvram(Board& board, const std::string& path);
    ~Nvram();
    uint8_t* Data() { return m_data; }
    std::vector<uint8_t> Image() const { return std::vector<uint8_t>(m_data, m_data + kSize); }
    void LoadImage(const std::vector<uint8_t>& image);
    void Write(uint32_t offset, uint8_t value);
    uint64_t WriteCount() const { return m_writes; }
    // The k-th byte store from now is the last one: the power fails right
    // after it (0 disarms).
    void CutPowerAfterWrites(uint64_t k) { m_cutAfter = k; }
    void BatteryLost();  // contents gone: all zero
    // True when this NVRAM came new from the factory (no image before).
    bool Fresh() const { return m_fresh; }
    // Where the factory programs the controller WWN (eight bytes, most
    // significant first).
    static constexpr uint32_t kFactoryWwnOffset = 0x0C;
    void Sync();

private:
    Board& m_board;
    uint8_t* m_data = nullptr;
    bool m_mapped = false;
    bool m_fresh = true;
    uint64_t m_writes = 0;
    uint64_t m_cutAfter = 0;
};

// Board FPGA and CPLD registers at 0xF100F000 (16-bit registers):
// 0x00 control (bit 0 board reset, bit 2 FPGA reset, bit 5 programmed),
// 0x02 slot and indicators (bit 6 slot 1), 0x06 watchdog and reboot,
// 0x16 version and 0x18 hardware version (all ones while blank).
class Fpga : public Device {
public:
    static constexpr uint32_t kBase = 0xF100F000;
    static constexpr uint16_t kVersion = 0x0112;
    static constexpr uint16_t kHardwareVersion = 0x0003;
    Fpga(Board& board, bool programmed, bool slot1);
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;
    bool Programmed() const { return m_programmed; }
    void SetProgrammed(bool programmed);
    uint16_t Register(uint32_t offset) const;
    bool WatchdogRunning() const { return m_watchdogRunning; }

private:
    Board& m_board;
    bool m_programmed;
    std::array<uint16_t, 16> m_regs{};
    bool m_watchdogRunning = false;
};

// The JTAG master the firmware programs the FPGA through: a control
// register, a data port taking the bitstream a word at a time and a status
// register (0xFFD82700).
class JtagPort : public Device {
public:
    static constexpr uint32_t kBase = 0xFFD82700;
    static constexpr uint32_t kControl = 0x00, kData = 0x04, kStatus = 0x08;
    static constexpr uint32_t kControlStart = 1, kControlFinish = 2;
    static constexpr uint32_t kStatusDone = 1, kStatusError = 2;
    explicit JtagPort(Fpga& fpga) : m_fpga(fpga) {}
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

private:
    Fpga& m_fpga;
    std::vector<uint32_t> m_words;
    uint32_t m_status = 0;
    bool m_loading = false;
};

// A PCI function: its configuration space and, once its memory BAR is set,
// its registers on the board bus (the outbound memory window maps PCI
// memory addresses one to one).
class PciFunction : public Device {
public:
    PciFunction(uint16_t vendor, uint16_t device, uint8_t revision, uint32_t classCode,
                uint32_t barSize);
    virtual uint32_t ConfigRead(uint16_t offset);
    virtual void ConfigWrite(uint16_t offset, uint32_t value);
    uint32_t Read(uint32_t, unsigned) override { return 0; }
    void Write(uint32_t, uint32_t, unsigned) override {}
    uint32_t Bar0() const { return m_config[4] & ~0xFu; }
    uint32_t ConfigWord(uint16_t offset) const { return m_config[offset / 4]; }
    Board* board = nullptr;

private:
    std::array<uint32_t, 64> m_config{};
    uint32_t m_barSize;
};

// PCI configuration space behind the ATU-X outbound configuration cycle
// registers (OCCAR 0xFFDCD0A4, OCCDR 0xFFDCD0AC; a cycle to no function reads
// all ones and latches master abort, bit 13 of the ATU status), and the ATU-E
// PCI Express link status word at 0xFFDC8098 (bit 0: link trained).
class Pci : public Device {
public:
    static constexpr uint32_t kAtuxBase = 0xFFDCD000;
    static constexpr uint32_t kOccar = 0xFFDCD0A4;
    static constexpr uint32_t kOccdr = 0xFFDCD0AC;
    static constexpr uint32_t kAtuxStatus = 0xFFDCD078;
    static constexpr uint32_t kAtueLinkStatus = 0xFFDC8098;
    explicit Pci(Board& board) : m_board(board) {}
    void AddFunction(uint8_t bus, uint8_t device, uint8_t function, std::unique_ptr<PciFunction> f);
    PciFunction* Find(uint8_t bus, uint8_t device, uint8_t function) const;
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;
    bool busDead = false;       // PCI set-up finds no ATU
    bool linkDown = false;      // PCI Express link never trains

private:
    Board& m_board;
    std::map<uint32_t, std::unique_ptr<PciFunction>> m_functions;
    uint32_t m_occar = 0;
    uint32_t m_status = 0;
};

// General-purpose output registers at 0xFFD82480 (enable) and 0xFFD82488
// (data); bit 3 drives the board's reset line: clearing it resets the board.
class Gpio : public Device {
public:
    static constexpr uint32_t kBase = 0xFFD82480;
    explicit Gpio(Board& board) : m_board(board) {}
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

private:
    Board& m_board;
    uint32_t m_enable = 0;
    uint32_t m_data = 0;
};

// Memory the firmware knows by address or by window name.
class MemoryWindows {
public:
    MemoryWindows(uint32_t memorySize);
    ~MemoryWindows();
    uint8_t* bootBlock() { return m_boot.data(); }
    uint8_t* vectorPage() { return m_vectors.data(); }
    uint8_t* bank0() { return m_bank0; }
    uint32_t bank0Address() const { return m_bank0Address; }
    uint32_t bank0Size() const { return m_bank0Size; }
    // Host pointer for a processor address in data-buffer memory (DMA),
    // null when [address, address + length) is not all buffer memory.
    uint8_t* Translate(uint32_t address, uint32_t length);
    static constexpr uint32_t kBootBlockAddress = 0x001FFC00;
    static constexpr uint32_t kBootBlockSize = 0x00280000 - kBootBlockAddress;
    static constexpr uint32_t kSdramBytes = 128u << 20;

private:
    std::vector<uint8_t> m_boot;
    std::vector<uint8_t> m_vectors;
    uint8_t* m_bank0 = nullptr;
    uint32_t m_bank0Address = 0;
    uint32_t m_bank0Size = 0;
};

// The processor's thread of control: the firmware runs on a stack of its
// own and gives control back to the board's driver at interrupt points.
class Fiber {
public:
    Fiber();
    ~Fiber();
    // Prepares a fresh start of `entry` (any earlier run is abandoned).
    void Start(std::function<void()> entry);
    // Runs the fiber until it yields or finishes; true when it finished.
    bool Resume();
    void Yield();
    bool Active() const { return m_inside; }
    bool Started() const { return m_started; }

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    bool m_inside = false;
    bool m_started = false;
};

}  // namespace sim
