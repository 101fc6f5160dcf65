// Stripe access between two controllers: the record each READ and WRITE
// claims, when a command is held for the partner, the check of the
// partner's requests (reads never conflict with reads, a read and a write
// do), mastership handed over after 500 requests, the wait for the
// partner's answer, and the two event routines beside them.
#include "cache/nvram_journal.h"
#include "cache/stripe_access.h"
#include "config/config_db.h"
#include "eventlog/event_log.h"
#include "executive/tick.h"
#include "host_board.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "partner/partner_state.h"
#include "raid/row_hold.h"
#include "harness/calendar.h"
#include "target/command_access.h"

namespace target_test {
namespace {

// A partner reached on drive-side path 1, the link valid.
void SetPartnerOnDriveSide() {
    const uint32_t adPortAddress[2] = {0x00002010, 0x500605B0};
    fw::SetPartnerDrivePath(1, fw::TRUE, 0x20, adPortAddress);
    fw::SetDualControllerValid(fw::TRUE);
}

using namespace fw;

constexpr uint32_t ROW = 256;   // two members of 128-block chunks

class StripeAccessTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        InitStripeAccessTable();
        MakeDrives({100000, 100000});
        ClearAttentions();
    }
    // An admitted command with its record claimed.
    uint16_t Admit(uint8_t bOpcode, uint32_t dLba, uint16_t wBlocks, uint16_t wLun = 0) {
        const uint16_t w = Send(wLun, Cdb10(bOpcode, dLba, wBlocks), wBlocks * 512u);
        Dispatch();
        EXPECT_EQ(Entry(w)->fValid, TRUE);
        return w;
    }
    static STRIPE_ACCESS_ENTRY& Record(uint16_t w) {
        STRIPE_ACCESS_ENTRY* ps = nullptr;
        pGetStripeAccessEntry(w, &ps);
        return *ps;
    }
    // The message 118 queued for the host entry, null when none is.
    static PARTNER_MESSAGE_SLOT* psRequestOf(uint16_t w) {
        for (uint16_t n = 0; n < PARTNER_SLOTS; ++n) {
            PARTNER_MESSAGE_SLOT* p = nullptr;
            pGetOutgoingMessageSlot(n, &p);
            if (p->fInUse == TRUE && p->bCommandType == PARTNER_MESSAGE_STRIPE_ACCESS && p->wHostEntry == w) return p;
        }
        return nullptr;
    }
    // The partner's answer to the request: granted.
    static void Grant(PARTNER_MESSAGE_SLOT* psSlot) {
        psSlot->fFailed = FALSE;
        psSlot->fSenseValid = TRUE;
        psSlot->bSenseKey = 0;
        psSlot->bAsc = STRIPE_ACCESS_GRANTED;
        PartnerStripeAccessAnswered(psSlot, TRUE);
        psSlot->fInUse = FALSE;
    }
    // The partner asks for rows of LUN 0 from lFirstRow on.
    static uint8_t PartnerAsks(uint8_t bOpcode, uint64_t lFirstRow, uint32_t dRows, uint16_t wLun = 0) {
        uint64_t lStart = 0;
        GetLogicalDriveSegmentStart(wLun, 0, &lStart);
        return bCheckPartnerStripeAccess(bOpcode, wLun, lStart + lFirstRow * ROW, dRows, 0, 0);
    }
};

TEST_F(StripeAccessTest, EveryReadAndWriteClaimsWholeRows) {
    const uint16_t wRead = Admit(SCSI_READ10, 300, 8);
    const STRIPE_ACCESS_ENTRY& r = Record(wRead);
    EXPECT_TRUE(HasFlag(Entry(wRead), KE_FLAG_STRIPE_ACCESS));
    EXPECT_EQ(r.fInUse, TRUE);
    EXPECT_EQ(r.bOpcode, SCSI_READ16);
    EXPECT_EQ(r.wLun, 0);
    EXPECT_EQ(r.lStart, ROW);
    EXPECT_EQ(r.lEnd, 2 * ROW);
    EXPECT_EQ(r.dStripeCount, 1u);
    EXPECT_EQ(r.bSecondRank, 0xFF);
    // Across a row boundary: two rows.
    const uint16_t wWrite = Admit(SCSI_WRITE10, 250, 10);
    EXPECT_EQ(Record(wWrite).lStart, 0u);
    EXPECT_EQ(Record(wWrite).dStripeCount, 2u);
    // More rows than a byte counts: 65535 blocks from block 100 touch 257.
    const uint16_t wLong = Send(0, Cdb16(SCSI_READ16, 100, 65535), 65535u * 512);
    Dispatch();
    EXPECT_EQ(Record(wLong).lEnd, 257u * ROW);
    EXPECT_EQ(Record(wLong).dStripeCount, 257u);
    // Released once, and a second release changes nothing.
    ReleaseStripeAccessEntry(wRead);
    EXPECT_EQ(Record(wRead).fInUse, FALSE);
    EXPECT_EQ(Record(wRead).wLun, NO_LUN_INDEX);
    ReleaseStripeAccessEntry(wRead);
    EXPECT_EQ(Record(wWrite).fInUse, TRUE);
}

