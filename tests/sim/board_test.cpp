// The simulated board: time, interrupts, the processor's runs and stops,
// NVRAM power cuts and restarts of the firmware.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "executive/main_loop.h"
#include "hw/addresses.h"
#include "hw/fpga.h"
#include "hw/hw.h"
#include "hw/interrupt_controller.h"
#include "hw/isp_fc.h"
#include "sim/board.h"
#include "sim/bus.h"
#include "sim/fpga.h"
#include "sim/low_memory.h"
#include "sim/isp_chip.h"
#include "sim/mpi_ioc.h"
#include "sim/sas_controller.h"
#include "sim/sas_target_ioc.h"
#include "sim/scsi_host_ioc.h"
#include "sim/side_by_side.h"

namespace {

TEST(Clock, RunsEventsInTimeOrderAndTiesInScheduleOrder) {
    sim::Clock clock;
    std::vector<int> order;
    clock.Schedule(300, [&] { order.push_back(3); });
    clock.Schedule(100, [&] { order.push_back(1); });
    auto cancelled = clock.Schedule(200, [&] { order.push_back(99); });
    clock.Schedule(100, [&] { order.push_back(2); });
    clock.Cancel(cancelled);
    clock.AdvanceTo(250);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(clock.Now(), 250u);
    EXPECT_EQ(clock.NextEventTime(), 300u);
}

// The first event besides the processor's timers: whichever place the
// skipped events hold in the queue, the earliest of the rest is found.
TEST(Clock, FindsTheFirstEventBesidesTheSkippedOnes) {
    sim::Clock clock;
    sim::Clock::Event tick0([] {}), tick1([] {});
    EXPECT_EQ(clock.NextEventTimeBesides({&tick0, &tick1}), UINT64_MAX);
    clock.Arm(tick0, 10);
    clock.Arm(tick1, 20);
    EXPECT_EQ(clock.NextEventTimeBesides({&tick0, &tick1}), UINT64_MAX);
    uint32_t seed = 7;
    uint64_t earliest = UINT64_MAX;
    for (int n = 0; n < 60; ++n) {
        seed = seed * 1103515245u + 12345u;
        const uint64_t at = 30 + (seed >> 16) % 1000;
        earliest = std::min(earliest, at);
        clock.Schedule(at, [] {});
        // The ticks move about the heap as it grows and as they re-arm.
        clock.Arm(n % 2 ? tick0 : tick1, 5 + (seed >> 8) % 2000);
        const uint64_t ticks = std::min(tick0.At(), tick1.At());
        ASSERT_EQ(clock.NextEventTime(), std::min(earliest, ticks));
        ASSERT_EQ(clock.NextEventTimeBesides({&tick0, &tick1}), earliest) << n;
        ASSERT_EQ(clock.NextEventTimeBesides({&tick0}), std::min(earliest, tick1.At())) << n;
    }
}

// A device's own event moves when re-armed and runs once; a one-off's old
// handle cancels nothing once its slot serves another action; a large mixed
// queue still comes out in time order with ties in arming order.
TEST(Clock, ReArmsInPlaceAndKeepsOrderAcrossManyEvents) {
    sim::Clock clock;
    std::vector<int> order;
    sim::Clock::Event tick([&] { order.push_back(1); });
    clock.Arm(tick, 100);
    clock.Arm(tick, 300);
    auto first = clock.Schedule(200, [&] { order.push_back(2); });
    clock.AdvanceTo(250);
    EXPECT_EQ(order, (std::vector<int>{2}));
    clock.Schedule(400, [&] { order.push_back(4); });
    clock.Cancel(first);  // long gone: must not touch the new action
    clock.Arm(tick, 0);   // in the past: due at once
    clock.AdvanceTo(500);
    EXPECT_EQ(order, (std::vector<int>{2, 1, 4}));
    EXPECT_FALSE(clock.HasEvents());

    std::vector<std::pair<uint64_t, int>> ran;
    std::vector<std::pair<uint64_t, int>> expected;
    struct Recorder {
        sim::Clock* clock;
        std::vector<std::pair<uint64_t, int>>* ran;
        int n;
        void operator()() const { ran->push_back({clock->Now(), n}); }
    };
    uint32_t seed = 12345;
    for (int n = 0; n < 400; ++n) {
        seed = seed * 1103515245u + 12345u;
        const uint64_t at = 1000 + (seed >> 16) % 50;  // many ties
        clock.Schedule(at, Recorder{&clock, &ran, n});
        expected.push_back({at, n});
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    clock.AdvanceTo(2000);
    EXPECT_EQ(ran, expected);
}

// Periodic events wait beside the heap: mixed with ordinary events and
// one-offs, re-armed by their own actions, disarmed and moved, they still run
// in time order with ties in arming order, and are seen by every question
// the clock answers about what comes next.
TEST(Clock, PeriodicEventsBesideTheHeapKeepTheOrder) {
    sim::Clock clock;
    std::vector<std::pair<uint64_t, int>> ran;
    sim::Clock::Event tick0, tick1, device([&] { ran.push_back({clock.Now(), 5}); });
    int ticks = 0;
    tick0.SetPeriodic();
    tick1.SetPeriodic();
    tick0.SetAction([&] {
        ran.push_back({clock.Now(), 0});
        if (++ticks < 4) clock.ArmIn(tick0, 100);
    });
    tick1.SetAction([&] { ran.push_back({clock.Now(), 1}); });
    EXPECT_FALSE(clock.HasEvents());
    clock.Arm(tick1, 500);
    EXPECT_TRUE(clock.HasEvents());
    EXPECT_EQ(clock.NextEventTime(), 500u);
    clock.Schedule(200, [&] { ran.push_back({clock.Now(), 7}); });   // armed before tick0's 200
    clock.Arm(tick0, 100);
    clock.Arm(device, 300);   // armed before tick0's 300
    EXPECT_EQ(clock.NextEventTime(), 100u);
    EXPECT_EQ(clock.NextEventTimeBesides({&tick0}), 200u);
    EXPECT_EQ(clock.NextEventTimeBesides({&tick0, &tick1}), 200u);
    clock.AdvanceTo(250);
    EXPECT_EQ(clock.NextEventTimeBesides({&tick0}), 300u);
    EXPECT_EQ(clock.NextEventTimeBesides({&device, &tick0}), 500u);
    EXPECT_EQ(clock.NextEventTimeBesides({&device, &tick0, &tick1}), UINT64_MAX);
    clock.Arm(tick1, 300);   // moved, now armed after device and tick0's 300
    clock.AdvanceTo(1000);
    EXPECT_EQ(ran, (std::vector<std::pair<uint64_t, int>>{
                       {100, 0}, {200, 7}, {200, 0}, {300, 5}, {300, 0}, {300, 1}, {400, 0}}));
    EXPECT_FALSE(clock.HasEvents());
    EXPECT_EQ(clock.NextEventTime(), UINT64_MAX);

    // Moved later, it lets another come first; disarmed, it does not run;
    // destroyed while armed, it leaves the clock.
    ran.clear();
    clock.Arm(tick1, 1100);
    clock.Arm(tick0, 1200);
    clock.Arm(tick1, 1250);   // the earliest moves later: the other comes first
    EXPECT_EQ(clock.NextEventTime(), 1200u);
    clock.Disarm(tick1);
    EXPECT_FALSE(tick1.Armed());
    EXPECT_EQ(clock.NextEventTime(), 1200u);
    {
        sim::Clock::Event gone([&] { ran.push_back({clock.Now(), 9}); });
        gone.SetPeriodic();
        clock.Arm(gone, 1150);
        EXPECT_EQ(clock.NextEventTime(), 1150u);
    }
    EXPECT_EQ(clock.NextEventTime(), 1200u);
    clock.AdvanceTo(2000);
    EXPECT_EQ(ran, (std::vector<std::pair<uint64_t, int>>{{1200, 0}}));
}

// A periodic event given a period is armed again by the clock as it runs,
// before its action: what its action arms at the same time comes after it,
// its action may move or disarm it, a new period holds from its next run,
// and a period of 0 lets it run once.
TEST(Clock, APeriodReArmsAnEventBeforeItsAction) {
    sim::Clock clock;
    std::vector<std::pair<uint64_t, int>> ran;
    sim::Clock::Event tick, other([&] { ran.push_back({clock.Now(), 5}); });
    int runs = 0;
    tick.SetPeriodic();
    tick.SetPeriod(100);
    tick.SetAction([&] {
        ran.push_back({clock.Now(), 0});
        EXPECT_EQ(tick.Armed(), runs < 4);
        if (tick.Armed()) {
            EXPECT_EQ(tick.At(), clock.Now() + (runs < 2 ? 100u : 50u));
        }
        EXPECT_EQ(clock.NextEventTime(), std::min(tick.Armed() ? tick.At() : UINT64_MAX,
                                                  other.Armed() ? other.At() : UINT64_MAX));
        switch (++runs) {
        case 1: clock.ArmIn(other, 100); break;   // a tie with the tick armed already: after it
        case 2: tick.SetPeriod(50); break;        // from the next run on
        case 3: clock.Arm(tick, 420); break;      // moved from 400 to 420
        case 4: tick.SetPeriod(0); break;         // runs once more
        default: break;
        }
    });
    clock.Arm(tick, 100);
    clock.AdvanceTo(1000);
    EXPECT_EQ(ran, (std::vector<std::pair<uint64_t, int>>{
                       {100, 0}, {200, 0}, {200, 5}, {300, 0}, {420, 0}, {470, 0}}));
    EXPECT_FALSE(tick.Armed());
    EXPECT_FALSE(clock.HasEvents());

    // Disarmed by its own action, it does not run again.
    ran.clear();
    tick.SetPeriod(100);
    tick.SetAction([&] {
        ran.push_back({clock.Now(), 1});
        clock.Disarm(tick);
    });
    clock.Arm(tick, 1100);
    clock.AdvanceTo(2000);
    EXPECT_EQ(ran, (std::vector<std::pair<uint64_t, int>>{{1100, 1}}));
    EXPECT_FALSE(clock.HasEvents());
}

// A device that answers with its own mark and the address.
class MarkedDevice : public sim::Device {
public:
    explicit MarkedDevice(uint32_t mark) : m_mark(mark) {}
    uint32_t Read(uint32_t address, unsigned) override { return m_mark | (address & 0xFFFF); }
    void Write(uint32_t address, uint32_t value, unsigned) override { written.push_back({address, value}); }
    std::vector<std::pair<uint32_t, uint32_t>> written;

private:
    uint32_t m_mark;
};

// Accesses going back and forth between devices, and to addresses no
// device claims, each reach what answers at that address, before and
// after the map changes.
TEST(Bus, EveryAccessReachesTheDeviceMappedAtItsAddress) {
    sim::Bus bus;
    MarkedDevice a(0xA0000000), b(0xB0000000), c(0xC0000000);
    bus.Map(0x1000, 0x100, &a);
    bus.Map(0x2000, 0x100, &b);
    bus.Map(0x3000, 0x100, &c);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(bus.Read(0x1004, 4), 0xA0001004u);
        EXPECT_EQ(bus.Read(0x2008, 4), 0xB0002008u);
        EXPECT_EQ(bus.Read(0x10FC, 4), 0xA00010FCu);
        EXPECT_EQ(bus.Read(0x30F0, 4), 0xC00030F0u);
        EXPECT_EQ(bus.Read(0x2100, 4), 0u);   // just past b: a plain register
        EXPECT_EQ(bus.Read(0x20FF, 1), 0xB00020FFu);
    }
    bus.Write(0x2100, 7, 4);
    EXPECT_EQ(bus.Read(0x2100, 4), 7u);
    bus.Write(0x3004, 9, 4);
    bus.Write(0x1004, 8, 4);
    EXPECT_EQ(c.written, (std::vector<std::pair<uint32_t, uint32_t>>{{0x3004, 9}}));
    EXPECT_EQ(a.written, (std::vector<std::pair<uint32_t, uint32_t>>{{0x1004, 8}}));
    // b moved, just after it was reached: its old range is plain
    // registers, its new one reaches it.
    EXPECT_EQ(bus.Read(0x2008, 4), 0xB0002008u);
    EXPECT_EQ(bus.Read(0x1004, 4), 0xA0001004u);
    bus.Unmap(&b);
    EXPECT_EQ(bus.Read(0x2008, 4), 0u);
    bus.Map(0x4000, 0x100, &b);
    EXPECT_EQ(bus.Read(0x1004, 4), 0xA0001004u);
    EXPECT_EQ(bus.Read(0x4008, 4), 0xB0004008u);
    EXPECT_EQ(bus.Read(0x2008, 4), 0u);
    EXPECT_EQ(bus.Read(0x4010, 4), 0xB0004010u);
}

TEST(InterruptController, SourcesFollowLinesEnablesAndSteering) {
    sim::InterruptController intc;
    intc.Write(0, 4, 0x0300);  // INTCTL0: bits 8 and 9
    intc.Write(0, 5, 0x0100);  // INTSTR0: bit 8 to FIQ
    intc.SetLine(0, 8, true);
    intc.SetLine(0, 9, true);
    intc.SetLine(0, 10, true);  // not enabled
    EXPECT_EQ(intc.Read(0, 7), 0x0100u);  // FINTSRC0
    EXPECT_EQ(intc.Read(0, 6), 0x0200u);  // IINTSRC0
    intc.SetLine(0, 8, false);
    EXPECT_FALSE(intc.FiqPending());
    EXPECT_TRUE(intc.IrqPending());
}

// The pending state is kept per register as lines, enables and steering
// change: after every change it must agree with all four registers' source
// bits, also when one register's source drops while another's stays.
TEST(InterruptController, PendingAgreesWithEveryRegisterAfterEachChange) {
    sim::InterruptController intc;
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int step = 0; step < 5000; ++step) {
        const unsigned reg = next() % sim::InterruptController::kRegisters;
        const unsigned bit = next() % 4;   // few sources, so they collide often
        switch (next() % 4) {
        case 0:
        case 1: intc.SetLine(reg, bit, next() % 2 == 0); break;
        case 2: intc.Write(reg, sim::InterruptController::kCrmEnable, intc.Enable(reg) ^ 1u << bit); break;
        default: intc.Write(reg, sim::InterruptController::kCrmSteer, intc.Steer(reg) ^ 1u << bit); break;
        }
        bool fiq = false, irq = false;
        for (unsigned r = 0; r < sim::InterruptController::kRegisters; ++r) {
            fiq = fiq || intc.Fiq(r) != 0;
            irq = irq || intc.Irq(r) != 0;
        }
        ASSERT_EQ(intc.FiqPending(), fiq) << "step " << step;
        ASSERT_EQ(intc.IrqPending(), irq) << "step " << step;
    }
}

