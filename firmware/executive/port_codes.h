// Port codes: where a command came from, or which queue serves it.  Every
// KERNEL_ENTRY carries one, and the rings, counters and chip drivers are
// chosen by it.
#pragma once

#include <cstdint>

namespace fw {

// Host ports.  Fibre Channel ports are 1 and 2; the SAS host ports are
// 'q' and 'r'.  The ISP2x00 tables name the Fibre Channel ports '1' and '2'.
constexpr uint8_t PORT_CODE_FC_HOST_1 = 0x01;
constexpr uint8_t PORT_CODE_FC_HOST_2 = 0x02;
constexpr uint8_t PORT_CODE_FC_TABLE_1 = 0x31;   // '1'
constexpr uint8_t PORT_CODE_FC_TABLE_2 = 0x32;   // '2'
constexpr uint8_t PORT_CODE_SAS_HOST_1 = 0x71;   // 'q'
constexpr uint8_t PORT_CODE_SAS_HOST_2 = 0x72;   // 'r'
// Further variants of host ports 1 and 2; they have no stage rings.
constexpr uint8_t PORT_CODE_HOST_VARIANT_1 = 0x11;
constexpr uint8_t PORT_CODE_HOST_VARIANT_2 = 0x12;

// Commands made inside the controller (64) or received from the embedded
// management module (80, 'P', whose command blocks are 128 bytes).
constexpr uint8_t PORT_CODE_INTERNAL = 0x40;
constexpr uint8_t PORT_CODE_MODULE = 0x50;

// The drive-side SAS controller and its initiator kernel queue ('a').
constexpr uint8_t PORT_CODE_INITIATOR = 0x61;
// Drive loop paths: a drive command re-addressed to the path on which its
// member is reported after a loop reset.
constexpr uint8_t PORT_CODE_DRIVE_LOOP_3 = 3;
constexpr uint8_t PORT_CODE_DRIVE_LOOP_4 = 4;
// Drive slot paths: the first plus a drive's slot names that drive alone.
constexpr uint8_t PORT_CODE_DRIVE_SLOT_FIRST = 0x20;
constexpr uint8_t PORT_CODE_DRIVE_SLOT_LAST = 0x2F;

inline bool fIsDriveSlotPath(uint8_t bPortCode) {
    return bPortCode >= PORT_CODE_DRIVE_SLOT_FIRST && bPortCode <= PORT_CODE_DRIVE_SLOT_LAST;
}
// Any code that names a drive: a loop path, the initiator queue or a slot path.
inline bool fIsDrivePath(uint8_t bPortCode) {
    return bPortCode == PORT_CODE_DRIVE_LOOP_3 || bPortCode == PORT_CODE_DRIVE_LOOP_4 ||
           bPortCode == PORT_CODE_INITIATOR || fIsDriveSlotPath(bPortCode);
}

// The host port number (1 or 2) a host port code names; 0 for the others.
inline uint8_t bHostPortOfCode(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_SAS_HOST_1: return 1;
    case PORT_CODE_FC_HOST_2:
    case PORT_CODE_FC_TABLE_2:
    case PORT_CODE_SAS_HOST_2: return 2;
    default: return 0;
    }
}

// Events name a host port 1 or 2: codes 1, 17, 49, 113 and the internal
// codes count as port 1, every other code as port 2.
inline uint8_t bEventHostPort(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_HOST_VARIANT_1:
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: return 1;
    default: return 2;
    }
}

}  // namespace fw
