// What this controller knows of its partner: where it is reachable on the
// drive side, whether the dual-controller link is valid and the partner
// alive, and the master role.
#pragma once

#include <cstdint>

#include "partner/partner_link.h"

namespace fw {

struct PARTNER_STATE {
    uint64_t lLastHeartbeat;         // millisecond tick; 0 never seen
    uint64_t lLatencySum;
    uint32_t dLatencyChecks;
    uint32_t dLatencyMax;
    uint32_t dTimelyChecks;
    uint8_t fDualStart;
    uint8_t fHeartbeatRequest;
    uint8_t afOnPath[2];
    uint8_t abTarget[2];             // the partner's target id on each path, 0xFF none
    uint8_t aabPortName[2][8];
    uint8_t abNodeName[8];
    uint8_t fDualControllerValid;
    uint8_t fPartnerAlive;
    uint8_t fCommandInProgress;
    uint8_t fPartnerMissing;
    uint64_t lLastCheckCondition;
};

constexpr uint8_t HEARTBEAT_WINDOWS = 5;
// The partner's heartbeat interrupts: their count, the last pulse seen, the
// latest and largest gap, and pulses per one-second window.
struct HEARTBEAT_STATS {
    uint32_t dInterrupts;
    uint64_t lLastSeen;
    uint32_t dLatestGap;
    uint32_t dLargestGap;
    uint32_t adWindow[HEARTBEAT_WINDOWS];
    uint8_t bWindow;
    uint64_t lWindowEnd;
};

const PARTNER_STATE& sGetPartnerState();
const HEARTBEAT_STATS& sGetHeartbeatStats();
void InitPartnerHeartbeatStats();
// The stats display starts a new latency measurement and gap.
void ResetHeartbeatMeasurements();
void ResetLargestHeartbeatGap();
// TRUE when each of the newest n one-second windows held about as many
// pulses as the newest (within 10), with their sum.
uint8_t fIsPartnerHeartbeatSteady(uint8_t bWindows, uint32_t* pdSum);
void InitPartnerState();
void SetPartnerOnPath1(uint8_t f);
void SetPartnerOnPath2(uint8_t f);
void SetPartnerAlpaPath1(uint8_t b);
void SetPartnerAlpaPath2(uint8_t b);
void SetPartnerPortNamePath1(const uint8_t* pbName);
void SetPartnerPortNamePath2(const uint8_t* pbName);
void GetPartnerNodeName(uint8_t* pbName);
void SetPartnerNodeName(const uint8_t* pbName);
void RecordPartnerCheckConditionTick(uint64_t lTick);

}  // namespace fw
