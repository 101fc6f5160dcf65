// The partner's list merged into this one, as to its port entries (the
// table after the device records) and what the merge leaves to run after
// it: entries of the partner that it no longer reports go, new ones are
// reached through it, the table ends in the order of the owning
// controller; commands that followed a drive to the partner's target run
// again; and whatever counts the partner sent never index past a table.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "drive_side_fixture.h"
#include "executive/work_flags.h"
#include "sas/active_active.h"
#include "sas/command_timeouts.h"

namespace {

using namespace fw;

class PartnerPortEntriesTest : public sastest::DriveSideTest {
protected:
    void SetUp() override {
        DriveSideTest::SetUp();
        ASSERT_EQ(b.board().RunOnCpu([this] {
            bOwn = bGetControllerNumber();
            bOther = static_cast<uint8_t>(bOwn == 1 ? 2 : 1);
        }),
                  sim::StopKind::Finished);
    }
    static SAS_STP_ENTRY* Stp(SAS_DEVICE_LIST* psList, uint8_t i) {
        return reinterpret_cast<SAS_STP_ENTRY*>(psList->aabStp[i]);
    }
    // Sets entry i of a list's port table: a name (its SAS address), the
    // target it is reached at, the owning controller and its enclosure.
    static void Port(SAS_DEVICE_LIST* psList, uint8_t i, uint32_t dName, uint8_t bTarget, uint8_t bOwner,
                     uint8_t bEnclosure) {
        SAS_STP_ENTRY* ps = Stp(psList, i);
        std::memset(ps, 0, sizeof *ps);
        ps->adSASAddress[1] = 0x50000000;
        ps->adSASAddress[0] = dName;
        ps->abSASAddressBE[0] = 0x50;
        for (uint8_t k = 0; k < 4; ++k) ps->abSASAddressBE[4 + k] = static_cast<uint8_t>(dName >> (24 - 8 * k));
        ps->bTargetId = bTarget;
        ps->bControllerNumber = bOwner;
        ps->bEnclosure = bEnclosure;
        ps->bPortCode = PORT_CODE_INITIATOR;
    }
    static std::vector<uint8_t> Targets(SAS_DEVICE_LIST* psList) {
        std::vector<uint8_t> ab;
        for (uint8_t i = 0; i < psList->bStpCount; ++i) ab.push_back(Stp(psList, i)->bTargetId);
        return ab;
    }
    void Merge() {
        ASSERT_EQ(b.board().RunOnCpu([] {
            // (the fixture has no stored configuration to apply again)
            SetInitializationComplete(FALSE);
            MergePartnerDeviceList(FALSE);
        }),
                  sim::StopKind::Finished);
    }

