// The link between two controllers in one enclosure: each finds the other's
// drive IOC ports on the shared expander, and typed messages go across as
// SCSI commands with a CRC on their CDB, answered through the drive IOC's
// target mode, resent when the answer says they were damaged or lost.
#include <gtest/gtest.h>

#include <cstring>

#include "eventlog/event_log.h"
#include "executive/work_flags.h"
#include "harness/dual_pair.h"
#include "partner/partner_messages.h"
#include "partner/partner_state.h"
#include "sas/partner_traffic.h"
#include "sas/sas_flags.h"
#include "target/stage_rings.h"

namespace fw_b {
using fw::EVENT_LOG_ENTRY;
using fw::PARTNER_MESSAGE_COUNTS;
void GetEventLogPosition(uint16_t* pwCount, uint16_t* pwNext);
const EVENT_LOG_ENTRY* psGetEventLogEntry(uint16_t wIndex);
void SetSASIOCRestartRequest(uint8_t f);
uint8_t fIsSASIOCRestartRequested();
uint8_t fIsSASIOCRestartInProgress();
void SetSasDiscoveryWork(uint8_t f);
const PARTNER_MESSAGE_COUNTS& sGetPartnerMessageCounts();
uint8_t fIsPartnerOnPath1();
uint8_t fIsPartnerOnPath2();
uint8_t bGetPartnerAlpaPath1();
uint8_t bGetPartnerAlpaPath2();
}  // namespace fw_b

namespace {

constexpr uint64_t kMessageLimitNs = 2'000'000'000ull;

TEST(MessageCrc, IsTheStandardCrcOfTheCdbWordsCarriedLowHalfFirst) {
    uint8_t abCdb[16];
    for (uint8_t i = 0; i < 16; ++i) abCdb[i] = i;
    uint32_t adWords[4];
    std::memcpy(adWords, abCdb, sizeof adWords);
    const uint32_t dCrc = fw::dCalculateMessageCRC32(adWords, 4);
    uint8_t abLun[4];
    std::memcpy(abLun, &dCrc, 4);   // as the request's LUN bytes 4-7 carry it
    EXPECT_EQ(abLun[0], 0xD7);
    EXPECT_EQ(abLun[1], 0x92);
    EXPECT_EQ(abLun[2], 0x40);
    EXPECT_EQ(abLun[3], 0xEF);
    // One bit anywhere changes it.
    for (int i = 0; i < 4; ++i) {
        uint32_t adFlipped[4];
        std::memcpy(adFlipped, adWords, sizeof adFlipped);
        adFlipped[i] ^= 1u << (7 * i);
        EXPECT_NE(fw::dCalculateMessageCRC32(adFlipped, 4), dCrc) << i;
    }
}

class PartnerLink : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }

    // A typed message from controller 0 that the partner's catalogue answers
    // GOOD (the configuration token's grant).
    uint16_t SendFromA() {
        const fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(49);
        uint16_t wSlot = 0;
        EXPECT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
        return wSlot;
    }
    bool SlotDone(uint16_t wSlot) {
        fw::PARTNER_MESSAGE_SLOT* ps = nullptr;
        fw::pGetOutgoingMessageSlot(wSlot, &ps);
        return ps->fInUse != fw::TRUE;
    }
};

TEST_F(PartnerLink, EachControllerFindsThePartnersTwoPorts) {
    const sim::SasController& iocA = a->board.sasController();
    const sim::SasController& iocB = b->board.sasController();
    EXPECT_EQ(fw::fIsPartnerOnPath1(), fw::TRUE);
    EXPECT_EQ(fw::fIsPartnerOnPath2(), fw::TRUE);
    EXPECT_EQ(fw::bGetPartnerAlpaPath1(), iocA.TargetOf(iocB.PortSasAddress(0)));
    EXPECT_EQ(fw::bGetPartnerAlpaPath2(), iocA.TargetOf(iocB.PortSasAddress(1)));
    EXPECT_EQ(fw_b::fIsPartnerOnPath1(), fw::TRUE);
    EXPECT_EQ(fw_b::bGetPartnerAlpaPath1(), iocB.TargetOf(iocA.PortSasAddress(0)));
    EXPECT_EQ(fw_b::bGetPartnerAlpaPath2(), iocB.TargetOf(iocA.PortSasAddress(1)));
}

