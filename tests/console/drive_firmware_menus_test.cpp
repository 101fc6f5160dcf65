// New drive firmware from the Drive Maintenance Menu on a running
// controller with a RAID 5 array on slots 1-4 and free drives in slots
// 5-8: the file into the buffer, the three download choices, what the
// drives run after their next reset, the copy each keeps near its end, and
// the downloads that must end without new firmware: a drive that refuses a
// segment, an image not made for the drive, an abort.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/config_phase.h"
#include "config/config_state.h"
#include "console/console_menu.h"
#include "console/drive_firmware_menus.h"
#include "console/menu_tree.h"
#include "console/xmodem_receive.h"
#include "console_board.h"
#include "enclosure/drive_firmware_download.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/port_codes.h"
#include "executive/types.h"
#include "harness/config_builder.h"
#include "harness/dispatch_board.h"
#include "harness/firmware_files.h"
#include "hw/scsi.h"
#include "xmodem_sender.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kAnyKey;
using consoletest::kPrompt;
using consoletest::Title;

constexpr unsigned kSlots = 8;
const std::string kVendor = "DRIVEVND";
const std::string kProduct = "SIMDISK 2G";   // the product of the 2 GB drives

class DriveFirmwareMenus : public ::testing::Test {
protected:
    explicit DriveFirmwareMenus(bool withArray = true, const sim::ChassisOptions& drives = Drives())
        : c{drives}, m_withArray(withArray) {}
    void SetUp() override {
        c.Boot();
        if (m_withArray) {
            cfgbuild::Builder b(c.board);
            ASSERT_TRUE(b.MakeArrayWithLd({fw::RAID_LEVEL_5, {1, 2, 3, 4}}, 4));
            c.Settle();
        }
        c.Type("\x05");
        fw::SetConfigModified(fw::FALSE);
    }
    // The menu as the Online Diagnostics Menu's option 2 opens it.
    std::string Open(uint8_t level = 0) {
        fw::SetDiagnosticsModeLevel(level);
        fw::psGetMenuState()->lMenuPath = 0x122;
        c.board.ClearConsoleText();
        fw::DriveMaintenanceMenu();
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    // The file put in the buffer as a finished receive leaves it.
    void Load(const std::vector<uint8_t>& file) {
        if (fw::pGetDownloadImageBuffer() == nullptr) {
            fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
            ASSERT_EQ(fw::bAllocDataPages(fw::BUFFER_BANK_EITHER, 1024, &h), fw::STATUS_OK);
            fw::SetDownloadImageBuffer(static_cast<uint8_t*>(fw::pBufferHandleToPointer(h)));
        }
        std::memcpy(fw::pGetDownloadImageBuffer(), file.data(), file.size());
        fw::SetDownloadImageLength(static_cast<uint32_t>(file.size()));
        fw::SetDownloadImageReady(fw::TRUE);
    }
    // Program and Save with the choice (1-3), confirmed; what the console
    // printed until the result's pause.
    std::string Program(const std::string& choice) {
        Open();
        c.Enter("3");
        c.Enter(choice);
        c.board.ClearConsoleText();
        // The download runs on while the answer is taken.
        c.fWaitForConfiguration = false;
        c.Type("y\r");
        c.fWaitForConfiguration = true;
        c.board.RunUntil([] { return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE; }, 600'000'000'000ull);
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    sim::Drive& Drive(unsigned slot) { return *c.chassis.DriveAt(slot); }
    // The slot of the drive at the place in the controller's drive table.
    unsigned SlotOf(uint8_t index) {
        const uint8_t* w = fw::pGetDriveInfoList()->asDriveInfo[index].abWWN;
        for (unsigned s = 1; s <= kSlots; ++s) {
            uint64_t a = 0;
            for (int i = 0; i < 8; ++i) a = a << 8 | w[i];
            if (a == Drive(s).config().sasAddress) return s;
        }
        return 0;
    }
    void ResetDrives() {
        for (unsigned s = 1; s <= kSlots; ++s) Drive(s).Reset();
    }
    std::vector<uint8_t> StoredCopy(unsigned slot, size_t bytes) {
        const uint64_t last = Drive(slot).config().blocks - 1;
        std::vector<uint8_t> copy((bytes + 511) / 512 * 512);
        Drive(slot).ReadBlocks(last - 16384, static_cast<uint32_t>(copy.size() / 512), copy.data());
        return copy;
    }
    static sim::ChassisOptions Drives() {
        sim::ChassisOptions o;
        o.driveBytes = 2ull << 30;
        return o;
    }
    ConsoleBoard c;
    bool m_withArray;
};

// Every drive free: no array's I/O to pause, each download a short one.
class FreeDriveFirmware : public DriveFirmwareMenus {
protected:
    explicit FreeDriveFirmware(const sim::ChassisOptions& drives = Drives()) : DriveFirmwareMenus(false, drives) {}
};

// Free SATA drives in an expansion enclosure, whose slots the controller
// powers through its pages: they take microcode as DOWNLOAD MICROCODE, and
// run it only once their slot's power has been cycled.
class SataDriveFirmware : public FreeDriveFirmware {
protected:
    static constexpr unsigned kFirst = sim::Chassis::kSlots + 1;
    static constexpr unsigned kLast = sim::Chassis::kSlots + 4;
    static sim::ChassisOptions SataDrives() {
        sim::ChassisOptions o = Drives();
        o.sata = true;
        o.drives = 0;
        o.expansions = 1;
        o.expansionDrives = kLast - kFirst + 1;
        return o;
    }
    SataDriveFirmware() : FreeDriveFirmware(SataDrives()) {}
};

TEST_F(DriveFirmwareMenus, TheMenuShowsTheBufferAndOffersTheDiagnosticsOnlyAtARaisedLevel) {
    const std::string kTitle = Title("Drive Maintenance Menu", "2-2-2");
    const std::string kCommon = "1.  Download Drive Firmware To Buffer\n"
                                "2.  Read Firmware From Drive To Buffer\n"
                                "3.  Program and Save Drive Firmware\n";
    EXPECT_EQ(Open(), kTitle + "\nNo Valid Drive Firmware in Buffer\n\n" + kCommon +
                          "8.  Display Background Drive Verify Information\n\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(fw::psGetMenuState()->wValidOptionMask, 0x10F);
    // Five products: the first four, each cut at 14 characters; the
    // double space ends a name early.
    std::vector<uint8_t> file = harness::DriveFirmwareFile(kVendor, "PRODUCTNAME-ABCDEF", "A1B2");
    file[29] = 5;
    const char* names[] = {"PRODUCTNAME-ABCDEF", "SHORT", "SECOND-NAME-XYZW", "X  Y", "FIFTH"};
    for (int i = 0; i < 5; ++i) {
        std::string p = names[i];
        p.resize(16, ' ');
        std::memcpy(file.data() + 816 + 24 * i, p.data(), 16);
    }
    Load(file);
    EXPECT_EQ(Open(3), kTitle + "Current Buffer Contents:\nDRIVEVND PRODUCTNAME-AB/SHORT/SECOND-NAME-XY/X A1B2\n\n" +
                           kCommon +
                           "4.  Drive Diagnostics\n6.  Drive Fail\n7.  Drive Power Management\n"
                           "8.  Display Background Drive Verify Information\n\n0.  Exit\n\n" +
                           kPrompt);
    EXPECT_EQ(fw::psGetMenuState()->wValidOptionMask, 0x1DF);
    // Option 5 is refused by the mask: the prompt again.
    EXPECT_EQ(consoletest::Lines(c.Enter("5")).find("Drive Diagnostic"), std::string::npos);
}

TEST_F(DriveFirmwareMenus, WithoutAFileOrStoredCopiesTheChoicesAreRefused) {
    Open();
    EXPECT_EQ(consoletest::Lines(c.Enter("3")), "3\n\n\nNo Valid Drive Firmware Available\n\n" + kAnyKey);
    c.Type("x");
    EXPECT_EQ(consoletest::Lines(c.Enter("2")), "2\n\n\nNo Valid Drive Firmware Images Available\n\n" + kAnyKey);
}

TEST_F(DriveFirmwareMenus, AFileSentDownTheLineGoesToEveryDriveAndRunsAfterTheirReset) {
    const std::vector<uint8_t> file = harness::DriveMicrocodeFile(kVendor, kProduct, "0002", 3000, 1024);
    Open();
    c.Enter("1");
    consoletest::XmodemSender sender(c.board);
    sender.Listen();
    sender.Send(file, 1024, true);
    c.board.RunUntil([] { return fw::fIsXmodemReceiveActive() != fw::TRUE; }, 200'000'000'000ull);
    c.Settle();
    ASSERT_NE(consoletest::Lines(c.board.ConsoleText()).find("Drive Firmware Transfer Complete"), std::string::npos);
    c.Type("x");
    const uint32_t started = harness::CountEvents(102);
    const std::string screen = Program("1");
    EXPECT_NE(screen.find("y"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\n\nPausing I/O."), std::string::npos) << screen;
    EXPECT_NE(screen.find("\n\nDownloading F/W to DRIVEVND SIMDISK 2G       SN:"), std::string::npos) << screen;
    EXPECT_NE(screen.find(" Old:0001 New:0002\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\nAll Drive Firmware Download Successful\n\n" + kAnyKey), std::string::npos) << screen;
    EXPECT_EQ(harness::CountEvents(102) - started, kSlots);
    EXPECT_EQ(harness::CountEvents(103) - started, kSlots);
    // The running firmware changes at the reset, and each drive keeps the
    // file byte for byte, the last block's tail zero.
    EXPECT_EQ(Drive(1).Revision(), "0001");
    ResetDrives();
    for (unsigned s = 1; s <= kSlots; ++s) {
        EXPECT_EQ(Drive(s).Revision(), "0002    ") << s;
        std::vector<uint8_t> copy = StoredCopy(s, file.size());
        std::vector<uint8_t> expected = file;
        expected.resize(copy.size(), 0);
        EXPECT_EQ(copy, expected) << s;
    }
    // 3000 bytes in 1024-byte segments: three WRITE BUFFER commands each.
    EXPECT_EQ(Drive(5).CommandCount(fw::SCSI_WRITE_BUFFER), 3u);
    EXPECT_EQ(fw::fIsDriveRescanAfterDownloadPending(), fw::TRUE);
    EXPECT_EQ(fw::fIsDriveFirmwareDownloadInProgress(), fw::FALSE);
}

TEST_F(DriveFirmwareMenus, TheSecondChoiceLeavesTheArrayMembersAlone) {
    Load(harness::DriveMicrocodeFile(kVendor, kProduct, "0002", 2048, 2048));
    const std::string screen = Program("2");
    EXPECT_EQ(screen.find("Pausing I/O"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\nAll Drive Firmware Download Successful\n\n"), std::string::npos) << screen;
    ResetDrives();
    for (unsigned s = 1; s <= kSlots; ++s) EXPECT_EQ(Drive(s).Revision(), s <= 4 ? "0001" : "0002    ") << s;
    // A region of exactly the largest transfer takes one command.
    EXPECT_EQ(Drive(5).CommandCount(fw::SCSI_WRITE_BUFFER), 1u);
}

TEST_F(FreeDriveFirmware, TheThirdChoiceSkipsDrivesThatRunTheFileAndNoChoiceAnotherProduct) {
    Load(harness::DriveMicrocodeFile(kVendor, kProduct, "0002", 2048, 2048));
    std::string screen = Program("3");
    EXPECT_NE(screen.find("\nAll Drive Firmware Download Successful\n\n"), std::string::npos) << screen;
    ResetDrives();
    c.Type("x");
    // Drives already at the file's revision are named, with their firmware,
    // and left alone; nothing left to do is said so.
    screen = Program("3");
    EXPECT_NE(screen.find("\n\nSkipping Drive: DRIVEVND SIMDISK 2G       SN:"), std::string::npos) << screen;
    EXPECT_NE(screen.find(" F/W:0002\n"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Downloading"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\nNo Drive Firmware Download performed\n\n"), std::string::npos) << screen;
    EXPECT_EQ(Drive(5).CommandCount(fw::SCSI_WRITE_BUFFER), 1u);
    // The first choice sends it again all the same.
    c.Type("x");
    screen = Program("1");
    EXPECT_NE(screen.find(" Old:0002 New:0002\n"), std::string::npos) << screen;
    EXPECT_EQ(Drive(5).CommandCount(fw::SCSI_WRITE_BUFFER), 2u);
    // A file for another product reaches no drive, forced or not.
    c.Type("x");
    Load(harness::DriveMicrocodeFile(kVendor, "OTHERDISK", "0003", 2048, 2048));
    screen = Program("1");
    EXPECT_NE(screen.find("\nNo Drive Firmware Download performed\n\n"), std::string::npos) << screen;
    EXPECT_EQ(Drive(5).CommandCount(fw::SCSI_WRITE_BUFFER), 2u);
}

TEST_F(FreeDriveFirmware, ADriveThatRefusesASegmentEndsTheDownloadAsFailedWithItsOldFirmware) {
    Load(harness::DriveMicrocodeFile(kVendor, kProduct, "0002", 3000, 1024));
    // It is sent three times before the download gives up on it.
    Drive(1).FailCommand(fw::SCSI_WRITE_BUFFER, 3);
    const uint32_t done = harness::CountEvents(103);
    std::string screen = Program("1");
    EXPECT_NE(screen.find("\nDrive Firmware Download Failure\n\n" + kAnyKey), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Drive Firmware Download Successful"), std::string::npos) << screen;
    EXPECT_EQ(harness::CountEvents(103), done);
    EXPECT_EQ(fw::fIsDriveFirmwareDownloadInProgress(), fw::FALSE);
    ResetDrives();
    EXPECT_EQ(Drive(1).Revision(), "0001");
    // An image the drive finds damaged is refused by the drive: the same.
    c.Type("x");
    std::vector<uint8_t> file = harness::DriveMicrocodeFile(kVendor, kProduct, "0002", 3000, 1024);
    std::vector<uint8_t> code = sim::Drive::BuildMicrocode(kProduct, "0002    ", 3000);
    code[2000] ^= 0xFF;
    file = harness::DriveFirmwareFile(kVendor, kProduct, "0002", {{3000, 1024, 7, 0xF1, code}});
    Load(file);
    screen = Program("1");
    EXPECT_NE(screen.find("\nDrive Firmware Download Failure\n\n"), std::string::npos) << screen;
    ResetDrives();
    for (unsigned s = 1; s <= kSlots; ++s) EXPECT_EQ(Drive(s).Revision(), "0001") << s;
}

TEST_F(FreeDriveFirmware, AnAbortEndsAfterTheCurrentDrive) {
    Load(harness::DriveMicrocodeFile(kVendor, kProduct, "0002", 3000, 1024));
    // The operator aborts while the first drive takes its image.
    for (unsigned s = 1; s <= kSlots; ++s) {
        Drive(s).onCommand = [](std::span<const uint8_t> cdb) {
            if (cdb[0] == fw::SCSI_WRITE_BUFFER) fw::AbortDriveFirmwareDownload();
        };
    }
    const std::string screen = Program("1");
    EXPECT_NE(screen.find("\n\nAborting Drive Firmware Download After Current Drive\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Drive Firmware Download Successful\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\nDrive Firmware Download Aborted\n\n"), std::string::npos) << screen;
    ResetDrives();
    unsigned updated = 0;
    for (unsigned s = 1; s <= kSlots; ++s) updated += Drive(s).Revision() == "0002    ";
    EXPECT_EQ(updated, 1u);
}

TEST_F(FreeDriveFirmware, ANoOrAFileNotForAllDrivesStartsNothing) {
    std::vector<uint8_t> file = harness::DriveMicrocodeFile(kVendor, kProduct, "0002", 2048, 2048);
    Load(file);
    Open();
    c.Enter("3");
    c.Enter("1");
    EXPECT_NE(consoletest::Lines(c.Enter("n")).find("\nDrive Firmware Download Cancelled!\n\n" + kAnyKey),
              std::string::npos);
    c.Type("x");
    // The all-drives permission byte is not TRUE: refused as a whole.
    file[31] = 0;
    harness::PutLe32(file, 24, 0);
    harness::PutLe32(file, 24, harness::XorWords(file, 0, file.size() / 4));
    Load(file);
    const std::string screen = Program("1");
    EXPECT_NE(screen.find("\nMultiple Drive Download Not Supported\n\n"), std::string::npos) << screen;
    EXPECT_EQ(Drive(1).CommandCount(fw::SCSI_WRITE_BUFFER), 0u);
}

// The copy a download leaves is found by the next drive table rebuild and
// read back into the buffer; a copy that fails its check sends the read on
// to the next drive holding the file, and with no good copy left the read
// fails and the buffer stays empty.
TEST_F(FreeDriveFirmware, AStoredCopyIsReadBackFromTheFirstDriveWhoseCopyIsWhole) {
    const std::vector<uint8_t> file = harness::DriveMicrocodeFile(kVendor, kProduct, "0002", 3000, 1024);
    Load(file);
    ASSERT_NE(Program("1").find("\nAll Drive Firmware Download Successful\n\n"), std::string::npos);
    c.Type("x");
    // The drives run the file's revision: the rebuild lists its copies.
    ResetDrives();
    ASSERT_EQ(fw::fRequestDriveRescan(), fw::TRUE);
    c.Settle();
    ASSERT_EQ(fw::pGetDriveFirmwareImageList()->bCount, 1u);
    uint8_t first = 0, second = 0;
    ASSERT_EQ(fw::fFindDriveForFirmwareImage(0, 0, &first), fw::TRUE);
    ASSERT_EQ(fw::fFindDriveForFirmwareImage(0, first + 1, &second), fw::TRUE);
    // The first holder's copy is damaged after the rebuild found it.
    auto damage = [&](unsigned slot) {
        std::vector<uint8_t> copy = StoredCopy(slot, file.size());
        copy[2000] ^= 0x5A;
        Drive(slot).WriteBlocks(Drive(slot).config().blocks - 1 - 16384, static_cast<uint32_t>(copy.size() / 512),
                                copy.data());
    };
    const unsigned firstSlot = SlotOf(first);
    ASSERT_GE(firstSlot, 1u);
    damage(firstSlot);
    std::memset(fw::pGetDownloadImageBuffer(), 0, file.size());
    fw::SetDownloadImageReady(fw::FALSE);
    Open();
    std::string screen = consoletest::Lines(c.Enter("2"));
    EXPECT_NE(screen.find("\nSelect Drive Firmware File\n\n1.  DRIVEVND SIMDISK 2G 0002\n\n0.  Exit\n\n"),
              std::string::npos)
        << screen;
    c.board.ClearConsoleText();
    c.Enter("1");
    c.board.RunUntil([] { return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE; }, 60'000'000'000ull);
    c.Settle();
    screen = consoletest::Lines(c.board.ConsoleText());
    EXPECT_NE(screen.find("\nDrive Firmware Read Successfully\n\n" + kAnyKey), std::string::npos) << screen;
    ASSERT_EQ(fw::fIsDownloadImageReady(), fw::TRUE);
    ASSERT_EQ(fw::dGetDownloadImageLength(), file.size());
    EXPECT_EQ(std::memcmp(fw::pGetDownloadImageBuffer(), file.data(), file.size()), 0);
    // Every copy damaged: the read fails and nothing is offered as loaded.
    c.Type("x");
    for (unsigned s = 1; s <= kSlots; ++s) {
        if (s != firstSlot) damage(s);
    }
    fw::SetDownloadImageReady(fw::FALSE);
    Open();
    c.Enter("2");
    c.board.ClearConsoleText();
    c.Enter("1");
    c.board.RunUntil([] { return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE; }, 60'000'000'000ull);
    c.Settle();
    screen = consoletest::Lines(c.board.ConsoleText());
    EXPECT_NE(screen.find("\nError Reading Firmware From Drive\n\n" + kAnyKey), std::string::npos) << screen;
    EXPECT_EQ(fw::fIsDownloadImageReady(), fw::FALSE);
}

// A management request (code 198) names its choice in the two download
// bytes: one drive by its place in the drive table, or a pass over the
// drives; the fourth choice takes only unused drives that run another
// revision.
TEST_F(FreeDriveFirmware, AManagementRequestsSelectionPicksTheDrives) {
    Load(harness::DriveMicrocodeFile(kVendor, kProduct, "0002", 2048, 2048));
    auto run = [&](uint8_t selection, uint8_t drive) {
        fw::SetDriveDownloadByte1(selection);
        fw::SetDriveDownloadByte2(drive);
        fw::SetConfigRequester(fw::REQUESTER_MANAGEMENT);
        fw::SetConfigPhaseStep(0);
        fw::SetConfigPhase(fw::CONFIG_PHASE_DRIVE_FIRMWARE);
        fw::RequestConfigurationService();
        c.board.RunUntil([] { return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE; }, 600'000'000'000ull);
        c.Settle();
    };
    // The drive at the table's third place.
    const uint8_t index = 2;
    const unsigned slot = SlotOf(index);
    ASSERT_NE(slot, 0u);
    // While it takes its image it is the download drive, no other is.
    const uint8_t target = fw::pGetDriveInfoList()->asDriveInfo[index].bLoopID1;
    const uint8_t other = fw::pGetDriveInfoList()->asDriveInfo[index + 1].bLoopID1;
    uint8_t fNamed = fw::FALSE, fOther = fw::TRUE;
    Drive(slot).onCommand = [&](std::span<const uint8_t> cdb) {
        if (cdb[0] != fw::SCSI_WRITE_BUFFER) return;
        fNamed = fw::fIsDeviceDownloadDrive(fw::PORT_CODE_INITIATOR, target);
        fOther = fw::fIsDeviceDownloadDrive(fw::PORT_CODE_INITIATOR, other);
    };
    const uint32_t done = harness::CountEvents(103);
    run(0, index);
    Drive(slot).onCommand = nullptr;
    EXPECT_EQ(fNamed, fw::TRUE);
    EXPECT_EQ(fOther, fw::FALSE);
    EXPECT_EQ(fw::fIsDeviceDownloadDrive(fw::PORT_CODE_INITIATOR, target), fw::FALSE);
    EXPECT_EQ(harness::CountEvents(103) - done, 1u);
    for (unsigned s = 1; s <= kSlots; ++s) {
        EXPECT_EQ(Drive(s).CommandCount(fw::SCSI_WRITE_BUFFER), s == slot ? 1u : 0u) << s;
    }
    ResetDrives();
    EXPECT_EQ(Drive(slot).Revision(), "0002    ");
    // The fourth choice passes over the drive already at the revision.
    run(4, 0);
    EXPECT_EQ(harness::CountEvents(103) - done, kSlots);
    for (unsigned s = 1; s <= kSlots; ++s) EXPECT_EQ(Drive(s).CommandCount(fw::SCSI_WRITE_BUFFER), 1u) << s;
    // A drive named by a place past the table's end starts nothing.
    run(0, fw::DRIVE_INFO_RECORDS);
    for (unsigned s = 1; s <= kSlots; ++s) EXPECT_EQ(Drive(s).CommandCount(fw::SCSI_WRITE_BUFFER), 1u) << s;
    EXPECT_EQ(fw::fIsDriveFirmwareDownloadInProgress(), fw::FALSE);
}

// A kind-2 file to SATA drives: each drive takes the image in whole
// blocks, its slot's power is cycled, and it comes back running the new
// revision, which the device list reads again; a second pass for drives at
// another revision then finds nothing to do.  Segments that are not whole
// blocks are refused and the drives keep what they run.
TEST_F(SataDriveFirmware, AKindTwoFileRunsAfterEachSlotIsPowerCycled) {
    const std::vector<uint8_t> file = harness::DriveMicrocodeFile(kVendor, kProduct, "0002", 3072, 1024, 2);
    Load(file);
    std::string screen = Program("1");
    EXPECT_NE(screen.find(" Old:0001     New:0002    \n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\nAll Drive Firmware Download Successful\n\n"), std::string::npos) << screen;
    EXPECT_EQ(fw::fIsDriveSlotPowerCycled(), fw::TRUE);
    for (unsigned s = kFirst; s <= kLast; ++s) {
        EXPECT_EQ(Drive(s).Revision(), "0002    ") << s;
        EXPECT_TRUE(c.chassis.SlotPowered(s)) << s;
    }
    c.Type("x");
    c.Settle();
    const fw::SAS_DEVICE_ENTRY* ps = fw::psGetSASDeviceOfTarget(fw::pGetDriveInfoList()->asDriveInfo[0].bLoopID1);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(std::string(ps->acFirmwareRevision, 8), "0002    ");
    screen = Program("3");
    EXPECT_NE(screen.find("\nNo Drive Firmware Download performed\n\n"), std::string::npos) << screen;
}

TEST_F(SataDriveFirmware, SegmentsThatAreNotWholeBlocksAreRefused) {
    Load(harness::DriveMicrocodeFile(kVendor, kProduct, "0002", 3000, 1000, 2));
    const std::string screen = Program("1");
    EXPECT_NE(screen.find("\nDrive Firmware Download Failure\n\n"), std::string::npos) << screen;
    for (unsigned s = kFirst; s <= kLast; ++s) {
        Drive(s).PowerOn();
        EXPECT_EQ(Drive(s).Revision(), "0001") << s;
    }
}

}  // namespace
