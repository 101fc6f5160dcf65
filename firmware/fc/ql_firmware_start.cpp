#include "fc/ql_firmware_start.h"

#include <cstring>

#include "config/apply_settings.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/ql_chip.h"
#include "fc/ql_chip_services.h"
#include "fc/fc_driver.h"
#include "fc/loop_maps.h"
#include "fc/ql_handle_map.h"
#include "fc/ql_host_events.h"
#include "fc/ql_risc_image.h"
#include "fc/ql_rings.h"
#include "fc/ql_target_entries.h"
#include "hw/fpga.h"
#include "hw/hw.h"
#include "hw/isp_fc.h"
#include "platform/pci.h"

namespace fw {

namespace {

constexpr uint32_t CFG_BOARD_CONTROL_24XX = 0x002E6407;
constexpr uint32_t CFG_BOARD_CONTROL_2X00 = 0x002E5407;
constexpr uint16_t CFG_COMMAND_VALUE = 0x0155;
constexpr uint16_t CFG_CACHE_LINE_VALUE = 0x1800;
constexpr uint8_t DRIVE_OPTION_BIT = 0x80;
constexpr uint16_t ICB_VERSION = 1;
constexpr uint16_t ICB_FRAME_SIZE = 2048;
constexpr uint16_t ICB_THROTTLE = 30;
constexpr uint16_t ICB_LOGIN_RETRIES = 8;
constexpr uint16_t ICB_LINK_DOWN_ON_NOS = 200;
constexpr uint16_t ICB_EXCHANGE_RESERVE = 128;
constexpr uint16_t ICB_DEFAULT_HARD_ADDRESS = 4;
constexpr uint32_t ICB_BYTES = 4096;

uint8_t s_fDriveLoopOption = FALSE;
uint8_t s_afPortFlag[4] = {FALSE, FALSE, FALSE, FALSE};
uint8_t s_afBoardPortFlag[2] = {FALSE, FALSE};   // cleared with the board flag B6
uint8_t s_afServiceRequest[2] = {FALSE, FALSE};   // a restarted chip waits for its control block
uint8_t s_abHardLoopId[2] = {QL_NO_HARD_LOOP_ID, QL_NO_HARD_LOOP_ID};
uint8_t s_abHostPortWwn[8];
uint8_t s_fHostPortWwnValid = FALSE;

bool IsHostChip(uint8_t bChip) { return bChip == 1 || bChip == 2; }

uint16_t wHigh(uint32_t d) { return static_cast<uint16_t>(d >> 16); }
uint16_t wLow(uint32_t d) { return static_cast<uint16_t>(d); }

uint8_t* pbCpu(BUFFER_HANDLE d) { return static_cast<uint8_t*>(pBufferHandleToPointer(d)); }

// Hard loop ID setting of a host port: bit 7 configured, bits 0-6 the ID.
uint8_t bConfiguredHardLoopId(uint8_t bPort) {
    const uint8_t b = bGetHostPortHardAddress(bPort);
    return (b & 0x80) ? static_cast<uint8_t>(b & 0x7F) : QL_NO_HARD_LOOP_ID;
}

uint32_t dOptions2(uint8_t bPort) {
    switch (bGetHostPortConnectionSetting(bPort)) {
    case 2: return 0;
    case 1: return 0x10;
    default: return 0x20;
    }
}

uint32_t dOptions3(uint8_t bPort) {
    switch (bGetHostPortSpeedSetting(bPort)) {
    case 1: return 0x20;
    case 2: return 0x2020;
    case 3: return 0x6020;
    default: return 0x4020;
    }
}

uint16_t wSpecialOptions2x00(uint8_t bPort) {
    switch (bGetHostPortSpeedSetting(bPort)) {
    case 1: return 0x2000;
    case 2: return 0x6000;
    default: return 0xA000;
    }
}

// Takes the ICB page, lets the caller fill it, zeroes the chip's ring
// pointers and hands the block to the firmware.  The page goes back on
// every path; only a completed command with mailbox 0 = 0x4000 succeeds.
// No page to be had fails it at once: nothing gives pages back while this
// waits.
template <typename FILL>
uint8_t bInitFirmware(uint8_t bChip, FILL Fill) {
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return 0;
    uint8_t* pbIcb = pbCpu(dPage);
    std::memset(pbIcb, 0, ICB_BYTES);
    Fill(pbIcb);
    bool fOk;
    if (fIsQL24xx() == TRUE) {
        fOk = bQLWriteReg32(bChip, ISP24_REG_REQ_IN, 0) == STATUS_OK && bQLWriteReg32(bChip, ISP24_REG_RSP_OUT, 0) == STATUS_OK &&
              bQLWriteReg32(bChip, ISP24_REG_ATIO_OUT, 0) == STATUS_OK && bQLWriteReg32(bChip, 0x2C, 0) == STATUS_OK;
    } else {
        fOk = bQLWriteReg16(bChip, ISP2X_REG_REQ_IN, 0) == STATUS_OK && bQLWriteReg16(bChip, ISP2X_REG_RSP_OUT, 0) == STATUS_OK;
    }
    if (fOk) {
        QL_MAILBOX_COMMAND s = sQLCommand(MBC_INITIALIZE_FIRMWARE);
        SetQLMailbox(&s, 1, 0);
        SetQLMailboxAddress(&s, 2, 3, dBufferHandleToPciAddress(dPage));
        SetQLMailbox(&s, 6, 0);
        SetQLMailbox(&s, 7, 0);
        fOk = bQLMailboxCommand(bChip, &s) == STATUS_OK;
    }
    (void)wFreeDataPages(dPage, 1);
    return fOk ? STATUS_OK : 0;
}

// The controller WWN, port 2's with byte 5's top bit flipped when so set.
void GetNodeName(uint8_t bChip, uint8_t* pbNodeName) {
    pGetControllerWWN(pbNodeName);
    if (bChip == 2 && fGetPort2WwnVariant() == TRUE) pbNodeName[5] ^= 0x80;
}

}  // namespace

void GetHostPortNames(uint8_t bChip, uint8_t* pbPortName, uint8_t* pbNodeName) {
    GetNodeName(bChip, pbNodeName);
    std::memcpy(pbPortName, pbNodeName, 8);
    const bool fAlternate = bGetHostPortMode() != 1 && fIsControllerSlot1() != TRUE;
    pbPortName[0] = static_cast<uint8_t>((bChip == 1 ? 0x21 : 0x22) + (fAlternate ? 2 : 0));
    pbPortName[1] = 0;
}

uint8_t fIsAcceptedChipId(uint32_t dId) {
    return ToFlag(dId == ISP_ID_2322 || dId == ISP_ID_2312 || fIsQL24xxChipId(dId) == TRUE);
}

uint8_t fIsQL24xxChipId(uint32_t dId) {
    return ToFlag(dId == ISP_ID_2422 || dId == ISP_ID_6422 || dId == ISP_ID_2432 || dId == ISP_ID_6432);
}

void SetProbeDefaults() {
    ResetChipStates();
    InitLoopMaps();
    s_fDriveLoopOption = FALSE;
    SetQLPortFlags(15, FALSE);
    ClearHandleMap(1);
    ClearHandleMap(2);
}

// Before the chips are looked for: nothing of a previous start may ask
// for an ENABLE LUN or a loop reset, or leave the host ports flagged.
void ResetFibreChannelStartFlags() {
    SetEnableLunRequest(FALSE);
    SetLoopResetRequest(3, FALSE);
    SetLoopResetRequest(4, FALSE);
    SetQLPortFlags(1, FALSE);
    SetQLPortFlags(2, FALSE);
    SetLoopResetRequest(1, FALSE);
    SetLoopResetRequest(2, FALSE);
}

void FinishProbe() {
    SetEnableLunRequest(FALSE);
    if (fGetBoardFlagB6() == TRUE) s_afBoardPortFlag[0] = s_afBoardPortFlag[1] = FALSE;
    if (bGetHostInterfaceType() == HOST_INTERFACE_FC) ClearHostPortWwn();
}

void InitQLogicChips() {
    SetProbeDefaults();
    if (bGetHostInterfaceType() == HOST_INTERFACE_FC) {
        for (uint8_t bChip = 1; bChip <= 2; ++bChip) {
            uint32_t dId = 0;
            if (bPciConfigRead32(bChip, ISP_CFG_ID, &dId) != STATUS_OK || fIsAcceptedChipId(dId) != TRUE) continue;
            if (fIsQL24xxChipId(dId) == TRUE) SetQL24xx(TRUE);
            SetChipPresent(bChip, TRUE);
            SetChipPciId(bChip, dId);
            SetChipFault(bChip, FALSE);
            const uint8_t bLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
            const uint8_t bStarted = bQLStartChip(bChip);
            if (bLock != STATUS_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
            if (bStarted != STATUS_OK) SetChipPresent(bChip, FALSE);
        }
    }
    FinishProbe();
}

uint8_t bQLStartChip(uint8_t bChip) {
    QL_CHIP_STATE* ps = psGetChipState(bChip);
    if (ps == nullptr || ps->fPresent != TRUE) return 0;
    const bool f24xx = fIsQL24xx() == TRUE;
    const uint32_t dIoBase = static_cast<uint32_t>(bChip - 1) * ISP_REGISTER_SPAN;
    uint32_t dRevision = 0;
    if (bQLConfigRead32(bChip, ISP_CFG_REVISION, &dRevision) != STATUS_OK) return 0;
    ps->fRevisionOne = ToFlag((dRevision & 0xFF) == 1);
    if (bQLConfigWrite32(bChip, ISP_CFG_BOARD_CONTROL, f24xx ? CFG_BOARD_CONTROL_24XX : CFG_BOARD_CONTROL_2X00) != STATUS_OK ||
        bQLConfigWrite16(bChip, ISP_CFG_COMMAND, CFG_COMMAND_VALUE) != STATUS_OK ||
        bQLConfigWrite16(bChip, ISP_CFG_CACHE_LINE, CFG_CACHE_LINE_VALUE) != STATUS_OK ||
        bQLConfigWrite32(bChip, ISP_CFG_BAR0, dIoBase) != STATUS_OK) {
        return 0;
    }
    if (f24xx) ps->dIoBase = dIoBase;
    const uint8_t bEnable = f24xx ? bQLWriteReg32(bChip, ISP24_REG_INT_CONTROL, ISP24_INT_CONTROL_RISC)
                                  : bQLWriteReg16(bChip, ISP2X_REG_INT_CONTROL, ISP2X_INT_CONTROL_ENABLE);
    if (bEnable != STATUS_OK) return 0;
    if (bChip == 3 && fGetBoardFlagD8() == FALSE) {
        uint32_t dOption = 0;
        if (bQLReadReg32(bChip, ISP24_REG_OPTION, &dOption) != STATUS_OK) return 0;
        if (dOption & DRIVE_OPTION_BIT) s_fDriveLoopOption = TRUE;
    }
    if (bQLMailboxTest(bChip) != STATUS_OK) return 0;
    (void)bQLReleaseSemaphore(bChip);
    return bQLLoadAndStartFirmware(bChip);
}

uint8_t bQLLoadAndStartFirmware(uint8_t bChip) {
    QL_CHIP_STATE* ps = psGetChipState(bChip);
    if (ps == nullptr) return 0;
    const uint32_t dId = ps->dPciId;
    if (dId == ISP_ID_2312 || dId == ISP_ID_2322) {
        // This firmware carries no ISP2x00 image; only a test board's chips,
        // which start their own, may serve.
        if (Reg16Read(FPGA_BOARD) & FPGA_BOARD_HOST_CHIP_FIRMWARE) return STATUS_OK;
        ConsolePrintf("Unsupported QL2312 reported.\n");
        HaltController();
    }
    if (fIsQL24xxChipId(dId) != TRUE) return 0;
    // The staging area, not pages: at a start the cache kept over a power
    // cut may leave no megabyte free in one piece.
    const BUFFER_HANDLE dStaging = dGetImageStagingArea();
    ClearMailboxComplete(bChip);
    bool fOk = dStaging != NULL_BUFFER_HANDLE;
    for (uint8_t s = 0; s < RISC_SEGMENTS && fOk; ++s) {
        RISC_SEGMENT sSegment{};
        fOk = fGetRiscSegment(s, &sSegment) == TRUE && sSegment.dWordCount * 4 <= IMAGE_STAGING_BYTES;
        if (!fOk) break;
        std::memcpy(pbCpu(dStaging), sSegment.pdWords, sSegment.dWordCount * 4);
        fOk = bQLLoadRam(bChip, dBufferHandleToPciAddress(dStaging), sSegment.dWordCount, sSegment.dLoadAddress) == STATUS_OK;
    }
    fOk = fOk && bQLVerifyChecksum(bChip, RISC_SEGMENT1_ADDRESS) == STATUS_OK &&
          bQLExecuteFirmware(bChip, RISC_SEGMENT1_ADDRESS) == STATUS_OK;
    if (fIsQL24xx() == TRUE) ClearHandleMap(bChip);
    return fOk ? STATUS_OK : 0;
}

uint8_t bQLMailboxTest(uint8_t bChip) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_MAILBOX_TEST);
    for (uint8_t n = 1; n < ISP_MAILBOXES; ++n) SetQLMailbox(&s, n, n);
    s.dReadMask = ~1u;
    if (bQLPolledMailboxCommand(bChip, &s) != STATUS_OK) return 0;
    for (uint8_t n = 1; n < ISP_MAILBOXES; ++n) {
        if (s.awMailbox[n] != n) return 0;
    }
    return STATUS_OK;
}

