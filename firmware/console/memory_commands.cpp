// Memory display and modify from the console.  The operator names processor
// addresses; the range check keeps them inside the board's memory map, and
// an access then goes only to what the board really backs: a named memory
// window (vector page, boot block, the data banks) or, for reads, one of the
// register blocks of the processor and the FPGA.  Anything else, the
// firmware's own memory included, is refused rather than touched.
#include "console/memory_commands.h"

#include <cstring>

#include "console/console_menu.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "hw/hw.h"

namespace fw {

namespace {

constexpr uint8_t DONE = 0xFF;
constexpr uint8_t REFUSED = 0;

constexpr uint32_t ADDRESS_POSITION = 3;
constexpr uint32_t MAX_ADDRESS_DIGITS = 8;
constexpr uint32_t MAX_ITEMS = 256;
constexpr uint32_t BYTES_PER_LINE = 16;

// The windows of the range check, inclusive bounds.
struct RANGE {
    uint32_t dLow;
    uint32_t dHigh;
};

constexpr RANGE PCI_WINDOW = {0xC0000000, 0xDFFFFFFF};
constexpr uint32_t LOW_READS_END = 0xF100BFFF;
constexpr uint32_t NARROW_READS_END = 0xF1013FFF;

// Windows the range check lets reads into and nothing else.
constexpr RANGE s_asReadOnlyWindows[] = {{0x80000000, 0x803FFFFF}, {0x90000000, 0x9000FFFF}};
// Register blocks of the processor's peripherals and of the FPGA and its
// mailboxes: read through the register bus, never written from here.
constexpr RANGE s_asRegisterBlocks[] = {
    {0xFFD80000, 0xFFD805FF}, {0xFFD80A00, 0xFFD80CFF}, {0xFFD81500, 0xFFD815FF}, {0xFFD81640, 0xFFD8164F},
    {0xFFD81780, 0xFFD81797}, {0xFFD81800, 0xFFD819FF}, {0xFFD82000, 0xFFD821FF}, {0xFFD82300, 0xFFD8237F},
    {0xFFD82480, 0xFFD824BF}, {0xFFD82500, 0xFFD8255F}, {0xFFD84000, 0xFFD85FFF}, {0xFFD9A000, 0xFFD9BFFF},
    {0xFFDC0000, 0xFFDC0FFF}, {0xFFDC8000, 0xFFDC8FFF}, {0xF100C000, 0xF100E00F}, {0xF100F000, 0xF100F00F},
    {0xF100F016, 0xF100F025}, {0xF100F040, 0xF100F047}, {0xF100F050, 0xF100F055}, {0xF100F100, 0xF100F2FF},
};

// The low memory the byte, word and double writes leave alone: the
// vector page and the firmware below 512 KB, and the flash window.
constexpr uint32_t PROTECTED_LOW_END = 0x80000;
constexpr RANGE PROTECTED_FLASH = {0xF0080000, 0xF07DFFFF};

bool Inside(const RANGE& r, uint32_t dStart, uint32_t dEnd) { return dStart >= r.dLow && dEnd <= r.dHigh; }

// The first data bank, where the board has put it.
RANGE FirstBank() {
    const HwWindow s = HwGetWindow(HW_WINDOW_BANK0);
    return s.dSize == 0 ? RANGE{1, 0} : RANGE{s.dProcessorAddress, s.dProcessorAddress + (s.dSize - 1)};
}

// What backs a range: a memory window (pb set) or a register block.
struct BACKING {
    uint8_t* pb;
    uint8_t fRegisters;
    uint8_t fWritable;
};

bool fFindBacking(uint32_t dStart, uint32_t dEnd, BACKING* ps) {
    // Only the data banks are written: the vector page and the boot block
    // hold what the processor and the firmware run on.
    constexpr struct {
        HwWindowId eWindow;
        uint8_t fWritable;
    } s_asWindows[] = {
        {HW_WINDOW_VECTOR_PAGE, FALSE},
        {HW_WINDOW_BOOT_BLOCK, FALSE},
        {HW_WINDOW_BANK0, TRUE},
        {HW_WINDOW_BANK1, TRUE},
    };
    for (const auto& w : s_asWindows) {
        const HwWindow s = HwGetWindow(w.eWindow);
        if (s.dSize == 0 || s.pBase == nullptr) continue;
        if (dStart >= s.dProcessorAddress && dEnd - s.dProcessorAddress < s.dSize) {
            *ps = {s.pBase + (dStart - s.dProcessorAddress), FALSE, w.fWritable};
            return true;
        }
    }
    for (const RANGE& r : s_asRegisterBlocks) {
        if (Inside(r, dStart, dEnd)) {
            *ps = {nullptr, TRUE, FALSE};
            return true;
        }
    }
    return false;
}

uint64_t lReadItem(const BACKING& s, uint32_t dAddress, uint32_t dOffset, uint32_t dWidth) {
    if (s.fRegisters != TRUE) {
        uint64_t l = 0;
        std::memcpy(&l, s.pb + dOffset, dWidth);   // the board is little-endian
        return l;
    }
    switch (dWidth) {
    case 1: return Reg8Read(dAddress);
    case 2: return Reg16Read(dAddress);
    case 4: return Reg32Read(dAddress);
    default: return Reg32Read(dAddress) | static_cast<uint64_t>(Reg32Read(dAddress + 4)) << 32;
    }
}

uint32_t dWidthOf(uint8_t c) {
    switch (c) {
    case 'b': return 1;
    case 'w': return 2;
    case 'd':
    case 'r': return 4;
    case 'l': return 8;
    default: return 0;
    }
}

uint32_t dHexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 16;
}

// The typed line, read from a position.
struct CURSOR {
    const uint8_t* pb;
    uint32_t dLength;
    uint32_t dAt;
    bool AtEnd() const { return dAt >= dLength; }
    uint8_t Peek() const { return pb[dAt]; }
};

CURSOR LineCursor() {
    const MENU_STATE& s = *psGetMenuState();
    return CURSOR{s.abLineBuffer, s.bLineLength, ADDRESS_POSITION};
}

// The address: 1 to 8 hexadecimal digits ended by a blank or the line's
// end; the one separator after it is skipped.
bool fParseAddress(CURSOR* pc, uint32_t* pdAddress) {
    uint32_t dDigits = 0, dAddress = 0;
    while (!pc->AtEnd() && pc->Peek() != ' ') {
        const uint32_t d = dHexValue(pc->Peek());
        if (d > 15 || ++dDigits > MAX_ADDRESS_DIGITS) return false;
        dAddress = dAddress << 4 | d;
        ++pc->dAt;
    }
    ++pc->dAt;
    *pdAddress = dAddress;
    return dDigits != 0;
}

// A decimal count, missing or 0 meaning 1; large counts are held at the
// cap the display applies anyway.
bool fParseCount(CURSOR* pc, uint32_t dCap, uint32_t* pdCount) {
    uint32_t dCount = 0;
    while (!pc->AtEnd() && pc->Peek() != ' ') {
        const uint8_t c = pc->Peek();
        if (c < '0' || c > '9') return false;
        dCount = dCount * 10 + (c - '0');
        if (dCount > dCap) dCount = dCap;
        ++pc->dAt;
    }
    *pdCount = dCount == 0 ? 1 : dCount;
    return true;
}

// The value: hexadecimal digits anywhere in the rest of the line, at most
// dMaxDigits of them (0: any number, the low bits kept).
bool fParseValue(CURSOR* pc, uint32_t dMaxDigits, uint64_t* plValue) {
    uint32_t dDigits = 0;
    uint64_t lValue = 0;
    for (; !pc->AtEnd(); ++pc->dAt) {
        const uint32_t d = dHexValue(pc->Peek());
        if (d > 15) continue;
        if (++dDigits > dMaxDigits && dMaxDigits != 0) return false;
        lValue = lValue << 4 | d;
    }
    *plValue = lValue;
    return dDigits != 0;
}

void PrintChar(uint8_t c) { ConsolePrintf("%c", c >= 0x20 && c <= 0x7E ? c : '.'); }

void DisplayByteLines(const BACKING& s, uint32_t dAddress, uint32_t dCount) {
    for (uint32_t dLine = 0; dLine * BYTES_PER_LINE < dCount; ++dLine) {
        const uint32_t dFirst = dLine * BYTES_PER_LINE;
        uint8_t ab[BYTES_PER_LINE] = {};
        const uint32_t dInLine = dCount - dFirst < BYTES_PER_LINE ? dCount - dFirst : BYTES_PER_LINE;
        for (uint32_t i = 0; i < dInLine; ++i) {
            ab[i] = static_cast<uint8_t>(lReadItem(s, dAddress + dFirst + i, dFirst + i, 1));
        }
        ConsolePrintf("%08x: ", static_cast<unsigned>(dAddress + dFirst));
        for (uint32_t i = 0; i < BYTES_PER_LINE; ++i) {
            if (i < dInLine) {
                ConsolePrintf("%02x ", ab[i]);
            } else {
                ConsolePrintf("   ");
            }
        }
        ConsolePrintf(": ");
        for (uint32_t i = 0; i < BYTES_PER_LINE; ++i) {
            if (i < dInLine) {
                PrintChar(ab[i]);
            } else {
                ConsolePrintf(" ");
            }
        }
        ConsolePrintf("\n");
    }
}

void DisplayItem(const BACKING& s, uint8_t bSize, uint32_t dAddress, uint32_t dOffset) {
    const uint32_t dWidth = dWidthOf(bSize);
    const uint64_t l = lReadItem(s, dAddress, dOffset, dWidth);
    const unsigned a = static_cast<unsigned>(dAddress);
    switch (bSize) {
    case 'l':
        ConsolePrintf("%08x: ", a);
        ConsolePrintf("%08x%08x\n", static_cast<unsigned>(l >> 32), static_cast<unsigned>(l));
        break;
    case 'w': ConsolePrintf("%08x: %04x\n", a, static_cast<unsigned>(l)); break;
    case 'b':
        ConsolePrintf("%08x: %02x  ", a, static_cast<unsigned>(l));
        if (l >= 0x20 && l <= 0x7E) {
            ConsolePrintf("'%c'\n", static_cast<int>(l));
        } else {
            ConsolePrintf("\n");
        }
        break;
    default: ConsolePrintf("%08x: %08x\n", a, static_cast<unsigned>(l)); break;
    }
}

bool fIsProtectedLow(uint32_t dAddress) {
    return dAddress < PROTECTED_LOW_END || Inside(PROTECTED_FLASH, dAddress, dAddress);
}

}  // namespace

