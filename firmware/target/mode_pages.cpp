// The controller's mode pages and the MODE SENSE and MODE SELECT handlers.
#include "target/mode_pages.h"

#include <algorithm>
#include <cstring>

#include "config/host_lun_tables.h"
#include "config/ld_table.h"
#include "config/nvram_layout.h"
#include "console/option_settings.h"
#include "eventlog/target_trace.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/host_interface.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/command_replies.h"
#include "target/dispatcher.h"
#include "target/host_command_codes.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t PAGE_VENDOR = 0x00;
constexpr uint8_t PAGE_FORMAT_DEVICE = 0x03;
constexpr uint8_t PAGE_RIGID_DISK = 0x04;
constexpr uint8_t PAGE_CACHING = 0x08;
constexpr uint8_t PAGE_CONTROL = 0x0A;
// Software write protect of the control page.  The pages are one set for
// every logical drive and host of this controller and the partner keeps its
// own, so the bit could only protect everything here and nothing there: it
// is not changeable, and a list that sets it is refused rather than taken
// and ignored.
constexpr uint8_t CONTROL_SWP_BYTE = 4;
constexpr uint8_t CONTROL_SWP = 0x08;
constexpr uint8_t PAGE_XOR_CONTROL = 0x10;
constexpr uint8_t PAGE_PORT = 0x19;
constexpr uint8_t STRICT_SELECT = 0x02;           // vendor page byte 2
constexpr uint8_t CACHING_BYTE2 = 0x14;           // what byte 2 of the caching page always starts as
constexpr uint16_t SECTORS_PER_TRACK = 0x0080;
constexpr uint8_t HEADS = 64;
constexpr uint8_t CYLINDER_SHIFT = 13;            // blocks per cylinder: 64 heads x 128 sectors
constexpr uint8_t DEVICE_SPECIFIC_DPOFUA = 0x10;
constexpr uint8_t DEVICE_SPECIFIC_WP = 0x80;
constexpr uint8_t LONG_LBA = 0x01;
constexpr uint8_t LONG_DESCRIPTOR_LENGTH = 16;
constexpr uint8_t CDB_DBD = 0x08;
constexpr uint8_t CDB_LLBAA = 0x10;
constexpr uint8_t CDB_SAVE_PAGES = 0x01;
constexpr uint8_t PAGE_CODE_FIELD = 0x7F;         // of a page in a parameter list: the PS bit is ignored
constexpr uint8_t TRACE_BYTES_PER_LINE = 16;
constexpr uint8_t TRACE_BYTES_PER_GROUP = 8;

struct MODE_PAGE_DEFINITION {
    uint8_t bCode;
    uint8_t bSize;           // whole page: code and length bytes included
    uint8_t bNvramOffset;    // of its valid byte in the mode page area; the page follows
    uint8_t abChangeable[MAX_MODE_PAGE_BYTES];
    uint8_t abDefault[MAX_MODE_PAGE_BYTES];
};

