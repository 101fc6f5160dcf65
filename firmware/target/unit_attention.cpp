// Unit attention tables and the host-port event latch.
#include "target/unit_attention.h"

#include <cstring>

#include "executive/port_codes.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/isp_fc.h"
#include "target/stage_rings.h"
#include "target/task_management.h"

namespace fw {

namespace {

constexpr uint32_t ROW_BYTES = 32;                 // 256 initiators
constexpr uint32_t LUN_RESET_BYTES = 16;           // initiators 0 to 127
constexpr uint8_t NO_TABLE = 0xFF;
constexpr uint16_t ACK_STATUS_ALL_LUNS = 14;
constexpr uint16_t ACK_STATUS_LOGOUT = 0x29;
constexpr uint16_t ACK_FLAG_NO_SEQUENCE = 32;

uint8_t s_aabTable[2][LUN_COUNT][ROW_BYTES];

struct HOST_PORT_EVENTS {
    uint8_t fPending;
    uint8_t afReset[2];
    uint8_t afAck[2];
    uint8_t bResetPortCode;
    uint16_t wResetLun;
    uint16_t wResetInitiator;
    uint8_t fResetWithoutAttention;
    uint32_t dResetExchange;
    uint16_t wResetWordA;
    uint16_t wResetWordB;
    PORT_NOTIFY_2X00 asNotify2x00[2];
    PORT_NOTIFY_24XX asNotify24xx[2];
    uint8_t fFlushStep;
};
HOST_PORT_EVENTS s_sEvents;

uint8_t bTableOf(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_HOST_VARIANT_1:
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_SAS_HOST_1: return 0;
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: return NO_TABLE;
    default: return 1;
    }
}

uint8_t* pbRow(uint8_t bPortCode, uint16_t wLun) {
    const uint8_t bTable = bTableOf(bPortCode);
    if (bTable == NO_TABLE || wLun >= LUN_COUNT) return nullptr;
    return s_aabTable[bTable][wLun];
}

uint8_t bPortSlot(uint8_t bPort) { return bPort == 1 ? 0 : 1; }

// The pending flag is raised only after the values it covers are stored.
void RecomputePending() {
    s_sEvents.fPending = ToFlag(s_sEvents.afReset[0] == TRUE || s_sEvents.afReset[1] == TRUE ||
                                s_sEvents.afAck[0] == TRUE || s_sEvents.afAck[1] == TRUE);
}

void ServeReset() {
    const uint16_t wLun = s_sEvents.wResetLun;
    const uint8_t bPortCode = s_sEvents.bResetPortCode;
    if (s_sEvents.fResetWithoutAttention == TRUE) {
        // Nothing to tell: only the sender's tasks ended.
    } else if (wLun == ALL_LUNS) {
        FillHostInterfaceBitmap(bPortCode, TRUE);
    } else {
        SetLogicalUnitResetAttention(wLun);
    }
    if (fIsQL24xx() == TRUE) {
        PORT_NOTIFY_24XX sNotify = sGetPortNotify24xx(bPortCode);
        sNotify.dExchange = s_sEvents.dResetExchange;
        sNotify.wHandle = s_sEvents.wResetInitiator;
        SendNotifyAcknowledge24(bPortCode, wLun == ALL_LUNS ? ACK_STATUS_ALL_LUNS : 0, sNotify);
    } else {
        const uint16_t wInitiator = s_sEvents.wResetInitiator >= NO_INITIATOR ? 0 : s_sEvents.wResetInitiator;
        SendNotifyAcknowledge(bPortCode, 0, wInitiator, s_sEvents.wResetWordB == 0 ? ACK_FLAG_NO_SEQUENCE : 0,
                              s_sEvents.wResetWordB, s_sEvents.wResetWordA);
    }
    (void)bSendMarker(bPortCode, 0, wLun == ALL_LUNS ? 0 : wLun, MARKER_SYNC_ALL);
    ClearPortResetEvent(bPortCode);
}

void ServeAck(uint8_t bPort) {
    if (fIsQL24xx() == TRUE) {
        SendNotifyAcknowledge24(bPort, 0, sGetPortNotify24xx(bPort));
    } else {
        const PORT_NOTIFY_2X00 s = sGetPortNotify2x00(bPort);
        SendNotifyAcknowledge(bPort, ACK_STATUS_LOGOUT, s.wLoopId, s.wFlags, s.wSequence, 0);
    }
    ClearPortAckEvent(bPort);
}

}  // namespace

void SetUnitAttention(uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun, uint8_t f) {
    uint8_t* pb = pbRow(bPortCode, wLun);
    if (pb == nullptr) return;
    const uint8_t bInitiator = static_cast<uint8_t>(wInitiator);
    const uint8_t bBit = static_cast<uint8_t>(1u << (bInitiator % 8));
    if (f == TRUE) {
        pb[bInitiator / 8] |= bBit;
    } else {
        pb[bInitiator / 8] &= static_cast<uint8_t>(~bBit);
    }
}

void FillHostInterfaceBitmap(uint8_t bPortCode, uint8_t f) {
    const uint8_t bTable = bTableOf(bPortCode);
    if (bTable != NO_TABLE) std::memset(s_aabTable[bTable], f == TRUE ? 0xFF : 0, sizeof(s_aabTable[bTable]));
}