// Only a logical drive both controllers present has its stripe access
// tracked: one offered through this controller's ports alone claims none.
TEST_F(StripeAccessTest, ALogicalDriveOneControllerPresentsClaimsNoRows) {
    harness::s_sLive.asLd[1].bAvailability = 0x03;
    ApplyStoredSettings(FALSE, TRUE);
    EXPECT_TRUE(HasFlag(Entry(Admit(SCSI_WRITE10, 0, 8, 0)), KE_FLAG_STRIPE_ACCESS));
    EXPECT_FALSE(HasFlag(Entry(Admit(SCSI_WRITE10, 0, 8, 1)), KE_FLAG_STRIPE_ACCESS));
}

TEST_F(StripeAccessTest, ACommandOverTwoSegmentsHasTwoRanges) {
    InitStripeAccessTable();
    std::memset(&harness::s_sLive, 0, sizeof(harness::s_sLive));
    MakeDefaultConfiguration(&harness::s_sLive, TRUE);
    AddRank(RAID_LEVEL_0, 2, 128, 102400);
    AddRank(RAID_LEVEL_0, 2, 128, 102400);
    AddLd({{0, 51200}, {102400, 51200}});
    PresentAllExcept();
    ApplyStoredSettings(FALSE, TRUE);
    const uint16_t w = Admit(SCSI_READ10, 51200 - 8, 16);
    const STRIPE_ACCESS_ENTRY& r = Record(w);
    EXPECT_EQ(r.bRank, 0);
    EXPECT_EQ(r.lEnd, 51200u);
    EXPECT_EQ(r.dStripeCount, 1u);
    EXPECT_EQ(r.bSecondRank, 1);
    EXPECT_EQ(r.lSecondStart, 102400u);
    EXPECT_EQ(r.lSecondEnd, 102400u + ROW);
    EXPECT_EQ(r.dSecondStripeCount, 1u);
    // The partner's request over the second segment meets it.
    EXPECT_EQ(bCheckPartnerStripeAccess(SCSI_WRITE16, 0, 51200 - ROW, 1, 0, 1), STRIPE_ACCESS_REFUSED);
    // The dump shows both ranges and the conflict.
    board.ClearConsoleText();
    DumpStripeAccessTables(FALSE);
    EXPECT_NE(board.ConsoleText().find("RK00 0000c700 01RK01 00019000 01 OC01\r\n"), std::string::npos)
        << board.ConsoleText();
}

TEST_F(StripeAccessTest, CommandsAreHeldForThePartnerOnlyWithAReason) {
    const uint16_t w = Admit(SCSI_READ10, 0, 8);
    KERNEL_ENTRY* ps = Entry(w);
    EXPECT_EQ(fClaimStripeAccessEntry(ps), TRUE);   // not master yet
    SetLunMasterFlag(0, TRUE);
    EXPECT_EQ(fClaimStripeAccessEntry(ps), FALSE);
    // The partner has announced I/O on the LUN.
    (void)PartnerAsks(SCSI_READ16, 100, 1);
    EXPECT_EQ(fGetLunOcioFlag(0), TRUE);
    EXPECT_EQ(fClaimStripeAccessEntry(ps), TRUE);
    ClearLunOcioFlag(0);
    EXPECT_EQ(fClaimStripeAccessEntry(ps), FALSE);
    // The partner's cached writes to the LUN are held here.
    uint64_t lStart = 0;
    GetLogicalDriveSegmentStart(0, 0, &lStart);
    ASSERT_EQ(bRecordPartnerExtent(5, lStart + 64, 8, 1, FALSE), STATUS_OK);
    EXPECT_EQ(fClaimStripeAccessEntry(ps), TRUE);
    EXPECT_EQ(fGetLunOcioFlag(512), TRUE);
    // Once alone, the controller is master of every LUN again.
    SetLunMasterFlag(3, FALSE);
    SetDualControllerValid(FALSE);
    EXPECT_EQ(fGetLunMasterFlag(3), TRUE);
}