// In the order MODE SENSE of all pages returns them.
constexpr MODE_PAGE_DEFINITION s_asPages[] = {
    {0x01, 12, 5, {0x81, 0x0A, 0xEF, 0xFF, 0, 0, 0, 0, 0xFF, 0, 0, 0},
     {0x81, 0x0A, 0xC8, 0x4F, 0x30, 0, 0, 0, 0x2B, 0, 0xFF, 0xFF}},
    {0x02, 16, 18, {0x82, 0x0E, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0},
     {0x82, 0x0E, 0x80, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x84, 0, 0, 0, 0}},
    {0x03, 24, 35, {0x83, 0x16, 0, 0, 0xFF, 0xFF},
     {0x83, 0x16, 0x00, 0x78, 0x00, 0x60, 0, 0, 0, 0, 0, 0, 0x02, 0x00, 0x00, 0x01, 0x00, 0x14, 0x00, 0x32, 0x40}},
    {0x04, 24, 60, {0x84, 0x16},
     {0x84, 0x16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1C, 0x20}},   // 7200 rpm
    {0x07, 12, 85, {0x87, 0x0A, 0x0F, 0xFF}, {0x87, 0x0A, 0x00, 0x4F, 0x30, 0, 0, 0, 0, 0, 0xFF, 0xFF}},
    {0x08, 20, 98, {0x88, 0x12, 0xB5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0xA0, 0xFF},
     {0x88, 0x12, 0x14, 0x00, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x03}},
    {0x0A, 12, 119, {0x8A, 0x0A, 0x03, 0xF0, 0x00}, {0x8A, 0x0A, 0x02}},
    {0x10, 24, 132, {0x90, 0x16}, {0x90, 0x16, 0x02}},
    {0x19, 8, 157, {}, {}},   // by host interface, below
    {0x1A, 12, 166, {0x9A, 0x0A, 0x00, 0x03}, {0x9A, 0x0A, 0x00, 0x02, 0, 0, 0, 0x01, 0, 0, 0, 0x04}},
    {0x1C, 12, 179, {0x9C, 0x0A, 0x8C, 0x0F}, {0x9C, 0x0A, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 0x01}},
    {0x00, 4, 0, {0x80, 0x02, 0x37, 0x02}, {0x80, 0x02, 0x00, 0x00}},
};
constexpr uint8_t PAGE_COUNT = sizeof(s_asPages) / sizeof(s_asPages[0]);

// Page 0x19 of each kind of host port.
struct PORT_PAGE {
    uint8_t abChangeable[8];
    uint8_t abDefault[8];
};
constexpr PORT_PAGE PORT_PAGE_FIBRE = {{0x99, 0x06, 0x00, 0x3F}, {0x99, 0x06}};
constexpr PORT_PAGE PORT_PAGE_SAS_TARGET = {{0x99, 0x06, 0x06, 0x00, 0xFF, 0xFF, 0xFF, 0xFF},
                                            {0x99, 0x06, 0x06, 0x00, 0x27, 0x10, 0x27, 0x10}};
constexpr PORT_PAGE PORT_PAGE_OTHER_SAS = {{0x99, 0x06, 0x00, 0x00, 0xFF, 0xFF}, {0x99, 0x06, 0x01, 0x00, 0xFF, 0xFF}};

// The valid bytes and pages tile the NVRAM area exactly, each page where
// its offset says.
constexpr bool IsNvramAreaTiled() {
    uint32_t dBytes = 0;
    for (uint8_t i = 0; i < PAGE_COUNT; i++) {
        const MODE_PAGE_DEFINITION& a = s_asPages[i];
        dBytes += 1u + a.bSize;
        if (a.bNvramOffset + 1u + a.bSize > MODE_PAGE_AREA_BYTES) return false;
        for (uint8_t j = 0; j < i; j++) {
            const MODE_PAGE_DEFINITION& b = s_asPages[j];
            if (a.bNvramOffset < b.bNvramOffset + 1u + b.bSize && b.bNvramOffset < a.bNvramOffset + 1u + a.bSize) {
                return false;
            }
        }
    }
    return dBytes == MODE_PAGE_AREA_BYTES;
}
static_assert(IsNvramAreaTiled());

uint8_t s_aaabCopy[PAGE_COUNT][MODE_PAGE_COPIES][MAX_MODE_PAGE_BYTES];

uint8_t* pbCopy(uint8_t bPage, uint8_t bPageControl) { return s_aaabCopy[bPage][bPageControl]; }

// The table index of a page code; PAGE_COUNT when the controller has none.
uint8_t bPageIndex(uint8_t bCode) {
    for (uint8_t i = 0; i < PAGE_COUNT; i++) {
        if (s_asPages[i].bCode == bCode) return i;
    }
    return PAGE_COUNT;
}

