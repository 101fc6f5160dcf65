#include "fc/ql_handle_map.h"

#include "executive/types.h"

namespace fw {

namespace {

struct HANDLE_MAPPING {
    uint32_t dPortId;
    uint16_t wHandle;
};

HANDLE_MAPPING s_aasMap[2][HANDLE_MAP_ENTRIES];

HANDLE_MAPPING* psTable(uint8_t bChip) { return s_aasMap[bChip == 1 ? 0 : 1]; }

bool IsFree(const HANDLE_MAPPING& s) { return s.dPortId == HANDLE_MAP_FREE_PORT_ID && s.wHandle == HANDLE_MAP_FREE_HANDLE; }

}  // namespace

void ClearHandleMap(uint8_t bChip) {
    HANDLE_MAPPING* ps = psTable(bChip);
    for (uint16_t i = 0; i < HANDLE_MAP_ENTRIES; ++i) ps[i] = HANDLE_MAPPING{HANDLE_MAP_FREE_PORT_ID, HANDLE_MAP_FREE_HANDLE};
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
        if (s.dPortId == dPortId) {
            s.wHandle = wHandle;
            return STATUS_OK;
        }
        if (s.wHandle == wHandle) {
            s.dPortId = dPortId;
            return STATUS_OK;
        }
    }
    if (psFree == nullptr) return 0;
    *psFree = HANDLE_MAPPING{dPortId, wHandle};
    return STATUS_OK;
}

uint8_t bRemoveHandleMapping(uint8_t bChip, uint32_t dPortId, uint16_t wHandle) {
    HANDLE_MAPPING* ps = psTable(bChip);
    for (uint16_t i = 0; i < HANDLE_MAP_ENTRIES; ++i) {
        if (ps[i].dPortId == dPortId && ps[i].wHandle == wHandle) {
            ps[i] = HANDLE_MAPPING{HANDLE_MAP_FREE_PORT_ID, HANDLE_MAP_FREE_HANDLE};
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

}  // namespace fw
