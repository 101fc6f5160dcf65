// Drive IOC bring-up against the IOC model: the normal road, each failure
// of it, the host page buffer, request frames and their reserve, config
// pages by request frame and the target command buffer repost.
#include <string>

#include "executive/port_codes.h"
#include "harness/sas_board_test.h"
#include "executive/system_state.h"
#include "sas/drive_ioc_images.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "target/target_engine.h"

namespace {

using namespace fw;
using harness::SasBoardTest;

class DriveIocBringUpTest : public SasBoardTest {
protected:
    uint8_t BringUp() {
        uint8_t bResult = 0;
        EXPECT_EQ(board.RunOnCpu([&] { bResult = LSI_SAS_DriveIOCBringUp(FALSE); }), sim::StopKind::Finished);
        return bResult;
    }
    // Frees whatever bring-up left posted (no reply dispatch runs here).
    void FreeAllRequests() {
        for (uint16_t w = 0; w < LSI_MAX_REQUEST_FRAMES; ++w) FreeLSIRequest(LSI_IOC_DRIVE, w);
    }
    uint16_t TakeAndPost(uint16_t wCount, uint8_t fReserve) {
        uint16_t wTaken = 0;
        for (uint16_t i = 0; i < wCount; ++i) {
            uint8_t* pbFrame = nullptr;
            uint16_t wIndex = 0;
            if (bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wIndex, fReserve) != STATUS_OK) break;
            pbFrame[3] = 0x7F;  // a function the IOC answers with an error reply
            (void)qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wIndex, 1000, FALSE);
            ++wTaken;
        }
        return wTaken;
    }
};

TEST_F(DriveIocBringUpTest, NormalBringUpLeavesTheIocOperational) {
    ASSERT_EQ(BringUp(), STATUS_OK);
    EXPECT_EQ(ioc->state(), sim::SasController::State::Operational);
    EXPECT_TRUE(ioc->portEnabled(0));
    EXPECT_TRUE(ioc->eventsOn());
    EXPECT_EQ(ioc->diagnosticLoads(), 1u);

    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(psGetLSIAdapter(0x71), nullptr);
    EXPECT_EQ(a->fIocUp, TRUE);
    EXPECT_EQ(a->wRequestFrames, 768);
    EXPECT_EQ(a->wTargetCmdBuffers, 128);
    EXPECT_EQ(a->dFirmwareVersion, ioc->loadedFirmwareVersion());
    EXPECT_EQ(ioc->cmdBuffersPosted(), 128u);
    // All reply frames went to the IOC; one came back with the base post's reply.
    EXPECT_EQ(ioc->freeReplyFrames() + ioc->postedReplies(), 128u);

    // The SAS address: NAA 5, the WWN's low 48 bits, the slot's 12 bits.
    uint8_t abWwn[8];
    (void)pGetControllerWWN(abWwn);
    uint64_t lWwn = 0;
    for (uint8_t b : abWwn) lWwn = lWwn << 8 | b;
    uint64_t lExpected = 5ull << 60 | (lWwn & 0xFFFFFFFFFFFFull) << 12 | (bGetControllerNumber() == 1 ? 0x400 : 0x800);
    std::vector<uint8_t> abMfg = ioc->Page(MPI_CONFIG_PAGETYPE_MANUFACTURING, 5);
    MPI_MANUFACTURING_PAGE_5 sMfg;
    std::memcpy(&sMfg, abMfg.data(), sizeof sMfg);
    EXPECT_EQ(static_cast<uint64_t>(sMfg.dSasAddressHigh) << 32 | sMfg.dSasAddressLow, lExpected);

    MPI_BIOS_PAGE_1 sBios;
    std::memcpy(&sBios, ioc->Page(MPI_CONFIG_PAGETYPE_BIOS, 1).data(), sizeof sBios);
    EXPECT_EQ(sBios.dIOCSettings, 0x4130u);

    MPI_SAS_IO_UNIT_PAGE_1 sUnit;
    std::memcpy(&sUnit, ioc->Page(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1).data(), sizeof sUnit);
    EXPECT_EQ(sUnit.wControlFlags, 1);
    EXPECT_EQ(sUnit.wMaxNumSataTargets, 126);
    EXPECT_EQ(sUnit.bSataMaxQDepth, 32);
    const uint8_t abPort[8] = {0, 0, 1, 1, 2, 2, 2, 2};
    bool fFirst = bGetControllerNumber() == 1;
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sUnit.asPhy[i].bPort, abPort[i]);
        EXPECT_EQ(sUnit.asPhy[i].bMaxMinLinkRate, 0x98);
        uint32_t dInfo = i >= 4 ? 0x71u : ((i < 2) == fFirst ? 0x401u : 0x41u);
        EXPECT_EQ(sUnit.asPhy[i].dControllerPhyDeviceInfo, dInfo);
    }
    // IOC page 1 with the NVRAM settings clear: both bits set.
    MPI_IOC_PAGE_1 sIoc;
    std::memcpy(&sIoc, ioc->Page(MPI_CONFIG_PAGETYPE_IOC, 1).data(), sizeof sIoc);
    EXPECT_EQ(sIoc.dFlags & 0x300u, 0x300u);
}

