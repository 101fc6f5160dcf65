// Drives that fail while the controller runs: a member of a redundant array
// whose writes start failing under load leaves its array (event 27, with
// event 10 for its sense), the commands it was serving are done again
// without it, every write answered GOOD reads back, and the survivors hold
// what the layout model says.  The failure is committed: a restart finds the
// array degraded.  A pulled drive holds up nothing.  Where nothing can stand
// in for the blocks the host hears of the error instead.
#include "harness/dispatch_board.h"
#include "host_road.h"
#include "config/config_commit.h"
#include "config/config_image.h"
#include "config/config_db.h"
#include "raid/child_commands.h"
#include "raid/drive_error_recovery.h"
#include "config/config_flags.h"
#include "config/config_phase.h"
#include "enclosure/drive_error_counters.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "sas/active_active.h"
#include "sas/sas_device_list.h"
#include "executive/progress.h"

namespace {

using namespace roadtest;

constexpr uint8_t kDriveFailed = 10;
constexpr uint8_t kArrayCritical = 27;
constexpr uint8_t kHostCommandFailed = 64;
constexpr uint8_t kDriveOutOfService = 14;
constexpr uint8_t kDriveRemoved = 118;
constexpr uint8_t kDriveCheckCondition = 39;
constexpr uint8_t kDriveSenseDetail = 170;

// A pulled drive's member leaves through whichever comes first: its
// commands given up, or the rescan that no longer finds it.
enum class Fault { FailsWrites, StopsAnswering, Pulled };

struct FailCase {
    const char* pszName;
    ArraySpec array;
    std::vector<unsigned> slots;   // members that fail, one after the other
    Fault fault = Fault::FailsWrites;
};

// The failure's commit (and the rescan it asked for) has reached the
// drives.
void SettleConfiguration(sim::Board& board) {
    const auto fIdle = [] {
        return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE && fw::fIsConfigUpdatePending() != fw::TRUE &&
               fw::fIsConfigCommitInProgress() != fw::TRUE && fw::fIsDriveRescanInProgress() != fw::TRUE &&
               fw::fIsDriveRescanRequested() != fw::TRUE;
    };
    board.RunUntil(fIdle, kSettleLimitNs);
    ASSERT_TRUE(fIdle()) << "the configuration never came to rest";
}

// Test names say it; the bytes of the case say nothing.
void PrintTo(const FailCase& c, std::ostream* os) { *os << c.pszName; }

class DriveFailureRoad : public RestartRoad, public ::testing::WithParamInterface<FailCase> {
protected:
    static constexpr uint64_t kRows = 24;
    uint32_t sentAfterOutOfService = 0;

    // Writes of random lengths, 32 in flight, none overlapping another in
    // flight; after every `every` answers the next member of `failing` has
    // every write it receives fail, or stops answering.  Every write must be
    // answered GOOD.
    void WriteUnderLoad(uint32_t count, const std::vector<unsigned>& failing, uint32_t every, Fault fault) {
        size_t armed = 0;
        const auto arm = [&](uint32_t answered) {
            if (armed == failing.size() || answered < (armed + 1) * every) return;
            sim::Drive* d = chassis->DriveAt(failing[armed++]);
            if (fault == Fault::FailsWrites) {
                d->FailCommand(fw::SCSI_WRITE10, 1u << 30);
            } else if (fault == Fault::Pulled) {
                chassis->Pull(failing[armed - 1]);
            } else {
                d->SetNoResponse(true);
                // Once out of service it is sent nothing more: what was
                // queued for it fails at once instead of waiting out
                // another time-out.
                const uint32_t outBefore = harness::CountEvents(kDriveOutOfService) + uint32_t(armed) - 1;
                d->onCommand = [this, outBefore](std::span<const uint8_t>) {
                    if (harness::CountEvents(kDriveOutOfService) > outBefore) ++sentAfterOutOfService;
                };
            }
        };
        // A drive that stops answering holds its commands until their
        // deadline (25 s and more) has passed, twice; a pulled one holds
        // nothing.
        const uint64_t waitNs = fault == Fault::Pulled ? 10'000'000'000ull : 200'000'000'000ull;
        ASSERT_NO_FATAL_FAILURE(WriteLoad(RowBlocks() * kRows, count, 17, arm, [] { return false; }, waitNs));
        ASSERT_EQ(armed, failing.size()) << "the load ended before every failure was armed";
    }
    // The members still in the array hold what the layout model says of
    // every row written; the failed ones are passed over.
    void ExpectSurvivorsMatchReference(const std::vector<unsigned>& failed) {
        for (uint64_t row : touchedRows) {
            const std::vector<std::vector<uint8_t>> want = RowImage(row);
            for (unsigned m = 0; m < spec.bDrives; ++m) {
                if (std::find(failed.begin(), failed.end(), m + 1) != failed.end()) continue;
                std::vector<uint8_t> v(spec.wChunk * kBlock);
                chassis->DriveAt(m + 1)->ReadBlocks(row * spec.wChunk, spec.wChunk, v.data());
                ASSERT_TRUE(v == want[m]) << "row " << row << " member " << m;
            }
        }
    }
    void ExpectMembersOut(const std::vector<unsigned>& failed) {
        for (unsigned m = 0; m < spec.bDrives; ++m) {
            const bool fFailed = std::find(failed.begin(), failed.end(), m + 1) != failed.end();
            EXPECT_EQ(fw::bGetRankMemberFlags(0, uint8_t(m)) != fw::MEMBER_FLAGS_IN_SERVICE, fFailed) << "member " << m;
        }
        EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED);
    }
};

