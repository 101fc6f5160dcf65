// Exceptions and error interrupts: the events they post, which of them
// resume and which halt, the prefetch-abort burst rule and the ECC scrub.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "harness/dispatch_board.h"
#include "executive/interrupt_dispatch.h"
#include "executive/main_loop.h"
#include "hw/hw.h"

namespace {

using harness::DispatchBoard;
using harness::NewestEvent;

constexpr uint32_t ADDRESS = 0x00281234;

void ExpectWord(const uint8_t* pb, uint32_t d) {
    EXPECT_EQ(pb[0], static_cast<uint8_t>(d >> 24));
    EXPECT_EQ(pb[1], static_cast<uint8_t>(d >> 16));
    EXPECT_EQ(pb[2], static_cast<uint8_t>(d >> 8));
    EXPECT_EQ(pb[3], static_cast<uint8_t>(d));
}

struct FaultCase {
    const char* pszName;
    void (*pfnRaise)(sim::ProcessorErrors&);
    uint8_t bKind;
    uint32_t dSecond;
};

const FaultCase FAULTS[] = {
    {"Undefined", [](sim::ProcessorErrors& e) { e.UndefinedInstruction(ADDRESS, 0xE7F000F0); },
     fw::FAULT_UNDEFINED_INSTRUCTION, 0xE7F000F0},
    {"SoftwareInterrupt", [](sim::ProcessorErrors& e) { e.SoftwareInterrupt(ADDRESS, 0xEF000010); },
     fw::FAULT_SOFTWARE_INTERRUPT, 0xEF000010},
    {"DataAbort", [](sim::ProcessorErrors& e) { e.DataAbort(ADDRESS, 0x008, 0xDEADBEEF); },
     fw::FAULT_DATA_ABORT, 0},
    {"PrefetchAbort", [](sim::ProcessorErrors& e) { e.PrefetchAbort(ADDRESS, 0x005); },
     fw::FAULT_PREFETCH_ABORT, 0x005},
};

// A halt is final: one per test process.
class ProgramFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ProgramFault, PostsItsEventAndHalts) {
    const FaultCase& c = GetParam();
    DispatchBoard b;
    b.StartMainLoop();
    fw::bMainLoopStage = 17;
    fw::bBackgroundStep = 43;
    fw::bServiceSubStep = 2;
    sim::ProcessorErrors& e = b.errors();
    EXPECT_EQ(b.board().RunOnCpu([&] { c.pfnRaise(e); }), sim::StopKind::Halt);
    EXPECT_NE(b.board().ConsoleText().find("E:Halt"), std::string::npos);
    const fw::EVENT_LOG_ENTRY* ps = NewestEvent(fw::EVENT_FAULT);
    ASSERT_NE(ps, nullptr);
    if (c.bKind == fw::FAULT_DATA_ABORT) {
        // The fault registers follow in a second event.
        EXPECT_EQ(ps->abArgs[0], 6);
        EXPECT_EQ(ps->abArgs[1], 255);
        ExpectWord(&ps->abArgs[2], 0x008);
        ExpectWord(&ps->abArgs[6], 0xDEADBEEF);
        ASSERT_EQ(harness::CountEvents(fw::EVENT_FAULT), 2u);
        ps = harness::EventBefore(ps);
        ASSERT_NE(ps, nullptr);
    }
    const uint8_t abHead[] = {6, c.bKind, 17, 43, 2};
    EXPECT_EQ(std::memcmp(ps->abArgs, abHead, sizeof abHead), 0);
    ExpectWord(&ps->abArgs[5], ADDRESS);
    ExpectWord(&ps->abArgs[9], c.dSecond);
    EXPECT_EQ(ps->abArgs[13], 0);
}

INSTANTIATE_TEST_SUITE_P(InterruptDispatch, ProgramFault, ::testing::ValuesIn(FAULTS),
                         [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.pszName); });

// An imprecise data abort before start-up completed resets the board and
// keeps the write journals for the replay.
TEST(InterruptDispatch, EarlyImpreciseDataAbortResets) {
    DispatchBoard b;
    sim::ProcessorErrors& e = b.errors();
    EXPECT_EQ(b.board().RunOnCpu([&] { e.DataAbort(ADDRESS, 0x406, 0); }), sim::StopKind::Reset);
    const fw::EVENT_LOG_ENTRY* ps = NewestEvent(fw::EVENT_RECOVERED_FAULT);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[0], 4);
    ExpectWord(&ps->abArgs[1], ADDRESS);
    EXPECT_EQ(NewestEvent(fw::EVENT_FAULT), nullptr);
}

