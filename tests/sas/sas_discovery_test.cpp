// Drive-side discovery as the background pass runs it: what each expander
// is, the passes of the state machine with their gates and waits, the IOC
// restart it leads to, and the device list's own services.
#include <gtest/gtest.h>

#include <string>

#include "config/drive_tables.h"
#include "drive_side_fixture.h"
#include "enclosure/drive_management.h"
#include "eventlog/event_log.h"
#include "executive/system_state.h"
#include "executive/work_flags.h"
#include "hw/mpi.h"
#include "sas/ioc_events.h"
#include "sas/reply_dispatch.h"
#include "sas/sas_flags.h"
#include "sas/sas_drive.h"
#include "sas/sas_discovery.h"
#include "sas/smp.h"

namespace {

using namespace fw;

class DiscoveryTest : public sastest::DriveSideTest {
protected:
    explicit DiscoveryTest(bool fSata = false) : DriveSideTest(fSata) {}
    explicit DiscoveryTest(const sim::ChassisOptions& sOptions) : DriveSideTest(sOptions) {}

    void SetUp() override {
        DriveSideTest::SetUp();
        ASSERT_EQ(b.board().RunOnCpu([] { InitEventLog(); }), sim::StopKind::Finished);
        SetSasDriveWork(FALSE);
        SetSasDiscoveryWork(FALSE);
    }

    void Step() { ASSERT_EQ(b.board().RunOnCpu([] { SASDiscoveryStep(); }), sim::StopKind::Finished); }
    // Steps dEveryMs apart until fDone, at most dLimitMs.
    void StepUntil(uint32_t dLimitMs, const std::function<bool()>& fDone, uint32_t dEveryMs = 100) {
        ASSERT_EQ(b.board().RunOnCpu([&] {
            const uint64_t lEnd = lGetTickCount() + dLimitMs;
            while (lGetTickCount() < lEnd && !fDone()) {
                SASDiscoveryStep();
                SpinDelayMs(dEveryMs);
            }
        }),
                  sim::StopKind::Finished);
    }
    void Run(const std::function<void()>& fn) { ASSERT_EQ(b.board().RunOnCpu(fn), sim::StopKind::Finished); }
    uint64_t Now() {
        uint64_t l = 0;
        Run([&] { l = lGetTickCount(); });
        return l;
    }
    void Sleep(uint32_t dMs) {
        ASSERT_EQ(b.board().RunOnCpu([dMs] { SpinDelayMs(dMs); }), sim::StopKind::Finished);
    }
    static bool Idle() { return fIsSASDiscoveryRunning() != TRUE; }
    uint32_t PhyResets() {
        uint32_t n = 0;
        for (const sim::ExpanderPhy& p : chassis.expander().phys()) n += p.linkResets;
        return n;
    }
    // The controller's own SAS address as it wrote it into the IOC.
    uint64_t OwnSasAddress() {
        MPI_MANUFACTURING_PAGE_5 s;
        std::memcpy(&s, ioc->Page(MPI_CONFIG_PAGETYPE_MANUFACTURING, 5).data(), sizeof s);
        return static_cast<uint64_t>(s.dSasAddressHigh) << 32 | s.dSasAddressLow;
    }
};

// The partner's onboard expander carries the company identifier of the
// controllers' own SAS addresses and the other controller's number.
TEST_F(DiscoveryTest, PartnersOnboardExpanderIsKnownByTheControllersCompanyId) {
    const uint64_t lOwn = OwnSasAddress();
    EXPECT_EQ((static_cast<uint32_t>(lOwn >> 32) & 0x0FFFFFF0) >> 4, SAS_CONTROLLER_OUI);
    struct Case {
        uint64_t lAddress;
        uint8_t fPartner;
    } const aCases[] = {
        {(lOwn & ~0xFFFull) | 0x801, TRUE},           // the other controller's code
        {(lOwn & ~0xFFFull) | 0x401, FALSE},          // this controller's own
        {0x5005D5D000001801ull, FALSE},               // another company's expander
    };
    for (const Case& c : aCases) {
        SAS_EXPANDER s{};
        s.adSASAddress[0] = static_cast<uint32_t>(c.lAddress);
        s.adSASAddress[1] = static_cast<uint32_t>(c.lAddress >> 32);
        EXPECT_EQ(fIsPartnerOnboardExpander(&s), c.fPartner) << std::hex << c.lAddress;
    }
    // The controller enclosure's type is the backplane's, unmasked.
    const SAS_EXPANDER& sOwn = pGetSASExpanderList()->asExpander[0];
    EXPECT_EQ(sOwn.bEnclosure, 1);
    EXPECT_EQ(sOwn.bEnclosureType, bGetBackplaneType());
}

// A pass that cannot read the topology restarts the IOC 5 s later, dropping
// a pending drive rescan; the restart resets the end devices' phys first,
// and the pass after it lists the drives again.
TEST_F(DiscoveryTest, UnreadableTopologyRestartsTheIocAndCancelsARescan) {
    SetDriveRescanRequest(TRUE);
    ioc->faults.configStatus = MPI_IOCSTATUS_CONFIG_INVALID_DATA;
    SetSasDriveWork(TRUE);
    Step();
    EXPECT_EQ(bGetSASDiscoveryState(), SAS_DISC_WAIT_RESTART);
    StepUntil(4800, [] { return bGetSASDiscoveryState() != SAS_DISC_WAIT_RESTART; });
    EXPECT_EQ(bGetSASDiscoveryState(), SAS_DISC_WAIT_RESTART);
    EXPECT_EQ(fIsDriveRescanRequested(), TRUE);
    ioc->faults.configStatus = 0;
    StepUntil(1000, [] { return bGetSASDiscoveryState() != SAS_DISC_WAIT_RESTART; });
    EXPECT_EQ(bGetSASDiscoveryState(), SAS_DISC_RESTART_IOC);
    EXPECT_EQ(fIsSASIOCRestartRequested(), TRUE);
    EXPECT_EQ(fIsDriveRescanRequested(), FALSE);
    EXPECT_EQ(bGetDriveSidePhaseByte(), 2);

    const uint32_t dLoads = ioc->diagnosticLoads();
    const uint32_t dResets = PhyResets();
    Step();
    EXPECT_EQ(ioc->diagnosticLoads(), dLoads + 1);
    EXPECT_EQ(PhyResets(), dResets + 8);
    EXPECT_EQ(bGetSASDiscoveryState(), SAS_DISC_WAIT_IOC);
    EXPECT_EQ(fIsSASIOCRestartRequested(), FALSE);
    EXPECT_EQ(fIsSASIOCRestartInProgress(), TRUE);
    StepUntil(30000, Idle);
    EXPECT_EQ(fIsSASIOCRestartInProgress(), FALSE);
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8);
}

