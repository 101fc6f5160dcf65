// The SAS host ports' post queues as the debug screens show them: the
// command buffers waiting to go back to the IOC, those a host command
// holds (by the port its initiator came in on) and the request frames in
// use.
#include <gtest/gtest.h>

#include <string>

#include "executive/startup.h"
#include "executive/types.h"
#include "sas/mpi_interface.h"
#include "sas/sas_drive.h"
#include "sas/sas_target.h"
#include "sim/board.h"

namespace {

std::string Lines(std::string s) {
    std::string t;
    for (char ch : s) {
        if (ch != '\r') t += ch;
    }
    return t;
}

sim::BoardConfig SasConfig() {
    sim::BoardConfig c;
    c.hostInterface = sim::HostInterface::SasTarget;
    return c;
}

class TargetPostQueues : public ::testing::Test {
protected:
    TargetPostQueues() : board(SasConfig()) {}
    void SetUp() override {
        board.SetResetEntry(&fw::ControllerEntry);
        board.Boot();
        ASSERT_EQ(board.RunUntil([] { return fw::bGetSASTargetState() == fw::SAS_TARGET_RUNNING; },
                                 120'000'000'000ull),
                  sim::StopKind::Running);
        board.RunFor(1'000'000'000ull);
    }
    std::string Shown() {
        board.ClearConsoleText();
        fw::ShowLSITargetPostQueues();
        board.RunFor(200'000'000ull);
        return Lines(board.ConsoleText());
    }
    sim::Board board;
};

TEST_F(TargetPostQueues, EachPortShowsTheRepostsItsBuffersAndTheFramesInUse) {
    fw::LSI_SAS_TARGET_IOC* a = fw::dGetSASTargetIocRecord(fw::LSI_IOC_TARGET_1);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->wRequestsInUse, 0) << "a request left in use after the bring-up";
    // Buffers 5 and 287 (the last word, past the eighth) wait to be posted
    // again; buffer 3 holds a command of port 2's initiator, buffer 0x11f
    // one of port 1's; two request frames are taken (the search goes on from
    // where the bring-up's requests left it).
    fw::RequestCommandBufferRepost(fw::LSI_IOC_TARGET_1, 5);
    fw::RequestCommandBufferRepost(fw::LSI_IOC_TARGET_2, 287);
    a->asIo[3].wOwner = 0x12;
    a->asIo[3].bPort = fw::LSI_IOC_TARGET_2;
    a->asIo[0x11F].wOwner = 0x1A5;
    a->asIo[0x11F].bPort = fw::LSI_IOC_TARGET_1;
    uint8_t* pbFrame = nullptr;
    uint16_t awFrame[2] = {};
    for (uint16_t& w : awFrame) ASSERT_EQ(fw::bGetTargetRequestFrame(fw::LSI_IOC_TARGET_1, &pbFrame, &w, fw::TRUE), fw::STATUS_OK);
    ASSERT_EQ(awFrame[0], 6);
    ASSERT_EQ(awFrame[1], 7);
    // 290 frames: ten words, the last for frames 288 and 289.
    ASSERT_EQ(a->wRequestFrames, 290);
    const std::string kReposts = "00000020 00000000 00000000 00000000 00000000 00000000 00000000 00000000 80000000 \n";
    std::string kFrames = "000000c0 ";
    for (int i = 0; i < 9; ++i) kFrames += "00000000 ";
    kFrames += "\n";
    EXPECT_EQ(Shown(), "LSI0 command Post In Use:\n" + kReposts + "11f:1a5\n\nLSI0 Request queue:002\n" + kFrames +
                           "LSI1 command Post In Use:\n" + kReposts + "003:012\n\nLSI1 Request queue:002\n" + kFrames);
    for (uint16_t w : awFrame) fw::FreeTargetRequestFrame(fw::LSI_IOC_TARGET_1, w);
    a->asIo[3].wOwner = fw::SAS_IO_OWNER_NONE;
    a->asIo[0x11F].wOwner = fw::SAS_IO_OWNER_NONE;
}

// A board whose host ports are Fibre Channel has no such IOC to show.
TEST(TargetPostQueuesWithoutSasHostPorts, NothingIsShown) {
    sim::Board board{sim::BoardConfig()};
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    board.RunUntil([&] { return board.ConsoleText().find("Initialization Complete") != std::string::npos; },
                   120'000'000'000ull);
    board.ClearConsoleText();
    fw::ShowLSITargetPostQueues();
    board.RunFor(200'000'000ull);
    EXPECT_EQ(board.ConsoleText().find("LSI"), std::string::npos) << board.ConsoleText();
}

}  // namespace
