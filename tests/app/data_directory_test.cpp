// The drives of a data directory are what it was made with, image for
// image: a run never grows, cuts, shares or silently remakes a drive.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "sim/chassis.h"
#include "sim/enclosure_record.h"

namespace {

using apptest::ProgramRun;
using apptest::RunController;

// Each image keeps one block past its drive's: the drive's identity.
constexpr off_t kIdentityBytes = 512;

class DataDirectory : public apptest::ProgramTest {
protected:
    std::string Image(unsigned slot) const { return m_dir + "/drives/slot" + std::to_string(slot) + ".img"; }
    ProgramRun Run(const std::string& options = "") {
        return RunController("--virtual-time --stop-after 10 " + options + " --data-dir " + m_dir);
    }
    // Every file of the drives folder with its size: what a refused run
    // must leave as it found it.
    std::map<std::string, off_t> Drives() const {
        std::map<std::string, off_t> files;
        for (unsigned slot = 1; slot <= 12; ++slot) {
            struct stat st {};
            if (lstat(Image(slot).c_str(), &st) == 0) files[Image(slot)] = st.st_size;
        }
        files["record"] = Size(m_dir + "/drives/enclosure");
        return files;
    }
    static off_t Size(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
    }
};

// A restart without options uses the drives the directory was made with;
// an option that says otherwise is refused and changes nothing.
TEST_F(DataDirectory, RemembersTheDrivesItWasMadeWith) {
    ASSERT_EQ(Run("--drives 3 --drive-size 0x100000 --drive-type sata").status, 0);
    const auto made = Drives();
    EXPECT_EQ(made.size(), 4u);
    EXPECT_EQ(made.at(Image(1)), (1 << 20) + kIdentityBytes);
    ProgramRun again = Run();
    EXPECT_EQ(again.status, 0) << again.errors;
    EXPECT_EQ(again.errors, "");
    EXPECT_EQ(Drives(), made);
    EXPECT_EQ(Run("--drives 3 --drive-type sata").status, 0);

    const std::string dir = m_dir;
    for (const auto& [options, message] : std::map<std::string, std::string>{
             {"--drive-size 0x200000", "--drive-size 2097152: " + dir + " was made with drives of 1048576 bytes"},
             {"--drives 8", "--drives 8: " + dir + " was made with 3 drives"},
             {"--drive-type sas", "--drive-type sas: " + dir + " was made with sata drives"}}) {
        SCOPED_TRACE(options);
        ProgramRun refused = Run(options);
        EXPECT_EQ(refused.status, 2);
        EXPECT_EQ(refused.errors, "controller: " + message + "\n");
        EXPECT_EQ(refused.output, "");
        EXPECT_EQ(Drives(), made);
    }

    std::ofstream(m_dir + "/drives/enclosure", std::ios::app) << "drive-colour blue\n";
    ProgramRun unread = Run();
    EXPECT_EQ(unread.status, 1);
    EXPECT_EQ(unread.errors.rfind("controller: " + m_dir + "/drives/enclosure: line ", 0), 0u) << unread.errors;
}

// A record that cannot be read refuses the run, naming the line and what is
// wrong with it; what the line holds is shown quoted, and bytes a terminal
// would act on never reach it raw.
TEST_F(DataDirectory, AnUnreadableRecordSaysWhatIsWrongWithoutRawBytes) {
    ASSERT_EQ(Run("--drives 2 --drive-size 0x100000").status, 0);
    const std::string path = m_dir + "/drives/enclosure";
    std::string record;
    {
        std::ifstream in(path);
        record.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const unsigned line = static_cast<unsigned>(std::count(record.begin(), record.end(), '\n')) + 1;
    const std::string junk(std::string("\x1b[2J\x07" "drives \xff\"2\\") + '\0' + "x");
    for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
             {junk, "no such setting: \"\\x1b[2J\\x07drives \\xff\\\"2\\\\\\x00x\""},
             {"drives 99", "drives takes 0 to 12: \"drives 99\""},
             {"drive-type ssd", "drive-type is sas or sata: \"drive-type ssd\""},
             {"drives 2 3", "more than one value for drives: \"drives 2 3\""},
             {"replaced 2 1\nreplaced 2 2", "slot 2 is named replaced twice: \"replaced 2 2\""},
             {std::string(300, 'z'), "no such setting: \"" + std::string(80, 'z') + "\" (300 bytes)"}}) {
        SCOPED_TRACE(message);
        std::ofstream(path, std::ios::trunc | std::ios::binary) << record << text << "\n";
        const unsigned at = line + static_cast<unsigned>(std::count(text.begin(), text.end(), '\n'));
        ProgramRun refused = Run();
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.errors, "controller: " + path + ": line " + std::to_string(at) + ": " + message + "\n");
        EXPECT_EQ(std::count_if(refused.errors.begin(), refused.errors.end(),
                                [](char c) { return (c < 0x20 && c != '\n') || c == 0x7F || (c & 0x80) != 0; }),
                  0);
    }
}

