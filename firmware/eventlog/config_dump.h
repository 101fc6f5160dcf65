// The configuration dump: the stored configuration as console text, one
// section or record per step of the paged information dump.  It reads the
// scratch image, so an edit shows as it will be committed; only the failed
// drives come from the live image.
#pragma once

#include <cstdint>

namespace fw {

// Dump types of the configuration dump.
enum : uint8_t {
    CONFIG_DUMP_ALL = 16,
    CONFIG_DUMP_ARRAYS = 17,
    CONFIG_DUMP_FIRST_ARRAY = 18,
    CONFIG_DUMP_LDS = 19,
    CONFIG_DUMP_LD_ROWS = 20,
    CONFIG_DUMP_SAN_MAPPINGS = 21,
    CONFIG_DUMP_SAN_ROWS = 22,
    CONFIG_DUMP_SETTINGS = 23,
    CONFIG_DUMP_FAILED_DRIVES = 24,
    CONFIG_DUMP_SPARES = 25,
    CONFIG_DUMP_UNUSED_DRIVES = 26,
    CONFIG_DUMP_HOSTS = 27,
    CONFIG_DUMP_FREE_CAPACITY = 28,
    CONFIG_DUMP_REGIONS = 29,
    CONFIG_DUMP_SNAPSHOTS = 34,
    CONFIG_DUMP_SNAPSHOT_STATUS = 35,
    CONFIG_DUMP_AVAILABLE_SNAPSHOTS = 37,
    CONFIG_DUMP_INTERNAL_LDS = 38,
    CONFIG_DUMP_VIRTUAL_LDS = 39,
    CONFIG_DUMP_PORT_LUNS = 42,
};

// One step of a configuration dump of the type.
void ShowConfiguration(uint8_t bType);

// Where a dump stands: its record, sub-record and the state it ends in.
// The statistics dump keeps its place here too; one dump runs at a time.
struct DUMP_POSITION {
    uint16_t wIndex;
    uint16_t wSubIndex;
    uint16_t wEndState;
};
DUMP_POSITION* psGetDumpPosition();

}  // namespace fw
