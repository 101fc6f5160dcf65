// The rebuild through the whole controller: an array comes up with a member
// gone, the rebuild check finds the hot spare the configuration names, the
// rebuild regenerates the member onto it while the main loop runs, and the
// spare is then the member: on the drives, in what the host reads, and in
// the configuration the next start loads; host writes in flight all the
// while are kept.
#include <array>
#include <functional>

#include "config/config_flags.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "enclosure/drive_table.h"
#include "enclosure/power_management.h"
#include "executive/background_process.h"
#include "mgmt/management_commands.h"
#include "eventlog/event_log.h"
#include "host_road.h"
#include "raid/rebuild.h"
#include "raid/rebuild_check.h"
#include "raid/child_commands.h"
#include "raid/drive_verify.h"
#include "target/host_command_pool.h"

namespace {

using namespace roadtest;

struct RebuildCase {
    ArraySpec spec;
    unsigned pulled;   // the member whose drive is gone
};

void PrintTo(const RebuildCase& c, std::ostream* os) { *os << c.spec.pszName; }

// The drives and NVRAM live in a data directory, so that a restart finds
// the rebuild's progress where a power cut left it.
class RebuildFixture : public RestartRoad {
protected:
    unsigned SpareSlot(unsigned i = 0) const { return spec.bDrives + 1u + i; }

    // The road's configuration with global hot spares in the slots after the
    // members and Auto Rebuild on, on every member and on the spares; or,
    // without spares, with the replace-in-slot setting on.
    void BootWithSpare(const ArraySpec& a, unsigned spares = 1, bool fAutoRebuild = true) {
        spec = a;
        std::vector<uint8_t> ab = Configuration(a);
        fw::CONFIG_IMAGE* ps = copytest::Image(ab);
        ps->sHeader.fAutoRebuild = fAutoRebuild ? fw::TRUE : fw::FALSE;
        ps->sHeader.fAutoHotSpare = spares == 0 ? fw::TRUE : fw::FALSE;
        ps->sHeader.wSpareCount = static_cast<uint16_t>(spares);
        for (unsigned i = 0; i < spares; ++i) {
            const auto w = DriveWwn(*chassis, SpareSlot(i));
            std::memcpy(ps->asSpare[i].abWwn, w.data(), 8);
        }
        for (unsigned i = 0; i < fw::MAX_SPARES; ++i) ps->asSpare[i].bDedicatedRank = 0xFF;
        ps->asLd[0].bAvailability = ldAvailability;
        if (editImage) editImage(ps);
        copytest::Seal(ab);
        for (unsigned s = 1; s < SpareSlot(spares); ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        Start();
    }

    uint8_t ldAvailability = 0x0F;   // the host ports the logical drive is offered on
    std::function<void(fw::CONFIG_IMAGE*)> editImage;   // more settings in the image the drives hold

    // Runs until the drive put in the slot is known and the rebuild check
    // has had its look at it, and a while longer.
    void RunWhileTheCheckLooksAt(unsigned slot) {
        const auto w = DriveWwn(*chassis, slot);
        ASSERT_EQ(board->RunUntil([&] { return fw::fFindDriveByWWN(w.data(), nullptr, nullptr) == fw::TRUE &&
                                               fw::fGetRebuildCheckPending() != fw::TRUE &&
                                               fw::fIsConfigUpdatePending() != fw::TRUE; },
                                  kSettleLimitNs),
                  sim::StopKind::Running);
        board->RunFor(5'000'000'000ull);
    }

    // Codes of the events in the log, oldest first.
    static std::vector<uint8_t> EventCodes() {
        uint16_t wCount = 0, wNext = 0;
        fw::GetEventLogPosition(&wCount, &wNext);
        std::vector<uint8_t> ab;
        for (uint16_t w = 0; w < wCount; ++w) ab.push_back(fw::psGetEventLogEntry(w)->bCode);
        return ab;
    }
    static int Count(uint8_t bCode) {
        int n = 0;
        for (uint8_t b : EventCodes()) n += b == bCode;
        return n;
    }
    static bool RebuildDone() {
        return fw::fGetRebuildWork() != fw::TRUE && fw::bGetNvramRebuildPendingFlag() != fw::TRUE &&
               fw::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL;
    }
    // Done, and the configuration naming the replacement on the drives.
    static bool RebuildOver() {
        return RebuildDone() && fw::fIsConfigUpdatePending() != fw::TRUE && fw::fIsConfigCommitInProgress() != fw::TRUE;
    }
    // The rebuild's own account of itself and the host entries in use: what
    // a stalled write waits on.
    std::string Info() {
        const size_t n = board->ConsoleText().size();
        (void)board->RunOnCpu([] { fw::ShowRebuildInfo(); });
        std::string t = "\n" + board->ConsoleText().substr(n);
        for (uint16_t w = 0; w < fw::HOST_ENTRY_COUNT; ++w) {
            fw::KERNEL_ENTRY* ps = nullptr;
            (void)fw::wGetTargetEntry(w, &ps);
            if (ps == nullptr || ps->lFlags == 0) continue;
            char ac[160];
            std::snprintf(ac, sizeof ac, "entry %u port %u op %02x lba %llu st %u/%u flags %llx rank %u\n", w, ps->bPortCode,
                          ps->abCdb[0], (unsigned long long)ps->lLba, ps->bPrimaryState, ps->bSecondaryState,
                          (unsigned long long)ps->lFlags, ps->bRank);
            t += ac;
        }
        return t;
    }
    // Runs until the rebuild's front has passed the part of the member given.
    void RunUntilRebuiltPart(uint32_t dDivisor) {
        ASSERT_EQ(board->RunUntil([dDivisor] { return fw::bGetNvramRebuildPendingFlag() == fw::TRUE &&
                                                     fw::dGetRebuildPosition() >
                                                         fw::dGetBe32(fw::psGetRebuildRecord()->abEnd) / dDivisor; },
                                  60'000'000'000ull),
                  sim::StopKind::Running);
    }
    bool MemberIsSpare(unsigned m, unsigned i = 0) const {
        const auto w = DriveWwn(*chassis, SpareSlot(i));
        return std::memcmp(fw::pGetConfigImage()->asRank[0].aabMemberWwn[m], w.data(), 8) == 0;
    }
    // Writes over the whole logical drive (every block of it, dense), then
    // a restart with the drives of the members given gone.
    void WriteThenLose(const std::vector<unsigned>& members, bool fDense = false) {
        std::mt19937 rng(5);
        for (uint32_t i = 0; i < 40; ++i) {
            const uint32_t blocks = 1 + rng() % (3 * spec.wChunk);
            Write(rng() % (spec.lBlocks - blocks), blocks, 300 + i, i % 2 == 0);
        }
        for (uint64_t a = 0; fDense && a < spec.lBlocks; a += 4096) {
            Write(a, uint32_t(std::min<uint64_t>(4096, spec.lBlocks - a)), uint32_t(a));
        }
        Settle();
        std::vector<unsigned> slots;
        for (unsigned m : members) slots.push_back(m + 1);
        ASSERT_NO_FATAL_FAILURE(Restart(slots));
    }
    // Every member in service on the drive given, matching the layout model,
    // and the host reading back what it wrote.
    void ExpectWhole() {
        ASSERT_TRUE(RebuildOver()) << board->ConsoleText();
        for (unsigned m = 0; m < spec.bDrives; ++m) EXPECT_EQ(fw::bGetRankMemberFlags(0, uint8_t(m)), fw::MEMBER_FLAGS_IN_SERVICE);
        Settle();
        ExpectDrivesMatchReference();
        ExpectRead(0, static_cast<uint32_t>(std::min<uint64_t>(spec.lBlocks, 4096)));
    }
};

class RebuildRoad : public RebuildFixture, public ::testing::WithParamInterface<RebuildCase> {};

// The data is written while the array is whole; the member's drive is gone
// at the next start.  Auto Rebuild takes the spare without anyone asking.
TEST_P(RebuildRoad, AMissingMemberIsRebuiltOntoTheHotSpareByItself) {
    const RebuildCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(BootWithSpare(c.spec));
    ASSERT_NO_FATAL_FAILURE(WriteThenLose({c.pulled}));
    ASSERT_EQ(board->RunUntil([] { return RebuildOver(); }, 600'000'000'000ull), sim::StopKind::Running)
        << board->ConsoleText();
    ASSERT_TRUE(RebuildOver()) << board->ConsoleText();
    EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 1);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_COMPLETE), 1);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, uint8_t(c.pulled)), fw::MEMBER_FLAGS_IN_SERVICE);
    EXPECT_TRUE(MemberIsSpare(c.pulled));
    EXPECT_EQ(fw::bGetHotSpareCount(), 0);
    memberSlots[c.pulled] = SpareSlot();
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(0, static_cast<uint32_t>(std::min<uint64_t>(spec.lBlocks, 4096)));

