#include "partner/partner_state.h"

#include <cstring>

#include "cache/stripe_access.h"
#include "executive/system_state.h"
#include "executive/types.h"

namespace fw {

namespace {

PARTNER_STATE s_sPartner;

}  // namespace

const PARTNER_STATE& sGetPartnerState() { return s_sPartner; }

void InitPartnerState() {
    std::memset(&s_sPartner, 0, sizeof s_sPartner);
    s_sPartner.fDualStart = s_sPartner.fHeartbeatRequest = FALSE;
    s_sPartner.afOnPath[0] = s_sPartner.afOnPath[1] = FALSE;
    s_sPartner.abTarget[0] = s_sPartner.abTarget[1] = 0xFF;
    std::memset(s_sPartner.aabPortName, 0xFF, sizeof s_sPartner.aabPortName);
    std::memset(s_sPartner.abNodeName, 0xFF, sizeof s_sPartner.abNodeName);
    s_sPartner.fDualControllerValid = s_sPartner.fPartnerAlive = FALSE;
    s_sPartner.fCommandInProgress = s_sPartner.fPartnerMissing = FALSE;
}

void SetPartnerAlive(uint8_t f) { s_sPartner.fPartnerAlive = f; }
uint8_t fIsPartnerAlive() { return s_sPartner.fPartnerAlive; }

// Without a valid link this controller is master of every LUN: nothing to
// ask a partner.
void SetDualControllerValid(uint8_t f) {
    if (f != TRUE) SetLunMasterFlags(TRUE);
    s_sPartner.fDualControllerValid = f;
}

uint8_t fIsDualControllerActive() {
    return ToFlag(s_sPartner.fDualControllerValid == TRUE &&
                  (s_sPartner.afOnPath[0] == TRUE || s_sPartner.afOnPath[1] == TRUE));
}

uint8_t fIsMasterController() { return ToFlag(fIsDualControllerActive() != TRUE || fIsControllerSlot1() == TRUE); }

void SetDualStartFlag(uint8_t f) { s_sPartner.fDualStart = f; }
uint8_t fGetDualStartFlag() { return s_sPartner.fDualStart; }
void SetHeartbeatRequestFlag(uint8_t f) { s_sPartner.fHeartbeatRequest = f; }
uint8_t fGetHeartbeatRequestFlag() { return s_sPartner.fHeartbeatRequest; }
void SetPartnerOnPath1(uint8_t f) { s_sPartner.afOnPath[0] = f; }
void SetPartnerOnPath2(uint8_t f) { s_sPartner.afOnPath[1] = f; }
uint8_t fIsPartnerOnPath1() { return s_sPartner.afOnPath[0]; }
uint8_t fIsPartnerOnPath2() { return s_sPartner.afOnPath[1]; }
void SetPartnerAlpaPath1(uint8_t b) { s_sPartner.abTarget[0] = b; }
void SetPartnerAlpaPath2(uint8_t b) { s_sPartner.abTarget[1] = b; }
uint8_t bGetPartnerAlpaPath1() { return s_sPartner.abTarget[0]; }
uint8_t bGetPartnerAlpaPath2() { return s_sPartner.abTarget[1]; }
void SetPartnerPortNamePath1(const uint8_t* pbName) { std::memcpy(s_sPartner.aabPortName[0], pbName, 8); }
void SetPartnerPortNamePath2(const uint8_t* pbName) { std::memcpy(s_sPartner.aabPortName[1], pbName, 8); }
void GetPartnerNodeName(uint8_t* pbName) { std::memcpy(pbName, s_sPartner.abNodeName, 8); }
void SetPartnerNodeName(const uint8_t* pbName) { std::memcpy(s_sPartner.abNodeName, pbName, 8); }
void RecordPartnerCheckConditionTick(uint64_t lTick) { s_sPartner.lLastCheckCondition = lTick; }

// The drive side found the partner's IOC port of a path (or lost it); its
// SAS address stands as the port's name, most significant byte first.
void SetPartnerDrivePath(uint8_t bPath, uint8_t fPresent, uint8_t bTarget, const uint32_t* pdSASAddress) {
    if (bPath < 1 || bPath > 2) return;
    const uint8_t i = static_cast<uint8_t>(bPath - 1);
    s_sPartner.afOnPath[i] = fPresent == TRUE && bTarget != 0xFF ? TRUE : FALSE;
    s_sPartner.abTarget[i] = s_sPartner.afOnPath[i] == TRUE ? bTarget : 0xFF;
    for (uint8_t k = 0; k < 4; ++k) {
        s_sPartner.aabPortName[i][k] = static_cast<uint8_t>(pdSASAddress[1] >> (24 - 8 * k));
        s_sPartner.aabPortName[i][4 + k] = static_cast<uint8_t>(pdSASAddress[0] >> (24 - 8 * k));
    }
}

}  // namespace fw
