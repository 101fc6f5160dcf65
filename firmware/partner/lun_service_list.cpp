// The LUN service-time list: a LUN whose last outstanding read or write is
// gone is looked at again 5 s later, and when it is still idle the partner
// hears that it may stop asking before it touches the LUN's stripes
// (message 50).
#include "partner/lun_service_list.h"

#include "cache/outstanding_queues.h"
#include "cache/stripe_access.h"
#include "config/ld_table.h"
#include "executive/console_output.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint16_t NO_LUN_LINK = 0xFFFF;
constexpr uint64_t LUN_SERVICE_DELAY_MS = 5000;
constexpr uint64_t NO_SERVICE_TIME = UINT64_MAX;
constexpr uint32_t LUN_SERVICE_DEBUG_PRINT = 1u << 2;

struct LUN_SERVICE_ENTRY {
    uint16_t wNext;
    uint16_t wLun;
    uint64_t lTime;   // 0: not scheduled
};

LUN_SERVICE_ENTRY s_asEntry[LUN_COUNT];
uint16_t s_wHead = NO_LUN_LINK;
uint64_t s_lEarliest = NO_SERVICE_TIME;
uint8_t s_fDue = FALSE;
uint32_t s_dDebugBits = 0;

void PrintList() {
    for (const LUN_SERVICE_ENTRY& s : s_asEntry) {
        if (s.lTime == 0 && s.wNext == NO_LUN_LINK) continue;
        ConsolePrintf("Lun %3d next service time: %8X%08X, next: %08X\n", s.wLun, static_cast<uint32_t>(s.lTime >> 32),
                      static_cast<uint32_t>(s.lTime), s.wNext == NO_LUN_LINK ? 0xFFFFFFFFu : s.wNext);
    }
    if (s_wHead == NO_LUN_LINK) {
        ConsolePrintf("List is empty\n");
        return;
    }
    for (uint16_t w = s_wHead; w != NO_LUN_LINK; w = s_asEntry[w].wNext) ConsolePrintf("%3d --> ", w);
    ConsolePrintf("NULL\n");
}

// An idle LUN the partner also serves: it may stop holding the LUN's
// commands for this controller.
void ServiceLun(uint16_t wLun) {
    if (fIsDualControllerActive() != TRUE || bGetLogicalDriveBothControllers(wLun) != TRUE ||
        dGetLunOutstandingWrites(wLun) != 0 || dGetLunOutstandingReads(wLun) != 0) {
        return;
    }
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_LUN_IDLE);
    PutBe16(s.abCdb + 2, wLun);
    uint16_t wSlot = PARTNER_NO_SLOT;
    (void)bSendMessageToPartner(&s, &wSlot, 0);
}

}  // namespace

void InitLunServiceList() {
    s_wHead = NO_LUN_LINK;
    s_lEarliest = NO_SERVICE_TIME;
    s_fDue = FALSE;
    s_dDebugBits = 0;
    for (uint16_t w = 0; w < LUN_COUNT; ++w) s_asEntry[w] = {NO_LUN_LINK, w, 0};
}

void ScheduleLunService(uint16_t wLun) {
    if (wLun >= LUN_COUNT) return;
    LUN_SERVICE_ENTRY& s = s_asEntry[wLun];
    if (s.lTime == 0) {
        s.wNext = s_wHead;
        s_wHead = wLun;
    }
    s.lTime = lGetTickCount() + LUN_SERVICE_DELAY_MS;
    if (s_lEarliest == NO_SERVICE_TIME) s_lEarliest = s.lTime;
}

uint64_t GetLunServiceEarliest() { return s_lEarliest; }

void SetLunServiceDue(uint8_t f) {
    s_fDue = f;
    if (f == TRUE) SetWorkPending(TRUE);
}

uint8_t fIsLunServiceDue() { return s_fDue; }

uint32_t GetLunServiceDebugBits() { return s_dDebugBits; }
void SetLunServiceDebugBits(uint32_t dBits) { s_dDebugBits = dBits; }

void ServiceLunList() {
    if (s_dDebugBits & LUN_SERVICE_DEBUG_PRINT) {
        s_dDebugBits &= ~LUN_SERVICE_DEBUG_PRINT;
        PrintList();
    }
    const uint64_t lNow = lGetTickCount();
    s_lEarliest = NO_SERVICE_TIME;
    uint16_t* pwLink = &s_wHead;
    while (*pwLink != NO_LUN_LINK) {
        LUN_SERVICE_ENTRY& s = s_asEntry[*pwLink];
        if (s.lTime > lNow) {
            // Not yet: looked at again within the delay.
            s_lEarliest = lNow + LUN_SERVICE_DELAY_MS;
            pwLink = &s.wNext;
            continue;
        }
        *pwLink = s.wNext;
        s.wNext = NO_LUN_LINK;
        s.lTime = 0;
        ServiceLun(s.wLun);
    }
    s_fDue = FALSE;
}

}  // namespace fw