// A board state the program cannot read refuses the run, naming the path
// and why, before anything of the board is made; a directory in its place
// is said to be one.
TEST_F(DataDirectory, ABoardStateThatIsNoFileRefusesTheRun) {
    ASSERT_EQ(mkdir((m_dir + "/board.state").c_str(), 0755), 0);
    ProgramRun refused = Run("--drives 1 --drive-size 0x100000");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.errors, "controller: " + m_dir +
                                  "/board.state: a directory, not the board's state file; move it away or choose "
                                  "another --data-dir\n");
    EXPECT_EQ(Size(m_dir + "/bank0.bin"), -1);
    EXPECT_EQ(Size(m_dir + "/nvram.bin"), -1);
    ASSERT_EQ(rmdir((m_dir + "/board.state").c_str()), 0);
    EXPECT_EQ(Run("--drives 1 --drive-size 0x100000").status, 0);
}

// Expansions cascaded behind the drives' enclosure: their drives are made
// in the directory beside the others, twelve slots to an enclosure, and the
// directory remembers them.
TEST_F(DataDirectory, ExpansionsAreMadeAndRemembered) {
    ProgramRun run = RunController("--virtual-time --stop-after 60000 --drives 2 --drive-size 0x100000 "
                                   "--expansions 1:3 --data-dir " + m_dir);
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_NE(run.output.find("Initialization Complete"), std::string::npos) << run.output;
    for (unsigned slot : {1u, 2u, 13u, 14u, 15u}) EXPECT_EQ(Size(Image(slot)), (1 << 20) + kIdentityBytes) << slot;
    for (unsigned slot : {3u, 16u}) EXPECT_EQ(Size(Image(slot)), -1) << slot;

    EXPECT_EQ(Run().status, 0);
    ProgramRun refused = Run("--expansions 2");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.errors, "controller: --expansions 2:12: " + m_dir + " was made with 1:3\n");
    EXPECT_EQ(Run("--expansions 1:3").status, 0);
}

// Images that would read back wrong are refused before the board starts:
// one cut short, two slots on one file.  Nothing is changed.
TEST_F(DataDirectory, RefusesImagesThatWouldReadBackWrong) {
    ASSERT_EQ(Run("--drives 4 --drive-size 0x400000").status, 0);
    ASSERT_EQ(truncate(Image(2).c_str(), 1 << 20), 0);
    auto before = Drives();
    ProgramRun shortImage = Run();
    EXPECT_EQ(shortImage.status, 1);
    EXPECT_EQ(shortImage.errors, "controller: " + Image(2) +
                                     ": shorter than the drive (1048576 of 4194304 bytes): a drive image is never "
                                     "extended\n");
    EXPECT_EQ(shortImage.output, "");
    EXPECT_EQ(Drives(), before);

    ASSERT_EQ(truncate(Image(2).c_str(), 4 << 20), 0);
    ASSERT_EQ(unlink(Image(3).c_str()), 0);
    ASSERT_EQ(symlink(Image(1).c_str(), Image(3).c_str()), 0);
    before = Drives();
    ProgramRun shared = Run();
    EXPECT_EQ(shared.status, 1);
    EXPECT_EQ(shared.errors, "controller: " + Image(3) + ": the same file as the image of slot 1\n");
    EXPECT_EQ(shared.output, "");
    EXPECT_EQ(Drives(), before);
}

