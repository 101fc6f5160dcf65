// The small target commands from a host: TEST UNIT READY, REQUEST SENSE,
// READ CAPACITY, VERIFY, SEEK, READ DEFECT DATA, REPORT LUNS and
// SYNCHRONIZE CACHE, and what a handler does without a buffer page.
#include "dataservices/data_services.h"
#include "executive/buffer_pages.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "fc/fc_driver.h"
#include "host_board.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/mode_pages.h"
#include "target/target_commands.h"

namespace target_test {
namespace {

using namespace fw;

class TargetCommandsTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        InitTimerList();
    }
    // The host's whole answer after one main-loop cycle.
    HostReply Ask(uint16_t wLun, std::vector<uint8_t> abCdb, uint32_t dExpected = 0) {
        const uint16_t w = Send(wLun, abCdb, dExpected);
        Dispatch();
        Settle();
        return host.Reply(w);
    }
    static void ExpectGood(const HostReply& r, const char* pszWhat) {
        EXPECT_TRUE(r.fStatus) << pszWhat;
        EXPECT_EQ(r.bStatus, SCSI_STATUS_GOOD) << pszWhat;
    }
    static void ExpectSense(const HostReply& r, uint8_t bKey, uint8_t bAsc, uint8_t bAscq, const char* pszWhat) {
        const Answer s = AnswerOf(r);
        EXPECT_EQ(s.bStatus, SCSI_STATUS_CHECK_CONDITION) << pszWhat;
        EXPECT_EQ(s.bKey, bKey) << pszWhat;
        EXPECT_EQ(s.bAsc, bAsc) << pszWhat;
        EXPECT_EQ(s.bAscq, bAscq) << pszWhat;
    }
    static std::vector<uint8_t> Cdb12(uint8_t bOpcode, uint32_t dAllocation) {
        std::vector<uint8_t> ab(12, 0);
        ab[0] = bOpcode;
        PutBe32(ab.data() + 6, dAllocation);
        return ab;
    }
};

TEST_F(TargetCommandsTest, TestUnitReadyFollowsTheReadinessFlags) {
    MakeDrives({100000});
    ClearAttentions();
    struct Case {
        uint8_t fReady, fStarting, fHold;
        uint8_t bAscq;   // 0xFF: GOOD
    };
    const Case acCases[] = {
        {TRUE, TRUE, TRUE, 0xFF}, {FALSE, TRUE, TRUE, 0x01}, {FALSE, FALSE, TRUE, 0x04}, {FALSE, FALSE, FALSE, 0x00}};
    for (const Case& c : acCases) {
        SetDriveLoopsReady(c.fReady);
        SetDrivesStarting(c.fStarting);
        SetDriveLoopsHold(c.fHold);
        const HostReply r = Ask(0, Cdb6(SCSI_TEST_UNIT_READY));
        if (c.bAscq == 0xFF) {
            ExpectGood(r, "ready");
        } else {
            ExpectSense(r, SENSE_NOT_READY, ASC_NOT_READY, c.bAscq, "not ready");
        }
    }
}

TEST_F(TargetCommandsTest, CommandsThatNeedNothingDoneAreGoodUnlessAFieldIsSet) {
    MakeDrives({100000});
    ClearAttentions();
    for (uint8_t bOpcode : {SCSI_REZERO_UNIT, SCSI_START_STOP_UNIT, SCSI_SEND_DIAGNOSTIC, SCSI_RECEIVE_DIAGNOSTIC}) {
        ExpectGood(Ask(0, Cdb6(bOpcode)), "plain");
    }
    ExpectSense(Ask(0, {SCSI_START_STOP_UNIT, 0, 0, 0, 0x02, 0}), SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0,
                "eject");
    ExpectSense(Ask(0, {SCSI_TEST_UNIT_READY, 0, 1, 0, 0, 0}), SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0,
                "TUR byte 2");
}

