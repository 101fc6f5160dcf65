#include "fc/ql_mailbox_commands.h"

#include <cstring>

#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/drive_loop_isr.h"
#include "fc/loop_maps.h"
#include "fc/ql_chip.h"
#include "fc/ql_rings.h"
#include "hw/addresses.h"
#include "hw/isp_fc.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

constexpr uint8_t QL_PORTS = 4;
constexpr uint8_t EVENT_DRIVE_LOOP_RESET = 60;
constexpr uint8_t EVENT_HOST_LOOP_RESET = 61;
constexpr uint16_t LOOP_RESET_24XX_OPTIONS = 0x18;
constexpr uint16_t LOOP_RESET_24XX_DELAY = 0xF7F7;
constexpr uint8_t SFP_IDENTITY_ADDRESS = 0xA0;
constexpr uint8_t SFP_DIAGNOSTICS_ADDRESS = 0xA2;
constexpr uint16_t SFP_HALF_BYTES = 64;
constexpr uint32_t CT_COMMAND_BYTES = 52;
constexpr uint32_t CT_RESPONSE_OFFSET = 256;
constexpr uint32_t CT_RESPONSE_BYTES = 256;

uint8_t s_afLoopResetRequest[QL_PORTS] = {FALSE, FALSE, FALSE, FALSE};

uint16_t wHigh(uint32_t d) { return static_cast<uint16_t>(d >> 16); }
uint16_t wLow(uint32_t d) { return static_cast<uint16_t>(d); }

// A page for the chip to write into: its bus address goes into mailboxes 2
// and 3 (6 and 7, the upper half, are 0).
struct DATA_PAGE {
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    bool fTaken = false;
    ~DATA_PAGE() {
        if (fTaken) (void)wFreeDataPages(dHandle, 1);
    }
    bool Take() {
        fTaken = bAllocDataPages(0, 1, &dHandle) == STATUS_OK;
        return fTaken;
    }
    uint8_t* pb() const { return static_cast<uint8_t*>(pBufferHandleToPointer(dHandle)); }
    BUS_ADDRESS dBus() const { return dBufferHandleToPciAddress(dHandle); }
    void Address(QL_MAILBOX_COMMAND* ps, uint32_t dOffset = 0) const {
        SetQLMailboxAddress(ps, 2, 3, dBus() + dOffset);
        SetQLMailbox(ps, 6, 0);
        SetQLMailbox(ps, 7, 0);
    }
};

// The command's answer: 20 when mailbox 0 said 0x4006.
uint8_t bNameResult(uint8_t bStatus, const QL_MAILBOX_COMMAND& s) {
    if (bStatus == STATUS_OK) return STATUS_OK;
    return s.awMailbox[0] == MBS_COMMAND_ERROR ? QL_RESULT_COMMAND_ERROR : 0;
}

void PutName(uint8_t* pbName, const QL_MAILBOX_COMMAND& s, bool fHighFirst) {
    const uint8_t abMailbox[4] = {2, 3, 6, 7};
    for (int i = 0; i < 4; ++i) {
        const uint16_t w = s.awMailbox[abMailbox[i]];
        pbName[2 * i] = static_cast<uint8_t>(fHighFirst ? w >> 8 : w);
        pbName[2 * i + 1] = static_cast<uint8_t>(fHighFirst ? w : w >> 8);
    }
}

uint8_t bGetPortNameCommon(uint8_t bChip, uint16_t wId, uint8_t fPortName, uint8_t* pbName, uint8_t* pbLoopId,
                           bool fHighFirst) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_PORT_NAME);
    SetQLMailbox(&s, 1, wId);
    if (fHighFirst) {
        SetQLMailbox(&s, 9, 0);
    } else {
        SetQLMailbox(&s, 2, 0);
        SetQLMailbox(&s, 3, 0);
        SetQLMailbox(&s, 6, 0);
        SetQLMailbox(&s, 7, 0);
    }
    SetQLMailbox(&s, 10, fPortName == TRUE ? ISP_PORT_NAME_OPTION : 0);
    const uint8_t bStatus = bQLMailboxCommand(bChip, &s);
    if (bStatus != STATUS_OK) return bNameResult(bStatus, s);
    PutName(pbName, s, fHighFirst);
    if (pbLoopId != nullptr) *pbLoopId = static_cast<uint8_t>(s.awMailbox[1]);
    return STATUS_OK;
}