TEST_F(PartnerLink, AMessageIsAnsweredOnceAndItsSlotsFreed) {
    const uint32_t dSent = a->board.sasController().partnerCommandsSent();
    const uint16_t wSlot = SendFromA();
    ASSERT_TRUE(RunUntil([&] { return SlotDone(wSlot); }, kMessageLimitNs));
    EXPECT_EQ(a->board.sasController().partnerCommandsSent(), dSent + 1);
    EXPECT_EQ(fw::sGetPartnerMessageCounts().dResends, 0u);
    EXPECT_EQ(fw::sGetPartnerMessageCounts().wOutgoingTotal, 0);
    ASSERT_TRUE(RunUntil([&] { return fw_b::sGetPartnerMessageCounts().wIncomingTotal == 0; }, kMessageLimitNs));
    EXPECT_EQ(fw_b::sGetPartnerMessageCounts().dInvalidCdbs, 0u);
}

// Typed messages the partner has no receiver for (below the catalogue,
// beyond it, or codes whose services this board does not have), and a LUN
// beyond the table in message 50, are answered ILLEGAL REQUEST, INVALID
// FIELD IN CDB: not taken as done.
TEST_F(PartnerLink, CodesWithoutAReceiverAndALunBeyondTheTableAreRefused) {
    struct Case {
        uint8_t bCode;
        uint16_t wLun;   // message 50's LUN
    };
    for (const Case c : {Case{17, 0}, Case{19, 0}, Case{59, 0}, Case{151, 0}, Case{196, 0}, Case{207, 0},
                         Case{216, 0}, Case{50, fw::LUN_COUNT}, Case{50, 0xFFFF}}) {
        SCOPED_TRACE(testing::Message() << "code " << int(c.bCode) << " LUN " << c.wLun);
        fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(c.bCode);
        fw::PutBe16(s.abCdb + 2, c.wLun);
        uint16_t wSlot = 0;
        const uint32_t dAnswers = a->board.sasController().lastPartnerAnswer().count;
        ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
        ASSERT_TRUE(RunUntil([&] { return SlotDone(wSlot); }, kMessageLimitNs));
        const sim::SasController::PartnerAnswer& r = a->board.sasController().lastPartnerAnswer();
        EXPECT_EQ(r.count, dAnswers + 1);
        EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
        EXPECT_EQ(r.key, 5);
        EXPECT_EQ(r.asc, 0x24);
        EXPECT_EQ(r.ascq, 0);
    }
    // A LUN inside the table is taken.
    fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(50);
    fw::PutBe16(s.abCdb + 2, fw::LUN_COUNT - 1);
    uint16_t wSlot = 0;
    ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
    ASSERT_TRUE(RunUntil([&] { return SlotDone(wSlot); }, kMessageLimitNs));
    EXPECT_EQ(a->board.sasController().lastPartnerAnswer().status, fw::SCSI_STATUS_GOOD);
}

