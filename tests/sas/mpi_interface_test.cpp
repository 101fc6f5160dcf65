// The message layer against the IOC model: handshake replies of every
// length, diagnostic image load, reset, configuration pages and the
// simple requests.
#include <cstddef>

#include "sas/drive_ioc_images.h"
#include "harness/sas_board_test.h"

namespace {

using namespace fw;
using harness::SasBoardTest;

class MpiInterfaceTest : public SasBoardTest {
protected:
    static std::vector<uint8_t> Image(uint8_t bRevision) {
        uint32_t dLength = 0;
        const uint8_t* pb = pGetDriveIOCImage(bRevision, &dLength);
        return std::vector<uint8_t>(pb, pb + dLength);
    }
    static MPI_FW_IMAGE_HEADER Header(const std::vector<uint8_t>& ab) {
        MPI_FW_IMAGE_HEADER s;
        std::memcpy(&s, ab.data(), sizeof s);
        return s;
    }
    static void PutWord(std::vector<uint8_t>& ab, size_t dOffset, uint32_t dValue) {
        std::memcpy(&ab[dOffset], &dValue, 4);
    }
    uint8_t Facts(MPI_IOC_FACTS_REPLY* ps, uint8_t bMaxDwords) {
        MPI_SIMPLE_REQUEST sRequest{};
        sRequest.bFunction = MPI_FUNCTION_IOC_FACTS;
        return bLSIHandshake(LSI_IOC_DRIVE, &sRequest, 3, ps, bMaxDwords);
    }
};

TEST_F(MpiInterfaceTest, IdsWithoutAnIocTouchNoRegister) {
    uint32_t adReply[8] = {};
    uint32_t dLength = 7;
    uint16_t wStatus = 7;
    BUFFER_HANDLE dBuffer = Pages(1);
    std::vector<uint8_t> abImage = Image(8);
    for (uint8_t bId : {0x00, 0x30, 0x60, 0x62, 0xFF}) {
        SCOPED_TRACE(bId);
        EXPECT_EQ(bLSIHandshake(bId, adReply, 3, adReply, 8), 0);
        EXPECT_EQ(bLSIHandshakeTimed(bId, adReply, 3, adReply, 8, 100), 0);
        EXPECT_EQ(bLSIWaitReady(bId, 100), 0);
        EXPECT_EQ(bLSIDownloadFirmware(bId, abImage.data(), TRUE), 0);
        EXPECT_EQ(bLSIUploadFirmware(bId, 4096, dBuffer), 0);
        EXPECT_EQ(bLSIHardResetIOC(bId), 0);
        EXPECT_EQ(bLSIConfigPageRead(bId, FALSE, FALSE, 1, 5, 9, 0, dBuffer, 4096, &dLength, &wStatus), 0);
        EXPECT_EQ(wStatus, 0xFFFF);
        EXPECT_EQ(dLength, 0u);
        EXPECT_EQ(bLSIPortEnable(bId, 0, 100), 0);
        EXPECT_EQ(bLSIEventNotificationOn(bId), 0);
        EXPECT_EQ(bLSISendBusReset(bId), 0);
    }
    EXPECT_EQ(ioc->unlockAttempts(), 0u);
    EXPECT_EQ(ioc->state(), sim::SasController::State::Ready);
    EXPECT_FALSE(ioc->eventsOn());
}

TEST_F(MpiInterfaceTest, ReplyLongerThanTheBufferIsDrainedAndCut) {
    ioc->facts.globalCredits = 500;
    struct {
        MPI_IOC_FACTS_REPLY s;
        uint32_t dGuard;
    } sShort;
    std::memset(&sShort, 0xA5, sizeof sShort);
    ASSERT_EQ(Facts(&sShort.s, 5), STATUS_OK);
    EXPECT_EQ(sShort.s.sHeader.bMsgLength, sizeof(MPI_IOC_FACTS_REPLY) / 4);
    EXPECT_EQ(sShort.s.sHeader.bFunction, MPI_FUNCTION_IOC_FACTS);
    // Nothing past the five dwords asked for was stored.
    EXPECT_EQ(sShort.s.wRequestFrameSize, 0xA5A5);
    EXPECT_EQ(sShort.dGuard, 0xA5A5A5A5u);

    // The doorbell was read to its end: the next exchange starts clean.
    MPI_IOC_FACTS_REPLY sFull{};
    ASSERT_EQ(Facts(&sFull, sizeof sFull / 4), STATUS_OK);
    EXPECT_EQ(sFull.wRequestFrameSize, 0x20);
    EXPECT_EQ(sFull.wGlobalCredits, 500);
}

TEST_F(MpiInterfaceTest, ReplyHeadersThatLieAboutTheirLength) {
    struct Case {
        int iMsgLength;
        bool fTimed;
    } aCases[] = {
        {0, false},   // would underflow into an endless read
        {0, true},
        {40, true},   // promises words the IOC never sends: the deadline ends it
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.iMsgLength);
        ioc->faults.replyMsgLength = c.iMsgLength;
        MPI_SIMPLE_REQUEST sRequest{};
        sRequest.bFunction = MPI_FUNCTION_IOC_FACTS;
        MPI_IOC_FACTS_REPLY sReply{};
        uint64_t lStart = NowMs();
        uint8_t bResult = c.fTimed ? bLSIHandshakeTimed(LSI_IOC_DRIVE, &sRequest, 3, &sReply, 20, 50)
                                   : bLSIHandshake(LSI_IOC_DRIVE, &sRequest, 3, &sReply, 20);
        EXPECT_EQ(bResult, 0);
        EXPECT_LE(NowMs() - lStart, 60u);
    }
}

