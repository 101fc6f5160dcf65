// Drives behind the drive-side controller: start-of-day discovery, waited
// commands, the kernel-entry path with its reply dispatch, hot removal and
// insertion, and the replies the dispatch must refuse.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "../executive/dispatch_test_board.h"
#include "enclosure/drive_table.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/startup.h"
#include "executive/tick.h"
#include "executive/system_state.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/reply_dispatch.h"
#include "sas/request_frames.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"
#include "sas/smp.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

using namespace fw;

sim::ChassisOptions Options(bool fSata = false) {
    sim::ChassisOptions o;
    o.sata = fSata;
    return o;
}

class DrivePathTest : public ::testing::Test {
protected:
    explicit DrivePathTest(bool fSata = false) : chassis(Options(fSata)) {}

    void SetUp() override {
        ioc = sim::FindSasController(b.board());
        ASSERT_NE(ioc, nullptr);
        ioc->AttachChassis(&chassis);
        SetSystemMemorySize(b.board().config().memorySize);
        ASSERT_EQ(InitBufferPages(), STATUS_OK);
        ASSERT_EQ(b.board().RunOnCpu([] {
            InitKernelEntryPools();
            InitDriveTables();
            ASSERT_EQ(LSI_SAS_DriveIOCBringUp(FALSE), STATUS_OK);
            InitDriveSideSAS();
        }),
                  sim::StopKind::Finished);
        ASSERT_EQ(bAllocDataPages(0, 8, &dBuffer), STATUS_OK);
    }

    uint8_t* Buffer() { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(dBufferHandleToCpuAddress(dBuffer))); }

    struct Waited {
        uint8_t bResult, bStatus, bKey, bAsc, bAscq;
    };
    Waited Wait(uint8_t bTarget, std::vector<uint8_t> abCdb, uint32_t dLength, uint8_t fDataIn = TRUE) {
        abCdb.resize(10);
        Waited w{};
        EXPECT_EQ(b.board().RunOnCpu([&] {
            w.bResult = bSendSCSICommandAndWait(bTarget, 0, abCdb.data(), fDataIn, dLength, dBuffer, &w.bStatus, &w.bKey,
                                                &w.bAsc, &w.bAscq);
        }),
                  sim::StopKind::Finished);
        return w;
    }
    // Lets the processor take its interrupts until done or the time is up.
    void PollFor(uint32_t dMs, const std::function<bool()>& fDone = nullptr) {
        ASSERT_EQ(b.board().RunOnCpu([&] {
            const uint64_t lEnd = lGetTickCount() + dMs;
            while (lGetTickCount() < lEnd && !(fDone && fDone())) HwPoll();
        }),
                  sim::StopKind::Finished);
    }
    uint8_t TargetOfSlot(unsigned slot) { return ioc->TargetOf(chassis.ConfigAt(slot)->sasAddress); }
    void Rediscover() {
        ASSERT_EQ(b.board().RunOnCpu([] {
            bDiscoverSASExpanders(FALSE);
            RebuildSASDeviceList(TRUE);
        }),
                  sim::StopKind::Finished);
    }

    sim::Chassis chassis;
    dispatchtest::DispatchBoard b;
    sim::SasController* ioc = nullptr;
    BUFFER_HANDLE dBuffer = 0;
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
    EXPECT_NE(dispatchtest::NewestEvent(118), nullptr);
    uint8_t bTarget = 0;
    uint8_t abWwn[8];
    MakeSASDriveWwn(static_cast<uint32_t>(sOld.sasAddress), static_cast<uint32_t>(sOld.sasAddress >> 32), abWwn);
    EXPECT_EQ(bGetTargetIdBySASAddress(abWwn, &bTarget), 0);

    sim::DriveConfig sNew = sim::Chassis::DefaultDriveConfig(4, sim::ChassisOptions());
    sNew.sasAddress += 0x1000;
    chassis.Insert(4, sNew);
    Rediscover();
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 8);
    EXPECT_NE(dispatchtest::NewestEvent(97), nullptr);
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

// Builds a READ(10) of one entry spread over `bElements` buffer elements.
KERNEL_ENTRY* BuildRead(uint8_t bTarget, uint32_t dLba, uint8_t bElements, uint8_t* pbData, uint32_t dElementBytes) {
    KERNEL_ENTRY* ps = nullptr;
    const uint16_t wEntries = static_cast<uint16_t>(1 + (bElements > 3 ? (bElements - 3 + 6) / 7 : 0));
    if (bAllocKernelEntries(0, wEntries, &ps) != STATUS_OK) return nullptr;
    ps->bPortCode = PORT_CODE_INITIATOR;
    ps->fUsed = TRUE;
    ps->bPrimaryState = PS_AT_CHIP;
    ps->wTargetId = bTarget;
    const uint32_t dBlocks = bElements * dElementBytes / 512;
    const uint8_t abCdb[10] = {0x28, 0, uint8_t(dLba >> 24), uint8_t(dLba >> 16), uint8_t(dLba >> 8), uint8_t(dLba),
                               0, uint8_t(dBlocks >> 8), uint8_t(dBlocks)};
    std::memcpy(ps->abCdb, abCdb, 10);
    ps->wControlFlags = SAS_XFER_IN | SAS_XFER_SGL;
    ps->wSegmentCount = bElements;
    ps->dTotalByteCount = bElements * dElementBytes;
    for (uint8_t i = 0; i < bElements; ++i) {
        *psEntrySegment(ps, i) = {static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pbData)) + i * dElementBytes,
                                  dElementBytes};
    }
    return ps;
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
    const uint8_t* pbFrame = reinterpret_cast<const uint8_t*>(
        static_cast<uintptr_t>(psGetLSIAdapter(LSI_IOC_DRIVE)->dRequestFrames + LSI_REQUEST_FRAME_BYTES * wRequest));
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
    const uint32_t dReplyBase = psGetLSIAdapter(LSI_IOC_DRIVE)->dReplyFrames;
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
        EXPECT_EQ(dispatchtest::NewestEvent(19) != nullptr, s.fEvent) << int(s.bCount);
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

}  // namespace
