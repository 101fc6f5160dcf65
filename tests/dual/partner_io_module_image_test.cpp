// The I/O-module file an operator loaded on one controller goes to the
// other (message 211): its bytes land in the partner's own receive buffer
// with the image's place, length and version, and the master starts the
// update for it.  A file that cannot fit the buffer is refused and leaves
// the partner's image as it was.  Message 35 tells the partner an update
// runs, so it takes no other file meanwhile.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "enclosure/io_module_firmware.h"
#include "harness/dual_pair.h"
#include "hw/addresses.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"

namespace fw_b {
uint8_t fIsMasterController();
uint8_t* pGetEnclosureFirmwareReceiveBuffer();
uint32_t dGetEnclosureFirmwareImageAddress();
uint32_t dGetEnclosureFirmwareImageLength();
uint32_t dGetEnclosureFirmwareImageVersion();
uint8_t fIsEnclosureFirmwareImageValid();
uint8_t fIsEnclosureFirmwareImageLoading();
uint8_t fIsEnclosureFirmwareUpdateInProgress();
uint8_t* pTakeEnclosureFirmwareReceiveBuffer();
uint8_t fCheckEnclosureFirmwareImageHeader(const uint8_t* pbFile, uint32_t dLength);
void SetEnclosureFirmwareImageValid(uint8_t f);
void SetEnclosureFirmwareImageLoading(uint8_t f);
uint8_t bSendEnclosureFwMessage211();
}  // namespace fw_b

namespace {

constexpr uint64_t kLimitNs = 10'000'000'000ull;

class PartnerIoModuleImage : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }
    bool Delivered() {
        return RunUntil([] { return Quiet(fw::sGetPartnerMessageCounts()) && Quiet(fw_b::sGetPartnerMessageCounts()); },
                        kLimitNs);
    }
    // A header-form file of the size given, loaded on a controller (0
    // unless told) as the console's receive would leave it, for an update;
    // then sent.
    std::vector<uint8_t> LoadAndSend(uint32_t dBytes, uint32_t dVersion, bool fOnB = false) {
        std::vector<uint8_t> file(dBytes);
        for (uint32_t i = 0; i < dBytes; ++i) file[i] = static_cast<uint8_t>(i * 7 + i / 4093);
        std::memcpy(file.data(), fw::IO_MODULE_SIGNATURE, fw::IO_MODULE_SIGNATURE_BYTES);
        for (int i = 0; i < 4; ++i) file[40 + i] = static_cast<uint8_t>(dVersion >> (24 - 8 * i));
        uint8_t fSent = fw::FALSE;
        EXPECT_TRUE(OnProcessor(fOnB ? b->board : a->board, [&] {
            uint8_t* pb = fOnB ? fw_b::pTakeEnclosureFirmwareReceiveBuffer() : fw::pTakeEnclosureFirmwareReceiveBuffer();
            std::memcpy(pb, file.data(), dBytes);
            EXPECT_EQ(fOnB ? fw_b::fCheckEnclosureFirmwareImageHeader(pb, dBytes)
                           : fw::fCheckEnclosureFirmwareImageHeader(pb, dBytes),
                      fw::TRUE);
            (fOnB ? fw_b::SetEnclosureFirmwareImageValid : fw::SetEnclosureFirmwareImageValid)(fw::TRUE);
            (fOnB ? fw_b::SetEnclosureFirmwareImageLoading : fw::SetEnclosureFirmwareImageLoading)(fw::TRUE);
            fSent = fOnB ? fw_b::bSendEnclosureFwMessage211() : fw::bSendEnclosureFwMessage211();
        }));
        EXPECT_EQ(fSent, fw::TRUE);
        return file;
    }
};

