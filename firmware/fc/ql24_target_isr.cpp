// The interrupt service of an ISP24xx host chip in target mode: commands and
// notifies off the ATIO ring into host entries, completions off the response
// ring onto the target engine's stage rings.
#include <cstring>

#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/interrupt_dispatch.h"
#include "executive/stop.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/ql_chip.h"
#include "fc/ql_host_events.h"
#include "fc/ql_rings.h"
#include "hw/hw.h"
#include "hw/isp_fc.h"
#include "hw/pci_ids.h"

namespace fw {

namespace {

constexpr uint8_t FAULT_HOST_CHIP = 4;
constexpr int32_t NO_IN_POINTER = -1;

// The ISR reaches its chip's registers directly by processor address.
uint32_t dRegister(uint8_t bChip, uint32_t dOffset) {
    return PCI_OUTBOUND_WINDOW_UNIT1 + (bChip - 1) * ISP_REGISTER_SPAN + dOffset;
}

int32_t lSignExtended(uint32_t d) { return static_cast<int16_t>(d & 0xFFFF); }

void AtioPass(host_isr::PASS* ps, int32_t lIn) {
    const uint8_t bChip = ps->bChip;
    bool fMoved = false;
    while (wGetAtioOutPointer(bChip) != lIn && !ps->fStop) {
        host_isr::Heartbeat(ps);
        uint8_t* pbEntry = nullptr;
        (void)bGetAtioEntry(bChip, static_cast<uint16_t>(lIn), &pbEntry);
        if (pbEntry[0] == ATIO7_ENTRY_TYPE) {
            if (!host_isr::TakeCommand(ps, pbEntry, true)) break;
        } else if (pbEntry[0] == IMMEDIATE_NOTIFY24_ENTRY_TYPE) {
            if (!host_isr::TakeNotify(ps, pbEntry)) break;
        } else {
            ConsolePrintf("OTHER ATIO QUEUE: bDevice = %d wATIOQueueInPointer= %x OutPointer %x\n", bChip,
                          static_cast<unsigned>(lIn), wGetAtioOutPointer(bChip));
        }
        AdvanceAtioOutPointer(bChip);
        fMoved = true;
    }
    if (fMoved) Reg32Write(dRegister(bChip, ISP24_REG_ATIO_OUT), wGetAtioOutPointer(bChip));
    host_isr::ServeNotifies(ps, true);
}

void ResponsePass(host_isr::PASS* ps, int32_t lIn) {
    const uint8_t bChip = ps->bChip;
    bool fMoved = false;
    while (wGetResponseOutPointer(bChip) != lIn && !ps->fStop) {
        host_isr::Heartbeat(ps);
        uint8_t* pbEntry = nullptr;
        (void)bGetResponseEntry(bChip, static_cast<uint16_t>(lIn), &pbEntry);
        switch (pbEntry[0]) {
        case ISP_ENTRY_STATUS:
            host_isr::StatusEntry(bChip, pbEntry);
            break;
        case CTIO7_ENTRY_TYPE:
            host_isr::CtioCompletion(ps, pbEntry, true);
            break;
        case ISP_ENTRY_ABORT_IO:
            ConsolePrintf("QL24TarIsr: ABORT I/O RECEIVED\n");
            break;
        case ISP_ENTRY_PUREX:
            ConsolePrintf("QL24TarIsr: PUREX RECEIVED\n");
            break;
        case ABTS_RECEIVED_ENTRY_TYPE:
            if (!host_isr::TakeAbts(ps, pbEntry)) continue;
            break;
        case ISP_ENTRY_CT_PASSTHROUGH:
            host_isr::CtPassThroughCompletion(pbEntry);
            break;
        default:
            break;   // 0x0A, 0x0E, 0x11, 0x55 and the rest need nothing
        }
        AdvanceResponseOutPointer(bChip);
        fMoved = true;
    }
    if (fMoved) Reg32Write(dRegister(bChip, ISP24_REG_RSP_OUT), wGetResponseOutPointer(bChip));
}

// The ATIO pass, then the response pass unless the first stopped; each
// only when its in-pointer is known.
void ServeRings(host_isr::PASS* ps, uint8_t bChip, bool fAtio, int32_t lAtioIn, bool fResponse, int32_t lResponseIn) {
    fAtio = fAtio && host_isr::ValidInPointer(lAtioIn);
    fResponse = fResponse && host_isr::ValidInPointer(lResponseIn);
    host_isr::Begin(ps, bChip);
    if (fAtio) AtioPass(ps, lAtioIn);
    if (fResponse && !ps->fStop) ResponsePass(ps, lResponseIn);
}

// Both rings up to the in-pointers the chip's registers hold now.
void ServeRingsToChipPointers(host_isr::PASS* ps, uint8_t bChip) {
    ServeRings(ps, bChip, true, lSignExtended(Reg32Read(dRegister(bChip, ISP24_REG_ATIO_IN))), true,
               lSignExtended(Reg32Read(dRegister(bChip, ISP24_REG_RSP_IN))));
}

}  // namespace

void QL24TarIsr(uint8_t bChip) {
    if (bChip != 1 && bChip != 2) return;
    host_isr::SetActive(TRUE);
    host_isr::PASS sPass{};
    sPass.dHeartbeatMark = dReadTimerCount();
    const uint32_t dStatus = Reg32Read(dRegister(bChip, ISP24_REG_HOST_STATUS));
    if ((dStatus & ISP24_HOST_STATUS_INTERRUPT) == 0) {
        host_isr::SetActive(FALSE);
        return;
    }
    if (dStatus & ISP24_HOST_STATUS_PAUSED) {
        PostEvent(EVENT_FAULT, FAULT_HOST_CHIP, bChip);
        HaltController();
    }
    const uint16_t wMailbox0 = static_cast<uint16_t>(dStatus >> 16);
    int32_t lAtioIn = NO_IN_POINTER, lResponseIn = NO_IN_POINTER;
    bool fAtio = false, fResponse = false;
    switch (static_cast<uint8_t>(dStatus)) {
    case ISP_INT_MAILBOX_1: case ISP_INT_MAILBOX_2: case ISP_INT_MAILBOX_10: case ISP_INT_MAILBOX_11:
        HostMailboxCompletion(bChip, wMailbox0);
        break;
    case ISP_INT_ASYNC_EVENT:
        if (wMailbox0 == ISP_AEN_FAST_POST_RESPONSE) {
            lResponseIn = lSignExtended(Reg32Read(dRegister(bChip, ISP24_REG_RSP_IN)));
            fResponse = true;
        } else {
            HostAsyncEvent(bChip, wMailbox0, 0);
        }
        break;
    case ISP_INT_RESPONSE_UPDATE:
        lResponseIn = wMailbox0;
        fResponse = true;
        break;
    case ISP_INT_ATIO_UPDATE:
        lAtioIn = wMailbox0;
        fAtio = true;
        break;
    case ISP_INT_ATIO_RESPONSE_UPDATE:
        lAtioIn = lSignExtended(Reg32Read(dRegister(bChip, ISP24_REG_ATIO_IN)));
        lResponseIn = wMailbox0;
        fAtio = fResponse = true;
        break;
    default:
        break;
    }
    Reg32Write(dRegister(bChip, ISP24_REG_HCCR), ISP24_HCCR_CLEAR_RISC_INT);
    if (fAtio || fResponse) {
        ServeRings(&sPass, bChip, fAtio, lAtioIn, fResponse, lResponseIn);
    } else if (host_isr::RingRetry(bChip)) {
        ServeRingsToChipPointers(&sPass, bChip);
    }
    host_isr::SetActive(FALSE);
}

// Run by the main loop with the host chips' interrupt held off.
void QL24ServeRings(uint8_t bChip) {
    if (bChip != 1 && bChip != 2) return;
    host_isr::PASS sPass{};
    sPass.dHeartbeatMark = dReadTimerCount();
    ServeRingsToChipPointers(&sPass, bChip);
}

}  // namespace fw
