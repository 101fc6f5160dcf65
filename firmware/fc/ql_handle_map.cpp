#include "fc/ql_handle_map.h"

#include "executive/types.h"

namespace fw {

namespace {

struct HANDLE_MAPPING {
    uint32_t dPortId;
    uint16_t wHandle;
    uint32_t dLogin;
};

HANDLE_MAPPING s_aasMap[2][HANDLE_MAP_ENTRIES];
uint32_t s_dLogins = 0;

HANDLE_MAPPING* psTable(uint8_t bChip) { return s_aasMap[bChip == 1 ? 0 : 1]; }

bool IsFree(const HANDLE_MAPPING& s) { return s.dPortId == HANDLE_MAP_FREE_PORT_ID && s.wHandle == HANDLE_MAP_FREE_HANDLE; }

}  // namespace

void ClearHandleMap(uint8_t bChip) {
    HANDLE_MAPPING* ps = psTable(bChip);
    for (uint16_t i = 0; i < HANDLE_MAP_ENTRIES; ++i) ps[i] = HANDLE_MAPPING{HANDLE_MAP_FREE_PORT_ID, HANDLE_MAP_FREE_HANDLE, 0};
}

// A port id seen again with a new handle, or a handle given to a new port
// id, is updated in place.
uint8_t bAddHandleMapping(uint8_t bChip, uint32_t dPortId, uint16_t wHandle) {
    HANDLE_MAPPING* ps = psTable(bChip);
    HANDLE_MAPPING* psFree = nullptr;
    for (uint16_t i = 0; i < HANDLE_MAP_ENTRIES; ++i) {
        HANDLE_MAPPING& s = ps[i];
        if (IsFree(s)) {
            if (psFree == nullptr) psFree = &s;
            continue;
        }
        if (s.dPortId == dPortId || s.wHandle == wHandle) {
            s.dPortId = dPortId;
            s.wHandle = wHandle;
            s.dLogin = ++s_dLogins;
            return STATUS_OK;
        }
    }
    if (psFree == nullptr) return 0;
    *psFree = HANDLE_MAPPING{dPortId, wHandle, ++s_dLogins};
    return STATUS_OK;
}

uint8_t bRemoveHandleMapping(uint8_t bChip, uint32_t dPortId, uint16_t wHandle) {
    HANDLE_MAPPING* ps = psTable(bChip);
    for (uint16_t i = 0; i < HANDLE_MAP_ENTRIES; ++i) {
        if (ps[i].dPortId == dPortId && ps[i].wHandle == wHandle) {
            ps[i] = HANDLE_MAPPING{HANDLE_MAP_FREE_PORT_ID, HANDLE_MAP_FREE_HANDLE, 0};
            return STATUS_OK;
        }
    }
    return 0;
}

uint8_t bLookupHandleByPortId(uint8_t bChip, uint32_t dPortId, uint16_t* pwHandle) {
    const HANDLE_MAPPING* ps = psTable(bChip);
    for (uint16_t i = 0; i < HANDLE_MAP_ENTRIES; ++i) {
        if (!IsFree(ps[i]) && ps[i].dPortId == dPortId) {
            *pwHandle = ps[i].wHandle;
            return STATUS_OK;
        }
    }
    return 0;
}

uint8_t bLookupPortIdByHandle(uint8_t bChip, uint32_t* pdPortId, uint16_t wHandle) {
    const HANDLE_MAPPING* ps = psTable(bChip);
    for (uint16_t i = 0; i < HANDLE_MAP_ENTRIES; ++i) {
        if (!IsFree(ps[i]) && ps[i].wHandle == wHandle) {
            *pdPortId = ps[i].dPortId;
            return STATUS_OK;
        }
    }
    return 0;
}

void GetHandleLogins(uint8_t bChip, uint16_t wCount, HANDLE_LOGIN* pasLogins) {
    for (uint16_t w = 0; w < wCount; ++w) pasLogins[w] = HANDLE_LOGIN{HANDLE_MAP_FREE_PORT_ID, 0};
    const HANDLE_MAPPING* ps = psTable(bChip);
    // The first entry of a handle counts, as for bLookupPortIdByHandle.
    for (uint16_t i = 0; i < HANDLE_MAP_ENTRIES; ++i) {
        if (IsFree(ps[i]) || ps[i].wHandle >= wCount) continue;
        HANDLE_LOGIN& s = pasLogins[ps[i].wHandle];
        if (s.dPortId == HANDLE_MAP_FREE_PORT_ID) s = HANDLE_LOGIN{ps[i].dPortId, ps[i].dLogin};
    }
}

}  // namespace fw
