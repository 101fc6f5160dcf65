// Negotiated transfer parameters of the parallel SCSI host ports.
#include "eventlog/negotiated_parameters.h"

#include "config/apply_settings.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

constexpr uint32_t WIDE_BUS = 1u << 29;
constexpr uint8_t SCSI_IDS = 16;

struct RATE {
    uint8_t bPeriod;
    const char* pszShortWide;
    const char* pszShortNarrow;
    const char* pszLongWide;
    const char* pszLongNarrow;
};
constexpr RATE RATES[] = {
    {0x08, "320 MB/s\n", "160 MB/s\n", "320MB/sec on 16 Bit Wide Bus\n", "160MB/sec on 8 Bit Narrow Bus\n"},
    {0x09, "160 MB/s\n", "80 MB/s\n", "160MB/sec on 16 Bit Wide Bus\n", "80MB/sec on 8 Bit Narrow Bus\n"},
    {0x0A, "80 MB/s\n", "40 MB/s\n", "80MB/sec on 16 Bit Wide Bus\n", "40MB/sec on 8 Bit Narrow Bus\n"},
    {0x0B, "80 MB/s\n", "40 MB/s\n", "80MB/sec on 16 Bit Wide Bus\n", "40MB/sec on 8 Bit Narrow Bus\n"},
    {0x0C, "40 MB/s\n", "20 MB/s\n", "40MB/sec on 16 Bit Wide Bus\n", "20MB/sec on 8 Bit Narrow Bus\n"},
};

struct OPTION {
    const char* pszLabel;
    uint32_t dBit;
};
constexpr OPTION OPTIONS[] = {
    {"Asynchronous Information Protection (AIP): ", 1u << 31},
    {"Pre-Compensation (PCOMP_EN)              : ", 1u << 7},
    {"Retain Training Information (RTI)        : ", 1u << 6},
    {"Read Streaming (RD_STRM)                 : ", 1u << 5},
    {"Write Flow Control (WR_FLOW)             : ", 1u << 4},
    {"Hold Margin Control Settings (HOLD_MCS)  : ", 1u << 3},
    {"Quick Arbitrate and Select (QAS)         : ", 1u << 2},
    {"Dual Transfers (DT)                      : ", 1u << 1},
    {"Information Units (Packetized)           : ", 1u << 0},
};

const RATE* psRateOf(uint32_t dWord) {
    const uint8_t bPeriod = static_cast<uint8_t>(dWord >> 8);
    for (const RATE& r : RATES) {
        if (r.bPeriod == bPeriod) return &r;
    }
    return nullptr;
}

}  // namespace

void PrintNegotiatedParameters(uint32_t dWord, uint8_t fLong) {
    const RATE* ps = psRateOf(dWord);
    const bool fWide = (dWord & WIDE_BUS) != 0;
    if (fLong != TRUE) {
        if (dWord == 0 || ps == nullptr) {
            ConsolePrintf("Asynchronous\n");
        } else {
            ConsolePrintText(fWide ? ps->pszShortWide : ps->pszShortNarrow);
        }
        return;
    }
    if (dWord == 0) {
        ConsolePrintf("No parameters negotiated or running at asynchronous speed.\n");
        return;
    }
    ConsolePrintf("Current Data Rate For Last Accessed LUN  : ");
    if (ps == nullptr) {
        ConsolePrintf("00 MB/sec.\nNo parameters negotiated or running at asynchronous speed.\n");
        return;
    }
    ConsolePrintText(fWide ? ps->pszLongWide : ps->pszLongNarrow);
    ConsolePrintf("Negotiated Synchronous Offset            : %02x\n", (dWord >> 16) & 0xFF);
    for (const OPTION& o : OPTIONS) ConsolePrintf("%s%s", o.pszLabel, (dWord & o.dBit) != 0 ? "Enabled\n" : "Disabled\n");
}

void PrintOwnScsiIdParameters(uint8_t bPortCode, uint8_t fLong) {
    const uint8_t bOwnId = bGetHostPortHardAddress(bPortCode) & 0x0F;
    for (uint8_t bId = 0; bId < SCSI_IDS; ++bId) {
        if (bId != bOwnId) continue;
        ConsolePrintf(bPortCode == SCSI_HOST_PORT_0 ? "U320 Port 0 SCSI ID %02d: " : "U320 Port 1 SCSI ID %02d: ", bId);
        uint32_t dWord = 0;
        if (bReadNegotiatedParameters(bPortCode, bId, &dWord) != STATUS_OK) {
            ConsolePrintf("Unavailable\n");
        } else if (fLong == TRUE) {
            ConsolePrintf("Parameters: (%08x)\n", dWord);
            PrintNegotiatedParameters(dWord, TRUE);
        } else {
            PrintNegotiatedParameters(dWord, FALSE);
        }
    }
}

void ShowNegotiatedParameters() {
    ConsolePrintf("SCSI Host Interface Negotiated Parameters:\n\n");
    PrintOwnScsiIdParameters(SCSI_HOST_PORT_0, TRUE);
    ConsolePrintf("\n");
    PrintOwnScsiIdParameters(SCSI_HOST_PORT_1, TRUE);
    ConsolePrintf("\nEnd Of SCSI Host Interface Negotiated Parameters\n\n");
}

}  // namespace fw
