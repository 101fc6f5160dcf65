// Data buffer pages: bank detection, the nibble page map and the sets of
// its words that find free runs, next-fit runs, usage statistics and the
// memory-preservation pattern.
#include "executive/buffer_pages.h"

#include <algorithm>
#include <cstring>

#include "executive/console_output.h"
#include "executive/port_codes.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/upcalls.h"
#include "hw/hw.h"
#include "hw/memory_controller.h"

namespace fw {

namespace {

constexpr uint32_t MEGABYTE = 1024 * 1024;
constexpr uint32_t WORD_ALL_USED = 0x88888888;
constexpr uint32_t NIBBLE_USED = 8;
constexpr uint32_t PAGES_PER_WORD = 8;
constexpr uint32_t HANDLE_ADDRESS_MASK = 0x7FFFFFFF;
constexpr uint32_t BANK1_ADDRESS_MASK = 0x1FFFFFFF;
constexpr uint32_t PCI_WINDOW_BASE = 0;   // where the inbound PCI window puts buffer memory on this board
constexpr uint32_t AVAILABLE_PAGES_SLACK = 25;
constexpr BUFFER_HANDLE BANK1_PATTERN_HANDLE{0x820FF000};
// The reserved low words of bank 0, and where fixed buffer B starts in
// them, with the host interface of a SAS target port and with any other.
constexpr uint32_t RESERVED_WORDS = 88;
constexpr uint32_t RESERVED_WORDS_SAS_TARGET = 110;
constexpr uint32_t FIXED_BUFFER_B_WORD = 46;
constexpr uint32_t FIXED_BUFFER_B_WORD_SAS_TARGET = 68;
static_assert((RESERVED_WORDS - FIXED_BUFFER_B_WORD) * BUFFER_WORD_BYTES >= IMAGE_STAGING_BYTES &&
                  (RESERVED_WORDS_SAS_TARGET - FIXED_BUFFER_B_WORD_SAS_TARGET) * BUFFER_WORD_BYTES >= IMAGE_STAGING_BYTES,
              "the image staging area lies wholly in the reserved words");

constexpr uint32_t PATTERN_BLOCKS = 64;
constexpr uint32_t PATTERN_BLOCK_WORDS = 16;
constexpr uint32_t PATTERN_BYTES = PATTERN_BLOCKS * PATTERN_BLOCK_WORDS * 4;
constexpr uint32_t s_adPatternPairs[8] = {0x00000000, 0x11111111, 0x22222222, 0x44444444,
                                          0x88888888, 0xFFFFFFFF, 0xAAAAAAAA, 0x55555555};

struct BUFFER_BANK {
    CPU_ADDRESS dBase;            // processor address of the first byte
    BUFFER_HANDLE dHandleBase;    // handle of the first page
    uint32_t dSize;
    uint8_t* pbMemory;     // where the bank's first byte is reached
    uint32_t dWords;
    uint32_t dFirstWord;
    uint32_t dLastWord;
    uint32_t dRotorWord;
    uint8_t bRotorNibble;
    uint32_t dRotorMask;
    uint32_t dPagesInUse;
    uint32_t dHighWater;
    uint32_t dReservedPages;
    uint32_t dBaseline;
};

BUFFER_BANK s_asBank[2];
uint32_t s_aadPageMap[2][BUFFER_MAP_WORDS];

// Map words as members of a set, found in order: a bit a word, and a bit a
// summary word for the summary words that hold any member, so that the next
// member is found in a few steps however far away it is.
constexpr uint32_t MAP_SET_WORDS = BUFFER_MAP_WORDS / 32;
constexpr uint32_t MAP_SET_SUMMARY_WORDS = (MAP_SET_WORDS + 31) / 32;
struct MAP_WORD_SET {
    uint32_t adMembers[MAP_SET_WORDS];
    uint32_t adSummary[MAP_SET_SUMMARY_WORDS];
};
// Per bank: the map words with a free page, and those with every page free.
MAP_WORD_SET s_asWordsWithFree[2];
MAP_WORD_SET s_asWordsAllFree[2];
uint8_t s_fSecondBankPresent = FALSE;
uint8_t s_fAlternateToBank1 = FALSE;
uint8_t s_afForceBank[2] = {FALSE, FALSE};
uint8_t s_afPatternIntact[2] = {FALSE, FALSE};
uint32_t s_dTotalMegabytes = 0;
BUFFER_HANDLE s_dFixedMegabyteArea = NULL_BUFFER_HANDLE;
BUFFER_HANDLE s_dPatternArea = NULL_BUFFER_HANDLE;
BUFFER_HANDLE s_dFixedBufferA = NULL_BUFFER_HANDLE;
BUFFER_HANDLE s_dFixedBufferB = NULL_BUFFER_HANDLE;

// The handle's bits below the bank bit.
uint32_t dHandleBits(BUFFER_HANDLE dHandle) { return static_cast<uint32_t>(dHandle) & HANDLE_ADDRESS_MASK; }

uint32_t UsedPagesOfWord(uint32_t dWord) {
    return static_cast<uint32_t>(__builtin_popcount(dWord & WORD_ALL_USED));
}

// Page counts of both banks together times 100 still fit 32 bits: the
// percentages the write path asks for at every start take no 64-bit
// division.
static_assert(uint64_t{2} * BUFFER_MAP_WORDS * PAGES_PER_WORD * 100 <= UINT32_MAX);
uint32_t PercentOf(uint32_t dPart, uint32_t dWhole) {
    // A bank without available pages is full as soon as anything is used.
    if (dWhole == 0) return dPart == 0 ? 0 : 100;
    if (dPart >= dWhole) return 100;
    return dPart * 100 / dWhole;
}

bool IsBankUsable(uint8_t bBank) {
    if (bBank == 0) return s_asBank[0].dWords != 0;
    return bBank == 1 && s_fSecondBankPresent == TRUE && s_asBank[1].dWords != 0;
}

// Locates a byte range from its handle; false when it is not wholly inside a
// bank (a stale or foreign handle must not touch the map or memory).
bool LocateRange(BUFFER_HANDLE dHandle, uint32_t dLength, uint8_t* pbBank, uint32_t* pdOffset) {
    const uint8_t bBank = bGetBufferHandleBank(dHandle);
    if (!IsBankUsable(bBank)) return false;
    const BUFFER_BANK& sBank = s_asBank[bBank];
    const uint32_t dOffset = dHandleBits(dHandle) - dHandleBits(sBank.dHandleBase);
    if (dOffset >= sBank.dSize || dLength > sBank.dSize - dOffset) return false;
    *pbBank = bBank;
    *pdOffset = dOffset;
    return true;
}

bool LocatePages(BUFFER_HANDLE dHandle, uint32_t dPageCount, uint8_t* pbBank, uint32_t* pdFirstPage) {
    uint32_t dOffset;
    if (dPageCount > BUFFER_MAP_WORDS * PAGES_PER_WORD) return false;
    if (!LocateRange(dHandle, 0, pbBank, &dOffset)) return false;
    const uint32_t dFirstPage = dOffset / BUFFER_PAGE_SIZE;
    if (dPageCount > s_asBank[*pbBank].dWords * PAGES_PER_WORD - dFirstPage) return false;
    *pdFirstPage = dFirstPage;
    return true;
}

uint8_t* pRangePointer(BUFFER_HANDLE dHandle, uint32_t dLength) {
    uint8_t bBank;
    uint32_t dOffset;
    if (!LocateRange(dHandle, dLength, &bBank, &dOffset)) return nullptr;
    return s_asBank[bBank].pbMemory + dOffset;
}

void SetWordMember(MAP_WORD_SET* psSet, uint32_t dWord, bool fMember) {
    uint32_t& dBits = psSet->adMembers[dWord / 32];
    const uint32_t dOld = dBits;
    const uint32_t dBit = 1u << (dWord % 32);
    dBits = fMember ? dOld | dBit : dOld & ~dBit;
    // The summary bit follows when the word of members became empty or
    // stopped being so.
    if ((dOld == 0) != (dBits == 0)) psSet->adSummary[dWord / 32 / 32] ^= 1u << (dWord / 32 % 32);
}

// The first member at or after dWord and below dEnd; dEnd when none.
uint32_t dNextWordMember(const MAP_WORD_SET& sSet, uint32_t dWord, uint32_t dEnd) {
    if (dWord >= dEnd) return dEnd;
    uint32_t dIndex = dWord / 32;
    uint32_t dBits = sSet.adMembers[dIndex] & (~0u << (dWord % 32));
    while (dBits == 0) {
        // The next summary bit past this word of members.
        uint32_t dNext = dIndex + 1;
        if (dNext >= MAP_SET_WORDS || dNext * 32 >= dEnd) return dEnd;
        uint32_t dSummary = sSet.adSummary[dNext / 32] & (~0u << (dNext % 32));
        while (dSummary == 0) {
            dNext = (dNext / 32 + 1) * 32;
            if (dNext >= MAP_SET_WORDS || dNext * 32 >= dEnd) return dEnd;
            dSummary = sSet.adSummary[dNext / 32];
        }
        dIndex = dNext / 32 * 32 + static_cast<uint32_t>(__builtin_ctz(dSummary));
        dBits = sSet.adMembers[dIndex];
    }
    const uint32_t dFound = dIndex * 32 + static_cast<uint32_t>(__builtin_ctz(dBits));
    return dFound < dEnd ? dFound : dEnd;
}

// A map word changed: its place in the sets follows.
void NoteMapWord(uint8_t bBank, uint32_t dWord) {
    const uint32_t dUsed = s_aadPageMap[bBank][dWord] & WORD_ALL_USED;
    SetWordMember(&s_asWordsWithFree[bBank], dWord, dUsed != WORD_ALL_USED);
    SetWordMember(&s_asWordsAllFree[bBank], dWord, dUsed == 0);
}

// The free pages of a map word as 8 bits, page 0 lowest.
uint32_t FreePagesOfWord(uint32_t dMapWord) {
    uint32_t d = (~dMapWord & WORD_ALL_USED) >> 3;   // bit 4n: page n free
    d = (d | d >> 3) & 0x03030303;
    d = (d | d >> 6) & 0x000F000F;
    return (d | d >> 12) & 0xFF;
}

// Sets or clears the in-use nibbles of a run; returns how many changed.
uint32_t UpdateRun(uint8_t bBank, uint32_t dPage, uint32_t dCount, bool fSet) {
    uint32_t* pdMap = s_aadPageMap[bBank];
    uint32_t dChanged = 0;
    while (dCount != 0) {
        uint32_t& dWord = pdMap[dPage / PAGES_PER_WORD];
        const uint32_t dNibble = dPage % PAGES_PER_WORD;
        if (dNibble == 0 && dCount >= PAGES_PER_WORD) {
            const uint32_t dUsed = UsedPagesOfWord(dWord);
            dChanged += fSet ? PAGES_PER_WORD - dUsed : dUsed;
            dWord = fSet ? WORD_ALL_USED : 0;
            NoteMapWord(bBank, dPage / PAGES_PER_WORD);
            dPage += PAGES_PER_WORD;
            dCount -= PAGES_PER_WORD;
            continue;
        }
        const uint32_t dMask = NIBBLE_USED << (4 * dNibble);
        if (((dWord & dMask) != 0) != fSet) {
            dWord ^= dMask;
            NoteMapWord(bBank, dPage / PAGES_PER_WORD);
            dChanged++;
        }
        dPage++;
        dCount--;
    }
    return dChanged;
}

void NoteUsage(BUFFER_BANK* psBank) {
    if (psBank->dPagesInUse > psBank->dHighWater) psBank->dHighWater = psBank->dPagesInUse;
}

void SetRotor(BUFFER_BANK* psBank, uint32_t dWord, uint32_t dNibble) {
    psBank->dRotorWord = dWord;
    psBank->bRotorNibble = static_cast<uint8_t>(dNibble);
    psBank->dRotorMask = NIBBLE_USED << (4 * dNibble);
}

// A run of dCount free pages or more: long enough to hold a whole free
// map word, whatever page it starts on.
constexpr uint32_t LONG_RUN_PAGES = 2 * PAGES_PER_WORD - 1;

// The run of dCount free pages within [dFrom, dTo) that ends first, for
// runs shorter than LONG_RUN_PAGES; false when there is none.  Words
// without a free page are passed over through the set of those with one.
bool FindShortRunIn(uint8_t bBank, uint32_t dFrom, uint32_t dTo, uint32_t dCount, uint32_t* pdEnd) {
    const uint32_t* pdMap = s_aadPageMap[bBank];
    const uint32_t dEndWord = (dTo + PAGES_PER_WORD - 1) / PAGES_PER_WORD;
    uint32_t dRun = 0;
    uint32_t dPage = dFrom;
    while (dPage < dTo) {
        uint32_t dWord = dPage / PAGES_PER_WORD;
        uint32_t dFree = FreePagesOfWord(pdMap[dWord]);
        // No free page ahead in this word: the run starts in the next word
        // that has one.
        if (dRun == 0 && dFree >> (dPage % PAGES_PER_WORD) == 0) {
            const uint32_t dStart = dNextWordMember(s_asWordsWithFree[bBank], dWord + 1, dEndWord);
            if (dStart == dEndWord) return false;
            dWord = dStart;
            dPage = dWord * PAGES_PER_WORD;
            dFree = FreePagesOfWord(pdMap[dWord]);
        }
        const uint32_t dBase = dWord * PAGES_PER_WORD;
        const uint32_t dLimit = dTo - dBase < PAGES_PER_WORD ? dTo - dBase : PAGES_PER_WORD;
        for (uint32_t i = dPage - dBase; i < dLimit;) {
            // Free pages from i on, then the used ones after them.
            uint32_t dFreeHere = static_cast<uint32_t>(__builtin_ctz(~(dFree >> i)));
            if (dFreeHere > dLimit - i) dFreeHere = dLimit - i;
            if (dRun + dFreeHere >= dCount) {
                *pdEnd = dBase + i + (dCount - dRun) - 1;
                return true;
            }
            i += dFreeHere;
            if (i == dLimit) {
                dRun += dFreeHere;
                break;
            }
            dRun = 0;
            const uint32_t dUsed = dFree >> i;
            i += dUsed == 0 ? dLimit - i : static_cast<uint32_t>(__builtin_ctz(dUsed));
        }
        dPage = dBase + dLimit;
    }
    return false;
}

// The free pages at the top of a map word (from page 7 down) and at its
// bottom (from page 0 up).
uint32_t dFreeAtTop(uint32_t dMapWord) {
    return static_cast<uint32_t>(__builtin_clz(~(FreePagesOfWord(dMapWord) << 24)));
}
uint32_t dFreeAtBottom(uint32_t dMapWord) {
    return static_cast<uint32_t>(__builtin_ctz(~FreePagesOfWord(dMapWord)));
}

// The first word at or after dWord and below dEnd that is not a member;
// dEnd when there is none.
uint32_t dNextWordNonMember(const MAP_WORD_SET& sSet, uint32_t dWord, uint32_t dEnd) {
    while (dWord < dEnd) {
        const uint32_t dBits = ~sSet.adMembers[dWord / 32] & (~0u << (dWord % 32));
        if (dBits != 0) {
            const uint32_t dFound = dWord / 32 * 32 + static_cast<uint32_t>(__builtin_ctz(dBits));
            return dFound < dEnd ? dFound : dEnd;
        }
        dWord = (dWord / 32 + 1) * 32;
    }
    return dEnd;
}

// The members of the 32 words of the set's word dIndex that begin dRow
// members in a row (dRow from 1 to 32), as bits.
uint32_t dRowStarts(const MAP_WORD_SET& sSet, uint32_t dIndex, uint32_t dRow) {
    uint64_t x = sSet.adMembers[dIndex];
    if (dIndex + 1 < MAP_SET_WORDS) x |= uint64_t{sSet.adMembers[dIndex + 1]} << 32;
    // A bit that begins r members in a row, and the one s further on that
    // begins r more, begin r + s in a row (s at most r).
    for (uint32_t r = 1; r < dRow;) {
        const uint32_t s = r < dRow - r ? r : dRow - r;
        x &= x >> s;
        r += s;
    }
    return static_cast<uint32_t>(x);
}

// The same for runs of LONG_RUN_PAGES or more.  Such a run holds at least
// (dCount - 7) / 8 whole free words in a row, so only rows of free words
// that long are looked at, each with the free pages of the words on either
// side of it: the first of those stretches that holds the run holds the
// run that ends first (two stretches of free pages never share a row).
bool FindLongRunIn(uint8_t bBank, uint32_t dFrom, uint32_t dTo, uint32_t dCount, uint32_t* pdEnd) {
    const MAP_WORD_SET& sAllFree = s_asWordsAllFree[bBank];
    const uint32_t* pdMap = s_aadPageMap[bBank];
    const uint32_t dWords = s_asBank[bBank].dWords;
    const uint32_t dEndWord = (dTo + PAGES_PER_WORD - 1) / PAGES_PER_WORD;
    // Rows are told apart 32 words at a time: a longer one is found as 32.
    const uint32_t dRow = std::min<uint32_t>((dCount - (PAGES_PER_WORD - 1)) / PAGES_PER_WORD, 32);
    uint32_t dWord = dFrom / PAGES_PER_WORD;
    for (;;) {
        dWord = dNextWordMember(sAllFree, dWord, dEndWord);
        if (dWord >= dEndWord) return false;
        const uint32_t dIndex = dWord / 32;
        const uint32_t dStarts = dRowStarts(sAllFree, dIndex, dRow) & (~0u << (dWord % 32));
        if (dStarts == 0) {
            dWord = (dIndex + 1) * 32;
            continue;
        }
        const uint32_t dFirst = dIndex * 32 + static_cast<uint32_t>(__builtin_ctz(dStarts));
        if (dFirst >= dEndWord) return false;
        // The row from its first free word to the first word after it that
        // is not all free.  The first start found is the row's first word:
        // a free word before it would start a longer row, unless it lies
        // before the range, whose pages the stretch leaves out anyway.
        const uint32_t dAfter = dNextWordNonMember(sAllFree, dFirst + 1, dWords);
        uint32_t dStart = dFirst * PAGES_PER_WORD - (dFirst > 0 ? dFreeAtTop(pdMap[dFirst - 1]) : 0);
        uint32_t dStop = dAfter * PAGES_PER_WORD + (dAfter < dWords ? dFreeAtBottom(pdMap[dAfter]) : 0);
        if (dStart < dFrom) dStart = dFrom;
        if (dStop > dTo) dStop = dTo;
        if (dStop > dStart && dStop - dStart >= dCount) {
            *pdEnd = dStart + dCount - 1;
            return true;
        }
        dWord = dAfter + 1;
    }
}

bool FindRunIn(uint8_t bBank, uint32_t dFrom, uint32_t dTo, uint32_t dCount, uint32_t* pdEnd) {
    return dCount >= LONG_RUN_PAGES ? FindLongRunIn(bBank, dFrom, dTo, dCount, pdEnd)
                                    : FindShortRunIn(bBank, dFrom, dTo, dCount, pdEnd);
}

// Next fit from the rotor: the run that ends first from the rotor to the end
// of the bank, else from the start of the bank to the rotor.  Runs restart
// at the end of the bank, so none spans it.  The rotor moves past the run
// found.
bool FindRun(uint8_t bBank, uint32_t dCount, uint32_t* pdFirstPage) {
    BUFFER_BANK* psBank = &s_asBank[bBank];
    const uint32_t dTotal = psBank->dWords * PAGES_PER_WORD;
    const uint32_t dRotor = psBank->dRotorWord * PAGES_PER_WORD + psBank->bRotorNibble;
    uint32_t dEnd;
    if (!FindRunIn(bBank, dRotor, dTotal, dCount, &dEnd) && !FindRunIn(bBank, 0, dRotor, dCount, &dEnd)) {
        return false;
    }
    const uint32_t dNext = dEnd + 1 == dTotal ? 0 : dEnd + 1;
    SetRotor(psBank, dNext / PAGES_PER_WORD, dNext % PAGES_PER_WORD);
    *pdFirstPage = dEnd + 1 - dCount;
    return true;
}

uint8_t ChooseBank(uint8_t bBank) {
    if (bBank != BUFFER_BANK_EITHER) return bBank;
    if (!IsBankUsable(1)) return 0;
    if (s_afForceBank[1] == TRUE) return 1;
    if (s_afForceBank[0] == TRUE) {
        s_fAlternateToBank1 = TRUE;
        return 0;
    }
    const uint8_t bChosen = s_fAlternateToBank1 == TRUE ? 1 : 0;
    s_fAlternateToBank1 = ToFlag(bChosen == 0);
    return bChosen;
}

void DetectBank0() {
    BUFFER_BANK* psBank = &s_asBank[0];
    const uint32_t dSbsr = Reg32Read(MCU_SBSR);
    uint32_t dSdram;
    switch (dSbsr >> MCU_SBSR_SIZE_SHIFT) {
    case 1: dSdram = 128 * MEGABYTE; break;
    case 2: dSdram = 256 * MEGABYTE; break;
    case 4: dSdram = 512 * MEGABYTE; break;
    case 8: dSdram = 1024 * MEGABYTE; break;
    default:
        ConsolePrintf("MCU Register SBSR indicates empty SDRAM Bank.  Error.\n");
        psBank->dBase = CPU_ADDRESS{BUFFER_BANK_EMPTY_MARK};
        psBank->dHandleBase = BUFFER_HANDLE{BUFFER_BANK_EMPTY_MARK};
        return;
    }
    if ((dSbsr & MCU_SBSR_SINGLE_SIDED) == 0) dSdram *= 2;  // 2 GB still fits: bit 31 is the bank
    // The bank starts at the end of the firmware's memory, and holds only
    // what the board maps there: nothing below or beyond the mapped window
    // is handed out (before the memory size is known the window's start
    // stands for it).
    const HwWindow sWindow = HwGetWindow(HW_WINDOW_BANK0);
    uint32_t dBase = dGetSystemMemorySize();
    if (dBase < sWindow.dProcessorAddress) dBase = sWindow.dProcessorAddress;
    psBank->dBase = CPU_ADDRESS{dBase};
    psBank->dHandleBase = BUFFER_HANDLE{dBase & HANDLE_ADDRESS_MASK};
    uint32_t dSize = dSdram > dBase ? dSdram - dBase : 0;
    if (sWindow.pBase == nullptr || dBase - sWindow.dProcessorAddress >= sWindow.dSize) {
        dSize = 0;
    } else {
        const uint32_t dMapped = sWindow.dSize - (dBase - sWindow.dProcessorAddress);
        if (dSize > dMapped) dSize = dMapped;
        psBank->pbMemory = sWindow.pBase + (dBase - sWindow.dProcessorAddress);
    }
    const uint32_t dBelowBank1 = dBase < BUFFER_BANK1_FLAG ? BUFFER_BANK1_FLAG - dBase : 0;
    psBank->dSize = dSize < dBelowBank1 ? dSize : dBelowBank1;
}

void DetectBank1() {
    BUFFER_BANK* psBank = &s_asBank[1];
    s_fSecondBankPresent = fIsIpcPeerEnabled() == TRUE ? TRUE : FALSE;
    if (s_fSecondBankPresent != TRUE) return;
    const HwWindow sWindow = HwGetWindow(HW_WINDOW_BANK1);
    psBank->dBase = CPU_ADDRESS{sWindow.dProcessorAddress};
    psBank->dHandleBase = dCpuAddressToBank1Handle(psBank->dBase);
    psBank->dSize = sWindow.pBase == nullptr ? 0 : sWindow.dSize;
    if (psBank->dSize > BANK1_ADDRESS_MASK + 1) psBank->dSize = BANK1_ADDRESS_MASK + 1;
    psBank->pbMemory = sWindow.pBase;
}

void FinishBankExtent(BUFFER_BANK* psBank) {
    uint32_t dWords = psBank->dSize / BUFFER_WORD_BYTES;
    if (dWords > BUFFER_MAP_WORDS) dWords = BUFFER_MAP_WORDS;  // the map covers no more
    psBank->dWords = dWords;
    psBank->dSize = dWords * BUFFER_WORD_BYTES;
    psBank->dFirstWord = 0;
    psBank->dLastWord = dWords == 0 ? 0 : dWords - 1;
    SetRotor(psBank, 0, 0);
}

uint32_t* pPatternPointer(uint8_t bBank) {
    if (bBank == 0) return reinterpret_cast<uint32_t*>(pRangePointer(s_dPatternArea, PATTERN_BYTES));
    return reinterpret_cast<uint32_t*>(pRangePointer(BANK1_PATTERN_HANDLE, PATTERN_BYTES));
}

bool PatternIntact(const uint32_t* pdArea) {
    for (uint32_t d = 0; d < PATTERN_BLOCKS * PATTERN_BLOCK_WORDS; d++) {
        if (pdArea[d] != s_adPatternPairs[(d % PATTERN_BLOCK_WORDS) / 2]) return false;
    }
    return true;
}

}  // namespace

uint8_t InitBufferPages() {
    std::memset(s_asBank, 0, sizeof(s_asBank));
    DetectBank0();
    DetectBank1();
    FinishBankExtent(&s_asBank[0]);
    FinishBankExtent(&s_asBank[1]);

    uint32_t dBytes = s_asBank[0].dSize + 32 * MEGABYTE;
    if (s_fSecondBankPresent == TRUE) dBytes += s_asBank[1].dSize + 32 * MEGABYTE;
    s_dTotalMegabytes = dBytes / MEGABYTE;
    s_afForceBank[0] = FALSE;
    s_afForceBank[1] = FALSE;
    s_fAlternateToBank1 = FALSE;

    std::memset(s_aadPageMap, 0, sizeof(s_aadPageMap));
    std::memset(s_asWordsWithFree, 0, sizeof(s_asWordsWithFree));
    std::memset(s_asWordsAllFree, 0, sizeof(s_asWordsAllFree));
    for (uint8_t bBank = 0; bBank < 2; bBank++) {
        for (uint32_t dWord = 0; dWord < s_asBank[bBank].dWords; dWord++) NoteMapWord(bBank, dWord);
    }
    const bool fTarget = bGetHostInterfaceType() == HOST_INTERFACE_SAS_TARGET;
    const BUFFER_HANDLE dBase = s_asBank[0].dHandleBase;
    s_dFixedMegabyteArea = dBase + MEGABYTE;
    s_dPatternArea = dBase + (fTarget ? 57 : 35) * BUFFER_WORD_BYTES;
    s_dFixedBufferA = dBase + (fTarget ? 58 : 36) * BUFFER_WORD_BYTES;
    s_dFixedBufferB = dBase + (fTarget ? FIXED_BUFFER_B_WORD_SAS_TARGET : FIXED_BUFFER_B_WORD) * BUFFER_WORD_BYTES;
    // The low words hold the firmware's fixed areas: never handed out, and
    // counted as in use so that the baseline leaves them out of the usage.
    uint32_t dReservedWords = fTarget ? RESERVED_WORDS_SAS_TARGET : RESERVED_WORDS;
    if (dReservedWords > s_asBank[0].dWords) dReservedWords = s_asBank[0].dWords;
    MarkDataPagesInUse(s_asBank[0].dHandleBase, dReservedWords * PAGES_PER_WORD);

    CheckPreservationPattern();
    return STATUS_OK;
}

uint8_t bAllocDataPages(uint8_t bBank, uint32_t dPageCount, BUFFER_HANDLE* pHandle) {
    if (bBank > BUFFER_BANK_EITHER) return STATUS_NO_PAGES;
    bBank = ChooseBank(bBank);
    if (!IsBankUsable(bBank) || dPageCount == 0) return STATUS_NO_PAGES;
    BUFFER_BANK* psBank = &s_asBank[bBank];
    uint32_t dFirstPage;
    if (dPageCount > psBank->dWords * PAGES_PER_WORD || !FindRun(bBank, dPageCount, &dFirstPage)) {
        return STATUS_NO_PAGES;
    }
    psBank->dPagesInUse += UpdateRun(bBank, dFirstPage, dPageCount, true);
    NoteUsage(psBank);
    *pHandle = psBank->dHandleBase + dFirstPage * BUFFER_PAGE_SIZE;
    return STATUS_OK;
}

BUFFER_HANDLE dTakeStartOfDayPages(uint32_t dPageCount) {
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, dPageCount, &dHandle) != STATUS_OK) StopStartShortOfPages(dPageCount);
    return dHandle;
}

