// The controller's own firmware in flash: the image check, and an update
// that leaves a controller able to start whatever store the power fails
// after, or whatever the part refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "executive/types.h"
#include "hw/flash.h"
#include "platform/flash_update.h"
#include "sim/board.h"
#include "sim/flash.h"

namespace {

std::vector<uint8_t> g_image;
uint8_t g_result = 0;

void ProgramTheImage() { g_result = fw::bProgramFlash(g_image.data(), fw::FALSE); }

sim::StopKind Update(sim::Board& board, const std::vector<uint8_t>& image) {
    g_image = image;
    g_result = 0;
    board.SetResetEntry(ProgramTheImage);
    board.Boot();
    return board.RunFor(60'000'000'000ull);
}

void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

// What the check takes and refuses, for the main and the second program.
TEST(FirmwareImageCheck, OnlyASoundWholeImageForThisProcessorPasses) {
    const std::vector<uint8_t> good = sim::Flash::BuildImage(2048, 3);
    const std::vector<uint8_t> two = sim::Flash::BuildImage(2048, 3, true);
    auto with = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> f = good;
        f[at] = value;
        return f;
    };
    std::vector<uint8_t> longer = good, elfPast = good;
    PutLe32(longer, 32, static_cast<uint32_t>(good.size() + 4));
    PutLe32(elfPast, 48, 4096);
    std::vector<uint8_t> tooBig = good;
    PutLe32(tooBig, 32, fw::FLASH_IMAGE_MAX + 4);
    tooBig.resize(fw::FLASH_IMAGE_MAX + 4);
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        uint8_t elf;
        uint8_t expected;
    };
    const Case cases[] = {
        {"good", good, fw::FIRMWARE_ELF_MAIN, fw::STATUS_OK},
        {"no second program", good, fw::FIRMWARE_ELF_SECOND, 0},
        {"second program", two, fw::FIRMWARE_ELF_SECOND, fw::STATUS_OK},
        {"signature", with(5, 'x'), fw::FIRMWARE_ELF_MAIN, 0},
        {"header version", with(36, 2), fw::FIRMWARE_ELF_MAIN, 0},
        {"program damaged", with(64 + 900, good[964] ^ 1), fw::FIRMWARE_ELF_MAIN, 0},
        {"not ELF", with(64 + 1, 'F'), fw::FIRMWARE_ELF_MAIN, 0},
        {"another processor", with(64 + 18, 3), fw::FIRMWARE_ELF_MAIN, 0},
        {"64-bit", with(64 + 4, 2), fw::FIRMWARE_ELF_MAIN, 0},
        {"longer than received", longer, fw::FIRMWARE_ELF_MAIN, 0},
        {"program past the image", elfPast, fw::FIRMWARE_ELF_MAIN, 0},
        {"larger than a slot", tooBig, fw::FIRMWARE_ELF_MAIN, 0},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(fw::bCheckFirmwareImageHeader(k.image.data(), static_cast<uint32_t>(k.image.size()), fw::FALSE,
                                                k.elf),
                  k.expected)
            << k.name;
    }
    EXPECT_EQ(fw::bCheckFirmwareImageHeader(good.data(), 63, fw::FALSE, fw::FIRMWARE_ELF_MAIN), 0);
}

// Updates alternate between the slots, each newer than the last; the
// factory image is never overwritten by the first.
TEST(FlashUpdate, EachUpdateGoesToTheOtherSlotAndIsStartedNext) {
    sim::Board board;
    const std::vector<uint8_t> factory = board.flash().SlotImage(0);
    ASSERT_EQ(board.flash().BootSlot(), 0);
    const std::vector<uint8_t> first = sim::Flash::BuildImage(4096, 11), second = sim::Flash::BuildImage(3000, 12);
    ASSERT_EQ(Update(board, first), sim::StopKind::Finished);
    EXPECT_EQ(g_result, fw::STATUS_OK);
    EXPECT_EQ(board.flash().BootSlot(), 1);
    EXPECT_EQ(board.flash().SlotImage(1), first);
    EXPECT_EQ(board.flash().SlotImage(0), factory);
    ASSERT_EQ(Update(board, second), sim::StopKind::Finished);
    EXPECT_EQ(board.flash().BootSlot(), 0);
    EXPECT_EQ(board.flash().SlotSequence(0), 3u);
    EXPECT_EQ(board.flash().SlotImage(0), second);
    EXPECT_EQ(board.flash().SlotImage(1), first);
}

