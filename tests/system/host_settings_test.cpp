// Settings made at the console, saved, and the controller started again on
// the same drives: the menus show them, the image holds them, and the host
// ports run by them against the fabric they meet.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "config/config_image.h"
#include "config/config_state.h"
#include "console/console_menu.h"
#include "config/nvram_records.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "fc/ql_firmware_start.h"
#include "harness/config_builder.h"
#include "harness/fc_array_controller.h"
#include "hw/isp_fc.h"
#include "sim/isp_chip.h"
#include "target/target_queue_management.h"

namespace {

using Topology = sim::FcFabric::Topology;

class SettingsRestart : public ::testing::Test {
protected:
    std::string Type(std::string_view keys) { return c.Type(keys); }
    fw::ISP24_ICB Icb(uint8_t bChip) {
        fw::ISP24_ICB icb{};
        std::memcpy(&icb, c.Chip(bChip).icb().data(), sizeof icb);
        return icb;
    }
    harness::FcArrayController c;
};

// Port 0 fixed at 2 Gb/s, port 1 loop only with hard address 9, and the
// different node name: a reset is asked for, and after it each setting
// holds.
TEST_F(SettingsRestart, SavedHostPortSettingsRunAfterTheRestart) {
    ASSERT_NO_FATAL_FAILURE(c.Boot());
    cfgbuild::ArraySpec spec;
    spec.slots = {1, 2, 3};
    ASSERT_TRUE(cfgbuild::Builder(*c.board).MakeArrayWithLd(spec, 1));
    Type("\x05" "1\r" "3\r");
    Type("4\r" "1\r" "3\r" " ");        // port 0: 2 Gb/s
    Type("3\r" "2\r" "3\r" " ");        // port 1: loop only
    Type("1\r" "2\r" "9\r" " " "0\r");  // port 1 (both controllers): hard address 9
    Type("5\r" "Y\r" " ");              // different node name
    Type("7\r" "1\r" "2\r" "7\r" " ");  // queue management: TASK SET FULL after 7 s
    Type("0\r" "0\r");
    EXPECT_NE(Type("Y\r").find("Saving Configuration, Controller Reset Required"), std::string::npos);
    ASSERT_TRUE(cfgbuild::Builder(*c.board).WaitIdle());
    // The queue management answers run as soon as they are saved.
    const auto tqmShown = [this] {
        c.board->ClearConsoleText();
        fw::PrintTqmSettings();
        c.board->RunFor(2'000'000);
        const std::string text = c.board->ConsoleText();
        return text.find("enabled.\r\n TQM: Response type   TSF.\r\n TQM: Response Time   7000ms\r\n") != std::string::npos &&
               text.find(" TQM: No Accept Time  800ms\r\n") != std::string::npos;
    };
    EXPECT_TRUE(tqmShown());

    // A switched fabric at 4 Gb/s: port 0 runs at its fixed 2 Gb/s, by the
    // firmware's account and the chip's; the loop-only port stays down.
    ASSERT_NO_FATAL_FAILURE(c.Boot(Topology::Fabric, 4));
    c.board->RunFor(50'000'000);
    EXPECT_TRUE(c.Chip(1).linkUp());
    EXPECT_EQ(c.Chip(1).linkSpeedGb(), 2u);
    EXPECT_EQ(fw::bGetHostLinkSpeed(1), 2);
    EXPECT_FALSE(c.Chip(2).linkUp());
    EXPECT_EQ(fw::fIsHostLoopUp(2), fw::FALSE);
    // Port 2's names carry the controller WWN with byte 5's top bit turned.
    const fw::ISP24_ICB icb1 = Icb(1), icb2 = Icb(2);
    EXPECT_EQ(icb2.abNodeName[5], icb1.abNodeName[5] ^ 0x80);
    EXPECT_EQ(std::memcmp(icb2.abNodeName, icb1.abNodeName, 5), 0);
    EXPECT_EQ(icb2.abPortName[5], icb1.abPortName[5] ^ 0x80);

    // The menus and the image show what was saved.
    Type("\x05" "1\r" "3\r");
    EXPECT_NE(Type("4\r" "1\r").find("3.  2 Gb/s (current)"), std::string::npos);
    Type("0\r");
    const std::string connection = Type("3\r" "2\r");
    EXPECT_NE(connection.find("3.  Loop Only (current)"), std::string::npos) << connection;
    Type("0\r");
    const fw::CONFIG_HEADER& h = fw::pGetConfigImage()->sHeader;
    EXPECT_EQ(h.abPortDataRate[0], 2);
    EXPECT_EQ(h.abPortDataRate[1], 0);
    EXPECT_EQ(h.abPortConnection[0], 0);
    EXPECT_EQ(h.abPortConnection[1], 2);
    const uint8_t abHard[4] = {0x84, 0x89, 0x84, 0x89};
    EXPECT_EQ(std::memcmp(h.abPortHardAddress, abHard, 4), 0);
    EXPECT_EQ(h.fDifferentNodeName, fw::TRUE);
    EXPECT_EQ(fw::pGetConfigImage()->sTqmSettings.bResponseType, 0xF2);
    EXPECT_TRUE(tqmShown());

    // On a loop the loop-only port comes up at its hard address.
    ASSERT_NO_FATAL_FAILURE(c.Boot(Topology::Loop, 4));
    c.board->RunFor(50'000'000);
    EXPECT_TRUE(c.Chip(2).linkUp());
    EXPECT_EQ(fw::bGetHostPortHardLoopId(2), 9);
    EXPECT_EQ(c.Chip(2).PortId(), fw::FC_AL_LOOP_ID_TO_ALPA[9]);
    // A fixed rate faster than the fabric's does not link.
    ASSERT_NO_FATAL_FAILURE(c.Boot(Topology::Loop, 1));
    c.board->RunFor(50'000'000);
    EXPECT_FALSE(c.Chip(1).linkUp());
    EXPECT_TRUE(c.Chip(2).linkUp());
    EXPECT_EQ(c.Chip(2).linkSpeedGb(), 1u);
    EXPECT_EQ(fw::bGetHostLinkSpeed(2), 1);
}

// The controller-wide settings, the configuration WWN typed in among them:
// after the restart the host ports carry the chosen WWN, and the menus and
// the image show every setting.
TEST_F(SettingsRestart, SavedControllerSettingsAndConfigurationWwnHoldAfterTheRestart) {
    ASSERT_NO_FATAL_FAILURE(c.Boot());
    cfgbuild::ArraySpec spec;
    spec.slots = {1, 2, 3};
    ASSERT_TRUE(cfgbuild::Builder(*c.board).MakeArrayWithLd(spec, 1));
    fw::SetLinePowerMode(fw::TRUE);
    fw::SetAdvancedConfigModeLevel(4);
    uint8_t abFactory[8];
    fw::GetNvramControllerWwn(abFactory);
    Type("\x05" "1\r" "8\r");
    Type("1\r" "Restart pair\r" " ");
    Type("2\r" "2\r" "123456\r" " ");
    // NVRAM keeps the typed WWN at once (this board's NVRAM; the restart
    // below comes up on a new board).
    uint8_t abKept[8];
    fw::GetNvramAlternateWwn(abKept);
    EXPECT_EQ(abKept[7], 0x56);
    Type("3\r" "Y\r" " ");          // background verification on
    Type("4\r" "N\r" " ");          // enclosure events not logged
    Type("5\r" "N\r" " ");          // single controller mode off
    Type("6\r" "1\r" " " "2\r" " " "4\r" " " "3\r" "1\r" " " "5\r" "1\r" " " "0\r");
    Type("7\r" "3\r" " " "1\r" " " "0\r");   // write collapsing on, overlap caching off
    Type("0\r" "0\r");
    EXPECT_NE(Type("Y\r").find("Saving Configuration"), std::string::npos);
    ASSERT_TRUE(cfgbuild::Builder(*c.board).WaitIdle());

    ASSERT_NO_FATAL_FAILURE(c.Boot());
    c.board->RunFor(50'000'000);
    uint8_t abChosen[8];
    std::memcpy(abChosen, abFactory, 5);
    abChosen[5] = 0x12, abChosen[6] = 0x34, abChosen[7] = 0x56;
    const fw::CONFIG_HEADER& h = fw::pGetConfigImage()->sHeader;
    EXPECT_EQ(std::memcmp(h.abWriterWwn, abChosen, 8), 0);
    uint8_t abInUse[8];
    fw::pGetControllerWWN(abInUse);
    EXPECT_EQ(std::memcmp(abInUse, abChosen, 8), 0);
    EXPECT_EQ(std::memcmp(Icb(1).abNodeName, abChosen, 8), 0);

    EXPECT_EQ(std::string(h.acConfigName, 12), "Restart pair");
    EXPECT_EQ(h.fBackgroundVerify, fw::TRUE);
    EXPECT_EQ(h.fControllerMonitorSes, fw::FALSE);
    EXPECT_EQ(h.fSingleControllerMode, fw::FALSE);
    EXPECT_EQ(h.fMultipleStripeAccess, fw::TRUE);
    EXPECT_EQ(h.fThreadBalance, fw::TRUE);
    EXPECT_EQ(h.fCacheFlushCommand, fw::TRUE);
    EXPECT_EQ(h.bSpcLevel, 4);
    EXPECT_EQ(h.bSequentialWriteLevel, 1);
    EXPECT_EQ(h.fWriteCollapsing, fw::TRUE);
    EXPECT_EQ(h.fOverlapCaching, fw::FALSE);

    fw::SetAdvancedConfigModeLevel(4);
    Type("\x05" "1\r" "8\r");
    EXPECT_NE(Type("1\r").find("Current Name : Restart pair "), std::string::npos);
    Type("\r" " ");
    std::string wwn = Type("2\r");
    EXPECT_NE(wwn.find("Current Configuration WWN: "), std::string::npos) << wwn;
    char acChosen[17];
    for (int i = 0; i < 8; ++i) std::snprintf(acChosen + 2 * i, 3, "%02x", abChosen[i]);
    EXPECT_NE(wwn.find(std::string("Current Configuration WWN: ") + acChosen), std::string::npos) << wwn;
    Type("0\r");
    EXPECT_NE(Type("3\r").find("Background Verification is currently enabled"), std::string::npos);
    Type("\r" " ");
    EXPECT_NE(Type("4\r").find("Log Enclosure Events is Currently Disabled"), std::string::npos);
    Type("\r" " ");
    const std::string performance = Type("6\r");
    EXPECT_NE(performance.find("1.  Disable Simultaneous Multiple Stripe Access"), std::string::npos) << performance;
    EXPECT_NE(performance.find("4.  Disable Cache Flushing Command"), std::string::npos) << performance;
    EXPECT_NE(Type("5\r").find("**1.  Off"), std::string::npos);
    Type("0\r" "0\r");
    const std::string developer = Type("7\r");
    EXPECT_NE(developer.find("1.  Enable Read/Write Overlap Caching"), std::string::npos) << developer;
    EXPECT_NE(developer.find("3.  Disable Write Collapsing"), std::string::npos) << developer;
}

}  // namespace
