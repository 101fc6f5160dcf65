// A start after a power cut finds what it needs whatever the cache kept
// over the cut holds.  Here the cache keeps acknowledged writes spread over
// the whole data bank, no megabyte free in one piece between them: the
// room the chips' firmware images were once staged in is gone.  The start
// must still come up, write the kept writes out and serve every
// acknowledged write back.
#include <optional>

#include "harness/cache_spread.h"
#include "host_road.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"

namespace {

using namespace roadtest;

constexpr uint32_t kSpacingPages = 128;   // between two kept writes
constexpr uint32_t kBufferPages = 16;     // more than the cache takes for a write of 8 blocks
constexpr uint32_t kMegabytePages = 256;
constexpr uint64_t kSlowDriveNs = 5'000'000'000ull;

class KeptCacheStart : public RestartRoad {
protected:
    // With this much memory the start of day takes its tables whole, as
    // large as ever whatever the cache keeps: what is free for the cache
    // after one start is what the next start finds.
    KeptCacheStart() { boardConfig.sdramBytes = 512u << 20; }

    // Writes of 1 to 8 blocks answered GOOD from the cache (the drives are
    // too slow to have any of them yet), one every kSpacingPages pages of
    // what the start left free.
    void SpreadKeptWrites() {
        spread.emplace(&fw::bAllocDataPages, &fw::wFreeDataPages, &fw::psGetNvramQueueEntry,
                       board->memory().bank0Address(), board->memory().bank0Size());
        freeAfterStart = spread->FreePages();
        for (unsigned s = 1; s <= spec.bDrives; ++s) chassis->DriveAt(s)->SetExtraLatencyNs(kSlowDriveNs);
        std::mt19937 rng(67);
        const uint64_t rows = spec.lBlocks / RowBlocks();
        uint32_t i = 0;
        for (uint32_t target : spread->Targets(freeAfterStart, kSpacingPages, kBufferPages)) {
            spread->MoveTakesTo(target);
            const uint32_t blocks = 1 + rng() % 8;
            const uint64_t lba = (rng() % rows) * RowBlocks() + rng() % (RowBlocks() - blocks);
            ASSERT_NO_FATAL_FAILURE(Write(lba, blocks, 1000 + i++));
        }
    }

    // Every acknowledged write reads back, in reads of up to 64 blocks.
    void ExpectEveryWriteReadsBack() {
        for (auto it = reference.begin(); it != reference.end();) {
            const uint64_t lba = it->first;
            uint32_t blocks = 0;
            for (; it != reference.end() && it->first == lba + blocks && blocks < 64; ++it) ++blocks;
            ASSERT_NO_FATAL_FAILURE(ExpectRead(lba, blocks));
        }
    }

    std::optional<harness::CacheSpread<fw::BUFFER_HANDLE>> spread;
    std::vector<bool> freeAfterStart;
};

TEST_F(KeptCacheStart, ARaid6WithItsCacheSpreadOverTheBankStartsWritesItOutAndServesItBack) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid6", fw::RAID_LEVEL_6, 5, 16}));
    ASSERT_NO_FATAL_FAILURE(SpreadKeptWrites());
    ASSERT_LT(spread->LongestRunBesideKeptData(freeAfterStart), kMegabytePages);
    const uint16_t cached = fw::wCountCachedOwnExtents(nullptr);
    ASSERT_GT(cached, 400u);
    const uint16_t flushes = EventCount(99);

    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    EXPECT_EQ(EventCount(99), flushes + 1);
    Settle();
    EXPECT_EQ(EventCount(101), 0u);
    EXPECT_EQ(ValidJournalSlots(), 0u);
    ExpectEveryWriteReadsBack();
    ExpectDrivesMatchReference();
}

// A table the start cannot do without finds no room: here every free page
// is taken as the start reaches its tables.  Nothing gives pages back
// before the main loop runs, so the start stops there and says why, on the
// console and in the event log, rather than wait for ever.
TEST_F(KeptCacheStart, AStartWithNoRoomForItsTablesStopsAndSaysWhy) {
    board = std::make_unique<sim::Board>(boardConfig);
    board->sasController().AttachChassis(chassis.get());
    board->SetResetEntry(&fw::ControllerEntry);
    board->Boot();
    // The cache is up (and what it kept marked in use); the tables come next.
    ASSERT_EQ(board->RunUntil([&] { return board->ConsoleText().find("Initializing I2C Bus 0") != std::string::npos; },
                              10'000'000'000ull),
              sim::StopKind::Running);
    std::vector<fw::BUFFER_HANDLE> taken;
    for (fw::BUFFER_HANDLE h{}; fw::bAllocDataPages(0, 1, &h) == fw::STATUS_OK;) taken.push_back(h);
    const std::string stopped = "\r\n\r\nStart Stopped: No Run Of 230 Free Buffer Pages, Cache Holds 00 Entries, <1 MB\r\n";
    (void)board->RunUntil([&] { return board->ConsoleText().find(stopped) != std::string::npos; }, 10'000'000'000ull);
    ASSERT_FALSE(taken.empty()) << board->ConsoleText();
    EXPECT_NE(board->ConsoleText().find(stopped), std::string::npos) << board->ConsoleText();
    EXPECT_EQ(EventCount(177), 1u);
    // And nothing more happens.
    (void)board->RunFor(5'000'000'000ull);
    EXPECT_EQ(board->ConsoleText().find("Initializing Battery"), std::string::npos);
}

// The same room serves a chip restarted in service: the drive IOC restarted
// after a fault while the bank holds no two pages free side by side loads
// its image, and the drives come back.
TEST_F(KeptCacheStart, TheDriveIocRestartedWithNoTwoPagesFreeTogetherComesBack) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid6", fw::RAID_LEVEL_6, 5, 16}));
    ASSERT_NO_FATAL_FAILURE(Write(100, 8, 5));
    std::vector<std::pair<fw::BUFFER_HANDLE, uint32_t>> held;
    std::vector<fw::BUFFER_HANDLE> gaps;
    for (fw::BUFFER_HANDLE h{}; fw::bAllocDataPages(0, 31, &h) == fw::STATUS_OK;) {
        held.emplace_back(h, 31);
        if (fw::bAllocDataPages(0, 1, &h) == fw::STATUS_OK) gaps.push_back(h);
    }
    for (fw::BUFFER_HANDLE h{}; fw::bAllocDataPages(0, 1, &h) == fw::STATUS_OK;) held.emplace_back(h, 1);
    for (fw::BUFFER_HANDLE h : gaps) (void)fw::wFreeDataPages(h, 1);

    sim::SasController& ioc = board->sasController();
    const uint32_t loads = ioc.diagnosticLoads();
    const uint8_t devices = fw::pGetSASDriveInfoList()->bEntryCount;
    ioc.EnterFault(0x1234);
    const auto fBack = [&] {
        return ioc.diagnosticLoads() > loads && fw::fIsSASDiscoveryRunning() != fw::TRUE &&
               fw::pGetSASDriveInfoList()->bEntryCount == devices;
    };
    (void)board->RunUntil(fBack, 120'000'000'000ull);
    EXPECT_TRUE(fBack()) << board->ConsoleText();
    for (const auto& [h, pages] : held) (void)fw::wFreeDataPages(h, pages);
    ExpectRead(100, 8);
}

}  // namespace
