// The board state routines that consult the subsystems: the host chips'
// interrupt gate on PCI, the battery's state machine, the partner's version
// and board checks, the controller's WWN.  Declared with the board state in
// the executive's machinery (system_state.h); the top layer defines them.
#include "config/config_db.h"
#include "config/nvram_layout.h"
#include "eventlog/event_log.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/pci_ids.h"
#include "partner/partner_link.h"
#include "platform/battery.h"
#include "platform/pci.h"

namespace fw {

namespace {

constexpr uint16_t HOST_CHIP_CONTROL = 0x4C;
constexpr uint32_t HOST_CHIP_INTERRUPTS_ON = 0x00400000;
constexpr uint32_t HOST_CHIP_INTERRUPTS_OFF = 0x00400040;

void WriteHostChipControl(uint32_t dValue) {
    PciConfigWrite32(PCI_BUS_PRIMARY, PCI_DEVICE_HOST_CHIP1, 0, HOST_CHIP_CONTROL, dValue);
    PciConfigWrite32(PCI_BUS_PRIMARY, PCI_DEVICE_HOST_CHIP2, 0, HOST_CHIP_CONTROL, dValue);
}

}  // namespace

void EnableHostChipInterrupts() { WriteHostChipControl(HOST_CHIP_INTERRUPTS_ON); }
void DisableHostChipInterrupts() { WriteHostChipControl(HOST_CHIP_INTERRUPTS_OFF); }

void InitBatteryState() {
    SetBatteryFault(FALSE);
    InitBatteryStateMachine();
}

void CheckPartnerVersionMatch() {
    if (fIsDualControllerActive() != TRUE) return;
    const uint16_t wPartner = wGetPartnerVersionWord();
    if (wPartner == 0) return;
    const uint16_t wOwn = wGetControllerInfoVersionWord();
    if (wOwn == wPartner) return;
    const uint8_t abArguments[5] = {bGetControllerInfoVersionByte(), static_cast<uint8_t>(wOwn >> 8),
                                    static_cast<uint8_t>(wOwn), static_cast<uint8_t>(wPartner >> 8),
                                    static_cast<uint8_t>(wPartner)};
    SendPartnerVersionNotice(abArguments);
    PostEvent(146, abArguments[0], abArguments[1], abArguments[2], abArguments[3], abArguments[4]);
    if (fIsMasterController() == TRUE) {
        fSendShutdownToPartner(0);
    } else {
        ShutdownController();
    }
}

void CheckPartnerInfoByte(uint8_t b) {
    if (b == 0) return;
    const uint8_t bOwn = bGetControllerInfoBoardByte();
    if (bOwn != b) PostEvent(28, bOwn, b);
}

uint8_t* pGetControllerWWN(uint8_t* pbOut) {
    if (fGetConfiguredControllerWwn(pbOut) == TRUE) return pbOut;
    if (fGetHostPortWwn(pbOut) == TRUE) return pbOut;
    GetNvramControllerWwn(pbOut);
    return pbOut;
}

}  // namespace fw
