// Service and fault displays of the Fibre Channel host chips.
#include "fc/chip_diagnostics.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/interrupt_controller.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/loop_maps.h"
#include "fc/ql_chip.h"
#include "fc/ql_chip_services.h"
#include "fc/ql_host_events.h"
#include "fc/ql_mailbox_commands.h"
#include "fc/ql_rings.h"
#include "hw/hw.h"
#include "hw/isp_fc.h"
#include "platform/pci.h"

namespace fw {

namespace {

constexpr uint32_t PAUSE_POLLS = 100000;
constexpr uint32_t RESET_MAILBOX_POLLS = 100000;
constexpr uint32_t REG_WINDOW_BASE = 0x54;
constexpr uint32_t REG_WINDOW_FIRST = 0xC0;
constexpr uint32_t REG_SHADOW_SELECT = 0xF0;
constexpr uint32_t REG_SHADOW_DATA = 0xFC;
constexpr uint32_t HOST_INTERFACE_REGISTERS = 32;
constexpr uint32_t DUMP_PAGES = ISP_DUMP_BUFFER_BYTES / BUFFER_PAGE_SIZE;
// Between register groups the polled console is given time to drain.
constexpr uint32_t GROUP_GAP_US = 20000;

// One stretch of windowed registers: windows from dFirst in steps of dStep,
// bRegisters 32-bit registers read from 0xC0 in each.
struct REGISTER_GROUP {
    const char* pszTitle;   // null: the windows continue the group before
    uint16_t wFirst;
    uint8_t bWindows;
    uint16_t wStep;
    uint8_t bRegisters;
};

constexpr REGISTER_GROUP kaGroups[] = {
    {"\nXSEQ GP Registers\n", 0xBF00, 8, 0x10, 16},
    {"\nXSEQ-0 Registers\n", 0xBFE0, 1, 0, 16},
    {"\nXSEQ-1 Registers\n", 0xBFF0, 1, 0, 16},
    {"\nRSEQ GP Registers\n", 0xFF00, 8, 0x10, 16},
    {"\nRSEQ-0 Registers\n", 0xFFD0, 1, 0, 16},
    {"\nRSEQ-1 Registers\n", 0xFFE0, 1, 0, 16},
    {"\nRSEQ-2 Registers\n", 0xFFF0, 1, 0, 16},
    {"\nCommand DMA Registers\n", 0x7100, 1, 0, 16},
    {"\nRequest0 Queue DMA Channel Registers\n", 0x7200, 1, 0, 8},
    {"\nResponse0 Queue DMA Channel Registers\n", 0x7300, 1, 0, 8},
    {"\nRequest1 Queue DMA Channel Registers\n", 0x7400, 1, 0, 8},
    {"\n\nXMT0 Data DMA Registers\n", 0x7600, 2, 0x10, 16},
    {"\nXMT1 Data DMA Registers\n", 0x7620, 2, 0x10, 16},
    {"\nXMT2 Data DMA Registers\n", 0x7640, 2, 0x10, 16},
    {"\nXMT3 Data DMA Registers\n", 0x7660, 2, 0x10, 16},
    {"\nXMT4 Data DMA Registers\n", 0x7680, 2, 0x10, 16},
    {"\nXMT Data DMA Common Registers\n", 0x76A0, 1, 0, 16},
    {"\nRCV Thread 0 Data DMA Registers\n", 0x7700, 2, 0x10, 16},
    {"\nRCV Thread 1 Data DMA Registers\n", 0x7720, 2, 0x10, 16},
    {"\nRISC GP Registers\n", 0x0F00, 8, 0x10, 16},
};
constexpr REGISTER_GROUP kaLateGroups[] = {
    {"\nLMC Registers\n", 0x3000, 7, 0x10, 16},
    {"\nFPM Hardware Registers\n", 0x4000, 12, 0x10, 16},
    {"\nFB Hardware Registers\n", 0x6000, 5, 0x10, 16},
    {nullptr, 0x6100, 1, 0, 16},
    {nullptr, 0x6130, 5, 0x20, 16},
};

// A dump in progress: every register access goes through it, and the first
// one that fails ends the dump where it is.
class CHIP_DUMP {
public:
    explicit CHIP_DUMP(uint8_t bChip) : m_bChip(bChip) {}
    bool Ok() const { return m_fOk; }
    uint32_t Read32(uint32_t dRegister) {
        uint32_t d = 0;
        if (m_fOk && bQLReadReg32(m_bChip, dRegister, &d) != STATUS_OK) m_fOk = false;
        return d;
    }
    uint16_t Read16(uint32_t dRegister) {
        uint16_t w = 0;
        if (m_fOk && bQLReadReg16(m_bChip, dRegister, &w) != STATUS_OK) m_fOk = false;
        return w;
    }
    void Write32(uint32_t dRegister, uint32_t dValue) {
        if (m_fOk && bQLWriteReg32(m_bChip, dRegister, dValue) != STATUS_OK) m_fOk = false;
    }
    void Write16(uint32_t dRegister, uint16_t wValue) {
        if (m_fOk && bQLWriteReg16(m_bChip, dRegister, wValue) != STATUS_OK) m_fOk = false;
    }
    // Words printed bPerLine to a line, a blank between.
    void PrintWord(uint32_t dValue, uint32_t dIndex, uint32_t dCount, uint32_t dPerLine, bool fHalf) {
        DebugPrintf(fHalf ? "%04x" : "%08x", dValue);
        DebugPrintf((dIndex % dPerLine == dPerLine - 1 || dIndex + 1 == dCount) ? "\n" : " ");
    }
    void Group(const REGISTER_GROUP& s) {
        if (s.pszTitle != nullptr) DebugPrintf("%s", s.pszTitle);
        for (uint8_t w = 0; w < s.bWindows && m_fOk; ++w) {
            Write32(REG_WINDOW_BASE, s.wFirst + static_cast<uint32_t>(w) * s.wStep);
            for (uint8_t r = 0; r < s.bRegisters && m_fOk; ++r) {
                const uint32_t d = Read32(REG_WINDOW_FIRST + 4u * r);
                if (m_fOk) PrintWord(d, r, s.bRegisters, 8, false);
            }
        }
        HwDelayUs(GROUP_GAP_US);
    }

protected:
    uint8_t m_bChip;
    bool m_fOk = true;
};

// The chip's dump command for RISC memory: dWords words from dRiscAddress
// into buffer memory at dBus.
QL_MAILBOX_COMMAND sDumpRamCommand(uint32_t dRiscAddress, uint32_t dWords, BUS_ADDRESS dBus) {
    QL_MAILBOX_COMMAND s = sQLCommand(MBC_DUMP_RAM_EXTENDED);
    SetQLMailbox(&s, 1, static_cast<uint16_t>(dRiscAddress));
    SetQLMailbox(&s, 8, static_cast<uint16_t>(dRiscAddress >> 16));
    SetQLMailboxAddress(&s, 2, 3, dBus);
    SetQLMailbox(&s, 4, static_cast<uint16_t>(dWords >> 16));
    SetQLMailbox(&s, 5, static_cast<uint16_t>(dWords));
    return s;
}

// RISC memory as dumped: eight words to a line, each line led by the RISC
// address of its first word.
void PrintRiscWords(const uint8_t* pb, uint32_t dRiscAddress, uint32_t dWords, uint32_t dWordBytes) {
    for (uint32_t i = 0; i < dWords; ++i) {
        if (i % 8 == 0) DebugPrintf("%08x: ", dRiscAddress + i);
        uint32_t d = 0;
        std::memcpy(&d, pb + dWordBytes * i, dWordBytes);
        const bool fLast = i % 8 == 7 || i + 1 == dWords;
        if (dWordBytes == 2) {
            DebugPrintf(fLast ? "%04x\n" : "%04x ", d);
        } else {
            DebugPrintf(fLast ? "%08x\n" : "%08x ", d);
        }
    }
}

// RISC memory copied into the pages by the chip's own dump command, then
// printed.
bool DumpRiscMemory(uint8_t bChip, BUFFER_HANDLE dPages, const char* pszTitle, uint32_t dRiscAddress,
                    uint32_t dWords) {
    QL_MAILBOX_COMMAND s = sDumpRamCommand(dRiscAddress, dWords, dBufferHandleToPciAddress(dPages));
    if (bQLPolledMailboxCommand(bChip, &s) != STATUS_OK) return false;
    DebugPrintf("%s", pszTitle);
    PrintRiscWords(static_cast<const uint8_t*>(pBufferHandleToPointer(dPages)), dRiscAddress, dWords, 4);
    return true;
}

void DumpRing(const char* pszTitle, const uint8_t* pbRing, uint16_t wLength) {
    DebugPrintf("%s", pszTitle);
    if (pbRing == nullptr) return;
    for (uint16_t n = 0; n < wLength; ++n) {
        const uint8_t* pbEntry = pbRing + static_cast<uint32_t>(n) * ISP_ENTRY_BYTES;
        DebugPrintf("%04x: ", n);
        for (uint32_t i = 0; i < ISP_ENTRY_BYTES / 4; ++i) {
            uint32_t d;
            std::memcpy(&d, pbEntry + 4 * i, 4);
            DebugPrintf(i % 8 == 7 ? "%08x\n" : "%08x ", d);
        }
        DebugPrintf("\n");
    }
}

}  // namespace

void DumpIsp24xx(uint8_t bChip) {
    if (fIsChipPresent(bChip) != TRUE) return;
    CHIP_DUMP d(bChip);
    uint16_t wMajor = 0, wMinor = 0, wSubminor = 0, wAttributes = 0;
    uint32_t dMemorySize = 0;
    (void)bGetStoredFirmwareVersion(bChip, &wMajor, &wMinor, &wSubminor, &wAttributes, &dMemorySize);
    DebugPrintf("\n\nISP2400 Debug Dump for Device %d\n", bChip);
    DebugPrintf("\nISP FW Version %d.%d.%d  Attributes %X\n", wMajor, wMinor, wSubminor, wAttributes);
    const uint32_t dHccr = d.Read32(ISP24_REG_HCCR);
    if (!d.Ok()) return;
    DebugPrintf("\nHCCR Register\n%08x\n", dHccr);

    d.Write32(ISP24_REG_HCCR, ISP24_HCCR_PAUSE_RISC);
    bool fPaused = false;
    for (uint32_t i = 0; d.Ok() && i < PAUSE_POLLS && !fPaused; ++i) fPaused = bQLIsRiscPaused(bChip) == STATUS_OK;
    if (!fPaused) return;

    DebugPrintf("\nHost Interface Registers\n");
    for (uint32_t r = 0; r < HOST_INTERFACE_REGISTERS && d.Ok(); ++r) {
        const uint32_t dValue = d.Read32(4 * r);
        if (d.Ok()) d.PrintWord(dValue, r, HOST_INTERFACE_REGISTERS, 8, false);
    }
    d.Write32(ISP24_REG_INT_CONTROL, 0);
    if (!d.Ok()) return;

    DebugPrintf("\nMailbox Registers\n");
    for (uint32_t m = 0; m < ISP_MAILBOXES && d.Ok(); ++m) {
        const uint16_t wValue = d.Read16(ISP24_REG_MAILBOX0 + 2 * m);
        if (d.Ok()) d.PrintWord(wValue, m, ISP_MAILBOXES, 16, true);
    }
    for (const REGISTER_GROUP& s : kaGroups) {
        if (d.Ok()) d.Group(s);
    }
    if (!d.Ok()) return;
    DebugPrintf("\nShadow Registers\n");
    d.Write32(REG_WINDOW_BASE, 0x0F70);
    constexpr uint32_t SHADOWS = 7;
    for (uint32_t n = 0; n < SHADOWS && d.Ok(); ++n) {
        d.Write32(REG_SHADOW_SELECT, 0xB0000000u | n << 20);
        const uint32_t dValue = d.Read32(REG_SHADOW_DATA);
        if (d.Ok()) d.PrintWord(dValue, n, SHADOWS, 8, false);
    }
    for (const REGISTER_GROUP& s : kaLateGroups) {
        if (d.Ok()) d.Group(s);
    }
    if (!d.Ok()) return;

    if (bQLResetRisc(bChip) != STATUS_OK || bQLWaitResetDone(bChip) != STATUS_OK) return;
    bool fRomReady = false;
    for (uint32_t i = 0; i < RESET_MAILBOX_POLLS && !fRomReady; ++i) {
        uint16_t w = 0;
        if (bQLReadMailboxReg(bChip, 0, &w) != STATUS_OK) return;
        fRomReady = w == 0;
    }
    if (!fRomReady) return;

    BUFFER_HANDLE dPages = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, DUMP_PAGES, &dPages) == STATUS_OK) {
        bool fDumped = DumpRiscMemory(bChip, dPages, "\nCode RAM\n", ISP_DUMP_CODE_RAM_ADDRESS, ISP_DUMP_CODE_RAM_WORDS);
        // The firmware reports where its external memory ends; a size at or
        // below the start has none to show, and no more than the pages hold
        // is asked for.
        if (fDumped && dMemorySize > ISP_DUMP_EXTERNAL_ADDRESS - 1) {
            uint32_t dWords = dMemorySize - (ISP_DUMP_EXTERNAL_ADDRESS - 1);
            if (dWords > ISP_DUMP_BUFFER_BYTES / 4) dWords = ISP_DUMP_BUFFER_BYTES / 4;
            fDumped = DumpRiscMemory(bChip, dPages, "\nExternal Memory\n", ISP_DUMP_EXTERNAL_ADDRESS, dWords);
        }
        (void)wFreeDataPages(dPages, DUMP_PAGES);
        if (!fDumped) return;
    }
    DebugPrintf("[<==END] ISP Debug Dump\n");
    DumpRing("\nRequest Queue\n", pbGetRequestRing(bChip), wGetRequestRingLength(bChip));
    DebugPrintf("Priority Queue not used\n\n");
    DumpRing("Response queue\n", pbGetResponseRing(bChip), wGetResponseRingLength(bChip));
    DumpRing("ATIO Queue\n", pbGetAtioRing(bChip), wGetAtioRingLength(bChip));
}

