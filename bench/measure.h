// Measuring benchmark rounds: wall time, instructions retired in user space
// (perf_event_open, where the host lets a process count them) and the share
// of time the processor spent in the firmware's own code rather than inside
// the simulated board (sampled every 100 µs in a pass of its own, so that
// the timed rounds carry no sampling cost).
//
// A virtual machine usually counts no instructions for a process; there
// bench/count-instructions runs a benchmark under callgrind, and each
// measurement becomes a fixed number of batches between zeroed and dumped
// counters, named after the measurement.
#pragma once

#include <linux/perf_event.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "sim/processor_side.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(label) ((void)(label))
#endif

namespace bench {

// Instructions retired by this process in user space, when countable.
class InstructionCounter {
public:
    InstructionCounter() {
        perf_event_attr a{};
        a.type = PERF_TYPE_HARDWARE;
        a.size = sizeof a;
        a.config = PERF_COUNT_HW_INSTRUCTIONS;
        a.exclude_kernel = 1;
        a.exclude_hv = 1;
        m_fd = static_cast<int>(syscall(SYS_perf_event_open, &a, 0, -1, -1, 0));
    }
    ~InstructionCounter() {
        if (m_fd >= 0) close(m_fd);
    }
    bool Available() const { return m_fd >= 0; }
    uint64_t Read() const {
        uint64_t n = 0;
        if (m_fd < 0 || read(m_fd, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) return 0;
        return n;
    }

private:
    int m_fd = -1;
};

// Samples, on a timer, whether the processor is inside the board.
class SideSampler {
public:
    SideSampler() {
        struct sigaction sa {};
        sa.sa_handler = &OnSample;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGPROF, &sa, nullptr);
        sigevent ev{};
        ev.sigev_notify = SIGEV_SIGNAL;
        ev.sigev_signo = SIGPROF;
        // A CPU-time timer fires only at the scheduler's tick; the monotonic
        // clock's timers are fine-grained.
        m_ok = timer_create(CLOCK_MONOTONIC, &ev, &m_timer) == 0;
    }
    ~SideSampler() {
        if (m_ok) timer_delete(m_timer);
        signal(SIGPROF, SIG_DFL);
    }
    void Start() {
        s_firmware = 0;
        s_board = 0;
        Arm(kPeriodNs);
    }
    void Stop() { Arm(0); }
    // The firmware's share of the samples, or -1 when none were taken.
    double FirmwareShare() const {
        const uint64_t total = s_firmware + s_board;
        return total == 0 ? -1.0 : static_cast<double>(s_firmware) / static_cast<double>(total);
    }

private:
    static constexpr long kPeriodNs = 100'000;
    void Arm(long ns) {
        if (!m_ok) return;
        itimerspec t{};
        t.it_value.tv_nsec = ns;
        t.it_interval.tv_nsec = ns;
        timer_settime(m_timer, 0, &t, nullptr);
    }
    static void OnSample(int) {
        if (sim::InBoard::Depth() != 0) {
            s_board = s_board + 1;
        } else {
            s_firmware = s_firmware + 1;
        }
    }
    static inline volatile uint64_t s_firmware = 0;
    static inline volatile uint64_t s_board = 0;
    timer_t m_timer{};
    bool m_ok = false;
};

// The best of several rounds of one operation.
struct Result {
    uint64_t ops = 0;
    double seconds = 0;
    uint64_t instructions = 0;   // 0: not countable here
    double firmwareShare = -1;   // -1: not sampled
    double OpsPerSecond() const { return seconds > 0 ? static_cast<double>(ops) / seconds : 0; }
    double NsPerOp() const { return ops ? seconds * 1e9 / static_cast<double>(ops) : 0; }
    // "  N instr/<unit>" where instructions were counted; nothing where
    // the processor counts none for a process (NoteInstructions says so,
    // once, below the figures).
    std::string InstructionsPerOp(const char* unit = "op") const {
        if (instructions == 0 || ops == 0) return "";
        char s[48];
        std::snprintf(s, sizeof s, "  %9.0f instr/%s", static_cast<double>(instructions) / static_cast<double>(ops),
                      unit);
        return s;
    }
    std::string Share() const {
        if (firmwareShare < 0) return "n/a";
        char s[32];
        std::snprintf(s, sizeof s, "%.0f%%", firmwareShare * 100);
        return s;
    }
};

// Under the figures of a benchmark whose processor counted no instructions:
// where to have them counted.
inline void NoteInstructions(const char* benchmark) {
    if (InstructionCounter().Available() || RUNNING_ON_VALGRIND) return;
    std::printf("(no instructions counted: this processor counts none for a process; "
                "bench/count-instructions %s counts them)\n",
                benchmark);
}

constexpr double kRoundSeconds = 0.1;   // long enough to swamp timer and cache effects
constexpr int kRounds = 5;
constexpr double kSampleSeconds = 0.3;  // the sampled pass: some 3000 samples
constexpr int kCountedBatches = 8;      // under callgrind: instructions do not vary

// Under callgrind: a fixed number of batches between zeroed and dumped
// counters, labelled `name` and the operation count.
template <typename Batch>
Result Count(const char* name, Batch&& batch) {
    Result counted;
    CALLGRIND_ZERO_STATS;
    for (int b = 0; b < kCountedBatches; ++b) counted.ops += batch();
    char label[128];
    std::snprintf(label, sizeof label, "%s ops=%llu", name, static_cast<unsigned long long>(counted.ops));
    CALLGRIND_DUMP_STATS_AT(label);
    return counted;
}

// One round: `batch()` (some operations, returning how many) again and
// again until kRoundSeconds have passed.
template <typename Batch>
Result Round(const InstructionCounter& counter, Batch&& batch) {
    Result round;
    const uint64_t i0 = counter.Read();
    const auto t0 = std::chrono::steady_clock::now();
    do {
        round.ops += batch();
        round.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    } while (round.seconds < kRoundSeconds);
    round.instructions = counter.Available() ? counter.Read() - i0 : 0;
    return round;
}

inline void KeepBest(Result& best, const Result& round) {
    if (best.ops == 0 || round.OpsPerSecond() > best.OpsPerSecond()) best = round;
}

// The firmware's share of `batch()`'s time, sampled in a pass of its own.
template <typename Batch>
void SampleSides(Result& result, Batch&& batch) {
    SideSampler sampler;
    sampler.Start();
    const auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() < kSampleSeconds) batch();
    sampler.Stop();
    result.firmwareShare = sampler.FirmwareShare();
}

