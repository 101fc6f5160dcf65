// The link error report of the drive side: every phy's error log read
// through its expander, the drive slots and the cables between expanders
// with errors printed, and the logs cleared.  Beside it the partner's view
// of the device list taken from this controller's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "drive_side_fixture.h"
#include "executive/system_state.h"
#include "sas/sas_discovery.h"
#include "sas/slot_phy_actions.h"
#include "sas/smp.h"

namespace {

using namespace sastest;

sim::ChassisOptions WithExpansion() {
    sim::ChassisOptions o;
    o.expansions = 1;
    o.expansionDrives = 3;
    return o;
}

class LinkErrorsTest : public DriveSideTest {
protected:
    LinkErrorsTest() : DriveSideTest(WithExpansion()) {}

    // The report's line of a slot, as the firmware numbers its phy.
    static std::string SlotLine(unsigned uEnclosure, unsigned uSlot, unsigned uExpander, unsigned uPhy,
                                const uint32_t (&ad)[4]) {
        char ac[96];
        std::snprintf(ac, sizeof ac, "Encl:%02u Slot:%02u    : Ex:%u Phy:%02u     %8x   %8x   %8x   %8x\n", uEnclosure,
                      uSlot, uExpander, uPhy, ad[0], ad[1], ad[2], ad[3]);
        return ac;
    }
    // The expander and phy the firmware knows a slot by.
    std::pair<uint8_t, uint8_t> PhyOf(uint8_t bEnclosure, uint8_t bSlot) {
        uint8_t bExpander = 0xFF, bPhy = 0xFF;
        EXPECT_EQ(bFindExpanderPhyOfEnclosureSlot(bEnclosure, bSlot, &bExpander, &bPhy), STATUS_OK);
        return {bExpander, bPhy};
    }
    sim::Expander& ExpanderOf(uint8_t bIndex) {
        const SAS_EXPANDER& s = pGetSASExpanderList()->asExpander[bIndex];
        const uint64_t q = static_cast<uint64_t>(s.adSASAddress[1]) << 32 | s.adSASAddress[0];
        for (unsigned n = 0; n <= 1; ++n) {
            if (chassis.expander(n).sasAddress() == q) return chassis.expander(n);
        }
        ADD_FAILURE() << "expander " << int(bIndex) << " not in the chassis";
        return chassis.expander(0);
    }
};

// Counts on a drive slot of each enclosure and on the cable between the
// expanders are read and printed; a phy of the same number on the other
// expander keeps its own (zero) counts.  Cleared, nothing is left to print.
TEST_F(LinkErrorsTest, EveryPhysLogIsReadAndThePhysWithErrorsShown) {
    const auto [bExA, bPhyA] = PhyOf(1, 3);
    const auto [bExB, bPhyB] = PhyOf(2, 2);
    ASSERT_NE(bExA, bExB);
    sim::ExpanderPhy& sA = ExpanderOf(bExA).phys()[bPhyA];
    sim::ExpanderPhy& sB = ExpanderOf(bExB).phys()[bPhyB];
    sA.invalidDwords = 5;
    sA.disparityErrors = 0x1F;
    sB.lossOfSync = 7;
    sB.resetProblems = 1;
    // The controller enclosure's drive on the phy of the same number
    // counts nothing.
    unsigned uTwin = 0;
    for (uint8_t bSlot = 1; bSlot <= 12 && uTwin == 0; ++bSlot) {
        uint8_t bExpander = 0, bPhy = 0;
        if (bFindExpanderPhyOfEnclosureSlot(1, bSlot, &bExpander, &bPhy) == STATUS_OK && bPhy == bPhyB &&
            chassis.DriveAt(bSlot) != nullptr) {
            uTwin = bSlot;
        }
    }
    ASSERT_NE(uTwin, 0u);
    chassis.expander(0).phys()[sim::Chassis::kDownlinkPhy].invalidDwords = 2;

    const std::string s = Screen([] { ShowSASLinkErrors(); });
    const uint32_t adA[4] = {5, 0x1F, 0, 0};
    const uint32_t adB[4] = {0, 0, 7, 1};
    char acCable[96];
    std::snprintf(acCable, sizeof acCable, "Encl:01 Exp Out    : Ex:%u Phy:%02u     %8x   %8x   %8x   %8x\n", bExA,
                  sim::Chassis::kDownlinkPhy, 2u, 0u, 0u, 0u);
    // Only the phys with counts (the drive on the twin phy has none): the
    // two slots in enclosure order, then the cable.
    EXPECT_EQ(s, "\n\nSAS PHY Error Counters\n"
                 "                                      Invalid    Running    Loss of        Phy\n"
                 "                                       Dwords    Dispar.    DW Sync      Reset\n"
                 "------------------------------------------------------------------------------\n" +
                     SlotLine(1, 3, bExA, bPhyA, adA) + SlotLine(2, 2, bExB, bPhyB, adB) + acCable +
                     "\nLink Errors Detected\n\n");

    ASSERT_EQ(b.board().RunOnCpu([] { ClearAllPhyErrorLogs(); }), sim::StopKind::Finished);
    PollFor(50);
    EXPECT_EQ(sA.invalidDwords, 0u);
    EXPECT_EQ(sB.lossOfSync, 0u);
    EXPECT_EQ(Screen([] { ShowSASLinkErrors(); }), "\nNo Link Errors Detected\n\n");
}

// The partner's view takes this controller's list only while it holds
// entries and this list reaches nothing through the partner; what it takes
// is marked the partner's.
TEST_F(LinkErrorsTest, ThePartnersViewTakesThisListOnlyWhenItHoldsEntries) {
    SAS_DEVICE_LIST* psView = pGetOCSASDriveInfoList();
    SAS_DEVICE_LIST* psOwn = pGetSASDriveInfoList();
    ASSERT_GT(psOwn->bEntryCount, 2);
    InitSASDeviceList(psView);
    CopySASDeviceListToPartnerView();
    EXPECT_EQ(psView->bEntryCount, 0);
    psView->bEntryCount = 1;
    psOwn->bProxyCount = 1;
    CopySASDeviceListToPartnerView();
    EXPECT_EQ(psView->bEntryCount, 1);
    psOwn->bProxyCount = 0;
    CopySASDeviceListToPartnerView();
    ASSERT_EQ(psView->bEntryCount, psOwn->bEntryCount);
    for (uint8_t i = 0; i < psView->bEntryCount; ++i) {
        EXPECT_EQ(psView->asEntry[i].adSASAddress[0], psOwn->asEntry[i].adSASAddress[0]) << int(i);
        EXPECT_EQ(psView->asEntry[i].bControllerNumber, bGetPartnerControllerNumber()) << int(i);
    }
    EXPECT_NE(bGetPartnerControllerNumber(), psOwn->asEntry[0].bControllerNumber);
    InitSASDeviceList(psView);
}

}  // namespace
