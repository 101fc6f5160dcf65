// Status, sense and data transfer as an initiator on a Fibre Channel port
// receives them: every status kind, data-in and data-out of several pages,
// overruns and underruns with their residuals, aborted and stale commands,
// the conversion of a received ATIO, the command trace lines and the path of
// commands made inside the controller.
#include "console/option_settings.h"
#include "eventlog/target_trace.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "host_port_standin.h"
#include "target/command_access.h"
#include "target/scsi_status.h"
#include "target_test_board.h"
#include "harness/low_memory.h"
#include "hw/addresses.h"

namespace target_test {
namespace {

using namespace fw;

constexpr uint8_t PORT = PORT_CODE_FC_HOST_1;
constexpr uint32_t INITIATOR = 0x010203;
constexpr uint16_t HANDLE = 7;

class ScsiStatusTest : public TargetBoard {
protected:
    void SetUp() override {
        TargetBoard::SetUp();
        host.Login(INITIATOR, HANDLE);
    }
    // A command received and converted, as the dispatcher has it.
    KERNEL_ENTRY* Received(std::vector<uint8_t> abCdb, uint32_t dExpected, std::vector<uint8_t> abOut = {}) {
        HostCommand s;
        s.dPortId = INITIATOR;
        s.wLun = 3;
        s.abCdb = abCdb;
        s.dExpected = dExpected;
        s.abDataOut = abOut;
        const uint16_t wIndex = host.Send(s);
        KERNEL_ENTRY* ps = Entry(wIndex);
        EXPECT_EQ(ConvertAtio7Command(ps), STATUS_OK);
        return ps;
    }
    static std::vector<uint8_t> Read16(uint32_t dBlocks) {
        std::vector<uint8_t> ab(16, 0);
        ab[0] = SCSI_READ16;
        PutBe32(ab.data() + 10, dBlocks);
        return ab;
    }
    static TRANSFER_SEGMENT Segment(harness::LowVector<uint8_t>& ab) {
        return {fw::dAddressWord(ab.data()), static_cast<uint32_t>(ab.size())};
    }
    static harness::LowVector<uint8_t> Page(uint8_t bFill) { return harness::LowVector<uint8_t>(4096, bFill); }
    HostPortStandIn host{PORT};
};

TEST_F(ScsiStatusTest, EveryStatusKindReachesTheHostAsItShould) {
    struct Case {
        uint8_t bCode, bAsc, bAscq;
        uint32_t dExpected;
        uint8_t bStatus;
        bool fSense;
        uint32_t dResidual;
    };
    const Case acCases[] = {
        {SCSI_STATUS_GOOD, 0, 0, 512, SCSI_STATUS_GOOD, false, 0},
        {SCSI_STATUS_BUSY, 0x44, 1, 512, SCSI_STATUS_BUSY, false, 512},
        {SCSI_STATUS_RESERVATION_CONFLICT, 0, 0, 0, SCSI_STATUS_RESERVATION_CONFLICT, false, 0},
        {SCSI_STATUS_TASK_SET_FULL, 0x29, 0, 0, SCSI_STATUS_TASK_SET_FULL, false, 0},
        {SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0, 4096, SCSI_STATUS_CHECK_CONDITION, true, 4096},
        {SENSE_NOT_READY, ASC_NOT_READY, 3, 0, SCSI_STATUS_CHECK_CONDITION, true, 0},
        {SENSE_UNIT_ATTENTION, 0, 0, 0, SCSI_STATUS_CHECK_CONDITION, true, 0},
    };
    for (const Case& c : acCases) {
        KERNEL_ENTRY* ps = Received(Read16(8), c.dExpected);
        ps->bPrimaryState = HOST_STATE_STATUS;
        SendScsiStatus(ps, c.bCode, c.bAsc, c.bAscq);
        host.Serve();
        const HostReply& r = host.Reply(ps->wIndex);
        ASSERT_TRUE(r.fStatus);
        EXPECT_EQ(r.bStatus, c.bStatus) << int(c.bCode);
        EXPECT_EQ(r.dResidual, c.dResidual) << int(c.bCode);
        EXPECT_EQ((r.wStatusWord & FCP_RESIDUAL_UNDERRUN) != 0, c.dResidual != 0) << int(c.bCode);
        EXPECT_EQ((r.wStatusWord & FCP_SENSE_VALID) != 0, c.fSense) << int(c.bCode);
        if (c.fSense) {
            // Fixed format, 18 bytes, additional length 10, even with ASC 0.
            const std::vector<uint8_t> abWant = {0x70, 0, c.bCode, 0, 0, 0, 0, 10, 0, 0, 0, 0, c.bAsc, c.bAscq,
                                                 0,    0, 0,       0};
            EXPECT_EQ(r.abSense, abWant) << int(c.bCode);
        } else {
            EXPECT_TRUE(r.abSense.empty()) << int(c.bCode);
        }
        // The completion of the status finishes the command.
        EXPECT_EQ(ps->bPrimaryState, HOST_STATE_COMPLETE);
        EXPECT_EQ(ps->wChildrenOutstanding, COMPLETION_CODE_NO_STATUS);
        EXPECT_EQ(ps->wTotalChildren, HOST_STATE_STATUS);
    }
}

TEST_F(ScsiStatusTest, DataInOfSeveralPagesWithStatus) {
    harness::LowVector<uint8_t> a = Page(1), b = Page(2), c = Page(3);
    KERNEL_ENTRY* ps = Received(Read16(24), 3 * 4096);
    ps->bPrimaryState = HOST_STATE_DATA_IN;
    const TRANSFER_SEGMENT asSegments[] = {Segment(a), Segment(b), Segment(c)};
    ASSERT_EQ(StartDataInTransfer(ps, asSegments, 3, TRUE), STATUS_OK);
    host.Serve();
    const HostReply& r = host.Reply(ps->wIndex);
    ASSERT_EQ(r.abDataIn.size(), 3u * 4096);
    EXPECT_EQ(r.abDataIn[0], 1);
    EXPECT_EQ(r.abDataIn[4096], 2);
    EXPECT_EQ(r.abDataIn[3 * 4096 - 1], 3);
    EXPECT_TRUE(r.fStatus);
    EXPECT_EQ(r.wStatusWord, SCSI_STATUS_GOOD);
    EXPECT_EQ(r.dCtios, 3u);   // the status rides on the last
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_COMPLETE);
}

TEST_F(ScsiStatusTest, DataOutOfSeveralPagesArrivesAsDataReceived) {
    std::vector<uint8_t> abHost(2 * 4096);
    for (size_t i = 0; i < abHost.size(); i++) abHost[i] = static_cast<uint8_t>(i * 7);
    harness::LowVector<uint8_t> a = Page(0), b = Page(0);
    std::vector<uint8_t> abCdb(16, 0);
    abCdb[0] = SCSI_WRITE16;
    KERNEL_ENTRY* ps = Received(abCdb, 2 * 4096, abHost);
    const TRANSFER_SEGMENT asSegments[] = {Segment(a), Segment(b)};
    StartDataOutTransfer(ps, asSegments, 2);
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_DATA_OUT);
    host.Serve();
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_DATA_RECEIVED);
    KERNEL_ENTRY* psPeek = nullptr;
    ASSERT_EQ(bPeekDataReceived(&psPeek), STATUS_FOUND);
    EXPECT_EQ(psPeek, ps);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), abHost.begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), abHost.begin() + 4096));
    EXPECT_FALSE(host.Reply(ps->wIndex).fStatus);
}

