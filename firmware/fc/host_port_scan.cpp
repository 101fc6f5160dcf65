#include "fc/host_port_scan.h"

#include <cstring>

#include "config/apply_settings.h"
#include "config/host_lun_tables.h"
#include "config/host_port_tables.h"
#include "eventlog/event_log.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/loop_maps.h"
#include "fc/ql_chip.h"
#include "fc/ql_firmware_start.h"
#include "fc/ql_handle_map.h"
#include "fc/ql_host_events.h"
#include "fc/ql_mailbox_commands.h"
#include "hw/isp_fc.h"
#include "partner/partner_link.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_HARD_ID_PORT1 = 23;
constexpr uint8_t EVENT_HARD_ID_PORT2 = 24;
constexpr uint16_t SCAN_IDS = 255;

struct HOST_PORT_SCAN {
    uint64_t lLastScanMs;
    uint64_t lFirstFailureMs;
    uint8_t fScanned;
    uint8_t fMapFailure;
    uint8_t fTableValid;
    uint8_t fForLogin;   // a new login's commands wait for this scan
};
HOST_PORT_SCAN s_asScan[2];

// Wakes the main loop when a port's scan, held back to take loop or fabric
// events together, falls due: the loop idles meanwhile.
KERNEL_ENTRY s_asScanWake[2];
void WakeForScan(KERNEL_ENTRY*, TIMER_NODE*) { SetWorkPending(TRUE); }

// Events of the loop or fabric come in bursts and are taken together; a
// login is not kept waiting for them.
bool IsDue(const HOST_PORT_SCAN& s, uint64_t lNow) {
    return s.fScanned != TRUE || s.fForLogin == TRUE || lNow - s.lLastScanMs >= HOST_SCAN_MIN_INTERVAL_MS;
}

// The names each handle's login was last read with, per ISP24xx port: they
// hold as long as the login does (the handle map numbers each login), so a
// scan reads the names of new logins only and costs the same however many
// hosts the port has.
struct LOGIN_NAMES {
    HANDLE_LOGIN sLogin;
    uint8_t abNode[8];
    uint8_t abPort[8];
};
LOGIN_NAMES s_aasNames[2][SCAN_IDS];
HANDLE_LOGIN s_asLogins[SCAN_IDS];

bool IsQLogicPort(uint8_t bPort) { return bPort == 1 || bPort == 2; }

void ClearList(HOST_PORT_RECORD* ps) {
    ps->bInitiatorCount = 0;
    for (HOST_INITIATOR& s : ps->asInitiator) {
        s.bId = 0;
        s.fLoggedIn = FALSE;
        s.fFabric = FALSE;
        s.bByte3 = 0;
        std::memset(s.abNodeName, 0xFF, 8);
        std::memset(s.abPortName, 0xFF, 8);
    }
}

bool IsListed(const HOST_PORT_RECORD* ps, uint8_t bId) {
    for (uint8_t i = 0; i < ps->bInitiatorCount; ++i) {
        if (ps->asInitiator[i].bId == bId) return true;
    }
    return false;
}

void Append(HOST_PORT_RECORD* ps, uint8_t bId, const uint8_t* pbNode, const uint8_t* pbPort, uint8_t fFabric) {
    if (ps->bInitiatorCount >= HOST_PORT_INITIATORS || IsListed(ps, bId)) return;
    HOST_INITIATOR& s = ps->asInitiator[ps->bInitiatorCount++];
    s.bId = bId;
    s.fFabric = fFabric;
    std::memcpy(s.abNodeName, pbNode, 8);
    std::memcpy(s.abPortName, pbPort, 8);
}

bool IsSet(const uint8_t* pbWwn) {
    for (int i = 0; i < 8; ++i) {
        if (pbWwn[i] != 0 && pbWwn[i] != 0xFF) return true;
    }
    return false;
}