TEST(InterruptDispatch, TenImprecisePrefetchAbortsResumeTheEleventhHalts) {
    DispatchBoard b;
    b.StartMainLoop();
    sim::ProcessorErrors& e = b.errors();
    for (uint32_t i = 1; i <= fw::PREFETCH_BURST_LIMIT; ++i) {
        EXPECT_EQ(b.board().RunOnCpu([&] { e.PrefetchAbort(ADDRESS + i, 0x408); }),
                  sim::StopKind::Finished)
            << i;
        b.RunMs(100);
    }
    // The log keeps one entry and counts the repeats in its bytes 8..11.
    EXPECT_EQ(harness::CountEvents(fw::EVENT_RECOVERED_FAULT), 1u);
    const fw::EVENT_LOG_ENTRY* ps = NewestEvent(fw::EVENT_RECOVERED_FAULT);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[0], 7);
    ExpectWord(&ps->abArgs[3], ADDRESS + 1);
    EXPECT_EQ(ps->abArgs[8], fw::PREFETCH_BURST_LIMIT - 1);
    EXPECT_EQ(b.board().RunOnCpu([&] { e.PrefetchAbort(ADDRESS, 0x408); }), sim::StopKind::Halt);
    EXPECT_EQ(NewestEvent(fw::EVENT_FAULT)->abArgs[1], fw::FAULT_PREFETCH_ABORT);
}

TEST(InterruptDispatch, TestPrefetchAbortComesBackToTheCaller) {
    DispatchBoard b;
    b.StartMainLoop();
    EXPECT_EQ(b.board().RunOnCpu([] { fw::RaiseTestPrefetchAbort(); }), sim::StopKind::Finished);
    EXPECT_EQ(harness::CountEvents(fw::EVENT_RECOVERED_FAULT), 1u);
    EXPECT_EQ(fw::CpuGetInterruptMask(), 0u);
}

// Every single-bit syndrome names its own bit: 64 data and 8 check bits.
TEST(InterruptDispatch, EccSyndromeTableNamesEachBitOnce) {
    std::set<uint8_t> bits;
    for (uint32_t s = 0; s < 256; ++s) {
        const uint8_t b = fw::bEccSyndromeBit(static_cast<uint8_t>(s));
        if (b == 0xFF) continue;
        EXPECT_LT(b, 72) << s;
        EXPECT_TRUE(s & 0x80) << s;   // a single-bit error flips the overall parity
        EXPECT_TRUE(bits.insert(b).second) << s;
    }
    EXPECT_EQ(bits.size(), 72u);
}

struct EccCase {
    const char* pszName;
    bool fSecondError;
    bool fSecondMultiBit;
    bool fHalts;
    uint8_t abFaultArgs[3];   // when it halts
};

const EccCase ECC_CASES[] = {
    {"Single", false, false, false, {}},
    {"TwoSingle", true, false, false, {}},
    {"SingleAndMulti", true, true, true, {2, 0, 255}},
};

class EccError : public ::testing::TestWithParam<EccCase> {};

TEST_P(EccError, CorrectableIsScrubbedUncorrectableHalts) {
    const EccCase& c = GetParam();
    DispatchBoard b;
    b.StartMainLoop();
    const fw::HwWindow w = fw::HwGetWindow(fw::HW_WINDOW_BANK0);
    const uint32_t dAddress = w.dProcessorAddress + 0x1000;
    const uint64_t lWord = 0x0123456789ABCDEFull;
    std::memcpy(w.pBase + 0x1000, &lWord, 8);
    sim::ProcessorErrors& e = b.errors();
    e.EccError(dAddress, 0x83, false);   // data bit 0
    if (c.fSecondError) e.EccError(dAddress + 8, 0x85, c.fSecondMultiBit);   // data bit 1
    const sim::StopKind k = b.board().RunOnCpu([&] { b.RunMs(1); });
    if (c.fHalts) {
        EXPECT_EQ(k, sim::StopKind::Halt);
        const fw::EVENT_LOG_ENTRY* ps = NewestEvent(fw::EVENT_FAULT);
        ASSERT_NE(ps, nullptr);
        EXPECT_EQ(std::memcmp(ps->abArgs, c.abFaultArgs, 3), 0);
        EXPECT_EQ(harness::CountEvents(fw::EVENT_MEMORY_ECC_CORRECTED), 0u);
        return;
    }
    const uint32_t dErrors = c.fSecondError ? 2u : 1u;
    EXPECT_EQ(k, sim::StopKind::Finished);
    EXPECT_EQ(e.Mcisr(), 0u);
    EXPECT_EQ(e.EccControl(), 15u);
    EXPECT_EQ(fw::dGetMemoryErrorCount(), dErrors);
    EXPECT_EQ(harness::CountEvents(fw::EVENT_MEMORY_ECC_CORRECTED), dErrors);
    uint64_t lNow = 0;
    std::memcpy(&lNow, w.pBase + 0x1000, 8);
    EXPECT_EQ(lNow, lWord);
    const fw::EVENT_LOG_ENTRY* ps = NewestEvent(fw::EVENT_MEMORY_ECC_CORRECTED);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[0], c.fSecondError ? 1 : 0);
    ExpectWord(&ps->abArgs[1], c.fSecondError ? dAddress + 8 : dAddress);
}

