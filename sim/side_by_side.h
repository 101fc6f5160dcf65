// Controllers side by side in one process: boards given one clock run in
// turns of a little board time each, in a fixed order, so both processors
// move on together and every run of the same scenario is the same.
//
//     sim::Clock clock;
//     sim::BoardConfig a, b;
//     a.clock = b.clock = &clock;
//     b.firmware = &fw_b::hwFirmwareImage;
//     sim::Board boardA(a), boardB(b);
//     ... SetResetEntry, Boot ...
//     sim::RunSideBySide({&boardA, &boardB}, [&] { return ...; }, 60'000'000'000ull);
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>

#include "sim/board.h"

namespace sim {

// A turn: short enough that no board's 1 ms tick waits out a whole period
// while another board runs, long enough that moving the processor window
// (memory_windows.h) between turns costs little beside the turn's work.
constexpr uint64_t kTurnNs = 500'000;

// Runs the boards (all on one clock) until `done` holds (checked at every
// main-loop poll and between turns), until `limitNs` of board time have
// passed, or until every board's processor has stopped (lastStop() says
// why).  True when `done` held.
bool RunSideBySide(std::initializer_list<Board*> boards, const std::function<bool()>& done, uint64_t limitNs,
                   uint64_t turnNs = kTurnNs);

}  // namespace sim
