// Drives behind the drive-side controller: start-of-day discovery, waited
// commands, the kernel-entry path with its reply dispatch, hot removal and
// insertion, and the replies the dispatch must refuse.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "config/apply_settings.h"
#include "config/config_image.h"
#include "config/default_config.h"
#include "harness/dispatch_board.h"
#include "enclosure/drive_table.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "hw/ata.h"
#include "hw/scsi.h"
#include "executive/kernel_queue.h"
#include "executive/startup.h"
#include "executive/tick.h"
#include "executive/system_state.h"
#include "executive/work_flags.h"
#include "eventlog/event_log.h"
#include "partner/partner_link.h"
#include "partner/partner_state.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/reply_dispatch.h"
#include "sas/request_frames.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_failback.h"
#include "sas/sas_flags.h"
#include "sas/sas_scsi_path.h"
#include "sas/slot_phy_actions.h"
#include "sas/smp.h"
#include "drive_side_fixture.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

using namespace fw;

using sastest::BuildRead;

class DrivePathTest : public sastest::DriveSideTest {
protected:
    explicit DrivePathTest(bool fSata = false) : DriveSideTest(fSata) {}
    // The last block a READ CAPACITY (10) through the waited path finds;
    // the pattern left in the buffer when it failed or was never sent.
    uint32_t ReadLastBlock(uint8_t bTarget) {
        std::memset(Buffer(), 0xEE, 8);
        const Waited w = Wait(bTarget, {0x25}, 8);
        const uint8_t* pb = Buffer();
        return w.bResult == STATUS_OK && w.bStatus == 0
                   ? static_cast<uint32_t>(pb[0] << 24 | pb[1] << 16 | pb[2] << 8 | pb[3])
                   : 0xFFFFFFFF;
    }
};

TEST_F(DrivePathTest, StartOfDayFindsTheExpanderAndEveryDrive) {
    EXPECT_EQ(psSASExpanderHeader(pGetSASExpanderList())->bExpanderCount, 1);
    const SAS_EXPANDER& sEx = pGetSASExpanderList()->asExpander[0];
    EXPECT_EQ(sEx.bEnclosure, 1);
    EXPECT_EQ(sEx.fUsable, TRUE);
    SAS_DEVICE_LIST* ps = pGetSASDriveInfoList();
    ASSERT_EQ(ps->bEntryCount, 8);
    bool afSlot[13] = {};
    for (uint8_t i = 0; i < 8; ++i) {
        const SAS_DEVICE_ENTRY& s = ps->asEntry[i];
        EXPECT_EQ(s.fValid, TRUE);
        EXPECT_EQ(s.fReady, TRUE);
        EXPECT_EQ(s.fSAS, TRUE);
        EXPECT_EQ(s.bEnclosure, 1);
        ASSERT_GE(s.bSlot, 1);
        ASSERT_LE(s.bSlot, 8);
        afSlot[s.bSlot] = true;
        EXPECT_EQ(s.bTargetId, TargetOfSlot(s.bSlot));
        uint8_t bTarget = 0;
        EXPECT_EQ(bGetTargetIdBySASAddress(s.abWWN, &bTarget), STATUS_OK);
        EXPECT_EQ(bTarget, s.bTargetId);
        EXPECT_EQ(bGetDriveIndexOfTarget(s.bTargetId), s.bSlot - 1);
    }
    for (unsigned slot = 1; slot <= 8; ++slot) EXPECT_TRUE(afSlot[slot]) << slot;
}

// A drive the start of day gives up (it fails every TEST UNIT READY) is
// left invalid, and the configuration is saved as it is applied without it;
// a start of day that gives none up asks for no save.
TEST_F(DrivePathTest, AStartOfDayThatGivesADriveUpHasTheConfigurationSaved) {
    const auto fStart = [this] {
        SetConfigApplyOption(FALSE);
        EXPECT_EQ(b.board().RunOnCpu([] { InitDriveSideSAS(); }), sim::StopKind::Finished);
        return fGetConfigApplyOption() == TRUE;
    };
    EXPECT_FALSE(fStart());
    chassis.DriveAt(3)->FailCommand(SCSI_TEST_UNIT_READY, 100);
    EXPECT_TRUE(fStart());
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(TargetOfSlot(3));
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->fValid, FALSE);
}

TEST_F(DrivePathTest, WaitedReadsReturnWhatTheImageHolds) {
    const uint8_t bTarget = TargetOfSlot(2);
    Waited w = Wait(bTarget, {0x25}, 8);
    ASSERT_EQ(w.bResult, STATUS_OK);
    ASSERT_EQ(w.bStatus, 0);
    const uint8_t* pb = Buffer();
    const uint32_t dLast = static_cast<uint32_t>(pb[0] << 24 | pb[1] << 16 | pb[2] << 8 | pb[3]);
    EXPECT_EQ(dLast, chassis.ConfigAt(2)->blocks - 1);
    EXPECT_EQ(pb[6] << 8 | pb[7], 512);

    const uint32_t dLba = dLast - 32768;
    std::vector<uint8_t> abImage(512);
    for (size_t i = 0; i < abImage.size(); ++i) abImage[i] = static_cast<uint8_t>(i * 7 + 3);
    chassis.DriveAt(2)->WriteBlocks(dLba, 1, abImage.data());
    std::memset(Buffer(), 0xEE, 512);
    w = Wait(bTarget, {0x28, 0, uint8_t(dLba >> 24), uint8_t(dLba >> 16), uint8_t(dLba >> 8), uint8_t(dLba), 0, 0, 1},
             512);
    ASSERT_EQ(w.bResult, STATUS_OK);
    EXPECT_EQ(w.bStatus, 0);
    EXPECT_EQ(std::memcmp(Buffer(), abImage.data(), 512), 0);
}

