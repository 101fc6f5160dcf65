#include "platform/pci.h"

#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/atu.h"
#include "hw/host_interface.h"
#include "hw/hw.h"
#include "hw/pci_ids.h"

namespace fw {

namespace {

constexpr uint32_t LINK_WAIT_MS = 100;


const uint8_t* s_pbDeviceKinds;

}  // namespace

uint32_t dPciConfigRead32(uint8_t bBus, uint8_t bDevice, uint8_t bFunction, uint16_t wOffset) {
    Reg32Write(ATUX_OCCAR, dPciConfigCycleAddress(bBus, bDevice, bFunction, wOffset));
    return Reg32Read(ATUX_OCCDR);
}

void PciConfigWrite32(uint8_t bBus, uint8_t bDevice, uint8_t bFunction, uint16_t wOffset, uint32_t dValue) {
    Reg32Write(ATUX_OCCAR, dPciConfigCycleAddress(bBus, bDevice, bFunction, wOffset));
    Reg32Write(ATUX_OCCDR, dValue);
}

uint32_t dPciReadId(uint8_t bBus, uint8_t bDevice, uint8_t bFunction) {
    uint32_t dId = dPciConfigRead32(bBus, bDevice, bFunction, 0);
    // A cycle nobody claimed ends in master abort: clear the latched bit so
    // it is not taken for a bus error later.
    if (Reg32Read(ATUX_PCSR) & ATUX_PCSR_MASTER_ABORT) {
        Reg32Write(ATUX_PCSR, ATUX_PCSR_MASTER_ABORT);
        return 0xFFFFFFFF;
    }
    return dId;
}

// Finds the ATU and the host-port chips on the primary bus; the kind of
// chip found decides the host interface type.
uint8_t bInitPciBus() {
    if (Reg32Read(ATUX_ID) == 0xFFFFFFFF) return 0;
    uint8_t bType = HOST_INTERFACE_FC;
    const uint8_t abHostChips[2] = {PCI_DEVICE_HOST_CHIP1, PCI_DEVICE_HOST_CHIP2};
    for (uint8_t bDevice : abHostChips) {
        uint32_t dId = dPciReadId(PCI_BUS_PRIMARY, bDevice, 0);
        uint16_t wVendor = static_cast<uint16_t>(dId), wDevice = static_cast<uint16_t>(dId >> 16);
        for (const HOST_CHIP_IDENTITY& sChip : HOST_CHIP_IDENTITIES) {
            if (sChip.bHostInterface != HOST_INTERFACE_FC && wVendor == sChip.wVendor && wDevice == sChip.wDevice) {
                bType = sChip.bHostInterface;
            }
        }
    }
    SetHostInterfaceType(bType);
    return STATUS_OK;
}

uint8_t bInitPciExpress() {
    for (uint32_t dMs = 0; dMs < LINK_WAIT_MS; ++dMs) {
        if (Reg32Read(ATUE_LINK_STATUS) & ATUE_LINK_TRAINED) return STATUS_OK;
        SpinDelayMs(1);
    }
    return 0;
}

void SetPciDeviceKindTable(const uint8_t* pbKinds) { s_pbDeviceKinds = pbKinds; }

uint8_t fIsPCIeDevice(uint8_t bDevice) {
    return ToFlag(s_pbDeviceKinds != nullptr && bDevice < 128 && s_pbDeviceKinds[bDevice] == 2);
}

}  // namespace fw
