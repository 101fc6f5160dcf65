// The drive side under faults: the IOC's events (links and devices that
// change, drives that reset themselves, discoveries that fail, a full task
// set, a bus reset) and the time-out scan's judgement of drives that stop
// answering: reset and send again, or take the drive out.
#include <gtest/gtest.h>

#include <functional>

#include "config/config_image.h"
#include "config/default_config.h"
#include "enclosure/drive_error_counters.h"
#include "drive_side_fixture.h"
#include "eventlog/event_log.h"
#include "executive/kernel_queue.h"
#include "executive/progress.h"
#include "executive/tick.h"
#include "executive/work_flags.h"
#include "harness/dispatch_board.h"
#include "sim/enclosure_processor.h"
#include "hw/mpi.h"
#include "hw/scsi.h"
#include "sas/command_timeouts.h"
#include "sas/request_frames.h"
#include "sas/ioc_events.h"
#include "sas/sas_failback.h"
#include "sas/slot_phy_actions.h"
#include "sas/smp.h"
#include "target/host_command_codes.h"

namespace {

using namespace fw;
using sastest::BuildRead;

constexpr uint8_t kEventOutOfService = 14;
constexpr uint8_t kEventDiscoveryError = 15;
constexpr uint8_t kEventDiscoveryEnded = 34;
constexpr uint8_t kEventDiscoveryStarted = 35;
constexpr uint8_t kEventTimeout = 40;
constexpr uint8_t kEventInternalReset = 60;
constexpr uint8_t kEventSlotPhyDisabled = 173;
constexpr uint16_t kUnknownHandle = 0x7777;

class IocEventsTest : public sastest::DriveSideTest {
protected:
    void SetUp() override {
        DriveSideTest::SetUp();
        ASSERT_EQ(b.board().RunOnCpu([] {
            InitEventLog();
            InitDriveErrorCounters();
            SetInitializationComplete(TRUE);
            SetSasDiscoveryWork(FALSE);
            SetSasDriveWork(FALSE);
        }),
                  sim::StopKind::Finished);
    }
    // The main loop's part: replies, the time-out scan and the commands it
    // sends again, in steps of 10 ms.
    void Run(uint32_t dMs, const std::function<bool()>& fDone = nullptr) {
        ASSERT_EQ(b.board().RunOnCpu([&] {
            const uint64_t lEnd = lGetTickCount() + dMs;
            while (lGetTickCount() < lEnd && !(fDone && fDone())) {
                HwPoll();
                SASCommandTimeoutScan();
                if (fIsDriveIocServiceRequested(LSI_IOC_DRIVE) == TRUE) DriveIocService(LSI_IOC_DRIVE);
                ++dMainLoopCycles;   // the main loop's watchdog sees it running
                SpinDelayMs(10);
            }
        }),
                  sim::StopKind::Finished)
            << b.board().ConsoleText();
    }
    static uint64_t lNow() { return lGetTickCount(); }
    // A read of the drive in the slot, handed to the IOC.
    KERNEL_ENTRY* Read(unsigned slot) {
        KERNEL_ENTRY* ps = BuildRead(TargetOfSlot(slot), 64, 1, Buffer(), 512);
        EXPECT_NE(ps, nullptr);
        if (ps == nullptr) return nullptr;
        uint8_t bSend = 0;
        EXPECT_EQ(b.board().RunOnCpu([&] { bSend = SendSCSICommand(ps); }), sim::StopKind::Finished);
        EXPECT_EQ(bSend, SEND_POSTED);
        return ps;
    }
    void CountTimeouts(uint8_t bTarget, unsigned n) {
        ASSERT_EQ(b.board().RunOnCpu([&] {
            for (unsigned i = 0; i < n; ++i) {
                ++dMainLoopCycles;
                SpinDelayMs(600);
                (void)bCountSASDriveTimeout(bTarget);
            }
        }),
                  sim::StopKind::Finished);
    }
    void RaiseEvent(uint32_t dEvent, const std::vector<uint32_t>& ad) { ioc->RaiseEvent(dEvent, ad, false); }
    // Time passes with nothing to do (the main loop turning meanwhile).
    void Idle(uint32_t dMs) {
        ASSERT_EQ(b.board().RunOnCpu([&] {
            for (uint32_t d = 0; d < dMs; d += 20000) {
                ++dMainLoopCycles;
                SpinDelayMs(dMs - d < 20000 ? dMs - d : 20000);
            }
        }),
                  sim::StopKind::Finished);
    }
};

// A pull is a device that no longer answers (the drive work looks at the
// list), an insert a device added (discovery runs); each comes with the
// IOC's own discovery starting and ending, acknowledged once.
TEST_F(IocEventsTest, PullAndInsertRaiseTheWorkTheirEventsAskFor) {
    const uint32_t dAcks = ioc->eventAcks();
    const uint32_t dDiscoveries = dGetSASDiscoveriesCompleted();
    const sim::DriveConfig sOld = *chassis.ConfigAt(6);
    chassis.Pull(6);
    PollFor(5);
    EXPECT_EQ(fGetSasDriveWork(), TRUE);
    EXPECT_EQ(fIsSASDiscoveryInProgress(), FALSE);
    EXPECT_EQ(dGetSASDiscoveriesCompleted(), dDiscoveries + 1);
    EXPECT_EQ(harness::CountEvents(kEventDiscoveryStarted), 1u);
    EXPECT_EQ(harness::CountEvents(kEventDiscoveryEnded), 1u);
    EXPECT_EQ(ioc->eventAcks(), dAcks + 1);

    SetSasDriveWork(FALSE);
    SetSasDiscoveryWork(FALSE);
    chassis.Insert(6, sOld);
    PollFor(5);
    EXPECT_EQ(fGetSasDiscoveryWork(), TRUE);
    EXPECT_EQ(ioc->eventAcks(), dAcks + 2);
    EXPECT_EQ(dGetSASIgnoredEventCount(), 0u);
}

// A drive that reset itself lost what it held: those commands come back
// ended, the drive is held off for 5 s and takes commands again once the
// IOC's discovery has ended; the reset is counted and logged.
TEST_F(IocEventsTest, ADriveThatResetsItselfIsHeldOffAndCounted) {
    const uint8_t bTarget = TargetOfSlot(3);
    chassis.DriveAt(3)->SetNoResponse(true);
    KERNEL_ENTRY* ps = Read(3);
    ASSERT_NE(ps, nullptr);
    chassis.DriveAt(3)->SetNoResponse(false);
    const uint64_t lBefore = b.board().clock().Now() / 1000000;
    ioc->DriveInternalReset(3);
    PollFor(5);
    EXPECT_EQ(ps->bPrimaryState, PS_COMPLETED) << "the lost command never came back";
    EXPECT_GE(lGetSASTargetHoldOff(bTarget), lBefore + 4900);
    EXPECT_EQ(dGetSASTargetFlags(bTarget) & 0x20, 0u) << "the discovery's end lets it take commands";
    EXPECT_EQ(wGetSASInternalResetCount(bTarget), 1);
    EXPECT_EQ(wGetSASDriveTimeoutCount(bTarget), 1);
    const EVENT_LOG_ENTRY* psEvent = harness::NewestEvent(kEventInternalReset);
    ASSERT_NE(psEvent, nullptr);
    EXPECT_EQ(psEvent->abArgs[1], 1);
    EXPECT_EQ(psEvent->abArgs[10], bGetDriveIndexOfTarget(bTarget));
    // Once the hold-off has passed it answers as before.
    Idle(5100);
    EXPECT_EQ(Wait(bTarget, {0x00}, 0).bResult, STATUS_OK);
}

// An expander that resets makes the IOC's discovery fail: with the SMP
// time-out or table-full bits a lone controller restarts its IOC; other
// bits are only logged.  For 2000 ms after it no command is timed out.
TEST_F(IocEventsTest, DiscoveryErrorsRestartTheIocAndQuietTheScan) {
    ioc->ExpanderReset(0, 0x01);
    PollFor(5);
    const EVENT_LOG_ENTRY* psEvent = harness::NewestEvent(kEventDiscoveryError);
    ASSERT_NE(psEvent, nullptr);
    EXPECT_EQ(psEvent->abArgs[4], 0x01);
    EXPECT_EQ(fIsSASIOCRestartRequested(), FALSE);

    chassis.DriveAt(5)->SetNoResponse(true);
    KERNEL_ENTRY* ps = Read(5);
    ASSERT_NE(ps, nullptr);
    const uint64_t lDeadline = psGetLSIAdapter(LSI_IOC_DRIVE)->asRequest[psSasFields(ps)->wRequestIndex].lDeadline;
    Run(static_cast<uint32_t>(lDeadline - lNow() - 1000));
    ioc->ExpanderReset(0, MPI_DISCOVERY_ERROR_SMP_TIMEOUT | MPI_DISCOVERY_ERROR_TABLE_FULL);
    Run(1500);
    EXPECT_EQ(fIsSASIOCRestartRequested(), TRUE);
    EXPECT_EQ(harness::CountEvents(kEventTimeout), 0u) << "timed out within 2000 ms of a discovery error";
    SetSASIOCRestartRequest(FALSE);
    Run(1000);
    EXPECT_EQ(harness::CountEvents(kEventTimeout), 1u);
}

// The scan's judgement.  The first time-out of a command resets the drive
// and sends its commands again; the second takes the drive out, its
// commands failing, its slot marked.  While another drive reports errors
// time-outs do not count against a drive, but one that has timed out more
// than 19 times is taken out all the same.
struct JudgementCase {
    const char* pszName;
    unsigned uCountedBefore;   // time-outs counted on the drive beforehand
    bool fOtherDriveErrors;    // a drive command error every few seconds
    bool fOutAtSecond;
};

class TimeoutJudgementTest : public IocEventsTest, public ::testing::WithParamInterface<JudgementCase> {
protected:
    void SetUp() override {
        IocEventsTest::SetUp();
        // A drive taken out has the configuration applied again.
        static CONFIG_IMAGE s_sImage;
        ASSERT_EQ(b.board().RunOnCpu([] {
            SetConfigImagePointer(&s_sImage);
            MakeDefaultConfiguration(&s_sImage, TRUE);
        }),
                  sim::StopKind::Finished);
    }
};

TEST_P(TimeoutJudgementTest, SecondTimeOutOrTooManyTakeTheDriveOut) {
    const JudgementCase& c = GetParam();
    const uint8_t bTarget = TargetOfSlot(4);
    CountTimeouts(bTarget, c.uCountedBefore);
    Idle(61'000);
    chassis.DriveAt(4)->SetNoResponse(true);
    KERNEL_ENTRY* ps = Read(4);
    ASSERT_NE(ps, nullptr);
    const uint32_t dResets = ioc->targetResets();
    auto errors = [&] {
        if (c.fOtherDriveErrors) MarkSASDriveCommandError();
        return false;
    };
    Run(30'000, [&] { return errors() || harness::CountEvents(kEventTimeout) == 1; });
    Run(100, errors);
    EXPECT_EQ(ioc->targetResets(), dResets + 1);
    EXPECT_EQ(harness::CountEvents(kEventTimeout), 1u);
    // The scan counts each time-out of a drive command as a timeout error
    // of its slot.
    EXPECT_EQ(wGetDriveErrorCounter(1, 4, ERROR_KIND_TIMEOUT - 1), 1);
    EXPECT_NE(ps->bPrimaryState, PS_COMPLETED) << "sent again, not ended";
    EXPECT_EQ(HasFlag(ps, KE_FLAG_TIMED_OUT_ONCE), !c.fOtherDriveErrors);
    Run(30'000, [&] { return errors() || harness::CountEvents(kEventTimeout) == 2; });
    Run(100, errors);
    EXPECT_EQ(harness::CountEvents(kEventTimeout), 2u);
    EXPECT_EQ(harness::CountEvents(kEventOutOfService), c.fOutAtSecond ? 1u : 0u);
    EXPECT_EQ(fIsSASTargetOutOfService(bTarget), c.fOutAtSecond ? TRUE : FALSE);
    EXPECT_EQ(fIsSASSlotOutOfService(1, 4), c.fOutAtSecond ? TRUE : FALSE);
    EXPECT_EQ(ps->bPrimaryState == PS_COMPLETED, c.fOutAtSecond);
    if (c.fOutAtSecond) {
        EXPECT_TRUE(HasFlag(ps, KE_FLAG_ABORTED));
    }
}

const JudgementCase kJudgements[] = {
    {"SecondTimeOut", 0, false, true},
    {"OtherDriveErrorsKeepIt", 0, true, false},
    {"OtherDriveErrorsCannotKeepOneAboveNineteen", 19, true, true},
};
INSTANTIATE_TEST_SUITE_P(Cases, TimeoutJudgementTest, ::testing::ValuesIn(kJudgements),
                         [](const auto& info) { return std::string(info.param.pszName); });

// Time-outs seen outside the scan: one fault seen twice within 500 ms is
// counted once; the twentieth turns
// the slot's phy off, and the re-enable sweep leaves it off until another
// drive is put in the slot.
TEST_F(IocEventsTest, TwentyTimeOutsTurnTheSlotPhyOffUntilTheDriveChanges) {
    const uint8_t bTarget = TargetOfSlot(2);
    ASSERT_EQ(b.board().RunOnCpu([&] {
        (void)bCountSASDriveTimeout(bTarget);
        SpinDelayMs(400);
        (void)bCountSASDriveTimeout(bTarget);
    }),
              sim::StopKind::Finished);
    EXPECT_EQ(wGetSASDriveTimeoutCount(bTarget), 1);
    CountTimeouts(bTarget, 2);
    EXPECT_EQ(wGetSASDriveTimeoutCount(bTarget), 3);
    // Each counted one is a drive-path error of the slot, nothing else.
    EXPECT_EQ(wGetDriveErrorCounter(1, 2, ERROR_KIND_DRIVE_PATH - 1), 3);
    EXPECT_EQ(wGetDriveErrorCounter(1, 2, ERROR_KIND_TIMEOUT - 1), 0);

    uint8_t bExpander = 0, bPhy = 0;
    ASSERT_EQ(bFindExpanderPhyOfEnclosureSlot(1, 2, &bExpander, &bPhy), STATUS_OK);
    CountTimeouts(bTarget, 16);
    EXPECT_EQ(harness::CountEvents(kEventSlotPhyDisabled), 0u);
    CountTimeouts(bTarget, 1);
    PollFor(50);
    EXPECT_EQ(harness::CountEvents(kEventSlotPhyDisabled), 1u);
    EXPECT_FALSE(chassis.expander().phys()[bPhy].enabled);

    ASSERT_EQ(b.board().RunOnCpu([] { (void)ReenableDisabledExpanderPhys(); }), sim::StopKind::Finished);
    PollFor(50);
    EXPECT_FALSE(chassis.expander().phys()[bPhy].enabled) << "the failing drive came back";

    const sim::DriveConfig sOld = *chassis.ConfigAt(2);
    chassis.Pull(2);
    PollFor(5);
    EXPECT_EQ(fGetSASPhyReenableWork(), TRUE);
    sim::DriveConfig sNew = sOld;
    sNew.sasAddress += 0x1000;
    chassis.Insert(2, sNew);
    ASSERT_EQ(b.board().RunOnCpu([] { (void)ReenableDisabledExpanderPhys(); }), sim::StopKind::Finished);
    PollFor(50);
    EXPECT_TRUE(chassis.expander().phys()[bPhy].enabled);
}

// An enclosure processor that answers nothing: its command is logged
// (event 121), the processor reset and the command sent once more; timed
// out again, the command fails, the processor is reset once more, and no
// request of it is left at the IOC.
TEST_F(IocEventsTest, AnEnclosureCommandUnansweredTwiceFailsAndLeavesNothingAtTheIoc) {
    constexpr uint8_t kEnclosureTimeout = 121;
    const uint16_t wIdle = wGetLSIRequestsInUse(LSI_IOC_DRIVE);
    const uint32_t dResets = ioc->targetResets();
    chassis.processor(0).SetSilent(true);
    KERNEL_ENTRY* ps = BuildRead(sim::SasController::ProcessorTarget(0), 0, 1, Buffer(), 512);
    ASSERT_NE(ps, nullptr);
    ps->bCommandType = 0xD0;
    const uint8_t abCdb[10] = {SCSI_RECEIVE_DIAGNOSTIC, 1, 2, 2, 0};
    std::memcpy(ps->abCdb, abCdb, sizeof abCdb);
    uint8_t bSend = 0;
    ASSERT_EQ(b.board().RunOnCpu([&] { bSend = SendSCSICommand(ps); }), sim::StopKind::Finished);
    ASSERT_EQ(bSend, SEND_POSTED);
    Run(40'000, [&] { return harness::CountEvents(kEnclosureTimeout) == 1; });
    EXPECT_EQ(harness::CountEvents(kEnclosureTimeout), 1u);
    EXPECT_EQ(ioc->targetResets() - dResets, 1u);
    EXPECT_NE(ps->bPrimaryState, PS_COMPLETED) << "given up at its first time-out";
    Run(40'000, [&] { return ps->bPrimaryState == PS_COMPLETED; });
    ASSERT_EQ(ps->bPrimaryState, PS_COMPLETED);
    EXPECT_TRUE(HasFlag(ps, KE_FLAG_ABORTED));
    EXPECT_EQ(harness::CountEvents(kEnclosureTimeout), 2u);
    EXPECT_EQ(ioc->targetResets() - dResets, 2u);
    Run(100, [&] { return wGetLSIRequestsInUse(LSI_IOC_DRIVE) == wIdle; });
    EXPECT_EQ(wGetLSIRequestsInUse(LSI_IOC_DRIVE), wIdle) << "the processor's request is held at the IOC";
}

// A drive's full task set is counted on its entry; the partner's ports
// have their own counts.
TEST_F(IocEventsTest, QueueFullIsCountedOnTheDrive) {
    const uint8_t bTarget = TargetOfSlot(2);
    ioc->TaskSetFull(2, 1);
    const Waited w = Wait(bTarget, {0x00}, 0);
    EXPECT_EQ(w.bResult, STATUS_OK);
    EXPECT_EQ(w.bStatus, SCSI_STATUS_TASK_SET_FULL);
    EXPECT_EQ(psGetSASDeviceOfTarget(bTarget)->wQCounter, 1);
    EXPECT_EQ(Wait(bTarget, {0x00}, 0).bStatus, 0);
}

// Events naming what this controller does not know change nothing and are
// counted: a phy past any table, an unknown expander, a drive's reset
// behind an unknown parent, QUEUE FULL of an unknown or proxy target.
TEST_F(IocEventsTest, EventsNamingNothingKnownAreCountedAndIgnored) {
    MPI_EVENT_DATA_SAS_PHY_LINK_STATUS sLink{};
    sLink.bPhyNum = 200;
    sLink.bLinkRates = 0x09;
    sLink.wDevHandle = kUnknownHandle;
    std::vector<uint32_t> ad(3);
    std::memcpy(ad.data(), &sLink, sizeof sLink);
    RaiseEvent(MPI_EVENT_SAS_PHY_LINK_STATUS, ad);
    sLink.wDevHandle = sim::SasController::kExpanderHandle;
    std::memcpy(ad.data(), &sLink, sizeof sLink);
    RaiseEvent(MPI_EVENT_SAS_PHY_LINK_STATUS, ad);
    MPI_EVENT_DATA_SAS_DEVICE_STATUS_CHANGE sDevice{};
    sDevice.bReasonCode = MPI_SAS_DEVICE_STATUS_INTERNAL_RESET;
    sDevice.wParentDevHandle = kUnknownHandle;
    sDevice.bPhyNum = 3;
    ad.assign(6, 0);
    std::memcpy(ad.data(), &sDevice, sizeof sDevice);
    RaiseEvent(MPI_EVENT_SAS_DEVICE_STATUS_CHANGE, ad);
    RaiseEvent(MPI_EVENT_QUEUE_FULL, {0x70});
    RaiseEvent(MPI_EVENT_QUEUE_FULL, {0xF5});
    RaiseEvent(0x7777, {1, 2, 3});
    PollFor(5);
    EXPECT_EQ(dGetSASIgnoredEventCount(), 5u);
    EXPECT_EQ(harness::CountEvents(kEventInternalReset), 0u);
}

TEST_F(IocEventsTest, TargetKindsFollowTheDeviceList) {
    const uint8_t bDrive = TargetOfSlot(1);
    struct Case {
        uint8_t bTarget, bKind, fWant;
    } const aCases[] = {{bDrive, SAS_TARGET_KIND_DRIVE, TRUE},   {bDrive, SAS_TARGET_KIND_CONTROLLER_PORT, FALSE},
                        {bDrive, SAS_TARGET_KIND_ANY, TRUE},     {bDrive, 9, FALSE},
                        {0x70, SAS_TARGET_KIND_DRIVE, FALSE},    {0x70, SAS_TARGET_KIND_ANY, FALSE}};
    for (const Case& c : aCases) {
        EXPECT_EQ(fIsSASTargetOfKind(c.bTarget, c.bKind), c.fWant) << int(c.bTarget) << "/" << int(c.bKind);
    }
}

// A reset of the whole bus resets the controller; a lone controller keeps
// its write journals for the next start.
TEST_F(IocEventsTest, AnExternalBusResetResetsTheController) {
    ioc->ExternalBusReset();
    const sim::StopKind e = b.board().RunOnCpu([] {
        for (int i = 0; i < 100; ++i) HwPoll();
    });
    EXPECT_EQ(e, sim::StopKind::Reset);
    EXPECT_EQ(dGetSASExternalBusResets(), 1u);
    const EVENT_LOG_ENTRY* psEvent = harness::NewestEvent(1);
    ASSERT_NE(psEvent, nullptr);
    EXPECT_EQ(psEvent->abArgs[0], 5);
    EXPECT_EQ(psEvent->abArgs[1], 16);
}

// A message to the partner past its deadline while the partner runs its
// failback is left to its answer: not aborted, not ended as failed.
TEST_F(IocEventsTest, APartnerMessageIsNotAbortedWhileThePartnerFailsBack) {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    const uint16_t w = static_cast<uint16_t>(a->wRequestFrames - 1);
    ASSERT_FALSE(a->adInUse[w / 32] & (1u << (w % 32)));
    LSI_SAS_REQUEST_INFO& r = a->asRequest[w];
    const LSI_SAS_REQUEST_INFO sWas = r;
    a->adInUse[w / 32] |= 1u << (w % 32);
    r.dMsgContext = 0x4000 | 3;
    r.bTargetId = 0x20;
    r.bFlags = 0;
    r.lDeadline = lNow() + 1;
    SetSASOCFailbackInProgress(TRUE);
    Run(20);
    EXPECT_EQ(r.lDeadline, 0u);
    EXPECT_EQ(r.bFlags & LSI_REQUEST_ABORTED, 0);
    SetSASOCFailbackInProgress(FALSE);
    a->adInUse[w / 32] &= ~(1u << (w % 32));
    r = sWas;
}

}  // namespace