// A SAS drive takes every command as sent, also once the flag words an IOC
// restart clears are gone, and also should its own flag be lost: nothing
// it is asked comes back GOOD without having reached it.
TEST_F(DrivePathTest, ASasDriveIsSentItsCommandsAfterAnIocRestartAndWithoutItsFlag) {
    const uint8_t bTarget = TargetOfSlot(2);
    const uint32_t dLast = static_cast<uint32_t>(chassis.ConfigAt(2)->blocks - 1);
    ASSERT_NE(dGetSASTargetFlags(bTarget) & SAS_TARGET_FLAG_NATIVE, 0u);
    // The restart clears every target's flag word; the drive is found again
    // under its old identity.
    ASSERT_EQ(b.board().RunOnCpu([] { ClearSASTargetFlagsAndHoldOffs(); }), sim::StopKind::Finished);
    Rediscover();
    for (unsigned slot = 1; slot <= 8; ++slot) {
        EXPECT_NE(dGetSASTargetFlags(TargetOfSlot(slot)) & SAS_TARGET_FLAG_NATIVE, 0u) << "slot " << slot;
    }
    EXPECT_EQ(ReadLastBlock(bTarget), dLast);
    ClearSASTargetFlagBits(bTarget, SAS_TARGET_FLAG_NATIVE);
    EXPECT_EQ(ReadLastBlock(bTarget), dLast);
}

// A buffer the drive IOC cannot reach ends the command as failed, never
// GOOD with its data lost.
TEST_F(DrivePathTest, ABufferOutsideMemoryTheIocReachesFailsTheCommand) {
    const sim::MemoryWindows& m = b.board().memory();
    const BUFFER_HANDLE dKept = dBuffer;
    dBuffer = BUFFER_HANDLE{m.bank0Address() + m.bank0Size() - 4};
    const Waited w = Wait(TargetOfSlot(2), {0x25}, 8);
    dBuffer = dKept;
    EXPECT_FALSE(w.bResult == STATUS_OK && w.bStatus == 0) << int(w.bResult);
}

TEST_F(DrivePathTest, WaitedCommandFailuresComeBackAsSuch) {
    const uint8_t bTarget = TargetOfSlot(1);
    chassis.DriveAt(1)->InjectMediaError(100, 4);
    Waited w = Wait(bTarget, {0x28, 0, 0, 0, 0, 101, 0, 0, 1}, 512);
    ASSERT_EQ(w.bResult, STATUS_OK);
    EXPECT_EQ(w.bStatus, 2);
    EXPECT_EQ(w.bKey, 3);

    // A drive gone from under a listed target fails at once, no hang.
    chassis.DriveAt(3)->SetNoResponse(true);
    const uint64_t lBefore = b.board().clock().Now();
    w = Wait(TargetOfSlot(3), {0x00}, 0);
    EXPECT_EQ(w.bResult, 252);
    EXPECT_LE(b.board().clock().Now() - lBefore, 6'000'000'000ull);
    w = Wait(0x70, {0x00}, 0);   // no such target at all
    EXPECT_EQ(w.bResult, 0);
}

// A drive that never answers: the waited command gives up within its bound,
// the IOC is told to abort the task, and the request comes back.
TEST_F(DrivePathTest, SilentDriveIsAbortedAndItsRequestReturns) {
    const uint16_t wIdle = wGetLSIRequestsInUse(LSI_IOC_DRIVE);
    chassis.DriveAt(5)->SetNoResponse(true);
    const Waited w = Wait(TargetOfSlot(5), {0x28, 0, 0, 0, 0, 8, 0, 0, 1}, 512);
    EXPECT_EQ(w.bResult, 252);
    PollFor(100, [&] { return wGetLSIRequestsInUse(LSI_IOC_DRIVE) == wIdle; });
    EXPECT_EQ(ioc->tasksAborted(), 1u);
    EXPECT_EQ(ioc->stalledRequests(), 0u);
    EXPECT_EQ(wGetLSIRequestsInUse(LSI_IOC_DRIVE), wIdle);
    // The target's queue slot is given back too: the drive, once alive
    // again, takes waited commands as before.
    chassis.DriveAt(5)->SetNoResponse(false);
    EXPECT_EQ(Wait(TargetOfSlot(5), {0x00}, 0).bResult, STATUS_OK);
}

// A proxy target's command goes to the partner's target on the first path
// that has one, as a forwarded drive command; with no path, or that target
// refusing, it is refused to be sent again later, never sent to no one.
TEST_F(DrivePathTest, ProxyCommandsGoToThePartnerAsForwardedCommands) {
    constexpr uint8_t PROXY = 0x85;
    const uint8_t bRoute = TargetOfSlot(3);
    std::vector<uint8_t> abSeen;
    chassis.DriveAt(3)->onCommand = [&](std::span<const uint8_t> cdb) { abSeen.assign(cdb.begin(), cdb.end()); };
    SetPartnerAlpaPath1(0xFF);
    SetPartnerAlpaPath2(0xFF);
    b.board().ClearConsoleText();
    EXPECT_EQ(Wait(PROXY, {0x28, 0, 0, 0, 0, 8, 0, 0, 1}, 512).bResult, 16);
    const std::string s = b.board().ConsoleText();
    const std::string sSaid = "SendSCSICommand: no target ID for other controller";
    EXPECT_NE(s.find(sSaid), std::string::npos);
    EXPECT_EQ(s.find(sSaid), s.rfind(sSaid));   // once, not at every retry
    EXPECT_TRUE(abSeen.empty());

    SetPartnerAlpaPath2(bRoute);
    SetSASTargetFlagBits(bRoute, SAS_TARGET_FLAG_REFUSE);
    EXPECT_EQ(Wait(PROXY, {0x28, 0, 0, 0, 0, 8, 0, 0, 1}, 512).bResult, 16);
    EXPECT_TRUE(abSeen.empty());
    ClearSASTargetFlagBits(bRoute, SAS_TARGET_FLAG_REFUSE);
    (void)Wait(PROXY, {0x28, 0, 0, 0, 0x12, 0x34, 0, 0, 1}, 512);
    ASSERT_GE(abSeen.size(), 10u);
    EXPECT_EQ(abSeen[0], 0x06);
    EXPECT_EQ(abSeen[1], 0x28);
    EXPECT_EQ(abSeen[5], 0x12);
    EXPECT_EQ(abSeen[9], 1);
    SetPartnerAlpaPath2(0xFF);
}

// A task management request answered at once: its target takes commands
// again afterwards, however soon the answer came.
TEST_F(DrivePathTest, ATargetTakesCommandsAgainOnceItsTaskManagementIsAnswered) {
    const uint8_t bTarget = TargetOfSlot(2);
    ASSERT_EQ(b.board().RunOnCpu([&] {
        EXPECT_EQ(bSendSASTaskManagement(bTarget, 0, MPI_TASKTYPE_LOGICAL_UNIT_RESET, 0), STATUS_OK);
    }),
              sim::StopKind::Finished);
    PollFor(100, [] { return dGetSASTaskManagementCount() == 0; });
    EXPECT_EQ(dGetSASTaskManagementCount(), 0u);
    EXPECT_EQ(dGetSASTargetFlags(bTarget) & SAS_TARGET_FLAG_REFUSE, 0u);
    EXPECT_EQ(Wait(bTarget, {0x00}, 0).bResult, STATUS_OK);
}

// The IOC's own events drive discovery: each is acknowledged, and the
// background steps bring the list up to date after a pull and an insert.
TEST_F(DrivePathTest, LinkEventsAreAcknowledgedAndRediscovered) {
    // A running controller re-applies its configuration after each pass.
    static CONFIG_IMAGE s_sImage;
    ASSERT_EQ(b.board().RunOnCpu([] {
        InitEventLog();
        SetConfigImagePointer(&s_sImage);
        MakeDefaultConfiguration(&s_sImage, TRUE);
        SetInitializationComplete(TRUE);
    }),
              sim::StopKind::Finished);
    auto settle = [&](uint8_t bCount) {
        PollFor(5);
        // A drive gone asks the drive work for a look, one added discovery.
        EXPECT_TRUE(fGetSasDiscoveryWork() == TRUE || fGetSasDriveWork() == TRUE);
        EXPECT_EQ(fIsSASEventAckPending(), FALSE);
        ASSERT_EQ(b.board().RunOnCpu([&] {
            const uint64_t lEnd = lGetTickCount() + 60000;
            while (lGetTickCount() < lEnd && (fGetSasDiscoveryWork() == TRUE || fGetSasDriveWork() == TRUE ||
                                              fIsSASDiscoveryRunning() == TRUE)) {
                SASDiscoveryStep();
                SpinDelayMs(100);
            }
        }),
                  sim::StopKind::Finished);
        EXPECT_EQ(fGetSasDiscoveryWork(), FALSE);
        EXPECT_EQ(fGetSasDriveWork(), FALSE);
        EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, bCount);
    };
    const sim::DriveConfig sOld = *chassis.ConfigAt(6);
    chassis.Pull(6);
    settle(7);
    EXPECT_EQ(ioc->eventAcks(), 1u);
    chassis.Insert(6, sOld);
    settle(8);
    EXPECT_EQ(ioc->eventAcks(), 2u);
    EXPECT_EQ(dGetSASLostEventAckCount(), 0u);
}

