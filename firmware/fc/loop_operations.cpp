#include "fc/loop_operations.h"

#include <cstring>

#include "config/drive_loop_tables.h"
#include "config/rank_table.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "fc/drive_loop_watch.h"
#include "fc/loop_health.h"
#include "fc/loop_maps.h"
#include "fc/ql_chip.h"
#include "fc/ql_mailbox_commands.h"
#include "fc/ql_target_entries.h"
#include "hw/hw.h"
#include "hw/isp_fc.h"
#include "partner/partner_link.h"

namespace fw {

namespace {

constexpr uint16_t MBC_SET_DEVICE_QUEUE = 0x39;
constexpr uint16_t MBC_BYPASS_OFF = 0x40;
constexpr uint16_t MBC_BYPASS_ON = 0x41;
constexpr uint16_t MBC_PARTNER_TASK = 0x65;
constexpr uint16_t MBC_MAILBOX_14 = 0x14;
constexpr uint16_t MBC_MAILBOX_18 = 0x18;
constexpr uint16_t MBC_MAILBOX_70 = 0x70;
constexpr uint16_t MBC_MAILBOX_72 = 0x72;
constexpr uint8_t BYPASS_ALL_LOOP_ID = 0xFF;
constexpr uint32_t DUMP_EXTENDED_FROM = 0x10000;
constexpr uint32_t SWEEP_FLAG_WAIT_MS = 2000;
constexpr uint32_t LOOP_READY_CHECKS = 5;
constexpr uint32_t LOOP_READY_INTERVAL_MS = 1000;
// A marker is offered this often before the sweep gives up on the chip.
constexpr uint32_t MARKER_ATTEMPTS = 1000;
constexpr uint16_t QUEUE_DEPTH = 128;
constexpr uint16_t QUEUE_BOTH_PATHS = 15;
constexpr uint16_t QUEUE_ONE_PATH = 30;
constexpr uint16_t QUEUE_LINE_POWER_BOTH = 4;
constexpr uint16_t QUEUE_LINE_POWER_ONE = 8;
constexpr uint8_t LINE_POWER_DRIVE_ALPA = 239;
constexpr uint16_t PARTNER_QUEUE_DEPTH = 1024;
constexpr uint16_t PARTNER_QUEUE_VALUE = 32;

uint16_t wHigh(uint32_t d) { return static_cast<uint16_t>(d >> 16); }
uint16_t wLow(uint32_t d) { return static_cast<uint16_t>(d); }

// One command naming a device by its AL_PA: mailbox 1 its loop ID, 2 zero.
uint8_t bDeviceCommand(uint8_t bChip, uint16_t wOpcode, uint8_t bAlpa) {
    const uint8_t bLoopId = bAlpaToLoopId(bAlpa);
    if (bLoopId == NO_LOOP_ID) return 0;
    QL_MAILBOX_COMMAND s = sQLCommand(wOpcode);
    SetQLMailbox(&s, 1, bLoopId);
    SetQLMailbox(&s, 2, 0);
    return bQLMailboxCommand(bChip, &s);
}

uint8_t bSimpleCommand(uint8_t bChip, uint16_t wOpcode) {
    QL_MAILBOX_COMMAND s = sQLCommand(wOpcode);
    return bQLMailboxCommand(bChip, &s);
}

uint8_t bPartnerAlpaOfPath(uint8_t bPort) { return bPort == 3 ? bGetPartnerAlpaPath1() : bGetPartnerAlpaPath2(); }

// Sweeps one drive loop: each device of the map is reported to the device
// watch and, with fClear, has its task set cleared.  Loop IDs flagged in
// pfSeen were handled on the other loop and are skipped; with pfMark the
// sweep of loop 3 flags the devices it also finds on loop 4.
bool SweepLoop(uint8_t bPort, uint8_t fClear, bool* pfSeen, bool fMark) {
    uint8_t bOwnAlpa = 0;
    uint32_t dPortId = 0;
    uint16_t wTopology = 0;
    if (fIsChipPresent(bPort) != TRUE || bQLGetLoopId(bPort, &bOwnAlpa, &dPortId, &wTopology) != STATUS_OK) {
        return false;
    }
    const uint8_t bPartner = bPartnerAlpaOfPath(bPort);
    const uint8_t bCount = bGetLoopMapCount(bPort);
    for (uint16_t wPos = 1; wPos <= bCount && wPos < sizeof(LOOP_POSITION_MAP); ++wPos) {
        const uint8_t bAlpa = bGetLoopMapAlpa(bPort, static_cast<uint8_t>(wPos));
        if (bAlpa == bOwnAlpa || bAlpa == 0xFF || bAlpa == bPartner) continue;
        const uint8_t bLoopId = bAlpaToLoopId(bAlpa);
        uint8_t abWwn[8];
        if (bLoopId == NO_LOOP_ID || fGetDriveWwnByLoopId(bPort, bLoopId, abWwn) != STATUS_OK) continue;
        if (fMark) {
            uint8_t bOther = NO_LOOP_ID;
            if (fFindLoopIdByWwn(4, &bOther, abWwn) == STATUS_OK && bOther < LOOP_IDS) pfSeen[bOther] = true;
        } else if (pfSeen[bLoopId]) {
            continue;
        }
        (void)fTakeDriveLoopDeviceReport(abWwn, fClear);
        if (fClear == TRUE) (void)bQLClearTaskSet(bPort, bAlpa);
    }
    (void)bSendSyncMarker(bPort);
    return true;
}

}  // namespace

uint8_t bQLDumpRam(uint8_t bChip, uint32_t dRiscAddress, BUS_ADDRESS dBuffer, uint32_t dWords) {
    const bool fExtended = dRiscAddress >= DUMP_EXTENDED_FROM;
    QL_MAILBOX_COMMAND s = sQLCommand(fExtended ? MBC_DUMP_RAM_EXTENDED : MBC_DUMP_RAM);
    SetQLMailbox(&s, 1, wLow(dRiscAddress));
    SetQLMailboxAddress(&s, 2, 3, dBuffer);
    if (fIsQL24xx() == TRUE) {
        SetQLMailbox(&s, 5, wLow(dWords));
        SetQLMailbox(&s, 4, wHigh(dWords));
    } else {
        SetQLMailbox(&s, 4, wLow(dWords));
    }
    if (fExtended) {
        SetQLMailbox(&s, 6, 0);
        SetQLMailbox(&s, 7, 0);
        SetQLMailbox(&s, 8, wHigh(dRiscAddress));
    }
    return bQLPolledMailboxCommand(bChip, &s);
}

uint8_t bQLWriteRamWord(uint8_t bChip, uint16_t wAddress, uint16_t wValue) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_WRITE_RAM_WORD);
    SetQLMailbox(&s, 1, wAddress);
    SetQLMailbox(&s, 2, wValue);
    return bQLPolledMailboxCommand(bChip, &s);
}