uint16_t wFreeDataPages(BUFFER_HANDLE dHandle, uint32_t dPageCount) {
    uint8_t bBank;
    uint32_t dFirstPage;
    if (dHandle == NULL_BUFFER_HANDLE || dPageCount == 0 || !LocatePages(dHandle, dPageCount, &bBank, &dFirstPage)) {
        return 0;
    }
    BUFFER_BANK* psBank = &s_asBank[bBank];
    const uint32_t dFreed = UpdateRun(bBank, dFirstPage, dPageCount, false);
    psBank->dPagesInUse = psBank->dPagesInUse > dFreed ? psBank->dPagesInUse - dFreed : 0;
    return static_cast<uint16_t>(dFreed);
}

void MarkDataPagesInUse(BUFFER_HANDLE dHandle, uint32_t dPageCount) {
    uint8_t bBank;
    uint32_t dFirstPage;
    if (dPageCount == 0 || !LocatePages(dHandle, dPageCount, &bBank, &dFirstPage)) return;
    BUFFER_BANK* psBank = &s_asBank[bBank];
    // Only pages that were free are counted, so that a later free balances.
    psBank->dPagesInUse += UpdateRun(bBank, dFirstPage, dPageCount, true);
    NoteUsage(psBank);
}

void AddReservedDataPages(BUFFER_HANDLE dHandle, uint32_t dPageCount) {
    const uint8_t bBank = bGetBufferHandleBank(dHandle);
    if (!IsBankUsable(bBank)) return;
    s_asBank[bBank].dReservedPages += dPageCount;
}

