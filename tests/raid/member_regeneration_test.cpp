// The regeneration of a member's chunk on memory-backed drives, as a host
// command that met a read error asks for it before it is done again: the
// chunk is rebuilt from the rest of its row and written back, the command
// goes on, and event 113 names the member's drive and the blocks, except
// for a write still marked as lying ahead of a rebuild's front.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "config/config_image.h"
#include "config/config_state.h"
#include "eventlog/event_log.h"
#include "harness/dispatch_board.h"
#include "raid/stripe_init_steps.h"
#include "raid_road.h"

namespace {

using raidtest::kBlock;

constexpr uint8_t kBlockReallocated = 113;

class MemberRegenerationTest : public raidtest::RaidRoadTest {
protected:
    void SetUp() override {
        RaidRoadTest::SetUp();
        image = std::make_unique<fw::CONFIG_IMAGE>();
        fw::SetConfigImagePointer(image.get());
    }
    void TearDown() override { fw::SetConfigImagePointer(nullptr); }

    // A RAID 5 of four members with rows 0 to 3 written; each member has a
    // name of its own.
    void MakeWrittenRank() {
        MakeRank({fw::RAID_LEVEL_5, 4, 16});
        for (uint8_t m = 0; m < 4; ++m) {
            for (uint8_t i = 0; i < 8; ++i) image->asRank[0].aabMemberWwn[m][i] = uint8_t(0x50 + 16 * m + i);
        }
        WipeDrives(256);
        ASSERT_NO_FATAL_FAILURE(Write(0, 4 * 48, 1));
    }
    void Scribble(unsigned member, uint64_t block, uint32_t blocks, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> v(blocks * kBlock);
        for (uint8_t& b : v) b = uint8_t(rng());
        chassis.DriveAt(member + 1)->WriteBlocks(block, blocks, v.data());
    }
    // A host command that met a read error on the member: the on-demand
    // command regenerates its chunk, and the command waits until it is
    // done.
    void Regenerate(fw::KERNEL_ENTRY* ps, uint8_t bMember) {
        fw::SetFlag(ps, fw::KE_FLAG_REGENERATE);
        ps->bMember = bMember;
        uint8_t bResult = 0;
        ASSERT_EQ(b.board().RunOnCpu([&] { bResult = fw::bInitStripesOnDemand(ps); }), sim::StopKind::Finished);
        ASSERT_EQ(bResult, fw::STATUS_OK);
        ASSERT_TRUE(fw::HasFlag(ps, fw::KE_FLAG_STRIPE_INIT_WAIT));
        RunUntil([&] { return !fw::HasFlag(ps, fw::KE_FLAG_STRIPE_INIT_WAIT); });
        EXPECT_FALSE(fw::HasFlag(ps, fw::KE_FLAG_REGENERATE));
        EXPECT_EQ(ps->bMember, fw::NO_MEMBER);
    }
    std::unique_ptr<fw::CONFIG_IMAGE> image;
};

TEST_F(MemberRegenerationTest, TheChunkIsRebuiltAndReportedUnlessTheWriteLiesAheadOfARebuild) {
    ASSERT_NO_FATAL_FAILURE(MakeWrittenRank());
    // Row 1: parity on member 1; the host's blocks 64..71 lie on member 2.
    const std::vector<uint8_t> held = DriveBlocks(3, 16, 16);
    Scribble(2, 16, 16, 7);
    const uint32_t before = harness::CountEvents(kBlockReallocated);
    fw::KERNEL_ENTRY* r = HostCommand(false, 64, 8);
    ASSERT_NO_FATAL_FAILURE(Regenerate(r, 2));
    EXPECT_EQ(DriveBlocks(3, 16, 16), held);
    ASSERT_EQ(harness::CountEvents(kBlockReallocated), before + 1);
    const fw::EVENT_LOG_ENTRY* e = harness::NewestEvent(kBlockReallocated);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::memcmp(e->abArgs, image->asRank[0].aabMemberWwn[2], 8), 0);
    EXPECT_EQ(e->abArgs[8], TargetOfSlot(3));
    EXPECT_EQ(fw::dGetBe32(e->abArgs + 9), 16u) << "the member block the chunk starts at";
    EXPECT_EQ(e->abArgs[13], 15) << "its blocks, less one";
    FreeHost(r);

    // A write ahead of a rebuild's front reports nothing; its chunk is
    // rebuilt all the same.
    Scribble(2, 16, 16, 8);
    fw::KERNEL_ENTRY* w = HostCommand(true, 64, 8);
    fw::SetFlag(w, fw::KE_FLAG_AHEAD_OF_REBUILD);
    ASSERT_NO_FATAL_FAILURE(Regenerate(w, 2));
    EXPECT_EQ(DriveBlocks(3, 16, 16), held);
    EXPECT_EQ(harness::CountEvents(kBlockReallocated), before + 1);
    FreeHost(w);
    ExpectPoolsReturned();
}

}  // namespace