uint8_t bQLReadRamWord(uint8_t bChip, uint16_t wAddress, uint16_t* pwValue) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_READ_RAM_WORD);
    SetQLMailbox(&s, 1, wAddress);
    s.dReadMask = 1u << 2;
    if (bQLPolledMailboxCommand(bChip, &s) != STATUS_OK) return 0;
    *pwValue = s.awMailbox[2];
    return STATUS_OK;
}

uint8_t bQLWriteRamWordExt(uint8_t bChip, uint32_t dAddress, uint16_t wValue) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_WRITE_RAM_WORD_EXTENDED);
    SetQLMailbox(&s, 1, wLow(dAddress));
    SetQLMailbox(&s, 2, wValue);
    SetQLMailbox(&s, 8, wHigh(dAddress));
    return bQLPolledMailboxCommand(bChip, &s);
}

uint8_t bQLMailbox14(uint8_t bChip) { return bSimpleCommand(bChip, MBC_MAILBOX_14); }

uint8_t bQLMailbox18(uint8_t bChip, uint16_t wValue) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_MAILBOX_18);
    SetQLMailbox(&s, 1, wValue);
    return bQLMailboxCommand(bChip, &s);
}

uint8_t bQLMailbox70(uint8_t bChip) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_MAILBOX_70);
    SetQLMailbox(&s, 1, 1);
    return bQLMailboxCommand(bChip, &s);
}

uint8_t bQLMailbox72(uint8_t bChip) { return bSimpleCommand(bChip, MBC_MAILBOX_72); }

uint8_t bQLSetDeviceQueue(uint8_t bChip, uint8_t bAlpa, uint16_t wValue2, uint16_t wValue3) {
    const uint8_t bLoopId = bAlpaToLoopId(bAlpa);
    if (bLoopId == NO_LOOP_ID) return 0;
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_SET_DEVICE_QUEUE);
    SetQLMailbox(&s, 1, bLoopId);
    SetQLMailbox(&s, 2, wValue2);
    SetQLMailbox(&s, 3, wValue3);
    SetQLMailbox(&s, 6, 0);
    return bQLMailboxCommand(bChip, &s);
}

