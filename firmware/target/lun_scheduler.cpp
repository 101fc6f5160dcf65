// The LUN scheduler's least-recently-serviced list.
#include "target/lun_scheduler.h"

#include "executive/console_output.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

struct LUN_SERVICE_RECORD {
    LUN_SERVICE_RECORD* psNext;   // a member alone links to itself
    LUN_SERVICE_RECORD* psPrev;
    uint64_t lLastServiced;       // ms tick of the last burst
    uint16_t wLun;
    uint8_t fInList;
    uint8_t fActive;
};

LUN_SERVICE_RECORD s_asLunService[LUN_COUNT];
LUN_SERVICE_RECORD* s_psLrsHead = nullptr;
LUN_SERVICE_RECORD* s_psLrsTail = nullptr;
uint16_t s_wLrsCount = 0;
uint8_t s_bTargetDebugFlags = 0;

constexpr uint8_t DEBUG_SHOW_LRS = 0x02;

void Unlink(LUN_SERVICE_RECORD* ps) {
    if (ps->psNext == ps) {
        s_psLrsHead = nullptr;
        s_psLrsTail = nullptr;
    } else {
        ps->psPrev->psNext = ps->psNext;
        ps->psNext->psPrev = ps->psPrev;
        if (s_psLrsHead == ps) s_psLrsHead = ps->psNext;
        if (s_psLrsTail == ps) s_psLrsTail = ps->psPrev;
    }
    ps->psNext = ps;
    ps->psPrev = ps;
}

void LinkAtTail(LUN_SERVICE_RECORD* ps) {
    if (s_psLrsHead == nullptr) {
        ps->psNext = ps;
        ps->psPrev = ps;
        s_psLrsHead = ps;
    } else {
        ps->psNext = s_psLrsHead;
        ps->psPrev = s_psLrsTail;
        s_psLrsTail->psNext = ps;
        s_psLrsHead->psPrev = ps;
    }
    s_psLrsTail = ps;
}

void ShowListChange() {
    if (s_bTargetDebugFlags & DEBUG_SHOW_LRS) DumpLrsList();
}

}  // namespace

void InitLrsList() {
    for (uint16_t w = 0; w < LUN_COUNT; w++) {
        LUN_SERVICE_RECORD& s = s_asLunService[w];
        s.psNext = &s;
        s.psPrev = &s;
        s.lLastServiced = 0;
        s.wLun = w;
        s.fInList = FALSE;
        s.fActive = FALSE;
    }
    s_psLrsHead = nullptr;
    s_psLrsTail = nullptr;
    s_wLrsCount = 0;
}

void InsertLrsLun(uint16_t wLun) {
    if (wLun >= LUN_COUNT || s_asLunService[wLun].fInList == TRUE) return;
    LUN_SERVICE_RECORD* ps = &s_asLunService[wLun];
    LinkAtTail(ps);
    ps->fInList = TRUE;
    s_wLrsCount++;
    ShowListChange();
}

void RemoveLrsLun(uint16_t wLun) {
    if (wLun >= LUN_COUNT || s_asLunService[wLun].fInList != TRUE) return;
    LUN_SERVICE_RECORD* ps = &s_asLunService[wLun];
    Unlink(ps);
    ps->fInList = FALSE;
    if (s_wLrsCount != 0) s_wLrsCount--;
    ShowListChange();
}

void MarkLunServiced(uint16_t wLun) {
    if (wLun >= LUN_COUNT) return;
    LUN_SERVICE_RECORD* ps = &s_asLunService[wLun];
    ps->lLastServiced = lGetTickCount();
    if (ps->fInList != TRUE) return;
    Unlink(ps);
    LinkAtTail(ps);
}

uint16_t wGetLrsHeadLun() { return s_psLrsHead == nullptr ? NO_LRS_LUN : s_psLrsHead->wLun; }

uint16_t wGetNextLrsLun(uint16_t wLun) {
    if (wLun >= LUN_COUNT || s_asLunService[wLun].fInList != TRUE) return NO_LRS_LUN;
    return s_asLunService[wLun].psNext->wLun;
}

uint16_t wGetLrsLunCount() { return s_wLrsCount; }

uint8_t fIsLunInLrsList(uint16_t wLun) { return wLun < LUN_COUNT ? s_asLunService[wLun].fInList : FALSE; }

uint64_t lGetLunLastServiced(uint16_t wLun) { return wLun < LUN_COUNT ? s_asLunService[wLun].lLastServiced : 0; }

void SetTargetDebugFlags(uint8_t bFlags) { s_bTargetDebugFlags = bFlags; }

void DumpLrsList() {
    ConsolePrintf("Showing Least Recently Serviced Luns\n");
    ConsolePrintf("Active Luns\n");
    const LUN_SERVICE_RECORD* ps = s_psLrsHead;
    for (uint16_t w = 0; ps != nullptr && w < s_wLrsCount; w++, ps = ps->psNext) {
        ConsolePrintf("\tLun: %3d, prev: %3d, next: %3d\n", ps->wLun, ps->psPrev->wLun, ps->psNext->wLun);
    }
    ConsolePrintf("\tLRS List: Head = 0x%08X, Tail = 0x%08X\n",
                  static_cast<uint32_t>(reinterpret_cast<uintptr_t>(s_psLrsHead)),
                  static_cast<uint32_t>(reinterpret_cast<uintptr_t>(s_psLrsTail)));
    ConsolePrintf("\tLRS List:\n\t\t");
    ps = s_psLrsHead;
    for (uint16_t w = 0; ps != nullptr && w < s_wLrsCount; w++, ps = ps->psNext) ConsolePrintf("%3d ", ps->wLun);
    ConsolePrintf("\n");
}

}  // namespace fw