void SetBufferBaseline() {
    for (BUFFER_BANK& sBank : s_asBank) {
        sBank.dBaseline = sBank.dPagesInUse >= sBank.dReservedPages ? sBank.dPagesInUse - sBank.dReservedPages
                                                                    : sBank.dPagesInUse;
    }
}

uint32_t dGetAvailablePages(uint8_t bBank) {
    if (bBank > 1) return 0;
    const BUFFER_BANK& sBank = s_asBank[bBank];
    const uint32_t dPages = sBank.dWords * PAGES_PER_WORD;
    const uint32_t dTaken = sBank.dBaseline + AVAILABLE_PAGES_SLACK;
    return dPages > dTaken ? dPages - dTaken : 0;
}

uint32_t dGetDynamicPagesInUse(uint8_t bBank) {
    if (bBank > 1) return 0;
    const BUFFER_BANK& sBank = s_asBank[bBank];
    return sBank.dPagesInUse > sBank.dBaseline ? sBank.dPagesInUse - sBank.dBaseline : 0;
}

uint32_t dGetDynamicHighWater(uint8_t bBank) {
    if (bBank > 1) return 0;
    const BUFFER_BANK& sBank = s_asBank[bBank];
    return sBank.dHighWater > sBank.dBaseline ? sBank.dHighWater - sBank.dBaseline : 0;
}