// A mirror message needs room for two messages of every host command at
// work on the host ports, and three more: it is taken while the outgoing
// table has that room, however many other messages wait there, and
// refused once it has not.  Commands still new do not count.
TEST_F(PartnerLink, AMirrorIsRefusedOnlyWhenTheTableCannotHoldItsReserve) {
    constexpr uint16_t kWaiting = 2000;
    constexpr uint32_t kStartedThatFit = (fw::PARTNER_SLOTS - kWaiting - 3) / 2;
    const auto port = [](uint32_t i) { return i % 2 ? fw::PORT_CODE_FC_HOST_2 : fw::PORT_CODE_FC_HOST_1; };
    uint16_t wWaiting = 0;
    uint8_t bAmongWaiting = 0, bAtTheEdge = 0, bWithANewOne = 0, bBeyond = 0, bOther = 0;
    ASSERT_TRUE(OnProcessor(a->board, [&] {
        const fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(49);
        for (uint16_t i = 0; i < kWaiting; ++i) {
            uint16_t wSlot = 0;
            if (fw::bSendMessageToPartner(&s, &wSlot, 0) != fw::STATUS_OK) break;
        }
        wWaiting = fw::sGetPartnerMessageCounts().wOutgoingTotal;
        bAmongWaiting = fw::bCheckOutgoingQueueSpace(fw::PARTNER_MESSAGE_MIRROR);
        for (uint32_t i = 0; i < kStartedThatFit; ++i) fw::IncPortTotalCommands(port(i));
        bAtTheEdge = fw::bCheckOutgoingQueueSpace(fw::PARTNER_MESSAGE_MIRROR);
        // One more arrives, and starts.
        fw::QueueNewCommand(fw::PORT_CODE_FC_HOST_1, 0);
        bWithANewOne = fw::bCheckOutgoingQueueSpace(fw::PARTNER_MESSAGE_MIRROR);
        fw::DecPortNewCommands(fw::PORT_CODE_FC_HOST_1);
        bBeyond = fw::bCheckOutgoingQueueSpace(fw::PARTNER_MESSAGE_MIRROR);
        bOther = fw::bCheckOutgoingQueueSpace(49);
        for (uint32_t i = 0; i <= kStartedThatFit; ++i) fw::DecPortTotalCommands(port(i));
    }));
    ASSERT_EQ(wWaiting, kWaiting);
    EXPECT_EQ(bAmongWaiting, fw::STATUS_OK);
    EXPECT_EQ(bAtTheEdge, fw::STATUS_OK);
    EXPECT_EQ(bWithANewOne, fw::STATUS_OK);
    EXPECT_EQ(bBeyond, fw::STATUS_RETRY);
    EXPECT_EQ(bOther, fw::STATUS_OK);
}

// The partner's ports as discovery reports them to the link: path 1 or 2,
// at the target id given, with the SAS address it had.
void ReportPartnerPort(uint8_t bPath, uint8_t bTarget) {
    const uint8_t* pb = fw::sGetPartnerState().aabPortName[bPath - 1];
    uint32_t adAddress[2] = {};
    for (int k = 0; k < 4; ++k) {
        adAddress[1] = adAddress[1] << 8 | pb[k];
        adAddress[0] = adAddress[0] << 8 | pb[4 + k];
    }
    fw::SetPartnerDrivePath(bPath, bTarget != 0xFF ? fw::TRUE : fw::FALSE, bTarget, adAddress);
}

// The partner's ports move while a message waits to be sent: it goes to
// where they are now, once, without a resend.  With no port left it ends
// as not delivered, never sent.
TEST_F(PartnerLink, AMessageWaitingToBeSentFollowsThePartnersPorts) {
    const uint8_t abReal[2] = {fw::bGetPartnerAlpaPath1(), fw::bGetPartnerAlpaPath2()};
    const uint32_t dSent = a->board.sasController().partnerCommandsSent();
    ReportPartnerPort(1, 0x70);
    ReportPartnerPort(2, 0x71);
    const uint16_t wSlot = SendFromA();
    ReportPartnerPort(1, abReal[0]);
    ReportPartnerPort(2, abReal[1]);
    ASSERT_TRUE(RunUntil([&] { return SlotDone(wSlot); }, kMessageLimitNs));
    EXPECT_EQ(a->board.sasController().partnerCommandsSent(), dSent + 1);
    EXPECT_EQ(fw::sGetPartnerMessageCounts().dResends, 0u);

    const uint16_t wLost = SendFromA();
    ReportPartnerPort(1, 0xFF);
    EXPECT_FALSE(SlotDone(wLost));
    ReportPartnerPort(2, 0xFF);
    EXPECT_TRUE(RunUntil([&] { return SlotDone(wLost); }, 50'000'000ull));
    EXPECT_EQ(a->board.sasController().partnerCommandsSent(), dSent + 1);
}