TEST_F(ScsiStatusTest, OverrunNeverSendsMoreThanTheInitiatorAskedFor) {
    // READ(16) and any other data-in command alike.
    std::vector<uint8_t> abInquiry = {SCSI_INQUIRY, 0, 0, 0, 0xFF, 0};
    for (const std::vector<uint8_t>& abCdb : {Read16(8), abInquiry}) {
        harness::LowVector<uint8_t> a = Page(9);
        KERNEL_ENTRY* ps = Received(abCdb, 1024);
        const TRANSFER_SEGMENT s = Segment(a);
        ASSERT_EQ(StartDataInTransfer(ps, &s, 1, TRUE), STATUS_OK);
        host.Serve();
        const HostReply& r = host.Reply(ps->wIndex);
        EXPECT_EQ(r.abDataIn.size(), 1024u);
        EXPECT_EQ(r.dResidual, 4096u - 1024u);
        EXPECT_EQ(r.wStatusWord, FCP_RESIDUAL_OVERRUN);
        EXPECT_EQ(r.dCtios, 2u);   // a residual gets a status entry of its own
    }
}

TEST_F(ScsiStatusTest, UnderrunIsReportedExceptForReadSixteen) {
    harness::LowVector<uint8_t> a(36, 0x5A);
    KERNEL_ENTRY* psInquiry = Received({SCSI_INQUIRY, 0, 0, 0, 96, 0}, 96);
    const TRANSFER_SEGMENT s = Segment(a);
    ASSERT_EQ(StartDataInTransfer(psInquiry, &s, 1, TRUE), STATUS_OK);
    KERNEL_ENTRY* psRead = Received(Read16(8), 8192);
    ASSERT_EQ(StartDataInTransfer(psRead, &s, 1, TRUE), STATUS_OK);
    host.Serve();
    EXPECT_EQ(host.Reply(psInquiry->wIndex).wStatusWord, FCP_RESIDUAL_UNDERRUN);
    EXPECT_EQ(host.Reply(psInquiry->wIndex).dResidual, 60u);
    EXPECT_EQ(host.Reply(psInquiry->wIndex).abDataIn, std::vector<uint8_t>(a.begin(), a.end()));
    EXPECT_EQ(host.Reply(psRead->wIndex).wStatusWord, SCSI_STATUS_GOOD);
    EXPECT_EQ(host.Reply(psRead->wIndex).dResidual, 0u);
}

