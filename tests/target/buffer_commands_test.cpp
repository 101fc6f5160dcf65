// READ BUFFER and WRITE BUFFER: the echo buffers of port codes 49 and 50
// (which end their commands as internal commands do on this board), the
// sense saved per initiator there, and the hand-off of management and
// download modes with the refusals while a long job runs.
#include "cache/write_stages.h"
#include "config/config_flags.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "host_board.h"
#include "mgmt/management.h"
#include "target/buffer_commands.h"
#include "target/command_access.h"
#include "target/target_commands.h"
#include "target/unit_attention.h"

namespace target_test {
namespace {

using namespace fw;

constexpr uint8_t PORT_49 = PORT_CODE_FC_TABLE_1;
constexpr uint8_t PORT_50 = PORT_CODE_FC_TABLE_2;

class BufferCommandsTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        InitEchoBuffers();
        FillHostInterfaceBitmap(PORT_49, FALSE);
        FillHostInterfaceBitmap(PORT_50, FALSE);
    }
    // A command of the second SAS target path (CDB at 20, initiator byte
    // 40), handed to its handler as the dispatcher would.
    KERNEL_ENTRY* SendPath(uint8_t bPort, uint8_t bInitiator, std::vector<uint8_t> abCdb) {
        KERNEL_ENTRY* ps = nullptr;
        uint16_t wIndex = 0;
        EXPECT_EQ(bAllocTargetEntries(bPort, 1, &ps, &wIndex, FALSE), STATUS_OK);
        uint8_t abBlock[64] = {};
        std::copy(abCdb.begin(), abCdb.end(), abBlock + 20);
        abBlock[40] = bInitiator;
        CopyNewCommandIocb(bPort, abBlock, ps, HOST_STATE_NEW_COMMAND, FALSE);
        switch (abCdb[0]) {
        case SCSI_READ_BUFFER: EXPECT_EQ(bAnswerReadBuffer(ps), STATUS_OK); break;
        case SCSI_WRITE_BUFFER: EXPECT_EQ(bAnswerWriteBuffer(ps), STATUS_OK); break;
        default: EXPECT_EQ(bAnswerRequestSense(ps, FALSE), STATUS_OK); break;
        }
        while (wGetDataReceivedCount() != 0) (void)ProcessDataReceivedQueue();
        return ps;
    }
    static std::vector<uint8_t> Buffer(uint8_t bOpcode, uint8_t bMode, uint8_t bBufferId, uint32_t dLength) {
        std::vector<uint8_t> ab(10, 0);
        ab[0] = bOpcode;
        ab[1] = bMode;
        ab[2] = bBufferId;
        PutBe24(ab.data() + 6, dLength);
        return ab;
    }
    static void ExpectStatus(const KERNEL_ENTRY* ps, uint8_t bStatus, uint8_t bAsc, const char* pszWhat) {
        EXPECT_EQ(ps->bPrimaryState, HOST_STATE_COMPLETE) << pszWhat;
        EXPECT_EQ(pHostFields(ps)->bScsiStatus, bStatus) << pszWhat;
        EXPECT_EQ(pHostFields(ps)->bAsc, bAsc) << pszWhat;
    }
    static uint32_t Sent(const KERNEL_ENTRY* ps) { return pHostFields(ps)->dDataInBytes; }
    // The data a command sent from its own pages.
    static const uint8_t* PagesOf(const KERNEL_ENTRY* ps) {
        return static_cast<const uint8_t*>(pBufferHandleToPointer(ps->dBufferHandle));
    }
};

TEST_F(BufferCommandsTest, EchoReadsNeverReturnMoreThanWrittenOrAskedFor) {
    KERNEL_ENTRY* ps = SendPath(PORT_49, 3, Buffer(SCSI_READ_BUFFER, 10, 0, 4096));
    ExpectStatus(ps, SCSI_STATUS_CHECK_CONDITION, ASC_COMMAND_SEQUENCE_ERROR, "read before any write");
    ps = SendPath(PORT_49, 3, Buffer(SCSI_WRITE_BUFFER, 10, 0, 100));
    EXPECT_EQ(ps->bCommandType, 'G');
    ExpectStatus(ps, SCSI_STATUS_GOOD, 0, "write 100");
    ps = SendPath(PORT_49, 3, Buffer(SCSI_READ_BUFFER, 10, 0, 4096));
    ExpectStatus(ps, SCSI_STATUS_GOOD, 0, "read");
    EXPECT_EQ(Sent(ps), 100u);
    EXPECT_EQ(Sent(SendPath(PORT_49, 3, Buffer(SCSI_READ_BUFFER, 2, 0, 60))), 60u);
    // The descriptor: 4096 bytes of echo buffer.
    ps = SendPath(PORT_49, 3, Buffer(SCSI_READ_BUFFER, 11, 0, 255));
    ASSERT_EQ(Sent(ps), 4u);
    const uint8_t* pb = PagesOf(ps);
    EXPECT_EQ(std::vector<uint8_t>(pb, pb + 4), (std::vector<uint8_t>{0x01, 0x00, 0x10, 0x00}));
    EXPECT_EQ(Sent(SendPath(PORT_49, 3, Buffer(SCSI_READ_BUFFER, 3, 0, 2))), 2u);
    // Another initiator, and the other port's group, have buffers of their own.
    ExpectStatus(SendPath(PORT_49, 4, Buffer(SCSI_READ_BUFFER, 10, 0, 4096)), SCSI_STATUS_CHECK_CONDITION,
                 ASC_COMMAND_SEQUENCE_ERROR, "initiator 4");
    ExpectStatus(SendPath(PORT_50, 3, Buffer(SCSI_READ_BUFFER, 10, 0, 4096)), SCSI_STATUS_CHECK_CONDITION,
                 ASC_COMMAND_SEQUENCE_ERROR, "port 50");
}

