// The onboard VSC7156 expander boots from a serial flash the controller
// programs through SPI registers of the CPLD, and keeps its identity in a
// SEEPROM on I2C unit 2.  The flash holds a boot image in sector 0 and two
// firmware slots; a download always goes to the older slot and writes that
// slot's trailer last, so a power cut at any point leaves the newer slot
// for the expander to boot and the next start-up finishes the job.
#include "sas/vsc7156_flash.h"

#include <algorithm>
#include <cstring>

#include "config/nvram_records.h"
#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/crc16.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/scsi.h"
#include "platform/i2c.h"
#include "sas/sas_discovery.h"

namespace fw {

namespace {

constexpr uint32_t POLL_US = 100;
constexpr uint32_t READY_MS = 1000;
constexpr uint32_t PROGRAM_MS = 1000;
constexpr uint32_t ERASE_MS = 3000;
constexpr uint32_t BULK_ERASE_MS = 20000;
constexpr uint32_t COMMAND_MS = 1000;
constexpr uint32_t SEEPROM_WRITE_SETTLE_US = 10000;
constexpr uint32_t EXPANDER_RESTART_US = 15'000'000;
constexpr uint8_t EVENT_SPI_MEMORY = 153;
constexpr uint8_t EVENT_BOOT_IMAGE = 154;
constexpr uint8_t EVENT_SEEPROM = 155;
constexpr uint8_t VSC_EVENT_UPDATED = 2;
// The characters of a FW Rev ID event 153 carries: the version digits.
constexpr uint32_t EVENT_REV_ID_OFFSET = 11;

// Status codes of the SEEPROM step (event 155).
constexpr uint8_t SEEPROM_CURRENT = 1;
constexpr uint8_t SEEPROM_WRITTEN = 2;
constexpr uint8_t SEEPROM_READ_FAILED = 3;
constexpr uint8_t SEEPROM_WRITE_FAILED = 4;
constexpr uint8_t SEEPROM_VERIFY_FAILED = 5;

constexpr char LINE_REV_ID[] = "FWREVID: ";
constexpr char LINE_MATCH_ID[] = "MATCHID: ";
constexpr char LINE_VITESSE[] = "VITESSE: ";
constexpr uint32_t LINE_TAG_BYTES = 9;

VSC_FLASH_RECORD s_sRecord = {VSC_FLASH_SIZE, VSC_SECTOR_SIZE, VSC_PAGE_SIZE, 0, 0, 0, {}, {}, {}, {}};

// The expander firmware this controller carries, as a download file: its
// header lines, then the image.
constexpr uint32_t CARRIED_HEADER_BYTES = 3 * VSC_FILE_LINE_BYTES;
uint8_t s_abCarriedFile[CARRIED_HEADER_BYTES + VSC_CARRIED_IMAGE_BYTES];
uint8_t s_abBootImage[VSC_BOOT_IMAGE_BYTES];
bool s_fCarriedBuilt = false;
const uint8_t* s_pbFile = nullptr;
uint32_t s_dFileLength = 0;
// The last download changed the flash (it found the file already there
// otherwise).
bool s_fWrote = false;

uint8_t s_abPage[VSC_PAGE_SIZE];
uint8_t s_abSeeprom[VSC_SEEPROM_BYTES];
uint8_t s_abExpected[VSC_SEEPROM_BYTES];

uint16_t wControl() { return Reg16Read(VSC_SPI_CONTROL); }
void SetControl(uint16_t w) { Reg16Write(VSC_SPI_CONTROL, w); }

void PutLine(uint8_t* pb, const char* pszTag, const char* pszText) {
    std::memset(pb, ' ', VSC_FILE_LINE_BYTES);
    std::memcpy(pb, pszTag, LINE_TAG_BYTES);
    std::memcpy(pb + LINE_TAG_BYTES, pszText, std::min<size_t>(std::strlen(pszText), VSC_FILE_LINE_BYTES - 10));
    pb[VSC_FILE_LINE_BYTES - 1] = '\n';
}

void PutHex8(uint8_t* pb, uint32_t d) {
    for (int i = 0; i < 8; ++i) pb[i] = bNibbleToHexChar(static_cast<uint8_t>(d >> (28 - 4 * i) & 0xF));
}

void BuildCarried() {
    if (s_fCarriedBuilt) return;
    for (uint32_t i = 0; i < VSC_BOOT_IMAGE_BYTES; ++i) s_abBootImage[i] = bVsc7156BootImageByte(i);
    uint8_t* pbImage = s_abCarriedFile + CARRIED_HEADER_BYTES;
    for (uint32_t i = 0; i < VSC_CARRIED_IMAGE_BYTES; ++i) pbImage[i] = bVsc7156CarriedImageByte(i);
    PutLine(s_abCarriedFile, LINE_REV_ID, VSC_CARRIED_REV_ID);
    PutLine(s_abCarriedFile + VSC_FILE_LINE_BYTES, LINE_MATCH_ID, VSC_MATCH_ID);
    uint8_t* pbLast = s_abCarriedFile + 2 * VSC_FILE_LINE_BYTES;
    PutLine(pbLast, LINE_VITESSE, "");
    PutHex8(pbLast + LINE_TAG_BYTES, VSC_CARRIED_IMAGE_BYTES);
    PutHex8(pbLast + 18, Crc16(0, pbImage, VSC_CARRIED_IMAGE_BYTES));
    s_fCarriedBuilt = true;
}


// Polls the control register until the bits are as asked or the time is
// up; the bits' value then is the result.
bool WaitControl(uint16_t wMask, bool fSet, uint32_t dMilliseconds) {
    for (uint64_t lUs = 0;; lUs += POLL_US) {
        if (((wControl() & wMask) != 0) == fSet) return true;
        if (lUs >= static_cast<uint64_t>(dMilliseconds) * 1000) return false;
        HwDelayUs(POLL_US);
    }
}

// One SPI command: chip enable held for it, done awaited (or the read
// mode's read-done), start falling after it; a start that never falls is
// cleared by software.
bool RunCommand(uint8_t bOpcode, uint32_t dAddress, uint16_t wDone, uint32_t dMilliseconds,
                bool fReadMode = false) {
    SetVSC7156SPIChipEnable(TRUE);
    if (fReadMode) SetControl(static_cast<uint16_t>(wControl() | VSC_SPI_READ_MODE));
    Reg16Write(VSC_SPI_OPCODE, static_cast<uint16_t>(bOpcode << 8 | (dAddress >> 16 & 0xFF)));
    Reg16Write(VSC_SPI_ADDRESS, static_cast<uint16_t>(dAddress));
    if (fReadMode) SetControl(static_cast<uint16_t>(wControl() & ~VSC_SPI_READ_MODE));
    StartVSC7156SPICommand();
    bool f = WaitControl(wDone, true, dMilliseconds);
    f = WaitControl(VSC_SPI_START, false, f ? COMMAND_MS : 0) && f;
    if (!f) SetControl(static_cast<uint16_t>(wControl() & ~VSC_SPI_START));
    SetVSC7156SPIChipEnable(FALSE);
    return f;
}

uint8_t Result(bool f) { return f ? STATUS_OK : 0; }

void SwapIntoWindow(const uint8_t* pbPage) {
    for (uint32_t i = 0; i < VSC_PAGE_SIZE; i += 2) {
        Reg16Write(VSC_SPI_WINDOW + i, static_cast<uint16_t>(pbPage[i] << 8 | pbPage[i + 1]));
    }
}

void SwapOutOfWindow(uint8_t* pbPage) {
    for (uint32_t i = 0; i < VSC_PAGE_SIZE; i += 2) {
        const uint16_t w = Reg16Read(VSC_SPI_WINDOW + i);
        pbPage[i] = static_cast<uint8_t>(w >> 8);
        pbPage[i + 1] = static_cast<uint8_t>(w);
    }
}

bool IsErased(uint32_t dAddress, uint32_t dLength) {
    if (bVSC7156_SPIRead(dAddress, dLength, s_abPage) != STATUS_OK) return false;
    return std::all_of(s_abPage, s_abPage + dLength, [](uint8_t b) { return b == 0xFF; });
}

// --- the download file ------------------------------------------------------

struct FILE_HEADER {
    const uint8_t* pbImage;
    uint32_t dLength;
    uint16_t wCrc;
    char acRevId[VSC_REV_ID_BYTES];
    char acMatchId[VSC_MATCH_ID_BYTES];
};

uint8_t bHexField(const uint8_t* pb, uint32_t* pd) {
    uint32_t d = 0;
    for (int i = 0; i < 8; ++i) {
        const uint8_t b = bHexCharToNibble(pb[i]);
        if (b > 0xF) return FALSE;
        d = d << 4 | b;
    }
    *pd = d;
    return TRUE;
}

// The header lines; FALSE without a sound "VITESSE: " line.  The image
// length must stay within what the file holds and what a slot holds:
// anything longer would have the CRC read past the file and the erase
// run into the other slot.
bool ReadHeader(const uint8_t* pbFile, uint32_t dFile, FILE_HEADER* ps) {
    std::memset(ps->acRevId, ' ', sizeof ps->acRevId);
    std::memset(ps->acMatchId, ' ', sizeof ps->acMatchId);
    const uint32_t dSearch = std::min(dFile, VSC_FILE_HEADER_SEARCH);
    for (uint32_t at = 0; at + VSC_FILE_LINE_BYTES <= dSearch; at += VSC_FILE_LINE_BYTES) {
        const uint8_t* pb = pbFile + at;
        if (std::memcmp(pb, LINE_REV_ID, LINE_TAG_BYTES) == 0) {
            std::memcpy(ps->acRevId, pb + LINE_TAG_BYTES, VSC_REV_ID_BYTES);
        } else if (std::memcmp(pb, LINE_MATCH_ID, LINE_TAG_BYTES) == 0) {
            std::memcpy(ps->acMatchId, pb + LINE_TAG_BYTES, VSC_MATCH_ID_BYTES);
        } else if (std::memcmp(pb, LINE_VITESSE, LINE_TAG_BYTES) == 0) {
            uint32_t dLength = 0, dCrc = 0;
            if (bHexField(pb + LINE_TAG_BYTES, &dLength) != TRUE || bHexField(pb + 18, &dCrc) != TRUE) return false;
            const uint32_t dImage = at + VSC_FILE_LINE_BYTES;
            if (dLength == 0 || dLength > dFile - dImage || dLength > VSC_SLOT_IMAGE_MAX) return false;
            ps->pbImage = pbFile + dImage;
            ps->dLength = dLength;
            ps->wCrc = static_cast<uint16_t>(dCrc);
            // A CRC field wider than 16 bits matches no image.
            if (dCrc > 0xFFFF) ps->wCrc = static_cast<uint16_t>(~Crc16(0, ps->pbImage, dLength));
            return true;
        }
    }
    return false;
}

uint8_t CheckFile(const char* pszWho, FILE_HEADER* ps) {
    BuildCarried();
    if (!ReadHeader(s_pbFile, s_dFileLength, ps)) {
        ConsolePrintf("%s: Unreadable FW Header\n", pszWho);
        return VSC_BAD_HEADER;
    }
    std::memcpy(s_sRecord.acFileRevId, ps->acRevId, VSC_REV_ID_BYTES);
    std::memset(s_sRecord.acFlashRevId, ' ', VSC_REV_ID_BYTES);
    if (std::memcmp(ps->acMatchId, s_sRecord.acMatchId, VSC_MATCH_ID_BYTES) != 0) {
        char acExpected[VSC_MATCH_ID_BYTES + 1] = {}, acActual[VSC_MATCH_ID_BYTES + 1] = {};
        std::memcpy(acExpected, s_sRecord.acMatchId, VSC_MATCH_ID_BYTES);
        std::memcpy(acActual, ps->acMatchId, VSC_MATCH_ID_BYTES);
        ConsolePrintf("%s: MatchID does not match:\n", pszWho);
        ConsolePrintf(" Expected: %s, Actual %s\n", acExpected, acActual);
        return VSC_BAD_MATCH_ID;
    }
    s_sRecord.wExpectedCrc = ps->wCrc;
    s_sRecord.wComputedCrc = Crc16(0, ps->pbImage, ps->dLength);
    if (s_sRecord.wComputedCrc != s_sRecord.wExpectedCrc) {
        ConsolePrintf(std::strcmp(pszWho, "fVSC7156_SPIDownload") == 0 ? "%s: Image CRC does not match\n"
                                                                        : "%s: Image CRC does not match:\n",
                      pszWho);
        ConsolePrintf(" Expected: %04x, Actual %04X\n", s_sRecord.wExpectedCrc, s_sRecord.wComputedCrc);
        return VSC_BAD_CRC;
    }
    return VSC_DONE;
}

void PostSpiMemoryEvent(uint8_t bStatus) {
    const VSC_FLASH_RECORD& r = s_sRecord;
    uint8_t ab[12] = {};
    std::memcpy(ab, r.acFlashRevId + EVENT_REV_ID_OFFSET, 4);
    std::memcpy(ab + 4, r.acFileRevId + EVENT_REV_ID_OFFSET, 4);
    if (bStatus == VSC_BAD_CRC) {
        ab[8] = static_cast<uint8_t>(r.wExpectedCrc >> 8);
        ab[9] = static_cast<uint8_t>(r.wExpectedCrc);
        ab[10] = static_cast<uint8_t>(r.wComputedCrc >> 8);
        ab[11] = static_cast<uint8_t>(r.wComputedCrc);
    } else if (bStatus >= VSC_TRAILER_READ_FAILED) {
        PutBe32(ab + 8, r.dFailureAddress);
    }
    PostEvent(EVENT_SPI_MEMORY, bStatus, ab[0], ab[1], ab[2], ab[3], ab[4], ab[5], ab[6], ab[7], ab[8], ab[9],
              ab[10], ab[11]);
}

void ReadSlot(uint8_t bSlot, const uint8_t* pbTrailer) {
    VSC_SLOT& s = s_sRecord.asSlot[bSlot];
    std::memcpy(s.abTrailer, pbTrailer, VSC_TRAILER_BYTES);
    s.dSequence = dGetBe32(pbTrailer + VSC_TRAILER_SEQUENCE);
    s.dImageSize = dGetBe32(pbTrailer + VSC_TRAILER_SIZE);
    s.wCrc = static_cast<uint16_t>(pbTrailer[VSC_TRAILER_CRC] << 8 | pbTrailer[VSC_TRAILER_CRC + 1]);
    s.dFlags = dGetBe32(pbTrailer + VSC_TRAILER_FLAGS);
    s.fValid = std::memcmp(pbTrailer + VSC_TRAILER_SIGNATURE, VSC_TRAILER_SIGNATURE_TEXT, 4) == 0 ? TRUE : FALSE;
}

bool IsRevIdEmpty(const uint8_t* pb) {
    return std::all_of(pb, pb + VSC_REV_ID_BYTES, [](uint8_t b) { return b == 0 || b == ' ' || b == 0xFF; });
}

uint8_t Download(const FILE_HEADER& h) {
    VSC_FLASH_RECORD& r = s_sRecord;
    uint8_t abTrailer[VSC_TRAILER_BYTES];
    for (uint8_t bSlot = 0; bSlot < VSC_SLOTS; ++bSlot) {
        if (bVSC7156_SPIRead(VSC_SLOT_TRAILER[bSlot], VSC_TRAILER_BYTES, abTrailer) != STATUS_OK) {
            r.dFailureAddress = VSC_SLOT_TRAILER[bSlot];
            return VSC_TRAILER_READ_FAILED;
        }
        ReadSlot(bSlot, abTrailer);
    }
    const VSC_SLOT* ps = r.asSlot;
    uint8_t bChosen = 0;
    if (ps[0].fValid == TRUE && ps[1].fValid == TRUE) {
        bChosen = ps[0].dSequence < ps[1].dSequence ? 0 : 1;
    } else if (ps[0].fValid == TRUE || ps[1].fValid == TRUE) {
        bChosen = ps[0].fValid == TRUE ? 1 : 0;
    } else {
        r.asSlot[1] = VSC_SLOT{};
    }
    const VSC_SLOT& sKept = ps[1 - bChosen];
    const uint8_t* pbKeptRev = sKept.abTrailer + VSC_TRAILER_REV_ID;
    if (!IsRevIdEmpty(pbKeptRev)) {
        std::memcpy(r.acFlashRevId, pbKeptRev, VSC_REV_ID_BYTES);
        if (std::memcmp(pbKeptRev, h.acRevId, VSC_REV_ID_BYTES) == 0) return VSC_DONE;
    }
    s_fWrote = true;
    std::memset(abTrailer, 0, sizeof abTrailer);
    PutBe32(abTrailer + VSC_TRAILER_SEQUENCE, sKept.dSequence + 1);
    PutBe32(abTrailer + VSC_TRAILER_SIZE, h.dLength);
    std::memcpy(abTrailer + VSC_TRAILER_REV_ID, h.acRevId, VSC_REV_ID_BYTES);
    abTrailer[VSC_TRAILER_CRC] = static_cast<uint8_t>(h.wCrc >> 8);
    abTrailer[VSC_TRAILER_CRC + 1] = static_cast<uint8_t>(h.wCrc);
    PutBe32(abTrailer + VSC_TRAILER_FLAGS, sKept.dFlags);
    std::memcpy(abTrailer + VSC_TRAILER_SIGNATURE, VSC_TRAILER_SIGNATURE_TEXT, 4);

    // The trailer's sector first: from here on the slot is not bootable
    // until its trailer is written last.
    const uint32_t dTrailer = VSC_SLOT_TRAILER[bChosen];
    const uint32_t dImage = VSC_SLOT_IMAGE[bChosen];
    const uint32_t dSectors = (h.dLength + VSC_SECTOR_SIZE - 1) / VSC_SECTOR_SIZE;
    if (fVSC7156_SPISectorErase(dTrailer & ~(VSC_SECTOR_SIZE - 1)) != STATUS_OK) {
        r.dFailureAddress = dTrailer & ~(VSC_SECTOR_SIZE - 1);
        return VSC_ERASE_FAILED;
    }
    for (uint32_t k = 0; k < dSectors; ++k) {
        const uint32_t dSector = dImage + k * VSC_SECTOR_SIZE;
        if (fVSC7156_SPISectorErase(dSector) != STATUS_OK) {
            r.dFailureAddress = dSector;
            return VSC_ERASE_FAILED;
        }
    }
    for (uint32_t dOffset = 0; dOffset < h.dLength; dOffset += VSC_PAGE_SIZE) {
        const uint32_t dAddress = dImage + dOffset;
        const uint32_t dBytes = std::min(VSC_PAGE_SIZE, h.dLength - dOffset);
        r.dFailureAddress = dAddress;
        if (!IsErased(dAddress, VSC_PAGE_SIZE)) {
            ConsolePrintf("SPI FW erase verify failure %08x\n", dAddress);
            return VSC_PROGRAM_FAILED;
        }
        uint8_t abPage[VSC_PAGE_SIZE];
        std::memset(abPage, 0xFF, sizeof abPage);
        std::memcpy(abPage, h.pbImage + dOffset, dBytes);
        if (fVSC7156_SPIPageProgram(dAddress, abPage) != STATUS_OK) return VSC_PROGRAM_FAILED;
        if (bVSC7156_SPIVerify(dAddress, dBytes, abPage) != STATUS_OK) {
            ConsolePrintf("SPI FW image verify failure %08x\n", dAddress);
            r.dFailureAddress = dAddress;
            return VSC_PROGRAM_FAILED;
        }
    }
    uint8_t abPage[VSC_PAGE_SIZE];
    std::memset(abPage, 0xFF, sizeof abPage);
    std::memcpy(abPage + VSC_PAGE_SIZE - VSC_TRAILER_BYTES, abTrailer, VSC_TRAILER_BYTES);
    const uint32_t dTrailerPage = dTrailer & ~(VSC_PAGE_SIZE - 1);
    if (fVSC7156_SPIPageProgram(dTrailerPage, abPage) != STATUS_OK) {
        r.dFailureAddress = dTrailerPage;
        return VSC_PROGRAM_FAILED;
    }
    if (bVSC7156_SPIVerify(dTrailer, VSC_TRAILER_BYTES, abTrailer) != STATUS_OK) {
        ConsolePrintf("SPI FW image trailer verify failure\n");
        return VSC_TRAILER_VERIFY_FAILED;
    }
    std::memcpy(r.acFlashRevId, h.acRevId, VSC_REV_ID_BYTES);
    ReadSlot(bChosen, abTrailer);
    return VSC_DONE;
}

// --- the SEEPROM --------------------------------------------------------------

bool SeepromChunk(uint32_t dOffset, uint8_t* pbRead, const uint8_t* pbWrite) {
    uint8_t ab[2 + VSC_SEEPROM_CHUNK];
    ab[0] = static_cast<uint8_t>(dOffset >> 8);
    ab[1] = static_cast<uint8_t>(dOffset);
    if (pbWrite != nullptr) {
        std::memcpy(ab + 2, pbWrite, VSC_SEEPROM_CHUNK);
        return bI2cWriteBytes(VSC_SEEPROM_UNIT, VSC_SEEPROM_ADDRESS, ab, sizeof ab) == STATUS_OK;
    }
    return bI2cWriteBytes(VSC_SEEPROM_UNIT, VSC_SEEPROM_ADDRESS, ab, 2) == STATUS_OK &&
           bI2cReadBytes(VSC_SEEPROM_UNIT, VSC_SEEPROM_ADDRESS, pbRead, VSC_SEEPROM_CHUNK) == STATUS_OK;
}

bool ReadSeeprom(uint8_t* pb) {
    for (uint32_t d = 0; d < VSC_SEEPROM_BYTES; d += VSC_SEEPROM_CHUNK) {
        if (!SeepromChunk(d, pb + d, nullptr)) {
            ConsolePrintf("I2C2 Bus Error\n");
            return false;
        }
    }
    return true;
}

uint8_t CheckSeeprom(uint64_t lSasAddress) {
    if (!ReadSeeprom(s_abSeeprom)) return SEEPROM_READ_FAILED;
    uint8_t abVendor[8], abProduct[16];
    GetNvramVendorId(abVendor);
    GetNvramProductId(abProduct);
    std::memcpy(s_abExpected, s_abSeeprom, VSC_SEEPROM_BYTES);
    BuildVsc7156SeepromImage(s_abExpected, lSasAddress, abVendor, abProduct, bGetControllerNumber());
    if (std::memcmp(s_abExpected, s_abSeeprom, VSC_SEEPROM_BYTES) == 0) return SEEPROM_CURRENT;
    ConsolePrintf("Updating the Onboard Expander SEEPROM\n");
    ConsolePrintf("Writing Onboard Expander EEPROM Data, %d bytes\n", VSC_SEEPROM_BYTES);
    for (uint32_t d = 0; d < VSC_SEEPROM_BYTES; d += VSC_SEEPROM_CHUNK) {
        ConsolePrintf("Writing Onboard Expander EEPROM Data Offset %04x, %d bytes\n", d, VSC_SEEPROM_CHUNK);
        if (!SeepromChunk(d, nullptr, s_abExpected + d)) {
            ConsolePrintf("I2C2 Bus Error\n");
            return SEEPROM_WRITE_FAILED;
        }
        HwDelayUs(SEEPROM_WRITE_SETTLE_US);
    }
    ConsolePrintf("Write sucessful to the Onboard Expander SEEPROM\n");
    ConsolePrintf("Reading Onboard Expander EEPROM Data, %d bytes\n", VSC_SEEPROM_BYTES);
    if (!ReadSeeprom(s_abSeeprom)) return SEEPROM_READ_FAILED;
    if (std::memcmp(s_abExpected, s_abSeeprom, VSC_SEEPROM_BYTES) != 0) {
        ConsolePrintf("Onboard Expander EEPROM Data Verification Failed\n");
        ConsolePrintf("Onboard Expander EEPROM Read Data:");
        for (uint32_t d = 0; d < VSC_SEEPROM_BYTES; ++d) {
            if (d % 16 == 0) ConsolePrintf("\n%04x", d);
            ConsolePrintf(" %02x", s_abSeeprom[d]);
        }
        return SEEPROM_VERIFY_FAILED;
    }
    ConsolePrintf("Onboard Expander EEPROM Data Verified OK\n");
    return SEEPROM_WRITTEN;
}

}  // namespace

const VSC_FLASH_RECORD& sGetVSC7156FlashRecord() { return s_sRecord; }

void SetVSC7156SPIChipEnable(uint8_t f) {
    const uint16_t w = wControl();
    SetControl(static_cast<uint16_t>(f == TRUE ? w | VSC_SPI_CHIP_ENABLE : w & ~VSC_SPI_CHIP_ENABLE));
}

void StartVSC7156SPICommand() { SetControl(static_cast<uint16_t>(wControl() | VSC_SPI_START)); }

uint8_t fVSC7156_SPIWaitReady(uint32_t dMilliseconds) {
    return Result(RunCommand(VSC_SPI_READ_STATUS, 0, VSC_SPI_READY, dMilliseconds));
}

uint8_t fVSC7156_SPIWriteEnable() {
    return Result(RunCommand(VSC_SPI_WRITE_ENABLE, 0, VSC_SPI_WRITE_DONE, COMMAND_MS));
}

uint8_t fVSC7156_SPIPageProgram(uint32_t dAddress, const uint8_t* pbPage) {
    if (dAddress % VSC_PAGE_SIZE != 0 || dAddress >= VSC_FLASH_SIZE) {
        ConsolePrintf("Invalid address %08x for VSC7156_SPI Page Program\n", dAddress);
        return 0;
    }
    if (fVSC7156_SPIWaitReady(READY_MS) != STATUS_OK) return 0;
    SwapIntoWindow(pbPage);
    if (fVSC7156_SPIWriteEnable() != STATUS_OK) return 0;
    if (!RunCommand(VSC_SPI_PAGE_PROGRAM, dAddress, VSC_SPI_WRITE_DONE, PROGRAM_MS)) return 0;
    return fVSC7156_SPIWaitReady(READY_MS);
}

uint8_t fVSC7156_SPISectorErase(uint32_t dAddress) {
    if (dAddress >= VSC_FLASH_SIZE) {
        ConsolePrintf("Invalid Sector Address %08x for SPI Sector Erase\n", dAddress);
        return 0;
    }
    if (fVSC7156_SPIWaitReady(READY_MS) != STATUS_OK || fVSC7156_SPIWriteEnable() != STATUS_OK) return 0;
    if (!RunCommand(VSC_SPI_SECTOR_ERASE, dAddress, VSC_SPI_WRITE_DONE, ERASE_MS)) return 0;
    return fVSC7156_SPIWaitReady(ERASE_MS);
}

uint8_t fVSC7156_SPIBulkErase() {
    if (fVSC7156_SPIWaitReady(READY_MS) != STATUS_OK || fVSC7156_SPIWriteEnable() != STATUS_OK) return 0;
    if (!RunCommand(VSC_SPI_BULK_ERASE, 0, VSC_SPI_WRITE_DONE, COMMAND_MS)) return 0;
    (void)fVSC7156_SPIWaitReady(BULK_ERASE_MS);
    return Result((wControl() & VSC_SPI_READY) != 0);
}

uint8_t bVSC7156_SPIReadPage(uint32_t dAddress, uint8_t* pbPage) {
    if (!RunCommand(VSC_SPI_READ, dAddress, VSC_SPI_READ_DONE, COMMAND_MS, true)) return 0;
    SwapOutOfWindow(pbPage);
    return STATUS_OK;
}

uint8_t bVSC7156_SPIRead(uint32_t dAddress, uint32_t dLength, uint8_t* pbBuffer) {
    uint8_t abPage[VSC_PAGE_SIZE];
    uint32_t dDone = 0;
    while (dDone < dLength) {
        const uint32_t dAt = dAddress + dDone;
        const uint32_t dPage = dAt & ~(VSC_PAGE_SIZE - 1);
        if (dPage >= VSC_FLASH_SIZE || bVSC7156_SPIReadPage(dPage, abPage) != STATUS_OK) {
            ConsolePrintf("SPI Read failed\n");
            return 0;
        }
        const uint32_t dBytes = std::min(dLength - dDone, VSC_PAGE_SIZE - (dAt - dPage));
        std::memcpy(pbBuffer + dDone, abPage + (dAt - dPage), dBytes);
        dDone += dBytes;
    }
    return STATUS_OK;
}

uint8_t bVSC7156_SPIVerify(uint32_t dAddress, uint32_t dLength, const uint8_t* pbData) {
    uint8_t abPiece[VSC_PAGE_SIZE];
    for (uint32_t dDone = 0; dDone < dLength;) {
        const uint32_t dAt = dAddress + dDone;
        const uint32_t dBytes = std::min(dLength - dDone, VSC_PAGE_SIZE - (dAt & (VSC_PAGE_SIZE - 1)));
        if (bVSC7156_SPIRead(dAt, dBytes, abPiece) != STATUS_OK || std::memcmp(abPiece, pbData + dDone, dBytes) != 0) {
            s_sRecord.dFailureAddress = dAt;
            return 0;
        }
        dDone += dBytes;
    }
    return STATUS_OK;
}

void PrintVSC7156ImageHeader(const uint8_t* pb, const char* pszTitle) {
    ConsolePrintf("%s\n", pszTitle);
    ConsolePrintf("  Sequence Number: %d\n", dGetBe32(pb + VSC_TRAILER_SEQUENCE));
    ConsolePrintf("  Image Size: %x\n", dGetBe32(pb + VSC_TRAILER_SIZE));
    ConsolePrintf("  CRC: %04x\n", pb[VSC_TRAILER_CRC] << 8 | pb[VSC_TRAILER_CRC + 1]);
    ConsolePrintf("  Flags: %08x\n", dGetBe32(pb + VSC_TRAILER_FLAGS));
    const uint8_t* r = pb + VSC_TRAILER_REV_ID;
    ConsolePrintf("  FW Rev ID: %c%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c %02x %02x\n", r[0], r[1], r[2], r[3], r[4],
                  r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12], r[13], r[14], r[15], r[16], r[17], r[18], r[19],
                  pb[52], pb[53]);
    const uint8_t* s = pb + VSC_TRAILER_SIGNATURE;
    ConsolePrintf("  Signature: %c%c%c %02x\n", s[0], s[1], s[2], s[3]);
}