TEST_F(TargetCommandsTest, RequestSenseReportsTheAttentionOnceThenNoSense) {
    MakeDrives({100000});
    const HostReply rFirst = Ask(0, Cdb6(SCSI_REQUEST_SENSE, 252), 252);
    ExpectGood(rFirst, "first");
    ASSERT_EQ(rFirst.abDataIn.size(), 18u);
    EXPECT_EQ(rFirst.abDataIn[0], 0x70);
    EXPECT_EQ(rFirst.abDataIn[2], SENSE_UNIT_ATTENTION);
    EXPECT_EQ(rFirst.abDataIn[7], 10);
    EXPECT_EQ(rFirst.abDataIn[12], ASC_POWER_ON_RESET);
    const HostReply rNext = Ask(0, Cdb6(SCSI_REQUEST_SENSE, 8), 8);
    ASSERT_EQ(rNext.abDataIn.size(), 8u);
    EXPECT_EQ(rNext.abDataIn[0], 0x70);
    EXPECT_EQ(rNext.abDataIn[2], SENSE_NO_SENSE);
    EXPECT_EQ(rNext.abDataIn[7], 10);
}

TEST_F(TargetCommandsTest, ReadCapacityOfADriveBeyondTwoToThe32Blocks) {
    constexpr uint64_t BLOCKS = 0x100000100ull;
    MakeDrives({BLOCKS});
    ClearAttentions();
    const HostReply r10 = Ask(0, Cdb10(SCSI_READ_CAPACITY10, 0, 0), 8);
    ASSERT_EQ(r10.abDataIn.size(), 8u);
    EXPECT_EQ(dGetBe32(r10.abDataIn.data()), 0xFFFFFFFFu);
    EXPECT_EQ(dGetBe32(r10.abDataIn.data() + 4), 512u);
    // The allocation length is all of bytes 10-13: 256 here, of which the
    // low byte alone would ask for nothing.
    std::vector<uint8_t> ab16(16, 0);
    ab16[0] = SCSI_SERVICE_ACTION_IN16;
    ab16[1] = SCSI_SA_READ_CAPACITY16;
    PutBe32(ab16.data() + 10, 256);
    const HostReply r16 = Ask(0, ab16, 256);
    ASSERT_EQ(r16.abDataIn.size(), 32u);
    EXPECT_EQ(lGetBe64(r16.abDataIn.data()), BLOCKS - 1);
    EXPECT_EQ(wGetBe16(r16.abDataIn.data() + 10), 512);
    PutBe32(ab16.data() + 10, 8);
    EXPECT_EQ(Ask(0, ab16, 8).abDataIn.size(), 8u);
    // PMI is bit 0 of byte 14: with it the address may be given.
    PutBe32(ab16.data() + 10, 32);
    ab16[14] = 0x01;
    PutBe64(ab16.data() + 2, 1000);
    ExpectGood(Ask(0, ab16, 32), "PMI with address");
    ab16[14] = 0x02;
    ExpectSense(Ask(0, ab16, 32), SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0, "address without PMI");
    ab16[14] = 0;
    PutBe64(ab16.data() + 2, 0);
    ab16[1] = 0x11;
    ExpectSense(Ask(0, ab16, 32), SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0, "other service action");
}

TEST_F(TargetCommandsTest, ReadCapacityCountsTheDrivesOwnBlocks) {
    AddRank(RAID_LEVEL_0, 2, 128, 1000000);
    const uint16_t l = AddLd({{0, 80003}});   // 10000 blocks of 4096 bytes and a partial one
    harness::s_sLive.asLd[l].wBlockSize = 4096;
    PresentAllExcept();
    ApplyStoredSettings(FALSE, TRUE);
    Map(0, l);
    ClearAttentions();
    const HostReply r = Ask(0, Cdb10(SCSI_READ_CAPACITY10, 0, 0), 8);
    EXPECT_EQ(dGetBe32(r.abDataIn.data()), 9999u);
    EXPECT_EQ(dGetBe32(r.abDataIn.data() + 4), 4096u);
    // The same last block the range check lets a host read.
    ExpectGood(Ask(0, Cdb10(SCSI_VERIFY10, 9999, 1)), "last block");
    ExpectSense(Ask(0, Cdb10(SCSI_VERIFY10, 10000, 1)), SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0, "beyond");
}