// A step taken asks for the next pass at once; a step that only waits
// asks for none, so the main loop idles through the seconds of waiting
// until the tick raises work again.
TEST_F(DiscoveryTest, OnlyAStepTakenAsksForTheNextPass) {
    const auto fStepAsks = [this] {
        uint8_t f = FALSE;
        EXPECT_EQ(b.board().RunOnCpu([&f] {
            SetWorkPending(FALSE);
            SASDiscoveryStep();
            f = fGetWorkPending();
        }),
                  sim::StopKind::Finished);
        return f == TRUE;
    };
    SetSASIOCRestartRequest(TRUE);
    SetSasDriveWork(TRUE);
    EXPECT_TRUE(fStepAsks());
    ASSERT_EQ(bGetSASDiscoveryState(), SAS_DISC_WAIT_IOC);
    EXPECT_FALSE(fStepAsks());
    Sleep(4000);
    EXPECT_TRUE(fStepAsks());
    EXPECT_NE(bGetSASDiscoveryState(), SAS_DISC_WAIT_IOC);
    StepUntil(30000, Idle);
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8);
}

// The enclosure type comes from the enclosure's expander; an enclosure
// without one has the board's backplane type.
TEST_F(DiscoveryTest, AnEnclosuresTypeIsItsExpandersOrTheBackplanes) {
    SAS_EXPANDER& s = pGetSASExpanderList()->asExpander[0];
    ASSERT_EQ(s.bEnclosure, 1);
    s.bEnclosureType = 0x5A;
    EXPECT_EQ(bGetEnclosureType(1), 0x5A);
    EXPECT_EQ(bGetEnclosureType(2), bGetBackplaneType());
    s.fUsable = FALSE;
    EXPECT_EQ(bGetEnclosureType(1), bGetBackplaneType());
}

// Task management requests whose answers never came do not hold the count
// for ever: 10 s after its last change it is taken as 0.
TEST_F(DiscoveryTest, TaskManagementCountExpiresTenSecondsAfterItLastMoved) {
    uint32_t dAfterFive = 0, dAfterTen = 0, dAfterMore = 0;
    ASSERT_EQ(b.board().RunOnCpu([&] {
        SetSASTaskManagementCount(0);
        IncrementSASTaskManagementCount();
        IncrementSASTaskManagementCount();
        SpinDelayMs(5000);
        DecrementSASTaskManagementCount();
        dAfterFive = dExpireSASTaskManagementCount();
        SpinDelayMs(9000);
        dAfterTen = dExpireSASTaskManagementCount();
        SpinDelayMs(1100);
        dAfterMore = dExpireSASTaskManagementCount();
    }),
              sim::StopKind::Finished);
    EXPECT_EQ(dAfterFive, 1u);
    EXPECT_EQ(dAfterTen, 1u);
    EXPECT_EQ(dAfterMore, 0u);
}

// A FAULT without a partner asks for two resets in a row.
TEST_F(DiscoveryTest, FaultRestartsTheIocTwice) {
    ioc->EnterFault(0x1234);
    PollFor(5);
    EXPECT_EQ(fIsSASSecondIOCRestartRequested(), TRUE);
    const uint32_t dLoads = ioc->diagnosticLoads();
    StepUntil(10000, [] { return bGetSASDiscoveryState() == SAS_DISC_WAIT_IOC; });
    EXPECT_EQ(ioc->diagnosticLoads(), dLoads + 2);
    EXPECT_EQ(fIsSASSecondIOCRestartRequested(), FALSE);
    StepUntil(30000, Idle);
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8);
}