INSTANTIATE_TEST_SUITE_P(InterruptDispatch, EccError, ::testing::ValuesIn(ECC_CASES),
                         [](const ::testing::TestParamInfo<EccCase>& i) { return std::string(i.param.pszName); });

// Without the NVRAM test pattern the memory itself is in doubt.
TEST(InterruptDispatch, MemoryErrorWithoutTheNvramTestPatternHalts) {
    DispatchBoard b;
    b.StartMainLoop();
    fw::HwNvramWrite8(0x7FF10, 0x12);
    b.errors().EccError(fw::HwGetWindow(fw::HW_WINDOW_BANK0).dProcessorAddress, 0x83, false);
    EXPECT_EQ(b.board().RunOnCpu([&] { b.RunMs(1); }), sim::StopKind::Halt);
    const fw::EVENT_LOG_ENTRY* ps = NewestEvent(fw::EVENT_FAULT);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[0], 2);
    EXPECT_EQ(ps->abArgs[1], 0);
    EXPECT_EQ(fw::dGetMemoryErrorCount(), 0u);
}

TEST(InterruptDispatch, InternalBusErrorHaltsOnThisBoardAtTheFirst) {
    DispatchBoard b;
    b.StartMainLoop();
    b.errors().InternalBusError(0x40);
    EXPECT_EQ(b.board().RunOnCpu([&] { b.RunMs(1); }), sim::StopKind::Halt);
    const fw::EVENT_LOG_ENTRY* ps = NewestEvent(fw::EVENT_FAULT);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[1], fw::FAULT_INTERNAL_BUS);
    ExpectWord(&ps->abArgs[5], 0x40);
    EXPECT_EQ(b.errors().InternalBusStatus(), 0u);
    EXPECT_EQ(fw::dGetInternalBusErrorCount(), 1u);
}

TEST(InterruptDispatch, AtuErrorPrintsItsRegistersAndHalts) {
    DispatchBoard b;
    b.StartMainLoop();
    b.board().ClearConsoleText();
    b.errors().AtuError(0x10, 0x20, 0xCAFE0000);
    EXPECT_EQ(b.board().RunOnCpu([&] { b.RunMs(1); }), sim::StopKind::Halt);
    const std::string s = b.board().ConsoleText();
    EXPECT_NE(s.find("ATU Error:  PIECSR 00000010  ATUSR 00000020\r\n"), std::string::npos);
    EXPECT_NE(s.find("ATU PIEEAR: cafe0000\r\n"), std::string::npos);
    EXPECT_NE(s.find("E:Halt"), std::string::npos);
}

}  // namespace

namespace {

TEST(InterruptDispatch, IrqWithoutAServiceHaltsWithItsSourceWords) {
    DispatchBoard b;
    b.StartMainLoop();
    // A source enabled for IRQ that no handler serves.
    fw::Cp6Write(0, 4, fw::Cp6Read(0, 4) | (1u << 6));
    b.board().intc().SetLine(0, 6, true);
    EXPECT_EQ(b.board().RunOnCpu([&] { b.RunMs(1); }), sim::StopKind::Halt);
    const fw::EVENT_LOG_ENTRY* ps = NewestEvent(fw::EVENT_FAULT);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[1], fw::FAULT_UNEXPECTED_IRQ);
    ExpectWord(&ps->abArgs[5], 1u << 6);   // IINTSRC0
    ExpectWord(&ps->abArgs[9], 0);         // IINTSRC1
}

}  // namespace

namespace {

// A fault in a booted controller reaches the handler through the vector
// start-up stored, with the main loop's progress bytes in the event.
TEST(InterruptDispatch, FaultInTheRunningControllerHalts) {
    sim::Board board;
    ASSERT_TRUE(harness::BootToMainLoop(board));
    sim::ProcessorErrors& e = board.processorErrors();
    bool fRaised = false;
    board.pollHook = [&] {
        if (fRaised) return;
        fRaised = true;
        e.SoftwareInterrupt(ADDRESS, 0xEF00002A);
    };
    // The halt takes its two seconds of close-down.
    EXPECT_EQ(board.RunFor(5'000'000'000ull), sim::StopKind::Halt);
    EXPECT_NE(board.ConsoleText().find("E:Halt"), std::string::npos);
    const fw::EVENT_LOG_ENTRY* ps = NewestEvent(fw::EVENT_FAULT);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[1], fw::FAULT_SOFTWARE_INTERRUPT);
    ExpectWord(&ps->abArgs[9], 0xEF00002A);
}

}  // namespace
