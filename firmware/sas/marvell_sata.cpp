// The SATA host-adapter driver: see marvell_sata.h.
#include "sas/marvell_sata.h"

#include <cstdlib>
#include <cstring>

#include "config/apply_settings.h"
#include "enclosure/enclosure_table.h"
#include "eventlog/event_log.h"
#include "eventlog/time_logs.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/queue_target_commands.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/ata.h"
#include "hw/hw.h"
#include "hw/scsi.h"
#include "raid/drive_error_recovery.h"
#include "platform/pci.h"
#include "sas/sas_scsi_path.h"

namespace fw {

namespace {

// Where each port's queues and PRD tables lie in the driver's region: the
// request queue 1 KB aligned, the response queue 256-byte aligned.
constexpr uint32_t PORT_AREA_BYTES = 0x4800;
constexpr uint32_t AREA_REQUESTS = 0;
constexpr uint32_t AREA_RESPONSES = 0x400;
constexpr uint32_t AREA_PRDS = 0x500;
constexpr uint32_t REGION_PAGES = SATA_PORTS * PORT_AREA_BYTES / BUFFER_PAGE_SIZE;
static_assert(AREA_PRDS + SATA_QUEUE_SLOTS * SATA_PRD_TABLE_BYTES <= PORT_AREA_BYTES);

constexpr uint32_t BLOCK_BYTES = 0x20000;      // at most this much per request block
constexpr uint32_t SECTOR_BYTES = 512;
constexpr uint64_t LBA28_LIMIT = 1ull << 28;
constexpr uint32_t TASKFILE_WAIT_READS = 0x580000;
constexpr uint32_t PIO_DATA_READS = 0x1000000;
constexpr uint32_t ENABLE_WAIT_READS = 0x4000000;
constexpr uint8_t READ_MODE_UDMA5 = 0x45;
constexpr uint32_t SET_UDMA5 = 0x4503;
constexpr uint64_t RECOVERY_SPACING_MS = 60000;
constexpr uint64_t ABSENT_SETTLE_MS = 2000;
constexpr uint64_t ABSENT_GIVE_UP_MS = 60000;
constexpr uint64_t COMMAND_TIMEOUT_MS = 35001;
constexpr uint8_t EVENT_PORT_FOUND = 97;
constexpr uint8_t EVENT_EDMA_ERROR = 117;
constexpr uint8_t EVENT_PORT_LOST = 118;
constexpr uint8_t EVENT_TIMEOUT = 40;

MARVELL_PORT s_asPort[SATA_PORTS];
BUFFER_HANDLE s_dRegion = NULL_BUFFER_HANDLE;
uint8_t s_afChip[SATA_CHIP_COUNT];
uint32_t s_dDropped;

uint32_t ChipBase(uint8_t bChip) { return SATA_PCI_MEMORY_WINDOW + SATA_CHIP_BAR[bChip]; }
uint32_t HcBase(uint8_t bPort) {
    const uint8_t bLocal = bPort % SATA_PORTS_PER_CHIP;
    return ChipBase(bPort / SATA_PORTS_PER_CHIP) + SATA_HC_BASE + SATA_HC_STRIDE * (bLocal / SATA_PORTS_PER_HC);
}
uint32_t IfBase(uint8_t bPort) { return HcBase(bPort) + SATA_IF_STRIDE * (bPort % SATA_PORTS_PER_HC + 1); }
uint32_t EdmaBase(uint8_t bPort) { return HcBase(bPort) + SATA_EDMA_STRIDE * (bPort % SATA_PORTS_PER_HC + 1); }
uint32_t Edma(uint8_t bPort, uint32_t dReg) { return Reg32Read(EdmaBase(bPort) + dReg); }
void SetEdma(uint8_t bPort, uint32_t dReg, uint32_t dValue) { Reg32Write(EdmaBase(bPort) + dReg, dValue); }
uint8_t Tf(uint8_t bPort, uint32_t dReg) { return static_cast<uint8_t>(Edma(bPort, dReg)); }
void SetTf(uint8_t bPort, uint32_t dReg, uint8_t b) { SetEdma(bPort, dReg, b); }
uint32_t SStatusDet(uint8_t bPort) { return Reg32Read(IfBase(bPort) + SATA_SSTATUS) & SATA_SSTATUS_DET_MASK; }

uint8_t* pbArea(uint8_t bPort, uint32_t dOffset) {
    return static_cast<uint8_t*>(pBufferHandleToPointer(s_dRegion)) + bPort * PORT_AREA_BYTES + dOffset;
}
uint32_t dBus(const uint8_t* pb) { return static_cast<uint32_t>(dPciAddressOf(pb)); }

void Put16(uint8_t* pb, uint16_t w) {
    pb[0] = static_cast<uint8_t>(w);
    pb[1] = static_cast<uint8_t>(w >> 8);
}
void Put32(uint8_t* pb, uint32_t d) {
    Put16(pb, static_cast<uint16_t>(d));
    Put16(pb + 2, static_cast<uint16_t>(d >> 16));
}
uint16_t Get16(const uint8_t* pb) { return static_cast<uint16_t>(pb[0] | pb[1] << 8); }

// A chip's selector names the bus above its device number: 0x21 is device 1
// of bus 1.
uint32_t dConfigRead(uint8_t bSelector, uint16_t wOffset) {
    return dPciConfigRead32(bSelector >> 5, bSelector & 0x1F, 0, wOffset);
}
void ConfigWrite(uint8_t bSelector, uint16_t wOffset, uint32_t dValue) {
    PciConfigWrite32(bSelector >> 5, bSelector & 0x1F, 0, wOffset, dValue);
}
void ConfigWrite16(uint8_t bSelector, uint16_t wOffset, uint16_t wValue) {
    const uint16_t wWord = wOffset & ~3u;
    const uint32_t dShift = (wOffset & 2u) * 8;
    const uint32_t dOld = dConfigRead(bSelector, wWord);
    ConfigWrite(bSelector, wWord, (dOld & ~(0xFFFFu << dShift)) | uint32_t(wValue) << dShift);
}

bool IsPortOfChip(uint8_t bPort) { return bPort < SATA_PORTS && s_afChip[bPort / SATA_PORTS_PER_CHIP] == TRUE; }

// Clears what a port knows of its drive and its queue.
void ClearPortState(MARVELL_PORT& s) {
    s.fPresent = FALSE;
    s.bOutstanding = 0;
    s.fTimedOut = FALSE;
    for (uint16_t& w : s.awTag) w = SATA_TAG_FREE;
    std::memset(s.acModel, ' ', sizeof s.acModel);
    std::memset(s.acSerialKey, ' ', sizeof s.acSerialKey);
    std::memset(s.acFirmware, ' ', sizeof s.acFirmware);
    s.fLba48 = s.fQueued = FALSE;
    s.bQueueDepth = 0;
    s.bCacheFlags = 0;
    s.lCapacity = 0;
}

// IDENTIFY strings are byte-swapped words.
void CopyIdentifyText(char* pcOut, const uint8_t* pbId, uint32_t dFirstWord, uint32_t dWords) {
    for (uint32_t i = 0; i < dWords; ++i) {
        const uint8_t* pw = pbId + 2 * (dFirstWord + i);
        pcOut[2 * i] = static_cast<char>(pw[1]);
        pcOut[2 * i + 1] = static_cast<char>(pw[0]);
    }
}

// The serial key: the last eight non-blank characters of the serial
// number, blank-filled in front when there are fewer.
void SerialKey(char* pcKey, const uint8_t* pbId) {
    char acSerial[20];
    CopyIdentifyText(acSerial, pbId, 10, 10);
    std::memset(pcKey, ' ', 8);
    int iOut = 7;
    for (int i = 19; i >= 0 && iOut >= 0; --i) {
        const char c = acSerial[i];
        if (c != ' ' && c >= 0x21 && c <= 0x7E) pcKey[iOut--] = c;
    }
}

void StoreIdentity(MARVELL_PORT& s, const uint8_t* pbId) {
    const auto word = [pbId](uint32_t w) { return Get16(pbId + 2 * w); };
    CopyIdentifyText(s.acModel, pbId, 27, 20);
    SerialKey(s.acSerialKey, pbId);
    CopyIdentifyText(s.acFirmware, pbId, 23, 4);
    s.fLba48 = ToFlag((word(83) & (1u << 10)) != 0);
    s.fQueued = ToFlag((word(83) & (1u << 1)) != 0);
    s.bQueueDepth = static_cast<uint8_t>(word(75) & 0x1F);
    s.bCacheFlags = static_cast<uint8_t>(((word(85) >> 5) & 1) | ((word(85) >> 6) & 1) << 1);
    if (s.fLba48 == TRUE) {
        s.lCapacity = uint64_t(word(100)) | uint64_t(word(101)) << 16 | uint64_t(word(102)) << 32 |
                      uint64_t(word(103)) << 48;
    } else {
        s.lCapacity = uint64_t(word(60)) | uint64_t(word(61)) << 16;
    }
}

// Waits for BSY clear in both status registers and the link up.
bool WaitNotBusy(uint8_t bPort, uint32_t dReads) {
    for (uint32_t i = 0; i < dReads; ++i) {
        if ((Tf(bPort, SATA_TF_CONTROL) & SATA_STATUS_BSY) == 0 && (Tf(bPort, SATA_TF_COMMAND) & SATA_STATUS_BSY) == 0 &&
            SStatusDet(bPort) == SATA_SSTATUS_DET_UP) {
            return true;
        }
    }
    return false;
}

// The taskfile of a polled command; on an LBA48 drive each register gets
// its high byte first.
void LoadTaskfile(uint8_t bPort, uint8_t bCommand, uint32_t dCount, uint32_t dLba, uint32_t dLbaHigh) {
    const MARVELL_PORT& s = s_asPort[bPort];
    switch (bCommand) {
    case SATA_ATA_SET_FEATURES:
        SetTf(bPort, SATA_TF_FEATURES, static_cast<uint8_t>(dCount));
        SetTf(bPort, SATA_TF_COUNT, static_cast<uint8_t>(dCount >> 8));
        SetTf(bPort, SATA_TF_LBA_LOW, static_cast<uint8_t>(dCount >> 16));
        SetTf(bPort, SATA_TF_LBA_MID, static_cast<uint8_t>(dCount >> 24));
        return;
    case SATA_ATA_READ_LONG:
    case SATA_ATA_WRITE_LONG:
        dCount = SECTOR_BYTES;
        break;
    default: break;
    }
    if (bCommand == SATA_ATA_READ_SECTORS || bCommand == SATA_ATA_WRITE_SECTORS || bCommand == SATA_ATA_READ_LONG ||
        bCommand == SATA_ATA_WRITE_LONG) {
        if (s.fLba48 == TRUE && (bCommand == SATA_ATA_READ_SECTORS || bCommand == SATA_ATA_WRITE_SECTORS) &&
            (dLbaHigh != 0 || dLba >= LBA28_LIMIT)) {
            // Beyond 28 bits: the 48-bit form, high bytes first.
            const uint32_t dSectors = dCount / SECTOR_BYTES;
            SetTf(bPort, SATA_TF_COUNT, static_cast<uint8_t>(dSectors >> 8));
            SetTf(bPort, SATA_TF_COUNT, static_cast<uint8_t>(dSectors));
            SetTf(bPort, SATA_TF_LBA_LOW, static_cast<uint8_t>(dLba >> 24));
            SetTf(bPort, SATA_TF_LBA_LOW, static_cast<uint8_t>(dLba));
            SetTf(bPort, SATA_TF_LBA_MID, static_cast<uint8_t>(dLbaHigh));
            SetTf(bPort, SATA_TF_LBA_MID, static_cast<uint8_t>(dLba >> 8));
            SetTf(bPort, SATA_TF_LBA_HIGH, static_cast<uint8_t>(dLbaHigh >> 8));
            SetTf(bPort, SATA_TF_LBA_HIGH, static_cast<uint8_t>(dLba >> 16));
            SetTf(bPort, SATA_TF_DEVICE, ATA_DEVICE_LBA);
            return;
        }
        SetTf(bPort, SATA_TF_COUNT, dCount < BLOCK_BYTES ? static_cast<uint8_t>(dCount / SECTOR_BYTES) : 0);
        SetTf(bPort, SATA_TF_LBA_LOW, static_cast<uint8_t>(dLba));
        SetTf(bPort, SATA_TF_LBA_MID, static_cast<uint8_t>(dLba >> 8));
        SetTf(bPort, SATA_TF_LBA_HIGH, static_cast<uint8_t>(dLba >> 16));
        SetTf(bPort, SATA_TF_DEVICE, static_cast<uint8_t>(ATA_DEVICE_LBA | ((dLba >> 24) & 0x0F)));
    }
}

uint8_t bPioCommandLocked(uint8_t bPort, uint8_t bMode, uint8_t bCommand, uint32_t dCount, uint32_t dLba,
                          uint32_t dLbaHigh, uint8_t* pbBuffer) {
    if (!WaitNotBusy(bPort, TASKFILE_WAIT_READS)) return 0;
    const MARVELL_PORT& s = s_asPort[bPort];
    uint8_t bWritten = bCommand;
    LoadTaskfile(bPort, bCommand, dCount, dLba, dLbaHigh);
    if (s.fLba48 == TRUE && (dLbaHigh != 0 || dLba >= LBA28_LIMIT)) {
        if (bCommand == SATA_ATA_READ_SECTORS) bWritten = SATA_ATA_READ_SECTORS_EXT;
        if (bCommand == SATA_ATA_WRITE_SECTORS) bWritten = SATA_ATA_WRITE_SECTORS_EXT;
    } else if (s.fLba48 != TRUE && (dLbaHigh != 0 || dLba >= LBA28_LIMIT) &&
               (bCommand == SATA_ATA_READ_SECTORS || bCommand == SATA_ATA_WRITE_SECTORS)) {
        return 0;   // no block of a 28-bit drive lies there
    }
    SetTf(bPort, SATA_TF_COMMAND, bWritten);
    if (bMode == SATA_PIO_NO_DATA || pbBuffer == nullptr || dCount == 0) {
        for (uint32_t i = 0; i < PIO_DATA_READS; ++i) {
            const uint8_t b = Tf(bPort, SATA_TF_COMMAND);
            if ((b & SATA_STATUS_BSY) == 0) return (b & SATA_STATUS_ERR) ? 0 : STATUS_OK;
        }
        return 0;
    }
    const uint32_t dWords = dCount / 2;
    uint32_t dDone = 0;
    for (uint32_t i = 0; i < PIO_DATA_READS && dDone < dWords; ++i) {
        const uint8_t b = Tf(bPort, SATA_TF_COMMAND);
        if (b & SATA_STATUS_ERR) return 0;
        if ((b & SATA_STATUS_BSY) || (b & SATA_STATUS_DRQ) == 0) continue;
        if (bMode == SATA_PIO_IN) {
            Put16(pbBuffer + 2 * dDone, static_cast<uint16_t>(Edma(bPort, SATA_TF_DATA)));
        } else {
            SetEdma(bPort, SATA_TF_DATA, Get16(pbBuffer + 2 * dDone));
        }
        ++dDone;
    }
    if (dDone < dWords) return 0;
    return (Tf(bPort, SATA_TF_COMMAND) & SATA_STATUS_ERR) ? 0 : STATUS_OK;
}

// --- the EDMA queues --------------------------------------------------------

uint8_t bFreeTags(const MARVELL_PORT& s) {
    uint8_t b = 0;
    for (uint16_t w : s.awTag) b += w == SATA_TAG_FREE;
    return b;
}

uint8_t bRequestRoom(uint8_t bPort) {
    const uint8_t bOut = static_cast<uint8_t>((Edma(bPort, SATA_EDMA_REQUEST_OUT) >> 5) & 0x1F);
    const uint8_t bIn = s_asPort[bPort].bRequestIn;
    return static_cast<uint8_t>(SATA_QUEUE_SLOTS - 1 - ((bIn - bOut) & 0x1F));
}

// The PRD entries of one request block: the bytes from dSkip on, at most
// dBytes, each entry at most 64 KB; false when 33 entries do not hold them.
bool FillPrd(KERNEL_ENTRY* psEntry, uint32_t dSkip, uint32_t dBytes, uint8_t* pbPrd) {
    uint8_t bEntries = 0;
    for (uint8_t i = 0; i < psEntry->wSegmentCount && dBytes > 0; ++i) {
        const KERNEL_SEGMENT* ps = psEntrySegment(psEntry, i);
        if (ps == nullptr) return false;
        if (dSkip >= ps->dByteCount) {
            dSkip -= ps->dByteCount;
            continue;
        }
        uint32_t dAddress = ps->dAddress + dSkip;
        uint32_t dLeft = ps->dByteCount - dSkip;
        dSkip = 0;
        while (dLeft > 0 && dBytes > 0) {
            if (bEntries == SATA_PRD_ENTRIES) return false;
            const uint32_t dPiece = dLeft < dBytes ? (dLeft < SATA_PRD_MAX_BYTES ? dLeft : SATA_PRD_MAX_BYTES)
                                                   : (dBytes < SATA_PRD_MAX_BYTES ? dBytes : SATA_PRD_MAX_BYTES);
            uint8_t* pe = pbPrd + bEntries * SATA_PRD_BYTES;
            Put32(pe, dAddress);
            Put16(pe + 4, static_cast<uint16_t>(dPiece == SATA_PRD_MAX_BYTES ? 0 : dPiece));
            Put16(pe + 6, 0);
            Put32(pe + 8, 0);
            Put32(pe + 12, 0);
            ++bEntries;
            dAddress += dPiece;
            dLeft -= dPiece;
            dBytes -= dPiece;
        }
    }
    if (bEntries == 0 || dBytes != 0) return false;
    Put16(pbPrd + (bEntries - 1) * SATA_PRD_BYTES + 6, SATA_PRD_LAST);
    return true;
}

// The LBA and block count of a READ or WRITE CDB; false for anything else.
bool ReadCdb(const KERNEL_ENTRY* psEntry, bool* pfWrite, uint64_t* plLba, uint32_t* pdBlocks) {
    const uint8_t* c = psEntry->abCdb;
    switch (c[0]) {
    case SCSI_READ10:
    case SCSI_WRITE10:
        *pfWrite = c[0] == SCSI_WRITE10;
        *plLba = uint32_t(c[2]) << 24 | uint32_t(c[3]) << 16 | uint32_t(c[4]) << 8 | c[5];
        *pdBlocks = uint32_t(c[7]) << 8 | c[8];
        return true;
    case SCSI_READ16:
    case SCSI_WRITE16:
        *pfWrite = c[0] == SCSI_WRITE16;
        *plLba = 0;
        for (int i = 2; i < 10; ++i) *plLba = *plLba << 8 | c[i];
        *pdBlocks = uint32_t(c[10]) << 24 | uint32_t(c[11]) << 16 | uint32_t(c[12]) << 8 | c[13];
        return true;
    default: return false;
    }
}

uint16_t RegWord(uint8_t bCode, uint8_t bValue, bool fLast = false) {
    return static_cast<uint16_t>((fLast ? SATA_REQUEST_LAST_REGISTER : 0) | bCode << 8 | bValue);
}

// One request block: registers by drive kind (the 48-bit forms, high byte
// first, on an LBA48 drive).
void BuildRequest(uint8_t bPort, uint8_t bTag, bool fWrite, uint64_t lLba, uint32_t dSectors, uint8_t* pbBlock) {
    const MARVELL_PORT& s = s_asPort[bPort];
    std::memset(pbBlock, 0, SATA_REQUEST_BYTES);
    Put32(pbBlock, s.dPrdTables + bTag * SATA_PRD_TABLE_BYTES);
    Put16(pbBlock + 8, static_cast<uint16_t>(bTag << 1 | (fWrite ? 0 : SATA_REQUEST_READ)));
    uint16_t awReg[11];
    uint8_t n = 0;
    const bool fQueued = s.fQueued == TRUE && s.bQueueDepth != 0;
    const uint8_t bCount = static_cast<uint8_t>(dSectors), bCountHigh = static_cast<uint8_t>(dSectors >> 8);
    if (fQueued) {
        if (s.fLba48 == TRUE) awReg[n++] = RegWord(SATA_REG_FEATURES, bCountHigh);
        awReg[n++] = RegWord(SATA_REG_FEATURES, bCount);
        awReg[n++] = RegWord(SATA_REG_COUNT, static_cast<uint8_t>(bTag << 3));
    } else {
        if (s.fLba48 == TRUE) awReg[n++] = RegWord(SATA_REG_COUNT, bCountHigh);
        awReg[n++] = RegWord(SATA_REG_COUNT, bCount);
    }
    if (s.fLba48 == TRUE) {
        awReg[n++] = RegWord(SATA_REG_LBA_LOW, static_cast<uint8_t>(lLba >> 24));
        awReg[n++] = RegWord(SATA_REG_LBA_LOW, static_cast<uint8_t>(lLba));
        awReg[n++] = RegWord(SATA_REG_LBA_MID, static_cast<uint8_t>(lLba >> 32));
        awReg[n++] = RegWord(SATA_REG_LBA_MID, static_cast<uint8_t>(lLba >> 8));
        awReg[n++] = RegWord(SATA_REG_LBA_HIGH, static_cast<uint8_t>(lLba >> 40));
        awReg[n++] = RegWord(SATA_REG_LBA_HIGH, static_cast<uint8_t>(lLba >> 16));
        awReg[n++] = RegWord(SATA_REG_DEVICE, ATA_DEVICE_LBA);
    } else {
        awReg[n++] = RegWord(SATA_REG_LBA_LOW, static_cast<uint8_t>(lLba));
        awReg[n++] = RegWord(SATA_REG_LBA_MID, static_cast<uint8_t>(lLba >> 8));
        awReg[n++] = RegWord(SATA_REG_LBA_HIGH, static_cast<uint8_t>(lLba >> 16));
        awReg[n++] = RegWord(SATA_REG_DEVICE, static_cast<uint8_t>(ATA_DEVICE_LBA | ((lLba >> 24) & 0x0F)));
    }
    uint8_t bCommand;
    if (s.fLba48 == TRUE) {
        bCommand = fQueued ? (fWrite ? SATA_ATA_WRITE_DMA_QUEUED_EXT : SATA_ATA_READ_DMA_QUEUED_EXT)
                           : (fWrite ? SATA_ATA_WRITE_DMA_EXT : SATA_ATA_READ_DMA_EXT);
    } else {
        bCommand = fQueued ? (fWrite ? SATA_ATA_WRITE_DMA_QUEUED : SATA_ATA_READ_DMA_QUEUED)
                           : (fWrite ? SATA_ATA_WRITE_DMA : SATA_ATA_READ_DMA);
    }
    awReg[n++] = RegWord(SATA_REG_COMMAND, bCommand, true);
    for (uint8_t i = 0; i < n; ++i) Put16(pbBlock + 10 + 2 * i, awReg[i]);
}

// The tag's entry is done when no other tag of the port still holds it.
bool EntryStillQueued(const MARVELL_PORT& s, uint16_t wIndex) {
    for (uint16_t w : s.awTag)
        if (w != SATA_TAG_FREE && (w & ~SATA_TAG_NOT_LAST) == wIndex) return true;
    return false;
}

void ResponseQueueDrain(uint8_t bPort, uint8_t bIn) {
    MARVELL_PORT& s = s_asPort[bPort];
    SetEdma(bPort, SATA_EDMA_RESPONSE_OUT, s.dResponseQueue | uint32_t(bIn) << 3);
    while (s.bResponseOut != bIn) {
        uint8_t* pb = pbArea(bPort, AREA_RESPONSES) + s.bResponseOut * SATA_RESPONSE_BYTES;
        const uint8_t bTag = static_cast<uint8_t>(Get16(pb) & 0x1F);
        const uint16_t wFlags = Get16(pb + 2);
        const uint16_t wSlot = s.awTag[bTag];
        if (wSlot == SATA_TAG_FREE) {
            ++s_dDropped;
        } else if (wFlags == 0) {
            s.awTag[bTag] = SATA_TAG_FREE;
            const uint16_t wIndex = wSlot & ~SATA_TAG_NOT_LAST;
            KERNEL_ENTRY* psEntry = nullptr;
            GetKernelEntryAddress(wIndex, &psEntry);
            if (psEntry == nullptr || psEntry->bPortCode != PORT_CODE_DRIVE_SLOT_FIRST + bPort) {
                ++s_dDropped;
            } else if (!EntryStillQueued(s, wIndex) && psEntry->fUsed == TRUE &&
                       psEntry->bPrimaryState != PS_COMPLETED) {
                psEntry->bPrimaryState = PS_COMPLETED;
                RecordDriveCommandTime(psEntry);
                (void)QueueKernelEntryComplete(PORT_CODE_INITIATOR, wIndex);
            }
        }
        // With error flags the tag stays: the monitor finds the command.
        pb[0] = 0xFF, pb[1] = 0xFF, pb[2] = 0x22, pb[3] = 0x33;
        std::memcpy(pb + 4, "DDDD", 4);
        s.bResponseOut = static_cast<uint8_t>((s.bResponseOut + 1) % SATA_QUEUE_SLOTS);
        if (s.bOutstanding > 0) --s.bOutstanding;
    }
}

void PortErrorInterrupt(uint8_t bPort) {
    const uint32_t dCause = Edma(bPort, SATA_EDMA_ERROR_CAUSE);
    if (dCause & SATA_EDMA_ERR_WORK) SetSasDriveWork(TRUE);
    if (dCause & SATA_EDMA_ERR_DISCONNECT) {
        MarvellResetPortEdma(bPort);
        s_asPort[bPort].fGivenUp = FALSE;
    }
    if (dCause & SATA_EDMA_ERR_CONNECT) s_asPort[bPort].fGivenUp = FALSE;
    SetEdma(bPort, SATA_EDMA_ERROR_CAUSE, ~dCause);
}

// A port lost: its state cleared, its commands ended with error.
void LosePort(uint8_t bPort, bool fReport) {
    MARVELL_PORT& s = s_asPort[bPort];
    char acKey[8];
    std::memcpy(acKey, s.acSerialKey, 8);
    ClearPortState(s);
    s.fGivenUp = TRUE;
    FailQueueTargetCommands(static_cast<uint8_t>(PORT_CODE_DRIVE_SLOT_FIRST + bPort), 0xFF);
    if (fReport) {
        PostEvent(EVENT_PORT_LOST, static_cast<uint8_t>(acKey[4]), static_cast<uint8_t>(acKey[5]),
                  static_cast<uint8_t>(acKey[6]), static_cast<uint8_t>(acKey[7]), bOwnChassisSlot(bPort));
    }
}

// The command the engine stopped on: on a queued drive the tag the device
// reports, else the oldest command at the chip.
KERNEL_ENTRY* psFailingCommand(uint8_t bPort) {
    const MARVELL_PORT& s = s_asPort[bPort];
    if (s.fQueued == TRUE && s.bQueueDepth != 0) {
        const uint16_t w = s.awTag[(Tf(bPort, SATA_TF_COUNT) >> 3) & 0x1F];
        KERNEL_ENTRY* ps = nullptr;
        if (w != SATA_TAG_FREE) GetKernelEntryAddress(w & ~SATA_TAG_NOT_LAST, &ps);
        return ps;
    }
    KERNEL_ENTRY* psOldest = nullptr;
    for (uint16_t w : s.awTag) {
        KERNEL_ENTRY* ps = nullptr;
        if (w != SATA_TAG_FREE) GetKernelEntryAddress(w & ~SATA_TAG_NOT_LAST, &ps);
        if (ps == nullptr || ps->bPrimaryState != PS_AT_CHIP) continue;
        if (psOldest == nullptr || ps->alSequence[0] < psOldest->alSequence[0]) psOldest = ps;
    }
    return psOldest;
}

// A block the drive cannot read, met by a READ: the RAID engine's recovery
// serves it from the array's redundancy (or ends it with the error), as it
// does for any drive.  Posted again it would only stop the engine again,
// and a second stop within the minute gives the whole drive up.  The
// command leaves the port's tags first, so the recovery that follows posts
// only the others again.
bool HandUnreadableReadToRecovery(uint8_t bPort, KERNEL_ENTRY* ps, uint8_t bError) {
    if (ps == nullptr || ps->abCdb[0] != SCSI_READ10 || (bError & ATA_ERROR_UNCORRECTABLE) == 0) return false;
    MARVELL_PORT& s = s_asPort[bPort];
    for (uint16_t& w : s.awTag)
        if (w != SATA_TAG_FREE && (w & ~SATA_TAG_NOT_LAST) == ps->wIndex) w = SATA_TAG_FREE;
    uint8_t abSense[SENSE_FIXED_LENGTH];
    BuildFixedSense(abSense, SENSE_MEDIUM_ERROR, ASC_UNRECOVERED_READ_ERROR, 0);
    RecordDriveCommandTime(ps);
    DriveCommandErrorHandler(ps->bPortCode, SCSI_STATUS_CHECK_CONDITION, ps, abSense, sizeof abSense, TRUE, FALSE);
    return true;
}

bool Recover(uint8_t bPort, bool fAfterTimeout) {
    MARVELL_PORT& s = s_asPort[bPort];
    (void)bMarvellPioCommand(bPort, SATA_PIO_NO_DATA, SATA_ATA_FLUSH_CACHE, 0, 0, 0, nullptr);
    if (bMarvellPortEnable(bPort, TRUE) != STATUS_OK) return false;
    if (!fAfterTimeout) s.lLastRecovery = lGetTickCount();
    Reg32Write(IfBase(bPort) + SATA_SERROR, SATA_SERROR_ALL);
    s.bOutstanding = 0;
    RepostQueueTargetCommands(static_cast<uint8_t>(PORT_CODE_DRIVE_SLOT_FIRST + bPort), 0xFF, 0xFF);
    return true;
}

}  // namespace

void InitMarvellSata() {
    if (s_dRegion == NULL_BUFFER_HANDLE && bAllocDataPages(0, REGION_PAGES, &s_dRegion) != STATUS_OK) {
        s_dRegion = NULL_BUFFER_HANDLE;
        return;
    }
    for (MARVELL_PORT& s : s_asPort) {
        std::memset(&s, 0, sizeof s);
        ClearPortState(s);
    }
    for (uint8_t c = 0; c < SATA_CHIP_COUNT; ++c) {
        s_afChip[c] = FALSE;
        const uint8_t bSelector = SATA_CHIP_DEVICE[c];
        if (dConfigRead(bSelector, 0) != SATA_CHIP_PCI_ID) continue;
        ConfigWrite16(bSelector, 0x04, 0x0146);
        ConfigWrite16(bSelector, 0x0C, 0x4000);
        ConfigWrite(bSelector, 0x10, SATA_CHIP_BAR[c]);
        const uint32_t dChip = ChipBase(c);
        Reg32Write(dChip + SATA_MAIN_MASK, 0x7FFFF);
        Reg32Write(dChip + 0xD2C, Reg32Read(dChip + 0xD2C) & ~1u);
        Reg32Write(dChip + 0xD00, Reg32Read(dChip + 0xD00) & ~0x00FF0000u);
        Reg32Write(dChip + 0xD04, 0);
        Reg32Write(dChip + 0xC38, 0);
        Reg32Write(dChip + 0x1D04, 0x100FF);
        Reg32Write(dChip + 0xC28, 0);
        Reg32Write(dChip + 0xC00, Reg32Read(dChip + 0xC00) & ~0x30u);
        ConfigWrite(bSelector, 0x60, 0x003E0007);
        s_afChip[c] = TRUE;
        for (uint8_t hc = 0; hc < 2; ++hc) {
            const uint32_t dHc = dChip + SATA_HC_BASE + SATA_HC_STRIDE * hc;
            Reg32Write(dHc + SATA_HC_COALESCE_COUNT, 4);
            Reg32Write(dHc + SATA_HC_COALESCE_TIME, 7500);
            Reg32Write(dHc + SATA_HC_SETTING, 0x03030303);
        }
        Reg32Write(dChip + 0x104F0, 6);
    }
    for (uint8_t p = 0; p < SATA_PORTS; ++p) {
        if (!IsPortOfChip(p)) continue;
        MARVELL_PORT& s = s_asPort[p];
        SetEdma(p, SATA_EDMA_COMMAND, SATA_EDMA_CMD_RESET);
        SetEdma(p, SATA_EDMA_50, Edma(p, SATA_EDMA_50) | 0x1080);
        HwDelayUs(25);
        SetEdma(p, SATA_EDMA_COMMAND, 0);
        const uint32_t dIf = IfBase(p);
        Reg32Write(dIf + SATA_SERROR, SATA_SERROR_ALL);
        Reg32Write(dIf + SATA_SCONTROL, 0);
        Reg32Write(dIf + SATA_PHY_30, Reg32Read(dIf + SATA_PHY_30) | 0x80000);
        Reg32Write(dIf + SATA_PHY_0C, 0x500001);
        Reg32Write(dIf + SATA_PHY_3C, 0);
        Reg32Write(dIf + SATA_PHY_74, 0x05EAC880);
        s.dSStatus = dIf + SATA_SSTATUS;
        s.dSError = dIf + SATA_SERROR;
        s.dSControl = dIf + SATA_SCONTROL;
        s.dEdma = EdmaBase(p);
        uint8_t* pbRequests = pbArea(p, AREA_REQUESTS);
        std::memset(pbRequests, 0, SATA_QUEUE_SLOTS * SATA_REQUEST_BYTES);
        uint8_t* pbResponses = pbArea(p, AREA_RESPONSES);
        for (uint32_t i = 0; i < SATA_QUEUE_SLOTS * SATA_RESPONSE_BYTES; i += 4) Put32(pbResponses + i, 0x12345678);
        std::memset(pbArea(p, AREA_PRDS), 0, SATA_QUEUE_SLOTS * SATA_PRD_TABLE_BYTES);
        s.dRequestQueue = dBus(pbRequests);
        s.dResponseQueue = dBus(pbResponses);
        s.dPrdTables = dBus(pbArea(p, AREA_PRDS));
        SetEdma(p, SATA_EDMA_CONFIG, 0x100);
        SetEdma(p, SATA_EDMA_TIMER, 0);
        SetEdma(p, SATA_EDMA_ERROR_CAUSE, 0);
        SetEdma(p, SATA_EDMA_ERROR_MASK, 0x1F7F);
        SetEdma(p, SATA_EDMA_REQUEST_BASE_HIGH, 0);
        SetEdma(p, SATA_EDMA_RESPONSE_BASE_HIGH, 0);
        SetEdma(p, SATA_EDMA_REQUEST_IN, s.dRequestQueue);
        SetEdma(p, SATA_EDMA_RESPONSE_OUT, s.dResponseQueue);
        SetEdma(p, SATA_EDMA_COMMAND, 0);
        SetEdma(p, SATA_EDMA_TEST, 0);
        SetEdma(p, SATA_EDMA_IORDY_TIMEOUT, 188);
    }
    EnableInterruptSource2();
}

uint8_t fIsMarvellSataStarted() { return ToFlag(s_afChip[0] == TRUE || s_afChip[1] == TRUE); }

MARVELL_PORT* pGetMarvellPortRecord(uint8_t bPort) { return bPort < SATA_PORTS ? &s_asPort[bPort] : nullptr; }

uint8_t bCountMarvellPorts() {
    uint8_t b = 0;
    for (const MARVELL_PORT& s : s_asPort) b += s.fPresent == TRUE;
    return b;
}

void BuildSataSerialList(SATA_SERIAL_LIST* psList) {
    std::memset(psList, 0, sizeof *psList);
    for (SATA_SERIAL_ENTRY& e : psList->asEntry) {
        e.bPort = 0xFF;
        e.fClaimed = e.fFailed = FALSE;
        std::memset(e.abSerial, 0xFF, sizeof e.abSerial);
    }
    uint8_t n = 0;
    for (uint8_t p = 0; p < SATA_PORTS; ++p) {
        if (s_asPort[p].fPresent != TRUE) continue;
        SATA_SERIAL_ENTRY& e = psList->asEntry[n++];
        e.bPort = p;
        std::memcpy(e.abSerial, s_asPort[p].acSerialKey, sizeof e.abSerial);
    }
    psList->bCount = n;
}

uint8_t bFindSataSerial(SATA_SERIAL_LIST* psList, const char* pcKey, uint8_t* pbPort, uint8_t fMark) {
    const uint8_t bCount = psList->bCount < SATA_SERIAL_ENTRIES ? psList->bCount : SATA_SERIAL_ENTRIES;
    for (uint8_t i = 0; i < bCount; ++i) {
        SATA_SERIAL_ENTRY& e = psList->asEntry[i];
        if (e.bPort == 0xFF || std::memcmp(e.abSerial, pcKey, sizeof e.abSerial) != 0) continue;
        if (fMark == TRUE) e.fClaimed = TRUE;
        *pbPort = e.bPort;
        return STATUS_OK;
    }
    *pbPort = 0xFF;
    return 0;
}

uint8_t bMarvellPioCommand(uint8_t bPort, uint8_t bMode, uint8_t bCommand, uint32_t dCount, uint32_t dLba,
                           uint32_t dLbaHigh, uint8_t* pbBuffer) {
    if (!IsPortOfChip(bPort)) return 0;
    InterruptSourceLock sLock(INT_SOURCE_DRIVE_SIDE);
    SetTf(bPort, SATA_TF_CONTROL, SATA_CONTROL_NIEN);
    const uint8_t bResult = bPioCommandLocked(bPort, bMode, bCommand, dCount, dLba, dLbaHigh, pbBuffer);
    SetTf(bPort, SATA_TF_CONTROL, 0);
    return bResult;
}

uint8_t bMarvellPortEnable(uint8_t bPort, uint8_t fEnable) {
    if (!IsPortOfChip(bPort)) return 0;
    MARVELL_PORT& s = s_asPort[bPort];
    if (fEnable != TRUE) {
        SetEdma(bPort, SATA_EDMA_COMMAND, SATA_EDMA_CMD_DISABLE);
        return STATUS_OK;
    }
    if (s.fPresent != TRUE) return 0;
    // The engine starts where it stopped: the in-pointer from the out-pointer.
    const uint8_t bOut = static_cast<uint8_t>((Edma(bPort, SATA_EDMA_REQUEST_OUT) >> 5) & 0x1F);
    s.bRequestIn = bOut;
    SetEdma(bPort, SATA_EDMA_REQUEST_IN, s.dRequestQueue | uint32_t(bOut) << 5);
    if (!WaitNotBusy(bPort, ENABLE_WAIT_READS)) return 0;
    if (Tf(bPort, SATA_TF_COMMAND) & SATA_STATUS_DSC) {
        BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
        if (bAllocDataPages(0, 1, &dPage) == STATUS_OK) {
            (void)bMarvellPioCommand(bPort, SATA_PIO_IN, SATA_ATA_READ_SECTORS, SECTOR_BYTES, 0, 0,
                                     static_cast<uint8_t*>(pBufferHandleToPointer(dPage)));
            wFreeDataPages(dPage, 1);
        }
    }
    if (bMarvellPioCommand(bPort, SATA_PIO_NO_DATA, SATA_ATA_SET_FEATURES, SET_UDMA5, 0, 0, nullptr) != STATUS_OK)
        return 0;
    for (uint16_t& w : s.awTag) w = SATA_TAG_FREE;
    const bool fQueued = s.fQueued == TRUE && s.bQueueDepth != 0;
    SetEdma(bPort, SATA_EDMA_CONFIG, fQueued ? 0x300u | s.bQueueDepth : 0x100u);
    SetEdma(bPort, SATA_EDMA_COMMAND, SATA_EDMA_CMD_ENABLE);
    return STATUS_OK;
}

void MarvellEnableAllPorts(uint8_t fEnable) {
    for (uint8_t p = 0; p < SATA_PORTS; ++p)
        if (s_asPort[p].fPresent == TRUE) (void)bMarvellPortEnable(p, fEnable);
}

void MarvellResetPortEdma(uint8_t bPort) {
    if (!IsPortOfChip(bPort)) return;
    SetEdma(bPort, SATA_EDMA_COMMAND, SATA_EDMA_CMD_RESET);
    HwDelayUs(25);
    SetEdma(bPort, SATA_EDMA_COMMAND, 0);
    MARVELL_PORT& s = s_asPort[bPort];
    ++s.wEdmaResets;
    s.bRequestIn = 0;
    s.bResponseOut = 0;
    SetEdma(bPort, SATA_EDMA_REQUEST_IN, s.dRequestQueue);
    SetEdma(bPort, SATA_EDMA_RESPONSE_OUT, s.dResponseQueue);
}

void MarvellIdentifyPort(uint8_t bPort) {
    if (!IsPortOfChip(bPort) || SStatusDet(bPort) != SATA_SSTATUS_DET_UP) return;
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return;
    uint8_t* pbId = static_cast<uint8_t*>(pBufferHandleToPointer(dPage));
    if (bMarvellPioCommand(bPort, SATA_PIO_IN, SATA_ATA_IDENTIFY, SECTOR_BYTES, 0, 0, pbId) == STATUS_OK) {
        MARVELL_PORT& s = s_asPort[bPort];
        StoreIdentity(s, pbId);
        s.fPresent = TRUE;
        s.lAbsentSince = 0;
    }
    wFreeDataPages(dPage, 1);
}

void MarvellResetAndIdentifyAll(uint8_t fReset) {
    if (fReset == TRUE) {
        HwDelayUs(1000 * 1000);
        for (uint8_t p = 0; p < SATA_PORTS; ++p) {
            s_asPort[p].fPresent = s_asPort[p].fLinkUp = FALSE;
            MarvellResetPortEdma(p);
        }
        HwDelayUs(5000 * 1000);
    }
    for (uint8_t p = 0; p < SATA_PORTS; ++p) {
        if (!IsPortOfChip(p)) continue;
        // The last port of each host controller is not waited for.
        const bool fWait = p % SATA_PORTS_PER_HC != SATA_PORTS_PER_HC - 1;
        for (uint8_t i = 0; fWait && i < 20 && SStatusDet(p) != SATA_SSTATUS_DET_UP; ++i) HwDelayUs(100 * 1000);
        s_asPort[p].fLinkUp = ToFlag(SStatusDet(p) == SATA_SSTATUS_DET_UP);
        MarvellIdentifyPort(p);
    }
}

uint8_t bMarvellQueueCommand(KERNEL_ENTRY* psEntry) {
    const uint8_t bPort = static_cast<uint8_t>(psEntry->bPortCode - PORT_CODE_DRIVE_SLOT_FIRST);
    if (!fIsDriveSlotPath(psEntry->bPortCode) || !IsPortOfChip(bPort)) return 0;
    MARVELL_PORT& s = s_asPort[bPort];
    bool fWrite = false;
    uint64_t lLba = 0;
    uint32_t dBlocks = 0;
    if (s.fPresent != TRUE || !ReadCdb(psEntry, &fWrite, &lLba, &dBlocks) || dBlocks == 0) return 0;
    // A 28-bit drive has no block beyond 2^28; on an LBA48 drive the 48-bit
    // commands reach every block.
    if (s.fLba48 != TRUE && lLba + dBlocks > LBA28_LIMIT) return 0;
    const uint32_t dBytes = dBlocks * SECTOR_BYTES;
    if (dBytes / SECTOR_BYTES != dBlocks || psEntry->dTotalByteCount < dBytes) return 0;
    const uint8_t bBlocks = static_cast<uint8_t>((dBytes + BLOCK_BYTES - 1) / BLOCK_BYTES);
    if (dBytes > BLOCK_BYTES * SATA_QUEUE_SLOTS) return 0;
    InterruptSourceLock sLock(INT_SOURCE_DRIVE_SIDE);
    if (bFreeTags(s) < bBlocks || bRequestRoom(bPort) < bBlocks) return STATUS_RETRY;
    // Each block's PRD table first: a transfer the tables cannot hold is
    // refused before any tag is taken.
    uint8_t abTag[SATA_QUEUE_SLOTS];
    uint8_t bFound = 0;
    for (uint8_t t = 0; t < SATA_QUEUE_SLOTS && bFound < bBlocks; ++t)
        if (s.awTag[t] == SATA_TAG_FREE) abTag[bFound++] = t;
    for (uint8_t b = 0; b < bBlocks; ++b) {
        const uint32_t dSkip = b * BLOCK_BYTES;
        const uint32_t dThis = dBytes - dSkip < BLOCK_BYTES ? dBytes - dSkip : BLOCK_BYTES;
        if (!FillPrd(psEntry, dSkip, dThis, pbArea(bPort, AREA_PRDS) + abTag[b] * SATA_PRD_TABLE_BYTES)) return 0;
    }
    for (uint8_t b = 0; b < bBlocks; ++b) {
        const uint32_t dSkip = b * BLOCK_BYTES;
        const uint32_t dThis = dBytes - dSkip < BLOCK_BYTES ? dBytes - dSkip : BLOCK_BYTES;
        const bool fLast = b + 1 == bBlocks;
        s.awTag[abTag[b]] = static_cast<uint16_t>(psEntry->wIndex | (fLast ? 0 : SATA_TAG_NOT_LAST));
        BuildRequest(bPort, abTag[b], fWrite, lLba + dSkip / SECTOR_BYTES, dThis / SECTOR_BYTES,
                     pbArea(bPort, AREA_REQUESTS) + s.bRequestIn * SATA_REQUEST_BYTES);
        s.bRequestIn = static_cast<uint8_t>((s.bRequestIn + 1) % SATA_QUEUE_SLOTS);
    }
    if (s.bOutstanding == 0) s.lOldestCommand = lGetTickCount();
    s.bOutstanding = static_cast<uint8_t>(s.bOutstanding + bBlocks);
    psEntry->bPrimaryState = PS_AT_CHIP;
    SetEdma(bPort, SATA_EDMA_REQUEST_IN, s.dRequestQueue | uint32_t(s.bRequestIn) << 5);
    return STATUS_OK;
}

void MarvellInterrupt(uint8_t bChip) {
    if (bChip >= SATA_CHIP_COUNT || s_afChip[bChip] != TRUE) return;
    const uint32_t dChip = ChipBase(bChip);
    const uint32_t dMain = Reg32Read(dChip + SATA_MAIN_CAUSE);
    if (dMain == 0) return;
    for (uint8_t hc = 0; hc < 2; ++hc) {
        const uint32_t dBits = (dMain >> (SATA_MAIN_HC_SHIFT * hc)) & SATA_MAIN_HC_BITS;
        if (dBits == 0) continue;
        const uint32_t dHc = dChip + SATA_HC_BASE + SATA_HC_STRIDE * hc;
        Reg32Write(dHc + SATA_HC_CAUSE, 0xFFFFFFEF);
        const uint32_t dCause = Reg32Read(dHc + SATA_HC_CAUSE);
        Reg32Write(dHc + SATA_HC_CAUSE, ~dCause | 0x10);
        const uint32_t dIn = Reg32Read(dHc + SATA_HC_RESPONSE_IN);
        for (uint8_t q = 0; q < SATA_PORTS_PER_HC; ++q) {
            const uint8_t bPort = static_cast<uint8_t>(bChip * SATA_PORTS_PER_CHIP + hc * SATA_PORTS_PER_HC + q);
            if (dBits & (1u << (2 * q))) PortErrorInterrupt(bPort);
            if (dCause & (1u << q)) ResponseQueueDrain(bPort, static_cast<uint8_t>((dIn >> (8 * q)) & 0x1F));
        }
    }
}

void MarvellPortMonitor() {
    const uint8_t fWork = fGetSasDriveWork();
    SetSasDriveWork(FALSE);
    SetSasDiscoveryWork(FALSE);
    if (fWork == TRUE) HwDelayUs(100 * 1000);
    const uint8_t bPresentBefore = bCountMarvellPorts();
    bool fSettling = false;
    const uint64_t lNow = lGetTickCount();
    for (uint8_t p = 0; p < SATA_PORTS; ++p) {
        MARVELL_PORT& s = s_asPort[p];
        if (!IsPortOfChip(p) || s.fGivenUp == TRUE) continue;
        uint32_t dDet = SStatusDet(p);
        if (dDet == SATA_SSTATUS_DET_SEEN) {
            HwDelayUs(3000);
            dDet = SStatusDet(p);
        }
        const bool fLink = dDet == SATA_SSTATUS_DET_UP;
        if (s.fPresent == TRUE && fLink && (Edma(p, SATA_EDMA_COMMAND) & SATA_EDMA_CMD_ENABLE) == 0) {
            // The engine stopped on an error: report the command, recover.
            const uint8_t bStatus = Tf(p, SATA_TF_COMMAND), bError = Tf(p, SATA_TF_FEATURES);
            const uint8_t c[10] = {};
            KERNEL_ENTRY* psFailed = psFailingCommand(p);
            const uint8_t* pb = psFailed != nullptr ? psFailed->abCdb : c;
            PostEvent(EVENT_EDMA_ERROR, bOwnChassisSlot(p), bStatus, bError, pb[0], pb[1], pb[2], pb[3], pb[4], pb[5],
                      pb[6], pb[7], pb[8], pb[9]);
            // A bad block is the drive's, not the link's: it never counts
            // against the drive's recoveries.
            const bool fDue = HandUnreadableReadToRecovery(p, psFailed, bError) || s.lLastRecovery == 0 ||
                              lNow - s.lLastRecovery > RECOVERY_SPACING_MS;
            if (!fDue || !Recover(p, false)) LosePort(p, true);
        } else if (s.fPresent == TRUE && s.fTimedOut == TRUE) {
            char acKey[8];
            std::memcpy(acKey, s.acSerialKey, 8);
            PostEvent(EVENT_TIMEOUT, static_cast<uint8_t>(acKey[6]), static_cast<uint8_t>(acKey[7]),
                      bOwnChassisSlot(p));
            s.fTimedOut = FALSE;
            if (!Recover(p, true)) LosePort(p, !fLink);
        } else if (s.fPresent == TRUE && !fLink) {
            LosePort(p, true);
        } else if (s.fPresent != TRUE) {
            if (s.lAbsentSince == 0) {
                s.lAbsentSince = lNow == 0 ? 1 : lNow;
                MarvellResetPortEdma(p);
                fSettling = true;
            } else if (lNow - s.lAbsentSince < ABSENT_SETTLE_MS) {
                fSettling = true;
            } else if (lNow - s.lAbsentSince > ABSENT_GIVE_UP_MS) {
                ClearPortState(s);
                s.fGivenUp = TRUE;
            } else if ((Tf(p, SATA_TF_COMMAND) & SATA_STATUS_BSY) != 0) {
                fSettling = true;
            } else if (fLink) {
                MarvellIdentifyPort(p);
                if (s.fPresent == TRUE && bMarvellPortEnable(p, TRUE) == STATUS_OK) {
                    Reg32Write(IfBase(p) + SATA_SERROR, SATA_SERROR_ALL);
                    PostEvent(EVENT_PORT_FOUND, static_cast<uint8_t>(s.acSerialKey[6]),
                              static_cast<uint8_t>(s.acSerialKey[7]), bOwnChassisSlot(p));
                }
            }
        }
        s.fLinkUp = ToFlag(fLink);
    }
    if (bCountMarvellPorts() != bPresentBefore) (void)ApplyStoredSettings(FALSE, FALSE);
    if (fSettling) SetSasDiscoveryWork(TRUE);
}

void MarvellCommandTimeoutScan() {
    const uint64_t lNow = lGetTickCount();
    for (MARVELL_PORT& s : s_asPort) {
        if (s.fPresent != TRUE || s.bOutstanding == 0 || lNow - s.lOldestCommand < COMMAND_TIMEOUT_MS) continue;
        SetSasDriveWork(TRUE);
        s.fTimedOut = TRUE;
    }
}

void MarvellLongWriteTest(uint8_t bPort, uint32_t dBlock) {
    if (!IsPortOfChip(bPort) || s_asPort[bPort].fPresent != TRUE) return;
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return;
    uint8_t* pb = static_cast<uint8_t*>(pBufferHandleToPointer(dPage));
    for (uint32_t i = 0; i < BUFFER_PAGE_SIZE; i += 4) Put32(pb + i, 0x12345678);
    (void)bMarvellPortEnable(bPort, FALSE);
    if (bMarvellPioCommand(bPort, SATA_PIO_IN, SATA_ATA_READ_LONG, SATA_LONG_BYTES, dBlock, 0, pb) == STATUS_OK) {
        for (uint32_t i = 0; i < 8; ++i) Put32(pb + 4 * i, 0x11111111u * (i + 1));
        Put32(pb + 4 * 128, 0x12345678);
        Put32(pb + 4 * 129, 0x11223344);
        (void)bMarvellPioCommand(bPort, SATA_PIO_OUT, SATA_ATA_WRITE_LONG, SATA_LONG_BYTES, dBlock, 0, pb);
    }
    (void)bMarvellPortEnable(bPort, TRUE);
    wFreeDataPages(dPage, 1);
}

void MarvellRandomLongWriteTest() {
    uint8_t bPort = 0;
    while (bPort < SATA_PORTS && (!IsPortOfChip(bPort) || s_asPort[bPort].fPresent != TRUE)) ++bPort;
    if (bPort == SATA_PORTS) return;
    std::srand(dGetCoarseTick());
    // 13 bits of each draw: every generator gives at least 15.  Block 0 is
    // the one a port's enable reads.
    uint32_t dBlock = 0;
    while (dBlock == 0) {
        const uint32_t dHigh = static_cast<uint32_t>(std::rand()) & 0x1FFFu;
        dBlock = dHigh << 13 | (static_cast<uint32_t>(std::rand()) & 0x1FFFu);
    }
    MarvellLongWriteTest(bPort, dBlock);
}

uint32_t dGetMarvellDroppedResponses() { return s_dDropped; }

void ShowMarvellRegisters() {
    ConsolePrintf("\n\nMarvell Registers:\n");
    ConsolePrintf("SATA Registers\n");
    for (uint8_t p = 0; p < SATA_PORTS; ++p) {
        if (!IsPortOfChip(p)) continue;
        const uint32_t dSError = Reg32Read(IfBase(p) + SATA_SERROR);
        ConsolePrintf("%02d: Err:%08x ReqIn:%02x ReqOut:%02x ResIn:%02x ResOut:%02x\n", p, dSError,
                      (Edma(p, SATA_EDMA_REQUEST_IN) >> 5) & 0x1F, (Edma(p, SATA_EDMA_REQUEST_OUT) >> 5) & 0x1F,
                      (Edma(p, SATA_EDMA_RESPONSE_IN) >> 3) & 0x1F, (Edma(p, SATA_EDMA_RESPONSE_OUT) >> 3) & 0x1F);
        Reg32Write(IfBase(p) + SATA_SERROR, dSError);
        for (uint8_t t = 0; t < SATA_QUEUE_SLOTS; ++t) {
            ConsolePrintf("%04x ", s_asPort[p].awTag[t]);
            if (t % 16 == 15) ConsolePrintf("\n");
        }
    }
    ConsolePrintf("Interrupt regs:\n");
    for (uint8_t c = 0; c < SATA_CHIP_COUNT; ++c) {
        if (s_afChip[c] != TRUE) continue;
        const uint32_t dChip = ChipBase(c);
        const uint32_t dHc0 = dChip + SATA_HC_BASE, dHc1 = dHc0 + SATA_HC_STRIDE;
        ConsolePrintf(c == 0 ? "Cause0:%08x " : "Cause1:%08x ", Reg32Read(dChip + SATA_MAIN_CAUSE));
        ConsolePrintf(c == 0 ? "HC00:%08x " : "HC10:%08x ", Reg32Read(dHc0 + SATA_HC_CAUSE));
        ConsolePrintf(c == 0 ? "HC01:%08x " : "HC11:%08x ", Reg32Read(dHc1 + SATA_HC_CAUSE));
        ConsolePrintf(c == 0 ? "RES00:%08x " : "RES10:%08x ", Reg32Read(dHc0 + SATA_HC_RESPONSE_IN));
        ConsolePrintf(c == 0 ? "RES01:%08x\n" : "RES11:%08x\n", Reg32Read(dHc1 + SATA_HC_RESPONSE_IN));
    }
}

}  // namespace fw
