// Data buffer pages on the board's bank 0 (128 MB SDRAM above 64 MB of
// firmware memory): next-fit runs, the bank end, freeing, refused handles,
// usage figures, bank detection and the preservation pattern across restarts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

#include "executive/buffer_pages.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/memory_controller.h"
#include "sim/board.h"
#include "sim/memory_windows.h"

namespace {

constexpr uint32_t kSbsr = fw::MCU_SBSR;
constexpr uint32_t kPage = fw::BUFFER_PAGE_SIZE;

class BufferPagesTest : public ::testing::Test {
protected:
    void SetUp() override { Init(); }
    void Init() {
        fw::SetSystemMemorySize(board.config().memorySize);
        ASSERT_EQ(fw::InitBufferPages(), fw::STATUS_OK);
    }
    fw::BUFFER_HANDLE Base() { return fw::BUFFER_HANDLE{board.memory().bank0Address()}; }
    fw::BUFFER_HANDLE BelowBase(uint32_t dBytes) { return fw::BUFFER_HANDLE{board.memory().bank0Address() - dBytes}; }
    uint32_t Pages() { return board.memory().bank0Size() / kPage; }
    uint32_t ReservedPages() { return 88 * 8; }
    fw::BUFFER_HANDLE Alloc(uint32_t dPages, uint8_t bBank = 0) {
        fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
        EXPECT_EQ(fw::bAllocDataPages(bBank, dPages, &d), fw::STATUS_OK) << dPages;
        return d;
    }
    // Every page from the first free one to the end of the bank in use.
    void FillBank() { Alloc(Pages() - ReservedPages()); }
    sim::Board board;
};

TEST_F(BufferPagesTest, ConsecutiveAllocationsFollowEachOther) {
    const fw::BUFFER_HANDLE dFirst = Alloc(1);
    EXPECT_EQ(dFirst, Base() + ReservedPages() * kPage);
    EXPECT_EQ(Alloc(1), dFirst + kPage);
    const fw::BUFFER_HANDLE dRun = Alloc(20);  // spans three map words
    EXPECT_EQ(dRun, dFirst + 2 * kPage);
    EXPECT_EQ(fw::dGetPagesInUse(0), ReservedPages() + 22);
    EXPECT_EQ(fw::wFreeDataPages(dRun, 20), 20);
    EXPECT_EQ(fw::dGetPagesInUse(0), ReservedPages() + 2);
}

TEST_F(BufferPagesTest, RunsNeverSpanTheBankEnd) {
    FillBank();
    // Free the last two pages and the very first page of the bank.
    const fw::BUFFER_HANDLE dLastTwo = Base() + (Pages() - 2) * kPage;
    ASSERT_EQ(fw::wFreeDataPages(dLastTwo, 2), 2);
    ASSERT_EQ(fw::wFreeDataPages(Base(), 1), 1);
    fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
    EXPECT_EQ(fw::bAllocDataPages(0, 3, &d), fw::STATUS_NO_PAGES);
    EXPECT_EQ(Alloc(2), dLastTwo);
    EXPECT_EQ(Alloc(1), Base());
    EXPECT_EQ(fw::bAllocDataPages(0, 1, &d), fw::STATUS_NO_PAGES);
}

TEST_F(BufferPagesTest, AFreePageBehindTheRotorInItsWordIsFound) {
    FillBank();
    const fw::BUFFER_HANDLE dPage = Base() + 100 * 8 * kPage;  // nibble 0 of a word
    ASSERT_EQ(fw::wFreeDataPages(dPage, 1), 1);
    EXPECT_EQ(Alloc(1), dPage);  // the rotor now stands on nibble 1 of that word
    ASSERT_EQ(fw::wFreeDataPages(dPage, 1), 1);
    EXPECT_EQ(Alloc(1), dPage);
}

// Next fit as a page-by-page scan: from the rotor to the bank end, then from
// the bank start to the rotor; the first run of the count that completes is
// taken and the rotor moves past it.  Whatever helps the allocator find runs
// faster must find these very runs.
class NextFitReference {
public:
    NextFitReference(uint32_t dPages, uint32_t dReserved) : m_afUsed(dPages, false) {
        for (uint32_t d = 0; d < dReserved; d++) m_afUsed[d] = true;
    }
    bool Alloc(uint32_t dCount, uint32_t* pdFirst) {
        const uint32_t dTotal = static_cast<uint32_t>(m_afUsed.size());
        for (auto [dFrom, dTo] : {std::pair{m_dRotor, dTotal}, std::pair{0u, m_dRotor}}) {
            uint32_t dRun = 0;
            for (uint32_t d = dFrom; d < dTo; d++) {
                dRun = m_afUsed[d] ? 0 : dRun + 1;
                if (dRun != dCount) continue;
                *pdFirst = d + 1 - dCount;
                for (uint32_t k = *pdFirst; k <= d; k++) m_afUsed[k] = true;
                m_dRotor = d + 1 == dTotal ? 0 : d + 1;
                return true;
            }
        }
        return false;
    }
    void Free(uint32_t dFirst, uint32_t dCount) {
        for (uint32_t d = dFirst; d < dFirst + dCount; d++) m_afUsed[d] = false;
    }

private:
    std::vector<bool> m_afUsed;
    uint32_t m_dRotor = 0;
};

// Random runs of every size class (single pages, runs within a word, runs
// over whole words, long runs) taken and given back in part or whole, the
// bank driven full and fragmented: each answer is the reference's.
TEST_F(BufferPagesTest, RunsFoundAreThoseOfAPageByPageNextFit) {
    NextFitReference reference(Pages(), ReservedPages());
    struct Held {
        uint32_t dFirst;
        uint32_t dCount;
    };
    std::vector<Held> held;
    std::mt19937 random(11);
    const uint32_t adSizes[] = {1, 1, 1, 2, 3, 7, 8, 9, 14, 15, 16, 17, 31, 64, 200, 512};
    uint32_t dRefusals = 0;
    for (int i = 0; i < 6000; i++) {
        // Mostly taking while the bank has room, mostly giving back once it is full.
        const bool fTake = held.empty() || random() % 100 < (dRefusals % 2 == 0 ? 75u : 40u);
        if (fTake) {
            const uint32_t dCount = adSizes[random() % std::size(adSizes)];
            fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
            uint32_t dExpected = 0;
            const bool fExpected = reference.Alloc(dCount, &dExpected);
            const uint8_t bStatus = fw::bAllocDataPages(0, dCount, &d);
            ASSERT_EQ(bStatus, fExpected ? fw::STATUS_OK : fw::STATUS_NO_PAGES) << "step " << i << ", " << dCount;
            if (!fExpected) {
                dRefusals++;
                continue;
            }
            ASSERT_EQ(d, Base() + dExpected * kPage) << "step " << i << ", " << dCount << " pages";
            held.push_back({dExpected, dCount});
        } else {
            // A whole run, or only its front, which leaves its tail a hole's neighbour.
            const size_t k = random() % held.size();
            const uint32_t dCount = random() % 3 == 0 ? 1 + random() % held[k].dCount : held[k].dCount;
            ASSERT_EQ(fw::wFreeDataPages(Base() + held[k].dFirst * kPage, dCount), dCount);
            reference.Free(held[k].dFirst, dCount);
            held[k].dFirst += dCount;
            held[k].dCount -= dCount;
            if (held[k].dCount == 0) {
                held[k] = held.back();
                held.pop_back();
            }
        }
    }
    EXPECT_GT(dRefusals, 100u);   // the bank was full, often
}

// The bank as a write-back cache under small random writes leaves it: held
// single pages scattered everywhere, whole free words alone or a few in a
// row between them; buffers for new write streams asked for at 15 to 130
// pages and halved when refused, most of them refused; and each count at
// which the whole free words a run must hold grows by one (15, 23, 31, ...)
// asked for, and the counts a page either side of it.
TEST_F(BufferPagesTest, LongRunsInAFragmentedBankAreThoseOfAPageByPageNextFit) {
    NextFitReference reference(Pages(), ReservedPages());
    std::vector<std::pair<uint32_t, uint32_t>> held;
    std::mt19937 random(5);
    uint32_t dLongTaken = 0, dLongRefused = 0;
    auto take = [&](uint32_t dCount, int iStep) {
        fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
        uint32_t dExpected = 0;
        const bool fExpected = reference.Alloc(dCount, &dExpected);
        const uint8_t bStatus = fw::bAllocDataPages(0, dCount, &d);
        EXPECT_EQ(bStatus, fExpected ? fw::STATUS_OK : fw::STATUS_NO_PAGES) << "step " << iStep << ", " << dCount;
        const bool fLong = dCount >= 15 && iStep >= 0;
        if (!fExpected || bStatus != fw::STATUS_OK) {
            dLongRefused += fLong ? 1 : 0;
            return false;
        }
        EXPECT_EQ(d, Base() + dExpected * kPage) << "step " << iStep << ", " << dCount << " pages";
        held.emplace_back(dExpected, dCount);
        dLongTaken += fLong ? 1 : 0;
        return true;
    };
    auto give = [&](size_t k) {
        ASSERT_EQ(fw::wFreeDataPages(Base() + held[k].first * kPage, held[k].second), held[k].second);
        reference.Free(held[k].first, held[k].second);
        held[k] = held.back();
        held.pop_back();
    };
    // Single pages up to a full bank, then seven in eight of them given
    // back at random.
    while (take(1, -1)) {
    }
    for (size_t k = held.size(); k-- > 0;) {
        if (random() % 8 != 0) give(random() % held.size());
    }
    for (int i = 0; i < 4000 && !HasFailure(); i++) {
        const uint32_t dKind = random() % 10;
        if (dKind < 4) {
            take(1, i);
        } else if (dKind < 7) {
            // A stream's buffer: up to three tries, each half the last.
            uint32_t dCount = 15 + random() % 116;
            for (int iTry = 0; iTry < 3 && !take(dCount, i) && dCount > 15; iTry++) dCount = std::max(dCount / 2, 15u);
        } else if (dKind < 8) {
            const uint32_t dRow = 1 + random() % 8;
            take(dRow * 8 + 7 - 1 + random() % 3, i);
        } else if (!held.empty()) {
            give(random() % held.size());
        }
    }
    // Long runs were both found and refused, many times.
    EXPECT_GT(dLongTaken, 200u);
    EXPECT_GT(dLongRefused, 1500u);
}

TEST_F(BufferPagesTest, FreeingCountsOnlyPagesThatWereInUse) {
    const fw::BUFFER_HANDLE dRun = Alloc(4);
    ASSERT_EQ(fw::wFreeDataPages(dRun + kPage, 1), 1);
    const uint32_t dInUse = fw::dGetPagesInUse(0);
    EXPECT_EQ(fw::wFreeDataPages(dRun, 4), 3);
    EXPECT_EQ(fw::dGetPagesInUse(0), dInUse - 3);
    EXPECT_EQ(fw::wFreeDataPages(dRun, 4), 0);
    EXPECT_EQ(fw::wFreeDataPages(fw::NULL_BUFFER_HANDLE, 4), 0);

    // Marking twice counts once, so a later free balances.
    fw::MarkDataPagesInUse(dRun, 4);
    fw::MarkDataPagesInUse(dRun, 4);
    EXPECT_EQ(fw::dGetPagesInUse(0), dInUse + 1);
    EXPECT_EQ(fw::wFreeDataPages(dRun, 4), 4);
}

TEST_F(BufferPagesTest, HandlesOutsideTheBankAreRefused) {
    const fw::BUFFER_HANDLE dEnd = Base() + Pages() * kPage;
    struct Case {
        const char* pszWhat;
        fw::BUFFER_HANDLE dHandle;
        uint32_t dPages;
    };
    const Case cases[] = {
        {"below the bank", BelowBase(kPage), 1},
        {"at the bank end", dEnd, 1},
        {"run past the end", Base() + (Pages() - 1) * kPage, 2},
        {"huge count", Base() + ReservedPages() * kPage, 0xFFFFFFFF},
        {"bank 1, absent", fw::BUFFER_HANDLE{0x80000000 | (ReservedPages() * kPage)}, 1},
    };
    const uint32_t dInUse = fw::dGetPagesInUse(0);
    for (const Case& c : cases) {
        EXPECT_EQ(fw::wFreeDataPages(c.dHandle, c.dPages), 0) << c.pszWhat;
        fw::MarkDataPagesInUse(c.dHandle, c.dPages);
        EXPECT_EQ(fw::dGetPagesInUse(0), dInUse) << c.pszWhat;
        EXPECT_EQ(fw::FillBufferWords(c.dHandle, c.dPages * kPage, 0), nullptr) << c.pszWhat;
    }
    uint32_t* pdEnd = fw::FillBufferWords(Base() + (Pages() - 1) * kPage, kPage, 0x11223344);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pdEnd), static_cast<uint32_t>(dEnd));
}

