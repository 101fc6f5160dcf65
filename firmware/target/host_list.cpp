// The host list: built from the login tables in column order, each host
// once, and printed as the mapping menus and dumps show it.
#include "target/host_list.h"

#include <cstring>

#include "config/drive_loop_tables.h"
#include "config/host_port_tables.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/loop_maps.h"
#include "fc/ql_mailbox_commands.h"
#include "hw/hw.h"
#include "hw/host_interface.h"

namespace fw {

namespace {

constexpr uint32_t HOST_LIST_PAGES = (sizeof(HOST_LIST) + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE;
constexpr uint8_t DRIVE_LOOP_4_BIT = 0x80;
constexpr uint8_t HIGHEST_LOOP_ID = 125;

HOST_LIST* s_psHostList = nullptr;

// The four login tables in column order: this controller's come first on
// the board in slot 1, the partner's first on the one in slot 2.
void GetLoginTables(HOST_PORT_RECORD* apsTable[HOST_LIST_COLUMNS]) {
    HOST_PORT_RECORD* apsOwn[2] = {pGetHostPortRecord(1), pGetHostPortRecord(2)};
    HOST_PORT_RECORD* apsPartner[2] = {pGetPartnerPortRecord(1), pGetPartnerPortRecord(2)};
    const bool fSlot1 = fIsControllerSlot1() == TRUE;
    for (uint8_t c = 0; c < 2; c++) {
        apsTable[c] = fSlot1 ? apsOwn[c] : apsPartner[c];
        apsTable[c + 2] = fSlot1 ? apsPartner[c] : apsOwn[c];
    }
}

uint32_t dLoginCount(const HOST_PORT_RECORD* psTable) {
    if (psTable == nullptr) return 0;
    return psTable->bInitiatorCount < HOST_PORT_INITIATORS ? psTable->bInitiatorCount : HOST_PORT_INITIATORS;
}

// The login of the table that carries both names of a host.
const HOST_INITIATOR* psFindLogin(const HOST_PORT_RECORD* psTable, const HOST_INITIATOR& sHost) {
    for (uint32_t i = 0; i < dLoginCount(psTable); i++) {
        const HOST_INITIATOR& s = psTable->asInitiator[i];
        if (std::memcmp(s.abNodeName, sHost.abNodeName, 8) == 0 && std::memcmp(s.abPortName, sHost.abPortName, 8) == 0) {
            return &s;
        }
    }
    return nullptr;
}

bool IsOwnColumn(uint8_t bColumn) { return (bColumn < 2) == (fIsControllerSlot1() == TRUE); }

bool IsShown(uint16_t wIndex) {
    if (s_psHostList == nullptr || wIndex >= s_psHostList->wCount) return false;
    const HOST_LIST_ENTRY& s = s_psHostList->asEntry[wIndex];
    bool fLoggedIn = false;
    for (uint8_t bId : s.abId) fLoggedIn = fLoggedIn || bId != HOST_NOT_LOGGED_IN;
    return fLoggedIn && fIsHostNameSet(s.abNodeName) == TRUE;
}

// The columns a listing shows: one port per controller with NVRAM option
// 1, this board's two alone without the partner's, else all four.
uint8_t bShownColumns(uint8_t abColumn[HOST_LIST_COLUMNS]) {
    if (fIsNvramOption1Set() == TRUE) {
        abColumn[0] = 0;
        abColumn[1] = 2;
        return 2;
    }
    if (fGetBoardFlagB6() != TRUE) {
        abColumn[0] = 0;
        abColumn[1] = 1;
        return 2;
    }
    for (uint8_t c = 0; c < HOST_LIST_COLUMNS; c++) abColumn[c] = c;
    return HOST_LIST_COLUMNS;
}

bool IsSasHost() { return bGetHostInterfaceType() == HOST_INTERFACE_SAS_TARGET; }

// The tag of a logged-in column: on this controller's Fibre Channel ports
// the chip's topology, on the partner's only whether it is a fabric login.
const char* pszTag(uint8_t bColumn, uint8_t fFabric) {
    if (IsSasHost()) return fFabric == TRUE ? "(F-P)" : "(  P)";
    if (!IsOwnColumn(bColumn)) return fFabric == TRUE ? "(F-?)" : "(  ?)";
    uint8_t bAlpa = 0;
    uint32_t dPortId = 0;
    uint16_t wTopology = 0xFFFF;
    if (bQLGetLoopId(static_cast<uint8_t>(bColumn % 2 + 1), &bAlpa, &dPortId, &wTopology) != STATUS_OK) wTopology = 0xFFFF;
    switch (wTopology) {
    case 0: return "(  L)";
    case 1: return "(F-L)";
    case 2: return "(  P)";
    case 3: return "(F-P)";
    default: return "(  ?)";
    }
}

void PrintName(const uint8_t* pb) {
    ConsolePrintf("%02x%02x%02x%02x%02x%02x%02x%02x", pb[0], pb[1], pb[2], pb[3], pb[4], pb[5], pb[6], pb[7]);
}

void PrintRule(uint32_t dDashes) {
    char ac[80];
    std::memset(ac, '-', dDashes);
    ac[dDashes] = '\0';
    ConsolePrintf("%s\n", ac);
}

}  // namespace

void AllocHostList() {
    // The mapping menus cannot do without it.
    s_psHostList = static_cast<HOST_LIST*>(pBufferHandleToPointer(dTakeStartOfDayPages(HOST_LIST_PAGES)));
    InitHostList();
}

void InitHostList() {
    if (s_psHostList == nullptr) return;
    std::memset(s_psHostList, 0, sizeof(HOST_LIST));
    s_psHostList->dHeaderSize = offsetof(HOST_LIST, asEntry);
    for (HOST_LIST_ENTRY& s : s_psHostList->asEntry) std::memset(s.abId, HOST_NOT_LOGGED_IN, sizeof(s.abId));
}

void BuildHostList() {
    if (s_psHostList == nullptr) return;
    InitHostList();
    HOST_PORT_RECORD* apsTable[HOST_LIST_COLUMNS];
    GetLoginTables(apsTable);
    uint16_t wCount = 0;
    for (uint8_t c = 0; c < HOST_LIST_COLUMNS; c++) {
        for (uint32_t i = 0; i < dLoginCount(apsTable[c]); i++) {
            const HOST_INITIATOR& sLogin = apsTable[c]->asInitiator[i];
            // A host already listed from an earlier column.
            bool fListed = false;
            for (uint8_t e = 0; e < c && !fListed; e++) fListed = psFindLogin(apsTable[e], sLogin) != nullptr;
            if (fListed) continue;
            // With a partner four tables hold up to 1,020 logins: the list
            // keeps the first 512 hosts.
            if (wCount == HOST_LIST_MAX) break;
            HOST_LIST_ENTRY& s = s_psHostList->asEntry[wCount++];
            std::memcpy(s.abNodeName, sLogin.abNodeName, 8);
            std::memcpy(s.abPortName, sLogin.abPortName, 8);
            s.abId[c] = sLogin.bId;
            s.afFabric[c] = sLogin.fFabric;
            for (uint8_t d = static_cast<uint8_t>(c + 1); d < HOST_LIST_COLUMNS; d++) {
                if (const HOST_INITIATOR* ps = psFindLogin(apsTable[d], sLogin)) {
                    s.abId[d] = ps->bId;
                    s.afFabric[d] = ps->fFabric;
                }
            }
        }
    }
    s_psHostList->wCount = wCount;
}

const HOST_LIST* pGetHostList() { return s_psHostList; }

uint8_t fIsHostNameSet(const uint8_t* pbName) {
    bool fZeros = true;
    bool fOnes = true;
    for (uint8_t i = 0; i < 8; i++) {
        fZeros = fZeros && pbName[i] == 0x00;
        fOnes = fOnes && pbName[i] == 0xFF;
    }
    return ToFlag(!fZeros && !fOnes);
}
uint16_t wGetHostListCount() { return s_psHostList != nullptr ? s_psHostList->wCount : 0; }

void PrintHostListHeader() {
    const bool fSas = IsSasHost();
    if (fIsNvramOption1Set() == TRUE) {
        ConsolePrintf("No. Node Name        Port Name        C%sP%s     C%sP%s\n", "0", "0", "1", "0");
        PrintRule(55);
    } else if (fGetBoardFlagB6() != TRUE && fSas) {
        ConsolePrintf("No. SAS Address      C%sP%s     C%sP%s\n", "0", "0", "0", "1");
        PrintRule(38);
    } else if (fGetBoardFlagB6() != TRUE) {
        ConsolePrintf("No. Node Name        Port Name        C%sP%s     C%sP%s\n", "0", "0", "0", "1");
        PrintRule(55);
    } else if (fSas) {
        ConsolePrintf("No. SAS Address      C%sP%s     C%sP%s     C%sP%s     C%sP%s\n", "0", "0", "0", "1", "1", "0", "1", "1");
        PrintRule(56);
    } else {
        ConsolePrintf("No. Node Name        Port Name        C%sP%s     C%sP%s     C%sP%s     C%sP%s\n", "0", "0", "0", "1",
                      "1", "0", "1", "1");
        PrintRule(73);
    }
}

uint8_t bPrintHostListEntry(uint16_t wIndex) {
    if (!IsShown(wIndex)) return 0;
    const HOST_LIST_ENTRY& s = s_psHostList->asEntry[wIndex];
    PrintName(s.abNodeName);
    if (!IsSasHost()) {
        ConsolePrintf(" ");
        PrintName(s.abPortName);
    }
    uint8_t abColumn[HOST_LIST_COLUMNS];
    const uint8_t bColumns = bShownColumns(abColumn);
    for (uint8_t i = 0; i < bColumns; i++) {
        const uint8_t c = abColumn[i];
        if (s.abId[c] == HOST_NOT_LOGGED_IN) {
            ConsolePrintf(" --------");
        } else {
            ConsolePrintf(" %03d%s", s.abId[c], pszTag(c, s.afFabric[c]));
        }
    }
    ConsolePrintf("\n");
    return STATUS_OK;
}

void PrintHostList() {
    ConsolePrintf("\n");
    PrintHostListHeader();
    for (uint16_t w = 0; w < wGetHostListCount(); w++) {
        if (!IsShown(w)) continue;
        ConsolePrintf("%03d ", w);
        (void)bPrintHostListEntry(w);
    }
}

uint8_t fIsDriveLoopIdPresent(uint8_t bLoopId) {
    const uint8_t bId = static_cast<uint8_t>(bLoopId & ~DRIVE_LOOP_4_BIT);
    if (bId > HIGHEST_LOOP_ID) return FALSE;
    uint8_t bAlpa = 0;
    if (fLoopIdToAlpa(bId, &bAlpa) != TRUE) return FALSE;
    const uint8_t bPath = (bLoopId & DRIVE_LOOP_4_BIT) != 0 ? 4 : 3;
    return ToFlag(fIsLoopDevicePresent(bPath, bId) == STATUS_OK);
}

}  // namespace fw
