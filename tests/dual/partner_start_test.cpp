// The start of day of two controllers: booted together both see the other
// present and the second joins the first with its start-of-day request;
// one that starts beside a running one finds it initialized and joins it;
// one alone, or whose partner goes during the handshake, serves alone.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cache/flush_sequencer.h"
#include "eventlog/event_log.h"
#include "executive/work_flags.h"
#include "harness/dual_pair.h"
#include "harness/main_loop_call.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "partner/partner_state.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "config/nvram_layout.h"
#include "config/write_semaphore.h"
#include "sim/side_by_side.h"

namespace fw_b {
using fw::PARTNER_MESSAGE_COUNTS;
using fw::PARTNER_STATE;
const PARTNER_MESSAGE_COUNTS& sGetPartnerMessageCounts();
const PARTNER_STATE& sGetPartnerState();
uint8_t fIsDualControllerActive();
uint8_t fGetHeartbeatRequestFlag();
uint8_t fGetDualStartFlag();
uint8_t fIsSASFailbackInProgress();
void GetPartnerNodeName(uint8_t* pbName);
void GetNvramControllerWwn(uint8_t* pbWwn);
// The second build's own types: the same layouts under its namespace.
struct INTER_CONTROLLER_MESSAGE;
struct PARTNER_MESSAGE_SLOT;
uint8_t bSendMessageToPartner(const INTER_CONTROLLER_MESSAGE* psMessage, uint16_t* pwSlot, uint8_t bUnused);
uint8_t pGetOutgoingMessageSlot(uint16_t wSlot, PARTNER_MESSAGE_SLOT** ppsSlot);
extern uint32_t dMainLoopCycles;
using fw::SAS_DEVICE_LIST;
SAS_DEVICE_LIST* pGetOCSASDriveInfoList();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;

// Controller 0's events of the codes given, in order, from the first entry
// of its log on.
std::vector<uint8_t> EventsOfA(const std::vector<uint8_t>& abCodes) {
    std::vector<uint8_t> ab;
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    const uint16_t wFirst = static_cast<uint16_t>((wNext + fw::EVENT_LOG_ENTRIES - wCount) % fw::EVENT_LOG_ENTRIES);
    for (uint16_t w = wFirst; w != wNext; w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
        const uint8_t b = fw::psGetEventLogEntry(w)->bCode;
        for (uint8_t c : abCodes) {
            if (b == c) ab.push_back(b);
        }
    }
    return ab;
}

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

TEST(PartnerStart, BootedTogetherBothArePresentAndTheSecondJoinsTheFirst) {
    dual::Pair pair;
    ASSERT_TRUE(pair.Boot()) << pair.Consoles();
    const std::string sA = pair.a->board.ConsoleText(), sB = pair.b->board.ConsoleText();
    EXPECT_TRUE(Has(sA, "Partner Controller.............Present\r\n")) << sA;
    EXPECT_TRUE(Has(sB, "Partner Controller.............Present\r\n")) << sB;
    // Only the second pings and asks for the start-of-day answer.
    EXPECT_FALSE(Has(sA, "Wait To Enable Host Ports")) << sA;
    EXPECT_TRUE(Has(sB, "Wait To Enable Host Ports...........OK\r\n")) << sB;
    ASSERT_TRUE(pair.RunUntil([] { return EventsOfA({42}).size() == 1; }, 1000 * kMs)) << pair.Consoles();
    EXPECT_EQ(EventsOfA({8, 9, 42}), (std::vector<uint8_t>{42}));
    EXPECT_EQ(fw::fIsDualControllerActive(), fw::TRUE);
    EXPECT_EQ(fw_b::fIsDualControllerActive(), fw::TRUE);
    EXPECT_EQ(fw::fIsMasterController(), fw::TRUE);
    // Each knows the other's WWN from its identity.
    ASSERT_TRUE(pair.RunUntil([] {
        uint8_t ab[8];
        fw_b::GetPartnerNodeName(ab);
        return ab[0] != 0xFF;
    }, 1000 * kMs));
    uint8_t abA[8], abB[8], abOwnA[8], abOwnB[8];
    fw::GetPartnerNodeName(abA);
    fw_b::GetPartnerNodeName(abB);
    fw::GetNvramControllerWwn(abOwnA);
    fw_b::GetNvramControllerWwn(abOwnB);
    EXPECT_EQ(std::vector<uint8_t>(abA, abA + 8), std::vector<uint8_t>(abOwnB, abOwnB + 8));
    EXPECT_EQ(std::vector<uint8_t>(abB, abB + 8), std::vector<uint8_t>(abOwnA, abOwnA + 8));
    EXPECT_NE(std::vector<uint8_t>(abA, abA + 8), std::vector<uint8_t>(abB, abB + 8));
    // Nothing of the handshake was damaged or refused.
    EXPECT_EQ(fw::sGetPartnerMessageCounts().dInvalidCdbs, 0u);
    EXPECT_EQ(fw_b::sGetPartnerMessageCounts().dInvalidCdbs, 0u);
    EXPECT_EQ(fw::sGetPartnerMessageCounts().dResends, 0u);
    EXPECT_EQ(fw_b::sGetPartnerMessageCounts().dResends, 0u);
}

// Controller 0 starts and runs by itself; controller 1 may start beside it
// later.
class LateSecond : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim::RunSideBySide({&a->board}, [this] { return a->Booted(); }, dual::kBootLimitNs))
            << a->board.ConsoleText();
    }
    void StartB() {
        b = std::make_unique<dual::Side>(&clock, chassis, false);
        sim::Board::ConnectPartners(a->board, b->board);
    }
    bool RunBoth(const std::function<bool()>& done, uint64_t limitNs) {
        return sim::RunSideBySide({&a->board, &b->board}, done, limitNs);
    }
    std::string Consoles() const {
        return "--- controller 0 ---\n" + a->board.ConsoleText() + "\n--- controller 1 ---\n" +
               (b ? b->board.ConsoleText() : std::string());
    }
    static uint8_t* At(sim::Board& board, uint32_t dOffset) { return board.nvram().Data() + dOffset; }

    sim::Clock clock;
    sim::Chassis chassis;
    std::unique_ptr<dual::Side> a = std::make_unique<dual::Side>(&clock, chassis, true);
    std::unique_ptr<dual::Side> b;
};