TEST_F(MpiInterfaceTest, RequestWithoutReplyBufferEndsAfterTheLastDword) {
    MPI_SIMPLE_REQUEST sRequest{};
    sRequest.bFunction = MPI_FUNCTION_IOC_FACTS;
    EXPECT_EQ(bLSIHandshake(LSI_IOC_DRIVE, &sRequest, 3, nullptr, 0), STATUS_OK);
    // The unread reply does not block the next handshake.
    MPI_IOC_FACTS_REPLY sReply{};
    ASSERT_EQ(Facts(&sReply, 20), STATUS_OK);
    EXPECT_EQ(sReply.wRequestFrameSize, 0x20);
}

TEST_F(MpiInterfaceTest, DiagnosticLoadBootsEachCarriedImage) {
    for (uint8_t bRevision : {4, 8}) {
        SCOPED_TRACE(bRevision);
        std::vector<uint8_t> abImage = Image(bRevision);
        MPI_FW_IMAGE_HEADER sHeader = Header(abImage);
        ASSERT_EQ(bLSIDownloadFirmware(LSI_IOC_DRIVE, abImage.data(), TRUE), STATUS_OK);
        ASSERT_EQ(bLSIWaitReady(LSI_IOC_DRIVE, 1000), STATUS_OK);
        EXPECT_EQ(ioc->loadedFirmwareVersion(), sHeader.dFWVersion);
        EXPECT_EQ(pGetLSIDiagLoadInfo()->dLoadStartAddress, sHeader.dLoadStartAddress);
        EXPECT_EQ(pGetLSIDiagLoadInfo()->dIopResetRegAddr, sHeader.dIopResetRegAddr);
        EXPECT_EQ(ioc->IocMemory(sHeader.dIopResetRegAddr), sHeader.dIopResetVectorValue);
        if (sHeader.dNextImageHeaderOffset != 0) {
            MPI_EXT_IMAGE_HEADER sExt;
            std::memcpy(&sExt, &abImage[sHeader.dImageSize], sizeof sExt);
            EXPECT_EQ(ioc->IocMemory(sExt.dLoadStartAddress + 8), sExt.dImageSize);
        }
        // The diagnostic window reads back what was loaded.
        uint32_t adWords[16] = {};
        ReadLSIDiagMemory(LSI_IOC_DRIVE, sHeader.dLoadStartAddress, 16, adWords);
        EXPECT_EQ(std::memcmp(adWords, abImage.data(), sizeof adWords), 0);
    }
    EXPECT_EQ(ioc->diagnosticLoads(), 2u);
}