// With replies quiet, a FAULT is still seen through the doorbell interrupt
// and leads to an IOC restart.
TEST_F(DrivePathTest, FaultIsNoticedWithoutAReply) {
    ASSERT_EQ(b.board().RunOnCpu([] { InitEventLog(); }), sim::StopKind::Finished);
    ioc->EnterFault(0x1234);
    PollFor(5);
    const EVENT_LOG_ENTRY* ps = harness::NewestEvent(1);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(fGetSasDiscoveryWork(), TRUE);
    EXPECT_EQ(ioc->postedReplies(), 0u);
}

// The synchronous manufacturer query discovery identifies enclosures by.
TEST_F(DrivePathTest, ManufacturerQueryAnswersOrTimesOut) {
    for (bool fResponding : {true, false}) {
        chassis.expander().responding = fResponding;
        uint8_t abAnswer[60] = {};
        uint8_t bResult = 0;
        const uint64_t lAddress = chassis.expander().sasAddress();
        const uint64_t lBefore = b.board().clock().Now();
        ASSERT_EQ(b.board().RunOnCpu([&] {
            bResult = bReportManufacturerInformation(static_cast<uint32_t>(lAddress),
                                                     static_cast<uint32_t>(lAddress >> 32), abAnswer);
        }),
                  sim::StopKind::Finished);
        if (fResponding) {
            EXPECT_EQ(bResult, STATUS_OK);
            EXPECT_EQ(std::memcmp(abAnswer + 20, "Vomax expansion ", 16), 0);
        } else {
            EXPECT_EQ(bResult, 0);
            EXPECT_LE(b.board().clock().Now() - lBefore, 3'100'000'000ull);
        }
    }
}

// Phy resets of the discovery restart: which phys get a hard reset.
TEST_F(DrivePathTest, DiscoveryRestartResetsTheRightPhys) {
    auto resets = [&] {
        uint32_t n = 0;
        for (const sim::ExpanderPhy& p : chassis.expander().phys()) n += p.linkResets;
        return n;
    };
    struct Case {
        const char* pszName;
        std::function<uint8_t()> fnRun;
        uint8_t bResult;
        uint32_t dResets;
    } const aCases[] = {
        {"nothing vanished", [] { return fResetVanishedDevicePhys(); }, FALSE, 0},
        {"end devices, targets spared", [] { return RestartSASDiscovery(TRUE); }, STATUS_OK, 0},
        {"every end device", [] { return RestartSASDiscovery(FALSE); }, STATUS_OK, 8},
    };
    for (const Case& c : aCases) {
        const uint32_t dBefore = resets();
        uint8_t bResult = 0;
        ASSERT_EQ(b.board().RunOnCpu([&] { bResult = c.fnRun(); }), sim::StopKind::Finished);
        PollFor(20);
        EXPECT_EQ(bResult, c.bResult) << c.pszName;
        EXPECT_EQ(resets() - dBefore, c.dResets) << c.pszName;
    }

    // A drive pulled since the last pass: only its phy is reset, once.
    const int iPhy = chassis.expander().PhyOfSlot(2);
    chassis.Pull(2);
    uint8_t fReset = FALSE;
    ASSERT_EQ(b.board().RunOnCpu([&] { fReset = fResetVanishedDevicePhys(); }), sim::StopKind::Finished);
    PollFor(20);
    EXPECT_EQ(fReset, TRUE);
    EXPECT_EQ(chassis.expander().phys()[static_cast<size_t>(iPhy)].linkResets, 2u);
    Rediscover();
    ASSERT_EQ(b.board().RunOnCpu([&] { fReset = fResetVanishedDevicePhys(); }), sim::StopKind::Finished);
    EXPECT_EQ(fReset, FALSE);

    // A disabled phy is noted, not reset.
    uint8_t bExpander = 0, bPhy = 0;
    ASSERT_EQ(bFindExpanderPhyOfEnclosureSlot(1, 3, &bExpander, &bPhy), STATUS_OK);
    chassis.expander().phys()[bPhy].enabled = false;
    SetSASPhyStateBits(bExpander, bPhy, SAS_PHY_DISABLED, FALSE);
    const uint32_t dBefore = chassis.expander().phys()[bPhy].linkResets;
    ASSERT_EQ(b.board().RunOnCpu([] { (void)RestartSASDiscovery(FALSE); }), sim::StopKind::Finished);
    PollFor(20);
    EXPECT_EQ(chassis.expander().phys()[bPhy].linkResets, dBefore);
    EXPECT_NE(bGetSASPhyState(bExpander, bPhy) & SAS_PHY_DISABLED, 0);
}

// A slot's phy is reset on its own only by a lone Z8Q2: beside a live
// partner the drive in it may be the partner's to serve.
TEST_F(DrivePathTest, ASlotPhyIsResetAloneOnlyWithoutAPartner) {
    ASSERT_EQ(fIsZ8Q2Controller(), TRUE);
    uint8_t bExpander = 0, bPhy = 0;
    ASSERT_EQ(bFindExpanderPhyOfEnclosureSlot(1, 3, &bExpander, &bPhy), STATUS_OK);
    auto resetsOfSlot = [&](uint8_t fPartnerAlive) {
        const uint32_t dBefore = chassis.expander().phys()[bPhy].linkResets;
        EXPECT_EQ(b.board().RunOnCpu([&] {
            SetPartnerAlive(fPartnerAlive);
            HardResetSlotPhyAlone(1, 3);
        }),
                  sim::StopKind::Finished);
        PollFor(20);
        return chassis.expander().phys()[bPhy].linkResets - dBefore;
    };
    EXPECT_EQ(resetsOfSlot(TRUE), 0u);
    EXPECT_GT(resetsOfSlot(FALSE), 0u);
}

// PORT ENABLE through the request queue: the port wait holds from the
// request to its reply; an IOC other than the drive IOC is refused.
TEST_F(DrivePathTest, APortEnableHoldsThePortWaitUntilItsReply) {
    uint8_t bOther = 0xEE, bDrive = 0, fWaitAfterSend = FALSE;
    ASSERT_EQ(b.board().RunOnCpu([&] {
        SetSASPortWaitFlag(FALSE);
        bOther = bSendPortEnable(0x31, 0, 80000);
        bDrive = bSendPortEnable(LSI_IOC_DRIVE, 0, 80000);
        fWaitAfterSend = fGetSASPortWaitFlag();
    }),
              sim::StopKind::Finished);
    EXPECT_EQ(bOther, 0);
    EXPECT_EQ(bDrive, STATUS_OK);
    EXPECT_EQ(fWaitAfterSend, TRUE);
    PollFor(1000, [] { return fGetSASPortWaitFlag() == FALSE; });
    EXPECT_EQ(fGetSASPortWaitFlag(), FALSE);
}

TEST_F(DrivePathTest, PulledAndInsertedDrivesUpdateTheList) {
    ASSERT_EQ(b.board().RunOnCpu([] {
        InitEventLog();
        SetInitializationComplete(TRUE);
    }),
              sim::StopKind::Finished);
    const sim::DriveConfig sOld = *chassis.ConfigAt(4);
    chassis.Pull(4);
    Rediscover();
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 7);
    EXPECT_NE(harness::NewestEvent(118), nullptr);
    uint8_t bTarget = 0;
    uint8_t abWwn[8];
    MakeSASDriveWwn(static_cast<uint32_t>(sOld.sasAddress), static_cast<uint32_t>(sOld.sasAddress >> 32), abWwn);
    EXPECT_EQ(bGetTargetIdBySASAddress(abWwn, &bTarget), 0);

    sim::DriveConfig sNew = sim::Chassis::DefaultDriveConfig(4, sim::ChassisOptions());
    sNew.sasAddress += 0x1000;
    chassis.Insert(4, sNew);
    Rediscover();
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8);
    EXPECT_NE(harness::NewestEvent(97), nullptr);
    MakeSASDriveWwn(static_cast<uint32_t>(sNew.sasAddress), static_cast<uint32_t>(sNew.sasAddress >> 32), abWwn);
    ASSERT_EQ(bGetTargetIdBySASAddress(abWwn, &bTarget), STATUS_OK);
    uint8_t bEnclosure = 0, bSlot = 0;
    EXPECT_EQ(bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot), STATUS_OK);
    EXPECT_EQ(bSlot, 4);
}

