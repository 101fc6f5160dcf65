// Sharing the drives with a partner: the levels the two compare, the drive
// holds they agree on, and the timers of a slot change.
#include <gtest/gtest.h>

#include "eventlog/event_log.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/work_flags.h"
#include "partner/partner_link.h"
#include "sas/active_active.h"
#include "sas/drive_side_fixture.h"
#include "sas/sas_drive.h"
#include "sas/partner_traffic.h"
#include "sas/sas_discovery.h"
#include "sas/smp.h"
#include "sas/sas_flags.h"

namespace {

using namespace fw;

class ActiveActiveTest : public sastest::DriveSideTest {
protected:
    void SetUp() override {
        DriveSideTest::SetUp();
        ASSERT_EQ(b.board().RunOnCpu([] { InitEventLog(); }), sim::StopKind::Finished);
        GetEventLogPosition(&wCount, &wFirst);
        bTarget = TargetOfSlot(1);
        ps = psGetSASDeviceOfTarget(bTarget);
        ASSERT_NE(ps, nullptr);
    }
    void TearDown() override {
        SetDualControllerValid(FALSE);
        SetPartnerDrivePath(1, FALSE, 0xFF, adPartner);
    }
    void Dual() {
        SetPartnerDrivePath(1, TRUE, 0x20, adPartner);
        SetDualControllerValid(TRUE);
        ASSERT_EQ(fIsDualControllerActive(), TRUE);
    }
    // The arguments of the events of the code posted since the test began.
    std::vector<std::vector<uint8_t>> Events(uint8_t bCode) const {
        std::vector<std::vector<uint8_t>> a;
        uint16_t wC = 0, wNext = 0;
        GetEventLogPosition(&wC, &wNext);
        for (uint16_t w = wFirst; w != wNext; w = static_cast<uint16_t>((w + 1) % EVENT_LOG_ENTRIES)) {
            const EVENT_LOG_ENTRY* pe = psGetEventLogEntry(w);
            if (pe->bCode == bCode) a.emplace_back(pe->abArgs, pe->abArgs + 5);
        }
        return a;
    }
    uint32_t PhyLinkResets() {
        uint32_t n = 0;
        for (const sim::ExpanderPhy& p : chassis.expander().phys()) n += p.linkResets;
        return n;
    }
    uint32_t Flags() const { return dGetSASTargetFlags(bTarget); }
    void Sleep(uint32_t dMs) {
        ASSERT_EQ(b.board().RunOnCpu([dMs] { SpinDelayMs(dMs); }), sim::StopKind::Finished);
    }