TEST_F(StripeAccessTest, ReadsNeverConflictWithReadsAReadAndAWriteDo) {
    const uint16_t wRead = Admit(SCSI_READ10, 0, 8);
    EXPECT_EQ(PartnerAsks(SCSI_READ16, 0, 1), STRIPE_ACCESS_GRANTED);
    EXPECT_EQ(Record(wRead).dConflictCount, 0u);
    // A write over the same row: the read has not started (S FALSE), so the
    // two controllers take turns; the first turn goes to this one.
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, 0, 1), STRIPE_ACCESS_REFUSED);
    EXPECT_EQ(Record(wRead).dConflictCount, 1u);
    EXPECT_TRUE(HasFlag(Entry(wRead), KE_FLAG_HOLD_RELEASE_A | KE_FLAG_HOLD_RELEASE_B));
    EXPECT_EQ(Record(wRead).fO, FALSE);
    // The next turn is the partner's, once the read asks again.
    OpenStripeAccessCycle(wRead);
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, 0, 1), STRIPE_ACCESS_GRANTED);
    EXPECT_EQ(Record(wRead).fO, TRUE);   // it must ask the partner again
    // Once the read runs (S TRUE) the partner waits.
    SetStripeAccessSFlag(wRead, TRUE);
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, 0, 1), STRIPE_ACCESS_REFUSED);
    // A partner read against a local write conflicts too.
    const uint16_t wWrite = Admit(SCSI_WRITE10, 10 * ROW, 8);
    SetStripeAccessSFlag(wWrite, TRUE);
    EXPECT_EQ(PartnerAsks(SCSI_READ16, 10, 1), STRIPE_ACCESS_REFUSED);
    // Other rows, other LUNs and aborted commands are not in the way.
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, 20, 5), STRIPE_ACCESS_GRANTED);
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, 0, 1, 1), STRIPE_ACCESS_GRANTED);
    SetFlag(Entry(wWrite), KE_FLAG_ABORTED);
    EXPECT_EQ(PartnerAsks(SCSI_READ16, 10, 1), STRIPE_ACCESS_GRANTED);
}

// Both controllers wait for the same rows and keep asking.  Slot 1 answers
// every request of one asking cycle of its record the same way: answered
// by turns, each side's record would be voided by the other's grant before
// its own grant came back, on both sides, for ever.  Across cycles the
// record takes turns with the partner.
TEST_F(StripeAccessTest, ATieHoldsForTheWholeAskingCycleAndTurnsTakeTurns) {
    const uint16_t w = Admit(SCSI_WRITE10, 0, 8);
    const uint16_t wOther = Admit(SCSI_WRITE10, 2 * ROW, 8);
    OpenStripeAccessCycle(w);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(PartnerAsks(SCSI_WRITE16, 0, 1), STRIPE_ACCESS_REFUSED) << i;
    EXPECT_EQ(Record(w).fO, FALSE);
    // Another record's tie is its own: won or yielded apart from this one.
    OpenStripeAccessCycle(wOther);
    const uint8_t bOther = PartnerAsks(SCSI_WRITE16, 2, 1);
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, 2, 1), bOther);
    // Next cycle: the partner's turn, for every request of it.  An O flag
    // set in the cycle before does not void the new one's answer.
    OpenStripeAccessCycle(w);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(PartnerAsks(SCSI_WRITE16, 0, 1), STRIPE_ACCESS_GRANTED) << i;
    EXPECT_EQ(Record(w).fO, TRUE);
    OpenStripeAccessCycle(w);
    EXPECT_EQ(Record(w).fO, FALSE);
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, 0, 1), STRIPE_ACCESS_REFUSED);
}

TEST_F(StripeAccessTest, TheControllerInSlotTwoNeverTakesTheTurn) {
    board.fpga().SetSlot1(false);
    InitBoardState();
    (void)Admit(SCSI_READ10, 0, 8);
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, 0, 1), STRIPE_ACCESS_GRANTED);
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, 0, 1), STRIPE_ACCESS_GRANTED);
}

TEST_F(StripeAccessTest, TheFiveHundredthRequestHandsMastershipOver) {
    SetLunMasterFlag(0, TRUE);
    for (int i = 0; i < 499; i++) ASSERT_EQ(PartnerAsks(SCSI_READ16, 0, 1), STRIPE_ACCESS_GRANTED) << i;
    EXPECT_EQ(fGetLunMasterFlag(0), TRUE);
    EXPECT_EQ(wGetLunRequestCount(0), 499);
    EXPECT_EQ(PartnerAsks(SCSI_READ16, 0, 1), STRIPE_ACCESS_GRANTED_MASTER);
    EXPECT_EQ(fGetLunMasterFlag(0), FALSE);
    EXPECT_EQ(wGetLunRequestCount(0), 0);
    // A request naming a LUN beyond the table counts for LUN 0.
    EXPECT_EQ(bCheckPartnerStripeAccess(SCSI_READ16, 0x0700, 0, 1, 0, 0), STRIPE_ACCESS_GRANTED);
    EXPECT_EQ(wGetLunRequestCount(0), 1);
}

