// The kinds of address that cross into chips.
//
// The processor reaches a byte by its processor address (a pointer is one:
// the processor is 32-bit).  A chip doing DMA over PCI is given the byte's
// bus address, the address the inbound window answers to.  In buffer bank 0
// the two numbers are the same today; bank 1, the XOR engine and the Fibre
// Channel chips' windows make them differ, so each is its own type, and a
// conversion between them says what it does.  Both cost exactly a 32-bit
// word.
#pragma once

#include <cstdint>

namespace fw {

static_assert(sizeof(void*) == 4, "a processor address is one 32-bit word");

enum class CPU_ADDRESS : uint32_t {};
enum class BUS_ADDRESS : uint32_t {};

// A byte further on.
constexpr CPU_ADDRESS operator+(CPU_ADDRESS dAddress, uint32_t dOffset) {
    return CPU_ADDRESS{static_cast<uint32_t>(dAddress) + dOffset};
}
constexpr BUS_ADDRESS operator+(BUS_ADDRESS dAddress, uint32_t dOffset) {
    return BUS_ADDRESS{static_cast<uint32_t>(dAddress) + dOffset};
}
// How far one processor address lies beyond another.
constexpr uint32_t operator-(CPU_ADDRESS dAddress, CPU_ADDRESS dBase) {
    return static_cast<uint32_t>(dAddress) - static_cast<uint32_t>(dBase);
}

// Memory the firmware holds by pointer, and back.
inline CPU_ADDRESS dCpuAddressOf(const volatile void* p) {
    return CPU_ADDRESS{static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p))};
}
inline void* pCpuAddressToPointer(CPU_ADDRESS dAddress) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<uint32_t>(dAddress)));
}

}  // namespace fw