TEST_P(DriveFailureRoad, AMemberFailingItsWritesLeavesItsArrayAndNothingAnsweredIsLost) {
    const FailCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Boot(c.array));
    const uint32_t criticalBefore = harness::CountEvents(kArrayCritical);
    const uint32_t failedBefore = harness::CountEvents(kDriveFailed);
    const uint32_t reportedBefore = harness::CountEvents(kHostCommandFailed);
    const uint32_t cyclesBefore = fw::dMainLoopCycles;
    const uint64_t startNs = board->clock().Now();
    std::vector<std::array<uint8_t, 8>> failedWwns;
    for (unsigned slot : c.slots) failedWwns.push_back(DriveWwn(*chassis, slot));
    ASSERT_NO_FATAL_FAILURE(WriteUnderLoad(240, c.slots, 60, c.fault));
    // Write-back writes were answered from the cache: the drives that stopped
    // answering still hold their commands until the time-out scan has reset
    // them and then given them up.
    board->RunUntil([&] { return harness::CountEvents(kArrayCritical) >= criticalBefore + c.slots.size(); },
                    200'000'000'000ull);
    // While its commands wait out their time-out, the controller waits too:
    // going round the main loop for them, it would turn some hundred times a
    // millisecond and the wait would cost minutes of the processor.
    if (c.fault == Fault::StopsAnswering) {
        const uint64_t waitedMs = (board->clock().Now() - startNs) / 1'000'000;
        EXPECT_LT(fw::dMainLoopCycles - cyclesBefore, 3 * waitedMs);
    }
    Settle();
    EXPECT_EQ(harness::CountEvents(kArrayCritical), criticalBefore + c.slots.size());
    // The log still tells of every drive pulled: the commands that were
    // under way to it did not bury it.
    if (c.fault == Fault::Pulled) {
        EXPECT_EQ(harness::CountEvents(kDriveRemoved), c.slots.size());
    }
    // A drive that stops answering has no sense to report.
    const uint32_t withSense = c.fault == Fault::FailsWrites ? uint32_t(c.slots.size()) : 0;
    EXPECT_EQ(harness::CountEvents(kDriveFailed), failedBefore + withSense);
    EXPECT_EQ(harness::CountEvents(kHostCommandFailed), reportedBefore);
    EXPECT_EQ(sentAfterOutOfService, 0u);
    ExpectMembersOut(c.slots);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, uint32_t(RowBlocks() * kRows)));
    ASSERT_NO_FATAL_FAILURE(ExpectSurvivorsMatchReference(c.slots));
    // The failure is on the drives: the next start runs the array degraded.
    ASSERT_NO_FATAL_FAILURE(SettleConfiguration(*board));
    // The drive list was read again: a failed drive still answering is
    // listed as failed and in no array, one that is gone is not listed.
    for (size_t i = 0; i < c.slots.size(); ++i) {
        const unsigned slot = c.slots[i];
        fw::DRIVE_INFO* ps = nullptr;
        uint8_t bIndex = 0;
        if (fw::fFindDriveByWWN(failedWwns[i].data(), &ps, &bIndex) != fw::TRUE) {
            EXPECT_NE(c.fault, Fault::FailsWrites) << "slot " << slot;
            continue;
        }
        EXPECT_EQ(ps->bDriveStatus, fw::DRIVE_STATUS_FAILED_LIST) << "slot " << slot;
        EXPECT_EQ(ps->bRankNo, 0xFF) << "slot " << slot;
    }
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    ExpectMembersOut(c.slots);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, uint32_t(RowBlocks() * kRows)));
}

