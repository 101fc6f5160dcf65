// The hardware boundary as the simulated board implements it.  Every call
// reaches the current board and is an interrupt point.
#include "hw/hw.h"
#include "sim/board.h"
#include "sim/processor_errors.h"

namespace fw {

namespace {
constexpr uint64_t kRegisterNs = 50;
constexpr uint64_t kCoprocessorNs = 10;

sim::Board& B() { return sim::Board::Current(); }

uint32_t BusRead(uint32_t address, unsigned width) {
    sim::Board& b = B();
    uint32_t v = b.bus().Read(address, width);
    b.InterruptPoint(kRegisterNs);
    return v;
}

void BusWrite(uint32_t address, uint32_t value, unsigned width) {
    sim::Board& b = B();
    b.bus().Write(address, value, width);
    b.InterruptPoint(kRegisterNs);
}
}  // namespace

uint8_t Reg8Read(uint32_t dAddress) { return static_cast<uint8_t>(BusRead(dAddress, 1)); }
uint16_t Reg16Read(uint32_t dAddress) { return static_cast<uint16_t>(BusRead(dAddress, 2)); }
uint32_t Reg32Read(uint32_t dAddress) { return BusRead(dAddress, 4); }
void Reg8Write(uint32_t dAddress, uint8_t bValue) { BusWrite(dAddress, bValue, 1); }
void Reg16Write(uint32_t dAddress, uint16_t wValue) { BusWrite(dAddress, wValue, 2); }
void Reg32Write(uint32_t dAddress, uint32_t dValue) { BusWrite(dAddress, dValue, 4); }

uint32_t Cp6Read(uint32_t dCrn, uint32_t dCrm) {
    uint32_t v = B().cpu().Cp6Read(dCrn, dCrm);
    B().InterruptPoint(kCoprocessorNs, false);
    return v;
}

void Cp6Write(uint32_t dCrn, uint32_t dCrm, uint32_t dValue) {
    B().cpu().Cp6Write(dCrn, dCrm, dValue);
    B().InterruptPoint(kCoprocessorNs, false);
}

uint32_t Cp15Read(uint32_t dCrn, uint32_t dCrm, uint32_t dOpcode2) {
    uint32_t v = B().cpu().Cp15Read(dCrn, dCrm, dOpcode2);
    B().InterruptPoint(kCoprocessorNs, false);
    return v;
}

void Cp15Write(uint32_t dCrn, uint32_t dCrm, uint32_t dOpcode2, uint32_t dValue) {
    B().cpu().Cp15Write(dCrn, dCrm, dOpcode2, dValue);
    B().InterruptPoint(kCoprocessorNs, false);
}

void CpuMaskInterrupts() { B().cpu().cpsr |= CPSR_IRQ_MASK | CPSR_FIQ_MASK; }

void CpuUnmaskInterrupts() {
    B().cpu().cpsr &= ~(CPSR_IRQ_MASK | CPSR_FIQ_MASK);
    B().InterruptPoint(kCoprocessorNs, false);
}

uint32_t CpuGetInterruptMask() { return B().cpu().cpsr & (CPSR_IRQ_MASK | CPSR_FIQ_MASK); }

HwWindow HwGetWindow(HwWindowId eWindow) {
    sim::Board& b = B();
    switch (eWindow) {
    case HW_WINDOW_NVRAM:
        return HwWindow{b.nvram().Data(), sim::Nvram::kSize, sim::Nvram::kProcessorAddress};
    case HW_WINDOW_BOOT_BLOCK:
        return HwWindow{b.memory().bootBlock(), sim::MemoryWindows::kBootBlockSize,
                        sim::MemoryWindows::kBootBlockAddress};
    case HW_WINDOW_VECTOR_PAGE:
        return HwWindow{b.memory().vectorPage(), sim::MemoryWindows::kVectorPageSize, 0};
    case HW_WINDOW_BANK0:
        return HwWindow{b.memory().bank0(), b.memory().bank0Size(), b.memory().bank0Address()};
    case HW_WINDOW_BANK1:
        break;
    }
    return HwWindow{nullptr, 0, 0};
}

void HwNvramWrite8(uint32_t dOffset, uint8_t bValue) { B().nvram().Write(dOffset, bValue); }

void HwNvramWrite(uint32_t dOffset, const void* pSource, uint32_t dLength) {
    B().nvram().Write(dOffset, static_cast<const uint8_t*>(pSource), dLength);
}

void HwNvramFill(uint32_t dOffset, uint8_t bValue, uint32_t dLength) { B().nvram().Fill(dOffset, bValue, dLength); }

HwExceptionFrame HwGetExceptionFrame() { return B().processorErrors().Frame(); }

void HwDelayUs(uint32_t dMicroseconds) { B().Delay(static_cast<uint64_t>(dMicroseconds) * 1000); }

void HwPoll() { B().Poll(); }

void HwEnterEndlessState(HwEndlessState eState) {
    sim::StopKind kind = sim::StopKind::Halt;
    if (eState == HW_ENDLESS_IDLE) kind = sim::StopKind::Idle;
    if (eState == HW_ENDLESS_SHUTDOWN) kind = sim::StopKind::Shutdown;
    B().StopProcessor(kind);
}

}  // namespace fw