uint32_t dNvramPageOffset(uint8_t bPage) {
    return NVRAM_OFFSET(abTargetRegion) + s_asPages[bPage].bNvramOffset + 1u;
}
uint32_t dNvramValidOffset(uint8_t bPage) { return NVRAM_OFFSET(abTargetRegion) + s_asPages[bPage].bNvramOffset; }

const PORT_PAGE& sPortPage() {
    switch (bGetHostInterfaceType()) {
    case HOST_INTERFACE_FC: return PORT_PAGE_FIBRE;
    case HOST_INTERFACE_SAS_TARGET: return PORT_PAGE_SAS_TARGET;
    default: return PORT_PAGE_OTHER_SAS;
    }
}

// A stored page is taken only when it is marked valid and still carries its
// own code and length: anything else in the area is not a page we saved.
bool LoadSavedPage(uint8_t bPage, uint8_t* pbSaved) {
    if (bNvramRead8(dNvramValidOffset(bPage)) != TRUE) return false;
    uint8_t abStored[MAX_MODE_PAGE_BYTES];
    const uint8_t bSize = s_asPages[bPage].bSize;
    NvramRead(dNvramPageOffset(bPage), abStored, bSize);
    const uint8_t* pbDefault = pbCopy(bPage, MODE_PC_DEFAULT);
    if (abStored[0] != pbDefault[0] || abStored[1] != pbDefault[1]) return false;
    std::memcpy(pbSaved, abStored, bSize);
    return true;
}

// The page is written before it is marked valid, so that a power cut
// between the two leaves the defaults to be stored again.
void StoreSavedPage(uint8_t bPage) {
    NvramWrite(dNvramPageOffset(bPage), pbCopy(bPage, MODE_PC_SAVED), s_asPages[bPage].bSize);
    NvramWrite8(dNvramValidOffset(bPage), TRUE);
}

bool IsStrictSelect() { return (pbCopy(bPageIndex(PAGE_VENDOR), MODE_PC_CURRENT)[2] & STRICT_SELECT) != 0; }

bool IsSenseablePage(uint8_t bCode, uint8_t bPortCode) {
    if (bCode == MODE_PAGE_ALL) return true;
    if (bCode == PAGE_XOR_CONTROL) return bPortCode == PORT_CODE_FC_HOST_1 || bPortCode == PORT_CODE_FC_HOST_2;
    return bPageIndex(bCode) < PAGE_COUNT;
}

// The drive's blocks, (capacity + 1) / F without the sum that could wrap.
uint64_t lBlocksOf(uint16_t wLd, uint64_t lCapacity) {
    uint32_t dFactor = bGetLogicalDriveBlockFactor(wLd);
    if (dFactor == 0) dFactor = 1;
    return lCapacity / dFactor + (lCapacity % dFactor == dFactor - 1 ? 1 : 0);
}

// One page as MODE SENSE returns it; the geometry fields are worked out for
// every copy but the changeable mask.
uint8_t* pbPutPage(uint8_t bPage, uint8_t bPageControl, uint64_t lBlocks, uint8_t* pb) {
    const uint8_t bSize = s_asPages[bPage].bSize;
    std::memcpy(pb, pbCopy(bPage, bPageControl), bSize);
    if (bPageControl != MODE_PC_CHANGEABLE) {
        if (s_asPages[bPage].bCode == PAGE_FORMAT_DEVICE) PutBe16(pb + 10, SECTORS_PER_TRACK);
        if (s_asPages[bPage].bCode == PAGE_RIGID_DISK) {
            PutBe24(pb + 2, static_cast<uint32_t>(lBlocks >> CYLINDER_SHIFT));
            pb[5] = HEADS;
        }
    }
    return pb + bSize;
}

// ---- MODE SELECT parameter lists ----

struct PAGE_IN_LIST {
    uint8_t bPage;            // table index
    const uint8_t* pbBytes;   // the page as the host sent it
};

