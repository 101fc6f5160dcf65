// What a drive answered, judged before anything is done with it: sense too
// short to hold its key, ASC and ASCQ, or of a response code no drive uses,
// counts as no sense at all (a transport error, sent again); a sense key no
// drive should send is a failure of the drive, retried while the command
// has tries left and then given up.  None of it is taken for a medium error.
#include <gtest/gtest.h>

#include <cstring>

#include "executive/kernel_entry.h"
#include "hw/scsi.h"
#include "raid/child_commands.h"
#include "raid/drive_error_recovery.h"
#include "raid_road.h"
#include "sas/sas_scsi_path.h"

namespace {

class DriveSenseTest : public raidtest::RaidRoadTest {
protected:
    // A child of a host read of member 0, as the drive side hands it over
    // when the drive ended it.
    fw::KERNEL_ENTRY* Child(fw::KERNEL_ENTRY* psHost, uint8_t bTries) {
        fw::KERNEL_ENTRY* ps = nullptr;
        EXPECT_EQ(fw::bAllocKernelEntries(0x61, 1, &ps), fw::STATUS_OK);
        fw::BuildChildCommand(psHost, ps, fw::SCSI_READ10, 0, 0, 0);
        ps->bCommandType = fw::CT_RAID0_READ;
        ps->fUsed = fw::TRUE;
        ps->bPrimaryState = fw::PS_AT_CHIP;
        ps->bRetryCount = bTries;
        return ps;
    }
    // Fixed-format sense of the length given.
    static std::vector<uint8_t> Sense(uint8_t bCode, uint8_t bKey, uint8_t bAsc, uint8_t bAscq, size_t length) {
        std::vector<uint8_t> ab(18, 0);
        ab[0] = bCode;
        ab[2] = bKey;
        ab[7] = 10;
        ab[12] = bAsc;
        ab[13] = bAscq;
        ab.resize(length);
        return ab;
    }
    static void Judge(fw::KERNEL_ENTRY* ps, const std::vector<uint8_t>& abSense) {
        fw::DriveCommandErrorHandler(fw::PORT_CODE_INITIATOR, fw::SCSI_STATUS_CHECK_CONDITION, ps, abSense.data(),
                                     static_cast<uint8_t>(abSense.size()), fw::TRUE, fw::FALSE);
    }
};

TEST_F(DriveSenseTest, SenseTooShortOrOfNoKnownFormIsNoSense) {
    MakeRank({fw::RAID_LEVEL_0, 2, 16});
    fw::KERNEL_ENTRY* psHost = HostCommand(false, 0, 8);
    const std::vector<uint8_t> aCases[] = {
        // A medium error, cut before its ASC: nothing of it can be trusted.
        Sense(0x70, fw::SENSE_MEDIUM_ERROR, fw::ASC_UNRECOVERED_READ_ERROR, 0, 10),
        // A response code no drive sends.
        Sense(0x05, fw::SENSE_MEDIUM_ERROR, fw::ASC_UNRECOVERED_READ_ERROR, 0, 18),
    };
    for (const std::vector<uint8_t>& abSense : aCases) {
        fw::KERNEL_ENTRY* ps = Child(psHost, 4);
        ASSERT_EQ(b.board().RunOnCpu([&] { Judge(ps, abSense); }), sim::StopKind::Finished);
        const fw::SAS_ENTRY_FIELDS* psF = fw::psSasFields(ps);
        EXPECT_EQ(ps->bPrimaryState, fw::PS_NEW_COMMAND);
        EXPECT_EQ(psF->bTransportRetries, 1);
        EXPECT_EQ(ps->bRetryCount, 4);
        EXPECT_EQ(psF->bSenseKey, fw::SENSE_ABORTED_COMMAND);
        EXPECT_EQ(psF->bAsc, fw::ASC_SCSI_PARITY_ERROR);
        EXPECT_EQ(ps->lFlags & (fw::KE_FLAG_SENSE_PRESENT | fw::KE_FLAG_REGENERATE), 0u);
    }
}

TEST_F(DriveSenseTest, AnUnknownSenseKeyIsRetriedThenGivenUp) {
    MakeRank({fw::RAID_LEVEL_0, 2, 16});
    fw::KERNEL_ENTRY* psHost = HostCommand(false, 0, 8);
    fw::KERNEL_ENTRY* ps = Child(psHost, 3);
    const std::vector<uint8_t> abSense = Sense(0x70, 0x0F, 0x80, 0x01, 18);
    ASSERT_EQ(b.board().RunOnCpu([&] { Judge(ps, abSense); }), sim::StopKind::Finished);
    EXPECT_EQ(ps->bPrimaryState, fw::PS_NEW_COMMAND);
    EXPECT_EQ(ps->bRetryCount, 2);
    EXPECT_EQ(fw::psSasFields(ps)->bTransportRetries, 0);
    ps->bPrimaryState = fw::PS_AT_CHIP;
    ASSERT_EQ(b.board().RunOnCpu([&] { Judge(ps, abSense); }), sim::StopKind::Finished);
    EXPECT_EQ(ps->bPrimaryState, fw::PS_PARKED_5B);
    EXPECT_EQ(fw::psSasFields(ps)->bSenseKey, 0x0F);
    EXPECT_EQ(ps->lFlags & fw::KE_FLAG_REGENERATE, 0u);
}

}  // namespace