// The same at the default drive size, beyond what 32-bit file offsets
// reach (the images are sparse: nothing of the 4 GiB is written).
TEST_F(DataDirectory, RefusesTwoSlotsOnOneFileAtTheDefaultDriveSize) {
    ASSERT_EQ(Run("--drives 2").status, 0);
    ASSERT_EQ(Size(Image(1)), (off_t(4) << 30) + kIdentityBytes);
    ASSERT_EQ(unlink(Image(2).c_str()), 0);
    ASSERT_EQ(link(Image(1).c_str(), Image(2).c_str()), 0);
    ProgramRun shared = Run();
    EXPECT_EQ(shared.status, 1);
    EXPECT_EQ(shared.errors, "controller: " + Image(2) + ": the same file as the image of slot 1\n");
}

// Two data directories whose drive images are one set of files: while one
// program runs on them, another is refused, naming the image and where it
// lies.  Once the first has ended the second runs.
TEST_F(DataDirectory, RefusesDriveImagesAnotherProgramRunsOn) {
    const std::string first = m_dir + "/first", second = m_dir + "/second";
    ASSERT_EQ(RunController("--virtual-time --stop-after 10 --drives 2 --drive-size 0x400000 --data-dir " + first).status,
              0);
    ASSERT_EQ(mkdir(second.c_str(), 0755), 0);
    ASSERT_EQ(symlink((first + "/drives").c_str(), (second + "/drives").c_str()), 0);
    {
        apptest::RunningController running({"--virtual-time", "--data-dir", first}, m_dir);
        ASSERT_TRUE(running.WaitForConsole("Initialization Complete")) << running.Errors();
        ProgramRun refused = RunController("--virtual-time --stop-after 10 --data-dir " + second);
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.errors, "controller: " + second +
                                      "/drives/slot1.img: another controller program runs on this drive image, which "
                                      "lies in " + first + "/drives\n");
        // Images hard-linked into a third directory: no path leads to the
        // first, and the refusal says the image has another name.
        const std::string third = m_dir + "/third";
        ASSERT_EQ(mkdir(third.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((third + "/drives").c_str(), 0755), 0);
        for (const char* name : {"/slot1.img", "/slot2.img"}) {
            ASSERT_EQ(link((first + "/drives" + name).c_str(), (third + "/drives" + name).c_str()), 0);
        }
        {
            std::ifstream in(first + "/drives/enclosure");
            std::ofstream(third + "/drives/enclosure") << in.rdbuf();
        }
        refused = RunController("--virtual-time --stop-after 10 --data-dir " + third);
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.errors, "controller: " + third +
                                      "/drives/slot1.img: another controller program runs on this drive image: it is "
                                      "hard-linked (2 names), and the other program's data directory holds another of "
                                      "its names\n");
        EXPECT_EQ(running.Stop(), 0);
    }
    EXPECT_EQ(RunController("--virtual-time --stop-after 10 --data-dir " + second).status, 0);
}

// A file size limit below the drive images (ulimit -f): every write past
// it would fail, the configuration copy near each drive's end among them,
// so nothing the controller failed or lost could be kept.  The program is
// refused, naming the image.
TEST_F(DataDirectory, RefusesDriveImagesPastTheFileSizeLimit) {
    ASSERT_EQ(Run("--drives 1").status, 0);
    ProgramRun run = RunController({"--virtual-time", "--stop-after", "10", "--data-dir", m_dir}, -1, [] {
        const rlimit limit{rlim_t(2) << 30, RLIM_INFINITY};   // half the default drive
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "controller: " + Image(1) +
                              ": the drive's 4294967296 bytes pass this program's file size limit (2147483648 bytes, "
                              "ulimit -f)\n");
}

// The board's files that are mapped into memory have all their blocks on
// the disk, a bank an earlier run left sparse too: a full file system then
// cannot kill the program when a page is first stored to.
TEST_F(DataDirectory, TheMappedFilesAreAllocatedWhole) {
    const auto allocated = [](const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 && st.st_size > 0 && st.st_blocks * 512 >= st.st_size;
    };
    ASSERT_EQ(Run("--drives 1 --drive-size 0x100000").status, 0);
    EXPECT_TRUE(allocated(m_dir + "/bank0.bin"));
    EXPECT_TRUE(allocated(m_dir + "/nvram.bin"));
    const off_t bank = Size(m_dir + "/bank0.bin");
    ASSERT_EQ(unlink((m_dir + "/bank0.bin").c_str()), 0);
    ASSERT_EQ(truncate((m_dir + "/bank0.bin").c_str(), bank), -1);
    std::ofstream(m_dir + "/bank0.bin").close();
    ASSERT_EQ(truncate((m_dir + "/bank0.bin").c_str(), bank), 0);
    ASSERT_FALSE(allocated(m_dir + "/bank0.bin"));
    ASSERT_EQ(Run().status, 0);
    EXPECT_TRUE(allocated(m_dir + "/bank0.bin"));
    // A sparse NVRAM: allocated when opened, before anything is stored
    // into it (a damaged flash file refuses the run right after).
    const std::string nvram = m_dir + "/nvram.bin";
    const off_t size = Size(nvram);
    ASSERT_EQ(unlink(nvram.c_str()), 0);
    std::ofstream(nvram).close();
    ASSERT_EQ(truncate(nvram.c_str(), size), 0);
    ASSERT_FALSE(allocated(nvram));
    {
        std::fstream flash(m_dir + "/flash.bin", std::ios::in | std::ios::out | std::ios::binary);
        flash.seekg(100);
        const char byte = static_cast<char>(flash.get() ^ 0x10);
        flash.seekp(100);
        flash.put(byte);
    }
    ASSERT_EQ(Run().status, 1);
    EXPECT_TRUE(allocated(nvram));
}

// An image moved away is a drive pulled from its slot: never made again,
// blank, as the same drive.
TEST_F(DataDirectory, ASlotWhoseImageIsGoneHoldsNoDrive) {
    ASSERT_EQ(Run("--drives 4 --drive-size 0x400000").status, 0);
    ASSERT_EQ(rename(Image(3).c_str(), (m_dir + "/elsewhere.img").c_str()), 0);
    ProgramRun run = Run();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.errors, "controller: " + Image(3) + ": missing: slot 3 holds no drive\n");
    EXPECT_EQ(Size(Image(3)), -1);
    EXPECT_EQ(Size(Image(4)), (4 << 20) + kIdentityBytes);
}

