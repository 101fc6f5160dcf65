// A drive in a member's slot is the member only while it holds the array's
// configuration.  Between two runs a member's image is replaced by a new
// sparse file of the same size, a blank drive put in the slot while the
// controller was off: the member counts as failed, the array runs degraded
// from the others, and the rebuild puts the member onto the hot spare.
#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "config/config_flags.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/rank_table.h"
#include "enclosure/drive_table.h"
#include "host_road.h"
#include "raid/rebuild.h"

namespace {

using namespace roadtest;

constexpr uint8_t kDriveFailed = 11;
constexpr uint8_t kArrayCritical = 27;

struct BlankCase {
    ArraySpec spec;
    unsigned member;   // the member whose image is replaced
};

void PrintTo(const BlankCase& c, std::ostream* os) { *os << c.spec.pszName; }

class BlankMemberFixture : public RestartRoad {
protected:
    unsigned SpareSlot() const { return spec.bDrives + 1u; }
    std::string Image(unsigned slot) const { return (dir / "drives" / ("slot" + std::to_string(slot) + ".img")).string(); }

    // The road's array with a global hot spare after its members and Auto
    // Rebuild on, written all over while whole.
    void BootAndWrite(const ArraySpec& a) {
        spec = a;
        std::vector<uint8_t> ab = Configuration(a);
        fw::CONFIG_IMAGE* ps = copytest::Image(ab);
        ps->sHeader.fAutoRebuild = fw::TRUE;
        ps->sHeader.wSpareCount = 1;
        const auto w = DriveWwn(*chassis, SpareSlot());
        std::memcpy(ps->asSpare[0].abWwn, w.data(), 8);
        for (unsigned i = 0; i < fw::MAX_SPARES; ++i) ps->asSpare[i].bDedicatedRank = 0xFF;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_NO_FATAL_FAILURE(WriteAll());
    }
    void WriteAll() {
        std::mt19937 rng(3);
        for (uint32_t i = 0; i < 40; ++i) {
            const uint32_t blocks = 1 + rng() % (3 * spec.wChunk);
            ASSERT_NO_FATAL_FAILURE(Write(rng() % (spec.lBlocks - blocks), blocks, 100 + i, i % 2 == 0));
        }
        for (uint64_t x = 0; x < spec.lBlocks; x += 4096) {
            ASSERT_NO_FATAL_FAILURE(Write(x, uint32_t(std::min<uint64_t>(4096, spec.lBlocks - x)), uint32_t(x)));
        }
        Settle();
    }
    // The program stops; the slot's image is replaced by a new sparse file
    // of the same size; the program starts again on the directory.
    void RestartWithBlankImage(unsigned slot) {
        Stop();
        chassis.reset();
        ASSERT_NO_FATAL_FAILURE(PutBlankImage(slot));
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
        ASSERT_NO_FATAL_FAILURE(Start());
    }
    // A new sparse file of the image's size in its place; the image is kept
    // under the name given, else gone.
    void PutBlankImage(unsigned slot, const std::string& keep = "") {
        const off_t size = static_cast<off_t>(std::filesystem::file_size(Image(slot)));
        ASSERT_EQ(keep.empty() ? unlink(Image(slot).c_str()) : rename(Image(slot).c_str(), keep.c_str()), 0);
        const int fd = open(Image(slot).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    }
    // Rebuilt onto the spare: the host reads what it wrote, and the drives
    // hold what the layout model says.
    void ExpectRebuiltOntoTheSpare(unsigned member) {
        ASSERT_EQ(board->RunUntil([] { return RebuildOver(); }, 600'000'000'000ull), sim::StopKind::Running)
            << board->ConsoleText();
        ASSERT_TRUE(RebuildOver()) << board->ConsoleText();
        const auto spare = DriveWwn(*chassis, SpareSlot());
        EXPECT_EQ(std::memcmp(fw::pGetConfigImage()->asRank[0].aabMemberWwn[member], spare.data(), 8), 0);
        memberSlots[member] = SpareSlot();
        Settle();
        ExpectDrivesMatchReference();
        ASSERT_NO_FATAL_FAILURE(ExpectEverythingReadsBack());
    }
    // The drive is listed among the drives of no array, with the failed
    // mark or without.
    static void ExpectUnassigned(const std::array<uint8_t, 8>& wwn, bool fFailed) {
        uint8_t bDrive = 0xFF, bSlot = 0;
        ASSERT_EQ(fw::fFindDriveByWWN(wwn.data(), &bDrive), fw::TRUE);
        ASSERT_EQ(fw::fFindDriveSlot(bDrive, &bSlot), fw::TRUE);
        EXPECT_EQ(fw::pGetDriveSlotTables()->afFailed[bSlot], fFailed ? fw::TRUE : fw::FALSE);
    }
    // Nothing of the configuration on the drive.
    void ExpectNoCopyOn(unsigned slot) {
        sim::Drive& d = *chassis->DriveAt(slot);
        std::vector<uint8_t> header(kBlock);
        d.ReadBlocks(d.config().blocks - 1 - copytest::kCopyBlocksBeforeEnd, 1, header.data());
        EXPECT_NE(copytest::Image(header)->sHeader.dMagic, fw::CONFIG_MAGIC);
    }
    // A drive comes into an empty slot: the drives are looked at again, and
    // the configuration applied again.
    void LookAgain() {
        const unsigned slot = ++insertedSlot;
        chassis->Insert(slot, sim::Chassis::DefaultDriveConfig(slot, chassisOptions));
        const auto inserted = DriveWwn(*chassis, slot);
        ASSERT_EQ(board->RunUntil([&] { return fw::fFindDriveByWWN(inserted.data(), nullptr, nullptr) == fw::TRUE &&
                                               fw::fIsConfigUpdatePending() != fw::TRUE &&
                                               fw::fIsConfigCommitInProgress() != fw::TRUE; },
                                  kSettleLimitNs),
                  sim::StopKind::Running);
    }
    unsigned insertedSlot = 9;
    static bool RebuildOver() {
        return fw::fGetRebuildWork() != fw::TRUE && fw::bGetNvramRebuildPendingFlag() != fw::TRUE &&
               fw::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL && fw::fIsConfigUpdatePending() != fw::TRUE &&
               fw::fIsConfigCommitInProgress() != fw::TRUE;
    }
    void ExpectEverythingReadsBack() {
        for (uint64_t x = 0; x < spec.lBlocks; x += 4096) {
            ASSERT_NO_FATAL_FAILURE(ExpectRead(x, uint32_t(std::min<uint64_t>(4096, spec.lBlocks - x))));
        }
    }
};

class BlankMemberRoad : public BlankMemberFixture, public ::testing::WithParamInterface<BlankCase> {};

// The blank drive keeps the name of the drive it replaced (a member's drive
// wiped while the controller was off looks so): it is no member all the
// same, nothing is read from it, and the spare takes the member's place.
TEST_P(BlankMemberRoad, ABlankDriveOfAMembersNameIsNoMember) {
    const BlankCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(BootAndWrite(c.spec));
    const auto blank = DriveWwn(*chassis, c.member + 1);
    ASSERT_NO_FATAL_FAILURE(RestartWithBlankImage(c.member + 1));
    ASSERT_EQ(DriveWwn(*chassis, c.member + 1), blank);
    ASSERT_NO_FATAL_FAILURE(ExpectEverythingReadsBack());
    EXPECT_EQ(EventCount(kDriveFailed), 1);
    EXPECT_EQ(EventCount(kArrayCritical), 1);
    ASSERT_NO_FATAL_FAILURE(ExpectRebuiltOntoTheSpare(c.member));
    // It failed as the member: not taken back by itself.
    ASSERT_NO_FATAL_FAILURE(ExpectUnassigned(blank, true));
    ExpectNoCopyOn(c.member + 1);
}

// As the controller program keeps its drives, the blank file is a new drive
// with an address and serial of its own: the member's drive is gone, the
// spare takes its place, and the new drive is a drive of no array.
TEST_P(BlankMemberRoad, ABlankImageIsANewDrive) {
    const BlankCase& c = GetParam();
    chassis.reset();
    std::filesystem::remove_all(dir);
    chassisOptions.mark = 0x5A11;
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    ASSERT_NO_FATAL_FAILURE(BootAndWrite(c.spec));
    const auto old = DriveWwn(*chassis, c.member + 1);
    ASSERT_NO_FATAL_FAILURE(RestartWithBlankImage(c.member + 1));
    const auto fresh = DriveWwn(*chassis, c.member + 1);
    EXPECT_NE(fresh, old);
    ASSERT_NO_FATAL_FAILURE(ExpectEverythingReadsBack());
    EXPECT_EQ(EventCount(kDriveFailed), 1);
    EXPECT_EQ(EventCount(kArrayCritical), 1);
    ASSERT_NO_FATAL_FAILURE(ExpectRebuiltOntoTheSpare(c.member));
    ASSERT_NO_FATAL_FAILURE(ExpectUnassigned(fresh, false));
}

const BlankCase kCases[] = {
    {{"Raid10", fw::RAID_LEVEL_10, 4, 16, 0, true, 2 * 16384}, 1},
    {{"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 16384}, 2},
    {{"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, true, 3 * 16384}, 0},
};
INSTANTIATE_TEST_SUITE_P(Levels, BlankMemberRoad, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.spec.pszName); });

// More members blank than the array can lose: it stays off line, through
// every later look at the drives and the next start, and is never served
// from the blank ones; with the members' own drives back it is whole again.
TEST_F(BlankMemberFixture, AnArrayWithTooManyBlankMembersStaysOffLine) {
    ASSERT_NO_FATAL_FAILURE(BootAndWrite({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 16384}));
    Stop();
    chassis.reset();
    for (unsigned slot : {2u, 3u}) ASSERT_NO_FATAL_FAILURE(PutBlankImage(slot, Image(slot) + ".kept"));
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    ASSERT_NO_FATAL_FAILURE(StartController());
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_FAILED);
    ASSERT_NO_FATAL_FAILURE(LookAgain());
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_FAILED);
    ExpectNoCopyOn(2);
    ExpectNoCopyOn(3);
    Stop();
    chassis.reset();
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    ASSERT_NO_FATAL_FAILURE(StartController());
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_FAILED);

    Stop();
    chassis.reset();
    for (unsigned slot : {2u, 3u}) ASSERT_EQ(rename((Image(slot) + ".kept").c_str(), Image(slot).c_str()), 0);
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    ASSERT_NO_FATAL_FAILURE(LookAgain());
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    ASSERT_NO_FATAL_FAILURE(ExpectEverythingReadsBack());
}

}  // namespace