    // The next start loads the array with the spare as its member, whole.
    ASSERT_NO_FATAL_FAILURE(Restart());
    EXPECT_TRUE(MemberIsSpare(c.pulled));
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wSpareCount, 0);
    ExpectRead(0, static_cast<uint32_t>(std::min<uint64_t>(spec.lBlocks, 4096)));
}

// A block the rebuild has already written that the replacement cannot read
// back: the others stand in for it, as for any member in service; the host
// reads what it wrote, the block is written anew and the rebuild goes on
// to its end.
class RebuiltRangeRoad : public RebuildFixture, public ::testing::WithParamInterface<RebuildCase> {};

TEST_P(RebuiltRangeRoad, AnUnreadableBlockTheRebuildHasPassedIsServedFromTheOthers) {
    const RebuildCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(BootWithSpare(c.spec));
    ASSERT_NO_FATAL_FAILURE(WriteThenLose({c.pulled}));
    uint64_t x = 0;
    while (DataPlace(x).member != c.pulled) ++x;
    ASSERT_NO_FATAL_FAILURE(RunUntilRebuiltPart(3));
    chassis->DriveAt(SpareSlot())->InjectMediaError(DataPlace(x).block, 1);
    const int reassigned = Count(fw::EVENT_BLOCK_REASSIGNED);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(x, 1));
    EXPECT_EQ(fw::bGetNvramRebuildPendingFlag(), fw::TRUE) << "the rebuild ended before the read: nothing shown";
    EXPECT_EQ(Count(fw::EVENT_BLOCK_REASSIGNED), reassigned + 1);
    ASSERT_EQ(board->RunUntil([] { return RebuildOver(); }, 600'000'000'000ull), sim::StopKind::Running)
        << board->ConsoleText();
    memberSlots[c.pulled] = SpareSlot();
    ExpectWhole();
}

const RebuildCase kRebuiltRange[] = {
    {{"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 32768}, 1},
    {{"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, true, 3 * 16384}, 2},
};
INSTANTIATE_TEST_SUITE_P(Levels, RebuiltRangeRoad, ::testing::ValuesIn(kRebuiltRange),
                         [](const auto& info) { return std::string(info.param.spec.pszName); });

// A member's drive fails its writes while the array runs; with no spare and
// the replace-in-slot setting on, the new drive put into its slot (its own
// address and serial) is rebuilt as the member.
TEST_P(RebuildRoad, ANewDriveInTheFailedSlotBecomesTheMember) {
    const RebuildCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(BootWithSpare(c.spec, 0));
    const unsigned slot = c.pulled + 1;
    std::mt19937 rng(7);
    for (uint32_t i = 0; i < 24; ++i) {
        const uint32_t blocks = 1 + rng() % (3 * spec.wChunk);
        Write(rng() % (spec.lBlocks - blocks), blocks, 700 + i);
    }
    Settle();
    chassis->DriveAt(slot)->FailCommand(fw::SCSI_WRITE10, 1u << 30);
    for (uint32_t i = 0; fw::bGetRankMemberFlags(0, uint8_t(c.pulled)) == fw::MEMBER_FLAGS_IN_SERVICE; ++i) {
        ASSERT_LT(i, 200u) << "the member never failed";
        Write(i * spec.wChunk % (spec.lBlocks - spec.wChunk), spec.wChunk, 900 + i);
        Settle();
    }
    ASSERT_TRUE(board->RunUntil([] { return RebuildOver() || fw::bGetNvramRebuildPendingFlag() != fw::TRUE; },
                                kSettleLimitNs) == sim::StopKind::Running);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 0) << "a rebuild with nothing to rebuild onto";

    // The member and the configuration copy kept clear of it: one block
    // short of that is refused, and nothing is written to the drive.
    uint64_t lLast = 0;
    fw::GetRankLastOffset(0, &lLast);
    const uint64_t lNeeded = (lLast + 1) / fw::bGetRankDataDriveCount(0) + fw::SPARE_MARGIN_BLOCKS + 1;
    ASSERT_LT(lNeeded, 8ull << 20);
    sim::DriveConfig fresh = sim::Chassis::DefaultDriveConfig(slot, chassisOptions);
    fresh.sasAddress += 0x1000;
    fresh.serial = "NEW00001";
    fresh.blocks = lNeeded - 1;
    chassis->Pull(slot);
    chassis->Insert(slot, fresh);
    uint64_t writes = 0;
    // The controller marks every drive it meets at its configuration area;
    // the member's blocks stay untouched.
    const uint64_t lMember = (lLast + 1) / fw::bGetRankDataDriveCount(0);
    chassis->DriveAt(slot)->onCommand = [&](std::span<const uint8_t> cdb) {
        writes += cdb[0] == fw::SCSI_WRITE10 && fw::dGetBe32(cdb.data() + 2) < lMember;
    };
    ASSERT_NO_FATAL_FAILURE(RunWhileTheCheckLooksAt(slot));
    EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 0) << "a rebuild onto a drive too small";
    EXPECT_EQ(writes, 0u);

    fresh.sasAddress += 0x1000;
    fresh.serial = "NEW00002";
    fresh.blocks = lNeeded;
    chassis->Pull(slot);
    chassis->Insert(slot, fresh);
    ASSERT_EQ(board->RunUntil([] { return RebuildOver() && Count(fw::EVENT_REBUILD_COMPLETE) == 1; },
                              600'000'000'000ull),
              sim::StopKind::Running);
    ASSERT_EQ(Count(fw::EVENT_REBUILD_COMPLETE), 1) << board->ConsoleText();
    EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 1);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, uint8_t(c.pulled)), fw::MEMBER_FLAGS_IN_SERVICE);
    const auto w = DriveWwn(*chassis, slot);
    EXPECT_EQ(std::memcmp(fw::pGetConfigImage()->asRank[0].aabMemberWwn[c.pulled], w.data(), 8), 0);
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(0, static_cast<uint32_t>(std::min<uint64_t>(spec.lBlocks, 4096)));
    ASSERT_NO_FATAL_FAILURE(Restart());
    EXPECT_EQ(std::memcmp(fw::pGetConfigImage()->asRank[0].aabMemberWwn[c.pulled], w.data(), 8), 0);
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
}

// The spares are parked by power management when a member fails its
// writes: the rebuild spins its spare up, runs to its end and nothing parks
// the spare meanwhile; the array is then whole.
TEST_F(RebuildFixture, AMemberFailingWhileTheSparesAreParkedIsRebuiltOntoASpareKeptSpinning) {
    chassisOptions.spinUpNs = 2'000'000'000ull;
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    editImage = [](fw::CONFIG_IMAGE* ps) {
        ps->abPowerSettings[0] = fw::APM_L1_SPIN_DOWN_SPARES;
        ps->sHeader.fPowerManagementSet = fw::TRUE;
    };
    ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 16384}));
    std::mt19937 rng(11);
    for (uint32_t i = 0; i < 24; ++i) {
        const uint32_t blocks = 1 + rng() % (3 * spec.wChunk);
        Write(rng() % (spec.lBlocks - blocks), blocks, 500 + i);
    }
    Settle();
    // The first parking after a start waits minutes: not what this is about.
    uint16_t wJob = 0;
    ASSERT_EQ(fw::fFindBackgroundProcessOfType(fw::APM_L1_JOB_TYPE, &wJob), fw::TRUE);
    ASSERT_EQ(fw::bSetBackgroundProcessDelay(wJob, 0, 1, 0, 0, 0), fw::STATUS_OK);
    sim::Drive* psSpare = chassis->DriveAt(SpareSlot());
    board->RunUntil([&] { return psSpare->Parked(); }, 60'000'000'000ull);
    ASSERT_TRUE(psSpare->Parked()) << board->ConsoleText();
    const uint64_t stopsWhenParked = psSpare->Power().stops;

    constexpr unsigned kMember = 1;
    chassis->DriveAt(kMember + 1)->FailCommand(fw::SCSI_WRITE10, 1u << 30);
    for (uint32_t i = 0; fw::bGetRankMemberFlags(0, kMember) == fw::MEMBER_FLAGS_IN_SERVICE; ++i) {
        ASSERT_LT(i, 200u) << "the member never failed";
        Write(i * spec.wChunk % (spec.lBlocks - spec.wChunk), spec.wChunk, 900 + i);
        Settle();
    }
    bool fParkedMeanwhile = false;
    board->RunUntil([&] {
        fParkedMeanwhile |= Count(fw::EVENT_REBUILD_STARTED) == 1 && psSpare->Parked();
        return RebuildOver() && Count(fw::EVENT_REBUILD_COMPLETE) == 1;
    }, 600'000'000'000ull);
    ASSERT_EQ(Count(fw::EVENT_REBUILD_COMPLETE), 1) << Info();
    EXPECT_FALSE(fParkedMeanwhile);
    EXPECT_EQ(psSpare->Power().stops, stopsWhenParked) << "the spare was stopped after it was taken";
    EXPECT_GE(psSpare->Power().starts, 1u);
    EXPECT_TRUE(MemberIsSpare(kMember));
    memberSlots[kMember] = SpareSlot();
    ExpectWhole();
}

class QualifiedDrivesRoad : public RebuildFixture {
protected:
    static constexpr unsigned kMember = 2, kSlot = kMember + 1;

    // A RAID 5 array of drives of an accepted maker, with replace-in-slot
    // on and no spare, whose member kMember has failed its writes; its drive
    // is still in its slot.
    void BootAndFailTheMember() {
        // That build offers a logical drive on one named port only.
        boardConfig.oemCode = 0x101;
        ldAvailability = 0x01;
        for (unsigned s = 1; s <= chassisOptions.drives; ++s) {
            sim::DriveConfig c = sim::Chassis::DefaultDriveConfig(s, chassisOptions);
            c.vendor = "PRAVELON";
            chassis->Pull(s);
            chassis->Insert(s, c);
        }
        ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 16384}, 0));
        for (uint32_t i = 0; i < 16; ++i) Write(i * 3 * spec.wChunk % (spec.lBlocks - 64), 64, 500 + i);
        Settle();
        chassis->DriveAt(kSlot)->FailCommand(fw::SCSI_WRITE10, 1u << 30);
        for (uint32_t i = 0; fw::bGetRankMemberFlags(0, kMember) == fw::MEMBER_FLAGS_IN_SERVICE; ++i) {
            ASSERT_LT(i, 200u) << "the member never failed";
            Write(i * spec.wChunk % (spec.lBlocks - spec.wChunk), spec.wChunk, 900 + i);
            Settle();
        }
        fresh = sim::Chassis::DefaultDriveConfig(kSlot, chassisOptions);
    }
    // A new drive of that maker in the failed member's slot; its writes into
    // the member's blocks are counted.
    void InsertNew(const char* pszVendor, unsigned n) {
        fresh.sasAddress += 0x1000;
        fresh.serial = "NEW0000" + std::to_string(n);
        fresh.vendor = pszVendor;
        chassis->Pull(kSlot);
        chassis->Insert(kSlot, fresh);
        const uint64_t lMember = spec.lBlocks / 3;
        chassis->DriveAt(kSlot)->onCommand = [this, lMember](std::span<const uint8_t> cdb) {
            writes += cdb[0] == fw::SCSI_WRITE10 && fw::dGetBe32(cdb.data() + 2) < lMember;
        };
    }
    // The rebuild onto the drive in the slot ran to its end, and the drive
    // is the member.
    void ExpectRebuiltInTheSlot() {
        ASSERT_EQ(board->RunUntil([] { return RebuildOver() && Count(fw::EVENT_REBUILD_COMPLETE) == 1; },
                                  600'000'000'000ull),
                  sim::StopKind::Running)
            << board->ConsoleText();
        EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 1);
        const auto w = DriveWwn(*chassis, kSlot);
        EXPECT_EQ(std::memcmp(fw::pGetConfigImage()->asRank[0].aabMemberWwn[kMember], w.data(), 8), 0);
        Settle();
        ExpectDrivesMatchReference();
    }
    static constexpr uint8_t kNotQualified = 123;
    sim::DriveConfig fresh;
    uint64_t writes = 0;
};

