#include "sas/aa_mux.h"

#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "sas/link_diagnostics.h"
#include "sas/sas_drive.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_scsi_path.h"

namespace fw {

namespace {

constexpr uint8_t ATA_AA_MUX_READ = 0xC2;
constexpr uint8_t ATA_AA_MUX_WRITE = 0xC3;
constexpr uint8_t ATA_DIRECTION_NONE = 2;
constexpr uint8_t AA_MUX_RESULT_DONE = 0xFF;
constexpr uint8_t LCLK_LATCH = 0x80;
constexpr uint8_t LCLK_BUSY = 0x01;
constexpr uint32_t LCLK_SETTLE_MS = 10;
constexpr uint32_t LCLK_POLLS = 5000;
constexpr uint8_t LINK_RESET_BIT = 0x40;
constexpr uint8_t PORT_RESET_BIT = 0x08;
constexpr uint8_t PATCH_WORDS = 32;

AA_MUX_PATCH_RECORD* s_psPatchTable = nullptr;
SAS_SLOT_ROW s_asSlotRows[SAS_MAX_DEVICES];

const char* const PRE_EMPHASIS_TEXT[8] = {"100", "87.5", "75", "62.5", "50", "Inv", "Inv", "Inv"};
const char* const EQUALIZATION_TEXT[4] = {"Both", "Inv", "Stage1", "None"};
const char* const SWING_TEXT[4] = {"SATA Gen1", "SATA Gen2", "SAS Internal", "SAS External"};

uint8_t bSizeCode(uint8_t bSize) { return bSize >= 3 ? 3 : bSize; }

// The register address and value in the fields of the register FIS the
// vendor commands define.
ATA_TASK_FILE sRegisterTaskFile(uint8_t bCommand, uint32_t dAddress, uint32_t dValue, uint8_t bSize) {
    ATA_TASK_FILE s{};
    s.bCommand = bCommand;
    s.bFeatures = static_cast<uint8_t>(dAddress);
    s.bFeaturesExp = static_cast<uint8_t>(dAddress >> 8);
    s.bCountExp = static_cast<uint8_t>(dAddress >> 16);
    s.abLba[3] = static_cast<uint8_t>(dAddress >> 24);
    s.bDevice = static_cast<uint8_t>(bSizeCode(bSize) << 4);
    if (bCommand == ATA_AA_MUX_WRITE) {
        s.bCount = static_cast<uint8_t>(dValue);
        s.abLba[0] = static_cast<uint8_t>(dValue >> 8);
        s.abLba[1] = static_cast<uint8_t>(dValue >> 16);
        s.abLba[2] = static_cast<uint8_t>(dValue >> 24);
    }
    return s;
}

// The multiplexer of a slot: its entry when the drive there sits behind one.
SAS_DEVICE_ENTRY* psMuxEntry(uint8_t bEnclosure, uint8_t bSlot) {
    SAS_DEVICE_ENTRY* ps = nullptr;
    if (bGetSASDeviceEntryByEnclosureSlot(bEnclosure, bSlot, &ps) != STATUS_OK || ps == nullptr) return nullptr;
    return fIsSASDeviceBehindAAMux(ps) == TRUE ? ps : nullptr;
}

uint8_t bReadByte(const SAS_DEVICE_ENTRY* ps, uint32_t dAddress, uint8_t bPort, uint8_t* pbValue) {
    uint32_t d = 0;
    const uint8_t b = bReadAAMuxRegister(dAddress + bPort * AA_MUX_PORT_STRIDE, &d, ps->bTargetId, ps->bBus, 1);
    *pbValue = static_cast<uint8_t>(d);
    return b;
}

// Latches the counters and waits for the latch to finish; FALSE (after
// its message) when it could not.
bool fLatchCounters(uint8_t bTarget, uint8_t bBus) {
    uint8_t b = bWriteAAMuxRegister(AA_MUX_REG_LCLK_GENERATION, LCLK_LATCH, bTarget, bBus, 1);
    if (b != AA_MUX_RESULT_DONE) {
        ConsolePrintf("Error Updating LCLK Generation Reg  :%02x \n", b);
        return false;
    }
    SpinDelayMs(LCLK_SETTLE_MS);
    for (uint32_t i = 0; i < LCLK_POLLS; ++i) {
        uint32_t d = 0;
        b = bReadAAMuxRegister(AA_MUX_REG_LCLK_GENERATION, &d, bTarget, bBus, 1);
        if (b != AA_MUX_RESULT_DONE) {
            ConsolePrintf("Error Reading LCLK Generation Reg  :%02x \n", b);
            return false;
        }
        if (!(d & LCLK_BUSY)) return true;
    }
    ConsolePrintText("Error Reading LCLK Generation Timeout \n");
    return false;
}

const SAS_SLOT_ROW* psSortedSlots(uint8_t* pbCount) {
    SortSASSlots(pGetSASDriveInfoList(), s_asSlotRows, pbCount);
    return s_asSlotRows;
}

}  // namespace

void InitAAMuxPatchTable() {
    if (s_psPatchTable == nullptr) {
        s_psPatchTable =
            static_cast<AA_MUX_PATCH_RECORD*>(pBufferHandleToPointer(dTakeStartOfDayPages(AA_MUX_PATCH_TABLE_PAGES)));
    }
    std::memset(s_psPatchTable, 0, AA_MUX_PATCH_TABLE_PAGES * BUFFER_PAGE_SIZE);
}

AA_MUX_PATCH_RECORD* psGetAAMuxPatchRecord(uint8_t bEnclosure, uint8_t bSlot) {
    if (s_psPatchTable == nullptr || bEnclosure < 1 || bEnclosure > AA_MUX_ENCLOSURES || bSlot < 1 ||
        bSlot > AA_MUX_SLOTS) {
        return nullptr;
    }
    return &s_psPatchTable[(bEnclosure - 1) * AA_MUX_SLOTS + (bSlot - 1)];
}

uint8_t bAllocateMuxTables() {
    InitAAMuxPatchTable();
    return STATUS_OK;
}

uint8_t fIsSASDeviceBehindAAMux(const SAS_DEVICE_ENTRY* psEntry) {
    return ToFlag((psEntry->bStatus & SAS_DEVICE_STATUS_AA_MUX) != 0);
}

uint8_t bReadAAMuxRegister(uint32_t dAddress, uint32_t* pdValue, uint8_t bTarget, uint8_t bBus, uint8_t bSize) {
    if (bSize == 0 || bSize > 4) return 0;
    const ATA_TASK_FILE s = sRegisterTaskFile(ATA_AA_MUX_READ, dAddress, 0, bSize);
    uint8_t abFis[20] = {};
    const uint8_t b =
        bSendATACommandAndWait(bTarget, bBus, FALSE, &s, ATA_DIRECTION_NONE, 0, NULL_BUFFER_HANDLE, TRUE, abFis);
    if (b != AA_MUX_RESULT_DONE) return b;
    // The value comes back in the status FIS: count, then LBA bytes 0..2.
    *pdValue = static_cast<uint32_t>(abFis[12] | abFis[4] << 8 | abFis[5] << 16 | abFis[6] << 24);
    return b;
}

uint8_t bWriteAAMuxRegister(uint32_t dAddress, uint32_t dValue, uint8_t bTarget, uint8_t bBus, uint8_t bSize) {
    if (bSize == 0 || bSize > 4) return 0;
    const ATA_TASK_FILE s = sRegisterTaskFile(ATA_AA_MUX_WRITE, dAddress, dValue, bSize);
    return bSendATACommandAndWait(bTarget, bBus, FALSE, &s, ATA_DIRECTION_NONE, 0, NULL_BUFFER_HANDLE, FALSE, nullptr) ==
                   AA_MUX_RESULT_DONE
               ? AA_MUX_RESULT_DONE
               : 0;
}

uint8_t bSetAAMuxTuning(uint8_t bEnclosure, uint8_t bSlot, uint8_t bPort, uint8_t bKind, uint8_t bInterface,
                        uint8_t bValue) {
    const SAS_DEVICE_ENTRY* ps = psMuxEntry(bEnclosure, bSlot);
    if (ps == nullptr) return AA_MUX_INVALID_REQUEST;
    // A port the multiplexer does not have is a failed request, not a done one.
    if (bPort >= AA_MUX_PORTS) return AA_MUX_FAILED;
    uint32_t dAddress = AA_MUX_REG_PRE_EMPHASIS;
    uint8_t bMask = 0x07;
    uint8_t bShift = bInterface == AA_MUX_PROTOCOL_SAS ? 0 : 4;
    switch (bKind) {
    case AA_MUX_TUNE_PRE_EMPHASIS:
        break;
    case AA_MUX_TUNE_EQUALIZATION:
        dAddress = AA_MUX_REG_EQUALIZATION;
        bMask = 0x03;
        break;
    case AA_MUX_TUNE_SWING:
        dAddress = AA_MUX_REG_SWING;
        bMask = 0x03;
        break;
    default:
        bShift = 0;
        break;
    }
    uint8_t bByte = 0;
    const uint8_t b = bReadByte(ps, dAddress, bPort, &bByte);
    if (b != AA_MUX_RESULT_DONE) return b;
    bByte = static_cast<uint8_t>((bByte & ~(bMask << bShift)) | (bValue & bMask) << bShift);
    return bWriteAAMuxRegister(dAddress + bPort * AA_MUX_PORT_STRIDE, bByte, ps->bTargetId, ps->bBus, 1);
}

void ShowAAMuxTuning(uint8_t bEnclosure, uint8_t bSlot, uint8_t bPort) {
    const SAS_DEVICE_ENTRY* ps = psMuxEntry(bEnclosure, bSlot);
    if (ps == nullptr || bPort >= AA_MUX_PORTS) return;
    ConsolePrintf("AA Mux: Encl:%02d:%02d Port %d Tuning Parameters\n", bEnclosure, bSlot, bPort);
    uint8_t b = 0;
    if (bReadByte(ps, AA_MUX_REG_PRE_EMPHASIS, bPort, &b) == AA_MUX_RESULT_DONE) {
        ConsolePrintf("  SAS Pre-emphasis Level: %s%%\n", PRE_EMPHASIS_TEXT[b & 0x07]);
        ConsolePrintf("  SATA Pre-emphasis Level: %s%%\n", PRE_EMPHASIS_TEXT[(b >> 4) & 0x07]);
    }
    if (bReadByte(ps, AA_MUX_REG_EQUALIZATION, bPort, &b) == AA_MUX_RESULT_DONE) {
        ConsolePrintf("  SAS Equalization Stages: %s\n", EQUALIZATION_TEXT[b & 0x03]);
        ConsolePrintf("  SATA Equalization Stages: %s\n", EQUALIZATION_TEXT[(b >> 4) & 0x03]);
    }
    if (bReadByte(ps, AA_MUX_REG_SWING, bPort, &b) != AA_MUX_RESULT_DONE) return;
    ConsolePrintf("  SAS Swing Level %s\n", SWING_TEXT[b & 0x03]);
    ConsolePrintf("  SATA Swing Level %s\n", SWING_TEXT[(b >> 4) & 0x03]);
}

uint8_t bResetAAMuxPort(uint8_t bEnclosure, uint8_t bSlot, uint8_t bPort, uint8_t bWhat) {
    const SAS_DEVICE_ENTRY* ps = psMuxEntry(bEnclosure, bSlot);
    if (ps == nullptr) return AA_MUX_INVALID_REQUEST;
    if (bPort >= AA_MUX_PORTS || bWhat > 15) return AA_MUX_FAILED;
    const uint32_t dAddress = bWhat < 8 ? AA_MUX_REG_LINK_CONTROL : AA_MUX_REG_PORT_CONTROL;
    const uint8_t bBit = bWhat < 8 ? LINK_RESET_BIT : PORT_RESET_BIT;
    uint8_t bByte = 0;
    const uint8_t b = bReadByte(ps, dAddress, bPort, &bByte);
    if (b != AA_MUX_RESULT_DONE) return b;
    // The reset takes the link down under the command: no status comes back.
    ConsolePrintText("Timeout expected\n");
    return bWriteAAMuxRegister(dAddress + bPort * AA_MUX_PORT_STRIDE, bByte | bBit, ps->bTargetId, ps->bBus, 1);
}

uint8_t fReadAAMuxPatchInfo(SAS_DEVICE_ENTRY* psEntry) {
    AA_MUX_PATCH_RECORD* psRecord = psGetAAMuxPatchRecord(psEntry->bEnclosure, psEntry->bSlot);
    if (psRecord == nullptr) return FALSE;
    psRecord->fValid = FALSE;
    if (fIsSASDeviceBehindAAMux(psEntry) != TRUE) return FALSE;
    uint32_t d = 0;
    if (bReadAAMuxRegister(AA_MUX_REG_DEVICE_ID, &d, psEntry->bTargetId, psEntry->bBus, 2) != AA_MUX_RESULT_DONE ||
        d != AA_MUX_DEVICE_ID) {
        return FALSE;
    }
    auto store = [](uint8_t* pb, uint32_t dWord) {
        for (int i = 0; i < 4; ++i) pb[i] = static_cast<uint8_t>(dWord >> (8 * i));
    };
    if (bReadAAMuxRegister(AA_MUX_REG_PATCH_VERSION, &d, psEntry->bTargetId, psEntry->bBus, 4) != AA_MUX_RESULT_DONE) {
        return 0;
    }
    store(psRecord->abVersion, d);
    for (uint8_t k = 0; k < PATCH_WORDS; ++k) {
        if (bReadAAMuxRegister(AA_MUX_REG_PATCH + 4u * k, &d, psEntry->bTargetId, psEntry->bBus, 4) !=
            AA_MUX_RESULT_DONE) {
            return 0;
        }
        store(psRecord->abPatch + 4 * k, d);
    }
    psRecord->fValid = TRUE;
    return TRUE;
}

void ShowAAMuxPatchInfo(const AA_MUX_PATCH_RECORD* psRecord, uint8_t fDump) {
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(psRecord);
    if (fDump == TRUE) {
        for (uint8_t i = 0; i < sizeof psRecord->abPatch; ++i) {
            ConsolePrintf("%s%02x", i % 16 == 0 ? "\n" : " ", psRecord->abPatch[i]);
        }
        ConsolePrintText("\n");
    }
    ConsolePrintf("Patch: %02d.%02d.%02d", pb[0], pb[1], pb[2]);
    ConsolePrintf(" Version:%02x ", pb[52]);
    for (uint8_t i = 53; i <= 67; ++i) ConsolePrintf("%c", pb[i]);
    ConsolePrintf(" Checksum:%02x", pb[135]);
    ConsolePrintText("\n\n");
}

void ShowAAMuxInfo() {
    ConsolePrintText("\nAA Mux Info:\n");
    const SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    for (uint8_t e = 1; e <= AA_MUX_ENCLOSURES; ++e) {
        for (uint8_t s = 1; s <= AA_MUX_SLOTS; ++s) {
            uint8_t bExpander = 0, bPhy = 0;
            if (bFindExpanderPhyOfEnclosureSlot(e, s, &bExpander, &bPhy) != STATUS_OK ||
                bExpander >= SAS_MAX_EXPANDERS || bPhy >= SAS_EXPANDER_PHYS) {
                continue;
            }
            const SAS_EXPANDER& sEx = psList->asExpander[bExpander];
            const bool fMux = (sEx.adAttachedDeviceInfo[bPhy] & MPI_SAS_DEVICE_INFO_SATA_DEVICE) &&
                              !(sEx.adPhyInfo[bPhy] & MPI_SAS_PHYINFO_PORT_SELECTOR);
            const AA_MUX_PATCH_RECORD* psRecord = psGetAAMuxPatchRecord(e, s);
            if (!fMux) {
                ConsolePrintf("No AA Mux: Encl:%02d:%02d Exp:%02x PHY:%02x\n", e, s, bExpander, bPhy);
            } else if (psRecord != nullptr && psRecord->fValid == TRUE) {
                ConsolePrintf("AA Mux: Encl:%02d:%02d Exp:%02x PHY:%02x", e, s, bExpander, bPhy);
                ShowAAMuxPatchInfo(psRecord, TRUE);
            } else {
                ConsolePrintf("Invalid AA Mux: Encl:%02d:%02d Exp:%02x PHY:%02x\n", e, s, bExpander, bPhy);
            }
        }
    }
    ConsolePrintText("\n\n");
}

void SortSASSlots(const SAS_DEVICE_LIST* psList, SAS_SLOT_ROW* psRows, uint8_t* pbCount) {
    uint8_t n = 0;
    for (uint8_t i = 0; i < psList->bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        const SAS_DEVICE_ENTRY& s = psList->asEntry[i];
        psRows[n] = SAS_SLOT_ROW{};
        psRows[n].bEnclosure = s.bEnclosure;
        psRows[n].bSlot = s.bSlot;
        psRows[n].bTargetId = s.bTargetId;
        psRows[n].bBus = s.bBus;
        ++n;
    }
    for (uint8_t bPass = 1; bPass < n; ++bPass) {
        for (uint8_t i = 0; i + 1 < n; ++i) {
            const SAS_SLOT_ROW& a = psRows[i];
            const SAS_SLOT_ROW& b = psRows[i + 1];
            if (b.bSlot < a.bSlot && b.bEnclosure <= a.bEnclosure) {
                const SAS_SLOT_ROW t = a;
                psRows[i] = b;
                psRows[i + 1] = t;
            }
        }
    }
    *pbCount = n;
}

void ShowAAMuxCounters() {
    ConsolePrintText("                              Port 0           Port1           Port 2  \n");
    ConsolePrintText("-----------------------------------------------------------------------\n");
    uint8_t bCount = 0;
    const SAS_SLOT_ROW* psRows = psSortedSlots(&bCount);
    struct COUNTER_ROW {
        const char* pszLabel;
        uint32_t dAddress;
        uint32_t dStride;
        uint8_t bSize;
    };
    static const COUNTER_ROW ROWS[] = {
        {" CRC Error Count       ", AA_MUX_REG_CRC_COUNT, AA_MUX_CRC_STRIDE, 2},
        {" SSPL Invalid Dword    ", AA_MUX_REG_SSPL_COUNTERS, AA_MUX_PORT_STRIDE, 4},
        {" SSPL Disparity        ", AA_MUX_REG_SSPL_COUNTERS + 4, AA_MUX_PORT_STRIDE, 4},
        {" SSPL Dword Sync       ", AA_MUX_REG_SSPL_COUNTERS + 8, AA_MUX_PORT_STRIDE, 4},
        {" SSPL PHY Reset Failed ", AA_MUX_REG_SSPL_COUNTERS + 12, AA_MUX_PORT_STRIDE, 4},
        {" SSPL Code Violation   ", AA_MUX_REG_SSPL_COUNTERS + 16, AA_MUX_PORT_STRIDE, 4},
    };
    for (uint8_t i = 0; i < bCount; ++i) {
        const SAS_SLOT_ROW& r = psRows[i];
        ConsolePrintf("Enclosure: %d   Slot: %d\n", r.bEnclosure, r.bSlot);
        uint32_t d = 0;
        const uint8_t b = bReadAAMuxRegister(AA_MUX_REG_DEVICE_ID, &d, r.bTargetId, r.bBus, 2);
        if (b != AA_MUX_RESULT_DONE || d != AA_MUX_DEVICE_ID) {
            ConsolePrintText("Dev ID: Unknown \n");
            ConsolePrintf(b != AA_MUX_RESULT_DONE ? " Reg %08x Failed\n" : "Reg %08x Failed\n", AA_MUX_REG_DEVICE_ID);
            continue;
        }
        ConsolePrintf("Dev ID: 0x%04x   ", d);
        uint32_t dRevision = 0;
        (void)bReadAAMuxRegister(AA_MUX_REG_REVISION, &dRevision, r.bTargetId, r.bBus, 1);
        ConsolePrintf("Rev: %01x  \n", dRevision & 0x0F);
        if (!fLatchCounters(r.bTargetId, r.bBus)) continue;
        for (const COUNTER_ROW& row : ROWS) {
            ConsolePrintText(row.pszLabel);
            bool fFailed = false;
            for (uint8_t p = 0; p < AA_MUX_PORTS && !fFailed; ++p) {
                const uint32_t dAddress = row.dAddress + p * row.dStride;
                uint32_t dValue = 0;
                if (bReadAAMuxRegister(dAddress, &dValue, r.bTargetId, r.bBus, row.bSize) != AA_MUX_RESULT_DONE) {
                    ConsolePrintf(" Reg %08x Failed\n", dAddress);
                    fFailed = true;
                } else {
                    ConsolePrintf("     %10d ", static_cast<int>(dValue));
                }
            }
            if (!fFailed) ConsolePrintText("\n");
        }
    }
}

void ClearAAMuxCounters() {
    uint8_t bCount = 0;
    const SAS_SLOT_ROW* psRows = psSortedSlots(&bCount);
    static const char* const START_TEXT[4] = {
        "Error Updating LCLK Clear Control Port 0 Reg  :%02x \n",
        "Error Updating SSPL_LCLK_Clear Control Port 0 Reg  :%02x \n",
        "Error Updating SSPL_LCLK_Clear Control Port 1 Reg  :%02x \n",
        "Error Updating SSPL_LCLK_Clear Control Port 2 Reg  :%02x \n",
    };
    static const char* const END_TEXT[4] = {
        "Error Updating LCLK Clear Control Reg  :%02x \n",
        "Error Updating SSPL_LCLK_Clear Control Port 0 Reg  :%02x \n",
        "Error Updating SSPL_LCLK_Clear Control Port 1 Reg  :%02x \n",
        "Error Updating SSPL_LCLK_Clear Control Port 2 Reg  :%02x \n",
    };
    static const uint32_t CLEAR_REGISTERS[4] = {AA_MUX_REG_LCLK_CLEAR, AA_MUX_REG_SSPL_CLEAR,
                                                AA_MUX_REG_SSPL_CLEAR + AA_MUX_PORT_STRIDE,
                                                AA_MUX_REG_SSPL_CLEAR + 2 * AA_MUX_PORT_STRIDE};
    for (uint8_t i = 0; i < bCount; ++i) {
        const SAS_SLOT_ROW& r = psRows[i];
        uint32_t d = 0;
        const uint8_t bId = bReadAAMuxRegister(AA_MUX_REG_DEVICE_ID, &d, r.bTargetId, r.bBus, 2);
        if (bId != AA_MUX_RESULT_DONE) {
            ConsolePrintf("Reg %08x Failed\n", AA_MUX_REG_DEVICE_ID);
            continue;
        }
        if (d != AA_MUX_DEVICE_ID) continue;
        bool fNext = false;
        for (uint8_t k = 0; k < 4 && !fNext; ++k) {
            const uint8_t b = bWriteAAMuxRegister(CLEAR_REGISTERS[k], 1, r.bTargetId, r.bBus, 1);
            if (b == AA_MUX_RESULT_DONE) continue;
            ConsolePrintf(START_TEXT[k], b);
            // The last port's clear failing to start ends the whole pass.
            if (k == 3) return;
            fNext = true;
        }
        if (fNext || !fLatchCounters(r.bTargetId, r.bBus)) continue;
        for (uint8_t k = 0; k < 4; ++k) {
            const uint8_t b = bWriteAAMuxRegister(CLEAR_REGISTERS[k], 0, r.bTargetId, r.bBus, 1);
            if (b == AA_MUX_RESULT_DONE) continue;
            ConsolePrintf(END_TEXT[k], b);
            break;
        }
    }
}

}  // namespace fw