TEST_F(MpiInterfaceTest, BrokenImageLeavesTheIocDown) {
    std::vector<uint8_t> abImage = Image(4);
    abImage[100] ^= 1;  // checksum no longer holds
    ASSERT_EQ(bLSIDownloadFirmware(LSI_IOC_DRIVE, abImage.data(), TRUE), STATUS_OK);
    EXPECT_EQ(bLSIWaitReady(LSI_IOC_DRIVE, 1000), 0);
    EXPECT_EQ(ioc->state(), sim::SasController::State::Fault);
}

TEST_F(MpiInterfaceTest, ImageHeadersPointingOutsideTheImageAreRefused) {
    const MPI_FW_IMAGE_HEADER sHeader = Header(Image(8));
    const size_t dExt = sHeader.dImageSize;
    struct Case {
        const char* pszName;
        size_t dOffset;
        uint32_t dValue;
    } aCases[] = {
        {"main image too large", offsetof(MPI_FW_IMAGE_HEADER, dImageSize), LSI_MAX_FIRMWARE_IMAGE_BYTES + 4},
        {"main image shorter than its header", offsetof(MPI_FW_IMAGE_HEADER, dImageSize), 8},
        {"extension runs past the end", dExt + offsetof(MPI_EXT_IMAGE_HEADER, dImageSize), LSI_MAX_FIRMWARE_IMAGE_BYTES},
        {"empty extension", dExt + offsetof(MPI_EXT_IMAGE_HEADER, dImageSize), 0},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.pszName);
        std::vector<uint8_t> abImage = Image(8);
        abImage.resize(LSI_MAX_FIRMWARE_IMAGE_BYTES);
        PutWord(abImage, c.dOffset, c.dValue);
        EXPECT_EQ(bLSIDownloadFirmware(LSI_IOC_DRIVE, abImage.data(), TRUE), 0);
    }
    EXPECT_EQ(ioc->unlockAttempts(), 0u);
    EXPECT_EQ(ioc->state(), sim::SasController::State::Ready);
}

TEST_F(MpiInterfaceTest, UnlockGivesUpAfterTwentyTries) {
    ioc->faults.diagLocked = true;
    std::vector<uint8_t> abImage = Image(8);
    uint64_t lStart = NowMs();
    EXPECT_EQ(bLSIDownloadFirmware(LSI_IOC_DRIVE, abImage.data(), TRUE), 0);
    EXPECT_EQ(ioc->unlockAttempts(), 20u);
    EXPECT_GE(NowMs() - lStart, 2000u);
    EXPECT_EQ(bLSIHardResetIOC(LSI_IOC_DRIVE), 0);
    EXPECT_EQ(ioc->unlockAttempts(), 40u);
    EXPECT_EQ(ioc->state(), sim::SasController::State::Ready);
}

TEST_F(MpiInterfaceTest, HardResetLeavesTheIocStopped) {
    ASSERT_EQ(bLSIHardResetIOC(LSI_IOC_DRIVE), STATUS_OK);
    EXPECT_EQ(bLSIWaitReady(LSI_IOC_DRIVE, 500), 0);
    EXPECT_EQ(ioc->state(), sim::SasController::State::Reset);
    // A diagnostic load releases it.
    std::vector<uint8_t> abImage = Image(4);
    ASSERT_EQ(bLSIDownloadFirmware(LSI_IOC_DRIVE, abImage.data(), TRUE), STATUS_OK);
    EXPECT_EQ(bLSIWaitReady(LSI_IOC_DRIVE, 500), STATUS_OK);
}

TEST_F(MpiInterfaceTest, UploadReturnsTheLoadedImage) {
    std::vector<uint8_t> abImage = Image(4);
    ASSERT_EQ(bLSIDownloadFirmware(LSI_IOC_DRIVE, abImage.data(), TRUE), STATUS_OK);
    ASSERT_EQ(bLSIWaitReady(LSI_IOC_DRIVE, 1000), STATUS_OK);
    BUFFER_HANDLE dBuffer = Pages(2);
    ASSERT_EQ(bLSIUploadFirmware(LSI_IOC_DRIVE, 4096, dBuffer), STATUS_OK);
    EXPECT_EQ(std::memcmp(Bytes(dBuffer), abImage.data(), 4096), 0);
}

