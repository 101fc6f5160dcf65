// Configuration database services the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_phase.h"
#include "config/io_quiesce.h"
#include "config/ld_operations.h"

namespace fw {

struct CONFIG_IMAGE;
struct KERNEL_ENTRY;

// The start-of-day load (config_load.h) and the stored-copy header check.
void CheckOnDiskHeaders();
void SetConfigImageBuffers(uint8_t* pLive, uint8_t* pScratch, uint8_t* pWork);
uint8_t bSetUpConfigUpgradeTable();

// Used by the system tick and the stop paths of the executive.
uint8_t fGetConfiguredControllerWwn(uint8_t* pbWwn);   // TRUE when the live image carries one

// Stored setting of the parity writes: the data writes of a full row wait
// for its parity.
uint8_t fGetHoldFullRowDataWrites();
void SetHoldFullRowDataWrites(uint8_t f);

// Internal drive commands of the phases: control flags and command types.
constexpr uint16_t DRIVE_COMMAND_NO_DATA = 0x08;
constexpr uint16_t DRIVE_COMMAND_DATA_IN = 0x28;
constexpr uint16_t DRIVE_COMMAND_DATA_OUT = 0x48;
constexpr uint8_t DRIVE_COMMAND_TYPE_WRITE = 1;
constexpr uint8_t DRIVE_COMMAND_TYPE_READ = 2;
constexpr uint8_t DRIVE_COMMAND_TYPE_READ_CAPACITY = 3;
constexpr uint8_t DRIVE_COMMAND_TYPE_INQUIRY = 4;
constexpr uint8_t DRIVE_COMMAND_TYPE_START_UNIT = 5;
constexpr uint8_t DRIVE_COMMAND_TYPE_TEST_UNIT_READY = 6;
constexpr uint8_t DRIVE_COMMAND_TYPE_MODE_PAGES = 8;
constexpr uint8_t DRIVE_COMMAND_TYPE_SEND_DIAGNOSTIC = 0x52;
// Fills an internal drive command for a path (3 and 4 the drive loops, by
// AL_PA; 97 the SAS back end, by target id) with a ten-byte CDB.
void BuildDriveCommand(KERNEL_ENTRY* psEntry, uint8_t bPath, uint8_t bTarget, uint16_t wTimeout,
                       uint16_t wControlFlags, uint32_t dLength, uint16_t wSegments, uint32_t dAddress,
                       const uint8_t* pbCdb, uint8_t bCommandType);

// Stored cache settings.  TRUE: the write sort is off and the write journal
// ages the partner's cached extents once a second.
uint8_t bGetCacheSetting20d();
void SetCacheSetting20d(uint8_t b);
// A read may be served from an outstanding write's buffer.
uint8_t bGetCacheSetting207();
void SetCacheSetting207(uint8_t b);
// The outstanding queues: 208 FALSE selects the list kind (any other value
// the tree); 206 the stripe-unit collapse rule, 209 the supersede rule of
// the list kind.  Every configuration apply sets 208 from 206: the list
// kind exactly when 206 is TRUE.
uint8_t fGetCacheSetting208();
void SetCacheSetting208(uint8_t b);
uint8_t bGetCacheSetting206();
void SetCacheSetting206(uint8_t b);
uint8_t bGetCacheSetting209();
void SetCacheSetting209(uint8_t b);
// The further cache setting bytes: ordering, second clustering
// (continuations), aging priority, rank queue limit and hold.
uint8_t bGetCacheOrderingSetting();
uint8_t fGetSecondClusteringSetting();
uint8_t fGetAgingPrioritySetting();
uint8_t fGetRankQueueLimitSetting();
uint8_t fGetHoldSetting();
// The per-drive-loop hold setting (port 3 or 4): the periodic loop check
// leaves a held loop alone.
uint8_t fGetDriveLoopHoldSetting(uint8_t bPort);
void SetCacheOrderingSetting(uint8_t b);
void SetSecondClusteringSetting(uint8_t f);
void SetAgingPrioritySetting(uint8_t f);
void SetRankQueueLimitSetting(uint8_t f);
void SetHoldSetting(uint8_t f);
// The array's own streaming read-ahead setting, which decides while the
// controller's option is automatic.
uint8_t fGetRankStreamingReadAhead(uint8_t bRank);

}  // namespace fw