uint8_t bPortDatabaseCommand(uint8_t bChip, uint16_t wId, uint8_t* pbDatabase) {
    DATA_PAGE sPage;
    if (!sPage.Take()) return 0;
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_PORT_DATABASE);
    SetQLMailbox(&s, 1, wId);
    sPage.Address(&s);
    SetQLMailbox(&s, 10, 0);
    const uint8_t bStatus = bQLMailboxCommand(bChip, &s);
    if (bStatus != STATUS_OK) return bNameResult(bStatus, s);
    std::memcpy(pbDatabase, sPage.pb(), QL_PORT_DATABASE_BYTES);
    return STATUS_OK;
}

bool IsPort(uint8_t bPort) { return bPort >= 1 && bPort <= QL_PORTS; }

}  // namespace

uint8_t bGetFirmwareState(uint8_t bChip, uint16_t* pwState) {
    *pwState = QL_FIRMWARE_STATE_UNREAD;
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_FIRMWARE_STATE);
    if (bQLMailboxCommand(bChip, &s) != STATUS_OK) return 0;
    *pwState = s.awMailbox[1];
    return STATUS_OK;
}

uint8_t bQLGetLoopId(uint8_t bChip, uint8_t* pbAlpa, uint32_t* pdPortId, uint16_t* pwTopology) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_GET_LOOP_ID);
    SetQLMailbox(&s, 1, 0);
    SetQLMailbox(&s, 2, 0);
    SetQLMailbox(&s, 3, 0);
    if (bQLMailboxCommand(bChip, &s) != STATUS_OK) return 0;
    *pdPortId = static_cast<uint32_t>(s.awMailbox[3] & 0xFF) << 16 | s.awMailbox[2];
    *pwTopology = s.awMailbox[6];
    if (s.awMailbox[6] > ISP_TOPOLOGY_FABRIC_LOOP) {
        *pbAlpa = 1;
        return STATUS_OK;
    }
    return fLoopIdToAlpa(static_cast<uint8_t>(s.awMailbox[1]), pbAlpa) == TRUE ? STATUS_OK : 0;
}

uint8_t bQLGetLoopPositionMap(uint8_t bChip, uint8_t* pbMap) {
    DATA_PAGE sPage;
    if (!sPage.Take()) return 0;
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_LOOP_POSITION_MAP);
    sPage.Address(&s);
    if (bQLMailboxCommand(bChip, &s) != STATUS_OK) return 0;
    std::memcpy(pbMap, sPage.pb(), QL_LOOP_MAP_BYTES);
    return STATUS_OK;
}

uint8_t bQLGetPortDatabase(uint8_t bChip, uint8_t bAlpa, uint8_t* pbDatabase) {
    const uint8_t bLoopId = bAlpaToLoopId(bAlpa);
    if (bLoopId == 0xFF) return 0;
    return bPortDatabaseCommand(bChip, bLoopId, pbDatabase);
}

uint8_t bQLGetPortDatabaseById(uint8_t bChip, uint16_t wId, uint8_t* pbDatabase) {
    return bPortDatabaseCommand(bChip, wId, pbDatabase);
}

uint8_t bQLGetPortName(uint8_t bChip, uint16_t wId, uint8_t fPortName, uint8_t* pbName, uint8_t* pbLoopId) {
    return bGetPortNameCommon(bChip, wId, fPortName, pbName, pbLoopId, false);
}

uint8_t bQLGetPortNameBE(uint8_t bChip, uint16_t wId, uint8_t fPortName, uint8_t* pbName, uint8_t* pbLoopId) {
    return bGetPortNameCommon(bChip, wId, fPortName, pbName, pbLoopId, true);
}

