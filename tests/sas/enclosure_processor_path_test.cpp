// The enclosure processors as the drive side reaches them: an SSP target on
// each expander's virtual phy that answers the diagnostic pages through the
// ordinary command path, never taken for a drive, and whose slot page takes
// a slot's drive off the topology and brings it back.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "drive_side_fixture.h"
#include "hw/scsi.h"
#include "hw/ses.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sim/chassis.h"
#include "sim/enclosure_processor.h"
#include "sim/sas_controller.h"

namespace {

using namespace fw;

class EnclosurePathTest : public sastest::DriveSideTest {
protected:
    EnclosurePathTest() : DriveSideTest(Options()) {}
    static sim::ChassisOptions Options() {
        sim::ChassisOptions o;
        o.drives = 4;
        o.expansions = 1;
        o.expansionDrives = 2;
        return o;
    }
    bool Listed(unsigned slot) {
        const SAS_DEVICE_LIST* ps = pGetSASDriveInfoList();
        const uint8_t bTarget = TargetOfSlot(slot);
        for (uint8_t i = 0; i < ps->bEntryCount; ++i)
            if (ps->asEntry[i].fValid == TRUE && ps->asEntry[i].bTargetId == bTarget) return true;
        return false;
    }
};

TEST_F(EnclosurePathTest, ProcessorsSitOnVirtualPhysAndAreNoDrives) {
    // Six drives listed, no processor among them.
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 6);
    const SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    ASSERT_EQ(psSASExpanderHeader(const_cast<SAS_EXPANDER_LIST*>(psList))->bExpanderCount, 2);
    for (uint8_t e = 0; e < 2; ++e) {
        const SAS_EXPANDER& sEx = psList->asExpander[e];
        ASSERT_GT(sEx.bNumPhys, sim::Chassis::kProcessorPhy);
        EXPECT_TRUE(sEx.adPhyInfo[sim::Chassis::kProcessorPhy] & MPI_SAS_PHYINFO_VIRTUAL_PHY);
        EXPECT_TRUE(sEx.adAttachedDeviceInfo[sim::Chassis::kProcessorPhy] & MPI_SAS_DEVICE_INFO_SSP_TARGET);
    }
    for (unsigned n = 0; n < 2; ++n) {
        const uint8_t bTarget = sim::SasController::ProcessorTarget(n);
        // The header first: a shorter page than asked for is an underrun.
        Waited w = Wait(bTarget, {SCSI_RECEIVE_DIAGNOSTIC, 1, SES_PAGE_CONFIGURATION, 0, 4}, 4);
        ASSERT_EQ(w.bResult, STATUS_OK);
        const uint8_t bLength = static_cast<uint8_t>(Buffer()[3] + 4);
        std::memset(Buffer(), 0xEE, 512);
        w = Wait(bTarget, {SCSI_RECEIVE_DIAGNOSTIC, 1, SES_PAGE_CONFIGURATION, 0, bLength}, bLength);
        ASSERT_EQ(w.bResult, STATUS_OK);
        ASSERT_EQ(w.bStatus, 0);
        EXPECT_EQ(Buffer()[0], SES_PAGE_CONFIGURATION);
        uint64_t id = 0;
        for (int i = 12; i < 20; ++i) id = id << 8 | Buffer()[i];
        EXPECT_EQ(id, chassis.processor(n).identifier()) << n;
    }
}

TEST_F(EnclosurePathTest, SlotPageTakesADriveOffAndBringsItBack) {
    ASSERT_TRUE(Listed(2));
    auto sendSlotPage = [&](bool fOff) {
        uint8_t* pb = Buffer();
        std::memset(pb, 0, SES_SLOT_PAGE_BYTES);
        pb[0] = SES_PAGE_SLOT;
        for (unsigned k = 0; k < 12; ++k) pb[12 + 4 * k] = SES_CONTROL_SELECT;
        if (fOff) pb[12 + 4 * 1 + 3] = SES_SLOT_POWER_OFF;
        const uint16_t crc = sim::SlotPageCrc(std::span<const uint8_t>(pb + 8, 52));
        pb[60] = static_cast<uint8_t>(crc >> 8);
        pb[61] = static_cast<uint8_t>(crc);
        return Wait(sim::SasController::ProcessorTarget(0), {SCSI_SEND_DIAGNOSTIC, 0x10, 0, 0, SES_SLOT_PAGE_BYTES},
                    SES_SLOT_PAGE_BYTES, FALSE);
    };
    Waited w = sendSlotPage(true);
    ASSERT_EQ(w.bResult, STATUS_OK);
    EXPECT_EQ(w.bStatus, 0);
    EXPECT_FALSE(chassis.SlotPowered(2));
    // The drive no longer answers, and the next pass drops it.
    EXPECT_NE(Wait(TargetOfSlot(2), {SCSI_TEST_UNIT_READY}, 0).bResult, STATUS_OK);
    Rediscover();
    EXPECT_FALSE(Listed(2));
    EXPECT_TRUE(Listed(1));
    EXPECT_TRUE(Listed(13));
    // Power back: the same drive, its target kept, after power-on.
    ASSERT_EQ(sendSlotPage(false).bResult, STATUS_OK);
    Rediscover();
    EXPECT_TRUE(Listed(2));
    w = Wait(TargetOfSlot(2), {SCSI_TEST_UNIT_READY}, 0);
    ASSERT_EQ(w.bResult, STATUS_OK);
    EXPECT_EQ(w.bKey, SENSE_UNIT_ATTENTION);
}

TEST_F(EnclosurePathTest, SilentProcessorTimesOutAndAnsweringOneDoesNot) {
    chassis.processor(1).SetSilent(true);
    EXPECT_EQ(Wait(sim::SasController::ProcessorTarget(1), {SCSI_RECEIVE_DIAGNOSTIC, 1, SES_PAGE_STATUS, 2, 0}, 512)
                  .bResult,
              252);
    EXPECT_EQ(Wait(sim::SasController::ProcessorTarget(0), {SCSI_RECEIVE_DIAGNOSTIC, 1, SES_PAGE_STATUS, 0, 4}, 4)
                  .bResult,
              STATUS_OK);
    // Behind a cut cable the processor is gone with its expander.
    chassis.expander(0).phys()[sim::Chassis::kDownlinkPhy].enabled = false;
    chassis.processor(1).SetSilent(false);
    EXPECT_NE(Wait(sim::SasController::ProcessorTarget(1), {SCSI_RECEIVE_DIAGNOSTIC, 1, SES_PAGE_STATUS, 2, 0}, 512)
                  .bResult,
              STATUS_OK);
}

}  // namespace