uint8_t bIsValidMemoryRange(uint32_t dStart, uint32_t dLength, uint8_t fStrict, uint8_t bWidth) {
    if (dLength == 0) return REFUSED;
    const uint32_t dEnd = dStart + (dLength - 1);
    if (dEnd < dStart) return REFUSED;
    if (Inside(FirstBank(), dStart, dEnd) || Inside(PCI_WINDOW, dStart, dEnd)) return DONE;
    if (fStrict == TRUE) return REFUSED;
    if (dEnd <= LOW_READS_END) return DONE;
    if (dEnd <= NARROW_READS_END && (bWidth == 1 || bWidth == 2)) return DONE;
    for (const RANGE& r : s_asReadOnlyWindows) {
        if (Inside(r, dStart, dEnd)) return DONE;
    }
    for (const RANGE& r : s_asRegisterBlocks) {
        if (Inside(r, dStart, dEnd)) return DONE;
    }
    return REFUSED;
}

uint8_t bDisplayMemoryCommand() {
    CURSOR c = LineCursor();
    const uint8_t bSize = c.pb[1];
    const uint32_t dWidth = dWidthOf(bSize);
    if (dWidth == 0) return DONE;
    uint32_t dAddress = 0, dCount = 0;
    // Bytes of 16 or more are shown in lines of 16, up to 256 lines.
    if (!fParseAddress(&c, &dAddress) || !fParseCount(&c, MAX_ITEMS * BYTES_PER_LINE, &dCount)) return REFUSED;
    const bool fByteLines = bSize == 'b' && dCount >= BYTES_PER_LINE;
    if (!fByteLines && dCount > MAX_ITEMS) dCount = MAX_ITEMS;
    ConsolePrintf("\n");
    // The cap comes before the length: count times width cannot wrap.
    const uint32_t dLength = dCount * dWidth;
    BACKING s{};
    if (bIsValidMemoryRange(dAddress, dLength, FALSE, static_cast<uint8_t>(dWidth)) != DONE ||
        !fFindBacking(dAddress, dAddress + (dLength - 1), &s)) {
        return REFUSED;
    }
    if (fByteLines) {
        DisplayByteLines(s, dAddress, dCount);
        return DONE;
    }
    for (uint32_t i = 0; i < dCount; ++i) DisplayItem(s, bSize, dAddress + i * dWidth, i * dWidth);
    return DONE;
}

