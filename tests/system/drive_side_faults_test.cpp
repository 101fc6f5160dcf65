// The drive side under faults while a host writes: a drive that resets
// itself, a drive that answers late, a reset of the whole bus.  Every host command is answered exactly
// once, every write answered GOOD reads back, and the drives hold what the
// layout model says.
#include <map>

#include "harness/dispatch_board.h"
#include "host_road.h"
#include "hw/mpi.h"
#include "sas/command_timeouts.h"
#include "sas/ioc_events.h"

namespace {

using namespace roadtest;

constexpr uint8_t kEventInternalReset = 60;

enum class Fault { InternalReset, LateAnswer, ExpanderReset };

struct FaultCase {
    const char* pszName;
    ArraySpec array;
    Fault fault;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.pszName; }

class DriveSideFaultRoad : public HostRoad, public ::testing::WithParamInterface<FaultCase> {
protected:
    // Counts every answer the host gets, by tag.
    void CountAnswers() {
        host->initiator().onCompletion = [this](uint32_t tag, const sim::FcpResult&) { ++answers[tag]; };
    }
    void Arm(Fault fault) {
        sim::SasController& ioc = board->sasController();
        switch (fault) {
        case Fault::InternalReset: ioc.DriveInternalReset(2); break;
        case Fault::LateAnswer: chassis->DriveAt(1)->SetExtraLatencyNs(30'000'000'000ull); break;
        // The expander stops answering SMP for a moment: the IOC reports a
        // discovery error and the controller restarts its IOC.
        case Fault::ExpanderReset:
            ioc.ExpanderReset(0, fw::MPI_DISCOVERY_ERROR_SMP_TIMEOUT | fw::MPI_DISCOVERY_ERROR_TABLE_FULL);
            break;
        }
    }
    std::map<uint32_t, unsigned> answers;
};

TEST_P(DriveSideFaultRoad, EveryCommandIsAnsweredOnceAndNothingIsLost) {
    const FaultCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Boot(c.array));
    CountAnswers();
    bool armed = false;
    const auto arm = [&](uint32_t answered) {
        if (armed || answered < 40) return;
        armed = true;
        Arm(c.fault);
    };
    ASSERT_NO_FATAL_FAILURE(
        WriteLoad(RowBlocks() * 16, 160, 23, arm, [] { return false; }, 120'000'000'000ull));
    ASSERT_TRUE(armed);
    // A late drive is one that answers again in the end.
    chassis->DriveAt(1)->SetExtraLatencyNs(0);
    Settle();
    for (const auto& [tag, n] : answers) EXPECT_EQ(n, 1u) << "command " << tag << " answered " << n << " times";
    EXPECT_EQ(answers.size(), 160u);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, uint32_t(RowBlocks() * 16)));
    ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchReference());
    switch (c.fault) {
    case Fault::InternalReset:
        EXPECT_EQ(harness::CountEvents(kEventInternalReset), 1u);
        EXPECT_EQ(fw::wGetSASInternalResetCount(board->sasController().TargetOf(chassis->ConfigAt(2)->sasAddress)), 1);
        break;
    default: break;
    }
}

const FaultCase kFaults[] = {
    {"InternalResetRaid5", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, Fault::InternalReset},
    {"LateAnswerRaid5", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, Fault::LateAnswer},
    {"ExpanderResetRaid5", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, Fault::ExpanderReset},
};
INSTANTIATE_TEST_SUITE_P(Faults, DriveSideFaultRoad, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.pszName); });

class BusResetRoad : public RestartRoad {};

// A reset of the whole drive bus resets a lone controller; the writes it
// acknowledged from its cache are in its journal and reach the drives at
// the next start.
TEST_F(BusResetRoad, AcknowledgedWritesSurviveTheReset) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16}));
    std::mt19937 rng(77);
    for (uint32_t i = 0; i < 12; ++i) {
        const uint32_t blocks = 1 + rng() % 32;
        Write(rng() % (RowBlocks() * 6 - blocks), blocks, 300 + i, i % 2 == 0);
    }
    ASSERT_GT(fw::wCountCachedOwnExtents(nullptr), 0) << "everything reached the drives before the reset";
    board->sasController().ExternalBusReset();
    EXPECT_EQ(board->RunFor(60'000'000'000ull), sim::StopKind::Reset) << board->ConsoleText();
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 6));
    Settle();
    ExpectDrivesMatchReference();
}

}  // namespace
