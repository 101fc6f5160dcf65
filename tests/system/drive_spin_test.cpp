// Drive spin control on a running controller: drives parked with STOP and
// brought back in waves of at most eight, the waiting routines called once
// all are up, last-queued first, and drives that never come up given up on.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "config/config_state.h"
#include "enclosure/drive_spin.h"
#include "enclosure/drive_table.h"
#include "executive/background_process.h"
#include "executive/port_codes.h"
#include "executive/types.h"
#include "fc/ql_host_events.h"
#include "target/drive_pass_through.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"
#include "target/unit_attention.h"
#include "harness/dispatch_board.h"
#include "harness/fc_array_controller.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

constexpr uint64_t kSpinUpNs = 3'000'000'000ull;
constexpr uint64_t kMinute = 60'000'000'000ull;

struct Call {
    char cWho;
    uint64_t lAtNs;
};
std::vector<Call> g_asCalls;
sim::Board* g_psBoard = nullptr;
void Called(void* p) { g_asCalls.push_back({*static_cast<char*>(p), g_psBoard->clock().Now()}); }

sim::ChassisOptions Options(unsigned expansionDrives) {
    sim::ChassisOptions o;
    o.drives = 12;
    o.driveBytes = 64ull << 20;
    o.spinUpNs = kSpinUpNs;
    o.expansions = expansionDrives != 0 ? 1 : 0;
    o.expansionDrives = expansionDrives;
    return o;
}

class DriveSpinTest : public ::testing::TestWithParam<unsigned> {
protected:
    DriveSpinTest() : chassis(Options(GetParam())) {}
    void SetUp() override {
        g_psBoard = &board;
        g_asCalls.clear();
        board.sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        board.RunUntil([] { return fw::dGetDriveTableChangeCount() != 0 && fw::bGetConfigPhase() == 0; },
                       10 * kMinute);
        const fw::DRIVE_INFO_LIST* ps = fw::pGetDriveInfoList();
        for (uint8_t i = 0; i < ps->bDriveCount; ++i)
            positions.push_back({ps->asDriveInfo[i].bEnclosureNo, ps->asDriveInfo[i].bSlotNo});
        ASSERT_EQ(positions.size(), 12u + GetParam());
    }
    fw::DRIVE_MASK_SET SetOf(size_t first, size_t last) {
        fw::DRIVE_MASK_SET s;
        fw::ClearDriveSet(&s);
        for (size_t i = first; i < last; ++i) fw::AddDriveToSet(&s, positions[i].first, positions[i].second);
        return s;
    }
    bool SpinJobGone() {
        uint16_t wId = 0;
        return fw::fFindBackgroundProcessOfType(fw::APM_SPIN_JOB_TYPE, &wId) != fw::TRUE;
    }
    bool AllParked() {
        for (unsigned slot = 1; slot <= chassis.SlotCount(); ++slot) {
            if (chassis.DriveAt(slot) != nullptr && !chassis.DriveAt(slot)->Parked()) return false;
        }
        return true;
    }
    void ParkAll() {
        const fw::DRIVE_MASK_SET s = SetOf(0, positions.size());
        ASSERT_EQ(fw::bRequestDriveSpinDown(&s), fw::STATUS_OK);
        // The job marks a drive parked when its STOP is queued; the STOP
        // reaches the drive through the host command path a little later.
        board.RunUntil([&] { return SpinJobGone() && AllParked(); }, 10 * kMinute);
        for (unsigned slot = 1; slot <= chassis.SlotCount(); ++slot) {
            if (chassis.DriveAt(slot) == nullptr) continue;
            EXPECT_TRUE(chassis.DriveAt(slot)->Parked()) << "slot " << slot;
        }
        for (const auto& [e, sl] : positions) EXPECT_EQ(fw::bGetDriveAPMState(e, sl), fw::DRIVE_APM_SPUN_DOWN);
    }
    sim::Chassis chassis;
    sim::Board board;
    std::vector<std::pair<uint8_t, uint8_t>> positions;
};

