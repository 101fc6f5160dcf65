// A call into the firmware as its own code would make it: on the
// controller's processor, at the next main-loop poll, between two cycles.
#pragma once

#include <functional>

#include "sim/board.h"

namespace harness {

inline void OnMainLoop(sim::Board& board, const std::function<void()>& fn) {
    bool ran = false;
    (void)board.RunUntil(
        [&] {
            if (!ran) fn();
            ran = true;
            return true;
        },
        1'000'000'000ull);
}

}  // namespace harness