TEST_F(StripeAccessTest, ReadsAndWritesWaitForThePartnersAnswer) {
    SetPartnerOnDriveSide();
    for (uint8_t bOpcode : {SCSI_READ10, SCSI_WRITE10}) {
        const uint16_t w = Send(0, Cdb10(bOpcode, 0, 8), 4096);
        Dispatch();
        KERNEL_ENTRY* ps = Entry(w);
        EXPECT_EQ(ps->bCommandType, COMMAND_TYPE_PARTNER_ACCESS_OUT);
        EXPECT_EQ(ps->bPrimaryState, HOST_STATE_NEW_COMMAND);
        Dispatch();
        Dispatch();
        EXPECT_EQ(ps->bPrimaryState, HOST_STATE_NEW_COMMAND) << "still waiting";
        EXPECT_EQ(wGetLunQueueCount(0), 0);
        // Message 118 names the LUN, the opcode and at least one stripe;
        // the partner's answer (granted) comes back in its status bytes.
        PARTNER_MESSAGE_SLOT* psSlot = psRequestOf(w);
        ASSERT_NE(psSlot, nullptr);
        const uint8_t* pbCdb = psSlot->sMessage.abCdb;
        EXPECT_EQ(pbCdb[1], PARTNER_MESSAGE_STRIPE_ACCESS);
        EXPECT_EQ(wGetBe16(pbCdb + 2), 0);
        EXPECT_EQ(pbCdb[4], bOpcode == SCSI_READ10 ? SCSI_READ16 : SCSI_WRITE16);
        EXPECT_GE(wGetBe16(pbCdb + 12), 1);
        Grant(psSlot);
        Dispatch();
        EXPECT_EQ(ps->bPrimaryState, HOST_STATE_LUN_QUEUED);
        EXPECT_TRUE(HasFlag(ps, KE_FLAG_PARTNER_ACCESS));
        EXPECT_EQ(fGetStripeAccessSFlag(w), TRUE);
        RemoveFromLunRing(0);
    }
    // The master of a LUN the partner is not using runs at once.
    SetLunMasterFlag(1, TRUE);
    const uint16_t w = Send(1, Cdb10(SCSI_READ10, 0, 8), 4096);
    Dispatch();
    EXPECT_EQ(Entry(w)->bPrimaryState, HOST_STATE_LUN_QUEUED);
    EXPECT_EQ(fGetStripeAccessSFlag(w), TRUE);
}

// The partner is there, but a request cannot be queued for it just now:
// the command is not left waiting for an answer that cannot come, it asks
// again at its next dispatch.
TEST_F(StripeAccessTest, ARequestThatCouldNotBeQueuedIsAskedAgain) {
    SetPartnerOnDriveSide();
    SetPartnerAlpaPath1(0xFF);
    const uint16_t w = Send(0, Cdb10(SCSI_WRITE10, 0, 8), 4096);
    Dispatch();
    EXPECT_EQ(Entry(w)->bCommandType, COMMAND_TYPE_PARTNER_ACCESS_U);
    EXPECT_EQ(Entry(w)->bPrimaryState, HOST_STATE_NEW_COMMAND);
    EXPECT_EQ(psRequestOf(w), nullptr);
    SetPartnerAlpaPath1(0x20);
    Dispatch();
    EXPECT_EQ(Entry(w)->bCommandType, COMMAND_TYPE_PARTNER_ACCESS_OUT);
    ASSERT_NE(psRequestOf(w), nullptr);
}