uint8_t bQLLoadRam(uint8_t bChip, BUS_ADDRESS dBusAddress, uint32_t dWordCount, uint32_t dRiscAddress) {
    QL_MAILBOX_COMMAND s = sQLCommand(dRiscAddress >= RISC_EXTENDED_ADDRESS ? MBC_LOAD_RAM_EXTENDED : MBC_LOAD_RAM);
    SetQLMailbox(&s, 1, wLow(dRiscAddress));
    SetQLMailboxAddress(&s, 2, 3, dBusAddress);
    if (fIsQL24xx() == TRUE) {
        SetQLMailbox(&s, 4, wHigh(dWordCount));
        SetQLMailbox(&s, 5, wLow(dWordCount));
    } else {
        SetQLMailbox(&s, 4, wLow(dWordCount));
    }
    SetQLMailbox(&s, 6, 0);
    SetQLMailbox(&s, 7, 0);
    SetQLMailbox(&s, 8, wHigh(dRiscAddress));
    return bQLPolledMailboxCommand(bChip, &s);
}

uint8_t bQLVerifyChecksum(uint8_t bChip, uint32_t dRiscAddress) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_VERIFY_CHECKSUM);
    if (fIsQL24xx() == TRUE) {
        SetQLMailbox(&s, 1, wHigh(dRiscAddress));
        SetQLMailbox(&s, 2, wLow(dRiscAddress));
    } else {
        SetQLMailbox(&s, 1, wLow(dRiscAddress));
    }
    s.dReadMask = 1u << 1;
    return bQLPolledMailboxCommand(bChip, &s) == STATUS_OK && s.awMailbox[1] == 0 ? STATUS_OK : 0;
}