TEST_F(DrivePathTest, PhyControlDisablesAndReenablesASlot) {
    uint8_t bExpander = 0, bPhy = 0;
    ASSERT_EQ(bFindExpanderPhyOfEnclosureSlot(1, 3, &bExpander, &bPhy), STATUS_OK);
    ASSERT_EQ(b.board().RunOnCpu([] { DisableSlotExpanderPhy(1, 3); }), sim::StopKind::Finished);
    PollFor(50, [&] { return !(bGetSASPhyState(bExpander, bPhy) & SMP_PHY_OUTSTANDING); });
    EXPECT_FALSE(chassis.expander().phys()[bPhy].enabled);
    Rediscover();
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 7);
    EXPECT_NE(bGetSASPhyState(bExpander, bPhy) & 0x02, 0);

    uint8_t fReset = FALSE;
    ASSERT_EQ(b.board().RunOnCpu([&] { fReset = fResetMarkedExpanderPhys(FALSE); }), sim::StopKind::Finished);
    EXPECT_EQ(fReset, TRUE);
    PollFor(50, [&] { return !(bGetSASPhyState(bExpander, bPhy) & SMP_PHY_OUTSTANDING); });
    EXPECT_TRUE(chassis.expander().phys()[bPhy].enabled);
    Rediscover();
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8);
    EXPECT_EQ(chassis.expander().phys()[bPhy].linkResets, 1u);
}