// A cascade that lost enclosures starts the slot-change sequence: the IOC
// restart counts the enclosures waited for down, the drive side is held
// off while the slots settle, the list is rebuilt, and with both phases
// done at once the pass ends as any other, the sequence disarmed.
TEST_F(DiscoveryTest, ASlotChangeRunsThroughItsPhasesAndEnds) {
    const EVENT_LOG_ENTRY* psBefore = harness::NewestEvent(157);
    Run([] {
        StartSASSlotChange(3);
        SetSASIOCRestartRequest(TRUE);
        SetSasDiscoveryWork(TRUE);
    });
    EXPECT_EQ(fIsSASSlotChangeArmed(), TRUE);
    EXPECT_GE(lGetSASDriveSideHoldOff(), Now() + 59000);
    StepUntil(30000, [] { return bGetSASDiscoveryState() == SAS_DISC_SLOT_CHANGE; });
    ASSERT_EQ(bGetSASDiscoveryState(), SAS_DISC_SLOT_CHANGE);
    EXPECT_EQ(bGetSASSlotChangeEnclosureTarget(), 2);
    EXPECT_GE(lGetSASDriveSideHoldOff(), Now() + 59000);
    StepUntil(30000, Idle);
    EXPECT_EQ(fIsSASDiscoveryRunning(), FALSE);
    EXPECT_EQ(fIsSASSlotChangeArmed(), FALSE);
    EXPECT_EQ(bGetDriveSidePhaseByte(), 3);
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8);
    EXPECT_EQ(harness::NewestEvent(157), psBefore);
}

// A first phase that never ends (a reset the IOC never answers) is given
// three minutes, reported (event 157 with 6), and the sequence goes on.
TEST_F(DiscoveryTest, ASlotChangeWhosePhaseNeverEndsIsReportedAndGoesOn) {
    Run([] {
        StartSASSlotChange(2);
        SetSASIOCRestartRequest(TRUE);
        SetSasDiscoveryWork(TRUE);
    });
    StepUntil(60000, [] { return bGetSASSlotChangeSubState() == 3; });
    ASSERT_EQ(bGetSASSlotChangeSubState(), 3);
    SetSASTaskManagementCount(1);
    StepUntil(170000, [] { return bGetSASSlotChangeSubState() != 3; }, 1000);
    EXPECT_EQ(bGetSASSlotChangeSubState(), 3);
    StepUntil(20000, [] { return bGetSASSlotChangeSubState() != 3; }, 1000);
    EXPECT_NE(bGetSASSlotChangeSubState(), 3);
    const EVENT_LOG_ENTRY* ps = harness::NewestEvent(157);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[0], 6);
    SetSASTaskManagementCount(0);
    StepUntil(30000, Idle);
    EXPECT_EQ(fIsSASSlotChangeArmed(), FALSE);
}

// Discovery ends its pass with the timed hold released.
TEST_F(DiscoveryTest, TimedHoldIsReleasedWhenThePassEnds) {
    SetSASTimedHoldFlag(TRUE);
    SetSasDriveWork(TRUE);
    Step();
    EXPECT_EQ(fIsSASDiscoveryRunning(), TRUE);
    StepUntil(20000, Idle);
    EXPECT_EQ(fGetSASTimedHoldFlag(), FALSE);
    EXPECT_EQ(fGetSasDriveWork(), FALSE);
    EXPECT_EQ(fGetSasDiscoveryWork(), FALSE);
}

// A restart asked for while a pass runs (with the hold that comes with
// it) is not lost when the pass ends: the next pass restarts the IOC, and
// only once it has listed the drives are the hold and the drive path let go.
TEST_F(DiscoveryTest, RestartAskedForDuringAPassRunsInTheNext) {
    SetSasDriveWork(TRUE);
    Step();
    ASSERT_EQ(fIsSASDiscoveryRunning(), TRUE);
    SetSasDiscoveryWork(TRUE);
    SetSASIOCRestartRequest(TRUE);
    SetSASTimedHoldFlag(TRUE);
    StepUntil(30000, Idle);
    EXPECT_EQ(fIsSASIOCRestartRequested(), TRUE);
    EXPECT_EQ(fGetSASTimedHoldFlag(), TRUE);
    EXPECT_EQ(fGetSasDiscoveryWork(), TRUE);
    const uint32_t dLoads = ioc->diagnosticLoads();
    StepUntil(5000, [] { return fIsSASIOCRestartRequested() != TRUE; });
    EXPECT_EQ(ioc->diagnosticLoads(), dLoads + 1);
    StepUntil(40000, Idle);
    EXPECT_EQ(fIsSASIOCRestartRequested(), FALSE);
    EXPECT_EQ(fGetSASTimedHoldFlag(), FALSE);
    EXPECT_EQ(fGetSasDiscoveryWork(), FALSE);
}

// The gates in front of a pass: a pause is acknowledged and a paused pass
// that has not begun waiting goes idle once the pause ends; a plain
// request waits 3 s after held drives were let go.
TEST_F(DiscoveryTest, PauseAndHoldGateThePasses) {
    SetSasDriveWork(TRUE);
    SetSASDiscoveryPauseRequest(TRUE);
    Step();
    Step();
    EXPECT_EQ(fIsSASDiscoveryPauseAcknowledged(), TRUE);
    EXPECT_EQ(bGetSASDiscoveryState(), SAS_DISC_DISCOVER);
    SetSASDiscoveryPauseRequest(FALSE);
    Step();
    EXPECT_EQ(fIsSASDiscoveryRunning(), FALSE);
    EXPECT_EQ(fIsSASDiscoveryPauseAcknowledged(), FALSE);

    SetSasDriveWork(FALSE);
    SetSASTimedHoldFlag(TRUE);
    SetSASTimedHoldFlag(FALSE);
    SetSasDiscoveryWork(TRUE);
    Step();
    EXPECT_EQ(fIsSASDiscoveryRunning(), FALSE);
    Sleep(3000);
    Step();
    EXPECT_EQ(fIsSASDiscoveryRunning(), TRUE);
}

