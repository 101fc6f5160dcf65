// The processor's application accelerator unit (the XOR engine): its
// registers and the descriptor it runs.
//
// Shared by the XOR engine driver in raid/ and by the device model on the
// simulated board, so that both sides agree on every bit.  The accelerator
// runs one chain of descriptors at a time, reading its sources and writing
// its results in data-buffer memory by processor address, and raises its
// interrupt line at the end of the chain.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hw/addresses.h"
#include "hw/interrupt_controller.h"

namespace fw {

// Registers (32-bit).
constexpr uint32_t AAU_REGISTER_BASE = 0xFFD80800;
constexpr uint32_t AAU_REG_CONTROL = AAU_REGISTER_BASE + 0x00;
constexpr uint32_t AAU_REG_STATUS = AAU_REGISTER_BASE + 0x04;          // write 1s to clear
constexpr uint32_t AAU_REG_DESCRIPTOR = AAU_REGISTER_BASE + 0x08;      // the descriptor being run
constexpr uint32_t AAU_REG_NEXT_DESCRIPTOR = AAU_REGISTER_BASE + 0x0C; // first descriptor of a chain
constexpr uint32_t AAU_REGISTER_WINDOW = 0x10;

// Control register: 1 starts the chain at the next-descriptor register;
// 0 stops the unit and forgets a chain it was running.
constexpr uint32_t AAU_CONTROL_ENABLE = 0x1;

// Status register.
constexpr uint32_t AAU_STATUS_BUS_ABORT = 0x0008;       // an address outside buffer memory
constexpr uint32_t AAU_STATUS_TARGET_ABORT = 0x0010;    // a transfer the memory refused
constexpr uint32_t AAU_STATUS_DESCRIPTOR_ERROR = 0x0020; // a control word the unit cannot run
constexpr uint32_t AAU_STATUS_END_OF_TRANSFER = 0x0200; // an interrupting descriptor ended mid-chain
constexpr uint32_t AAU_STATUS_END_OF_CHAIN = 0x0800;
constexpr uint32_t AAU_STATUS_ACTIVE = 0x2000;
// The bits a completion looks at, and the value of a clean end of chain.
constexpr uint32_t AAU_STATUS_COMPLETION_MASK = 0x2A38;
constexpr uint32_t AAU_STATUS_CLEAN_END = AAU_STATUS_END_OF_CHAIN;

// Descriptor control word.
constexpr uint32_t AAU_CONTROL_INTERRUPT = 0x1;          // interrupt when this descriptor ends the chain
constexpr uint32_t AAU_CONTROL_TRANSFER = 0x6;           // write the result to the internal bus
constexpr uint32_t AAU_CONTROL_SOURCE_SHIFT = 3;         // (sources - 1) in bits 3-6
constexpr uint32_t AAU_CONTROL_SOURCE_MASK = 0xF;
constexpr uint32_t AAU_CONTROL_UPDATE = 0x10000;         // P+Q update form (four sources)
constexpr uint32_t AAU_CONTROL_PQ = 0x40000;             // P+Q generation
constexpr uint32_t AAU_CONTROL_P_SUPPRESSED = 0x80000;   // with PQ: write Q only
constexpr uint32_t AAU_CONTROL_Q_ONLY = AAU_CONTROL_PQ | AAU_CONTROL_P_SUPPRESSED;
constexpr uint32_t AAU_CONTROL_UPDATE_WORD = 0x1001F;    // the update form, as the driver writes it

constexpr uint32_t aauSourceBits(uint32_t dSources) { return (dSources - 1) << AAU_CONTROL_SOURCE_SHIFT; }

constexpr uint32_t AAU_MAX_SOURCES = 16;
constexpr uint32_t AAU_MULTIPLIER_SHIFT = 24;            // the GF multiplier in a source's second word

// One descriptor.  Forms, by control word:
//  - plain: destination = XOR of the n sources;
//  - PQ: destination = XOR of the sources (P), Q destination = sum of
//    multiplier(i) * source(i) over GF(2^8) (Q); with P suppressed only Q is
//    written (the destination word is then ignored);
//  - update: sources 0 and 1 are the new and the old data, 2 the old P and
//    3 the old Q, the fifth source address is the Q destination:
//    destination = s0 ^ s1 ^ s2, Q = s3 ^ m * (s0 ^ s1) with m the
//    multiplier of source 3.
// Next descriptor 0 ends the chain.  The unit sits on the internal bus:
// descriptors, sources and destinations are processor addresses.
#pragma pack(push, 1)
struct AAU_SOURCE {
    CPU_ADDRESS dAddress;
    uint32_t dMultiplier;   // GF multiplier in the top byte
};
struct AAU_DESCRIPTOR {
    CPU_ADDRESS dNextDescriptor;
    uint32_t dControl;
    uint32_t dByteCount;
    CPU_ADDRESS dDestination;
    CPU_ADDRESS dQDestination;
    uint32_t adReserved[3];
    AAU_SOURCE asSource[AAU_MAX_SOURCES];
};
#pragma pack(pop)
static_assert(sizeof(AAU_DESCRIPTOR) == 160);
static_assert(offsetof(AAU_DESCRIPTOR, dControl) == 4);
static_assert(offsetof(AAU_DESCRIPTOR, dQDestination) == 16);
static_assert(offsetof(AAU_DESCRIPTOR, asSource) == 32);

// The unit's interrupt line (steered to FIQ).
constexpr uint32_t AAU_INTERRUPT_REGISTER = INT_LINE_AAU.bBank;
constexpr uint32_t AAU_INTERRUPT_BIT = INT_LINE_AAU.bBit;

}  // namespace fw