struct SglCase {
    uint8_t bElements;
    uint8_t bExpectedChainOffset;
};

class DrivePathSglTest : public DrivePathTest, public ::testing::WithParamInterface<SglCase> {};

TEST_P(DrivePathSglTest, KernelEntryReadsComeBackOnTheCompletionRing) {
    const SglCase& c = GetParam();
    const uint8_t bTarget = TargetOfSlot(5);
    std::vector<uint8_t> abImage(c.bElements * 512u);
    for (size_t i = 0; i < abImage.size(); ++i) abImage[i] = static_cast<uint8_t>(i / 512 + i * 13);
    chassis.DriveAt(5)->WriteBlocks(2048, c.bElements, abImage.data());
    std::memset(Buffer(), 0, abImage.size());
    KERNEL_ENTRY* ps = BuildRead(bTarget, 2048, c.bElements, Buffer(), 512);
    ASSERT_NE(ps, nullptr);
    uint8_t bSend = 0;
    ASSERT_EQ(b.board().RunOnCpu([&] { bSend = SendSCSICommand(ps); }), sim::StopKind::Finished);
    ASSERT_EQ(bSend, SEND_POSTED);
    const uint16_t wRequest = psSasFields(ps)->wRequestIndex;
    const uint8_t* pbFrame = static_cast<const uint8_t*>(
        pCpuAddressToPointer(psGetLSIAdapter(LSI_IOC_DRIVE)->dRequestFrames + LSI_REQUEST_FRAME_BYTES * wRequest));
    EXPECT_EQ(pbFrame[2], c.bExpectedChainOffset);
    PollFor(1000, [&] { return ps->bPrimaryState == PS_COMPLETED; });
    ASSERT_EQ(ps->bPrimaryState, PS_COMPLETED);
    KERNEL_ENTRY* psDone = nullptr;
    ASSERT_EQ(bPeekCompletedEntry(PORT_CODE_INITIATOR, &psDone), STATUS_FOUND);
    EXPECT_EQ(psDone, ps);
    EXPECT_EQ(std::memcmp(Buffer(), abImage.data(), abImage.size()), 0);
    EXPECT_EQ(wGetSASTargetCommandCount(bTarget, TRUE), 0);
}

INSTANTIATE_TEST_SUITE_P(Elements, DrivePathSglTest,
                         ::testing::Values(SglCase{1, 0}, SglCase{6, 0}, SglCase{7, 22}, SglCase{17, 22},
                                           SglCase{39, 22}));

TEST_F(DrivePathTest, CommandsOnTheNewCommandRingReachTheDrives) {
    std::vector<KERNEL_ENTRY*> v;
    for (unsigned slot = 1; slot <= 8; ++slot) {
        uint8_t abBlock[512];
        std::memset(abBlock, static_cast<int>(slot), sizeof abBlock);
        chassis.DriveAt(slot)->WriteBlocks(77, 1, abBlock);
        KERNEL_ENTRY* ps = BuildRead(TargetOfSlot(slot), 77, 1, Buffer() + 512 * (slot - 1), 512);
        ASSERT_NE(ps, nullptr);
        ps->bPrimaryState = PS_NEW_COMMAND;
        ASSERT_EQ(QueueKernelEntry(PORT_CODE_INITIATOR, ps->wIndex), STATUS_OK);
        v.push_back(ps);
    }
    ASSERT_EQ(fIsDriveIocServiceRequested(LSI_IOC_DRIVE), TRUE);
    ASSERT_EQ(b.board().RunOnCpu([] { DriveIocService(LSI_IOC_DRIVE); }), sim::StopKind::Finished);
    EXPECT_EQ(wGetNewCommandCount(PORT_CODE_INITIATOR), 0);
    PollFor(1000, [&] { return wGetCommandCompleteCount(PORT_CODE_INITIATOR) == 8; });
    EXPECT_EQ(wGetCommandCompleteCount(PORT_CODE_INITIATOR), 8);
    for (unsigned slot = 1; slot <= 8; ++slot) {
        EXPECT_EQ(v[slot - 1]->bPrimaryState, PS_COMPLETED);
        EXPECT_EQ(Buffer()[512 * (slot - 1) + 100], slot);
    }
}

TEST_F(DrivePathTest, MoreElementsThanARequestHoldsFailWithoutPosting) {
    KERNEL_ENTRY* ps = BuildRead(TargetOfSlot(5), 0, 40, Buffer(), 512);
    ASSERT_NE(ps, nullptr);
    const uint32_t dBefore = ioc->scsiRequests();
    uint8_t bSend = 0;
    ASSERT_EQ(b.board().RunOnCpu([&] { bSend = SendSCSICommand(ps); }), sim::StopKind::Finished);
    EXPECT_EQ(bSend, SEND_POSTED);
    EXPECT_EQ(ps->bPrimaryState, PS_COMPLETED);
    EXPECT_NE(ps->lFlags & KE_FLAG_SENSE_PRESENT, 0u);
    EXPECT_EQ(ioc->scsiRequests(), dBefore);
    EXPECT_EQ(dGetSASOversizedSglRefusals(), 1u);
}

TEST_F(DrivePathTest, ReplyForACompletedEntryIsDroppedAndItsFrameFreed) {
    KERNEL_ENTRY* ps = BuildRead(TargetOfSlot(6), 0, 1, Buffer(), 512);
    ASSERT_NE(ps, nullptr);
    ASSERT_EQ(b.board().RunOnCpu([&] { (void)SendSCSICommand(ps); }), sim::StopKind::Finished);
    ps->bPrimaryState = PS_COMPLETED;   // the time-out path got there first
    const uint16_t wInUse = wGetLSIRequestsInUse(LSI_IOC_DRIVE);
    PollFor(100);
    EXPECT_EQ(wGetLSIRequestsInUse(LSI_IOC_DRIVE), wInUse - 1);
    EXPECT_EQ(dGetSASDroppedReplyCount(), 1u);
    EXPECT_EQ(wGetCommandCompleteCount(PORT_CODE_INITIATOR), 0);
}