uint8_t bQLGetLinkStatus(uint8_t bChip, uint8_t bAlpa, BUS_ADDRESS dBufferAddress, uint16_t wOption) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_LINK_STATUS);
    SetQLMailbox(&s, 1, bAlpaToLoopId(bAlpa));
    SetQLMailboxAddress(&s, 2, 3, dBufferAddress);
    SetQLMailbox(&s, 6, 0);
    SetQLMailbox(&s, 7, 0);
    SetQLMailbox(&s, 10, wOption);
    return bQLMailboxCommand(bChip, &s);
}

// Two 64-byte halves of an SFF-8472 page; the second keeps mailboxes 1, 8
// and 10 of the first.
uint8_t bQLReadSfp(uint8_t bChip, uint8_t fDiagnostics, BUFFER_HANDLE dBufferHandle) {
    const BUS_ADDRESS dBus = dBufferHandleToPciAddress(dBufferHandle);
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_READ_SFP);
    SetQLMailbox(&s, 1, fDiagnostics == TRUE ? SFP_DIAGNOSTICS_ADDRESS : SFP_IDENTITY_ADDRESS);
    SetQLMailboxAddress(&s, 2, 3, dBus);
    SetQLMailbox(&s, 6, 0);
    SetQLMailbox(&s, 7, 0);
    SetQLMailbox(&s, 8, SFP_HALF_BYTES);
    SetQLMailbox(&s, 9, 0);
    SetQLMailbox(&s, 10, 0);
    if (bQLMailboxCommand(bChip, &s) != STATUS_OK) return 0;
    QL_MAILBOX_COMMAND s2 = sQLCommand(MBC_READ_SFP);
    SetQLMailboxAddress(&s2, 2, 3, dBus + SFP_HALF_BYTES);
    SetQLMailbox(&s2, 9, SFP_HALF_BYTES);
    if (bQLMailboxCommand(bChip, &s2) == STATUS_OK) return STATUS_OK;
    return s2.awMailbox[0] == MBS_PARAMETER_ERROR ? QL_RESULT_SFP_PARAMETER : 0;
}

// Registers FCP as this port's FC-4 type with the fabric name server: by a
// CT pass-through entry on the ISP24xx (finished by CtPassThroughDone,
// which gives the page and the entry back), by mailbox on the ISP2x00.
uint8_t bQLRegisterFc4Types(uint8_t bChip, uint32_t dPortId) {
    if (fIsChipPresent(bChip) != TRUE) return 0;
    if (fIsQL24xx() == TRUE) {
        KERNEL_ENTRY* psEntry = nullptr;
        uint16_t wIndex = 0;
        if (bAllocTargetEntries(bChip, 1, &psEntry, &wIndex, FALSE) != STATUS_OK) return 0;
        BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
        if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) {
            FreeTargetEntry(psEntry);
            return 0;
        }
        auto* pbCt = static_cast<uint8_t*>(pBufferHandleToPointer(dPage));
        std::memset(pbCt, 0, CT_COMMAND_BYTES);
        pbCt[0] = 1;       // CT revision
        pbCt[4] = 0xFC;    // directory service
        pbCt[5] = 2;       // name server
        pbCt[8] = 0x02;    // RFT_ID
        pbCt[9] = 0x17;
        pbCt[17] = static_cast<uint8_t>(dPortId >> 16);
        pbCt[18] = static_cast<uint8_t>(dPortId >> 8);
        pbCt[19] = static_cast<uint8_t>(dPortId);
        pbCt[22] = 1;      // FC-4 type FCP
        const uint32_t dBus = static_cast<uint32_t>(dBufferHandleToPciAddress(dPage));
        ISP24_CT_PASSTHROUGH sCt{};
        sCt.bEntryType = ISP_ENTRY_CT_PASSTHROUGH;
        sCt.bEntryCount = 1;
        sCt.dHandle = dAddressWord(psEntry);
        sCt.wNportHandle = ISP24_HANDLE_NAME_SERVER;
        sCt.wCommandSegments = 1;
        sCt.wTimeout = 5;
        sCt.wResponseSegments = 1;
        sCt.dResponseByteCount = CT_RESPONSE_BYTES;
        sCt.dCommandByteCount = CT_COMMAND_BYTES;
        sCt.dCommandAddressLow = dBus;
        sCt.dCommandLength = CT_COMMAND_BYTES;
        sCt.dResponseAddressLow = dBus + CT_RESPONSE_OFFSET;
        sCt.dResponseLength = CT_RESPONSE_BYTES;
        std::memcpy(psEntry, &sCt, sizeof sCt);
        psEntry->dBufferHandle = dPage;
        if (bPostRequestQueueEntries(bChip, 1, psEntry) != STATUS_OK) {
            (void)wFreeDataPages(dPage, 1);
            FreeTargetEntry(psEntry);
            return 0;
        }
        return STATUS_OK;
    }
    DATA_PAGE sPage;
    if (!sPage.Take()) return 0;
    uint8_t* pb = sPage.pb();
    std::memset(pb, 0, 64);
    const uint32_t dResponse = static_cast<uint32_t>(sPage.dBus() + CT_RESPONSE_OFFSET);
    pb[0] = 8;
    std::memcpy(pb + 4, &dResponse, 4);
    pb[12] = 22;
    pb[16] = 0x17;
    pb[17] = 0x02;
    pb[24] = static_cast<uint8_t>(dPortId);
    pb[25] = static_cast<uint8_t>(dPortId >> 8);
    pb[26] = static_cast<uint8_t>(dPortId >> 16);
    pb[29] = 1;
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_REGISTER_FC4_TYPES);
    SetQLMailbox(&s, 1, 30);
    sPage.Address(&s);
    return bQLMailboxCommand(bChip, &s);
}

