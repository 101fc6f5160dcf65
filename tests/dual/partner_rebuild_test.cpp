// A rebuild with two controllers: the master runs it, and the other
// controller follows it through the partner link alone: the start fills its
// record, each retired region moves its position, the end makes the spare
// the member in its configuration too.  What it keeps in its own NVRAM is
// what it would take over from.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "../system/road_config.h"
#include "config/config_image.h"
#include "config/rank_table.h"
#include "harness/dual_pair.h"
#include "raid/rebuild.h"
#include "sim/fc_host.h"

namespace fw_b {
struct CONFIG_IMAGE;
CONFIG_IMAGE* pGetConfigImage();
uint8_t bGetRankMemberFlags(uint8_t bRank, uint8_t bMember);
uint8_t bGetRankOperationState(uint8_t bRank);
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;
constexpr unsigned kMembers = 4;
constexpr unsigned kPulled = 2;   // member 1's slot
constexpr unsigned kSpareSlot = kMembers + 1;
constexpr uint16_t kChunk = 16;
constexpr uint64_t kBlocks = 3 * 4096;   // 4096 blocks a member
constexpr uint32_t kRebuildSelector = 0x300;
constexpr uint32_t kRebuildPending = 0x301;
constexpr uint32_t kRebuildCopy1 = 0x302;
constexpr uint32_t kRebuildCopy2 = 0x342;

// The record as a controller keeps it in its NVRAM: the current copy.
struct Record {
    uint8_t fPending;
    uint8_t bRank, bMember;
    uint32_t dPosition, dEnd;
    std::vector<uint8_t> wwn;
};
Record RecordIn(sim::Board& board) {
    const uint8_t* pb = board.nvram().Data();
    const uint8_t* pc = pb + (pb[kRebuildSelector] == fw::TRUE ? kRebuildCopy1 : kRebuildCopy2);
    return Record{pb[kRebuildPending], pc[0], pc[1], fw::dGetBe32(pc + 45), fw::dGetBe32(pc + 49),
                  std::vector<uint8_t>(pc + 37, pc + 45)};
}

class PartnerRebuild : public ::testing::Test, protected dual::Pair {
protected:
    // The array comes up with member 1's drive pulled.
    void SetUp() override {
        roadtest::ArraySpec spec{"FOLLOW", fw::RAID_LEVEL_5, kMembers, kChunk, 0, true, kBlocks};
        std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, spec, 0x200000A55AA00001ull);
        fw::CONFIG_IMAGE* ps = copytest::Image(ab);
        ps->sHeader.fAutoRebuild = fw::TRUE;
        ps->sHeader.wSpareCount = 1;
        spare = roadtest::DriveWwn(chassis, kSpareSlot);
        std::memcpy(ps->asSpare[0].abWwn, spare.data(), 8);
        for (unsigned i = 0; i < fw::MAX_SPARES; ++i) ps->asSpare[i].bDedicatedRank = 0xFF;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= kSpareSlot; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
        chassis.Pull(kPulled);
        ASSERT_TRUE(Boot()) << Consoles();
    }
    static bool MemberIs(const fw::CONFIG_IMAGE* ps, const std::array<uint8_t, 8>& w) {
        return std::memcmp(ps->asRank[0].aabMemberWwn[kPulled - 1], w.data(), 8) == 0;
    }
    std::array<uint8_t, 8> spare{};
};

// The slave's record starts with the master's start message (rank, member,
// end, the spare's WWN), its position moves with the progress messages and
// never passes the master's, and the end clears it and commits the spare
// as the member there as well.
TEST_F(PartnerRebuild, TheOtherControllerFollowsTheRebuildThroughTheLink) {
    bool fFollowed = false, fMoved = false, fAhead = false;
    uint32_t dLastSlave = 0;
    ASSERT_TRUE(RunUntil(
        [&] {
            const Record m = RecordIn(a->board), s = RecordIn(b->board);
            if (s.fPending == fw::TRUE) {
                fFollowed = fFollowed || (s.bRank == 0 && s.bMember == kPulled - 1 && s.dEnd == kBlocks / 3 - 1 &&
                                          std::equal(s.wwn.begin(), s.wwn.end(), spare.begin()));
                if (s.dPosition != 0 && s.dPosition != dLastSlave) fMoved = true;
                if (m.fPending == fw::TRUE && s.dPosition > m.dPosition) fAhead = true;
                dLastSlave = s.dPosition;
            }
            return fFollowed && m.fPending != fw::TRUE && s.fPending != fw::TRUE &&
                   fw::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL &&
                   fw_b::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL;
        },
        60'000 * kMs))
        << Consoles();
    EXPECT_TRUE(fMoved);
    EXPECT_FALSE(fAhead);
    const Record s = RecordIn(b->board);
    EXPECT_EQ(s.dPosition, s.dEnd + 1);
    EXPECT_EQ(fw_b::bGetRankMemberFlags(0, kPulled - 1), fw::MEMBER_FLAGS_IN_SERVICE);
    EXPECT_TRUE(MemberIs(reinterpret_cast<const fw::CONFIG_IMAGE*>(fw_b::pGetConfigImage()), spare));
    EXPECT_TRUE(MemberIs(fw::pGetConfigImage(), spare));
}

}  // namespace
