#include "fc/loop_maps.h"

#include <array>
#include <cstring>

#include "config/spares_wwn.h"
#include "executive/interrupt_controller.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/ql_chip.h"
#include "fc/ql_handle_map.h"
#include "fc/ql_mailbox_commands.h"
#include "hw/isp_fc.h"
#include "partner/partner_state.h"

namespace fw {

namespace {

constexpr uint8_t LOOP_MAP_POSITIONS = sizeof(LOOP_POSITION_MAP) - 1;

constexpr uint8_t QL_PORTS = 4;

constexpr std::array<uint8_t, 256> MakeAlpaToLoopId() {
    std::array<uint8_t, 256> ab{};
    for (uint8_t& b : ab) b = NO_LOOP_ID;
    for (uint8_t i = 0; i < LOOP_IDS; ++i) ab[FC_AL_LOOP_ID_TO_ALPA[i]] = i;
    return ab;
}
constexpr std::array<uint8_t, 256> ALPA_TO_LOOP_ID = MakeAlpaToLoopId();
static_assert(ALPA_TO_LOOP_ID[0xEF] == 0 && ALPA_TO_LOOP_ID[0x01] == 125 && ALPA_TO_LOOP_ID[0xF0] == NO_LOOP_ID);

struct PORT_LOOP {
    LOOP_POSITION_MAP sMap;
    uint8_t bState;
    uint8_t bOwnLoopId;
    uint8_t bOwnAlpa;
    uint16_t wTopology;
    uint32_t dOwnPortId;
};
PORT_LOOP s_asPort[QL_PORTS];

bool IsPort(uint8_t bPort) { return bPort >= 1 && bPort <= QL_PORTS; }

constexpr uint8_t PORT_DATABASE_FCP_INITIATOR = 0x20;

void SetPartnerOnPath(uint8_t bPort, uint8_t fPresent, uint8_t bAlpa, const uint8_t* pbName) {
    uint8_t abNone[8];
    std::memset(abNone, 0xFF, sizeof abNone);
    if (bPort == 3) {
        SetPartnerOnPath1(fPresent);
        SetPartnerAlpaPath1(bAlpa);
        SetPartnerPortNamePath1(pbName != nullptr ? pbName : abNone);
    } else {
        SetPartnerOnPath2(fPresent);
        SetPartnerAlpaPath2(bAlpa);
        SetPartnerPortNamePath2(pbName != nullptr ? pbName : abNone);
    }
}

void ResetMap(PORT_LOOP* ps) {
    ps->sMap.abMap[0] = 0;
    std::memset(ps->sMap.abMap + 1, 0xFF, sizeof ps->sMap.abMap - 1);
}

}  // namespace

uint8_t bAlpaToLoopId(uint8_t bAlpa) { return ALPA_TO_LOOP_ID[bAlpa]; }

uint8_t fLoopIdToAlpa(uint8_t bLoopId, uint8_t* pbAlpa) {
    if (bLoopId >= LOOP_IDS) return FALSE;
    *pbAlpa = FC_AL_LOOP_ID_TO_ALPA[bLoopId];
    return TRUE;
}

void InitLoopMaps() {
    for (PORT_LOOP& s : s_asPort) {
        ResetMap(&s);
        s.bState = 0;
        s.bOwnLoopId = NO_LOOP_ID;
        s.bOwnAlpa = 0;
        s.wTopology = 0;
        s.dOwnPortId = 0;
    }
}

// The drive-loop ports also look for the partner controller on the loop:
// its drive-side port, known by the name the partner's slot gives it.
uint8_t BuildLoopPositionMap(uint8_t bPort) {
    if (!IsPort(bPort)) return 0;
    PORT_LOOP* ps = &s_asPort[bPort - 1];
    // The partner's view of a path belongs to the drive side that serves
    // it: a board without the loop chip keeps it as its SAS side found it.
    const bool fDrivePort = bPort >= 3 && fIsChipPresent(bPort) == TRUE;
    if (fDrivePort) SetPartnerOnPath(bPort, FALSE, 0xFF, nullptr);
    ResetMap(ps);
    ps->bOwnLoopId = NO_LOOP_ID;
    ps->bState = 0;
    uint16_t wState = 0;
    if (fIsChipPresent(bPort) != TRUE || bGetFirmwareState(bPort, &wState) != STATUS_OK ||
        wState != ISP_FW_STATE_READY || ReadLoopPositionMap(bPort) != STATUS_OK) {
        return 0;
    }
    ps->bState = PORT_LOOP_STATE_VALID;
    if (!fDrivePort) return STATUS_OK;
    uint8_t abPartner[8];
    PartnerDrivePortName(bPort, abPartner);
    const uint8_t bCount = ps->sMap.abMap[0];
    for (uint16_t wPos = 1; wPos <= bCount && wPos < sizeof ps->sMap.abMap; ++wPos) {
        const uint8_t bAlpa = ps->sMap.abMap[wPos];
        if (bAlpa == 0xFF || bAlpa == ps->bOwnAlpa) continue;
        uint8_t abNode[8], abPortName[8], bOptions = 0, bHard = 0;
        if (bGetPortDatabaseByAlpa(bPort, bAlpa, abNode, abPortName, &bOptions, &bHard) != STATUS_OK) continue;
        if (fIsNonZeroWwn(abNode) == TRUE && std::memcmp(abNode, abPartner, 8) == 0 &&
            (bOptions & PORT_DATABASE_FCP_INITIATOR) != 0) {
            SetPartnerOnPath(bPort, TRUE, bAlpa, abPartner);
            return STATUS_OK;
        }
    }
    return STATUS_OK;
}

// The partner's drive-side port name: 20 00 00 E0 8B 00 14 xx, xx by its
// slot (the other one than ours) and the loop.
void PartnerDrivePortName(uint8_t bPort, uint8_t* pbName) {
    static const uint8_t kabPrefix[7] = {0x20, 0x00, 0x00, 0xE0, 0x8B, 0x00, 0x14};
    std::memcpy(pbName, kabPrefix, sizeof kabPrefix);
    if (fIsControllerSlot1() == TRUE) {
        pbName[7] = bPort == 3 ? 0x66 : 0x68;
    } else {
        pbName[7] = bPort == 3 ? 0x65 : 0x67;
    }
}

// What the configuration's drive-loop scan asks of one device: its node
// name as the drive's WWN and the PRLI options (bit 5: an FCP initiator,
// not a drive).
uint8_t bGetPortDatabase(uint8_t bPort, uint8_t bAlpa, uint8_t* pbFlags, uint8_t* pbWwn) {
    uint8_t abPortName[8], bHard = 0;
    return bGetPortDatabaseByAlpa(bPort, bAlpa, pbWwn, abPortName, pbFlags, &bHard);
}

// A loop has a position map; a point-to-point or fabric link has none and
// still counts as read.
uint8_t ReadLoopPositionMap(uint8_t bPort) {
    if (!IsPort(bPort)) return 0;
    PORT_LOOP* ps = &s_asPort[bPort - 1];
    uint8_t bAlpa = 0;
    uint32_t dPortId = 0;
    uint16_t wTopology = 0;
    if (bQLGetLoopId(bPort, &bAlpa, &dPortId, &wTopology) != STATUS_OK) return 0;
    ps->wTopology = wTopology;
    ps->dOwnPortId = dPortId;
    ps->bOwnAlpa = bAlpa;
    if (wTopology < ISP_TOPOLOGY_POINT_TO_POINT && bQLGetLoopPositionMap(bPort, ps->sMap.abMap) != STATUS_OK) return 0;
    // The count byte is the chip's: the map holds 127 AL_PAs at most, and
    // every walk of it counts its positions in a byte.
    if (ps->sMap.abMap[0] > LOOP_MAP_POSITIONS) ps->sMap.abMap[0] = LOOP_MAP_POSITIONS;
    ps->bOwnLoopId = bAlpaToLoopId(bAlpa);
    return STATUS_OK;
}

uint8_t bGetLoopMapCount(uint8_t bPort) { return IsPort(bPort) ? s_asPort[bPort - 1].sMap.abMap[0] : 0; }

uint8_t bGetLoopMapAlpa(uint8_t bPort, uint8_t bPosition) {
    if (!IsPort(bPort) || bPosition >= sizeof(LOOP_POSITION_MAP)) return 0xFF;
    return s_asPort[bPort - 1].sMap.abMap[bPosition];
}

void SetLoopMapAlpa(uint8_t bPort, uint8_t bPosition, uint8_t bAlpa) {
    if (IsPort(bPort) && bPosition < sizeof(LOOP_POSITION_MAP)) s_asPort[bPort - 1].sMap.abMap[bPosition] = bAlpa;
}

uint8_t bGetOwnLoopId(uint8_t bPort) { return IsPort(bPort) ? s_asPort[bPort - 1].bOwnLoopId : NO_LOOP_ID; }
uint8_t bGetOwnAlpa(uint8_t bPort) { return IsPort(bPort) ? s_asPort[bPort - 1].bOwnAlpa : 0; }
uint16_t wGetPortTopology(uint8_t bPort) { return IsPort(bPort) ? s_asPort[bPort - 1].wTopology : 0; }
uint32_t dGetOwnPortId(uint8_t bPort) { return IsPort(bPort) ? s_asPort[bPort - 1].dOwnPortId : 0; }

uint8_t bGetPortLoopState(uint8_t bPort) { return IsPort(bPort) ? s_asPort[bPort - 1].bState : 0; }

void SetPortLoopState(uint8_t bPort, uint8_t bValue) {
    if (IsPort(bPort)) s_asPort[bPort - 1].bState = bValue;
}

uint8_t bGetPortDatabaseByAlpa(uint8_t bChip, uint8_t bAlpa, uint8_t* pbNodeName, uint8_t* pbPortName,
                               uint8_t* pbOptions, uint8_t* pbHardLoopId) {
    uint8_t abDatabase[QL_PORT_DATABASE_BYTES];
    uint16_t wFlags = 0;
    uint8_t bHardAddress = 0;
    // The drive-loop chips are ISP2x00 whatever generation the host chips are.
    if (fIsQL24xx() == TRUE && bChip <= 2) {
        uint16_t wHandle = 0;
        const uint8_t bLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
        const uint8_t bFound = bLookupHandleByPortId(bChip, bAlpa, &wHandle);
        if (bLock != STATUS_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
        if (bFound != STATUS_OK || bQLGetPortDatabaseById(bChip, wHandle, abDatabase) != STATUS_OK) return 0;
        ISP24_PORT_DATABASE s;
        std::memcpy(&s, abDatabase, sizeof s);
        std::memcpy(pbPortName, s.abPortName, 8);
        std::memcpy(pbNodeName, s.abNodeName, 8);
        *pbOptions = s.bPrliOptions;
        wFlags = s.wFlags;
        bHardAddress = s.bHardAddress;
    } else {
        if (bQLGetPortDatabase(bChip, bAlpa, abDatabase) != STATUS_OK) return 0;
        std::memcpy(pbNodeName, abDatabase + 12, 8);
        std::memcpy(pbPortName, abDatabase + 20, 8);
        *pbOptions = abDatabase[78];
        std::memcpy(&wFlags, abDatabase, 2);
        bHardAddress = abDatabase[6];
    }
    *pbHardLoopId = (wFlags & PORT_DATABASE_HARD_ADDRESS_VALID) && bHardAddress != 0 ? bAlpaToLoopId(bHardAddress)
                                                                                     : NO_LOOP_ID;
    return STATUS_OK;
}

uint8_t bGetPortPrliOptions(uint8_t bChip, uint8_t bAlpa, uint8_t* pbOptions) {
    uint8_t abNode[8], abPort[8], bHard = 0;
    return bGetPortDatabaseByAlpa(bChip, bAlpa, abNode, abPort, pbOptions, &bHard);
}

}  // namespace fw
