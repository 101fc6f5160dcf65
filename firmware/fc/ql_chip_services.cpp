#include "fc/ql_chip_services.h"

#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/ql_chip.h"
#include "fc/ql_firmware_start.h"
#include "fc/ql_rings.h"
#include "hw/hw.h"
#include "hw/isp_fc.h"
#include "platform/pci.h"

namespace fw {

namespace {

constexpr uint32_t CFG_BOARD_CONTROL_24XX = 0x002E6407;
constexpr uint32_t CFG_BOARD_CONTROL_OTHER = 0x002E5407;
constexpr uint32_t CFG_COMMAND_LOW = 0x0145;
constexpr uint16_t CFG_CACHE_LINE_VALUE = 0x1800;
constexpr uint32_t MEM_COPY_LIMIT = 0x80;
constexpr uint32_t THROUGHPUT_MS_PER_COUNT = 120;

THROUGHPUT_TEST_REQUEST s_sThroughputTest;

void Banner(const char* pszTitle, uint8_t bChip) {
    DebugPrintf("\n\n");
    DebugPrintf("***************************\n");
    DebugPrintf(pszTitle, bChip);
    DebugPrintf("***************************\n");
}

// Mailbox register 0 answering 0x4000 after an interrupt-driven command.
bool RegisterAnswerComplete(uint8_t bChip) {
    uint16_t w = 0;
    return bQLReadMailboxReg(bChip, 0, &w) == STATUS_OK && w == MBS_COMPLETE;
}

bool ProbePcieChip(uint8_t bChip) {
    uint32_t dId = 0;
    DebugPrintf("Call fPCIeReadConfigReg32 %d, 0x%08x\n", bChip, 0u);
    const uint8_t bRead = bATUeConfigRead32(bChip, ISP_CFG_ID, &dId);
    DebugPrintf("Data read from PCIe:  0x%08x\n", dId);
    if (bRead != STATUS_OK || (dId != ISP_ID_2432 && dId != ISP_ID_6432)) return false;
    SetQL24xx(TRUE);
    SetChipPresent(bChip, TRUE);
    SetChipPciId(bChip, dId);
    SetChipFault(bChip, FALSE);
    const uint8_t bLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
    const uint8_t bSetUp = fQL2Setup(bChip);
    if (bLock != STATUS_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
    return bSetUp == STATUS_OK;
}

}  // namespace

void QL2eInit() {
    Banner("* QL2eInit                *\n", 0);
    SetProbeDefaults();
    if (bGetHostInterfaceType() == HOST_INTERFACE_FC) {
        if (!ProbePcieChip(1) && fIsChipPresent(1) == TRUE) {
            DebugPrintf("\nHost Port %s Error\n", "0");
            SetChipPresent(1, FALSE);
        }
        if (ProbePcieChip(2)) {
            DebugPrintf("Host Port %s Foundb: ", "1");
        } else if (fIsChipPresent(2) == TRUE) {
            DebugPrintf("Host Port %s Error\n", "1");
            SetChipPresent(2, FALSE);
        }
    }
    FinishProbe();
}

uint8_t fQL2Setup(uint8_t bChip) {
    QL_CHIP_STATE* ps = psGetChipState(bChip);
    if ((bChip != 1 && bChip != 2) || ps == nullptr || ps->fPresent != TRUE) return 0;
    const uint32_t dWindow = static_cast<uint32_t>(bChip - 1) * ISP_REGISTER_SPAN;
    const bool f24xx = fIsQL24xx() == TRUE;
    const bool fPcie = fIsPCIeDevice(bChip) == TRUE;
    Banner("* QL2TAR%d SETUPz         *\n", bChip);
    uint32_t dRevision = 0, dCommand = 0;
    if (bQLConfigRead32(bChip, ISP_CFG_REVISION, &dRevision) != STATUS_OK) return 0;
    ps->fRevisionOne = ToFlag((dRevision & 0xFF) == 1);
    if (bQLConfigWrite32(bChip, ISP_CFG_BOARD_CONTROL, f24xx ? CFG_BOARD_CONTROL_24XX : CFG_BOARD_CONTROL_OTHER) != STATUS_OK ||
        bQLConfigRead32(bChip, ISP_CFG_COMMAND, &dCommand) != STATUS_OK ||
        bQLConfigWrite32(bChip, ISP_CFG_COMMAND, (dCommand & 0xFFFF0000u) | CFG_COMMAND_LOW) != STATUS_OK ||
        bQLConfigWrite16(bChip, ISP_CFG_CACHE_LINE, CFG_CACHE_LINE_VALUE) != STATUS_OK ||
        bQLConfigWrite32(bChip, ISP_CFG_BAR0, dWindow) != STATUS_OK) {
        return 0;
    }
    if (fPcie && (bQLConfigWrite32(bChip, ISP_CFG_PCIE_0x68, 0x48) != STATUS_OK ||
                  bQLConfigWrite32(bChip, ISP_CFG_PCIE_0x6C, 0) != STATUS_OK ||
                  bQLConfigWrite16(bChip, ISP_CFG_PCIE_0x70, static_cast<uint16_t>(bChip | 0x8000)) != STATUS_OK)) {
        return 0;
    }
    if (f24xx) {
        ps->dIoBase = dWindow;
        uint32_t dControl = 0;
        if (bQLReadReg32(bChip, ISP24_REG_CTRL_STATUS, &dControl) != STATUS_OK) return 0;
        uint32_t dDevctl = 0;
        if (bQLWriteReg32(bChip, ISP24_REG_INT_CONTROL, ISP24_INT_CONTROL_RISC) != STATUS_OK ||
            bQLConfigRead32(bChip, ISP_CFG_PCIE_DEVCTL, &dDevctl) != STATUS_OK) {
            return 0;
        }
        DebugPrintf("ORIGINAL CONTENTS OF PCIe DEVCTL:  0x%08x\n", dDevctl);
        if (bQLConfigWrite32(bChip, ISP_CFG_PCIE_DEVCTL, dDevctl) != STATUS_OK ||
            bQLConfigRead32(bChip, ISP_CFG_PCIE_DEVCTL, &dDevctl) != STATUS_OK) {
            return 0;
        }
        DebugPrintf("POST-WRITE CONTENTS OF PCIe DEVCTL:  0x%04x\n", dDevctl);
    } else {
        uint16_t wControl = 0;
        if (bQLReadReg16(bChip, ISP2X_REG_CTRL_STATUS, &wControl) != STATUS_OK ||
            bQLWriteReg16(bChip, ISP2X_REG_INT_CONTROL, ISP2X_INT_CONTROL_ENABLE) != STATUS_OK) {
            return 0;
        }
    }
    if (bQLMailboxTest(bChip) != STATUS_OK) return 0;
    (void)bQLReleaseSemaphore(bChip);
    if (fIsQL24xxChipId(ps->dPciId) != TRUE || bRetrainPCIeLink() != STATUS_OK) return 0;
    return bQLLoadAndStartFirmware(bChip);
}

uint8_t bQLGetFirmwareVersion(uint8_t bChip, uint16_t* pwMajor, uint16_t* pwMinor, uint16_t* pwSubminor,
                              uint16_t* pwAttributes, uint32_t* pdMemorySize, uint16_t* pwMailbox6) {
    if (fIsChipPresent(bChip) != TRUE) return 0;
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_FIRMWARE_VERSION);
    if (bQLMailboxCommand(bChip, &s) != STATUS_OK) return 0;
    *pwMajor = s.awMailbox[1];
    *pwMinor = s.awMailbox[2];
    *pwSubminor = s.awMailbox[3];
    *pwAttributes = s.awMailbox[6];
    *pdMemorySize = static_cast<uint32_t>(s.awMailbox[5]) << 16 | s.awMailbox[4];
    *pwMailbox6 = s.awMailbox[6];
    return STATUS_OK;
}

uint8_t StoreFirmwareVersion(uint8_t bChip, uint16_t wMajor, uint16_t wMinor, uint16_t wSubminor,
                             uint16_t wAttributes, uint32_t dMemorySize) {
    QL_CHIP_STATE* ps = psGetChipState(bChip);
    if (ps == nullptr) return 0;
    ps->wFirmwareMajor = wMajor;
    ps->wFirmwareMinor = wMinor;
    ps->wFirmwareSubminor = wSubminor;
    ps->wFirmwareAttributes = wAttributes;
    ps->dFirmwareMemorySize = dMemorySize;
    return STATUS_OK;
}

uint8_t bGetStoredFirmwareVersion(uint8_t bChip, uint16_t* pwMajor, uint16_t* pwMinor, uint16_t* pwSubminor,
                                  uint16_t* pwAttributes, uint32_t* pdMemorySize) {
    const QL_CHIP_STATE* ps = psGetChipState(bChip);
    if (ps == nullptr) return 0;
    *pwMajor = ps->wFirmwareMajor;
    *pwMinor = ps->wFirmwareMinor;
    *pwSubminor = ps->wFirmwareSubminor;
    *pwAttributes = ps->wFirmwareAttributes;
    *pdMemorySize = ps->dFirmwareMemorySize;
    return STATUS_OK;
}

uint8_t bQLGetResourceCounts(uint8_t bChip, uint16_t* pwCounts) {
    if (fIsChipPresent(bChip) != TRUE) return 0;
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_RESOURCE_COUNTS);
    if (bQLMailboxCommand(bChip, &s) != STATUS_OK || !RegisterAnswerComplete(bChip)) return 0;
    (void)bQLReleaseSemaphore(bChip);
    const uint8_t abMailbox[6] = {1, 2, 3, 6, 7, 10};
    for (int i = 0; i < 6; ++i) {
        if (bQLReadMailboxReg(bChip, abMailbox[i], &pwCounts[i]) != STATUS_OK) return 0;
    }
    return STATUS_OK;
}