TEST_F(MpiInterfaceTest, ConfigPagesRoundTripByHandshake) {
    BUFFER_HANDLE dBuffer = Pages(1);
    uint32_t dLength = 0;
    uint16_t wStatus = 0;
    ASSERT_EQ(bLSIConfigPageRead(LSI_IOC_DRIVE, FALSE, FALSE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, 5,
                                 MPI_CONFIG_PAGETYPE_MANUFACTURING, 0, dBuffer, 4096, &dLength, &wStatus),
              STATUS_OK);
    EXPECT_EQ(wStatus, MPI_IOCSTATUS_SUCCESS);
    ASSERT_EQ(dLength, sizeof(MPI_MANUFACTURING_PAGE_5));
    // The fill before the read covers the page and no more.
    uint32_t dAfter;
    std::memcpy(&dAfter, Bytes(dBuffer) + dLength, 4);
    EXPECT_NE(dAfter, 0x12345678u);

    auto* psPage = reinterpret_cast<MPI_MANUFACTURING_PAGE_5*>(Bytes(dBuffer));
    psPage->dSasAddressLow = 0x11223344;
    psPage->dSasAddressHigh = 0x50000000;
    ASSERT_EQ(bLSIConfigPageWrite(LSI_IOC_DRIVE, FALSE, FALSE, MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT, 5,
                                  MPI_CONFIG_PAGETYPE_MANUFACTURING, 0, dBuffer, 4096, &wStatus),
              STATUS_OK);
    std::memset(Bytes(dBuffer), 0, 64);
    ASSERT_EQ(bLSIConfigPageRead(LSI_IOC_DRIVE, FALSE, FALSE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, 5,
                                 MPI_CONFIG_PAGETYPE_MANUFACTURING, 0, dBuffer, 4096, &dLength, &wStatus),
              STATUS_OK);
    EXPECT_EQ(psPage->dSasAddressLow, 0x11223344u);
    EXPECT_EQ(psPage->dSasAddressHigh, 0x50000000u);

    // An extended page travels the same way.
    ASSERT_EQ(bLSIConfigPageRead(LSI_IOC_DRIVE, TRUE, FALSE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, 1,
                                 MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, dBuffer, 4096, &dLength, &wStatus),
              STATUS_OK);
    EXPECT_EQ(dLength, sizeof(MPI_SAS_IO_UNIT_PAGE_1));
    auto* psUnit = reinterpret_cast<MPI_SAS_IO_UNIT_PAGE_1*>(Bytes(dBuffer));
    EXPECT_EQ(psUnit->bNumPhys, 8);
    psUnit->asPhy[7].bMaxMinLinkRate = 0x98;
    ASSERT_EQ(bLSIConfigPageWrite(LSI_IOC_DRIVE, TRUE, FALSE, MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT, 1,
                                  MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, dBuffer, 4096, &wStatus),
              STATUS_OK);
    std::vector<uint8_t> abStored = ioc->Page(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1);
    EXPECT_EQ(abStored[offsetof(MPI_SAS_IO_UNIT_PAGE_1, asPhy) + 7 * 12 + 3], 0x98);
}

TEST_F(MpiInterfaceTest, ConfigPageLargerThanTheBufferFails) {
    BUFFER_HANDLE dBuffer = Pages(1);
    std::memset(Bytes(dBuffer), 0xEE, 256);
    uint32_t dLength = 5;
    uint16_t wStatus = 0;
    EXPECT_EQ(bLSIConfigPageRead(LSI_IOC_DRIVE, TRUE, FALSE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, 1,
                                 MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, dBuffer, 64, &dLength, &wStatus),
              0);
    EXPECT_EQ(dLength, 0u);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(Bytes(dBuffer)[i], 0xEE) << i;
    EXPECT_EQ(bLSIConfigPageWrite(LSI_IOC_DRIVE, TRUE, FALSE, MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT, 1,
                                  MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 0, dBuffer, 64, &wStatus),
              0);
    EXPECT_EQ(ioc->Page(MPI_CONFIG_EXTPAGETYPE_SAS_IO_UNIT, 1)[20], 0);
}

