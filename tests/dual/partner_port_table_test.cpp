// The port table of the drive side's list (the enclosure processors each
// controller reaches, after the drive records) between the two controllers
// of a pair with an expansion enclosure: a processor only the partner
// reaches is reached through it, and goes once the partner's list (message
// 157) no longer reports it; it comes back with the partner's next list
// that does.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "harness/dual_pair.h"
#include "partner/partner_link.h"
#include "sas/command_timeouts.h"
#include "sas/sas_device_list.h"
#include "sas/sas_scsi_path.h"

namespace fw_b {
using fw::SAS_DEVICE_LIST;
SAS_DEVICE_LIST* pGetSASDriveInfoList();
uint8_t bGetControllerNumber();
uint8_t bSendSasPhyMessage157(uint8_t f);
uint8_t bDiscoverSASExpanders(uint8_t f);
void RebuildSASDeviceList(uint8_t fRestart);
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;

sim::Chassis::Options WithExpansion() {
    sim::Chassis::Options o;
    o.expansions = 1;
    o.expansionDrives = 2;
    return o;
}

fw::SAS_STP_ENTRY* Port(fw::SAS_DEVICE_LIST* psList, uint8_t i) {
    return reinterpret_cast<fw::SAS_STP_ENTRY*>(psList->aabStp[i]);
}

// The list's port entry of the enclosure, or null.
fw::SAS_STP_ENTRY* PortOfEnclosure(fw::SAS_DEVICE_LIST* psList, uint8_t bEnclosure) {
    for (uint8_t i = 0; i < psList->bStpCount && i < fw::SAS_MAX_STP_ENTRIES; ++i) {
        if (Port(psList, i)->bEnclosure == bEnclosure) return Port(psList, i);
    }
    return nullptr;
}

class PartnerPortTable : public ::testing::Test, protected dual::Pair {
protected:
    PartnerPortTable() : dual::Pair(WithExpansion()) {}
    void SetUp() override {
        a->board.sasController().SetProcessorPathLost(1, true);
        ASSERT_TRUE(Boot()) << Consoles();
    }
    // Controller 1 looks at the fabric again and sends its list (its drive
    // side tells the partner of a change of its drives only).
    bool PartnerLooksAndSendsItsList() {
        const uint32_t dReceived = a->board.sasController().partnerCommandsReceived();
        bool fSent = false;
        b->board.pollHook = [&] {
            if (fSent) return;
            fSent = true;
            (void)fw_b::bDiscoverSASExpanders(fw::FALSE);
            fw_b::RebuildSASDeviceList(fw::TRUE);
            (void)fw_b::bSendSasPhyMessage157(fw::FALSE);
        };
        const bool f = RunUntil(
            [&] {
                return fSent && a->board.sasController().partnerCommandsReceived() != dReceived &&
                       Quiet(fw::sGetPartnerMessageCounts()) && Quiet(fw_b::sGetPartnerMessageCounts());
            },
            5000 * kMs);
        b->board.pollHook = nullptr;
        return f;
    }
};

TEST_F(PartnerPortTable, AProcessorOnlyThePartnerReachesFollowsThePartnersList) {
    fw::SAS_DEVICE_LIST* psOwn = fw::pGetSASDriveInfoList();
    fw::SAS_DEVICE_LIST* psB = fw_b::pGetSASDriveInfoList();
    // Controller 0 never reached the expansion's processor: it lists the
    // partner's, reached through it.
    const fw::SAS_STP_ENTRY* psTheirs = PortOfEnclosure(psB, 2);
    ASSERT_NE(psTheirs, nullptr) << Consoles();
    EXPECT_EQ(psTheirs->bControllerNumber, fw_b::bGetControllerNumber());
    const uint8_t bProxy = static_cast<uint8_t>(psTheirs->bTargetId | fw::SAS_PROXY_TARGET_BIT);
    const fw::SAS_STP_ENTRY* ps = PortOfEnclosure(psOwn, 2);
    ASSERT_NE(ps, nullptr) << Consoles();
    EXPECT_EQ(psOwn->bStpCount, 1);
    EXPECT_EQ(ps->bTargetId, bProxy);
    EXPECT_EQ(ps->bControllerNumber, fw_b::bGetControllerNumber());
    EXPECT_EQ(std::memcmp(ps->abSASAddressBE, psTheirs->abSASAddressBE, 8), 0);
    EXPECT_EQ(fw::bGetSASDeviceIndexOfTarget(bProxy), fw::SAS_DEVICE_INDEX_PROXY);

    // The partner loses it too and tells: it goes here, its target with it.
    b->board.sasController().SetProcessorPathLost(1, true);
    ASSERT_TRUE(PartnerLooksAndSendsItsList()) << Consoles();
    ASSERT_EQ(PortOfEnclosure(psB, 2), nullptr);
    EXPECT_EQ(PortOfEnclosure(psOwn, 2), nullptr);
    EXPECT_EQ(psOwn->bStpCount, 0);
    EXPECT_EQ(fw::bGetSASDeviceIndexOfTarget(bProxy), fw::SAS_DEVICE_INDEX_NONE);
    EXPECT_EQ(fw::fIsSASTargetGone(bProxy), fw::TRUE);

    // The partner reaches it again: so does this controller, through it.
    b->board.sasController().SetProcessorPathLost(1, false);
    ASSERT_TRUE(PartnerLooksAndSendsItsList()) << Consoles();
    ps = PortOfEnclosure(psOwn, 2);
    ASSERT_NE(ps, nullptr) << Consoles();
    EXPECT_EQ(ps->bTargetId, bProxy);
    EXPECT_EQ(fw::bGetSASDeviceIndexOfTarget(bProxy), fw::SAS_DEVICE_INDEX_PROXY);
    EXPECT_EQ(fw::dGetSASTargetFlags(bProxy), fw::SAS_TARGET_FLAG_NATIVE);
    EXPECT_EQ(fw::fIsSASTargetGone(bProxy), fw::FALSE);
}

}  // namespace