TEST_F(TargetCommandsTest, VerifyChecksTheWholeRangeWithoutWrapping) {
    MakeDrives({100000});
    ClearAttentions();
    struct Case {
        uint64_t lLba;
        uint32_t dBlocks;
        bool fGood;
    };
    const Case acCases[] = {
        {0, 100000, true},
        {99999, 1, true},
        {99999, 2, false},
        {100000, 1, false},
        {50000, 0x00010000, false},               // the count is all four bytes, not its low two
        {~0ull - 5, 10, false},                   // the end would wrap
        {99999, 0, true},                         // nothing to verify, at a block that exists
        {100000, 0, false},                       // ... or just past the end
        {~0ull, 0, false},
    };
    for (const Case& c : acCases) {
        const HostReply r = Ask(0, Cdb16(SCSI_VERIFY16, c.lLba, c.dBlocks));
        if (c.fGood) {
            ExpectGood(r, "VERIFY(16)");
        } else {
            ExpectSense(r, SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0, std::to_string(c.lLba).c_str());
        }
    }
    ExpectGood(Ask(0, Cdb10(SCSI_VERIFY10, 99000, 1000)), "VERIFY(10)");
    ExpectSense(Ask(0, Cdb10(SCSI_VERIFY10, 99000, 1001)), SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0,
                "VERIFY(10)");
}

TEST_F(TargetCommandsTest, SeekChecksTheAddressInEveryForm) {
    MakeDrives({100000});
    ClearAttentions();
    ExpectGood(Ask(0, Cdb10(SCSI_SEEK10, 99999, 0)), "SEEK(10) last");
    ExpectSense(Ask(0, Cdb10(SCSI_SEEK10, 100000, 0)), SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0, "SEEK(10)");
    ExpectGood(Ask(0, {SCSI_SEEK6, 0x01, 0x86, 0x9F, 0, 0}), "SEEK(6) 99999");
    ExpectSense(Ask(0, {SCSI_SEEK6, 0x01, 0x86, 0xA0, 0, 0}), SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0,
                "SEEK(6) 100000");
}

TEST_F(TargetCommandsTest, ReadDefectDataIsAnEmptyListInTheFormatAskedFor) {
    MakeDrives({100000});
    ClearAttentions();
    std::vector<uint8_t> ab = Cdb10(SCSI_READ_DEFECT_DATA10, 0, 0);
    ab[2] = 0x1D;
    PutBe16(ab.data() + 7, 512);
    EXPECT_EQ(Ask(0, ab, 512).abDataIn, (std::vector<uint8_t>{0, 0x1D, 0, 0}));
    PutBe16(ab.data() + 7, 2);
    EXPECT_EQ(Ask(0, ab, 2).abDataIn, (std::vector<uint8_t>{0, 0x1D}));
}