TEST_P(DriveSpinTest, ParkedDrivesComeBackEightAtATimeAndTheRoutinesRunLastQueuedFirst) {
    ParkAll();
    fw::DRIVE_MASK_SET s;
    EXPECT_EQ(fw::bCollectSpunDownDrives(&s), positions.size());
    const size_t uLogged = chassis.SpinUpLog().size();
    static char cFirst = 'A', cSecond = 'B';
    const size_t uHalf = positions.size() / 2;
    const fw::DRIVE_MASK_SET sA = SetOf(0, uHalf), sB = SetOf(uHalf, positions.size());
    ASSERT_EQ(fw::bRequestDriveSpinUp(&sA, Called, &cFirst), fw::STATUS_OK);
    ASSERT_EQ(fw::bRequestDriveSpinUp(&sB, Called, &cSecond), fw::STATUS_OK);
    board.RunUntil([] { return g_asCalls.size() == 2; }, 10 * kMinute);
    ASSERT_EQ(g_asCalls.size(), 2u);
    EXPECT_EQ(g_asCalls[0].cWho, 'B');
    EXPECT_EQ(g_asCalls[1].cWho, 'A');
    const std::vector<sim::Chassis::SpinUp> log(chassis.SpinUpLog().begin() + static_cast<long>(uLogged),
                                               chassis.SpinUpLog().end());
    ASSERT_EQ(log.size(), positions.size()) << "one START each";
    EXPECT_EQ(chassis.MostSpinningUpAtOnce(), 8u);
    uint64_t lLastReady = 0;
    for (const auto& u : log) lLastReady = std::max(lLastReady, u.readyNs);
    EXPECT_GE(g_asCalls[0].lAtNs, lLastReady) << "called before every drive was up";
    for (const auto& [e, sl] : positions) EXPECT_EQ(fw::bGetDriveAPMState(e, sl), fw::DRIVE_APM_SPUN_UP);
    EXPECT_EQ(fw::bCountSpinningUpDrives(), 0);
    board.RunUntil([&] { return SpinJobGone(); }, kMinute);
    EXPECT_TRUE(SpinJobGone());
}

INSTANTIATE_TEST_SUITE_P(Enclosures, DriveSpinTest, ::testing::Values(0u, 4u),
                         [](const auto& info) { return info.param == 0 ? "Twelve" : "SixteenWithAnExpansion"; });

class DriveSpinFaultTest : public DriveSpinTest {};

