// Which drive a slot of a data directory holds: a marked directory's images
// keep their drive's identity past its blocks, so that a blank file put in
// a slot, or another directory's image, is a new drive with an address and
// serial of its own, as a drive put in while the power was off is; the
// images a directory had before it was marked are its drives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/chassis.h"

namespace {

constexpr uint64_t kDriveBytes = 1 << 20;

class SlotIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        root = std::filesystem::path(testing::TempDir()) / ("drive_identity_" + std::to_string(getpid()));
        std::filesystem::remove_all(root);
    }
    void TearDown() override { std::filesystem::remove_all(root); }

    sim::ChassisOptions Options(const std::string& name, uint64_t mark) const {
        sim::ChassisOptions o;
        o.directory = (root / name).string();
        o.drives = 3;
        o.driveBytes = kDriveBytes;
        o.mark = mark;
        return o;
    }
    static std::string Image(const sim::ChassisOptions& o, unsigned slot) {
        return o.directory + "/drives/slot" + std::to_string(slot) + ".img";
    }
    // Every slot's drive, by address.
    static std::map<unsigned, uint64_t> Addresses(const sim::Chassis& c) {
        std::map<unsigned, uint64_t> m;
        for (unsigned s = 1; s <= 3; ++s) m[s] = c.ConfigAt(s)->sasAddress;
        return m;
    }
    // Made, then found again as it was left.
    std::map<unsigned, uint64_t> MakeAndReopen(sim::ChassisOptions& o) {
        const std::map<unsigned, uint64_t> made = Addresses(sim::Chassis(o));
        o.existingImagesOnly = true;
        sim::Chassis again(o);
        EXPECT_EQ(Addresses(again), made);
        EXPECT_TRUE(again.options().replaced.empty());
        return made;
    }
    static void PutBlankFile(const std::string& path, off_t size) {
        ASSERT_EQ(unlink(path.c_str()), 0);
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    }
    std::filesystem::path root;
};

TEST_F(SlotIdentity, ABlankFileInASlotIsANewDrive) {
    sim::ChassisOptions o = Options("a", 42);
    const auto made = MakeAndReopen(o);
    // The drive's blocks, then its identity block.
    EXPECT_EQ(std::filesystem::file_size(Image(o, 2)), kDriveBytes + 512);

    for (const off_t size : {off_t(kDriveBytes + 512), off_t(kDriveBytes)}) {
        SCOPED_TRACE(size);
        ASSERT_NO_FATAL_FAILURE(PutBlankFile(Image(o, 2), size));
        testing::internal::CaptureStderr();
        sim::Chassis c(o);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "controller: " + Image(o, 2) + ": new: slot 2 holds a new drive\n");
        sim::ChassisOptions named = o;
        sim::NoteNewDrive(named, 2);
        EXPECT_EQ(c.options().replaced, named.replaced);
        EXPECT_EQ(c.ConfigAt(2)->sasAddress, sim::Chassis::DefaultDriveConfig(2, named).sasAddress);
        EXPECT_EQ(c.ConfigAt(2)->serial, sim::Chassis::DefaultDriveConfig(2, named).serial);
        EXPECT_NE(c.ConfigAt(2)->sasAddress, made.at(2));
        EXPECT_EQ(c.ConfigAt(1)->sasAddress, made.at(1));
        EXPECT_EQ(c.ConfigAt(3)->sasAddress, made.at(3));
        // Remembered, the new drive is the slot's drive from now on.
        o = c.options();
    }
    EXPECT_EQ(o.replaced, (std::map<unsigned, unsigned>{{2, 2}}));
    testing::internal::CaptureStderr();
    sim::Chassis again(o);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(again.options().replaced, o.replaced);
}

TEST_F(SlotIdentity, AnotherDirectorysImageIsANewDrive) {
    sim::ChassisOptions o = Options("a", 42), other = Options("b", 43);
    const auto made = MakeAndReopen(o);
    (void)MakeAndReopen(other);
    std::filesystem::copy_file(Image(other, 1), Image(o, 1), std::filesystem::copy_options::overwrite_existing);
    testing::internal::CaptureStderr();
    sim::Chassis c(o);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(c.ConfigAt(1)->sasAddress, made.at(1));
    EXPECT_EQ(c.options().replaced, (std::map<unsigned, unsigned>{{1, 1}}));
}

// A directory from before the marks: its images are taken as its drives
// and given their identity; from then on they are known by it.  A format
// leaves the identity where it is.
TEST_F(SlotIdentity, TheImagesOfAnUnmarkedDirectoryAreItsDrives) {
    sim::ChassisOptions o = Options("a", 0);
    const auto made = MakeAndReopen(o);
    EXPECT_EQ(std::filesystem::file_size(Image(o, 1)), kDriveBytes);
    o.mark = 42;
    o.adoptImages = true;
    {
        sim::Chassis adopted(o);
        EXPECT_EQ(Addresses(adopted), made);
        EXPECT_TRUE(adopted.options().replaced.empty());
        EXPECT_FALSE(adopted.options().adoptImages);
        // (Its power-on unit attention answered first.)
        const std::vector<uint8_t> format = {0x04, 0, 0, 0, 0, 0};
        std::vector<uint8_t> in;
        (void)adopted.DriveAt(3)->Execute(format, {}, in);
        EXPECT_EQ(adopted.DriveAt(3)->Execute(format, {}, in).status, 0);
    }
    EXPECT_EQ(std::filesystem::file_size(Image(o, 1)), kDriveBytes + 512);
    o.adoptImages = false;
    testing::internal::CaptureStderr();
    sim::Chassis marked(o);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(Addresses(marked), made);
}

}  // namespace