TEST_F(TargetCommandsTest, ReportLunsListsTheInitiatorsLuns) {
    MakeDrives({1000, 1000, 1000});
    ClearAttentions();
    ExpectSense(Ask(0, Cdb12(SCSI_REPORT_LUNS, 15), 15), SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0,
                "allocation 15");
    // LUNs 0, 1 and 2 of MakeDrives, and one above 255.
    Map(300, 2);
    const HostReply r = Ask(0, Cdb12(SCSI_REPORT_LUNS, 4096), 4096);
    ASSERT_EQ(r.abDataIn.size(), 40u);
    EXPECT_EQ(dGetBe32(r.abDataIn.data()), 32u);
    EXPECT_EQ(r.abDataIn[8 + 8], 0);
    EXPECT_EQ(r.abDataIn[8 + 9], 1);
    EXPECT_EQ(r.abDataIn[8 + 24], 300 >> 8);
    EXPECT_EQ(r.abDataIn[8 + 25], 300 & 0xFF);
    // An allocation of 16 gets the header and the first LUN.
    const HostReply rShort = Ask(0, Cdb12(SCSI_REPORT_LUNS, 16), 16);
    ASSERT_EQ(rShort.abDataIn.size(), 16u);
    EXPECT_EQ(dGetBe32(rShort.abDataIn.data()), 32u);
    // An initiator without any mapping sees LUN 0 only.
    constexpr uint32_t OTHER = 0x010299;
    host.Login(OTHER, 9);
    const uint16_t w = Send(0, Cdb12(SCSI_REPORT_LUNS, 64), 64, OTHER);
    Dispatch();
    Settle();
    EXPECT_EQ(host.Reply(w).abDataIn, (std::vector<uint8_t>{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(TargetCommandsTest, WithoutABufferPageTheCommandWaitsAtTheHead) {
    MakeDrives({100000});
    ClearAttentions();
    std::vector<BUFFER_HANDLE> adTaken;
    BUFFER_HANDLE d = NULL_BUFFER_HANDLE;
    while (bAllocDataPages(0, 1, &d) == STATUS_OK) adTaken.push_back(d);
    const uint16_t w = Send(0, Cdb6(SCSI_INQUIRY, 36), 36);
    const uint16_t wBehind = Send(0, Cdb6(SCSI_TEST_UNIT_READY));
    EXPECT_EQ(bDispatchHostCommand(PORT_CODE_MODULE), STATUS_NO_PAGES);
    Settle();
    EXPECT_FALSE(host.HasStatus(w));
    EXPECT_EQ(Entry(w)->bPrimaryState, HOST_STATE_NEW_COMMAND);
    EXPECT_EQ(wGetPortNewCommands(PORT), 2);
    for (BUFFER_HANDLE dHandle : adTaken) wFreeDataPages(dHandle, 1);
    Dispatch();
    Settle();
    ExpectGood(host.Reply(w), "INQUIRY once pages are back");
    EXPECT_EQ(host.Reply(w).abDataIn.size(), 36u);
    ExpectGood(host.Reply(wBehind), "TUR behind it");
    // A MODE SENSE(6) asked again keeps its own layout, though its CDB was
    // widened on the first try.
    InitModePages();
    adTaken.clear();
    while (bAllocDataPages(0, 1, &d) == STATUS_OK) adTaken.push_back(d);
    const uint16_t wSense = Send(0, {SCSI_MODE_SENSE6, 0x08, 0x0A, 0, 255, 0}, 255);
    EXPECT_EQ(bDispatchHostCommand(PORT_CODE_MODULE), STATUS_NO_PAGES);
    for (BUFFER_HANDLE dHandle : adTaken) wFreeDataPages(dHandle, 1);
    Dispatch();
    Settle();
    ExpectGood(host.Reply(wSense), "MODE SENSE(6) once pages are back");
    const std::vector<uint8_t>& ab = host.Reply(wSense).abDataIn;
    ASSERT_EQ(ab.size(), 16u);   // 4-byte header and the control page
    EXPECT_EQ(ab[0], 15);
    EXPECT_EQ(ab[3], 0);
    EXPECT_EQ(ab[4], 0x8A);
}

TEST_F(TargetCommandsTest, DataForAHostWhoseLoopWasResetIsDropped) {
    MakeDrives({100000});
    ClearAttentions();
    const uint16_t w = Send(0, Cdb6(SCSI_INQUIRY, 36), 36);
    pHostFields(Entry(w))->wLipCount = 7;
    Dispatch();
    Settle();
    EXPECT_FALSE(host.HasStatus(w));
    EXPECT_TRUE(host.Reply(w).abDataIn.empty());
    EXPECT_EQ(wGetPortTotalCommands(PORT), 0);
    EXPECT_EQ(wGetPortNewCommands(PORT), 0);
}

class SynchronizeCacheTest : public TargetCommandsTest {
protected:
    void SetUp() override {
        TargetCommandsTest::SetUp();
        harness::s_sLive.sHeader.fCacheFlushCommand = TRUE;
        MakeDrives({100000});
        ClearAttentions();
    }
    void PassMilliseconds(uint32_t dMs) {
        for (uint32_t i = 0; i < dMs; i++) SystemTickHandler();
        RunExpiredTimers();
        Settle();
    }
};

TEST_F(SynchronizeCacheTest, AnsweredAtOnceWhenTheSettingIsOff) {
    harness::s_sLive.sHeader.fCacheFlushCommand = FALSE;
    ApplyStoredSettings(FALSE, TRUE);
    ExpectGood(Ask(0, Cdb10(SCSI_SYNCHRONIZE_CACHE10, 0, 0)), "setting off");
    EXPECT_EQ(fGetMetadataFlushInProg(), FALSE);
}

TEST_F(SynchronizeCacheTest, WaitsOffTheRingForTheFlushWhileOthersGoOn) {
    const uint16_t wSync = Send(0, Cdb10(SCSI_SYNCHRONIZE_CACHE10, 0, 0));
    const uint16_t wBehind = Send(0, Cdb6(SCSI_TEST_UNIT_READY));
    Dispatch();
    Settle();
    EXPECT_FALSE(host.HasStatus(wSync));
    EXPECT_EQ(Entry(wSync)->bSecondaryState, SECONDARY_SYNC_FLUSHING);
    EXPECT_EQ(fGetMetadataFlushInProg(), TRUE);
    ExpectGood(host.Reply(wBehind), "TUR behind the flush");
    EXPECT_EQ(wGetPortNewCommands(PORT), 0);
    PassMilliseconds(50);
    EXPECT_FALSE(host.HasStatus(wSync));
    SnapshotKernelService();   // the flush is written
    PassMilliseconds(20);
    ExpectGood(host.Reply(wSync), "after the flush");
    EXPECT_EQ(wGetPortTotalCommands(PORT), 0);
}

TEST_F(SynchronizeCacheTest, AnAbortedWaiterEndsWithoutStatus) {
    const uint16_t wSync = Send(0, Cdb10(SCSI_SYNCHRONIZE_CACHE10, 0, 0));
    Dispatch();
    SetFlag(Entry(wSync), KE_FLAG_ABORTED);
    PassMilliseconds(20);
    EXPECT_FALSE(host.HasStatus(wSync));
    EXPECT_EQ(wGetPortTotalCommands(PORT), 0);
}

TEST_F(SynchronizeCacheTest, OlderWritesOfTheInitiatorGoFirst) {
    const uint16_t wWrite = Send(0, Cdb10(SCSI_WRITE10, 0, 8), 4096);
    Dispatch();
    ASSERT_EQ(Entry(wWrite)->bPrimaryState, HOST_STATE_LUN_QUEUED);
    const uint16_t wSync = Send(0, Cdb10(SCSI_SYNCHRONIZE_CACHE10, 0, 0));
    Dispatch();
    // Put back to wait, and the write is told not to linger.
    EXPECT_EQ(Entry(wSync)->bPrimaryState, HOST_STATE_NEW_COMMAND);
    EXPECT_EQ(fGetMetadataFlushInProg(), FALSE);
    EXPECT_TRUE(HasFlag(Entry(wWrite), KE_FLAG_HOLD_RELEASE_A | KE_FLAG_HOLD_RELEASE_B));
    // Writes from another initiator do not hold it.
    constexpr uint32_t OTHER = 0x010299;
    host.Login(OTHER, 9);
    Map(0, 0, false, 9);
    const uint16_t wOtherSync = Send(0, Cdb10(SCSI_SYNCHRONIZE_CACHE10, 0, 0), 0, OTHER);
    Dispatch();
    EXPECT_EQ(Entry(wOtherSync)->bSecondaryState, SECONDARY_SYNC_FLUSHING);
    // Ten seconds on, it waits no longer.
    Entry(wSync)->dStartTick = dGetCoarseTick() - 21;
    Dispatch();
    EXPECT_EQ(Entry(wSync)->bSecondaryState, SECONDARY_SYNC_FLUSHING);
}

}  // namespace
}  // namespace target_test