// A walk over the pages of a parameter list, each bounded by the bytes
// received.
struct PARAMETER_LIST_WALK {
    const uint8_t* pbList;
    uint32_t dLength;    // bytes received
    uint32_t dNext;      // offset of the next page
};

bool IsWalkDone(const PARAMETER_LIST_WALK& s) { return s.dNext >= s.dLength; }

// The next page; FALSE for a page cut short, of a code the controller does
// not have, or of a length other than its own.
bool NextPage(PARAMETER_LIST_WALK* psWalk, PAGE_IN_LIST* psPage) {
    if (psWalk->dNext + 2 > psWalk->dLength) return false;
    const uint8_t* pb = psWalk->pbList + psWalk->dNext;
    const uint32_t dPageBytes = 2u + pb[1];
    if (psWalk->dNext + dPageBytes > psWalk->dLength) return false;
    psWalk->dNext += dPageBytes;
    psPage->bPage = bPageIndex(pb[0] & PAGE_CODE_FIELD);
    psPage->pbBytes = pb;
    return psPage->bPage < PAGE_COUNT && dPageBytes == s_asPages[psPage->bPage].bSize;
}

void TracePage(const uint8_t* pbPage) {
    ConsolePrintf("Mode Select Page: %02x Length: %02x\n", pbPage[0], pbPage[1]);
    const uint32_t dBytes = 2u + pbPage[1];
    for (uint32_t i = 0; i < dBytes; i++) {
        ConsolePrintf("%02x ", pbPage[i]);
        if ((i + 1) % TRACE_BYTES_PER_LINE == 0) {
            ConsolePrintf("\n");
        } else if ((i + 1) % TRACE_BYTES_PER_GROUP == 0) {
            ConsolePrintf("- ");
        }
    }
    if (dBytes % TRACE_BYTES_PER_LINE != 0) ConsolePrintf("\n");
}

// TRUE when every byte's change from the current copy is changeable; with
// the trace on, the bytes that are not are reported.
bool IsPageChangeable(const PAGE_IN_LIST& s, bool fTrace) {
    const uint8_t* pbCurrent = pbCopy(s.bPage, MODE_PC_CURRENT);
    const uint8_t* pbChangeable = pbCopy(s.bPage, MODE_PC_CHANGEABLE);
    bool fChangeable = true;
    for (uint8_t i = 2; i < s_asPages[s.bPage].bSize; i++) {
        if (((s.pbBytes[i] ^ pbCurrent[i]) & ~pbChangeable[i]) == 0) continue;
        fChangeable = false;
        if (fTrace) {
            ConsolePrintf("Mode Select Page:%02x Offset:%02x Value:%02x not changable\n", s.pbBytes[0], i,
                          s.pbBytes[i]);
        }
    }
    return fChangeable;
}

// Each byte whose change is wholly changeable goes into the current copy,
// and with fSave into the saved copy and NVRAM; the others stay.
void ApplyPage(const PAGE_IN_LIST& s, bool fSave) {
    uint8_t* pbCurrent = pbCopy(s.bPage, MODE_PC_CURRENT);
    uint8_t* pbSaved = pbCopy(s.bPage, MODE_PC_SAVED);
    const uint8_t* pbChangeable = pbCopy(s.bPage, MODE_PC_CHANGEABLE);
    for (uint8_t i = 2; i < s_asPages[s.bPage].bSize; i++) {
        const uint8_t bChange = s.pbBytes[i] ^ pbCurrent[i];
        if ((bChange & ~pbChangeable[i]) != 0) continue;
        pbCurrent[i] = s.pbBytes[i];
        if (fSave && pbSaved[i] != s.pbBytes[i]) {
            pbSaved[i] = s.pbBytes[i];
            NvramWrite8(dNvramPageOffset(s.bPage) + i, s.pbBytes[i]);
        }
    }
}

