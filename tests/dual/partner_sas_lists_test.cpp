// Each controller tells the other which drives it reaches (message 157, or
// read as buffer id 15): a drive only the partner reaches is addressed
// through it, as a proxy target; and a controller that comes back runs its
// failback, which ends with its list handed over again.  Beside them the
// active-active level (id 18) and the slot events (message 213).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "harness/dual_pair.h"
#include "pair_lists.h"
#include "partner/partner_link.h"
#include "sas/active_active.h"
#include "sas/ioc_events.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "sas/sas_discovery.h"
#include "sas/sas_failback.h"

namespace fw_b {
using fw::SAS_DEVICE_LIST;
SAS_DEVICE_LIST* pGetSASDriveInfoList();
void SetSASFailbackInProgress(uint8_t f);
uint8_t fIsSASFailbackInProgress();
uint8_t bGetSASFailbackState();
void SetSASActiveActiveState(uint32_t dValue);
void SendSasDriveMessage213(uint8_t bEnclosure, uint8_t bSlot, uint8_t bKind, uint8_t bArgument);
SAS_DEVICE_LIST* pGetOCSASDriveInfoList();
uint8_t fIsSASDiscoveryRunning();
uint8_t fIsMasterController();
const uint8_t* pGetPartnerDriveTableCopy();
fw::DRIVE_INFO_LIST* pGetDriveInfoList();
uint8_t fRequestDriveRescan();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;

class PartnerSasLists : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }
    // This controller's entry of the drive in the slot, or null.
    static fw::SAS_DEVICE_ENTRY* InSlot(fw::SAS_DEVICE_LIST* ps, uint8_t bSlot) { return dual::InSlot(ps, bSlot); }
};

// Both reach every drive: each holds the other's list, and no drive is a
// proxy.  A drive this controller loses its own path to is then reached
// through the partner, at the partner's target id with bit 7 set; when the
// partner no longer lists it either, the proxy goes.
TEST_F(PartnerSasLists, ADriveOnlyThePartnerReachesIsAddressedThroughIt) {
    fw::SAS_DEVICE_LIST* psOwn = fw::pGetSASDriveInfoList();
    fw::SAS_DEVICE_LIST* psOther = fw::pGetOCSASDriveInfoList();
    const fw::SAS_DEVICE_LIST* psB = fw_b::pGetSASDriveInfoList();
    ASSERT_GT(psB->bEntryCount, 2);
    EXPECT_EQ(psOther->bEntryCount, psB->bEntryCount);
    EXPECT_EQ(std::memcmp(psOther->asEntry, psB->asEntry, sizeof(fw::SAS_DEVICE_ENTRY) * psB->bEntryCount), 0);
    EXPECT_EQ(psOwn->bProxyCount, 0);
    const uint8_t bEntries = psOwn->bEntryCount;

    // The drive in slot 2 leaves this controller's list.
    fw::SAS_DEVICE_ENTRY* ps = InSlot(psOwn, 2);
    ASSERT_NE(ps, nullptr);
    const uint8_t bOwnTarget = ps->bTargetId;
    ps->fValid = fw::FALSE;
    ps->bTargetId = 0xFF;
    fw::MergePartnerDeviceList(fw::FALSE);
    EXPECT_EQ(fw::psGetSASDeviceOfTarget(bOwnTarget), nullptr);
    const fw::SAS_DEVICE_ENTRY* psPartners = InSlot(const_cast<fw::SAS_DEVICE_LIST*>(psB), 2);
    ASSERT_NE(psPartners, nullptr);
    const uint8_t bProxy = static_cast<uint8_t>(psPartners->bTargetId | fw::SAS_PROXY_TARGET_BIT);
    ps = InSlot(psOwn, 2);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->bTargetId, bProxy);
    EXPECT_EQ(psOwn->bEntryCount, bEntries);
    EXPECT_EQ(psOwn->bProxyCount, 1);
    EXPECT_EQ(fw::psGetSASDeviceOfTarget(bProxy), ps);
    // Merged again unchanged: the proxy stays where it is.
    fw::MergePartnerDeviceList(fw::FALSE);
    EXPECT_EQ(InSlot(psOwn, 2), ps);
    EXPECT_EQ(psOwn->bProxyCount, 1);

    // The partner lost it too: the proxy goes.
    fw::SAS_DEVICE_ENTRY* psTheirs = InSlot(psOther, 2);
    ASSERT_NE(psTheirs, nullptr);
    psTheirs->fValid = fw::FALSE;
    fw::MergePartnerDeviceList(fw::FALSE);
    EXPECT_EQ(InSlot(psOwn, 2), nullptr);
    EXPECT_EQ(psOwn->bProxyCount, 0);
    EXPECT_EQ(fw::psGetSASDeviceOfTarget(bProxy), nullptr);

    // Counts a list cannot hold are cut to what it holds.
    psOther->bEntryCount = 200;
    psOther->bProxyCount = 250;
    psOther->bStpCount = 99;
    fw::ClampSASDeviceList(psOther);
    EXPECT_EQ(psOther->bEntryCount, fw::SAS_MAX_DEVICES);
    EXPECT_EQ(psOther->bProxyCount, fw::SAS_MAX_DEVICES);
    EXPECT_EQ(psOther->bStpCount, fw::SAS_MAX_STP_ENTRIES);
}