uint8_t bQLExecuteFirmware(uint8_t bChip, uint32_t dRiscAddress) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_EXECUTE_FIRMWARE);
    if (fIsQL24xx() == TRUE) {
        SetQLMailbox(&s, 1, wHigh(dRiscAddress));
        SetQLMailbox(&s, 2, wLow(dRiscAddress));
        SetQLMailbox(&s, 3, 0);
    } else {
        SetQLMailbox(&s, 1, wLow(dRiscAddress));
        SetQLMailbox(&s, 2, 0);
    }
    SetQLMailbox(&s, 8, 0);
    return bQLPolledMailboxCommand(bChip, &s);
}

uint8_t bQLInitFirmware24xx(uint8_t bChip) {
    uint16_t awCounts[6] = {};
    if (bQLGetResourceCounts(bChip, awCounts) != STATUS_OK) return 0;
    const uint8_t bPort = bChip;
    const uint8_t bHardId = bConfiguredHardLoopId(bPort);
    if (IsHostChip(bChip)) s_abHardLoopId[bChip - 1] = bHardId;
    return bInitFirmware(bChip, [&](uint8_t* pbIcb) {
        ISP24_ICB s{};
        s.wVersion = ICB_VERSION;
        s.wFrameSize = ICB_FRAME_SIZE;
        s.wExecutionThrottle = ICB_THROTTLE;
        s.wExchangeCount = static_cast<uint16_t>(awCounts[3] - ICB_EXCHANGE_RESERVE);
        s.wHardAddress = bHardId == QL_NO_HARD_LOOP_ID ? ICB_DEFAULT_HARD_ADDRESS : bHardId;
        GetHostPortNames(bChip, s.abPortName, s.abNodeName);
        s.wLoginRetryCount = ICB_LOGIN_RETRIES;
        s.wResponseLength = wGetResponseRingLength(bChip);
        s.wRequestLength = wGetRequestRingLength(bChip);
        s.wLinkDownOnNos = ICB_LINK_DOWN_ON_NOS;
        BUS_ADDRESS dRequest{}, dResponse{}, dAtio{};
        GetRequestRingBase(bChip, &dRequest);
        GetResponseRingBase(bChip, &dResponse);
        GetAtioRingBase(bChip, &dAtio);
        s.dRequestAddressLow = static_cast<uint32_t>(dRequest);
        s.dResponseAddressLow = static_cast<uint32_t>(dResponse);
        s.wAtioLength = wGetAtioRingLength(bChip);
        s.dAtioAddressLow = static_cast<uint32_t>(dAtio);
        s.dFirmwareOptions1 = bHardId == QL_NO_HARD_LOOP_ID ? ICB24_OPTIONS1_SOFT_ID : ICB24_OPTIONS1_HARD_ID;
        s.dFirmwareOptions2 = dOptions2(bPort);
        s.dFirmwareOptions3 = dOptions3(bPort);
        std::memcpy(pbIcb, &s, sizeof s);
        if (bChip == 1) SetHostPortWwn(s.abNodeName);
    });
}