uint32_t dGetPagesInUse(uint8_t bBank) { return bBank > 1 ? 0 : s_asBank[bBank].dPagesInUse; }

void SetHighWaterMark(uint32_t dValue, uint8_t bBank) {
    if (bBank <= 1) s_asBank[bBank].dHighWater = dValue;
}

uint8_t bGetBufferUsagePercent(uint8_t bBank) {
    if (bBank <= 1) return static_cast<uint8_t>(PercentOf(dGetDynamicPagesInUse(bBank), dGetAvailablePages(bBank)));
    if (bBank != BUFFER_BANK_EITHER) return 100;
    uint32_t dUsed = dGetDynamicPagesInUse(0);
    uint32_t dAvailable = dGetAvailablePages(0);
    if (s_fSecondBankPresent == TRUE && s_afForceBank[0] != TRUE) {
        dUsed += dGetDynamicPagesInUse(1);
        dAvailable += dGetAvailablePages(1);
    }
    return static_cast<uint8_t>(PercentOf(dUsed, dAvailable));
}

uint8_t bGetJournalUsagePercent() {
    return static_cast<uint8_t>(PercentOf(dJournalHeldPages(), dGetAvailablePages(0)));
}

uint8_t fIsBufferUsageHigh(uint8_t bBank) {
    uint32_t dThreshold;
    if (s_dTotalMegabytes == 256) {
        dThreshold = 60;
    } else {
        dThreshold = wMirroredWriteExtents() != 0 ? 40 : 70;
    }
    const int32_t dUsage = static_cast<int32_t>(bGetBufferUsagePercent(bBank)) - bGetJournalUsagePercent();
    return ToFlag(dUsage > static_cast<int32_t>(dThreshold));
}

