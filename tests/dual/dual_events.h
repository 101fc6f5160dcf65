// The event logs of the two controllers of a pair, counted by code (with
// its first argument, and the slot at argument 2, when given).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "eventlog/event_log.h"

namespace fw_b {
using fw::EVENT_LOG_ENTRY;
void GetEventLogPosition(uint16_t* pwCount, uint16_t* pwNext);
const EVENT_LOG_ENTRY* psGetEventLogEntry(uint16_t wIndex);
}  // namespace fw_b

namespace dual {

inline uint16_t CountEvents(void (*pfnPosition)(uint16_t*, uint16_t*),
                            const fw::EVENT_LOG_ENTRY* (*pfnEntry)(uint16_t), uint8_t bCode, int iArg0 = -1,
                            int iSlot = -1) {
    uint16_t wCount = 0, wNext = 0, n = 0;
    pfnPosition(&wCount, &wNext);
    for (uint16_t w = 0; w < wCount; ++w) {
        const fw::EVENT_LOG_ENTRY* pe = pfnEntry(w);
        n += pe->bCode == bCode && (iArg0 < 0 || pe->abArgs[0] == iArg0) && (iSlot < 0 || pe->abArgs[2] == iSlot);
    }
    return n;
}
// The codes of a controller's log that are among those given, in order.
inline std::vector<uint8_t> EventSequence(void (*pfnPosition)(uint16_t*, uint16_t*),
                                          const fw::EVENT_LOG_ENTRY* (*pfnEntry)(uint16_t),
                                          std::initializer_list<uint8_t> abCodes) {
    std::vector<uint8_t> ab;
    uint16_t wCount = 0, wNext = 0;
    pfnPosition(&wCount, &wNext);
    for (uint16_t w = 0; w < wCount; ++w) {
        const uint8_t bCode = pfnEntry(w)->bCode;
        for (uint8_t b : abCodes) {
            if (b == bCode) ab.push_back(bCode);
        }
    }
    return ab;
}
inline std::vector<uint8_t> EventSequenceOf(bool fB, std::initializer_list<uint8_t> abCodes) {
    return fB ? EventSequence(fw_b::GetEventLogPosition, fw_b::psGetEventLogEntry, abCodes)
              : EventSequence(fw::GetEventLogPosition, fw::psGetEventLogEntry, abCodes);
}
inline uint16_t EventsOfA(uint8_t bCode, int iArg0 = -1, int iSlot = -1) {
    return CountEvents(fw::GetEventLogPosition, fw::psGetEventLogEntry, bCode, iArg0, iSlot);
}
inline uint16_t EventsOfB(uint8_t bCode, int iArg0 = -1, int iSlot = -1) {
    return CountEvents(fw_b::GetEventLogPosition, fw_b::psGetEventLogEntry, bCode, iArg0, iSlot);
}

}  // namespace dual