ArraySpec WriteThrough(ArraySpec a) {
    a.fWriteBack = false;
    return a;
}

const FailCase kFailures[] = {
    {"Raid10", {"Raid10", fw::RAID_LEVEL_10, 4, 16}, {3}},
    {"Raid10WriteThrough", WriteThrough({"Raid10", fw::RAID_LEVEL_10, 4, 16}), {2}},
    {"Raid5", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, {2}},
    {"Raid5WriteThrough", WriteThrough({"Raid5", fw::RAID_LEVEL_5, 4, 16}), {4}},
    {"Raid50", {"Raid50", fw::RAID_LEVEL_50, 6, 16, 2}, {5}},
    {"Raid6TwoMembers", {"Raid6", fw::RAID_LEVEL_6, 5, 16}, {2, 4}},
    {"Raid6TwoMembersWriteThrough", WriteThrough({"Raid6", fw::RAID_LEVEL_6, 5, 16}), {1, 5}},
    {"Raid10StopsAnswering", {"Raid10", fw::RAID_LEVEL_10, 4, 16}, {3}, Fault::StopsAnswering},
    {"Raid1StopsAnsweringWriteThrough", WriteThrough({"Raid1", fw::RAID_LEVEL_10, 2, 16}), {2}, Fault::StopsAnswering},
    {"Raid5StopsAnsweringWriteThrough", WriteThrough({"Raid5", fw::RAID_LEVEL_5, 4, 16}), {3}, Fault::StopsAnswering},
    {"Raid6TwoStopAnswering", {"Raid6", fw::RAID_LEVEL_6, 5, 16}, {3, 4}, Fault::StopsAnswering},
    {"Raid5Pulled", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, {2}, Fault::Pulled},
    {"Raid10PulledWriteThrough", WriteThrough({"Raid10", fw::RAID_LEVEL_10, 4, 16}), {4}, Fault::Pulled},
    {"Raid6TwoPulled", {"Raid6", fw::RAID_LEVEL_6, 5, 16}, {1, 3}, Fault::Pulled},
};
INSTANTIATE_TEST_SUITE_P(Levels, DriveFailureRoad, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.pszName); });

// ---- errors nothing can stand in for --------------------------------------

class DriveErrorRoad : public HostRoad {
protected:
    uint8_t TargetOfMember(unsigned member) {
        return board->sasController().TargetOf(chassis->ConfigAt(member + 1)->sasAddress);
    }
    static uint32_t ErrorCount(uint8_t bEnclosure, uint8_t bSlot, uint8_t bKind) {
        return fw::wGetDriveErrorCounter(bEnclosure, bSlot, uint8_t(bKind - 1));
    }
};