// --- register listings and small chip routines ---------------------------------------

namespace {

constexpr const char* CONFIG_STARS = "**************************************************\n";
constexpr uint32_t HOST_CHIP_IO_REGISTERS = 32;
// The board's indicators of the chips' ports follow indicator 4.
constexpr uint8_t PORT_INDICATOR_BASE = 4;
// The GPIO registers of bank 0 and the RISC's own GPIO register.
constexpr uint32_t QL_REG_GPIO_DATA = 0xCC;
constexpr uint32_t QL_REG_GPIO_ENABLE = 0xCE;
constexpr uint32_t RISC_REG_GPIO = 0x96;

void PrintHostChipRegisters(const char* pszTitle) {
    ConsolePrintf("%s", pszTitle);
    for (uint32_t r = 0; r < HOST_CHIP_IO_REGISTERS; ++r) {
        uint32_t d = 0;
        if (bQLReadReg32(1, 4 * r, &d) != STATUS_OK) return;
        ConsolePrintf("0x%08x\n", d);
    }
}

// Bit 3 of an ISP24xx host chip's interrupt control register lets its RISC
// interrupt reach the processor.
void SetRiscInterruptEnable(uint8_t bChip, bool fEnable) {
    if (fIsQL24xx() != TRUE) return;
    if (bChip != 1 && bChip != 2) {
        DebugPrintf(fEnable ? "EnableQL24PCIeInterrupts ERROR: Unsupported PCIe Device Type\n"
                            : "DisableQL24PCIeInterrupts ERROR: Unsupported PCIe Device Type\n");
        return;
    }
    uint32_t d = 0;
    if (bQLReadReg32(bChip, ISP24_REG_INT_CONTROL, &d) != STATUS_OK) return;
    d = fEnable ? d | ISP24_INT_CONTROL_RISC : d & ~ISP24_INT_CONTROL_RISC;
    const uint32_t dRegister = (bChip == 2 ? ISP_REGISTER_SPAN : 0) + ISP24_REG_INT_CONTROL;
    DebugPrintf(fEnable ? "Enable RISC Int IOWr32 %x %x \n" : "Disable RISC Int IOWr32 %x %x \n", dRegister, d);
    (void)bQLWriteReg32(bChip, ISP24_REG_INT_CONTROL, d);
}

}  // namespace