uint8_t bQLExecuteIocb(uint8_t bChip, BUS_ADDRESS dEntryAddress) {
    if (fIsChipPresent(bChip) != TRUE || bQLMailboxReady(bChip) != STATUS_OK) return 0;
    const uint32_t dAddress = static_cast<uint32_t>(dEntryAddress);
    const uint16_t awMailbox[4] = {MBC_EXECUTE_IOCB, 0, wHigh(dAddress), wLow(dAddress)};
    for (uint8_t n = 0; n < 4; ++n) {
        if (bQLWriteMailbox(bChip, n, awMailbox[n]) != STATUS_OK) return 0;
    }
    return bQLHostCommand(bChip, ISP_HC_SET_HOST_INT);
}

uint8_t bQLResetLoop(uint8_t bPort) {
    QL_MAILBOX_COMMAND s = sQLCommand(fIsQL24xx() == TRUE ? MBC_LOOP_RESET_24XX : MBC_LOOP_RESET_2X00);
    if (fIsQL24xx() == TRUE) {
        SetQLMailbox(&s, 1, LOOP_RESET_24XX_OPTIONS);
        SetQLMailbox(&s, 2, LOOP_RESET_24XX_DELAY);
        SetQLMailbox(&s, 3, 0);
    }
    return bQLMailboxCommand(bPort, &s);
}

void ResetLoop(uint8_t bPort) {
    if (!IsPort(bPort)) return;
    PostEvent(bPort >= 3 ? EVENT_DRIVE_LOOP_RESET : EVENT_HOST_LOOP_RESET, (bPort & 1) ? 1 : 2);
    const uint8_t bReset = bQLResetLoop(bPort);
    SetLoopResetRequest(bPort, FALSE);
    if (bReset == STATUS_OK && bPort >= 3) SetDriveLipReset(bPort, TRUE);
}

void SetLoopResetRequest(uint8_t bPort, uint8_t f) {
    if (!IsPort(bPort)) return;
    s_afLoopResetRequest[bPort - 1] = f;
    if (f == TRUE) SetWorkPending(TRUE);
}

uint8_t fGetLoopResetRequest(uint8_t bPort) { return IsPort(bPort) ? s_afLoopResetRequest[bPort - 1] : FALSE; }

}  // namespace fw
