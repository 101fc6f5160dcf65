// Drive-loop bring-up on the test board: the maps, the drive tables, one
// probe per drive and loop, the drives lost at bring-up and their memory.
#include <gtest/gtest.h>

#include "config/config_load_loops.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/drive_loop_tables.h"
#include "config/host_port_tables.h"
#include "eventlog/event_log.h"
#include "executive/kernel_entry.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "fc/drive_loop_bringup.h"
#include "fc/drive_loop_watch.h"
#include "tests/fc/drive_loop_harness.h"
#include "tests/system/config_copy.h"

namespace {

using namespace fw;
using looptest::LoopController;
using looptest::WwnBytes;

constexpr uint8_t kDrives = 3;

class DriveLoopBringUp : public ::testing::Test {
protected:
    void SetUp() override {
        for (uint8_t k = 0; k < kDrives; ++k) c.AddDrive(k);
    }

    // The device table's entry of drive k, or null.
    static const DRIVE_LOOP_DEVICE* Memory(uint8_t k) {
        const auto wwn = WwnBytes(looptest::kWwnBase + k);
        for (uint8_t i = 0; i < bGetDriveLoopDeviceCount(); ++i) {
            const DRIVE_LOOP_DEVICE* ps = psGetDriveLoopDevice(i);
            if (std::memcmp(ps->abWwn, wwn.data(), 8) == 0) return ps;
        }
        return nullptr;
    }

