// A file or directory the board needs that cannot be used: the run cannot
// start.  Says which path and the system's reason, and ends the program with
// the bad-setup status before the board ever runs.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

constexpr int kSetupFailureStatus = 1;

[[noreturn]] void FailSetup(const std::string& path, const std::string& reason);

// A file the board maps into memory gets every block of its `bytes` on the
// disk before it is used: a store into a page of a sparse file that the
// file system has no room for kills the program.  A file system without
// room (or a file size limit) refuses the run here instead.
void AllocateWhole(int fd, const std::string& path, uint64_t bytes);

}  // namespace sim