// A RAID 0 member whose blocks cannot be read: the host hears MEDIUM ERROR
// (after the read is tried again), the member stays in the array, and the
// rest of the logical drive reads as written.
TEST_F(DriveErrorRoad, AnUnreadableBlockOfRaid0IsAMediumErrorForTheHost) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 3, 16, 0, false}));
    ASSERT_NO_FATAL_FAILURE(Write(0, 96, 1));
    const raidref::Place p = DataPlace(40);
    chassis->DriveAt(p.member + 1)->InjectMediaError(p.block, 1);
    const sim::FcpResult r = host->Send(0, Cdb(fw::SCSI_READ10, 32, 16), {}, 16 * kBlock);
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(SenseText(r), " sense 3/11/01");
    EXPECT_EQ(fw::bGetRankMemberFlags(0, uint8_t(p.member)), fw::MEMBER_FLAGS_IN_SERVICE);
    // Each error the drive reported is logged with the rest of its sense:
    // the information field names the block it could not read.
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    uint32_t details = 0;
    for (uint16_t w = 0; w + 1 < wCount; ++w) {
        if (fw::psGetEventLogEntry(w)->bCode != kDriveCheckCondition) continue;
        const fw::EVENT_LOG_ENTRY* ps = fw::psGetEventLogEntry(uint16_t(w + 1));
        ASSERT_EQ(ps->bCode, kDriveSenseDetail);
        EXPECT_EQ(fw::dGetBe32(ps->abArgs), uint32_t(p.block));
        ++details;
    }
    EXPECT_GT(details, 0u);
    // The drive's error history holds each of them, as a media error and
    // as one the controller dealt with.
    uint8_t bEnclosure = 0, bSlot = 0;
    ASSERT_EQ(fw::bGetEnclosureSlotOfTarget(TargetOfMember(p.member), &bEnclosure, &bSlot), fw::STATUS_OK);
    EXPECT_EQ(ErrorCount(bEnclosure, bSlot, fw::ERROR_KIND_MEDIA), details);
    EXPECT_EQ(ErrorCount(bEnclosure, bSlot, fw::ERROR_KIND_RECOVERED), details);
    EXPECT_EQ(ErrorCount(bEnclosure, bSlot, fw::ERROR_KIND_HARDWARE), 0u);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(48, 48));
    Settle();
}

// A drive behind a multiplexer whose path fails under a read: the first
// failure asks for the drive's port and sends the read again (event 39 says
// so, as an aborted command); only the second counts against the drive and is
// served from the other members.  The port goes back with the command.
TEST_F(DriveErrorRoad, AFailedPathToAMultiplexedDriveIsAskedForOnceAndGivenBack) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, false}));
    ASSERT_NO_FATAL_FAILURE(Write(0, 96, 1));
    const raidref::Place p = DataPlace(40);
    const uint8_t bTarget = TargetOfMember(p.member);
    fw::SAS_DEVICE_ENTRY* psDevice = fw::psGetSASDeviceOfTarget(bTarget);
    ASSERT_NE(psDevice, nullptr);
    psDevice->wDeviceFlags |= 0x20;
    sim::Drive* d = chassis->DriveAt(p.member + 1);
    d->InjectMediaError(p.block, 1);
    std::vector<uint32_t> heldAtRead;
    d->onCommand = [&](std::span<const uint8_t> cdb) {
        if (cdb[0] == fw::SCSI_READ10) heldAtRead.push_back(fw::dGetSASTargetFlags(bTarget) & fw::SAS_AA_NEEDS_DRIVE);
    };
    const uint32_t before = harness::CountEvents(kDriveCheckCondition);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(32, 16));
    d->onCommand = nullptr;
    ASSERT_GE(heldAtRead.size(), 2u);
    EXPECT_EQ(heldAtRead[0], 0u);
    EXPECT_NE(heldAtRead[1], 0u) << "the read went again without the drive's port";
    EXPECT_EQ(fw::bGetSASTargetHoldCount(bTarget), 0);
    EXPECT_EQ(fw::dGetSASTargetFlags(bTarget) & (fw::SAS_AA_NEEDS_DRIVE | fw::SAS_AA_HAS_DRIVE), 0u);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, uint8_t(p.member)), fw::MEMBER_FLAGS_IN_SERVICE);
    // One failover event (status 2, READ(10), aborted, 255, 255), then the
    // media error's own.
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    std::vector<std::vector<uint8_t>> seen;
    for (uint16_t w = 0; w < wCount; ++w) {
        const fw::EVENT_LOG_ENTRY* ps = fw::psGetEventLogEntry(w);
        if (ps->bCode == kDriveCheckCondition) seen.push_back({ps->abArgs + 9, ps->abArgs + 14});
    }
    ASSERT_EQ(seen.size(), before + 2u);
    EXPECT_EQ(seen[before], (std::vector<uint8_t>{2, fw::SCSI_READ10, 0x0B, 0xFF, 0xFF}));
    EXPECT_EQ(seen[before + 1], (std::vector<uint8_t>{2, fw::SCSI_READ10, 0x03, 0x11, 0x00}));
    uint8_t bEnclosure = 0, bSlot = 0;
    ASSERT_EQ(fw::bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot), fw::STATUS_OK);
    EXPECT_EQ(ErrorCount(bEnclosure, bSlot, fw::ERROR_KIND_RECOVERED), 2u);
    EXPECT_EQ(ErrorCount(bEnclosure, bSlot, fw::ERROR_KIND_MEDIA), 1u);
    Settle();
}

