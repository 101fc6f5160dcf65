// SCSI on the wire: operation codes, status bytes, sense keys and codes, and
// the byte layouts of CDBs, fixed-format sense and INQUIRY data.
//
// One home for what the target engine, the drive-side path and the device
// models all speak.  SCSI fields are big-endian whatever the processor is, so
// multi-byte fields are read and written through the helpers below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

// ---- operation codes ----
constexpr uint8_t SCSI_TEST_UNIT_READY = 0x00;
constexpr uint8_t SCSI_REZERO_UNIT = 0x01;
constexpr uint8_t SCSI_REQUEST_SENSE = 0x03;
constexpr uint8_t SCSI_FORMAT_UNIT = 0x04;
constexpr uint8_t SCSI_REASSIGN_BLOCKS = 0x07;
constexpr uint8_t SCSI_READ6 = 0x08;
constexpr uint8_t SCSI_WRITE6 = 0x0A;
constexpr uint8_t SCSI_SEEK6 = 0x0B;
constexpr uint8_t SCSI_INQUIRY = 0x12;
constexpr uint8_t SCSI_VERIFY6 = 0x13;
constexpr uint8_t SCSI_MODE_SELECT6 = 0x15;
constexpr uint8_t SCSI_RESERVE6 = 0x16;
constexpr uint8_t SCSI_RELEASE6 = 0x17;
constexpr uint8_t SCSI_MODE_SENSE6 = 0x1A;
constexpr uint8_t SCSI_START_STOP_UNIT = 0x1B;
constexpr uint8_t SCSI_RECEIVE_DIAGNOSTIC = 0x1C;
constexpr uint8_t SCSI_SEND_DIAGNOSTIC = 0x1D;
constexpr uint8_t SCSI_PREVENT_ALLOW_REMOVAL = 0x1E;
constexpr uint8_t SCSI_READ_CAPACITY10 = 0x25;
constexpr uint8_t SCSI_READ10 = 0x28;
constexpr uint8_t SCSI_WRITE10 = 0x2A;
constexpr uint8_t SCSI_SEEK10 = 0x2B;
constexpr uint8_t SCSI_WRITE_AND_VERIFY10 = 0x2E;
constexpr uint8_t SCSI_VERIFY10 = 0x2F;
constexpr uint8_t SCSI_SYNCHRONIZE_CACHE10 = 0x35;
constexpr uint8_t SCSI_READ_DEFECT_DATA10 = 0x37;
constexpr uint8_t SCSI_WRITE_BUFFER = 0x3B;
constexpr uint8_t SCSI_READ_BUFFER = 0x3C;
constexpr uint8_t SCSI_READ_LONG10 = 0x3E;
constexpr uint8_t SCSI_WRITE_LONG10 = 0x3F;
constexpr uint8_t SCSI_WRITE_SAME10 = 0x41;
constexpr uint8_t SCSI_LOG_SELECT = 0x4C;
constexpr uint8_t SCSI_LOG_SENSE = 0x4D;
constexpr uint8_t SCSI_MODE_SELECT10 = 0x55;
constexpr uint8_t SCSI_RESERVE10 = 0x56;
constexpr uint8_t SCSI_RELEASE10 = 0x57;
constexpr uint8_t SCSI_MODE_SENSE10 = 0x5A;
constexpr uint8_t SCSI_PERSISTENT_RESERVE_IN = 0x5E;
constexpr uint8_t SCSI_PERSISTENT_RESERVE_OUT = 0x5F;
constexpr uint8_t SCSI_ATA_PASS_THROUGH16 = 0x85;
constexpr uint8_t SCSI_READ16 = 0x88;
constexpr uint8_t SCSI_WRITE16 = 0x8A;
constexpr uint8_t SCSI_WRITE_AND_VERIFY16 = 0x8E;
constexpr uint8_t SCSI_SEEK16_FORM = 0x8B;   // the 16-byte form SEEK(6) and SEEK(10) are converted to
constexpr uint8_t SCSI_VERIFY16 = 0x8F;
constexpr uint8_t SCSI_SYNCHRONIZE_CACHE16 = 0x91;
constexpr uint8_t SCSI_WRITE_SAME16 = 0x93;
constexpr uint8_t SCSI_SERVICE_ACTION_IN16 = 0x9E;
constexpr uint8_t SCSI_REPORT_LUNS = 0xA0;
constexpr uint8_t SCSI_ATA_PASS_THROUGH12 = 0xA1;
constexpr uint8_t SCSI_MAINTENANCE_IN = 0xA3;
constexpr uint8_t SCSI_MAINTENANCE_OUT = 0xA4;
constexpr uint8_t SCSI_READ12 = 0xA8;
constexpr uint8_t SCSI_WRITE12 = 0xAA;
constexpr uint8_t SCSI_VERIFY12 = 0xAF;
constexpr uint8_t SCSI_READ_DEFECT_DATA12 = 0xB7;