// The best of kRounds rounds of `batch()`.  `name` labels the measurement's
// counters under callgrind.
template <typename Batch>
Result Measure(const char* name, Batch&& batch, bool sampleSides = false) {
    if (RUNNING_ON_VALGRIND) return Count(name, batch);
    InstructionCounter counter;
    Result best;
    for (int r = 0; r < kRounds; ++r) KeepBest(best, Round(counter, batch));
    if (sampleSides) SampleSides(best, batch);
    return best;
}

// A measurement and its reference in alternating rounds, so that on a
// shared machine both meet the same load and the ratio between them holds
// even where the rates themselves wander.
struct Pair {
    Result measured;
    Result reference;
};
template <typename Batch, typename ReferenceBatch>
Pair MeasureBesideReference(const char* name, Batch&& batch, const char* referenceName, ReferenceBatch&& reference,
                            bool sampleSides = false) {
    if (RUNNING_ON_VALGRIND) return Pair{Count(name, batch), Count(referenceName, reference)};
    InstructionCounter counter;
    Pair best;
    for (int r = 0; r < kRounds; ++r) {
        KeepBest(best.reference, Round(counter, reference));
        KeepBest(best.measured, Round(counter, batch));
    }
    if (sampleSides) SampleSides(best.measured, batch);
    return best;
}

}  // namespace bench