bool SetsWriteProtect(const PAGE_IN_LIST& s) {
    return s_asPages[s.bPage].bCode == PAGE_CONTROL && (s.pbBytes[CONTROL_SWP_BYTE] & CONTROL_SWP) != 0;
}

// The ASC of a parameter list that cannot be taken, or 0 when it can.
uint8_t bCheckParameterList(const uint8_t* pbList, uint32_t dReceived, bool fSixByte, uint32_t* pdFirstPage) {
    const uint32_t dHeader = fSixByte ? MODE_HEADER6_LENGTH : MODE_HEADER10_LENGTH;
    if (dReceived < dHeader) return ASC_PARAMETER_LIST_LENGTH;
    const uint32_t dDescriptors = fSixByte ? pbList[3] : wGetBe16(pbList + 6);
    if (dHeader + dDescriptors > dReceived) return ASC_PARAMETER_LIST_LENGTH;
    *pdFirstPage = dHeader + dDescriptors;
    const bool fTrace = fGetTargetCommandTrace() == TRUE;
    const bool fStrict = IsStrictSelect();
    PARAMETER_LIST_WALK sWalk = {pbList, dReceived, *pdFirstPage};
    while (!IsWalkDone(sWalk)) {
        PAGE_IN_LIST s;
        if (!NextPage(&sWalk, &s)) return ASC_INVALID_FIELD_IN_PARAMETERS;
        if (fTrace) TracePage(s.pbBytes);
        if (!IsPageChangeable(s, fTrace) && (fStrict || SetsWriteProtect(s))) return ASC_INVALID_FIELD_IN_PARAMETERS;
    }
    return 0;
}

}  // namespace

void InitModePages() {
    for (uint8_t i = 0; i < PAGE_COUNT; i++) {
        const MODE_PAGE_DEFINITION& s = s_asPages[i];
        const bool fPort = s.bCode == PAGE_PORT;
        std::memcpy(pbCopy(i, MODE_PC_CHANGEABLE), fPort ? sPortPage().abChangeable : s.abChangeable, s.bSize);
        std::memcpy(pbCopy(i, MODE_PC_DEFAULT), fPort ? sPortPage().abDefault : s.abDefault, s.bSize);
        if (!LoadSavedPage(i, pbCopy(i, MODE_PC_SAVED))) {
            std::memcpy(pbCopy(i, MODE_PC_SAVED), pbCopy(i, MODE_PC_DEFAULT), s.bSize);
            StoreSavedPage(i);
        }
        // A control page saved with write protect set (taken, and never
        // kept, by an earlier firmware) is stored again without it.
        uint8_t* pbSaved = pbCopy(i, MODE_PC_SAVED);
        if (s.bCode == PAGE_CONTROL && (pbSaved[CONTROL_SWP_BYTE] & CONTROL_SWP) != 0) {
            pbSaved[CONTROL_SWP_BYTE] &= static_cast<uint8_t>(~CONTROL_SWP);
            StoreSavedPage(i);
        }
        std::memcpy(pbCopy(i, MODE_PC_CURRENT), pbSaved, s.bSize);
    }
    const uint8_t bCaching = bPageIndex(PAGE_CACHING);
    for (uint8_t bPageControl : {MODE_PC_CURRENT, MODE_PC_SAVED, MODE_PC_DEFAULT}) {
        pbCopy(bCaching, bPageControl)[2] = CACHING_BYTE2;
    }
}

void GetModePageCopies(uint8_t bPageCode, uint8_t** ppbCurrent, uint8_t** ppbChangeable, uint8_t** ppbSaved,
                       uint32_t* pdNvramOffset) {
    const uint8_t bPage = bPageIndex(bPageCode);
    const bool fKnown = bPage < PAGE_COUNT;
    *ppbCurrent = fKnown ? pbCopy(bPage, MODE_PC_CURRENT) : nullptr;
    *ppbChangeable = fKnown ? pbCopy(bPage, MODE_PC_CHANGEABLE) : nullptr;
    *ppbSaved = fKnown ? pbCopy(bPage, MODE_PC_SAVED) : nullptr;
    *pdNvramOffset = fKnown ? dNvramPageOffset(bPage) : 0;
}

