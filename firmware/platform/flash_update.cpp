// The controller's own firmware: a new image is received into the update
// buffer, checked, and programmed into the flash slot the controller did
// not start from.  That slot's record is erased first and written last, so
// until the last word is stored the boot ROM still starts the old image,
// and a power cut at any store leaves a controller that starts.
#include "platform/flash_update.h"

#include <cstring>

#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/flash.h"
#include "hw/hw.h"

namespace fw {

namespace {

constexpr uint32_t UPDATE_BUFFER_PAGES = 1024;   // 4 MB
constexpr uint32_t POLL_US = 10;

BUFFER_HANDLE s_dUpdateBuffer = NULL_BUFFER_HANDLE;

uint32_t dXorWords(const uint8_t* pb, uint32_t dLength) {
    uint32_t dXor = 0;
    for (uint32_t d = 0; d < dLength; d += 4) {
        uint32_t dWord = 0;
        std::memcpy(&dWord, pb + d, dLength - d < 4 ? dLength - d : 4);
        dXor ^= dWord;
    }
    return dXor;
}

uint32_t dFlashWord(uint32_t dOffset) { return Reg32Read(FLASH_WINDOW_BASE + dOffset); }

// Waits out the part's busy time: TRUE when the command succeeded.
bool FlashCommandDone(uint32_t dLimitUs) {
    for (uint32_t dWaited = 0;; dWaited += POLL_US) {
        const uint32_t dStatus = Reg32Read(FLASH_CTRL_BASE + FLASH_REG_STATUS);
        if ((dStatus & FLASH_STATUS_BUSY) == 0) return (dStatus & FLASH_STATUS_ERROR) == 0;
        if (dWaited > dLimitUs) return false;
        HwDelayUs(POLL_US);
    }
}

bool EraseSector(uint32_t dOffset) {
    Reg32Write(FLASH_CTRL_BASE + FLASH_REG_ADDRESS, dOffset);
    Reg32Write(FLASH_CTRL_BASE + FLASH_REG_COMMAND, FLASH_CMD_ERASE_SECTOR);
    return FlashCommandDone(2 * FLASH_ERASE_US);
}

bool ProgramWord(uint32_t dOffset, uint32_t dWord) {
    // An erased word needs no store.
    if (dWord == 0xFFFFFFFF) return dFlashWord(dOffset) == dWord;
    Reg32Write(FLASH_CTRL_BASE + FLASH_REG_ADDRESS, dOffset);
    Reg32Write(FLASH_CTRL_BASE + FLASH_REG_DATA, dWord);
    Reg32Write(FLASH_CTRL_BASE + FLASH_REG_COMMAND, FLASH_CMD_PROGRAM);
    return FlashCommandDone(100 * FLASH_PROGRAM_US) && dFlashWord(dOffset) == dWord;
}

bool ProgramBytes(uint32_t dOffset, const uint8_t* pb, uint32_t dLength) {
    for (uint32_t d = 0; d < dLength; d += 4) {
        uint32_t dWord = 0xFFFFFFFF;
        std::memcpy(&dWord, pb + d, dLength - d < 4 ? dLength - d : 4);
        if (!ProgramWord(dOffset + d, dWord)) return false;
    }
    return true;
}

FLASH_SLOT_RECORD sReadRecord(uint32_t dSlot) {
    FLASH_SLOT_RECORD s;
    uint32_t adWords[sizeof s / 4];
    for (uint32_t d = 0; d < sizeof s / 4; ++d) {
        adWords[d] = dFlashWord(dSlot * FLASH_SLOT_SIZE + FLASH_SLOT_RECORD_OFFSET + d * 4);
    }
    std::memcpy(&s, adWords, sizeof s);
    return s;
}

uint32_t dRecordCheck(const FLASH_SLOT_RECORD& s) {
    return ~(s.dMagic ^ s.dSequence ^ s.dImageLength ^ s.dImageChecksum);
}

// XOR of the flash's words from the offset, the last word's bytes past the
// length counted as 0, as the image's own.
uint32_t dFlashXor(uint32_t dOffset, uint32_t dLength) {
    uint32_t dXor = 0;
    for (uint32_t d = 0; d < dLength; d += 4) {
        uint32_t dWord = dFlashWord(dOffset + d);
        if (dLength - d < 4) dWord &= 0xFFFFFFFFu >> (8 * (4 - (dLength - d)));
        dXor ^= dWord;
    }
    return dXor;
}

// The sequence of a slot the boot ROM would start (a whole record over a
// whole image), 0 otherwise.  The slot being written must never be the one
// the controller starts from, even when the newer record lies over a
// damaged image.
bool IsRecordWhole(const FLASH_SLOT_RECORD& s) {
    return s.dMagic == FLASH_SLOT_MAGIC && s.dRecordCheck == dRecordCheck(s) && s.dImageLength <= FLASH_IMAGE_MAX;
}

uint32_t dSlotSequence(uint32_t dSlot) {
    const FLASH_SLOT_RECORD s = sReadRecord(dSlot);
    if (!IsRecordWhole(s) || dFlashXor(dSlot * FLASH_SLOT_SIZE, s.dImageLength) != s.dImageChecksum) return 0;
    return s.dSequence;
}

bool IsElfSound(const uint8_t* pbImage, uint32_t dOffset, uint32_t dLength, uint32_t dImageLength) {
    if (dOffset < sizeof(FIRMWARE_IMAGE_HEADER) || dLength < ELF32_HEADER_BYTES || dOffset > dImageLength ||
        dLength > dImageLength - dOffset) {
        return false;
    }
    const uint8_t* pb = pbImage + dOffset;
    const uint16_t wMachine = static_cast<uint16_t>(pb[ELF_MACHINE_OFFSET] | pb[ELF_MACHINE_OFFSET + 1] << 8);
    return pb[0] == 0x7F && pb[1] == 'E' && pb[2] == 'L' && pb[3] == 'F' && pb[4] == ELF_CLASS_32 &&
           pb[5] == ELF_DATA_LITTLE && wMachine == ELF_MACHINE_ARM;
}

void PrintHeader(const FIRMWARE_IMAGE_HEADER& s) {
    ConsolePrintf("Image Length:%08x Version:%02x Checksum:%08x\n", s.dImageLength, s.bVersion, s.dChecksum);
    ConsolePrintf("ELF Offset:%08x Length:%08x Second ELF Offset:%08x Length:%08x\n", s.dElfOffset, s.dElfLength,
                  s.dSecondElfOffset, s.dSecondElfLength);
}

}  // namespace

uint8_t bGetFirmwareUpdateBuffer(uint8_t fAllocate, BUFFER_HANDLE* pHandle) {
    if (s_dUpdateBuffer == NULL_BUFFER_HANDLE && fAllocate == TRUE &&
        bAllocDataPages(0, UPDATE_BUFFER_PAGES, &s_dUpdateBuffer) != STATUS_OK) {
        s_dUpdateBuffer = NULL_BUFFER_HANDLE;
    }
    if (s_dUpdateBuffer == NULL_BUFFER_HANDLE) return STATUS_NO_PAGES;
    *pHandle = s_dUpdateBuffer;
    return STATUS_OK;
}

uint32_t dGetFirmwareUpdateBufferBytes() { return UPDATE_BUFFER_PAGES * BUFFER_PAGE_SIZE; }

uint8_t bCheckFirmwareImageHeader(const uint8_t* pbImage, uint32_t dLength, uint8_t fVerbose, uint8_t bElf) {
    if (pbImage == nullptr || dLength < sizeof(FIRMWARE_IMAGE_HEADER)) return 0;
    FIRMWARE_IMAGE_HEADER s;
    std::memcpy(&s, pbImage, sizeof s);
    if (fVerbose == TRUE) PrintHeader(s);
    if (std::memcmp(s.abSignature, FIRMWARE_SIGNATURE, FIRMWARE_SIGNATURE_BYTES) != 0) return 0;
    if (s.bVersion != FIRMWARE_HEADER_VERSION) {
        if (fVerbose == TRUE) ConsolePrintf("Firmware Version Invalid:%02x\n", s.bVersion);
        return 0;
    }
    // The whole image must have arrived and fit a flash slot.
    if (s.dImageLength > dLength || s.dImageLength > FLASH_IMAGE_MAX) return 0;
    const bool fSecond = bElf == FIRMWARE_ELF_SECOND;
    const uint32_t dOffset = fSecond ? s.dSecondElfOffset : s.dElfOffset;
    const uint32_t dElfLength = fSecond ? s.dSecondElfLength : s.dElfLength;
    const uint32_t dExpected = fSecond ? s.dSecondChecksum : s.dChecksum;
    if (!IsElfSound(pbImage, dOffset, dElfLength, s.dImageLength)) return 0;
    const uint32_t dChecksum = dXorWords(pbImage + dOffset, dElfLength);
    if (dChecksum != dExpected) {
        if (fVerbose == TRUE) ConsolePrintf("Firmware Checksum Invalid (%08x) Length:%08x\n", dChecksum, dElfLength);
        return 0;
    }
    return STATUS_OK;
}

uint8_t fNamesSecondProgram(const uint8_t* pbImage, uint32_t dLength) {
    if (pbImage == nullptr || dLength < sizeof(FIRMWARE_IMAGE_HEADER)) return FALSE;
    FIRMWARE_IMAGE_HEADER s;
    std::memcpy(&s, pbImage, sizeof s);
    return ToFlag((s.dSecondElfOffset | s.dSecondElfLength | s.dSecondChecksum) != 0);
}

uint32_t dGetNewestFlashRecord() {
    uint32_t dNewest = 0;
    for (uint32_t dSlot = 0; dSlot < FLASH_SLOTS; ++dSlot) {
        const FLASH_SLOT_RECORD s = sReadRecord(dSlot);
        if (IsRecordWhole(s) && s.dSequence > dNewest) dNewest = s.dSequence;
    }
    return dNewest;
}

uint8_t bProgramFlash(const uint8_t* pbImage, uint8_t fVerbose) {
    FIRMWARE_IMAGE_HEADER s;
    std::memcpy(&s, pbImage, sizeof s);
    const uint32_t dLength = s.dImageLength;
    if (dLength < sizeof s || dLength > FLASH_IMAGE_MAX) return 0;
    const uint32_t adSequence[FLASH_SLOTS] = {dSlotSequence(0), dSlotSequence(1)};
    // The slot the boot ROM does not start from: the older, or an empty one.
    const uint32_t dSlot = adSequence[0] > adSequence[1] ? 1 : 0;
    const uint32_t dBase = dSlot * FLASH_SLOT_SIZE;
    const uint32_t dNewest = adSequence[0] > adSequence[1] ? adSequence[0] : adSequence[1];
    if (fVerbose == TRUE) ConsolePrintf("Erasing Flash\n");
    // The record first: from here on the slot is not startable.
    if (!EraseSector(dBase + FLASH_SLOT_RECORD_OFFSET)) return 0;
    for (uint32_t d = 0; d < dLength; d += FLASH_SECTOR_SIZE) {
        if (!EraseSector(dBase + d)) return 0;
    }
    if (fVerbose == TRUE) ConsolePrintf("Programming Flash\n");
    if (!ProgramBytes(dBase, pbImage, dLength)) return 0;
    // Read back as the boot ROM will before it is made startable.
    const uint32_t dImageXor = dXorWords(pbImage, dLength);
    if (dFlashXor(dBase, dLength) != dImageXor) return 0;
    FLASH_SLOT_RECORD r = {FLASH_SLOT_MAGIC, dNewest + 1, dLength, dImageXor, 0};
    r.dRecordCheck = dRecordCheck(r);
    uint8_t abRecord[sizeof r];
    std::memcpy(abRecord, &r, sizeof r);
    if (!ProgramBytes(dBase + FLASH_SLOT_RECORD_OFFSET, abRecord, sizeof r)) return 0;
    return STATUS_OK;
}

void ProgramFlash(const uint8_t* pbImage, uint8_t fVerbose) {
    if (bProgramFlash(pbImage, fVerbose) == STATUS_OK) {
        ConsolePrintf("Flash Programming Complete\n");
        // The log names the upgrade: the build, not an automatic upgrade,
        // and the version word, which the new firmware's first start
        // writes over with its own.
        uint8_t abBuild[4];
        std::memcpy(abBuild, FIRMWARE_VERSION_CHARACTERS, sizeof abBuild);
        const auto b = [](uint32_t d) { return static_cast<uint8_t>(d); };
        PostEvent(EVENT_FIRMWARE_UPGRADED, abBuild[0], abBuild[1], abBuild[2], abBuild[3], FALSE,
                  b(FIRMWARE_VERSION_WORD), b(FIRMWARE_VERSION_WORD >> 8), b(FIRMWARE_VERSION_WORD >> 16),
                  b(FIRMWARE_VERSION_WORD >> 24));
    } else {
        ConsolePrintf("Flash Programming Failed, the previous firmware is kept\n");
    }
}

}  // namespace fw
