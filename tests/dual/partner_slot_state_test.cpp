// The slot state of the controller enclosure's slot page, kept alike on
// both controllers: the master hands its slot control table to its partner
// whenever it sends the page, and the partner takes it over and sends the
// same page down its own path when it reaches the enclosure services
// itself; a change made on the slave goes to the master.  Requests made on
// both at the same moment both stand.  A table that is not one, or that
// did not arrive whole, is refused and the own one kept; a page that could
// not be sent is not reported as sent.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "enclosure/enclosure_records.h"
#include "enclosure/ses_poll.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "hw/ses.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"

namespace fw_b {
uint8_t bGetSlotControlState(uint8_t bEnclosure, uint8_t bSlot, uint8_t* pbRequest, uint32_t* pdRemaining);
uint8_t bQueueEnclosureSlotControl(uint8_t bEnclosure, uint8_t bSlot, uint8_t bState, uint8_t bRequest,
                                   uint8_t bDuration);
uint8_t bGetPartnerAlpaPath1();
uint8_t bGetPartnerAlpaPath2();
void SetPartnerAlpaPath1(uint8_t b);
void SetPartnerAlpaPath2(uint8_t b);
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;

class PartnerSlotState : public ::testing::Test, protected dual::Pair {
protected:
    struct Answers {
        unsigned count = 0;
        sim::SasController::PartnerAnswer last;
    };
    void SetUp() override {
        ASSERT_TRUE(Boot()) << Consoles();
        Follow(a->board, toA);
        Follow(b->board, toB);
        KeepSlotPages(a->board, pageOfA);
        KeepSlotPages(b->board, pageOfB);
    }
    void TearDown() override {
        for (sim::Board* p : {&a->board, &b->board}) {
            p->sasController().partnerAnswerSeen = nullptr;
            p->sasController().enclosureCommandSeen = nullptr;
        }
    }
    // The newest slot page the board sent the enclosure.
    static void KeepSlotPages(sim::Board& board, std::vector<uint8_t>& page) {
        board.sasController().enclosureCommandSeen = [&page](std::span<const uint8_t> cdb,
                                                             std::span<const uint8_t> data) {
            if (cdb[0] == fw::SCSI_SEND_DIAGNOSTIC && data.size() == fw::SES_SLOT_PAGE_BYTES &&
                data[0] == fw::SES_PAGE_SLOT) {
                page.assign(data.begin(), data.end());
            }
        };
    }
    static bool PowersOff(const std::vector<uint8_t>& page, uint8_t bSlot) {
        return page.size() == fw::SES_SLOT_PAGE_BYTES &&
               page[fw::SES_SLOT_PAGE_FIRST_ELEMENT + 4u * (bSlot - 1u) + 3] == fw::SES_SLOT_POWER_OFF;
    }
    // The partner's answers to the slot state messages this board sent.
    static void Follow(sim::Board& board, Answers& answers) {
        board.sasController().partnerAnswerSeen = [&board, &answers](const uint8_t* pbCdb, uint8_t) {
            if (pbCdb[0] != fw::PARTNER_TYPED_MESSAGE || pbCdb[1] != fw::AA_MUX_MESSAGE_SLOT_STATE) return;
            ++answers.count;
            answers.last = board.sasController().lastPartnerAnswer();
        };
    }
    bool AnsweredAfter(const Answers& answers, unsigned before, uint64_t limitNs = 60'000 * kMs) {
        return RunUntil([&] { return answers.count != before; }, limitNs);
    }
    unsigned SlotPages() const { return chassis.processor(0).controlPages(fw::SES_PAGE_SLOT); }
    // Controller 0 sends a slot state message of dBytes, the state's first
    // bytes, as the sender would; true once the partner answered it.
    bool SendFromA(const fw::AA_MUX_SLOT_STATE& sState, uint32_t dBytes = sizeof(fw::AA_MUX_SLOT_STATE)) {
        const unsigned before = toA.count;
        uint8_t bSent = 0;
        if (!OnProcessor(a->board, [&] {
                bSent = fw::bSendPartnerTable(fw::AA_MUX_MESSAGE_SLOT_STATE, 0, &sState, dBytes, dBytes);
            })) {
            return false;
        }
        return bSent == fw::STATUS_OK && AnsweredAfter(toA, before);
    }
    // Every slot powered and steady, as a controller that keeps no
    // revisions sends it.
    static fw::AA_MUX_SLOT_STATE Steady() {
        fw::AA_MUX_SLOT_STATE s{};
        s.sTable.dChangeCount = 1;
        s.sTable.dOne = 1;
        for (fw::SLOT_CONTROL_ENTRY& e : s.sTable.asEntry) {
            e.dRequest = fw::SLOT_REQUEST_STEADY;
            e.dWantedState = fw::SLOT_STATE_ON;
        }
        return s;
    }
    // A slot's wanted state, request and time left on a controller, read
    // on its processor (the table is in its buffer memory).
    struct SlotState {
        uint8_t bState = 0, bRequest = 0;
        uint32_t dRemaining = 0;
    };
    SlotState OnA(uint8_t bSlot) {
        SlotState s;
        EXPECT_TRUE(OnProcessor(a->board, [&] { s.bState = fw::bGetSlotControlState(1, bSlot, &s.bRequest, &s.dRemaining); }));
        return s;
    }
    SlotState OnB(uint8_t bSlot) {
        SlotState s;
        EXPECT_TRUE(
            OnProcessor(b->board, [&] { s.bState = fw_b::bGetSlotControlState(1, bSlot, &s.bRequest, &s.dRemaining); }));
        return s;
    }
    // The master powers a slot off and sends its slot page, as its
    // enclosure step does; true once the partner answered the slot state.
    bool MasterPowersOff(uint8_t bSlot, uint8_t* pbSent) {
        uint8_t bQueued = 0;
        if (!OnProcessor(a->board, [&] {
                bQueued = fw::bQueueEnclosureSlotControl(1, bSlot, fw::SLOT_STATE_OFF, fw::SLOT_REQUEST_STEADY, 0);
            }) ||
            bQueued != fw::STATUS_OK) {
            return false;
        }
        const unsigned before = toA.count;
        return OnProcessor(a->board, [&] { *pbSent = fw::bSendSASEnclosureSlotPage(); }, 60'000 * kMs) &&
               AnsweredAfter(toA, before);
    }
    // The same, sent and answered as done: the slot pages the enclosure
    // took meanwhile.
    unsigned PagesOfMastersPowerOff(uint8_t bSlot) {
        const unsigned dPages = SlotPages();
        uint8_t bSent = 0;
        EXPECT_TRUE(MasterPowersOff(bSlot, &bSent)) << Consoles();
        EXPECT_EQ(bSent, fw::STATUS_OK);
        EXPECT_EQ(toA.last.status, fw::SCSI_STATUS_GOOD);
        return SlotPages() - dPages;
    }
    bool SlavePowersOff(uint8_t bSlot) {
        const unsigned before = toB.count;
        uint8_t bQueued = 0;
        return OnProcessor(b->board, [&] {
                   bQueued = fw_b::bQueueEnclosureSlotControl(1, bSlot, fw::SLOT_STATE_OFF, fw::SLOT_REQUEST_STEADY, 0);
               }) &&
               bQueued == fw::STATUS_OK && AnsweredAfter(toB, before);
    }
    // fnA and fnB run on the two processors at their next polls, at the
    // same moment: what one sends the other has not yet seen.
    bool AtOnce(const std::function<void()>& fnA, const std::function<void()>& fnB) {
        bool afStarted[2] = {false, false}, afDone[2] = {false, false};
        const auto once = [&](int i, const std::function<void()>& fn) {
            return [&, i] {
                if (afStarted[i]) return;
                afStarted[i] = true;
                fn();
                afDone[i] = true;
            };
        };
        a->board.pollHook = once(0, fnA);
        b->board.pollHook = once(1, fnB);
        const bool f = RunUntil([&] { return afDone[0] && afDone[1]; }, 60'000 * kMs);
        a->board.pollHook = nullptr;
        b->board.pollHook = nullptr;
        return f;
    }
    // Until neither controller has a message to or from the partner left.
    bool Settled() {
        return RunUntil([] { return Quiet(fw::sGetPartnerMessageCounts()) && Quiet(fw_b::sGetPartnerMessageCounts()); },
                        60'000 * kMs);
    }
    static uint8_t PowerOffOnA(uint8_t bSlot, uint8_t bRequest = fw::SLOT_REQUEST_STEADY, uint8_t bDuration = 0) {
        return fw::bQueueEnclosureSlotControl(1, bSlot, fw::SLOT_STATE_OFF, bRequest, bDuration);
    }
    static uint8_t PowerOffOnB(uint8_t bSlot, uint8_t bRequest = fw::SLOT_REQUEST_STEADY, uint8_t bDuration = 0) {
        return fw_b::bQueueEnclosureSlotControl(1, bSlot, fw::SLOT_STATE_OFF, bRequest, bDuration);
    }
    // The master powers slot bOnA off and the slave slot bOnB at the same
    // moment, the master also sending its page when fMasterSends (so the
    // two states cross on the link): both requests must stand on both,
    // in the newest page each sent and at the enclosure.
    void ExpectBothStand(uint8_t bOnA, uint8_t bOnB, bool fMasterSends) {
        uint8_t abQueued[2] = {0, 0};
        pageOfA.clear();
        pageOfB.clear();
        ASSERT_TRUE(AtOnce(
            [&] {
                abQueued[0] = PowerOffOnA(bOnA);
                if (fMasterSends) (void)fw::bSendSASEnclosureSlotPage();
            },
            [&] { abQueued[1] = PowerOffOnB(bOnB); }))
            << Consoles();
        ASSERT_EQ(abQueued[0], fw::STATUS_OK);
        ASSERT_EQ(abQueued[1], fw::STATUS_OK);
        ASSERT_TRUE(Settled()) << Consoles();
        for (uint8_t bSlot : {bOnA, bOnB}) {
            SCOPED_TRACE(testing::Message() << "slot " << int(bSlot));
            EXPECT_EQ(OnA(bSlot).bState, fw::SLOT_STATE_OFF);
            EXPECT_EQ(OnB(bSlot).bState, fw::SLOT_STATE_OFF);
            EXPECT_TRUE(PowersOff(pageOfA, bSlot));
            EXPECT_TRUE(PowersOff(pageOfB, bSlot));
            EXPECT_FALSE(chassis.SlotPowered(bSlot));
        }
        EXPECT_EQ(OnB(1).bState, fw::SLOT_STATE_ON);
        EXPECT_FALSE(PowersOff(pageOfB, 1));
    }
    void ExpectRefused(uint8_t bKey, uint8_t bAsc) const {
        EXPECT_EQ(toA.last.status, fw::SCSI_STATUS_CHECK_CONDITION);
        EXPECT_EQ(toA.last.key, bKey);
        EXPECT_EQ(toA.last.asc, bAsc);
    }

    Answers toA, toB;
    std::vector<uint8_t> pageOfA, pageOfB;
};

// The master powers a slot off: the slave takes the slot's state over and
// sends its own page with it, so the enclosure keeps the slot off whichever
// page came last, and the slave reports the slot off.
TEST_F(PartnerSlotState, TheMastersSlotStateIsTakenAndSentByThePartnerToo) {
    ASSERT_EQ(fw::fIsMasterController(), fw::TRUE);
    ASSERT_EQ(OnB(12).bState, fw::SLOT_STATE_ON);
    EXPECT_GE(PagesOfMastersPowerOff(12), 2u);
    EXPECT_FALSE(chassis.SlotPowered(12));
    const SlotState s = OnB(12);
    EXPECT_EQ(s.bState, fw::SLOT_STATE_OFF);
    EXPECT_EQ(s.bRequest, fw::SLOT_REQUEST_STEADY);
    EXPECT_TRUE(chassis.SlotPowered(11));
}

// A change made on the slave goes to the master, which takes it over and
// powers the slot off; the state it hands back leaves the slave's as it was.
TEST_F(PartnerSlotState, AChangeOnTheSlaveReachesTheMaster) {
    const unsigned before = toA.count;
    ASSERT_TRUE(SlavePowersOff(10)) << Consoles();
    EXPECT_EQ(toB.last.status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(OnA(10).bState, fw::SLOT_STATE_OFF);
    ASSERT_TRUE(AnsweredAfter(toA, before)) << Consoles();
    EXPECT_EQ(toA.last.status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(OnB(10).bState, fw::SLOT_STATE_OFF);
    EXPECT_FALSE(chassis.SlotPowered(10));
}

// Each controller powers a slot off at the same moment.  The slave's state
// reaches the master before the master has sent its own: the master's
// request, not yet sent, is kept beside the slave's and handed back.
TEST_F(PartnerSlotState, ChangesMadeOnBothAtOnceBothStand) { ExpectBothStand(7, 8, false); }

// The same with the master sending its page at that moment: the two
// states cross on the link, and each side takes only the other's change.
TEST_F(PartnerSlotState, ChangesThatCrossOnTheLinkBothStand) { ExpectBothStand(6, 3, true); }

// Both change the same slot at once, differently: both end with the
// master's request.
TEST_F(PartnerSlotState, OneSlotChangedOnBothAtOnceEndsAsTheMastersRequest) {
    uint8_t abQueued[2] = {0, 0};
    ASSERT_TRUE(AtOnce([&] { abQueued[0] = PowerOffOnA(4); },
                       [&] { abQueued[1] = PowerOffOnB(4, fw::SLOT_REQUEST_TIMED, 250); }))
        << Consoles();
    ASSERT_EQ(abQueued[0], fw::STATUS_OK);
    ASSERT_EQ(abQueued[1], fw::STATUS_OK);
    ASSERT_TRUE(Settled()) << Consoles();
    for (const SlotState& s : {OnA(4), OnB(4)}) {
        EXPECT_EQ(s.bState, fw::SLOT_STATE_OFF);
        EXPECT_EQ(s.bRequest, fw::SLOT_REQUEST_STEADY);
    }
}

// The slave's state could not be queued for the master when its request
// was made.  When the master's state then arrives without that request,
// the slave hands its own over: both keep both requests.
TEST_F(PartnerSlotState, ARequestTheMasterMissedIsHandedOverWhenItsStateArrives) {
    uint8_t abKept[2] = {0, 0};
    uint8_t bQueued = 0;
    ASSERT_TRUE(OnProcessor(b->board, [&] {
        abKept[0] = fw_b::bGetPartnerAlpaPath1();
        abKept[1] = fw_b::bGetPartnerAlpaPath2();
        fw_b::SetPartnerAlpaPath1(0xFF);
        fw_b::SetPartnerAlpaPath2(0xFF);
        bQueued = PowerOffOnB(2);
        fw_b::SetPartnerAlpaPath1(abKept[0]);
        fw_b::SetPartnerAlpaPath2(abKept[1]);
    }));
    ASSERT_EQ(bQueued, fw::STATUS_OK);
    ASSERT_TRUE(Settled()) << Consoles();
    ASSERT_EQ(OnA(2).bState, fw::SLOT_STATE_ON);

    EXPECT_GE(PagesOfMastersPowerOff(5), 2u);
    ASSERT_TRUE(Settled()) << Consoles();
    for (uint8_t bSlot : {2, 5}) {
        SCOPED_TRACE(testing::Message() << "slot " << int(bSlot));
        EXPECT_EQ(OnA(bSlot).bState, fw::SLOT_STATE_OFF);
        EXPECT_EQ(OnB(bSlot).bState, fw::SLOT_STATE_OFF);
        EXPECT_FALSE(chassis.SlotPowered(bSlot));
    }
}

// A table whose entries carry no revisions comes from a controller that
// keeps none: it is taken whole, even over a request made here.
TEST_F(PartnerSlotState, ATableWithoutRevisionsIsTakenWhole) {
    ASSERT_TRUE(SlavePowersOff(3)) << Consoles();
    ASSERT_TRUE(Settled()) << Consoles();
    ASSERT_EQ(OnB(3).bState, fw::SLOT_STATE_OFF);
    ASSERT_TRUE(SendFromA(Steady())) << Consoles();
    EXPECT_EQ(toA.last.status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(OnB(3).bState, fw::SLOT_STATE_ON);
}

// A timed request keeps the time it had left on the sender's clock.  A
// state that is not a slot control table, or one whose data did not
// arrive whole, is refused and the table taken before is kept.
TEST_F(PartnerSlotState, ATimedRequestKeepsItsTimeAndABadOrShortTableIsRefused) {
    fw::AA_MUX_SLOT_STATE sState = Steady();
    sState.dSenderTickHalf = 0x12345678;   // the sender's clock, far from this one's
    for (fw::SLOT_CONTROL_ENTRY& r : sState.sTable.asEntry) r.dRevision = 1;
    fw::SLOT_CONTROL_ENTRY& e = sState.sTable.asEntry[4];
    e.dRevision = 2;   // one request made on the sender
    e.dRequest = fw::SLOT_REQUEST_TIMED;
    e.dWantedState = fw::SLOT_STATE_OFF;
    e.dDeadline = sState.dSenderTickHalf + 200;
    ASSERT_TRUE(SendFromA(sState)) << Consoles();
    EXPECT_EQ(toA.last.status, fw::SCSI_STATUS_GOOD);
    SlotState s = OnB(5);
    EXPECT_EQ(s.bState, fw::SLOT_STATE_OFF);
    EXPECT_EQ(s.bRequest, fw::SLOT_REQUEST_TIMED);
    EXPECT_GT(s.dRemaining, 150u);
    EXPECT_LE(s.dRemaining, 200u);

    fw::AA_MUX_SLOT_STATE sBad = Steady();
    sBad.sTable.asEntry[0].dWantedState = fw::SLOT_STATE_OFF;
    sBad.sTable.asEntry[4].dRequest = 9;
    ASSERT_TRUE(SendFromA(sBad)) << Consoles();
    ExpectRefused(fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_PARAMETERS);

    // The first entries only: what would follow in the receiver's pages is
    // whatever they held before, never to be taken for the table's end.
    fw::AA_MUX_SLOT_STATE sShort = sState;
    sShort.sTable.asEntry[0].dWantedState = fw::SLOT_STATE_OFF;
    ASSERT_TRUE(SendFromA(sShort, 1000)) << Consoles();
    ExpectRefused(fw::SENSE_ABORTED_COMMAND, 0x47);

    EXPECT_EQ(OnB(1).bState, fw::SLOT_STATE_ON);
    s = OnB(5);
    EXPECT_EQ(s.bState, fw::SLOT_STATE_OFF);
    EXPECT_EQ(s.bRequest, fw::SLOT_REQUEST_TIMED);
}

// With the enclosure's processor silent neither page goes out: the
// partner answers that it could not send its own, and the master's send
// is not reported as done although its message to the partner was queued.
TEST_F(PartnerSlotState, APageThatCouldNotBeSentIsNotReportedAsSent) {
    chassis.processor(0).SetSilent(true);
    uint8_t bSent = fw::STATUS_OK;
    ASSERT_TRUE(MasterPowersOff(9, &bSent)) << Consoles();
    EXPECT_NE(bSent, fw::STATUS_OK);
    ExpectRefused(fw::SENSE_HARDWARE_ERROR, fw::ASC_INTERNAL_TARGET_FAILURE);
    EXPECT_TRUE(chassis.SlotPowered(9));
}

// The slave's path to the enclosure services is gone: it keeps the slot
// state it is handed and answers for it, but has no page to send.
class PartnerSlotStateWithoutEnclosure : public PartnerSlotState {
protected:
    void SetUp() override {
        b->board.sasController().HideEnclosureProcessors();
        PartnerSlotState::SetUp();
    }
};

TEST_F(PartnerSlotStateWithoutEnclosure, TheSlaveKeepsTheStateAndSendsNoPage) {
    EXPECT_EQ(PagesOfMastersPowerOff(11), 1u);
    EXPECT_EQ(OnB(11).bState, fw::SLOT_STATE_OFF);
    EXPECT_FALSE(chassis.SlotPowered(11));

    // Its own change still reaches the enclosure, through the master.
    ASSERT_TRUE(SlavePowersOff(12)) << Consoles();
    EXPECT_EQ(toB.last.status, fw::SCSI_STATUS_GOOD);
    ASSERT_TRUE(RunUntil([&] { return !chassis.SlotPowered(12); }, 5000 * kMs)) << Consoles();
    EXPECT_EQ(OnB(12).bState, fw::SLOT_STATE_OFF);
}

}  // namespace