// The power fails after each store of an update in turn: the boot ROM
// finds the old image whole until the very last store, the new one after.
TEST(FlashUpdate, APowerCutAtEveryStoreLeavesAnImageToStart) {
    const std::vector<uint8_t> image = sim::Flash::BuildImage(1024, 21);
    std::vector<uint8_t> factoryFlash, factory;
    uint64_t stores = 0;
    {
        sim::Board board;
        factoryFlash = board.flash().Contents();
        factory = board.flash().SlotImage(0);
        ASSERT_EQ(Update(board, image), sim::StopKind::Finished);
        stores = board.flash().StoreCount();
    }
    ASSERT_GT(stores, 200u);
    for (uint64_t k = 1; k <= stores; ++k) {
        sim::Board board;
        board.flash().LoadContents(factoryFlash);
        board.flash().CutPowerAfterStores(k);
        ASSERT_EQ(Update(board, image), sim::StopKind::PowerCut) << k;
        const int slot = board.flash().BootSlot();
        if (k < stores) {
            ASSERT_EQ(slot, 0) << k;
            ASSERT_EQ(board.flash().SlotImage(0), factory) << k;
        } else {
            ASSERT_EQ(slot, 1) << k;
            ASSERT_EQ(board.flash().SlotImage(1), image) << k;
        }
        // The next update after the cut finishes the job.
        if (k == stores / 2) {
            board.flash().CutPowerAfterStores(0);
            ASSERT_EQ(Update(board, image), sim::StopKind::Finished);
            EXPECT_EQ(board.flash().BootSlot(), 1);
            EXPECT_EQ(board.flash().SlotImage(1), image);
        }
    }
}

// A part that will not erase or program: the update fails and the old
// image is what starts.
TEST(FlashUpdate, APartThatRefusesKeepsTheOldImage) {
    for (const bool erase : {true, false}) {
        sim::Board board;
        const std::vector<uint8_t> factory = board.flash().SlotImage(0);
        board.flash().failErases = erase;
        board.flash().failPrograms = !erase;
        ASSERT_EQ(Update(board, sim::Flash::BuildImage(2048, 31)), sim::StopKind::Finished);
        EXPECT_EQ(g_result, 0);
        EXPECT_EQ(board.flash().BootSlot(), 0);
        EXPECT_EQ(board.flash().SlotImage(0), factory);
    }
}

// A cell that silently loses what it was given is found by the read-back
// of the whole image before the slot is made startable: the update reports
// its failure.
TEST(FlashUpdate, AnImageThatDoesNotReadBackIsReportedAsFailed) {
    sim::Board board;
    const std::vector<uint8_t> factory = board.flash().SlotImage(0);
    const std::vector<uint8_t> image = sim::Flash::BuildImage(2048, 37);
    size_t at = 200;
    while ((image[at] & 1) != 0) ++at;
    board.flash().leakyCell = int64_t(fw::FLASH_SLOT_SIZE + at);
    ASSERT_EQ(Update(board, image), sim::StopKind::Finished);
    EXPECT_EQ(g_result, 0);
    EXPECT_EQ(board.flash().BootSlot(), 0);
    EXPECT_EQ(board.flash().SlotImage(0), factory);
}

// Without an image to start the boot ROM does not start the board.
TEST(FlashUpdate, ABoardWithoutAWholeImageDoesNotStart) {
    sim::Board board;
    std::vector<uint8_t> flash = board.flash().Contents();
    flash[100] ^= 1;
    board.flash().LoadContents(flash);
    EXPECT_EQ(board.flash().BootSlot(), -1);
    EXPECT_EQ(Update(board, sim::Flash::BuildImage(2048, 31)), sim::StopKind::Idle);
}

}  // namespace