// Reply words the chip might hand over that name nothing the firmware
// owns: each is counted and ignored.
TEST_F(DrivePathTest, RepliesNamingNothingAreCountedAndIgnored) {
    const uint32_t dReplyBase = static_cast<uint32_t>(dCpuAddressToPciAddress(psGetLSIAdapter(LSI_IOC_DRIVE)->dReplyFrames));
    const uint32_t adWords[] = {
        0x00011234u,                                     // context 0x1234: beyond the pool
        MPI_REPLY_ADDRESS_FLAG | (dReplyBase + 6) >> 1,  // inside the area, off a frame boundary
        MPI_REPLY_ADDRESS_FLAG | 0x100u,              // far outside the area
        MPI_REPLY_TYPE_TARGET | 300u,                 // IoIndex past the tables
    };
    for (uint32_t d : adWords) ioc->PostRawReply(d);
    PollFor(10);
    EXPECT_EQ(dGetSASBadReplyCount(), 4u);
    EXPECT_EQ(wGetCommandCompleteCount(PORT_CODE_INITIATOR), 0);
}

// A reply that announces a continuation keeps its request; any other
// address reply frees it; an event acknowledge frees it either way.
TEST_F(DrivePathTest, ContinuationRepliesKeepTheirRequest) {
    struct Case {
        uint8_t bFunction, bMsgFlags;
        bool fFreed;
    } const aCases[] = {{0x1B, 0x00, true}, {0x1B, 0x80, false}, {MPI_FUNCTION_EVENT_ACK, 0x80, true}};
    for (const Case& c : aCases) {
        uint8_t* pbFrame = nullptr;
        uint16_t wIndex = 0;
        ASSERT_EQ(bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wIndex, FALSE), STATUS_OK);
        // In use as if posted, without sending anything the IOC would answer.
        psGetLSIAdapter(LSI_IOC_DRIVE)->adInUse[wIndex / 32] |= 1u << (wIndex % 32);
        ++psGetLSIAdapter(LSI_IOC_DRIVE)->wRequestsInUse;
        const uint16_t wBefore = wGetLSIRequestsInUse(LSI_IOC_DRIVE);
        std::vector<uint8_t> abReply(20, 0);
        abReply[3] = c.bFunction;
        abReply[7] = c.bMsgFlags;
        abReply[10] = static_cast<uint8_t>(wIndex);
        abReply[11] = static_cast<uint8_t>(wIndex >> 8);
        ioc->InjectAddressReply(abReply);
        PollFor(5);
        EXPECT_EQ(wGetLSIRequestsInUse(LSI_IOC_DRIVE), c.fFreed ? wBefore - 1 : wBefore)
            << int(c.bFunction) << " " << int(c.bMsgFlags);
        FreeLSIRequest(LSI_IOC_DRIVE, wIndex);
    }
}

// A phy whose change count jumps on two passes running is reported once
// the second jump is seen; one that moves from 0 never is.
TEST_F(DrivePathTest, ChangeCountJumpsRaiseThePhyWarning) {
    ASSERT_EQ(b.board().RunOnCpu([] { InitEventLog(); }), sim::StopKind::Finished);
    uint8_t bExpander = 0, bPhy = 0;
    ASSERT_EQ(bFindExpanderPhyOfEnclosureSlot(1, 2, &bExpander, &bPhy), STATUS_OK);
    sim::ExpanderPhy& sPhy = chassis.expander().phys()[bPhy];
    struct Step {
        uint8_t bCount;
        bool fEvent;
    } const aSteps[] = {{0, false}, {20, false}, {21, false}, {40, false}, {60, true}};
    for (const Step& s : aSteps) {
        sPhy.changeCount = s.bCount;
        chassis.NotifyLinkChange();
        Rediscover();
        EXPECT_EQ(harness::NewestEvent(19) != nullptr, s.fEvent) << int(s.bCount);
    }
}

class SataDrivePathTest : public DrivePathTest {
protected:
    SataDrivePathTest() : DrivePathTest(true) {}
};

// The controller answers READ CAPACITY for a SATA drive itself: the last
// block address, never the count, and all ones when it does not fit.
TEST_F(SataDrivePathTest, TranslatedReadCapacityGivesTheLastBlock) {
    const uint8_t bTarget = TargetOfSlot(1);
    SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    ASSERT_NE(ps, nullptr);
    ASSERT_EQ(ps->fSAS, FALSE);
    // Set up at start of day from its IDENTIFY data.
    EXPECT_EQ(ps->lCapacity, chassis.ConfigAt(1)->blocks);
    EXPECT_EQ(ps->f48BitLBA, TRUE);
    EXPECT_EQ(ps->fReady, TRUE);
    struct {
        uint64_t lCapacity;
        uint32_t dExpected;
    } const aCases[] = {{8388608, 8388607}, {0xFFFFFFFFull, 0xFFFFFFFE}, {0x100000000ull, 0xFFFFFFFF},
                        {0x300000000ull, 0xFFFFFFFF}};
    for (const auto& c : aCases) {
        ps->lCapacity = c.lCapacity;
        Waited w = Wait(bTarget, {0x25}, 8);
        ASSERT_EQ(w.bResult, STATUS_OK);
        const uint8_t* pb = Buffer();
        EXPECT_EQ(static_cast<uint32_t>(pb[0] << 24 | pb[1] << 16 | pb[2] << 8 | pb[3]), c.dExpected) << c.lCapacity;
    }
    // FUA on a SATA drive with write cache: written as a plain write and a
    // flush, and done once both are.
    SetSATAWriteCachePolicy(TRUE);
    std::memset(Buffer(), 0x5C, 512);
    Waited wFua = Wait(bTarget, {0x2A, 0x08, 0, 0, 0x10, 0, 0, 0, 1}, 512, FALSE);
    SetSATAWriteCachePolicy(FALSE);
    EXPECT_EQ(wFua.bResult, STATUS_OK);
    EXPECT_EQ(wFua.bStatus, 0);
    uint8_t abOnMedium[512] = {};
    chassis.DriveAt(1)->ReadBlocks(0x1000, 1, abOnMedium);
    EXPECT_EQ(abOnMedium[511], 0x5C);

    std::memset(Buffer(), 0xAA, 96);
    Waited w = Wait(bTarget, {0x12, 0, 0, 0, 96}, 96);
    ASSERT_EQ(w.bResult, STATUS_OK);
    EXPECT_EQ(Buffer()[0], 0);      // a disk
    EXPECT_EQ(Buffer()[4], 39);     // additional length
    EXPECT_EQ(Buffer()[60], 0);     // nothing stale past the data
}