TEST_F(BufferPagesTest, BankChoiceWithoutASecondBank) {
    fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
    EXPECT_EQ(fw::fIsSecondBufferBankPresent(), fw::FALSE);
    EXPECT_EQ(fw::bAllocDataPages(1, 1, &d), fw::STATUS_NO_PAGES);
    EXPECT_EQ(fw::bAllocDataPages(3, 1, &d), fw::STATUS_NO_PAGES);
    for (int i = 0; i < 4; i++) EXPECT_EQ(fw::bGetBufferHandleBank(Alloc(1, fw::BUFFER_BANK_EITHER)), 0);
    // A second bank that the platform gives no pages still takes nothing.
    fw::SetSecondBufferBankPresent(fw::TRUE);
    EXPECT_EQ(fw::bAllocDataPages(1, 1, &d), fw::STATUS_NO_PAGES);
    EXPECT_EQ(fw::bGetBufferHandleBank(Alloc(1, fw::BUFFER_BANK_EITHER)), 0);
}

TEST_F(BufferPagesTest, UsageFigures) {
    fw::SetBufferBaseline();
    const uint32_t dAvailable = Pages() - ReservedPages() - 25;
    EXPECT_EQ(fw::dGetAvailablePages(0), dAvailable);
    EXPECT_EQ(fw::dGetAvailablePages(1), 0u);
    const uint32_t dTenth = dAvailable / 10 + 1;
    Alloc(dTenth);
    EXPECT_EQ(fw::dGetDynamicPagesInUse(0), dTenth);
    EXPECT_EQ(fw::dGetDynamicHighWater(0), dTenth);
    struct Case {
        uint8_t bBank;
        uint8_t bPercent;
    };
    const Case cases[] = {{0, 10}, {2, 10}, {1, 0}, {5, 100}};
    for (const Case& c : cases) EXPECT_EQ(fw::bGetBufferUsagePercent(c.bBank), c.bPercent) << int(c.bBank);
    EXPECT_EQ(fw::bGetJournalUsagePercent(), 0);
    EXPECT_EQ(fw::fIsBufferUsageHigh(0), fw::FALSE);
    EXPECT_EQ(fw::fIsJournalUsageHigh(), fw::FALSE);
    EXPECT_EQ(fw::wGetBankMegabytes(0), 64 + 64);
    EXPECT_EQ(fw::wGetBankMegabytes(2), 0);

    Alloc(dAvailable * 7 / 10);
    EXPECT_EQ(fw::fIsBufferUsageHigh(0), fw::TRUE);
}