// The ISP2x00 block serves host chips and drive chips alike.
uint8_t bQLInitFirmware2x00(uint8_t bChip) {
    const bool fHost = IsHostChip(bChip);
    const uint8_t bHardId = fHost ? bConfiguredHardLoopId(bChip) : QL_NO_HARD_LOOP_ID;
    if (fHost) s_abHardLoopId[bChip - 1] = bHardId;
    return bInitFirmware(bChip, [&](uint8_t* pbIcb) {
        auto Put16 = [pbIcb](uint32_t dOffset, uint16_t w) { std::memcpy(pbIcb + dOffset, &w, 2); };
        auto Put32 = [pbIcb](uint32_t dOffset, uint32_t d) { std::memcpy(pbIcb + dOffset, &d, 4); };
        Put16(0x00, ICB_VERSION);
        Put16(0x02, fHost ? (bHardId == QL_NO_HARD_LOOP_ID ? ICB2X_OPTIONS_SOFT_ID : ICB2X_OPTIONS_HARD_ID)
                          : ICB2X_OPTIONS_DRIVE);
        Put16(0x04, ICB_FRAME_SIZE);
        Put16(0x06, 128);
        Put16(0x08, ICB_THROTTLE);
        pbIcb[0x0A] = 8;
        pbIcb[0x0B] = 1;
        uint8_t abNode[8];
        if (fHost) {
            GetHostPortNames(bChip, pbIcb + 0x0C, abNode);
            std::memcpy(pbIcb + 0x18, abNode, 8);
            if (bChip == 1) SetHostPortWwn(abNode);
        } else {
            const uint8_t abDrive[8] = {0x20, 0x00, 0x00, 0xE0, 0x8B, 0x00, 0x14,
                                        static_cast<uint8_t>((bChip == 3 ? 0x65 : 0x67) + (fIsControllerSlot1() == TRUE ? 0 : 1))};
            std::memcpy(pbIcb + 0x0C, abDrive, 8);
        }
        Put16(0x14, bHardId == QL_NO_HARD_LOOP_ID ? ICB_DEFAULT_HARD_ADDRESS : bHardId);
        Put16(0x16, 0x007F);
        Put16(0x24, wGetRequestRingLength(bChip));
        Put16(0x26, wGetResponseRingLength(bChip));
        BUS_ADDRESS dRequest{}, dResponse{};
        GetRequestRingBase(bChip, &dRequest);
        GetResponseRingBase(bChip, &dResponse);
        Put32(0x28, static_cast<uint32_t>(dRequest));
        Put32(0x30, static_cast<uint32_t>(dResponse));
        Put16(0x38, 1);
        pbIcb[0x3A] = 0xFF;
        pbIcb[0x3B] = 0xFF;
        Put16(0x40, fHost ? static_cast<uint16_t>(dOptions2(bChip)) : 0);
        Put16(0x44, fHost ? wSpecialOptions2x00(bChip) : (s_fDriveLoopOption == FALSE ? 0x6000 : 0x2000));
    });
}