// --- the ISP2x00 drive chip ---------------------------------------------------------

namespace {

// The dump reads an ISP2x00 in the chip's own register layout, whatever
// layout the board's host chips give the driver.
constexpr uint32_t ISP2X_BANK_FIRST = 0x80;
constexpr uint32_t ISP2X_BANK_REGISTERS = 32;
constexpr uint32_t ISP2X_REG_SEQUENCER_WINDOW = 0xA4;
constexpr uint32_t ISP2X_WINDOW_REGISTERS = 16;
constexpr uint16_t ISP2X_CONTROL_SOFT_RESET = 0x0001;
constexpr uint16_t kawIsp2xBanks[] = {0x40, 0x50, 0x00, 0x10, 0x20, 0x30};
constexpr uint16_t ISP2X_FIRST_WINDOW = 0x2000;
constexpr uint16_t ISP2X_LAST_WINDOW = 0x2E00;
constexpr uint16_t ISP2X_WINDOW_STEP = 0x200;
constexpr uint32_t ISP2X_RESET_POLLS = 1000000;
constexpr uint32_t ISP2X_DUMP_PAGES = 256;
constexpr uint32_t ISP2X_PAGE_FILL = 0x99999999;

struct RISC_RAM_PART {
    uint32_t dAddress;
    uint32_t dWords;
};
constexpr RISC_RAM_PART kaIsp2xRam[] = {{0x800, 63488}, {0x10000, 4096}, {0x11000, 61440}};

// The ISP2x00 dump's steps over the same failure-latching access.
class CHIP2X_DUMP : public CHIP_DUMP {
public:
    using CHIP_DUMP::CHIP_DUMP;
    // Up to dPolls reads of a register until (value & wMask) == wWant.
    bool Poll(uint32_t dRegister, uint16_t wMask, uint16_t wWant, uint32_t dPolls) {
        for (uint32_t i = 0; i < dPolls && m_fOk; ++i) {
            if ((Read16(dRegister) & wMask) == wWant && m_fOk) return true;
        }
        return false;
    }
    // dCount 16-bit registers from dFirst, sixteen to a line.
    void Registers(const char* pszTitle, uint32_t dFirst, uint32_t dCount) {
        DebugPrintf("%s", pszTitle);
        for (uint32_t r = 0; r < dCount && m_fOk; ++r) {
            const uint16_t w = Read16(dFirst + 2 * r);
            if (m_fOk) DebugPrintf((r % 16 == 15 || r + 1 == dCount) ? "%04x\n" : "%04x ", w);
        }
    }
    // A mailbox command polled in the chip's own layout (the drive side's
    // interrupts are held off meanwhile).
    bool Command(QL_MAILBOX_COMMAND* ps) {
        for (uint8_t n = 0; n < ISP_MAILBOXES; ++n) {
            if ((ps->dWriteMask >> n) & 1u) Write16(ISP2X_REG_MAILBOX0 + 2u * n, ps->awMailbox[n]);
        }
        Write16(ISP2X_REG_HCCR, ISP_HC_SET_HOST_INT);
        if (!Poll(ISP2X_REG_INT_STATUS, ISP_INT_STATUS_RISC, ISP_INT_STATUS_RISC, ISP2X_RESET_POLLS)) return false;
        const uint16_t wStatus = Read16(ISP2X_REG_MAILBOX0);
        Write16(ISP2X_REG_HCCR, ISP_HC_CLEAR_RISC_INT);
        Write16(ISP2X_REG_SEMAPHORE, 0);
        return m_fOk && wStatus == MBS_COMPLETE;
    }
};

}  // namespace

