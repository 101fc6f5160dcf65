// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "partner/partner_link.h"
#include "executive/types.h"

namespace fw {

uint8_t DualControllerTask() { return STATUS_OK; }
void InitDualControllerManager() {}
namespace {
uint8_t s_fIsPartnerAlive = FALSE;
}  // namespace
void SetPartnerAlive(uint8_t f) { s_fIsPartnerAlive = f; }
uint8_t fIsPartnerAlive() { return s_fIsPartnerAlive; }
namespace {
uint8_t s_fIsDualControllerActive = FALSE;
}  // namespace
void SetDualControllerValid(uint8_t f) { s_fIsDualControllerActive = f; }
uint8_t fIsDualControllerActive() { return s_fIsDualControllerActive; }
namespace {
uint8_t s_fGetDualStartFlag = FALSE;
}  // namespace
void SetDualStartFlag(uint8_t f) { s_fGetDualStartFlag = f; }
uint8_t fGetDualStartFlag() { return s_fGetDualStartFlag; }
namespace {
uint8_t s_fGetHeartbeatRequestFlag = FALSE;
}  // namespace
void SetHeartbeatRequestFlag(uint8_t f) { s_fGetHeartbeatRequestFlag = f; }
uint8_t fGetHeartbeatRequestFlag() { return s_fGetHeartbeatRequestFlag; }
uint8_t fIsPartnerOnPath1() { return FALSE; }
uint8_t fIsPartnerOnPath2() { return FALSE; }
uint8_t fIsPartnerInitialized() { return FALSE; }
void PreparePartnerJoin() {}
uint8_t bPingPartnerSync() { return STATUS_OK; }
void ReadPartnerStartOfDayData() {}
uint8_t bSendSasPhyMessage157(uint8_t) { return STATUS_OK; }
uint8_t bSendSasPhyMessage190(uint8_t) { return STATUS_OK; }
void SendStartOfDayWordToPartner(uint32_t) {}
uint8_t bUpdatePartnerMissingIndicator() { return STATUS_OK; }
void ResetPartnerStartFlags() {}

// Stand-ins for the tick, board state and stop paths.
void CheckPartnerWatchdog() {}
uint64_t lGetPartnerDeadline() { return UINT64_MAX; }
void SetPartnerDeadlineFlag(uint8_t) {}
uint16_t wGetPartnerVersionWord() { return 0; }
uint16_t wGetControllerInfoVersionWord() { return 0; }
uint8_t bGetControllerInfoVersionByte() { return 0; }
uint8_t bGetControllerInfoBoardByte() { return 0; }
void SendPartnerVersionNotice() {}
uint8_t fIsMasterController() { return TRUE; }
uint8_t fSendShutdownToPartner(uint8_t) { return STATUS_OK; }

uint8_t fGetDualControllerWorkFlag() { return FALSE; }
void DualControllerWork() {}
void SendTimeOfDayToPartner(uint8_t, uint8_t) {}
void PartnerHostTargetService() {}
uint8_t fGetPartnerHousekeepingRequest() { return FALSE; }
void PartnerHousekeepingService() {}
void PartnerHeartbeatInterrupt(uint8_t) {}
void DualControllerWatchdogPulse() {}

void NotifyPartnerHostPortChange(uint8_t) {}

}  // namespace fw
