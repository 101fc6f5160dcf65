// Cost of the command machinery's hot operations: KERNEL_ENTRY allocate +
// free, initiator ring push + pop, one-page allocate + free (also with the
// bank full but for scattered pages, where a longer run is refused), a new
// write stream's buffer in a bank a write-back cache has fragmented, and a
// source lock + unlock, each in ns and instructions per pair, the share of it spent
// in the firmware's own code rather than in the simulated board's interrupt
// controller, and as a ratio to a plain array push + pop timed in this run.
#include <cstdint>
#include <cstdio>
#include <random>

#include "executive/buffer_pages.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "measure.h"
#include "sim/board.h"

namespace {

constexpr uint32_t kBatch = 4096;

// The reference: a ring of 16-bit indices with no lock and no checks.
uint16_t g_awRing[4097];
uint16_t g_wIn, g_wOut;
volatile uint32_t g_dSink;

template <typename Op>
bench::Result MeasureOp(const char* name, Op&& op) {
    uint32_t i = 0;
    return bench::Measure(
        name,
        [&] {
            for (uint32_t n = 0; n < kBatch; ++n) op(i++);
            return kBatch;
        },
        true);
}

void Print(const char* name, const bench::Result& r, const bench::Result& reference) {
    std::printf("%-26s %8.1f ns/op%s  firmware %4s  %8.1fx the plain array's time\n", name, r.NsPerOp(),
                r.InstructionsPerOp().c_str(), r.Share().c_str(), r.NsPerOp() / reference.NsPerOp());
}

}  // namespace

int main() {
    sim::Board board;
    fw::ResetInterruptLocks();
    fw::SetSystemMemorySize(board.config().memorySize);
    fw::InitBufferPages();
    fw::InitKernelEntryPool();

    const bench::Result reference = MeasureOp("plain array push+pop", [](uint32_t i) {
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
    const bench::Result entry = MeasureOp("entry allocate+free", [](uint32_t) {
        fw::KERNEL_ENTRY* psEntry;
        if (fw::bAllocKernelEntries(0, 1, &psEntry) == fw::STATUS_OK) fw::FreeKernelEntries(psEntry);
    });
    const bench::Result ring = MeasureOp("ring push+pop", [](uint32_t i) {
        fw::QueueKernelEntry(fw::PORT_CODE_INITIATOR, static_cast<uint16_t>(i % fw::KERNEL_ENTRY_COUNT));
        fw::DequeueKernelEntry(fw::PORT_CODE_INITIATOR);
    });
    const bench::Result page = MeasureOp("page allocate+free", [](uint32_t) {
        fw::BUFFER_HANDLE dHandle;
        if (fw::bAllocDataPages(0, 1, &dHandle) == fw::STATUS_OK) fw::wFreeDataPages(dHandle, 1);
    });
    // The bank full but for a free page in every 16: one page is found
    // near the rotor, a 64 KiB run nowhere (as when the cache has filled
    // the bank and given back pages here and there).
    fw::BUFFER_HANDLE dBank;
    while (fw::bAllocDataPages(0, 1, &dBank) == fw::STATUS_OK) {}
    for (uint32_t d = 0; d < fw::dGetPagesInUse(0); d += 16) {
        fw::wFreeDataPages(fw::BUFFER_HANDLE{board.memory().bank0Address()} + d * fw::BUFFER_PAGE_SIZE, 1);
    }
    const bench::Result fullPage = MeasureOp("full: page alloc+free", [](uint32_t) {
        fw::BUFFER_HANDLE dHandle;
        if (fw::bAllocDataPages(0, 1, &dHandle) == fw::STATUS_OK) fw::wFreeDataPages(dHandle, 1);
    });
    const bench::Result fullRun = MeasureOp("full: 16-page run refused", [](uint32_t) {
        fw::BUFFER_HANDLE dHandle;
        g_dSink = fw::bAllocDataPages(0, 16, &dHandle);
    });
    // A write-back cache under random 4 KiB writes: single pages held all
    // over the bank, a quarter of them, so whole free words lie alone or a
    // few in a row; a new write stream asks for 64 pages, then 32, then 16
    // (each refusal halves it), and gives back what it got.
    while (fw::bAllocDataPages(0, 1, &dBank) == fw::STATUS_OK) {}
    std::mt19937 random(3);
    const fw::BUFFER_HANDLE dFirstFree{board.memory().bank0Address() + 88 * fw::BUFFER_WORD_BYTES};
    for (uint32_t d = 0; d < board.memory().bank0Size() / fw::BUFFER_PAGE_SIZE - 88 * 8; d++) {
        if (random() % 4 != 0) fw::wFreeDataPages(dFirstFree + d * fw::BUFFER_PAGE_SIZE, 1);
    }
    const bench::Result stream = MeasureOp("fragmented: stream buffer", [](uint32_t) {
        fw::BUFFER_HANDLE dHandle;
        for (uint32_t dPages = 64; dPages >= 16; dPages /= 2) {
            if (fw::bAllocDataPages(0, dPages, &dHandle) != fw::STATUS_OK) continue;
            fw::wFreeDataPages(dHandle, dPages);
            break;
        }
    });
    // The interrupt-source lock: masks in the interrupt controller's registers.
    const bench::Result lock = MeasureOp("source-2 lock+unlock", [](uint32_t) { fw::PulseKernelQueueLock(); });

    std::printf("command machinery, rounds of at least %.0f ms, best of %d\n", bench::kRoundSeconds * 1000,
                bench::kRounds);
    Print("plain array push+pop", reference, reference);
    Print("source-2 lock+unlock", lock, reference);
    Print("entry allocate+free", entry, reference);
    Print("ring push+pop", ring, reference);
    Print("page allocate+free", page, reference);
    Print("full: page alloc+free", fullPage, reference);
    Print("full: 16-page run refused", fullRun, reference);
    Print("fragmented: stream buffer", stream, reference);
    bench::NoteInstructions("build-bench/bench/kernel_machinery_bench");
    return 0;
}