TEST_F(BufferPagesTest, BankDetectionFromTheSizeRegister) {
    struct Case {
        const char* pszWhat;
        uint32_t dSbsr;
        uint32_t dPages;  // of bank 0
    };
    const uint32_t dMapped = board.memory().bank0Size() / kPage;
    const Case cases[] = {
        {"128 MB", (1u << 27) | 4, dMapped},
        {"256 MB, more than the board maps", (2u << 27) | 4, dMapped},
        {"2 GB", 8u << 27, dMapped},
        {"empty bank", (3u << 27) | 4, 0},
    };
    for (const Case& c : cases) {
        board.bus().Latch(kSbsr, c.dSbsr);
        board.ClearConsoleText();
        Init();
        fw::SetBufferBaseline();
        EXPECT_EQ(fw::dGetAvailablePages(0), c.dPages == 0 ? 0 : c.dPages - ReservedPages() - 25) << c.pszWhat;
        fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
        EXPECT_EQ(fw::bAllocDataPages(0, 1, &d), c.dPages == 0 ? fw::STATUS_NO_PAGES : fw::STATUS_OK) << c.pszWhat;
        EXPECT_EQ(fw::bGetBufferUsagePercent(0), 0) << c.pszWhat;
        EXPECT_EQ(fw::bGetJournalUsagePercent(), 0) << c.pszWhat;
        const bool fMessage = board.ConsoleText().find("MCU Register SBSR indicates empty SDRAM Bank.  Error.") !=
                              std::string::npos;
        EXPECT_EQ(fMessage, c.dPages == 0) << c.pszWhat;
    }
}