void DumpIsp2x00(uint8_t bChip) {
    if (fIsChipPresent(bChip) != TRUE) return;
    InterruptSourceLock sLock(INT_SOURCE_DRIVE_SIDE);
    CHIP2X_DUMP d(bChip);
    DebugPrintf("\n\nISP2x00 Debug Dump for Device %d\n", bChip);
    const uint16_t wHccr = d.Read16(ISP2X_REG_HCCR);
    if (!d.Ok()) return;
    DebugPrintf("\nHCCR Register\n%04x\n", wHccr);
    d.Write16(ISP2X_REG_HCCR, ISP_HC_PAUSE_RISC);
    if (!d.Poll(ISP2X_REG_HCCR, ISP2X_HCCR_PAUSED, ISP2X_HCCR_PAUSED, PAUSE_POLLS)) return;

    d.Registers("\nMailbox Registers\n", ISP2X_REG_MAILBOX0, ISP_MAILBOXES);
    for (uint16_t wBank : kawIsp2xBanks) {
        if (!d.Ok()) return;
        d.Write16(ISP2X_REG_CTRL_STATUS, wBank);
        char acTitle[40];
        std::snprintf(acTitle, sizeof acTitle, "\nBank %02x Registers\n", wBank);
        d.Registers(acTitle, ISP2X_BANK_FIRST, ISP2X_BANK_REGISTERS);
    }
    for (uint32_t dWindow = ISP2X_FIRST_WINDOW; dWindow <= ISP2X_LAST_WINDOW && d.Ok(); dWindow += ISP2X_WINDOW_STEP) {
        d.Write16(ISP2X_REG_SEQUENCER_WINDOW, static_cast<uint16_t>(dWindow));
        char acTitle[40];
        std::snprintf(acTitle, sizeof acTitle, "\nSequencer Window %04x Registers\n", dWindow);
        d.Registers(acTitle, ISP2X_BANK_FIRST, ISP2X_WINDOW_REGISTERS);
    }
    if (!d.Ok()) return;

    d.Write16(ISP2X_REG_CTRL_STATUS, ISP2X_CONTROL_SOFT_RESET);
    if (!d.Poll(ISP2X_REG_CTRL_STATUS, ISP2X_CONTROL_SOFT_RESET, 0, ISP2X_RESET_POLLS) ||
        !d.Poll(ISP2X_REG_MAILBOX0, 0xFFFF, 0, ISP2X_RESET_POLLS)) {
        return;
    }

    BUFFER_HANDLE dPages = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, ISP2X_DUMP_PAGES, &dPages) != STATUS_OK) return;
    auto* pb = static_cast<uint8_t*>(pBufferHandleToPointer(dPages));
    for (uint32_t i = 0; i < ISP2X_DUMP_PAGES * BUFFER_PAGE_SIZE; i += 4) std::memcpy(pb + i, &ISP2X_PAGE_FILL, 4);
    // The parts lie one after another in the pages, as the RISC holds them.
    DebugPrintf("\nRISC RAM\n");
    uint32_t dOffset = 0;
    bool fDumped = true;
    for (size_t n = 0; n < std::size(kaIsp2xRam) && fDumped; ++n) {
        const RISC_RAM_PART& s = kaIsp2xRam[n];
        QL_MAILBOX_COMMAND sCommand =
            sDumpRamCommand(s.dAddress, s.dWords, dBufferHandleToPciAddress(dPages) + dOffset);
        fDumped = d.Command(&sCommand);
        if (!fDumped) break;
        PrintRiscWords(pb + dOffset, s.dAddress, s.dWords, 2);
        dOffset += 2 * s.dWords;
        if (n + 1 < std::size(kaIsp2xRam)) DebugPrintf("\n");
    }
    // The image has been printed: nothing keeps the pages.
    (void)wFreeDataPages(dPages, ISP2X_DUMP_PAGES);
    if (fDumped) DebugPrintf("[<==END]ISP Debug Dump\n");
}