TEST_F(LateSecond, OneAloneServesWithoutAPartner) {
    EXPECT_TRUE(Has(a->board.ConsoleText(), "Partner Controller.........Not Present\r\n")) << Consoles();
    EXPECT_EQ(fw::fIsDualControllerActive(), fw::FALSE);
    EXPECT_EQ(fw::fIsMasterController(), fw::TRUE);
    EXPECT_EQ(fw::fGetHeartbeatRequestFlag(), fw::FALSE);
}

TEST_F(LateSecond, OneStartedBesideARunningOneFindsItInitializedAndJoins) {
    StartB();
    ASSERT_TRUE(RunBoth([this] { return b->Booted(); }, dual::kBootLimitNs)) << Consoles();
    const std::string sB = b->board.ConsoleText();
    EXPECT_TRUE(Has(sB, "Partner Controller.........Initialized\r\n")) << sB;
    // The joiner's drive side fails back instead of the ping at its host
    // ports: the link is valid on the running side once the failback ends.
    EXPECT_FALSE(Has(sB, "Wait To Enable Host Ports")) << sB;
    EXPECT_EQ(fw_b::fGetHeartbeatRequestFlag(), fw::TRUE);
    EXPECT_EQ(fw_b::fGetDualStartFlag(), fw::FALSE);
    ASSERT_EQ(fw_b::fIsSASFailbackInProgress(), fw::TRUE);
    // Its drive side read the running one's device list at its start, long
    // before the failback ends and the running one sends it.
    const fw::SAS_DEVICE_LIST* psA = fw::pGetSASDriveInfoList();
    ASSERT_GT(psA->bEntryCount, 2);
    EXPECT_EQ(fw_b::pGetOCSASDriveInfoList()->bEntryCount, psA->bEntryCount);
    EXPECT_EQ(std::memcmp(fw_b::pGetOCSASDriveInfoList()->asEntry, psA->asEntry,
                          sizeof(fw::SAS_DEVICE_ENTRY) * psA->bEntryCount),
              0);
    ASSERT_TRUE(RunBoth([] { return fw::fIsDualControllerActive() == fw::TRUE && fw_b::fIsSASFailbackInProgress() != fw::TRUE; },
                        30'000 * kMs))
        << Consoles();
    EXPECT_EQ(fw::fIsSASOCFailbackInProgress(), fw::FALSE);
    EXPECT_EQ(fw_b::fIsDualControllerActive(), fw::TRUE);
    EXPECT_EQ(fw::fIsPartnerAlive(), fw::TRUE);
    EXPECT_EQ(EventsOfA({8, 9, 42}), (std::vector<uint8_t>{42}));
    // The one that ran stays master; the joiner is not.
    EXPECT_EQ(fw::fIsMasterController(), fw::TRUE);
    // Both keep each other from then on.
    EXPECT_FALSE(RunBoth([] {
        return fw::fIsDualControllerActive() != fw::TRUE || fw_b::fIsDualControllerActive() != fw::TRUE;
    }, 500 * kMs)) << Consoles();
}

TEST_F(LateSecond, AJoinerTakesOverTheRunningOnesExpansionAndStripeInitialisationRecords) {
    uint8_t* pbExpansion = At(a->board, NVRAM_OFFSET(bExpansionSelector));
    pbExpansion[0] = fw::FALSE;   // copy B
    pbExpansion[1] = fw::TRUE;
    for (uint8_t k = 0; k < 24; ++k) pbExpansion[8 + k] = static_cast<uint8_t>(0xA0 + k);
    uint8_t* pbStripe = At(a->board, NVRAM_OFFSET(abStripeInitRecordA));
    for (uint8_t k = 0; k < 16; ++k) pbStripe[k] = static_cast<uint8_t>(0x30 + k);
    StartB();
    ASSERT_TRUE(RunBoth([this] { return b->Booted(); }, dual::kBootLimitNs));
    EXPECT_EQ(0, std::memcmp(At(b->board, NVRAM_OFFSET(bExpansionSelector)), pbExpansion, 32));
    EXPECT_EQ(0, std::memcmp(At(b->board, NVRAM_OFFSET(abStripeInitRecordA)), pbStripe, 16));
}

// Flag bytes that are neither TRUE nor FALSE are no record to take: the
// joiner starts from an empty one.
TEST_F(LateSecond, AJoinerDoesNotTakeAnExpansionRecordWhoseFlagsMakeNoSense) {
    uint8_t* pbExpansion = At(a->board, NVRAM_OFFSET(bExpansionSelector));
    pbExpansion[0] = 0x55;
    pbExpansion[1] = fw::TRUE;
    for (uint8_t k = 0; k < 24; ++k) pbExpansion[8 + k] = 0xEE;
    StartB();
    ASSERT_TRUE(RunBoth([this] { return b->Booted(); }, dual::kBootLimitNs));
    const uint8_t* pb = At(b->board, NVRAM_OFFSET(bExpansionSelector));
    EXPECT_EQ(pb[0], fw::TRUE);
    EXPECT_EQ(pb[1], fw::FALSE);
    EXPECT_EQ(pb[8], 0);
}

// The running controller goes while the joiner waits for its ping: the
// joiner times out, goes on by itself and serves.  Its drive side is found
// again and failed back alone through seconds of waits, in which its main
// loop idles between ticks instead of spinning.
TEST_F(LateSecond, APartnerLostDuringTheHandshakeLeavesTheJoinerServingAlone) {
    StartB();
    // Cut as soon as the joiner found it running (its console lags behind).
    ASSERT_TRUE(RunBoth([] { return fw_b::fGetHeartbeatRequestFlag() == fw::TRUE; }, dual::kBootLimitNs))
        << Consoles();
    a->board.CutPower();
    const uint32_t dCycles = fw_b::dMainLoopCycles;
    const uint64_t lStart = clock.Now();
    ASSERT_TRUE(RunBoth([this] { return b->Booted() && fw_b::fIsSASFailbackInProgress() != fw::TRUE; },
                        dual::kBootLimitNs))
        << Consoles();
    EXPECT_EQ(fw_b::fIsDualControllerActive(), fw::FALSE);
    EXPECT_EQ(fw_b::sGetPartnerState().fPartnerAlive, fw::FALSE);
    // An idle loop runs a few passes per 1 ms tick; one kept busy by a
    // service that only waits runs thousands.
    EXPECT_LT((fw_b::dMainLoopCycles - dCycles) / ((clock.Now() - lStart) / kMs + 1), 100u);
}

// The joiner is cut once the running controller answered its failback
// request (message 159) and before its join ended: the running one holds
// neither its host commands nor its drive side's background work for a
// partner that is gone.
TEST_F(LateSecond, AJoinerLostBeforeItsJoinEndedLeavesNothingHeldOnTheRunningOne) {
    StartB();
    ASSERT_TRUE(RunBoth([] { return fw::fIsSASOCFailbackInProgress() == fw::TRUE; }, dual::kBootLimitNs))
        << Consoles();
    EXPECT_EQ(fw::fGetPartnerWork(), fw::TRUE);
    b->board.CutPower();
    (void)RunBoth(nullptr, 30000 * kMs);
    EXPECT_EQ(fw::fIsDualControllerActive(), fw::FALSE);
    EXPECT_EQ(fw::fGetPartnerWork(), fw::FALSE);
    EXPECT_EQ(fw::fIsSASOCFailbackInProgress(), fw::FALSE);
}

// A controller that gave its partner up answers it NOT READY, but for the
// start-of-day requests that bring it back: the partner's request for the
// configuration token is not taken, and the partner, told so, restarts and
// joins again.
class PartnerGivenUp : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }
    // Controller 1 asks for the token; its slot, or 0xFFFF when not queued.
    uint16_t SendTokenRequestFromB() {
        const fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(fw::MESSAGE_WRITE_TOKEN_REQUEST);
        uint16_t wSlot = 0;
        return fw_b::bSendMessageToPartner(reinterpret_cast<const fw_b::INTER_CONTROLLER_MESSAGE*>(&s), &wSlot, 0) ==
                       fw::STATUS_OK
                   ? wSlot
                   : 0xFFFF;
    }
    // True once controller 1's message in that slot was answered.
    bool AskForTokenFromB() {
        const uint16_t wSlot = SendTokenRequestFromB();
        if (wSlot == 0xFFFF) return false;
        return RunUntil([wSlot] {
            fw_b::PARTNER_MESSAGE_SLOT* ps = nullptr;
            fw_b::pGetOutgoingMessageSlot(wSlot, &ps);
            return reinterpret_cast<const fw::PARTNER_MESSAGE_SLOT*>(ps)->fInUse != fw::TRUE;
        }, 1000 * kMs);
    }
};