// Where only drives of the two accepted makers may be used, and a member
// of the array is missing (its drive failed), a new drive in the failed
// slot is taken only when it is qualified: one of another maker is left
// alone, nothing written to it; one whose name mixes the two accepted
// names place by place is rebuilt as the member.
TEST_F(QualifiedDrivesRoad, WhileAConfiguredDriveIsMissingOnlyAQualifiedDriveInTheSlotIsRebuilt) {
    ASSERT_NO_FATAL_FAILURE(BootAndFailTheMember());
    InsertNew("ACMEDISK", 1);
    ASSERT_NO_FATAL_FAILURE(RunWhileTheCheckLooksAt(kSlot));
    EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 0) << "a rebuild onto a drive of another maker";
    EXPECT_EQ(writes, 0u);

    InsertNew("TRAVELON", 2);
    ASSERT_NO_FATAL_FAILURE(ExpectRebuiltInTheSlot());
}

// The failed drive is moved to an empty slot, so that no configured drive
// is missing.  A drive of another maker in its old slot is then reported
// and still taken, unless a drive of the failed-drive list is itself not
// qualified (here one that is no longer there).
TEST_F(QualifiedDrivesRoad, WithNoConfiguredDriveMissingAnUnqualifiedDriveIsTakenUnlessAFailedOneIsUnqualified) {
    ASSERT_NO_FATAL_FAILURE(BootAndFailTheMember());
    const unsigned kEmpty = chassisOptions.drives;
    const sim::DriveConfig failed = *chassis->ConfigAt(kSlot);
    chassis->Pull(kEmpty);
    chassis->Pull(kSlot);
    chassis->Insert(kEmpty, failed);
    const uint8_t abGone[8] = {0x50, 0, 0, 0, 0, 0, 0x0D, 0x0D};
    fw::AddFailedDriveWwn(abGone, fw::pGetConfigImage(), 0, 0, 0, 0, 0xFF);
    InsertNew("ACMEDISK", 1);
    ASSERT_NO_FATAL_FAILURE(RunWhileTheCheckLooksAt(kSlot));
    EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 0) << "taken beside a failed drive that is not qualified";
    EXPECT_EQ(writes, 0u);
    EXPECT_GE(Count(kNotQualified), 1);

    fw::RemoveFailedDriveWwn(abGone, fw::pGetConfigImage());
    fw::SetRebuildCheckPending(fw::TRUE);
    ASSERT_NO_FATAL_FAILURE(ExpectRebuiltInTheSlot());
}

