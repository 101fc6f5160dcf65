// New firmware for the I/O modules of the expansion enclosures: the Disk IO
// Module Maintenance Menu, an image down the console line, and the update
// that sends it to every eligible enclosure in segments, retries what an
// enclosure refuses, starts over, gives up after the third restart, and
// resets the controller once every enclosure runs the new image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console/xmodem_receive.h"
#include "console_board.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/io_module_firmware.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "harness/dispatch_board.h"
#include "sim/enclosure_processor.h"
#include "sim/io_module_download.h"
#include "xmodem_sender.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kPrompt;
using consoletest::XmodemSender;
using Segment = sim::IoModuleDownload::Segment;

constexpr uint8_t kEventStarted = 126;
constexpr uint8_t kEventFinished = 127;
constexpr uint8_t kEventFailed = 128;
constexpr uint64_t kSecond = 1'000'000'000ull;
const std::string kKv = "KV-4471-Vomaxe2 ";
// What the controller enclosure's own pages call it.
const std::string kOwnProduct = "Vomax fibre     ";

sim::ChassisOptions Expansions(unsigned n) {
    sim::ChassisOptions o;
    o.drives = 2;
    o.driveBytes = 64ull << 20;
    o.expansions = n;
    o.expansionDrives = 1;
    return o;
}

// A header-form file: the signature, the version at 40-43, the image
// proper from byte 1024.
std::vector<uint8_t> HeaderFile(const std::vector<uint8_t>& image, const char* version) {
    std::vector<uint8_t> file(fw::IO_MODULE_HEADER_BYTES, 0);
    std::memcpy(file.data(), fw::IO_MODULE_SIGNATURE, fw::IO_MODULE_SIGNATURE_BYTES);
    std::memcpy(file.data() + 40, version, 4);
    file.insert(file.end(), image.begin(), image.end());
    return file;
}

class IoModuleUpdate : public ::testing::Test {
protected:
    explicit IoModuleUpdate(unsigned expansions = 2, unsigned kv = 0) : c(Expansions(expansions)) {
        // The first kv expansions are of the model that takes magic images.
        for (unsigned n = 1; n <= kv; ++n) c.chassis.processor(n).product = kKv;
    }
    void SetUp() override {
        c.fWaitForConfiguration = false;
        c.Boot();
        ASSERT_TRUE(c.board.RunUntil([] { return fw::fIsSesDeviceBusy() != fw::TRUE; }, 60 * kSecond) ==
                    sim::StopKind::Running);
        c.Type("\x05");
    }
    std::string Open() {
        fw::psGetMenuState()->lMenuPath = 0x121;
        c.board.ClearConsoleText();
        fw::DiskIoModuleMaintenanceMenu();
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    // The file as option 3 would leave it in the buffer.
    void Load(const std::vector<uint8_t>& file) {
        uint8_t* pb = fw::pTakeEnclosureFirmwareReceiveBuffer();
        ASSERT_NE(pb, nullptr);
        std::memcpy(pb, file.data(), file.size());
        ASSERT_EQ(fw::fCheckEnclosureFirmwareImageHeader(pb, static_cast<uint32_t>(file.size())), fw::TRUE);
        fw::SetEnclosureFirmwareImageValid(fw::TRUE);
    }
    // Option 4, then option 1 of the update menu.
    std::string UpdateAll() {
        Open();
        c.Enter("4");
        return c.Enter("1");
    }
    bool RunToReset(uint64_t ns = 120 * kSecond) {
        c.board.RunUntil(nullptr, ns);
        return c.board.lastStop() == sim::StopKind::Reset;
    }
    sim::IoModuleDownload& Download(unsigned n) { return sim::IoModuleDownload::Of(c.chassis.processor(n)); }
    static std::vector<uint32_t> DataLengths(const std::vector<Segment>& log) {
        std::vector<uint32_t> v;
        for (const Segment& s : log)
            if (!s.refused) v.push_back(s.dataLength);
        return v;
    }

    ConsoleBoard c;
};

const std::string kMenu =
    "\n\nDisk IO Module Maintenance Menu (2-1-4) (C0)\n\n"
    "1.  Display Total Number of Disk IO Modules\n"
    "2.  View Firmware on Disk IO Module\n"
    "3.  Download Firmware To Buffer\n"
    "4.  Update Firmware on Disk IO Module\n"
    "\n0.  Exit\n\n" +
    kPrompt;

TEST_F(IoModuleUpdate, TheMenusCountAndListTheEnclosures) {
    EXPECT_EQ(Open(), kMenu);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nTotal number of enclosures = 3\n\nTotal upgradable = 2\n" + kMenu);
    EXPECT_EQ(c.Enter("2"),
              "2\r\n\n\nList of Enclosures and Firmware Version\n"
              "00 Product ID: " + kOwnProduct + "\n"
              "01 Product ID: Vomax expansion , Firmware Version: 0102\n"
              "02 Product ID: Vomax expansion , Firmware Version: 0102\n" + kMenu);
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\n\nUpdate Firmware on Disk IO Module Menu (2-1-4-4) (C0)\n\n"
                            "1.  Download Firmware To ALL Enclosures\n\n0.  Exit\n\n" + kPrompt);
    // Without an image in the buffer the update goes back to the menu.
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kMenu);
    EXPECT_EQ(Download(1).Log().size(), 0u);
}