TEST_F(DriveIocBringUpTest, RevisionChoosesTheImage) {
    ioc->SetRevision(4);
    ASSERT_EQ(BringUp(), STATUS_OK);
    uint32_t dLength = 0;
    MPI_FW_IMAGE_HEADER sHeader;
    std::memcpy(&sHeader, pGetDriveIOCImage(4, &dLength), sizeof sHeader);
    EXPECT_EQ(ioc->loadedFirmwareVersion(), sHeader.dFWVersion);
}

struct FailureCase {
    const char* pszName;
    void (*pfnInject)(sim::SasController&);
    const char* pszConsole;  // expected console text, or null
    bool fLoaded;            // an image was booted by the IOC
};

const FailureCase s_asFailures[] = {
    {"Revision2", [](sim::SasController& c) { c.SetRevision(2); }, "No Firmware Image for LSI106E revision 02",
     false},
    {"UnknownRevision", [](sim::SasController& c) { c.SetRevision(9); }, "No Firmware Image for LSI106E revision 09",
     false},
    {"FrameSize", [](sim::SasController& c) { c.facts.requestFrameSize = 0x10; }, nullptr, true},
    {"NeverReady", [](sim::SasController& c) { c.faults.neverReady = true; }, nullptr, false},
    {"ConfigPageError", [](sim::SasController& c) { c.faults.configStatus = MPI_IOCSTATUS_CONFIG_INVALID_DATA; },
     nullptr, true},
    {"DiagnosticLocked", [](sim::SasController& c) { c.faults.diagLocked = true; }, nullptr, false},
    {"HostPageBufferTooLarge", [](sim::SasController& c) { c.facts.hostPageBufferBytes = 0x50000; }, nullptr, true},
};

class DriveIocFailureTest : public DriveIocBringUpTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DriveIocFailureTest, FailsTheBringUp) {
    const FailureCase& c = GetParam();
    c.pfnInject(*ioc);
    EXPECT_EQ(BringUp(), 0);
    EXPECT_EQ(ioc->diagnosticLoads() != 0, c.fLoaded);
    if (c.pszConsole != nullptr) {
        EXPECT_NE(board.ConsoleText().find(c.pszConsole), std::string::npos);
    }
    EXPECT_EQ(psGetLSIAdapter(LSI_IOC_DRIVE)->fIocUp, FALSE);
}

INSTANTIATE_TEST_SUITE_P(Each, DriveIocFailureTest, ::testing::ValuesIn(s_asFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& i) { return std::string(i.param.pszName); });

