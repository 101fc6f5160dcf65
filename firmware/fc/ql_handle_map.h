// The host-port handle map: the ISP24xx firmware names each logged-in
// initiator by a 16-bit N_Port handle, the driver knows it by its 24-bit
// Fibre Channel port id.  512 entries per host chip; an entry is free when
// both fields are all ones.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint16_t HANDLE_MAP_ENTRIES = 512;
constexpr uint32_t HANDLE_MAP_FREE_PORT_ID = 0xFFFFFFFF;
constexpr uint16_t HANDLE_MAP_FREE_HANDLE = 0xFFFF;

// Chip 1 selects chip 1's table; any other number chip 2's.
void ClearHandleMap(uint8_t bChip);
uint8_t bAddHandleMapping(uint8_t bChip, uint32_t dPortId, uint16_t wHandle);
uint8_t bRemoveHandleMapping(uint8_t bChip, uint32_t dPortId, uint16_t wHandle);
uint8_t bLookupHandleByPortId(uint8_t bChip, uint32_t dPortId, uint16_t* pwHandle);
uint8_t bLookupPortIdByHandle(uint8_t bChip, uint32_t* pdPortId, uint16_t wHandle);

// Each login a handle stands for has a number of its own: a new login of
// the handle or of its port id (a PLOGI, a PRLI the map did not know) gets
// a new one.  Fills the logins of handles 0 to wCount - 1, by handle; a
// handle nobody holds has the port id HANDLE_MAP_FREE_PORT_ID.
struct HANDLE_LOGIN {
    uint32_t dPortId;
    uint32_t dLogin;
};
void GetHandleLogins(uint8_t bChip, uint16_t wCount, HANDLE_LOGIN* pasLogins);

}  // namespace fw