// The running firmware's version, then its control block.
uint8_t bStartHostChipFirmware(uint8_t bChip) {
    uint16_t wMajor = 0, wMinor = 0, wSubminor = 0, wAttributes = 0, wMailbox6 = 0;
    uint32_t dMemory = 0;
    if (bQLGetFirmwareVersion(bChip, &wMajor, &wMinor, &wSubminor, &wAttributes, &dMemory, &wMailbox6) != STATUS_OK) return 0;
    (void)StoreFirmwareVersion(bChip, wMajor, wMinor, wSubminor, wAttributes, dMemory);
    if (fIsQL24xx() == TRUE) {
        return bQLInitFirmware24xx(bChip) == STATUS_OK && bQLWriteReg32(bChip, ISP24_REG_GPIO_DATA, ISP24_GPIO_LED_OFF) == STATUS_OK
                   ? STATUS_OK : 0;
    }
    return bQLInitFirmware2x00(bChip) == STATUS_OK && bQLHostCommand(bChip, ISP_HC_2X00_TARGET_START) == STATUS_OK ? STATUS_OK : 0;
}

void RestartHostChip(uint8_t bChip) {
    if ((bChip != 1 && bChip != 2) || fIsChipPresent(bChip) != TRUE) return;
    s_afServiceRequest[bChip - 1] = FALSE;
    if (bQLResetRisc(bChip) != STATUS_OK || (fIsQL24xx() == TRUE && bQLWaitResetDone(bChip) != STATUS_OK) ||
        bQLStartChip(bChip) != STATUS_OK) {
        SetChipPresent(bChip, FALSE);
        return;
    }
    ResetHostChipRing(bChip);
    s_afServiceRequest[bChip - 1] = TRUE;
    SetWorkPending(TRUE);
}