// A member whose failed drive's slot is not known, where the configuration
// may assign drives by itself: an unused drive of the array's kind is made
// a spare, and the rebuild takes it.
TEST_F(QualifiedDrivesRoad, AMemberWithoutAKnownSlotGetsAnUnusedDriveAssignedAsItsSpare) {
    ASSERT_NO_FATAL_FAILURE(BootAndFailTheMember());
    const auto lost = DriveWwn(*chassis, kSlot);
    fw::RemoveFailedDriveWwn(lost.data(), fw::pGetConfigImage());
    fw::AddFailedDriveWwn(lost.data(), fw::pGetConfigImage(), 0, 0, 0, 0, 0xFF);
    fw::SetRebuildCheckPending(fw::TRUE);
    ASSERT_EQ(board->RunUntil([] { return RebuildOver() && Count(fw::EVENT_REBUILD_COMPLETE) == 1; },
                              600'000'000'000ull),
              sim::StopKind::Running)
        << board->ConsoleText();
    EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 1);
    EXPECT_EQ(fw::bGetHotSpareCount(), 0);
    const uint8_t* pbMember = fw::pGetConfigImage()->asRank[0].aabMemberWwn[kMember];
    unsigned uSlot = 0;
    for (unsigned s = SpareSlot(); s <= chassisOptions.drives; ++s) {
        if (std::memcmp(pbMember, DriveWwn(*chassis, s).data(), 8) == 0) uSlot = s;
    }
    ASSERT_NE(uSlot, 0u) << "the member is no unused drive";
    memberSlots[kMember] = uSlot;
    Settle();
    ExpectDrivesMatchReference();
}

// Two mirror pairs of a RAID 10 array each lose a member; only the later
// member's slot gets a new drive.  The earlier member having nothing to be
// rebuilt onto does not stop the check: it goes on to the next member of
// the same array.
TEST_F(RebuildFixture, AMemberWithoutReplacementDoesNotHideTheNextOne) {
    ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid10", fw::RAID_LEVEL_10, 4, 16, 0, true, 2 * 16384}, 0));
    for (uint32_t i = 0; i < 16; ++i) Write(i * 3 * spec.wChunk % (spec.lBlocks - 64), 64, 500 + i);
    Settle();
    for (const unsigned m : {0u, 3u}) {
        chassis->DriveAt(m + 1)->FailCommand(fw::SCSI_WRITE10, 1u << 30);
        for (uint32_t i = 0; fw::bGetRankMemberFlags(0, uint8_t(m)) == fw::MEMBER_FLAGS_IN_SERVICE; ++i) {
            ASSERT_LT(i, 200u) << "member " << m << " never failed";
            Write(i * spec.wChunk % (spec.lBlocks - spec.wChunk), spec.wChunk, 900 + i);
            Settle();
        }
    }
    ASSERT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED);

    sim::DriveConfig fresh = sim::Chassis::DefaultDriveConfig(4, chassisOptions);
    fresh.sasAddress += 0x1000;
    fresh.serial = "NEW00004";
    chassis->Pull(4);
    chassis->Insert(4, fresh);
    ASSERT_EQ(board->RunUntil([] { return Count(fw::EVENT_REBUILD_COMPLETE) == 1 && fw::fGetRebuildWork() != fw::TRUE &&
                                          fw::fIsConfigUpdatePending() != fw::TRUE; },
                              600'000'000'000ull),
              sim::StopKind::Running);
    ASSERT_EQ(Count(fw::EVENT_REBUILD_COMPLETE), 1) << board->ConsoleText();
    EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 1);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 3), fw::MEMBER_FLAGS_IN_SERVICE);
    EXPECT_NE(fw::bGetRankMemberFlags(0, 0), fw::MEMBER_FLAGS_IN_SERVICE);
    const auto w = DriveWwn(*chassis, 4);
    EXPECT_EQ(std::memcmp(fw::pGetConfigImage()->asRank[0].aabMemberWwn[3], w.data(), 8), 0);
    ExpectRead(0, static_cast<uint32_t>(std::min<uint64_t>(spec.lBlocks, 4096)));
}

// Two members of a RAID 6 array gone: the first pass rebuilds the lower one
// onto the first spare with the other treated as absent, and its end starts
// the second onto the other spare.
class Raid6RebuildRoad : public RebuildFixture {
protected:
    // Both passes over, each onto a spare of its own, in order.
    void ExpectRebuiltOntoTheSpares(unsigned first, unsigned second) {
        ASSERT_EQ(board->RunUntil([] { return RebuildOver() && Count(fw::EVENT_REBUILD_COMPLETE) == 2; },
                                  600'000'000'000ull),
                  sim::StopKind::Running)
            << board->ConsoleText();
        EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 2);
        EXPECT_TRUE(MemberIsSpare(first, 0));
        EXPECT_TRUE(MemberIsSpare(second, 1));
        memberSlots[first] = SpareSlot(0);
        memberSlots[second] = SpareSlot(1);
        ASSERT_NO_FATAL_FAILURE(ExpectWhole());
    }
};

TEST_F(Raid6RebuildRoad, TwoMissingMembersAreRebuiltOneAfterTheOther) {
    ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, true, 3 * 16384}, 2));
    ASSERT_NO_FATAL_FAILURE(WriteThenLose({1, 3}));
    ASSERT_NO_FATAL_FAILURE(ExpectRebuiltOntoTheSpares(1, 3));
}