uint16_t wBuildModeSenseData(uint8_t* pbBuffer, uint16_t wLd, uint8_t bPageCode, uint8_t fBlockDescriptors,
                             uint8_t bPageControl, uint64_t lCapacity, uint8_t fTenByte, uint8_t fLongLba) {
    const bool fTen = fTenByte == TRUE;
    const bool fLong = fTen && fLongLba == TRUE;
    const uint64_t lBlocks = lBlocksOf(wLd, lCapacity);
    const uint32_t dBlockSize = wGetLogicalDriveBlockSize(wLd);
    uint8_t bDescriptorLength = 0;
    if (fBlockDescriptors == TRUE) bDescriptorLength = fLong ? LONG_DESCRIPTOR_LENGTH : MODE_BLOCK_DESCRIPTOR_LENGTH;
    uint8_t* pb = pbBuffer;
    if (fTen) {
        pb[3] = DEVICE_SPECIFIC_DPOFUA;
        pb[4] = fLong ? LONG_LBA : 0;
        PutBe16(pb + 6, bDescriptorLength);
        pb += MODE_HEADER10_LENGTH;
    } else {
        pb[2] = DEVICE_SPECIFIC_DPOFUA;
        pb[3] = bDescriptorLength;
        pb += MODE_HEADER6_LENGTH;
    }
    if (bDescriptorLength == LONG_DESCRIPTOR_LENGTH) {
        PutBe64(pb, lBlocks);
        PutBe32(pb + 12, dBlockSize);
    } else if (bDescriptorLength == MODE_BLOCK_DESCRIPTOR_LENGTH) {
        PutBe32(pb, static_cast<uint32_t>(std::min<uint64_t>(lBlocks, 0xFFFFFFFF)));
        PutBe24(pb + 5, dBlockSize);
    }
    pb += bDescriptorLength;
    const bool fFibre = bGetHostInterfaceType() == HOST_INTERFACE_FC;
    for (uint8_t i = 0; i < PAGE_COUNT; i++) {
        const uint8_t bCode = s_asPages[i].bCode;
        const bool fWanted = bPageCode == MODE_PAGE_ALL ? (bCode != PAGE_XOR_CONTROL || fFibre) : bCode == bPageCode;
        if (fWanted) pb = pbPutPage(i, bPageControl, lBlocks, pb);
    }
    const uint16_t wLength = static_cast<uint16_t>(pb - pbBuffer);
    if (fTen) {
        PutBe16(pbBuffer, static_cast<uint16_t>(wLength - 2));
    } else {
        pbBuffer[0] = static_cast<uint8_t>(wLength - 1);
    }
    return wLength;
}

