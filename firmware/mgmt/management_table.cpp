// The management set commands by code: what each reads and who carries it
// out.
#include <cstddef>

#include "config/array_operations.h"
#include "config/config_image.h"
#include "config/rank_table.h"
#include "executive/date_time.h"
#include "executive/types.h"
#include "mgmt/management_commands.h"

namespace fw {

namespace {

using A = MgmtArgument;
constexpr uint8_t T = TRUE;
constexpr uint8_t F = FALSE;
constexpr uint16_t LD_ALL = 0xF1F1;
constexpr uint8_t ANY_ARRAY = 255;

constexpr uint16_t CREATE_LD_BLOCK = 8 + 32;       // units, extent, flags, block size, name
constexpr uint16_t SPARE_BLOCK = 9;                // WWN, dedicated array
constexpr uint16_t NAME_BLOCK = 32;
constexpr uint16_t CONTROLLER_RECORD_BLOCK = 9;
constexpr uint16_t CONTROLLER_TEXT_BLOCK = 64;
constexpr uint16_t WORDS_BLOCK = 16;
constexpr uint16_t POWER_BLOCK = 7;
constexpr uint16_t DOWNLOAD_BLOCK = 12;            // selection, three reserved bytes, WWN
constexpr uint16_t WWN_BLOCK = 8;
constexpr uint16_t REPLACE_BLOCK = 10;             // array, member, WWN
constexpr uint16_t ZERO_WRITE_BLOCK = 8;           // head and tail blocks

constexpr MGMT_COMMAND_ROW s_asRows[] = {
    {0, MgmtNoOperation, 0, A::None, F},
    {121, MgmtRetiredCommand, 0, A::None, F},
    {122, MgmtRetiredCommand, 0, A::None, F},
    {128, MgmtSaveConfiguration, 0, A::None, F},
    {129, MgmtClearConfiguration, 0, A::None, T},
    {130, MgmtApplyConfiguration, 0, A::None, T},
    {132, MgmtSetPerformanceProfile, 2, A::None, T},
    {133, MgmtSetControllerOption, 0, A::None, T},
    {144, MgmtCreateArray, sizeof(CONFIG_RANK_RECORD), A::None, T},
    {145, MgmtCreateLogicalDrive, CREATE_LD_BLOCK, A::None, T},
    {146, MgmtAddSanLunMapping, sizeof(SAN_LUN_MAP_ENTRY), A::None, T},
    {147, MgmtAddSpareDrive, SPARE_BLOCK, A::None, T},
    {151, MgmtSetImageByte, 0, A::None, T},
    {152, MgmtSetHostPortOptions, 0, A::None, T},
    {153, MgmtSetImageByte, 0, A::None, T},
    {154, MgmtSetImageByte, 0, A::None, T},
    {155, MgmtSetImageByte, 0, A::None, T},
    {156, MgmtSetArrayOptions, 0, A::ScratchArrayByte3, T},
    {157, MgmtSetLogicalDriveMode, 0, A::ScratchLdBytes34, T},
    {158, MgmtChangeSanLunMapping, sizeof(SAN_LUN_MAP_ENTRY), A::ScratchMapBytes34, T},
    {159, MgmtAssignSpare, 0, A::ScratchSpareByte3ArrayByte4, T},
    {161, MgmtSetControllerRecord, CONTROLLER_RECORD_BLOCK, A::None, T},
    {162, MgmtSetControllerWwn, 0, A::None, T},
    {163, MgmtSetControllerText, CONTROLLER_TEXT_BLOCK, A::None, T},
    {164, MgmtSetImageWords, WORDS_BLOCK, A::None, T},
    {165, MgmtExpandLogicalDrive, 4, A::ScratchLdBytes34, T},
    {166, MgmtStartArrayInit, 0, A::ScratchArrayByte3, T},
    {167, MgmtSetArrayName, NAME_BLOCK, A::ScratchArrayByte3, T},
    {168, MgmtSetLogicalDriveName, NAME_BLOCK, A::ScratchLdBytes34, T},
    {169, MgmtSetLogicalDriveLun, 4, A::None, T},
    {170, MgmtSetControllerLun, 0, A::None, T},
    {171, MgmtExpandArray, sizeof(EXPANSION_REQUEST), A::None, T},
    {172, MgmtCancelArrayInit, 0, A::ScratchArrayByte3, T},
    {173, MgmtSetPowerManagement, POWER_BLOCK, A::ScratchArrayByte4IfByte3, T},
    {176, MgmtDeleteArray, 0, A::ScratchArrayByte3, T},
    {177, MgmtDeleteLogicalDrive, 0, A::ScratchLdBytes34OrAll, T},
    {178, MgmtDeleteSanLunMapping, 0, A::ScratchMapBytes34, T},
    {179, MgmtDeleteSpare, 0, A::ScratchSpareByte3, T},
    {183, MgmtSetImageByte, 0, A::None, T},
    {184, MgmtSetImageByte, 0, A::None, T},
    {185, MgmtSetImageByte, 0, A::None, T},
    {186, MgmtSetImageByte, 0, A::None, T},
    {187, MgmtSetCountedOption, 0, A::None, T},
    {188, MgmtSetBackgroundHold, 0, A::None, F},
    {189, MgmtReleaseControllerHold, 0, A::None, F},
    {190, MgmtSetImageByte, 0, A::None, T},
    {191, MgmtSetArrayFlag, 0, A::ScratchArrayByte3, T},
    {192, MgmtSetArrayFlag, 0, A::ScratchArrayByte3, T},
    {193, MgmtClearEventLog, 0, A::None, F},
    {194, MgmtSendEnclosureCommand, 0, A::None, F},
    {195, MgmtResetController, 0, A::None, F},
    {196, MgmtShutdownController, 0, A::None, F},
    {197, MgmtSetDateTime, sizeof(DATE_TIME), A::None, F},
    {198, MgmtStartDriveFirmwareDownload, DOWNLOAD_BLOCK, A::None, F},
    {199, MgmtStartDrivePhase, WWN_BLOCK, A::None, F},
    {200, MgmtStartMemberDriveCommand, 0, A::LiveMemberBytes45, F},
    // 201 does nothing: it is answered as code 0 is.
    {201, MgmtNoOperation, 0, A::None, F},
    {202, MgmtReplaceMemberDrive, REPLACE_BLOCK, A::None, F},
    {203, MgmtClearPerformanceStatistics, 0, A::None, F},
    {204, MgmtClearPerformanceStatistics, 0, A::None, F},
    {205, MgmtCancelRebuild, 0, A::None, F},
    {206, MgmtStartParityCheck, 0, A::None, F},
    {207, MgmtStopParityCheck, 0, A::None, F},
    {208, MgmtBypassDrive, 0, A::None, F},
    {209, MgmtEnableDrive, 0, A::None, F},
    {210, MgmtDisableWriteBackCaching, 0, A::None, F},
    {211, MgmtStartConsoleCapture, 0, A::None, F},
    {212, MgmtConsoleInput, 0, A::None, F},
    {214, MgmtControllerSelfCommand, 0, A::None, F},
    {215, MgmtSetAudibleAlarm, 0, A::None, F},
    {216, MgmtRequestAudibleAlarm, 0, A::None, F},
    {217, MgmtRequestAudibleAlarm, 0, A::None, F},
    {219, MgmtSetPowerManagementState, 0, A::None, F},
    {220, MgmtStartStopDrive, 0, A::None, F},
    {221, MgmtSetArrayPowerState, 0, A::LiveArrayByte4, F},
    {222, MgmtPowerManagementQuery, 0, A::None, F},
    {223, MgmtSpinUpArray, 0, A::LiveArrayByte3, F},
    {224, MgmtStartZeroWrite, ZERO_WRITE_BLOCK, A::None, F},
};

bool Below(uint32_t dValue, uint32_t dCount) { return dValue < dCount; }

}  // namespace

const MGMT_COMMAND_ROW* psFindManagementCommand(uint8_t bCode) {
    for (const MGMT_COMMAND_ROW& s : s_asRows) {
        if (s.bCode == bCode) return &s;
    }
    return nullptr;
}

uint8_t bCheckManagementArguments(MgmtArgument eArgument, const uint8_t* pbCdb) {
    const CONFIG_HEADER& h = pGetScratchConfigImage()->sHeader;
    const uint16_t wBytes34 = static_cast<uint16_t>((pbCdb[3] << 8) | pbCdb[4]);
    bool fOk = true;
    switch (eArgument) {
    case A::None: break;
    case A::ScratchArrayByte3: fOk = Below(pbCdb[3], h.wRankCount); break;
    case A::ScratchArrayByte4IfByte3: fOk = pbCdb[3] == 0 || Below(pbCdb[4], h.wRankCount); break;
    case A::ScratchLdBytes34: fOk = Below(wBytes34, h.wLdCount); break;
    case A::ScratchLdBytes34OrAll: fOk = wBytes34 == LD_ALL || Below(wBytes34, h.wLdCount); break;
    case A::ScratchMapBytes34: fOk = Below(wBytes34, h.wSanMapCount); break;
    case A::ScratchSpareByte3: fOk = Below(pbCdb[3], h.wSpareCount); break;
    case A::ScratchSpareByte3ArrayByte4:
        fOk = Below(pbCdb[3], h.wSpareCount) && (pbCdb[4] == ANY_ARRAY || Below(pbCdb[4], h.wRankCount));
        break;
    case A::LiveArrayByte3: fOk = Below(pbCdb[3], bGetRankCount()); break;
    case A::LiveArrayByte4: fOk = Below(pbCdb[4], bGetRankCount()); break;
    case A::LiveMemberBytes45:
        fOk = Below(pbCdb[4], bGetRankCount()) && Below(pbCdb[5], bGetRankDriveCount(pbCdb[4]));
        break;
    }
    return fOk ? STATUS_OK : MGMT_INVALID_CDB;
}

}  // namespace fw