// Service actions.
constexpr uint8_t SCSI_SA_READ_CAPACITY16 = 0x10;   // of SERVICE ACTION IN(16)

// ---- status bytes ----
constexpr uint8_t SCSI_STATUS_GOOD = 0x00;
constexpr uint8_t SCSI_STATUS_CHECK_CONDITION = 0x02;
constexpr uint8_t SCSI_STATUS_CONDITION_MET = 0x04;
constexpr uint8_t SCSI_STATUS_BUSY = 0x08;
constexpr uint8_t SCSI_STATUS_RESERVATION_CONFLICT = 0x18;
constexpr uint8_t SCSI_STATUS_TASK_SET_FULL = 0x28;
constexpr uint8_t SCSI_STATUS_ACA_ACTIVE = 0x30;
constexpr uint8_t SCSI_STATUS_TASK_ABORTED = 0x40;

// ---- sense keys ----
constexpr uint8_t SENSE_NO_SENSE = 0x0;
constexpr uint8_t SENSE_RECOVERED_ERROR = 0x1;
constexpr uint8_t SENSE_NOT_READY = 0x2;
constexpr uint8_t SENSE_MEDIUM_ERROR = 0x3;
constexpr uint8_t SENSE_HARDWARE_ERROR = 0x4;
constexpr uint8_t SENSE_ILLEGAL_REQUEST = 0x5;
constexpr uint8_t SENSE_UNIT_ATTENTION = 0x6;
constexpr uint8_t SENSE_DATA_PROTECT = 0x7;
constexpr uint8_t SENSE_BLANK_CHECK = 0x8;
constexpr uint8_t SENSE_VENDOR_SPECIFIC = 0x9;
constexpr uint8_t SENSE_COPY_ABORTED = 0xA;
constexpr uint8_t SENSE_ABORTED_COMMAND = 0xB;
constexpr uint8_t SENSE_VOLUME_OVERFLOW = 0xD;
constexpr uint8_t SENSE_MISCOMPARE = 0xE;

// ---- additional sense codes (ASC) used by this firmware and its drives ----
constexpr uint8_t ASC_NO_ADDITIONAL_SENSE = 0x00;
constexpr uint8_t ASC_NOT_READY = 0x04;             // ASCQ 0x01 becoming ready, 0x02 start unit needed, 0x03 manual
// With ASC_NOT_READY: the drive has no room for the blocks a write would
// newly fill (a thin medium out of space) and holds the write off; what it
// held before is still there, and the write may be sent again later.
constexpr uint8_t ASCQ_SPACE_ALLOCATION_IN_PROGRESS = 0x14;
constexpr uint8_t ASC_WRITE_ERROR = 0x0C;
constexpr uint8_t ASC_UNRECOVERED_READ_ERROR = 0x11;
constexpr uint8_t ASC_PARAMETER_LIST_LENGTH = 0x1A;
constexpr uint8_t ASC_INVALID_OPCODE = 0x20;
constexpr uint8_t ASC_LBA_OUT_OF_RANGE = 0x21;
constexpr uint8_t ASC_INVALID_FIELD_IN_CDB = 0x24;
constexpr uint8_t ASC_LUN_NOT_SUPPORTED = 0x25;
constexpr uint8_t ASC_INVALID_FIELD_IN_PARAMETERS = 0x26;
constexpr uint8_t ASC_WRITE_PROTECTED = 0x27;
constexpr uint8_t ASC_NOT_READY_TO_READY = 0x28;   // medium may have changed
constexpr uint8_t ASC_POWER_ON_RESET = 0x29;        // ASCQ 0 power on, reset or bus device reset
constexpr uint8_t ASC_PARAMETERS_CHANGED = 0x2A;
constexpr uint8_t ASC_COMMAND_SEQUENCE_ERROR = 0x2C;
constexpr uint8_t ASC_COMMANDS_CLEARED = 0x2F;
constexpr uint8_t ASC_SAVING_NOT_SUPPORTED = 0x39;
constexpr uint8_t ASC_MEDIUM_NOT_PRESENT = 0x3A;
constexpr uint8_t ASC_SELF_TEST_FAILED = 0x3C;   // with HARDWARE ERROR: a drive's own test failed
constexpr uint8_t ASC_TARGET_CONDITIONS_CHANGED = 0x3F;   // ASCQ 0x0E reported LUNs data changed
constexpr uint8_t ASC_INTERNAL_TARGET_FAILURE = 0x44;
constexpr uint8_t ASC_COMMAND_PHASE_ERROR = 0x4A;
constexpr uint8_t ASC_DATA_PHASE_ERROR = 0x4B;
constexpr uint8_t ASC_OVERLAPPED_COMMANDS = 0x4E;
constexpr uint8_t ASC_INITIATOR_DETECTED_ERROR = 0x48;
constexpr uint8_t ASC_INVALID_MESSAGE = 0x49;
constexpr uint8_t ASC_LOGICAL_UNIT_FAILURE = 0x3E;
constexpr uint8_t ASC_NO_DEFECT_SPARE = 0x32;
constexpr uint8_t ASC_SCSI_PARITY_ERROR = 0x47;     // also a CHECK CONDITION that came without sense
constexpr uint8_t ASC_MEDIUM_FORMAT_CORRUPTED = 0x31;
constexpr uint8_t ASC_MISCOMPARE_DURING_VERIFY = 0x1D;