// Controller 1's drive side fails back: it asks its partner, looks at the
// fabric again and ends by handing its list over, which controller 0 takes.
TEST_F(PartnerSasLists, AFailbackEndsWithTheListHandedToThePartner) {
    fw::InitSASDeviceList(fw::pGetOCSASDriveInfoList());
    fw_b::SetSASFailbackInProgress(fw::TRUE);
    bool fAsked = false, fLooked = false;
    ASSERT_TRUE(RunUntil(
        [&] {
            const uint8_t b = fw_b::bGetSASFailbackState();
            fAsked = fAsked || b == fw::SAS_FAILBACK_WAIT_ANSWER || b == fw::SAS_FAILBACK_CHECK_ANSWER;
            fLooked = fLooked || b == fw::SAS_FAILBACK_DEVICES || b == fw::SAS_FAILBACK_FINISH;
            return fw_b::fIsSASFailbackInProgress() != fw::TRUE;
        },
        30'000 * kMs))
        << Consoles();
    EXPECT_TRUE(fAsked);
    EXPECT_TRUE(fLooked);
    ASSERT_TRUE(RunUntil([] { return fw::pGetOCSASDriveInfoList()->bEntryCount != 0; }, 2000 * kMs)) << Consoles();
    EXPECT_EQ(fw::pGetOCSASDriveInfoList()->bEntryCount, fw_b::pGetSASDriveInfoList()->bEntryCount);
    EXPECT_EQ(fw::pGetSASDriveInfoList()->bProxyCount, 0);
}

// The partner's list is read whole on request (buffer id 15), and its
// active-active level (id 18): it answers its own, not a refusal that would
// count as the oldest level.
TEST_F(PartnerSasLists, ThePartnersListAndLevelAreReadOnRequest) {
    fw::InitSASDeviceList(fw::pGetOCSASDriveInfoList());
    uint8_t bRead = 0;
    ASSERT_TRUE(OnProcessor(a->board, [&] { bRead = fw::bReadPartnerDeviceList(); })) << Consoles();
    EXPECT_EQ(bRead, fw::STATUS_OK);
    const fw::SAS_DEVICE_LIST* psB = fw_b::pGetSASDriveInfoList();
    ASSERT_GT(psB->bEntryCount, 2);
    EXPECT_EQ(fw::pGetOCSASDriveInfoList()->bEntryCount, psB->bEntryCount);
    EXPECT_EQ(std::memcmp(fw::pGetOCSASDriveInfoList()->asEntry, psB->asEntry,
                          sizeof(fw::SAS_DEVICE_ENTRY) * psB->bEntryCount),
              0);

    fw_b::SetSASActiveActiveState(5);
    uint8_t fFetched = fw::FALSE;
    ASSERT_TRUE(OnProcessor(a->board, [&] { fFetched = fw::fFetchPartnerActiveActiveState(); })) << Consoles();
    EXPECT_EQ(fFetched, fw::TRUE);
    EXPECT_EQ(fw::bGetPartnerActiveActiveState(), 5);
    // A partner whose drive IOC has no level yet answers none: still
    // unknown, the level read before stands.
    fw_b::SetSASActiveActiveState(0);
    ASSERT_TRUE(OnProcessor(a->board, [&] { fFetched = fw::fFetchPartnerActiveActiveState(); })) << Consoles();
    EXPECT_EQ(fFetched, fw::FALSE);
    EXPECT_EQ(fw::bGetPartnerActiveActiveState(), 5);
    fw_b::SetSASActiveActiveState(8);
}

// The SAS information lists (key B, the debug dump) end with the partner's
// two drive-side ports as this controller found them: address, handle,
// target id and the QUEUE FULL answers each gave.
TEST_F(PartnerSasLists, TheInformationListsEndWithThePartnersPorts) {
    sim::SasController& iocA = a->board.sasController();
    sim::SasController& iocB = b->board.sasController();
    const uint8_t bPort0 = iocA.TargetOf(iocB.PortSasAddress(0));
    const uint8_t bPort1 = iocA.TargetOf(iocB.PortSasAddress(1));
    ASSERT_NE(bPort0, 0xFF);
    ASSERT_NE(bPort1, 0xFF);
    ASSERT_TRUE(OnProcessor(a->board, [bPort1] {
        for (int i = 0; i < 3; ++i) fw::SASQueueFullEvent(bPort1);
    }));
    a->board.ClearConsoleText();
    ASSERT_TRUE(OnProcessor(a->board, [] { fw::ShowSASInfoLists(); }));
    const char* pszTail = "Outstanding Task Management Count: ";
    ASSERT_TRUE(RunUntil([&] {
        const std::string& s = a->board.ConsoleText();
        return s.find(pszTail) != std::string::npos && s.find("2 SAS Address:") != std::string::npos &&
               s.back() == '\n';
    }, 1000 * kMs));
    std::string s = a->board.ConsoleText();
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    const auto line = [](unsigned uPath, uint64_t qAddress, uint16_t wHandle, uint8_t bTarget, uint32_t dQueueFull) {
        char ac[96];
        std::snprintf(ac, sizeof ac, "%u SAS Address: %016llx H:%04x ID:%02x QF:%08x\n", uPath,
                      static_cast<unsigned long long>(qAddress), wHandle, bTarget, dQueueFull);
        return std::string(ac);
    };
    EXPECT_EQ(s.substr(s.find(pszTail)), std::string(pszTail) + "0 \n\nSAS Active Active Info:\n" +
                                             line(1, iocB.PortSasAddress(0), 0x0012, bPort0, 0) +
                                             line(2, iocB.PortSasAddress(1), 0x0013, bPort1, 3));
}

// A drive that one controller no longer reaches itself (its slot disabled
// here) is listed through the partner by every local rebuild, keeping its
// state; the change is told to the partner (message 157), which looks
// again and, finding nothing changed on its side, tells nothing back.
TEST_F(PartnerSasLists, ALocalRebuildKeepsTheProxiesAndTellsThePartnerOnce) {
    const fw::SAS_DEVICE_ENTRY* psTheirs = InSlot(fw_b::pGetSASDriveInfoList(), 2);
    ASSERT_NE(psTheirs, nullptr);
    const uint8_t bProxy = static_cast<uint8_t>(psTheirs->bTargetId | fw::SAS_PROXY_TARGET_BIT);
    const uint8_t bOwnEntries = fw::pGetSASDriveInfoList()->bEntryCount;
    fw::SetSASSlotDisabled(1, 2, fw::TRUE);
    ASSERT_TRUE(OnProcessor(a->board, [] { fw::RebuildSASDeviceList(fw::TRUE); })) << Consoles();
    const fw::SAS_DEVICE_ENTRY* ps = InSlot(fw::pGetSASDriveInfoList(), 2);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->bTargetId, bProxy);
    EXPECT_EQ(fw::pGetSASDriveInfoList()->bProxyCount, 1);
    EXPECT_EQ(fw::pGetSASDriveInfoList()->bEntryCount, bOwnEntries);
    fw::SetSASTargetFlagBits(bProxy, fw::SAS_AA_PARTNER_HAS_DRIVE);
    ASSERT_TRUE(OnProcessor(a->board, [] { fw::RebuildSASDeviceList(fw::TRUE); })) << Consoles();
    ASSERT_NE(InSlot(fw::pGetSASDriveInfoList(), 2), nullptr);
    EXPECT_EQ(InSlot(fw::pGetSASDriveInfoList(), 2)->bTargetId, bProxy);
    EXPECT_NE(fw::dGetSASTargetFlags(bProxy) & fw::SAS_AA_PARTNER_HAS_DRIVE, 0u);
    // The partner has this controller's list, proxy and all, and the two
    // come to rest.
    const auto fSettled = [&] {
        return fw_b::pGetOCSASDriveInfoList()->bProxyCount == 1 && fw::fIsSASDiscoveryRunning() != fw::TRUE &&
               fw_b::fIsSASDiscoveryRunning() != fw::TRUE && Quiet(fw::sGetPartnerMessageCounts()) &&
               Quiet(fw_b::sGetPartnerMessageCounts());
    };
    ASSERT_TRUE(RunUntil(fSettled, 20'000 * kMs)) << Consoles();
    EXPECT_FALSE(RunUntil([] { return fw::fIsSASDiscoveryRunning() == fw::TRUE || fw_b::fIsSASDiscoveryRunning() == fw::TRUE; },
                          2000 * kMs));
}

// A slot event told to the partner (message 213) reaches its slot there.
TEST_F(PartnerSasLists, ASlotEventReachesThePartnersSlot) {
    const uint32_t dResets = a->board.sasController().targetResets();
    ASSERT_TRUE(OnProcessor(b->board, [] { fw_b::SendSasDriveMessage213(1, 3, 0, fw::MPI_TASKTYPE_TARGET_RESET); }));
    EXPECT_TRUE(RunUntil([&] { return a->board.sasController().targetResets() == dResets + 1; }, 1000 * kMs))
        << Consoles();
}

// A drive table rebuild on the master ends with its table in the partner's
// hands: the other controller's copy is that table again, drive for drive,
// and the table and the file list went once each.
TEST_F(PartnerSasLists, ADriveTableRebuildHandsThePartnerTheTableOnce) {
    const bool fAMaster = fw::fIsMasterController() == fw::TRUE;
    ASSERT_NE(fAMaster, fw_b::fIsMasterController() == fw::TRUE);
    auto* psCopy = const_cast<fw::DRIVE_INFO_LIST*>(reinterpret_cast<const fw::DRIVE_INFO_LIST*>(
        fAMaster ? fw_b::pGetPartnerDriveTableCopy() : fw::pGetPartnerDriveTableCopy()));
    const fw::DRIVE_INFO_LIST* psMaster = fAMaster ? fw::pGetDriveInfoList() : fw_b::pGetDriveInfoList();
    sim::SasController& iocMaster = (fAMaster ? a : b)->board.sasController();
    const uint32_t dSent = iocMaster.partnerCommandsSent();
    // The copy holds what the message carries, at most 13884 bytes.
    std::memset(psCopy, 0, sizeof *psCopy < 13884 ? sizeof *psCopy : 13884);
    ASSERT_TRUE(OnProcessor(fAMaster ? a->board : b->board,
                            [&] { (void)(fAMaster ? fw::fRequestDriveRescan() : fw_b::fRequestDriveRescan()); }));
    ASSERT_TRUE(RunUntil([&] { return psMaster->bDriveCount > 0 && psCopy->bDriveCount == psMaster->bDriveCount; },
                         20'000 * kMs));
    for (uint8_t i = 0; i < psMaster->bDriveCount; ++i) {
        EXPECT_EQ(std::memcmp(psCopy->asDriveInfo[i].abWWN, psMaster->asDriveInfo[i].abWWN, 8), 0);
    }
    ASSERT_TRUE(RunUntil([&] {
        return fw::fIsDriveRescanInProgress() != fw::TRUE && fw_b::fIsDriveRescanInProgress() != fw::TRUE &&
               Quiet(fw::sGetPartnerMessageCounts()) && Quiet(fw_b::sGetPartnerMessageCounts());
    }, 20'000 * kMs));
    EXPECT_EQ(iocMaster.partnerCommandsSent() - dSent, 2u);
}

}  // namespace