void PrintHostLinkStatus() {
    PrintCurrentDateTime();
    ConsolePrintf("Host FC Link Status\n");
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return;
    auto* psStatus = static_cast<ISP_LINK_STATUS*>(pBufferHandleToPointer(dPage));
    const BUS_ADDRESS dBus = dBufferHandleToPciAddress(dPage);
    // The counters are preset so a read that delivers nothing shows as such.
    auto bRead = [&](uint8_t bChip, uint8_t bAlpa, uint16_t wOption) {
        std::memset(psStatus, 0xFF, sizeof *psStatus);
        return bQLGetLinkStatus(bChip, bAlpa, dBus, wOption);
    };
    for (uint8_t bChip = 1; bChip <= 2; ++bChip) {
        if (fIsHostLoopUp(bChip) != TRUE) continue;
        uint8_t bOwnAlpa = 0;
        uint32_t dPortId = 0;
        uint16_t wTopology = 0;
        if (bQLGetLoopId(bChip, &bOwnAlpa, &dPortId, &wTopology) != STATUS_OK) continue;
        if (bRead(bChip, bOwnAlpa, 1) != STATUS_OK) continue;
        ConsolePrintf("\nHost Loop %d Link Status: Link Failure   Loss of Sync   Inv. TX Word   Inv. CRC\n", bChip - 1);
        ConsolePrintf("Controller Port (%02x)   : %08x       %08x       %08x       %08x\n", bOwnAlpa,
                      psStatus->dLinkFailures, psStatus->dLossOfSync, psStatus->dInvalidTransmissionWords,
                      psStatus->dInvalidCrcs);
        uint32_t dNumber = 0;
        const uint8_t bCount = bGetLoopMapCount(bChip);
        for (uint8_t n = 1; n <= bCount && n < sizeof(LOOP_POSITION_MAP); ++n) {
            const uint8_t bAlpa = bGetLoopMapAlpa(bChip, n);
            if (bAlpa == bOwnAlpa || bRead(bChip, bAlpa, 0) != STATUS_OK) continue;
            ConsolePrintf("Host System %03d (%02x)   : %08x       %08x       %08x       %08x\n", dNumber++, bAlpa,
                          psStatus->dLinkFailures, psStatus->dLossOfSync, psStatus->dInvalidTransmissionWords,
                          psStatus->dInvalidCrcs);
        }
    }
    ConsolePrintf("\n\n");
    (void)wFreeDataPages(dPage, 1);
}