// A pass keeps away from links that are not quiet: while a drive firmware
// download runs, for 4000 ms after a device or link change, within 2000 ms
// of a discovery error, and until phys waiting for a link reset have had
// it and their links have settled.
TEST_F(DiscoveryTest, PassesWaitForQuietLinks) {
    SetDriveFirmwareDownloadInProgress(TRUE);
    SetSasDriveWork(TRUE);
    Step();
    EXPECT_TRUE(Idle());
    SetDriveFirmwareDownloadInProgress(FALSE);
    Step();
    EXPECT_FALSE(Idle());
    StepUntil(60000, Idle);
    ASSERT_TRUE(Idle());

    // The wait runs from the last change: links that keep changing are
    // looked at once they have been quiet for 4000 ms.  A drive that went
    // (drive work) is looked for at once.
    MPI_EVENT_DATA_SAS_DEVICE_STATUS_CHANGE sAdded{};
    sAdded.bReasonCode = MPI_SAS_DEVICE_STATUS_ADDED;
    for (int i = 0; i < 2; ++i) {
        Run([&] { SASDeviceStatusChangeEvent(sAdded); });
        EXPECT_EQ(fGetSasDiscoveryWork(), TRUE);
        Sleep(3900);
        Step();
        EXPECT_TRUE(Idle()) << "change " << i;
    }
    Sleep(200);
    Step();
    EXPECT_FALSE(Idle());
    StepUntil(60000, Idle);
    ASSERT_TRUE(Idle());
    Run([&] { SASDeviceStatusChangeEvent(sAdded); });
    SetSasDriveWork(TRUE);
    Step();
    EXPECT_FALSE(Idle());
    StepUntil(60000, Idle);
    ASSERT_TRUE(Idle());

    Run([] { SASDiscoveryErrorEvent(0x01, 0); });
    SetSasDriveWork(TRUE);
    Step();
    EXPECT_EQ(bGetSASDiscoveryState(), SAS_DISC_DISCOVER);
    Sleep(1900);
    Step();
    EXPECT_EQ(bGetSASDiscoveryState(), SAS_DISC_DISCOVER);
    Sleep(200);
    Step();
    EXPECT_NE(bGetSASDiscoveryState(), SAS_DISC_DISCOVER);
    StepUntil(60000, Idle);
    ASSERT_TRUE(Idle());

    // A drive behind a multiplexer that reset itself had its phy turned
    // off, to wait for a link reset: the next pass sends it and waits.
    uint8_t bExpander = 0, bPhy = 0;
    Run([&] { ASSERT_EQ(bFindExpanderPhyOfEnclosureSlot(1, 3, &bExpander, &bPhy), STATUS_OK); });
    SetSASPhyStateBits(bExpander, bPhy, 0x10, TRUE);
    const uint32_t dResets = PhyResets();
    const uint64_t lStart = Now();
    SetSasDriveWork(TRUE);
    Step();
    EXPECT_TRUE(Idle());
    EXPECT_EQ(PhyResets(), dResets + 1);
    EXPECT_EQ(bGetSASPhyState(bExpander, bPhy) & 0x10, 0);
    StepUntil(60000, [] { return !Idle(); });
    EXPECT_FALSE(Idle());
    EXPECT_GE(Now() - lStart, 4000u);
    StepUntil(60000, Idle);
    EXPECT_EQ(PhyResets(), dResets + 1);
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8);
}

// A drive that reset itself gets its phy's link reset no sooner than
// 3000 ms after the reset; the link coming up ends the wait for it, and
// without that the look at the fabric waits until 15000 ms after the reset.
TEST_F(DiscoveryTest, APhyWaitsForItsDrivesInternalReset) {
    uint8_t bExpander = 0, bPhy = 0;
    Run([&] { ASSERT_EQ(bFindExpanderPhyOfEnclosureSlot(1, 3, &bExpander, &bPhy), STATUS_OK); });
    MPI_EVENT_DATA_SAS_DEVICE_STATUS_CHANGE sReset{};
    sReset.bReasonCode = MPI_SAS_DEVICE_STATUS_INTERNAL_RESET;
    sReset.wParentDevHandle = pGetSASExpanderList()->asExpander[bExpander].wDevHandle;
    sReset.bPhyNum = bPhy;
    const auto fnSweep = [&] {
        uint8_t f = FALSE;
        Run([&] { f = fResetMarkedExpanderPhys(TRUE); });
        return f;
    };
    const auto fnState = [&] { return bGetSASPhyState(bExpander, bPhy) & 0x30; };
    Run([&] { SASDeviceStatusChangeEvent(sReset); });
    SetSASPhyStateBits(bExpander, bPhy, 0x10, TRUE);
    const uint32_t dResets = PhyResets();
    Sleep(2900);
    EXPECT_EQ(fnSweep(), TRUE);
    EXPECT_EQ(PhyResets(), dResets);
    EXPECT_EQ(fnState(), 0x10);
    Sleep(200);
    EXPECT_EQ(fnSweep(), TRUE);
    EXPECT_EQ(PhyResets(), dResets + 1);
    Sleep(100);
    EXPECT_EQ(fnState(), 0) << "the link came up";
    EXPECT_EQ(fnSweep(), FALSE);

    Run([&] { SASDeviceStatusChangeEvent(sReset); });
    SetSASPhyStateBits(bExpander, bPhy, 0x20, TRUE);
    Sleep(14900);
    EXPECT_EQ(fnSweep(), TRUE);
    EXPECT_EQ(fnState(), 0x20);
    Sleep(200);
    EXPECT_EQ(fnSweep(), TRUE);
    EXPECT_EQ(fnState(), 0);
    EXPECT_EQ(fnSweep(), FALSE);
    EXPECT_EQ(PhyResets(), dResets + 1);
}

