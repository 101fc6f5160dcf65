// The auxiliary status record and its hooks.
#include "enclosure/aux_status_record.h"

#include <algorithm>
#include <cstring>

#include "enclosure/drive_management.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "target/command_access.h"
#include "target/command_replies.h"

namespace fw {

namespace {

constexpr uint8_t TICK_HOOK_PERIOD = 4;

// Held in the firmware's own memory: hosts get a copy in the command's
// pages, so it needs no buffer page of its own.
uint8_t s_abRecord[AUX_STATUS_RECORD_BYTES];
uint8_t s_fFlagA = FALSE;
uint8_t s_fFlagB = FALSE;
uint8_t s_fOptionBit2 = FALSE;
uint8_t s_fTickHook = FALSE;
uint32_t s_dCounter = 0;

uint32_t dBe24(const uint8_t* pb) { return static_cast<uint32_t>(pb[0]) << 16 | pb[1] << 8 | pb[2]; }

}  // namespace

void InitAuxStatusRecord() {
    s_fFlagA = FALSE;
    s_fOptionBit2 = FALSE;
    s_fTickHook = FALSE;
    s_dCounter = 0;
    // Length, version, three reserved bytes, then two fields kept zero.
    std::memset(s_abRecord, 0, AUX_STATUS_RECORD_BYTES);
    s_abRecord[0] = static_cast<uint8_t>(AUX_STATUS_RECORD_BYTES);
    s_abRecord[4] = AUX_STATUS_RECORD_VERSION;
}

const uint8_t* pGetAuxStatusRecord() { return s_abRecord; }

uint8_t bHostReadAuxStatusRecord(KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint32_t dOffset = dBe24(pbCdb + 3);
    if (dOffset >= AUX_STATUS_RECORD_BYTES) return FALSE;
    const uint32_t dLength = std::min(dBe24(pbCdb + 6), AUX_STATUS_RECORD_BYTES - dOffset);
    if (dLength == 0) {
        AnswerCommand(psEntry, 0, 0, 0);
        return STATUS_OK;
    }
    uint8_t* pb = pbTakeCommandPages(psEntry, 1);
    if (pb == nullptr) return STATUS_NO_PAGES;
    std::memcpy(pb, s_abRecord + dOffset, dLength);
    return bSendCommandPages(psEntry, dLength);
}

uint8_t fAuxCachePolicyCondition() { return TRUE; }
uint8_t fAuxConsoleHook() { return FALSE; }

void SetAuxFlagA(uint8_t f) { s_fFlagA = f; }
void SetAuxFlagB(uint8_t f) { s_fFlagB = f; }

void SetCtrlOptionBit2Flag(uint8_t f) { s_fOptionBit2 = f; }
uint8_t fGetCtrlOptionBit2Flag() { return s_fOptionBit2; }

void AuxTickHook() {
    const uint8_t fWas = s_fTickHook;
    if (fWas == TRUE) s_fFlagA = FALSE;
    s_fTickHook = FALSE;
    if (fWas != TRUE) SetHalfSecondCountdown(HALF_SECOND_COUNTDOWN_ENCLOSURE, TICK_HOOK_PERIOD);
}

}  // namespace fw