// ---- big-endian field access ----
inline uint16_t wGetBe16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t dGetBe24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
inline uint32_t dGetBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint64_t lGetBe64(const uint8_t* p) { return (uint64_t(dGetBe32(p)) << 32) | dGetBe32(p + 4); }
inline void PutBe16(uint8_t* p, uint16_t w) {
    p[0] = uint8_t(w >> 8);
    p[1] = uint8_t(w);
}
inline void PutBe24(uint8_t* p, uint32_t d) {
    p[0] = uint8_t(d >> 16);
    p[1] = uint8_t(d >> 8);
    p[2] = uint8_t(d);
}
inline void PutBe32(uint8_t* p, uint32_t d) {
    p[0] = uint8_t(d >> 24);
    p[1] = uint8_t(d >> 16);
    p[2] = uint8_t(d >> 8);
    p[3] = uint8_t(d);
}
inline void PutBe64(uint8_t* p, uint64_t l) {
    PutBe32(p, uint32_t(l >> 32));
    PutBe32(p + 4, uint32_t(l));
}

// ---- CDBs ----
// The group code (top three bits of the operation code) gives the CDB length.
inline uint8_t bCdbLength(uint8_t bOpcode) {
    switch (bOpcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 0;   // groups 3, 6 and 7: variable or vendor-defined
    }
}

// The block address and count of a READ, WRITE or VERIFY of any length.  A
// READ(6)/WRITE(6) count of 0 means 256 blocks.
struct SCSI_BLOCK_RANGE {
    uint64_t lLba;
    uint32_t dBlocks;
};
inline SCSI_BLOCK_RANGE sDecodeBlockRange(const uint8_t* pbCdb) {
    switch (bCdbLength(pbCdb[0])) {
    case 6: {
        const uint32_t dCount = pbCdb[4];
        const bool fTransfer = pbCdb[0] == SCSI_READ6 || pbCdb[0] == SCSI_WRITE6;
        return {dGetBe24(pbCdb + 1) & 0x1FFFFF, dCount == 0 && fTransfer ? 256u : dCount};
    }
    case 10: return {dGetBe32(pbCdb + 2), wGetBe16(pbCdb + 7)};
    case 12: return {dGetBe32(pbCdb + 2), dGetBe32(pbCdb + 6)};
    case 16: return {lGetBe64(pbCdb + 2), dGetBe32(pbCdb + 10)};
    default: return {0, 0};
    }
}

// ---- fixed-format sense data ----
constexpr uint8_t SENSE_RESPONSE_CURRENT = 0x70;
constexpr uint8_t SENSE_RESPONSE_DEFERRED = 0x71;
constexpr uint8_t SENSE_VALID_BIT = 0x80;       // byte 0: the information field is valid
constexpr uint8_t SENSE_FIXED_LENGTH = 18;
constexpr uint8_t SENSE_ADDITIONAL_LENGTH = 10; // bytes 8-17

#pragma pack(push, 1)
struct SCSI_FIXED_SENSE {
    uint8_t bResponseCode;        // 0x70 current, 0x71 deferred; bit 7 information valid
    uint8_t bObsolete;
    uint8_t bSenseKey;            // low nibble; bit 5 ILI, bit 6 EOM, bit 7 filemark
    uint8_t abInformation[4];
    uint8_t bAdditionalLength;    // 10 for 18-byte sense
    uint8_t abCommandSpecific[4];
    uint8_t bAsc;
    uint8_t bAscq;
    uint8_t bFruCode;
    uint8_t abSenseKeySpecific[3];   // byte 15 bit 7: SKSV
};
#pragma pack(pop)
static_assert(sizeof(SCSI_FIXED_SENSE) == SENSE_FIXED_LENGTH);
static_assert(offsetof(SCSI_FIXED_SENSE, bAsc) == 12);
static_assert(offsetof(SCSI_FIXED_SENSE, abSenseKeySpecific) == 15);