// Commands wait while the drive side is held: the drive-side hold-off
// (target busy), the global deadline, the timed hold and a requested IOC
// restart (IOC busy).
TEST_F(DiscoveryTest, DriveCommandsWaitForTheDriveSideHolds) {
    KERNEL_ENTRY* ps = sastest::BuildRead(TargetOfSlot(1), 0, 1, Buffer(), 512);
    ASSERT_NE(ps, nullptr);
    struct Case {
        const char* pszName;
        uint8_t bResult;
        std::function<void()> fnHold, fnRelease;
    } const aCases[] = {
        {"drive-side hold-off", SEND_TARGET_BUSY, [] { SetSASDriveSideHoldOff(lGetTickCount() + 60000); },
         [] { SetSASDriveSideHoldOff(0); }},
        {"deadline", SEND_IOC_BUSY, [] { ExtendSASDeadline(1000); }, [] { SpinDelayMs(1000); }},
        {"timed hold", SEND_IOC_BUSY, [] { SetSASTimedHoldFlag(TRUE); }, [] { SetSASTimedHoldFlag(FALSE); }},
        {"restart requested", SEND_IOC_BUSY, [] { SetSASIOCRestartRequest(TRUE); },
         [] { SetSASIOCRestartRequest(FALSE); }},
    };
    SetInitializationComplete(TRUE);
    const uint32_t dBefore = ioc->scsiRequests();
    for (const Case& c : aCases) {
        uint8_t bResult = 0;
        ASSERT_EQ(b.board().RunOnCpu([&] {
            c.fnHold();
            bResult = SendSCSICommand(ps);
            c.fnRelease();
        }),
                  sim::StopKind::Finished);
        EXPECT_EQ(bResult, c.bResult) << c.pszName;
    }
    EXPECT_EQ(ioc->scsiRequests(), dBefore);
    uint8_t bResult = 0;
    ASSERT_EQ(b.board().RunOnCpu([&] { bResult = SendSCSICommand(ps); }), sim::StopKind::Finished);
    EXPECT_EQ(bResult, SEND_POSTED);
    PollFor(1000, [&] { return ps->bPrimaryState == PS_COMPLETED; });
}

// Start of day sends every drive a TARGET RESET; each discovery pass
// reads the IO unit's pages 1 to 3 with its page 0.
TEST_F(DiscoveryTest, StartOfDayResetsEveryTargetAndPassesReadTheIoUnit) {
    EXPECT_EQ(ioc->targetResets(), 8u);
    const uint32_t dBefore = ioc->pageReads(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 2);
    Rediscover();
    for (uint8_t bPage = 0; bPage <= 3; ++bPage) {
        EXPECT_GE(ioc->pageReads(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, bPage), 1u) << int(bPage);
    }
    EXPECT_EQ(ioc->pageReads(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 2), dBefore + 1);
}

// The IOC's diagnostic table goes to NVRAM, each word low byte first.
TEST_F(DiscoveryTest, DiagnosticTableIsSavedToNvram) {
    for (uint32_t k = 0; k < 64; ++k) ioc->SetIocMemory(0x21FFFF00 + 4 * k, 0x11223300 + k);
    ASSERT_EQ(b.board().RunOnCpu([] { SaveSASDiagnosticTableToNVRAM(); }), sim::StopKind::Finished);
    const uint8_t* pb = HwGetWindow(HW_WINDOW_NVRAM).pBase + 0x58AC8;
    for (uint32_t k = 0; k < 64; ++k) {
        EXPECT_EQ(pb[4 * k], k) << k;
        EXPECT_EQ(pb[4 * k + 1], 0x33) << k;
        EXPECT_EQ(pb[4 * k + 3], 0x11) << k;
    }
}

class SataDiscoveryTest : public DiscoveryTest {
protected:
    SataDiscoveryTest() : DiscoveryTest(true) {}
};

// A continuing pass (a port selector was switched) that then fails still
// rebuilds the list, rather than restarting the IOC.
TEST_F(SataDiscoveryTest, ContinuingPassThatFailsStillRebuildsTheList) {
    sim::ExpanderPhy& sPhy = chassis.expander().phys()[static_cast<size_t>(chassis.expander().PhyOfSlot(2))];
    sPhy.portSelector = true;
    sPhy.selectorActive = false;
    chassis.NotifyLinkChange();
    SetSasDriveWork(TRUE);
    Step();
    ASSERT_EQ(bGetSASDiscoveryState(), SAS_DISC_CONTINUE);
    EXPECT_EQ(fIsSASDiscoveryMoreWork(), TRUE);
    ioc->faults.configStatus = MPI_IOCSTATUS_CONFIG_INVALID_DATA;
    StepUntil(7000, [] { return bGetSASDiscoveryState() != SAS_DISC_CONTINUE; });
    EXPECT_EQ(bGetSASDiscoveryState(), SAS_DISC_REBUILD);
    EXPECT_EQ(fIsSASDiscoveryMoreWork(), FALSE);
    ioc->faults.configStatus = 0;
    Step();
    EXPECT_EQ(fIsSASDiscoveryRunning(), FALSE);
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8);
}