TEST_F(BufferCommandsTest, EchoBuffersServeOnlyInitiatorsBelowSixteenAndFourKilobytes) {
    ExpectStatus(SendPath(PORT_49, 16, Buffer(SCSI_WRITE_BUFFER, 10, 0, 10)), SCSI_STATUS_CHECK_CONDITION,
                 ASC_INVALID_FIELD_IN_CDB, "write, initiator 16");
    ExpectStatus(SendPath(PORT_50, 200, Buffer(SCSI_READ_BUFFER, 11, 0, 4)), SCSI_STATUS_CHECK_CONDITION,
                 ASC_INVALID_FIELD_IN_CDB, "descriptor, initiator 200");
    ExpectStatus(SendPath(PORT_49, 1, Buffer(SCSI_WRITE_BUFFER, 10, 0, 4097)), SCSI_STATUS_CHECK_CONDITION,
                 ASC_INVALID_FIELD_IN_CDB, "4097 bytes");
    KERNEL_ENTRY* ps = SendPath(PORT_49, 1, Buffer(SCSI_WRITE_BUFFER, 10, 0, 4096));
    ExpectStatus(ps, SCSI_STATUS_GOOD, 0, "4096 bytes");
    EXPECT_EQ(Sent(SendPath(PORT_49, 1, Buffer(SCSI_READ_BUFFER, 10, 0, 0xFFFFFF))), 4096u);
    // Nothing to receive is answered at once, and leaves nothing to read.
    ps = SendPath(PORT_49, 2, Buffer(SCSI_WRITE_BUFFER, 10, 0, 0));
    ExpectStatus(ps, SCSI_STATUS_GOOD, 0, "0 bytes");
    EXPECT_NE(ps->bCommandType, 'G');
    ExpectStatus(SendPath(PORT_49, 2, Buffer(SCSI_READ_BUFFER, 10, 0, 10)), SCSI_STATUS_CHECK_CONDITION,
                 ASC_COMMAND_SEQUENCE_ERROR, "after 0 bytes");
}

TEST_F(BufferCommandsTest, BufferIdsChooseBetweenEchoAndManagement) {
    // Mode 2 with buffer ID 0 is the echo buffer on both ports; another ID
    // is the echo buffer only on port code 50.
    ExpectStatus(SendPath(PORT_49, 5, Buffer(SCSI_WRITE_BUFFER, 2, 0, 8)), SCSI_STATUS_GOOD, 0, "49 write id 0");
    ExpectStatus(SendPath(PORT_50, 5, Buffer(SCSI_WRITE_BUFFER, 2, 0, 8)), SCSI_STATUS_GOOD, 0, "50 write id 0");
    ExpectStatus(SendPath(PORT_50, 5, Buffer(SCSI_READ_BUFFER, 2, 7, 8)), SCSI_STATUS_GOOD, 0, "50 read id 7");
    // Management pages and commands: none is offered on this controller.
    ExpectStatus(SendPath(PORT_49, 5, Buffer(SCSI_READ_BUFFER, 2, 7, 8)), SCSI_STATUS_CHECK_CONDITION,
                 ASC_INVALID_FIELD_IN_CDB, "49 read id 7");
    ExpectStatus(SendPath(PORT_50, 5, Buffer(SCSI_WRITE_BUFFER, 2, 7, 8)), SCSI_STATUS_CHECK_CONDITION,
                 ASC_INVALID_FIELD_IN_CDB, "50 write id 7");
}

