// A member of a redundant array stops answering (no status, no sense:
// silence).  A host read that touches it is served from the other members
// once the drive's command has run out its time, not after a reset of the
// drive and a second time-out; a read that does not touch it is not held
// at all.  What the host wrote reads back.
#include "host_road.h"

namespace {

using namespace roadtest;

// The drive-side time-out of a command to a SAS drive with few commands
// outstanding, and what the answer may take beyond it.
constexpr uint64_t kDriveTimeoutNs = 15'000'000'000ull;
constexpr uint64_t kGraceNs = 2'000'000'000ull;

struct SilentCase {
    const char* pszName;
    ArraySpec array;
};
void PrintTo(const SilentCase& c, std::ostream* os) { *os << c.pszName; }

class SilentMemberRead : public HostRoad, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(SilentMemberRead, IsServedFromRedundancyWithinOneTimeOut) {
    ArraySpec a = GetParam().array;
    a.lBlocks = 16 * RowDataBlocks(a);
    ASSERT_NO_FATAL_FAILURE(Boot(a));
    for (uint64_t row = 0; row < 16; ++row) {
        ASSERT_NO_FATAL_FAILURE(Write(row * RowDataBlocks(a), static_cast<uint32_t>(RowDataBlocks(a)), uint32_t(row)));
    }
    Settle();
    // The member holding the first data block of row 3 goes silent.
    const uint64_t lba = 3 * RowDataBlocks(a) + 5;
    const unsigned silent = SlotOfMember(DataPlace(lba).member);
    chassis->DriveAt(silent)->SetNoResponse(true);
    const uint64_t sent = board->clock().Now();
    const sim::FcpResult r = road->Send(sim::FcpCommand::To(0, Cdb(fw::SCSI_READ10, lba, 8), {}, 8 * kBlock),
                                        3 * kDriveTimeoutNs);
    const uint64_t took = board->clock().Now() - sent;
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "never answered";
    EXPECT_EQ(r.status, 0) << SenseText(r);
    EXPECT_LE(took, kDriveTimeoutNs + kGraceNs) << "the read waited " << double(took) * 1e-9 << " s";
    ASSERT_EQ(r.dataIn.size(), 8 * kBlock);
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_TRUE(std::equal(r.dataIn.begin() + i * kBlock, r.dataIn.begin() + (i + 1) * kBlock, Expected(lba + i).begin()))
            << "block " << lba + i;
    }
    // Everything reads back, the silent member's blocks from the others.
    for (uint64_t row = 0; row < 16; ++row) ASSERT_NO_FATAL_FAILURE(ExpectRead(row * RowDataBlocks(a), 16));
}

const SilentCase kCases[] = {
    {"Raid5", {"Raid5", fw::RAID_LEVEL_5, 4, 16}},
    {"Raid6", {"Raid6", fw::RAID_LEVEL_6, 5, 16}},
    {"Raid10", {"Raid10", fw::RAID_LEVEL_10, 4, 16}},
};
INSTANTIATE_TEST_SUITE_P(Levels, SilentMemberRead, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