// The logins of the port's handles, read at once under the lock the
// interrupt path changes them under.
void ReadHandleLogins(uint8_t bChip) {
    const uint8_t bLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
    GetHandleLogins(bChip, SCAN_IDS, s_asLogins);
    if (bLock != STATUS_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
}

bool SameLogin(const HANDLE_LOGIN& a, const HANDLE_LOGIN& b) { return a.dPortId == b.dPortId && a.dLogin == b.dLogin; }

// Initiators on the port's loop map, by port database.
void ListLoopInitiators(HOST_PORT_RECORD* psList, uint8_t bChip, uint8_t bOwnAlpa, uint8_t fFabric) {
    const bool f24xx = fIsQL24xx() == TRUE;
    for (uint8_t p = 1; p <= bGetLoopMapCount(bChip); ++p) {
        const uint8_t bAlpa = bGetLoopMapAlpa(bChip, p);
        if (bAlpa == bOwnAlpa || bAlpa == 0 || bAlpa == 0xFF) continue;
        uint8_t abNode[8], abPort[8], bOptions = 0, bHard = 0;
        if (bGetPortDatabaseByAlpa(bChip, bAlpa, abNode, abPort, &bOptions, &bHard) != STATUS_OK ||
            (bOptions & PRLI_INITIATOR_FUNCTION) == 0) {
            continue;
        }
        uint16_t wId = bAlpaToLoopId(bAlpa);
        if (f24xx && bLookupHandleByPortId(bChip, bAlpa, &wId) != STATUS_OK) continue;
        if (wId < SCAN_IDS) Append(psList, static_cast<uint8_t>(wId), abNode, abPort, fFabric);
    }
}

// Initiators by id: every handle the port knows on the ISP24xx; on the
// ISP2x00 the fabric's ids, or on a loop only those above the loop's.
void ListInitiatorsById(HOST_PORT_RECORD* psList, uint8_t bChip, uint16_t wTopology, uint8_t fFabric) {
    const bool f24xx = fIsQL24xx() == TRUE;
    const bool fLoopOnly = !f24xx && wTopology < ISP_TOPOLOGY_POINT_TO_POINT;
    if (f24xx) ReadHandleLogins(bChip);
    for (uint16_t wId = fLoopOnly ? 129 : 0; wId < SCAN_IDS; ++wId) {
        if (!f24xx && wId >= ISP2X_LOOP_ID_F_PORT && wId <= ISP2X_LOOP_ID_NAME_SERVER) continue;
        if (f24xx && s_asLogins[wId].dPortId == HANDLE_MAP_FREE_PORT_ID) continue;
        LOGIN_NAMES* psKnown = f24xx ? &s_aasNames[bChip == 1 ? 0 : 1][wId] : nullptr;
        if (psKnown != nullptr && SameLogin(psKnown->sLogin, s_asLogins[wId])) {
            Append(psList, static_cast<uint8_t>(wId), psKnown->abNode, psKnown->abPort, fFabric);
            continue;
        }
        uint8_t abPort[8], abNode[8];
        if (bQLGetPortName(bChip, wId, TRUE, abPort, nullptr) != STATUS_OK || !IsSet(abPort)) continue;
        if (bQLGetPortName(bChip, wId, FALSE, abNode, nullptr) != STATUS_OK) {
            std::memset(abNode, 0xFF, 8);
            std::memset(abPort, 0xFF, 8);
        } else if (psKnown != nullptr) {
            *psKnown = LOGIN_NAMES{s_asLogins[wId], {}, {}};
            std::memcpy(psKnown->abNode, abNode, 8);
            std::memcpy(psKnown->abPort, abPort, 8);
        }
        Append(psList, static_cast<uint8_t>(wId), abNode, abPort, fFabric);
    }
}

void TellPartner(uint8_t bPort) {
    if (fIsDualControllerActive() == TRUE) NotifyPartnerHostPortChange(bPort);
}

}  // namespace

uint8_t InitHostPortLunTables() {
    const uint8_t bResult = AllocateHostLunTables();
    for (HOST_PORT_SCAN& s : s_asScan) s = HOST_PORT_SCAN{0, 0, FALSE, FALSE, FALSE, FALSE};
    for (auto& asPort : s_aasNames) {
        for (LOGIN_NAMES& s : asPort) s = LOGIN_NAMES{{HANDLE_MAP_FREE_PORT_ID, 0}, {}, {}};
    }
    return bResult;
}

void RequestLoginScan(uint8_t bPortCode) {
    if (!IsQLogicPort(bPortCode)) return;
    s_asScan[bPortCode - 1].fForLogin = TRUE;
    SetHostLoopLipFlag(bPortCode, TRUE);
    SetHostPortLinkFlag(bPortCode, TRUE);
}

void ForgetLoginNames(uint8_t bPortCode, uint16_t wHandle) {
    if (!IsQLogicPort(bPortCode) || wHandle >= SCAN_IDS) return;
    s_aasNames[bPortCode - 1][wHandle].sLogin = HANDLE_LOGIN{HANDLE_MAP_FREE_PORT_ID, 0};
}

uint8_t fIsHostPortScanDue(uint8_t bPortCode) {
    if (!IsQLogicPort(bPortCode)) return TRUE;
    const HOST_PORT_SCAN& sScan = s_asScan[bPortCode - 1];
    const uint64_t lNow = lGetTickCount();
    if (IsDue(sScan, lNow)) return TRUE;
    KERNEL_ENTRY* psWake = &s_asScanWake[bPortCode - 1];
    if (fIsTimerArmed(&psWake->sTimer) != TRUE) {
        InsertTimer(psWake, WakeForScan, static_cast<uint32_t>(sScan.lLastScanMs + HOST_SCAN_MIN_INTERVAL_MS - lNow));
    }
    return FALSE;
}

uint8_t fIsHostPortTableValid(uint8_t bPort) { return IsQLogicPort(bPort) ? s_asScan[bPort - 1].fTableValid : FALSE; }
uint8_t fGetHostPortMapFailure(uint8_t bPort) { return IsQLogicPort(bPort) ? s_asScan[bPort - 1].fMapFailure : FALSE; }

