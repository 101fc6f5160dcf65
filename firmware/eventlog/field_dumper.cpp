// The table-driven field dumper.
#include "eventlog/field_dumper.h"

#include <cstring>

#include "executive/console_output.h"

namespace fw {

namespace {

constexpr char BYTE_FORMAT[] = "0x%02x";
constexpr char WORD_FORMAT[] = "0x%04x";

constexpr DUMP_FIELD SAS_TGT_PORT_FIELDS[] = {
    {0, 0, 8, DUMP_FIELD_NUMBER, "Port Status:      ", BYTE_FORMAT},
    {1, 0, 8, DUMP_FIELD_NUMBER, "Link Rate:        ", BYTE_FORMAT},
    {2, 0, 8, DUMP_FIELD_NUMBER, "Active PHY Count: ", BYTE_FORMAT},
    {3, 0, 8, DUMP_FIELD_NUMBER, "Active PHY List:  ", BYTE_FORMAT},
    {4, 0, 8, DUMP_FIELD_NUMBER, "Port Flags:       ", BYTE_FORMAT},
    {6, 0, 16, DUMP_FIELD_NUMBER, "Port Handle:      ", WORD_FORMAT},
    {8, 0, 16, DUMP_FIELD_NUMBER, "Attached Handle:  ", WORD_FORMAT},
    {10, 0, 16, DUMP_FIELD_NUMBER, "Host ID:          ", WORD_FORMAT},
    {12, 0, 16, DUMP_FIELD_NUMBER, "Host Handle:      ", WORD_FORMAT},
    {14, 0, 16, DUMP_FIELD_NUMBER, "Reqs Pending:     ", WORD_FORMAT},
    {16, 0, 32, DUMP_FIELD_NUMBER, "Tmo Low:          ", WORD_FORMAT},
    {20, 0, 32, DUMP_FIELD_NUMBER, "Tmo High:         ", WORD_FORMAT},
    {0, 0, 0, DUMP_FIELD_END, nullptr, nullptr},
};

}  // namespace

// The title prints with its colon.
const DUMP_BLOCK SAS_TGT_PORT_BLOCK = {"SAS Tgt Port Information", SAS_TGT_PORT_FIELDS};

const uint8_t* pDebugFieldAddress(const DUMP_FIELD* psField, const void* pStructure) {
    return static_cast<const uint8_t*>(pStructure) + psField->dOffset;
}

uint32_t dDebugGetFieldNumber(const DUMP_FIELD* psField, const void* pStructure) {
    const uint8_t* pb = pDebugFieldAddress(psField, pStructure);
    uint32_t d = 0;
    if (psField->dSize <= 8) {
        d = *pb;
    } else if (psField->dSize <= 16) {
        uint16_t w;
        std::memcpy(&w, pb, sizeof w);
        d = w;
    } else if (psField->dSize <= 32) {
        std::memcpy(&d, pb, sizeof d);
    } else {
        ConsolePrintf("dDebugGetFieldNumber ERROR: size %0d\n", psField->dSize);
        return 0;
    }
    d = psField->dShift < 32 ? d >> psField->dShift : 0;
    if (psField->dSize <= 1) return d & 1;
    return psField->dSize == 32 ? d : d & ((1u << psField->dSize) - 1);
}

void DebugDumpBlock(const DUMP_BLOCK* psBlock, const void* pStructure) {
    if (psBlock->pszTitle != nullptr) ConsolePrintf("\n%s:\n", psBlock->pszTitle);
    for (const DUMP_FIELD* ps = psBlock->psFields; ps->dType != DUMP_FIELD_END && ps->dSize != 0; ++ps) {
        const auto* pszFormat = static_cast<const char*>(ps->pFormat);
        switch (ps->dType) {
        case DUMP_FIELD_NUMBER:
            if (ps->pszLabel != nullptr && pszFormat != nullptr) {
                ConsolePrintf("  %s", ps->pszLabel);
                ConsolePrintf(pszFormat, dDebugGetFieldNumber(ps, pStructure));
                ConsolePrintf("\n");
            }
            break;
        case DUMP_FIELD_BLOCK:
            if (ps->pszLabel != nullptr) ConsolePrintf("  %s\n", ps->pszLabel);
            DebugDumpBlock(static_cast<const DUMP_BLOCK*>(ps->pFormat), pDebugFieldAddress(ps, pStructure));
            break;
        case DUMP_FIELD_BYTES: {
            if (ps->pszLabel != nullptr) ConsolePrintf("  %s ", ps->pszLabel);
            const uint8_t* pb = pDebugFieldAddress(ps, pStructure);
            for (uint32_t i = 0; i < ps->dSize; ++i) ConsolePrintf(pszFormat, pb[i]);
            ConsolePrintf("\n");
            break;
        }
        default: ConsolePrintf("DebugDumpBlock: Unknown Field Type %08x\n", ps->dType); break;
        }
    }
    ConsolePrintf("\n");
}

}  // namespace fw