inline void BuildFixedSense(uint8_t* pbSense, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    for (uint8_t i = 0; i < SENSE_FIXED_LENGTH; ++i) pbSense[i] = 0;
    pbSense[0] = SENSE_RESPONSE_CURRENT;
    pbSense[2] = uint8_t(bKey & 0x0F);
    pbSense[7] = SENSE_ADDITIONAL_LENGTH;
    pbSense[12] = bAsc;
    pbSense[13] = bAscq;
}

// ---- INQUIRY ----
constexpr uint8_t INQUIRY_STANDARD_LENGTH = 36;
constexpr uint8_t INQUIRY_EVPD = 0x01;          // byte 1 of the CDB
constexpr uint8_t PERIPHERAL_DIRECT_ACCESS = 0x00;
constexpr uint8_t PERIPHERAL_ENCLOSURE = 0x0D;
constexpr uint8_t PERIPHERAL_STORAGE_ARRAY = 0x0C;
constexpr uint8_t PERIPHERAL_NO_DEVICE = 0x7F;  // qualifier 3, type 0x1F: no LUN here
constexpr uint8_t PERIPHERAL_NOT_CONNECTED = 0x20;   // qualifier 1

constexpr uint8_t VPD_SUPPORTED_PAGES = 0x00;
constexpr uint8_t VPD_UNIT_SERIAL = 0x80;
constexpr uint8_t VPD_IMPLEMENTED_OPERATING_DEFINITIONS = 0x81;
constexpr uint8_t VPD_DEVICE_IDENTIFICATION = 0x83;

#pragma pack(push, 1)
struct SCSI_INQUIRY_DATA {
    uint8_t bPeripheral;          // qualifier (bits 5-7) and device type (bits 0-4)
    uint8_t bRemovable;           // bit 7 RMB
    uint8_t bVersion;
    uint8_t bResponseFormat;      // bits 0-3 response data format, bit 4 HISUP, bit 5 NORMACA
    uint8_t bAdditionalLength;    // bytes after this one
    uint8_t bFlags5;              // SCCS, ACC, TPGS, 3PC, PROTECT
    uint8_t bFlags6;              // ENCSERV, MULTIP, ADDR16
    uint8_t bFlags7;              // WBUS16, SYNC, CMDQUE
    char acVendor[8];
    char acProduct[16];
    char acRevision[4];
};
#pragma pack(pop)
static_assert(sizeof(SCSI_INQUIRY_DATA) == INQUIRY_STANDARD_LENGTH);
static_assert(offsetof(SCSI_INQUIRY_DATA, acVendor) == 8);
static_assert(offsetof(SCSI_INQUIRY_DATA, acProduct) == 16);
static_assert(offsetof(SCSI_INQUIRY_DATA, acRevision) == 32);

// ---- READ CAPACITY ----
constexpr uint8_t READ_CAPACITY10_LENGTH = 8;    // last LBA (0xFFFFFFFF: use the 16-byte form), block length
constexpr uint8_t READ_CAPACITY16_LENGTH = 32;   // last LBA (64-bit), block length, protection, exponent

// ---- mode parameter headers ----
constexpr uint8_t MODE_HEADER6_LENGTH = 4;
constexpr uint8_t MODE_HEADER10_LENGTH = 8;
constexpr uint8_t MODE_BLOCK_DESCRIPTOR_LENGTH = 8;
constexpr uint8_t MODE_PAGE_CODE_MASK = 0x3F;
constexpr uint8_t MODE_PAGE_PS = 0x80;           // parameters saveable
constexpr uint8_t MODE_PC_CURRENT = 0;           // page control field (CDB byte 2 bits 6-7)
constexpr uint8_t MODE_PC_CHANGEABLE = 1;
constexpr uint8_t MODE_PC_DEFAULT = 2;
constexpr uint8_t MODE_PC_SAVED = 3;
constexpr uint8_t MODE_PAGE_ALL = 0x3F;

// ---- task management functions (as FCP carries them in the command's flags) ----
constexpr uint8_t TMF_ABORT_TASK_SET = 0x02;
constexpr uint8_t TMF_CLEAR_TASK_SET = 0x04;
constexpr uint8_t TMF_LUN_RESET = 0x10;
constexpr uint8_t TMF_TARGET_RESET = 0x20;
constexpr uint8_t TMF_CLEAR_ACA = 0x40;

// ---- task attributes ----
constexpr uint8_t TASK_ATTR_SIMPLE = 0;
constexpr uint8_t TASK_ATTR_HEAD_OF_QUEUE = 1;
constexpr uint8_t TASK_ATTR_ORDERED = 2;
constexpr uint8_t TASK_ATTR_ACA = 4;
constexpr uint8_t TASK_ATTR_UNTAGGED = 5;

}  // namespace fw