uint8_t fIsJournalUsageHigh() {
    const uint32_t dThreshold = wModuleCommandsOutstanding() != 0 ? 30 : 68;
    return ToFlag(bGetJournalUsagePercent() > dThreshold);
}

uint16_t wGetBankMegabytes(uint8_t bBank) {
    if (bBank > 1) return 0;
    return static_cast<uint16_t>(s_asBank[bBank].dSize / MEGABYTE + 64);
}

uint32_t dGetTotalMemoryMegabytes() { return s_dTotalMegabytes; }

uint8_t fIsSecondBufferBankPresent() { return s_fSecondBankPresent; }
void SetSecondBufferBankPresent(uint8_t f) { s_fSecondBankPresent = f; }
uint8_t fGetBankForceFlag(uint8_t bBank) { return bBank <= 1 ? s_afForceBank[bBank] : FALSE; }
// Only a second bank gives the either-bank allocation a choice to force.
void SetBankForceFlag(uint8_t bBank, uint8_t f) {
    if (bBank > 1 || (f == TRUE && s_fSecondBankPresent != TRUE)) return;
    s_afForceBank[bBank] = f;
}
uint8_t fGetBankOptionFlag(uint8_t bBank) { return bBank <= 1 ? s_afPatternIntact[bBank] : FALSE; }