uint8_t bModifyMemoryCommand() {
    CURSOR c = LineCursor();
    const uint8_t bSize = c.pb[1];
    const uint32_t dWidth = dWidthOf(bSize);
    if (dWidth == 0) return DONE;
    uint32_t dAddress = 0;
    uint64_t lValue = 0;
    const uint32_t dMaxDigits = bSize == 'w' ? 0 : dWidth * 2;
    if (!fParseAddress(&c, &dAddress) || !fParseValue(&c, dMaxDigits, &lValue)) return REFUSED;
    const uint8_t fStrict = bSize == 'l' ? TRUE : FALSE;
    if (bIsValidMemoryRange(dAddress, dWidth, fStrict, static_cast<uint8_t>(dWidth)) != DONE) return REFUSED;
    // The double word's own rule lets the high memory through at once.
    const bool fDoubleHigh = bSize == 'd' && dAddress >= 0x800000 && (dAddress < 0xF0080000 || dAddress > 0xF087FFFF);
    if ((bSize == 'b' || bSize == 'w' || (bSize == 'd' && !fDoubleHigh)) && fIsProtectedLow(dAddress)) return REFUSED;
    BACKING s{};
    if (!fFindBacking(dAddress, dAddress + (dWidth - 1), &s) || s.fWritable != TRUE) return REFUSED;
    std::memcpy(s.pb, &lValue, dWidth);   // little-endian: the low bytes of the value
    return DONE;
}

}  // namespace fw