// Passthrough requests a SATA drive ends with ERR: only the error register
// values that mean a failure for the request bring sense, and those end
// through the drive error handling (which marks its own commands failed);
// the rest complete as the drive left them.  One that never reached the
// drive fails.
TEST_F(SataDrivePathTest, PassthroughErrorsBringSenseOnlyWhereTheyMeanAFailure) {
    const uint8_t bTarget = TargetOfSlot(3);
    struct Case {
        const char* pszName;
        uint8_t bOpcode, bByte1, bAtaCommand, bError;
        uint8_t bKey, bAsc;   // 0: no sense, completed as answered
    } const aCases[] = {
        {"test, aborted", 0x20, 0x20, ATA_SMART, ATA_ERROR_ABORTED, SENSE_HARDWARE_ERROR, 0x3C},
        {"test, not found", 0x20, 0x40, ATA_SMART, ATA_ERROR_ID_NOT_FOUND, SENSE_HARDWARE_ERROR, 0x3C},
        {"test, bit 0 only", 0x20, 0x20, ATA_SMART, 0x01, 0, 0},
        {"test, answered", 0x20, 0x20, ATA_SMART, 0, 0, 0},
        {"other, bit 0 only", 0x20, 0x40, ATA_SMART, 0x01, 0, 0},
        {"status, aborted", 0x20, 0x00, ATA_SMART, ATA_ERROR_ABORTED, SENSE_ILLEGAL_REQUEST, 0x20},
        {"status, uncorrectable", 0x20, 0x00, ATA_SMART, ATA_ERROR_UNCORRECTABLE, 0, 0},
        {"stop, aborted", 0x1B, 0x00, ATA_STANDBY_IMMEDIATE, ATA_ERROR_ABORTED, SENSE_ILLEGAL_REQUEST, 0x20},
        {"stop, answered", 0x1B, 0x00, ATA_STANDBY_IMMEDIATE, 0, 0, 0},
    };
    // One command on a drive-side entry of its own, run until completed.
    auto send = [&](uint8_t bOpcode, uint8_t bByte1) {
        KERNEL_ENTRY* ps = nullptr;
        EXPECT_EQ(bAllocKernelEntries(0, 1, &ps), STATUS_OK);
        ps->bPortCode = PORT_CODE_INITIATOR;
        ps->fUsed = TRUE;
        ps->bPrimaryState = PS_AT_CHIP;
        ps->wTargetId = bTarget;
        ps->abCdb[0] = bOpcode;
        ps->abCdb[1] = bByte1;
        const uint32_t dDone = wGetCommandCompleteCount(PORT_CODE_INITIATOR);
        EXPECT_EQ(b.board().RunOnCpu([&] { (void)SendSCSICommand(ps); }), sim::StopKind::Finished);
        PollFor(100, [&] { return wGetCommandCompleteCount(PORT_CODE_INITIATOR) != dDone; });
        return ps;
    };
    for (const Case& c : aCases) {
        if (c.bError != 0) chassis.DriveAt(3)->FailAtaCommand(c.bAtaCommand, c.bError, 1);
        KERNEL_ENTRY* ps = send(c.bOpcode, c.bByte1);
        ASSERT_EQ(ps->bPrimaryState, PS_COMPLETED) << c.pszName;
        SAS_ENTRY_FIELDS* psF = psSasFields(ps);
        if (c.bKey == 0) {
            EXPECT_EQ(psF->bScsiStatus, SCSI_STATUS_GOOD) << c.pszName;
            EXPECT_EQ(ps->lFlags & (KE_FLAG_SENSE_PRESENT | KE_FLAG_ABORTED), 0u) << c.pszName;
        } else {
            EXPECT_EQ(psF->bScsiStatus, SCSI_STATUS_CHECK_CONDITION) << c.pszName;
            EXPECT_NE(ps->lFlags & KE_FLAG_SENSE_PRESENT, 0u) << c.pszName;
            EXPECT_NE(ps->lFlags & KE_FLAG_ABORTED, 0u) << c.pszName;
            EXPECT_EQ(psF->bSenseKey, c.bKey) << c.pszName;
            EXPECT_EQ(psF->bAsc, c.bAsc) << c.pszName;
            EXPECT_EQ(psF->bAscq, 0) << c.pszName;
        }
        KERNEL_ENTRY* psDone = nullptr;
        ASSERT_EQ(bPeekCompletedEntry(PORT_CODE_INITIATOR, &psDone), STATUS_FOUND) << c.pszName;
        EXPECT_EQ(psDone, ps) << c.pszName;
        DequeueCompletedEntry(PORT_CODE_INITIATOR);
        FreeKernelEntries(ps);
    }
    EXPECT_EQ(wGetSASTargetCommandCount(bTarget, TRUE), 0);

    // One the IOC ends without reaching the drive (pulled, not yet looked
    // for) failed, whatever the FIS bytes of its reply: never GOOD.
    chassis.Pull(3);
    KERNEL_ENTRY* ps = send(0x1B, 0);
    ASSERT_EQ(ps->bPrimaryState, PS_COMPLETED);
    EXPECT_NE(psSasFields(ps)->bScsiStatus, SCSI_STATUS_GOOD);
    EXPECT_NE(ps->lFlags & KE_FLAG_ABORTED, 0u);
    DequeueCompletedEntry(PORT_CODE_INITIATOR);
    FreeKernelEntries(ps);
}

}  // namespace