// A host write ahead of the rebuild front whose old data a member in service
// cannot read: the others (the member being rebuilt counting as absent
// there) stand in for the blocks, which are written back to the member and
// reported once (event 113), and the write lands.  The rebuild then ends
// with every member whole.
TEST_F(Raid6RebuildRoad, AnUnreadableBlockMetByAWriteAheadOfTheFrontIsRegeneratedAndReported) {
    ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, false, 3 * 16384}));
    ASSERT_NO_FATAL_FAILURE(WriteThenLose({1}));
    ASSERT_EQ(board->RunUntil(
                  [] { return fw::bGetNvramRebuildPendingFlag() == fw::TRUE && fw::fIsRebuildIoInFlight() == fw::TRUE; },
                  60'000'000'000ull),
              sim::StopKind::Running);
    // Old data of the last row on a member in service, read by the write.
    const uint64_t row = spec.lBlocks / RowBlocks() - 1;
    uint64_t x = row * RowBlocks();
    while (DataPlace(x).member == 1) x += spec.wChunk;
    x += 5;
    const raidref::Place p = DataPlace(x);
    chassis->DriveAt(SlotOfMember(p.member))->InjectMediaError(p.block, 2);
    const int before = Count(fw::EVENT_BLOCK_REASSIGNED);
    ASSERT_NO_FATAL_FAILURE(Write(x - 1, 4, 77));
    const uint32_t dRegion = fw::wGetRebuildRegionBlocks();
    ASSERT_LT(fw::dGetRebuildPosition() + 20u * dRegion, row * spec.wChunk) << "the write was not ahead of the front";
    EXPECT_EQ(Count(fw::EVENT_BLOCK_REASSIGNED), before + 1);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(x - 8, 16));
    ASSERT_EQ(board->RunUntil([] { return RebuildOver(); }, 600'000'000'000ull), sim::StopKind::Running) << Info();
    EXPECT_EQ(Count(fw::EVENT_BLOCK_REASSIGNED), before + 1);
    EXPECT_TRUE(MemberIsSpare(1));
    memberSlots[1] = SpareSlot();
    ASSERT_NO_FATAL_FAILURE(ExpectWhole());
}

// A second member fails its writes while the first is rebuilt under host
// writes: it becomes the rebuild's second member, treated as absent, the
// rebuild goes on, and the pass after it rebuilds the second member onto the
// other spare.
TEST_F(Raid6RebuildRoad, ASecondFailureDuringTheRebuildIsRebuiltByTheNextPass) {
    ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, true, 3 * 16384}, 2));
    ASSERT_NO_FATAL_FAILURE(WriteThenLose({2}));
    ASSERT_NO_FATAL_FAILURE(RunUntilRebuiltPart(4));
    chassis->DriveAt(5)->FailCommand(fw::SCSI_WRITE10, 1u << 30);
    ASSERT_NO_FATAL_FAILURE(WriteLoad(spec.lBlocks, 600, 23, [](uint32_t) {}, [] { return false; }, 200'000'000'000ull));
    ASSERT_NO_FATAL_FAILURE(ExpectRebuiltOntoTheSpares(2, 4));
    EXPECT_EQ(Count(fw::EVENT_REBUILD_RESUMED), 0);
}

// The partner's rebuild messages, as its link hands them over: the start
// fills the record here, progress moves it, the end makes the spare the
// member.  A message that does not fit this configuration changes nothing.
class PartnerRebuildRoad : public RebuildFixture {
protected:
    std::array<uint8_t, fw::REBUILD_MSG_BYTES> Message(uint8_t bCode, uint8_t bRank, uint8_t bMember, uint32_t d,
                                                       const uint8_t* pbWwn = nullptr) {
        std::array<uint8_t, fw::REBUILD_MSG_BYTES> a{};
        a[0] = bCode;
        a[2] = bRank;
        a[3] = bMember;
        // The start request's block count goes least significant byte first.
        if (bCode == fw::REBUILD_MSG_START_REQUEST) {
            for (int i = 0; i < 4; ++i) a[4 + i] = uint8_t(d >> (8 * i));
        } else {
            fw::PutBe32(a.data() + 4, d);
        }
        if (pbWwn != nullptr) std::memcpy(a.data() + 8, pbWwn, 8);
        return a;
    }
    void Deliver(void (*pfn)(const uint8_t*), const std::array<uint8_t, fw::REBUILD_MSG_BYTES>& a) {
        // In place of the main loop: the board runs nothing else after it.
        ASSERT_EQ(board->RunOnCpu([&] { pfn(a.data()); }), sim::StopKind::Finished);
    }
    uint32_t MemberBlocks() {
        uint64_t lLast = 0;
        fw::GetRankLastOffset(0, &lLast);
        return uint32_t((lLast + 1) / fw::bGetRankDataDriveCount(0));
    }
};

TEST_F(PartnerRebuildRoad, TheRecordFollowsThePartnersMessages) {
    ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 4096}, 1, false));
    ASSERT_NO_FATAL_FAILURE(WriteThenLose({1}));
    ASSERT_EQ(fw::bGetNvramRebuildPendingFlag(), fw::FALSE);
    const auto spare = DriveWwn(*chassis, SpareSlot());
    const uint32_t dEnd = MemberBlocks() - 1;
    // Another rank, a member past the array, an end other than the member's.
    for (const auto& a : {Message(fw::REBUILD_MSG_STARTED, 3, 1, dEnd, spare.data()),
                          Message(fw::REBUILD_MSG_STARTED, 0, 4, dEnd, spare.data()),
                          Message(fw::REBUILD_MSG_STARTED, 0, 1, dEnd + 16, spare.data())}) {
        Deliver(fw::PartnerRebuildStarted, a);
        EXPECT_EQ(fw::bGetNvramRebuildPendingFlag(), fw::FALSE);
        EXPECT_NE(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_REBUILDING);
    }

    Deliver(fw::PartnerRebuildStarted, Message(fw::REBUILD_MSG_STARTED, 0, 1, dEnd, spare.data()));
    ASSERT_EQ(fw::bGetNvramRebuildPendingFlag(), fw::TRUE);
    EXPECT_EQ(fw::bGetRebuildRank(), 0);
    EXPECT_EQ(fw::bGetRebuildRecordByte(0), 1);
    EXPECT_EQ(fw::dGetBe32(fw::psGetRebuildRecord()->abEnd), dEnd);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_REBUILDING);
    const uint16_t wRegion = fw::wRebuildRegionBlocksOf(0);
    // A position past the end, or blocks other than the region's there.
    for (const auto& a : {Message(fw::REBUILD_MSG_PROGRESS, 0, 1, dEnd + 1), Message(fw::REBUILD_MSG_PROGRESS, 0, 1, 0)}) {
        auto m = a;
        fw::PutBe16(m.data() + 8, wRegion);
        if (m[7] == 0) fw::PutBe16(m.data() + 8, wRegion - 1);
        Deliver(fw::PartnerRebuildProgress, m);
        EXPECT_EQ(fw::dGetRebuildPosition(), 0u);
    }
    auto m = Message(fw::REBUILD_MSG_PROGRESS, 0, 1, 4u * wRegion);
    fw::PutBe16(m.data() + 8, wRegion);
    const uint8_t bSelector = fw::bGetNvramRebuildSelector();
    Deliver(fw::PartnerRebuildProgress, m);
    EXPECT_EQ(fw::dGetRebuildPosition(), 4u * wRegion);
    EXPECT_NE(fw::bGetNvramRebuildSelector(), bSelector);
    EXPECT_EQ(fw::fGetPartnerRebuildStartPending(), fw::FALSE);

    Deliver(fw::PartnerRebuildComplete, Message(fw::REBUILD_MSG_COMPLETE, 0, 0, 0));
    EXPECT_EQ(fw::bGetNvramRebuildPendingFlag(), fw::FALSE);
    EXPECT_EQ(fw::fGetRebuildWork(), fw::FALSE);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_IN_SERVICE);
    EXPECT_TRUE(MemberIsSpare(1));
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
}

// The partner asks this controller to rebuild onto a drive it names: the
// rebuild starts here (event 48) onto that drive.
TEST_F(PartnerRebuildRoad, ARebuildThePartnerAsksForStartsHere) {
    ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 4096}, 1, false));
    ASSERT_NO_FATAL_FAILURE(WriteThenLose({1}));
    const auto spare = DriveWwn(*chassis, SpareSlot());
    // The master checks the drive named in its own drive table.
    ASSERT_EQ(board->RunUntil([&] { return fw::fFindDriveByWWN(spare.data(), nullptr, nullptr) == fw::TRUE; },
                              kSettleLimitNs),
              sim::StopKind::Running);
    // The handlers run on the processor in place of the main loop.
    Deliver(fw::StartRebuildForPartner, Message(fw::REBUILD_MSG_START_REQUEST, 0, 4, MemberBlocks(), spare.data()));
    Deliver(fw::StartRebuildForPartner, Message(fw::REBUILD_MSG_START_REQUEST, 0, 1, MemberBlocks() - 1, spare.data()));
    EXPECT_EQ(fw::fGetRebuildWork(), fw::FALSE);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 0);
    Deliver(fw::StartRebuildForPartner, Message(fw::REBUILD_MSG_START_REQUEST, 0, 1, MemberBlocks(), spare.data()));
    EXPECT_EQ(fw::fGetRebuildWork(), fw::TRUE);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 1);
    EXPECT_EQ(fw::bGetRebuildRank(), 0);
    EXPECT_EQ(fw::bGetRebuildRecordByte(0), 1);
    uint8_t abWwn[8];
    fw::GetRebuildTargetWwn(abWwn);
    EXPECT_EQ(std::memcmp(abWwn, spare.data(), 8), 0);
    EXPECT_EQ(fw::dGetBe32(fw::psGetRebuildRecord()->abEnd), MemberBlocks() - 1);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_REBUILDING);
}

