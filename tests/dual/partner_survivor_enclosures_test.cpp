// The survivor of a partner's loss looks at its enclosures afresh: the
// takeover drops where its last enclosure scan stood, and the scans after
// the takeover find every enclosure again.
#include <gtest/gtest.h>

#include "dual_events.h"
#include "enclosure/enclosure_discovery.h"
#include "config/config_phase.h"
#include "enclosure/drive_management.h"
#include "enclosure/enclosure_records.h"
#include "harness/dual_pair.h"

namespace {

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint8_t kEventPartnerTakenOver = 92;

sim::Chassis::Options WithExpansion() {
    sim::Chassis::Options o;
    o.expansions = 2;
    o.expansionDrives = 2;
    return o;
}

class PartnerSurvivorEnclosures : public ::testing::Test, protected dual::Pair {
protected:
    PartnerSurvivorEnclosures() : dual::Pair(WithExpansion()) {}
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }
};

TEST_F(PartnerSurvivorEnclosures, TheTakeoverStartsTheEnclosureScanOver) {
    // Controller 0's last scan ended on the second expansion's enclosure
    // processor.
    ASSERT_NE(fw::bGetCurrentDriveInService(), 0) << Consoles();
    ASSERT_EQ(fw::pGetEnclosureTable()->dTotalNoOfEnclosures, 3u);
    b->board.CutPower();
    ASSERT_TRUE(RunUntil([] { return dual::EventsOfA(kEventPartnerTakenOver) != 0; }, 1000 * kMs)) << Consoles();
    EXPECT_EQ(fw::bGetCurrentDriveInService(), 0);
    EXPECT_EQ(fw::bGetSesEnclosureNumber(), 0);
    // The drive side found again, the survivor's scans list every enclosure.
    ASSERT_TRUE(RunUntil(
        [] {
            return !Rescanning(fw::fIsDriveRescanRequested, fw::fIsDriveRescanInProgress) &&
                   fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE &&
                   fw::pGetEnclosureTable()->dTotalNoOfEnclosures == 3;
        },
        60'000 * kMs))
        << Consoles();
    EXPECT_EQ(fw::bGetSesLevel(), fw::SES_LEVEL_FULL);
}

}  // namespace