TEST_F(PartnerGivenUp, ItsMessagesAreRefusedAndItRestartsToJoinAgain) {
    ASSERT_EQ(fw::fIsConfigWritePartnerPending(), fw::FALSE);
    b->board.fpga().heartbeatQuiet = true;
    ASSERT_TRUE(RunUntil([] { return fw::fIsDualControllerActive() != fw::TRUE; }, 200 * kMs)) << Consoles();
    ASSERT_EQ(fw_b::fIsDualControllerActive(), fw::TRUE);
    ASSERT_NE(SendTokenRequestFromB(), 0xFFFF);
    ASSERT_TRUE(RunUntil([&] { return b->board.lastStop() == sim::StopKind::Reset; }, 5000 * kMs)) << Consoles();
    EXPECT_EQ(fw::fIsConfigWritePartnerPending(), fw::FALSE);
    // Its heartbeat reaches controller 0 again once it restarted.
    b->board.fpga().heartbeatQuiet = false;
    rebootOnReset = true;
    ASSERT_TRUE(RunUntil(
        [&] {
            return restarts != 0 && b->Booted() && fw::fIsDualControllerActive() == fw::TRUE &&
                   fw_b::fIsDualControllerActive() == fw::TRUE;
        },
        dual::kBootLimitNs))
        << Consoles();
    EXPECT_EQ(restarts, 1u);
    EXPECT_NE(b->board.ConsoleText().find("Partner Controller.........Initialized\r\n"), std::string::npos)
        << Consoles();
}