void PrintQlogicPciStatus() {
    ConsolePrintf("\n\nQlogic Registers:\n");
    for (uint8_t bChip = 1; bChip <= 2; ++bChip) {
        uint32_t d = 0;
        if (bQLConfigRead32(bChip, 0x04, &d) == STATUS_OK) ConsolePrintf("PCI  Status - %d: %08x\n", bChip - 1, d);
        if (bQLConfigRead32(bChip, 0x50, &d) == STATUS_OK) ConsolePrintf("PCIX Status - %d: %08x\n", bChip - 1, d);
    }
}

void PrintQlPciConfig(uint8_t bChip) {
    if (bChip != 1 && bChip != 2) return;
    static constexpr uint16_t kawRegisters[] = {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x2C, 0x30, 0x34, 0x3C, 0x44};
    constexpr uint16_t FIRST_CAPABILITY = 0x48;
    constexpr uint16_t LAST_CAPABILITY = 0x84;
    ConsolePrintf("%s", CONFIG_STARS);
    ConsolePrintf("* %s Config Regs for %s \n", fIsPCIeDevice(bChip) == TRUE ? "PCI-express" : "PCI-X",
                  bChip == 1 ? "QL2TAR1" : "QL2TAR2");
    ConsolePrintf("%s", CONFIG_STARS);
    auto Print = [bChip](uint16_t wRegister) {
        uint32_t d = 0;
        if (bQLConfigRead32(bChip, wRegister, &d) != STATUS_OK) return false;
        ConsolePrintf("0x%08x \n", d);
        return true;
    };
    for (uint16_t w : kawRegisters) {
        if (!Print(w)) return;
    }
    for (uint16_t w = FIRST_CAPABILITY; w <= LAST_CAPABILITY; w += 4) {
        if (!Print(w)) return;
    }
}

void PrintQlIoRegisters() { PrintHostChipRegisters(" TAR1 PCI IO Registers:\n"); }
void PrintQlPcieIoRegisters() { PrintHostChipRegisters(" TAR1 PCI-express IO Registers:\n"); }

void EnableQL24PCIeInterrupts(uint8_t bChip) { SetRiscInterruptEnable(bChip, true); }
void DisableQL24PCIeInterrupts(uint8_t bChip) { SetRiscInterruptEnable(bChip, false); }

void ClearPCIeTargetInterrupts(uint8_t bChip) {
    if (fIsQL24xx() != TRUE) return;
    if (bChip != 1 && bChip != 2) {
        DebugPrintf("ClearPCIeTargetInterrupts ERROR: Unsupported PCIe Device Type\n");
        return;
    }
    (void)bQLWriteReg32(bChip, ISP24_REG_HOST_STATUS, 0);
}

void SetPortIndicator(uint8_t bChip, uint8_t bState) {
    if (bChip >= 1 && bChip <= 4) SetIndicatorState(static_cast<uint8_t>(PORT_INDICATOR_BASE + bChip), bState);
}

uint8_t bQLReadGpio(uint8_t bChip, uint16_t* pwValue) {
    if (bQLSelectRegisterBank(bChip, 0) != STATUS_OK) return 0;
    return bQLReadReg16(bChip, QL_REG_GPIO_DATA, pwValue);
}

uint8_t bQLWriteGpio(uint8_t bChip, uint16_t wValue) {
    if (bQLSelectRegisterBank(bChip, 0) != STATUS_OK) return 0;
    return bQLWriteReg16(bChip, QL_REG_GPIO_DATA, wValue);
}

uint8_t bQLWriteGpioEnable(uint8_t bChip, uint16_t wValue) {
    if (bQLSelectRegisterBank(bChip, 0) != STATUS_OK) return 0;
    return bQLWriteReg16(bChip, QL_REG_GPIO_ENABLE, wValue);
}

uint8_t SetRiscGpioBit0(uint8_t bChip, uint8_t f) {
    uint16_t w = 0;
    if (bQLReadRiscReg16(bChip, RISC_REG_GPIO, &w) != STATUS_OK) return 0;
    w = f == TRUE ? static_cast<uint16_t>(w | 0x0001) : static_cast<uint16_t>(w & ~0x0001);
    return bQLWriteRiscReg16(bChip, RISC_REG_GPIO, w);
}

uint8_t PulseRiscGpioBit8(uint8_t bChip) {
    constexpr uint32_t PULSE_MS = 10;
    uint16_t w = 0;
    if (bQLReadRiscReg16(bChip, RISC_REG_GPIO, &w) != STATUS_OK ||
        bQLWriteRiscReg16(bChip, RISC_REG_GPIO, static_cast<uint16_t>(w | 0x0100)) != STATUS_OK) {
        return 0;
    }
    SpinDelayMs(PULSE_MS);
    return bQLWriteRiscReg16(bChip, RISC_REG_GPIO, w);
}

// --- transceiver pages ----------------------------------------------------------