void SetVSC7156DownloadFile(const uint8_t* pbFile, uint32_t dLength) {
    s_pbFile = pbFile;
    s_dFileLength = dLength;
}

const uint8_t* pbGetVSC7156CarriedFile(uint32_t* pdLength) {
    BuildCarried();
    *pdLength = sizeof s_abCarriedFile;
    return s_abCarriedFile;
}

const uint8_t* pbGetVSC7156BootImage() {
    BuildCarried();
    return s_abBootImage;
}

namespace {

void UseCarriedFileUnlessGiven() {
    if (s_pbFile != nullptr) return;
    uint32_t dLength = 0;
    const uint8_t* pb = pbGetVSC7156CarriedFile(&dLength);
    SetVSC7156DownloadFile(pb, dLength);
}

}  // namespace

uint8_t fVSC7156_SPIVerifyDownloadImage() {
    std::memcpy(s_sRecord.acMatchId, VSC_MATCH_ID, VSC_MATCH_ID_BYTES);
    UseCarriedFileUnlessGiven();
    FILE_HEADER h{};
    return CheckFile("fVSC7156_SPIVerifyDownloadImage", &h);
}

uint8_t fVSC7156_SPIDownload() {
    std::memcpy(s_sRecord.acMatchId, VSC_MATCH_ID, VSC_MATCH_ID_BYTES);
    UseCarriedFileUnlessGiven();
    FILE_HEADER h{};
    s_fWrote = false;
    uint8_t bStatus = CheckFile("fVSC7156_SPIDownload", &h);
    if (bStatus == VSC_DONE) bStatus = Download(h);
    // A file already in the newer slot is no event.
    if (bStatus != VSC_DONE) {
        PostSpiMemoryEvent(bStatus);
    } else if (s_fWrote) {
        PostSpiMemoryEvent(VSC_EVENT_UPDATED);
    }
    return bStatus;
}

