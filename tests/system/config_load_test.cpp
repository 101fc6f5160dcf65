// The start-of-day load on a whole controller: the copies on its drives
// decide which configuration it starts with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config_db.h"
#include "config/config_image.h"
#include "config_copy.h"
#include "harness/dispatch_board.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "sas/sas_device_list.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

using copytest::CopySpec;
using copytest::MakeCopy;

constexpr uint64_t kOtherController = 0x2000005AA5A00777ull;

class ConfigLoadTest : public ::testing::Test {
protected:
    // A first start formats NVRAM: the factory WWN's last three bytes stay
    // behind the controller's own prefix.
    uint64_t Own() const { return 0x200000A55A000000ull | (board.config().wwn & 0xFFFFFFull); }

    void Place(unsigned uSlot, const CopySpec& c) { copytest::PlaceCopy(*chassis.DriveAt(uSlot), MakeCopy(c)); }

    void Boot() {
        board.sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
    }

    static std::string LiveName() {
        const char* pc = fw::pGetConfigImage()->sHeader.acConfigName;
        std::string s(pc, 64);
        return s.substr(0, s.find(' '));
    }

    // The device list entry of a slot, null when it is not listed.
    static const fw::SAS_DEVICE_ENTRY* EntryOfSlot(unsigned uSlot) {
        const fw::SAS_DEVICE_LIST* ps = fw::pGetSASDriveInfoList();
        for (uint8_t i = 0; i < ps->bEntryCount; ++i)
            if (ps->asEntry[i].bSlot == uSlot) return &ps->asEntry[i];
        return nullptr;
    }

    sim::Chassis chassis;
    sim::Board board;
};

class ConfigLoadOrderTest : public ConfigLoadTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ConfigLoadOrderTest, OwnCopyBeatsANewerForeignOne) {
    const bool fOwnFirst = GetParam();
    Place(fOwnFirst ? 1 : 2, {5, Own(), 1, 14, "OWN"});
    Place(fOwnFirst ? 2 : 1, {9, kOtherController, 1, 14, "FOREIGN"});
    Boot();
    EXPECT_EQ(LiveName(), "OWN");
    // The start-of-day apply commits what was loaded under a new generation.
    EXPECT_GT(fw::pGetConfigImage()->sHeader.dGeneration, 9u);
    EXPECT_EQ(fw::fIsConfigValid(), fw::TRUE);
    EXPECT_NE(board.ConsoleText().find("Loading Configuration.............Pass"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(ReadingOrder, ConfigLoadOrderTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "OwnFirst" : "ForeignFirst"); });

TEST_F(ConfigLoadTest, NewestOwnCopyWinsAndEqualGenerationsGoToTheFirstRead) {
    Place(1, {7, Own(), 1, 14, "SEVEN"});
    Place(2, {8, Own(), 1, 14, "EIGHT_A"});
    Place(3, {8, Own(), 1, 14, "EIGHT_B"});
    Place(4, {3, Own(), 1, 14, "THREE"});
    Boot();
    const fw::SAS_DEVICE_ENTRY* ps2 = EntryOfSlot(2);
    const fw::SAS_DEVICE_ENTRY* ps3 = EntryOfSlot(3);
    ASSERT_TRUE(ps2 && ps3);
    EXPECT_EQ(LiveName(), ps2 < ps3 ? "EIGHT_A" : "EIGHT_B");
}

TEST_F(ConfigLoadTest, NoValidCopyGivesTheDefaultConfiguration) {
    Place(1, {20, Own(), 1, 14, "BODY", true});
    CopySpec sTooMany{30, Own(), 65, 14, "RANKS65"};
    Place(2, sTooMany);
    Boot();
    const fw::CONFIG_IMAGE* ps = fw::pGetConfigImage();
    EXPECT_EQ(LiveName(), "Default");
    EXPECT_EQ(ps->sHeader.wRankCount, 0);
    // Committed at start of day, still without arrays: generation 0.
    EXPECT_EQ(ps->sHeader.dGeneration, 0u);
    // The live image passes its own checks, written by this controller.
    EXPECT_EQ(fw::fIsConfigImageValid(ps), fw::TRUE);
    uint8_t abOwn[8];
    copytest::PutWwn(abOwn, Own());
    EXPECT_EQ(std::memcmp(ps->sHeader.abWriterWwn, abOwn, 8), 0);
    // Drives whose copies fail the checks are still present.
    EXPECT_EQ(EntryOfSlot(1)->fValid, fw::TRUE);
    EXPECT_EQ(EntryOfSlot(2)->fValid, fw::TRUE);
}

TEST_F(ConfigLoadTest, CorruptCopiesAndDrivesOfOtherBlockSizesAreIgnored) {
    Place(1, {4, Own(), 1, 14, "GOOD"});
    Place(2, {40, Own(), 1, 14, "BODY", true});
    Place(3, {41, Own(), 65, 14, "RANKS65"});
    for (uint32_t uBlockSize : {4096u, 520u}) {
        const unsigned uSlot = uBlockSize == 4096 ? 9 : 10;
        sim::DriveConfig d = sim::Chassis::DefaultDriveConfig(uSlot, sim::ChassisOptions());
        d.blockSize = uBlockSize;
        d.blocks = (4ull << 30) / uBlockSize;
        chassis.Insert(uSlot, d);
        copytest::PlaceCopy(*chassis.DriveAt(uSlot), MakeCopy({50, Own(), 1, 14, "WIDE"}));
    }
    // A copy the drive cannot read is skipped; the drive stays present.
    sim::Drive& sBad = *chassis.DriveAt(4);
    Place(4, {60, Own(), 1, 14, "MEDIUM"});
    sBad.InjectMediaError(sBad.config().blocks - 1 - copytest::kCopyBlocksBeforeEnd + 100, 1);
    Boot();
    EXPECT_EQ(LiveName(), "GOOD");
    EXPECT_GT(fw::pGetConfigImage()->sHeader.dGeneration, 60u);
    ASSERT_NE(EntryOfSlot(9), nullptr);
    EXPECT_EQ(EntryOfSlot(9)->fValid, fw::FALSE);
    EXPECT_EQ(EntryOfSlot(10)->fValid, fw::FALSE);
    EXPECT_EQ(EntryOfSlot(4)->fValid, fw::TRUE);
}

TEST_F(ConfigLoadTest, AForeignCopyOfGenerationZeroIsInstalledWhenItIsAllThereIs) {
    Place(5, {0, kOtherController, 0, 14, "FOREIGN0"});
    Boot();
    EXPECT_EQ(LiveName(), "FOREIGN0");
    // The start-of-day commit takes it over, still generation 0 without
    // arrays.  The configuration keeps its WWN, and this controller now
    // answers by it.
    uint8_t abConfigured[8];
    copytest::PutWwn(abConfigured, kOtherController);
    EXPECT_EQ(std::memcmp(fw::pGetConfigImage()->sHeader.abWriterWwn, abConfigured, 8), 0);
    uint8_t abInUse[8];
    fw::pGetControllerWWN(abInUse);
    EXPECT_EQ(std::memcmp(abInUse, abConfigured, 8), 0);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.dGeneration, 0u);
}