uint8_t EnumerateLoopDevices(HOST_PORT_RECORD* psList, uint8_t bChip) {
    ClearList(psList);
    uint16_t wState = 0;
    uint8_t bOwnAlpa = 0;
    uint32_t dOwnPortId = 0;
    uint16_t wTopology = 0;
    if (fIsChipPresent(bChip) != TRUE || bGetFirmwareState(bChip, &wState) != STATUS_OK || wState != ISP_FW_STATE_READY ||
        bQLGetLoopId(bChip, &bOwnAlpa, &dOwnPortId, &wTopology) != STATUS_OK) {
        return 0;
    }
    const uint8_t fFabric = ToFlag(wTopology == ISP_TOPOLOGY_FABRIC_LOOP || wTopology == ISP_TOPOLOGY_FABRIC);
    ListLoopInitiators(psList, bChip, bOwnAlpa, fFabric);
    if (fFabric == TRUE) {
        const bool f24xx = fIsQL24xx() == TRUE;
        const uint16_t awFixed[3] = {
            static_cast<uint16_t>(f24xx ? ISP24_HANDLE_F_PORT : ISP2X_LOOP_ID_F_PORT),
            static_cast<uint16_t>(f24xx ? ISP24_HANDLE_FABRIC_CONTROLLER : ISP2X_LOOP_ID_FABRIC_CONTROLLER),
            static_cast<uint16_t>(f24xx ? ISP24_HANDLE_NAME_SERVER : ISP2X_LOOP_ID_NAME_SERVER)};
        for (uint16_t wId : awFixed) {
            uint8_t abName[8];
            (void)(f24xx ? bQLGetPortNameBE(bChip, wId, TRUE, abName, nullptr) : bQLGetPortName(bChip, wId, TRUE, abName, nullptr));
        }
        (void)bQLRegisterFc4Types(bChip, dOwnPortId);
    }
    ListInitiatorsById(psList, bChip, wTopology, fFabric);
    return STATUS_OK;
}

void ScanHostPortInitiators(uint8_t bPortCode) {
    if (!IsQLogicPort(bPortCode)) {
        RebuildPortLunTable(bPortCode);   // the SAS host ports are rebuilt by the configuration database
        return;
    }
    HOST_PORT_SCAN& sScan = s_asScan[bPortCode - 1];
    const uint64_t lNow = lGetTickCount();
    if (!IsDue(sScan, lNow)) return;
    sScan.fForLogin = FALSE;
    sScan.fScanned = TRUE;
    sScan.lLastScanMs = lNow;
    HOST_PORT_RECORD* psRecord = pGetHostPortRecord(bPortCode);

    if (BuildLoopPositionMap(bPortCode) != STATUS_OK) {
        // A port whose map cannot be read is given up after a grace time.
        if (sScan.fMapFailure != TRUE) {
            sScan.fMapFailure = TRUE;
            sScan.lFirstFailureMs = lNow;
        } else if (lNow - sScan.lFirstFailureMs >= HOST_MAP_FAILURE_GRACE_MS) {
            sScan.fMapFailure = FALSE;
            SetHostLoopLipFlag(bPortCode, TRUE);
            SetHostPortLinkFlag(bPortCode, FALSE);
            ClearPortLunTable(bPortCode);
            ClearList(psRecord);
            TellPartner(bPortCode);
        }
        return;
    }
    sScan.fMapFailure = FALSE;
    ClearPortLunTable(bPortCode);
    sScan.fTableValid = FALSE;
    SetHostLoopLipFlag(bPortCode, FALSE);
    SetHostPortLinkFlag(bPortCode, FALSE);
    (void)EnumerateLoopDevices(psRecord, bPortCode);
    const uint8_t bHard = bGetHostPortHardAddress(bPortCode);
    const uint8_t bOwnLoopId = bGetOwnLoopId(bPortCode);
    if ((bHard & 0x80) && (bHard & 0x7F) != bOwnLoopId && wGetHostLoopLipCount(bPortCode) <= 1) {
        PostEvent(bPortCode == 1 ? EVENT_HARD_ID_PORT1 : EVENT_HARD_ID_PORT2, static_cast<uint8_t>(bHard & 0x7F), bOwnLoopId);
    }
    TellPartner(bPortCode);
    FillPortLunTable(bPortCode);
    // What the chip reported while the scan read the port (its mailbox
    // commands let the chip's interrupts in) may be missing from it, so the
    // port is scanned once more: a port database change asked for that
    // itself (the link flag), a loop event or a login also holds the
    // port's commands until then (the LIP flag; a login taken before the
    // flags were cleared above raises it again here).
    if (sScan.fForLogin == TRUE) SetHostLoopLipFlag(bPortCode, TRUE);
    if (fGetHostLoopLipFlag(bPortCode) == TRUE) SetHostPortLinkFlag(bPortCode, TRUE);
    sScan.fTableValid = TRUE;
}

}  // namespace fw
