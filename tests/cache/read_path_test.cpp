// Host READ through the cache: served from the buffer of a write still in
// the cache, waiting behind a write it overlaps, known media errors, and the
// "Data Available" stage that sends the data with the status.
#include <gtest/gtest.h>

#include "cache/outstanding_queues.h"
#include "cache/read_path.h"
#include "config/bad_blocks.h"
#include "executive/kernel_queue.h"
#include "target/command_completion.h"
#include "target/host_command_codes.h"
#include "host_io_board.h"

namespace {

using namespace iotest;

class ReadPath : public HostIo {
protected:
    void SetUp() override {
        HostIo::SetUp();
        MakeArray(fw::RAID_LEVEL_5, 5, 128, 1 << 20, 1);
    }

    // A write-back write whose data is in the cache and not yet written.
    fw::KERNEL_ENTRY* CachedWrite(uint64_t lLba, uint32_t dBlocks, uint8_t bSeed) {
        fw::KERNEL_ENTRY* ps = Admit(fw::SCSI_WRITE16, lLba, dBlocks);
        EXPECT_EQ(fw::StartHostWrite(ps), fw::STATUS_OK);
        SendData(ps, bSeed);
        RunStages();
        EXPECT_TRUE(Good(ps));
        EXPECT_EQ(ps->bPrimaryState, fw::HOST_STATE_OPTIMISATION);
        return ps;
    }

    // Data the host received for a read, as bytes.
    std::vector<uint8_t> ReadData(const fw::KERNEL_ENTRY* ps) {
        std::vector<uint8_t> ab;
        for (const auto& seg : Answer(ps).aDataIn) {
            const uint8_t* pb = sim::Board::Current().memory().Translate(seg.first, seg.second);
            ab.insert(ab.end(), pb, pb + seg.second);
        }
        return ab;
    }
};

TEST_F(ReadPath, AReadCoveredByACachedWriteIsAnsweredFromItsBufferWithoutTheDrives) {
    fw::KERNEL_ENTRY* psWrite = CachedWrite(1000, 64, 21);
    fw::KERNEL_ENTRY* psRead = Admit(fw::SCSI_READ16, 1016, 16);
    EXPECT_EQ(fw::StartHostRead(psRead), fw::STATUS_OK);
    EXPECT_EQ(psRead->bCommandType, fw::CT_READ_FROM_WRITE);
    EXPECT_EQ(psRead->bPrimaryState, fw::HOST_STATE_DATA_IN);
    EXPECT_EQ(+Cache(psRead).wServingWrite, psWrite->wIndex);
    EXPECT_EQ(+Cache(psWrite).wReaderCount, 1);
    EXPECT_EQ(fw::wGetNewCommandCount(fw::PORT_CODE_INITIATOR), 0);
    // The host gets the write's data, and the status with it.
    const std::vector<uint8_t> ab = ReadData(psRead);
    ASSERT_EQ(ab.size(), 16 * kBlock);
    for (uint32_t i = 0; i < ab.size(); i += 61) ASSERT_EQ(ab[i], Pattern(21, 16 * kBlock + i)) << i;
    EXPECT_TRUE(Good(psRead));
    // The write is still dirty in the cache, and no drive was asked.
    EXPECT_EQ(psWrite->bPrimaryState, fw::HOST_STATE_OPTIMISATION);
    RunDrives();
    EXPECT_EQ(m_dDriveReads + m_dDriveWrites, 0u);
}

TEST_F(ReadPath, AWriteFinishedWhileReadFromKeepsItsPagesUntilTheLastReadEnds) {
    fw::KERNEL_ENTRY* psWrite = CachedWrite(1000, 64, 23);
    fw::KERNEL_ENTRY* psFirst = Admit(fw::SCSI_READ16, 1000, 8);
    fw::KERNEL_ENTRY* psSecond = Admit(fw::SCSI_READ16, 1032, 16);
    ASSERT_EQ(fw::StartHostRead(psFirst), fw::STATUS_OK);
    ASSERT_EQ(fw::StartHostRead(psSecond), fw::STATUS_OK);
    ASSERT_EQ(psSecond->bCommandType, fw::CT_READ_FROM_WRITE);
    EXPECT_EQ(+Cache(psWrite).wReaderCount, 2);

    // The drives have the write: it is finished, but reads still send data
    // from its buffer.
    AdvanceMs(4000);
    RunStages();
    ASSERT_EQ(psWrite->bPrimaryState, fw::HOST_STATE_COMPLETE);
    const uint32_t dPages = fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1);
    fw::ServiceCommandComplete(fw::PORT_CODE_MODULE);
    ASSERT_EQ(psWrite->fUsed, fw::TRUE);
    EXPECT_EQ(psWrite->bPrimaryState, fw::HOST_STATE_CHILDREN_WAIT);
    EXPECT_TRUE(fw::HasFlag(psWrite, fw::KE_FLAG_IN_WRITE_QUEUE));
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dPages);

    // A read ending frees nothing of the write's and gives back its place.
    auto EndRead = [](fw::KERNEL_ENTRY* ps) {
        ps->bPrimaryState = fw::HOST_STATE_COMPLETE;
        fw::QueueCommandComplete(kPort, ps->wIndex);
        fw::ServiceCommandComplete(fw::PORT_CODE_MODULE);
    };
    EndRead(psFirst);
    EXPECT_EQ(psFirst->fUsed, fw::FALSE);
    EXPECT_EQ(+Cache(psWrite).wReaderCount, 1);
    EXPECT_EQ(psWrite->bPrimaryState, fw::HOST_STATE_CHILDREN_WAIT);
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dPages);
    // The last one lets the write go, with its pages.
    EndRead(psSecond);
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dPages);
    fw::ServiceCommandComplete(fw::PORT_CODE_MODULE);
    EXPECT_EQ(psWrite->fUsed, fw::FALSE);
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dPages - 8);
    EXPECT_EQ(fw::dGetLunOutstandingWrites(kLun), 0u);
}

