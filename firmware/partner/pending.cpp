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

// The half-second tick raises a deadline flag once the link's deadline has
// passed; the link keeps no deadline of its own yet, so it never passes.
uint64_t lGetPartnerDeadline() { return UINT64_MAX; }
void SetPartnerDeadlineFlag(uint8_t) {}

// The background pass runs these when their work is raised; the link has
// no host-target or housekeeping work of its own yet.
void PartnerHostTargetService() {}
uint8_t fGetPartnerHousekeepingRequest() { return FALSE; }
void PartnerHousekeepingService() {}

// No host command takes the partner-data type yet, so no data of one
// arrives.
uint8_t bPartnerCommandData(KERNEL_ENTRY*) { return STATUS_OK; }

// An answered reservation attention is cleared here only: no message yet
// carries the clearing to the partner's table.
uint8_t bSendPrAttentionClearMessage(const uint8_t*, uint8_t, uint8_t, uint16_t) { return STATUS_OK; }

}  // namespace fw