TEST_F(PartnerIoModuleImage, TheFileReachesThePartnersBufferAndAFileTooBigIsRefused) {
    const std::vector<uint8_t> file = LoadAndSend(300'001, 0x01020304);
    ASSERT_TRUE(Delivered()) << Consoles();
    ASSERT_EQ(fw_b::fIsEnclosureFirmwareImageValid(), fw::TRUE);
    ASSERT_NE(fw_b::pGetEnclosureFirmwareReceiveBuffer(), nullptr);
    const uint32_t dBuffer = b->board.memory().ProcessorAddressOf(fw_b::pGetEnclosureFirmwareReceiveBuffer());
    const uint8_t* pb = b->board.memory().Translate(dBuffer, static_cast<uint32_t>(file.size()));
    ASSERT_NE(pb, nullptr);
    EXPECT_EQ(std::memcmp(pb, file.data(), file.size()), 0);
    EXPECT_EQ(fw_b::dGetEnclosureFirmwareImageAddress(), dBuffer + fw::IO_MODULE_HEADER_BYTES);
    EXPECT_EQ(fw_b::dGetEnclosureFirmwareImageLength(), 300'001u - 1024 + 3);
    EXPECT_EQ(fw_b::dGetEnclosureFirmwareImageVersion(), 0x01020304u);
    // A partner that is not master keeps the file for later; the master
    // takes the update over (here it finds no expansion to send to).
    ASSERT_EQ(fw::fIsMasterController(), fw::TRUE);
    EXPECT_EQ(fw_b::fIsEnclosureFirmwareImageLoading(), fw::TRUE);
    a->board.ClearConsoleText();
    LoadAndSend(5000, 9, true);
    ASSERT_TRUE(Delivered()) << Consoles();
    EXPECT_EQ(fw::fIsEnclosureFirmwareImageValid(), fw::TRUE);
    EXPECT_EQ(fw::fIsEnclosureFirmwareImageLoading(), fw::FALSE);
    EXPECT_NE(a->board.ConsoleText().find("Disk IO Module Firmware Update In Progress"), std::string::npos)
        << a->board.ConsoleText();

    // Past the buffer: refused before any byte is taken.
    fw::INTER_CONTROLLER_MESSAGE s = fw::sTypedPartnerMessage(fw::IO_MODULE_MESSAGE_IMAGE);
    s.abCdb[2] = fw::TRUE;
    s.abCdb[3] = fw::FALSE;
    s.abCdb[6] = 0x04;                 // offset 0x400
    s.abCdb[8] = 0x00;
    s.abCdb[9] = 0x40;                 // length 4 MB
    uint16_t wSlot = fw::PARTNER_NO_SLOT;
    ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
    ASSERT_TRUE(Delivered()) << Consoles();
    EXPECT_EQ(fw_b::fIsEnclosureFirmwareImageValid(), fw::TRUE);
    EXPECT_EQ(fw_b::dGetEnclosureFirmwareImageVersion(), 9u);
}

TEST_F(PartnerIoModuleImage, AnUpdateThatRunsOnThePartnerIsKnownHere) {
    auto Send = [&](uint8_t bLoading, uint8_t bInProgress) {
        fw::INTER_CONTROLLER_MESSAGE s = fw::sTypedPartnerMessage(fw::IO_MODULE_MESSAGE_UPDATE_STATE);
        s.abCdb[2] = bLoading;
        s.abCdb[3] = bInProgress;
        uint16_t wSlot = fw::PARTNER_NO_SLOT;
        return fw::bSendMessageToPartner(&s, &wSlot, 0) == fw::STATUS_OK && Delivered();
    };
    ASSERT_TRUE(Send(fw::FALSE, fw::TRUE)) << Consoles();
    EXPECT_EQ(fw_b::fIsEnclosureFirmwareUpdateInProgress(), fw::TRUE);
    EXPECT_EQ(fw_b::fIsEnclosureFirmwareImageLoading(), fw::FALSE);
    // While it runs the partner's file is not taken over.
    LoadAndSend(4096, 7);
    ASSERT_TRUE(Delivered()) << Consoles();
    EXPECT_EQ(fw_b::fIsEnclosureFirmwareImageValid(), fw::FALSE);
    // A byte that is no flag changes nothing.
    ASSERT_TRUE(Send(fw::FALSE, 7)) << Consoles();
    EXPECT_EQ(fw_b::fIsEnclosureFirmwareUpdateInProgress(), fw::TRUE);
    ASSERT_TRUE(Send(fw::FALSE, fw::FALSE)) << Consoles();
    EXPECT_EQ(fw_b::fIsEnclosureFirmwareUpdateInProgress(), fw::FALSE);
}

}  // namespace
