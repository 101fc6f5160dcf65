// Coprocessor 15: the processor's control, cache and fault registers and
// operations, as (CRn, CRm, opcode 2).
#pragma once

#include <cstdint>

#include "hw/hw.h"

namespace fw {

struct CP15_REGISTER {
    uint8_t bCrn;
    uint8_t bCrm;
    uint8_t bOpcode2;
};

constexpr CP15_REGISTER CP15_CACHE_TYPE = {0, 0, 1};
constexpr CP15_REGISTER CP15_CONTROL = {1, 0, 0};
constexpr CP15_REGISTER CP15_FAULT_STATUS = {5, 0, 0};
constexpr CP15_REGISTER CP15_FAULT_ADDRESS = {6, 0, 0};
// Operations: the value written is the address, set and way, or ignored.
constexpr CP15_REGISTER CP15_INVALIDATE_ICACHE = {7, 5, 0};
constexpr CP15_REGISTER CP15_INVALIDATE_BTB = {7, 5, 6};
constexpr CP15_REGISTER CP15_INVALIDATE_DCACHE_LINE = {7, 6, 1};
constexpr CP15_REGISTER CP15_DRAIN_WRITE_BUFFER = {7, 10, 4};
constexpr CP15_REGISTER CP15_CLEAN_INVALIDATE_DCACHE_SET_WAY = {7, 14, 2};
constexpr CP15_REGISTER CP15_CLEAN_INVALIDATE_L2_SET_WAY = {7, 15, 2};
constexpr CP15_REGISTER CP15_INVALIDATE_TLBS = {8, 7, 0};
constexpr CP15_REGISTER CP15_DCACHE_LOCKDOWN = {9, 2, 0};
constexpr CP15_REGISTER CP15_REGISTER9_5_1 = {9, 5, 1};
constexpr CP15_REGISTER CP15_UNLOCK_ITLB = {10, 8, 1};
constexpr CP15_REGISTER CP15_UNLOCK_DTLB = {10, 8, 3};
constexpr CP15_REGISTER CP15_COPROCESSOR_ACCESS = {15, 1, 0};

constexpr uint32_t CP15_CONTROL_DCACHE = 1u << 2;
// Cache type: bits 8-11 name an L2 cache when 2 or 3.
constexpr uint32_t CP15_CACHE_TYPE_L2_SHIFT = 8;

// Fault status: bits 0-3 and 10; an imprecise external abort.
constexpr uint32_t CP15_FSR_PREFETCH_MASK = 0x40F;
constexpr uint32_t CP15_FSR_IMPRECISE_EXTERNAL = 0x408;
constexpr uint32_t CP15_FSR_DATA_IMPRECISE_EXTERNAL = 0x406;   // bits 1, 2 and 10

inline uint32_t Cp15Read(CP15_REGISTER s) { return Cp15Read(s.bCrn, s.bCrm, s.bOpcode2); }
inline void Cp15Write(CP15_REGISTER s, uint32_t dValue) { Cp15Write(s.bCrn, s.bCrm, s.bOpcode2, dValue); }

}  // namespace fw