TEST_F(MpiInterfaceTest, ConfigErrorStatusComesBackToTheCaller) {
    BUFFER_HANDLE dBuffer = Pages(1);
    uint32_t dLength = 5;
    uint16_t wStatus = 0;
    struct Case {
        uint16_t wInjected;
        uint8_t bPageNumber;
        uint16_t wExpected;
    } aCases[] = {
        {MPI_IOCSTATUS_CONFIG_INVALID_DATA, 5, MPI_IOCSTATUS_CONFIG_INVALID_DATA},
        {0, 9, MPI_IOCSTATUS_CONFIG_INVALID_PAGE},  // no such page
    };
    for (const Case& c : aCases) {
        ioc->faults.configStatus = c.wInjected;
        EXPECT_EQ(bLSIConfigPageRead(LSI_IOC_DRIVE, FALSE, FALSE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, c.bPageNumber,
                                     MPI_CONFIG_PAGETYPE_MANUFACTURING, 0, dBuffer, 4096, &dLength, &wStatus),
                  STATUS_OK);
        EXPECT_EQ(wStatus, c.wExpected);
        EXPECT_EQ(dLength, 0u);
    }
}

TEST_F(MpiInterfaceTest, PortEnableThatNeverAnswersEndsAtItsDeadline) {
    ioc->faults.portEnableSilent = true;
    uint64_t lStart = NowMs();
    EXPECT_EQ(bLSIPortEnable(LSI_IOC_DRIVE, 0, 3000), 0);
    EXPECT_GE(NowMs() - lStart, 3000u);
    EXPECT_LT(NowMs() - lStart, 3100u);
}

TEST_F(MpiInterfaceTest, EventNotificationAndBusReset) {
    EXPECT_EQ(bLSIEventNotificationOn(LSI_IOC_DRIVE), STATUS_OK);
    EXPECT_TRUE(ioc->eventsOn());
    EXPECT_EQ(bLSISendBusReset(LSI_IOC_DRIVE), STATUS_OK);
    // The bus reset's unread reply does not stand in the way of the next one.
    MPI_IOC_FACTS_REPLY sReply{};
    EXPECT_EQ(Facts(&sReply, 20), STATUS_OK);
}

TEST_F(MpiInterfaceTest, FaultedIocRefusesHandshakes) {
    ioc->EnterFault(0x1234);
    EXPECT_EQ(Reg32Read(LSI_DRIVE_REGISTER_BASE) >> 28, MPI_IOC_STATE_FAULT);
    EXPECT_EQ(Reg32Read(LSI_DRIVE_REGISTER_BASE) & 0xFFFF, 0x1234u);
    MPI_SIMPLE_REQUEST sRequest{};
    sRequest.bFunction = MPI_FUNCTION_IOC_FACTS;
    MPI_IOC_FACTS_REPLY sReply{};
    EXPECT_EQ(bLSIHandshakeTimed(LSI_IOC_DRIVE, &sRequest, 3, &sReply, 20, 100), 0);
    EXPECT_EQ(bLSIWaitReady(LSI_IOC_DRIVE, 100), 0);
}

TEST_F(MpiInterfaceTest, DownloadByMessageHandsTheImageToTheIoc) {
    std::vector<uint8_t> abImage = Image(8);
    BUFFER_HANDLE dBuffer = Pages(2);
    std::memcpy(Bytes(dBuffer), abImage.data(), abImage.size());
    ASSERT_EQ(bLSIDownloadFirmware(LSI_IOC_DRIVE, Bytes(dBuffer), FALSE), STATUS_OK);
    uint32_t dSize = Header(abImage).dImageSize;
    ASSERT_EQ(ioc->flashImage().size(), dSize);
    EXPECT_EQ(std::memcmp(ioc->flashImage().data(), abImage.data(), dSize), 0);
}

}  // namespace
