// The board on the wall clock, with a wall clock of the test's own: it moves
// only while the host sleeps (the board's idle wait), so every decision of
// the loop is seen in the board time and sleeps it makes.  A busy firmware
// never sleeps and looks for input every few polls; an idle one sleeps no
// later than its next device event and sees every tick of its clock
// afterwards, in order; work an interrupt handler leaves is done before the
// firmware idles again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "hw/boot_rom.h"
#include "hw/hw.h"
#include "sim/board.h"
#include "sim/rtc.h"
#include "hw/addresses.h"

namespace {

// An address no device claims: a plain register.
constexpr uint32_t kPlainRegister = 0xE0000000;

int s_ticks;
uint64_t s_lastTickAt;
bool s_ticksInOrder;
sim::Board* s_board;

void CountTick() {
    const uint64_t now = s_board->clock().Now();
    // Each tick at its own time, a millisecond after the one before.
    if (s_ticks > 0 && (now < s_lastTickAt + 1'000'000 || now > s_lastTickAt + 1'001'000)) s_ticksInOrder = false;
    s_lastTickAt = now;
    ++s_ticks;
    fw::Cp6Write(6, 9, 1);  // acknowledge
}

class WallClock : public ::testing::Test {
protected:
    struct Sleep {
        uint64_t at;     // board time
        uint64_t wall;   // the wall clock then, as board time
        uint64_t ns;
    };

    WallClock() : board(Config()) {
        s_board = &board;
        board.wallClock = [this] { return wall; };
        board.idleWait = [this](uint64_t ns) {
            sleeps.push_back({board.clock().Now(), WallAsBoardTime(), ns});
            wall += ns;
        };
        board.inputHook = [this] { inputChecks.push_back(polls); };
        // Board time goes on from here at the test's clock.
        board.FollowWallClock(false);
        board.FollowWallClock(true);
    }
    static sim::BoardConfig Config() {
        sim::BoardConfig c;
        c.virtualTime = false;
        return c;
    }
    // The processor's 1 ms tick, counted, on the FIQ.
    void StartTick() {
        s_ticks = 0;
        s_ticksInOrder = true;
        const uint32_t handler = fw::dAddressWord(&CountTick);
        std::memcpy(fw::HwGetWindow(fw::HW_WINDOW_VECTOR_PAGE).pBase + fw::VECTOR_SLOT_FIQ, &handler, 4);
        fw::Cp6Write(0, 4, 1u << 8);
        fw::Cp6Write(0, 5, 1u << 8);
        fw::Cp6Write(4, 9, 400000);   // 1 ms at 400 MHz
        fw::Cp6Write(0, 9, 6);
        fw::CpuUnmaskInterrupts();
    }
    // The wall clock as board time.
    uint64_t WallAsBoardTime() const { return wall - m_start; }