uint8_t bQLHostMemCopy(uint8_t bChip, uint32_t dByteCount, BUS_ADDRESS dSource, BUS_ADDRESS dDestination) {
    if (dByteCount > MEM_COPY_LIMIT || dByteCount % 4 != 0 || fIsChipPresent(bChip) != TRUE) return 0;
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_HOST_MEMORY_COPY);
    SetQLMailbox(&s, 1, 0);
    SetQLMailbox(&s, 2, 0);
    SetQLMailboxAddress(&s, 3, 4, dSource);
    SetQLMailbox(&s, 5, 0);
    SetQLMailbox(&s, 6, 0);
    SetQLMailbox(&s, 9, static_cast<uint16_t>(dByteCount / 4));
    SetQLMailboxAddress(&s, 10, 11, dDestination);
    return bQLMailboxCommand(bChip, &s) == STATUS_OK && RegisterAnswerComplete(bChip) ? STATUS_OK : 0;
}

uint8_t HostMemCopyTest(uint8_t bChip) {
    BUFFER_HANDLE dSource = NULL_BUFFER_HANDLE, dDestination = NULL_BUFFER_HANDLE;
    while (bAllocDataPages(0, 1, &dSource) != STATUS_OK) HwPoll();
    while (bAllocDataPages(0, 1, &dDestination) != STATUS_OK) HwPoll();
    auto* pbSource = static_cast<uint8_t*>(pBufferHandleToPointer(dSource));
    auto* pbDestination = static_cast<uint8_t*>(pBufferHandleToPointer(dDestination));
    for (uint32_t i = 0; i < MEM_COPY_LIMIT; ++i) {
        pbSource[i] = static_cast<uint8_t>(i + 1);
        pbDestination[i] = 0;
    }
    const uint8_t bResult = bQLHostMemCopy(bChip, MEM_COPY_LIMIT, dBufferHandleToPciAddress(dSource),
                                           dBufferHandleToPciAddress(dDestination));
    if (bResult == STATUS_OK) {
        DebugPrintf("HostMemCopy TEST\n ");
        for (uint32_t i = 0; i < MEM_COPY_LIMIT; ++i) DebugPrintf("%x ", pbDestination[i]);
        DebugPrintf("\n");
    }
    (void)wFreeDataPages(dSource, 1);
    (void)wFreeDataPages(dDestination, 1);
    return bResult;
}