// SATA drives: identity from IDENTIFY DEVICE, and a block made unreadable
// on purpose reads back as a media error.
TEST_F(SataDiscoveryTest, IdentifyAndWriteUncorrectable) {
    const uint8_t bTarget = TargetOfSlot(3);
    SAS_DEVICE_ENTRY sEntry{};
    uint8_t bResult = 0;
    ASSERT_EQ(b.board().RunOnCpu([&] { bResult = bIdentifySATADrive(bTarget, 0, &sEntry); }),
              sim::StopKind::Finished);
    ASSERT_EQ(bResult, STATUS_OK);
    EXPECT_EQ(sEntry.f48BitLBA, TRUE);
    EXPECT_EQ(sEntry.lCapacity, chassis.ConfigAt(3)->blocks);
    EXPECT_EQ(std::memcmp(sEntry.acSerial, "M0000003  ", 10), 0);
    EXPECT_EQ(std::memcmp(sEntry.abWWN, "M0000003", 8), 0);

    EXPECT_EQ(Wait(bTarget, {0x28, 0, 0, 0, 0x20, 0, 0, 0, 1}, 512).bStatus, 0);
    ASSERT_EQ(b.board().RunOnCpu([&] { bResult = bWriteUncorrectableSATA(bTarget, 0, 0x2000, 0); }),
              sim::StopKind::Finished);
    EXPECT_EQ(bResult, STATUS_OK);
    const auto w = Wait(bTarget, {0x28, 0, 0, 0, 0x20, 0, 0, 0, 1}, 512);
    EXPECT_EQ(w.bStatus, 2);
    EXPECT_EQ(w.bKey, 3);
}

// Start of day resets the phys of the SATA drives before its first look.
TEST_F(SataDiscoveryTest, StartOfDayResetsTheSataDrivesPhys) {
    for (unsigned slot = 1; slot <= 8; ++slot) {
        EXPECT_GE(chassis.expander().phys()[static_cast<size_t>(chassis.expander().PhyOfSlot(static_cast<int>(slot)))]
                      .linkResets,
                  1u)
            << slot;
    }
}

