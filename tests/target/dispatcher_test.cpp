// The dispatcher's checks in their order, as a host sees them: unmapped LUNs,
// unit attentions, the controller hold, CDB conversion, read-only mappings,
// invalid opcodes, zero-length transfers and a full LUN ring.
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "config/config_db.h"
#include "config/host_port_tables.h"
#include "executive/system_state.h"
#include "host_board.h"
#include "target/command_access.h"
#include "executive/tick.h"

namespace target_test {
namespace {

using namespace fw;

class DispatcherTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        MakeDrives({100000, 100000});
    }
    // The host's answer after one main-loop cycle.
    Answer Ask(uint16_t wLun, std::vector<uint8_t> abCdb, uint32_t dExpected = 0) {
        const uint16_t w = Send(wLun, abCdb, dExpected);
        Dispatch();
        Settle();
        return Reply(w);
    }
    static void ExpectSense(const Answer& s, uint8_t bKey, uint8_t bAsc, uint8_t bAscq, const char* pszWhat) {
        EXPECT_TRUE(s.fStatus) << pszWhat;
        EXPECT_EQ(s.bStatus, SCSI_STATUS_CHECK_CONDITION) << pszWhat;
        EXPECT_EQ(s.bKey, bKey) << pszWhat;
        EXPECT_EQ(s.bAsc, bAsc) << pszWhat;
        EXPECT_EQ(s.bAscq, bAscq) << pszWhat;
    }
    // What matters here is that the dispatcher let the command by to its
    // handler, which answers it GOOD.
    static void ExpectHandedOn(const Answer& s, const char* pszWhat) {
        EXPECT_TRUE(s.fStatus) << pszWhat;
        EXPECT_EQ(s.bStatus, SCSI_STATUS_GOOD) << pszWhat;
    }
};

