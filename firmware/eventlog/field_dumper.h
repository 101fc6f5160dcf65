// Prints a structure from a table of field descriptors instead of hand-written
// print calls: each descriptor says where a field lies, how wide it is and
// how to print it; a nested descriptor prints a sub-structure by its own
// table.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t DUMP_FIELD_NUMBER = 0;
constexpr uint32_t DUMP_FIELD_BLOCK = 3;     // pFormat names a DUMP_BLOCK
constexpr uint32_t DUMP_FIELD_BYTES = 4;     // dSize bytes, each through pFormat
constexpr uint32_t DUMP_FIELD_END = 5;

struct DUMP_FIELD {
    uint32_t dOffset;       // bytes from the start of the structure
    uint32_t dShift;        // a number is shifted right by this many bits
    uint32_t dSize;         // bits of a number (1..32), bytes of an array; 0 ends the table
    uint32_t dType;
    const char* pszLabel;   // or null
    const void* pFormat;    // printf format of the value, or the nested block
};

struct DUMP_BLOCK {
    const char* pszTitle;   // or null
    const DUMP_FIELD* psFields;
};

void DebugDumpBlock(const DUMP_BLOCK* psBlock, const void* pStructure);
uint32_t dDebugGetFieldNumber(const DUMP_FIELD* psField, const void* pStructure);
const uint8_t* pDebugFieldAddress(const DUMP_FIELD* psField, const void* pStructure);

// A SAS target port's record, for the SAS target interface printout.
extern const DUMP_BLOCK SAS_TGT_PORT_BLOCK;

}  // namespace fw