// A row hold over the row the two logical drives of one array share: a
// pseudo write in each.  Each piece takes its grant when it comes and holds
// the partner off its rows from then on, though the hold waits for the
// other piece (and then for older writes) before its job starts; this
// controller, in slot 2, would grant every tie with a piece still waiting.
TEST_F(StripeAccessTest, ARowHoldKeepsThePartnerOffEachPieceFromItsGrantOn) {
    InitStripeAccessTable();
    std::memset(&harness::s_sLive, 0, sizeof(harness::s_sLive));
    MakeDefaultConfiguration(&harness::s_sLive, TRUE);
    AddRank(RAID_LEVEL_0, 2, 128, 200000);
    AddLd({{0, 100000}});
    AddLd({{100000, 100000}});
    PresentAllExcept();
    ApplyStoredSettings(FALSE, TRUE);
    board.fpga().SetSlot1(false);
    InitBoardState();
    SetPartnerOnDriveSide();
    const uint64_t lRow = 100000 / ROW;
    ROW_HOLD sHold{};
    ASSERT_EQ(bTakeRowHold(&sHold, 0, lRow * ROW, (lRow + 1) * ROW), STATUS_OK);
    ASSERT_NE(sHold.apsPseudo[1], nullptr);
    EXPECT_EQ(fObtainRowHoldAccess(&sHold), FALSE);
    PARTNER_MESSAGE_SLOT* psFirst = psRequestOf(sHold.apsPseudo[0]->wIndex);
    PARTNER_MESSAGE_SLOT* psSecond = psRequestOf(sHold.apsPseudo[1]->wIndex);
    ASSERT_NE(psFirst, nullptr);
    ASSERT_NE(psSecond, nullptr);
    Grant(psFirst);
    EXPECT_EQ(fObtainRowHoldAccess(&sHold), FALSE);
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, lRow, 1), STRIPE_ACCESS_REFUSED);
    Grant(psSecond);
    EXPECT_EQ(fObtainRowHoldAccess(&sHold), TRUE);
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, lRow, 1), STRIPE_ACCESS_REFUSED);
    EXPECT_EQ(bCheckPartnerStripeAccess(SCSI_WRITE16, 1, 100000, 1, 0, 0), STRIPE_ACCESS_REFUSED);
    ReleaseRowHold(&sHold);
    EXPECT_EQ(PartnerAsks(SCSI_WRITE16, lRow, 1), STRIPE_ACCESS_GRANTED);
}

TEST_F(StripeAccessTest, DumpShowsFlagsAndRecords) {
    SetLunMasterFlag(1, TRUE);
    const uint16_t w = Admit(SCSI_READ10, 300, 8);
    board.ClearConsoleText();
    DumpStripeAccessTables(FALSE);
    char acRecord[80];
    std::snprintf(acRecord, sizeof(acRecord), "%03x SF OF CT00 OP88 RK00 00000100 01 OC00\r\n", w);
    EXPECT_EQ(board.ConsoleText(), std::string("LUN Master Flags:\r\n"
                                               "LUN 000: f0 0000 OCW:000 OCIO:f0\r\n"
                                               "LUN 001: f1 0000 OCW:000 OCIO:f0\r\n"
                                               "Stripe Access Tables\r\n") +
                                       acRecord);
}

TEST(EventRate, TenReportsWithinAnHourGiveTheSubtypeThreeEvent) {
    sim::Board board;
    harness::PrepareInterruptsAndCalendar();
    ValidateNvram();
    InitEventLog();
    InitStripeAccessTable();
    auto Count = [](uint8_t bSubtype) {
        uint16_t wCount = 0, wNext = 0;
        GetEventLogPosition(&wCount, &wNext);
        int n = 0;
        for (uint16_t w = 0; w < wCount; w++) {
            const EVENT_LOG_ENTRY* ps = psGetEventLogEntry(w);
            if (ps->bCode == EVENT_RATE && ps->abArgs[0] == bSubtype) n++;
        }
        return n;
    };
    CheckEventRate(1, 7, 8, 9);
    EXPECT_EQ(Count(1), 1);
    CheckEventRate(4, 7, 8, 9);
    for (int i = 0; i < 9; i++) {
        CheckEventRate(2, 7, 8, 9);
        for (int t = 0; t < 100; t++) SystemTickHandler();
    }
    EXPECT_EQ(Count(2), 9);
    EXPECT_EQ(Count(3), 0);
    CheckEventRate(2, 7, 8, 9);
    EXPECT_EQ(Count(3), 1);
}

TEST(EventPostedWithin, AgeOfTheNewestEventOfACode) {
    sim::Board board;
    harness::PrepareInterruptsAndCalendar();
    ValidateNvram();
    InitEventLog();
    InitStripeAccessTable();
    PostEvent(77, 1);
    EXPECT_EQ(fWasEventPostedWithin(77, 10), TRUE);
    EXPECT_EQ(fWasEventPostedWithin(78, 10), FALSE);
    DATE_TIME sLater = harness::kTestNow;
    sLater.bHour = static_cast<uint8_t>(sLater.bHour + 1);
    harness::SetCalendar(sLater);
    EXPECT_EQ(fWasEventPostedWithin(77, 3600), FALSE);
    EXPECT_EQ(fWasEventPostedWithin(77, 3601), TRUE);
}

}  // namespace
}  // namespace target_test
