// Drives on image files, as the controller program keeps them: a member
// whose image is gone at the next start is a pulled drive, and the array
// serves what was written from the members left.
#include <sys/stat.h>

#include <cstdlib>

#include "host_road.h"

namespace {

using namespace roadtest;

class ImageRoad : public HostRoad {
protected:
    ImageRoad() {
        char pattern[] = "/tmp/image-road-XXXXXX";
        EXPECT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        chassisOptions.directory = dir;
        chassisOptions.driveBytes = 64ull << 20;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
    }
    ~ImageRoad() override { EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0); }
    std::string Image(unsigned slot) const { return dir + "/drives/slot" + std::to_string(slot) + ".img"; }
    std::string dir;
};

TEST_F(ImageRoad, AMemberWhoseImageIsGoneIsAPulledDrive) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16, 0, true, 60000}));
    for (uint32_t i = 0; i < 6; ++i) Write(i * 300, 200, 40 + i);
    Settle();
    Stop();
    chassis.reset();
    ASSERT_EQ(rename(Image(3).c_str(), (dir + "/moved.img").c_str()), 0);
    chassisOptions.existingImagesOnly = true;
    chassis = std::make_unique<sim::Chassis>(chassisOptions);
    EXPECT_EQ(chassis->DriveAt(3), nullptr);
    ASSERT_NO_FATAL_FAILURE(Start());
    ExpectRead(0, 1800);
    struct stat st {};
    EXPECT_NE(stat(Image(3).c_str(), &st), 0);
}

}  // namespace
