// The heartbeat between two controllers: each pulses the other's line on
// every tick and gives its partner up after 50 ms of silence once running
// (500 ms while starting), once per loss; a line held up is no heartbeat.
// And the console's dumps of the partner link.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../console/dual_controller_dump_goldens.h"
#include "cache/outstanding_queues.h"
#include "console/console_menu.h"
#include "executive/system_state.h"
#include "eventlog/event_log.h"
#include "executive/tick.h"
#include "executive/work_flags.h"
#include "harness/dual_pair.h"
#include "mirrored_array.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "partner/partner_state.h"
#include "sas/active_active.h"
#include "sas/sas_flags.h"

namespace fw_b {
using fw::PARTNER_STATE;
const PARTNER_STATE& sGetPartnerState();
uint8_t fIsDualControllerActive();
uint64_t lGetTickCount();
void SetTickPeriodWord(uint32_t d);
void SendPartnerHeartbeatMessage();
void SASFailbackRequestAnswered(uint8_t fSense);
uint8_t fIsSASFailbackAcceptedByPartner();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;

uint16_t NextEvent() {
    uint16_t wCount = 0;
    uint16_t wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    return wNext;
}

class HeartbeatPair : public ::testing::Test, protected dual::Pair {
protected:
    // The codes of controller 0's partner events since the test began, in
    // order.
    std::vector<uint8_t> PartnerEventsOfA() const {
        std::vector<uint8_t> ab;
        for (uint16_t w = m_wFirstEvent; w != NextEvent(); w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
            const uint8_t bCode = fw::psGetEventLogEntry(w)->bCode;
            if (bCode == 8 || bCode == 9 || bCode == 41 || bCode == 42 || bCode == 92 || bCode == 93) ab.push_back(bCode);
        }
        return ab;
    }
    uint16_t m_wFirstEvent = 0;
    bool RunToTick(uint64_t lTick) {
        return RunUntil([&] { return fw::lGetTickCount() >= lTick; }, (lTick - fw::lGetTickCount() + 5) * kMs);
    }
};

class PartnerHeartbeat : public HeartbeatPair {
protected:
    void SetUp() override {
        ASSERT_TRUE(Boot()) << Consoles();
        m_wFirstEvent = NextEvent();
    }
};

// Both controllers booted together keep each other for as long as they run,
// the watchdog checked every other tick or, as here, on every tick: then
// each one's pulses arrive in the FIQ of the other's tick, and those count.
TEST_F(PartnerHeartbeat, AHealthyPairKeepsEachOther) {
    ASSERT_EQ(fw::fIsDualControllerActive(), fw::TRUE);
    ASSERT_EQ(fw_b::fIsDualControllerActive(), fw::TRUE);
    const auto fEitherLost = [&] {
        return fw::fIsDualControllerActive() != fw::TRUE || fw_b::fIsDualControllerActive() != fw::TRUE;
    };
    EXPECT_FALSE(RunUntil(fEitherLost, 2500 * kMs)) << Consoles();
    // Each of the last seconds holds a pulse every other tick.
    uint32_t dSum = 0;
    EXPECT_EQ(fw::fIsPartnerHeartbeatSteady(2, &dSum), fw::TRUE);
    EXPECT_NEAR(dSum, 1000u, 10u);
    fw::SetTickPeriodWord(1);
    fw_b::SetTickPeriodWord(1);
    EXPECT_FALSE(RunUntil(fEitherLost, 1000 * kMs)) << Consoles();
    EXPECT_GE(fw::sGetPartnerState().lLastHeartbeat, fw::lGetTickCount() - 2);
    EXPECT_GE(fw_b::sGetPartnerState().lLastHeartbeat, fw_b::lGetTickCount() - 2);
    EXPECT_EQ(PartnerEventsOfA(), std::vector<uint8_t>{});
}

// The drive side takes a partner whose three steady heartbeat windows sum
// to 901..1099 (a pulse about every third tick) for one whose drive side
// recovers; a healthy partner's sum (a pulse every other tick) is far
// above that band.
TEST_F(PartnerHeartbeat, OnlyASlowedPartnerIsTakenForOneInRecovery) {
    ASSERT_FALSE(RunUntil(nullptr, 3500 * kMs));
    uint32_t dSum = 0;
    ASSERT_EQ(fw::fIsPartnerHeartbeatSteady(3, &dSum), fw::TRUE);
    EXPECT_NEAR(dSum, 1500u, 15u);
    const auto fInRecovery = [] {
        fw::SetSASIOCRestartRequest(fw::TRUE);
        const uint8_t f = fw::fIsPartnerInRecoveryWindow();
        fw::SetSASIOCRestartRequest(fw::FALSE);
        return f;
    };
    EXPECT_EQ(fInRecovery(), fw::FALSE);
    fw_b::SetTickPeriodWord(3);
    ASSERT_FALSE(RunUntil(nullptr, 4000 * kMs));
    ASSERT_EQ(fw::fIsPartnerHeartbeatSteady(3, &dSum), fw::TRUE);
    EXPECT_NEAR(dSum, 1000u, 15u);
    EXPECT_EQ(fInRecovery(), fw::TRUE);
    // Without a restart of its own under way the drive side takes no note.
    EXPECT_EQ(fw::fIsPartnerInRecoveryWindow(), fw::FALSE);
}

// The partner falls silent: 50 ms are tolerated, the 51st is loss; the
// sequence runs once however long the silence lasts; the partner that still
// hears its survivor loses nothing.
TEST_F(PartnerHeartbeat, FiftyMillisecondsOfSilenceAreToleratedAndTheFiftyFirstIsLoss) {
    // The watchdog checks on every tick here, so each millisecond counts.
    fw::SetTickPeriodWord(1);
    fw::ResetHeartbeatMeasurements();
    b->board.fpga().heartbeatQuiet = true;
    const uint64_t lLast = fw::sGetPartnerState().lLastHeartbeat;
    ASSERT_TRUE(RunUntil([&] { return fw::sGetPartnerState().dLatencyMax >= 50 || fw::fIsDualControllerActive() != fw::TRUE; },
                         100 * kMs));
    EXPECT_EQ(fw::fIsDualControllerActive(), fw::TRUE);
    EXPECT_EQ(fw::sGetPartnerState().dLatencyMax, 50u);
    ASSERT_TRUE(RunUntil([&] { return fw::fIsDualControllerActive() != fw::TRUE; }, 100 * kMs));
    EXPECT_EQ(fw::lGetTickCount(), lLast + 51);
    EXPECT_EQ(fw::fIsDualControllerActive(), fw::FALSE);
    EXPECT_EQ(fw::fIsPartnerAlive(), fw::FALSE);
    // Silence past the bound is never taken for a latency.
    EXPECT_EQ(fw::sGetPartnerState().dLatencyMax, 50u);
    ASSERT_TRUE(RunToTick(lLast + 400));
    // The survivor takes the partner's mirrored writes over (it held none
    // here, so the failover is done at once).
    EXPECT_EQ(PartnerEventsOfA(), (std::vector<uint8_t>{9, 8, 92, 93}));
    // Each names the partner, controller 2.
    for (uint16_t w = m_wFirstEvent; w != NextEvent(); w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
        const fw::EVENT_LOG_ENTRY& e = *fw::psGetEventLogEntry(w);
        if (e.bCode == 8 || e.bCode == 9) {
            EXPECT_EQ(e.abArgs[0], 2) << int(e.bCode);
        }
    }
    EXPECT_EQ(fw::fGetDualControllerWorkFlag(), fw::FALSE);
    EXPECT_EQ(fw::fIsMasterController(), fw::TRUE);
    EXPECT_EQ(fw_b::fIsDualControllerActive(), fw::TRUE);
}

// A partner whose line is held up sends no heartbeat: the line is masked
// and the partner given up, and this controller keeps running.
TEST_F(PartnerHeartbeat, ALineHeldUpIsNoHeartbeat) {
    a->board.fpga().SetHeartbeatStuck(true);
    const uint64_t lStart = fw::lGetTickCount();
    ASSERT_TRUE(RunUntil([&] { return fw::fIsDualControllerActive() != fw::TRUE; }, 200 * kMs)) << Consoles();
    EXPECT_LE(fw::lGetTickCount(), lStart + 60);
    EXPECT_GT(fw::lGetTickCount(), lStart + 50);
    ASSERT_TRUE(RunToTick(fw::lGetTickCount() + 1100));
    EXPECT_EQ(fw::fIsDualControllerActive(), fw::FALSE);
    EXPECT_EQ(PartnerEventsOfA(), (std::vector<uint8_t>{9, 8, 92, 93}));
}

// Starting, a controller waits 500 ms for its partner's pulses, and one
// that never pulsed is never given up.
using PartnerHeartbeatAtStart = HeartbeatPair;

TEST_F(PartnerHeartbeatAtStart, FiveHundredMillisecondsAreToleratedWhileStarting) {
    ASSERT_TRUE(RunUntil(
        [&] {
            return fw::sGetPartnerState().lLastHeartbeat != 0 && fw::fIsDualControllerActive() == fw::TRUE &&
                   fw::fGetDualStartFlag() == fw::TRUE;
        },
        dual::kBootLimitNs));
    ASSERT_EQ(fw::fIsInitializationComplete(), fw::FALSE);
    ASSERT_EQ(fw::fGetDualStartFlag(), fw::TRUE);
    fw::SetTickPeriodWord(1);
    b->board.fpga().heartbeatQuiet = true;
    m_wFirstEvent = NextEvent();
    const uint64_t lLast = fw::sGetPartnerState().lLastHeartbeat;
    ASSERT_TRUE(RunUntil([&] { return fw::fIsDualControllerActive() != fw::TRUE; }, 1000 * kMs));
    EXPECT_EQ(fw::lGetTickCount(), lLast + 501);
    EXPECT_EQ(fw::fGetDualStartFlag(), fw::FALSE);
    EXPECT_EQ(fw::fGetHeartbeatRequestFlag(), fw::FALSE);
    ASSERT_TRUE(RunToTick(fw::lGetTickCount() + 100));
    EXPECT_EQ(PartnerEventsOfA(), (std::vector<uint8_t>{9, 8}));
}

TEST_F(PartnerHeartbeatAtStart, APartnerThatNeverPulsedIsNeverLost) {
    b->board.fpga().heartbeatQuiet = true;
    ASSERT_TRUE(Boot()) << Consoles();
    EXPECT_NE(a->board.ConsoleText().find("Partner Controller.............Present"), std::string::npos) << Consoles();
    EXPECT_FALSE(RunUntil([&] { return fw::fIsDualControllerActive() != fw::TRUE; }, 1000 * kMs));
    EXPECT_EQ(fw::sGetPartnerState().lLastHeartbeat, 0u);
    EXPECT_EQ(fw::fGetDualControllerWorkFlag(), fw::FALSE);
}

// The console's dump of the link and its two queues, one message in flight
// (its frame lost on the way, so it waits for its deadline): sent on path 2,
// as controller 1 prefers, to the partner's port there (S1); nothing new
// waits to be sent.
TEST_F(PartnerHeartbeat, TheDualControllerDumps) {
    a->board.TypeKeys("\x05");
    ASSERT_TRUE(RunToTick(fw::lGetTickCount() + 100));
    a->board.sasController().linkFaults.drop = 1;
    const fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(49);
    uint16_t wSlot = 0;
    ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
    ASSERT_TRUE(RunToTick(fw::lGetTickCount() + 20));
    fw::SetDiagnosticsModeLevel(3);
    a->board.ClearConsoleText();
    a->board.TypeKeys("D");
    ASSERT_TRUE(RunUntil([&] { return a->board.ConsoleText().find("Mirror Cache Allocation Queue") != std::string::npos; },
                         100 * kMs));
    std::string text = dualdumps::Masked(a->board.ConsoleText());
    text = text.substr(0, text.find("Mirror Cache Allocation Queue"));
    EXPECT_EQ(text,
              "\nDual Controller stats:\n"
              "Master Controller\n"
              "Other Controller Status: Valid\n"
              "Init1 Other Controller Alpa: 08\n"
              "Init2 Other Controller Alpa: 09\n"
              "Time Now: xxxxxxxxxxxxxxxx\n"
              "Watchdog: xxxxxxxxxxxxxxxx\n"
              "Watchdog Latency: Avg: 01ms Max: 02ms\n"
              "No Cmd In Progress\n"
              "Int Count: xxxxxxxx Lat:xxxxxxxx\n"
              "Retry:00000000 Invalid CDB:00000000\n"
              "\n"
              "\nDual Controller Incoming Queue\n"
              "No Cmds in progress Total:000 New:000 In  ptr:010 Out ptr:010\n"
              "\n"
              "\nDual Controller Outgoing Queue\n"
              "No Cmds in progress\n"
              "Tot:001 New:000 Compl:000 P1:001 P2:000 New Ptr:0013:0013 Compl Ptr:0012:0012\n"
              "0000 S1 PS:71:00 CT:31 TS:000 05 31 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
              "\n");
}

// A joining partner asks (message 159) while a host read is at work here:
// it hears NOT READY, and new host commands wait for it; once the read has
// ended it is answered GOOD.
TEST(PartnerHeartbeatAnswer, APartnerThatAsksWhileHostCommandsAreAtWorkHearsNotReady) {
    dual::Pair pair;
    dual::PlaceMirroredRaid5(pair.chassis, "BUSY", 64);
    ASSERT_TRUE(pair.Boot()) << pair.Consoles();
    sim::FcHost host(pair.a->board, pair.a->fabric, *sim::FindIspChip(pair.a->board, 1), 0x2100001B32E00011ull);
    ASSERT_TRUE(pair.HostReady(host)) << pair.Consoles();
    for (unsigned slot = 1; slot <= 4; ++slot) pair.chassis.DriveAt(slot)->SetExtraLatencyNs(300 * kMs);
    sim::FcpCommand c;
    c.cdb = dual::Cdb16(fw::SCSI_READ16, 4096, 8);
    c.dataInLength = 8 * 512;
    const uint32_t tag = host.initiator().Submit(host.target(), c);
    ASSERT_TRUE(pair.RunUntil([] { return fw::dGetLunOutstandingReads(0) != 0; }, 1000 * kMs)) << pair.Consoles();

    const auto fAsk = [&pair] {
        fw_b::SASFailbackRequestAnswered(fw::FALSE);
        fw_b::SendPartnerHeartbeatMessage();
        EXPECT_TRUE(pair.RunUntil([] { return dual::Pair::Quiet(fw_b::sGetPartnerMessageCounts()); }, 1000 * kMs));
        return fw_b::fIsSASFailbackAcceptedByPartner() == fw::TRUE;
    };
    EXPECT_FALSE(fAsk());
    EXPECT_FALSE(host.initiator().Finished(tag));
    ASSERT_TRUE(pair.RunUntil([&] { return host.initiator().Finished(tag); }, 2000 * kMs)) << pair.Consoles();
    EXPECT_EQ(host.initiator().Result(tag).status, 0);
    EXPECT_TRUE(fAsk());
}

}  // namespace
