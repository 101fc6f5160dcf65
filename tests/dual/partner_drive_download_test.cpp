// A drive firmware download on one controller is heard by the other
// (message 153): while it runs the partner knows the drive being loaded,
// and holds its own I/O to it; when it ends the partner lets go.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "config/config_phase.h"
#include "config/config_state.h"
#include "enclosure/drive_firmware_download.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_queue.h"
#include "harness/dual_pair.h"
#include "harness/firmware_files.h"
#include "partner/partner_link.h"
#include "hw/scsi.h"

namespace fw_b {
uint8_t fIsDriveFirmwareDownloadInProgress();
uint8_t fGetDriveFirmwareDownloadPartnerSync();
uint8_t bGetDownloadDriveRank();
}  // namespace fw_b

namespace {

constexpr uint64_t kLimitNs = 200'000'000'000ull;

class PartnerDriveDownload : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }
    // Runs fn on A's processor at its next poll: its buffer memory is then
    // the one the processor window shows.
    bool OnA(const std::function<void()>& fn) {
        bool fDone = false;
        a->board.pollHook = [&] {
            if (fDone) return;
            fn();
            fDone = true;
        };
        const bool f = RunUntil([&] { return fDone; }, kLimitNs);
        a->board.pollHook = nullptr;
        return f;
    }
};

TEST_F(PartnerDriveDownload, ThePartnerHoldsTheDriveWhileADownloadRunsAndLetsGoAfter) {
    const sim::DriveConfig& drive = chassis.DriveAt(1)->config();
    const std::vector<uint8_t> file = harness::DriveMicrocodeFile(drive.vendor, drive.product, "0002", 4096, 1024);
    // A's drive table is built once the start of day's drive work is done.
    ASSERT_TRUE(RunUntil([] { return fw::pGetDriveInfoList()->bDriveCount != 0; }, kLimitNs)) << Consoles();
    ASSERT_TRUE(OnA([&] {
        fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
        ASSERT_EQ(fw::bAllocDataPages(fw::BUFFER_BANK_EITHER, 1024, &h), fw::STATUS_OK);
        uint8_t* pb = static_cast<uint8_t*>(fw::pBufferHandleToPointer(h));
        fw::SetDownloadImageBuffer(pb);
        std::memcpy(pb, file.data(), file.size());
        fw::SetDownloadImageLength(static_cast<uint32_t>(file.size()));
        fw::SetDownloadImageReady(fw::TRUE);
        // One drive, named by its place in the drive table, as a management
        // request names it.
        fw::SetDriveDownloadByte1(0);
        fw::SetDriveDownloadByte2(0);
        fw::SetConfigRequester(fw::REQUESTER_MANAGEMENT);
        fw::SetConfigPhaseStep(0);
        fw::SetConfigPhase(fw::CONFIG_PHASE_DRIVE_FIRMWARE);
        fw::RequestConfigurationService();
    }));
    const bool fHeard = RunUntil([] { return fw_b::fIsDriveFirmwareDownloadInProgress() == fw::TRUE; }, kLimitNs);
    ASSERT_TRUE(fHeard) << Consoles();
    EXPECT_EQ(fw_b::fGetDriveFirmwareDownloadPartnerSync(), fw::TRUE);
    EXPECT_EQ(fw_b::bGetDownloadDriveRank(), fw::bGetDownloadDriveRank());
    ASSERT_TRUE(RunUntil([] { return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE; }, kLimitNs)) << Consoles();
    ASSERT_TRUE(RunUntil([] { return fw_b::fIsDriveFirmwareDownloadInProgress() == fw::FALSE; }, kLimitNs))
        << Consoles();
    EXPECT_EQ(fw_b::fGetDriveFirmwareDownloadPartnerSync(), fw::FALSE);
    // Four segments, all to the one drive.
    uint64_t sent = 0;
    for (unsigned s = 1; s <= chassis.SlotCount(); ++s) {
        if (chassis.DriveAt(s) != nullptr) sent += chassis.DriveAt(s)->CommandCount(fw::SCSI_WRITE_BUFFER);
    }
    EXPECT_EQ(sent, 4u);
}

}  // namespace