TEST_F(ReadPath, AReadOverlappingAWriteItDoesNotCoverWaitsAndCountsOnce) {
    fw::KERNEL_ENTRY* psWrite = CachedWrite(1000, 16, 22);
    fw::KERNEL_ENTRY* psRead = Admit(fw::SCSI_READ16, 1008, 16);
    const uint32_t dWaitsBefore = fw::dGetEventCounter(fw::EVENT_COUNTER_READ_WRITE_COLLISION);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(fw::StartHostRead(psRead), fw::STATUS_OK);
        EXPECT_EQ(psRead->bPrimaryState, fw::HOST_STATE_LUN_QUEUED);
        EXPECT_EQ(fw::wGetLunQueueCount(kLun), 1);
    }
    EXPECT_EQ(fw::dGetEventCounter(fw::EVENT_COUNTER_READ_WRITE_COLLISION), dWaitsBefore + 1);
    EXPECT_EQ(psRead->bSecondaryState, 127);
    EXPECT_EQ(psRead->dBufferHandle, fw::NULL_BUFFER_HANDLE);
    // The write it waits for is let go of its hold.
    EXPECT_TRUE(fw::HasFlag(psWrite, fw::KE_FLAG_HOLD_RELEASE_A));
    EXPECT_FALSE(Answer(psRead).fStatus);
}

TEST_F(ReadPath, AKnownBadBlockIsAnsweredMediumErrorWithEvent64) {
    ASSERT_EQ(fw::AddMediaErrorRange(5005, 1, 0), fw::STATUS_OK);
    fw::BuildBadBlockTables(fw::pGetConfigImage());
    fw::KERNEL_ENTRY* psRead = Admit(fw::SCSI_READ16, 5000, 8, 0x23);
    EXPECT_EQ(fw::StartHostRead(psRead), fw::STATUS_OK);
    const HostAnswer& a = Answer(psRead);
    ASSERT_TRUE(a.fStatus);
    EXPECT_EQ(a.bKey, fw::SENSE_MEDIUM_ERROR);
    EXPECT_EQ(a.bAsc, 0x11);
    EXPECT_EQ(a.bAscq, 0x01);
    EXPECT_EQ(psRead->dBufferHandle, fw::NULL_BUFFER_HANDLE);
    EXPECT_EQ(fw::wGetLunQueueCount(kLun), 0);
    const fw::EVENT_LOG_ENTRY* ps64 = FindEvent(64);
    ASSERT_NE(ps64, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(ps64->abArgs, ps64->abArgs + 8),
              (std::vector<uint8_t>{1, 0x23, 0, 0, fw::SCSI_READ16, 3, 0x11, 1}));
    // A read next to it is read.
    fw::KERNEL_ENTRY* psNext = Admit(fw::SCSI_READ16, 5006, 8);
    EXPECT_EQ(fw::StartHostRead(psNext), fw::STATUS_OK);
    EXPECT_NE(psNext->dBufferHandle, fw::NULL_BUFFER_HANDLE);
}

