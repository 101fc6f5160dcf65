// Power management of a pair on a configured array: the master parks an
// idle array only once it is idle on both controllers (it asks the other
// for its idle time), and a management request sent to the controller that
// is not master is carried out by the master and answered with its status;
// a controller that joins is told each array's power state.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "../system/road_config.h"
#include "config/config_image.h"
#include "enclosure/power_management.h"
#include "eventlog/statistics.h"
#include "executive/background_process.h"
#include "harness/dual_pair.h"
#include "partner/partner_link.h"
#include "mgmt/management.h"
#include "sim/fc_host.h"

namespace fw_b {
uint8_t fIsMasterController();
void SetRankLastAccessTime(uint8_t bRank);
uint8_t bGetArrayAPMState(uint8_t bArray);
uint8_t fFindBackgroundProcessOfType(uint8_t bType, uint16_t* pwId);
void SetArrayAPMState(uint8_t bArray, uint8_t bState, uint8_t fNotify, uint8_t fMarkDrives);
void ReadPartnerStartOfDayData(uint8_t fFlag);
}  // namespace fw_b

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;
constexpr unsigned kMembers = 4;

class PartnerPower : public ::testing::Test, protected dual::Pair {
protected:
    // One RAID 5 array set to park after a minute idle.
    void SetUp() override {
        roadtest::ArraySpec spec{"PARKING", fw::RAID_LEVEL_5, kMembers, 16, 0, true, 3 * 4096};
        std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, spec, 0x200000A55AA00001ull);
        uint8_t* pb = reinterpret_cast<uint8_t*>(&copytest::Image(ab)->asRank[0]) + fw::ARRAY_APM_RECORD_OFFSET;
        const uint8_t abSettings[fw::ARRAY_APM_RECORD_BYTES] = {fw::ARRAY_APM_SPIN_DOWN, 0, 0, 0, 0, 1};
        std::memcpy(pb, abSettings, sizeof abSettings);
        copytest::Seal(ab);
        for (unsigned s = 1; s <= kMembers; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
        ASSERT_TRUE(Boot()) << Consoles();
        fAMaster = fw::fIsMasterController() == fw::TRUE;
        ASSERT_NE(fAMaster, fw_b::fIsMasterController() == fw::TRUE);
    }
    uint8_t MasterState() { return fAMaster ? fw::bGetArrayAPMState(0) : fw_b::bGetArrayAPMState(0); }
    void TouchOnSlave() {
        if (fAMaster) {
            fw_b::SetRankLastAccessTime(0);
        } else {
            fw::SetRankLastAccessTime(0);
        }
    }
    bool MasterHasControlJob() {
        uint16_t wId = 0;
        return (fAMaster ? fw::fFindBackgroundProcessOfType(fw::APM_CONTROL_JOB_TYPE, &wId)
                         : fw_b::fFindBackgroundProcessOfType(fw::APM_CONTROL_JOB_TYPE, &wId)) == fw::TRUE;
    }
    bool AnyParked() {
        for (unsigned s = 1; s <= kMembers; ++s)
            if (chassis.DriveAt(s)->Parked()) return true;
        return false;
    }
    // A management set command through a host, with CDB bytes 3-5.  While
    // the configuration is being written it is refused NOT READY, and sent
    // again as a host would.
    sim::FcpResult Management(sim::FcHost& host, uint8_t bCode, uint8_t b3, uint8_t b4, uint8_t b5) {
        const std::vector<uint8_t> data(std::begin(fw::MANAGEMENT_SIGNATURE), std::end(fw::MANAGEMENT_SIGNATURE));
        const std::vector<uint8_t> cdb = {fw::SCSI_WRITE_BUFFER, 0x01, bCode, b3, b4, b5, 0, 0,
                                          uint8_t(data.size()), 0};
        sim::FcpResult r;
        for (int i = 0; i < 50; ++i) {
            r = RunCommand(host, cdb, data);
            if (r.status != fw::SCSI_STATUS_CHECK_CONDITION || r.sense.size() < 3 || (r.sense[2] & 0x0F) != 2) break;
            RunUntil([] { return false; }, 20'000'000ull);
        }
        return r;
    }
    bool fAMaster = true;
};

// Idle a minute on the master, but the other controller's host keeps using
// the array: it stays up.  Once the other controller has left it alone for
// its minute too, the master parks it.
TEST_F(PartnerPower, AnArrayParksOnlyOnceIdleOnBothControllers) {
    RunUntil([&] {
        TouchOnSlave();
        return false;
    }, 150 * kSecond);
    EXPECT_EQ(MasterState(), fw::APM_SPUN_UP);
    EXPECT_FALSE(AnyParked());
    const uint64_t lLastTouch = clock.Now();
    ASSERT_TRUE(RunUntil([&] { return MasterState() == fw::APM_SPUN_DOWN; }, 180 * kSecond)) << Consoles();
    EXPECT_GE(clock.Now() - lLastTouch, 60 * kSecond) << "parked before the other controller's idle minute";
    EXPECT_TRUE(RunUntil([&] { return AnyParked(); }, 30 * kSecond));
}

// Stop and start power management, asked of the controller that is not
// master: the master does it and the host gets its GOOD; a drive position
// the master refuses comes back as the host's ILLEGAL REQUEST.
TEST_F(PartnerPower, TheOtherControllersManagementRequestsAreAnsweredByTheMaster) {
    dual::Side& slave = fAMaster ? *b : *a;
    auto host = std::make_unique<sim::FcHost>(slave.board, slave.fabric, *sim::FindIspChip(slave.board, 1),
                                              0x2100001B32E00001ull);
    ASSERT_TRUE(HostReady(*host)) << Consoles();
    ASSERT_TRUE(MasterHasControlJob());
    sim::FcpResult r = Management(*host, 219, 1, 0, 0);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD) << Consoles();
    EXPECT_FALSE(MasterHasControlJob()) << "the master still runs power management";
    r = Management(*host, 219, 0, 0, 0);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    EXPECT_TRUE(MasterHasControlJob());
    r = Management(*host, 220, 0, 17, 1);
    ASSERT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
    ASSERT_GE(r.sense.size(), 14u);
    EXPECT_EQ(r.sense[2] & 0x0F, fw::SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(r.sense[12], 0x24);
}

// A controller that joins asks the running one for its start-of-day
// status, and is told the power state of each array there.
TEST_F(PartnerPower, AJoiningControllerIsToldEachArraysPowerState) {
    if (fAMaster) {
        fw::SetArrayAPMState(0, fw::APM_SPUN_DOWN, fw::FALSE, fw::FALSE);
    } else {
        fw_b::SetArrayAPMState(0, fw::APM_SPUN_DOWN, fw::FALSE, fw::FALSE);
    }
    const auto SlaveState = [this] { return fAMaster ? fw_b::bGetArrayAPMState(0) : fw::bGetArrayAPMState(0); };
    ASSERT_EQ(SlaveState(), fw::APM_SPUN_UP);
    if (fAMaster) {
        fw_b::ReadPartnerStartOfDayData(fw::FALSE);
    } else {
        fw::ReadPartnerStartOfDayData(fw::FALSE);
    }
    EXPECT_TRUE(RunUntil([&] { return SlaveState() == fw::APM_SPUN_DOWN; }, 5 * kSecond)) << Consoles();
}

}  // namespace
