// What a device list rebuild does about what changed since the last one:
// a drive that left has its commands ended once and is reset, one that
// only moved keeps them; the partner's enclosure processors and drives are
// listed through it, within the list's room.  And the drive side's dumps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <cstring>
#include <string>
#include <vector>

#include "drive_side_fixture.h"
#include "eventlog/event_log.h"
#include "executive/kernel_queue.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "raid/drive_error_recovery.h"
#include "sas/command_timeouts.h"
#include "harness/dispatch_board.h"
#include "sas/active_active.h"
#include "sas/reply_dispatch.h"
#include "sas/request_frames.h"
#include "sas/sas_flags.h"
#include "sas/slot_phy_actions.h"

namespace {

using namespace fw;

class DeviceListRebuildTest : public sastest::DriveSideTest {
protected:
    void SetUp() override {
        DriveSideTest::SetUp();
        ASSERT_EQ(b.board().RunOnCpu([] {
            InitEventLog();
            SetInitializationComplete(TRUE);
        }),
                  sim::StopKind::Finished);
    }
    // What a dump printed, without the console's carriage returns.  Printed
    // as at start of day: straight out, not through the main loop's ring.
    std::string Screen(const std::function<void()>& fnShow) {
        b.board().ClearConsoleText();
        EXPECT_EQ(b.board().RunOnCpu([&] {
            SetInitializationComplete(FALSE);
            fnShow();
            SetInitializationComplete(TRUE);
        }),
                  sim::StopKind::Finished);
        std::string s = b.board().ConsoleText();
        s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
        return s;
    }
    static SAS_STP_ENTRY* Stp(SAS_DEVICE_LIST* psList, uint8_t i) {
        return reinterpret_cast<SAS_STP_ENTRY*>(psList->aabStp[i]);
    }
    // A host command standing in as the mother of drive commands.
    static KERNEL_ENTRY* Mother() {
        KERNEL_ENTRY* ps = nullptr;
        EXPECT_EQ(bAllocKernelEntries(0, 1, &ps), STATUS_OK);
        if (ps != nullptr) ps->fUsed = TRUE;
        return ps;
    }
    // A one-block read for the target, on the new-command ring.
    KERNEL_ENTRY* QueueRead(uint8_t bTarget, uint32_t dLba, KERNEL_ENTRY* psMother = nullptr) {
        KERNEL_ENTRY* ps = sastest::BuildRead(bTarget, dLba, 1, Buffer(), 512);
        EXPECT_NE(ps, nullptr);
        if (ps == nullptr) return nullptr;
        ps->psMother = psMother;
        ps->bPrimaryState = PS_NEW_COMMAND;
        EXPECT_EQ(QueueKernelEntry(PORT_CODE_INITIATOR, ps->wIndex), STATUS_OK);
        return ps;
    }
    // The ring is served once: each of the commands ends as one for a
    // device that is not there, and the IOC is sent `dSentBesides` others.
    void ExpectServedAsGone(std::initializer_list<KERNEL_ENTRY*> aps, uint32_t dSentBesides = 0) {
        const uint32_t dSent = ioc->scsiRequests();
        ASSERT_EQ(b.board().RunOnCpu([] { DriveIocService(LSI_IOC_DRIVE); }), sim::StopKind::Finished);
        for (KERNEL_ENTRY* ps : aps) {
            EXPECT_EQ(ps->bPrimaryState, PS_COMPLETED);
            EXPECT_EQ(psSasFields(ps)->bScsiStatus, DRIVE_STATUS_TIMED_OUT);
        }
        EXPECT_EQ(ioc->scsiRequests(), dSent + dSentBesides);
    }
};

// The drive is pulled with a read outstanding that it never answered and
// another still queued for it.  The rebuild ends each once as a command
// for a drive that is not there (the drive error road's ending, which the
// arrays serve from redundancy), not as aborted by a host: the mother of
// the outstanding one is not marked.  The target is reset, the removal
// reported, and the queued read never reaches the IOC.
TEST_F(DeviceListRebuildTest, ADriveThatLeavesEndsItsCommandsOnceAsGoneAndIsReset) {
    const uint8_t bTarget = TargetOfSlot(5);
    chassis.DriveAt(5)->SetNoResponse(true);
    KERNEL_ENTRY* psMother = Mother();
    KERNEL_ENTRY* ps = sastest::BuildRead(bTarget, 0, 1, Buffer(), 512);
    ASSERT_NE(ps, nullptr);
    ps->psMother = psMother;
    ASSERT_EQ(b.board().RunOnCpu([&] { (void)SendSCSICommand(ps); }), sim::StopKind::Finished);
    KERNEL_ENTRY* psQueued = QueueRead(bTarget, 8);
    const uint32_t dResets = ioc->targetResets();
    const sim::DriveConfig sDrive = *chassis.ConfigAt(5);

    chassis.Pull(5);
    Rediscover();
    EXPECT_EQ(ps->bPrimaryState, PS_COMPLETED);
    EXPECT_EQ(psSasFields(ps)->bScsiStatus, DRIVE_STATUS_TIMED_OUT);
    EXPECT_EQ(psMother->lFlags & KE_FLAG_ABORTED, 0u);
    EXPECT_EQ(ioc->targetResets(), dResets + 1);
    EXPECT_EQ(wGetCommandCompleteCount(PORT_CODE_INITIATOR), 1);
    const EVENT_LOG_ENTRY* psEvent = harness::NewestEvent(118);
    ASSERT_NE(psEvent, nullptr);
    EXPECT_EQ(psEvent->abArgs[12], 5);
    EXPECT_EQ(fIsSASTargetGone(bTarget), TRUE);

    ExpectServedAsGone({psQueued});
    EXPECT_EQ(wGetNewCommandCount(PORT_CODE_INITIATOR), 0);
    PollFor(500);
    EXPECT_EQ(wGetCommandCompleteCount(PORT_CODE_INITIATOR), 2);
    // The reset was answered: the target takes commands again.
    EXPECT_EQ(dGetSASTargetFlags(bTarget) & SAS_TARGET_FLAG_REFUSE, 0u);

    // The drive comes back: listed again, it is served, not ended as gone.
    chassis.Insert(5, sDrive);
    Rediscover();
    const uint8_t bBack = TargetOfSlot(5);
    EXPECT_EQ(fIsSASTargetGone(bBack), FALSE);
    EXPECT_EQ(Wait(bBack, {0x00}, 0, FALSE).bResult, STATUS_OK);
}

// The list gives the id of a drive that left to another drive in the same
// pass: what was queued for the one that left ends once as gone, and what
// is queued for the newcomer behind it is sent to it.
TEST_F(DeviceListRebuildTest, AnIdGivenToAnotherDriveEndsOnlyWhatTheOneThatLeftHadQueued) {
    const uint8_t bTarget = TargetOfSlot(5);
    KERNEL_ENTRY* psOld = QueueRead(bTarget, 8);
    // The drive the list held at the id had another address.
    SAS_DEVICE_LIST* psPrevious = pGetPreviousSASDriveInfoList();
    for (uint8_t i = 0; i < psPrevious->bEntryCount; ++i) {
        if (psPrevious->asEntry[i].bTargetId == bTarget) psPrevious->asEntry[i].adSASAddress[0] ^= 0x100;
    }
    Rediscover();
    EXPECT_EQ(fIsSASTargetGone(bTarget), FALSE);
    KERNEL_ENTRY* psNew = QueueRead(bTarget, 16);
    ASSERT_NE(psNew, nullptr);
    PollFor(500);  // the reset of the one that left is answered

    ExpectServedAsGone({psOld}, 1);
    PollFor(500, [&] { return psNew->bPrimaryState == PS_COMPLETED; });
    EXPECT_EQ(psNew->bPrimaryState, PS_COMPLETED);  // answered by the drive
    EXPECT_EQ(wGetCommandCompleteCount(PORT_CODE_INITIATOR), 2);
    // What comes later for the id is the newcomer's.
    EXPECT_EQ(Wait(bTarget, {0x00}, 0, FALSE).bResult, STATUS_OK);
}

// Drives reached through the partner: one the partner no longer lists, and
// then all of them when the partner goes.  What was queued for each ends
// once, as for a drive that is not there, never sent and its mother not
// marked aborted; the ids stay gone until listed again.
TEST_F(DeviceListRebuildTest, AProxyThatGoesEndsWhatWasQueuedForItOnceAsGone) {
    SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    ASSERT_LT(psList->bEntryCount + 2, SAS_MAX_DEVICES);
    const uint8_t abProxy[2] = {0x85, 0x86};
    KERNEL_ENTRY* psMother = Mother();
    ASSERT_EQ(b.board().RunOnCpu([&] {
        for (int i = 0; i < 2; ++i) {
            SAS_DEVICE_ENTRY& s = psList->asEntry[psList->bEntryCount++];
            s = psList->asEntry[0];
            s.bTargetId = abProxy[i];
            s.bControllerNumber = static_cast<uint8_t>(bGetControllerNumber() ^ 1);
            s.bSlot = static_cast<uint8_t>(20 + i);
        }
        // The partner's list holds the second only.
        SAS_DEVICE_LIST* psPartner = pGetOCSASDriveInfoList();
        psPartner->bEntryCount = 1;
        psPartner->asEntry[0] = psList->asEntry[psList->bEntryCount - 1];
        psPartner->asEntry[0].bTargetId = abProxy[1] & 0x7F;
        // (the fixture has no stored configuration to apply again)
        SetInitializationComplete(FALSE);
        MergePartnerDeviceList(FALSE);
        SetInitializationComplete(TRUE);
    }),
              sim::StopKind::Finished);
    EXPECT_EQ(fIsSASTargetGone(abProxy[0]), TRUE);
    EXPECT_EQ(fIsSASTargetGone(abProxy[1]), FALSE);
    KERNEL_ENTRY* psFirst = QueueRead(abProxy[0], 0, psMother);
    KERNEL_ENTRY* psSecond = QueueRead(abProxy[1], 0, psMother);
    ASSERT_NE(psSecond, nullptr);
    ASSERT_EQ(b.board().RunOnCpu([] { DropPartnerDeviceEntries(); }), sim::StopKind::Finished);
    EXPECT_EQ(fIsSASTargetGone(abProxy[1]), TRUE);
    ExpectServedAsGone({psFirst, psSecond});
    EXPECT_EQ(psMother->lFlags & KE_FLAG_ABORTED, 0u);
    EXPECT_EQ(wGetCommandCompleteCount(PORT_CODE_INITIATOR), 2);
    EXPECT_EQ(wGetNewCommandCount(PORT_CODE_INITIATOR), 0);
}

// An enclosure processor reached through the partner that changed
// (another address at its id): what was queued for the one before ends
// once as gone, not as aborted by a host, and is never sent on.
TEST_F(DeviceListRebuildTest, AChangedEnclosureProcessorEndsWhatWasQueuedForTheOldOne) {
    // (the fixture has no partner path: each rebuild empties the partner's
    // list, so the test hands it over before each)
    const auto fnPartnerLists = [](uint32_t dAddress) {
        SAS_DEVICE_LIST* psPartner = pGetOCSASDriveInfoList();
        psPartner->bStpCount = 1;
        SAS_STP_ENTRY* psP = Stp(psPartner, 0);
        std::memset(psP, 0, sizeof *psP);
        psP->adSASAddress[0] = dAddress;
        psP->bTargetId = 10;
        psP->bEnclosure = 2;
    };
    fnPartnerLists(0x5000);
    Rediscover();
    const uint8_t bTarget = 10 | SAS_PROXY_TARGET_BIT;
    ASSERT_EQ(bGetSASDeviceIndexOfTarget(bTarget), SAS_DEVICE_INDEX_PROXY);
    KERNEL_ENTRY* psMother = Mother();
    KERNEL_ENTRY* ps = QueueRead(bTarget, 0, psMother);
    ASSERT_NE(ps, nullptr);
    fnPartnerLists(0x5001);
    Rediscover();
    EXPECT_EQ(bGetSASDeviceIndexOfTarget(bTarget), SAS_DEVICE_INDEX_PROXY);
    EXPECT_EQ(fIsSASTargetGone(bTarget), FALSE);
    ExpectServedAsGone({ps});
    EXPECT_EQ(psMother->lFlags & KE_FLAG_ABORTED, 0u);
    EXPECT_EQ(wGetCommandCompleteCount(PORT_CODE_INITIATOR), 1);
}

// A reset the IOC never answers lets its target go at its deadline, or the
// refusal it set would hold every command for the target (and the queue
// behind them) for good; the scan takes it for no command of its own.
TEST_F(DeviceListRebuildTest, AResetNeverAnsweredStopsRefusingItsTargetAtItsDeadline) {
    const uint8_t bTarget = TargetOfSlot(3);
    ASSERT_EQ(b.board().RunOnCpu([&] {
        KernelPoolLock sLock;
        ASSERT_EQ(bSendSASTaskManagement(bTarget, 0, MPI_TASKTYPE_TARGET_RESET, 0), STATUS_OK);
        // Its answer is lost on the way: taken off the reply FIFO unread,
        // the frame given back to the IOC.
        const uint32_t dQueue = psGetLSIAdapter(LSI_IOC_DRIVE)->sInterface.pdReplyQueue;
        const uint32_t dWord = Reg32Read(dQueue);
        ASSERT_NE(dWord, MPI_REPLY_FIFO_EMPTY);
        Reg32Write(dQueue, dWord << 1);
    }),
              sim::StopKind::Finished);
    auto scanFor = [&](uint32_t dMs) {
        ASSERT_EQ(b.board().RunOnCpu([&] {
            const uint64_t lEnd = lGetTickCount() + dMs;
            while (lGetTickCount() < lEnd) {
                HwPoll();
                SASCommandTimeoutScan();
            }
        }),
                  sim::StopKind::Finished);
    };
    scanFor(9000);
    EXPECT_NE(dGetSASTargetFlags(bTarget) & SAS_TARGET_FLAG_REFUSE, 0u);
    EXPECT_EQ(dGetSASTaskManagementCount(), 1u);
    scanFor(2000);
    EXPECT_EQ(dGetSASTargetFlags(bTarget) & SAS_TARGET_FLAG_REFUSE, 0u);
    EXPECT_EQ(dGetSASTaskManagementCount(), 0u);
    EXPECT_EQ(Wait(bTarget, {0x00}, 0, FALSE).bResult, STATUS_OK);
}

// The same drive in another slot is not gone: what waits for it is not
// ended and it is not reset.
TEST_F(DeviceListRebuildTest, ADriveThatOnlyMovedKeepsItsCommands) {
    const uint8_t bTarget = TargetOfSlot(4);
    KERNEL_ENTRY* ps = sastest::BuildRead(bTarget, 0, 1, Buffer(), 512);
    ASSERT_NE(ps, nullptr);
    const uint32_t dResets = ioc->targetResets();
    const sim::DriveConfig sDrive = *chassis.ConfigAt(4);
    chassis.Pull(4);
    chassis.Insert(10, sDrive);
    Rediscover();
    EXPECT_EQ(ioc->targetResets(), dResets);
    EXPECT_EQ(ps->lFlags & KE_FLAG_ABORTED, 0u);
    EXPECT_EQ(ps->wTargetId, TargetOfSlot(10));
    uint8_t bEnclosure = 0, bSlot = 0;
    ASSERT_EQ(bGetEnclosureSlotOfTarget(TargetOfSlot(10), &bEnclosure, &bSlot), STATUS_OK);
    EXPECT_EQ(bSlot, 10);
}

// The partner's enclosure processors that this controller does not reach
// are listed with the proxy bit, in enclosure order, its own first and
// never beyond the table.
TEST_F(DeviceListRebuildTest, ThePartnersProcessorsAreListedThroughIt) {
    SAS_DEVICE_LIST* psPartner = pGetOCSASDriveInfoList();
    psPartner->bStpCount = 99;  // more than a list holds: cut to its room
    for (uint8_t i = 0; i < SAS_MAX_STP_ENTRIES; ++i) {
        SAS_STP_ENTRY* ps = Stp(psPartner, i);
        std::memset(ps, 0, sizeof *ps);
        ps->adSASAddress[0] = 0x5000 + i;
        ps->bTargetId = static_cast<uint8_t>(10 + i);
        ps->bEnclosure = static_cast<uint8_t>(SAS_MAX_STP_ENTRIES + 1 - i);
    }
    Stp(psPartner, 7)->bTargetId = 0xFF;  // names no target: left out
    Rediscover();

    SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    EXPECT_EQ(psList->bStpCount, SAS_MAX_STP_ENTRIES - 1);
    for (uint8_t i = 1; i < psList->bStpCount; ++i) EXPECT_LE(Stp(psList, i - 1)->bEnclosure, Stp(psList, i)->bEnclosure);
    const SAS_STP_ENTRY* psLast = Stp(psList, psList->bStpCount - 1);
    EXPECT_EQ(psLast->bTargetId, 10 | SAS_PROXY_TARGET_BIT);
    EXPECT_EQ(bGetSASDeviceIndexOfTarget(psLast->bTargetId), SAS_DEVICE_INDEX_PROXY);
    EXPECT_EQ(psGetSASDeviceOfTarget(psLast->bTargetId), nullptr);
    EXPECT_EQ(dGetSASTargetFlags(psLast->bTargetId), SAS_TARGET_FLAG_NATIVE);
}

// A reset asked for at the console is counted and stamped on the entry.
TEST_F(DeviceListRebuildTest, AResetIsCountedOnTheDevicesEntry) {
    const uint8_t bTarget = TargetOfSlot(2);
    ASSERT_EQ(b.board().RunOnCpu([&] {
        MarkSasDeviceReset(bTarget, FALSE, FALSE);
        SpinDelayMs(10);
        MarkSasDeviceReset(bTarget, FALSE, TRUE);
        MarkSasDeviceReset(0x7E, FALSE, TRUE);  // no device: nothing
    }),
              sim::StopKind::Finished);
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->bResetCount, 2);
    EXPECT_NE(ps->lResetTime, 0u);
    EXPECT_EQ(ps->lResetTimeCopy, ps->lResetTime);
    EXPECT_NE(ps->bStatus & SAS_DEVICE_STATUS_RESET_PENDING, 0);
}

