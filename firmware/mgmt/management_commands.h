// The management set commands: WRITE BUFFER in mode 1 whose CDB byte 2 is
// a command code, bytes 3-5 its small arguments, and whose parameter data
// is the 16-byte signature followed by the command's parameter block.
//
// One row per command code says what the command reads (the length of its
// block, which CDB argument names what) and which handler carries it out.
// The WRITE BUFFER check refuses before any data moves whatever a row does
// not admit; the handler runs once the data is in and the signature holds.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

// Answers of a handler, turned into status by FinishManagementCommand.
constexpr uint8_t MGMT_GOOD = 0xFF;
constexpr uint8_t MGMT_INVALID_CDB = 244;         // ILLEGAL REQUEST 0x24/0x00
constexpr uint8_t MGMT_NOT_READY = 16;            // NOT READY 0x04/0x00
constexpr uint8_t MGMT_INVALID_PARAMETERS = 0;    // ILLEGAL REQUEST 0x26/0x00
// No answer now: the operation the handler started answers when it ends.
constexpr uint8_t MGMT_ANSWER_LATER = 0xFE;

constexpr uint32_t MGMT_SIGNATURE_BYTES = 16;
// The most parameter data a management command carries (one page).
constexpr uint32_t MGMT_MAX_PARAMETER_BYTES = 4096;

// One management command whose data has arrived.
struct MGMT_REQUEST {
    KERNEL_ENTRY* psEntry;
    const uint8_t* pbCdb;
    const uint8_t* pbData;     // from the signature on
    uint32_t dDataLength;      // bytes received
    uint8_t bCode;
};
typedef uint8_t (*MGMT_HANDLER)(const MGMT_REQUEST& r);

// What the CDB arguments of a command name, checked before its data moves.
enum class MgmtArgument : uint8_t {
    None,
    ScratchArrayByte3,          // an array of the scratch image
    ScratchArrayByte4IfByte3,   // byte 3 non-zero: byte 4 an array
    ScratchLdBytes34,           // a logical drive of the scratch image
    ScratchLdBytes34OrAll,      // ... or 0xF1F1 for all
    ScratchMapBytes34,          // a SAN LUN mapping entry
    ScratchSpareByte3,          // a spare entry
    ScratchSpareByte3ArrayByte4,   // a spare entry and an array or 255
    LiveArrayByte3,             // an array of the running configuration
    LiveArrayByte4,
    LiveMemberBytes45,          // an array (byte 4) and one of its members (byte 5)
};

struct MGMT_COMMAND_ROW {
    uint8_t bCode;
    MGMT_HANDLER pfHandler;
    uint16_t wBlockBytes;       // parameter block bytes after the signature it reads
    MgmtArgument eArgument;
    uint8_t fEdit;              // works on the scratch image of an open edit
};

// The row of a code; null for a code without a handler.
const MGMT_COMMAND_ROW* psFindManagementCommand(uint8_t bCode);
// 255 when the CDB arguments name entries of their tables, else 244.
uint8_t bCheckManagementArguments(MgmtArgument eArgument, const uint8_t* pbCdb);

// Reading the arguments: CDB 16-bit fields are big-endian, those of the
// parameter block little-endian.
inline uint16_t wCdbWord(const MGMT_REQUEST& r, uint8_t bByte) {
    return static_cast<uint16_t>((r.pbCdb[bByte] << 8) | r.pbCdb[bByte + 1]);
}
inline uint16_t wDataWord(const MGMT_REQUEST& r, uint32_t dByte) {
    return static_cast<uint16_t>(r.pbData[dByte] | (r.pbData[dByte + 1] << 8));
}
inline uint32_t dDataLong(const MGMT_REQUEST& r, uint32_t dByte) {
    return r.pbData[dByte] | (uint32_t(r.pbData[dByte + 1]) << 8) | (uint32_t(r.pbData[dByte + 2]) << 16) |
           (uint32_t(r.pbData[dByte + 3]) << 24);
}