// Management starts a rebuild onto a hot spare power management has parked:
// the rebuild spins the spare up itself.  Nothing else would in time: the
// rebuild asks for its configuration commit (which wakes every parked
// drive) only when its start delay is over, and its regions reach the
// drive soon after; a drive still parked fails them, and the rebuild ends
// with the spare failed.
class ParkedReplacementRoad : public RebuildFixture {
protected:
    void BootAndParkTheSpare() {
        chassisOptions.spinUpNs = 2'000'000'000ull;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
        editImage = [](fw::CONFIG_IMAGE* ps) {
            ps->abPowerSettings[0] = fw::APM_L1_SPIN_DOWN_SPARES;
            ps->sHeader.fPowerManagementSet = fw::TRUE;
        };
        ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 4096}, 1, false));
        ASSERT_NO_FATAL_FAILURE(WriteThenLose({1}));
        // Parked six minutes after the start.
        spare = chassis->DriveAt(SpareSlot());
        board->RunUntil([&] { return spare->Parked(); }, 400'000'000'000ull);
        ASSERT_TRUE(spare->Parked()) << board->ConsoleText();
        board->RunFor(1'000'000'000ull);
        ASSERT_TRUE(spare->Parked());
        startsWhenParked = spare->Power().starts;
    }
    // Runs until the spare starts or the rebuild leaves its start (state 1)
    // and asks for its commit.
    bool SpareStartsBeforeTheCommit() {
        board->RunUntil([&] { return spare->Power().starts != startsWhenParked || fw::bGetRebuildState() != 1; },
                        30'000'000'000ull);
        return spare->Power().starts != startsWhenParked && fw::bGetRebuildState() == 1 &&
               fw::fIsConfigUpdatePending() != fw::TRUE && fw::fGetCommitSpinUpWait() != fw::TRUE;
    }
    sim::Drive* spare = nullptr;
    uint64_t startsWhenParked = 0;
};

TEST_F(ParkedReplacementRoad, AReplacementNamedByManagementIsSpunUpWhenTheRebuildStarts) {
    ASSERT_NO_FATAL_FAILURE(BootAndParkTheSpare());
    const auto w = DriveWwn(*chassis, SpareSlot());
    std::array<uint8_t, fw::MGMT_SIGNATURE_BYTES + 10> ab{};
    ab[fw::MGMT_SIGNATURE_BYTES] = 0;
    ab[fw::MGMT_SIGNATURE_BYTES + 1] = 1;
    std::memcpy(ab.data() + fw::MGMT_SIGNATURE_BYTES + 2, w.data(), 8);
    ASSERT_EQ(fw::MgmtReplaceMemberDrive(fw::MGMT_REQUEST{nullptr, nullptr, ab.data(), ab.size(), 202}), fw::MGMT_GOOD);
    ASSERT_EQ(Count(fw::EVENT_REBUILD_STARTED), 1);
    EXPECT_TRUE(SpareStartsBeforeTheCommit()) << "rebuild state " << int(fw::bGetRebuildState());
    ASSERT_EQ(board->RunUntil([] { return RebuildOver(); }, 600'000'000'000ull), sim::StopKind::Running) << Info();
    EXPECT_EQ(Count(fw::EVENT_REBUILD_COMPLETE), 1);
    EXPECT_TRUE(MemberIsSpare(1));
    memberSlots[1] = SpareSlot();
    ASSERT_NO_FATAL_FAILURE(ExpectWhole());
}

// The power fails while the rebuild stores its progress, in the record
// whose new position carries into a higher byte than the old one: after the
// k-th NVRAM byte store of it (the position's bytes, most significant first,
// are stores 46 to 49; the selector is store 65).  A cut inside the position
// of the record the selector names would leave a position past regions never
// rebuilt.  The restart resumes from what the record says, two regions back
// (event 50), and the rebuild ends with every member whole.
struct CutCase {
    RebuildCase c;
    uint32_t dCarry;   // a power of two the cut record's position reaches
    uint64_t stores;
};
void PrintTo(const CutCase& c, std::ostream* os) { *os << c.c.spec.pszName << c.stores; }

class RebuildPowerCutRoad : public RebuildFixture, public ::testing::WithParamInterface<CutCase> {};

TEST_P(RebuildPowerCutRoad, TheRestartResumesTheRebuildAndEndsWhole) {
    const CutCase& k = GetParam();
    ASSERT_NO_FATAL_FAILURE(BootWithSpare(k.c.spec));
    ASSERT_NO_FATAL_FAILURE(WriteThenLose({k.c.pulled}, true));
    ASSERT_NO_FATAL_FAILURE(RunUntilRebuiltPart(3));
    // Just after a record went in, with the host idle: each retirement
    // stores one record of 65 bytes and nothing else is stored.
    const uint32_t dAt = fw::dGetRebuildPosition();
    ASSERT_EQ(board->RunUntil([&] { return fw::dGetRebuildPosition() != dAt; }, 60'000'000'000ull), sim::StopKind::Running);
    const uint32_t dRegion = fw::wGetRebuildRegionBlocks();
    const uint32_t dRecords = (k.dCarry - fw::dGetRebuildPosition() % k.dCarry) / dRegion;
    board->nvram().CutPowerAfterWrites((dRecords - 1) * 65 + k.stores);
    board->RunUntil([] { return false; }, 60'000'000'000ull);
    ASSERT_EQ(board->lastStop(), sim::StopKind::PowerCut);
    ASSERT_NO_FATAL_FAILURE(Restart());

    ASSERT_EQ(board->RunUntil([] { return RebuildOver(); }, 600'000'000'000ull), sim::StopKind::Running);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_RESUMED), 1);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_COMPLETE), 1);
    EXPECT_TRUE(MemberIsSpare(k.c.pulled));
    memberSlots[k.c.pulled] = SpareSlot();
    ASSERT_NO_FATAL_FAILURE(ExpectWhole());
}

const CutCase kCuts[] = {
    {{{"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 32768}, 1}, 256, 48},
    {{{"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 32768}, 1}, 256, 64},
    {{{"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 32768}, 1}, 256, 65},
    {{{"Raid10", fw::RAID_LEVEL_10, 4, 16, 0, true, 2 * 262144}, 2}, 65536, 47},
};
INSTANTIATE_TEST_SUITE_P(Stores, RebuildPowerCutRoad, ::testing::ValuesIn(kCuts), [](const auto& info) {
    return std::string(info.param.c.spec.pszName) + "Store" + std::to_string(info.param.stores);
});

// The spare is slow over one region's write only, so the regions issued
// after it end first.  The progress record must stay at that region until
// its write is in, however many later ones are done: the power fails then,
// the slow write never reached the medium, and the restart rebuilds it again
// from the record.
class RebuildRetirementRoad : public RebuildFixture {};

TEST_F(RebuildRetirementRoad, RegionsEndingOutOfOrderRetireInOrder) {
    ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 32768}));
    ASSERT_NO_FATAL_FAILURE(WriteThenLose({1}, true));
    ASSERT_NO_FATAL_FAILURE(RunUntilRebuiltPart(3));
    const uint32_t dRegion = fw::wGetRebuildRegionBlocks();
    const uint64_t lFrom = fw::dGetRebuildPosition() + 2ull * dRegion;
    sim::Drive& spare = *chassis->DriveAt(SpareSlot());
    uint64_t lSlow = UINT64_MAX, lSlowBlocks = 0, later = 0;
    spare.onCommand = [&](std::span<const uint8_t> cdb) {
        if (cdb[0] != fw::SCSI_WRITE10) return;
        const uint64_t lba = fw::dGetBe32(cdb.data() + 2);
        if (lSlow == UINT64_MAX && lba >= lFrom) {
            lSlow = lba;
            lSlowBlocks = fw::wGetBe16(cdb.data() + 7);
            spare.SetExtraLatencyNs(30'000'000'000ull);
            return;
        }
        later += lSlow != UINT64_MAX && lba > lSlow;
        spare.SetExtraLatencyNs(0);
    };
    ASSERT_EQ(board->RunUntil([&] { return later >= 8; }, 20'000'000'000ull), sim::StopKind::Running);
    board->RunFor(1'000'000'000ull);
    ASSERT_NE(lSlow, UINT64_MAX);
    EXPECT_GE(later, 8u);
    // Every region before it is retired; none after it.
    EXPECT_EQ(fw::dGetRebuildPosition(), lSlow) << "the record passed a region whose write is not in";
    spare.onCommand = nullptr;
    spare.SetExtraLatencyNs(0);

    // The slow write was never acknowledged: what it carried may not be on
    // the medium.
    const std::vector<uint8_t> junk(lSlowBlocks * kBlock, 0xE5);
    spare.WriteBlocks(lSlow, uint32_t(lSlowBlocks), junk.data());
    ASSERT_NO_FATAL_FAILURE(Restart());
    ASSERT_EQ(board->RunUntil([] { return RebuildOver(); }, 600'000'000'000ull), sim::StopKind::Running);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_RESUMED), 1);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_COMPLETE), 1);
    EXPECT_TRUE(MemberIsSpare(1));
    memberSlots[1] = SpareSlot();
    ASSERT_NO_FATAL_FAILURE(ExpectWhole());
}

// Thirty-two write-back writes stay in flight from before the rebuild
// starts to after it ends, behind, about and ahead of its front, none
// overlapping another in flight: each acknowledged write reads back, and the
// spare holds the member the layout model says, the writes included.
class RebuildUnderWritesRoad : public RebuildRoad {};

TEST_P(RebuildUnderWritesRoad, WritesInFlightThroughoutTheRebuildAreKept) {
    const RebuildCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(BootWithSpare(c.spec));
    for (uint64_t a = 0; a < spec.lBlocks; a += spec.lBlocks / 8) Write(a, 256, uint32_t(a));
    Settle();
    ASSERT_NO_FATAL_FAILURE(Restart({c.pulled + 1}));
    struct InFlight {
        uint32_t tag;
        uint64_t lba;
        uint32_t blocks;
        std::vector<uint8_t> data;
    };
    std::vector<InFlight> inFlight;
    auto Overlaps = [&](uint64_t lba, uint32_t blocks) {
        for (const InFlight& f : inFlight)
            if (lba < f.lba + f.blocks && f.lba < lba + blocks) return true;
        return false;
    };
    // From the rebuild's first region on.
    ASSERT_EQ(board->RunUntil([] { return fw::bGetNvramRebuildPendingFlag() == fw::TRUE; }, 60'000'000'000ull),
              sim::StopKind::Running);
    ASSERT_EQ(fw::bGetNvramRebuildPendingFlag(), fw::TRUE) << board->ConsoleText();
    std::set<uint32_t> finished;
    host->initiator().onCompletion = [&](uint32_t tag, const sim::FcpResult&) { finished.insert(tag); };
    std::mt19937 rng(11);
    unsigned behind = 0, ahead = 0, seed = 5000, sent = 0;
    while (!RebuildDone() || !inFlight.empty()) {
        ASSERT_LT(sent, 20000u) << "the rebuild never ends under host writes: position " << fw::dGetRebuildPosition()
                                << " state " << int(fw::bGetRebuildState());
        while (inFlight.size() < 32 && !RebuildDone()) {
            ++sent;
            const uint32_t blocks = 1 + rng() % (2 * spec.wChunk);
            const uint64_t lba = rng() % (spec.lBlocks - blocks);
            if (Overlaps(lba, blocks)) continue;
            if (fw::bGetNvramRebuildPendingFlag() == fw::TRUE) {
                (lba < fw::lGetRebuildHostPosition() ? behind : ahead)++;
            }
            sim::FcpCommand cmd;
            cmd.cdb = Cdb(fw::SCSI_WRITE10, lba, blocks);
            cmd.dataOut = Random(blocks, ++seed);
            inFlight.push_back({host->Submit(cmd), lba, blocks, cmd.dataOut});
        }
        if (inFlight.empty()) continue;
        // The first to finish, whichever it is: a write the window holds
        // must not stop the others from being sent.
        ASSERT_TRUE(host->RunUntil([&] { return !finished.empty(); }, 5'000'000'000ull)) << Info();
        const uint32_t tag = *finished.begin();
        finished.erase(finished.begin());
        auto it = std::find_if(inFlight.begin(), inFlight.end(), [&](const InFlight& x) { return x.tag == tag; });
        ASSERT_NE(it, inFlight.end());
        const InFlight f = *it;
        inFlight.erase(it);
        const sim::FcpResult r = host->Wait(f.tag);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done)
            << f.lba << "+" << f.blocks << " rebuild at " << fw::lGetRebuildHostPosition() << " state "
            << int(fw::bGetRebuildState());
        ASSERT_EQ(r.status, 0) << f.lba << "+" << f.blocks << SenseText(r);
        // The reference alone: no write's fate is open here.
        for (uint32_t i = 0; i < f.blocks; ++i) {
            reference[f.lba + i].assign(f.data.begin() + i * kBlock, f.data.begin() + (i + 1) * kBlock);
            touchedRows.insert(RowOf(f.lba + i));
        }
    }
    host->initiator().onCompletion = nullptr;
    EXPECT_GT(behind, 10u);
    EXPECT_GT(ahead, 10u);
    board->RunUntil([] { return RebuildOver(); }, 60'000'000'000ull);
    ASSERT_TRUE(RebuildOver());
    EXPECT_EQ(Count(fw::EVENT_REBUILD_COMPLETE), 1);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, uint8_t(c.pulled)), fw::MEMBER_FLAGS_IN_SERVICE);
    memberSlots[c.pulled] = SpareSlot();
    Settle();
    ExpectDrivesMatchReference();
    for (uint64_t a = 0; a < spec.lBlocks; a += 4096) ExpectRead(a, uint32_t(std::min<uint64_t>(4096, spec.lBlocks - a)));
}

// The replacement starts failing its writes a quarter of the way through,
// under 32 host writes in flight: the rebuild ends (event 13), the drive
// joins the failed drives, the rebuild check starts again onto the other
// spare, and every write answered GOOD reads back from a whole array.
class ReplacementFailureRoad : public RebuildRoad {
protected:
    enum class Failing { AllWrites, HostWrites, RebuildWrites };
    // Which writes to the first spare fail once the rebuild is a quarter
    // through: the rebuild's own (whole regions) or the host's behind its
    // front, told apart by their size and place.
    void RunWithFailingReplacement(const RebuildCase& c, Failing failing) {
        ASSERT_NO_FATAL_FAILURE(BootWithSpare(c.spec, 2));
        ASSERT_NO_FATAL_FAILURE(WriteThenLose({c.pulled}));
        ASSERT_NO_FATAL_FAILURE(RunUntilRebuiltPart(4));
        sim::Drive& spare = *chassis->DriveAt(SpareSlot(0));
        const uint32_t region = fw::wGetRebuildRegionBlocks();
        spare.onCommand = [&spare, failing, region](std::span<const uint8_t> cdb) {
            if (cdb[0] != fw::SCSI_WRITE10) return;
            const bool whole = fw::wGetBe16(cdb.data() + 7) == region && fw::dGetBe32(cdb.data() + 2) % region == 0;
            if (failing == Failing::AllWrites || whole == (failing == Failing::RebuildWrites)) {
                spare.FailCommand(fw::SCSI_WRITE10, 1);
            }
        };
        // The host's writes to the replacement are flushed from the cache in
        // whole chunks too: the rebuild's own failing alone is shown with
        // the host idle.
        if (failing != Failing::RebuildWrites) {
            ASSERT_NO_FATAL_FAILURE(WriteLoad(spec.lBlocks, 300, 29, [](uint32_t) {}, [] { return false; }, 200'000'000'000ull));
        }
        ASSERT_EQ(board->RunUntil([] { return RebuildOver() && Count(fw::EVENT_REBUILD_COMPLETE) == 1; }, 600'000'000'000ull),
                  sim::StopKind::Running)
            << board->ConsoleText();
        spare.onCommand = nullptr;
        EXPECT_EQ(Count(fw::EVENT_REBUILD_TARGET_FAILED), 1);
        EXPECT_EQ(Count(fw::EVENT_REBUILD_SOURCE_FAILED), 0);
        EXPECT_EQ(Count(fw::EVENT_REBUILD_STARTED), 2);
        const auto failed = DriveWwn(*chassis, SpareSlot(0));
        EXPECT_EQ(fw::fIsWwnInFailedDriveList(failed.data(), fw::pGetConfigImage()), fw::TRUE);
        EXPECT_TRUE(MemberIsSpare(c.pulled, 1));
        memberSlots[c.pulled] = SpareSlot(1);
        ASSERT_NO_FATAL_FAILURE(ExpectWhole());
        // The next start knows the drive failed.
        ASSERT_NO_FATAL_FAILURE(Restart());
        EXPECT_EQ(fw::fIsWwnInFailedDriveList(failed.data(), fw::pGetConfigImage()), fw::TRUE);
        EXPECT_TRUE(MemberIsSpare(c.pulled, 1));
    }
};

TEST_P(ReplacementFailureRoad, AReplacementFailingMidRebuildGivesWayToTheNextSpare) {
    RunWithFailingReplacement(GetParam(), Failing::AllWrites);
}

const RebuildCase kRaid5Replacement = {{"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 16384}, 2};

TEST_F(ReplacementFailureRoad, AHostWriteFailingOnTheReplacementEndsTheRebuild) {
    RunWithFailingReplacement(kRaid5Replacement, Failing::HostWrites);
}

TEST_F(ReplacementFailureRoad, ARegionWriteFailingOnTheReplacementEndsTheRebuild) {
    RunWithFailingReplacement(kRaid5Replacement, Failing::RebuildWrites);
}

const RebuildCase kReplacementFailures[] = {
    {{"Raid10", fw::RAID_LEVEL_10, 4, 16, 0, true, 2 * 131072}, 1},
    {{"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 16384}, 2},
    {{"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, true, 3 * 16384}, 0},
};
INSTANTIATE_TEST_SUITE_P(Levels, ReplacementFailureRoad, ::testing::ValuesIn(kReplacementFailures),
                         [](const auto& info) { return std::string(info.param.spec.pszName); });

// A member the rebuild reads from starts failing its reads.  On RAID 6 it
// becomes the rebuild's second member, the rebuild goes on without it, and
// the pass after it rebuilds it onto the other spare.  On a mirror the pair
// is lost: the rebuild ends (event 12), the member leaves the array, and
// the replacement goes back to the unassigned drives, not failed.
TEST_F(Raid6RebuildRoad, ASourceFailingItsReadsBecomesTheSecondMember) {
    ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, true, 3 * 16384}, 2));
    ASSERT_NO_FATAL_FAILURE(WriteThenLose({1}));
    ASSERT_NO_FATAL_FAILURE(RunUntilRebuiltPart(4));
    chassis->DriveAt(4)->FailCommand(fw::SCSI_READ10, 1u << 30);
    ASSERT_EQ(board->RunUntil([] { return fw::bGetRankMemberFlags(0, 3) != fw::MEMBER_FLAGS_IN_SERVICE; },
                              60'000'000'000ull),
              sim::StopKind::Running);
    EXPECT_EQ(fw::bGetRebuildRecordByte(1), 3);
    ASSERT_NO_FATAL_FAILURE(ExpectRebuiltOntoTheSpares(1, 3));
    EXPECT_EQ(Count(fw::EVENT_REBUILD_SOURCE_FAILED), 0);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_TARGET_FAILED), 0);
}

class MirrorSourceFailureRoad : public RebuildFixture {};

TEST_F(MirrorSourceFailureRoad, ASourceFailingItsReadsEndsTheRebuild) {
    ASSERT_NO_FATAL_FAILURE(BootWithSpare({"Raid10", fw::RAID_LEVEL_10, 4, 16, 0, true, 2 * 131072}));
    ASSERT_NO_FATAL_FAILURE(WriteThenLose({3}));
    ASSERT_NO_FATAL_FAILURE(RunUntilRebuiltPart(4));
    chassis->DriveAt(3)->FailCommand(fw::SCSI_READ10, 1u << 30);
    ASSERT_EQ(board->RunUntil([] { return fw::bGetNvramRebuildPendingFlag() != fw::TRUE; }, 60'000'000'000ull),
              sim::StopKind::Running);
    board->RunFor(2'000'000'000ull);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_SOURCE_FAILED), 1);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_TARGET_FAILED), 0);
    EXPECT_EQ(Count(fw::EVENT_REBUILD_COMPLETE), 0);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 2), fw::MEMBER_FAILED);
    EXPECT_NE(fw::bGetRankMemberFlags(0, 3), fw::MEMBER_FLAGS_IN_SERVICE);
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_FAILED);
    const auto failedSource = DriveWwn(*chassis, 3), replacement = DriveWwn(*chassis, SpareSlot());
    EXPECT_EQ(fw::fIsWwnInFailedDriveList(failedSource.data(), fw::pGetConfigImage()), fw::TRUE);
    EXPECT_EQ(fw::fIsWwnInFailedDriveList(replacement.data(), fw::pGetConfigImage()), fw::FALSE);
    uint8_t bDrive = 0xFF, bSlot = 0;
    ASSERT_EQ(fw::fFindDriveByWWN(replacement.data(), &bDrive), fw::TRUE);
    EXPECT_EQ(fw::fFindDriveSlot(bDrive, &bSlot), fw::TRUE) << "the replacement is no unassigned drive again";
    EXPECT_EQ(fw::fGetRebuildWork(), fw::FALSE);
}

const RebuildCase kCases[] = {
    {{"Raid1", fw::RAID_LEVEL_10, 2, 16, 0, true, 40000}, 0},
    {{"Raid10", fw::RAID_LEVEL_10, 6, 16, 0, true, 3 * 32000}, 3},
    {{"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 32768}, 1},
    {{"Raid50", fw::RAID_LEVEL_50, 6, 16, 2, true, 4 * 16384}, 5},
    {{"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, true, 3 * 16384}, 2},
};
INSTANTIATE_TEST_SUITE_P(Levels, RebuildRoad, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.spec.pszName); });

// Sized so that the front moves through many regions while the writes run.
const RebuildCase kUnderWrites[] = {
    {{"Raid1", fw::RAID_LEVEL_10, 2, 16, 0, true, 40000}, 0},
    // A mirror rebuild holds writes from 32 regions behind its front to 20
    // ahead, and a flush held there waits at the head of its ring: the
    // member spans well over those 52 regions, or the hosts stall for most
    // of the rebuild and whether any write lands behind the front is luck.
    {{"Raid10", fw::RAID_LEVEL_10, 6, 16, 0, true, 3 * 262144}, 3},
    {{"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, true, 3 * 4096}, 2},
    // Long enough for a degraded write's spare entries, given back, to be
    // taken by another write's group held behind its own.
    {{"Raid6Long", fw::RAID_LEVEL_6, 5, 16, 0, true, 3 * 16384}, 2},
    {{"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 4096}, 1},
    {{"Raid50", fw::RAID_LEVEL_50, 6, 16, 2, true, 4 * 2048}, 5},
};
INSTANTIATE_TEST_SUITE_P(Levels, RebuildUnderWritesRoad, ::testing::ValuesIn(kUnderWrites),
                         [](const auto& info) { return std::string(info.param.spec.pszName); });

}  // namespace