// The event 10 of the member's failure: its sense key, ASC and ASCQ.
std::vector<uint8_t> DriveFailedSense() {
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    for (uint16_t w = 0; w < wCount; ++w) {
        const fw::EVENT_LOG_ENTRY* ps = fw::psGetEventLogEntry(w);
        if (ps->bCode == kDriveFailed) return {ps->abArgs[11], ps->abArgs[12], ps->abArgs[13]};
    }
    return {};
}

// Transport errors are sent again, up to 250 times: a drive answering BUSY
// for a while is waited out, the member stays, every write is GOOD.  A
// CHECK CONDITION that brings no sense counts as ABORTED COMMAND 0x47 (a
// transport error too): after 250 of them the member leaves its array with
// that sense (event 10) and the write is done again without it.
TEST_F(DriveErrorRoad, TransportErrorsAreSentAgainUpTo250TimesBeforeTheMemberFails) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, false}));
    chassis->DriveAt(2)->AnswerBusy(fw::SCSI_WRITE10, 240);
    uint32_t writes = 0;
    chassis->DriveAt(2)->onCommand = [&writes](std::span<const uint8_t> cdb) { writes += cdb[0] == fw::SCSI_WRITE10; };
    ASSERT_NO_FATAL_FAILURE(Write(0, 48, 1));
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_IN_SERVICE);
    EXPECT_EQ(harness::CountEvents(kArrayCritical), 0u);
    EXPECT_GT(writes, 240u);

    writes = 0;
    chassis->DriveAt(2)->FailWithoutSense(fw::SCSI_WRITE10, 1u << 30);
    ASSERT_NO_FATAL_FAILURE(Write(0, 48, 2));
    EXPECT_EQ(writes, fw::DRIVE_TRANSPORT_RETRIES);
    // Each BUSY and each bare CHECK CONDITION was one dealt with; neither
    // says the drive's media or hardware is at fault.
    uint8_t bEnclosure = 0, bSlot = 0;
    ASSERT_EQ(fw::bGetEnclosureSlotOfTarget(TargetOfMember(1), &bEnclosure, &bSlot), fw::STATUS_OK);
    EXPECT_EQ(ErrorCount(bEnclosure, bSlot, fw::ERROR_KIND_RECOVERED), 240u + fw::DRIVE_TRANSPORT_RETRIES);
    EXPECT_EQ(ErrorCount(bEnclosure, bSlot, fw::ERROR_KIND_HARDWARE) + ErrorCount(bEnclosure, bSlot, fw::ERROR_KIND_MEDIA),
              0u);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FAILED);
    EXPECT_EQ(harness::CountEvents(kArrayCritical), 1u);
    EXPECT_EQ(DriveFailedSense(), (std::vector<uint8_t>{0x0B, 0x47, 0x00}));
    chassis->DriveAt(2)->onCommand = nullptr;
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, 96));
    Settle();
}

// Drives whose queues fill under 32 writes in flight answer TASK SET FULL:
// each refused command is sent again once its drive has room, no member
// leaves, nothing counts as a drive error, and every write lands.
TEST_F(DriveErrorRoad, ADriveWithAFullQueueIsWaitedForNeverFailed) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, false}));
    for (unsigned m = 1; m <= 5; ++m) chassis->DriveAt(m)->SetQueueDepth(m == 3 ? 1 : 3);
    constexpr uint64_t kRows = 24;
    ASSERT_NO_FATAL_FAILURE(WriteLoad(RowBlocks() * kRows, 160, 23, [](uint32_t) {}, [] { return false; }));
    Settle();
    uint64_t refused = 0;
    for (unsigned m = 1; m <= 5; ++m) refused += chassis->DriveAt(m)->TaskSetFullCount();
    EXPECT_GT(refused, 0u) << "no drive was ever full: the test tests nothing";
    for (uint8_t m = 0; m < 5; ++m) EXPECT_EQ(fw::bGetRankMemberFlags(0, m), fw::MEMBER_FLAGS_IN_SERVICE) << int(m);
    EXPECT_EQ(harness::CountEvents(kArrayCritical), 0u);
    EXPECT_EQ(harness::CountEvents(kDriveCheckCondition), 0u);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, uint32_t(RowBlocks() * kRows)));
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
}