BUS_ADDRESS dBufferHandleToPciAddress(BUFFER_HANDLE dHandle) {
    return BUS_ADDRESS{dHandleBits(dHandle) + PCI_WINDOW_BASE};
}

CPU_ADDRESS dBufferHandleToCpuAddress(BUFFER_HANDLE dHandle) { return CPU_ADDRESS{dHandleBits(dHandle)}; }

BUS_ADDRESS dCpuAddressToPciAddress(CPU_ADDRESS dAddress) {
    return BUS_ADDRESS{(static_cast<uint32_t>(dAddress) & HANDLE_ADDRESS_MASK) + PCI_WINDOW_BASE};
}

BUFFER_HANDLE dCpuAddressToBank1Handle(CPU_ADDRESS dAddress) {
    return BUFFER_HANDLE{(static_cast<uint32_t>(dAddress) & BANK1_ADDRESS_MASK) + BUFFER_BANK1_FLAG};
}

uint8_t bGetBufferHandleBank(BUFFER_HANDLE dHandle) { return static_cast<uint8_t>(static_cast<uint32_t>(dHandle) >> 31); }

uint8_t fIsBufferRangeValid(BUFFER_HANDLE dHandle, uint32_t dByteCount) {
    return ToFlag(dByteCount != 0 && pRangePointer(dHandle, dByteCount) != nullptr);
}