uint8_t fVSC7156_SPIBootImageDownload(uint8_t fBracket) {
    const uint8_t* pbBoot = pbGetVSC7156BootImage();
    if (fBracket == TRUE) SetCPLDControlBit3(FALSE);
    uint8_t bStatus = VSC_BOOT_DONE;
    if (fVSC7156_SPISectorErase(0) != STATUS_OK) {
        ConsolePrintf("fVSC7156_SPIBootImageDownload: Sector Erase %08x failed\n", 0);
        bStatus = VSC_ERASE_FAILED;
    }
    // Every page that did not erase is named before the download gives up.
    const bool fErased = bStatus == VSC_BOOT_DONE;
    for (uint32_t d = 0; fErased && d < VSC_BOOT_IMAGE_BYTES; d += VSC_PAGE_SIZE) {
        if (!IsErased(d, VSC_PAGE_SIZE)) {
            ConsolePrintf("fVSC7156_SPIBootImageDownload: Erase Verify failed %08x\n", d);
            bStatus = VSC_ERASE_FAILED;
        }
    }
    for (uint32_t d = 0; bStatus == VSC_BOOT_DONE && d < VSC_BOOT_IMAGE_BYTES; d += VSC_PAGE_SIZE) {
        uint8_t abPage[VSC_PAGE_SIZE];
        std::memset(abPage, 0xFF, sizeof abPage);
        std::memcpy(abPage, pbBoot + d, std::min(VSC_PAGE_SIZE, VSC_BOOT_IMAGE_BYTES - d));
        if (fVSC7156_SPIPageProgram(d, abPage) != STATUS_OK) {
            ConsolePrintf("fVSC7156_SPIBootImageDownload: Page Program %08x failed\n", d);
            bStatus = VSC_PROGRAM_FAILED;
        }
    }
    if (bStatus == VSC_BOOT_DONE && bVSC7156_SPIVerify(0, VSC_BOOT_IMAGE_BYTES, pbBoot) != STATUS_OK) {
        ConsolePrintf("fVSC7156_SPIBootImageDownload: Image Verify failed\n");
        bStatus = VSC_VERIFY_FAILED;
    }
    if (fBracket == TRUE) SetCPLDControlBit3(TRUE);
    return bStatus;
}