// The board's SDRAM setting reaches the firmware through the size register:
// bank 0 is what lies above the firmware's 64 MB (under the address
// sanitizer a 512 MiB bank ends one page short of its shadow), all of it
// handed out.
TEST(BufferPagesSdram, TheBoardsSdramSizeIsTheBank) {
    for (uint32_t dMegabytes : {128u, 256u, 512u}) {
        SCOPED_TRACE(dMegabytes);
        sim::BoardConfig config;
        config.sdramBytes = dMegabytes << 20;
        sim::Board board(config);
        fw::SetSystemMemorySize(config.memorySize);
        ASSERT_EQ(fw::InitBufferPages(), fw::STATUS_OK);
        EXPECT_EQ(board.bus().Latched(kSbsr) >> 27, dMegabytes / 128);
        const uint32_t dBank = board.memory().bank0Size();
        EXPECT_GE(dBank, ((dMegabytes - 64) << 20) - kPage);
        EXPECT_EQ(fw::wGetBankMegabytes(0), (dBank >> 20) + 64);
        // The last page of the bank is there to be had (the page map keeps
        // whole words of eight pages).
        const uint32_t dPages = dBank / (8 * kPage) * 8 - 88 * 8;
        fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
        ASSERT_EQ(fw::bAllocDataPages(0, dPages, &d), fw::STATUS_OK);
        static_cast<uint8_t*>(fw::pBufferHandleToPointer(d))[dPages * kPage - 1] = 1;
        EXPECT_EQ(fw::bAllocDataPages(0, 1, &d), fw::STATUS_NO_PAGES);
    }
    EXPECT_FALSE(sim::MemoryWindows::fSdramSizeFits(384u << 20));
    EXPECT_FALSE(sim::MemoryWindows::fSdramSizeFits(64u << 20));
    EXPECT_FALSE(sim::MemoryWindows::fSdramSizeFits(2048u << 20));
}