// An image down the console line and sent: 1000, 1000 and 500 bytes, the
// closing segment, then the reset; after it the enclosures report the new
// revision.
TEST_F(IoModuleUpdate, AnImageOverTheLineReachesEveryExpansionThenTheControllerResets) {
    const std::vector<uint8_t> image = sim::IoModuleDownload::BuildImage("IOMD", "0207", 2500);
    Open();
    c.Enter("3");
    XmodemSender sender{c.board};
    sender.Listen();
    sender.Send(HeaderFile(image, "0207"), 1024, true);
    c.board.RunUntil([] { return fw::fIsXmodemReceiveActive() != fw::TRUE; }, 200 * kSecond);
    c.Settle();
    EXPECT_NE(consoletest::Lines(c.board.ConsoleText()).find("Disk IO Module Firmware Transfer Complete, 3524 bytes"),
              std::string::npos)
        << c.board.ConsoleText();
    c.Type("x");   // the any-key pause
    // Loading was not asked for: nothing goes out until the operator says so.
    EXPECT_EQ(Download(1).Log().size(), 0u);
    const std::string screen = UpdateAll();
    EXPECT_NE(screen.find("\nThis controller will reset after the update is complete.\n\n"
                          "\nDisk IO Module Firmware Update In Progress\n"
                          "Starting Disk IO Module firmware update for Enclosure 01\n"
                          "Starting Disk IO Module firmware update for Enclosure 02\n"),
              std::string::npos)
        << screen;
    // A second download is refused while the update runs.
    c.board.ClearConsoleText();
    fw::DownloadDiskIoModuleFirmware();
    c.Settle();
    EXPECT_NE(c.board.ConsoleText().find("FW update in progress, cannot start another update process."),
              std::string::npos);
    ASSERT_TRUE(RunToReset());
    for (unsigned n : {1u, 2u}) {
        const std::vector<Segment>& log = Download(n).Log();
        EXPECT_EQ(DataLengths(log), (std::vector<uint32_t>{1000, 1000, 500, 0})) << n;
        ASSERT_EQ(log.size(), 4u);
        EXPECT_EQ(log[0].pageLength, 0x3FCu);
        EXPECT_EQ(log[0].transfer, 1024u);
        EXPECT_EQ(log[2].offset, 2000u);
        EXPECT_EQ(log[2].pageLength, 520u);
        EXPECT_EQ(log[2].transfer, 524u);
        EXPECT_EQ(log[3].offset, 2500u);
        EXPECT_EQ(log[3].pageLength, 20u);
        EXPECT_EQ(log[3].transfer, 24u);
        EXPECT_EQ(Download(n).Activations(), 1u);
        EXPECT_EQ(c.chassis.processor(n).revision, "0207");
    }
    EXPECT_EQ(harness::CountEvents(kEventStarted), 2u);
    EXPECT_EQ(harness::CountEvents(kEventFinished), 2u);
    EXPECT_EQ(harness::CountEvents(kEventFailed), 0u);
    EXPECT_NE(consoletest::Lines(c.board.ConsoleText()).find("\nDisk IO Module firmware update completed successfully, this controller "
                                         "will now reset.\n"),
              std::string::npos)
        << c.board.ConsoleText();
}

// A segment an enclosure refuses goes out again after its status was
// read; the update then goes on in step.
TEST_F(IoModuleUpdate, ARefusedSegmentIsRetriedAndTheUpdateGoesOn) {
    Load(HeaderFile(sim::IoModuleDownload::BuildImage("IOMD", "0300", 800), "0300"));
    Download(2).RefuseSegments(1);
    const std::string screen = UpdateAll();
    ASSERT_TRUE(RunToReset());
    const std::string text = consoletest::Lines(c.board.ConsoleText());
    EXPECT_NE(text.find("Retry Detected \n"), std::string::npos) << text;
    EXPECT_NE(text.find("Microcode Download Page \n"), std::string::npos) << text;
    EXPECT_EQ(DataLengths(Download(1).Log()), (std::vector<uint32_t>{500, 300, 0}));
    EXPECT_EQ(DataLengths(Download(2).Log()), (std::vector<uint32_t>{500, 300, 0}));
    EXPECT_EQ(Download(2).Log().size(), 4u);   // the refusal first
    EXPECT_EQ(c.chassis.processor(2).revision, "0300");
    EXPECT_EQ(harness::CountEvents(kEventFailed), 0u);
}