// A SATA drive no longer listed: a command the controller would answer for
// it fails instead of coming back GOOD without reaching anything.
TEST_F(SataDrivePathTest, ACommandForADriveNoLongerListedFails) {
    const uint8_t bTarget = TargetOfSlot(2);
    SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    ASSERT_NE(ps, nullptr);
    Waited w = Wait(bTarget, {0x12, 0, 0, 0, 44}, 44);
    ASSERT_EQ(w.bResult, STATUS_OK);
    EXPECT_EQ(w.bStatus, 0);
    ps->fValid = FALSE;
    w = Wait(bTarget, {0x12, 0, 0, 0, 44}, 44);
    ASSERT_EQ(w.bResult, STATUS_OK);
    EXPECT_EQ(w.bStatus, 2);
    EXPECT_EQ(w.bKey, SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(w.bAsc, ASC_LUN_NOT_SUPPORTED);
}

// SATA port selectors against this controller's path get the select
// signal; one that switches ends the signals, one that never does is
// reported once after its tries.
TEST_F(SataDrivePathTest, PortSelectorsAreSwitchedToThisPath) {
    ASSERT_EQ(b.board().RunOnCpu([] { InitEventLog(); }), sim::StopKind::Finished);
    struct Case {
        const char* pszName;
        bool fStuck;
        uint32_t dPasses;        // passes that send a signal
        bool fWarned;
    } const aCases[] = {{"switches", false, 1, false}, {"stuck", true, 12, true}};
    for (const Case& c : aCases) {
        sim::ExpanderPhy& sPhy = chassis.expander().phys()[static_cast<size_t>(chassis.expander().PhyOfSlot(2))];
        sPhy.portSelector = true;
        sPhy.selectorActive = false;
        sPhy.selectorStuck = c.fStuck;
        chassis.NotifyLinkChange();
        uint32_t dSent = 0;
        uint8_t bLast = TRUE;
        for (int i = 0; i < 20 && bLast == TRUE; ++i) {
            ASSERT_EQ(b.board().RunOnCpu([&] { bLast = bDiscoverSASExpanders(TRUE); }), sim::StopKind::Finished);
            PollFor(20);
            if (bLast == TRUE) ++dSent;
        }
        EXPECT_EQ(dSent, c.dPasses) << c.pszName;
        EXPECT_EQ(sPhy.selectorActive, !c.fStuck) << c.pszName;
        EXPECT_EQ(psSASExpanderHeader(pGetSASExpanderList())->bPortSelectorPhys, 1) << c.pszName;
        EXPECT_EQ(harness::NewestEvent(19) != nullptr, c.fWarned) << c.pszName;
    }
}

// A multiplexer that passes the other controller (the drive shows a
// non-zero access status) is signalled by the sweep at the end of the pass
// when the slot is this controller's to serve: alone, any slot; beside a
// partner, only its own by the owner map.  A drive of this controller's
// list that the partner took waits, its commands held, for the partner to
// list it, a bounded number of looks.  One that never switches is
// signalled within the phy's tries and reported once; the pass then ends.
TEST_F(SataDrivePathTest, MultiplexersPassingThePartnerAreTakenBackWhenTheSlotIsOurs) {
    ASSERT_EQ(b.board().RunOnCpu([] { InitEventLog(); }), sim::StopKind::Finished);
    ASSERT_EQ(bGetSlotOwnerController(1, 4), 2);
    struct Case {
        const char* pszName;
        uint8_t bSlot;
        bool fPartner;           // a partner runs beside this controller
        bool fStuck;
        uint32_t dSignals;       // port selection signals sent
        uint32_t dPasses;        // passes that ask for another
    } const aCases[] = {{"alone, a slot of the partner's map", 4, false, false, 1, 1},
                        {"beside a partner, its own slot", 1, true, false, 1, 1},
                        {"beside a partner, the partner's slot", 4, true, false, 0, 24},
                        {"stuck", 2, false, true, 12, 12}};
    for (const Case& c : aCases) {
        sim::AaMux* psMux = chassis.MuxAt(c.bSlot);
        ASSERT_NE(psMux, nullptr) << c.pszName;
        psMux->faults.selectionStuck = false;
        psMux->SelectHostPort(1);
        psMux->faults.selectionStuck = c.fStuck;
        chassis.NotifyLinkChange();
        ASSERT_EQ(b.board().RunOnCpu([&] { SetPartnerAlive(c.fPartner ? TRUE : FALSE); }), sim::StopKind::Finished);
        const unsigned uBefore = psMux->portSelections(0);
        uint32_t dMore = 0;
        uint8_t bLast = TRUE;
        for (int i = 0; i < 40 && bLast == TRUE; ++i) {
            ASSERT_EQ(b.board().RunOnCpu([&] { bLast = bDiscoverSASExpanders(TRUE); }), sim::StopKind::Finished);
            PollFor(20);
            if (bLast == TRUE) ++dMore;
        }
        EXPECT_EQ(dMore, c.dPasses) << c.pszName;
        EXPECT_EQ(psMux->portSelections(0) - uBefore, c.dSignals) << c.pszName;
        EXPECT_EQ(psMux->activeHostPort(), c.dSignals != 0 && !c.fStuck ? 0u : 1u) << c.pszName;
        if (c.dSignals == 0) {
            EXPECT_GT(lGetSASTargetHoldOff(bGetTargetIdByEnclosureSlot(1, c.bSlot)), lGetTickCount()) << c.pszName;
        }
        const EVENT_LOG_ENTRY* pe = harness::NewestEvent(19);
        EXPECT_EQ(pe != nullptr && pe->abArgs[0] == 2 && pe->abArgs[2] == c.bSlot, c.fStuck) << c.pszName;
        psMux->faults.selectionStuck = false;
        psMux->SelectHostPort(0);
        chassis.NotifyLinkChange();
    }
    ASSERT_EQ(b.board().RunOnCpu([] { SetPartnerAlive(FALSE); }), sim::StopKind::Finished);
}