// The dumps: each SAS drive's two ports' link error counters from its port
// log page (a reset of the drive costs port 1 its dword sync), and the
// drive IOC's PCI configuration header.
TEST_F(DeviceListRebuildTest, DumpsShowEachDrivesPortCountersAndTheIocsPciHeader) {
    const uint8_t bTarget = TargetOfSlot(3);
    ASSERT_EQ(b.board().RunOnCpu([&] { (void)bSendSASTaskManagement(bTarget, 0, MPI_TASKTYPE_TARGET_RESET, 0); }),
              sim::StopKind::Finished);
    PollFor(10);
    const std::string sText = Screen([] { ShowSASSlotPortCounters(); });
    // Port 1's third counter (loss of dword sync), each drive's line.
    std::vector<unsigned> aResets;
    for (unsigned slot = 1; slot <= 8; ++slot) {
        SCOPED_TRACE(slot);
        const std::string sLine = "Enc:01 Slot:0" + std::to_string(slot) + " {Port:1 - ";
        const size_t n = sText.find(sLine);
        ASSERT_NE(n, std::string::npos) << sText;
        const std::string sCounters = sText.substr(n + sLine.size(), 90);
        EXPECT_EQ(sCounters.substr(0, 20), "00000000  00000000  ");
        EXPECT_EQ(sCounters.substr(28), "  00000000}  {Port:2 - 00000000  00000000  00000000  00000000}");
        aResets.push_back(static_cast<unsigned>(std::stoul(sCounters.substr(20, 8), nullptr, 16)));
    }
    EXPECT_EQ(aResets[2], aResets[0] + 1);
    EXPECT_EQ(aResets[1], aResets[0]);

    const std::string sPci = Screen([] { ShowTar1PciRegisters(); });
    char acExpected[400];
    std::snprintf(acExpected, sizeof acExpected,
                  "************************\n TAR1 PCI IO Registers:\nVendor ID: %04x\nDevice ID: %04x\n"
                  "Command  : %04x\nStatus   : %04x\nnext     : %08x\nnext     : %08x\nIO Base  : %08x\n"
                  "************************\n",
                  ioc->ConfigRead(0) & 0xFFFF, ioc->ConfigRead(0) >> 16, ioc->ConfigRead(4) & 0xFFFF,
                  ioc->ConfigRead(4) >> 16, ioc->ConfigRead(8), ioc->ConfigRead(12), ioc->ConfigRead(16));
    EXPECT_EQ(sPci, acExpected);
}

}  // namespace
