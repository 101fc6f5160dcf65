// Two operators at the two consoles open the Configuration Menu at the same
// moment: one gets the configuration, the other waits until the first has
// saved and then edits from what the first saved; both controllers end with
// both changes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../system/road_config.h"
#include "config/config_image.h"
#include "harness/dual_pair.h"
#include "hw/addresses.h"

namespace fw_b {
struct CONFIG_IMAGE;
CONFIG_IMAGE* pGetConfigImage();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;
const std::string kPrompt = "Please Select Option: ";
const std::string kAnyKey = "Press any key to continue...";

class PartnerConsoleEdits : public ::testing::Test, protected dual::Pair {
protected:
    // An array both controllers load: the menus edit only a configuration
    // that has one.
    void SetUp() override {
        std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, {"SHARED", fw::RAID_LEVEL_5, 4, 64}, kOwner);
        copytest::Seal(ab);
        for (unsigned s = 1; s <= 4; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
        ASSERT_TRUE(Boot()) << Consoles();
    }
    static constexpr uint64_t kOwner = 0x200000A55AA00001ull;
    // Keys typed on a board's console; true once it printed `text` after them.
    bool Type(sim::Board& board, const std::string& keys, const std::string& text) {
        board.ClearConsoleText();
        board.TypeKeys(keys);
        return Shows(board, text);
    }
    bool Shows(sim::Board& board, const std::string& text, uint64_t limitNs = 20'000 * kMs) {
        return RunUntil([&] { return board.ConsoleText().find(text) != std::string::npos; }, limitNs);
    }
    // A menu, read to its prompt; a result, read to its pause.
    bool Menu(sim::Board& board, const std::string& keys, const std::string& text) {
        return Type(board, keys, text) && Shows(board, kPrompt);
    }
    bool Result(sim::Board& board, const std::string& keys, const std::string& text) {
        return Type(board, keys, text) && Shows(board, kAnyKey);
    }
    // From the Configuration Menu: a priority of the Rebuild/Initialization
    // menu set (after its current value was seen), then the edit saved;
    // back in the Main Menu.
    void SetPriorityAndSave(sim::Board& board, const std::string& option, const std::string& what,
                            const std::string& current, const std::string& value) {
        ASSERT_TRUE(Menu(board, "5\r", "Rebuild/Initialization Configuration Menu")) << board.ConsoleText();
        ASSERT_TRUE(Type(board, option + "\r", "Current " + what + " Priority: " + current + " %"))
            << board.ConsoleText();
        ASSERT_TRUE(Result(board, value + "\r", what + " Priority Changed to " + value + " %")) << board.ConsoleText();
        ASSERT_TRUE(Menu(board, " ", "Rebuild/Initialization Configuration Menu")) << board.ConsoleText();
        ASSERT_TRUE(Menu(board, "0\r", "0.  Save and Exit")) << board.ConsoleText();
        ASSERT_TRUE(Type(board, "0\r", "Confirm saving of new configuration (Y or N): ")) << board.ConsoleText();
        ASSERT_TRUE(Result(board, "y\r", "Saving Configuration")) << board.ConsoleText();
        ASSERT_TRUE(Menu(board, " ", "Main Menu")) << board.ConsoleText();
    }
    // What the other operator's edit left: the current value shown.
    void ShowsPriority(sim::Board& board, const std::string& option, const std::string& what,
                       const std::string& current) {
        ASSERT_TRUE(Menu(board, "5\r", "Rebuild/Initialization Configuration Menu")) << board.ConsoleText();
        ASSERT_TRUE(Type(board, option + "\r", "Current " + what + " Priority: " + current + " %"))
            << board.ConsoleText();
        ASSERT_TRUE(Result(board, "\r", "No Change")) << board.ConsoleText();
        ASSERT_TRUE(Menu(board, " ", "Rebuild/Initialization Configuration Menu")) << board.ConsoleText();
        ASSERT_TRUE(Menu(board, "0\r", "Configuration Menu (1)")) << board.ConsoleText();
    }
    static bool ShowsConfigurationMenu(const sim::Board& board) {
        return board.ConsoleText().find("Configuration Menu (1) ") != std::string::npos;
    }
    // A controller's live configuration header, read through its board's
    // view of its memory.
    static const fw::CONFIG_HEADER& HeaderOf(sim::Board& board, void* pImage) {
        const uint32_t address = board.memory().ProcessorAddressOf(pImage);
        return reinterpret_cast<const fw::CONFIG_IMAGE*>(board.memory().Translate(address, fw::CONFIG_IMAGE_SIZE))
            ->sHeader;
    }
    static bool HoldsBoth(const fw::CONFIG_HEADER& s) { return s.bRebuildPriority == 30 && s.bInitPriority == 70; }
};

TEST_F(PartnerConsoleEdits, TwoConsolesEditingAtOnceAreTakenOneAfterTheOther) {
    for (sim::Board* board : {&a->board, &b->board}) ASSERT_TRUE(Menu(*board, "\x05", "Main Menu")) << Consoles();
    // The same moment on both: neither console runs before the other has
    // its keys.
    a->board.ClearConsoleText();
    b->board.ClearConsoleText();
    a->board.TypeKeys("1\r");
    b->board.TypeKeys("1\r");
    ASSERT_TRUE(RunUntil([&] { return ShowsConfigurationMenu(a->board) || ShowsConfigurationMenu(b->board); },
                         20'000 * kMs))
        << Consoles();
    (void)RunUntil(nullptr, 2000 * kMs);
    ASSERT_FALSE(ShowsConfigurationMenu(a->board) && ShowsConfigurationMenu(b->board)) << Consoles();
    const bool fAFirst = ShowsConfigurationMenu(a->board);
    sim::Board& first = fAFirst ? a->board : b->board;
    sim::Board& second = fAFirst ? b->board : a->board;

    ASSERT_NO_FATAL_FAILURE(SetPriorityAndSave(first, "5", "Rebuild", "50", "30"));
    // The waiting console gets the configuration once the first one's is
    // written, and edits from it.
    ASSERT_TRUE(RunUntil([&] { return ShowsConfigurationMenu(second); }, 60'000 * kMs)) << Consoles();
    ASSERT_TRUE(Shows(second, kPrompt)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(ShowsPriority(second, "5", "Rebuild", "30"));
    ASSERT_NO_FATAL_FAILURE(SetPriorityAndSave(second, "7", "Initialization", "50", "70"));

    ASSERT_TRUE(RunUntil([&] { return HoldsBoth(HeaderOf(a->board, fw::pGetConfigImage())) &&
                                      HoldsBoth(HeaderOf(b->board, fw_b::pGetConfigImage())); },
                         30'000 * kMs))
        << Consoles();
}

}  // namespace