uint8_t bVSC7156_UpdateBootImage() {
    if (bVSC7156_SPIVerify(0, VSC_BOOT_IMAGE_BYTES, pbGetVSC7156BootImage()) == STATUS_OK) return STATUS_OK;
    s_fWrote = true;
    const uint8_t bStatus = fVSC7156_SPIBootImageDownload(FALSE);
    if (bStatus == VSC_BOOT_DONE) {
        PostEvent(EVENT_BOOT_IMAGE, VSC_BOOT_DONE);
        return STATUS_OK;
    }
    const bool fKnown = bStatus == VSC_ERASE_FAILED || bStatus == VSC_PROGRAM_FAILED || bStatus == VSC_VERIFY_FAILED;
    PostEvent(EVENT_BOOT_IMAGE, fKnown ? bStatus : 0);
    return 0;
}

// The expander restarts only when its SEEPROM or flash changed: a start
// that found both current costs nothing more than the reads.
uint8_t fVSC7156_StartupCheck(uint32_t dSasAddressHigh, uint32_t dSasAddressLow) {
    SetCPLDControlBit3(FALSE);
    uint8_t bSeeprom = SEEPROM_CURRENT;
    if (fIsInitializationComplete() == TRUE) {
        HwDelayUs(10000);
    } else {
        bSeeprom = CheckSeeprom(static_cast<uint64_t>(dSasAddressHigh) << 32 | dSasAddressLow);
        if (bSeeprom != SEEPROM_CURRENT) PostEvent(EVENT_SEEPROM, bSeeprom);
    }
    bool fChanged = bSeeprom != SEEPROM_CURRENT;
    uint8_t bDownload = 0;
    s_fWrote = false;
    if (bVSC7156_UpdateBootImage() == STATUS_OK) {
        const bool fBootWritten = s_fWrote;
        bDownload = fVSC7156_SPIDownload();
        fChanged = fChanged || fBootWritten || s_fWrote;
    } else {
        fChanged = true;
    }
    // The CPLD lets the expander go; it needs the time of a restart only
    // when its SEEPROM or flash changed.
    SetCPLDControlBit3(TRUE);
    if (fChanged) {
        HwDelayUs(EXPANDER_RESTART_US);
        (void)bReinitI2cUnit(VSC_SEEPROM_UNIT);
    }
    return bDownload == VSC_DONE && (bSeeprom == SEEPROM_WRITTEN || bSeeprom == SEEPROM_CURRENT) ? STATUS_OK : 0;
}

}  // namespace fw
