// Cost of the command machinery's hot operations: KERNEL_ENTRY allocate +
// free, initiator ring push + pop, and one-page allocate + free, each in ns
// per pair and as a ratio to a plain array push + pop timed in the same run.
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "executive/buffer_pages.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "sim/board.h"

namespace {

constexpr uint32_t kRounds = 5;
constexpr uint32_t kOps = 200000;

template <typename F>
double NsPerOp(F&& fn) {
    double best = 1e30;
    for (uint32_t r = 0; r < kRounds; r++) {
        const auto start = std::chrono::steady_clock::now();
        for (uint32_t i = 0; i < kOps; i++) fn(i);
        const auto end = std::chrono::steady_clock::now();
        const double ns = std::chrono::duration<double, std::nano>(end - start).count() / kOps;
        if (ns < best) best = ns;
    }
    return best;
}

// The reference: a ring of 16-bit indices with no lock and no checks.
uint16_t g_awRing[4097];
uint16_t g_wIn, g_wOut;
volatile uint32_t g_dSink;

}  // namespace

int main() {
    sim::Board board;
    fw::ResetInterruptLocks();
    fw::SetSystemMemorySize(board.config().memorySize);
    fw::InitBufferPages();
    fw::InitKernelEntryPool();

    const double dReference = NsPerOp([](uint32_t i) {
        g_awRing[g_wIn] = static_cast<uint16_t>(i);
        g_wIn = g_wIn == 4096 ? 0 : g_wIn + 1;
        g_dSink = g_awRing[g_wOut];
        g_wOut = g_wOut == 4096 ? 0 : g_wOut + 1;
    });

    // Half the pool in use, so the rotor meets used entries as it goes round.
    fw::KERNEL_ENTRY* ps;
    for (uint32_t d = 0; d < 2048; d++) {
        fw::bAllocKernelEntries(0, 1, &ps);
        fw::bAllocKernelEntries(0, 1, &ps);
        fw::FreeKernelEntries(ps);
    }
    const double dEntry = NsPerOp([](uint32_t) {
        fw::KERNEL_ENTRY* psEntry;
        if (fw::bAllocKernelEntries(0, 1, &psEntry) == fw::STATUS_OK) fw::FreeKernelEntries(psEntry);
    });

    const double dRing = NsPerOp([](uint32_t i) {
        fw::QueueKernelEntry(fw::PORT_CODE_INITIATOR, static_cast<uint16_t>(i % fw::KERNEL_ENTRY_COUNT));
        fw::DequeueKernelEntry(fw::PORT_CODE_INITIATOR);
    });

    const double dPage = NsPerOp([](uint32_t) {
        fw::BUFFER_HANDLE dHandle;
        if (fw::bAllocDataPages(0, 1, &dHandle) == fw::STATUS_OK) fw::wFreeDataPages(dHandle, 1);
    });

    // What of the above is the interrupt-source lock (simulated mask registers).
    const double dLock = NsPerOp([](uint32_t) { fw::PulseKernelQueueLock(); });

    std::printf("plain array push+pop     %8.1f ns/op  ratio 1.0\n", dReference);
    std::printf("source-2 lock+unlock     %8.1f ns/op  ratio %.1f\n", dLock, dLock / dReference);
    std::printf("entry allocate+free      %8.1f ns/op  ratio %.1f\n", dEntry, dEntry / dReference);
    std::printf("ring push+pop            %8.1f ns/op  ratio %.1f\n", dRing, dRing / dReference);
    std::printf("page allocate+free       %8.1f ns/op  ratio %.1f\n", dPage, dPage / dReference);
    return 0;
}
