// Two controllers: the expansion's messages from one reach the other as
// its own expansion code reads them (87 the recorded row, 88 the end).
#include <gtest/gtest.h>

#include <vector>

#include "../system/road_config.h"
#include "config/config_state.h"
#include "harness/dual_pair.h"
#include "partner/partner_link.h"
#include "raid/expansion.h"

namespace fw_b {
uint8_t bGetNvramExpansionFlag();
void SetNvramExpansionFlag(uint8_t f);
}  // namespace fw_b

namespace {

class PartnerExpansion : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        roadtest::ArraySpec spec{"R5", fw::RAID_LEVEL_5, 4, 16};
        spec.lBlocks = 48 * 16 * 3;
        const std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, spec, 0x200000A55AA00001ull);
        for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
        ASSERT_TRUE(Boot()) << Consoles();
    }
    bool Delivered() {
        return RunUntil([] { return Quiet(fw::sGetPartnerMessageCounts()) && Quiet(fw_b::sGetPartnerMessageCounts()); },
                        5'000'000'000ull);
    }
};

TEST_F(PartnerExpansion, TheRowAndTheEndReachThePartner) {
    // A row of an array that is not expanding there: read, judged, left.
    uint8_t ab[fw::EXPANSION_MESSAGE_BYTES] = {fw::EXPANSION_MESSAGE_PROGRESS, fw::TRUE, fw::TRUE, 7};
    ab[4] = 0x30;
    b->board.ClearConsoleText();
    fw::SendExpansionMessage(ab, sizeof ab);
    ASSERT_TRUE(Delivered()) << Consoles();
    EXPECT_NE(b->board.ConsoleText().find("Expansion message 87 ignored: R:07"), std::string::npos) << Consoles();
    EXPECT_NE(fw_b::bGetNvramExpansionFlag(), fw::TRUE);
    // The end clears what the partner recorded.
    fw_b::SetNvramExpansionFlag(fw::TRUE);
    const uint8_t abEnd[fw::EXPANSION_MESSAGE_BYTES] = {fw::EXPANSION_MESSAGE_COMPLETE};
    fw::SendExpansionMessage(abEnd, sizeof abEnd);
    ASSERT_TRUE(Delivered()) << Consoles();
    EXPECT_EQ(fw_b::bGetNvramExpansionFlag(), fw::FALSE);
}

}  // namespace