void SetLunUnitAttention(uint8_t bPortCode, uint16_t wLun, uint8_t f) {
    uint8_t* pb = pbRow(bPortCode, wLun);
    if (pb != nullptr) std::memset(pb, f == TRUE ? 0xFF : 0, LUN_RESET_BYTES);
}

void SetLogicalUnitResetAttention(uint16_t wLun) {
    SetLunUnitAttention(PORT_CODE_FC_HOST_1, wLun, TRUE);
    SetLunUnitAttention(PORT_CODE_FC_HOST_2, wLun, TRUE);
}

uint8_t fGetUnitAttention(uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun) {
    const uint8_t* pb = pbRow(bPortCode, wLun);
    if (pb == nullptr) return FALSE;
    const uint8_t bInitiator = static_cast<uint8_t>(wInitiator);
    return ToFlag((pb[bInitiator / 8] >> (bInitiator % 8)) & 1);
}

void ResetHostInterfaceBitmaps() {
    FillHostInterfaceBitmap(PORT_CODE_FC_HOST_1, TRUE);
    FillHostInterfaceBitmap(PORT_CODE_FC_HOST_2, TRUE);
    ResetHostPortEvents();
}

void SetPortResetEvent(uint8_t bPort) {
    s_sEvents.afReset[bPortSlot(bPort)] = TRUE;
    s_sEvents.fPending = TRUE;
}
void ClearPortResetEvent(uint8_t bPort) {
    s_sEvents.afReset[bPortSlot(bPort)] = FALSE;
    RecomputePending();
}
uint8_t fGetPortResetEvent(uint8_t bPort) { return s_sEvents.afReset[bPortSlot(bPort)]; }
void SetPortAckEvent(uint8_t bPort) {
    s_sEvents.afAck[bPortSlot(bPort)] = TRUE;
    s_sEvents.fPending = TRUE;
}
void ClearPortAckEvent(uint8_t bPort) {
    s_sEvents.afAck[bPortSlot(bPort)] = FALSE;
    RecomputePending();
}
uint8_t fGetPortAckEvent(uint8_t bPort) { return s_sEvents.afAck[bPortSlot(bPort)]; }
uint8_t fGetHostPortEventPending() { return s_sEvents.fPending; }

void ResetHostPortEvents() {
    std::memset(&s_sEvents, 0, sizeof(s_sEvents));
    s_sEvents.fPending = FALSE;
    s_sEvents.afReset[0] = s_sEvents.afReset[1] = FALSE;
    s_sEvents.afAck[0] = s_sEvents.afAck[1] = FALSE;
    s_sEvents.fFlushStep = FALSE;
}

void SetResetPortCode(uint8_t bPortCode) { s_sEvents.bResetPortCode = bPortCode; }
uint8_t bGetResetPortCode(uint8_t* pbPortCode) {
    if (s_sEvents.afReset[0] != TRUE && s_sEvents.afReset[1] != TRUE) return FALSE;
    *pbPortCode = s_sEvents.bResetPortCode;
    return TRUE;
}
void SetResetLun(uint16_t wLun) { s_sEvents.wResetLun = wLun; }
uint16_t wGetResetLun() { return s_sEvents.wResetLun; }
void SetResetInitiator(uint16_t wInitiator) { s_sEvents.wResetInitiator = wInitiator; }
uint16_t wGetResetInitiator() { return s_sEvents.wResetInitiator; }
void SetResetWithoutAttention(uint8_t f) { s_sEvents.fResetWithoutAttention = f; }
void SetResetExchange(uint32_t dExchange) { s_sEvents.dResetExchange = dExchange; }
uint32_t dGetResetExchange() { return s_sEvents.dResetExchange; }
void SetResetWords(uint16_t wWordA, uint16_t wWordB) {
    s_sEvents.wResetWordA = wWordA;
    s_sEvents.wResetWordB = wWordB;
}
uint16_t wGetResetWordA() { return s_sEvents.wResetWordA; }
uint16_t wGetResetWordB() { return s_sEvents.wResetWordB; }

void SetPortNotify2x00(uint8_t bPort, const PORT_NOTIFY_2X00& sNotify) {
    s_sEvents.asNotify2x00[bPortSlot(bPort)] = sNotify;
}
PORT_NOTIFY_2X00 sGetPortNotify2x00(uint8_t bPort) { return s_sEvents.asNotify2x00[bPortSlot(bPort)]; }
void SetPortNotify24xx(uint8_t bPort, const PORT_NOTIFY_24XX& sNotify) {
    s_sEvents.asNotify24xx[bPortSlot(bPort)] = sNotify;
}
PORT_NOTIFY_24XX sGetPortNotify24xx(uint8_t bPort) { return s_sEvents.asNotify24xx[bPortSlot(bPort)]; }

void ServiceHostPortEvents() {
    if (s_sEvents.afReset[0] == TRUE || s_sEvents.afReset[1] == TRUE) {
        ServeReset();
    } else if (s_sEvents.afAck[0] == TRUE) {
        ServeAck(PORT_CODE_FC_HOST_1);
    } else if (s_sEvents.afAck[1] == TRUE) {
        ServeAck(PORT_CODE_FC_HOST_2);
    }
}

void SetFlushStepFlag() { s_sEvents.fFlushStep = TRUE; }
void ClearFlushStepFlag() { s_sEvents.fFlushStep = FALSE; }
uint8_t fGetFlushStepFlag() { return s_sEvents.fFlushStep; }

}  // namespace fw