TEST_F(ReadPath, AReadFromTheDrivesGoesOutWithItsStatusInOneTransfer) {
    fw::KERNEL_ENTRY* psRead = Admit(fw::SCSI_READ16, 200, 24);
    EXPECT_EQ(fw::StartHostRead(psRead), fw::STATUS_OK);
    RunDrives();
    EXPECT_NE(psRead->dBufferHandle, fw::NULL_BUFFER_HANDLE);
    EXPECT_EQ(+Cache(psRead).wDataBlocks, 24);
    EXPECT_TRUE(fw::HasFlag(psRead, fw::KE_FLAG_RANK_COUNTED));
    EXPECT_EQ(fw::wGetLunQueueCount(kLun), 0);
    // The drives' part is done: the data goes to the host with GOOD.
    ASSERT_EQ(psRead->bPrimaryState, fw::HOST_STATE_DATA_AVAILABLE);
    std::memset(Bytes(psRead->dBufferHandle), 0x6B, 24 * kBlock);
    fw::ProcessDataAvailableQueue(fw::PORT_CODE_MODULE);
    EXPECT_EQ(psRead->bPrimaryState, fw::HOST_STATE_DATA_IN);
    EXPECT_EQ(fw::wGetDataAvailableTotal(), 0);
    const std::vector<uint8_t> ab = ReadData(psRead);
    ASSERT_EQ(ab.size(), 24 * kBlock);
    EXPECT_EQ(ab[100], 0x6B);
    EXPECT_TRUE(Good(psRead));
}

TEST_F(ReadPath, AMediumErrorFromTheDrivesIsRememberedAndAnswered) {
    fw::KERNEL_ENTRY* psRead = Admit(fw::SCSI_READ16, 300, 8);
    EXPECT_EQ(fw::StartHostRead(psRead), fw::STATUS_OK);
    RunDrives();
    ASSERT_EQ(psRead->bPrimaryState, fw::HOST_STATE_DATA_AVAILABLE);
    fw::SetFlag(psRead, fw::KE_FLAG_SENSE_PRESENT);
    fw::pHostFields(psRead)->bSenseKey = fw::SENSE_MEDIUM_ERROR;
    fw::pHostFields(psRead)->bAsc = 0x11;
    fw::pHostFields(psRead)->bAscq = 0x00;
    fw::ProcessDataAvailableQueue(fw::PORT_CODE_MODULE);
    const HostAnswer& a = Answer(psRead);
    ASSERT_TRUE(a.fStatus);
    EXPECT_EQ(a.bKey, fw::SENSE_MEDIUM_ERROR);
    EXPECT_TRUE(a.aDataIn.empty());
    fw::BuildBadBlockTables(fw::pGetConfigImage());
    EXPECT_EQ(fw::UpdateBadBlockList(300, 8, 0, fw::BAD_BLOCK_CHECK_ONLY), fw::TRUE);
}

TEST_F(ReadPath, AReadToBeDoneAgainGoesBackToItsLunRing) {
    fw::KERNEL_ENTRY* psRead = Admit(fw::SCSI_READ16, 400, 8);
    EXPECT_EQ(fw::StartHostRead(psRead), fw::STATUS_OK);
    RunDrives();
    ASSERT_EQ(psRead->bPrimaryState, fw::HOST_STATE_DATA_AVAILABLE);
    fw::SetFlag(psRead, fw::KE_FLAG_CHILD_FAILED);
    const uint32_t dPages = fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1);
    fw::ProcessDataAvailableQueue(fw::PORT_CODE_MODULE);
    EXPECT_EQ(psRead->bPrimaryState, fw::HOST_STATE_LUN_QUEUED);
    EXPECT_EQ(fw::wGetLunQueueCount(kLun), 1);
    EXPECT_TRUE(fw::HasFlag(psRead, fw::KE_FLAG_REDONE));
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dPages - 1);
    EXPECT_EQ(fw::wGetDataAvailableTotal(), 0);
    // Started again, it is read again.
    EXPECT_EQ(fw::StartHostRead(psRead), fw::STATUS_OK);
    RunDrives();
    EXPECT_EQ(psRead->bPrimaryState, fw::HOST_STATE_DATA_AVAILABLE);
}

TEST_F(ReadPath, AReadEndedWhileItsDataWaitedDoesNotHoldTheReadsBehindIt) {
    fw::KERNEL_ENTRY* psEnded = Admit(fw::SCSI_READ16, 500, 8);
    fw::KERNEL_ENTRY* psNext = Admit(fw::SCSI_READ16, 600, 8);
    EXPECT_EQ(fw::StartHostRead(psEnded), fw::STATUS_OK);
    EXPECT_EQ(fw::StartHostRead(psNext), fw::STATUS_OK);
    RunDrives();
    ASSERT_EQ(psEnded->bPrimaryState, fw::HOST_STATE_DATA_AVAILABLE);
    ASSERT_EQ(psNext->bPrimaryState, fw::HOST_STATE_DATA_AVAILABLE);
    ASSERT_EQ(fw::wGetDataAvailableTotal(), 2);
    // A logical unit reset ends the first without a status while its slot
    // is still at the head of the stage.
    fw::MarkFinishedWithoutStatus(psEnded);
    for (int i = 0; i < 2; ++i) fw::ProcessDataAvailableQueue(fw::PORT_CODE_MODULE);
    EXPECT_EQ(psNext->bPrimaryState, fw::HOST_STATE_DATA_IN);
    EXPECT_TRUE(Good(psNext));
    EXPECT_EQ(fw::wGetDataAvailableTotal(), 0);
}

}  // namespace
