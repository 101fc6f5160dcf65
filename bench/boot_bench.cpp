// A controller's start in virtual time, from its reset entry to "Initialization
// Complete": on a new board (NVRAM formatted) and restarted on the same board
// (NVRAM kept); wall time and instructions per start, and the share of it
// spent in the firmware's own code rather than in the simulated board.  Then
// the started controller idling: the same per 1 ms tick of its clock.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "executive/startup.h"
#include "measure.h"
#include "sim/board.h"

namespace {

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;

// The board asks at every delay and poll whether to stop: only the text
// printed since the last look is searched, so that the look costs the run
// nothing beside the firmware's own work.
bool BootToMainLoop(sim::Board& board) {
    static constexpr std::string_view kComplete = "Initialization Complete";
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    size_t searched = 0;
    return board.RunUntil(
               [&] {
                   const std::string& text = board.ConsoleText();
                   if (text.size() < searched) searched = 0;
                   const size_t from = searched > kComplete.size() ? searched - kComplete.size() : 0;
                   searched = text.size();
                   return text.find(kComplete, from) != std::string::npos;
               },
               kBootLimitNs) == sim::StopKind::Running;
}

void Print(const char* name, const bench::Result& r) {
    std::printf("%-30s %8.2f ms/start%s  firmware %4s\n", name, r.NsPerOp() / 1e6, r.InstructionsPerOp("start").c_str(),
                r.Share().c_str());
}

}  // namespace

int main() {
    bool ok = true;
    const bench::Result fresh = bench::Measure(
        "new board (NVRAM formatted)",
        [&] {
            sim::Board board;
            ok = ok && BootToMainLoop(board);
            return 1u;
        },
        true);
    sim::Board board;
    ok = ok && BootToMainLoop(board);
    const uint64_t virtualNs = board.clock().Now();
    const bench::Result again = bench::Measure(
        "restart (NVRAM kept)",
        [&] {
            board.ClearConsoleText();
            ok = ok && BootToMainLoop(board);
            return 1u;
        },
        true);
    // The started controller idling in its main loop: what each 1 ms tick
    // costs when nothing else happens.
    constexpr uint32_t kIdleTicks = 100;
    const bench::Result idle = bench::Measure(
        "idle main loop, per 1 ms tick",
        [&] {
            ok = ok && board.RunFor(kIdleTicks * 1'000'000ull) == sim::StopKind::Running;
            return kIdleTicks;
        },
        true);
    if (!ok) {
        std::fprintf(stderr, "boot_bench: the controller did not reach its main loop\n");
        return 1;
    }
    std::printf("controller start in virtual time (%.1f s of controller time), rounds of at least %.0f ms\n",
                static_cast<double>(virtualNs) / 1e9, bench::kRoundSeconds * 1000);
    Print("new board (NVRAM formatted)", fresh);
    Print("restart (NVRAM kept)", again);
    std::printf("%-30s %8.0f ns/tick%s  firmware %4s\n", "idle main loop, per 1 ms tick", idle.NsPerOp(),
                idle.InstructionsPerOp("tick").c_str(), idle.Share().c_str());
    bench::NoteInstructions("build-bench/bench/boot_bench");
    return 0;
}