uint8_t fGetHostChipServiceRequest(uint8_t bChip) { return bChip == 1 || bChip == 2 ? s_afServiceRequest[bChip - 1] : FALSE; }

// The restart's second half, from the main loop where the mailbox answers
// come in: the firmware gets its control block, the chips' interrupt
// source is open again.
void HostChipService(uint8_t bChip) {
    if (bChip != 1 && bChip != 2) return;
    s_afServiceRequest[bChip - 1] = FALSE;
    EnableInterruptSource0();
    if (fIsChipPresent(bChip) == TRUE && bStartHostChipFirmware(bChip) != STATUS_OK) SetChipPresent(bChip, FALSE);
}

void StartHostChips() {
    ClearHostRiscInterrupt(1);
    ClearHostRiscInterrupt(2);
    const uint8_t bLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
    InitHostChipRings();
    InitHostIsrState();
    if (bLock != STATUS_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);

    for (uint8_t bChip = 1; bChip <= 2; ++bChip) {
        if (fIsChipPresent(bChip) == TRUE && bStartHostChipFirmware(bChip) != STATUS_OK) SetChipPresent(bChip, FALSE);
    }
    SetEnableLunRequest(TRUE);
    for (uint8_t bPort = 1; bPort <= 2; ++bPort) {
        SetTargetResourceRequest(bPort, FALSE);
        ClearTargetResourceCount(bPort);
    }
}