TEST_F(ScsiStatusTest, LaterPassOfAReadLandsAtItsOffsetAndIsTrimmedThere) {
    harness::LowVector<uint8_t> a = Page(4);
    KERNEL_ENTRY* ps = Received(Read16(16), 6144);
    ps->wBlocksDone = 8;   // the first 4096 bytes went out in an earlier pass
    const TRANSFER_SEGMENT s = Segment(a);
    ASSERT_EQ(StartDataInTransfer(ps, &s, 1, TRUE), STATUS_OK);
    host.Serve();
    const HostReply& r = host.Reply(ps->wIndex);
    ASSERT_EQ(r.abDataIn.size(), 6144u);
    EXPECT_EQ(r.abDataIn[4096], 4);
    EXPECT_EQ(r.dResidual, 2048u);
    EXPECT_EQ(r.wStatusWord, FCP_RESIDUAL_OVERRUN);
}

TEST_F(ScsiStatusTest, AbortedStaleAndSilencedCommandsSendNothing) {
    harness::LowVector<uint8_t> a = Page(1);
    const TRANSFER_SEGMENT s = Segment(a);
    KERNEL_ENTRY* psAborted = Received(Read16(8), 4096);
    psAborted->bPrimaryState = HOST_STATE_DATA_IN;
    SetFlag(psAborted, KE_FLAG_ABORTED);
    ASSERT_EQ(StartDataInTransfer(psAborted, &s, 1, TRUE), STATUS_OK);
    KERNEL_ENTRY* psStale = Received(Read16(8), 4096);
    psStale->bPrimaryState = HOST_STATE_STATUS;
    pHostFields(psStale)->wLipCount = 1;   // it came before a loop reset
    SendScsiStatus(psStale, SENSE_ILLEGAL_REQUEST, 0x20, 0);
    KERNEL_ENTRY* psSilenced = Received(Read16(8), 4096);
    psSilenced->bPrimaryState = HOST_STATE_STATUS;
    SetFlag(psSilenced, KE_FLAG_NO_STATUS);
    SendScsiStatus(psSilenced, SCSI_STATUS_GOOD, 0, 0);
    host.Serve();
    EXPECT_EQ(host.RequestsServed(), 0u);

    EXPECT_EQ(wGetCommandCompleteTotal(), 2);
    for (KERNEL_ENTRY* ps : {psAborted, psStale}) {
        EXPECT_EQ(ps->bPrimaryState, HOST_STATE_COMPLETE);
        EXPECT_EQ(ps->wChildrenOutstanding, COMPLETION_CODE_NO_STATUS);
        EXPECT_TRUE(HasFlag(ps, KE_FLAG_ABORTED));
    }
    EXPECT_EQ(psAborted->wTotalChildren, HOST_STATE_DATA_IN);
    EXPECT_EQ(psStale->wTotalChildren, HOST_STATE_STATUS);
    EXPECT_EQ(psSilenced->bPrimaryState, HOST_STATE_STATUS);
}