// A drive that refuses START, and one that starts but never reports ready:
// neither holds the others' routine for ever; both are taken as up.
TEST_P(DriveSpinFaultTest, DrivesThatNeverComeUpAreGivenUpOn) {
    ParkAll();
    sim::Drive* psRefuses = chassis.DriveAt(1);
    sim::Drive* psNeverReady = chassis.DriveAt(2);
    psRefuses->FailCommand(0x1B, 1000);
    psNeverReady->SetNotReady(true);
    static char cAll = 'A';
    const uint64_t lStarts = psRefuses->CommandCount(0x1B);
    const fw::DRIVE_MASK_SET s = SetOf(0, positions.size());
    const uint64_t lAsked = board.clock().Now();
    ASSERT_EQ(fw::bRequestDriveSpinUp(&s, Called, &cAll), fw::STATUS_OK);
    board.RunUntil([] { return !g_asCalls.empty(); }, 10 * kMinute);
    ASSERT_EQ(g_asCalls.size(), 1u);
    EXPECT_LT(g_asCalls[0].lAtNs - lAsked, 2 * kMinute);
    EXPECT_EQ(psRefuses->CommandCount(0x1B) - lStarts, fw::APM_START_LIMIT);
    for (const auto& [e, sl] : positions) EXPECT_EQ(fw::bGetDriveAPMState(e, sl), fw::DRIVE_APM_SPUN_UP);
    EXPECT_NE(board.ConsoleText().find("did not come ready"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Twelve, DriveSpinFaultTest, ::testing::Values(0u));

// Requests meeting before the job runs, and positions out of range.
TEST_P(DriveSpinFaultTest, ASpinUpCancelsAPendingSpinDownAndBadPositionsChangeNothing) {
    const auto [e, sl] = positions[0];
    const uint64_t lStops = chassis.DriveAt(1)->Power().stops;
    ASSERT_EQ(fw::bSpinDriveUpDown(e, sl, fw::FALSE), fw::STATUS_OK);
    ASSERT_EQ(fw::bSpinDriveUpDown(e, sl, fw::TRUE), fw::STATUS_OK) << "already up: nothing asked";
    fw::DRIVE_MASK_SET s = SetOf(0, 1);
    ASSERT_EQ(fw::bRequestDriveSpinUp(&s, nullptr, nullptr), fw::STATUS_OK);
    board.RunUntil([&] { return SpinJobGone(); }, kMinute);
    EXPECT_EQ(chassis.DriveAt(1)->Power().stops, lStops);
    EXPECT_EQ(chassis.DriveAt(1)->Power().starts, 0u);
    EXPECT_EQ(fw::bGetDriveAPMState(e, sl), fw::DRIVE_APM_SPUN_UP);
    for (const auto& [be, bs] : std::vector<std::pair<uint8_t, uint8_t>>{{17, 1}, {1, 33}, {0, 1}, {1, 0}}) {
        fw::MarkDriveSpunDown(be, bs);
        fw::SetDriveAPMTestBit(be, bs);
        EXPECT_EQ(fw::bGetDriveAPMState(be, bs), fw::DRIVE_APM_INVALID);
        EXPECT_EQ(fw::bSpinDriveUpDown(be, bs, fw::FALSE), 0);
    }
    EXPECT_EQ(fw::bCollectSpunDownDrives(&s), 0);
    EXPECT_EQ(fw::bCountDrivesUnderTest(), 0);
}

// A power command is a MAINTENANCE IN pass-through on the host command path
// that ends inside the controller: no host port's state holds it (a loop
// event in progress, an initiator's unit attention), nothing of it is left
// behind, and a position with no drive ends it as a failed command.
TEST_P(DriveSpinFaultTest, PowerCommandsPassThroughTheHostPathAndEndInside) {
    const auto [e, sl] = positions[0];
    const uint16_t wUsed = fw::wGetTargetEntriesUsed();
    const uint16_t wTotal = fw::wGetPortTotalCommands(fw::PORT_CODE_FC_HOST_1);
    fw::SetHostLoopLipFlag(fw::PORT_CODE_FC_HOST_1, fw::TRUE);
    fw::SetUnitAttention(fw::PORT_CODE_FC_HOST_1, 0, 0, fw::TRUE);
    const uint64_t lStops = chassis.DriveAt(1)->CommandCount(0x1B);
    ASSERT_EQ(fw::bSpinDriveUpDown(e, sl, fw::FALSE), fw::STATUS_OK);
    board.RunUntil([&] { return chassis.DriveAt(1)->Parked() && fw::wGetTargetEntriesUsed() == wUsed; }, kMinute);
    EXPECT_TRUE(chassis.DriveAt(1)->Parked());
    EXPECT_EQ(chassis.DriveAt(1)->CommandCount(0x1B) - lStops, 1u);
    EXPECT_EQ(fw::wGetTargetEntriesUsed(), wUsed);
    EXPECT_EQ(fw::wGetPortTotalCommands(fw::PORT_CODE_FC_HOST_1), wTotal);
    EXPECT_EQ(fw::fGetUnitAttention(fw::PORT_CODE_FC_HOST_1, 0, 0), fw::TRUE) << "a host's attention taken";

    // No drive at the position: the START ends failed, so the position stays
    // parked for the spin job to try again.
    uint8_t bEmpty = 1;
    while (std::find(positions.begin(), positions.end(), std::make_pair(e, bEmpty)) != positions.end()) ++bEmpty;
    const uint8_t abStart[6] = {0x1B, 0x01, 0, 0, 0x01, 0};
    ASSERT_EQ(fw::bQueueDrivePassThrough(e, bEmpty, abStart, nullptr), fw::STATUS_OK);
    board.RunUntil([&] { return fw::wGetTargetEntriesUsed() == wUsed; }, kMinute);
    EXPECT_EQ(fw::wGetTargetEntriesUsed(), wUsed);
    EXPECT_EQ(fw::bGetDriveAPMState(e, bEmpty), fw::DRIVE_APM_SPUN_DOWN);
    fw::SetHostLoopLipFlag(fw::PORT_CODE_FC_HOST_1, fw::FALSE);
    fw::SetUnitAttention(fw::PORT_CODE_FC_HOST_1, 0, 0, fw::FALSE);
}

// A management client's START STOP UNIT of a drive: answered when the
// drive's own command has ended (the drive parked by then); a position with
// no drive is answered NOT READY.
class ManagementSpin : public ::testing::Test, public harness::FcArrayController {};

TEST_F(ManagementSpin, TheAnswerWaitsForTheDrivesCommand) {
    ASSERT_NO_FATAL_FAILURE(Boot());
    sim::FcHost host(*board, *fabric, Chip(), 0x2100001B32E00042ull);
    ASSERT_TRUE(host.LogIn());
    const fw::DRIVE_INFO& d = fw::pGetDriveInfoList()->asDriveInfo[0];
    sim::Drive* psDrive = chassis.DriveAt(d.bSlotNo);
    ASSERT_NE(psDrive, nullptr);
    const uint64_t lStops = psDrive->Power().stops;
    sim::FcpResult r = Management(host, 220, 0, d.bEnclosureNo, d.bSlotNo);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(psDrive->Power().stops, lStops + 1) << "answered before the drive had its STOP";
    EXPECT_TRUE(psDrive->Parked());
    r = Management(host, 220, 0, 17, 1);
    ASSERT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
    ASSERT_GE(r.sense.size(), 3u);
    EXPECT_EQ(r.sense[2] & 0x0F, fw::SENSE_NOT_READY);
}

// A drive that refuses the client's STOP or START: the client is told so,
// never answered as if it had worked (the command moves no data, so there
// is nothing to answer it with but the status).  The drive, still
// turning, stays up, and its STOP is asked again only a few times, not
// on every pass of the spin job for ever.
TEST_F(ManagementSpin, ARefusedCommandIsAnsweredAsAnErrorAndAStopIsRetriedAFewTimes) {
    ASSERT_NO_FATAL_FAILURE(Boot());
    sim::FcHost host(*board, *fabric, Chip(), 0x2100001B32E00042ull);
    ASSERT_TRUE(host.LogIn());
    const fw::DRIVE_INFO& d = fw::pGetDriveInfoList()->asDriveInfo[0];
    const uint8_t e = d.bEnclosureNo, sl = d.bSlotNo;
    sim::Drive* psDrive = chassis.DriveAt(sl);
    ASSERT_NE(psDrive, nullptr);
    psDrive->FailCommand(0x1B, 1000);
    const uint64_t lCommands = psDrive->CommandCount(0x1B);
    const auto expectRefused = [](const sim::FcpResult& r) {
        ASSERT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
        ASSERT_GE(r.sense.size(), 3u);
        EXPECT_EQ(r.sense[2] & 0x0F, fw::SENSE_NOT_READY);
    };
    ASSERT_NO_FATAL_FAILURE(expectRefused(Management(host, 220, 0, e, sl)));
    board->RunFor(5 * kMinute);
    EXPECT_EQ(psDrive->CommandCount(0x1B) - lCommands, fw::APM_STOP_LIMIT);
    EXPECT_FALSE(psDrive->Parked());
    EXPECT_EQ(fw::bGetDriveAPMState(e, sl), fw::DRIVE_APM_SPUN_UP);
    uint16_t wId = 0;
    EXPECT_NE(fw::fFindBackgroundProcessOfType(fw::APM_SPIN_JOB_TYPE, &wId), fw::TRUE);

    ASSERT_NO_FATAL_FAILURE(expectRefused(Management(host, 220, 1, e, sl)));
    EXPECT_EQ(psDrive->CommandCount(0x1B) - lCommands, fw::APM_STOP_LIMIT + 1u);
}

}  // namespace