void StartDriveChips() {
    InitDriveIsrState();
    for (uint8_t bChip = 3; bChip <= 4; ++bChip) {
        if (fIsChipPresent(bChip) != TRUE) continue;
        if (bQLInitFirmware2x00(bChip) != STATUS_OK ||
            (fIsQL24xx() != TRUE && bQLHostCommand(bChip, ISP_HC_2X00_TARGET_START) != STATUS_OK)) {
            SetChipPresent(bChip, FALSE);
        }
    }
    SpinDelayMs(500);
    SpinDelayMs(500);
    SetDriveResourceRequest(FALSE);
    ClearDriveResourceCount(3);
    ClearDriveResourceCount(4);
    for (uint8_t bChip = 3; bChip <= 4; ++bChip) {
        if (fGetChipFault(bChip) != TRUE) continue;
        DumpIsp2x00(bChip);
        SetChipPresent(bChip, FALSE);
    }
}

void ClearHostPortWwn() {
    std::memset(s_abHostPortWwn, 0, sizeof s_abHostPortWwn);
    s_fHostPortWwnValid = FALSE;
}

uint8_t fGetHostPortWwn(uint8_t* pbWwn) {
    if (s_fHostPortWwnValid != TRUE) {
        std::memset(pbWwn, 0, 8);
        return FALSE;
    }
    std::memcpy(pbWwn, s_abHostPortWwn, 8);
    return TRUE;
}

void SetHostPortWwn(const uint8_t* pbWwn) {
    bool fValid = false;
    for (int i = 0; i < 8; ++i) fValid = fValid || (pbWwn[i] != 0 && pbWwn[i] != 0xFF);
    if (!fValid) {
        ClearHostPortWwn();
        return;
    }
    std::memcpy(s_abHostPortWwn, pbWwn, 8);
    s_fHostPortWwnValid = TRUE;
}

uint32_t dGetChipPciId(uint8_t bChip) {
    const QL_CHIP_STATE* ps = psGetChipState(bChip);
    return ps == nullptr ? 0 : ps->dPciId;
}

void SetChipPciId(uint8_t bChip, uint32_t dId) {
    if (QL_CHIP_STATE* ps = psGetChipState(bChip)) ps->dPciId = dId;
}

uint8_t fGetDriveLoopOption() { return s_fDriveLoopOption; }

void SetChipFault(uint8_t bChip, uint8_t f) {
    if (QL_CHIP_STATE* ps = psGetChipState(bChip)) ps->fChipFault = f;
}

uint8_t fGetChipFault(uint8_t bChip) {
    const QL_CHIP_STATE* ps = psGetChipState(bChip);
    return ps == nullptr ? FALSE : ps->fChipFault;
}

uint8_t fGetChipRevisionFlag(uint8_t bChip) {
    const QL_CHIP_STATE* ps = psGetChipState(bChip);
    return ps == nullptr ? FALSE : ps->fRevisionOne;
}

uint8_t bGetHostPortHardLoopId(uint8_t bPort) {
    return bPort == 1 || bPort == 2 ? s_abHardLoopId[bPort - 1] : QL_NO_HARD_LOOP_ID;
}

void SetQLPortFlags(uint8_t bPort, uint8_t f) {
    if (bPort == 15) {
        for (uint8_t& b : s_afPortFlag) b = f;
    } else if (bPort >= 1 && bPort <= 4) {
        s_afPortFlag[bPort - 1] = f;
    }
}

uint8_t fGetQLPortFlag(uint8_t bPort) { return bPort >= 1 && bPort <= 4 ? s_afPortFlag[bPort - 1] : FALSE; }

}  // namespace fw
