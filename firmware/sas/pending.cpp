// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "sas/sas_drive.h"
#include "config/drive_tables.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "platform/internal_command_path.h"
#include "sas/link_diagnostics.h"
#include "sas/partner_traffic.h"
#include "sas/sas_device_list.h"
#include "sas/sas_scsi_path.h"

namespace fw {

// The expander and drive link counters and the AA mux loopback: no
// counter pages and no loopback driver yet, so nothing to show and every
// request refused.
void ShowExpanderCounters() {}
void ShowSasDriveCounters() {}
uint8_t bSetAAMuxFarEndLoopback(uint8_t, uint8_t, uint8_t, uint8_t) { return AA_MUX_INVALID_REQUEST; }

void SetMuxHousekeepingRequest(uint8_t) {}
void ResetSasStartFlags() {}

void SetSASDeviceTableFlag(uint8_t, uint16_t, uint8_t) {}
// Stand-ins for the tick and stop paths.
void SasHalfSecondService() {}
void DisableSasExpanders(uint8_t) {}

void SasMuxService() { SetSasMuxWork(FALSE); }
uint8_t fGetMuxHousekeepingRequest() { return FALSE; }
void MuxHousekeepingService() {}

uint8_t bGetSASTargetPortStatus(uint8_t) { return 0xF0; }

// Nothing suspends or inhibits discovery yet: no service of the
// active-active code sets either.
uint8_t fIsSASDiscoverySuspended() { return FALSE; }
uint8_t fIsSASDiscoveryInhibited() { return FALSE; }
uint8_t fDoesSASActiveActiveObjectToNewEnclosure() { return FALSE; }
void NotifySASExpanderListChanged() {}
uint32_t dGetSASInvalidCrcCount() { return 0; }

}  // namespace fw