TEST_F(ConfigLoadTest, AVersion13ImageLosesItsInternalLogicalDrives) {
    std::vector<uint8_t> ab = MakeCopy({6, Own(), 1, 13, "OLD"});
    fw::CONFIG_IMAGE* ps = copytest::Image(ab);
    ps->sHeader.wLdCount = 3;
    for (uint16_t l = 0; l < 3; ++l) {
        ps->asLd[l].wLdNumber = l;
        ps->asLd[l].bSegmentCount = 1;
        ps->asLd[l].wLdId = static_cast<uint16_t>(0x8000 | l);
        ps->asLd[l].wBlockSize = 512;
        ps->asLd[l].acLdName[0] = static_cast<char>('A' + l);
    }
    ps->asLd[1].bLdUseFlags = 0x80;
    ps->abReserved914976[0] = 0x5A;
    copytest::Seal(ab);
    copytest::PlaceCopy(*chassis.DriveAt(1), ab);
    Boot();
    const std::string sText = board.ConsoleText();
    EXPECT_NE(sText.find("Removing old ODA information due to config upgrade.\r\n"), std::string::npos) << sText;
    EXPECT_NE(sText.find(" Deleting Internal LUN 1 due to config upgrade.\r\n"), std::string::npos);
    EXPECT_EQ(sText.find("Deleting Internal LUN 0"), std::string::npos);
    const fw::CONFIG_IMAGE* psLive = fw::pGetConfigImage();
    EXPECT_EQ(psLive->sHeader.wLdCount, 2);
    EXPECT_EQ(psLive->asLd[0].acLdName[0], 'A');
    EXPECT_EQ(psLive->asLd[1].acLdName[0], 'C');
    EXPECT_EQ(psLive->abReserved914976[0], 0);
    EXPECT_EQ(psLive->asSnapshotSet[0].abData[4], 0xFF);
}

}  // namespace