TEST_F(DriveIocBringUpTest, PortThatNeverComesUpFailsAfterItsWait) {
    ioc->faults.portEnableSilent = true;
    uint64_t lStart = NowMs();
    EXPECT_EQ(BringUp(), 0);
    EXPECT_GE(NowMs() - lStart, 80000u);
    EXPECT_EQ(psGetLSIAdapter(LSI_IOC_DRIVE)->fIocUp, FALSE);
    EXPECT_EQ(fIsDrivePortReady(PORT_CODE_INITIATOR), FALSE);
}

// Start of day on this board: the onboard expander's flash is selected for
// its check and given 10 s after it, then the links 30 s; the drive port is
// reported ready once it is up.
TEST_F(DriveIocBringUpTest, StartOfDayChecksTheOnboardExpanderAndReportsThePort) {
    ASSERT_EQ(fIsZ8Q2Controller(), TRUE);
    const uint64_t lStart = NowMs();
    ASSERT_EQ(BringUp(), STATUS_OK);
    // 2 x 2000 ms after the load, 500 after the buffer post, 10000 after the
    // expander check and 30000 for the links.
    EXPECT_GE(NowMs() - lStart, 44500u);
    // The check let the expander go from its flash when it ended.
    EXPECT_EQ(board.fpga().Register(0) & 0x0008, 0);
    EXPECT_EQ(fIsDrivePortReady(PORT_CODE_INITIATOR), TRUE);
    for (uint8_t i = 0; i < SAS_MAX_EXPANDERS; ++i) EXPECT_EQ(dGetSASExpanderPosition(i), 0xFFFFFFFFu);
}

// An IOC restart keeps the lists for discovery to rebuild, but what the old
// IOC knew of its targets (flags, hold-offs) and the phy marks it made
// (disabled, bit 4) go.
TEST_F(DriveIocBringUpTest, RestartForgetsTargetsAndPhyMarksButKeepsTheLists) {
    ASSERT_EQ(BringUp(), STATUS_OK);
    SetSASTargetFlagBits(5, 0x222);
    SetSASTargetHoldOff(5, 123456);
    SetSASPhyStateBits(2, 7, 0x17, TRUE);
    pGetSASDriveInfoList()->bEntryCount = 1;
    psSASExpanderHeader(pGetSASExpanderList())->bExpanderCount = 1;
    ResetLSIDriveIOC();
    uint8_t bResult = 0;
    ASSERT_EQ(board.RunOnCpu([&] { bResult = LSI_SAS_DriveIOCBringUp(TRUE); }), sim::StopKind::Finished);
    EXPECT_EQ(bResult, STATUS_OK);
    EXPECT_EQ(dGetSASTargetFlags(5), 0u);
    EXPECT_EQ(lGetSASTargetHoldOff(5), 0u);
    EXPECT_EQ(bGetSASPhyState(2, 7), 0x05);
    EXPECT_EQ(pGetSASDriveInfoList()->bEntryCount, 1);
    EXPECT_EQ(psSASExpanderHeader(pGetSASExpanderList())->bExpanderCount, 1);
}

TEST_F(DriveIocBringUpTest, HostPageBufferFitsTheRegion) {
    ioc->facts.hostPageBufferBytes = 0x10000;
    ASSERT_EQ(BringUp(), STATUS_OK);
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    const uint32_t dRegion = static_cast<uint32_t>(dBufferHandleToCpuAddress(a->dRegion));
    const uint32_t dHostPageBuffer = static_cast<uint32_t>(a->dHostPageBuffer);
    EXPECT_EQ(ioc->hostPageBufferAddress(), static_cast<uint32_t>(dCpuAddressToPciAddress(a->dHostPageBuffer)));
    EXPECT_EQ(dHostPageBuffer % 0x10000, 0u);
    EXPECT_GE(dHostPageBuffer, static_cast<uint32_t>(a->dSenseBuffers) + LSI_MAX_REQUEST_FRAMES * LSI_SENSE_BUFFER_BYTES);
    EXPECT_LE(dHostPageBuffer + 0x10000, dRegion + LSI_REGION_BYTES);

}

