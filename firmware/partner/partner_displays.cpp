// The console dumps of the partner link: its state and heartbeat, and the
// slots of the incoming and outgoing message queues.
#include "executive/console_output.h"
#include "executive/tick.h"
#include "executive/work_flags.h"
#include "partner/partner_messages.h"
#include "partner/partner_state.h"

namespace fw {

namespace {

uint32_t dHigh(uint64_t l) { return static_cast<uint32_t>(l >> 32); }
uint32_t dLow(uint64_t l) { return static_cast<uint32_t>(l); }

void PrintSlotTail(const PARTNER_MESSAGE_SLOT& s, const char* pszTicksFormat) {
    ConsolePrintf("PS:%02x:%02x CT:%02x ", s.bPrimaryState, s.bSecondaryState, s.bCommandType);
    ConsolePrintf(pszTicksFormat, dGetCoarseTick() - s.dQueueTick);
    for (uint8_t b : s.sMessage.abCdb) ConsolePrintf(" %02x", b);
    ConsolePrintf("\n");
}

const char* pszCmdsInProgress(bool fLineEnd) {
    if (fGetPartnerMessageWork() == TRUE) return fLineEnd ? "Cmds in progress\n" : "Cmds in progress ";
    return fLineEnd ? "No Cmds in progress\n" : "No Cmds in progress ";
}

}  // namespace

void ShowDualControllerStats() {
    const PARTNER_STATE& p = sGetPartnerState();
    ConsolePrintf("\nDual Controller stats:\n");
    ConsolePrintf(fIsMasterController() == TRUE ? "Master Controller\n" : "Slave Controller\n");
    if (fGetPartnerWork() == TRUE) ConsolePrintf("Hold Target Commands\n");
    ConsolePrintf("Other Controller Status: ");
    ConsolePrintf(p.fDualControllerValid == TRUE ? "Valid\n" : "Invalid\n");
    if (p.afOnPath[0] == TRUE) {
        ConsolePrintf("Init1 Other Controller Alpa: %02x\n", p.abTarget[0]);
    } else {
        ConsolePrintf("Init1 Other Controller Not Present\n");
    }
    if (p.afOnPath[1] == TRUE) {
        ConsolePrintf("Init2 Other Controller Alpa: %02x\n", p.abTarget[1]);
    } else {
        ConsolePrintf("Init2 Other Controller Not Present\n");
    }
    const uint64_t lNow = lGetTickCount();
    ConsolePrintf("Time Now: %08x%08x\n", dHigh(lNow), dLow(lNow));
    ConsolePrintf("Watchdog: %08x%08x\n", dHigh(p.lLastHeartbeat), dLow(p.lLastHeartbeat));
    if (p.dLatencyChecks != 0) {
        ConsolePrintf("Watchdog Latency: Avg: %02dms Max: %02dms\n", static_cast<uint32_t>(p.lLatencySum / p.dLatencyChecks),
                      p.dLatencyMax);
    }
    ResetHeartbeatMeasurements();
    ConsolePrintf(p.fCommandInProgress == TRUE ? "Cmd in Progress\n" : "No Cmd In Progress\n");
    const HEARTBEAT_STATS& h = sGetHeartbeatStats();
    ConsolePrintf("Int Count: %08x Lat:%08x\n", h.dInterrupts, h.dLargestGap);
    const PARTNER_MESSAGE_COUNTS& c = sGetPartnerMessageCounts();
    ConsolePrintf("Retry:%08x Invalid CDB:%08x\n", c.dResends, c.dInvalidCdbs);
    ResetLargestHeartbeatGap();
    ConsolePrintf("\n");
}

void ShowDualControllerIncomingQueue() {
    const PARTNER_MESSAGE_COUNTS& c = sGetPartnerMessageCounts();
    const MESSAGE_RING& r = sGetPartnerRing(0);
    ConsolePrintf("\nDual Controller Incoming Queue\n");
    ConsolePrintf(pszCmdsInProgress(false));
    ConsolePrintf("Total:%03x ", c.wIncomingTotal);
    ConsolePrintf("New:%03x ", c.wIncomingNew);
    ConsolePrintf("In  ptr:%03x ", r.wWrite);
    ConsolePrintf("Out ptr:%03x\n", r.wRead);
    for (uint16_t w = 0; w < PARTNER_SLOTS; ++w) {
        PARTNER_MESSAGE_SLOT* ps = nullptr;
        (void)pGetIncomingMessageSlot(w, &ps);
        if (ps->fInUse != TRUE) continue;
        ConsolePrintf("%04x ", w);
        ConsolePrintf(ps->bPortCode == PARTNER_PORT_LOOP1  ? "P1 "
                      : ps->bPortCode == PARTNER_PORT_LOOP2 ? "P2 "
                      : ps->bPortCode == PARTNER_PORT_SAS   ? "S1 "
                                                            : "P? ");
        PrintSlotTail(*ps, "TS: %03x");
    }
    ConsolePrintf("\n");
}

void ShowDualControllerOutgoingQueue() {
    const PARTNER_MESSAGE_COUNTS& c = sGetPartnerMessageCounts();
    const MESSAGE_RING& o = sGetPartnerRing(1);
    const MESSAGE_RING& k = sGetPartnerRing(2);
    const PARTNER_STATE& p = sGetPartnerState();
    ConsolePrintf("\nDual Controller Outgoing Queue\n");
    ConsolePrintf(pszCmdsInProgress(true));
    ConsolePrintf("Tot:%03x ", c.wOutgoingTotal);
    ConsolePrintf("New:%03x ", c.wOutgoingNew);
    ConsolePrintf("Compl:%03x ", c.wCompletions);
    ConsolePrintf("P1:%03x ", c.awInFlight[0]);
    ConsolePrintf("P2:%03x ", c.awInFlight[1]);
    ConsolePrintf("New Ptr:%04x:%04x ", o.wWrite, o.wRead);
    ConsolePrintf("Compl Ptr:%04x:%04x\n", k.wWrite, k.wRead);
    for (uint16_t w = 0; w < PARTNER_SLOTS; ++w) {
        PARTNER_MESSAGE_SLOT* ps = nullptr;
        (void)pGetOutgoingMessageSlot(w, &ps);
        if (ps->fInUse != TRUE) continue;
        ConsolePrintf("%04x ", w);
        const char* pszLabel = "P? ";
        if (ps->bPortCode == PARTNER_PORT_LOOP1) {
            pszLabel = "P1 ";
        } else if (ps->bPortCode == PARTNER_PORT_LOOP2) {
            pszLabel = "P2 ";
        } else if (ps->bPortCode == PARTNER_PORT_SAS) {
            pszLabel = ps->sMessage.wTarget == p.abTarget[0]   ? "S0 "
                       : ps->sMessage.wTarget == p.abTarget[1] ? "S1 "
                                                               : "S? ";
        }
        ConsolePrintf(pszLabel);
        PrintSlotTail(*ps, "TS:%03x");
    }
    ConsolePrintf("\n");
}

}  // namespace fw
