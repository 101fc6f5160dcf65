// The onboard expander's flash and SEEPROM: a blank board's first start
// writes both and later starts touch nothing; a newer file goes to the
// older slot with the next sequence number and is what the expander boots;
// a power cut among its page programs leaves the old slot to boot and the
// next start finishes the job; bad files and a failing part change nothing
// the expander boots from.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "config/nvram_records.h"
#include "executive/console_output.h"
#include "executive/crc16.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "harness/time_board.h"
#include "hw/vsc7156.h"
#include "platform/i2c.h"
#include "sas/vsc7156_flash.h"
#include "sim/board.h"
#include "sim/vsc7156.h"

namespace {

constexpr uint64_t kSas = 0x5000D0B2123457FEull;
const char kNewRev[] = "VSC7156 FW 2.05.00  ";
const char kNewerRev[] = "VSC7156 FW 2.06.00  ";

// A download file as the maker's tools write it; `crc` and `length` other
// than 0 replace the true values.
std::vector<uint8_t> File(const std::vector<uint8_t>& image, const char* rev, const char* match = fw::VSC_MATCH_ID,
                          uint32_t crc = 0, uint32_t length = 0) {
    std::vector<uint8_t> f(3 * 32, ' ');
    auto line = [&](int n, const char* tag, const std::string& text) {
        std::memcpy(f.data() + 32 * n, tag, 9);
        std::memcpy(f.data() + 32 * n + 9, text.data(), text.size());
        f[32 * n + 31] = '\n';
    };
    line(0, "FWREVID: ", rev);
    line(1, "MATCHID: ", match);
    char fields[20];
    std::snprintf(fields, sizeof fields, "%08X %08X", length ? length : static_cast<uint32_t>(image.size()),
                  crc ? crc : fw::Crc16(0, image.data(), static_cast<uint32_t>(image.size())));
    line(2, "VITESSE: ", fields);
    f.insert(f.end(), image.begin(), image.end());
    return f;
}

std::vector<uint8_t> Image(uint32_t bytes, uint8_t seed) {
    std::vector<uint8_t> v(bytes);
    for (uint32_t i = 0; i < bytes; ++i) v[i] = static_cast<uint8_t>(i * seed + (i >> 8));
    return v;
}

class Vsc7156Flash : public ::testing::Test {
protected:
    void SetUp() override {
        t.Start();
        ASSERT_EQ(fw::InitI2C2(fw::FALSE), fw::STATUS_OK);
    }
    sim::Vsc7156& vsc() { return sim::Vsc7156::Of(t.board); }
    std::vector<uint8_t> Expected() {
        std::vector<uint8_t> e = vsc().Seeprom();
        uint8_t vendor[8], product[16];
        fw::GetNvramVendorId(vendor);
        fw::GetNvramProductId(product);
        fw::BuildVsc7156SeepromImage(e.data(), kSas, vendor, product, fw::bGetControllerNumber());
        return e;
    }
    uint8_t Download(const std::vector<uint8_t>& file) {
        fw::SetVSC7156DownloadFile(file.data(), static_cast<uint32_t>(file.size()));
        return fw::fVSC7156_SPIDownload();
    }
    std::vector<uint8_t> SlotImage(int slot, size_t bytes) const {
        const std::vector<uint8_t>& f = sim::Vsc7156::Of(t.board).Flash();
        return {f.begin() + fw::VSC_SLOT_IMAGE[slot], f.begin() + fw::VSC_SLOT_IMAGE[slot] + bytes};
    }
    uint64_t Writes() { return vsc().pagePrograms + vsc().erases + vsc().seepromWrites; }
    harness::TimeBoard t;
};

TEST_F(Vsc7156Flash, ABlankBoardIsProgrammedOnceAndThenLeftAlone) {
    vsc().LoadFlash(std::vector<uint8_t>(fw::VSC_FLASH_SIZE, 0xFF));
    vsc().LoadSeeprom(std::vector<uint8_t>(fw::VSC_SEEPROM_BYTES, 0xFF));
    ASSERT_EQ(vsc().BootSlot(), -1);
    t.board.ClearConsoleText();
    EXPECT_EQ(fw::fVSC7156_StartupCheck(static_cast<uint32_t>(kSas >> 32), static_cast<uint32_t>(kSas)),
              fw::STATUS_OK);
    const std::string& s = t.board.ConsoleText();
    EXPECT_NE(s.find("Updating the Onboard Expander SEEPROM\r\nWriting Onboard Expander EEPROM Data, 8192 bytes\r\n"
                     "Writing Onboard Expander EEPROM Data Offset 0000, 32 bytes\r\n"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("Writing Onboard Expander EEPROM Data Offset 1fe0, 32 bytes\r\nWrite sucessful to the Onboard "
                     "Expander SEEPROM\r\nReading Onboard Expander EEPROM Data, 8192 bytes\r\nOnboard Expander EEPROM "
                     "Data Verified OK\r\n"),
              std::string::npos)
        << s;
    EXPECT_EQ(vsc().Seeprom(), Expected());
    // The address with its low 10 bits cleared and bit 0 set.
    EXPECT_EQ(vsc().Seeprom()[7], 0x54);
    EXPECT_EQ(vsc().Seeprom()[8], 0x01);
    // The boot image and the carried firmware in the lower slot.
    const std::vector<uint8_t> factory = sim::Vsc7156::FactoryFlash();
    EXPECT_TRUE(std::equal(factory.begin(), factory.begin() + fw::VSC_BOOT_IMAGE_BYTES, vsc().Flash().begin()));
    EXPECT_EQ(vsc().BootSlot(), 0);
    EXPECT_EQ(vsc().SlotSequence(0), 1u);
    EXPECT_EQ(vsc().RunningRevId(), fw::VSC_CARRIED_REV_ID);

    const uint64_t before = Writes();
    t.board.ClearConsoleText();
    EXPECT_EQ(fw::fVSC7156_StartupCheck(static_cast<uint32_t>(kSas >> 32), static_cast<uint32_t>(kSas)),
              fw::STATUS_OK);
    EXPECT_EQ(Writes(), before);
    EXPECT_EQ(t.board.ConsoleText(), "");
}

// Two downloads alternate between the slots, each one sequence number up;
// the same file again writes nothing; equal sequence numbers give the
// upper slot.
TEST_F(Vsc7156Flash, ANewerFileTakesTheOlderSlot) {
    const std::vector<uint8_t> first = Image(0x10123, 3), second = Image(300, 5);
    ASSERT_EQ(Download(File(first, kNewRev)), fw::VSC_DONE);
    EXPECT_EQ(vsc().BootSlot(), 1);
    EXPECT_EQ(vsc().SlotSequence(1), 2u);
    EXPECT_EQ(vsc().RunningRevId(), kNewRev);
    EXPECT_EQ(SlotImage(1, first.size()), first);
    ASSERT_EQ(Download(File(second, kNewerRev)), fw::VSC_DONE);
    EXPECT_EQ(vsc().BootSlot(), 0);
    EXPECT_EQ(vsc().SlotSequence(0), 3u);
    EXPECT_EQ(vsc().RunningRevId(), kNewerRev);
    EXPECT_EQ(std::memcmp(fw::sGetVSC7156FlashRecord().acFlashRevId, kNewerRev, 20), 0);

    const uint64_t before = Writes();
    EXPECT_EQ(Download(File(second, kNewerRev)), fw::VSC_DONE);
    EXPECT_EQ(Writes(), before);

    std::vector<uint8_t> flash = vsc().Flash();
    sim::Vsc7156::WriteSlot(flash, 0, first, kNewRev, 5);
    sim::Vsc7156::WriteSlot(flash, 1, first, kNewRev, 5);
    vsc().LoadFlash(flash);
    ASSERT_EQ(Download(File(second, kNewerRev)), fw::VSC_DONE);
    EXPECT_EQ(vsc().SlotSequence(1), 6u);
    EXPECT_EQ(vsc().SlotSequence(0), 5u);
    EXPECT_EQ(vsc().BootSlot(), 1);
}

// Files the check refuses, and a part that will not erase, program or
// become ready: nothing the expander boots from changes.
TEST_F(Vsc7156Flash, RefusedFilesAndAFailingPartLeaveTheBootSlot) {
    const std::vector<uint8_t> image = Image(5000, 7);
    std::vector<uint8_t> noHeader = File(image, kNewRev);
    noHeader[2 * 32] = 'X';
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        uint8_t status;
        const char* message;
    };
    const Case cases[] = {
        {"no VITESSE line", noHeader, fw::VSC_BAD_HEADER, "fVSC7156_SPIDownload: Unreadable FW Header\r\n"},
        {"longer than the file", File(image, kNewRev, fw::VSC_MATCH_ID, 0, 5001), fw::VSC_BAD_HEADER, nullptr},
        {"longer than a slot", File(image, kNewRev, fw::VSC_MATCH_ID, 0, fw::VSC_SLOT_IMAGE_MAX + 1),
         fw::VSC_BAD_HEADER, nullptr},
        {"MatchID", File(image, kNewRev, "FWHRBL/M25P64  "), fw::VSC_BAD_MATCH_ID,
         "fVSC7156_SPIDownload: MatchID does not match:\r\n Expected: FWHRBL/M25P32  , Actual FWHRBL/M25P64  \r\n"},
        {"CRC", File(image, kNewRev, fw::VSC_MATCH_ID, 0x1234), fw::VSC_BAD_CRC,
         "fVSC7156_SPIDownload: Image CRC does not match\r\n Expected: 1234, Actual "},
    };
    for (const Case& k : cases) {
        t.board.ClearConsoleText();
        EXPECT_EQ(Download(k.file), k.status) << k.name;
        if (k.message) {
            EXPECT_NE(t.board.ConsoleText().find(k.message), std::string::npos) << t.board.ConsoleText();
        }
        EXPECT_EQ(Writes(), 0u) << k.name;
    }
    // A newer image in the upper slot; the failing downloads aim at the
    // lower one and find what they did not erase or program.
    ASSERT_EQ(Download(File(image, kNewRev)), fw::VSC_DONE);
    const std::vector<uint8_t> upper(vsc().Flash().begin() + 0x200000, vsc().Flash().end());
    const std::vector<uint8_t> newer = Image(5000, 13);
    vsc().failErases = true;
    t.board.ClearConsoleText();
    EXPECT_EQ(Download(File(newer, kNewerRev)), fw::VSC_PROGRAM_FAILED);
    EXPECT_NE(t.board.ConsoleText().find("SPI FW erase verify failure 00010000\r\n"), std::string::npos)
        << t.board.ConsoleText();
    vsc().failErases = false;
    vsc().failPrograms = true;
    t.board.ClearConsoleText();
    EXPECT_EQ(Download(File(newer, kNewerRev)), fw::VSC_PROGRAM_FAILED);
    EXPECT_NE(t.board.ConsoleText().find("SPI FW image verify failure 00010000\r\n"), std::string::npos)
        << t.board.ConsoleText();
    vsc().failPrograms = false;
    vsc().neverReady = true;
    EXPECT_EQ(Download(File(newer, kNewerRev)), fw::VSC_TRAILER_READ_FAILED);
    vsc().neverReady = false;
    EXPECT_EQ(vsc().BootSlot(), 1);
    EXPECT_EQ(vsc().RunningRevId(), kNewRev);
    EXPECT_TRUE(std::equal(upper.begin(), upper.end(), vsc().Flash().begin() + 0x200000));
}

TEST_F(Vsc7156Flash, ThePrimitivesRefuseAddressesOutsideThePart) {
    uint8_t page[256] = {};
    t.board.ClearConsoleText();
    EXPECT_EQ(fw::fVSC7156_SPIPageProgram(0x10080, page), 0);
    EXPECT_EQ(fw::fVSC7156_SPISectorErase(0x400000), 0);
    EXPECT_EQ(t.board.ConsoleText(),
              "Invalid address 00010080 for VSC7156_SPI Page Program\r\n"
              "Invalid Sector Address 00400000 for SPI Sector Erase\r\n");
    vsc().neverReady = true;   // a read would now time out
    EXPECT_EQ(fw::bVSC7156_SPIRead(0x1234, 0, page), fw::STATUS_OK);
    vsc().neverReady = false;
    EXPECT_EQ(Writes(), 0u);
    // A read across a page boundary, and the window's byte order.
    uint8_t bytes[6];
    ASSERT_EQ(fw::bVSC7156_SPIRead(0x10000 + 253, sizeof bytes, bytes), fw::STATUS_OK);
    for (uint32_t i = 0; i < sizeof bytes; ++i) EXPECT_EQ(bytes[i], fw::bVsc7156CarriedImageByte(253 + i)) << i;
}

// The controller's CRC and the one the board checks images with agree.
TEST(Vsc7156Crc, TheBoardAndTheControllerAgree) {
    const std::vector<uint8_t> v = Image(777, 11);
    EXPECT_EQ(fw::wVsc7156Crc16(v.data(), 777), fw::Crc16(0, v.data(), 777));
}

// The power fails after the k-th page program of a download: until the
// trailer is written the old slot is what boots, and the next download
// finishes the job.
std::vector<uint8_t> g_file;
uint8_t g_status = 0;
void DownloadEntry() {
    fw::SetVSC7156DownloadFile(g_file.data(), static_cast<uint32_t>(g_file.size()));
    g_status = fw::fVSC7156_SPIDownload();
}

TEST(Vsc7156PowerCut, AmongThePageProgramsTheOldSlotBootsAndTheNextStartFinishes) {
    const std::vector<uint8_t> image = Image(0x2345, 9);
    g_file = File(image, kNewRev);
    const uint64_t programs = (image.size() + 255) / 256 + 1;
    for (const uint64_t k : {uint64_t{1}, programs / 2, programs - 1, programs}) {
        sim::Board board;
        sim::Vsc7156& vsc = sim::Vsc7156::Of(board);
        vsc.CutPowerAfterPrograms(k);
        board.SetResetEntry(DownloadEntry);
        board.Boot();
        ASSERT_EQ(board.RunFor(60'000'000'000ull), sim::StopKind::PowerCut) << k;
        EXPECT_EQ(vsc.BootSlot(), k < programs ? 0 : 1) << k;
        if (k == programs) continue;
        EXPECT_EQ(vsc.RunningRevId(), fw::VSC_CARRIED_REV_ID) << k;
        board.Boot();
        ASSERT_EQ(board.RunFor(60'000'000'000ull), sim::StopKind::Finished) << k;
        EXPECT_EQ(g_status, fw::VSC_DONE) << k << board.ConsoleText();
        EXPECT_EQ(vsc.BootSlot(), 1) << k;
        EXPECT_EQ(vsc.SlotSequence(1), 2u) << k;
        EXPECT_EQ(vsc.RunningRevId(), kNewRev) << k;
    }
}

}  // namespace