// A blank image put in a slot while the program was stopped is a new drive,
// with an address and serial number of its own, as a drive put in with the
// power off is; the directory remembers it.  So is another directory's
// image.
TEST_F(DataDirectory, ABlankImagePutInASlotIsANewDrive) {
    ASSERT_EQ(Run("--drives 3 --drive-size 0x400000").status, 0);
    const off_t size = Size(Image(2));
    ASSERT_EQ(unlink(Image(2).c_str()), 0);
    std::ofstream(Image(2)).close();
    ASSERT_EQ(truncate(Image(2).c_str(), size), 0);
    ProgramRun run = Run();
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.errors, "controller: " + Image(2) + ": new: slot 2 holds a new drive\n");
    sim::ChassisOptions recorded;
    std::string why;
    ASSERT_EQ(sim::ReadEnclosureRecord(m_dir, &recorded, &why), sim::RecordRead::Read) << why;
    EXPECT_EQ(recorded.replaced, (std::map<unsigned, unsigned>{{2, 1}}));
    EXPECT_NE(recorded.mark, 0u);
    EXPECT_EQ(Size(Image(2)), size);
    // From now on it is the slot's drive.
    ProgramRun again = Run();
    EXPECT_EQ(again.errors, "");
    const uint64_t mark = recorded.mark;
    recorded = {};
    ASSERT_EQ(sim::ReadEnclosureRecord(m_dir, &recorded, &why), sim::RecordRead::Read) << why;
    EXPECT_EQ(recorded.replaced, (std::map<unsigned, unsigned>{{2, 1}}));
    EXPECT_EQ(recorded.mark, mark);

    const std::string other = m_dir + "/other";
    ASSERT_EQ(RunController("--virtual-time --stop-after 10 --drives 3 --drive-size 0x400000 --data-dir " + other).status,
              0);
    ASSERT_EQ(rename((other + "/drives/slot3.img").c_str(), Image(3).c_str()), 0);
    run = Run();
    EXPECT_EQ(run.errors, "controller: " + Image(3) + ": new: slot 3 holds a new drive\n");
}

