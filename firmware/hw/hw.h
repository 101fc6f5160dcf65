// The hardware boundary: the only way firmware reaches a device.
//
// Every call is named by what it is on the board: memory-mapped registers by
// processor address, coprocessor registers, the CPSR interrupt bits, memory
// windows by name, and the points where time passes.  On the simulated board
// each call is also an interrupt point: a pending, enabled and unmasked FIQ or
// IRQ is taken there, as the processor would take it between instructions.
#pragma once

#include <cstdint>

namespace fw {

// Memory-mapped registers (FPGA at 0xF100F000, peripherals at 0xFFD8xxxx, ...).
uint8_t Reg8Read(uint32_t dAddress);
uint16_t Reg16Read(uint32_t dAddress);
uint32_t Reg32Read(uint32_t dAddress);
void Reg8Write(uint32_t dAddress, uint8_t bValue);
void Reg16Write(uint32_t dAddress, uint16_t wValue);
void Reg32Write(uint32_t dAddress, uint32_t dValue);

// Coprocessor 6 (interrupt controller, timers) and coprocessor 15 (control,
// caches, fault status), addressed by CRn / CRm (and opcode 2 for CP15).
uint32_t Cp6Read(uint32_t dCrn, uint32_t dCrm);
void Cp6Write(uint32_t dCrn, uint32_t dCrm, uint32_t dValue);
uint32_t Cp15Read(uint32_t dCrn, uint32_t dCrm, uint32_t dOpcode2);
void Cp15Write(uint32_t dCrn, uint32_t dCrm, uint32_t dOpcode2, uint32_t dValue);

// The I and F bits of the CPSR.
constexpr uint32_t CPSR_IRQ_MASK = 0x80;
constexpr uint32_t CPSR_FIQ_MASK = 0x40;
void CpuMaskInterrupts();    // sets I and F
void CpuUnmaskInterrupts();  // clears I and F
uint32_t CpuGetInterruptMask();  // the I and F bits as they stand

// Memory windows.  Each is a base pointer the firmware adds documented offsets
// to, and the processor address that base stands for.
enum HwWindowId : uint8_t {
    HW_WINDOW_NVRAM = 0,        // battery-backed NVRAM, 512 KB at 0xF2000000
    HW_WINDOW_BOOT_BLOCK = 1,   // low memory 0x001FFC00..0x0027FFFF: boot-ROM block
    HW_WINDOW_VECTOR_PAGE = 2,  // exception vectors and their literal slots at 0
    HW_WINDOW_BANK0 = 3,        // data-buffer bank 0, mapped at its processor address
    HW_WINDOW_BANK1 = 4,        // data-buffer bank 1 (size 0 when not fitted)
};
struct HwWindow {
    uint8_t* pBase;
    uint32_t dSize;
    uint32_t dProcessorAddress;
};
HwWindow HwGetWindow(HwWindowId eWindow);

// NVRAM stores.  Reads go through the window; every store goes through these
// so that a power cut between two stores leaves exactly the bytes written.
void HwNvramWrite8(uint32_t dOffset, uint8_t bValue);
void HwNvramWrite(uint32_t dOffset, const void* pSource, uint32_t dLength);
void HwNvramFill(uint32_t dOffset, uint8_t bValue, uint32_t dLength);

// Busy-wait for a number of microseconds (an interrupt point throughout).
void HwDelayUs(uint32_t dMicroseconds);

// Top of every main-loop cycle and body of every busy-wait loop on memory.
void HwPoll();

// The states the controller never leaves.  On the board the endless loop that
// follows the call keeps the processor there until power-off; the simulated
// board ends the run here and does not return.
enum HwEndlessState : uint8_t {
    HW_ENDLESS_IDLE = 1,      // a failed start-up check idles forever
    HW_ENDLESS_HALT = 2,      // "E:Halt"
    HW_ENDLESS_SHUTDOWN = 3,  // shut down, waiting for power-off
};
void HwEnterEndlessState(HwEndlessState eState);

// What an exception entry stub finds on entry: the exception-mode link
// register and the instruction word before it (undefined instruction and
// software interrupt).
struct HwExceptionFrame {
    uint32_t dLinkRegister;
    uint32_t dInstruction;
};
HwExceptionFrame HwGetExceptionFrame();

// Entry points the board calls back into.  The firmware stores its handler
// addresses into the vector page literal slots (0x20..0x38); the board enters
// the handler found in the slot of the exception it takes.
using HwHandler = void (*)();

}  // namespace fw