namespace {

uint8_t bSum(const uint8_t* pb, uint32_t dFirst, uint32_t dLast) {
    uint32_t d = 0;
    for (uint32_t i = dFirst; i <= dLast; ++i) d += pb[i];
    return static_cast<uint8_t>(d);
}

uint16_t wBig(const uint8_t* pb, uint32_t dOffset) { return static_cast<uint16_t>(pb[dOffset] << 8 | pb[dOffset + 1]); }
uint32_t dBig(const uint8_t* pb, uint32_t dOffset) {
    return static_cast<uint32_t>(pb[dOffset]) << 24 | static_cast<uint32_t>(pb[dOffset + 1]) << 16 |
           static_cast<uint32_t>(pb[dOffset + 2]) << 8 | pb[dOffset + 3];
}

const char* pszOf(uint8_t bValue, std::initializer_list<std::pair<uint8_t, const char*>> aNames, const char* pszOther) {
    for (const auto& [b, psz] : aNames) {
        if (b == bValue) return psz;
    }
    return pszOther;
}

// Temperatures are signed 1/256 degrees: the whole degrees and hundredths,
// truncated, of the magnitude, with the sign printed before the number.
void PrintTemperature(const char* pszLabel, const uint8_t* pb, uint32_t dOffset) {
    const int32_t v = static_cast<int16_t>(wBig(pb, dOffset));
    const uint32_t dMagnitude = static_cast<uint32_t>(v < 0 ? -v : v) * 3906;
    ConsolePrintf(v < 0 ? "%s -%3d.%02d C\n" : "%s  %3d.%02d C\n", pszLabel, dMagnitude / 1000000,
                  (dMagnitude % 1000000) / 10000);
}
// 100 microvolts.
void PrintVoltage(const char* pszLabel, const uint8_t* pb, uint32_t dOffset) {
    const uint32_t v = wBig(pb, dOffset);
    ConsolePrintf("%s  %3d.%02d V\n", pszLabel, v / 10000, (v % 10000) / 100);
}
// 2 microamps: whole milliamps and hundredths.
void PrintBias(const char* pszLabel, const uint8_t* pb, uint32_t dOffset) {
    const uint32_t v = wBig(pb, dOffset);
    ConsolePrintf("%s  %3d.%02d mA\n", pszLabel, v / 500, (2 * v % 1000) / 10);
}
// 0.1 microwatts.
void PrintPower(const char* pszLabel, const uint8_t* pb, uint32_t dOffset) {
    const uint32_t v = wBig(pb, dOffset);
    ConsolePrintf("%s  %3d.%04d mW\n", pszLabel, v / 10000, v % 10000);
}

constexpr const char* kapszMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                         "July",    "August",   "September", "October", "November", "December"};

}  // namespace

void PrintSfpField(const char* pszLabel, const uint8_t* pbBytes, uint32_t dLength) {
    ConsolePrintf("%s", pszLabel);
    bool fAllBlank = true;
    bool fNul = false;
    for (uint32_t i = 0; i < dLength; ++i) {
        if (pbBytes[i] != ' ') fAllBlank = false;
        if (pbBytes[i] == 0) fNul = true;
    }
    if (fAllBlank || fNul) {
        ConsolePrintf("Unspecified\n");
        return;
    }
    for (uint32_t i = 0; i < dLength; ++i) {
        ConsolePrintf("%c", pbBytes[i] >= 0x20 && pbBytes[i] <= 0x7E ? static_cast<char>(pbBytes[i]) : '.');
    }
    ConsolePrintf("\n");
}

void PrintSfpInformation(const uint8_t* pb) {
    ConsolePrintf(" Information:\n ");
    if (bSum(pb, 0, 62) != pb[63]) {
        ConsolePrintf("  CC_BASE checksum error, read 0x%02x, calculated 0x%04x\n", pb[63], bSum(pb, 0, 62));
    }
    ConsolePrintf(" Transceiver Type           : %s\n", pszOf(pb[0], {{1, "GBIC"}, {2, "Soldered"}, {3, "SFP"}}, "???"));
    ConsolePrintf("  Extended Identifier        : %s\n", pb[1] == 4 ? "Serial ID" : "Custom");
    ConsolePrintf("  Connector Type             : %s\n", pszOf(pb[2], {{7, "LC"}, {11, "Optical Pigtail"}}, "???"));
    ConsolePrintf("  Transceiver Codes          : %02x %02x %02x %02x %02x %02x %02x %02x\n", pb[3], pb[4], pb[5],
                  pb[6], pb[7], pb[8], pb[9], pb[10]);
    ConsolePrintf("  Encoding Algorithm         : %s\n", pszOf(pb[11], {{1, "8B10B"}, {5, "SONET"}}, "???"));
    ConsolePrintf("  Bit Rate, Nominal          : %d Mbps\n", pb[12] * 100);
    ConsolePrintf("  Link length at 9/125 um    : %d kilometres\n", pb[14]);
    ConsolePrintf("  Link length at 9/125 um    : %d metres\n", pb[15] * 100);
    ConsolePrintf("  Link length at 50/125 um   : %d metres\n", pb[16] * 10);
    ConsolePrintf("  Link length at 62.5/125 um : %d metres\n", pb[17] * 10);
    PrintSfpField("  Vendor Name                : ", pb + 20, 16);
    ConsolePrintf("  Vendor OUI                 : %02x%02x%02x\n", pb[37], pb[38], pb[39]);
    PrintSfpField("  Vendor Part Number         : ", pb + 40, 16);
    PrintSfpField("  Vendor Revision Level      : ", pb + 56, 4);
    if (bSum(pb, 64, 94) != pb[95]) {
        ConsolePrintf("  CC_EXT checksum error, read 0x%02x, calculated 0x%04x\n", pb[95], bSum(pb, 64, 94));
    }
    ConsolePrintf("  Options                    : %02x %02x\n", pb[64], pb[65]);
    ConsolePrintf("  Bit Rate, Maximum          : %02d%%\n", pb[66]);
    ConsolePrintf("  Bit Rate, Minimum          : %02d%%\n", pb[67]);
    PrintSfpField("  Vendor Serial Number       : ", pb + 68, 16);
    // Date code: YYMMDD in ASCII.
    const auto Digit = [&](uint32_t i) { return pb[i] >= '0' && pb[i] <= '9' ? pb[i] - '0' : -1; };
    const int32_t lTens = Digit(86), lUnits = Digit(87);
    const int32_t lMonth = lTens < 0 || lUnits < 0 ? 0 : lTens * 10 + lUnits;
    if (lMonth >= 1 && lMonth <= 12) {
        ConsolePrintf("  Manufacturing Date         : %s %c%c, 20%c%c\n", kapszMonths[lMonth - 1], pb[88], pb[89],
                      pb[84], pb[85]);
    } else {
        ConsolePrintf("  Manufacturing Date         : Unintelligible\n");
    }
    if (pb[90] == ' ' && pb[91] == ' ') {
        ConsolePrintf("  Lot Code                   : Unspecified\n");
    } else {
        ConsolePrintf("  Lot Code                   : %c%c\n", pb[90], pb[91]);
    }
    ConsolePrintf("  Diag Mon Type              : %04x\n", pb[92]);
    ConsolePrintf("  Enhanced Options           : %04x\n", pb[93]);
}