TEST_F(BufferPagesTest, PreservationPatternTellsAWarmRestart) {
    struct Case {
        const char* pszWhat;
        bool fClearOnReset;
        bool fMemoryLost;
        uint8_t fIntact;
    };
    const Case cases[] = {
        {"restart with memory kept", false, false, fw::TRUE},
        {"controller reset", true, false, fw::FALSE},
        {"memory lost", false, true, fw::FALSE},
    };
    for (const Case& c : cases) {
        Init();
        fw::WritePreservationPattern();
        if (c.fClearOnReset) {
            fw::ClearPreservationPattern();
            EXPECT_EQ(fw::fGetBankOptionFlag(0), fw::FALSE);
        }
        if (c.fMemoryLost) std::memset(board.memory().bank0(), 0, board.memory().bank0Size());
        Init();
        EXPECT_EQ(fw::fGetBankOptionFlag(0), c.fIntact) << c.pszWhat;
        EXPECT_EQ(fw::fGetBankOptionFlag(1), fw::FALSE) << c.pszWhat;
    }
    // One word changed anywhere in the 64 blocks is enough.
    fw::WritePreservationPattern();
    uint32_t* pd = reinterpret_cast<uint32_t*>(fw::dGetPreservationPatternArea());
    pd[63 * 16 + 15] ^= 1;
    Init();
    EXPECT_EQ(fw::fGetBankOptionFlag(0), fw::FALSE);
}

}  // namespace