// A partner whose power goes takes its ports with it: a message on its way
// ends as not delivered, and nothing more is sent.
TEST_F(PartnerLink, APartnerWithoutPowerLeavesBothPaths) {
    const uint16_t wSlot = SendFromA();
    ASSERT_TRUE(RunUntil([&] {
        fw::PARTNER_MESSAGE_SLOT* ps = nullptr;
        fw::pGetOutgoingMessageSlot(wSlot, &ps);
        return ps->bPrimaryState == fw::SLOT_SENT;
    }, kMessageLimitNs));
    b->board.CutPower();
    // The paths go with the next look at the fabric, which waits 4 s for
    // the links of the change to settle, then restarts the IOC.
    ASSERT_TRUE(RunUntil([&] { return SlotDone(wSlot) && fw::fIsPartnerOnPath1() != fw::TRUE; }, 30'000'000'000ull));
    EXPECT_EQ(fw::fIsPartnerOnPath2(), fw::FALSE);
    EXPECT_EQ(fw::fIsDualControllerActive(), fw::FALSE);
    // Until the drive side sees the ports go, a path still listed may be
    // tried once more; no more than that.
    EXPECT_LE(fw::sGetPartnerMessageCounts().dResends, 2u);
    fw::INTER_CONTROLLER_MESSAGE s{};
    s.abCdb[0] = fw::PARTNER_TYPED_MESSAGE;
    s.abCdb[1] = 49;
    uint16_t wNext = 0;
    EXPECT_EQ(fw::bSendMessageToPartner(&s, &wNext, 0), 0);
    EXPECT_EQ(wNext, fw::PARTNER_NO_SLOT);
}

// The link damages, repeats, delays or loses the command frame; the message
// is still delivered, and its handler runs once.
struct LinkFault {
    const char* name;
    sim::SasController::LinkFaults faults;
    uint32_t invalidCdbs;  // at the partner
    uint32_t resends;      // at the sender
    uint32_t frames;       // commands the sender's IOC carried
};

class PartnerLinkFaults : public PartnerLink, public ::testing::WithParamInterface<LinkFault> {};

TEST_P(PartnerLinkFaults, TheMessageStillArrivesOnce) {
    const LinkFault& f = GetParam();
    sim::SasController& iocA = a->board.sasController();
    const uint32_t dSent = iocA.partnerCommandsSent();
    const uint32_t dReceived = b->board.sasController().partnerCommandsReceived();
    iocA.linkFaults = f.faults;
    const uint16_t wSlot = SendFromA();
    // A lost frame is given up after the message's 20 s deadline.
    ASSERT_TRUE(RunUntil([&] { return SlotDone(wSlot); }, 40'000'000'000ull)) << f.name;
    iocA.linkFaults = {};
    EXPECT_EQ(fw_b::sGetPartnerMessageCounts().dInvalidCdbs, f.invalidCdbs) << f.name;
    EXPECT_EQ(fw::sGetPartnerMessageCounts().dResends, f.resends) << f.name;
    EXPECT_EQ(iocA.partnerCommandsSent() - dSent, f.frames) << f.name;
    EXPECT_EQ(b->board.sasController().partnerCommandsReceived() - dReceived,
              f.frames + (f.faults.repeat ? 1u : 0u) - (f.faults.drop ? 1u : 0u))
        << f.name;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, PartnerLinkFaults,
    ::testing::Values(LinkFault{"corrupted", {0, 0, 1, 0}, 1, 1, 2}, LinkFault{"repeated", {0, 1, 0, 0}, 0, 0, 1},
                      LinkFault{"delayed", {0, 0, 0, 5'000'000}, 0, 0, 1}, LinkFault{"lost", {1, 0, 0, 0}, 0, 1, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// Messages that post an event in the partner's log, each its own: how often
// the partner carried one out is how often its event is there.
class PartnerLinkChanges : public PartnerLink {
protected:
    void SetUp() override {
        PartnerLink::SetUp();
        uint16_t wCount = 0;
        fw_b::GetEventLogPosition(&wCount, &m_wFirstEvent);
    }
    uint16_t PostOnB(uint8_t bMark) {
        fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(fw::PARTNER_MESSAGE_POST_EVENT);
        s.abCdb[2] = kEventCode;
        s.abCdb[3] = bMark;
        uint16_t wSlot = fw::PARTNER_NO_SLOT;
        EXPECT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
        return wSlot;
    }
    unsigned PostedOnB(uint8_t bMark) const {
        uint16_t wCount = 0, wNext = 0;
        fw_b::GetEventLogPosition(&wCount, &wNext);
        unsigned n = 0;
        for (uint16_t w = m_wFirstEvent; w != wNext; w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
            const fw::EVENT_LOG_ENTRY* ps = fw_b::psGetEventLogEntry(w);
            if (ps->bCode == kEventCode && ps->abArgs[0] == bMark) ++n;
        }
        return n;
    }
    bool RestartsDone(bool fB) {
        return fB ? fw_b::fIsSASIOCRestartRequested() != fw::TRUE && fw_b::fIsSASIOCRestartInProgress() != fw::TRUE
                  : fw::fIsSASIOCRestartRequested() != fw::TRUE && fw::fIsSASIOCRestartInProgress() != fw::TRUE;
    }
    static constexpr uint8_t kEventCode = 28;
    uint16_t m_wFirstEvent = 0;
};

// Controller 0's drive IOC restarts with one message on its way (its frame
// still crossing) and one queued behind the restart.  The first ends here
// as not delivered, without a resend, and the partner carries it out once
// when its frame arrives; the second goes out on the restarted IOC; what
// is sent after goes as before.
TEST_F(PartnerLinkChanges, AnIocRestartLosesNoMessageAndRunsNoneTwice) {
    sim::SasController& iocA = a->board.sasController();
    iocA.linkFaults.delayNs = 7'000'000'000;
    const uint32_t dSent = iocA.partnerCommandsSent();
    const uint16_t wOnItsWay = PostOnB(1);
    ASSERT_TRUE(RunUntil([&] { return iocA.partnerCommandsSent() != dSent; }, kMessageLimitNs));
    iocA.linkFaults = {};
    fw::SetSASIOCRestartRequest(fw::TRUE);
    fw::SetSasDiscoveryWork(fw::TRUE);
    const uint16_t wWaiting = PostOnB(2);
    ASSERT_TRUE(RunUntil([&] { return fw::fIsSASIOCRestartRequested() != fw::TRUE; }, 20'000'000'000ull));
    EXPECT_TRUE(SlotDone(wOnItsWay));
    EXPECT_FALSE(SlotDone(wWaiting));
    EXPECT_EQ(PostedOnB(1), 0u);   // its frame is still crossing
    ASSERT_TRUE(RunUntil([&] { return RestartsDone(false) && SlotDone(wWaiting); }, 60'000'000'000ull)) << Consoles();
    const uint16_t wAfter = PostOnB(3);
    ASSERT_TRUE(RunUntil([&] { return SlotDone(wAfter) && PostedOnB(1) != 0; }, 20'000'000'000ull));
    (void)RunUntil(nullptr, 100'000'000ull);   // a late frame would arrive by now
    EXPECT_EQ(PostedOnB(1), 1u);
    EXPECT_EQ(PostedOnB(2), 1u);
    EXPECT_EQ(PostedOnB(3), 1u);
    EXPECT_EQ(fw::sGetPartnerMessageCounts().dResends, 0u);
}

// Controller 1's drive IOC restarts as a message from controller 0 reaches
// it: the command ends there unanswered, and controller 0 sends it again,
// paced while the restarting IOC turns it away, until controller 1 takes
// it and carries it out once.
TEST_F(PartnerLinkChanges, AMessageCaughtByThePartnersIocRestartIsCarriedOutOnce) {
    b->board.sasController().partnerCommandSeen = [](const uint8_t*) {
        fw_b::SetSASIOCRestartRequest(fw::TRUE);
        fw_b::SetSasDiscoveryWork(fw::TRUE);
    };
    const uint64_t lStart = clock.Now();
    const uint16_t wSlot = PostOnB(1);
    ASSERT_TRUE(RunUntil([&] { return fw_b::fIsSASIOCRestartRequested() == fw::TRUE; }, kMessageLimitNs));
    b->board.sasController().partnerCommandSeen = nullptr;
    ASSERT_TRUE(RunUntil([&] { return RestartsDone(true) && SlotDone(wSlot); }, 60'000'000'000ull)) << Consoles();
    const uint64_t lMs = (clock.Now() - lStart) / 1'000'000;
    (void)RunUntil(nullptr, 100'000'000ull);   // a late frame would arrive by now
    EXPECT_EQ(PostedOnB(1), 1u);
    EXPECT_GT(fw::sGetPartnerMessageCounts().dResends, 0u);
    EXPECT_LE(fw::sGetPartnerMessageCounts().dResends, lMs / fw::PARTNER_BUSY_RESEND_MS + 1) << lMs << " ms";
}

// The path a message went on goes while it crosses.  One whose frame that
// path lost is given up at its deadline and sent again on the other path;
// one whose frame got through is answered and not sent again.  The
// partner carries each out once, and what is sent next takes the other
// path.
TEST_F(PartnerLinkChanges, APathChangeLosesNoMessageAndRunsNoneTwice) {
    sim::SasController& iocA = a->board.sasController();
    const uint8_t abReal[2] = {fw::bGetPartnerAlpaPath1(), fw::bGetPartnerAlpaPath2()};
    iocA.linkFaults.drop = 1;
    const uint16_t wLost = PostOnB(1);
    iocA.linkFaults.delayNs = 50'000'000;
    const uint16_t wCrossing = PostOnB(2);
    ASSERT_TRUE(RunUntil([&] { return iocA.linkFaults.drop == 0 && fw::sGetPartnerMessageCounts().wOutgoingNew == 0; },
                         kMessageLimitNs));
    iocA.linkFaults = {};
    fw::PARTNER_MESSAGE_SLOT* ps = nullptr;
    fw::pGetOutgoingMessageSlot(wLost, &ps);
    const uint8_t bPath = ps->sMessage.wTarget == abReal[0] ? 1 : 2;
    ASSERT_EQ(ps->sMessage.wTarget, abReal[bPath - 1]);
    ReportPartnerPort(bPath, 0xFF);
    uint16_t wResentTo = 0xFF;
    ASSERT_TRUE(RunUntil(
        [&] {
            if (ps->fInUse == fw::TRUE && ps->bPrimaryState == fw::SLOT_SENT && fw::sGetPartnerMessageCounts().dResends != 0) {
                wResentTo = ps->sMessage.wTarget;
            }
            return SlotDone(wCrossing) && SlotDone(wLost);
        },
        40'000'000'000ull))
        << Consoles();
    EXPECT_EQ(wResentTo, abReal[2 - bPath]);
    EXPECT_EQ(PostedOnB(1), 1u);
    EXPECT_EQ(PostedOnB(2), 1u);
    EXPECT_EQ(fw::sGetPartnerMessageCounts().dResends, 1u);
    const uint32_t dSent = iocA.partnerCommandsSent();
    const uint16_t wNext = PostOnB(3);
    fw::pGetOutgoingMessageSlot(wNext, &ps);
    ASSERT_TRUE(RunUntil([&] { return ps->bPrimaryState == fw::SLOT_SENT || SlotDone(wNext); }, kMessageLimitNs));
    EXPECT_EQ(ps->sMessage.wTarget, abReal[2 - bPath]);
    ASSERT_TRUE(RunUntil([&] { return SlotDone(wNext); }, kMessageLimitNs));
    EXPECT_EQ(iocA.partnerCommandsSent(), dSent + 1);
    EXPECT_EQ(PostedOnB(3), 1u);
    ReportPartnerPort(bPath, abReal[bPath - 1]);
}

}  // namespace
