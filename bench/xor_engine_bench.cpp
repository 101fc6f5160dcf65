// Parity through the XOR engine and the board's accelerator model: P (plain
// XOR) and P+Q over 8 and 14 sources of 64 KiB and 1 MiB, each request
// queued by the firmware, run by the model and handed over, against memcpy
// of the same source bytes timed in the same run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "executive/buffer_pages.h"
#include "executive/interrupt_controller.h"
#include "executive/interrupt_dispatch.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "raid/xor_engine.h"
#include "sim/board.h"
#include "sim/xor_accelerator.h"
#include "hw/addresses.h"

namespace {

constexpr double kMinSeconds = 0.4;
constexpr unsigned kRounds = 3;

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

uint8_t* Bytes(uint32_t d) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(d)); }

uint32_t Buffer(uint32_t dBytes) {
    fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
    if (fw::bAllocDataPages(0, (dBytes + fw::BUFFER_PAGE_SIZE - 1) / fw::BUFFER_PAGE_SIZE, &d) != fw::STATUS_OK) {
        std::fprintf(stderr, "xor_engine_bench: no buffer memory\n");
        std::exit(1);
    }
    return static_cast<uint32_t>(fw::dBufferHandleToCpuAddress(d));
}

// Runs the request to its hand-over; false when the engine failed.
bool RunOne(uint8_t bOp, uint32_t dBytes, uint32_t n, uint32_t X, uint32_t Y, const uint32_t* pdSources) {
    if (fw::QueueXorRequest(0xFFFF, bOp, fw::XOR_PATH_LOCAL, dBytes, n, X, Y, pdSources) != fw::STATUS_OK) return false;
    for (uint32_t i = 0; i < 1000000 && fw::wGetXorOutstanding() != 0; ++i) {
        fw::HwPoll();
        if (fw::fGetXorQueue1Work() == fw::TRUE) fw::ServiceXorCompletions();
    }
    return fw::wGetXorOutstanding() == 0;
}

// Best rate over a few rounds of at least kMinSeconds each, in source bytes
// per second.
template <typename F>
double Rate(uint64_t lBytesPerCall, F fn) {
    double best = 0;
    for (unsigned r = 0; r < kRounds; ++r) {
        uint64_t calls = 0;
        const auto start = std::chrono::steady_clock::now();
        double elapsed = 0;
        do {
            fn();
            ++calls;
            elapsed = Seconds(start, std::chrono::steady_clock::now());
        } while (elapsed < kMinSeconds);
        best = std::max(best, static_cast<double>(calls * lBytesPerCall) / elapsed);
    }
    return best;
}

}  // namespace

int main() {
    sim::Board board;
    const uint32_t dFiq = fw::dAddressWord(&fw::FiqHandler);
    std::memcpy(fw::HwGetWindow(fw::HW_WINDOW_VECTOR_PAGE).pBase + 0x38, &dFiq, 4);
    fw::SetSystemMemorySize(board.config().memorySize);
    fw::InitBufferPages();
    fw::InitBoardStateDefaults();
    fw::ResetInterruptLocks();
    fw::InitInterruptController();
    fw::InitXorQueues();
    fw::EnableInterrupts();

    constexpr uint32_t kMaxSources = 14, kMaxBytes = 1u << 20;
    std::vector<uint32_t> sources;
    for (uint32_t i = 0; i < kMaxSources; ++i) {
        sources.push_back(Buffer(kMaxBytes));
        for (uint32_t o = 0; o < kMaxBytes; ++o) Bytes(sources[i])[o] = static_cast<uint8_t>(o * 31 + i * 7);
    }
    sources.push_back(fw::dPackRaid6Parameter(0xFF, 0xFF, 0xFF, kMaxSources + 2));
    const uint32_t P = Buffer(kMaxBytes), Q = Buffer(kMaxBytes), copy = Buffer(kMaxSources * kMaxBytes);

    std::printf("XOR engine through the accelerator model (%s), source bytes per second\n",
                board.xorAccelerator().vectorised() ? "AVX2 split-nibble" : "scalar");
    std::printf("%-7s %8s %10s %10s %10s %9s %9s\n", "sources", "size", "memcpy", "P", "P+Q", "P/memcpy",
                "PQ/memcpy");
    bool ok = true;
    // On the processor, so that a poll that only waits moves the board's
    // time on to the accelerator's completion.
    board.RunOnCpu([&] {
    for (uint32_t n : {8u, 14u}) {
        for (uint32_t dBytes : {64u * 1024, kMaxBytes}) {
            sources[14] = fw::dPackRaid6Parameter(0xFF, 0xFF, 0xFF, static_cast<uint8_t>(n + 2));
            std::vector<uint32_t> src(sources.begin(), sources.begin() + n);
            src.resize(15);
            src[14] = sources[14];
            const uint64_t lBytes = static_cast<uint64_t>(n) * dBytes;
            const double memcpyRate = Rate(lBytes, [&] {
                for (uint32_t i = 0; i < n; ++i) std::memcpy(Bytes(copy + i * dBytes), Bytes(src[i]), dBytes);
            });
            const double pRate = Rate(lBytes, [&] { ok &= RunOne(fw::XOR_OP_NO_CONTINUATION, dBytes, n, P, 0, src.data()); });
            const double pqRate =
                Rate(lBytes, [&] { ok &= RunOne(fw::XOR_OP_RAID6_FULL_ROW_PIECE, dBytes, n, P, Q, src.data()); });
            std::printf("%-7u %7uK %8.2fG/s %8.2fG/s %8.2fG/s %9.2f %9.2f\n", n, dBytes / 1024, memcpyRate / 1e9,
                        pRate / 1e9, pqRate / 1e9, pRate / memcpyRate, pqRate / memcpyRate);
        }
    }
    });
    if (!ok) {
        std::fprintf(stderr, "xor_engine_bench: a request did not complete\n");
        return 1;
    }
    return 0;
}
