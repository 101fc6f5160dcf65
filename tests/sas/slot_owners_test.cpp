// Slots shared by two controllers: who owns which slot, and the slot
// events the partner or the console asks for.
#include <gtest/gtest.h>

#include "executive/kernel_queue.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "hw/scsi.h"
#include "partner/partner_messages.h"
#include "partner/partner_slot_holds.h"
#include "sas/active_active.h"
#include "sas/mpi_interface.h"
#include "sas/drive_side_fixture.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"
#include "sas/slot_owners.h"

namespace {

using namespace fw;

class SlotOwnersTest : public sastest::DriveSideTest {
protected:
    void TearDown() override { SetSASActiveActiveState(8); }
    void Sleep(uint32_t dMs) {
        ASSERT_EQ(b.board().RunOnCpu([dMs] { SpinDelayMs(dMs); }), sim::StopKind::Finished);
    }
    static std::vector<uint8_t> Owners(uint8_t bEnclosure) {
        std::vector<uint8_t> ab;
        for (uint8_t s = 1; s <= SLOT_OWNER_MAP_SLOTS; ++s) ab.push_back(bGetSlotOwnerController(bEnclosure, s));
        return ab;
    }
    // A second enclosure behind a usable expander of the given kind.
    static void AddEnclosure(uint8_t bEnclosure, uint8_t bType) {
        SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
        SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(psList);
        SAS_EXPANDER& s = psList->asExpander[psHeader->bExpanderCount++];
        s.bEnclosure = bEnclosure;
        s.fUsable = TRUE;
        s.bEnclosureType = bType;
    }
};

// Without drives shared slot by slot each controller keeps half a shelf;
// with them the maps decide: this board's own shelf alternates, an
// expansion shelf alternates or goes in threes by its kind, and a slot no
// map covers falls back to the halves.
TEST_F(SlotOwnersTest, OwnersFollowTheMapsOnlyWhileDrivesAreShared) {
    const std::vector<uint8_t> abHalves = {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2};
    const std::vector<uint8_t> abAlternating = {1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2};
    const std::vector<uint8_t> abGrouped = {1, 1, 1, 2, 2, 2, 1, 1, 1, 2, 2, 2};
    ASSERT_EQ(fIsSASActiveActiveModeSet(), TRUE);
    EXPECT_EQ(Owners(1), abAlternating) << "discovery set the maps up";
    AddEnclosure(2, 6);
    AddEnclosure(3, 0);
    SetupSlotOwnerMaps();
    EXPECT_EQ(Owners(2), abAlternating);
    EXPECT_EQ(Owners(3), abGrouped);
    EXPECT_EQ(bGetSlotOwnerController(1, 13), 2);
    EXPECT_EQ(bGetSlotOwnerController(0, 2), 1);
    EXPECT_EQ(bGetSlotOwnerController(SLOT_OWNER_MAP_ENCLOSURES + 1, 8), 2);
    SetSASActiveActiveState(3);
    EXPECT_EQ(Owners(1), abHalves);
    EXPECT_EQ(Owners(3), abHalves);
}

// Kind 1 starts the slot-change sequence the partner names, once: the
// hosts wait 15 s and a rescan follows 5 s on; a second one while the first
// is under way changes nothing.  Carried by message 213, kind and argument
// in bytes 4 and 5.
TEST_F(SlotOwnersTest, ASlotChangeIsArmedOnceWithTheSequenceGiven) {
    ASSERT_EQ(fIsSASSlotChangeArmed(), FALSE);
    uint8_t abCdb[16] = {213, 0, 1, 4, SLOT_EVENT_SLOT_CHANGE, 7};
    EXPECT_EQ(bReceiveSasSlotEvent(abCdb, 0), STATUS_OK);
    EXPECT_EQ(fIsSASSlotChangeArmed(), TRUE);
    EXPECT_EQ(bGetSASSlotChangeSequence(), 7);
    EXPECT_EQ(fIsSASRescanArmed(), TRUE);
    EXPECT_EQ(bGetSASHostHoldOffStatus(), SAS_HOST_HOLD_OFF_RUNNING);
    ProcessSASSlotEvent(0, 0, 9, SLOT_EVENT_SLOT_CHANGE);
    EXPECT_EQ(bGetSASSlotChangeSequence(), 7);
    SetSASSlotChangeArmed(FALSE);
    SetSASRescanArmed(FALSE);
    SetSASHostHoldOff(0);
}

// A drive reset the partner reports (kind 3) matters here only while the
// drive has commands; a visibility change (kind 2) resets it regardless.
// A reset holds the drive off for 5 s, and a drive already held off is
// left alone.  Slots without a drive are ignored.
TEST_F(SlotOwnersTest, ADriveIsResetOnlyWhenItsSlotEventAsks) {
    const uint8_t bTarget = TargetOfSlot(2);
    const uint32_t dResets = ioc->targetResets();
    ProcessSASSlotEvent(1, 2, 0, SLOT_EVENT_DRIVE_RESET);
    Sleep(1);
    EXPECT_EQ(ioc->targetResets(), dResets) << "an idle drive";
    EXPECT_LE(lGetSASTargetHoldOff(bTarget), lGetTickCount());
    const uint64_t lNow = lGetTickCount();
    ProcessSASSlotEvent(1, 2, 0, SLOT_EVENT_VISIBILITY);
    EXPECT_EQ(lGetSASTargetHoldOff(bTarget), lNow + 5000);
    Sleep(1);
    EXPECT_EQ(ioc->targetResets(), dResets + 1);
    ProcessSASSlotEvent(1, 2, 0, SLOT_EVENT_VISIBILITY);
    Sleep(1);
    EXPECT_EQ(ioc->targetResets(), dResets + 1) << "held off already";
    const uint8_t abEmpty[16] = {213, 0, 1, 12, SLOT_EVENT_VISIBILITY, 0};
    EXPECT_EQ(bReceiveSasSlotEvent(abEmpty, 0), STATUS_OK);
    const uint8_t abOutside[16] = {213, 0, 200, 200, SLOT_EVENT_VISIBILITY, 0};
    EXPECT_EQ(bReceiveSasSlotEvent(abOutside, 0), STATUS_OK);
    EXPECT_EQ(ioc->targetResets(), dResets + 1);
    SetSASTargetHoldOff(bTarget, 0);
}

// A drive that holds commands it does not answer is reset at its slot
// event and what it held is sent again once its hold-off ends: each
// command answered once, by the drive, never lost to the reset.
TEST_F(SlotOwnersTest, WhatAResetDriveHeldIsSentAgainAndAnsweredOnce) {
    constexpr unsigned kSlot = 6;
    const uint8_t bTarget = TargetOfSlot(kSlot);
    chassis.DriveAt(kSlot)->SetNoResponse(true);
    KERNEL_ENTRY* ps = sastest::BuildRead(bTarget, 40, 1, Buffer(), 512);
    ASSERT_NE(ps, nullptr);
    ASSERT_EQ(b.board().RunOnCpu([&] { (void)SendSCSICommand(ps); }), sim::StopKind::Finished);
    ASSERT_NE(wGetSASTargetCommandCount(bTarget, FALSE), 0);
    const uint32_t dResets = ioc->targetResets();
    ASSERT_EQ(b.board().RunOnCpu([] { ProcessSASSlotEvent(1, kSlot, 0, SLOT_EVENT_DRIVE_RESET); }),
              sim::StopKind::Finished);
    EXPECT_EQ(ps->bPrimaryState, PS_NEW_COMMAND);
    chassis.DriveAt(kSlot)->SetNoResponse(false);
    PollFor(10);
    EXPECT_EQ(ioc->targetResets(), dResets + 1);
    // Held off: the queue's service leaves it waiting until the time is up.
    const auto Serve = [&](uint32_t dMs) {
        ASSERT_EQ(b.board().RunOnCpu([&] {
            const uint64_t lEnd = lGetTickCount() + dMs;
            while (lGetTickCount() < lEnd) {
                DriveIocService(LSI_IOC_DRIVE);
                HwPoll();
            }
        }),
                  sim::StopKind::Finished);
    };
    Serve(4000);
    EXPECT_EQ(wGetCommandCompleteCount(PORT_CODE_INITIATOR), 0);
    Serve(2000);
    EXPECT_EQ(wGetCommandCompleteCount(PORT_CODE_INITIATOR), 1);
    EXPECT_EQ(ps->bPrimaryState, PS_COMPLETED);
    // The drive answers the read sent again, the first command since its
    // reset: with the reset's unit attention, which the drive error
    // handling retries.
    EXPECT_EQ(psSasFields(ps)->bScsiStatus, SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(psSasFields(ps)->bSenseKey, SENSE_UNIT_ATTENTION);
    Serve(100);
    EXPECT_EQ(wGetCommandCompleteCount(PORT_CODE_INITIATOR), 1);
}

}  // namespace
