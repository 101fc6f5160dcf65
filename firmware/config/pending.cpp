// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include <cstring>

#include "config/apply_settings.h"
#include "config/config_db.h"
#include "config/config_state.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "executive/date_time.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/types.h"
#include "enclosure/drive_rescan.h"
#include "fc/fc_driver.h"

namespace fw {

void CheckOnDiskHeaders() {}
uint8_t bSetUpConfigUpgradeTable() { return STATUS_OK; }


namespace {
uint8_t s_bCacheSetting20d = FALSE;
}  // namespace
uint8_t bGetCacheSetting20d() { return s_bCacheSetting20d; }
void SetCacheSetting20d(uint8_t b) { s_bCacheSetting20d = b; }

namespace {
uint8_t s_bCacheOrdering = FALSE;
uint8_t s_fSecondClustering = TRUE;
uint8_t s_fAgingPriority = FALSE;
uint8_t s_fRankQueueLimit = FALSE;
uint8_t s_fHoldSetting = FALSE;
}  // namespace
uint8_t bGetCacheOrderingSetting() { return s_bCacheOrdering; }
uint8_t fGetSecondClusteringSetting() { return s_fSecondClustering; }
uint8_t fGetAgingPrioritySetting() { return s_fAgingPriority; }
uint8_t fGetRankQueueLimitSetting() { return s_fRankQueueLimit; }
uint8_t fGetHoldSetting() { return s_fHoldSetting; }
// No setting holds a drive loop yet.
uint8_t fGetDriveLoopHoldSetting(uint8_t) { return FALSE; }
void SetCacheOrderingSetting(uint8_t b) { s_bCacheOrdering = b; }
void SetSecondClusteringSetting(uint8_t f) { s_fSecondClustering = f; }
void SetAgingPrioritySetting(uint8_t f) { s_fAgingPriority = f; }
void SetRankQueueLimitSetting(uint8_t f) { s_fRankQueueLimit = f; }
void SetHoldSetting(uint8_t f) { s_fHoldSetting = f; }
uint8_t fGetRankStreamingReadAhead(uint8_t) { return FALSE; }

namespace {
uint8_t s_fHoldFullRowDataWrites = FALSE;
}  // namespace
uint8_t fGetHoldFullRowDataWrites() { return s_fHoldFullRowDataWrites; }
void SetHoldFullRowDataWrites(uint8_t f) { s_fHoldFullRowDataWrites = f; }

}  // namespace fw
