// A member failed on the operator's word while hosts write: the request goes
// the failed-drive task's way, so the member leaves its array as one whose
// commands failed would (state 17, events 10 and 27, committed to the
// drives and found again after a restart), and every write answered GOOD
// reads back.  An array that cannot lose the member keeps it.
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_rescan.h"
#include "harness/dispatch_board.h"
#include "host_road.h"

namespace {

using namespace roadtest;

constexpr uint8_t kDriveFailed = 10;
constexpr uint8_t kArrayCritical = 27;
constexpr uint8_t kMemberStateFailed = 17;
constexpr uint64_t kRows = 24;

struct FailCase {
    const char* pszName;
    ArraySpec array;
    uint8_t bMember;
};
void PrintTo(const FailCase& c, std::ostream* os) { *os << c.pszName; }

class DriveFailRequest : public RestartRoad, public ::testing::WithParamInterface<FailCase> {
protected:
    void SettleConfiguration() {
        const auto fIdle = [] {
            return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE && fw::fIsConfigUpdatePending() != fw::TRUE &&
                   fw::fIsConfigCommitInProgress() != fw::TRUE && fw::fIsDriveRescanInProgress() != fw::TRUE &&
                   fw::fIsDriveRescanRequested() != fw::TRUE;
        };
        board->RunUntil(fIdle, kSettleLimitNs);
        ASSERT_TRUE(fIdle()) << "the configuration never came to rest";
    }
    void ExpectMemberOut(uint8_t bMember) {
        for (uint8_t m = 0; m < spec.bDrives; ++m) {
            EXPECT_EQ(fw::bGetRankMemberFlags(0, m) != fw::MEMBER_FLAGS_IN_SERVICE, m == bMember) << "member " << +m;
        }
        EXPECT_EQ(fw::pGetConfigImage()->asRank[0].abMemberState[bMember], kMemberStateFailed);
        EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED);
    }
    // Writes under load; after 60 answers the member is failed on request.
    void FailUnderLoad(uint8_t bMember) {
        bool fAsked = false;
        const auto arm = [&](uint32_t answered) {
            if (fAsked || answered < 60) return;
            fAsked = true;
            ASSERT_EQ(fw::bStartMemberDriveCommand(0, bMember), fw::STATUS_OK);
        };
        ASSERT_NO_FATAL_FAILURE(WriteLoad(RowBlocks() * kRows, 200, 23, arm, [] { return false; }));
        ASSERT_TRUE(fAsked);
    }
};

TEST_P(DriveFailRequest, TheMemberLeavesItsArrayAndNothingAnsweredIsLost) {
    const FailCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Boot(c.array));
    const uint32_t criticalBefore = harness::CountEvents(kArrayCritical);
    const uint32_t failedBefore = harness::CountEvents(kDriveFailed);
    ASSERT_NO_FATAL_FAILURE(FailUnderLoad(c.bMember));
    Settle();
    EXPECT_EQ(harness::CountEvents(kArrayCritical), criticalBefore + 1);
    EXPECT_EQ(harness::CountEvents(kDriveFailed), failedBefore + 1);
    ExpectMemberOut(c.bMember);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, uint32_t(RowBlocks() * kRows)));
    ASSERT_NO_FATAL_FAILURE(SettleConfiguration());
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    ExpectMemberOut(c.bMember);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, uint32_t(RowBlocks() * kRows)));
}

const FailCase kCases[] = {
    {"Raid10", {"Raid10", fw::RAID_LEVEL_10, 4, 16}, 1},
    {"Raid5", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, 2},
    {"Raid6", {"Raid6", fw::RAID_LEVEL_6, 5, 16}, 0},
};
INSTANTIATE_TEST_SUITE_P(Levels, DriveFailRequest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

// A degraded RAID 5 would lose its data with a second member gone: the
// request leaves it as it is, and the console says why.
TEST_F(HostRoad, ADegradedRaid5KeepsAMemberAskedToFail) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16}));
    for (uint32_t i = 0; i < 8; ++i) Write(i * 61, 1 + i % 7, 40 + i);
    ASSERT_EQ(fw::bStartMemberDriveCommand(0, 3), fw::STATUS_OK);
    Settle();
    ASSERT_NE(fw::bGetRankMemberFlags(0, 3), fw::MEMBER_FLAGS_IN_SERVICE);
    const uint32_t criticalBefore = harness::CountEvents(kArrayCritical);
    board->ClearConsoleText();
    ASSERT_EQ(fw::bStartMemberDriveCommand(0, 1), fw::STATUS_OK);
    Settle();
    board->RunFor(100'000'000);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_IN_SERVICE);
    EXPECT_EQ(fw::pGetConfigImage()->asRank[0].abMemberState[1], 0);
    EXPECT_EQ(harness::CountEvents(kArrayCritical), criticalBefore);
    EXPECT_NE(board->ConsoleText().find("Array 0 cannot lose drive 1: it stays in the array"), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, 512));
    // A member that is not there (or an array that is not) is refused at once.
    EXPECT_EQ(fw::bStartMemberDriveCommand(0, 3), 0);
    EXPECT_EQ(fw::bStartMemberDriveCommand(5, 0), 0);
}

}  // namespace
