#include "sim/side_by_side.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

bool RunSideBySide(std::initializer_list<Board*> boards, const std::function<bool()>& done, uint64_t limitNs,
                   uint64_t turnNs) {
    if (boards.size() == 0) return done && done();
    Clock& clock = (*boards.begin())->clock();
    for (Board* b : boards) {
        if (&b->clock() != &clock) {
            std::fprintf(stderr, "board: boards run side by side share one clock\n");
            std::abort();
        }
    }
    const uint64_t end = limitNs > UINT64_MAX - clock.Now() ? UINT64_MAX : clock.Now() + limitNs;
    for (;;) {
        bool running = false;
        for (Board* b : boards) {
            if (done && done()) return true;
            if (clock.Now() >= end) return false;
            const uint64_t turn = end - clock.Now() < turnNs ? end - clock.Now() : turnNs;
            if (b->RunUntil(done, turn) == StopKind::Running) running = true;
        }
        if (!running) return done && done();
    }
}

}  // namespace sim
