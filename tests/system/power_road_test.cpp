// Power management on the host road: an array set to spin down after a
// minute idle parks its members once the host leaves it alone (its cached
// writes on the drives first), and host reads and writes to the parked
// array wait for the spin-up and succeed; no command fails, no member is
// failed, and no media command reaches a parked drive.
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "enclosure/drive_spin.h"
#include "enclosure/power_management.h"
#include "cache/nvram_journal.h"
#include "eventlog/event_log.h"
#include "executive/date_time.h"
#include "executive/rtc.h"
#include "executive/tick.h"
#include "sim/rtc.h"
#include "harness/config_builder.h"
#include "harness/dispatch_board.h"
#include "host_road.h"

namespace {

using namespace roadtest;

constexpr uint64_t kSpinUpNs = 2'000'000'000ull;
constexpr uint64_t kSecond = 1'000'000'000ull;
// The spin job asks a starting drive whether it is ready every 4 s.
constexpr uint64_t kPollNs = 4 * kSecond;
constexpr uint8_t kTestStarted = 150;
constexpr uint8_t kTestFinished = 151;
constexpr uint8_t kEventKindArray = 2;

class PowerRoad : public HostRoad, public ::testing::WithParamInterface<ArraySpec> {
protected:
    PowerRoad() {
        chassisOptions.spinUpNs = kSpinUpNs;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
    }
    // The array spins down after one idle minute.
    // With a test period (hours), it is tested whenever it has been parked
    // that long.
    void BootParking(const ArraySpec& a, uint8_t bTestHours = 0) {
        spec = a;
        std::vector<uint8_t> ab = Configuration(a);
        uint8_t* pb = reinterpret_cast<uint8_t*>(&copytest::Image(ab)->asRank[0]) + fw::ARRAY_APM_RECORD_OFFSET;
        const uint8_t bOptions = bTestHours != 0 ? fw::ARRAY_APM_SPIN_DOWN_AND_TEST : fw::ARRAY_APM_SPIN_DOWN;
        const uint8_t abSettings[fw::ARRAY_APM_RECORD_BYTES] = {bOptions, 0, 0, bTestHours, 0, 1};
        std::memcpy(pb, abSettings, sizeof abSettings);
        copytest::Seal(ab);
        for (unsigned s = 1; s <= a.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        Start();
        // A media command to a parked member is a fault of the engine.
        for (unsigned slot = 1; slot <= spec.bDrives; ++slot) {
            sim::Drive* d = chassis->DriveAt(slot);
            d->onCommand = [this, d](std::span<const uint8_t> cdb) {
                const uint8_t op = cdb[0];
                const bool media = op == fw::SCSI_READ10 || op == fw::SCSI_WRITE10 || op == fw::SCSI_READ16 ||
                                   op == fw::SCSI_WRITE16 || op == fw::SCSI_VERIFY10;
                if (media && d->Parked()) ++mediaToParked;
                if (op != fw::SCSI_WRITE10 && op != fw::SCSI_WRITE16) return;
                ++writes[d];
                if (firstWriteNs == 0) firstWriteNs = board->clock().Now();
            };
        }
    }
    bool AllParked() const {
        for (unsigned slot = 1; slot <= spec.bDrives; ++slot)
            if (!chassis->DriveAt(slot)->Parked()) return false;
        return true;
    }
    // Every host command answered GOOD within the spin-up and a poll of it.
    void ExpectWithinSpinUp(uint64_t lStartNs) {
        EXPECT_LE(board->clock().Now() - lStartNs, kSpinUpNs + kPollNs + kSecond);
    }
    uint64_t mediaToParked = 0;
    std::map<const sim::Drive*, uint64_t> writes;
    uint64_t firstWriteNs = 0;
};

TEST_P(PowerRoad, AnIdleArrayParksAndHostCommandsWaitForItsSpinUp) {
    ASSERT_NO_FATAL_FAILURE(BootParking(GetParam()));
    ASSERT_EQ(fw::wGetArrayAPMOptions(0), fw::ARRAY_APM_SPIN_DOWN);
    for (uint32_t i = 0; i < 8; ++i) Write(i * 97, 1 + i % 5, 10 + i);
    // Written back just before the idle time: on the drives before they stop.
    Write(4000, 24, 99);
    const uint64_t lWritten = board->clock().Now();

    board->RunUntil([this] { return AllParked(); }, 4 * 60 * kSecond);
    ASSERT_TRUE(AllParked()) << board->ConsoleText();
    EXPECT_EQ(fw::bGetArrayAPMState(0), fw::APM_SPUN_DOWN);
    EXPECT_GE(board->clock().Now() - lWritten, 60 * kSecond) << "parked before its idle minute";
    const fw::EVENT_LOG_ENTRY* ps = harness::NewestEvent(149);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[0], 1);
    EXPECT_EQ(ps->abArgs[1], spec.bDrives);
    ASSERT_NE(harness::NewestEvent(147), nullptr);
    ExpectDrivesMatchReference();