void PrintSfpDiagnostics(const uint8_t* pb, uint8_t bForm) {
    ConsolePrintf(" Diagnostics:\n");
    if (bSum(pb, 0, 94) != pb[95]) {
        ConsolePrintf(" Checksum error, read 0x%02x, calculated 0x%04x\n", pb[95], bSum(pb, 0, 94));
        return;
    }
    PrintTemperature("  Temp High Alarm            :", pb, 0);
    PrintTemperature("  Temp Low Alarm             :", pb, 2);
    PrintTemperature("  Temp High Warning          :", pb, 4);
    PrintTemperature("  Temp Low Warning           :", pb, 6);
    PrintVoltage("  Voltage High Alarm         :", pb, 8);
    PrintVoltage("  Voltage Low Alarm          :", pb, 10);
    PrintVoltage("  Voltage High Warning       :", pb, 12);
    PrintVoltage("  Voltage Low Warning        :", pb, 14);
    PrintBias("  Bias High Alarm            :", pb, 16);
    PrintBias("  Bias Low Alarm             :", pb, 18);
    PrintBias("  Bias High Warning          :", pb, 20);
    PrintBias("  Bias Low Warning           :", pb, 22);
    PrintPower("  TX Power High Alarm        :", pb, 24);
    PrintPower("  TX Power Low Alarm         :", pb, 26);
    PrintPower("  TX Power High Warning      :", pb, 28);
    PrintPower("  TX Power Low Warning       :", pb, 30);
    PrintPower("  RX Power High Alarm        :", pb, 32);
    PrintPower("  RX Power Low Alarm         :", pb, 34);
    PrintPower("  RX Power High Warning      :", pb, 36);
    PrintPower("  RX Power Low Warning       :", pb, 38);
    if (bForm == 32) {
        PrintTemperature("  Internal module Temp       :", pb, 96);
        PrintVoltage("  Transceiver Voltage        :", pb, 98);
        PrintBias("  TX Bias Current            :", pb, 100);
        PrintPower("  TX Output Power            :", pb, 102);
        PrintPower("  RX Input Power             :", pb, 104);
        return;
    }
    for (uint32_t n = 0; n < 5; ++n) {
        ConsolePrintf("  Rx_PWR(%d) Raw data         :  0x%08x\n", 4 - n, dBig(pb, 56 + 4 * n));
    }
    static constexpr const char* kapszConstants[8] = {
        "  Tx_I(Slope) Raw data       :", "  Tx_I(Offset) Raw data      :", "  Tx_PWR(Slope) Raw data     :",
        "  Tx_PWR(Offset) Raw data    :", "  T(Slope) Raw data          :", "  T(Offset) Raw data         :",
        "  V(Slope) Raw data          :", "  V(Offset) Raw data         :"};
    for (uint32_t n = 0; n < 8; ++n) ConsolePrintf("%s  0x%04x\n", kapszConstants[n], wBig(pb, 76 + 2 * n));
    static constexpr const char* kapszRaw[5] = {
        "  Internal module Temp (RAW) :", "  Transceiver Voltage (RAW)  :", "  TX Bias Current (RAW)      :",
        "  TX Output Power (RAW)      :", "  RX Input Power (RAW)       :"};
    for (uint32_t n = 0; n < 5; ++n) ConsolePrintf("%s  0x%04x\n", kapszRaw[n], wBig(pb, 96 + 2 * n));
}

}  // namespace fw