TEST_F(DispatcherTest, UnmappedLunIsNotSupportedButInquiryIsAnswered) {
    ClearAttentions();
    ExpectSense(Ask(9, Cdb10(SCSI_READ10, 0, 8), 4096), SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0, "READ(10)");
    ExpectHandedOn(Ask(9, Cdb6(SCSI_INQUIRY, 36), 36), "INQUIRY");
    ExpectHandedOn(Ask(9, {SCSI_REPORT_LUNS, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, 16), "REPORT LUNS");
    // TEST UNIT READY passes only at the LUN of the initiator's handle.
    ExpectSense(Ask(9, Cdb6(SCSI_TEST_UNIT_READY)), SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0, "TUR");
    EXPECT_EQ(wGetPortTotalCommands(PORT), 0);   // all of them freed
}

TEST_F(DispatcherTest, PowerOnAttentionOncePerInitiatorAndLun) {
    constexpr uint32_t OTHER = 0x010204;
    host.Login(OTHER, 8);
    Map(0, 0, false, 8);
    // Never to INQUIRY, REQUEST SENSE or REPORT LUNS: they leave it pending.
    ExpectHandedOn(Ask(0, Cdb6(SCSI_INQUIRY, 36), 36), "INQUIRY first");
    ExpectHandedOn(Ask(0, {SCSI_REPORT_LUNS, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, 16), "REPORT LUNS first");
    EXPECT_EQ(fGetUnitAttention(PORT, HANDLE, 0), TRUE);
    ExpectSense(Ask(0, Cdb6(SCSI_TEST_UNIT_READY)), SENSE_UNIT_ATTENTION, ASC_POWER_ON_RESET, 0, "first TUR");
    ASSERT_NE(FindEvent(46), nullptr);
    EXPECT_EQ(FindEvent(46)->abArgs[0], 1);         // host port 1
    EXPECT_EQ(FindEvent(46)->abArgs[1], HANDLE);
    EXPECT_EQ(FindEvent(46)->abArgs[4], SCSI_TEST_UNIT_READY);
    ExpectHandedOn(Ask(0, Cdb6(SCSI_TEST_UNIT_READY)), "second TUR");
    // Another LUN and another initiator each have their own.
    ExpectSense(Ask(1, Cdb6(SCSI_TEST_UNIT_READY)), SENSE_UNIT_ATTENTION, ASC_POWER_ON_RESET, 0, "LUN 1");
    const uint16_t w = Send(0, Cdb6(SCSI_TEST_UNIT_READY), 0, OTHER);
    Dispatch();
    Settle();
    ExpectSense(Reply(w), SENSE_UNIT_ATTENTION, ASC_POWER_ON_RESET, 0, "other initiator");
}

TEST_F(DispatcherTest, RequestSenseClearsThePendingAttention) {
    ExpectHandedOn(Ask(0, Cdb6(SCSI_REQUEST_SENSE, 18), 18), "REQUEST SENSE");
    EXPECT_EQ(fGetUnitAttention(PORT, HANDLE, 0), FALSE);
    ExpectHandedOn(Ask(0, Cdb6(SCSI_TEST_UNIT_READY)), "TUR after REQUEST SENSE");
}

TEST_F(DispatcherTest, ControllerHoldRefusesAllButWriteBuffer) {
    ClearAttentions();
    SetBackgroundHold(TRUE);
    ExpectSense(Ask(0, Cdb6(SCSI_TEST_UNIT_READY)), SENSE_NOT_READY, ASC_NOT_READY, 3, "TUR under hold");
    ExpectSense(Ask(0, Cdb10(SCSI_READ10, 0, 8), 4096), SENSE_NOT_READY, ASC_NOT_READY, 3, "READ under hold");
    // No management command is offered: the handler refuses the field.
    ExpectSense(Ask(0, Cdb10(SCSI_WRITE_BUFFER, 0, 0)), SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0,
                "WRITE BUFFER under hold");
    SetBackgroundHold(FALSE);
    ExpectHandedOn(Ask(0, Cdb6(SCSI_TEST_UNIT_READY)), "TUR after hold");
}

TEST_F(DispatcherTest, ReadOnlyMappingRefusesWritesAndQueuesReads) {
    ClearAttentions();
    Map(5, 1, true);
    ExpectSense(Ask(5, Cdb10(SCSI_WRITE10, 0, 8), 4096), SENSE_DATA_PROTECT, ASC_WRITE_PROTECTED, 0, "WRITE(10)");
    const uint16_t w = Send(5, Cdb10(SCSI_READ10, 0, 8), 4096);
    Dispatch();
    EXPECT_EQ(Entry(w)->bPrimaryState, HOST_STATE_LUN_QUEUED);
    EXPECT_EQ(wGetLunQueueCount(1), 1);
}

TEST_F(DispatcherTest, InvalidOpcodesAreRefusedAndCounted) {
    ClearAttentions();
    const uint32_t dBefore = dGetEventCounter(EVENT_COUNTER_INVALID_COMMAND);
    ExpectSense(Ask(0, {0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}, 4096), SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE, 0,
                "READ(12)");
    ExpectSense(Ask(0, Cdb6(0xC0)), SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE, 0, "vendor opcode");
    // The SEEK form is the controller's own: a host's 0x8B (with or without
    // blocks) is another command, not a SEEK.
    ExpectSense(Ask(0, Cdb16(SCSI_SEEK16_FORM, 0, 8), 4096), SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE, 0, "0x8B");
    ExpectSense(Ask(0, Cdb16(SCSI_SEEK16_FORM, 0, 0)), SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE, 0, "0x8B, 0 blocks");
    EXPECT_EQ(dGetEventCounter(EVENT_COUNTER_INVALID_COMMAND), dBefore + 4);
}

TEST_F(DispatcherTest, ShortCdbsBecomeTheirSixteenByteForm) {
    ClearAttentions();
    struct Case {
        std::vector<uint8_t> abCdb;
        uint8_t bOpcode;
        uint64_t lLba;
        uint32_t dBlocks;
    };
    const Case acCases[] = {
        {{SCSI_READ6, 0xE1, 0x00, 0x10, 0, 0}, SCSI_READ16, 0x010010, 256},   // count 0 is 256 blocks
        {{SCSI_WRITE6, 0x01, 0x02, 0x03, 4, 0}, SCSI_WRITE16, 0x010203, 4},
        {Cdb10(SCSI_READ10, 0x12345, 16), SCSI_READ16, 0x12345, 16},
        {Cdb10(SCSI_WRITE_AND_VERIFY10, 77, 2), SCSI_WRITE16, 77, 2},
    };
    for (const Case& c : acCases) {
        const uint16_t w = Send(0, c.abCdb, c.dBlocks * 512);
        KERNEL_ENTRY* ps = Entry(w);
        Dispatch();
        const uint8_t* pb = pGetCommandCdb(ps);
        EXPECT_EQ(pb[0], c.bOpcode);
        EXPECT_EQ(lGetBe64(pb + 2), c.lLba);
        EXPECT_EQ(dGetBe32(pb + 10), c.dBlocks);
        EXPECT_EQ(ps->bPrimaryState, HOST_STATE_LUN_QUEUED);
        if (c.abCdb.size() == 6) {
            EXPECT_EQ(pb[1], c.abCdb[1] & 0xE0);   // only the top three bits stay
        }
    }
    EXPECT_EQ(wGetLunQueueCount(0), 4);
}

TEST_F(DispatcherTest, ZeroLengthTransferIsGoodAndNeverQueued) {
    ClearAttentions();
    const Answer s = Ask(0, Cdb10(SCSI_READ10, 100, 0));
    EXPECT_TRUE(s.fStatus);
    EXPECT_EQ(s.bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(wGetNewCmdContTotal(), 0);
    // Out of the drive it is still out of range.
    ExpectSense(Ask(0, Cdb10(SCSI_READ10, 100000, 0)), SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0, "outside");
}

TEST_F(DispatcherTest, FullLunRingPutsTheCommandBack) {
    ClearAttentions();
    for (int i = 0; i < 256; i++) Send(0, Cdb10(SCSI_READ10, i * 8, 8), 4096);
    Dispatch();
    ASSERT_EQ(wGetLunQueueCount(0), 256);
    const uint16_t w = Send(0, Cdb10(SCSI_READ10, 0, 8), 4096);
    Dispatch();
    EXPECT_EQ(Entry(w)->bPrimaryState, HOST_STATE_NEW_COMMAND);
    EXPECT_EQ(wGetPortNewCommands(PORT), 1);
    EXPECT_EQ(wGetLunQueueCount(0), 256);
    // Admitted once, it is not checked or counted again when it comes back.
    EXPECT_EQ(Entry(w)->fValid, TRUE);
    RemoveFromLunRing(0);
    Dispatch();
    EXPECT_EQ(Entry(w)->bPrimaryState, HOST_STATE_LUN_QUEUED);
}

// A command back for its next pass takes the head of a full ring: the one
// queued last goes back to wait on the new-command ring, not lost, and is
// queued again once there is room.  When that one is a later pass too, it
// stays, and the pass coming back waits instead.
TEST_F(DispatcherTest, ANextPassOnAFullRingSendsTheNewestBack) {
    ClearAttentions();
    uint16_t wNewest = 0;
    for (int i = 0; i < LUN_RING_CAPACITY; i++) wNewest = Send(0, Cdb10(SCSI_READ10, i * 8, 8), 4096);
    Dispatch();
    ASSERT_EQ(wGetLunQueueCount(0), LUN_RING_CAPACITY);
    const uint16_t wPass = Send(0, Cdb10(SCSI_READ10, 4000, 8), 4096);
    Dispatch();
    ASSERT_EQ(Entry(wPass)->bPrimaryState, HOST_STATE_NEW_COMMAND);
    Entry(wPass)->wBlocksDone = 8;   // its first pass is done
    Dispatch();
    KERNEL_ENTRY* psHead = nullptr;
    ASSERT_EQ(bPeekLunCommand(0, &psHead), STATUS_FOUND);
    EXPECT_EQ(psHead, Entry(wPass));
    EXPECT_EQ(wGetLunQueueCount(0), LUN_RING_CAPACITY);
    EXPECT_EQ(Entry(wNewest)->bPrimaryState, HOST_STATE_NEW_COMMAND);
    EXPECT_EQ(wGetPortNewCommands(PORT), 1);
    RemoveFromLunRing(0);
    Dispatch();
    EXPECT_EQ(Entry(wNewest)->bPrimaryState, HOST_STATE_LUN_QUEUED);
    EXPECT_EQ(wGetPortNewCommands(PORT), 0);
    EXPECT_EQ(wGetLunQueueCount(0), LUN_RING_CAPACITY);

    // The newest on the full ring is itself a later pass: it keeps its place.
    Entry(wNewest)->wBlocksDone = 8;
    const uint16_t wSecondPass = Send(0, Cdb10(SCSI_READ10, 5000, 8), 4096);
    Dispatch();
    Entry(wSecondPass)->wBlocksDone = 8;
    Dispatch();
    EXPECT_EQ(Entry(wSecondPass)->bPrimaryState, HOST_STATE_NEW_COMMAND);
    EXPECT_EQ(Entry(wNewest)->bPrimaryState, HOST_STATE_LUN_QUEUED);
    EXPECT_EQ(wGetLunQueueCount(0), LUN_RING_CAPACITY);
}

// Host work held for the pair: a host's command held 20 s is answered NOT
// READY, becoming ready, but for the commands that only name the target,
// its LUNs and its sense, which are answered as ever.
TEST_F(DispatcherTest, AHoldAnswersOnlyWhatNamesTheTargetAndItsSense) {
    ClearAttentions();
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> abCdb;
        uint32_t dExpected;
        bool fAnswered;
    };
    std::vector<uint8_t> abReportLuns(12, 0);
    abReportLuns[0] = SCSI_REPORT_LUNS;
    abReportLuns[9] = 16;
    const Case acCases[] = {
        {"INQUIRY", Cdb6(SCSI_INQUIRY, 36), 36, true},
        {"REPORT LUNS", abReportLuns, 16, true},
        {"REQUEST SENSE", Cdb6(SCSI_REQUEST_SENSE, 18), 18, true},
        {"opcode 0x20", {0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, true},
        {"TEST UNIT READY", Cdb6(SCSI_TEST_UNIT_READY), 0, false},
        {"READ", Cdb10(SCSI_READ10, 0, 8), 4096, false},
    };
    for (const Case& c : acCases) {
        const uint16_t w = Send(0, c.abCdb, c.dExpected);
        for (uint32_t d = 0; d < 20000; d++) SystemTickHandler();
        AnswerHeldHostCommands();
        Settle();
        const Answer s = Reply(w);
        EXPECT_TRUE(s.fStatus) << c.pszWhat;
        const bool fNotReady = s.bStatus == SCSI_STATUS_CHECK_CONDITION && s.bKey == SENSE_NOT_READY &&
                               s.bAsc == ASC_NOT_READY && s.bAscq == 1;
        EXPECT_EQ(fNotReady, !c.fAnswered) << c.pszWhat;
    }
}

TEST_F(DispatcherTest, QuiescePutsNewCommandsBackUntilItEnds) {
    ClearAttentions();
    StartIoQuiesce([](uint8_t) {});
    ASSERT_EQ(bGetIoQuiesceState(), QUIESCE_DRAINING);
    const uint16_t w = Send(0, Cdb10(SCSI_READ10, 0, 8), 4096);
    Dispatch();
    EXPECT_EQ(Entry(w)->bPrimaryState, HOST_STATE_NEW_COMMAND);
    EXPECT_EQ(Entry(w)->fValid, FALSE);
    // Resumed once the host ports have taken up the new tables.
    SetHostPortLinkFlag(PORT_CODE_FC_HOST_1, FALSE);
    SetHostPortLinkFlag(PORT_CODE_FC_HOST_2, FALSE);
    ResumeHostIo();
    ASSERT_EQ(bGetIoQuiesceState(), QUIESCE_IDLE);
    Dispatch();
    EXPECT_EQ(Entry(w)->bPrimaryState, HOST_STATE_LUN_QUEUED);
}

}  // namespace
}  // namespace target_test
