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

// A configuration cycle or window access ended in master abort: clear the
// latched bit and report it.
bool TakeMasterAbort(uint32_t dStatusRegister) {
    if ((Reg32Read(dStatusRegister) & ATUX_PCSR_MASTER_ABORT) == 0) return false;
    Reg32Write(dStatusRegister, ATUX_PCSR_MASTER_ABORT);
    return true;
}

uint8_t bResult(uint32_t dStatusRegister) { return TakeMasterAbort(dStatusRegister) ? 0 : STATUS_OK; }

uint8_t bConfigRead(uint32_t dOccar, uint32_t dOccdr, uint32_t dStatus, uint8_t bDevice, uint16_t wRegister,
                    uint32_t* pdValue) {
    Reg32Write(dOccar, dPciConfigCycleAddress(PCI_BUS_PRIMARY, bDevice, 0, wRegister));
    *pdValue = Reg32Read(dOccdr);
    return bResult(dStatus);
}

uint8_t bConfigWrite(uint32_t dOccar, uint32_t dOccdr, uint32_t dStatus, uint8_t bDevice, uint16_t wRegister,
                     uint32_t dValue) {
    Reg32Write(dOccar, dPciConfigCycleAddress(PCI_BUS_PRIMARY, bDevice, 0, wRegister));
    Reg32Write(dOccdr, dValue);
    return bResult(dStatus);
}

// A 16-bit configuration write merges into its doubleword.
uint8_t bConfigWrite16(uint32_t dOccar, uint32_t dOccdr, uint32_t dStatus, uint8_t bDevice, uint16_t wRegister,
                       uint16_t wValue) {
    uint32_t dWord = 0;
    if (bConfigRead(dOccar, dOccdr, dStatus, bDevice, wRegister, &dWord) != STATUS_OK) return 0;
    const uint32_t dShift = (wRegister & 2u) * 8;
    dWord = (dWord & ~(0xFFFFu << dShift)) | static_cast<uint32_t>(wValue) << dShift;
    return bConfigWrite(dOccar, dOccdr, dStatus, bDevice, wRegister, dWord);
}

uint32_t dWindowAddress(uint8_t bUnit, uint32_t dAddress) {
    return (bUnit == 2 ? PCI_OUTBOUND_WINDOW_UNIT2 : PCI_OUTBOUND_WINDOW_UNIT1) + (dAddress & (PCI_OUTBOUND_WINDOW_SIZE - 1));
}

bool IsUnit(uint8_t bUnit) { return bUnit == 1 || bUnit == 2; }

// A window access is judged by the master abort it latches itself: one
// left by an earlier cycle is cleared first.
uint32_t dClearedWindowAddress(uint32_t dStatusRegister, uint8_t bUnit, uint32_t dAddress) {
    (void)TakeMasterAbort(dStatusRegister);
    return dWindowAddress(bUnit, dAddress);
}

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
    return TakeMasterAbort(ATUX_PCSR) ? 0xFFFFFFFF : dId;
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

uint8_t bPciConfigRead32(uint8_t bDevice, uint16_t wRegister, uint32_t* pdValue) {
    return bConfigRead(ATUX_OCCAR, ATUX_OCCDR, ATUX_PCSR, bDevice, wRegister, pdValue);
}

uint8_t bPciConfigWrite32(uint8_t bDevice, uint16_t wRegister, uint32_t dValue) {
    return bConfigWrite(ATUX_OCCAR, ATUX_OCCDR, ATUX_PCSR, bDevice, wRegister, dValue);
}

uint8_t bPciConfigWrite16(uint8_t bDevice, uint16_t wRegister, uint16_t wValue) {
    return bConfigWrite16(ATUX_OCCAR, ATUX_OCCDR, ATUX_PCSR, bDevice, wRegister, wValue);
}

uint8_t bATUeConfigRead32(uint8_t bDevice, uint16_t wRegister, uint32_t* pdValue) {
    return bConfigRead(ATUE_OCCAR, ATUE_OCCDR, ATUE_PCSR, bDevice, wRegister, pdValue);
}