uint8_t bQLBypassDrive(uint8_t bChip, uint8_t bAlpa, uint8_t fEnable, uint8_t fAll) {
    const uint8_t bLoopId = fAll == TRUE ? BYPASS_ALL_LOOP_ID : bAlpaToLoopId(bAlpa);
    if (bLoopId == NO_LOOP_ID && fAll != TRUE) return 0;
    QL_MAILBOX_COMMAND s = sQLCommand(fEnable == TRUE ? MBC_BYPASS_ON : MBC_BYPASS_OFF);
    SetQLMailbox(&s, 1, bLoopId);
    return bQLMailboxCommand(bChip, &s);
}

// The drive's port bypass circuit is set on both drive loops; a drive
// taken off the loops leaves them only with the loop initialisation that
// follows, so both loops are reset.  Only loops whose chip is fitted are
// asked: a reset request nobody serves would stay raised.
void SetDriveLoopBypass(uint8_t bLoopId, uint8_t fBypass) {
    uint8_t bAlpa = 0;
    if (fLoopIdToAlpa(bLoopId, &bAlpa) != TRUE) return;
    for (uint8_t bChip = 3; bChip <= 4; ++bChip) {
        if (fIsChipPresent(bChip) != TRUE) continue;
        (void)bQLBypassDrive(bChip, bAlpa, fBypass == TRUE ? TRUE : FALSE, FALSE);
        if (fBypass == TRUE) SetLoopResetRequest(bChip, TRUE);
    }
}

uint8_t bQLPartnerTaskCommand(uint8_t bChip, uint8_t bAlpa) { return bDeviceCommand(bChip, MBC_PARTNER_TASK, bAlpa); }

// A target without a loop ID is still reset, as the whole loop's 0xFF.
uint8_t bQLTargetReset(uint8_t bChip, uint8_t bAlpa) {
    uint8_t bLoopId = bAlpaToLoopId(bAlpa);
    if (bLoopId == NO_LOOP_ID) ConsolePrintf("fff7\n");
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_TARGET_RESET);
    SetQLMailbox(&s, 1, bLoopId);
    SetQLMailbox(&s, 2, 0);
    return bQLMailboxCommand(bChip, &s);
}

uint8_t bQLClearTaskSet(uint8_t bChip, uint8_t bAlpa) { return bDeviceCommand(bChip, MBC_CLEAR_TASK_SET, bAlpa); }

uint8_t bSendSyncMarker(uint8_t bChip) {
    for (uint32_t n = 0; n < MARKER_ATTEMPTS; ++n) {
        if (bSendMarker(bChip, 0, 0, 2) == STATUS_OK) return STATUS_OK;
        if (fIsChipPresent(bChip) != TRUE) return 0;
        HwDelayUs(1000);
    }
    return 0;
}

void ResetDriveLoopTargets(uint8_t bDo3, uint8_t bDo4, uint8_t fClear) {
    bool afSeen[LOOP_IDS] = {};
    const bool fSwept3 = bDo3 == SWEEP_PATH && SweepLoop(3, fClear, afSeen, true);
    const bool fSwept4 = bDo4 == SWEEP_PATH && SweepLoop(4, fClear, afSeen, false);
    if (fClear == TRUE) {
        if (fSwept3 && bGetPartnerAlpaPath1() != 0xFF) {
            (void)bQLPartnerTaskCommand(3, bGetPartnerAlpaPath1());
        } else if (fSwept4 && bGetPartnerAlpaPath2() != 0xFF) {
            (void)bQLPartnerTaskCommand(4, bGetPartnerAlpaPath2());
        }
        return;
    }
    const uint64_t lStart = lGetTickCount();
    while (bGetDriveLoopFlag(3) == FALSE && bGetDriveLoopFlag(4) == FALSE &&
           lGetTickCount() - lStart < SWEEP_FLAG_WAIT_MS) {
        HwPoll();
    }
    SetDriveLoopFlag(3, FALSE);
    SetDriveLoopFlag(4, FALSE);
}

