// The fields of a received command, by the layout of its port's chip.
#include "target/command_access.h"

#include <cstddef>
#include <cstring>

#include "executive/port_codes.h"
#include "executive/types.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint32_t CDB_OFFSET = 20;
constexpr uint32_t INTERNAL_CDB_OFFSET = KERNEL_ENTRY_INTERNAL_CDB_OFFSET;
constexpr uint32_t FIBRE_LUN_OFFSET = 40;
constexpr uint32_t FIBRE_INITIATOR_OFFSET = 8;
constexpr uint32_t SAS_LUN_OFFSET = 8;
constexpr uint32_t SAS_INITIATOR_OFFSET = 40;
constexpr uint32_t SAS_PATH_LUN_OFFSET = 4;
constexpr uint32_t SAS_PATH_INITIATOR_OFFSET = 40;
constexpr uint32_t INTERNAL_LUN_OFFSET = 38;

const uint8_t* pbHead(const KERNEL_ENTRY* psEntry) { return reinterpret_cast<const uint8_t*>(psEntry); }

uint16_t wLittle16(const uint8_t* pb) {
    uint16_t w;
    std::memcpy(&w, pb, sizeof(w));
    return w;
}

uint32_t dLittle32(const uint8_t* pb) {
    uint32_t d;
    std::memcpy(&d, pb, sizeof(d));
    return d;
}

}  // namespace

const uint8_t* pGetCommandCdb(const KERNEL_ENTRY* psEntry) {
    switch (psEntry->bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_HOST_2:
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_SAS_HOST_2:
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_FC_TABLE_2: return pbHead(psEntry) + CDB_OFFSET;
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: return pbHead(psEntry) + INTERNAL_CDB_OFFSET;
    default: return nullptr;
    }
}

uint8_t* pGetCommandCdb(KERNEL_ENTRY* psEntry) {
    return const_cast<uint8_t*>(pGetCommandCdb(static_cast<const KERNEL_ENTRY*>(psEntry)));
}

uint16_t wGetCommandLun(const KERNEL_ENTRY* psEntry) {
    const uint8_t* pb = pbHead(psEntry);
    switch (psEntry->bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_HOST_2: return wLittle16(pb + FIBRE_LUN_OFFSET);
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_SAS_HOST_2: return wGetBe16(pb + SAS_LUN_OFFSET);
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_FC_TABLE_2: return wGetBe16(pb + SAS_PATH_LUN_OFFSET);
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: return wLittle16(pb + INTERNAL_LUN_OFFSET);
    default: return 0;
    }
}

uint16_t wGetCommandInitiator(const KERNEL_ENTRY* psEntry) {
    const uint8_t* pb = pbHead(psEntry);
    switch (psEntry->bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_HOST_2: return wLittle16(pb + FIBRE_INITIATOR_OFFSET);
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_SAS_HOST_2: return static_cast<uint16_t>(dLittle32(pb + SAS_INITIATOR_OFFSET));
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_FC_TABLE_2: return pb[SAS_PATH_INITIATOR_OFFSET];
    default: return 0;
    }
}

uint8_t fIsFibreHostCommand(const KERNEL_ENTRY* psEntry) {
    return ToFlag(psEntry->bPortCode == PORT_CODE_FC_HOST_1 || psEntry->bPortCode == PORT_CODE_FC_HOST_2);
}

uint32_t dGetCommandSourceId(const KERNEL_ENTRY* psEntry) {
    if (fIsFibreHostCommand(psEntry) != TRUE) return 0;
    return dGetBe24(pGetAtioCopy(psEntry) + offsetof(ATIO7_ENTRY, abSourceId));
}

uint32_t dGetCommandExpectedLength(const KERNEL_ENTRY* psEntry) {
    if (fIsFibreHostCommand(psEntry) != TRUE) return 0;
    return dLittle32(pbHead(psEntry) + offsetof(ATIO2_ENTRY, dDataLength));
}

}  // namespace fw