    const uint32_t adPartner[2] = {0x00002010, 0x500605B0};
    uint16_t wCount = 0, wFirst = 0;
    uint8_t bTarget = 0xFF;
    SAS_DEVICE_ENTRY* ps = nullptr;
};

// The level is the revision byte of what the bring-up stored; only
// revisions 2, 4 and 8 run drives behind a multiplexer.  Equal levels are
// quiet, different ones are logged.
TEST_F(ActiveActiveTest, LevelsAreTheRevisionByteAndOnlyADifferenceIsLogged) {
    EXPECT_EQ(dGetSASActiveActiveState(), 8u) << "the board's drive IOC";
    SetSASActiveActiveState(0x01070004);
    EXPECT_EQ(dGetSASActiveActiveState(), 4u);
    EXPECT_EQ(fIsSASActiveActiveModeSet(), TRUE);
    SetSASActiveActiveState(3);
    EXPECT_EQ(fIsSASActiveActiveModeSet(), FALSE);

    SetSASActiveActiveState(4);
    EXPECT_EQ(fCheckActiveActiveMatch(TRUE), FALSE) << "partner's level not known";
    RecordPartnerActiveActiveState(4);
    EXPECT_EQ(fCheckActiveActiveMatch(TRUE), TRUE);
    EXPECT_EQ(fCheckActiveActiveMatch(7), FALSE);
    EXPECT_TRUE(Events(28).empty());
    RecordPartnerActiveActiveState(8);
    ASSERT_EQ(Events(28).size(), 1u);
    EXPECT_EQ(Events(28)[0][2], 4);
    EXPECT_EQ(Events(28)[0][3], 8);
    EXPECT_EQ(Events(28)[0][4], FALSE);
    EXPECT_EQ(fCheckActiveActiveMatch(FALSE), TRUE) << "a newer partner is no reason to stop";
    EXPECT_EQ(Events(28).size(), 1u);
}

// Messages to the partner wait while the drive IOC runs one of the early
// revisions (levels 1 to 3), as while it restarts, unless discovery lets
// them through; they never reach the IOC meanwhile.
TEST_F(ActiveActiveTest, EarlyLevelsHoldPartnerMessagesUnlessDiscoveryLetsThemGo) {
    SetPartnerDrivePath(1, TRUE, 0x20, adPartner);
    // Addressed to no device: one that goes comes back unanswered and
    // frees its frame; its slot is not in use, so nothing waits for it.
    INTER_CONTROLLER_MESSAGE s{};
    s.wTarget = 0x7E;
    const auto sent = [&] {
        const uint32_t dBefore = ioc->scsiRequests();
        uint8_t bResult = 0;
        EXPECT_EQ(b.board().RunOnCpu([&] { bResult = bSendMessageToPartnerIOC(&s, 3, 0); }), sim::StopKind::Finished);
        PollFor(50);
        EXPECT_EQ(bResult == STATUS_RETRY, ioc->scsiRequests() == dBefore) << int(bResult);
        return bResult != STATUS_RETRY;
    };
    for (uint32_t dLevel : {1u, 2u, 3u}) {
        SetSASActiveActiveState(dLevel);
        EXPECT_FALSE(sent()) << dLevel;
    }
    SetSASDiscoveryStateFlag(TRUE);
    EXPECT_TRUE(sent()) << "discovery lets it go";
    SetSASDiscoveryStateFlag(FALSE);
    SetSASActiveActiveState(4);
    EXPECT_TRUE(sent());
    SetSASIOCRestartRequest(TRUE);
    EXPECT_FALSE(sent());
    SetSASIOCRestartRequest(FALSE);
    SetSASActiveActiveState(8);
    EXPECT_TRUE(sent());
}

// A partner that does not know the level request (level 2): while both
// run the partner is asked to stop; a lone controller asked with TRUE
// stops itself.
TEST_F(ActiveActiveTest, APartnerOfTheOldRevisionIsStopped) {
    SetSASActiveActiveState(4);
    SetPartnerActiveActiveState(2);
    Dual();
    EXPECT_EQ(fCheckActiveActiveMatch(TRUE), TRUE);
    ASSERT_EQ(Events(28).size(), 1u);
    EXPECT_EQ(Events(28)[0][4], FALSE);
    SetDualControllerValid(FALSE);
    SetDualStartFlag(FALSE);
    EXPECT_EQ(fCheckActiveActiveMatch(FALSE), TRUE);
    EXPECT_EQ(Events(28).size(), 2u);
    EXPECT_EQ(b.board().RunOnCpu([] { (void)fCheckActiveActiveMatch(TRUE); }), sim::StopKind::Shutdown);
    ASSERT_EQ(Events(28).size(), 3u);
    EXPECT_EQ(Events(28)[2][4], TRUE);
}

// Holds without a partner: the drive is this controller's at once; it
// stays held until the last hold is let go.
TEST_F(ActiveActiveTest, TwoHoldsAndOneReleaseKeepTheDrive) {
    HoldSASTarget(bTarget);
    HoldSASTarget(bTarget);
    EXPECT_EQ(Flags() & (SAS_AA_NEEDS_DRIVE | SAS_AA_HAS_DRIVE), SAS_AA_NEEDS_DRIVE | SAS_AA_HAS_DRIVE);
    ReleaseSASTarget(bTarget);
    EXPECT_EQ(bGetSASTargetHoldCount(bTarget), 1);
    EXPECT_EQ(Flags() & (SAS_AA_NEEDS_DRIVE | SAS_AA_HAS_DRIVE), SAS_AA_NEEDS_DRIVE | SAS_AA_HAS_DRIVE);
    ReleaseSASTarget(bTarget);
    EXPECT_EQ(Flags() & (SAS_AA_NEEDS_DRIVE | SAS_AA_HAS_DRIVE | SAS_AA_ASKED_PARTNER), 0u);
    ReleaseSASTarget(bTarget);
    EXPECT_EQ(bGetSASTargetHoldCount(bTarget), 0);
    // Only drives hold.
    HoldSASTarget(0xFE);
    EXPECT_EQ(bGetSASTargetHoldCount(0xFE), 0);
}

// A hold outlives its drive's listing only until the command that took it
// ends; a drive listed afresh under the same target id starts with no hold
// and can be held and served at once.
TEST_F(ActiveActiveTest, AHoldEndsWithItsCommandEvenWhenTheDriveLeft) {
    HoldSASTarget(bTarget);
    ASSERT_EQ(bGetSASTargetHoldCount(bTarget), 1);
    ps->fValid = FALSE;   // the drive left the list
    ReleaseSASTarget(bTarget);
    ps->fValid = TRUE;
    EXPECT_EQ(bGetSASTargetHoldCount(bTarget), 0);
    EXPECT_EQ(Flags() & (SAS_AA_NEEDS_DRIVE | SAS_AA_HAS_DRIVE), 0u);

    // The target's flags went with its drive while a hold was still out.
    HoldSASTarget(bTarget);
    ClearSASTargetFlagBits(bTarget, SAS_AA_NEEDS_DRIVE | SAS_AA_HAS_DRIVE);
    HoldSASTarget(bTarget);
    EXPECT_EQ(bGetSASTargetHoldCount(bTarget), 1);
    EXPECT_EQ(Flags() & (SAS_AA_NEEDS_DRIVE | SAS_AA_HAS_DRIVE), SAS_AA_NEEDS_DRIVE | SAS_AA_HAS_DRIVE)
        << "held without asking anyone: the drive takes commands";
    ReleaseSASTarget(bTarget);
    EXPECT_EQ(Flags() & (SAS_AA_NEEDS_DRIVE | SAS_AA_HAS_DRIVE), 0u);
}

// With a partner a hold is asked for; asked by both at once, controller 1
// keeps the drive.
TEST_F(ActiveActiveTest, BothAskingAtOnceControllerOneKeepsTheDrive) {
    Dual();
    SetSASTargetFlagBits(bTarget, SAS_AA_ASKED_PARTNER);
    ASSERT_EQ(bGetControllerNumber(), 1);
    EXPECT_EQ(fAnswerPartnerSlotHold(ps->bEnclosure, ps->bSlot, TRUE), FALSE);
    EXPECT_TRUE(Flags() & SAS_AA_REFUSED_PARTNER);
    PartnerSlotHoldDone(ps->bEnclosure, ps->bSlot, TRUE, STATUS_OK);
    EXPECT_EQ(Flags() & (SAS_AA_ASKED_PARTNER | SAS_AA_HAS_DRIVE), SAS_AA_HAS_DRIVE);
    EXPECT_EQ(fAnswerPartnerSlotHold(ps->bEnclosure, ps->bSlot, TRUE), FALSE) << "we have it";
    PartnerSlotHoldDone(ps->bEnclosure, ps->bSlot, FALSE, STATUS_OK);
    EXPECT_FALSE(Flags() & SAS_AA_HAS_DRIVE);
    // Not asking: the partner gets it, and lets it go again.
    EXPECT_EQ(fAnswerPartnerSlotHold(ps->bEnclosure, ps->bSlot, TRUE), TRUE);
    EXPECT_EQ(Flags() & (SAS_AA_PARTNER_HAS_DRIVE | SAS_AA_REFUSED_PARTNER), SAS_AA_PARTNER_HAS_DRIVE);
    EXPECT_EQ(fAnswerPartnerSlotHold(ps->bEnclosure, ps->bSlot, FALSE), TRUE);
    EXPECT_FALSE(Flags() & SAS_AA_PARTNER_HAS_DRIVE);
    // Empty and impossible slots are the partner's to take.
    EXPECT_EQ(fAnswerPartnerSlotHold(ps->bEnclosure, 31, TRUE), TRUE);
    EXPECT_EQ(fAnswerPartnerSlotHold(0xFF, 0xFF, TRUE), TRUE);
    PartnerSlotHoldDone(0xFF, 0xFF, TRUE, STATUS_OK);
}

// A path is quiet for a target that is no drive, one held off, or one
// being reset or recovered.
TEST_F(ActiveActiveTest, PathQuietAndHeldForError) {
    EXPECT_EQ(fIsSASPathQuiet(0xFE), TRUE);
    EXPECT_EQ(fIsSASPathQuiet(bTarget), FALSE);
    SetSASTargetFlagBits(bTarget, 0x40);
    EXPECT_EQ(fIsSASPathQuiet(bTarget), TRUE);
    ClearSASTargetFlagBits(bTarget, 0x40);
    ExtendSASTargetHoldOff(bTarget, 100);
    EXPECT_EQ(fIsSASPathQuiet(bTarget), TRUE);
    Sleep(101);
    EXPECT_EQ(fIsSASPathQuiet(bTarget), FALSE);
    EXPECT_EQ(fIsSASTargetHeldForError(bTarget), FALSE);
    ps->wDeviceFlags |= 0x20;
    EXPECT_EQ(fIsSASTargetHeldForError(bTarget), TRUE);
    ps->wDeviceFlags &= ~0x20;
}

// A partner heartbeat summing to 901..1099 over three windows is a drive
// side in recovery: the hosts wait and a rescan with an IOC restart
// follows; a healthy partner's sum never starts one.
TEST_F(ActiveActiveTest, APartnerInRecoveryStartsASlotChange) {
    for (uint32_t dSum : {0u, 900u, 1100u, 3000u}) {
        ApplyPartnerHeartbeatWindow(dSum);
        EXPECT_EQ(fIsSASSlotChangeArmed(), FALSE) << dSum;
    }
    EXPECT_EQ(bGetSASHostHoldOffStatus(), STATUS_OK);
    SetSASIOCRestartInProgress(TRUE);
    ApplyPartnerHeartbeatWindow(1000);
    EXPECT_EQ(fIsSASSlotChangeArmed(), FALSE) << "its own restart runs";
    SetSASIOCRestartInProgress(FALSE);
    ApplyPartnerHeartbeatWindow(901);
    EXPECT_EQ(fIsSASSlotChangeArmed(), TRUE);
    EXPECT_EQ(bGetSASSlotChangeSequence(), 1);
    EXPECT_EQ(fIsSASRescanArmed(), TRUE);
    EXPECT_EQ(bGetSASHostHoldOffStatus(), SAS_HOST_HOLD_OFF_RUNNING);
    EXPECT_EQ(fGetSASEnclosurePhyWork(), TRUE);

    SetSasDiscoveryWork(FALSE);
    Sleep(1000);
    ASSERT_EQ(b.board().RunOnCpu([] { EnclosurePhyService(); }), sim::StopKind::Finished);
    EXPECT_EQ(fIsSASIOCRestartRequested(), FALSE) << "before the rescan deadline";
    EXPECT_EQ(fGetSASEnclosurePhyWork(), TRUE);
    SetDriveSidePhaseByte(0);
    Sleep(1000);
    ASSERT_EQ(b.board().RunOnCpu([] { EnclosurePhyService(); }), sim::StopKind::Finished);
    EXPECT_EQ(fIsSASIOCRestartRequested(), TRUE);
    EXPECT_EQ(bGetDriveSidePhaseByte(), 2) << "the phase of a coming IOC restart";
    EXPECT_EQ(fGetSasDiscoveryWork(), TRUE);
    EXPECT_EQ(fIsSASSlotChangeArmed(), FALSE);
    EXPECT_EQ(fIsSASRescanArmed(), FALSE);
    EXPECT_EQ(fGetSASEnclosurePhyWork(), FALSE);
    EXPECT_EQ(bGetSASHostHoldOffStatus(), SAS_HOST_HOLD_OFF_RUNNING) << "the hosts wait out their 60 s";
    Sleep(58001);
    EXPECT_EQ(bGetSASHostHoldOffStatus(), STATUS_OK);
    SetSASIOCRestartRequest(FALSE);
    SetSasDiscoveryWork(FALSE);
}

// Enclosure phys turned off come back on after five quiet minutes; a
// slot change keeps them off longer.
TEST_F(ActiveActiveTest, EnclosurePhysComeBackAfterFiveMinutes) {
    const uint8_t bEnclosure = ps->bEnclosure;
    ASSERT_EQ(b.board().RunOnCpu([bEnclosure] { DisableEnclosureEndDevicePhys(bEnclosure); }), sim::StopKind::Finished);
    EXPECT_EQ(fGetSASEnclosurePhysEnabled(), FALSE);
    const uint32_t dResets = PhyLinkResets();
    Sleep(200000);
    SetSASSlotChangeArmed(TRUE);
    ASSERT_EQ(b.board().RunOnCpu([] { EnclosurePhyService(); }), sim::StopKind::Finished);
    SetSASSlotChangeArmed(FALSE);
    Sleep(200000);
    ASSERT_EQ(b.board().RunOnCpu([] { EnclosurePhyService(); }), sim::StopKind::Finished);
    EXPECT_EQ(fGetSASEnclosurePhysEnabled(), FALSE) << "restamped by the slot change";
    EXPECT_EQ(PhyLinkResets(), dResets);
    Sleep(100001);
    ASSERT_EQ(b.board().RunOnCpu([] { EnclosurePhyService(); }), sim::StopKind::Finished);
    EXPECT_EQ(fGetSASEnclosurePhysEnabled(), TRUE);
    EXPECT_GT(PhyLinkResets(), dResets);
    EXPECT_EQ(fGetSASEnclosurePhyWork(), FALSE);
}

// A phy whose expander refuses its PHY CONTROL stays as it was; the pass
// goes on with every other phy of the enclosure and waits on none.
TEST_F(ActiveActiveTest, ARefusedPhyControlLeavesTheRestOfThePassGoing) {
    ASSERT_EQ(ps->bEnclosure, 1);
    ASSERT_EQ(b.board().RunOnCpu([] { DisableEnclosure1EndDevicePhys(); }), sim::StopKind::Finished);
    PollFor(10);
    EXPECT_EQ(fGetSASEnclosurePhysEnabled(), FALSE);
    for (unsigned uSlot : {1u, 2u, 4u, 8u}) EXPECT_FALSE(chassis.PhyOfSlot(uSlot).enabled) << uSlot;
    sim::ExpanderPhy& sRefusing = chassis.PhyOfSlot(3);
    sRefusing.refusesControl = true;
    const uint32_t dResets = PhyLinkResets();
    Sleep(300001);
    ASSERT_EQ(b.board().RunOnCpu([] { EnclosurePhyService(); }), sim::StopKind::Finished);
    PollFor(10);
    EXPECT_EQ(sRefusing.linkResets, 0u);
    EXPECT_FALSE(sRefusing.enabled);
    for (unsigned uSlot : {1u, 2u, 4u, 8u}) EXPECT_TRUE(chassis.PhyOfSlot(uSlot).enabled) << uSlot;
    EXPECT_GE(PhyLinkResets(), dResets + 7);
    // Every answer came back: no phy is left waiting for one.
    const SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    for (uint8_t p = 0; p < psList->asExpander[0].bNumPhys; ++p) {
        EXPECT_EQ(bGetSASPhyState(0, p) & SMP_PHY_OUTSTANDING, 0) << int(p);
    }
    sRefusing.refusesControl = false;
}

}  // namespace