void ClearTaskSetsOnLoop(uint8_t bChip) {
    uint16_t wState = 0;
    uint8_t bOwnAlpa = 0;
    uint32_t dPortId = 0;
    uint16_t wTopology = 0;
    if (fIsChipPresent(bChip) != TRUE || bGetFirmwareState(bChip, &wState) != STATUS_OK ||
        wState != ISP_FW_STATE_READY || bQLGetLoopId(bChip, &bOwnAlpa, &dPortId, &wTopology) != STATUS_OK) {
        return;
    }
    const uint8_t bCount = bGetLoopMapCount(bChip);
    for (uint16_t wPos = 1; wPos <= bCount && wPos < sizeof(LOOP_POSITION_MAP); ++wPos) {
        const uint8_t bAlpa = bGetLoopMapAlpa(bChip, static_cast<uint8_t>(wPos));
        if (bAlpa == bOwnAlpa) continue;
        uint8_t abNode[8], abPort[8], bOptions = 0, bHard = 0;
        if (bGetPortDatabaseByAlpa(bChip, bAlpa, abNode, abPort, &bOptions, &bHard) == STATUS_OK &&
            (bOptions & 0x20) == 0) {
            (void)bQLClearTaskSet(bChip, bAlpa);
        }
    }
}

void SyncHostLoop(uint8_t bChip) {
    uint16_t wState = 0;
    uint8_t bOwnAlpa = 0;
    uint32_t dPortId = 0;
    uint16_t wTopology = 0;
    if (bGetFirmwareState(bChip, &wState) != STATUS_OK || wState != ISP_FW_STATE_READY ||
        bQLGetLoopId(bChip, &bOwnAlpa, &dPortId, &wTopology) != STATUS_OK) {
        return;
    }
    const uint8_t bCount = bGetLoopMapCount(bChip);
    for (uint16_t wPos = 1; wPos <= bCount && wPos < sizeof(LOOP_POSITION_MAP); ++wPos) {
        const uint8_t bAlpa = bGetLoopMapAlpa(bChip, static_cast<uint8_t>(wPos));
        if (bAlpa != bOwnAlpa) (void)bQLTargetReset(bChip, bAlpa);
    }
    (void)bSendSyncMarker(bChip);
}

uint8_t bQLWaitLoopReady(uint8_t bChip) {
    for (uint32_t dCheck = 0; dCheck < LOOP_READY_CHECKS; ++dCheck) {
        SpinDelayMs(LOOP_READY_INTERVAL_MS);
        uint16_t wState = 0;
        if (bGetFirmwareState(bChip, &wState) != STATUS_OK) return 0;
        ConsolePrintf("FW state: %04x\n", wState);
        if (wState == ISP_FW_STATE_READY) {
            ConsolePrintf("LIP complete after %d ms\n", dCheck);
            return STATUS_OK;
        }
    }
    ConsolePrintf("LIP timeout error.\n");
    return 0;
}

void SetDriveQueueParameters() {
    const bool fLinePower = fIsLinePowerMode() == TRUE;
    for (uint8_t bRank = 0; bRank < bGetRankCount(); ++bRank) {
        for (uint8_t bMember = 0; bMember < bGetRankDriveCount(bRank); ++bMember) {
            if (bGetRankMemberFlags(bRank, bMember) != 0) continue;
            const uint8_t bState = bGetRankMemberState(bRank, bMember);
            if (bState != 1 && bState != 2 && bState != 3) continue;
            for (uint8_t bPath = 3; bPath <= 4; ++bPath) {
                if ((bState & (bPath - 2)) == 0) continue;
                const uint8_t bAlpa = bGetRankMemberDriveOnPath(bRank, bMember, bPath);
                const bool fSpecial = fLinePower && bAlpa == LINE_POWER_DRIVE_ALPA;
                const uint16_t wValue = bState == 3 ? (fSpecial ? QUEUE_LINE_POWER_BOTH : QUEUE_BOTH_PATHS)
                                                    : (fSpecial ? QUEUE_LINE_POWER_ONE : QUEUE_ONE_PATH);
                (void)bQLSetDeviceQueue(bPath, bAlpa, QUEUE_DEPTH, wValue);
            }
        }
    }
    if (fIsPartnerOnPath1() == TRUE) {
        (void)bQLSetDeviceQueue(3, bGetPartnerAlpaPath1(), PARTNER_QUEUE_DEPTH, PARTNER_QUEUE_VALUE);
    }
    if (fIsPartnerOnPath2() == TRUE) {
        (void)bQLSetDeviceQueue(4, bGetPartnerAlpaPath2(), PARTNER_QUEUE_DEPTH, PARTNER_QUEUE_VALUE);
    }
}

}  // namespace fw