TEST_F(ScsiStatusTest, ConversionLooksTheInitiatorUpAndAnswersWhatItCannotTake) {
    HostCommand s;
    s.dPortId = INITIATOR;
    s.wLun = 0x0012;
    s.abCdb = {SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    s.dExpected = 0x1234;
    s.bTaskAttribute = TASK_ATTR_ORDERED;
    KERNEL_ENTRY* ps = Entry(host.Send(s));
    ASSERT_EQ(ConvertAtio7Command(ps), STATUS_OK);
    EXPECT_EQ(wGetCommandInitiator(ps), HANDLE);
    EXPECT_EQ(wGetCommandLun(ps), 0x0012);
    EXPECT_EQ(dGetCommandExpectedLength(ps), 0x1234u);
    EXPECT_EQ(dGetCommandSourceId(ps), INITIATOR);
    EXPECT_EQ(pGetCommandCdb(ps)[0], SCSI_TEST_UNIT_READY);
    ATIO2_ENTRY sHead;
    std::memcpy(&sHead, ps, sizeof(sHead));
    EXPECT_EQ(sHead.bEntryType, ATIO2_ENTRY_TYPE);
    EXPECT_EQ(sHead.wStatus, ATIO2_STATUS_COMMAND_RECEIVED);
    EXPECT_EQ(sHead.bTaskAttribute, TASK_ATTR_ORDERED);
    EXPECT_EQ(ConvertAtio7Command(ps), STATUS_OK);   // again after a put-back: the same
    EXPECT_EQ(wGetCommandInitiator(ps), HANDLE);

    // The command before it is still on the ring: take it first.
    DecPortNewCommands(PORT);
    s.dPortId = 0x0A0B0C;   // a login the handle map does not have
    const uint16_t wUnknown = host.Send(s);
    EXPECT_EQ(ConvertAtio7Command(Entry(wUnknown)), STATUS_RETRY);
    EXPECT_EQ(wGetPortNewCommands(PORT), 0);
    host.Serve();
    EXPECT_EQ(host.Reply(wUnknown).bStatus, SCSI_STATUS_BUSY);

    s.dPortId = INITIATOR;
    s.dExchange = ATIO7_NO_EXCHANGE;
    const uint16_t wIndex = host.Send(s);
    EXPECT_EQ(ConvertAtio7Command(Entry(wIndex)), STATUS_RETRY);
    EXPECT_EQ(wGetPortNewCommands(PORT), 0);
    host.Serve();
    EXPECT_EQ(host.Reply(wIndex).bStatus, SCSI_STATUS_TASK_SET_FULL);
}

TEST_F(ScsiStatusTest, TraceLinesNameTheStatus) {
    SetTargetCommandTrace(TRUE);
    KERNEL_ENTRY* ps = Received(Read16(1), 0);
    board.ClearConsoleText();
    SendScsiStatus(ps, SCSI_STATUS_TASK_SET_FULL, 0, 0);
    SendScsiStatus(ps, SENSE_ILLEGAL_REQUEST, 0x24, 0);
    SendScsiStatus(ps, SCSI_STATUS_GOOD, 0, 0);
    EXPECT_EQ(Console(), "0007 Task Set Full\r\n0007 Check Condition returned, 05 24 00\r\n");
}

TEST_F(ScsiStatusTest, CommandsMadeInsideEndWithTheirStatusRecorded) {
    KERNEL_ENTRY* ps = Command(PORT_CODE_INTERNAL);
    ps->bPrimaryState = HOST_STATE_STATUS;
    SendScsiStatus(ps, SENSE_MEDIUM_ERROR, 0x11, 0);
    EXPECT_EQ(pHostFields(ps)->bScsiStatus, SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(pHostFields(ps)->bSenseKey, SENSE_MEDIUM_ERROR);
    EXPECT_EQ(pHostFields(ps)->bAsc, 0x11);
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_COMPLETE);
    EXPECT_EQ(wGetCommandCompleteTotal(), 1);

    KERNEL_ENTRY* psWrite = Command(PORT_CODE_INTERNAL);
    StartDataOutTransfer(psWrite, nullptr, 0);
    EXPECT_EQ(psWrite->bPrimaryState, HOST_STATE_DATA_RECEIVED);
    EXPECT_EQ(wGetDataReceivedCount(), 1);
}

TEST_F(ScsiStatusTest, AnsweredStreamPieceIsReleasedWithItsStatus) {
    std::vector<uint8_t> abCdb(16, 0);
    abCdb[0] = SCSI_WRITE16;
    KERNEL_ENTRY* ps = Received(abCdb, 512);
    ps->bCommandType = COMMAND_TYPE_STREAM_PIECE;
    SetFlag(ps, KE_FLAG_STATUS_SENT | KE_FLAG_WRITE_BACK | KE_FLAG_CACHE_COUNTED);
    ASSERT_EQ(wGetPortTotalCommands(PORT), 1);
    ps->bPrimaryState = HOST_STATE_STATUS;
    SendScsiStatus(ps, SCSI_STATUS_GOOD, 0, 0);
    EXPECT_EQ(ps->fUsed, FALSE);
    EXPECT_EQ(wGetPortTotalCommands(PORT), 0);
    host.Serve();
    EXPECT_EQ(host.RequestsServed(), 1u);   // the status still went out
    EXPECT_EQ(wGetCommandCompleteTotal(), 0);
}

// The GOOD of a write-back stream head goes out while pieces are still
// joining it: the head keeps its counts of pieces arrived and expected,
// while any command that ends with its status starts its completion code
// from zero.
TEST_F(ScsiStatusTest, WriteBackHeadKeepsItsPieceCountsAcrossItsGood) {
    std::vector<uint8_t> abCdb(16, 0);
    abCdb[0] = SCSI_WRITE16;
    KERNEL_ENTRY* psHead = Received(abCdb, 512);
    psHead->bCommandType = COMMAND_TYPE_STREAM_HEAD;
    SetFlag(psHead, KE_FLAG_WRITE_BACK);
    psHead->wChildrenOutstanding = 1;
    psHead->wTotalChildren = 3;
    SendScsiStatus(psHead, SCSI_STATUS_GOOD, 0, 0);
    EXPECT_EQ(psHead->wChildrenOutstanding, 1);
    EXPECT_EQ(psHead->wTotalChildren, 3);

    KERNEL_ENTRY* psThrough = Received(abCdb, 512);
    psThrough->wChildrenOutstanding = 2;
    psThrough->wTotalChildren = 2;
    SendScsiStatus(psThrough, SCSI_STATUS_GOOD, 0, 0);
    EXPECT_EQ(psThrough->wChildrenOutstanding, 0);
    EXPECT_EQ(psThrough->wTotalChildren, 0);
}

}  // namespace
}  // namespace target_test
