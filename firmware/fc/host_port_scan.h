// The host-port initiator scan: after a loop or link event on a host port it
// lists the initiators logged in on the port and rebuilds the port's table
// of which logical drive each host sees at each LUN.
#pragma once

#include <cstdint>

namespace fw {

struct HOST_PORT_RECORD;

constexpr uint64_t HOST_SCAN_MIN_INTERVAL_MS = 10;
constexpr uint64_t HOST_MAP_FAILURE_GRACE_MS = 3000;

// Start of day: the two host LUN tables, the scan and failure times, the
// map-failure and link flags.
uint8_t InitHostPortLunTables();
void ScanHostPortInitiators(uint8_t bPortCode);
// A new initiator's login on an ISP24xx port (its PLOGI or PRLI notify):
// the port's commands wait for a scan that runs at the next pass, however
// recent the last one, so the new initiator's first command finds it.
void RequestLoginScan(uint8_t bPortCode);
// A login ended (a logout, a new PLOGI of its port id): the names read for
// the handle are not trusted again, since the handle may stay in the handle
// map after its login is gone.
void ForgetLoginNames(uint8_t bPortCode, uint16_t wHandle);
// Whether the port's scan would run now.  A scan not due yet has the main
// loop woken when it is, so that a waiting scan keeps no pass busy.
uint8_t fIsHostPortScanDue(uint8_t bPortCode);
uint8_t EnumerateLoopDevices(HOST_PORT_RECORD* psList, uint8_t bChip);
uint8_t fIsHostPortTableValid(uint8_t bPort);
uint8_t fGetHostPortMapFailure(uint8_t bPort);

}  // namespace fw
