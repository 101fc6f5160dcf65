// Services that walk a kernel ring for commands a drive is to take: after a
// walk that found every entry held (its drive's queue full, or the drive
// held off for a while), walking again before anything has moved finds the
// same, and only keeps the main loop from waiting for the drives.
#pragma once

#include <cstdint>

namespace fw {

// How long a walk that found everything held is trusted while nothing has
// been pushed onto a ring: holds that end by themselves (a hold-off, a task
// management answer) are seen at most this late.
constexpr uint32_t HELD_WORK_RECHECK_MS = 10;

struct HELD_WORK {
    uint8_t fHeld;      // TRUE: the last walk found everything held
    uint32_t dPushes;   // ring pushes at that walk
    uint64_t lSince;    // tick of that walk
};

// The walk just made found everything held.
void NoteWorkHeld(HELD_WORK* ps);
// The walk just made moved something.
void ClearWorkHeld(HELD_WORK* ps);
// TRUE while the last walk's finding stands: it found everything held,
// nothing has been pushed onto a ring since, and it is not yet
// HELD_WORK_RECHECK_MS old.
uint8_t fIsWorkStillHeld(const HELD_WORK* ps);

}  // namespace fw