uint8_t bATUeConfigRead16(uint8_t bDevice, uint16_t wRegister, uint16_t* pwValue) {
    uint32_t dWord = 0;
    const uint8_t bStatus = bATUeConfigRead32(bDevice, wRegister, &dWord);
    *pwValue = static_cast<uint16_t>(dWord >> ((wRegister & 2u) * 8));
    return bStatus;
}

uint8_t bATUeConfigWrite32(uint8_t bDevice, uint16_t wRegister, uint32_t dValue) {
    return bConfigWrite(ATUE_OCCAR, ATUE_OCCDR, ATUE_PCSR, bDevice, wRegister, dValue);
}

uint8_t bATUeConfigWrite16(uint8_t bDevice, uint16_t wRegister, uint16_t wValue) {
    return bConfigWrite16(ATUE_OCCAR, ATUE_OCCDR, ATUE_PCSR, bDevice, wRegister, wValue);
}

// The I/O window answers for devices behind the PCI Express link, so its
// errors latch in the ATU-E; the memory window is the ATU-X's.
uint8_t IOR16(uint8_t bUnit, uint32_t dAddress, uint16_t* pwValue) {
    if (!IsUnit(bUnit)) return 0;
    *pwValue = Reg16Read(dClearedWindowAddress(ATUE_PCSR, bUnit, dAddress));
    return bResult(ATUE_PCSR);
}

uint8_t IOW16(uint8_t bUnit, uint32_t dAddress, uint16_t wValue) {
    if (!IsUnit(bUnit)) return 0;
    Reg16Write(dClearedWindowAddress(ATUE_PCSR, bUnit, dAddress), wValue);
    return bResult(ATUE_PCSR);
}

uint8_t IOR32(uint8_t bUnit, uint32_t dAddress, uint32_t* pdValue) {
    if (!IsUnit(bUnit)) return 0;
    *pdValue = Reg32Read(dClearedWindowAddress(ATUE_PCSR, bUnit, dAddress));
    return bResult(ATUE_PCSR);
}

uint8_t IOW32(uint8_t bUnit, uint32_t dAddress, uint32_t dValue) {
    if (!IsUnit(bUnit)) return 0;
    Reg32Write(dClearedWindowAddress(ATUE_PCSR, bUnit, dAddress), dValue);
    return bResult(ATUE_PCSR);
}

uint8_t bATUMemRead16(uint8_t bUnit, uint32_t dAddress, uint16_t* pwValue) {
    if (!IsUnit(bUnit)) return 0;
    *pwValue = Reg16Read(dClearedWindowAddress(ATUX_PCSR, bUnit, dAddress));
    return bResult(ATUX_PCSR);
}

uint8_t bATUMemWrite16(uint8_t bUnit, uint32_t dAddress, uint16_t wValue) {
    if (!IsUnit(bUnit)) return 0;
    Reg16Write(dClearedWindowAddress(ATUX_PCSR, bUnit, dAddress), wValue);
    return bResult(ATUX_PCSR);
}

uint8_t bATUMemRead32(uint8_t bUnit, uint32_t dAddress, uint32_t* pdValue) {
    if (!IsUnit(bUnit)) return 0;
    *pdValue = Reg32Read(dClearedWindowAddress(ATUX_PCSR, bUnit, dAddress));
    return bResult(ATUX_PCSR);
}

uint8_t bATUMemWrite32(uint8_t bUnit, uint32_t dAddress, uint32_t dValue) {
    if (!IsUnit(bUnit)) return 0;
    Reg32Write(dClearedWindowAddress(ATUX_PCSR, bUnit, dAddress), dValue);
    return bResult(ATUX_PCSR);
}

void SetPciDeviceKindTable(const uint8_t* pbKinds) { s_pbDeviceKinds = pbKinds; }

uint8_t fIsPCIeDevice(uint8_t bDevice) {
    return ToFlag(s_pbDeviceKinds != nullptr && bDevice < 128 && s_pbDeviceKinds[bDevice] == 2);
}

}  // namespace fw
