// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.  They are the drive-loop
// half of the driver.
#include "executive/types.h"
#include "fc/fc_driver.h"

namespace fw {

void InitLoopPortTables() {}
void SetFcScanFlag(uint8_t) {}

uint8_t fGetLoopTableRequest() { return FALSE; }
void LoopTableService() {}
uint16_t wGetJournalDrainAllowance() { return 0; }

}  // namespace fw
