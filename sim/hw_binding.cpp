// The hardware boundary as the simulated board implements it.  Every call
// reaches the board that runs this firmware and is an interrupt point.
//
// This file is compiled once per firmware in the program: built with
// -Dfw=fw_b it binds the second controller's firmware to its own image
// (sections __fw_b_data_start ... laid out by the linker script) and board.
#include <cstdio>
#include <cstdlib>

#include "hw/addresses.h"
#include "hw/hw.h"
#include "sim/board.h"
#include "sim/processor_errors.h"
#include "sim/processor_side.h"

// The bounds of this firmware's data and bss: __<namespace>_data_start ...
#define FW_SECTION_2(ns, what) __##ns##_##what
#define FW_SECTION(ns, what) FW_SECTION_2(ns, what)
extern "C" {
extern uint8_t FW_SECTION(fw, data_start)[], FW_SECTION(fw, data_end)[];
extern uint8_t FW_SECTION(fw, bss_start)[], FW_SECTION(fw, bss_end)[];
}

namespace fw {

sim::FirmwareImage hwFirmwareImage(FW_SECTION(fw, data_start), FW_SECTION(fw, data_end), FW_SECTION(fw, bss_start),
                                   FW_SECTION(fw, bss_end), BANK_WINDOW_OFFSET);

namespace {
constexpr uint32_t kRegisterNs = 50;
constexpr uint32_t kCoprocessorNs = 10;

[[noreturn]] __attribute__((noinline, cold)) void NoBoard() {
    std::fprintf(stderr, "board: hardware access with no board\n");
    std::abort();
}

inline sim::Board& B() {
    sim::Board* b = hwFirmwareImage.board;
    if (__builtin_expect(b == nullptr, 0)) NoBoard();
    return *b;
}

uint32_t BusRead(uint32_t address, unsigned width) {
    sim::InBoard inBoard;
    sim::Board& b = B();
    uint32_t v = b.bus().Read(address, width);
    b.InterruptPoint(kRegisterNs);
    return v;
}

void BusWrite(uint32_t address, uint32_t value, unsigned width) {
    sim::InBoard inBoard;
    sim::Board& b = B();
    b.bus().Write(address, value, width);
    b.InterruptPoint(kRegisterNs);
}
}  // namespace

// Everything the firmware holds as a 32-bit word is placed below 4 GiB by
// the board (statics of a non-PIE program, its memory windows and stacks):
// a pointer above it was handed in from elsewhere, and truncating it would
// send a chip or a handle to another object.
void HwAddressAboveFourGiB(const volatile void* p) {
    std::fprintf(stderr,
                 "board: the firmware was handed %p, above 4 GiB: its processor addresses are 32-bit words "
                 "(memory handed to it must come from below 4 GiB)\n",
                 const_cast<const void*>(p));
    std::abort();
}

uint8_t Reg8Read(uint32_t dAddress) { return static_cast<uint8_t>(BusRead(dAddress, 1)); }
uint16_t Reg16Read(uint32_t dAddress) { return static_cast<uint16_t>(BusRead(dAddress, 2)); }
uint32_t Reg32Read(uint32_t dAddress) { return BusRead(dAddress, 4); }
void Reg8Write(uint32_t dAddress, uint8_t bValue) { BusWrite(dAddress, bValue, 1); }
void Reg16Write(uint32_t dAddress, uint16_t wValue) { BusWrite(dAddress, wValue, 2); }
void Reg32Write(uint32_t dAddress, uint32_t dValue) { BusWrite(dAddress, dValue, 4); }

uint32_t Cp6Read(uint32_t dCrn, uint32_t dCrm) {
    sim::InBoard inBoard;
    sim::Board& b = B();
    uint32_t v = b.cpu().Cp6Read(dCrn, dCrm);
    b.InterruptPoint(kCoprocessorNs, false);
    return v;
}

void Cp6Write(uint32_t dCrn, uint32_t dCrm, uint32_t dValue) {
    sim::InBoard inBoard;
    sim::Board& b = B();
    b.cpu().Cp6Write(dCrn, dCrm, dValue);
    b.CoprocessorWrite(kCoprocessorNs);
}

uint32_t Cp15Read(uint32_t dCrn, uint32_t dCrm, uint32_t dOpcode2) {
    sim::InBoard inBoard;
    sim::Board& b = B();
    uint32_t v = b.cpu().Cp15Read(dCrn, dCrm, dOpcode2);
    b.InterruptPoint(kCoprocessorNs, false);
    return v;
}

void Cp15Write(uint32_t dCrn, uint32_t dCrm, uint32_t dOpcode2, uint32_t dValue) {
    sim::InBoard inBoard;
    sim::Board& b = B();
    b.cpu().Cp15Write(dCrn, dCrm, dOpcode2, dValue);
    b.CoprocessorWrite(kCoprocessorNs);
}

void CpuMaskInterrupts() {
    sim::Cpu& cpu = B().cpu();
    cpu.SetCpsr(cpu.Cpsr() | CPSR_IRQ_MASK | CPSR_FIQ_MASK);
}

void CpuUnmaskInterrupts() {
    sim::InBoard inBoard;
    sim::Board& b = B();
    b.cpu().SetCpsr(b.cpu().Cpsr() & ~(CPSR_IRQ_MASK | CPSR_FIQ_MASK));
    b.InterruptPoint(kCoprocessorNs, false);
}

uint32_t CpuGetInterruptMask() { return B().cpu().Cpsr() & (CPSR_IRQ_MASK | CPSR_FIQ_MASK); }

HwWindow HwGetWindow(HwWindowId eWindow) {
    sim::Board& b = B();
    // NVRAM first: the firmware asks for it at every read of NVRAM.
    if (__builtin_expect(eWindow == HW_WINDOW_NVRAM, 1)) {
        return HwWindow{b.nvram().Data(), sim::Nvram::kSize, sim::Nvram::kProcessorAddress};
    }
    switch (eWindow) {
    case HW_WINDOW_BOOT_BLOCK:
        return HwWindow{b.memory().bootBlock(), sim::MemoryWindows::kBootBlockSize,
                        sim::MemoryWindows::kBootBlockAddress};
    case HW_WINDOW_VECTOR_PAGE:
        return HwWindow{b.memory().vectorPage(), sim::MemoryWindows::kVectorPageSize, 0};
    case HW_WINDOW_BANK0:
        return HwWindow{b.memory().bank0(), b.memory().bank0Size(), b.memory().bank0Address()};
    case HW_WINDOW_NVRAM:   // answered above
    case HW_WINDOW_BANK1:
        break;
    }
    return HwWindow{nullptr, 0, 0};
}

void HwNvramWrite8(uint32_t dOffset, uint8_t bValue) {
    sim::InBoard inBoard;
    B().nvram().Write(dOffset, bValue);
}

void HwNvramWrite(uint32_t dOffset, const void* pSource, uint32_t dLength) {
    sim::InBoard inBoard;
    B().nvram().Write(dOffset, static_cast<const uint8_t*>(pSource), dLength);
}

void HwNvramFill(uint32_t dOffset, uint8_t bValue, uint32_t dLength) {
    sim::InBoard inBoard;
    B().nvram().Fill(dOffset, bValue, dLength);
}

HwExceptionFrame HwGetExceptionFrame() { return B().processorErrors().Frame(); }

void HwDelayUs(uint32_t dMicroseconds) {
    sim::InBoard inBoard;
    B().Delay(static_cast<uint64_t>(dMicroseconds) * 1000);
}

void HwPoll() {
    sim::InBoard inBoard;
    B().Poll();
}

void HwEnterEndlessState(HwEndlessState eState) {
    sim::StopKind kind = sim::StopKind::Halt;
    if (eState == HW_ENDLESS_IDLE) kind = sim::StopKind::Idle;
    if (eState == HW_ENDLESS_SHUTDOWN) kind = sim::StopKind::Shutdown;
    B().StopProcessor(kind);
}

}  // namespace fw
