// The Fibre Channel chip driver as the rest of the firmware sees it: the
// host ports' chips, rings, interrupt path and initiator scan (their own
// headers), and the drive-loop services, which no chip of this board serves
// (the probe looks at host chips 1 and 2 only).
#pragma once

#include <cstdint>

#include "fc/chip_diagnostics.h"
#include "fc/drive_loop_bringup.h"
#include "fc/drive_loop_isr.h"
#include "fc/drive_loop_watch.h"
#include "fc/host_port_scan.h"
#include "fc/loop_health.h"
#include "fc/loop_operations.h"
#include "fc/loop_maps.h"
#include "fc/ql_chip.h"
#include "fc/ql_chip_services.h"
#include "fc/ql_firmware_start.h"
#include "fc/ql_handle_map.h"
#include "fc/ql_host_events.h"
#include "fc/ql_mailbox_commands.h"
#include "fc/ql_rings.h"
#include "fc/ql_target_entries.h"

namespace fw {

void InitLoopPortTables();
void SetFcScanFlag(uint8_t f);

// Background pass services of the chip driver.
uint8_t fGetLoopTableRequest();
void LoopTableService();
// Journal entries a shutdown may leave behind (the loops' outstanding writes).
uint16_t wGetJournalDrainAllowance();

// Drive-loop discovery used by the configuration database.
uint8_t bGetPortDatabase(uint8_t bPort, uint8_t bAlpa, uint8_t* pbFlags, uint8_t* pbWwn);   // 0xFF good

}  // namespace fw