TEST_F(BufferCommandsTest, RequestSenseOnTheSecondPathReportsTheSavedSense) {
    SetSavedSense(PORT_49, 3, SENSE_MEDIUM_ERROR, 0x11, 0x04);
    SetSavedSense(PORT_50, ALL_SAVED_SENSE_INITIATORS, SENSE_HARDWARE_ERROR, 0x44, 0x00);
    auto SenseOf = [&](uint8_t bPort, uint8_t bInitiator) {
        KERNEL_ENTRY* ps = SendPath(bPort, bInitiator, {SCSI_REQUEST_SENSE, 0, 0, 0, 18, 0});
        EXPECT_EQ(Sent(ps), 18u);
        const uint8_t* pb = PagesOf(ps);
        return std::vector<uint8_t>{pb[2], pb[12], pb[13]};
    };
    EXPECT_EQ(SenseOf(PORT_49, 3), (std::vector<uint8_t>{SENSE_MEDIUM_ERROR, 0x11, 0x04}));
    EXPECT_EQ(SenseOf(PORT_49, 4), (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(SenseOf(PORT_50, 15), (std::vector<uint8_t>{SENSE_HARDWARE_ERROR, 0x44, 0x00}));
    EXPECT_EQ(SenseOf(PORT_50, 16), (std::vector<uint8_t>{0, 0, 0}));
}

class BufferHandOffTest : public BufferCommandsTest {
protected:
    void SetUp() override {
        BufferCommandsTest::SetUp();
        MakeDrives({100000});
        ClearAttentions();
    }
    Answer Ask(std::vector<uint8_t> abCdb) {
        const uint16_t w = Send(0, abCdb);
        Dispatch();
        Settle();
        return Reply(w);
    }
};

TEST_F(BufferHandOffTest, DownloadsAndManagementWaitForLongJobs) {
    SetConfigUpdatePending(TRUE);
    const Answer sDownload = Ask(Buffer(SCSI_WRITE_BUFFER, 5, 0x42, 4096));
    EXPECT_EQ(sDownload.bKey, SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(sDownload.bAsc, ASC_INVALID_FIELD_IN_PARAMETERS);
    EXPECT_EQ(sDownload.bAscq, 0x02);
    const EVENT_LOG_ENTRY* psEvent = FindEvent(EVENT_FIRMWARE_BUFFER_REFUSED);
    ASSERT_NE(psEvent, nullptr);
    EXPECT_EQ(psEvent->abArgs[0], 0x42);
    EXPECT_EQ(psEvent->abArgs[1], 1);
    const Answer sManagement = Ask(Buffer(SCSI_WRITE_BUFFER, 1, 0x80, 32));
    EXPECT_EQ(sManagement.bKey, SENSE_NOT_READY);
    EXPECT_EQ(sManagement.bAsc, ASC_NOT_READY);
    SetConfigUpdatePending(FALSE);
    // No download is offered here; a management command without the
    // signature is refused once its data is in, and no page can be read.
    EXPECT_EQ(Ask(Buffer(SCSI_WRITE_BUFFER, 7, 0, 4096)).bAsc, ASC_INVALID_FIELD_IN_CDB);
    const Answer sUnsigned = AnswerOf(AskFrom(INITIATOR, Buffer(SCSI_WRITE_BUFFER, 1, 0x80, 32), 0,
                                              std::vector<uint8_t>(32, 0)));
    EXPECT_EQ(sUnsigned.bKey, SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(sUnsigned.bAsc, ASC_INVALID_FIELD_IN_PARAMETERS);
    EXPECT_EQ(psGetCurrentManagementCommand(), nullptr);
    EXPECT_EQ(Ask(Buffer(SCSI_READ_BUFFER, 1, 0x80, 32)).bAsc, ASC_INVALID_FIELD_IN_CDB);
}

TEST_F(BufferHandOffTest, ASecondManagementWriteWaitsForTheFirst) {
    // The first (no operation) has its data on its way, not yet received.
    constexpr uint8_t NO_OPERATION = 201;
    std::vector<uint8_t> abSigned(MANAGEMENT_SIGNATURE, MANAGEMENT_SIGNATURE + sizeof(MANAGEMENT_SIGNATURE));
    HostCommand sFirst;
    sFirst.dPortId = INITIATOR;
    sFirst.abCdb = Buffer(SCSI_WRITE_BUFFER, 1, NO_OPERATION, 16);
    sFirst.abDataOut = abSigned;
    sFirst.dExpected = 16;
    const uint16_t wFirst = host.Send(sFirst);
    Dispatch();
    host.Serve();
    ASSERT_EQ(psGetDeferredWriteBuffer(), Entry(wFirst));
    EXPECT_EQ(psGetCurrentManagementCommand(), Entry(wFirst));
    const uint16_t wSecond = Send(0, Buffer(SCSI_WRITE_BUFFER, 1, NO_OPERATION, 16));
    Dispatch();
    Settle();
    EXPECT_EQ(Reply(wSecond).bKey, SENSE_NOT_READY);
    EXPECT_EQ(Reply(wSecond).bAsc, ASC_NOT_READY);
    // Once its data is in it is answered and the next one goes on.
    while (wGetDataReceivedCount() != 0) (void)ProcessDataReceivedQueue();
    Settle();
    EXPECT_TRUE(Reply(wFirst).fStatus);
    EXPECT_EQ(Reply(wFirst).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(psGetCurrentManagementCommand(), nullptr);
    EXPECT_EQ(fGetHostCommandHold(), FALSE);
    const Answer sThird = AnswerOf(AskFrom(INITIATOR, Buffer(SCSI_WRITE_BUFFER, 1, NO_OPERATION, 16), 0, abSigned));
    EXPECT_TRUE(sThird.fStatus);
    EXPECT_EQ(sThird.bStatus, SCSI_STATUS_GOOD);
}

}  // namespace
}  // namespace target_test