// ---- the handlers, by command code ----
// Configuration edits of the scratch image and their commit.
uint8_t MgmtNoOperation(const MGMT_REQUEST& r);                 // 0
uint8_t MgmtRetiredCommand(const MGMT_REQUEST& r);              // 121, 122
uint8_t MgmtSaveConfiguration(const MGMT_REQUEST& r);           // 128
uint8_t MgmtClearConfiguration(const MGMT_REQUEST& r);          // 129
uint8_t MgmtApplyConfiguration(const MGMT_REQUEST& r);          // 130
uint8_t MgmtSetPerformanceProfile(const MGMT_REQUEST& r);       // 132
uint8_t MgmtSetControllerOption(const MGMT_REQUEST& r);         // 133
uint8_t MgmtCreateArray(const MGMT_REQUEST& r);                 // 144
uint8_t MgmtCreateLogicalDrive(const MGMT_REQUEST& r);          // 145
uint8_t MgmtAddSanLunMapping(const MGMT_REQUEST& r);            // 146
uint8_t MgmtAddSpareDrive(const MGMT_REQUEST& r);               // 147
uint8_t MgmtSetImageByte(const MGMT_REQUEST& r);                // 151, 153-155, 183-186, 190
uint8_t MgmtSetHostPortOptions(const MGMT_REQUEST& r);          // 152
uint8_t MgmtSetArrayOptions(const MGMT_REQUEST& r);             // 156
uint8_t MgmtSetLogicalDriveMode(const MGMT_REQUEST& r);         // 157
uint8_t MgmtChangeSanLunMapping(const MGMT_REQUEST& r);         // 158
uint8_t MgmtAssignSpare(const MGMT_REQUEST& r);                 // 159
uint8_t MgmtSetControllerRecord(const MGMT_REQUEST& r);         // 161
uint8_t MgmtSetControllerWwn(const MGMT_REQUEST& r);            // 162
uint8_t MgmtSetControllerText(const MGMT_REQUEST& r);           // 163
uint8_t MgmtSetImageWords(const MGMT_REQUEST& r);               // 164
uint8_t MgmtExpandLogicalDrive(const MGMT_REQUEST& r);          // 165
uint8_t MgmtStartArrayInit(const MGMT_REQUEST& r);              // 166
uint8_t MgmtSetArrayName(const MGMT_REQUEST& r);                // 167
uint8_t MgmtSetLogicalDriveName(const MGMT_REQUEST& r);         // 168
uint8_t MgmtSetLogicalDriveLun(const MGMT_REQUEST& r);          // 169
uint8_t MgmtSetControllerLun(const MGMT_REQUEST& r);            // 170
uint8_t MgmtExpandArray(const MGMT_REQUEST& r);                 // 171
uint8_t MgmtCancelArrayInit(const MGMT_REQUEST& r);             // 172
uint8_t MgmtSetPowerManagement(const MGMT_REQUEST& r);          // 173
uint8_t MgmtDeleteArray(const MGMT_REQUEST& r);                 // 176
uint8_t MgmtDeleteLogicalDrive(const MGMT_REQUEST& r);          // 177
uint8_t MgmtDeleteSanLunMapping(const MGMT_REQUEST& r);         // 178
uint8_t MgmtDeleteSpare(const MGMT_REQUEST& r);                 // 179
uint8_t MgmtSetCountedOption(const MGMT_REQUEST& r);            // 187
uint8_t MgmtSetArrayFlag(const MGMT_REQUEST& r);                // 191, 192
// The controller itself.
uint8_t MgmtSetBackgroundHold(const MGMT_REQUEST& r);           // 188
uint8_t MgmtReleaseControllerHold(const MGMT_REQUEST& r);       // 189
uint8_t MgmtClearEventLog(const MGMT_REQUEST& r);               // 193
uint8_t MgmtSendEnclosureCommand(const MGMT_REQUEST& r);        // 194
uint8_t MgmtResetController(const MGMT_REQUEST& r);             // 195
uint8_t MgmtShutdownController(const MGMT_REQUEST& r);          // 196
uint8_t MgmtSetDateTime(const MGMT_REQUEST& r);                 // 197
uint8_t MgmtClearPerformanceStatistics(const MGMT_REQUEST& r);  // 203, 204
uint8_t MgmtDisableWriteBackCaching(const MGMT_REQUEST& r);     // 210
uint8_t MgmtStartConsoleCapture(const MGMT_REQUEST& r);         // 211
uint8_t MgmtConsoleInput(const MGMT_REQUEST& r);                // 212
uint8_t MgmtControllerSelfCommand(const MGMT_REQUEST& r);       // 214
uint8_t MgmtSetAudibleAlarm(const MGMT_REQUEST& r);             // 215
uint8_t MgmtRequestAudibleAlarm(const MGMT_REQUEST& r);         // 216, 217
// Drives and the background jobs.
uint8_t MgmtStartDriveFirmwareDownload(const MGMT_REQUEST& r);  // 198
uint8_t MgmtStartDrivePhase(const MGMT_REQUEST& r);             // 199
uint8_t MgmtStartMemberDriveCommand(const MGMT_REQUEST& r);     // 200
uint8_t MgmtReplaceMemberDrive(const MGMT_REQUEST& r);          // 202
uint8_t MgmtCancelRebuild(const MGMT_REQUEST& r);               // 205
uint8_t MgmtStartParityCheck(const MGMT_REQUEST& r);            // 206
uint8_t MgmtStopParityCheck(const MGMT_REQUEST& r);             // 207
uint8_t MgmtBypassDrive(const MGMT_REQUEST& r);                 // 208
uint8_t MgmtEnableDrive(const MGMT_REQUEST& r);                 // 209
uint8_t MgmtSetPowerManagementState(const MGMT_REQUEST& r);     // 219
uint8_t MgmtStartStopDrive(const MGMT_REQUEST& r);              // 220
uint8_t MgmtSetArrayPowerState(const MGMT_REQUEST& r);          // 221
uint8_t MgmtPowerManagementQuery(const MGMT_REQUEST& r);        // 222
uint8_t MgmtSpinUpArray(const MGMT_REQUEST& r);                 // 223
uint8_t MgmtStartZeroWrite(const MGMT_REQUEST& r);              // 224

// A forwarded command: sent to the master with in-band message 123 and the
// sub-operation; parked (state 102) for the master's answer, else N.
uint8_t bForwardToMaster(const MGMT_REQUEST& r, uint8_t bSubOperation);

// The option of code 187 as the image holds it (bytes 220 and 221).
uint8_t bGetCountedOption();

}  // namespace fw
