// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "partner/partner_state.h"
#include "sas/active_active.h"
#include "cache/cache.h"
#include "cache/outstanding_queues.h"
#include "executive/types.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/persistent_reservations.h"
#include "target/scsi2_reservations.h"

namespace fw {

namespace {
uint8_t s_fPartnerDumpFlag = FALSE;
}  // namespace
uint8_t fGetPartnerDumpFlag() { return s_fPartnerDumpFlag; }
void SetPartnerDumpFlag(uint8_t f) { s_fPartnerDumpFlag = f; }

// Stand-ins for the tick, board state and stop paths.
uint64_t lGetPartnerDeadline() { return UINT64_MAX; }
void SetPartnerDeadlineFlag(uint8_t) {}

void PartnerHostTargetService() {}
uint8_t fGetPartnerHousekeepingRequest() { return FALSE; }
void PartnerHousekeepingService() {}

void NotifyPartnerHostPortChange(uint8_t) {}

uint8_t bPartnerCommandData(KERNEL_ENTRY*) { return STATUS_OK; }

uint8_t bSendPrAttentionClearMessage(const uint8_t*, uint8_t, uint8_t, uint16_t) { return STATUS_OK; }
uint8_t bAskPartnerManagement(uint8_t, const uint8_t*) { return STATUS_RETRY; }

}  // namespace fw
