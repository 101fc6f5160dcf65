// Reading a drive's configuration copy at start of day, on a drive side
// brought up as start of day does it: a drive that answers with a unit
// attention (a reset it went through) is asked again, not taken as absent;
// a copy the drive cannot read, or one that fails its checks, only loses
// that copy.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "config/config_image.h"
#include "config/config_load.h"
#include "executive/buffer_pages.h"
#include "executive/types.h"
#include "harness/drive_set.h"
#include "hw/scsi.h"
#include "sas/sas_device_list.h"
#include "sim/drive.h"

namespace {

constexpr unsigned kSlot = 2;
constexpr uint32_t kImagePages = (fw::CONFIG_IMAGE_SIZE + 4095) / 4096;
constexpr uint32_t kGeneration = 0x1234;

class ConfigCopyRead : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(drives.BringUp());
        // The loader reads into data-buffer pages of bank 0.
        ASSERT_EQ(fw::bAllocDataPages(0, kImagePages, &m_dBuffer), fw::STATUS_OK);
        m_psDrive = drives.chassis().DriveAt(kSlot);
        ASSERT_NE(m_psDrive, nullptr);
        m_psDevice = Device(drives.TargetOfSlot(kSlot));
        ASSERT_NE(m_psDevice, nullptr);
    }

    static fw::SAS_DEVICE_ENTRY* Device(uint8_t bTarget) {
        fw::SAS_DEVICE_LIST* psList = fw::pGetSASDriveInfoList();
        for (uint8_t i = 0; i < psList->bEntryCount && i < fw::SAS_MAX_DEVICES; ++i) {
            if (psList->asEntry[i].fValid == fw::TRUE && psList->asEntry[i].bTargetId == bTarget) {
                return &psList->asEntry[i];
            }
        }
        return nullptr;
    }

    // A sealed copy of one array, written where the loader looks for it.
    void WriteCopy() {
        auto psImage = std::make_unique<fw::CONFIG_IMAGE>();
        std::memset(psImage.get(), 0, sizeof(fw::CONFIG_IMAGE));
        psImage->sHeader.wRankCount = 1;
        psImage->sHeader.dGeneration = kGeneration;
        const uint8_t abWriter[8] = {0x20, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
        std::memcpy(psImage->sHeader.abWriterWwn, abWriter, 8);
        fw::SealConfigImage(psImage.get(), fw::FALSE);
        ASSERT_EQ(fw::fIsConfigImageValid(psImage.get()), fw::TRUE);
        m_psDrive->WriteBlocks(CopyBlock(), fw::CONFIG_IMAGE_BLOCKS, reinterpret_cast<const uint8_t*>(psImage.get()));
    }
    uint64_t CopyBlock() const { return m_psDrive->config().blocks - 1 - fw::CONFIG_COPY_BLOCKS_BEFORE_END; }

    uint8_t Read() {
        uint8_t bResult = 0xEE;
        auto* psBuffer = static_cast<fw::CONFIG_IMAGE*>(fw::pBufferHandleToPointer(m_dBuffer));
        std::memset(psBuffer, 0, fw::CONFIG_IMAGE_SIZE);
        EXPECT_EQ(drives.board().RunOnCpu([&] { bResult = fw::ReadConfigImageFromSasDrive(m_psDevice, psBuffer); }),
                  sim::StopKind::Finished);
        return bResult;
    }
    const fw::CONFIG_IMAGE& Buffer() const {
        return *static_cast<const fw::CONFIG_IMAGE*>(fw::pBufferHandleToPointer(m_dBuffer));
    }

    harness::DriveSet drives;
    sim::Drive* m_psDrive = nullptr;
    fw::SAS_DEVICE_ENTRY* m_psDevice = nullptr;
    fw::BUFFER_HANDLE m_dBuffer = fw::NULL_BUFFER_HANDLE;
};

TEST_F(ConfigCopyRead, ADriveJustResetIsAskedAgainAndItsCopyRead) {
    ASSERT_NO_FATAL_FAILURE(WriteCopy());
    m_psDrive->Reset();
    const uint64_t lCapacityReads = m_psDrive->CommandCount(fw::SCSI_READ_CAPACITY10);
    EXPECT_EQ(Read(), fw::TRUE);
    // The unit attention was met, and the command sent again.
    EXPECT_EQ(m_psDrive->CommandCount(fw::SCSI_READ_CAPACITY10), lCapacityReads + 2);
    EXPECT_EQ(Buffer().sHeader.dGeneration, kGeneration);
    EXPECT_EQ(Buffer().sHeader.wRankCount, 1);
}

TEST_F(ConfigCopyRead, AnUnreadableOrBrokenCopyOnlyLosesTheCopy) {
    // Nothing written there: the drive answers, the copy is no copy.
    EXPECT_EQ(Read(), fw::FALSE);
    ASSERT_NO_FATAL_FAILURE(WriteCopy());
    m_psDrive->InjectMediaError(CopyBlock() + 100, 1);
    EXPECT_EQ(Read(), fw::CONFIG_READ_MEDIUM_ERROR);
    m_psDrive->ClearMediaErrors();
    EXPECT_EQ(Read(), fw::TRUE);
    // One byte of the body changed: its check no longer holds.
    uint8_t abBlock[512];
    m_psDrive->ReadBlocks(CopyBlock() + 1000, 1, abBlock);
    abBlock[17] ^= 0x40;
    m_psDrive->WriteBlocks(CopyBlock() + 1000, 1, abBlock);
    EXPECT_EQ(Read(), fw::FALSE);
    // A drive that answers nothing.
    m_psDrive->SetNoResponse(true);
    EXPECT_EQ(Read(), fw::CONFIG_READ_NO_ANSWER);
}

}  // namespace