// A segment refused four times starts the whole update over; the third
// restart that fails gives up: every flag cleared, the enclosures keep the
// firmware they ran, no reset.
TEST_F(IoModuleUpdate, ThreeRestartsThenTheUpdateIsAbandoned) {
    Load(HeaderFile(sim::IoModuleDownload::BuildImage("IOMD", "0300", 1200), "0300"));
    Download(1).RefuseSegments(1000);
    UpdateAll();
    ASSERT_TRUE(c.board.RunUntil([] { return fw::fIsEnclosureFirmwareUpdateInProgress() != fw::TRUE; },
                                 200 * kSecond) == sim::StopKind::Running);
    EXPECT_EQ(harness::CountEvents(kEventFailed), 4u);
    EXPECT_EQ(harness::CountEvents(kEventStarted), 2u);   // restarts post no new start
    EXPECT_EQ(fw::fIsSesDeviceBusy(), fw::FALSE);
    EXPECT_EQ(fw::fIsEnclosureFirmwareImageValid(), fw::FALSE);
    EXPECT_EQ(fw::bGetEnclosureFirmwareUpdateAttempts(), 0);
    EXPECT_EQ(fw::fIsEnclosureFirmwareUpdateRestart(), fw::FALSE);
    EXPECT_EQ(c.chassis.processor(1).revision, "0102");
    EXPECT_EQ(c.chassis.processor(2).revision, "0102");
    EXPECT_EQ(Download(2).Activations(), 0u);
    c.board.RunFor(kSecond / 5);
    EXPECT_EQ(c.board.lastStop(), sim::StopKind::Running);
}

// With the own enclosure alone there is nothing to update: the start says
// so and gives the enclosure services back.
class IoModuleAlone : public IoModuleUpdate {
protected:
    IoModuleAlone() : IoModuleUpdate(0) {}
};

TEST_F(IoModuleAlone, AHeaderImageWithNoExpansionStartsNothing) {
    Load(HeaderFile(sim::IoModuleDownload::BuildImage("IOMD", "0300", 800), "0300"));
    EXPECT_EQ(fw::bStartEnclosureFirmwareUpdate(), fw::FALSE);
    EXPECT_EQ(fw::fIsSesDeviceBusy(), fw::FALSE);
    EXPECT_EQ(fw::fIsEnclosureFirmwareUpdateInProgress(), fw::FALSE);
    Open();
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nTotal number of enclosures = 1\n\nTotal upgradable = 0\n" + kMenu);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nList of Enclosures and Firmware Version\n00 Product ID: " + kOwnProduct + "\n" + kMenu);
}

// Images with their own magic go to the KV-4471 expansions only; the
// others take header-form images only.
class IoModuleKv : public IoModuleUpdate {
protected:
    IoModuleKv() : IoModuleUpdate(3, 2) {}
};

TEST_F(IoModuleKv, AMagicImageGoesToTheKvExpansionsOnlyPaddedToWholeWords) {
    const std::vector<uint8_t> image = sim::IoModuleDownload::BuildImage("QWRX", "0405", 2502);
    Load(image);
    EXPECT_EQ(fw::dGetEnclosureFirmwareImageVersion(), 0x21212121u);
    UpdateAll();
    ASSERT_TRUE(RunToReset());
    for (unsigned n : {1u, 2u}) {
        const std::vector<Segment>& log = Download(n).Log();
        EXPECT_EQ(DataLengths(log), (std::vector<uint32_t>{1000, 1000, 502, 0})) << n;
        ASSERT_EQ(log.size(), 4u);
        EXPECT_EQ(log[2].pageLength, 524u);
        EXPECT_EQ(log[2].transfer, 528u);
        EXPECT_EQ(c.chassis.processor(n).revision, "0405");
    }
    EXPECT_EQ(Download(3).Log().size(), 0u);
    EXPECT_EQ(c.chassis.processor(3).revision, "0102");
    EXPECT_EQ(harness::CountEvents(kEventFinished), 2u);
}

TEST_F(IoModuleKv, AMagicImageWithNoKvExpansionLeftStartsNothing) {
    c.chassis.processor(1).product = "Vomax expansion ";
    c.chassis.processor(2).product = "Vomax expansion ";
    // The table still names them KV-4471: make it see them as they are now.
    fw::ENCLOSURE_TABLE* ps = fw::pGetEnclosureTable();
    for (unsigned n : {1u, 2u}) std::memcpy(ps->asEnclosure[n].abConfigPage + 28, "Vomax expansion ", 16);
    Load(sim::IoModuleDownload::BuildImage("QW39", "0405", 900));
    EXPECT_EQ(fw::bStartEnclosureFirmwareUpdate(), fw::FALSE);
    EXPECT_EQ(fw::fIsSesDeviceBusy(), fw::FALSE);
    EXPECT_EQ(fw::fIsEnclosureFirmwareUpdateInProgress(), fw::FALSE);
    c.board.RunFor(kSecond / 5);
    for (unsigned n : {1u, 2u, 3u}) EXPECT_EQ(Download(n).Log().size(), 0u);
}

}  // namespace