uint8_t ModeSense(KERNEL_ENTRY* psEntry) {
    if (fFinishIfLoopReset(psEntry) == TRUE) {
        DecPortNewCommands(psEntry->bPortCode);
        return STATUS_OK;
    }
    uint8_t* pbCdb = pGetCommandCdb(psEntry);
    // The 6-byte form is answered in its own layout from the 10-byte CDB.
    if (pbCdb[0] == SCSI_MODE_SENSE6) {
        WidenCdbTo10(pbCdb);
        psEntry->bSecondaryState = SECONDARY_MODE_SENSE6;
    }
    const bool fSixByte = psEntry->bSecondaryState == SECONDARY_MODE_SENSE6;
    if (!PassesReservedFieldCheck(psEntry)) return STATUS_OK;
    const uint16_t wLd = psEntry->wLunIndex;
    uint64_t lCapacity = 0;
    if (bGetLogicalDriveCapacity(wLd, &lCapacity) != STATUS_OK) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0);
        return STATUS_OK;
    }
    const uint8_t bPageCode = pbCdb[2] & MODE_PAGE_CODE_MASK;
    const uint8_t bPageControl = static_cast<uint8_t>(pbCdb[2] >> 6);
    if (!IsSenseablePage(bPageCode, psEntry->bPortCode)) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return STATUS_OK;
    }
    uint8_t* pb = pbTakeCommandPages(psEntry, 1);
    if (pb == nullptr) return STATUS_NO_PAGES;
    const uint16_t wLength = wBuildModeSenseData(pb, wLd, bPageCode, ToFlag((pbCdb[1] & CDB_DBD) == 0), bPageControl,
                                                 lCapacity, ToFlag(!fSixByte), ToFlag((pbCdb[1] & CDB_LLBAA) != 0));
    uint16_t wMapped = NO_LUN_INDEX;
    const uint8_t bLookup = bLookupCommandLun(psEntry, &wMapped);
    if (bLookup != LUN_LOOKUP_NONE && (bLookup & LUN_LOOKUP_READ_ONLY) != 0) {
        pb[fSixByte ? 2 : 3] |= DEVICE_SPECIFIC_WP;
    }
    return bSendCommandPages(psEntry, std::min<uint32_t>(wLength, wGetBe16(pbCdb + 7)));
}

uint8_t ModeSelect(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return STATUS_OK;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint32_t dLength = pbCdb[0] == SCSI_MODE_SELECT6 ? pbCdb[4] : wGetBe16(pbCdb + 7);
    if (dLength == 0) {
        AnswerCommand(psEntry, SCSI_STATUS_GOOD, 0, 0);
        return STATUS_OK;
    }
    // The list is received into one page: a longer one cannot be taken.
    if (dLength > BUFFER_PAGE_SIZE) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_PARAMETER_LIST_LENGTH, 0);
        return STATUS_OK;
    }
    if (pbTakeCommandPages(psEntry, 1) == nullptr) return STATUS_NO_PAGES;
    psEntry->bCommandType = COMMAND_TYPE_MODE_SELECT;
    const BUS_ADDRESS dList = dBufferHandleToPciAddress(psEntry->dBufferHandle);
    const TRANSFER_SEGMENT sSegment = {static_cast<uint32_t>(dList), dLength};
    StartDataOutTransfer(psEntry, &sSegment, 1);
    DecPortNewCommands(psEntry->bPortCode);
    return STATUS_OK;
}

void ModeSelectData(KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const bool fSixByte = pbCdb[0] == SCSI_MODE_SELECT6;
    const bool fSave = (pbCdb[1] & CDB_SAVE_PAGES) != 0;
    // What came in: the list asked for, no more than the initiator sent.
    uint32_t dReceived = fSixByte ? pbCdb[4] : wGetBe16(pbCdb + 7);
    if (fIsFibreHostCommand(psEntry) == TRUE) dReceived = std::min(dReceived, dGetCommandExpectedLength(psEntry));
    dReceived = std::min<uint32_t>(dReceived, BUFFER_PAGE_SIZE);
    const uint8_t* pbList = static_cast<const uint8_t*>(pBufferHandleToPointer(psEntry->dBufferHandle));
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    uint32_t dFirstPage = 0;
    const uint8_t bAsc = bCheckParameterList(pbList, dReceived, fSixByte, &dFirstPage);
    if (bAsc != 0) {
        (void)SendScsiStatus(psEntry, SENSE_ILLEGAL_REQUEST, bAsc, 0);
        return;
    }
    PARAMETER_LIST_WALK sWalk = {pbList, dReceived, dFirstPage};
    PAGE_IN_LIST s;
    while (!IsWalkDone(sWalk) && NextPage(&sWalk, &s)) ApplyPage(s, fSave);
    (void)SendScsiStatus(psEntry, SCSI_STATUS_GOOD, 0, 0);
}

}  // namespace fw