// A count is 2.5 ns: an odd count ends half-way through a nanosecond, and
// the timer expires at the next whole one, never before its count is out.
TEST(Timers, AnOddCountExpiresAtTheNextWholeNanosecond) {
    sim::Board board;
    const uint64_t counts = 400001;   // 1,000,002.5 ns
    fw::Cp6Write(4, 9, static_cast<uint32_t>(counts));
    const uint64_t start = board.clock().Now();   // the count starts as the mode is written
    fw::Cp6Write(0, 9, 6);
    board.clock().AdvanceTo(start + 1'000'002);
    EXPECT_FALSE(board.intc().Line(0, 8));
    board.clock().AdvanceTo(start + 1'000'003);
    EXPECT_TRUE(board.intc().Line(0, 8));
}

TEST(Timers, ReloadingTimerTicksEveryPeriodUntilCleared) {
    sim::Board board;
    // 400000 counts at 400 MHz: one millisecond.
    fw::Cp6Write(4, 9, 400000);
    fw::Cp6Write(0, 9, 6);
    board.clock().AdvanceTo(board.clock().Now() + 999'000);
    EXPECT_FALSE(board.intc().Line(0, 8));
    board.clock().AdvanceTo(board.clock().Now() + 2'000);
    EXPECT_TRUE(board.intc().Line(0, 8));
    EXPECT_EQ(fw::Cp6Read(6, 9) & 1u, 1u);
    fw::Cp6Write(6, 9, 1);
    EXPECT_FALSE(board.intc().Line(0, 8));
    board.clock().AdvanceTo(board.clock().Now() + 1'000'000);
    EXPECT_TRUE(board.intc().Line(0, 8));
}

// A reload value written while the timer runs holds from its next expiry;
// the reload mode cleared, the timer stops at its next expiry; its count
// starts over at every expiry.
TEST(Timers, ReloadChangesHoldFromTheNextExpiry) {
    sim::Board board;
    sim::Clock& clock = board.clock();
    const auto expiry = [&] { return board.timers().Expiry(0).Armed() ? board.timers().Expiry(0).At() : UINT64_MAX; };
    fw::Cp6Write(4, 9, 400000);   // 1 ms
    const uint64_t start = clock.Now();
    fw::Cp6Write(0, 9, 6);
    EXPECT_EQ(expiry(), start + 1'000'000);
    fw::Cp6Write(4, 9, 200000);   // 0.5 ms, from the next period on
    EXPECT_EQ(expiry(), start + 1'000'000);
    clock.AdvanceTo(start + 1'000'000);
    EXPECT_EQ(expiry(), start + 1'500'000);
    clock.AdvanceTo(start + 1'250'000);
    EXPECT_EQ(fw::Cp6Read(2, 9), 100000u);   // a quarter of a millisecond left
    fw::Cp6Write(0, 9, 2);        // enabled, no longer reloading
    EXPECT_EQ(expiry(), start + 1'500'000);   // the count goes on from where it stood at the write
    clock.AdvanceTo(start + 1'500'000);
    EXPECT_EQ(fw::Cp6Read(6, 9) & 1u, 1u);
    EXPECT_FALSE(board.timers().Expiry(0).Armed());
    EXPECT_EQ(fw::Cp6Read(2, 9), 0u);
    fw::Cp6Write(6, 9, 1);
    const uint64_t again = clock.Now();
    fw::Cp6Write(0, 9, 6);        // reloading again: a whole period from now
    EXPECT_EQ(expiry(), again + 500'000);
    fw::Cp6Write(4, 9, 0);        // a reload of 0: stops at the next expiry
    clock.AdvanceTo(again + 500'000);
    EXPECT_TRUE(board.intc().Line(0, 8));
    EXPECT_FALSE(board.timers().Expiry(0).Armed());
}

int s_fiqCount;
void CountingFiq() {
    ++s_fiqCount;
    fw::Cp6Write(6, 9, 1);  // acknowledge the tick
}

// CountingFiq becomes the FIQ handler, for bank 0's source `bit`, enabled
// and steered to FIQ.
void CountFiqsOf(unsigned bit) {
    s_fiqCount = 0;
    uint32_t handler = fw::dAddressWord(&CountingFiq);
    std::memcpy(fw::HwGetWindow(fw::HW_WINDOW_VECTOR_PAGE).pBase + 0x38, &handler, 4);
    fw::Cp6Write(0, 4, 1u << bit);
    fw::Cp6Write(0, 5, 1u << bit);
}

TEST(Processor, TakesAFiqOnlyWhileUnmaskedAndEnabled) {
    sim::Board board;
    CountFiqsOf(8);   // the tick
    fw::Cp6Write(4, 9, 400000);
    fw::Cp6Write(0, 9, 6);
    fw::HwDelayUs(3500);  // masked out of reset: nothing taken
    EXPECT_EQ(s_fiqCount, 0);
    fw::CpuUnmaskInterrupts();  // the pending tick is taken at once
    EXPECT_EQ(s_fiqCount, 1);
    fw::HwDelayUs(3000);
    EXPECT_EQ(s_fiqCount, 4);
    fw::CpuMaskInterrupts();
    fw::HwDelayUs(3000);
    EXPECT_EQ(s_fiqCount, 4);
}

// An address no device claims: a plain register.
constexpr uint32_t kPlainRegister = 0xE0000000;

// A source raised between interrupt points is taken at the next point of
// any kind, and only while the processor leaves it unmasked: a masked
// processor runs on, and the handler's own accesses do not enter it again.
TEST(Processor, TakesARaisedSourceAtTheNextPointOnly) {
    sim::Board board;
    CountFiqsOf(9);
    fw::CpuUnmaskInterrupts();
    board.intc().SetLine(0, 9, true);
    EXPECT_EQ(s_fiqCount, 0);   // nothing between points
    fw::Cp6Read(0, 4);           // a coprocessor read is a point
    EXPECT_EQ(s_fiqCount, 1);
    // The handler acknowledges the timer, not this source: it stays raised.
    fw::CpuMaskInterrupts();
    fw::Cp6Read(0, 4);
    fw::Reg32Read(kPlainRegister);
    EXPECT_EQ(s_fiqCount, 1);
    fw::CpuUnmaskInterrupts();   // taken at the unmask
    EXPECT_EQ(s_fiqCount, 2);
    fw::Cp6Read(0, 4);           // and at every point while it stays raised
    EXPECT_EQ(s_fiqCount, 3);
    fw::Cp6Write(0, 4, 0);       // the point that disables it finds nothing to take
    const uint64_t at = board.clock().Now();
    fw::Cp6Read(0, 4);
    fw::Reg32Read(kPlainRegister);
    EXPECT_EQ(s_fiqCount, 3);
    EXPECT_EQ(board.clock().Now(), at + 10 + 50);   // each point's own time, nothing more
}

TEST(Processor, RunOnCpuReportsHowTheRunEnded) {
    sim::Board board;
    EXPECT_EQ(board.RunOnCpu([] {}), sim::StopKind::Finished);
    EXPECT_EQ(board.RunOnCpu([] {
                  fw::HwEnterEndlessState(fw::HW_ENDLESS_HALT);
                  ADD_FAILURE() << "ran past the halt";
              }),
              sim::StopKind::Halt);
    EXPECT_EQ(board.RunOnCpu([] { fw::HwEnterEndlessState(fw::HW_ENDLESS_IDLE); }), sim::StopKind::Idle);
    // The board reset line (FPGA control bit 0).
    EXPECT_EQ(board.RunOnCpu([] { fw::Reg16Write(0xF100F000, 1); }), sim::StopKind::Reset);
}

// A board that reset itself starts again: the firmware's first write of
// the control register, which keeps the bits it reads, does not reset it
// once more.
TEST(Processor, ABoardThatResetItselfRunsAgainAfterItsRestart) {
    sim::Board board;
    board.SetResetEntry([] {
        fw::Reg16Write(fw::FPGA_CONTROL, static_cast<uint16_t>(fw::Reg16Read(fw::FPGA_CONTROL) |
                                                               fw::FPGA_CONTROL_BOARD_RESET));
    });
    board.Boot();
    EXPECT_EQ(board.RunUntil(nullptr, 1'000'000ull), sim::StopKind::Reset);
    static bool s_pulsed;
    s_pulsed = false;
    board.SetResetEntry([] {
        fw::Reg16Write(fw::FPGA_CONTROL, static_cast<uint16_t>(fw::Reg16Read(fw::FPGA_CONTROL) |
                                                               fw::FPGA_CONTROL_PARTNER_HEARTBEAT));
        s_pulsed = true;
    });
    board.Boot();
    EXPECT_EQ(board.RunUntil(nullptr, 1'000'000ull), sim::StopKind::Finished);
    EXPECT_TRUE(s_pulsed);
}

// The host-port IOCs sit on the board's reset line too: one left in FAULT
// comes out of it when the board resets itself, and its exchanges end.
TEST(Processor, ABoardThatResetItselfResetsItsHostPortIocs) {
    for (const sim::HostInterface kind : {sim::HostInterface::SasTarget, sim::HostInterface::Scsi}) {
        SCOPED_TRACE(kind == sim::HostInterface::Scsi ? "parallel SCSI" : "SAS");
        sim::BoardConfig config;
        config.hostInterface = kind;
        sim::Board board(config);
        std::vector<sim::MpiIoc*> iocs;
        if (kind == sim::HostInterface::SasTarget) iocs.push_back(board.sasTargetIoc());
        for (uint8_t function = 0; function < 2; ++function) {
            if (sim::ScsiHostIoc* p = sim::FindScsiHostIoc(board, function)) iocs.push_back(p);
        }
        ASSERT_EQ(iocs.size(), kind == sim::HostInterface::Scsi ? 2u : 1u);
        for (sim::MpiIoc* ioc : iocs) {
            ASSERT_NE(ioc, nullptr);
            ioc->EnterFault(0x1234);
        }
        board.SetResetEntry([] {
            fw::Reg16Write(fw::FPGA_CONTROL, static_cast<uint16_t>(fw::Reg16Read(fw::FPGA_CONTROL) |
                                                                   fw::FPGA_CONTROL_BOARD_RESET));
        });
        board.Boot();
        ASSERT_EQ(board.RunUntil(nullptr, 1'000'000ull), sim::StopKind::Reset);
        for (sim::MpiIoc* ioc : iocs) EXPECT_EQ(ioc->state(), sim::MpiIoc::State::Fault) << "before the restart";
        board.SetResetEntry([] {});
        board.Boot();
        for (sim::MpiIoc* ioc : iocs) EXPECT_EQ(ioc->state(), sim::MpiIoc::State::Reset);
    }
}

TEST(Processor, IdlePollsJumpToTheNextDeviceEvent) {
    sim::Board board;
    bool fired = false;
    board.clock().Schedule(5'000'000'000ull, [&] { fired = true; });
    uint64_t polls = 0;
    EXPECT_EQ(board.RunOnCpu([&] {
                  while (!fired) {
                      fw::HwPoll();
                      ++polls;
                  }
              }),
              sim::StopKind::Finished);
    EXPECT_LT(polls, 10u);
    EXPECT_GE(board.clock().Now(), 5'000'000'000ull);
}

TEST(Processor, RunUntilGivesControlBackAtPollsAndResumes) {
    sim::Board board;
    int cycles = 0;
    board.RunOnCpu([] {});  // leaves a finished run behind
    static int* s_cycles;
    s_cycles = &cycles;
    board.SetResetEntry([] {
        for (;;) {
            ++*s_cycles;
            fw::HwPoll();
        }
    });
    board.Boot();
    EXPECT_EQ(board.RunUntil([&] { return cycles >= 10; }, UINT64_MAX), sim::StopKind::Running);
    EXPECT_EQ(cycles, 10);
    EXPECT_EQ(board.RunUntil([&] { return cycles >= 25; }, UINT64_MAX), sim::StopKind::Running);
    EXPECT_EQ(cycles, 25);
}

TEST(Processor, BootPutsFirmwareGlobalsBackToTheirLoadImage) {
    sim::Board board;
    fw::dMainLoopCycles = 1234;
    fw::bMainLoopStage = 7;
    board.SetResetEntry([] {});
    board.Boot();
    EXPECT_EQ(fw::dMainLoopCycles, 0u);
    EXPECT_EQ(fw::bMainLoopStage, 0u);
}

// Two boards on one clock, each running a worker that stamps its bank 0
// through the processor address and then waits: one in delays, the other
// spinning on coprocessor reads.
struct Worker {
    sim::Board* board;
    uint32_t stamp;
    bool spins;
    bool stampKept = true;
    int waits = 0;
};
Worker s_workers[2];

void StampAndWait() {
    Worker& w = &sim::Board::Current() == s_workers[0].board ? s_workers[0] : s_workers[1];
    sim::Clock& clock = w.board->clock();
    auto* stamp = reinterpret_cast<volatile uint32_t*>(fw::HwGetWindow(fw::HW_WINDOW_BANK0).pBase);
    *stamp = w.stamp;
    for (; w.waits < 4; ++w.waits) {
        if (w.spins) {
            const uint64_t until = clock.Now() + 500'000;
            while (clock.Now() < until) fw::Cp15Read(0, 0, 0);
        } else {
            fw::HwDelayUs(500);
        }
        w.stampKept = w.stampKept && *stamp == w.stamp;
    }
}

// Neither a long wait nor a spin keeps the other board's processor from
// its turns, and each processor sees its own board's bank 0 at the one
// processor address.
TEST(Processor, BoardsOnOneClockRunSideBySideEachWithItsOwnBank0) {
    sim::Clock clock;
    sim::BoardConfig config;
    config.clock = &clock;
    sim::Board a(config), b(config);
    s_workers[0] = {&a, 0xA0A0A0A0, false};
    s_workers[1] = {&b, 0xB0B0B0B0, true};
    for (sim::Board* board : {&a, &b}) {
        board->SetResetEntry(&StampAndWait);
        board->Boot();
    }
    EXPECT_FALSE(sim::RunSideBySide({&a, &b}, nullptr, 10'000'000, 100'000));   // turns of 0.1 ms
    EXPECT_EQ(a.lastStop(), sim::StopKind::Finished);
    EXPECT_EQ(b.lastStop(), sim::StopKind::Finished);
    // Four waits of 0.5 ms each, side by side: not one board's after the other's.
    EXPECT_LT(clock.Now(), 3'000'000u);
    for (const Worker& w : s_workers) {
        EXPECT_EQ(w.waits, 4);
        EXPECT_TRUE(w.stampKept) << std::hex << w.stamp;
        uint32_t stamp = 0;
        std::memcpy(&stamp, w.board->memory().Translate(w.board->memory().bank0Address(), 4), 4);
        EXPECT_EQ(stamp, w.stamp);
    }
}

// The heartbeat line: a rising edge of the control register's heartbeat bit
// raises the partner's line until its firmware acknowledges it; a quiet
// line carries nothing, a stuck one stays up, a board without power sends
// nothing.
TEST(Fpga, HeartbeatPulsesRaiseThePartnersLineUntilAcknowledged) {
    sim::Clock clock;
    sim::BoardConfig config;
    config.clock = &clock;
    sim::Board a(config);
    config.slot1 = false;
    sim::Board b(config);
    sim::Board::ConnectPartners(a, b);
    const fw::INT_LINE line = fw::INT_LINE_PARTNER_LINK;
    auto pulse = [&](sim::Board& from) {
        from.fpga().Write(fw::FPGA_CONTROL, fw::FPGA_CONTROL_PARTNER_HEARTBEAT, 2);
        from.fpga().Write(fw::FPGA_CONTROL, 0, 2);
    };
    auto acknowledge = [&](sim::Board& at) { at.fpga().Write(fw::FPGA_PARTNER_LINK, fw::FPGA_PARTNER_LINK_ACK, 2); };
    EXPECT_FALSE(b.intc().Line(line.bBank, line.bBit));
    a.fpga().Write(fw::FPGA_CONTROL, fw::FPGA_CONTROL_PARTNER_HEARTBEAT, 2);
    a.fpga().Write(fw::FPGA_CONTROL, fw::FPGA_CONTROL_PARTNER_HEARTBEAT, 2);  // no edge: no second pulse
    EXPECT_TRUE(b.intc().Line(line.bBank, line.bBit));
    EXPECT_FALSE(a.intc().Line(line.bBank, line.bBit));
    EXPECT_EQ(b.fpga().heartbeatsReceived(), 1u);
    acknowledge(b);
    EXPECT_FALSE(b.intc().Line(line.bBank, line.bBit));
    a.fpga().Write(fw::FPGA_CONTROL, 0, 2);

    a.fpga().heartbeatQuiet = true;
    pulse(a);
    EXPECT_FALSE(b.intc().Line(line.bBank, line.bBit));
    a.fpga().heartbeatQuiet = false;

    b.fpga().SetHeartbeatStuck(true);
    acknowledge(b);
    EXPECT_TRUE(b.intc().Line(line.bBank, line.bBit));
    b.fpga().SetHeartbeatStuck(false);
    EXPECT_FALSE(b.intc().Line(line.bBank, line.bBit));

    a.CutPower();
    pulse(a);
    pulse(b);
    EXPECT_FALSE(b.intc().Line(line.bBank, line.bBit));
    EXPECT_FALSE(a.intc().Line(line.bBank, line.bBit));
    EXPECT_EQ(a.lastStop(), sim::StopKind::PowerCut);
}

TEST(Nvram, PowerCutKeepsExactlyTheBytesWritten) {
    std::vector<uint8_t> image;
    {
        sim::Board board;
        board.nvram().CutPowerAfterWrites(3);
        EXPECT_EQ(board.RunOnCpu([] {
                      const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
                      fw::HwNvramWrite(0x100, bytes, sizeof bytes);
                      ADD_FAILURE() << "ran past the power cut";
                  }),
                  sim::StopKind::PowerCut);
        const uint8_t* nv = fw::HwGetWindow(fw::HW_WINDOW_NVRAM).pBase;
        EXPECT_EQ(nv[0x100], 1);
        EXPECT_EQ(nv[0x102], 3);
        EXPECT_EQ(nv[0x103], 0);
        image = board.nvram().Image();
    }
    sim::Board next;
    next.nvram().LoadImage(image);
    EXPECT_EQ(fw::HwGetWindow(fw::HW_WINDOW_NVRAM).pBase[0x102], 3);
}

TEST(Uart, ReceivedBytesRaiseTheLineWhileReceiveInterruptsAreOn) {
    sim::Board board;
    board.TypeKeys("ab");
    EXPECT_EQ(fw::Reg8Read(0xFFD82314) & 1, 1);
    EXPECT_FALSE(board.intc().Line(1, 19));
    fw::Reg8Write(0xFFD82304, 0x41);
    EXPECT_TRUE(board.intc().Line(1, 19));
    EXPECT_EQ(fw::Reg8Read(0xFFD82300), 'a');
    EXPECT_EQ(fw::Reg8Read(0xFFD82300), 'b');
    EXPECT_FALSE(board.intc().Line(1, 19));
    fw::Reg8Write(0xFFD82300, 'z');
    EXPECT_EQ(board.ConsoleText(), "z");
}

// A console that never stops talking keeps only its tail, the last bytes
// whole and in order.
TEST(Uart, KeepsABoundedTailOfWhatItSent) {
    sim::Board board;
    std::string sink;
    board.uart().sink = [&sink](char c) {
        if (sink.size() < 8) sink.push_back(c);
    };
    const size_t sent = 5 * sim::Uart::kTranscriptTail + 123;
    for (size_t i = 0; i < sent; ++i) fw::Reg8Write(0xFFD82300, uint8_t('a' + i % 26));
    const std::string& tail = board.ConsoleText();
    EXPECT_GE(tail.size(), sim::Uart::kTranscriptTail);
    EXPECT_LE(tail.size(), 2 * sim::Uart::kTranscriptTail);
    for (size_t i = 0; i < tail.size(); ++i) {
        ASSERT_EQ(tail[tail.size() - 1 - i], char('a' + (sent - 1 - i) % 26)) << i;
    }
    EXPECT_EQ(sink, "abcdefgh");
}

TEST(Pci, ConfigurationCyclesReachFittedFunctionsOnly) {
    sim::BoardConfig config;
    config.hostChip1 = false;
    sim::Board board(config);
    auto read = [](uint32_t device) {
        fw::Reg32Write(0xFFDCD0A4, device << 11);
        return fw::Reg32Read(0xFFDCD0AC);
    };
    EXPECT_EQ(read(1), 0xFFFFFFFFu);
    EXPECT_NE(fw::Reg32Read(0xFFDCD078) & (1u << 13), 0u);  // master abort latched
    EXPECT_NE(read(2), 0xFFFFFFFFu);
}

}  // namespace

// A board taken away from a clock other boards go on using (a controller
// restarted beside its partner) leaves none of its host chips' timers
// behind to run on the freed chips.
TEST(Board, ARemovedBoardLeavesNoHostChipTimerOnASharedClock) {
    sim::Clock clock;
    sim::BoardConfig config;
    config.clock = &clock;
    {
        sim::Board board(config);
        sim::IspChip* chip = board.ispChip(1);
        ASSERT_NE(chip, nullptr);
        // A mailbox command the chip is still working on.
        chip->Write(fw::ISP24_REG_HCCR, fw::ISP24_HCCR_SET_HOST_INT, 4);
        ASSERT_TRUE(clock.HasEvents());
    }
    clock.AdvanceTo(clock.Now() + 10'000'000'000ull);
    EXPECT_FALSE(clock.HasEvents());
}

// The same for the message-passing IOCs (the drive-side controller here):
// the firmware start its reset line asked for stays behind on the clock.
TEST(Board, ARemovedBoardLeavesNoMpiIocTimerOnASharedClock) {
    sim::Clock clock;
    sim::BoardConfig config;
    config.clock = &clock;
    {
        sim::Board board(config);
        board.sasController().BoardReset();
        ASSERT_TRUE(clock.HasEvents());
    }
    EXPECT_FALSE(clock.HasEvents());
    clock.AdvanceTo(clock.Now() + 10'000'000'000ull);
}

// The firmware keeps processor addresses as 32-bit words.  What the board
// puts below 4 GiB goes through whole; a pointer above it stops the program,
// naming the pointer, rather than become the word of another object.
TEST(AddressWords, APointerAboveFourGiBStopsTheProgramInsteadOfLosingItsHighHalf) {
    static uint8_t s_bStatic = 0;
    uint8_t* pbLow = static_cast<uint8_t*>(sim::MapLowMemory(4096));
    ASSERT_NE(pbLow, nullptr);
    for (uint8_t* p : {&s_bStatic, pbLow + 4095}) {
        EXPECT_EQ(fw::pAddressWordToPointer<uint8_t>(fw::dAddressWord(p)), p);
        fw::WORD_POINTER<uint8_t> pWord = p;
        EXPECT_EQ(static_cast<uint8_t*>(pWord), p);
    }
    munmap(pbLow, 4096);
    if constexpr (sizeof(void*) > 4) {
        const auto* pHigh = reinterpret_cast<const uint8_t*>(uintptr_t{0x123456789000});
        EXPECT_DEATH((void)fw::dAddressWord(pHigh), "handed 0x123456789000, above 4 GiB");
        EXPECT_DEATH((void)fw::dCpuAddressOf(pHigh + 1), "handed 0x123456789001, above 4 GiB");
        EXPECT_DEATH(
            {
                fw::WORD_POINTER<const uint8_t> pWord;
                pWord = pHigh;
            },
            "above 4 GiB");
    }
}