    LoopController c;
};

// Start of day: both loops' maps read, every drive known to the drive-loop
// tables by its loop ID, probed once on each loop, and the loops
// synchronised by a marker; the host side counts the drives as ready.
TEST_F(DriveLoopBringUp, BothLoopsComeUpWithEveryDriveProbedOnce) {
    ASSERT_TRUE(c.Boot());
    for (uint8_t chip = 3; chip <= 4; ++chip) {
        SCOPED_TRACE(chip);
        EXPECT_EQ(bGetLoopMapCount(chip), kDrives + 1);   // the chip's own port too
        EXPECT_EQ(bGetDriveLoopDeviceCount(chip), kDrives + 1);
        EXPECT_EQ(bGetPortLoopState(chip), PORT_LOOP_STATE_VALID);
        EXPECT_EQ(bGetOwnLoopId(chip), 125);
        EXPECT_GE(c.Chip(chip).markers(), 1u);
        for (uint8_t k = 0; k < kDrives; ++k) {
            uint8_t abWwn[8];
            ASSERT_EQ(fGetDriveWwnByLoopId(chip, k, abWwn), STATUS_OK);
            EXPECT_EQ(0, std::memcmp(abWwn, WwnBytes(looptest::kWwnBase + k).data(), 8));
        }
    }
    for (uint8_t k = 0; k < kDrives; ++k) EXPECT_EQ(c.drives[k]->CommandCount(0x00), 2u) << "drive " << int(k);
    EXPECT_EQ(wGetProbeCompletions(), 2 * kDrives);
    EXPECT_EQ(fGetDriveLoopsReady(), TRUE);
    EXPECT_EQ(bGetDriveLoopBringUpStep(), 0);
    EXPECT_EQ(harness::CountEvents(40), 0u);
    // The first bring-up follows the chips' start: no loop is reset.
    EXPECT_EQ(c.Chip(3).loopResets() + c.Chip(4).loopResets(), 0u);
}

// A lone controller shutting down probes every drive of both loops once
// more, and waits for the answers before it stops.
TEST_F(DriveLoopBringUp, AShutdownProbesEveryDriveOnBothLoopsAgain) {
    ASSERT_TRUE(c.Boot());
    for (uint8_t k = 0; k < kDrives; ++k) ASSERT_EQ(c.drives[k]->CommandCount(0x00), 2u) << "drive " << int(k);
    EXPECT_EQ(c.board.RunOnCpu([] { ShutdownController(); }), sim::StopKind::Shutdown);
    for (uint8_t k = 0; k < kDrives; ++k) EXPECT_EQ(c.drives[k]->CommandCount(0x00), 4u) << "drive " << int(k);
    EXPECT_EQ(wGetProbeCompletions(), 2 * kDrives);
}

// A drive that answers nothing on one loop is lost on that path (event 40,
// path 1, state 103); on both loops it is failed (path 3, state 17).
TEST_F(DriveLoopBringUp, ADriveSilentAtItsProbeIsReportedLost) {
    c.Device(3, 1)->timesOut = true;
    c.Device(3, 2)->timesOut = true;
    c.Device(4, 2)->timesOut = true;
    ASSERT_TRUE(c.Boot());
    ASSERT_EQ(harness::CountEvents(40), 2u);
    const EVENT_LOG_ENTRY* ps = harness::NewestEvent(40);
    const EVENT_LOG_ENTRY* psFirst = harness::EventBefore(ps);
    ASSERT_NE(psFirst, nullptr);
    while (psFirst != nullptr && psFirst->bCode != 40) psFirst = harness::EventBefore(psFirst);
    ASSERT_NE(psFirst, nullptr);
    // Loop ID order: drive 1 first.
    EXPECT_EQ(0, std::memcmp(psFirst->abArgs, WwnBytes(looptest::kWwnBase + 1).data(), 8));
    EXPECT_EQ(psFirst->abArgs[8], 1);                               // loop 3 only
    EXPECT_EQ(psFirst->abArgs[9], FC_AL_LOOP_ID_TO_ALPA[1]);         // where it still is
    EXPECT_EQ(psFirst->abArgs[10], 1);
    EXPECT_EQ(0, std::memcmp(ps->abArgs, WwnBytes(looptest::kWwnBase + 2).data(), 8));
    EXPECT_EQ(ps->abArgs[8], 3);                                     // both loops
    ASSERT_NE(Memory(1), nullptr);
    EXPECT_EQ(Memory(1)->bState, LOOP_DEVICE_LOST_ONE_PATH);
    ASSERT_NE(Memory(2), nullptr);
    EXPECT_EQ(Memory(2)->bState, LOOP_DEVICE_FAILED);
    EXPECT_EQ(fIsDriveLoopDeviceFailed(WwnBytes(looptest::kWwnBase + 2).data()), TRUE);
    // Both logged out of the configuration's view of the loops they left.
    uint8_t abWwn[8];
    EXPECT_NE(fGetDriveWwnByLoopId(3, 1, abWwn), STATUS_OK);
    EXPECT_EQ(fGetDriveWwnByLoopId(4, 1, abWwn), STATUS_OK);
    EXPECT_NE(fGetDriveWwnByLoopId(4, 2, abWwn), STATUS_OK);
}

// A drive that stops answering after a LIP is lost; lost again within 180
// ticks it is failed; the memory ages out, and a drive that answers again
// is probed at the next bring-up.
TEST_F(DriveLoopBringUp, ADriveLostTwiceSoonIsFailedAndForgottenLater) {
    ASSERT_TRUE(c.Boot());
    c.Device(3, 0)->timesOut = true;
    ASSERT_TRUE(c.Lip(3));
    ASSERT_NE(Memory(0), nullptr);
    EXPECT_EQ(Memory(0)->bState, LOOP_DEVICE_LOST_ONE_PATH);
    EXPECT_EQ(harness::NewestEvent(40)->abArgs[8], 1);

    // The configuration rescans loop 3 and finds the drive again.
    ASSERT_TRUE(c.Lip(3));
    ASSERT_NE(Memory(0), nullptr);
    EXPECT_EQ(Memory(0)->bState, LOOP_DEVICE_FAILED);
    EXPECT_EQ(harness::CountEvents(40), 2u);

    // A failed drive is remembered 600 ticks (300 s); then it goes.
    c.Device(3, 0)->timesOut = false;
    const uint64_t before = c.drives[0]->CommandCount(0x00);
    c.Run(301'000'000'000ull);
    ASSERT_TRUE(c.Lip(3));
    EXPECT_EQ(Memory(0), nullptr);
    EXPECT_GT(c.drives[0]->CommandCount(0x00), before);
}

// A loop whose chip never becomes ready posts its event (15 for loop 3),
// once until a later read of its map succeeds; the other loop comes up.
TEST_F(DriveLoopBringUp, ALoopThatNeverBecomesReadyIsReportedOnce) {
    c.Chip(3).firmwareStateOverride = ISP_FW_STATE_WAIT_AL_PA;
    c.board.SetResetEntry(&fw::ControllerEntry);
    c.board.Boot();
    ASSERT_EQ(c.board.RunUntil([&] { return c.Booted(); }, looptest::kBootLimitNs), sim::StopKind::Running);
    ASSERT_EQ(c.board.RunUntil([] { return fGetDriveLoopsStarted() == FALSE && bGetLoopMapCount(4) != 0; },
                               looptest::kBringUpLimitNs),
              sim::StopKind::Running);
    EXPECT_EQ(harness::CountEvents(15), 1u);
    EXPECT_EQ(harness::CountEvents(16), 0u);
    EXPECT_EQ(bGetLoopMapCount(3), 0);
    EXPECT_EQ(bGetLoopMapCount(4), kDrives + 1);
}

}  // namespace

namespace {

// The device memory holds 126 drives: a report of one more is dropped and
// counted, and those it holds keep their states.
TEST_F(DriveLoopBringUp, AFullDeviceMemoryDropsAndCountsNewReports) {
    ASSERT_TRUE(c.Boot());
    const uint32_t drops = dGetDriveLoopDeviceDrops();
    c.OnCpu([] {
        ClearDriveLoopDeviceTable();
        for (uint32_t k = 0; k <= DRIVE_LOOP_DEVICE_ENTRIES; ++k) {
            const auto wwn = WwnBytes(0x5000000000000000ull + k);
            RecordDriveLoopDeviceState(wwn.data(), 3, 103);
        }
    });
    EXPECT_EQ(bGetDriveLoopDeviceCount(), DRIVE_LOOP_DEVICE_ENTRIES);
    EXPECT_EQ(dGetDriveLoopDeviceDrops(), drops + 1);
    EXPECT_EQ(psGetDriveLoopDevice(DRIVE_LOOP_DEVICE_ENTRIES - 1)->bState, 103);
    EXPECT_EQ(psGetDriveLoopDevice(DRIVE_LOOP_DEVICE_ENTRIES - 1)->abWwn[7], DRIVE_LOOP_DEVICE_ENTRIES - 1);
}

// The configuration loaded from the loop drives: this controller's newest
// copy that holds together whole; a newest copy whose body is damaged gives
// way to the next, not to the default image.
TEST_F(DriveLoopBringUp, TheNewestWholeOwnCopyOnTheLoopDrivesIsInstalled) {
    ASSERT_TRUE(c.Boot());
    // The writer a copy names is the WWN the controller goes by.
    uint8_t abOwn[8];
    pGetControllerWWN(abOwn);
    uint64_t own = 0;
    for (uint8_t b : abOwn) own = own << 8 | b;
    copytest::PlaceCopy(*c.drives[0], copytest::MakeCopy({.dGeneration = 5, .lWriter = own, .name = "NEWEST",
                                                          .fCorruptBody = true}));
    copytest::PlaceCopy(*c.drives[1], copytest::MakeCopy({.dGeneration = 4, .lWriter = own, .name = "OLDER"}));
    copytest::PlaceCopy(*c.drives[2], copytest::MakeCopy({.dGeneration = 9, .lWriter = 0x2000005AA5A00099ull,
                                                          .name = "OTHER"}));
    ASSERT_TRUE(c.CallWaiting([] { LoadConfigFromLoopDrives(); }));
    EXPECT_EQ(std::string(pGetConfigImage()->sHeader.acConfigName, 5), "OLDER");
    EXPECT_EQ(fIsConfigValid(), TRUE);
}

}  // namespace