uint32_t* FillBufferWords(BUFFER_HANDLE dHandle, uint32_t dByteCount, uint32_t dValue) {
    const uint32_t dWords = dByteCount / 4;
    uint32_t* pd = reinterpret_cast<uint32_t*>(pRangePointer(dHandle, dWords * 4));
    if (pd == nullptr) return nullptr;
    for (uint32_t d = 0; d < dWords; d++) pd[d] = dValue;
    return pd + dWords;
}

uint32_t* FillBufferTestPattern(BUFFER_HANDLE dHandle, uint32_t dByteCount) {
    if (dByteCount < 4) return reinterpret_cast<uint32_t*>(pRangePointer(dHandle, 0));
    return FillBufferWords(dHandle, dByteCount, 0x12121212);
}

void DumpBuffer(BUFFER_HANDLE dHandle, uint32_t dLength, uint8_t bWidth) {
    const uint8_t* pb = pRangePointer(dHandle, dLength);
    if (pb == nullptr) return;
    const uint32_t dAddress = static_cast<uint32_t>(dBufferHandleToCpuAddress(dHandle));
    if (bWidth == 4) {
        uint32_t dWord;
        for (uint32_t d = 0; d + 4 <= dLength; d += 4) {
            if (d % 32 == 0) ConsolePrintf("\n%08x: ", dAddress + d);
            std::memcpy(&dWord, pb + d, 4);
            ConsolePrintf("%08x ", dWord);
        }
        ConsolePrintf("\n");
        return;
    }
    for (uint32_t d = 0; d < dLength; d += 16) {
        const uint32_t dLine = dLength - d < 16 ? dLength - d : 16;
        char acText[17];
        ConsolePrintf("%08x: ", dAddress + d);
        for (uint32_t i = 0; i < dLine; i++) {
            const uint8_t b = pb[d + i];
            ConsolePrintf("%02x ", b);
            acText[i] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
        }
        acText[dLine] = '\0';
        ConsolePrintf(" %s\n", acText);
    }
}