TEST_F(DriveIocBringUpTest, NormalFramesStopShortOfTheReserve) {
    ASSERT_EQ(BringUp(), STATUS_OK);
    FreeAllRequests();
    EXPECT_EQ(TakeAndPost(800, FALSE), 736);
    uint8_t* pbFrame = nullptr;
    uint16_t wIndex = 0;
    EXPECT_EQ(bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wIndex, FALSE), STATUS_RETRY);
    EXPECT_EQ(wIndex, 0xFFFF);
    EXPECT_EQ(TakeAndPost(800, TRUE), 32);
    EXPECT_EQ(wGetLSIRequestsInUse(LSI_IOC_DRIVE), 768);
    EXPECT_EQ(bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wIndex, TRUE), STATUS_RETRY);

    // Freed frames come back, the search going on past the last index to 0.
    FreeLSIRequest(LSI_IOC_DRIVE, 0);
    FreeLSIRequest(LSI_IOC_DRIVE, 700);
    FreeLSIRequest(LSI_IOC_DRIVE, 700);  // twice: counted once
    EXPECT_EQ(wGetLSIRequestsInUse(LSI_IOC_DRIVE), 766);
    ASSERT_EQ(bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wIndex, TRUE), STATUS_OK);
    EXPECT_EQ(wIndex, 700);
    (void)qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wIndex, 1000, FALSE);
    ASSERT_EQ(bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wIndex, TRUE), STATUS_OK);
    EXPECT_EQ(wIndex, 0);
}

// A drain ends when a normal allocation can be taken again, not one frame
// short of it.
TEST_F(DriveIocBringUpTest, AfterADrainANormalFrameCanBeTaken) {
    ASSERT_EQ(BringUp(), STATUS_OK);
    FreeAllRequests();
    ASSERT_EQ(TakeAndPost(800, FALSE), 736);
    ASSERT_EQ(TakeAndPost(10, TRUE), 10);
    uint16_t wNext = 0;
    board.pollHook = [&wNext] { FreeLSIRequest(LSI_IOC_DRIVE, wNext++); };
    WaitLSIRequestsDrained(LSI_IOC_DRIVE);
    board.pollHook = nullptr;
    uint8_t* pbFrame = nullptr;
    uint16_t wIndex = 0;
    EXPECT_EQ(bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wIndex, FALSE), STATUS_OK);
}

TEST_F(DriveIocBringUpTest, PostedRequestCarriesItsIndexAndSequence) {
    ASSERT_EQ(BringUp(), STATUS_OK);
    FreeAllRequests();
    uint8_t* pbFrame = nullptr;
    uint16_t wIndex = 0;
    ASSERT_EQ(bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wIndex, FALSE), STATUS_OK);
    uint32_t dContext = 0x00001234;
    std::memcpy(pbFrame + 8, &dContext, 4);
    pbFrame[3] = 0x7F;
    uint32_t dBefore = ioc->requestsReceived();
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    uint64_t lSequence = a->lSequence;
    uint64_t q = qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wIndex, 1000, TRUE);
    std::memcpy(&dContext, pbFrame + 8, 4);
    EXPECT_EQ(dContext, static_cast<uint32_t>(wIndex) << 16 | 0x1234);
    EXPECT_EQ(q >> 32, lSequence + 1);
    EXPECT_EQ(static_cast<uint32_t>(q), static_cast<uint32_t>(dPciAddressOf(pbFrame)));
    EXPECT_EQ(bGetLSIRequestFlags(LSI_IOC_DRIVE, wIndex), LSI_REQUEST_HIGH_PRIORITY);
    EXPECT_EQ(ioc->requestsReceived(), dBefore + 1);
    // Indices past the frame count are ignored.
    EXPECT_EQ(qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, 768, 1000, FALSE), 0u);
    EXPECT_EQ(ioc->requestsReceived(), dBefore + 1);
    EXPECT_EQ(pGetLSISenseBuffer(LSI_IOC_DRIVE, 768), nullptr);
}