// The device list's services of the configuration writer and the
// enclosure code.
TEST_F(DiscoveryTest, AddressListSlotCountsAndListings) {
    static DRIVE_ADDRESS_LIST s_sList;
    BuildSASAddressList(&s_sList);
    ASSERT_EQ(s_sList.bCount, 8);
    const SAS_DEVICE_ENTRY* psSlot3 = psGetSASDeviceOfTarget(TargetOfSlot(3));
    ASSERT_NE(psSlot3, nullptr);
    uint8_t bTarget = 0;
    DRIVE_ADDRESS_ENTRY* ps = pFindSASAddressInList(&s_sList, psSlot3->abWWN, &bTarget, TRUE);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(bTarget, psSlot3->bTargetId);
    EXPECT_EQ(ps->fClaimed, TRUE);
    const uint8_t abUnknown[8] = {0x50, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(pFindSASAddressInList(&s_sList, abUnknown, &bTarget, TRUE), nullptr);
    EXPECT_EQ(bTarget, 0xFF);

    psGetSASDeviceOfTarget(TargetOfSlot(2))->wOutstanding = 3;
    psGetSASDeviceOfTarget(TargetOfSlot(7))->wOutstanding = 1;
    EXPECT_EQ(wGetSlotCommandCount(1, 2, FALSE), 3);
    EXPECT_EQ(wGetSlotCommandCount(1, 10, FALSE), 0);   // an empty slot
    EXPECT_EQ(wGetEnclosureBusySlots(1), 0x0042);
    EXPECT_EQ(wGetEnclosureBusySlots(2), 0);

    // No partner found: no reset goes out.
    const uint32_t dBefore = ioc->requestsReceived();
    uint8_t bResult = TRUE;
    ASSERT_EQ(b.board().RunOnCpu([&] { bResult = bResetPartnerTarget(); }), sim::StopKind::Finished);
    EXPECT_EQ(bResult, 0);
    EXPECT_EQ(ioc->requestsReceived(), dBefore);

    b.board().ClearConsoleText();
    ShowSASInfoLists();
    const std::string s = b.board().ConsoleText();
    for (const char* psz : {"TC SAS Expander Info List", "SAS Expander List H:0009 ffff Encl:01",
                            " Phy:0e Phy Info:00000000 Attached Device Info:00000401", "TC SAS Drive Info List",
                            "SAS Drive Info: 0x08 entries, 0x00 proxy", "STP Info: 0x00 enclosures, 0x00 STP entries",
                            "OC SAS Drive Info List", "SAS Drive Info: 0x00 entries",
                            "Invalid Received CRC Count: 0", "Outstanding Task Management Count: 0 "}) {
        EXPECT_NE(s.find(psz), std::string::npos) << psz << "\n" << s;
    }
}

// A controller enclosure with two expansion enclosures cascaded below it:
// the second hangs off the first and is cabled to the other side and path.
class CascadeDiscoveryTest : public DiscoveryTest {
protected:
    static sim::ChassisOptions Cascade() {
        sim::ChassisOptions o;
        o.expansions = 2;
        o.expansionDrives = 3;
        return o;
    }
    CascadeDiscoveryTest() : DiscoveryTest(Cascade()) {}

    static const SAS_EXPANDER* Listed(uint64_t lAddress) {
        SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
        for (uint8_t i = 0; i < psSASExpanderHeader(psList)->bExpanderCount; ++i) {
            const SAS_EXPANDER& s = psList->asExpander[i];
            if ((static_cast<uint64_t>(s.adSASAddress[1]) << 32 | s.adSASAddress[0]) == lAddress) return &s;
        }
        return nullptr;
    }
    static uint64_t Expansion(unsigned n) { return sim::Chassis::ExpansionSasAddress(n); }
    // The expansion enclosure's slot (from 1) as a chassis slot.
    static unsigned SlotOf(unsigned n, unsigned slot) { return n * sim::Chassis::kSlots + slot; }
    void Recable(unsigned n, bool fUp) {
        chassis.expander(n - 1).phys()[sim::Chassis::kDownlinkPhy].enabled = fUp;
        chassis.NotifyLinkChange();
        Rediscover();
    }
};

// Enclosures are numbered by their depth in the cascade; side and path come
// from each expansion expander's address, its model from its manufacturer
// information, and the drives behind it take its enclosure number and the
// slots of that model.
TEST_F(CascadeDiscoveryTest, EnclosuresAreNumberedByTheirDepthInTheCascade) {
    const SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(pGetSASExpanderList());
    EXPECT_EQ(psHeader->bExpanderCount, 3);
    EXPECT_EQ(psHeader->bHighestEnclosure, 3);
    EXPECT_EQ(psHeader->awAttachedHandle[0], sim::SasController::kExpanderHandle);
    EXPECT_EQ(psHeader->awAttachedHandle[1], 0xFFFF);

    const SAS_EXPANDER* psOwn = Listed(sim::Chassis::kExpanderSasAddress);
    const SAS_EXPANDER* psFirst = Listed(Expansion(1));
    const SAS_EXPANDER* psSecond = Listed(Expansion(2));
    ASSERT_TRUE(psOwn && psFirst && psSecond);
    struct Expect {
        const SAS_EXPANDER* ps;
        uint8_t bEnclosure, bSide, bPath, bType;
        uint16_t wParent;
        bool fUpstream;
    } const aExpect[] = {
        {psOwn, 1, 0, 0, bGetBackplaneType(), 0xFFFF, true},
        {psFirst, 2, 0, 0, 0x10, psOwn->wDevHandle, true},
        {psSecond, 3, 1, 1, 0x10, psFirst->wDevHandle, false},
    };
    for (const Expect& e : aExpect) {
        SCOPED_TRACE(int(e.bEnclosure));
        EXPECT_EQ(e.ps->bEnclosure, e.bEnclosure);
        EXPECT_EQ(e.ps->bSide, e.bSide);
        EXPECT_EQ(e.ps->bPath, e.bPath);
        EXPECT_EQ(e.ps->bEnclosureType, e.bType);
        EXPECT_EQ(e.ps->wParentDevHandle, e.wParent);
        EXPECT_EQ(e.ps->wUpstreamHandle, e.fUpstream ? e.ps->wDevHandle : 0xFFFF);
        EXPECT_EQ(e.ps->fUsable, TRUE);
        EXPECT_EQ(e.ps->fResponding, TRUE);
    }
    // The cable down the cascade is a link, not a slot.
    uint8_t bEnclosure = 0, bSlot = 0;
    EXPECT_EQ(bGetEnclosureSlotOfExpanderPhy(psFirst->wDevHandle, sim::Chassis::kDownlinkPhy, &bEnclosure, &bSlot),
              STATUS_OK);
    EXPECT_EQ(bEnclosure, 2);
    EXPECT_EQ(bSlot, 0xB1);

    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8 + 3 + 3);
    for (unsigned n = 1; n <= 2; ++n) {
        for (unsigned slot = 1; slot <= 3; ++slot) {
            SCOPED_TRACE(testing::Message() << n << ":" << slot);
            const uint8_t bTarget = TargetOfSlot(SlotOf(n, slot));
            ASSERT_EQ(bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot), STATUS_OK);
            EXPECT_EQ(bEnclosure, n + 1);
            EXPECT_EQ(bSlot, slot);
            uint8_t bExpander = 0, bPhy = 0;
            ASSERT_EQ(bFindExpanderPhyOfEnclosureSlot(static_cast<uint8_t>(n + 1), static_cast<uint8_t>(slot),
                                                      &bExpander, &bPhy),
                      STATUS_OK);
            EXPECT_EQ(bPhy, chassis.expander(n).PhyOfSlot(static_cast<int>(SlotOf(n, slot))));
        }
    }
    // A drive two enclosures down answers like one in the controller's own.
    EXPECT_EQ(Wait(TargetOfSlot(SlotOf(2, 3)), {0x28, 0, 0, 0, 0, 0, 0, 0, 1}, 512).bStatus, 0);
    // The expansions' model shares their slots alternately between the
    // controllers; the IOC's expanders are counted afresh.
    EXPECT_EQ(bGetSlotOwnerController(2, 2), 2);
    EXPECT_EQ(bGetSlotOwnerController(3, 7), 1);
    uint8_t bCounted = 0;
    ASSERT_EQ(b.board().RunOnCpu([&] { bCounted = bCountSASExpanders(); }), sim::StopKind::Finished);
    EXPECT_EQ(bCounted, 3);
}

