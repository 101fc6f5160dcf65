// The range check of READ(16) and WRITE(16) and the reserved-field check of
// the non-data commands.
#include "target/command_checks.h"

#include "config/ld_table.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "target/command_access.h"

namespace fw {

namespace {

// One row per supported opcode: the bits of each CDB byte that must be
// zero, and a group of bytes that must be zero only while a flag bit of the
// CDB is clear (the address of READ CAPACITY without its PMI bit).
struct RESERVED_FIELD_ROW {
    uint8_t bOpcode;
    uint8_t abMask[16];
    uint8_t bFlagByte;     // 0: no conditional group
    uint8_t bFlagMask;
    uint8_t bFirstByte;
    uint8_t bLastByte;
};

constexpr uint8_t X = 0xFF;   // the whole byte

constexpr RESERVED_FIELD_ROW s_asReservedFields[] = {
    //            byte 0  1     2  3  4     5     6  7  8     9     10 11    12 13 14    15
    {SCSI_TEST_UNIT_READY, {0, 0x1F, X, X, X, 0xF8}, 0, 0, 0, 0},
    {SCSI_REZERO_UNIT, {0, 0x1F, X, X, X, 0xF8}, 0, 0, 0, 0},
    {SCSI_REQUEST_SENSE, {0, 0x1F, X, X, 0, 0xF8}, 0, 0, 0, 0},
    // The allocation length is bytes 3-4 (16 bits since SPC-3).
    {SCSI_INQUIRY, {0, 0x1E, 0, 0, 0, 0xF8}, 0, 0, 0, 0},
    {SCSI_MODE_SELECT6, {0, 0xEE, X, X, 0, 0xFC}, 0, 0, 0, 0},
    {SCSI_MODE_SENSE6, {0, 0x17, 0, X, 0, 0xFC}, 0, 0, 0, 0},
    {SCSI_START_STOP_UNIT, {0, 0x1E, X, X, 0xFE, 0xF8}, 0, 0, 0, 0},
    {SCSI_RECEIVE_DIAGNOSTIC, {0, 0x1E, 0, 0, 0, 0xF8}, 0, 0, 0, 0},
    {SCSI_SEND_DIAGNOSTIC, {0, 0x08, X, 0, 0, 0xF8}, 0, 0, 0, 0},
    {SCSI_READ_CAPACITY10, {0, 0x1C, 0, 0, 0, 0, X, X, 0xFE, 0xF8}, 8, 0x01, 2, 5},
    {SCSI_SEEK10, {0, 0x1F, 0, 0, 0, 0, X, X, X, 0xF8}, 0, 0, 0, 0},
    // Every SEEK reaches its handler in this form, the fields of SEEK(6) and
    // SEEK(10) moved to their places in it.
    {SCSI_SEEK16_FORM, {0, 0x1F, 0, 0, 0, 0, 0, 0, 0, 0, X, X, X, X, X, 0xF8}, 0, 0, 0, 0},
    {SCSI_VERIFY10, {0, 0x0C, 0, 0, 0, 0, X, 0, 0, 0xF8}, 0, 0, 0, 0},
    {SCSI_SYNCHRONIZE_CACHE10, {0, 0x0C, 0, 0, 0, 0, X}, 0, 0, 0, 0},
    {SCSI_READ_DEFECT_DATA10, {0, 0, 0xE0, X, X, X, X, 0, 0, X}, 0, 0, 0, 0},
    // The mode is all of bits 0-3: the echo-buffer modes are 10 and 11.
    {SCSI_WRITE_BUFFER, {0, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0xFC}, 0, 0, 0, 0},
    {SCSI_READ_BUFFER, {0, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0xFC}, 0, 0, 0, 0},
    {SCSI_MODE_SELECT10, {0, 0xEE, X, X, X, X, X, 0, 0, 0xFC}, 0, 0, 0, 0},
    {SCSI_RESERVE10, {0, 0x0D, 0, 0, X, X, X, 0, 0, 0xFC}, 0, 0, 0, 0},
    {SCSI_RELEASE10, {0, 0x0D, 0, 0, X, X, X, X, 0, 0xFC}, 0, 0, 0, 0},
    {SCSI_MODE_SENSE10, {0, 0x07, 0, X, X, X, X, 0, 0, 0xFC}, 0, 0, 0, 0},
    {SCSI_PERSISTENT_RESERVE_IN, {0, 0xE0, X, X, X, X, X, 0, 0, X}, 0, 0, 0, 0},
    {SCSI_PERSISTENT_RESERVE_OUT, {0, 0xE0, 0, X, X, X, X, 0, 0, X}, 0, 0, 0, 0},
    {SCSI_VERIFY16, {0, 0xE8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, X, 0xF8}, 0, 0, 0, 0},
    // PMI is bit 0 of byte 14; without it the address must be zero.
    {SCSI_SERVICE_ACTION_IN16, {0, 0xE0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFC}, 14, 0x01, 2, 9},
    {SCSI_REPORT_LUNS, {0, X, X, X, X, X, 0, 0, 0, 0, X, 0xFC}, 0, 0, 0, 0},
    {SCSI_MAINTENANCE_IN, {0, 0xE7, X}, 0, 0, 0, 0},
    {SCSI_MAINTENANCE_OUT, {0, 0xE7}, 0, 0, 0, 0},
};

const RESERVED_FIELD_ROW* psReservedFieldRow(uint8_t bOpcode) {
    for (const RESERVED_FIELD_ROW& sRow : s_asReservedFields) {
        if (sRow.bOpcode == bOpcode) return &sRow;
    }
    return nullptr;
}

uint8_t bRefuse(uint8_t bAsc, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq) {
    *pbKey = SENSE_ILLEGAL_REQUEST;
    *pbAsc = bAsc;
    *pbAscq = 0;
    return 0;
}

bool HasWrite16ReservedBits(const uint8_t* pbCdb) {
    switch (pbCdb[0]) {
    case SCSI_READ16:
    case SCSI_WRITE16:
    case SCSI_WRITE_AND_VERIFY16: return (pbCdb[1] & 0x06) != 0 || pbCdb[14] != 0 || (pbCdb[15] & 0xF8) != 0;
    default: return true;
    }
}

// The 16-bit block count the rest of the path decodes (CDB bytes 12-13) is
// what the check passed only while the transfer stays below 65536 units.
constexpr uint32_t MAX_TRANSFER_UNITS = 65535;

}  // namespace

uint32_t dBlockFactor(uint16_t wLd) {
    const uint32_t dFactor = bGetLogicalDriveBlockFactor(wLd);
    return dFactor == 0 ? 1 : dFactor;
}

uint64_t lGetLogicalDriveBlocks(uint16_t wLd) {
    uint64_t lLastBlock = 0;
    if (bGetLogicalDriveCapacity(wLd, &lLastBlock) != STATUS_OK) return 0;
    // (last + 1) / F, without the sum that could wrap.
    const uint32_t dFactor = dBlockFactor(wLd);
    return lLastBlock / dFactor + (lLastBlock % dFactor == dFactor - 1 ? 1 : 0);
}

uint8_t fIsBlockRangeInside(uint16_t wLd, uint64_t lLba, uint32_t dBlocks) {
    const uint64_t lBlocks = lGetLogicalDriveBlocks(wLd);
    return ToFlag(lLba < lBlocks && dBlocks <= lBlocks - lLba);
}

uint8_t bCheckLbaRange(KERNEL_ENTRY* psEntry, uint16_t wLd, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq) {
    uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint32_t dFactor = dBlockFactor(wLd);
    const uint64_t lAddress = lGetBe64(pbCdb + 2);
    const uint32_t dLength = dGetBe32(pbCdb + 10);
    const bool fOutOfRange = fIsBlockRangeInside(wLd, lAddress, dLength) != TRUE;
    uint8_t bResult = STATUS_OK;
    if (HasWrite16ReservedBits(pbCdb) || dLength > MAX_TRANSFER_UNITS / dFactor) {
        bResult = bRefuse(ASC_INVALID_FIELD_IN_CDB, pbKey, pbAsc, pbAscq);
    } else if (fOutOfRange) {
        bResult = bRefuse(ASC_LBA_OUT_OF_RANGE, pbKey, pbAsc, pbAscq);
    } else if (dLength == 0) {
        *pbKey = SENSE_NO_SENSE;
        *pbAsc = 0;
        *pbAscq = 0;
        bResult = 0;
    }
    if (bResult != STATUS_OK) {
        pbCdb[12] = 0;
        pbCdb[13] = 0;
    }
    return bResult;
}

uint8_t fIsCdbReservedFieldSet(const KERNEL_ENTRY* psEntry, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const RESERVED_FIELD_ROW* psRow = pbCdb == nullptr ? nullptr : psReservedFieldRow(pbCdb[0]);
    if (psRow == nullptr) return bRefuse(ASC_INVALID_OPCODE, pbKey, pbAsc, pbAscq);
    uint32_t dSum = 0;
    for (uint8_t b = 1; b < sizeof(psRow->abMask); b++) dSum += pbCdb[b] & psRow->abMask[b];
    if (psRow->bFlagByte != 0 && (pbCdb[psRow->bFlagByte] & psRow->bFlagMask) == 0) {
        for (uint8_t b = psRow->bFirstByte; b <= psRow->bLastByte; b++) dSum += pbCdb[b];
    }
    if (dSum != 0) return bRefuse(ASC_INVALID_FIELD_IN_CDB, pbKey, pbAsc, pbAscq);
    return STATUS_OK;
}

}  // namespace fw