// A drive that keeps failing a command with HARDWARE ERROR on a degraded
// RAID 5 cannot leave the array (its group would be lost): the host hears
// the drive's sense, and the member stays.
TEST_F(DriveErrorRoad, ADegradedRaid5KeepsItsLastMembersAndReportsTheError) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, false}));
    ASSERT_NO_FATAL_FAILURE(Write(0, 192, 3));
    chassis->DriveAt(1)->FailCommand(fw::SCSI_WRITE10, 1u << 30);
    ASSERT_NO_FATAL_FAILURE(Write(0, 48, 4));
    ASSERT_NE(fw::bGetRankMemberFlags(0, 0), fw::MEMBER_FLAGS_IN_SERVICE);
    chassis->DriveAt(2)->FailCommand(fw::SCSI_WRITE10, 1u << 30);
    const sim::FcpResult r = host->Send(0, Cdb(fw::SCSI_WRITE10, 0, 48), Random(48, 5));
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(SenseText(r), " sense 4/44/00");
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_IN_SERVICE);
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED);
}

// A member failing while a commit writes the image to the drives: every
// copy the drives hold afterwards is whole (its checks hold), and the newest
// names the member failed.
TEST_F(DriveErrorRoad, AMemberFailingWhileTheImageIsWrittenLeavesEveryCopyWhole) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, false}));
    ASSERT_NO_FATAL_FAILURE(SettleConfiguration(*board));
    // Slow drives: the failure comes while the copies are being written.
    for (unsigned m = 1; m <= 4; ++m) chassis->DriveAt(m)->SetExtraLatencyNs(2'000'000);
    const uint64_t blocks = chassis->DriveAt(1)->config().blocks;
    const auto Generation = [&](unsigned slot) {
        std::vector<uint8_t> ab(512);
        chassis->DriveAt(slot)->ReadBlocks(blocks - 1 - 32768, 1, ab.data());
        return reinterpret_cast<const fw::CONFIG_HEADER*>(ab.data())->dGeneration;
    };
    const uint32_t before = Generation(1);
    (void)fw::RequestConfigUpdate(fw::REQUESTER_DRIVE_FAILURE);
    // The lead copy is on its drive; the others are still to come.
    board->RunUntil([&] {
        for (unsigned slot = 1; slot <= 4; ++slot)
            if (Generation(slot) != before) return true;
        return false;
    }, kSettleLimitNs);
    ASSERT_EQ(fw::fIsConfigCommitInProgress(), fw::TRUE);
    fw::FailArrayMember(0, 3, fw::TRUE, 0xFF, fw::SENSE_HARDWARE_ERROR, 0x44, 0);
    const auto ExpectCopies = [&](bool fFailed) {
        for (unsigned slot = 1; slot <= 3; ++slot) {
            std::vector<uint8_t> ab(fw::CONFIG_IMAGE_SIZE);
            chassis->DriveAt(slot)->ReadBlocks(blocks - 1 - 32768, fw::CONFIG_IMAGE_BLOCKS, ab.data());
            const auto* ps = reinterpret_cast<const fw::CONFIG_IMAGE*>(ab.data());
            EXPECT_EQ(fw::fIsConfigImageValid(ps), fw::TRUE) << "slot " << slot;
            if (fFailed) {
                EXPECT_EQ(ps->asRank[0].abMemberState[3], 17) << "slot " << slot;
            }
        }
    };
    // A power cut once the running commit has written the other copies
    // finds whole copies only.
    board->RunUntil([&] { return Generation(2) != before && Generation(3) != before; }, kSettleLimitNs);
    ExpectCopies(false);
    // The commit that follows names the member failed on every copy.
    ASSERT_NO_FATAL_FAILURE(SettleConfiguration(*board));
    ExpectCopies(true);
}

}  // namespace
