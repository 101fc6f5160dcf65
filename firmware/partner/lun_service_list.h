// The LUN service-time list: each LUN left without outstanding reads and
// writes is serviced 5 s later, and the partner is told (message 50) when it
// is still idle then.
#pragma once

#include <cstdint>

namespace fw {

void InitLunServiceList();
// After a read or write left the LUN's outstanding queue: its service moves
// to 5 s from now.
void ScheduleLunService(uint16_t wLun);
// The earliest service time in milliseconds (all ones: none), for the tick.
uint64_t GetLunServiceEarliest();
// TRUE from the tick once the earliest time has passed; the background pass
// then runs ServiceLunList.
void SetLunServiceDue(uint8_t f);
uint8_t fIsLunServiceDue();
void ServiceLunList();
// Bit 2 prints the list on the next service.
uint32_t GetLunServiceDebugBits();
void SetLunServiceDebugBits(uint32_t dBits);

}  // namespace fw