// A directory whose record was made before its drives were marked: its
// images are its drives, and are marked from then on.
TEST_F(DataDirectory, TheImagesOfADirectoryMadeBeforeMarksAreItsDrives) {
    ASSERT_EQ(Run("--drives 3 --drive-size 0x400000").status, 0);
    const std::string path = m_dir + "/drives/enclosure";
    std::string record;
    {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("mark ", 0) != 0) record += line + "\n";
    }
    std::ofstream(path, std::ios::trunc) << record;
    for (unsigned slot = 1; slot <= 3; ++slot) ASSERT_EQ(truncate(Image(slot).c_str(), 4 << 20), 0);
    ProgramRun run = Run();
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.errors, "");
    sim::ChassisOptions recorded;
    std::string why;
    ASSERT_EQ(sim::ReadEnclosureRecord(m_dir, &recorded, &why), sim::RecordRead::Read) << why;
    EXPECT_NE(recorded.mark, 0u);
    EXPECT_TRUE(recorded.replaced.empty());
    for (unsigned slot = 1; slot <= 3; ++slot) EXPECT_EQ(Size(Image(slot)), (4 << 20) + kIdentityBytes) << slot;
    EXPECT_EQ(Run().errors, "");
}

// A file size limit below the drive size: a new directory's images cannot
// be made, which is said and leaves nothing behind; the program is never
// killed by the limit.
TEST_F(DataDirectory, AFileSizeLimitRefusesTheImagesItCannotHold) {
    rlimit before{}, limit{1 << 20, RLIM_INFINITY};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    ProgramRun run = Run("--drives 2 --drive-size 0x400000");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
    EXPECT_EQ(run.status, 1);
    // The first file the program makes is the processor bank.
    EXPECT_EQ(run.errors, "controller: " + m_dir + "/bank0.bin: File too large\n");
    EXPECT_EQ(Size(Image(1)), -1);
    EXPECT_EQ(Run("--drives 2 --drive-size 0x400000").status, 0);
}

// A drive replaced while the program runs is a new blank drive of the same
// size with an address and serial number of its own, and the directory
// remembers it: the next run finds the new drive in the slot, not the old.
TEST_F(DataDirectory, RemembersADriveReplacedWhileRunning) {
    ASSERT_EQ(Run("--drives 3 --drive-size 0x400000").status, 0);
    const auto made = Drives();
    const std::vector<char> mark(512, 'M');
    {
        std::fstream image(Image(2), std::ios::in | std::ios::out | std::ios::binary);
        image.write(mark.data(), static_cast<std::streamsize>(mark.size()));
    }
    ProgramRun run = Run("--drive-fault 2:replace@5");
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(Drives().at(Image(2)), made.at(Image(2)));
    std::vector<char> first(512);
    std::ifstream(Image(2), std::ios::binary).read(first.data(), static_cast<std::streamsize>(first.size()));
    EXPECT_EQ(first, std::vector<char>(512, 0)) << "the new drive is blank";

    sim::ChassisOptions recorded;
    std::string why;
    ASSERT_EQ(sim::ReadEnclosureRecord(m_dir, &recorded, &why), sim::RecordRead::Read) << why;
    EXPECT_EQ(recorded.replaced, (std::map<unsigned, unsigned>{{2, 1}}));
    const sim::DriveConfig before = sim::Chassis::DefaultDriveConfig(2, sim::ChassisOptions{});
    const sim::DriveConfig after = sim::Chassis::DefaultDriveConfig(2, recorded);
    EXPECT_NE(after.sasAddress, before.sasAddress);
    EXPECT_NE(after.serial, before.serial);
    EXPECT_EQ(after.serial.size(), 8u);

    // Again: the slot's second new drive; a run without the option keeps it.
    ASSERT_EQ(Run("--drive-fault 2:replace@5").status, 0);
    ASSERT_EQ(Run().status, 0);
    recorded = {};
    ASSERT_EQ(sim::ReadEnclosureRecord(m_dir, &recorded, &why), sim::RecordRead::Read) << why;
    EXPECT_EQ(recorded.replaced, (std::map<unsigned, unsigned>{{2, 2}}));
    EXPECT_NE(sim::Chassis::DefaultDriveConfig(2, recorded).sasAddress, after.sasAddress);

    // A record naming a slot twice, or a replacement out of range, is not read.
    for (const char* line : {"replaced 2 3\n", "replaced 13 1\n", "replaced 1 0\n", "replaced 1 100\n", "replaced 1\n"}) {
        SCOPED_TRACE(line);
        const std::string path = m_dir + "/drives/enclosure";
        std::ifstream in(path);
        const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(path, std::ios::app) << line;
        ProgramRun unread = Run();
        EXPECT_EQ(unread.status, 1);
        EXPECT_NE(unread.errors.find("line "), std::string::npos) << unread.errors;
        std::ofstream(path, std::ios::trunc) << kept;
    }
}

}  // namespace