    uint8_t bOwn = 1;
    uint8_t bOther = 2;
};

// This list holds two of its own processors and two of the partner's; the
// partner still reports one of those and a new one.  The one it no longer
// reports goes, its target gone; the new one is reached through the
// partner.  What the partner lists through this controller (its own
// proxies) and an entry naming no target are not taken.  The table ends
// with this controller's entries before the other's (or after, by
// number), each in the order they had.
TEST_F(PartnerPortEntriesTest, ThePortTableFollowsThePartnersReportAndEndsInOwnerOrder) {
    constexpr uint8_t P = SAS_PROXY_TARGET_BIT;
    SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    SAS_DEVICE_LIST* psPartner = pGetOCSASDriveInfoList();
    psList->bStpCount = 4;
    Port(psList, 0, 0xB0, P | 30, bOther, 3);
    Port(psList, 1, 0xA0, 20, bOwn, 2);
    Port(psList, 2, 0xC0, P | 31, bOther, 4);
    Port(psList, 3, 0xD0, 21, bOwn, 5);
    psPartner->bStpCount = 5;
    Port(psPartner, 0, 0xB0, 30, bOther, 3);
    Port(psPartner, 1, 0xD0, P | 21, bOwn, 5);    // its view of this controller's
    Port(psPartner, 2, 0xE0, 32, bOther, 6);
    Port(psPartner, 3, 0xF0, P | 22, bOwn, 7);    // reached through this one
    Port(psPartner, 4, 0x90, 0xFF, bOther, 8);    // names no target
    ASSERT_EQ(b.board().RunOnCpu([] { SetSASTargetHoldOff(P | 32, ~0ull); }), sim::StopKind::Finished);
    Merge();

    const std::vector<uint8_t> abOwnFirst = {20, 21, P | 30, P | 32};
    const std::vector<uint8_t> abOtherFirst = {P | 30, P | 32, 20, 21};
    EXPECT_EQ(Targets(psList), bOwn < bOther ? abOwnFirst : abOtherFirst);
    EXPECT_EQ(psList->bEnclosureCount, 4);
    const SAS_STP_ENTRY* psNew = Stp(psList, bOwn < bOther ? 3 : 1);
    const uint32_t dNewName = psNew->adSASAddress[0];   // (packed: read out first)
    EXPECT_EQ(dNewName, 0xE0u);
    EXPECT_EQ(psNew->bControllerNumber, bOther);
    EXPECT_EQ(psNew->bEnclosure, 6);
    EXPECT_EQ(std::memcmp(Stp(psList, 4), std::vector<uint8_t>(sizeof(SAS_STP_ENTRY)).data(), sizeof(SAS_STP_ENTRY)), 0);
    // The partner's are reached through it; this controller's own stay as
    // its rebuild indexed them.
    EXPECT_EQ(bGetSASDeviceIndexOfTarget(P | 30), SAS_DEVICE_INDEX_PROXY);
    EXPECT_EQ(bGetSASDeviceIndexOfTarget(P | 32), SAS_DEVICE_INDEX_PROXY);
    EXPECT_EQ(dGetSASTargetFlags(P | 32), SAS_TARGET_FLAG_NATIVE);
    EXPECT_EQ(lGetSASTargetHoldOff(P | 32), 0u);
    EXPECT_EQ(fIsSASTargetGone(P | 32), FALSE);
    // The one no longer reported is gone: nothing is sent to it.
    EXPECT_EQ(bGetSASDeviceIndexOfTarget(P | 31), SAS_DEVICE_INDEX_NONE);
    EXPECT_EQ(fIsSASTargetGone(P | 31), TRUE);
    EXPECT_EQ(fIsSASTargetGone(P | 30), FALSE);

    // Merged again unchanged: the table stays as it is.
    const std::vector<uint8_t> abBefore = Targets(psList);
    Merge();
    EXPECT_EQ(Targets(psList), abBefore);
}

// A partner whose table claims more entries than a table holds, each under
// a new name: this list takes what fits and counts the rest, reading
// nothing past the partner's table.
TEST_F(PartnerPortEntriesTest, APartnersTableCountBeyondItsRoomIsCutToIt) {
    SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    SAS_DEVICE_LIST* psPartner = pGetOCSASDriveInfoList();
    psList->bStpCount = 0;
    for (uint8_t i = 0; i < SAS_MAX_STP_ENTRIES; ++i) {
        Port(psPartner, i, 0x1000u + i, static_cast<uint8_t>(10 + i), bOther, static_cast<uint8_t>(2 + i));
    }
    psPartner->bStpCount = 0xFF;
    psPartner->bEntryCount = 0xFF;
    const uint32_t dOverflows = dGetSASDeviceListOverflows();
    Merge();
    EXPECT_EQ(psList->bStpCount, SAS_MAX_STP_ENTRIES);
    EXPECT_EQ(Stp(psList, SAS_MAX_STP_ENTRIES - 1)->bTargetId, (10 + SAS_MAX_STP_ENTRIES - 1) | SAS_PROXY_TARGET_BIT);
    EXPECT_EQ(dGetSASDeviceListOverflows(), dOverflows);

    // With this list's table already full, a new name finds no room.
    Port(psPartner, 0, 0x2000, 9, bOther, 1);
    psPartner->bStpCount = 1;
    Merge();
    EXPECT_EQ(psList->bStpCount, 1);   // the others are no longer reported
    psList->bStpCount = SAS_MAX_STP_ENTRIES;
    for (uint8_t i = 0; i < SAS_MAX_STP_ENTRIES; ++i) Port(psList, i, 0x3000u + i, i, bOwn, 2);
    Merge();
    EXPECT_EQ(psList->bStpCount, SAS_MAX_STP_ENTRIES);
    EXPECT_EQ(dGetSASDeviceListOverflows(), dOverflows + 1);
}

// After every merge the active-active recovery is asked to look again;
// when commands followed a drive to the partner's target, the drive-side
// queue is started again for them, and only then.
TEST_F(PartnerPortEntriesTest, AMergeAsksForTheRecoveryRescanAndRestartsTheQueueWhenCommandsMoved) {
    SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    SAS_DEVICE_LIST* psPartner = pGetOCSASDriveInfoList();
    ASSERT_LT(psList->bEntryCount + 1, SAS_MAX_DEVICES);
    const auto fnClearFlags = [this] {
        ASSERT_EQ(b.board().RunOnCpu([] {
            SetSASRecoveryRescanFlag(FALSE);
            SetDriveQueueServiceEnable(PORT_CODE_INITIATOR, FALSE);
        }),
                  sim::StopKind::Finished);
    };
    fnClearFlags();
    Merge();
    EXPECT_EQ(fGetSASRecoveryRescanFlag(), TRUE);
    EXPECT_EQ(fGetDriveQueueServiceEnable(0), FALSE);

    // A drive of the partner's, reached through it at one target, is now
    // reported by the partner at another in the same slot.
    constexpr uint8_t bOldProxy = 0x85;
    SAS_DEVICE_ENTRY& s = psList->asEntry[psList->bEntryCount++];
    s = psList->asEntry[0];
    s.bTargetId = bOldProxy;
    s.bControllerNumber = bOther;
    s.bSlot = 20;
    psPartner->bEntryCount = 1;
    psPartner->asEntry[0] = s;
    psPartner->asEntry[0].bTargetId = 6;
    psPartner->asEntry[0].adSASAddress[0] ^= 0x10;
    KERNEL_ENTRY* ps = sastest::BuildRead(bOldProxy, 0, 1, Buffer(), 512);
    ASSERT_NE(ps, nullptr);
    ps->bPrimaryState = PS_NEW_COMMAND;
    ASSERT_EQ(QueueKernelEntry(PORT_CODE_INITIATOR, ps->wIndex), STATUS_OK);
    fnClearFlags();
    Merge();
    EXPECT_EQ(ps->wTargetId, 6 | SAS_PROXY_TARGET_BIT);
    EXPECT_EQ(fGetSASRecoveryRescanFlag(), TRUE);
    EXPECT_EQ(fGetDriveQueueServiceEnable(0), TRUE);
}

// A partner that reports a drive in every slot this list has none in: the
// list takes proxies until it holds as many devices as it can and counts
// what found no room, never writing past its last entry.
TEST_F(PartnerPortEntriesTest, PartnerDrivesBeyondTheListsRoomAreCountedNotAdded) {
    SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    SAS_DEVICE_LIST* psPartner = pGetOCSASDriveInfoList();
    const uint8_t bOwnCount = psList->bEntryCount;
    ASSERT_GT(bOwnCount, 0);
    ASSERT_LT(bOwnCount, SAS_MAX_DEVICES);
    psPartner->bEntryCount = SAS_MAX_DEVICES;
    for (uint8_t i = 0; i < SAS_MAX_DEVICES; ++i) {
        SAS_DEVICE_ENTRY& p = psPartner->asEntry[i];
        p = psList->asEntry[0];
        p.adSASAddress[0] = 0x7000u + i;
        p.bTargetId = i;
        p.wDevHandle = static_cast<uint16_t>(0x400 + i);
        p.bControllerNumber = bOther;
        p.bEnclosure = static_cast<uint8_t>(20 + i / 16);   // no slot of this list's
        p.bSlot = static_cast<uint8_t>(1 + i % 16);
    }
    const uint32_t dOverflows = dGetSASDeviceListOverflows();
    Merge();
    EXPECT_EQ(psList->bEntryCount, SAS_MAX_DEVICES);
    EXPECT_EQ(psList->bProxyCount, SAS_MAX_DEVICES - bOwnCount);
    EXPECT_EQ(dGetSASDeviceListOverflows(), dOverflows + 1);
    // The last that fitted is reached through the partner; the first that
    // did not is not addressed at all.
    const uint8_t bLastTaken = static_cast<uint8_t>(SAS_MAX_DEVICES - bOwnCount - 1);
    EXPECT_EQ(psList->asEntry[SAS_MAX_DEVICES - 1].bTargetId, bLastTaken | SAS_PROXY_TARGET_BIT);
    EXPECT_EQ(bGetSASDeviceIndexOfTarget((bLastTaken + 1) | SAS_PROXY_TARGET_BIT), SAS_DEVICE_INDEX_NONE);
}

}  // namespace