uint8_t bSetHostChipGpio(uint8_t bChip, uint8_t f) {
    if (bChip != 1 && bChip != 2) return 0;
    return bATUMemWrite32(1, (bChip == 2 ? ISP_REGISTER_SPAN : 0) + ISP24_REG_GPIO_DATA,
                          f == TRUE ? ISP24_GPIO_LED_ON : ISP24_GPIO_LED_OFF);
}

uint8_t bSendLogoutIocb(uint8_t bChip, uint32_t dPortId, uint16_t wHandle, uint8_t f) {
    if (fIsChipPresent(bChip) != TRUE) return 0;
    ISP24_LOGOUT s{};
    s.bEntryType = ISP_ENTRY_LOGOUT;
    s.bEntryCount = 1;
    s.wNportHandle = wHandle;
    s.wControlFlags = f == TRUE ? LOGOUT_IMPLICIT : LOGOUT_EXPLICIT;
    s.abPortId[0] = static_cast<uint8_t>(dPortId);
    s.abPortId[1] = static_cast<uint8_t>(dPortId >> 8);
    s.abPortId[2] = static_cast<uint8_t>(dPortId >> 16);
    return bPostRequestQueueEntries(bChip, 1, &s);
}

void RequestThroughputTest(uint8_t bPath, uint8_t bParameter, uint8_t bCount, uint8_t bByte) {
    if (!fIsDrivePath(bPath)) return;
    s_sThroughputTest = THROUGHPUT_TEST_REQUEST{};
    s_sThroughputTest.bPath = bPath;
    s_sThroughputTest.bParameter = bParameter;
    s_sThroughputTest.fMode = fIsProductionTestMode() == TRUE ? FALSE : TRUE;
    s_sThroughputTest.bByte = bByte;
    s_sThroughputTest.dDurationMs = static_cast<uint32_t>(bCount) * THROUGHPUT_MS_PER_COUNT;
}

const THROUGHPUT_TEST_REQUEST* psGetThroughputTestRequest() { return &s_sThroughputTest; }

}  // namespace fw