// A controller waiting for the journals of the partner it gave up (writes
// only that partner holds) has written nothing since: the partner's
// messages are refused, but not as a given-up one's, which would have it
// discard those journals and restart.
TEST_F(PartnerGivenUp, APartnerWhoseJournalsAreAwaitedIsNotToldToRestart) {
    b->board.fpga().heartbeatQuiet = true;
    ASSERT_TRUE(RunUntil(
        [] { return fw::fIsDualControllerActive() != fw::TRUE && fw::fGetDualControllerWorkFlag() != fw::TRUE; },
        5000 * kMs))
        << Consoles();
    harness::OnMainLoop(a->board, [] { fw::AwaitPartnerJournals(); });
    ASSERT_EQ(fw_b::fIsDualControllerActive(), fw::TRUE);
    ASSERT_NE(SendTokenRequestFromB(), 0xFFFF);
    (void)RunUntil([&] { return b->board.lastStop() == sim::StopKind::Reset; }, 5000 * kMs);
    EXPECT_NE(b->board.lastStop(), sim::StopKind::Reset) << Consoles();
    EXPECT_EQ(fw::fIsAwaitingPartnerJournals(), fw::TRUE);
    EXPECT_EQ(fw::fIsConfigWritePartnerPending(), fw::FALSE);
}

// The same request from a partner still kept is taken: with the link gone
// from this side too, it stays pending here.
TEST_F(PartnerGivenUp, AKeptPartnersRequestIsTaken) {
    ASSERT_EQ(fw::fIsConfigWritePartnerPending(), fw::FALSE);
    ASSERT_TRUE(AskForTokenFromB()) << Consoles();
    EXPECT_EQ(fw::fIsConfigWritePartnerPending() == fw::TRUE || fw::fIsConfigWriteOwned() == fw::FALSE, true);
}

}  // namespace

