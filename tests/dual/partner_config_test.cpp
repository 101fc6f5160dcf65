// One configuration for two controllers: an edit committed on either
// reaches the other with its image, edits made at once on both are taken
// one after the other, and a controller that joins a running one takes the
// running one's configuration.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../system/road_config.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/config_commit.h"
#include "executive/kernel_queue.h"
#include "harness/dual_pair.h"
#include "hw/addresses.h"

namespace fw_b {
struct CONFIG_IMAGE;
CONFIG_IMAGE* pGetConfigImage();
CONFIG_IMAGE* pGetScratchConfigImage();
void SetConfigPhase(uint8_t b);
void SetConfigPhaseStep(uint8_t b);
void SetConfigRequester(uint8_t b);
void SetConfigCompletionCallback(void (*pfn)(uint8_t));
void RequestConfigurationService();
uint8_t RequestConfigUpdate(uint8_t bRequester);
uint8_t bGetConfigPhase();
uint8_t fIsConfigCommitInProgress();
uint8_t fIsConfigUpdatePending();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;

// The controller-side calls an edit makes, of one firmware or the other.
struct Editor {
    sim::Board* board;
    void* (*live)();
    void* (*scratch)();
    void (*setPhase)(uint8_t);
    void (*setStep)(uint8_t);
    void (*setRequester)(uint8_t);
    void (*setCallback)(void (*)(uint8_t));
    void (*request)();
    uint8_t (*commit)(uint8_t);
    uint8_t (*phase)();
    uint8_t (*inCommit)();
    uint8_t (*pending)();
    uint8_t* opened;
};

uint8_t g_bOpenedA = 0, g_bOpenedB = 0;

Editor EditorOf(dual::Side& side, bool a) {
    if (a) {
        return {&side.board,
                [] { return static_cast<void*>(fw::pGetConfigImage()); },
                [] { return static_cast<void*>(fw::pGetScratchConfigImage()); },
                fw::SetConfigPhase, fw::SetConfigPhaseStep, fw::SetConfigRequester,
                [](void (*p)(uint8_t)) { fw::SetConfigCompletionCallback(p); }, fw::RequestConfigurationService,
                fw::RequestConfigUpdate, fw::bGetConfigPhase, fw::fIsConfigCommitInProgress,
                fw::fIsConfigUpdatePending, &g_bOpenedA};
    }
    return {&side.board,
            [] { return static_cast<void*>(fw_b::pGetConfigImage()); },
            [] { return static_cast<void*>(fw_b::pGetScratchConfigImage()); },
            fw_b::SetConfigPhase, fw_b::SetConfigPhaseStep, fw_b::SetConfigRequester,
            fw_b::SetConfigCompletionCallback, fw_b::RequestConfigurationService,
            fw_b::RequestConfigUpdate, fw_b::bGetConfigPhase, fw_b::fIsConfigCommitInProgress,
            fw_b::fIsConfigUpdatePending, &g_bOpenedB};
}

// A controller's image as its own processor sees it, read through its
// board's view of its memory (whichever board holds the processor window).
const fw::CONFIG_IMAGE* ImageOf(const Editor& e, void* (*which)()) {
    const uint32_t address = e.board->memory().ProcessorAddressOf(which());
    return reinterpret_cast<const fw::CONFIG_IMAGE*>(e.board->memory().Translate(address, fw::CONFIG_IMAGE_SIZE));
}
fw::CONFIG_IMAGE* MutableImageOf(const Editor& e, void* (*which)()) {
    return const_cast<fw::CONFIG_IMAGE*>(ImageOf(e, which));
}
std::string NameOf(const Editor& e) { return ImageOf(e, e.live)->sHeader.acConfigName; }
uint32_t GenerationOf(const Editor& e) { return ImageOf(e, e.live)->sHeader.dGeneration; }

// No edit or commit runs or waits.
bool Idle(const Editor& e) {
    return e.phase() == fw::CONFIG_PHASE_IDLE && e.inCommit() != fw::TRUE && e.pending() != fw::TRUE;
}

class PartnerConfig : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        roadtest::ArraySpec spec{"SHARED", fw::RAID_LEVEL_5, 4, 64};
        std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, spec, 0x200000A55AA00001ull);
        copytest::Seal(ab);
        for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
        ASSERT_TRUE(Boot()) << Consoles();
        g_bOpenedA = g_bOpenedB = 0;
        editA = EditorOf(*a, true);
        editB = EditorOf(*b, false);
        // Whatever the start of day committed has ended.
        ASSERT_TRUE(RunUntil([&] { return Idle(editA) && Idle(editB); }, 20'000 * kMs))
            << Consoles() << int(fw::bGetConfigPhase()) << " " << int(fw::bGetConfigPhaseStep());
        ASSERT_EQ(NameOf(editA), NameOf(editB));
    }
    // Opens an edit as the snapshot code does; its completion says when the
    // scratch image is ours.
    static void Open(const Editor& e) {
        e.setPhase(fw::CONFIG_PHASE_EDIT);
        e.setStep(0);
        e.setRequester(fw::REQUESTER_SNAPSHOT);
        Expect(e);
        e.request();
    }
    // The completion is called once, for the opening or for the commit.
    static void Expect(const Editor& e) {
        *e.opened = 0;
        void (*pfn)(uint8_t) = [](uint8_t b) { g_bOpenedA = b; };
        if (e.opened == &g_bOpenedB) pfn = [](uint8_t b) { g_bOpenedB = b; };
        e.setCallback(pfn);
    }
    // In the opened edit: a new name, and the commit asked for.
    static void Rename(const Editor& e, const char* name) {
        fw::CONFIG_IMAGE* ps = MutableImageOf(e, e.scratch);
        std::memset(ps->sHeader.acConfigName, 0, sizeof ps->sHeader.acConfigName);
        std::strcpy(ps->sHeader.acConfigName, name);
        Expect(e);
        e.commit(fw::REQUESTER_SNAPSHOT);
    }
    bool Edit(const Editor& e, const char* name) {
        Open(e);
        if (!RunUntil([&] { return *e.opened == fw::STATUS_OK; }, 5000 * kMs)) return false;
        Rename(e, name);
        return RunUntil([&] { return *e.opened == fw::STATUS_OK && Idle(e); }, 20'000 * kMs);
    }

    Editor editA{}, editB{};
};

TEST_F(PartnerConfig, AnEditCommittedOnEitherControllerReachesTheOther) {
    ASSERT_TRUE(Edit(editA, "MADE ON A")) << Consoles();
    ASSERT_TRUE(RunUntil([&] { return NameOf(editB) == "MADE ON A"; }, 5000 * kMs)) << Consoles();
    EXPECT_EQ(GenerationOf(editB), GenerationOf(editA));
    EXPECT_EQ(fw::fIsConfigImageValid(ImageOf(editB, editB.live)), fw::TRUE);

    // The slave's edit is newer than the master's image: the master takes it.
    ASSERT_TRUE(Edit(editB, "MADE ON B")) << Consoles();
    ASSERT_TRUE(RunUntil([&] { return NameOf(editA) == "MADE ON B"; }, 5000 * kMs)) << Consoles();
    EXPECT_EQ(GenerationOf(editA), GenerationOf(editB));
}

// Both open an edit at once: the write grant lets one commit, then the
// other, which starts from the first one's image; both end on the second.
TEST_F(PartnerConfig, TwoEditsAtOnceAreTakenOneAfterTheOther) {
    Open(editA);
    Open(editB);
    ASSERT_TRUE(RunUntil([&] { return g_bOpenedA == fw::STATUS_OK || g_bOpenedB == fw::STATUS_OK; }, 5000 * kMs))
        << Consoles();
    // Only one holds the grant.
    EXPECT_FALSE(g_bOpenedA == fw::STATUS_OK && g_bOpenedB == fw::STATUS_OK);
    const bool aFirst = g_bOpenedA == fw::STATUS_OK;
    const Editor& first = aFirst ? editA : editB;
    const Editor& second = aFirst ? editB : editA;
    Rename(first, "FIRST");
    ASSERT_TRUE(RunUntil([&] { return *second.opened == fw::STATUS_OK; }, 20'000 * kMs)) << Consoles();
    // The second's edit starts from the first one's image.
    EXPECT_STREQ(ImageOf(second, second.scratch)->sHeader.acConfigName, "FIRST");
    Rename(second, "SECOND");
    ASSERT_TRUE(RunUntil([&] { return Idle(editA) && Idle(editB) && NameOf(editA) == "SECOND" &&
                                      NameOf(editB) == "SECOND"; },
                         20'000 * kMs))
        << Consoles();
    EXPECT_EQ(GenerationOf(editA), GenerationOf(editB));
}

// A controller started beside a running one takes the running one's live
// image, not the copies on the drives.
TEST(PartnerConfigJoin, TheJoinerLoadsTheRunningControllersImage) {
    sim::Clock clock;
    sim::Chassis chassis;
    roadtest::ArraySpec spec{"SHARED", fw::RAID_LEVEL_5, 4, 64};
    std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, spec, 0x200000A55AA00001ull);
    copytest::Seal(ab);
    for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
    dual::Side a(&clock, chassis, true);
    const Editor eA = EditorOf(a, true);
    ASSERT_TRUE(sim::RunSideBySide({&a.board}, [&] { return a.Booted() && Idle(eA); },
                                   dual::kBootLimitNs))
        << a.board.ConsoleText();
    // The running one's image moves on without reaching the drives.
    a.board.memory().HoldProcessorWindow();
    fw::CONFIG_IMAGE* psLive = fw::pGetConfigImage();
    std::memset(psLive->sHeader.acConfigName, 0, sizeof psLive->sHeader.acConfigName);
    std::strcpy(psLive->sHeader.acConfigName, "RUNNING");
    fw::SealConfigImage(psLive, fw::FALSE);
    dual::Side b(&clock, chassis, false);
    sim::Board::ConnectPartners(a.board, b.board);
    // Looked at as soon as the load has ended, before anything the running
    // one commits later could bring the image over.
    ASSERT_TRUE(sim::RunSideBySide({&a.board, &b.board}, [&] {
        const std::string s = b.board.ConsoleText();
        const size_t at = s.find("Loading Configuration");
        return at != std::string::npos && s.find("\r\n", at) != std::string::npos;
    }, dual::kBootLimitNs)) << b.board.ConsoleText();
    EXPECT_NE(b.board.ConsoleText().find("Partner Controller.........Initialized\r\n"), std::string::npos);
    const Editor eB = EditorOf(b, false);
    EXPECT_EQ(NameOf(eB), "RUNNING");
    EXPECT_EQ(fw::fIsConfigImageValid(ImageOf(eB, eB.live)), fw::TRUE);
}

}  // namespace