// Each expansion's model is asked once: a later pass that finds the same
// address, handle and enclosure keeps the type without a query.  The
// controller enclosure is never asked (it is the backplane's).
TEST_F(CascadeDiscoveryTest, UnchangedExpanderKeepsItsModelWithoutANewQuery) {
    EXPECT_EQ(chassis.expander(0).manufacturerQueries, 0u);
    EXPECT_EQ(chassis.expander(1).manufacturerQueries, 1u);
    EXPECT_EQ(chassis.expander(2).manufacturerQueries, 1u);
    chassis.expander(2).product = "Other model     ";
    Rediscover();
    EXPECT_EQ(chassis.expander(1).manufacturerQueries, 1u);
    EXPECT_EQ(chassis.expander(2).manufacturerQueries, 1u);
    EXPECT_EQ(Listed(Expansion(2))->bEnclosureType, 0x10);
}

// Cutting the cable below the first expansion takes the last enclosure and
// its drives out of the lists; cabling it again brings them back, asks the
// returning expander what it is, and reports the new enclosure (event 152).
TEST_F(CascadeDiscoveryTest, CutCascadeLosesItsEnclosureUntilRecabled) {
    const EVENT_LOG_ENTRY* psRise = harness::NewestEvent(152);
    Recable(2, false);
    EXPECT_EQ(psSASExpanderHeader(pGetSASExpanderList())->bExpanderCount, 2);
    EXPECT_EQ(psSASExpanderHeader(pGetSASExpanderList())->bHighestEnclosure, 2);
    EXPECT_EQ(Listed(Expansion(2)), nullptr);
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8 + 3);
    EXPECT_EQ(psGetSASDeviceOfTarget(TargetOfSlot(SlotOf(2, 1))), nullptr);
    // One controller alone starts no slot change and reports no loss.
    EXPECT_EQ(harness::NewestEvent(152), psRise);

    Recable(2, true);
    EXPECT_EQ(psSASExpanderHeader(pGetSASExpanderList())->bHighestEnclosure, 3);
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8 + 3 + 3);
    EXPECT_EQ(chassis.expander(2).manufacturerQueries, 2u);
    const EVENT_LOG_ENTRY* ps = harness::NewestEvent(152);
    ASSERT_NE(ps, nullptr);
    EXPECT_NE(ps, psRise);
    EXPECT_EQ(std::vector<uint8_t>(ps->abArgs, ps->abArgs + 4), (std::vector<uint8_t>{1, 3, 2, 3}));
}

// The cut enclosure's processor and drives go from the list: each is reset
// (they were this controller's), and the drive side waits a moment before
// its next command.
TEST_F(CascadeDiscoveryTest, ACutEnclosuresProcessorAndDrivesAreReset) {
    ASSERT_EQ(pGetSASDriveInfoList()->bStpCount, 2);
    const uint32_t dResets = ioc->targetResets();
    Recable(2, false);
    EXPECT_EQ(pGetSASDriveInfoList()->bStpCount, 1);
    EXPECT_EQ(ioc->targetResets(), dResets + 3 + 1);
    EXPECT_GT(lGetSASDeadline(), Now() + 4000);
}

// Restarting discovery resets the phys of end devices in every enclosure,
// never the cables between the expanders.
TEST_F(CascadeDiscoveryTest, DiscoveryRestartLeavesTheCascadeCablesAlone) {
    ASSERT_EQ(b.board().RunOnCpu([] { (void)RestartSASDiscovery(FALSE); }), sim::StopKind::Finished);
    for (unsigned n = 0; n <= 2; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(chassis.expander(n).phys()[sim::Chassis::kUplinkPhy].linkResets, 0u);
        EXPECT_EQ(chassis.expander(n).phys()[sim::Chassis::kDownlinkPhy].linkResets, 0u);
        EXPECT_GE(chassis.PhyOfSlot(SlotOf(n, 1)).linkResets, 1u);
    }
}

// A cascade deeper than the expander list holds: discovery lists the first
// 48 expanders and counts the rest, without a word on the console.
class DeepCascadeDiscoveryTest : public DiscoveryTest {
protected:
    static sim::ChassisOptions Deep() {
        sim::ChassisOptions o;
        o.expansions = SAS_MAX_EXPANDERS;
        return o;
    }
    DeepCascadeDiscoveryTest() : DiscoveryTest(Deep()) {}
};

TEST_F(DeepCascadeDiscoveryTest, ExpandersBeyondTheListAreCountedNotListed) {
    ASSERT_EQ(chassis.expanderCount(), SAS_MAX_EXPANDERS + 1u);
    EXPECT_EQ(psSASExpanderHeader(pGetSASExpanderList())->bExpanderCount, SAS_MAX_EXPANDERS);
    const uint32_t dBefore = dGetSASTopologyOverflows();
    EXPECT_GE(dBefore, 1u);
    b.board().ClearConsoleText();
    Rediscover();
    EXPECT_EQ(psSASExpanderHeader(pGetSASExpanderList())->bExpanderCount, SAS_MAX_EXPANDERS);
    EXPECT_EQ(dGetSASTopologyOverflows(), dBefore + 1);
    EXPECT_EQ(b.board().ConsoleText(), "");
}

}  // namespace