TEST_F(DriveIocBringUpTest, ConfigPagesRoundTripByRequestFrame) {
    ASSERT_EQ(BringUp(), STATUS_OK);
    DrainRepliesAtPoll();
    BUFFER_HANDLE dBuffer = Pages(1);
    uint32_t dLength = 0;
    uint16_t wStatus = 0xFFFF;
    ASSERT_EQ(bLSIConfigPageRead(LSI_IOC_DRIVE, FALSE, TRUE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, 1,
                                 MPI_CONFIG_PAGETYPE_BIOS, 0, dBuffer, 4096, &dLength, &wStatus),
              STATUS_OK);
    EXPECT_EQ(wStatus, MPI_IOCSTATUS_SUCCESS);
    ASSERT_EQ(dLength, sizeof(MPI_BIOS_PAGE_1));
    auto* psBios = reinterpret_cast<MPI_BIOS_PAGE_1*>(Bytes(dBuffer));
    EXPECT_EQ(psBios->dIOCSettings, 0x4130u);
    psBios->dDeviceSettings = 0xCAFE;
    ASSERT_EQ(bLSIConfigPageWrite(LSI_IOC_DRIVE, FALSE, TRUE, MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT, 1,
                                  MPI_CONFIG_PAGETYPE_BIOS, 0, dBuffer, 4096, &wStatus),
              STATUS_OK);
    MPI_BIOS_PAGE_1 sStored;
    std::memcpy(&sStored, ioc->Page(MPI_CONFIG_PAGETYPE_BIOS, 1).data(), sizeof sStored);
    EXPECT_EQ(sStored.dDeviceSettings, 0xCAFEu);
    // Every frame the exchange took came back.
    EXPECT_EQ(wGetLSIRequestsInUse(LSI_IOC_DRIVE), 0);
}

TEST_F(DriveIocBringUpTest, TargetCommandBuffersAreRepostedInLists) {
    ASSERT_EQ(BringUp(), STATUS_OK);
    FreeAllRequests();
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    for (uint16_t w = 0; w < 45; ++w) a->awCmdBufferHandle[w] = static_cast<uint16_t>(0x100 + w);
    for (uint16_t w = 0; w < 50; ++w) MarkTargetCmdBufferForRepost(LSI_IOC_DRIVE, w);  // 45..49 have no handle
    MarkTargetCmdBufferForRepost(LSI_IOC_DRIVE, 300);
    EXPECT_EQ(fIsTargetCmdBufferRepostPending(LSI_IOC_DRIVE), TRUE);
    RepostTargetCmdBuffers(LSI_IOC_DRIVE);
    EXPECT_EQ(fIsTargetCmdBufferRepostPending(LSI_IOC_DRIVE), FALSE);
    EXPECT_EQ(ioc->cmdBuffersReposted(), 45u);
    EXPECT_EQ(wGetLSIRequestsInUse(LSI_IOC_DRIVE), 2);  // 40 + 5
    for (uint16_t w = 0; w < 45; ++w) EXPECT_EQ(a->awCmdBufferHandle[w], LSI_NO_HANDLE);
    uint16_t wFlagged = 0;
    for (uint16_t w = 0; w < LSI_MAX_REQUEST_FRAMES; ++w) {
        if (bGetLSIRequestFlags(LSI_IOC_DRIVE, w) & LSI_REQUEST_CMD_BUF_LIST_POST) ++wFlagged;
    }
    EXPECT_EQ(wFlagged, 2);
}