    // A read wakes it: answered once the members are up.
    uint64_t lAsked = board->clock().Now();
    ExpectRead(0, 512);
    ExpectWithinSpinUp(lAsked);
    EXPECT_EQ(fw::bGetArrayAPMState(0), fw::APM_SPUN_UP);
    // Parked again, a write wakes it.
    board->RunUntil([this] { return AllParked(); }, 4 * 60 * kSecond);
    ASSERT_TRUE(AllParked());
    lAsked = board->clock().Now();
    Write(100, 40, 77);
    ExpectWithinSpinUp(lAsked);
    Settle();
    ExpectRead(0, 4096);
    ExpectDrivesMatchReference();
    EXPECT_EQ(mediaToParked, 0u);
    const fw::CONFIG_RANK_RECORD& r = fw::pGetConfigImage()->asRank[0];
    for (unsigned m = 0; m < spec.bDrives; ++m) EXPECT_EQ(r.abMemberState[m], 0) << "member " << m << " failed";
    for (unsigned slot = 1; slot <= spec.bDrives; ++slot) EXPECT_GE(chassis->DriveAt(slot)->Power().starts, 2u);
}

// A write answered GOOD and still in the cache keeps its array spinning,
// however long ago the host wrote it; so does a host's read for nine
// seconds.
TEST_P(PowerRoad, AWriteStillInTheCacheOrARecentReadKeepsItsArraySpinning) {
    ASSERT_NO_FATAL_FAILURE(BootParking(GetParam()));
    chassis->DriveAt(1)->SetExtraLatencyNs(30 * kSecond);
    Write(4000, 24, 99);
    board->RunUntil([] { return false; }, 12 * kSecond);
    ASSERT_EQ(fw::fNvramQueueHoldsData(fw::TRUE), fw::TRUE) << "the write left the cache: nothing to show";
    EXPECT_EQ(fw::bSpinArrayUpDown(fw::FALSE, 0), 0);
    EXPECT_EQ(fw::bGetArrayAPMState(0), fw::APM_SPUN_UP);
    chassis->DriveAt(1)->SetExtraLatencyNs(0);
    board->RunUntil([] { return fw::fNvramQueueHoldsData(fw::TRUE) != fw::TRUE; }, 60 * kSecond);
    board->RunUntil([] { return false; }, 10 * kSecond);
    ExpectRead(4000, 24);
    board->RunUntil([] { return false; }, 8 * kSecond);
    EXPECT_EQ(fw::bSpinArrayUpDown(fw::FALSE, 0), 0) << "stopped eight seconds after a read";
    EXPECT_EQ(fw::bGetArrayAPMState(0), fw::APM_SPUN_UP);
    board->RunUntil([] { return false; }, 2 * kSecond);
    EXPECT_EQ(fw::bSpinArrayUpDown(fw::FALSE, 0), fw::STATUS_OK);
    board->RunUntil([this] { return AllParked(); }, 60 * kSecond);
    EXPECT_TRUE(AllParked());
    ExpectDrivesMatchReference();
    EXPECT_EQ(mediaToParked, 0u);
}

// A configuration change committed while the array is parked: the commit
// spins the members up first and then writes its copy to each of them; no
// media command meets a parked drive, nothing fails, and the hosts read
// what they wrote.
TEST_F(PowerRoad, ACommitWithParkedMembersWaitsForThemAndWritesEveryCopy) {
    ASSERT_NO_FATAL_FAILURE(BootParking({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 16384}));
    for (uint32_t i = 0; i < 6; ++i) Write(i * 131, 1 + i % 7, 40 + i);
    board->RunUntil([this] { return AllParked(); }, 4 * 60 * kSecond);
    ASSERT_TRUE(AllParked());
    const uint32_t dGeneration = fw::pGetConfigImage()->sHeader.dGeneration;
    writes.clear();

    cfgbuild::Builder b(*board);
    ASSERT_TRUE(b.OpenEdit());
    ASSERT_EQ(b.AddGlobalSpare(spec.bDrives + 1u), fw::STATUS_OK);
    ASSERT_TRUE(AllParked()) << "woken before the commit";
    ASSERT_TRUE(b.Commit()) << board->ConsoleText();
    EXPECT_GT(fw::pGetConfigImage()->sHeader.dGeneration, dGeneration);
    EXPECT_EQ(fw::bGetHotSpareCount(), 1);
    for (unsigned slot = 1; slot <= spec.bDrives; ++slot) {
        sim::Drive* d = chassis->DriveAt(slot);
        EXPECT_GE(d->Power().starts, 1u) << "slot " << slot;
        EXPECT_GT(writes[d], 0u) << "the commit's copy never reached slot " << slot;
    }
    EXPECT_EQ(mediaToParked, 0u);
    const fw::CONFIG_RANK_RECORD& r = fw::pGetConfigImage()->asRank[0];
    for (unsigned m = 0; m < spec.bDrives; ++m) EXPECT_EQ(r.abMemberState[m], 0) << "member " << m << " failed";
    ExpectRead(0, 1024);
    ExpectDrivesMatchReference();
}

// A commit meeting eleven parked members wakes them in waves: never more
// than eight spin up at once, and every member is up and has its copy
// before the commit ends.
TEST_F(PowerRoad, ACommitWakesElevenParkedMembersAtMostEightAtOnce) {
    chassisOptions.drives = 12;
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    ASSERT_NO_FATAL_FAILURE(BootParking({"Raid5", fw::RAID_LEVEL_5, 11, 16, 0, true, 10 * 16384}));
    Write(0, 64, 5);
    board->RunUntil([this] { return AllParked(); }, 4 * 60 * kSecond);
    ASSERT_TRUE(AllParked());
    const size_t uLogged = chassis->SpinUpLog().size();
    writes.clear();
    firstWriteNs = 0;
    cfgbuild::Builder b(*board);
    ASSERT_TRUE(b.OpenEdit());
    ASSERT_EQ(b.AddGlobalSpare(12), fw::STATUS_OK);
    ASSERT_TRUE(b.Commit()) << board->ConsoleText();
    const std::vector<sim::Chassis::SpinUp> log(chassis->SpinUpLog().begin() + static_cast<long>(uLogged),
                                               chassis->SpinUpLog().end());
    // One spin-up per member; the copies go out only when the last is up.
    ASSERT_EQ(log.size(), spec.bDrives);
    EXPECT_EQ(chassis->MostSpinningUpAtOnce(), 8u);
    uint64_t lLastReady = 0;
    for (const auto& u : log) lLastReady = std::max(lLastReady, u.readyNs);
    EXPECT_GE(firstWriteNs, lLastReady) << "a copy was written before every member was up";
    for (unsigned slot = 1; slot <= spec.bDrives; ++slot) {
        EXPECT_GT(writes[chassis->DriveAt(slot)], 0u) << "the commit's copy never reached slot " << slot;
    }
    EXPECT_EQ(mediaToParked, 0u);
    ExpectRead(0, 64);
}

// An array parked for its test period is spun up, each member verifies
// 4096 blocks (events 150 and 151, of an array), and it is parked again;
// the hosts' data is untouched and no media command meets a parked drive.
TEST_F(PowerRoad, AnArrayParkedForItsTestPeriodIsTestedAndParkedAgain) {
    ASSERT_NO_FATAL_FAILURE(BootParking({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 16384}, 1));
    for (uint32_t i = 0; i < 6; ++i) Write(i * 131, 1 + i % 7, 60 + i);
    board->RunUntil([this] { return AllParked(); }, 4 * 60 * kSecond);
    ASSERT_TRUE(AllParked());
    std::vector<uint64_t> verifies;
    for (unsigned slot = 1; slot <= spec.bDrives; ++slot)
        verifies.push_back(chassis->DriveAt(slot)->CommandCount(fw::SCSI_VERIFY10));
    // Nothing before the period is over.
    board->RunUntil([] { return false; }, 3 * 60 * kSecond);
    EXPECT_TRUE(AllParked());
    EXPECT_EQ(harness::NewestEvent(kTestStarted), nullptr);
    // The calendar moves on past the period; the ticks need not.
    fw::DATE_TIME sNow{};
    fw::GetDateTime(&sNow);
    uint32_t dSeconds = 0;
    ASSERT_EQ(fw::bDateTimeToSeconds(&sNow, &dSeconds), fw::STATUS_OK);
    (void)fw::SecondsToDateTime(&sNow, dSeconds + 3600);
    *fw::psTimeDisplay = sNow;
    fw::SetCalendarReference(fw::lGetTickCount());
    board->rtc().Set({sNow.wYear, sNow.bMonth, sNow.bDay, sNow.bHour, sNow.bMinute, sNow.bSecond});

    board->RunUntil([] { return harness::NewestEvent(kTestFinished) != nullptr; }, 5 * 60 * kSecond);
    const fw::EVENT_LOG_ENTRY* psStarted = harness::NewestEvent(kTestStarted);
    const fw::EVENT_LOG_ENTRY* psFinished = harness::NewestEvent(kTestFinished);
    ASSERT_NE(psStarted, nullptr) << board->ConsoleText();
    ASSERT_NE(psFinished, nullptr);
    EXPECT_EQ(psStarted->abArgs[0], kEventKindArray);
    EXPECT_EQ(psStarted->abArgs[1], spec.bDrives);
    EXPECT_EQ(psFinished->abArgs[0], kEventKindArray);
    for (unsigned slot = 1; slot <= spec.bDrives; ++slot)
        EXPECT_EQ(chassis->DriveAt(slot)->CommandCount(fw::SCSI_VERIFY10), verifies[slot - 1] + 1) << "slot " << slot;
    board->RunUntil([this] { return AllParked(); }, 60 * kSecond);
    EXPECT_TRUE(AllParked()) << "not parked again after its test";
    EXPECT_EQ(mediaToParked, 0u);
    const fw::CONFIG_RANK_RECORD& r = fw::pGetConfigImage()->asRank[0];
    for (unsigned m = 0; m < spec.bDrives; ++m) EXPECT_EQ(r.abMemberState[m], 0) << "member " << m << " failed";
    ExpectRead(0, 1024);
    ExpectDrivesMatchReference();
}

const ArraySpec kLevels[] = {
    {"Raid1", fw::RAID_LEVEL_10, 2, 16, 0, true, 40000},
    {"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 3 * 16384},
    {"Raid6", fw::RAID_LEVEL_6, 5, 16, 0, true, 3 * 16384},
};
INSTANTIATE_TEST_SUITE_P(Levels, PowerRoad, ::testing::ValuesIn(kLevels),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
