// The active-active multiplexer in front of a single-ported SATA drive: its
// registers, reached with vendor ATA commands on the drive's own path; its
// identity and patch information, the signal tuning of its ports, port
// resets and the link error counters the console shows.
#pragma once

#include <cstdint>

namespace fw {

struct SAS_DEVICE_ENTRY;
struct SAS_DEVICE_LIST;

constexpr uint16_t AA_MUX_DEVICE_ID = 0x8307;
constexpr uint8_t AA_MUX_PORTS = 3;
constexpr uint8_t AA_MUX_ENCLOSURES = 16;
constexpr uint8_t AA_MUX_SLOTS = 32;
// Status bits of a device entry: the drive sits behind a multiplexer, and
// its patch information could not be read.
constexpr uint8_t SAS_DEVICE_STATUS_AA_MUX = 0x10;
constexpr uint8_t SAS_DEVICE_STATUS_AA_MUX_PATCH_BAD = 0x20;

// Registers used (port p adds p times AA_MUX_PORT_STRIDE where it has one).
constexpr uint32_t AA_MUX_REG_DEVICE_ID = 0xBFA00002;
constexpr uint32_t AA_MUX_REG_REVISION = 0xBFA00004;
constexpr uint32_t AA_MUX_REG_LCLK_GENERATION = 0xBFA00027;
constexpr uint32_t AA_MUX_REG_LCLK_CLEAR = 0xBFA00028;
constexpr uint32_t AA_MUX_REG_LINK_CONTROL = 0xBFA01012;
constexpr uint32_t AA_MUX_REG_PORT_CONTROL = 0xBFA010A0;
constexpr uint32_t AA_MUX_REG_PRE_EMPHASIS = 0xBFA01021;
constexpr uint32_t AA_MUX_REG_SWING = 0xBFA01022;
constexpr uint32_t AA_MUX_REG_EQUALIZATION = 0xBFA01041;
constexpr uint32_t AA_MUX_REG_SSPL_CLEAR = 0xBFA01091;
constexpr uint32_t AA_MUX_REG_SSPL_COUNTERS = 0xBFA04020;
constexpr uint32_t AA_MUX_REG_CRC_COUNT = 0xBFB09814;
constexpr uint32_t AA_MUX_REG_PATCH = 0xBFB00000;
constexpr uint32_t AA_MUX_REG_PATCH_VERSION = 0xBFB003BC;
constexpr uint32_t AA_MUX_PORT_STRIDE = 0x100;
constexpr uint32_t AA_MUX_CRC_STRIDE = 0x20;

// One slot's patch information: the version word, a valid flag and the 32
// patch words, each stored low byte first.
#pragma pack(push, 1)
struct AA_MUX_PATCH_RECORD {
    uint8_t abVersion[4];
    uint8_t fValid;
    uint8_t abReserved5[3];
    uint8_t abPatch[128];
};
#pragma pack(pop)
static_assert(sizeof(AA_MUX_PATCH_RECORD) == 136);
constexpr uint32_t AA_MUX_PATCH_TABLE_PAGES = 17;

// One row of the slot order the counter screens walk.
#pragma pack(push, 1)
struct SAS_SLOT_ROW {
    uint8_t bEnclosure;
    uint8_t bSlot;
    uint8_t bTargetId;
    uint8_t bBus;
    uint8_t abReserved[72];
};
#pragma pack(pop)
static_assert(sizeof(SAS_SLOT_ROW) == 76);

// Start of day: the patch table taken and every record invalid.
void InitAAMuxPatchTable();
// The record of an enclosure 1..16 and slot 1..32, null outside.
AA_MUX_PATCH_RECORD* psGetAAMuxPatchRecord(uint8_t bEnclosure, uint8_t bSlot);
uint8_t fIsSASDeviceBehindAAMux(const SAS_DEVICE_ENTRY* psEntry);

// Register access of 1..4 bytes: 0xFF done, else the passthrough's failure
// (0 for a size the command cannot carry).
uint8_t bReadAAMuxRegister(uint32_t dAddress, uint32_t* pdValue, uint8_t bTarget, uint8_t bBus, uint8_t bSize);
uint8_t bWriteAAMuxRegister(uint32_t dAddress, uint32_t dValue, uint8_t bTarget, uint8_t bBus, uint8_t bSize);

// Resets a port's link (what 0..7) or the port (8..15); the write is not
// expected to come back.  0xF4 without a multiplexer, 0 for a bad port or kind.
uint8_t bResetAAMuxPort(uint8_t bEnclosure, uint8_t bSlot, uint8_t bPort, uint8_t bWhat);

// Reads the patch information of the entry's multiplexer into its slot's
// record: TRUE, FALSE (no multiplexer, a foreign part, a slot outside the
// table) or 0 when a read failed part way.
uint8_t fReadAAMuxPatchInfo(SAS_DEVICE_ENTRY* psEntry);
void ShowAAMuxPatchInfo(const AA_MUX_PATCH_RECORD* psRecord, uint8_t fDump);
void ShowAAMuxInfo();
void SortSASSlots(const SAS_DEVICE_LIST* psList, SAS_SLOT_ROW* psRows, uint8_t* pbCount);

}  // namespace fw