TEST_F(DriveIocBringUpTest, RestartReloadsTheIoc) {
    ASSERT_EQ(BringUp(), STATUS_OK);
    ResetLSIDriveIOC();
    EXPECT_EQ(ioc->state(), sim::SasController::State::Reset);
    uint8_t bResult = 0;
    ASSERT_EQ(board.RunOnCpu([&] { bResult = LSI_SAS_DriveIOCBringUp(TRUE); }), sim::StopKind::Finished);
    EXPECT_EQ(bResult, STATUS_OK);
    EXPECT_EQ(ioc->diagnosticLoads(), 2u);
    EXPECT_EQ(ioc->state(), sim::SasController::State::Operational);
}

TEST_F(DriveIocBringUpTest, RepliesRaiseTheMessageInterrupt) {
    ASSERT_EQ(BringUp(), STATUS_OK);
    // Bring-up left the reply of its command buffer post unread.
    EXPECT_TRUE(board.intc().Line(3, 17));
    EXPECT_EQ(board.cpu().Cp6Read(8, 1) & 0x8u, 0x8u);
    DrainRepliesAtPoll();
    HwPoll();
    EXPECT_FALSE(board.intc().Line(3, 17));
    EXPECT_EQ(board.cpu().Cp6Read(8, 1) & 0x8u, 0u);
    EXPECT_EQ(ioc->freeReplyFrames(), 128u);
    // The doorbell interrupt of a handshake stays masked.
    EXPECT_EQ(bLSIEventNotificationOn(LSI_IOC_DRIVE), STATUS_OK);
    EXPECT_FALSE(board.intc().Line(3, 17));
}

TEST_F(DriveIocBringUpTest, RequestQueueListing) {
    ASSERT_EQ(BringUp(), STATUS_OK);
    EXPECT_EQ(TakeAndPost(2, FALSE), 2);
    board.ClearConsoleText();
    ShowSASRequestQueue(LSI_IOC_DRIVE);
    std::string s = board.ConsoleText();
    // The command buffer post and the two requests, sequences 2 to 4.
    EXPECT_NE(s.find("Request queue:0003 of 0300 used Sequence:0000000000000004"), std::string::npos) << s;
    EXPECT_NE(s.find("Request Queue: 001"), std::string::npos) << s;
    EXPECT_NE(s.find("Low Sequence:002 High Sequence:004"), std::string::npos) << s;
    EXPECT_NE(s.find("Command Post"), std::string::npos) << s;
}

TEST(SasBoardLayout, BoardTypeChoosesTablesAndPhys) {
    struct Case {
        uint8_t bBoardType;
        uint8_t bBackplane;
        uint8_t bResult;
        LSI_SAS_BOARD_LAYOUT sLayout;
    } aCases[] = {
        {6, 0, STATUS_OK, {1, 0, 3, {1, 2}}},
        {10, 8, STATUS_OK, {2, 0, 3, {1, 2}}},
        {11, 6, STATUS_OK, {3, 2, 3, {1, 0}}},
        {13, 8, STATUS_OK, {4, 2, 3, {1, 0}}},
        {16, 0, STATUS_OK, {5, 4, LSI_NO_PHY, {2, 0}}},
        {17, 8, STATUS_OK, {5, 4, LSI_NO_PHY, {2, 0}}},
        {8, 0, 0, {}},
        {14, 6, 0, {}},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.bBoardType);
        LSI_SAS_BOARD_LAYOUT s{};
        ASSERT_EQ(bSelectSASBoardLayout(c.bBoardType, c.bBackplane, &s), c.bResult);
        if (c.bResult != STATUS_OK) continue;
        EXPECT_EQ(s.bTableSet, c.sLayout.bTableSet);
        EXPECT_EQ(s.bFirstExpanderPhy, c.sLayout.bFirstExpanderPhy);
        EXPECT_EQ(s.bSecondExpanderPhy, c.sLayout.bSecondExpanderPhy);
        EXPECT_EQ(s.abPartnerPhy[0], c.sLayout.abPartnerPhy[0]);
        EXPECT_EQ(s.abPartnerPhy[1], c.sLayout.abPartnerPhy[1]);
    }
}

}  // namespace