void WritePreservationPattern() {
    for (uint8_t bBank = 0; bBank < 2; bBank++) {
        uint32_t* pd = pPatternPointer(bBank);
        if (pd == nullptr) continue;
        for (uint32_t d = 0; d < PATTERN_BLOCKS * PATTERN_BLOCK_WORDS; d++) {
            pd[d] = s_adPatternPairs[(d % PATTERN_BLOCK_WORDS) / 2];
        }
    }
}

void ClearPreservationPattern() {
    for (uint8_t bBank = 0; bBank < 2; bBank++) {
        uint32_t* pd = pPatternPointer(bBank);
        if (pd != nullptr) std::memset(pd, 0, PATTERN_BYTES);
        s_afPatternIntact[bBank] = FALSE;
    }
}

void CheckPreservationPattern() {
    for (uint8_t bBank = 0; bBank < 2; bBank++) {
        const uint32_t* pd = pPatternPointer(bBank);
        s_afPatternIntact[bBank] = ToFlag(pd != nullptr && PatternIntact(pd));
    }
}

BUFFER_HANDLE dGetFixedMegabyteArea() { return s_dFixedMegabyteArea; }
BUFFER_HANDLE dGetPreservationPatternArea() { return s_dPatternArea; }
BUFFER_HANDLE dGetFixedBufferA() { return s_dFixedBufferA; }
BUFFER_HANDLE dGetFixedBufferB() { return s_dFixedBufferB; }

BUFFER_HANDLE dGetImageStagingArea() {
    return fIsBufferRangeValid(s_dFixedBufferB, IMAGE_STAGING_BYTES) == TRUE ? s_dFixedBufferB : NULL_BUFFER_HANDLE;
}

CPU_ADDRESS dGetChipRingMemory() { return s_asBank[0].dBase; }

}  // namespace fw