    uint64_t wall = 7'000'000'000;
    const uint64_t m_start = wall;   // the board stood at 0 when it began following
    sim::Board board;
    std::vector<Sleep> sleeps;
    std::vector<uint32_t> inputChecks;   // the steps taken at each look for input
    uint32_t polls = 0;                  // steps: polls or delays
};

// Whatever keeps it busy (cycles of the main loop that touch the hardware,
// a long wait in delays with no poll), the firmware runs on however far a
// device event lies, and input is looked for at every kInputPolls-th poll
// or delay: input that arrives while it is busy is taken within that many.
// Busy with the hardware it never sleeps, though board time runs ahead of
// the wall clock; a delay takes its time on the wall clock too, so its
// sleeps only hold board time within the lead.
TEST_F(WallClock, ABusyFirmwareRunsOnAndTakesInputWithinTheBound) {
    struct Case {
        const char* what;
        void (*step)();
        bool sleeps;
    };
    const Case cases[] = {
        {"main-loop cycles", [] {
             (void)fw::Reg32Read(kPlainRegister);
             fw::HwPoll();
         }, false},
        {"delays", [] { fw::HwDelayUs(1); }, true},
    };
    constexpr uint32_t kSteps = 10000;
    for (const Case& c : cases) {
        sleeps.clear();
        inputChecks.clear();
        polls = 0;
        wall += board.clock().Now() - WallAsBoardTime();   // level with board time
        board.clock().ScheduleIn(50'000'000, [] {});
        ASSERT_EQ(board.RunOnCpu([&] {
                      for (uint32_t i = 0; i < kSteps; ++i) {
                          c.step();
                          ++polls;
                      }
                  }),
                  sim::StopKind::Finished);
        EXPECT_EQ(!sleeps.empty(), c.sleeps) << c.what;
        for (const Sleep& s : sleeps) {
            EXPECT_GT(s.at, s.wall + sim::Board::kWallLeadNs) << c.what;
            EXPECT_EQ(s.wall + s.ns + sim::Board::kWallLeadNs, s.at) << c.what;
        }
        if (!c.sleeps) {
            EXPECT_GT(board.clock().Now(), WallAsBoardTime() + sim::Board::kWallLeadNs) << c.what;
        }
        // The longest a piece of input waited, from any step.
        ASSERT_FALSE(inputChecks.empty()) << c.what;
        uint32_t gap = inputChecks.front();
        for (size_t k = 1; k < inputChecks.size(); ++k) gap = std::max(gap, inputChecks[k] - inputChecks[k - 1]);
        EXPECT_LE(gap, sim::Board::kInputPolls) << c.what;
        EXPECT_LE(kSteps - inputChecks.back(), sim::Board::kInputPolls) << c.what;
    }
}

// With nothing to do but its tick, the firmware lets the host sleep past
// the ticks (no host command is open), but no later than the next device
// event, less the lead; the ticks that fell due while it slept then all
// run, each at its own time, before the device event.  A device event
// further off than the sleep limit is slept towards a limit at a time.
TEST_F(WallClock, AnIdleFirmwareSleepsUntilItsNextDeviceEventAndSeesEveryTick) {
    struct Case {
        uint64_t eventInNs;
        size_t sleeps;
    };
    const Case cases[] = {{5'000'000, 1}, {100'000'000, 5}};
    StartTick();
    for (const Case& c : cases) {
        sleeps.clear();
        s_ticks = 0;
        const uint64_t start = board.clock().Now();
        const uint64_t due = start + c.eventInNs;
        bool fired = false;
        uint64_t firedAt = 0;
        int ticksBefore = 0;
        board.clock().Schedule(due, [&] {
            fired = true;
            firedAt = board.clock().Now();
            ticksBefore = s_ticks;
        });
        ASSERT_EQ(board.RunOnCpu([&] {
                      while (!fired) fw::HwPoll();
                  }),
                  sim::StopKind::Finished);
        EXPECT_EQ(firedAt, due);
        // Every millisecond's tick, in order, before the event.
        EXPECT_EQ(ticksBefore, static_cast<int>(c.eventInNs / 1'000'000)) << c.eventInNs;
        EXPECT_TRUE(s_ticksInOrder);
        EXPECT_EQ(sleeps.size(), c.sleeps) << c.eventInNs;
        for (const Sleep& s : sleeps) {
            EXPECT_LE(s.ns, board.idleSleepLimitNs);
        }
        // The last sleep ended no later than a lead before the event.
        ASSERT_FALSE(sleeps.empty());
        EXPECT_LE(WallAsBoardTime() + sim::Board::kWallLeadNs, due) << c.eventInNs;
        EXPECT_GT(WallAsBoardTime() + sim::Board::kWallLeadNs, due - 1'000'000) << c.eventInNs;
    }
}

// An event within the lead of the wall clock costs no sleep.
TEST_F(WallClock, AnEventWithinTheLeadIsRunWithoutASleep) {
    bool fired = false;
    board.clock().ScheduleIn(sim::Board::kWallLeadNs - 1000, [&] { fired = true; });
    ASSERT_EQ(board.RunOnCpu([&] {
                  while (!fired) fw::HwPoll();
              }),
              sim::StopKind::Finished);
    EXPECT_TRUE(sleeps.empty());
}

bool s_raised;
void HandlerThatReadsItsDevice() {
    (void)fw::Reg32Read(kPlainRegister);   // the device's status, as a driver reads it
    s_board->intc().SetLine(0, 9, false);
    s_raised = true;
}

// An interrupt handler that ran inside an idle poll (at the event the poll
// stepped to) leaves work: the firmware moves it along for a cycle without
// touching the hardware and only then posts it to a device.  That cycle is
// not taken for idle: the post follows at once, with no sleep and no tick
// between.
TEST_F(WallClock, WorkAnInterruptHandlerLeftIsNotSleptThrough) {
    StartTick();
    const uint32_t handler = fw::dAddressWord(&HandlerThatReadsItsDevice);
    std::memcpy(fw::HwGetWindow(fw::HW_WINDOW_VECTOR_PAGE).pBase + fw::VECTOR_SLOT_IRQ, &handler, 4);
    fw::Cp6Write(0, 4, 1u << 8 | 1u << 9);
    s_raised = false;
    // Between two ticks, and as the wall clock reaches it.
    const uint64_t raiseAt = board.clock().Now() + 2'300'000;
    size_t sleepsAtRaise = 0;
    board.clock().Schedule(raiseAt, [&] {
        board.intc().SetLine(0, 9, true);
        sleepsAtRaise = sleeps.size();
    });
    uint64_t postedAt = 0;
    ASSERT_EQ(board.RunOnCpu([&] {
                  bool moving = false;
                  while (postedAt == 0) {
                      fw::HwPoll();
                      if (moving) {
                          fw::Reg32Write(kPlainRegister, 1);   // to the device
                          postedAt = board.clock().Now();
                      }
                      moving = s_raised;   // work moved along in memory only
                      s_raised = false;
                  }
              }),
              sim::StopKind::Finished);
    EXPECT_GT(sleepsAtRaise, 0u);
    EXPECT_EQ(sleeps.size(), sleepsAtRaise);
    EXPECT_LT(postedAt - raiseAt, 10'000u);
}

}  // namespace

// The clock chip counts the board's time, as the firmware's calendar does:
// a board that falls behind the wall clock (the host machine ran something
// else meanwhile) takes its date with it, so the firmware never reads a
// clock that disagrees with its calendar, and catches up with the board.
TEST_F(WallClock, TheClockChipKeepsTheBoardsTime) {
    const uint64_t before = sim::Rtc::ToSeconds(board.rtc().Now());
    const uint64_t boardBefore = board.clock().Now();
    wall += 5'000'000'000;
    EXPECT_EQ(board.clock().Now(), boardBefore);
    EXPECT_EQ(sim::Rtc::ToSeconds(board.rtc().Now()), before);
    board.clock().AdvanceTo(boardBefore + 5'000'000'000);
    EXPECT_EQ(sim::Rtc::ToSeconds(board.rtc().Now()), before + 5);
}
